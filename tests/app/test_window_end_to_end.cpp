// Through the window with the real engines: photos on the tray, the Stitch task, "Start
// Stitching!", a preview in the view, Render, the result saved; and the tiled engine's
// fast preview phase ended by a keyboard angle change. Offscreen; the progress dialogs
// process events while the engines run.
#include <QImageReader>
#include <atomic>

#include <QTemporaryDir>

#include "app/panorama_view.h"
#include "browser/file_list_model.h"
#include "tests/app/window_fixture.h"
#include "tests/support/scene.h"

namespace {

const vltest::Scene& sharedScene()
{
    static const vltest::Scene scene(vltest::smallSceneOptions(5));
    return scene;
}

// What the task switch does on entering Stitch, as far as the engines are concerned.
void enterStitch(MainWindow& w, const QStringList& photos)
{
    w.trayModel()->setFileList(photos);
    w.document().setTaskMode(TaskMode::TaskStitch);  // loads the photos
}

}  // namespace

TEST_F(WindowTest, EndToEndStitchPreviewRenderSave)
{
    vltest::StripOptions strip;
    strip.count = 3;
    strip.width = 720;
    strip.height = 540;
    strip.motion = vltest::Motion::TranslateScale;  // the panel's default model
    const vltest::PhotoSet photos = vltest::makeStripPhotoSet(sharedScene(), strip);
    enterStitch(*w, photos.paths);
    ASSERT_EQ(w->document().images().size(), 3u);
    ASSERT_TRUE(ui().btnStitch->isEnabled());
    ASSERT_TRUE(ui().tabHorzVert->isEnabled());

    ui().btnStitch->click();
    EXPECT_EQ(w->progressDialog(), nullptr);  // the engine closed what it opened
    ASSERT_EQ(w->document().builtEngine()->GetPanoramaStatus()->nStatus, PanoramaLib::kStatusBuilt);
    ASSERT_TRUE(w->panoramaView()->hasPicture());
    EXPECT_TRUE(ui().actionFit_window->isEnabled());
    EXPECT_FALSE(ui().btnStitch->isEnabled());  // nothing changed since the build
    w->updateActions();
    EXPECT_FALSE(ui().action_Export->isEnabled());  // not rendered yet

    // The picture's zoom: the slider spans 1 % .. 1000 %, and each end stops its action.
    w->show();
    ui().stackedWidget->setCurrentIndex(1);
    for (const auto& [scale, slider, in, out] : {std::make_tuple(10.0, 100, false, true),
                                                 std::make_tuple(0.01, 0, true, false)}) {
        w->panoramaView()->setScaleFactor(scale);
        w->updateZoomSlider();
        w->updateActions();
        EXPECT_EQ(w->zoomSlider()->value(), slider);
        EXPECT_EQ(ui().actionZoom_in->isEnabled(), in);
        EXPECT_EQ(ui().actionZoom_out->isEnabled(), out);
    }
    ui().actionZoom_in->trigger();  // from 1 % one step up the zoom table
    EXPECT_GT(w->panoramaView()->scaleFactor(), 0.01);

    w->document().setTaskMode(TaskMode::TaskExport);
    ui().btnRender->click();
    w->updateActions();
    ASSERT_TRUE(ui().action_Export->isEnabled());

    QTemporaryDir out;
    const QString file = out.filePath("panorama.png");
    ASSERT_TRUE(w->document().doPanoramaSave(file.toStdWString()));
    const QImage saved(file);
    EXPECT_GT(saved.width(), strip.width * 3 / 2);
    EXPECT_TRUE(desk.log.empty()) << desk.log.front().text.toStdString();

    // Back on the tray, removing a photo of the built panorama asks first (here: No).
    w->document().setTaskMode(TaskMode::TaskAddImages);
    w->trayModel()->removeFiles({photos.paths[0]});
    EXPECT_EQ(desk.calls("execDialog").size(), 1u);
    EXPECT_EQ(w->trayModel()->count(), 3);
}

TEST_F(WindowTest, KeyboardAngleChangeEndsTheFastPhase)
{
    vltest::MosaicOptions mosaic;
    mosaic.rows = 1;
    mosaic.cols = 3;
    mosaic.width = 320;
    mosaic.height = 240;
    mosaic.overlap = 0.35;
    const vltest::PhotoSet photos = vltest::makeMosaicPhotoSet(sharedScene(), mosaic);
    enterStitch(*w, photos.paths);
    ui().tabPanoType->setCurrentIndex(1);
    ui().btnStitch->click();
    ASSERT_TRUE(w->document().enableGeoOptions());
    ASSERT_TRUE(ui().sldRx->isEnabled());

    // The end of a fast phase is the engine's view update (1, 1); the render thread posts
    // others meanwhile, so count on whichever thread emits.
    std::atomic<int> ends{0};
    QObject::connect(
        w.get(), &MainWindow::onSyncUpdatePanoramaView, w.get(),
        [&ends](long wParam, long lParam) {
            if (wParam == 1 && lParam == 1)
                ++ends;
        },
        Qt::DirectConnection);
    auto phaseEnds = [&ends] { return ends.load(); };
    ui().sldRx->setSliderDown(true);  // a drag: quick previews until the release
    ui().sldRx->setValue(8);
    EXPECT_EQ(phaseEnds(), 0);
    ui().sldRx->setSliderDown(false);  // releases: sliderReleased ends the phase
    EXPECT_EQ(phaseEnds(), 1);

    ui().spnRx->setValue(3);  // typed: no release will come
    EXPECT_EQ(phaseEnds(), 2);
    ui().sldRz->triggerAction(QAbstractSlider::SliderSingleStepAdd);  // keyboard step
    EXPECT_EQ(phaseEnds(), 3);

    // The window goes while a render job is under way: the engines are released (and the
    // render thread joined) before anything of the window is.
    ui().sldRy->setValue(12);
    w.reset();
}
