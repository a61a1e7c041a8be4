// The Help menu of the main window: the update check (at start-up on its schedule and on
// "Check for Updates...") and the window's reaction to its answer, the About box, the
// local help pages and the product's home page.
//
// GUI thread. Each check is its own VnAutoUpdate, a child of the window, whose answer
// arrives queued from the checker's worker thread; a check that failed sends none and
// shows nothing. Every modal box and every address opened goes through
// Desktop::desktop(); whether a browser started is not looked at.
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
        openUpdateAddress(autoupdate->updateurl);
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
    // A missing page, or no browser at all, is not reported.
    Desktop::desktop().openUrl(url);
}

void MainWindow::on_actionHome_page_triggered() { Desktop::desktop().openUrl(QUrl(homePageAddress())); }
