// Compositing stages of the Horizontal/Vertical engine, photo by photo in mosaic order:
// warp the photo onto the canvas (bilinear, 1/16-pixel fixed point), find its seams
// against the panorama so far, equalise colour across the overlap (a blurred
// half-difference correction applied to both sides), prepare the multiresolution
// spline of the seam zone and write the photo into the panorama.
//
// Every per-pixel loop is independent per row and runs in row bands; the integer
// arithmetic makes the result identical whatever the number of threads.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/gauss.h"
#include "core/linalg.h"
#include "engine/hv/panorama.h"
#include "engine/hv/seam_builder.h"
#include "engine/hv/spline.h"
#include "core/parallel.h"

using VarnoBase::Point;
using VarnoBase::Rect;

namespace {

inline int Grey(const u8* p)
{
    return (grB[p[0]] + grG[p[1]] + grR[p[2]]) / 100;
}

inline u8 Clamp255(int v)
{
    return static_cast<u8>(std::clamp(v, 0, 255));
}

// 1/16-pixel fixed point of a non-negative source position, saturating like an
// unsigned 32-bit conversion.
inline std::uint32_t FixedPoint(double u)
{
    const double f = u * 16.0 + 0.5;
    if (!(f < 4294967295.0))
        return 4294967295u;
    return static_cast<std::uint32_t>(f);
}

// The rectangle of canvas pixels that a photo of size w x h covers under transform m
// (canvas -> photo): its corners through m's inverse, floor/ceil. False when m cannot
// be inverted or the result does not fit integer coordinates.
bool WarpedRect(const double (*m)[3], int w, int h, Rect* out)
{
    double inv[3][3];
    if (!Utils::pinv3x3(inv, m))
        return false;
    double minX = HUGE_VAL, minY = HUGE_VAL, maxX = -HUGE_VAL, maxY = -HUGE_VAL;
    const double corners[4][2] = {{0, 0}, {double(w), 0}, {0, double(h)}, {double(w), double(h)}};
    for (const auto& c : corners) {
        const double x = inv[0][0] * c[0] + inv[0][1] * c[1] + inv[0][2];
        const double y = inv[1][0] * c[0] + inv[1][1] * c[1] + inv[1][2];
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    }
    constexpr double kLimit = 1 << 29;
    for (double v : {minX, maxX, minY, maxY})
        if (!std::isfinite(v) || std::fabs(v) > kLimit)
            return false;
    *out = Rect(int(std::floor(minX)), int(std::floor(minY)), int(std::ceil(maxX)), int(std::ceil(maxY)));
    return true;
}

// Alpha of element e at canvas point (x, y); 255 without an alpha plane.
inline int AlphaAt(const CPanoElement* e, int x, int y)
{
    if (!e->m_pAlpha)
        return 255;
    const Point p = e->m_position;
    return e->m_pAlpha[std::size_t(y - p.y) * e->GetAlphaBPL() + (x - p.x)];
}

inline u8* PixelAt(const CPanoElement* e, int x, int y)
{
    const Point p = e->m_position;
    return e->GetBits() + std::size_t(y - p.y) * e->GetBPL() + std::size_t(x - p.x) * 3;
}

// Raw rows of a 24-bit element in canvas coordinates, taken once outside the pixel
// loops (asking the pixel store for its bits costs a call per pixel otherwise).
struct Plane24 {
    u8* bits;
    std::size_t bpl;
    Point pos;

    explicit Plane24(const CPanoElement* e)
        : bits(e->GetBits()), bpl(std::size_t(e->GetBPL())), pos(e->m_position)
    {
    }
    u8* At(int x, int y) const { return bits + std::size_t(y - pos.y) * bpl + std::size_t(x - pos.x) * 3; }
};

// The alpha plane likewise; null rows when the element has none (fully opaque).
struct AlphaPlane {
    u8* bits;
    std::size_t bpl;
    Point pos;

    explicit AlphaPlane(const CPanoElement* e)
        : bits(e->m_pAlpha), bpl(std::size_t(e->m_pAlpha ? e->GetAlphaBPL() : 0)), pos(e->m_position)
    {
    }
    u8* At(int x, int y) const
    {
        return bits ? bits + std::size_t(y - pos.y) * bpl + std::size_t(x - pos.x) : nullptr;
    }
};

}  // namespace

CPanoElement* CPanorama::CurrentPanorama() const
{
    return m_bFullSizePass ? m_pPanorama : m_pPreview;
}

