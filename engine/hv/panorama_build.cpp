// Build pipeline entry points of the Horizontal/Vertical engine. Until the pipeline
// is in place every build and render reports failure and leaves the status as it is.
#include "engine/hv/panorama.h"

bool CPanorama::BuildPanorama(const std::vector<PanoramaLib::IPanoElement*>&,
                              const std::vector<PanoramaLib::IPanoElement*>*, int, int, int)
{
    return false;  // pipeline not built yet
}

bool CPanorama::BuildPanoramaManually(const std::vector<PanoramaLib::IPanoElement*>&,
                                      const std::vector<PanoramaLib::IPanoElement*>*, bool)
{
    return false;  // pipeline not built yet
}

bool CPanorama::RenderPanorama()
{
    return false;  // pipeline not built yet
}

void CPanorama::CropPanorama(const VarnoBase::Rect&)
{
    // pipeline not built yet
}

void CPanorama::SetPatchRect(const VarnoBase::Rect&)
{
    // pipeline not built yet
}
