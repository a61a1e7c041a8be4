// The print settings model: typed lengths, clamps against the paper in the unit in force,
// the print range and the printer texts, on the offscreen PDF printer Qt makes when no
// printer is installed (A4 at 600 dpi here).
#include <gtest/gtest.h>

#include <QPrinter>

#include <functional>

#include "document/page_layout.h"
#include "document/print_site.h"

using Printing::PageSetup;
using Printing::PrintSite;

namespace {

// The document's page count over a fixed panorama, as the document answers it.
struct PanoramaOfSize : Printing::IDocumentPrinting {
    int width = 20000, height = 3000;
    int calcMaxPage(QPrinter* printer, PageSetup* setup) override
    {
        return Printing::calcMaxPage(Printing::printerPage(*printer), *setup, width, height, true);
    }
};

class PrintSiteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        site.printer()->setResolution(600);
        site.printer()->setPageSize(QPageSize(QPageSize::A4));
        site.printer()->setPageOrientation(QPageLayout::Portrait);
        site.setLogicalPageSize(site.printer());
    }
    void useMetric() { site.getPageSetup().unitsInch = false; }
    const PageSetup& setup() const { return site.getPageSetup(); }

    PanoramaOfSize panorama;  // for the tests that give the site a document
    PrintSite site;
};

}  // namespace

TEST_F(PrintSiteTest, TypedLengthsBecomeSetupUnitsAndReadBack)
{
    struct Case {
        const char* text;
        bool inch;
        int value;
        bool ok;
        const char* printed;  // the value written back, "" when the text is refused
    } const cases[] = {
        {"21.00cm", false, 2100, true, "21.00cm"}, {"12,5", false, 12500, true, "125.00cm"},  // the comma is dropped
        {"900", false, 78400, true, "784.00cm"},   {"-3 cm", false, 300, true, "3.00cm"},
        {"0", false, 0, true, "0cm"},              {"", false, 0, false, ""},
        {"1.2.3", false, 0, false, ""},            {"cm", false, 0, false, ""},
        {"8.2675in", true, 8268, true, "8.27in"},  {"8.2674", true, 8267, true, "8.27in"},
        {"2500", true, 2000000, true, "2000.00in"}, {"0", true, 0, true, "0in"},
    };
    for (const Case& c : cases) {
        site.getPageSetup().unitsInch = c.inch;
        bool ok = !c.ok;
        EXPECT_EQ(site.toInt(QString::fromLatin1(c.text), &ok), c.value) << c.text;
        EXPECT_EQ(ok, c.ok) << c.text;
        EXPECT_EQ(c.ok ? site.printValue(c.value) : QString(), QString(c.printed));
    }

    bool ok = false;
    EXPECT_TRUE(Printing::to_UInt("page 12", &ok) == 12 && ok);
    EXPECT_FALSE((Printing::to_UInt("", &ok), ok));
    EXPECT_FALSE((Printing::to_UInt("99999999999", &ok), ok));
}

TEST_F(PrintSiteTest, PrintSizeBoundsFollowPaperAndProportions)
{
    useMetric();
    const int paperH = site.paperHeight();
    ASSERT_NEAR(paperH, 2970, 2);
    ASSERT_NEAR(site.paperWidth(), 2100, 2);
    site.getPageSetup().imageWidth = 100000;  // so wide that 20 m of print fit under 2 m
    site.getPageSetup().imageHeight = 1000;

    site.getPageSetup().keepProportions = false;
    EXPECT_EQ((std::vector<int>{site.verifyPageHeight(99999, true), site.verifyPageHeight(5, true),
                                site.verifyPageWidth(999999, true)}),
              (std::vector<int>{paperH, 10, Printing::iMAX_cm}));
    // With the proportions kept the width (100x the height) must stay within 20 m.
    site.getPageSetup().keepProportions = true;
    EXPECT_EQ(std::pair(site.verifyPageHeight(paperH, true), site.verifyPageHeight(1500, true)), std::pair(2000, 1500));
    site.getPageSetup().unitsInch = true;
    site.getPageSetup().keepProportions = false;
    EXPECT_EQ(site.verifyPageWidth(50, false), 100);
    site.getPageSetup().keepProportions = true;

    // Keep-proportion products beyond 32 bits: 2099 x 1.5 million.
    useMetric();
    site.getPageSetup().imageWidth = 20000;
    site.getPageSetup().imageHeight = 1500000;
    EXPECT_TRUE(site.setPageWidth("100", false));
    EXPECT_EQ(std::pair(setup().printWidth, setup().printHeight), std::pair(site.paperWidth(), site.paperWidth() * 75));
}

