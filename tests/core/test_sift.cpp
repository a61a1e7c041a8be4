// SIFT extraction: detection on synthetic structures (flat, blob, edge, ridge),
// shift equivariance, descriptor normalisation, the orientation histogram's circular
// peaks, bilinear sampling at the plane's edges, cancellation at every poll, tiny and
// unusable inputs, and bit-identity of the fast histogram and descriptor loops with
// their straightforward all-bins forms on a textured image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <tuple>
#include <vector>

#include <QImage>

#include "core/gauss.h"
#include "core/keypoints.h"
#include "core/pano_element.h"
#include "core/panorama_exceptions.h"
#include "core/sift.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/scene.h"

using namespace PanoramaRecognition;
using ScaleSpace::CImageD;
using ScaleSpace::CKeyDescriptor;
using ScaleSpace::CKeypointArray;
using ScaleSpace::CKeyPoint;
using ScaleSpace::SIFT;

namespace {

constexpr double kPi = 3.141592653589793;

// 8-bit grey images (rows 4-byte aligned, like the pixel store's) with grey value f(x, y).
template <class F>
QImage Field(int w, int h, F f)
{
    QImage r(w, h, QImage::Format_Grayscale8);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            r.scanLine(y)[x] = static_cast<unsigned char>(std::lround(std::clamp(f(x, y), 0.0, 255.0)));
    return r;
}

// Dark background with a Gaussian at (cx, cy) of standard deviations su, sv along axes
// turned by `turn` radians.
QImage Blob(int w, int h, double cx, double cy, double su, double sv = 0.0, double turn = 0.0)
{
    sv = sv > 0.0 ? sv : su;
    const double c = std::cos(turn), s = std::sin(turn);
    return Field(w, h, [&](int x, int y) {
        const double u = (x - cx) * c + (y - cy) * s, v = (y - cy) * c - (x - cx) * s;
        return 20.0 + 220.0 * std::exp(-0.5 * (std::pow(u / su, 2) + std::pow(v / sv, 2)));
    });
}

// A grey crop of a photo-like scene: sharp shapes, gradients and fine marks.
QImage SceneRaster(const QRect& rect, QImage::Format format = QImage::Format_Grayscale8)
{
    static const vltest::Scene scene(vltest::SceneOptions{.seed = 9, .planeWidth = 512, .planeHeight = 512});
    return vltest::planeCrop(scene, rect).convertToFormat(format);
}

struct Features {
    CKeypointArray<SIFT> keys;
    CKeypointArray<CKeyDescriptor> descriptors;
};

void Extract(const QImage& r, Features& f, double edgeRatio = 10.0, bool (*abort)() = nullptr)
{
    SIFTKeys(r.constBits(), r.width(), r.height(), r.bytesPerLine(), r.depth(), 4, 2, 0.02, edgeRatio, f.keys,
             f.descriptors, abort);
}

// ---- Straightforward forms the fast loops must reproduce bit for bit ----------------

double OrientationBinAngle(int j) { return j * (kPi / 18.0) - kPi; }

void ReferenceHistogram(double* hist, const CImageD& magnitude, const CImageD& orientation, int x, int y,
                        double* kernel, int half)
{
    const int n = 2 * half + 1;
    std::vector<double> weights(static_cast<std::size_t>(n) * n);
    std::vector<double> angles(static_cast<std::size_t>(n) * n);
    std::vector<double> zeroKernel(static_cast<std::size_t>(n) * n, 1.0);
    fill_weight_window(weights.data(), magnitude.data, x, y, kernel, half, magnitude.width, magnitude.height);
    // Angles copied the same way (0 outside), through a unit kernel.
    fill_weight_window(angles.data(), orientation.data, x, y, zeroKernel.data(), half, orientation.width,
                       orientation.height);
    double binAngles[36];
    for (int j = 0; j < 36; ++j)
        binAngles[j] = OrientationBinAngle(j);
    fill_histogram(hist, binAngles, 36, kPi / 18.0, weights.data(), angles.data(), n * n);
}

void ReferenceDescriptor(const CImageD& level, double cx, double cy, double theta, double* out)
{
    const double C[4] = {-6.0, -2.0, 2.0, 6.0};
    std::fill_n(out, 128, 0.0);
    const double cosT = std::cos(theta), sinT = std::sin(theta);
    for (int iv = 0; iv < 16; ++iv) {
        const double v = -7.5 + iv;
        for (int iu = 0; iu < 16; ++iu) {
            const double u = -7.5 + iu;
            const double px = cx + u * cosT - v * sinT;
            const double py = cy + u * sinT + v * cosT;
            const int ix = static_cast<int>(std::floor(px)), iy = static_cast<int>(std::floor(py));
            const double fx = px - ix, fy = py - iy;
            const double gx = (interp2_bilinear_at(level, ix + 1, iy, fx, fy) - interp2_bilinear_at(level, ix - 1, iy, fx, fy)) / 2.0;
            const double gy = (interp2_bilinear_at(level, ix, iy + 1, fx, fy) - interp2_bilinear_at(level, ix, iy - 1, fx, fy)) / 2.0;
            if (gx == 0.0 && gy == 0.0)
                continue;
            double alpha = std::atan2(gy, gx);
            if (alpha == kPi)
                alpha = -kPi;
            const double gm = std::exp(-((px - cx) * (px - cx) + (py - cy) * (py - cy)) / 128.0) / (128.0 * kPi) *
                              std::sqrt(gx * gx + gy * gy);
            for (int r = 0; r < 4; ++r)
                for (int q = 0; q < 4; ++q) {
                    const double ccx = cx + C[r] * cosT - C[q] * sinT;
                    const double ccy = cy + C[r] * sinT + C[q] * cosT;
                    const double wx = 1.0 - std::fabs(ccx - px) / 4.0;
                    const double wy = 1.0 - std::fabs(ccy - py) / 4.0;
                    if (!(wx > 0.0 && wy > 0.0))
                        continue;
                    const double cellWeight = wx * wy * gm;
                    for (int b = 0; b < 8; ++b) {
                        const double phi = b * (kPi / 4.0) - kPi;
                        const double d = WrapTwoPi(alpha - theta - phi + kPi);
                        const double wb = 1.0 - std::fabs(d - kPi) / (kPi / 4.0);
                        if (wb > 0.0)
                            out[(4 * r + q) * 8 + b] += wb * cellWeight;
                    }
                }
        }
    }
    NormalizeDescriptor(out);
}

double Norm(const double* v)
{
    return std::sqrt(std::inner_product(v, v + 128, v, 0.0));
}

}  // namespace

