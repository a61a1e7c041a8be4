#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "core/hough.h"
#include "core/kd_tree.h"
#include "core/keypoints.h"
#include "core/pair_matching.h"

using ScaleSpace::CKeyDescriptor;
using ScaleSpace::CKeypointArray;
using ScaleSpace::SIFT;
using PanoramaRecognition::NearestNeighboursAlgorithm::FindNearestNeighbours;

namespace {

std::unique_ptr<CKeyDescriptor> randomDescriptor(std::mt19937& rng)
{
    std::uniform_real_distribution<double> u(0, 1);
    auto d = std::make_unique<CKeyDescriptor>();
    double n = 0;
    for (double& v : d->v) {
        v = u(rng);
        n += v * v;
    }
    for (double& v : d->v)
        v /= std::sqrt(n);
    return d;
}

// A kd-tree over a store's descriptors, as the engines build it.
struct Tree : PanoramaRecognition::DescriptorTree {
    explicit Tree(const CImageDataBase& db) { Build(db); }
};

struct Candidates {
    std::vector<int> image;
    ScaleSpace::CIntArrPtrArray query, stored, quality;
    std::vector<double> score;

    bool vote(Tree& t, CImageDataBase& db, const CKeypointArray<SIFT>& keys, CKeypointArray<CKeyDescriptor>& desc,
              bool suppress = false, double ratio = 0.8)
    {
        return PanoramaRecognition::HoughSimularity(t.tree(), db, keys, desc, 1.5, suppress, image, query, stored,
                                                    quality, score, nullptr, ratio);
    }
    int best() const
    {
        return static_cast<int>(std::max_element(score.begin(), score.end()) - score.begin());
    }
};

struct Scene {
    CKeypointArray<SIFT> keys;
    CKeypointArray<CKeyDescriptor> desc;
    CImageDataBase db;
};

// n query keypoints in a w x h photo and their images under the similarity
// (rotation rot, scale s, translation t) with the same descriptors, plus `extra`
// unrelated database keypoints.
void makeScene(Scene& sc, int n, int extra, double rot, double s, double tx, double ty, unsigned seed, int w = 400,
               int h = 300)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> px(0, w), py(0, h), ang(-M_PI, M_PI), sig(1.5, 6);
    for (int i = 0; i < n; ++i) {
        SIFT k{px(rng), py(rng), ang(rng), 0, 1, sig(rng)};
        auto d = randomDescriptor(rng);
        SIFT k2{s * (std::cos(rot) * k.x - std::sin(rot) * k.y) + tx,
                s * (std::sin(rot) * k.x + std::cos(rot) * k.y) + ty,
                std::remainder(k.orientation + rot, 2 * M_PI), 0, 1, k.sigma * s};
        sc.db.m_keys.emplace_back(k2);
        sc.db.m_descriptors.push_back(std::make_unique<CKeyDescriptor>(*d));
        sc.keys.emplace_back(k);
        sc.desc.push_back(std::move(d));
    }
    for (int i = 0; i < extra; ++i) {
        sc.db.m_keys.emplace_back(SIFT{px(rng), py(rng), ang(rng), 0, 1, sig(rng)});
        sc.db.m_descriptors.push_back(randomDescriptor(rng));
    }
    sc.db.SetSingleObject(VarnoBase::Size(w, h));
}

std::set<int> asSet(const std::vector<int>* v)
{
    return std::set<int>(v->begin(), v->end());
}

}  // namespace

TEST(HoughVoting, KnownSimilarityPutsTheTruePairsInTheTopBinOfTheirPhoto)
{
    struct Case {
        double rot, s, tx, ty;
    };
    // A store of two photos; the query matches the second. Includes a quarter turn,
    // where the scale must not collapse.
    Scene other;
    makeScene(other, 30, 0, 0.0, 1, 0, 0, 99);
    for (const Case c : {Case{0.35, 1.3, 40, -25}, Case{-1.2, 0.7, -120, 60}, Case{M_PI / 2, 1.0, 300, 10}}) {
        SCOPED_TRACE(c.rot);
        Scene sc;
        makeScene(sc, 60, 100, c.rot, c.s, c.tx, c.ty, 17);
        CImageDataBase db;
        ASSERT_TRUE(db.AddObject(other.db.m_keys, other.db.m_descriptors, VarnoBase::Size(400, 300)));
        ASSERT_TRUE(db.AddObject(sc.db.m_keys, sc.db.m_descriptors, VarnoBase::Size(400, 300)));
        Tree t(db);
        Candidates out;
        ASSERT_TRUE(out.vote(t, db, sc.keys, sc.desc));
        ASSERT_FALSE(out.score.empty());
        EXPECT_EQ(std::set<int>(out.image.begin(), out.image.end()), std::set<int>{1});
        // Every query keypoint appears once, paired with its image (identical descriptors: quality 0).
        const int b = out.best();
        ASSERT_EQ(std::tuple(out.query[b]->size(), out.stored[b]->size(), out.quality[b]->size()),
                  std::tuple(60u, 60u, 60u));
        for (std::size_t e = 0; e < 60; ++e)
            EXPECT_TRUE((*out.query[b])[e] + 30 == (*out.stored[b])[e] && (*out.quality[b])[e] == 0) << e;
        EXPECT_TRUE(std::is_sorted(out.query[b]->begin(), out.query[b]->end()) && out.score[b] > 60 * 0.25 * 0.25);
    }
}

