// The thumbnail cache on a folder of 200 photos of 4000 x 3000 pixels (JPEG, quality 90):
// building cold (empty cache) with one and with eight builder workers, the warm pass over
// the same folder (every thumbnail current), one cached lookup as the view paints it,
// storing one thumbnail, and one photo's thumbnail decoded at reduced and at full size.
//
// The folder is generated once per run into a temporary folder (removed at exit): four
// views of the synthetic scene are rendered, and each file is one of them with its own
// number stamped in a corner, so no two files are alike; three threads encode them.
#include <QDir>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "browser/thumbs_database.h"
#include "browser/thumbs_manager.h"
#include "tests/support/scene.h"

namespace {

constexpr int kPhotos = 200;
constexpr int kWidth = 4000;
constexpr int kHeight = 3000;

struct PhotoFolder {
    QTemporaryDir dir;
    QStringList paths;

    PhotoFolder()
    {
        const vltest::Scene scene(vltest::smallSceneOptions(11));
        std::vector<QImage> bases;
        for (int i = 0; i < 4; ++i) {
            vltest::PlaneView view;
            view.toScene = vltest::Mat3::translation(40.0 * i, 25.0 * i) * vltest::Mat3::scaling(0.2, 0.2);
            view.width = kWidth;
            view.height = kHeight;
            bases.push_back(vltest::renderPlaneView(scene, view));
        }
        for (int i = 0; i < kPhotos; ++i)
            paths.append(dir.filePath(QString("photo_%1.jpg").arg(i, 3, 10, QChar('0'))));
        std::atomic<int> next{0};
        auto encode = [&] {
            for (int i; (i = next++) < kPhotos;) {
                QImage image = bases[std::size_t(i % 4)].copy();
                QPainter(&image).fillRect(0, 0, 64 + i, 64, QColor::fromHsv(i % 360, 200, 200));
                vltest::saveImage(image, paths[i], vltest::FileFormat::Jpeg, 90);
            }
        };
        std::vector<std::thread> encoders;
        for (int t = 0; t < 3; ++t)
            encoders.emplace_back(encode);
        for (auto& t : encoders)
            t.join();
    }
};

const PhotoFolder& photos()
{
    static const PhotoFolder folder;
    return folder;
}

// Runs the builder over the whole folder and waits for every announcement.
void buildAll(ThumbsDataBase& db, int workers)
{
    ThumbsManager manager(&db, workers);
    std::mutex mutex;
    std::condition_variable done;
    int stored = 0;
    QObject::connect(
        &manager, &ThumbsManager::thumbnailUpdated, &manager,
        [&] {
            std::lock_guard lock(mutex);
            ++stored;
            done.notify_all();
        },
        Qt::DirectConnection);
    manager.Init(std::chrono::hours(1));
    manager.BuildThumbsInThread(photos().paths);
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return stored == kPhotos; });
    lock.unlock();
    manager.shutdown();
}

void BM_ThumbsCold(benchmark::State& state)
{
    const int workers = int(state.range(0));
    photos();
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir cache;
        ThumbsDataBase db;
        db.Init(cache.path());
        state.ResumeTiming();
        buildAll(db, workers);
        state.PauseTiming();
        db.close();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kPhotos);
    state.counters["photos_per_s"] = benchmark::Counter(double(state.iterations()) * kPhotos, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ThumbsCold)->Arg(1)->Arg(8)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every thumbnail current: per photo the builder's check (file time against one indexed
// read) and the view's lookup.
void BM_ThumbsWarm(benchmark::State& state)
{
    QTemporaryDir cache;
    ThumbsDataBase db;
    db.Init(cache.path());
    buildAll(db, 8);
    ThumbsManager manager(&db, 1);
    for (auto _ : state) {
        for (const QString& path : photos().paths) {
            if (manager.BuildThumb(path) != ThumbsManager::BuildResult::Current)
                state.SkipWithError("a cached thumbnail was not current");
            benchmark::DoNotOptimize(manager.GetThumbImage(path));
        }
    }
    state.counters["photos_per_s"] = benchmark::Counter(double(state.iterations()) * kPhotos, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ThumbsWarm)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ThumbCachedLookup(benchmark::State& state)
{
    QTemporaryDir cache;
    ThumbsDataBase db;
    db.Init(cache.path());
    ThumbsManager manager(&db, 1);
    const QString& path = photos().paths.front();
    manager.BuildThumb(path);
    for (auto _ : state)
        benchmark::DoNotOptimize(manager.GetThumbImage(path));
}
BENCHMARK(BM_ThumbCachedLookup)->Unit(benchmark::kMicrosecond);

// Storing one thumbnail: one transaction on the cache file.
void BM_ThumbStore(benchmark::State& state)
{
    QTemporaryDir cache;
    ThumbsDataBase db;
    db.Init(cache.path());
    QImage thumb(thumbwidth, thumbheight, QImage::Format_RGB888);
    thumb.fill(Qt::darkCyan);
    int i = 0;
    for (auto _ : state) {
        ++i;
        db.SetThumb(QString::number(i), QDateTime::fromSecsSinceEpoch(i), kWidth, kHeight, 32, thumb.width(),
                    thumb.height(), int(thumb.bytesPerLine()), thumb.constBits());
    }
}
BENCHMARK(BM_ThumbStore)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ThumbDecode(benchmark::State& state)
{
    const bool reduced = state.range(0) != 0;
    const QString& path = photos().paths.front();
    for (auto _ : state) {
        ThumbSource source;
        LoadThumbSource(path, reduced, source);
        benchmark::DoNotOptimize(source.thumb);
    }
    state.SetLabel(reduced ? "reduced decode" : "full decode");
}
BENCHMARK(BM_ThumbDecode)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
