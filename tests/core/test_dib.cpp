// The pixel store against real files: round trips through every format, broken and
// cut-off files, unload and reload when the file changed, saves that fail halfway; and
// photos as they come from the wild: frame headers that claim more pixels than the
// program may hold, damaged entropy-coded data, stray bytes before a marker, a JPEG
// without its end marker, progressive JPEGs cut between scans, and a 40-megapixel photo
// read under the limit that the image model itself sets at start-up (the test main
// sets none).
#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <tuple>
#include <vector>

#include "core/dib.h"
#include "core/image_file_check.h"
#include "core/tiff_writer.h"
#include "tests/support/scene.h"

using PanoramaLib::IDib;
using PanoramaLib::kImageAllocationLimit;
using PanoramaLib::QtDibImpl;

namespace {

// A store reference held for the test's scope.
struct Store {
    explicit Store(bool threadSafe = false) : dib(new QtDibImpl(threadSafe)) { dib->AddRef(); }
    explicit Store(IDib* d) : dib(static_cast<QtDibImpl*>(d)) { dib->AddRef(); }
    // A store with bpp-bit pixels of w x h; failing to make them fails the test.
    Store(int bpp, int w, int h, bool threadSafe = false) : Store(threadSafe)
    {
        if (!dib->createImage(bpp, w, h, true))
            throw std::runtime_error("createImage failed");
    }
    ~Store() { dib->Release(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    QtDibImpl* operator->() const { return dib; }
    QtDibImpl* dib;
};

// Fills a store with noise over a gradient: incompressible enough for size tests and
// different in every pixel so that row or channel mix-ups show; without noise, smooth.
void fillTexture(QtDibImpl* d, unsigned seed, int noise = 60)
{
    std::mt19937 rng(seed);
    const int w = d->width();
    const int h = d->height();
    const int bytes = d->bytesPerPixel() / 8;
    for (int y = 0; y < h; ++y) {
        unsigned char* row = d->bits() + std::size_t(y) * d->bytesPerLine();
        for (int x = 0; x < w * bytes; ++x)
            row[x] = static_cast<unsigned char>((x * 3 + y * 5) / 4 + int(rng() % unsigned(noise + 1)));
    }
}

// Largest (or with `mean`, mean) absolute byte difference over the visible pixels.
double difference(const QtDibImpl* a, const QtDibImpl* b, bool mean = false)
{
    EXPECT_EQ(std::tuple(a->width(), a->height(), a->bytesPerPixel()),
              std::tuple(b->width(), b->height(), b->bytesPerPixel()));
    double worst = 0, sum = 0;
    const int rowBytes = a->width() * a->bytesPerPixel() / 8;
    for (int y = 0; y < a->height(); ++y) {
        const unsigned char* p = a->bits() + std::size_t(y) * a->bytesPerLine();
        const unsigned char* q = b->bits() + std::size_t(y) * b->bytesPerLine();
        for (int x = 0; x < rowBytes; ++x) {
            const int d = std::abs(int(p[x]) - int(q[x]));
            worst = std::max(worst, double(d));
            sum += d;
        }
    }
    return mean ? sum / (double(rowBytes) * a->height()) : worst;
}

std::wstring W(const QString& s)
{
    return s.toStdWString();
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

const wchar_t kCorrupt[] = L"Corrupt or incomplete image data.";

// AddressSanitizer's realloc always moves a block, so there a shrinking conversion does
// hold two buffers for a moment; the accounting then counts both.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kReallocShrinksInPlace = false;
#else
constexpr bool kReallocShrinksInPlace = true;
#endif

QImage pattern(int w, int h, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = qRgb((x * 7 + y) & 255, (y * 3 + (x >> 4)) & 255, (x ^ y) & 255);
    }
    return image.convertToFormat(format);
}

QByteArray encode(const QImage& image, const char* format, bool progressive = false)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(90);
    writer.setProgressiveScanWrite(progressive);
    EXPECT_TRUE(writer.write(image));
    return bytes;
}

// Offsets of every marker `code` outside entropy-coded data (segment walk).
std::vector<int> markers(const QByteArray& jpeg, unsigned char code)
{
    std::vector<int> found;
    const auto* d = reinterpret_cast<const unsigned char*>(jpeg.constData());
    const int n = int(jpeg.size());
    for (int i = 2; i + 1 < n; ++i)
        if (d[i] == 0xFF && d[i + 1] == code && (code != 0xDA || d[i - 1] != 0xFF))
            found.push_back(i);
    return found;
}

// The frame header with other dimensions (checksum-free in JPEG).
QByteArray withFrameSize(QByteArray jpeg, int w, int h)
{
    const char size[4] = {char(h >> 8), char(h & 255), char(w >> 8), char(w & 255)};
    return jpeg.replace(markers(jpeg, 0xC0).front() + 5, 4, size, 4);
}

class DibFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString path(const QString& name) const { return dir.filePath(name); }

