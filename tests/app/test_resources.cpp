// The compiled-in resource collection reaches every program that links the window
// library, with the files and sizes the views and the form load.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>

TEST(Resources, FilesAndSizes)
{
    const struct {
        const char* name;
        int size;  // icon side in pixels, or file bytes for the others (0: any)
        bool image;
    } files[] = {
        {"AddImagesStd.png", 24, true},  {"StitchStd.png", 24, true},     {"ExportStd.png", 24, true},
        {"AddImagesHot.png", 24, true},  {"StitchDis.png", 24, true},     {"ExportHot.png", 24, true},
        {"ZoomIn.png", 24, true},        {"ZoomOut.png", 16, true},       {"ZoomInPressed.png", 24, true},
        {"ZoomOutPressed.png", 16, true}, {"UpOrBackButton.png", 24, true}, {"UpOrBackButtonPressed.png", 24, true},
        {"AddMediaButton.png", 24, true}, {"AddMediaRemove.png", 24, true}, {"geo1.cur", 326, false},
        {"move1.cur", 326, false},       {"finger.cur", 326, false},      {"marker1.bmp", 3136, false},
        {"marker3.bmp", 3136, false},    {"markers.xml", 282, false},     {"VnVistaloom.ico", 0, false},
        {"VnVistaloom.icns", 0, false},
    };
    for (const auto& f : files) {
        const QString path = QStringLiteral(":/res/res/") + QLatin1String(f.name);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << f.name;
        if (f.image) {
            const QImage image(path);
            EXPECT_EQ(image.size(), QSize(f.size, f.size)) << f.name;
            EXPECT_TRUE(image.hasAlphaChannel()) << f.name;
        } else if (f.size) {
            EXPECT_EQ(file.size(), f.size) << f.name;
        }
    }
    QFile xml(QStringLiteral(":/res/res/markers.xml"));
    ASSERT_TRUE(xml.open(QIODevice::ReadOnly));
    const QByteArray text = xml.readAll();
    EXPECT_TRUE(text.startsWith("<markers>\r\n <marker id=\"0\" file-name=\":/res/res/marker1.bmp\" hot-point-x=\"1\" "
                                "hot-point-y=\"34\" />\r\n"));
}
