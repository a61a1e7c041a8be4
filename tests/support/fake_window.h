// Recording stand-ins for the document's neighbours: the main window (its call-backs,
// its progress dialog and its panel refreshes), the picture tray as the document sees
// it, and the view's crop frame. Every call goes into a shared CallLog (fake_engines.h)
// next to the engines' calls; questions are answered from public fields:
//
//   vltest::CallLog log;
//   vltest::FakeWindow window(log);          // IUserInterfaceEx, IProgressIndicator, IUpdate
//   vltest::FakeTray tray(log, paths);       // IPanoramaDocument over a list of paths
//   vltest::FakeCropFrame frame(log);        // ICropRect
//   window.acceptPanorama = false;           // PromptAcceptPanorama answers No
//   window.forwardAsyncTo = &doc;            // AsyncUpdatePanoramaView queues syncUpdatePanoramaView
//
// Paths appear in the log by file name only: "HighlightImages(on:b.jpg,d.jpg)",
// "SetProgressCaption(104,photo_02.jpg)". Other entries name the call and its numbers:
// "ShowMessageBox(100)", "PromptAcceptPanorama(2,6)", "UpdatePictureView(1)",
// "updateAllViews(3)", "frame.ActivateCropping(10,10,650,390,1)". Queries (findFile,
// numImages, GetCropRect...) are not logged. FakeWindow's AsyncUpdatePanoramaView may be
// called from any thread; everything else runs on the UI thread.
#pragma once

#include <QFileInfo>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "document/document_interfaces.h"
#include "tests/support/fake_engines.h"

namespace vltest {

inline std::string FileNameOf(const std::wstring& path)
{
    return QFileInfo(QString::fromStdWString(path)).fileName().toStdString();
}
inline std::string FileNamesOf(const std::list<std::wstring>& paths)  // "a.jpg,b.jpg"
{
    std::string names;
    for (const std::wstring& p : paths)
        names += (names.empty() ? "" : ",") + FileNameOf(p);
    return names;
}

class FakeWindow : public IUserInterfaceEx, public PanoramaLib::IProgressIndicator, public IUpdate {
public:
    explicit FakeWindow(CallLog& log) : m_log(log) {}

    // Answers.
    bool acceptPanorama = true;
    bool acceptCyclorama = true;
    // When set, answers the progress polls: true is the user's Cancel.
    std::function<bool(int max, int value)> cancel;
    // When set, each AsyncUpdatePanoramaView is queued to its slot
    // syncUpdatePanoramaView(long, long), as the main window's signal does.
    QPointer<QObject> forwardAsyncTo;

    // Blocks until n asynchronous updates arrived; false when `limit` passed first (a
    // guard against a hung worker, not a timing check).
    bool WaitForAsyncUpdates(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        std::unique_lock lock(m_mutex);
        return m_asyncArrived.wait_for(lock, limit, [&] { return m_asyncCount >= n; });
    }
    std::size_t AsyncUpdateCount() const
    {
        std::lock_guard lock(m_mutex);
        return m_asyncCount;
    }
    // The completed jobs ((0, 1)) among them, each counted once it is queued.
    std::size_t CompletedJobCount() const
    {
        std::lock_guard lock(m_mutex);
        return m_completedCount;
    }

