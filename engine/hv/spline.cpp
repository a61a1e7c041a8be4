// Multiresolution spline of two 24-bit photos (see the header). The blend area is
// padded to k * 2^(L-1) + 1 samples so that every reduction and expansion maps the
// level sizes exactly onto each other. Positions of the work area that a photo does
// not cover take the samples of the nearest covered position along their row or
// column, so the pyramids never see a black border.
#include "engine/hv/spline.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/parallel.h"

namespace MultiresolutionSpline {

using LaplacianPyramid::CLevel;
using LaplacianPyramid::CPyramid;
using VarnoBase::Rect;

namespace {

// Pads one dimension [lo, hi) to k * step + 1 samples; false when it cannot be held.
bool PadRange(int& lo, int& hi, std::int64_t step)
{
    const std::int64_t n = static_cast<std::int64_t>(hi) - lo;
    std::int64_t newLo = lo;
    std::int64_t newHi = hi;
    if (n % step == 0) {
        newHi += 1;
    } else {
        const std::int64_t padded = (n / step + 1) * step + 1;
        const std::int64_t extra = padded - n;
        newLo -= extra / 2;
        newHi += extra - extra / 2;
    }
    if (newLo < INT_MIN || newHi > INT_MAX || newHi - newLo > INT_MAX)
        return false;
    lo = static_cast<int>(newLo);
    hi = static_cast<int>(newHi);
    return true;
}

}  // namespace

Rect PadBlendRect(const Rect& blend, int levels)
{
    if (blend.isEmpty() || levels < 1 || levels > 30)
        return Rect();
    const std::int64_t step = static_cast<std::int64_t>(1) << (levels - 1);
    Rect r = blend;
    if (!PadRange(r.left, r.right, step) || !PadRange(r.top, r.bottom, step))
        return Rect();
    return r;
}

void FillHoles(const unsigned char* cover, std::size_t coverStride, CLevel* c0, CLevel* c1, CLevel* c2)
{
    if (!cover || !c0 || !c1 || !c2)
        return;
    const int W = std::min({c0->width, c1->width, c2->width});
    const int H = std::min({c0->height, c1->height, c2->height});
    if (W <= 0 || H <= 0)
        return;
    const auto coverRow = [&](int y) { return cover + static_cast<std::size_t>(y) * coverStride; };

    // Candidate of one hole: distance * 4 + direction (0 left, 1 right, 2 above,
    // 3 below), so the smallest value is the nearest hit and, among equal distances,
    // the direction tried first. Only holes' entries are written and read. Each of
    // the three sweeps below is independent across rows or across columns.
    constexpr int kNone = INT_MAX;
    std::unique_ptr<int[]> best(new int[static_cast<std::size_t>(W) * static_cast<std::size_t>(H)]);
    std::vector<unsigned char> rowHasHole(static_cast<std::size_t>(H));
    const auto bestRow = [&](int y) { return best.get() + static_cast<std::size_t>(y) * static_cast<std::size_t>(W); };

    // Along each row: the nearest covered position to the left and to the right.
    Utils::ParallelForRows(H, W, [&](int y0, int y1) {
        std::vector<int> rightHit(static_cast<std::size_t>(W));
        for (int y = y0; y < y1; ++y) {
            const unsigned char* cv = coverRow(y);
            rowHasHole[static_cast<std::size_t>(y)] = std::memchr(cv, 0, static_cast<std::size_t>(W)) != nullptr;
            if (!rowHasHole[static_cast<std::size_t>(y)])
                continue;
            int* b = bestRow(y);
            int next = -1;
            for (int x = W - 1; x >= 0; --x) {
                if (cv[x])
                    next = x;
                rightHit[static_cast<std::size_t>(x)] = next;
            }
            int last = -1;
            for (int x = 0; x < W; ++x) {
                if (cv[x]) {
                    last = x;
                    continue;
                }
                int cand = kNone;
                if (last >= 0)
                    cand = (x - last) * 4 + 0;
                if (const int r = rightHit[static_cast<std::size_t>(x)]; r >= 0)
                    cand = std::min(cand, (r - x) * 4 + 1);
                b[x] = cand;
            }
        }
    });

    // Down each column: the nearest covered position above, then below.
    Utils::ParallelForRows(W, H, [&](int x0, int x1) {
        const std::size_t n = static_cast<std::size_t>(x1 - x0);
        std::vector<int> nearest(n, -1);
        for (int y = 0; y < H; ++y) {
            const unsigned char* cv = coverRow(y) + x0;
            if (!rowHasHole[static_cast<std::size_t>(y)]) {
                std::fill(nearest.begin(), nearest.end(), y);
                continue;
            }
            int* b = bestRow(y) + x0;
            for (std::size_t i = 0; i < n; ++i) {
                if (cv[i])
                    nearest[i] = y;
                else if (nearest[i] >= 0)
                    b[i] = std::min(b[i], (y - nearest[i]) * 4 + 2);
            }
        }
        std::fill(nearest.begin(), nearest.end(), -1);
        for (int y = H - 1; y >= 0; --y) {
            const unsigned char* cv = coverRow(y) + x0;
            if (!rowHasHole[static_cast<std::size_t>(y)]) {
                std::fill(nearest.begin(), nearest.end(), y);
                continue;
            }
            int* b = bestRow(y) + x0;
            for (std::size_t i = 0; i < n; ++i) {
                if (cv[i])
                    nearest[i] = y;
                else if (nearest[i] >= 0)
                    b[i] = std::min(b[i], (nearest[i] - y) * 4 + 3);
            }
        }
    });

    // Fill. Sources are covered positions, which filling never changes, so rows can
    // be filled in any order.
    Utils::ParallelForRows(H, W, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            if (!rowHasHole[static_cast<std::size_t>(y)])
                continue;
            const unsigned char* cv = coverRow(y);
            const int* b = bestRow(y);
            for (int x = 0; x < W; ++x) {
                if (cv[x] || b[x] == kNone)
                    continue;
                const int dist = b[x] >> 2;
                int sx = x;
                int sy = y;
                switch (b[x] & 3) {
                case 0: sx = x - dist; break;
                case 1: sx = x + dist; break;
                case 2: sy = y - dist; break;
                default: sy = y + dist; break;
                }
                c0->Row(y)[x] = c0->Row(sy)[sx];
                c1->Row(y)[x] = c1->Row(sy)[sx];
                c2->Row(y)[x] = c2->Row(sy)[sx];
            }
        }
    });
}

