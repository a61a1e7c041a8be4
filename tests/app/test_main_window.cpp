// The main window offscreen: its form, action refresh, zoom and small commands; the
// desktop seam; the window as the engines' and the document's user interface (progress
// dialog, photo highlights, the matching dialog's answer, the tray as the file list);
// the preferences dialog; and the three task modes, over scripted engines where the test
// is about which build runs, the real ones for File > Export after a render.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QProgressDialog>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>

#include "app/panorama_view.h"
#include "tests/app/window_fixture.h"
#include "tests/support/fake_engines.h"

namespace {

QStringList g_slotWarnings;  // Qt's warnings for a form slot whose name matches no signal

struct Fakes {
    vltest::CallLog log;
    vltest::FakeEngines engines{log};
};

class TaskModeTest : protected Fakes, public WindowTest {
protected:
    TaskModeTest() : WindowTest(engines.Factories()) {}
    int builds() const { return log.Count("hv.Build") + log.Count("tiled.Build"); }
};

// Fires the progress dialog's show timer (what Qt calls once its minimum duration has passed) inside
// every message box; whether the dialog then showed, one entry per box.
void fireProgressTimerInMessages(ScriptedDesktop& desk, MainWindow& w, std::vector<bool>& shown)
{
    desk.whileOpen = [&](const ScriptedDesktop::Call&) {
        QMetaObject::invokeMethod(w.progressDialog(), "forceShow");
        shown.push_back(w.progressDialog()->isVisible());
    };
}

}  // namespace

TEST(WindowForm, EveryFormSlotFindsItsSignalAndDesktopScopesNest)
{
    Desktop::IDesktop* real = &Desktop::desktop();
    ScriptedDesktop desk, inner;
    {
        Desktop::ScopedDesktop use(desk);
        {
            Desktop::ScopedDesktop useInner(inner);
            EXPECT_EQ(&Desktop::desktop(), &inner);
        }
        EXPECT_EQ(&Desktop::desktop(), &desk);
        g_slotWarnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& msg) {
            if (msg.contains(QLatin1String("connectSlotsByName")))
                g_slotWarnings << msg;
        });
        { MainWindow w; }
        qInstallMessageHandler(previous);
    }
    EXPECT_EQ(&Desktop::desktop(), real);
    EXPECT_TRUE(g_slotWarnings.isEmpty()) << g_slotWarnings.join('\n').toStdString();
}

// An engine that cannot be made (a factory that gives none, or runs out of memory) is
// said in a message and no window is made: the program then ends with status 1. The
// engine that was made is released.
TEST(WindowStartUp, AnEngineThatCannotBeMadeIsSaidInsteadOfACrash)
{
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use(desk);
    Fakes fakes;
    fakes.engines.failTiled = true;
    EngineFactories outOfMemory = fakes.engines.Factories();
    outOfMemory.createHV = [](PanoramaLib::IDibManager*) -> PanoramaLib::IHVPanorama* { throw std::bad_alloc(); };
    for (const auto& [factories, said] : {std::pair(fakes.engines.Factories(), "Tiled/Multifocus stitching engine could not"),
                                          std::pair(outOfMemory, "Horizontal/Vertical stitching engine could not be created (not enough memory)")}) {
        EXPECT_EQ(MainWindow::create(factories), nullptr);
        ASSERT_EQ(desk.calls("warning").size(), desk.log.size());
        EXPECT_TRUE(desk.log.back().text.contains(said)) << desk.log.back().text.toStdString();
    }
    EXPECT_EQ(fakes.log.Count("hv.Release"), 1);
}

