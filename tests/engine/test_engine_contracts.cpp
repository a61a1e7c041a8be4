// The engines' contract with their host: the factories, the highlight guard, and the
// recording host doubles that every engine test relies on.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "core/pano_element.h"
#include "core/refcount.h"
#include "document/engine_host.h"
#include "engine/auto_highlight.h"
#include "engine/manual_matcher.h"
#include "engine/panorama_interfaces.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/recording_host.h"

using PanoramaLib::IManualMatcher;
using VarnoBase::Point;
using vltest::MatchingAnswer;
using vltest::RecordingProgress;
using vltest::RecordingUserInterface;

namespace {

// Restores the class-wide store factory that a factory call overwrites.
struct KeepDibManager {
    PanoramaLib::IDibManager* saved = CPanoElement::m_pIDibManager;
    ~KeepDibManager() { CPanoElement::m_pIDibManager = saved; }
};

}  // namespace

TEST(EngineFactories, NullStoreFactoryIsStoredAndGivesNoEngine)
{
    KeepDibManager keep;
    EngineHost host;
    CPanoElement::m_pIDibManager = &host;
    EXPECT_EQ(PanoramaLib::CreateHVPanoramaObject(nullptr), nullptr);
    EXPECT_EQ(CPanoElement::m_pIDibManager, nullptr);

    CPanoElement::m_pIDibManager = &host;
    EXPECT_EQ(PanoramaLib::CreateTiledPanoramaObject(nullptr), nullptr);
    EXPECT_EQ(CPanoElement::m_pIDibManager, nullptr);
}

TEST(EngineFactories, StoreFactoryIsInstalledForEveryElementMadeAfterwards)
{
    KeepDibManager keep;
    EngineHost host;
    CPanoElement::m_pIDibManager = nullptr;
    if (PanoramaLib::IHVPanorama* hv = PanoramaLib::CreateHVPanoramaObject(&host))
        hv->Release();
    EXPECT_EQ(CPanoElement::m_pIDibManager, &host);

    EngineHost other;
    if (PanoramaLib::ITiledPanorama* tiled = PanoramaLib::CreateTiledPanoramaObject(&other))
        tiled->Release();
    EXPECT_EQ(CPanoElement::m_pIDibManager, &other);

    // An element made now gets a working store from the installed factory.
    VarnoBase::RefPtr<CPanoElement> e;
    e.Adopt(new CPanoElement(false));
    ASSERT_NE(e->GetDib(), nullptr);
    EXPECT_TRUE(e->CreateImage(24, 16, 8));
    EXPECT_EQ(e->GetImageSize(), VarnoBase::Size(16, 8));
}

TEST(AutoHighlightFile, MarksForTheScopeEvenWhenTheWorkThrows)
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
}

TEST(AutoHighlightFile, SuppressedOrWithoutInterfaceMarksNothing)
{
    RecordingUserInterface ui;
    {
        CAutoHighlightFile full(L"/photos/a.jpg", &ui, true);
        CAutoHighlightFile none(L"/photos/b.jpg", nullptr, false);
    }
    EXPECT_TRUE(ui.Highlights().empty());
}

// The balance check the engine tests assert must catch a mark left on and crossed pairs.
TEST(RecordingHighlights, UnbalancedOrCrossedPairsAreReported)
{
    RecordingUserInterface ui;
    ui.HighlightImage(L"a", true);
    EXPECT_FALSE(ui.HighlightsBalanced());
    ui.HighlightImage(L"b", true);
    ui.HighlightImage(L"a", false);
    ui.HighlightImage(L"b", false);
    EXPECT_FALSE(ui.HighlightsBalanced());
}

// What every engine test needs of the progress double: a cancel at step k that stays
// pressed and survives a Clear, which counts steps afresh.
TEST(RecordingProgressTest, CancelAtStepKAnswersTrueFromThenOn)
{
    RecordingProgress p;
    p.CancelAtStep(3);
    EXPECT_FALSE(p.AbortProgressIndicator(10, 1));
    EXPECT_FALSE(p.AbortProgressIndicator(10, 2));
    EXPECT_TRUE(p.AbortProgressIndicator(10, 3));
    EXPECT_TRUE(p.AbortProgressIndicator(10, 9));
    EXPECT_EQ(p.AbortCalls(), 4);
    p.Clear();
    EXPECT_FALSE(p.AbortProgressIndicator(5, 1));
    EXPECT_FALSE(p.AbortProgressIndicator(5, 2));
    EXPECT_TRUE(p.AbortProgressIndicator(5, 3));
}

