// Box-filter shrink of 24-bit images whose rows are padded to 4 bytes, as both engines
// make their working copies: each output pixel averages the source span it covers, in
// 16.16 fixed point with 64-bit sums (any size is safe), rounded half up. Rows are
// shrunk on several threads (core/parallel.h); the caller owns both buffers.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes per row of a 24-bit image `width` pixels wide, padded to 4 bytes.
inline std::size_t Stride24(std::int64_t width)
{
    return static_cast<std::size_t>(((width * 24 + 31) / 32) * 4);
}

// Shrinks each of `height` rows from srcWidth to dstWidth 24-bit pixels (explicit strides).
void StretchRows(unsigned char* dst, std::size_t dstStride, const unsigned char* src, std::size_t srcStride,
                 int srcWidth, int height, int dstWidth);
// Shrinks each column of a `width`-pixel image from srcHeight to dstHeight rows.
void StretchColumns(unsigned char* dst, std::size_t dstStride, const unsigned char* src, std::size_t srcStride,
                    int width, int srcHeight, int dstHeight);
// StretchWidth shrinks along rows (dstWidth <= srcWidth), StretchHeight down columns.
void StretchWidth(unsigned char* dst, const unsigned char* src, int srcWidth, int height, int dstWidth);
void StretchHeight(unsigned char* dst, const unsigned char* src, int width, int srcHeight, int dstHeight);
