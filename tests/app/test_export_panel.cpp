// The Export panel against the real document and print site: the names a save writes,
// the questions and messages around it, the page-setup fields, and printing to a real PDF
// file through the window's print loop (page count, cancel, failures).
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QPrinter>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include "app/pano_view_control.h"
#include "app/panorama_view.h"
#include "tests/app/window_fixture.h"
#include "tests/support/pdf_output.h"

namespace {

QString readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
}

// A window holding a rendered panorama (two photos stitched by the real H/V engine and
// rendered at full size), so the Export panel is enabled; PDF files in `out`.
class RenderedWindowTest : public WindowTest {
protected:
    void SetUp() override
    {
        load(stripPhotos().paths);
        ui().btnStitch->click();
        w->document().setTaskMode(TaskMode::TaskExport);
        ui().btnRender->click();
        ASSERT_TRUE(w->document().enableBtnSave());
        ASSERT_TRUE(ui().btnPrint->isEnabled());
    }
    // A PDF printer writing to out/<name>.pdf at a low resolution, no page margins.
    std::unique_ptr<QPrinter> pdf(const QString& name)
    {
        auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        vltest::printToPdf(*printer, out.filePath(name + ".pdf"), 150, QPageLayout::Landscape);
        return printer;
    }
    QTemporaryDir out;
};

int pdfPages(const QString& file) { return int(readAll(file).count(QRegularExpression("/Type\\s*/Page(?![a-zA-Z])"))); }

void writeText(const QString& path, const char* text)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(text) > 0);
}

}  // namespace

TEST(ExportSaveName, TheChosenFiltersExtensionIsForcedUnlessPresent)
{
    const char *jpeg = "JPEG files (*.jpg)", *tiff = "TIFF files (*.tif)", *png = "PNG files (*.png)";
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"pano", tiff, "pano.tif"}, {"pano.", tiff, "pano.tif"}, {"pano.jpeg", tiff, "pano.jpeg.tif"},
        {"photo.JPG", jpeg, "photo.JPG"}, {"photo.png", jpeg, "photo.png.jpg"}, {"/home/a.b/pano", png, "/home/a.b/pano.png"}};
    for (const auto& [name, filter, written] : cases)
        EXPECT_EQ(MainWindow::forcedSaveName(name, filter), written) << name;
}

// A save that fails says why and leaves the file already there alone: before a render
// (nothing to save) and after one (the folder does not exist).
TEST_F(WindowTest, FailedSaveShowsTheReasonAndKeepsTheOldFile)
{
    QTemporaryDir dir;
    const QString old = dir.filePath("pano.jpg");
    writeText(old, "old");
    desk.files.push_back({old});
    EXPECT_FALSE(w->doSave(QString()));
    ASSERT_EQ(desk.calls("warning").size(), 1u);
    EXPECT_TRUE(desk.calls("warning")[0].text.contains("no rendered panorama")) << desk.calls("warning")[0].text.toStdString();
    EXPECT_EQ(readAll(old), "old");
    // Nothing chosen in the folder tree: the dialog starts at home, not at the root.
    EXPECT_EQ(desk.calls("getSaveFileName")[0].dir, QDir::homePath() + "/panorama");
    EXPECT_EQ(desk.calls("getSaveFileName")[0].text.split('\n').size(), 4);
}

// A crop that cannot be made (a frame off the picture) is said, whichever command
// rendered, and leaves the preview under its frame with Render offered again and nothing
// to save or print; a frame on the picture then renders cropped.
TEST_F(WindowTest, AFailedCropSaysSoAndOffersTheRenderAgain)
{
    w->trayModel()->setFileList(stripPhotos().paths);
    ui().action_switch_Export->trigger();  // builds the preview on the way
    const int previewWidth = w->panoramaView()->picture()->GetWidth();
    const std::pair<const char*, std::function<void()>> callers[] = {
        {"Render button", [&] { ui().btnRender->click(); }},
        {"Render command", [&] { ui().action_Render->trigger(); }},
        {"Print button", [&] { w->on_btnPrint_pressed(); }},
        {"Preview button", [&] { w->on_btnExportPrintPreview_clicked(); }}};
    for (const auto& [name, render] : callers) {
        SCOPED_TRACE(name);
        w->panoramaControl()->SetCropRect(VarnoBase::Rect(previewWidth + 10, 0, previewWidth + 50, 40));
        w->updateActions();
        render();
        w->updateActions();
        EXPECT_EQ(std::tuple(!desk.log.empty() && desk.log.back().text == MainWindow::messageText(kMsgCannotCrop),
                             ui().btnRender->isEnabled(), ui().action_Render->isEnabled(), ui().btnExport->isEnabled(),
                             ui().action_Print->isEnabled(), w->panoramaControl()->croppingActive(), w->panoramaView()->picture()->GetWidth()),
                  std::tuple(true, true, true, false, false, true, previewWidth));
    }
    EXPECT_EQ(desk.log.size(), std::size(callers));  // one message each
    w->panoramaControl()->SetCropRect(VarnoBase::Rect(10, 10, previewWidth / 2, 100));
    ui().btnRender->click();
    EXPECT_TRUE(w->document().enableBtnSave() && !w->panoramaControl()->croppingActive());
    EXPECT_LT(w->panoramaView()->picture()->GetWidth(), previewWidth * 3 / 4);
}

