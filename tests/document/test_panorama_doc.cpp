// The document's state over fake engines: wiring and engine creation, the predicates the
// main window polls, the crop flag and frame, result access, and the tiled surface
// steering (geometry drag clamps, queued view updates).
#include "tests/document/doc_fixture.h"

using namespace doctest;
using PanoramaLib::PanoramaOptions;

TEST_F(DocTest, FreshlyWiredDocumentOffersNothingAndASecondWiringCreatesNothing)
{
    Wire();
    EXPECT_EQ(std::pair(engines.hvCreated, engines.tiledCreated), std::pair(1, 1));
    EXPECT_EQ(Hv().ui, &window);
    EXPECT_EQ(Tiled().threading, static_cast<PanoramaLib::IFreeThreading*>(doc.get()));

    EXPECT_EQ((std::vector<bool>{doc->canCreatePanorama(), doc->enableStitchDlg(), doc->enableBtnSave(),
                                 doc->enableBtnRender(), doc->enableGeoOptions(), doc->EnableGeo(nullptr),
                                 doc->enableBtnStitch(PanoramaOptions{}), doc->GetPanorama() != nullptr,
                                 !doc->printPanoramaInfo().isEmpty()}),
              std::vector<bool>(9, false));
    PanoramaLib::SurfaceRenderingType surface = PanoramaLib::SurfaceSpherical;
    int x = 1, y = 1, z = 1;
    doc->getRenderingSufrace(surface, x, y, z);
    EXPECT_EQ(surface, PanoramaLib::SurfaceCylindrical);

    vltest::FakeWindow other(log);
    doc->setIUserInterface(&other, &other);
    EXPECT_EQ(engines.hvCreated + engines.tiledCreated, 2);
    EXPECT_EQ(Hv().ui, &window);  // the engines and the document keep talking to one window
    doc->setTaskMode(TaskMode::TaskStitch);
    EXPECT_EQ(log.Count("UpdateStitchingDialog"), 1);
}

TEST_F(DocTest, EnginesAndPixelStoreFactoryGoWithTheDocument)
{
    PanoramaLib::IDibManager* const previous = CPanoElement::m_pIDibManager;
    Wire();
    EXPECT_EQ(CPanoElement::m_pIDibManager, static_cast<PanoramaLib::IDibManager*>(doc.get()));
    doc.reset();
    EXPECT_EQ(log.Count("hv.Release") + log.Count("tiled.Release"), 2);
    EXPECT_LT(log.IndexOf("hv.Release"), log.IndexOf("tiled.Release"));
    EXPECT_EQ(CPanoElement::m_pIDibManager, previous);  // no element reaches a factory that is gone
}

