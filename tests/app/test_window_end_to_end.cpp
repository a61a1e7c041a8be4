// Through the window with the real tiled engine: its fast preview phase ended by a
// keyboard angle change, and the window going while a render job is under way. (The
// whole walk — stitch, preview, zoom, render, save — runs on a real X server in
// tests/e2e.) Offscreen; the progress dialogs process events while the engines run.
#include <atomic>

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
