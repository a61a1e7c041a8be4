// The tiled engine's preview render worker.
//
// The UI thread posts a job (a rendering surface prepared for one surface type and
// orientation); one worker thread renders the newest job at the background scale and
// publishes the result, telling the main window through AsyncUpdatePanoramaView:
// (0, 0) after each finished part, (0, 1) when the job has completed. A newer job
// supersedes an older one; at most one job waits.
//
// Safety rules of this implementation:
//  - the pending job and the result each have their own lock (never held together);
//  - Abort drops the pending job and starts a new generation: whatever a job of an
//    older generation would publish afterwards is discarded (checked under the result
//    lock), so nothing stale reaches the view after a free, a rebuild or a full render;
//  - partial images are published as copies: the worker keeps writing its own;
//  - jobs hold counted references to their photos and never load or unload shared
//    photo pixels; AbortAndWait lets the UI thread wait until no job runs before it
//    frees or reloads photos;
//  - when the worker could not be started, nothing waits for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/pano_element.h"
#include "engine/panorama_interfaces.h"
#include "engine/tiled/camera_params.h"
#include "engine/tiled/surface.h"

namespace Tiled_Panorama {

// The surface and orientation a picture is rendered for.
struct SurfaceView {
    PanoramaLib::SurfaceRenderingType type = PanoramaLib::SurfaceCylindrical;
    int x = 0, y = 0, z = 0;
    bool operator==(const SurfaceView&) const = default;
};

class CSRThread final : public PanoramaLib::IThread, private PanoramaLib::IProgressIndicator, public ISRNotify {
public:
    CSRThread() = default;
    ~CSRThread();
    CSRThread(const CSRThread&) = delete;
    CSRThread& operator=(const CSRThread&) = delete;

    // Makes the locks and events through the host and starts the worker; false when
    // the host gives no thread (then no job is ever rendered and Terminate returns at once).
    bool Init(PanoramaLib::IFreeThreading* host);
    bool IsRunning() const noexcept { return m_bStarted.load() && m_bRunning.load(); }

    // Posts a job. The photos and previews are referenced by the job; the current lens
    // polynomial is taken into it.
    void Render(PanoramaLib::SurfaceRenderingType type, const std::vector<int>& order, const D3Param& world,
                const std::vector<D3Param>& params, const std::vector<CPanoElement*>& photos,
                const std::vector<CPanoElement*>& previews, int reference, int x, int y, int z);

    // The latest published image with a reference for the caller, or null; with `view`
    // and `complete`, also the view its job rendered and whether it is the job's whole
    // picture (false for a part published while the job went on).
    CPanoElement* GetPano(SurfaceView* view = nullptr, bool* complete = nullptr);
    // Stops the running job, drops the pending one and the published image; results of
    // jobs posted before this call are never published. Does not wait.
    void Abort();
    // Abort, then blocks until the worker renders nothing.
    void AbortAndWait();
    // Stops the worker and waits for it; a second call does nothing.
    void Terminate();

    // IThread
    void Run() override;
    // ISRNotify
    void OnUpdateView(const VarnoBase::Rect& r) override;

    void SetUserInterface(PanoramaLib::IUserInterface* ui) noexcept { m_pUserInterface.store(ui); }
    void SetFast(bool fast) noexcept { m_bFast.store(fast); }
    bool IsFast() const noexcept { return m_bFast.load(); }

    PanoramaLib::IWaitCursor* m_pWaitCursor = nullptr;  // never set: background renders show no cursor
    double m_scale = 0.0;                               // percent; the engine sets 20
    // Row-band threads of a job's render (0: one per core).
    int m_threadCount = 0;

    // Counters for tests: jobs taken by the worker and jobs that published a final image
    // (counted as it is published: whoever gets that image sees it counted).
    std::uint64_t JobsStarted() const noexcept { return m_jobsStarted.load(); }
    std::uint64_t JobsPublished() const noexcept { return m_jobsPublished.load(); }

private:
    struct Job {
        std::unique_ptr<CCylindricalSurface> surface;
        SurfaceView view;
        std::uint64_t generation = 0;
    };

    void ThreadFunc();
    void DoJobFunc();
    void Post(long wParam, long lParam);

    // IProgressIndicator, handed to the job's RenderSurface: only the abort poll answers.
    void OpenProgressIndicator() override {}
    void OpenProgressIndicatorWOAbort() override {}
    void CloseProgressIndicator() override {}
    void SetProgressCaption(unsigned) override {}
    void SetProgressCaption(unsigned, const std::wstring&) override {}
    bool AbortProgressIndicator(int, int) override { return m_bAbort.load(); }
    void HideProgress(bool) override {}

    std::atomic<bool> m_bFast{false};
    std::atomic<PanoramaLib::IUserInterface*> m_pUserInterface{nullptr};
    PanoramaLib::ICriticalSection* m_pJobLock = nullptr;
    std::unique_ptr<Job> m_pPendingJob;  // guarded by m_pJobLock
    bool m_bBusy = false;                // guarded by m_pJobLock: the worker holds a job
    PanoramaLib::ICriticalSection* m_pResultLock = nullptr;
    CPanoElement* m_pResult = nullptr;   // guarded by m_pResultLock; one reference
    SurfaceView m_resultView;            // guarded by m_pResultLock: the view of m_pResult
    bool m_bResultComplete = false;      // guarded by m_pResultLock
    Job* m_pCurrentJob = nullptr;        // guarded by m_pResultLock
    std::atomic<bool> m_bAbort{false};
    std::atomic<std::uint64_t> m_generation{0};
    PanoramaLib::IEvent* m_pJobEvent = nullptr;
    PanoramaLib::IEvent* m_pEndedEvent = nullptr;
    PanoramaLib::IEvent* m_pIdleEvent = nullptr;
    std::atomic<bool> m_bRunning{true};
    std::atomic<bool> m_bStarted{false};
    std::atomic<std::uint64_t> m_jobsStarted{0};
    std::atomic<std::uint64_t> m_jobsPublished{0};
};

}  // namespace Tiled_Panorama
