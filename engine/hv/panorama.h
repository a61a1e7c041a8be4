// The Horizontal/Vertical engine object: a row or column of overlapping photos
// becomes one panorama. Its public face is IHVPanorama; everything else is private:
// the state of both passes (the preview pass on reduced working copies, the full-size
// pass on the photos), the working copies, and the build pipeline's stages, each
// handed the pass it works on as a Pass record. Build thread only, but for the photo
// analysis and the look-ahead warp it spreads over threads; tests reach the private
// state through CPanoramaTestAccess (tests/engine/hv_test_access.h).
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "core/geometry.h"
#include "core/keypoints.h"
#include "core/match_graph.h"
#include "core/pano_element.h"
#include "core/resample.h"
#include "engine/blending.h"
#include "engine/hv/stitching_line.h"
#include "engine/panorama_interfaces.h"

namespace MultiresolutionSpline {
class CSplineRGB;
}
namespace PanoramaRecognition {
class DescriptorTree;
}

// A 3x3 transform (canvas pixels to photo pixels); m[r][c] indexes it and it converts
// to double (*)[3] for the matrix helpers.
struct AFFINE_MATRIX {
    using Row = double[3];
    double v[3][3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};

    operator Row*() noexcept { return v; }              // NOLINT(google-explicit-constructor)
    operator const Row*() const noexcept { return v; }  // NOLINT(google-explicit-constructor)
};

class CPanorama : public PanoramaLib::IHVPanorama {
public:
    // Throws std::bad_alloc when the panorama elements cannot be made.
    CPanorama();
    ~CPanorama() override;
    // A new engine, or null when memory is short (for the factory).
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
                       const std::vector<PanoramaLib::IPanoElement*>* workingCopies, int a, int b, int c) override;
    PanoramaLib::IPanoElement* GetPanoramaPreview(bool fallBack) const override;
    PanoramaLib::IPanoElement* GetPanoramaImage() const override;
    const PanoramaLib::PanoramaStatus* GetPanoramaStatus() const override;
    void Free(bool analysis, bool graph) override;
    void FreePanoramaImages() override;
    void SetOptions(const PanoramaLib::PanoramaOptions& options) override;
    void GetOptions(PanoramaLib::PanoramaOptions* options) const override;
    VarnoBase::Rect GetCropRect(bool flag) override;
    PanoramaLib::IPanoElement* CreateImageThumbnail(PanoramaLib::IPanoElement* photo) override;

    // IHVPanorama
    bool BuildPanoramaManually(const std::vector<PanoramaLib::IPanoElement*>& photos,
                               const std::vector<PanoramaLib::IPanoElement*>* workingCopies,
                               bool askAllPairs) override;
    bool RenderPanorama() override;
    bool CropPanorama(const VarnoBase::Rect& r) override;
    void SetPatchRect(const VarnoBase::Rect& r) override;

