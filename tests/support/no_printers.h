// Hides the machine's printers from a test process, so that every test sees the same
// "no printer installed" whether or not the machine has a print server with queues, and
// no test can ever send a job to a real queue. Qt's CUPS backend asks the server named
// by CUPS_SERVER: here a socket in the test's private folder that nothing listens on, so
// the printer list is empty at once. The client configuration (client.conf, lpoptions
// with a default destination) is read from an empty folder, and the user's choice of
// default printer in the environment is dropped. Call before the application object
// exists: the print backend reads these once.
#pragma once

#include <QFile>
#include <QDir>
#include <QString>
#include <QtGlobal>

namespace vltest {

inline void hidePrinters(const QString& privateFolder)
{
    const QString root = privateFolder + QStringLiteral("/cups");
    QDir().mkpath(root);
    qputenv("CUPS_SERVERROOT", QFile::encodeName(root));
    qputenv("CUPS_SERVER", QFile::encodeName(root + QStringLiteral("/no-server.sock")));
    qunsetenv("PRINTER");
    qunsetenv("LPDEST");
}

}  // namespace vltest
