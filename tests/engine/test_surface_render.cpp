// The render of a rendering surface: projection into the result, exposure gain,
// blending, progress, cancellation, view updates and photos shared with a worker.
#include <gtest/gtest.h>

#include <QFile>

#include <cstring>

#include "engine/tiled/surface.h"
#include "engine/tiled/surface_render.h"
#include "tests/engine/tiled_test_util.h"
#include "tests/support/recording_host.h"

using namespace tiled_test;

namespace {

struct NotifyRecorder : ISRNotify {
    std::vector<VarnoBase::Rect> rects;
    std::vector<QImage> snapshots;
    CCylindricalSurface* surface = nullptr;
    void OnUpdateView(const VarnoBase::Rect& r) override
    {
        rects.push_back(r);
        if (surface) {
            CPanoElement* pano = surface->GetPano();
            snapshots.push_back(ImageOf(pano));
            pano->Release();
        }
    }
};

// A flat-coloured element with an alpha plane (all `alpha`) and a weight plane (all `weight`).
CPanoElement* Flat(int w, int h, int x, int y, unsigned char r, unsigned char g, unsigned char b,
                   unsigned char alpha = 255, unsigned short weight = 0)
{
    auto* e = new CPanoElement(false);
    EXPECT_TRUE(e->CreateImage(true, w, h, true));
    for (int j = 0; j < h; ++j) {
        unsigned char* row = e->GetBits() + static_cast<std::int64_t>(j) * e->GetBPL();
        for (int i = 0; i < w; ++i) {
            row[3 * i] = r;
            row[3 * i + 1] = g;
            row[3 * i + 2] = b;
        }
    }
    e->AddAlphaChannel(false);
    std::memset(e->GetAlphaBits(), alpha, static_cast<std::size_t>(e->GetAlphaBPL()) * h);
    unsigned short* wt = e->Create16Bitmask();
    std::fill(wt, wt + static_cast<std::size_t>((w + 3) & ~3) * h, weight);
    e->SetPosition(VarnoBase::Point(x, y));
    return e;
}

const unsigned char* Pixel(const CPanoElement* e, int x, int y)
{
    return e->GetBits() + static_cast<std::int64_t>(y) * e->GetBPL() + x * 3;
}

unsigned short Weight(const CPanoElement* e, int x, int y)
{
    return e->Get16BitmaskBits()[static_cast<std::int64_t>(y) * ((e->GetWidth() + 3) & ~3) + x];
}

void ExpectSameRender(CPanoElement* a, CPanoElement* b)
{
    ASSERT_EQ(a->GetWidth(), b->GetWidth());
    ASSERT_EQ(a->GetHeight(), b->GetHeight());
    for (int y = 0; y < a->GetHeight(); ++y) {
        ASSERT_EQ(std::memcmp(Pixel(a, 0, y), Pixel(b, 0, y), static_cast<std::size_t>(a->GetWidth()) * 3), 0)
            << "row " << y;
        ASSERT_EQ(std::memcmp(a->GetAlphaBits() + y * a->GetAlphaBPL(), b->GetAlphaBits() + y * b->GetAlphaBPL(),
                              static_cast<std::size_t>(a->GetWidth())),
                  0);
        for (int x = 0; x < a->GetWidth(); ++x)
            ASSERT_EQ(Weight(a, x, y), Weight(b, x, y));
    }
}

}  // namespace

