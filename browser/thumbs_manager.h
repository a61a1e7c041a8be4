// The thumbnail manager: the process-wide front of the thumbnail cache, and its two
// worker threads.
//
// `ThumbsManager` knows which files are photos, builds a thumbnail (at most 240 x 180
// pixels, RGB888) from a photo file, stores it in the thumbnail database and announces
// every new thumbnail with `thumbnailUpdated(path)`. The signal is emitted on a
// builder thread: receivers in the UI thread get it queued (automatic connection).
//
// A thumbnail the database refuses (a full disk, a cache that could not be opened) is
// kept in memory for the session, within a budget, and shown like a stored one, so a
// repaint does not build it again and again. It is offered to the database again,
// without decoding the photo again, at its first request after its folder was shown
// again; a photo that changed meanwhile is built afresh.
//
// Threads:
//  * UI thread: the requests (`BuildThumbInThread`, `BuildThumbsInThread`), the lookups
//    the views paint from (`GetThumbImage`, `GetImageParams`), a folder's removal on
//    refresh, `Init` and `shutdown`.
//  * `ThumbsBuilderThread` (low priority) and the workers it runs through the common
//    parallel loop: take the newest request first, build it with `BuildThumb` outside
//    every lock.
//  * `ThumbCleanerThread` (idle priority): once, after a delay, deletes the rows of files
//    that no longer exist.
// The manager does not own the database; `shutdown` stops and joins every thread and
// must run before the database is closed (main calls both before the application object
// dies). The destructor calls `shutdown` too.
#pragma once

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>

#include "browser/vn_event.h"

class ThumbsDataBase;
class ThumbsManager;

// Every stored thumbnail fits inside this box (pixels).
inline constexpr int thumbwidth = 240;
inline constexpr int thumbheight = 180;

// The size of the thumbnail of a photo of `photo` pixels: the photo fitted into the box
// keeping its aspect ratio (smaller photos are scaled up).
QSize ThumbSizeFor(QSize photo);

// A thumbnail made from a photo file, with what the database keeps about the photo.
struct ThumbSource {
    QImage thumb;      // Format_RGB888, ThumbSizeFor(photoSize)
    QSize photoSize;   // the photo upright, as its file's orientation tag shows it, pixels
    int photoDepth = 0;  // bits per pixel of the photo as decoded (QImage::depth)
};

// Loads `path` upright and scales it into the box with the fast (nearest) transformation. With
// `reducedDecode` a reader that can decode at a reduced size (JPEG) decodes at the
// smallest power-of-two reduction that still covers the thumbnail, which is several
// times faster than a full decode. False for a file that is not a readable image.
bool LoadThumbSource(const QString& path, bool reducedDecode, ThumbSource& out);

// The queue of thumbnail requests and the threads that work it off. The queue is an
// ordered set: a path is in it at most once, a new request moves it to the front, and
// workers always take the front (the newest request). All of it is O(1) per request.
// Requests arrive one by one while the user browses, so the builder keeps a thread of
// its own (the UI thread never waits for it); that thread runs the workers through
// Utils::RunWorkers, which takes its own share and gathers the others' failures.
class ThumbsBuilderThread : public QThread {
public:
    // `workers` threads in all (this one and workers - 1 more); 0: Utils::WorkerThreads.
    ThumbsBuilderThread(ThumbsManager& manager, int workers);
    ~ThumbsBuilderThread() override;

    void addFile(const QString& path);
    // The whole list goes in front of the queue; its first path becomes the first.
    void addFilesList(const QStringList& paths);
    void setFilesList(const QStringList& paths);
    // True once the threads have been told to end.
    bool exit() const;

    // Starts this thread, which starts the other workers.
    void startWorkers(QThread::Priority priority);
    // Tells every worker to end after its current thumbnail and waits for them.
    // Requests still queued are dropped. Safe to call more than once.
    void stop();

    // The waiting requests, first to be built first (for diagnostics and tests).
    QStringList queued() const;

protected:
    void run() override;

private:
    void workLoop();
    void pushFrontLocked(const QString& path);

    ThumbsManager& m_manager;
    const int m_workers;
    bool m_exit = false;  // under m_mutex
    VnEvent m_event;      // signalled when the queue changed or the threads must end
    mutable std::mutex m_mutex;
    std::list<QString> m_queue;  // under m_mutex; front = newest request
    QHash<QString, std::list<QString>::iterator> m_index;  // path -> its queue entry
    QSet<QString> m_building;  // paths a worker is building now, under m_mutex
};

