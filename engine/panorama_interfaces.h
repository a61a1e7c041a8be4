// The contract between the document and the two stitching engines, and between the
// engines and their host: engine interfaces, the options and status records, and the
// host interfaces through which an engine reports progress, asks for cancellation,
// talks to the user interface and obtains threads, locks and events.
#pragma once

#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/pano_element.h"

namespace PanoramaLib {

class IManualMatcher;

enum MotionModel : int {
    MotionAffine = 0,     // rotation, scale and skew
    MotionSimple = 1,     // rotation and uniform scale
    MotionTranslate = 2,  // translation with uniform scale
};

enum SurfaceRenderingType : int {
    SurfaceCylindrical = 0,
    SurfaceSpherical = 1,  // any value other than 0 selects the sphere
};

// Progress caption ids; the host turns them into words.
enum ProgressCaption : unsigned {
    kCaptionAnalyzing = 11,      // "Analyzing..."
    kCaptionAnalyzingFile = 12,  // "Analyzing %1..."
    kCaptionMatching = 13,       // "Matching..."
    kCaptionStitching = 14,      // "Stitching..."
    kCaptionRendering = 15,      // "Rendering..."
    kCaptionLoadingImages = 104, // "Loading images: %1"
};

struct PanoramaOptions {
    bool bAutoCrop = false;
    int nMatchingMode = 0;     // 0: ratio 0.6, otherwise 0.8
    int nPreviewQuality = 0;   // 1: working copies of 660 pixels, otherwise 400
    MotionModel motionModel = MotionAffine;
    bool bGradientAverageMode = false;
    bool bLensCompensation = false;
    int nLensType = 0;         // 0..9 into the lens table
    bool bCyclorama = false;
    bool bBundleAdjustAtEnd = false;
    int nLensPolynomial = 0;
    SurfaceRenderingType surfaceType = SurfaceCylindrical;
};

// Outcome of a build, kept in PanoramaStatus::nStatus (an int in the record).
enum BuildStatus : int {
    kStatusNone = 0,            // nothing built yet
    kStatusBuilt = 1,           // built
    kStatusFailed = 2,          // failed or cancelled
    kStatusNoOverlap = 3,       // no overlapping pair found
    kStatusRingNotClosed = 4,   // the 360 degree ring could not be closed
    kStatusRingCropFailed = 5,  // the ring's crop failed
};

struct PanoramaStatus {
    int nStatus = kStatusNone;  // a BuildStatus
    int nImages = 0;
    PanoramaOptions options;
    bool bManual = false;
    std::vector<int> unmatchedImages;  // may hold nImages (the ring duplicate): bounds-check
    std::string reason;                // why the last build did not succeed, for logs; may be empty
};

class IProgressIndicator {
public:
    virtual void OpenProgressIndicator() = 0;
    virtual void OpenProgressIndicatorWOAbort() = 0;
    virtual void CloseProgressIndicator() = 0;
    virtual void SetProgressCaption(unsigned id) = 0;
    virtual void SetProgressCaption(unsigned id, const std::wstring& text) = 0;
    virtual bool AbortProgressIndicator(int max, int value) = 0;
    virtual void HideProgress(bool hide) = 0;

protected:
    ~IProgressIndicator() = default;
};

class IUserInterface {
public:
    virtual void UpdateUserWndInterface() = 0;
    virtual void UpdatePictureView(bool b) = 0;
    // 0 when the user accepted the markers, 1 otherwise.
    virtual int OpenManualMatchingDialog(IPanoElement* first, IPanoElement* second, IManualMatcher* matcher) = 0;
    virtual void HighlightImage(const std::wstring& path, bool on) = 0;
    // May be called from any thread.
    virtual void AsyncUpdatePanoramaView(long wParam, long lParam) = 0;

protected:
    ~IUserInterface() = default;
};

class IWaitCursor {
public:
    virtual void BeginWait() = 0;
    virtual void EndWait() = 0;

protected:
    ~IWaitCursor() = default;
};

class ICriticalSection {
public:
    virtual void Lock() = 0;  // re-entrant for the owning thread
    virtual void Unlock() = 0;

protected:
    ~ICriticalSection() = default;
};

class IEvent {
public:
    virtual void SetEvent() = 0;
    virtual void Wait() = 0;  // blocks until set, then clears (auto-reset)

protected:
    ~IEvent() = default;
};

class IThread {
public:
    virtual void Run() = 0;

protected:
    ~IThread() = default;
};

class IFreeThreading {
public:
    virtual ICriticalSection* CreateCriticalSection() = 0;
    virtual IEvent* CreateEvent() = 0;
    virtual bool CreateThread(IThread* body) = 0;

protected:
    ~IFreeThreading() = default;
};

class IPanorama {
public:
    virtual void Initialize(IFreeThreading* threading, IWaitCursor* waitCursor, IUserInterface* ui) = 0;
    virtual void Release() = 0;
    virtual void Set_IProgressIndicator(IProgressIndicator* progress) = 0;
    virtual bool HasBuilt() const = 0;
    virtual bool BuildPanorama(const std::vector<IPanoElement*>& photos,
                               const std::vector<IPanoElement*>* workingCopies, int a, int b, int c) = 0;
    virtual IPanoElement* GetPanoramaPreview(bool fallBack) const = 0;
    virtual IPanoElement* GetPanoramaImage() const = 0;
    virtual const PanoramaStatus* GetPanoramaStatus() const = 0;
    virtual void Free(bool analysis, bool graph) = 0;
    virtual void FreePanoramaImages() = 0;
    virtual void SetOptions(const PanoramaOptions& options) = 0;
    virtual void GetOptions(PanoramaOptions* options) const = 0;
    virtual VarnoBase::Rect GetCropRect(bool flag) = 0;
    virtual IPanoElement* CreateImageThumbnail(IPanoElement* photo) = 0;
    virtual ~IPanorama() = default;
};

class IHVPanorama : public IPanorama {
public:
    virtual bool BuildPanoramaManually(const std::vector<IPanoElement*>& photos,
                                       const std::vector<IPanoElement*>* workingCopies, bool askAllPairs) = 0;
    virtual bool RenderPanorama() = 0;
    // false when the result stays uncropped.
    virtual bool CropPanorama(const VarnoBase::Rect& r) = 0;
    virtual void SetPatchRect(const VarnoBase::Rect& r) = 0;
};

class ITiledPanorama : public IPanorama {
public:
    // false before a build or when a synchronous render failed.
    virtual bool SetRenderingSurface(SurfaceRenderingType type, int a, int b, int c, bool async, bool fast) = 0;
    virtual bool FastRenderingHasFinished() = 0;
    virtual bool RenderPanorama(int a, int b, int c) = 0;
    virtual void SyncUpdatePanoramaView(long wParam, long lParam) = 0;
    virtual void Show3DParamsDlg() = 0;
    virtual void SetCropRect(const VarnoBase::Rect& r) = 0;
};

IHVPanorama* CreateHVPanoramaObject(IDibManager* manager);
ITiledPanorama* CreateTiledPanoramaObject(IDibManager* manager);

}  // namespace PanoramaLib
