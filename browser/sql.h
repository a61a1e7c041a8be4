// A thin layer over the SQLite 3 C interface: formatted SQL text, prepared statements
// with parameters bound by name, and three helpers that run a whole query.
//
// Functions take the connection first; the statement operations act on the statement
// alone. Nothing here reports errors beyond SQLite's result codes and row counts.
// Threads: a statement may be shared between threads. Its running operations take its
// recursive lock; a caller that binds and then runs holds `lock()` over the whole
// sequence so that no other thread binds in between. The connection must be opened in
// SQLite's serialised (full-mutex) mode.
#pragma once

#include <QDateTime>

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

#include <sqlite3.h>

namespace SQL {

// SQL text formatted by SQLite's own printf (whose %q doubles single quotes). Owns the
// text; never copied.
class SqlString {
public:
    SqlString() = default;
    explicit SqlString(const char* format, ...);
    SqlString(const char* format, va_list args);
    // The format is converted to UTF-8 first (16-bit units, see utf.h).
    explicit SqlString(const wchar_t* format, ...);
    ~SqlString();
    SqlString(const SqlString&) = delete;
    SqlString& operator=(const SqlString&) = delete;

    operator const char*() const { return m_text; }
    char** operator&() { return &m_text; }

private:
    char* m_text = nullptr;  // from sqlite3_vmprintf, freed with sqlite3_free
};

class SqlStatement {
public:
    SqlStatement() = default;
    virtual ~SqlStatement();
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;

    // Finalises any previous statement and prepares `sql`; SQLite's result code.
    int Create(sqlite3* db, const char* sql);

    // Bind by the parameter's full name including its sigil ("$filename"). An unknown
    // name answers SQLITE_RANGE (25) and binds nothing. Text and blobs are copied by
    // SQLite, so temporaries may be passed. Binding does not take the lock.
    int Bind(sqlite3* db, const char* name, const char* value);
    int Bind(sqlite3* db, const char* name, const std::string& value);
    int Bind(sqlite3* db, const char* name, const SqlString& value);
    int Bind(sqlite3* db, const char* name, const QDateTime& value);  // seconds since 1970 UTC, 64-bit
    int Bind(sqlite3* db, const char* name, bool value);
    int Bind(sqlite3* db, const char* name, int value);
    int Bind(sqlite3* db, const char* name, sqlite3_int64 value);
    int Bind(sqlite3* db, const char* name, const void* data, int size);

    // Steps to the end and resets; the number of result rows (an error ends the stepping).
    int Exec(sqlite3* db);
    // Column 0 of the last row (0, or the date of 0 seconds, without rows); resets.
    int Value(sqlite3* db);
    sqlite3_int64 Value64(sqlite3* db);
    QDateTime ValueDateTime(sqlite3* db);
    // A copy of the last row's column-0 blob in a new[] buffer the caller deletes with
    // delete[]; null without rows or when the stepping ended in an error. `size`, when
    // given, receives the blob's length.
    void* ValuePtr(sqlite3* db, int* size = nullptr);
    // One step: true on a row; otherwise the statement is reset and false answered.
    bool Next(sqlite3* db);
    // Ends a row loop early.
    void Break(sqlite3* db);

    // The code of the last step that ended Exec/Value*/Next (SQLITE_DONE on success).
    int LastResult() const { return m_lastResult; }

    operator sqlite3_stmt*() const { return m_stmt; }
    int Free();
    const std::string& Sql() const { return m_sql; }
    std::recursive_mutex& lock() { return m_lock; }

private:
    int index(const char* name) const;

    std::recursive_mutex m_lock;
    sqlite3_stmt* m_stmt = nullptr;
    std::string m_sql;
    int m_lastResult = SQLITE_OK;  // under m_lock
};

// Runs the formatted SQL; the number of result rows (errors give the rows counted so far).
int ExecQuery(sqlite3* db, const char* format, ...);
bool ExistTable(sqlite3* db, const std::string& name);
void DropTable(sqlite3* db, const std::string& name);

}  // namespace SQL
