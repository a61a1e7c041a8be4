// The three task modes against the real document: scripted engines where the test is about
// which build runs, the real ones for File > Export after a render. Offscreen, through the
// desktop seam.
#include <QTemporaryDir>

#include "browser/file_list_model.h"
#include "tests/app/window_fixture.h"
#include "tests/support/fake_engines.h"
#include "tests/support/scene.h"

class TaskModeTest : public ::testing::Test {
protected:
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use{desk};
    bool cleared = (SettingsStore().clear(), true);
    vltest::CallLog log;
    vltest::FakeEngines engines{log};
    std::unique_ptr<MainWindow> w = std::make_unique<MainWindow>(nullptr, engines.Factories());
    // Two small photos of one size: enough for the document to load and the fakes to "build".
    vltest::PhotoSet photos = [] {
        QImage a(64, 48, QImage::Format_RGB888);
        a.fill(Qt::darkGreen);
        return vltest::makePhotoSet({a, a});
    }();

    Ui_MainWindow& ui() { return *w->form(); }
    int builds() const { return log.Count("hv.Build") + log.Count("tiled.Build"); }
};

TEST_F(TaskModeTest, AddImagesToExportBuildsTheVisibleKindOnce)
{
    w->trayModel()->setFileList(photos.paths);
    ui().tabPanoType->setCurrentIndex(1);  // Tiled/Multifocus, with the tab's own controls
    ui().rdbSpherical->setChecked(true);
    w->on_rdbSpherical_clicked();
    ui().chkPolinom24->setChecked(true);
    w->on_chkPolinom24_clicked(true);
    ui().action_switch_Export->trigger();
    EXPECT_EQ(std::tuple(w->currentTask(), ui().stackedWidget->currentWidget(), ui().dockSideBar->windowTitle()),
              std::tuple(ui().tabExport, ui().pageStitch, QString("Export")));
    EXPECT_EQ(w->document().taskMode(), TaskMode::TaskExport);
    EXPECT_EQ(std::tuple(ui().action_switch_Export->isChecked(), ui().dockStoryboardBar->isVisibleTo(w.get()),
                         w->document().getPanoramaType(), w->document().getCurPanoramaType()),
              std::tuple(true, false, true, true));
    // The photos were loaded (the Stitch entry) before the one build.
    EXPECT_EQ(log.Matching("tiled.Build"), std::vector<std::string>{"tiled.BuildPanorama(2)"});
    EXPECT_EQ(builds(), 1);
    EXPECT_EQ(engines.tiled->options.surfaceType, PanoramaLib::SurfaceSpherical);
    EXPECT_EQ(engines.tiled->options.nLensPolynomial, 1);
}

TEST_F(TaskModeTest, ExportKeepsAPendingOrFinishedResult)
{
    w->trayModel()->setFileList(photos.paths);
    ui().action_switch_Stitch->trigger();
    EXPECT_EQ(w->document().images().size(), 2u);
    ASSERT_TRUE(w->document().onBtnStitch());
    ui().action_switch_Export->trigger();  // the render is pending: nothing rebuilt
    EXPECT_EQ(builds(), 1);
    ASSERT_TRUE(w->document().onBtnRender());
    // With the result rendered, neither Export again nor a detour to Stitch rebuilds.
    for (QAction* a : {ui().action_switch_Export, ui().action_switch_Stitch, ui().action_switch_Export}) {
        a->trigger();
        EXPECT_EQ(builds(), 1);
        EXPECT_TRUE(w->document().enableBtnSave());
    }
}

TEST_F(TaskModeTest, TooFewPhotosStillSwitch)
{
    w->trayModel()->setFileList(photos.paths.mid(0, 1));
    ui().action_switch_Export->trigger();
    EXPECT_EQ(w->currentTask(), ui().tabExport);
    ui().action_switch_Stitch->trigger();
    EXPECT_EQ(w->currentTask(), ui().tabStitch);
    EXPECT_EQ(builds(), 0);
    EXPECT_EQ(w->document().taskMode(), TaskMode::TaskStitch);
    EXPECT_FALSE(ui().action_Add_images->isEnabled());  // browser actions off outside Add Images
}

TEST_F(WindowTest, ExportCommandAfterARenderSavesTheRenderedFile)
{
    static const vltest::Scene scene(vltest::smallSceneOptions(3));
    const vltest::PhotoSet photos =
        vltest::makeStripPhotoSet(scene, {.count = 2, .width = 320, .height = 240, .motion = vltest::Motion::TranslateScale});
    w->trayModel()->setFileList(photos.paths);
    ui().action_switch_Export->trigger();  // builds the preview on the way
    w->updateActions();
    ui().action_Render->trigger();
    w->updateActions();
    ASSERT_TRUE(ui().action_Export->isEnabled());
    QTemporaryDir out;
    desk.files.push_back({out.filePath("panorama.png")});
    ui().action_Export->trigger();
    EXPECT_TRUE(w->document().enableBtnSave());  // the render was kept
    EXPECT_GT(QImage(out.filePath("panorama.png")).width(), 320);
    EXPECT_TRUE(desk.calls("warning").empty());
}
