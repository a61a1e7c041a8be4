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

#include <QPointer>
#include <QObject>

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "document/document_interfaces.h"
#include "tests/support/fake_engines.h"

namespace vltest {

std::string FileNameOf(const std::wstring& path);

class FakeWindow : public IUserInterfaceEx, public PanoramaLib::IProgressIndicator, public IUpdate {
public:
    explicit FakeWindow(CallLog& log) : m_log(log) {}

    // Answers.
    bool acceptPanorama = true;
    bool acceptCyclorama = true;
    int matchingAnswer = 1;       // OpenManualMatchingDialog: 0 accepted, 1 not
    bool cancelProgress = false;  // AbortProgressIndicator
    // When set, each AsyncUpdatePanoramaView is queued to its slot
    // syncUpdatePanoramaView(long, long), as the main window's signal does.
    QPointer<QObject> forwardAsyncTo;

    // Blocks until n asynchronous updates arrived; false when `limit` passed first (a
    // guard against a hung worker, not a timing check).
    bool WaitForAsyncUpdates(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(60));
    std::size_t AsyncUpdateCount() const;

    // IUserInterface
    void UpdateUserWndInterface() override { m_log.Add("UpdateUserWndInterface"); }
    void UpdatePictureView(bool fit) override { m_log.Add("UpdatePictureView(" + std::to_string(fit) + ")"); }
    int OpenManualMatchingDialog(PanoramaLib::IPanoElement*, PanoramaLib::IPanoElement*,
                                 PanoramaLib::IManualMatcher*) override;
    void HighlightImage(const std::wstring& path, bool on) override;
    void AsyncUpdatePanoramaView(long wParam, long lParam) override;
    // IUserInterfaceEx
    void ShowMessageBox(unsigned id) override { m_log.Add("ShowMessageBox(" + std::to_string(id) + ")"); }
    bool PromptAcceptPanorama(int unmatched, int total) override;
    bool PromptAcceptCyclorama() override;
    bool HasPrinter() override { return false; }
    void HighlightImages(const std::list<std::wstring>& paths, bool on) override;
    // IProgressIndicator
    void OpenProgressIndicator() override { m_log.Add("OpenProgressIndicator"); }
    void OpenProgressIndicatorWOAbort() override { m_log.Add("OpenProgressIndicatorWOAbort"); }
    void CloseProgressIndicator() override { m_log.Add("CloseProgressIndicator"); }
    void SetProgressCaption(unsigned id) override { m_log.Add("SetProgressCaption(" + std::to_string(id) + ")"); }
    void SetProgressCaption(unsigned id, const std::wstring& text) override;
    bool AbortProgressIndicator(int max, int value) override;
    void HideProgress(bool hide) override { m_log.Add("HideProgress(" + std::to_string(hide) + ")"); }
    // IUpdate
    void UpdateStitchingDialog() override { m_log.Add("UpdateStitchingDialog"); }
    void UpdateExportDialog() override { m_log.Add("UpdateExportDialog"); }

private:
    CallLog& m_log;
    mutable std::mutex m_mutex;
    std::condition_variable m_asyncArrived;
    std::size_t m_asyncCount = 0;
};

// The picture tray: an ordered list of paths. removeImages first asks `veto` (the
// document's continueModification) when set, as the real tray model does.
class FakeTray : public IPanoramaDocument {
public:
    explicit FakeTray(CallLog& log, std::vector<std::wstring> paths = {}) : files(std::move(paths)), m_log(log) {}

    std::vector<std::wstring> files;
    IInputPhotos* veto = nullptr;

    void getFiles(std::list<std::wstring>& out) override { out.insert(out.end(), files.begin(), files.end()); }
    bool findFile(std::wstring path) override;
    void removeImages(const std::list<std::wstring>& paths) override;
    bool hasImages() override { return !files.empty(); }
    int numImages() override { return static_cast<int>(files.size()); }
    void setModifiedFlag(bool modified) override { m_log.Add("setModifiedFlag(" + std::to_string(modified) + ")"); }
    void updateAllViews(int hint) override { m_log.Add("updateAllViews(" + std::to_string(hint) + ")"); }

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

    void ActivateCropping(const VarnoBase::Rect& r, bool update) override;
    void DeactivateCropping(VarnoBase::Rect* out, bool update) override;
    void SetCropRect(const VarnoBase::Rect& r) override;
    void GetCropRect(VarnoBase::Rect* out) override { *out = rect; }

private:
    CallLog& m_log;
};

}  // namespace vltest
