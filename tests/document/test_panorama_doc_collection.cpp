// The document's photo collection over real photo files and fake engines: following the
// tray (reuse, load, failures, duplicates), the size check, and the tray's veto with the
// list-change warning.
#include "tests/document/doc_fixture.h"

using namespace doctest;

namespace {

std::vector<std::string> NamesOf(const std::vector<PanoramaLib::IPanoElement*>& elements)
{
    std::vector<std::string> out;
    for (const PanoramaLib::IPanoElement* e : elements)
        out.push_back(e ? vltest::FileNameOf(e->GetPathName()) : "null");
    return out;
}

}  // namespace

TEST_F(DocTest, CollectionLoadsOnlyWhatIsNewAndKeepsWhatIsHeld)
{
    const auto& set = SixPhotos();
    Wire();
    tray.files = Paths(set, {0, 2});
    doc->verifyPictureCollection();
    const std::vector<PanoramaLib::IPanoElement*> before = doc->images();
    const std::vector<PanoramaLib::IPanoElement*> thumbsBefore = doc->thumbnails();
    EXPECT_FALSE(before[0]->HasBits());  // kept unloaded between builds
    log.Clear();

    tray.files = Paths(set, {0, 1, 2});
    doc->verifyPictureCollection();
    EXPECT_EQ(log.Calls(), (std::vector<std::string>{"OpenProgressIndicatorWOAbort",
                                                     "SetProgressCaption(104,photo_02.png)",
                                                     "AbortProgressIndicator(1,1)", "UpdateUserWndInterface",
                                                     "hv.CreateImageThumbnail", "CloseProgressIndicator",
                                                     "updateAllViews(1)"}));
    ASSERT_EQ(doc->images().size(), 3u);
    EXPECT_TRUE(doc->images()[0] == before[0] && doc->images()[2] == before[1] &&
                doc->thumbnails()[2] == thumbsBefore[1]);
    EXPECT_EQ(NamesOf(doc->images()), (std::vector<std::string>{"photo_01.png", "photo_02.png", "photo_03.png"}));

    log.Clear();
    doc->verifyPictureCollection();  // unchanged tray
    EXPECT_EQ(log.Calls(), std::vector<std::string>{"updateAllViews(1)"});

    tray.files = Paths(set, {2});  // dropped photos leave the collection
    doc->verifyPictureCollection();
    EXPECT_EQ(NamesOf(doc->images()), std::vector<std::string>{"photo_03.png"});
    EXPECT_EQ(doc->thumbnails().size(), 1u);
}

// Loaded without a progress dialog, as the window may wire the document.
TEST_F(DocTest, FailedLoadsLeaveTheCollectionAndDuplicatesShareOneElement)
{
    const auto& set = SixPhotos();
    const std::wstring missing = (set.dir->path() + "/missing.png").toStdWString();
    doc = std::make_unique<ScriptedDoc>(log, engines.Factories());
    doc->setDocument(&tray);
    doc->setIUserInterface(&window, nullptr);
    tray.files = {set.paths[0].toStdWString(), missing, set.paths[1].toStdWString(), missing,
                  set.paths[0].toStdWString()};
    doc->verifyPictureCollection();
    EXPECT_EQ(std::pair(log.Count("ShowMessageBox(103)"), log.Count("hv.CreateImageThumbnail")),
              std::pair(1, 2));  // one message per file
    EXPECT_EQ(NamesOf(doc->images()), (std::vector<std::string>{"photo_01.png", "photo_02.png", "photo_01.png"}));
    EXPECT_TRUE(doc->images()[0] == doc->images()[2] && doc->thumbnails()[0] == doc->thumbnails()[2]);
    EXPECT_TRUE(tray.files.size() == 5 && !log.Contains("OpenProgress"));  // the tray keeps what failed
}

// Photos of an odd size are highlighted, reported and removed; the most frequent size
// wins (ties: the one that reached the count first) and its 90-degree turn stays.
TEST_F(DocTest, SizeCheckKeepsTheMostFrequentSizeAndItsTurn)
{
    const QSize A(40, 30), B(36, 28), T(28, 36), D(20, 20);
    struct Row {
        std::vector<QSize> sizes;
        bool ok;
        std::string removed;  // file names as logged
        std::size_t left;
    };
    const std::vector<Row> rows = {
        {{A, A, A, QSize(30, 40), QSize(30, 40)}, true, "", 5},
        {{A, B, B, A, D}, false, "photo_01.png,photo_04.png,photo_05.png", 2},
        {{A, B, B, A, T}, false, "photo_01.png,photo_04.png", 3},
        {{}, true, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.removed);
        const vltest::PhotoSet set = MakeSizedPhotos(row.sizes);
        Wire();
        for (const QString& p : set.paths)
            tray.files.push_back(p.toStdWString());
        doc->verifyPictureCollection();
        log.Clear();
        EXPECT_EQ(doc->verifyDifferentImagesSizes(), row.ok);
        if (!row.ok) {
            ASSERT_GE(log.Calls().size(), 4u);
            EXPECT_EQ((std::vector<std::string>{log.Calls()[0], log.Calls()[1], log.Calls()[2], log.Calls().back()}),
                      (std::vector<std::string>{"HighlightImages(on:" + row.removed + ")", "ShowMessageBox(102)",
                                                "removeImages(" + row.removed + ")", "UpdateStitchingDialog"}));
        } else {
            EXPECT_TRUE(log.Calls().empty());
        }
        EXPECT_EQ(std::pair(tray.files.size(), doc->images().size()), std::pair(row.left, row.left));
        doc.reset();
        tray.files.clear();
    }
}