void CopyImage(CPanoElement* photo, CLevel* channel0, CLevel* channel1, CLevel* channel2, CLevel* mask,
               const Rect& work)
{
    if (!photo || !channel0 || !channel1 || !channel2 || work.isEmpty() || !photo->HasBits() ||
        photo->GetBPP() != 24)
        return;
    const Rect P = photo->GetImageRect();
    const Rect I = P & work;
    const u8* bits = photo->GetBits();
    const std::size_t bpl = static_cast<std::size_t>(photo->GetBPL());
    const u8* alpha = photo->GetAlphaBits();
    const std::size_t alphaBpl = static_cast<std::size_t>(photo->GetAlphaBPL());
    if (!I.isEmpty()) {
        for (int y = I.top; y < I.bottom; ++y) {
            const u8* src =
                bits + static_cast<std::size_t>(y - P.top) * bpl + static_cast<std::size_t>(I.left - P.left) * 3;
            const int ly = y - work.top;
            const int lx = I.left - work.left;
            u8* d0 = channel0->Row(ly) + lx;
            u8* d1 = channel1->Row(ly) + lx;
            u8* d2 = channel2->Row(ly) + lx;
            for (int x = 0; x < I.width(); ++x, src += 3) {
                d2[x] = src[0];
                d1[x] = src[1];
                d0[x] = src[2];
            }
            if (mask) {
                u8* m = mask->Row(ly) + lx;
                if (alpha)
                    std::copy_n(alpha + static_cast<std::size_t>(y - P.top) * alphaBpl +
                                    static_cast<std::size_t>(I.left - P.left),
                                static_cast<std::size_t>(I.width()), m);
                else
                    std::fill_n(m, static_cast<std::size_t>(I.width()), static_cast<u8>(255));
            }
        }
    }

    // What the photo covers: its mask plane when it has one, else its alpha; without
    // either, its whole rectangle.
    const u8* plane = photo->GetBitmaskBits() ? photo->GetBitmaskBits() : alpha;
    const std::size_t planeBpl = photo->GetBitmaskBits() ? static_cast<std::size_t>(photo->GetBitmaskBPL()) : alphaBpl;
    const std::size_t W = static_cast<std::size_t>(work.width());
    std::vector<u8> cover(W * static_cast<std::size_t>(work.height()), 0);
    for (int y = I.top; y < I.bottom; ++y) {
        u8* c =
            cover.data() + static_cast<std::size_t>(y - work.top) * W + static_cast<std::size_t>(I.left - work.left);
        if (plane)
            std::copy_n(
                plane + static_cast<std::size_t>(y - P.top) * planeBpl + static_cast<std::size_t>(I.left - P.left),
                static_cast<std::size_t>(I.width()), c);
        else
            std::fill_n(c, static_cast<std::size_t>(I.width()), static_cast<u8>(255));
    }
    FillHoles(cover.data(), W, channel0, channel1, channel2);
}