std::vector<CPanoElement*>& CPanorama::PassTransformed()
{
    return m_bFullSizePass ? m_fullTransformed : m_transformed;
}

// ---------------------------------------------------------------------------------
// 1. Warping

bool CPanorama::TransformImage(int i)
{
    std::vector<CPanoElement*>& warped = PassTransformed();
    const std::vector<CPanoElement*>& photos = PassPhotos();
    std::vector<AFFINE_MATRIX>& transforms = PassTransforms();
    if (i < 0 || std::size_t(i) >= photos.size() || std::size_t(i) >= transforms.size())
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

    auto* out = new (std::nothrow) CPanoElement(false);
    if (!out)
        return false;
    if (!out->CreateImage(24, r.width(), r.height())) {
        out->Release();
        return false;
    }
    out->AddAlphaChannel(false);
    if (!out->m_pAlpha) {
        out->Release();
        return false;
    }
    out->m_position = r.topLeft();

    const u8* src = photo->GetBits();
    const std::size_t srcBpl = std::size_t(photo->GetBPL());
    const u8* srcAlpha = photo->m_pAlpha;
    const std::size_t srcAbpl = std::size_t(photo->GetAlphaBPL());
    u8* dst = out->GetBits();
    const std::size_t dstBpl = std::size_t(out->GetBPL());
    u8* dstAlpha = out->m_pAlpha;
    const std::size_t dstAbpl = std::size_t(out->GetAlphaBPL());
    const int width = r.width();
    const std::uint32_t maxX = std::uint32_t(w - 1);
    const std::uint32_t maxY = std::uint32_t(h - 1);

    // The column products once per photo; each position is still evaluated as
    // (m00 x + m01 y) + m02, so the result is bit for bit that of the plain formula.
    std::vector<double> colU(static_cast<std::size_t>(width)), colV(static_cast<std::size_t>(width));
    for (int col = 0; col < width; ++col) {
        const double x = r.left + col;
        colU[std::size_t(col)] = m[0][0] * x;
        colV[std::size_t(col)] = m[1][0] * x;
    }
    const double m02 = m[0][2], m12 = m[1][2];
    Utils::ParallelForRows(r.height(), width, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const double y = r.top + row;
            const double rowU = m[0][1] * y, rowV = m[1][1] * y;
            u8* d = dst + std::size_t(row) * dstBpl;
            u8* da = dstAlpha + std::size_t(row) * dstAbpl;
            for (int col = 0; col < width; ++col, d += 3) {
                const double u = (colU[std::size_t(col)] + rowU) + m02;
                const double v = (colV[std::size_t(col)] + rowV) + m12;
                // Left of or above the photo (or no number at all) is outside, as is
                // beyond its right or bottom edge: transparent, nearest edge colour.
                const bool before = !(u >= 0.0) || !(v >= 0.0);
                const std::uint32_t fu = before ? 0u : FixedPoint(u);
                const std::uint32_t fv = before ? 0u : FixedPoint(v);
                std::uint32_t ix = fu >> 4, dx = fu & 15, iy = fv >> 4, dy = fv & 15;
                if (before || ix > maxX || iy > maxY) {
                    const u8* s = src + std::min(iy, maxY) * srcBpl + std::size_t(std::min(ix, maxX)) * 3;
                    if (before) {
                        const std::uint32_t cx = !(u >= 0.0) ? 0 : std::min(std::uint32_t(FixedPoint(u) >> 4), maxX);
                        const std::uint32_t cy = !(v >= 0.0) ? 0 : std::min(std::uint32_t(FixedPoint(v) >> 4), maxY);
                        s = src + cy * srcBpl + std::size_t(cx) * 3;
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
                const u8* s00 = src + iy * srcBpl + std::size_t(ix) * 3;
                const u8* s10 = src + iy * srcBpl + std::size_t(ix1) * 3;
                const u8* s01 = src + iy1 * srcBpl + std::size_t(ix) * 3;
                const u8* s11 = src + iy1 * srcBpl + std::size_t(ix1) * 3;
                for (int k = 0; k < 3; ++k)
                    d[k] = u8((w00 * s00[k] + w10 * s10[k] + w01 * s01[k] + w11 * s11[k]) / 225);
                if (srcAlpha) {
                    const int a = w00 * srcAlpha[iy * srcAbpl + ix] + w10 * srcAlpha[iy * srcAbpl + ix1] +
                                  w01 * srcAlpha[iy1 * srcAbpl + ix] + w11 * srcAlpha[iy1 * srcAbpl + ix1];
                    da[col] = u8(a / 225);
                } else {
                    da[col] = 255;
                }
            }
        }
    });
    warped[i] = out;
    return true;
}

