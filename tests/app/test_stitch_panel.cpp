// The Stitch panel's option blocks and controls against the real document: what the
// controls write into the blocks, what reaches the document and when; and, with the real
// tiled engine, its fast preview phase ended by a keyboard angle change.
#include <atomic>

#include "tests/app/window_fixture.h"

TEST_F(WindowTest, RingOnThenOffRestoresTheChosenMotionModel)
{
    ui().rdbMatchingSimple->setChecked(true);
    w->on_rdbMatchingSimple_clicked();
    EXPECT_EQ(w->hvOptions().motionModel, PanoramaLib::MotionSimple);
    ui().chk360->setChecked(true);
    w->on_chk360_clicked();
    EXPECT_EQ(std::tuple(w->hvOptions().bCyclorama, w->hvOptions().motionModel, ui().rdbMatchingTranslate->isChecked(),
                         ui().rdbMatchingSimple->isEnabled()),
              std::tuple(true, PanoramaLib::MotionTranslate, true, false));
    w->on_rdbMatchingAffine_clicked();  // while the ring is on the saved choice stays
    EXPECT_EQ(w->hvOptionsSaved().motionModel, PanoramaLib::MotionSimple);
    ui().chk360->setChecked(false);
    w->on_chk360_clicked();
    EXPECT_EQ(std::tuple(w->hvOptions().bCyclorama, w->hvOptions().motionModel, ui().rdbMatchingSimple->isChecked()),
              std::tuple(false, PanoramaLib::MotionSimple, true));
}

// The focal length's index is the lens type; the polynomial follows lens compensation and
// the document; the tab switch alone sends nothing to the document, Stitch does.
TEST_F(WindowTest, FocalLengthIndexIsTheLensTypePolynomialFollowsCompensationTabSwitchSendsNothing)
{
    ASSERT_EQ(ui().cmbFocalLength->count(), 10);
    for (const auto& [index, text] : {std::pair(0, "14mm"), std::pair(7, "35mm"), std::pair(9, "60mm")}) {
        ui().cmbFocalLength->setCurrentIndex(index);
        EXPECT_EQ(std::pair(ui().cmbFocalLength->currentText().toStdString(), w->hvOptions().nLensType), std::pair(std::string(text), index));
    }
    ui().chkCompensateLensDistTiled->setChecked(false);
    w->on_chkCompensateLensDistTiled_clicked();
    EXPECT_FALSE(ui().chkPolinom24->isEnabled());
    ui().chkCompensateLensDistTiled->setChecked(true);
    w->enableTLControls(false);  // the document allows no Stitch dialog
    EXPECT_FALSE(ui().chkPolinom24->isEnabled());
    w->enableTLControls(true);
    EXPECT_TRUE(ui().chkPolinom24->isEnabled());
    // A tab switch alone sends nothing to the document.
    ui().tabPanoType->setCurrentIndex(1);
    EXPECT_EQ(std::tuple(w->horzVert(), w->document().getCurPanoramaType(), w->getOptions()), std::tuple(false, false, &w->tiledOptions()));
    w->on_btnStitch_clicked();  // too few photos: nothing is built, but the type is set
    EXPECT_TRUE(w->document().getCurPanoramaType());
}

TEST_F(WindowTest, AzimuthSliderRunsOppositeToTheDocumentsYAngle)
{
    ui().sldRy->setValue(10);
    PanoramaLib::SurfaceRenderingType surface;
    int x = 0, y = 0, z = 0;
    w->document().getRenderingSufrace(surface, x, y, z);
    EXPECT_EQ(y, -10);
    w->document().setRenderSurface(PanoramaLib::SurfaceCylindrical, 5, 20, -7, true, false);
    w->UpdateStitchingDialog();  // re-entrant: the sliders' slots write the same angles back
    EXPECT_EQ(std::make_tuple(ui().sldRx->value(), ui().sldRy->value(), ui().spnRy->value(), ui().sldRz->value()),
              std::make_tuple(5, -20, -20, -7));
    w->document().getRenderingSufrace(surface, x, y, z);
    EXPECT_EQ(std::make_tuple(x, y, z), std::make_tuple(5, 20, -7));
}

