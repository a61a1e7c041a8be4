// The rendering surfaces: geometry, lens inversion and interpolation, then the render
// (projection into the result, exposure gain, blending, progress, cancellation, view
// updates and photos shared with a worker).
#include <gtest/gtest.h>

#include <QFile>

#include <cmath>
#include <cstring>
#include <memory>

#include "engine/tiled/surface.h"
#include "engine/tiled/surface_render.h"
#include "tests/engine/tiled_test_util.h"

using namespace tiled_test;

namespace {

constexpr double kPi = 3.141592653589793;

// An in-memory photo of the given size with a deterministic pattern.
CPanoElement* PatternPhoto(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb((x * 7 + 13) & 255, (y * 5 + x) & 255, (x * y + 1) & 255));
    return ElementFrom(img);
}

std::unique_ptr<CCylindricalSurface> Surface(bool spherical, CPanoElement* photo, std::initializer_list<D3Param> cams)
{
    std::unique_ptr<CCylindricalSurface> s(spherical ? new CSphericalSurface : new CCylindricalSurface);
    for (const D3Param& c : cams)
        s->AddImage(photo, c, nullptr);
    s->Set3DOrientation(0);
    s->CalcProjectMatrices();
    s->SetSurfaceRadius();
    EXPECT_TRUE(s->CalcImgAngularSizes());
    return s;
}

}  // namespace

TEST(SurfaceGeometry, FirstPhotoLooksAtTheCentreTheRadiusIsTheLargestFocalLengthAndABackPhotoSpansTheWidth)
{
    CPanoElement* photo = PatternPhoto(200, 100);
    for (int kind = 0; kind < 2; ++kind) {
        auto s = Surface(kind, photo, {{250, 12, 33, 4}, {260, 5, 60, 0}});
        const auto& d = s->Photos()[0];
        EXPECT_NEAR(d.M1[0][2], 0.0, 1e-12);  // its centre ray: longitude 0, vertical 0
        EXPECT_NEAR(d.M1[1][2], 0.0, 1e-12);
        EXPECT_GT(d.M1[2][2], 0.0);
        EXPECT_NEAR(d.thetaMin, -d.thetaMax, 1e-9);
        EXPECT_NEAR(d.vMin, -d.vMax, 1e-9);
        // Seen horizontally on the cylinder, in full on the sphere.
        if (kind) {
            EXPECT_NEAR(s->Radius(), 260.0, 1e-9);
        } else {
            EXPECT_GE(s->Radius(), 250.0);
            EXPECT_LT(s->Radius(), 260.0);
        }
        // A scaled render is enlarged rather than made smaller than 480 pixels.
        const double natural = s->Radius();
        ASSERT_TRUE(s->SetRadiusForScale(100.0));
        EXPECT_EQ(s->Radius(), natural);
        EXPECT_TRUE(s->IsOriginal());
        ASSERT_TRUE(s->SetRadiusForScale(20.0));
        EXPECT_FALSE(s->IsOriginal());
        EXPECT_GT(s->Radius(), natural);
        EXPECT_NEAR(std::min(s->Width(), s->Height()), 480, 1);
    }
    // A photo straddling the back spans the whole width.
    auto s = Surface(false, photo, {{200, 0, 0, 0}, {200, 0, 180, 0}});
    const auto& back = s->Photos()[1];
    EXPECT_LT(back.thetaMin, -170.0);
    EXPECT_GT(back.thetaMax, 170.0);
    EXPECT_EQ(back.rect.left, 0);
    EXPECT_EQ(back.rect.right, s->Width());
    EXPECT_NEAR(s->Width(), 2 * kPi * 200, 2.0);
    photo->Release();
}

TEST(SurfaceGeometry, PhotoTiltedToTheZenithFailsCleanlyOnTheCylinder)
{
    CPanoElement* photo = PatternPhoto(200, 150);
    // Tilted up so that the middle of its top edge looks (almost) straight up: that
    // border ray lies on the cylinder's axis, at an unbounded height.
    const double edgeAtZenith = 90.0 - std::atan(75.0 / 200.0) * 180.0 / kPi;
    for (double tilt : {edgeAtZenith, edgeAtZenith - 1e-6}) {
        CCylindricalSurface cylinder;
        cylinder.AddImage(photo, D3Param{200, 0, 0, 0}, nullptr);
        cylinder.AddImage(photo, D3Param{200, tilt, 0, 0}, nullptr);
        cylinder.Set3DOrientation(0);
        EXPECT_FALSE(cylinder.RenderSurface(100.0, nullptr, nullptr, 0, 100)) << tilt;
        EXPECT_FALSE(cylinder.RenderSurface(20.0, nullptr, nullptr, 0, 100)) << tilt;
        EXPECT_EQ(cylinder.GetPano(), nullptr);
    }

    CSphericalSurface sphere;  // the sphere holds the pole
    sphere.AddImage(photo, D3Param{200, 0, 0, 0}, nullptr);
    sphere.AddImage(photo, D3Param{200, edgeAtZenith, 0, 0}, nullptr);
    sphere.Set3DOrientation(0);
    EXPECT_TRUE(sphere.RenderSurface(100.0, nullptr, nullptr, 0, 100));
    CPanoElement* pano = sphere.GetPano();
    ASSERT_NE(pano, nullptr);
    EXPECT_LE(pano->GetHeight(), static_cast<int>(kPi * 200) + 2);
    pano->Release();
    photo->Release();
}

