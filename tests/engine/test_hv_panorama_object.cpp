// The Horizontal/Vertical engine object: options it keeps and refuses, the single-instance
// pointer behind its abort poll, freeing of state, working copies and the box-filter
// resampling behind them.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstring>
#include <random>
#include <vector>

#include "core/pano_element.h"
#include "engine/hv/panorama.h"
#include "tests/support/dib_manager_fixture.h"

using PanoramaLib::PanoramaOptions;

namespace {

std::size_t Stride24(int w) { return std::size_t(((w * 24 + 31) / 32) * 4); }

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
    void SetUp() override { vltest::InstallDibManager(); }
};

}  // namespace

TEST_F(HVObjectTest, OptionFieldsTheEngineKeepsAndThoseItRefuses)
{
    CPanorama engine;
    PanoramaOptions o;
    o.bBundleAdjustAtEnd = true;
    o.nLensPolynomial = 3;
    o.surfaceType = PanoramaLib::SurfaceSpherical;
    engine.GetOptions(&o);
    EXPECT_FALSE(o.bBundleAdjustAtEnd) << "fields the engine does not keep read back as zero";
    EXPECT_EQ(o.nLensPolynomial, 0);
    EXPECT_EQ(o.surfaceType, PanoramaLib::SurfaceCylindrical);

    o.bAutoCrop = false;
    o.nMatchingMode = 0;
    o.motionModel = PanoramaLib::MotionAffine;
    o.bCyclorama = true;
    o.nLensType = 2;
    o.nPreviewQuality = 0;
    engine.SetOptions(o);
    EXPECT_EQ(engine.m_nWorkSize, 400);
    PanoramaOptions back;
    engine.GetOptions(&back);
    EXPECT_FALSE(back.bAutoCrop);
    EXPECT_EQ(back.motionModel, PanoramaLib::MotionAffine);
    EXPECT_TRUE(back.bCyclorama);
    EXPECT_EQ(back.nLensType, 2);

    // The working size changes only when the quality changes.
    engine.m_nWorkSize = 123;
    engine.SetOptions(o);
    EXPECT_EQ(engine.m_nWorkSize, 123);
    o.nPreviewQuality = 1;
    engine.SetOptions(o);
    EXPECT_EQ(engine.m_nWorkSize, 660);

    // A lens type outside the table keeps the current one.
    for (int bad : {10, -1, 1000}) {
        o.nLensType = bad;
        engine.SetOptions(o);
        EXPECT_EQ(engine.m_nLensType, 2) << bad;
    }
    o.nLensType = 9;
    engine.SetOptions(o);
    EXPECT_EQ(engine.m_nLensType, 9);
}

TEST_F(HVObjectTest, SingleInstancePointerFollowsTheLiveEngine)
{
    auto* a = CPanorama::CreateInstance();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(CPanorama::m_pThis.load(), a);
    auto* b = new CPanorama;
    EXPECT_EQ(CPanorama::m_pThis.load(), b);
    a->Release();
    EXPECT_EQ(CPanorama::m_pThis.load(), b) << "destroying another engine leaves it";
    PanoramaLib::IHVPanorama* asInterface = b;
    asInterface->Release();
    EXPECT_EQ(CPanorama::m_pThis.load(), nullptr) << "no dangling engine for the abort poll";
    EXPECT_FALSE(CPanorama::AbortProgressCallback());
}

TEST_F(HVObjectTest, FreedImagesAndNoPhotosGiveNothingToRender)
{
    CPanorama engine;
    ASSERT_TRUE(engine.m_pPreview->CreateImage(24, 8, 8));
    engine.m_bBuilt = true;
    engine.FreePanoramaImages();
    EXPECT_FALSE(engine.HasBuilt());
    EXPECT_FALSE(engine.m_pPreview->HasBits());

    // No photos: nothing to stitch, and nothing to render without a build.
    std::vector<PanoramaLib::IPanoElement*> none;
    EXPECT_FALSE(engine.BuildPanorama(none, nullptr, 0, 0, 0));
    EXPECT_EQ(engine.GetPanoramaStatus()->nStatus, 3);
    EXPECT_FALSE(engine.RenderPanorama());
}

