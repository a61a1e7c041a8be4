// Cutting a warped photo along its seams. CSeamBuilder searches one seam per
// requested side through the overlap's difference buffer (split into strips by a
// core rectangle when several sides are asked) and clears the photo's alpha on the
// panorama's side of each seam; CExpandStitchingLine redraws the seams of a
// working-size photo on its full-size twin.
#pragma once

#include "core/geometry.h"
#include "core/pano_element.h"
#include "engine/hv/stitching_line.h"

// Mean of the bytes of an 8-bit image inside `rect` (world coordinates), rounded half
// up; 0 for an empty intersection or an image without pixels.
int calc_mismatch_8gray(CPanoElement* image, VarnoBase::Rect rect);

class CSeamBuilder {
public:
    // Takes a reference to the difference image (null allowed: nothing is built).
    CSeamBuilder(CPanoElement* difference, VarnoBase::Rect rect);
    ~CSeamBuilder();
    CSeamBuilder(const CSeamBuilder&) = delete;
    CSeamBuilder& operator=(const CSeamBuilder&) = delete;

    // Searches the seams of the requested sides (bits 1, 2, 4, 8) and cuts the photo's
    // alpha plane along them. True when the sides could be processed.
    bool BuildSeams(CPanoElement* photo, unsigned long sides);
    // The buffer searched for one side, with a reference the caller releases; null
    // when there is none.
    CPanoElement* GetDiffBuffer(unsigned long side);
    void GetStitchLines(CStitchingLine& out) const;

    // Extend one recorded seam over `extent` pixels of its buffer and clear the
    // photo's alpha on the panorama's side of it.
    bool AddSeam_Left(CPanoElement* photo, int extent);
    bool AddSeam_Right(CPanoElement* photo, int extent);
    bool AddSeam_Top(CPanoElement* photo, int extent);
    bool AddSeam_Bottom(CPanoElement* photo, int extent);

    // Mirror an 8-bit image in place.
    static void FlipVert(CPanoElement* image);
    static void FlipHorz(CPanoElement* image);
    // True when the end where the search would start matches worse than the other end.
    static bool FlipForMinimizingMismatching(CPanoElement* buffer, bool vertical);

private:
    bool AddSeam(CPanoElement* photo, int extent, unsigned char side);

    CPanoElement* m_pDiff = nullptr;
    VarnoBase::Rect m_rcTarget;
    VarnoBase::Rect m_rcCore;
    unsigned long m_mask = 0;
    CStLine m_left;
    CStLine m_right;
    CStLine m_top;
    CStLine m_bottom;
};

// Rescales the seams found on a working-size warped photo onto its full-size warped
// twin and cuts the full-size alpha along them.
class CExpandStitchingLine {
public:
    // Holds one reference to each photo (null allowed); `lines` must outlive the object.
    CExpandStitchingLine(CPanoElement* working, CPanoElement* full, const CStitchingLine& lines);
    ~CExpandStitchingLine();
    CExpandStitchingLine(const CExpandStitchingLine&) = delete;
    CExpandStitchingLine& operator=(const CExpandStitchingLine&) = delete;

    // False when a photo is missing or the full-size photo has no alpha plane.
    bool Expand();

private:
    bool expand_left();
    bool expand_right();
    bool expand_top();
    bool expand_bottom();
    bool ExpandSide(unsigned char side);

    CPanoElement* m_pWorking = nullptr;
    CPanoElement* m_pFull = nullptr;
    const CStitchingLine* m_pLines = nullptr;
};
