// The browser's file-system models and proxies (see browser_models.h). UI thread only;
// every key and rule is read from the file information the file-system model has
// already gathered, never from the disk.
#include "browser/browser_models.h"

#include <QDateTime>
#include <QDir>

bool IsDcf(const QString& name)
{
    if (name.size() != 8)
        return false;
    for (qsizetype i = 4; i < 8; ++i) {
        const QChar c = name.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

int GetDCFNumber(const QString& name)
{
    bool ok = false;
    const int number = name.right(4).toInt(&ok, 10);
    return ok ? number : -1;
}

// ---------------------------------------------------------------------------------------
// ThumbsFileSystemModel

ThumbsFileSystemModel::ThumbsFileSystemModel(QObject* parent) : QFileSystemModel(parent) {}

int ThumbsFileSystemModel::columnCount(const QModelIndex& parent) const
{
    const int base = QFileSystemModel::columnCount(parent);
    return base > 0 ? base + 1 : 0;
}

QVariant ThumbsFileSystemModel::dcfNumber(const QModelIndex& index) const
{
    // Not fileName(): that reads the display role of this very column.
    const QString name = QFileSystemModel::data(index, FileNameRole).toString();
    const QString base = name.left(name.indexOf(QLatin1Char('.')));  // whole name without a dot
    if (!IsDcf(base))
        return {};
    return GetDCFNumber(base);
}

QVariant ThumbsFileSystemModel::sortKey(const QModelIndex& index) const
{
    switch (index.column()) {
    case 0:
    case 2:
        return QFileSystemModel::data(index, Qt::DisplayRole);
    case 1:
        return size(index);  // qint64
    case 3:
        return lastModified(index);
    case kDcfColumn:
        return dcfNumber(index);
    default:
        return {};
    }
}

QVariant ThumbsFileSystemModel::data(const QModelIndex& index, int role) const
{
    if (role == Qt::UserRole)
        return index.isValid() ? sortKey(index) : QVariant();
    if (role == Qt::DisplayRole && index.column() >= kDcfColumn)
        return index.column() == kDcfColumn ? dcfNumber(index) : QVariant();
    return QFileSystemModel::data(index, role);
}

QVariant ThumbsFileSystemModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role == Qt::DisplayRole && section >= kDcfColumn)
        return section == kDcfColumn ? QVariant(tr("DCF Number")) : QVariant();
    return QFileSystemModel::headerData(section, orientation, role);
}

// ---------------------------------------------------------------------------------------
// FilesFilterModel

FilesFilterModel::FilesFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {}

void FilesFilterModel::releaseFileSystemModel()
{
    for (const QMetaObject::Connection& c : std::as_const(m_fsConnections))
        disconnect(c);
    m_fsConnections.clear();
    m_fsModel = nullptr;
    m_sortKeys.clear();
}

void FilesFilterModel::setSourceModel(QAbstractItemModel* model)
{
    releaseFileSystemModel();
    QSortFilterProxyModel::setSourceModel(model);
}

void FilesFilterModel::setSourceModel(QFileSystemModel* model)
{
    releaseFileSystemModel();
    if (model) {
        // Connected before the proxy's own connections, so the keys are forgotten
        // before the proxy re-sorts the changed rows.
        const auto forget = [this] { m_sortKeys.clear(); };
        m_fsConnections = {
            connect(model, &QAbstractItemModel::dataChanged, this, forget),
            connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, forget),
            connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this, forget),
            connect(model, &QAbstractItemModel::modelAboutToBeReset, this, forget),
        };
    }
    QSortFilterProxyModel::setSourceModel(model);
    m_fsModel = model;
    if (m_fsModel)
        m_fsConnections << connect(m_fsModel, &QFileSystemModel::rootPathChanged, this,
                                   &FilesFilterModel::onRootPathChanged);
}

void FilesFilterModel::onRootPathChanged(const QString& path)
{
    invalidate();
    if (m_fsModel)
        emit rootIndexChanged(mapFromSource(m_fsModel->index(path)));
}

bool FilesFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    const QModelIndex item = sourceModel()->index(sourceRow, filterKeyColumn(), sourceParent);
    if (!item.isValid())
        return true;
    if (!m_fsModel)
        return QSortFilterProxyModel::filterAcceptsRow(sourceRow, sourceParent);
    // Below the root (and, by the same plain string order, beside it) only files stay;
    // the root and the folders leading to it sort at or before it and stay visible.
    if (m_fsModel->rootPath() < m_fsModel->filePath(item)) {
        if (m_fsModel->isDir(item))
            return false;
        return QSortFilterProxyModel::filterAcceptsRow(sourceRow, sourceParent);
    }
    return true;
}

