// Recursive Gaussian blur. Each line is filtered by a causal and an anti-causal
// recursion with one real pole a = e^-theta and one complex pole p = a e^(i theta),
// theta = pi / (2 s), s = max(sigma / 0.857379, 0.125): the impulse response of one
// direction is G a^n (1 - cos(n theta)), G normalising its sum to 1. The causal states
// start at the steady state of the first sample; the anti-causal states start at the
// closed-form values the recursion would reach if the line went on with its last
// sample for ever, so both borders behave as if continued by their edge values.
//
// Layout of the work: several lines are filtered side by side with their states in
// small arrays. The vertical pass walks a block of adjacent columns row by row
// (contiguous, cache friendly, vectorised) instead of striding down one column at a
// time; the horizontal pass gathers a block of rows (all channels) into an interleaved
// buffer, filters it the same way and scatters the result back. Per line the
// arithmetic is exactly that of RecursiveGaussLine, in the same order, so the result
// is bit-identical to filtering one line at a time.
#include "core/gauss.h"
#include "core/parallel.h"

// The clamps compare doubles; without this the compiler keeps them as branches and
// the store loops stay scalar. The arithmetic itself is unchanged.
#pragma GCC optimize("no-trapping-math")

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <type_traits>
#include <vector>

namespace GaussDetail {

namespace {

constexpr double kSigmaToScale = 0.857379;
constexpr double kMinScale = 0.125;
// Beyond this gain the two recursions cancel to within ~1e-8 of their size: the filter
// has collapsed (theta near a multiple of 2 pi) and its output would be rounding noise.
// In that limit the filter tends to the identity, which is what a degenerate filter
// does here.
constexpr double kMaxGain = 1e8;

struct Complex {
    double re, im;
};
inline Complex mul(Complex x, Complex y) { return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re}; }
inline Complex div(Complex x, Complex y)
{
    const double d = y.re * y.re + y.im * y.im;
    return {(x.re * y.re + x.im * y.im) / d, (x.im * y.re - x.re * y.im) / d};
}

}  // namespace

// Everything one line needs besides its samples. The border constants are exact
// rearrangements of 1/(1 - a), 1/(1 - p), a/(1 - a^2), p/(1 - a p), a/(1 - a p),
// p/(2 (1 - p^2)) and conj(p)/(2 (1 - a^2)), written with expm1 and half-angle sines so
// that large sigmas (a close to 1) lose no precision.
struct LineConstants {
    double a, pr, pi, g;
    double ia;        // 1 / (1 - a)
    double qr, qi;    // 1 / (1 - p)
    double kA;        // a / (1 - a^2)
    double kPr, kPi;  // p / (1 - a p)
    double kBr, kBi;  // a / (1 - a p)
    double kCr, kCi;  // p / (2 (1 - p^2))
    double kDr, kDi;  // conj(p) / (2 (1 - a^2))
};

