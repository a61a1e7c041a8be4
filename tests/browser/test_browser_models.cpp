// The browser's models on real folders: camera file numbers, typed sorting (sizes as
// numbers, dates as dates, non-camera names last), the file views' filter (no
// sub-folders, the root change announced) and the folder tree's filter. The
// file-system models load asynchronously; every test waits for directoryLoaded.
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "browser/browser_models.h"

static void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

void writeFile(const QString& path, qint64 bytes, const QDateTime& modified = {})
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << qPrintable(path);
    file.write(QByteArray(bytes, 'x'));
    file.flush();  // a later write would stamp the file again
    ASSERT_TRUE(!modified.isValid() || file.setFileTime(modified, QFileDevice::FileModificationTime));
}

// Sets the model's root and waits until the folder's entries are in.
bool loadFolder(QFileSystemModel& model, const QString& path)
{
    QSignalSpy loaded(&model, &QFileSystemModel::directoryLoaded);
    model.setRootPath(path);
    const QString wanted = QDir(path).canonicalPath();
    for (;;) {
        for (const QList<QVariant>& args : std::as_const(loaded))
            if (QDir(args.at(0).toString()).canonicalPath() == wanted)
                return true;
        if (!loaded.wait(20000))
            return false;
    }
}

// Names of the proxy's rows under the proxy index of a source folder, in proxy order.
QStringList rowNames(const QSortFilterProxyModel& proxy, const QFileSystemModel& source, const QString& folder)
{
    const QModelIndex parent = proxy.mapFromSource(source.index(folder));
    QStringList list;
    for (int row = 0; row < proxy.rowCount(parent); ++row)
        list << proxy.index(row, 0, parent).data().toString();
    return list;
}

}  // namespace

TEST(Dcf, NamesAndNumbers)
{
    const struct {
        const char* name;
        bool dcf;
        int number;
    } cases[] = {
        {"IMG_1234", true, 1234}, {"DSC01234", true, 1234}, {"ABCD0000", true, 0}, {"IMG_12345", false, 2345},
        {"IMG_12a4", false, -1}, {"IMG_x234", false, -1}, {"photo", false, -1}, {"", false, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsDcf(c.name), c.dcf) << c.name;
        EXPECT_EQ(GetDCFNumber(c.name), c.number) << c.name;
    }
}

struct FileViews : ::testing::Test {
    QTemporaryDir dir;
    ThumbsFileSystemModel files;
    FilesFilterModel proxy;

    void SetUp() override
    {
        const QDateTime base = QDateTime::currentDateTime().addDays(-10);
        // name, size, age: sizes whose texts sort the other way round ("10 KB" < "9 KB"),
        // dates in yet another order.
        writeFile(dir.filePath("IMG_1234.jpg"), 9 * 1024, base.addSecs(300));
        writeFile(dir.filePath("DSC00077.jpg"), 10 * 1024, base.addSecs(100));
        writeFile(dir.filePath("photo.jpg"), 100, base.addSecs(400));
        writeFile(dir.filePath("IMG_12a4.jpg"), 200 * 1024, base.addSecs(200));
        writeFile(dir.filePath("IMG_12345.jpg"), 1, base);
        writeFile(dir.filePath("notes.txt"), 10);
        ASSERT_TRUE(QDir(dir.path()).mkdir("sub.jpg"));  // a folder that matches the pattern

        files.setReadOnly(true);
        files.setFilter(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
        files.setNameFilters({"*.jpg", "*.bmp", "*.png", "*.tif"});
        files.setNameFilterDisables(false);
        proxy.setDynamicSortFilter(true);
        proxy.setSortRole(Qt::UserRole);
        proxy.setSourceModel(&files);
        ASSERT_TRUE(loadFolder(files, dir.path()));
    }

    QStringList sorted(int column, Qt::SortOrder order = Qt::AscendingOrder)
    {
        proxy.sort(column, order);
        return rowNames(proxy, files, dir.path());
    }
};

TEST_F(FileViews, SortKeysAreTypedAndNonCameraNamesComeLast)
{
    EXPECT_EQ(sorted(1), (QStringList{"IMG_12345.jpg", "photo.jpg", "IMG_1234.jpg", "DSC00077.jpg", "IMG_12a4.jpg"}));
    EXPECT_EQ(sorted(3), (QStringList{"IMG_12345.jpg", "DSC00077.jpg", "IMG_12a4.jpg", "IMG_1234.jpg", "photo.jpg"}));
    const QStringList byNumber = sorted(ThumbsFileSystemModel::kDcfColumn);
    EXPECT_EQ(byNumber.mid(0, 2), (QStringList{"DSC00077.jpg", "IMG_1234.jpg"}));
    EXPECT_EQ(QSet<QString>(byNumber.begin() + 2, byNumber.end()),
              (QSet<QString>{"photo.jpg", "IMG_12a4.jpg", "IMG_12345.jpg"}));

    const QModelIndex img = files.index(dir.filePath("IMG_1234.jpg"));
    EXPECT_EQ(files.headerData(4, Qt::Horizontal).toString(), "DCF Number");
    EXPECT_EQ(files.index(img.row(), 4, img.parent()).data().toInt(), 1234);
    EXPECT_EQ(files.data(files.index(img.row(), 1, img.parent()), Qt::UserRole).typeId(), QMetaType::LongLong);
}

// A file saved anew while its folder is shown (written beside and renamed over, as
// programs save) moves to its new place, by size and by date.
TEST_F(FileViews, RewrittenFileMovesToItsNewPlace)
{
    const auto rewrite = [&](const QString& name, qint64 bytes) {
        QSaveFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(QByteArray(bytes, 'x')) == bytes && file.commit());
    };
    // The file-system model sees the change through its watcher.
    const auto becomes = [&](const QStringList& wanted) {
        QTest::qWaitFor([&] { return rowNames(proxy, files, dir.path()) == wanted; }, 20000);
        return rowNames(proxy, files, dir.path());
    };
    ASSERT_EQ(sorted(1).first(), "IMG_12345.jpg");
    rewrite("IMG_12345.jpg", 300 * 1024);
    const QStringList bySize{"photo.jpg", "IMG_1234.jpg", "DSC00077.jpg", "IMG_12a4.jpg", "IMG_12345.jpg"};
    EXPECT_EQ(becomes(bySize), bySize);

