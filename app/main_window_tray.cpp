// The picture tray's commands: "Add" and double clicks in the file views put the
// browser's files on the tray, "&Open images..." adds through a file dialog, "&Remove",
// a double click on the tray, "Remove All Images" and the tray's context menu take photos
// off. Every change passes the tray model's observer (the document), which may refuse it.
//
// The user's commands act only in the task "1. Add Images": in the other tasks the tray
// shows the photos being stitched. The model itself stays writable there, because the
// document removes photos of odd sizes through it. Photos are absolute file paths. GUI
// thread only.
#include <QMenu>

#include "app/desktop_seam.h"
#include "app/main_window.h"
#include "browser/browser_models.h"
#include "browser/file_list_model.h"
#include "browser/storyboard_list_view.h"
#include "ui_main_window.h"

bool MainWindow::trayEditable() const
{
    return m_currentTask == ui->tabAddImages;
}

void MainWindow::appendSelected()
{
    QAbstractItemView* view = currentItemView();
    QStringList files;
    for (const QModelIndex& index : view->selectionModel()->selectedIndexes()) {
        if (index.column() == 0)  // one per file, also in the table
            files << view->model()->data(index, QFileSystemModel::FilePathRole).toString();
    }
    if (!files.isEmpty())
        m_trayModel->appendFiles(files);
}

void MainWindow::on_btnAddPicture_clicked()
{
    if (trayEditable())
        appendSelected();
}

void MainWindow::on_listView_doubleClicked(const QModelIndex& index)
{
    if (trayEditable() && index.isValid())
        m_trayModel->appendFiles({m_filesModel->filePath(m_thumbProxy->mapToSource(index))});
}

void MainWindow::on_detailsView_doubleClicked(const QModelIndex& index)
{
    if (trayEditable() && index.isValid())
        m_trayModel->appendFiles({m_filesModel->filePath(m_detailsProxy->mapToSource(index))});
}

void MainWindow::on_action_Add_images_triggered()
{
    switchTaskMode(ui->tabAddImages);
    const QString startFolder = m_dirModel->filePath(m_treeModel->mapToSource(ui->treeView->currentIndex()));
    // Qt separates the patterns of one filter by blanks.
    const QString filter = tr("All pictures (*.bmp *.jpg *.png *.tif)\nJPEG files (*.jpg)\nTIFF files (*.tif)\n"
                              "PNG files (*.png)\nWindows bitmaps (*.bmp)\nAll files (*.*)");
    const QStringList files = Desktop::desktop().getOpenFileNames(this, tr("Add images"), startFolder, filter);
    if (!files.isEmpty())
        m_trayModel->appendFiles(files);
}

void MainWindow::on_btnOpen_clicked() { on_action_Add_images_triggered(); }

void MainWindow::removeSelected()
{
    if (trayEditable())
        m_trayModel->removeIndexes(ui->storyboard->selectionModel()->selectedIndexes());
}

void MainWindow::on_btnRemovePicture_clicked() { removeSelected(); }

void MainWindow::on_storyboard_doubleClicked(const QModelIndex& index)
{
    if (trayEditable())
        m_trayModel->removeIndexes({index});
}

void MainWindow::on_action_Remove_All_Images_triggered()
{
    if (trayEditable())
        m_trayModel->removeFiles(m_trayModel->fileList());
}

void MainWindow::on_storyboard_customContextMenuRequested(const QPoint& pos)
{
    const QModelIndex index = ui->storyboard->indexAt(pos);
    QMenu menu(ui->storyboard);
    menu.addAction(ui->action_Add_images);
    menu.addAction(ui->action_Remove_Image);
    menu.addAction(ui->action_Remove_All_Images);
    QAction* chosen = Desktop::desktop().execMenu(menu, ui->storyboard->mapToGlobal(pos));
    // The photo under the pointer, not the selection.
    if (chosen == ui->action_Remove_Image && trayEditable() && index.isValid())
        m_trayModel->removeIndexes({index});
}

void MainWindow::onselectionStoryboardChanged(const QItemSelection& selected, const QItemSelection&)
{
    emit selectionStoryboardPresent(!selected.isEmpty());
}
