// Sewing and patching of the Horizontal/Vertical engine: the multiresolution spline of
// the seam zone prepared, each warped photo written into the panorama (canvas
// coordinates) in mosaic order, the panorama recomposed from the warped photos, and
// the patch rectangle carried between the working-size and the full-size canvas.
// Rows run in bands; build thread only. The pass's lists own the warped photos.
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
#include "engine/hv/spline.h"

using VarnoBase::Point;
using VarnoBase::Rect;
using HvCompositing::AlphaPlane;
using HvCompositing::Plane24;
using HvCompositing::WarpedRect;

namespace {

inline u8 Clamp255(int v)
{
    return static_cast<u8>(std::clamp(v, 0, 255));
}

inline u8* PixelAt(const CPanoElement* e, int x, int y)
{
    const Point p = e->m_position;
    return e->GetBits() + static_cast<std::size_t>(y - p.y) * e->GetBPL() + static_cast<std::size_t>(x - p.x) * 3;
}

}  // namespace

// ---------------------------------------------------------------------------------
// 6. Spline

bool CPanorama::InitBlurStitchingLine(const Pass& pass, int i, MultiresolutionSpline::CSplineRGB& spline)
{
    m_rcBlur.setEmpty();
    CPanoElement* photo = static_cast<std::size_t>(i) < pass.warped.size() ? pass.warped[i] : nullptr;
    if (!spline.Initialize(pass.levels, photo, pass.target))
        return false;
    m_rcBlur = spline.GetBlendRect();
    return true;
}

// ---------------------------------------------------------------------------------
// 7. and 8. Writing photos into the panorama

bool CPanorama::SewDownImage(const Pass& pass, int i, Rect* changed)
{
    if (changed)
        changed->setEmpty();
    CPanoElement* pano = pass.target;
    const std::vector<CPanoElement*>& warped = pass.warped;
    CPanoElement* photo = static_cast<std::size_t>(i) < warped.size() ? warped[i] : nullptr;
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
                    *pa = static_cast<u8>(a2);
                } else if (smart) {
                    if (a2 == 0)
                        continue;
                    const int A = 255 - (255 - a1) * (255 - a2) / 255;
                    for (int k = 0; k < 3; ++k)
                        p[k] = Clamp255(((255 - a2) * A * p[k] + 255 * a2 * q[k]) / (255 * A));
                    *pa = static_cast<u8>(A);
                } else {
                    for (int k = 0; k < 3; ++k)
                        p[k] = static_cast<u8>((p[k] + q[k]) / 2);
                    *pa = 255;
                }
            }
        }
    });
    if (changed)
        *changed = o;
    return true;
}

bool CPanorama::SewDownWorldImage(const Pass& pass, int i, CPanoElement* photo, Rect* changed)
{
    if (!photo)
        return false;
    std::vector<CPanoElement*>& warped = pass.warped;
    const std::vector<AFFINE_MATRIX>& transforms = pass.transforms;
    if (i < 0 || static_cast<std::size_t>(i) >= transforms.size())
        return false;
    if (warped.size() <= static_cast<std::size_t>(i))
        warped.resize(static_cast<std::size_t>(i) + 1, nullptr);
    const double (*rot)[3] = m_rotation;
    bool identity = true;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            identity = identity && rot[r][c] == (r == c ? 1.0 : 0.0);
    if (!identity) {
        if (!TransformImage(pass, i))
            return false;
        SewDownImage(pass, i, nullptr);
        return true;
    }
    Rect r;
    if (!WarpedRect(transforms[i], photo->GetWidth(), photo->GetHeight(), &r))
        return false;
    CPanoElement* pano = pass.target;
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
        std::copy_n(PixelAt(photo, o.left, y), static_cast<std::size_t>(o.width()) * 3, PixelAt(pano, o.left, y));
        std::copy_n(photo->m_pAlpha + static_cast<std::size_t>(y - photo->m_position.y) * photo->GetAlphaBPL() +
                        (o.left - photo->m_position.x),
                    o.width(),
                    pano->m_pAlpha + static_cast<std::size_t>(y - pano->m_position.y) * pano->GetAlphaBPL() +
                        (o.left - pano->m_position.x));
    }
    if (changed)
        *changed = pano->GetImageRect();
    return true;
}

