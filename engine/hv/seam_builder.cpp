// Seam building on a photo's alpha plane. For each requested side the difference
// buffer (or its strip beside the core rectangle) is searched from the end that
// matches better — the buffer is mirrored when the far end is the better one — and
// the photo keeps only what lies beyond the seam, away from the panorama's content.
#include "engine/hv/seam_builder.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <utility>

namespace {

using VarnoBase::Point;
using VarnoBase::Rect;

bool IsLeftOrRight(unsigned char side) { return side == kSeamLeft || side == kSeamRight; }

// Pixel access to an alpha plane with the clearing rule of one seam side. Every write
// is clipped to the plane, so a stray seam point can never write outside it.
class AlphaCutter {
public:
    AlphaCutter(u8* alpha, int width, int height, int stride, unsigned char side)
        : m_a(alpha), m_w(width), m_h(height), m_stride(static_cast<std::size_t>(stride)), m_side(side)
    {
    }

    void Set(Point p)
    {
        if (p.x >= 0 && p.y >= 0 && p.x < m_w && p.y < m_h)
            m_a[static_cast<std::size_t>(p.y) * m_stride + static_cast<std::size_t>(p.x)] = 255;
    }

    // Clears the pixels on the panorama's side of a seam pixel.
    void Clear(Point p)
    {
        switch (m_side) {
        case kSeamLeft:
            if (p.y >= 0 && p.y < m_h)
                ClearRow(p.y, 0, std::min(p.x, m_w));
            break;
        case kSeamRight:
            if (p.y >= 0 && p.y < m_h)
                ClearRow(p.y, std::max(p.x + 1, 0), m_w);
            break;
        case kSeamTop:
            if (p.x >= 0 && p.x < m_w)
                ClearColumn(p.x, 0, std::min(p.y, m_h));
            break;
        case kSeamBottom:
            if (p.x >= 0 && p.x < m_w)
                ClearColumn(p.x, std::max(p.y + 1, 0), m_h);
            break;
        default:
            break;
        }
    }

private:
    void ClearRow(int y, int from, int to)
    {
        if (from < to)
            std::fill(m_a + static_cast<std::size_t>(y) * m_stride + static_cast<std::size_t>(from),
                      m_a + static_cast<std::size_t>(y) * m_stride + static_cast<std::size_t>(to), static_cast<u8>(0));
    }
    void ClearColumn(int x, int from, int to)
    {
        for (int y = from; y < to; ++y)
            m_a[static_cast<std::size_t>(y) * m_stride + static_cast<std::size_t>(x)] = 0;
    }

    u8* m_a;
    int m_w;
    int m_h;
    std::size_t m_stride;
    unsigned char m_side;
};

// Bresenham's walk from c toward p: max(|dx|, |dy|) steps, starting with c itself and
// stopping before p.
template <class Visit>
void WalkLine(Point c, Point p, Visit&& visit)
{
    const int adx = std::abs(p.x - c.x);
    const int ady = std::abs(p.y - c.y);
    const int sx = p.x > c.x ? 1 : -1;
    const int sy = p.y > c.y ? 1 : -1;
    const int steps = std::max(adx, ady);
    int err = adx - ady;
    Point cur = c;
    for (int s = 0; s < steps; ++s) {
        visit(cur);
        const int e2 = 2 * err;
        if (e2 > -ady) {
            err -= ady;
            cur.x += sx;
        }
        if (e2 < adx) {
            err += adx;
            cur.y += sy;
        }
    }
}

}  // namespace

int calc_mismatch_8gray(CPanoElement* image, VarnoBase::Rect rect)
{
    if (!image || !image->HasBits() || image->GetBPP() != 8)
        return 0;
    const Rect img = image->GetImageRect();
    const Rect r = rect & img;
    if (r.isEmpty())
        return 0;
    const u8* bits = image->GetBits();
    const std::size_t stride = static_cast<std::size_t>(image->GetBPL());
    std::uint64_t sum = 0;
    for (int y = r.top; y < r.bottom; ++y) {
        const u8* row =
            bits + static_cast<std::size_t>(y - img.top) * stride + static_cast<std::size_t>(r.left - img.left);
        for (int x = 0; x < r.width(); ++x)
            sum += row[x];
    }
    const double count = static_cast<double>(r.width()) * static_cast<double>(r.height());
    return static_cast<int>(static_cast<double>(sum) / count + 0.5);
}

CSeamBuilder::CSeamBuilder(CPanoElement* difference, VarnoBase::Rect rect) : m_pDiff(difference)
{
    if (m_pDiff) {
        m_pDiff->AddRef();
        m_rcCore = rect & m_pDiff->GetImageRect();
    } else {
        m_rcCore = Rect();
    }
}

CSeamBuilder::~CSeamBuilder()
{
    if (m_pDiff)
        m_pDiff->Release();
}