static bool MakeLineConstants(double sigma, LineConstants& k) noexcept
{
    if (!(sigma > 0.0) || !std::isfinite(sigma))  // also NaN; a non-positive sigma
        return false;                              // clamps to the degenerate scale
    const double s = std::max(sigma / kSigmaToScale, kMinScale);
    const double theta = std::numbers::pi / (2.0 * s);
    if (!(theta > 0.0))
        return false;
    const double a = std::exp(-theta);
    const double cosT = std::cos(theta), sinT = std::sin(theta);
    const double sinH = std::sin(0.5 * theta);
    const double oneMinusCos = 2.0 * sinH * sinH;
    const double em1 = std::expm1(theta);           // e^theta - 1
    const double oneMinusA = -std::expm1(-theta);   // 1 - a
    const double oneMinusA2 = -std::expm1(-2.0 * theta);
    const double shH = std::sinh(0.5 * theta);
    // G = (e^t - 1)(a + e^t - 2 cos t) / ((1 + e^t)(1 - cos t)), with
    // a + e^t - 2 cos t = 4 (sinh^2(t/2) + sin^2(t/2)).
    const double g = em1 * 4.0 * (shH * shH + sinH * sinH) / ((2.0 + em1) * oneMinusCos);

    k.a = a;
    k.pr = a * cosT;
    k.pi = a * sinT;
    k.g = g;
    k.ia = 1.0 / oneMinusA;
    const Complex one{1.0, 0.0};
    const Complex p{k.pr, k.pi};
    const Complex oneMinusP{oneMinusA + a * oneMinusCos, -k.pi};
    const Complex q = div(one, oneMinusP);
    k.qr = q.re;
    k.qi = q.im;
    k.kA = a / oneMinusA2;
    const double a2 = a * a;
    const Complex oneMinusAP{oneMinusA2 + a2 * oneMinusCos, -a2 * sinT};
    const Complex kP = div(p, oneMinusAP);
    const Complex kB = div(Complex{a, 0.0}, oneMinusAP);
    const double sinT2 = sinT * sinT;  // 1 - cos(2t) = 2 sin^2 t
    const Complex oneMinusP2{oneMinusA2 + a2 * 2.0 * sinT2, -a2 * std::sin(2.0 * theta)};
    const Complex kC = div(p, Complex{2.0 * oneMinusP2.re, 2.0 * oneMinusP2.im});
    k.kPr = kP.re;
    k.kPi = kP.im;
    k.kBr = kB.re;
    k.kBi = kB.im;
    k.kCr = kC.re;
    k.kCi = kC.im;
    k.kDr = k.pr / (2.0 * oneMinusA2);
    k.kDi = -k.pi / (2.0 * oneMinusA2);

    const double all[] = {k.a, k.pr, k.pi, k.g, k.ia, k.qr, k.qi, k.kA, k.kPr, k.kPi,
                          k.kBr, k.kBi, k.kCr, k.kCi, k.kDr, k.kDi};
    for (double v : all)
        if (!std::isfinite(v))
            return false;
    return a < 1.0 && g > 0.0 && g <= kMaxGain;
}

bool IsDegenerateSigma(double sigma) noexcept
{
    LineConstants k{};
    return !MakeLineConstants(sigma, k);
}

// Anti-causal starting states from the causal states after the last sample xl.
static inline void RightBorderStates(const LineConstants& k, double xl, double r, double zr, double zi, double& R,
                                     double& Zr, double& Zi)
{
    const double dr = r - xl * k.ia;
    const double dzr = zr - xl * k.qr;
    const double dzi = zi - xl * k.qi;
    // R = xl/(1-a) + G (a dr/(1-a^2) - Re(p dz/(1-a p)))
    R = xl * k.ia + k.g * (dr * k.kA - (dzr * k.kPr - dzi * k.kPi));
    // Z = xl/(1-p) + G (dr a/(1-a p) - dz p/(2(1-p^2)) - conj(dz) conj(p)/(2(1-a^2)))
    const double tr = dr * k.kBr - (dzr * k.kCr - dzi * k.kCi) - (dzr * k.kDr + dzi * k.kDi);
    const double ti = dr * k.kBi - (dzr * k.kCi + dzi * k.kCr) - (dzr * k.kDi - dzi * k.kDr);
    Zr = xl * k.qr + k.g * tr;
    Zi = xl * k.qi + k.g * ti;
}

