// The Help menu of the main window: the update check (at start-up on its schedule and on
// "Check for Updates...") and the window's reaction to its answer, the About box, the
// local help pages and the product's home page.
//
// GUI thread. Each check is its own VnAutoUpdate, a child of the window, whose answer
// arrives queued from the checker's worker thread; every modal box and every address
// opened goes through Desktop::desktop().
#include <QCoreApplication>
#include <QUrl>

#include "app/auto_update_message.h"
#include "app/desktop_seam.h"
#include "app/main_window.h"
#include "update/auto_update.h"

namespace {

// The maker's web host: a placeholder under the reserved ".example" domain.
constexpr const char* kMakerWebAddress = "www.varno-imaging.example";

}  // namespace

VnAutoUpdate* MainWindow::startUpdateCheck(bool manual)
{
    auto* checker = new VnAutoUpdate(this, m_updateEndpoint);
    // Connected before the worker starts, so a quick answer is never lost.
    connect(checker, &VnAutoUpdate::processUpdate, this, &MainWindow::onProcessAutoUpdate, Qt::QueuedConnection);
    connect(checker, &VnAutoUpdate::checkFailed, this, &MainWindow::onUpdateCheckFailed, Qt::QueuedConnection);
    checker->checkUpdate(manual);
    return checker;
}

void MainWindow::on_actionCheck_for_Updates_triggered() { startUpdateCheck(true); }

void MainWindow::onProcessAutoUpdate(VnAutoUpdate* autoupdate)
{
    VarnoBase::TakeOver(autoupdate);  // the answer the worker handed off before the signal
    if (autoupdate->m_error.load() != 0)
        return;
    if (autoupdate->status == 0) {
        if (autoupdate->m_manual)
            Desktop::desktop().information(this, windowTitle(), tr("No updates available now"), QMessageBox::Ok);
        return;
    }
    if (autoupdate->status != 1 && autoupdate->status != 2)
        return;
    AutoUpdateMessage dlg(autoupdate, nullptr);
    if (Desktop::desktop().execDialog(dlg) == QDialog::Accepted)
        openUpdateAddress(autoupdate->updateurl, this);
}

void MainWindow::onUpdateCheckFailed(VnAutoUpdate* autoupdate)
{
    VarnoBase::TakeOver(autoupdate);
    // The weekly check at start-up stays silent; one the user asked for gets an answer
    // that says whether the server was reached.
    if (!autoupdate->m_manual)
        return;
    QString text = tr("Could not reach the update server.");
    if (autoupdate->failure == VnAutoUpdate::Failure::ErrorAnswer)
        text = tr("The update server answered with an error: %1.").arg(autoupdate->failureStatus);
    else if (autoupdate->failure == VnAutoUpdate::Failure::UnreadableAnswer)
        text = tr("The update server's answer could not be read.");
    Desktop::desktop().warning(this, windowTitle(), text, QMessageBox::Ok, QMessageBox::NoButton);
}

QString MainWindow::homePageAddress()
{
    return tr("http://www.varno-imaging.example/Vistaloom_Mac/"
              "?utm_source=product&utm_medium=panorama_mac&utm_term=&utm_campaign=menu_help");
}

void MainWindow::on_actionAbout_triggered()
{
    int v[4] = {};
    vnVersion::getVersion(v);
    const QString suffix = vnVersion::isBeta() ? QStringLiteral("BETA") : QStringLiteral(" ");
    const QString text = tr("<h2>VARNO Vistaloom</h2>"
                            "<p>Version %1.%2.%3.%4 %5</p>"
                            "<p><hr></p>"
                            "<p>Copyright &copy; VARNO Imaging. All rights reserved.</p>")
                             .arg(v[0])
                             .arg(v[1])
                             .arg(v[2])
                             .arg(v[3])
                             .arg(suffix) +
                         QStringLiteral("<p><a href=\"%1\">%2</a></p>")
                             .arg(homePageAddress().toHtmlEscaped(), QLatin1String(kMakerWebAddress));
    Desktop::desktop().about(this, tr("About"), text);
}

void MainWindow::on_actionHelp_topics_triggered()
{
    const QDir dir = directoryOf(tr("help"));
    QUrl url = QUrl::fromLocalFile(dir.absoluteFilePath(tr("main_index.htm")));
    url.setScheme(QStringLiteral("file"));
    Desktop::openUrlOrSay(this, url);  // a missing page is the browser's to report
}

void MainWindow::on_actionHome_page_triggered() { Desktop::openUrlOrSay(this, QUrl(homePageAddress())); }