// ---------------------------------------------------------------------------------
// 9. to 11. Recomposition and patches

bool CPanorama::RebuildPano(const Pass& pass, bool keepSeams)
{
    CPanoElement* pano = pass.target;
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
    m_stitchingLines.assign(pass.photos.size(), CStitchingLine());
    if (m_mosaicGraph.nodes.empty())
        return false;

    const int root = m_mosaicGraph.nodes.front()->id;
    SewDownImage(pass, root, nullptr);
    m_stitchOrder.push_back(root);
    for (std::size_t n = 1; n < m_mosaicGraph.nodes.size(); ++n) {
        const int j = m_mosaicGraph.nodes[n]->id;
        if (g_fDoSmartBlending1 && !keepSeams)
            BuildStichingLine(pass, j);
        if (ComposesInRing(j)) {
            if (g_fDoSmartBlending1)
                GradientAverage(pass, j);
            Rect changed;
            if (m_bSmartBlending) {
                MultiresolutionSpline::CSplineRGB spline;
                InitBlurStitchingLine(pass, j, spline);
                SewDownImage(pass, j, &changed);
                spline.InsertResult(pano);
                m_rcBlur.setEmpty();
            } else {
                SewDownImage(pass, j, &changed);
            }
        }
        m_stitchOrder.push_back(j);
    }
    pano->m_position = Point(0, 0);
    return true;
}

bool CPanorama::ComposesInRing(int j) const
{
    if (!m_bCyclorama || static_cast<std::size_t>(j) >= m_stitchingLines.size())
        return true;
    const unsigned char orient = m_stitchingLines[j].GetSeamOrient();
    if (m_rcCanvas.width() > m_rcCanvas.height())
        return !(orient & (kSeamTop | kSeamBottom));
    return !(orient & (kSeamLeft | kSeamRight));
}

bool CPanorama::RebuildTransformImages(const Pass& pass)
{
    std::vector<CPanoElement*>& warped = pass.warped;
    FreePictureCollection(warped);
    warped.assign(pass.photos.size(), nullptr);
    if (m_mosaicGraph.nodes.empty())
        return false;
    TransformImage(pass, m_mosaicGraph.nodes.front()->id);
    for (std::size_t n = 1; n < m_mosaicGraph.nodes.size(); ++n) {
        const int j = m_mosaicGraph.nodes[n]->id;
        TransformImage(pass, j);
        if (static_cast<std::size_t>(j) < warped.size() && warped[j])
            warped[j]->CreateBitmaskFromAlpha();
    }
    return true;
}

void CPanorama::PatchOrgTransfImage(const Pass& pass)
{
    const std::vector<CPanoElement*>& warped = pass.warped;
    if (m_nPatchImage < 0 || static_cast<std::size_t>(m_nPatchImage) >= warped.size() || !warped[m_nPatchImage])
        return;
    warped[m_nPatchImage]->FillAlphaByValue(m_rcPatch, 0, false);
}

void CPanorama::CorrectPatchRectForOrigPano()
{
    if (m_rcPatch.isEmpty() || m_nPatchImage < 0)
        return;
    const std::size_t i = static_cast<std::size_t>(m_nPatchImage);
    if (i >= m_transforms.size() || i >= m_fullTransforms.size() || i >= m_workImages.size() ||
        i >= m_photos.size() || !m_workImages[i] || !m_photos[i])
        return;
    Rect work;
    if (!HvCompositing::TransformedBounds(m_transforms[i], m_rcPatch, &work))
        return;
    const long long fw = m_photos[i]->GetWidth(), fh = m_photos[i]->GetHeight();
    const long long ww = std::max(1, m_workImages[i]->GetWidth()), wh = std::max(1, m_workImages[i]->GetHeight());
    const Rect full(static_cast<int>(work.left * fw / ww), static_cast<int>(work.top * fh / wh),
                    static_cast<int>(work.right * fw / ww), static_cast<int>(work.bottom * fh / wh));
    double inv[3][3];
    if (!Utils::pinv3x3(inv, m_fullTransforms[i]))
        return;
    Rect patched;
    if (HvCompositing::TransformedBounds(inv, full, &patched))
        m_rcPatch = patched;
}