TEST_F(WindowTest, FormTiesAnglesAndRingTimerRefreshesActionsViewMenuZooms)
{
    ui().sldRy->setValue(-45);
    const int tied = ui().spnRy->value();
    ui().spnRy->setValue(60);  // clamped by both
    EXPECT_EQ(std::pair(tied, ui().sldRy->value()), std::pair(-45, 45));
    ui().chk360->setChecked(true);
    EXPECT_FALSE(ui().grpMatching->isEnabledTo(ui().tabHorzVert));
    ui().chk360->setChecked(false);
    EXPECT_TRUE(ui().grpMatching->isEnabledTo(ui().tabHorzVert));

    // The action timer refreshes the actions; other timers do not.
    ui().action_Export->setEnabled(true);
    ui().action_Render->setEnabled(true);
    QTimerEvent foreign(w->actionTimerId() + 1000);
    QCoreApplication::sendEvent(w.get(), &foreign);
    EXPECT_TRUE(ui().action_Export->isEnabled());
    QTimerEvent own(w->actionTimerId());
    QCoreApplication::sendEvent(w.get(), &own);
    // Nothing rendered, never on Add Images, an empty tray.
    for (QAction* a : {ui().action_Export, ui().action_Render, ui().action_Stitch, ui().actionFit_window})
        EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();

    // The view's context menu offers the six zoom actions.
    desk.menus.push_back(ScriptedDesktop::pick(QStringLiteral("Fit window")));
    w->onPanoramaViewContextMenu(QPoint(5, 5));
    ASSERT_EQ(desk.calls("execMenu").size(), 1u);
    EXPECT_EQ(std::pair(desk.calls("execMenu")[0].text.toStdString(), desk.calls("execMenu")[0].parent),
              std::pair(std::string("Zoom in|Zoom out|Fit window|Fit width|Fit height|&Actual (1:1)"), (QWidget*)w->panoramaView()));
}

// A caption set before a dialog opens waits for it and labels it; set while one is open
// it is that dialog's label and the waiting caption stays; closing forgets the caption,
// so a later open shows no label. The dialog keeps Qt's own minimum width and duration.
TEST_F(WindowTest, ProgressCaptionLabelsTheNextDialogUntilItCloses)
{
    w->SetProgressCaption(104, L"a.jpg");
    EXPECT_EQ(w->progressCaption(), "Loading images: a.jpg");
    w->OpenProgressIndicatorWOAbort();
    ASSERT_NE(w->progressDialog(), nullptr);
    const QProgressDialog plain;
    EXPECT_EQ(std::make_tuple(w->progressDialog()->labelText().toStdString(), w->progressDialog()->windowModality(),
                              w->progressDialog()->minimumWidth(), w->progressDialog()->minimumDuration()),
              std::make_tuple(std::string("Loading images: a.jpg"), Qt::WindowModal, plain.minimumWidth(), plain.minimumDuration()));
    w->SetProgressCaption(12, L"b.jpg");
    EXPECT_EQ(std::pair(w->progressDialog()->labelText(), w->progressCaption()),
              std::pair(QString("Analyzing b.jpg..."), QString("Loading images: a.jpg")));
    w->CloseProgressIndicator();
    EXPECT_TRUE(w->progressDialog() == nullptr && w->progressCaption().isEmpty());
    for (bool withCancel : {false, true}) {
        withCancel ? w->OpenProgressIndicator() : w->OpenProgressIndicatorWOAbort();
        EXPECT_TRUE(w->progressDialog()->labelText().isEmpty()) << withCancel;
        w->CloseProgressIndicator();
    }
    for (const auto& [id, text] : {std::pair(11u, "Analyzing..."), std::pair(13u, "Matching..."), std::pair(14u, "Stitching..."),
                                   std::pair(15u, "Rendering..."), std::pair(7u, "Unknown message 7")}) {
        w->SetProgressCaption(id);
        EXPECT_EQ(w->progressCaption(), QString::fromLatin1(text));
    }
}

// Work that polls with one value for a long time (a bundle adjustment) leaves the window
// answering: a click on Cancel, made while an engine-like loop polls at a constant value,
// is seen by that loop. (Qt lets events through only for a new value.)
TEST_F(WindowTest, CancelIsSeenWhileTheWorkPollsWithOneValue)
{
    w->OpenProgressIndicator();
    ProgressDialog* p = w->progressDialog();
    p->setMinimumDuration(0);  // stands for Qt's delay having passed
    EXPECT_FALSE(w->AbortProgressIndicator(100, 91));
    ASSERT_TRUE(p->isVisible());
    QPushButton* cancel = p->findChild<QPushButton*>();
    ASSERT_TRUE(cancel && cancel->isVisible());
    QTimer::singleShot(20, cancel, [cancel] { QTest::mouseClick(cancel, Qt::LeftButton); });
    bool cancelled = false;
    for (int poll = 0; poll < 1500 && !cancelled; ++poll) {
        QThread::msleep(2);  // a slice of the work between two polls
        cancelled = w->AbortProgressIndicator(100, 91);
    }
    EXPECT_TRUE(cancelled);
    w->CloseProgressIndicator();
}