// ---- Detection on synthetic structures -----------------------------------------------

TEST(SiftDetection, BlobGivesKeypointsAtItsCentreAndScale)
{
    // Off the sample grid (the octaves that find it sample every 2 pixels): the keypoint
    // is the sample nearest the centre, on its octave's grid (no refinement between
    // samples), round or turned and elongated.
    struct Case { double su, sv, turn; };
    for (const Case c : {Case{5.0, 5.0, 0.0}, Case{4.0, 7.0, 0.5}}) {
        const QImage r = Blob(128, 112, 61.4, 52.7, c.su, c.sv, c.turn);
        Features f;
        Extract(r, f);
        ASSERT_GE(f.keys.size(), 1u);
        ASSERT_EQ(f.keys.size(), f.descriptors.size());
        for (const SIFT* k : f.keys) {
            const double spacing = std::ldexp(0.5, k->octave);
            // The blob's scale lies between the level found and the next one.
            EXPECT_TRUE(std::max(std::fabs(k->x - 61.4), std::fabs(k->y - 52.7)) <= 1.01 &&
                        k->x / spacing == std::floor(k->x / spacing) && k->y / spacing == std::floor(k->y / spacing) &&
                        k->sigma > c.su / 2.0 && k->sigma < c.sv * 2.0)
                << c.sv << ": " << k->x << "," << k->y << " octave " << k->octave << " sigma " << k->sigma;
        }
    }
}