// ---------------------------------------------------------------------------------
// 2. and 3. Seams

namespace {

// |grey(P) - grey(I)| over rectangle o (canvas coordinates), 255 where either side is
// transparent. Null when the buffer cannot be made.
CPanoElement* DifferenceBuffer(const CPanoElement* pano, const CPanoElement* photo, const Rect& o)
{
    auto* buf = new (std::nothrow) CPanoElement(false);
    if (!buf)
        return nullptr;
    if (!buf->CreateImage(8, o.width(), o.height())) {
        buf->Release();
        return nullptr;
    }
    buf->m_position = o.topLeft();
    u8* bits = buf->GetBits();
    const std::size_t bpl = std::size_t(buf->GetBPL());
    const Plane24 pp(pano), ip(photo);
    const AlphaPlane pa(pano), ia(photo);
    const int width = o.width();
    Utils::ParallelForRows(o.height(), width, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const int y = o.top + row;
            u8* d = bits + std::size_t(row) * bpl;
            const u8* p = pp.At(o.left, y);
            const u8* q = ip.At(o.left, y);
            const u8* a1 = pa.At(o.left, y);
            const u8* a2 = ia.At(o.left, y);
            for (int col = 0; col < width; ++col, p += 3, q += 3) {
                if ((a1 && a1[col] == 0) || (a2 && a2[col] == 0)) {
                    d[col] = 255;
                    continue;
                }
                d[col] = u8(std::abs(Grey(p) - Grey(q)));
            }
        }
    });
    return buf;
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

}  // namespace

