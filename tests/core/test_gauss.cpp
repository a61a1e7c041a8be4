#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "core/gauss.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// sigma of the clamped scale 0.125, where the filter collapses (theta = 4 pi).
constexpr double kClampSigma = 0.857379 * 0.125;

// Smooth but busy test pattern in 0..1: gradients, a disc and some sinusoids.
double pattern(int x, int y)
{
    const double v = 0.5 + 0.2 * std::sin(x * 0.13) * std::cos(y * 0.07) + 0.15 * std::sin((x + 2 * y) * 0.031) +
                     ((x - 60) * (x - 60) + (y - 40) * (y - 40) < 400 ? 0.12 : 0.0);
    return std::min(1.0, std::max(0.0, v));
}

// Clamped to 0..hi; integers truncated, with rounding residue within 1e-6 of the next
// level counted as that level.
template <class S>
S storeLikeFilter(double v, double hi)
{
    if (v >= hi)
        return static_cast<S>(hi);
    if (!(v > 0.0))
        return static_cast<S>(0);
    if constexpr (std::is_integral_v<S>)
        return static_cast<S>(v + 1e-6);
    else
        return static_cast<S>(v);
}

// The plain form: every column with the one-line recursion, stored (clamped and
// converted), then every row of each channel.
template <class S>
void referenceBlur(int w, int h, int stride, int channels, S* data, double sigma, double hi)
{
    std::vector<double> line;
    for (int c = 0; c < w * channels; ++c) {
        line.resize(std::size_t(h));
        for (int y = 0; y < h; ++y)
            line[std::size_t(y)] = data[std::size_t(y) * stride + c];
        if (!GaussDetail::RecursiveGaussLine(sigma, line.data(), line.data(), h))
            return;
        for (int y = 0; y < h; ++y)
            data[std::size_t(y) * stride + c] = storeLikeFilter<S>(line[std::size_t(y)], hi);
    }
    for (int ch = 0; ch < channels; ++ch)
        for (int y = 0; y < h; ++y) {
            line.resize(std::size_t(w));
            for (int x = 0; x < w; ++x)
                line[std::size_t(x)] = data[std::size_t(y) * stride + std::size_t(x) * channels + ch];
            GaussDetail::RecursiveGaussLine(sigma, line.data(), line.data(), w);
            for (int x = 0; x < w; ++x)
                data[std::size_t(y) * stride + std::size_t(x) * channels + ch] =
                    storeLikeFilter<S>(line[std::size_t(x)], hi);
        }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// What the blur computes

TEST(RecursiveGauss, ImpulseSumsToOneWithSpreadCloseToSigma)
{
    // One line is enough: the plane filters are held to the line filter below.
    for (double sigma : {1.0, 1.6, 2.5, 4.0, 8.0}) {
        const int n = 201, c = 100;
        std::vector<double> line(n, 0.0);
        line[c] = 1.0;
        ASSERT_TRUE(GaussDetail::RecursiveGaussLine(sigma, line.data(), line.data(), n));
        double sum = 0, mean = 0, var = 0;
        for (int x = 0; x < n; ++x) {
            ASSERT_GE(line[std::size_t(x)], 0.0);
            sum += line[std::size_t(x)];
            mean += line[std::size_t(x)] * x;
            var += line[std::size_t(x)] * (x - c) * (x - c);
        }
        EXPECT_NEAR(sum, 1.0, 1e-6) << sigma;  // the tails past the border are cut
        EXPECT_NEAR(mean / sum, c, 1e-9) << sigma;
        EXPECT_NEAR(std::sqrt(var / sum), sigma, 0.07 * sigma) << sigma;
    }
}

TEST(RecursiveGauss, BordersActAsContinuedEdgeValues)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0, 1);
    for (double sigma : {0.7, 2.0, 9.0}) {
        const int n = 37, pad = 3000;
        std::vector<double> x(n), padded(std::size_t(n + 2 * pad));
        for (double& v : x)
            v = u(rng);
        for (int i = 0; i < n + 2 * pad; ++i)
            padded[std::size_t(i)] = x[std::size_t(std::clamp(i - pad, 0, n - 1))];
        std::vector<double> y(n), yp(padded.size());
        ASSERT_TRUE(GaussDetail::RecursiveGaussLine(sigma, x.data(), y.data(), n));
        ASSERT_TRUE(GaussDetail::RecursiveGaussLine(sigma, padded.data(), yp.data(), std::ptrdiff_t(padded.size())));
        for (int i = 0; i < n; ++i)
            EXPECT_NEAR(y[std::size_t(i)], yp[std::size_t(i + pad)], 1e-12) << sigma << " " << i;

        // Filtering the reversed line gives the reversed result: the two directions and
        // the two borders agree.
        std::vector<double> rx(x.rbegin(), x.rend()), ry(n);
        GaussDetail::RecursiveGaussLine(sigma, rx.data(), ry.data(), n);
        for (int i = 0; i < n; ++i)
            EXPECT_NEAR(ry[std::size_t(n - 1 - i)], y[std::size_t(i)], 1e-12);
    }
}

