// SIFT extraction: extrema of the difference-of-Gaussian scale space, orientation
// histograms and 4 x 4 x 8 gradient descriptors (Lowe 2004; see sift.h for the
// variant). The hot loops vote each sample only into the histogram and descriptor
// bins it can reach; the arithmetic of every vote is the same as in the
// straightforward all-bins form (fill_histogram), so results do not change.
#include "core/sift.h"
#include "core/sift_internal.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "core/gauss.h"
#include "core/pano_element.h"
#include "core/panorama_exceptions.h"

namespace PanoramaRecognition {

using ScaleSpace::CDOGPyr;
using ScaleSpace::CGaussianPyr;
using ScaleSpace::CImageD;
using ScaleSpace::CKeyDescriptor;
using ScaleSpace::CKeypointArray;
using ScaleSpace::CKeyPoint;
using ScaleSpace::SIFT;

namespace {

constexpr double kPi = kSiftPi;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kOrientationBinWidth = kPi / 18.0;  // 0.17453292519943295
constexpr double kDescriptorBinWidth = kPi / 4.0;
constexpr double kPeakRatio = 0.8;                   // secondary orientations above this share of the top
constexpr double kDescriptorGaussDenominator = 128.0;          // 2 sigma^2, sigma = 8
constexpr double kDescriptorGaussNorm = 128.0 * kPi;           // 2 pi sigma^2
constexpr double kDescriptorCellSize = 4.0;
constexpr double kDescriptorClamp = 0.2;
constexpr double kCellCentres[kDescriptorCells] = {-6.0, -2.0, 2.0, 6.0};

inline double OrientationBinAngle(int j) { return j * kOrientationBinWidth - kPi; }
inline double DescriptorBinAngle(int b) { return b * kDescriptorBinWidth - kPi; }

inline int PositiveMod(int a, int n)
{
    const int r = a % n;
    return r < 0 ? r + n : r;
}

// Into [-pi, pi): one turn at most on plausible input, fmod beyond.
inline double WrapPi(double t)
{
    if (t < -kPi)
        t += kTwoPi;
    else if (t >= kPi)
        t -= kTwoPi;
    if (t < -kPi || t >= kPi)
        t = WrapTwoPi(t + kPi) - kPi;
    if (t >= kPi || t < -kPi)  // rounding at the very ends
        t = -kPi;
    return t;
}

// Into [0, 2 pi) by whole turns: for the d of the votes (within two turns) this adds
// or subtracts 2 pi exactly as a loop would; fmod keeps it bounded for any finite d.
inline double Wrap2Pi(double d)
{
    if (d >= 0.0 && d < kTwoPi)
        return d;
    if (d < 0.0 && d >= -kTwoPi) {
        const double r = d + kTwoPi;
        return r < kTwoPi ? r : 0.0;  // a tiny negative d rounds up to a full turn
    }
    if (d >= kTwoPi && d < 2.0 * kTwoPi)
        return d - kTwoPi;  // exact
    double r = std::fmod(d, kTwoPi);  // exact; keeps the sign of d
    if (r < 0.0)
        r += kTwoPi;
    if (r >= kTwoPi)
        r -= kTwoPi;
    return r;
}

// The bins [first, last] (circular indices may run past the ends) that a vote at
// bin position t (angle over bin width, measured from the first bin's centre) can
// reach with a positive weight: the two around t, and one more on the side of an
// integer t lies within rounding distance of.
inline void ReachableBins(double t, int& first, int& last)
{
    constexpr double kMargin = 1e-9;  // far above the rounding of t, far below a bin
    const double fl = std::floor(t);
    const double frac = t - fl;
    first = static_cast<int>(fl);
    last = first + 1;
    if (frac < kMargin)
        --first;
    else if (frac > 1.0 - kMargin)
        ++last;
}

inline double Blend(double s00, double s10, double s01, double s11, double fx, double fy)
{
    return s00 * (1.0 - fx) * (1.0 - fy) + s10 * fx * (1.0 - fy) + s01 * (1.0 - fx) * fy + s11 * fx * fy;
}

// Central-difference gradient of the bilinear surface at (px, py): the four reads
// at px +- 1 and py +- 1 share the fractions of (px, py).
inline bool SampleGradient(const CImageD& L, double px, double py, double& gx, double& gy)
{
    if (!(px > -2.0 && px < L.width + 1.0 && py > -2.0 && py < L.height + 1.0))
        return false;
    const double flx = std::floor(px);
    const double fly = std::floor(py);
    const int ix = static_cast<int>(flx);
    const int iy = static_cast<int>(fly);
    const double fx = px - flx;
    const double fy = py - fly;
    if (ix >= 1 && iy >= 1 && ix + 2 < L.width && iy + 2 < L.height) {
        const std::size_t w = static_cast<std::size_t>(L.width);
        const double* r0 = L.data + L.Index(ix - 1, iy - 1);  // row iy - 1, column ix - 1
        const double* r1 = r0 + w;
        const double* r2 = r1 + w;
        const double* r3 = r2 + w;
        const double right = Blend(r1[2], r1[3], r2[2], r2[3], fx, fy);
        const double left = Blend(r1[0], r1[1], r2[0], r2[1], fx, fy);
        const double below = Blend(r2[1], r2[2], r3[1], r3[2], fx, fy);
        const double above = Blend(r0[1], r0[2], r1[1], r1[2], fx, fy);
        gx = (right - left) / 2.0;
        gy = (below - above) / 2.0;
    } else {
        gx = (interp2_bilinear_at(L, ix + 1, iy, fx, fy) - interp2_bilinear_at(L, ix - 1, iy, fx, fy)) / 2.0;
        gy = (interp2_bilinear_at(L, ix, iy + 1, fx, fy) - interp2_bilinear_at(L, ix, iy - 1, fx, fy)) / 2.0;
    }
    return true;
}

template <class T>
void Poll(bool (*abort)())
{
    if (abort && abort())
        throw T();
}

}  // namespace

double WrapTwoPi(double d) { return Wrap2Pi(d); }

double interp2_bilinear_at(const CImageD& image, int ix, int iy, double fx, double fy)
{
    const auto sample = [&](int x, int y) -> double {
        if (x < 0 || y < 0 || x >= image.width || y >= image.height)
            return 0.0;
        return image.data[image.Index(x, y)];
    };
    return Blend(sample(ix, iy), sample(ix + 1, iy), sample(ix, iy + 1), sample(ix + 1, iy + 1), fx, fy);
}

double interp2_bilinear(CImageD* image, double x, double y)
{
    if (!image || !(x > -1.0 && x < image->width && y > -1.0 && y < image->height))
        return 0.0;
    const double flx = std::floor(x);
    const double fly = std::floor(y);
    return interp2_bilinear_at(*image, static_cast<int>(flx), static_cast<int>(fly), x - flx, y - fly);
}

// ---- Extrema ---------------------------------------------------------------------

namespace {

// The extremum test of one sample: D strictly above or strictly below its 26
// neighbours, then the edge test on its own level's Hessian. `dog(level, i)` reads
// difference level 0 (below), 1 (here) or 2 (above) at offset i from the sample.
template <class Dog>
inline bool IsKeyExtremum(const Dog& dog, std::ptrdiff_t stride, double contrastThreshold, double edgeThreshold)
{
    const double D = dog(1, 0);
    if (!(std::fabs(D) >= contrastThreshold))
        return false;
    bool isMax = true;
    bool isMin = true;
    for (int dy = -1; dy <= 1 && (isMax || isMin); ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const std::ptrdiff_t i = dy * stride + dx;
            const double vb = dog(0, i);
            const double va = dog(2, i);
            isMax = isMax && D > vb && D > va;
            isMin = isMin && D < vb && D < va;
            if (dx != 0 || dy != 0) {
                const double vc = dog(1, i);
                isMax = isMax && D > vc;
                isMin = isMin && D < vc;
            }
        }
    }
    if (!isMax && !isMin)
        return false;
    const double dxx = dog(1, -1) - 2.0 * D + dog(1, 1);
    const double dyy = dog(1, -stride) - 2.0 * D + dog(1, stride);
    const double dxy = (dog(1, -stride - 1) - dog(1, -stride + 1) - dog(1, stride - 1) + dog(1, stride + 1)) / 4.0;
    const double det = dxx * dyy - dxy * dxy;
    const double tr = dxx + dyy;
    // A zero determinant fails too (the ratio is infinite or undefined).
    return det > 0.0 && tr * tr / det < edgeThreshold;
}

}  // namespace

