// SIFT feature extraction (after Lowe, "Distinctive image features from
// scale-invariant keypoints", IJCV 2004), in the variant both engines use:
//
//  - scale space: the photo doubled and pre-blurred, `octaves` octaves of
//    `scales` + 3 Gaussian levels, differences of neighbouring levels;
//  - keypoints: strict extrema among the 26 scale-space neighbours whose |D| passes
//    the contrast threshold and whose 2x2 Hessian passes the edge-ratio test, at
//    integer positions (no sub-pixel refinement);
//  - orientations: a 36-bin histogram of Gaussian-weighted gradient magnitudes
//    around the keypoint (sigma 1.5 x the level's blur), each peak above 0.8 x the
//    highest one refined by a parabola through it and its neighbours;
//  - descriptors: 16 x 16 bilinearly sampled gradients in the rotated frame,
//    spread into 4 x 4 cells x 8 orientation bins, normalised, clamped at 0.2 and
//    normalised again.
//
// Keypoint positions and blurs are in pixels of the given image; orientations are
// radians in [-pi, pi).
#pragma once

#include <vector>

#include "core/keypoints.h"
#include "core/sift_scale_space.h"

class CPanoElement;

namespace PanoramaRecognition {

// Orientation histogram and descriptor layout.
inline constexpr int kOrientationBins = 36;
inline constexpr int kDescriptorCells = 4;      // per axis
inline constexpr int kDescriptorAngleBins = 8;  // per cell
inline constexpr int kDescriptorLength = kDescriptorCells * kDescriptorCells * kDescriptorAngleBins;  // 128

// Extracts the keypoints of `image` (8-bit grey or 24-bit colour) into `keys` (its
// earlier records deleted) and appends one descriptor per keypoint to `descriptors`,
// in the same order. The engines pass 4 octaves, 2 scales, contrast threshold 0.02
// (grey values in 0 .. 1) and edge ratio 10.
//
// `abort` (may be null) is polled five times: after the scale space, after
// extremum detection, after the gradient planes, after orientation assignment and
// after the descriptors; a true answer throws panorama_abort with the output
// arrays as they are at that moment.
// Throws panorama_error for a null image, one without pixels or of another depth,
// nonsensical parameters, or when memory for the scale space runs out.
void SIFTKeys(const CPanoElement* image, int octaves, int scales, double contrastThreshold, double edgeRatio,
              ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& keys,
              ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& descriptors, bool (*abort)());

// The same on a raw raster (rows `bytesPerLine` apart, 8 or 24 bits per pixel).
void SIFTKeys(const unsigned char* bits, int width, int height, std::ptrdiff_t bytesPerLine, int bitsPerPixel,
              int octaves, int scales, double contrastThreshold, double edgeRatio,
              ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& keys,
              ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& descriptors, bool (*abort)());

// ---- Stages, exposed for the tests ----------------------------------------------

// Appends the extrema of difference level `scale` of `octave` (levels scale - 1 and
// scale + 1 are its neighbours), ordered by row, then column. edgeThreshold is
// (r + 1)^2 / r for the edge ratio r.
void LocalizeFeatureKeyLocations(ScaleSpace::CDOGPyr& dog, ScaleSpace::CGaussianPyr& gauss, int octave, int scale,
                                 double contrastThreshold, double edgeThreshold,
                                 ScaleSpace::CKeypointArray<ScaleSpace::CKeyPoint>& out);

// Central-difference gradient magnitude and orientation (atan2, pi stored as -pi) of
// one Gaussian level; border samples 0. Throws panorama_error when a plane cannot be
// allocated.
void CalcGradientMagnitudeAndOrientation(const ScaleSpace::CGaussianPyr& gauss, ScaleSpace::CGaussianPyr& magnitude,
                                         ScaleSpace::CGaussianPyr& orientation, int octave, int scale);

// Straightforward forms of the orientation histogram: the kernel-weighted magnitude
// window ((2 half + 1)^2 values, 0 outside the level) and the linear two-bin vote of
// every window sample into every bin.
void fill_weight_window(double* out, double* magnitude, int x, int y, double* kernel, int half, int width,
                        int height);
void fill_histogram(double* hist, double* binAngles, int bins, double binWidth, double* weights, double* angles,
                    int n);

// The 36-bin histogram of one keypoint, as fill_weight_window + fill_histogram give
// it, voting each sample only into the bins it can reach.
void AccumulateOrientationHistogram(double* hist, const ScaleSpace::CImageD& magnitude,
                                    const ScaleSpace::CImageD& orientation, int x, int y, const double* kernel,
                                    int half);

// out = A^-1 b for a 3 x 3 row-major A by cofactors (work: 9 doubles, receives A^-1).
void C3x1_is_pinvA3x3_x_B3x1(double* out, double* work, const double* A, const double* b);

// The orientations (radians, [-pi, pi), increasing bin order) of a 36-bin histogram:
// one per circular peak above 0.8 x the highest peak, refined by a parabola. A flat
// or non-concave top (no negative curvature) keeps the bin centre.
void OrientationsFromHistogram(const double* hist, std::vector<double>& out);

// Bilinear sample; samples outside the plane count as 0, and positions are floored,
// so a point left of or above the plane blends with the outside too.
double interp2_bilinear(ScaleSpace::CImageD* image, double x, double y);
// The same at integer corner (ix, iy) and fractions fx, fy in [0, 1).
double interp2_bilinear_at(const ScaleSpace::CImageD& image, int ix, int iy, double fx, double fy);

// The 128 descriptor values of a keypoint at (cx, cy) with orientation theta, in
// pixels of `level`, normalised as the extraction does.
void ComputeDescriptor(const ScaleSpace::CImageD& level, double cx, double cy, double theta, double* out);

// Unit length, clamp at 0.2, unit length again when anything was clamped. A
// zero vector stays zero.
void NormalizeDescriptor(double* v);

// d brought into [0, 2 pi) by whole turns, without looping (finite d).
double WrapTwoPi(double d);

}  // namespace PanoramaRecognition
