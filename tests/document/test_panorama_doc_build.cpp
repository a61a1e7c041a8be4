// The document's commands over fake engines: the reaction to every build outcome with
// the order of calls across engines and window, task switches, the full-size render's
// crop scaling.
#include "tests/document/doc_fixture.h"

#include <QFile>
#include <QTemporaryDir>

using namespace doctest;
using PanoramaLib::PanoramaStatus;

namespace {

// The calls of `expected` appear in the log in this order (others may come between);
// an entry starting with '!' must not appear at all.
void ExpectSequence(const vltest::CallLog& log, const std::vector<std::string>& expected)
{
    int at = 0;
    for (const std::string& e : expected) {
        if (e.rfind('!', 0) == 0) {
            EXPECT_FALSE(log.Contains(e.substr(1))) << e;
            continue;
        }
        const int found = log.IndexOf(e, at);
        EXPECT_GE(found, 0) << "missing in order: " << e;
        if (found >= 0)
            at = found + 1;
    }
}

}  // namespace

TEST_F(DocTest, EachBuildOutcomeGetsItsReaction)
{
    using namespace PanoramaLib;
    struct Row {
        const char* name;
        bool tiled;
        int status;
        std::vector<int> unmatched;
        bool accept;  // the answer to either prompt
        bool manualBefore;
        std::vector<std::string> sequence;
        bool manualAfter;
        bool junkFourth = false;  // seven files on the tray, the fourth not a picture
    };
    const std::vector<Row> rows = {
        {"no overlap: message 100 and a manual build at once", false, kStatusNoOverlap, {}, true, false,
         {"updateAllViews(2)", "tiled.Free(1,1)", "hv.BuildPanorama(6)", "ShowMessageBox(100)", "tiled.Free(1,1)",
          "hv.BuildPanoramaManually(6,0)", "updateAllViews(3)"}, true},
        // Index 6 is the ring's duplicate of the first photo: not a photo of the build.
        {"2 of 6 unmatched, refused", false, kStatusBuilt, {1, 4, 6}, false, false,
         {"hv.BuildPanorama(6)", "HighlightImages(on:photo_02.png,photo_05.png)", "PromptAcceptPanorama(2,6)",
          "HighlightImages(off:photo_02.png,photo_05.png)", "!hv.BuildPanoramaManually"}, true},
        {"2 of 6 unmatched, accepted", false, kStatusBuilt, {1, 4}, true, false,
         {"PromptAcceptPanorama(2,6)", "HighlightImages(off:"}, false},
        // Six photos in a vector with room for seven, the seventh slot still naming one.
        {"only the ring duplicate unmatched", false, kStatusBuilt, {6}, false, false, {"!PromptAcceptPanorama"}, false,
         true},
        {"ring not closed, refused", false, kStatusRingNotClosed, {}, false, false, {"PromptAcceptCyclorama"}, true},
        {"ring not closed, accepted", false, kStatusRingNotClosed, {}, true, false, {"PromptAcceptCyclorama"}, false},
        {"failed: no message", false, kStatusFailed, {}, true, false, {"!ShowMessageBox", "!Prompt"}, false},
        {"manual mode builds manually", false, kStatusBuilt, {}, true, true,
         {"tiled.Free(1,1)", "hv.BuildPanoramaManually(6,0)", "!hv.BuildPanorama("}, true},
        {"manual build: no status examined", false, kStatusBuilt, {1, 4}, true, true,
         {"hv.BuildPanoramaManually(6,0)", "!PromptAcceptPanorama", "!HighlightImages"}, true},
        {"tiled no overlap: message 101, no retry", true, kStatusNoOverlap, {}, true, false,
         {"hv.Free(1,1)", "tiled.BuildPanorama(6)", "ShowMessageBox(101)", "!hv.Build"}, false},
        {"tiled unmatched: the answer changes nothing", true, kStatusBuilt, {0}, false, false,
         {"HighlightImages(on:photo_01.png)", "PromptAcceptPanorama(1,6)", "HighlightImages(off:photo_01.png)"}, false},
    };
    const QTemporaryDir dir;
    QFile junk(dir.filePath("junk.png"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly) && junk.write("not a picture") > 0 && junk.flush());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WireWithPhotos(6);
        if (row.junkFourth) {
            tray.files.insert(tray.files.begin() + 3, junk.fileName().toStdWString());
            doc->verifyPictureCollection();
            ASSERT_EQ(doc->images().size(), 6u);
        }
        doc->setCurPanoramaType(row.tiled);
        doc->setManualMatchingMode(row.manualBefore);
        auto& script = row.tiled ? Tiled().script : Hv().script;
        script.status.nStatus = row.status;
        script.status.unmatchedImages = row.unmatched;
        script.buildResult = row.status == kStatusBuilt;
        window.acceptPanorama = window.acceptCyclorama = row.accept;
        log.Clear();
        EXPECT_EQ(doc->onBtnStitch(), row.status == kStatusBuilt);
        ExpectSequence(log, row.sequence);
        EXPECT_EQ(doc->getManualMatchingMode(), row.manualAfter);
        EXPECT_EQ(doc->getPanoramaType(), row.tiled);
        doc.reset();
    }
}

TEST_F(DocTest, OnePhotoBuildsNothing)
{
    WireWithPhotos(1);
    tray.files.push_back(SixPhotos().paths[1].toStdWString());  // the tray has two, the collection one
    EXPECT_FALSE(doc->createPanorama(true) || doc->createPanorama(false) || !log.Calls().empty());
}

