// The thumbnail manager and its threads with real photo files and a real cache file:
// the event, the builder's order, thumbnail sizes, reduced decoding, modification times,
// the cleaner, photos the cache refused or had no room for, and shutdown while building.
#include "browser/thumbs_database.h"
#include "browser/thumbs_manager.h"
#include "browser/vn_event.h"
#include "tests/browser/cache_space.h"

#include "tests/support/scene.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <thread>

namespace {

// A photo file of the given size: a magnified view of the synthetic scene, smooth
// enough that reduced and full decoding may be compared. An EXIF `orientation` other
// than 1 stores it turned (as a JPEG) and tagged to be shown w x h.
QString writePhoto(const QString& folder, const QString& name, int w, int h,
                   vltest::FileFormat format = vltest::FileFormat::Jpeg, int orientation = 1)
{
    static const vltest::Scene scene(vltest::smallSceneOptions(7));
    vltest::PlaneView view;
    view.toScene = vltest::Mat3::scaling(500.0 / std::max(w, h), 500.0 / std::max(w, h));
    view.width = w;
    view.height = h;
    const QString path = folder + "/" + name;
    if (orientation != 1)
        vltest::saveOrientedJpeg(vltest::renderPlaneView(scene, view), path, orientation, 90);
    else
        vltest::saveImage(vltest::renderPlaneView(scene, view), path, format, 90);
    return path;
}

// Mean absolute difference per byte of two RGB888 images of one size.
double meanDifference(const QImage& a, const QImage& b)
{
    EXPECT_TRUE(a.size() == b.size() && a.format() == QImage::Format_RGB888 && b.format() == QImage::Format_RGB888);
    if (a.size() != b.size())
        return 255;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < 3 * a.width(); ++x)
            sum += std::abs(int(a.constScanLine(y)[x]) - int(b.constScanLine(y)[x]));
    return sum / (3.0 * a.width() * a.height());
}

TEST(VnEventTest, AutoResetWithKeptSignal)
{
    VnEvent event;
    EXPECT_FALSE(event.Wait(0));
    event.SetEvent();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
    event.SetEvent();
    event.SetEvent();
    EXPECT_TRUE(event.Wait(1));
    EXPECT_FALSE(event.Wait(1));  // two signals before a wait count once

    std::thread waiter([&] { event.Wait(); });
    event.SetEvent();  // releases the waiter whether it waits already or not yet
    waiter.join();
    EXPECT_FALSE(event.Wait(0));
}

// Records the builder's order; builds of paths starting with "block" wait until the test
// releases them or the builder is told to end.
class RecordingManager : public ThumbsManager {
public:
    explicit RecordingManager(ThumbsDataBase* db) : ThumbsManager(db, 1) {}
    ~RecordingManager() override { shutdown(); }

    BuildResult BuildThumb(const QString& path) override
    {
        std::unique_lock lock(m_mutex);
        m_built.append(path);
        m_changed.notify_all();
        if (path.startsWith("block")) {
            while (!m_released && !builder().exit())
                m_changed.wait_for(lock, std::chrono::milliseconds(5));
            m_released = false;
        }
        return BuildResult::Current;
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    QStringList waitForBuilds(int count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_built.size() >= count; });
        return m_built;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    QStringList m_built;
    bool m_released = false;
};

class ThumbsManagerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.Init(dir.filePath("cache"))); }
    QTemporaryDir dir;
    ThumbsDataBase db;
    const std::atomic<bool> noStop{false};
};

TEST_F(ThumbsManagerTest, BuilderTakesNewestFirstAndDropsDuplicates)
{
    RecordingManager manager(&db);
    manager.Init(std::chrono::hours(1));
    manager.BuildThumbInThread("block1");
    manager.waitForBuilds(1);
    for (const char* p : {"a", "b", "a"})
        manager.BuildThumbInThread(p);
    EXPECT_EQ(manager.builder().queued(), (QStringList{"a", "b"}));
    manager.release();
    EXPECT_EQ(manager.waitForBuilds(3), (QStringList{"block1", "a", "b"}));

    manager.BuildThumbInThread("block2");
    manager.waitForBuilds(4);
    manager.BuildThumbInThread("z");
    manager.BuildThumbsInThread({"x", "y", "z"});
    manager.BuildThumbsInThread({"w"});
    manager.release();
    EXPECT_EQ(manager.waitForBuilds(8).mid(4), (QStringList{"w", "x", "y", "z"}));
}

