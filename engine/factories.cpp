// The two engine factories. Each first installs the document's pixel-store factory
// class-wide (every image element made from then on gets its store there), then makes
// its engine; a null factory leaves the program without stores and gives no engine.
#include <new>

#include "core/pano_element.h"
#include "engine/hv/panorama.h"
#include "engine/panorama_interfaces.h"
#include "engine/tiled/panorama.h"

namespace PanoramaLib {

IHVPanorama* CreateHVPanoramaObject(IDibManager* manager)
{
    CPanoElement::m_pIDibManager = manager;  // stored even when null
    if (manager == nullptr)
        return nullptr;
    return new (std::nothrow) CPanorama();  // null when memory is short
}

ITiledPanorama* CreateTiledPanoramaObject(IDibManager* manager)
{
    CPanoElement::m_pIDibManager = manager;  // stored even when null
    if (manager == nullptr)
        return nullptr;
    return Tiled_Panorama::CPanorama::CreateInstance();  // null when memory is short
}

}  // namespace PanoramaLib
