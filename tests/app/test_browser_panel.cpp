// The browser panel, the tray's commands and the status bar, offscreen against real
// folders, the real tray model and document, and a real thumbnail cache file.
#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSlider>
#include <QSortFilterProxyModel>
#include <QTest>
#include <QTreeView>
#include <array>
#include <atomic>
#include <set>

#include "app/panorama_view.h"
#include "browser/file_list_model.h"
#include "browser/thumb_delegate.h"
#include "browser/thumbs_database.h"
#include "browser/thumbs_manager.h"
#include "tests/app/window_fixture.h"

namespace {

QSize thumbItemSize(QAbstractItemView* view) { return qobject_cast<ThumbItemDelegat*>(view->itemDelegate())->itemSize(); }

// The program-wide thumbnail cache opened on a file of the test's own, closed after it.
struct ScopedThumbCache {
    QTemporaryDir dir;
    ScopedThumbCache() { EXPECT_TRUE(GetThumbsDataBase().Init(dir.path())); }
    ~ScopedThumbCache() { GetThumbsDataBase().close(); }
    static void store(const QString& path, int width, int height)
    {
        const unsigned char pixels[3] = {};
        ASSERT_TRUE(GetThumbsDataBase().SetThumb(path, QFileInfo(path).lastModified(), width, height, 24, 1, 1, 3,
                                                 pixels));
    }
};

}  // namespace

TEST_F(BrowserTest, SortCommandsFlipAndRememberTheirOrder)
{
    // Name is active and ascending after start-up.
    const std::tuple<QAction*, int, Qt::SortOrder> steps[] = {
        {ui().action_Name, 0, Qt::DescendingOrder}, {ui().action_Name, 0, Qt::AscendingOrder},
        {ui().action_Name, 0, Qt::DescendingOrder}, {ui().action_Date, 3, Qt::AscendingOrder},
        {ui().action_Date, 3, Qt::DescendingOrder}, {ui().action_Name, 0, Qt::DescendingOrder}};
    for (const auto& [action, mode, order] : steps) {
        action->trigger();
        EXPECT_EQ(std::tuple(w->sortMode(), w->currentFilesModel()->sortColumn(), w->currentFilesModel()->sortOrder(), action->isChecked()),
                  std::tuple(mode, mode, order, true));
    }

    // A header click sorts the table only; the thumbnails follow at the next command.
    ui().detailsView->header()->setSortIndicator(2, Qt::DescendingOrder);
    EXPECT_EQ(std::tuple(w->sortMode(), ui().action_Type->isChecked(), ui().action_Name->isChecked(), w->currentFilesModel()->sortColumn()),
              std::tuple(2, true, false, 0));
    // A cleared indicator (column -1) changes nothing.
    ui().detailsView->header()->setSortIndicator(-1, Qt::AscendingOrder);
    EXPECT_EQ(std::pair(w->sortMode(), w->sortOrder(2)), std::pair(2, Qt::DescendingOrder));
    ui().action_Type->trigger();  // flips the order the header left
    EXPECT_EQ(w->currentFilesModel()->sortColumn(), 2);
    EXPECT_EQ(w->currentFilesModel()->sortOrder(), Qt::AscendingOrder);
}

