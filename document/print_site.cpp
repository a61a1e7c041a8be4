// The print settings model: parsing and clamping of the panel's lengths in setup units,
// the print range, and the printer object with its paper size in setup units. Products
// of lengths and panorama sizes are doubles clamped before any integer conversion, so
// a huge panorama or a long print never wraps. UI thread only.
#include "document/print_site.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QPageSetupDialog>
#include <QPrinter>
#include <QTextStream>

#include "document/engine_host.h"
#include "document/page_layout.h"

namespace Printing {

bool enablePrinting = false;

namespace {

constexpr double kCapCm = 784.0;    // a typed length above it is taken as it
constexpr double kCapInch = 2000.0;
constexpr int kLowestMetric = 10;   // 1 mm
constexpr int kLowestInch = 100;    // 0.1 in

// The characters of text that belong to a number of the given kind.
QString copy_symbols(const QString& text, bool withPoint)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text)
        if ((c >= u'0' && c <= u'9') || (withPoint && c == u'.'))
            out.append(c);
    return out;
}

double to_Double(const QString& text, bool* ok)
{
    return copy_symbols(text, true).toDouble(ok);
}

// Rounds a non-negative real half up into a setup length; huge values stop at int range.
int toLength(double v)
{
    constexpr double lim = std::numeric_limits<int32_t>::max();
    return static_cast<int>(std::floor(std::clamp(v + 0.5, 0.0, lim)));
}

// v * num / den in double, for the aspect-bound partner of a print size.
int proportional(int v, int num, int den)
{
    return toLength(double(v) * std::max(num, 1) / std::max(den, 1));
}

}  // namespace

int to_UInt(const QString& text, bool* ok)
{
    bool good = false;
    const int v = copy_symbols(text, false).toInt(&good, 10);
    if (ok)
        *ok = good;
    return good ? v : 0;
}

PrintSite::PrintSite()
    : m_printerInfo(QPrinterInfo::defaultPrinter()),
      m_printer(std::make_unique<QPrinter>(m_printerInfo, QPrinter::HighResolution))
{
    setLogicalPageSize(m_printer.get());
}

PrintSite::~PrintSite() = default;

QPrinterInfo PrintSite::getDefaultPrinter() const { return QPrinterInfo::defaultPrinter(); }

void PrintSite::enumPrinters(QList<QPrinterInfo>& out) const
{
    out = QPrinterInfo::availablePrinters();
}

bool PrintSite::selectPrinterByName(const QString& name)
{
    if (m_printerInfo.printerName() == name)
        return true;
    const QList<QPrinterInfo> printers = QPrinterInfo::availablePrinters();
    const auto it = std::find_if(printers.begin(), printers.end(),
                                 [&](const QPrinterInfo& p) { return p.printerName() == name; });
    if (it == printers.end())
        return false;
    m_printerInfo = *it;
    m_printer.reset();
    WaitCursor busy;
    m_printer = std::make_unique<QPrinter>(m_printerInfo, QPrinter::HighResolution);
    setLogicalPageSize(m_printer.get());
    return true;
}

bool PrintSite::validPrinter() const
{
    return m_printer && m_printer->isValid() && !m_printerInfo.isNull() && m_resolution > 0;
}

bool PrintSite::openPrinterOptions(QWidget* parent)
{
    if (!validPrinter())
        return false;
    bool accepted = false;
    if (m_pageSetupDialog) {
        accepted = m_pageSetupDialog(*m_printer, parent);
    } else {
        QPageSetupDialog dialog(m_printer.get(), parent);
        accepted = dialog.exec() == QDialog::Accepted;
    }
    if (!accepted)
        return false;
    setLogicalPageSize(m_printer.get());  // the paper or its orientation may have changed
    m_pageFrom = 1;
    m_pageTo = pageCount();
    return true;
}

QString PrintSite::getPrinterInfo() const
{
    if (!m_printer)
        return QString();
    const bool portrait = m_printer->pageLayout().orientation() == QPageLayout::Portrait;
    const bool colour = m_printer->colorMode() == QPrinter::Color;
    return QStringLiteral("Orientation: ") + (portrait ? "Portrait" : "Landscape") +
           QStringLiteral("\nMode: ") + (colour ? "Color" : "GrayScale") +
           QStringLiteral("\nPaper: ") + printPaperSize(m_printer.get()) +
           QStringLiteral("\nResolution: ") + QString::number(m_printer->resolution());
}

