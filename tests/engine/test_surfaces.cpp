// Geometry, projection, lens inversion and interpolation of the rendering surfaces.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/linalg.h"
#include "engine/tiled/surface.h"
#include "engine/tiled/surface_render.h"
#include "tests/engine/surface_test_util.h"

using namespace surface_test;

namespace {

constexpr double kPi = 3.141592653589793;

// An in-memory photo of the given size with a deterministic pattern.
CPanoElement* PatternPhoto(int w, int h, int seed = 1)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb((x * 7 + seed * 13) & 255, (y * 5 + x) & 255, (x * y + seed) & 255));
    return ElementFrom(img);
}

D3Param Cam(double f, double rx, double ry, double rz)
{
    D3Param p;
    p.f = f;
    p.Rx = rx;
    p.Ry = ry;
    p.Rz = rz;
    return p;
}

template <class Surface>
void PrepareGeometry(Surface& s)
{
    s.CalcProjectMatrices();
    s.SetSurfaceRadius();
    ASSERT_TRUE(s.CalcImgAngularSizes());
}

}  // namespace

TEST(SurfaceGeometry, FirstPhotoOfTheOrderLooksAtTheCentre)
{
    CPanoElement* photo = PatternPhoto(200, 100);
    for (int kind = 0; kind < 2; ++kind) {
        std::unique_ptr<CCylindricalSurface> s(kind ? new CSphericalSurface : new CCylindricalSurface);
        s->AddImage(photo, Cam(250, 12, 33, 4), nullptr);
        s->AddImage(photo, Cam(260, 5, 60, 0), nullptr);
        s->Set3DOrientation(0);
        PrepareGeometry(*s);
        const auto& d = s->Photos()[0];
        // The centre ray of photo 0 is the surface's forward axis: longitude 0, vertical 0.
        EXPECT_NEAR(d.M1[0][2], 0.0, 1e-12);
        EXPECT_NEAR(d.M1[1][2], 0.0, 1e-12);
        EXPECT_GT(d.M1[2][2], 0.0);
        EXPECT_NEAR(d.thetaMin, -d.thetaMax, 1e-9);
        EXPECT_NEAR(d.vMin, -d.vMax, 1e-9);
        // The radius is the largest focal length seen from the surface (horizontally on
        // the cylinder).
        if (kind) {
            EXPECT_NEAR(s->Radius(), 260.0, 1e-9);
        } else {
            EXPECT_GE(s->Radius(), 250.0);
            EXPECT_LT(s->Radius(), 260.0);
        }
    }
    photo->Release();
}

TEST(SurfaceGeometry, PhotoStraddlingTheBackSpansTheWholeWidth)
{
    CPanoElement* photo = PatternPhoto(200, 150);
    CCylindricalSurface s;
    s.AddImage(photo, Cam(200, 0, 0, 0), nullptr);
    s.AddImage(photo, Cam(200, 0, 180, 0), nullptr);
    s.Set3DOrientation(0);
    PrepareGeometry(s);
    const auto& back = s.Photos()[1];
    EXPECT_LT(back.thetaMin, -170.0);
    EXPECT_GT(back.thetaMax, 170.0);
    EXPECT_EQ(back.rect.left, 0);
    EXPECT_EQ(back.rect.right, s.Width());
    EXPECT_NEAR(s.Width(), 2 * kPi * 200, 2.0);
    photo->Release();
}

TEST(SurfaceGeometry, ScaledRenderNeverDropsUnder480Pixels)
{
    CPanoElement* photo = PatternPhoto(200, 150);
    for (int kind = 0; kind < 2; ++kind) {
        std::unique_ptr<CCylindricalSurface> s(kind ? new CSphericalSurface : new CCylindricalSurface);
        s->AddImage(photo, Cam(200, 0, 0, 0), nullptr);
        s->AddImage(photo, Cam(200, 0, 30, 0), nullptr);
        s->Set3DOrientation(0);
        PrepareGeometry(*s);
        const double natural = s->Radius();
        ASSERT_TRUE(s->SetRadiusForScale(100.0));
        EXPECT_EQ(s->Radius(), natural);
        EXPECT_TRUE(s->IsOriginal());
        ASSERT_TRUE(s->SetRadiusForScale(20.0));
        EXPECT_FALSE(s->IsOriginal());
        EXPECT_GT(s->Radius(), natural);  // enlarged, not reduced
        EXPECT_NEAR(std::min(s->Width(), s->Height()), 480, 1);
    }
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
        cylinder.AddImage(photo, Cam(200, 0, 0, 0), nullptr);
        cylinder.AddImage(photo, Cam(200, tilt, 0, 0), nullptr);
        cylinder.Set3DOrientation(0);
        EXPECT_FALSE(cylinder.RenderSurface(100.0, nullptr, nullptr, 0, 100)) << tilt;
        EXPECT_FALSE(cylinder.RenderSurface(20.0, nullptr, nullptr, 0, 100)) << tilt;
        EXPECT_EQ(cylinder.GetPano(), nullptr);
    }

    CSphericalSurface sphere;  // the sphere holds the pole
    sphere.AddImage(photo, Cam(200, 0, 0, 0), nullptr);
    sphere.AddImage(photo, Cam(200, edgeAtZenith, 0, 0), nullptr);
    sphere.Set3DOrientation(0);
    EXPECT_TRUE(sphere.RenderSurface(100.0, nullptr, nullptr, 0, 100));
    CPanoElement* pano = sphere.GetPano();
    ASSERT_NE(pano, nullptr);
    EXPECT_LE(pano->GetHeight(), static_cast<int>(kPi * 200) + 2);
    pano->Release();
    photo->Release();
}

