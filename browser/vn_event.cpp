// VnEvent: auto-reset event over a standard mutex and condition variable; see the header.
#include "browser/vn_event.h"

#include <chrono>

void VnEvent::SetEvent()
{
    {
        std::lock_guard lock(m_mutex);
        m_signalled = true;
        ++m_generation;
    }
    m_cond.notify_all();
}

void VnEvent::Wait()
{
    std::unique_lock lock(m_mutex);
    if (!m_signalled) {
        const std::uint64_t seen = m_generation;
        m_cond.wait(lock, [&] { return m_generation != seen; });
    }
    m_signalled = false;
}

bool VnEvent::Wait(unsigned long ms)
{
    std::unique_lock lock(m_mutex);
    bool result = m_signalled;
    if (!result) {
        const std::uint64_t seen = m_generation;
        result = m_cond.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return m_generation != seen; });
    }
    m_signalled = false;
    return result;
}
