// Internals shared by the scene's texture builder and its renderers: the seeded random
// generator, the mip-mapped textures and their bilinear / trilinear samplers.
#pragma once

#include <QImage>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/parallel.h"
#include "tests/support/scene.h"

namespace vltest::detail {

// splitmix64: tiny, portable and identical everywhere, unlike the standard distributions.
inline std::uint64_t mix64(std::uint64_t z) noexcept
{
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

class Rng {
public:
    explicit Rng(std::uint64_t seed) noexcept : state_(mix64(seed ^ 0x5DEECE66Dull)) {}
    std::uint64_t next() noexcept { return mix64(state_++); }
    double uniform() noexcept { return double(next() >> 11) * 0x1.0p-53; }  // [0, 1)
    double uniform(double lo, double hi) noexcept { return lo + (hi - lo) * uniform(); }
    double symmetric(double amplitude) noexcept { return uniform(-amplitude, amplitude); }
    int below(int n) noexcept { return int(uniform() * n); }

private:
    std::uint64_t state_;
};

struct LevelView {
    const std::uint32_t* px = nullptr;
    qsizetype stride = 0;  // in pixels
    int w = 0;
    int h = 0;
};

// One texture with its box-filtered mip levels (all Format_RGB32) and their pixel views.
// Level l has half the size of level l-1; level coordinates relate by
// x_l = (x + 0.5) / 2^l - 0.5.
struct MipTexture {
    std::vector<QImage> levels;
    std::vector<LevelView> views;  // of `levels`, made once they are complete
    bool wrapX = false;  // seamless in x (the sphere's longitude)

    int width() const { return levels.empty() ? 0 : levels[0].width(); }
    int height() const { return levels.empty() ? 0 : levels[0].height(); }
};

// Builds the procedural texture: noise, gradients, shapes and marks; then the mip levels.
MipTexture buildTexture(int width, int height, bool wrapX, std::uint64_t seed);
// The mip levels of a finished level 0 (Format_RGB32).
MipTexture textureOf(QImage level0, bool wrapX);

struct Rgb {
    float r = 0, g = 0, b = 0;
};

// Bilinear sample at level coordinates; x wraps when wrapX, otherwise both coordinates
// are clamped to the level (callers reject points outside the domain beforehand).
inline Rgb bilinear(const LevelView& L, bool wrapX, double x, double y) noexcept
{
    y = std::clamp(y, 0.0, double(L.h - 1));
    int ix, ix1;
    double fx;
    if (wrapX) {
        x -= L.w * std::floor(x / L.w);
        ix = int(x);
        fx = x - ix;
        if (ix >= L.w) {  // x was a hair below a multiple of the width
            ix = 0;
            fx = 0;
        }
        ix1 = ix + 1 == L.w ? 0 : ix + 1;
    } else {
        x = std::clamp(x, 0.0, double(L.w - 1));
        ix = int(x);
        fx = x - ix;
        ix1 = std::min(ix + 1, L.w - 1);
    }
    const int iy = int(y);
    const double fy = y - iy;
    const int iy1 = std::min(iy + 1, L.h - 1);
    const std::uint32_t* r0 = L.px + qsizetype(iy) * L.stride;
    const std::uint32_t* r1 = L.px + qsizetype(iy1) * L.stride;
    const std::uint32_t a = r0[ix], b = r0[ix1], c = r1[ix], d = r1[ix1];
    const float wa = float((1 - fx) * (1 - fy)), wb = float(fx * (1 - fy));
    const float wc = float((1 - fx) * fy), wd = float(fx * fy);
    auto ch = [&](int shift) {
        return wa * float((a >> shift) & 255u) + wb * float((b >> shift) & 255u) +
               wc * float((c >> shift) & 255u) + wd * float((d >> shift) & 255u);
    };
    return {ch(16), ch(8), ch(0)};
}

// Trilinear sample at level-0 coordinates with a fixed level of detail lod >= 0.
inline Rgb trilinear(const MipTexture& t, double lod, double x, double y) noexcept
{
    auto at = [&](int l) {
        return l == 0 ? bilinear(t.views[0], t.wrapX, x, y)
                      : bilinear(t.views[l], t.wrapX, std::ldexp(x + 0.5, -l) - 0.5, std::ldexp(y + 0.5, -l) - 0.5);
    };
    const int l0 = int(lod), last = int(t.views.size()) - 1;
    if (l0 >= last)
        return at(last);
    const Rgb a = at(l0);
    if (lod - l0 <= 0)
        return a;
    const Rgb b = at(l0 + 1);
    const float u = float(lod - l0);
    return {a.r + (b.r - a.r) * u, a.g + (b.g - a.g) * u, a.b + (b.b - a.b) * u};
}

// fn(begin, end) over chunks of image rows on the shared pool; every row is independent,
// so the result does not depend on the number of threads.
template <class Fn>
void parallelRows(int rows, const Fn& fn)
{
    Utils::ParallelFor(std::size_t(std::max(rows, 0)), std::size_t(std::clamp(rows / 128, 4, 32)),
                       [&](std::size_t b, std::size_t e) { fn(int(b), int(e)); });
}

}  // namespace vltest::detail

namespace vltest {

struct Scene::Impl {
    SceneOptions options;
    detail::MipTexture plane;

