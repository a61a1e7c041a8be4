// The Tiled/Multifocus engine object: lifecycle, options, the build, surface changes,
// the full-size render and the view synchronisation with the render worker.
//
// Every entry point runs on the UI thread. Before anything frees or reloads photos
// (a build, a synchronous surface render, the full-size render, a free, the end of
// the engine) the background job is aborted and the worker is waited for, so it never
// reads pixels the UI thread changes. No exception leaves the engine.
#include "engine/tiled/panorama.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <string>

#include "core/panorama_exceptions.h"

namespace Tiled_Panorama {

std::atomic<CPanorama*> CPanorama::m_pThis{nullptr};

namespace {

constexpr double kPreviewScale = 20.0;
constexpr double kFullScale = 100.0;

// The input photos that are not in the result, as input indices in rising order: null
// inputs and every photo the adjustment left out. `inputIndex[k]` is the input index of
// engine photo k; `placed` holds engine photo indices.
std::vector<int> UnplacedInputs(int inputs, const std::vector<int>& inputIndex, const std::vector<int>& placed)
{
    std::vector<char> in(static_cast<std::size_t>(inputs), 0);
    for (int k : placed)
        if (k >= 0 && static_cast<std::size_t>(k) < inputIndex.size())
            in[static_cast<std::size_t>(inputIndex[static_cast<std::size_t>(k)])] = 1;
    std::vector<int> out;
    for (int i = 0; i < inputs; ++i)
        if (!in[static_cast<std::size_t>(i)])
            out.push_back(i);
    return out;
}

}  // namespace

CPanorama::CPanorama()
{
    m_pPreview = new CPanoElement(false);
    try {
        m_pPanorama = new CPanoElement(false);
    } catch (...) {
        m_pPreview->Release();
        throw;
    }
    m_worldParams.lens = 1;
    m_renderThread.m_scale = kPreviewScale;
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
    m_renderThread.Terminate();
    CPanorama* self = this;
    m_pThis.compare_exchange_strong(self, nullptr);
    m_params.clear();
    Free(true, true);
    m_pPreview->Release();
    m_pPanorama->Release();
}

void CPanorama::Initialize(PanoramaLib::IFreeThreading* threading, PanoramaLib::IWaitCursor* waitCursor,
                           PanoramaLib::IUserInterface* ui)
{
    m_pUserInterface = ui;
    m_pWaitCursor = waitCursor;
    m_renderThread.Init(threading);
    m_renderThread.SetUserInterface(ui);
}

void CPanorama::Release() { delete this; }

void CPanorama::Set_IProgressIndicator(PanoramaLib::IProgressIndicator* progress) { m_pProgress = progress; }

bool CPanorama::HasBuilt() const { return m_bBuilt; }

PanoramaLib::IPanoElement* CPanorama::GetPanoramaPreview(bool fallBack) const
{
    if (fallBack && !m_pPreview->HasBits())
        return m_pPanorama;
    return m_pPreview;
}

PanoramaLib::IPanoElement* CPanorama::GetPanoramaImage() const { return m_pPanorama; }

const PanoramaLib::PanoramaStatus* CPanorama::GetPanoramaStatus() const { return &m_status; }

void CPanorama::Free(bool analysis, bool graph)
{
    m_renderThread.AbortAndWait();
    m_bBuilt = false;
    if (graph)
        m_graph.Free();
    if (analysis) {
        FreePictureCollection(m_images);
        for (CImageDataBase* r : m_imageData)
            delete r;
        m_imageData.clear();
    }
}

void CPanorama::FreePanoramaImages()
{
    m_renderThread.AbortAndWait();
    m_bBuilt = false;
    m_pPreview->FreeImage();
    m_pPanorama->FreeImage();
}

void CPanorama::SetOptions(const PanoramaLib::PanoramaOptions& o)
{
    m_bCrop = o.bAutoCrop;
    m_bLensCompensation = o.bLensCompensation;
    m_bAdjustOnce = o.bBundleAdjustAtEnd;
    g_ldPoynomType = o.nLensPolynomial;
    m_surfaceType = o.surfaceType;
}

void CPanorama::GetOptions(PanoramaLib::PanoramaOptions* o) const
{
    if (!o)
        return;
    *o = PanoramaLib::PanoramaOptions{};
    o->nMatchingMode = 0;
    o->nPreviewQuality = 0;
    o->motionModel = static_cast<PanoramaLib::MotionModel>(0);
    o->bAutoCrop = m_bCrop;
    o->bLensCompensation = m_bLensCompensation;
    o->bBundleAdjustAtEnd = m_bAdjustOnce;
    o->nLensPolynomial = g_ldPoynomType;
    o->surfaceType = m_surfaceType;
}

VarnoBase::Rect CPanorama::GetCropRect(bool recompute)
{
    if (recompute && m_pPreview->HasBits()) {
        m_cropRect = PreviewCrop();
        m_cropView = m_previewView;
    }
    return m_cropRect;
}

void CPanorama::SetCropRect(const VarnoBase::Rect& r)
{
    // A frame other than the engine's crop was drawn by the user over the preview on
    // show: it crops that preview's view (none while only a part of one is shown, or
    // while no preview is, as after a full-size render freed it).
    if (r != m_cropRect)
        m_cropView = m_pPreview->HasBits() ? m_previewView : std::nullopt;
    m_cropRect = r;
    m_bCrop = true;
}

void CPanorama::SetRenderThreads(int n)
{
    m_workThreads = n;
    m_cylinder.SetThreadCount(n);
    m_sphere.SetThreadCount(n);
    m_renderThread.m_threadCount = n;
}

// ---------------------------------------------------------------------------------
// Progress

void CPanorama::OpenProgress(bool withoutAbort)
{
    if (!m_pProgress)
        return;
    if (withoutAbort)
        m_pProgress->OpenProgressIndicatorWOAbort();
    else
        m_pProgress->OpenProgressIndicator();
}

CPanorama::CAutoProgress::CAutoProgress(CPanorama* engine, unsigned captionId, bool withoutAbort) : m_pEngine(engine)
{
    m_pEngine->OpenProgress(withoutAbort);
    if (m_pEngine->m_pProgress)
        m_pEngine->m_pProgress->SetProgressCaption(captionId);
}

CPanorama::CAutoProgress::~CAutoProgress()
{
    if (m_pEngine->m_pProgress)
        m_pEngine->m_pProgress->CloseProgressIndicator();
}

void CPanorama::Poll()
{
    ++m_progressPos;
    if (m_pProgress) {
        m_bAborted = m_pProgress->AbortProgressIndicator(m_progressMax, m_progressPos);
        if (m_bAborted)
            throw panorama_abort();
    }
}

bool CPanorama::AbortProgressCallback()
{
    CPanorama* engine = m_pThis.load();
    if (!engine || !engine->m_pProgress)
        return false;
    ++engine->m_progressPos;
    const bool abort = engine->m_pProgress->AbortProgressIndicator(engine->m_progressMax, engine->m_progressPos);
    engine->m_bAborted = abort;
    return abort;
}

// ---------------------------------------------------------------------------------
// The build

bool CPanorama::ImageSetChanged(const std::vector<PanoramaLib::IPanoElement*>& photos) const
{
    if (photos.size() != m_images.size())
        return true;
    for (std::size_t i = 0; i < photos.size(); ++i)
        if (!photos[i] || !m_images[i] || photos[i]->GetPathName() != m_images[i]->GetPathName())
            return true;
    return false;
}

bool CPanorama::AdjustmentIsCurrent() const
{
    if (!m_adjustedFor.valid || m_params.size() != m_images.size() ||
        m_adjustedFor.paths.size() != m_images.size() || m_adjustedFor.lensCompensation != m_bLensCompensation ||
        m_adjustedFor.lensPolynomial != g_ldPoynomType || m_adjustedFor.adjustOnce != m_bAdjustOnce)
        return false;
    for (std::size_t i = 0; i < m_images.size(); ++i)
        if (m_adjustedFor.paths[i] != m_images[i]->GetPathName())
            return false;
    for (int i : m_order)
        if (i < 0 || static_cast<std::size_t>(i) >= m_images.size())
            return false;
    return true;
}

bool CPanorama::DoBundleAdjustment2()
{
    m_adjustedFor = {};
    CBundleAdjustment ba;
    ba.m_graph = &m_graph;
    const std::size_t n = m_images.size();
    ba.m_imageSizes.reserve(n);
    ba.m_keypoints.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        ba.m_imageSizes.push_back(m_images[i]->GetImageSize());
        if (i < m_imageData.size())
            ba.m_keypoints[i] = KeyPositionsOf(m_imageData[i]);
    }
    ba.m_matchRatio = m_matchRatio;
    ba.m_lensMode = m_lensMode;
    ba.m_bAdjustOnce = m_bAdjustOnce;
    ba.m_worldImage = m_worldImage;
    ba.m_worldParams = m_worldParams;
    ba.m_workers = m_optimisers;
    // Cancellation while the optimiser runs asks the dialog without moving the bar.
    ba.m_abort = [this] {
        if (!m_pProgress)
            return false;
        m_bAborted = m_pProgress->AbortProgressIndicator(m_progressMax, m_progressPos);
        return m_bAborted.load();
    };
    if (!ba.DoBundleAdjustment2())
        return false;  // no usable link (m_order empty) or out of memory
    m_order = ba.m_order;
    m_params = ba.m_params;
    m_worstLink = ba.m_worstLink;
    m_worldParams = ba.m_worldParams;
    m_imageLinks = ba.m_imageLinks;
    m_params.resize(n);
    m_adjustedFor.paths.clear();
    for (CPanoElement* p : m_images)
        m_adjustedFor.paths.push_back(p->GetPathName());
    m_adjustedFor.lensCompensation = m_bLensCompensation;
    m_adjustedFor.lensPolynomial = g_ldPoynomType;
    m_adjustedFor.adjustOnce = m_bAdjustOnce;
    m_adjustedFor.valid = true;
    return true;
}

