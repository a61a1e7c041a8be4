// The Export panel of the main window: the printer choice, the page-setup fields and how
// each one edits the print site, the refresh of the whole panel, the print loop behind a
// progress dialog, print preview, the printer's page setup dialog, saving the rendered
// result to an image file, and the preferences that feed the panel and the save.
//
// Lengths in the fields are texts in cm or in; the print site stores them in setup units
// (1/10 mm or 1/1000 in) and the printed pages are laid out in the printer's device
// pixels. m_pageSetupUpdating keeps the texts the panel writes from feeding back into
// the print site: 1 during a whole-panel refresh, 2 or 3 while the width or the height
// is applied; the width and height handlers act only at 0.
//
// Everything runs on the GUI thread; modal dialogs and message boxes go through
// Desktop::desktop(). The window owns the print site and the document.
#include "app/main_window.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QPainter>
#include <QPrinter>
#include <QProgressDialog>
#include <QSignalBlocker>
#include <QTimer>

#include "app/desktop_seam.h"
#include "app/dlg_preferences.h"
#include "app/progress_dialog.h"
#include "document/page_layout.h"
#include "ui_main_window.h"

namespace {

// Sets a field only when its text changes; a long length stays readable from its start.
void rewrite(QLineEdit* field, const QString& text, bool leftAligned = false)
{
    if (field->text() == text)
        return;
    field->setText(text);
    if (leftAligned)
        field->setCursorPosition(0);
}

// Marks the panel busy for a scope, so the fields it writes do not feed back.
class PanelUpdate {
public:
    PanelUpdate(int& marker, int value) : m_marker(marker) { m_marker = value; }
    ~PanelUpdate() { m_marker = 0; }
    PanelUpdate(const PanelUpdate&) = delete;
    PanelUpdate& operator=(const PanelUpdate&) = delete;

private:
    int& m_marker;
};

}  // namespace

// ---- Printer choice and the panel's refresh -------------------------------------------

void MainWindow::initPrintingDialog()
{
    WaitCursor busy;
    Desktop::IDesktop& desk = Desktop::desktop();
    const QStringList names = desk.printerNames();
    const int current = std::max<int>(0, names.indexOf(desk.defaultPrinterName()));
    {
        const QSignalBlocker quiet(ui->cmbPrinter);
        ui->cmbPrinter->clear();
        ui->cmbPrinter->addItems(names);
        ui->cmbPrinter->setCurrentIndex(current);
    }
    if (!names.isEmpty())
        m_printSite.selectPrinterByName(names.at(current));
    ui->printerInfo->setPlainText(m_printSite.getPrinterInfo());
    updatePageSetupDialog();
}

void MainWindow::on_cmbPrinter_currentIndexChanged(int index)
{
    m_printSite.selectPrinterByName(ui->cmbPrinter->itemText(index));
    ui->printerInfo->setPlainText(m_printSite.getPrinterInfo());
    updatePageSetupDialog();
}

