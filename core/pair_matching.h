// Matching of one photo pair from its feature stores, the way the Horizontal/Vertical
// engine matches each pair: kd-tree over the database photo's descriptors, Hough voting
// with the distance-ratio test, robust fit of the motion model to every best-scoring
// candidate, acceptance test. Used by the match_pair driver, the tests and benchmarks.
#pragma once

#include <vector>

#include "core/keypoints.h"

namespace PanoramaRecognition {

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

// Error limit of the acceptance test: 6 pixels for the affine model, else 22.
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
