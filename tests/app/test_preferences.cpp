// The preferences dialog and the window's command around it: what Cancel and OK change,
// the quality controls following each other, units read anew, and the print marks they
// switch off on a real printed page.
#include <QCheckBox>
#include <QComboBox>
#include <QProcess>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>

#include "app/dlg_preferences.h"
#include "tests/app/rendered_window.h"

namespace {

// The dialog's controls by their object names.
struct Controls {
    explicit Controls(QDialog& d)
        : units(d.findChild<QComboBox*>("cbUnits")), marks(d.findChild<QCheckBox*>("chPrintMarkers")),
          compress(d.findChild<QCheckBox*>("chLZVComp")), slider(d.findChild<QSlider*>("sldQuality")),
          spin(d.findChild<QSpinBox*>("spinQuality"))
    {
    }
    QComboBox* units;
    QCheckBox* marks;
    QCheckBox* compress;
    QSlider* slider;
    QSpinBox* spin;
};

// An answer for the preferences dialog: sets the controls, then closes it with `result`.
std::function<int(QDialog&)> answer(int unitsIndex, bool marks, bool compress, int sliderQuality, int result)
{
    return [=](QDialog& d) {
        const Controls c(d);
        c.units->setCurrentIndex(unitsIndex);
        c.marks->setChecked(marks);
        c.compress->setChecked(compress);
        c.slider->setValue(sliderQuality);
        return result;
    };
}

}  // namespace

TEST(Preferences, QualityControlsFollowEachOtherAndTheSpinBoxCounts)
{
    dlgPreferences dlg;
    const Controls c(dlg);
    EXPECT_EQ(c.units->itemText(0), "cm");
    EXPECT_EQ(c.units->itemText(1), "in");
    dlg.set_options(true, false, true, 80);
    EXPECT_EQ(c.slider->value(), 80);
    c.slider->setValue(30);
    EXPECT_EQ(c.spin->value(), 30);
    c.spin->setValue(140);  // bounded by both
    EXPECT_EQ(c.slider->value(), 100);

    bool inch = false, marks = true, compress = false;
    int quality = 0;
    dlg.get_options(inch, marks, compress, quality);
    EXPECT_TRUE(inch);
    EXPECT_FALSE(marks);
    EXPECT_TRUE(compress);
    EXPECT_EQ(quality, 100);
}

TEST_F(WindowTest, CancelChangesNothingAndOkStoresEverything)
{
    const Printing::PageSetup& s = w->printSite().getPageSetup();
    desk.dialogs.push_back(answer(0, false, true, 20, QDialog::Rejected));
    w->on_actionPreferences_triggered();
    EXPECT_EQ(desk.calls("execDialog").at(0).title, "Preferences");
    EXPECT_TRUE(s.unitsInch);
    EXPECT_TRUE(s.overlapMarks);
    EXPECT_FALSE(w->document().m_compressTiff);
    EXPECT_EQ(w->document().m_jpegQuality, 75);

    desk.dialogs.push_back(answer(0, false, true, 20, QDialog::Accepted));
    w->on_actionPreferences_triggered();
    EXPECT_FALSE(s.unitsInch);
    EXPECT_FALSE(s.overlapMarks);
    EXPECT_TRUE(w->document().m_compressTiff);
    EXPECT_EQ(w->document().m_jpegQuality, 20);

    // Switching units changes only the flag: 1 cm stored reads as 0.10in.
    ui().marginsLeft->setText("1");
    w->on_marginsLeft_editingFinished();
    ASSERT_EQ(s.marginLeft, 100);
    EXPECT_EQ(ui().marginsLeft->text(), "1.00cm");
    desk.dialogs.push_back(answer(1, false, true, 20, QDialog::Accepted));
    w->on_actionPreferences_triggered();
    EXPECT_EQ(s.marginLeft, 100);
    EXPECT_EQ(ui().marginsLeft->text(), "0.10in");
}

// Page 1 of 2 with overlapping pages carries a red tick in the top margin only while the
// print marks are on.
TEST_F(RenderedWindowTest, MarksOffLeavesNoMarksOnThePrintedPage)
{
    const QString pdftoppm = QStandardPaths::findExecutable("pdftoppm");
    if (pdftoppm.isEmpty())
        GTEST_SKIP() << "pdftoppm not installed: printed pages not checked";
    ui().marginsTop->setText("1");  // 1 in: room for the ticks above the panorama
    w->on_marginsTop_editingFinished();
    ui().chOverlap->click();
    ui().overlap->setText("1");
    w->on_overlap_editingFinished();
    ui().numPages->setText("2");
    w->on_numPages_editingFinished();

    auto redsInTopMargin = [&](const QString& name) {
        QPrinter printer(QPrinter::HighResolution);
        makePdf(printer, name);
        w->printDocument(&printer);
        const QString png = out.filePath(name);
        // Only the 1 in top margin at 150 dpi, where nothing but the ticks is drawn.
        if (QProcess::execute(pdftoppm, {"-f", "1", "-l", "1", "-r", "150", "-x", "0", "-y", "0", "-W", "1754",
                                         "-H", "150", "-singlefile", "-png", printer.outputFileName(), png}) != 0)
            return -1;
        const QImage band(png + ".png");
        if (band.isNull())
            return -1;
        int reds = 0;
        for (int y = 0; y < band.height(); ++y)
            for (int x = 0; x < band.width(); ++x) {
                const QColor c = band.pixelColor(x, y);
                reds += c.red() > 160 && c.green() < 140 && c.blue() < 140;
            }
        return reds;
    };
    EXPECT_GT(redsInTopMargin("marks"), 0);
    desk.dialogs.push_back(answer(1, false, false, 75, QDialog::Accepted));
    w->on_actionPreferences_triggered();
    EXPECT_EQ(redsInTopMargin("plain"), 0);
}
