// The thumbnail database on a real SQLite file in a temporary folder: creation and
// reopening, row replacement, exact pixels, awkward paths, damaged blobs, 64-bit times,
// unreadable cache files, locks, failed commits and a full disk.
#include "browser/thumbs_database.h"
#include "tests/browser/cache_space.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

QImage patternImage(int w, int h, unsigned seed)
{
    QImage image(w, h, QImage::Format_RGB888);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < 3 * w; ++x)
            line[x] = uchar(rng());
    }
    return image;
}

bool store(ThumbsDataBase& db, const QString& path, const QImage& thumb, qint64 secs = 1000,
           int width = 4000, int height = 3000, int bpp = 32)
{
    return db.SetThumb(path, QDateTime::fromSecsSinceEpoch(secs, Qt::UTC), width, height, bpp, thumb.width(),
                       thumb.height(), int(thumb.bytesPerLine()), thumb.constBits());
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
}

class ThumbsDataBaseTest : public ::testing::Test {
protected:
    QString folder() const { return dir.filePath("data/VARNO Imaging/VARNO Vistaloom"); }
    QString file() const { return folder() + "/VnVlThumbs2.db"; }
    // A second connection to the same file, as another process would have.
    sqlite3* other()
    {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(file().toUtf8().constData(), &db), SQLITE_OK);
        return db;
    }
    QTemporaryDir dir;
    ThumbsDataBase db;
    const std::atomic<bool> noStop{false};
};

TEST_F(ThumbsDataBaseTest, FirstRunCreatesEverythingAndReopenKeepsRows)
{
    ASSERT_TRUE(db.Init(folder()));
    EXPECT_TRUE(QFile::exists(file()) && db.CheckTables() && db.GetAllFiles(noStop).isEmpty());
    ASSERT_TRUE(store(db, "/p/a.jpg", patternImage(24, 18, 1)));
    db.close();
    EXPECT_TRUE(db.GetThumbImage("/p/a.jpg").isNull() && db.GetImgWidth("/p/a.jpg") == 0);  // closed: missing
    EXPECT_FALSE(store(db, "/p/b.jpg", patternImage(24, 18, 1)));

    ThumbsDataBase again;
    ASSERT_TRUE(again.Init(folder()));
    EXPECT_EQ(again.GetAllFiles(noStop), QStringList{"/p/a.jpg"});
    EXPECT_EQ(again.GetImgWidth("/p/a.jpg"), 4000);
}