    // A saved 24-bit texture of odd width (rows carry padding).
    QString writePhoto(const QString& name, int w = 301, int h = 203, unsigned seed = 1)
    {
        Store s(24, w, h);
        fillTexture(s.dib, seed);
        EXPECT_TRUE(s->save(W(path(name)), nullptr));
        return path(name);
    }
    QString write(const QString& name, const QByteArray& bytes)
    {
        writeAll(path(name), bytes);
        return path(name);
    }
    std::wstring loadError(const QString& file)
    {
        Store s;
        std::wstring err;
        EXPECT_FALSE(s->load(file.toStdWString(), &err));
        EXPECT_TRUE(!s->hasBits() && s->getPathName().empty());
        return err;
    }

    QTemporaryDir dir;
};
using PhotoLoading = DibFiles;

}  // namespace

TEST_F(DibFiles, CreateImageChecksDepthSizeAndExistingPixels)
{
    Store s;
    // Rows that no int can measure are refused before anything is allocated.
    for (auto [bpp, w, h, alloc] : {std::tuple{16, 10, 10, true}, {24, 0, 10, true}, {24, 10, -1, true},
                                    {24, 10, 0, false}, {24, 1 << 30, 2, true},
                                    {8, std::numeric_limits<int>::max(), 1, false}})
        EXPECT_FALSE(s->createImage(bpp, w, h, alloc)) << bpp << " " << w << "x" << h;
    EXPECT_FALSE(s->hasBits());

    ASSERT_TRUE(s->createImage(24, 10, 10, false));  // deferred: size without pixels
    EXPECT_EQ(std::tuple(s->hasBits(), s->width(), s->height(), s->bytesPerPixel()), std::tuple(false, 10, 10, 24));
    ASSERT_TRUE(s->createImage(24, 7, 5, true));  // a deferred store can still be filled
    EXPECT_EQ(std::tuple(s->hasBits(), s->width(), s->bytesPerLine()), std::tuple(true, 7, 24));  // 21 padded to 24
    EXPECT_FALSE(s->createImage(24, 7, 5, true));
    // Nor does a load go over existing pixels (without an error text), nor an unload
    // drop pixels that no file can bring back.
    const QString file = writePhoto("a.png", 40, 30);
    std::wstring err = L"old";
    EXPECT_TRUE(!s->load(W(file), &err) && err.empty() && s->width() == 7);
    s->unload();
    Store freed;
    ASSERT_TRUE(freed->load(W(file), nullptr));
    freed->freeImage();  // forgets the path as well
    freed->unload();
    EXPECT_TRUE(!s->isUnloaded() && s->hasBits() && !freed->isUnloaded() && freed->getPathName().empty());

    // Grey stores show 255 as white.
    Store g(8, 5, 3);
    EXPECT_EQ(std::pair(g->bytesPerPixel(), g->bytesPerLine()), std::pair(8, 8));
    std::memset(g->bits(), 255, std::size_t(g->bytesPerLine()) * 3);
    g->bits()[1] = 0;
    g->bits()[2] = 100;
    const QImage img = g->getImageObject();
    EXPECT_EQ(std::vector<QRgb>({img.pixel(0, 0), img.pixel(1, 0), img.pixel(2, 0)}),
              std::vector<QRgb>({qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(100, 100, 100)}));
}