CCylindricalSurface& CPanorama::Surface(PanoramaLib::SurfaceRenderingType type)
{
    if (type == PanoramaLib::SurfaceCylindrical)
        return m_cylinder;
    return m_sphere;
}

void CPanorama::PrepareSurface(CCylindricalSurface& s, int x, int y, int z,
                               CSurfaceRendering::InterpolationMode mode)
{
    s.RemoveAllImages();
    s.FreePano();
    s.AddImages(m_order, m_worldParams, m_params, m_images, m_imagePreviews);
    s.LevelOrientation();
    s.RotateSurfaceOn(x, y, z);
    s.SetInterpolationMode(mode);
}

bool CPanorama::TakePreview(CCylindricalSurface& s, const View& view)
{
    CPanoElement* image = s.GetPano();
    s.FreePano();
    s.RemoveAllImages();  // the embedded surfaces keep no photo references between renders
    if (!image)
        return false;
    m_pPreview->Release();
    m_pPreview = image;
    m_panoRect = image->GetImageRect();
    m_cropRect = image->GetCropRect(0);
    m_flattenedCrop = m_cropRect;
    m_previewView = m_cropView = view;
    image->FlattenImage();
    return true;
}

VarnoBase::Rect CPanorama::PreviewCrop()
{
    if (m_flattenedCrop)
        return *m_flattenedCrop;
    return m_pPreview->GetCropRect(0);
}

