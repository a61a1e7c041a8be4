// Printing a long panorama: a 20000 x 3000 textured result fitted to 6 portrait A4
// sheets with a 10 mm overlap and marks, written as a PDF through QPrinter at its high
// resolution (1200 dpi). One iteration is the whole job: printer set-up, page count,
// layout and painting of every sheet, and the PDF written to disk (compression included).
#include <QGuiApplication>
#include <QPainter>
#include <QPrinter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

#include "bench/bench_application.h"
#include "document/page_layout.h"
#include "tests/support/scene.h"

namespace {

const QImage& panorama()
{
    static const QImage image = [] {
        const vltest::Scene scene(vltest::smallSceneOptions(7));
        vltest::PlaneView view;
        view.width = 20000;
        view.height = 3000;
        view.toScene = vltest::Mat3::scaling(1000.0 / 20000, 500.0 / 3000);
        return vltest::renderPlaneView(scene, view);
    }();
    return image;
}

void BM_PrintPanoramaToPdf(benchmark::State& state)
{
    ensureBenchApplication();
    const QImage& pano = panorama();
    QTemporaryDir dir;
    Printing::PageSetup setup;
    setup.unitsInch = false;
    setup.numPages = 6;
    setup.overlapOn = true;
    setup.overlap = 100;
    for (auto _ : state) {
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir.filePath("pano.pdf"));
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setPageOrientation(QPageLayout::Portrait);
        Printing::PageSetup s = setup;
        Printing::calcMaxPage(Printing::printerPage(printer), s, pano.width(), pano.height(), true);
        printer.setFromTo(1, s.numPages);
        const Printing::PrintJob job(pano, true);
        QPainter painter(&printer);
        const Printing::PrinterPage page = Printing::printerPage(printer);
        for (int p = 1; p <= s.numPages; ++p) {
            if (p > 1)
                printer.newPage();
            job.printPage(p, painter, page, s);
        }
        painter.end();
    }
    state.counters["pages"] = setup.numPages;
}
BENCHMARK(BM_PrintPanoramaToPdf)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
