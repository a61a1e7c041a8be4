#include "tests/support/dib_manager_fixture.h"

namespace vltest {

ScopedDibManager::ScopedDibManager()
    : m_host(std::make_unique<EngineHost>()), m_previous(CPanoElement::m_pIDibManager)
{
    CPanoElement::m_pIDibManager = m_host.get();
}

ScopedDibManager::~ScopedDibManager()
{
    CPanoElement::m_pIDibManager = m_previous;
}

PanoramaLib::IDibManager* InstallDibManager()
{
    static EngineHost host;
    if (!CPanoElement::m_pIDibManager)
        CPanoElement::m_pIDibManager = &host;
    return CPanoElement::m_pIDibManager;
}

}  // namespace vltest
