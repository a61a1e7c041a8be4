// Recording stand-ins for the host side of the engines: the progress display and the
// main window's call-backs. They keep every call in order so that engine tests can
// check what an engine reported, and they answer the engine's questions from a
// script: cancel from a chosen progress step on, accept or reject the manual matching
// dialog.
//
//   vltest::RecordingProgress progress;
//   progress.CancelAtStep(3);            // the 3rd AbortProgressIndicator answers true
//   vltest::RecordingUserInterface ui;
//   ui.QueueMatchingAnswer(vltest::MatchingAnswer::Accept());
//   ui.QueueMatchingAnswer(vltest::MatchingAnswer::Reject());
//   engine->Initialize(nullptr, nullptr, &ui);
//   engine->Set_IProgressIndicator(&progress);
//
// All operations are thread-safe (the tiled engine reports from its render thread).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <QStringList>

#include "core/geometry.h"
#include "core/pano_element.h"
#include "engine/manual_matcher.h"
#include "engine/panorama_interfaces.h"

namespace vltest {

// A recorder's lock: Locked(f) runs f under it and returns what f returns.
class Locking {
protected:
    template <class F>
    auto Locked(F f) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }
    mutable std::mutex m_mutex;
};

class RecordingProgress : public PanoramaLib::IProgressIndicator, Locking {
public:
    struct Caption {
        unsigned id;
        std::wstring text;  // empty for the one-argument form
        bool operator==(const Caption&) const = default;
    };
    struct Position {
        int max;
        int value;
        bool operator==(const Position&) const = default;
    };
    // The k-th AbortProgressIndicator call (counted from 1 since construction or Clear)
    // and every later one answer true, as a pressed Cancel button stays pressed. 0 (the
    // default) never cancels.
    void CancelAtStep(int k) { Locked([&] { m_cancelAt = k; }); }
    std::vector<Caption> Captions() const { return Locked([&] { return m_captions; }); }
    // Every AbortProgressIndicator call, in order.
    std::vector<Position> Positions() const { return Locked([&] { return m_positions; }); }
    // OpenProgressIndicator and ...WOAbort calls.
    int OpenCount() const { return Locked([&] { return m_opens; }); }
    int CloseCount() const { return Locked([&] { return m_closes; }); }
    int AbortCalls() const { return Locked([&] { return int(m_positions.size()); }); }
    bool IsOpen() const { return OpenCount() > CloseCount(); }
    // Forgets the calls; the cancel step stays.
    void Clear() { Locked([&] { m_captions.clear(), m_positions.clear(), m_opens = m_closes = 0; }); }

    void OpenProgressIndicator() override { Locked([&] { ++m_opens; }); }
    void OpenProgressIndicatorWOAbort() override { Locked([&] { ++m_opens; }); }
    void CloseProgressIndicator() override { Locked([&] { ++m_closes; }); }
    void SetProgressCaption(unsigned id) override { SetProgressCaption(id, {}); }
    void SetProgressCaption(unsigned id, const std::wstring& t) override
    {
        Locked([&] { m_captions.push_back({id, t}); });
        m_captionSet.notify_all();
    }
    // Blocks until a caption `id` has been set; false when `limit` passed first (a guard
    // against a hung engine, not a timing check).
    bool WaitForCaption(unsigned id, std::chrono::milliseconds limit = std::chrono::minutes(1)) const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_captionSet.wait_for(lock, limit, [&] {
            return std::any_of(m_captions.begin(), m_captions.end(), [&](const Caption& c) { return c.id == id; });
        });
    }
    bool AbortProgressIndicator(int max, int value) override
    {
        return Locked([&] {
            return m_positions.push_back({max, value}), m_cancelAt > 0 && int(m_positions.size()) >= m_cancelAt;
        });
    }
    void HideProgress(bool) override {}

private:
    mutable std::condition_variable m_captionSet;
    std::vector<Caption> m_captions;
    std::vector<Position> m_positions;
    int m_opens = 0, m_closes = 0, m_cancelAt = 0;
};

// What the scripted user does in one manual matching dialog: accept (answer 0) or reject (1).
struct MatchingAnswer {
    bool accept = true;

    static MatchingAnswer Accept() { return {}; }
    static MatchingAnswer Reject() { return {false}; }
};

// One OpenManualMatchingDialog call as the dialog saw it.
struct MatchingDialogCall {
    PanoramaLib::IPanoElement* first = nullptr;  // identity only: not held
    PanoramaLib::IPanoElement* second = nullptr;
    std::wstring firstPath;
    int answer = 1;  // 0 accepted, 1 otherwise
};

