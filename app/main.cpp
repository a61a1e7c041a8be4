// The program: names the application for the settings store and the data folders, takes
// the thumbnail colours from the palette, opens the thumbnail cache and starts its
// threads, shows the main window maximised and runs the event loop. Shutdown is explicit
// and ordered: the window (and with it the document and both engines) first, then the
// thumbnail threads, then the thumbnail database, all before the application object dies.
// No command-line interface of its own: the arguments go to Qt.
#include <QApplication>
#include <QImageReader>

#include "app/main_window.h"
#include "browser/thumb_delegate.h"
#include "browser/thumbs_database.h"
#include "browser/thumbs_manager.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("VARNO Imaging"));
    QCoreApplication::setApplicationName(QStringLiteral("VARNO Vistaloom"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("varno-imaging.example"));
    QCoreApplication::setApplicationVersion(QStringLiteral("2.1.0.1705"));
    QImageReader::setAllocationLimit(4096);  // megabytes: photos above Qt's 128 MB decode

    initInterfaceColors(app);
    GetThumbsDataBase().Init();  // a cache that cannot open runs the session without one
    GetThumbsManager().Init();

    int result = 1;  // a window that cannot be built has said why
    if (std::unique_ptr<MainWindow> window = MainWindow::create()) {
        window->showAtStart();
        result = app.exec();
    }
    GetThumbsManager().shutdown();
    GetThumbsDataBase().close();
    return result;
}
