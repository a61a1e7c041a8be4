#include "tests/support/fake_window.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QString>

#include <algorithm>

namespace vltest {

std::string FileNameOf(const std::wstring& path)
{
    return QFileInfo(QString::fromStdWString(path)).fileName().toStdString();
}

std::string FileNamesOf(const std::list<std::wstring>& paths)
{
    std::string names;
    for (const std::wstring& p : paths)
        names += (names.empty() ? "" : ",") + FileNameOf(p);
    return names;
}

void FakeWindow::AsyncUpdatePanoramaView(long wParam, long lParam)
{
    Log("AsyncUpdatePanoramaView", wParam, lParam);
    if (QObject* target = forwardAsyncTo.data())
        QMetaObject::invokeMethod(target, "syncUpdatePanoramaView", Qt::QueuedConnection, Q_ARG(long, wParam),
                                  Q_ARG(long, lParam));
    {
        std::lock_guard lock(m_mutex);
        ++m_asyncCount;
    }
    m_asyncArrived.notify_all();
}

bool FakeWindow::WaitForAsyncUpdates(std::size_t n, std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_mutex);
    return m_asyncArrived.wait_for(lock, limit, [&] { return m_asyncCount >= n; });
}

std::size_t FakeWindow::AsyncUpdateCount() const
{
    std::lock_guard lock(m_mutex);
    return m_asyncCount;
}

void FakeTray::removeImages(const std::list<std::wstring>& paths)
{
    m_log.Add(CallText("removeImages", FileNamesOf(paths)));
    QStringList removed;
    for (const std::wstring& p : paths)
        removed << QString::fromStdWString(p);
    if (veto && !veto->continueModification(nullptr, &removed, false))
        return;
    for (const std::wstring& p : paths)
        std::erase(files, p);
}

}  // namespace vltest
