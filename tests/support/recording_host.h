// Recording stand-ins for the host side of the engines: the progress display and the
// main window's call-backs. They keep every call in order so that engine tests can
// check what an engine reported, and they answer the engine's questions from a
// script: cancel from a chosen progress step on, accept or reject the manual matching
// dialog (optionally moving the matcher's markers or model first).
//
//   vltest::RecordingProgress progress;
//   progress.CancelAtStep(3);            // the 3rd AbortProgressIndicator answers true
//   vltest::RecordingUserInterface ui;
//   ui.QueueMatchingAnswer(vltest::MatchingAnswer::Accept()
//                              .Model(PanoramaLib::MotionAffine)
//                              .Move(PanoramaLib::IManualMatcher::PTS_Second, 0, {120, 40}));
//   ui.QueueMatchingAnswer(vltest::MatchingAnswer::Reject());
//   engine->Initialize(nullptr, nullptr, &ui);
//   engine->Set_IProgressIndicator(&progress);
//
// All operations are thread-safe (the tiled engine reports from its render thread).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "engine/manual_matcher.h"
#include "engine/panorama_interfaces.h"

namespace vltest {

class RecordingProgress : public PanoramaLib::IProgressIndicator {
public:
    enum class Call { Open, OpenWOAbort, Close, Caption, Abort, Hide };
    // One call; the fields that the call does not carry stay zero/empty.
    struct Event {
        Call call = Call::Open;
        unsigned id = 0;      // Caption
        std::wstring text;    // Caption (empty for the one-argument form)
        int max = 0;          // Abort
        int value = 0;        // Abort
        bool flag = false;    // Abort: the answer given; Hide: the argument
    };
    struct Caption {
        unsigned id;
        std::wstring text;
        bool operator==(const Caption&) const = default;
    };
    struct Position {
        int max;
        int value;
        bool operator==(const Position&) const = default;
    };

    // The k-th AbortProgressIndicator call (counted from 1 since construction or
    // Clear) and every later one answer true, as a pressed Cancel button stays
    // pressed. 0 (the default) never cancels.
    void CancelAtStep(int k);
    // Every further AbortProgressIndicator call answers true.
    void CancelNow();

    std::vector<Event> Events() const;
    std::vector<Caption> Captions() const;    // both SetProgressCaption forms, in order
    std::vector<Position> Positions() const;  // every AbortProgressIndicator call, in order
    int OpenCount() const;                    // OpenProgressIndicator and ...WOAbort
    int CloseCount() const;
    int AbortCalls() const;
    bool IsOpen() const { return OpenCount() > CloseCount(); }
    void Clear();                             // forget the calls; the cancel step stays

    // IProgressIndicator
    void OpenProgressIndicator() override;
    void OpenProgressIndicatorWOAbort() override;
    void CloseProgressIndicator() override;
    void SetProgressCaption(unsigned id) override;
    void SetProgressCaption(unsigned id, const std::wstring& text) override;
    bool AbortProgressIndicator(int max, int value) override;
    void HideProgress(bool hide) override;

private:
    mutable std::mutex m_mutex;
    std::vector<Event> m_events;
    int m_abortCalls = 0;
    int m_cancelAt = 0;
    bool m_cancelNow = false;
};

struct MarkerMove {
    PanoramaLib::IManualMatcher::PTS_group group;
    int index;
    VarnoBase::Point point;
};

// What the scripted user does in one manual matching dialog: first switch the model
// (if given), then drop the markers in order, then run `edit` (if given), then accept
// (answer 0) or reject (answer 1).
struct MatchingAnswer {
    bool accept = true;
    std::optional<PanoramaLib::MotionModel> model;
    std::vector<MarkerMove> moves;
    std::function<void(PanoramaLib::IManualMatcher&)> edit;

    static MatchingAnswer Accept() { return {}; }
    static MatchingAnswer Reject()
    {
        MatchingAnswer a;
        a.accept = false;
        return a;
    }
    MatchingAnswer& Model(PanoramaLib::MotionModel mm)
    {
        model = mm;
        return *this;
    }
    MatchingAnswer& Move(PanoramaLib::IManualMatcher::PTS_group g, int index, VarnoBase::Point p)
    {
        moves.push_back({g, index, p});
        return *this;
    }
    MatchingAnswer& Then(std::function<void(PanoramaLib::IManualMatcher&)> fn)
    {
        edit = std::move(fn);
        return *this;
    }
};

// One OpenManualMatchingDialog call as the dialog saw it.
struct MatchingDialogCall {
    PanoramaLib::IPanoElement* first = nullptr;  // identity only: not held
    PanoramaLib::IPanoElement* second = nullptr;
    std::wstring firstPath, secondPath;
    VarnoBase::Size firstSize, secondSize;
    VarnoBase::Point firstPoints[3];   // the matcher's markers when the dialog opened
    VarnoBase::Point secondPoints[3];
    PanoramaLib::MotionModel modelOnEntry = PanoramaLib::MotionAffine;
    bool badOnEntry = false;
    bool cyclorama = false;
    double transformOnEntry[3][3] = {};
    double transformOnExit[3][3] = {};  // what the engine reads after an accept
    int answer = 1;                     // 0 accepted, 1 otherwise
};

class RecordingUserInterface : public PanoramaLib::IUserInterface {
public:
    struct Highlight {
        std::wstring path;
        bool on;
        bool operator==(const Highlight&) const = default;
    };
    struct AsyncUpdate {
        long wParam;
        long lParam;
        bool operator==(const AsyncUpdate&) const = default;
    };

    // Answers of the coming dialogs, first in first out. With the queue empty a
    // dialog is rejected (answer 1) without touching the matcher.
    void QueueMatchingAnswer(MatchingAnswer answer);

    int UserWndUpdates() const;                 // UpdateUserWndInterface calls
    std::vector<bool> PictureViewUpdates() const;
    std::vector<Highlight> Highlights() const;
    // True when the highlights pair up: every path switched on is switched off again
    // by a later call, innermost first, and nothing stays on.
    bool HighlightsBalanced() const;
    std::vector<AsyncUpdate> AsyncUpdates() const;
    // Blocks until at least n asynchronous updates have arrived; false when `limit`
    // passed first (a guard against a hung engine, not a timing check).
    bool WaitForAsyncUpdates(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(60)) const;
    std::vector<MatchingDialogCall> MatchingCalls() const;
    void Clear();  // forget the calls; queued answers stay

    // IUserInterface
    void UpdateUserWndInterface() override;
    void UpdatePictureView(bool b) override;
    int OpenManualMatchingDialog(PanoramaLib::IPanoElement* first, PanoramaLib::IPanoElement* second,
                                 PanoramaLib::IManualMatcher* matcher) override;
    void HighlightImage(const std::wstring& path, bool on) override;
    void AsyncUpdatePanoramaView(long wParam, long lParam) override;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_asyncArrived;
    int m_userWndUpdates = 0;
    std::vector<bool> m_pictureViewUpdates;
    std::vector<Highlight> m_highlights;
    std::vector<AsyncUpdate> m_async;
    std::vector<MatchingDialogCall> m_matching;
    std::deque<MatchingAnswer> m_answers;
};

class RecordingWaitCursor : public PanoramaLib::IWaitCursor {
public:
    void BeginWait() override;
    void EndWait() override;
    int Begins() const;
    int Ends() const;

private:
    mutable std::mutex m_mutex;
    int m_begins = 0;
    int m_ends = 0;
};

}  // namespace vltest
