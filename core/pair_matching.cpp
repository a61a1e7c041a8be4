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

struct PointArray {
    explicit PointArray(int n) : pts(kdAllocPts(n, ScaleSpace::kDescriptorLength)) {}
    ~PointArray() { kdDeallocPts(pts); }
    PointArray(const PointArray&) = delete;
    PointArray& operator=(const PointArray&) = delete;
    double** pts;
};

bool sameLists(const std::vector<int>& a, const std::vector<int>& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

double AcceptanceErrorLimit(int motionModel)
{
    return motionModel == 0 ? 6.0 : 22.0;
}

bool MatchFeatureStores(CImageDataBase& query, CImageDataBase& database, int motionModel, double ratio,
                        PairMatch& out)
{
    out = PairMatch();
    const int n = static_cast<int>(database.m_descriptors.size());
    if (n == 0 || query.m_keys.empty())
        return true;

    auto t0 = Clock::now();
    PointArray points(n);
    for (int i = 0; i < n; ++i)
        std::copy(database.m_descriptors[i]->v, database.m_descriptors[i]->v + ScaleSpace::kDescriptorLength,
                  points.pts[i]);
    kd_tree tree(points.pts, n, ScaleSpace::kDescriptorLength, 4, KD_SUGGEST);
    tree.maxPointsVisit = 200;
    out.treeSeconds = secondsSince(t0);

    t0 = Clock::now();
    std::vector<int> image;
    ScaleSpace::CIntArrPtrArray queryLists, databaseLists, qualityLists;
    std::vector<double> scores;
    t_matchCount = 0;
    const bool voted = HoughSimularity(&tree, database, query.m_keys, query.m_descriptors, 1.5, false, image,
                                       queryLists, databaseLists, qualityLists, scores, countMatches, ratio);
    out.matches = t_matchCount;
    out.votingSeconds = secondsSince(t0);
    if (!voted)
        return false;

    // The candidates with the best score, each distinct pair of lists once.
    double best = 0.0;
    for (double s : scores)
        if (s > best)
            best = s;
    std::vector<int> chosen;
    for (std::size_t c = 0; c < scores.size(); ++c)
        if (scores[c] == best && queryLists[c] && databaseLists[c])
            chosen.push_back(static_cast<int>(c));
    for (bool removed = true; removed && chosen.size() >= 2;) {
        removed = false;
        for (std::size_t i = 0; i < chosen.size() && !removed; ++i)
            for (std::size_t j = i + 1; j < chosen.size() && !removed; ++j) {
                const int a = chosen[i], b = chosen[j];
                if (image[a] == image[b] && sameLists(*queryLists[a], *queryLists[b]) &&
                    sameLists(*databaseLists[a], *databaseLists[b])) {
                    chosen.erase(chosen.begin() + j);
                    removed = true;
                }
            }
    }
    out.candidates = static_cast<int>(chosen.size());
    out.score = best;

    t0 = Clock::now();
    const double errorLimit = AcceptanceErrorLimit(motionModel);
    for (int c : chosen) {
        const std::vector<int>& qi = *queryLists[c];
        const std::vector<int>& di = *databaseLists[c];
        std::vector<ScaleSpace::PointD> a, b;
        std::vector<double> w;
        for (std::size_t e = 0; e < qi.size(); ++e) {
            const ScaleSpace::SIFT& ka = *query.m_keys[qi[e]];
            const ScaleSpace::SIFT& kb = *database.m_keys[di[e]];
            a.push_back({ka.x, ka.y});
            b.push_back({kb.x, kb.y});
            w.push_back(1.0 / (ka.sigma * ka.sigma));
        }
        double m[3][3];
        std::vector<int> inl, outl;
        double error = 0;
        bool ok;
        if (motionModel == 2)
            ok = FitRobustTranslateTransform(a, b, w, 0.75, m, &inl, &outl, &error);
        else if (motionModel == 0)
            ok = FitRobustAffineTransform(a, b, w, 0.75, m, &inl, &outl, &error);
        else
            ok = FitRobustSimpleTransform(a, b, w, 0.75, m, &inl, &outl, &error);
        if (!ok)
            continue;
        const int pairs = static_cast<int>(a.size());
        const int inliers = static_cast<int>(inl.size());
        const bool accepted = CorrectPanoramicImageMatch(pairs, inliers) && error < errorLimit;
        // Prefer accepted candidates, then more inliers.
        const bool better = !out.fitted || (accepted && !out.accepted) ||
                            (accepted == out.accepted && inliers > out.inliers);
        if (!better)
            continue;
        out.fitted = true;
        out.accepted = accepted;
        out.pairs = pairs;
        out.inliers = inliers;
        out.error = error;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                out.transform[i][j] = m[i][j];
        out.queryInliers.clear();
        out.databaseInliers.clear();
        for (int i : inl) {
            out.queryInliers.push_back(qi[i]);
            out.databaseInliers.push_back(di[i]);
        }
    }
    out.fitSeconds = secondsSince(t0);
    return true;
}

}  // namespace PanoramaRecognition