// Once Qt's minimum duration has passed a poll shows the dialog, with its Cancel, even
// for a value Qt itself would not show it for. Qt's show timer firing inside a message
// box's loop leaves it hidden below the box, and it comes back after; Escape is the
// user's Cancel, also at the last step.
TEST_F(WindowTest, ProgressShowsWhenDueStepsAsideForAMessageAndKeepsACancelAtTheLastStep)
{
    w->HideProgress(true);  // without a dialog: harmless
    w->HideProgress(false);
    EXPECT_FALSE(w->AbortProgressIndicator(5, 1));
    w->CloseProgressIndicator();
    w->OpenProgressIndicator();
    w->OpenProgressIndicator();  // a second open without a close leaves one dialog
    EXPECT_EQ(w->findChildren<QProgressDialog*>().size(), 1);
    ProgressDialog* p = w->progressDialog();
    p->setMinimumDuration(30);
    EXPECT_FALSE(w->AbortProgressIndicator(10, 3));
    EXPECT_EQ(std::make_tuple(p->minimum(), p->maximum(), p->value(), p->isVisible()), std::make_tuple(0, 10, 3, false));
    QThread::msleep(40);
    EXPECT_FALSE(w->AbortProgressIndicator(10, 3));
    EXPECT_TRUE(p->isVisible() && p->findChild<QPushButton*>()->isVisible());
    std::vector<bool> shownDuring;
    fireProgressTimerInMessages(desk, *w, shownDuring);
    w->ShowMessageBox(kMsgDifferentSizes);
    EXPECT_EQ(std::pair(shownDuring, p->isVisible()), std::pair(std::vector<bool>{false}, true));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(p, &escape);
    EXPECT_TRUE(w->AbortProgressIndicator(10, 10));  // Qt's auto-reset would forget it here
    EXPECT_TRUE(w->AbortProgressIndicator(10, 10));
    w->CloseProgressIndicator();
    EXPECT_TRUE(w->findChildren<QProgressDialog*>().isEmpty());
}

// The messages' texts; a photo that cannot be loaded gets message 103 as it stands, and
// the loading progress stays below that message even when Qt's show timer fires; the
// other photos load. Without a cancel button neither Escape nor the close box takes the
// dialog away from the work.
TEST_F(WindowTest, MessageTextsAndABadPhotosMessageAboveTheProgress)
{
    for (const auto& [id, said] :
         {std::pair(100u, "Could not find overlapping photos. The program will switch to manual mode\n and you will be able to match photos manually."),
          std::pair(101u, "Could not find overlapping photos. Please try Horizontal/vertical mode."),
          std::pair(102u, "Different image sizes"), std::pair(103u, "Can't load picture"), std::pair(5u, "Unknown message 5")})
        EXPECT_EQ(MainWindow::messageText(id), QString::fromLatin1(said)) << id;
    QTemporaryDir dir;
    QFile bad(dir.filePath("cut.jpg"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly) && bad.write("no photo") > 0 && bad.flush());
    std::vector<bool> shownDuring;
    fireProgressTimerInMessages(desk, *w, shownDuring);
    load({stripPhotos().paths[0], bad.fileName(), stripPhotos().paths[1]});
    ASSERT_EQ(desk.calls("information").size(), 1u);
    EXPECT_EQ(desk.calls("information")[0].text, "Can't load picture");
    EXPECT_EQ(shownDuring, std::vector<bool>{false});
    EXPECT_EQ(std::count_if(w->document().images().begin(), w->document().images().end(), [](auto* e) { return e; }), 2);

    w->OpenProgressIndicatorWOAbort();
    ProgressDialog* p = w->progressDialog();
    p->show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(p, &escape);
    p->close();
    EXPECT_TRUE(p->isVisible() && !p->wasCanceled());
    w->CloseProgressIndicator();
}

