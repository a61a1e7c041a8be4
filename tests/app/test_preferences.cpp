// The preferences dialog through the window's command: what Cancel and OK change, the
// quality controls following each other, units read anew, and the print marks they
// switch off on a real printed page.
#include <QCheckBox>
#include <QComboBox>
#include <QProcess>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>

#include "tests/app/rendered_window.h"

namespace {

// An answer for the preferences dialog: sets the controls (the quality by its slider),
// then closes it with `result`.
std::function<int(QDialog&)> answer(int unitsIndex, bool marks, bool compress, int quality, int result)
{
    return [=](QDialog& d) {
        d.findChild<QComboBox*>("cbUnits")->setCurrentIndex(unitsIndex);
        d.findChild<QCheckBox*>("chPrintMarkers")->setChecked(marks);
        d.findChild<QCheckBox*>("chLZVComp")->setChecked(compress);
        d.findChild<QSlider*>("sldQuality")->setValue(quality);
        return result;
    };
}

}  // namespace

TEST_F(WindowTest, PreferencesCancelChangesNothingOkStoresEverything)
{
    const Printing::PageSetup& s = w->printSite().getPageSetup();
    desk.dialogs.push_back([](QDialog& d) {  // the spin box follows the slider and back, within 0..100
        auto* spin = d.findChild<QSpinBox*>("spinQuality");
        auto* slider = d.findChild<QSlider*>("sldQuality");
        EXPECT_EQ(d.findChild<QComboBox*>("cbUnits")->currentText(), "in");
        EXPECT_EQ(slider->value(), 75);
        spin->setValue(140);
        EXPECT_EQ(slider->value(), 100);
        return answer(0, false, true, 20, QDialog::Rejected)(d);
    });
    w->on_actionPreferences_triggered();
    EXPECT_EQ(desk.calls("execDialog").at(0).title, "Preferences");
    auto options = [&] { return std::tuple(s.unitsInch, s.overlapMarks, w->document().m_compressTiff, w->document().m_jpegQuality); };
    EXPECT_EQ(options(), std::tuple(true, true, false, 75));
    desk.dialogs.push_back(answer(0, false, true, 20, QDialog::Accepted));
    w->on_actionPreferences_triggered();
    EXPECT_EQ(options(), std::tuple(false, false, true, 20));

    // Switching units changes only the flag: 1 cm stored reads as 0.10in.
    ui().marginsLeft->setText("1");
    w->on_marginsLeft_editingFinished();
    ASSERT_EQ(s.marginLeft, 100);
    EXPECT_EQ(ui().marginsLeft->text(), "1.00cm");
    desk.dialogs.push_back(answer(1, false, true, 20, QDialog::Accepted));
    w->on_actionPreferences_triggered();
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
