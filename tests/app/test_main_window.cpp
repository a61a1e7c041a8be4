// The main window's start-up, action refresh, zoom and small commands, offscreen.
#include <QAction>
#include <QProgressDialog>
#include <QSlider>
#include <QTimerEvent>

#include "app/panorama_view.h"
#include "tests/app/window_fixture.h"

namespace {

// Collects the warnings Qt gives for a form slot whose name matches no signal.
struct WarningCatcher {
    static inline QStringList caught;
    QtMessageHandler previous;
    WarningCatcher()
    {
        caught.clear();
        previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
            if (msg.contains(QLatin1String("connectSlotsByName")))
                caught << msg;
        });
    }
    ~WarningCatcher() { qInstallMessageHandler(previous); }
};

}  // namespace

TEST_F(WindowTest, StartsWithDefaultsOnTheAddImagesPage)
{
    EXPECT_EQ(w->windowTitle(), QStringLiteral("VARNO Vistaloom"));
    EXPECT_EQ(ui().stackMainTask->currentWidget(), ui().tabAddImages);
    EXPECT_EQ(w->currentTask(), ui().tabAddImages);
    EXPECT_EQ(ui().stackedWidget->currentIndex(), 0);
    EXPECT_EQ(ui().tabPanoType->currentIndex(), 0);  // Horizontal/Vertical
    EXPECT_TRUE(w->horzVert());
    EXPECT_EQ(w->hvOptions().motionModel, PanoramaLib::MotionTranslate);
    EXPECT_EQ(w->hvOptions().nLensType, 7);
    EXPECT_EQ(ui().cmbFocalLength->currentText(), QStringLiteral("35mm"));
    EXPECT_TRUE(ui().rdbMatchingTranslate->isChecked());
    EXPECT_EQ(w->thumbSizeValue(), 50);
    EXPECT_FALSE(ui().btnAddPicture->isEnabled());
    EXPECT_FALSE(ui().btnRemovePicture->isEnabled());
    EXPECT_FALSE(w->document().getCurPanoramaType());
    EXPECT_NE(w->document().hvPanorama(), nullptr);
    EXPECT_NE(w->document().tiledPanorama(), nullptr);
    EXPECT_TRUE(desk.log.empty());  // nothing modal at start-up
}

TEST(WindowForm, EveryFormSlotFindsItsSignal)
{
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use(desk);
    WarningCatcher catcher;
    { MainWindow w; }
    EXPECT_TRUE(WarningCatcher::caught.isEmpty()) << WarningCatcher::caught.join('\n').toStdString();
}

TEST_F(WindowTest, FormTiesAnglesAndRingOption)
{
    ui().sldRy->setValue(-45);
    EXPECT_EQ(ui().spnRy->value(), -45);
    ui().spnRy->setValue(60);  // clamped by both
    EXPECT_EQ(ui().sldRy->value(), 45);
    ui().chk360->setChecked(true);
    EXPECT_FALSE(ui().grpMatching->isEnabledTo(ui().tabHorzVert));
    ui().chk360->setChecked(false);
    EXPECT_TRUE(ui().grpMatching->isEnabledTo(ui().tabHorzVert));
    EXPECT_EQ(w->findChildren<QToolBar*>().size(), 2);
    EXPECT_EQ(w->findChildren<QAction*>(QString(), Qt::FindDirectChildrenOnly).size(), 35);
}

TEST_F(WindowTest, TimerRefreshesActionsAndIgnoresForeignTimers)
{
    ui().action_Export->setEnabled(true);
    ui().action_Render->setEnabled(true);
    QTimerEvent foreign(w->actionTimerId() + 1000);
    QCoreApplication::sendEvent(w.get(), &foreign);
    EXPECT_TRUE(ui().action_Export->isEnabled());

    QTimerEvent own(w->actionTimerId());
    QCoreApplication::sendEvent(w.get(), &own);
    EXPECT_FALSE(ui().action_Export->isEnabled());  // nothing rendered
    EXPECT_FALSE(ui().action_Render->isEnabled());  // and never on Add Images
    EXPECT_FALSE(ui().action_Stitch->isEnabled());  // empty tray
    EXPECT_FALSE(ui().actionFit_window->isEnabled());
}

TEST_F(WindowTest, ThumbnailZoomStopsAtBothEnds)
{
    struct Step {
        bool in;
        int expected;
    };
    // 50 -> 60 .. 90 -> 100 (a step above 99 lands on 100) -> back down to 0.
    const Step steps[] = {{true, 60}, {true, 70}, {true, 80}, {true, 90}, {true, 100}, {true, 100},
                          {false, 90}, {false, 80}, {false, 70}, {false, 60}, {false, 50},
                          {false, 40}, {false, 30}, {false, 20}, {false, 10}, {false, 0}, {false, 0}};
    for (const Step& s : steps) {
        (s.in ? ui().actionZoom_in : ui().actionZoom_out)->trigger();
        EXPECT_EQ(w->thumbSizeValue(), s.expected);
        EXPECT_EQ(w->zoomSlider()->value(), s.expected);
        w->updateActions();
        EXPECT_EQ(ui().actionZoom_in->isEnabled(), s.expected <= 99);
        EXPECT_EQ(ui().actionZoom_out->isEnabled(), s.expected > 0);
    }
}

TEST_F(WindowTest, ViewContextMenuOffersTheSixZoomActions)
{
    desk.menus.push_back(ScriptedDesktop::pick(QStringLiteral("Fit window")));
    w->onPanoramaViewContextMenu(QPoint(5, 5));
    ASSERT_EQ(desk.calls("execMenu").size(), 1u);
    EXPECT_EQ(desk.calls("execMenu")[0].text,
              QStringLiteral("Zoom in|Zoom out|Fit window|Fit width|Fit height|&Actual (1:1)"));
    EXPECT_EQ(desk.calls("execMenu")[0].parent, w->panoramaView());
}

TEST(WindowDirectories, FolderBesideTheProgramElseTheProgramFolder)
{
    const QString exeDir = QCoreApplication::applicationDirPath();
    QDir(exeDir).mkpath(QStringLiteral("vl_test_help"));
    EXPECT_EQ(MainWindow::directoryOf(QStringLiteral("vl_test_help")).absolutePath(), exeDir + "/vl_test_help");
    QDir(exeDir).rmdir(QStringLiteral("vl_test_help"));
    // An installed program: bin/ beside share/vistaloom/.
    const QString shared = exeDir + QStringLiteral("/../share/vistaloom/vl_test_installed");
    QDir().mkpath(shared);
    EXPECT_EQ(MainWindow::directoryOf(QStringLiteral("vl_test_installed")).absolutePath(),
              QDir(shared).canonicalPath());
    QDir().rmpath(shared);
    EXPECT_EQ(MainWindow::directoryOf(QStringLiteral("vl_no_such_folder")).absolutePath(), QDir(exeDir).absolutePath());
}
