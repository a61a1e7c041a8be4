// The Stitch panel's option blocks and controls against the real document: what the
// controls write into the blocks, what reaches the document and when; and, with the real
// tiled engine, its fast preview phase ended by a keyboard angle change.
#include <atomic>
#include <functional>

#include "tests/app/window_fixture.h"

TEST_F(WindowTest, RingOnThenOffRestoresTheChosenMotionModel)
{
    ui().rdbMatchingSimple->setChecked(true);
    w->on_rdbMatchingSimple_clicked();
    ui().chk360->setChecked(true);
    w->on_chk360_clicked();
    EXPECT_EQ(std::tuple(w->hvOptions().bCyclorama, w->hvOptions().motionModel, ui().rdbMatchingTranslate->isChecked(),
                         ui().rdbMatchingSimple->isEnabled()),
              std::tuple(true, PanoramaLib::MotionTranslate, true, false));
    w->on_rdbMatchingAffine_clicked();  // while the ring is on the saved choice stays
    ui().chk360->setChecked(false);
    w->on_chk360_clicked();
    EXPECT_EQ(std::tuple(w->hvOptions().bCyclorama, w->hvOptions().motionModel, ui().rdbMatchingSimple->isChecked()),
              std::tuple(false, PanoramaLib::MotionSimple, true));
}

// The focal length's index is the lens type; the polynomial follows lens compensation and
// the document; the tab switch sends the kind but no options to the document, Stitch does.
TEST_F(WindowTest, FocalLengthIndexIsTheLensTypePolynomialFollowsCompensationTabSwitchSendsNoOptions)
{
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
    // A tab switch selects the kind in the document but leaves the engine's options alone.
    PanoramaLib::PanoramaOptions engine;
    w->document().tiledPanorama()->GetOptions(&engine);
    const int kept = engine.nLensPolynomial;
    w->on_chkPolinom24_clicked(kept == 0);  // the panel asks for the other one
    ui().tabPanoType->setCurrentIndex(1);
    w->document().tiledPanorama()->GetOptions(&engine);
    EXPECT_EQ(std::tuple(w->horzVert(), w->document().getCurPanoramaType(), w->getOptions(), engine.nLensPolynomial),
              std::tuple(false, true, &w->tiledOptions(), kept));
    w->on_btnStitch_clicked();  // too few photos: nothing is built, but the options are set
    w->document().tiledPanorama()->GetOptions(&engine);
    EXPECT_EQ(engine.nLensPolynomial, 1 - kept);
}

// After a build of one kind, picking the other kind offers a build of that kind: Start
// Stitching! and the Stitch action are enabled at once, and each builds the kind picked.
TEST_F(WindowTest, PickingTheOtherKindAfterABuildOffersABuildOfIt)
{
    static const vltest::Scene scene(vltest::smallSceneOptions(5));
    const vltest::PhotoSet row = vltest::makeMosaicPhotoSet(scene, {.rows = 1, .cols = 3, .width = 320, .height = 240, .overlap = 0.35});
    load(row.paths);
    ui().btnStitch->click();
    w->updateActions();
    ASSERT_EQ(w->document().builtEngine()->GetPanoramaStatus()->nStatus, PanoramaLib::kStatusBuilt);
    EXPECT_FALSE(ui().btnStitch->isEnabled() || ui().action_Stitch->isEnabled());
    for (const int tab : {1, 0, 1}) {
        ui().tabPanoType->setCurrentIndex(tab);
        w->updateActions();
        EXPECT_TRUE(ui().btnStitch->isEnabled() && ui().action_Stitch->isEnabled()) << tab;
        if (tab == 0)
            ui().action_Stitch->trigger();
        else
            ui().btnStitch->click();
        EXPECT_EQ(std::tuple(w->document().getPanoramaType(), w->document().builtEngine()->GetPanoramaStatus()->nStatus),
                  std::tuple(tab == 1, PanoramaLib::kStatusBuilt))
            << tab;
    }
}

// After a build, a visit to the other kind that changes its lens compensation (so its
// options differ from the build's) and a return: the kind shown is judged with its own
// options, those of the build, so neither Start Stitching! nor the Stitch action offers a
// build. Each kind in turn is the one built.
TEST_F(WindowTest, ReturningToTheBuiltKindIsJudgedWithItsOwnOptionsNotTheOtherKinds)
{
    static const vltest::Scene scene(vltest::smallSceneOptions(5));
    const vltest::PhotoSet row = vltest::makeMosaicPhotoSet(scene, {.rows = 1, .cols = 3, .width = 320, .height = 240, .overlap = 0.35});
    load(row.paths);
    QCheckBox* const lensBox[] = {ui().chkCompensateLensDistHV, ui().chkCompensateLensDistTiled};
    const auto offered = [&] { return w->updateActions(), std::pair(ui().btnStitch->isEnabled(), ui().action_Stitch->isEnabled()); };
    for (const int built : {0, 1}) {
        ui().tabPanoType->setCurrentIndex(built);
        ui().btnStitch->click();
        ASSERT_EQ(w->document().builtEngine()->GetPanoramaStatus()->nStatus, PanoramaLib::kStatusBuilt) << built;
        PanoramaLib::PanoramaOptions build;
        w->document().builtEngine()->GetOptions(&build);
        ui().tabPanoType->setCurrentIndex(1 - built);
        lensBox[1 - built]->setChecked(build.bLensCompensation);
        lensBox[1 - built]->click();  // the user's change: the other way from the build
        ASSERT_NE(w->getOptions()->bLensCompensation, build.bLensCompensation) << built;
        EXPECT_EQ(offered(), std::pair(true, true)) << built;  // the other kind is not built
        ui().tabPanoType->setCurrentIndex(built);
        EXPECT_EQ(offered(), std::pair(false, false)) << built;
    }
}

