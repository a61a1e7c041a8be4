// The document: the one object through which the main window drives both stitching
// engines. It owns the Horizontal/Vertical and the Tiled/Multifocus engine (made once,
// when the window wires itself in), the photo elements they build from, the crop
// rectangle, the task mode, the tiled rendering surface and the flags that say what was
// built and whether the photo list changed since. It is also the engines' host (threads,
// locks, events and pixel stores, see EngineHost), the picture tray's veto and the
// view's geometry call-back.
//
// Coordinates: crop rectangles are in preview pixels of the built engine unless a
// function says otherwise; angles are degrees. Thread: every member runs on the UI
// thread; the tiled engine's render worker reaches the document only through the
// window's queued signal, delivered to the slot syncUpdatePanoramaView.
//
// Ownership: the engines are released in the destructor, before the host objects they
// use; each entry of m_images / m_thumbnails holds one reference. The call-back
// interfaces (tray, window, panels, crop frame) are not owned and may be null; every
// call through them is skipped when they are.
#pragma once

#include <functional>
#include <list>
#include <stdexcept>
#include <string>
#include <vector>

#include <QObject>
#include <QString>

#include "document/document_interfaces.h"
#include "document/engine_host.h"
#include "document/page_setup.h"
#include "engine/panorama_interfaces.h"

class QPainter;
class QPrinter;
namespace Printing {
class PrintJob;
}

// How the document makes its two engines. The defaults are the real factories; tests
// hand in their own to use fakes and to count creations. A factory gets the document as
// the pixel-store factory and installs it class-wide as the real ones do.
struct EngineFactories {
    std::function<PanoramaLib::IHVPanorama*(PanoramaLib::IDibManager*)> createHV = PanoramaLib::CreateHVPanoramaObject;
    std::function<PanoramaLib::ITiledPanorama*(PanoramaLib::IDibManager*)> createTiled =
        PanoramaLib::CreateTiledPanoramaObject;
};

