// Photos as they come from the wild, through the pixel store: frame headers that claim
// more pixels than the program may hold, damaged entropy-coded data, a JPEG without its
// end marker, progressive JPEGs cut between scans, and a 40-megapixel photo read under
// the limit that the image model itself sets at start-up (the test main sets none).
// Files are made by each test in a temporary folder.
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/dib.h"

using PanoramaLib::kImageAllocationLimit;
using PanoramaLib::QtDibImpl;

namespace {

const wchar_t kCorrupt[] = L"Corrupt or incomplete image data.";

// AddressSanitizer's realloc always moves a block, so there a shrinking conversion does
// hold two buffers for a moment; the accounting then counts both.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kReallocShrinksInPlace = false;
#else
constexpr bool kReallocShrinksInPlace = true;
#endif

struct Store {
    Store() : dib(new QtDibImpl(false)) { dib->AddRef(); }
    ~Store() { dib->Release(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    QtDibImpl* operator->() const { return dib; }
    QtDibImpl* dib;
};

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
    const int sof = markers(jpeg, 0xC0).front();
    jpeg[sof + 5] = char(h >> 8);
    jpeg[sof + 6] = char(h & 255);
    jpeg[sof + 7] = char(w >> 8);
    jpeg[sof + 8] = char(w & 255);
    return jpeg;
}

class PhotoLoading : public ::testing::Test {
protected:
    QString write(const QString& name, const QByteArray& bytes)
    {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    }
    std::wstring loadError(const QString& file)
    {
        Store s;
        std::wstring err;
        EXPECT_FALSE(s->load(file.toStdWString(), &err));
        EXPECT_FALSE(s->hasBits());
        return err;
    }
    QTemporaryDir dir;
};

}  // namespace

TEST_F(PhotoLoading, FrameHeadersAreHeldToTheLimitBeforeDecoding)
{
    const QByteArray colour = encode(pattern(64, 48), "jpeg");
    const QByteArray grey = encode(pattern(64, 48, QImage::Format_Grayscale8), "jpeg");
    struct Case {
        const QByteArray* jpeg;
        int w, h;
        bool fits;
    } cases[] = {
        {&colour, 30000, 30000, false}, {&colour, 20000, 20000, false}, {&colour, 16385, 16384, false},
        {&colour, 16384, 16384, true},  {&grey, 16384, 16384, true},    {&colour, 15811, 15812, true},
    };
    for (const Case& c : cases) {
        const QString file = write("h.jpg", withFrameSize(*c.jpeg, c.w, c.h));
        QImageReader reader(file);
        const std::int64_t need = PanoramaLib::PhotoLoadBytes(reader.imageFormat(), reader.size().width(),
                                                              reader.size().height());
        EXPECT_EQ(need <= kImageAllocationLimit, c.fits) << c.w << "x" << c.h;
        if (!c.fits) {  // refused at once; a fitting header would decode a mostly grey photo
            EXPECT_EQ(loadError(file), L"photo too large: " + std::to_wstring(c.w) + L"\u00D7" + std::to_wstring(c.h));
        }
    }
}

TEST_F(PhotoLoading, FortyMegapixelsLoadWithoutASecondFullCopy)
{
    const int w = 8000, h = 5000;
    const QString file = write("big.jpg", encode(pattern(w, h), "jpeg"));
    Store s;
    std::wstring err;
    ASSERT_TRUE(s->load(file.toStdWString(), &err)) << QString::fromStdWString(err).toStdString();
    EXPECT_EQ(s->width(), w);
    EXPECT_EQ(s->height(), h);
    EXPECT_LE(s->loadPeakBytes(), kImageAllocationLimit);
    // The decoder's 32-bit image became the 24-bit one in its own buffer.
    if (kReallocShrinksInPlace) {
        EXPECT_EQ(s->loadPeakBytes(), std::int64_t(w) * h * 4);
    }
}

TEST_F(PhotoLoading, PixelsAreThoseOfTheToolkitsConversion)
{
    const QImage grey = pattern(61, 37, QImage::Format_Grayscale8);
    QImage alpha = pattern(61, 37, QImage::Format_ARGB32);
    alpha.setPixel(3, 4, qRgba(200, 100, 50, 77));
    const QString files[] = {
        write("c.jpg", encode(pattern(61, 37), "jpeg")),
        write("p.jpg", encode(pattern(61, 37), "jpeg", true)),
        write("g.png", encode(grey, "png")),
        write("a.png", encode(alpha, "png")),
        write("w.png", encode(pattern(61, 37, QImage::Format_RGBA64), "png")),
        write("i.png", encode(pattern(61, 37, QImage::Format_Indexed8), "png")),
    };
    for (const QString& file : files) {
        Store s;
        ASSERT_TRUE(s->load(file.toStdWString(), nullptr)) << file.toStdString();
        EXPECT_EQ(s->getImageObject(), QImage(file).convertToFormat(QImage::Format_RGB888)) << file.toStdString();
        if (kReallocShrinksInPlace) {
            EXPECT_LE(s->loadPeakBytes(), PanoramaLib::PhotoLoadBytes(QImageReader(file).imageFormat(), 61, 37));
        }
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
