// The BMP-with-alpha and cursor readers on files from the resource generator's writers,
// intact and damaged field by field; and the compiled-in resource collection, which
// reaches every program that links the window library, with the files and sizes the
// views and the form load.
#include <gtest/gtest.h>

#include <QBitmap>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

#include "app/bitmap_loader.h"
#include "resources/resource_writers.h"

using namespace VarnoBase;
namespace rw = ResourceWriters;

namespace {

struct Files {
    QTemporaryDir dir;
    int n = 0;
    QString write(const QByteArray& bytes)
    {
        QFile f(dir.filePath(QStringLiteral("f%1").arg(n++)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return f.fileName();
    }
};

// `bytes` (2 or 4) little-endian bytes of `v` written at `at`.
QByteArray patched(QByteArray b, int at, std::uint32_t v, int bytes = 4)
{
    for (int i = 0; i < bytes; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xff);
    return b;
}

// 22 x 35 like a marker: alpha 255 except pixel (1, 0) = red 255, alpha 128.
QImage markerLike()
{
    QImage image(22, 35, QImage::Format_ARGB32);
    for (int y = 0; y < 35; ++y)
        for (int x = 0; x < 22; ++x)
            image.setPixel(x, y, qRgba(x * 10, y * 7, 50, 255));
    image.setPixel(1, 0, qRgba(255, 0, 0, 128));
    return image;
}

// Row 0 of a cursor: x 0 black (AND 0, XOR 0), x 1 white (0, 1), x 2 transparent (1, 0),
// x 3 inverting (1, 1), per the Windows masks.
rw::CursorImage fourCombinations(int hotX, int hotY, int bpp = 1)
{
    rw::CursorImage c;
    c.hotX = hotX;
    c.hotY = hotY;
    c.bpp = bpp;
    c.xorMask.assign(128, 0);
    c.andMask.assign(128, 0);
    c.xorMask[0] = char(0x40 | 0x10);
    c.andMask[0] = char(0x20 | 0x10);
    return c;
}

bool bitAt(const QBitmap& b, int x, int y) { return qGray(b.toImage().pixel(x, y)) < 128; }  // color1 is set

}  // namespace

TEST(LoadAlphaBitmap, BottomUpAndTopDownRowsPremultiplicationAndDamagedFiles)
{
    Files files;
    const QImage source = markerLike();
    for (bool topDown : {false, true}) {  // top-down with no bytes after the pixels
        const QImage straight = LoadAlphaBitmap(files.write(rw::alphaBitmapFile(source, topDown, topDown ? 0 : 2)), false);
        ASSERT_EQ(std::pair(straight.format(), straight.size()), std::pair(QImage::Format_ARGB32, QSize(22, 35)));
        EXPECT_EQ(std::pair(straight.pixel(1, 0), straight.pixel(21, 34)), std::pair(qRgba(255, 0, 0, 128), source.pixel(21, 34))) << topDown;
    }
    const QImage pre = LoadAlphaBitmap(files.write(rw::alphaBitmapFile(source)), true);
    ASSERT_EQ(pre.format(), QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(qRed(reinterpret_cast<const QRgb*>(pre.constScanLine(0))[1]), 128);
    // The shipped marker: the tip (hot point) is opaque, the far corner transparent.
    const QImage marker = LoadAlphaBitmap(":/res/res/marker2.bmp", false);
    ASSERT_EQ(marker.size(), QSize(22, 35));
    EXPECT_EQ(std::pair(qAlpha(marker.pixel(1, 34)), qAlpha(marker.pixel(0, 0))), std::pair(255, 0));

    // Damaged files give null.
    const QByteArray good = rw::alphaBitmapFile(source);
    const std::tuple<const char*, int, int, std::uint32_t> patches[] = {  // what, offset, bytes, value
        {"not BM", 0, 2, 0x4D43}, {"24 bits", 28, 2, 24}, {"RLE", 30, 4, 1}, {"offset < 54", 10, 4, 50},
        {"huge offset", 10, 4, 0xfffffff0u}, {"planes", 26, 2, 2}, {"huge width", 18, 4, 0x7fffffffu},
        {"width 0", 18, 4, 0}, {"height beyond data", 22, 4, 36}, {"most negative height", 22, 4, 0x80000000u},
    };
    for (const auto& [what, at, bytes, value] : patches)
        EXPECT_TRUE(LoadAlphaBitmap(files.write(patched(good, at, value, bytes)), false).isNull()) << what;
    EXPECT_TRUE(LoadAlphaBitmap(files.write(good.left(54 + 22 * 4 * 20)), false).isNull()) << "truncated";
    EXPECT_TRUE(LoadAlphaBitmap(files.write(good.left(30)), false).isNull()) << "short header";
    EXPECT_TRUE(LoadAlphaBitmap(files.dir.filePath("missing.bmp"), false).isNull());
}

TEST(CursorLoader, MaskCombinationsHotSpotAndBadFiles)
{
    Files files;
    std::vector<QCursor*> cursors;
    auto load = [&](const QByteArray& bytes) {
        for (QCursor*& p : cursors)
            DeleteObject<QCursor>()(p);
        cursors.clear();
        winLoadCursorFile(files.write(bytes).toStdWString(), cursors);
        return cursors.size();
    };
    ASSERT_EQ(load(rw::cursorFile({fourCombinations(15, 16)})), 1u);
    EXPECT_EQ(cursors[0]->hotSpot(), QPoint(15, 16));
    const QBitmap bitmap = cursors[0]->bitmap(), mask = cursors[0]->mask();
    ASSERT_EQ(bitmap.size(), QSize(32, 32));
    // Qt: B 1 M 1 black, B 0 M 1 white, B 0 M 0 transparent, B 1 M 0 inverted.
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(bitAt(bitmap, x, 0), x == 0 || x == 3) << x;
        EXPECT_EQ(bitAt(mask, x, 0), x < 2) << x;
        EXPECT_TRUE(bitAt(mask, x, 31)) << "bottom row is black, first row is the top";
    }
    EXPECT_EQ(loadWndCursor(":/res/res/geo1.cur").hotSpot(), QPoint(15, 16));
    EXPECT_EQ(loadWndCursor(":/res/res/move1.cur").shape(), Qt::BitmapCursor);
    EXPECT_EQ(loadWndCursor(files.dir.filePath("missing.cur")).shape(), Qt::ArrowCursor);

    const QByteArray good = rw::cursorFile({fourCombinations(0, 0)});
    EXPECT_EQ(load(rw::cursorFile({fourCombinations(0, 0)}, 1)), 0u) << "icon file";
    EXPECT_EQ(load(rw::cursorFile({})), 0u) << "count 0";
    EXPECT_EQ(load(rw::cursorFile({fourCombinations(0, 0), fourCombinations(0, 0, 4)})), 1u) << "4-bit entry skipped";
    const std::tuple<const char*, int, std::uint32_t> cursorPatches[] = {  // what, offset, value
        {"undersized mask size", 22 + 20, 64}, {"huge mask size", 22 + 20, 0x7ffffff0u}, {"huge image offset", 18, 0xfffffff0u},
        {"header size", 22, 12}, {"huge width", 22 + 4, 0x7fffffffu}, {"negative height", 22 + 8, 0xffffffc0u},
    };
    for (const auto& [what, at, value] : cursorPatches)
        EXPECT_EQ(load(patched(good, at, value)), 0u) << what;
    EXPECT_EQ(load(good.left(good.size() - 1)), 0u) << "truncated masks";
    EXPECT_EQ(load(good.left(10)), 0u) << "truncated directory";
    EXPECT_EQ(load(good), 1u);
    load({});  // frees the last cursor
}

TEST(RotateBytes, FieldsByWidth)
{
    std::uint16_t s = 0x1234;
    RotateBytes(s);
    EXPECT_EQ(s, 0x3412);
    CursorDirEntry e;
    e.width = 32;
    e.hotX = 0x0102;
    e.imageOffset = 0x01020304u;
    RotateBytes(e);
    EXPECT_EQ(std::make_tuple(int(e.width), int(e.hotX), e.imageOffset), std::make_tuple(32, 0x0201, 0x04030201u));
}

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
            EXPECT_EQ(std::pair(QImage(path).size(), QImage(path).hasAlphaChannel()), std::pair(QSize(size, size), true)) << name;
        } else if (size) {
            EXPECT_EQ(file.size(), size) << name;
        }
    }
}
