#include "tests/support/fake_engines.h"

#include <algorithm>

#include "core/pano_element.h"

namespace vltest {

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
    std::vector<std::string> out = Calls();
    std::erase_if(out, [&](const std::string& c) { return c.rfind(prefix, 0) != 0; });
    return out;
}

int CallLog::IndexOf(const std::string& prefix, int from) const
{
    const std::vector<std::string> calls = Calls();
    for (std::size_t i = std::size_t(std::max(from, 0)); i < calls.size(); ++i)
        if (calls[i].rfind(prefix, 0) == 0)
            return int(i);
    return -1;
}

void CallLog::Clear()
{
    std::lock_guard lock(m_mutex);
    m_calls.clear();
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
        m_status.nImages = int(photos.size());
    m_status.options = options;
    m_built = script.buildResult;
    m_preview->Set(script.previewSize, m_built);
    m_full->Set(script.fullSize, false);
    return m_built;
}

template <class Base>
void FakeEngine<Base>::FreePanoramaImages()
{
    Log("FreePanoramaImages");
    m_built = false;
    if (m_preview)
        m_preview->FreeImage(), m_full->FreeImage();
}

template <class Base>
PanoramaLib::IPanoElement* FakeEngine<Base>::CreateImageThumbnail(PanoramaLib::IPanoElement* photo)
{
    Log("CreateImageThumbnail");
    return new FakeElement({photo->GetWidth() / 4, photo->GetHeight() / 4}, true, photo->GetPathName());
}

template class FakeEngine<PanoramaLib::IHVPanorama>;
template class FakeEngine<PanoramaLib::ITiledPanorama>;

bool FakeHVEngine::CropPanorama(const VarnoBase::Rect& r)
{
    Log("CropPanorama", RectText(r));
    if (script.cropResult)
        m_full->Set({r.width(), r.height()}, true);
    return script.cropResult;
}

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
