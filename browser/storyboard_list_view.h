// The picture tray's view: one row of thumbnails, scrolled sideways, that takes drops
// of photo files, moves its own photos by dragging and removes the selected ones on
// the Delete key. Drags and drops always go through the model (mimeData, dropMimeData,
// removeRows), never through the icon view's free placement of icons, so every change
// passes the document's veto. UI thread only; the model is the window's.
#pragma once

#include <QListView>

class StoryboardListView : public QListView {
    Q_OBJECT

public:
    explicit StoryboardListView(QWidget* parent = nullptr);

    // With a FileListModel: the tray's layout and drag-and-drop set-up, and Delete wired
    // to the model's removeIndexes.
    void setModel(QAbstractItemModel* model) override;
    // Read-only: no selection and no drag and drop (the model's own flag is not touched).
    void setReadOnly(bool readOnly);

signals:
    void deleteIndexes(const QModelIndexList& indexes);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
