// The picture tray's model and its drag payload (see file_list_model.h). UI thread only.
#include "browser/file_list_model.h"

#include <QCoreApplication>
#include <QFileSystemModel>
#include <QImage>
#include <QLocale>
#include <QLoggingCategory>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <functional>

namespace {
Q_LOGGING_CATEGORY(lcTray, "vistaloom.tray", QtWarningMsg)

const QString kUriList = QStringLiteral("text/uri-list");
}  // namespace

// ---------------------------------------------------------------------------------------
// FileListMimeData

const QString FileListMimeData::s_mimeType = QStringLiteral("application/x-storyboard");

FileListMimeData::FileListMimeData(const QObject* source) : m_source(source)
{
    setData(filesMimeType(source), QByteArray());
}

QString FileListMimeData::filesMimeType(const QObject* model)
{
    if (!model)
        return s_mimeType;
    return QStringLiteral("%1-0x%2-0x%3")
        .arg(s_mimeType)
        .arg(QCoreApplication::applicationPid(), 32, 16, QLatin1Char('0'))
        .arg(reinterpret_cast<quintptr>(model), 8, 16, QLatin1Char('0'));
}

FileListMimeData& FileListMimeData::operator<<(const QString& path)
{
    m_files << path;
    return *this;
}

bool FileListMimeData::hasFiles() const
{
    return hasFormat(filesMimeType(m_source)) && !m_files.isEmpty();
}

// ---------------------------------------------------------------------------------------
// FileListModel: item model basics

FileListModel::FileListModel(QObject* parent) : QAbstractItemModel(parent), m_iconProvider(&m_ownIconProvider) {}

bool FileListModel::validRow(const QModelIndex& index) const
{
    return index.isValid() && index.model() == this && index.row() < m_files.size();
}

QModelIndex FileListModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column < 0 || row >= rowCount(parent) || column >= columnCount(parent))
        return {};
    return createIndex(row, column);
}

QModelIndex FileListModel::parent(const QModelIndex&) const
{
    return {};
}

int FileListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

int FileListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

bool FileListModel::hasChildren(const QModelIndex& parent) const
{
    return !parent.isValid();
}

QVariant FileListModel::data(const QModelIndex& index, int role) const
{
    if (!validRow(index))
        return {};
    const QFileInfo& info = m_files.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (index.column()) {
        case 0:
            return info.fileName();
        case 1:
            return sizeText(info.size());
        case 2:
            return m_iconProvider ? m_iconProvider->type(info) : QString();
        case 3:
            return fileTime(index);
        default:
            qWarning("data: invalid display value column %d", index.column());
            return {};
        }
    case Qt::DecorationRole:
        return index.column() == 0 ? QVariant(fileIcon(index)) : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() == 1 ? QVariant(int(Qt::AlignRight)) : QVariant();
    case QFileSystemModel::FilePathRole:
        return info.filePath();
    case QFileSystemModel::FileNameRole:
        return info.fileName();
    default:
        return {};
    }
}

bool FileListModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (role != QFileSystemModel::FilePathRole || !validRow(index))
        return false;
    m_files[index.row()].setFile(value.toString());
    emit dataChanged(index, index);
    return true;
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role == Qt::DecorationRole) {
        if (section != 0)
            return {};
        // A blank icon keeps the name header's text where the names start below it.
        QImage blank(16, 1, QImage::Format_ARGB32);
        blank.fill(Qt::transparent);
        return blank;
    }
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignLeft);
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        switch (section) {
        case 0:
            return tr("Name");
        case 1:
            return tr("Size");
        case 2:
            return tr("Kind", "Match OS X Finder");
        case 3:
            return tr("Date Modified");
        default:
            return {};
        }
    }
    return QAbstractItemModel::headerData(section, orientation, role);
}

Qt::ItemFlags FileListModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags f = QAbstractItemModel::flags(index);
    if (index.isValid())
        f |= Qt::ItemIsDragEnabled;
    if (!m_readOnly)
        f |= Qt::ItemIsDropEnabled;
    return f;
}

void FileListModel::sort(int, Qt::SortOrder)
{
    // The tray keeps the user's order; views are only told to lay out again.
    emit layoutAboutToBeChanged();
    emit layoutChanged();
}

bool FileListModel::insertRows(int row, int count, const QModelIndex& parent)
{
    if (count < 1 || row < 0 || row > m_files.size() || m_readOnly || parent.isValid())
        return false;
    beginInsertRows(QModelIndex(), row, row + count - 1);
    m_files.insert(row, count, QFileInfo());
    endInsertRows();
    return true;
}