void MainWindow::updatePageSetupDialog()
{
    PanelUpdate updating(m_pageSetupUpdating, 1);
    Printing::enablePrinting = m_doc.enableBtnSave();
    const bool on = Printing::enablePrinting;

    const bool horizontal = m_doc.horizontalPrint();
    if (horizontal != fOldHorz) {
        fOldHorz = horizontal;
        Printing::PageSetup fresh = m_printSite.getPageSetup();
        fresh.printWidth = 0;  // derived again along the new direction
        fresh.printHeight = 0;
        m_printSite.pageSetup(fresh);
    }
    m_printSite.calcMaxPage(&m_printSite.getPageSetup());  // stores the image and print size

    const Printing::PageSetup& s = m_printSite.getPageSetup();
    const bool fit = s.mode == 0;
    if (fit)
        rewrite(ui->numPages, m_printSite.printNumPages());
    ui->fitToPage->setChecked(fit);
    ui->numPages->setEnabled(fit && on);
    ui->manual->setChecked(!fit);
    for (QWidget* w : std::initializer_list<QWidget*>{ui->pageWidth, ui->pageHeight, ui->keepProportion})
        w->setEnabled(!fit && on);
    ui->keepProportion->setChecked(s.keepProportions);

    rewrite(ui->pageWidth, m_printSite.printValue(s.printWidth), true);
    rewrite(ui->pageHeight, m_printSite.printValue(s.printHeight));
    rewrite(ui->marginsTop, m_printSite.printValue(s.marginTop));
    rewrite(ui->marginsLeft, m_printSite.printValue(s.marginLeft));
    rewrite(ui->marginsRight, m_printSite.printValue(s.marginRight));
    rewrite(ui->marginsBottom, m_printSite.printValue(s.marginBottom));
    ui->chOverlap->setChecked(s.overlapOn);
    rewrite(ui->overlap, m_printSite.printValue(s.overlap));
    ui->overlap->setEnabled(s.overlapOn && on);

    updatePrintRange(true);

    for (QWidget* w : std::initializer_list<QWidget*>{
             ui->btnPrint, ui->btnExportPrintPreview, ui->btnPrintProps, ui->cmbPrinter, ui->fitToPage, ui->manual,
             ui->chOverlap, ui->marginsLeft, ui->marginsTop, ui->marginsRight, ui->marginsBottom, ui->pageFrom,
             ui->pageTo})
        w->setEnabled(on);
}

void MainWindow::UpdateExportDialog()
{
    ui->btnRender->setEnabled(m_doc.enableBtnRender());
    ui->btnExport->setEnabled(m_doc.enableBtnSave());
    ui->cmbExportCrop->setEnabled(m_doc.enableBtnRender());
    ui->cmbExportCrop->setCurrentIndex(m_doc.getCropFlag());
    updatePageSetupDialog();
}

void MainWindow::updatePrintRange(bool withCount)
{
    rewrite(ui->pageFrom, m_printSite.printPageFrom());
    rewrite(ui->pageTo, m_printSite.printPageTo());
    const bool range = m_printSite.pageFrom() < m_printSite.pageTo() && Printing::enablePrinting;
    ui->pageFrom->setEnabled(range);
    ui->pageTo->setEnabled(range);
    if (withCount && m_printSite.getPageSetup().mode == 1)
        rewrite(ui->numPages, m_printSite.printNumPages());
}

// ---- Page-setup fields ----------------------------------------------------------------

void MainWindow::on_numPages_editingFinished()
{
    if (!ui->numPages->isEnabled())
        return;
    m_printSite.setNumPages(ui->numPages->text());
    rewrite(ui->numPages, m_printSite.printNumPages());
    updatePrintRange(false);
}

void MainWindow::on_fitToPage_clicked(bool checked)
{
    if (!checked || m_printSite.getPageSetup().mode == 0)
        return;
    Printing::PageSetup s = m_printSite.getPageSetup();
    s.mode = 0;
    m_printSite.pageSetup(s);
    ui->numPages->setEnabled(Printing::enablePrinting);
    ui->pageWidth->setEnabled(false);
    ui->pageHeight->setEnabled(false);
    ui->keepProportion->setEnabled(false);
    rewrite(ui->numPages, m_printSite.printNumPages());
    updatePrintRange(false);
}

void MainWindow::on_manual_clicked(bool checked)
{
    if (!checked || m_printSite.getPageSetup().mode == 1)
        return;
    Printing::PageSetup s = m_printSite.getPageSetup();
    s.mode = 1;
    m_printSite.pageSetup(s);
    ui->numPages->setEnabled(false);
    ui->pageWidth->setEnabled(Printing::enablePrinting);
    ui->pageHeight->setEnabled(Printing::enablePrinting);
    ui->keepProportion->setEnabled(Printing::enablePrinting);
    rewrite(ui->numPages, m_printSite.printNumPages());  // now the computed count
    updatePrintRange(false);
}

void MainWindow::on_keepProportion_clicked(bool checked)
{
    if (!m_printSite.setKeepProportions(checked, m_doc.horizontalPrint()))
        return;
    PanelUpdate updating(m_pageSetupUpdating, 1);  // the rounded texts must not be read back
    const Printing::PageSetup& s = m_printSite.getPageSetup();
    rewrite(ui->pageWidth, m_printSite.printValue(s.printWidth), true);
    rewrite(ui->pageHeight, m_printSite.printValue(s.printHeight));
    updatePrintRange(true);
}

