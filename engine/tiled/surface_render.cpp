// The render of a rendering surface.
//
// Each photo in turn is projected onto its own rectangle of the surface (colour, alpha
// and a weight that falls from the photo centre towards its edges), its exposure is
// matched to what is already on the result (gain from the ratio of the median
// brightnesses of the overlap, moved two thirds of the way from 1), and it is blended
// in: pixels that agree mix in proportion to their weights; where they disagree the mix
// sharpens into a switch, shifted towards the existing result by a blurred brightness
// difference field. Progress is polled after every row of both passes.
//
// Speed: a surface pixel's ray is (sin theta, t, cos theta) with theta per column and t
// per row, so M2 times the ray splits into a per-column part, computed once per photo,
// plus a per-row part; rows are independent and run in bands on several threads, while
// the progress poll still follows every row on the calling thread.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "core/gauss.h"
#include "core/panorama_exceptions.h"
#include "engine/tiled/surface.h"
#include "engine/tiled/surface_render.h"

namespace {

VarnoBase::Rect Intersect(const VarnoBase::Rect& a, const VarnoBase::Rect& b) noexcept
{
    VarnoBase::Rect r(std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                      std::min(a.bottom, b.bottom));
    if (r.isEmpty())
        return VarnoBase::Rect();
    return r;
}

bool Usable24(const CPanoElement* e) noexcept
{
    return e && e->HasBits() && e->GetBPP() == 24;
}

// Where a photo's colours are read from during its projection.
struct PhotoSource {
    const unsigned char* bits = nullptr;
    std::int64_t bpl = 0;
    bool scaled = false;  // the smaller copy, sampled at scaled nearest coordinates
    int previewWidth = 0;
    int previewHeight = 0;
    VarnoBase::RefPtr<CPanoElement> privateCopy;  // full-size pixels read for this render only
};

// Everything the projection of one photo needs, hoisted out of the pixel loop.
struct ProjectionJob {
    const CCylindricalSurface::Data* d = nullptr;
    VarnoBase::Rect r;              // surface pixels
    const double* colA = nullptr;   // per column of r: M2 row times (s, 0, c)
    const double* colB = nullptr;
    const double* colW = nullptr;
    const double* rowT = nullptr;   // row values of r's rows
    int hw = 0, hh = 0;
    int W = 0, H = 0;
    bool lens = false;
    bool lensType24 = true;
    bool lensCut = false;  // ideal radii above lensCutRadius can only land outside the photo
    double lensCutRadius = 0.0;
    const LensInverseTable* lensTable = nullptr;  // inside lensCutRadius, when there is one
    PhotoSource* src = nullptr;
    unsigned char* dst = nullptr;
    std::int64_t dstBpl = 0;
    unsigned char* alpha = nullptr;
    std::int64_t alphaBpl = 0;
    unsigned short* weight = nullptr;
    std::int64_t weightStride = 0;
};

template <bool Lens, bool Bilinear, bool Scaled>
void ProjectRow(const ProjectionJob& J, int row)
{
    const CCylindricalSurface::Data& d = *J.d;
    const double t = J.rowT[row];
    const double ra = d.M2[0][1] * t, rb = d.M2[1][1] * t, rw = d.M2[2][1] * t;
    const int width = J.r.width();
    unsigned char* out = J.dst + row * J.dstBpl;
    unsigned char* al = J.alpha + row * J.alphaBpl;
    unsigned short* wt = J.weight + row * J.weightStride;
    const double xMax = J.W - 1, yMax = J.H - 1;
    const double invHw = 1.0 / J.hw, invHh = 1.0 / J.hh;
    for (int i = 0; i < width; ++i) {
        const double a = J.colA[i] + ra;
        const double b = J.colB[i] + rb;
        const double w = J.colW[i] + rw;
        if (!(w > 0.0))
            continue;
        double u = a / w, v = b / w;
        if constexpr (Lens) {
            const double q = u * u + v * v;
            if (J.lensCut && q > J.lensCutRadius * J.lensCutRadius)
                continue;
            if (J.lensTable) {
                J.lensTable->Apply(q, u, v);
            } else {
                double ul, vl;
                const bool ok = J.lensType24 ? InvLensDistortionT<true>(&ul, &vl, u, v, d.params)
                                             : InvLensDistortionT<false>(&ul, &vl, u, v, d.params);
                if (!ok)
                    continue;  // the reference path moves such a point outside the photo
                u = ul;
                v = vl;
            }
        }
        const double x = J.hw + u, y = J.hh + v;
        if (!(x >= 0.0 && y >= 0.0 && x < xMax && y < yMax))
            continue;
        const int ix = static_cast<int>(x), iy = static_cast<int>(y);
        unsigned char* o = out + static_cast<std::int64_t>(i) * 3;
        if constexpr (Bilinear) {
            const unsigned char* p = J.src->bits + iy * J.src->bpl + static_cast<std::int64_t>(ix) * 3;
            BilinearSample(p, J.src->bpl, x - ix, y - iy, o);
        } else if constexpr (Scaled) {
            const std::int64_t sx = static_cast<std::int64_t>(ix) * J.src->previewWidth / J.W;
            const std::int64_t sy = static_cast<std::int64_t>(iy) * J.src->previewHeight / J.H;
            const unsigned char* p = J.src->bits + sy * J.src->bpl + sx * 3;
            o[0] = p[0];
            o[1] = p[1];
            o[2] = p[2];
        } else {
            const unsigned char* p = J.src->bits + iy * J.src->bpl + static_cast<std::int64_t>(ix) * 3;
            o[0] = p[0];
            o[1] = p[1];
            o[2] = p[2];
        }
        al[i] = 255;
        wt[i] = Calc_Weight(std::fabs(u) * invHw, std::fabs(v) * invHh);
    }
}

using RowFn = void (*)(const ProjectionJob&, int);

RowFn ChooseRow(bool lens, bool bilinear, bool scaled)
{
    if (bilinear)
        return lens ? &ProjectRow<true, true, false> : &ProjectRow<false, true, false>;
    if (scaled)
        return lens ? &ProjectRow<true, false, true> : &ProjectRow<false, false, true>;
    return lens ? &ProjectRow<true, false, false> : &ProjectRow<false, false, false>;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Driver

bool CCylindricalSurface::RenderSurface(double percent, PanoramaLib::IProgressIndicator* progress,
                                        PanoramaLib::IWaitCursor* waitCursor, int from, int to)
{
    if (waitCursor)
        waitCursor->BeginWait();
    m_bAborted = false;
    bool ok = false;
    try {
        do {
            if (m_photos.empty())
                break;
            CalcProjectMatrices();
            SetSurfaceRadius();
            m_bOriginal = true;
            if (!CalcImgAngularSizes())
                break;  // e.g. a photo seen along the cylinder's axis
            if (!SetRadiusForScale(percent))
                break;
            FreePano();
            m_renderRect = VarnoBase::Rect(0, 0, m_width, m_height);
            if (m_bCrop) {
                const std::int64_t ref = m_cropWidth != 0 ? m_cropWidth : 1;
                auto scale = [&](int c) {
                    const std::int64_t v = static_cast<std::int64_t>(c) * m_width / ref;
                    return static_cast<int>(std::clamp<std::int64_t>(v, -(std::int64_t{1} << 30), std::int64_t{1} << 30));
                };
                const VarnoBase::Rect crop(scale(m_cropRect.left), scale(m_cropRect.top), scale(m_cropRect.right),
                                           scale(m_cropRect.bottom));
                const VarnoBase::Rect r = Intersect(crop, m_renderRect);
                if (r.isEmpty())
                    break;
                m_renderRect = r;
            }
            if (m_renderRect.width() > 0 && m_renderRect.height() > 0) {
                VarnoBase::RefPtr<CPanoElement> pano = NewPanoElement(true);
                if (!pano || !pano->CreateImage(true, m_renderRect.width(), m_renderRect.height(), true) ||
                    !pano->FillWhiteColor())
                    break;
                pano->AddAlphaChannel(false);
                pano->Create16Bitmask();
                pano->SetPosition(m_renderRect.topLeft());
                m_pPano = pano.Detach();
            }
            RenderSurfaceInternal_2steps(progress, from, to);
            if (m_pPano)
                m_pPano->SetPosition(VarnoBase::Point(0, 0));
            ok = m_pPano != nullptr;
        } while (false);
    } catch (const std::exception&) {
        // Out of memory (or another library failure) in the middle of a render: a failed
        // render without a result, never an exception into the caller's thread.
        FreePano();
        ok = false;
    }
    for (Data& d : m_photos)
        d.transformed = nullptr;
    FreeRayTables();
    m_pProgress = nullptr;
    m_bCrop = false;
    if (waitCursor)
        waitCursor->EndWait();
    return ok;
}

bool CCylindricalSurface::StepAndPoll()
{
    ++m_stepsDone;
    if (!m_pProgress)
        return false;
    const std::int64_t total = std::max<std::int64_t>(m_totalSteps, 1);
    const std::int64_t value = m_progressFrom + m_stepsDone * (m_progressTo - m_progressFrom) / total;
    return m_pProgress->AbortProgressIndicator(m_progressTo, static_cast<int>(value));
}

bool CCylindricalSurface::RenderSurfaceInternal_2steps(PanoramaLib::IProgressIndicator* progress, int from, int to)
{
    for (Data& d : m_photos)
        d.transformed = nullptr;
    m_progressFrom = from;
    m_progressTo = to;
    m_pProgress = progress;
    m_stepsDone = 0;
    m_totalSteps = 0;
    for (const Data& d : m_photos) {
        const VarnoBase::Rect r = Intersect(d.rect, m_renderRect);
        if (!r.isEmpty())
            m_totalSteps += 2 * static_cast<std::int64_t>(r.height());
    }
    m_addImage = g_fDoSmartBlending1 ? &CCylindricalSurface::AddImageToPano
                                     : &CCylindricalSurface::AddImageToPano_Blending50Percent;
    BuildRayTables();
    for (Data& d : m_photos) {
        if (d.usable && TransformImageToSurface(&d)) {
            // A photo cut short by a cancellation is not blended at all.
            if (!m_bAborted)
                (this->*m_addImage)(&d);
        }
        d.transformed = nullptr;
        if (m_bAborted)
            break;
    }
    for (Data& d : m_photos)
        d.transformed = nullptr;
    FreeRayTables();
    return true;
}

// ---------------------------------------------------------------------------------------
// Projection of one photo

bool CCylindricalSurface::TransformImageToSurface(Data* d)
{
    const VarnoBase::Rect r = Intersect(d->rect, m_renderRect);
    if (r.isEmpty())
        return false;
    // Where the colours come from, decided once for the photo. A render that may not
    // touch shared photos reads full-size pixels from a private copy of the file.
    PhotoSource src;
    CPanoElement* image = d->image.get();
    CPanoElement* preview = d->preview.get();
    const bool sharedSafe = m_bMayUnloadPhotos || d->path.empty();
    auto useFull = [&](CPanoElement* e) {
        if (!Usable24(e) || e->GetWidth() != d->width || e->GetHeight() != d->height)
            return false;
        src.bits = e->GetBits();
        src.bpl = e->GetBPL();
        return true;
    };
    bool have = false;
    if (sharedSafe && image && image->HasBits()) {
        have = useFull(image);
    } else if (m_mode != BilinearMode && Usable24(preview) && d->width > 0 && d->height > 0) {
        src.bits = preview->GetBits();
        src.bpl = preview->GetBPL();
        src.scaled = true;
        src.previewWidth = preview->GetWidth();
        src.previewHeight = preview->GetHeight();
        have = true;
    } else if (m_bMayUnloadPhotos) {
        if (image) {
            image->Load();
            have = useFull(image);
        }
    } else if (!d->path.empty()) {
        src.privateCopy = NewPanoElement(false);
        if (src.privateCopy && src.privateCopy->FromFile(d->path))
            have = useFull(src.privateCopy.get());
    }

    // The photo is decoded before the projected image is made, so that the decoder's
    // passing buffers are gone by then.
    VarnoBase::RefPtr<CPanoElement> t = NewPanoElement(false);
    if (!t || !t->CreateImage(true, r.width(), r.height(), true)) {
        if (m_bMayUnloadPhotos && image)
            image->Unload();
        return false;
    }
    t->FillByValue(0);
    t->AddAlphaChannel(false);
    unsigned short* weights = t->Create16Bitmask();
    t->SetPosition(r.topLeft());
    d->transformed = t;

    ProjectionJob J;
    J.d = d;
    J.r = r;
    J.W = d->width;
    J.H = d->height;
    J.hw = d->width / 2;
    J.hh = d->height / 2;
    J.lens = d->params.lens != 0;
    J.lensType24 = m_lensPolynomial == 1;
    if (J.lens) {
        const double R0 = d->halfDiagonal + 2.0;
        J.lensCut = LensMonotone(d->params, J.lensType24, R0);
        J.lensCutRadius = R0 * LensDistortion(R0, d->params, m_lensPolynomial);
        if (J.lensCut && d->lensInverse.Covers(J.lensType24, J.lensCutRadius * J.lensCutRadius))
            J.lensTable = &d->lensInverse;
    }
    J.src = &src;
    J.dst = t->GetBits();
    J.dstBpl = t->GetBPL();
    J.alpha = t->GetAlphaBits();
    J.alphaBpl = t->GetAlphaBPL();
    J.weight = weights;
    J.weightStride = t->Get16BitmaskWPL();

    const std::size_t cols = static_cast<std::size_t>(r.width());
    std::vector<double> colA(cols), colB(cols), colW(cols);
    const std::size_t c0 = static_cast<std::size_t>(r.left - m_renderRect.left);
    for (std::size_t i = 0; i < cols; ++i) {
        const double s = m_sinTable[c0 + i], c = m_cosTable[c0 + i];
        colA[i] = d->M2[0][0] * s + d->M2[0][2] * c;
        colB[i] = d->M2[1][0] * s + d->M2[1][2] * c;
        colW[i] = d->M2[2][0] * s + d->M2[2][2] * c;
    }
    J.colA = colA.data();
    J.colB = colB.data();
    J.colW = colW.data();
    J.rowT = m_rowTable.data() + (r.top - m_renderRect.top);
    const RowFn rowFn = ChooseRow(J.lens, m_mode == BilinearMode, src.scaled);

    const int rows = r.height();
    const int threads = Utils::WorkerThreads(m_threadCount);
    // Rows are projected in chunks on the worker threads; the poll of each row follows
    // on this thread, so a cancellation is seen within one chunk.
    const int chunk = m_pProgress ? std::clamp(static_cast<int>((1 << 18) / std::max(r.width(), 1)), threads, rows)
                                  : rows;
    for (int y = 0; y < rows && !m_bAborted;) {
        const int end = std::min(rows, y + chunk);
        if (have)
            ParallelRows(y, end, threads, [&](int row) { rowFn(J, row); });
        for (; y < end; ++y) {
            if (StepAndPoll()) {
                m_bAborted = true;
                break;
            }
        }
    }
    if (m_bMayUnloadPhotos && image)
        image->Unload();
    return true;
}

// ---------------------------------------------------------------------------------------
// Exposure and blending

double CCylindricalSurface::CalculateDifferenceField(Data* d, unsigned short* diff)
{
    CPanoElement* T = d->transformed.get();
    if (!T || !m_pPano)
        return 1.0;
    const VarnoBase::Rect pr = m_pPano->GetImageRect(), tr = T->GetImageRect();
    const VarnoBase::Rect o = Intersect(pr, tr);
    if (o.isEmpty())
        return 1.0;
    const int w = o.width(), h = o.height();
    const std::int64_t tBpl = T->GetBPL(), pBpl = m_pPano->GetBPL();
    const std::int64_t tAbpl = T->GetAlphaBPL(), pAbpl = m_pPano->GetAlphaBPL();
    const unsigned char* tBits = T->GetBits();
    const unsigned char* pBits = m_pPano->GetBits();
    const unsigned char* tAl = T->GetAlphaBits();
    const unsigned char* pAl = m_pPano->GetAlphaBits();
    const std::int64_t tx0 = o.left - tr.left, px0 = o.left - pr.left;
    // Bands count into their own histograms; integer sums do not depend on the split.
    struct Counts {
        std::int64_t histT[256] = {};
        std::int64_t histP[256] = {};
        std::int64_t count = 0;
        std::int64_t both = 0;  // pixels present in both images
    };
    const int threads = Utils::WorkerThreads(m_threadCount);
    std::vector<Counts> bands(static_cast<std::size_t>(std::clamp(threads, 1, h)));
    ParallelBands(0, h, threads, [&](int band, int y0, int y1) {
        Counts& k = bands[static_cast<std::size_t>(band)];
        for (int y = y0; y < y1; ++y) {
            const std::int64_t ty = y + o.top - tr.top, py = y + o.top - pr.top;
            unsigned short* drow = diff + static_cast<std::int64_t>(y) * w;
            for (int x = 0; x < w; ++x) {
                if (!tAl[ty * tAbpl + tx0 + x] || !pAl[py * pAbpl + px0 + x])
                    continue;
                const unsigned char* tp = tBits + ty * tBpl + (tx0 + x) * 3;
                const unsigned char* pp = pBits + py * pBpl + (px0 + x) * 3;
                const int LT = tp[0] + 2 * tp[1] + tp[2];
                const int LP = pp[0] + 2 * pp[1] + pp[2];
                const int dv = std::abs(LT - LP) * 64;
                drow[x] = static_cast<unsigned short>(dv);
                ++k.both;
                if (dv < 12800) {
                    ++k.histT[LT / 4];
                    ++k.histP[LP / 4];
                    ++k.count;
                }
            }
        }
    });
    std::int64_t histT[256] = {}, histP[256] = {};
    std::int64_t count = 0, both = 0;
    for (const Counts& k : bands) {
        both += k.both;
        for (int i = 0; i < 256; ++i) {
            histT[i] += k.histT[i];
            histP[i] += k.histP[i];
        }
        count += k.count;
    }
    const double sigma = std::trunc(std::sqrt(static_cast<double>(w) * h)) * 0.125;
    if (both > 0)  // a field of zeros blurs to zeros: the first photo skips the blur
        GaussGray16bit(w, h, w, diff, sigma);
    if (count <= 99)
        return 1.0;
    auto median = [&](const std::int64_t* hist) {
        std::int64_t sum = 0;
        for (int i = 0; i < 256; ++i) {
            sum += hist[i];
            if (sum > count / 2)
                return i;
        }
        return 255;
    };
    const int mT = median(histT), mP = median(histP);
    if (mT == 0)
        return 1.0;  // a nearly black photo overlap: no ratio, keep the photo as it is
    return (2.0 * mP / mT + 1.0) / 3.0;
}

void CCylindricalSurface::AddImageToPano(Data* d)
{
    CPanoElement* T = d->transformed.get();
    if (!T || !m_pPano)
        return;
    const VarnoBase::Rect pr = m_pPano->GetImageRect(), tr = T->GetImageRect();
    const VarnoBase::Rect o = Intersect(pr, tr);
    if (o.isEmpty())
        return;
    const int w = o.width(), h = o.height();
    std::vector<unsigned short> diff(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
    const double gain = CalculateDifferenceField(d, diff.data());

    unsigned char lut[256];  // c = trunc(T * gain + 0.5) clamped
    for (int i = 0; i < 256; ++i)
        lut[i] = static_cast<unsigned char>(std::clamp(std::trunc(i * gain + 0.5), 0.0, 255.0));

    const std::int64_t tBpl = T->GetBPL(), pBpl = m_pPano->GetBPL();
    const std::int64_t tAbpl = T->GetAlphaBPL(), pAbpl = m_pPano->GetAlphaBPL();
    const std::int64_t tW = T->Get16BitmaskWPL(), pW = m_pPano->Get16BitmaskWPL();
    const unsigned char* tBits = T->GetBits();
    unsigned char* pBits = m_pPano->GetBits();
    const unsigned char* tAl = T->GetAlphaBits();
    unsigned char* pAl = m_pPano->GetAlphaBits();
    const unsigned short* tWt = T->Get16BitmaskBits();
    unsigned short* pWt = m_pPano->Get16BitmaskBits();
    const std::int64_t tx0 = o.left - tr.left, px0 = o.left - pr.left;

    // Rows are blended in chunks on the worker threads into scratch rows; this thread
    // then writes them into the result one by one, each followed by its progress poll,
    // so a cancellation leaves every later row exactly as it was.
    const int threads = Utils::WorkerThreads(m_threadCount);
    const int chunk = std::clamp(static_cast<int>((1 << 18) / std::max(w, 1)), threads, h);
    const std::size_t W = static_cast<std::size_t>(w);
    std::vector<unsigned char> sRgb(static_cast<std::size_t>(chunk) * W * 3), sAl(static_cast<std::size_t>(chunk) * W);
    std::vector<unsigned short> sWt(static_cast<std::size_t>(chunk) * W);
    auto blendRow = [&](int y, std::size_t slot) {
        const std::int64_t ty = y + o.top - tr.top, py = y + o.top - pr.top;
        unsigned char* rgb = sRgb.data() + slot * W * 3;
        unsigned char* al = sAl.data() + slot * W;
        unsigned short* wt = sWt.data() + slot * W;
        std::memcpy(rgb, pBits + py * pBpl + px0 * 3, W * 3);
        std::memcpy(al, pAl + py * pAbpl + px0, W);
        std::memcpy(wt, pWt + py * pW + px0, W * sizeof(unsigned short));
        const unsigned short* drow = diff.data() + static_cast<std::int64_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            const unsigned char aT = tAl[ty * tAbpl + tx0 + x];
            if (!aT)
                continue;
            const unsigned char* tp = tBits + ty * tBpl + (tx0 + x) * 3;
            unsigned char* pp = rgb + static_cast<std::size_t>(x) * 3;
            unsigned char& aP = al[x];
            unsigned short& wP = wt[x];
            const unsigned short wT = tWt[ty * tW + tx0 + x];
            const int c[3] = {lut[tp[0]], lut[tp[1]], lut[tp[2]]};
            if (!aP)
                aP = aT;
            if (wP == 0) {
                pp[0] = static_cast<unsigned char>(c[0]);
                pp[1] = static_cast<unsigned char>(c[1]);
                pp[2] = static_cast<unsigned char>(c[2]);
                wP = wT;
                continue;
            }
            const double alpha = static_cast<double>(wP) / (static_cast<double>(wP) + wT);
            const int m = std::max({std::abs(c[0] - pp[0]), std::abs(c[1] - pp[1]), std::abs(c[2] - pp[2])});
            const double k = std::clamp(m * m / 100.0, 1.0, 100.0);
            const double t = std::clamp((alpha + 0.45 * drow[x] / 65535.0 - 0.5) * k + 0.5, 0.0, 1.0);
            const int q = static_cast<int>(t * 256.0 + 0.5);
            for (int ch = 0; ch < 3; ++ch)
                pp[ch] = static_cast<unsigned char>((pp[ch] * q + (256 - q) * c[ch]) >> 8);
            wP = std::max(wP, wT);
        }
    };
    for (int y0 = 0; y0 < h && !m_bAborted;) {
        const int end = std::min(h, y0 + chunk);
        ParallelRows(y0, end, threads, [&](int y) { blendRow(y, static_cast<std::size_t>(y - y0)); });
        for (int y = y0; y < end; ++y) {
            const std::size_t slot = static_cast<std::size_t>(y - y0);
            const std::int64_t py = y + o.top - pr.top;
            std::memcpy(pBits + py * pBpl + px0 * 3, sRgb.data() + slot * W * 3, W * 3);
            std::memcpy(pAl + py * pAbpl + px0, sAl.data() + slot * W, W);
            std::memcpy(pWt + py * pW + px0, sWt.data() + slot * W, W * sizeof(unsigned short));
            if (StepAndPoll()) {
                m_bAborted = true;
                break;
            }
        }
        y0 = end;
    }
    if (m_pNotify) {
        const VarnoBase::Point pos = m_pPano->GetPosition();
        m_pNotify->OnUpdateView(VarnoBase::Rect(o.left - pos.x, o.top - pos.y, o.right - pos.x, o.bottom - pos.y));
    }
}

void CCylindricalSurface::AddImageToPano_Blending50Percent(Data* d)
{
    CPanoElement* T = d->transformed.get();
    if (!T || !m_pPano)
        return;
    const VarnoBase::Rect pr = m_pPano->GetImageRect(), tr = T->GetImageRect();
    const VarnoBase::Rect o = Intersect(pr, tr);
    if (o.isEmpty())
        return;
    const std::int64_t tBpl = T->GetBPL(), pBpl = m_pPano->GetBPL();
    const std::int64_t tAbpl = T->GetAlphaBPL(), pAbpl = m_pPano->GetAlphaBPL();
    const std::int64_t tx0 = o.left - tr.left, px0 = o.left - pr.left;
    const unsigned char* tBits = T->GetBits();
    unsigned char* pBits = m_pPano->GetBits();
    const unsigned char* tAl = T->GetAlphaBits();
    unsigned char* pAl = m_pPano->GetAlphaBits();
    for (int y = 0; y < o.height(); ++y) {
        const std::int64_t ty = y + o.top - tr.top, py = y + o.top - pr.top;
        for (int x = 0; x < o.width(); ++x) {
            const unsigned char* tp = tBits + ty * tBpl + (tx0 + x) * 3;
            unsigned char* pp = pBits + py * pBpl + (px0 + x) * 3;
            const int aT = tAl[ty * tAbpl + tx0 + x];
            unsigned char& aP = pAl[py * pAbpl + px0 + x];
            if (aP == 0) {
                pp[0] = tp[0];
                pp[1] = tp[1];
                pp[2] = tp[2];
                aP = static_cast<unsigned char>(aT);
                continue;
            }
            const int h = aT / 2;
            const int a2 = 255 - ((255 - aP) * (255 - h)) / 255;
            for (int ch = 0; ch < 3; ++ch) {
                const int v = ((255 - h) * a2 * pp[ch] + 255 * h * tp[ch]) / (255 * a2);
                pp[ch] = static_cast<unsigned char>(std::clamp(v, 0, 255));
            }
            aP = static_cast<unsigned char>(a2);
        }
    }
}