QString PrintSite::printPaperSize(const QPrinter* printer) const
{
    if (!printer)
        return QString();
    struct Name {
        QPageSize::PageSizeId id;
        const char* metric;
        const char* inch;  // null: the metric text
    };
    static const Name names[] = {
        {QPageSize::A4, "A4 210 x 297 mm", "A4 8.26 x 11.69 in"},
        {QPageSize::B5, "B5 182 x 257 mm", "B5 7.17 x 10.13 in"},
        {QPageSize::Letter, "Letter 216 x 279 mm", "Letter 8.5 x 11 in"},
        {QPageSize::Legal, "Legal 216 x 356 mm", "Legal 8.5 x 14 in"},
        {QPageSize::Executive, "Executive 191 x 254 mm", "Executive 7.5 x 10 in"},
        {QPageSize::A0, "A0 841 x 1189 mm", nullptr},
        {QPageSize::A1, "A1 594 x 841 mm", nullptr},
        {QPageSize::A2, "A2 420 x 594 mm", nullptr},
        {QPageSize::A3, "A3 297 x 420 mm", nullptr},
        {QPageSize::A5, "A5 148 x 210 mm", nullptr},
        {QPageSize::A6, "A6 105 x 148 mm", nullptr},
        {QPageSize::A7, "A7 74 x 105 mm", nullptr},
        {QPageSize::A8, "A8 52 x 74 mm", nullptr},
        {QPageSize::A9, "A9 37 x 52 mm", nullptr},
        {QPageSize::B0, "B0 1030 x 1456 mm", nullptr},
        {QPageSize::B1, "B1 728 x 1030 mm", nullptr},
        {QPageSize::B10, "B10 32 x 45 mm", nullptr},
        {QPageSize::B2, "B2 515 x 728 mm", nullptr},
        {QPageSize::B3, "B3 364 x 515 mm", nullptr},
        {QPageSize::B4, "B4 257 x 364 mm", nullptr},
        {QPageSize::B6, "B6 128 x 182 mm", nullptr},
        {QPageSize::B7, "B7 91 x 128 mm", nullptr},
        {QPageSize::B8, "B8 64 x 91 mm", nullptr},
        {QPageSize::B9, "B9 45 x 64 mm", nullptr},
        {QPageSize::C5E, "C5E 163 x 229 mm", nullptr},
        {QPageSize::Comm10E, "U.S. Common 10 Envelope, 105 x 241 mm", nullptr},
        {QPageSize::DLE, "DLE 110 x 220 mm", nullptr},
        {QPageSize::Folio, "Folio 210 x 330 mm", nullptr},
        {QPageSize::Ledger, "Ledger 432 x 279 mm", nullptr},
        {QPageSize::Tabloid, "Tabloid 279 x 432 mm", nullptr},
    };
    const bool inch = m_setup.unitsInch;
    const QPageSize::PageSizeId id = printer->pageLayout().pageSize().id();
    for (const Name& n : names)
        if (n.id == id)
            return QString::fromLatin1(inch && n.inch ? n.inch : n.metric);

    // Two significant digits in the stream's default notation: 210 mm reads 2.1e+02.
    const QSizeF size = printer->pageLayout().fullRect(inch ? QPageLayout::Inch
                                                            : QPageLayout::Millimeter).size();
    QString text;
    QTextStream out(&text);
    out.setRealNumberPrecision(2);
    out << "Custom " << size.width() << " x " << size.height() << (inch ? " in" : " mm");
    out.flush();
    return text;
}

void PrintSite::setLogicalPageSize(const QPrinter* printer)
{
    if (!printer)
        return;
    m_paperUnitsInch = m_setup.unitsInch;
    m_resolution = printer->resolution();
    if (m_resolution <= 0) {  // no sizes can be derived: the printer is refused
        m_resolution = 0;
        m_paperWidth = m_paperHeight = 0;
        return;
    }
    const QSizeF paper = printer->paperRect(QPrinter::DevicePixel).size();
    const int64_t w = int64_t(paper.width() + 0.5), h = int64_t(paper.height() + 0.5);
    const int64_t k = m_paperUnitsInch ? 1000 : 254;
    const int64_t half = (m_resolution + 1) / 2;
    m_paperWidth = int((w * k + half) / m_resolution);
    m_paperHeight = int((h * k + half) / m_resolution);
}

void PrintSite::refreshPaperUnits()
{
    if (m_paperUnitsInch != m_setup.unitsInch)
        setLogicalPageSize(m_printer.get());
}