// The tray as the document's file list, its highlights, and the matching dialog's
// refusal, which leaves both photos unmarked.
TEST_F(WindowTest, TrayAsTheDocumentsFileList)
{
    auto marked = [&] { return ui().storyboard->selectionModel()->selectedIndexes().size(); };
    w->trayModel()->setFileList({"/p/a.jpg", "/p/b.jpg", "/p/a.jpg", "/p/c.jpg"});
    std::list<std::wstring> out{L"/kept.jpg"};
    w->getFiles(out);
    EXPECT_EQ(std::pair(out.size(), out.front()), std::pair(std::size_t(5), std::wstring(L"/kept.jpg")));
    EXPECT_EQ(std::tuple(w->findFile(L"/p/c.jpg"), w->findFile(L"/p/C.jpg"), w->hasImages()), std::tuple(true, false, true));
    w->HighlightImages({L"/p/a.jpg"}, true);  // the path is on the tray twice
    EXPECT_EQ(marked(), 2);
    w->HighlightImage(L"/p/absent.jpg", true);
    EXPECT_EQ(marked(), 2);
    w->HighlightImage(L"/p/c.jpg", true);  // earlier marks stay
    EXPECT_EQ(marked(), 3);
    w->HighlightImages({L"/p/a.jpg", L"/p/c.jpg"}, false);
    EXPECT_EQ(marked(), 0);

    const QStringList& photos = stripPhotos().paths;
    w->trayModel()->setFileList(photos);
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> a, b;
    a.Adopt(w->document().importPicture(photos[0].toStdWString(), false));
    b.Adopt(w->document().importPicture(photos[1].toStdWString(), false));
    ASSERT_TRUE(a && b);
    for (PanoramaLib::IPanoElement* first : {(PanoramaLib::IPanoElement*)nullptr, a.get()}) {
        EXPECT_EQ(w->OpenManualMatchingDialog(first, b, nullptr), 1);
        EXPECT_EQ(marked(), 0);
    }
}

// Cancel changing nothing: the end-to-end walk. OK stores every control (the quality set
// by its spin box beyond 100 and then by its slider) and units are read anew.
TEST_F(WindowTest, PreferencesOkStoresEverything)
{
    const Printing::PageSetup& s = w->printSite().getPageSetup();
    auto answer = [](int unitsIndex, int shownQuality) {
        return [=](QDialog& d) {
            auto* slider = d.findChild<QSlider*>("sldQuality");
            EXPECT_EQ(slider->value(), shownQuality);
            d.findChild<QSpinBox*>("spinQuality")->setValue(140);
            EXPECT_EQ(slider->value(), 100);
            d.findChild<QComboBox*>("cbUnits")->setCurrentIndex(unitsIndex);
            d.findChild<QCheckBox*>("chPrintMarkers")->setChecked(false);
            d.findChild<QCheckBox*>("chLZVComp")->setChecked(true);
            slider->setValue(20);
            return int(QDialog::Accepted);
        };
    };
    auto options = [&] { return std::tuple(s.unitsInch, s.overlapMarks, w->document().m_compressTiff, w->document().m_jpegQuality); };
    EXPECT_EQ(options(), std::tuple(true, true, false, 75));
    desk.dialogs.push_back(answer(0, 75));
    w->on_actionPreferences_triggered();
    EXPECT_EQ(desk.calls("execDialog").at(0).title, "Preferences");
    EXPECT_EQ(options(), std::tuple(false, false, true, 20));

    // Switching units keeps the printed length: 1 cm stored reads as 0.39in.
    ui().marginsLeft->setText("1");
    w->on_marginsLeft_editingFinished();
    ASSERT_EQ(s.marginLeft, 100);
    EXPECT_EQ(ui().marginsLeft->text(), "1.00cm");
    desk.dialogs.push_back(answer(1, 20));
    w->on_actionPreferences_triggered();
    EXPECT_EQ(ui().marginsLeft->text(), "0.39in");
}

