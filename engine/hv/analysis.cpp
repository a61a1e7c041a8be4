// Photo analysis and pair matching of the Horizontal/Vertical engine.
//
// Every photo is reduced to a working copy, lens-corrected and described by SIFT
// features. Pairs are matched by kd-tree nearest neighbours with the distance-ratio
// test, Hough voting for a similarity, and a robust fit of the chosen motion model to
// each best-voted candidate; an accepted, plausible fit becomes a link of the match
// graph (working-copy pixels of the first photo into the second's).
//
// All pairs are matched in one parallel pass (a tree answers several searches at once),
// in blocks; their links are added in the order of a serial pass, and progress and
// cancellation are polled on the calling thread as each query photo's pairs complete.
#include <algorithm>
#include <atomic>
#include <exception>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

#include "core/pair_matching.h"
#include "core/linalg.h"
#include "core/panorama_exceptions.h"
#include "core/kd_tree.h"
#include "core/robust_fit.h"
#include "core/sift.h"
#include "engine/auto_highlight.h"
#include "engine/hv/analysis.h"
#include "engine/hv/panorama.h"
#include "engine/lens_distortion.h"
#include "engine/manual_matcher.h"
#include "core/parallel.h"

using match_graph::CGraph;
using match_graph::CGraphLink;
using VarnoBase::Point;
using VarnoBase::Size;

namespace {

using PanoramaRecognition::CandidateFit;
using PanoramaRecognition::DescriptorTree;

constexpr int kSiftOctaves = 4;
constexpr int kSiftScales = 2;
constexpr double kSiftContrast = 0.02;
constexpr double kSiftEdgeRatio = 10.0;

// What one best-voted candidate of a pair came to.
struct CandidateOutcome {
    bool passed = false;  // fitted, accepted, below the error limit and plausible
    CandidateFit fit;
};

struct PairOutcome {
    bool skipped = true;        // the database photo has no descriptors
    bool votingFailed = false;  // the voting tables could not be allocated
    std::vector<CandidateOutcome> candidates;  // in candidate order
};

// Matches query photo a against database photo b: voting, best candidates without
// duplicates, one robust fit each, the engine's acceptance. Touches no engine state,
// so pairs run in parallel.
PairOutcome MatchPair(CImageDataBase& queryStore, CImageDataBase& dbStore, kd_tree* tree, const Size& sizeA,
                      const Size& sizeB, int motionModel, double ratio)
{
    PairOutcome out;
    if (dbStore.m_descriptors.empty() || !tree)
        return out;
    out.skipped = false;
    std::vector<CandidateFit> fits;
    if (!PanoramaRecognition::VoteAndFit(queryStore, dbStore, *tree, motionModel, ratio,
                                         PanoramaRecognition::DuplicateRule::DropLater, fits)) {
        out.votingFailed = true;
        return out;
    }
    const double limit = PanoramaRecognition::AcceptanceErrorLimit(motionModel);
    for (CandidateFit& fit : fits) {
        CandidateOutcome cand;
        cand.passed = fit.matched && fit.error < limit && !BadTransform(sizeA, sizeB, fit.m);
        cand.fit = std::move(fit);
        out.candidates.push_back(std::move(cand));
    }
    return out;
}

void FillAutomaticLink(CGraphLink* link, int a, int b, const CandidateFit& fit)
{
    link->id1 = a;
    link->id2 = b;
    Utils::copy_matrix_3x3(link->m, fit.m);
    link->error = fit.error;
    link->inliers = static_cast<int>(fit.keys1.size());
    link->outliers = static_cast<int>(fit.outKeys1.size());
    link->keys1 = fit.keys1;
    link->keys2 = fit.keys2;
}

void FillUserLink(CGraphLink* link, int a, int b, const double (*m)[3])
{
    link->id1 = a;
    link->id2 = b;
    Utils::copy_matrix_3x3(link->m, m);
    link->error = 0.0;
    link->inliers = 0;
    link->outliers = 0;
    link->keys1.clear();
    link->keys2.clear();
}

std::atomic<int> g_matchingThreads{0};

// Memory of one SIFT analysis per working-copy pixel (three pyramids of doubles at twice
// the working copy's resolution, measured).
constexpr std::int64_t kSiftBytesPerPixel = 200;

}  // namespace

