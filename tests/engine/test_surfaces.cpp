// Geometry, projection, lens inversion and interpolation of the rendering surfaces.
#include <gtest/gtest.h>

#include <cmath>
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

D3Param Cam(double f, double rx, double ry, double rz)
{
    D3Param p;
    p.f = f;
    p.Rx = rx;
    p.Ry = ry;
    p.Rz = rz;
    return p;
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

TEST(SurfaceGeometry, FirstPhotoLooksAtTheCentreAndTheRadiusIsTheLargestFocalLength)
{
    CPanoElement* photo = PatternPhoto(200, 100);
    for (int kind = 0; kind < 2; ++kind) {
        auto s = Surface(kind, photo, {Cam(250, 12, 33, 4), Cam(260, 5, 60, 0)});
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
    photo->Release();
}

TEST(SurfaceGeometry, PhotoStraddlingTheBackSpansTheWholeWidth)
{
    CPanoElement* photo = PatternPhoto(200, 150);
    auto s = Surface(false, photo, {Cam(200, 0, 0, 0), Cam(200, 0, 180, 0)});
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
    photo->Release();
}

TEST(LensInversion, InvertsBothPolynomials)
{
    const int saved = g_ldPoynomType;
    D3Param p;
    p.k1 = 3e-7;
    p.k2 = -2e-13;
    p.k3 = 4e-10;
    for (int type : {1, 2}) {
        g_ldPoynomType = type;
        for (double x : {0.0, 3.0, -150.0, 410.0})
            for (double y : {0.0, 7.5, -280.0}) {
                const double l = LensDistortion(std::sqrt(x * x + y * y), p);  // photo point -> ideal
                double ox, oy;
                ASSERT_TRUE(InvLensDistortion(&ox, &oy, x * l, y * l, 500.0, p)) << type << " " << x << " " << y;
                EXPECT_NEAR(ox, x, 1e-6);
                EXPECT_NEAR(oy, y, 1e-6);
            }
    }
    g_ldPoynomType = saved;

    double ox, oy;
    D3Param folded;  // g(r) = r (1 - 1e-4 r^2) never reaches 1000: no inverse
    folded.k1 = -1e-4;
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
    }
    CCylindricalSurface::InterpolationData d;  // bilinear weights: 3/4 left, 1/2 up
    d.image = photo;
    d.x = 2.25;
    d.y = 3.5;
    ASSERT_TRUE(s.BilinearInterpolation(d));
    const unsigned char* p = photo->GetBits() + 3 * 24 + 2 * 3;
    EXPECT_EQ(d.c2, static_cast<int>(0.375 * p[0] + 0.125 * p[3] + 0.375 * p[24] + 0.125 * p[27]));
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
