// Boundary rectangles and the auto-crop of the image element, read from its alpha and
// mask planes. Rectangles are world (canvas) coordinates unless a comment says otherwise.
//
// Auto-crop: per row (or per column for tall results) the span between the first and
// last fully opaque pixel is taken; holes near its ends are trimmed when they are
// isolated transparent notches (nothing opaque elsewhere in their column) and the span
// is dropped otherwise. From the widest span the rectangle grows towards the side
// where the span-width-times-rows area keeps increasing, then extends into the other
// direction over rows that stay within a tolerance of its edges.
#include "core/pano_element.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "core/parallel.h"

using VarnoBase::Rect;

namespace {

// World bounding rectangle of the pixels of `plane` (rows `bpl` bytes apart) inside the
// image rectangle clipped by `clip` whose value passes `qualifies`; left > right when
// none does. Without a plane, the clipped image rectangle.
Rect PlaneBounds(const CPanoElement& e, const u8* plane, int bpl, const Rect* clip, const bool (&qualifies)[256])
{
    Rect area = e.GetImageRect();
    if (clip)
        area &= *clip;
    if (!plane)
        return area;
    const VarnoBase::Point pos = e.GetPosition();
    const int w = e.GetWidth();
    const int h = e.GetHeight();
    area.offset(-pos.x, -pos.y);
    area = Rect(std::max(area.left, 0), std::max(area.top, 0), std::min(area.right, w), std::min(area.bottom, h));
    int minX = w;
    int maxX = -1;
    int firstRow = h;
    int lastRow = -1;
    for (int y = area.top; y < area.bottom; ++y) {
        const u8* row = plane + static_cast<std::size_t>(y) * static_cast<std::size_t>(bpl);
        int l = area.left;
        while (l < area.right && !qualifies[row[l]])
            ++l;
        if (l == area.right)
            continue;
        int r = area.right - 1;
        while (!qualifies[row[r]])
            --r;
        minX = std::min(minX, l);
        maxX = std::max(maxX, r);
        if (firstRow > y)
            firstRow = y;
        lastRow = y;
    }
    Rect bounds(minX, firstRow, maxX + 1, lastRow + 1);
    bounds.offset(pos);
    return bounds;
}

}  // namespace

Rect CPanoElement::GetAlphaBoundaryRect(const Rect* clip, int threshold, bool invert) const
{
    bool qualifies[256];
    for (int a = 0; a < 256; ++a)
        qualifies[a] = (invert ? 255 - a : a) >= threshold;
    return PlaneBounds(*this, m_pAlpha, GetAlphaBPL(), clip, qualifies);
}

Rect CPanoElement::GetBitmaskRect(const Rect* clip) const
{
    bool qualifies[256];
    for (int a = 0; a < 256; ++a)
        qualifies[a] = a != 0;
    return PlaneBounds(*this, m_pBitmask, GetBitmaskBPL(), clip, qualifies);
}

