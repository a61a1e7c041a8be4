// Matching of one photo pair from its feature stores, the way the Horizontal/Vertical
// engine matches each pair: kd-tree over the database photo's descriptors, Hough voting
// with the distance-ratio test, robust fit of the motion model to every best-scoring
// candidate, acceptance test. Used by the match_pair driver, the tests and benchmarks.
#pragma once

#include <memory>
#include <vector>

#include "core/keypoints.h"

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

}  // namespace PanoramaRecognition