TEST(SurfaceGeometry, AddImagesSkipsMissingPhotosAndSharesTheLens)
{
    CCylindricalSurface s;
    s.Set3DOrientation(0);
    s.RotateSurfaceOn(1, 2, 3);
    EXPECT_FALSE(s.RenderSurface(20.0, nullptr, nullptr, 0, 100));  // no photo
    EXPECT_EQ(s.GetPano(), nullptr);
    std::vector<CPanoElement*> none;
    s.AddImages({0, 1}, D3Param{}, {}, none, none);  // indices past the lists are skipped
    EXPECT_TRUE(s.Photos().empty());

    CPanoElement* photo = PatternPhoto(20, 20);
    const D3Param world{0, 0, 0, 0, 1, 1e-7}, own{100, 1, 2, 3, 0, 5.0};
    s.AddImages({0}, world, {own}, {photo}, {photo, photo});  // preview list of another size: none
    ASSERT_EQ(s.Photos().size(), 1u);
    const D3Param& got = s.Photos()[0].params;
    EXPECT_TRUE(got.lens == 1 && got.k1 == 1e-7 && got.Rz == 3.0);
    EXPECT_EQ(s.Photos()[0].preview.get(), nullptr);
    photo->Release();
}

// Newton's inverse to 1e-6; the render's table of it (a lens moving corners by 15 %)
// within a hundredth of a pixel over the whole photo of 1000 x 800, corners included.
TEST(LensInversion, InvertsBothPolynomialsAndTheTableStaysWithinAHundredthOfAPixel)
{
    const int saved = g_ldPoynomType;
    const D3Param p{0, 0, 0, 0, 1, 3e-7, -2e-13, 0, 4e-10};
    for (int type : {1, 2}) {
        g_ldPoynomType = type;
        LensInverseTable table;
        table.Build(p, type == 1, std::hypot(500.0, 400.0) + 2.0);
        double worst = 0.0;
        for (double x = -500.0; x <= 500.0; x += 12.5)
            for (double y = -400.0; y <= 400.0; y += 12.5) {
                const double l = LensDistortion(std::hypot(x, y), p);  // photo point -> ideal
                double ox, oy, tx = x * l, ty = y * l;
                ASSERT_TRUE(InvLensDistortion(&ox, &oy, x * l, y * l, 500.0, p)) << type << " " << x << " " << y;
                ASSERT_TRUE(std::fabs(ox - x) < 1e-6 && std::fabs(oy - y) < 1e-6) << type << " " << x << " " << y;
                ASSERT_TRUE(table.Covers(type == 1, tx * tx + ty * ty));
                table.Apply(tx * tx + ty * ty, tx, ty);
                worst = std::max(worst, std::hypot(tx - ox, ty - oy));
            }
        EXPECT_LT(worst, 0.01) << type;
    }
    g_ldPoynomType = saved;

    double ox, oy;
    const D3Param folded{0, 0, 0, 0, 0, -1e-4};  // g(r) = r (1 - 1e-4 r^2) never reaches 1000: no inverse
    EXPECT_FALSE(InvLensDistortion24(&ox, &oy, 1000.0, 0.0, folded));
}

