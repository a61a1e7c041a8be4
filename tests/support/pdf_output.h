// The one kind of printer the tests print through: a QPrinter writing a PDF file (never a
// queue), and the pages of such a file read back as pixels through pdftoppm (Debian's
// poppler-utils, installed by scripts/install-deps).
#pragma once

#include <cstdlib>

#include <QImage>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPrinter>
#include <QStandardPaths>
#include <QString>

namespace vltest {

// Sends the printer's pages to `file`: A4 at `dpi` dots per inch, no page margins.
inline void printToPdf(QPrinter& printer, const QString& file, int dpi, QPageLayout::Orientation orientation)
{
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(file);
    printer.setResolution(dpi);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setPageOrientation(orientation);
    printer.setPageMargins(QMarginsF(0, 0, 0, 0));
}

inline QString pdftoppm() { return QStandardPaths::findExecutable(QStringLiteral("pdftoppm")); }

// Page `page` (1-based) of a PDF file rendered at `dpi`; a null image when it cannot be.
inline QImage renderPdfPage(const QString& pdf, int page, int dpi)
{
    const QString png = pdf + QStringLiteral("-page%1").arg(page);
    const QString cmd = QStringLiteral("%1 -f %2 -l %2 -r %3 -singlefile -png '%4' '%5'")
                            .arg(pdftoppm()).arg(page).arg(dpi).arg(pdf, png);
    if (pdftoppm().isEmpty() || std::system(cmd.toLocal8Bit().constData()) != 0)
        return QImage();
    return QImage(png + QStringLiteral(".png"));
}

}  // namespace vltest
