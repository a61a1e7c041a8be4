// The matching dialog's worker: stitches a quick preview of the two photos for the
// transform the markers currently define (first photo pixels -> second photo pixels),
// so that dragging markers never waits for the stitch on the GUI thread.
//
// No queue: the newest request replaces the pending one and aborts the one in progress
// (the stitcher polls the shared abort flag); a request equal to the transform of the
// preview already held is answered without stitching. A finished preview is announced
// by updatePreview(), emitted on the worker, which the dialog connects queued and then
// fetches with GetPreview().
//
// Every request and every Abort() starts a new generation; a job stores and announces
// its result only while its generation is still the newest, checked under the result
// lock, so a preview made for a transform that has since been replaced or abandoned is
// never held or shown.
//
// Threads: every public operation on the GUI thread; run() on the worker. The request
// lock guards the requested transform and generation, the result lock the result and its
// transform; the two are never held together. The photos are borrowed: the caller keeps
// them alive and unchanged until Terminate() has returned. The held preview carries one
// reference of the thread's own.
#pragma once

#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>

#include "core/pano_element.h"
#include "document/engine_host.h"

class PreviewThread final : public QThread {
    Q_OBJECT

public:
    // Makes the preview of two photos for a transform, polling the abort flag; may
    // rewrite the transform's translation to the preview's origin. A new element with
    // one reference for the caller, or null. StitchTwoImagesFast unless a test injects one.
    using Stitcher = std::function<PanoramaLib::IPanoElement*(PanoramaLib::IPanoElement*, PanoramaLib::IPanoElement*,
                                                              double (*)[3], const std::atomic<int>&)>;

    // Starts the worker, which waits for the first request.
    explicit PreviewThread(Stitcher stitcher = {});
    ~PreviewThread() override;
    PreviewThread(const PreviewThread&) = delete;
    PreviewThread& operator=(const PreviewThread&) = delete;

    // Once, before the first request.
    void SetImages(PanoramaLib::IPanoElement* first, PanoramaLib::IPanoElement* second);
    // Asks for the preview of m (nine values copied); returns at once.
    void RenderPreview(const double (*m)[3]);
    // The held preview with a new reference for the caller, or null.
    PanoramaLib::IPanoElement* GetPreview();
    // Drops the held preview and abandons the pending and running request; nothing is
    // announced until the next request.
    void Abort();
    // Stops the worker and waits for it: a running stitch ends at its next poll of the
    // abort flag. A second call does nothing.
    void Terminate();

signals:
    void updatePreview();

protected:
    void run() override;

private:
    void DoJobFunc(std::atomic<int>& abort);
    // Under the result lock: replaces the held preview by `made` (taking over its
    // reference) with its transform.
    void StoreResult(PanoramaLib::IPanoElement* made, const double (*m)[3]);

    Stitcher m_stitch;
    PanoramaLib::IPanoElement* m_first = nullptr;  // borrowed
    PanoramaLib::IPanoElement* m_second = nullptr;

    CritSectImpl m_requestLock;
    double m_requested[3][3] = {};
    bool m_hasRequest = false;
    std::atomic<std::uint64_t> m_generation{0};  // written under the request lock

    CritSectImpl m_resultLock;
    double m_resultTransform[3][3] = {};
    PanoramaLib::IPanoElement* m_result = nullptr;  // one reference

    std::atomic<int> m_abort{0};
    EventImpl m_wake;
    std::atomic<bool> m_running{true};
    // Set by the worker as the last thing it does. Terminate waits for it after
    // QThread::wait, whose join ThreadSanitizer cannot see, so that everything the
    // worker did is ordered before the caller lets go of the photos and the locks.
    EventImpl m_finished;
};
