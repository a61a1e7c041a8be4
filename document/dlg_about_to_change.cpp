#include "document/dlg_about_to_change.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QEvent>
#include <QLabel>
#include <QVBoxLayout>

dlgAboutToChangeMessage::dlgAboutToChangeMessage(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("dlgAboutToChangeMessage"));
    setWindowModality(Qt::ApplicationModal);
    setModal(true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    resize(259, 115);

    m_verticalLayout = new QVBoxLayout(this);
    m_verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("label"));
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setAutoFillBackground(false);
    m_verticalLayout->addWidget(m_label);

    m_cbDontShow = new QCheckBox(this);
    m_cbDontShow->setObjectName(QStringLiteral("cbDontShow"));
    m_cbDontShow->setChecked(false);
    m_verticalLayout->addWidget(m_cbDontShow);

    m_buttonBox = new QDialogButtonBox(this);
    m_buttonBox->setObjectName(QStringLiteral("buttonBox"));
    m_buttonBox->setOrientation(Qt::Horizontal);
    m_buttonBox->setStandardButtons(QDialogButtonBox::Yes | QDialogButtonBox::No);
    m_buttonBox->setCenterButtons(true);
    m_verticalLayout->addWidget(m_buttonBox);

    connect(m_buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    retranslateUi();
}

bool dlgAboutToChangeMessage::dontShowFlg() const
{
    return m_cbDontShow->isChecked();
}

void dlgAboutToChangeMessage::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange)
        retranslateUi();
    QDialog::changeEvent(event);
}

void dlgAboutToChangeMessage::retranslateUi()
{
    setWindowTitle(QCoreApplication::translate("dlgAboutToChangeMessage", "Warning"));
    m_label->setText(QCoreApplication::translate(
        "dlgAboutToChangeMessage",
        "You are about to change the list of source photos.\n The resulting panorama will be recalculated.\n "
        "Continue with modification of the list?"));
    m_cbDontShow->setText(QCoreApplication::translate("dlgAboutToChangeMessage", "Don't show this message again"));
}
