// The synthetic photo generator is the ground truth of every engine test, so its returned
// transforms and cameras are checked here against its own pixels.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QImageReader>

#include <array>
#include <cmath>

#include "core/linalg.h"
#include "tests/support/scene.h"

// Option structs are set with designated initializers; members left out keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace vltest;

namespace {

constexpr double kPi = 3.141592653589793;

const Scene& smallScene()
{
    static const Scene scene([] {
        SceneOptions o{.seed = 42, .planeWidth = 1024, .planeHeight = 768, .sphereWidth = 2048};
        return o;
    }());
    return scene;
}

// Bilinear sample of an RGB888 image; false outside [0, w-1] x [0, h-1].
bool sampleImage(const QImage& img, double x, double y, double rgb[3])
{
    if (!(x >= 0 && y >= 0 && x <= img.width() - 1 && y <= img.height() - 1))
        return false;
    const int ix = std::min(int(x), img.width() - 2), iy = std::min(int(y), img.height() - 2);
    const double fx = x - ix, fy = y - iy;
    const uchar* r0 = img.constScanLine(iy) + ix * 3;
    const uchar* r1 = img.constScanLine(iy + 1) + ix * 3;
    for (int c = 0; c < 3; ++c)
        rgb[c] = (1 - fx) * (1 - fy) * r0[c] + fx * (1 - fy) * r0[3 + c] + (1 - fx) * fy * r1[c] + fx * fy * r1[3 + c];
    return true;
}

struct Agreement {
    long long pixels = 0;  // pixels of `b` seen by `a`
    double meanAbs = 0;    // mean absolute channel difference
    double outliers = 0;   // fraction of pixels with a channel differing by more than 40
};

// Compares image b with image a at the points `map` sends b's pixels to. A margin keeps
// away from a's border, where the bilinear lookup has no neighbours.
template <class Map>
Agreement agreement(const QImage& a, const QImage& b, const Map& map, double margin = 2)
{
    Agreement r;
    double sum = 0;
    long long bad = 0;
    for (int y = 0; y < b.height(); ++y) {
        const uchar* line = b.constScanLine(y);
        for (int x = 0; x < b.width(); ++x) {
            double ax, ay, rgb[3];
            if (!map(x, y, ax, ay))
                continue;
            if (ax < margin || ay < margin || ax > a.width() - 1 - margin || ay > a.height() - 1 - margin)
                continue;
            sampleImage(a, ax, ay, rgb);
            double worst = 0;
            for (int c = 0; c < 3; ++c) {
                const double d = std::abs(rgb[c] - line[x * 3 + c]);
                sum += d;
                worst = std::max(worst, d);
            }
            bad += worst > 40;
            ++r.pixels;
        }
    }
    if (r.pixels) {
        r.meanAbs = sum / (3.0 * r.pixels);
        r.outliers = double(bad) / r.pixels;
    }
    return r;
}

// Agreement of b with a through a plane-to-plane map of b's pixels into a.
Agreement mapAgreement(const QImage& a, const QImage& b, const Mat3& bToA)
{
    return agreement(a, b, [&](int x, int y, double& ax, double& ay) {
        bToA.map(x, y, ax, ay);
        return true;
    });
}

double meanAbsDifference(const QImage& a, const QImage& b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 3; ++x)
            sum += std::abs(int(a.constScanLine(y)[x]) - int(b.constScanLine(y)[x]));
    return sum / (3.0 * a.width() * a.height());
}

}  // namespace

// ---------------------------------------------------------------------------------------