TEST(SurfaceRender, OnePhotoAloneKeepsItsPixelsAndWeights)
{
    Photos files(MosaicOptions(1, 1, 240, 180));
    for (int mode = 0; mode < 2; ++mode) {
        CCylindricalSurface s;
        D3Param lens;  // bilinear with a lens: the row loops' cut-off radius must lose no corner
        lens.lens = mode;
        lens.k1 = 2e-6;
        s.AddImages({0}, lens, files.Params(), files.Elements(), {});
        s.Set3DOrientation(0);
        s.SetInterpolationMode(mode ? CSurfaceRendering::BilinearMode : CSurfaceRendering::NoInterpolationMode);
        vltest::RecordingProgress progress;
        ASSERT_TRUE(s.RenderSurface(100.0, &progress, nullptr, 10, 60));
        EXPECT_TRUE(s.IsOriginal());
        EXPECT_FALSE(files[0]->HasBits());  // unloaded after its projection
        CPanoElement* pano = s.GetPano();
        ASSERT_NE(pano, nullptr);
        EXPECT_EQ(pano->GetPosition(), VarnoBase::Point(0, 0));
        const auto positions = progress.Positions();
        ASSERT_EQ(positions.size(), static_cast<std::size_t>(2 * s.Photos()[0].rect.height()));
        EXPECT_EQ(positions.back().value, 60);
        EXPECT_EQ(positions.back().max, 60);

        // Every pixel is what the per-pixel projection gives: no gain, its own weight.
        s.SetRenderRect(VarnoBase::Rect(0, 0, pano->GetWidth(), pano->GetHeight()));
        int covered = 0;
        for (int y = 0; y < pano->GetHeight(); ++y) {
            for (int x = 0; x < pano->GetWidth(); ++x) {
                unsigned char rgb[3] = {255, 255, 255}, alpha = 0;
                unsigned short weight = 0;
                s.TransformPixel(s.Photos()[0], x, y, rgb, &alpha, &weight);
                const unsigned char* p = Pixel(pano, x, y);
                ASSERT_EQ(pano->GetAlphaBits()[y * pano->GetAlphaBPL() + x], alpha) << x << "," << y;
                ASSERT_EQ(Weight(pano, x, y), weight);
                ASSERT_EQ(p[0], rgb[0]);
                ASSERT_EQ(p[1], rgb[1]);
                ASSERT_EQ(p[2], rgb[2]);  // uncovered: white
                covered += alpha != 0;
            }
        }
        s.FreeRayTables();
        EXPECT_GT(covered, 240 * 180 * 8 / 10);
        // The weight is highest at the photo centre.
        EXPECT_GT(Weight(pano, pano->GetWidth() / 2, pano->GetHeight() / 2), 60000);
        pano->Release();
    }
}

TEST(SurfaceRender, RowBandsOnSeveralThreadsGiveTheSameResult)
{
    Photos files(MosaicOptions(2, 2, 200, 150));
    D3Param world;
    world.lens = 1;
    world.k1 = 2e-7;  // exercises the lens inversion and its early cut
    CPanoElement* results[2] = {};
    for (int k = 0; k < 2; ++k) {
        CSphericalSurface s;
        s.SetThreadCount(k == 0 ? 1 : 3);
        s.AddImages(files.Order(), world, files.Params(), files.Elements(), {});
        s.Set3DOrientation(0);
        s.RotateSurfaceOn(2, -4, 1);
        s.SetInterpolationMode(CSurfaceRendering::BilinearMode);
        vltest::RecordingProgress progress;
        ASSERT_TRUE(s.RenderSurface(100.0, &progress, nullptr, 0, 100));
        results[k] = s.GetPano();
    }
    ExpectSameRender(results[0], results[1]);
    results[0]->Release();
    results[1]->Release();
}

