// The compiled-in resource collection reaches every program that links the window
// library, with the files and sizes the views and the form load.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>

TEST(Resources, FilesAndSizes)
{
    // Icon side in pixels for the images, file bytes for the others (0: any).
    const std::pair<const char*, int> files[] = {
        {"AddImagesStd.png", 24}, {"StitchStd.png", 24}, {"ExportStd.png", 24}, {"AddImagesHot.png", 24},
        {"StitchDis.png", 24}, {"ExportHot.png", 24}, {"ZoomIn.png", 24}, {"ZoomOut.png", 16},
        {"ZoomInPressed.png", 24}, {"ZoomOutPressed.png", 16}, {"UpOrBackButton.png", 24},
        {"UpOrBackButtonPressed.png", 24}, {"AddMediaButton.png", 24}, {"AddMediaRemove.png", 24}, {"geo1.cur", 326},
        {"move1.cur", 326}, {"finger.cur", 326}, {"marker1.bmp", 3136}, {"marker3.bmp", 3136}, {"markers.xml", 282},
        {"VnVistaloom.ico", 0}, {"VnVistaloom.icns", 0}};
    for (const auto& [name, size] : files) {
        const QString path = QStringLiteral(":/res/res/") + QLatin1String(name);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        if (path.endsWith(".png")) {
            EXPECT_EQ(QImage(path).size(), QSize(size, size)) << name;
            EXPECT_TRUE(QImage(path).hasAlphaChannel()) << name;
        } else if (size) {
            EXPECT_EQ(file.size(), size) << name;
        }
    }
    QFile xml(":/res/res/markers.xml");
    ASSERT_TRUE(xml.open(QIODevice::ReadOnly));
    EXPECT_TRUE(xml.readAll().startsWith("<markers>\r\n <marker id=\"0\" file-name=\":/res/res/marker1.bmp\" hot-point-x=\"1\" "
                                         "hot-point-y=\"34\" />\r\n"));
}
