// Views of the world sphere through a rotating pinhole camera, rings and mosaics of such
// views, and the unrolled cylindrical / spherical surface pictures of the world.
// A pixel's ray is R^T (u / f, v / f, 1) with (u, v) the pixel minus the image centre and
// R = Rz(rz) Rx(rx) Ry(ry); its longitude and latitude index the equirectangular texture.
#include <cmath>
#include <stdexcept>
#include <type_traits>

#include "tests/support/scene_internal.h"

namespace vltest {

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kDeg = kPi / 180;

// (X, Y, Z) = R^T (a, b, c): a ray in camera or surface coordinates turned into the world.
void turnBack(const Mat3& R, double a, double b, double c, double& X, double& Y, double& Z)
{
    X = R.m[0][0] * a + R.m[1][0] * b + R.m[2][0] * c;
    Y = R.m[0][1] * a + R.m[1][1] * b + R.m[2][1] * c;
    Z = R.m[0][2] * a + R.m[1][2] * b + R.m[2][2] * c;
}

// Samples the sphere texture along a world direction, at the level of detail of a view
// covering `texelsPerPixel` texels with each pixel.
auto sphereSampler(const Scene& scene, double texelsPerPixel)
{
    const detail::MipTexture& t = scene.impl().sphereTexture();
    const double lod = texelsPerPixel > 1 ? std::log2(texelsPerPixel) : 0.0;
    const double uScale = t.width() / (2 * kPi), vScale = t.height() / kPi;
    return [&t, lod, uScale, vScale](double X, double Y, double Z) {
        const double lon = std::atan2(X, Z), lat = std::atan2(Y, std::sqrt(X * X + Z * Z));
        return detail::trilinear(t, lod, (lon + kPi) * uScale - 0.5, (lat + kPi / 2) * vScale - 0.5);
    };
}
}  // namespace

Mat3 rotationMatrix(double rx, double ry, double rz)
{
    const double cx = std::cos(rx * kDeg), sx = std::sin(rx * kDeg), cy = std::cos(ry * kDeg), sy = std::sin(ry * kDeg);
    const double cz = std::cos(rz * kDeg), sz = std::sin(rz * kDeg);
    const Mat3 Rx{{{1, 0, 0}, {0, cx, sx}, {0, -sx, cx}}}, Ry{{{cy, 0, -sy}, {0, 1, 0}, {sy, 0, cy}}};
    return (Mat3{{{cz, sz, 0}, {-sz, cz, 0}, {0, 0, 1}}} * Rx) * Ry;
}

void pixelRay(const Camera& cam, double x, double y, double& X, double& Y, double& Z)
{
    const Mat3 R = rotationMatrix(cam.rx, cam.ry, cam.rz);
    turnBack(R, (x - cam.width / 2.0) / cam.f, (y - cam.height / 2.0) / cam.f, 1, X, Y, Z);
}

bool projectRay(const Camera& cam, double X, double Y, double Z, double& x, double& y)
{
    const Mat3 R = rotationMatrix(cam.rx, cam.ry, cam.rz);
    const double a = R.m[0][0] * X + R.m[0][1] * Y + R.m[0][2] * Z;
    const double b = R.m[1][0] * X + R.m[1][1] * Y + R.m[1][2] * Z;
    const double w = R.m[2][0] * X + R.m[2][1] * Y + R.m[2][2] * Z;
    if (!(w > 0))
        return false;
    x = cam.f * a / w + cam.width / 2.0;
    y = cam.f * b / w + cam.height / 2.0;
    return true;
}

double focalForFov(int width, double degrees)
{
    if (!(degrees > 0 && degrees < 180) || width < 1)
        throw std::invalid_argument("focalForFov: field of view out of range");
    return width / 2.0 / std::tan(degrees * kDeg / 2);
}

QImage renderCameraView(const Scene& scene, const Camera& cam, const Photometric& photo)
{
    detail::checkViewSize(cam.width, cam.height);
    if (!detail::allFinite({cam.f, cam.rx, cam.ry, cam.rz}) || cam.f <= 0)
        throw std::invalid_argument("camera with a non-finite angle or a non-positive focal length");
    const auto sample = sphereSampler(scene, scene.options().sphereWidth / (2 * kPi * cam.f));
    const Mat3 R = rotationMatrix(cam.rx, cam.ry, cam.rz);
    const double cx = cam.width / 2.0, cy = cam.height / 2.0, invF = 1 / cam.f;
    return detail::renderView(cam.width, cam.height, photo, [&](double x, double y, detail::Rgb& c) {
        double X, Y, Z;
        turnBack(R, (x - cx) * invF, (y - cy) * invF, 1, X, Y, Z);
        c = sample(X, Y, Z);
        return true;
    });
}

namespace {
// View `index` aimed at (`aim`.rx, `aim`.ry) with its random angle jitter (none for view
// 0) and gain; the yaw wrapped into [-180, 180) when asked.
CameraShot shoot(const Scene& scene, detail::Rng& rng, int index, double jitter, Camera aim, bool wrapYaw,
                 const Photometric& base, double gainJitter)
{
    const double jx = rng.symmetric(1), jy = rng.symmetric(1), jz = rng.symmetric(1);
    const double j = index == 0 ? 0 : jitter;
    CameraShot s;
    s.camera = aim;
    s.camera.rx = aim.rx + j * jx + 0.0;  // + 0.0: no -0
    s.camera.ry = aim.ry + j * jy + 0.0;
    s.camera.rz = j * jz + 0.0;
    if (wrapYaw && s.camera.ry >= 180)
        s.camera.ry -= 360;
    s.photometric = base;
    s.photometric.gain = base.gain * (1 + gainJitter * rng.symmetric(1));
    s.photometric.noiseSeed = detail::mix64(base.noiseSeed + std::uint64_t(index));
    s.image = renderCameraView(scene, s.camera, s.photometric);
    return s;
}
}  // namespace