// With the proportions kept a typed height sets the width from the panorama's aspect,
// rounded half up: 5 cm of a 4:1 panorama print 20 cm wide, 5.3 cm of a 7:3 one 12.37 cm.
TEST_F(PrintSiteTest, TypedHeightWithProportionsKeptSetsTheWidthFromTheAspect)
{
    useMetric();
    site.getPageSetup().imageWidth = 4000;
    site.getPageSetup().imageHeight = 1000;
    EXPECT_TRUE(site.setPageHeight("5", true));
    EXPECT_EQ(std::pair(setup().printWidth, setup().printHeight), std::pair(2000, 500));

    site.getPageSetup().imageWidth = 7000;
    site.getPageSetup().imageHeight = 3000;
    EXPECT_TRUE(site.setPageHeight("5.3", true));
    EXPECT_EQ(std::pair(setup().printWidth, setup().printHeight), std::pair(1237, 530));  // 1236.67
}

// Ticking "Keep proportions" for a horizontal print keeps the height (clamped as a
// horizontal print's: by the paper's height, the width free) and sets the width from the
// panorama's aspect: 5 cm of a 4:1 panorama become 20 cm wide, 10 cm 40 cm (twice the
// paper's width), 5.3 cm of a 7:3 one 12.37 cm. Unticking changes neither length.
TEST_F(PrintSiteTest, KeepProportionsTickedForAHorizontalPrintSetsTheWidthFromTheHeight)
{
    useMetric();
    struct Case {
        int imageWidth, imageHeight, height, width;
    } const cases[] = {{4000, 1000, 500, 2000}, {4000, 1000, 1000, 4000}, {7000, 3000, 530, 1237}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.height);
        PageSetup& s = site.getPageSetup();
        s.imageWidth = c.imageWidth;
        s.imageHeight = c.imageHeight;
        s.keepProportions = false;
        s.printWidth = 1000;
        s.printHeight = c.height;
        EXPECT_TRUE(site.setKeepProportions(true, true));
        EXPECT_TRUE(setup().keepProportions);
        EXPECT_EQ(std::pair(setup().printWidth, setup().printHeight), std::pair(c.width, c.height));
        EXPECT_FALSE(site.setKeepProportions(false, true));
        EXPECT_EQ(std::pair(setup().printWidth, setup().printHeight), std::pair(c.width, c.height));
    }
}

TEST_F(PrintSiteTest, MarginsOverlapAndPageCountAreClamped)
{
    useMetric();
    const int paperW = site.paperWidth(), paperH = site.paperHeight();
    EXPECT_TRUE(site.setMargingL("30") && setup().marginLeft == paperW - 1);
    EXPECT_TRUE(site.setMargingR("5") && setup().marginRight == 0);
    EXPECT_TRUE(site.setMargingL("1") && site.setMargingT("2"));
    EXPECT_TRUE(site.setOverlap("50", true) && setup().overlap == (paperW - 100) / 2);
    EXPECT_TRUE(site.setOverlap("50", false) && setup().overlap == (paperH - 200) / 2);
    EXPECT_FALSE(site.setMargingB("abc") || setup().marginBottom != 0);

    EXPECT_TRUE(site.setNumPages("0") && setup().numPages == 1);
    EXPECT_FALSE(site.setNumPages(""));
    EXPECT_TRUE(site.setNumPages("123456") && setup().numPages == Printing::kMaxPages);
    EXPECT_EQ(site.printNumPages(), "999 pages");
    site.setNumPages("1");
    EXPECT_EQ(site.printNumPages(), "1 pages");
}

// A switch of units converts every stored length to the new unit's step: 7.99 x 2.29 in
// print as 20.29 x 5.82 cm, and in -> cm -> in comes home within 0.01 in. The paper is
// measured again and clamps in the new unit.
TEST_F(PrintSiteTest, UnitSwitchKeepsThePrintedSizeAndClampsInTheNewUnit)
{
    const int inchWidth = site.paperWidth();
    PageSetup& s = site.getPageSetup();
    s.printWidth = 7990, s.printHeight = 2290, s.marginLeft = 500, s.marginTop = 1, s.marginBottom = 1234, s.overlap = 395;
    const PageSetup inches = s;
    const auto lengths = {&PageSetup::printWidth, &PageSetup::printHeight, &PageSetup::marginLeft, &PageSetup::marginTop,
                          &PageSetup::marginRight, &PageSetup::marginBottom, &PageSetup::overlap};
    site.setUnits(false);
    EXPECT_EQ(std::vector<int>({s.printWidth, s.printHeight, s.marginLeft, s.marginTop, s.marginBottom, s.overlap}),
              std::vector<int>({2029, 582, 127, 0, 313, 100}));
    EXPECT_NEAR(site.paperWidth(), 2100, 2);
    EXPECT_TRUE(site.setMargingR("25") && s.marginRight == site.paperWidth() - 127 - 1);
    s.marginRight = 0;
    site.setUnits(true);
    for (auto length : lengths)
        EXPECT_NEAR(s.*length, inches.*length, 10);
    EXPECT_EQ(site.paperWidth(), inchWidth);
}

