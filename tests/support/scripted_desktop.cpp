// Scripted desktop: answers from the test's queues, records every call. GUI thread.
#include "tests/support/scripted_desktop.h"

#include <QAction>
#include <QDialog>
#include <QMenu>

std::vector<ScriptedDesktop::Call> ScriptedDesktop::calls(const QString& kind) const
{
    std::vector<Call> out;
    for (const Call& c : log)
        if (c.kind == kind)
            out.push_back(c);
    return out;
}

std::function<QAction*(QMenu&)> ScriptedDesktop::pick(const QString& text)
{
    return [text](QMenu& menu) -> QAction* {
        for (QAction* a : menu.actions())
            if (QString(a->text()).remove(QLatin1Char('&')) == QString(text).remove(QLatin1Char('&')))
                return a;
        return nullptr;
    };
}

QMessageBox::StandardButton ScriptedDesktop::box(const char* kind, QWidget* parent, const QString& title,
                                                 const QString& text, QMessageBox::StandardButtons choices)
{
    log.push_back({QString::fromLatin1(kind), parent, title, text, {}});
    if (!buttons.empty()) {
        const QMessageBox::StandardButton b = buttons.front();
        buttons.pop_front();
        return b;
    }
    for (QMessageBox::StandardButton escape : {QMessageBox::No, QMessageBox::Cancel})
        if (choices.testFlag(escape))
            return escape;
    return QMessageBox::Ok;
}

QMessageBox::StandardButton ScriptedDesktop::information(QWidget* parent, const QString& title, const QString& text,
                                                         QMessageBox::StandardButtons b, QMessageBox::StandardButton)
{
    return box("information", parent, title, text, b);
}

QMessageBox::StandardButton ScriptedDesktop::warning(QWidget* parent, const QString& title, const QString& text,
                                                     QMessageBox::StandardButtons b, QMessageBox::StandardButton)
{
    return box("warning", parent, title, text, b);
}

QMessageBox::StandardButton ScriptedDesktop::question(QWidget* parent, const QString& title, const QString& text,
                                                      QMessageBox::StandardButtons b, QMessageBox::StandardButton)
{
    return box("question", parent, title, text, b);
}

void ScriptedDesktop::about(QWidget* parent, const QString& title, const QString& text)
{
    log.push_back({QStringLiteral("about"), parent, title, text, {}});
}

QStringList ScriptedDesktop::nextFiles(const char* kind, QWidget* parent, const QString& caption, const QString& dir,
                                       const QString& filter)
{
    log.push_back({QString::fromLatin1(kind), parent, caption, filter, dir});
    if (files.empty())
        return {};
    QStringList f = files.front();
    files.pop_front();
    return f;
}

QString ScriptedDesktop::getOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                         const QString& filter, QString*)
{
    return nextFiles("getOpenFileName", parent, caption, dir, filter).value(0);
}

QStringList ScriptedDesktop::getOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                                              const QString& filter, QString*)
{
    return nextFiles("getOpenFileNames", parent, caption, dir, filter);
}

QString ScriptedDesktop::getSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                         const QString& filter, QString*)
{
    return nextFiles("getSaveFileName", parent, caption, dir, filter).value(0);
}

QString ScriptedDesktop::getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir)
{
    return nextFiles("getExistingDirectory", parent, caption, dir, {}).value(0);
}

int ScriptedDesktop::execDialog(QDialog& dialog)
{
    log.push_back({QStringLiteral("execDialog"), dialog.parentWidget(), dialog.windowTitle(), dialog.objectName(), {}});
    if (dialogs.empty())
        return QDialog::Rejected;
    auto answer = std::move(dialogs.front());
    dialogs.pop_front();
    return answer(dialog);
}

QAction* ScriptedDesktop::execMenu(QMenu& menu, const QPoint&)
{
    QStringList texts;
    for (QAction* a : menu.actions())
        texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    log.push_back({QStringLiteral("execMenu"), menu.parentWidget(), {}, texts.join(QLatin1Char('|')), {}});
    if (menus.empty())
        return nullptr;
    auto answer = std::move(menus.front());
    menus.pop_front();
    QAction* chosen = answer(menu);
    if (chosen)
        chosen->trigger();
    return chosen;
}

bool ScriptedDesktop::printPreview(QPrinter& printer, QWidget* parent, const std::function<void(QPrinter*)>& paint)
{
    log.push_back({QStringLiteral("printPreview"), parent, {}, {}, {}});
    if (previewPaints && paint)
        paint(&printer);
    return previewPrints;
}

bool ScriptedDesktop::pageSetup(QPrinter&, QWidget* parent)
{
    log.push_back({QStringLiteral("pageSetup"), parent, {}, {}, {}});
    if (pageSetups.empty())
        return false;
    const bool accepted = pageSetups.front();
    pageSetups.pop_front();
    return accepted;
}

bool ScriptedDesktop::openUrl(const QUrl& url)
{
    log.push_back({QStringLiteral("openUrl"), nullptr, {}, url.toString(), {}});
    return openUrlResult;
}
