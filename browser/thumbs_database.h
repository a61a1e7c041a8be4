// The persistent thumbnail cache: one SQLite file per user ("VnVlThumbs2.db" in the
// application's local data folder), one table THUMBS with a row per photo: the photo's
// modification time (seconds since 1970-01-01 UTC, 64-bit, so times before 1970 and after
// 2038 compare as they are), its size and depth as loaded, and a thumbnail of at most
// 240 x 180 RGB888 pixels as a blob:
//     offset 0: width, 4: height, 8: bytes per line (unsigned 32-bit, native order),
//     12: height rows of bytes-per-line bytes, top row first.
//
// Threads: one connection in SQLite's serialised mode, used by the UI thread (lookups
// for painting and the status bar, removal on refresh), the builder threads (time reads
// and `SetThumb`) and the cleaner thread (`GetAllFiles`, `RemoveThumbs`). `m_mutex`
// keeps the three transactions apart; each statement's own lock is held from its first
// binding until it has run. Lock order: `m_mutex` before any statement lock.
//
// Lifecycle: closed -> open (`Init`) -> closed (`close`, called by main after the
// thumbnail threads have stopped; the destructor closes too). Closed, every read answers
// as for a missing row and every write fails. A cache that `Init` could not open (a full
// disk, a file another program holds) stays closed for the session: the program runs on
// without one. A write that fails (a full disk) leaves no transaction open and no
// statement bound, so the next one starts clean.
#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "browser/sql.h"

class ThumbsDataBase {
public:
    ThumbsDataBase() = default;
    ~ThumbsDataBase();
    ThumbsDataBase(const ThumbsDataBase&) = delete;
    ThumbsDataBase& operator=(const ThumbsDataBase&) = delete;

    // Opens or creates the cache in the application's local data folder, or in `folder`.
    // A file that cannot be opened, is not a database or is a damaged one is renamed to
    // kFileName + ".damaged" (replacing an older one) and a new cache is made. False when
    // no cache can be had (a folder that cannot be written, a file locked by another
    // program, a full disk): the program then runs without one.
    bool Init();
    bool Init(const QString& folder);
    // Closes the cache.
    void close();
    bool isOpen() const { return m_db != nullptr; }

    static QString DefaultFolder();
    static constexpr const char* kFileName = "VnVlThumbs2.db";

    // Inserts or replaces the row of `path`; `bits` holds thumbHeight rows of
    // bytesPerLine bytes of RGB888 pixels. True only when the row is committed.
    bool SetThumb(const QString& path, const QDateTime& modified, int imageWidth, int imageHeight,
                  int imageBpp, int thumbWidth, int thumbHeight, int bytesPerLine,
                  const unsigned char* bits);

    // The stored thumbnail as an RGB888 image owning its pixels; null when there is none
    // or its blob is damaged.
    QImage GetThumbImage(const QString& path);
    // The stored modification time; the date of 0 seconds when there is no row.
    QDateTime GetThumbTime(const QString& path);
    // The stored modification time in seconds; empty when there is no row.
    std::optional<std::int64_t> GetThumbSecs(const QString& path);
    int GetImgWidth(const QString& path);
    int GetImgHeight(const QString& path);
    int GetImgBpp(const QString& path);
    // A copy of the raw blob; null when there is none.
    std::unique_ptr<unsigned char[]> GetThumb(const QString& path, int* size = nullptr);

    // Every stored file name; `stop` ends the listing after the name being read.
    QStringList GetAllFiles(const std::atomic<bool>& stop);
    // Deletes the rows of `paths` in one transaction; `stop` ends it after the current
    // path (what was deleted is committed). True when committed.
    bool RemoveThumbs(const QStringList& paths, const std::atomic<bool>& stop);

    bool CheckTables();
    void CreateTables();

private:
    // Opens the cache in `folder` (m_mutex held); false when it cannot be had.
    bool openLocked(const QString& folder);
    // Opens `file` and reads its schema; SQLite's result code, *db null unless SQLITE_OK.
    static int openAndProbe(const QString& file, sqlite3** db);
    static void createTables(sqlite3* db);
    // Renames `file` and its log files aside as ".damaged"; false when any stays.
    static bool moveAside(const QString& file);
    bool begin();
    bool commitOrRollback();
    void rollback();
    int readInt(SQL::SqlStatement& statement, const QString& path);

    // Set (release) only once every statement is prepared; readers load it without m_mutex.
    std::atomic<sqlite3*> m_db{nullptr};
    std::mutex m_mutex;
    SQL::SqlStatement m_begin;
    SQL::SqlStatement m_commit;
    SQL::SqlStatement m_countByName;
    SQL::SqlStatement m_insert;
    SQL::SqlStatement m_update;
    SQL::SqlStatement m_delete;
    SQL::SqlStatement m_selectThumb;
    SQL::SqlStatement m_selectTime;
    SQL::SqlStatement m_selectWidth;
    SQL::SqlStatement m_selectHeight;
    SQL::SqlStatement m_selectBpp;
    SQL::SqlStatement m_selectFiles;
};

// The program-wide cache.
ThumbsDataBase& GetThumbsDataBase();
