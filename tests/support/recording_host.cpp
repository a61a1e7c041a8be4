#include "tests/support/recording_host.h"

#include <algorithm>

namespace vltest {

using Lock = std::lock_guard<std::mutex>;

namespace {
RecordingProgress::Event MakeEvent(RecordingProgress::Call call)
{
    RecordingProgress::Event e;
    e.call = call;
    return e;
}
}  // namespace

// ---- RecordingProgress ----

void RecordingProgress::CancelAtStep(int k)
{
    Lock lock(m_mutex);
    m_cancelAt = k;
}

void RecordingProgress::CancelNow()
{
    Lock lock(m_mutex);
    m_cancelNow = true;
}

std::vector<RecordingProgress::Event> RecordingProgress::Events() const
{
    Lock lock(m_mutex);
    return m_events;
}

std::vector<RecordingProgress::Caption> RecordingProgress::Captions() const
{
    Lock lock(m_mutex);
    std::vector<Caption> out;
    for (const Event& e : m_events)
        if (e.call == Call::Caption)
            out.push_back({e.id, e.text});
    return out;
}

std::vector<RecordingProgress::Position> RecordingProgress::Positions() const
{
    Lock lock(m_mutex);
    std::vector<Position> out;
    for (const Event& e : m_events)
        if (e.call == Call::Abort)
            out.push_back({e.max, e.value});
    return out;
}

int RecordingProgress::OpenCount() const
{
    Lock lock(m_mutex);
    return int(std::count_if(m_events.begin(), m_events.end(), [](const Event& e) {
        return e.call == Call::Open || e.call == Call::OpenWOAbort;
    }));
}

int RecordingProgress::CloseCount() const
{
    Lock lock(m_mutex);
    return int(std::count_if(m_events.begin(), m_events.end(), [](const Event& e) { return e.call == Call::Close; }));
}

int RecordingProgress::AbortCalls() const
{
    Lock lock(m_mutex);
    return m_abortCalls;
}

void RecordingProgress::Clear()
{
    Lock lock(m_mutex);
    m_events.clear();
    m_abortCalls = 0;
}

void RecordingProgress::OpenProgressIndicator()
{
    Lock lock(m_mutex);
    m_events.push_back(MakeEvent(Call::Open));
}

void RecordingProgress::OpenProgressIndicatorWOAbort()
{
    Lock lock(m_mutex);
    m_events.push_back(MakeEvent(Call::OpenWOAbort));
}

void RecordingProgress::CloseProgressIndicator()
{
    Lock lock(m_mutex);
    m_events.push_back(MakeEvent(Call::Close));
}

void RecordingProgress::SetProgressCaption(unsigned id)
{
    SetProgressCaption(id, std::wstring());
}

void RecordingProgress::SetProgressCaption(unsigned id, const std::wstring& text)
{
    Lock lock(m_mutex);
    Event e = MakeEvent(Call::Caption);
    e.id = id;
    e.text = text;
    m_events.push_back(std::move(e));
}

bool RecordingProgress::AbortProgressIndicator(int max, int value)
{
    Lock lock(m_mutex);
    ++m_abortCalls;
    const bool cancel = m_cancelNow || (m_cancelAt > 0 && m_abortCalls >= m_cancelAt);
    Event e = MakeEvent(Call::Abort);
    e.max = max;
    e.value = value;
    e.flag = cancel;
    m_events.push_back(std::move(e));
    return cancel;
}

void RecordingProgress::HideProgress(bool hide)
{
    Lock lock(m_mutex);
    Event e = MakeEvent(Call::Hide);
    e.flag = hide;
    m_events.push_back(std::move(e));
}

// ---- RecordingUserInterface ----

void RecordingUserInterface::QueueMatchingAnswer(MatchingAnswer answer)
{
    Lock lock(m_mutex);
    m_answers.push_back(std::move(answer));
}

int RecordingUserInterface::UserWndUpdates() const
{
    Lock lock(m_mutex);
    return m_userWndUpdates;
}

std::vector<bool> RecordingUserInterface::PictureViewUpdates() const
{
    Lock lock(m_mutex);
    return m_pictureViewUpdates;
}

std::vector<RecordingUserInterface::Highlight> RecordingUserInterface::Highlights() const
{
    Lock lock(m_mutex);
    return m_highlights;
}

bool RecordingUserInterface::HighlightsBalanced() const
{
    Lock lock(m_mutex);
    std::vector<std::wstring> open;
    for (const Highlight& h : m_highlights) {
        if (h.on) {
            open.push_back(h.path);
        } else {
            if (open.empty() || open.back() != h.path)
                return false;
            open.pop_back();
        }
    }
    return open.empty();
}

std::vector<RecordingUserInterface::AsyncUpdate> RecordingUserInterface::AsyncUpdates() const
{
    Lock lock(m_mutex);
    return m_async;
}

bool RecordingUserInterface::WaitForAsyncUpdates(std::size_t n, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_asyncArrived.wait_for(lock, limit, [&] { return m_async.size() >= n; });
}

std::vector<MatchingDialogCall> RecordingUserInterface::MatchingCalls() const
{
    Lock lock(m_mutex);
    return m_matching;
}

void RecordingUserInterface::Clear()
{
    Lock lock(m_mutex);
    m_userWndUpdates = 0;
    m_pictureViewUpdates.clear();
    m_highlights.clear();
    m_async.clear();
    m_matching.clear();
}

void RecordingUserInterface::UpdateUserWndInterface()
{
    Lock lock(m_mutex);
    ++m_userWndUpdates;
}

void RecordingUserInterface::UpdatePictureView(bool b)
{
    Lock lock(m_mutex);
    m_pictureViewUpdates.push_back(b);
}

int RecordingUserInterface::OpenManualMatchingDialog(PanoramaLib::IPanoElement* first,
                                                     PanoramaLib::IPanoElement* second,
                                                     PanoramaLib::IManualMatcher* matcher)
{
    MatchingDialogCall call;
    call.first = first;
    call.second = second;
    // Like the main window: no dialog at all for a missing photo (or matcher).
    if (first == nullptr || second == nullptr || matcher == nullptr) {
        Lock lock(m_mutex);
        m_matching.push_back(call);
        return 1;
    }
    call.firstPath = first->GetPathName();
    call.secondPath = second->GetPathName();
    call.firstSize = first->GetImageSize();
    call.secondSize = second->GetImageSize();
    matcher->GetPoints(PanoramaLib::IManualMatcher::PTS_First, call.firstPoints);
    matcher->GetPoints(PanoramaLib::IManualMatcher::PTS_Second, call.secondPoints);
    call.modelOnEntry = matcher->GetMotionModel();
    call.badOnEntry = matcher->BadTransform();
    call.cyclorama = matcher->IsCyclorama();
    matcher->GetTransform(call.transformOnEntry);

    std::optional<MatchingAnswer> answer;
    {
        Lock lock(m_mutex);
        if (!m_answers.empty()) {
            answer = std::move(m_answers.front());
            m_answers.pop_front();
        }
    }
    // The scripted user acts without the lock held, so `edit` may call back here.
    if (answer) {
        if (answer->model)
            matcher->SetMotionModel(*answer->model);
        for (const MarkerMove& mv : answer->moves)
            matcher->SetPoint(mv.group, mv.point, mv.index);
        if (answer->edit)
            answer->edit(*matcher);
        call.answer = answer->accept ? 0 : 1;
    } else {
        call.answer = 1;
    }
    matcher->GetTransform(call.transformOnExit);

    Lock lock(m_mutex);
    m_matching.push_back(call);
    return call.answer;
}

void RecordingUserInterface::HighlightImage(const std::wstring& path, bool on)
{
    Lock lock(m_mutex);
    m_highlights.push_back({path, on});
}

void RecordingUserInterface::AsyncUpdatePanoramaView(long wParam, long lParam)
{
    {
        Lock lock(m_mutex);
        m_async.push_back({wParam, lParam});
    }
    m_asyncArrived.notify_all();
}

// ---- RecordingWaitCursor ----

void RecordingWaitCursor::BeginWait()
{
    Lock lock(m_mutex);
    ++m_begins;
}

void RecordingWaitCursor::EndWait()
{
    Lock lock(m_mutex);
    ++m_ends;
}

int RecordingWaitCursor::Begins() const
{
    Lock lock(m_mutex);
    return m_begins;
}

int RecordingWaitCursor::Ends() const
{
    Lock lock(m_mutex);
    return m_ends;
}

}  // namespace vltest
