// The matching dialog's preview worker at working-copy size (660 x 495): the time from
// a request to its preview being ready, for one request and for a burst of ten made as
// fast as a marker drag makes them (only the last should be stitched to the end).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "app/preview_thread.h"
#include "core/pano_element.h"
#include "core/refcount.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/scene.h"

namespace {

PanoramaLib::IPanoElement* elementOf(const QImage& img)
{
    const QImage rgb = img.convertToFormat(QImage::Format_RGB888);
    auto* e = new CPanoElement(false);
    e->CreateImage(24, rgb.width(), rgb.height());
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(e->GetBits() + std::size_t(y) * e->GetBPL(), rgb.constScanLine(y), 3 * std::size_t(rgb.width()));
    return e;
}

struct Pair {
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> a, b;
    double m[3][3];
    Pair()
    {
        vltest::InstallDibManager();
        const vltest::Scene scene(vltest::SceneOptions{5, 2048, 1024, 512});
        const vltest::PlaneView first{vltest::Mat3::translation(100, 200), 660, 495};
        const vltest::PlaneView second{vltest::Mat3::translation(520, 230) * vltest::Mat3::rotation(3.0), 660, 495};
        a.Adopt(elementOf(vltest::renderPlaneView(scene, first)));
        b.Adopt(elementOf(vltest::renderPlaneView(scene, second)));
        std::memcpy(m, (second.toScene.inverse() * first.toScene).m, sizeof m);
    }
};

// Requests `burst` transforms back to back and waits for the answer to the last.
void RunPreviews(benchmark::State& state, int burst)
{
    static Pair pair;
    PreviewThread worker;
    worker.SetImages(pair.a, pair.b);
    std::mutex mutex;
    std::condition_variable cv;
    int answered = 0;
    QObject::connect(
        &worker, &PreviewThread::updatePreview, &worker,
        [&] {
            std::lock_guard<std::mutex> l(mutex);
            ++answered;
            cv.notify_all();
        },
        Qt::DirectConnection);
    double shift = 0;
    for (auto _ : state) {
        for (int i = 0; i < burst; ++i) {
            double m[3][3];
            std::memcpy(m, pair.m, sizeof m);
            m[0][2] += (shift += 0.25);  // never the cached transform
            worker.RenderPreview(m);
        }
        std::unique_lock<std::mutex> l(mutex);
        cv.wait(l, [&] { return answered > 0; });
        answered = 0;
        l.unlock();
        PanoramaLib::IPanoElement::SafeRelease(worker.GetPreview());
    }
    worker.Terminate();
}

void BM_PreviewRoundTrip(benchmark::State& state) { RunPreviews(state, 1); }
void BM_PreviewBurstOfTen(benchmark::State& state) { RunPreviews(state, 10); }

}  // namespace

BENCHMARK(BM_PreviewRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PreviewBurstOfTen)->Unit(benchmark::kMillisecond)->UseRealTime();
