// The preview worker's loop and its one kind of job. Worker side: run(), DoJobFunc()
// and StoreResult(); everything else is called on the GUI thread.
#include "app/preview_thread.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

#include "engine/stitch_two_images.h"

namespace {

class Hold {
public:
    explicit Hold(CritSectImpl& lock) : m_lock(lock) { m_lock.Lock(); }
    ~Hold() { m_lock.Unlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    CritSectImpl& m_lock;
};

void copyTransform(double (*to)[3], const double (*from)[3]) { std::memcpy(to, from, sizeof(double) * 9); }

bool sameTransform(const double (*a)[3], const double (*b)[3])
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (a[r][c] != b[r][c])
                return false;
    return true;
}

}  // namespace

PreviewThread::PreviewThread(Stitcher stitcher) : m_stitch(std::move(stitcher))
{
    if (!m_stitch)
        m_stitch = PanoramaLib::StitchTwoImagesFast;
    start(QThread::InheritPriority);
}

PreviewThread::~PreviewThread()
{
    Terminate();
    PanoramaLib::IPanoElement::SafeRelease(m_result);
    m_result = nullptr;
}

void PreviewThread::SetImages(PanoramaLib::IPanoElement* first, PanoramaLib::IPanoElement* second)
{
    m_first = first;
    m_second = second;
}

void PreviewThread::RenderPreview(const double (*m)[3])
{
    {
        Hold h(m_requestLock);
        m_abort.store(1);
        copyTransform(m_requested, m);
        m_hasRequest = true;
        m_generation.fetch_add(1);
    }
    m_wake.SetEvent();
}

PanoramaLib::IPanoElement* PreviewThread::GetPreview()
{
    Hold h(m_resultLock);
    if (m_result)
        m_result->AddRef();
    return m_result;
}

void PreviewThread::Abort()
{
    m_abort.store(1);
    {
        // A wake-up still pending from an earlier request must not start its job.
        Hold h(m_requestLock);
        m_hasRequest = false;
        m_generation.fetch_add(1);
    }
    Hold h(m_resultLock);
    PanoramaLib::IPanoElement::SafeRelease(m_result);
    m_result = nullptr;
    std::fill(&m_resultTransform[0][0], &m_resultTransform[0][0] + 9, 0.0);
}

void PreviewThread::Terminate()
{
    if (!m_running.load())
        return;
    m_abort.store(1);
    m_running.store(false);
    m_wake.SetEvent();
    wait();
    m_finished.Wait();
}

void PreviewThread::run()
{
    qDebug("*** Thread 'PreviewThread' has been started!");
    while (m_running.load()) {
        m_wake.Wait();
        m_abort.store(0);
        if (m_running.load())
            DoJobFunc(m_abort);
    }
    qDebug("*** Thread 'PreviewThread' has been finished!");
    m_finished.SetEvent();
}

void PreviewThread::StoreResult(PanoramaLib::IPanoElement* made, const double (*m)[3])
{
    if (made != m_result) {
        PanoramaLib::IPanoElement::SafeRelease(m_result);
        m_result = made;
    }
    copyTransform(m_resultTransform, m);
}

void PreviewThread::DoJobFunc(std::atomic<int>& abort)
{
    double m[3][3];
    std::uint64_t generation = 0;
    {
        Hold h(m_requestLock);
        if (!m_hasRequest)
            return;
        copyTransform(m, m_requested);
        generation = m_generation.load();
    }

    bool cached = false;
    {
        Hold h(m_resultLock);
        cached = m_result != nullptr && sameTransform(m, m_resultTransform);
    }
    if (cached) {
        emit updatePreview();
        return;
    }

    PanoramaLib::IPanoElement* made = m_stitch(m_first, m_second, m, abort);

    bool current = false;
    {
        Hold h(m_resultLock);
        // The generation is read under the result lock, which Abort() also takes after
        // moving it on: a job overtaken by a request or an abort at any moment up to
        // here leaves no result, instead of a preview of a transform no longer asked for.
        current = abort.load() == 0 && m_generation.load() == generation;
        if (!current) {
            PanoramaLib::IPanoElement::SafeRelease(made);
            made = nullptr;
            std::fill(&m[0][0], &m[0][0] + 9, 0.0);
        }
        StoreResult(made, m);
    }
    if (current)
        emit updatePreview();
}