TEST_F(BrowserTest, SelectionCarriesOverToTheTableAndAddsOneFileEach)
{
    for (const auto& [name, bytes] : {std::pair("a.jpg", 10), {"b.jpg", 30}, {"c.jpg", 20}})
        makeFile(name, bytes);
    makeFile("notes.txt");
    showFolderAndWait(root.path());
    ASSERT_EQ(w->currentFilesModel()->rowCount(ui().listView->rootIndex()), 3);  // pictures only

    QItemSelectionModel* sel = ui().listView->selectionModel();
    sel->select(rowOf("a.jpg"), QItemSelectionModel::Select);
    sel->setCurrentIndex(rowOf("c.jpg"), QItemSelectionModel::Select);
    EXPECT_TRUE(ui().btnAddPicture->isEnabled());
    ui().action_Details->trigger();
    EXPECT_EQ(w->currentItemView(), ui().detailsView);
    const QModelIndexList rows = ui().detailsView->selectionModel()->selectedRows(0);
    EXPECT_EQ(std::set<QString>({rows.value(0).data().toString(), rows.value(1).data().toString()}),
              std::set<QString>({"a.jpg", "c.jpg"}));
    EXPECT_EQ(rows.size(), 2);
    EXPECT_EQ(ui().detailsView->currentIndex().siblingAtColumn(0).data().toString(), "c.jpg");

    ui().btnAddPicture->click();  // five columns a row, two photos
    EXPECT_EQ(w->trayModel()->fileList(), QStringList({root.filePath("a.jpg"), root.filePath("c.jpg")}));
    // Sorted by size, largest first, the table's first row is b.jpg, while by name it is
    // a.jpg (already on the tray): a double click adds the photo of the clicked row.
    ui().detailsView->header()->setSortIndicator(1, Qt::DescendingOrder);
    ASSERT_EQ(rowOf("b.jpg").row(), 0);
    w->on_detailsView_doubleClicked(rowOf("b.jpg"));
    EXPECT_EQ(w->trayModel()->fileList(),
              QStringList({root.filePath("a.jpg"), root.filePath("c.jpg"), root.filePath("b.jpg")}));
}

// The actions step 50 -> 60 .. 100 (a step above 99 lands on 100, and stays) -> back down
// to 0, and stay; the slider sizes the thumbnails only in thumbnail mode.
TEST_F(BrowserTest, ThumbnailZoomStopsAtBothEndsSliderSizesOnlyThumbnails)
{
    auto step = [&](bool in, int expected) {
        (in ? ui().actionZoom_in : ui().actionZoom_out)->trigger();
        EXPECT_EQ(w->thumbSizeValue(), expected);
        EXPECT_EQ(w->zoomSlider()->value(), expected);
        w->updateActions();
        EXPECT_EQ(ui().actionZoom_in->isEnabled(), expected <= 99);
        EXPECT_EQ(ui().actionZoom_out->isEnabled(), expected > 0);
    };
    for (int v : {60, 70, 80, 90, 100, 100})
        step(true, v);
    for (int v : {90, 80, 70, 60, 50, 40, 30, 20, 10, 0, 0})
        step(false, v);
    for (const auto& [value, thumb] : {std::pair(100, QSize(240, 180)), {0, {120, 90}}, {50, {180, 135}}}) {
        w->zoomSlider()->setValue(value);
        EXPECT_EQ(thumbItemSize(ui().listView), CalcItemSize(thumb)) << value;
    }
    ui().action_List->trigger();
    w->zoomSlider()->setValue(0);
    EXPECT_EQ(w->thumbSizeValue(), 50);
    // The tray keeps the size of value 50.
    EXPECT_EQ(thumbItemSize(ui().storyboard), GetThumbItemSize(50));
}

TEST_F(BrowserTest, FoldersHistoryUpAndVanishedEntries)
{
    const QString upper = root.filePath("Photos"), lower = root.filePath("photos"), gone = root.filePath("gone");
    for (const QString& d : {upper, lower, gone})
        ASSERT_TRUE(QDir().mkpath(d));
    QComboBox* combo = ui().cmbVisitedFolders;
    const int before = combo->count();
    for (const QString& d : {upper, lower, upper, gone, lower})
        showFolderAndWait(d);
    EXPECT_EQ(combo->count(), before + 3);  // case-distinct folders are two entries
    EXPECT_EQ(combo->currentText(), lower);

    // A history folder that vanished: its entry goes, the folder shown stays.
    ASSERT_TRUE(QDir(gone).removeRecursively());
    emit combo->activated(combo->findText(gone));
    EXPECT_EQ(std::tuple(combo->findText(gone), combo->count(), combo->currentText().toStdString(), w->filesModel()->rootPath().toStdString()),
              std::tuple(-1, before + 2, lower.toStdString(), lower.toStdString()));

    // An arrow key moves the tree's current folder only; a click on a folder, or its
    // activation (Return), shows it and adds it to the history.
    QTreeView* tree = ui().treeView;
    const auto folderAt = [](const QModelIndex& index) { return index.data(QFileSystemModel::FilePathRole).toString(); };
    QTest::keyClick(tree, Qt::Key_Up);
    const QModelIndex moved = tree->currentIndex();
    ASSERT_NE(folderAt(moved), lower);
    EXPECT_EQ(std::tuple(w->filesModel()->rootPath(), combo->currentText(), combo->count()),
              std::tuple(lower, lower, before + 2));
    QTest::keyClick(tree, Qt::Key_Return);
    EXPECT_EQ(std::pair(w->filesModel()->rootPath(), combo->currentText()), std::pair(folderAt(moved), folderAt(moved)));
    const QModelIndex clicked =
        qobject_cast<const QSortFilterProxyModel*>(tree->model())->mapFromSource(w->dirModel()->index(upper));
    ASSERT_TRUE(clicked.isValid());
    tree->scrollTo(clicked);  // opens the branches above it
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(clicked).center());
    EXPECT_EQ(std::pair(w->filesModel()->rootPath(), combo->currentText()), std::pair(folderAt(clicked), folderAt(clicked)));

    showFolderAndWait(lower);
    ui().btnUpFolder->click();
    EXPECT_EQ(w->filesModel()->rootPath(), QDir(root.path()).canonicalPath());
    showFolderAndWait(QStringLiteral("/"));
    ui().btnUpFolder->click();  // the top stays the top
    EXPECT_EQ(w->filesModel()->rootPath(), QStringLiteral("/"));
}

