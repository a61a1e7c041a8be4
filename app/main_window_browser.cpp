// The browser panel of the task "1. Add Images": the folder tree, the visited-folders
// history, the two file views of the shown folder (thumbnails or list in listView, a
// table in detailsView) with their view and sort modes, the thumbnail size behind the
// zoom slider, refresh, and thumbnails arriving from the builder thread.
//
// Paths are absolute file-system paths as the file-system models give them; thumbnail
// sizes are screen pixels. The file-system models gather their entries on Qt's own
// worker thread and announce them asynchronously; everything here runs on the GUI thread.
// The models are children of the window; the icon provider is shared by the process.
#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QListView>
#include <QMenu>
#include <QStackedWidget>
#include <QTreeView>
#include <atomic>

#include "app/desktop_seam.h"
#include "app/main_window.h"
#include "app/panorama_view.h"
#include "browser/browser_models.h"
#include "browser/file_list_model.h"
#include "browser/storyboard_list_view.h"
#include "browser/thumb_delegate.h"
#include "browser/thumbs_manager.h"
#include "document/engine_host.h"
#include "ui_main_window.h"

namespace {

constexpr int kSortModes = 5;

// Lives to the end of the process: the file-system model's gatherer thread may still ask
// it while the model is being torn down.
ThumbIconProvider* sharedIconProvider()
{
    static auto* provider = new ThumbIconProvider;
    return provider;
}

// Lists `folders` of a file-system model again from the disk. The model re-reads a folder
// only when its watcher reports a change, which never comes for a network folder changed
// from another machine, and it has no call for a re-read. What it has: a folder that
// stops being the root path counts as not listed, and fetching a folder not listed lists
// it again. So the root leaves (the root itself then counts as not listed), each folder
// becomes the root in turn, the root comes back (listed anew), and each folder is
// fetched. Nodes of folders that still exist stay, and with them the views' open
// branches, current items and selections; the listings run on the model's own thread,
// and new and vanished entries come and go as it reports them (directoryLoaded).
void relistFolders(QFileSystemModel& model, const QStringList& folders)
{
    const QString root = model.rootPath();
    model.setRootPath(QString());
    for (const QString& folder : folders) {
        if (folder != root && QFileInfo(folder).isDir())
            model.setRootPath(folder);
    }
    model.setRootPath(root);
    for (const QString& folder : folders)
        model.fetchMore(model.index(folder));
}

// The folders under `parent` (a model index) that the model has listed: every branch
// the tree has opened, also the ones closed since. A folder the model knows only as the
// way to another one (a folder shown by path) has that one as its only row.
void collectListed(const QFileSystemModel& model, const QModelIndex& parent, QStringList& out)
{
    for (int row = 0, rows = model.rowCount(parent); row < rows; ++row) {
        const QModelIndex folder = model.index(row, 0, parent);
        if (!model.canFetchMore(folder))
            out << model.filePath(folder);
        collectListed(model, folder, out);
    }
}

}  // namespace