TEST_F(ThumbsManagerTest, ShutdownWhileBuildingDropsTheQueue)
{
    RecordingManager manager(&db);
    manager.Init(std::chrono::hours(1));
    manager.BuildThumbInThread("block");
    manager.waitForBuilds(1);
    for (int i = 0; i < 50; ++i)
        manager.BuildThumbInThread(QString::number(i));
    manager.shutdown();  // the blocked build ends on the exit flag; nothing else starts
    EXPECT_EQ(manager.waitForBuilds(1), QStringList{"block"});
    manager.BuildThumbInThread("late");
    EXPECT_TRUE(manager.builder().queued().isEmpty());
}

TEST_F(ThumbsManagerTest, ThumbnailFitsTheBoxAndParamsAreStored)
{
    ThumbsManager manager(&db);
    // Shown w x h; an EXIF orientation other than 1 stores the photo turned.
    const struct {
        int w, h;
        QSize thumb;
        int orientation;
    } cases[] = {{100, 50, {240, 120}, 1},   {4000, 3000, {240, 180}, 1}, {3000, 4000, {135, 180}, 1},
                 {2000, 1500, {240, 180}, 6}, {1200, 1600, {135, 180}, 8}, {1200, 1600, {135, 180}, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " orientation " << c.orientation);
        const QString path = writePhoto(dir.path(), QString("p%1o%2.jpg").arg(c.w).arg(c.orientation), c.w, c.h,
                                        vltest::FileFormat::Jpeg, c.orientation);
        EXPECT_EQ(manager.BuildThumb(path), ThumbsManager::BuildResult::Stored);
        EXPECT_EQ(manager.GetThumbImage(path).size(), c.thumb);
        int w = 0, h = 0, bpp = 0;
        EXPECT_TRUE(manager.GetImageParams(path, w, h, bpp));
        EXPECT_EQ(std::tuple(w, h, bpp), std::tuple(c.w, c.h, 32));
        ThumbSource twin;  // the same photo stored upright
        if (c.orientation != 1 && LoadThumbSource(writePhoto(dir.path(), "twin.jpg", c.w, c.h), true, twin))
            EXPECT_LT(meanDifference(manager.GetThumbImage(path), twin.thumb), 5.0);
    }
    int w = -1, h = -1, bpp = -1;
    EXPECT_FALSE(manager.GetImageParams(dir.filePath("none.jpg"), w, h, bpp) || w != 0);
}

TEST_F(ThumbsManagerTest, ReducedDecodeMatchesFullDecode)
{
    for (const QSize size : {QSize(4000, 3000), QSize(1001, 2003)}) {
        const QString path = writePhoto(dir.path(), "r.jpg", size.width(), size.height());
        ThumbSource reduced, full;
        ASSERT_TRUE(LoadThumbSource(path, true, reduced));
        ASSERT_TRUE(LoadThumbSource(path, false, full));
        EXPECT_EQ(std::pair(reduced.photoSize, reduced.photoDepth), std::pair(size, full.photoDepth));
        EXPECT_LT(meanDifference(reduced.thumb, full.thumb), 5.0) << size.width();
    }
}

TEST_F(ThumbsManagerTest, UnchangedTimeSkipsAndTouchedFileRebuilds)
{
    ThumbsManager manager(&db);
    const QString path = writePhoto(dir.path(), "t.png", 64, 48, vltest::FileFormat::Png);
    using R = ThumbsManager::BuildResult;
    for (const qint64 secs : {qint64(1'000'000), (qint64(1) << 31) + 5, qint64(-86400), qint64(0)}) {
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite) ||
            !file.setFileTime(QDateTime::fromSecsSinceEpoch(secs, Qt::UTC), QFileDevice::FileModificationTime))
            continue;  // a file system without such times
        file.close();
        EXPECT_EQ(manager.BuildThumb(path), R::Stored) << secs;
        EXPECT_EQ(manager.BuildThumb(path), R::Current) << secs;
    }
    EXPECT_EQ(manager.BuildThumb(dir.filePath("missing.png")), R::NotAFile);
    QFile text(dir.filePath("text.jpg"));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly) && text.write("not an image") > 0);
    text.close();
    EXPECT_EQ(manager.BuildThumb(text.fileName()), R::NotAnImage);
}