TEST(SceneGenerator, SameSeedGivesSameWorldAndOtherSeedDiffers)
{
    SceneOptions o{.seed = 42, .planeWidth = 1000, .planeHeight = 768, .sphereWidth = 2048};  // width rounded up to 1024
    const Scene again(o);
    EXPECT_EQ(again.planeWidth(), 1024);
    EXPECT_EQ(again.planeTexture(), smallScene().planeTexture());
    EXPECT_EQ(again.sphereTexture(), smallScene().sphereTexture());

    o.seed = 43;
    const Scene other(o);
    EXPECT_GT(meanAbsDifference(other.planeTexture().convertToFormat(QImage::Format_RGB888),
                                smallScene().planeTexture().convertToFormat(QImage::Format_RGB888)),
              20.0);

    StripOptions st{.width = 240, .height = 160};
    const auto s1 = makeStrip(smallScene(), st);
    const auto s2 = makeStrip(smallScene(), st);
    ASSERT_EQ(s1.size(), 3u);
    for (std::size_t i = 0; i < s1.size(); ++i) {
        EXPECT_EQ(s1[i].image, s2[i].image);
        EXPECT_EQ(maxAbsDifference(s1[i].view.toScene, s2[i].view.toScene), 0.0);
    }
}

TEST(SceneGenerator, TextureIsBusyEverywhereAndNotRepetitive)
{
    // Every 64-texel block has contrast (features everywhere) and no two distant blocks
    // look alike (matching stays unambiguous).
    const QImage tex = smallScene().planeTexture().convertToFormat(QImage::Format_Grayscale8);
    std::vector<QImage> blocks;
    for (int by = 0; by + 64 <= tex.height(); by += 128)
        for (int bx = 0; bx + 64 <= tex.width(); bx += 128) {
            const QImage b = tex.copy(bx, by, 64, 64);
            double mean = 0, var = 0;
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 64; ++x)
                    mean += b.constScanLine(y)[x];
            mean /= 4096;
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 64; ++x)
                    var += std::pow(b.constScanLine(y)[x] - mean, 2);
            EXPECT_GT(std::sqrt(var / 4096), 6.0) << "flat block at " << bx << "," << by;
            blocks.push_back(b.convertToFormat(QImage::Format_RGB888));
        }
    for (std::size_t i = 0; i < blocks.size(); ++i)
        for (std::size_t j = i + 1; j < blocks.size(); ++j)
            EXPECT_GT(meanAbsDifference(blocks[i], blocks[j]), 4.0);
}

TEST(SceneGenerator, IdentityViewIsTheSceneCrop)
{
    const PlaneView view{Mat3::translation(100, 50), 200, 150};
    const QImage img = renderPlaneView(smallScene(), view);
    EXPECT_EQ(img.format(), QImage::Format_RGB888);
    EXPECT_EQ(img, planeCrop(smallScene(), QRect(100, 50, 200, 150)));

    // Outside the plane the view is black.
    const QImage off = renderPlaneView(smallScene(), {Mat3::translation(-20, 0), 40, 10});
    EXPECT_EQ(off.pixel(5, 5), qRgb(0, 0, 0));
    EXPECT_EQ(off.pixel(25, 5), smallScene().planeTexture().pixel(5, 5));
}

TEST(SceneGenerator, RejectsUnrenderableViews)
{
    Mat3 nan;
    nan.m[0][0] = std::nan("");
    EXPECT_THROW(renderPlaneView(smallScene(), {nan, 10, 10}), std::invalid_argument);
    EXPECT_THROW(renderPlaneView(smallScene(), {Mat3(), 0, 10}), std::invalid_argument);
    EXPECT_THROW(renderPlaneView(smallScene(), {Mat3(), 100000, 100000}), std::invalid_argument);
    StripOptions st{.count = 6, .sceneScale = 4.0};  // sceneScale: far too large for a 1024-texel plane
    EXPECT_THROW(makeStrip(smallScene(), st), std::invalid_argument);
    EXPECT_THROW(Mat3::scaling(0, 1).inverse(), std::domain_error);
    EXPECT_THROW(renderCameraView(smallScene(), Camera{0, 0, 0, 0, 10, 10}), std::invalid_argument);
}

// ---------------------------------------------------------------------------------------
// Strips: the returned transforms explain the pixels.

class StripModels : public ::testing::TestWithParam<std::tuple<Motion, Direction>> {};

