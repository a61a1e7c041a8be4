// The print settings model behind the window's print panel: the chosen printer and the
// high-resolution QPrinter made for it (owned), the page setup, the print range and the
// conversion between the lengths the user types and setup units (1/10 mm or 1/1000 in,
// chosen by the setup's unitsInch). The paper size it keeps for clamping is in setup
// units of the unit in force: it is computed again whenever the unit changes, the printer
// changes or its page setup dialog is accepted. The page count comes from the document
// through IDocumentPrinting (not owned). Lives on the UI thread, owned by the window.
#pragma once

#include <functional>
#include <memory>

#include <QList>
#include <QPrinterInfo>
#include <QString>

#include "document/page_setup.h"

class QPrinter;
class QWidget;

namespace Printing {

// Whether the document holds a rendered panorama that may be printed; the window sets it
// and enables its print controls by it.
extern bool enablePrinting;

constexpr int iMAX_cm = 200000;  // largest print width or height, 1/10 mm (20 m)
constexpr int iMAX_inch = 78740; // largest print width or height, 1/1000 in

// Digits of the text as a page number (every other character dropped); ok false when
// nothing is left or the number overflows.
int to_UInt(const QString& text, bool* ok);

class PrintSite {
public:
    PrintSite();
    ~PrintSite();
    PrintSite(const PrintSite&) = delete;
    PrintSite& operator=(const PrintSite&) = delete;

    // Printer choice.
    QPrinterInfo getDefaultPrinter() const;
    void enumPrinters(QList<QPrinterInfo>& out) const;
    bool selectPrinterByName(const QString& name);
    // A printer object that can print to a real printer: with no printer installed Qt
    // still makes a valid PDF printer, which does not count.
    bool validPrinter() const;
    // The printer's page setup dialog, modal; accepted: paper size and range refreshed.
    bool openPrinterOptions(QWidget* parent);
    QString getPrinterInfo() const;
    QString printPaperSize(const QPrinter* printer) const;
    // Paper size and resolution of the printer in the setup's units.
    void setLogicalPageSize(const QPrinter* printer);

    // Runs the page setup dialog for a printer; answers whether it was accepted. Tests
    // and the window's modal seam replace the default, which shows QPageSetupDialog.
    using PageSetupDialog = std::function<bool(QPrinter& printer, QWidget* parent)>;
    void setPageSetupDialog(PageSetupDialog dialog) { m_pageSetupDialog = std::move(dialog); }

    QPrinter* printer() const { return m_printer.get(); }
    void setDocument(IDocumentPrinting* document) { m_document = document; }
    // Switches the setup to inch (true) or metric units: every stored length is converted,
    // so the printed size stays (no range reset).
    void setUnits(bool inch);
    // The stored setup. The window stores overlapOn and overlapMarks directly (no range
    // reset); a unit stored this way converts nothing and is noticed at the next clamp.
    const PageSetup& getPageSetup() const { return m_setup; }
    PageSetup& getPageSetup() { return m_setup; }
    int resolution() const { return m_resolution; }
    // Paper size in the setup's current units.
    int paperWidth() { refreshPaperUnits(); return m_paperWidth; }
    int paperHeight() { refreshPaperUnits(); return m_paperHeight; }

    // Page setup and page count.
    void pageSetup(const PageSetup& setup);
    int calcMaxPage(PageSetup* setup);
    QString printNumPages();

    // Setters fed by the panel's fields; false when the text is not a number.
    bool setMargingL(const QString& text);
    bool setMargingT(const QString& text);
    bool setMargingR(const QString& text);
    bool setMargingB(const QString& text);
    bool setOverlap(const QString& text, bool horizontal);
    bool setPageWidth(const QString& text, bool horizontal);
    bool setPageHeight(const QString& text, bool horizontal);
    bool setNumPages(const QString& text);
    bool setKeepProportions(bool keep, bool horizontal);
    int verifyPageWidth(int width, bool horizontal);
    int verifyPageHeight(int height, bool horizontal);
    // Typed length in cm or in -> setup units; 0 with ok false when not a number.
    int toInt(const QString& text, bool* ok) const;
    // Setup units -> "21.00cm", "8.27in", "0cm".
    QString printValue(int value) const;

    // Print range, 1-based and inclusive.
    bool setPrintRange(int from, int to, bool fromEdited);
    bool setPrintRange(const QString& from, const QString& to, bool fromEdited);
    QString printPageFrom() const;
    QString printPageTo() const;
    int pageFrom() const { return m_pageFrom; }
    int pageTo() const { return m_pageTo; }

private:
    int pageCount();
    int lowestSize() const;
    int largestSize() const;
    void refreshPaperUnits();
    int verifyPageSize(int size, bool along, bool horizontal);
    bool applyLength(int32_t PageSetup::*field, int value);

    QPrinterInfo m_printerInfo;
    PageSetup m_setup;
    std::unique_ptr<QPrinter> m_printer;
    int m_resolution = 0;
    int m_paperWidth = 0;
    int m_paperHeight = 0;
    bool m_paperUnitsInch = true;  // the unit m_paperWidth/m_paperHeight are in
    int m_pageFrom = 1;
    int m_pageTo = 1;
    IDocumentPrinting* m_document = nullptr;
    PageSetupDialog m_pageSetupDialog;
};

}  // namespace Printing