void MainWindow::on_pageWidth_textChanged(const QString&) { setPageWidth(false); }
void MainWindow::on_pageWidth_editingFinished() { setPageWidth(true); }
void MainWindow::on_pageHeight_textChanged(const QString&) { setPageHeight(false); }
void MainWindow::on_pageHeight_editingFinished() { setPageHeight(true); }

// While the user types, the stored size follows each keystroke and the field keeps the
// typed text; leaving the field shows the clamped value.
void MainWindow::setPageWidth(bool finished)
{
    if (m_pageSetupUpdating != 0)
        return;
    PanelUpdate updating(m_pageSetupUpdating, 2);
    m_printSite.setPageWidth(ui->pageWidth->text(), m_doc.horizontalPrint());
    const Printing::PageSetup& s = m_printSite.getPageSetup();
    if (finished)
        rewrite(ui->pageWidth, m_printSite.printValue(s.printWidth), true);
    if (s.keepProportions)
        rewrite(ui->pageHeight, m_printSite.printValue(s.printHeight));
    updatePrintRange(true);
}

void MainWindow::setPageHeight(bool finished)
{
    if (m_pageSetupUpdating != 0)
        return;
    PanelUpdate updating(m_pageSetupUpdating, 3);
    m_printSite.setPageHeight(ui->pageHeight->text(), m_doc.horizontalPrint());
    const Printing::PageSetup& s = m_printSite.getPageSetup();
    if (finished)
        rewrite(ui->pageHeight, m_printSite.printValue(s.printHeight));
    if (s.keepProportions)
        rewrite(ui->pageWidth, m_printSite.printValue(s.printWidth), true);
    updatePrintRange(true);
}

void MainWindow::on_overlap_editingFinished()
{
    m_printSite.setOverlap(ui->overlap->text(), m_doc.horizontalPrint());
    rewrite(ui->overlap, m_printSite.printValue(m_printSite.getPageSetup().overlap));
}

void MainWindow::on_chOverlap_clicked()
{
    const bool on = ui->chOverlap->isChecked();
    m_printSite.getPageSetup().overlapOn = on;  // no range reset
    ui->overlap->setEnabled(on && Printing::enablePrinting);
}

void MainWindow::setMargin(QLineEdit* field, bool (Printing::PrintSite::*set)(const QString&),
                           int32_t Printing::PageSetup::*margin)
{
    (m_printSite.*set)(field->text());
    rewrite(field, m_printSite.printValue(m_printSite.getPageSetup().*margin));
}

void MainWindow::on_marginsLeft_editingFinished()
{
    setMargin(ui->marginsLeft, &Printing::PrintSite::setMargingL, &Printing::PageSetup::marginLeft);
}

void MainWindow::on_marginsTop_editingFinished()
{
    setMargin(ui->marginsTop, &Printing::PrintSite::setMargingT, &Printing::PageSetup::marginTop);
}

void MainWindow::on_marginsRight_editingFinished()
{
    setMargin(ui->marginsRight, &Printing::PrintSite::setMargingR, &Printing::PageSetup::marginRight);
}

void MainWindow::on_marginsBottom_editingFinished()
{
    setMargin(ui->marginsBottom, &Printing::PrintSite::setMargingB, &Printing::PageSetup::marginBottom);
}

// A successful edit leaves both fields as typed; the print uses the stored, clamped range.
void MainWindow::on_pageFrom_editingFinished()
{
    if (!m_printSite.setPrintRange(ui->pageFrom->text(), ui->pageTo->text(), true))
        rewrite(ui->pageFrom, m_printSite.printPageFrom());
}

void MainWindow::on_pageTo_editingFinished()
{
    if (!m_printSite.setPrintRange(ui->pageFrom->text(), ui->pageTo->text(), false))
        rewrite(ui->pageTo, m_printSite.printPageTo());
}

// ---- Printing commands ----------------------------------------------------------------