void SetMatchingThreads(int threads)
{
    g_matchingThreads = std::max(0, threads);
}

int MatchingThreads() { return g_matchingThreads.load(); }

// ---------------------------------------------------------------------------------
// Reuse of an earlier analysis

CImageDataBase* ExtractImageDescriptor(const std::wstring& path, const std::vector<CPanoElement*>& oldWorking,
                                       std::vector<CImageDataBase*>& oldStores)
{
    if (oldWorking.size() != oldStores.size())
        return nullptr;
    auto find = [&](std::size_t from) -> std::size_t {
        for (std::size_t i = from; i < oldWorking.size(); ++i)
            if (oldWorking[i] && oldWorking[i]->GetPathName() == path)
                return i;
        return oldWorking.size();
    };
    std::size_t i = find(0);
    if (i == oldWorking.size())
        return nullptr;
    CImageDataBase* store = oldStores[i];
    oldStores[i] = nullptr;
    if (!store)
        return nullptr;
    if (store->IsView()) {
        delete store;
        i = find(i + 1);
        if (i == oldWorking.size())
            return nullptr;
        store = oldStores[i];
        oldStores[i] = nullptr;
        if (!store)
            return nullptr;
    }
    // Only a complete analysis is reused: one photo's keys with their descriptors.
    if (store->m_descriptors.empty() || store->m_descriptors.size() != store->m_keys.size() ||
        store->GetObjectCount() != 1 || store->m_objectIndex.size() != store->m_keys.size()) {
        delete store;
        return nullptr;
    }
    return store;
}

void CPanorama::ProgressStep(int k)
{
    if (t_deferredPolls) {
        t_deferredPolls->push_back(k);
        return;
    }
    m_nProgressPos += k;
    if (m_pProgress)
        m_bAborted = m_pProgress->AbortProgressIndicator(m_nProgressMax, m_nProgressPos);
}

// The photo's working copy: the caller's when given, else a reduced copy made here. A
// photo that needed reducing is unloaded again; one that is its own copy stays loaded.
VarnoBase::RefPtr<CPanoElement> CPanorama::WorkingCopyOf(CPanoElement* photo, CPanoElement* working)
{
    VarnoBase::RefPtr<CPanoElement> work;
    if (working) {
        work = working;
        return work;
    }
    photo->Load();
    auto* copy = static_cast<CPanoElement*>(CreateImageThumbnail(photo));
    work.Adopt(copy);
    if (copy && copy != photo)
        photo->Unload();
    return work;
}