TEST(SiftDetection, FlatAreasAndEdgesGiveNoKeypointsAndEmptyTheKeys)
{
    // Soft straight edges at several angles through (100, 100), between flat areas. Off
    // the axes the sampling makes strict extrema along the edge; only the edge test
    // removes them.
    for (double angle : {0.0, 0.3, 0.7, kPi / 2}) {
        const QImage r = Field(200, 200, [&](int x, int y) {
            return 40.0 + 170.0 / (1.0 + std::exp(-((x - 100) * std::cos(angle) + (y - 100) * std::sin(angle)) / 0.7));
        });
        Features f;
        f.keys.emplace_back(1.0, 2.0, 0.0, 0, 1, 1.0);  // left over from an earlier photo
        f.descriptors.emplace_back();
        Extract(r, f);
        // The keys are emptied, the descriptors appended to.
        EXPECT_EQ(std::pair(f.keys.size(), f.descriptors.size()), std::pair(std::size_t(0), std::size_t(1))) << angle;
        if (angle == 0.3 || angle == 0.7) {
            Features lax;
            Extract(r, lax, 1e9);
            int interior = 0;
            for (const SIFT* k : lax.keys)
                interior += k->x > 30 && k->x < 170 && k->y > 30 && k->y < 170;
            EXPECT_GT(interior, 0) << "angle " << angle << ": the edge test had nothing to reject";
        }
    }
}

TEST(SiftDetection, QuarterTurnRotatesKeypointsOrientationsAndKeepsDescriptors)
{
    // A quarter turn maps photo pixel (x, y) to (H - 1 - y, x); with H - 1 a multiple
    // of 4 every octave's grid maps onto itself. Grey levels that are multiples of 4
    // make the doubled photo's averages exact whichever way they are grouped; the
    // blurs then run in the other order and direction, so values agree to rounding.
    vltest::SceneOptions options{.seed = 33, .planeWidth = 512, .planeHeight = 512};
    const vltest::Scene scene(options);
    // The texture sits in a flat frame, so the photo's borders (where the doubled
    // photo is not symmetric: its last row and column are copies) play no part.
    const QImage texture = vltest::planeCrop(scene, QRect(100, 70, 170, 150)).convertToFormat(QImage::Format_Grayscale8);
    const int W = 257, H = 233, ox = 44, oy = 40;
    const auto grey = [&](int x, int y) {
        const bool inside = x >= ox && y >= oy && x < ox + texture.width() && y < oy + texture.height();
        return inside ? double(texture.constScanLine(y - oy)[x - ox] & ~3) : 128.0;
    };
    const QImage a = Field(W, H, grey);
    const QImage b = Field(H, W, [&](int x, int y) { return grey(y, H - 1 - x); });
    Features fa, fb;
    Extract(a, fa);
    Extract(b, fb);
    int interior = 0, matched = 0;
    for (std::size_t i = 0; i < fa.keys.size(); ++i) {
        const SIFT& ka = *fa.keys[i];
        if (ka.x < 12 || ka.y < 12 || ka.x > W - 13 || ka.y > H - 13)
            continue;
        ++interior;
        for (std::size_t j = 0; j < fb.keys.size(); ++j) {
            const SIFT& kb = *fb.keys[j];
            if (kb.x != H - 1 - ka.y || kb.y != ka.x || kb.octave != ka.octave || kb.scale != ka.scale ||
                std::fabs(std::remainder(kb.orientation - ka.orientation - kPi / 2, 2 * kPi)) > 1e-6)
                continue;
            double diff = 0;
            for (int k = 0; k < 128; ++k)
                diff = std::max(diff, std::fabs((*fa.descriptors[i])[k] - (*fb.descriptors[j])[k]));
            EXPECT_LT(diff, 1e-6) << "keypoint at " << ka.x << "," << ka.y;
            ++matched;
            break;
        }
    }
    ASSERT_GT(interior, 40);
    // A near-tie decided by rounding may move one keypoint; a fault moves most of them.
    EXPECT_GE(matched, interior - 1);
}