void FindExtremaRows(const CImageD& below, const CImageD& here, const CImageD& above, int y0, int y1, int octave,
                     int scale, double contrastThreshold, double edgeThreshold, std::vector<CKeyPoint>& out)
{
    const int w = here.width;
    const int h = here.height;
    if (w < 3 || h < 3 || below.width != w || below.height != h || above.width != w || above.height != h)
        return;
    y0 = std::max(y0, 1);
    y1 = std::min(y1, h - 1);
    const std::ptrdiff_t stride = w;
    for (int y = y0; y < y1; ++y) {
        const double* planes[3] = {below.data + below.Index(0, y), here.data + here.Index(0, y),
                                   above.data + above.Index(0, y)};
        for (int x = 1; x < w - 1; ++x) {
            const auto dog = [&](int level, std::ptrdiff_t i) { return planes[level][x + i]; };
            if (IsKeyExtremum(dog, stride, contrastThreshold, edgeThreshold)) {
                out.push_back({x, y, octave, scale});
            }
        }
    }
}

void FindExtremaFromGaussians(const CImageD* const gauss[4], int y0, int y1, int octave, int scale,
                              double contrastThreshold, double edgeThreshold, std::vector<CKeyPoint>& out)
{
    const int w = gauss[0]->width;
    const int h = gauss[0]->height;
    if (w < 3 || h < 3)
        return;
    for (int i = 1; i < 4; ++i)
        if (gauss[i]->width != w || gauss[i]->height != h)
            return;
    y0 = std::max(y0, 1);
    y1 = std::min(y1, h - 1);
    const std::ptrdiff_t stride = w;
    for (int y = y0; y < y1; ++y) {
        const double* g[4];
        for (int i = 0; i < 4; ++i)
            g[i] = gauss[i]->data + gauss[i]->Index(0, y);
        for (int x = 1; x < w - 1; ++x) {
            // Difference level d is Gaussian level d + 1 minus level d, as in the pyramid.
            const auto dog = [&](int level, std::ptrdiff_t i) { return g[level + 1][x + i] - g[level][x + i]; };
            if (IsKeyExtremum(dog, stride, contrastThreshold, edgeThreshold)) {
                out.push_back({x, y, octave, scale});
            }
        }
    }
}

