// Readers of two Windows file formats kept among the compiled-in resources: 32-bit BMP
// files with an alpha channel (the matching dialog's marker pins) and cursor files
// (.cur, the panorama view's tool cursors). Both parse the little-endian fields one by
// one from the bytes read and check every size and offset against the file's length,
// so a damaged file gives a null image or no cursor, never a read past the data.
// Sizes in pixels; GUI thread (QCursor needs the GUI application).
#pragma once

#include <QCursor>
#include <QImage>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace VarnoBase {

struct BitmapFileHeader {  // 14 bytes in the file
    std::uint16_t type = 0;  // "BM" = 0x4D42
    std::uint32_t size = 0;
    std::uint16_t reserved1 = 0;
    std::uint16_t reserved2 = 0;
    std::uint32_t offBits = 0;  // pixel data, from the start of the file
};

struct BitmapInfoHeader {  // 40 bytes in the file
    std::uint32_t size = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;  // positive: rows bottom-up
    std::uint16_t planes = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0;  // 0 none, 3 bit fields
    std::uint32_t sizeImage = 0;
    std::int32_t xPelsPerMeter = 0;
    std::int32_t yPelsPerMeter = 0;
    std::uint32_t clrUsed = 0;
    std::uint32_t clrImportant = 0;
};

struct RgbQuad {
    std::uint8_t blue = 0;
    std::uint8_t green = 0;
    std::uint8_t red = 0;
    std::uint8_t reserved = 0;
};

struct CursorDir {  // 6 bytes
    std::uint16_t reserved = 0;
    std::uint16_t type = 0;  // 2: cursors
    std::uint16_t count = 0;
};

struct CursorDirEntry {  // 16 bytes
    std::uint8_t width = 0;
    std::uint8_t height = 0;
    std::uint8_t colorCount = 0;
    std::uint8_t reserved = 0;
    std::uint16_t hotX = 0;
    std::uint16_t hotY = 0;
    std::uint32_t bytesInRes = 0;
    std::uint32_t imageOffset = 0;
};

// Byte order reversal of each multi-byte field (8-bit fields stay); applied on a
// big-endian host right after a structure is read.
void RotateBytes(std::uint16_t& v);
void RotateBytes(std::uint32_t& v);
void RotateBytes(std::int32_t& v);
void RotateBytes(std::uint32_t* words, std::size_t count);
void RotateBytes(BitmapFileHeader& h);
void RotateBytes(BitmapInfoHeader& h);
void RotateBytes(CursorDir& d);
void RotateBytes(CursorDirEntry& e);

template <class T>
struct DeleteObject {
    void operator()(T*& p) const
    {
        delete p;
        p = nullptr;
    }
};

// A 32-bit image with alpha (ARGB32, or ARGB32_Premultiplied when asked), or a null
// image for anything but an uncompressed or bit-field 32-bit BMP that the file holds whole.
QImage LoadAlphaBitmap(const QString& path, bool premultiplied);

// Appends one heap-allocated cursor per usable 1-bit image of the file; the caller owns them.
void winLoadCursorFile(const std::wstring& path, std::vector<QCursor*>& cursors);

// The file's first cursor, or the arrow when it has none.
QCursor loadWndCursor(const QString& path);

}  // namespace VarnoBase
