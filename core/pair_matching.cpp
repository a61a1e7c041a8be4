// One photo pair through kd-tree matching, Hough voting and the robust fit, following
// the engine's per-pair matching: only the candidates with the best vote score are
// fitted, identical candidates once.
#include "core/pair_matching.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "core/hough.h"
#include "core/kd_tree.h"
#include "core/robust_fit.h"

namespace PanoramaRecognition {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

thread_local int t_matchCount = 0;

void countMatches(std::vector<int>& neighbours)
{
    int n = 0;
    for (int j : neighbours)
        n += j >= 0;
    t_matchCount = n;
}

bool sameLists(const std::vector<int>& a, const std::vector<int>& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

double AcceptanceErrorLimit(int motionModel)
{
    return motionModel == 0 ? kAffineErrorLimit : kSimilarityErrorLimit;
}

DescriptorTree::~DescriptorTree()
{
    m_tree.reset();
    if (m_points)
        kdDeallocPts(m_points);
}

bool DescriptorTree::Build(const CImageDataBase& store)
{
    m_tree.reset();
    if (m_points)
        kdDeallocPts(m_points);
    const int n = static_cast<int>(store.m_descriptors.size());
    if (n == 0)
        return false;
    m_points = kdAllocPts(n, ScaleSpace::kDescriptorLength);
    for (int i = 0; i < n; ++i)
        std::copy_n(store.m_descriptors[static_cast<std::size_t>(i)]->v, ScaleSpace::kDescriptorLength,
                    m_points[i]);
    m_tree = std::make_unique<kd_tree>(m_points, n, ScaleSpace::kDescriptorLength, 4, KD_SUGGEST);
    m_tree->maxPointsVisit = 200;
    return true;
}

bool VoteAndFit(CImageDataBase& query, CImageDataBase& database, kd_tree& tree, int motionModel, double ratio,
                DuplicateRule rule, std::vector<CandidateFit>& fits, int* matches, double* votingSeconds,
                double* fitSeconds)
{
    auto t0 = Clock::now();
    std::vector<int> image;
    ScaleSpace::CIntArrPtrArray queryLists, databaseLists, qualityLists;
    std::vector<double> scores;
    t_matchCount = 0;
    const bool voted = HoughSimularity(&tree, database, query.m_keys, query.m_descriptors, 1.5, false, image,
                                       queryLists, databaseLists, qualityLists, scores,
                                       matches ? countMatches : nullptr, ratio);
    if (matches)
        *matches = t_matchCount;
    if (votingSeconds)
        *votingSeconds = secondsSince(t0);
    if (!voted)
        return false;

    // The candidates with the best score, each distinct pair of lists once.
    double best = 0.0;
    for (double s : scores)
        if (s > best)
            best = s;
    std::vector<std::size_t> chosen;
    for (std::size_t c = 0; c < scores.size(); ++c)
        if (scores[c] == best && queryLists[c] && databaseLists[c])
            chosen.push_back(c);
    for (bool removed = true; removed && chosen.size() >= 2;) {
        removed = false;
        for (std::size_t i = 0; i < chosen.size() && !removed; ++i)
            for (std::size_t j = i + 1; j < chosen.size() && !removed; ++j) {
                const std::size_t a = chosen[i], b = chosen[j];
                if (image[a] == image[b] && sameLists(*queryLists[a], *queryLists[b]) &&
                    sameLists(*databaseLists[a], *databaseLists[b])) {
                    chosen.erase(chosen.begin() + static_cast<std::ptrdiff_t>(rule == DuplicateRule::DropLater ? j : i));
                    removed = true;
                }
            }
    }

    t0 = Clock::now();
    for (std::size_t c : chosen) {
        const std::vector<int>& qi = *queryLists[c];
        const std::vector<int>& di = *databaseLists[c];
        const std::vector<int>* quality = c < qualityLists.size() ? qualityLists[c] : nullptr;
        const std::size_t n = std::min(qi.size(), di.size());
        std::vector<ScaleSpace::PointD> a(n), b(n);
        std::vector<double> w(n);
        for (std::size_t e = 0; e < n; ++e) {
            const ScaleSpace::SIFT& ka = *query.m_keys[static_cast<std::size_t>(qi[e])];
            const ScaleSpace::SIFT& kb = *database.m_keys[static_cast<std::size_t>(di[e])];
            a[e] = {ka.x, ka.y};
            b[e] = {kb.x, kb.y};
            w[e] = ka.sigma > 0.0 ? 1.0 / (ka.sigma * ka.sigma) : 1.0;
        }
        CandidateFit fit;
        fit.pairs = static_cast<int>(n);
        fit.score = best;
        std::vector<int> inl, outl;
        if (motionModel == 2)
            fit.fitted = FitRobustTranslateTransform(a, b, w, 0.75, fit.m, &inl, &outl, &fit.error);
        else if (motionModel == 0)
            fit.fitted = FitRobustAffineTransform(a, b, w, 0.75, fit.m, &inl, &outl, &fit.error);
        else
            fit.fitted = FitRobustSimpleTransform(a, b, w, 0.75, fit.m, &inl, &outl, &fit.error);
        fit.fitted = fit.fitted && IsFiniteTransform(fit.m);
        fit.matched = fit.fitted && CorrectPanoramicImageMatch(fit.pairs, static_cast<int>(inl.size()));
        if (fit.fitted) {
            auto q = [quality](int idx) {
                return quality && static_cast<std::size_t>(idx) < quality->size()
                           ? (*quality)[static_cast<std::size_t>(idx)]
                           : 0;
            };
            for (int idx : inl) {
                fit.keys1.push_back(qi[static_cast<std::size_t>(idx)]);
                fit.keys2.push_back(di[static_cast<std::size_t>(idx)]);
                fit.inQuality.push_back(q(idx));
            }
            for (int idx : outl) {
                fit.outKeys1.push_back(qi[static_cast<std::size_t>(idx)]);
                fit.outKeys2.push_back(di[static_cast<std::size_t>(idx)]);
                fit.outQuality.push_back(q(idx));
            }
        }
        fits.push_back(std::move(fit));
    }
    if (fitSeconds)
        *fitSeconds = secondsSince(t0);
    return true;
}

bool MatchFeatureStores(CImageDataBase& query, CImageDataBase& database, int motionModel, double ratio,
                        PairMatch& out)
{
    out = PairMatch();
    if (database.m_descriptors.empty() || query.m_keys.empty())
        return true;

    const auto t0 = Clock::now();
    DescriptorTree tree;
    tree.Build(database);
    out.treeSeconds = secondsSince(t0);

    std::vector<CandidateFit> fits;
    if (!VoteAndFit(query, database, *tree.tree(), motionModel, ratio, DuplicateRule::DropLater, fits,
                    &out.matches, &out.votingSeconds, &out.fitSeconds))
        return false;
    out.candidates = static_cast<int>(fits.size());
    out.score = fits.empty() ? 0.0 : fits.front().score;

    const double errorLimit = AcceptanceErrorLimit(motionModel);
    for (const CandidateFit& fit : fits) {
        if (!fit.fitted)
            continue;
        const int inliers = static_cast<int>(fit.keys1.size());
        const bool accepted = fit.matched && fit.error < errorLimit;
        // Prefer accepted candidates, then more inliers.
        const bool better = !out.fitted || (accepted && !out.accepted) ||
                            (accepted == out.accepted && inliers > out.inliers);
        if (!better)
            continue;
        out.fitted = true;
        out.accepted = accepted;
        out.pairs = fit.pairs;
        out.inliers = inliers;
        out.error = fit.error;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                out.transform[i][j] = fit.m[i][j];
        out.queryInliers = fit.keys1;
        out.databaseInliers = fit.keys2;
    }
    return true;
}

}  // namespace PanoramaRecognition