class RecordingMatchingDialog : public ::testing::Test {
protected:
    vltest::ScopedDibManager dibs;
    VarnoBase::RefPtr<CPanoElement> first, second;
    void SetUp() override
    {
        first.Adopt(new CPanoElement(false));
        second.Adopt(new CPanoElement(false));
        ASSERT_TRUE(first->CreateImage(24, 400, 300));
        ASSERT_TRUE(second->CreateImage(24, 400, 300));
        first->SetPathName(L"/photos/a.png");
        second->SetPathName(L"/photos/b.png");
    }
};

TEST_F(RecordingMatchingDialog, ScriptedAnswersMoveTheMatcherAndAreUsedInOrder)
{
    RecordingUserInterface ui;
    ui.QueueMatchingAnswer(MatchingAnswer::Accept()
                               .Model(PanoramaLib::MotionSimple)
                               .Move(IManualMatcher::PTS_First, 0, Point(300, 100))
                               .Move(IManualMatcher::PTS_First, 1, Point(300, 200))
                               .Move(IManualMatcher::PTS_Second, 0, Point(20, 110))
                               .Move(IManualMatcher::PTS_Second, 1, Point(20, 210)));
    ui.QueueMatchingAnswer(MatchingAnswer::Reject().Then([](IManualMatcher& m) { m.Reset(); }));
    EXPECT_EQ(ui.PendingMatchingAnswers(), 2u);

    CManualMatcher matcher(true);
    matcher.Init(first->GetImageSize(), second->GetImageSize(), PanoramaLib::MotionTranslate);
    EXPECT_EQ(ui.OpenManualMatchingDialog(first, second, &matcher), 0);
    double m[3][3];
    matcher.GetTransform(m);
    EXPECT_NEAR(m[0][0], 1.0, 1e-9);
    EXPECT_NEAR(m[0][2], -280.0, 1e-9);
    EXPECT_NEAR(m[1][2], 10.0, 1e-9);

    EXPECT_EQ(ui.OpenManualMatchingDialog(first, second, &matcher), 1);
    EXPECT_EQ(matcher.GetMotionModel(), PanoramaLib::MotionTranslate);  // reset to the start
    // An empty script rejects without touching the matcher.
    EXPECT_EQ(ui.OpenManualMatchingDialog(first, second, &matcher), 1);

    EXPECT_EQ(ui.MatchingCalls().size(), 3u);
}

TEST_F(RecordingMatchingDialog, MissingPhotoIsRejectedWithoutUsingAnAnswer)
{
    RecordingUserInterface ui;
    ui.QueueMatchingAnswer(MatchingAnswer::Accept());
    CManualMatcher matcher(false);
    matcher.Init(first->GetImageSize(), second->GetImageSize(), PanoramaLib::MotionTranslate);
    EXPECT_EQ(ui.OpenManualMatchingDialog(first, nullptr, &matcher), 1);
    EXPECT_EQ(ui.PendingMatchingAnswers(), 1u);
    EXPECT_EQ(ui.MatchingCalls().size(), 1u);
    EXPECT_EQ(ui.OpenManualMatchingDialog(first, second, &matcher), 0);
}

// The tiled engine reports from its render thread while the test reads on its own.
TEST(RecordingUserInterfaceTest, AsyncUpdatesFromManyThreadsAreAllKept)
{
    RecordingUserInterface ui;
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&ui, t] {
            for (int i = 0; i < kEach; ++i)
                ui.AsyncUpdatePanoramaView(t, i);
        });
    EXPECT_TRUE(ui.WaitForAsyncUpdates(kThreads * kEach));
    for (auto& th : threads)
        th.join();
    const auto updates = ui.AsyncUpdates();
    ASSERT_EQ(updates.size(), std::size_t(kThreads * kEach));
    // Each thread's calls keep their order.
    std::vector<long> next(kThreads, 0);
    for (const auto& u : updates) {
        ASSERT_EQ(u.lParam, next[u.wParam]);
        ++next[u.wParam];
    }
    ui.Clear();
    EXPECT_TRUE(ui.AsyncUpdates().empty());
    EXPECT_FALSE(ui.WaitForAsyncUpdates(1, std::chrono::milliseconds(0)));
}
