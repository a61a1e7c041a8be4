// Paging and printed pages: the page geometry checked directly, the painted sheet checked
// pixel by pixel on a QImage, and a real PDF made through QPrinter counted and rendered.
// The test panorama encodes its x coordinate in blue so a printed slice tells where it is from.
#include <gtest/gtest.h>

#include <climits>

#include <QFile>
#include <QPainter>
#include <QPrinter>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "document/page_layout.h"
#include "tests/support/pdf_output.h"

using Printing::PageGeometry;
using Printing::PageSetup;
using Printing::PrinterPage;

namespace {

constexpr PrinterPage kPage600{600, 4700, 3000, 0};

PageSetup metric(int mode = 0, int numPages = 1)
{
    PageSetup s;
    s.unitsInch = false;
    s.mode = mode;
    s.numPages = numPages;
    return s;
}

PageSetup withOverlap(PageSetup s, int overlap = 100)  // 10 mm
{
    s.overlapOn = true;
    s.overlap = overlap;
    return s;
}

// Blue = x scaled to 0..255 over the width, green 128, red 0.
QImage xRamp(int width, int height)
{
    QImage img(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar* row = img.scanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = 0;
            row[3 * x + 1] = 128;
            row[3 * x + 2] = uchar(x * 255 / (width - 1));
        }
    }
    return img;
}

int rampAt(double x, int width) { return int(x * 255 / (width - 1)); }

QRect transposed(const QRect& r) { return QRect(r.y(), r.x(), r.height(), r.width()); }
QLine transposed(const QLine& l) { return QLine(l.y1(), l.x1(), l.y2(), l.x2()); }

}  // namespace

TEST(PrintLayout, DerivedPrintWidthRoundsToSetupUnitsAndMayAddAPage)
{
    struct Case {
        int pageWidth, pages, printWidth;
    } const cases[] = {{4700, 2, 1990}, {4760, 1, 2015}};
    for (const Case& c : cases) {
        PageSetup s = metric();
        const PrinterPage page{600, c.pageWidth, 3000, 0};
        EXPECT_EQ(Printing::calcMaxPage(page, s, 20000, 3000, true), c.pages) << c.pageWidth;
        EXPECT_EQ(std::pair(s.printWidth, s.imageWidth), std::pair(c.printWidth, 20000));
        EXPECT_NEAR(s.printHeight, c.printWidth * 3000 / 20000, 1);
    }
}

TEST(PrintLayout, OverlapIsHalfTheEnteredOneAndAtMostHalfThePage)
{
    // 392.9 mm: two pages sharing 5 mm, three if they shared the 10 mm entered.
    PageSetup s = withOverlap(metric(1));
    s.printWidth = 3929;
    s.printHeight = 100;
    EXPECT_EQ(Printing::calcMaxPage(kPage600, s, 20000, 3000, true), 2);
    EXPECT_EQ(Printing::layoutPage(1, kPage600, s, 20000, 3000, true).overlap,
              Printing::toDevicePixels(50, false, 600));
    s.overlap = 100000;
    EXPECT_EQ(Printing::layoutPage(1, kPage600, s, 20000, 3000, true).overlap, 4700 / 2);
}

TEST(PrintLayout, FittedPanoramaNeedingFewerPagesLeavesTheRestBlank)
{
    PageSetup s = withOverlap(metric(0, 3));
    const PrinterPage page{600, 4700, 3000, 3};
    const PageGeometry p1 = Printing::layoutPage(1, page, s, 800, 300, true);
    const PageGeometry p2 = Printing::layoutPage(2, page, s, 800, 300, true);
    const PageGeometry p3 = Printing::layoutPage(3, page, s, 800, 300, true);
    EXPECT_EQ(std::vector<int>({p2.pageCount, p1.red.on, p1.black.on, p2.red.on, p2.black.on, p2.black.label,
                                p3.blank, p2.source.right() + 1, p1.target.height()}),
              std::vector<int>({2, 1, 0, 0, 1, 1, 1, 800, 3000}));  // fitted by height

    s.overlapMarks = false;
    EXPECT_FALSE(Printing::layoutPage(1, page, s, 800, 300, true).red.on);
    EXPECT_FALSE(Printing::layoutPage(1, page, metric(0, 1), 800, 300, true).red.on);
}

