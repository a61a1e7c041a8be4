// Synthetic test photos with known geometry.
//
// A `Scene` is a procedural, non-repeating textured world, deterministic from its seed:
// multi-scale colour value noise, large colour gradients, thousands of sharp-edged shapes
// (discs, rings, rotated rectangles, polygons) of log-uniform size and rows of small
// glyph-like stroke marks, so SIFT finds features at every scale and each feature's
// neighbourhood is unique. It exists on two domains, each precomputed once as a texture
// with a mip pyramid and sampled bilinearly (trilinearly when a view minifies it):
//
//  * the scene plane, for the 2-D motion models. Plane coordinates are texel units:
//    texel (i, j) sits at (i, j); the plane covers [0, planeWidth-1] x [0, planeHeight-1]
//    and points outside it render black.
//  * the viewing sphere, for the rotating pinhole camera: an equirectangular texture,
//    seamless across longitude +-180.
//
// Pixel convention of every rendered view: pixel (i, j) is sampled at the point (i, j)
// (pixel centres at integer coordinates), x to the right, y downwards.
//
// 2-D views. A `Mat3` maps a point (x, y) to (m00 x + m01 y + m02, m10 x + m11 y + m12)
// (divided by m20 x + m21 y + m22, which is 1 for the affine transforms made here).
// `PlaneView::toScene` maps view pixels into scene-plane coordinates; `PlaneShot::toFirst`
// maps the shot's pixels into the first shot's pixels.
//
// Cameras. World directions (X, Y, Z): X right, Y DOWN, Z forward; longitude
// theta = atan2(X, Z), latitude phi = atan2(Y, sqrt(X^2 + Z^2)) (positive below the horizon),
// exactly the rays of the cylindrical and spherical rendering surfaces. A camera has focal
// length f (pixels), angles rx, ry, rz in degrees and R = rotationMatrix(rx, ry, rz) =
// Rz(rz) * Rx(rx) * Ry(ry) with
//     Rx = [[1,0,0],[0,c,s],[0,-s,c]], Ry = [[c,0,-s],[0,1,0],[s,0,c]], Rz = [[c,s,0],[-s,c,0],[0,0,1]],
// the rotation of the engine's camera record. A world direction d is seen at the centred
// ideal pixel (u, v) = f * (c.x / c.z, c.y / c.z) with c = R d (visible when c.z > 0), and at
// image pixel (u + W/2, v + H/2) (principal point at the exact half size; use even sizes
// so it equals the engine's integer half). Conversely a pixel's ray is R^T (u/f, v/f, 1).
// Meaning of the angles: ry is yaw (the optical axis lies at longitude ry, positive to
// the right), rx is pitch (the axis lies at latitude -rx: positive looks up), rz is roll
// about the optical axis.
//
// Photometry and lens (`Photometric`), applied in this order to every rendered view:
//  * radial lens distortion: the photo pixel at distance r from the image centre shows the
//    point of the ideal (undistorted) image at distance r * (1 + k1 r^2 + k2 r^4) — the lens
//    model of the tiled engine with r in pixels. The returned transforms and cameras
//    describe the ideal image;
//  * exposure: every channel value (0..255, no gamma) is multiplied by `gain`;
//  * vignetting: multiplied by 1 - vignetting * (r / halfDiagonal)^2;
//  * noise: additive Gaussian noise of standard deviation noiseSigma (8-bit levels),
//    independent per channel, deterministic from noiseSeed and the pixel position.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <vector>

namespace vltest {

// ---------------------------------------------------------------------------------------
// 3 x 3 matrices

struct Mat3 {
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

    static Mat3 translation(double tx, double ty);
    static Mat3 scaling(double sx, double sy);
    static Mat3 rotation(double degrees);  // [[c, -s], [s, c]]: positive turns clockwise on screen (y down)

    // Maps (x, y) by the convention above (homogeneous division included).
    void map(double x, double y, double& ox, double& oy) const;
    Mat3 inverse() const;  // throws std::domain_error when singular or non-finite
    friend Mat3 operator*(const Mat3& a, const Mat3& b);
};

// Largest absolute difference of the nine elements.
double maxAbsDifference(const Mat3& a, const Mat3& b);

// ---------------------------------------------------------------------------------------
// The scene

struct SceneOptions {
    std::uint64_t seed = 1;
    int planeWidth = 4096;   // texels; rounded up to a multiple of 64
    int planeHeight = 4096;
    int sphereWidth = 4096;  // equirectangular texels over 360 degrees; rounded up to a
                             // multiple of 512; the height is half the width (180 degrees)
    // A photograph on the sphere in place of the generated texture (empty: generated):
    // its centre at longitude 0 on the horizon, its width spanning spherePhotoSpan
    // degrees of longitude (its aspect kept), mirrored beyond its edges.
    QString spherePhoto;
    double spherePhotoSpan = 360.0;
};

// A scene small enough for unit tests (a 1024 x 1024 plane, a 2048 x 1024 sphere; built
// in well under a second, also under the sanitizers). Views of up to ~600 pixels fit.
inline SceneOptions smallSceneOptions(std::uint64_t seed = 1) { return {seed, 1024, 1024, 2048, {}, 360.0}; }

class Scene {
public:
    // Builds the plane texture now; the sphere texture on first use (thread-safe).
    explicit Scene(const SceneOptions& options = {});
    ~Scene();
    Scene(Scene&&) noexcept;
    Scene& operator=(Scene&&) noexcept;

