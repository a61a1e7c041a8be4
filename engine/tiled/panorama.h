// The Tiled/Multifocus engine: a mosaic of photos taken in several rows becomes one
// panorama on a cylinder or a sphere.
//
// A build analyses every photo with SIFT on a working copy (reusing earlier analyses of
// the same files), matches every pair with an affine fit, picks the photo with the most
// inlier matches as reference, estimates one rotating pinhole camera per photo by bundle
// adjustment and renders a 20 percent preview. Later surface and orientation changes
// are rendered synchronously or by the background worker (CSRThread); RenderPanorama
// renders the full-size result on the calling thread.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/keypoints.h"
#include "core/match_graph.h"
#include "core/pano_element.h"
#include "core/pair_matching.h"
#include "engine/panorama_interfaces.h"
#include "engine/tiled/camera_params.h"
#include "engine/tiled/render_thread.h"
#include "engine/tiled/surface.h"

namespace Tiled_Panorama {

// Takes the analysis record of the photo with this path out of the previous build's
// lists (the slot becomes null); null when there is none or it is not a complete
// analysis of one photo.
CImageDataBase* ExtractImageDescriptor(const std::wstring& path, const std::vector<CPanoElement*>& oldPhotos,
                                       std::vector<CImageDataBase*>& oldRecords);

// Plausibility of a transform H fitted from photo a (sizeA) to photo b (sizeB); true
// when H is unusable. BadTransform2 carries b's corners back into a's frame through
// the inverse of H: their box must stay inside the 16-bit coordinate range, keep a
// positive width and height and stay within a factor of 5 of a's size. BadTransform1
// asks it in both directions (the second with the sizes swapped and the inverse of H),
// so a transform that blows either photo up or collapses it is refused.
bool BadTransform2(const VarnoBase::Size& sizeA, const VarnoBase::Size& sizeB, const double H[3][3]);
bool BadTransform1(const VarnoBase::Size& sizeA, const VarnoBase::Size& sizeB, const double H[3][3]);

class CPanorama : public PanoramaLib::ITiledPanorama {
public:
    // Throws std::bad_alloc when its elements cannot be made.
    CPanorama();
    ~CPanorama() override;
    static CPanorama* CreateInstance() noexcept;
    CPanorama(const CPanorama&) = delete;
    CPanorama& operator=(const CPanorama&) = delete;

    // IPanorama
    void Initialize(PanoramaLib::IFreeThreading* threading, PanoramaLib::IWaitCursor* waitCursor,
                    PanoramaLib::IUserInterface* ui) override;
    void Release() override;
    void Set_IProgressIndicator(PanoramaLib::IProgressIndicator* progress) override;
    bool HasBuilt() const override;
    bool BuildPanorama(const std::vector<PanoramaLib::IPanoElement*>& photos,
                       const std::vector<PanoramaLib::IPanoElement*>* previews, int x, int y, int z) override;
    PanoramaLib::IPanoElement* GetPanoramaPreview(bool fallBack) const override;
    PanoramaLib::IPanoElement* GetPanoramaImage() const override;
    const PanoramaLib::PanoramaStatus* GetPanoramaStatus() const override;
    void Free(bool analysis, bool graph) override;
    void FreePanoramaImages() override;
    void SetOptions(const PanoramaLib::PanoramaOptions& options) override;
    void GetOptions(PanoramaLib::PanoramaOptions* options) const override;
    VarnoBase::Rect GetCropRect(bool recompute) override;
    PanoramaLib::IPanoElement* CreateImageThumbnail(PanoramaLib::IPanoElement* photo) override;

    // ITiledPanorama
    bool SetRenderingSurface(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool async,
                             bool fast) override;
    bool FastRenderingHasFinished() override;
    bool RenderPanorama(int x, int y, int z) override;
    void SyncUpdatePanoramaView(long wParam, long lParam) override;
    void Show3DParamsDlg() override {}
    void SetCropRect(const VarnoBase::Rect& r) override;

    // The same as SetRenderingSurface, with its answer (false before a build or when a
    // synchronous render failed).
    bool SetRenderingSurfaceEx(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool async, bool fast);

    // Progress poll for callers that take a plain function (feature extraction): one
    // step on the newest engine; answers the indicator's cancel state.
    static bool AbortProgressCallback();
    // The same for analyses on several threads: the build's own thread polls, the
    // others read the answer it got.
    static bool ParallelAbortCallback();

    class CAutoProgress {
    public:
        CAutoProgress(CPanorama* engine, unsigned captionId, bool withoutAbort);
        ~CAutoProgress();
        CAutoProgress(const CAutoProgress&) = delete;
        CAutoProgress& operator=(const CAutoProgress&) = delete;

    private:
        CPanorama* m_pEngine;
    };

    static std::atomic<CPanorama*> m_pThis;