TEST(SiftDetection, ColourPixelsGiveTheFeaturesOfTheirGreyAndAnElementThoseOfItsPixels)
{
    vltest::ScopedDibManager dibs;
    const QImage photo = SceneRaster(QRect(40, 60, 300, 220), QImage::Format_RGB888);
    Features fromPixels;
    SIFTKeys(photo.constBits(), photo.width(), photo.height(), photo.bytesPerLine(), 24, 4, 2, 0.02, 10.0,
             fromPixels.keys, fromPixels.descriptors, nullptr);
    ASSERT_GT(fromPixels.keys.size(), 30u);

    // An 8-bit element holding the grey the extraction derives from the colour bytes.
    const QImage colourAsGrey = Field(photo.width(), photo.height(), [&](int x, int y) {
        const unsigned char* p = photo.constScanLine(y) + 3 * x;
        return double((30 * p[2] + 59 * p[1] + 11 * p[0]) / 100);
    });
    CPanoElement* grey = new CPanoElement(false);
    ASSERT_TRUE(grey->CreateImage(const_cast<unsigned char*>(colourAsGrey.constBits()), colourAsGrey.width(),
                                  colourAsGrey.height(), static_cast<int>(colourAsGrey.bytesPerLine())));
    ASSERT_EQ(grey->GetBPP(), 8);
    Features fromGrey;
    SIFTKeys(grey, 4, 2, 0.02, 10.0, fromGrey.keys, fromGrey.descriptors, nullptr);
    grey->Release();
    ASSERT_EQ(fromGrey.keys.size(), fromPixels.keys.size());
    for (std::size_t i = 0; i < fromGrey.keys.size(); ++i)
        EXPECT_TRUE(!std::memcmp(fromGrey.keys[i], fromPixels.keys[i], sizeof(SIFT)) &&
                    !std::memcmp(fromGrey.descriptors[i]->data(), fromPixels.descriptors[i]->data(), sizeof(CKeyDescriptor)))
            << i;

    // An element without pixels is a failure, not an empty analysis.
    CPanoElement* empty = new CPanoElement(false);
    EXPECT_THROW(SIFTKeys(empty, 4, 2, 0.02, 10.0, fromGrey.keys, fromGrey.descriptors, nullptr), panorama_error);
    empty->Release();
}

// ---- Small pieces ------------------------------------------------------------------------

TEST(SiftPieces, BilinearSamplingAndOrientationWindowsReachEveryBorder)
{
    CImageD plane;
    ASSERT_TRUE(plane.Create(4, 3));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            *plane.GetValue(x, y) = 1.0 + x + 10.0 * y;
    // Beside the last column or left of the first: blends with the outside, never
    // extrapolates.
    for (auto [x, y, v] : {std::tuple{1.5, 1.0, 12.5}, {3.5, 0.0, 2.0}, {-0.5, 0.0, 0.5}, {0.0, -0.25, 0.75},
                           {-1.0, 0.0, 0.0}, {4.0, 0.0, 0.0}, {std::nan(""), 0.0, 0.0}, {1e300, -1e300, 0.0}})
        EXPECT_DOUBLE_EQ(interp2_bilinear(&plane, x, y), v) << x << "," << y;
    EXPECT_DOUBLE_EQ(interp2_bilinear(nullptr, 1.0, 1.0), 0.0);
    // An orientation window wider than the plane: every border row and column counts.
    CImageD angle;
    ASSERT_TRUE(angle.Create(4, 3));
    for (int i = 0; i < 12; ++i)
        angle.data[i] = 0.5 * i - 3.0;
    int n = 0;
    auto kernel = AllocGaussianFilterNxN(1.0, &n);
    double fast[36], slow[36];
    ReferenceHistogram(slow, plane, angle, 1, 1, kernel.get(), n / 2);
    AccumulateOrientationHistogram(fast, plane, angle, 1, 1, kernel.get(), n / 2);
    EXPECT_EQ(std::memcmp(fast, slow, sizeof fast), 0);
}

// The orientations an orientation histogram gives, for bins set to `value` over `fill`.
static std::vector<double> Peaks(std::initializer_list<std::pair<int, double>> bins, double fill = 0.0)
{
    double hist[36];
    std::fill(hist, hist + 36, fill);
    for (auto [bin, value] : bins)
        hist[bin] = value;
    std::vector<double> out;
    OrientationsFromHistogram(hist, out);
    for (double o : out)
        EXPECT_TRUE(o >= -kPi && o < kPi) << o;  // NaN fails both
    return out;
}