TEST_F(ThumbsDataBaseTest, UnreadableFileIsKeptAsideAndTheCacheStartsAfresh)
{
    ASSERT_TRUE(db.Init(folder()) && store(db, "/p/a.jpg", patternImage(24, 18, 1)));
    db.close();
    const QImage random = patternImage(64, 42, 3);  // 8 KB of random bytes
    const QByteArray cache = readFile(file()), noise(reinterpret_cast<const char*>(random.constBits()), 8064);
    const std::pair<const char*, QByteArray> cases[] = {{"random bytes", noise},
                                                        {"garbage after the header", cache.left(100) + noise},
                                                        {"a folder", QByteArray()}};
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        writeFile(file() + ".damaged", "an older one");
        QFile::remove(file());
        if (bytes.isEmpty())
            ASSERT_TRUE(QDir().mkdir(file()));
        else
            writeFile(file(), bytes);
        ASSERT_TRUE(db.Init(folder()));
        EXPECT_TRUE(db.GetAllFiles(noStop).isEmpty() && store(db, "/p/b.jpg", patternImage(4, 3, 1)));
        db.close();
        EXPECT_TRUE(bytes.isEmpty() ? QFileInfo(file() + ".damaged").isDir() : readFile(file() + ".damaged") == bytes);
        QDir(file() + ".damaged").removeRecursively();
    }
    // Another program's lock is no damage: the cache is left as it is.
    writeFile(file(), cache);
    sqlite3* holder = other();
    ASSERT_EQ(sqlite3_exec(holder, "PRAGMA journal_mode=DELETE; BEGIN EXCLUSIVE; DELETE FROM THUMBS", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    EXPECT_FALSE(db.Init(folder()));
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    ASSERT_TRUE(db.Init(folder()));
    EXPECT_EQ(db.GetAllFiles(noStop), QStringList{"/p/a.jpg"});
}

TEST_F(ThumbsDataBaseTest, SecondStoreReplacesEveryColumnAndPixelsRoundTrip)
{
    ASSERT_TRUE(db.Init(folder()));
    ASSERT_TRUE(store(db, "/p/a.jpg", patternImage(240, 180, 1), 10, 4000, 3000, 32));
    const QImage second = patternImage(135, 180, 2);  // 405 bytes of pixels, lines padded to 408
    ASSERT_EQ(second.bytesPerLine(), 408);
    ASSERT_TRUE(store(db, "/p/a.jpg", second, 20, 3000, 4000, 8));

    EXPECT_EQ((std::vector<qint64>{db.GetAllFiles(noStop).size(), db.GetThumbTime("/p/a.jpg").toSecsSinceEpoch(),
                                   db.GetImgWidth("/p/a.jpg"), db.GetImgHeight("/p/a.jpg"), db.GetImgBpp("/p/a.jpg")}),
              (std::vector<qint64>{1, 20, 3000, 4000, 8}));
    const QImage back = db.GetThumbImage("/p/a.jpg");
    ASSERT_EQ(back.format(), QImage::Format_RGB888);
    ASSERT_EQ(back.size(), QSize(135, 180));
    for (int y = 0; y < 180; ++y)
        ASSERT_EQ(std::memcmp(back.constScanLine(y), second.constScanLine(y), 405), 0) << y;
}

TEST_F(ThumbsDataBaseTest, AwkwardPathsAreStoredUnderTheirOwnText)
{
    ASSERT_TRUE(db.Init(folder()));
    const QString emoji = QString::fromUtf8("/p/\xF0\x9F\x98\x80.jpg");  // outside the BMP
    const QStringList paths = {"/p/100%d.jpg", "/p/50%%.jpg", "/p/it's.jpg", QString::fromUtf8("/p/\xC3\x84\xE2\x82\xAC.jpg"),
                               emoji};
    for (int i = 0; i < paths.size(); ++i)
        ASSERT_TRUE(store(db, paths[i], patternImage(4, 3, i), 100 + i)) << paths[i].toStdString();
    for (int i = 0; i < paths.size(); ++i)
        EXPECT_EQ(db.GetThumbTime(paths[i]).toSecsSinceEpoch(), 100 + i) << paths[i].toStdString();
    const QStringList all = db.GetAllFiles(noStop);
    EXPECT_TRUE(all.size() == paths.size() && !all.contains(emoji));  // listed under its 16-bit-truncated text
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(all.contains(paths[i])) << paths[i].toStdString();
}

TEST_F(ThumbsDataBaseTest, DamagedBlobsGiveNoThumbnail)
{
    ASSERT_TRUE(db.Init(folder()));
    ASSERT_TRUE(store(db, "/p/a.jpg", patternImage(4, 3, 1)));
    auto blob = [](std::uint32_t w, std::uint32_t h, std::uint32_t bpl, std::size_t rows) {
        std::vector<unsigned char> b(12 + rows);
        const std::uint32_t header[3] = {w, h, bpl};
        std::memcpy(b.data(), header, 12);
        return b;
    };
    const struct {
        const char* name;
        std::vector<unsigned char> data;
        bool valid;
    } cases[] = {
        {"intact", blob(4, 3, 12, 36), true},
        {"short header", std::vector<unsigned char>(11, 1), false},
        {"zero width", blob(0, 3, 12, 36), false},
        {"zero height", blob(4, 0, 12, 36), false},
        {"line shorter than pixels", blob(4, 3, 11, 36), false},
        {"one row byte missing", blob(4, 3, 12, 35), false},
        {"height x line wraps 32 bits", blob(1, 0x10000, 0x10000, 36), false},
        {"width x 3 wraps 32 bits", blob(0x55555556, 1, 2, 36), false},
    };
    sqlite3* raw = other();
    for (const auto& c : cases) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(raw, "UPDATE THUMBS SET THUMB_DATA=? WHERE FILENAME='/p/a.jpg'", -1, &st, nullptr);
        sqlite3_bind_blob(st, 1, c.data.data(), int(c.data.size()), SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
        EXPECT_EQ(!db.GetThumbImage("/p/a.jpg").isNull(), c.valid) << c.name;
    }
    sqlite3_close(raw);
}

// Rows shorter than three bytes a pixel of the thumbnail's width are refused and nothing
// is stored: no row for a new path, and a stored row keeps its thumbnail. Rows exactly
// as long as their pixels, without padding, are stored.
TEST_F(ThumbsDataBaseTest, RowsShorterThanTheirPixelsAreRefused)
{
    ASSERT_TRUE(db.Init(folder()));
    const QImage kept = patternImage(4, 3, 1);
    ASSERT_TRUE(store(db, "/p/a.jpg", kept));
    const QImage pixels = patternImage(8, 3, 2);  // lines of 24 bytes, room for every length tried
    ASSERT_EQ(pixels.bytesPerLine(), 24);
    auto set = [&](const QString& path, int bytesPerLine) {
        return db.SetThumb(path, QDateTime::fromSecsSinceEpoch(7, Qt::UTC), 640, 480, 24, 8, 3, bytesPerLine,
                           pixels.constBits());
    };
    for (const int bytesPerLine : {23, 8, 0}) {  // a byte short, a byte a pixel, none
        EXPECT_EQ(std::pair(set("/p/a.jpg", bytesPerLine), set("/p/b.jpg", bytesPerLine)), std::pair(false, false))
            << bytesPerLine;
        EXPECT_EQ(db.GetAllFiles(noStop), QStringList{"/p/a.jpg"}) << bytesPerLine;
        EXPECT_TRUE(db.GetImgWidth("/p/a.jpg") == 4000 && db.GetThumbImage("/p/a.jpg") == kept) << bytesPerLine;
    }
    ASSERT_TRUE(set("/p/b.jpg", 24));
    EXPECT_EQ(db.GetThumbImage("/p/b.jpg"), pixels);
}

TEST_F(ThumbsDataBaseTest, ModificationTimesAre64BitSeconds)
{
    ASSERT_TRUE(db.Init(folder()));
    for (const qint64 secs : {qint64(0), qint64(-86400), (qint64(1) << 31) + 5, (qint64(1) << 32) + 7}) {
        ASSERT_TRUE(store(db, "/p/t.jpg", patternImage(4, 3, 1), secs));
        const qint64 read[2] = {db.GetThumbTime("/p/t.jpg").toSecsSinceEpoch(), db.GetThumbSecs("/p/t.jpg").value_or(-1)};
        EXPECT_TRUE(read[0] == secs && read[1] == secs) << secs;
    }
    EXPECT_TRUE(!db.GetThumbSecs("/p/none.jpg") && db.GetThumbTime("/p/none.jpg").toSecsSinceEpoch() == 0);
}

TEST_F(ThumbsDataBaseTest, FailedCommitRollsBack)
{
    // A file with a rollback journal, opened while another connection is in the middle
    // of a query: its shared lock keeps the file in that mode and makes COMMIT fail.
    ASSERT_TRUE(db.Init(folder()));
    db.close();
    sqlite3* reader = other();
    ASSERT_EQ(sqlite3_exec(reader, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(reader, "SELECT name FROM sqlite_master", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    ASSERT_TRUE(db.Init(folder()));
    EXPECT_FALSE(store(db, "/p/a.jpg", patternImage(4, 3, 1)));
    sqlite3_finalize(st);
    sqlite3_close(reader);

    EXPECT_TRUE(store(db, "/p/b.jpg", patternImage(4, 3, 1)));
    db.close();
    ThumbsDataBase fresh;
    ASSERT_TRUE(fresh.Init(folder()));
    EXPECT_EQ(fresh.GetAllFiles(noStop), QStringList{"/p/b.jpg"});  // a not committed later by b's transaction
}

// A full disk: the cache that cannot be made at start stays closed for the session, also
// once there is room; one that fills up while open refuses writes, keeps its rows and
// takes the next write once there is room again (no transaction or statement left behind).
TEST_F(ThumbsDataBaseTest, FullDiskRefusesWritesAndTheNextWriteWithRoomIsStored)
{
    CacheSpace space;
    space.fill(db);
    EXPECT_FALSE(db.Init(folder()));  // no room for the table
    EXPECT_FALSE(store(db, "/p/a.jpg", patternImage(24, 18, 1)) || db.isOpen());
    space.free(db);
    EXPECT_FALSE(store(db, "/p/a.jpg", patternImage(24, 18, 1)) || db.isOpen());
    EXPECT_TRUE(db.GetThumbImage("/p/a.jpg").isNull() && db.GetAllFiles(noStop).isEmpty());
    ASSERT_TRUE(db.Init(folder()));  // the next session
    ASSERT_TRUE(store(db, "/p/a.jpg", patternImage(24, 18, 1)));

    space.fill(db);
    const QImage large = patternImage(240, 180, 2);  // 127 KB: pages the file does not have
    for (int round = 0; round < 2; ++round) {
        EXPECT_FALSE(store(db, "/p/b.jpg", large)) << round;
        EXPECT_FALSE(store(db, "/p/a.jpg", large)) << round;  // a replacement needs room too
    }
    EXPECT_EQ(db.GetAllFiles(noStop), QStringList{"/p/a.jpg"});
    EXPECT_EQ(db.GetThumbImage("/p/a.jpg"), patternImage(24, 18, 1));
    space.free(db);
    EXPECT_TRUE(store(db, "/p/b.jpg", large) && store(db, "/p/a.jpg", large));
    EXPECT_EQ(db.GetThumbImage("/p/a.jpg"), large);

    db.close();
    EXPECT_FALSE(store(db, "/p/c.jpg", large) || db.isOpen());
    ThumbsDataBase again;
    ASSERT_TRUE(again.Init(folder()));
    EXPECT_EQ(again.GetAllFiles(noStop), QStringList({"/p/a.jpg", "/p/b.jpg"}));
}

TEST_F(ThumbsDataBaseTest, RemoveStopsAfterTheCurrentPathAndCommits)
{
    ASSERT_TRUE(db.Init(folder()));
    for (const char* p : {"/p/a.jpg", "/p/b.jpg", "/p/c.jpg"})
        store(db, p, patternImage(4, 3, 1));
    const std::atomic<bool> stop{true};
    EXPECT_TRUE(db.RemoveThumbs({"", "/p/a.jpg", "/p/b.jpg"}, stop));  // the empty path counts
    EXPECT_EQ(db.GetAllFiles(noStop).size(), 3);
    EXPECT_TRUE(db.RemoveThumbs({"/p/a.jpg", "/p/b.jpg"}, stop));
    EXPECT_TRUE(db.GetAllFiles(noStop).size() == 2 && db.GetAllFiles(stop).size() == 1);
    EXPECT_TRUE(db.RemoveThumbs({"/p/b.jpg", "/p/c.jpg"}, noStop));
    EXPECT_TRUE(db.GetAllFiles(noStop).isEmpty());
}

}  // namespace