void CPanorama::AddImage(CPanoElement* photo, CPanoElement* working, CImageDataBase* store)
{
    std::unique_ptr<CImageDataBase> owned(store);
    m_bLensCopiesPending = true;
    if (!photo)
        throw panorama_error();
    m_bBuilt = false;

    if (!owned) {
        owned.reset(new (std::nothrow) CImageDataBase());
        if (!owned)
            throw panorama_error();
    }

    VarnoBase::RefPtr<CPanoElement> work = WorkingCopyOf(photo, working);
    if (!work || !work->HasBits())
        throw panorama_error();

    CImageDataBase* db = owned.get();
    m_databases.push_back(owned.release());

    CAutoHighlightFile highlight(photo->GetPathName(), m_pUserInterface, false);
    if (m_pProgress)
        m_pProgress->SetProgressCaption(PanoramaLib::kCaptionAnalyzingFile, photo->GetFileName());
    ProgressStep(1);
    if (m_bAborted)
        throw panorama_abort();

    work->Load();
    if (m_bLensCompensation) {
        double value = 0.0;
        CPanoElement* corrected = LensDistortion(work.get(), g_lensType.Factor(m_nLensType), &value, nullptr);
        if (!corrected)
            throw panorama_error();
        work.Adopt(corrected);
    }
    work->SetPathName(photo->GetPathName());

    // A saved analysis holds only for a working copy of the size it was made of, lens
    // correction included: a photo rewritten with another size is analysed again.
    if (db->GetObjectCount() > 0 && db->GetModel(0) != work->GetImageSize()) {
        db = new (std::nothrow) CImageDataBase();
        if (!db)
            throw panorama_error();
        delete m_databases.back();
        m_databases.back() = db;
    }
    const bool analysed = !db->m_descriptors.empty();

    m_scales.push_back(photo->m_scale);
    photo->AddRef();
    m_originals.push_back(photo);
    photo->AddRef();
    m_photos.push_back(photo);
    m_workImages.push_back(work.Detach());
    photo->SetPosition({0, 0});
    m_workImages.back()->SetPosition({0, 0});

    ProgressStep(1);
    if (m_bAborted)
        throw panorama_abort();

    if (!analysed) {
        CPanoElement* w = m_workImages.back();
        try {
            PanoramaRecognition::SIFTKeys(w, kSiftOctaves, kSiftScales, kSiftContrast, kSiftEdgeRatio, db->m_keys,
                                          db->m_descriptors, &CPanorama::AbortProgressCallback);
        } catch (...) {
            // A half-filled store must never be taken for a finished analysis.
            db->Free();
            throw;
        }
        if (m_bAborted)
            db->Free();
        else
            db->SetSingleObject(w->GetImageSize());
    } else {
        ProgressStep(5);
        if (m_bAborted)
            throw panorama_abort();
    }
    if (m_pUserInterface)
        m_pUserInterface->UpdateUserWndInterface();
}

void CPanorama::AddImage(CPanoElement* photo, Prepared& prepared)
{
    m_bLensCopiesPending = true;
    m_bBuilt = false;
    m_databases.push_back(prepared.store.release());
    m_scales.push_back(photo->m_scale);
    photo->AddRef();
    m_originals.push_back(photo);
    photo->AddRef();
    m_photos.push_back(photo);
    m_workImages.push_back(prepared.work.Detach());
    photo->SetPosition({0, 0});
    m_workImages.back()->SetPosition({0, 0});
}

bool CPanorama::ReportAnalysed(CPanoElement* photo)
{
    CAutoHighlightFile highlight(photo->GetPathName(), m_pUserInterface, false);
    if (m_pProgress)
        m_pProgress->SetProgressCaption(PanoramaLib::kCaptionAnalyzingFile, photo->GetFileName());
    ProgressStep(7);  // AddImage's two steps and the analysis' five
    if (m_pUserInterface)
        m_pUserInterface->UpdateUserWndInterface();
    return !m_bAborted;
}

bool CPanorama::ParallelAbortCallback()
{
    CPanorama* engine = m_pThis.load();
    if (!engine)
        return false;
    // The bar does not move here: the photos' steps are counted as they are appended.
    if (std::this_thread::get_id() == engine->m_buildThread && engine->m_pProgress &&
        engine->m_pProgress->AbortProgressIndicator(engine->m_nProgressMax, engine->m_nProgressPos))
        engine->m_bAborted = true;
    return engine->m_bAborted;
}