QVariant FilesFilterModel::sortKey(const QModelIndex& source) const
{
    if (source.column() != m_sortKeysColumn) {
        m_sortKeys.clear();
        m_sortKeysColumn = source.column();
    }
    auto it = m_sortKeys.find(source.internalPointer());
    if (it == m_sortKeys.end())
        it = m_sortKeys.insert(source.internalPointer(), m_fsModel->data(source, Qt::UserRole));
    return *it;
}

bool FilesFilterModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    if (!m_fsModel)
        return QSortFilterProxyModel::lessThan(left, right);
    const QVariant l = sortKey(left);
    const QVariant r = sortKey(right);
    if (!l.isValid())
        return false;
    if (!r.isValid())
        return true;
    switch (l.typeId()) {
    case QMetaType::Int:
        return l.toInt() < r.toInt();
    case QMetaType::UInt:
        return l.toUInt() < r.toUInt();
    case QMetaType::LongLong:
        return l.toLongLong() < r.toLongLong();
    case QMetaType::ULongLong:
        return l.toULongLong() < r.toULongLong();
    case QMetaType::Double:
        return l.toDouble() < r.toDouble();
    case QMetaType::QChar:
        return l.toChar() < r.toChar();
    case QMetaType::QDate:
        return l.toDate() < r.toDate();
    case QMetaType::QTime:
        return l.toTime() < r.toTime();
    case QMetaType::QDateTime:
        return l.toDateTime() < r.toDateTime();
    default:
        return QString::compare(l.toString(), r.toString(), Qt::CaseSensitive) < 0;
    }
}

// ---------------------------------------------------------------------------------------
// QMacDirModel, DirFilterModel, ThumbIconProvider

QMacDirModel::QMacDirModel() : QFileSystemModel() {}

QMacDirModel::QMacDirModel(QObject* parent) : QFileSystemModel(parent) {}

DirFilterModel::DirFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {}

void DirFilterModel::setSourceModel(QAbstractItemModel* model)
{
    m_dirModel = qobject_cast<QFileSystemModel*>(model);
    QSortFilterProxyModel::setSourceModel(model);
}

void DirFilterModel::setSourceModel(QFileSystemModel* model)
{
    setSourceModel(static_cast<QAbstractItemModel*>(model));
}

namespace {

// True for the home folder itself and every folder above it.
bool leadsToHome(const QString& path, const QString& home)
{
    if (path.isEmpty() || !home.startsWith(path))
        return false;
    return home.size() == path.size() || path.endsWith(QLatin1Char('/')) || home.at(path.size()) == QLatin1Char('/');
}

}  // namespace

bool DirFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    const QModelIndex item = sourceModel()->index(sourceRow, filterKeyColumn(), sourceParent);
    if (!item.isValid() || !m_dirModel)
        return true;
    const QFileInfo info = m_dirModel->fileInfo(item);
    const QString name = info.fileName();
    // The model's path of the entry, not its file information's: an entry made up on the
    // way to a folder looked up by path ("/home" for the stored folder at start-up) carries
    // "//home" there until its listing comes in.
    const QString path = m_dirModel->filePath(item);

    // The way to the user's own folders stays open whatever the rules below say: on
    // Linux it passes through /home, which the rule on "home" would hide.
    if (leadsToHome(path, QDir::homePath()))
        return true;
    if (info.isHidden() && name.compare(QLatin1String("Volumes"), Qt::CaseInsensitive) != 0)
        return false;
    if (name.compare(QLatin1String("home"), Qt::CaseInsensitive) == 0
        || name.compare(QLatin1String("net"), Qt::CaseInsensitive) == 0)
        return false;
    if (info.isBundle() || info.isSymLink())
        return false;
    if (path == QLatin1String("/dev") || path == QLatin1String("/bin"))
        return false;
    if (name.endsWith(QLatin1String(".app"), Qt::CaseInsensitive))
        return false;
    return true;
}

QIcon ThumbIconProvider::icon(const QFileInfo& info) const
{
    return QFileIconProvider::icon(info);
}