// A cache another program holds locked refuses the thumbnails: they are shown from
// memory and announced once, offered again neither at every repaint nor after another
// write succeeded, but when their folder is shown again or when the photo changed.
TEST_F(ThumbsManagerTest, RefusedPhotoIsShownFromMemoryAndStoredWhenItsFolderIsShownAgain)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir("other"));
    const QString a = writePhoto(dir.path(), "a.jpg", 80, 60), b = writePhoto(dir.path(), "b.jpg", 80, 60),
                  c = writePhoto(dir.filePath("other"), "c.jpg", 60, 80);
    ThumbsManager manager(&db);
    int announced = 0;
    QObject::connect(&manager, &ThumbsManager::thumbnailUpdated, [&] { ++announced; });
    using R = ThumbsManager::BuildResult;
    const auto build = [&](const QString& p) { return std::pair(manager.BuildThumb(p), announced); };
    const auto inCache = [&](const QString& p) { return !db.GetThumbImage(p).isNull(); };

    sqlite3* holder = nullptr;  // another program writing to the cache
    ASSERT_EQ(sqlite3_open(dir.filePath("cache/VnVlThumbs2.db").toUtf8().constData(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(build(a), std::pair(R::Kept, 1));
    EXPECT_EQ(build(b), std::pair(R::Kept, 2));
    EXPECT_EQ(build(c), std::pair(R::Kept, 3));
    int w = 0, h = 0, bpp = 0;
    EXPECT_TRUE(manager.GetImageParams(c, w, h, bpp));
    EXPECT_EQ(std::tuple(manager.GetThumbImage(a).size(), manager.GetThumbImage(c).size(), w, h, bpp, inCache(a)),
              std::tuple(QSize(240, 180), QSize(135, 180), 60, 80, 32, false));
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);

    EXPECT_EQ(build(a), std::pair(R::StillKept, 3));  // not at every repaint
    EXPECT_FALSE(inCache(a));
    manager.RetryRefusedIn(dir.filePath("other") + "/");
    EXPECT_EQ(build(a), std::pair(R::StillKept, 3));
    const QImage shown = manager.GetThumbImage(c);
    EXPECT_EQ(build(c), std::pair(R::Stored, 3));  // its folder is shown again; not announced again
    EXPECT_EQ(db.GetThumbImage(c), shown);
    EXPECT_EQ(build(a), std::pair(R::StillKept, 3));  // another write succeeding is not its turn
    manager.RetryRefusedIn(dir.path());
    EXPECT_EQ(build(a), std::pair(R::Stored, 3));
    EXPECT_EQ(build(a), std::pair(R::Current, 3));

    QFile file(b);  // a photo changed while its thumbnail was kept is built again
    ASSERT_TRUE(file.open(QIODevice::ReadWrite) &&
                file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    file.close();
    EXPECT_EQ(build(b), std::pair(R::Stored, 4));
}

// A photo rewritten with other pixels (an uncompressed one of the same size, so the
// file's length does not change) is shown as it is now, whether its old thumbnail was kept in memory or
// stored in the cache: what the views paint and what the cache holds is the new picture.
TEST_F(ThumbsManagerTest, RewrittenPhotoIsShownWithItsNewPixels)
{
    const auto writeSolid = [&](const QString& path, QColor colour, qint64 secs) {
        QImage image(64, 48, QImage::Format_RGB888);
        image.fill(colour);
        QFile file(path);
        ASSERT_TRUE(image.save(path, "BMP") && file.open(QIODevice::ReadWrite)
                    && file.setFileTime(QDateTime::fromSecsSinceEpoch(secs, Qt::UTC), QFileDevice::FileModificationTime));
    };
    const auto colourOf = [](const QImage& thumb) { return thumb.isNull() ? QColor() : thumb.pixelColor(5, 5); };
    using R = ThumbsManager::BuildResult;
    const struct {
        const char* name;
        bool lockedBefore, lockedAfter;  // the cache refuses the old picture, the new one
        R before, after;
    } cases[] = {
        {"kept, then stored", true, false, R::Kept, R::Stored},
        {"kept, then kept", true, true, R::Kept, R::Kept},
        {"stored, then stored", false, false, R::Stored, R::Stored},
        {"stored, then kept", false, true, R::Stored, R::Kept},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QString("%1.bmp").arg(c.name));
        ThumbsManager manager(&db);
        sqlite3* holder = nullptr;  // another program holding the cache while it is locked
        ASSERT_EQ(sqlite3_open(dir.filePath("cache/VnVlThumbs2.db").toUtf8().constData(), &holder), SQLITE_OK);
        const auto lock = [&](bool locked) {
            sqlite3_exec(holder, locked ? "BEGIN EXCLUSIVE" : "COMMIT", nullptr, nullptr, nullptr);
        };
        writeSolid(path, Qt::blue, 1'000'000);
        lock(c.lockedBefore);
        EXPECT_EQ(manager.BuildThumb(path), c.before);
        EXPECT_EQ(colourOf(manager.GetThumbImage(path)), QColor(Qt::blue));
        lock(false);
        lock(c.lockedAfter);
        writeSolid(path, Qt::red, 1'000'010);
        EXPECT_EQ(manager.BuildThumb(path), c.after);
        EXPECT_EQ(colourOf(manager.GetThumbImage(path)), QColor(Qt::red));
        lock(false);
        sqlite3_close(holder);
        manager.RetryRefusedIn(dir.path());  // its folder is shown again: a kept one is stored now
        manager.BuildThumb(path);
        EXPECT_EQ(std::pair(colourOf(manager.GetThumbImage(path)), colourOf(db.GetThumbImage(path))),
                  std::pair(QColor(Qt::red), QColor(Qt::red)));
    }
}

// The cache's disk is full from the start (the cache cannot even be made, and stays
// closed for the session) or fills up while photos are browsed: every thumbnail is still
// shown, once; when there is room again the kept ones are stored once their folder is
// shown again, and only into a cache that is open.
TEST_F(ThumbsManagerTest, FullDiskStillShowsEveryThumbnailAndStoresThemWhenTheirFolderIsShown)
{
    QStringList photos;
    for (int i = 0; i < 16; ++i)
        photos << writePhoto(dir.path(), QString("p%1.jpg").arg(i), 64 + 8 * i, 48);
    using R = ThumbsManager::BuildResult;
    for (const bool fullAtStart : {true, false}) {
        SCOPED_TRACE(fullAtStart ? "full at start" : "full while browsing");
        CacheSpace space;
        QDir(dir.filePath(fullAtStart ? "fresh" : "cache")).removeRecursively();
        if (fullAtStart) {
            space.fill(db);
            ASSERT_FALSE(db.Init(dir.filePath("fresh")));
        } else {
            ASSERT_TRUE(db.Init(dir.filePath("cache")));
        }
        ThumbsManager manager(&db);
        QStringList announced;
        QObject::connect(&manager, &ThumbsManager::thumbnailUpdated, [&](const QString& p) { announced << p; });
        const int before = fullAtStart ? 0 : 4;  // stored while there was room
        for (int i = 0; i < photos.size(); ++i) {
            if (i == before && !fullAtStart)
                space.fill(db);
            EXPECT_EQ(manager.BuildThumb(photos[i]), i < before ? R::Stored : R::Kept) << i;
        }
        EXPECT_EQ(announced, photos);
        for (const QString& p : photos)
            EXPECT_EQ(manager.GetThumbImage(p).size(), ThumbSizeFor(QImageReader(p).size())) << p.toStdString();
        manager.RetryRefusedIn(dir.path());
        for (int i = before; i < photos.size(); ++i)
            EXPECT_EQ(manager.BuildThumb(photos[i]), R::StillKept) << i;  // offered again, refused again
        EXPECT_EQ(db.GetAllFiles(noStop).size(), before);

        space.free(db);
        for (int i = 0; i < photos.size(); ++i)  // room again: the folder was not shown since
            EXPECT_EQ(manager.BuildThumb(photos[i]), i < before ? R::Current : R::StillKept) << i;
        manager.RetryRefusedIn(dir.path());
        for (int i = 0; i < photos.size(); ++i)
            EXPECT_EQ(manager.BuildThumb(photos[i]), i < before ? R::Current : fullAtStart ? R::StillKept : R::Stored)
                << i;
        EXPECT_EQ(db.isOpen(), !fullAtStart);
        EXPECT_EQ(std::pair(db.GetAllFiles(noStop).size(), announced.size()),
                  std::pair(fullAtStart ? 0 : photos.size(), photos.size()));
        for (const QString& p : photos)  // shown from memory or from the cache alike
            EXPECT_FALSE(manager.GetThumbImage(p).isNull()) << p.toStdString();
    }
}

// The same through four builder workers while this thread reads what the views paint;
// the cache that could not be made stays closed, and nothing is offered to it unasked.
TEST_F(ThumbsManagerTest, FullDiskWithWorkersShowsEveryThumbnail)
{
    QStringList photos;
    for (int i = 0; i < 16; ++i)
        photos << writePhoto(dir.path(), QString("w%1.jpg").arg(i), 48 + 4 * i, 40);
    CacheSpace space;
    space.fill(db);
    ASSERT_FALSE(db.Init(dir.filePath("fresh")));
    ThumbsManager manager(&db, 4);
    QObject receiver;
    QSet<QString> announced;
    QObject::connect(&manager, &ThumbsManager::thumbnailUpdated, &receiver, [&](const QString& p) { announced << p; });
    manager.Init(std::chrono::hours(1));
    int shown = 0;
    const auto settle = [&](const std::function<bool()>& done) {
        const QDeadlineTimer limit(60000);  // a hang guard, not a speed check
        while (!done() && !limit.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
            shown = 0;
            for (const QString& p : photos)  // as a view paints, while the workers keep them
                shown += manager.GetThumbImage(p).isNull() ? 0 : 1;
        }
    };
    manager.BuildThumbsInThread(photos);
    settle([&] { return announced.size() == photos.size(); });
    EXPECT_EQ(std::tuple(int(announced.size()), shown, db.isOpen()), std::tuple(16, 16, false));

    space.free(db);
    manager.RetryRefusedIn(dir.path());
    manager.BuildThumbsInThread(photos);  // the view paints them again
    settle([&] { return manager.builder().queued().isEmpty(); });
    manager.shutdown();  // waits for the builds under way
    EXPECT_EQ(std::tuple(int(announced.size()), db.isOpen(), db.GetAllFiles(noStop).size()),
              std::tuple(16, false, 0));
    for (const QString& p : photos)
        EXPECT_FALSE(manager.GetThumbImage(p).isNull()) << p.toStdString();
}

TEST_F(ThumbsManagerTest, FourWorkersBuildEachPhotoOnceAndAnnounceOnTheReceiversThread)
{
    // The first decodes to about 4.8 MB: Init raises the reader's limit that would refuse it.
    QStringList paths{writePhoto(dir.path(), "big.png", 1200, 1000, vltest::FileFormat::Png)};
    for (int i = 1; i < 24; ++i)
        paths << writePhoto(dir.path(), QString("s%1.jpg").arg(i), 64 + i, 48);
    const int limitBefore = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(1);  // megabytes
    ThumbsManager manager(&db, 4);
    QObject receiver;
    QStringList announced;
    bool onMainThread = true;
    QObject::connect(&manager, &ThumbsManager::thumbnailUpdated, &receiver, [&](const QString& p) {
        onMainThread = onMainThread && QThread::currentThread() == receiver.thread();
        announced.append(p);
    });
    manager.Init(std::chrono::hours(1));
    manager.BuildThumbsInThread(paths);
    const QDeadlineTimer limit(60000);  // a hang guard, not a speed check
    while (announced.size() < paths.size() && !limit.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    manager.shutdown();
    QImageReader::setAllocationLimit(limitBefore);
    QCoreApplication::processEvents();  // a late duplicate would be queued by now
    announced.sort();
    paths.sort();
    EXPECT_EQ(announced, paths);
    EXPECT_TRUE(onMainThread && !manager.GetThumbImage(paths.back()).isNull());
}

TEST_F(ThumbsManagerTest, CleanerRemovesOnlyMissingFiles)
{
    const QString kept = writePhoto(dir.path(), "kept.png", 8, 8, vltest::FileFormat::Png);
    const QImage thumb(4, 3, QImage::Format_RGB888);
    for (const QString& p : {kept, dir.filePath("gone1.jpg"), dir.filePath("gone2.jpg")})
        db.SetThumb(p, QDateTime::fromSecsSinceEpoch(1), 8, 8, 32, 4, 3, int(thumb.bytesPerLine()), thumb.constBits());
    {
        ThumbsManager waiting(&db);
        waiting.Init(std::chrono::hours(1));
        waiting.shutdown();  // before the delay: no pass
        EXPECT_EQ(db.GetAllFiles(noStop).size(), 3);
    }
    ThumbsManager manager(&db);
    manager.Init(std::chrono::milliseconds(0));
    manager.cleaner().wait();
    EXPECT_EQ(db.GetAllFiles(noStop), QStringList{kept});
    manager.shutdown();
}

}  // namespace