std::vector<CPanorama::Prepared> CPanorama::PreparePhotos(const std::vector<PanoramaLib::IPanoElement*>& photos,
                                                          const std::vector<PanoramaLib::IPanoElement*>* workingCopies,
                                                          const std::vector<std::size_t>& todo)
{
    std::vector<Prepared> out(todo.size());
    if (todo.empty())
        return out;
    const bool useCopies = workingCopies && workingCopies->size() == photos.size();
    // Memory: a decoded photo, its working copy twice (plain and lens-corrected) and
    // the feature pyramids per thread, within what the full-size render of these
    // photos needs anyway (about twice their decoded size). A count set explicitly holds.
    std::int64_t perThread = 0, decoded = 0;
    for (std::size_t i = 0; i < photos.size(); ++i)
        if (const auto* p = static_cast<const CPanoElement*>(photos[i]))
            decoded += static_cast<std::int64_t>(p->GetWidth()) * p->GetHeight() * 3;
    for (std::size_t i : todo) {
        const auto* p = static_cast<const CPanoElement*>(photos[i]);
        const std::int64_t w = p->GetWidth(), h = p->GetHeight();
        const double s = std::max(1.0, static_cast<double>(std::max(w, h)) / std::max(m_nWorkSize, 1));
        const std::int64_t work = static_cast<std::int64_t>(static_cast<double>(w) / s * static_cast<double>(h) / s);
        perThread = std::max(perThread, w * h * 3 + work * (6 + kSiftBytesPerPixel));
    }
    const int explicitThreads = g_matchingThreads.load();
    const int threads = explicitThreads > 0
                            ? explicitThreads
                            : Utils::ThreadsWithinBudget(perThread, std::max(perThread, 2 * decoded), 0);
    m_buildThread = std::this_thread::get_id();
    std::vector<std::exception_ptr> failures(todo.size());
    // The photo's lens-corrected working copy (null when it has none).
    const auto workingCopy = [&](std::size_t k) -> VarnoBase::RefPtr<CPanoElement> {
        auto* photo = static_cast<CPanoElement*>(photos[todo[k]]);
        auto* working = useCopies ? static_cast<CPanoElement*>((*workingCopies)[todo[k]]) : nullptr;
        VarnoBase::RefPtr<CPanoElement> work = WorkingCopyOf(photo, working);
        if (!work || !work->HasBits())
            return {};
        work->Load();
        if (m_bLensCompensation) {
            double value = 0.0;
            CPanoElement* corrected = LensDistortion(work.get(), g_lensType.Factor(m_nLensType), &value, nullptr);
            if (!corrected)
                return {};
            work.Adopt(corrected);
        }
        work->SetPathName(photo->GetPathName());
        return work;
    };
    const auto analyse = [&](std::size_t k, VarnoBase::RefPtr<CPanoElement> work) {
        if (!work || m_bAborted)
            return;
        std::unique_ptr<CImageDataBase> db(new CImageDataBase());
        PanoramaRecognition::SIFTKeys(work.get(), kSiftOctaves, kSiftScales, kSiftContrast, kSiftEdgeRatio,
                                      db->m_keys, db->m_descriptors, &CPanorama::ParallelAbortCallback);
        if (m_bAborted || !db->SetSingleObject(work->GetImageSize()))
            return;
        out[k].work = std::move(work);
        out[k].store = std::move(db);
    };
    // Exceptions are rethrown below in input order (a cancel, a library failure, or an
    // exception from the host's progress poll).
    const auto guarded = [&](std::size_t k, auto&& step) {
        try {
            step();
        } catch (...) {
            failures[k] = std::current_exception();
        }
    };
    // Each photo is reported on this thread as soon as its analysis ends; a cancel there
    // or a failure leaves the photos not started alone.
    const auto report = [&](std::size_t k) {
        if (failures[k])
            return false;
        return !out[k].store || ReportAnalysed(static_cast<CPanoElement*>(photos[todo[k]]));
    };
    ScaleSpace::PlaneReuse reuse;
    if (threads == 1 && explicitThreads != 1 && todo.size() > 1) {
        // One photo's scale space at a time: the next working copy (decoding, reducing,
        // lens correction) is made on a helper thread while this photo's features are
        // extracted on all cores.
        VarnoBase::RefPtr<CPanoElement> next;
        guarded(0, [&] { next = workingCopy(0); });
        for (std::size_t k = 0; k < todo.size() && !m_bAborted; ++k) {
            VarnoBase::RefPtr<CPanoElement> work = std::move(next);
            std::future<void> ahead;
            if (k + 1 < todo.size()) {
                try {
                    ahead = std::async(std::launch::async, [&, k] { guarded(k + 1, [&] { next = workingCopy(k + 1); }); });
                } catch (const std::system_error&) {
                    guarded(k + 1, [&] { next = workingCopy(k + 1); });  // no thread to be had
                }
            }
            if (!failures[k])
                guarded(k, [&] { analyse(k, std::move(work)); });
            const bool more = report(k);
            if (ahead.valid())
                ahead.get();
            if (!more)
                break;
        }
    } else {
        Utils::ParallelForEachReported(
            todo.size(), threads,
            [&](std::size_t k) {
                if (!m_bAborted)
                    guarded(k, [&] { analyse(k, workingCopy(k)); });
            },
            report);
    }
    for (const std::exception_ptr& e : failures)
        if (e)
            std::rethrow_exception(e);
    if (m_bAborted)
        throw panorama_abort();
    return out;
}