bool CPanorama::CropIsOf(const View& view) const
{
    return m_pPreview->HasBits() && m_previewView == view && m_cropView == view;
}

bool CPanorama::Stitch(bool /*changed*/, bool readjust, int x, int y, int z)
{
    m_pPreview->FreeImage();
    m_pPanorama->FreeImage();
    if (m_pProgress)
        m_pProgress->SetProgressCaption(PanoramaLib::kCaptionMatching);
    if (m_graph.links.empty() && !BuildMatchGraph(&m_graph))
        return false;
    if (m_graph.links.empty())
        throw panorama_cannot_build();
    if (m_pProgress)
        m_pProgress->SetProgressCaption(PanoramaLib::kCaptionStitching);
    m_lensMode = m_bLensCompensation ? 1 : 0;
    m_worldParams.lens = m_lensMode == 1 ? 1 : 0;
    m_worldImage = GetWorldImage(&m_graph);
    if (m_worldImage < 0)
        throw panorama_cannot_build();  // links, but none with an inlier
    if (readjust || !AdjustmentIsCurrent()) {
        if (!DoBundleAdjustment2())
            return false;
    }
    // One photo alone is no panorama, however its neighbours were matched.
    if (m_order.size() < 2)
        throw panorama_cannot_build();

    CCylindricalSurface& s = Surface(m_surfaceType);
    PrepareSurface(s, x, y, z, CSurfaceRendering::NoInterpolationMode);
    // Cameras that cannot describe their photos are refused before any preview is made.
    m_status.reason = PlausibilityReason(s);
    if (!m_status.reason.empty()) {
        s.RemoveAllImages();
        throw panorama_cannot_build();
    }
    const int n = static_cast<int>(m_images.size());
    s.RenderSurface(kPreviewScale, m_pProgress, m_pWaitCursor, m_progressMax - n, m_progressMax);
    if (s.m_bAborted) {
        // A cancelled preview is a cancelled build, never a partial success.
        s.FreePano();
        s.RemoveAllImages();
        m_bAborted = true;
        throw panorama_abort();
    }
    const double radius = s.Radius();
    if (!TakePreview(s, {m_surfaceType, x, y, z}))
        return false;
    m_status.reason = SliverReason(radius);
    if (!m_status.reason.empty())
        throw panorama_cannot_build();
    m_bBuilt = true;
    return true;
}