TEST_P(StripModels, NeighboursAgreeThroughTheReturnedTransforms)
{
    const StripOptions st{.count = 3, .width = 320, .height = 240, .overlap = 0.4, .motion = std::get<0>(GetParam()),
                          .direction = std::get<1>(GetParam()), .scaleJitter = 0.08, .rotationJitterDeg = 5,
                          .affineJitter = 0.05};
    const auto shots = makeStrip(smallScene(), st);
    ASSERT_EQ(shots.size(), 3u);

    for (std::size_t i = 1; i < shots.size(); ++i) {
        const Mat3 toPrev = relativeTransform(shots[i], shots[i - 1]);
        // toFirst composes along the strip.
        EXPECT_LT(maxAbsDifference(shots[i - 1].toFirst * toPrev, shots[i].toFirst), 1e-6);

        const Agreement ok = mapAgreement(shots[i - 1].image, shots[i].image, toPrev);
        const double area = double(st.width) * st.height;
        EXPECT_GT(ok.pixels, 0.25 * area) << "view " << i;
        EXPECT_LT(ok.pixels, 0.60 * area) << "view " << i;
        EXPECT_LT(ok.meanAbs, 1.5) << "view " << i;
        EXPECT_LT(ok.outliers, 0.01) << "view " << i;

        // A transform off by 1.5 pixels is plainly detected.
        const Mat3 off = Mat3::translation(1.5, 0) * toPrev;
        const double offError = mapAgreement(shots[i - 1].image, shots[i].image, off).meanAbs;
        EXPECT_GT(offError, 4 * ok.meanAbs);
    }

    // The motion model shows in the transforms.
    const Mat3& m = shots[1].toFirst;
    const double rot = std::abs(m.m[0][1] - m.m[1][0]), skew = std::abs(m.m[0][1] + m.m[1][0]);
    const double aniso = std::abs(m.m[0][0] - m.m[1][1]);
    switch (st.motion) {
    case Motion::TranslateScale:
        EXPECT_LT(rot + skew + aniso, 1e-12);
        break;
    case Motion::Similarity:
        EXPECT_GT(rot, 1e-3);
        EXPECT_LT(skew + aniso, 1e-12);
        break;
    case Motion::Affine:
        EXPECT_GT(skew + aniso, 1e-3);
        break;
    }
    const double step = st.direction == Direction::Horizontal ? m.m[0][2] : m.m[1][2];
    EXPECT_GT(step, 0.4 * (st.direction == Direction::Horizontal ? st.width : st.height));
}

std::string stripCaseName(const ::testing::TestParamInfo<std::tuple<Motion, Direction>>& info)
{
    const Motion m = std::get<0>(info.param);
    const std::string model = m == Motion::TranslateScale ? "TranslateScale" : m == Motion::Similarity ? "Similarity" : "Affine";
    return model + (std::get<1>(info.param) == Direction::Horizontal ? "Row" : "Column");
}

INSTANTIATE_TEST_SUITE_P(AllModels, StripModels,
                         ::testing::Combine(::testing::Values(Motion::TranslateScale, Motion::Similarity,
                                                              Motion::Affine),
                                            ::testing::Values(Direction::Horizontal, Direction::Vertical)),
                         stripCaseName);

TEST(SceneGenerator, LongStripIsScaledToFitThePlane)
{
    StripOptions st{.count = 8, .width = 300, .height = 200, .overlap = 0.2, .motion = Motion::TranslateScale};
    const auto shots = makeStrip(smallScene(), st);
    for (const auto& s : shots) {
        for (const auto& c : {std::array<double, 2>{0, 0}, std::array<double, 2>{299, 199}}) {
            double X, Y;
            s.view.toScene.map(c[0], c[1], X, Y);
            EXPECT_GE(X, 0);
            EXPECT_GE(Y, 0);
            EXPECT_LE(X, smallScene().planeWidth() - 1);
            EXPECT_LE(Y, smallScene().planeHeight() - 1);
        }
    }
    EXPECT_LT(shots[0].view.toScene.m[0][0], 0.6);  // magnified, not cut off
}

// ---------------------------------------------------------------------------------------
// Photometry and lens