bool MainWindow::renderForPrinting()
{
    if (!m_doc.enableBtnSave())
        m_doc.onBtnRender();
    return m_doc.enableBtnSave();
}

bool MainWindow::noValidPrinter()
{
    if (m_printSite.validPrinter())
        return false;
    Desktop::desktop().information(this, windowTitle(), tr("No valid printer found!"), QMessageBox::Ok,
                                   QMessageBox::NoButton);
    return true;
}

void MainWindow::on_btnPrint_pressed()
{
    if (renderForPrinting())
        printPanorama();
}

void MainWindow::on_action_Print_triggered() { printPanorama(); }

void MainWindow::printPanorama()
{
    if (!noValidPrinter())
        printDocument(m_printSite.printer());
}

void MainWindow::on_btnExportPrintPreview_clicked()
{
    if (renderForPrinting())
        printPreview();
}

void MainWindow::on_actionPrint_pre_view_triggered() { printPreview(); }

void MainWindow::printPreview()
{
    if (noValidPrinter())
        return;
    Desktop::desktop().printPreview(*m_printSite.printer(), this, [this](QPrinter* p) { printDocument(p); });
}

void MainWindow::on_btnPrintProps_clicked()
{
    if (noValidPrinter())
        return;
    if (m_printSite.openPrinterOptions(this)) {
        ui->printerInfo->setPlainText(m_printSite.getPrinterInfo());
        updatePageSetupDialog();
    }
}

void MainWindow::on_actionPrint_setup_triggered() { on_btnPrintProps_clicked(); }

