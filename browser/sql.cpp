// SQLite wrapper: formatted text, prepared statements, whole-query helpers; see sql.h.
#include "browser/sql.h"

#include "browser/utf.h"

#include <cstring>

namespace SQL {

// ---------------------------------------------------------------------------------
// SqlString

SqlString::SqlString(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    m_text = sqlite3_vmprintf(format, args);
    va_end(args);
}

SqlString::SqlString(const char* format, va_list args) : m_text(sqlite3_vmprintf(format, args)) {}

SqlString::SqlString(const wchar_t* format, ...)
{
    const std::string utf8 = T2UTF8(format ? std::wstring(format) : std::wstring());
    va_list args;
    va_start(args, format);
    m_text = sqlite3_vmprintf(utf8.c_str(), args);
    va_end(args);
}

SqlString::~SqlString()
{
    sqlite3_free(m_text);
}

// ---------------------------------------------------------------------------------
// SqlStatement

SqlStatement::~SqlStatement()
{
    sqlite3_finalize(m_stmt);
}

int SqlStatement::Create(sqlite3* db, const char* sql)
{
    std::lock_guard guard(m_lock);
    sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    m_sql = sql ? sql : "";
    const char* tail = nullptr;
    return sqlite3_prepare_v2(db, m_sql.c_str(), -1, &m_stmt, &tail);
}

int SqlStatement::index(const char* name) const
{
    return m_stmt ? sqlite3_bind_parameter_index(m_stmt, name) : 0;
}

int SqlStatement::Bind(sqlite3*, const char* name, const char* value)
{
    const int i = index(name);
    return i ? sqlite3_bind_text(m_stmt, i, value, -1, SQLITE_TRANSIENT) : SQLITE_RANGE;
}

int SqlStatement::Bind(sqlite3*, const char* name, const std::string& value)
{
    // The length is passed, so an inner NUL is stored as it is.
    const int i = index(name);
    return i ? sqlite3_bind_text64(m_stmt, i, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8)
             : SQLITE_RANGE;
}

int SqlStatement::Bind(sqlite3* db, const char* name, const SqlString& value)
{
    return Bind(db, name, static_cast<const char*>(value));
}

int SqlStatement::Bind(sqlite3* db, const char* name, const QDateTime& value)
{
    return Bind(db, name, static_cast<sqlite3_int64>(value.isValid() ? value.toSecsSinceEpoch() : 0));
}

int SqlStatement::Bind(sqlite3* db, const char* name, bool value)
{
    return Bind(db, name, value ? 1 : 0);
}

int SqlStatement::Bind(sqlite3*, const char* name, int value)
{
    const int i = index(name);
    return i ? sqlite3_bind_int(m_stmt, i, value) : SQLITE_RANGE;
}

int SqlStatement::Bind(sqlite3*, const char* name, sqlite3_int64 value)
{
    const int i = index(name);
    return i ? sqlite3_bind_int64(m_stmt, i, value) : SQLITE_RANGE;
}

int SqlStatement::Bind(sqlite3*, const char* name, const void* data, int size)
{
    const int i = index(name);
    return i ? sqlite3_bind_blob(m_stmt, i, data, size, SQLITE_TRANSIENT) : SQLITE_RANGE;
}

int SqlStatement::Exec(sqlite3*)
{
    std::lock_guard guard(m_lock);
    if (!m_stmt) {
        m_lastResult = SQLITE_MISUSE;
        return 0;
    }
    int rows = 0;
    int rc;
    while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW)
        ++rows;
    m_lastResult = rc;
    sqlite3_reset(m_stmt);
    return rows;
}

int SqlStatement::Value(sqlite3* db)
{
    return static_cast<int>(Value64(db));
}

sqlite3_int64 SqlStatement::Value64(sqlite3*)
{
    std::lock_guard guard(m_lock);
    if (!m_stmt) {
        m_lastResult = SQLITE_MISUSE;
        return 0;
    }
    sqlite3_int64 value = 0;
    int rc;
    while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW)
        value = sqlite3_column_int64(m_stmt, 0);
    m_lastResult = rc;
    sqlite3_reset(m_stmt);
    return value;
}

QDateTime SqlStatement::ValueDateTime(sqlite3* db)
{
    return QDateTime::fromSecsSinceEpoch(Value64(db), Qt::UTC);
}

void* SqlStatement::ValuePtr(sqlite3*, int* size)
{
    std::lock_guard guard(m_lock);
    if (size)
        *size = 0;
    if (!m_stmt) {
        m_lastResult = SQLITE_MISUSE;
        return nullptr;
    }
    unsigned char* copy = nullptr;
    int length = 0;
    int rc;
    while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW) {
        delete[] copy;
        copy = nullptr;
        const void* blob = sqlite3_column_blob(m_stmt, 0);
        length = sqlite3_column_bytes(m_stmt, 0);
        if (blob && length > 0) {
            copy = new unsigned char[static_cast<std::size_t>(length)];
            std::memcpy(copy, blob, static_cast<std::size_t>(length));
        } else {
            length = 0;
        }
    }
    m_lastResult = rc;
    sqlite3_reset(m_stmt);
    if (rc != SQLITE_DONE) {
        delete[] copy;
        return nullptr;
    }
    if (size)
        *size = length;
    return copy;
}

bool SqlStatement::Next(sqlite3*)
{
    std::lock_guard guard(m_lock);
    if (!m_stmt) {
        m_lastResult = SQLITE_MISUSE;
        return false;
    }
    const int rc = sqlite3_step(m_stmt);
    m_lastResult = rc;
    if (rc == SQLITE_ROW)
        return true;
    sqlite3_reset(m_stmt);
    return false;
}

void SqlStatement::Break(sqlite3*)
{
    std::lock_guard guard(m_lock);
    if (m_stmt)
        sqlite3_reset(m_stmt);
}

int SqlStatement::Free()
{
    std::lock_guard guard(m_lock);
    const int rc = sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    return rc;
}

// ---------------------------------------------------------------------------------
// Whole queries

namespace {
int countRow(void* counter, int, char**, char**)
{
    ++*static_cast<int*>(counter);
    return 0;
}
}  // namespace

int ExecQuery(sqlite3* db, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SqlString sql(format, args);
    va_end(args);
    int rows = 0;
    if (!db || !static_cast<const char*>(sql))
        return 0;
    char* error = nullptr;
    sqlite3_exec(db, sql, countRow, &rows, &error);
    sqlite3_free(error);
    return rows;
}

bool ExistTable(sqlite3* db, const std::string& name)
{
    return ExecQuery(db, "SELECT name FROM sqlite_master WHERE type='table' AND tbl_name='%q'",
                     name.c_str()) != 0;
}

void DropTable(sqlite3* db, const std::string& name)
{
    if (ExistTable(db, name))
        ExecQuery(db, "DROP TABLE %q", name.c_str());
}

}  // namespace SQL