bool CPanorama::BuildStichingLine(int i)
{
    if (m_motionModel == PanoramaLib::MotionTranslate)
        return BuildStichingLineT(i);
    CPanoElement* pano = CurrentPanorama();
    CPanoElement* photo = std::size_t(i) < m_transformed.size() ? m_transformed[i] : nullptr;
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

bool CPanorama::BuildStichingLineT(int i)
{
    CPanoElement* pano = CurrentPanorama();
    CPanoElement* photo = std::size_t(i) < m_transformed.size() ? m_transformed[i] : nullptr;
    if (!pano || !photo)
        return false;
    const Rect a = photo->GetAlphaBoundaryRect(nullptr, 1, false);
    const Rect b = pano->GetAlphaBoundaryRect(&a, 1, false);
    if (a.isEmpty())
        return true;

    // Classification mask over A: 255 photo only, 128 panorama present, 0 empty.
    const int mw = a.width(), mh = a.height();
    std::vector<u8> mask(std::size_t(mw) * mh, 0);
    for (int y = 0; y < mh; ++y)
        for (int x = 0; x < mw; ++x)
            if (AlphaAt(photo, a.left + x, a.top + y) != 0)
                mask[std::size_t(y) * mw + x] = 255;
    const Rect pm = pano->GetImageRect() & a;
    for (int y = pm.top; y < pm.bottom; ++y)
        for (int x = pm.left; x < pm.right; ++x)
            if (AlphaAt(pano, x, y) != 0)
                mask[std::size_t(y - a.top) * mw + (x - a.left)] = 128;
    auto at = [&](int x, int y) { return mask[std::size_t(y) * mw + x]; };

    // Seed: the centroid of the photo-only pixels, moved onto that region if needed.
    long long sx = 0, sy = 0, n = 0;
    for (int y = 0; y < mh; ++y)
        for (int x = 0; x < mw; ++x)
            if (at(x, y) == 255) {
                sx += x;
                sy += y;
                ++n;
            }
    int seedX = n ? int(sx / n) : mw / 2;
    int seedY = n ? int(sy / n) : mh / 2;
    if (n && at(seedX, seedY) != 255) {
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
                if (at(x, y) == 255) {
                    int len = 0;
                    while (true) {
                        const int nx = x + dirs[d][0] * (len + 1), ny = y + dirs[d][1] * (len + 1);
                        if (nx < 0 || ny < 0 || nx >= mw || ny >= mh || at(nx, ny) != 255)
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

    unsigned long sides = 0;
    if (seedX >= 0 && seedY >= 0 && seedX < mw && seedY < mh) {
        for (int x = seedX; x < mw; ++x)
            if (at(x, seedY) == 128) {
                sides |= kSeamRight;
                break;
            }
        for (int x = seedX; x >= 1; --x)
            if (at(x, seedY) == 128) {
                sides |= kSeamLeft;
                break;
            }
        for (int y = seedY; y < mh; ++y)
            if (at(seedX, y) == 128) {
                sides |= kSeamBottom;
                break;
            }
        for (int y = seedY; y >= 1; --y)
            if (at(seedX, y) == 128) {
                sides |= kSeamTop;
                break;
            }
    }

    // Core rectangle grown from the seed until each side meets the panorama or the edge.
    int left = seedX, right = seedX, top = seedY, bottom = seedY;
    bool stopL = false, stopR = false, stopT = false, stopB = false;
    auto count128Col = [&](int x, int t, int hgt) {
        int c = 0;
        for (int y = t + 1; y < t + 1 + hgt - 2 && y < mh; ++y)
            c += at(x, y) == 128;
        return c;
    };
    auto count128Row = [&](int y, int l, int wdt) {
        int c = 0;
        for (int x = l + 1; x < l + 1 + wdt - 2 && x < mw; ++x)
            c += at(x, y) == 128;
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
            stopL = left == 0 || count128Col(left, top, H) >= colLimit;
        if (!stopR)
            stopR = right == mw - 1 || count128Col(right, top, H) >= colLimit;
        if (!stopT)
            stopT = top == 0 || count128Row(top, left, W) >= rowLimit;
        if (!stopB)
            stopB = bottom == mh - 1 || count128Row(bottom, left, W) >= rowLimit;
    }
    Rect core(left + a.left, top + a.top, right + a.left, bottom + a.top);

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

bool CPanorama::ExpandStichingLine(int i)
{
    if (i < 0 || std::size_t(i) >= m_transformed.size() || std::size_t(i) >= m_fullTransformed.size() ||
        std::size_t(i) >= m_stitchingLines.size())
        return false;
    CExpandStitchingLine expand(m_transformed[i], m_fullTransformed[i], m_stitchingLines[i]);
    return expand.Expand();
}

// ---------------------------------------------------------------------------------
// 5. Colour equalisation

void CPanorama::GradientAverage(int i)
{
    CPanoElement* pano = CurrentPanorama();
    std::vector<CPanoElement*>& warped = PassTransformed();
    CPanoElement* photo = std::size_t(i) < warped.size() ? warped[i] : nullptr;
    if (!pano || !photo || std::size_t(i) >= PassTransforms().size())
        return;
    const Rect r = photo->GetImageRect();
    const Rect a = photo->GetAlphaBoundaryRect(nullptr, 1, false);
    const Rect b = pano->GetAlphaBoundaryRect(&a, 1, false);
    const Rect o = b & a;
    if (o.isEmpty())
        return;
    const int m = std::max(r.width(), r.height());

    // The two images compared: the cuts blurred, or the images themselves.
    VarnoBase::RefPtr<CPanoElement> cutP, cutI;
    const CPanoElement* srcP = pano;
    const CPanoElement* srcI = photo;
    if (!m_bGradientAverageMode) {
        cutP.Adopt(pano->CutRectangle(o, false));
        cutI.Adopt(photo->CutRectangle(o, false));
        if (!cutP || !cutI)
            return;
        const double sigma = o.width() / 8;
        Gauss24(cutP->GetWidth(), cutP->GetHeight(), cutP->GetBPL(), cutP->GetBits(), sigma);
        Gauss24(cutI->GetWidth(), cutI->GetHeight(), cutI->GetBPL(), cutI->GetBits(), sigma);
        srcP = cutP.get();
        srcI = cutI.get();
    }

    Rect e = o;
    e.inflate(m / 4, m / 4);
    VarnoBase::RefPtr<CPanoElement> k;
    k.Adopt(new (std::nothrow) CPanoElement(false));
    if (!k || !k->CreateImage(24, e.width(), e.height()))
        return;
    k->FillByValue(128);
    k->m_position = e.topLeft();

    const double (*t)[3] = PassTransforms()[i];
    const CPanoElement* source = PassPhotos()[i];
    const int pw = source ? source->GetWidth() : 0;
    const int ph = source ? source->GetHeight() : 0;
    const Plane24 pp(srcP), ip(srcI), kp(k.get());
    const AlphaPlane pa(pano);
    Utils::ParallelForRows(o.height(), o.width(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const int y = o.top + row;
            const u8* p = pp.At(o.left, y);
            const u8* q = ip.At(o.left, y);
            u8* c = kp.At(o.left, y);
            const u8* alphaRow = pa.At(o.left, y);
            for (int x = o.left; x < o.right; ++x, p += 3, q += 3, c += 3) {
                const double u = t[0][0] * x + t[0][1] * y + t[0][2];
                const double v = t[1][0] * x + t[1][1] * y + t[1][2];
                const double sx = std::floor(u + 0.5), sy = std::floor(v + 0.5);
                const bool inside = sx >= 0 && sy >= 0 && sx < pw && sy < ph;
                const int alpha = !inside ? 0 : alphaRow ? alphaRow[x - o.left] : 255;
                if (alpha == 0)
                    continue;
                for (int ch = 0; ch < 3; ++ch) {
                    const int d = std::clamp(p[ch] - q[ch] + 128, 0, 255);
                    c[ch] = u8(((255 - alpha) * 128 + alpha * d) / 255);
                }
            }
        }
    });
    cutP = nullptr;
    cutI = nullptr;
    const double sigma = m_bGradientAverageMode ? m / 10 : o.width() / 20;
    Gauss24(k->GetWidth(), k->GetHeight(), k->GetBPL(), k->GetBits(), sigma);  // bands on several threads

    // Half the correction, truncated toward zero: (K - bias) / 2 in branch-free form so
    // the row loop vectorises.
    auto apply = [&](CPanoElement* target, const Rect& area, int bias, int sign) {
        const Plane24 tp(target);
        const int n3 = area.width() * 3;
        Utils::ParallelForRows(area.height(), area.width(), [&](int begin, int end) {
            for (int row = begin; row < end; ++row) {
                const int y = area.top + row;
                u8* dst = tp.At(area.left, y);
                const u8* c = kp.At(area.left, y);
                for (int n = 0; n < n3; ++n) {
                    const int d = int(c[n]) - bias;
                    const int half = (d - (d >> 31)) >> 1;
                    const int v = int(dst[n]) + sign * half;
                    dst[n] = u8(v < 0 ? 0 : v > 255 ? 255 : v);
                }
            }
        });
    };
    apply(pano, k->GetImageRect() & pano->GetImageRect(), 128, -1);
    apply(photo, k->GetImageRect() & r, 127, +1);
}

// ---------------------------------------------------------------------------------
// 6. Spline

bool CPanorama::InitBlurStitchingLine(int i, MultiresolutionSpline::CSplineRGB& spline)
{
    m_rcBlur.setEmpty();
    std::vector<CPanoElement*>& warped = PassTransformed();
    CPanoElement* photo = std::size_t(i) < warped.size() ? warped[i] : nullptr;
    if (!spline.Initialize(GetHFreqNumLevels(), photo, CurrentPanorama()))
        return false;
    m_rcBlur = spline.GetBlendRect();
    return true;
}

// ---------------------------------------------------------------------------------
// 7. and 8. Writing photos into the panorama

bool CPanorama::SewDownImage(int i, Rect* changed)
{
    if (changed)
        changed->setEmpty();
    CPanoElement* pano = CurrentPanorama();
    std::vector<CPanoElement*>& warped = PassTransformed();
    CPanoElement* photo = std::size_t(i) < warped.size() ? warped[i] : nullptr;
    if (!pano || !photo || !pano->HasBits() || !photo->HasBits() || !pano->m_pAlpha)
        return false;
    const Rect o = pano->GetImageRect() & photo->GetImageRect();
    if (o.isEmpty())
        return false;
    const Rect blur = m_rcBlur;
    const bool smart = g_fDoSmartBlending1 != 0 || !blur.isEmpty();
    const Plane24 pp(pano), ip(photo);
    const AlphaPlane pap(pano), iap(photo);
    Utils::ParallelForRows(o.height(), o.width(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const int y = o.top + row;
            u8* p = pp.At(o.left, y);
            const u8* q = ip.At(o.left, y);
            u8* pa = pap.At(o.left, y);
            const u8* qa = iap.At(o.left, y);
            // The blended zone of this row (canvas columns), skipped.
            const bool rowInBlur = !blur.isEmpty() && y >= blur.top && y < blur.bottom;
            const int skipFrom = rowInBlur ? blur.left : INT_MAX;
            const int skipTo = rowInBlur ? blur.right : INT_MIN;
            for (int x = o.left; x < o.right; ++x, p += 3, q += 3, ++pa) {
                if (x >= skipFrom && x < skipTo)
                    continue;
                const int a1 = *pa;
                const int a2 = qa ? qa[x - o.left] : 255;
                if (a1 == 0) {
                    p[0] = q[0];
                    p[1] = q[1];
                    p[2] = q[2];
                    *pa = u8(a2);
                } else if (smart) {
                    if (a2 == 0)
                        continue;
                    const int A = 255 - (255 - a1) * (255 - a2) / 255;
                    for (int k = 0; k < 3; ++k)
                        p[k] = Clamp255(((255 - a2) * A * p[k] + 255 * a2 * q[k]) / (255 * A));
                    *pa = u8(A);
                } else {
                    for (int k = 0; k < 3; ++k)
                        p[k] = u8((p[k] + q[k]) / 2);
                    *pa = 255;
                }
            }
        }
    });
    if (changed)
        *changed = o;
    return true;
}

bool CPanorama::SewDownWorldImage(int i, CPanoElement* photo, Rect* changed)
{
    if (!photo)
        return false;
    std::vector<CPanoElement*>& warped = PassTransformed();
    std::vector<AFFINE_MATRIX>& transforms = PassTransforms();
    if (i < 0 || std::size_t(i) >= transforms.size())
        return false;
    if (warped.size() <= std::size_t(i))
        warped.resize(std::size_t(i) + 1, nullptr);
    const double (*rot)[3] = m_rotation;
    bool identity = true;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            identity = identity && rot[r][c] == (r == c ? 1.0 : 0.0);
    if (!identity) {
        if (!TransformImage(i))
            return false;
        SewDownImage(i, nullptr);
        return true;
    }
    Rect r;
    if (!WarpedRect(transforms[i], photo->GetWidth(), photo->GetHeight(), &r))
        return false;
    CPanoElement* pano = CurrentPanorama();
    if (!pano || !pano->HasBits() || !photo->HasBits())
        return false;
    if (warped[i] != photo) {
        PanoramaLib::IPanoElement::SafeRelease(warped[i]);
        photo->AddRef();
        warped[i] = photo;
    }
    photo->AddAlphaChannel(true);
    if (!photo->m_pAlpha)
        return false;
    photo->m_position = r.topLeft();
    const Rect o = photo->GetImageRect() & pano->GetImageRect();
    if (!pano->m_pAlpha)
        pano->AddAlphaChannel(false);
    for (int y = o.top; y < o.bottom; ++y) {
        std::copy_n(PixelAt(photo, o.left, y), std::size_t(o.width()) * 3, PixelAt(pano, o.left, y));
        std::copy_n(photo->m_pAlpha + std::size_t(y - photo->m_position.y) * photo->GetAlphaBPL() +
                        (o.left - photo->m_position.x),
                    o.width(),
                    pano->m_pAlpha + std::size_t(y - pano->m_position.y) * pano->GetAlphaBPL() +
                        (o.left - pano->m_position.x));
    }
    if (changed)
        *changed = pano->GetImageRect();
    return true;
}

// ---------------------------------------------------------------------------------
// 9. to 11. Recomposition and patches

bool CPanorama::RebuildPano(bool keepSeams)
{
    CPanoElement* pano = CurrentPanorama();
    if (!pano)
        return false;
    if (m_bAutoCrop) {
        pano->FreeImage();
        if (!pano->CreateImage(m_nBitsPerPixel == 24 || m_nBitsPerPixel == 48 ? 24 : 8, m_rcCrop.width(),
                               m_rcCrop.height()))
            return false;
        pano->FillWhiteColor();
        pano->AddAlphaChannel(false);
        // The warped photos are in canvas coordinates: the cropped image sits at the crop.
        pano->m_position = m_rcCrop.topLeft();
    } else if (!pano->m_pAlpha) {
        pano->AddAlphaChannel(false);
    }
    m_stitchOrder.clear();
    m_stitchingLines.assign(PassPhotos().size(), CStitchingLine());
    if (m_mosaicGraph.nodes.empty())
        return false;

    const int root = m_mosaicGraph.nodes.front()->id;
    SewDownImage(root, nullptr);
    m_stitchOrder.push_back(root);
    for (std::size_t n = 1; n < m_mosaicGraph.nodes.size(); ++n) {
        const int j = m_mosaicGraph.nodes[n]->id;
        if (g_fDoSmartBlending1 && !keepSeams)
            BuildStichingLine(j);
        if (ComposesInRing(j)) {
            if (g_fDoSmartBlending1)
                GradientAverage(j);
            Rect changed;
            if (m_bSmartBlending) {
                MultiresolutionSpline::CSplineRGB spline;
                InitBlurStitchingLine(j, spline);
                SewDownImage(j, &changed);
                spline.InsertResult(pano);
                m_rcBlur.setEmpty();
            } else {
                SewDownImage(j, &changed);
            }
        }
        m_stitchOrder.push_back(j);
    }
    pano->m_position = Point(0, 0);
    return true;
}

bool CPanorama::ComposesInRing(int j) const
{
    if (!m_bCyclorama || std::size_t(j) >= m_stitchingLines.size())
        return true;
    const unsigned char orient = m_stitchingLines[j].GetSeamOrient();
    if (m_rcCanvas.width() > m_rcCanvas.height())
        return !(orient & (4 | 8));
    return !(orient & (1 | 2));
}

bool CPanorama::RebuildTransformImages(bool)
{
    std::vector<CPanoElement*>& warped = PassTransformed();
    FreePictureCollection(warped);
    warped.assign(PassPhotos().size(), nullptr);
    if (m_mosaicGraph.nodes.empty())
        return false;
    TransformImage(m_mosaicGraph.nodes.front()->id);
    for (std::size_t n = 1; n < m_mosaicGraph.nodes.size(); ++n) {
        const int j = m_mosaicGraph.nodes[n]->id;
        TransformImage(j);
        if (std::size_t(j) < warped.size() && warped[j])
            warped[j]->CreateBitmaskFromAlpha();
    }
    return true;
}

void CPanorama::PatchOrgTransfImage()
{
    std::vector<CPanoElement*>& warped = PassTransformed();
    if (m_nPatchImage < 0 || std::size_t(m_nPatchImage) >= warped.size() || !warped[m_nPatchImage])
        return;
    warped[m_nPatchImage]->FillAlphaByValue(m_rcPatch, 0, false);
}

void CPanorama::CorrectPatchRectForOrigPano()
{
    if (m_rcPatch.isEmpty() || m_nPatchImage < 0)
        return;
    const std::size_t i = std::size_t(m_nPatchImage);
    if (i >= m_transforms.size() || i >= m_fullTransforms.size() || i >= m_workImages.size() ||
        i >= m_photos.size() || !m_workImages[i] || !m_photos[i])
        return;
    auto bound = [](const double (*m)[3], const Rect& r, Rect* out) {
        double minX = HUGE_VAL, minY = HUGE_VAL, maxX = -HUGE_VAL, maxY = -HUGE_VAL;
        const double corners[4][2] = {{double(r.left), double(r.top)}, {double(r.right), double(r.top)},
                                      {double(r.left), double(r.bottom)}, {double(r.right), double(r.bottom)}};
        for (const auto& c : corners) {
            const double x = m[0][0] * c[0] + m[0][1] * c[1] + m[0][2];
            const double y = m[1][0] * c[0] + m[1][1] * c[1] + m[1][2];
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
        }
        for (double v : {minX, maxX, minY, maxY})
            if (!std::isfinite(v) || std::fabs(v) > (1 << 29))
                return false;
        *out = Rect(int(std::floor(minX)), int(std::floor(minY)), int(std::ceil(maxX)), int(std::ceil(maxY)));
        return true;
    };
    Rect work;
    if (!bound(m_transforms[i], m_rcPatch, &work))
        return;
    const long long fw = m_photos[i]->GetWidth(), fh = m_photos[i]->GetHeight();
    const long long ww = std::max(1, m_workImages[i]->GetWidth()), wh = std::max(1, m_workImages[i]->GetHeight());
    const Rect full(int(work.left * fw / ww), int(work.top * fh / wh), int(work.right * fw / ww),
                    int(work.bottom * fh / wh));
    double inv[3][3];
    if (!Utils::pinv3x3(inv, m_fullTransforms[i]))
        return;
    Rect patched;
    if (bound(inv, full, &patched))
        m_rcPatch = patched;
}