private:
    // The tests' one way in (tests/engine/hv_test_access.h).
    friend struct CPanoramaTestAccess;

    // Levels of the spline blend for photos `scale` times the working size: 4, plus
    // log2 of the scale.
    static int GetHFreqNumLevels(double scale);

    // Progress poll handed as a plain function pointer to feature extraction and lens
    // correction: counts one step on the current engine and asks its indicator.
    static bool AbortProgressCallback();

    // Opens the engine's progress display (with a caption when id is not 0) and
    // closes it when the scope ends.
    class CAutoProgress {
    public:
        CAutoProgress(CPanorama* engine, unsigned id);
        ~CAutoProgress();
        CAutoProgress(const CAutoProgress&) = delete;
        CAutoProgress& operator=(const CAutoProgress&) = delete;

    private:
        CPanorama* m_pEngine;
    };

    // The one Horizontal/Vertical engine that the abort callback works on; set by
    // every constructor, cleared by the destructor of the engine it points at.
    static std::atomic<CPanorama*> m_pThis;

    // --- state (the stages of a build read and write these) ---
    // Photo lists are indexed by engine photo index (input order without the null
    // entries, a ring's duplicate last); each list holds one reference per element.
    PanoramaLib::IUserInterface* m_pUserInterface = nullptr;
    PanoramaLib::IProgressIndicator* m_pProgress = nullptr;
    PanoramaLib::IWaitCursor* m_pWaitCursor = nullptr;
    std::vector<double> m_scales;             // per photo: full-size pixels per working-copy pixel
    std::vector<CPanoElement*> m_originals;   // the input photos, full-size pixels
    std::vector<CPanoElement*> m_photos;      // the full-size pass's photos (lens-corrected copies or the inputs)
    std::vector<CPanoElement*> m_workImages;  // working copies, working-copy pixels
    match_graph::CGraph m_matchGraph;   // pair links, kept in working-copy pixels (query -> database)
    match_graph::CGraph m_mosaicGraph;  // star around the root: root frame -> photo, the pass's pixels
    std::vector<int> m_stitchOrder;     // engine photo indices in the order the last pass composited them
    std::vector<bool> m_lensPending;    // per photo: its full-size lens-corrected copy still to be filled
    AFFINE_MATRIX m_rotation;  // ring rotation of the root frame (the pass's pixels)
    int m_nDuplicate = -1;     // engine index of the ring's second copy of its end photo; -1 without
    int m_nRingEnd = -1;       // engine index of the ring's end photo (the one copied); -1 without
    std::vector<AFFINE_MATRIX> m_transforms;       // working-size canvas pixels -> working-copy pixels
    std::vector<CPanoElement*> m_transformed;      // warped working copies, working-size canvas pixels
    std::vector<CStitchingLine> m_stitchingLines;  // per photo: its seams, pixels of its warped working copy
    std::vector<AFFINE_MATRIX> m_fullTransforms;   // full-size canvas pixels -> full-size photo pixels
    std::vector<CPanoElement*> m_fullTransformed;  // warped full-size photos, full-size canvas pixels
    CPanoElement* m_pPreview = nullptr;   // the preview, working-size canvas pixels (cropped with auto crop)
    CPanoElement* m_pPanorama = nullptr;  // the result, full-size canvas pixels (cropped with auto crop)
    int m_nBitsPerPixel = 24;             // of the panorama images
    VarnoBase::Rect m_rcCanvas;  // the pass's canvas in root-frame pixels
    int m_nCentralImage = -1;    // engine index of the photo nearest the canvas centre: the root
    VarnoBase::Rect m_rcCrop;    // automatic crop, the pass's canvas pixels
    std::vector<CImageDataBase*> m_databases;  // per photo: its features in working-copy pixels; owned
    bool m_bBuilt = false;
    bool m_bLensCopiesPending = true;  // the full-size lens-corrected copies are still to be made
    bool m_bAutoCrop = true;
    int m_nWorkSize = 660;  // longest side of a working copy, pixels
    int m_nMatchingMode = 1;
    int m_nPreviewQuality = 1;
    PanoramaLib::MotionModel m_motionModel = PanoramaLib::MotionTranslate;
    bool m_bLensCompensation = true;
    int m_nLensType = 7;  // index into the lens table
    bool m_bGradientAverageMode = true;
    double m_dSeamSigma = 2.0;  // blur of the seam search's difference image, pixels
    bool m_bSmartBlending = true;
    VarnoBase::Rect m_rcBlur;  // the spline's blend zone, the pass's canvas pixels
    std::atomic<bool> m_bAborted{false};
    int m_nProgressPos = 0;  // progress steps done
    int m_nProgressMax = 0;  // progress steps of the whole build or render
    PanoramaLib::PanoramaStatus m_status;
    bool m_bAskAllPairs = false;
    bool m_bManualBuild = false;
    bool m_bCyclorama = false;
    bool m_bCycloramaCropFailed = false;
    VarnoBase::Rect m_rcPatch;  // working-size canvas pixels until carried to the full-size canvas
    int m_nPatchImage = -1;     // engine index of the photo the patch cuts away; -1 without

    // A photo's lens-corrected working copy (the given one when there is one).
    VarnoBase::RefPtr<CPanoElement> WorkingCopyOf(CPanoElement* photo, CPanoElement* working);

    // --- photo analysis and matching (working-copy pixels) ---
    // Counts k progress steps and stores the host's cancel answer in m_bAborted.
    void ProgressStep(int k);
    // Analyses one photo and appends it to the per-photo lists; throws panorama_error
    // or panorama_abort. Takes ownership of `store` (may be null).
    void AddImage(CPanoElement* photo, CPanoElement* working, CImageDataBase* store);
    // A photo's lens-corrected working copy and its finished analysis, made ahead of
    // AddImage on another thread and reported when made; AddImage then only appends them.
    struct Prepared {
        VarnoBase::RefPtr<CPanoElement> work;
        std::unique_ptr<CImageDataBase> store;
    };
    void AddImage(CPanoElement* photo, Prepared& prepared);
    // The highlight, caption and steps of a photo whose analysis has ended; false when
    // the user cancelled.
    bool ReportAnalysed(CPanoElement* photo);
    // The same work for every photo of `todo` (input indices), photos spread over
    // threads, each reported on the calling thread as it ends; an entry stays empty when
    // its photo could not be prepared (AddImage then tries again). Throws panorama_abort
    // when cancelled.
    std::vector<Prepared> PreparePhotos(const std::vector<PanoramaLib::IPanoElement*>& photos,
                                        const std::vector<PanoramaLib::IPanoElement*>* workingCopies,
                                        const std::vector<std::size_t>& todo);
    // Abort poll for analyses on several threads: the build's thread asks the host
    // (without moving the bar), the others read its answer.
    static bool ParallelAbortCallback();
    std::thread::id m_buildThread;
    bool BuildMatchGraph(match_graph::CGraph* graph);
    bool BuildMatchGraphManually(match_graph::CGraph* graph);
    bool AddToMatchGraph(match_graph::CGraph* graph, int existing, int added);
    // Votes and fits pair (query, database) and adds a link per passing candidate; reports
    // whether the last candidate passed (found) and the last link added. false when the
    // voting tables could not be allocated.
    bool VotePair(match_graph::CGraph* graph, int query, int database,
                  std::vector<PanoramaRecognition::DescriptorTree>& trees, match_graph::CGraphLink*& pairLink,
                  bool& found);
    // Asks the user for the markers of pair (a, b) through the matching dialog, starting
    // from the pair's automatic link when one was found. false: the user rejected it.
    // On acceptance the pair's link (made when missing) holds the user's transform.
    bool AskUserForPair(match_graph::CGraph* graph, int a, int b, match_graph::CGraphLink*& pairLink, bool found);

    // --- the pass record ---
    // One pass over the mosaic, handed to each stage that places, warps, seams or sews:
    // the preview pass works on the working copies at working size, the full-size pass
    // on the (lens-corrected) full-size photos. The lists are the engine's own; the
    // record only says which of them a stage works on.
    struct Pass {
        std::vector<CPanoElement*>& photos;      // the pass's photos by engine index, their own pixels
        std::vector<AFFINE_MATRIX>& transforms;  // the pass's canvas pixels -> its photo pixels
        std::vector<CPanoElement*>& warped;      // the photos warped onto the canvas, canvas pixels; owned
        CPanoElement* target;                    // the image composited: the preview or the full-size panorama
        bool fullSize;                           // true in the full-size pass
        int levels;                              // levels of the spline blend

        // Photo i's size in its own pixels; empty when it has none.
        VarnoBase::Size PhotoSize(int i) const;
    };
    Pass PreviewPass();
    Pass FullSizePass();

    // --- mosaic geometry (root frame, canvas pixels) ---
    int GetWorldImage(match_graph::CGraph* match);
    bool BuildMosaicGraph(match_graph::CGraph* mosaic, match_graph::CGraph* match, int root);
    VarnoBase::Rect CalcCanvasSize(const Pass& pass, match_graph::CGraph* mosaic);
    int GetCentralImage(const Pass& pass, const VarnoBase::Rect& canvas);
    void GetLastImageInMosaic(const Pass& pass, match_graph::CGraph* mosaic, int* first, int* last, bool horizontal);
    int DuplicateLastImage(bool append, int index);
    bool TestCyclorama(const Pass& pass);
    void AverageScaleOfFirstAndLastImgsInCyclorama(const Pass& pass);
    bool CalcPanoRotationTransform(const Pass& pass, int dup, int end, double (*r)[3]);
    void RotatePanorama(const double (*r)[3]);
    void CropCyclorama(const Pass& pass, VarnoBase::Rect* canvas);
    bool CalcOriginalAffineTransform();
    int GetNumOfUnmatchedImages(const match_graph::CGraph& mosaic, const std::vector<CPanoElement*>& photos,
                                std::vector<int>& out);
    bool RingCentres(const Pass& pass, int dup, int end, double* x1, double* y1, double* x2, double* y2) const;

    // --- compositing (canvas coordinates) ---
    bool TransformImage(const Pass& pass, int i);
    bool BuildStichingLine(const Pass& pass, int i);
    bool BuildStichingLineT(const Pass& pass, int i);
    // Scales photo i's working-size seams onto its full-size warped photo.
    bool ExpandStichingLine(const Pass& fullSize, int i);
    void GradientAverage(const Pass& pass, int i);
    bool InitBlurStitchingLine(const Pass& pass, int i, MultiresolutionSpline::CSplineRGB& spline);
    bool SewDownImage(const Pass& pass, int i, VarnoBase::Rect* changed);
    bool SewDownWorldImage(const Pass& pass, int i, CPanoElement* photo, VarnoBase::Rect* changed);
    bool RebuildPano(const Pass& pass, bool keepSeams);
    bool RebuildTransformImages(const Pass& pass);
    void PatchOrgTransfImage(const Pass& pass);
    void CorrectPatchRectForOrigPano();
    // Whether photo j of a ring is written into the panorama (its seam runs along the ring).
    bool ComposesInRing(int j) const;

    // --- build pipeline ---
    bool Stitch(bool automatic);
    bool StitchImages(const Pass& pass);
    void PatchPano(VarnoBase::Rect rect);
    // Crops the full-size image (when it has pixels) or the preview; a failed cut leaves
    // the whole image flattened.
    bool CropTo(const VarnoBase::Rect& rect);
    // One progress step of k; false when the user cancelled.
    bool Poll(int k);
    // Warps again the working copies whose warped images an earlier render released.
    bool RewarpWorkingCopies();
    // Fills the full-size lens-corrected copy of photo i when it is pending.
    bool CorrectLens(int i);
    // Photo i (lens-corrected when that was pending) warped onto the pass's canvas; a
    // full-size photo drops its pixels again.
    bool WarpLoaded(const Pass& pass, int i);
    // On a helper thread that warps ahead, the progress polls (k > 0: a step of k,
    // kLensPoll: a poll of the lens correction's abort callback) are recorded here
    // instead of reaching the host; ReplayPolls makes them on the build thread, in
    // their serial place, and is false when the lens correction would have stopped.
    static thread_local std::vector<int>* t_deferredPolls;
    static constexpr int kLensPoll = -1;
    bool ReplayPolls(const std::vector<int>& polls);
    void PrepareBuild(const std::vector<PanoramaLib::IPanoElement*>& photos, bool manual);
    void AnalysePhotos(const std::vector<PanoramaLib::IPanoElement*>& photos,
                       const std::vector<PanoramaLib::IPanoElement*>* workingCopies);
    // Runs a build body and turns its exceptions into a status (and clean-up).
    template <class Body>
    bool RunBuild(bool manual, Body body);
    // The status's unmatched list in input indices.
    void FillUnmatched();
    std::vector<int> m_inputIndex;  // engine photo index -> input list index
    std::vector<int> m_nullInputs;  // input entries that were null
};
