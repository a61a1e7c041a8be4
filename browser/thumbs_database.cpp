// The thumbnail cache's SQLite file: schema, statements, transactions; see the header.
#include "browser/thumbs_database.h"

#include "browser/utf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr int kHeaderBytes = 12;

std::string keyOf(const QString& path)
{
    return SQL::T2UTF8(path.toStdWString());
}

// A view of a stored blob, accepted only when its header describes rows that are there.
struct BlobView {
    std::uint32_t width = 0, height = 0, bytesPerLine = 0;
    const unsigned char* rows = nullptr;
};

bool parseBlob(const void* blob, std::int64_t size, BlobView& view)
{
    if (!blob || size < kHeaderBytes)
        return false;
    const auto* bytes = static_cast<const unsigned char*>(blob);
    std::memcpy(&view.width, bytes, 4);
    std::memcpy(&view.height, bytes + 4, 4);
    std::memcpy(&view.bytesPerLine, bytes + 8, 4);
    const std::uint64_t minLine = 3ull * view.width;
    if (view.width < 1 || view.height < 1 || view.bytesPerLine < minLine)
        return false;
    if (kHeaderBytes + std::uint64_t(view.height) * view.bytesPerLine > std::uint64_t(size))
        return false;
    view.rows = bytes + kHeaderBytes;
    return true;
}

}  // namespace

ThumbsDataBase& GetThumbsDataBase()
{
    static ThumbsDataBase instance;
    return instance;
}

ThumbsDataBase::~ThumbsDataBase()
{
    close();
}

QString ThumbsDataBase::DefaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

int ThumbsDataBase::openAndProbe(const QString& file, sqlite3** db)
{
    *db = nullptr;
    int rc = sqlite3_open_v2(file.toUtf8().constData(), db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    // Opening is lazy: a file that is not a database is only noticed by the first query.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(*db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(*db);
        *db = nullptr;
    }
    return rc;
}

bool ThumbsDataBase::moveAside(const QString& file)
{
    // Its log and index files belong to it and would be read into a new file of the name.
    for (const char* part : {"", "-wal", "-shm", "-journal"}) {
        const QString from = file + QLatin1String(part);
        const QString to = file + QLatin1String(".damaged") + QLatin1String(part);
        if (QFile::exists(to) && !QFile::remove(to))
            return false;
        if (QFile::exists(from) && !QFile::rename(from, to))
            return false;
    }
    return true;
}

bool ThumbsDataBase::Init()
{
    return Init(DefaultFolder());
}

bool ThumbsDataBase::Init(const QString& folder)
{
    close();
    std::lock_guard guard(m_mutex);
    return openLocked(folder);
}

bool ThumbsDataBase::openLocked(const QString& folder)
{
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return false;
    const QString file = QDir(folder).filePath(QString::fromLatin1(kFileName));
    sqlite3* db = nullptr;
    int rc = openAndProbe(file, &db);
    // A file that cannot be opened or is not a database (or no longer one) would keep
    // every thumbnail out for good, through every restart: it is kept aside for a look
    // and the cache starts afresh. A file locked by another program is left alone, and
    // so is one on a full disk (SQLITE_IOERR: its write-ahead log's index cannot grow).
    const bool damaged =
        rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT || (rc == SQLITE_CANTOPEN && QFileInfo::exists(file));
    if (damaged && moveAside(file))
        rc = openAndProbe(file, &db);
    if (rc != SQLITE_OK)
        return false;
    // A write-ahead log with normal syncing: a commit appends to the log without waiting
    // for the disk, so storing a thumbnail costs microseconds rather than several disk
    // flushes. A crash can lose the last thumbnails, never the file's consistency, and
    // lost thumbnails are simply built again. The switch fails harmlessly (the file keeps
    // its rollback journal) while another connection holds the file.
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    if (!SQL::ExistTable(db, "THUMBS"))
        createTables(db);
    if (!SQL::ExistTable(db, "THUMBS")) {  // e.g. an empty read-only file, or no room for the table
        sqlite3_close(db);
        return false;
    }
    m_begin.Create(db, "BEGIN TRANSACTION");
    m_commit.Create(db, "COMMIT TRANSACTION");
    m_countByName.Create(db, "SELECT COUNT(*) FROM THUMBS WHERE FILENAME=$filename");
    m_insert.Create(db,
                    "INSERT INTO THUMBS (FILENAME, DATETIME_FILE_MODIFIED, IMAGE_WIDTH, IMAGE_HEIGHT, "
                    "IMAGE_BPP, THUMB_DATA)VALUES($filename, $datetime_modified, $image_width, "
                    "$image_height, $image_bpp, $thumb_data)");
    m_update.Create(db,
                    "UPDATE THUMBS SET DATETIME_FILE_MODIFIED=$datetime_modified, IMAGE_WIDTH=$image_width, "
                    "IMAGE_HEIGHT=$image_height, IMAGE_BPP=$image_bpp, THUMB_DATA=$thumb_data "
                    "WHERE FILENAME=$filename");
    m_delete.Create(db, "DELETE FROM THUMBS WHERE FILENAME=$filename");
    m_selectThumb.Create(db, "SELECT THUMB_DATA FROM THUMBS WHERE FILENAME=$filename");
    m_selectTime.Create(db, "SELECT DATETIME_FILE_MODIFIED FROM THUMBS WHERE FILENAME=$filename");
    m_selectWidth.Create(db, "SELECT IMAGE_WIDTH FROM THUMBS WHERE FILENAME=$filename");
    m_selectHeight.Create(db, "SELECT IMAGE_HEIGHT FROM THUMBS WHERE FILENAME=$filename");
    m_selectBpp.Create(db, "SELECT IMAGE_BPP FROM THUMBS WHERE FILENAME=$filename");
    m_selectFiles.Create(db, "SELECT FILENAME FROM THUMBS");
    m_db.store(db, std::memory_order_release);  // readers may use the statements from here on
    return true;
}