TEST_F(BrowserTest, RefreshDropsTheCachedThumbnailsOfTheFolderOnly)
{
    ScopedThumbCache cache;
    const QString direct = makeFile("a.jpg"), nested = makeFile("sub/b.jpg"), other = makeFile("other/c.jpg");
    for (const QString& p : {direct, nested, other})
        cache.store(p, 40, 30);
    showFolderAndWait(root.path());
    w->refresh(false);
    int width = 0, height = 0, bpp = 0;
    for (const QString& p : {direct, nested, other})
        EXPECT_EQ(GetThumbsManager().GetImageParams(p, width, height, bpp), p != direct) << p.toStdString();
}

TEST_F(BrowserTest, StatusBarFollowsTheSelectionAndTheTask)
{
    ScopedThumbCache cache;
    auto texts = [this] {
        QStringList shown;
        for (int i = 0; i < 6; ++i)
            shown << (w->statusLabel(i)->isVisibleTo(w.get()) ? w->statusLabel(i)->text() : QString());
        return shown;
    };
    QDir(root.path()).mkdir(QStringLiteral("empty"));
    showFolderAndWait(root.filePath("empty"));
    EXPECT_EQ(texts(), QStringList({"Total 0 files", "  0KB", "", "", "", ""}));

    const QString one = makeFile("one.jpg", 3000);
    makeFile("two.jpg", 2048);
    cache.store(one, 640, 480);
    showFolderAndWait(root.path());
    EXPECT_EQ(texts(), QStringList({"Total 2 files", "  5KB", "", "", "", ""}));

    ui().action_Details->trigger();
    ui().detailsView->selectionModel()->select(rowOf("one.jpg"),
                                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QCoreApplication::processEvents();
    EXPECT_EQ(texts(), QStringList({"", "", "  3KB", QFileInfo(one).lastModified().toString(Qt::TextDate), "one.jpg", "640x480"}));

    // Outside Add Images only the scale and the panorama's size can show; the browser's
    // texts come back with Add Images.
    w->switchTaskMode(ui().tabStitch);
    ui().detailsView->selectAll();
    QCoreApplication::processEvents();
    for (int i : {0, 2, 3, 4})
        EXPECT_EQ(texts()[i], QString()) << i;
    w->switchTaskMode(ui().tabAddImages);
    EXPECT_EQ(texts(), QStringList({"Total 2 files", "  5KB", "", "", "", ""}));
    // Thresholds at 1000 of a unit, units powers of 1024.
    constexpr double MiB = 1048576, GiB = 1073741824;
    for (const auto& [bytes, text] : {std::pair(0.0, "  0KB"), {500, "  0KB"}, {5 * 1024, "  5KB"}, {1023500, "1000KB"},
                                      {1024000, "  1MB"}, {1.5 * GiB, "  2GB"}, {3.5 * MiB, "  4MB"}, {300 * MiB, "300MB"},
                                      {999 * MiB, "999MB"}, {1000 * MiB, "  1GB"}, {300 * GiB, "300GB"}, {2000 * GiB, "2000GB"}})
        EXPECT_EQ(MainWindow::formatFileSize(bytes).toStdString(), text) << bytes;
}

TEST_F(BrowserTest, TrayCommandsActOnlyInAddImages)
{
    const QStringList files{makeFile("a.jpg"), makeFile("b.jpg")};
    w->trayModel()->setFileList(files);
    QItemSelectionModel* sel = ui().storyboard->selectionModel();
    sel->select(w->trayModel()->index(0, 0), QItemSelectionModel::Select);
    EXPECT_TRUE(ui().btnRemovePicture->isEnabled());
    sel->select(w->trayModel()->index(1, 0), QItemSelectionModel::Select);
    sel->select(w->trayModel()->index(0, 0), QItemSelectionModel::Deselect);
    EXPECT_FALSE(ui().btnRemovePicture->isEnabled());  // judged on what this change selected

    // In Stitch the tray shows what is stitched: the user's commands leave it alone.
    w->switchTaskMode(ui().tabStitch);
    const QStringList held = w->trayModel()->fileList();
    emit ui().storyboard->doubleClicked(w->trayModel()->index(0, 0));
    w->on_action_Remove_All_Images_triggered();
    EXPECT_EQ(w->trayModel()->fileList(), held);

    // "Open images..." goes back to Add Images, also when the dialog is cancelled.
    ui().btnOpen->click();
    EXPECT_EQ(w->currentTask(), ui().tabAddImages);
    ASSERT_EQ(desk.calls("getOpenFileNames").size(), 1u);
    EXPECT_TRUE(desk.calls("getOpenFileNames")[0].text.startsWith("All pictures (*.bmp *.jpg *.png *.tif)\n"));
    EXPECT_EQ(w->trayModel()->fileList(), held);
    emit ui().storyboard->doubleClicked(w->trayModel()->index(0, 0));
    EXPECT_EQ(w->trayModel()->count(), int(held.size()) - 1);
}

// A folder changed where no watcher sees it (a network folder changed from another
// machine): "Refresh tree" lists the tree's folders again from the disk, and the current
// folder, the open branches and the file views stay as they were; "&Refresh" reads the
// shown folder again too, keeping the file selection.
TEST_F(BrowserTest, RefreshTreeRereadsFoldersChangedBehindTheModelsBack)
{
    for (QFileSystemModel* model : {static_cast<QFileSystemModel*>(w->dirModel()), static_cast<QFileSystemModel*>(w->filesModel())})
        model->setOption(QFileSystemModel::DontWatchForChanges);
    for (const char* name : {"a.jpg", "b.jpg", "old/x.jpg", "kept/y.jpg"})
        makeFile(name);
    showFolderAndWait(root.path());
    QTreeView* tree = ui().treeView;
    const auto* treeModel = qobject_cast<const QSortFilterProxyModel*>(tree->model());
    const QPersistentModelIndex folder = tree->currentIndex();  // rows move as the models sort
    ASSERT_EQ(folder.data(QFileSystemModel::FilePathRole).toString(), root.path());
    auto childrenOf = [&](const QModelIndex& parent) {
        QStringList names;
        for (int row = 0; row < treeModel->rowCount(parent); ++row)
            names << treeModel->index(row, 0, parent).data().toString();
        names.sort();
        return names;
    };
    auto childNamed = [&](const QModelIndex& parent, const QString& name) {
        for (int row = 0; row < treeModel->rowCount(parent); ++row) {
            if (treeModel->index(row, 0, parent).data().toString() == name)
                return treeModel->index(row, 0, parent);
        }
        return QModelIndex();
    };
    // Open the folder's branch and the branch of "kept", as a click on their arrows does.
    auto open = [&](const QModelIndex& branch) {
        tree->expand(branch);
        w->dirModel()->fetchMore(treeModel->mapToSource(branch));
    };
    open(folder);
    ASSERT_TRUE(QTest::qWaitFor([&] { return childrenOf(folder) == QStringList({"kept", "old"}); }, 10000));
    const QPersistentModelIndex kept = childNamed(folder, "kept");
    open(kept);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->dirModel()->rowCount(treeModel->mapToSource(kept)) == 0; }, 10000));
    ui().listView->selectionModel()->select(rowOf("a.jpg"), QItemSelectionModel::Select);
    ui().listView->selectionModel()->setCurrentIndex(rowOf("b.jpg"), QItemSelectionModel::NoUpdate);

    ASSERT_TRUE(QDir(root.filePath("old")).removeRecursively());
    for (const char* name : {"new", "kept/newer"})
        ASSERT_TRUE(QDir(root.path()).mkpath(name));
    makeFile("c.jpg");
    QTest::qWait(200);  // nothing watches: nothing changes by itself
    ASSERT_EQ(childrenOf(folder), QStringList({"kept", "old"}));

    ui().btnRefresh->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return childrenOf(folder) == QStringList({"kept", "new"}); }, 10000))
        << childrenOf(folder).join(',').toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return childrenOf(kept) == QStringList({"newer"}); }, 10000));
    EXPECT_EQ(tree->currentIndex().data(QFileSystemModel::FilePathRole).toString(), root.path());
    EXPECT_TRUE(tree->isExpanded(folder) && tree->isExpanded(kept));
    QTest::qWait(200);  // what a re-read of the file view would have brought by now
    EXPECT_FALSE(rowOf("c.jpg").isValid()) << "the tree only";

    ui().action_Refresh->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return rowOf("c.jpg").isValid(); }, 10000)) << "the shown folder is read again";
    QStringList selected;
    for (const QModelIndex& index : ui().listView->selectionModel()->selectedIndexes())
        selected << index.data().toString();
    EXPECT_EQ(std::pair(selected, ui().listView->currentIndex().data().toString()), std::pair(QStringList({"a.jpg"}), QString("b.jpg")));
    EXPECT_EQ(w->filesModel()->rootPath(), root.path());
}