TEST(SceneGenerator, PhotometricOptionsChangeOnlyWhatTheySay)
{
    const PlaneView view{Mat3::translation(300, 200), 240, 160};
    const QImage clean = renderPlaneView(smallScene(), view);

    Photometric half;
    half.gain = 0.5;
    const QImage dark = renderPlaneView(smallScene(), view, half);
    for (int y = 0; y < 160; y += 7)
        for (int x = 0; x < 240 * 3; x += 5)
            EXPECT_NEAR(dark.constScanLine(y)[x], clean.constScanLine(y)[x] * 0.5, 0.51);

    Photometric vig;
    vig.vignetting = 0.4;
    const QImage v = renderPlaneView(smallScene(), view, vig);
    EXPECT_EQ(v.pixel(120, 80), clean.pixel(120, 80));  // the centre is untouched
    const QRgb c0 = clean.pixel(0, 0), c1 = v.pixel(0, 0);
    EXPECT_NEAR(qGreen(c1), qGreen(c0) * 0.6, 0.51);  // the corner gets 1 - 0.4

    Photometric noisy;
    noisy.noiseSigma = 6;
    noisy.noiseSeed = 5;
    const QImage n1 = renderPlaneView(smallScene(), view, noisy);
    const QImage n1again = renderPlaneView(smallScene(), view, noisy);
    EXPECT_EQ(n1, n1again);
    noisy.noiseSeed = 6;
    EXPECT_NE(renderPlaneView(smallScene(), view, noisy), n1);
    double sum = 0, sum2 = 0;
    long long count = 0;
    for (int y = 0; y < 160; ++y)
        for (int x = 0; x < 240 * 3; ++x) {
            const int a = clean.constScanLine(y)[x];
            if (a < 30 || a > 225)
                continue;  // away from clipping
            const double d = n1.constScanLine(y)[x] - a;
            sum += d;
            sum2 += d * d;
            ++count;
        }
    ASSERT_GT(count, 10000);
    EXPECT_NEAR(sum / count, 0.0, 0.3);
    EXPECT_NEAR(std::sqrt(sum2 / count), 6.0, 0.6);
}

TEST(SceneGenerator, LensDistortionMovesPixelsRadially)
{
    // The distorted photo's pixel at radius r shows the ideal image at r (1 + k1 r^2).
    const PlaneView view{Mat3::translation(200, 200), 400, 300};
    Photometric lens;
    lens.k1 = 1e-6;
    const QImage ideal = renderPlaneView(smallScene(), view);
    const QImage barrel = renderPlaneView(smallScene(), view, lens);
    EXPECT_EQ(barrel.pixel(200, 150), ideal.pixel(200, 150));
    const Agreement a = agreement(ideal, barrel, [&](int x, int y, double& ix, double& iy) {
        const double dx = x - 200.0, dy = y - 150.0, L = 1 + lens.k1 * (dx * dx + dy * dy);
        ix = 200 + dx * L;
        iy = 150 + dy * L;
        return true;
    });
    EXPECT_GT(a.pixels, 80000);
    EXPECT_LT(a.meanAbs, 1.0);
    // Without the distortion term the same comparison fails.
    EXPECT_GT(mapAgreement(ideal, barrel, Mat3()).meanAbs, 3.0);
}

// ---------------------------------------------------------------------------------------
// Pinhole cameras

TEST(SceneCameras, RotationFollowsTheEngineConvention)
{
    // The generator's cameras must use the engines' own rotation, axis order included.
    for (const auto& a : {std::array<double, 3>{90, 0, 0}, {0, 90, 0}, {0, 0, 90}, {90, 90, 0}, {12.5, -33, 71}}) {
        double e[3][3];
        Utils::Calc3RotateMatrix(e, a[0], a[1], a[2]);
        const Mat3 m = rotationMatrix(a[0], a[1], a[2]);
        for (int i = 0; i < 9; ++i)
            EXPECT_NEAR(m.m[i / 3][i % 3], e[i / 3][i % 3], 1e-12) << a[0] << " " << a[1] << " " << a[2] << " @" << i;
    }
    // Yaw turns the optical axis right to longitude ry, pitch turns it up to latitude -rx.
    const Camera cam{500, 10, 30, 7, 400, 300};
    double X, Y, Z;
    pixelRay(cam, 200, 150, X, Y, Z);
    EXPECT_NEAR(std::atan2(X, Z) * 180 / kPi, 30, 1e-9);
    EXPECT_NEAR(std::atan2(Y, std::hypot(X, Z)) * 180 / kPi, -10, 1e-9);
    double x, y;
    ASSERT_TRUE(projectRay(cam, X, Y, Z, x, y));
    EXPECT_NEAR(x, 200, 1e-9);
    EXPECT_NEAR(y, 150, 1e-9);
    EXPECT_FALSE(projectRay(cam, -X, -Y, -Z, x, y));
}

