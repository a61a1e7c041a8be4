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

// ---------------------------------------------------------------------------------
// FakeWindow

int FakeWindow::OpenManualMatchingDialog(PanoramaLib::IPanoElement*, PanoramaLib::IPanoElement*,
                                         PanoramaLib::IManualMatcher*)
{
    m_log.Add("OpenManualMatchingDialog");
    return matchingAnswer;
}

void FakeWindow::HighlightImage(const std::wstring& path, bool on)
{
    m_log.Add("HighlightImage(" + std::string(on ? "on:" : "off:") + FileNameOf(path) + ")");
}

void FakeWindow::AsyncUpdatePanoramaView(long wParam, long lParam)
{
    m_log.Add("AsyncUpdatePanoramaView(" + std::to_string(wParam) + "," + std::to_string(lParam) + ")");
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

bool FakeWindow::PromptAcceptPanorama(int unmatched, int total)
{
    m_log.Add("PromptAcceptPanorama(" + std::to_string(unmatched) + "," + std::to_string(total) + ")");
    return acceptPanorama;
}

bool FakeWindow::PromptAcceptCyclorama()
{
    m_log.Add("PromptAcceptCyclorama");
    return acceptCyclorama;
}

void FakeWindow::HighlightImages(const std::list<std::wstring>& paths, bool on)
{
    std::string names;
    for (const std::wstring& p : paths)
        names += (names.empty() ? "" : ",") + FileNameOf(p);
    m_log.Add("HighlightImages(" + std::string(on ? "on:" : "off:") + names + ")");
}

void FakeWindow::SetProgressCaption(unsigned id, const std::wstring& text)
{
    m_log.Add("SetProgressCaption(" + std::to_string(id) + "," + FileNameOf(text) + ")");
}

bool FakeWindow::AbortProgressIndicator(int max, int value)
{
    m_log.Add("AbortProgressIndicator(" + std::to_string(max) + "," + std::to_string(value) + ")");
    return cancelProgress;
}

// ---------------------------------------------------------------------------------
// FakeTray

bool FakeTray::findFile(std::wstring path)
{
    return std::find(files.begin(), files.end(), path) != files.end();
}

void FakeTray::removeImages(const std::list<std::wstring>& paths)
{
    std::string names;
    for (const std::wstring& p : paths)
        names += (names.empty() ? "" : ",") + FileNameOf(p);
    m_log.Add("removeImages(" + names + ")");
    if (veto) {
        QStringList removed;
        for (const std::wstring& p : paths)
            removed << QString::fromStdWString(p);
        if (!veto->continueModification(nullptr, &removed, false))
            return;
    }
    for (const std::wstring& p : paths)
        files.erase(std::remove(files.begin(), files.end(), p), files.end());
}

// ---------------------------------------------------------------------------------
// FakeCropFrame

void FakeCropFrame::ActivateCropping(const VarnoBase::Rect& r, bool update)
{
    m_log.Add("frame.ActivateCropping(" + RectText(r) + "," + std::to_string(update) + ")");
    rect = r;
    shown = true;
}

void FakeCropFrame::DeactivateCropping(VarnoBase::Rect* out, bool update)
{
    m_log.Add("frame.DeactivateCropping(" + std::to_string(update) + ")");
    *out = rect;
    shown = false;
}

void FakeCropFrame::SetCropRect(const VarnoBase::Rect& r)
{
    m_log.Add("frame.SetCropRect(" + RectText(r) + ")");
    rect = r;
}

}  // namespace vltest