void PrintSite::setUnits(bool inch)
{
    if (m_setup.unitsInch == inch)
        return;
    // 1/10 mm is 1000/254 thousandths of an inch. Each length is rounded to the step the
    // new unit shows (0.01 cm = 1, 0.01 in = 10), so one switched there and back comes
    // home within a step and the printed size stays.
    const double factor = inch ? 1000.0 / 254.0 : 254.0 / 1000.0;
    const double step = inch ? 10.0 : 1.0;
    for (int32_t PageSetup::*length : {&PageSetup::printWidth, &PageSetup::printHeight, &PageSetup::marginLeft,
                                       &PageSetup::marginTop, &PageSetup::marginRight, &PageSetup::marginBottom,
                                       &PageSetup::overlap})
        m_setup.*length = toLength(std::round(m_setup.*length * factor / step) * step);
    m_setup.unitsInch = inch;
    refreshPaperUnits();  // the paper is measured again from the printer, not converted
    setPrintRange(m_pageFrom, m_pageTo, true);
}

void PrintSite::pageSetup(const PageSetup& s)
{
    const bool changed = s.mode != m_setup.mode ||
                         (s.mode == 0 && s.numPages != m_setup.numPages) ||
                         (s.mode == 1 && (s.printWidth != m_setup.printWidth ||
                                          s.printHeight != m_setup.printHeight));
    m_setup = s;
    refreshPaperUnits();
    if (changed) {
        m_pageFrom = 1;
        m_pageTo = pageCount();
    }
}

int PrintSite::calcMaxPage(PageSetup* setup)
{
    if (!m_document || !setup)
        return 1;
    return std::clamp(m_document->calcMaxPage(m_printer.get(), setup), 1, kMaxPages);
}

int PrintSite::pageCount()
{
    return m_setup.mode == 0 ? m_setup.numPages : calcMaxPage(&m_setup);
}

QString PrintSite::printNumPages()
{
    return QString::number(pageCount()) + QStringLiteral(" pages");
}

int PrintSite::toInt(const QString& text, bool* ok) const
{
    bool good = false;
    double v = text.isEmpty() ? 0.0 : to_Double(text, &good);
    if (ok)
        *ok = good;
    if (!good)
        return 0;
    if (m_setup.unitsInch)
        return toLength(std::min(v, kCapInch) * 1000);
    return toLength(std::min(v, kCapCm) * 100);
}

QString PrintSite::printValue(int value) const
{
    const bool inch = m_setup.unitsInch;
    const QString number = value == 0 ? QString::number(0)
                                      : QString::asprintf("%.2f", value / (inch ? 1000.0 : 100.0));
    return number + (inch ? QStringLiteral("in") : QStringLiteral("cm"));
}

bool PrintSite::applyLength(int32_t PageSetup::*field, int value)
{
    if (m_setup.*field != value) {
        PageSetup s = m_setup;
        s.*field = value;
        pageSetup(s);
    }
    return true;
}

bool PrintSite::setMargingL(const QString& text)
{
    bool ok = false;
    int v = toInt(text, &ok);
    if (!ok)
        return false;
    refreshPaperUnits();
    v = std::min(v, m_paperWidth - m_setup.marginRight - 1);
    return applyLength(&PageSetup::marginLeft, v < 1 ? 0 : v);
}

bool PrintSite::setMargingR(const QString& text)
{
    bool ok = false;
    int v = toInt(text, &ok);
    if (!ok)
        return false;
    refreshPaperUnits();
    v = std::min(v, m_paperWidth - m_setup.marginLeft - 1);
    return applyLength(&PageSetup::marginRight, v < 1 ? 0 : v);
}

bool PrintSite::setMargingT(const QString& text)
{
    bool ok = false;
    int v = toInt(text, &ok);
    if (!ok)
        return false;
    refreshPaperUnits();
    v = std::min(v, m_paperHeight - m_setup.marginBottom - 1);
    return applyLength(&PageSetup::marginTop, v < 1 ? 0 : v);
}

bool PrintSite::setMargingB(const QString& text)
{
    bool ok = false;
    int v = toInt(text, &ok);
    if (!ok)
        return false;
    refreshPaperUnits();
    v = std::min(v, m_paperHeight - m_setup.marginTop - 1);
    return applyLength(&PageSetup::marginBottom, v < 1 ? 0 : v);
}

bool PrintSite::setOverlap(const QString& text, bool horizontal)
{
    bool ok = false;
    int v = toInt(text, &ok);
    if (!ok)
        return false;
    refreshPaperUnits();
    const int room = horizontal ? m_paperWidth - m_setup.marginLeft - m_setup.marginRight
                                : m_paperHeight - m_setup.marginTop - m_setup.marginBottom;
    v = std::min(v, room / 2);
    return applyLength(&PageSetup::overlap, v < 1 ? 0 : v);
}

int PrintSite::lowestSize() const { return m_setup.unitsInch ? kLowestInch : kLowestMetric; }
int PrintSite::largestSize() const { return m_setup.unitsInch ? iMAX_inch : iMAX_cm; }

