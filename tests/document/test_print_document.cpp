// The document as the print layout's source: page counts and printed pages of a rendered
// result held by a fake engine as a real pixel store, drawn exactly as the page geometry
// says, with the pixels fetched once per job, and blank when nothing printable is held;
// a vertical print's margins measured on a real PDF; and the save of that result, which
// never takes the place of one of the panorama's photos.
#include "tests/document/doc_fixture.h"

#include <cstring>
#include <filesystem>

#include <QFile>
#include <QPainter>
#include <QPrinter>
#include <QTemporaryDir>

#include "core/pano_element.h"
#include "document/page_layout.h"
#include "tests/support/pdf_output.h"

namespace {

// A result store that counts how often its pixels are reached; shared like the tiled
// engine's result, so each fetch is a deep copy.
class CountingElement : public CPanoElement {
public:
    CountingElement() : CPanoElement(true) {}
    PanoramaLib::IDib* GetDib() const override
    {
        ++dibCalls;
        return CPanoElement::GetDib();
    }
    mutable int dibCalls = 0;
};

// The fake H/V engine whose rendered result has real pixels.
class PrintableHV : public vltest::FakeHVEngine {
public:
    PrintableHV(vltest::CallLog& log, QImage pixels) : FakeHVEngine(log), m_pixels(std::move(pixels)) {}
    ~PrintableHV() override
    {
        if (m_result)
            m_result->Release();
    }
    PanoramaLib::IPanoElement* GetPanoramaImage() const override
    {
        if (!full() || !full()->HasBits())
            return FakeHVEngine::GetPanoramaImage();
        if (!m_result) {
            m_result = new CountingElement;
            m_result->CreateImage(24, m_pixels.width(), m_pixels.height());
            for (int y = 0; y < m_pixels.height(); ++y)  // both store red, green, blue
                std::memcpy(m_result->GetBits() + std::size_t(y) * m_result->GetBPL(), m_pixels.constScanLine(y),
                            std::size_t(m_pixels.width()) * 3);
        }
        return m_result;
    }
    CountingElement* result() const { return m_result; }

private:
    QImage m_pixels;
    mutable CountingElement* m_result = nullptr;
};

QImage stripes(int width, int height)
{
    QImage img(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img.setPixelColor(x, y, QColor::fromHsv((x / 37 + y / 23) * 40 % 360, 200, 220));
    return img;
}

class PrintDocTest : public doctest::DocTest {
protected:
    // Wired to the printable engine and built from two photos (the shared ones unless
    // others are given); not rendered yet.
    void WireBuilt(const QImage& result, const QStringList& photos = {})
    {
        EngineFactories f = engines.Factories();
        f.createHV = [this, result](PanoramaLib::IDibManager* dibs) -> PanoramaLib::IHVPanorama* {
            CPanoElement::m_pIDibManager = dibs;
            hv = new PrintableHV(log, result);
            engines.hv = hv;
            return hv;
        };
        WireWithPhotos(2, f);
        if (!photos.isEmpty()) {
            tray.files.clear();
            for (const QString& photo : photos)
                tray.files.push_back(photo.toStdWString());
            doc->verifyPictureCollection();
        }
        Build();
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setResolution(150);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setPageOrientation(QPageLayout::Landscape);
        printer.setPageMargins(QMarginsF(0, 0, 0, 0));
        setup.unitsInch = false, setup.numPages = 3, setup.overlapOn = true, setup.overlap = 100;
    }

    // A sheet of the printer's page size painted by `paint`.
    template <class Paint>
    QImage sheet(Paint paint)
    {
        const Printing::PrinterPage page = Printing::printerPage(printer);
        QImage img(page.width, page.height, QImage::Format_RGB32);
        img.fill(Qt::white);
        QPainter painter(&img);
        paint(painter);
        return img;
    }

    PrintableHV* hv = nullptr;
    QPrinter printer{QPrinter::HighResolution};  // geometry only; never begun
    Printing::PageSetup setup;
};

}  // namespace

TEST_F(PrintDocTest, PagesAreTheLayoutsSlicesFromOneFetchInEitherDirection)
{
    for (const QImage& result : {stripes(2400, 200), stripes(200, 2400)}) {
        WireBuilt(result);
        ASSERT_TRUE(doc->onBtnRender());
        const bool horizontal = result.width() > result.height();
        EXPECT_EQ(doc->horizontalPrint(), horizontal);
        Printing::PageSetup expected = setup;
        EXPECT_EQ(doc->calcMaxPage(&printer, &setup),
                  Printing::calcMaxPage(Printing::printerPage(printer), expected, result.width(),
                                        result.height(), horizontal));
        EXPECT_EQ(setup.imageWidth, result.width());

        const Printing::PrintJob job = doc->printJob();
        ASSERT_TRUE(job.printable());
        for (int n = 1; n <= 3; ++n) {
            const QImage printed = sheet([&](QPainter& p) { doc->printPage(job, n, &p, &printer, &setup); });
            const QImage wanted = sheet([&](QPainter& p) {
                Printing::paintPage(p, Printing::layoutPage(n, Printing::printerPage(printer), setup,
                                                            result.width(), result.height(), horizontal),
                                    result);
            });
            EXPECT_TRUE(printed == wanted) << "page " << n << " horizontal " << horizontal;
        }
        EXPECT_EQ(hv->result()->dibCalls, 1);
        doc.reset();
    }
}

// Before a render: one page, no pixels. After a change of the photo list: pages still
// counted from the old result but left blank.
TEST_F(PrintDocTest, NothingPrintableLeavesPagesBlank)
{
    WireBuilt(stripes(2400, 200));
    EXPECT_EQ(doc->calcMaxPage(&printer, &setup), 1);
    EXPECT_FALSE(setup.imageWidth != 1 || doc->printJob().printable());  // the setup untouched

    ASSERT_TRUE(doc->onBtnRender());
    const Printing::PrintJob job = doc->printJob();
    ASSERT_TRUE(doc->continueModification(nullptr, nullptr, true));
    ASSERT_TRUE(doc->listChanged());
    const QImage blank = sheet([](QPainter&) {});
    EXPECT_TRUE(sheet([&](QPainter& p) { doc->printPage(job, 1, &p, &printer, &setup); }) == blank);
    doc->calcMaxPage(&printer, &setup);
    EXPECT_EQ(setup.imageWidth, 2400);
}

// Vertical printing takes each margin from its own field: on a real PDF (A4 portrait, two
// pages, the panorama fitted to the width) page 1 is covered from the left and top
// margins to the right and bottom ones, each of them different.
TEST_F(PrintDocTest, VerticalPrintKeepsEachMarginOnThePrintedPage)
{
    ASSERT_FALSE(vltest::pdftoppm().isEmpty()) << "pdftoppm (poppler-utils) is needed to read the printed page";
    WireBuilt(stripes(1000, 1500));
    ASSERT_TRUE(doc->onBtnRender());
    ASSERT_FALSE(doc->horizontalPrint());

    QTemporaryDir dir;
    const QString pdf = dir.filePath("vertical.pdf");
    QPrinter out(QPrinter::HighResolution);
    vltest::printToPdf(out, pdf, 150, QPageLayout::Portrait);
    const double marginMm[4] = {10, 20, 30, 40};  // left, top, right, bottom
    setup.overlapOn = false, setup.numPages = 2;
    setup.marginLeft = 100, setup.marginTop = 200, setup.marginRight = 300, setup.marginBottom = 400;
    ASSERT_EQ(doc->calcMaxPage(&out, &setup), 2);  // 1000 x 1500 pixels: 1.5 widths, 2 heights
    out.setFromTo(1, 2);
    const Printing::PrintJob job = doc->printJob();
    {
        QPainter painter(&out);
        doc->printPage(job, 1, &painter, &out, &setup);
        out.newPage();
        doc->printPage(job, 2, &painter, &out, &setup);
    }

    constexpr int dpi = 50;
    const QImage page = vltest::renderPdfPage(pdf, 1, dpi);
    ASSERT_FALSE(page.isNull());
    // The printed area: every pixel that is not paper.
    QRect printed;
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x) {
            const QColor c = page.pixelColor(x, y);
            if (std::min({c.red(), c.green(), c.blue()}) < 200)
                printed |= QRect(x, y, 1, 1);
        }
    const auto px = [&](double mm) { return mm / 25.4 * dpi; };
    const double found[4] = {double(printed.left()), double(printed.top()), page.width() - (printed.right() + 1.0),
                             page.height() - (printed.bottom() + 1.0)};
    for (int side = 0; side < 4; ++side)
        EXPECT_NEAR(found[side], px(marginMm[side]), 1.5) << "left, top, right, bottom: " << side;
}