TEST(SceneCameras, TwoCamerasAgreeWhereTheySeeTheSameDirections)
{
    const Camera a{300, 4, -10, 0, 320, 240};
    const Camera b{300, -3, 22, 6, 320, 240};
    const QImage ia = renderCameraView(smallScene(), a);
    const QImage ib = renderCameraView(smallScene(), b);
    const Mat3 bToA = cameraHomography(b, a);

    const Agreement ok = agreement(ia, ib, [&](int x, int y, double& ax, double& ay) {
        double X, Y, Z, hx, hy;
        pixelRay(b, x, y, X, Y, Z);
        if (!projectRay(a, X, Y, Z, ax, ay))
            return false;
        bToA.map(x, y, hx, hy);
        EXPECT_NEAR(hx, ax, 1e-6);
        EXPECT_NEAR(hy, ay, 1e-6);
        return true;
    });
    EXPECT_GT(ok.pixels, 0.2 * 320 * 240);
    EXPECT_LT(ok.meanAbs, 1.5);
    EXPECT_LT(ok.outliers, 0.01);

    // One degree of yaw off is plainly detected.
    Camera wrong = a;
    wrong.ry += 1;
    EXPECT_GT(mapAgreement(ia, ib, cameraHomography(b, wrong)).meanAbs, 2 * ok.meanAbs + 2);
}

TEST(SceneCameras, RingClosesAcrossTheBackOfTheSphere)
{
    RingOptions ro{.count = 6, .width = 240, .height = 180, .overlap = 0.3};
    const auto ring = makeRing(smallScene(), ro);
    ASSERT_EQ(ring.size(), 6u);
    EXPECT_NEAR(ring[0].camera.f, focalForFov(240, 60 / 0.7), 1e-9);
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const auto& cur = ring[i];
        const auto& next = ring[(i + 1) % ring.size()];  // the last pair straddles +-180
        const Agreement a = mapAgreement(cur.image, next.image, cameraHomography(next.camera, cur.camera));
        EXPECT_GT(a.pixels, 0.2 * 240 * 180) << i;
        EXPECT_LT(a.meanAbs, 1.5) << i;
        EXPECT_LT(a.outliers, 0.01) << i;
    }
}

TEST(SceneCameras, MosaicGridCoversRowsAndColumns)
{
    MosaicOptions mo{.rows = 2, .cols = 3, .width = 200, .height = 150, .angleJitterDeg = 1.0};
    const auto shots = makeMosaic(smallScene(), mo);
    ASSERT_EQ(shots.size(), 6u);
    EXPECT_GT(shots[0].camera.rx, shots[3].camera.rx + 10);  // the top row looks up
    EXPECT_LT(shots[0].camera.ry, shots[1].camera.ry);
    EXPECT_LT(shots[1].camera.ry, shots[2].camera.ry);
    // Horizontal and vertical neighbours both agree through their cameras.
    for (auto [p, q] : {std::pair{0, 1}, std::pair{1, 4}, std::pair{4, 5}}) {
        const Mat3 h = cameraHomography(shots[q].camera, shots[p].camera);
        const Agreement a = mapAgreement(shots[p].image, shots[q].image, h);
        EXPECT_GT(a.pixels, 0.15 * 200 * 150) << p << "-" << q;
        EXPECT_LT(a.meanAbs, 1.5) << p << "-" << q;
    }
}

