// Test main of every test program: Qt on the offscreen platform and a private HOME and
// XDG folders so nothing touches the user's files, and no printer of the machine seen. The
// image allocation limit is the image model's own, as in every program.
#include <QApplication>
#include <QTemporaryDir>
#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/no_printers.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QTemporaryDir home;  // removed when the tests end
    if (!home.isValid())
        return 2;
    const QByteArray root = home.path().toLocal8Bit();
    qputenv("HOME", root);
    qputenv("XDG_CONFIG_HOME", root + "/config");
    qputenv("XDG_DATA_HOME", root + "/data");
    qputenv("XDG_CACHE_HOME", root + "/cache");
    qputenv("XDG_RUNTIME_DIR", root + "/runtime");
    vltest::hidePrinters(home.path());

    QApplication app(argc, argv);  // widgets need the full application object
    return RUN_ALL_TESTS();
}