std::string CPanorama::SliverReason(double radius) const
{
    double minWidth = 0.0, minHeight = 0.0;
    bool first = true;
    for (int i : m_order) {
        const std::size_t k = static_cast<std::size_t>(i);
        if (k >= m_images.size() || k >= m_params.size() || !(m_params[k].f > 0.0))
            continue;
        const double scale = radius / m_params[k].f;
        const double w = m_images[k]->GetWidth() * scale, h = m_images[k]->GetHeight() * scale;
        minWidth = first ? w : std::min(minWidth, w);
        minHeight = first ? h : std::min(minHeight, h);
        first = false;
    }
    if (first)
        return {};
    // Without auto-crop the whole canvas is the result.
    const VarnoBase::Rect& r = m_bCrop ? m_cropRect : m_panoRect;
    return Tiled_Panorama::SliverReason(r.width(), r.height(), minWidth, minHeight);
}

std::string SliverReason(int width, int height, double minWidth, double minHeight)
{
    if (width >= 0.1 * minWidth && height >= 0.1 * minHeight)
        return {};
    char text[200];
    std::snprintf(text, sizeof text,
                  "the stitched area is a sliver: %d x %d preview pixels where one photo covers about %.0f x %.0f",
                  width, height, minWidth, minHeight);
    return text;
}