    // --- analysis and matching ---
    // Appends a photo and its analysis (record may be null: the photo is analysed).
    // Throws panorama_error or panorama_abort.
    void AddImage(CPanoElement* photo, CImageDataBase* record);
    // The records of a build's photos before they are appended: per input index the
    // reusable record taken out of the old lists (in input order, as AddImage's callers
    // took them), else a fresh analysis made here, photos spread over threads (each
    // photo loaded, reduced, analysed and unloaded by one thread). `fresh[i]` marks a
    // photo analysed here: it is unloaded already and its record is complete. A photo
    // without a working copy gets no record (AddImage then fails as usual). Each analysed
    // photo is reported on the calling thread as it ends (ReportAnalysed). Rethrows the
    // first exception of a photo (in input order); panorama_abort when cancelled.
    struct Analyses {
        std::vector<std::unique_ptr<CImageDataBase>> records;
        std::vector<char> fresh;
    };
    Analyses AnalysePhotos(const std::vector<PanoramaLib::IPanoElement*>& photos,
                           const std::vector<CPanoElement*>& oldPhotos, std::vector<CImageDataBase*>& oldRecords);
    // Appends a photo that AnalysePhotos analysed and reported (takes the record).
    void AppendAnalysed(CPanoElement* photo, CImageDataBase* record);
    // The highlight, caption and steps of a photo whose analysis has ended; false when
    // the user cancelled.
    bool ReportAnalysed(CPanoElement* photo);
    bool BuildMatchGraph(match_graph::CGraph* graph);
    int GetWorldImage(match_graph::CGraph* graph);
    // Why the adjusted cameras (m_order, m_params, m_worldParams, m_worstLink, the zooms
    // of m_graph's links) cannot describe their photos (ImplausibleReason); then, when
    // they can, why the surface, prepared with them, cannot hold their picture (laid out
    // at its natural radius, no pixels). Empty when the result may be rendered.
    std::string PlausibilityReason(CCylindricalSurface& s) const;

    // --- state ---
    PanoramaLib::IUserInterface* m_pUserInterface = nullptr;
    PanoramaLib::IProgressIndicator* m_pProgress = nullptr;
    PanoramaLib::IWaitCursor* m_pWaitCursor = nullptr;
    std::vector<CPanoElement*> m_images;         // one reference each
    std::vector<CPanoElement*> m_imagePreviews;  // borrowed from the caller; null entries kept
    match_graph::CGraph m_graph;
    CPanoElement* m_pPreview = nullptr;
    CPanoElement* m_pPanorama = nullptr;
    VarnoBase::Rect m_panoRect;
    VarnoBase::Rect m_cropRect;
    std::vector<CImageDataBase*> m_imageData;  // owned, parallel to m_images
    bool m_bBuilt = false;
    bool m_bCrop = true;
    int m_workSize = 660;
    double m_matchRatio = PanoramaRecognition::kLooseMatchRatio;
    int m_workSizeMode = 1;
    bool m_bLensCompensation = true;
    PanoramaLib::SurfaceRenderingType m_surfaceType = PanoramaLib::SurfaceCylindrical;
    using View = SurfaceView;
    // The surface and angles the full-size pixels of m_pPanorama were rendered with.
    View m_panoramaView;
    // The view of m_pPreview while it is a whole preview (not a part of one still being
    // rendered), and the view of the preview m_cropRect was taken from or the user's
    // frame was drawn over. A full-size render crops by m_cropRect only when both are the
    // view it renders.
    std::optional<View> m_previewView;
    std::optional<View> m_cropView;
    // The crop m_pPreview had before it was flattened, when it was rendered on this
    // thread: without its alpha plane the covered area can no longer be found on it.
    // Unset while the preview is the render worker's, which keeps its alpha.
    std::optional<VarnoBase::Rect> m_flattenedCrop;
    std::atomic<bool> m_bAborted{false};
    int m_progressPos = 0;
    int m_progressMax = 0;
    PanoramaLib::PanoramaStatus m_status;
    int m_lensMode = 1;
    D3Param m_worldParams;
    std::vector<D3Param> m_params;
    bool m_bAdjustOnce = false;
    int m_worldImage = 0;
    std::vector<int> m_order;
    CBundleAdjustment::Misfit m_worstLink;  // of the adjustment that gave m_params
    std::vector<std::vector<const match_graph::CGraphLink*>> m_imageLinks;
    // Optimisations of the bundle adjustment; one left running by a cancel ends on its own
    // and is waited for by the next adjustment or the engine's end.
    std::shared_ptr<LMWorkers> m_optimisers = std::make_shared<LMWorkers>();
    CCylindricalSurface m_cylinder;
    CSphericalSurface m_sphere;
    CSRThread m_renderThread;

    // What the camera parameters were adjusted for: the photo paths and the three
    // options that bundle adjustment reads. Empty when no valid parameters exist.
    struct AdjustedFor {
        std::vector<std::wstring> paths;
        bool lensCompensation = false;
        int lensPolynomial = 0;
        bool adjustOnce = false;
        bool valid = false;
    } m_adjustedFor;