void LocalizeFeatureKeyLocations(CDOGPyr& dog, CGaussianPyr& /*gauss*/, int octave, int scale,
                                 double contrastThreshold, double edgeThreshold, CKeypointArray<CKeyPoint>& out)
{
    std::vector<CKeyPoint> found;
    const CImageD& here = *dog.GetDOG(octave, scale);
    FindExtremaRows(*dog.GetDOG(octave, scale - 1), here, *dog.GetDOG(octave, scale + 1), 1, here.height - 1, octave,
                    scale, contrastThreshold, edgeThreshold, found);
    out.reserve(out.size() + found.size());
    for (const CKeyPoint& k : found)
        out.emplace_back(k);
}

// ---- Gradients -------------------------------------------------------------------

void GradientRows(const CImageD& I, CImageD& M, CImageD& A, const unsigned char* mask, int y0, int y1)
{
    const int w = I.width;
    const int h = I.height;
    if (w < 3 || h < 3)
        return;
    y0 = std::max(y0, 1);
    y1 = std::min(y1, h - 1);
    const std::ptrdiff_t stride = w;
    for (int y = y0; y < y1; ++y) {
        const double* p = I.data + I.Index(0, y);
        double* m = M.data + M.Index(0, y);
        double* a = A.data + A.Index(0, y);
        const unsigned char* need = mask ? mask + I.Index(0, y) : nullptr;
        for (int x = 1; x < w - 1; ++x) {
            if (need && !need[x])
                continue;
            const double gx = (p[x + 1] - p[x - 1]) / 2.0;
            const double gy = (p[x + stride] - p[x - stride]) / 2.0;
            m[x] = std::sqrt(gx * gx + gy * gy);
            const double t = std::atan2(gy, gx);
            a[x] = t == kPi ? -kPi : t;
        }
    }
}

