// Warping stage of the Horizontal/Vertical engine: each photo of the pass carried onto
// the canvas through its canvas-to-photo transform, bilinear in 1/16-pixel fixed point,
// into a new element (canvas coordinates, alpha 0 outside the photo) that the pass's
// list of warped photos owns. Rows run in bands; the integer arithmetic makes the result
// identical whatever the number of threads. Build thread only.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/gauss.h"
#include "core/linalg.h"
#include "core/parallel.h"
#include "engine/hv/compositing_helpers.h"
#include "engine/hv/panorama.h"

using VarnoBase::Point;
using VarnoBase::Rect;
using HvCompositing::WarpedRect;

namespace {

// 1/16-pixel fixed point of a non-negative source position, saturating like an
// unsigned 32-bit conversion.
inline std::uint32_t FixedPoint(double u)
{
    const double f = u * 16.0 + 0.5;
    if (!(f < 4294967295.0))
        return 4294967295u;
    return static_cast<std::uint32_t>(f);
}

}  // namespace

bool HvCompositing::TransformedBounds(const double (*m)[3], const Rect& r, Rect* out)
{
    double minX = HUGE_VAL, minY = HUGE_VAL, maxX = -HUGE_VAL, maxY = -HUGE_VAL;
    const double corners[4][2] = {{static_cast<double>(r.left), static_cast<double>(r.top)},
                                  {static_cast<double>(r.right), static_cast<double>(r.top)},
                                  {static_cast<double>(r.left), static_cast<double>(r.bottom)},
                                  {static_cast<double>(r.right), static_cast<double>(r.bottom)}};
    for (const auto& c : corners) {
        const double x = m[0][0] * c[0] + m[0][1] * c[1] + m[0][2];
        const double y = m[1][0] * c[0] + m[1][1] * c[1] + m[1][2];
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    }
    constexpr double kLimit = 1 << 29;
    for (double v : {minX, maxX, minY, maxY})
        if (!std::isfinite(v) || std::fabs(v) > kLimit)
            return false;
    *out = Rect(static_cast<int>(std::floor(minX)), static_cast<int>(std::floor(minY)),
                static_cast<int>(std::ceil(maxX)), static_cast<int>(std::ceil(maxY)));
    return true;
}

bool HvCompositing::WarpedRect(const double (*m)[3], int w, int h, Rect* out)
{
    double inv[3][3];
    if (!Utils::pinv3x3(inv, m))
        return false;
    return TransformedBounds(inv, Rect(0, 0, w, h), out);
}

