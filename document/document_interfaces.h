// The interfaces through which the document meets its neighbours: the main window's
// call-backs (messages, prompts, highlights), the picture tray as the document sees it,
// panel refresh requests, the tray model's veto, and the view's crop frame and
// geometry tool. All of them are called on the UI thread only.
#pragma once

#include <list>
#include <string>

#include <QStringList>

#include "core/geometry.h"
#include "engine/panorama_interfaces.h"

// The document's task mode; set only by the main window's task switch.
enum class TaskMode : int {
    TaskNone = -1,  // before the first switch
    TaskAddImages = 0,
    TaskStitch = 1,
    TaskExport = 2,
};

// Message ids the document raises through IUserInterfaceEx::ShowMessageBox; the main
// window turns them into texts.
enum DocumentMessage : unsigned {
    kMsgNoOverlapHV = 100,      // automatic H/V build found no overlapping pair: manual mode follows
    kMsgNoOverlapTiled = 101,   // tiled build found no overlapping pair
    kMsgDifferentSizes = 102,   // photos of another size were removed
    kMsgCannotLoad = 103,       // a photo could not be loaded
    kMsgCannotCrop = 104,       // the rendered result could not be cut to the crop frame
};

// The main window's call-backs, beyond those the engines use.
class IUserInterfaceEx : public PanoramaLib::IUserInterface {
public:
    virtual void ShowMessageBox(unsigned id) = 0;
    // true: the panorama that left `unmatched` of `total` photos out is acceptable.
    virtual bool PromptAcceptPanorama(int unmatched, int total) = 0;
    // true: a ring that could not be closed is acceptable.
    virtual bool PromptAcceptCyclorama() = 0;
    virtual bool HasPrinter() = 0;
    virtual void HighlightImages(const std::list<std::wstring>& paths, bool on) = 0;

protected:
    ~IUserInterfaceEx() = default;
};

// The picture tray as the document sees it (implemented by the main window).
class IPanoramaDocument {
public:
    virtual void getFiles(std::list<std::wstring>& out) = 0;  // appends, tray order
    virtual bool findFile(std::wstring path) = 0;
    virtual void removeImages(const std::list<std::wstring>& paths) = 0;
    virtual bool hasImages() = 0;
    virtual int numImages() = 0;
    virtual void setModifiedFlag(bool modified) = 0;
    // 1 collection verified, 2 build starts, 3 build ended, 4 another task entered or a
    // manual-matching setting changed while manual mode is off.
    virtual void updateAllViews(int hint) = 0;

protected:
    ~IPanoramaDocument() = default;
};

// Panel refresh requests (implemented by the main window).
class IUpdate {
public:
    virtual void UpdateStitchingDialog() = 0;
    virtual void UpdateExportDialog() = 0;

protected:
    ~IUpdate() = default;
};

// The tray model's veto, asked before every change of the tray (implemented by the
// document). Either list may be null; force counts the call as a change even when the
// lists name nothing new. true: the change may go ahead.
class IInputPhotos {
public:
    virtual bool continueModification(const QStringList* added, const QStringList* removed, bool force) = 0;

protected:
    ~IInputPhotos() = default;
};

class IGeoTool;

// The view's geometry tool calls these (implemented by the document).
class IGeoToolCallback {
public:
    virtual bool EnableGeo(IGeoTool* tool) = 0;
    virtual void StartGeoTracking(IGeoTool* tool) = 0;
    virtual void DoTrackGeo(IGeoTool* tool, int dx, int dy) = 0;
    virtual void DoRotateGeo(IGeoTool* tool, int degrees) = 0;

protected:
    ~IGeoToolCallback() = default;
};

// The view's rotate-and-tilt tool (implemented by the view's tool).
class IGeoTool {
public:
    virtual void ActivateGeo() = 0;
    virtual void DeactivateGeo() = 0;

protected:
    ~IGeoTool() = default;
};

// The view's crop frame, in preview pixels (implemented by the view's tool).
class ICropRect {
public:
    virtual void ActivateCropping(const VarnoBase::Rect& r, bool update) = 0;
    // Hides the frame; *out receives its rectangle, also when it was not shown.
    virtual void DeactivateCropping(VarnoBase::Rect* out, bool update) = 0;
    virtual void SetCropRect(const VarnoBase::Rect& r) = 0;
    virtual void GetCropRect(VarnoBase::Rect* out) = 0;

protected:
    ~ICropRect() = default;
};