bool FileListModel::removeRows(int row, int count, const QModelIndex& parent)
{
    if (count < 1 || row < 0)
        return false;
    if (qint64(row) + count > rowCount(parent) || m_readOnly)
        return false;
    if (m_moveRefused)  // a removal of a move the document refused: keep the rows
        return false;
    QStringList paths;
    for (int i = row; i < row + count; ++i)
        paths << m_files.at(i).filePath();
    // The rows go out as "added" paths: a document that counts a path it already holds
    // as no change then sees the removal half of a move inside the tray as no change.
    if (!continueModification(&paths, nullptr, false))
        return false;
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    m_files.remove(row, count);
    endRemoveRows();
    return true;
}

void FileListModel::reset()
{
    beginResetModel();
    endResetModel();
}

// ---------------------------------------------------------------------------------------
// Queries

QStringList FileListModel::fileList() const
{
    QStringList list;
    list.reserve(m_files.size());
    for (const QFileInfo& info : m_files)
        list << info.filePath();
    return list;
}

bool FileListModel::containsPath(const QString& path) const
{
    return std::any_of(m_files.cbegin(), m_files.cend(), [&](const QFileInfo& i) { return i.filePath() == path; });
}

QModelIndex FileListModel::index(const QString& path, int column) const
{
    for (int row = 0; row < m_files.size(); ++row)
        if (m_files.at(row).filePath() == path)
            return index(row, column);
    return {};
}

QModelIndexList FileListModel::indexes(const QString& path) const
{
    QModelIndexList list;
    for (int row = 0; row < m_files.size(); ++row)
        if (m_files.at(row).filePath() == path)
            list << createIndex(row, 0);
    return list;
}

QModelIndexList FileListModel::indexes(const QStringList& paths) const
{
    QModelIndexList list;
    for (const QString& path : paths)
        list << indexes(path);
    return list;
}

QFileInfo FileListModel::fileInfo(const QModelIndex& index) const
{
    return validRow(index) ? m_files.at(index.row()) : QFileInfo();
}

QString FileListModel::filePath(const QModelIndex& index) const
{
    return validRow(index) ? m_files.at(index.row()).filePath() : QString();
}

QString FileListModel::fileName(const QModelIndex& index) const
{
    return validRow(index) ? m_files.at(index.row()).fileName() : QString();
}

QString FileListModel::fileType(const QModelIndex& index) const
{
    return validRow(index) && m_iconProvider ? m_iconProvider->type(m_files.at(index.row())) : QString();
}

QString FileListModel::fileTime(const QModelIndex& index) const
{
    if (!validRow(index))
        return {};
    return QLocale::system().toString(m_files.at(index.row()).lastModified(), QLocale::ShortFormat);
}

QString FileListModel::fileSize(const QModelIndex& index) const
{
    return validRow(index) ? sizeText(m_files.at(index.row()).size()) : QString();
}

QString FileListModel::sizeText(qint64 bytes)
{
    constexpr qint64 kKB = 1024, kMB = kKB * 1024, kGB = kMB * 1024, kTB = kGB * 1024;
    const QLocale locale;
    if (bytes >= kTB)
        return tr("%1 TB").arg(locale.toString(double(bytes) / kTB, 'f', 3));
    if (bytes >= kGB)
        return tr("%1 GB").arg(locale.toString(double(bytes) / kGB, 'f', 2));
    if (bytes >= kMB)
        return tr("%1 MB").arg(locale.toString(double(bytes) / kMB, 'f', 1));
    if (bytes >= kKB)
        return tr("%1 KB").arg(locale.toString(bytes / kKB));
    return tr("%1 bytes").arg(locale.toString(bytes));
}

QIcon FileListModel::fileIcon(const QModelIndex& index) const
{
    if (!validRow(index) || !m_iconProvider)
        return {};
    const QFileInfo& info = m_files.at(index.row());
    QIcon icon = m_iconProvider->icon(info);
    if (icon.isNull())
        icon = m_iconProvider->icon(info.isDir() ? QFileIconProvider::Folder : QFileIconProvider::File);
    return icon;
}

qint64 FileListModel::size(const QModelIndex& index) const
{
    return validRow(index) ? m_files.at(index.row()).size() : 0;
}

QDateTime FileListModel::lastModified(const QModelIndex& index) const
{
    return validRow(index) ? m_files.at(index.row()).lastModified() : QDateTime();
}

bool FileListModel::isDir(const QModelIndex& index) const
{
    return validRow(index) && m_files.at(index.row()).isDir();
}

void FileListModel::setIconProvider(QFileIconProvider* provider)
{
    m_iconProvider = provider;
    reset();
}

void FileListModel::resetIconProvider()
{
    setIconProvider(&m_ownIconProvider);
}