void CalcGradientMagnitudeAndOrientation(const CGaussianPyr& gauss, CGaussianPyr& magnitude,
                                         CGaussianPyr& orientation, int octave, int scale)
{
    const CImageD& I = *gauss.GetGaussian(octave, scale);
    CImageD& M = *magnitude.GetGaussian(octave, scale);
    CImageD& A = *orientation.GetGaussian(octave, scale);
    // A fresh plane is zero-filled, so the border stays 0.
    M.Free();
    A.Free();
    if (!M.Create(I.width, I.height) || !A.Create(I.width, I.height))
        throw panorama_error();
    GradientRows(I, M, A, nullptr, 1, I.height - 1);
}

// ---- Orientation -----------------------------------------------------------------

void fill_weight_window(double* out, double* magnitude, int x, int y, double* kernel, int half, int width,
                        int height)
{
    const int n = 2 * half + 1;
    for (int dy = -half; dy <= half; ++dy) {
        for (int dx = -half; dx <= half; ++dx) {
            const int xx = x + dx;
            const int yy = y + dy;
            const std::size_t k = static_cast<std::size_t>(dy + half) * static_cast<std::size_t>(n) + static_cast<std::size_t>(dx + half);
            if (xx < 0 || yy < 0 || xx >= width || yy >= height)
                out[k] = 0.0;
            else
                out[k] = kernel[k] * magnitude[static_cast<std::size_t>(yy) * static_cast<std::size_t>(width) + static_cast<std::size_t>(xx)];
        }
    }
}

void fill_histogram(double* hist, double* binAngles, int bins, double binWidth, double* weights, double* angles,
                    int n)
{
    for (int j = 0; j < bins; ++j) {
        hist[j] = 0.0;
        for (int i = 0; i < n; ++i) {
            const double d = Wrap2Pi(angles[i] - binAngles[j] + kPi);
            const double w = 1.0 - std::fabs(d - kPi) / binWidth;
            if (w > 0.0)
                hist[j] += w * weights[i];
        }
    }
}

void AccumulateOrientationHistogram(double* hist, const CImageD& magnitude, const CImageD& orientation, int x,
                                    int y, const double* kernel, int half)
{
    std::fill(hist, hist + kOrientationBins, 0.0);
    const std::int64_t n = 2 * static_cast<std::int64_t>(half) + 1;
    const int y0 = static_cast<int>(std::max<std::int64_t>(std::int64_t{y} - half, 0));
    const int y1 = static_cast<int>(std::min<std::int64_t>(std::int64_t{y} + half, std::int64_t{magnitude.height} - 1));
    const int x0 = static_cast<int>(std::max<std::int64_t>(std::int64_t{x} - half, 0));
    const int x1 = static_cast<int>(std::min<std::int64_t>(std::int64_t{x} + half, std::int64_t{magnitude.width} - 1));
    double binAngles[kOrientationBins];
    for (int j = 0; j < kOrientationBins; ++j)
        binAngles[j] = OrientationBinAngle(j);
    for (int yy = y0; yy <= y1; ++yy) {
        const double* m = magnitude.data + magnitude.Index(0, yy);
        const double* a = orientation.data + orientation.Index(0, yy);
        const double* k = kernel + (yy - std::int64_t{y} + half) * n;
        const std::int64_t kx = std::int64_t{half} - x;  // kernel column of image column xx is xx + kx
        for (int xx = x0; xx <= x1; ++xx) {
            const double weight = k[xx + kx] * m[xx];
            if (weight == 0.0)  // adds nothing in any bin
                continue;
            const double angle = a[xx];
            const double t = (angle + kPi) / kOrientationBinWidth;
            if (!(t > -4.0 && t < kOrientationBins + 4.0))
                continue;  // not an angle; gradients never give one
            int first = 0;
            int last = 0;
            ReachableBins(t, first, last);
            for (int jj = first; jj <= last; ++jj) {
                const int j = PositiveMod(jj, kOrientationBins);
                const double d = Wrap2Pi(angle - binAngles[j] + kPi);
                const double w = 1.0 - std::fabs(d - kPi) / kOrientationBinWidth;
                if (w > 0.0)
                    hist[j] += w * weight;
            }
        }
    }
}

