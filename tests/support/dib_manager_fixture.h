// Installs a pixel-store factory for the image elements a test makes:
//
//   ScopedDibManager dibs;   // CPanoElement::m_pIDibManager set until the scope ends
//
// or, for a whole test program, call InstallDibManager() once (idempotent; the
// factory then lives until the program ends). ImageOf reads a 24-bit element's pixels
// back as a QImage.
#pragma once

#include <QImage>

#include <cstdint>
#include <cstring>
#include <memory>

#include "core/pano_element.h"
#include "document/engine_host.h"

namespace vltest {

class ScopedDibManager {
public:
    ScopedDibManager() : m_host(std::make_unique<EngineHost>()), m_previous(CPanoElement::m_pIDibManager)
    {
        CPanoElement::m_pIDibManager = m_host.get();
    }
    ~ScopedDibManager() { CPanoElement::m_pIDibManager = m_previous; }

    EngineHost& host() { return *m_host; }

private:
    std::unique_ptr<EngineHost> m_host;
    PanoramaLib::IDibManager* m_previous;
};

// Sets a program-wide factory unless one is installed already; returns the installed one.
inline PanoramaLib::IDibManager* InstallDibManager()
{
    static EngineHost host;
    if (!CPanoElement::m_pIDibManager)
        CPanoElement::m_pIDibManager = &host;
    return CPanoElement::m_pIDibManager;
}

// The pixels of a 24-bit element (store byte order red, green, blue).
inline QImage ImageOf(const PanoramaLib::IPanoElement* e)
{
    QImage img(e->GetWidth(), e->GetHeight(), QImage::Format_RGB888);
    for (int y = 0; y < img.height(); ++y)
        std::memcpy(img.scanLine(y), e->GetBits() + static_cast<std::int64_t>(y) * e->GetBPL(),
                    static_cast<std::size_t>(img.width()) * 3);
    return img;
}

}  // namespace vltest