void SpliningImages(CPyramid& a, CPyramid& b, CPyramid& mask)
{
    const std::size_t n = std::min({a.levels.size(), b.levels.size(), mask.levels.size()});
    for (std::size_t l = n; l-- > 0;) {
        CLevel* la = a.levels[l];
        const CLevel* lb = b.levels[l];
        const CLevel* lm = mask.levels[l];
        const int w = std::min({la->width, lb->width, lm->width});
        const int h = std::min({la->height, lb->height, lm->height});
        Utils::ParallelForRows(h, w, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                u8* pa = la->Row(y);
                const u8* pb = lb->Row(y);
                const u8* pm = lm->Row(y);
                for (int x = 0; x < w; ++x) {
                    const int m = pm[x];
                    pa[x] = static_cast<u8>(std::min((pa[x] * m + pb[x] * (255 - m)) / 255, 255));
                }
            }
        });
    }
}

void ReconstuctImageChannel(CPyramid& pyramid)
{
    for (int i = static_cast<int>(pyramid.levels.size()) - 1; i >= 1; --i) {
        LaplacianPyramid::Expand_AndAdd(pyramid.levels[static_cast<std::size_t>(i) - 1],
                                        pyramid.levels[static_cast<std::size_t>(i)]);
        VarnoBase::RefCounter::SafeRelease(pyramid.RemoveLevel(i));
    }
}

CSplineRGB::~CSplineRGB()
{
    if (m_pFirst)
        m_pFirst->Release();
}

void CSplineRGB::Reset()
{
    m_bReady = false;
    m_rcBlend = Rect();
    m_rcWork = Rect();
    for (int c = 0; c < 3; ++c) {
        m_first[c].RemoveLevels();
        m_second[c].RemoveLevels();
    }
    m_mask.RemoveLevels();
    if (m_pFirst) {
        m_pFirst->Release();
        m_pFirst = nullptr;
    }
}