    // IUserInterface
    void UpdateUserWndInterface() override { Log("UpdateUserWndInterface"); }
    void UpdatePictureView(bool fit) override { Log("UpdatePictureView", fit); }
    int OpenManualMatchingDialog(PanoramaLib::IPanoElement*, PanoramaLib::IPanoElement*,
                                 PanoramaLib::IManualMatcher*) override
    {
        return Log("OpenManualMatchingDialog"), 1;  // not accepted
    }
    void HighlightImage(const std::wstring& path, bool on) override
    {
        Log("HighlightImage", (on ? "on:" : "off:") + FileNameOf(path));
    }
    void AsyncUpdatePanoramaView(long wParam, long lParam) override
    {
        Log("AsyncUpdatePanoramaView", wParam, lParam);
        if (QObject* target = forwardAsyncTo.data())
            QMetaObject::invokeMethod(target, "syncUpdatePanoramaView", Qt::QueuedConnection, Q_ARG(long, wParam),
                                      Q_ARG(long, lParam));
        {
            std::lock_guard lock(m_mutex);
            ++m_asyncCount;
            m_completedCount += wParam == 0 && lParam == 1;
        }
        m_asyncArrived.notify_all();
    }
    // IUserInterfaceEx
    void ShowMessageBox(unsigned id) override { Log("ShowMessageBox", id); }
    bool PromptAcceptPanorama(int unmatched, int total) override
    {
        return Log("PromptAcceptPanorama", unmatched, total), acceptPanorama;
    }
    bool PromptAcceptCyclorama() override { return Log("PromptAcceptCyclorama"), acceptCyclorama; }
    bool HasPrinter() override { return false; }
    void HighlightImages(const std::list<std::wstring>& paths, bool on) override
    {
        Log("HighlightImages", (on ? "on:" : "off:") + FileNamesOf(paths));
    }
    // IProgressIndicator
    void OpenProgressIndicator() override { Log("OpenProgressIndicator"); }
    void OpenProgressIndicatorWOAbort() override { Log("OpenProgressIndicatorWOAbort"); }
    void CloseProgressIndicator() override { Log("CloseProgressIndicator"); }
    void SetProgressCaption(unsigned id) override { Log("SetProgressCaption", id); }
    void SetProgressCaption(unsigned id, const std::wstring& text) override
    {
        Log("SetProgressCaption", id, FileNameOf(text));
    }
    bool AbortProgressIndicator(int max, int value) override
    {
        return Log("AbortProgressIndicator", max, value), cancel && cancel(max, value);
    }
    void HideProgress(bool hide) override { Log("HideProgress", hide); }
    // IUpdate
    void UpdateStitchingDialog() override { Log("UpdateStitchingDialog"); }
    void UpdateExportDialog() override { Log("UpdateExportDialog"); }

private:
    template <class... T>
    void Log(const std::string& op, const T&... args)
    {
        m_log.Add(CallText(op, args...));
    }
    CallLog& m_log;
    mutable std::mutex m_mutex;
    std::condition_variable m_asyncArrived;
    std::size_t m_asyncCount = 0;
    std::size_t m_completedCount = 0;
};

// The picture tray: an ordered list of paths. removeImages first asks `veto` (the
// document's continueModification) when set, as the real tray model does.
class FakeTray : public IPanoramaDocument {
public:
    explicit FakeTray(CallLog& log, std::vector<std::wstring> paths = {}) : files(std::move(paths)), m_log(log) {}

    std::vector<std::wstring> files;
    IInputPhotos* veto = nullptr;

    void getFiles(std::list<std::wstring>& out) override { out.insert(out.end(), files.begin(), files.end()); }
    bool findFile(std::wstring path) override { return std::find(files.begin(), files.end(), path) != files.end(); }
    void removeImages(const std::list<std::wstring>& paths) override
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
    bool hasImages() override { return !files.empty(); }
    int numImages() override { return static_cast<int>(files.size()); }
    void setModifiedFlag(bool modified) override { m_log.Add(CallText("setModifiedFlag", modified)); }
    void updateAllViews(int hint) override { m_log.Add(CallText("updateAllViews", hint)); }

private:
    CallLog& m_log;
};

// The view's crop frame: a rectangle and whether it is shown. A test moves it like the
// user by assigning `rect`.
class FakeCropFrame : public ICropRect {
public:
    explicit FakeCropFrame(CallLog& log) : m_log(log) {}

    VarnoBase::Rect rect;
    bool shown = false;

    void ActivateCropping(const VarnoBase::Rect& r, bool update) override
    {
        m_log.Add(CallText("frame.ActivateCropping", RectText(r), update));
        rect = r, shown = true;
    }
    void DeactivateCropping(VarnoBase::Rect* out, bool update) override
    {
        m_log.Add(CallText("frame.DeactivateCropping", update));
        *out = rect, shown = false;
    }
    void SetCropRect(const VarnoBase::Rect& r) override
    {
        m_log.Add(CallText("frame.SetCropRect", RectText(r)));
        rect = r;
    }
    void GetCropRect(VarnoBase::Rect* out) override { *out = rect; }

private:
    CallLog& m_log;
};

}  // namespace vltest
