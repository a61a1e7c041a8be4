#include "document/dlg_about_to_change.h"

#include <QEvent>

#include "ui_dlg_about_to_change.h"

dlgAboutToChangeMessage::dlgAboutToChangeMessage(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_dlgAboutToChangeMessage>())
{
    ui->setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

dlgAboutToChangeMessage::~dlgAboutToChangeMessage() = default;

bool dlgAboutToChangeMessage::dontShowFlg() const
{
    return ui->cbDontShow->isChecked();
}

QCheckBox* dlgAboutToChangeMessage::checkBox() const { return ui->cbDontShow; }
QDialogButtonBox* dlgAboutToChangeMessage::buttonBox() const { return ui->buttonBox; }

void dlgAboutToChangeMessage::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
    QDialog::changeEvent(event);
}