TEST_F(DibFiles, FormatsRoundTripExactlyOrJpegWithinTolerance)
{
    Store texture(24, 301, 203), smooth(24, 257, 199);
    fillTexture(texture.dib, 7);
    fillTexture(smooth.dib, 0, 0);
    for (const char* name : {"a.png", "a.bmp", "a.tif", "a.tiff", "a.PNG", "photo.Jpg"}) {
        SCOPED_TRACE(name);
        const bool jpeg = QString(name).endsWith("Jpg");
        const Store& original = jpeg ? smooth : texture;
        const QString file = path(name);
        ASSERT_TRUE(original->save(W(file), nullptr));
        EXPECT_EQ(original->getPathName(), W(file));  // the suffix save records the path
        EXPECT_EQ(QImageReader(file).format() == "jpeg", jpeg);
        Store loaded;
        std::wstring err = L"stale";
        ASSERT_TRUE(loaded->load(W(file), &err));
        EXPECT_TRUE(err.empty() && loaded->bytesPerPixel() == 24);
        EXPECT_LT(difference(original.dib, loaded.dib, jpeg), jpeg ? 3.0 : 0.5);  // mean for JPEG, else max
        EXPECT_EQ(std::pair(loaded->getPathName(), loaded->getFileName()),
                  std::pair(W(file), W(QFileInfo(file).fileName())));
    }
}

TEST_F(DibFiles, BrokenFilesFailWithAnErrorText)
{
    const QByteArray png = readAll(writePhoto("good.png")), jpg = readAll(writePhoto("good.jpg"));
    const QByteArray bmp = readAll(writePhoto("good.bmp")), tif = readAll(writePhoto("good.tif"));
    // A valid PNG header and chunk that claim 100000 x 100000 pixels.
    QByteArray huge = png.left(33);
    const unsigned char dims[8] = {0, 1, 0x86, 0xA0, 0, 1, 0x86, 0xA0};
    huge.replace(16, 8, reinterpret_cast<const char*>(dims), 8);
    huge.append(png.mid(33, 200));

    // Each with its real reason; a header whose checksum fails is damaged data. No bytes: no file.
    const wchar_t* const unsupported = L"Unsupported file format.";
    const std::tuple<const char*, QByteArray, const wchar_t*> cases[] = {
        {"zero.png", QByteArray(""), L"The file is empty."}, {"garbage.jpg", QByteArray(5000, '\x5a'), unsupported},
        {"cut.png", png.left(png.size() / 2), kCorrupt}, {"head.png", png.left(60), kCorrupt},
        {"cut.jpg", jpg.left(jpg.size() * 9 / 10), kCorrupt}, {"cut.bmp", bmp.left(bmp.size() - 100), kCorrupt},
        {"cut.tif", tif.left(tif.size() / 2), kCorrupt}, {"huge.png", huge, kCorrupt},
        {"missing.png", QByteArray(), L"File not found."}, {".", QByteArray(), L"Cannot read the file."},
    };
    for (const auto& [name, bytes, expected] : cases)
        EXPECT_EQ(loadError(bytes.isNull() ? path(name) : write(name, bytes)), expected) << name;
}

TEST(DibFileCheck, JpegWalkFindsTheEndMarkerPastThumbnailsAndFill)
{
    // SOI, an APP1 segment that itself holds an end marker, a scan with stuffed bytes,
    // a restart marker and fill bytes, then EOI and trailing junk.
    const unsigned char full[] = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x06, 0xFF, 0xD9, 0x00, 0x00, 0xFF, 0xDA, 0x00,
                                  0x02, 0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD3, 0x56, 0xFF, 0xFF, 0xD9, 0xAA};
    EXPECT_FALSE(PanoramaLib::IsTruncatedJpeg(full, sizeof full));
    for (std::size_t cut = 2; cut < 23; ++cut)
        EXPECT_TRUE(PanoramaLib::IsTruncatedJpeg(full, cut)) << cut;
}

TEST_F(DibFiles, ReloadFailsCleanlyWhenTheFileChanged)
{
    const QString other = writePhoto("other.jpg", 64, 48, 9);
    const std::pair<const char*, std::function<void(const QString&)>> cases[] = {
        {"deleted", [](const QString& f) { QFile::remove(f); }},
        {"truncated", [](const QString& f) { writeAll(f, readAll(f).left(readAll(f).size() / 3)); }},
        {"other size", [&](const QString& f) { QFile::remove(f), QFile::copy(other, f); }},
        {"zero bytes", [](const QString& f) { writeAll(f, QByteArray()); }},
        // Same dimensions (and, as BMP, the same length), other pixels and time.
        {"rewritten",
         [&](const QString& f) {
             writePhoto(QFileInfo(f).fileName(), 99, 61, 2);
             QFile file(f);
             ASSERT_TRUE(file.open(QIODevice::ReadWrite));
             ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
         }},
    };
    for (const auto& [name, change] : cases) {
        for (const char* suffix : {"png", "jpg", "bmp"}) {
            SCOPED_TRACE(std::string(name) + " " + suffix);
            const QString file = writePhoto(QString("photo.%1").arg(suffix), 99, 61, 4);
            Store s;
            ASSERT_TRUE(s->load(W(file), nullptr));
            s->unload();
            change(file);
            s->load();
            EXPECT_TRUE(!s->isUnloaded() && !s->hasBits() && !s->bits());
            EXPECT_EQ(std::pair(s->width(), s->height()), std::pair(99, 61));  // never the new size
        }
    }
}

