// The Horizontal/Vertical engine object: options it keeps and refuses, the single-instance
// pointer behind its abort poll, working copies and the box-filter resampling behind them.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <random>
#include <vector>

#include "core/pano_element.h"
#include "core/resample.h"
#include "tests/engine/hv_test_access.h"
#include "tests/support/dib_manager_fixture.h"

using PanoramaLib::PanoramaOptions;

namespace {

// The resampling in 32-bit arithmetic, which is exact for spans below 128 pixels and
// sources below 32,768 pixels.
void StretchWidth32(unsigned char* dst, const unsigned char* src, int srcWidth, int height, int dstWidth)
{
    const int step = (srcWidth << 16) / dstWidth;
    for (int y = 0; y < height; ++y) {
        const unsigned char* s = src + Stride24(srcWidth) * y;
        unsigned char* d = dst + Stride24(dstWidth) * y;
        int a = 0;
        for (int x = 0; x < dstWidth; ++x) {
            const int b = a + step;
            for (int c = 0; c < 3; ++c) {
                int sum = s[(a >> 16) * 3 + c] * (65536 - (a & 0xFFFF));
                for (int k = (a >> 16) + 1; k < (b >> 16); ++k)
                    sum += s[k * 3 + c] << 16;
                if ((b >> 16) < srcWidth)
                    sum += s[(b >> 16) * 3 + c] * (b & 0xFFFF);
                d[x * 3 + c] = (unsigned char)((sum + (b - a) / 2) / (b - a));
            }
            a = b;
        }
    }
}

// A 24-bit element of w x h filled with fn(x, y, channel).
template <class Fn>
CPanoElement* MakePhoto(int w, int h, Fn&& fn)
{
    auto* e = new CPanoElement(false);
    EXPECT_TRUE(e->CreateImage(24, w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                e->GetBits()[std::size_t(y) * e->GetBPL() + std::size_t(x) * 3 + c] = (unsigned char)fn(x, y, c);
    return e;
}

class HVObjectTest : public ::testing::Test {
protected:
    vltest::ScopedDibManager dibs;
};

}  // namespace

// Options the engine keeps round-trip, the others read back as zero; the preview quality
// sets the working size (seen in the working copies); a lens type outside the table
// keeps the current one.
TEST_F(HVObjectTest, OptionsItKeepsAndThoseItRefuses)
{
    CPanorama engine;
    PanoramaOptions o;
    o.bBundleAdjustAtEnd = true;
    o.nLensPolynomial = 3;
    o.surfaceType = PanoramaLib::SurfaceSpherical;
    engine.GetOptions(&o);
    EXPECT_FALSE(o.bBundleAdjustAtEnd);
    EXPECT_EQ(o.nLensPolynomial, 0);
    EXPECT_EQ(o.surfaceType, PanoramaLib::SurfaceCylindrical);

    o.bAutoCrop = false;
    o.nMatchingMode = 0;
    o.motionModel = PanoramaLib::MotionAffine;
    o.bCyclorama = true;
    for (int bad : {2, 10, -1, 1000}) {
        o.nLensType = bad;
        engine.SetOptions(o);
    }
    PanoramaOptions back;
    engine.GetOptions(&back);
    EXPECT_FALSE(back.bAutoCrop);
    EXPECT_EQ(back.nMatchingMode, 0);
    EXPECT_EQ(back.motionModel, PanoramaLib::MotionAffine);
    EXPECT_TRUE(back.bCyclorama);
    EXPECT_EQ(back.nLensType, 2);
    o.nLensType = 9;
    engine.SetOptions(o);
    engine.GetOptions(&back);
    EXPECT_EQ(back.nLensType, 9);

    // Quality 1 halves until within 660 pixels; quality 0 fits 400 exactly.
    const struct {
        int w, h, quality, outW, outH;
        double scale;
    } cases[] = {{3000, 2000, 1, 375, 250, 8.0},
                 {3000, 2000, 0, 400, 267, 7.5},
                 {7, 1400, 1, 1, 350, 4.0},  // 1400 -> 700 -> 350; the scale from the longer side
                 {200, 100, 1, 200, 100, 1.0}};  // within the limit: its own working copy
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " quality " << c.quality);
        o.nPreviewQuality = c.quality;
        engine.SetOptions(o);
        CPanoElement* big = MakePhoto(c.w, c.h, [](int, int, int) { return 77; });
        big->m_scale = 3.0;
        auto* copy = static_cast<CPanoElement*>(engine.CreateImageThumbnail(big));
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->GetWidth(), c.outW);
        EXPECT_EQ(copy->GetHeight(), c.outH);
        EXPECT_DOUBLE_EQ(big->m_scale, c.scale);
        EXPECT_EQ(copy == big, c.scale == 1.0);
        for (int y = 0; y < c.outH; y += 17)
            for (int x = 0; x < c.outW * 3; x += 5)
                ASSERT_EQ(copy->GetBits()[std::size_t(y) * copy->GetBPL() + x], 77);
        copy->Release();
        EXPECT_EQ(big->RefCount(), 1);
        big->Release();
    }
    EXPECT_EQ(engine.CreateImageThumbnail(nullptr), nullptr);

    // A photo read from a file: each working pixel averages a 2 x 2 block.
    QTemporaryDir dir;
    CPanoElement* src = MakePhoto(1280, 960, [](int x, int y, int c) { return c == 0 ? x / 5 : c == 1 ? y / 5 : 200; });
    const std::wstring path = (dir.path() + "/photo.png").toStdWString();
    ASSERT_TRUE(src->Save(path));
    src->Release();
    auto* photo = new CPanoElement(false);
    ASSERT_TRUE(photo->FromFile(path));
    auto* copy = static_cast<CPanoElement*>(engine.CreateImageThumbnail(photo));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetImageSize(), VarnoBase::Size(640, 480));
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) {
            const unsigned char* p = copy->GetBits() + std::size_t(y) * copy->GetBPL() + std::size_t(x) * 3;
            ASSERT_EQ(p[0], (2 * x / 5 + (2 * x + 1) / 5 + 1) / 2);
            ASSERT_EQ(p[1], (2 * y / 5 + (2 * y + 1) / 5 + 1) / 2);
            ASSERT_EQ(p[2], 200);
        }
    copy->Release();
    photo->Release();
}

