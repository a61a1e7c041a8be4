// The item models behind the photo browser: the folder tree's file-system model and the
// proxy that hides system folders, bundles, links and applications from it; the file
// views' file-system model with its extra "DCF Number" column and typed sort keys, and
// the proxy that keeps only the current folder's files and sorts them by those keys.
//
// Everything here lives on the UI thread. The file-system models gather file
// information on Qt's own worker thread and announce it asynchronously
// (`directoryLoaded`); the proxies only read what the source model has cached, so a
// sort or a filter pass never touches the disk. The main window owns every model; a
// proxy holds a plain pointer to its source and forgets it when given another source.
#pragma once

#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QHash>
#include <QList>
#include <QSortFilterProxyModel>

// A camera file name (Design rule for Camera File system): exactly eight characters of
// which the last four are decimal digits, as in IMG_1234 or DSC01234.
bool IsDcf(const QString& name);
// The last four characters of a name as a decimal number, -1 when they are not one.
int GetDCFNumber(const QString& name);

// The file views' model: the four columns of QFileSystemModel (name, size, type, date
// modified) and a fifth, the DCF number of the file's base name. Qt::UserRole gives a
// typed sort key per column (text, 64-bit size, text, date, int) so that sizes, dates
// and camera numbers compare as numbers and dates, not as text.
class ThumbsFileSystemModel : public QFileSystemModel {
    Q_OBJECT

public:
    static constexpr int kDcfColumn = 4;

    explicit ThumbsFileSystemModel(QObject* parent = nullptr);

    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QVariant dcfNumber(const QModelIndex& index) const;
    QVariant sortKey(const QModelIndex& index) const;
};

// A file view's proxy over a QFileSystemModel: under the model's root path only files
// remain (sub-folders are dropped); the chain of folders leading to the root stays, so
// the view can be rooted there. Sorting compares the source's Qt::UserRole keys by
// their type; items without a key come after all others in ascending order.
//
// The keys are remembered per source item while the source stays unchanged: a date key
// is a local time, and each conversion to local time makes the C library look at the
// time-zone file, which would be a file-system call per comparison. Any change of the
// source (data, removals, layout, reset) or of the sort column forgets them.
class FilesFilterModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit FilesFilterModel(QObject* parent = nullptr);

    void setSourceModel(QAbstractItemModel* model) override;
    virtual void setSourceModel(QFileSystemModel* model);

signals:
    // The proxy index of the source's new root path, for the views' setRootIndex.
    void rootIndexChanged(const QModelIndex& index);

public slots:
    void onRootPathChanged(const QString& path);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    void releaseFileSystemModel();
    QVariant sortKey(const QModelIndex& source) const;

    QFileSystemModel* m_fsModel = nullptr;  // not owned
    QList<QMetaObject::Connection> m_fsConnections;
    mutable QHash<const void*, QVariant> m_sortKeys;  // source item -> key of m_sortKeysColumn
    mutable int m_sortKeysColumn = -1;
};

// The folder tree's model.
class QMacDirModel : public QFileSystemModel {
    Q_OBJECT

public:
    QMacDirModel();
    explicit QMacDirModel(QObject* parent);
};

// The folder tree's proxy: hides hidden entries, bundles, symbolic links, the system
// folders /dev and /bin and anything named *.app. The user's home folder and every
// folder on the way to it always stay visible, so the user can reach their photos
// even when the home is reached through a link (as /home is on some systems).
class DirFilterModel : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit DirFilterModel(QObject* parent = nullptr);

    // A QFileSystemModel source is remembered for the rules; any other source turns
    // the rules off.
    void setSourceModel(QAbstractItemModel* model) override;
    void setSourceModel(QFileSystemModel* model);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QFileSystemModel* m_dirModel = nullptr;  // not owned
};

// The file views' icon provider; the system's icons for now.
class ThumbIconProvider : public QFileIconProvider {
public:
    QIcon icon(const QFileInfo& info) const override;
    using QFileIconProvider::icon;
};