TEST(SurfaceGeometry, EmptyPhotoListIsNotRead)
{
    CCylindricalSurface s;
    s.Set3DOrientation(0);
    s.RotateSurfaceOn(1, 2, 3);
    EXPECT_FALSE(s.RenderSurface(20.0, nullptr, nullptr, 0, 100));
    EXPECT_EQ(s.GetPano(), nullptr);
    std::vector<CPanoElement*> none;
    s.AddImages({0, 1}, D3Param{}, {}, none, none);  // indices past the lists are skipped
    EXPECT_TRUE(s.Photos().empty());
}

TEST(SurfaceGeometry, PhotosAreHeldByCountedReferences)
{
    CPanoElement* photo = PatternPhoto(20, 20);
    CPanoElement* preview = PatternPhoto(10, 10);
    {
        CCylindricalSurface s;
        s.AddImages({0}, D3Param{}, {Cam(100, 0, 0, 0)}, {photo}, {preview});
        EXPECT_EQ(photo->RefCount(), 2);
        EXPECT_EQ(preview->RefCount(), 2);
        s.RemoveAllImages();
        EXPECT_EQ(photo->RefCount(), 1);
        s.AddImage(photo, Cam(100, 0, 0, 0), nullptr);
    }
    EXPECT_EQ(photo->RefCount(), 1);
    photo->Release();
    preview->Release();
}

TEST(SurfaceGeometry, SharedLensTermsReplaceEachPhotosOwn)
{
    CPanoElement* photo = PatternPhoto(20, 20);
    CCylindricalSurface s;
    D3Param world;
    world.lens = 1;
    world.k1 = 1e-7;
    D3Param own = Cam(100, 1, 2, 3);
    own.k1 = 5.0;
    s.AddImages({0}, world, {own}, {photo}, {photo, photo});  // preview list of another size: none
    ASSERT_EQ(s.Photos().size(), 1u);
    EXPECT_EQ(s.Photos()[0].params.lens, 1);
    EXPECT_EQ(s.Photos()[0].params.k1, 1e-7);
    EXPECT_EQ(s.Photos()[0].params.Rz, 3.0);
    EXPECT_EQ(s.Photos()[0].preview.get(), nullptr);
    EXPECT_DOUBLE_EQ(s.Photos()[0].halfDiagonal, std::sqrt(200.0));
    photo->Release();
}

// ---------------------------------------------------------------------------------------

TEST(LensInversion, InvertsBothPolynomials)
{
    const int saved = g_ldPoynomType;
    D3Param p;
    p.k1 = 3e-7;
    p.k2 = -2e-13;
    p.k3 = 4e-10;
    for (int type : {1, 2}) {
        g_ldPoynomType = type;
        for (double x : {0.0, 3.0, -150.0, 410.0}) {
            for (double y : {0.0, 7.5, -280.0}) {
                // (x, y) is a photo point; L takes it to the ideal image
                const double l = LensDistortion(std::sqrt(x * x + y * y), p);
                double ox, oy;
                ASSERT_TRUE(InvLensDistortion(&ox, &oy, x * l, y * l, 500.0, p)) << type << " " << x << " " << y;
                EXPECT_NEAR(ox, x, 1e-6);
                EXPECT_NEAR(oy, y, 1e-6);
            }
        }
    }
    g_ldPoynomType = saved;

    double ox = 1, oy = 1;
    EXPECT_TRUE(InvLensDistortion24(&ox, &oy, 0.0, 0.0, p));  // the centre maps to itself
    EXPECT_EQ(ox, 0.0);
    EXPECT_EQ(oy, 0.0);

    D3Param folded;  // g(r) = r (1 - 1e-4 r^2) never reaches 1000: no inverse
    folded.k1 = -1e-4;
    EXPECT_FALSE(InvLensDistortion24(&ox, &oy, 1000.0, 0.0, folded));
}

