// Page geometry of a panorama printed over several sheets, and the painting of a sheet.
// All arithmetic on lengths is 64-bit; ratios that scale between panorama pixels and
// device pixels are doubles, clamped into int range before any conversion. The vertical
// case is the horizontal one on the transposed problem (see layoutPage). UI thread only.
#include "document/page_layout.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <QPainter>
#include <QPen>
#include <QPrinter>

namespace Printing {

namespace {

using i64 = std::int64_t;

constexpr i64 kMetricPerInch = 254;  // 1/10 mm per inch
constexpr i64 kInchUnits = 1000;     // 1/1000 in per inch
constexpr i64 kTickNearMm10 = 20;    // marks start 2 mm outside the printed area
constexpr i64 kTickFarMm10 = 50;     // ... and end 5 mm outside it

i64 unitsPerInch(bool inch) noexcept { return inch ? kInchUnits : kMetricPerInch; }

// Rounds half up into int range; a coordinate that far out is off the page anyway.
int roundToInt(double v) noexcept
{
    constexpr double lim = std::numeric_limits<int>::max() / 2;
    return static_cast<int>(std::floor(std::clamp(v + 0.5, -lim, lim)));
}

int clampToInt(i64 v) noexcept
{
    return static_cast<int>(std::clamp<i64>(v, std::numeric_limits<int>::min(),
                                            std::numeric_limits<int>::max()));
}

// The horizontal problem in device pixels; layoutPage transposes the vertical one into it.
struct Problem {
    i64 pageW = 0, pageH = 0;          // printable page
    i64 mL = 0, mT = 0, mR = 0, mB = 0; // margins, not yet clamped
    i64 ov = 0;                         // entered overlap, not yet clamped or halved
    i64 printW = 0, printH = 0;         // manual print size (mode 1)
    i64 imgW = 1, imgH = 1;             // panorama size along and across the direction
    int mode = 0;
    i64 count = 1;      // requested pages (mode 0)
    bool keep = true;   // mode 1: one scale for both axes
    bool tieToCross = true;  // mode 0: equal fit ratios pick the cross axis (height)
    int page = 1;
    i64 last = 1;       // the printer's last page
    bool marks = false; // marks wanted (overlapMarks and overlapOn)
    int resolution = 0;
};

PageGeometry layoutHorizontal(const Problem& p)
{
    PageGeometry g;
    const i64 pw = p.pageW, ph = p.pageH;
    i64 mL = std::min(p.mL, pw - 1);
    if (mL <= 0) mL = 0;
    i64 mT = std::min(p.mT, ph - 1);
    if (mT <= 0) mT = 0;
    i64 mR = std::min(p.mR, pw - mL - 1);
    if (mR <= 0) mR = 0;
    i64 mB = std::min(p.mB, ph - mT - 1);
    if (mB <= 0) mB = 0;
    i64 wd = pw - mL - mR;
    i64 ov = std::min(p.ov, wd) / 2;
    if (ov <= 0) ov = 0;
    i64 hd = ph - mT - mB;
    if (wd < 2) wd = 1;
    if (hd < 2) hd = 1;
    const i64 step = std::max<i64>(wd - ov, 1);

    const i64 x0 = step * (p.page - 1);  // the sheet's origin in the virtual printed strip
    i64 srcX, dstX, srcY, dstY, markCount;
    if (p.mode == 0) {
        const i64 sw = ov + step * p.count, sh = hd;
        const double hr = double(sh) / double(p.imgH), wr = double(sw) / double(p.imgW);
        const bool byHeight = p.tieToCross ? hr <= wr : hr < wr;
        srcX = srcY = byHeight ? p.imgH : p.imgW;
        dstX = dstY = byHeight ? sh : sw;
        const i64 printed = (dstX * p.imgW + (srcX + 1) / 2) / srcX;
        markCount = (printed - ov - 1 + step) / step;
        if (p.page > markCount)
            return g;
    } else {
        srcX = p.imgW;
        dstX = p.printW;
        srcY = p.keep ? srcX : p.imgH;
        dstY = p.keep ? dstX : p.printH;
        markCount = p.last;
    }
    if (dstX < 1 || dstY < 1)  // a print size under one pixel: nothing to scale to
        return g;

    // The sheet's area in panorama pixels, clipped to the panorama.
    const int srcLeft = std::max(roundToInt(double(x0) * srcX / dstX), 0);
    const int srcRight = int(std::min<i64>(roundToInt(double(x0 + wd) * srcX / dstX), p.imgW));
    const int srcBottom = int(std::min<i64>(roundToInt(double(hd) * srcY / dstY), p.imgH));
    if (srcLeft >= srcRight || srcBottom <= 0)
        return g;
    const QRect src(srcLeft, 0, srcRight - srcLeft, srcBottom);

    g.blank = false;
    g.source = src;
    g.target = QRect(int(mL), int(mT), roundToInt(double(src.width()) * dstX / srcX),
                     roundToInt(double(src.height()) * dstY / srcY));
    g.overlap = int(ov);
    g.pageCount = clampToInt(markCount);

    if (!p.marks || markCount < 2 || ov == 0)
        return g;
    const int a = int((p.resolution * kTickNearMm10 + 127) / kMetricPerInch);
    const int b = int((p.resolution * kTickFarMm10 + 127) / kMetricPerInch);
    const QRect& r = g.target;
    const int right = r.x() + r.width(), bottom = r.y() + r.height();  // exclusive edges
    const int xL = r.x() + g.overlap, xR = right - g.overlap;
    auto ticksAt = [&](OverlapMark& m, int x) {
        m.on = true;
        m.ticks[0] = QLine(x, r.y() - a, x, r.y() - b);
        m.ticks[1] = QLine(x, bottom + a, x, bottom + b);
    };
    if (p.page < markCount) {
        ticksAt(g.red, xR);
        g.red.label = p.page;
        g.red.labelAt = QPoint(xR + a, bottom + a);
        g.red.labelBelow = true;
    }
    if (p.page > 1) {
        ticksAt(g.black, xL);
        g.black.label = p.page - 1;
        g.black.labelAt = QPoint(xL - a, bottom + a);
        g.black.labelLeft = g.black.labelBelow = true;
    }
    return g;
}

QRect transposed(const QRect& r) { return QRect(r.y(), r.x(), r.height(), r.width()); }
QLine transposed(const QLine& l) { return QLine(l.y1(), l.x1(), l.y2(), l.x2()); }

}  // namespace

PrinterPage printerPage(const QPrinter& printer)
{
    const QRectF page = printer.pageRect(QPrinter::DevicePixel);
    return {printer.resolution(), roundToInt(page.width()), roundToInt(page.height()),
            printer.toPage()};
}

std::int64_t toDevicePixels(std::int64_t value, bool unitsInch, int resolution) noexcept
{
    const i64 k = unitsPerInch(unitsInch);
    return (value * resolution + k / 2) / k;
}

int calcMaxPage(const PrinterPage& printer, PageSetup& setup, int imageWidth, int imageHeight,
                bool horizontal)
{
    const int res = printer.resolution;
    if (res <= 0 || imageWidth <= 0 || imageHeight <= 0)
        return 1;
    setup.imageWidth = imageWidth;
    setup.imageHeight = imageHeight;

    const bool inch = setup.unitsInch;
    const i64 k = unitsPerInch(inch);
    // Along the printing direction: page length, margins, print length and panorama size.
    const i64 len = horizontal ? printer.width : printer.height;
    const i64 imgAlong = horizontal ? imageWidth : imageHeight;
    const i64 imgAcross = horizontal ? imageHeight : imageWidth;
    int32_t& printAlong = horizontal ? setup.printWidth : setup.printHeight;
    int32_t& printAcross = horizontal ? setup.printHeight : setup.printWidth;
    i64 m1 = toDevicePixels(horizontal ? setup.marginLeft : setup.marginTop, inch, res);
    i64 m2 = toDevicePixels(horizontal ? setup.marginRight : setup.marginBottom, inch, res);
    i64 ov = setup.overlapOn ? toDevicePixels(setup.overlap, inch, res) : 0;

    m1 = std::min(m1, len - 1);
    if (m1 <= 0) m1 = 0;
    m2 = std::min(m2, len - m1 - 1);
    if (m2 <= 0) m2 = 0;
    ov = std::min(ov, len - m1 - m2) / 2;
    if (ov <= 0) ov = 0;
    i64 step = len - m1 - m2 - ov;
    if (step < 2) step = 1;

    if (setup.printWidth == 0 || setup.printHeight == 0) {
        const i64 along = (len * k + (res + 1) / 2) / res;
        const i64 across = (len * imgAcross * k + (imgAlong * res + 1) / 2) / (imgAlong * res);
        printAlong = int32_t(std::clamp<i64>(along, 0, std::numeric_limits<int32_t>::max()));
        printAcross = int32_t(std::clamp<i64>(across, 0, std::numeric_limits<int32_t>::max()));
    }
    i64 printed = toDevicePixels(printAlong, inch, res);
    if (ov != 0)
        printed -= ov;
    i64 pages = (printed - 1 + step) / step;
    if (pages < 2) pages = 1;
    return int(std::min<i64>(pages, kMaxPages));
}

PageGeometry layoutPage(int page, const PrinterPage& printer, const PageSetup& setup,
                        int imageWidth, int imageHeight, bool horizontal)
{
    const int res = printer.resolution;
    if (res <= 0 || imageWidth <= 0 || imageHeight <= 0 || page < 1)
        return {};
    // Manual size: the page count refreshes a missing print size, as it does for the panel.
    PageSetup s = setup;
    const int counted = s.mode == 1 ? calcMaxPage(printer, s, imageWidth, imageHeight, horizontal)
                                    : std::clamp(s.numPages, 1, kMaxPages);
    const i64 last = printer.lastPage > 0 ? printer.lastPage : counted;
    if (page > last)
        return {};

    const bool inch = s.unitsInch;
    auto px = [&](int32_t v) { return toDevicePixels(v, inch, res); };
    Problem p;
    p.mode = s.mode;
    p.count = std::clamp(s.numPages, 1, kMaxPages);
    p.keep = s.keepProportions;
    p.page = page;
    p.last = last;
    p.marks = s.overlapMarks && s.overlapOn;
    p.resolution = res;
    p.ov = s.overlapOn ? px(s.overlap) : 0;
    if (horizontal) {
        p.pageW = printer.width, p.pageH = printer.height;
        p.mL = px(s.marginLeft), p.mT = px(s.marginTop);
        p.mR = px(s.marginRight), p.mB = px(s.marginBottom);
        p.printW = px(s.printWidth), p.printH = px(s.printHeight);
        p.imgW = imageWidth, p.imgH = imageHeight;
        return layoutHorizontal(p);
    }
    // Vertical printing is horizontal printing of the transposed page and panorama. The
    // fit test keeps its height-first tie in the panorama's own axes.
    p.pageW = printer.height, p.pageH = printer.width;
    p.mL = px(s.marginTop), p.mT = px(s.marginLeft);
    p.mR = px(s.marginBottom), p.mB = px(s.marginRight);
    p.printW = px(s.printHeight), p.printH = px(s.printWidth);
    p.imgW = imageHeight, p.imgH = imageWidth;
    p.tieToCross = false;
    PageGeometry g = layoutHorizontal(p);
    if (g.blank)
        return g;
    g.target = transposed(g.target);
    g.source = transposed(g.source);
    // Labels keep reading left to right: both stand right of the sheet, the red one below
    // its ticks, the black one above them.
    const int a = int((res * kTickNearMm10 + 127) / kMetricPerInch);
    const int right = g.target.x() + g.target.width();
    const int yT = g.target.y() + g.overlap, yB = g.target.y() + g.target.height() - g.overlap;
    for (OverlapMark* m : {&g.red, &g.black}) {
        for (QLine& t : m->ticks)
            t = transposed(t);
        m->labelLeft = false;
    }
    g.red.labelAt = QPoint(right + a, yB + a);
    g.red.labelBelow = true;
    g.black.labelAt = QPoint(right + a, yT - a);
    g.black.labelBelow = false;
    return g;
}

void paintPage(QPainter& painter, const PageGeometry& g, const QImage& panorama)
{
    if (g.blank || panorama.isNull())
        return;
    painter.save();
    painter.drawImage(g.target, panorama, g.source);
    painter.setBackgroundMode(Qt::TransparentMode);
    auto draw = [&](const OverlapMark& m, const QColor& colour) {
        if (!m.on)
            return;
        QPen pen(colour);
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        painter.drawLines(m.ticks, 2);
        const QString label = QStringLiteral("%1").arg(m.label);
        const QRect box = painter.boundingRect(QRect(), Qt::AlignLeft | Qt::AlignVCenter, label);
        painter.drawText(m.labelAt.x() - (m.labelLeft ? box.width() : 0),
                         m.labelAt.y() + (m.labelBelow ? box.height() : 0), label);
    };
    draw(g.red, QColor(255, 0, 0));
    draw(g.black, QColor(0, 0, 0));
    painter.restore();
}

PrintJob::PrintJob(QImage panorama, bool horizontal)
    : m_panorama(std::move(panorama)), m_horizontal(horizontal)
{
}

void PrintJob::printPage(int page, QPainter& painter, const PrinterPage& printer,
                         const PageSetup& setup) const
{
    if (!printable())
        return;
    paintPage(painter,
              layoutPage(page, printer, setup, m_panorama.width(), m_panorama.height(), m_horizontal),
              m_panorama);
}

}  // namespace Printing
