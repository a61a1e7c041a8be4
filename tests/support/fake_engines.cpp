#include "tests/support/fake_engines.h"

#include "core/pano_element.h"

namespace vltest {

namespace {
// A factory that counts its calls and makes the fake, the real engine or nothing.
template <class Fake, class Engine>
auto Factory(FakeEngines& e, int& created, const bool& fail, const bool& real,
             Engine* (*makeReal)(PanoramaLib::IDibManager*), Fake*& last)
{
    return [&e, &created, &fail, &real, makeReal, &last](PanoramaLib::IDibManager* dibs) -> Engine* {
        ++created;
        if (fail)
            return nullptr;
        if (real)
            return makeReal(dibs);
        CPanoElement::m_pIDibManager = dibs;
        return last = new Fake(e.log);
    };
}
}  // namespace

EngineFactories FakeEngines::Factories()
{
    EngineFactories f;
    f.createHV = Factory(*this, hvCreated, failHV, realHV, &PanoramaLib::CreateHVPanoramaObject, hv);
    f.createTiled = Factory(*this, tiledCreated, failTiled, realTiled, &PanoramaLib::CreateTiledPanoramaObject, tiled);
    return f;
}

}  // namespace vltest