void MainWindow::setupBrowser()
{
    m_dirModel = new QMacDirModel(this);
    m_dirModel->setReadOnly(true);
    m_dirModel->setFilter(QDir::Dirs | QDir::AllDirs | QDir::Drives | QDir::Hidden | QDir::System |
                          QDir::NoDotAndDotDot);
    m_dirModel->setRootPath(QDir::rootPath());  // gathers nothing before it has a root
    m_treeModel = new DirFilterModel(this);
    m_treeModel->setSourceModel(m_dirModel);
    m_treeModel->setFilterKeyColumn(0);
    m_treeModel->setDynamicSortFilter(false);
    ui->treeView->setModel(m_treeModel);
    ui->treeView->setRootIndex(QModelIndex());
    ui->treeView->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    for (int c = 1; c < m_treeModel->columnCount(); ++c)
        ui->treeView->hideColumn(c);

    m_filesModel = new ThumbsFileSystemModel(this);
    m_filesModel->setReadOnly(true);
    m_filesModel->setFilter(QDir::Dirs | QDir::Files);
    m_filesModel->setIconProvider(sharedIconProvider());
    m_filesModel->setNameFilters(GetThumbsManager().GetSupportedFilesExts());
    m_filesModel->setNameFilterDisables(false);

    m_thumbProxy = new FilesFilterModel(this);
    m_thumbProxy->setSourceModel(m_filesModel);
    m_thumbProxy->setFilterKeyColumn(0);
    m_thumbProxy->setDynamicSortFilter(true);
    m_thumbProxy->setSortRole(Qt::UserRole);
    ui->listView->setModel(m_thumbProxy);
    connect(m_thumbProxy, &FilesFilterModel::rootIndexChanged, ui->listView, &QAbstractItemView::setRootIndex);

    m_detailsProxy = new FilesFilterModel(this);
    m_detailsProxy->setSourceModel(m_filesModel);
    m_detailsProxy->setFilterKeyColumn(0);
    ui->detailsView->setModel(m_detailsProxy);
    connect(m_detailsProxy, &FilesFilterModel::rootIndexChanged, ui->detailsView, &QAbstractItemView::setRootIndex);

    ui->listView->setContextMenuPolicy(Qt::CustomContextMenu);
    ui->detailsView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->listView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::onselectionChanded);
    connect(ui->detailsView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::onselectionChanded);
    connect(ui->detailsView->header(), &QHeaderView::sortIndicatorChanged, this, &MainWindow::onSortIndicatorChanged);
    connect(m_filesModel, &QAbstractItemModel::layoutChanged, this, &MainWindow::onLayoutChanged);
    // The folder's entries arrive after it is shown: the count follows them.
    connect(m_filesModel, &QFileSystemModel::directoryLoaded, this, &MainWindow::scheduleStatusBarUpdate);
    // The details columns fit the entries once they are there (sized when the folder is
    // chosen, they would fit only the headers).
    connect(m_filesModel, &QFileSystemModel::directoryLoaded, ui->detailsView, [this] {
        ui->detailsView->header()->resizeSections(QHeaderView::ResizeToContents);
    });
}

FilesFilterModel* MainWindow::currentFilesModel() const
{
    return m_viewMode == 2 ? m_detailsProxy : m_thumbProxy;
}

// ---- View and sort modes --------------------------------------------------------------

void MainWindow::setViewMode(ViewMode mode)
{
    if (mode == m_viewMode)
        return;
    auto viewOf = [this](ViewMode m) -> QAbstractItemView* {
        if (m == 0 || m == 1)
            return ui->listView;
        return m == 2 ? ui->detailsView : nullptr;
    };
    auto proxyOf = [this](ViewMode m) -> FilesFilterModel* {
        if (m == 0 || m == 1)
            return m_thumbProxy;
        return m == 2 ? m_detailsProxy : nullptr;
    };
    QAbstractItemView* oldView = viewOf(m_viewMode);
    FilesFilterModel* oldProxy = proxyOf(m_viewMode);

    switch (mode) {
    case 0:
        ui->listView->setUniformItemSizes(true);  // every thumbnail cell has the same size
        ui->listView->setViewMode(QListView::IconMode);
        ui->listView->setFlow(QListView::LeftToRight);
        m_viewMode = 0;  // updateThumbsSizes acts in thumbnail mode only
        updateThumbsSizes(true);
        ui->listViewStack->setCurrentWidget(ui->thumbsPage);
        ui->listView->setSpacing(8);
        break;
    case 1:
        // Uniform sizes would give every row the width of the first name, clipping longer ones.
        ui->listView->setUniformItemSizes(false);
        ui->listView->setViewMode(QListView::ListMode);
        ui->listView->setFlow(QListView::TopToBottom);
        ResetThumbSize(ui->listView);
        ui->listViewStack->setCurrentWidget(ui->thumbsPage);
        ui->listView->setSpacing(0);
        break;
    case 2:
        ui->listViewStack->setCurrentWidget(ui->detailsPage);
        ui->listView->setSpacing(0);
        break;
    default:
        break;
    }

    QAbstractItemView* newView = viewOf(mode);
    FilesFilterModel* newProxy = proxyOf(mode);
    if (oldProxy && newProxy && oldProxy != newProxy) {
        // The same files stay selected: one index per file (column 0), whole rows in
        // the table.
        QItemSelectionModel* to = newView->selectionModel();
        const auto rows = newView == ui->detailsView ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate;
        to->clearSelection();
        QItemSelection carried;
        for (const QModelIndex& index : oldView->selectionModel()->selectedIndexes()) {
            if (index.column() != 0)
                continue;
            const QModelIndex mapped = newProxy->mapFromSource(oldProxy->mapToSource(index));
            if (mapped.isValid())
                carried.select(mapped, mapped);
        }
        to->select(carried, QItemSelectionModel::Select | rows);
        const QModelIndex current =
            newProxy->mapFromSource(oldProxy->mapToSource(oldView->currentIndex().siblingAtColumn(0)));
        if (current.isValid())
            to->setCurrentIndex(current, QItemSelectionModel::Current);
    }

    m_viewMode = mode;
    ui->action_Thumbnails->setChecked(mode == 0);
    ui->action_List->setChecked(mode == 1);
    ui->action_Details->setChecked(mode == 2);
}