bool RecursiveGaussLine(double sigma, const double* x, double* y, std::ptrdiff_t n)
{
    LineConstants k{};
    if (!MakeLineConstants(sigma, k)) {
        if (n > 0 && x != y)
            std::copy(x, x + n, y);
        return false;
    }
    if (n <= 0)
        return true;
    std::vector<double> t(static_cast<std::size_t>(n));
    double r = x[0] * k.ia, zr = x[0] * k.qr, zi = x[0] * k.qi;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double xi = x[i];
        const double nr = k.a * r + xi;
        const double nzr = xi + (k.pr * zr - k.pi * zi);
        const double nzi = k.pr * zi + k.pi * zr;
        r = nr;
        zr = nzr;
        zi = nzi;
        t[i] = k.g * (nr - nzr);
    }
    double R, Zr, Zi;
    RightBorderStates(k, x[n - 1], r, zr, zi, R, Zr, Zi);
    for (std::ptrdiff_t i = n - 1; i >= 0; --i) {
        const double ti = t[i];
        const double nR = k.a * R + ti;
        const double nZr = ti + (k.pr * Zr - k.pi * Zi);
        const double nZi = k.pr * Zi + k.pi * Zr;
        R = nR;
        Zr = nZr;
        Zi = nZi;
        y[i] = k.g * (nR - nZr);
    }
    return true;
}

}  // namespace GaussDetail

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VL_GAUSS_CLONES __attribute__((target_clones("avx2", "default")))
#define VL_GAUSS_INLINE __attribute__((always_inline)) inline
#else
#define VL_GAUSS_CLONES
#define VL_GAUSS_INLINE inline
#endif