// The tray's context menu takes off the photo under the pointer, and only in Add Images.
// Outside it the status bar shows no file's name and keeps the panorama's size, whatever
// the hidden browser selects; the browser's texts come back with Add Images.
TEST_F(BrowserTest, TrayMenuRemovesOnlyInAddImagesStatusBarKeepsThePanoramaOutside)
{
    ScopedThumbCache cache;
    const QString one = makeFile("one.jpg", 3000);
    cache.store(one, 640, 480);
    makeFile("two.jpg");
    showFolderAndWait(root.path());
    auto texts = [this] {
        QStringList shown;
        for (int i = 0; i < 6; ++i)
            shown << (w->statusLabel(i)->isVisibleTo(w.get()) ? w->statusLabel(i)->text() : QString());
        return shown;
    };
    const QStringList photos = stripPhotos().paths;
    w->trayModel()->setFileList(photos);
    ui().storyboard->doItemsLayout();
    const QPoint overFirst = ui().storyboard->visualRect(w->trayModel()->index(0, 0)).center();
    auto removeByMenu = [&](QPoint pos) {
        desk.menus.push_back(ScriptedDesktop::pick(QStringLiteral("Remove Image")));
        emit ui().storyboard->customContextMenuRequested(pos);
    };

    w->switchTaskMode(ui().tabStitch);
    ASSERT_EQ(w->trayModel()->fileList(), photos);
    removeByMenu(overFirst);
    EXPECT_EQ(w->trayModel()->fileList(), photos);
    EXPECT_EQ(desk.calls("execMenu").size(), 1u);

    const QString size = QStringLiteral("800x300, 24 bits");
    w->setStatusTexts(QString(), QStringLiteral("50 %"), QString(), QString(), QString(), size, false);
    w->setStatusTexts("Total 1 files", "50 %", "3KB", "date", "one.jpg", size, false);
    EXPECT_EQ(texts(), QStringList({"", "50 %", "", "", "", size}));
    ui().listView->selectionModel()->select(rowOf("one.jpg"), QItemSelectionModel::Select);
    QCoreApplication::processEvents();
    EXPECT_EQ(texts(), QStringList({"", "50 %", "", "", "", size}));

    w->switchTaskMode(ui().tabAddImages);
    EXPECT_EQ(texts().mid(4), QStringList({"one.jpg", "640x480"}));
    ui().storyboard->selectionModel()->select(w->trayModel()->index(1, 0), QItemSelectionModel::Select);
    removeByMenu(QPoint(-50, -50));  // over no photo
    EXPECT_EQ(w->trayModel()->fileList(), photos);
    removeByMenu(overFirst);  // the photo under the pointer, not the selected one
    EXPECT_EQ(w->trayModel()->fileList(), photos.mid(1));
}

