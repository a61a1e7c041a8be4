#include "document/engine_host.h"

#include <QCursor>
#include <QGuiApplication>

#include "core/thread_handoff.h"


// ---------------------------------------------------------------------------------
// ThreadImpl

ThreadImpl::ThreadImpl(PanoramaLib::IThread* thread) : m_thread(thread)
{
    start(QThread::InheritPriority);
}

ThreadImpl::~ThreadImpl()
{
    VarnoBase::JoinThread(*this);
}

void ThreadImpl::run()
{
    const VarnoBase::ThreadEndHandOff end(this);
    if (m_thread)
        m_thread->Run();
}

// ---------------------------------------------------------------------------------
// CritSectImpl

CritSectImpl::CritSectImpl() : m_pMutex(std::make_unique<std::recursive_mutex>()) {}

CritSectImpl::~CritSectImpl() = default;

void CritSectImpl::Lock()
{
    m_pMutex->lock();
}

void CritSectImpl::Unlock()
{
    m_pMutex->unlock();
}

// ---------------------------------------------------------------------------------
// EventImpl

EventImpl::EventImpl() = default;

EventImpl::~EventImpl() = default;

void EventImpl::SetEvent()
{
    // Woken under the lock: a released waiter cannot return (and perhaps destroy the
    // event) before this call is done with the condition.
    std::lock_guard lock(m_mutex);
    m_signalled = true;
    ++m_generation;
    m_condition.notify_all();
}

void EventImpl::Wait()
{
    std::unique_lock lock(m_mutex);
    if (!m_signalled) {
        const std::uint64_t seen = m_generation;
        ++m_waiters;
        m_condition.wait(lock, [&] { return m_generation != seen; });
        --m_waiters;
    }
    m_signalled = false;
}

int EventImpl::WaiterCount() const
{
    std::lock_guard lock(m_mutex);
    return m_waiters;
}

// ---------------------------------------------------------------------------------
// WaitCursor

WaitCursor::WaitCursor()
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        m_active = true;
    }
}

WaitCursor::~WaitCursor()
{
    if (m_active && QCoreApplication::instance())
        QGuiApplication::restoreOverrideCursor();
}

// ---------------------------------------------------------------------------------
// EngineHost

EngineHost::~EngineHost()
{
    DeleteThreadObjects();
}

void EngineHost::DeleteThreadObjects()
{
    // Threads first: a lock or event must outlive every thread that may still use it.
    for (auto it = m_threadObjects.begin(); it != m_threadObjects.end();) {
        if (auto* thread = dynamic_cast<ThreadImpl*>(*it)) {
            delete thread;
            it = m_threadObjects.erase(it);
        } else {
            ++it;
        }
    }
    for (ThreadObject* object : m_threadObjects)
        delete object;
    m_threadObjects.clear();
}

PanoramaLib::IDib* EngineHost::CreateDibObject(bool threadSafe) const
{
    return new PanoramaLib::QtDibImpl(threadSafe);
}

PanoramaLib::IDib* EngineHost::CreateCopy(PanoramaLib::IDib* src, bool threadSafe) const
{
    if (!src)
        return nullptr;
    auto* impl = static_cast<PanoramaLib::QtDibImpl*>(src->QueryObject(PanoramaLib::kQueryDibImpl));
    if (!impl)
        return nullptr;
    try {
        auto* copy = new PanoramaLib::QtDibImpl(*impl, threadSafe);
        if (impl->hasBits() && !copy->hasBits()) {
            delete copy;
            return nullptr;
        }
        return copy;
    } catch (const PanoramaLib::dibException&) {
        return nullptr;  // the deep copy found no memory
    }
}

PanoramaLib::ICriticalSection* EngineHost::CreateCriticalSection()
{
    auto object = std::make_unique<CritSectImpl>();
    m_threadObjects.push_back(object.get());
    return object.release();
}

PanoramaLib::IEvent* EngineHost::CreateEvent()
{
    auto object = std::make_unique<EventImpl>();
    m_threadObjects.push_back(object.get());
    return object.release();
}

bool EngineHost::CreateThread(PanoramaLib::IThread* body)
{
    // The list entry is made first so that a started thread is always owned.
    m_threadObjects.push_back(nullptr);
    m_threadObjects.back() = new ThreadImpl(body);
    return true;
}