namespace {

using GaussDetail::LineConstants;

template <class S>
struct SampleRange;
template <>
struct SampleRange<unsigned char> {
    static constexpr double kMax = 255.0;
};
template <>
struct SampleRange<unsigned short> {
    static constexpr double kMax = 65535.0;
};
template <>
struct SampleRange<double> {
    static constexpr double kMax = 1.0;
};

// Integer samples truncate, but a value a hair below a level is rounding residue of
// the recursion (a flat 40000 comes back as 39999.9999999997): counting it as the level
// keeps flat areas flat instead of losing a level in each pass.
constexpr double kTruncationSlack = 1e-6;

// Storing is clamping to the sample range (NaN becomes 0), then, for integer samples,
// truncation toward zero. Written without branches (max, min, convert) so the block
// loops vectorise.
template <class S>
inline double ClampSample(double v) noexcept
{
    constexpr double hi = SampleRange<S>::kMax;
    const double c = v > 0.0 ? v : 0.0;
    return c < hi ? c : hi;
}

template <class S>
inline S ConvertClamped(double c) noexcept
{
    if constexpr (std::is_integral_v<S>)
        return static_cast<S>(static_cast<int>(c + kTruncationSlack));
    else
        return c;
}

template <class S>
inline S StoreSample(double v) noexcept
{
    return ConvertClamped<S>(ClampSample<S>(v));
}

// Filters B adjacent sample columns side by side, reading and writing the plane
// directly (the vertical pass): line j starts at base + j, its sample i lies at
// + i * sampleStep. t receives the n * B causal outputs.
template <class S, int B>
VL_GAUSS_INLINE void FilterColumns(const LineConstants& k, S* base, std::ptrdiff_t sampleStep, std::ptrdiff_t n,
                                   double* __restrict t)
{
    const double a = k.a, pr = k.pr, pi = k.pi, g = k.g;
    double r[B], zr[B], zi[B];
    for (int j = 0; j < B; ++j) {
        const double x0 = static_cast<double>(base[j]);
        r[j] = x0 * k.ia;
        zr[j] = x0 * k.qr;
        zi[j] = x0 * k.qi;
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const S* __restrict px = base + i * sampleStep;
        double* __restrict ti = t + i * B;
        for (int j = 0; j < B; ++j) {
            const double x = static_cast<double>(px[j]);
            const double nr = a * r[j] + x;
            const double nzr = x + (pr * zr[j] - pi * zi[j]);
            const double nzi = pr * zi[j] + pi * zr[j];
            r[j] = nr;
            zr[j] = nzr;
            zi[j] = nzi;
            ti[j] = g * (nr - nzr);
        }
    }
    double R[B], Zr[B], Zi[B];
    const S* last = base + (n - 1) * sampleStep;
    for (int j = 0; j < B; ++j)
        GaussDetail::RightBorderStates(k, static_cast<double>(last[j]), r[j], zr[j], zi[j], R[j], Zr[j], Zi[j]);
    for (std::ptrdiff_t i = n - 1; i >= 0; --i) {
        S* __restrict py = base + i * sampleStep;
        const double* __restrict ti = t + i * B;
        for (int j = 0; j < B; ++j) {
            const double tv = ti[j];
            const double nR = a * R[j] + tv;
            const double nZr = tv + (pr * Zr[j] - pi * Zi[j]);
            const double nZi = pr * Zi[j] + pi * Zr[j];
            R[j] = nR;
            Zr[j] = nZr;
            Zi[j] = nZi;
            py[j] = StoreSample<S>(g * (nR - nZr));
        }
    }
}

// Filters B lines held interleaved in t (n x B, sample i of line j at t[i * B + j]) in
// place: on entry t holds the samples, on return the clamped values (ConvertClamped
// gives the samples to store). The same operations as FilterColumns.
template <class S, int B>
VL_GAUSS_INLINE void FilterInterleaved(const LineConstants& k, std::ptrdiff_t n, double* __restrict t)
{
    const double a = k.a, pr = k.pr, pi = k.pi, g = k.g;
    double r[B], zr[B], zi[B], xl[B];
    for (int j = 0; j < B; ++j) {
        const double x0 = t[j];
        r[j] = x0 * k.ia;
        zr[j] = x0 * k.qr;
        zi[j] = x0 * k.qi;
        xl[j] = t[(n - 1) * B + j];
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        double* __restrict ti = t + i * B;
        for (int j = 0; j < B; ++j) {
            const double x = ti[j];
            const double nr = a * r[j] + x;
            const double nzr = x + (pr * zr[j] - pi * zi[j]);
            const double nzi = pr * zi[j] + pi * zr[j];
            r[j] = nr;
            zr[j] = nzr;
            zi[j] = nzi;
            ti[j] = g * (nr - nzr);
        }
    }
    double R[B], Zr[B], Zi[B];
    for (int j = 0; j < B; ++j)
        GaussDetail::RightBorderStates(k, xl[j], r[j], zr[j], zi[j], R[j], Zr[j], Zi[j]);
    for (std::ptrdiff_t i = n - 1; i >= 0; --i) {
        double* __restrict ti = t + i * B;
        for (int j = 0; j < B; ++j) {
            const double tv = ti[j];
            const double nR = a * R[j] + tv;
            const double nZr = tv + (pr * Zr[j] - pi * Zi[j]);
            const double nZi = pr * Zi[j] + pi * Zr[j];
            R[j] = nR;
            Zr[j] = nZr;
            Zi[j] = nZi;
            ti[j] = ClampSample<S>(g * (nR - nZr));
        }
    }
}

// Filters R rows of C interleaved channels (B = R * C lines; line j is channel j % C of
// row j / C) starting at base, rows lineStep apart, each of n pixels. The samples are
// gathered into t so the recursions run on contiguous data, then scattered back.
template <class S, int R, int C>
VL_GAUSS_INLINE void FilterRows(const LineConstants& k, S* base, std::ptrdiff_t lineStep, std::ptrdiff_t n,
                                double* __restrict t)
{
    constexpr int B = R * C;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        double* __restrict ti = t + i * B;
#pragma GCC unroll 8
        for (int row = 0; row < R; ++row) {
            const S* px = base + row * lineStep + i * C;
#pragma GCC unroll 4
            for (int ch = 0; ch < C; ++ch)
                ti[row * C + ch] = static_cast<double>(px[ch]);
        }
    }
    FilterInterleaved<S, B>(k, n, t);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double* __restrict ti = t + i * B;
#pragma GCC unroll 8
        for (int row = 0; row < R; ++row) {
            S* py = base + row * lineStep + i * C;
#pragma GCC unroll 4
            for (int ch = 0; ch < C; ++ch)
                py[ch] = ConvertClamped<S>(ti[row * C + ch]);
        }
    }
}

// Lines filtered together: sample columns per block of the vertical pass, rows per
// block of the horizontal pass (each with all its channels).
constexpr int kColumnBlock = 16;
constexpr int kRowBlock = 8;

