// The scene object, views of the scene plane through 2-D transforms, strips of
// overlapping views under the three motion models, and writing photos to files.
// A strip's views are laid out at unit scale first (centre i at i * (1 - overlap) * length
// along the strip, each with its own jittered linear part), then scaled and centred so
// the whole strip lies inside the plane.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "tests/support/scene_internal.h"

namespace vltest {

namespace {
constexpr double kPi = 3.141592653589793;

int roundUp(int v, int multiple) { return (std::max(v, 1) + multiple - 1) / multiple * multiple; }

bool finite(const Mat3& a)
{
    const auto& m = a.m;
    return detail::allFinite({m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0], m[2][1], m[2][2]});
}
}  // namespace

// ---------------------------------------------------------------------------------------
// Mat3

Mat3 Mat3::translation(double tx, double ty) { return {{{1, 0, tx}, {0, 1, ty}, {0, 0, 1}}}; }
Mat3 Mat3::scaling(double sx, double sy) { return {{{sx, 0, 0}, {0, sy, 0}, {0, 0, 1}}}; }

Mat3 Mat3::rotation(double degrees)
{
    const double a = degrees * kPi / 180, c = std::cos(a), s = std::sin(a);
    return {{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
}

void Mat3::map(double x, double y, double& ox, double& oy) const
{
    const double w = m[2][0] * x + m[2][1] * y + m[2][2];
    ox = (m[0][0] * x + m[0][1] * y + m[0][2]) / w;
    oy = (m[1][0] * x + m[1][1] * y + m[1][2]) / w;
}

Mat3 Mat3::inverse() const
{
    const auto& a = m;
    const double c00 = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    const double c01 = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    const double c02 = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    const double det = a[0][0] * c00 + a[0][1] * c01 + a[0][2] * c02;
    if (!std::isfinite(det) || det == 0)
        throw std::domain_error("Mat3::inverse: singular matrix");
    const double k = 1 / det;
    const Mat3 r{{{c00 * k, (a[0][2] * a[2][1] - a[0][1] * a[2][2]) * k, (a[0][1] * a[1][2] - a[0][2] * a[1][1]) * k},
                  {c01 * k, (a[0][0] * a[2][2] - a[0][2] * a[2][0]) * k, (a[0][2] * a[1][0] - a[0][0] * a[1][2]) * k},
                  {c02 * k, (a[0][1] * a[2][0] - a[0][0] * a[2][1]) * k, (a[0][0] * a[1][1] - a[0][1] * a[1][0]) * k}}};
    if (!finite(r))
        throw std::domain_error("Mat3::inverse: singular matrix");
    return r;
}

Mat3 operator*(const Mat3& a, const Mat3& b)
{
    Mat3 r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
    return r;
}

double maxAbsDifference(const Mat3& a, const Mat3& b)
{
    double d = 0;
    for (int i = 0; i < 9; ++i)
        d = std::max(d, std::abs(a.m[i / 3][i % 3] - b.m[i / 3][i % 3]));
    return d;
}

// ---------------------------------------------------------------------------------------
// Scene

const detail::MipTexture& Scene::Impl::sphereTexture() const
{
    std::call_once(sphereOnce, [this] {
        const int w = options.sphereWidth;
        if (options.spherePhoto.isEmpty()) {
            sphere = detail::buildTexture(w, w / 2, true, detail::mix64(options.seed) ^ 0x51u);
            return;
        }
        const QImage photo(options.spherePhoto);
        if (photo.isNull())
            throw std::runtime_error("Scene: cannot read " + options.spherePhoto.toStdString());
        const int pw = std::max(1, int(std::lround(w * options.spherePhotoSpan / 360.0)));
        const QImage scaled = photo.convertToFormat(QImage::Format_RGB32)
                                  .scaled(pw, std::max(1, int(std::lround(double(pw) * photo.height() / photo.width()))),
                                          Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QImage level0(w, w / 2, QImage::Format_RGB32);
        if (level0.isNull() || scaled.isNull())
            throw std::bad_alloc();
        const int sw = scaled.width(), sh = scaled.height();
        auto mirror = [](int i, int n) {  // ... 1 0 | 0 1 ... n-1 | n-1 n-2 ...
            const int p = ((i % (2 * n)) + 2 * n) % (2 * n);
            return p < n ? p : 2 * n - 1 - p;
        };
        for (int y = 0; y < w / 2; ++y) {
            const auto* src = reinterpret_cast<const QRgb*>(scaled.constScanLine(mirror(y - (w / 2 - sh) / 2, sh)));
            auto* dst = reinterpret_cast<QRgb*>(level0.scanLine(y));
            for (int x = 0; x < w; ++x)
                dst[x] = src[mirror(x - (w - sw) / 2, sw)];
        }
        sphere = detail::textureOf(std::move(level0), true);
    });
    return sphere;
}

Scene::Scene(const SceneOptions& options) : d_(std::make_unique<Impl>())
{
    SceneOptions o = options;
    if (o.planeWidth > 32768 || o.planeHeight > 32768 || o.sphereWidth > 32768)
        throw std::invalid_argument("Scene: texture larger than 32768 texels");
    o.planeWidth = roundUp(o.planeWidth, 64);
    o.planeHeight = roundUp(o.planeHeight, 64);
    o.sphereWidth = roundUp(o.sphereWidth, 512);
    d_->options = o;
    d_->plane = detail::buildTexture(o.planeWidth, o.planeHeight, false, o.seed);
}

Scene::~Scene() = default;
Scene::Scene(Scene&&) noexcept = default;
Scene& Scene::operator=(Scene&&) noexcept = default;

const SceneOptions& Scene::options() const { return d_->options; }
int Scene::planeWidth() const { return d_->plane.width(); }
int Scene::planeHeight() const { return d_->plane.height(); }
const QImage& Scene::planeTexture() const { return d_->plane.levels[0]; }
const QImage& Scene::sphereTexture() const { return d_->sphereTexture().levels[0]; }

namespace {
bool insidePlane(const detail::MipTexture& t, double x, double y)
{
    return x >= 0 && y >= 0 && x <= t.width() - 1 && y <= t.height() - 1;
}
}  // namespace

QRgb Scene::planeColor(double x, double y) const
{
    if (!insidePlane(d_->plane, x, y))
        return qRgb(0, 0, 0);
    const detail::Rgb c = detail::bilinear(d_->plane.views[0], false, x, y);
    auto q = [](float v) { return int(std::clamp(v, 0.0f, 255.0f) + 0.5f); };
    return qRgb(q(c.r), q(c.g), q(c.b));
}

// ---------------------------------------------------------------------------------------
// Plane views

namespace detail {
void checkViewSize(int width, int height)
{
    if (width < 1 || height < 1 || width > 65535 || height > 65535 ||
        std::int64_t(width) * height > (std::int64_t(1) << 29))
        throw std::invalid_argument("view size empty or too large");
}
}  // namespace detail

QImage renderPlaneView(const Scene& scene, const PlaneView& view, const Photometric& photo)
{
    detail::checkViewSize(view.width, view.height);
    if (!finite(view.toScene))
        throw std::invalid_argument("renderPlaneView: non-finite transform");
    const Scene::Impl& s = scene.impl();
    const Mat3& M = view.toScene;

    // Level of detail from the texels one view pixel covers at the view centre.
    const double cx = view.width / 2.0, cy = view.height / 2.0;
    double x0, y0, x1, y1, x2, y2;
    M.map(cx, cy, x0, y0);
    M.map(cx + 1, cy, x1, y1);
    M.map(cx, cy + 1, x2, y2);
    const double area = std::abs((x1 - x0) * (y2 - y0) - (x2 - x0) * (y1 - y0));
    const double lod = area > 1 ? 0.5 * std::log2(area) : 0.0;
    if (!std::isfinite(lod))
        throw std::invalid_argument("renderPlaneView: degenerate transform");

    const detail::MipTexture& t = s.plane;
    return detail::renderView(view.width, view.height, photo, [&](double x, double y, detail::Rgb& c) {
        double X, Y;
        M.map(x, y, X, Y);  // the division is by exactly 1 for the affine views
        if (!insidePlane(t, X, Y))
            return false;
        c = detail::trilinear(t, lod, X, Y);
        return true;
    });
}

QImage planeCrop(const Scene& scene, const QRect& rect)
{
    const QRect inside = rect & QRect(0, 0, scene.planeWidth(), scene.planeHeight());
    if (inside != rect || rect.isEmpty())
        throw std::invalid_argument("planeCrop: rectangle outside the plane");
    return scene.planeTexture().copy(rect).convertToFormat(QImage::Format_RGB888);
}

// ---------------------------------------------------------------------------------------
// Strips

std::vector<PlaneShot> makeStrip(const Scene& scene, const StripOptions& o)
{
    if (o.count < 1 || o.count > 1000)
        throw std::invalid_argument("makeStrip: count out of range");
    detail::checkViewSize(o.width, o.height);
    if (!(o.overlap >= 0 && o.overlap < 1))
        throw std::invalid_argument("makeStrip: overlap out of range");

    const bool horizontal = o.direction == Direction::Horizontal;
    const double length = horizontal ? o.width : o.height;
    const double across = horizontal ? o.height : o.width;
    detail::Rng rng(o.seed);

    // Unit-scale layout: per view, its centre and linear part.
    struct Layout {
        double cx, cy;
        Mat3 linear;
        Photometric ph;
    };
    std::vector<Layout> layout;
    for (int i = 0; i < o.count; ++i) {
        // Always draw the same numbers in the same order, whatever the model, so changing
        // the model does not move the views.
        const double us = rng.symmetric(1), ur = rng.symmetric(1), ua = rng.symmetric(1);
        const double ub = rng.symmetric(1), uk = rng.symmetric(1), up = rng.symmetric(1);
        const double ug = rng.symmetric(1);
        Mat3 A = Mat3::scaling(1 + o.scaleJitter * us, 1 + o.scaleJitter * us);
        if (o.motion != Motion::TranslateScale)
            A = Mat3::rotation(o.rotationJitterDeg * ur) * A;
        if (o.motion == Motion::Affine) {
            Mat3 shear;
            shear.m[0][0] = 1 + o.affineJitter * ua;
            shear.m[1][1] = 1 - o.affineJitter * ub;
            shear.m[0][1] = o.affineJitter * uk;
            A = A * shear;
        }
        const double along = i * (1 - o.overlap) * length;
        const double perp = o.perpendicularJitter * across * up;
        Layout l{horizontal ? along : perp, horizontal ? perp : along, A, o.photometric};
        l.ph.gain = o.photometric.gain * (1 + o.gainJitter * ug);
        l.ph.noiseSeed = detail::mix64(o.photometric.noiseSeed + std::uint64_t(i));
        layout.push_back(l);
    }

    // Unit-scale view -> plane (before scaling and centring) and its bounding box.
    auto unitToScene = [&](const Layout& l) {
        return Mat3::translation(l.cx, l.cy) * l.linear * Mat3::translation(-o.width / 2.0, -o.height / 2.0);
    };
    double minX = 1e300, minY = 1e300, maxX = -1e300, maxY = -1e300;
    for (const Layout& l : layout)
        for (int k = 0; k < 4; ++k) {
            double X, Y;
            unitToScene(l).map(k & 1 ? o.width - 1 : 0, k & 2 ? o.height - 1 : 0, X, Y);
            minX = std::min(minX, X), maxX = std::max(maxX, X), minY = std::min(minY, Y), maxY = std::max(maxY, Y);
        }
    constexpr double kMargin = 4;  // texels kept free at the plane's border
    const double availW = scene.planeWidth() - 1 - 2 * kMargin, availH = scene.planeHeight() - 1 - 2 * kMargin;
    const double scale = std::min({1.0, availW / (maxX - minX), availH / (maxY - minY)});
    const double offX = (scene.planeWidth() - 1) / 2.0 - scale * (minX + maxX) / 2;
    const double offY = (scene.planeHeight() - 1) / 2.0 - scale * (minY + maxY) / 2;
    const Mat3 place = Mat3::translation(offX, offY) * Mat3::scaling(scale, scale);

    std::vector<PlaneShot> shots;
    shots.reserve(layout.size());
    Mat3 firstInverse;
    for (const Layout& l : layout) {
        PlaneShot s;
        s.view.toScene = place * unitToScene(l);
        s.view.width = o.width;
        s.view.height = o.height;
        if (shots.empty())
            firstInverse = s.view.toScene.inverse();
        s.toFirst = shots.empty() ? Mat3{} : firstInverse * s.view.toScene;
        s.photometric = l.ph;
        s.image = renderPlaneView(scene, s.view, s.photometric);
        shots.push_back(std::move(s));
    }
    return shots;
}

Mat3 relativeTransform(const PlaneShot& from, const PlaneShot& to)
{
    return to.view.toScene.inverse() * from.view.toScene;
}

// ---------------------------------------------------------------------------------------
// Files

namespace {
// Extension and writer format of each FileFormat, in its order.
constexpr const char* kFormats[][2] = {{"jpg", "jpeg"}, {"png", "png"}, {"tif", "tiff"}, {"bmp", "bmp"}};
}  // namespace

QString extensionOf(FileFormat format) { return QString::fromLatin1(kFormats[int(format)][0]); }

void saveImage(const QImage& image, const QString& path, FileFormat format, int quality)
{
    QImageWriter writer(path, kFormats[int(format)][1]);
    if (format == FileFormat::Jpeg)
        writer.setQuality(quality);
    if (!writer.write(image))
        throw std::runtime_error(("cannot write " + path + ": " + writer.errorString()).toStdString());
}

void saveOrientedJpeg(const QImage& upright, const QString& path, int orientation, int quality)
{
    // Per orientation: mirrored left-right, top-bottom, then turned a quarter clockwise to
    // show; the stored raster undoes that in reverse order.
    static constexpr bool kShow[9][3] = {{}, {0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                                         {0, 1, 1}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}};
    if (orientation < 1 || orientation > 8)
        throw std::invalid_argument("EXIF orientation out of 1..8");
    const bool* show = kShow[orientation];
    QImage stored = show[2] ? upright.transformed(QTransform().rotate(-90)) : upright;
    stored.mirror(show[0], show[1]);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    if (!buffer.open(QIODevice::WriteOnly) || !stored.save(&buffer, "jpeg", quality))
        throw std::runtime_error("cannot encode a JPEG");
    // APP1 "Exif": a big-endian TIFF header and one directory with the one SHORT tag 0x0112.
    const unsigned char app1[] = {0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8,
                                  0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, static_cast<unsigned char>(orientation),
                                  0, 0, 0, 0, 0, 0};
    jpeg.insert(2, reinterpret_cast<const char*>(app1), sizeof app1);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size())
        throw std::runtime_error(("cannot write " + path).toStdString());
}

QStringList savePhotos(const std::vector<QImage>& images, const QString& folder, FileFormat format, int quality,
                       const QString& prefix)
{
    if (!QDir().mkpath(folder))
        throw std::runtime_error(("cannot create folder " + folder).toStdString());
    const QDir dir(folder);
    QStringList paths;
    for (std::size_t i = 0; i < images.size(); ++i) {
        const QString path =
            dir.filePath(QStringLiteral("%1%2.%3").arg(prefix).arg(i + 1, 2, 10, QChar('0')).arg(extensionOf(format)));
        saveImage(images[i], path, format, quality);
        paths << path;
    }
    return paths;
}

PhotoSet makePhotoSet(const std::vector<QImage>& images, FileFormat format, int quality)
{
    PhotoSet set;
    set.dir = std::make_unique<QTemporaryDir>();
    if (!set.dir->isValid())
        throw std::runtime_error("cannot create a temporary folder");
    set.paths = savePhotos(images, set.dir->path(), format, quality);
    return set;
}

}  // namespace vltest