// "Yes" replaces the file, written on a worker behind a progress dialog that names it
// while the window goes on handling its events (a large one takes seconds).
TEST_F(RenderedWindowTest, SaveAsksAgainWhenTheFinalNameExists)
{
    const QString typed = out.filePath("pano"), target = typed + ".jpg";
    writeText(target, "old");

    desk.files = {{typed}, {}, {typed}, {out.filePath("missing/pano.jpg")}};  // "No", cancel; "Yes"; no folder
    desk.buttons = {QMessageBox::No, QMessageBox::Yes};
    EXPECT_FALSE(w->doSave(QString()));  // "No": the dialog comes again
    EXPECT_EQ(std::tuple(desk.calls("question").size(), desk.calls("question").at(0).text.contains("pano.jpg"),
                         desk.calls("getSaveFileName").at(1).dir, readAll(target)),
              std::tuple(1u, true, target, QString("old")));
    QString seen;  // by an event queued before the save: the window handles events meanwhile
    QTimer::singleShot(0, w.get(), [&] { const auto* p = w->findChild<QProgressDialog*>(); seen = p ? p->labelText() : "none"; });
    EXPECT_TRUE(w->doSave(QString()));
    EXPECT_EQ(std::pair(seen, QImage(target).isNull()), std::pair(QString("Saving pano.jpg..."), false));
    EXPECT_FALSE(w->doSave(QString()));
    EXPECT_TRUE(desk.calls("warning").at(0).text.contains("could not be written"));
}

TEST_F(RenderedWindowTest, PageSetupFieldsFollowTheSite)
{
    Printing::PrintSite& site = w->printSite();
    const Printing::PageSetup& s = site.getPageSetup();

    // Keep proportions while typing: the height follows each keystroke, the width keeps
    // the typed text until the field is left.
    ui().manual->click();
    ASSERT_TRUE(ui().pageWidth->isEnabled());
    ASSERT_TRUE(ui().keepProportion->isChecked());
    ui().pageWidth->clear();
    QTest::keyClicks(ui().pageWidth, "10");
    EXPECT_EQ(std::pair(s.printWidth, s.printHeight), std::pair(10000, qRound(10000.0 * s.imageHeight / s.imageWidth)));  // 10 in
    EXPECT_EQ(ui().pageWidth->text() + ' ' + ui().pageHeight->text(), "10 " + site.printValue(s.printHeight));
    w->on_pageWidth_editingFinished();
    EXPECT_EQ(ui().pageWidth->text(), "10.00in");

    // A text that is not a number is rewritten from the stored value.
    const std::tuple<QLineEdit*, void (MainWindow::*)(), QString> fields[] = {
        {ui().marginsLeft, &MainWindow::on_marginsLeft_editingFinished, "0in"},
        {ui().marginsBottom, &MainWindow::on_marginsBottom_editingFinished, "0in"},
        {ui().overlap, &MainWindow::on_overlap_editingFinished, "0in"},
        {ui().pageWidth, &MainWindow::on_pageWidth_editingFinished, "10.00in"},
        {ui().pageTo, &MainWindow::on_pageTo_editingFinished, site.printPageTo()}};
    for (const auto& [field, finished, stored] : fields) {
        field->setText("abc");
        (w.get()->*finished)();
        EXPECT_EQ(field->text(), stored) << field->objectName().toStdString();
    }
    EXPECT_EQ(s.printWidth, 10000);

    // Fit to pages: a 1..1 range disables both range fields; the whole-panel refresh
    // enables them again while printing is possible.
    ui().fitToPage->click();
    ASSERT_TRUE(ui().numPages->isEnabled());
    auto pages = [&](const char* text) {
        ui().numPages->setText(text);
        w->on_numPages_editingFinished();
        return ui().numPages->text();
    };
    const QString three = pages("3"), rejected = pages("x");
    EXPECT_EQ(std::tuple(three, rejected, ui().pageTo->text(), ui().pageFrom->isEnabled()), std::tuple("3 pages", "3 pages", "3", true));
    const auto rangeEnabled = [&] { return std::pair(ui().pageFrom->isEnabled(), ui().pageTo->isEnabled()); };
    pages("1");
    EXPECT_EQ(rangeEnabled(), std::pair(false, false));
    w->updatePageSetupDialog();
    EXPECT_EQ(rangeEnabled(), std::pair(true, true));
}

