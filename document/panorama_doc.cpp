// The document's state: engine creation and teardown, selected and built type, options,
// crop mode and crop frame, the predicates the main window polls, result access, and the
// tiled surface steering (sliders, geometry tool, queued view updates). UI thread only.
#include "document/panorama_doc.h"

#include <algorithm>

#include "core/pano_element.h"

namespace {

bool hasBits(const PanoramaLib::IPanoElement* e)
{
    return e && e->HasBits();
}

// The largest angle the geometry tool may tilt or rotate the tiled surface, degrees.
constexpr int kMaxGeoAngle = 45;

// An engine from its factory, or null with the reason added to `failure`: a factory may
// give none or throw (an allocation that failed).
template <class Engine>
Engine* makeEngine(const std::function<Engine*(PanoramaLib::IDibManager*)>& factory, PanoramaLib::IDibManager* dibs,
                   const char* which, std::string& failure)
{
    std::string why = "not enough memory";  // what a factory answering null means
    try {
        if (Engine* engine = factory ? factory(dibs) : nullptr)
            return engine;
    } catch (const std::bad_alloc&) {
    } catch (const std::exception& e) {
        why = e.what();
    }
    failure += std::string(failure.empty() ? "" : " ") + "The " + which + " stitching engine could not be created (" +
               why + ").";
    return nullptr;
}

}  // namespace

PanoramaDoc::PanoramaDoc(QObject* parent, EngineFactories factories)
    : QObject(parent), m_factories(std::move(factories))
{
}

PanoramaDoc::~PanoramaDoc()
{
    // Engines first: the tiled one stops and joins its render thread in Release, so the
    // host objects (deleted by ~EngineHost after this body) are no longer in use.
    releaseEngines();
    PanoramaLib::FreePictureCollection(m_images);
    PanoramaLib::FreePictureCollection(m_thumbnails);
    // Elements made from now on must not reach a factory that is gone.
    if (CPanoElement::m_pIDibManager == static_cast<PanoramaLib::IDibManager*>(this))
        CPanoElement::m_pIDibManager = m_previousDibManager;
}

void PanoramaDoc::releaseEngines()
{
    if (m_pHVPanorama)
        m_pHVPanorama->Release();
    m_pHVPanorama = nullptr;
    if (m_pTiledPanorama)
        m_pTiledPanorama->Release();
    m_pTiledPanorama = nullptr;
}

void PanoramaDoc::setIUserInterface(IUserInterfaceEx* ui, PanoramaLib::IProgressIndicator* progress)
{
    // The engines keep the pointers of the first call; replacing them here would leave
    // the document and its engines talking to different windows.
    if (m_pHVPanorama || m_pTiledPanorama)
        return;
    m_pUserInterface = ui;
    m_pProgress = progress;
    m_previousDibManager = CPanoElement::m_pIDibManager;

    auto* dibs = static_cast<PanoramaLib::IDibManager*>(this);
    std::string failure;
    m_pHVPanorama = makeEngine(m_factories.createHV, dibs, "Horizontal/Vertical", failure);
    m_pTiledPanorama = makeEngine(m_factories.createTiled, dibs, "Tiled/Multifocus", failure);
    if (!failure.empty()) {
        releaseEngines();
        m_pUserInterface = nullptr;
        m_pProgress = nullptr;
        throw EngineCreationError(failure);
    }
    // No wait-cursor object exists: the engines get null and show no busy cursor.
    m_pHVPanorama->Initialize(this, nullptr, ui);
    m_pHVPanorama->Set_IProgressIndicator(progress);
    m_pTiledPanorama->Initialize(this, nullptr, ui);
    m_pTiledPanorama->Set_IProgressIndicator(progress);
}

PanoramaLib::IPanorama* PanoramaDoc::builtEngine() const
{
    if (m_builtTiled)
        return m_pTiledPanorama;
    return m_pHVPanorama;
}

PanoramaLib::IPanorama* PanoramaDoc::selectedEngine() const
{
    if (m_selectedTiled)
        return m_pTiledPanorama;
    return m_pHVPanorama;
}

// ---------------------------------------------------------------------------------
// Options

void PanoramaDoc::setOptions(const PanoramaLib::PanoramaOptions& options)
{
    if (PanoramaLib::IPanorama* engine = selectedEngine())
        engine->SetOptions(options);
}

void PanoramaDoc::getOptions(PanoramaLib::PanoramaOptions* options) const
{
    if (PanoramaLib::IPanorama* engine = selectedEngine())
        engine->GetOptions(options);
}