TEST(SurfaceRender, ExposureGainFromTheMedianRatio)
{
    Open<CCylindricalSurface> s;
    auto gainOf = [&](CPanoElement* pano, CPanoElement* photo) {
        s.FreePano();
        s.m_pPano = pano;
        CCylindricalSurface::Data d;
        d.transformed.Adopt(photo);
        const VarnoBase::Rect o(std::max(pano->GetImageRect().left, photo->GetImageRect().left),
                                std::max(pano->GetImageRect().top, photo->GetImageRect().top),
                                std::min(pano->GetImageRect().right, photo->GetImageRect().right),
                                std::min(pano->GetImageRect().bottom, photo->GetImageRect().bottom));
        std::vector<unsigned short> diff(static_cast<std::size_t>(std::max(o.width(), 0) * std::max(o.height(), 0)));
        return s.CalculateDifferenceField(&d, diff.data());
    };
    // Result median bin 90, photo median bin 60: ratio 1.5 -> gain (2 * 1.5 + 1) / 3.
    EXPECT_DOUBLE_EQ(gainOf(Flat(60, 40, 0, 0, 90, 90, 90), Flat(40, 30, 10, 5, 60, 60, 60)), 4.0 / 3.0);
    EXPECT_DOUBLE_EQ(gainOf(Flat(60, 40, 0, 0, 90, 90, 90), Flat(40, 30, 10, 5, 90, 90, 90)), 1.0);
    // A black photo overlap has median bin 0: gain 1, not a division by zero.
    EXPECT_DOUBLE_EQ(gainOf(Flat(60, 40, 0, 0, 10, 10, 10), Flat(40, 30, 10, 5, 0, 0, 0)), 1.0);
    // Fewer than 100 comparable pixels.
    EXPECT_DOUBLE_EQ(gainOf(Flat(60, 40, 0, 0, 90, 90, 90), Flat(9, 10, 10, 5, 60, 60, 60)), 1.0);
    // Brightness differences of 200 and more do not count.
    EXPECT_DOUBLE_EQ(gainOf(Flat(60, 40, 0, 0, 200, 200, 200), Flat(40, 30, 10, 5, 60, 60, 60)), 1.0);
    // No overlap.
    EXPECT_DOUBLE_EQ(gainOf(Flat(60, 40, 0, 0, 90, 90, 90), Flat(40, 30, 100, 5, 60, 60, 60)), 1.0);
}

TEST(SurfaceRender, BlendingAppliesTheGainOrTakesTheHeavierPhotoOrHalfOfEach)
{
    Open<CCylindricalSurface> s;
    CCylindricalSurface::Data d;
    s.m_pPano = Flat(60, 40, 0, 0, 90, 90, 90, 255, 0);  // a result without weights yet: the gain applies
    d.transformed.Adopt(Flat(40, 30, 10, 5, 60, 60, 60, 255, 700));
    s.AddImageToPano(&d);
    EXPECT_EQ(Pixel(s.m_pPano, 10, 5)[0], 80);  // trunc(60 * 4 / 3 + 0.5)
    EXPECT_EQ(Pixel(s.m_pPano, 49, 34)[2], 80);
    EXPECT_EQ(Pixel(s.m_pPano, 50, 34)[2], 90);  // outside the photo
    EXPECT_EQ(Weight(s.m_pPano, 20, 20), 700);
    for (int heavierPhoto = 0; heavierPhoto < 2; ++heavierPhoto) {  // strong differences switch by weight
        s.FreePano();
        s.m_pPano = Flat(30, 30, 0, 0, 0, 0, 0, 255, heavierPhoto ? 1 : 65535);
        d.transformed.Adopt(Flat(30, 30, 0, 0, 255, 255, 255, 255, heavierPhoto ? 65535 : 1));
        s.AddImageToPano(&d);
        const unsigned char expected = heavierPhoto ? 255 : 0;
        EXPECT_EQ(Pixel(s.m_pPano, 15, 15)[0], expected);
        EXPECT_EQ(Pixel(s.m_pPano, 3, 27)[1], expected);
        EXPECT_EQ(Weight(s.m_pPano, 15, 15), 65535);
    }
    s.FreePano();
    s.m_pPano = Flat(10, 10, 0, 0, 100, 100, 100, 255);
    std::memset(s.m_pPano->GetAlphaBits(), 0, static_cast<std::size_t>(s.m_pPano->GetAlphaBPL()));  // row 0 empty
    d.transformed.Adopt(Flat(10, 10, 0, 0, 200, 200, 200, 255));
    s.AddImageToPano_Blending50Percent(&d);
    EXPECT_EQ(Pixel(s.m_pPano, 4, 0)[0], 200);  // empty: takes the photo
    EXPECT_EQ(s.m_pPano->GetAlphaBits()[4], 255);
    // h = 127, a' = 255: (128 * 255 * 100 + 255 * 127 * 200) / (255 * 255)
    EXPECT_EQ(Pixel(s.m_pPano, 4, 5)[1], (128 * 255 * 100 + 255 * 127 * 200) / (255 * 255));
}

