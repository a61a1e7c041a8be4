// The Horizontal/Vertical engine object: construction and release, accessors and
// options, progress and cancellation, working copies, and freeing of the engine's
// state. Working copies are shrunk by a separable box filter: StretchHeight first,
// then StretchWidth, each output sample the area-weighted mean of its source span in
// 16.16 fixed point, rounded half up; sums are 64-bit so any size is safe.
#include "engine/hv/panorama.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "engine/lens_distortion.h"
#include "core/parallel.h"

std::atomic<CPanorama*> CPanorama::m_pThis{nullptr};
thread_local std::vector<int>* CPanorama::t_deferredPolls = nullptr;

namespace {

constexpr int kWorkSizeQuality1 = 660;
constexpr int kWorkSizeOther = 400;

}  // namespace

CPanorama::CPanorama()
{
    m_bSmartBlending = g_fDoSmartBlending1 != 0;
    m_pPreview = new CPanoElement(false);
    try {
        m_pPanorama = new CPanoElement(false);
    } catch (...) {
        m_pPreview->Release();
        throw;
    }
    m_pThis.store(this);
}

CPanorama* CPanorama::CreateInstance() noexcept
{
    try {
        return new CPanorama;
    } catch (...) {
        return nullptr;
    }
}

CPanorama::~CPanorama()
{
    CPanorama* self = this;
    m_pThis.compare_exchange_strong(self, nullptr);
    Free(true, true);
    if (m_pPreview)
        m_pPreview->Release();
    if (m_pPanorama)
        m_pPanorama->Release();
}

void CPanorama::Initialize(PanoramaLib::IFreeThreading*, PanoramaLib::IWaitCursor* waitCursor,
                           PanoramaLib::IUserInterface* ui)
{
    m_pWaitCursor = waitCursor;
    m_pUserInterface = ui;
}

void CPanorama::Release() { delete this; }

void CPanorama::Set_IProgressIndicator(PanoramaLib::IProgressIndicator* progress) { m_pProgress = progress; }

bool CPanorama::HasBuilt() const { return m_bBuilt; }

PanoramaLib::IPanoElement* CPanorama::GetPanoramaPreview(bool fallBack) const
{
    if (fallBack && m_pPreview && !m_pPreview->HasBits())
        return m_pPanorama;
    return m_pPreview;
}

PanoramaLib::IPanoElement* CPanorama::GetPanoramaImage() const { return m_pPanorama; }

const PanoramaLib::PanoramaStatus* CPanorama::GetPanoramaStatus() const { return &m_status; }

VarnoBase::Rect CPanorama::GetCropRect(bool) { return m_rcCrop; }

void CPanorama::SetOptions(const PanoramaLib::PanoramaOptions& o)
{
    m_bAutoCrop = o.bAutoCrop;
    m_nMatchingMode = o.nMatchingMode;
    m_motionModel = o.motionModel;
    m_bGradientAverageMode = o.bGradientAverageMode;
    m_bLensCompensation = o.bLensCompensation;
    // The lens type indexes the lens table: a value outside it keeps the current type.
    if (o.nLensType >= 0 && o.nLensType < CLensTypes::kCount)
        m_nLensType = o.nLensType;
    m_bCyclorama = o.bCyclorama;
    if (o.nPreviewQuality != m_nPreviewQuality) {
        m_nPreviewQuality = o.nPreviewQuality;
        m_nWorkSize = m_nPreviewQuality == 1 ? kWorkSizeQuality1 : kWorkSizeOther;
    }
}

void CPanorama::GetOptions(PanoramaLib::PanoramaOptions* o) const
{
    if (!o)
        return;
    *o = PanoramaLib::PanoramaOptions{};
    o->bAutoCrop = m_bAutoCrop;
    o->nMatchingMode = m_nMatchingMode;
    o->nPreviewQuality = m_nPreviewQuality;
    o->motionModel = m_motionModel;
    o->bGradientAverageMode = m_bGradientAverageMode;
    o->bLensCompensation = m_bLensCompensation;
    o->nLensType = m_nLensType;
    o->bCyclorama = m_bCyclorama;
}

int CPanorama::GetHFreqNumLevels(double s)
{
    int n = 4;
    if (!(s >= 2.0))  // also NaN
        return n;
    std::int64_t v = s >= 4.0e18 ? static_cast<std::int64_t>(4e18) : static_cast<std::int64_t>(s);
    while (v / 2 > 0) {
        v /= 2;
        ++n;
    }
    return n;
}

