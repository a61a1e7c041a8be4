// Colour equalisation of the Horizontal/Vertical engine: across the overlap of a warped
// photo and the panorama so far, a blurred half-difference correction applied to both
// sides (canvas coordinates, 8-bit channels). Rows run in bands with integer
// arithmetic, so the result does not depend on the number of threads. Build thread only.
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
using HvCompositing::AlphaPlane;
using HvCompositing::Plane24;

void CPanorama::GradientAverage(const Pass& pass, int i)
{
    CPanoElement* pano = pass.target;
    const std::vector<CPanoElement*>& warped = pass.warped;
    CPanoElement* photo = static_cast<std::size_t>(i) < warped.size() ? warped[i] : nullptr;
    if (!pano || !photo || static_cast<std::size_t>(i) >= pass.transforms.size())
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

    const double (*t)[3] = pass.transforms[i];
    const CPanoElement* source = pass.photos[i];
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
                    c[ch] = static_cast<u8>(((255 - alpha) * 128 + alpha * d) / 255);
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
                    const int d = static_cast<int>(c[n]) - bias;
                    const int half = (d - (d >> 31)) >> 1;
                    const int v = static_cast<int>(dst[n]) + sign * half;
                    dst[n] = static_cast<u8>(v < 0 ? 0 : v > 255 ? 255 : v);
                }
            }
        });
    };
    apply(pano, k->GetImageRect() & pano->GetImageRect(), 128, -1);
    apply(photo, k->GetImageRect() & r, 127, +1);
}