// ---------------------------------------------------------------------------------
// Matching

bool CPanorama::BuildMatchGraph(CGraph* graph)
{
    graph->Free();
    const int n = static_cast<int>(m_workImages.size());
    for (int i = 0; i < n; ++i)
        if (!graph->AddNode(i))
            return false;

    // Leaves the pair loop when a pair's voting tables cannot be allocated.
    struct abort_matching {};
    const double ratio = PanoramaRecognition::MatchRatio(m_nMatchingMode);
    bool completed = false;
    try {
        completed = PanoramaRecognition::MatchPairsInOrder(
            n, g_matchingThreads.load(), [&](int i) { return m_databases[i]; },
            [&](int a, int b, kd_tree* tree) {
                return MatchPair(*m_databases[a], *m_databases[b], tree, m_workImages[a]->GetImageSize(),
                                 m_workImages[b]->GetImageSize(), m_motionModel, ratio);
            },
            [&](int a, int b, const PairOutcome& pair) {
                if (pair.skipped)
                    return true;
                if (pair.votingFailed)
                    throw abort_matching();
                if (m_pUserInterface)
                    m_pUserInterface->UpdateUserWndInterface();
                for (const CandidateOutcome& cand : pair.candidates) {
                    if (m_pUserInterface)
                        m_pUserInterface->UpdateUserWndInterface();
                    if (!cand.passed)
                        continue;
                    CGraphLink* link = graph->AddLink(a, b);
                    if (link)
                        FillAutomaticLink(link, a, b, cand.fit);
                }
                return true;
            },
            [&] { ProgressStep(4); }, [&]() -> bool { return m_bAborted; },
            [&] {  // between two steps, a poll that keeps the bar where it is
                if (!t_deferredPolls && m_pProgress)
                    m_bAborted = m_pProgress->AbortProgressIndicator(m_nProgressMax, m_nProgressPos);
            });
    } catch (const abort_matching&) {
        completed = false;  // the links made so far stay; the trees are gone with the loop
    }
    return completed && !m_bAborted;
}

bool CPanorama::AskUserForPair(CGraph* graph, int a, int b, CGraphLink*& pairLink, bool found)
{
    CPanoElement* workA = m_workImages[a];
    CPanoElement* workB = m_workImages[b];
    CManualMatcher matcher(m_bCyclorama);
    Point markers[3];
    if (found && pairLink && m_databases[a] && m_databases[b] &&
        GetBestThreePoints(pairLink, m_databases[a]->m_keys, m_databases[b]->m_keys, markers))
        matcher.Init(workA->GetImageSize(), workB->GetImageSize(), markers, pairLink->m, m_motionModel);
    else
        matcher.Init(workA->GetImageSize(), workB->GetImageSize(), PanoramaLib::MotionTranslate);
    if (m_pUserInterface->OpenManualMatchingDialog(workA, workB, &matcher) != 0)
        return false;
    double m[3][3];
    matcher.GetTransform(m);
    if (!pairLink)
        pairLink = graph->AddLink(a, b);
    if (pairLink)
        FillUserLink(pairLink, a, b, m);
    return true;
}