bool CPanorama::AbortProgressCallback()
{
    if (t_deferredPolls) {
        t_deferredPolls->push_back(kLensPoll);
        return false;
    }
    CPanorama* engine = m_pThis.load();
    if (!engine || !engine->m_pProgress)
        return false;
    ++engine->m_nProgressPos;
    const bool abort = engine->m_pProgress->AbortProgressIndicator(engine->m_nProgressMax, engine->m_nProgressPos);
    engine->m_bAborted = abort;
    return abort;
}

CPanorama::CAutoProgress::CAutoProgress(CPanorama* engine, unsigned id) : m_pEngine(engine)
{
    if (m_pEngine && m_pEngine->m_pProgress) {
        m_pEngine->m_pProgress->OpenProgressIndicator();
        if (id != 0)
            m_pEngine->m_pProgress->SetProgressCaption(id);
    }
}

CPanorama::CAutoProgress::~CAutoProgress()
{
    if (m_pEngine && m_pEngine->m_pProgress)
        m_pEngine->m_pProgress->CloseProgressIndicator();
}

PanoramaLib::IPanoElement* CPanorama::CreateImageThumbnail(PanoramaLib::IPanoElement* photoIf)
{
    auto* photo = dynamic_cast<CPanoElement*>(photoIf);
    if (!photo)
        return nullptr;
    const std::int64_t w = photo->GetWidth();
    const std::int64_t h = photo->GetHeight();
    const std::int64_t S = m_nWorkSize;
    if (S >= std::max(w, h)) {
        photo->AddRef();
        photo->m_scale = 1.0;
        return photo;
    }
    std::int64_t wt = 0;
    std::int64_t ht = 0;
    double scale = 1.0;
    if (m_nPreviewQuality == 1) {
        if (h < w) {
            wt = w;
            while (wt > S)
                wt >>= 1;
            ht = wt > 0 ? h * wt / w : 0;
            scale = wt > 0 ? static_cast<double>(w / wt) : 1.0;
        } else {
            ht = h;
            while (ht > S)
                ht >>= 1;
            wt = ht > 0 ? w * ht / h : 0;
            scale = ht > 0 ? static_cast<double>(h / ht) : 1.0;
        }
    } else if (S > 0) {
        if (h < w) {
            wt = S;
            ht = (h * S + w / 2) / w;
            scale = static_cast<double>(w) / static_cast<double>(S);
        } else {
            ht = S;
            wt = (w * S + h / 2) / h;
            scale = static_cast<double>(h) / static_cast<double>(S);
        }
    }
    if (wt <= 0 || ht <= 0 || !photo->HasBits() || photo->GetBPP() != 24)
        return nullptr;

    try {
        // Columns first into a w x h' buffer, then rows into the copy.
        const std::size_t tmpStride = Stride24(w);
        std::vector<unsigned char> tmp(tmpStride * static_cast<std::size_t>(ht));
        StretchColumns(tmp.data(), tmpStride, photo->GetBits(), static_cast<std::size_t>(photo->GetBPL()),
                       static_cast<int>(w), static_cast<int>(h), static_cast<int>(ht));

        VarnoBase::RefPtr<CPanoElement> copy = NewPanoElement(true);
        if (!copy)
            return nullptr;
        if (!copy->CreateImage(true, static_cast<int>(wt), static_cast<int>(ht), true) || !copy->HasBits())
            return nullptr;
        StretchRows(copy->GetBits(), static_cast<std::size_t>(copy->GetBPL()), tmp.data(), tmpStride,
                    static_cast<int>(w), static_cast<int>(ht), static_cast<int>(wt));
        photo->m_scale = scale;
        return copy.Detach();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void CPanorama::Free(bool analysis, bool)
{
    m_bBuilt = false;
    m_matchGraph.Free();
    m_mosaicGraph.Free();
    m_scales.clear();
    FreePictureCollection(m_transformed);
    FreePictureCollection(m_fullTransformed);
    FreePictureCollection(m_originals);
    FreePictureCollection(m_photos);
    if (analysis) {
        FreePictureCollection(m_workImages);
        for (CImageDataBase* db : m_databases)
            delete db;
        m_databases.clear();
    }
}

void CPanorama::FreePanoramaImages()
{
    m_bBuilt = false;
    if (m_pPreview)
        m_pPreview->FreeImage();
    if (m_pPanorama)
        m_pPanorama->FreeImage();
}