// Sample columns [c0, c1) of the vertical pass (c0 on a block boundary), t holding
// height * kColumnBlock doubles.
template <class S>
VL_GAUSS_INLINE void ColumnBand(const LineConstants& k, int height, std::ptrdiff_t stride, S* data, std::ptrdiff_t c0,
                                std::ptrdiff_t c1, double* t)
{
    std::ptrdiff_t c = c0;
    for (; c + kColumnBlock <= c1; c += kColumnBlock)
        FilterColumns<S, kColumnBlock>(k, data + c, stride, height, t);
    for (; c < c1; ++c)
        FilterColumns<S, 1>(k, data + c, stride, height, t);
}

// Rows [r0, r1) of the horizontal pass (r0 on a block boundary), t holding
// width * kRowBlock * C doubles.
template <class S, int C>
VL_GAUSS_INLINE void RowBand(const LineConstants& k, int width, std::ptrdiff_t stride, S* data, int r0, int r1,
                             double* t)
{
    int row = r0;
    for (; row + kRowBlock <= r1; row += kRowBlock)
        FilterRows<S, kRowBlock, C>(k, data + row * stride, stride, width, t);
    for (; row < r1; ++row)
        FilterRows<S, 1, C>(k, data + row * stride, stride, width, t);
}

}  // namespace

// The bands of each sample type, compiled for AVX2 and for the baseline (a lambda of a
// cloned function would not be).
namespace GaussDetail {
#define VL_GAUSS_BANDS(Name, S, C)                                                                              \
    VL_GAUSS_CLONES void Name##Columns(const LineConstants& k, int height, std::ptrdiff_t stride, S* data,       \
                                       std::ptrdiff_t c0, std::ptrdiff_t c1, double* t)                          \
    {                                                                                                            \
        ColumnBand<S>(k, height, stride, data, c0, c1, t);                                                       \
    }                                                                                                            \
    VL_GAUSS_CLONES void Name##Rows(const LineConstants& k, int width, std::ptrdiff_t stride, S* data, int r0,   \
                                    int r1, double* t)                                                           \
    {                                                                                                            \
        RowBand<S, C>(k, width, stride, data, r0, r1, t);                                                        \
    }
VL_GAUSS_BANDS(Gray8, unsigned char, 1)
VL_GAUSS_BANDS(Rgb24, unsigned char, 3)
VL_GAUSS_BANDS(Gray16, unsigned short, 1)
VL_GAUSS_BANDS(GrayDouble, double, 1)
#undef VL_GAUSS_BANDS
}  // namespace GaussDetail

namespace {

// Below this many pixels a plane is blurred on the calling thread.
constexpr std::int64_t kParallelPixels = static_cast<std::int64_t>(1) << 18;
// Samples per parallel task (a band of whole line blocks).
constexpr std::int64_t kTaskSamples = static_cast<std::int64_t>(1) << 16;

// C interleaved samples per pixel, each channel filtered on its own; stride in samples.
// Large planes are cut into bands of whole line blocks for both passes, run on a few
// threads; every line is filtered exactly as on one thread.
template <class S, int C, class Columns, class Rows>
void BlurPlane(int width, int height, std::ptrdiff_t stride, S* data, const LineConstants& k, Columns columnBand,
               Rows rowBand)
{
    const std::ptrdiff_t columns = static_cast<std::ptrdiff_t>(width) * C;
    const std::size_t columnBuffer = static_cast<std::size_t>(height) * kColumnBlock;
    const std::size_t rowBuffer = static_cast<std::size_t>(width) * static_cast<std::size_t>(kRowBlock * C);
    if (static_cast<std::int64_t>(width) * height < kParallelPixels) {
        std::vector<double> buffer(std::max(columnBuffer, rowBuffer));
        columnBand(k, height, stride, data, 0, columns, buffer.data());
        rowBand(k, width, stride, data, 0, height, buffer.data());
        return;
    }
    const auto roundUp = [](std::int64_t v, std::int64_t m) { return std::max(m, (v + m - 1) / m * m); };
    const std::size_t columnGrain = static_cast<std::size_t>(roundUp(kTaskSamples / height, kColumnBlock));
    Utils::ParallelFor(static_cast<std::size_t>(columns), columnGrain, [&](std::size_t c0, std::size_t c1) {
        std::vector<double> t(columnBuffer);
        columnBand(k, height, stride, data, static_cast<std::ptrdiff_t>(c0), static_cast<std::ptrdiff_t>(c1), t.data());
    });
    const std::size_t rowGrain =
        static_cast<std::size_t>(roundUp(kTaskSamples / std::max<std::int64_t>(columns, 1), kRowBlock));
    Utils::ParallelFor(static_cast<std::size_t>(height), rowGrain, [&](std::size_t r0, std::size_t r1) {
        std::vector<double> t(rowBuffer);
        rowBand(k, width, stride, data, static_cast<int>(r0), static_cast<int>(r1), t.data());
    });
}

// Common entry: degenerate input leaves the data alone.
template <class S, int C>
inline bool Prepare(int width, int height, const S* data, double sigma, LineConstants& k) noexcept
{
    return width > 0 && height > 0 && data != nullptr && GaussDetail::MakeLineConstants(sigma, k);
}

}  // namespace

