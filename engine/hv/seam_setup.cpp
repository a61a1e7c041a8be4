// Seam set-up of the Horizontal/Vertical engine: for each warped photo, the grey-level
// difference against the panorama so far over their overlap (canvas coordinates),
// blurred, and the seams searched through it on the sides where the panorama lies;
// the full-size pass scales the working-size seams up. Build thread only; the
// difference buffers are held by RefPtr for the length of one search.
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
#include "engine/hv/seam_builder.h"

using VarnoBase::Point;
using VarnoBase::Rect;
using HvCompositing::AlphaPlane;
using HvCompositing::Plane24;

namespace {

inline int Grey(const u8* p)
{
    return (grB[p[0]] + grG[p[1]] + grR[p[2]]) / 100;
}

// Alpha of element e at canvas point (x, y); 255 without an alpha plane.
inline int AlphaAt(const CPanoElement* e, int x, int y)
{
    if (!e->m_pAlpha)
        return 255;
    const Point p = e->m_position;
    return e->m_pAlpha[static_cast<std::size_t>(y - p.y) * e->GetAlphaBPL() + (x - p.x)];
}

// |grey(P) - grey(I)| over rectangle o (canvas coordinates), 255 where either side is
// transparent. Null when the buffer cannot be made.
CPanoElement* DifferenceBuffer(const CPanoElement* pano, const CPanoElement* photo, const Rect& o)
{
    VarnoBase::RefPtr<CPanoElement> buf = NewPanoElement(false);
    if (!buf)
        return nullptr;
    if (!buf->CreateImage(8, o.width(), o.height()))
        return nullptr;
    buf->m_position = o.topLeft();
    u8* bits = buf->GetBits();
    const std::size_t bpl = static_cast<std::size_t>(buf->GetBPL());
    const Plane24 pp(pano), ip(photo);
    const AlphaPlane pa(pano), ia(photo);
    const int width = o.width();
    Utils::ParallelForRows(o.height(), width, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const int y = o.top + row;
            u8* d = bits + static_cast<std::size_t>(row) * bpl;
            const u8* p = pp.At(o.left, y);
            const u8* q = ip.At(o.left, y);
            const u8* a1 = pa.At(o.left, y);
            const u8* a2 = ia.At(o.left, y);
            for (int col = 0; col < width; ++col, p += 3, q += 3) {
                if ((a1 && a1[col] == 0) || (a2 && a2[col] == 0)) {
                    d[col] = 255;
                    continue;
                }
                d[col] = static_cast<u8>(std::abs(Grey(p) - Grey(q)));
            }
        }
    });
    return buf.Detach();
}

// Transparent panorama pixels along a canvas column (vertical) or row over the span
// [from, to), clipped to the panorama.
int CountTransparent(const CPanoElement* pano, bool column, int at, int from, int to)
{
    const Rect pr = pano->GetImageRect();
    int count = 0;
    if (column) {
        if (at < pr.left || at >= pr.right)
            return 0;
        for (int y = std::max(from, pr.top); y < std::min(to, pr.bottom); ++y)
            count += AlphaAt(pano, at, y) == 0;
    } else {
        if (at < pr.top || at >= pr.bottom)
            return 0;
        for (int x = std::max(from, pr.left); x < std::min(to, pr.right); ++x)
            count += AlphaAt(pano, x, at) == 0;
    }
    return count;
}


// What each pixel of a photo's opaque bounds shows, for the seam set-up of the
// translation model: the photo alone, the panorama so far (with or without the photo),
// or nothing. Kept in the bounds' own pixels (0, 0 at its top-left).
enum OverlapClass : u8 {
    kMaskEmpty = 0,
    kMaskPanorama = 128,
    kMaskPhotoOnly = 255,
};

struct OverlapMask {
    int width = 0, height = 0;
    std::vector<u8> cls;  // an OverlapClass per pixel, rows top to bottom

    u8 at(int x, int y) const { return cls[static_cast<std::size_t>(y) * width + x]; }
};

// The classification over rectangle a (canvas coordinates): photo first, then the
// panorama's opaque pixels over it.
OverlapMask ClassifyOverlap(const CPanoElement* photo, const CPanoElement* pano, const Rect& a)
{
    OverlapMask mask;
    mask.width = a.width();
    mask.height = a.height();
    const int mw = mask.width, mh = mask.height;
    mask.cls.assign(static_cast<std::size_t>(mw) * mh, kMaskEmpty);
    for (int y = 0; y < mh; ++y)
        for (int x = 0; x < mw; ++x)
            if (AlphaAt(photo, a.left + x, a.top + y) != 0)
                mask.cls[static_cast<std::size_t>(y) * mw + x] = kMaskPhotoOnly;
    const Rect pm = pano->GetImageRect() & a;
    for (int y = pm.top; y < pm.bottom; ++y)
        for (int x = pm.left; x < pm.right; ++x)
            if (AlphaAt(pano, x, y) != 0)
                mask.cls[static_cast<std::size_t>(y - a.top) * mw + (x - a.left)] = kMaskPanorama;
    return mask;
}

