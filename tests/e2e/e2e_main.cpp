// The end-to-end walk: the real program's main window on a real X server (xcb, started by
// `make e2e` under xvfb-run), driven the way a photographer uses it — actions, buttons,
// the folder browser, the picture tray, the Stitch and Export panels, the Help menu —
// with a PNG screenshot of the window after each step in the folder given as the first
// argument (build/screenshots/). Modal questions are answered through the desktop seam
// (a real modal dialog would block the walk); each dialog and message box the window asks
// for is still shown on the screen for a moment and captured as a screenshot of its own.
//
// Not a GoogleTest program and not part of ctest: it prints one line per check ("ok:" or
// "FAILED:") and ends with "N passed, N failed"; the exit code is non-zero when a check
// failed. It runs with a fresh HOME (and XDG folders) of its own, made before the
// application object exists. GUI thread only, except the engines' and thumbnail
// builders' own threads.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <tuple>
#include <set>

#include "app/main_window.h"
#include "app/pano_view_control.h"
#include "app/panorama_view.h"
#include "browser/file_list_model.h"
#include "browser/thumb_delegate.h"
#include "browser/thumbs_database.h"
#include "browser/thumbs_manager.h"
#include "tests/support/scene.h"
#include "tests/support/scripted_desktop.h"
#include "tests/update/http_test_server.h"
#include "ui_main_window.h"
#include "update/settings_store.h"

namespace {

QString g_shots;  // the screenshot folder
int g_passed = 0;
int g_failed = 0;

void check(bool ok, const QString& what)
{
    ++(ok ? g_passed : g_failed);
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", qPrintable(what));
    std::fflush(stdout);
}

// Lets the window work (paint, queued calls, thumbnail arrivals) until `done` holds or
// the time is up; false on time-out.
bool waitFor(const std::function<bool()>& done, int ms = 15000)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void settle(int ms = 150)
{
    waitFor([] { return false; }, ms);
}

void shot(QWidget& widget, const QString& name)
{
    settle();
    const QString file = g_shots + QLatin1Char('/') + name + QStringLiteral(".png");
    if (!widget.grab().save(file))
        check(false, QStringLiteral("screenshot %1 written").arg(file));
    else
        std::printf("screenshot: %s\n", qPrintable(file));
}

// The scripted desktop, plus what a user sees: each dialog and message box is shown on
// the screen and captured before the scripted answer closes it, and the save dialog's
// file type can be chosen.
class WalkDesktop : public ScriptedDesktop {
public:
    std::deque<QString> saveTypes;  // the file type picked in the next save dialogs
    QString shotPrefix = QStringLiteral("dialog");
    int shots = 0;

    QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text,
                                            QMessageBox::StandardButtons b,
                                            QMessageBox::StandardButton d) override
    {
        capture(QMessageBox::Information, parent, title, text, b);
        return ScriptedDesktop::information(parent, title, text, b, d);
    }
    QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons b, QMessageBox::StandardButton d) override
    {
        capture(QMessageBox::Warning, parent, title, text, b);
        return ScriptedDesktop::warning(parent, title, text, b, d);
    }
    QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons b, QMessageBox::StandardButton d) override
    {
        capture(QMessageBox::Question, parent, title, text, b);
        return ScriptedDesktop::question(parent, title, text, b, d);
    }
    void about(QWidget* parent, const QString& title, const QString& text) override
    {
        capture(QMessageBox::Information, parent, title, text, QMessageBox::Ok);
        ScriptedDesktop::about(parent, title, text);
    }
    QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                            QString* selectedFilter) override
    {
        if (!saveTypes.empty()) {
            if (selectedFilter)
                *selectedFilter = saveTypes.front();
            saveTypes.pop_front();
        }
        return ScriptedDesktop::getSaveFileName(parent, caption, dir, filter, selectedFilter);
    }
    int execDialog(QDialog& dialog) override
    {
        dialog.show();
        settle(250);
        save(dialog, QString::fromLatin1(dialog.metaObject()->className()));
        dialog.hide();
        return ScriptedDesktop::execDialog(dialog);
    }

private:
    void capture(QMessageBox::Icon icon, QWidget* parent, const QString& title, const QString& text,
                 QMessageBox::StandardButtons buttons)
    {
        QMessageBox box(icon, title, text, buttons, parent);
        box.show();
        settle(250);
        save(box, QStringLiteral("message"));
    }
    void save(QWidget& w, const QString& what)
    {
        shot(w, QStringLiteral("%1_%2_%3").arg(shotPrefix).arg(++shots, 2, 10, QLatin1Char('0')).arg(what));
    }
};