void ThumbsDataBase::close()
{
    std::lock_guard guard(m_mutex);
    for (SQL::SqlStatement* s : {&m_begin, &m_commit, &m_countByName, &m_insert, &m_update, &m_delete,
                                 &m_selectThumb, &m_selectTime, &m_selectWidth, &m_selectHeight,
                                 &m_selectBpp, &m_selectFiles})
        s->Free();
    if (sqlite3* db = m_db.exchange(nullptr))
        sqlite3_close(db);
}

bool ThumbsDataBase::CheckTables()
{
    return SQL::ExistTable(m_db, "THUMBS");
}

void ThumbsDataBase::CreateTables()
{
    createTables(m_db);
}

void ThumbsDataBase::createTables(sqlite3* db)
{
    SQL::DropTable(db, "THUMBS");
    SQL::ExecQuery(db,
                   "CREATE TABLE THUMBS(FILENAME TEXT NOT NULL,DATETIME_FILE_MODIFIED INTEGER NOT NULL,"
                   "IMAGE_WIDTH INTEGER NOT NULL,IMAGE_HEIGHT INTEGER NOT NULL,IMAGE_BPP INTEGER NOT NULL,"
                   "THUMB_DATA BLOB,PRIMARY KEY (FILENAME))");
}

// --- transactions (m_mutex held by the caller) ------------------------------------

bool ThumbsDataBase::begin()
{
    m_begin.Exec(m_db);
    return m_begin.LastResult() == SQLITE_DONE;
}

void ThumbsDataBase::rollback()
{
    if (m_db && !sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "ROLLBACK TRANSACTION", nullptr, nullptr, nullptr);
}

// A COMMIT that fails (a locked or read-only file) leaves the transaction open, and
// every later BEGIN would then fail: roll it back so the next write starts clean.
bool ThumbsDataBase::commitOrRollback()
{
    m_commit.Exec(m_db);
    if (m_commit.LastResult() == SQLITE_DONE)
        return true;
    rollback();
    return false;
}

// --- writes -----------------------------------------------------------------------

bool ThumbsDataBase::SetThumb(const QString& path, const QDateTime& modified, int imageWidth,
                              int imageHeight, int imageBpp, int thumbWidth, int thumbHeight,
                              int bytesPerLine, const unsigned char* bits)
{
    if (!bits || thumbWidth < 1 || thumbHeight < 1
        || std::int64_t(bytesPerLine) < 3 * std::int64_t(thumbWidth))
        return false;
    const std::int64_t pixelBytes = std::int64_t(bytesPerLine) * thumbHeight;
    if (pixelBytes > std::numeric_limits<int>::max() - kHeaderBytes)
        return false;
    std::vector<unsigned char> blob(static_cast<std::size_t>(kHeaderBytes + pixelBytes));
    const std::uint32_t header[3] = {std::uint32_t(thumbWidth), std::uint32_t(thumbHeight),
                                     std::uint32_t(bytesPerLine)};
    std::memcpy(blob.data(), header, sizeof header);
    std::memcpy(blob.data() + kHeaderBytes, bits, static_cast<std::size_t>(pixelBytes));
    const std::string key = keyOf(path);

    std::lock_guard guard(m_mutex);
    if (!m_db || !begin())
        return false;
    int count;
    {
        std::lock_guard statementGuard(m_countByName.lock());
        m_countByName.Bind(m_db, "$filename", key);
        count = m_countByName.Value(m_db);
    }
    SQL::SqlStatement& write = count > 0 ? m_update : m_insert;
    bool written;
    {
        std::lock_guard statementGuard(write.lock());
        int rc = write.Bind(m_db, "$filename", key);
        rc |= write.Bind(m_db, "$datetime_modified", modified);
        rc |= write.Bind(m_db, "$image_width", imageWidth);
        rc |= write.Bind(m_db, "$image_height", imageHeight);
        rc |= write.Bind(m_db, "$image_bpp", imageBpp);
        rc |= write.Bind(m_db, "$thumb_data", blob.data(), static_cast<int>(blob.size()));
        write.Exec(m_db);
        written = rc == SQLITE_OK && write.LastResult() == SQLITE_DONE && sqlite3_changes(m_db) == 1;
    }
    if (!written) {
        rollback();
        return false;
    }
    return commitOrRollback();
}

