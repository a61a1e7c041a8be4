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

TEST(RecordingHighlights, UnbalancedOrCrossedPairsAreReported)
{
    RecordingUserInterface left;
    left.HighlightImage(L"a", true);
    EXPECT_FALSE(left.HighlightsBalanced());
    RecordingUserInterface crossed;
    crossed.HighlightImage(L"a", true);
    crossed.HighlightImage(L"b", true);
    crossed.HighlightImage(L"a", false);
    crossed.HighlightImage(L"b", false);
    EXPECT_FALSE(crossed.HighlightsBalanced());
}

// What every engine test needs of the progress double: a cancel at step k that stays
// pressed, and the positions and captions in the order they came.
TEST(RecordingProgressTest, CancelAtStepKAnswersTrueFromThenOn)
{
    RecordingProgress p;
    p.CancelAtStep(3);
    p.OpenProgressIndicator();
    p.SetProgressCaption(PanoramaLib::kCaptionAnalyzing);
    p.SetProgressCaption(PanoramaLib::kCaptionAnalyzingFile, L"photo_01.jpg");
    EXPECT_FALSE(p.AbortProgressIndicator(10, 1));
    EXPECT_FALSE(p.AbortProgressIndicator(10, 2));
    EXPECT_FALSE(p.HasCancelled());
    EXPECT_TRUE(p.AbortProgressIndicator(10, 3));
    EXPECT_TRUE(p.AbortProgressIndicator(10, 9));
    EXPECT_TRUE(p.HasCancelled());
    EXPECT_TRUE(p.IsOpen());
    p.CloseProgressIndicator();
    EXPECT_FALSE(p.IsOpen());

    using C = RecordingProgress::Caption;
    using P = RecordingProgress::Position;
    EXPECT_EQ(p.Captions(), (std::vector<C>{{11, L""}, {12, L"photo_01.jpg"}}));
    EXPECT_EQ(p.Positions(), (std::vector<P>{{10, 1}, {10, 2}, {10, 3}, {10, 9}}));
    EXPECT_EQ(p.AbortCalls(), 4);
    EXPECT_EQ(p.OpenCount(), 1);
    EXPECT_EQ(p.CloseCount(), 1);
    const auto events = p.Events();
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events.front().call, RecordingProgress::Call::Open);
    EXPECT_EQ(events.back().call, RecordingProgress::Call::Close);

    // Clear forgets the calls and counts steps afresh; the cancel step stays.
    p.Clear();
    EXPECT_FALSE(p.AbortProgressIndicator(5, 1));
    EXPECT_FALSE(p.AbortProgressIndicator(5, 2));
    EXPECT_TRUE(p.AbortProgressIndicator(5, 3));
}

TEST(RecordingProgressTest, WithoutACancelStepNothingIsCancelledUntilCancelNow)
{
    RecordingProgress p;
    for (int i = 1; i <= 100; ++i)
        ASSERT_FALSE(p.AbortProgressIndicator(100, i));
    p.CancelNow();
    EXPECT_TRUE(p.AbortProgressIndicator(100, 100));
    p.OpenProgressIndicatorWOAbort();
    p.HideProgress(true);
    EXPECT_EQ(p.OpenCount(), 1);
    EXPECT_TRUE(p.Events().back().flag);
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

    const auto calls = ui.MatchingCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].firstPath, L"/photos/a.png");
    EXPECT_EQ(calls[0].secondPath, L"/photos/b.png");
    EXPECT_EQ(calls[0].firstSize, VarnoBase::Size(400, 300));
    EXPECT_EQ(calls[0].modelOnEntry, PanoramaLib::MotionTranslate);
    EXPECT_EQ(calls[0].firstPoints[0], Point(350, 225));  // the defaults, as the dialog saw them
    EXPECT_TRUE(calls[0].cyclorama);
    EXPECT_EQ(calls[0].answer, 0);
    EXPECT_NEAR(calls[0].transformOnExit[0][2], -280.0, 1e-9);
    EXPECT_EQ(calls[1].modelOnEntry, PanoramaLib::MotionSimple);
    EXPECT_EQ(calls[1].answer, 1);
    EXPECT_EQ(calls[2].transformOnEntry[0][2], calls[2].transformOnExit[0][2]);
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
    ui.UpdatePictureView(false);
    ui.UpdatePictureView(true);
    ui.UpdateUserWndInterface();
    EXPECT_EQ(ui.PictureViewUpdates(), (std::vector<bool>{false, true}));
    EXPECT_EQ(ui.UserWndUpdates(), 1);
    ui.Clear();
    EXPECT_TRUE(ui.AsyncUpdates().empty());
    EXPECT_FALSE(ui.WaitForAsyncUpdates(1, std::chrono::milliseconds(0)));
}