TEST(HoughVoting, SuppressionKeepsEqualMaximaAndTreatsRotationAsCircular)
{
    // An identical copy votes into the centre bins: scale bins 1 and 0.5 with weight 1
    // each take every match, the nearer rotation neighbour (5 or 7, a tie up to rounding)
    // gets 1/3, the other translation cells nothing. A half turn less one degree: the top
    // rotation bin is 0 (centre -180 degrees), the runner-up 11 (centre 150 degrees),
    // neighbours only across the wrap.
    for (const bool halfTurn : {false, true}) {
        Scene sc;
        makeScene(sc, 12, 0, halfTurn ? 179 * M_PI / 180 : 0, 1, halfTurn ? 400 : 0, halfTurn ? 300 : 0,
                  halfTurn ? 6 : 5);
        Tree t(sc.db);
        Candidates all, kept;
        ASSERT_TRUE(all.vote(t, sc.db, sc.keys, sc.desc));
        ASSERT_TRUE(kept.vote(t, sc.db, sc.keys, sc.desc, true));
        std::vector<double> sorted = all.score;
        std::sort(sorted.rbegin(), sorted.rend());
        ASSERT_GE(sorted.size(), 2u);
        ASSERT_EQ(kept.score.size(), 2u);
        EXPECT_TRUE(std::fabs(kept.score[0] - sorted[0]) < 1e-9 && std::fabs(kept.score[1] - sorted[0]) < 1e-9);
        if (halfTurn) {
            ASSERT_EQ(sorted.size(), 4u);
            EXPECT_NEAR(sorted[0], 12 * (1 - 1.0 / 45), 1e-6);
            EXPECT_NEAR(sorted[2], 12 * (1 - 29.0 / 45), 1e-6);
            continue;
        }
        EXPECT_TRUE(std::fabs(sorted[0] - 12) < 1e-9 && std::fabs(sorted[1] - 12) < 1e-9);
        EXPECT_LE(std::accumulate(sorted.begin() + 2, sorted.end(), 0.0), 8 + 1e-9);
        for (std::size_t i = 0; i < all.score.size(); ++i)
            EXPECT_TRUE(all.score[i] <= 11 || all.query[i]->size() == 12u) << i;
        // Outputs are appended: a second call adds its candidates after the first's.
        ASSERT_TRUE(kept.vote(t, sc.db, sc.keys, sc.desc, true));
        EXPECT_EQ(std::tuple(kept.score.size(), kept.query.size(), kept.image.size()), std::tuple(4u, 4u, 4u));
    }
}

TEST(HoughVoting, PhotosNeedTwoMatchesAndAmbiguousDescriptorsMatchNothing)
{
    // One matching keypoint: the photo is skipped; two: voted on, the shared bin scores about 2.
    for (int n : {1, 2}) {
        Scene sc;
        makeScene(sc, n, 10, n == 1 ? 0.1 : 0.0, 1, 5 * (2 - n), 5 * (2 - n), 3);
        Tree t(sc.db);
        Candidates out;
        ASSERT_TRUE(out.vote(t, sc.db, sc.keys, sc.desc));
        ASSERT_EQ(out.score.empty(), n == 1);
        EXPECT_TRUE(n == 1 || std::fabs(out.score[out.best()] - 2) < 1e-9);
    }
    // Every stored descriptor duplicated: d1 = d2, the ratio test fails everywhere.
    Scene sc;
    makeScene(sc, 20, 0, 0.0, 1, 0, 0, 4);
    CImageDataBase twice;
    for (std::size_t i = 0; i < 40; ++i) {
        twice.m_keys.emplace_back(*sc.db.m_keys[i / 2]);
        twice.m_descriptors.push_back(std::make_unique<CKeyDescriptor>(*sc.db.m_descriptors[i / 2]));
    }
    twice.SetSingleObject(VarnoBase::Size(400, 300));
    Tree t(twice);
    Candidates out;
    ASSERT_TRUE(out.vote(t, twice, sc.keys, sc.desc));
    EXPECT_TRUE(out.score.empty());
}

