// Test main of every test program: Qt on the offscreen platform, a private HOME and
// XDG folders so nothing touches the user's files, and the image allocation limit
// raised so large generated photos decode.
#include <QApplication>
#include <QImageReader>
#include <QTemporaryDir>
#include <cstdlib>

#include <gtest/gtest.h>

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

    QApplication app(argc, argv);  // widgets need the full application object
    QImageReader::setAllocationLimit(4096);  // megabytes
    return RUN_ALL_TESTS();
}
