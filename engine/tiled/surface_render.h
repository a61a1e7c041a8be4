// Helpers of the surface render shared by the per-pixel reference path and the row
// loops: the blend weight, the bilinear sample and the row-band runner.
#pragma once

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

// Non-zero (the default): photos are blended by AddImageToPano; zero: by the
// half-and-half AddImageToPano_Blending50Percent.
extern int g_fDoSmartBlending1;

// Blend weight of a photo pixel from its centred coordinates divided by the photo's
// integer half sizes (a = |u| / hw, b = |v| / hh): 65535 at the centre, 1 at the left
// and right edges, 16384 at the top and bottom edges.
inline unsigned short Calc_Weight(double a, double b) noexcept
{
    const double m = std::max(a, b);
    double c = 0.5 * (a * a + 0.5 * b * b + m * m);
    c = std::clamp(c, 0.0, 1.0);
    return static_cast<unsigned short>((1.0 - c) * 65534.0 + 1.0);
}

// Bilinear sample of the three bytes of a 24-bit pixel at p (its top-left neighbour) with
// fractions fx, fy in [0, 1); each result is truncated.
inline void BilinearSample(const unsigned char* p, std::int64_t bpl, double fx, double fy, unsigned char out[3]) noexcept
{
    const double w00 = (1.0 - fx) * (1.0 - fy), w10 = fx * (1.0 - fy), w01 = (1.0 - fx) * fy, w11 = fx * fy;
    const unsigned char* q = p + bpl;
    for (int k = 0; k < 3; ++k)
        out[k] = static_cast<unsigned char>(w00 * p[k] + w10 * p[3 + k] + w01 * q[k] + w11 * q[3 + k]);
}

inline unsigned char BilinearByte(const unsigned char* p, std::int64_t bpl, int k, double fx, double fy) noexcept
{
    unsigned char out[3];
    BilinearSample(p, bpl, fx, fy, out);
    return out[k];
}

// Splits [begin, end) into `threads` contiguous bands (fewer when there are fewer rows)
// and runs fn(band, first, last) for each, band 0 on the calling thread; returns when
// all are done.
template <class Fn>
void ParallelBands(int begin, int end, int threads, const Fn& fn)
{
    const int rows = end - begin;
    if (rows <= 0)
        return;
    threads = std::clamp(threads, 1, rows);
    auto band = [&](int k) {
        const int b0 = begin + static_cast<int>(static_cast<std::int64_t>(rows) * k / threads);
        const int b1 = begin + static_cast<int>(static_cast<std::int64_t>(rows) * (k + 1) / threads);
        fn(k, b0, b1);
    };
    if (threads == 1) {
        band(0);
        return;
    }
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(threads - 1));
    try {
        for (int k = 1; k < threads; ++k)
            pool.emplace_back(band, k);
    } catch (...) {
        // No further thread could be started: the remaining bands run here.
        for (int k = static_cast<int>(pool.size()) + 1; k < threads; ++k)
            band(k);
    }
    band(0);
    for (std::thread& t : pool)
        t.join();
}

// Runs fn(row) for every row of [begin, end), in bands on up to `threads` threads.
// Rows must be independent.
template <class Fn>
void ParallelRows(int begin, int end, int threads, const Fn& fn)
{
    ParallelBands(begin, end, threads, [&](int, int b0, int b1) {
        for (int y = b0; y < b1; ++y)
            fn(y);
    });
}

// Threads to use for a setting of 0 (one per core, at most 8) or n.
inline int RenderThreads(int setting) noexcept
{
    if (setting > 0)
        return setting;
    const unsigned hc = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(hc, 1u, 8u));
}