// In Stitch and Export the scale field is the panorama view's scale and the size field
// the rendered panorama's (none for a preview), after a build and after every zoom.
TEST_F(WindowTest, StatusBarFollowsTheBuildAndTheZoomInStitchAndExport)
{
    auto shown = [this] {
        std::array<std::string, 2> texts;
        for (int i : {1, 5})
            texts[i / 5] = w->statusLabel(i)->isVisibleTo(w.get()) ? w->statusLabel(i)->text().toStdString() : "";
        return texts;
    };
    using Texts = std::array<std::string, 2>;
    PanoramaView* view = w->panoramaView();
    w->trayModel()->setFileList(stripPhotos().paths);
    ui().action_switch_Stitch->trigger();
    ui().btnStitch->click();
    ASSERT_FALSE(view->printScale().isEmpty()) << "no preview shown";
    EXPECT_EQ(shown(), (Texts{view->printScale().toStdString(), ""}));
    ASSERT_NE(view->scaleFactor(), 0.5);
    view->setScaleFactor(0.5);
    EXPECT_EQ(shown(), (Texts{" 50 %", ""}));

    ui().action_switch_Export->trigger();
    ui().btnRender->click();
    const std::string size = w->document().printPanoramaInfo().toStdString();
    ASSERT_FALSE(size.empty()) << "nothing rendered";
    ASSERT_NE(view->scaleFactor(), 0.25);
    view->setScaleFactor(0.25);
    EXPECT_EQ(shown(), (Texts{" 25 %", size}));
}

