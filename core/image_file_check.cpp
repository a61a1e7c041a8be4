// JPEG: walk the marker segments by their lengths and the entropy-coded data of each
// scan up to the next marker; a file that runs out before the end-of-image marker is
// cut off. BMP: an uncompressed bitmap needs its pixel offset plus padded rows times
// height bytes. Anything the walk does not understand is left to the decoder.
#include "core/image_file_check.h"

#include <QFile>

#include <cstdint>
#include <cstdlib>

namespace PanoramaLib {

bool IsTruncatedJpeg(const unsigned char* d, std::size_t n)
{
    if (n < 2 || d[0] != 0xFF || d[1] != 0xD8)
        return false;  // not a JPEG stream: not ours to judge
    std::size_t pos = 2;
    for (;;) {
        if (pos >= n)
            return true;
        if (d[pos] != 0xFF)
            return false;  // unexpected structure; the decoder has accepted it
        while (pos < n && d[pos] == 0xFF)
            ++pos;
        if (pos >= n)
            return true;
        const unsigned char marker = d[pos++];
        if (marker == 0xD9)
            return false;  // end of image
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;  // markers without a length
        if (pos + 2 > n)
            return true;
        const std::size_t length = (std::size_t(d[pos]) << 8) | d[pos + 1];
        if (length < 2)
            return false;
        pos += length;
        if (pos > n)
            return true;
        if (marker != 0xDA)
            continue;
        // Entropy-coded data of a scan: runs to the next marker other than a stuffed
        // zero or a restart marker.
        for (;;) {
            if (pos >= n)
                return true;
            if (d[pos] != 0xFF) {
                ++pos;
                continue;
            }
            if (pos + 1 >= n)
                return true;
            const unsigned char next = d[pos + 1];
            if (next == 0xFF) {
                ++pos;  // fill byte
            } else if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                pos += 2;
            } else {
                break;  // a marker: back to the segment walk
            }
        }
    }
}

bool IsTruncatedBmp(const unsigned char* d, std::size_t n)
{
    auto u16 = [&](std::size_t at) { return std::uint32_t(d[at]) | (std::uint32_t(d[at + 1]) << 8); };
    auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
    if (n < 26 || d[0] != 'B' || d[1] != 'M')
        return n >= 2 && d[0] == 'B' && d[1] == 'M';
    const std::uint64_t offset = u32(10);
    const std::uint32_t headerSize = u32(14);
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::uint32_t bitCount = 0;
    std::uint32_t compression = 0;
    if (headerSize == 12) {
        width = u16(18);
        height = u16(20);
        bitCount = u16(24);
    } else {
        if (n < 34)
            return true;
        width = std::int32_t(u32(18));
        height = std::int32_t(u32(22));
        bitCount = u16(28);
        compression = u32(30);
    }
    if (compression != 0 && compression != 3)
        return false;  // run-length coded: no fixed size to check
    if (width <= 0 || bitCount == 0)
        return false;
    const std::uint64_t rowBytes = (std::uint64_t(width) * bitCount + 31) / 32 * 4;
    const std::uint64_t needed = offset + rowBytes * std::uint64_t(std::llabs(height));
    return needed > n;
}

bool IsTruncatedImageFile(const QString& path, const QByteArray& format)
{
    const bool jpeg = format == "jpeg" || format == "jpg";
    const bool bmp = format == "bmp";
    if (!jpeg && !bmp)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true;  // vanished since it was decoded
    const qint64 size = file.size();
    if (size <= 0)
        return true;
    const uchar* data = file.map(0, size);
    if (data) {
        const bool truncated = jpeg ? IsTruncatedJpeg(data, std::size_t(size)) : IsTruncatedBmp(data, std::size_t(size));
        file.unmap(const_cast<uchar*>(data));
        return truncated;
    }
    const QByteArray bytes = file.readAll();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    return jpeg ? IsTruncatedJpeg(p, std::size_t(bytes.size())) : IsTruncatedBmp(p, std::size_t(bytes.size()));
}

}  // namespace PanoramaLib