TEST(HoughVoting, DegenerateKeypointsCastNoVotes)
{
    Scene sc;
    makeScene(sc, 30, 0, 0.2, 1.1, 10, 20, 8);
    // NaN orientations, zero and NaN sigmas on both sides.
    sc.keys[0]->orientation = NAN;
    sc.db.m_keys[1]->orientation = NAN;
    sc.keys[2]->sigma = 0;
    sc.db.m_keys[2]->sigma = 0;
    sc.keys[3]->sigma = NAN;
    sc.db.m_keys[4]->x = INFINITY;
    // Scale 0 between the two sides.
    sc.db.m_keys[5]->sigma = 0;
    Tree t(sc.db);
    Candidates out;
    ASSERT_TRUE(out.vote(t, sc.db, sc.keys, sc.desc));
    ASSERT_FALSE(out.score.empty());
    EXPECT_EQ(asSet(out.query[out.best()]).size(), 24u);
    for (std::size_t c = 0; c < out.query.size(); ++c)  // keypoints 0..5 vote nowhere
        EXPECT_GE(*asSet(out.query[c]).begin(), 6) << "candidate " << c;
}

TEST(NearestNeighbours, RatioTestAndQuality)
{
    std::mt19937 rng(2);
    CImageDataBase db;
    for (int i = 0; i < 40; ++i) {
        db.m_keys.emplace_back(SIFT{});
        db.m_descriptors.push_back(randomDescriptor(rng));
    }
    Tree t(db);
    // The point at fraction f of the way from stored descriptor i to stored j.
    const auto between = [&](int i, int j, double f) {
        auto d = std::make_unique<CKeyDescriptor>();
        for (int k = 0; k < 128; ++k)
            d->v[k] = db.m_descriptors[i]->v[k] + f * (db.m_descriptors[j]->v[k] - db.m_descriptors[i]->v[k]);
        return d;
    };
    CKeypointArray<CKeyDescriptor> q;
    q.push_back(between(7, 8, 0.0));  // exactly stored 7 -> quality 0
    q.push_back(between(3, 4, 0.5));  // halfway: d1 = d2, rejected
    q.push_back(between(9, 9, 0.0));  // close to stored 9 but not equal
    q[2]->v[0] += 0.05;
    // d1/d2 = 0.5 from stored 11 towards 12: passes the 0.8 test (0.64), fails 0.6 (0.36).
    q.push_back(between(11, 12, std::sqrt(0.5) / (1 + std::sqrt(0.5))));

    std::vector<int> match, quality;
    ASSERT_TRUE(FindNearestNeighbours(t.tree(), db.m_descriptors, q, match, quality, 0.8));
    EXPECT_EQ(match, (std::vector<int>{7, -1, 9, 11}));
    ASSERT_EQ(quality.size(), 4u);
    EXPECT_EQ(std::pair(quality[0], quality[1]), std::pair(0, 10000));
    EXPECT_TRUE(quality[2] > 0 && quality[2] < 640 && std::abs(quality[3] - 500) <= 1) << quality[2] << " " << quality[3];
    FindNearestNeighbours(t.tree(), db.m_descriptors, q, match, quality, 0.6);
    EXPECT_EQ(std::pair(match[3], quality[3]), std::pair(-1, 10000));

    // One stored point (d2 = "no entry"): any finite d1 passes with quality 0; an empty
    // tree, a null tree and a bucket-1 tree answer without reading past their results.
    CImageDataBase one;
    one.m_keys.emplace_back(SIFT{});
    one.m_descriptors.push_back(randomDescriptor(rng));
    Tree t1(one);
    FindNearestNeighbours(t1.tree(), one.m_descriptors, q, match, quality, 0.6);
    EXPECT_EQ(std::pair(match, quality), std::pair(std::vector<int>(4, 0), std::vector<int>(4, 0)));
    CImageDataBase none;
    kd_tree t0(nullptr, 0, 128, 4, KD_SUGGEST);
    for (kd_tree* empty : {&t0, static_cast<kd_tree*>(nullptr)}) {
        FindNearestNeighbours(empty, none.m_descriptors, q, match, quality, 0.8);
        EXPECT_EQ(std::pair(match, quality), std::pair(std::vector<int>(4, -1), std::vector<int>(4, 10000)));
    }
    kd_tree bucket1(t.tree()->points, 40, 128, 1, KD_SUGGEST);
    FindNearestNeighbours(&bucket1, db.m_descriptors, q, match, quality, 0.8);
    EXPECT_EQ(std::vector<int>(match.begin(), match.begin() + 2), (std::vector<int>{7, -1}));
}