// The bands are compiled twice, for AVX2 and for the baseline, and the loader picks
// one; both perform the same IEEE operations in the same order (no fused multiply-adds),
// so their results are identical.
void Gauss8(int width, int height, int stride, unsigned char* data, double sigma)
{
    LineConstants k{};
    if (Prepare<unsigned char, 1>(width, height, data, sigma, k))
        BlurPlane<unsigned char, 1>(width, height, stride, data, k, GaussDetail::Gray8Columns, GaussDetail::Gray8Rows);
}

void Gauss24(int width, int height, int stride, unsigned char* data, double sigma)
{
    LineConstants k{};
    if (Prepare<unsigned char, 3>(width, height, data, sigma, k))
        BlurPlane<unsigned char, 3>(width, height, stride, data, k, GaussDetail::Rgb24Columns, GaussDetail::Rgb24Rows);
}

void GaussGray16bit(int width, int height, int stride, unsigned short* data, double sigma)
{
    LineConstants k{};
    if (Prepare<unsigned short, 1>(width, height, data, sigma, k))
        BlurPlane<unsigned short, 1>(width, height, stride, data, k, GaussDetail::Gray16Columns,
                                     GaussDetail::Gray16Rows);
}

void GaussGrayDouble(int width, int height, int stride, double* data, double sigma)
{
    LineConstants k{};
    if (Prepare<double, 1>(width, height, data, sigma, k))
        BlurPlane<double, 1>(width, height, stride, data, k, GaussDetail::GrayDoubleColumns,
                             GaussDetail::GrayDoubleRows);
}

std::unique_ptr<double[]> AllocGaussianFilterNxN(double sigma, int* n)
{
    if (n)
        *n = 0;
    constexpr double kMaxHalf = 1024;  // N <= 2049: a kernel of 4 M doubles at most
    if (!(sigma > 0.0) || !(3.5 * sigma + 0.5 < kMaxHalf + 1))
        return nullptr;
    const int half = static_cast<int>(3.5 * sigma + 0.5);
    const int size = 2 * half + 1;
    constexpr double kSqrt2Pi = 2.5066282746310002;
    std::vector<double> g(static_cast<std::size_t>(size));
    for (int i = -half; i <= half; ++i)
        g[static_cast<std::size_t>(i + half)] =
            std::exp(-static_cast<double>(i) * i / (2.0 * sigma * sigma)) / (sigma * kSqrt2Pi);
    auto kernel = std::make_unique<double[]>(static_cast<std::size_t>(size) * size);
    for (int r = 0; r < size; ++r)
        for (int c = 0; c < size; ++c)
            kernel[static_cast<std::size_t>(r) * size + c] =
                g[static_cast<std::size_t>(r)] * g[static_cast<std::size_t>(c)];
    if (n)
        *n = size;
    return kernel;
}
