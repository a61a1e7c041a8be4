// Sorting a folder of 5000 photo files in the file views' proxy by name, size,
// date modified and camera file number, the way the browser sorts on a menu command.
// The folder is written once into a temporary directory and loaded by the file-system
// model (asynchronously) before timing; each iteration is one full sort, alternating
// the order so the proxy cannot skip it.
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "bench/bench_application.h"
#include "browser/browser_models.h"

namespace {

constexpr int kFiles = 5000;

struct Folder {
    QTemporaryDir dir;
    ThumbsFileSystemModel files;
    FilesFilterModel proxy;
    bool loaded = false;

    Folder()
    {
        std::mt19937 random(7);
        const QDateTime base = QDateTime::currentDateTime().addYears(-1);
        for (int i = 0; i < kFiles; ++i) {
            // Camera names with shuffled numbers, sizes and dates in unrelated orders.
            QFile file(dir.filePath(QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'))));
            if (!file.open(QIODevice::WriteOnly))
                return;
            file.write(QByteArray(int(random() % 4096), 'x'));
            file.flush();
            file.setFileTime(base.addSecs(qint64(random() % 30000000)), QFileDevice::FileModificationTime);
        }
        files.setReadOnly(true);
        files.setFilter(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
        files.setNameFilters({"*.jpg"});
        files.setNameFilterDisables(false);
        proxy.setDynamicSortFilter(true);
        proxy.setSortRole(Qt::UserRole);
        proxy.setSourceModel(&files);

        QEventLoop loop;
        QObject::connect(&files, &QFileSystemModel::directoryLoaded, &loop, [&](const QString& path) {
            if (QDir(path) == QDir(dir.path()))
                loop.quit();
        });
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        files.setRootPath(dir.path());
        loop.exec();
        // The proxy sorts only the folders it has mapped: map this one.
        root = proxy.mapFromSource(files.index(dir.path()));
        loaded = files.rowCount(files.index(dir.path())) == kFiles && proxy.rowCount(root) == kFiles;
    }
    QPersistentModelIndex root;
};

Folder& folder()
{
    ensureBenchApplication();
    static Folder f;
    return f;
}

void BM_BrowserSort(benchmark::State& state)
{
    Folder& f = folder();
    if (!f.loaded) {
        state.SkipWithError("the folder did not load");
        return;
    }
    const int column = int(state.range(0));
    bool descending = false;
    for (auto _ : state) {
        f.proxy.sort(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
        descending = !descending;
        benchmark::DoNotOptimize(f.proxy.index(0, 0, f.root));
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}

}  // namespace

// 0 name, 1 size, 3 date modified, 4 camera file number.
BENCHMARK(BM_BrowserSort)->Arg(0)->Arg(1)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);
