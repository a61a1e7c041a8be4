// Writers of the Windows file formats the program keeps among its resources: 32-bit
// BMP files with straight alpha, cursor (.cur) files of 1-bit images, and icon files
// (.ico) with PNG images. Used by the resource generator at build time and by the
// loader tests for their fixtures. All multi-byte fields are written little-endian,
// one by one, whatever the host. Header-only so the tests need no generator library.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <vector>

namespace ResourceWriters {

inline void put16(QByteArray& out, std::uint16_t v)
{
    out.append(char(v & 0xff));
    out.append(char((v >> 8) & 0xff));
}

inline void put32(QByteArray& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
}

// BITMAPINFOHEADER (40 bytes).
inline void putInfoHeader(QByteArray& out, std::int32_t width, std::int32_t height, std::uint16_t bpp,
                          std::uint32_t compression, std::uint32_t imageSize)
{
    put32(out, 40);
    put32(out, std::uint32_t(width));
    put32(out, std::uint32_t(height));
    put16(out, 1);  // planes
    put16(out, bpp);
    put32(out, compression);
    put32(out, imageSize);
    put32(out, 2835);  // 72 dpi
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
}

// A 32-bit BMP of `image` (any format; written as straight-alpha blue, green, red,
// alpha bytes). Rows bottom-up (positive height) unless topDown. `trailing` zero bytes
// follow the pixels (Windows tools pad the file to a multiple of 4).
inline QByteArray alphaBitmapFile(const QImage& image, bool topDown = false, int trailing = 2)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    const int w = argb.width();
    const int h = argb.height();
    const std::uint32_t pixelBytes = std::uint32_t(w) * std::uint32_t(h) * 4u;
    QByteArray out;
    out.append("BM");
    put32(out, 54u + pixelBytes + std::uint32_t(trailing));
    put16(out, 0);
    put16(out, 0);
    put32(out, 54);
    putInfoHeader(out, w, topDown ? -h : h, 32, 0, pixelBytes);
    for (int i = 0; i < h; ++i) {
        const int y = topDown ? i : h - 1 - i;
        const auto* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(char(qBlue(row[x])));
            out.append(char(qGreen(row[x])));
            out.append(char(qRed(row[x])));
            out.append(char(qAlpha(row[x])));
        }
    }
    out.append(QByteArray(trailing, '\0'));
    return out;
}

// One image of a cursor file: 32 pixels wide (rows of whole 32-bit words), 1 bit per
// pixel unless `bpp` says otherwise (other depths are written as a header only, for
// files a loader must skip). Per pixel: AND 1 = transparent, else XOR 0 black, 1 white;
// AND 1 with XOR 1 inverts the screen.
struct CursorImage {
    int width = 32;
    int height = 32;
    int hotX = 0;
    int hotY = 0;
    int bpp = 1;
    std::vector<std::uint8_t> xorMask;  // top row first, width / 8 bytes per row
    std::vector<std::uint8_t> andMask;
};

// A cursor image from a picture: opaque black and white pixels stay, anything with
// alpha below 128 becomes transparent.
inline CursorImage cursorImageFrom(const QImage& picture, int hotX, int hotY)
{
    const QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
    CursorImage c;
    c.width = argb.width();
    c.height = argb.height();
    c.hotX = hotX;
    c.hotY = hotY;
    const int rowBytes = c.width / 8;
    c.xorMask.assign(std::size_t(rowBytes * c.height), 0);
    c.andMask.assign(std::size_t(rowBytes * c.height), 0);
    for (int y = 0; y < c.height; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < c.width; ++x) {
            const std::uint8_t bit = std::uint8_t(0x80u >> (x % 8));
            const std::size_t i = std::size_t(y * rowBytes + x / 8);
            if (qAlpha(row[x]) < 128)
                c.andMask[i] |= bit;
            else if (qGray(row[x]) >= 128)
                c.xorMask[i] |= bit;
        }
    }
    return c;
}

// A .cur file of the given images. The info header's image size field holds the size
// of one mask (the loader reads twice that); its height counts both masks.
inline QByteArray cursorFile(const std::vector<CursorImage>& images, std::uint16_t type = 2)
{
    QByteArray out;
    put16(out, 0);
    put16(out, type);
    put16(out, std::uint16_t(images.size()));
    std::uint32_t offset = 6u + 16u * std::uint32_t(images.size());
    std::vector<std::uint32_t> sizes;
    for (const CursorImage& c : images) {
        const std::uint32_t mask = std::uint32_t(c.width / 8 * c.height);
        const std::uint32_t size = c.bpp == 1 ? 40u + 8u + 2u * mask : 40u;
        out.append(char(c.width));
        out.append(char(c.height));
        out.append(char(c.bpp == 1 ? 2 : 0));
        out.append(char(0));
        put16(out, std::uint16_t(c.hotX));
        put16(out, std::uint16_t(c.hotY));
        put32(out, size);
        put32(out, offset);
        offset += size;
        sizes.push_back(size);
    }
    for (const CursorImage& c : images) {
        const int rowBytes = c.width / 8;
        const std::uint32_t mask = std::uint32_t(rowBytes * c.height);
        putInfoHeader(out, c.width, 2 * c.height, std::uint16_t(c.bpp), 0, mask);
        if (c.bpp != 1)
            continue;
        put32(out, 0x00000000u);  // palette: black, white
        put32(out, 0x00ffffffu);
        for (const auto* m : {&c.xorMask, &c.andMask})
            for (int y = c.height - 1; y >= 0; --y)  // bottom-up
                out.append(reinterpret_cast<const char*>(m->data() + y * rowBytes), rowBytes);
    }
    return out;
}

// An .ico file holding each image as PNG.
inline QByteArray iconFile(const std::vector<QImage>& images)
{
    std::vector<QByteArray> pngs;
    for (const QImage& image : images) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        pngs.push_back(png);
    }
    QByteArray out;
    put16(out, 0);
    put16(out, 1);
    put16(out, std::uint16_t(images.size()));
    std::uint32_t offset = 6u + 16u * std::uint32_t(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        out.append(char(images[i].width() >= 256 ? 0 : images[i].width()));
        out.append(char(images[i].height() >= 256 ? 0 : images[i].height()));
        out.append(char(0));
        out.append(char(0));
        put16(out, 1);
        put16(out, 32);
        put32(out, std::uint32_t(pngs[i].size()));
        put32(out, offset);
        offset += std::uint32_t(pngs[i].size());
    }
    for (const QByteArray& png : pngs)
        out.append(png);
    return out;
}

}  // namespace ResourceWriters