    // Threads of the analysis, the matching, the surface renders on the UI thread and of
    // background jobs (0: one per core); results do not depend on it.
    void SetRenderThreads(int n);
    int m_workThreads = 0;
    std::thread::id m_buildThread;

private:
    bool Stitch(bool changed, bool readjust, int x, int y, int z);
    bool ImageSetChanged(const std::vector<PanoramaLib::IPanoElement*>& photos) const;
    bool SetRenderingSurfaceAsync(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool fast);
    void OpenProgress(bool withoutAbort);
    void Poll();  // one abort poll: throws panorama_abort on a cancel
    bool AdjustmentIsCurrent() const;
    bool DoBundleAdjustment2();  // the cameras of m_images by CBundleAdjustment
    CCylindricalSurface& Surface(PanoramaLib::SurfaceRenderingType type);
    void PrepareSurface(CCylindricalSurface& s, int x, int y, int z, CSurfaceRendering::InterpolationMode mode);
    // Takes the surface's result, rendered for `view`, as the new preview and its crop;
    // false when it has none.
    bool TakePreview(CCylindricalSurface& s, const View& view);
    // Whether m_cropRect is the crop of a whole preview of `view`, which m_pPreview holds.
    bool CropIsOf(const View& view) const;
    // The crop rectangle of m_pPreview (which has pixels): its covered area, flattened or not.
    VarnoBase::Rect PreviewCrop();
    // The reason when the preview's crop rectangle (the whole canvas without auto-crop)
    // is a sliver of the placed photos as they lie on a surface of this radius; empty
    // when it is not.
    std::string SliverReason(double radius) const;
};

// The plausibility of a result is judged on its cameras, never on how a surface
// stretches their photos (rows far above the horizon are stretched on a cylinder, and
// that is what a cylinder does).
//
// Photos from one camera turning about its centre meet where their matches say: the
// adjusted cameras leave 90 % of every link's matches within 0.1 to 0.5 % of the photo's
// longer side on rows, rings and mosaics, 1.3 % where the zoom moved by a few per cent
// between two photos. A link they miss by more than this fraction shows a scene the
// model cannot describe (a flat wall seen from two very different angles: 3 to 4 %), and
// its photos would ghost or fold the result.
inline constexpr double kPlausibleMisalignment = 0.02;
// A lens model that moves a point by more than this fraction of its distance from the
// centre, or turns back on itself within the photo, describes no lens made for straight
// photos.
inline constexpr double kPlausibleLensBend = 0.15;
// The widest straight (rectilinear) lenses take in about 135 degrees across the
// diagonal. A camera that must see its photo wider than this spreads it over far more of
// the surface than its pixels cover: a magnified result, whatever the surface.
inline constexpr double kPlausibleFieldOfView = 150.0;  // degrees, across the diagonal
// Photos zoomed in or out show it in their matches: a feature k times larger in one
// photo than in its neighbour. The focal lengths may spread as far as the matches'
// zooms say; spread further than this factor beyond them, they do not describe the
// photos (a ring drifting in focal length, two photos of a flat scene).
inline constexpr double kPlausibleScale = 4.0;

// One placed photo as the check sees it: its size, its adjusted camera (the shared lens
// terms folded in) and the zoom its matches show against the reference photo (a feature
// `zoom` times as large as there; 1 when no link tells).
struct PlacedPhoto {
    int width = 0, height = 0;
    D3Param camera;
    double zoom = 1.0;
};

// The link the adjusted cameras fit worst: the places of its photos in the result
// (from 1) and the 90th percentile of its matches' misses, in pixels and over the
// photo's longer side.
struct WorstLink {
    long photo1 = 0, photo2 = 0;
    double pixels = 0.0, relative = 0.0;
};

// Why these cameras cannot describe their photos, in this order: a link they miss by
// more than kPlausibleMisalignment, a lens model beyond kPlausibleLensBend, a camera
// that sees its photo wider than kPlausibleFieldOfView, focal lengths spread more than
// kPlausibleScale beyond the zooms their matches show. `lensPolynomial` as
// g_ldPoynomType. Empty when plausible.
std::string ImplausibleReason(const std::vector<PlacedPhoto>& photos, int lensPolynomial, const WorstLink& worst);

// Per photo index, the zoom the graph's links show between each of the placed photos
// and the first of `order` (the reference), through the links with the most inliers
// that join them; 1 for a photo no link reaches. A link's zoom is the square root of
// its transform's area factor.
std::vector<double> LinkZooms(const match_graph::CGraph& graph, const std::vector<int>& order, std::size_t photos);

// Why a stitched area of width x height is a sliver: narrower or lower than a tenth of
// the smallest photo's own size (minWidth x minHeight); empty when it is not.
std::string SliverReason(int width, int height, double minWidth, double minHeight);

}  // namespace Tiled_Panorama
