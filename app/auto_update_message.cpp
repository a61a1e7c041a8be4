// The update dialog: filled once from a finished check, then run by the main window.
// GUI thread only.
#include "app/auto_update_message.h"

#include <QEvent>
#include <QUrl>

#include "app/desktop_seam.h"
#include "ui_auto_update_message.h"
#include "update/auto_update.h"

bool openUpdateAddress(const QString& address)
{
    const QUrl url(address.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return false;
    Desktop::desktop().openUrl(url);  // no browser started: nothing is said
    return true;
}

AutoUpdateMessage::AutoUpdateMessage(VnAutoUpdate* checker, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui_AutoUpdateMessage>())
{
    ui->setupUi(this);
    if (checker->status == 1)
        ui->labelTitle->setText(tr("Update available"));
    else if (checker->status == 2)
        ui->labelTitle->setText(tr("Critical update available"));

    // The server's text is shown as it stands, never interpreted as markup.
    ui->labelAdditional->setTextFormat(Qt::PlainText);
    if (!checker->message250.isEmpty())
        ui->labelAdditional->setText(checker->message250);
    else if (!checker->message80.isEmpty())
        ui->labelAdditional->setText(checker->message80);
    else if (!checker->message40.isEmpty())
        ui->labelAdditional->setText(checker->message40);
    else
        ui->labelAdditional->setText(tr("No additional information available"));

    m_moreInfoUrl = checker->moreinfourl;
    if (m_moreInfoUrl.isEmpty())
        ui->commandLinkButton->hide();
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
}

AutoUpdateMessage::~AutoUpdateMessage() = default;

void AutoUpdateMessage::on_commandLinkButton_clicked() { openUpdateAddress(m_moreInfoUrl); }

void AutoUpdateMessage::changeEvent(QEvent* e)
{
    QDialog::changeEvent(e);
    if (e->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}