// The selection belongs to the folder shown: a folder left behind takes its selection
// with it, so "Add" in the next folder adds nothing it does not show, and the status bar
// counts that folder, in both views.
TEST_F(BrowserTest, AnotherFolderStartsWithNothingSelected)
{
    for (const char* name : {"a/one.jpg", "b/two.jpg", "b/three.jpg"})
        makeFile(name);
    for (QAction* mode : {ui().action_Thumbnails, ui().action_Details}) {
        mode->trigger();
        showFolderAndWait(root.filePath("a"));
        w->currentItemView()->selectionModel()->select(rowOf("one.jpg"), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QCoreApplication::processEvents();
        EXPECT_TRUE(ui().btnAddPicture->isEnabled());
        showFolderAndWait(root.filePath("b"));
        EXPECT_FALSE(ui().btnAddPicture->isEnabled()) << mode->objectName().toStdString();
        w->appendSelected();
        EXPECT_TRUE(w->trayModel()->fileList().isEmpty()) << w->trayModel()->fileList().join(',').toStdString();
        EXPECT_EQ(w->statusLabel(0)->text(), "Total 2 files");
    }
}

// The folder shown vanished behind the model's back, the first entry of the history (the
// program started on it): "Refresh tree" re-reads the tree and leaves the file views and
// the history as they are; "&Refresh" then shows no folder: the views list nothing, the
// history keeps only the folders still there (its first entry gone too) with none
// current, and the tray keeps its photos. Every command of the panel then does nothing.
// One folder up goes up from the tree's current item: Qt moves it off a row that vanishes
// to a neighbour, but with changes not watched it stays on the gone folder here, so the
// test puts it on a folder; a folder from the history is shown again.
TEST_F(BrowserTest, RefreshTreeLeavesTheFileViewsRefreshOfAGoneFolderShowsNone)
{
    for (const char* name : {"a.jpg", "old/one.jpg", "old/deeper/two.jpg", "trip/inner/three.jpg"})
        makeFile(name);
    const QString gone = root.filePath("old/deeper");
    w.reset();
    SettingsStore().clear();  // no history: the folder started on is its first entry
    SettingsStore().setValue("application/currentPath", gone);
    w = std::make_unique<MainWindow>();
    for (QFileSystemModel* model : {static_cast<QFileSystemModel*>(w->dirModel()), static_cast<QFileSystemModel*>(w->filesModel())})
        model->setOption(QFileSystemModel::DontWatchForChanges);
    const QStringList tray = stripPhotos().paths;
    w->trayModel()->setFileList(tray);
    showFolderAndWait(root.path());
    showFolderAndWait(gone);
    QComboBox* combo = ui().cmbVisitedFolders;
    ASSERT_EQ(std::make_pair(combo->itemText(0).toStdString(), combo->currentIndex()), std::make_pair(gone.toStdString(), 0));
    ASSERT_TRUE(QDir(root.filePath("old")).removeRecursively());
    ui().btnRefresh->click();
    QTest::qWait(200);  // the tree's listings come in
    EXPECT_EQ(std::make_tuple(w->filesModel()->rootPath(), combo->currentText()), std::make_tuple(gone, gone));

    const auto history = [combo] {
        QStringList entries;
        for (int i = 0; i < combo->count(); ++i)
            entries << combo->itemText(i);
        return entries;
    };
    QStringList kept = history();
    kept.removeAll(gone);
    const auto expectNoFolder = [&](const char* after) {
        QCoreApplication::processEvents();
        QAbstractItemView* view = w->currentItemView();
        EXPECT_EQ(std::make_tuple(view->model()->rowCount(view->rootIndex()), combo->currentIndex(),
                                  history().join(',').toStdString(), w->trayModel()->fileList() == tray),
                  std::make_tuple(0, -1, kept.join(',').toStdString(), true))
            << after;
        EXPECT_NE(w->filesModel()->rootPath(), gone) << after;
        EXPECT_TRUE(desk.log.empty()) << after;
    };
    ui().action_Refresh->trigger();
    expectNoFolder("F5");
    QTest::qWait(200);  // whatever the models gather after it
    expectNoFolder("F5, a moment later");

    const std::pair<const char*, std::function<void()>> commands[] = {
        {"F5 again", [&] { ui().action_Refresh->trigger(); }},
        {"Refresh tree", [&] { ui().btnRefresh->click(); }},
        {"select all and Add", [&] { w->currentItemView()->selectAll(); ui().btnAddPicture->click(); w->appendSelected(); }},
        {"sort by date, twice", [&] { ui().action_Date->trigger(); ui().action_Date->trigger(); }},
        {"details", [&] { ui().action_Details->trigger(); }},
        {"list", [&] { ui().action_List->trigger(); }},
        {"thumbnails", [&] { ui().action_Thumbnails->trigger(); }},
        {"context menu: Select All", [&] {
             desk.menus.push_back(ScriptedDesktop::pick(QStringLiteral("Select All")));
             emit ui().listView->customContextMenuRequested(QPoint(5, 5));
             desk.log.clear();
             w->appendSelected();
         }},
    };
    for (const auto& [name, run] : commands) {
        run();
        expectNoFolder(name);
    }

    const auto treeRow = [&](const QString& path) {
        return static_cast<QSortFilterProxyModel*>(ui().treeView->model())->mapFromSource(w->dirModel()->index(path));
    };
    ASSERT_TRUE(treeRow(root.filePath("trip/inner")).isValid());
    ui().treeView->setCurrentIndex(treeRow(root.filePath("trip/inner")));
    expectNoFolder("the tree's current item moved");
    ui().btnUpFolder->click();
    const std::string up = root.filePath("trip").toStdString();
    EXPECT_EQ(std::make_tuple(w->filesModel()->rootPath().toStdString(), combo->currentText().toStdString(),
                              ui().treeView->currentIndex().data(QFileSystemModel::FilePathRole).toString().toStdString()),
              std::make_tuple(up, up, up));

    emit combo->activated(combo->findText(root.path()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return rowOf("a.jpg").isValid(); }, 10000));
    EXPECT_EQ(std::make_tuple(w->filesModel()->rootPath(), ui().treeView->currentIndex().data(QFileSystemModel::FilePathRole).toString(),
                              combo->currentText()),
              std::make_tuple(root.path(), root.path(), root.path()));
}