// Thrown by PanoramaDoc::setIUserInterface when an engine could not be made: the
// program cannot run without both, so start-up must stop with this message.
class EngineCreationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PanoramaDoc : public QObject,
                    public IGeoToolCallback,
                    public EngineHost,  // PanoramaLib::IDibManager, PanoramaLib::IFreeThreading
                    public Printing::IDocumentPrinting,
                    public IInputPhotos {
    Q_OBJECT

public:
    explicit PanoramaDoc(QObject* parent = nullptr, EngineFactories factories = {});
    ~PanoramaDoc() override;
    PanoramaDoc(const PanoramaDoc&) = delete;
    PanoramaDoc& operator=(const PanoramaDoc&) = delete;

    // ---- Wiring (once, in this order, while the main window is built) -----------------
    void setDocument(IPanoramaDocument* tray) { m_pDocument = tray; }
    // Makes and initialises both engines on the first call; later calls change nothing.
    // Throws EngineCreationError when a factory gives no engine.
    void setIUserInterface(IUserInterfaceEx* ui, PanoramaLib::IProgressIndicator* progress);
    void setIUpdate(IUpdate* update) { m_pUpdate = update; }
    void setICropRect(ICropRect* crop) { m_pCropRect = crop; }
    // Stops and releases both engines, joining the tiled render thread, which calls into
    // the document (its pixel-store factory) until then. The destructor does it too, but
    // only after a derived class's part is gone: an owner of a derived document calls it
    // first. Afterwards the document has no engines; a second call does nothing.
    void releaseEngines();

    // ---- Selected type (what Stitch builds) and built type (what the result is) --------
    void setCurPanoramaType(bool tiled) { m_selectedTiled = tiled; }
    bool getCurPanoramaType() const { return m_selectedTiled; }
    void setPanoramaType(bool tiled) { m_builtTiled = tiled; }
    bool getPanoramaType() const { return m_builtTiled; }

    // ---- Options ----------------------------------------------------------------------
    // The selected engine's options, unchanged.
    void setOptions(const PanoramaLib::PanoramaOptions& options);
    void getOptions(PanoramaLib::PanoramaOptions* options) const;
    // Crop mode (> 0: the result is cropped) into both engines, and the crop frame shown
    // or hidden to match.
    void setCropFlag(int mode);
    int getCropFlag() const { return m_cropMode; }
    void getRenderingSufrace(PanoramaLib::SurfaceRenderingType& type, int& x, int& y, int& z) const;
    void setManualMatchingMode(bool on);
    bool getManualMatchingMode() const { return m_manualMode; }
    void manuallyMatchAllPhotos(bool on);
    bool getmanuallyMatchAllPhotos() const { return m_matchAllPairs; }

    // ---- Cropping ---------------------------------------------------------------------
    // Shows the crop frame (only while a built result waits to be rendered) or hides it
    // and takes its rectangle back into the crop rectangle.
    void activateCropping(bool activate, bool update);

    // ---- Predicates polled by the main window (no side effects) ------------------------
    bool canCreatePanorama() const;
    bool enableStitchDlg() const;
    bool enableBtnSave() const;
    bool enableBtnRender() const;
    bool enableGeoOptions() const;
    // A new build is offered only when something that changes the stitch changed.
    bool enableBtnStitch(const PanoramaLib::PanoramaOptions& wanted) const;

    // ---- Result -----------------------------------------------------------------------
    // The rendered result with pixels, else the preview with pixels, else null; owned by
    // the built engine.
    PanoramaLib::IPanoElement* GetPanorama() const;
    // "W x H, B bits" of the rendered result; empty before a render.
    QString printPanoramaInfo() const;

    // ---- Photo collection and the tray's veto -----------------------------------------
    // A new element loaded from `path` (one reference for the caller), or null when the
    // collection holds the path already or the file cannot be read (message 103 when
    // showError).
    PanoramaLib::IPanoElement* importPicture(std::wstring path, bool showError);
    bool findFile(std::wstring path) const;
    // The first non-null element with exactly this path, its position in *index.
    static PanoramaLib::IPanoElement* _Find_ImageFile(const std::wstring& path,
                                                      const std::vector<PanoramaLib::IPanoElement*>& elements,
                                                      int* index);
    // Brings the collection in line with the tray: keeps what is held, loads what is
    // new, drops what failed (the tray keeps it).
    void verifyPictureCollection();
    // true when all photos share one size (or its 90-degree turn); otherwise removes the
    // odd ones from the tray and answers false.
    bool verifyDifferentImagesSizes();
    bool continueModification(const QStringList* added, const QStringList* removed, bool force) override;
    // 1: go ahead (asked or not), 0: the user said No.
    int askAboutSrcPhotoListChanging();
    // Throws the results away when the photo list changed since they were built.
    void freePanorama();

    // ---- Commands ---------------------------------------------------------------------
    void setTaskMode(TaskMode mode);
    TaskMode taskMode() const { return m_taskMode; }
    bool onBtnStitch();
    bool createPanorama(bool horizontalVertical);
    // Full-size render with the user's crop; true when the result is what was asked.
    // A crop that cannot be made leaves the render to be made again (message 104).
    bool onBtnRender();
    // Writes the rendered result; the type follows the suffix. On failure answers false
    // with a reason for the user in *reason (may be null); a file already at `path`
    // stays as it was. The writing itself, which takes seconds for a large result, goes
    // through `runWrite` when given (which may run it on another thread and answers its
    // result); the checks before and after stay on the calling thread.
    bool doPanoramaSave(const std::wstring& path, QString* reason = nullptr,
                        const std::function<bool(const std::function<bool()>&)>& runWrite = {});
    // true when `path` is a photo of the collection or of the tray, also when named by
    // another spelling (a link, "..", a hard link): saving there would destroy the photo.
    bool isSourcePhoto(const std::wstring& path) const;
    void setRenderSurface(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool async, bool fast);
    void fastRenderingHasFinished();
    void forceRebuildRect() { m_rebuildCropRect = true; }

    // ---- Printing (panorama_doc_print.cpp; device pixels of the printer) ----------------
    // Pages the setup needs for the rendered result, by the print direction; stores the
    // result's size and a missing print size in the setup. 1 without a rendered result.
    int calcMaxPage(QPrinter* printer, Printing::PageSetup* setup) override;
    int calcMaxPage_H(const QPrinter* printer, Printing::PageSetup* setup);
    int calcMaxPage_V(const QPrinter* printer, Printing::PageSetup* setup);
    // The rendered result's pixels for one print job, fetched once for all its pages;
    // an empty job (blank pages) when nothing printable is held.
    Printing::PrintJob printJob() const;
    // Draws page (1-based) of the job on a painter active on the printer; blank when the
    // result is gone or the photo list changed since it was built.
    void printPage(const Printing::PrintJob& job, int page, QPainter* painter, QPrinter* printer,
                   const Printing::PageSetup* setup);
    void printHorzPage(const Printing::PrintJob& job, int page, QPainter* painter, QPrinter* printer,
                       const Printing::PageSetup* setup);
    void printVertPage(const Printing::PrintJob& job, int page, QPainter* painter, QPrinter* printer,
                       const Printing::PageSetup* setup);

    // ---- IGeoToolCallback (the view's rotate-and-tilt tool) ----------------------------
    bool EnableGeo(IGeoTool* tool) override;
    void StartGeoTracking(IGeoTool* tool) override;
    void DoTrackGeo(IGeoTool* tool, int dx, int dy) override;
    void DoRotateGeo(IGeoTool* tool, int degrees) override;

    // ---- Access for the window's neighbours and for tests ------------------------------
    PanoramaLib::IHVPanorama* hvPanorama() const { return m_pHVPanorama; }
    PanoramaLib::ITiledPanorama* tiledPanorama() const { return m_pTiledPanorama; }
    // The engine of the last build (the tiled one when m_builtTiled); null before wiring.
    PanoramaLib::IPanorama* builtEngine() const;
    const std::vector<PanoramaLib::IPanoElement*>& images() const { return m_images; }
    const std::vector<PanoramaLib::IPanoElement*>& thumbnails() const { return m_thumbnails; }
    const VarnoBase::Rect& cropRect() const { return m_cropRect; }
    bool listChanged() const { return m_listChanged; }
    bool horizontalPrint() const { return m_horizontalPrint; }

    // Read and written directly by the main window (settings and preferences).
    bool m_dontShowWarning = false;  // the warning's "Don't show this message again"
    bool m_compressTiff = false;     // save TIFF files compressed
    int m_jpegQuality = 75;          // JPEG quality on save

public slots:
    // The tiled engine's view update, queued to the UI thread by the main window:
    // (1, 1) gives the crop frame the engine's crop unless it was given that crop
    // already; anything else goes to the engine, and a crop that changes there goes to
    // the frame at once (its (1, 1) then does nothing more).
    void syncUpdatePanoramaView(long wParam, long lParam);

protected:
    // The one modal question of the document: runs the "Warning" dialog and answers 1
    // for Yes, 0 for No, with the state of its check box in dontShow. Tests override it.
    virtual int runAboutToChangeDialog(bool& dontShow);

private:
    PanoramaLib::IPanorama* selectedEngine() const;
    bool createPanoramaAutomatically();
    bool createPanoramaManually();
    bool createTiledPanorama();
    // Shared steps of the three builds.
    bool readyToBuild();
    void setBuildCrop(PanoramaLib::IPanorama* engine, bool crop);
    void takeCropRectFrom(PanoramaLib::IPanorama* engine, bool updateView = true);
    // When the tiled engine's crop is no longer `before` (it made a new one and posted
    // (1, 1) for it), the frame takes it now and that (1, 1) is left nothing to do.
    // takeCropRectFrom records what the frame was given in m_frameCrop.
    void takeNewTiledCrop(const VarnoBase::Rect& before, bool updateView);
    // Highlights the in-range unmatched photos while the user is asked; answers the
    // prompt (true when nothing was unmatched or no window is set).
    bool askAboutUnmatched(const PanoramaLib::PanoramaStatus& status);
    // The user's frame scaled from preview width w0 to the rendered result and applied;
    // false when the crop could not be made.
    bool cropRenderedResult(const VarnoBase::Rect& frame, int w0);
    // After a crop that failed: the uncropped result goes and the engine's preview gets
    // its pixels back from the copy taken before the render (when there is one).
    void backToPreview(PanoramaLib::IPanoElement* savedPreview);
    void updateStitchingDialog();
    void updateExportDialog();
    void updatePictureView();
    void updateAllViews(int hint);

    EngineFactories m_factories;
    PanoramaLib::IDibManager* m_previousDibManager = nullptr;  // restored when the document goes

    IPanoramaDocument* m_pDocument = nullptr;
    TaskMode m_taskMode = TaskMode::TaskNone;
    PanoramaLib::IHVPanorama* m_pHVPanorama = nullptr;
    PanoramaLib::ITiledPanorama* m_pTiledPanorama = nullptr;
    std::vector<PanoramaLib::IPanoElement*> m_images;      // tray order, one reference each
    std::vector<PanoramaLib::IPanoElement*> m_thumbnails;  // parallel to m_images, may hold null
    bool m_listChanged = false;
    bool m_builtTiled = false;
    bool m_selectedTiled = false;
    bool m_manualMode = false;
    bool m_retryManually = false;
    bool m_rebuildCropRect = false;
    int m_cropMode = 0;
    bool m_horizontalPrint = true;
    bool m_verifying = false;
    bool m_matchAllPairs = false;
    VarnoBase::Rect m_cropRect;  // preview pixels, shared with the view's crop frame
    // The engine's crop the frame was last given (the frame may have been moved since).
    VarnoBase::Rect m_frameCrop;
    int m_angleX = 0, m_angleY = 0, m_angleZ = 0;
    PanoramaLib::SurfaceRenderingType m_surface = PanoramaLib::SurfaceCylindrical;
    IUpdate* m_pUpdate = nullptr;
    ICropRect* m_pCropRect = nullptr;
    int m_trackX = 0, m_trackY = 0, m_trackZ = 0;  // angles when a geometry drag started
    IUserInterfaceEx* m_pUserInterface = nullptr;
    PanoramaLib::IProgressIndicator* m_pProgress = nullptr;
    // m_threadObjects (the host objects made for the engines) is EngineHost's.
};
