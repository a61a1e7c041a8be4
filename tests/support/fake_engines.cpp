#include "tests/support/fake_engines.h"

#include <algorithm>

#include "core/pano_element.h"

namespace vltest {

// ---------------------------------------------------------------------------------
// CallLog

void CallLog::Add(std::string call)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(std::move(call));
}

std::vector<std::string> CallLog::Calls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<std::string> CallLog::Matching(const std::string& prefix) const
{
    std::vector<std::string> out;
    for (const std::string& c : Calls())
        if (c.rfind(prefix, 0) == 0)
            out.push_back(c);
    return out;
}

int CallLog::Count(const std::string& prefix) const
{
    return static_cast<int>(Matching(prefix).size());
}

int CallLog::IndexOf(const std::string& prefix, int from) const
{
    const std::vector<std::string> calls = Calls();
    for (std::size_t i = static_cast<std::size_t>(std::max(from, 0)); i < calls.size(); ++i)
        if (calls[i].rfind(prefix, 0) == 0)
            return static_cast<int>(i);
    return -1;
}

void CallLog::Clear()
{
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

std::string RectText(const VarnoBase::Rect& r)
{
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

FakeElement::FakeElement(VarnoBase::Size size, bool bits, std::wstring path)
    : RefCounter(1), m_size(size), m_bits(bits), m_path(std::move(path))
{
}

// ---------------------------------------------------------------------------------
// FakeEngine

template <class Base>
FakeEngine<Base>::FakeEngine(CallLog& log, std::string name) : m_log(log), m_name(std::move(name))
{
}

template <class Base>
FakeEngine<Base>::~FakeEngine()
{
    if (m_preview)
        m_preview->Release();
    if (m_full)
        m_full->Release();
}

template <class Base>
void FakeEngine<Base>::Initialize(PanoramaLib::IFreeThreading* threads, PanoramaLib::IWaitCursor*,
                                  PanoramaLib::IUserInterface* userInterface)
{
    threading = threads;
    ui = userInterface;
    Log("Initialize");
}

template <class Base>
void FakeEngine<Base>::Release()
{
    Log("Release");
    delete this;
}

template <class Base>
bool FakeEngine<Base>::Build(const std::vector<PanoramaLib::IPanoElement*>& photos, bool manual)
{
    if (script.onBuild)
        script.onBuild(photos);
    if (!m_preview) {
        m_preview = new FakeElement(script.previewSize, false);
        m_full = new FakeElement(script.fullSize, false);
    }
    m_status = script.status;
    m_status.bManual = manual || script.status.bManual;
    if (m_status.nImages == 0)
        m_status.nImages = static_cast<int>(photos.size());
    m_status.options = options;
    m_built = script.buildResult;
    m_preview->Set(script.previewSize, m_built);
    m_full->Set(script.fullSize, false);
    return m_built;
}

template <class Base>
bool FakeEngine<Base>::BuildPanorama(const std::vector<PanoramaLib::IPanoElement*>& photos,
                                     const std::vector<PanoramaLib::IPanoElement*>*, int x, int y, int z)
{
    Log("BuildPanorama(" + std::to_string(photos.size()) + ")");
    return Build(photos, false);
}

template <class Base>
bool FakeEngine<Base>::Render()
{
    if (!m_built || !script.renderResult)
        return false;
    m_full->Set(script.fullSize, true);
    return true;
}

template <class Base>
PanoramaLib::IPanoElement* FakeEngine<Base>::GetPanoramaPreview(bool fallBack) const
{
    if (fallBack && m_preview && !m_preview->HasBits())
        return m_full;
    return m_preview;
}

template <class Base>
void FakeEngine<Base>::Free(bool photos, bool graph)
{
    Log("Free(" + std::to_string(photos) + "," + std::to_string(graph) + ")");
    m_built = false;
}

template <class Base>
void FakeEngine<Base>::FreePanoramaImages()
{
    Log("FreePanoramaImages");
    m_built = false;
    if (m_preview) {
        m_preview->FreeImage();
        m_full->FreeImage();
    }
}

template <class Base>
PanoramaLib::IPanoElement* FakeEngine<Base>::CreateImageThumbnail(PanoramaLib::IPanoElement* photo)
{
    ++thumbnailsMade;
    Log("CreateImageThumbnail");
    return new FakeElement({photo->GetWidth() / 4, photo->GetHeight() / 4}, true, photo->GetPathName());
}

template class FakeEngine<PanoramaLib::IHVPanorama>;
template class FakeEngine<PanoramaLib::ITiledPanorama>;

// ---------------------------------------------------------------------------------
// FakeHVEngine

bool FakeHVEngine::BuildPanoramaManually(const std::vector<PanoramaLib::IPanoElement*>& photos,
                                         const std::vector<PanoramaLib::IPanoElement*>*, bool allPairs)
{
    Log("BuildPanoramaManually(" + std::to_string(photos.size()) + "," + std::to_string(allPairs) + ")");
    return Build(photos, true);
}

bool FakeHVEngine::RenderPanorama()
{
    Log("RenderPanorama(crop=" + std::to_string(options.bAutoCrop) + ")");
    return Render();
}

bool FakeHVEngine::CropPanorama(const VarnoBase::Rect& r)
{
    Log("CropPanorama(" + RectText(r) + ")");
    if (!script.cropResult)
        return false;
    m_full->Set({r.width(), r.height()}, true);
    return true;
}

void FakeHVEngine::SetPatchRect(const VarnoBase::Rect& r)
{
    Log("SetPatchRect(" + RectText(r) + ")");
}

// ---------------------------------------------------------------------------------
// FakeTiledEngine

bool FakeTiledEngine::SetRenderingSurface(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool async,
                                          bool fast)
{
    Log("SetRenderingSurface(" + std::to_string(type) + "," + std::to_string(x) + "," + std::to_string(y) + "," +
        std::to_string(z) + "," + (async ? "async" : "sync") + "," + (fast ? "fast" : "full") + ")");
    return m_built && script.surfaceResult;
}

bool FakeTiledEngine::FastRenderingHasFinished()
{
    Log("FastRenderingHasFinished");
    return true;
}

bool FakeTiledEngine::RenderPanorama(int x, int y, int z)
{
    Log("RenderPanorama(crop=" + std::to_string(options.bAutoCrop) + ")");
    return Render();
}

void FakeTiledEngine::SyncUpdatePanoramaView(long wParam, long lParam)
{
    Log("SyncUpdatePanoramaView(" + std::to_string(wParam) + "," + std::to_string(lParam) + ")");
}

void FakeTiledEngine::SetCropRect(const VarnoBase::Rect& r)
{
    Log("SetCropRect(" + RectText(r) + ")");
    script.cropRect = r;
    options.bAutoCrop = true;
}

// ---------------------------------------------------------------------------------
// Factories

EngineFactories FakeEngines::Factories()
{
    EngineFactories f;
    f.createHV = [this](PanoramaLib::IDibManager* dibs) -> PanoramaLib::IHVPanorama* {
        ++hvCreated;
        if (failHV)
            return nullptr;
        if (realHV)
            return PanoramaLib::CreateHVPanoramaObject(dibs);
        CPanoElement::m_pIDibManager = dibs;
        hv = new FakeHVEngine(log);
        return hv;
    };
    f.createTiled = [this](PanoramaLib::IDibManager* dibs) -> PanoramaLib::ITiledPanorama* {
        ++tiledCreated;
        if (failTiled)
            return nullptr;
        if (realTiled)
            return PanoramaLib::CreateTiledPanoramaObject(dibs);
        CPanoElement::m_pIDibManager = dibs;
        tiled = new FakeTiledEngine(log);
        return tiled;
    };
    return f;
}

}  // namespace vltest