// Bounds of a print width (isWidth) or height: its own maximum and, with the proportions
// kept, the maximum of the partner length the panorama's aspect ties to it.
int PrintSite::verifyPageSize(int size, bool isWidth, bool horizontal)
{
    refreshPaperUnits();
    const int absMax = largestSize(), lo = lowestSize();
    const int ownMax = isWidth ? (horizontal ? absMax : m_paperWidth)
                               : (horizontal ? m_paperHeight : absMax);
    const int crossMax = isWidth ? (horizontal ? m_paperHeight : absMax)
                                 : (horizontal ? absMax : m_paperWidth);
    int s = std::min(size, ownMax);
    if (s <= lo)
        s = lo;
    if (!m_setup.keepProportions)
        return std::min(s, ownMax);

    // The device resolution cancels out; it is kept so that rounding matches the printed
    // sizes. Without a resolution the plain ratio serves.
    const double r = m_resolution > 0 ? m_resolution : 1.0;
    const double k = m_setup.unitsInch ? 1000.0 : 254.0;
    const double iw = std::max(m_setup.imageWidth, 1), ih = std::max(m_setup.imageHeight, 1);
    const double num = isWidth ? ih : iw, den = isWidth ? iw : ih;  // own -> partner
    const int c = toLength(s * r / k * num / den * k / r);
    const int cc = std::max(std::min(c, crossMax), lo);
    if (cc == c)
        return s;
    const int t = toLength(cc * r / k * den / num * k / r);
    return std::max(std::min(t, ownMax), lo);
}

int PrintSite::verifyPageWidth(int width, bool horizontal)
{
    return verifyPageSize(width, true, horizontal);
}

int PrintSite::verifyPageHeight(int height, bool horizontal)
{
    return verifyPageSize(height, false, horizontal);
}

bool PrintSite::setPageWidth(const QString& text, bool horizontal)
{
    bool ok = false;
    const int v = toInt(text, &ok);
    if (!ok)
        return false;
    const int w = verifyPageWidth(v, horizontal);
    if (w != m_setup.printWidth) {
        PageSetup s = m_setup;
        s.printWidth = w;
        if (s.keepProportions)
            s.printHeight = proportional(w, s.imageHeight, s.imageWidth);
        pageSetup(s);
    }
    return true;
}

bool PrintSite::setPageHeight(const QString& text, bool horizontal)
{
    bool ok = false;
    const int v = toInt(text, &ok);
    if (!ok)
        return false;
    const int h = verifyPageHeight(v, horizontal);
    if (h != m_setup.printHeight) {
        PageSetup s = m_setup;
        s.printHeight = h;
        if (s.keepProportions)
            s.printWidth = proportional(h, s.imageWidth, s.imageHeight);
        pageSetup(s);
    }
    return true;
}

bool PrintSite::setNumPages(const QString& text)
{
    bool ok = false;
    const int n = to_UInt(text, &ok);
    if (!ok)
        return false;
    PageSetup s = m_setup;
    s.numPages = std::clamp(n, 1, kMaxPages);
    pageSetup(s);
    return true;
}

bool PrintSite::setKeepProportions(bool keep, bool horizontal)
{
    m_setup.keepProportions = keep;
    int w = m_setup.printWidth, h = m_setup.printHeight;
    if (keep) {
        if (horizontal) {
            h = verifyPageHeight(h, true);
            w = proportional(h, m_setup.imageWidth, m_setup.imageHeight);
        } else {
            w = verifyPageWidth(w, false);
            h = proportional(w, m_setup.imageHeight, m_setup.imageWidth);
        }
    }
    const bool changed = w != m_setup.printWidth || h != m_setup.printHeight;
    PageSetup s = m_setup;
    s.printWidth = w;
    s.printHeight = h;
    pageSetup(s);
    return changed;
}

bool PrintSite::setPrintRange(int from, int to, bool fromEdited)
{
    const int count = pageCount();
    from = std::min(from, count);
    if (from < 2) from = 1;
    to = std::min(to, count);
    if (to < 2) to = 1;
    if (from > to) {
        if (fromEdited)
            from = to;
        else
            to = from;
    }
    m_pageFrom = from;
    m_pageTo = to;
    return true;
}

bool PrintSite::setPrintRange(const QString& from, const QString& to, bool fromEdited)
{
    bool okFrom = false, okTo = false;
    const int f = to_UInt(from, &okFrom);
    const int t = to_UInt(to, &okTo);
    if (!okFrom || !okTo)
        return false;
    return setPrintRange(f, t, fromEdited);
}

QString PrintSite::printPageFrom() const { return QString::number(m_pageFrom); }
QString PrintSite::printPageTo() const { return QString::number(m_pageTo); }

}  // namespace Printing
