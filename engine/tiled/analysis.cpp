// Photo analysis and matching of the tiled engine.
//
// Each photo is reduced to a working copy of at most 660 pixels (by halving), SIFT
// keypoints are found on it and multiplied back into full-size pixels. Every unordered
// pair is matched once, the lower index as the query: kd-tree nearest neighbours with
// the distance-ratio test, Hough voting for a similarity, then a robust least-median
// affine fit of each best-voted candidate. A fit with enough inliers, a small error
// (6 working-copy pixels) and a plausible mapping of the photo corners in both
// directions (BadTransform1) becomes a link of the match graph. All pairs are matched
// in one parallel pass (in blocks, so that a cancel is seen soon); links are added in
// the order of a serial pass.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <thread>

#include "core/kd_tree.h"
#include "core/linalg.h"
#include "core/panorama_exceptions.h"
#include "core/pair_matching.h"
#include "core/resample.h"
#include "core/robust_fit.h"
#include "core/sift.h"
#include "engine/auto_highlight.h"
#include "engine/manual_matcher.h"
#include "core/parallel.h"
#include "engine/tiled/panorama.h"

using match_graph::CGraph;
using match_graph::CGraphLink;
using VarnoBase::Size;

namespace Tiled_Panorama {

namespace {

// Memory of one SIFT analysis per working-copy pixel (three pyramids of doubles at twice
// the working copy's resolution, measured).
constexpr std::int64_t kSiftBytesPerPixel = 200;

using PanoramaRecognition::CandidateFit;
using PanoramaRecognition::DescriptorTree;

struct PairResult {
    bool votingFailed = false;
    bool voted = false;
    std::vector<std::pair<bool, CandidateFit>> candidates;  // (passed, fit) in candidate order
};

// Votes and fits one pair with the affine model; touches no engine state, so pairs run
// in parallel.
PairResult MatchPair(CImageDataBase& query, CImageDataBase& database, kd_tree* tree, const Size& sizeA,
                     const Size& sizeB, double errorLimit, double ratio)
{
    PairResult out;
    if (!tree || database.m_descriptors.empty() || query.m_descriptors.empty())
        return out;
    out.voted = true;
    std::vector<CandidateFit> fits;
    if (!PanoramaRecognition::VoteAndFit(query, database, *tree, PanoramaLib::MotionAffine, ratio,
                                         PanoramaRecognition::DuplicateRule::DropEarlier, fits)) {
        out.votingFailed = true;
        return out;
    }
    for (CandidateFit& fit : fits) {
        const bool passed = fit.matched && fit.error < errorLimit && !BadTransform1(sizeA, sizeB, fit.m);
        out.candidates.emplace_back(passed, std::move(fit));
    }
    return out;
}

// The keypoints of a working copy in full-size pixels: x and y times the photo's
// working-copy scale. The keypoints' scales go with their positions: the similarity a
// match votes for takes its scale from them, and two photos with working copies of
// different scales would otherwise vote for a scale (and a translation) off by the
// ratio of the two.
void ToFullSize(CImageDataBase& db, double scale) noexcept
{
    for (std::size_t i = 0; i < db.m_keys.size(); ++i) {
        ScaleSpace::SIFT& k = *db.m_keys[i];
        k.x *= scale;
        k.y *= scale;
        k.sigma *= scale;
    }
}

// Integer scale-down sizes of the working copy; false when the copy would be empty.
bool WorkingSize(std::int64_t w, std::int64_t h, int L, int mode, std::int64_t& wt, std::int64_t& ht, double& scale)
{
    if (mode == 1) {
        if (h < w) {
            wt = w;
            while (wt > L)
                wt >>= 1;
            if (wt <= 0)
                return false;
            scale = static_cast<double>(w / wt);
            ht = h * wt / w;
        } else {
            ht = h;
            while (ht > L)
                ht >>= 1;
            if (ht <= 0)
                return false;
            scale = static_cast<double>(h / ht);
            wt = w * ht / h;
        }
    } else {
        if (L <= 0)
            return false;
        if (h >= w) {
            ht = L;
            wt = (w * L + h / 2) / h;
            scale = static_cast<double>(h) / L;
        } else {
            wt = L;
            ht = (h * L + w / 2) / w;
            scale = static_cast<double>(w) / L;
        }
    }
    return wt > 0 && ht > 0;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Plausibility of a fitted pair transform

bool BadTransform2(const Size& sizeA, const Size& sizeB, const double H[3][3])
{
    // Photo b's corners carried back into photo a's frame (the test of one direction
    // that the manual matcher uses as well).
    return ::_BadTransform(sizeA, sizeB, H);
}

bool BadTransform1(const Size& sizeA, const Size& sizeB, const double H[3][3])
{
    if (BadTransform2(sizeA, sizeB, H))
        return true;
    double inverse[3][3];
    if (!Utils::pinv3x3(inverse, H))
        return true;
    return BadTransform2(sizeB, sizeA, inverse);
}

// ---------------------------------------------------------------------------------
// Reuse of an earlier analysis

CImageDataBase* ExtractImageDescriptor(const std::wstring& path, const std::vector<CPanoElement*>& oldPhotos,
                                       std::vector<CImageDataBase*>& oldRecords)
{
    if (oldPhotos.size() != oldRecords.size())
        return nullptr;
    auto find = [&](std::size_t from) {
        for (std::size_t i = from; i < oldPhotos.size(); ++i)
            if (oldPhotos[i] && oldPhotos[i]->GetPathName() == path)
                return i;
        return oldPhotos.size();
    };
    std::size_t i = find(0);
    while (i < oldPhotos.size()) {
        CImageDataBase* record = oldRecords[i];
        oldRecords[i] = nullptr;
        if (!record)
            return nullptr;
        if (record->IsView()) {
            delete record;
            i = find(i + 1);
            continue;
        }
        // Only a finished analysis of one photo is reused; an interrupted one may hold
        // keypoints without descriptors or without its object record.
        if (record->m_keys.size() == 0 || record->m_descriptors.size() != record->m_keys.size() ||
            record->GetObjectCount() != 1 || record->m_objectIndex.size() != record->m_keys.size()) {
            delete record;
            return nullptr;
        }
        return record;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------
// Working copy and analysis of one photo

PanoramaLib::IPanoElement* CPanorama::CreateImageThumbnail(PanoramaLib::IPanoElement* photoIf)
{
    auto* photo = dynamic_cast<CPanoElement*>(photoIf);
    if (!photo)
        return nullptr;
    const std::int64_t w = photo->GetWidth(), h = photo->GetHeight();
    if (std::max(w, h) <= m_workSize) {
        photo->AddRef();
        photo->m_scale = 1.0;
        return photo;
    }
    std::int64_t wt = 0, ht = 0;
    double scale = 1.0;
    if (!WorkingSize(w, h, m_workSize, m_workSizeMode, wt, ht, scale))
        return nullptr;
    if (!photo->HasBits() || photo->GetBPP() != 24 || static_cast<std::size_t>(photo->GetBPL()) != Stride24(w))
        return nullptr;
    try {
        std::vector<unsigned char> tmp(Stride24(w) * static_cast<std::size_t>(ht));
        StretchHeight(tmp.data(), photo->GetBits(), static_cast<int>(w), static_cast<int>(h), static_cast<int>(ht));
        VarnoBase::RefPtr<CPanoElement> copy = NewPanoElement(true);
        if (!copy)
            return nullptr;
        if (!copy->CreateImage(true, static_cast<int>(wt), static_cast<int>(ht), true) || !copy->HasBits() ||
            static_cast<std::size_t>(copy->GetBPL()) != Stride24(wt))
            return nullptr;
        StretchWidth(copy->GetBits(), tmp.data(), static_cast<int>(w), static_cast<int>(ht), static_cast<int>(wt));
        copy->SetPathName(photo->GetPathName());
        photo->m_scale = scale;
        return copy.Detach();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void CPanorama::AddImage(CPanoElement* photo, CImageDataBase* given)
{
    std::unique_ptr<CImageDataBase> record(given);
    if (!photo)
        throw panorama_error();
    m_bBuilt = false;
    // A reused analysis must describe a photo of this size (the file may have changed).
    if (record && (record->GetObjectCount() != 1 || record->GetModel(0) != photo->GetImageSize()))
        record.reset();
    const bool reused = record != nullptr;
    if (!record) {
        record.reset(new (std::nothrow) CImageDataBase());
        if (!record)
            throw panorama_error();
    }

    VarnoBase::RefPtr<CPanoElement> work;
    if (reused) {
        // The keypoints are in full-size pixels already; only the scale is needed.
        std::int64_t wt = 0, ht = 0;
        double scale = 1.0;
        const std::int64_t w = photo->GetWidth(), h = photo->GetHeight();
        if (std::max(w, h) > m_workSize && !WorkingSize(w, h, m_workSize, m_workSizeMode, wt, ht, scale))
            throw panorama_error();
        photo->m_scale = scale;
    } else {
        work.Adopt(static_cast<CPanoElement*>(CreateImageThumbnail(photo)));
        if (!work)
            throw panorama_error();
    }
    CImageDataBase* db = record.get();
    m_imageData.push_back(record.release());

    CAutoHighlightFile highlight(photo->GetPathName(), m_pUserInterface, false);
    if (m_pProgress)
        m_pProgress->SetProgressCaption(PanoramaLib::kCaptionAnalyzingFile, photo->GetFileName());
    Poll();
    photo->AddRef();
    m_images.push_back(photo);
    photo->SetPosition({0, 0});
    Poll();

    if (!reused) {
        try {
            PanoramaRecognition::SIFTKeys(work.get(), 4, 2, 0.02, 10.0, db->m_keys, db->m_descriptors,
                                          &CPanorama::AbortProgressCallback);
        } catch (...) {
            db->Free();  // never left half-filled for the next build to reuse
            throw;
        }
        if (m_bAborted) {
            db->Free();
        } else {
            ToFullSize(*db, photo->m_scale);
            if (!db->SetSingleObject(photo->GetImageSize()))
                db->Free();
        }
    } else {
        m_progressPos += 5;
        if (m_pProgress && (m_bAborted = m_pProgress->AbortProgressIndicator(m_progressMax, m_progressPos)))
            throw panorama_abort();
    }
    if (m_pUserInterface)
        m_pUserInterface->UpdateUserWndInterface();
}

void CPanorama::AppendAnalysed(CPanoElement* photo, CImageDataBase* record)
{
    m_bBuilt = false;
    std::unique_ptr<CImageDataBase> owned(record);
    m_imageData.push_back(owned.get());
    owned.release();
    photo->AddRef();
    m_images.push_back(photo);
    photo->SetPosition({0, 0});
}

bool CPanorama::ReportAnalysed(CPanoElement* photo)
{
    CAutoHighlightFile highlight(photo->GetPathName(), m_pUserInterface, false);
    if (m_pProgress)
        m_pProgress->SetProgressCaption(PanoramaLib::kCaptionAnalyzingFile, photo->GetFileName());
    m_progressPos += 7;  // AddImage's two steps and the analysis' five
    if (m_pProgress && m_pProgress->AbortProgressIndicator(m_progressMax, m_progressPos))
        m_bAborted = true;
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
        engine->m_pProgress->AbortProgressIndicator(engine->m_progressMax, engine->m_progressPos))
        engine->m_bAborted = true;
    return engine->m_bAborted;
}

CPanorama::Analyses CPanorama::AnalysePhotos(const std::vector<PanoramaLib::IPanoElement*>& photos,
                                             const std::vector<CPanoElement*>& oldPhotos,
                                             std::vector<CImageDataBase*>& oldRecords)
{
    Analyses out;
    out.records.resize(photos.size());
    out.fresh.assign(photos.size(), 0);
    std::vector<std::size_t> todo;
    std::int64_t perThread = 0, decoded = 0;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        auto* photo = dynamic_cast<CPanoElement*>(photos[i]);
        if (!photo)
            continue;
        const std::int64_t w = photo->GetWidth(), h = photo->GetHeight();
        decoded += w * h * 3;
        out.records[i].reset(ExtractImageDescriptor(photo->GetPathName(), oldPhotos, oldRecords));
        // One element listed twice is analysed by AddImage, never by two threads at once.
        bool twice = false;
        for (std::size_t k : todo)
            twice = twice || photos[k] == photos[i];
        if (!out.records[i] && !twice) {
            todo.push_back(i);
            std::int64_t wt = w, ht = h;
            double scale = 1.0;
            if (std::max(w, h) > m_workSize)
                WorkingSize(w, h, m_workSize, m_workSizeMode, wt, ht, scale);
            perThread = std::max(perThread, w * h * 3 + wt * ht * kSiftBytesPerPixel);
        }
    }
    if (todo.empty())
        return out;
    // Peak memory stays where one photo at a time put it: the analyses running at once
    // fit in what the full-size render of these photos needs anyway (about twice their
    // decoded size: the panorama and its planes). A thread count set explicitly holds.
    const int threads = m_workThreads > 0 ? m_workThreads
                                          : Utils::ThreadsWithinBudget(perThread, std::max(perThread, 2 * decoded), 0);

    m_buildThread = std::this_thread::get_id();
    std::vector<std::unique_ptr<CImageDataBase>> fresh(todo.size());
    std::vector<std::exception_ptr> failures(todo.size());
    // Each photo is reported on this thread as soon as its analysis ends; a cancel there
    // or a failure leaves the photos not started alone.
    const auto report = [&](std::size_t k) {
        if (failures[k])
            return false;
        return !fresh[k] || ReportAnalysed(static_cast<CPanoElement*>(photos[todo[k]]));
    };
    Utils::ParallelForEachReported(todo.size(), threads, [&](std::size_t k) {
        auto* photo = static_cast<CPanoElement*>(photos[todo[k]]);
        if (m_bAborted)
            return;
        try {
            photo->Load();
            std::unique_ptr<CImageDataBase> db(new CImageDataBase());
            VarnoBase::RefPtr<CPanoElement> work;
            work.Adopt(static_cast<CPanoElement*>(CreateImageThumbnail(photo)));
            if (work) {
                PanoramaRecognition::SIFTKeys(work.get(), 4, 2, 0.02, 10.0, db->m_keys, db->m_descriptors,
                                              &CPanorama::ParallelAbortCallback);
                ToFullSize(*db, photo->m_scale);
                if (!m_bAborted && db->SetSingleObject(photo->GetImageSize()))
                    fresh[k] = std::move(db);
            }
        } catch (...) {
            // Rethrown below in input order (a cancel, a library failure, or an
            // exception from the host's progress poll).
            failures[k] = std::current_exception();
        }
        photo->Unload();
    }, report);
    for (const std::exception_ptr& e : failures)
        if (e)
            std::rethrow_exception(e);
    if (m_bAborted)
        throw panorama_abort();
    for (std::size_t k = 0; k < todo.size(); ++k) {
        if (!fresh[k])
            continue;
        out.records[todo[k]] = std::move(fresh[k]);
        out.fresh[todo[k]] = 1;
    }
    return out;
}

// ---------------------------------------------------------------------------------
// Matching

bool CPanorama::BuildMatchGraph(CGraph* graph)
{
    graph->Free();
    const int n = static_cast<int>(m_images.size());
    for (int i = 0; i < n; ++i)
        if (!graph->AddNode(i))
            return false;
    if (static_cast<int>(m_imageData.size()) < n)
        return false;

    // Leaves the matching when the voting of a pair fails (no memory for its tables);
    // the search trees go with the matching loop, and the links made so far stay.
    struct abort_matching {};
    bool completed = false;
    try {
        completed = PanoramaRecognition::MatchPairsInOrder(
            n, m_workThreads, [&](int i) { return m_imageData[static_cast<std::size_t>(i)]; },
            [&](int a, int b, kd_tree* tree) {
                const std::size_t ia = static_cast<std::size_t>(a), ib = static_cast<std::size_t>(b);
                return MatchPair(*m_imageData[ia], *m_imageData[ib], tree, m_images[ia]->GetImageSize(),
                                 m_images[ib]->GetImageSize(),
                                 PanoramaRecognition::kAffineErrorLimit * m_images[ia]->m_scale, m_matchRatio);
            },
            [&](int a, int b, const PairResult& r) {
                if (r.votingFailed)
                    throw abort_matching();
                if (!r.voted)
                    return true;
                if (m_pUserInterface)
                    m_pUserInterface->UpdateUserWndInterface();
                for (const auto& [passed, c] : r.candidates) {
                    if (m_pUserInterface)
                        m_pUserInterface->UpdateUserWndInterface();
                    if (!passed)
                        continue;
                    CGraphLink* link = graph->AddLink(a, b);
                    if (!link)
                        continue;
                    link->id1 = a;
                    link->id2 = b;
                    Utils::copy_matrix_3x3(link->m, c.m);
                    link->error = c.error;
                    link->inliers = static_cast<int>(c.keys1.size());
                    link->outliers = static_cast<int>(c.outKeys1.size());
                    link->keys1 = c.keys1;
                    link->keys2 = c.keys2;
                    link->outKeys1 = c.outKeys1;
                    link->outKeys2 = c.outKeys2;
                    link->inlierQuality = c.inQuality;
                    link->outlierQuality = c.outQuality;
                }
                return true;
            },
            [&] {
                m_progressPos += 4;
                if (m_pProgress)
                    m_bAborted = m_pProgress->AbortProgressIndicator(m_progressMax, m_progressPos);
            },
            [&]() -> bool { return m_bAborted; },
            [&] {  // while a block runs, a poll that keeps the bar where it is
                if (m_pProgress)
                    m_bAborted = m_pProgress->AbortProgressIndicator(m_progressMax, m_progressPos);
            });
    } catch (const abort_matching&) {
        completed = false;
    }
    return completed && !m_bAborted;
}

int CPanorama::GetWorldImage(CGraph* graph)
{
    if (!graph || graph->links.empty())
        return -1;
    int best = -1;
    long long bestSum = 0;
    for (int i = 0; i < static_cast<int>(m_images.size()); ++i) {
        const match_graph::CGraphNode* node = graph->FindNode(i);
        if (!node)
            continue;
        long long sum = 0;
        for (const CGraphLink* l : node->links)
            sum += l ? l->inliers : 0;
        if (sum > bestSum) {
            bestSum = sum;
            best = i;
        }
    }
    return best;
}

}  // namespace Tiled_Panorama