    ASSERT_EQ(sorted(3).first(), "DSC00077.jpg");
    rewrite("DSC00077.jpg", 10 * 1024);
    const QStringList byDate{"IMG_12a4.jpg", "IMG_1234.jpg", "photo.jpg", "IMG_12345.jpg", "DSC00077.jpg"};
    EXPECT_EQ(becomes(byDate), byDate);
}

TEST_F(FileViews, OnlyTheRootsFilesRemainAndTheRootChangeIsAnnounced)
{
    const QStringList byName = sorted(0);
    EXPECT_EQ(QSet<QString>(byName.begin(), byName.end()),
              (QSet<QString>{"DSC00077.jpg", "IMG_12345.jpg", "IMG_1234.jpg", "IMG_12a4.jpg", "photo.jpg"}));

    const QString sub = dir.filePath("sub.jpg");
    writeFile(sub + "/inner.jpg", 5);
    QStringList announced;  // read at once: a proxy index is only good until the next change
    QObject::connect(&proxy, &FilesFilterModel::rootIndexChanged, [&](const QModelIndex& root) {
        announced << files.filePath(proxy.mapToSource(root));
    });
    ASSERT_TRUE(loadFolder(files, sub));
    EXPECT_EQ(announced, QStringList{sub});
    EXPECT_EQ(rowNames(proxy, files, sub), QStringList{"inner.jpg"});
}

// Hidden folders, bundles, links, "home" and "net" in any case, /dev and /bin go; the
// folders on the way to the user's home folder stay, whatever their names.
TEST(FolderTree, HidesHiddenBundlesLinksHomeNetAndSystemFoldersButNeverTheWayHome)
{
    QTemporaryDir tree;
    QDir root(tree.path());
    for (const char* name : {".hidden", "x.app", "Photos.APP", "real", "home/me", "NET", "realhome/Home", "realhome/net"})
        ASSERT_TRUE(root.mkpath(name));
    ASSERT_TRUE(QFile::link(root.filePath("real"), root.filePath("link")));
    ASSERT_TRUE(QFile::link(root.filePath("realhome"), root.filePath("homelink")));

    const QByteArray savedHome = qgetenv("HOME");
    QMacDirModel dirs;
    dirs.setReadOnly(true);
    dirs.setFilter(QDir::Dirs | QDir::AllDirs | QDir::Drives | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    DirFilterModel proxy;
    proxy.setSourceModel(&dirs);
    ASSERT_TRUE(loadFolder(dirs, tree.path()));
    ASSERT_TRUE(loadFolder(dirs, root.filePath("realhome")));
    const struct {
        const char* home;  // under the temporary folder
        QStringList top, inRealhome;
    } cases[] = {
        {"home/me", {"home", "real", "realhome"}, {}},
        {"homelink", {"homelink", "real", "realhome"}, {}},  // a home reached through a link
        {"realhome/net", {"real", "realhome"}, {"net"}},
        {"elsewhere", {"real", "realhome"}, {}},
    };
    for (const auto& c : cases) {
        qputenv("HOME", root.filePath(c.home).toLocal8Bit());
        proxy.invalidate();
        QStringList top = rowNames(proxy, dirs, tree.path()), inRealhome = rowNames(proxy, dirs, root.filePath("realhome"));
        top.sort();
        EXPECT_EQ(std::pair(top, inRealhome), std::pair(c.top, c.inRealhome)) << c.home;
    }

    // The whole file system: the system folders go; /home only on the way home.
    ASSERT_TRUE(loadFolder(dirs, "/"));
    for (const char* home : {"/home/someone", "/root"}) {
        qputenv("HOME", home);
        proxy.invalidate();
        const QStringList top = rowNames(proxy, dirs, "/");
        EXPECT_FALSE(top.contains("dev") || top.contains("bin")) << home;
        if (QFileInfo("/home").isDir() && !QFileInfo("/home").isSymLink()) {
            EXPECT_EQ(top.contains("home"), QByteArray(home) != "/root") << home;
        }
    }

    // A folder looked up by its path before any listing has come in (the stored folder at
    // start-up): the model makes up the entries on the way, and the way home stays open
    // through them too.
    for (const char* home : {"home/me", "realhome/net"}) {
        qputenv("HOME", root.filePath(home).toLocal8Bit());
        QMacDirModel fresh;
        fresh.setFilter(dirs.filter());
        fresh.setRootPath(QDir::rootPath());
        DirFilterModel freshProxy;
        freshProxy.setSourceModel(&fresh);
        for (QModelIndex way = fresh.index(root.filePath(home)); way.isValid(); way = way.parent())
            EXPECT_TRUE(freshProxy.mapFromSource(way).isValid()) << fresh.filePath(way).toStdString();
    }
    qputenv("HOME", savedHome);
}