TEST(SiftPieces, HistogramPeaksWrapAroundCountTiesAndKeepFlatTopsAtTheBinCentre)
{
    // Highest peak in bin 0 with bin 35 as its left neighbour: the vertex is pulled below
    // -pi and wrapped to just under +pi; a peak in bin 35 is pulled toward bin 0.
    std::vector<double> out = Peaks({{35, 4.0}, {0, 10.0}, {1, 2.0}});
    EXPECT_TRUE(out.size() == 1 && out[0] > kPi - kPi / 36.0);
    out = Peaks({{35, 10.0}, {0, 6.0}, {34, 1.0}});
    EXPECT_TRUE(out.size() == 1 && out[0] > OrientationBinAngle(35));
    // Equal peaks both count; exactly 0.8 x the top does not.
    out = Peaks({{5, 5.0}, {20, 5.0}, {30, 4.0}});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_LT(std::hypot(out[0] - OrientationBinAngle(5), out[1] - OrientationBinAngle(20)), 1e-9);
    EXPECT_EQ(Peaks({{5, 5.0}, {20, 5.0}, {30, 4.0001}}).size(), 3u);
    // Zero curvature at bin 10: the bin centre instead of an infinite vertex.
    out = Peaks({{9, 3.0}, {10, 3.0}, {11, 3.0}});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_NEAR(out[1], OrientationBinAngle(10), 1e-12);
    // A uniform histogram: every bin a peak, every orientation its bin centre.
    out = Peaks({}, 1.0);
    ASSERT_EQ(out.size(), 36u);
    for (int j = 0; j < 36; ++j)
        EXPECT_NEAR(out[static_cast<std::size_t>(j)], OrientationBinAngle(j), 1e-12);
    // Nearly flat: the curvature is at the rounding level, the vertex still stays
    // within half a bin of its peak.
    out = Peaks({{9, 1.0}, {10, 1.0}, {11, std::nextafter(1.0, 0.0)}});
    ASSERT_GE(out.size(), 1u);
    for (double o : out)
        EXPECT_LE(std::fabs(o - OrientationBinAngle(9)) - kPi / 36.0, 1e-12 + kPi / 18.0);
    EXPECT_LE(std::fabs(out[0] - OrientationBinAngle(9)), kPi / 36.0 + 1e-12);
    EXPECT_TRUE(Peaks({}).empty());  // an empty histogram gives nothing
}

TEST(SiftPieces, AnglesWrapIntoOneTurnAndDescriptorsAreNormalisedClampedOnceAndZeroWhenThereIsNothing)
{
    for (double d : {0.0, 1.0, -1e-300, -1e-17, 2 * kPi, 4 * kPi - 1e-9, -7.0, 1e300, -1e300, 1e17})
        EXPECT_TRUE(WrapTwoPi(d) >= 0.0 && WrapTwoPi(d) < 2 * kPi) << d;
    EXPECT_EQ(WrapTwoPi(2 * kPi + 0.5), 0.5 + 2 * kPi - 2 * kPi);

    double v[128] = {};
    NormalizeDescriptor(v);
    EXPECT_EQ(Norm(v), 0.0);
    v[0] = 10.0;
    v[1] = 1.0;
    NormalizeDescriptor(v);
    // 10 and 1 become 0.995 and 0.0995; the first is clamped to 0.2, then renormalised.
    EXPECT_NEAR(Norm(v), 1.0, 1e-12);
    EXPECT_GT(v[0], 0.2);  // above the clamp again after the second normalisation
    EXPECT_NEAR(v[0] / v[1], 0.2 / (1.0 / std::sqrt(101.0)), 1e-9);

    CImageD plane;
    ASSERT_TRUE(plane.Create(40, 40));
    for (int i = 0; i < 1600; ++i)
        plane.data[i] = (i * 37 % 101) / 100.0;
    double d[128];
    // Non-finite keypoints, and one far outside the plane: no gradient anywhere.
    for (auto [x, y, theta] : {std::tuple{std::nan(""), 10.0, 0.0}, {10.0, 10.0, INFINITY}, {1e9, -1e9, 0.3}}) {
        ComputeDescriptor(plane, x, y, theta, d);
        EXPECT_EQ(Norm(d), 0.0) << x << "," << y << " " << theta;
    }
    // At the corner: the border shows up as a gradient, and the result is unit length.
    ComputeDescriptor(plane, 0.0, 0.0, 0.3, d);
    EXPECT_NEAR(Norm(d), 1.0, 1e-12);
}

// ---- Fast loops against their straightforward forms --------------------------------------

