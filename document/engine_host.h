// The objects through which the engines get threads, locks, events and pixel stores
// from their host, built on Qt threads, mutexes and wait conditions, and the scoped
// busy cursor used around long steps.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>

#include <QThread>

#include "core/dib.h"
#include "engine/panorama_interfaces.h"


// Common base of the host objects, so that their owner deletes them through one type.
class ThreadObject {
public:
    virtual ~ThreadObject() = default;
};

// A thread that runs one engine body; it starts when it is made, and deleting it
// blocks until the body's Run has returned.
class ThreadImpl : public ThreadObject, public QThread {
public:
    explicit ThreadImpl(PanoramaLib::IThread* thread);
    ~ThreadImpl() override;

protected:
    void run() override;

private:
    PanoramaLib::IThread* m_thread;  // not owned
};

// A lock the owning thread may take again. A standard recursive mutex rather than
// QRecursiveMutex, for the reason given at EventImpl: ThreadSanitizer must see it.
class CritSectImpl : public ThreadObject, public PanoramaLib::ICriticalSection {
public:
    CritSectImpl();
    ~CritSectImpl() override;
    void Lock() override;
    void Unlock() override;

private:
    std::unique_ptr<std::recursive_mutex> m_pMutex;
};

// An auto-reset event: SetEvent wakes every thread waiting at that moment, a finished
// Wait clears the signal, and a signal with nobody waiting is kept for the next Wait.
class EventImpl : public ThreadObject, public PanoramaLib::IEvent {
public:
    EventImpl();
    ~EventImpl() override;
    void SetEvent() override;
    void Wait() override;

    // Threads blocked in Wait right now (for diagnostics and tests).
    int WaiterCount() const;

private:
    // Standard primitives rather than QMutex/QWaitCondition: the wait of the system Qt
    // library releases its mutex unseen by ThreadSanitizer, which then reports every
    // later lock of the event as a double lock.
    mutable std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_signalled = false;
    // Counts SetEvent calls: a waiter leaves only when it has moved on, so a spurious
    // wake-up is never taken for a signal, while a waiter whose flag was already
    // consumed by another woken waiter still leaves.
    std::uint64_t m_generation = 0;
    int m_waiters = 0;
};

// Busy cursor for the lifetime of the object; nested ones stack.
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    bool m_active = false;
};

// The engines' host: pixel-store factory and maker of threads, locks and events, which
// it owns until it is destroyed. Destroy it only after the engines that use it have
// been released (their threads told to stop).
class EngineHost : public PanoramaLib::IDibManager, public PanoramaLib::IFreeThreading {
public:
    EngineHost() = default;
    virtual ~EngineHost();
    EngineHost(const EngineHost&) = delete;
    EngineHost& operator=(const EngineHost&) = delete;

    // PanoramaLib::IDibManager
    PanoramaLib::IDib* CreateDibObject(bool threadSafe) const override;
    PanoramaLib::IDib* CreateCopy(PanoramaLib::IDib* src, bool threadSafe) const override;

    // PanoramaLib::IFreeThreading
    PanoramaLib::ICriticalSection* CreateCriticalSection() override;
    PanoramaLib::IEvent* CreateEvent() override;
    bool CreateThread(PanoramaLib::IThread* body) override;

protected:
    // Deletes every thread object: the threads first (each waits for its body), then
    // the locks and events they may have used.
    void DeleteThreadObjects();

    std::list<ThreadObject*> m_threadObjects;
};
