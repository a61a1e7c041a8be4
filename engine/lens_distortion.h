// Lens-distortion compensation of the Horizontal/Vertical engine: a photo is
// re-projected onto a sphere (longitude and latitude on the photo's pixel scale) for
// a focal length chosen from ten lens types, so that a row or column of photos fits
// together by 2-D transforms. The tiled engine has its own polynomial lens model.
#pragma once

#include "core/pano_element.h"

// The ten lens types: focal length in units of half the photo's longer side.
struct CLensTypes {
    CLensTypes();

    // Factor of lens type `type`; out-of-range types give the default type's factor.
    double Factor(int type) const noexcept;

    static constexpr int kCount = 10;
    static constexpr int kDefaultType = 7;

    int count = kCount;
    double factors[kCount] = {};
    unsigned ids[kCount] = {};
};

extern const CLensTypes g_lensType;

// The spherical mapping of a w x h photo (photo pixels -> sphere) and its exact
// inverse; every caller passes s = 1.0.
void mapToSphere2(double x, double y, double f, double s, int w, int h, double* X, double* Y);
void mapFromSphere2(double X, double Y, double f, double s, int w, int h, double* x, double* y);

// The corrected image as a new element (one reference for the caller), or null when
// it cannot be created or `abort` answered true. *scale receives the ratio of the
// corrected width to the width of the photo's extent on the sphere. abort may be null.
CPanoElement* LensDistortion(CPanoElement* photo, double f, double* scale, bool (*abort)());
// The same, creating the image inside `target`, which must hold no pixels yet.
bool LensDistortion(CPanoElement* target, CPanoElement* photo, double f, double* scale, bool (*abort)());
// A new element of the corrected size without pixel storage, or null.
CPanoElement* AllocLensDistortedImage(CPanoElement* photo, double f, double* scale, bool (*abort)());

// Size of the corrected image of a w x h photo (the photo's longer side is kept), and
// the extent on the sphere it is sampled from. False for a degenerate photo or a
// size that an image cannot have.
struct LensCorrectedGeometry {
    int outWidth = 0;
    int outHeight = 0;
    int sphereWidth = 0;   // W'
    int sphereHeight = 0;  // H'
    double minX = 0.0;
    double minY = 0.0;
};
bool CalcLensCorrectedGeometry(int w, int h, double f, LensCorrectedGeometry* geometry);
