// The picture tray's model: the ordered photo files of one panorama, a flat list of four
// columns (name, size, kind, date modified) that also answers each row's full path and
// file name in QFileSystemModel::FilePathRole and FileNameRole, as the thumbnail
// delegate expects. Every change asks the document first (IInputPhotos) and is dropped
// when it refuses. Files arrive as "text/uri-list" drops; the tray's own moves travel as
// a FileListMimeData payload whose format name is private to this model in this process.
//
// UI thread only. The main window owns the model and sets its observer (the document,
// not owned); a drag's FileListMimeData belongs to Qt's drag machinery.
#pragma once

#include <QAbstractItemModel>
#include <QDateTime>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QList>
#include <QMimeData>
#include <QStringList>

#include "document/document_interfaces.h"

// The drag payload of a move inside the tray: the dragged paths and the model they came
// from. It offers exactly one format, filesMimeType(source), with an empty body.
class FileListMimeData : public QMimeData {
    Q_OBJECT

public:
    static const QString s_mimeType;  // "application/x-storyboard"

    explicit FileListMimeData(const QObject* source);

    // s_mimeType for a null model, else s_mimeType-0x<process id>-0x<model address>.
    static QString filesMimeType(const QObject* model);
    QString buildMimeType() const { return filesMimeType(m_source); }

    const QStringList& files() const { return m_files; }
    const QObject* source() const { return m_source; }
    void setFiles(const QStringList& list) { m_files = list; }
    FileListMimeData& operator<<(const QString& path);
    bool hasFiles() const;

private:
    const QObject* m_source;  // the model that made the payload; never dereferenced
    QStringList m_files;
};

class FileListModel : public QAbstractItemModel {
    Q_OBJECT

public:
    static constexpr int kColumns = 4;

    explicit FileListModel(QObject* parent = nullptr);

    // Item model
    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;
    Qt::DropActions supportedDropActions() const override;
    Qt::DropActions supportedDragActions() const override;
    bool insertRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Queries; an index of another model or out of range answers empty values.
    int count() const { return int(m_files.size()); }
    bool empty() const { return m_files.isEmpty(); }
    QStringList fileList() const;
    bool containsPath(const QString& path) const;
    QModelIndex index(const QString& path, int column = 0) const;
    QModelIndexList indexes(const QString& path) const;
    QModelIndexList indexes(const QStringList& paths) const;
    QFileInfo fileInfo(const QModelIndex& index) const;
    QString filePath(const QModelIndex& index) const;
    QString fileName(const QModelIndex& index) const;
    QString fileType(const QModelIndex& index) const;
    QString fileTime(const QModelIndex& index) const;
    QString fileSize(const QModelIndex& index) const;
    QIcon fileIcon(const QModelIndex& index) const;
    qint64 size(const QModelIndex& index) const;
    QDateTime lastModified(const QModelIndex& index) const;
    bool isDir(const QModelIndex& index) const;

    // The size text of the size column: bytes, KB, MB (1 decimal), GB (2), TB (3).
    static QString sizeText(qint64 bytes);

    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    QFileIconProvider* iconProvider() const { return m_iconProvider; }
    void setIconProvider(QFileIconProvider* provider);
    void resetIconProvider();

    IInputPhotos* observer() const { return m_observer; }
    void setObserver(IInputPhotos* observer) { m_observer = observer; }
    // True without an observer, else the observer's answer.
    bool continueModification(const QStringList* added, const QStringList* removed, bool force);

    // The view calls this when a drag it started has ended: a refusal of that drag's
    // move no longer applies to later removals.
    void dragFinished() { m_moveRefused = false; }

public slots:
    void setFileList(const QStringList& list);
    void appendFiles(const QStringList& list);
    void removeFiles(const QStringList& list);
    void removeIndexes(const QModelIndexList& list);

private:
    bool validRow(const QModelIndex& index) const;
    void reset();

    bool m_readOnly = false;
    bool m_uniqueFiles = true;
    // Set when the observer refused a move inside the tray; while set, the removals
    // that the same drag asks for do nothing. Lives until that drag ends (or the next
    // one starts), never longer.
    bool m_moveRefused = false;
    QList<QFileInfo> m_files;
    QFileIconProvider* m_iconProvider;
    QFileIconProvider m_ownIconProvider;
    IInputPhotos* m_observer = nullptr;  // not owned
};