std::string CPanorama::PlausibilityReason(CCylindricalSurface& s) const
{
    auto position = [this](int photo) {
        return static_cast<long>(std::find(m_order.begin(), m_order.end(), photo) - m_order.begin() + 1);
    };
    const WorstLink worst{position(m_worstLink.id1), position(m_worstLink.id2), m_worstLink.pixels,
                          m_worstLink.relative};
    const std::vector<double> zooms = LinkZooms(m_graph, m_order, m_images.size());
    std::vector<PlacedPhoto> photos;
    for (int i : m_order) {
        const std::size_t k = static_cast<std::size_t>(i);
        if (k >= m_images.size() || k >= m_params.size())
            continue;
        PlacedPhoto p{m_images[k]->GetWidth(), m_images[k]->GetHeight(), m_params[k], zooms[k]};
        if (m_worldParams.lens) {  // one lens for all photos
            p.camera.lens = m_worldParams.lens;
            p.camera.k1 = m_worldParams.k1;
            p.camera.k2 = m_worldParams.k2;
            p.camera.k3 = m_worldParams.k3;
        }
        photos.push_back(p);
    }
    std::string reason = ImplausibleReason(photos, s.LensPolynomial(), worst);
    if (!reason.empty())
        return reason;
    // Plausible cameras whose picture a surface cannot hold: a photo seen along the
    // cylinder's axis, or a side beyond what a picture can have.
    s.CalcProjectMatrices();
    s.SetSurfaceRadius();
    if (!s.CalcImgAngularSizes())
        return "the cameras spread the photos over a surface too large to hold";
    return {};
}

std::vector<double> LinkZooms(const match_graph::CGraph& graph, const std::vector<int>& order, std::size_t photos)
{
    std::vector<double> zoom(photos, 1.0);
    std::vector<char> placed(photos, 0), reached(photos, 0);
    for (int i : order)
        if (i >= 0 && static_cast<std::size_t>(i) < photos)
            placed[static_cast<std::size_t>(i)] = 1;
    if (order.empty() || !placed[static_cast<std::size_t>(order.front())])
        return zoom;
    reached[static_cast<std::size_t>(order.front())] = 1;
    // Grows a tree of the strongest links from the reference (Prim), one photo a pass.
    for (bool grown = true; grown;) {
        grown = false;
        const match_graph::CGraphLink* best = nullptr;
        double bestZoom = 1.0;
        for (const match_graph::CGraphLink* l : graph.links) {
            if (!l || l->id1 < 0 || l->id2 < 0 || static_cast<std::size_t>(l->id1) >= photos ||
                static_cast<std::size_t>(l->id2) >= photos)
                continue;
            const std::size_t a = static_cast<std::size_t>(l->id1), b = static_cast<std::size_t>(l->id2);
            const double z = std::sqrt(std::fabs(l->m[0][0] * l->m[1][1] - l->m[0][1] * l->m[1][0]));
            if (!placed[a] || !placed[b] || reached[a] == reached[b] || !(z > 0.0) || !std::isfinite(z))
                continue;
            if (!best || l->inliers > best->inliers) {
                best = l;
                bestZoom = z;
            }
        }
        if (best) {
            // The link maps photo id1 into photo id2: a feature there is zoom times as large.
            const std::size_t a = static_cast<std::size_t>(best->id1), b = static_cast<std::size_t>(best->id2);
            if (reached[a])
                zoom[b] = zoom[a] * bestZoom;
            else
                zoom[a] = zoom[b] / bestZoom;
            reached[a] = reached[b] = 1;
            grown = true;
        }
    }
    return zoom;
}