// The photos of the walk, in a folder under the fresh home: three overlapping views of one
// scene, two unrelated noise pictures of the same size, a photo of another size and a
// file of junk named like a photo.
struct WalkPhotos {
    QString folder;
    QStringList overlapping;
    QStringList noise;
    QString otherSize;
    QString bad;
    QStringList all() const { return overlapping + noise + QStringList{otherSize, bad}; }
};

WalkPhotos makePhotos(const QString& folder)
{
    WalkPhotos p;
    p.folder = folder;
    QDir().mkpath(folder);
    const vltest::Scene scene(vltest::smallSceneOptions(5));
    vltest::StripOptions strip;
    strip.count = 3;
    strip.width = 720;
    strip.height = 540;
    strip.motion = vltest::Motion::TranslateScale;
    p.overlapping = vltest::savePhotos(vltest::imagesOf(vltest::makeStrip(scene, strip)), folder,
                                       vltest::FileFormat::Jpeg, 95, QStringLiteral("overlap_"));
    std::mt19937 random(7);
    std::vector<QImage> noise;
    for (int i = 0; i < 2; ++i) {
        QImage image(strip.width, strip.height, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                row[x] = qRgb(int(random() & 255), int(random() & 255), int(random() & 255));
        }
        noise.push_back(image);
    }
    p.noise = vltest::savePhotos(noise, folder, vltest::FileFormat::Jpeg, 90, QStringLiteral("noise_"));
    p.otherSize = folder + QStringLiteral("/other_size.jpg");
    vltest::saveImage(vltest::planeCrop(scene, QRect(100, 100, 500, 620)), p.otherSize, vltest::FileFormat::Jpeg);
    p.bad = folder + QStringLiteral("/bad.jpg");
    QFile junk(p.bad);
    if (junk.open(QIODevice::WriteOnly))
        junk.write(QByteArray(4096, 'x'));
    return p;
}

// A drop of files on the tray, as from a file manager.
bool dropOnTray(MainWindow& w, const QStringList& paths)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls << QUrl::fromLocalFile(p);
    data.setUrls(urls);
    return w.trayModel()->dropMimeData(&data, Qt::CopyAction, -1, 0, QModelIndex());
}

// The status bar's texts, joined.
QString statusText(MainWindow& w)
{
    QStringList texts;
    for (const QLabel* label : w.statusBar()->findChildren<QLabel*>())
        texts << label->text();
    return texts.join(QLatin1Char('|'));
}

// The real window, which also notes every progress caption the engines and the document
// set (a build shorter than the progress dialog's delay never shows the dialog, so the
// captions cannot be read off the screen).
class WalkWindow : public MainWindow {
public:
    QStringList captions;
    bool saw(const QString& start) const
    {
        for (const QString& c : captions)
            if (c.startsWith(start))
                return true;
        return false;
    }
    using MainWindow::SetProgressCaption;
    void SetProgressCaption(unsigned id, const std::wstring& text) override
    {
        captions << progressCaptionText(id, QString::fromStdWString(text));
        MainWindow::SetProgressCaption(id, text);
    }
};

// Whether the window wrote its own groups into the settings store (under the fresh home).
bool windowSettingsStored(const QString& home)
{
    const QDir dir(home + QStringLiteral("/xdg_config_home/VARNO Imaging"));
    for (const QString& name : dir.entryList({QStringLiteral("*.conf")}, QDir::Files)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains("[stitching]"))
            return true;
    }
    return false;
}

bool isChecked(QAction* a) { return a->isCheckable() && a->isChecked(); }

int viewRows(QAbstractItemView* view) { return view->model() ? view->model()->rowCount(view->rootIndex()) : 0; }