void MainWindow::on_action_Thumbnails_triggered() { setViewMode(0); }
void MainWindow::on_action_List_triggered() { setViewMode(1); }
void MainWindow::on_action_Details_triggered() { setViewMode(2); }

void MainWindow::setSortMode(SortMode mode, bool keepOrder)
{
    if (mode < 0 || mode >= kSortModes)
        return;
    int order = m_sortOrder[mode];
    if (!keepOrder && mode == m_sortMode) {
        order = order == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
        m_sortOrder[mode] = order;
    }
    m_sortMode = mode;
    m_thumbProxy->sort(mode, Qt::SortOrder(order));
    ui->detailsView->sortByColumn(mode, Qt::SortOrder(order));
    updateSortMode();
}

void MainWindow::updateSortMode()
{
    QAction* const actions[kSortModes] = {ui->action_Name, ui->action_Size, ui->action_Type, ui->action_Date,
                                          ui->action_DCFN};
    for (int i = 0; i < kSortModes; ++i)
        actions[i]->setChecked(i == m_sortMode);
}

void MainWindow::onSortIndicatorChanged(int column, Qt::SortOrder order)
{
    // A cleared indicator reports column -1; the order table has a place per sort mode only.
    if (column < 0 || column >= kSortModes)
        return;
    m_sortMode = column;
    m_sortOrder[column] = order;
    updateSortMode();
}

void MainWindow::on_action_Name_triggered() { setSortMode(0, false); }
void MainWindow::on_action_Size_triggered() { setSortMode(1, false); }
void MainWindow::on_action_Type_triggered() { setSortMode(2, false); }
void MainWindow::on_action_Date_triggered() { setSortMode(3, false); }
void MainWindow::on_action_DCFN_triggered() { setSortMode(4, false); }

// ---- Thumbnail size -------------------------------------------------------------------

void MainWindow::updateThumbsSizes(bool force)
{
    if (m_viewMode != 0 && !force)
        return;
    SetThumbSize(ui->listView, GetThumbItemSize(m_thumbSizeValue));
}

void MainWindow::onZoomValueChanged(int value)
{
    if (m_zoomSliderGuard)
        return;
    if (m_panoView->isVisible() && m_panoView->hasPicture()) {
        m_panoView->setScaleFactor(GetZoom100(value) / 100);
    } else if (m_currentTask == ui->tabAddImages && m_viewMode == 0) {
        m_thumbSizeValue = value;
        updateThumbsSizes(false);
    }
}

// ---- Folders --------------------------------------------------------------------------

