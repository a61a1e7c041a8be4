// The tiled engine's preview render worker: one thread, one pending job, newest job
// wins. See render_thread.h for the rules that keep the UI thread and the worker apart.
#include "engine/tiled/render_thread.h"

#include <new>

namespace Tiled_Panorama {

namespace {

// Scoped hold of a host critical section.
class Hold {
public:
    explicit Hold(PanoramaLib::ICriticalSection* cs) : m_cs(cs) { m_cs->Lock(); }
    ~Hold() { m_cs->Unlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    PanoramaLib::ICriticalSection* m_cs;
};

}  // namespace

CSRThread::~CSRThread()
{
    Terminate();
    m_pPendingJob.reset();
    if (m_pResult)
        m_pResult->Release();
    m_pResult = nullptr;
}

bool CSRThread::Init(PanoramaLib::IFreeThreading* host)
{
    if (!host || m_bStarted.load())
        return false;
    m_pJobLock = host->CreateCriticalSection();
    m_pResultLock = host->CreateCriticalSection();
    m_pJobEvent = host->CreateEvent();
    m_pEndedEvent = host->CreateEvent();
    m_pIdleEvent = host->CreateEvent();
    if (!m_pJobLock || !m_pResultLock || !m_pJobEvent || !m_pEndedEvent || !m_pIdleEvent) {
        m_bRunning = false;
        return false;
    }
    // Marked as started before the thread exists, so that a Terminate racing the start
    // waits; a failed start undoes it, and Terminate then has nobody to wait for.
    m_bStarted = true;
    bool ok = false;
    try {
        ok = host->CreateThread(this);
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        m_bStarted = false;
        m_bRunning = false;
    }
    return ok;
}

void CSRThread::Render(PanoramaLib::SurfaceRenderingType type, const std::vector<int>& order, const D3Param& world,
                       const std::vector<D3Param>& params, const std::vector<CPanoElement*>& photos,
                       const std::vector<CPanoElement*>& previews, int /*reference*/, int x, int y, int z)
{
    if (!IsRunning())
        return;
    // The job is prepared before the lock: building it touches only the UI thread's
    // photos (their sizes and paths) and takes references on them.
    std::unique_ptr<Job> job(new (std::nothrow) Job);
    if (!job)
        return;
    try {
        if (type == PanoramaLib::SurfaceCylindrical)
            job->surface.reset(new CCylindricalSurface);
        else
            job->surface.reset(new CSphericalSurface);
        job->view = {type, x, y, z};
        CCylindricalSurface& s = *job->surface;
        s.m_pNotify = this;
        s.SetMayUnloadPhotos(false);
        s.SetThreadCount(m_threadCount);
        s.AddImages(order, world, params, photos, previews);
        s.LevelOrientation();
        s.SetInterpolationMode(CSurfaceRendering::NoInterpolationMode);
        s.RotateSurfaceOn(x, y, z);
    } catch (...) {
        return;  // no memory for the job: the previous preview stays
    }
    // A job still rendering stops at its next poll and publishes nothing.
    ++m_generation;
    {
        Hold lock(m_pJobLock);
        m_bAbort = true;
        job->generation = m_generation.load();
        m_pPendingJob = std::move(job);
    }
    m_pJobEvent->SetEvent();
}

CPanoElement* CSRThread::GetPano(SurfaceView* view, bool* complete)
{
    if (!m_pResultLock)
        return nullptr;
    Hold lock(m_pResultLock);
    if (m_pResult)
        m_pResult->AddRef();
    if (view)
        *view = m_resultView;
    if (complete)
        *complete = m_pResult && m_bResultComplete;
    return m_pResult;
}

void CSRThread::Abort()
{
    if (!m_pJobLock || !m_pResultLock)
        return;
    std::unique_ptr<Job> dropped;
    {
        Hold lock(m_pJobLock);
        m_bAbort = true;
        dropped = std::move(m_pPendingJob);
    }
    CPanoElement* old = nullptr;
    {
        Hold lock(m_pResultLock);
        ++m_generation;
        old = m_pResult;
        m_pResult = nullptr;
    }
    if (old)
        old->Release();
}

void CSRThread::AbortAndWait()
{
    Abort();
    if (!IsRunning())
        return;
    for (;;) {
        bool busy;
        {
            Hold lock(m_pJobLock);
            busy = m_bBusy;
            m_bAbort = true;
        }
        if (!busy)
            return;
        // The worker sets the idle event after every job; a signal left from an earlier
        // job only makes this loop look again.
        m_pIdleEvent->Wait();
    }
}

void CSRThread::Terminate()
{
    if (!m_bStarted.load()) {
        m_bRunning = false;
        return;
    }
    if (!m_bRunning.load())
        return;
    // From here on nothing is posted to the window that is going away.
    m_pUserInterface = nullptr;
    {
        Hold lock(m_pJobLock);
        m_bAbort = true;
        m_pPendingJob.reset();
        m_bRunning = false;
    }
    m_pJobEvent->SetEvent();
    m_pEndedEvent->Wait();
}

void CSRThread::Run() { ThreadFunc(); }

void CSRThread::ThreadFunc()
{
    while (m_bRunning.load()) {
        m_pJobEvent->Wait();
        if (m_bRunning.load())
            DoJobFunc();
    }
    m_pEndedEvent->SetEvent();
}

void CSRThread::Post(long wParam, long lParam)
{
    PanoramaLib::IUserInterface* ui = m_pUserInterface.load();
    if (ui && m_bRunning.load())
        ui->AsyncUpdatePanoramaView(wParam, lParam);
}

void CSRThread::DoJobFunc()
{
    std::unique_ptr<Job> job;
    {
        Hold lock(m_pJobLock);
        job = std::move(m_pPendingJob);
        if (!job)
            return;
        // Every abort so far was aimed at jobs that are gone; this job starts clean.
        m_bAbort = false;
        m_bBusy = true;
    }
    ++m_jobsStarted;
    {
        Hold lock(m_pResultLock);
        m_pCurrentJob = job.get();
    }

    bool ok = false;
    try {
        ok = job->surface->RenderSurface(m_scale, this, m_pWaitCursor, 0, 100);
    } catch (...) {
        ok = false;
    }

    bool published = false;
    CPanoElement* old = nullptr;
    {
        Hold lock(m_pResultLock);
        m_pCurrentJob = nullptr;
        const bool current = job->generation == m_generation.load() && !m_bAbort.load();
        if (ok && current && !job->surface->m_bAborted) {
            CPanoElement* image = job->surface->GetPano();
            if (image) {
                old = m_pResult;
                m_pResult = image;
                m_resultView = job->view;
                m_bResultComplete = true;
                published = true;
                ++m_jobsPublished;  // counted with the publication: a reader of it sees the count
            }
        } else if (!ok && current) {
            old = m_pResult;
            m_pResult = nullptr;
        }
    }
    if (old)
        old->Release();
    // The job (and its own reference on the image) goes before the update is posted.
    job.reset();
    if (published)
        Post(0, 1);
    {
        Hold lock(m_pJobLock);
        m_bBusy = false;
    }
    m_pIdleEvent->SetEvent();
}

void CSRThread::OnUpdateView(const VarnoBase::Rect&)
{
    // Worker thread, inside the job's render: the image is still being written, so the
    // view gets a copy of what is finished so far.
    if (m_bAbort.load())
        return;
    CCylindricalSurface* surface = nullptr;
    SurfaceView view;
    std::uint64_t generation = 0;
    {
        Hold lock(m_pResultLock);
        if (!m_pCurrentJob)
            return;
        surface = m_pCurrentJob->surface.get();
        view = m_pCurrentJob->view;
        generation = m_pCurrentJob->generation;
    }
    VarnoBase::RefPtr<CPanoElement> live;
    live.Adopt(surface->GetPano());
    if (!live)
        return;
    CPanoElement* copy = static_cast<CPanoElement*>(live->CopyImage());
    if (!copy)
        return;
    CPanoElement* old = nullptr;
    bool changed = false;
    {
        Hold lock(m_pResultLock);
        if (generation == m_generation.load() && !m_bAbort.load()) {
            old = m_pResult;
            m_pResult = copy;
            m_resultView = view;
            m_bResultComplete = false;
            copy = nullptr;
            changed = true;
        }
    }
    if (old)
        old->Release();
    if (copy)
        copy->Release();
    if (changed)
        Post(0, 0);
}

}  // namespace Tiled_Panorama