TEST_F(PrintSiteTest, PrintRangeYieldsTheEditedEndAndResetsOnlyOnLayoutChange)
{
    site.setNumPages("6");
    site.setPrintRange(5, 3, true);
    EXPECT_EQ(site.printPageFrom() + ".." + site.printPageTo(), "3..3");
    site.setPrintRange(5, 3, false);
    EXPECT_EQ(site.printPageFrom() + ".." + site.printPageTo(), "5..5");
    EXPECT_TRUE(site.setPrintRange("2", "p9", true));
    EXPECT_FALSE(site.setPrintRange("x", "3", true));
    EXPECT_EQ(std::pair(site.pageFrom(), site.pageTo()), std::pair(2, 6));

    site.setMargingL("1");
    site.setOverlap("1", true);
    site.getPageSetup().overlapOn = true;
    EXPECT_EQ(site.pageFrom(), 2);
    site.setNumPages("4");
    EXPECT_EQ(std::pair(site.pageFrom(), site.pageTo()), std::pair(1, 4));

    // Manual size: the range end is the document's count for the new size.
    PanoramaOfSize doc;
    site.setDocument(&doc);
    PageSetup s = setup();
    s.mode = 1;
    s.printWidth = 40000;  // 40 in over pages 8 in wide
    s.printHeight = 6000;
    site.pageSetup(s);
    EXPECT_EQ(site.pageTo(), site.calcMaxPage(&s));
    EXPECT_GT(site.pageTo(), 4);
}

// Each layout change alone resets the range to every page; anything else keeps it. The
// print sizes are the layout in manual mode only, the page count in fit mode only.
TEST_F(PrintSiteTest, PrintRangeResetsOnEachLayoutChangeAlone)
{
    site.setDocument(&panorama);
    PageSetup manual = setup();
    manual.mode = 1;
    manual.keepProportions = false;
    manual.numPages = 6;
    manual.printWidth = 40000;  // 40 x 6 in: six pages 8 in wide
    manual.printHeight = 6000;
    PageSetup fit = manual;
    fit.mode = 0;
    auto mode = [this](int m) {
        PageSetup s = setup();
        s.mode = m;
        site.pageSetup(s);
    };
    const struct {
        const char* name;
        const PageSetup& start;
        std::function<void()> change;
        bool resets;
    } cases[] = {
        {"width alone", manual, [&] { site.setPageWidth("30", true); }, true},
        {"height alone", manual, [&] { site.setPageHeight("5", true); }, true},
        {"to fit mode", manual, [&] { mode(0); }, true},
        {"to manual mode", fit, [&] { mode(1); }, true},
        {"page count in fit mode", fit, [&] { site.setNumPages("5"); }, true},
        {"page count in manual mode", manual, [&] { site.setNumPages("5"); }, false},
        {"width in fit mode", fit, [&] { site.setPageWidth("30", true); }, false},
        {"height in fit mode", fit, [&] { site.setPageHeight("5", true); }, false},
        {"margin", manual, [&] { site.setMargingT("1"); }, false},
        {"overlap", manual, [&] { site.setOverlap("1", true); }, false},
    };
    for (const auto& c : cases) {
        site.pageSetup(c.start);
        site.setPrintRange(2, 3, true);
        ASSERT_EQ(std::pair(site.pageFrom(), site.pageTo()), std::pair(2, 3)) << c.name;
        c.change();
        const int count = setup().mode == 0 ? setup().numPages : site.calcMaxPage(&site.getPageSetup());
        EXPECT_EQ(std::pair(site.pageFrom(), site.pageTo()), c.resets ? std::pair(1, count) : std::pair(2, 3))
            << c.name;
    }
}

