// Pieces shared by the SIFT stage kernels (sift.cpp) and the extraction driver
// (sift_keys.cpp): the row-range forms of the per-plane stages and a small
// deterministic parallel loop.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "core/keypoints.h"
#include "core/parallel.h"
#include "core/sift_scale_space.h"

namespace PanoramaRecognition {

inline constexpr double kSiftPi = 3.141592653589793;
inline constexpr double kOrientationSigmaFactor = 1.5;       // window sigma / level blur
inline constexpr double kPreBlur = 1.0;                      // blur of the doubled photo, its own pixels
inline constexpr double kInitialSigma = 0.7071067811865476;  // that level's blur in photo pixels

// Extrema of `here` on rows [y0, y1) (clipped to 1 .. height - 2), appended in row,
// then column order.
void FindExtremaRows(const ScaleSpace::CImageD& below, const ScaleSpace::CImageD& here,
                     const ScaleSpace::CImageD& above, int y0, int y1, int octave, int scale,
                     double contrastThreshold, double edgeThreshold, std::vector<ScaleSpace::CKeyPoint>& out);

// The same without difference planes: gauss holds Gaussian levels scale - 1 ..
// scale + 2 of one octave, and every difference is formed where it is read, with
// the same subtraction the difference pyramid makes.
void FindExtremaFromGaussians(const ScaleSpace::CImageD* const gauss[4], int y0, int y1, int octave, int scale,
                              double contrastThreshold, double edgeThreshold, std::vector<ScaleSpace::CKeyPoint>& out);

// Gradient magnitude and orientation of I on rows [y0, y1) (clipped to 1 .. height - 2),
// at every interior sample, or only where mask (one byte per sample) is non-zero.
// M and A must already be planes of I's size.
void GradientRows(const ScaleSpace::CImageD& I, ScaleSpace::CImageD& M, ScaleSpace::CImageD& A,
                  const unsigned char* mask, int y0, int y1);

// The orientations of a 36-bin histogram into out[0 .. count), count returned.
int OrientationsFromHistogram(const double* hist, double* out);

// Rows per parallel block of a plane `width` samples wide, so that a block holds
// about `samples` samples: small planes are not worth a thread per few rows.
inline std::size_t RowsPerBlock(int width, std::size_t samples)
{
    return std::max<std::size_t>(1, samples / static_cast<std::size_t>(std::max(width, 1)));
}

using Utils::ParallelFor;

}  // namespace PanoramaRecognition
