// JPEG: walk the marker segments by their lengths and the entropy-coded data of each
// scan up to the next marker; a file that runs out before the end-of-image marker is
// cut off, unless it runs out in the data of a scan after every part of the image has
// had its scan (some writers leave out the end marker). BMP: an uncompressed bitmap needs its pixel offset plus padded rows times
// height bytes. Anything the walk does not understand is left to the decoder.
#include "core/image_file_check.h"

#include <QFile>

#include <cstdint>
#include <cstdlib>

namespace PanoramaLib {

namespace {

// Which parts of the image the scans seen so far have delivered. A sequential scan
// delivers its components whole; a progressive one delivers a band of coefficients of
// one or more components, in full only at its last refinement (low bit 0).
class ScanCoverage {
public:
    void Frame(unsigned char marker, const unsigned char* seg, std::size_t len)
    {
        m_progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
        m_components = len >= 6 ? seg[5] : 0;
        m_known = m_components >= 1 && m_components <= kMax && len >= 6 + 3 * static_cast<std::size_t>(m_components);
        for (int c = 0; m_known && c < m_components; ++c) {
            m_ids[c] = seg[6 + 3 * c];
            m_done[c] = 0;
        }
    }
    void Scan(const unsigned char* seg, std::size_t len)
    {
        const std::size_t ns = len >= 1 ? seg[0] : 0;
        if (!m_known || ns == 0 || len < 1 + 2 * ns + 3)
            return;
        const int ss = seg[1 + 2 * ns];
        const int se = seg[2 + 2 * ns];
        const int al = seg[3 + 2 * ns] & 0x0F;
        std::uint64_t band = ~static_cast<std::uint64_t>(0);
        if (m_progressive) {
            if (ss > se || se > 63 || al != 0)
                return;
            band = (se == 63 ? ~static_cast<std::uint64_t>(0) : (static_cast<std::uint64_t>(1) << (se + 1)) - 1) &
                   ~((static_cast<std::uint64_t>(1) << ss) - 1);
        }
        for (std::size_t k = 0; k < ns; ++k)
            for (int c = 0; c < m_components; ++c)
                if (m_ids[c] == seg[1 + 2 * k])
                    m_done[c] |= band;
    }
    bool Complete() const
    {
        for (int c = 0; m_known && c < m_components; ++c)
            if (m_done[c] != ~static_cast<std::uint64_t>(0))
                return false;
        return m_known;
    }

private:
    static constexpr int kMax = 4;
    bool m_known = false;
    bool m_progressive = false;
    int m_components = 0;
    unsigned char m_ids[kMax] = {};
    std::uint64_t m_done[kMax] = {};
};

bool IsFrameMarker(unsigned char m)
{
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

}  // namespace

bool IsTruncatedJpeg(const unsigned char* d, std::size_t n)
{
    if (n < 2 || d[0] != 0xFF || d[1] != 0xD8)
        return false;  // not a JPEG stream: not ours to judge
    ScanCoverage coverage;
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
        const std::size_t length = (static_cast<std::size_t>(d[pos]) << 8) | d[pos + 1];
        if (length < 2)
            return false;
        if (pos + length > n)
            return true;
        if (IsFrameMarker(marker))
            coverage.Frame(marker, d + pos + 2, length - 2);
        else if (marker == 0xDA)
            coverage.Scan(d + pos + 2, length - 2);
        pos += length;
        if (marker != 0xDA)
            continue;
        // Entropy-coded data of a scan: runs to the next marker other than a stuffed
        // zero or a restart marker. A file that ends in it lacks only its end marker
        // when every scan of the image is there; the decoder tells whether the last
        // scan's data was cut short.
        for (;;) {
            if (pos + 1 >= n)
                return !coverage.Complete();
            if (d[pos] != 0xFF) {
                ++pos;
                continue;
            }
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
    auto u16 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(d[at]) | (static_cast<std::uint32_t>(d[at + 1]) << 8);
    };
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
        width = static_cast<std::int32_t>(u32(18));
        height = static_cast<std::int32_t>(u32(22));
        bitCount = u16(28);
        compression = u32(30);
    }
    if (compression != 0 && compression != 3)
        return false;  // run-length coded: no fixed size to check
    if (width <= 0 || bitCount == 0)
        return false;
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * bitCount + 31) / 32 * 4;
    const std::uint64_t needed = offset + rowBytes * static_cast<std::uint64_t>(std::llabs(height));
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
        const bool truncated = jpeg ? IsTruncatedJpeg(data, static_cast<std::size_t>(size))
                                    : IsTruncatedBmp(data, static_cast<std::size_t>(size));
        file.unmap(const_cast<uchar*>(data));
        return truncated;
    }
    const QByteArray bytes = file.readAll();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    return jpeg ? IsTruncatedJpeg(p, static_cast<std::size_t>(bytes.size()))
                : IsTruncatedBmp(p, static_cast<std::size_t>(bytes.size()));
}

}  // namespace PanoramaLib