// The document itself refuses to write its result over one of its photos, whatever the
// name it is reached by (as typed, through "." and a symbolic link, by a hard link in
// another folder), says why, and leaves the photo as it was; beside it, it saves.
TEST_F(PrintDocTest, SaveNeverReplacesOneOfThePanoramasPhotos)
{
    // Photos of this test alone: a save that went through must harm no shared file.
    const vltest::PhotoSet own = doctest::MakeSizedPhotos({QSize(40, 30), QSize(40, 30)});
    WireBuilt(stripes(300, 100), own.paths);
    ASSERT_TRUE(doc->onBtnRender());
    ASSERT_EQ(doc->images().size(), 2u);
    const QString photo = own.paths[1];
    QFile original(photo);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    const QByteArray bytes = original.readAll();
    original.close();

    QTemporaryDir elsewhere;
    const QString symlink = elsewhere.filePath("link.png"), hardlink = elsewhere.filePath("hard.png");
    ASSERT_TRUE(QFile::link(photo, symlink));
    std::error_code ec;
    std::filesystem::create_hard_link(QFile::encodeName(photo).toStdString(), QFile::encodeName(hardlink).toStdString(), ec);
    ASSERT_FALSE(ec) << ec.message();
    const QString folder = QFileInfo(photo).absolutePath();
    log.Clear();
    for (const QString& name : {photo, folder + "/./" + QFileInfo(photo).fileName(), symlink, hardlink}) {
        QString reason;
        EXPECT_FALSE(doc->doPanoramaSave(name.toStdWString(), &reason)) << name.toStdString();
        EXPECT_TRUE(reason.contains("is one of the panorama's photos")) << reason.toStdString();
        QFile again(photo);
        ASSERT_TRUE(again.open(QIODevice::ReadOnly));
        EXPECT_TRUE(again.readAll() == bytes) << "photo changed through " << name.toStdString();
    }
    EXPECT_FALSE(log.Contains("setModifiedFlag"));
    const QString beside = folder + "/panorama.png";
    EXPECT_TRUE(doc->doPanoramaSave(beside.toStdWString()));
    EXPECT_EQ(QImage(beside).size(), QSize(300, 100));
}

// A save that reached the disk tells the tray that the work is saved; one refused, or
// failed on the way to the disk, tells it nothing.
TEST_F(PrintDocTest, OnlyASuccessfulSaveClearsTheModifiedFlag)
{
    WireBuilt(stripes(300, 100));
    ASSERT_TRUE(doc->onBtnRender());
    QTemporaryDir out;
    const std::pair<const char*, bool> cases[] = {
        {"panorama.png", true}, {"panorama.xyz", false}, {"panorama.jpg", true},
        {"no/such/folder/panorama.png", false}, {"panorama.tif", true},
    };
    for (const auto& [name, ok] : cases) {
        SCOPED_TRACE(name);
        const QString file = out.filePath(name);
        log.Clear();
        EXPECT_EQ(doc->doPanoramaSave(file.toStdWString()), ok);
        EXPECT_EQ(log.Matching("setModifiedFlag"), ok ? std::vector<std::string>{"setModifiedFlag(0)"}
                                                       : std::vector<std::string>{});
        EXPECT_EQ(QImage(file).size(), ok ? QSize(300, 100) : QSize(0, 0));  // nothing written when refused
    }
}