TEST(SurfaceRender, CancellingTheThirdPhotoKeepsTheFirstTwoBlended)
{
    Photos files(MosaicOptions(1, 3, 200, 150));
    auto setUp = [&](CCylindricalSurface& s) {
        s.AddImages(files.Order(), D3Param{}, files.Params(), files.Elements(), {});
        s.Set3DOrientation(1);
        s.SetInterpolationMode(CSurfaceRendering::NoInterpolationMode);
    };
    // The whole render, with the result after each photo.
    CCylindricalSurface full;
    setUp(full);
    NotifyRecorder fullViews;
    fullViews.surface = &full;
    full.m_pNotify = &fullViews;
    vltest::RecordingProgress fullProgress;
    ASSERT_TRUE(full.RenderSurface(100.0, &fullProgress, nullptr, 0, 100));
    ASSERT_EQ(fullViews.rects.size(), 3u);  // one view update per photo
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(fullViews.rects[i], full.Photos()[i].rect);
    const int h0 = full.Photos()[0].rect.height(), h1 = full.Photos()[1].rect.height();

    CCylindricalSurface cut;
    setUp(cut);
    NotifyRecorder cutViews;
    cut.m_pNotify = &cutViews;
    vltest::RecordingProgress progress;
    progress.CancelAtStep(2 * (h0 + h1) + 7);  // inside the projection of the third photo
    EXPECT_TRUE(cut.RenderSurface(100.0, &progress, nullptr, 0, 100));
    EXPECT_TRUE(cut.m_bAborted);
    EXPECT_EQ(cutViews.rects.size(), 2u);
    EXPECT_EQ(progress.AbortCalls(), 2 * (h0 + h1) + 7);  // nothing polled after the answer
    CPanoElement* pano = cut.GetPano();
    ASSERT_NE(pano, nullptr);
    EXPECT_TRUE(ImageOf(pano) == fullViews.snapshots[1]);
    pano->Release();

    // Cancelled while blending the second photo: its first ten rows are in, the rest of
    // the result is as the first photo left it.
    CCylindricalSurface mid;
    setUp(mid);
    mid.SetThreadCount(3);
    vltest::RecordingProgress midProgress;
    midProgress.CancelAtStep(2 * h0 + h1 + 10);
    EXPECT_TRUE(mid.RenderSurface(100.0, &midProgress, nullptr, 0, 100));
    pano = mid.GetPano();
    ASSERT_NE(pano, nullptr);
    const QImage got = ImageOf(pano);
    const int top = full.Photos()[1].rect.top;
    for (int y = 0; y < got.height(); ++y) {
        const QImage& expected = y < top + 10 ? fullViews.snapshots[1] : fullViews.snapshots[0];
        ASSERT_EQ(std::memcmp(got.constScanLine(y), expected.constScanLine(y), static_cast<std::size_t>(got.width()) * 3),
                  0)
            << "row " << y;
    }
    pano->Release();
}

TEST(SurfaceRender, CropRequestOutsideFailsAndIsForgotten)
{
    Photos files(MosaicOptions(1, 2, 200, 150));
    CCylindricalSurface s;
    s.AddImages(files.Order(), D3Param{}, files.Params(), files.Elements(), {});
    s.Set3DOrientation(0);
    s.SetCropFactor(VarnoBase::Rect(5000, 10, 6000, 40), 100);
    EXPECT_FALSE(s.RenderSurface(100.0, nullptr, nullptr, 0, 100));
    EXPECT_EQ(s.GetPano(), nullptr);
    ASSERT_TRUE(s.RenderSurface(100.0, nullptr, nullptr, 0, 100));  // the request is gone
    const int fullWidth = s.Width();
    CPanoElement* pano = s.GetPano();
    EXPECT_EQ(pano->GetWidth(), fullWidth);
    pano->Release();

    // A crop in the coordinates of a picture half as wide.
    s.SetCropFactor(VarnoBase::Rect(10, 5, 60, 40), fullWidth / 2);
    ASSERT_TRUE(s.RenderSurface(100.0, nullptr, nullptr, 0, 100));
    pano = s.GetPano();
    EXPECT_NEAR(pano->GetWidth(), 100, 2);
    EXPECT_NEAR(pano->GetHeight(), 70, 2);
    pano->Release();
}