TEST_F(WindowTest, PrintersAreListedAndChoosingTheSameOneRefreshesWithoutThemCommandsRefuse)
{
    desk.printers = {"Office", "Lab"};
    desk.defaultPrinter = "Lab";
    MainWindow second;
    Ui_MainWindow& form = *second.form();
    ASSERT_EQ(form.cmbPrinter->count(), 2);
    EXPECT_EQ(form.cmbPrinter->currentText(), "Lab");
    EXPECT_FALSE(form.printerInfo->toPlainText().isEmpty());

    form.marginsTop->setText("stale");
    second.on_cmbPrinter_currentIndexChanged(form.cmbPrinter->currentIndex());
    EXPECT_EQ(form.marginsTop->text(), "0in");

    // Without printer info (the first window's desktop had no printers) the three
    // commands refuse.
    ASSERT_FALSE(w->printSite().validPrinter());
    w->on_action_Print_triggered();
    w->on_actionPrint_pre_view_triggered();
    w->on_actionPrint_setup_triggered();
    ASSERT_EQ(desk.calls("information").size(), 3u);
    for (const auto& call : desk.calls("information"))
        EXPECT_EQ(call.text, "No valid printer found!");
    EXPECT_TRUE(desk.calls("printPreview").empty() && desk.calls("pageSetup").empty());
    w->printDocument(nullptr);
    EXPECT_EQ(desk.calls("information").back().text, "No printer selected!");
}

// Preferences refresh the page-setup fields in the units chosen; the printer box keeps
// what the printer's choice wrote into it.
TEST_F(WindowTest, PreferencesRefreshThePageSetupButNotThePrinterBox)
{
    w->printSite().printer()->setPageSize(QPageSize(QPageSize::A4));
    const QString box = ui().printerInfo->toPlainText();
    auto afterUnits = [&](int unitsIndex) {
        desk.dialogs.push_back([unitsIndex](QDialog& d) {
            d.findChild<QComboBox*>("cbUnits")->setCurrentIndex(unitsIndex);
            return int(QDialog::Accepted);
        });
        w->on_actionPreferences_triggered();
        return std::pair(ui().printerInfo->toPlainText(), ui().marginsTop->text());
    };
    EXPECT_EQ(afterUnits(0), std::pair(box, QString("0cm")));
    EXPECT_EQ(afterUnits(1), std::pair(box, QString("0in")));
}

TEST_F(RenderedWindowTest, PrintsTheLayoutsPagesToPdf)
{
    ui().numPages->setText("4");
    w->on_numPages_editingFinished();
    ASSERT_EQ(w->printSite().pageTo(), 4);

    const auto all = pdf("all");
    w->printDocument(all.get());
    EXPECT_EQ(pdfPages(all->outputFileName()), 4);

    // Cancelled after page 2: the loop stops before page 3 is begun.
    const auto cancelled = pdf("cancelled");
    QObject::connect(w.get(), &MainWindow::pagePrinted, w.get(), [&](int page) {
        if (page == 2)
            w->findChild<QProgressDialog*>("printProgress")->cancel();
    });
    w->printDocument(cancelled.get());
    EXPECT_EQ(pdfPages(cancelled->outputFileName()), 2);
    EXPECT_TRUE(desk.log.empty());

    // A print that cannot start says so.
    const auto nowhere = pdf("missing/none");
    w->printDocument(nowhere.get());
    ASSERT_EQ(desk.calls("warning").size(), 1u);
    EXPECT_FALSE(QFileInfo::exists(nowhere->outputFileName()));
}