TEST(PrintLayout, VerticalPrintingIsTheTransposedHorizontalOne)
{
    PageSetup h = withOverlap(metric(0, 3));
    h.marginLeft = 50, h.marginTop = 80, h.marginRight = 30, h.marginBottom = 60;
    PageSetup manual = h;
    manual.mode = 1, manual.keepProportions = false;
    manual.printWidth = 4000, manual.printHeight = 700;
    for (const PageSetup& sh : {h, manual}) {
        PageSetup sv = sh;
        sv.marginLeft = sh.marginTop, sv.marginTop = sh.marginLeft;
        sv.marginRight = sh.marginBottom, sv.marginBottom = sh.marginRight;
        sv.printWidth = sh.printHeight, sv.printHeight = sh.printWidth;
        for (int n = 1; n <= 3; ++n) {
            const PageGeometry gh = Printing::layoutPage(n, kPage600, sh, 20000, 3000, true);
            const PageGeometry gv =
                Printing::layoutPage(n, {600, 3000, 4700, 0}, sv, 3000, 20000, false);
            ASSERT_FALSE(gh.blank);
            EXPECT_EQ(gv.target, transposed(gh.target)) << sh.mode << n;
            EXPECT_EQ(gv.source, transposed(gh.source)) << sh.mode << n;
            EXPECT_EQ(std::pair(gv.red.on, gv.black.on), std::pair(gh.red.on, gh.black.on));
            if (gh.red.on) {
                EXPECT_EQ(gv.red.ticks[1], transposed(gh.red.ticks[1]));
            }
        }
    }
}

// On a landscape page a top margin taller than the page (but not wider) is clamped to the
// page's height, in either printing direction: the slice starts on the page's last row.
TEST(PrintLayout, TopMarginIsClampedAgainstThePageHeight)
{
    const PrinterPage landscape{600, 4700, 3000, 0};
    PageSetup s = metric();
    s.marginTop = 1482;  // 3501 pixels at 600 dpi: below the width, beyond the height
    ASSERT_EQ(Printing::toDevicePixels(s.marginTop, false, 600), 3501);
    for (const bool horizontal : {true, false}) {
        const PageGeometry g = Printing::layoutPage(1, landscape, s, 2000, 1500, horizontal);
        ASSERT_FALSE(g.blank) << horizontal;
        EXPECT_EQ(g.target.top(), landscape.height - 1) << horizontal;
        EXPECT_EQ(g.target.bottom(), landscape.height - 1) << horizontal;
    }
}

TEST(PrintLayout, DegenerateInputsGiveBlankPagesNotCrashes)
{
    // Mode 1 without kept proportions: a print height derived as 0 for a very wide panorama.
    PageSetup wide = metric(1);
    wide.keepProportions = false;
    EXPECT_TRUE(Printing::calcMaxPage(kPage600, wide, 1000000, 1, true) >= 1 && wide.printHeight == 0);
    EXPECT_TRUE(Printing::layoutPage(1, kPage600, wide, 1000000, 1, true).blank);

    // A resolution of 0 is refused and the setup left alone.
    PageSetup s = metric(1);
    EXPECT_EQ(Printing::calcMaxPage({0, 4700, 3000, 0}, s, 20000, 3000, true), 1);
    EXPECT_EQ(std::pair(s.imageWidth, s.printWidth), std::pair(1, 0));
    EXPECT_TRUE(Printing::layoutPage(1, {0, 4700, 3000, 0}, metric(), 20000, 3000, true).blank);

    // 20 m on sheets 100 pixels wide: capped; a far page number has nothing to show.
    s.printWidth = 200000, s.printHeight = 30000;
    EXPECT_EQ(Printing::calcMaxPage({600, 100, 3000, 0}, s, 20000, 3000, true), Printing::kMaxPages);
    EXPECT_TRUE(Printing::layoutPage(2000000000, {600, 4700, 3000, INT_MAX}, s, 20000, 3000, true).blank);
    // Beyond the printer's last page.
    EXPECT_TRUE(Printing::layoutPage(3, {600, 4700, 3000, 2}, s, 20000, 3000, true).blank);
}