bool CPanorama::TransformImage(const Pass& pass, int i)
{
    std::vector<CPanoElement*>& warped = pass.warped;
    const std::vector<CPanoElement*>& photos = pass.photos;
    const std::vector<AFFINE_MATRIX>& transforms = pass.transforms;
    if (i < 0 || static_cast<std::size_t>(i) >= photos.size() || static_cast<std::size_t>(i) >= transforms.size())
        return false;
    if (warped.size() < photos.size())
        warped.resize(photos.size(), nullptr);
    if (warped[i])
        return true;
    CPanoElement* photo = photos[i];
    if (!photo || !photo->HasBits() || photo->GetBPP() != 24)
        return false;

    const double (*m)[3] = transforms[i];
    const int w = photo->GetWidth();
    const int h = photo->GetHeight();
    Rect r;
    if (!WarpedRect(m, w, h, &r) || r.isEmpty())
        return false;

    VarnoBase::RefPtr<CPanoElement> out = NewPanoElement(false);
    if (!out)
        return false;
    if (!out->CreateImage(24, r.width(), r.height()))
        return false;
    out->AddAlphaChannel(false);
    if (!out->m_pAlpha)
        return false;
    out->m_position = r.topLeft();

    const u8* src = photo->GetBits();
    const std::size_t srcBpl = static_cast<std::size_t>(photo->GetBPL());
    const u8* srcAlpha = photo->m_pAlpha;
    const std::size_t srcAbpl = static_cast<std::size_t>(photo->GetAlphaBPL());
    u8* dst = out->GetBits();
    const std::size_t dstBpl = static_cast<std::size_t>(out->GetBPL());
    u8* dstAlpha = out->m_pAlpha;
    const std::size_t dstAbpl = static_cast<std::size_t>(out->GetAlphaBPL());
    const int width = r.width();
    const std::uint32_t maxX = static_cast<std::uint32_t>(w - 1);
    const std::uint32_t maxY = static_cast<std::uint32_t>(h - 1);

    // The column products once per photo; each position is still evaluated as
    // (m00 x + m01 y) + m02, so the result is bit for bit that of the plain formula.
    std::vector<double> colU(static_cast<std::size_t>(width)), colV(static_cast<std::size_t>(width));
    for (int col = 0; col < width; ++col) {
        const double x = r.left + col;
        colU[static_cast<std::size_t>(col)] = m[0][0] * x;
        colV[static_cast<std::size_t>(col)] = m[1][0] * x;
    }
    const double m02 = m[0][2], m12 = m[1][2];
    Utils::ParallelForRows(r.height(), width, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const double y = r.top + row;
            const double rowU = m[0][1] * y, rowV = m[1][1] * y;
            u8* d = dst + static_cast<std::size_t>(row) * dstBpl;
            u8* da = dstAlpha + static_cast<std::size_t>(row) * dstAbpl;
            for (int col = 0; col < width; ++col, d += 3) {
                const double u = (colU[static_cast<std::size_t>(col)] + rowU) + m02;
                const double v = (colV[static_cast<std::size_t>(col)] + rowV) + m12;
                // Left of or above the photo (or no number at all) is outside, as is
                // beyond its right or bottom edge: transparent, nearest edge colour.
                const bool before = !(u >= 0.0) || !(v >= 0.0);
                const std::uint32_t fu = before ? 0u : FixedPoint(u);
                const std::uint32_t fv = before ? 0u : FixedPoint(v);
                std::uint32_t ix = fu >> 4, dx = fu & 15, iy = fv >> 4, dy = fv & 15;
                if (before || ix > maxX || iy > maxY) {
                    const u8* s = src + std::min(iy, maxY) * srcBpl + static_cast<std::size_t>(std::min(ix, maxX)) * 3;
                    if (before) {
                        const std::uint32_t cx = !(u >= 0.0) ? 0 : std::min((FixedPoint(u) >> 4), maxX);
                        const std::uint32_t cy = !(v >= 0.0) ? 0 : std::min((FixedPoint(v) >> 4), maxY);
                        s = src + cy * srcBpl + static_cast<std::size_t>(cx) * 3;
                    }
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                    da[col] = 0;
                    continue;
                }
                std::uint32_t ix1 = ix + 1, iy1 = iy + 1;
                if (ix >= maxX) {
                    ix1 = ix;
                    dx = 0;
                }
                if (iy >= maxY) {
                    iy1 = iy;
                    dy = 0;
                }
                const int w00 = bi_table[15 - dx][15 - dy];
                const int w10 = bi_table[dx][15 - dy];
                const int w01 = bi_table[15 - dx][dy];
                const int w11 = bi_table[dx][dy];
                const u8* s00 = src + iy * srcBpl + static_cast<std::size_t>(ix) * 3;
                const u8* s10 = src + iy * srcBpl + static_cast<std::size_t>(ix1) * 3;
                const u8* s01 = src + iy1 * srcBpl + static_cast<std::size_t>(ix) * 3;
                const u8* s11 = src + iy1 * srcBpl + static_cast<std::size_t>(ix1) * 3;
                for (int k = 0; k < 3; ++k)
                    d[k] = static_cast<u8>((w00 * s00[k] + w10 * s10[k] + w01 * s01[k] + w11 * s11[k]) / 225);
                if (srcAlpha) {
                    const int a = w00 * srcAlpha[iy * srcAbpl + ix] + w10 * srcAlpha[iy * srcAbpl + ix1] +
                                  w01 * srcAlpha[iy1 * srcAbpl + ix] + w11 * srcAlpha[iy1 * srcAbpl + ix1];
                    da[col] = static_cast<u8>(a / 225);
                } else {
                    da[col] = 255;
                }
            }
        }
    });
    warped[i] = out.Detach();
    return true;
}