// One pass over the cached rows after a delay: rows whose file no longer exists are
// deleted. Stopping it before the delay has passed ends it without a pass.
class ThumbCleanerThread : public QThread {
public:
    ThumbCleanerThread(ThumbsManager& manager, std::chrono::milliseconds delay);
    ~ThumbCleanerThread() override;

    void setDelay(std::chrono::milliseconds delay) { m_delay = delay; }  // before start
    // Sets the stop flag, wakes the thread and waits for it. Safe to call more than once.
    void stop();

protected:
    void run() override;

private:
    ThumbsManager& m_manager;
    std::chrono::milliseconds m_delay;
    std::atomic<bool> m_stop{false};  // polled by the database loops
    VnEvent m_event;
};

class ThumbsManager : public QObject {
    Q_OBJECT
public:
    // What one BuildThumb did.
    enum class BuildResult {
        NotAFile,     // no regular file at the path
        Current,      // the cached thumbnail is as new as the file
        NotAnImage,   // the file could not be decoded
        Stored,       // built, stored and announced; or a kept thumbnail stored at last
        Kept,         // built, but the database refused it: kept in memory and announced
        StillKept,    // the kept thumbnail is current; the database refused it again, or
                      // its folder has not been shown since; not announced again
    };

    // `db` null: the program-wide database. `workers` 0: Utils::WorkerThreads' default.
    explicit ThumbsManager(ThumbsDataBase* db = nullptr, int workers = 0, QObject* parent = nullptr);
    ~ThumbsManager() override;

    // Starts the builder (low priority) and the cleaner (idle priority, one pass after
    // `cleanerDelay`), and raises the image reader's allocation limit so large photos
    // decode.
    void Init(std::chrono::milliseconds cleanerDelay = std::chrono::seconds(60));
    // Stops the cleaner, then the builder, and waits for both. A build in progress
    // finishes its one thumbnail. Subclasses that override BuildThumb call it in their
    // own destructor.
    void shutdown();

    QStringList& GetSupportedFilesExts() { return m_patterns; }
    QSize GetThumbnailMaxSize() const { return QSize(thumbwidth, thumbheight); }

    // Requests from the UI thread (cheap: the builder skips current thumbnails).
    void BuildThumbInThread(const QString& path);
    void BuildThumbsInThread(const QStringList& paths);

    // Builds and stores one thumbnail; runs on a builder thread. Virtual so tests can
    // watch the builder's order.
    virtual BuildResult BuildThumb(const QString& path);
    // A folder is shown (again): its thumbnails that the database refused are offered
    // to it again at their next request. Any thread.
    void RetryRefusedIn(const QString& folder);

    // The thumbnail kept in memory or else the cached one (null when there is none);
    // what the views paint from.
    QImage GetThumbImage(const QString& path);
    QStringList GetAllFiles(const std::atomic<bool>& stop);
    void RemoveThumbs(const QStringList& paths, const std::atomic<bool>& stop);
    // The stored photo size and depth; false when any of them is missing.
    bool GetImageParams(const QString& path, int& width, int& height, int& bpp);

    ThumbsDataBase& database() { return *m_db; }
    ThumbsBuilderThread& builder() { return m_builder; }
    ThumbCleanerThread& cleaner() { return m_cleaner; }

signals:
    void thumbnailUpdated(const QString& filename);

private:
    // A file as a thumbnail was built from it.
    struct FileStamp {
        std::int64_t size = 0;
        std::int64_t modifiedMs = 0;
        bool operator==(const FileStamp&) const = default;
    };
    // A thumbnail the database refused, with what it would have stored.
    struct Kept {
        FileStamp stamp;
        ThumbSource source;
        bool retry = false;  // its folder was shown again: offer it at the next request
    };
    // Memory for kept thumbnails (about 2000 of the largest); the least recently used
    // go first and are built again when asked for.
    static constexpr qsizetype kKeptBudgetKb = 256 * 1024;

    bool store(const QString& path, std::int64_t modified, const ThumbSource& source);

    ThumbsDataBase* m_db;
    QStringList m_patterns;
    ThumbsBuilderThread m_builder;
    ThumbCleanerThread m_cleaner;
    std::mutex m_keptMutex;
    QCache<QString, Kept> m_kept{kKeptBudgetKb};  // by path; cost in KB; under m_keptMutex
};

// The program-wide manager (over GetThumbsDataBase()).
ThumbsManager& GetThumbsManager();
