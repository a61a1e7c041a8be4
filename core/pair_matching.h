// Matching of one photo pair from its feature stores, the way the Horizontal/Vertical
// engine matches each pair: kd-tree over the database photo's descriptors, Hough voting
// with the distance-ratio test, robust fit of the motion model to every best-scoring
// candidate, acceptance test. Used by the match_pair driver, the tests and benchmarks.
#pragma once

#include <algorithm>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/keypoints.h"
#include "core/parallel.h"

class kd_tree;

namespace PanoramaRecognition {

// One photo's descriptors in a kd-tree (bucket size 4, sliding midpoint, visit limit 200)
// for the pairs in which that photo is the database side. A tree keeps its search state
// inside: one thread searches it at a time.
class DescriptorTree {
public:
    DescriptorTree() = default;
    ~DescriptorTree();
    DescriptorTree(const DescriptorTree&) = delete;
    DescriptorTree& operator=(const DescriptorTree&) = delete;

    // false (and no tree) when the store holds no descriptors.
    bool Build(const CImageDataBase& store);
    kd_tree* tree() const noexcept { return m_tree.get(); }

private:
    double** m_points = nullptr;
    std::unique_ptr<kd_tree> m_tree;
};

// The robust fit of one best-voted candidate of a pair (query -> database pixels).
struct CandidateFit {
    bool fitted = false;   // the fit succeeded with a finite transform
    bool matched = false;  // ... and inliers > 0.22 pairs + 5.9
    int pairs = 0;
    double score = 0.0;  // the candidate's vote score (the best of the pair)
    double m[3][3] = {};
    double error = 0.0;                   // mean inlier distance
    std::vector<int> keys1, keys2;        // per inlier: query and database keypoint index
    std::vector<int> outKeys1, outKeys2;  // per outlier
    std::vector<int> inQuality, outQuality;  // Hough quality of each inlier / outlier
};

// Which of two identical best candidates is dropped (the engines differ here).
enum class DuplicateRule { DropLater, DropEarlier };

// Votes query against database (tree over the database's descriptors, distance-ratio
// test), keeps the candidates with the best score (identical ones once, by `rule`) and
// fits each with the motion model (0 affine, 2 translate with uniform scale, otherwise
// similarity), weights 1/sigma^2 of the query keypoint. Appends one CandidateFit per kept
// candidate, in candidate order. false only when the voting tables cannot be allocated.
// Touches no shared state but the tree: pairs with different trees run in parallel.
bool VoteAndFit(CImageDataBase& query, CImageDataBase& database, kd_tree& tree, int motionModel, double ratio,
                DuplicateRule rule, std::vector<CandidateFit>& fits, int* matches = nullptr,
                double* votingSeconds = nullptr, double* fitSeconds = nullptr);

struct PairMatch {
    bool fitted = false;    // some candidate was fitted (more than 2 inliers)
    bool accepted = false;  // ... and passed the acceptance test
    int matches = 0;        // query keypoints that passed the ratio test
    int candidates = 0;     // best-scoring candidates fitted (duplicates dropped)
    double score = 0;       // their vote score
    int pairs = 0;          // point pairs of the reported candidate
    int inliers = 0;
    double error = 0;       // mean inlier distance, pixels of the database photo
    double transform[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // query -> database pixels
    std::vector<int> queryInliers;     // keypoint indices of the inliers, parallel lists
    std::vector<int> databaseInliers;
    double treeSeconds = 0, votingSeconds = 0, fitSeconds = 0;  // stage times
};

// Acceptance of a fitted candidate: its mean inlier distance (pixels of the database
// photo) must stay below the limit of its motion model.
constexpr double kAffineErrorLimit = 6.0;
constexpr double kSimilarityErrorLimit = 22.0;
// Nearest-neighbour distance ratios of the ratio test: matching mode 0 is strict, any
// other mode (and the tiled engine) loose.
constexpr double kStrictMatchRatio = 0.6;
constexpr double kLooseMatchRatio = 0.8;

constexpr double MatchRatio(int matchingMode) noexcept
{
    return matchingMode == 0 ? kStrictMatchRatio : kLooseMatchRatio;
}

// Error limit of the acceptance test: kAffineErrorLimit for the affine model (0), else
// kSimilarityErrorLimit.
double AcceptanceErrorLimit(int motionModel);

// Matches `query` against `database` (one photo each). motionModel: 0 affine, 2 translate
// with uniform scale, anything else similarity; ratio: 0.6 or 0.8 as the engine's
// matching mode says. A candidate is accepted when its fit succeeds, inliers >
// 0.22 pairs + 5.9 and its error is below AcceptanceErrorLimit. Reports the accepted
// candidate with most inliers, else the fitted one with most inliers. false only when
// voting failed for lack of memory.
bool MatchFeatureStores(CImageDataBase& query, CImageDataBase& database, int motionModel, double ratio,
                        PairMatch& out);

// Matches every pair (a, b), a < b, of n photos, the lower index as the query, the way
// both engines do: the database trees built in parallel, then the pairs in blocks on up
// to `threads` threads (0: one per core). After each block the query photos whose pairs
// are all done are committed in the order of a serial pass (by a, then by b), each
// followed by step() (a progress step, which may cancel). store(i) gives photo i's
// feature store (null: no pair with it is matched); match(a, b, tree) matches a pair
// on a worker thread and returns its outcome, which commit(a, b, outcome) takes on the
// calling thread (false: stop matching and return false). Stops early, returning true,
// once cancelled() says so (checked before each block and after each step).
//
// With poll: the calling thread also calls poll() (a progress poll that moves nothing,
// which may cancel) each time a tree or a pair is finished, while the others are still
// worked on: a block takes seconds on a large set, and the window must answer meanwhile.
// A block cut short by cancelled() commits nothing more.
struct NoPoll {
    void operator()() const noexcept {}
};

template <class Store, class Match, class Commit, class Step, class Cancelled, class Poll>
bool MatchPairsInOrder(int n, int threads, Store&& store, Match&& match, Commit&& commit, Step&& step,
                       Cancelled&& cancelled, Poll&& poll)
{
    constexpr bool polled = !std::is_same_v<std::decay_t<Poll>, NoPoll>;
    // Runs work(k) for k in [0, count) in parallel; with a poll, reported on the caller.
    const auto parallel = [&](std::size_t count, auto&& work) {
        if constexpr (polled)
            Utils::ParallelForEachReported(count, threads, work, [&](std::size_t) { return poll(), !cancelled(); });
        else
            Utils::ParallelForEach(count, threads, work);
    };
    std::vector<DescriptorTree> trees(static_cast<std::size_t>(std::max(n, 0)));
    std::vector<std::pair<int, int>> pairs;
    for (int a = 0; a + 1 < n; ++a)
        for (int b = a + 1; b < n; ++b)
            pairs.emplace_back(a, b);
    using Outcome = decltype(match(0, 1, static_cast<kd_tree*>(nullptr)));
    std::vector<Outcome> outcomes(pairs.size());
    // The trees of every photo but the first (it is never the database side).
    parallel(static_cast<std::size_t>(std::max(n - 1, 0)), [&](std::size_t k) {
        if (CImageDataBase* s = store(static_cast<int>(k) + 1))
            trees[k + 1].Build(*s);
    });
    const std::size_t block = static_cast<std::size_t>(4) * std::max(1u, std::thread::hardware_concurrency());
    std::size_t added = 0;  // pairs committed
    for (std::size_t start = 0; start < pairs.size() && !cancelled(); start += block) {
        const std::size_t end = std::min(pairs.size(), start + block);
        parallel(end - start, [&](std::size_t k) {
            const auto [a, b] = pairs[start + k];
            if (!store(a) || !store(b))
                return;
            outcomes[start + k] = match(a, b, trees[static_cast<std::size_t>(b)].tree());
        });
        if (polled && cancelled())
            break;
        // A query photo is complete when its last pair (b = n - 1) is done.
        while (added < end) {
            const int a = pairs[added].first;
            std::size_t last = added;
            while (last < pairs.size() && pairs[last].first == a)
                ++last;
            if (last > end)
                break;  // this query photo's last pairs are in the next block
            for (std::size_t k = added; k < last; ++k) {
                if (!commit(a, pairs[k].second, outcomes[k]))
                    return false;
                outcomes[k] = Outcome();  // copied into the graph: free it now
            }
            added = last;
            step();
            if (cancelled())
                break;
        }
    }
    return true;
}

template <class Store, class Match, class Commit, class Step, class Cancelled>
bool MatchPairsInOrder(int n, int threads, Store&& store, Match&& match, Commit&& commit, Step&& step,
                       Cancelled&& cancelled)
{
    return MatchPairsInOrder(n, threads, store, match, commit, step, cancelled, NoPoll());
}

}  // namespace PanoramaRecognition
