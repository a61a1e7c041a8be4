// The document as the print layout's source: page counts and printed pages of a rendered
// result held by a fake engine as a real pixel store, drawn exactly as the page geometry
// says, with the pixels fetched once per job, and blank when nothing printable is held.
#include "tests/document/doc_fixture.h"

#include <cstring>

#include <QPainter>
#include <QPrinter>

#include "core/pano_element.h"
#include "document/page_layout.h"

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
    // Wired to the printable engine and built from two photos; not rendered yet.
    void WireBuilt(const QImage& result)
    {
        EngineFactories f = engines.Factories();
        f.createHV = [this, result](PanoramaLib::IDibManager* dibs) -> PanoramaLib::IHVPanorama* {
            CPanoElement::m_pIDibManager = dibs;
            hv = new PrintableHV(log, result);
            engines.hv = hv;
            return hv;
        };
        WireWithPhotos(2, f);
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