void MainWindow::printDocument(QPrinter* printer)
{
    Desktop::IDesktop& desk = Desktop::desktop();
    if (!printer) {
        desk.information(this, windowTitle(), tr("No printer selected!"), QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    printer->setPrintRange(QPrinter::PageRange);
    printer->setFromTo(m_printSite.pageFrom(), m_printSite.pageTo());

    QProgressDialog progress(QStringLiteral("Preparing for printing..."), QStringLiteral("&Cancel"),
                             printer->fromPage() - 1, printer->toPage(), this);
    progress.setObjectName(QStringLiteral("printProgress"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setWindowTitle(QStringLiteral("Panorama"));
    progress.setAutoReset(false);
    progress.setAutoClose(false);

    QPainter painter;
    if (!painter.begin(printer)) {
        desk.warning(this, windowTitle(), tr("Printing could not be started."), QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    const Printing::PrintJob job = m_doc.printJob();  // the result's pixels, fetched once
    for (int page = printer->fromPage(); page <= printer->toPage(); ++page) {
        QCoreApplication::processEvents();
        // Checked before the next sheet is begun, so a cancel leaves no blank page.
        if (progress.wasCanceled())
            break;
        if (page != printer->fromPage() && !printer->newPage()) {
            desk.warning(this, windowTitle(), tr("Printing stopped after page %1.").arg(page - 1), QMessageBox::Ok,
                         QMessageBox::NoButton);
            break;
        }
        m_doc.printPage(job, page, &painter, printer, &m_printSite.getPageSetup());
        progress.setValue(page);
        emit pagePrinted(page);
    }
    painter.end();  // also after a cancel: the pages drawn so far are printed
}

// ---- Export to an image file ----------------------------------------------------------

QString MainWindow::forcedSaveName(const QString& name, const QString& filter)
{
    const qsizetype open = filter.lastIndexOf(QLatin1String("(*"));
    if (open < 0 || !filter.endsWith(QLatin1Char(')')))
        return name;
    const QString ext = filter.mid(open + 2, filter.size() - open - 3);  // ".jpg"
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const qsizetype slash = std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QDir::separator()));
    if (dot < 0 || dot < slash)  // a '.' in a folder's name is not the file's
        return name + ext;
    if (name.mid(dot).compare(ext, Qt::CaseInsensitive) == 0)
        return name;
    return (name.endsWith(QLatin1Char('.')) ? name.chopped(1) : name) + ext;
}

bool MainWindow::doSave(QString name)
{
    Desktop::IDesktop& desk = Desktop::desktop();
    if (name.isEmpty()) {
        // Start in the folder of the browser's tree, else at home: the file system's root
        // is no place a user may write to.
        QString folder = ui->treeView->currentIndex().data(QFileSystemModel::FilePathRole).toString();
        if (folder.isEmpty() || !QFileInfo(folder).isDir())
            folder = QDir::homePath();
        QString proposal = folder + tr("/panorama");
        const std::pair<QString, QString> types[] = {{tr("JPEG files"), tr(".jpg")},
                                                     {tr("TIFF files"), tr(".tif")},
                                                     {tr("PNG files"), tr(".png")},
                                                     {tr("Windows bitmap"), tr(".bmp")}};
        QStringList filters;
        for (const auto& [typeName, ext] : types)
            filters << typeName + QLatin1String(" (*") + ext + QLatin1Char(')');
        QString filter = tr("JPEG files (*.jpg)");
        for (;;) {
            const QString chosen =
                desk.getSaveFileName(this, tr("Save panorama"), proposal, filters.join(QLatin1Char('\n')), &filter);
            if (chosen.isEmpty())
                return false;
            qDebug() << filter << " Name:" << chosen;
            name = forcedSaveName(chosen, filter);
            if (m_doc.isSourcePhoto(name.toStdWString())) {
                // Also after the dialog's own "replace?": the panorama never takes a photo's place.
                desk.warning(this, windowTitle(),
                             tr("%1 is one of the panorama's photos.\nSaving there would replace the photo: "
                                "please choose another name.")
                                 .arg(QDir::toNativeSeparators(name)),
                             QMessageBox::Ok, QMessageBox::NoButton);
                proposal = QFileInfo(name).absolutePath() + tr("/panorama");
                continue;
            }
            // The dialog asked about the name typed; ask again about the one written.
            if (name == chosen || !QFileInfo::exists(name))
                break;
            const QString text = tr("%1 already exists.\nDo you want to replace it?").arg(QDir::toNativeSeparators(name));
            if (desk.question(this, windowTitle(), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
                QMessageBox::Yes)
                break;
            proposal = name;
        }
    }
    QString reason;
    const auto behindProgress = [&](const std::function<bool()>& write) { return writeBehindProgress(name, write); };
    if (m_doc.doPanoramaSave(name.toStdWString(), &reason, behindProgress))
        return true;
    desk.warning(this, windowTitle(), tr("The panorama could not be saved.\n%1").arg(reason), QMessageBox::Ok,
                 QMessageBox::NoButton);
    return false;
}

// A large panorama takes seconds to write (a PNG of 16000 x 1600 pixels about eight): the
// file is written on a worker while the window keeps painting, behind a progress dialog
// that names it. Input waits meanwhile: a half-written file cannot be cancelled.
bool MainWindow::writeBehindProgress(const QString& name, const std::function<bool()>& write)
{
    openProgress(false);
    m_progress->setLabelText(tr("Saving %1...").arg(QFileInfo(name).fileName()));
    m_progress->setRange(0, 0);
    bool written = false;
    std::atomic<bool> done = false;
    std::thread worker([&] {
        try {
            written = write();
        } catch (...) {  // out of memory while encoding: a failed save, not the end of the program
            written = false;
        }
        done = true;
    });
    // The window's own timer sees the end: nothing crosses from the worker into Qt.
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done)
            loop.quit();
    });
    poll.start(20);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    CloseProgressIndicator();
    return written;
}

void MainWindow::on_btnExport_clicked() { doSave(QString()); }

// ---- Preferences ----------------------------------------------------------------------

void MainWindow::on_actionPreferences_triggered()
{
    dlgPreferences dialog;
    dialog.set_options(m_unitsInch, m_printMarkers, m_doc.m_compressTiff, m_doc.m_jpegQuality);
    if (Desktop::desktop().execDialog(dialog) != QDialog::Accepted)
        return;  // Cancel changes nothing
    dialog.get_options(m_unitsInch, m_printMarkers, m_doc.m_compressTiff, m_doc.m_jpegQuality);
    m_printSite.setUnits(m_unitsInch);  // the stored lengths keep their printed size
    m_printSite.getPageSetup().overlapMarks = m_printMarkers;
    updatePageSetupDialog();
}