class RecordingUserInterface : public PanoramaLib::IUserInterface, Locking {
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
    void QueueMatchingAnswer(MatchingAnswer answer) { Locked([&] { m_answers.push_back(std::move(answer)); }); }
    int UserWndUpdates() const { return Locked([&] { return m_userWndUpdates; }); }
    std::vector<bool> PictureViewUpdates() const { return Locked([&] { return m_pictureViewUpdates; }); }
    std::vector<Highlight> Highlights() const { return Locked([&] { return m_highlights; }); }
    // True when the highlights pair up: every path switched on is switched off again
    // by a later call, innermost first, and nothing stays on.
    bool HighlightsBalanced() const
    {
        return Locked([&] {
            std::vector<std::wstring> open;
            for (const Highlight& h : m_highlights) {
                if (h.on)
                    open.push_back(h.path);
                else if (open.empty() || open.back() != h.path)
                    return false;
                else
                    open.pop_back();
            }
            return open.empty();
        });
    }
    std::vector<AsyncUpdate> AsyncUpdates() const { return Locked([&] { return m_async; }); }
    // Blocks until at least n asynchronous updates have arrived; false when `limit`
    // passed first (a guard against a hung engine, not a timing check).
    bool WaitForAsyncUpdates(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(60)) const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_asyncArrived.wait_for(lock, limit, [&] { return m_async.size() >= n; });
    }
    std::vector<MatchingDialogCall> MatchingCalls() const { return Locked([&] { return m_matching; }); }
    // Forgets the calls; queued answers stay.
    void Clear()
    {
        Locked([&] {
            m_userWndUpdates = 0, m_pictureViewUpdates.clear(), m_highlights.clear(), m_async.clear(),
            m_matching.clear();
        });
    }

    void UpdateUserWndInterface() override { Locked([&] { ++m_userWndUpdates; }); }
    void UpdatePictureView(bool b) override { Locked([&] { m_pictureViewUpdates.push_back(b); }); }
    int OpenManualMatchingDialog(PanoramaLib::IPanoElement* first, PanoramaLib::IPanoElement* second,
                                 PanoramaLib::IManualMatcher* matcher) override
    {
        // Like the main window: no dialog at all for a missing photo (or matcher).
        const bool shown = first && second && matcher;
        MatchingDialogCall call{first, second, shown ? first->GetPathName() : std::wstring(), 1};
        Locked([&] {
            if (shown && !m_answers.empty())
                call.answer = m_answers.front().accept ? 0 : 1, m_answers.pop_front();
            m_matching.push_back(call);
        });
        return call.answer;
    }
    void HighlightImage(const std::wstring& p, bool on) override { Locked([&] { m_highlights.push_back({p, on}); }); }
    void AsyncUpdatePanoramaView(long wParam, long lParam) override
    {
        Locked([&] { m_async.push_back({wParam, lParam}); });
        m_asyncArrived.notify_all();
    }

private:
    mutable std::condition_variable m_asyncArrived;
    int m_userWndUpdates = 0;
    std::vector<bool> m_pictureViewUpdates;
    std::vector<Highlight> m_highlights;
    std::vector<AsyncUpdate> m_async;
    std::vector<MatchingDialogCall> m_matching;
    std::deque<MatchingAnswer> m_answers;
};

// The progress of a build of `paths` (photos it holds) analysed on several threads. The
// first photo loads only once another one has been reported analysed (an "Analyzing"
// caption) or a minute has passed; with `cancelAtFirstPhoto` the poll after that caption
// answers Cancel. Outcome(n): the first photo waited for a report, no call came from a
// thread but the one that made this, the photo reported first was not the first, the
// number reported, and at most n photos were loaded.
class AnalysisProgress : public RecordingProgress {
public:
    AnalysisProgress(bool cancelAtFirstPhoto, const QStringList& paths) : m_cancel(cancelAtFirstPhoto)
    {
        for (const QString& path : paths) {
            auto* photo = new Photo;
            photo->FromFile(path.toStdWString());
            photo->gate = m_photos.empty() ? this : nullptr;
            m_photos.push_back(photo);
        }
    }
    ~AnalysisProgress() { PanoramaLib::FreePictureCollection(m_photos); }
    const std::vector<PanoramaLib::IPanoElement*>& Photos() const { return m_photos; }
    void SetProgressCaption(unsigned id, const std::wstring& t) override
    {
        m_offThread = m_offThread || std::this_thread::get_id() != m_owner;
        RecordingProgress::SetProgressCaption(id, t);
    }
    bool AbortProgressIndicator(int max, int value) override
    {
        m_offThread = m_offThread || std::this_thread::get_id() != m_owner;
        return RecordingProgress::AbortProgressIndicator(max, value) || (m_cancel && !Reported().empty());
    }
    std::tuple<bool, bool, bool, std::size_t, bool> Outcome(int maxLoaded) const
    {
        int loaded = 0;
        for (PanoramaLib::IPanoElement* p : m_photos)
            loaded += static_cast<Photo*>(p)->loaded;
        const auto reported = Reported();
        return {static_cast<Photo*>(m_photos[0])->waited, !m_offThread,
                !reported.empty() && reported[0] != m_photos[0]->GetFileName(), reported.size(), loaded <= maxLoaded};
    }

private:
    struct Photo : CPanoElement {
        AnalysisProgress* gate = nullptr;
        std::atomic<bool> loaded{false}, waited{true};
        void Load() override
        {
            loaded = true;
            if (gate && !gate->WaitForCaption(PanoramaLib::kCaptionAnalyzingFile))
                waited = false;
            CPanoElement::Load();
        }
    };
    std::vector<std::wstring> Reported() const
    {
        std::vector<std::wstring> out;
        for (const Caption& c : Captions())
            if (c.id == PanoramaLib::kCaptionAnalyzingFile)
                out.push_back(c.text);
        return out;
    }
    const bool m_cancel;
    const std::thread::id m_owner = std::this_thread::get_id();
    std::atomic<bool> m_offThread{false};
    std::vector<PanoramaLib::IPanoElement*> m_photos;
};

class RecordingWaitCursor : public PanoramaLib::IWaitCursor {
public:
    void BeginWait() override { ++m_begins; }
    void EndWait() override { ++m_ends; }
    int Begins() const { return m_begins; }
    int Ends() const { return m_ends; }

private:
    std::atomic<int> m_begins{0}, m_ends{0};
};

}  // namespace vltest
