// The one door through which the window reaches everything modal or desktop-bound:
// message boxes, file dialogs, the modal run of a prepared dialog or menu, print preview
// and page setup, the printer list and opening addresses in the desktop's programs.
//
// Why: a modal call blocks in a nested event loop, and a desktop call leaves the
// program, so code that makes them directly cannot be driven by a test. Every such call
// in app/ goes through Desktop::desktop() instead; the program uses QtDesktop (Qt's own
// dialogs, unchanged behaviour), and a test installs a scripted desktop that answers from
// a queue and records what was asked (tests/support/scripted_desktop.h).
//
// How to use it (dialogs, print panel, update dialog, matching dialog):
//   - a message box:  Desktop::desktop().information(this, windowTitle(), text);
//   - a dialog you built yourself (including a QMessageBox with a check box):
//       MyDialog dlg(...); dlg.init(...);
//       if (Desktop::desktop().execDialog(dlg) == QDialog::Accepted) ...
//     instead of dlg.exec(). The scripted desktop hands the dialog to the test's answer
//     function, which may set its controls before it "closes" it with a result code.
//   - a context menu:  QAction* chosen = Desktop::desktop().execMenu(menu, globalPos);
//     instead of menu.exec(pos). The real desktop triggers the chosen action exactly as
//     QMenu::exec does; the scripted one triggers the action its answer picks.
//   - print preview: Desktop::desktop().printPreview(printer, parent, paint) instead of
//     building a QPrintPreviewDialog: `paint` is what its paintRequested signal would call.
//   - the printers: printerNames()/defaultPrinterName() instead of QPrinterInfo's lists,
//     so a test can pretend a machine has no printer or two of them.
//
// Thread: GUI thread only. Ownership: desktop() returns the installed object; the
// program-wide default is a QtDesktop that lives until exit; an installed one is owned by
// whoever installed it (ScopedDesktop restores the previous one when it dies).
#pragma once

#include <functional>

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QAction;
class QDialog;
class QMenu;
class QPoint;
class QPrinter;
class QUrl;
class QWidget;

namespace Desktop {

class IDesktop {
public:
    virtual ~IDesktop() = default;

    // Message boxes, as the static QMessageBox functions of the same names; the answer is
    // the button that closed the box (Escape/close gives the escape button's answer).
    virtual QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text,
                                                    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                                    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton) = 0;
    virtual QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text,
                                                QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                                QMessageBox::StandardButton defaultButton = QMessageBox::NoButton) = 0;
    virtual QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                                 QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
                                                 QMessageBox::StandardButton defaultButton = QMessageBox::NoButton) = 0;
    virtual void about(QWidget* parent, const QString& title, const QString& text) = 0;

    // File dialogs, as the static QFileDialog functions; an empty answer means cancelled.
    // Filters use Qt's form "Name (*.a *.b)", one filter per line.
    virtual QString getOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter, QString* selectedFilter = nullptr) = 0;
    virtual QStringList getOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                                         const QString& filter, QString* selectedFilter = nullptr) = 0;
    virtual QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter, QString* selectedFilter = nullptr) = 0;
    virtual QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir) = 0;

    // Runs a prepared dialog modally (QDialog::exec) and answers its result code.
    virtual int execDialog(QDialog& dialog) = 0;
    // Runs a menu modally at a global position (QMenu::exec); the chosen action, already
    // triggered, or null when the menu was dismissed.
    virtual QAction* execMenu(QMenu& menu, const QPoint& globalPos) = 0;

    // A print preview of `printer`: `paint` draws the pages whenever the preview needs
    // them. true when the user printed from the preview.
    virtual bool printPreview(QPrinter& printer, QWidget* parent, const std::function<void(QPrinter*)>& paint) = 0;
    // The page setup dialog for `printer`; true when accepted (the printer then holds the
    // user's choices).
    virtual bool pageSetup(QPrinter& printer, QWidget* parent) = 0;
    // The printers installed, by name, in the system's order; the default's name, empty
    // when there is none.
    virtual QStringList printerNames() = 0;
    virtual QString defaultPrinterName() = 0;

    // Opens a web or file address with the desktop's program (QDesktopServices::openUrl).
    virtual bool openUrl(const QUrl& url) = 0;
};

// The desktop in use: the installed one, else the program-wide QtDesktop.
IDesktop& desktop();

// Installs `d` for its own lifetime and puts the previous one back afterwards. Scopes
// nest; they must end in reverse order of their start.
class ScopedDesktop {
public:
    explicit ScopedDesktop(IDesktop& d);
    ~ScopedDesktop();
    ScopedDesktop(const ScopedDesktop&) = delete;
    ScopedDesktop& operator=(const ScopedDesktop&) = delete;

private:
    IDesktop* m_previous;
};

// The real desktop: Qt's dialogs, menus and services.
class QtDesktop : public IDesktop {
public:
    QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton defaultButton) override;
    QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton) override;
    QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons,
                                         QMessageBox::StandardButton defaultButton) override;
    void about(QWidget* parent, const QString& title, const QString& text) override;
    QString getOpenFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                            QString* selectedFilter) override;
    QStringList getOpenFileNames(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                                 QString* selectedFilter) override;
    QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                            QString* selectedFilter) override;
    QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir) override;
    int execDialog(QDialog& dialog) override;
    QAction* execMenu(QMenu& menu, const QPoint& globalPos) override;
    bool printPreview(QPrinter& printer, QWidget* parent, const std::function<void(QPrinter*)>& paint) override;
    bool pageSetup(QPrinter& printer, QWidget* parent) override;
    QStringList printerNames() override;
    QString defaultPrinterName() override;
    bool openUrl(const QUrl& url) override;
};

}  // namespace Desktop
