#include "tests/support/recording_host.h"

namespace vltest {

bool RecordingUserInterface::HighlightsBalanced() const
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

bool RecordingUserInterface::WaitForAsyncUpdates(std::size_t n, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_asyncArrived.wait_for(lock, limit, [&] { return m_async.size() >= n; });
}

int RecordingUserInterface::OpenManualMatchingDialog(PanoramaLib::IPanoElement* first,
                                                     PanoramaLib::IPanoElement* second,
                                                     PanoramaLib::IManualMatcher* matcher)
{
    MatchingDialogCall call{first, second, {}, 1};
    // Like the main window: no dialog at all for a missing photo (or matcher).
    std::optional<MatchingAnswer> answer;
    if (first && second && matcher) {
        call.firstPath = first->GetPathName();
        Locked([&] {
            if (!m_answers.empty())
                answer = std::move(m_answers.front()), m_answers.pop_front();
        });
    }
    if (answer) {  // the scripted user acts without the lock held
        if (answer->model)
            matcher->SetMotionModel(*answer->model);
        for (const MarkerMove& mv : answer->moves)
            matcher->SetPoint(mv.group, mv.point, mv.index);
        call.answer = answer->accept ? 0 : 1;
    }
    Locked([&] { m_matching.push_back(call); });
    return call.answer;
}

void RecordingUserInterface::AsyncUpdatePanoramaView(long wParam, long lParam)
{
    Locked([&] { m_async.push_back({wParam, lParam}); });
    m_asyncArrived.notify_all();
}

}  // namespace vltest
