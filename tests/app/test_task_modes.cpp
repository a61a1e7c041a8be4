// The three task modes against the real document: scripted engines where the test is about
// which build runs, the real ones for File > Export after a render. Offscreen, through the
// desktop seam.
#include <QAction>
#include <QCheckBox>
#include <QDockWidget>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>

#include "browser/file_list_model.h"
#include "tests/app/window_fixture.h"
#include "tests/support/fake_engines.h"
#include "tests/support/scene.h"

namespace {

// Two small photos of one size: enough for the document to load and the fakes to "build".
const vltest::PhotoSet& twoPhotos()
{
    static const vltest::PhotoSet set = [] {
        QImage a(64, 48, QImage::Format_RGB888);
        a.fill(Qt::darkGreen);
        QImage b = a;
        b.fill(Qt::darkBlue);
        return vltest::makePhotoSet({a, b});
    }();
    return set;
}

}  // namespace

class TaskModeTest : public ::testing::Test {
protected:
    ScriptedDesktop desk;
    Desktop::ScopedDesktop use{desk};
    bool cleared = (SettingsStore().clear(), true);
    vltest::CallLog log;
    vltest::FakeEngines engines{log};
    std::unique_ptr<MainWindow> w = std::make_unique<MainWindow>(nullptr, engines.Factories());

    Ui_MainWindow& ui() { return *w->form(); }
    int builds() const { return log.Count("hv.Build") + log.Count("tiled.Build"); }
};

TEST_F(TaskModeTest, AddImagesToExportBuildsTheVisibleKindOnce)
{
    w->trayModel()->setFileList(twoPhotos().paths);
    ui().tabPanoType->setCurrentIndex(1);  // Tiled/Multifocus, with the tab's own controls
    ui().rdbSpherical->setChecked(true);
    w->on_rdbSpherical_clicked();
    ui().chkPolinom24->setChecked(true);
    w->on_chkPolinom24_clicked(true);
    ui().action_switch_Export->trigger();

    EXPECT_EQ(w->currentTask(), ui().tabExport);
    EXPECT_EQ(w->document().taskMode(), TaskMode::TaskExport);
    EXPECT_TRUE(ui().action_switch_Export->isChecked());
    EXPECT_EQ(ui().dockSideBar->windowTitle(), QStringLiteral("Export"));
    EXPECT_FALSE(ui().dockStoryboardBar->isVisibleTo(w.get()));
    EXPECT_EQ(ui().stackedWidget->currentWidget(), ui().pageStitch);
    // The photos were loaded (the Stitch entry) before the one build.
    EXPECT_EQ(log.Matching("tiled.Build"), std::vector<std::string>{"tiled.BuildPanorama(2)"});
    EXPECT_EQ(builds(), 1);
    EXPECT_TRUE(w->document().getPanoramaType());
    EXPECT_TRUE(w->document().getCurPanoramaType());
    EXPECT_EQ(engines.tiled->options.surfaceType, PanoramaLib::SurfaceSpherical);
    EXPECT_EQ(engines.tiled->options.nLensPolynomial, 1);
}

TEST_F(TaskModeTest, ExportKeepsAPendingOrFinishedResult)
{
    w->trayModel()->setFileList(twoPhotos().paths);
    ui().action_switch_Stitch->trigger();
    EXPECT_EQ(w->document().images().size(), 2u);
    ASSERT_TRUE(w->document().onBtnStitch());
    ASSERT_EQ(builds(), 1);

    ui().action_switch_Export->trigger();  // the render is pending: nothing rebuilt
    EXPECT_EQ(builds(), 1);
    ASSERT_TRUE(w->document().onBtnRender());
    ASSERT_TRUE(w->document().enableBtnSave());
    // With the result rendered, neither Export again nor a detour to Stitch rebuilds.
    for (QAction* a : {ui().action_switch_Export, ui().action_switch_Stitch, ui().action_switch_Export}) {
        a->trigger();
        EXPECT_EQ(builds(), 1);
        EXPECT_TRUE(w->document().enableBtnSave());
    }
}

TEST_F(TaskModeTest, TooFewPhotosStillSwitch)
{
    w->trayModel()->setFileList(twoPhotos().paths.mid(0, 1));
    for (QAction* a : {ui().action_switch_Export, ui().action_switch_Stitch}) {
        a->trigger();
        EXPECT_EQ(w->currentTask(), a == ui().action_switch_Export ? ui().tabExport : ui().tabStitch);
    }
    EXPECT_EQ(builds(), 0);
    EXPECT_EQ(w->document().taskMode(), TaskMode::TaskStitch);
    EXPECT_FALSE(ui().action_Add_images->isEnabled());  // browser actions off outside Add Images
}

TEST_F(WindowTest, ExportCommandAfterARenderSavesTheRenderedFile)
{
    vltest::StripOptions strip;
    strip.count = 2;
    strip.width = 320;
    strip.height = 240;
    strip.motion = vltest::Motion::TranslateScale;
    static const vltest::Scene scene(vltest::smallSceneOptions(3));
    const vltest::PhotoSet photos = vltest::makeStripPhotoSet(scene, strip);
    w->trayModel()->setFileList(photos.paths);
    ui().action_switch_Export->trigger();  // builds the preview on the way
    w->updateActions();
    ASSERT_TRUE(ui().action_Render->isEnabled());
    ui().action_Render->trigger();
    w->updateActions();
    ASSERT_TRUE(ui().action_Export->isEnabled());

    QTemporaryDir out;
    const QString file = out.filePath("panorama.png");
    desk.files.push_back({file});
    ui().action_Export->trigger();
    EXPECT_TRUE(w->document().enableBtnSave());  // the render was kept
    const QImage saved(file);
    ASSERT_FALSE(saved.isNull());
    EXPECT_GT(saved.width(), strip.width);
    EXPECT_TRUE(desk.calls("warning").empty());
}
