// Helpers of the surface render shared by the per-pixel reference path and the row
// loops: the blend weight, the bilinear sample and the row-band runner.
#pragma once

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/parallel.h"
#include "engine/blending.h"


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

using Utils::ParallelBands;
using Utils::ParallelRows;