std::string ImplausibleReason(const std::vector<PlacedPhoto>& photos, int lensPolynomial, const WorstLink& worst)
{
    char text[240];
    if (!(worst.relative <= kPlausibleMisalignment)) {
        // An infinite miss: a match carried behind the other camera.
        std::snprintf(text, sizeof text,
                      "photos %ld and %ld of the result do not fit one camera turning about its centre: a tenth of "
                      "their matches lie more than %.0f pixels apart",
                      worst.photo1, worst.photo2, std::min(worst.pixels, 1e9));
        return text;
    }
    constexpr double kRadToDeg = 180.0 / 3.141592653589793;
    // A photo's focal length over its zoom: the same for every photo of a right result.
    double baseMin = 0.0, baseMax = 0.0;
    std::size_t lowest = 0, highest = 0;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        const PlacedPhoto& p = photos[i];
        const D3Param& c = p.camera;
        const double halfDiagonal = 0.5 * std::hypot(p.width, p.height);
        // g(r) = r L(r) must grow from the centre to the corners: where it turns back,
        // two points of the photo would show the same direction.
        double g = 0.0;
        bool impossibleLens = false;
        for (int k = 1; k <= 64 && c.lens; ++k) {
            const double r = halfDiagonal * k / 64.0, l = LensDistortion(r, c, lensPolynomial);
            impossibleLens = impossibleLens || !(r * l > g) || !(std::fabs(l - 1.0) <= kPlausibleLensBend);
            g = r * l;
        }
        if (impossibleLens) {
            std::snprintf(text, sizeof text, "the lens model bends photo %zu of the result as no lens does", i + 1);
            return text;
        }
        const double corner = c.lens ? g : halfDiagonal;  // the corner's distance in the ideal image
        const double view = 2.0 * std::atan(corner / c.f) * kRadToDeg;
        if (!(c.f > 0.0) || !(view <= kPlausibleFieldOfView)) {
            std::snprintf(text, sizeof text,
                          "photo %zu of the result would show %.0f degrees across its diagonal at a focal length of "
                          "%.0f pixels, more than a lens for straight photos takes in",
                          i + 1, c.f > 0.0 ? view : 180.0, c.f);
            return text;
        }
        const double base = c.f / (p.zoom > 0.0 && std::isfinite(p.zoom) ? p.zoom : 1.0);
        if (i == 0 || base < baseMin) {
            baseMin = base;
            lowest = i;
        }
        if (i == 0 || base > baseMax) {
            baseMax = base;
            highest = i;
        }
    }
    if (!(baseMax <= kPlausibleScale * baseMin)) {
        const PlacedPhoto &lo = photos[lowest], &hi = photos[highest];
        std::snprintf(text, sizeof text,
                      "the focal lengths of photos %zu and %zu of the result are %.0f and %.0f pixels where their "
                      "matches show a zoom of %.2f between them",
                      lowest + 1, highest + 1, lo.camera.f, hi.camera.f, hi.zoom / lo.zoom);
        return text;
    }
    return {};
}

