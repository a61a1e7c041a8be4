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
// failed. It runs with a fresh HOME (and XDG folders) of its own and none of the
// machine's printers, both arranged before the application object exists. GUI thread
// only, except the engines' and thumbnail builders' own threads.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QTimer>
#include <QPushButton>
#include <QElapsedTimer>
#include <QDialog>
#include <QDir>
#include <QFileSystemModel>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QMimeData>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTreeView>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <tuple>

#include "app/main_window.h"
#include "app/pano_view_control.h"
#include "app/panorama_view.h"
#include "app/progress_dialog.h"
#include "browser/file_list_model.h"
#include "browser/thumb_delegate.h"
#include "browser/thumbs_database.h"
#include "browser/thumbs_manager.h"
#include "tests/support/no_printers.h"
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

void settle(int ms = 150) { waitFor([] { return false; }, ms); }

void shot(QWidget& widget, const QString& name)
{
    settle();
    const QString file = g_shots + '/' + name + ".png";
    if (!widget.grab().save(file))
        check(false, "screenshot " + file + " written");
    else
        std::printf("screenshot: %s\n", qPrintable(file));
}

// The scripted desktop, plus what a user sees: each dialog and message box is shown on
// the screen and captured before the scripted answer closes it, and the save dialog's
// file type can be chosen.
class WalkDesktop : public ScriptedDesktop {
public:
    std::deque<QString> saveTypes;  // the file type picked in the next save dialogs
    QString shotPrefix = "dialog";
    int shots = 0;
    using Button = QMessageBox::StandardButton;
    using Buttons = QMessageBox::StandardButtons;

    Button information(QWidget* p, const QString& t, const QString& s, Buttons b, Button d) override
    {
        return capture(QMessageBox::Information, p, t, s, b), ScriptedDesktop::information(p, t, s, b, d);
    }
    Button warning(QWidget* p, const QString& t, const QString& s, Buttons b, Button d) override
    {
        return capture(QMessageBox::Warning, p, t, s, b), ScriptedDesktop::warning(p, t, s, b, d);
    }
    Button question(QWidget* p, const QString& t, const QString& s, Buttons b, Button d) override
    {
        return capture(QMessageBox::Question, p, t, s, b), ScriptedDesktop::question(p, t, s, b, d);
    }
    void about(QWidget* p, const QString& t, const QString& s) override
    {
        capture(QMessageBox::Information, p, t, s, QMessageBox::Ok);
        ScriptedDesktop::about(p, t, s);
    }
    QString getSaveFileName(QWidget* p, const QString& c, const QString& dir, const QString& f, QString* chosen) override
    {
        if (!saveTypes.empty()) {
            if (chosen)
                *chosen = saveTypes.front();
            saveTypes.pop_front();
        }
        return ScriptedDesktop::getSaveFileName(p, c, dir, f, chosen);
    }
    int execDialog(QDialog& dialog) override
    {
        dialog.show();
        save(dialog, QString::fromLatin1(dialog.metaObject()->className()));
        dialog.hide();
        return ScriptedDesktop::execDialog(dialog);
    }
    // Whether the first (or last) call of a kind had this text.
    bool said(const QString& kind, const QString& text, bool last = false) const
    {
        const auto c = calls(kind);
        return !c.empty() && (last ? c.back() : c.front()).text == text;
    }

private:
    void capture(QMessageBox::Icon icon, QWidget* parent, const QString& title, const QString& text, Buttons buttons)
    {
        QMessageBox box(icon, title, text, buttons, parent);
        box.show();
        save(box, "message");
    }
    void save(QWidget& w, const QString& what)
    {
        settle(250);
        shot(w, QStringLiteral("%1_%2_%3").arg(shotPrefix).arg(++shots, 2, 10, QLatin1Char('0')).arg(what));
    }
};

// The photos of the walk, in a folder under the fresh home: three overlapping views of one
// scene, the middle one again as a camera held on its side stores it (turned, with its
// EXIF orientation tag), two unrelated noise pictures of the same size, a photo of
// another size and a file of junk named like a photo.
struct WalkPhotos {
    QString folder;
    QStringList overlapping, noise;
    QString turned, otherSize, bad;
    QStringList all() const { return overlapping + noise + QStringList{turned, otherSize, bad}; }
};

