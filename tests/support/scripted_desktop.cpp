// Scripted desktop: answers from the test's queues, records every call. GUI thread.
#include "tests/support/scripted_desktop.h"

#include <QAction>
#include <QDialog>
#include <QMenu>

namespace {

// The front of a queue, or `otherwise` when it is empty.
template <class T>
T take(std::deque<T>& queue, T otherwise = {})
{
    if (queue.empty())
        return otherwise;
    T front = std::move(queue.front());
    queue.pop_front();
    return front;
}

}  // namespace

std::vector<ScriptedDesktop::Call> ScriptedDesktop::calls(const QString& kind) const
{
    std::vector<Call> out;
    std::copy_if(log.begin(), log.end(), std::back_inserter(out), [&](const Call& c) { return c.kind == kind; });
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
    const auto escape = choices.testFlag(QMessageBox::No)       ? QMessageBox::No
                        : choices.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel
                                                                : QMessageBox::Ok;
    return take(buttons, escape);
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
    return take(files);
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
    const auto answer = take(dialogs);
    return answer ? answer(dialog) : int(QDialog::Rejected);
}

QAction* ScriptedDesktop::execMenu(QMenu& menu, const QPoint&)
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

bool ScriptedDesktop::printPreview(QPrinter& printer, QWidget* parent, const std::function<void(QPrinter*)>& paint)
{
    log.push_back({QStringLiteral("printPreview"), parent, {}, {}, {}});
    if (paint)
        paint(&printer);
    return false;
}

bool ScriptedDesktop::pageSetup(QPrinter&, QWidget* parent)
{
    log.push_back({QStringLiteral("pageSetup"), parent, {}, {}, {}});
    return false;
}

bool ScriptedDesktop::openUrl(const QUrl& url)
{
    log.push_back({QStringLiteral("openUrl"), nullptr, {}, url.toString(), {}});
    return true;
}