// Opens `folder` in the folder tree as a user does: down from the tree's current folder
// by name, each level expanded, then a click on the folder. An empty answer when it got
// there, else what went wrong.
QString browseTo(MainWindow& w, const QString& folder)
{
    Ui_MainWindow& ui = *w.form();
    QAbstractItemModel* tree = ui.treeView->model();
    if (!tree)
        return QStringLiteral("the folder tree has no model");
    QPersistentModelIndex at = ui.treeView->currentIndex();  // the proxy moves rows as folders load
    const QString start = at.data(QFileSystemModel::FilePathRole).toString();
    if (start.isEmpty() || (start != folder && !folder.startsWith(start + QLatin1Char('/'))))
        return QStringLiteral("the tree's current folder is \"%1\"").arg(start);
    const QString rest = folder.mid(start.size() + 1);
    for (const QString& name : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        ui.treeView->expand(at);
        QPersistentModelIndex next;
        waitFor([&] {
            if (tree->canFetchMore(at))
                tree->fetchMore(at);
            for (int r = 0; r < tree->rowCount(at); ++r)
                if (tree->index(r, 0, at).data().toString() == name)
                    next = tree->index(r, 0, at);
            return next.isValid();
        });
        if (!next.isValid())
            return QStringLiteral("no folder \"%1\" in the tree").arg(name);
        at = next;
    }
    // Clicked once the tree has laid the row out; clicked again should the first click
    // have landed while the tree was still moving rows.
    for (int attempt = 0; attempt < 3; ++attempt) {
        ui.treeView->scrollTo(at);
        waitFor([&] { return ui.treeView->viewport()->rect().contains(ui.treeView->visualRect(at).center()); }, 3000);
        settle();
        QTest::mouseClick(ui.treeView->viewport(), Qt::LeftButton, {}, ui.treeView->visualRect(at).center());
        if (waitFor([&] { return ui.listView->model() && viewRows(ui.listView) > 0 &&
                                 ui.treeView->currentIndex().data(QFileSystemModel::FilePathRole).toString() == folder; },
                    5000))
            return {};
    }
    return QStringLiteral("the click on the folder showed no files");
}