bool CPanorama::VotePair(CGraph* graph, int query, int database, std::vector<DescriptorTree>& trees,
              CGraphLink*& pairLink, bool& found)
{
    found = false;
    pairLink = nullptr;
    CImageDataBase* qs = m_databases[query];
    CImageDataBase* ds = m_databases[database];
    if (!qs || !ds || ds->m_descriptors.empty())
        return true;
    if (!trees[database].tree() && !trees[database].Build(*ds))
        return true;
    const double ratio = PanoramaRecognition::MatchRatio(m_nMatchingMode);
    const PairOutcome pair = MatchPair(*qs, *ds, trees[database].tree(),
                                       m_workImages[query]->GetImageSize(),
                                       m_workImages[database]->GetImageSize(), m_motionModel, ratio);
    if (pair.votingFailed)
        return false;
    if (m_pUserInterface)
        m_pUserInterface->UpdateUserWndInterface();
    for (const CandidateOutcome& cand : pair.candidates) {
        if (m_pUserInterface)
            m_pUserInterface->UpdateUserWndInterface();
        if (!cand.passed) {
            found = false;
            continue;
        }
        CGraphLink* link = graph->AddLink(query, database);
        if (!link)
            continue;
        FillAutomaticLink(link, query, database, cand.fit);
        pairLink = link;
        found = true;
    }
    return true;
}


bool CPanorama::BuildMatchGraphManually(CGraph* graph)
{
    graph->Free();
    const int n = static_cast<int>(m_workImages.size());
    for (int i = 0; i < n; ++i)
        if (!graph->AddNode(i))
            return false;

    // Leaves the pair loop when a pair must be asked without a window to ask, or when the
    // user rejects the pair: the links made so far stay.
    struct abort_matching {};
    std::vector<DescriptorTree> trees(static_cast<std::size_t>(n));
    bool result = true;
    try {
        for (int a = 0; a + 1 < n; ++a) {
            const int b = a + 1;
            CGraphLink* pairLink = nullptr;
            bool found = false;
            // A pair whose voting failed for lack of memory is asked for like an unmatched one.
            result = VotePair(graph, a, b, trees, pairLink, found);
            ProgressStep(4);
            if (m_bAborted)
                break;
            if ((!found || m_bAskAllPairs) && (!m_pUserInterface || !AskUserForPair(graph, a, b, pairLink, found)))
                throw abort_matching();
        }
    } catch (const abort_matching&) {
    }
    return !m_bAborted && result;
}

bool CPanorama::AddToMatchGraph(CGraph* graph, int existing, int added)
{
    if (!graph->AddNode(added))
        return false;
    const int n = static_cast<int>(m_workImages.size());
    if (existing < 0 || existing >= n || added < 0 || added >= n)
        return false;

    // Ends the matching of the pair when its voting failed and there is no one to ask,
    // or when it must be asked without a window or the user rejects it: the photo stays
    // unlinked.
    struct abort_matching {};
    std::vector<DescriptorTree> trees(static_cast<std::size_t>(n));
    CGraphLink* pairLink = nullptr;
    bool found = false;
    bool result = true;
    try {
        result = VotePair(graph, added, existing, trees, pairLink, found);
        if (!result && (!m_bManualBuild || !m_pUserInterface))
            throw abort_matching();
        ProgressStep(4);
        if (m_bManualBuild && (!found || m_bAskAllPairs) &&
            (!m_pUserInterface || !AskUserForPair(graph, added, existing, pairLink, found)))
            throw abort_matching();
    } catch (const abort_matching&) {
    }
    return !m_bAborted && result;
}