bool FileListModel::continueModification(const QStringList* added, const QStringList* removed, bool force)
{
    return !m_observer || m_observer->continueModification(added, removed, force);
}

// ---------------------------------------------------------------------------------------
// Changes from the window's commands

void FileListModel::setFileList(const QStringList& list)
{
    m_files.clear();
    for (const QString& path : list)
        m_files << QFileInfo(path);
    reset();
}

void FileListModel::appendFiles(const QStringList& list)
{
    QStringList toAdd;
    for (const QString& path : list)
        if (!m_uniqueFiles || !containsPath(path))
            toAdd << path;
    if (toAdd.isEmpty())
        return;
    if (!continueModification(&toAdd, nullptr, false))
        return;
    const int n = count();
    beginInsertRows(QModelIndex(), n, n + int(toAdd.size()) - 1);
    for (const QString& path : toAdd) {
        qCDebug(lcTray) << "Append file " << path;
        m_files << QFileInfo(path);
    }
    endInsertRows();
}

void FileListModel::removeFiles(const QStringList& list)
{
    if (list.isEmpty())
        return;
    if (!continueModification(nullptr, &list, false))
        return;
    // From the end, so that removing a row never moves an unvisited one.
    for (const QString& path : list)
        for (int row = count() - 1; row >= 0; --row)
            if (m_files.at(row).filePath() == path)
                removeRows(row, 1);
}

void FileListModel::removeIndexes(const QModelIndexList& list)
{
    // A row selection brings one index per column: each row counts once, by column 0.
    QList<int> rows;
    QSet<int> seen;
    QStringList paths;
    for (const QModelIndex& index : list) {
        if (index.column() != 0 || !validRow(index) || seen.contains(index.row()))
            continue;
        seen.insert(index.row());
        rows << index.row();
        paths << m_files.at(index.row()).filePath();
        qCDebug(lcTray) << "Remove file " << paths.last();
    }
    if (!continueModification(nullptr, &paths, false))
        return;
    // Highest rows first, each run of adjacent rows in one removal, so that no removal
    // moves a row still to be removed.
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (qsizetype i = 0; i < rows.size();) {
        qsizetype j = i;
        while (j + 1 < rows.size() && rows.at(j + 1) == rows.at(j) - 1)
            ++j;
        removeRows(rows.at(j), int(j - i + 1));
        i = j + 1;
    }
}

// ---------------------------------------------------------------------------------------
// Drag and drop

Qt::DropActions FileListModel::supportedDropActions() const
{
    return Qt::CopyAction | Qt::MoveAction;
}

Qt::DropActions FileListModel::supportedDragActions() const
{
    // A tray that holds each photo once can only move its photos, never copy them.
    return m_uniqueFiles ? Qt::MoveAction : QAbstractItemModel::supportedDragActions();
}

QStringList FileListModel::mimeTypes() const
{
    return {kUriList, FileListMimeData::filesMimeType(this)};
}

QMimeData* FileListModel::mimeData(const QModelIndexList& indexes) const
{
    auto* data = new FileListMimeData(this);
    for (const QModelIndex& index : indexes)
        if (index.column() == 0 && validRow(index))
            *data << m_files.at(index.row()).filePath();
    return data;
}

bool FileListModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int, const QModelIndex& parent)
{
    if (m_readOnly || !data)
        return false;
    if (action == Qt::IgnoreAction)
        return true;

    QStringList paths;
    if (!data->hasFormat(kUriList)) {
        // Only this model's own payload: a tray of another model or process names
        // another format.
        const auto* own = qobject_cast<const FileListMimeData*>(data);
        if (!own || !own->hasFiles() || !own->hasFormat(FileListMimeData::filesMimeType(this)))
            return false;
        if (m_uniqueFiles && action != Qt::MoveAction)
            return false;
        paths = own->files();
        if (!continueModification(nullptr, nullptr, true)) {
            if (action == Qt::MoveAction)
                m_moveRefused = true;
            return false;
        }
    } else {
        for (const QUrl& url : data->urls()) {
            const QString path = url.toLocalFile();
            if (path.isEmpty())  // not a local file: nothing to show on the tray
                continue;
            if (m_uniqueFiles && containsPath(path))
                continue;
            paths << path;
        }
        if (!continueModification(&paths, nullptr, false))
            return false;
    }
    if (paths.isEmpty())
        return false;

    int at = row;
    if (at < 0 || at > count())
        at = parent.isValid() && parent.model() == this ? std::min(parent.row(), count()) : count();
    beginInsertRows(QModelIndex(), at, at + int(paths.size()) - 1);
    for (const QString& path : paths)
        m_files.insert(at++, QFileInfo(path));
    endInsertRows();
    return true;
}