// Which changes offer a new build. The document has built an H/V panorama with the
// options it holds; each row changes one thing.
TEST_F(DocTest, StitchButtonMatrix)
{
    struct Row {
        const char* name;
        std::function<void(DocTest&, PanoramaOptions&)> change;
        bool expected;
    };
    const std::vector<Row> rows = {
        {"unchanged", [](DocTest&, PanoramaOptions&) {}, false},
        {"crop", [](DocTest&, PanoramaOptions& o) { o.bAutoCrop = !o.bAutoCrop; }, false},
        {"surface", [](DocTest&, PanoramaOptions& o) { o.surfaceType = PanoramaLib::SurfaceSpherical; }, false},
        {"strictness", [](DocTest&, PanoramaOptions& o) { o.nMatchingMode = 1; }, false},
        {"preview size", [](DocTest&, PanoramaOptions& o) { o.nPreviewQuality = 1; }, false},
        {"lens type", [](DocTest&, PanoramaOptions& o) { o.nLensType = 4; }, true},
        {"lens polynomial", [](DocTest&, PanoramaOptions& o) { o.nLensPolynomial = 1; }, true},
        {"motion model", [](DocTest&, PanoramaOptions& o) { o.motionModel = PanoramaLib::MotionTranslate; }, true},
        {"lens compensation", [](DocTest&, PanoramaOptions& o) { o.bLensCompensation = true; }, true},
        {"cyclorama", [](DocTest&, PanoramaOptions& o) { o.bCyclorama = true; }, true},
        {"manual mode", [](DocTest& t, PanoramaOptions&) { t.doc->setManualMatchingMode(true); }, true},
        {"last build manual", [](DocTest&, PanoramaOptions&) {}, true},  // scripted before the build
        {"tiled built, H/V selected", [](DocTest& t, PanoramaOptions&) { t.doc->setPanoramaType(true); }, true},
        {"no preview", [](DocTest& t, PanoramaOptions&) { t.Hv().preview()->FreeImage(); }, true},
        {"list changed",
         [](DocTest& t, PanoramaOptions&) { ASSERT_TRUE(t.doc->continueModification(nullptr, nullptr, true)); },
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WireWithPhotos(3);
        if (std::string(row.name) == "last build manual")
            Hv().script.status.bManual = true;
        Build();
        PanoramaOptions wanted;
        doc->getOptions(&wanted);
        row.change(*this, wanted);
        EXPECT_EQ(doc->enableBtnStitch(wanted), row.expected);
        doc.reset();
    }
}

TEST_F(DocTest, CropFlagReachesBothEnginesAndTheFrameOnlyWhileARenderWaitsInExport)
{
    WireWithPhotos(2);
    doc->setCropFlag(1);
    EXPECT_TRUE(Hv().options.bAutoCrop && Tiled().options.bAutoCrop);
    EXPECT_FALSE(log.Contains("frame.ActivateCropping"));  // Add Images task

    doc->setTaskMode(TaskMode::TaskExport);
    doc->setCropFlag(1);
    EXPECT_FALSE(log.Contains("frame.ActivateCropping"));  // nothing built: no render waits

    Build();
    doc->setCropFlag(2);
    EXPECT_EQ(log.Calls().back(), "frame.ActivateCropping(10,10,650,390,1)");

    frame.rect = VarnoBase::Rect(20, 20, 300, 200);  // the user moves the frame
    doc->setCropFlag(0);
    EXPECT_FALSE(frame.shown || Hv().options.bAutoCrop);
    EXPECT_EQ(doc->cropRect(), VarnoBase::Rect(20, 20, 300, 200));
}

// A frame the user moved over a tiled result comes back on each return to Export; only a
// released surface slider makes a return take the engine's crop, until the next build.
TEST_F(DocTest, MovedCropFrameSurvivesTaskChangesUntilASurfaceSliderIsReleased)
{
    WireWithPhotos(2);
    doc->setCurPanoramaType(true);
    doc->setCropFlag(1);
    using vltest::RectText;
    const VarnoBase::Rect moved(20, 20, 300, 200), engineCrop(5, 6, 100, 80);
    // Builds in Stitch, enters Export, moves the frame while the engine's crop changes.
    auto buildAndMoveFrame = [&] {
        doc->setTaskMode(TaskMode::TaskStitch);
        Tiled().script.cropRect = VarnoBase::Rect(10, 10, 650, 390);
        Build();
        doc->setTaskMode(TaskMode::TaskExport);
        Tiled().script.cropRect = engineCrop;
        frame.rect = moved;
    };
    std::vector<std::string> shown;  // the frame after each return to Export
    auto returnToExport = [&] {
        doc->setTaskMode(TaskMode::TaskStitch);
        doc->setTaskMode(TaskMode::TaskExport);
        shown.push_back(frame.shown ? RectText(frame.rect) : "hidden");
    };
    buildAndMoveFrame();
    returnToExport();
    doc->forceRebuildRect();
    returnToExport();
    buildAndMoveFrame();  // the build ends the release's effect
    returnToExport();
    EXPECT_EQ(shown, (std::vector<std::string>{RectText(moved), RectText(engineCrop), RectText(moved)}));
}

// Without a crop frame the render still happens, the engine cropping by itself.
TEST_F(DocTest, ResultAccessFollowsTheBuiltEngine)
{
    WireWithPhotos(2);
    doc->setICropRect(nullptr);
    Build();
    doc->setCropFlag(1);
    EXPECT_EQ(doc->GetPanorama(), Hv().preview());
    EXPECT_EQ(std::pair(doc->enableBtnRender(), doc->enableBtnSave()), std::pair(true, false));
    ASSERT_TRUE(doc->onBtnRender());
    EXPECT_EQ(doc->GetPanorama(), Hv().full());
    EXPECT_EQ(std::pair(doc->enableBtnRender(), doc->enableBtnSave()), std::pair(false, true));
    EXPECT_EQ(doc->printPanoramaInfo(), QStringLiteral("6600x4000, 24 bits"));
    doc->setPanoramaType(true);  // the tiled engine holds nothing
    EXPECT_TRUE(!doc->GetPanorama() && doc->printPanoramaInfo().isEmpty());
}

// Deltas count from the press and clamp at 45 degrees; an unchanged clamped value
// renders nothing. The surface is the one the tiled build used, not the cylinder the
// document starts with.
TEST_F(DocTest, SurfaceStartsCylindricalAndFollowsEachTiledBuild)
{
    WireWithPhotos(2);
    doc->setCurPanoramaType(true);
    Tiled().options.surfaceType = PanoramaLib::SurfaceSpherical;
    Build();
    doc->StartGeoTracking(nullptr);
    doc->DoTrackGeo(nullptr, 3, 0);
    doc->DoTrackGeo(nullptr, 50, -50);
    doc->DoTrackGeo(nullptr, 60, -70);  // clamps to the same values: nothing
    doc->DoRotateGeo(nullptr, -60);
    doc->DoRotateGeo(nullptr, -50);     // the same clamped angle
    doc->StartGeoTracking(nullptr);
    doc->DoRotateGeo(nullptr, 5);       // counted from the new press: -40
    doc->DoRotateGeo(nullptr, 3);       // the same drag, moves of a few degrees: -42
    doc->DoRotateGeo(nullptr, 7);       // -38
    EXPECT_EQ(log.Matching("tiled.SetRenderingSurface"),
              (std::vector<std::string>{"tiled.SetRenderingSurface(1,3,0,0,async,fast)",
                                        "tiled.SetRenderingSurface(1,45,-45,0,async,fast)",
                                        "tiled.SetRenderingSurface(1,45,-45,-45,async,fast)",
                                        "tiled.SetRenderingSurface(1,45,-45,-40,async,fast)",
                                        "tiled.SetRenderingSurface(1,45,-45,-42,async,fast)",
                                        "tiled.SetRenderingSurface(1,45,-45,-38,async,fast)"}));
    // Each accepted change takes the engine's crop into the frame and repaints.
    EXPECT_EQ(log.Count("frame.SetCropRect"), 6);
    EXPECT_EQ(log.Count("UpdatePictureView(1)"), 6);

    // The tool itself needs the Stitch task and a tiled preview.
    std::vector<bool> geo{doc->enableGeoOptions()};
    for (TaskMode t : {TaskMode::TaskAddImages, TaskMode::TaskStitch, TaskMode::TaskExport}) {
        doc->setTaskMode(t);
        geo.push_back(doc->EnableGeo(nullptr));
    }
    doc->setCurPanoramaType(false);
    geo.push_back(doc->enableGeoOptions());
    EXPECT_EQ(geo, (std::vector<bool>{true, false, true, false, false}));
}

TEST_F(DocTest, QueuedViewUpdatesAreRoutedByTheirValues)
{
    WireWithPhotos(2);
    doc->setCurPanoramaType(true);
    Build();
    Tiled().script.cropRect = VarnoBase::Rect(5, 6, 100, 80);
    window.forwardAsyncTo = doc.get();
    window.AsyncUpdatePanoramaView(0, 1);
    window.AsyncUpdatePanoramaView(0, 0);
    window.AsyncUpdatePanoramaView(1, 1);
    EXPECT_FALSE(log.Contains("tiled.SyncUpdatePanoramaView"));  // queued, not called at once
    QCoreApplication::processEvents();
    EXPECT_EQ(log.Matching("tiled.SyncUpdatePanoramaView"),
              (std::vector<std::string>{"tiled.SyncUpdatePanoramaView(0,1)", "tiled.SyncUpdatePanoramaView(0,0)"}));
    EXPECT_TRUE(doc->cropRect() == VarnoBase::Rect(5, 6, 100, 80) && frame.rect == doc->cropRect());
    EXPECT_EQ(log.Calls().back(), "UpdatePictureView(1)");
}