bool GetBestThreePoints(const CGraphLink* link, const ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& firstKeys,
                        const ScaleSpace::CKeypointArray<ScaleSpace::SIFT>& secondKeys, Point* out)
{
    constexpr double kTiny = 2.2250738585072014e-308;
    if (!link)
        return false;
    const std::size_t count =
        std::min({static_cast<std::size_t>(std::max(link->inliers, 0)), link->keys1.size(), link->keys2.size()});
    if (count < 3)
        return false;

    struct Inlier {
        double x, y, r;
    };
    std::vector<Inlier> pts;
    pts.reserve(count);
    const double (*m)[3] = link->m;
    double rMax = kTiny;
    for (std::size_t i = 0; i < count; ++i) {
        const int ia = link->keys1[i], ib = link->keys2[i];
        if (ia < 0 || ib < 0 || static_cast<std::size_t>(ia) >= firstKeys.size() ||
            static_cast<std::size_t>(ib) >= secondKeys.size())
            return false;
        const ScaleSpace::SIFT* pa = firstKeys[static_cast<std::size_t>(ia)];
        const ScaleSpace::SIFT* pb = secondKeys[static_cast<std::size_t>(ib)];
        const double ex = std::fabs(m[0][0] * pa->x + m[0][1] * pa->y + m[0][2] - pb->x);
        const double ey = std::fabs(m[1][0] * pa->x + m[1][1] * pa->y + m[1][2] - pb->y);
        const double r = ex * ex + ey * ey;
        rMax = std::max(rMax, r);
        pts.push_back({pa->x, pa->y, r});
    }

    std::size_t p1 = 0;
    for (std::size_t i = 1; i < count; ++i)
        if (pts[i].r < pts[p1].r)
            p1 = i;
    const double x1 = std::trunc(pts[p1].x), y1 = std::trunc(pts[p1].y);

    double left = std::trunc(pts[0].x), right = left, top = std::trunc(pts[0].y), bottom = top;
    for (const Inlier& p : pts) {
        left = std::min(left, std::trunc(p.x));
        right = std::max(right, std::trunc(p.x));
        top = std::min(top, std::trunc(p.y));
        bottom = std::max(bottom, std::trunc(p.y));
    }
    const double spanX = std::max(right - x1, x1 - left);
    const double spanY = std::max(bottom - y1, y1 - top);
    const double d = spanX * spanX + spanY * spanY;
    if (!(d > 0.0))
        return false;  // every inlier at one place: no spread to choose markers from

    auto quality = [&](std::size_t i) { return std::clamp((rMax - pts[i].r) / rMax, 0.0, 1.0); };
    auto dist = [&](std::size_t i, double x, double y) {
        return ((x - pts[i].x) * (x - pts[i].x) + (y - pts[i].y) * (y - pts[i].y)) / d;
    };

    std::size_t p2 = count;
    double best = kTiny;
    for (std::size_t i = 0; i < count; ++i) {
        if (i == p1)
            continue;
        const double v = 0.8 * quality(i) + 0.2 * std::clamp(dist(i, pts[p1].x, pts[p1].y), 0.0, 1.0);
        if (v > best) {
            best = v;
            p2 = i;
        }
    }
    if (p2 == count)
        return false;
    std::size_t p3 = count;
    best = kTiny;
    for (std::size_t i = 0; i < count; ++i) {
        if (i == p1 || i == p2)
            continue;
        const double v = 0.8 * quality(i) +
                         0.1 * (std::clamp(dist(i, pts[p1].x, pts[p1].y), 0.0, 1.0) + dist(i, pts[p2].x, pts[p2].y));
        if (v > best) {
            best = v;
            p3 = i;
        }
    }
    if (p3 == count)
        return false;
    out[0] = Point(static_cast<int>(x1), static_cast<int>(y1));
    out[1] = Point(static_cast<int>(pts[p2].x), static_cast<int>(pts[p2].y));
    out[2] = Point(static_cast<int>(pts[p3].x), static_cast<int>(pts[p3].y));
    return true;
}
