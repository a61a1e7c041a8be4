// The preferences dialog's form and option transfer. GUI thread.
#include "app/dlg_preferences.h"

#include <QEvent>

#include "ui_dlg_preferences.h"

namespace {
constexpr int kQualityMax = 100;
}

dlgPreferences::dlgPreferences(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui_dlgPreferences>())
{
    ui->setupUi(this);
    ui->cbUnits->addItem(tr("cm"));  // index 0: metric
    ui->cbUnits->addItem(tr("in"));  // index 1: inch
    ui->spinQuality->setRange(0, kQualityMax);
    ui->sldQuality->setRange(0, kQualityMax);
    // Each follows the other; setValue with an unchanged value emits nothing, so no loop.
    connect(ui->spinQuality, &QSpinBox::valueChanged, ui->sldQuality, &QSlider::setValue);
    connect(ui->sldQuality, &QSlider::valueChanged, ui->spinQuality, &QSpinBox::setValue);
    ui->spinQuality->setValue(0);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
}

dlgPreferences::~dlgPreferences() = default;

void dlgPreferences::changeEvent(QEvent* e)
{
    QDialog::changeEvent(e);
    if (e->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}

void dlgPreferences::set_options(bool unitsInch, bool printMarkers, bool compressTiff, int jpegQuality)
{
    ui->cbUnits->setCurrentIndex(unitsInch ? 1 : 0);
    ui->chPrintMarkers->setChecked(printMarkers);
    ui->chLZVComp->setChecked(compressTiff);
    ui->spinQuality->setValue(jpegQuality);
}

void dlgPreferences::get_options(bool& unitsInch, bool& printMarkers, bool& compressTiff, int& jpegQuality) const
{
    unitsInch = ui->cbUnits->currentIndex() != 0;
    printMarkers = ui->chPrintMarkers->isChecked();
    compressTiff = ui->chLZVComp->isChecked();
    jpegQuality = ui->spinQuality->value();
}