TEST(SurfaceRender, WorkerRenderNeverTouchesSharedPhotos)
{
    Photos files(MosaicOptions(1, 2, 200, 150));
    CPanoElement* reference = nullptr;
    {
        CCylindricalSurface s;
        s.AddImages(files.Order(), D3Param{}, files.Params(), files.Elements(), {});
        s.Set3DOrientation(0);
        s.SetInterpolationMode(CSurfaceRendering::BilinearMode);
        ASSERT_TRUE(s.RenderSurface(100.0, nullptr, nullptr, 0, 100));
        reference = s.GetPano();
    }
    for (CPanoElement* e : files.Elements())
        ASSERT_FALSE(e->HasBits());  // the UI-thread render unloaded them

    auto* job = new CCylindricalSurface;  // what the render thread would own
    job->SetMayUnloadPhotos(false);
    job->AddImages(files.Order(), D3Param{}, files.Params(), files.Elements(), {});
    job->Set3DOrientation(0);
    job->SetInterpolationMode(CSurfaceRendering::BilinearMode);
    EXPECT_EQ(files[0]->RefCount(), 2);  // the job holds the photos
    files[0]->Load();                    // the UI thread may load and unload meanwhile
    ASSERT_TRUE(job->RenderSurface(100.0, nullptr, nullptr, 0, 100));
    EXPECT_TRUE(files[0]->HasBits());   // not unloaded by the job
    EXPECT_FALSE(files[1]->HasBits());  // not loaded by the job
    CPanoElement* pano = job->GetPano();
    ExpectSameRender(reference, pano);
    pano->Release();

    // A photo whose file has vanished contributes nothing; the render goes on.
    ASSERT_TRUE(QFile::remove(files.set.paths[1]));
    files[0]->Unload();
    ASSERT_TRUE(job->RenderSurface(100.0, nullptr, nullptr, 0, 100));
    pano = job->GetPano();
    const VarnoBase::Rect second = job->Photos()[1].rect;
    const VarnoBase::Rect first = job->Photos()[0].rect;
    int covered = 0;
    for (int x = first.right; x < second.right; ++x)
        covered += pano->GetAlphaBits()[(pano->GetHeight() / 2) * pano->GetAlphaBPL() + x] != 0;
    EXPECT_EQ(covered, 0);
    pano->Release();
    delete job;
    EXPECT_EQ(files[0]->RefCount(), 1);
    reference->Release();
}

namespace {
struct ThrowingProgress : vltest::RecordingProgress {
    bool AbortProgressIndicator(int max, int value) override
    {
        if (value > 30)
            throw std::bad_alloc();
        return RecordingProgress::AbortProgressIndicator(max, value);
    }
};
}  // namespace

TEST(SurfaceRender, FailureInTheMiddleIsAFailedRenderWithoutResult)
{
    Photos files(MosaicOptions(1, 2, 200, 150));
    CCylindricalSurface s;
    s.AddImages(files.Order(), D3Param{}, files.Params(), files.Elements(), {});
    s.Set3DOrientation(0);
    ThrowingProgress progress;
    EXPECT_FALSE(s.RenderSurface(100.0, &progress, nullptr, 0, 100));
    EXPECT_EQ(s.GetPano(), nullptr);
    EXPECT_TRUE(s.RenderSurface(100.0, nullptr, nullptr, 0, 100));  // the surface is still usable
    s.FreePano();
}