void MainWindow::setFolder(const QModelIndex& treeIndex)
{
    const QString path = m_dirModel->filePath(m_treeModel->mapToSource(treeIndex));
    if (path.isEmpty()) {
        // No folder (the one asked for is gone): the views list nothing, and the history
        // keeps only folders that are there, none of them current.
        ui->listView->selectionModel()->clear();
        ui->detailsView->selectionModel()->clear();
        m_filesModel->setRootPath(QString());
        QComboBox* combo = ui->cmbVisitedFolders;
        for (int entry = combo->count() - 1; entry >= 0; --entry) {
            if (!QFileInfo(combo->itemText(entry)).isDir())
                combo->removeItem(entry);
        }
        combo->setCurrentIndex(-1);
        return;
    }
    if (path != m_filesModel->rootPath()) {
        // The selection belongs to the folder shown: the files of a folder left behind
        // would stay selected out of sight, for "Add" and the status bar.
        ui->listView->selectionModel()->clear();
        ui->detailsView->selectionModel()->clear();
    }
    m_filesModel->setRootPath(path);
    GetThumbsManager().RetryRefusedIn(path);  // a cache that refused them may take them now
    ui->detailsView->header()->resizeSections(QHeaderView::ResizeToContents);
    QComboBox* combo = ui->cmbVisitedFolders;
    int entry = combo->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (entry < 0) {
        combo->addItem(path);
        entry = combo->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive);
    }
    combo->setCurrentIndex(entry);
}

bool MainWindow::showFolder(const QString& path)
{
    // The file-system model makes up an entry for a path that does not exist.
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return false;
    const QModelIndex treeIndex = m_treeModel->mapFromSource(m_dirModel->index(path));
    if (!treeIndex.isValid())
        return false;
    ui->treeView->setCurrentIndex(treeIndex);
    setFolder(treeIndex);
    return true;
}

void MainWindow::on_treeView_clicked(const QModelIndex& index) { setFolder(index); }
void MainWindow::on_treeView_activated(const QModelIndex& index) { setFolder(index); }

void MainWindow::on_cmbVisitedFolders_activated(int index)
{
    const QString text = ui->cmbVisitedFolders->itemText(index);
    if (QFileInfo(text).isDir() && showFolder(text))
        return;
    // The folder is gone: its entry goes, and the folder shown stays shown and current.
    QComboBox* combo = ui->cmbVisitedFolders;
    const int gone = combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (gone >= 0)
        combo->removeItem(gone);
    combo->setCurrentIndex(combo->findText(m_filesModel->rootPath(), Qt::MatchExactly | Qt::MatchCaseSensitive));
}

void MainWindow::on_btnUpFolder_clicked()
{
    const QString path = m_dirModel->filePath(m_treeModel->mapToSource(ui->treeView->currentIndex()));
    if (path.isEmpty())
        return;
    // At the top of the file system the parent is the folder itself.
    showFolder(QDir(path + QLatin1String("/..")).canonicalPath());
}

void MainWindow::rereadTree()
{
    QStringList listed;
    collectListed(*m_dirModel, QModelIndex(), listed);
    relistFolders(*m_dirModel, listed);
}

void MainWindow::rereadFolders()
{
    rereadTree();

    const QString folder = m_filesModel->rootPath();
    if (folder.isEmpty() || folder == QLatin1String("."))  // no folder shown yet
        return;
    // The folder's rows leave the file views while the root is away: the selection and
    // the current file are carried over by path.
    QAbstractItemView* view = currentItemView();
    const FilesFilterModel* proxy = currentFilesModel();
    QStringList selected;
    for (const QModelIndex& index : view->selectionModel()->selectedIndexes()) {
        if (index.column() == 0)
            selected << m_filesModel->filePath(proxy->mapToSource(index));
    }
    const QModelIndex currentIndex = view->currentIndex();
    const QString current = currentIndex.isValid() ? m_filesModel->filePath(proxy->mapToSource(currentIndex)) : QString();

    relistFolders(*m_filesModel, {folder});

    auto rowOf = [&](const QString& path) { return proxy->mapFromSource(m_filesModel->index(path)); };
    QItemSelection carried;
    for (const QString& path : selected) {
        const QModelIndex row = rowOf(path);
        if (row.isValid())
            carried.select(row, row);
    }
    const auto rows = view == ui->detailsView ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate;
    view->selectionModel()->select(carried, QItemSelectionModel::ClearAndSelect | rows);
    const QModelIndex currentRow = current.isEmpty() ? QModelIndex() : rowOf(current);
    if (currentRow.isValid()) {
        view->selectionModel()->setCurrentIndex(currentRow, QItemSelectionModel::Current);
        view->scrollTo(currentRow);
    }
}