bool CSplineRGB::Initialize(int levels, CPanoElement* first, CPanoElement* second)
{
    Reset();
    if (!first || !second || levels < 2 || levels > 30)
        return false;
    if (!first->HasBits() || !second->HasBits() || first->GetBPP() != 24 || second->GetBPP() != 24)
        return false;
    first->AddRef();
    m_pFirst = first;

    const Rect F = first->GetImageRect();
    const Rect blend = second->GetAlphaBoundaryRect(&F, 1, false) & F;
    if (blend.isEmpty())
        return false;
    m_rcBlend = blend;
    const Rect work = PadBlendRect(blend, levels);
    if (work.isEmpty())
        return false;
    m_rcWork = work;

    try {
        CPyramid* all[7] = {&m_first[0], &m_first[1], &m_first[2], &m_second[0], &m_second[1], &m_second[2], &m_mask};
        for (CPyramid* p : all) {
            p->levels.reserve(static_cast<std::size_t>(levels));
            p->levels.push_back(new CLevel(work.width(), work.height()));
        }
        // The two copies, the seven pyramids and the three channels' mixes are
        // independent of each other and run side by side (the levels are small, so
        // their own row loops mostly stay on one thread).
        Utils::ParallelForEach(2, 0, [&](std::size_t k) {
            if (k == 0)
                CopyImage(first, m_first[0].levels[0], m_first[1].levels[0], m_first[2].levels[0], m_mask.levels[0],
                          work);
            else
                CopyImage(second, m_second[0].levels[0], m_second[1].levels[0], m_second[2].levels[0], nullptr, work);
        });
        Utils::ParallelForEach(7, 0, [&](std::size_t k) { all[k]->Build(levels, k < 6); });
        Utils::ParallelForEach(3, 0, [&](std::size_t c) {
            SpliningImages(m_first[c], m_second[c], m_mask);
            m_second[c].RemoveLevels();  // only the mix is needed from here on
            ReconstuctImageChannel(m_first[c]);
        });
        m_mask.RemoveLevels();
    } catch (const LaplacianPyramid::outofmemory&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_bReady = true;
    return true;
}

void CSplineRGB::InsertResult(CPanoElement* destination)
{
    if (!m_bReady || !destination || !m_pFirst || !destination->HasBits() || destination->GetBPP() != 24)
        return;
    if (m_first[0].levels.empty() || m_first[1].levels.empty() || m_first[2].levels.empty())
        return;  // already inserted
    const CLevel* ch0 = m_first[0].levels[0];
    const CLevel* ch1 = m_first[1].levels[0];
    const CLevel* ch2 = m_first[2].levels[0];
    const Rect D = destination->GetImageRect();
    const Rect F = m_pFirst->GetImageRect();
    const Rect R = m_rcBlend & D & F;
    u8* bits = destination->GetBits();
    const std::size_t bpl = static_cast<std::size_t>(destination->GetBPL());
    u8* alpha = destination->GetAlphaBits();
    const std::size_t alphaBpl = static_cast<std::size_t>(destination->GetAlphaBPL());
    const u8* mask = m_pFirst->GetBitmaskBits();
    const std::size_t maskBpl = static_cast<std::size_t>(m_pFirst->GetBitmaskBPL());
    for (int y = R.top; y < R.bottom; ++y) {
        const int wy = y - m_rcWork.top;
        const u8* s0 = ch0->Row(wy) + (R.left - m_rcWork.left);
        const u8* s1 = ch1->Row(wy) + (R.left - m_rcWork.left);
        const u8* s2 = ch2->Row(wy) + (R.left - m_rcWork.left);
        u8* dst = bits + static_cast<std::size_t>(y - D.top) * bpl + static_cast<std::size_t>(R.left - D.left) * 3;
        for (int x = 0; x < R.width(); ++x, dst += 3) {
            dst[0] = s2[x];
            dst[1] = s1[x];
            dst[2] = s0[x];
        }
        if (!alpha)
            continue;
        u8* a = alpha + static_cast<std::size_t>(y - D.top) * alphaBpl + static_cast<std::size_t>(R.left - D.left);
        if (!mask) {
            std::fill_n(a, static_cast<std::size_t>(R.width()), static_cast<u8>(255));
            continue;
        }
        const u8* m = mask + static_cast<std::size_t>(y - F.top) * maskBpl + static_cast<std::size_t>(R.left - F.left);
        for (int x = 0; x < R.width(); ++x) {
            const int mv = m[x];
            if (mv == 255)
                a[x] = 255;
            else if (mv > 0)
                a[x] = static_cast<u8>(255 - (255 - mv) * (255 - a[x]) / 255);
        }
    }
    for (int c = 0; c < 3; ++c)
        m_first[c].RemoveLevels();
    m_pFirst->FreeBitmaskChannel();
}

}  // namespace MultiresolutionSpline