TEST(SceneCameras, SphericalSurfaceShowsWhatTheCameraSees)
{
    // An unrolled sphere of radius f shows, near a camera's optical axis, the camera's
    // centre pixels at the axis' longitude and latitude.
    const Camera cam{300, -5, 20, 0, 200, 150};
    const QImage photo = renderCameraView(smallScene(), cam);
    SurfaceView sv{.spherical = true, .radius = 300, .thetaMinDeg = 0, .vMin = 0, .width = 200, .height = 100};
    const QImage surf = renderSurfaceView(smallScene(), sv);
    const double px = 20 * kPi * 300 / 180, py = 5 * kPi * 300 / 180;  // longitude 20, latitude 5
    for (int d = -2; d <= 2; ++d) {
        double a[3], b[3];
        ASSERT_TRUE(sampleImage(photo, 100 + d, 75, a));
        ASSERT_TRUE(sampleImage(surf, px + d, py, b));
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(a[k], b[k], 12) << d;
    }
    // The cylinder agrees with the sphere on the equator row.
    SurfaceView cyl = sv;
    cyl.spherical = false;
    const QImage c = renderSurfaceView(smallScene(), cyl);
    for (int x = 0; x < 200; x += 13)
        EXPECT_EQ(c.pixel(x, 0), surf.pixel(x, 0));
}

// ---------------------------------------------------------------------------------------
// Files

TEST(SceneFiles, EveryFormatIsWrittenAndReadBack)
{
    StripOptions st{.count = 2, .width = 160, .height = 120};
    std::vector<QImage> images;
    for (FileFormat f : {FileFormat::Jpeg, FileFormat::Png, FileFormat::Tiff, FileFormat::Bmp}) {
        const PhotoSet set = makeStripPhotoSet(smallScene(), st, f, 92);
        ASSERT_EQ(set.planeShots.size(), 2u);
        images = imagesOf(set.planeShots);
        ASSERT_EQ(set.paths.size(), 2);
        EXPECT_EQ(QFileInfo(set.paths[0]).fileName(), "photo_01." + extensionOf(f));
        EXPECT_EQ(QFileInfo(set.paths[1]).fileName(), "photo_02." + extensionOf(f));
        for (int i = 0; i < 2; ++i) {
            QImageReader reader(set.paths[i]);
            QImage back = reader.read();
            ASSERT_FALSE(back.isNull()) << set.paths[i].toStdString() << ": " << reader.errorString().toStdString();
            back = back.convertToFormat(QImage::Format_RGB888);
            ASSERT_EQ(back.size(), images[i].size());
            if (f == FileFormat::Jpeg)
                EXPECT_LT(meanAbsDifference(back, images[i]), 4.0);
            else
                EXPECT_EQ(back, images[i]) << extensionOf(f).toStdString();
        }
    }
}

TEST(SceneFiles, TemporarySetIsRemovedAndBadFolderIsReported)
{
    QString folder;
    {
        const PhotoSet set = makePhotoSet({renderPlaneView(smallScene(), {Mat3(), 32, 32})}, FileFormat::Png);
        folder = set.dir->path();
        EXPECT_TRUE(QFileInfo::exists(set.paths[0]));
    }
    EXPECT_FALSE(QDir(folder).exists());
    // Camera sets carry their cameras beside the files.
    MosaicOptions mo{.rows = 1, .cols = 2, .width = 96, .height = 64};
    {
        const PhotoSet set = makeMosaicPhotoSet(smallScene(), mo, FileFormat::Png);
        ASSERT_EQ(set.paths.size(), 2);
        ASSERT_EQ(set.cameraShots.size(), 2u);
        EXPECT_EQ(QImage(set.paths[1]).convertToFormat(QImage::Format_RGB888), set.cameraShots[1].image);
        EXPECT_GT(set.cameraShots[1].camera.ry, set.cameraShots[0].camera.ry);
        folder = set.dir->path();
    }
    EXPECT_FALSE(QDir(folder).exists());

    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString blocker = tmp.filePath("file");
    saveImage(renderPlaneView(smallScene(), {Mat3(), 8, 8}), blocker, FileFormat::Bmp);
    // A folder path that runs through a file cannot be created.
    EXPECT_THROW(savePhotos({QImage(8, 8, QImage::Format_RGB888)}, blocker + "/sub"), std::runtime_error);
}