// The seed: the centroid of the photo-only pixels, moved onto that region if needed
// (mask pixels; the middle of the mask when there is none).
Point PhotoOnlySeed(const OverlapMask& mask)
{
    const int mw = mask.width, mh = mask.height;
    long long sx = 0, sy = 0, n = 0;
    for (int y = 0; y < mh; ++y)
        for (int x = 0; x < mw; ++x)
            if (mask.at(x, y) == kMaskPhotoOnly) {
                sx += x;
                sy += y;
                ++n;
            }
    int seedX = n ? static_cast<int>(sx / n) : mw / 2;
    int seedY = n ? static_cast<int>(sy / n) : mh / 2;
    if (n && mask.at(seedX, seedY) != kMaskPhotoOnly) {
        // Walk left, right, up and down at once; follow the first direction that meets
        // a photo-only pixel to the middle of that run.
        const int dirs[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
        bool alive[4] = {true, true, true, true};
        for (int step = 1; alive[0] || alive[1] || alive[2] || alive[3]; ++step) {
            bool moved = false;
            for (int d = 0; d < 4 && !moved; ++d) {
                if (!alive[d])
                    continue;
                const int x = seedX + dirs[d][0] * step, y = seedY + dirs[d][1] * step;
                if (x < 0 || y < 0 || x >= mw || y >= mh) {
                    alive[d] = false;
                    continue;
                }
                if (mask.at(x, y) == kMaskPhotoOnly) {
                    int len = 0;
                    while (true) {
                        const int nx = x + dirs[d][0] * (len + 1), ny = y + dirs[d][1] * (len + 1);
                        if (nx < 0 || ny < 0 || nx >= mw || ny >= mh || mask.at(nx, ny) != kMaskPhotoOnly)
                            break;
                        ++len;
                    }
                    seedX = x + dirs[d][0] * (len / 2);
                    seedY = y + dirs[d][1] * (len / 2);
                    moved = true;
                }
            }
            if (moved)
                break;
        }
    }
    return Point(seedX, seedY);
}

// The seam sides to search: those in whose direction the panorama is met when walking
// from the seed along its row and column.
unsigned long SidesFacingPanorama(const OverlapMask& mask, const Point& seed)
{
    const int mw = mask.width, mh = mask.height;
    const int seedX = seed.x, seedY = seed.y;
    unsigned long sides = 0;
    if (seedX >= 0 && seedY >= 0 && seedX < mw && seedY < mh) {
        for (int x = seedX; x < mw; ++x)
            if (mask.at(x, seedY) == kMaskPanorama) {
                sides |= kSeamRight;
                break;
            }
        for (int x = seedX; x >= 1; --x)
            if (mask.at(x, seedY) == kMaskPanorama) {
                sides |= kSeamLeft;
                break;
            }
        for (int y = seedY; y < mh; ++y)
            if (mask.at(seedX, y) == kMaskPanorama) {
                sides |= kSeamBottom;
                break;
            }
        for (int y = seedY; y >= 1; --y)
            if (mask.at(seedX, y) == kMaskPanorama) {
                sides |= kSeamTop;
                break;
            }
    }
    return sides;
}

// The core rectangle (mask pixels) grown from the seed until each side meets the
// panorama (on a fifth of its inner length, at least one pixel) or the mask's edge.
Rect GrowCore(const OverlapMask& mask, const Point& seed)
{
    const int mw = mask.width, mh = mask.height;
    const int seedX = seed.x, seedY = seed.y;
    int left = seedX, right = seedX, top = seedY, bottom = seedY;
    bool stopL = false, stopR = false, stopT = false, stopB = false;
    auto panoramaInColumn = [&](int x, int t, int hgt) {
        int c = 0;
        for (int y = t + 1; y < t + 1 + hgt - 2 && y < mh; ++y)
            c += mask.at(x, y) == kMaskPanorama;
        return c;
    };
    auto panoramaInRow = [&](int y, int l, int wdt) {
        int c = 0;
        for (int x = l + 1; x < l + 1 + wdt - 2 && x < mw; ++x)
            c += mask.at(x, y) == kMaskPanorama;
        return c;
    };
    for (int k = 1; !(stopL && stopR && stopT && stopB); ++k) {
        if (!stopL)
            left = std::max(seedX - k, 0);
        if (!stopR)
            right = std::min(seedX + k, mw - 1);
        if (!stopT)
            top = std::max(seedY - k, 0);
        if (!stopB)
            bottom = std::min(seedY + k, mh - 1);
        const int W = right - left, H = bottom - top;
        const int colLimit = std::max((20 * H - 40) / 100, 1);
        const int rowLimit = std::max((20 * W - 40) / 100, 1);
        if (!stopL)
            stopL = left == 0 || panoramaInColumn(left, top, H) >= colLimit;
        if (!stopR)
            stopR = right == mw - 1 || panoramaInColumn(right, top, H) >= colLimit;
        if (!stopT)
            stopT = top == 0 || panoramaInRow(top, left, W) >= rowLimit;
        if (!stopB)
            stopB = bottom == mh - 1 || panoramaInRow(bottom, left, W) >= rowLimit;
    }
    return Rect(left, top, right, bottom);
}

}  // namespace

