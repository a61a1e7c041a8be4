// Lens-distortion compensation: the lens table, the spherical mapping and its
// inverse, the size of the corrected image (also for sides beyond 46,340 pixels),
// the corrected pixels against the direct mapping, border handling and cancellation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "core/pano_element.h"
#include "engine/lens_distortion.h"
#include "tests/support/dib_manager_fixture.h"

namespace {

// A photo whose every pixel tells its own position: byte 0 = x mod 256, byte 1 =
// y mod 256, byte 2 = 16 * (x / 256) + y / 256.
CPanoElement* CodedPhoto(int w, int h)
{
    auto* src = new CPanoElement(false);
    EXPECT_TRUE(src->CreateImage(24, w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = src->GetBits() + std::size_t(y) * src->GetBPL() + std::size_t(x) * 3;
            p[0] = (unsigned char)(x & 255);
            p[1] = (unsigned char)(y & 255);
            p[2] = (unsigned char)(16 * (x / 256) + y / 256);
        }
    return src;
}

int g_abortCalls = 0;
bool g_abortAnswer = false;
bool CountingAbort()
{
    ++g_abortCalls;
    return g_abortAnswer;
}

}  // namespace

TEST(LensMapping, ToSphereAndBackReturnsThePointAndTheCentreStays)
{
    std::mt19937 rng(99);
    for (const double f : {0.87, 1.0, 2.3, 3.7}) {
        for (const auto& size : {std::pair{640, 480}, std::pair{300, 900}, std::pair{7, 7}}) {
            const int w = size.first;
            const int h = size.second;
            double X = 0, Y = 0, x = 0, y = 0;
            mapToSphere2(w / 2.0, h / 2.0, f, 1.0, w, h, &X, &Y);
            EXPECT_DOUBLE_EQ(X, w / 2.0);
            EXPECT_DOUBLE_EQ(Y, h / 2.0);
            std::uniform_real_distribution<double> ux(0, w), uy(0, h);
            for (int i = 0; i < 200; ++i) {
                const double px = ux(rng), py = uy(rng);
                mapToSphere2(px, py, f, 1.0, w, h, &X, &Y);
                mapFromSphere2(X, Y, f, 1.0, w, h, &x, &y);
                ASSERT_NEAR(x, px, 1e-9) << f;
                ASSERT_NEAR(y, py, 1e-9) << f;
            }
        }
    }
}

TEST(LensGeometry, TheLongerSideIsKeptWeakLensesChangeLessAndHugeSidesDoNotOverflow)
{
    LensCorrectedGeometry strong, weak, g;
    ASSERT_TRUE(CalcLensCorrectedGeometry(300, 200, 0.87, &strong));
    ASSERT_TRUE(CalcLensCorrectedGeometry(300, 200, 3.7, &weak));
    EXPECT_EQ(std::pair(strong.outWidth, weak.outWidth), std::pair(300, 300));
    const double aspect = 200.0 / 300.0;
    EXPECT_LT(std::abs(double(weak.outHeight) / weak.outWidth - aspect),
              std::abs(double(strong.outHeight) / strong.outWidth - aspect));
    // Beyond 46,340 pixels the size products pass 2^31 (a strong lens widens the sphere).
    ASSERT_TRUE(CalcLensCorrectedGeometry(60000, 2, 0.87, &g));
    EXPECT_TRUE(g.outWidth == 60000 && g.outHeight >= 1 && g.outHeight <= 3) << g.outWidth << "x" << g.outHeight;
    ASSERT_TRUE(CalcLensCorrectedGeometry(2, 60000, 0.87, &g));
    EXPECT_EQ(g.outHeight, 60000);
    for (auto [w, f] : {std::pair{0, 2.3}, {10, 0.0}, {10, std::nan("")}})
        EXPECT_FALSE(CalcLensCorrectedGeometry(w, 10, f, &g)) << w << " " << f;
    // A lens type out of the table is the default type.
    EXPECT_DOUBLE_EQ(g_lensType.Factor(10), g_lensType.Factor(7));
    EXPECT_DOUBLE_EQ(g_lensType.Factor(-1), g_lensType.Factor(7));
}

TEST(LensCorrection, CorrectedPixelsFollowTheInverseMappingExactly)
{
    vltest::InstallDibManager();
    // Large enough that the rows are corrected in parallel bands.
    const int w = 640, h = 480;
    CPanoElement* photo = CodedPhoto(w, h);
    const double f = g_lensType.Factor(0);
    double scale = 0;
    CPanoElement* out = LensDistortion(photo, f, &scale, nullptr);
    ASSERT_NE(out, nullptr);
    LensCorrectedGeometry g;
    ASSERT_TRUE(CalcLensCorrectedGeometry(w, h, f, &g));
    ASSERT_EQ(out->GetImageSize(), VarnoBase::Size(g.outWidth, g.outHeight));
    EXPECT_DOUBLE_EQ(scale, double(g.outWidth) / g.sphereWidth);
    ASSERT_NE(out->GetAlphaBits(), nullptr);

    const auto src = [&](int x, int y, int c) {
        return int(photo->GetBits()[std::size_t(y) * photo->GetBPL() + std::size_t(x) * 3 + c]);
    };
    int opaque = 0, transparent = 0;
    for (int y = 0; y < out->GetHeight(); ++y)
        for (int x = 0; x < out->GetWidth(); ++x) {
            const double X = double(x) * g.sphereWidth / double(g.outWidth) + g.minX;
            const double Y = double(y) * g.sphereWidth / double(g.outWidth) + g.minY;
            double sx = 0, sy = 0;
            mapFromSphere2(X, Y, f, 1.0, w, h, &sx, &sy);
            const unsigned char* p = out->GetBits() + std::size_t(y) * out->GetBPL() + std::size_t(x) * 3;
            const unsigned char alpha = out->GetAlphaBits()[std::size_t(y) * out->GetAlphaBPL() + x];
            if (sx >= 0 && sx <= w - 1 && sy >= 0 && sy <= h - 1) {
                ++opaque;
                ASSERT_EQ(alpha, 255);
                const int ix = int(sx), iy = int(sy);
                const int ix1 = ix >= w - 1 ? ix : ix + 1, iy1 = iy >= h - 1 ? iy : iy + 1;
                const double fx = ix >= w - 1 ? 0.0 : sx - ix, fy = iy >= h - 1 ? 0.0 : sy - iy;
                for (int c = 0; c < 3; ++c) {
                    const double a = src(ix, iy, c) + (src(ix1, iy, c) - src(ix, iy, c)) * fx;
                    const double b = src(ix, iy1, c) + (src(ix1, iy1, c) - src(ix, iy1, c)) * fx;
                    ASSERT_EQ(int(p[c]), std::clamp(int(a + (b - a) * fy), 0, 255)) << x << "," << y;
                }
            } else {
                ++transparent;
                ASSERT_EQ(alpha, 0);
                // Outside: the nearest border pixel of the photo.
                const int bx = std::clamp(int(std::max(sx, 0.0)), 0, w - 1);
                const int by = std::clamp(int(std::max(sy, 0.0)), 0, h - 1);
                ASSERT_TRUE(bx == 0 || bx == w - 1 || by == 0 || by == h - 1);
                ASSERT_EQ(int(p[0]), src(bx, by, 0));
                ASSERT_EQ(int(p[1]), src(bx, by, 1));
            }
        }
    EXPECT_GT(opaque, 0);
    EXPECT_GT(transparent, 0) << "a strong lens leaves corners uncovered";

    // The photo centre lands in the middle of the corrected image.
    const unsigned char* centre = out->GetBits() + std::size_t(out->GetHeight() / 2) * out->GetBPL() +
                                  std::size_t(out->GetWidth() / 2) * 3;
    EXPECT_NEAR(centre[0], (w / 2) & 255, 2);
    EXPECT_NEAR(centre[1], (h / 2) & 255, 2);
    EXPECT_EQ(centre[2], 16 * ((w / 2) / 256) + (h / 2) / 256);
    out->Release();
    photo->Release();
}

TEST(LensCorrection, IntoTargetAllocationWithoutPixelsAndAbort)
{
    vltest::InstallDibManager();
    g_abortCalls = 0;
    g_abortAnswer = false;
    CPanoElement* photo = CodedPhoto(120, 90);
    CPanoElement* shell = AllocLensDistortedImage(photo, 2.3, nullptr, nullptr);
    ASSERT_NE(shell, nullptr);
    EXPECT_FALSE(shell->HasBits());
    CPanoElement* direct = LensDistortion(photo, 2.3, nullptr, &CountingAbort);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(g_abortCalls, 2);  // asked twice
    EXPECT_EQ(shell->GetImageSize(), direct->GetImageSize());

    double scale = 0;
    ASSERT_TRUE(LensDistortion(shell, photo, 2.3, &scale, nullptr));
    EXPECT_GT(scale, 0.9);
    ASSERT_TRUE(shell->HasBits());
    for (int y = 0; y < direct->GetHeight(); ++y)
        ASSERT_EQ(0, std::memcmp(shell->GetBits() + std::size_t(y) * shell->GetBPL(),
                                 direct->GetBits() + std::size_t(y) * direct->GetBPL(), std::size_t(direct->GetWidth()) * 3));
    EXPECT_FALSE(LensDistortion(shell, photo, 2.3, &scale, nullptr)) << "the target already holds pixels";
    EXPECT_FALSE(LensDistortion(nullptr, photo, 2.3, &scale, nullptr));
    EXPECT_EQ(LensDistortion(nullptr, 2.3, &scale, nullptr), nullptr);
    EXPECT_EQ(AllocLensDistortedImage(nullptr, 2.3, nullptr, nullptr), nullptr);
    shell->Release();
    direct->Release();

    g_abortCalls = 0;  // a cancel stops the correction at the first question
    g_abortAnswer = true;
    EXPECT_EQ(LensDistortion(photo, 1.0, nullptr, &CountingAbort), nullptr);
    EXPECT_EQ(g_abortCalls, 1);
    shell = AllocLensDistortedImage(photo, 1.0, nullptr, nullptr);
    EXPECT_FALSE(LensDistortion(shell, photo, 1.0, nullptr, &CountingAbort));
    shell->Release();
    photo->Release();
}
