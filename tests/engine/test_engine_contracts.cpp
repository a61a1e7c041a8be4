// The engines' contract with their host: the factories and the highlight guard.
#include <gtest/gtest.h>

#include <stdexcept>

#include "core/pano_element.h"
#include "core/refcount.h"
#include "document/engine_host.h"
#include "engine/auto_highlight.h"
#include "engine/panorama_interfaces.h"
#include "tests/support/recording_host.h"

using vltest::RecordingUserInterface;

namespace {

// Restores the class-wide store factory that a factory call overwrites.
struct KeepDibManager {
    PanoramaLib::IDibManager* saved = CPanoElement::m_pIDibManager;
    ~KeepDibManager() { CPanoElement::m_pIDibManager = saved; }
};

}  // namespace

// Each factory installs its store factory for every element made afterwards; a null one
// is stored too and gives no engine.
TEST(EngineFactories, StoreFactoryIsInstalledAndANullOneGivesNoEngine)
{
    KeepDibManager keep;
    EngineHost host, other;
    CPanoElement::m_pIDibManager = nullptr;
    if (PanoramaLib::IHVPanorama* hv = PanoramaLib::CreateHVPanoramaObject(&host))
        hv->Release();
    EXPECT_EQ(CPanoElement::m_pIDibManager, &host);
    if (PanoramaLib::ITiledPanorama* tiled = PanoramaLib::CreateTiledPanoramaObject(&other))
        tiled->Release();
    EXPECT_EQ(CPanoElement::m_pIDibManager, &other);
    VarnoBase::RefPtr<CPanoElement> e;
    e.Adopt(new CPanoElement(false));
    ASSERT_NE(e->GetDib(), nullptr);
    EXPECT_TRUE(e->CreateImage(24, 16, 8));
    EXPECT_EQ(e->GetImageSize(), VarnoBase::Size(16, 8));

    EXPECT_EQ(PanoramaLib::CreateHVPanoramaObject(nullptr), nullptr);
    EXPECT_EQ(CPanoElement::m_pIDibManager, nullptr);
    CPanoElement::m_pIDibManager = &host;
    EXPECT_EQ(PanoramaLib::CreateTiledPanoramaObject(nullptr), nullptr);
    EXPECT_EQ(CPanoElement::m_pIDibManager, nullptr);
}

TEST(AutoHighlightFile, MarksForTheScopeEvenWhenTheWorkThrowsAndNothingWhenSuppressed)
{
    RecordingUserInterface ui;
    {
        CAutoHighlightFile outer(L"/photos/a.jpg", &ui, false);
        try {
            CAutoHighlightFile inner(L"/photos/b.jpg", &ui, false);
            throw std::runtime_error("analysis failed");
        } catch (const std::runtime_error&) {
        }
    }
    using H = RecordingUserInterface::Highlight;
    EXPECT_EQ(ui.Highlights(), (std::vector<H>{{L"/photos/a.jpg", true},
                                               {L"/photos/b.jpg", true},
                                               {L"/photos/b.jpg", false},
                                               {L"/photos/a.jpg", false}}));
    EXPECT_TRUE(ui.HighlightsBalanced());

    // Suppressed, or without an interface: nothing marked.
    RecordingUserInterface quiet;
    {
        CAutoHighlightFile full(L"/photos/a.jpg", &quiet, true);
        CAutoHighlightFile none(L"/photos/b.jpg", nullptr, false);
    }
    EXPECT_TRUE(quiet.Highlights().empty());
}
