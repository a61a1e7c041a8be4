// JPEG: walk the marker segments by their lengths and the entropy-coded data of each
// scan up to the next marker; a file that runs out before the end-of-image marker is
// cut off, unless it runs out in the data of a scan after every part of the image has
// had its scan (some writers leave out the end marker). Stray bytes between segments
// are stepped over as the decoder does. Whether the coded data itself is whole, only a
// decoder can say: libjpeg reports each problem through its own message code (Qt's
// reader passes on only the first of a file's warnings, as text), so the data of a file
// that the toolkit's decoder complained about, or that ends inside a scan, is decoded
// once more here at one eighth of its size, which reads every coded coefficient.
// BMP: an uncompressed bitmap needs its pixel offset plus padded rows times
// height bytes. Anything the walk does not understand is left to the decoder.
#include "core/image_file_check.h"

#include <QFile>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <jpeglib.h>

#include <jerror.h>
}

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

// How a JPEG stream ends, by its segment structure alone.
enum class JpegEnd {
    Whole,       // at its end-of-image marker (or a structure the walk does not know)
    Cut,         // inside a segment, or before every part of the image has had its scan
    InLastScan,  // in the coded data of the last scan: whole or cut, a decoder must say
};
struct JpegLayout {
    JpegEnd end = JpegEnd::Cut;
    std::size_t strayBytes = 0;  // bytes between segments that are no marker
};

// What libjpeg met decoding the coded data of a JPEG stream.
struct JpegDecodeReport {
    bool unreadable = false;       // coded data ran out, made no code, lost a restart, or stopped the decoder
    std::size_t skippedBytes = 0;  // bytes it skipped in front of markers
};

bool IsFrameMarker(unsigned char m)
{
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

JpegLayout WalkJpeg(const unsigned char* d, std::size_t n)
{
    JpegLayout layout;
    if (n < 2 || d[0] != 0xFF || d[1] != 0xD8) {
        layout.end = JpegEnd::Whole;  // not a JPEG stream: not ours to judge
        return layout;
    }
    ScanCoverage coverage;
    std::size_t pos = 2;
    for (;;) {
        while (pos < n && d[pos] != 0xFF) {
            ++pos;  // stray bytes before a marker, which the decoder skips as well
            ++layout.strayBytes;
        }
        while (pos < n && d[pos] == 0xFF)
            ++pos;
        if (pos >= n)
            return layout;  // JpegEnd::Cut
        const unsigned char marker = d[pos++];
        if (marker == 0xD9) {
            layout.end = JpegEnd::Whole;
            return layout;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;  // markers without a length
        if (pos + 2 > n)
            return layout;
        const std::size_t length = (static_cast<std::size_t>(d[pos]) << 8) | d[pos + 1];
        if (length < 2) {
            layout.end = JpegEnd::Whole;  // unexpected structure; the decoder has accepted it
            return layout;
        }
        if (pos + length > n)
            return layout;
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
            if (pos + 1 >= n) {
                layout.end = coverage.Complete() ? JpegEnd::InLastScan : JpegEnd::Cut;
                return layout;
            }
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

struct CheckingErrorManager {
    jpeg_error_mgr base;  // first, so libjpeg's pointer to it is one to the whole
    std::jmp_buf exit;
    JpegDecodeReport report;
};

void NoteWarning(j_common_ptr info, int level)
{
    if (level >= 0)
        return;  // trace messages
    auto* manager = reinterpret_cast<CheckingErrorManager*>(info->err);
    switch (manager->base.msg_code) {
    case JWRN_HIT_MARKER:     // coded data ran out before the blocks it must hold
    case JWRN_HUFF_BAD_CODE:  // data that no code of the table describes
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:  // a restart interval lost
        manager->report.unreadable = true;
        break;
    case JWRN_EXTRANEOUS_DATA:
        manager->report.skippedBytes += static_cast<std::size_t>(std::max(manager->base.msg_parm.i[0], 0));
        break;
    default:
        break;  // a missing end marker, an unknown JFIF revision, a thumbnail's size...
    }
}

[[noreturn]] void StopDecoding(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<CheckingErrorManager*>(info->err)->exit, 1);
}

// Separate from DecodeJpegCodedData so that nothing with a destructor lives in the
// frame that longjmp leaves.
void DecodeInto(jpeg_decompress_struct* info, CheckingErrorManager* manager, const unsigned char* d, std::size_t n)
{
    if (setjmp(manager->exit)) {
        manager->report.unreadable = true;
        return;
    }
    jpeg_CreateDecompress(info, JPEG_LIB_VERSION, sizeof(*info));
    jpeg_mem_src(info, d, static_cast<unsigned long>(n));
    if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK) {
        manager->report.unreadable = true;
        return;
    }
    // One eighth of the size still decodes every coded coefficient; only the
    // transforms and the colour work shrink.
    info->scale_num = 1;
    info->scale_denom = 8;
    info->dct_method = JDCT_IFAST;
    info->do_fancy_upsampling = FALSE;
    info->do_block_smoothing = FALSE;
    jpeg_start_decompress(info);
    JSAMPARRAY row =
        (*info->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE,
                                   info->output_width * static_cast<JDIMENSION>(info->output_components), 1);
    while (info->output_scanline < info->output_height)
        jpeg_read_scanlines(info, row, 1);
    jpeg_finish_decompress(info);
}

JpegDecodeReport DecodeJpegCodedData(const unsigned char* d, std::size_t n)
{
    jpeg_decompress_struct info{};
    CheckingErrorManager manager{};
    info.err = jpeg_std_error(&manager.base);
    manager.base.emit_message = NoteWarning;
    manager.base.error_exit = StopDecoding;
    DecodeInto(&info, &manager, d, n);
    jpeg_destroy_decompress(&info);
    return manager.report;
}

}  // namespace

bool IsTruncatedJpeg(const unsigned char* d, std::size_t n)
{
    return WalkJpeg(d, n).end == JpegEnd::Cut;
}

bool IsJpegDataMissing(const unsigned char* d, std::size_t n, bool decoderWarned)
{
    const JpegLayout layout = WalkJpeg(d, n);
    if (layout.end == JpegEnd::Cut)
        return true;
    if (!decoderWarned && layout.end != JpegEnd::InLastScan)
        return false;
    const JpegDecodeReport report = DecodeJpegCodedData(d, n);
    // Bytes the decoder skipped beyond the stray ones between segments are coded data
    // it had no use for: it went out of step with the data and read the wrong blocks.
    // Some encoders leave a byte or two of padding behind their last scan.
    constexpr std::size_t kLeftoverPadding = 8;
    return report.unreadable || report.skippedBytes > layout.strayBytes + kLeftoverPadding;
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

bool IsImageDataMissing(const QString& path, const QByteArray& format, bool decoderWarned)
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
    auto judge = [&](const unsigned char* p, std::size_t n) {
        return jpeg ? IsJpegDataMissing(p, n, decoderWarned) : IsTruncatedBmp(p, n);
    };
    const uchar* data = file.map(0, size);
    if (data) {
        const bool missing = judge(data, static_cast<std::size_t>(size));
        file.unmap(const_cast<uchar*>(data));
        return missing;
    }
    const QByteArray bytes = file.readAll();
    return judge(reinterpret_cast<const unsigned char*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
}

}  // namespace PanoramaLib