// ---------------------------------------------------------------------------------------

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
        EXPECT_FALSE(sample(7.0, 2.0));
        EXPECT_FALSE(sample(2.0, 5.0));
        EXPECT_FALSE(sample(-0.25, 2.0));  // would truncate to column 0
        EXPECT_FALSE(sample(2.0, -0.5));
        EXPECT_FALSE(sample(std::nan(""), 2.0));
        EXPECT_FALSE(sample(1e300, 2.0));
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
    }
    photo->Release();
}

TEST(SurfaceInterpolation, BilinearWeighsTheFourNeighbours)
{
    CPanoElement* photo = PatternPhoto(8, 6);
    CCylindricalSurface s;
    CCylindricalSurface::InterpolationData d;
    d.image = photo;
    d.x = 2.25;
    d.y = 3.5;
    ASSERT_TRUE(s.BilinearInterpolation(d));
    const unsigned char* p = photo->GetBits() + 3 * 24 + 2 * 3;
    const double v = 0.75 * 0.5 * p[0] + 0.25 * 0.5 * p[3] + 0.75 * 0.5 * p[24] + 0.25 * 0.5 * p[27];
    EXPECT_EQ(d.c2, static_cast<int>(v));
    photo->Release();
}

TEST(SurfaceInterpolation, UnloadedPhotoUsesItsPreviewButBilinearLoadsIt)
{
    PhotoFiles files(Mosaic(1, 1, 200, 150));
    CPanoElement* photo = files.elements[0];
    ASSERT_TRUE(photo->HasBits());
    const QImage full = ImageOf(photo);
    CPanoElement* preview = ElementFrom(full.scaled(50, 37));
    photo->Unload();
    ASSERT_FALSE(photo->HasBits());

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

// Mean absolute difference over the pixels that the render covered.
double MeanCoveredDifference(const CPanoElement* pano, const QImage& truth, int* covered)
{
    double sum = 0;
    int n = 0;
    for (int y = 0; y < pano->GetHeight(); ++y) {
        for (int x = 0; x < pano->GetWidth(); ++x) {
            if (!pano->GetAlphaBits()[y * pano->GetAlphaBPL() + x])
                continue;
            const unsigned char* p = pano->GetBits() + static_cast<std::int64_t>(y) * pano->GetBPL() + x * 3;
            const QRgb t = truth.pixel(x, y);
            sum += std::abs(p[0] - qRed(t)) + std::abs(p[1] - qGreen(t)) + std::abs(p[2] - qBlue(t));
            ++n;
        }
    }
    *covered = n;
    return n ? sum / (3.0 * n) : 1e9;
}

}  // namespace

TEST(SurfaceProjection, RenderShowsTheWorldWhereTheSceneSaysItIs)
{
    PhotoFiles files(Mosaic(2, 2, 240, 180));
    for (int kind = 0; kind < 2; ++kind) {
        Open<CCylindricalSurface> cyl;
        Open<CSphericalSurface> sph;
        CCylindricalSurface& s = kind ? static_cast<CCylindricalSurface&>(sph) : cyl;
        s.AddImages(files.Order(), D3Param{}, files.Params(), files.elements, {});
        s.Set3DOrientation(0);
        s.RotateSurfaceOn(0, 3, 0);
        s.SetInterpolationMode(CSurfaceRendering::BilinearMode);
        ASSERT_TRUE(s.RenderSurface(100.0, nullptr, nullptr, 0, 100));
        CPanoElement* pano = s.GetPano();
        ASSERT_NE(pano, nullptr);
        vltest::SurfaceView view;
        view.spherical = kind == 1;
        view.radius = s.Radius();
        view.thetaMinDeg = s.ThetaMin();
        view.vMin = s.VMin();
        view.rx = s.World().Rx;
        view.ry = s.World().Ry;
        view.rz = s.World().Rz;
        view.width = pano->GetWidth();
        view.height = pano->GetHeight();
        const QImage truth = vltest::renderSurfaceView(SharedScene(), view);
        int covered = 0;
        const double diff = MeanCoveredDifference(pano, truth, &covered);
        EXPECT_GT(covered, pano->GetWidth() * pano->GetHeight() / 2);
        EXPECT_LT(diff, 12.0) << (kind ? "sphere" : "cylinder");
        // A blend of matching photos leaves no pixel of a covered area white by mistake.
        pano->Release();
    }
}