TEST_F(WindowTest, AzimuthSliderRunsOppositeToTheDocumentsYAngle)
{
    auto angles = [&, surface = PanoramaLib::SurfaceRenderingType(), x = 0, y = 0, z = 0]() mutable {
        return w->document().getRenderingSufrace(surface, x, y, z), std::tuple(x, y, z);
    };
    ui().sldRy->setValue(10);
    EXPECT_EQ(std::get<1>(angles()), -10);
    w->document().setRenderSurface(PanoramaLib::SurfaceCylindrical, 5, 20, -7, true, false);
    w->UpdateStitchingDialog();  // re-entrant: the sliders' slots write the same angles back
    EXPECT_EQ(std::make_tuple(ui().sldRx->value(), ui().sldRy->value(), ui().spnRy->value(), ui().sldRz->value(), angles()),
              std::make_tuple(5, -20, -20, -7, std::make_tuple(5, 20, -7)));
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
        if (tiled)  // the bundle flag: nothing in the program sets it
            std::tie(expected.bLensCompensation, expected.nLensPolynomial, expected.surfaceType, expected.bBundleAdjustAtEnd) =
                std::tuple(true, 1, PanoramaLib::SurfaceSpherical, false);
        else
            std::tie(expected.motionModel, expected.bLensCompensation, expected.nLensType, expected.bCyclorama) =
                std::tuple(PanoramaLib::MotionTranslate, false, 2, false);
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
    const std::function<void()> steps[] = {[&] { ui().sldRx->setSliderDown(true), ui().sldRx->setValue(8); },
                                           [&] { ui().sldRx->setSliderDown(false); }, [&] { ui().spnRx->setValue(3); },
                                           [&] { ui().sldRz->triggerAction(QAbstractSlider::SliderSingleStepAdd); }};
    for (int i = 0; i < 4; ++i) {
        steps[i]();
        EXPECT_EQ(ends.load(), i) << i;  // the drag itself ends nothing
    }
    ui().sldRy->setValue(12);
    w.reset();
}

// A build that leaves a photo out says so: the H/V one asks, and "No" turns manual
// matching on for a retry by hand; the tiled one, which has no such retry, tells. The
// manual build examines no outcome: a pair the user declined asks nothing after it.
TEST_F(WindowTest, APhotoLeftOutOfTheBuildIsSaid)
{
    static const vltest::Scene other(vltest::smallSceneOptions(9));
    const vltest::PhotoSet odd = vltest::makePhotoSet({vltest::planeCrop(other, QRect(0, 0, 400, 300))});
    load(stripPhotos().paths + odd.paths);
    desk.buttons = {QMessageBox::No};
    desk.dialogs.push_back([](QDialog&) { return int(QDialog::Rejected); });  // the pair left to the user: declined
    for (const int tab : {0, 0, 1}) {
        ui().tabPanoType->setCurrentIndex(tab);
        ui().btnStitch->click();
    }
    EXPECT_EQ(std::tuple(desk.log.size(), desk.log.at(0).kind, desk.log.at(1).kind, desk.log.at(2).kind,
                         desk.log.at(2).text.section('\n', 0, 0), w->document().getManualMatchingMode()),
              std::tuple(3u, "question", "execDialog", "information",
                         "1 of 3 photos could not be matched and are left out of the panorama; they are marked on the picture tray.", true));
}

// Asked for 360 degrees, a row whose ends do not meet is said; "No" turns manual matching on.
TEST_F(WindowTest, ARingThatDoesNotCloseIsSaid)
{
    static const vltest::Scene scene(vltest::smallSceneOptions(5));
    const vltest::PhotoSet row = vltest::makeMosaicPhotoSet(scene, {.rows = 1, .cols = 3, .width = 320, .height = 240, .overlap = 0.35});
    load(row.paths);
    ui().chk360->setChecked(true);
    w->on_chk360_clicked();
    desk.buttons = {QMessageBox::No};
    ui().btnStitch->click();
    EXPECT_EQ(std::tuple(desk.log.size(), desk.log.at(0).text.section('\n', 0, 0), w->document().getManualMatchingMode()),
              std::tuple(1u, QString::fromUtf8("The photos could not be closed into a 360\u00b0 ring."), true));
}