void PanoramaDoc::setCropFlag(int mode)
{
    m_cropMode = mode;
    const std::initializer_list<PanoramaLib::IPanorama*> both{m_pHVPanorama, m_pTiledPanorama};
    for (PanoramaLib::IPanorama* engine : both) {
        if (!engine)
            continue;
        PanoramaLib::PanoramaOptions o;
        engine->GetOptions(&o);
        o.bAutoCrop = m_cropMode > 0;
        engine->SetOptions(o);
    }
    if (m_cropMode <= 0)
        activateCropping(false, true);
    else if (m_taskMode == TaskMode::TaskExport)
        activateCropping(true, true);
}

void PanoramaDoc::getRenderingSufrace(PanoramaLib::SurfaceRenderingType& type, int& x, int& y, int& z) const
{
    type = m_surface;
    x = m_angleX;
    y = m_angleY;
    z = m_angleZ;
}

void PanoramaDoc::setManualMatchingMode(bool on)
{
    if (on == m_manualMode)
        return;
    m_manualMode = on;
    if (!on && m_taskMode != TaskMode::TaskAddImages)
        updateAllViews(4);
    updateStitchingDialog();
}

void PanoramaDoc::manuallyMatchAllPhotos(bool on)
{
    if (on == m_matchAllPairs)
        return;
    m_matchAllPairs = on;
    if (!m_manualMode && m_taskMode != TaskMode::TaskAddImages)
        updateAllViews(4);
    updateStitchingDialog();
}

// ---------------------------------------------------------------------------------
// Cropping

void PanoramaDoc::activateCropping(bool activate, bool update)
{
    if (!activate) {
        if (m_pCropRect)
            m_pCropRect->DeactivateCropping(&m_cropRect, update);
        return;
    }
    if (!m_pCropRect || !enableBtnRender())
        return;
    if (m_builtTiled && enableGeoOptions() && m_rebuildCropRect)
        m_frameCrop = m_cropRect = m_pTiledPanorama->GetCropRect(false);
    m_pCropRect->ActivateCropping(m_cropRect, update);
}

// ---------------------------------------------------------------------------------
// Predicates

bool PanoramaDoc::canCreatePanorama() const
{
    return m_pDocument && m_pDocument->numImages() > 1;
}

bool PanoramaDoc::enableStitchDlg() const
{
    return canCreatePanorama() && !m_listChanged && !m_verifying;
}

bool PanoramaDoc::enableBtnSave() const
{
    const PanoramaLib::IPanorama* engine = builtEngine();
    return engine && hasBits(engine->GetPanoramaImage()) && !m_listChanged;
}

bool PanoramaDoc::enableBtnRender() const
{
    const PanoramaLib::IPanorama* engine = builtEngine();
    if (!engine || !engine->HasBuilt() || m_listChanged)
        return false;
    const PanoramaLib::IPanoElement* image = engine->GetPanoramaImage();
    return image && !image->HasBits();
}

bool PanoramaDoc::enableGeoOptions() const
{
    return m_selectedTiled && m_pTiledPanorama && hasBits(m_pTiledPanorama->GetPanoramaPreview(false));
}

bool PanoramaDoc::EnableGeo(IGeoTool*)
{
    return m_taskMode == TaskMode::TaskStitch && enableGeoOptions();
}

bool PanoramaDoc::enableBtnStitch(const PanoramaLib::PanoramaOptions& wanted) const
{
    const PanoramaLib::IPanorama* selected = selectedEngine();
    const PanoramaLib::IPanorama* built = builtEngine();
    if (!selected || !built)
        return false;
    PanoramaLib::PanoramaOptions current;
    selected->GetOptions(&current);
    const bool base = canCreatePanorama() && !m_listChanged;
    if (m_builtTiled != m_selectedTiled)
        return base;
    if (!hasBits(built->GetPanoramaPreview(false)))
        return base;
    // Crop, strictness, preview size and surface do not change the stitch.
    const PanoramaLib::PanoramaStatus* status = built->GetPanoramaStatus();
    const bool changed = m_manualMode || (status && status->bManual) ||
                         wanted.motionModel != current.motionModel ||
                         wanted.bLensCompensation != current.bLensCompensation ||
                         wanted.nLensType != current.nLensType || wanted.bCyclorama != current.bCyclorama ||
                         wanted.nLensPolynomial != current.nLensPolynomial;
    return base && changed;
}

// ---------------------------------------------------------------------------------
// Result access

