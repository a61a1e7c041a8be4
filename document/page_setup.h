// The print layout record and the one question the print settings ask of the document:
// how many pages a layout needs on a printer. Lengths are integers in setup units,
// 1/10 mm (metric) or 1/1000 inch, chosen by unitsInch; PrintSite::setUnits converts them.
#pragma once

#include <cstdint>

class QPrinter;

namespace Printing {

struct PageSetup {
    int32_t numPages = 1;         // requested pages in mode 0, always >= 1
    int32_t mode = 0;             // 0 fit to numPages pages, 1 manual print size
    bool unitsInch = true;        // false: 1/10 mm, true: 1/1000 in
    bool wholePaper = false;      // never set; the layout uses the printable page
    int32_t printWidth = 0;       // setup units; 0 = derived by the page count
    int32_t printHeight = 0;      // setup units; 0 = derived by the page count
    bool keepProportions = true;  // width and height follow the panorama's aspect
    int32_t imageWidth = 1;       // pixels, the aspect reference
    int32_t imageHeight = 1;      // pixels
    int32_t marginLeft = 0;       // setup units, inside the printable page
    int32_t marginTop = 0;
    int32_t marginRight = 0;
    int32_t marginBottom = 0;
    bool overlapOn = false;       // neighbouring pages overlap
    int32_t overlap = 0;          // setup units as entered; paging uses half of it
    bool overlapMarks = true;     // dotted marks in the overlap strip
};

// The page count of the panorama, asked by the print settings (implemented by the
// document). May write the panorama's size and a derived print size into the setup.
class IDocumentPrinting {
public:
    virtual int calcMaxPage(QPrinter* printer, PageSetup* setup) = 0;

protected:
    ~IDocumentPrinting() = default;
};

}  // namespace Printing