TEST_F(DocTest, TaskSwitchesActOnChangesOnly)
{
    WireWithPhotos(2);
    doc->setTaskMode(TaskMode::TaskStitch);
    EXPECT_EQ(log.Calls(), (std::vector<std::string>{"frame.DeactivateCropping(1)", "updateAllViews(1)",
                                                     "updateAllViews(1)", "UpdateStitchingDialog",
                                                     "updateAllViews(4)"}));
    log.Clear();
    doc->setTaskMode(TaskMode::TaskStitch);
    EXPECT_TRUE(log.Calls().empty());  // not even a re-verification

    Build();
    doc->setCropFlag(1);
    doc->setTaskMode(TaskMode::TaskExport);
    ExpectSequence(log, {"frame.ActivateCropping(10,10,650,390,1)", "UpdateExportDialog", "updateAllViews(4)"});
    log.Clear();
    doc->setManualMatchingMode(true);
    doc->setTaskMode(TaskMode::TaskAddImages);
    EXPECT_FALSE(log.Contains("updateAllViews(4)") || frame.shown);

    doc->setTaskMode(TaskMode::TaskExport);  // a build from Export shows the frame again
    log.Clear();
    Hv().script.cropRect = VarnoBase::Rect(1, 2, 3, 4);
    ASSERT_TRUE(doc->onBtnStitch());
    ExpectSequence(log, {"hv.BuildPanoramaManually", "frame.ActivateCropping(1,2,3,4,1)", "UpdateExportDialog"});
}

// The user's frame is scaled from the preview to the rendered result by the ratio of the
// widths (64-bit products), clipped to the result; the engine crops by itself when the
// frame was not moved; a crop that cannot be made leaves the render unfinished.
TEST_F(DocTest, RenderScalesTheUsersFrame)
{
    struct Row {
        const char* name;
        VarnoBase::Size preview, full;
        VarnoBase::Rect frame;  // empty: the frame is not moved
        bool cropWorks;
        std::string expected;  // the H/V engine's crop call, "" for none
        bool ok;
    };
    const std::vector<Row> rows = {
        {"660 to 6600", {660, 400}, {6600, 4000}, {10, 20, 330, 200}, true, "hv.CropPanorama(100,200,3300,2000)", true},
        {"64-bit products", {40000, 25000}, {80000, 50000}, {100, 200, 30000, 20000}, true,
         "hv.CropPanorama(200,400,60000,40000)", true},
        {"frame on the bottom edge", {660, 400}, {6600, 3999}, {0, 300, 660, 400}, true,
         "hv.CropPanorama(0,3000,6600,3999)", true},
        {"frame untouched: the engine crops", {660, 400}, {6600, 4000}, {}, true, "", true},
        {"empty frame refused", {660, 400}, {6600, 4000}, {50, 50, 50, 90}, true, "", false},
        {"zero preview width refused", {0, 400}, {6600, 4000}, {10, 20, 330, 200}, true, "", false},
        {"crop failed", {660, 400}, {6600, 4000}, {10, 20, 330, 200}, false, "hv.CropPanorama(", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WireWithPhotos(2);
        Hv().script.previewSize = row.preview;
        Hv().script.fullSize = row.full;
        Hv().script.cropResult = row.cropWorks;
        Build();
        doc->setCropFlag(1);
        doc->setTaskMode(TaskMode::TaskExport);
        ASSERT_TRUE(frame.shown);
        if (!row.frame.isNull())
            frame.rect = row.frame;
        log.Clear();
        EXPECT_EQ(doc->onBtnRender(), row.ok);
        EXPECT_EQ(log.Count("hv.RenderPanorama(crop=1)"), row.frame.isNull() ? 1 : 0);
        EXPECT_NE(log.Contains(row.expected.empty() ? "hv.CropPanorama" : row.expected), row.expected.empty());
        // Only a finished render clears the modified flag and hides the frame; a crop that
        // failed says so and leaves the render to be made again, nothing to save or print.
        EXPECT_EQ(std::pair(log.Contains("setModifiedFlag(0)"), frame.shown), std::pair(row.ok, !row.ok));
        EXPECT_EQ(std::tuple(doc->enableBtnSave(), doc->enableBtnRender(), doc->GetPanorama() == Hv().preview()),
                  std::tuple(row.ok, !row.ok, !row.ok));
        ExpectSequence(log, {"UpdateExportDialog", "UpdatePictureView(1)", row.ok ? "!ShowMessageBox" : "ShowMessageBox(104)"});
        doc.reset();
    }
}

TEST_F(DocTest, RenderSetsTheTiledCropAndThePrintDirection)
{
    for (const auto& [full, horizontal] : {std::pair{VarnoBase::Size(3000, 1000), true},
                                           std::pair{VarnoBase::Size(1000, 3000), false}}) {
        WireWithPhotos(2);
        doc->setCurPanoramaType(true);
        Tiled().script.fullSize = full;
        Build();
        doc->setCropFlag(1);
        doc->setTaskMode(TaskMode::TaskExport);
        frame.rect = VarnoBase::Rect(30, 40, 300, 200);
        log.Clear();
        ASSERT_TRUE(doc->onBtnRender());
        ExpectSequence(log, {"tiled.SetCropRect(30,40,300,200)", "tiled.RenderPanorama(crop=1)"});
        EXPECT_EQ(doc->horizontalPrint(), horizontal);
        doc.reset();
    }
}