namespace {

struct Span {
    int l = 0;
    int r = 0;
    bool exists() const { return l != 0 || r != 0; }  // (0, 0) stands for "no span"
};

// The auto-crop over lines of an alpha plane: rows when Transposed is false, columns
// when it is true. "pos" runs along a line, "line" across. Returns the rectangle in the
// plane's own coordinates, or `whole` when no line is wide enough.
template <bool Transposed>
Rect AutoCrop(const u8* alpha, std::size_t bpl, int w, int h, int percent, const Rect& whole)
{
    const int lines = Transposed ? w : h;
    const int len = Transposed ? h : w;
    auto at = [&](int line, int pos) -> u8 {
        return Transposed ? alpha[static_cast<std::size_t>(pos) * bpl + static_cast<std::size_t>(line)]
                          : alpha[static_cast<std::size_t>(line) * bpl + static_cast<std::size_t>(pos)];
    };

    // cross[pos]: how many pixels across the lines at this position are not transparent,
    // so that the hole test is one look-up instead of a walk along the other axis.
    // Counted per band of rows and added up (integer counts: the same in any order).
    std::vector<int> cross(static_cast<std::size_t>(len), 0);
    std::mutex crossLock;
    Utils::ParallelForRows(h, w, [&](int y0, int y1) {
        std::vector<int> part(static_cast<std::size_t>(len), 0);
        for (int y = y0; y < y1; ++y) {
            const u8* row = alpha + static_cast<std::size_t>(y) * bpl;
            for (int x = 0; x < w; ++x)
                if (row[x])
                    ++part[static_cast<std::size_t>(Transposed ? y : x)];
        }
        std::lock_guard<std::mutex> guard(crossLock);
        for (std::size_t i = 0; i < part.size(); ++i)
            cross[i] += part[i];
    });

    std::vector<Span> span(static_cast<std::size_t>(lines));
    Utils::ParallelForRows(lines, len, [&](int first, int last) {
        for (int line = first; line < last; ++line) {
            int l = 0;
            while (l < len && at(line, l) != 255)
                ++l;
            if (l == len)
                continue;
            int r = len - 1;
            while (at(line, r) != 255)
                --r;
            span[static_cast<std::size_t>(line)] = {l, r};
        }
    });

    // Trim isolated notches near the span ends; a notch in a position that is covered
    // elsewhere means the line crosses a real gap, and the line is dropped.
    Utils::ParallelForRows(lines, len, [&](int first, int last) {
        for (int line = first; line < last; ++line) {
            Span& s = span[static_cast<std::size_t>(line)];
            if (!s.exists())
                continue;
            int l = s.l;
            int r = s.r;
            const int m = (l + r) / 2;
            auto coveredElsewhere = [&](int pos) {
                return cross[static_cast<std::size_t>(pos)] - (at(line, pos) != 0 ? 1 : 0) > 0;
            };

            int hole = -1;
            for (int p = l; p <= m; ++p)
                if (at(line, p) < 255) {
                    hole = p;
                    break;
                }
            if (hole >= 0) {
                if (coveredElsewhere(hole)) {
                    s = Span();
                    continue;
                }
                for (int p = hole; p <= m; ++p)
                    if (at(line, p) == 255) {
                        l = p;
                        break;
                    }
            }

            hole = -1;
            for (int p = r; p >= m; --p)
                if (at(line, p) < 255) {
                    hole = p;
                    break;
                }
            if (hole >= 0) {
                if (coveredElsewhere(hole)) {
                    s = Span();
                    continue;
                }
                for (int p = hole; p >= m; --p)
                    if (at(line, p) == 255) {
                        r = p;
                        break;
                    }
            }
            s = {l, r};
        }
    });

    int c = 0;
    int widest = -1;
    for (int line = 0; line < lines; ++line) {
        const int d = span[static_cast<std::size_t>(line)].r - span[static_cast<std::size_t>(line)].l;
        if (d > widest) {
            widest = d;
            c = line;
        }
    }
    if (widest < len / 10)
        return whole;
    const std::int64_t tolerance = static_cast<std::int64_t>(percent) * widest / 100;

    // Grows from line c in direction dir while (common width) x (lines) keeps increasing.
    struct Growth {
        std::int64_t area;
        int L, R, edge;
    };
    auto grow = [&](int dir) {
        Growth g{0, span[static_cast<std::size_t>(c)].l, span[static_cast<std::size_t>(c)].r, c};
        g.area = g.R - g.L;
        std::int64_t k = 2;
        for (int y = c + dir; y >= 0 && y < lines && span[static_cast<std::size_t>(y)].exists(); y += dir) {
            const int L2 = std::max(g.L, span[static_cast<std::size_t>(y)].l);
            const int R2 = std::min(g.R, span[static_cast<std::size_t>(y)].r);
            const std::int64_t a = static_cast<std::int64_t>(R2 - L2) * k;
            ++k;
            if (a <= g.area)
                break;
            g = {a, L2, R2, y};
        }
        return g;
    };
    const Growth up = grow(-1);
    const Growth down = grow(+1);

    int top, bottom, L, R, dir;
    if (down.area < up.area) {
        top = up.edge;
        bottom = c;
        L = up.L;
        R = up.R;
        dir = +1;
    } else {
        top = c;
        bottom = down.edge;
        L = down.L;
        R = down.R;
        dir = -1;
    }

    const std::int64_t fixedL = L;
    const std::int64_t fixedR = R;
    for (int y = c + dir; y >= 0 && y < lines && span[static_cast<std::size_t>(y)].exists(); y += dir) {
        const Span& s = span[static_cast<std::size_t>(y)];
        if (!(s.l <= fixedL + tolerance && s.r >= fixedR - tolerance))
            break;
        (dir > 0 ? bottom : top) = y;
        L = std::max(L, s.l);
        R = std::min(R, s.r);
    }

    return Transposed ? Rect(top, L, bottom + 1, R + 1) : Rect(L, top, R + 1, bottom + 1);
}

}  // namespace

Rect CPanoElement::GetCropRect(int percent)
{
    if (!m_pAlpha)
        return GetImageRect();
    const Rect b = GetAlphaBoundaryRect(nullptr, 1, false);
    return b.width() <= b.height() ? GetCropRectVert(percent) : GetCropRectHorz(percent);
}

Rect CPanoElement::GetCropRectHorz(int percent)
{
    return AutoCrop<false>(m_pAlpha, static_cast<std::size_t>(GetAlphaBPL()), GetWidth(), GetHeight(), percent,
                           GetImageRect());
}

Rect CPanoElement::GetCropRectVert(int percent)
{
    return AutoCrop<true>(m_pAlpha, static_cast<std::size_t>(GetAlphaBPL()), GetWidth(), GetHeight(), percent,
                          GetImageRect());
}