TEST_F(DibFiles, ExportWritesEachFormatWithItsSettings)
{
    // A view of the synthetic scene with a camera's noise: what compression has to face.
    Store s(24, 241, 161);
    vltest::PlaneView view{vltest::Mat3::translation(100, 100), 241, 161};
    const QImage photo = vltest::renderPlaneView(vltest::Scene(vltest::smallSceneOptions(3)), view, {.noiseSigma = 2});
    for (int y = 0; y < 161; ++y)
        std::memcpy(s->bits() + y * s->bytesPerLine(), photo.constScanLine(y), 3 * 241);

    for (const char* name : {"packed.TIF", "plain.tif", "a.png", "a.bmp"}) {
        ASSERT_TRUE(s->save(W(path(name)), QString(name).startsWith("packed"), 0, nullptr)) << name;
        Store back;  // through the toolkit's readers, as the program loads
        ASSERT_TRUE(back->load(W(path(name)), nullptr)) << name;
        EXPECT_EQ(difference(s.dib, back.dib), 0) << name;
    }
    // LZW alone gains next to nothing on a photo; with the predictor about a third.
    EXPECT_LT(QFileInfo(path("packed.TIF")).size() * 4, QFileInfo(path("plain.tif")).size() * 3);
    ASSERT_TRUE(s->save(W(path("low.jpeg")), false, 5, nullptr));
    ASSERT_TRUE(s->save(W(path("high.jpeg")), false, 95, nullptr));
    EXPECT_LT(QFileInfo(path("low.jpeg")).size(), QFileInfo(path("high.jpeg")).size());
    EXPECT_EQ(QImageReader(path("high.jpeg")).format(), QByteArray("jpeg"));
    EXPECT_TRUE(s->getPathName().empty());  // the export keeps the store's path
}

TEST_F(DibFiles, FailedSavesLeaveNoFileAndKeepTheOldOne)
{
    // A missing folder, a target that is a directory, suffixes without a writer; an empty store.
    ASSERT_TRUE(QDir(dir.path()).mkdir("taken.png"));
    Store s(24, 64, 64), empty;
    for (const char* name : {"no/such/dir/a.png", "taken.png", "a.gif", "a.xyz", "noext"}) {
        const QString file = path(name);
        EXPECT_FALSE(s->save(W(file), nullptr) || s->save(W(file), false, 0, nullptr)) << name;
        EXPECT_TRUE(s->getPathName().empty() && !QFileInfo(file).isFile()) << name;
    }
    EXPECT_FALSE(empty->save(W(path("empty.png")), nullptr) || empty->save(W(path("empty.png")), false, 0, nullptr));

    // (BMP rather than PNG: Qt's PNG writer leaks its row buffer when a write fails.)
    const QString target = writePhoto("target.bmp", 40, 30, 1);
    const QString exported = writePhoto("export.tif", 40, 30, 1);
    const QByteArray before = readAll(target), exportBefore = readAll(exported);
    Store big(24, 400, 300);
    fillTexture(big.dib, 3, 255);

    // Let the process write no file larger than the old ones: every write of the big
    // image fails partway, as on a full disk.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = rlim_t(std::max(before.size(), exportBefore.size()) + 1024);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = big->save(W(target), nullptr);
    const bool exportedOk = big->save(W(exported), false, 0, nullptr);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(!saved && !exportedOk && big->getPathName().empty());
    EXPECT_EQ(std::pair(readAll(target), readAll(exported)), std::pair(before, exportBefore));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);  // no temporary left behind
}