TEST(SurfaceInterpolation, NeverSamplesTheLastRowOrColumn)
{
    // 8 x 6 pixels: rows of exactly 24 bytes, so a read past the last pixel leaves the
    // buffer (AddressSanitizer).
    CPanoElement* photo = PatternPhoto(8, 6);
    ASSERT_EQ(photo->GetBPL(), 24);
    CCylindricalSurface s;
    for (int mode = 0; mode < 2; ++mode) {
        CCylindricalSurface::InterpolationData d;
        d.image = photo;
        auto sample = [&](double x, double y) {
            d.x = x;
            d.y = y;
            return mode ? s.BilinearInterpolation(d) : s.NoInterpolation(d);
        };
        for (auto [x, y] : {std::pair{7.0, 2.0}, {2.0, 5.0}, {-0.25, 2.0}, {2.0, -0.5}, {std::nan(""), 2.0},
                            {1e300, 2.0}})
            EXPECT_FALSE(sample(x, y)) << x << "," << y;
        ASSERT_TRUE(sample(7.0 - 1e-9, 5.0 - 1e-9));
        // Nearest: pixel (6, 4); bilinear: its far neighbour (7, 5) weighs almost 1.
        const unsigned char* last = photo->GetBits() + (mode ? 5 * 24 + 7 * 3 : 4 * 24 + 6 * 3);
        EXPECT_NEAR(d.c0, last[2], 1);  // bytes 2, 1, 0 become c0, c1, c2
        EXPECT_NEAR(d.c2, last[0], 1);
        ASSERT_TRUE(sample(3.0, 2.0));
        const unsigned char* p = photo->GetBits() + 2 * 24 + 3 * 3;
        EXPECT_EQ(d.c0, p[2]);
        EXPECT_EQ(d.c1, p[1]);
        EXPECT_EQ(d.c2, p[0]);
        if (mode) {  // bilinear weights: 3/4 left, 1/2 up
            ASSERT_TRUE(sample(2.25, 3.5));
            p = photo->GetBits() + 3 * 24 + 2 * 3;
            EXPECT_EQ(d.c2, static_cast<int>(0.375 * p[0] + 0.125 * p[3] + 0.375 * p[24] + 0.125 * p[27]));
        }
    }
    photo->Release();
}

TEST(SurfaceInterpolation, UnloadedPhotoUsesItsPreviewButBilinearLoadsIt)
{
    Photos files(MosaicOptions(1, 1, 200, 150));
    CPanoElement* photo = files[0];
    ASSERT_TRUE(photo->HasBits());
    CPanoElement* preview = ElementFrom(ImageOf(photo).scaled(50, 37));
    photo->Unload();

    CCylindricalSurface s;
    CCylindricalSurface::InterpolationData d;
    d.image = photo;
    d.preview = preview;
    d.x = 120.7;
    d.y = 90.2;
    ASSERT_TRUE(s.NoInterpolation(d));
    EXPECT_FALSE(photo->HasBits());
    const unsigned char* p = preview->GetBits() + (90 * 37 / 150) * preview->GetBPL() + (120 * 50 / 200) * 3;
    EXPECT_EQ(d.c0, p[2]);
    EXPECT_EQ(d.c1, p[1]);
    EXPECT_EQ(d.c2, p[0]);

    ASSERT_TRUE(s.BilinearInterpolation(d));
    ASSERT_TRUE(photo->HasBits());  // loaded from its file
    unsigned char expected[3];
    BilinearSample(photo->GetBits() + 90 * photo->GetBPL() + 120 * 3, photo->GetBPL(), d.x - 120, d.y - 90, expected);
    EXPECT_EQ(d.c2, expected[0]);
    EXPECT_EQ(d.c0, expected[2]);

    // A surface that may not touch shared photos does not load one.
    photo->Unload();
    CCylindricalSurface worker;
    worker.SetMayUnloadPhotos(false);
    EXPECT_FALSE(worker.BilinearInterpolation(d));
    EXPECT_FALSE(photo->HasBits());
    preview->Release();
}

// ---------------------------------------------------------------------------------------

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
    QImage img(w, h, QImage::Format_RGB888);
    img.fill(qRgb(r, g, b));
    CPanoElement* e = ElementFrom(img);
    e->AddAlphaChannel(false);
    std::memset(e->GetAlphaBits(), alpha, static_cast<std::size_t>(e->GetAlphaBPL()) * h);
    unsigned short* wt = e->Create16Bitmask();
    std::fill(wt, wt + static_cast<std::size_t>(e->Get16BitmaskWPL()) * h, weight);
    e->SetPosition(VarnoBase::Point(x, y));
    return e;
}

const unsigned char* Pixel(const CPanoElement* e, int x, int y)
{
    return e->GetBits() + static_cast<std::int64_t>(y) * e->GetBPL() + x * 3;
}

unsigned short Weight(const CPanoElement* e, int x, int y)
{
    return e->Get16BitmaskBits()[static_cast<std::int64_t>(y) * e->Get16BitmaskWPL() + x];
}

}  // namespace