TEST_F(HVObjectTest, FreeReleasesStateAndKeepsAnalysisOnRequest)
{
    CPanorama engine;
    auto* photo = MakePhoto(4, 4, [](int, int, int) { return 1; });
    auto* work = MakePhoto(2, 2, [](int, int, int) { return 1; });
    for (auto* list : {&engine.m_originals, &engine.m_photos, &engine.m_transformed}) {
        photo->AddRef();
        list->push_back(photo);
    }
    work->AddRef();
    engine.m_workImages.push_back(work);
    engine.m_databases.push_back(new CImageDataBase);
    engine.m_scales.push_back(2.0);
    engine.m_matchGraph.AddNode(0);
    engine.m_bBuilt = true;

    engine.Free(false, true);
    EXPECT_FALSE(engine.HasBuilt());
    EXPECT_EQ(photo->RefCount(), 1);
    EXPECT_TRUE(engine.m_originals.empty() && engine.m_photos.empty() && engine.m_transformed.empty());
    EXPECT_TRUE(engine.m_scales.empty());
    EXPECT_TRUE(engine.m_matchGraph.nodes.empty());
    EXPECT_EQ(engine.m_workImages.size(), 1u) << "analysis kept";
    EXPECT_EQ(engine.m_databases.size(), 1u);

    engine.Free(true, true);
    EXPECT_EQ(work->RefCount(), 1);
    EXPECT_TRUE(engine.m_databases.empty());
    photo->Release();
    work->Release();

    std::vector<CPanoElement*> list{MakePhoto(2, 2, [](int, int, int) { return 0; }), nullptr};
    FreePictureCollection(list);
    EXPECT_TRUE(list.empty());
}

TEST_F(HVObjectTest, WorkingCopiesBySizeLimitAndQuality)
{
    CPanorama engine;
    // A photo within the limit is its own working copy.
    CPanoElement* small = MakePhoto(200, 100, [](int x, int, int) { return x; });
    small->m_scale = 3.0;
    PanoramaLib::IPanoElement* same = engine.CreateImageThumbnail(small);
    EXPECT_EQ(same, small);
    EXPECT_EQ(small->RefCount(), 2);
    EXPECT_EQ(small->m_scale, 1.0);
    same->Release();
    small->Release();
    EXPECT_EQ(engine.CreateImageThumbnail(nullptr), nullptr);

    // Quality 1 halves until within the limit; quality 0 fits the limit exactly.
    const struct {
        int w, h, quality, workSize, outW, outH;
        double scale;
    } cases[] = {{3000, 2000, 1, 660, 375, 250, 8.0},
                 {3000, 2000, 0, 400, 400, 267, 7.5},
                 {150, 450, 1, 100, 150 * 56 / 450, 56, double(450 / 56)}};  // 450 -> 225 -> 112 -> 56
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " quality " << c.quality);
        engine.m_nPreviewQuality = c.quality;
        engine.m_nWorkSize = c.workSize;
        CPanoElement* big = MakePhoto(c.w, c.h, [](int, int, int) { return 77; });
        auto* copy = static_cast<CPanoElement*>(engine.CreateImageThumbnail(big));
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->GetWidth(), c.outW);
        EXPECT_EQ(copy->GetHeight(), c.outH);
        EXPECT_DOUBLE_EQ(big->m_scale, c.scale);
        for (int y = 0; y < c.outH; y += 17)
            for (int x = 0; x < c.outW * 3; x += 5)
                ASSERT_EQ(copy->GetBits()[std::size_t(y) * copy->GetBPL() + x], 77);
        copy->Release();
        big->Release();
    }
}

TEST_F(HVObjectTest, WorkingCopyOfAPhotoReadFromFile)
{
    QTemporaryDir dir;
    CPanoElement* src = MakePhoto(320, 240, [](int x, int y, int c) { return c == 0 ? x / 2 : c == 1 ? y : 200; });
    const std::wstring path = (dir.path() + "/photo.png").toStdWString();
    ASSERT_TRUE(src->Save(path));
    src->Release();
    auto* photo = new CPanoElement(false);
    ASSERT_TRUE(photo->FromFile(path));
    CPanorama engine;
    engine.m_nWorkSize = 100;
    auto* copy = static_cast<CPanoElement*>(engine.CreateImageThumbnail(photo));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetWidth(), 80);
    EXPECT_EQ(copy->GetHeight(), 60);
    EXPECT_EQ(photo->m_scale, 4.0);
    // Each output pixel averages a 4 x 4 block.
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) {
            const unsigned char* p = copy->GetBits() + std::size_t(y) * copy->GetBPL() + std::size_t(x) * 3;
            ASSERT_NEAR(p[0], (4 * x + 1.5) / 2, 1.0);
            ASSERT_NEAR(p[1], 4 * y + 1.5, 1.0);
            ASSERT_EQ(p[2], 200);
        }
    copy->Release();
    photo->Release();
}