PanoramaLib::IPanoElement* PanoramaDoc::GetPanorama() const
{
    const PanoramaLib::IPanorama* engine = builtEngine();
    if (!engine)
        return nullptr;
    if (PanoramaLib::IPanoElement* image = engine->GetPanoramaImage(); hasBits(image))
        return image;
    if (PanoramaLib::IPanoElement* preview = engine->GetPanoramaPreview(true); hasBits(preview))
        return preview;
    return nullptr;
}

QString PanoramaDoc::printPanoramaInfo() const
{
    const PanoramaLib::IPanorama* engine = builtEngine();
    const PanoramaLib::IPanoElement* image = engine ? engine->GetPanoramaImage() : nullptr;
    if (!hasBits(image))
        return {};
    return tr("%1x%2, %3 bits").arg(image->GetWidth()).arg(image->GetHeight()).arg(image->GetBPP());
}

// ---------------------------------------------------------------------------------
// The tiled rendering surface

void PanoramaDoc::setRenderSurface(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool async,
                                   bool fast)
{
    m_surface = type;
    m_angleX = x;
    m_angleY = y;
    m_angleZ = z;
    if (!m_pTiledPanorama || !m_pTiledPanorama->SetRenderingSurface(type, x, y, z, async, fast))
        return;
    takeCropRectFrom(m_pTiledPanorama);
    updateStitchingDialog();
}

// The engine recomputes its crop here and posts (1, 1) for the frame. That message comes
// a pass of the event loop later, with input handled in between: a Render in that gap
// would take the old frame for one the user moved. So the frame takes the crop at once,
// and the (1, 1) that follows has nothing left to do; a frame the user moves meanwhile
// stays.
void PanoramaDoc::fastRenderingHasFinished()
{
    if (!m_pTiledPanorama)
        return;
    m_pTiledPanorama->FastRenderingHasFinished();
    takeCropRectFrom(m_pTiledPanorama);
}

void PanoramaDoc::StartGeoTracking(IGeoTool*)
{
    m_trackX = m_angleX;
    m_trackY = m_angleY;
    m_trackZ = m_angleZ;
}

void PanoramaDoc::DoTrackGeo(IGeoTool*, int dx, int dy)
{
    // Deltas count from the press, so the clamps never accumulate rounding of moves.
    const int x = std::clamp(m_trackX + dx, -kMaxGeoAngle, kMaxGeoAngle);
    const int y = std::clamp(m_trackY + dy, -kMaxGeoAngle, kMaxGeoAngle);
    if (x != m_angleX || y != m_angleY)
        setRenderSurface(m_surface, x, y, m_angleZ, true, true);
}

void PanoramaDoc::DoRotateGeo(IGeoTool*, int degrees)
{
    const int z = std::clamp(m_trackZ + degrees, -kMaxGeoAngle, kMaxGeoAngle);
    if (z != m_angleZ)
        setRenderSurface(m_surface, m_angleX, m_angleY, z, true, true);
}

void PanoramaDoc::syncUpdatePanoramaView(long wParam, long lParam)
{
    if (!m_pTiledPanorama)
        return;
    if (wParam == 1 && lParam == 1) {
        // A crop the frame was given already (when the engine made it) changes nothing
        // more: a frame the user moved since stays, as when the message had come first.
        if (m_frameCrop != m_pTiledPanorama->GetCropRect(false))
            takeCropRectFrom(m_pTiledPanorama);
        return;
    }
    // A whole view that arrived gives the engine a new crop (and posts (1, 1)): the frame
    // takes it now, not a pass later. Parts and quick previews leave the crop, and so a
    // frame the user moved, alone. The engine has updated the picture view already.
    const VarnoBase::Rect before = m_pTiledPanorama->GetCropRect(false);
    m_pTiledPanorama->SyncUpdatePanoramaView(wParam, lParam);
    takeNewTiledCrop(before, false);
}

void PanoramaDoc::takeNewTiledCrop(const VarnoBase::Rect& before, bool updateView)
{
    if (m_pTiledPanorama->GetCropRect(false) != before)
        takeCropRectFrom(m_pTiledPanorama, updateView);
}

// ---------------------------------------------------------------------------------
// Call-backs, each skipped when its interface is not set

void PanoramaDoc::updateStitchingDialog()
{
    if (m_pUpdate)
        m_pUpdate->UpdateStitchingDialog();
}

void PanoramaDoc::updateExportDialog()
{
    if (m_pUpdate)
        m_pUpdate->UpdateExportDialog();
}

void PanoramaDoc::updatePictureView()
{
    if (m_pUserInterface)
        m_pUserInterface->UpdatePictureView(true);
}

void PanoramaDoc::updateAllViews(int hint)
{
    if (m_pDocument)
        m_pDocument->updateAllViews(hint);
}