bool ThumbsDataBase::RemoveThumbs(const QStringList& paths, const std::atomic<bool>& stop)
{
    std::lock_guard guard(m_mutex);
    if (!m_db || !begin())
        return false;
    for (const QString& path : paths) {
        if (!path.isEmpty()) {
            std::lock_guard statementGuard(m_delete.lock());
            m_delete.Bind(m_db, "$filename", keyOf(path));
            m_delete.Exec(m_db);
        }
        if (stop.load())
            break;
    }
    return commitOrRollback();
}

// --- reads ------------------------------------------------------------------------

QStringList ThumbsDataBase::GetAllFiles(const std::atomic<bool>& stop)
{
    QStringList files;
    std::lock_guard guard(m_mutex);
    if (!m_db || !begin())
        return files;
    {
        std::lock_guard statementGuard(m_selectFiles.lock());
        while (m_selectFiles.Next(m_db)) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_selectFiles, 0));
            const int bytes = sqlite3_column_bytes(m_selectFiles, 0);
            files.append(QString::fromStdWString(SQL::UTF82T(text ? std::string(text, bytes) : std::string())));
            if (stop.load()) {
                m_selectFiles.Break(m_db);
                break;
            }
        }
    }
    commitOrRollback();
    return files;
}

QImage ThumbsDataBase::GetThumbImage(const QString& path)
{
    QImage image;
    if (!m_db)
        return image;
    std::lock_guard statementGuard(m_selectThumb.lock());
    if (m_selectThumb.Bind(m_db, "$filename", keyOf(path)) != SQLITE_OK)
        return image;
    while (m_selectThumb.Next(m_db)) {
        BlobView view;
        if (parseBlob(sqlite3_column_blob(m_selectThumb, 0), sqlite3_column_bytes(m_selectThumb, 0), view)) {
            // Deep copy while the row is current: the blob belongs to the statement.
            image = QImage(view.rows, int(view.width), int(view.height), int(view.bytesPerLine),
                           QImage::Format_RGB888)
                        .copy();
            m_selectThumb.Break(m_db);
            break;
        }
    }
    return image;
}

std::unique_ptr<unsigned char[]> ThumbsDataBase::GetThumb(const QString& path, int* size)
{
    if (size)
        *size = 0;
    if (!m_db)
        return nullptr;
    std::lock_guard statementGuard(m_selectThumb.lock());
    if (m_selectThumb.Bind(m_db, "$filename", keyOf(path)) != SQLITE_OK)
        return nullptr;
    return std::unique_ptr<unsigned char[]>(static_cast<unsigned char*>(m_selectThumb.ValuePtr(m_db, size)));
}

std::optional<std::int64_t> ThumbsDataBase::GetThumbSecs(const QString& path)
{
    if (!m_db)
        return std::nullopt;
    std::lock_guard statementGuard(m_selectTime.lock());
    if (m_selectTime.Bind(m_db, "$filename", keyOf(path)) != SQLITE_OK || !m_selectTime.Next(m_db))
        return std::nullopt;
    const std::int64_t secs = sqlite3_column_int64(m_selectTime, 0);
    m_selectTime.Break(m_db);
    return secs;
}

QDateTime ThumbsDataBase::GetThumbTime(const QString& path)
{
    return QDateTime::fromSecsSinceEpoch(GetThumbSecs(path).value_or(0), Qt::UTC);
}

int ThumbsDataBase::readInt(SQL::SqlStatement& statement, const QString& path)
{
    if (!m_db)
        return 0;
    std::lock_guard statementGuard(statement.lock());
    if (statement.Bind(m_db, "$filename", keyOf(path)) != SQLITE_OK)
        return 0;
    return statement.Value(m_db);
}

int ThumbsDataBase::GetImgWidth(const QString& path)
{
    return readInt(m_selectWidth, path);
}

int ThumbsDataBase::GetImgHeight(const QString& path)
{
    return readInt(m_selectHeight, path);
}

int ThumbsDataBase::GetImgBpp(const QString& path)
{
    return readInt(m_selectBpp, path);
}
