// Hand-offs between threads that ThreadSanitizer cannot see by itself. Qt comes
// uninstrumented from the distribution and synchronises through its own futex-based
// locks: the end of a QThread reaching QThread::wait(), and a queued call or signal
// reaching the receiver's event loop, are real happens-before edges that TSan never
// sees, so everything written before them would be reported as racing with everything
// read after them. These calls draw exactly those edges for TSan (on the address of the
// object handed over) and compile to nothing in every other build. Any thread.
#pragma once

#include <QThread>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace VarnoBase {

// The sending side: everything this thread did so far is handed over through `token`.
inline void HandOff(const void* token) noexcept
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void*>(token));
#else
    (void)token;
#endif
}

// The receiving side: takes over everything handed off through `token` before.
inline void TakeOver(const void* token) noexcept
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void*>(token));
#else
    (void)token;
#endif
}

// Put at the top of a QThread's run(): the thread's last act hands off its work, which
// JoinThread takes over.
class ThreadEndHandOff {
public:
    explicit ThreadEndHandOff(const QThread* thread) noexcept : m_thread(thread) {}
    ~ThreadEndHandOff() { HandOff(m_thread); }
    ThreadEndHandOff(const ThreadEndHandOff&) = delete;
    ThreadEndHandOff& operator=(const ThreadEndHandOff&) = delete;

private:
    const QThread* m_thread;
};

// QThread::wait() that also takes over what the finished thread did.
inline void JoinThread(QThread& thread)
{
    thread.wait();
    TakeOver(&thread);
}

}  // namespace VarnoBase
