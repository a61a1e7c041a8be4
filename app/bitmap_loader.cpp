// BMP-with-alpha and cursor file readers. Fields are copied out of the byte buffer one
// at a time (no structure overlays, no alignment or padding assumptions) and swapped
// on a big-endian host; every offset and size is checked in 64 bits against the file.
#include "app/bitmap_loader.h"

#include <QBitmap>
#include <QByteArray>
#include <QFile>

#include <bit>
#include <cstring>
#include <memory>

namespace VarnoBase {

namespace {

constexpr bool kBigEndian = std::endian::native == std::endian::big;
constexpr std::uint16_t kBitmapType = 0x4D42;  // "BM"
constexpr qint64 kFileHeaderBytes = 14;
constexpr qint64 kInfoHeaderBytes = 40;
constexpr qint64 kMaxSide = 32767;  // larger sides are no bitmap or cursor of ours

// Copies a field of sizeof(T) bytes at `pos` and advances; the caller checked the length.
template <class T>
void take(const char* data, std::size_t& pos, T& field)
{
    std::memcpy(&field, data + pos, sizeof(T));
    pos += sizeof(T);
}

BitmapFileHeader parseFileHeader(const char* d)
{
    BitmapFileHeader h;
    std::size_t p = 0;
    take(d, p, h.type);
    take(d, p, h.size);
    take(d, p, h.reserved1);
    take(d, p, h.reserved2);
    take(d, p, h.offBits);
    if constexpr (kBigEndian)
        RotateBytes(h);
    return h;
}

BitmapInfoHeader parseInfoHeader(const char* d)
{
    BitmapInfoHeader h;
    std::size_t p = 0;
    take(d, p, h.size);
    take(d, p, h.width);
    take(d, p, h.height);
    take(d, p, h.planes);
    take(d, p, h.bitCount);
    take(d, p, h.compression);
    take(d, p, h.sizeImage);
    take(d, p, h.xPelsPerMeter);
    take(d, p, h.yPelsPerMeter);
    take(d, p, h.clrUsed);
    take(d, p, h.clrImportant);
    if constexpr (kBigEndian)
        RotateBytes(h);
    return h;
}

CursorDir parseCursorDir(const char* d)
{
    CursorDir c;
    std::size_t p = 0;
    take(d, p, c.reserved);
    take(d, p, c.type);
    take(d, p, c.count);
    if constexpr (kBigEndian)
        RotateBytes(c);
    return c;
}

CursorDirEntry parseCursorDirEntry(const char* d)
{
    CursorDirEntry e;
    std::size_t p = 0;
    take(d, p, e.width);
    take(d, p, e.height);
    take(d, p, e.colorCount);
    take(d, p, e.reserved);
    take(d, p, e.hotX);
    take(d, p, e.hotY);
    take(d, p, e.bytesInRes);
    take(d, p, e.imageOffset);
    if constexpr (kBigEndian)
        RotateBytes(e);
    return e;
}

// Reads exactly n bytes, or gives an empty array.
QByteArray readExactly(QFile& f, qint64 n)
{
    if (n < 0 || n > f.size() - f.pos())
        return QByteArray();
    QByteArray bytes = f.read(n);
    return bytes.size() == n ? bytes : QByteArray();
}

// One cursor from the image at `entry`, or null.
QCursor* readCursorImage(QFile& f, const CursorDirEntry& entry)
{
    const qint64 fileSize = f.size();
    if (qint64(entry.imageOffset) > fileSize || !f.seek(entry.imageOffset))
        return nullptr;
    const QByteArray head = readExactly(f, kInfoHeaderBytes);
    if (head.isEmpty())
        return nullptr;
    const BitmapInfoHeader h = parseInfoHeader(head.constData());
    if (h.size != 40 || h.planes != 1 || h.bitCount != 1)
        return nullptr;
    if (readExactly(f, 2 * qint64(sizeof(std::uint32_t))).isEmpty())  // the two palette entries
        return nullptr;

    const qint64 width = h.width;
    const qint64 height = qint64(h.height) / 2;  // the file's height counts both masks
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
        return nullptr;
    const qint64 stride = (width + 31) / 32 * 4;  // rows padded to 32 bits
    const qint64 maskBytes = h.sizeImage;
    if (maskBytes < stride * height)
        return nullptr;  // the masks could not hold the rows
    const QByteArray masks = readExactly(f, 2 * maskBytes);
    if (masks.isEmpty())
        return nullptr;

    // Qt's convention: mask := NOT AND, bitmap := XOR XOR (NOT AND). Rows are repacked
    // to whole bytes and turned top-down (the file stores them bottom-up).
    const qint64 rowBytes = (width + 7) / 8;
    QByteArray bitmapBits(rowBytes * height, '\0');
    QByteArray maskBits(rowBytes * height, '\0');
    const auto* xorMask = reinterpret_cast<const std::uint8_t*>(masks.constData());
    const auto* andMask = xorMask + maskBytes;
    for (qint64 y = 0; y < height; ++y) {
        const qint64 src = (height - 1 - y) * stride;
        for (qint64 i = 0; i < rowBytes; ++i) {
            const std::uint8_t notAnd = std::uint8_t(~andMask[src + i]);
            maskBits[y * rowBytes + i] = char(notAnd);
            bitmapBits[y * rowBytes + i] = char(xorMask[src + i] ^ notAnd);
        }
    }
    const QSize size{int(width), int(height)};
    const QBitmap bitmap = QBitmap::fromData(size, reinterpret_cast<const uchar*>(bitmapBits.constData()), QImage::Format_Mono);
    const QBitmap mask = QBitmap::fromData(size, reinterpret_cast<const uchar*>(maskBits.constData()), QImage::Format_Mono);
    return new QCursor(bitmap, mask, entry.hotX, entry.hotY);
}

}  // namespace

void RotateBytes(std::uint16_t& v) { v = std::uint16_t((v >> 8) | (v << 8)); }

void RotateBytes(std::uint32_t& v)
{
    v = (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

void RotateBytes(std::int32_t& v)
{
    auto u = std::uint32_t(v);
    RotateBytes(u);
    v = std::int32_t(u);
}

void RotateBytes(std::uint32_t* words, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        RotateBytes(words[i]);
}

void RotateBytes(BitmapFileHeader& h)
{
    RotateBytes(h.type);
    RotateBytes(h.size);
    RotateBytes(h.reserved1);
    RotateBytes(h.reserved2);
    RotateBytes(h.offBits);
}

void RotateBytes(BitmapInfoHeader& h)
{
    RotateBytes(h.size);
    RotateBytes(h.width);
    RotateBytes(h.height);
    RotateBytes(h.planes);
    RotateBytes(h.bitCount);
    RotateBytes(h.compression);
    RotateBytes(h.sizeImage);
    RotateBytes(h.xPelsPerMeter);
    RotateBytes(h.yPelsPerMeter);
    RotateBytes(h.clrUsed);
    RotateBytes(h.clrImportant);
}

void RotateBytes(CursorDir& d)
{
    RotateBytes(d.reserved);
    RotateBytes(d.type);
    RotateBytes(d.count);
}

void RotateBytes(CursorDirEntry& e)
{
    RotateBytes(e.hotX);
    RotateBytes(e.hotY);
    RotateBytes(e.bytesInRes);
    RotateBytes(e.imageOffset);
}

QImage LoadAlphaBitmap(const QString& path, bool premultiplied)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QImage();
    const qint64 fileSize = f.size();
    const QByteArray fileHead = readExactly(f, kFileHeaderBytes);
    if (fileHead.isEmpty())
        return QImage();
    const BitmapFileHeader fh = parseFileHeader(fileHead.constData());
    const qint64 offset = fh.offBits;
    if (fh.type != kBitmapType || offset < kFileHeaderBytes + kInfoHeaderBytes || offset > fileSize)
        return QImage();
    const QByteArray headers = readExactly(f, offset - kFileHeaderBytes);  // info header and any colour masks
    if (headers.isEmpty())
        return QImage();
    const BitmapInfoHeader ih = parseInfoHeader(headers.constData());
    if (ih.size < kInfoHeaderBytes || ih.planes != 1 || (ih.compression != 0 && ih.compression != 3) || ih.bitCount != 32)
        return QImage();

    const qint64 width = ih.width;
    const qint64 height = ih.height < 0 ? -qint64(ih.height) : qint64(ih.height);
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
        return QImage();
    const qint64 rowBytes = 4 * width;
    const qint64 pixelBytes = rowBytes * height;
    if (pixelBytes > fileSize - offset)
        return QImage();  // truncated

    QImage image(int(width), int(height), premultiplied ? QImage::Format_ARGB32_Premultiplied : QImage::Format_ARGB32);
    if (image.isNull() || image.bytesPerLine() != rowBytes || image.sizeInBytes() != pixelBytes)
        return QImage();
    if (!f.seek(offset) || f.read(reinterpret_cast<char*>(image.bits()), pixelBytes) != pixelBytes)
        return QImage();

    auto* words = reinterpret_cast<std::uint32_t*>(image.bits());
    const std::size_t count = std::size_t(width * height);
    if constexpr (kBigEndian)
        RotateBytes(words, count);  // B, G, R, A bytes read as 0xAARRGGBB
    if (premultiplied) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t p = words[i];
            const std::uint32_t a = p >> 24;
            const std::uint32_t r = ((p >> 16) & 0xff) * a / 255;
            const std::uint32_t g = ((p >> 8) & 0xff) * a / 255;
            const std::uint32_t b = (p & 0xff) * a / 255;
            words[i] = (a << 24) | (r << 16) | (g << 8) | b;
        }
    }
    return ih.height > 0 ? image.mirrored(false, true) : image;
}

void winLoadCursorFile(const std::wstring& path, std::vector<QCursor*>& cursors)
{
    QFile f(QString::fromStdWString(path));
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QByteArray dirBytes = readExactly(f, 6);
    if (dirBytes.isEmpty())
        return;
    const CursorDir dir = parseCursorDir(dirBytes.constData());
    if (dir.reserved != 0 || dir.type != 2 || dir.count == 0)
        return;
    const QByteArray entryBytes = readExactly(f, 16 * qint64(dir.count));
    if (entryBytes.isEmpty())
        return;
    for (int i = 0; i < dir.count; ++i) {
        const CursorDirEntry entry = parseCursorDirEntry(entryBytes.constData() + 16 * i);
        if (QCursor* c = readCursorImage(f, entry))
            cursors.push_back(c);
    }
}

QCursor loadWndCursor(const QString& path)
{
    std::vector<QCursor*> cursors;
    winLoadCursorFile(path.toStdWString(), cursors);
    QCursor result = cursors.empty() ? QCursor() : *cursors.front();
    for (QCursor*& c : cursors)
        DeleteObject<QCursor>()(c);
    return result;
}

}  // namespace VarnoBase