TEST(DibCopy, ThreadSafeSourcesCopyDeeplyPlainOnesOnFirstWrite)
{
    for (bool threadSafe : {true, false}) {
        SCOPED_TRACE(threadSafe);
        Store src(24, 31, 9, threadSafe);
        fillTexture(src.dib, 0, 0);
        src->setPathName(L"/x/y.png");
        Store copy(new QtDibImpl(*src.dib, false));
        EXPECT_EQ(copy->getPathName(), L"/x/y.png");
        EXPECT_EQ(copy->getImageObject().constBits() == src->getImageObject().constBits(), !threadSafe);
        copy->bits()[0] = 77;  // the first write parts a shared store
        EXPECT_NE(copy->getImageObject().constBits(), src->getImageObject().constBits());
        EXPECT_EQ(std::pair(int(src->bits()[0]), difference(copy.dib, src.dib)), std::pair(0, 77.0));
    }
    // A deferred store copies its size without pixels.
    Store deferred;
    ASSERT_TRUE(deferred->createImage(8, 12, 34, false));
    Store copy(new QtDibImpl(*deferred.dib, true));
    EXPECT_FALSE(copy->hasBits());
    EXPECT_EQ(std::tuple(copy->width(), copy->height(), copy->bytesPerPixel()), std::tuple(12, 34, 8));
}

