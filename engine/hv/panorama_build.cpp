// The build pipeline of the Horizontal/Vertical engine: a build analyses the photos
// (working copies), matches them, places them on one canvas and composites the preview;
// a render repeats the compositing from the full-size photos with the transforms of
// the last build scaled to full-size pixels. Every failure and cancellation ends as a
// build status (or a false render), never as an exception out of the engine.
#include <algorithm>
#include <exception>
#include <functional>
#include <future>
#include <system_error>
#include <new>

#include "core/panorama_exceptions.h"
#include "engine/auto_highlight.h"
#include "engine/hv/analysis.h"
#include "engine/hv/panorama.h"
#include "engine/hv/spline.h"
#include "engine/lens_distortion.h"

using VarnoBase::Rect;

namespace {

// Brackets a clean-up with the host's wait cursor.
class WaitCursorScope {
public:
    explicit WaitCursorScope(PanoramaLib::IWaitCursor* cursor) : m_cursor(cursor)
    {
        if (m_cursor)
            m_cursor->BeginWait();
    }
    ~WaitCursorScope()
    {
        if (m_cursor)
            m_cursor->EndWait();
    }
    WaitCursorScope(const WaitCursorScope&) = delete;
    WaitCursorScope& operator=(const WaitCursorScope&) = delete;

private:
    PanoramaLib::IWaitCursor* m_cursor;
};

}  // namespace

bool CPanorama::Poll(int k)
{
    ProgressStep(k);
    return !m_bAborted;
}