WalkPhotos makePhotos(const QString& folder)
{
    WalkPhotos p;
    p.folder = folder;
    QDir().mkpath(folder);
    const vltest::Scene scene(vltest::smallSceneOptions(5));
    const vltest::StripOptions strip{.count = 3, .width = 720, .height = 540, .motion = vltest::Motion::TranslateScale};
    const std::vector<QImage> views = vltest::imagesOf(vltest::makeStrip(scene, strip));
    p.overlapping = vltest::savePhotos(views, folder, vltest::FileFormat::Jpeg, 95, "overlap_");
    p.turned = folder + "/turned.jpg";
    vltest::saveOrientedJpeg(views[1], p.turned, 6);
    std::mt19937 random(7);
    std::vector<QImage> noise(2, QImage(strip.width, strip.height, QImage::Format_RGB32));
    for (QImage& image : noise)
        std::generate_n(reinterpret_cast<quint32*>(image.bits()), image.width() * image.height(),
                        [&] { return quint32(random()) | 0xff000000u; });
    p.noise = vltest::savePhotos(noise, folder, vltest::FileFormat::Jpeg, 90, "noise_");
    p.otherSize = folder + "/other_size.jpg";
    vltest::saveImage(vltest::planeCrop(scene, QRect(100, 100, 500, 620)), p.otherSize, vltest::FileFormat::Jpeg);
    p.bad = folder + "/bad.jpg";
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

// The real window, which also notes every progress caption the engines and the document
// set (a build shorter than the progress dialog's delay never shows the dialog, so the
// captions cannot be read off the screen).
class WalkWindow : public MainWindow {
public:
    QStringList captions;
    bool saw(const QString& start) const
    {
        return std::any_of(captions.begin(), captions.end(), [&](const QString& c) { return c.startsWith(start); });
    }
    using MainWindow::SetProgressCaption;
    void SetProgressCaption(unsigned id, const std::wstring& text) override
    {
        captions << progressCaptionText(id, QString::fromStdWString(text));
        MainWindow::SetProgressCaption(id, text);
        lastPoll.invalidate();
    }
    // The longest time between two polls of the progress dialog since the last caption.
    qint64 longestPollGap = 0;
    QElapsedTimer lastPoll;
    bool AbortProgressIndicator(int max, int value) override
    {
        if (lastPoll.isValid())
            longestPollGap = std::max(longestPollGap, lastPoll.elapsed());
        const bool cancelled = MainWindow::AbortProgressIndicator(max, value);
        lastPoll.start();  // from the end of this poll's own event processing
        return cancelled;
    }
};

bool isChecked(QAction* a) { return a->isCheckable() && a->isChecked(); }
int viewRows(QAbstractItemView* view) { return view->model() ? view->model()->rowCount(view->rootIndex()) : 0; }
QString treeFolder(Ui_MainWindow& ui) { return ui.treeView->currentIndex().data(QFileSystemModel::FilePathRole).toString(); }
int viewMode(MainWindow& w) { return w.currentItemView() == w.form()->detailsView ? 2 : w.form()->listView->viewMode(); }

// Opens `folder` in the folder tree as a user does: down from the tree's current folder
// by name, each level expanded, then a click on the folder. An empty answer when it got
// there, else what went wrong.
QString browseTo(MainWindow& w, const QString& folder)
{
    Ui_MainWindow& ui = *w.form();
    QAbstractItemModel* tree = ui.treeView->model();
    QPersistentModelIndex at = ui.treeView->currentIndex();  // the proxy moves rows as folders load
    const QString start = treeFolder(ui);
    if (start.isEmpty() || (start != folder && !folder.startsWith(start + '/')))
        return "the tree's current folder is \"" + start + '"';
    for (const QString& name : folder.mid(start.size() + 1).split('/', Qt::SkipEmptyParts)) {
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
            return "no folder \"" + name + "\" in the tree";
        at = next;
    }
    // Clicked once the tree has laid the row out; clicked again should the first click
    // have landed while the tree was still moving rows.
    for (int attempt = 0; attempt < 3; ++attempt) {
        ui.treeView->scrollTo(at);
        waitFor([&] { return ui.treeView->viewport()->rect().contains(ui.treeView->visualRect(at).center()); }, 3000);
        settle();
        QTest::mouseClick(ui.treeView->viewport(), Qt::LeftButton, {}, ui.treeView->visualRect(at).center());
        if (waitFor([&] { return viewRows(ui.listView) > 0 && treeFolder(ui) == folder; }, 5000))
            return {};
    }
    return "the click on the folder showed no files";
}

// Selects the browser's rows of these files (in the current file view).
void selectInBrowser(MainWindow& w, const QStringList& paths)
{
    QAbstractItemView* view = w.currentItemView();
    view->selectionModel()->clearSelection();
    for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r) {
        const QModelIndex i = view->model()->index(r, 0, view->rootIndex());
        for (const QString& p : paths)
            if (p == i.data(Qt::UserRole + 1).toString() || QFileInfo(p).fileName() == i.data().toString())
                view->selectionModel()->select(i, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

// An action or button, then a moment for the window to follow.
void act(QAction* a, int ms = 150) { a->trigger(), settle(ms); }
void act(QAbstractButton* b, int ms = 150) { b->click(), settle(ms); }

QString rectText(const QRect& r) { return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()); }

}  // namespace

int main(int argc, char** argv)
{
    // A fresh home before Qt reads any folder: settings, thumbnail database and photos.
    QTemporaryDir home;
    if (!home.isValid())
        return std::printf("0 passed, 1 failed\n"), 1;
    for (const char* var : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
        const QString name = QString::fromLatin1(var);
        const QString path = name == "HOME" ? home.path() : home.path() + '/' + name.toLower();
        QDir().mkpath(path);
        qputenv(var, QFile::encodeName(path));
    }
    vltest::hidePrinters(home.path());  // the walk's print checks are those of a machine without printers

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("VARNO Imaging");
    QCoreApplication::setApplicationName("VARNO Vistaloom");
    QCoreApplication::setOrganizationDomain("varno-imaging.example");
    QCoreApplication::setApplicationVersion("2.1.0.1705");
    g_shots = argc > 1 ? QString::fromLocal8Bit(argv[argc - 1]) : QStringLiteral("screenshots");
    QDir(g_shots).removeRecursively();
    QDir().mkpath(g_shots);
    std::printf("platform: %s, home: %s\n", qPrintable(QGuiApplication::platformName()), qPrintable(home.path()));

    initInterfaceColors(app);
    GetThumbsDataBase().Init();
    GetThumbsManager().Init();
    WalkDesktop desk;
    Desktop::ScopedDesktop use(desk);
    const WalkPhotos photos = makePhotos(home.path() + "/Pictures/walk");
    const QStringList all = photos.all();

    auto window = std::make_unique<WalkWindow>();
    WalkWindow* w = window.get();
    Ui_MainWindow* ui = w->form();
    auto show = [](MainWindow& win) {
        win.showAtStart();
        if (!QTest::qWaitForWindowExposed(&win))
            std::printf("the window was not exposed\n");
        settle(300);
    };
    auto scale = [&] { return w->panoramaView()->scaleFactor(); };

    // ---- 1. Start ---------------------------------------------------------------------
    show(*w);
    check(w->windowTitle() == "VARNO Vistaloom", "1. window title \"VARNO Vistaloom\"");
    check(w->isMaximized() || w->geometry() == QGuiApplication::primaryScreen()->availableGeometry(),
          "1. window maximised");
    check(isChecked(ui->action_switch_Add_Images) && !isChecked(ui->action_switch_Stitch), "1. \"1. Add Images\" checked");
    check(QDir(treeFolder(*ui)) == QDir::home(), "1. folder tree at home (" + treeFolder(*ui) + ')');
    const QRegularExpression total("Total \\d+ files");
    waitFor([&] { return w->statusLabel(0)->text().contains(total); }, 3000);
    check(w->statusLabel(0)->text().contains(total), "1. status bar \"Total N files\" (" + w->statusLabel(0)->text() + ')');
    shot(*w, "01_start");

    // ---- 2. Browse ----------------------------------------------------------------------
    QSignalSpy thumbsBuilt(&GetThumbsManager(), &ThumbsManager::thumbnailUpdated);
    const QString browseError = browseTo(*w, photos.folder);
    const bool browsing = browseError.isEmpty();
    check(browsing, "2. the folder tree opens the photos' folder " + browseError);
    if (browsing) {
        check(viewRows(ui->listView) == all.size(), "2. the folder shows all its files");
        check(waitFor([&] {
                  std::set<QString> done;
                  for (const QList<QVariant>& args : thumbsBuilt)
                      done.insert(args.value(0).toString());
                  return std::all_of(all.begin(), all.end(),
                                     [&](const QString& p) { return p == photos.bad || done.count(p); });
              }),
              "2. thumbnails of the readable photos arrive");
        check(GetThumbsDataBase().GetThumbImage(photos.bad).isNull(), "2. bad.jpg has no thumbnail");
        check(GetThumbsDataBase().GetThumbImage(photos.turned).size() == QSize(240, 180),
              "2. the photo taken on its side has an upright thumbnail");
        shot(*w, "02_browse_thumbnails");
        act(ui->action_List);
        check(w->currentItemView() == ui->listView && ui->listView->viewMode() == QListView::ListMode, "2. list view");
        shot(*w, "02_browse_list");
        act(ui->action_Details);
        check(w->currentItemView() == ui->detailsView && ui->detailsView->isVisible(), "2. details view");
        act(ui->action_Date);
        check(ui->action_Date->isChecked(), "2. sorted by date");
        shot(*w, "02_browse_details_by_date");
        act(ui->action_Thumbnails);

        // ---- 3. Tray -------------------------------------------------------------------------
        check(!ui->btnAddPicture->isEnabled(), "3. Add disabled while nothing is selected");
        selectInBrowser(*w, photos.overlapping);
        settle();
        check(ui->btnAddPicture->isEnabled(), "3. Add enabled by the browser's selection");
        ui->btnAddPicture->click();
        check(w->trayModel()->fileList() == photos.overlapping, "3. the selected three on the tray");
        ui->btnAddPicture->click();
        check(w->trayModel()->count() == 3, "3. adding again changes nothing");
    } else {
        dropOnTray(*w, photos.overlapping);  // the rest of the walk still has its photos
    }
    check(!ui->btnRemovePicture->isEnabled(), "3. Remove disabled while nothing on the tray is selected");
    ui->storyboard->selectionModel()->select(w->trayModel()->index(1, 0), QItemSelectionModel::ClearAndSelect);
    settle();
    check(ui->btnRemovePicture->isEnabled(), "3. Remove enabled by the tray's selection");
    ui->btnRemovePicture->click();
    check(w->trayModel()->count() == 2 && !w->trayModel()->containsPath(photos.overlapping[1]),
          "3. Remove takes the selected photo off the tray");
    dropOnTray(*w, {photos.overlapping[1]});
    check(w->trayModel()->count() == 3, "3. the photo added back");
    shot(*w, "03_tray");

    // ---- 4. Stitch ------------------------------------------------------------------------
    w->captions.clear();
    act(ui->action_switch_Stitch);
    check(w->currentTask() == ui->tabStitch && isChecked(ui->action_switch_Stitch), "4. \"2. Stitch\" checked");
    check(w->saw("Loading images: "), "4. photos loaded (" + w->captions.join(", ") + ')');
    check(w->document().images().size() == 3, "4. three photos in the document");
    check(ui->btnStitch->isEnabled(), "4. \"Start Stitching!\" enabled");
    shot(*w, "04_stitch_panel");
    w->captions.clear();
    ui->btnStitch->click();
    for (const char* caption : {"Analyzing", "Matching", "Stitching"})
        check(w->saw(caption), QStringLiteral("4. caption \"%1…\" (%2)").arg(caption, w->captions.join(", ")));
    const bool built = w->document().builtEngine() &&
                       w->document().builtEngine()->GetPanoramaStatus()->nStatus == PanoramaLib::kStatusBuilt;
    check(built && w->panoramaView()->hasPicture(), "4. the preview in the view");
    check(w->progressDialog() == nullptr, "4. the progress dialog closed after the build");
    check(!ui->btnStitch->isEnabled(), "4. \"Start Stitching!\" disabled: nothing changed since the build");
    w->updateActions();
    check(!ui->action_Export->isEnabled(), "4. Export disabled before the render");
    shot(*w, "04_stitch_preview");
    if (w->panoramaView()->hasPicture()) {
        act(ui->action_Actual_1_1);
        check(qFuzzyCompare(scale(), 1.0), "4. 1:1");
        ui->actionZoom_in->trigger();
        check(scale() > 1.0, "4. zoom in");
        shot(*w, "04_stitch_zoomed");
        const double zoomed = scale();
        act(ui->actionFit_window);
        check(scale() < zoomed, "4. fit to the window");
        // Zoomed in and out as far as the actions go: the slider follows to its ends and
        // each end stops its action.
        for (const bool in : {true, false}) {
            QAction* zoom = in ? ui->actionZoom_in : ui->actionZoom_out;
            for (int i = 0; i < 60 && zoom->isEnabled(); ++i) {
                zoom->trigger();
                w->updateActions();
            }
            check(!zoom->isEnabled() && (in ? ui->actionZoom_out : ui->actionZoom_in)->isEnabled() &&
                      w->zoomSlider()->value() == (in ? 100 : 0) && qFuzzyCompare(scale(), in ? 10.0 : 0.01),
                  QStringLiteral("4. zoom %1 stops at %2 % with the slider at %3")
                      .arg(QString(in ? "in" : "out")).arg(scale() * 100).arg(w->zoomSlider()->value()));
        }
        ui->actionFit_window->trigger();
        shot(*w, "04_stitch_fit");
    }

    // ---- 5. Export -----------------------------------------------------------------------
    desk.shotPrefix = "05_export";
    act(ui->action_switch_Export);
    check(w->currentTask() == ui->tabExport && isChecked(ui->action_switch_Export), "5. \"3. Export\" checked");
    check(!ui->dockStoryboardBar->isVisible(), "5. no tray in Export");
    check(w->panoramaControl() && w->panoramaControl()->needOverayPainting(), "5. the crop frame is shown");
    shot(*w, "05_export_crop");
    ui->btnRender->click();
    w->updateActions();
    check(ui->action_Export->isEnabled(), "5. Start renders: Export enabled");
    shot(*w, "05_export_rendered");
    const QString out = home.path() + "/out/";
    QDir().mkpath(out);
    auto wide = [&](const QString& name) { return QImage(out + name).width() > 1000; };
    desk.saveTypes = {"TIFF files (*.tif)", "JPEG files (*.jpg)", "TIFF files (*.tif)"};
    desk.files = {{out + "pano"}, {out + "pano"}, {out + "pano"}};
    ui->btnExport->click();
    ui->btnExport->click();
    check(wide("pano.tif"), "5. saved as TIFF");
    check(wide("pano.jpg"), "5. saved as JPEG");
    desk.log.clear();
    desk.buttons = {QMessageBox::Yes};
    QFile::resize(out + "pano.tif", 10);
    ui->btnExport->click();
    check(desk.calls("question").size() == 1 && desk.calls("question")[0].text.contains("already exists"),
          "5. saving over an existing file asks first");
    check(wide("pano.tif"), "5. replaced after Yes");
    auto bytes = [](const QString& path) { QFile f(path); return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(); };
    const QByteArray source = bytes(photos.overlapping[0]);
    desk.log.clear();
    desk.saveTypes = {"JPEG files (*.jpg)", "PNG files (*.png)"};
    desk.files = {{photos.overlapping[0]}, {out + "beside_the_photos"}};
    ui->btnExport->click();
    check(desk.calls("warning").size() == 1 && desk.calls("warning")[0].text.contains("is one of the panorama's photos") &&
              desk.calls("getSaveFileName").size() == 2 && bytes(photos.overlapping[0]) == source &&
              wide("beside_the_photos.png"),
          "5. saving over a photo of the panorama is refused, the photo kept, another name asked");
    w->captions.clear();
    desk.files = {{out + "ctrl_s.jpg"}};
    w->activateWindow();
    if (!QTest::qWaitForWindowActive(w))
        std::printf("the window is not active\n");
    QTest::keyClick(w, Qt::Key_S, Qt::ControlModifier);
    settle();
    check(QFile::exists(out + "ctrl_s.jpg"), "5. Ctrl+S saves");
    check(!w->saw("Analyzing") && !w->saw("Rendering"), "5. Ctrl+S does not rebuild");
    shot(*w, "05_export_saved");

    // ---- 6. Printing and preferences --------------------------------------------------------
    desk.shotPrefix = "06_print";
    desk.log.clear();
    ui->btnExportPrintPreview->click();
    if (desk.printers.isEmpty())
        check(desk.said("information", "No valid printer found!"), "6. preview without a printer: \"No valid printer found!\"");
    act(ui->manual);  // the width can be typed only when the scale is manual
    check(ui->pageWidth->isEnabled(), "6. manual scale: the page width can be typed");
    const QString widthBefore = ui->pageWidth->text();
    ui->pageWidth->setFocus();
    ui->pageWidth->selectAll();
    QTest::keyClicks(ui->pageWidth, "abc");
    QTest::keyClick(ui->pageWidth, Qt::Key_Return);
    settle();
    check(ui->pageWidth->text() != "abc", "6. page width rewritten on bad text (" + widthBefore + " -> " + ui->pageWidth->text() + ')');
    shot(*w, "06_export_page_setup");
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
    check(options() == optionsBefore && desk.calls("execDialog").size() == 1, "6. preferences Cancel changes nothing");

    // ---- 7. Tiled ----------------------------------------------------------------------------
    ui->action_switch_Stitch->trigger();
    ui->tabPanoType->setCurrentIndex(1);
    settle();
    w->updateActions();
    check(ui->btnStitch->isEnabled() && ui->action_Stitch->isEnabled(),
          "7. the Tiled kind picked after a Horizontal/Vertical build: \"Start Stitching!\" and Stitch enabled");
    shot(*w, "07_tiled_panel");
    ui->btnStitch->click();
    check(w->document().enableGeoOptions() && ui->sldRx->isEnabled(), "7. tiled build: angle sliders enabled");
    act(ui->rdbSpherical);
    check(ui->rdbSpherical->isChecked(), "7. sphere chosen");
    shot(*w, "07_tiled_sphere");
    act(ui->rdbCylindrical, 1000);
    const QRect cropAtZero = w->document().cropRect();
    const QImage viewAtZero = w->panoramaView()->grab().toImage();
    const int ryBefore = ui->sldRy->value();
    QTest::mouseClick(ui->sldRy, Qt::LeftButton, {}, QPoint(ui->sldRy->width() * 9 / 10, ui->sldRy->height() / 2));
    settle();
    check(ui->sldRy->value() != ryBefore, QStringLiteral("7. slider moved with the mouse (%1 -> %2)").arg(ryBefore).arg(ui->sldRy->value()));
    const int rxBefore = ui->sldRx->value();
    ui->sldRx->setFocus();
    QTest::keyClick(ui->sldRx, Qt::Key_Right);
    settle();
    check(std::abs(ui->sldRx->value() - rxBefore) == ui->sldRx->singleStep(), "7. slider moved with the keyboard");
    settle(1500);  // the render thread's preview at the new angles
    check(w->panoramaView()->grab().toImage() != viewAtZero, "7. the preview follows the new angles");
    shot(*w, "07_tiled_angles");
    act(ui->action_switch_Export);
    const QRect cropNow = w->document().cropRect();
    check(cropNow != cropAtZero, "7. the crop follows the new angle (" + rectText(cropAtZero) + " -> " + rectText(cropNow) + ')');
    shot(*w, "07_tiled_export_crop");
    act(ui->btnRender, 300);
    w->updateActions();
    check(ui->action_Export->isEnabled(), "7. tiled render done");
    shot(*w, "07_tiled_rendered");

    // ---- 8. Messages --------------------------------------------------------------------------
    auto freshTray = [&](const QStringList& files) {
        ui->action_switch_Add_Images->trigger();
        desk.dialogs.push_back([](QDialog&) { return int(QDialog::Accepted); });  // the change warning
        w->trayModel()->setFileList({});
        dropOnTray(*w, files);
        act(ui->action_switch_Stitch);
    };
    // Stitches on a tab with a fresh log: whether the first information box said `text`.
    auto stitchSays = [&](int tab, const QString& text) {
        ui->tabPanoType->setCurrentIndex(tab);
        desk.log.clear();
        ui->btnStitch->click();
        return desk.said("information", text);
    };
    desk.log.clear();
    desk.shotPrefix = "08_message";
    freshTray(photos.noise);
    check(!desk.calls("execDialog").empty(), "8. \"Warning\" before the tray of a built panorama changes");
    check(stitchSays(0, "Could not find overlapping photos. The program will switch to manual mode\n"
                        " and you will be able to match photos manually.") &&
              desk.calls("information")[0].title == w->windowTitle(),
          "8. noise in H/V: message 100");
    check(!desk.calls("execDialog").empty(), "8. then the matching dialog");
    shot(*w, "08_noise_hv");
    check(stitchSays(1, "Could not find overlapping photos. Please try Horizontal/vertical mode."), "8. noise in Tiled: message 101");
    // After the failed build one photo is taken off the tray, while the browser still has
    // both selected: entering Stitch tops the tray of one up from that selection.
    act(ui->action_switch_Add_Images);
    if (browsing)
        selectInBrowser(*w, photos.noise);
    const std::size_t answers = desk.dialogs.size();
    desk.dialogs.push_back([](QDialog&) { return int(QDialog::Accepted); });  // the change warning, if asked
    ui->storyboard->selectionModel()->select(w->trayModel()->index(1, 0), QItemSelectionModel::ClearAndSelect);
    act(ui->btnRemovePicture);
    if (desk.dialogs.size() > answers)
        desk.dialogs.pop_back();
    shot(*w, "08_removed_after_failed_build");
    act(ui->action_switch_Stitch);
    {
        QStringList tray = w->trayModel()->fileList();
        tray.sort();
        QStringList expected = browsing ? photos.noise : QStringList{photos.noise[0]};
        expected.sort();
        check(tray == expected && std::count_if(w->document().images().begin(), w->document().images().end(),
                                                [](auto* e) { return e; }) == expected.size(),
              "8. a tray of one photo is topped up from the browser's selection (" + tray.join(", ") + ')');
    }
    shot(*w, "08_stitch_after_removal");
    ui->tabPanoType->setCurrentIndex(0);
    desk.log.clear();
    freshTray(photos.overlapping + QStringList{photos.otherSize});
    ui->btnStitch->click();
    check(desk.said("information", MainWindow::messageText(kMsgDifferentSizes), true), "8. the odd-size photo: message 102");
    check(!w->trayModel()->containsPath(photos.otherSize), "8. the odd-size photo leaves the tray");
    desk.log.clear();
    bool progressOverMessage = false;
    desk.whileOpen = [&](const ScriptedDesktop::Call&) {
        if (ProgressDialog* p = w->progressDialog()) {
            QMetaObject::invokeMethod(p, "forceShow");  // Qt's show timer, inside the box's loop
            settle(100);
            progressOverMessage |= p->isVisible();
        }
    };
    freshTray(photos.overlapping + QStringList{photos.bad});
    desk.whileOpen = nullptr;
    check(!progressOverMessage && std::count_if(w->document().images().begin(), w->document().images().end(),
                                                [](auto* e) { return e; }) == 3,
          "8. bad.jpg: the loading progress stays below the message, the other photos load");
    ui->btnStitch->click();
    check(w->document().builtEngine()->GetPanoramaStatus()->nStatus == PanoramaLib::kStatusBuilt,
          "8. bad.jpg answered: the build goes on");
    check(!desk.calls("information").empty() && desk.calls("information").back().text == "Can't load picture",
          "8. bad.jpg: message 103");
    shot(*w, "08_messages");
    // The middle photo as taken with the camera on its side: read upright, it stitches.
    desk.log.clear();
    freshTray({photos.overlapping[0], photos.turned, photos.overlapping[2]});
    ui->btnStitch->click();
    const PanoramaLib::IPanoElement* turned = w->document().images().size() == 3 ? w->document().images()[1] : nullptr;
    check(turned && turned->GetWidth() == 720 && turned->GetHeight() == 540, "8. the turned photo is loaded upright");
    check(desk.calls("information").empty() &&
              w->document().builtEngine()->GetPanoramaStatus()->nStatus == PanoramaLib::kStatusBuilt,
          "8. the turned photo stitches with the others");
    shot(*w, "08_turned_photo");

    // ---- 9. Help menu --------------------------------------------------------------------------
    desk.log.clear();
    desk.shotPrefix = "09_help";
    ui->actionAbout->trigger();
    check(desk.calls("about").size() == 1, "9. About");
    ui->actionHelp_topics->trigger();
    const auto opened = desk.calls("openUrl");
    check(opened.size() == 1 && opened[0].text.endsWith("help/main_index.htm") &&
              QFile::exists(QUrl(opened[0].text).toLocalFile()),
          "9. Help topics opens " + (opened.empty() ? QString() : opened[0].text));
    {
        HttpTestServer server;
        server.routes["/checkupdate/updateurl.html"] = {200, (server.base() + "/check").toUtf8()};
        server.routes["/check"] = {200, "<status>1</status><message250>Version 2.2 is out.</message250>"
                                        "<updateurl>http://127.0.0.1/get</updateurl><nextcheckindays>7</nextcheckindays>"};
        UpdateEndpoint endpoint;
        endpoint.host = "127.0.0.1";
        endpoint.port = server.port();
        w->setUpdateEndpoint(endpoint);
        // Checked today already: the menu command asks all the same.
        SettingsStore().setValue("xvalues/XVALUE_T", QDate::currentDate().toString(Qt::ISODate));
        desk.dialogs.push_back([](QDialog&) { return int(QDialog::Accepted); });  // OK: to the download
        ui->actionCheck_for_Updates->trigger();
        const bool answered = waitFor([&] { return desk.calls("openUrl").back().text.endsWith("/get"); }, 10000);
        check(answered && desk.calls("execDialog").size() == 1 && server.requests.size() == 2,
              "9. Check for Updates: the offer from 127.0.0.1 shown, OK opens its address");
    }
    shot(*w, "09_help");

    // ---- 10. Close and restart ------------------------------------------------------------------
    // Choices made where they apply: a tiled sphere built, a crop type picked for export,
    // manual matching of all photos, list view sorted by size.
    freshTray(photos.overlapping);
    ui->tabPanoType->setCurrentIndex(1);
    settle();
    ui->btnStitch->click();
    ui->rdbSpherical->click();  // the surface can be chosen once the photos are placed
    act(ui->action_switch_Export);
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
    const int modeBefore = viewMode(*w);
    window.reset();
    thumbsBuilt.clear();
    window = std::make_unique<WalkWindow>();
    w = window.get();
    ui = w->form();
    show(*w);
    check(w->normalGeometry().size() == normal.size(),
          QStringLiteral("10. the window's geometry comes back (%1x%2)").arg(w->normalGeometry().width()).arg(w->normalGeometry().height()));
    check(SettingsStore().fileName().startsWith(home.path()) && SettingsStore().childGroups().contains("stitching"),
          "10. the settings were written under the fresh home");
    check(ui->tabPanoType->currentIndex() == 1, "10. the Tiled tab comes back");
    check(ui->rdbSpherical->isChecked(), "10. the sphere comes back");
    check(ui->rdbManualAll->isChecked(), "10. manual mode comes back");
    check(ui->cmbExportCrop->currentIndex() == cropBefore, "10. the crop type comes back");
    if (browsing) {
        check(treeFolder(*ui) == photos.folder, "10. the folder comes back");
        check(ui->cmbVisitedFolders->findText(photos.folder) >= 0, "10. the history comes back");
        check(viewMode(*w) == modeBefore, "10. the view mode comes back");
        check(ui->action_Size->isChecked(), "10. the sort mode comes back");
        const std::atomic<bool> stop{false};
        const QStringList cached = GetThumbsDataBase().GetAllFiles(stop);
        const auto held = std::count_if(all.begin(), all.end(), [&](const QString& p) { return cached.contains(p); });
        check(held == all.size() - 1, QStringLiteral("10. the thumbnail database holds the folder's thumbnails (%1)").arg(held));
        const QString again = browseTo(*w, photos.folder);
        check(again.isEmpty(), "10. the folder shown again " + again);
        settle(1500);
        check(thumbsBuilt.isEmpty(), QStringLiteral("10. the second browse builds none (%1 built)").arg(thumbsBuilt.size()));
    }
    shot(*w, "10_restart");

    // ---- 11. Cancel during a long build -----------------------------------------------------------
    // A tiled build of a 6 x 6 mosaic of 1200 x 800 photos, whose bundle adjustment runs for
    // more than a minute polling the dialog without moving the bar: a click on Cancel a
    // second into it ends the build within a second.
    {
        // The set `make_scene --mosaic 6x6 --width 1200 --height 800 --overlap 0.35 --seed 1`
        // writes: a sphere of enough texels that the views are not magnified.
        vltest::SceneOptions sphere;
        std::tie(sphere.seed, sphere.planeWidth, sphere.planeHeight, sphere.sphereWidth) = std::tuple(1, 64, 64, 7680);
        const vltest::Scene big(sphere);
        vltest::MosaicOptions six;
        std::tie(six.rows, six.cols, six.width, six.height, six.overlap, six.seed) = std::tuple(6, 6, 1200, 800, 0.35, 1);
        const vltest::PhotoSet mosaic = vltest::makeMosaicPhotoSet(big, six);
        desk.shotPrefix = "11_cancel";
        freshTray(mosaic.paths);
        ui->tabPanoType->setCurrentIndex(1);
        settle();
        check(ui->btnStitch->isEnabled(), "11. \"Start Stitching!\" enabled for the mosaic");
        w->captions.clear();
        // The user clicks at a moment of their own, a second into "Stitching...": a click the
        // window cannot take at once waits like this timer, so the time counts from then.
        QElapsedTimer clock;
        qint64 stitchingAt = -1, clickAt = -1, clickedAt = -1;
        QTimer watcher;  // fires only while the window lets events through during the build
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            if (clickedAt >= 0)
                return;
            if (stitchingAt < 0) {
                if (w->saw("Stitching")) {
                    stitchingAt = clock.elapsed();
                    w->longestPollGap = 0;
                }
                return;
            }
            ProgressDialog* p = w->progressDialog();
            QPushButton* cancel = p ? p->findChild<QPushButton*>() : nullptr;
            if (!cancel || !cancel->isVisible())
                return;
            if (clickAt < 0)
                clickAt = std::max(clock.elapsed(), stitchingAt + 1000);
            if (clock.elapsed() < clickAt)
                return;
            p->grab().save(g_shots + "/11_cancel_progress.png");
            clickedAt = clock.elapsed();
            QTest::mouseClick(cancel, Qt::LeftButton);
        });
        watcher.start(20);
        clock.start();
        ui->btnStitch->click();
        const qint64 endedAt = clock.elapsed();
        watcher.stop();
        std::printf("11. captions: %s; \"Stitching...\" at %lld ms, Cancel due at %lld ms and clicked at %lld ms, "
                    "end at %lld ms; longest time between two polls under \"Stitching...\" %lld ms\n",
                    qPrintable(w->captions.last()), stitchingAt, clickAt, clickedAt, endedAt, w->longestPollGap);
        check(clickedAt >= 0, "11. Cancel clicked a second into the bundle adjustment");
        check(clickedAt >= 0 && endedAt - clickAt <= 1000,
              QStringLiteral("11. the build ends %1 ms after the click").arg(endedAt - clickAt));
        check(w->progressDialog() == nullptr &&
                  w->document().builtEngine()->GetPanoramaStatus()->nStatus != PanoramaLib::kStatusBuilt,
              "11. the cancelled build leaves no panorama and no progress dialog");
        w->updateActions();
        check(ui->btnStitch->isEnabled() && ui->action_Stitch->isEnabled(), "11. a new build is offered after the cancel");
        shot(*w, "11_cancelled");
    }

    window.reset();
    GetThumbsManager().shutdown();
    GetThumbsDataBase().close();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
