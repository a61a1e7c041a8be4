// Build-time generator of the program's compiled-in resources: tool-bar and button
// icons, the program icon, the cursors, the three marker bitmaps and markers.xml.
// Everything is drawn here with QPainter on images, so the output depends only on this
// code (and is the same on every run). Usage: vl_resgen <output folder>.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>
#include <vector>

#include "resources/resource_writers.h"

namespace {

QString g_dir;
bool g_ok = true;

void writeFile(const QString& name, const QByteArray& data)
{
    QFile f(g_dir + QLatin1Char('/') + name);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) {
        std::fprintf(stderr, "vl_resgen: cannot write %s\n", qPrintable(f.fileName()));
        g_ok = false;
    }
}

void writePng(const QString& name, const QImage& image)
{
    if (!image.save(g_dir + QLatin1Char('/') + name, "PNG")) {
        std::fprintf(stderr, "vl_resgen: cannot write %s\n", qPrintable(name));
        g_ok = false;
    }
}

QImage canvas(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

using Painting = std::function<void(QPainter&, const QColor& ink, const QColor& fill)>;

// One pictogram on a 24-unit grid, scaled to `size` pixels.
QImage pictogram(int size, const QColor& ink, const QColor& fill, const Painting& paint)
{
    QImage image = canvas(size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 24.0, size / 24.0);
    paint(p, ink, fill);
    return image;
}

QPen pen(const QColor& c, double w) { return QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin); }

// A photo: frame, sky and a mountain.
void photo(QPainter& p, const QRectF& r, const QColor& ink, const QColor& fill)
{
    p.setPen(pen(ink, 1.5));
    p.setBrush(fill);
    p.drawRoundedRect(r, 1.5, 1.5);
    QPainterPath hill;
    hill.moveTo(r.left() + 1, r.bottom() - 1);
    hill.lineTo(r.left() + r.width() * 0.4, r.top() + r.height() * 0.4);
    hill.lineTo(r.left() + r.width() * 0.6, r.top() + r.height() * 0.65);
    hill.lineTo(r.left() + r.width() * 0.75, r.top() + r.height() * 0.5);
    hill.lineTo(r.right() - 1, r.bottom() - 1);
    hill.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawPath(hill);
}

void plus(QPainter& p, QPointF c, double r, const QColor& ink, double w)
{
    p.setPen(pen(ink, w));
    p.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
    p.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r));
}

void addImages(QPainter& p, const QColor& ink, const QColor& fill)
{
    photo(p, QRectF(2, 5, 15, 12), ink, fill);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 160, 60));
    p.drawEllipse(QPointF(17.5, 17.5), 5.5, 5.5);
    plus(p, QPointF(17.5, 17.5), 3, Qt::white, 2);
}

void stitch(QPainter& p, const QColor& ink, const QColor& fill)
{
    photo(p, QRectF(1.5, 4, 12, 10), ink, fill);
    photo(p, QRectF(10.5, 10, 12, 10), ink, fill);
}

void exportIcon(QPainter& p, const QColor& ink, const QColor& fill)
{
    photo(p, QRectF(2, 8, 14, 13), ink, fill);
    p.setPen(pen(QColor(30, 100, 200), 2.2));
    p.drawLine(QPointF(11, 13), QPointF(21, 3));
    p.drawLine(QPointF(14, 3), QPointF(21, 3));
    p.drawLine(QPointF(21, 3), QPointF(21, 10));
}

void magnifier(QPainter& p, const QColor& ink, const QColor& fill, bool in)
{
    p.setPen(pen(ink, 2));
    p.setBrush(fill);
    p.drawEllipse(QPointF(10, 10), 7, 7);
    p.setPen(pen(ink, 3.5));
    p.drawLine(QPointF(15.5, 15.5), QPointF(21.5, 21.5));
    p.setPen(pen(ink, 2));
    p.drawLine(QPointF(6.5, 10), QPointF(13.5, 10));
    if (in)
        p.drawLine(QPointF(10, 6.5), QPointF(10, 13.5));
}

void upArrow(QPainter& p, const QColor& ink, const QColor& fill)
{
    p.setPen(pen(ink, 1.5));
    p.setBrush(fill);
    p.drawEllipse(QPointF(12, 12), 10, 10);
    p.setPen(pen(ink, 2.5));
    p.drawLine(QPointF(12, 18), QPointF(12, 6.5));
    p.drawLine(QPointF(7, 11.5), QPointF(12, 6.5));
    p.drawLine(QPointF(17, 11.5), QPointF(12, 6.5));
}

void addMedia(QPainter& p, const QColor&, const QColor&)
{
    p.setPen(pen(QColor(20, 90, 30), 1.2));
    p.setBrush(QColor(60, 170, 70));
    p.drawEllipse(QPointF(12, 12), 10, 10);
    plus(p, QPointF(12, 12), 5.5, Qt::white, 3);
}

void removeMedia(QPainter& p, const QColor&, const QColor&)
{
    p.setPen(pen(QColor(120, 20, 20), 1.2));
    p.setBrush(QColor(210, 50, 45));
    p.drawEllipse(QPointF(12, 12), 10, 10);
    p.setPen(pen(Qt::white, 3));
    p.drawLine(QPointF(6.5, 12), QPointF(17.5, 12));
}

