// Helpers of the manual matching tests: photos as image elements, marker drags sent as
// real mouse events to a pane, a stitcher held on a latch, and waiting on the event loop.
// GUI thread, except the latch stitcher, which runs on the preview thread.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QThread>
#include <QWheelEvent>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "app/markers.h"
#include "app/panorama_view.h"
#include "core/pano_element.h"
#include "core/refcount.h"
#include "tests/support/dib_manager_fixture.h"

namespace vltest {

using Element = VarnoBase::RefPtr<PanoramaLib::IPanoElement>;

// A 24-bit element holding `image`'s pixels.
inline Element elementOf(const QImage& image)
{
    InstallDibManager();
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    Element e;
    e.Adopt(new CPanoElement(false));
    if (!e->CreateImage(24, rgb.width(), rgb.height()))
        return {};
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(e->GetBits() + qsizetype(y) * e->GetBPL(), rgb.constScanLine(y), std::size_t(rgb.width()) * 3);
    return e;
}

// Spins the event loop until `done` holds (a safety bound only guards against a hang).
template <class Pred>
bool spinUntil(Pred done)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > 30000)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

inline void spinEvents() { spinUntil([n = 0]() mutable { return ++n > 20; }); }

inline void sendMouse(ScrollView& pane, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons)
{
    QMouseEvent e(type, pos, pane.viewport()->mapToGlobal(pos), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(pane.viewport(), &e);
}

inline void wheel(ScrollView& pane, int delta)
{
    QWheelEvent e(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(pane.viewport(), &e);
}

// Presses the named marker on an opaque pixel of its pin (the lowest row's first), moves it
// by `displayDelta` and drops it.
inline void dragMarker(PanoramaView& pane, PreviewControl& control, MarkerName name, QPoint displayDelta)
{
    control.UpdatePositionOfMarkers();
    const Marker* m = control.markers().GetByName(name);
    QPoint press;
    for (int y = m->bitmap().height() - 1; y >= 0 && press.isNull(); --y)
        for (int x = 0; x < m->bitmap().width() && press.isNull(); ++x)
            if (qAlpha(m->bitmap().pixel(x, y)) == 255)
                press = m->GetRect().topLeft() + QPoint(x, y);
    sendMouse(pane, QEvent::MouseButtonPress, press, Qt::LeftButton);
    sendMouse(pane, QEvent::MouseMove, press + displayDelta, Qt::LeftButton);
    sendMouse(pane, QEvent::MouseButtonRelease, press + displayDelta, Qt::NoButton);
}

// Drops the named marker so that its point lands on `content` (photo pixels).
inline void dropMarkerAt(PanoramaView& pane, PreviewControl& control, MarkerName name, QPoint content)
{
    control.UpdatePositionOfMarkers();
    const Marker* m = control.markers().GetByName(name);
    dragMarker(pane, control, name, pane.contentToDisplay(content) - m->displayPosition());
}

// A stitcher that blocks each call until the test opens the latch or the caller aborts,
// then answers an element whose width is 16 + m[0][2] (so a test can tell which transform
// a preview was made for), or null when aborted or `fail` is set. Handed to the preview
// thread as std::ref(latch): the test owns it.
struct LatchStitcher {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    bool fail = false;
    bool ignoreAbort = false;  // finishes as if the abort came just after its last poll
    std::vector<double> started;  // m[0][2] of each call
    std::vector<bool> aborted;    // per call
    std::atomic<int> returned{0};

    void release()
    {
        std::lock_guard<std::mutex> l(mutex);
        open = true;
        cv.notify_all();
    }
    template <class T>
    T locked(const T& v)
    {
        std::lock_guard<std::mutex> l(mutex);
        return v;
    }
    int startedCount() { return int(locked(started).size()); }

    PanoramaLib::IPanoElement* operator()(PanoramaLib::IPanoElement*, PanoramaLib::IPanoElement*, double (*m)[3],
                                          const std::atomic<int>& abort)
    {
        std::unique_lock<std::mutex> l(mutex);
        started.push_back(m[0][2]);
        // The stitcher's own polling of the abort flag, at a fine step.
        while (!open && (ignoreAbort || abort.load() == 0))
            cv.wait_for(l, std::chrono::milliseconds(1));
        const bool stopped = !ignoreAbort && abort.load() != 0;
        aborted.push_back(stopped);
        const bool failing = fail;
        l.unlock();
        ++returned;
        if (stopped || failing)
            return nullptr;
        auto* e = new CPanoElement(false);
        e->CreateImage(24, 16 + int(m[0][2]), 8);
        return e;
    }
};

}  // namespace vltest