void C3x1_is_pinvA3x3_x_B3x1(double* out, double* work, const double* A, const double* b)
{
    const double a00 = A[0], a01 = A[1], a02 = A[2];
    const double a10 = A[3], a11 = A[4], a12 = A[5];
    const double a20 = A[6], a21 = A[7], a22 = A[8];
    const double c00 = a11 * a22 - a12 * a21;
    const double c01 = a12 * a20 - a10 * a22;
    const double c02 = a10 * a21 - a11 * a20;
    const double inv = 1.0 / (a00 * c00 + a01 * c01 + a02 * c02);
    work[0] = c00 * inv;
    work[1] = (a02 * a21 - a01 * a22) * inv;
    work[2] = (a01 * a12 - a02 * a11) * inv;
    work[3] = c01 * inv;
    work[4] = (a00 * a22 - a02 * a20) * inv;
    work[5] = (a02 * a10 - a00 * a12) * inv;
    work[6] = c02 * inv;
    work[7] = (a01 * a20 - a00 * a21) * inv;
    work[8] = (a00 * a11 - a01 * a10) * inv;
    for (int i = 0; i < 3; ++i)
        out[i] = work[3 * i] * b[0] + work[3 * i + 1] * b[1] + work[3 * i + 2] * b[2];
}

int OrientationsFromHistogram(const double* hist, double* out)
{
    int count = 0;
    bool peak[kOrientationBins];
    double top = 0.0;
    for (int j = 0; j < kOrientationBins; ++j) {
        const double prev = hist[(j + kOrientationBins - 1) % kOrientationBins];
        const double next = hist[(j + 1) % kOrientationBins];
        peak[j] = hist[j] >= prev && hist[j] >= next;
        if (peak[j] && hist[j] > top)
            top = hist[j];
    }
    const double threshold = kPeakRatio * top;
    for (int j = 0; j < kOrientationBins; ++j) {
        if (!peak[j] || !(hist[j] > threshold))
            continue;
        const double c = OrientationBinAngle(j);
        const double t0 = c - kOrientationBinWidth;
        const double t2 = c + kOrientationBinWidth;
        const double A[9] = {t0 * t0, t0, 1.0, c * c, c, 1.0, t2 * t2, t2, 1.0};
        const double b[3] = {hist[(j + kOrientationBins - 1) % kOrientationBins], hist[j],
                             hist[(j + 1) % kOrientationBins]};
        double alpha[3];
        double work[9];
        C3x1_is_pinvA3x3_x_B3x1(alpha, work, A, b);
        // A flat top (no negative curvature, judged on the samples themselves, not on the
        // rounded solve) has no vertex: keep the bin centre. Through a peak, a concave
        // parabola has its vertex within half a bin of it; a solve drowned in rounding
        // noise is held to that.
        double orientation = c;
        const double curvature = b[0] - 2.0 * b[1] + b[2];
        if (curvature < 0.0 && alpha[0] < 0.0) {
            const double vertex = -alpha[1] / (2.0 * alpha[0]);
            const double halfBin = 0.5 * kOrientationBinWidth;
            if (!std::isfinite(vertex))
                orientation = c;
            else if (vertex < c - halfBin)
                orientation = c - halfBin;
            else if (vertex > c + halfBin)
                orientation = c + halfBin;
            else
                orientation = vertex;
        }
        out[count++] = WrapPi(orientation);
    }
    return count;
}

void OrientationsFromHistogram(const double* hist, std::vector<double>& out)
{
    double found[kOrientationBins];
    const int n = OrientationsFromHistogram(hist, found);
    out.insert(out.end(), found, found + n);
}

// ---- Descriptor ------------------------------------------------------------------

void NormalizeDescriptor(double* v)
{
    double sum = 0.0;
    for (int i = 0; i < kDescriptorLength; ++i)
        sum += v[i] * v[i];
    if (!(sum > 0.0))
        return;  // no gradient at all: stays zero
    const double len = std::sqrt(sum);
    bool clamped = false;
    for (int i = 0; i < kDescriptorLength; ++i) {
        v[i] /= len;
        if (v[i] > kDescriptorClamp) {
            v[i] = kDescriptorClamp;
            clamped = true;
        }
    }
    if (!clamped)
        return;
    sum = 0.0;
    for (int i = 0; i < kDescriptorLength; ++i)
        sum += v[i] * v[i];
    const double len2 = std::sqrt(sum);
    for (int i = 0; i < kDescriptorLength; ++i)
        v[i] /= len2;
}

