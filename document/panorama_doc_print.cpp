// The document's side of printing: page counts and printed pages of the rendered result,
// as thin wrappers over the page geometry of page_layout. Geometry is in the printer's
// device pixels; the result's pixels are fetched once per print job (for the tiled
// engine's shared store that is a deep copy) and held by the job. UI thread only.
#include <QPainter>
#include <QPrinter>

#include "document/page_layout.h"
#include "document/panorama_doc.h"

namespace {

const PanoramaLib::IPanoElement* printableImage(const PanoramaLib::IPanorama* engine)
{
    const PanoramaLib::IPanoElement* image = engine ? engine->GetPanoramaImage() : nullptr;
    return image && image->HasBits() ? image : nullptr;
}

// One sheet of the print job: its slice of the panorama and its overlap marks.
void paintSheet(const Printing::PrintJob& job, int page, QPainter* painter, QPrinter* printer,
                const Printing::PageSetup* setup, bool horizontal)
{
    if (!job.printable() || !painter || !printer || !setup)
        return;
    const QImage& image = job.panorama();
    Printing::paintPage(*painter,
                        Printing::layoutPage(page, Printing::printerPage(*printer), *setup,
                                             image.width(), image.height(), horizontal),
                        image);
}

}  // namespace

int PanoramaDoc::calcMaxPage(QPrinter* printer, Printing::PageSetup* setup)
{
    return m_horizontalPrint ? calcMaxPage_H(printer, setup) : calcMaxPage_V(printer, setup);
}

int PanoramaDoc::calcMaxPage_H(const QPrinter* printer, Printing::PageSetup* setup)
{
    const PanoramaLib::IPanoElement* image = printableImage(builtEngine());
    if (!image || !printer || !setup)
        return 1;
    return Printing::calcMaxPage(Printing::printerPage(*printer), *setup, image->GetWidth(),
                                 image->GetHeight(), true);
}

int PanoramaDoc::calcMaxPage_V(const QPrinter* printer, Printing::PageSetup* setup)
{
    const PanoramaLib::IPanoElement* image = printableImage(builtEngine());
    if (!image || !printer || !setup)
        return 1;
    return Printing::calcMaxPage(Printing::printerPage(*printer), *setup, image->GetWidth(),
                                 image->GetHeight(), false);
}

Printing::PrintJob PanoramaDoc::printJob() const
{
    if (!enableBtnSave())
        return {};
    PanoramaLib::IDib* dib = printableImage(builtEngine())->GetDib();
    auto* store = dib ? static_cast<PanoramaLib::QtDibImpl*>(dib->QueryObject(PanoramaLib::kQueryDibImpl)) : nullptr;
    if (!store)
        return {};
    return Printing::PrintJob(store->getImageObject(), m_horizontalPrint);
}

void PanoramaDoc::printPage(const Printing::PrintJob& job, int page, QPainter* painter,
                            QPrinter* printer, const Printing::PageSetup* setup)
{
    if (!painter)
        return;
    painter->save();
    if (m_horizontalPrint)
        printHorzPage(job, page, painter, printer, setup);
    else
        printVertPage(job, page, painter, printer, setup);
    painter->restore();
}

void PanoramaDoc::printHorzPage(const Printing::PrintJob& job, int page, QPainter* painter,
                                QPrinter* printer, const Printing::PageSetup* setup)
{
    if (enableBtnSave())
        paintSheet(job, page, painter, printer, setup, true);
}

void PanoramaDoc::printVertPage(const Printing::PrintJob& job, int page, QPainter* painter,
                                QPrinter* printer, const Printing::PageSetup* setup)
{
    if (enableBtnSave())
        paintSheet(job, page, painter, printer, setup, false);
}
