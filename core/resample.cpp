// The working copies' box filter: StretchHeight first, then StretchWidth, each output
// sample the area-weighted mean of its source span in 16.16 fixed point, rounded half
// up; sums are 64-bit so any size is safe. Rows run on several threads, each output row
// computed exactly as the serial loop would.
#include "core/resample.h"

#include <algorithm>
#include <vector>

#include "core/parallel.h"

namespace {

// Weighted term of one source sample. The terms are summed exactly: truncating each
// partial term to a multiple of 65536 would turn a constant 255 into 254 whenever the
// ratio is not a whole number (every quality-0 copy).
inline std::int64_t Term(std::int64_t value, std::int64_t weight) { return value * weight; }

}  // namespace

// Shrinks each row of `height` rows from srcWidth to dstWidth 24-bit pixels.
void StretchRows(unsigned char* dst, std::size_t dstStride, const unsigned char* src, std::size_t srcStride,
                 int srcWidth, int height, int dstWidth)
{
    if (!dst || !src || srcWidth <= 0 || height <= 0 || dstWidth <= 0)
        return;
    const std::int64_t step = (static_cast<std::int64_t>(srcWidth) << 16) / dstWidth;
    if (step <= 0)
        return;
    Utils::ParallelForRows(height, srcWidth, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const unsigned char* s = src + static_cast<std::size_t>(y) * srcStride;
            unsigned char* d = dst + static_cast<std::size_t>(y) * dstStride;
            std::int64_t a = 0;
            for (int x = 0; x < dstWidth; ++x, d += 3) {
                const std::int64_t b = a + step;
                const std::int64_t ia = a >> 16;
                const std::int64_t ib = b >> 16;
                const std::int64_t fa = a & 0xFFFF;
                const std::int64_t fb = b & 0xFFFF;
                std::int64_t sum[3];
                const unsigned char* p = s + static_cast<std::size_t>(ia) * 3;
                for (int c = 0; c < 3; ++c)
                    sum[c] = Term(p[c], 65536 - fa);
                std::int64_t whole[3] = {0, 0, 0};
                for (std::int64_t k = ia + 1; k < ib; ++k) {
                    const unsigned char* q = s + static_cast<std::size_t>(k) * 3;
                    whole[0] += q[0];
                    whole[1] += q[1];
                    whole[2] += q[2];
                }
                if (ib < srcWidth) {
                    const unsigned char* q = s + static_cast<std::size_t>(ib) * 3;
                    for (int c = 0; c < 3; ++c)
                        sum[c] += Term(q[c], fb);
                }
                const std::int64_t span = b - a;
                for (int c = 0; c < 3; ++c)
                    d[c] = static_cast<unsigned char>(std::min<std::int64_t>((sum[c] + (whole[c] << 16) + span / 2) / span, 255));
                a = b;
            }
        }
    });
}

// Shrinks each column of a `width`-pixel image from srcHeight to dstHeight rows,
// one output row at a time so that the sums run along memory.
void StretchColumns(unsigned char* dst, std::size_t dstStride, const unsigned char* src, std::size_t srcStride,
                    int width, int srcHeight, int dstHeight)
{
    if (!dst || !src || width <= 0 || srcHeight <= 0 || dstHeight <= 0)
        return;
    const std::int64_t step = (static_cast<std::int64_t>(srcHeight) << 16) / dstHeight;
    if (step <= 0)
        return;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    Utils::ParallelForRows(dstHeight, static_cast<std::int64_t>(width) * (srcHeight / dstHeight + 1),
                           [&](int y0, int y1) {
                               std::vector<std::int64_t> sum(rowBytes);
                               std::vector<std::int64_t> whole(rowBytes);
                               for (int y = y0; y < y1; ++y) {
                                   const std::int64_t a = static_cast<std::int64_t>(y) * step;
                                   const std::int64_t b = a + step;
                                   const std::int64_t ia = a >> 16;
                                   const std::int64_t ib = b >> 16;
                                   const std::int64_t fa = a & 0xFFFF;
                                   const std::int64_t fb = b & 0xFFFF;
                                   const unsigned char* first = src + static_cast<std::size_t>(ia) * srcStride;
                                   for (std::size_t i = 0; i < rowBytes; ++i)
                                       sum[i] = Term(first[i], 65536 - fa);
                                   std::fill(whole.begin(), whole.end(), 0);
                                   for (std::int64_t k = ia + 1; k < ib; ++k) {
                                       const unsigned char* r = src + static_cast<std::size_t>(k) * srcStride;
                                       for (std::size_t i = 0; i < rowBytes; ++i)
                                           whole[i] += r[i];
                                   }
                                   if (ib < srcHeight) {
                                       const unsigned char* last = src + static_cast<std::size_t>(ib) * srcStride;
                                       for (std::size_t i = 0; i < rowBytes; ++i)
                                           sum[i] += Term(last[i], fb);
                                   }
                                   const std::int64_t span = b - a;
                                   unsigned char* d = dst + static_cast<std::size_t>(y) * dstStride;
                                   for (std::size_t i = 0; i < rowBytes; ++i)
                                       d[i] = static_cast<unsigned char>(
                                           std::min<std::int64_t>((sum[i] + (whole[i] << 16) + span / 2) / span, 255));
                               }
                           });
}

void StretchWidth(unsigned char* dst, const unsigned char* src, int srcWidth, int height, int dstWidth)
{
    StretchRows(dst, Stride24(dstWidth), src, Stride24(srcWidth), srcWidth, height, dstWidth);
}

void StretchHeight(unsigned char* dst, const unsigned char* src, int width, int srcHeight, int dstHeight)
{
    StretchColumns(dst, Stride24(width), src, Stride24(width), width, srcHeight, dstHeight);
}

