// A full disk under the thumbnail cache, made in-process (the tests run as root, where
// file permissions stop no write): while the space is full every SQLite connection that
// opens gets a page limit at its present size, and so does the cache's open connection,
// so each write that needs a new page fails with SQLITE_FULL as on a full disk. Freeing
// the space lifts the limit again. The cache must be opened after this object is made
// (its connection is the last one opened); one object at a time.
#pragma once

#include "browser/thumbs_database.h"

#include <sqlite3.h>

#include <atomic>

class CacheSpace {
public:
    CacheSpace() { sqlite3_auto_extension(reinterpret_cast<void (*)()>(&onOpen)); }
    ~CacheSpace()
    {
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&onOpen));
        s_full = false;
        s_last = nullptr;
    }
    CacheSpace(const CacheSpace&) = delete;
    CacheSpace& operator=(const CacheSpace&) = delete;

    // `cache` tells whether the connection opened last is still open.
    void fill(const ThumbsDataBase& cache)
    {
        s_full = true;
        if (cache.isOpen())
            limit(s_last);
    }
    void free(const ThumbsDataBase& cache)
    {
        s_full = false;
        if (cache.isOpen())
            limit(s_last);
    }

private:
    static int onOpen(sqlite3* db, char**, const sqlite3_api_routines*)
    {
        s_last = db;
        limit(db);
        return SQLITE_OK;
    }
    // A limit below the file's size is raised to it by SQLite: 1 means "no more pages".
    static void limit(sqlite3* db)
    {
        if (db)
            sqlite3_exec(db, s_full ? "PRAGMA max_page_count=1" : "PRAGMA max_page_count=2147483646", nullptr, nullptr,
                         nullptr);
    }

    static inline std::atomic<sqlite3*> s_last{nullptr};
    static inline std::atomic<bool> s_full{false};
};
