// Reduce and expand of 8-bit pyramid levels (see the header). Both run as two
// separable one-dimensional passes through a temporary level; rows of each pass are
// independent and large levels split them over threads without changing a sample.
#include "engine/hv/laplacian_pyramid.h"

#include <algorithm>
#include <memory>
#include <new>

#include "core/parallel.h"

namespace LaplacianPyramid {

CLevel::CLevel(int w, int h) : RefCounter(1), width(std::max(w, 0)), height(std::max(h, 0))
{
    stride = (width + 3) & ~3;
    const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    if (bytes > 0) {
        data = new (std::nothrow) unsigned char[bytes]();
        if (!data)
            throw outofmemory();
    }
}

CLevel::~CLevel() { delete[] data; }

CPyramid::~CPyramid() { RemoveLevels(); }

void CPyramid::RemoveLevels()
{
    for (CLevel* level : levels)
        VarnoBase::RefCounter::SafeRelease(level);
    levels.clear();
}

CLevel* CPyramid::RemoveLevel(int i)
{
    if (i < 0 || static_cast<std::size_t>(i) >= levels.size())
        return nullptr;
    CLevel* level = levels[static_cast<std::size_t>(i)];
    levels.erase(levels.begin() + i);
    return level;
}

void CPyramid::Build(int count, bool laplacian)
{
    for (int i = 0; i + 1 < count && static_cast<std::size_t>(i) < levels.size(); ++i) {
        levels.reserve(levels.size() + 1);  // a throw here leaves the pyramid as it was
        levels.push_back(Reduce(levels[static_cast<std::size_t>(i)]));
        if (laplacian)
            Expand_Laplacian(levels[static_cast<std::size_t>(i)], levels[static_cast<std::size_t>(i) + 1]);
    }
}

namespace {

// Expands n coarse samples to 2n - 1.
inline void Expand1D(const unsigned char* in, unsigned char* out, int n)
{
    if (n == 1) {
        out[0] = in[0];
        return;
    }
    out[0] = static_cast<unsigned char>((8 * in[0] + in[1]) / 9);
    for (int i = 1; i < n - 1; ++i) {
        out[2 * i - 1] = static_cast<unsigned char>((in[i - 1] + in[i]) >> 1);
        out[2 * i] = static_cast<unsigned char>((in[i - 1] + 8 * in[i] + in[i + 1]) / 10);
    }
    out[2 * n - 3] = static_cast<unsigned char>((in[n - 2] + in[n - 1]) >> 1);
    out[2 * n - 2] = static_cast<unsigned char>((in[n - 2] + 8 * in[n - 1]) / 9);
}

// One row of the (1 5 8 5 1)/20 reduction: n samples to n/2 + 1.
inline void Reduce1D(const unsigned char* s, unsigned char* d, int n)
{
    const int outN = n / 2 + 1;
    const auto edge = [&](int x) {
        const int c = 2 * x;
        const int m2 = std::clamp(c - 2, 0, n - 1);
        const int m1 = std::clamp(c - 1, 0, n - 1);
        const int c0 = std::min(c, n - 1);
        const int p1 = std::min(c + 1, n - 1);
        const int p2 = std::min(c + 2, n - 1);
        d[x] = static_cast<unsigned char>((s[m2] + 5 * s[m1] + 8 * s[c0] + 5 * s[p1] + s[p2]) / 20);
    };
    // Outputs whose five taps all lie inside: 2 <= 2x and 2x + 2 <= n - 1.
    const int first = 1;
    const int last = (n - 3) / 2;  // inclusive
    int x = 0;
    for (; x < std::min(first, outN); ++x)
        edge(x);
    for (; x <= last && x < outN; ++x) {
        const unsigned char* p = s + 2 * x - 2;
        d[x] = static_cast<unsigned char>((p[0] + 5 * p[1] + 8 * p[2] + 5 * p[3] + p[4]) / 20);
    }
    for (; x < outN; ++x)
        edge(x);
}

// The column pass of the expansion: wc x (2 hc - 1), written row by row so that it
// runs along memory.
void ExpandColumns(const CLevel* coarse, CLevel& tmp)
{
    const int wc = coarse->width;
    const int hc = coarse->height;
    Utils::ParallelForRows(tmp.height, wc, [&](int r0, int r1) {
        for (int r = r0; r < r1; ++r) {
            unsigned char* dst = tmp.Row(r);
            const int i = r / 2;
            if (r & 1) {
                const unsigned char* a = coarse->Row(i);
                const unsigned char* b = coarse->Row(i + 1);
                for (int x = 0; x < wc; ++x)
                    dst[x] = static_cast<unsigned char>((a[x] + b[x]) >> 1);
            } else if (hc == 1) {
                std::copy(coarse->Row(0), coarse->Row(0) + wc, dst);
            } else if (i == 0) {
                const unsigned char* a = coarse->Row(0);
                const unsigned char* b = coarse->Row(1);
                for (int x = 0; x < wc; ++x)
                    dst[x] = static_cast<unsigned char>((8 * a[x] + b[x]) / 9);
            } else if (i == hc - 1) {
                const unsigned char* a = coarse->Row(i - 1);
                const unsigned char* b = coarse->Row(i);
                for (int x = 0; x < wc; ++x)
                    dst[x] = static_cast<unsigned char>((a[x] + 8 * b[x]) / 9);
            } else {
                const unsigned char* a = coarse->Row(i - 1);
                const unsigned char* b = coarse->Row(i);
                const unsigned char* c = coarse->Row(i + 1);
                for (int x = 0; x < wc; ++x)
                    dst[x] = static_cast<unsigned char>((a[x] + 8 * b[x] + c[x]) / 10);
            }
        }
    });
}

// Expands the coarse level (columns first, then rows) and combines each expanded
// sample into the fine level; the row pass goes through one row buffer per band, so
// the full-size expansion is never stored.
template <class Combine>
void ExpandInto(const CLevel* fine, const CLevel* coarse, Combine&& combine)
{
    if (!fine || !coarse || coarse->width <= 0 || coarse->height <= 0)
        return;
    const int wc = coarse->width;
    CLevel tmp(wc, 2 * coarse->height - 1);
    ExpandColumns(coarse, tmp);
    const int w = std::min(fine->width, 2 * wc - 1);
    const int h = std::min(fine->height, tmp.height);
    Utils::ParallelForRows(h, w, [&](int y0, int y1) {
        std::vector<unsigned char> row(static_cast<std::size_t>(2 * wc - 1));
        for (int y = y0; y < y1; ++y) {
            Expand1D(tmp.Row(y), row.data(), wc);
            unsigned char* f = fine->Row(y);
            for (int x = 0; x < w; ++x)
                f[x] = static_cast<unsigned char>(std::clamp(
                    combine(static_cast<int>(f[x]), static_cast<int>(row[static_cast<std::size_t>(x)])), 0, 255));
        }
    });
}

}  // namespace

CLevel* Reduce(const CLevel* level)
{
    const int w = level->width;
    const int h = level->height;
    const int wo = w / 2 + 1;
    const int ho = h / 2 + 1;
    CLevel tmp(wo, h);
    if (w > 0) {
        Utils::ParallelForRows(h, wo * 5, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                const unsigned char* src = level->Row(y);
                unsigned char* dst = tmp.Row(y);
                Reduce1D(src, dst, w);
            }
        });
    }
    std::unique_ptr<CLevel> out(new CLevel(wo, ho));
    if (h > 0) {
        Utils::ParallelForRows(ho, wo * 5, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                const int c = 2 * y;
                const unsigned char* r[5] = {tmp.Row(std::max(c - 2, 0)), tmp.Row(std::max(c - 1, 0)),
                                             tmp.Row(std::min(c, h - 1)), tmp.Row(std::min(c + 1, h - 1)),
                                             tmp.Row(std::min(c + 2, h - 1))};
                unsigned char* dst = out->Row(y);
                for (int x = 0; x < wo; ++x)
                    dst[x] = static_cast<unsigned char>((r[0][x] + 5 * r[1][x] + 8 * r[2][x] + 5 * r[3][x] + r[4][x]) / 20);
            }
        });
    }
    return out.release();
}

void Expand_Laplacian(const CLevel* fine, const CLevel* coarse)
{
    ExpandInto(fine, coarse, [](int f, int e) { return f - e + 128; });
}

void Expand_AndAdd(const CLevel* fine, const CLevel* coarse)
{
    ExpandInto(fine, coarse, [](int f, int e) { return f + e - 128; });
}

}  // namespace LaplacianPyramid