std::vector<CameraShot> makeRing(const Scene& scene, const RingOptions& o)
{
    if (o.count < 2 || o.count > 720)
        throw std::invalid_argument("makeRing: count out of range");
    if (!(o.overlap >= 0 && o.overlap < 1) || !detail::allFinite({o.pitch, o.angleJitterDeg}))
        throw std::invalid_argument("makeRing: overlap or angles out of range");
    const double step = 360.0 / o.count;
    const double fov = step / (1 - o.overlap);
    const double f = focalForFov(o.width, fov);
    detail::Rng rng(o.seed);
    std::vector<CameraShot> shots;
    for (int i = 0; i < o.count; ++i)
        shots.push_back(shoot(scene, rng, i, o.angleJitterDeg, Camera{f, o.pitch, i * step, 0, o.width, o.height}, true,
                              o.photometric, o.gainJitter));
    return shots;
}

std::vector<CameraShot> makeMosaic(const Scene& scene, const MosaicOptions& o)
{
    if (o.rows < 1 || o.cols < 1 || o.rows * o.cols > 1000)
        throw std::invalid_argument("makeMosaic: grid size out of range");
    if (!(o.overlap >= 0 && o.overlap < 1) || !detail::allFinite({o.focal, o.angleJitterDeg}) || o.focal < 0)
        throw std::invalid_argument("makeMosaic: overlap, focal length or jitter out of range");
    for (double z : o.zoom)
        if (!(z > 0.0 && z < 100.0))
            throw std::invalid_argument("makeMosaic: zoom out of range");
    detail::checkViewSize(o.width, o.height);
    const double f = o.focal > 0 ? o.focal : double(o.width);
    const double hfov = 2 * std::atan(o.width / 2.0 / f) / kDeg;
    const double vfov = 2 * std::atan(o.height / 2.0 / f) / kDeg;
    const double yawStep = hfov * (1 - o.overlap), pitchStep = vfov * (1 - o.overlap);
    detail::Rng rng(o.seed);
    std::vector<CameraShot> shots;
    for (int r = 0; r < o.rows; ++r)
        for (int c = 0; c < o.cols; ++c) {
            const std::size_t i = static_cast<std::size_t>(r * o.cols + c);
            const double zoom = i < o.zoom.size() ? o.zoom[i] : 1.0;
            shots.push_back(shoot(scene, rng, r * o.cols + c, o.angleJitterDeg,
                                  Camera{f * zoom, ((o.rows - 1) / 2.0 - r) * pitchStep,
                                         (c - (o.cols - 1) / 2.0) * yawStep, 0, o.width, o.height},
                                  false, o.photometric, o.gainJitter));
        }
    return shots;
}

QImage renderSurfaceView(const Scene& scene, const SurfaceView& v)
{
    detail::checkViewSize(v.width, v.height);
    if (!detail::allFinite({v.radius, v.thetaMinDeg, v.vMin, v.rx, v.ry, v.rz}) || v.radius <= 0)
        throw std::invalid_argument("renderSurfaceView: non-finite or non-positive parameter");
    const auto sample = sphereSampler(scene, scene.options().sphereWidth / (2 * kPi * v.radius));
    const Mat3 Rs = rotationMatrix(v.rx, v.ry, v.rz);
    const double perPixelDeg = 180 / (kPi * v.radius);
    return detail::renderView(v.width, v.height, Photometric{}, [&](double x, double y, detail::Rgb& c) {
        const double theta = (v.thetaMinDeg + x * perPixelDeg) * kDeg;
        double t;
        if (v.spherical) {
            const double phi = v.vMin + y * perPixelDeg;
            if (!(phi > -90 && phi < 90))
                return false;
            t = std::tan(phi * kDeg);
        } else {
            t = y / v.radius + v.vMin;
        }
        double X, Y, Z;
        turnBack(Rs, std::sin(theta), t, std::cos(theta), X, Y, Z);
        c = sample(X, Y, Z);
        return true;
    });
}

namespace {
template <class Shot>
PhotoSet photoSetOf(std::vector<Shot> shots, FileFormat format, int quality)
{
    PhotoSet set = makePhotoSet(imagesOf(shots), format, quality);
    if constexpr (std::is_same_v<Shot, PlaneShot>)
        set.planeShots = std::move(shots);
    else
        set.cameraShots = std::move(shots);
    return set;
}
}  // namespace

PhotoSet makeStripPhotoSet(const Scene& s, const StripOptions& o, FileFormat f, int q)
{
    return photoSetOf(makeStrip(s, o), f, q);
}
PhotoSet makeMosaicPhotoSet(const Scene& s, const MosaicOptions& o, FileFormat f, int q)
{
    return photoSetOf(makeMosaic(s, o), f, q);
}
PhotoSet makeRingPhotoSet(const Scene& s, const RingOptions& o, FileFormat f, int q)
{
    return photoSetOf(makeRing(s, o), f, q);
}

}  // namespace vltest
