// A desktop for tests: every modal or desktop-bound call the window makes through
// Desktop::desktop() is answered from queues the test fills beforehand, and recorded, so
// a test drives message boxes, file dialogs, dialogs, menus and printing without ever
// blocking in exec(). Install it for the test's scope:
//
//   ScriptedDesktop desk;
//   Desktop::ScopedDesktop use(desk);
//   desk.files.push_back({"/tmp/a.jpg", "/tmp/b.jpg"});            // next file dialog
//   desk.dialogs.push_back([](QDialog& d) { ...; return int(QDialog::Accepted); });
//   desk.menus.push_back(ScriptedDesktop::pick("Remove Image"));    // next context menu
//   ... drive the window ...
//   EXPECT_EQ(desk.calls("information").size(), 1u);
//
// An empty queue gives the answer of a user who backs out: a message box's escape
// button (No, else Cancel, else Ok), an empty file name, QDialog::Rejected, a dismissed
// menu. A page setup is always refused; a print preview paints once, as a preview
// would, and prints nothing; an address always opens. GUI thread only; the test owns
// the object.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include <QPoint>
#include <QUrl>

#include "app/desktop_seam.h"

class ScriptedDesktop : public Desktop::IDesktop {
public:
    // One call as the window made it.
    struct Call {
        QString kind;   // "information", "warning", "question", "about", "getOpenFileName",
                        // "getOpenFileNames", "getSaveFileName", "getExistingDirectory",
                        // "execDialog", "execMenu", "printPreview", "pageSetup", "openUrl"
        QWidget* parent = nullptr;
        QString title;  // title or caption; a dialog's window title; empty for a menu
        QString text;   // message text; file filter; dialog object name; menu action texts
                        // joined by '|'; the address opened
        QString dir;    // start folder of a file dialog
    };
    std::vector<Call> log;

    // Answer queues, taken from the front one call at a time.
    std::deque<QMessageBox::StandardButton> buttons;         // information/warning/question
    std::deque<QStringList> files;                           // the four file dialogs (first name for single ones)
    std::deque<std::function<int(QDialog&)>> dialogs;        // execDialog
    std::deque<std::function<QAction*(QMenu&)>> menus;       // execMenu; the returned action is triggered
    QStringList printers;        // printerNames(): none by default, like a machine without printers
    QString defaultPrinter;      // defaultPrinterName()

    // The recorded calls of one kind, in order.
    std::vector<Call> calls(const QString& kind) const;
    // A menu answer that picks the action with this text (without '&'), null when absent.
    static std::function<QAction*(QMenu&)> pick(const QString& text);

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
    QStringList printerNames() override { return printers; }
    QString defaultPrinterName() override { return defaultPrinter; }
    bool openUrl(const QUrl& url) override;

private:
    QMessageBox::StandardButton box(const char* kind, QWidget* parent, const QString& title, const QString& text,
                                    QMessageBox::StandardButtons choices);
    QStringList nextFiles(const char* kind, QWidget* parent, const QString& caption, const QString& dir,
                          const QString& filter);
};