// Selects the browser's rows of these files (in the current file view).
void selectInBrowser(MainWindow& w, const QStringList& paths)
{
    QAbstractItemView* view = w.currentItemView();
    QAbstractItemModel* model = view->model();
    view->selectionModel()->clearSelection();
    for (int r = 0; r < model->rowCount(view->rootIndex()); ++r) {
        const QModelIndex i = model->index(r, 0, view->rootIndex());
        const QString path = i.data(Qt::UserRole + 1).toString();
        const QString name = i.data(Qt::DisplayRole).toString();
        for (const QString& p : paths)
            if (p == path || QFileInfo(p).fileName() == name)
                view->selectionModel()->select(i, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // A fresh home before Qt reads any folder: settings, thumbnail database and photos.
    QTemporaryDir home;
    if (!home.isValid()) {
        std::printf("0 passed, 1 failed\n");
        return 1;
    }
    for (const char* var : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
        const QString path = QString::fromLatin1(var) == QLatin1String("HOME")
                                 ? home.path()
                                 : home.path() + QLatin1Char('/') + QString::fromLatin1(var).toLower();
        QDir().mkpath(path);
        qputenv(var, QFile::encodeName(path));
    }

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("VARNO Imaging"));
    QCoreApplication::setApplicationName(QStringLiteral("VARNO Vistaloom"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("varno-imaging.example"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.1705"));
    g_shots = argc > 1 ? QString::fromLocal8Bit(argv[argc - 1]) : QStringLiteral("screenshots");
    QDir(g_shots).removeRecursively();
    QDir().mkpath(g_shots);
    std::printf("platform: %s, home: %s\n", qPrintable(QGuiApplication::platformName()), qPrintable(home.path()));

    initInterfaceColors(app);
    GetThumbsDataBase().Init();
    GetThumbsManager().Init();
    WalkDesktop desk;
    Desktop::ScopedDesktop use(desk);
    const WalkPhotos photos = makePhotos(home.path() + QStringLiteral("/Pictures/walk"));

    auto window = std::make_unique<WalkWindow>();
    WalkWindow* w = window.get();
    Ui_MainWindow* ui = w->form();
    auto show = [](MainWindow& win) {
        win.showAtStart();
        if (!QTest::qWaitForWindowExposed(&win))
            std::printf("the window was not exposed\n");
        settle(300);
    };

    // ---- 1. Start ---------------------------------------------------------------------
    show(*w);
    check(w->windowTitle() == QStringLiteral("VARNO Vistaloom"), QStringLiteral("1. window title \"VARNO Vistaloom\""));
    check(w->isMaximized() || w->geometry() == QGuiApplication::primaryScreen()->availableGeometry(),
          QStringLiteral("1. window maximised"));
    check(isChecked(ui->action_switch_Add_Images) && !isChecked(ui->action_switch_Stitch),
          QStringLiteral("1. \"1. Add Images\" checked"));
    const QString current = ui->treeView->currentIndex().data(QFileSystemModel::FilePathRole).toString();
    check(QDir(current) == QDir::home(), QStringLiteral("1. folder tree at home (%1)").arg(current));
    const QRegularExpression total(QStringLiteral("Total \\d+ files"));
    waitFor([&] { return statusText(*w).contains(total); }, 3000);
    check(statusText(*w).contains(total), QStringLiteral("1. status bar \"Total N files\" (%1)").arg(statusText(*w)));
    shot(*w, QStringLiteral("01_start"));

    // ---- 2. Browse ----------------------------------------------------------------------
    QSignalSpy thumbsBuilt(&GetThumbsManager(), &ThumbsManager::thumbnailUpdated);
    const QString browseError = browseTo(*w, photos.folder);
    const bool browsing = browseError.isEmpty();
    check(browsing, QStringLiteral("2. the folder tree opens the photos' folder %1").arg(browseError));
    if (browsing) {
        check(viewRows(ui->listView) == photos.all().size(),
              QStringLiteral("2. the folder shows its %1 files").arg(photos.all().size()));
        const bool arrived = waitFor([&] {
            std::set<QString> done;
            for (const QList<QVariant>& args : thumbsBuilt)
                done.insert(args.value(0).toString());
            for (const QString& p : photos.all())
                if (p != photos.bad && !done.count(p))
                    return false;
            return true;
        });
        check(arrived, QStringLiteral("2. thumbnails of the readable photos arrive"));
        check(GetThumbsDataBase().GetThumbImage(photos.bad).isNull(), QStringLiteral("2. bad.jpg has no thumbnail"));
        shot(*w, QStringLiteral("02_browse_thumbnails"));
        ui->action_List->trigger();
        settle();
        check(w->currentItemView() == ui->listView && ui->listView->viewMode() == QListView::ListMode,
              QStringLiteral("2. list view"));
        shot(*w, QStringLiteral("02_browse_list"));
        ui->action_Details->trigger();
        settle();
        check(w->currentItemView() == ui->detailsView && ui->detailsView->isVisible(),
              QStringLiteral("2. details view"));
        ui->action_Date->trigger();
        settle();
        check(ui->action_Date->isChecked(), QStringLiteral("2. sorted by date"));
        shot(*w, QStringLiteral("02_browse_details_by_date"));
        ui->action_Thumbnails->trigger();
        settle();
    }

    // ---- 3. Tray -------------------------------------------------------------------------
    if (browsing) {
        check(!ui->btnAddPicture->isEnabled(), QStringLiteral("3. Add disabled while nothing is selected"));
        selectInBrowser(*w, photos.overlapping);
        settle();
        check(ui->btnAddPicture->isEnabled(), QStringLiteral("3. Add enabled by the browser's selection"));
        ui->btnAddPicture->click();
        check(w->trayModel()->fileList() == photos.overlapping, QStringLiteral("3. the selected three on the tray"));
        ui->btnAddPicture->click();
        check(w->trayModel()->count() == 3, QStringLiteral("3. adding again changes nothing"));
    } else {
        dropOnTray(*w, photos.overlapping);  // the rest of the walk still has its photos
    }
    check(!ui->btnRemovePicture->isEnabled(), QStringLiteral("3. Remove disabled while nothing on the tray is selected"));
    ui->storyboard->selectionModel()->select(w->trayModel()->index(1, 0), QItemSelectionModel::ClearAndSelect);
    settle();
    check(ui->btnRemovePicture->isEnabled(), QStringLiteral("3. Remove enabled by the tray's selection"));
    ui->btnRemovePicture->click();
    check(w->trayModel()->count() == 2 && !w->trayModel()->containsPath(photos.overlapping[1]),
          QStringLiteral("3. Remove takes the selected photo off the tray"));
    dropOnTray(*w, {photos.overlapping[1]});
    check(w->trayModel()->count() == 3, QStringLiteral("3. the photo added back"));
    shot(*w, QStringLiteral("03_tray"));

    // ---- 4. Stitch ------------------------------------------------------------------------
    {
        w->captions.clear();
        ui->action_switch_Stitch->trigger();
        check(w->currentTask() == ui->tabStitch && isChecked(ui->action_switch_Stitch),
              QStringLiteral("4. \"2. Stitch\" checked"));
        settle();
        check(w->saw(QStringLiteral("Loading images: ")),
              QStringLiteral("4. photos loaded (%1)").arg(w->captions.join(QStringLiteral(", "))));
    }
    check(w->document().images().size() == 3, QStringLiteral("4. three photos in the document"));
    check(ui->btnStitch->isEnabled(), QStringLiteral("4. \"Start Stitching!\" enabled"));
    shot(*w, QStringLiteral("04_stitch_panel"));
    {
        w->captions.clear();
        ui->btnStitch->click();
        for (const char* caption : {"Analyzing", "Matching", "Stitching"})
            check(w->saw(QString::fromLatin1(caption)),
                  QStringLiteral("4. caption \"%1…\" (%2)").arg(QString::fromLatin1(caption), w->captions.join(QStringLiteral(", "))));
    }
    const bool built = w->document().builtEngine() &&
                       w->document().builtEngine()->GetPanoramaStatus()->nStatus == PanoramaLib::kStatusBuilt;
    check(built && w->panoramaView()->hasPicture(), QStringLiteral("4. the preview in the view"));
    check(w->progressDialog() == nullptr, QStringLiteral("4. the progress dialog closed after the build"));
    check(!ui->btnStitch->isEnabled(), QStringLiteral("4. \"Start Stitching!\" disabled: nothing changed since the build"));
    w->updateActions();
    check(!ui->action_Export->isEnabled(), QStringLiteral("4. Export disabled before the render"));
    shot(*w, QStringLiteral("04_stitch_preview"));
    if (w->panoramaView()->hasPicture()) {
        ui->action_Actual_1_1->trigger();
        settle();
        check(qFuzzyCompare(w->panoramaView()->scaleFactor(), 1.0), QStringLiteral("4. 1:1"));
        ui->actionZoom_in->trigger();
        check(w->panoramaView()->scaleFactor() > 1.0, QStringLiteral("4. zoom in"));
        shot(*w, QStringLiteral("04_stitch_zoomed"));
        const double zoomed = w->panoramaView()->scaleFactor();
        ui->actionFit_window->trigger();
        settle();
        check(w->panoramaView()->scaleFactor() < zoomed, QStringLiteral("4. fit to the window"));
        // Zoomed in and out as far as the actions go: the slider follows to its ends and
        // each end stops its action.
        for (const bool in : {true, false}) {
            QAction* zoom = in ? ui->actionZoom_in : ui->actionZoom_out;
            for (int i = 0; i < 60 && zoom->isEnabled(); ++i) {
                zoom->trigger();
                w->updateActions();
            }
            const double scale = w->panoramaView()->scaleFactor();
            check(!zoom->isEnabled() && (in ? ui->actionZoom_out : ui->actionZoom_in)->isEnabled() &&
                      w->zoomSlider()->value() == (in ? 100 : 0) && qFuzzyCompare(scale, in ? 10.0 : 0.01),
                  QStringLiteral("4. zoom %1 stops at %2 % with the slider at %3")
                      .arg(in ? QStringLiteral("in") : QStringLiteral("out"))
                      .arg(scale * 100)
                      .arg(w->zoomSlider()->value()));
        }
        ui->actionFit_window->trigger();
        shot(*w, QStringLiteral("04_stitch_fit"));
    }

    desk.shotPrefix = QStringLiteral("05_export");
    // ---- 5. Export -----------------------------------------------------------------------
    ui->action_switch_Export->trigger();
    check(w->currentTask() == ui->tabExport && isChecked(ui->action_switch_Export),
          QStringLiteral("5. \"3. Export\" checked"));
    check(!ui->dockStoryboardBar->isVisible(), QStringLiteral("5. no tray in Export"));
    settle();
    check(w->panoramaControl() && w->panoramaControl()->needOverayPainting(), QStringLiteral("5. the crop frame is shown"));
    shot(*w, QStringLiteral("05_export_crop"));
    {
        ui->btnRender->click();
        w->updateActions();
        check(ui->action_Export->isEnabled(), QStringLiteral("5. Start renders: Export enabled"));
    }
    shot(*w, QStringLiteral("05_export_rendered"));
    const QString outDir = home.path() + QStringLiteral("/out");
    QDir().mkpath(outDir);
    desk.saveTypes = {QStringLiteral("TIFF files (*.tif)"), QStringLiteral("JPEG files (*.jpg)")};
    desk.files = {{outDir + QStringLiteral("/pano")}, {outDir + QStringLiteral("/pano")}};
    ui->btnExport->click();
    ui->btnExport->click();
    check(QImage(outDir + QStringLiteral("/pano.tif")).width() > 1000, QStringLiteral("5. saved as TIFF"));
    check(QImage(outDir + QStringLiteral("/pano.jpg")).width() > 1000, QStringLiteral("5. saved as JPEG"));
    desk.log.clear();
    desk.saveTypes = {QStringLiteral("TIFF files (*.tif)")};
    desk.files = {{outDir + QStringLiteral("/pano")}};
    desk.buttons = {QMessageBox::Yes};
    QFile::resize(outDir + QStringLiteral("/pano.tif"), 10);
    ui->btnExport->click();
    check(desk.calls(QStringLiteral("question")).size() == 1 &&
              desk.calls(QStringLiteral("question"))[0].text.contains(QStringLiteral("already exists")),
          QStringLiteral("5. saving over an existing file asks first"));
    check(QImage(outDir + QStringLiteral("/pano.tif")).width() > 1000, QStringLiteral("5. replaced after Yes"));
    {
        w->captions.clear();
        desk.files = {{outDir + QStringLiteral("/ctrl_s.jpg")}};
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w))
            std::printf("the window is not active\n");
        QTest::keyClick(w, Qt::Key_S, Qt::ControlModifier);
        settle();
        check(QFile::exists(outDir + QStringLiteral("/ctrl_s.jpg")), QStringLiteral("5. Ctrl+S saves"));
        check(!w->saw(QStringLiteral("Analyzing")) && !w->saw(QStringLiteral("Rendering")),
              QStringLiteral("5. Ctrl+S does not rebuild"));
    }
    shot(*w, QStringLiteral("05_export_saved"));

    desk.shotPrefix = QStringLiteral("06_print");
    // ---- 6. Printing and preferences --------------------------------------------------------
    desk.log.clear();
    QTemporaryDir pdfDir;
    ui->btnExportPrintPreview->click();
    if (desk.printers.isEmpty())
        check(!desk.calls(QStringLiteral("information")).empty() &&
                  desk.calls(QStringLiteral("information"))[0].text == QStringLiteral("No valid printer found!"),
              QStringLiteral("6. preview without a printer: \"No valid printer found!\""));
    ui->manual->click();  // the width can be typed only when the scale is manual
    settle();
    check(ui->pageWidth->isEnabled(), QStringLiteral("6. manual scale: the page width can be typed"));
    const QString widthBefore = ui->pageWidth->text();
    ui->pageWidth->setFocus();
    ui->pageWidth->selectAll();
    QTest::keyClicks(ui->pageWidth, QStringLiteral("abc"));
    QTest::keyClick(ui->pageWidth, Qt::Key_Return);
    settle();
    check(ui->pageWidth->text() != QStringLiteral("abc"),
          QStringLiteral("6. page width rewritten on bad text (%1 -> %2)").arg(widthBefore, ui->pageWidth->text()));
    shot(*w, QStringLiteral("06_export_page_setup"));
    auto options = [&] {
        const Printing::PageSetup& setup = w->printSite().getPageSetup();
        return std::tuple(setup.unitsInch, setup.overlapMarks, w->document().m_compressTiff, w->document().m_jpegQuality);
    };
    const auto optionsBefore = options();
    desk.dialogs.push_back([](QDialog& d) {
        for (QAbstractButton* b : d.findChildren<QAbstractButton*>())
            if (b->isCheckable())
                b->click();
        return int(QDialog::Rejected);
    });
    ui->actionPreferences->trigger();
    check(options() == optionsBefore && desk.calls(QStringLiteral("execDialog")).size() == 1, QStringLiteral("6. preferences Cancel changes nothing"));

    // ---- 7. Tiled ----------------------------------------------------------------------------
    ui->action_switch_Stitch->trigger();
    ui->tabPanoType->setCurrentIndex(1);
    settle();
    shot(*w, QStringLiteral("07_tiled_panel"));
    ui->btnStitch->click();
    check(w->document().enableGeoOptions() && ui->sldRx->isEnabled(), QStringLiteral("7. tiled build: angle sliders enabled"));
    ui->rdbSpherical->click();
    settle();
    check(ui->rdbSpherical->isChecked(), QStringLiteral("7. sphere chosen"));
    shot(*w, QStringLiteral("07_tiled_sphere"));
    ui->rdbCylindrical->click();
    settle(1000);
    const QRect cropAtZero = w->document().cropRect();
    const QImage viewAtZero = w->panoramaView()->grab().toImage();
    const int ryBefore = ui->sldRy->value();
    const QRect groove = ui->sldRy->rect();
    QTest::mouseClick(ui->sldRy, Qt::LeftButton, {}, QPoint(groove.width() * 9 / 10, groove.height() / 2));
    settle();
    check(ui->sldRy->value() != ryBefore, QStringLiteral("7. slider moved with the mouse (%1 -> %2)").arg(ryBefore).arg(ui->sldRy->value()));
    const int rxBefore = ui->sldRx->value();
    ui->sldRx->setFocus();
    QTest::keyClick(ui->sldRx, Qt::Key_Right);
    settle();
    check(ui->sldRx->value() == rxBefore + ui->sldRx->singleStep() || ui->sldRx->value() == rxBefore - ui->sldRx->singleStep(),
          QStringLiteral("7. slider moved with the keyboard"));
    settle(1500);  // the render thread's preview at the new angles
    check(w->panoramaView()->grab().toImage() != viewAtZero, QStringLiteral("7. the preview follows the new angles"));
    shot(*w, QStringLiteral("07_tiled_angles"));
    ui->action_switch_Export->trigger();
    settle();
    const QRect cropNow = w->document().cropRect();
    check(cropNow != cropAtZero, QStringLiteral("7. the crop follows the new angle (%1,%2 %3x%4 -> %5,%6 %7x%8)")
                                     .arg(cropAtZero.x()).arg(cropAtZero.y()).arg(cropAtZero.width()).arg(cropAtZero.height())
                                     .arg(cropNow.x()).arg(cropNow.y()).arg(cropNow.width()).arg(cropNow.height()));
    shot(*w, QStringLiteral("07_tiled_export_crop"));
    ui->btnRender->click();
    settle(300);
    w->updateActions();
    check(ui->action_Export->isEnabled(), QStringLiteral("7. tiled render done"));
    shot(*w, QStringLiteral("07_tiled_rendered"));

    // ---- 8. Messages --------------------------------------------------------------------------
    auto freshTray = [&](const QStringList& files) {
        ui->action_switch_Add_Images->trigger();
        desk.dialogs.push_back([](QDialog&) { return int(QDialog::Accepted); });  // the change warning
        w->trayModel()->setFileList({});
        dropOnTray(*w, files);
        ui->action_switch_Stitch->trigger();
        settle();
    };
    desk.log.clear();
    desk.shotPrefix = QStringLiteral("08_message");
    freshTray(photos.noise);
    check(!desk.calls(QStringLiteral("execDialog")).empty(), QStringLiteral("8. \"Warning\" before the tray of a built panorama changes"));
    ui->tabPanoType->setCurrentIndex(0);
    desk.log.clear();
    ui->btnStitch->click();
    const auto infos = desk.calls(QStringLiteral("information"));
    check(!infos.empty() && infos[0].title == w->windowTitle() && infos[0].text == QStringLiteral("Could find overlapping photos. The program will switch to manual mode\n"
                                                              " and you will be able to match photos manually."), QStringLiteral("8. noise in H/V: message 100"));
    check(!desk.calls(QStringLiteral("execDialog")).empty(), QStringLiteral("8. then the matching dialog"));
    shot(*w, QStringLiteral("08_noise_hv"));
    ui->tabPanoType->setCurrentIndex(1);
    desk.log.clear();
    ui->btnStitch->click();
    check(!desk.calls(QStringLiteral("information")).empty() &&
              desk.calls(QStringLiteral("information"))[0].text == QStringLiteral("Could find overlapping photos. Please try Horizontal/vertical mode."),
          QStringLiteral("8. noise in Tiled: message 101"));
    ui->tabPanoType->setCurrentIndex(0);
    desk.log.clear();
    freshTray(photos.overlapping + QStringList{photos.otherSize});
    ui->btnStitch->click();
    check(!desk.calls(QStringLiteral("information")).empty() &&
              desk.calls(QStringLiteral("information")).back().text == QStringLiteral("Different image sizes"),
          QStringLiteral("8. the odd-size photo: message 102"));
    check(!w->trayModel()->containsPath(photos.otherSize), QStringLiteral("8. the odd-size photo leaves the tray"));
    desk.log.clear();
    freshTray(photos.overlapping + QStringList{photos.bad});
    check(!desk.calls(QStringLiteral("information")).empty() &&
              desk.calls(QStringLiteral("information")).back().text == QStringLiteral("Can't load picture"),
          QStringLiteral("8. bad.jpg: message 103"));
    shot(*w, QStringLiteral("08_messages"));

    // ---- 9. Help menu --------------------------------------------------------------------------
    desk.log.clear();
    desk.shotPrefix = QStringLiteral("09_help");
    ui->actionAbout->trigger();
    check(desk.calls(QStringLiteral("about")).size() == 1, QStringLiteral("9. About"));
    ui->actionHelp_topics->trigger();
    const auto opened = desk.calls(QStringLiteral("openUrl"));
    check(opened.size() == 1 && opened[0].text.endsWith(QStringLiteral("help/main_index.htm")) &&
              QFile::exists(QUrl(opened[0].text).toLocalFile()),
          QStringLiteral("9. Help topics opens %1").arg(opened.empty() ? QString() : opened[0].text));
    {
        HttpTestServer server;
        server.routes[QStringLiteral("/checkupdate/updateurl.html")] = {200, (server.base() + QStringLiteral("/check")).toUtf8()};
        server.routes[QStringLiteral("/check")] = {
            200, QByteArrayLiteral("<status>1</status><message250>Version 2.2 is out.</message250>"
                                   "<updateurl>http://127.0.0.1/get</updateurl><nextcheckindays>7</nextcheckindays>")};
        UpdateEndpoint endpoint;
        endpoint.host = QStringLiteral("127.0.0.1");
        endpoint.port = server.port();
        w->setUpdateEndpoint(endpoint);
        // Checked today already: the menu command asks all the same.
        SettingsStore().setValue(QStringLiteral("xvalues/XVALUE_T"), QDate::currentDate().toString(Qt::ISODate));
        desk.dialogs.push_back([](QDialog&) { return int(QDialog::Accepted); });  // OK: to the download
        ui->actionCheck_for_Updates->trigger();
        const bool answered = waitFor([&] { return !desk.calls(QStringLiteral("openUrl")).empty() &&
                                                   desk.calls(QStringLiteral("openUrl")).back().text.endsWith(QStringLiteral("/get")); },
                                      10000);
        check(answered && desk.calls(QStringLiteral("execDialog")).size() == 1 && server.requests.size() == 2,
              QStringLiteral("9. Check for Updates: the offer from 127.0.0.1 shown, OK opens its address"));
    }
    shot(*w, QStringLiteral("09_help"));

    // ---- 10. Close and restart ------------------------------------------------------------------
    // Choices made where they apply: a tiled sphere built, a crop type picked for export,
    // manual matching of all photos, list view sorted by size.
    freshTray(photos.overlapping);
    ui->tabPanoType->setCurrentIndex(1);
    settle();
    ui->btnStitch->click();
    ui->rdbSpherical->click();  // the surface can be chosen once the photos are placed
    ui->action_switch_Export->trigger();
    settle();
    ui->cmbExportCrop->setFocus();
    QTest::keyClick(ui->cmbExportCrop, ui->cmbExportCrop->currentIndex() == 0 ? Qt::Key_Down : Qt::Key_Up);
    const int cropBefore = ui->cmbExportCrop->currentIndex();
    ui->action_switch_Stitch->trigger();
    ui->tabPanoType->setCurrentIndex(0);
    settle();
    ui->rdbManualAll->click();
    ui->tabPanoType->setCurrentIndex(1);
    ui->action_switch_Add_Images->trigger();
    if (browsing) {
        ui->action_List->trigger();
        ui->action_Size->trigger();
    }
    const QRect normal(40, 40, 1000, 760);  // the user un-maximises and moves the window
    w->showNormal();
    w->setGeometry(normal);
    settle();
    const int viewMode = w->currentItemView() == ui->detailsView ? 2 : ui->listView->viewMode();
    window.reset();
    thumbsBuilt.clear();
    window = std::make_unique<WalkWindow>();
    w = window.get();
    ui = w->form();
    show(*w);
    check(w->normalGeometry().size() == normal.size(), QStringLiteral("10. the window's geometry comes back (%1x%2)")
                                                       .arg(w->normalGeometry().width()).arg(w->normalGeometry().height()));
    check(windowSettingsStored(home.path()), QStringLiteral("10. the settings were written"));
    {
        check(ui->tabPanoType->currentIndex() == 1, QStringLiteral("10. the Tiled tab comes back"));
        check(ui->rdbSpherical->isChecked(), QStringLiteral("10. the sphere comes back"));
        check(ui->rdbManualAll->isChecked(), QStringLiteral("10. manual mode comes back"));
        check(ui->cmbExportCrop->currentIndex() == cropBefore, QStringLiteral("10. the crop type comes back"));
        if (browsing) {
            check(ui->treeView->currentIndex().data(QFileSystemModel::FilePathRole).toString() == photos.folder,
                  QStringLiteral("10. the folder comes back"));
            check(ui->cmbVisitedFolders->findText(photos.folder) >= 0, QStringLiteral("10. the history comes back"));
            check((w->currentItemView() == ui->detailsView ? 2 : ui->listView->viewMode()) == viewMode,
                  QStringLiteral("10. the view mode comes back"));
            check(ui->action_Size->isChecked(), QStringLiteral("10. the sort mode comes back"));
        }
    }
    if (browsing) {
        const std::atomic<bool> stop{false};
        const QStringList cached = GetThumbsDataBase().GetAllFiles(stop);
        int held = 0;
        for (const QString& p : photos.all())
            held += cached.contains(p) ? 1 : 0;
        check(held == photos.all().size() - 1, QStringLiteral("10. the thumbnail database holds the folder's thumbnails (%1)").arg(held));
        const QString again = browseTo(*w, photos.folder);
        check(again.isEmpty(), QStringLiteral("10. the folder shown again %1").arg(again));
        settle(1500);
        check(thumbsBuilt.isEmpty(), QStringLiteral("10. the second browse builds none (%1 built)").arg(thumbsBuilt.size()));
    }
    shot(*w, QStringLiteral("10_restart"));

    window.reset();
    GetThumbsManager().shutdown();
    GetThumbsDataBase().close();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