// The paper table's two texts: the first five sizes have their own inch text, the others
// stay metric, a custom size is measured in the unit in force (two significant digits).
TEST_F(PrintSiteTest, PaperTextFollowsTheUnits)
{
    struct Case {
        QPageSize size;
        const char* metric;
        const char* inch;
    } const cases[] = {
        {QPageSize(QPageSize::A4), "A4 210 x 297 mm", "A4 8.26 x 11.69 in"},
        {QPageSize(QPageSize::Letter), "Letter 216 x 279 mm", "Letter 8.5 x 11 in"},
        {QPageSize(QPageSize::Executive), "Executive 191 x 254 mm", "Executive 7.5 x 10 in"},
        {QPageSize(QPageSize::A3), "A3 297 x 420 mm", "A3 297 x 420 mm"},
        {QPageSize(QSizeF(200, 300), QPageSize::Millimeter), "Custom 2e+02 x 3e+02 mm", "Custom 7.9 x 12 in"},
    };
    for (const Case& c : cases) {
        site.printer()->setPageSize(c.size);
        for (const bool inch : {false, true}) {
            site.setUnits(inch);
            EXPECT_EQ(site.printPaperSize(site.printer()), inch ? c.inch : c.metric);
            EXPECT_TRUE(site.getPrinterInfo().contains(QStringLiteral("\nPaper: ") + (inch ? c.inch : c.metric)));
        }
    }
}

// Each margin is clamped against its own side of the paper: on portrait A4 (21 x 29.7 cm)
// 25 cm is too wide for the left or right margin but fits as a top or bottom margin.
TEST_F(PrintSiteTest, MarginsAreClampedAgainstTheirOwnPaperSide)
{
    useMetric();
    const int paperW = site.paperWidth(), paperH = site.paperHeight();
    ASSERT_LT(paperW, 2500);
    ASSERT_GT(paperH, 2500);
    struct Case {
        bool (PrintSite::*set)(const QString&);
        int32_t PageSetup::*margin;
        int32_t PageSetup::*facing;
        int paper;
    } const cases[] = {
        {&PrintSite::setMargingL, &PageSetup::marginLeft, &PageSetup::marginRight, paperW},
        {&PrintSite::setMargingR, &PageSetup::marginRight, &PageSetup::marginLeft, paperW},
        {&PrintSite::setMargingT, &PageSetup::marginTop, &PageSetup::marginBottom, paperH},
        {&PrintSite::setMargingB, &PageSetup::marginBottom, &PageSetup::marginTop, paperH},
    };
    for (const Case& c : cases) {
        PageSetup fresh;
        fresh.unitsInch = false;
        site.pageSetup(fresh);
        EXPECT_TRUE((site.*c.set)("25"));
        EXPECT_EQ(setup().*c.margin, std::min(2500, c.paper - 1));
        // Against what the facing margin leaves of that side.
        site.getPageSetup().*c.facing = 300;
        EXPECT_TRUE((site.*c.set)("40"));
        EXPECT_EQ(setup().*c.margin, c.paper - 300 - 1);
    }
}

TEST_F(PrintSiteTest, ZeroResolutionIsRefusedWithoutBreakingClamps)
{
    site.printer()->setResolution(0);
    site.setLogicalPageSize(site.printer());
    EXPECT_FALSE(site.resolution() != 0 || site.validPrinter());
    site.getPageSetup().imageWidth = 3;
    site.getPageSetup().imageHeight = 2;
    EXPECT_TRUE(site.setPageHeight("10", true));
    EXPECT_GE(setup().printHeight, 0);
    site.setKeepProportions(true, false);
    EXPECT_EQ(setup().printWidth, 100);  // the least width in inch units
}

TEST_F(PrintSiteTest, PdfFallbackIsNoValidPrinterAndTextsDescribeIt)
{
    // No printer installed: Qt still makes a valid PDF printer, which must not count.
    EXPECT_TRUE(site.printer()->isValid() && !site.validPrinter());
    bool asked = false;
    site.setPageSetupDialog([&](QPrinter&, QWidget*) { return asked = true; });
    EXPECT_FALSE(site.openPrinterOptions(nullptr) || asked);
    EXPECT_TRUE(!site.selectPrinterByName("no such printer") &&
                site.selectPrinterByName(site.getDefaultPrinter().printerName()));

    site.printer()->setColorMode(QPrinter::Color);
    EXPECT_EQ(site.getPrinterInfo(),
              "Orientation: Portrait\nMode: Color\nPaper: A4 8.26 x 11.69 in\nResolution: 600");
    useMetric();
    EXPECT_EQ(site.printPaperSize(site.printer()), "A4 210 x 297 mm");
    site.printer()->setPageSize(QPageSize(QPageSize::Letter));
    EXPECT_EQ(site.printPaperSize(site.printer()), "Letter 216 x 279 mm");
    site.printer()->setPageSize(QPageSize(QSizeF(200, 300), QPageSize::Millimeter));
    EXPECT_EQ(site.printPaperSize(site.printer()), "Custom 2e+02 x 3e+02 mm");
}