// The odd photo's removal passes the tray's veto; No there keeps it and builds nothing.
TEST_F(DocTest, RefusedOddSizeRemovalKeepsTheTrayAndDoesNotBuild)
{
    const vltest::PhotoSet set = MakeSizedPhotos({QSize(40, 30), QSize(40, 30), QSize(20, 20)});
    Wire();
    tray.files = {set.paths[0].toStdWString(), set.paths[1].toStdWString()};
    doc->verifyPictureCollection();
    Build();
    tray.files.push_back(set.paths[2].toStdWString());
    doc->verifyPictureCollection();
    doc->warningAnswer = 0;
    log.Clear();
    EXPECT_FALSE(doc->onBtnStitch());
    EXPECT_TRUE(log.Contains("Warning") && !log.Contains("hv.BuildPanorama"));
    EXPECT_TRUE(tray.files.size() == 3 && doc->images().size() == 3);
}

// Which tray changes raise the warning once a panorama exists, and what the answers do.
TEST_F(DocTest, ListChangeWarningMatrix)
{
    const auto& set = SixPhotos();
    const QStringList held{set.paths[0]}, fresh{set.paths[4]}, none;
    struct Row {
        const char* name;
        bool built;
        const QStringList* added;
        const QStringList* removed;
        bool force;
        int answer;
        bool ok, warned, changed;
    };
    const std::vector<Row> rows = {
        {"no result: removal", false, nullptr, &held, false, 1, true, false, false},
        {"removal, No", true, nullptr, &held, false, 0, false, true, false},
        {"removal, Yes", true, nullptr, &held, false, 1, true, true, true},
        {"adding a held photo", true, &held, nullptr, false, 0, true, false, false},
        {"adding a new photo", true, &fresh, nullptr, false, 0, false, true, false},
        {"removing what is not held", true, nullptr, &fresh, false, 0, true, false, false},
        {"force with empty lists", true, &none, &none, true, 1, true, true, true},
        {"no lists at all", true, nullptr, nullptr, false, 1, true, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WireWithPhotos(3);
        if (row.built)
            Build();
        doc->warningAnswer = row.answer;
        EXPECT_EQ(doc->continueModification(row.added, row.removed, row.force), row.ok);
        EXPECT_EQ(log.Contains("Warning"), row.warned);
        EXPECT_EQ(doc->listChanged(), row.changed);
        if (row.changed) {  // result actions stay off until the Add Images task is left
            PanoramaLib::PanoramaOptions o;
            doc->getOptions(&o);
            o.nLensType = 3;
            EXPECT_FALSE(doc->enableBtnRender() || doc->enableBtnStitch(o) || doc->enableStitchDlg());
            log.Clear();
            EXPECT_TRUE(doc->continueModification(nullptr, &held, false));
            EXPECT_FALSE(log.Contains("Warning"));  // asked once per change of list
        }
        doc.reset();
        log.Clear();
    }
}

TEST_F(DocTest, DontShowAgainWithNoRefusesThisChangeAndAcceptsTheNextSilently)
{
    WireWithPhotos(3);
    Build();
    const QStringList removed{SixPhotos().paths[1]};
    doc->warningAnswer = 0;
    doc->warningDontShow = true;
    EXPECT_FALSE(doc->continueModification(nullptr, &removed, false));
    EXPECT_TRUE(doc->m_dontShowWarning && !doc->listChanged());
    log.Clear();
    EXPECT_TRUE(doc->continueModification(nullptr, &removed, false));
    EXPECT_TRUE(!log.Contains("Warning") && doc->listChanged());
}

TEST_F(DocTest, FreePanoramaActsOnlyAfterAnAcceptedChange)
{
    WireWithPhotos(3);
    Build();
    doc->setTaskMode(TaskMode::TaskStitch);
    log.Clear();
    doc->freePanorama();
    EXPECT_TRUE(log.Calls().empty());

    ASSERT_TRUE(doc->continueModification(nullptr, nullptr, true));
    log.Clear();
    doc->freePanorama();
    EXPECT_EQ(log.Calls(), (std::vector<std::string>{"hv.FreePanoramaImages", "tiled.FreePanoramaImages",
                                                     "setModifiedFlag(0)", "UpdateStitchingDialog",
                                                     "UpdatePictureView(1)"}));
    EXPECT_TRUE(!doc->listChanged() && !doc->GetPanorama() && doc->enableStitchDlg());
}
