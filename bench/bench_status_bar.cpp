// A rubber band dragged over a folder of 3000 photo files in the main window's thumbnail
// view: 60 selection steps, each one more block of rows, then the queued events handled,
// as the event loop would between mouse moves. Arg 0 is the window as it is (the status
// texts computed once for the whole sweep); Arg 1 computes them at every step, which is
// what each selection change cost before. The window's settings go to a private folder.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListView>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

#include "bench/bench_application.h"
#include "app/main_window.h"
#include "browser/browser_models.h"

namespace {

constexpr int kFiles = 3000;
constexpr int kSteps = 60;

void BM_StatusBarSelectionSweep(benchmark::State& state)
{
    ensureBenchApplication();
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    QTemporaryDir folder;
    for (int i = 0; i < kFiles; ++i) {
        QFile file(folder.filePath(QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'))));
        if (!file.open(QIODevice::WriteOnly) || !file.resize(1000 + i)) {
            state.SkipWithError("cannot write the folder");
            return;
        }
    }
    MainWindow window;
    QSignalSpy loaded(window.filesModel(), &QFileSystemModel::directoryLoaded);
    window.showFolder(folder.path());
    auto gathered = [&] {
        for (const QList<QVariant>& args : loaded)
            if (args.at(0).toString() == folder.path())
                return true;
        return false;
    };
    while (!gathered() && loaded.wait(10000)) {
    }
    QCoreApplication::processEvents();
    auto* view = window.findChild<QListView*>(QStringLiteral("listView"));
    QAbstractItemModel* model = view->model();
    if (model->rowCount(view->rootIndex()) != kFiles) {
        state.SkipWithError("folder not gathered");
        return;
    }
    const bool everyStep = state.range(0) != 0;
    for (auto _ : state) {
        view->selectionModel()->clearSelection();
        QCoreApplication::processEvents();
        for (int step = 1; step <= kSteps; ++step) {
            const int last = step * kFiles / kSteps - 1;
            const QModelIndex root = view->rootIndex();  // the proxy may have re-sorted
            view->selectionModel()->select(QItemSelection(model->index(0, 0, root), model->index(last, 0, root)),
                                           QItemSelectionModel::ClearAndSelect);
            if (everyStep)
                window.updateStatusBar();
        }
        QCoreApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * kSteps);
}

}  // namespace

BENCHMARK(BM_StatusBarSelectionSweep)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
