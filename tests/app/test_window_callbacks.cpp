// The window as the engines' and the document's user interface: the progress dialog's
// life and captions, photo highlights on the tray, the matching dialog's answer, and the
// tray as the document's file list.
#include <QItemSelectionModel>
#include <QProgressDialog>

#include "browser/file_list_model.h"
#include "tests/app/window_fixture.h"
#include "tests/support/scene.h"

TEST_F(WindowTest, ProgressCaptionsWaitForTheDialogOrChangeItsLabel)
{
    w->SetProgressCaption(104, L"a.jpg");
    EXPECT_EQ(w->pendingProgressCaption(), "Loading images: a.jpg");
    w->OpenProgressIndicatorWOAbort();
    ASSERT_NE(w->progressDialog(), nullptr);
    EXPECT_EQ(w->progressDialog()->labelText(), "Loading images: a.jpg");
    EXPECT_EQ(w->progressDialog()->windowModality(), Qt::WindowModal);
    w->SetProgressCaption(12, L"b.jpg");
    EXPECT_EQ(w->progressDialog()->labelText(), "Analyzing b.jpg...");
    EXPECT_EQ(w->pendingProgressCaption(), "Loading images: a.jpg");
    w->CloseProgressIndicator();
    EXPECT_EQ(w->progressDialog(), nullptr);
    EXPECT_TRUE(w->pendingProgressCaption().isEmpty());
    w->OpenProgressIndicator();
    EXPECT_TRUE(w->progressDialog()->labelText().isEmpty());
    w->CloseProgressIndicator();
    for (const auto& [id, text] : {std::pair(11u, "Analyzing..."), std::pair(13u, "Matching..."), std::pair(14u, "Stitching..."),
                                   std::pair(15u, "Rendering..."), std::pair(7u, "Unknown message 7")}) {
        w->SetProgressCaption(id);
        EXPECT_EQ(w->pendingProgressCaption(), QString::fromLatin1(text));
    }
    EXPECT_EQ(MainWindow::messageText(5), "Unknown message 5");
}

TEST_F(WindowTest, AbortProgressAdoptsTheRangeAndKeepsACancelAtTheLastStep)
{
    w->OpenProgressIndicator();
    EXPECT_FALSE(w->AbortProgressIndicator(10, 3));
    EXPECT_EQ(std::make_tuple(w->progressDialog()->minimum(), w->progressDialog()->maximum(), w->progressDialog()->value()),
              std::make_tuple(0, 10, 3));
    w->progressDialog()->cancel();  // the user's Cancel
    EXPECT_TRUE(w->AbortProgressIndicator(10, 10));  // Qt's auto-reset would forget it here
    EXPECT_TRUE(w->AbortProgressIndicator(10, 10));
    w->CloseProgressIndicator();
}

TEST_F(WindowTest, ProgressCallsWithoutADialogAreHarmlessAndOpenReplaces)
{
    w->HideProgress(true);
    w->HideProgress(false);
    EXPECT_FALSE(w->AbortProgressIndicator(5, 1));
    w->CloseProgressIndicator();
    w->OpenProgressIndicator();
    w->OpenProgressIndicator();  // a second open without a close leaves one dialog
    EXPECT_EQ(w->findChildren<QProgressDialog*>().size(), 1);
    w->CloseProgressIndicator();
    EXPECT_TRUE(w->findChildren<QProgressDialog*>().isEmpty());
}

// The tray as the document's file list, its highlights, and the matching dialog's
// refusal, which leaves both photos unmarked.
TEST_F(WindowTest, TrayAsTheDocumentsFileList)
{
    auto marked = [&] { return ui().storyboard->selectionModel()->selectedIndexes().size(); };
    w->trayModel()->setFileList({"/p/a.jpg", "/p/b.jpg", "/p/a.jpg", "/p/c.jpg"});
    std::list<std::wstring> out{L"/kept.jpg"};
    w->getFiles(out);
    EXPECT_EQ(out.size(), 5u);
    EXPECT_EQ(out.front(), L"/kept.jpg");
    EXPECT_EQ(std::tuple(w->findFile(L"/p/c.jpg"), w->findFile(L"/p/C.jpg"), w->hasImages()), std::tuple(true, false, true));
    w->HighlightImages({L"/p/a.jpg"}, true);  // the path is on the tray twice
    EXPECT_EQ(marked(), 2);
    w->HighlightImage(L"/p/absent.jpg", true);
    EXPECT_EQ(marked(), 2);
    w->HighlightImage(L"/p/c.jpg", true);  // earlier marks stay
    EXPECT_EQ(marked(), 3);
    w->HighlightImages({L"/p/a.jpg", L"/p/c.jpg"}, false);
    EXPECT_EQ(marked(), 0);

    const vltest::PhotoSet photos =
        vltest::makePhotoSet({QImage(64, 48, QImage::Format_RGB32), QImage(64, 48, QImage::Format_RGB32)});
    w->trayModel()->setFileList(photos.paths);
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> a, b;
    a.Adopt(w->document().importPicture(photos.paths[0].toStdWString(), false));
    b.Adopt(w->document().importPicture(photos.paths[1].toStdWString(), false));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(w->OpenManualMatchingDialog(nullptr, b, nullptr), 1);
    EXPECT_EQ(marked(), 0);
    EXPECT_EQ(w->OpenManualMatchingDialog(a, b, nullptr), 1);
    EXPECT_EQ(marked(), 0);
}