TEST(Dib, DrawScalesTheSourcePartIntoTheTarget)
{
    Store s(24, 4, 4, true);
    std::memset(s->bits(), 0, std::size_t(s->bytesPerLine()) * 4);
    s->bits()[std::size_t(2) * s->bytesPerLine() + 2 * 3] = 255;  // red pixel at (2, 2)
    QImage canvas(20, 20, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    {
        QPainter painter(&canvas);
        s->draw(QRect(0, 0, 20, 20), painter, QRect(2, 2, 2, 2));
    }
    EXPECT_EQ(std::pair(canvas.pixel(2, 2), canvas.pixel(17, 17)), std::pair(qRgb(255, 0, 0), qRgb(0, 0, 0)));

    Store empty;
    QPainter painter(&canvas);
    empty->draw(QRect(0, 0, 20, 20), painter, QRect(0, 0, 1, 1));  // nothing to draw
    EXPECT_TRUE(empty->getImageObject().isNull());
}

TEST_F(PhotoLoading, FrameHeadersAreHeldToTheLimitBeforeDecoding)
{
    const QByteArray colour = encode(pattern(64, 48), "jpeg");
    const QByteArray grey = encode(pattern(64, 48, QImage::Format_Grayscale8), "jpeg");
    for (auto [jpeg, w, h, fits] : {std::tuple{&colour, 30000, 30000, false}, {&colour, 20000, 20000, false},
                                    {&colour, 16385, 16384, false}, {&colour, 16384, 16384, true},
                                    {&grey, 16384, 16384, true}, {&colour, 15811, 15812, true}}) {
        const QString file = write("h.jpg", withFrameSize(*jpeg, w, h));
        QImageReader reader(file);
        const std::int64_t need = PanoramaLib::PhotoLoadBytes(reader.imageFormat(), reader.size().width(),
                                                              reader.size().height());
        EXPECT_EQ(need <= kImageAllocationLimit, fits) << w << "x" << h;
        // Refused at once; a fitting header would decode a mostly grey photo.
        EXPECT_TRUE(fits || loadError(file) == L"photo too large: " + std::to_wstring(w) + L"\u00D7" + std::to_wstring(h));
    }
}

TEST_F(PhotoLoading, FortyMegapixelsLoadWithoutASecondFullCopy)
{
    const int w = 8000, h = 5000;
    const QString file = write("big.jpg", encode(pattern(w, h), "jpeg"));
    Store s;
    std::wstring err;
    ASSERT_TRUE(s->load(file.toStdWString(), &err)) << QString::fromStdWString(err).toStdString();
    EXPECT_EQ(std::tuple(s->width(), s->height(), s->loadPeakBytes() <= kImageAllocationLimit), std::tuple(w, h, true));
    // The decoder's 32-bit image became the 24-bit one in its own buffer.
    EXPECT_TRUE(!kReallocShrinksInPlace || s->loadPeakBytes() == std::int64_t(w) * h * 4) << s->loadPeakBytes();
}

TEST_F(PhotoLoading, PixelsAreThoseOfTheToolkitsConversion)
{
    const QImage grey = pattern(61, 37, QImage::Format_Grayscale8);
    QImage alpha = pattern(61, 37, QImage::Format_ARGB32);
    alpha.setPixel(3, 4, qRgba(200, 100, 50, 77));
    QStringList files = {
        write("c.jpg", encode(pattern(61, 37), "jpeg")),
        write("p.jpg", encode(pattern(61, 37), "jpeg", true)),
        write("g.png", encode(grey, "png")),
        write("a.png", encode(alpha, "png")),
        write("w.png", encode(pattern(61, 37, QImage::Format_RGBA64), "png")),
        write("i.png", encode(pattern(61, 37, QImage::Format_Indexed8), "png")),
    };
    // Taken with the camera on its side or upside down: stored turned, and tagged so.
    for (const int orientation : {3, 5, 6, 8}) {
        files << path(QString("turned%1.jpg").arg(orientation));
        vltest::saveOrientedJpeg(pattern(61, 37), files.back(), orientation);
    }
    for (const QString& file : files) {
        Store s;
        ASSERT_TRUE(s->load(file.toStdWString(), nullptr)) << file.toStdString();
        QImageReader upright(file);
        upright.setAutoTransform(true);
        EXPECT_EQ(s->getImageObject(), upright.read().convertToFormat(QImage::Format_RGB888)) << file.toStdString();
        const QImageReader reader(file);
        const bool turned = reader.transformation().testFlag(QImageIOHandler::TransformationRotate90);
        EXPECT_TRUE(!kReallocShrinksInPlace ||
                    s->loadPeakBytes() <= PanoramaLib::PhotoLoadBytes(reader.imageFormat(), 61, 37, turned));
        EXPECT_EQ(std::pair(s->width(), s->height()), std::pair(61, 37)) << file.toStdString();
    }
}

TEST_F(PhotoLoading, DamagedDataIsRefusedAndAMissingEndMarkerIsNot)
{
    const QImage picture = pattern(320, 240);
    const QByteArray baseline = encode(picture, "jpeg");
    const QByteArray progressive = encode(picture, "jpeg", true);

    // 200 flipped bits in the entropy-coded data, none making or breaking a marker.
    QByteArray flipped = baseline;
    const int sos = markers(baseline, 0xDA).front();
    const int begin = sos + 2 + ((uchar(baseline[sos + 2]) << 8) | uchar(baseline[sos + 3]));
    std::mt19937 rng(5);
    for (int done = 0; done < 200;) {
        const int at = begin + 1 + int(rng() % unsigned(flipped.size() - begin - 4));
        const char flippedByte = char(flipped[at] ^ (1 << (rng() % 8)));
        if (uchar(flipped[at]) == 0xFF || uchar(flipped[at - 1]) == 0xFF || uchar(flippedByte) == 0xFF)
            continue;
        flipped[at] = flippedByte;
        ++done;
    }
    const QString damaged = write("flipped.jpg", flipped);
    ASSERT_FALSE(QImage(damaged).isNull());  // the toolkit alone takes it for a photo
    EXPECT_EQ(loadError(damaged), kCorrupt);

    // Cut after the first of the progressive scans: the rest of the picture is missing.
    const std::vector<int> scans = markers(progressive, 0xDA);
    ASSERT_GT(scans.size(), 2u);
    EXPECT_EQ(loadError(write("cut.jpg", progressive.left(scans[1]))), kCorrupt);

    for (const QByteArray* jpeg : {&baseline, &progressive}) {
        ASSERT_TRUE(jpeg->endsWith("\xFF\xD9"));
        const QString stripped = write("stripped.jpg", jpeg->left(jpeg->size() - 2));
        const QString whole = write("whole.jpg", *jpeg);
        Store a, b;
        ASSERT_TRUE(a->load(stripped.toStdWString(), nullptr));
        ASSERT_TRUE(b->load(whole.toStdWString(), nullptr));
        EXPECT_EQ(a->getImageObject(), b->getImageObject());
    }
}

TEST_F(PhotoLoading, StrayBytesBeforeAMarkerLoadAndDataCutShortIsRefused)
{
    const QImage picture = pattern(320, 240);
    for (const bool progressive : {false, true}) {
        const QByteArray jpeg = encode(picture, "jpeg", progressive);
        const int sos = markers(jpeg, 0xDA).front();
        const QByteArray stray = QByteArray(jpeg).insert(sos, "\x12\x34", 2);  // as some cameras and editors write
        const QByteArray cut = jpeg.left(jpeg.size() * 9 / 10);
        const QByteArray strayCut = stray.left(stray.size() * 9 / 10);
        SCOPED_TRACE(progressive ? "progressive" : "baseline");

        Store whole, warned;
        ASSERT_TRUE(whole->load(W(write("whole.jpg", jpeg)), nullptr));
        std::wstring err = L"unchanged";
        ASSERT_TRUE(warned->load(W(write("stray.jpg", stray)), &err));
        EXPECT_TRUE(err.empty());
        EXPECT_EQ(warned->getImageObject(), whole->getImageObject());

        // The toolkit's decoder names only a file's first fault: here the stray bytes,
        // not the missing data behind them. An end marker after the cut hides it from
        // the file's structure.
        const std::pair<const char*, QByteArray> refused[] = {
            {"cut.jpg", cut},
            {"stray-cut.jpg", strayCut},
            {"cut-closed.jpg", cut + "\xFF\xD9"},
            {"stray-cut-closed.jpg", strayCut + "\xFF\xD9"},
        };
        for (const auto& [name, bytes] : refused)
            EXPECT_EQ(loadError(write(name, bytes)), kCorrupt) << name;
    }
}

// However many stray bytes a writer left between two segments, and before whichever
// marker, they are not data: the photo loads with the same pixels. Its data cut short
// behind them, with or without an end marker, is still refused.
TEST_F(PhotoLoading, ManyStrayBytesBetweenSegmentsLoadAndMissingDataIsStillRefused)
{
    const QImage picture = pattern(320, 240);
    const struct {
        bool progressive;
        unsigned char before;  // the marker the stray bytes precede...
        std::size_t nth;       // ...at its nth occurrence
        int count;
    } cases[] = {
        {false, 0xDA, 0, 16}, {false, 0xDA, 0, 200}, {false, 0xC4, 0, 16}, {false, 0xDB, 1, 16},
        {true, 0xDA, 0, 16}, {true, 0xC4, 0, 40}, {true, 0xDA, 2, 24},  // the last: between two scans
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.progressive ? "progressive" : "baseline") << ", " << c.count
                                        << " bytes before 0xFF" << std::hex << int(c.before) << " #" << c.nth);
        const QByteArray jpeg = encode(picture, "jpeg", c.progressive);
        const std::vector<int> at = markers(jpeg, c.before);
        ASSERT_GT(at.size(), c.nth);
        QByteArray stray(c.count, '\0');
        for (int k = 0; k < c.count; ++k)
            stray[k] = char(0x11 + k % 0xE0);  // never 0xFF: no marker
        const QByteArray strayed = QByteArray(jpeg).insert(at[c.nth], stray);

        Store whole, strayedStore;
        ASSERT_TRUE(whole->load(W(write("whole.jpg", jpeg)), nullptr));
        std::wstring err = L"unchanged";
        ASSERT_TRUE(strayedStore->load(W(write("stray.jpg", strayed)), &err)) << QString::fromStdWString(err).toStdString();
        EXPECT_EQ(strayedStore->getImageObject(), whole->getImageObject());

        const QByteArray cut = strayed.left(strayed.size() * 9 / 10);
        EXPECT_EQ(loadError(write("cut.jpg", cut)), kCorrupt);
        EXPECT_EQ(loadError(write("cut-closed.jpg", cut + "\xFF\xD9")), kCorrupt);
    }
}