TEST(SurfaceRender, OnePhotoAloneKeepsItsPixelsAndWeights)
{
    Photos files(MosaicOptions(1, 1, 240, 180));
    for (int mode = 0; mode < 2; ++mode) {
        CCylindricalSurface s;
        // Bilinear with a lens: the row loops' cut-off radius must lose no corner.
        const D3Param lens{0, 0, 0, 0, mode, 2e-6};
        files.AddTo(s, lens);
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
                ASSERT_EQ(pano->GetAlphaBits()[y * pano->GetAlphaBPL() + x], alpha) << x << "," << y;
                ASSERT_EQ(Weight(pano, x, y), weight);
                ASSERT_EQ(std::memcmp(Pixel(pano, x, y), rgb, 3), 0);  // uncovered: white
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

TEST(SurfaceRender, ExposureGainFromTheMedianRatio)
{
    Open<CCylindricalSurface> s;
    auto gainOf = [&](CPanoElement* pano, CPanoElement* photo) {
        s.FreePano();
        s.m_pPano = pano;
        CCylindricalSurface::Data d;
        d.transformed.Adopt(photo);
        const VarnoBase::Rect o = pano->GetImageRect() & photo->GetImageRect();
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
        files.AddTo(s, D3Param{}, 1);
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
    const int rows = full.Photos()[1].rect.top + 10, w = got.width();
    EXPECT_EQ(got.copy(0, 0, w, rows), fullViews.snapshots[1].copy(0, 0, w, rows));
    EXPECT_EQ(got.copy(0, rows, w, got.height() - rows), fullViews.snapshots[0].copy(0, rows, w, got.height() - rows));
    pano->Release();
}

// A job of the render thread renders what the UI thread renders, row bands on three
// threads against one, with a lens (its inversion and early cut) and a turned sphere.
TEST(SurfaceRender, WorkerRenderOnSeveralThreadsIsTheSameAndNeverTouchesSharedPhotos)
{
    Photos files(MosaicOptions(1, 2, 200, 150));
    const D3Param world{0, 0, 0, 0, 1, 2e-7};
    auto prepare = [&](CCylindricalSurface& s, int threads) {
        s.SetThreadCount(threads);
        files.AddTo(s, world);
        s.RotateSurfaceOn(2, -4, 1);
        s.SetInterpolationMode(CSurfaceRendering::BilinearMode);
    };
    CPanoElement* reference = nullptr;
    {
        CSphericalSurface s;
        prepare(s, 1);
        ASSERT_TRUE(s.RenderSurface(100.0, nullptr, nullptr, 0, 100));
        reference = s.GetPano();
    }
    for (PanoramaLib::IPanoElement* e : files.elements)
        ASSERT_FALSE(e->HasBits());  // the UI-thread render unloaded them

    auto* job = new CSphericalSurface;  // what the render thread would own
    job->SetMayUnloadPhotos(false);
    prepare(*job, 3);
    EXPECT_EQ(files[0]->RefCount(), 2);  // the job holds the photos
    files[0]->Load();                    // the UI thread may load and unload meanwhile
    ASSERT_TRUE(job->RenderSurface(100.0, nullptr, nullptr, 0, 100));
    EXPECT_TRUE(files[0]->HasBits());   // not unloaded by the job
    EXPECT_FALSE(files[1]->HasBits());  // not loaded by the job
    CPanoElement* pano = job->GetPano();
    ASSERT_EQ(ImageOf(reference), ImageOf(pano));  // sizes too
    for (int y = 0; y < pano->GetHeight(); ++y)
        for (int x = 0; x < pano->GetWidth(); ++x) {
            ASSERT_EQ(pano->GetAlphaBits()[y * pano->GetAlphaBPL() + x],
                      reference->GetAlphaBits()[y * reference->GetAlphaBPL() + x]);
            ASSERT_EQ(Weight(pano, x, y), Weight(reference, x, y));
        }
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

TEST(SurfaceRender, CropRequestOutsideOrAFailureInTheMiddleFailsWithoutResultAndIsForgotten)
{
    Photos files(MosaicOptions(1, 2, 200, 150));
    CCylindricalSurface s;
    files.AddTo(s);
    s.SetCropFactor(VarnoBase::Rect(5000, 10, 6000, 40), 100);
    EXPECT_FALSE(s.RenderSurface(100.0, nullptr, nullptr, 0, 100));
    EXPECT_EQ(s.GetPano(), nullptr);
    ThrowingProgress progress;
    EXPECT_FALSE(s.RenderSurface(100.0, &progress, nullptr, 0, 100));
    EXPECT_EQ(s.GetPano(), nullptr);
    ASSERT_TRUE(s.RenderSurface(100.0, nullptr, nullptr, 0, 100));  // the request is gone, the surface usable
    CPanoElement* pano = s.GetPano();
    EXPECT_EQ(pano->GetWidth(), s.Width());
    pano->Release();
}