void MainWindow::refresh(bool treeOnly)
{
    WaitCursor busy;
    const QString path = m_filesModel->rootPath();
    const bool shown = !path.isEmpty() && path != QLatin1String(".");  // a folder shown yet
    if (shown && !treeOnly) {
        // Listed from the disk: the model may not have gathered the folder completely.
        QStringList files;
        const QFileInfoList entries =
            QDir(path).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        files.reserve(entries.size());
        for (const QFileInfo& entry : entries)
            files << entry.absoluteFilePath();
        const std::atomic<bool> stop{false};
        GetThumbsManager().RemoveThumbs(files, stop);
        ui->listView->viewport()->update();  // painting asks for the thumbnails anew
        ui->storyboard->viewport()->update();
    }
    rereadFolders();
    if (shown && !showFolder(path))
        setFolder(QModelIndex());  // the folder is gone: none is shown
}

void MainWindow::on_action_Refresh_triggered() { refresh(false); }

// The tree only: the file views keep what they show, even a folder that has gone.
void MainWindow::on_btnRefresh_clicked() { rereadTree(); }

// ---- Thumbnails, selection, layout ----------------------------------------------------

void MainWindow::onThumbnalUpdated(const QString& path)
{
    const QModelIndex inFolder = m_thumbProxy->mapFromSource(m_filesModel->index(path, 0));
    if (inFolder.isValid())
        ui->listView->update(inFolder);
    const QModelIndex onTray = m_trayModel->index(path, 0);
    if (onTray.isValid())
        ui->storyboard->update(onTray);
}

void MainWindow::onLayoutChanged() { scheduleStatusBarUpdate(); }

void MainWindow::onselectionChanded(const QItemSelection&, const QItemSelection&)
{
    emit selectionPresent(currentItemView()->selectionModel()->hasSelection());
    scheduleStatusBarUpdate();
}

void MainWindow::on_listView_indexesMoved(const QModelIndexList& indexes)
{
    for (const QModelIndex& index : indexes) {
        const QRect r = ui->listView->visualRect(index);
        if (r.left() < 0 || r.top() < 0) {
            ui->listView->doItemsLayout();
            return;
        }
    }
}

void MainWindow::showBrowserCtxMenu(const QPoint& pos)
{
    QAbstractItemView* view = currentItemView();
    QMenu menu(view);
    QMenu* viewMenu = menu.addMenu(tr("&View"));
    viewMenu->addAction(ui->action_Thumbnails);
    viewMenu->addAction(ui->action_List);
    viewMenu->addAction(ui->action_Details);
    QMenu* sortMenu = menu.addMenu(tr("&Sort"));
    for (QAction* a : {ui->action_Name, ui->action_Type, ui->action_Size, ui->action_Date, ui->action_DCFN})
        sortMenu->addAction(a);
    menu.addSeparator();
    menu.addAction(ui->action_Select_All);
    menu.addAction(ui->action_Refresh);
    const QMetaObject::Connection selectAll =
        connect(ui->action_Select_All, &QAction::triggered, view, &QAbstractItemView::selectAll);
    Desktop::desktop().execMenu(menu, view->mapToGlobal(pos));
    disconnect(selectAll);
}

void MainWindow::on_listView_customContextMenuRequested(const QPoint& pos) { showBrowserCtxMenu(pos); }
void MainWindow::on_detailsView_customContextMenuRequested(const QPoint& pos) { showBrowserCtxMenu(pos); }