static void CompareWithStraightforwardForms(const QImage& r)
{
    const int octaves = 4, scales = 2, levels = scales + 3;
    ScaleSpace::CGaussianPyr gauss(octaves, levels, r.width(), r.height(), 0.5);
    CImageD& base = *gauss.GetGaussian(0, 0);
    MakeDoubledGreyLevel(r.constBits(), r.width(), r.height(), r.bytesPerLine(), 8, base);
    GaussGrayDouble(base.width, base.height, base.width, base.data, 1.0);
    Utils::CMatrix2D sigma(octaves, levels);
    ASSERT_NE(sigma.data, nullptr);
    sigma.at(0, 0) = std::sqrt(2.0) / 2.0;
    ScaleSpace::CDOGPyr dog(octaves, scales + 2, r.width(), r.height(), 0.5);
    BuildScaleSpace(gauss, &dog, scales, sigma);
    CKeypointArray<CKeyPoint> extrema;
    for (int o = 0; o < octaves; ++o)
        for (int l = 1; l <= scales; ++l)
            LocalizeFeatureKeyLocations(dog, gauss, o, l, 0.02, 12.1, extrema);
    ASSERT_GT(extrema.size(), 50u);
    ScaleSpace::CGaussianPyr mag(octaves, levels, r.width(), r.height(), 0.5);
    ScaleSpace::CGaussianPyr ori(octaves, levels, r.width(), r.height(), 0.5);
    for (int o = 0; o < octaves; ++o)
        for (int l = 1; l <= scales; ++l)
            CalcGradientMagnitudeAndOrientation(gauss, mag, ori, o, l);

    // Histograms, also at points next to the border whose windows are clipped.
    std::vector<SIFT> expected;
    for (const CKeyPoint* k : extrema) {
        int n = 0;
        auto kernel = AllocGaussianFilterNxN(1.5 * sigma.at(k->octave, k->scale) / gauss.GetSubsample(k->octave), &n);
        ASSERT_TRUE(kernel);
        double fast[36], slow[36];
        const CImageD& M = *mag.GetGaussian(k->octave, k->scale);
        const CImageD& A = *ori.GetGaussian(k->octave, k->scale);
        ReferenceHistogram(slow, M, A, k->x, k->y, kernel.get(), n / 2);
        AccumulateOrientationHistogram(fast, M, A, k->x, k->y, kernel.get(), n / 2);
        ASSERT_EQ(std::memcmp(fast, slow, sizeof fast), 0) << "histogram of " << k->x << "," << k->y;
        std::vector<double> orientations;
        OrientationsFromHistogram(slow, orientations);
        const double spacing = gauss.GetSubsample(k->octave);
        for (double o : orientations)
            expected.push_back({k->x * spacing, k->y * spacing, o, k->octave, k->scale, sigma.at(k->octave, k->scale)});
    }

    Features f;
    Extract(r, f);
    ASSERT_EQ(f.keys.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const SIFT& k = *f.keys[i];
        ASSERT_EQ(std::memcmp(&k, &expected[i], sizeof k), 0) << "keypoint " << i;
        const double spacing = gauss.GetSubsample(k.octave);
        // Level l of an octave with spacing d has scale d sqrt(2) 2^(l / 2).
        ASSERT_NEAR(k.sigma, spacing * std::sqrt(2.0) * std::pow(std::sqrt(2.0), k.scale), 1e-12);
        double slow[128];
        ReferenceDescriptor(*gauss.GetGaussian(k.octave, k.scale), k.x / spacing, k.y / spacing, k.orientation, slow);
        ASSERT_EQ(std::memcmp(f.descriptors[i]->data(), slow, sizeof slow), 0) << "descriptor " << i;
        EXPECT_NEAR(Norm(slow), 1.0, 1e-12) << "descriptor " << i;
    }
    // Arbitrary orientations and positions, including ones straddling the border.
    const CImageD& level = *gauss.GetGaussian(1, 2);
    for (int i = 0; i < 200; ++i) {
        const double cx = -10.0 + (i * 7919 % 1000) * (level.width + 20.0) / 1000.0;
        const double cy = -10.0 + (i * 104729 % 1000) * (level.height + 20.0) / 1000.0;
        const double theta = -kPi + (i * 0.0314159);
        double fast[128], slow[128];
        ComputeDescriptor(level, cx, cy, theta, fast);
        ReferenceDescriptor(level, cx, cy, theta, slow);
        ASSERT_EQ(std::memcmp(fast, slow, sizeof fast), 0) << cx << "," << cy << " " << theta;
    }
}