// Add Images -> Export with nothing built: the photos are loaded (the Stitch entry), then
// the kind of the visible tab is built once, with that tab's controls.
TEST_F(TaskModeTest, AddImagesToExportBuildsTheVisibleKindOnce)
{
    using namespace PanoramaLib;
    for (const auto& [choice, model] : {std::pair("rdbSpherical", MotionAffine), {"rdbMatchingSimple", MotionSimple},
                                        {"rdbMatchingTranslate", MotionTranslate}, {"rdbMatchingAffine", MotionAffine}}) {
        SCOPED_TRACE(choice);
        w.reset(), SettingsStore().clear(), log.Clear();
        w = std::make_unique<MainWindow>(nullptr, engines.Factories());
        const bool tiled = choice == std::string("rdbSpherical");
        w->trayModel()->setFileList(stripPhotos().paths);
        ui().tabPanoType->setCurrentIndex(tiled);
        for (auto* b : {w->findChild<QAbstractButton*>(choice), (QAbstractButton*)ui().chkPolinom24})
            b->setChecked(true), b->clicked(true);  // as a click on the panel, disabled in Add Images
        ui().action_switch_Export->trigger();
        EXPECT_EQ(std::tuple(w->currentTask(), ui().stackedWidget->currentWidget(), ui().dockSideBar->windowTitle(),
                             w->document().taskMode(), ui().dockStoryboardBar->isVisibleTo(w.get())),
                  std::tuple(ui().tabExport, ui().pageStitch, QString("Export"), TaskMode::TaskExport, false));
        EXPECT_EQ(std::tuple(w->document().getPanoramaType(), w->document().getCurPanoramaType(), log.Matching(tiled ? "tiled.Build" : "hv.Build"),
                             builds()),
                  std::tuple(tiled, tiled, std::vector<std::string>{tiled ? "tiled.BuildPanorama(2)" : "hv.BuildPanorama(2)"}, 1));
        if (tiled)
            EXPECT_EQ(std::pair(engines.tiled->options.surfaceType, engines.tiled->options.nLensPolynomial), std::pair(SurfaceSpherical, 1));
        else
            EXPECT_EQ(engines.hv->options.motionModel, model);
    }
}

// Export keeps a preview whose render is pending. Once the full-size image exists, or
// after a build that failed, every way into Export builds the preview again (Export
// again, a detour to Stitch), except File > Export, which saves the render. A change of
// the photo list throws the result away on leaving Add Images.
TEST_F(TaskModeTest, ExportBuildsAgainUnlessARenderIsPendingOrFileExportSavesIt)
{
    w->trayModel()->setFileList(stripPhotos().paths);
    ui().action_switch_Stitch->trigger();
    EXPECT_EQ(w->document().images().size(), 2u);
    ASSERT_TRUE(w->document().onBtnStitch());
    ui().action_switch_Export->trigger();  // the render is pending: nothing rebuilt
    EXPECT_EQ(builds(), 1);
    const auto state = [&] {
        return std::tuple(builds(), w->document().enableBtnRender(), w->document().enableBtnSave());
    };
    ASSERT_TRUE(w->document().onBtnRender());
    w->updateActions();
    ui().action_Export->trigger();  // its save dialog cancelled
    EXPECT_EQ(desk.calls("getSaveFileName").size(), 1u);
    EXPECT_EQ(state(), std::tuple(1, false, true)) << "File > Export keeps the render";
    ui().action_switch_Export->trigger();
    EXPECT_EQ(state(), std::tuple(2, true, false)) << "Export again";
    ASSERT_TRUE(w->document().onBtnRender());
    ui().action_switch_Stitch->trigger();
    EXPECT_EQ(state(), std::tuple(2, false, true)) << "Stitch";
    ui().action_switch_Export->trigger();
    EXPECT_EQ(state(), std::tuple(3, true, false)) << "Stitch -> Export";

    ASSERT_TRUE(w->document().onBtnRender());
    engines.hv->script.buildResult = false;
    ui().action_switch_Export->trigger();
    EXPECT_EQ(state(), std::tuple(4, false, false)) << "a failed build";
    engines.hv->script.buildResult = true;
    ui().action_switch_Export->trigger();
    EXPECT_EQ(state(), std::tuple(5, true, false)) << "Export again after it";

    ui().action_switch_Add_Images->trigger();
    desk.dialogs.push_back([](QDialog&) { return int(QDialog::Accepted); });  // the warning: Yes
    w->trayModel()->removeFiles({stripPhotos().paths[1]});
    ASSERT_TRUE(w->document().listChanged());
    ui().action_switch_Stitch->trigger();
    EXPECT_EQ(std::tuple(log.Count("hv.FreePanoramaImages"), w->document().listChanged(), w->document().GetPanorama()),
              std::tuple(1, false, nullptr));
}

