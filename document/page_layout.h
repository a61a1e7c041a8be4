// The printed-page geometry of a panorama laid out over several sheets, and the painting
// of one sheet. The geometry is pure: printer facts, a page setup and the panorama's size
// in, rectangles and overlap marks out, so it can be checked without a printer. Lengths in
// the setup are setup units (1/10 mm or 1/1000 in); everything else here is in printer
// device pixels, with (0, 0) at the top-left corner of the printable page, except source
// rectangles, which are in panorama pixels. Horizontal printing runs the panorama across
// the sheets from left to right; vertical printing is its exact mirror (x and y exchanged)
// and is computed as the horizontal case of the transposed problem. UI thread only.
// A PrintJob holds the panorama's pixels for the whole job, fetched once by its maker.
#pragma once

#include <cstdint>

#include <QImage>
#include <QLine>
#include <QPoint>
#include <QRect>

#include "document/page_setup.h"

class QPainter;
class QPrinter;

namespace Printing {

// More pages than anyone glues together; also keeps every page product far from overflow.
constexpr int kMaxPages = 999;

// What the layout needs to know of a printer.
struct PrinterPage {
    int resolution = 0;  // dots per inch; 0 or less: no usable printer, nothing is laid out
    int width = 0;       // printable page (QPrinter::pageRect), device pixels
    int height = 0;
    int lastPage = 0;    // last page of the printer's range; 0: no range set
};

// Reads resolution, printable page and range end from a printer.
PrinterPage printerPage(const QPrinter& printer);

// Setup units to device pixels, rounded to nearest.
std::int64_t toDevicePixels(std::int64_t value, bool unitsInch, int resolution) noexcept;

// Pages the setup needs for a panorama of imageWidth x imageHeight pixels, 1..kMaxPages.
// Stores the panorama's size in the setup and, when the print width or height is 0, the
// print size derived from the page length along the printing direction. A bad printer
// (resolution <= 0) or an empty panorama gives 1 and leaves the setup untouched.
int calcMaxPage(const PrinterPage& printer, PageSetup& setup, int imageWidth, int imageHeight,
                bool horizontal);

// One dotted matching mark: two ticks just outside the printed area at the inner edge of
// the overlap strip, and the number of the page it matches.
struct OverlapMark {
    bool on = false;
    QLine ticks[2];
    int label = 0;
    QPoint labelAt;          // baseline start of the label before the shifts below
    bool labelLeft = false;  // the label ends at labelAt.x (shifted left by its width)
    bool labelBelow = false; // the baseline lies one label height below labelAt.y
};

// The geometry of one printed sheet.
struct PageGeometry {
    bool blank = true;  // nothing is drawn on this sheet
    QRect target;       // device pixels; the panorama's slice lands here
    QRect source;       // panorama pixels, inside the panorama
    int overlap = 0;    // pixels shared with a neighbouring sheet (half the entered overlap)
    int pageCount = 0;  // pages the marks count with
    OverlapMark red;    // "this page continues on page n + 1": not on the last page
    OverlapMark black;  // "page n - 1 ends here": not on page 1
};

// The sheet of page (1-based) for a panorama of imageWidth x imageHeight pixels.
PageGeometry layoutPage(int page, const PrinterPage& printer, const PageSetup& setup,
                        int imageWidth, int imageHeight, bool horizontal);

// Paints one sheet's slice of the panorama and its marks with the painter's current font.
// The painter's state is saved and restored.
void paintPage(QPainter& painter, const PageGeometry& geometry, const QImage& panorama);

// One print job: the panorama's pixels held for every page of the job, so a full-size
// result is fetched (and, for a shared store, copied) once rather than once per page.
// A default job has no pixels and prints blank pages.
class PrintJob {
public:
    PrintJob() = default;
    PrintJob(QImage panorama, bool horizontal);

    bool printable() const noexcept { return !m_panorama.isNull(); }
    bool horizontal() const noexcept { return m_horizontal; }
    const QImage& panorama() const noexcept { return m_panorama; }

    // Lays out and paints page (1-based) on a painter active on the printer.
    void printPage(int page, QPainter& painter, const PrinterPage& printer,
                   const PageSetup& setup) const;

private:
    QImage m_panorama;
    bool m_horizontal = true;
};

}  // namespace Printing
