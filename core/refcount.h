// Intrusive reference counting. Counts are atomic: image elements cross into the
// tiled engine's render thread and the matching dialog's preview thread.
#pragma once

#include <atomic>

namespace VarnoBase {

class RefCounter {
public:
    virtual ~RefCounter() = default;

    long AddRef() noexcept { return m_nRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    long Release() noexcept
    {
        const long left = m_nRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }
    long RefCount() const noexcept { return m_nRefCount.load(std::memory_order_relaxed); }

    static void SafeRelease(RefCounter* p) noexcept
    {
        if (p)
            p->Release();
    }

protected:
    explicit RefCounter(long initial = 0) noexcept : m_nRefCount(initial) {}
    RefCounter(const RefCounter&) = delete;
    RefCounter& operator=(const RefCounter&) = delete;

private:
    std::atomic<long> m_nRefCount;
};

// Holds one counted reference to a T (anything with AddRef/Release); null allowed.
template <class T>
class RefPtr {
public:
    RefPtr() noexcept = default;
    RefPtr(T* p) noexcept : m_p(p)  // NOLINT(google-explicit-constructor): takes a new reference
    {
        if (m_p)
            m_p->AddRef();
    }
    RefPtr(const RefPtr& o) noexcept : RefPtr(o.m_p) {}
    RefPtr(RefPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    virtual ~RefPtr()
    {
        if (m_p)
            m_p->Release();
    }

    RefPtr& operator=(T* p) noexcept
    {
        Attach(p);
        return *this;
    }
    RefPtr& operator=(const RefPtr& o) noexcept
    {
        Attach(o.m_p);
        return *this;
    }
    RefPtr& operator=(RefPtr&& o) noexcept
    {
        if (this != &o) {
            if (m_p)
                m_p->Release();
            m_p = o.m_p;
            o.m_p = nullptr;
        }
        return *this;
    }

    // Holds p (adding a reference) unless it is already held.
    void Attach(T* p) noexcept
    {
        if (p == m_p)
            return;
        if (p)
            p->AddRef();
        T* old = m_p;
        m_p = p;
        if (old)
            old->Release();
    }
    // Gives up the held pointer without releasing it: the caller owns that reference.
    virtual T* Detach() noexcept
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    // Takes over a reference the caller already owns (no AddRef).
    void Adopt(T* p) noexcept
    {
        if (m_p)
            m_p->Release();
        m_p = p;
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    operator T*() const noexcept { return m_p; }  // NOLINT(google-explicit-constructor)
    explicit operator bool() const noexcept { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

}  // namespace VarnoBase