TEST(SiftReference, FastHistogramAndDescriptorMatchStraightforwardFormsBitForBit)
{
    for (const QRect& rect : {QRect(30, 50, 280, 230), QRect(240, 260, 260, 210)}) {
        SCOPED_TRACE(rect.x());
        CompareWithStraightforwardForms(SceneRaster(rect));
    }
}

// ---- Cancellation, small and unusable inputs -------------------------------------------

namespace {
int g_polls = 0, g_abortAt = 0;
bool CountingAbort()
{
    ++g_polls;
    return g_polls == g_abortAt;
}
}  // namespace

TEST(SiftCancellation, EachOfTheFivePollsThrowsAbort)
{
    const QImage r = SceneRaster(QRect(0, 0, 150, 120));
    g_polls = g_abortAt = 0;
    Features full;
    Extract(r, full, 10.0, CountingAbort);
    EXPECT_EQ(g_polls, 5);
    ASSERT_GT(full.keys.size(), 0u);

    for (int at = 1; at <= 5; ++at) {
        g_polls = 0;
        g_abortAt = at;
        Features f;
        f.keys.emplace_back(1.0, 1.0, 0.0, 0, 1, 1.0);
        EXPECT_THROW(Extract(r, f, 10.0, CountingAbort), panorama_abort) << "poll " << at;
        EXPECT_EQ(g_polls, at);
        // Before the last poll nothing is delivered: the earlier records are still there.
        const std::size_t keys = at < 5 ? 1 : full.keys.size(), descriptors = at < 5 ? 0 : full.keys.size();
        EXPECT_EQ(std::pair(f.keys.size(), f.descriptors.size()), std::pair(keys, descriptors));
    }
}

TEST(SiftInputs, TinyImagesGiveNoCrash)
{
    for (int w : {1, 2, 3, 5, 8, 13})
        for (int h : {1, 2, 4, 7, 16}) {
            const QImage r = SceneRaster(QRect(0, 0, w, h));
            Features f, fc;
            EXPECT_NO_THROW(Extract(r, f)) << w << "x" << h;
            EXPECT_EQ(f.keys.size(), f.descriptors.size());
            EXPECT_NO_THROW(Extract(SceneRaster(QRect(0, 0, w, h), QImage::Format_RGB888), fc)) << w << "x" << h;
        }
}

TEST(SiftInputs, UnusableInputIsAFailureNotAnEmptyResult)
{
    QImage r(20, 20, QImage::Format_Grayscale8);
    r.fill(0);
    Features f;
    // Unsupported depth, no pixels, nonsense parameters, a doubled size beyond an int.
    for (auto [bits, w, depth, octaves, contrast] :
         {std::tuple{r.constBits(), 20, 32, 4, 0.02}, {nullptr, 20, 8, 4, 0.02}, {r.constBits(), 0, 8, 4, 0.02},
          {r.constBits(), 20, 8, 0, 0.02}, {r.constBits(), 20, 8, 4, std::nan("")}, {r.constBits(), 1 << 30, 8, 4, 0.02}})
        EXPECT_THROW(SIFTKeys(bits, w, 20, r.bytesPerLine(), depth, octaves, 2, contrast, 10.0, f.keys, f.descriptors,
                              nullptr), panorama_error) << w << " " << depth << " " << octaves;
    EXPECT_THROW(SIFTKeys(static_cast<const CPanoElement*>(nullptr), 4, 2, 0.02, 10.0, f.keys, f.descriptors, nullptr), panorama_error);
#if !defined(__SANITIZE_ADDRESS__)  // its allocator aborts on absurd sizes instead of failing them
    // 6e6 x 6e6 doubles: beyond any address space; the size itself needs 64 bits.
    EXPECT_THROW(SIFTKeys(r.constBits(), 3000000, 3000000, r.bytesPerLine(), 8, 4, 2, 0.02, 10.0, f.keys, f.descriptors, nullptr),
                 panorama_error);
    CImageD plane;
    EXPECT_TRUE(!plane.Create(7000000, 7000000) && plane.data == nullptr && plane.IsEmpty());
#endif
}
