// The "Warning" form the document asks with before a built panorama's photo list changes:
// what it shows, the answer of each button and of the check box, and its texts set again
// on a language change. Never shown: the buttons are clicked on the hidden dialog.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "document/dlg_about_to_change.h"

namespace {

const QString kQuestion = "You are about to change the list of source photos.\n The resulting panorama will be "
                          "recalculated.\n Continue with modification of the list?";

}  // namespace

TEST(AboutToChangeDialog, FormShowsTheQuestionWithYesNoAndAnUncheckedBox)
{
    dlgAboutToChangeMessage d;
    EXPECT_EQ(std::tuple(d.objectName(), d.windowTitle(), d.windowModality(), d.isModal(), d.size(),
                         d.windowFlags().testFlag(Qt::WindowContextHelpButtonHint)),
              std::tuple(QString("dlgAboutToChangeMessage"), QString("Warning"), Qt::ApplicationModal, true,
                         QSize(259, 115), false));
    auto* layout = d.findChild<QVBoxLayout*>("verticalLayout");
    auto* label = d.findChild<QLabel*>("label");
    ASSERT_TRUE(layout && label && d.checkBox() && d.buttonBox());
    // Top to bottom: the question, the box, the buttons.
    EXPECT_EQ(std::tuple(layout->indexOf(label), layout->indexOf(d.checkBox()), layout->indexOf(d.buttonBox())),
              std::tuple(0, 1, 2));
    EXPECT_EQ(std::tuple(label->text(), label->alignment(), label->autoFillBackground()),
              std::tuple(kQuestion, Qt::Alignment(Qt::AlignCenter), false));
    EXPECT_EQ(std::tuple(d.checkBox()->objectName(), d.checkBox()->text(), d.checkBox()->isChecked(), d.dontShowFlg()),
              std::tuple(QString("cbDontShow"), QString("Don't show this message again"), false, false));
    EXPECT_EQ(std::tuple(d.buttonBox()->standardButtons(), d.buttonBox()->centerButtons(), d.buttonBox()->orientation()),
              std::tuple(QDialogButtonBox::Yes | QDialogButtonBox::No, true, Qt::Horizontal));
}

TEST(AboutToChangeDialog, YesAcceptsNoRejectsAndTheBoxIsReadEitherWay)
{
    for (const auto& [button, result] : {std::pair(QDialogButtonBox::Yes, QDialog::Accepted), {QDialogButtonBox::No, QDialog::Rejected}}) {
        for (const bool dontShow : {false, true}) {
            dlgAboutToChangeMessage d;
            d.setResult(-1);
            d.checkBox()->setChecked(dontShow);
            d.buttonBox()->button(button)->click();
            EXPECT_EQ(std::pair(d.result(), d.dontShowFlg()), std::pair(int(result), dontShow)) << int(button);
        }
    }
}

TEST(AboutToChangeDialog, LanguageChangeSetsTheTextsAgain)
{
    dlgAboutToChangeMessage d;
    auto* label = d.findChild<QLabel*>("label");
    d.setWindowTitle("x"), label->setText("x"), d.checkBox()->setText("x");
    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(&d, &change);
    EXPECT_EQ(std::tuple(d.windowTitle(), label->text(), d.checkBox()->text()),
              std::tuple(QString("Warning"), kQuestion, QString("Don't show this message again")));
}