TEST_F(WindowTest, StitchCopiesOnlyThePanelsFieldsIntoTheEngineOptions)
{
    auto fieldsOf = [](const PanoramaLib::PanoramaOptions& o) {
        return std::make_tuple(o.bAutoCrop, o.nMatchingMode, o.nPreviewQuality, int(o.motionModel), o.bGradientAverageMode,
                               o.bLensCompensation, o.nLensType, o.bCyclorama, o.bBundleAdjustAtEnd, o.nLensPolynomial,
                               int(o.surfaceType));
    };
    const PanoramaLib::PanoramaOptions engine{.bAutoCrop = true, .nMatchingMode = 1, .nPreviewQuality = 1,
                                              .motionModel = PanoramaLib::MotionAffine, .nLensType = 4,
                                              .bBundleAdjustAtEnd = true, .surfaceType = PanoramaLib::SurfaceCylindrical};
    for (const bool tiled : {false, true}) {
        w->document().setCurPanoramaType(tiled);
        w->document().setOptions(engine);
        PanoramaLib::PanoramaOptions expected, r;
        w->document().getOptions(&expected);  // what this engine keeps of them
        ui().tabPanoType->setCurrentIndex(tiled ? 1 : 0);
        ui().cmbFocalLength->setCurrentIndex(2);
        ui().chkCompensateLensDistTiled->setChecked(true);
        w->on_chkCompensateLensDistTiled_clicked();
        w->on_chkPolinom24_clicked(true);
        ui().rdbSpherical->setChecked(true);
        w->on_rdbSpherical_clicked();
        w->on_btnStitch_clicked();
        if (tiled) {
            expected.bLensCompensation = true;
            expected.nLensPolynomial = 1;
            expected.surfaceType = PanoramaLib::SurfaceSpherical;
            expected.bBundleAdjustAtEnd = false;  // nothing in the program sets it
        } else {
            expected.motionModel = PanoramaLib::MotionTranslate;
            expected.bLensCompensation = false;
            expected.nLensType = 2;
            expected.bCyclorama = false;
        }
        w->document().getOptions(&r);
        EXPECT_EQ(fieldsOf(r), fieldsOf(expected)) << (tiled ? "tiled" : "horizontal/vertical");
    }
}

// A drag of an angle slider previews quickly until its release ends the fast phase (the
// engine's view update (1, 1)); a typed or keyboard change has no release and ends it at
// once. Then the window goes while a render job is under way: the engines are released
// (and the render thread joined) before anything of the window is.
TEST_F(WindowTest, KeyboardAngleChangeEndsTheFastPhase)
{
    static const vltest::Scene scene(vltest::smallSceneOptions(5));
    const vltest::PhotoSet photos =
        vltest::makeMosaicPhotoSet(scene, {.rows = 1, .cols = 3, .width = 320, .height = 240, .overlap = 0.35});
    load(photos.paths);
    ui().tabPanoType->setCurrentIndex(1);
    ui().btnStitch->click();
    ASSERT_TRUE(ui().sldRx->isEnabled());
    std::atomic<int> ends{0};  // the render thread posts other updates meanwhile
    QObject::connect(w.get(), &MainWindow::onSyncUpdatePanoramaView, w.get(),
                     [&ends](long wParam, long lParam) { ends += wParam == 1 && lParam == 1; }, Qt::DirectConnection);
    ui().sldRx->setSliderDown(true);
    ui().sldRx->setValue(8);
    EXPECT_EQ(ends.load(), 0);
    ui().sldRx->setSliderDown(false);
    EXPECT_EQ(ends.load(), 1);
    ui().spnRx->setValue(3);
    EXPECT_EQ(ends.load(), 2);
    ui().sldRz->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(ends.load(), 3);
    ui().sldRy->setValue(12);
    w.reset();
}