    mutable std::once_flag sphereOnce;
    mutable detail::MipTexture sphere;

    const detail::MipTexture& sphereTexture() const;
};

}  // namespace vltest

namespace vltest::detail {

inline bool allFinite(std::initializer_list<double> values)
{
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// Refuses sizes that are empty, absurd or not representable (throws std::invalid_argument).
void checkViewSize(int width, int height);

// The per-pixel pipeline shared by every view: lens distortion (pixel -> ideal image point),
// the geometric sampler, exposure, vignetting and noise, then rounding to 8 bits.
// `sample(x, y, rgb)` answers false where the view sees nothing (rendered black).
template <class Sampler>
QImage renderView(int width, int height, const Photometric& ph, const Sampler& sample)
{
    checkViewSize(width, height);
    if (!allFinite({ph.gain, ph.vignetting, ph.noiseSigma, ph.k1, ph.k2}) || ph.noiseSigma < 0)
        throw std::invalid_argument("renderView: non-finite or negative photometric parameter");
    QImage out(width, height, QImage::Format_RGB888);
    if (out.isNull())
        throw std::bad_alloc();
    const double cx = width / 2.0, cy = height / 2.0;
    const double halfDiag2 = cx * cx + cy * cy;
    const bool lens = ph.k1 != 0 || ph.k2 != 0;
    const float gain = float(ph.gain);
    const double vig = ph.vignetting / halfDiag2;
    const float noiseScale = float(ph.noiseSigma * std::sqrt(3.0));  // Irwin-Hall(4) has variance 1/3
    parallelRows(height, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            uchar* line = out.scanLine(y);
            const double dy = y - cy;
            for (int x = 0; x < width; ++x) {
                const double dx = x - cx;
                const double r2 = dx * dx + dy * dy;
                double sx = x, sy = y;
                if (lens) {
                    const double L = 1 + ph.k1 * r2 + ph.k2 * r2 * r2;
                    sx = cx + dx * L;
                    sy = cy + dy * L;
                }
                Rgb c;
                if (!sample(sx, sy, c))
                    c = Rgb{};
                const float g = vig != 0 ? gain * float(1 - vig * r2) : gain;
                float v[3] = {c.r * g, c.g * g, c.b * g};
                if (noiseScale > 0) {
                    const std::uint64_t h = mix64(ph.noiseSeed ^ mix64((std::uint64_t(y) << 32) | unsigned(x)));
                    for (int k = 0; k < 3; ++k) {
                        const std::uint64_t z = mix64(h + std::uint64_t(k));
                        const float u = float((z & 0xFFFF) + ((z >> 16) & 0xFFFF) + ((z >> 32) & 0xFFFF) +
                                              ((z >> 48) & 0xFFFF)) * (1.0f / 65536.0f);
                        v[k] += (u - 2.0f) * noiseScale;
                    }
                }
                uchar* o = line + std::size_t(x) * 3;
                for (int k = 0; k < 3; ++k)
                    o[k] = uchar(int(std::clamp(v[k], 0.0f, 255.0f) + 0.5f));
            }
        }
    });
    return out;
}

}  // namespace vltest::detail