void CSeamBuilder::FlipVert(CPanoElement* image)
{
    if (!image || !image->HasBits() || image->GetBPP() != 8)
        return;
    const int h = image->GetHeight();
    const std::size_t stride = static_cast<std::size_t>(image->GetBPL());
    const std::size_t w = static_cast<std::size_t>(image->GetWidth());
    u8* bits = image->GetBits();
    for (int r = 0; r < h / 2; ++r)
        std::swap_ranges(bits + static_cast<std::size_t>(r) * stride, bits + static_cast<std::size_t>(r) * stride + w,
                         bits + static_cast<std::size_t>(h - 1 - r) * stride);
}

void CSeamBuilder::FlipHorz(CPanoElement* image)
{
    if (!image || !image->HasBits() || image->GetBPP() != 8)
        return;
    const int h = image->GetHeight();
    const std::size_t stride = static_cast<std::size_t>(image->GetBPL());
    const std::size_t w = static_cast<std::size_t>(image->GetWidth());
    u8* bits = image->GetBits();
    for (int r = 0; r < h; ++r)
        std::reverse(bits + static_cast<std::size_t>(r) * stride, bits + static_cast<std::size_t>(r) * stride + w);
}

bool CSeamBuilder::FlipForMinimizingMismatching(CPanoElement* buffer, bool vertical)
{
    if (!buffer)
        return false;
    const Point saved = buffer->GetPosition();
    buffer->SetPosition(Point(0, 0));  // the bands are in the buffer's own coordinates
    const int w = buffer->GetWidth();
    const int h = buffer->GetHeight();
    Rect first;
    Rect last;
    if (vertical) {
        first = Rect(w / 4, 0, 3 * w / 4, h / 4);
        last = Rect(w / 4, h - h / 4, 3 * w / 4, h);
    } else {
        first = Rect(0, h / 4, w / 4, 3 * h / 4);
        last = Rect(w - w / 4, h / 4, w, 3 * h / 4);
    }
    const int firstMean = calc_mismatch_8gray(buffer, first);
    const int lastMean = calc_mismatch_8gray(buffer, last);
    buffer->SetPosition(saved);
    return firstMean > lastMean;
}

CPanoElement* CSeamBuilder::GetDiffBuffer(unsigned long side)
{
    if (!m_pDiff)
        return nullptr;
    const Rect D = m_pDiff->GetImageRect();
    const Rect K = m_rcCore;
    const bool singleSide = m_mask == kSeamLeft || m_mask == kSeamRight || m_mask == kSeamTop || m_mask == kSeamBottom;
    if (singleSide || K.isEmpty()) {
        m_pDiff->AddRef();
        return m_pDiff;
    }
    Rect S = D;
    if (side & kSeamLeft)
        S.right = std::min(K.left, D.right);
    else if (side & kSeamRight)
        S.left = std::max(K.right, D.left);
    else if (side & kSeamTop)
        S.bottom = std::min(K.top, D.bottom);
    else if (side & kSeamBottom)
        S.top = std::max(K.bottom, D.top);
    else
        return nullptr;
    if (S.isEmpty())
        return nullptr;
    if (S == D) {
        m_pDiff->AddRef();
        return m_pDiff;
    }
    return m_pDiff->CutRectangle(S, false);
}

void CSeamBuilder::GetStitchLines(CStitchingLine& out) const
{
    out.SetStitchLines(&m_left, &m_right, &m_top, &m_bottom);
}

bool CSeamBuilder::BuildSeams(CPanoElement* photo, unsigned long sides)
{
    if (!m_pDiff || !photo)
        return false;
    m_mask = sides;
    m_rcTarget = photo->GetImageRect();
    static constexpr unsigned char kOrder[] = {kSeamLeft, kSeamRight, kSeamTop, kSeamBottom};
    for (const unsigned char side : kOrder) {
        if (!(sides & side))
            continue;
        CPanoElement* buffer = GetDiffBuffer(side);
        if (!buffer)
            continue;
        if (!buffer->HasBits() || buffer->GetBPP() != 8) {
            buffer->Release();
            continue;
        }
        const bool vertical = IsLeftOrRight(side);
        const int margin = GetStitchLineIndent(vertical ? buffer->GetWidth() : buffer->GetHeight());
        const bool flipped = FlipForMinimizingMismatching(buffer, vertical);
        if (flipped)
            vertical ? FlipVert(buffer) : FlipHorz(buffer);

        CStLine& line = side == kSeamLeft ? m_left : side == kSeamRight ? m_right : side == kSeamTop ? m_top : m_bottom;
        line.rect = buffer->GetImageRect();
        line.offset = buffer->GetPosition() - m_rcTarget.topLeft();
        const Point origin = line.offset;
        if (vertical)
            GetOptimalStitchingLinePath(buffer->GetBits(), buffer->GetWidth(), buffer->GetHeight(), buffer->GetBPL(),
                                        line, origin, flipped, margin);
        else
            GetHorzOptimalStitchingLinePath(buffer->GetBits(), buffer->GetWidth(), buffer->GetHeight(),
                                            buffer->GetBPL(), line, origin, flipped, margin);
        // The buffer may be the shared difference image that the next side searches
        // too: mirror it back.
        if (flipped)
            vertical ? FlipVert(buffer) : FlipHorz(buffer);
        const int extent = vertical ? buffer->GetHeight() : buffer->GetWidth();
        buffer->Release();
        AddSeam(photo, extent, side);
    }
    return true;
}