bool CPanorama::BuildPanorama(const std::vector<PanoramaLib::IPanoElement*>& photos,
                              const std::vector<PanoramaLib::IPanoElement*>* previews, int x, int y, int z)
{
    std::vector<CPanoElement*> oldPhotos;
    std::vector<CImageDataBase*> oldRecords;
    std::vector<int> inputIndex;  // input index of each engine photo
    auto freeOld = [&] {
        FreePictureCollection(oldPhotos);
        for (CImageDataBase* r : oldRecords)
            delete r;
        oldRecords.clear();
    };
    enum { kOk, kFailed, kCannotBuild } outcome = kOk;
    try {
        CAutoProgress progress(this, PanoramaLib::kCaptionAnalyzing, false);
        m_renderThread.AbortAndWait();
        m_pPreview->FreeImage();
        m_pPanorama->FreeImage();
        if (m_pUserInterface)
            m_pUserInterface->UpdatePictureView(false);

        const bool changed = ImageSetChanged(photos);
        const bool readjust = changed || !AdjustmentIsCurrent();
        m_status.nImages = static_cast<int>(photos.size());
        m_status.options.bLensCompensation = m_bLensCompensation;
        m_status.options.nLensPolynomial = g_ldPoynomType;
        m_status.options.bBundleAdjustAtEnd = m_bAdjustOnce;
        m_status.unmatchedImages.clear();
        m_status.reason.clear();

        const int n = static_cast<int>(photos.size());
        m_progressMax = 12 * n - 2;
        m_bAborted = false;
        m_progressPos = 0;

        oldPhotos = std::move(m_images);
        oldRecords = std::move(m_imageData);
        m_images.clear();
        m_imageData.clear();
        m_imagePreviews.clear();
        Free(true, changed);
        if (previews)
            for (PanoramaLib::IPanoElement* p : *previews)
                m_imagePreviews.push_back(dynamic_cast<CPanoElement*>(p));

        Analyses analyses = AnalysePhotos(photos, oldPhotos, oldRecords);
        for (std::size_t i = 0; i < photos.size(); ++i) {
            auto* photo = dynamic_cast<CPanoElement*>(photos[i]);
            if (!photo)
                continue;
            inputIndex.push_back(static_cast<int>(i));
            CImageDataBase* record = analyses.records[i].release();
            if (analyses.fresh[i]) {
                AppendAnalysed(photo, record);  // analysed and reported already
                continue;
            }
            photo->Load();
            try {
                AddImage(photo, record);
            } catch (...) {
                photo->Unload();
                throw;
            }
            photo->Unload();
        }
        freeOld();
        if (!Stitch(changed, readjust, x, y, z))
            throw panorama_error();
    } catch (const panorama_cannot_build&) {
        outcome = kCannotBuild;
    } catch (const panorama_error&) {
        outcome = kFailed;
    } catch (...) {
        // Out of memory or a library failure: a failed build like any other.
        outcome = kFailed;
    }
    try {
        freeOld();
    } catch (...) {
    }
    // The document highlights the photos left out of the result and asks about them.
    // Without a link nothing was placed and m_order belongs to an earlier build; one
    // placed photo alone makes no result either.
    if (outcome != kFailed) {
        static const std::vector<int> kNone;
        const bool placed = !m_graph.links.empty() && m_worldImage >= 0 && m_order.size() >= 2;
        m_status.unmatchedImages = UnplacedInputs(static_cast<int>(photos.size()), inputIndex,
                                                  placed ? m_order : kNone);
    }
    if (outcome == kOk) {
        m_status.nStatus = PanoramaLib::kStatusBuilt;
        return true;
    }
    if (m_pWaitCursor)
        m_pWaitCursor->BeginWait();
    if (outcome == kFailed) {
        m_status.nStatus = PanoramaLib::kStatusFailed;
        Free(false, true);
    } else {
        m_status.nStatus = PanoramaLib::kStatusNoOverlap;
        m_bBuilt = false;
    }
    m_pPreview->FreeImage();
    if (m_pWaitCursor)
        m_pWaitCursor->EndWait();
    return false;
}

// ---------------------------------------------------------------------------------
// Surface changes and the full-size render

bool CPanorama::SetRenderingSurface(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool async,
                                    bool fast)
{
    return SetRenderingSurfaceEx(type, x, y, z, async, fast);
}

bool CPanorama::SetRenderingSurfaceAsync(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool fast)
{
    m_surfaceType = type;
    m_renderThread.Abort();
    m_renderThread.SetFast(fast);
    m_renderThread.Render(type, m_order, m_worldParams, m_params, m_images, m_imagePreviews, m_worldImage, x, y, z);
    return true;
}

bool CPanorama::SetRenderingSurfaceEx(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool async,
                                      bool fast)
{
    if (!m_bBuilt)
        return false;
    try {
        // Full-size pixels of another surface or orientation would be saved as this
        // view's result: they go. Those of this very view stay for Save.
        if (View{type, x, y, z} != m_panoramaView)
            m_pPanorama->FreeImage();
        if (async && m_renderThread.IsRunning())
            return SetRenderingSurfaceAsync(type, x, y, z, fast);

        // A background job still running would later replace this newer preview.
        m_renderThread.AbortAndWait();
        CCylindricalSurface& s = Surface(type);
        m_surfaceType = type;
        PrepareSurface(s, x, y, z, CSurfaceRendering::NoInterpolationMode);
        bool ok;
        {
            CAutoProgress progress(this, PanoramaLib::kCaptionRendering, true);
            m_bAborted = false;
            m_progressPos = 0;
            m_progressMax = 100;
            ok = s.RenderSurface(kPreviewScale, m_pProgress, m_pWaitCursor, 0, 100);
        }
        if (!ok) {
            s.FreePano();
            s.RemoveAllImages();
            return false;
        }
        return TakePreview(s, {type, x, y, z});
    } catch (...) {
        return false;
    }
}