// A bitmap stored top-down (negative height in its header) loads upright and whole; cut
// short it is refused like a bottom-up one.
TEST_F(PhotoLoading, TopDownBitmapsLoadUprightAndCutOnesAreRefused)
{
    for (const int width : {61, 64}) {  // rows with and without padding
        SCOPED_TRACE(width);
        const QImage picture = pattern(width, 37, QImage::Format_RGB888);
        const QByteArray bottomUp = encode(picture, "bmp");
        // The same pixels stored top-down: the height negated, the rows in reverse order.
        const auto u32 = [&](int at) {
            return quint32(uchar(bottomUp[at])) | quint32(uchar(bottomUp[at + 1])) << 8 |
                   quint32(uchar(bottomUp[at + 2])) << 16 | quint32(uchar(bottomUp[at + 3])) << 24;
        };
        const int offset = int(u32(10)), height = int(u32(22));
        ASSERT_EQ(height, 37);
        const int rowBytes = (width * 3 + 3) / 4 * 4;
        ASSERT_EQ(bottomUp.size(), offset + rowBytes * height);
        QByteArray topDown = bottomUp.left(offset);
        const qint32 negative = -height;
        topDown.replace(22, 4, reinterpret_cast<const char*>(&negative), 4);  // little-endian host
        for (int row = height - 1; row >= 0; --row)
            topDown.append(bottomUp.mid(offset + row * rowBytes, rowBytes));

        Store s;
        std::wstring err;
        ASSERT_TRUE(s->load(W(write("topdown.bmp", topDown)), &err)) << QString::fromStdWString(err).toStdString();
        EXPECT_EQ(s->getImageObject(), picture);
        for (const int missing : {1, rowBytes, rowBytes * height / 2})
            EXPECT_EQ(loadError(write("cut.bmp", topDown.left(topDown.size() - missing))), kCorrupt) << missing;
    }
}

