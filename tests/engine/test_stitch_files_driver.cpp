// The stitch_files driver run as a program: outputs it cannot write and photos it cannot
// read end the run before any build, with the real reason on stderr and a status line
// on stdout, and no photo is ever overwritten. Files live in a temporary folder.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include "tests/support/scene.h"

#include <unistd.h>

namespace {

struct DriverRun {
    int exitCode = -1;
    QString out;
    QString err;
};

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

DriverRun StitchFiles(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(VL_STITCH_FILES), args);
    DriverRun r;
    if (!p.waitForFinished(120000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

}  // namespace

TEST(StitchFilesDriver, RefusesEarlyWithTheRealReason)
{
    QTemporaryDir dir;
    // PNG photos: no image plugin is loaded into this process (a plugin's thread-local
    // storage trips LeakSanitizer at exit in the sanitizer build).
    const QString a = dir.filePath("a.png");
    const QString b = dir.filePath("b.png");
    QImage photo(96, 64, QImage::Format_RGB32);
    photo.fill(qRgb(90, 120, 150));
    vltest::saveImage(photo, a, vltest::FileFormat::Png);
    vltest::saveImage(photo, b, vltest::FileFormat::Png);
    const QByteArray photoBytes = ReadAll(a);
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.jpg"));
    WriteAll(dir.filePath("notes.jpg"), "not a photo at all\n");
    WriteAll(dir.filePath("ro.jpg"), "old result");
    QFile::setPermissions(dir.filePath("ro.jpg"), QFileDevice::ReadOwner);

    struct Case {
        QString out;
        QStringList photos;
        const char* reason;
    } cases[] = {
        {dir.filePath("missing/out.jpg"), {a, b}, "the folder does not exist"},
        {dir.filePath("out.xyz"), {a, b}, "no image type is written"},
        {dir.filePath("folder.jpg"), {a, b}, "it is a folder"},
        {dir.path() + "/./a.png", {a, b}, "it is the photo"},
        {dir.filePath("out.jpg"), {a, dir.filePath("none.jpg")}, "none.jpg: File not found."},
        {dir.filePath("out.jpg"), {a, dir.filePath("notes.jpg")}, "notes.jpg: Unsupported file format."},
        {dir.filePath("ro.jpg"), {a, b}, "not writable"},
    };
    for (const Case& c : cases) {
        if (c.out.endsWith("ro.jpg") && geteuid() == 0)
            continue;  // permissions do not bind the superuser
        const DriverRun r = StitchFiles(QStringList{"--out", c.out} << c.photos);
        EXPECT_EQ(r.exitCode, 1) << c.reason;
        EXPECT_TRUE(r.err.contains(c.reason)) << c.reason << "\n" << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("[11]")) << c.reason;  // no build was started
        EXPECT_TRUE(r.out.trimmed().section('\n', -1).startsWith("status=2 photos=2 ")) << r.out.toStdString();
        EXPECT_FALSE(QFile::exists(dir.filePath("out.jpg")));
    }
    EXPECT_EQ(ReadAll(a), photoBytes);
    EXPECT_EQ(ReadAll(dir.filePath("ro.jpg")), QByteArray("old result"));
}