void ComputeDescriptor(const CImageD& level, double cx, double cy, double theta, double* out)
{
    std::fill(out, out + kDescriptorLength, 0.0);
    if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(theta))
        return;
    const double cosT = std::cos(theta);
    const double sinT = std::sin(theta);
    constexpr int kCellCount = kDescriptorCells * kDescriptorCells;
    double centreX[kCellCount];  // index 4 r + q
    double centreY[kCellCount];
    for (int r = 0; r < kDescriptorCells; ++r)
        for (int q = 0; q < kDescriptorCells; ++q) {
            centreX[4 * r + q] = cx + kCellCentres[r] * cosT - kCellCentres[q] * sinT;
            centreY[4 * r + q] = cy + kCellCentres[r] * sinT + kCellCentres[q] * cosT;
        }
    double binAngles[kDescriptorAngleBins];
    for (int b = 0; b < kDescriptorAngleBins; ++b)
        binAngles[b] = DescriptorBinAngle(b);
    // Accumulated bin-major (all cells of one orientation bin side by side).
    alignas(64) double byBin[kDescriptorAngleBins][kCellCount] = {};

    for (int iv = 0; iv < 16; ++iv) {
        const double v = -7.5 + iv;
        for (int iu = 0; iu < 16; ++iu) {
            const double u = -7.5 + iu;
            const double px = cx + u * cosT - v * sinT;
            const double py = cy + u * sinT + v * cosT;
            double gx = 0.0;
            double gy = 0.0;
            if (!SampleGradient(level, px, py, gx, gy) || (gx == 0.0 && gy == 0.0))
                continue;
            double alpha = std::atan2(gy, gx);
            if (alpha == kPi)
                alpha = -kPi;
            const double m = std::sqrt(gx * gx + gy * gy);
            const double ddx = px - cx;
            const double ddy = py - cy;
            const double g = std::exp(-(ddx * ddx + ddy * ddy) / kDescriptorGaussDenominator) / kDescriptorGaussNorm;
            const double gm = g * m;
            const double rel = alpha - theta;
            int first = 0;
            int last = 0;
            ReachableBins((rel + kPi) / kDescriptorBinWidth, first, last);
            int bins[4];
            double wbs[4];
            int nb = 0;
            for (int bb = first; bb <= last; ++bb) {
                const int b = PositiveMod(bb, kDescriptorAngleBins);
                const double d = Wrap2Pi(rel - binAngles[b] + kPi);
                const double wb = 1.0 - std::fabs(d - kPi) / kDescriptorBinWidth;
                if (wb > 0.0) {
                    bins[nb] = b;
                    wbs[nb] = wb;
                    ++nb;
                }
            }
            if (nb == 0)
                continue;
            // Every cell's weight, 0 for the cells the sample does not reach; adding
            // the resulting +0 votes changes no value, so the loops below need no
            // branches and vectorise.
            double cellWeight[kCellCount];
            for (int cell = 0; cell < kCellCount; ++cell) {
                const double wx = 1.0 - std::fabs(centreX[cell] - px) / kDescriptorCellSize;
                const double wy = 1.0 - std::fabs(centreY[cell] - py) / kDescriptorCellSize;
                // Where both are positive this is exactly wx * wy * gm.
                cellWeight[cell] = std::max(wx, 0.0) * std::max(wy, 0.0) * gm;
            }
            for (int i = 0; i < nb; ++i) {
                double* acc = byBin[bins[i]];
                const double wb = wbs[i];
                for (int cell = 0; cell < kCellCount; ++cell)
                    acc[cell] += wb * cellWeight[cell];
            }
        }
    }
    for (int cell = 0; cell < kCellCount; ++cell)
        for (int b = 0; b < kDescriptorAngleBins; ++b)
            out[cell * kDescriptorAngleBins + b] = byBin[b][cell];
    NormalizeDescriptor(out);
}

}  // namespace PanoramaRecognition