TEST(Stretch, ConstantStaysConstantAndHalvingAveragesPairs)
{
    std::mt19937 rng(5);
    for (int trial = 0; trial < 20; ++trial) {
        const int sw = 1 + int(rng() % 300), h = 1 + int(rng() % 5);
        const int dw = 1 + int(rng() % sw);
        const unsigned char v = (unsigned char)rng();
        std::vector<unsigned char> src(Stride24(sw) * h, v), dst(Stride24(dw) * h, 0);
        StretchWidth(dst.data(), src.data(), sw, h, dw);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < dw * 3; ++x)
                ASSERT_EQ(dst[Stride24(dw) * y + x], v) << sw << "->" << dw;
        std::vector<unsigned char> col(Stride24(h) * sw, v), colDst(Stride24(h) * dw, 0);
        StretchHeight(colDst.data(), col.data(), h, sw, dw);
        for (int y = 0; y < dw; ++y)
            for (int x = 0; x < h * 3; ++x)
                ASSERT_EQ(colDst[Stride24(h) * y + x], v);
    }

    const int sw = 10;
    std::vector<unsigned char> src(Stride24(sw));
    for (int i = 0; i < sw * 3; ++i)
        src[i] = (unsigned char)(i * 7 % 256);
    std::vector<unsigned char> dst(Stride24(5));
    StretchWidth(dst.data(), src.data(), sw, 1, 5);
    for (int x = 0; x < 5; ++x)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(dst[x * 3 + c], (src[2 * x * 3 + c] + src[(2 * x + 1) * 3 + c] + 1) / 2);

    // Two rows into one, down the columns.
    std::vector<unsigned char> two(Stride24(3) * 2);
    for (int i = 0; i < 9; ++i) {
        two[i] = (unsigned char)(10 * i);
        two[Stride24(3) + i] = (unsigned char)(10 * i + 5);
    }
    std::vector<unsigned char> one(Stride24(3));
    StretchHeight(one.data(), two.data(), 3, 2, 1);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(one[i], (20 * i + 5 + 1) / 2);
}

TEST(Stretch, SmallImagesMatchThe32BitFormExactly)
{
    std::mt19937 rng(17);
    // Along the rows: random small sizes, and one large enough for parallel row bands.
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
    // Down the columns: the same resampling as along the rows of the transposed image.
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
}

TEST(Stretch, FortyThousandPixelWideSourceDoesNotOverflow)
{
    // 40,000 << 16 passes 2^31, and each output pixel spans more than 128 source pixels.
    const int sw = 40000, h = 2, dw = 300;
    std::vector<unsigned char> src(Stride24(sw) * h, 255);
    std::vector<unsigned char> dst(Stride24(dw) * h, 0);
    StretchWidth(dst.data(), src.data(), sw, h, dw);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < dw * 3; ++x)
            ASSERT_EQ(dst[Stride24(dw) * y + x], 255) << x;

    // A ramp: every output pixel is the mean of its own span.
    for (int x = 0; x < sw; ++x)
        for (int c = 0; c < 3; ++c)
            src[std::size_t(x) * 3 + c] = (unsigned char)(x * 256 / sw);
    StretchWidth(dst.data(), src.data(), sw, 1, 400);
    for (int x = 0; x < 400; ++x) {
        double mean = 0;
        for (int k = x * 100; k < (x + 1) * 100; ++k)
            mean += (k * 256 / sw);
        EXPECT_NEAR(dst[std::size_t(x) * 3], mean / 100, 0.51);
    }

    // The same width down a column.
    std::vector<unsigned char> column(Stride24(1) * std::size_t(sw), 9);
    std::vector<unsigned char> out(Stride24(1) * 300, 0);
    StretchHeight(out.data(), column.data(), 1, sw, 300);
    for (int y = 0; y < 300; ++y)
        ASSERT_EQ(out[Stride24(1) * y], 9);
}
