// Quick two-photo preview. The second photo's outline is carried through the inverse
// transform into the first photo's frame; the union with the first photo is the
// canvas, moved so that its top-left corner is the origin. The first photo is copied
// in unchanged; every canvas pixel under the second photo's outline is mapped forward
// through m and sampled nearest-neighbour (rounded half away from zero); where both
// photos cover a pixel the two are averaged with a shift. Uncovered pixels end white.
#include "engine/stitch_two_images.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>

#include "core/linalg.h"
#include "core/refcount.h"

namespace PanoramaLib {
namespace {

constexpr double kCoordLow = -32768.0;  // canvas bounds must lie strictly inside
constexpr double kCoordHigh = 32767.0;
// Largest canvas made: keeps the 24-bit plane well inside a 32-bit byte count, so a
// transform that passes the coordinate range but spans tens of thousands of pixels
// in both directions is refused instead of exhausting memory.
constexpr std::int64_t kMaxCanvasPixels = static_cast<std::int64_t>(1) << 28;

bool InCoordRange(double v) noexcept
{
    return v > kCoordLow && v < kCoordHigh;  // false for NaN
}

bool Aborted(const std::atomic<int>& flag) noexcept
{
    return flag.load(std::memory_order_relaxed) != 0;
}

// Nearest source pixel of a coordinate already known to lie in (-0.5, size - 0.5).
inline int NearestInside(double v, int size) noexcept
{
    const int i = v >= 0.0 ? static_cast<int>(v + 0.5) : 0;
    return std::min(i, size - 1);  // v + 0.5 may round up to size
}

IPanoElement* Stitch(IPanoElement* first, IPanoElement* second, double (*m)[3], const std::atomic<int>& abortFlag)
{
    if (first == nullptr || second == nullptr || m == nullptr || Aborted(abortFlag))
        return nullptr;
    if (first->GetBPP() != 24 || second->GetBPP() != 24 || !first->HasBits() || !second->HasBits())
        return nullptr;
    if (CPanoElement::m_pIDibManager == nullptr)
        return nullptr;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (!std::isfinite(m[r][c]))
                return nullptr;

    const int wF = first->GetWidth(), hF = first->GetHeight();
    const int wS = second->GetWidth(), hS = second->GetHeight();
    if (wF <= 0 || hF <= 0 || wS <= 0 || hS <= 0)
        return nullptr;

    // The second photo's outline in the first photo's frame.
    double inv[3][3];
    if (!Utils::pinv3x3(inv, m))
        return nullptr;
    const double cx[4] = {0.0, static_cast<double>(wS), static_cast<double>(wS), 0.0};
    const double cy[4] = {0.0, 0.0, static_cast<double>(hS), static_cast<double>(hS)};
    double minX = HUGE_VAL, maxX = -HUGE_VAL, minY = HUGE_VAL, maxY = -HUGE_VAL;
    for (int k = 0; k < 4; ++k) {
        const double x = inv[0][0] * cx[k] + inv[0][1] * cy[k] + inv[0][2];
        const double y = inv[1][0] * cx[k] + inv[1][1] * cy[k] + inv[1][2];
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
        if (std::isnan(x) || std::isnan(y))
            return nullptr;
    }
    const double X0 = std::min(minX, 0.0), X1 = std::max(maxX, static_cast<double>(wF));
    const double Y0 = std::min(minY, 0.0), Y1 = std::max(maxY, static_cast<double>(hF));
    for (double v : {minX, maxX, minY, maxY, X0, X1, Y0, Y1})
        if (!InCoordRange(v))
            return nullptr;

    // Canvas origin at the union's top-left; m then maps canvas pixels to the second
    // photo (its linear part is kept, its translation follows the shifted inverse).
    const double fx = std::floor(X0), fy = std::floor(Y0);
    inv[0][2] -= fx;
    inv[1][2] -= fy;
    m[0][2] = -m[0][0] * inv[0][2] - m[0][1] * inv[1][2];
    m[1][2] = -m[1][0] * inv[0][2] - m[1][1] * inv[1][2];

    const int ifx = static_cast<int>(fx), ify = static_cast<int>(fy);
    VarnoBase::Rect firstRect(0, 0, wF, hF);
    firstRect.offset(-ifx, -ify);
    VarnoBase::Rect secondRect(static_cast<int>(std::floor(minX)), static_cast<int>(std::floor(minY)),
                               static_cast<int>(std::ceil(maxX)), static_cast<int>(std::ceil(maxY)));
    secondRect.offset(-ifx, -ify);
    const VarnoBase::Rect canvasRect = firstRect | secondRect;
    const int cw = canvasRect.width(), ch = canvasRect.height();
    if (cw < 2 || ch < 2 || static_cast<std::int64_t>(cw) * ch > kMaxCanvasPixels)
        return nullptr;
    // Canvas rectangles relative to the canvas's own top-left pixel.
    firstRect.offset(-canvasRect.left, -canvasRect.top);
    secondRect.offset(-canvasRect.left, -canvasRect.top);
    const double ox = canvasRect.left, oy = canvasRect.top;  // 0 by construction, kept for clarity

    if (Aborted(abortFlag))
        return nullptr;
    VarnoBase::RefPtr<CPanoElement> canvas;
    canvas.Adopt(new (std::nothrow) CPanoElement(false));
    if (!canvas || Aborted(abortFlag))
        return nullptr;
    if (!canvas->CreateImage(true, cw, ch, true) || !canvas->HasBits())
        return nullptr;
    canvas->AddAlphaChannel(false);
    if (canvas->GetAlphaBits() == nullptr || !canvas->FillWhiteColor() || Aborted(abortFlag))
        return nullptr;

    u8* const bits = canvas->GetBits();
    const std::size_t bpl = static_cast<std::size_t>(canvas->GetBPL());
    u8* const alpha = canvas->GetAlphaBits();
    const std::size_t abpl = static_cast<std::size_t>(canvas->GetAlphaBPL());

    // The first photo, row by row.
    {
        const u8* src = first->GetBits();
        const std::size_t srcBpl = static_cast<std::size_t>(first->GetBPL());
        const u8* srcAlpha = first->GetAlphaBits();
        const std::size_t srcAbpl = static_cast<std::size_t>(first->GetAlphaBPL());
        for (int y = 0; y < hF; ++y) {
            const std::size_t cy0 = static_cast<std::size_t>(y + firstRect.top);
            const std::size_t cx0 = static_cast<std::size_t>(firstRect.left);
            std::memcpy(bits + cy0 * bpl + 3 * cx0, src + static_cast<std::size_t>(y) * srcBpl,
                        3 * static_cast<std::size_t>(wF));
            u8* arow = alpha + cy0 * abpl + cx0;
            if (srcAlpha != nullptr)
                std::memcpy(arow, srcAlpha + static_cast<std::size_t>(y) * srcAbpl, static_cast<std::size_t>(wF));
            else
                std::memset(arow, 255, static_cast<std::size_t>(wF));
            if (Aborted(abortFlag))
                return nullptr;
        }
    }

    // The second photo, sampled through m for every canvas pixel under its outline.
    {
        const u8* src = second->GetBits();
        const std::size_t srcBpl = static_cast<std::size_t>(second->GetBPL());
        const u8* srcAlpha = second->GetAlphaBits();
        const std::size_t srcAbpl = static_cast<std::size_t>(second->GetAlphaBPL());
        const double m00 = m[0][0], m01 = m[0][1], m10 = m[1][0], m11 = m[1][1];
        const double hiX = wS - 0.5, hiY = hS - 0.5;
        const int x0 = std::max(secondRect.left, 0), x1 = std::min(secondRect.right, cw);
        const int y0 = std::max(secondRect.top, 0), y1 = std::min(secondRect.bottom, ch);
        for (int y = y0; y < y1; ++y) {
            const double wy = y + oy;
            const double rowX = m01 * wy + m[0][2];
            const double rowY = m11 * wy + m[1][2];
            u8* drow = bits + static_cast<std::size_t>(y) * bpl;
            u8* arow = alpha + static_cast<std::size_t>(y) * abpl;
            for (int x = x0; x < x1; ++x) {
                if (Aborted(abortFlag))
                    return nullptr;
                const double wx = x + ox;
                const double sxd = m00 * wx + rowX;
                const double syd = m10 * wx + rowY;
                if (!(sxd > -0.5 && sxd < hiX && syd > -0.5 && syd < hiY))
                    continue;
                const int sx = NearestInside(sxd, wS);
                const int sy = NearestInside(syd, hS);
                const u8* s = src + static_cast<std::size_t>(sy) * srcBpl + 3 * static_cast<std::size_t>(sx);
                u8* d = drow + 3 * static_cast<std::size_t>(x);
                u8& a = arow[x];
                const u8 sa = srcAlpha != nullptr
                                  ? srcAlpha[static_cast<std::size_t>(sy) * srcAbpl + static_cast<std::size_t>(sx)]
                                  : static_cast<u8>(255);
                if (a == 0) {
                    d[0] = s[0], d[1] = s[1], d[2] = s[2];
                    a = sa;
                } else if (sa != 0) {
                    d[0] = static_cast<u8>((d[0] + s[0]) >> 1);
                    d[1] = static_cast<u8>((d[1] + s[1]) >> 1);
                    d[2] = static_cast<u8>((d[2] + s[2]) >> 1);
                }
            }
        }
    }

    if (Aborted(abortFlag))
        return nullptr;
    canvas->FlattenImage();
    return canvas.Detach();
}

}  // namespace

IPanoElement* StitchTwoImagesFast(IPanoElement* first, IPanoElement* second, double (*m)[3],
                                  const std::atomic<int>& abortFlag)
{
    // A preview that cannot be made is simply absent: nothing escapes to the dialog's
    // worker thread, not even a failed allocation.
    try {
        return Stitch(first, second, m, abortFlag);
    } catch (const std::exception&) {
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace PanoramaLib