TEST(PrintLayout, PaintedSheetsTileThePanoramaAndShowTheirMarks)
{
    PageSetup s = withOverlap(metric(0, 3));
    s.marginTop = s.marginBottom = 100;  // room for the ticks
    const PrinterPage page{300, 2350, 1500, 0};
    const QImage pano = xRamp(6000, 600);
    auto countColour = [](const QImage& img, int x, int y0, int y1, QRgb colour) {
        int n = 0;
        for (int y = std::max(y0, 0); y < std::min(y1, img.height()); ++y)
            for (int dx = -1; dx <= 1; ++dx)
                n += img.pixel(x + dx, y) == colour;
        return n;
    };
    PageGeometry previous;
    for (int n = 1; n <= 3; ++n) {
        const PageGeometry g = Printing::layoutPage(n, page, s, pano.width(), pano.height(), true);
        // The slices tile the panorama, neighbours sharing the overlap's pixels.
        if (n == 1)
            EXPECT_EQ(g.source.left(), 0);
        else
            EXPECT_NEAR(previous.source.right() + 1 - g.source.left(),
                        previous.overlap * double(g.source.width()) / g.target.width(), 1.0);
        if (n == 3)
            EXPECT_EQ(g.source.right() + 1, pano.width());
        else
            EXPECT_EQ(g.target.width(), page.width);
        previous = g;
        QImage sheet(page.width, page.height, QImage::Format_RGB32);
        sheet.fill(Qt::white);
        {
            QPainter painter(&sheet);
            Printing::paintPage(painter, g, pano);
        }
        const QPoint c = g.target.center();
        const QColor inside = sheet.pixelColor(c);
        EXPECT_EQ(inside.green(), 128) << n;
        EXPECT_NEAR(inside.blue(), rampAt(g.source.center().x(), pano.width()), 3) << n;
        EXPECT_EQ(sheet.pixel(c.x(), g.target.bottom() + 2), qRgb(255, 255, 255));

        const int top = g.target.top();
        const int xR = g.target.right() + 1 - g.overlap, xL = g.target.left() + g.overlap;
        EXPECT_EQ(countColour(sheet, xR, top - 60, top - 20, qRgb(255, 0, 0)) > 0, n < 3) << n;
        EXPECT_EQ(countColour(sheet, xL, top - 60, top - 20, qRgb(0, 0, 0)) > 0, n > 1) << n;
    }
}

TEST(PrintLayout, PdfHasTheCountedPagesEachShowingItsSlice)
{
    QTemporaryDir dir;
    const QString pdf = dir.filePath("pano.pdf");
    QPrinter printer(QPrinter::HighResolution);
    vltest::printToPdf(printer, pdf, 300, QPageLayout::Landscape);

    const QImage pano = xRamp(6000, 600);
    PageSetup s = withOverlap(metric(1));
    s.printWidth = 7000, s.printHeight = 700;
    const int pages = Printing::calcMaxPage(Printing::printerPage(printer), s, 6000, 600, true);
    ASSERT_EQ(pages, 3);  // 70 cm over 29.7 cm sheets
    printer.setFromTo(1, pages);
    const Printing::PrintJob job(pano, true);
    {
        QPainter painter(&printer);
        for (int p = 1; p <= pages; ++p) {
            if (p > 1)
                printer.newPage();
            job.printPage(p, painter, Printing::printerPage(printer), s);
        }
    }
    QFile file(pdf);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(file.readAll());
    EXPECT_EQ(text.count(QRegularExpression("/Type\\s*/Page(?![a-zA-Z])")), pages);

    if (vltest::pdftoppm().isEmpty())
        GTEST_SKIP() << "pdftoppm not installed: page rendering not checked";
    const QImage shot = vltest::renderPdfPage(pdf, 2, 30);
    ASSERT_FALSE(shot.isNull());
    const PageGeometry g = Printing::layoutPage(2, Printing::printerPage(printer), s, 6000, 600, true);
    const QColor inside = shot.pixelColor(g.target.center() / 10);  // 300 dpi -> 30 dpi
    EXPECT_NEAR(inside.green(), 128, 6);
    EXPECT_NEAR(inside.blue(), rampAt(g.source.center().x(), 6000), 6);
    EXPECT_EQ(shot.pixelColor(shot.width() / 2, shot.height() - 3), QColor(Qt::white));
}