TEST_F(PhotoLoading, ACutPhotoIsRefusedWhileTheDecodersLogIsSwitchedOff)
{
    const QByteArray jpeg = encode(pattern(320, 240), "jpeg");
    QLoggingCategory::setFilterRules("qt.gui.imageio.jpeg.warning=false");
    const std::wstring err = loadError(write("cut.jpg", jpeg.left(jpeg.size() * 9 / 10)));
    QLoggingCategory::setFilterRules(QString());
    EXPECT_EQ(err, kCorrupt);
}

TEST(DibFileCheck, JpegWalkStepsOverStrayBytesBetweenSegments)
{
    // SOI, stray bytes, an APP0 segment, stray bytes, a scan cut inside its header.
    const unsigned char cut[] = {0xFF, 0xD8, 0x12, 0x34, 0xFF, 0xE0, 0x00, 0x04,
                                 0x00, 0x00, 0x56, 0xFF, 0xDA, 0x00, 0x08};
    EXPECT_TRUE(PanoramaLib::IsTruncatedJpeg(cut, sizeof cut));
    EXPECT_TRUE(PanoramaLib::IsJpegDataMissing(cut, sizeof cut, false));
}

TEST_F(DibFiles, ACompressedTiffKeepsTheResolutionAndItsUnit)
{
    // The toolkit's reader turns every unit into dots per metre; the tags say which unit
    // the file was written in. Unequal axes catch one taken for the other.
    struct Tags {
        std::uint16_t unit = 0;
        float x = 0, y = 0;
        bool operator==(const Tags&) const = default;
    };
    auto tags = [](const QString& file) {
        Tags t;
        TIFF* tiff = TIFFOpen(file.toLocal8Bit().constData(), "r");
        EXPECT_TRUE(tiff) << file.toStdString();
        if (!tiff)
            return t;
        TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &t.unit);
        TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &t.x);
        TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &t.y);
        TIFFClose(tiff);
        return t;
    };
    const struct {
        int dpiX, dpiY;      // as the panorama was made, in dots per inch...
        int perCmX, perCmY;  // ...or in whole pixels per centimetre
        Tags expected;
    } cases[] = {
        {300, 150, 0, 0, {RESUNIT_INCH, 300, 150}},
        {72, 96, 0, 0, {RESUNIT_INCH, 72, 96}},
        {0, 0, 100, 40, {RESUNIT_CENTIMETER, 100, 40}},
    };
    for (const auto& c : cases) {
        QImage image = pattern(40, 30, QImage::Format_RGB888);
        image.setDotsPerMeterX(c.perCmX ? c.perCmX * 100 : qRound(c.dpiX / 0.0254));
        image.setDotsPerMeterY(c.perCmY ? c.perCmY * 100 : qRound(c.dpiY / 0.0254));
        const QString packed = path("packed.tif"), plain = path("plain.tif");
        QFile file(packed);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_TRUE(PanoramaLib::WriteLzwTiff(image, file));
        file.close();
        QImageWriter writer(plain, "tiff");
        writer.setCompression(0);
        ASSERT_TRUE(writer.write(image));
        SCOPED_TRACE(c.dpiX ? "dpi" : "per cm");

        EXPECT_EQ(tags(packed), c.expected);
        EXPECT_EQ(tags(packed), tags(plain));  // as the toolkit writes an uncompressed file
        const QImage back(packed);
        ASSERT_FALSE(back.isNull());
        EXPECT_EQ(std::pair(back.dotsPerMeterX(), back.dotsPerMeterY()),
                  std::pair(image.dotsPerMeterX(), image.dotsPerMeterY()));
        if (c.dpiX) {
            EXPECT_EQ(std::pair(back.logicalDpiX(), back.logicalDpiY()), std::pair(c.dpiX, c.dpiY));
        }
    }
}