// The save dialog's answer is refused, and asked again, when it is one of the panorama's
// photos: by its own name, through a link, or by a name the file type completes. (And the
// preview built on the way to Export, while its view was hidden, is fitted once shown.)
TEST_F(WindowTest, ExportCommandAfterARenderSavesTheRenderedFileNeverOverAPhoto)
{
    QTemporaryDir out;
    QStringList photos;
    for (const QString& p : stripPhotos().paths)
        ASSERT_TRUE(QFile::copy(p, photos.emplace_back(out.filePath(QFileInfo(p).fileName()))));
    ASSERT_TRUE(QFile::link(photos[1], out.filePath("link.jpg")));
    auto bytes = [&](int i) { QFile f(photos[i]); return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(); };
    const QByteArray original = bytes(0) + bytes(1);
    w->trayModel()->setFileList(photos);
    w->show();
    ui().action_switch_Export->trigger();  // builds the preview on the way
    const QSize room = w->panoramaView()->maximumViewportSize(), shown = w->panoramaView()->actualSize();
    EXPECT_DOUBLE_EQ(w->panoramaView()->scaleFactor(), std::min(double(room.width()) / shown.width(), double(room.height()) / shown.height()));
    w->updateActions();
    ui().action_Render->trigger();
    w->updateActions();
    ASSERT_TRUE(ui().action_Export->isEnabled());
    desk.files = {{photos[0]}, {out.filePath("link.jpg")}, {photos[1].chopped(4)}, {out.filePath("panorama.png")}};
    ui().action_Export->trigger();
    EXPECT_EQ(desk.calls("getSaveFileName").size(), 4u);
    ASSERT_EQ(desk.calls("warning").size(), 3u);
    EXPECT_TRUE(desk.calls("warning")[0].text.startsWith(photos[0] + " is one of the panorama's photos."));
    EXPECT_EQ(bytes(0) + bytes(1), original);
    EXPECT_TRUE(w->document().enableBtnSave());  // the render was kept
    EXPECT_GT(QImage(out.filePath("panorama.png")).width(), 400);
}

// Entering Stitch tops up a tray of fewer than two photos from the browser's selection,
// not only an empty one; the photos load and the panel is enabled. The empty view has its
// one text whatever the tray holds.
TEST_F(BrowserTest, EnteringStitchTopsUpATrayOfFewerThanTwoFromTheBrowser)
{
    const QString hint = "Press \"Start Stitching!\" button to build panorama";
    w->updateActions();
    EXPECT_EQ(w->panoramaView()->text(), hint);
    static const vltest::Scene scene(vltest::smallSceneOptions(3));
    const vltest::PhotoSet photos = vltest::makePhotoSet(
        {vltest::planeCrop(scene, QRect(0, 0, 320, 240)), vltest::planeCrop(scene, QRect(600, 600, 320, 240))});
    showFolderAndWait(photos.dir->path());
    ui().listView->selectAll();
    ui().action_switch_Stitch->trigger();
    EXPECT_EQ(std::pair(w->trayModel()->count(), ui().tabStitch->isEnabled()), std::pair(2, true));
    ui().action_switch_Add_Images->trigger();
    w->trayModel()->removeFiles({photos.paths[1]});
    ASSERT_EQ(w->trayModel()->count(), 1);
    ui().action_switch_Stitch->trigger();
    QStringList tray = w->trayModel()->fileList();
    tray.sort();
    w->updateActions();
    EXPECT_EQ(std::tuple(tray, w->document().images().size(), ui().tabStitch->isEnabled(), w->panoramaView()->text()),
              std::tuple(QStringList(photos.paths), std::size_t(2), true, hint));
}
