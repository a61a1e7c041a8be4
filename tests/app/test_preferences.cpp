// The preferences dialog through the window's command: what Cancel and OK change (the
// print marks it switches off reach the page setup every print uses; the printed page
// without them is the print layout's test), the quality controls following each other,
// and units read anew.
#include <QCheckBox>
#include <QComboBox>
#include <QSlider>
#include <QSpinBox>

#include "tests/app/window_fixture.h"

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
