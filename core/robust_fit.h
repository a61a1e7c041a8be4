// Robust fitting of the 2-D pair transform (translate + uniform scale, similarity,
// affine) to matched keypoint pairs, and the test that decides whether a photo pair
// matches at all.
#pragma once

#include <cstdint>
#include <vector>

namespace ScaleSpace {
struct PointD {
    double x = 0.0;
    double y = 0.0;
};
}  // namespace ScaleSpace

namespace Utils {
inline constexpr int Rand_max = 32767;
namespace rand_private {
// The program's own generator, so fits are repeatable on every platform. One per
// thread: every fit resets it, so fits on worker threads repeat the sequential results.
extern thread_local std::uint32_t hold_rand;
// One draw: seed = seed * 214013 + 2531011, value (seed >> 16) & 32767.
int Rand();
// An index in 0..n-1 from one draw, scaled (n - 1 only from the largest draw); n >= 1.
int RandIndex(int n);
}  // namespace rand_private
}  // namespace Utils

// Median of n >= 1 values (mean of the middle two for even n). The values are
// reordered (partitioned around the middle, not fully sorted); NaN counts as +inf.
double median(double* values, int n);

namespace PanoramaRecognition {

// The three fits share one contract. first[i] -> second[i] are the pairs, weights[i]
// scales pair i's equations; outlierFraction in [0, 1) is the share of wrong pairs the
// sampling must survive (callers pass 0.75). Writes transform (3x3, third row 0 0 1),
// the inlier and outlier index lists and the mean inlier distance (each optional).
// true when more than 2 pairs are inliers; false with fewer than 4 pairs, mismatched
// or invalid input (nothing written then), or a non-finite transform (0 inliers).
//   translate: u = s x + tx,           v = s y + ty
//   simple:    u = a x + b y + c,      v = -b x + a y + d
//   affine:    u = m1 x + m3 y + m5,   v = m2 x + m4 y + m6
bool FitRobustTranslateTransform(const std::vector<ScaleSpace::PointD>& first,
                                 const std::vector<ScaleSpace::PointD>& second, const std::vector<double>& weights,
                                 double outlierFraction, double (*transform)[3], std::vector<int>* inliers,
                                 std::vector<int>* outliers, double* error);
bool FitRobustSimpleTransform(const std::vector<ScaleSpace::PointD>& first,
                              const std::vector<ScaleSpace::PointD>& second, const std::vector<double>& weights,
                              double outlierFraction, double (*transform)[3], std::vector<int>* inliers,
                              std::vector<int>* outliers, double* error);
bool FitRobustAffineTransform(const std::vector<ScaleSpace::PointD>& first,
                              const std::vector<ScaleSpace::PointD>& second, const std::vector<double>& weights,
                              double outlierFraction, double (*transform)[3], std::vector<int>* inliers,
                              std::vector<int>* outliers, double* error);

// A pair of photos matches when inliers > 0.22 * matches + 5.9.
bool CorrectPanoramicImageMatch(int matches, int inliers);

// All nine entries finite (the fits never report success otherwise).
bool IsFiniteTransform(const double (*transform)[3]);

}  // namespace PanoramaRecognition