// The program icon: a wide panorama strip over a sky.
void programIcon(QPainter& p, const QColor&, const QColor&)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 90, 170));
    p.drawRoundedRect(QRectF(1, 1, 22, 22), 4, 4);
    photo(p, QRectF(2.5, 8, 19, 9), QColor(30, 60, 40), QColor(200, 225, 250));
    p.setBrush(QColor(255, 200, 40));
    p.drawEllipse(QPointF(18, 10.5), 1.3, 1.3);
}

struct IconState {
    const char* suffix;
    QColor ink;
    QColor fill;
};

void writeIcons()
{
    const IconState std{"Std", QColor(45, 55, 70), QColor(190, 215, 240)};
    const IconState hot{"Hot", QColor(20, 70, 150), QColor(215, 235, 255)};
    const IconState dis{"Dis", QColor(150, 150, 150), QColor(225, 225, 225)};
    const struct {
        const char* name;
        Painting paint;
    } tasks[] = {{"AddImages", addImages}, {"Stitch", stitch}, {"Export", exportIcon}};
    for (const auto& t : tasks)
        for (const IconState& s : {std, hot, dis})
            writePng(QString::fromLatin1(t.name) + QLatin1String(s.suffix) + QLatin1String(".png"),
                     pictogram(24, s.ink, s.fill, t.paint));

    const QColor ink(40, 45, 55), fill(235, 240, 250), pressedInk(10, 10, 10), pressedFill(170, 185, 210);
    auto zoomIn = [](QPainter& p, const QColor& i, const QColor& f) { magnifier(p, i, f, true); };
    auto zoomOut = [](QPainter& p, const QColor& i, const QColor& f) { magnifier(p, i, f, false); };
    writePng("ZoomIn.png", pictogram(24, ink, fill, zoomIn));
    writePng("ZoomOut.png", pictogram(16, ink, fill, zoomOut));
    writePng("ZoomInPressed.png", pictogram(24, pressedInk, pressedFill, zoomIn));
    writePng("ZoomOutPressed.png", pictogram(16, pressedInk, pressedFill, zoomOut));

    writePng("UpOrBackButton.png", pictogram(24, ink, fill, upArrow));
    writePng("UpOrBackButtonDisabled.png", pictogram(24, QColor(160, 160, 160), QColor(230, 230, 230), upArrow));
    writePng("UpOrBackButtonPressed.png", pictogram(24, pressedInk, pressedFill, upArrow));
    writePng("AddMediaButton.png", pictogram(24, ink, fill, addMedia));
    writePng("AddMediaRemove.png", pictogram(24, ink, fill, removeMedia));

    // Two images of each size, as the platform's icon folders keep them.
    std::vector<QImage> icoImages;
    for (int size : {48, 32, 16}) {
        const QImage image = pictogram(size, QColor(), QColor(), programIcon);
        icoImages.push_back(image);
        icoImages.push_back(image);
    }
    writeFile("VnVistaloom.ico", ResourceWriters::iconFile(icoImages));

    // The installed program's icon for the desktop's hicolor theme (not compiled in).
    for (int size : {48, 256})
        writePng(QStringLiteral("vistaloom-%1.png").arg(size), pictogram(size, QColor(), QColor(), programIcon));

    // icns: 'icns', total length, then typed PNG entries (16, 32 and 128 pixels).
    QByteArray icns;
    for (auto [type, size] : {std::pair{"icp4", 16}, {"icp5", 32}, {"ic07", 128}}) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        pictogram(size, QColor(), QColor(), programIcon).save(&buffer, "PNG");
        icns.append(type);
        const std::uint32_t n = std::uint32_t(png.size()) + 8u;
        for (int i = 3; i >= 0; --i)
            icns.append(char((n >> (8 * i)) & 0xff));  // big-endian lengths
        icns.append(png);
    }
    QByteArray head("icns");
    const std::uint32_t total = std::uint32_t(icns.size()) + 8u;
    for (int i = 3; i >= 0; --i)
        head.append(char((total >> (8 * i)) & 0xff));
    writeFile("VnVistaloom.icns", head + icns);
}

// Cursors: black shapes with a white outline, 32 x 32, 1 bit, drawn without smoothing.
QImage cursorCanvas(const std::function<void(QPainter&)>& paint)
{
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    paint(p);
    return image;
}

void outlined(QPainter& p, const QPainterPath& path)
{
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::white);
    p.drawPath(path);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawPath(path);
}

void writeCursor(const char* name, int hotX, int hotY, const std::function<void(QPainter&)>& paint)
{
    const QImage image = cursorCanvas(paint);
    writeFile(QLatin1String(name), ResourceWriters::cursorFile({ResourceWriters::cursorImageFrom(image, hotX, hotY)}));
}

