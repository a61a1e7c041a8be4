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
// would, and prints nothing; an address opens unless urlsOpen is false. GUI thread only;
// the test owns the object.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include <QAction>
#include <QDialog>
#include <QMenu>
#include <QPoint>
#include <QPrinter>
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
    // Run while a message box is "open", before it answers: what the window behind it does then.
    std::function<void(const Call&)> whileOpen;
    QString defaultPrinter;      // defaultPrinterName()
    bool urlsOpen = true;        // openUrl's answer: false as on a desktop without a browser

    // The recorded calls of one kind, in order.
    std::vector<Call> calls(const QString& kind) const
    {
        std::vector<Call> out;
        std::copy_if(log.begin(), log.end(), std::back_inserter(out), [&](const Call& c) { return c.kind == kind; });
        return out;
    }
    // A menu answer that picks the action with this text (without '&'), null when absent.
    static std::function<QAction*(QMenu&)> pick(const QString& text)
    {
        return [text](QMenu& menu) -> QAction* {
            for (QAction* a : menu.actions())
                if (QString(a->text()).remove(QLatin1Char('&')) == QString(text).remove(QLatin1Char('&')))
                    return a;
            return nullptr;
        };
    }

    QMessageBox::StandardButton information(QWidget* parent, const QString& title, const QString& text,
                                            QMessageBox::StandardButtons b, QMessageBox::StandardButton) override
    {
        return box("information", parent, title, text, b);
    }
    QMessageBox::StandardButton warning(QWidget* parent, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons b, QMessageBox::StandardButton) override
    {
        return box("warning", parent, title, text, b);
    }
    QMessageBox::StandardButton question(QWidget* parent, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons b, QMessageBox::StandardButton) override
    {
        return box("question", parent, title, text, b);
    }
    void about(QWidget* parent, const QString& title, const QString& text) override
    {
        log.push_back({QStringLiteral("about"), parent, title, text, {}});
    }
    QString getOpenFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                            QString*) override
    {
        return nextFiles("getOpenFileName", parent, caption, dir, filter).value(0);
    }
    QStringList getOpenFileNames(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                                 QString*) override
    {
        return nextFiles("getOpenFileNames", parent, caption, dir, filter);
    }
    QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                            QString*) override
    {
        return nextFiles("getSaveFileName", parent, caption, dir, filter).value(0);
    }
    QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir) override
    {
        return nextFiles("getExistingDirectory", parent, caption, dir, {}).value(0);
    }
    int execDialog(QDialog& dialog) override
    {
        log.push_back(
            {QStringLiteral("execDialog"), dialog.parentWidget(), dialog.windowTitle(), dialog.objectName(), {}});
        const auto answer = take(dialogs);
        return answer ? answer(dialog) : int(QDialog::Rejected);
    }
    QAction* execMenu(QMenu& menu, const QPoint&) override
    {
        QStringList texts;
        for (QAction* a : menu.actions())
            texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
        log.push_back({QStringLiteral("execMenu"), menu.parentWidget(), {}, texts.join(QLatin1Char('|')), {}});
        const auto answer = take(menus);
        QAction* chosen = answer ? answer(menu) : nullptr;
        if (chosen)
            chosen->trigger();
        return chosen;
    }
    bool printPreview(QPrinter& printer, QWidget* parent, const std::function<void(QPrinter*)>& paint) override
    {
        log.push_back({QStringLiteral("printPreview"), parent, {}, {}, {}});
        // Like the real preview, never a job for a queue: only a PDF file is painted.
        if (paint && printer.outputFormat() == QPrinter::PdfFormat && !printer.outputFileName().isEmpty())
            paint(&printer);
        return false;
    }
    bool pageSetup(QPrinter&, QWidget* parent) override
    {
        log.push_back({QStringLiteral("pageSetup"), parent, {}, {}, {}});
        return false;
    }
    QStringList printerNames() override { return printers; }
    QString defaultPrinterName() override { return defaultPrinter; }
    bool openUrl(const QUrl& url) override
    {
        log.push_back({QStringLiteral("openUrl"), nullptr, {}, url.toString(), {}});
        return urlsOpen;
    }

private:
    // The front of a queue, or `otherwise` when it is empty.
    template <class T>
    static T take(std::deque<T>& queue, T otherwise = {})
    {
        if (queue.empty())
            return otherwise;
        T front = std::move(queue.front());
        queue.pop_front();
        return front;
    }
    QMessageBox::StandardButton box(const char* kind, QWidget* parent, const QString& title, const QString& text,
                                    QMessageBox::StandardButtons choices)
    {
        log.push_back({QString::fromLatin1(kind), parent, title, text, {}});
        if (whileOpen)
            whileOpen(Call(log.back()));
        return take(buttons, choices.testFlag(QMessageBox::No)       ? QMessageBox::No
                             : choices.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel
                                                                     : QMessageBox::Ok);
    }
    QStringList nextFiles(const char* kind, QWidget* parent, const QString& caption, const QString& dir,
                          const QString& filter)
    {
        log.push_back({QString::fromLatin1(kind), parent, caption, filter, dir});
        return take(files);
    }
};
