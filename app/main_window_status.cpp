// The status bar's six fields: in the task "1. Add Images" the browser's selection (count
// and total size, or one file's size, date, name and pixel size), in the other tasks the
// panorama view's scale and the panorama's size. An empty field is hidden.
//
// Sizes are bytes, shown in KB/MB/GB of 1024; pixel sizes come from the thumbnail cache.
// A selection change only schedules the browser's texts: they are computed once the
// events already queued are handled, so a rubber band over thousands of files walks the
// folder once, not once per step. GUI thread only; the labels belong to the status bar.
#include <QAction>
#include <QDateTime>
#include <QLabel>
#include <QListView>
#include <QStatusBar>
#include <QTimer>
#include <QTreeView>

#include "app/main_window.h"
#include "app/panorama_view.h"
#include "browser/browser_models.h"
#include "browser/thumbs_manager.h"
#include "ui_main_window.h"

void MainWindow::setupStatusBar()
{
    for (QLabel*& label : m_statusLabels) {
        label = new QLabel(QString(), statusBar());
        statusBar()->addPermanentWidget(label, 0);
    }
    m_statusBarReady = true;
}

void MainWindow::setStatusTexts(const QString& t1, const QString& t2, const QString& t3, const QString& t4,
                                const QString& t5, const QString& t6, bool remember)
{
    QStringList texts{t1, t2, t3, t4, t5, t6};
    if (remember)
        m_browserStatusTexts = texts;
    if (m_currentTask != ui->tabAddImages) {  // only the scale and the panorama's size
        // The hidden browser's texts (its folder changes as a save writes into it) wait for
        // Add Images: shown here, they would put the folder's size in place of the scale
        // and a photo's in place of the panorama's.
        if (remember)
            return;
        for (int i : {0, 2, 3, 4})
            texts[i].clear();
    }
    if (!m_statusBarReady)
        return;
    for (int i = 0; i < 6; ++i) {
        m_statusLabels[i]->setText(texts[i]);
        m_statusLabels[i]->setVisible(!texts[i].isEmpty());
    }
}

void MainWindow::scheduleStatusBarUpdate()
{
    if (m_statusUpdateQueued)
        return;
    m_statusUpdateQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_statusUpdateQueued = false;
        updateStatusBar();
    });
}

void MainWindow::updateStatusBar()
{
    QAbstractItemView* view = currentItemView();
    const FilesFilterModel* proxy = currentFilesModel();
    QModelIndexList selected;
    for (const QModelIndex& index : view->selectionModel()->selectedIndexes()) {
        if (index.column() == 0)
            selected << index;
    }

    QString t[6];
    if (selected.size() == 1) {
        const QModelIndex file = proxy->mapToSource(selected.front());
        const QString path = m_filesModel->filePath(file);
        t[2] = formatFileSize(double(m_filesModel->size(file)));
        t[3] = m_filesModel->lastModified(file).toString(Qt::TextDate);
        t[4] = m_filesModel->fileName(file);
        int width = 0, height = 0, bpp = 0;
        if (GetThumbsManager().GetImageParams(path, width, height, bpp))
            t[5] = tr("%1x%2").arg(width).arg(height);
    } else {
        qint64 count = 0;
        double total = 0;
        if (!selected.isEmpty()) {
            for (const QModelIndex& index : selected)
                total += double(m_filesModel->size(proxy->mapToSource(index)));
            count = selected.size();
        } else if (m_filesModel->rootPath() != QLatin1String(".")) {  // a folder is shown
            const QModelIndex root = proxy->mapFromSource(m_filesModel->index(m_filesModel->rootPath()));
            const int rows = root.isValid() ? proxy->rowCount(root) : 0;
            for (int row = 0; row < rows; ++row) {
                const QModelIndex file = proxy->mapToSource(proxy->index(row, 0, root));
                if (file.isValid()) {
                    ++count;
                    total += double(m_filesModel->size(file));
                }
            }
        }
        t[0] = tr("Total %1 files").arg(count);
        t[1] = formatFileSize(total);
    }
    setStatusTexts(t[0], t[1], t[2], t[3], t[4], t[5], true);
}

void MainWindow::onUpdateStatusBar()
{
    if (m_currentTask == ui->tabStitch || m_currentTask == ui->tabExport)
        setStatusTexts(QString(), m_panoView->printScale(), QString(), QString(), QString(), m_doc.printPanoramaInfo(),
                       false);
    updateZoomSlider();
}

QString MainWindow::formatFileSize(double bytes)
{
    // Thresholds at 1000 of a unit, compared before rounding; units of 1024.
    const double kb = bytes / 1024;
    if (kb < 1000)
        return tr("%1KB").arg(kb, 3, 'f', 0, QLatin1Char(' '));
    const double mb = bytes / 1048576;
    if (mb < 1000)
        return tr("%1MB").arg(mb, 3, 'f', 0, QLatin1Char(' '));
    return tr("%1GB").arg(bytes / 1073741824, 3, 'f', 0, QLatin1Char(' '));
}

void MainWindow::showStatusBar(bool show)
{
    m_statusBarVisible = show;
    statusBar()->setVisible(show);
    ui->action_Status_bar->setChecked(show);
}

void MainWindow::on_action_Status_bar_triggered()
{
    // The window may not be shown yet (or be minimised): the user's choice is the state.
    showStatusBar(!m_statusBarVisible);
}
