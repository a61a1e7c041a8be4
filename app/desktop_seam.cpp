// The real desktop: each call is the Qt dialog, menu or service it stands for, with
// Qt's own behaviour. GUI thread only.
#include "app/desktop_seam.h"

#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QMenu>
#include <QPageSetupDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QPrinterInfo>
#include <QUrl>

namespace Desktop {

namespace {
IDesktop* g_installed = nullptr;
}

IDesktop& desktop()
{
    if (g_installed)
        return *g_installed;
    static QtDesktop real;
    return real;
}

ScopedDesktop::ScopedDesktop(IDesktop& d) : m_previous(g_installed) { g_installed = &d; }

ScopedDesktop::~ScopedDesktop() { g_installed = m_previous; }

QMessageBox::StandardButton QtDesktop::information(QWidget* parent, const QString& title, const QString& text,
                                                   QMessageBox::StandardButtons buttons,
                                                   QMessageBox::StandardButton defaultButton)
{
    return QMessageBox::information(parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton QtDesktop::warning(QWidget* parent, const QString& title, const QString& text,
                                               QMessageBox::StandardButtons buttons,
                                               QMessageBox::StandardButton defaultButton)
{
    return QMessageBox::warning(parent, title, text, buttons, defaultButton);
}

QMessageBox::StandardButton QtDesktop::question(QWidget* parent, const QString& title, const QString& text,
                                                QMessageBox::StandardButtons buttons,
                                                QMessageBox::StandardButton defaultButton)
{
    return QMessageBox::question(parent, title, text, buttons, defaultButton);
}

void QtDesktop::about(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::about(parent, title, text);
}

QString QtDesktop::getOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                   const QString& filter, QString* selectedFilter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter, selectedFilter);
}

QStringList QtDesktop::getOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                                        const QString& filter, QString* selectedFilter)
{
    return QFileDialog::getOpenFileNames(parent, caption, dir, filter, selectedFilter);
}

QString QtDesktop::getSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                   const QString& filter, QString* selectedFilter)
{
    return QFileDialog::getSaveFileName(parent, caption, dir, filter, selectedFilter);
}

QString QtDesktop::getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir)
{
    return QFileDialog::getExistingDirectory(parent, caption, dir);
}

int QtDesktop::execDialog(QDialog& dialog) { return dialog.exec(); }

QAction* QtDesktop::execMenu(QMenu& menu, const QPoint& globalPos) { return menu.exec(globalPos); }

bool QtDesktop::printPreview(QPrinter& printer, QWidget* parent, const std::function<void(QPrinter*)>& paint)
{
    QPrintPreviewDialog dialog(&printer, parent);
    QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested, &dialog, [&paint](QPrinter* p) { paint(p); });
    if (parent) {  // as large as the window it previews for
        dialog.setMinimumSize(parent->minimumSize());
        if (parent->isMaximized())
            dialog.setWindowState(Qt::WindowMaximized);
        else
            dialog.setGeometry(parent->geometry());
    }
    return dialog.exec() == QDialog::Accepted;
}

bool QtDesktop::pageSetup(QPrinter& printer, QWidget* parent)
{
    QPageSetupDialog dialog(&printer, parent);
    return dialog.exec() == QDialog::Accepted;
}

QStringList QtDesktop::printerNames() { return QPrinterInfo::availablePrinterNames(); }

QString QtDesktop::defaultPrinterName() { return QPrinterInfo::defaultPrinterName(); }

bool QtDesktop::openUrl(const QUrl& url) { return QDesktopServices::openUrl(url); }

}  // namespace Desktop