    const SceneOptions& options() const;  // with the rounded sizes
    int planeWidth() const;
    int planeHeight() const;
    // Level 0 of the plane texture (Format_RGB32); texel (i, j) is the plane at (i, j).
    const QImage& planeTexture() const;
    // Level 0 of the equirectangular sphere texture (Format_RGB32). Texel (i, j) is the
    // direction at longitude ((i + 0.5) / W * 360 - 180) and latitude ((j + 0.5) / H * 180 - 90).
    const QImage& sphereTexture() const;

    // The colour of the scene at a plane point (bilinear, level 0; black outside).
    QRgb planeColor(double x, double y) const;

    struct Impl;
    const Impl& impl() const { return *d_; }

private:
    std::unique_ptr<Impl> d_;
};

// ---------------------------------------------------------------------------------------
// Photometry and lens

struct Photometric {
    double gain = 1.0;
    double vignetting = 0.0;
    double noiseSigma = 0.0;
    std::uint64_t noiseSeed = 1;
    double k1 = 0.0;
    double k2 = 0.0;
};

// ---------------------------------------------------------------------------------------
// Views of the plane through 2-D transforms

struct PlaneView {
    Mat3 toScene;  // view pixels -> scene plane
    int width = 0;
    int height = 0;
};

// Renders a view (Format_RGB888). Throws std::invalid_argument for an empty or absurd size
// or a non-finite transform.
QImage renderPlaneView(const Scene& scene, const PlaneView& view, const Photometric& photo = {});

// Level 0 texels of a rectangle of the plane (Format_RGB888), what an identity view shows.
QImage planeCrop(const Scene& scene, const QRect& rect);

enum class Motion { TranslateScale, Similarity, Affine };
enum class Direction { Horizontal, Vertical };

struct StripOptions {
    int count = 3;
    int width = 400;
    int height = 300;
    double overlap = 0.4;  // fraction of the view's width (height for a column) shared by
                           // neighbours; exact when every jitter is zero
    Motion motion = Motion::Similarity;
    Direction direction = Direction::Horizontal;
    // Per-view random variation (uniform in [-x, x]); each applies only to the models
    // that allow it: scale (all models), rotation (similarity, affine), anisotropy and
    // shear (affine).
    double scaleJitter = 0.04;
    double rotationJitterDeg = 3.0;
    double affineJitter = 0.03;
    double perpendicularJitter = 0.03;  // offset across the strip, fraction of the height
    std::uint64_t seed = 7;
    Photometric photometric{};  // for every view; the noise seed is varied per view
    double gainJitter = 0.0;  // per-view gain = photometric.gain * (1 + u), |u| <= gainJitter
};

struct PlaneShot {
    QImage image;
    PlaneView view;
    Mat3 toFirst;  // this shot's (ideal) pixels -> first shot's pixels
    Photometric photometric;
};

std::vector<PlaneShot> makeStrip(const Scene& scene, const StripOptions& options);

// Maps pixels of `from` into pixels of `to`.
Mat3 relativeTransform(const PlaneShot& from, const PlaneShot& to);

// ---------------------------------------------------------------------------------------
// Views of the sphere through a rotating pinhole camera

struct Camera {
    double f = 1000.0;  // focal length, pixels
    double rx = 0.0;    // pitch, degrees (positive looks up)
    double ry = 0.0;    // yaw, degrees (positive turns right)
    double rz = 0.0;    // roll, degrees
    int width = 0;
    int height = 0;
};

// R = Rz(rz) * Rx(rx) * Ry(ry), angles in degrees (the convention described above).
Mat3 rotationMatrix(double rx, double ry, double rz);
// The world direction (not normalised) of a pixel of the ideal image.
void pixelRay(const Camera& cam, double x, double y, double& X, double& Y, double& Z);
// The ideal-image pixel showing a direction; false when it lies behind the camera.
bool projectRay(const Camera& cam, double X, double Y, double Z, double& x, double& y);
// Focal length giving a horizontal field of view of `degrees` over `width` pixels.
double focalForFov(int width, double degrees);

QImage renderCameraView(const Scene& scene, const Camera& cam, const Photometric& photo = {});

struct CameraShot {
    QImage image;
    Camera camera;
    Photometric photometric;
};

struct RingOptions {
    int count = 8;  // views spaced by 360 / count degrees of yaw
    int width = 400;
    int height = 300;
    double overlap = 0.35;  // fraction of the horizontal field of view shared by neighbours;
                            // decides the focal length
    double pitch = 0.0;     // rx of every view
    double angleJitterDeg = 0.0;  // random rx, ry, rz variation per view (not view 0)
    std::uint64_t seed = 11;
    Photometric photometric;
    double gainJitter = 0.0;
};
std::vector<CameraShot> makeRing(const Scene& scene, const RingOptions& options);

struct MosaicOptions {
    int rows = 2;
    int cols = 3;
    int width = 400;
    int height = 300;
    double focal = 0.0;     // 0: the width (a horizontal field of view of about 53 degrees)
    double overlap = 0.3;   // fraction of the field of view shared by neighbours
    std::vector<double> zoom;  // per view (row-major), its focal length over `focal`; missing: 1
    double angleJitterDeg = 0.0;
    std::uint64_t seed = 13;
    Photometric photometric;
    double gainJitter = 0.0;
};
// Row-major: row 0 (top, looking up the most) first, columns from left to right, centred
// on yaw 0 and pitch 0.
std::vector<CameraShot> makeMosaic(const Scene& scene, const MosaicOptions& options);

// The rendering surfaces' unrolled picture of the world. Surface pixel (x, y) has longitude
// theta = thetaMinDeg + x * 180 / (pi R) and the ray (sin theta, t, cos theta) with
// t = y / R + vMin on the cylinder and t = tan(vMin + y * 180 / (pi R)) (angles in degrees)
// on the sphere; the ray is in surface coordinates, the world direction is Rs^T ray with
// Rs = rotationMatrix(rx, ry, rz) of the surface orientation.
struct SurfaceView {
    bool spherical = false;
    double radius = 1000.0;
    double thetaMinDeg = 0.0;
    double vMin = 0.0;  // cylinder: height ratio; sphere: degrees of latitude
    double rx = 0.0, ry = 0.0, rz = 0.0;
    int width = 0;
    int height = 0;
};
QImage renderSurfaceView(const Scene& scene, const SurfaceView& view);

// ---------------------------------------------------------------------------------------
// Files

enum class FileFormat { Jpeg, Png, Tiff, Bmp };

// File name extension without the dot: jpg, png, tif, bmp.
QString extensionOf(FileFormat format);
// Writes one image through QImageWriter; throws std::runtime_error when it cannot.
void saveImage(const QImage& image, const QString& path, FileFormat format, int quality = 95);
// Writes `upright` as a JPEG the way a camera held on its side or upside down does: the
// raster stored turned and mirrored as the EXIF `orientation` (1..8) describes, and an
// Exif segment with that orientation tag right after the start of the file, so that a
// reader honouring the tag shows `upright`.
void saveOrientedJpeg(const QImage& upright, const QString& path, int orientation, int quality = 95);
// Writes photo_01.<ext>, photo_02.<ext>, ... (prefix configurable) into an existing or
// new folder and returns their paths in order.
QStringList savePhotos(const std::vector<QImage>& images, const QString& folder,
                       FileFormat format = FileFormat::Jpeg, int quality = 95,
                       const QString& prefix = QStringLiteral("photo_"));

template <class Shot>
std::vector<QImage> imagesOf(const std::vector<Shot>& shots)
{
    std::vector<QImage> out;
    out.reserve(shots.size());
    for (const auto& s : shots)
        out.push_back(s.image);
    return out;
}

// Photos written into a fresh temporary folder that lives as long as the set, with the
// truth about them when made by one of the make*PhotoSet calls.
struct PhotoSet {
    std::unique_ptr<QTemporaryDir> dir;
    QStringList paths;                   // photo_01.<ext>, photo_02.<ext>, ...
    std::vector<PlaneShot> planeShots;   // makeStripPhotoSet
    std::vector<CameraShot> cameraShots; // makeMosaicPhotoSet, makeRingPhotoSet
};
PhotoSet makePhotoSet(const std::vector<QImage>& images, FileFormat format = FileFormat::Jpeg,
                      int quality = 95);
// Render and write in one call.
PhotoSet makeStripPhotoSet(const Scene& scene, const StripOptions& options,
                           FileFormat format = FileFormat::Jpeg, int quality = 95);
PhotoSet makeMosaicPhotoSet(const Scene& scene, const MosaicOptions& options,
                            FileFormat format = FileFormat::Jpeg, int quality = 95);
PhotoSet makeRingPhotoSet(const Scene& scene, const RingOptions& options,
                          FileFormat format = FileFormat::Jpeg, int quality = 95);

}  // namespace vltest