TEST(RecursiveGauss, ConstantPlanesStayAndSamplesAreClampedNeverWrapped)
{
    // Integer members may lose one level to the truncation; the top level is kept.
    const auto keeps = [](const auto& v, int level) {
        const int top = std::numeric_limits<std::decay_t<decltype(v[0])>>::max();
        return std::all_of(v.begin(), v.end(), [&](auto s) { return s == level || (s + 1 == level && level < top); });
    };
    for (double sigma : {0.3, 1.0, 5.0, 40.0, 2000.0}) {
        std::vector<double> d(50 * 30, 0.37);
        GaussGrayDouble(50, 30, 50, d.data(), sigma);
        EXPECT_TRUE(std::all_of(d.begin(), d.end(), [](double v) { return std::fabs(v - 0.37) < 1e-12; })) << sigma;
        for (int level : {0, 1, 128, 254, 255}) {
            std::vector<unsigned char> g(40 * 25, static_cast<unsigned char>(level));
            Gauss8(40, 25, 40, g.data(), sigma);
            EXPECT_TRUE(keeps(g, level)) << sigma << " " << level;
        }
        for (int level : {40000, 65535}) {
            std::vector<unsigned short> w(33 * 21, static_cast<unsigned short>(level));
            GaussGray16bit(33, 21, 33, w.data(), sigma);
            EXPECT_TRUE(keeps(w, level)) << sigma << " " << level;
        }
    }
    // Overshoot at 1.0 itself: rounding of a plane of ones must not store above 1; values
    // beyond the range are stored as the range's ends.
    for (double level : {1.0, 1.8, -3.0}) {
        std::vector<double> d(23 * 19, level);
        GaussGrayDouble(23, 19, 23, d.data(), 2.2);
        EXPECT_TRUE(std::all_of(d.begin(), d.end(), [&](double v) { return v == std::clamp(level, 0.0, 1.0); }));
    }
    // A bright field beside a dark bar: near the top the samples must not wrap to 0.
    std::vector<unsigned char> b(32 * 16, 255);
    for (int y = 0; y < 16; ++y)
        b[std::size_t(y) * 32] = 0;
    Gauss8(32, 16, 32, b.data(), 0.8);
    for (int y = 0; y < 16; ++y)
        EXPECT_TRUE(b[std::size_t(y) * 32] < 100 && *std::min_element(b.begin() + y * 32 + 4, b.begin() + y * 32 + 32) >= 254) << y;
}

// Runs `filter` and the plain form on a w x h plane of `channels` samples per pixel
// (row padding marked with `pad`) and expects bit-identical results, padding included.
template <class S>
void expectPlainForm(void (*filter)(int, int, int, S*, double), int channels, double hi, S pad, double sigma,
                     int w = 45, int h = 29)  // partial blocks of lines in both passes
{
    const int stride = w * channels + 5;
    std::vector<S> a(std::size_t(stride) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < stride; ++x)
            a[std::size_t(y) * stride + x] =
                x < w * channels ? static_cast<S>(pattern(x / channels + 7 * (x % channels), y) * hi) : pad;
    std::vector<S> b = a;
    filter(w, h, stride, a.data(), sigma);
    referenceBlur<S>(w, h, stride, channels, b.data(), sigma, hi);
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(a[i], b[i]) << "sigma " << sigma << " channels " << channels << " at " << i;
}

TEST(RecursiveGauss, BlockedPlaneFiltersEqualThePlainLineByLineForm)
{
    for (double sigma : {0.6, 2.3, 11.0}) {
        expectPlainForm<double>(GaussGrayDouble, 1, 1.0, -7.0, sigma);
        expectPlainForm<unsigned char>(Gauss8, 1, 255.0, 77, sigma);
        expectPlainForm<unsigned char>(Gauss24, 3, 255.0, 77, sigma);
        expectPlainForm<unsigned short>(GaussGray16bit, 1, 65535.0, 777, sigma);
    }
    // Planes large enough to be cut into bands on several threads.
    expectPlainForm<unsigned char>(Gauss8, 1, 255.0, 77, 2.3, 701, 403);
    expectPlainForm<unsigned char>(Gauss24, 3, 255.0, 77, 2.3, 701, 403);
    // Single pixels, rows and columns: one pass sees one-sample lines.
    for (auto [w, h] : {std::pair{1, 1}, {25, 1}, {1, 9}}) {
        expectPlainForm<double>(GaussGrayDouble, 1, 1.0, -7.0, 2.0, w, h);
        expectPlainForm<unsigned char>(Gauss8, 1, 255.0, 77, 1.0, w, h);
        expectPlainForm<unsigned char>(Gauss24, 3, 255.0, 77, 5.0, w, h);
    }
}