void CPanorama::FillUnmatched()
{
    std::vector<int> engineIndices;
    GetNumOfUnmatchedImages(m_mosaicGraph, m_photos, engineIndices);
    // Engine photo i is input photo m_inputIndex[i]; a ring duplicate (beyond the inputs)
    // is reported as the input count. Input entries that were null never became photos.
    std::vector<int>& out = m_status.unmatchedImages;
    out.clear();
    const int inputs = m_status.nImages;
    for (int i : engineIndices) {
        if (static_cast<std::size_t>(i) < m_inputIndex.size())
            out.push_back(m_inputIndex[i]);
        else
            out.push_back(inputs);
    }
    for (int n : m_nullInputs)
        out.push_back(n);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

void CPanorama::PrepareBuild(const std::vector<PanoramaLib::IPanoElement*>& photos, bool manual)
{
    const int n = static_cast<int>(photos.size()) + (m_bCyclorama ? 1 : 0);
    const int levels = PreviewPass().levels;

    // Saved analysis no longer fits photos corrected with another lens.
    if (m_status.options.bLensCompensation != m_bLensCompensation ||
        (m_bLensCompensation && m_status.options.nLensType != m_nLensType))
        Free(true, true);

    m_status.nImages = static_cast<int>(photos.size());
    m_status.bManual = manual;
    m_status.options.motionModel = m_motionModel;
    m_status.options.bLensCompensation = m_bLensCompensation;
    m_status.options.nLensType = m_nLensType;
    m_status.unmatchedImages.clear();
    m_nProgressPos = 0;
    m_bAborted = false;
    m_nProgressMax = n * (levels + 13) - 2;
}

void CPanorama::AnalysePhotos(const std::vector<PanoramaLib::IPanoElement*>& photos,
                              const std::vector<PanoramaLib::IPanoElement*>* workingCopies)
{
    std::vector<CImageDataBase*> oldStores;
    std::vector<CPanoElement*> oldWork;
    oldStores.swap(m_databases);
    oldWork.swap(m_workImages);
    Free(true, true);
    m_inputIndex.clear();
    m_nullInputs.clear();

    const bool useCopies = workingCopies && workingCopies->size() == photos.size();
    try {
        // Earlier analyses first, in input order; the photos without one are analysed
        // ahead on several threads, then everything is appended in input order.
        std::vector<std::unique_ptr<CImageDataBase>> saved(photos.size());
        std::vector<std::size_t> todo;
        for (std::size_t i = 0; i < photos.size(); ++i) {
            auto* photo = static_cast<CPanoElement*>(photos[i]);
            if (!photo)
                continue;
            saved[i].reset(ExtractImageDescriptor(photo->GetPathName(), oldWork, oldStores));
            bool twice = false;  // one element listed twice is left to AddImage
            for (std::size_t k : todo)
                twice = twice || photos[k] == photos[i];
            if (!saved[i] && !twice)
                todo.push_back(i);
        }
        std::vector<Prepared> prepared = PreparePhotos(photos, workingCopies, todo);
        std::size_t next = 0;  // into todo and prepared
        for (std::size_t i = 0; i < photos.size(); ++i) {
            auto* photo = static_cast<CPanoElement*>(photos[i]);
            if (!photo) {
                m_nullInputs.push_back(static_cast<int>(i));
                continue;
            }
            auto* working = useCopies ? static_cast<CPanoElement*>((*workingCopies)[i]) : nullptr;
            m_inputIndex.push_back(static_cast<int>(i));
            if (next < todo.size() && todo[next] == i && prepared[next].store) {
                AddImage(photo, prepared[next++]);
                continue;
            }
            if (next < todo.size() && todo[next] == i)
                ++next;
            AddImage(photo, working, saved[i].release());
        }
    } catch (...) {
        FreePictureCollection(oldWork);
        for (CImageDataBase* s : oldStores)
            delete s;
        throw;
    }
    FreePictureCollection(oldWork);
    for (CImageDataBase* s : oldStores)
        delete s;
}

template <class Body>
bool CPanorama::RunBuild(bool manual, Body body)
{
    try {
        body();
        return true;
    } catch (const panorama_error&) {
        m_status.nStatus = PanoramaLib::kStatusFailed;
    } catch (const panorama_cannot_build&) {
        m_status.nStatus = PanoramaLib::kStatusNoOverlap;
        FillUnmatched();
        if (!manual) {
            WaitCursorScope wait(m_pWaitCursor);
            if (m_pPreview)
                m_pPreview->FreeImage();
        }
        return false;
    } catch (const std::exception&) {  // out of memory and the like: a failed build
        m_status.nStatus = PanoramaLib::kStatusFailed;
    } catch (...) {  // nothing of any kind leaves the engine
        m_status.nStatus = PanoramaLib::kStatusFailed;
    }
    FillUnmatched();
    if (!manual) {
        WaitCursorScope wait(m_pWaitCursor);
        Free(false, true);
        if (m_pPreview)
            m_pPreview->FreeImage();
    }
    return false;
}

bool CPanorama::BuildPanorama(const std::vector<PanoramaLib::IPanoElement*>& photos,
                              const std::vector<PanoramaLib::IPanoElement*>* workingCopies, int, int, int)
{
    m_rcPatch.setEmpty();
    m_nPatchImage = -1;
    return RunBuild(false, [&] {
        CAutoProgress progress(this, PanoramaLib::kCaptionAnalyzing);
        m_bManualBuild = false;
        if (m_pPreview)
            m_pPreview->FreeImage();
        if (m_pPanorama)
            m_pPanorama->FreeImage();
        if (m_pUserInterface)
            m_pUserInterface->UpdatePictureView(false);
        PrepareBuild(photos, false);
        AnalysePhotos(photos, workingCopies);
        if (!Stitch(true))
            throw panorama_error();
        m_status.nStatus = PanoramaLib::kStatusBuilt;
        FillUnmatched();
        if (m_bCyclorama) {
            const match_graph::CGraphNode* dup = m_matchGraph.FindNode(m_nDuplicate);
            if (m_nDuplicate < 0 || !dup || dup->links.empty())
                m_status.nStatus = PanoramaLib::kStatusRingNotClosed;
            else if (m_bCycloramaCropFailed)
                m_status.nStatus = PanoramaLib::kStatusRingCropFailed;
        }
    });
}

bool CPanorama::BuildPanoramaManually(const std::vector<PanoramaLib::IPanoElement*>& photos,
                                      const std::vector<PanoramaLib::IPanoElement*>* workingCopies,
                                      bool askAllPairs)
{
    m_rcPatch.setEmpty();
    m_nPatchImage = -1;
    return RunBuild(true, [&] {
        CAutoProgress progress(this, PanoramaLib::kCaptionAnalyzing);
        m_bAskAllPairs = askAllPairs;
        m_bManualBuild = true;
        PrepareBuild(photos, true);
        if (m_pPreview)
            m_pPreview->FreeImage();
        if (m_pPanorama)
            m_pPanorama->FreeImage();
        AnalysePhotos(photos, workingCopies);
        if (!Stitch(false))
            throw panorama_error();
        m_status.nStatus = PanoramaLib::kStatusBuilt;
        FillUnmatched();
    });
}

bool CPanorama::Stitch(bool automatic)
{
    const Pass pass = PreviewPass();
    m_nDuplicate = m_nRingEnd = -1;
    m_rotation = AFFINE_MATRIX();
    m_nCentralImage = -1;
    if (m_pPreview)
        m_pPreview->FreeImage();
    if (m_pPanorama)
        m_pPanorama->FreeImage();
    FreePictureCollection(m_transformed);
    m_stitchingLines.clear();

    if (m_pProgress)
        m_pProgress->SetProgressCaption(PanoramaLib::kCaptionMatching);
    if (!(automatic ? BuildMatchGraph(&m_matchGraph) : BuildMatchGraphManually(&m_matchGraph)))
        return false;
    if (m_matchGraph.links.empty())
        throw panorama_cannot_build();

    if (m_pProgress)
        m_pProgress->SetProgressCaption(PanoramaLib::kCaptionStitching);
    if (!Poll(1))
        return false;

    if (!BuildMosaicGraph(&m_mosaicGraph, &m_matchGraph, -1))
        return false;
    m_rcCanvas = CalcCanvasSize(pass, &m_mosaicGraph);
    if (m_rcCanvas.isEmpty())
        throw panorama_cannot_build();

    if (m_bCyclorama) {
        int first = -1;
        GetLastImageInMosaic(pass, &m_mosaicGraph, &first, &m_nRingEnd, m_rcCanvas.width() > m_rcCanvas.height());
        if (first >= 0 && m_nRingEnd >= 0 && first != m_nRingEnd) {
            m_nDuplicate = DuplicateLastImage(true, m_nRingEnd);
            if (m_nDuplicate < 0 || !AddToMatchGraph(&m_matchGraph, first, m_nDuplicate))
                return false;
            m_mosaicGraph.Free();
            if (!BuildMosaicGraph(&m_mosaicGraph, &m_matchGraph, -1))
                return false;
            AverageScaleOfFirstAndLastImgsInCyclorama(pass);
            m_rcCanvas = CalcCanvasSize(pass, &m_mosaicGraph);
            if (m_rcCanvas.isEmpty())
                throw panorama_cannot_build();
        } else {
            m_nDuplicate = m_nRingEnd = -1;
        }
    }

    m_nCentralImage = GetCentralImage(pass, m_rcCanvas);
    if (m_nCentralImage != GetWorldImage(&m_matchGraph)) {
        m_mosaicGraph.Free();
        if (!BuildMosaicGraph(&m_mosaicGraph, &m_matchGraph, m_nCentralImage))
            return false;
        if (m_bCyclorama)
            AverageScaleOfFirstAndLastImgsInCyclorama(pass);
        m_rcCanvas = CalcCanvasSize(pass, &m_mosaicGraph);
    }
    if (m_rcCanvas.isEmpty())
        throw panorama_cannot_build();

    if (m_bCyclorama && m_nDuplicate >= 0 && m_nRingEnd >= 0) {
        CalcPanoRotationTransform(pass, m_nDuplicate, m_nRingEnd, m_rotation);
        RotatePanorama(m_rotation);
        m_rcCanvas = CalcCanvasSize(pass, &m_mosaicGraph);
        if (m_rcCanvas.isEmpty())
            throw panorama_cannot_build();
    }

    m_nBitsPerPixel = 24;
    if (!m_pPreview || !m_pPreview->CreateImage(24, m_rcCanvas.width(), m_rcCanvas.height()))
        throw panorama_cannot_build();
    m_pPreview->m_position = {0, 0};
    m_pPreview->AddAlphaChannel(false);
    if (!m_pPreview->m_pAlpha)
        throw panorama_cannot_build();
    m_pPreview->FillWhiteColor();

    m_stitchingLines.assign(m_photos.size(), CStitchingLine());
    if (!StitchImages(pass))
        return false;

    m_rcCrop = m_pPreview->GetCropRect(0);
    if (m_bAutoCrop)
        CropTo(m_rcCrop);
    else
        m_pPreview->FlattenImage();
    if (!Poll(1))
        return false;

    m_lensPending.assign(m_workImages.size(), false);
    m_bBuilt = true;
    return true;
}

bool CPanorama::CorrectLens(int i)
{
    if (!m_status.options.bLensCompensation || static_cast<std::size_t>(i) >= m_lensPending.size() ||
        !m_lensPending[i]) {
        Poll(2);  // the answer is only stored here
        return true;
    }
    CPanoElement* input = m_originals[i];
    CPanoElement* copy = m_photos[i];
    if (!input || !copy)
        return false;
    input->Load();
    double scale = 0.0;
    bool ok = false;
    try {
        ok = LensDistortion(copy, input, g_lensType.Factor(m_status.options.nLensType), &scale,
                            &CPanorama::AbortProgressCallback);
    } catch (...) {
        // A half-corrected copy keeps its pixels and would refuse every later correction.
        input->Unload();
        copy->Unload();
        throw;
    }
    input->Unload();
    m_lensPending[i] = false;
    if (!ok) {
        copy->Unload();
        return false;
    }
    return true;
}

bool CPanorama::StitchImages(const Pass& pass)
{
    m_stitchOrder.clear();
    if (m_mosaicGraph.nodes.empty())
        return false;
    const bool fullSize = pass.fullSize;
    const std::vector<CPanoElement*>& photos = pass.photos;
    std::vector<CPanoElement*>& warped = pass.warped;
    FreePictureCollection(warped);
    warped.assign(photos.size(), nullptr);
    const int levels = pass.levels;

    const int root = m_mosaicGraph.nodes.front()->id;
    if (root < 0 || static_cast<std::size_t>(root) >= photos.size() || !photos[root])
        return false;
    if (fullSize) {
        if (!CorrectLens(root))
            return false;
    }
    photos[root]->Load();
    // The next photo is prepared on a helper thread while this one is finished: its lens
    // correction (full size) while this one's seam and exposure are set, its warp while
    // this one is written and blended. Each stage runs between two progress polls and
    // is joined before the next one, so at every poll of the full-size pass at most one
    // photo of each kind (input, corrected copy, warped) holds pixels, as in the serial
    // pass. The helper's polls are replayed in their serial place; an explicit thread
    // count of 1 keeps the serial pass.
    struct WarpAhead {
        WarpAhead(CPanorama& e, const Pass& p, bool a) : engine(e), pass(p), allowed(a) {}

        CPanorama& engine;
        const Pass& pass;
        bool allowed;
        int photo = -1;       // the photo prepared ahead, until its turn
        bool lensOk = false;  // its lens correction went well (or was not needed)
        bool warped = false;  // its warp has run ...
        bool warpOk = false;  // ... and went well
        std::exception_ptr failure;
        std::vector<int> polls;
        std::future<void> job;

        // Stage one (and two when `warpToo`) for mosaic node n's photo, unless it shares
        // its element with `current`.
        void Begin(std::size_t n, int current, bool warpToo)
        {
            const auto& nodes = engine.m_mosaicGraph.nodes;
            if (!allowed || n >= nodes.size() || nodes[n]->links.empty())
                return;
            const int j = nodes[n]->links.front()->id2;
            if (j < 0 || static_cast<std::size_t>(j) >= pass.photos.size() || !pass.photos[j] ||
                pass.photos[j] == pass.photos[static_cast<std::size_t>(current)])
                return;
            polls.clear();
            lensOk = warped = warpOk = false;
            failure = nullptr;
            if (Launch([this, j, warpToo] {
                    lensOk = !pass.fullSize || engine.CorrectLens(j);
                    if (warpToo && lensOk)
                        Warp(j);
                }))
                photo = j;
        }
        // Stage two, once stage one is joined.
        void Continue()
        {
            if (photo >= 0 && lensOk && !warped && !failure)
                Launch([this] { Warp(photo); });
        }
        void Warp(int j)
        {
            warpOk = engine.WarpLoaded(pass, j);
            warped = true;
        }
        bool Launch(std::function<void()> fn)
        {
            try {
                job = std::async(std::launch::async, [this, fn = std::move(fn)] {
                    t_deferredPolls = &polls;
                    try {
                        fn();
                    } catch (...) {
                        failure = std::current_exception();
                    }
                    t_deferredPolls = nullptr;
                });
                return true;
            } catch (const std::system_error&) {
                return false;  // no thread to be had: the photo is done in its turn
            }
        }
        void Join()
        {
            if (job.valid())
                job.get();
        }
        ~WarpAhead() { Join(); }
    } ahead(*this, pass, MatchingThreads() != 1);
    ahead.Begin(1, root, true);
    {
        CAutoHighlightFile highlight(photos[root]->GetPathName(), m_pUserInterface, fullSize);
        Rect changed;
        if (!SewDownWorldImage(pass, root, photos[root], &changed))
            return false;
    }
    if (fullSize) {
        photos[root]->Unload();
        PanoramaLib::IPanoElement::SafeRelease(warped[root]);
        warped[root] = nullptr;
    }
    ahead.Join();
    const long long skipped =
        static_cast<long long>(levels + 2) *
        (static_cast<long long>(photos.size()) - static_cast<long long>(m_mosaicGraph.nodes.size()) + 1);
    if (skipped != 0 && !Poll(static_cast<int>(skipped)))
        return false;
    m_stitchOrder.push_back(root);

    for (std::size_t n = 1; n < m_mosaicGraph.nodes.size(); ++n) {
        const match_graph::CGraphNode* node = m_mosaicGraph.nodes[n];
        if (node->links.empty())
            return false;
        const int i = node->links.front()->id2;
        if (i < 0 || static_cast<std::size_t>(i) >= photos.size() || !photos[i])
            return false;
        CAutoHighlightFile highlight(photos[i]->GetPathName(), m_pUserInterface, fullSize);
        bool warpedOk = false;
        if (ahead.photo == i) {
            ahead.photo = -1;
            if (!ReplayPolls(ahead.polls))
                return false;
            if (ahead.failure)
                std::rethrow_exception(ahead.failure);
            if (!ahead.lensOk)
                return false;
            warpedOk = ahead.warped ? ahead.warpOk : WarpLoaded(pass, i);
        } else {
            warpedOk = (!fullSize || CorrectLens(i)) && WarpLoaded(pass, i);
        }
        if (!warpedOk)
            return false;  // a photo left out must not pass for a finished panorama
        if (i == m_nPatchImage)
            PatchOrgTransfImage(pass);
        if (!Poll(1))
            return false;
        ahead.Begin(n + 1, i, !fullSize);
        warped[i]->CreateBitmaskFromAlpha();
        if (g_fDoSmartBlending1) {
            if (!(fullSize ? ExpandStichingLine(pass, i) : BuildStichingLine(pass, i)))
                return false;
        }
        const bool compose = ComposesInRing(i);
        if (g_fDoSmartBlending1 && compose)
            GradientAverage(pass, i);
        ahead.Join();
        if (!Poll(1))
            return false;
        ahead.Continue();
        MultiresolutionSpline::CSplineRGB spline;
        if (compose) {
            if (m_bSmartBlending)
                InitBlurStitchingLine(pass, i, spline);
            Rect changed;
            SewDownImage(pass, i, &changed);
        }
        if (fullSize) {
            PanoramaLib::IPanoElement::SafeRelease(warped[i]);
            warped[i] = nullptr;
        }
        if (compose && m_bSmartBlending) {
            spline.InsertResult(pass.target);
            m_rcBlur.setEmpty();
        }
        ahead.Join();
        if (!Poll(levels - 1) || !Poll(1))
            return false;
        m_stitchOrder.push_back(i);
    }
    return true;
}

bool CPanorama::WarpLoaded(const Pass& pass, int i)
{
    pass.photos[i]->Load();
    const bool ok = TransformImage(pass, i);
    if (pass.fullSize)
        pass.photos[i]->Unload();
    return ok;
}

bool CPanorama::ReplayPolls(const std::vector<int>& polls)
{
    for (int k : polls) {
        if (k != kLensPoll)
            ProgressStep(k);  // CorrectLens' own step: only the answer is stored
        else if (AbortProgressCallback())
            return false;
    }
    return true;
}

bool CPanorama::RenderPanorama()
{
    if (m_pPanorama && m_pPanorama->HasBits())
        return true;
    const Pass pass = FullSizePass();
    bool result = false;
    match_graph::CGraph savedMatch, savedMosaic;
    {
        CAutoProgress progress(this, PanoramaLib::kCaptionRendering);
        m_nProgressPos = 0;
        m_bAborted = false;
        m_nProgressMax = static_cast<int>(m_photos.size()) * (pass.levels + 4) + 4;
        try {
            savedMatch = m_matchGraph;
            savedMosaic = m_mosaicGraph;
            // The lens options of the build, not those set since: the working copies the
            // canvas was built from were corrected with them.
            if (m_status.options.bLensCompensation) {
                if (m_bLensCopiesPending) {
                    m_bLensCopiesPending = false;
                    for (std::size_t i = 0; i < m_photos.size(); ++i) {
                        if (m_photos[i]) {
                            m_photos[i]->Unload();
                            m_photos[i]->Release();
                            m_photos[i] = nullptr;
                        }
                        double scale = 0.0;
                        CPanoElement* copy =
                            AllocLensDistortedImage(m_originals[i], g_lensType.Factor(m_status.options.nLensType),
                                                    &scale, &CPanorama::AbortProgressCallback);
                        if (!copy)
                            throw panorama_error();
                        copy->SetPathName(m_originals[i]->GetPathName());
                        copy->m_scale = m_originals[i]->m_scale;
                        m_photos[i] = copy;
                    }
                }
                // Corrected copies drop their pixels after warping; every render fills
                // them again, so a render after a cancelled or finished one is identical.
                m_lensPending.assign(m_photos.size(), true);
            }
            if (!CalcOriginalAffineTransform() || !BuildMosaicGraph(&m_mosaicGraph, &m_matchGraph, m_nCentralImage))
                throw panorama_error();
            if (m_bCyclorama) {
                AverageScaleOfFirstAndLastImgsInCyclorama(pass);
                CalcPanoRotationTransform(pass, m_nDuplicate, m_nRingEnd, m_rotation);
                RotatePanorama(m_rotation);
            }
            if (!Poll(1))
                throw panorama_abort();
            m_rcCanvas = CalcCanvasSize(pass, &m_mosaicGraph);
            CorrectPatchRectForOrigPano();
            m_nBitsPerPixel = 24;
            if (m_rcCanvas.isEmpty() || !m_pPanorama->CreateImage(24, m_rcCanvas.width(), m_rcCanvas.height()))
                throw panorama_error();
            m_pPanorama->m_position = {0, 0};
            m_pPanorama->AddAlphaChannel(false);
            if (!m_pPanorama->m_pAlpha)
                throw panorama_error();
            m_pPanorama->FillWhiteColor();
            if (!Poll(1))
                throw panorama_abort();
            if (!RewarpWorkingCopies())
                throw panorama_error();
            if (!StitchImages(pass))
                throw panorama_error();
            FreePictureCollection(m_fullTransformed);
            if (!Poll(1))
                throw panorama_abort();
            m_rcCrop = m_pPanorama->GetCropRect(0);
            if (m_bAutoCrop)
                CropTo(m_rcCrop);
            else
                m_pPanorama->FlattenImage();
            Poll(1);
            if (m_pPreview)
                m_pPreview->FreeImage();
            FreePictureCollection(m_transformed);
            // The match graph stays in working-copy pixels: a later render converts again.
            m_matchGraph = savedMatch;
            result = true;
        } catch (...) {
            // Any failure (our own errors, a cancel, out of memory, a library's exception)
            // leaves the render undone: the graphs and the canvas go back below.
        }
        if (!result) {
            m_matchGraph = savedMatch;
            m_mosaicGraph = savedMosaic;
            m_pPanorama->FreeImage();
        }
    }
    FreePictureCollection(m_fullTransformed);
    m_rcPatch.setEmpty();
    m_nPatchImage = -1;
    return result;
}

bool CPanorama::RewarpWorkingCopies()
{
    // The full-size seams are scaled from the working-size warped photos, which a
    // finished render releases; a later render warps the working copies again.
    const Pass preview = PreviewPass();
    bool ok = true;
    for (std::size_t n = 1; n < m_mosaicGraph.nodes.size() && ok; ++n) {
        const int j = m_mosaicGraph.nodes[n]->id;
        if (j < 0 || static_cast<std::size_t>(j) >= m_workImages.size() || !m_workImages[j])
            continue;
        if (static_cast<std::size_t>(j) < m_transformed.size() && m_transformed[j])
            continue;
        CPanoElement* work = m_workImages[j];
        const bool wasLoaded = work->HasBits();
        work->Load();
        ok = TransformImage(preview, j);
        if (!wasLoaded)
            work->Unload();
    }
    return ok;
}

bool CPanorama::CropTo(const Rect& rect)
{
    CPanoElement* target = nullptr;
    if (m_pPanorama && m_pPanorama->HasBits())
        target = m_pPanorama;
    else if (m_pPreview && m_pPreview->HasBits())
        target = m_pPreview;
    if (!target)
        return false;
    if (rect == target->GetImageRect()) {
        target->FlattenImage();
        return true;
    }
    VarnoBase::RefPtr<CPanoElement> cut;
    cut.Adopt(target->CutRectangle(rect, false));
    if (!cut) {
        target->FlattenImage();  // uncropped, but white where nothing was stitched
        return false;
    }
    target->FreeAlphaChannel();
    const bool ok = target->FromImage(cut.get());
    cut = nullptr;
    target->m_position = {0, 0};
    if (!ok)
        target->FlattenImage();
    return ok;
}

bool CPanorama::CropPanorama(const Rect& rect)
{
    return CropTo(rect);
}

void CPanorama::SetPatchRect(const Rect& rect)
{
    m_rcPatch = rect;
    m_nPatchImage = -1;
    if (!rect.isEmpty())
        PatchPano(rect);
}

void CPanorama::PatchPano(Rect rect)
{
    const Pass pass = PreviewPass();
    const std::vector<CPanoElement*>& warped = pass.warped;
    std::vector<std::pair<int, Rect>> candidates;
    for (std::size_t i = 0; i < warped.size(); ++i) {
        if (!warped[i])
            continue;
        const Rect meet = warped[i]->GetImageRect() & rect;
        if (!meet.isEmpty())
            candidates.emplace_back(static_cast<int>(i), meet);
    }
    if (candidates.size() < 2)
        return;
    int upper = -1;
    Rect upperMeet;
    for (int s : m_stitchOrder) {
        auto it = std::find_if(candidates.begin(), candidates.end(), [s](const auto& c) { return c.first == s; });
        if (it != candidates.end()) {
            upper = it->first;
            upperMeet = it->second;
            candidates.erase(it);
            break;
        }
    }
    if (upper < 0 || candidates.empty())
        return;
    const int lower = candidates.front().first;
    m_nPatchImage = lower;
    if (lower == upper)
        return;
    RebuildTransformImages(pass);
    CPanoElement* up = warped[upper];
    CPanoElement* low = warped[lower];
    if (!up || !low)
        return;
    const Rect lowRect = low->GetImageRect();
    const unsigned char orient =
        static_cast<std::size_t>(lower) < m_stitchingLines.size() ? m_stitchingLines[lower].GetSeamOrient() : 0;
    if (orient & kSeamLeft)
        m_rcPatch.left = std::min(upperMeet.left, lowRect.left);
    else if (orient & kSeamRight)
        m_rcPatch.right = std::max(upperMeet.right, lowRect.right);
    else if (orient & kSeamTop)
        m_rcPatch.top = std::min(upperMeet.top, lowRect.top);
    else if (orient & kSeamBottom)
        m_rcPatch.bottom = std::max(upperMeet.bottom, lowRect.bottom);
    VarnoBase::RefPtr<CPanoElement> cut;
    cut.Adopt(up->CutRectangle(upperMeet, true));
    if (cut) {
        const Rect both = cut->GetImageRect() & lowRect;
        low->FillAlphaByValue(both, 0, false);
    }
    RebuildPano(pass, false);
}