QPainterPath arrowPath(QPointF tip)  // a pointer arrow with its tip at `tip`
{
    QPainterPath a;
    a.moveTo(tip);
    a.lineTo(tip + QPointF(0, 13));
    a.lineTo(tip + QPointF(3.5, 10));
    a.lineTo(tip + QPointF(6, 15));
    a.lineTo(tip + QPointF(8, 14));
    a.lineTo(tip + QPointF(5.5, 9));
    a.lineTo(tip + QPointF(10, 9));
    a.closeSubpath();
    return a;
}

void writeCursors()
{
    // move1: a pointer at (0, 0) with a four-way cross beside it (press tilts).
    writeCursor("move1.cur", 0, 0, [](QPainter& p) {
        QPainterPath path = arrowPath(QPointF(1, 1));
        QPainterPath cross;
        cross.addRect(QRectF(20, 13, 2, 14));
        cross.addRect(QRectF(14, 19, 14, 2));
        for (const QPolygonF& head : {QPolygonF({QPointF(21, 10), QPointF(17.5, 14), QPointF(24.5, 14)}),
                                      QPolygonF({QPointF(21, 30), QPointF(17.5, 26), QPointF(24.5, 26)}),
                                      QPolygonF({QPointF(11, 20), QPointF(15, 16.5), QPointF(15, 23.5)}),
                                      QPolygonF({QPointF(31, 20), QPointF(27, 16.5), QPointF(27, 23.5)})})
            cross.addPolygon(head);
        path.addPath(cross);
        outlined(p, path.simplified());
    });
    // geo1: two curved arrows around the hot spot (press rotates).
    writeCursor("geo1.cur", 15, 16, [](QPainter& p) {
        p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        const QRectF ring(5, 6, 20, 20);
        p.drawArc(ring, 30 * 16, 120 * 16);
        p.drawArc(ring, 210 * 16, 120 * 16);
        p.setPen(QPen(Qt::black, 2, Qt::SolidLine, Qt::FlatCap));
        p.drawArc(ring, 30 * 16, 120 * 16);
        p.drawArc(ring, 210 * 16, 120 * 16);
        QPainterPath heads;
        heads.addPolygon(QPolygonF({QPointF(21, 2), QPointF(27, 9), QPointF(18, 11)}));
        heads.addPolygon(QPolygonF({QPointF(9, 30), QPointF(3, 23), QPointF(12, 21)}));
        outlined(p, heads);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawRect(QRectF(14, 15, 3, 3));
    });
    writeCursor("draghand.cur", 5, 1, [](QPainter& p) {
        QPainterPath hand;
        hand.addRoundedRect(QRectF(3, 1, 5, 14), 2, 2);
        hand.addRoundedRect(QRectF(3, 10, 18, 14), 4, 4);
        outlined(p, hand.simplified());
    });
    writeCursor("finger.cur", 4, 1, [](QPainter& p) {
        QPainterPath hand;
        hand.addRoundedRect(QRectF(2, 1, 5, 15), 2, 2);
        hand.addRoundedRect(QRectF(2, 11, 15, 13), 4, 4);
        outlined(p, hand.simplified());
    });
    writeCursor("freehand.cur", 3, 2, [](QPainter& p) {
        QPainterPath pencil;
        pencil.moveTo(3, 2);
        pencil.lineTo(9, 5);
        pencil.lineTo(26, 22);
        pencil.lineTo(22, 26);
        pencil.lineTo(5, 9);
        pencil.closeSubpath();
        outlined(p, pencil);
    });
}

// A marker pin: round head up right, stem down to its tip at (1, 34).
QImage markerPin(const QColor& colour)
{
    QImage image(22, 35, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 40, 40), 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(1.5, 34.5), QPointF(13.5, 9.5));
    p.setPen(QPen(colour.darker(170), 1.2));
    QRadialGradient shine(QPointF(12.5, 6.0), 9.0);
    shine.setColorAt(0.0, colour.lighter(160));
    shine.setColorAt(1.0, colour);
    p.setBrush(shine);
    p.drawEllipse(QPointF(14.5, 7.5), 6.6, 6.6);
    p.end();
    // The tip pixel is the marked point: fully opaque whatever the line's smoothing gave.
    image.setPixel(1, 34, qRgba(40, 40, 40, 255));
    return image;
}

void writeMarkers()
{
    const QColor colours[] = {QColor(245, 140, 20), QColor(30, 110, 230), QColor(40, 170, 60)};
    QByteArray xml("<markers>\r\n");
    for (int i = 0; i < 3; ++i) {
        const QString file = QStringLiteral("marker%1.bmp").arg(i + 1);
        writeFile(file, ResourceWriters::alphaBitmapFile(markerPin(colours[i])));
        xml += QStringLiteral(" <marker id=\"%1\" file-name=\":/res/res/%2\" hot-point-x=\"1\" hot-point-y=\"34\" />\r\n")
                   .arg(i)
                   .arg(file)
                   .toLatin1();
    }
    xml += "</markers>";
    writeFile("markers.xml", xml);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: vl_resgen <output folder>\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);  // PNG writing and painting need no screen
    g_dir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(g_dir)) {
        std::fprintf(stderr, "vl_resgen: cannot create %s\n", argv[1]);
        return 1;
    }
    writeIcons();
    writeCursors();
    writeMarkers();
    return g_ok ? 0 : 1;
}