bool CPanorama::BuildStichingLine(const Pass& pass, int i)
{
    if (m_motionModel == PanoramaLib::MotionTranslate)
        return BuildStichingLineT(pass, i);
    CPanoElement* pano = pass.target;
    CPanoElement* photo = static_cast<std::size_t>(i) < pass.warped.size() ? pass.warped[i] : nullptr;
    if (!pano || !photo)
        return false;
    const Rect r = photo->GetImageRect();
    const Rect a = photo->GetAlphaBoundaryRect(nullptr, 1, false);
    const Rect b = pano->GetAlphaBoundaryRect(&a, 1, false);
    const Rect o = b & a;
    if (o.isEmpty())
        return true;
    const double ratioW = 100.0 * o.width() / a.width();
    const double ratioH = 100.0 * o.height() / a.height();

    VarnoBase::RefPtr<CPanoElement> buf;
    buf.Adopt(DifferenceBuffer(pano, photo, o));
    if (!buf)
        return false;
    const Rect pr = pano->GetImageRect();
    unsigned long side;
    if (ratioH > ratioW) {
        if (r.left < pr.left)
            side = kSeamRight;
        else if (r.right >= pr.right)
            side = kSeamLeft;
        else
            side = CountTransparent(pano, true, r.left, r.top, r.bottom) <=
                           CountTransparent(pano, true, r.right - 1, r.top, r.bottom)
                       ? kSeamLeft
                       : kSeamRight;
    } else {
        if (r.top < pr.top)
            side = kSeamBottom;
        else if (r.bottom >= pr.bottom)
            side = kSeamTop;
        else
            side = CountTransparent(pano, false, r.top, r.left, r.right) <=
                           CountTransparent(pano, false, r.bottom - 1, r.left, r.right)
                       ? kSeamTop
                       : kSeamBottom;
    }
    Gauss8(buf->GetWidth(), buf->GetHeight(), buf->GetBPL(), buf->GetBits(), m_dSeamSigma);
    {
        CSeamBuilder builder(buf.get(), Rect());
        builder.BuildSeams(photo, side);
        builder.GetStitchLines(m_stitchingLines[i]);
    }
    return true;
}

bool CPanorama::BuildStichingLineT(const Pass& pass, int i)
{
    CPanoElement* pano = pass.target;
    CPanoElement* photo = static_cast<std::size_t>(i) < pass.warped.size() ? pass.warped[i] : nullptr;
    if (!pano || !photo)
        return false;
    const Rect a = photo->GetAlphaBoundaryRect(nullptr, 1, false);
    const Rect b = pano->GetAlphaBoundaryRect(&a, 1, false);
    if (a.isEmpty())
        return true;

    const OverlapMask mask = ClassifyOverlap(photo, pano, a);
    const Point seed = PhotoOnlySeed(mask);
    const unsigned long sides = SidesFacingPanorama(mask, seed);
    Rect core = GrowCore(mask, seed);
    core.offset(a.left, a.top);  // canvas coordinates

    const Rect o = a & b;
    if (o.isEmpty())
        return true;
    VarnoBase::RefPtr<CPanoElement> buf;
    buf.Adopt(DifferenceBuffer(pano, photo, o));
    if (!buf)
        return false;
    Gauss8(buf->GetWidth(), buf->GetHeight(), buf->GetBPL(), buf->GetBits(), m_dSeamSigma);
    {
        CSeamBuilder builder(buf.get(), core);
        builder.BuildSeams(photo, sides);
        builder.GetStitchLines(m_stitchingLines[i]);
    }
    return true;
}

// ---------------------------------------------------------------------------------
// 4. Full-size seams

bool CPanorama::ExpandStichingLine(const Pass& fullSize, int i)
{
    if (i < 0 || static_cast<std::size_t>(i) >= m_transformed.size() ||
        static_cast<std::size_t>(i) >= fullSize.warped.size() || static_cast<std::size_t>(i) >= m_stitchingLines.size())
        return false;
    CExpandStitchingLine expand(m_transformed[i], fullSize.warped[i], m_stitchingLines[i]);
    return expand.Expand();
}
