// VnEvent: the program's auto-reset event, on which the thumbnail threads sleep and by
// which the update check's worker is woken. Any thread may signal or wait.
//
// SetEvent releases every thread waiting at that moment; a finished Wait clears the
// signal; a signal with nobody waiting is kept for the next Wait, which then returns at
// once. A spurious wake-up of the underlying condition never counts as a signal.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class VnEvent {
public:
    VnEvent() = default;
    VnEvent(const VnEvent&) = delete;
    VnEvent& operator=(const VnEvent&) = delete;

    void SetEvent();
    // Waits without a time limit until signalled.
    void Wait();
    // Waits at most `ms` milliseconds: true when signalled (already or during the wait),
    // false after the time-out. The signal is cleared in either case.
    bool Wait(unsigned long ms);

private:
    // Standard primitives rather than QMutex/QWaitCondition: ThreadSanitizer cannot see
    // the uninstrumented Qt library release its mutex inside a wait.
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_signalled = false;
    // Counts SetEvent calls, so a waiter leaves on a new signal even when another woken
    // waiter has already consumed the flag, and never on a spurious wake-up.
    std::uint64_t m_generation = 0;
};
