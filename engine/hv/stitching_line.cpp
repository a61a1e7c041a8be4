// Seam search: Dijkstra over an 8-bit cost buffer with a 5-ary heap (see the header).
// Both orientations run the same search in (across, along) coordinates: across is x
// for a top-to-bottom seam and y for a left-to-right one.
#include "engine/hv/stitching_line.h"

#include <algorithm>
#include <utility>

const int DEF_STITCHLINE_INDENT = 16;

const CStLine& CStitchingLine::GetPoints(unsigned char side) const
{
    switch (side) {
    case kSeamLeft:
        return m_left;
    case kSeamRight:
        return m_right;
    case kSeamTop:
        return m_top;
    case kSeamBottom:
        return m_bottom;
    default: {
        static const CStLine empty;
        return empty;
    }
    }
}

void CStitchingLine::SetStitchLines(const CStLine* left, const CStLine* right, const CStLine* top,
                                    const CStLine* bottom)
{
    if (left)
        m_left = *left;
    if (right)
        m_right = *right;
    if (top)
        m_top = *top;
    if (bottom)
        m_bottom = *bottom;
}

unsigned char CStitchingLine::GetSeamOrient() const
{
    unsigned char orient = 0;
    if (!m_left.points.empty())
        orient |= kSeamLeft;
    if (!m_right.points.empty())
        orient |= kSeamRight;
    if (!m_top.points.empty())
        orient |= kSeamTop;
    if (!m_bottom.points.empty())
        orient |= kSeamBottom;
    return orient;
}

CNMinHeap::CNMinHeap(int capacity)
    : m_capacity(std::max(capacity, 0)),
      m_entries(static_cast<std::size_t>(std::max(capacity, 0)), Entry{INT_MAX, 0, 0})
{
}

bool CNMinHeap::Add(int key, int x, int y)
{
    if (m_count >= m_capacity)
        return false;
    std::int64_t i = m_count++;
    m_entries[static_cast<std::size_t>(i)] = Entry{key, x, y};
    while (i > 0) {
        const std::int64_t parent = (i - 1) / kArity;
        if (!(m_entries[static_cast<std::size_t>(i)].key < m_entries[static_cast<std::size_t>(parent)].key))
            break;  // strict: never passes an equal key
        std::swap(m_entries[static_cast<std::size_t>(i)], m_entries[static_cast<std::size_t>(parent)]);
        i = parent;
    }
    return true;
}

int CNMinHeap::DeleteRoot(int* x, int* y)
{
    if (m_count == 0)
        return INT_MAX;
    const Entry root = m_entries[0];
    --m_count;
    if (m_count == 0) {
        m_entries[0].key = INT_MAX;
    } else {
        m_entries[0] = m_entries[static_cast<std::size_t>(m_count)];
        m_entries[static_cast<std::size_t>(m_count)].key = INT_MAX;
        std::int64_t i = 0;
        for (;;) {
            const std::int64_t first = kArity * i + 1;
            if (first >= m_count)
                break;
            const std::int64_t end = std::min<std::int64_t>(kArity * i + kArity + 1, m_count);
            std::int64_t best = first;
            for (std::int64_t c = first + 1; c < end; ++c)
                if (m_entries[static_cast<std::size_t>(c)].key < m_entries[static_cast<std::size_t>(best)].key)
                    best = c;
            if (m_entries[static_cast<std::size_t>(i)].key <= m_entries[static_cast<std::size_t>(best)].key)
                break;
            std::swap(m_entries[static_cast<std::size_t>(i)], m_entries[static_cast<std::size_t>(best)]);
            i = best;
        }
    }
    if (x)
        *x = root.x;
    if (y)
        *y = root.y;
    return root.key;
}

int GetStitchLineIndent(int extent) noexcept
{
    int margin = DEF_STITCHLINE_INDENT;
    if (extent <= 4 * margin) {
        margin /= 2;
        if (extent <= 4 * margin)
            margin /= 2;
    }
    margin = std::max(margin, 4);
    if (extent <= 8)
        margin = 0;
    return margin;
}