TEST_F(HVObjectTest, SingleInstancePointerFollowsTheLiveEngine)
{
    auto* a = CPanorama::CreateInstance();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(CPanoramaTestAccess::Current(), a);
    auto* b = new CPanorama;
    EXPECT_EQ(CPanoramaTestAccess::Current(), b);
    a->Release();
    EXPECT_EQ(CPanoramaTestAccess::Current(), b) << "destroying another engine leaves it";
    PanoramaLib::IHVPanorama* asInterface = b;
    asInterface->Release();
    EXPECT_EQ(CPanoramaTestAccess::Current(), nullptr) << "no dangling engine for the abort poll";
    EXPECT_FALSE(CPanoramaTestAccess::AbortPoll());
}

// Along the rows and down the columns the resampling equals its 32-bit form wherever
// that is exact (random sizes, and one large enough for parallel row bands); a source
// 40,000 pixels wide (40,000 << 16 passes 2^31, spans of more than 128 pixels) does not
// overflow.
TEST(Stretch, MatchesThe32BitFormAndWideSourcesDoNotOverflow)
{
    std::mt19937 rng(17);
    for (int trial = 0; trial <= 30; ++trial) {
        const int sw = trial ? 2 + int(rng() % 120) : 1200, h = trial ? 1 + int(rng() % 4) : 400;
        const int dw = trial ? 1 + int(rng() % sw) : 500;
        std::vector<unsigned char> src(Stride24(sw) * h);
        for (auto& b : src)
            b = (unsigned char)rng();
        std::vector<unsigned char> a(Stride24(dw) * h, 0), b(Stride24(dw) * h, 0);
        StretchWidth(a.data(), src.data(), sw, h, dw);
        StretchWidth32(b.data(), src.data(), sw, h, dw);
        ASSERT_EQ(a, b) << sw << "->" << dw;
    }
    const int W = 400, sh = 1200, dh = 500;
    std::vector<unsigned char> colSrc(Stride24(W) * sh), transposed(Stride24(sh) * W);
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c) {
                const unsigned char v = (unsigned char)rng();
                colSrc[Stride24(W) * y + std::size_t(x) * 3 + c] = v;
                transposed[Stride24(sh) * x + std::size_t(y) * 3 + c] = v;
            }
    std::vector<unsigned char> colOut(Stride24(W) * dh), rowOut(Stride24(dh) * W);
    StretchHeight(colOut.data(), colSrc.data(), W, sh, dh);
    StretchWidth32(rowOut.data(), transposed.data(), sh, W, dh);
    for (int y = 0; y < dh; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(colOut[Stride24(W) * y + std::size_t(x) * 3 + c], rowOut[Stride24(dh) * x + std::size_t(y) * 3 + c])
                    << x << "," << y;

    const int wide = 40000;
    std::vector<unsigned char> ramp(Stride24(wide));
    for (int x = 0; x < wide; ++x)
        for (int c = 0; c < 3; ++c)
            ramp[std::size_t(x) * 3 + c] = (unsigned char)(x * 256 / wide);
    std::vector<unsigned char> dst(Stride24(400));
    StretchWidth(dst.data(), ramp.data(), wide, 1, 400);
    for (int x = 0; x < 400; ++x) {
        double mean = 0;
        for (int k = x * 100; k < (x + 1) * 100; ++k)
            mean += (k * 256 / wide);
        EXPECT_NEAR(dst[std::size_t(x) * 3], mean / 100, 0.51);
    }
    std::vector<unsigned char> column(Stride24(1) * std::size_t(wide), 9), out(Stride24(1) * 300, 0);
    StretchHeight(out.data(), column.data(), 1, wide, 300);
    for (int y = 0; y < 300; ++y)
        ASSERT_EQ(out[Stride24(1) * y], 9);
}