// ---------------------------------------------------------------------------------------
// Degenerate input

TEST(RecursiveGauss, DegenerateSigmaOrPlaneLeavesTheDataUnchanged)
{
    // At the clamped scale (and below it, and at sigma = 0.857379 / 4 where theta = 2 pi)
    // the recursion's gain is infinite; negative, NaN and infinite sigmas mean nothing.
    std::vector<double> d0(30 * 20);
    for (std::size_t i = 0; i < d0.size(); ++i)
        d0[i] = pattern(int(i % 30), int(i / 30));
    std::vector<unsigned char> g0(30 * 3 * 20);
    for (std::size_t i = 0; i < g0.size(); ++i)
        g0[i] = static_cast<unsigned char>(i * 37);
    std::vector<unsigned short> s0(30 * 20, 12345);
    s0[17] = 65535;
    for (double sigma : {0.0, -1.0, -0.0, 1e-9, 0.05, kClampSigma, 0.107, 0.857379 * 0.25, kNaN, kInf, -kInf}) {
        EXPECT_TRUE(GaussDetail::IsDegenerateSigma(sigma)) << sigma;
        std::vector<double> d = d0;
        GaussGrayDouble(30, 20, 30, d.data(), sigma);
        std::vector<unsigned char> g = g0;
        Gauss8(30, 20, 30, g.data(), sigma);
        Gauss24(30, 20, 90, g.data(), sigma);
        std::vector<unsigned short> w = s0;
        GaussGray16bit(30, 20, 30, w.data(), sigma);
        EXPECT_TRUE(d == d0 && g == g0 && w == s0) << sigma;
    }
    // Just above the collapse the filter is valid and finite.
    for (double sigma : {0.11, 0.15, 0.2, 0.22, 0.3}) {
        EXPECT_FALSE(GaussDetail::IsDegenerateSigma(sigma)) << sigma;
        std::vector<double> d = d0;
        GaussGrayDouble(30, 20, 30, d.data(), sigma);
        EXPECT_TRUE(std::all_of(d.begin(), d.end(), [](double v) { return std::isfinite(v); })) << sigma;
    }
    // Empty planes: nothing written, nothing read.
    std::vector<unsigned char> sentinel(64, 99);
    Gauss8(0, 10, 8, sentinel.data(), 2.0);
    Gauss8(10, 0, 16, sentinel.data(), 2.0);
    Gauss24(0, 0, 0, sentinel.data(), 2.0);
    Gauss24(-3, 5, 9, sentinel.data(), 2.0);
    GaussGray16bit(0, 4, 2, reinterpret_cast<unsigned short*>(sentinel.data()), 1.0);
    GaussGrayDouble(4, 0, 4, reinterpret_cast<double*>(sentinel.data()), 1.0);
    EXPECT_EQ(sentinel, std::vector<unsigned char>(64, 99));
    GaussGrayDouble(4, 4, 4, nullptr, 1.0);
}

// ---------------------------------------------------------------------------------------
// The sampled kernel

TEST(SampledGaussianKernel, SizeAndValues)
{
    // Half width trunc(3.5 sigma + 0.5); samples of the unit-area Gaussian's outer product.
    for (auto [sigma, size] : {std::pair{1.0, 9}, std::pair{2.0, 15}, std::pair{0.1, 1}}) {
        int n = -1;
        const auto k = AllocGaussianFilterNxN(sigma, &n);
        ASSERT_TRUE(k);
        ASSERT_EQ(n, size);
        const double g0 = 1.0 / (sigma * 2.5066282746310002);
        const int c = n / 2;
        EXPECT_DOUBLE_EQ(k[std::size_t(c) * n + c], g0 * g0);
        if (n > 1) {
            EXPECT_DOUBLE_EQ(k[std::size_t(c) * n + c + 2], g0 * g0 * std::exp(-2.0 / (sigma * sigma)));
            double sum = 0;
            for (int i = 0; i < n * n; ++i)
                sum += k[std::size_t(i)];
            EXPECT_NEAR(sum, 1.0, 0.01);  // not renormalised, but 3.5 sigma holds nearly all
        }
        for (int r = 0; r < n; ++r)
            for (int col = 0; col < n; ++col)
                ASSERT_TRUE(k[std::size_t(r) * n + col] == k[std::size_t(col) * n + r] &&
                            k[std::size_t(r) * n + col] == k[std::size_t(n - 1 - r) * n + (n - 1 - col)]);
    }
    for (double bad : {0.0, -1.0, kNaN, kInf, 1e9}) {
        int n = 5;
        EXPECT_TRUE(!AllocGaussianFilterNxN(bad, &n) && n == 0) << bad;
    }
}