namespace {

// across x along = the buffer turned so that the seam runs along `along`; Horz selects
// a left-to-right seam (across = y, along = x).
template <bool Horz>
void SearchSeam(const unsigned char* bits, int width, int height, int stride, CStLine& line,
                VarnoBase::Point origin, bool flipped, int indent)
{
    line.points.clear();
    if (!bits || width <= 0 || height <= 0)
        return;
    const int U = Horz ? height : width;   // across the seam
    const int V = Horz ? width : height;   // along the seam
    const std::int64_t n64 = static_cast<std::int64_t>(U) * V;
    if (n64 > INT_MAX)
        return;  // the heap counts in int; no overlap of a working copy comes near this
    const std::size_t n = static_cast<std::size_t>(n64);
    const auto at = [U](int u, int v) {
        return static_cast<std::size_t>(v) * static_cast<std::size_t>(U) + static_cast<std::size_t>(u);
    };
    const auto cost = [bits, stride](int u, int v) -> int {
        return Horz
                   ? bits[static_cast<std::size_t>(u) * static_cast<std::size_t>(stride) + static_cast<std::size_t>(v)]
                   : bits[static_cast<std::size_t>(v) * static_cast<std::size_t>(stride) + static_cast<std::size_t>(u)];
    };

    std::vector<int> dist(n, INT_MAX);
    std::vector<int> prev(n, -1);  // node index of the predecessor
    std::vector<unsigned char> open(n, 0);
    const int openFrom = std::max(indent, 0);
    const int openTo = U - std::max(indent, 0);
    for (int v = 0; v < V; ++v)
        for (int u = openFrom; u < openTo; ++u)
            open[at(u, v)] = 1;

    CNMinHeap heap(static_cast<int>(n64));
    int lastU = U / 2;
    int lastV = 0;
    dist[at(lastU, 0)] = 0;
    heap.Add(0, lastU, 0);

    for (;;) {
        int pu = lastU;
        int pv = lastV;
        const int key = heap.DeleteRoot(&pu, &pv);
        if (key == INT_MAX)
            break;  // ran dry: the path ends at the previous node
        lastU = pu;
        lastV = pv;
        if (pv == V - 1)
            break;
        const std::size_t here = at(pu, pv);
        open[here] = 0;
        // Keys are bounded by 255 per node, far below INT_MAX for any accepted size.
        const auto tryMove = [&](int nu, int nv) {
            const std::size_t j = at(nu, nv);
            if (!open[j])
                return;
            const int nd = key + cost(nu, nv);
            if (nd < dist[j]) {
                heap.Add(nd, nu, nv);  // a full heap drops the entry; the node still improves
                dist[j] = nd;
                prev[j] = static_cast<int>(here);
            }
        };
        if (pu > 1)
            tryMove(pu - 1, pv);
        if (pu < U - 1)
            tryMove(pu + 1, pv);
        if (pv < V - 1) {
            if (pu > 1)
                tryMove(pu - 1, pv + 1);
            tryMove(pu, pv + 1);
            if (pu < U - 1)
                tryMove(pu + 1, pv + 1);
        }
    }

    std::vector<VarnoBase::Point> points;
    for (int j = prev[at(lastU, lastV)]; j >= 0; j = prev[static_cast<std::size_t>(j)]) {
        const int u = j % U;
        int v = j / U;
        if (flipped)
            v = V - 1 - v;
        const VarnoBase::Point p = Horz ? VarnoBase::Point(v, u) : VarnoBase::Point(u, v);
        points.push_back(p + origin);
    }
    if (!flipped)
        std::reverse(points.begin(), points.end());
    line.points = std::move(points);
}

}  // namespace

void GetOptimalStitchingLinePath(const unsigned char* bits, int width, int height, int stride, CStLine& line,
                                 VarnoBase::Point origin, bool flipped, int indent)
{
    SearchSeam<false>(bits, width, height, stride, line, origin, flipped, indent);
}

void GetHorzOptimalStitchingLinePath(const unsigned char* bits, int width, int height, int stride, CStLine& line,
                                     VarnoBase::Point origin, bool flipped, int indent)
{
    SearchSeam<true>(bits, width, height, stride, line, origin, flipped, indent);
}