bool CPanorama::RenderPanorama(int x, int y, int z)
{
    CCylindricalSurface& s = Surface(m_surfaceType);
    const View view{m_surfaceType, x, y, z};
    bool newCrop = false;
    try {
        m_renderThread.AbortAndWait();
        CAutoProgress progress(this, PanoramaLib::kCaptionRendering, false);
        m_bAborted = false;
        m_progressPos = 0;
        m_progressMax = 100;
        if (m_pPanorama->HasBits())
            return true;
        if (!m_bBuilt)
            return false;
        if (m_bCrop && !CropIsOf(view)) {
            // The crop is that of another view: the preview of a surface change asked
            // for a moment ago has not arrived (or only a part of it). This view's
            // preview is rendered here, as a synchronous surface change renders it, and
            // its crop taken, as when it would have arrived; the bar stays busy meanwhile.
            PrepareSurface(s, x, y, z, CSurfaceRendering::NoInterpolationMode);
            if (!s.RenderSurface(kPreviewScale, m_pProgress, m_pWaitCursor, 0, 0))
                throw panorama_error();
            if (s.m_bAborted) {
                m_bAborted = true;
                throw panorama_abort();
            }
            if (!TakePreview(s, view))
                throw panorama_error();
            newCrop = true;
        }
        const int previewWidth = m_pPreview->HasBits() ? m_pPreview->GetWidth() : m_panoRect.width();
        PrepareSurface(s, x, y, z, CSurfaceRendering::BilinearMode);
        if (m_bCrop && !m_cropRect.isEmpty() && previewWidth > 0)
            s.SetCropFactor(m_cropRect, previewWidth);
        if (!s.RenderSurface(kFullScale, m_pProgress, m_pWaitCursor, 0, 100))
            throw panorama_error();
        if (s.m_bAborted) {
            m_bAborted = true;
            throw panorama_abort();
        }
        CPanoElement* image = s.GetPano();
        s.FreePano();
        s.RemoveAllImages();
        if (!image)
            throw panorama_error();
        m_pPanorama->Release();
        m_pPanorama = image;
        m_panoramaView = view;
        m_cropRect = image->GetCropRect(0);
        m_cropView.reset();  // full-size pixels, no preview's
        image->FlattenImage();
        m_pPreview->FreeImage();
        return true;
    } catch (...) {
        s.FreePano();
        s.RemoveAllImages();
        m_pPanorama->FreeImage();
        // The new preview stays: the document takes its crop as on its arrival.
        if (newCrop && m_pUserInterface)
            m_pUserInterface->AsyncUpdatePanoramaView(1, 1);
        return false;
    }
}

// ---------------------------------------------------------------------------------
// View synchronisation

void CPanorama::SyncUpdatePanoramaView(long /*wParam*/, long lParam)
{
    View view;
    bool complete = false;
    CPanoElement* image = m_renderThread.GetPano(&view, &complete);
    if (image) {
        m_pPreview->Release();
        m_pPreview = image;
        m_panoRect = image->GetImageRect();
        m_previewView = complete ? std::optional(view) : std::nullopt;
        m_flattenedCrop.reset();
    }
    if (m_pUserInterface)
        m_pUserInterface->UpdatePictureView(true);
    // Only an image that arrived now gives a new crop rectangle; a late message after an
    // abort finds nothing and leaves the crop alone.
    if (image && lParam != 0 && !m_renderThread.IsFast()) {
        m_cropRect = PreviewCrop();
        m_cropView = m_previewView;
        if (m_pUserInterface)
            m_pUserInterface->AsyncUpdatePanoramaView(1, 1);
    }
}

bool CPanorama::FastRenderingHasFinished()
{
    m_renderThread.SetFast(false);
    if (m_pPreview->HasBits()) {
        m_cropRect = PreviewCrop();
        m_cropView = m_previewView;
    }
    if (m_pUserInterface)
        m_pUserInterface->AsyncUpdatePanoramaView(1, 1);
    return true;
}

}  // namespace Tiled_Panorama