bool CSeamBuilder::AddSeam_Left(CPanoElement* photo, int extent) { return AddSeam(photo, extent, kSeamLeft); }
bool CSeamBuilder::AddSeam_Right(CPanoElement* photo, int extent) { return AddSeam(photo, extent, kSeamRight); }
bool CSeamBuilder::AddSeam_Top(CPanoElement* photo, int extent) { return AddSeam(photo, extent, kSeamTop); }
bool CSeamBuilder::AddSeam_Bottom(CPanoElement* photo, int extent) { return AddSeam(photo, extent, kSeamBottom); }

bool CSeamBuilder::AddSeam(CPanoElement* photo, int extent, unsigned char side)
{
    CStLine& line = side == kSeamLeft ? m_left : side == kSeamRight ? m_right : side == kSeamTop ? m_top : m_bottom;
    if (line.points.empty())
        return false;
    const bool vertical = IsLeftOrRight(side);
    // The seam spans the whole buffer: extend it to the buffer's first and last row
    // (or column). The extended polyline is what the engine keeps.
    std::vector<Point>& pts = line.points;
    const Point first = pts.front();
    const Point last = pts.back();
    if (vertical) {
        pts.insert(pts.begin(), Point(first.x, line.offset.y));
        pts.push_back(Point(last.x, line.offset.y + extent - 1));
    } else {
        pts.insert(pts.begin(), Point(line.offset.x, first.y));
        pts.push_back(Point(line.offset.x + extent - 1, last.y));
    }
    if (!photo || !photo->GetAlphaBits())
        return false;

    AlphaCutter cut(photo->GetAlphaBits(), photo->GetWidth(), photo->GetHeight(), photo->GetAlphaBPL(), side);
    cut.Set(pts[0]);
    cut.Clear(pts[0]);
    for (std::size_t k = 1; k < pts.size(); ++k) {
        const Point c = pts[k - 1];
        const Point p = pts[k];
        if (std::abs(p.x - c.x) < 2 && std::abs(p.y - c.y) < 2) {
            cut.Set(p);
            if (vertical ? p.y != c.y : p.x != c.x)
                cut.Clear(p);
        } else {
            WalkLine(c, p, [&](Point q) {
                cut.Clear(q);
                cut.Set(q);
            });
        }
    }
    return true;
}

CExpandStitchingLine::CExpandStitchingLine(CPanoElement* working, CPanoElement* full, const CStitchingLine& lines)
    : m_pWorking(working), m_pFull(full), m_pLines(&lines)
{
    if (m_pWorking)
        m_pWorking->AddRef();
    if (m_pFull)
        m_pFull->AddRef();
}

CExpandStitchingLine::~CExpandStitchingLine()
{
    if (m_pWorking)
        m_pWorking->Release();
    if (m_pFull)
        m_pFull->Release();
}

bool CExpandStitchingLine::Expand()
{
    if (!m_pWorking || !m_pFull)
        return false;
    return expand_left() && expand_right() && expand_top() && expand_bottom();
}

bool CExpandStitchingLine::expand_left() { return ExpandSide(kSeamLeft); }
bool CExpandStitchingLine::expand_right() { return ExpandSide(kSeamRight); }
bool CExpandStitchingLine::expand_top() { return ExpandSide(kSeamTop); }
bool CExpandStitchingLine::expand_bottom() { return ExpandSide(kSeamBottom); }

bool CExpandStitchingLine::ExpandSide(unsigned char side)
{
    const CStLine& line = m_pLines->GetPoints(side);
    if (line.points.empty())
        return true;
    const Rect working = m_pWorking->GetImageRect();
    const Rect full = m_pFull->GetImageRect();
    const std::int64_t wa = working.width();
    const std::int64_t ha = working.height();
    const std::int64_t wb = full.width();
    const std::int64_t hb = full.height();
    if (!m_pFull->GetAlphaBits())
        return false;
    // A working photo one pixel wide or high has no seam worth scaling (and the
    // rescaling would divide by zero): leave the full-size alpha alone.
    if (wa < 2 || ha < 2)
        return true;

    std::vector<Point> scaled;
    scaled.reserve(line.points.size());
    for (const Point& p : line.points)
        scaled.emplace_back(static_cast<int>((wb - 1) * p.x / (wa - 1)), static_cast<int>((hb - 1) * p.y / (ha - 1)));

    AlphaCutter cut(m_pFull->GetAlphaBits(), m_pFull->GetWidth(), m_pFull->GetHeight(), m_pFull->GetAlphaBPL(), side);
    cut.Set(scaled[0]);
    cut.Clear(scaled[0]);
    const bool vertical = IsLeftOrRight(side);
    int remembered = INT_MAX;  // row (or column) of the step before
    for (std::size_t k = 0; k + 1 < scaled.size(); ++k) {
        WalkLine(scaled[k], scaled[k + 1], [&](Point q) {
            cut.Set(q);
            const int key = vertical ? q.y : q.x;
            if (key != remembered) {
                cut.Clear(q);
                remembered = key;
            }
        });
    }
    return true;
}
