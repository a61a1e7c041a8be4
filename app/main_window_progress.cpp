// The main window as the user interface of the document and the engines: the one
// window-modal progress dialog of builds, renders and photo loads, the message boxes
// behind the document's message ids, photo highlights on the picture tray, the manual
// matching dialog, panel refresh requests, and the tray seen as the document's file list.
//
// Thread: GUI thread, called from inside builds that themselves run on it; only
// AsyncUpdatePanoramaView comes from the tiled engine's render thread and does nothing
// but emit a signal queued to the document. Texts cross from std::wstring to QString here.
#include <algorithm>

#include <QItemSelectionModel>
#include <QPointer>

#include "app/desktop_seam.h"
#include "app/horz_matching_dlg.h"
#include "app/main_window.h"
#include "app/panorama_view.h"
#include "app/progress_dialog.h"
#include "browser/file_list_model.h"
#include "browser/storyboard_list_view.h"
#include "ui_main_window.h"

namespace {

// Marks (on) or unmarks the tray rows; rows selected before stay as they were. Marking
// scrolls the last of them into view.
void selectTrayRows(QAbstractItemView* tray, const QModelIndexList& rows, bool on)
{
    QItemSelection selection;
    for (const QModelIndex& i : rows)
        selection.select(i, i);
    tray->selectionModel()->select(selection, on ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
    if (on && !rows.isEmpty())
        tray->scrollTo(rows.last(), QAbstractItemView::EnsureVisible);
}

// Appends each engine path to a list of the window's strings.
struct AddToListFunctor {
    QStringList& list;
    void operator()(const std::wstring& path) const { list << QString::fromStdWString(path); }
};

QStringList toStringList(const std::list<std::wstring>& paths)
{
    QStringList list;
    std::for_each(paths.begin(), paths.end(), AddToListFunctor{list});
    return list;
}

}  // namespace

// ---- Texts --------------------------------------------------------------------------

QString MainWindow::progressCaptionText(unsigned id, const QString& arg)
{
    switch (id) {
    case PanoramaLib::kCaptionAnalyzing: return tr("Analyzing...");
    case PanoramaLib::kCaptionAnalyzingFile: return tr("Analyzing %1...").arg(arg);
    case PanoramaLib::kCaptionMatching: return tr("Matching...");
    case PanoramaLib::kCaptionStitching: return tr("Stitching...");
    case PanoramaLib::kCaptionRendering: return tr("Rendering...");
    case PanoramaLib::kCaptionLoadingImages: return tr("Loading images: %1").arg(arg);
    default: return tr("Unknown message %1").arg(id);
    }
}

QString MainWindow::messageText(unsigned id)
{
    switch (id) {
    case kMsgNoOverlapHV:
        return tr("Could not find overlapping photos. The program will switch to manual mode\n"
                  " and you will be able to match photos manually.");
    case kMsgNoOverlapTiled: return tr("Could not find overlapping photos. Please try Horizontal/vertical mode.");
    case kMsgDifferentSizes: return tr("Different image sizes");
    case kMsgCannotLoad: return tr("Can't load picture");
    case kMsgCannotCrop:
        return tr("The panorama could not be cropped to the frame, so it was not rendered.\n"
                  "Change the frame or choose no cropping, then render again.");
    default: return tr("Unknown message %1").arg(id);
    }
}

// ---- PanoramaLib::IProgressIndicator ------------------------------------------------

void MainWindow::openProgress(bool withCancel)
{
    // One dialog at a time: a caller that opens without closing first would otherwise
    // leave the earlier dialog behind, still modal over the window.
    delete m_progress;
    m_progress = new ProgressDialog(this, withCancel);
    m_progress->setWindowTitle(windowTitle());
    // Qt's auto-reset would clear a Cancel pressed just before the last step is reported
    // (AbortProgressIndicator(n, n)), and auto-close would hide the dialog the engine
    // still means to use; the engine closes it itself.
    m_progress->setAutoReset(false);
    m_progress->setAutoClose(false);
    if (!withCancel)
        m_progress->setCancelButton(nullptr);
    m_progress->setWindowModality(Qt::WindowModal);
    m_progress->setWindowFlags(m_progress->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    if (!m_progressCaption.isEmpty())
        m_progress->setLabelText(m_progressCaption);
}

void MainWindow::OpenProgressIndicator() { openProgress(true); }

void MainWindow::OpenProgressIndicatorWOAbort() { openProgress(false); }

void MainWindow::CloseProgressIndicator()
{
    delete m_progress;
    m_progress = nullptr;
    m_progressCaption.clear();
}

void MainWindow::SetProgressCaption(unsigned id) { SetProgressCaption(id, std::wstring()); }

void MainWindow::SetProgressCaption(unsigned id, const std::wstring& text)
{
    // Set while a dialog is open it is that dialog's label; otherwise it waits for the next.
    const QString caption = progressCaptionText(id, QString::fromStdWString(text));
    if (m_progress)
        m_progress->setLabelText(caption);
    else
        m_progressCaption = caption;
}

bool MainWindow::AbortProgressIndicator(int max, int value)
{
    QPointer<ProgressDialog> progress(m_progress);
    if (!progress)
        return false;  // nothing open, so nothing could have been cancelled
    if (progress->minimum() != 0)
        progress->setMinimum(0);
    if (progress->maximum() != max)
        progress->setMaximum(max);
    progress->setValue(value);  // a shown window-modal dialog processes events here, for a new value
    // Also for the same value, at a bounded interval: the Cancel click must be seen. The
    // dialog may have been closed by a call-back run from those events.
    if (progress)
        progress->keepResponsive();
    return progress && progress->wasCanceled();
}

void MainWindow::HideProgress(bool hide)
{
    // Hidden while the engine's dialog is open, back (or shown, if it fell due) after it:
    // shown meanwhile, the window-modal progress dialog would cover that dialog and take
    // its input.
    if (!m_progress)
        return;
    if (hide) {
        m_progress->hold();
    } else if (m_progress->isHeld()) {
        m_progress->release();
    } else {
        m_progress->raise();
    }
}

// ---- PanoramaLib::IUserInterface ----------------------------------------------------

void MainWindow::UpdateUserWndInterface() { update(); }

void MainWindow::UpdatePictureView(bool fitToWindow)
{
    PanoramaLib::IPanoElement* e = m_doc.GetPanorama();
    m_panoView->setPicture(e, fitToWindow);
    enablePanoZoomActions(e != nullptr);
}

int MainWindow::OpenManualMatchingDialog(PanoramaLib::IPanoElement* first, PanoramaLib::IPanoElement* second,
                                         PanoramaLib::IManualMatcher* matcher)
{
    if (!first || !second)
        return 1;
    const std::list<std::wstring> paths{first->GetPathName(), second->GetPathName()};
    HighlightImages(paths, true);
    HideProgress(true);
    int refused = 1;
    if (matcher) {
        HorzMatchingDlg dlg(nullptr);
        dlg.setImages(first, second);
        dlg.setMatcher(matcher);
        dlg.initDialog();
        refused = Desktop::desktop().execDialog(dlg) == QDialog::Accepted ? 0 : 1;
    }
    HideProgress(false);
    HighlightImages(paths, false);
    UpdateUserWndInterface();
    return refused;
}

void MainWindow::HighlightImage(const std::wstring& path, bool on)
{
    selectTrayRows(ui->storyboard, m_trayModel->indexes(QString::fromStdWString(path)), on);
}

void MainWindow::AsyncUpdatePanoramaView(long wParam, long lParam) { emit onSyncUpdatePanoramaView(wParam, lParam); }

// ---- IUserInterfaceEx ---------------------------------------------------------------

void MainWindow::ShowMessageBox(unsigned id) { showWorkMessage(messageText(id)); }

void MainWindow::showWorkMessage(const QString& text)
{
    // A message during long work: the progress dialog must not come up over the box.
    const ProgressHold hold(m_progress);
    Desktop::desktop().information(this, windowTitle(), text, QMessageBox::Ok, QMessageBox::NoButton);
}

// A panorama that leaves photos out says so while they are marked on the tray: kept
// silently, it looks like a photo lost. A Horizontal/Vertical build can match them by hand
// instead; the tiled engine has no such retry, so its result stays either way.
bool MainWindow::PromptAcceptPanorama(int unmatched, int total)
{
    const ProgressHold hold(m_progress);
    const QString left = tr("%1 of %2 photos could not be matched and are left out of the panorama; they are "
                            "marked on the picture tray.")
                             .arg(unmatched)
                             .arg(total);
    if (m_doc.getPanoramaType()) {
        Desktop::desktop().information(this, windowTitle(), left, QMessageBox::Ok, QMessageBox::NoButton);
        return true;
    }
    const QString question = left + QLatin1Char('\n') +
                             tr("Keep the panorama without them? \"No\" leaves the matching to you: press "
                                "\"Start Stitching!\" to match them by hand.");
    return Desktop::desktop().question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No,
                                       QMessageBox::Yes) == QMessageBox::Yes;
}

// Asked for 360 degrees, a row whose ends did not meet is not what the user wanted: say so.
bool MainWindow::PromptAcceptCyclorama()
{
    const ProgressHold hold(m_progress);
    return Desktop::desktop().question(this, windowTitle(),
                                       tr("The photos could not be closed into a 360\u00b0 ring.\nKeep the panorama as an "
                                          "open row? \"No\" leaves the matching to you: press \"Start Stitching!\" "
                                          "to match the ends by hand."),
                                       QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
}

bool MainWindow::HasPrinter() { return true; }

void MainWindow::HighlightImages(const std::list<std::wstring>& paths, bool on)
{
    selectTrayRows(ui->storyboard, m_trayModel->indexes(toStringList(paths)), on);
}

// ---- IUpdate ------------------------------------------------------------------------

void MainWindow::UpdateStitchingDialog()
{
    ui->tabStitch->setEnabled(m_doc.enableStitchDlg());
    onHVInitDialog();
    onTLInitDialog();
    enableGeoButtons(m_doc.enableGeoOptions());
}

// UpdateExportDialog belongs to the print and export panel (main_window_print.cpp).

// ---- IPanoramaDocument --------------------------------------------------------------

void MainWindow::getFiles(std::list<std::wstring>& out)
{
    for (const QString& f : m_trayModel->fileList())
        out.push_back(f.toStdWString());
}

bool MainWindow::findFile(std::wstring path) { return m_trayModel->fileList().contains(QString::fromStdWString(path)); }

void MainWindow::removeImages(const std::list<std::wstring>& paths)
{
    m_trayModel->removeFiles(toStringList(paths));
}

bool MainWindow::hasImages() { return m_trayModel->rowCount(QModelIndex()) > 0; }

int MainWindow::numImages() { return m_trayModel->count(); }

void MainWindow::setModifiedFlag(bool) {}

void MainWindow::updateAllViews(int) {}
