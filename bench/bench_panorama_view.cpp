// Repainting the whole viewport (1600 x 1000) of the panorama view showing a
// 60000 x 3000 result at 5 %, 50 % and 100 %, scrolled to the middle. The first paint
// (outside the timing) makes the view's 32-bit copy; the timed paints reuse it, as the
// repaints after scrolling or a tool's overlay change do. A second case times that
// first paint.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPainter>

#include <cstring>

#include "bench/bench_application.h"
#include "app/panorama_view.h"
#include "core/dib.h"
#include "tests/support/dib_manager_fixture.h"

namespace {

PanoramaLib::IPanoElement* bigPanorama()
{
    static PanoramaLib::IPanoElement* e = [] {
        vltest::InstallDibManager();
        auto* p = new CPanoElement(false);  // one reference, kept to the end of the program
        if (!p->CreateImage(24, 60000, 3000))
            return static_cast<PanoramaLib::IPanoElement*>(nullptr);
        for (int y = 0; y < 3000; ++y) {
            unsigned char* row = p->GetBits() + qsizetype(y) * p->GetBPL();
            for (int x = 0; x < 60000; ++x) {
                row[3 * x] = static_cast<unsigned char>(x ^ y);
                row[3 * x + 1] = static_cast<unsigned char>((x >> 3) + y);
                row[3 * x + 2] = static_cast<unsigned char>(x * 7 + (y >> 2));
            }
        }
        return static_cast<PanoramaLib::IPanoElement*>(p);
    }();
    return e;
}

struct BenchView : PanoramaView {
    void paintInto(QImage& target)
    {
        QPainter p(&target);
        draw(p, target.rect(), origin());
    }
};

void BM_PanoramaViewRepaint(benchmark::State& state)
{
    ensureBenchApplication();
    PanoramaLib::IPanoElement* pano = bigPanorama();
    if (!pano) {
        state.SkipWithError("no memory for the panorama");
        return;
    }
    BenchView view;
    view.setFrameShape(QFrame::NoFrame);
    view.resize(1600, 1000);
    view.show();
    view.setScaleRange(0.01, 10.0);
    view.setPicture(pano, false);
    view.setScaleFactor(state.range(0) / 100.0);
    view.setScrollPos(QPoint(view.scrollSize().width() / 2, view.scrollSize().height() / 2));
    QImage target(view.viewport()->size(), QImage::Format_RGB32);
    view.paintInto(target);
    for (auto _ : state) {
        view.paintInto(target);
        benchmark::DoNotOptimize(target.constBits());
    }
    state.SetLabel(std::to_string(state.range(0)) + " %");
}

// The first paint after the pixels changed: the 32-bit copy (and at 5 % the halved
// copies) are made before drawing.
void BM_PanoramaViewFirstPaint(benchmark::State& state)
{
    ensureBenchApplication();
    PanoramaLib::IPanoElement* pano = bigPanorama();
    if (!pano) {
        state.SkipWithError("no memory for the panorama");
        return;
    }
    BenchView view;
    view.setFrameShape(QFrame::NoFrame);
    view.resize(1600, 1000);
    view.show();
    view.setScaleRange(0.01, 10.0);
    view.setPicture(pano, false);
    view.setScaleFactor(state.range(0) / 100.0);
    QImage target(view.viewport()->size(), QImage::Format_RGB32);
    for (auto _ : state) {
        pano->GetBits();  // writable bits handed out: the store's cache key changes
        view.paintInto(target);
    }
    state.SetLabel(std::to_string(state.range(0)) + " %");
}

}  // namespace

BENCHMARK(BM_PanoramaViewRepaint)->Arg(5)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PanoramaViewFirstPaint)->Arg(5)->Arg(100)->Iterations(3)->Unit(benchmark::kMillisecond);
