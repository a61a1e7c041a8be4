// The picture tray's view (see storyboard_list_view.h). UI thread only.
#include "browser/storyboard_list_view.h"

#include <QKeyEvent>

#include "browser/file_list_model.h"

StoryboardListView::StoryboardListView(QWidget* parent) : QListView(parent) {}

void StoryboardListView::setModel(QAbstractItemModel* model)
{
    QListView::setModel(model);
    auto* files = qobject_cast<FileListModel*>(model);
    if (!files)
        return;
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerItem);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setViewMode(QListView::IconMode);
    setFlow(QListView::LeftToRight);
    setWrapping(false);
    setMovement(QListView::Snap);
    setResizeMode(QListView::Adjust);
    setLayoutMode(QListView::SinglePass);
    setUniformItemSizes(true);
    setAcceptDrops(true);
    setDragEnabled(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDragDropOverwriteMode(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    // Once only: a second delivery would remove by rows the first one already shifted.
    connect(this, &StoryboardListView::deleteIndexes, files, &FileListModel::removeIndexes, Qt::UniqueConnection);
}

void StoryboardListView::setReadOnly(bool readOnly)
{
    if (readOnly) {
        clearSelection();
        setSelectionMode(QAbstractItemView::NoSelection);
        setDragDropMode(QAbstractItemView::NoDragDrop);
    } else {
        setSelectionMode(QAbstractItemView::ExtendedSelection);
        setDragDropMode(QAbstractItemView::DragDrop);
    }
}

void StoryboardListView::keyPressEvent(QKeyEvent* event)
{
    QListView::keyPressEvent(event);
    if (!event->isAccepted() && event->key() == Qt::Key_Delete && selectionModel())
        emit deleteIndexes(selectionModel()->selectedIndexes());
}

void StoryboardListView::startDrag(Qt::DropActions supportedActions)
{
    QAbstractItemView::startDrag(supportedActions);
    // The drag is over: a move the document refused during it no longer holds back the
    // user's next removal.
    if (auto* files = qobject_cast<FileListModel*>(model()))
        files->dragFinished();
}

void StoryboardListView::dragMoveEvent(QDragMoveEvent* event)
{
    QAbstractItemView::dragMoveEvent(event);
}

void StoryboardListView::dropEvent(QDropEvent* event)
{
    QAbstractItemView::dropEvent(event);
}
