#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "core/kd_tree.h"

namespace {

// Points owned through kdAllocPts / kdDeallocPts.
struct PointSet {
    PointSet(int n, int dim) : n(n), dim(dim), pts(kdAllocPts(n, dim)) {}
    ~PointSet() { kdDeallocPts(pts); }
    PointSet(const PointSet&) = delete;
    PointSet& operator=(const PointSet&) = delete;
    int n, dim;
    double** pts;
};

// The k smallest distances by exhaustive search, summed as the tree sums them.
std::vector<double> bruteForce(const PointSet& s, const double* q, int k)
{
    std::vector<double> all;
    for (int i = 0; i < s.n; ++i)
        all.push_back(kdDistance2(q, s.pts[i], s.dim));
    std::sort(all.begin(), all.end());
    all.resize(std::min<std::size_t>(all.size(), k));
    return all;
}

// Every split has two sides and the leaves hold every point exactly once.
void checkNode(const kd_node* node, std::vector<int>& seen, int bucket)
{
    if (node->isLeafNode()) {
        const auto* leaf = static_cast<const kd_leaf*>(node);
        EXPECT_TRUE(leaf->nPoints >= 1 && leaf->nPoints <= bucket);
        for (int i = 0; i < leaf->nPoints; ++i)
            seen[leaf->bucket[i]]++;
        return;
    }
    const auto* split = static_cast<const kd_split*>(node);
    ASSERT_TRUE(split->child[0] && split->child[1]) << "a split left one side empty";
    checkNode(split->child[0], seen, bucket);
    checkNode(split->child[1], seen, bucket);
}

void checkTree(const kd_tree& t)
{
    std::vector<int> seen(t.nPoints, 0);
    checkNode(t.root, seen, t.bucketSize);
    EXPECT_EQ(seen, std::vector<int>(t.nPoints, 1));
}

void expectMatchesBruteForce(kd_tree& tree, const PointSet& s, const double* q, int k)
{
    std::vector<int> idx(k);
    std::vector<double> dist(k);
    tree.kPriSearch(q, k, idx.data(), dist.data(), 0.0);
    const auto ref = bruteForce(s, q, k);
    for (int i = 0; i < k; ++i) {
        if (i < static_cast<int>(ref.size())) {
            ASSERT_EQ(dist[i], ref[i]) << "rank " << i;
            ASSERT_GE(idx[i], 0);
            ASSERT_EQ(kdDistance2(q, s.pts[idx[i]], s.dim), dist[i]);  // ties may name another point
        } else {
            EXPECT_EQ(std::pair(idx[i], dist[i]), std::pair(-1, PQ_NULL_KEY));
        }
    }
    // No point reported twice.
    std::vector<int> found(idx.begin(), idx.begin() + std::min<int>(k, ref.size()));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(std::adjacent_find(found.begin(), found.end()), found.end());
}

}  // namespace

TEST(KdTreeQueues, KnnQueueKeepsKSmallestEarlierFirstOnTies)
{
    KNN_Queue q(3);
    EXPECT_EQ(q.max_key(), PQ_NULL_KEY);
    for (auto [key, index] : {std::pair{5, 0}, {2, 1}, {5, 2}})
        q.insert(key, index);
    EXPECT_EQ(q.max_key(), 5);
    q.insert(2, 3);  // equal key: after the earlier 2
    q.insert(7, 4);  // falls off
    ASSERT_EQ(q.size(), 3);
    EXPECT_EQ(std::vector<int>({q.index(0), q.index(1), q.index(2), int(q.max_key())}), std::vector<int>({1, 3, 0, 5}));
}

TEST(KdTreeBuild, PlaneSplitGroupsBelowEqualAbove)
{
    const double v[] = {3, 1, 2, 2, 5, 0, 2, 4};
    PointSet s(8, 1);
    for (int i = 0; i < 8; ++i)
        s.pts[i][0] = v[i];
    std::vector<int> idx{0, 1, 2, 3, 4, 5, 6, 7};
    int br1, br2;
    kdPlaneSplit(s.pts, idx.data(), 8, 0, 2.0, br1, br2);
    ASSERT_EQ(std::pair(br1, br2), std::pair(2, 5));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(s.pts[idx[i]][0] < 2 ? 0 : s.pts[idx[i]][0] == 2 ? 1 : 2, i < br1 ? 0 : i < br2 ? 1 : 2) << i;
}

TEST(KdTreeBuild, EmptyAndSingleLeafTrees)
{
    PointSet none(0, 3);
    kd_tree empty(none.pts, 0, 3, 4, KD_SUGGEST);
    EXPECT_TRUE(empty.root == nullptr && empty.boxLow.empty());
    expectMatchesBruteForce(empty, none, std::vector<double>(3, 0.0).data(), 4);  // all padding

    PointSet four(4, 2);
    for (int i = 0; i < 4; ++i)
        four.pts[i][0] = i, four.pts[i][1] = -i;
    kd_tree small(four.pts, 4, 2, 4, KD_SUGGEST);
    ASSERT_TRUE(small.root && small.root->isLeafNode());
    EXPECT_EQ(std::pair(small.boxLow, small.boxHigh), std::pair(std::vector<double>{0, -3}, std::vector<double>{3, 0}));

    kd_tree unsupported(four.pts, 4, 2, 4, 1);
    EXPECT_EQ(unsupported.root, nullptr);
}

TEST(KdTreeBuild, SlidingCutsStillPartitionThePoints)
{
    // 1-D runs whose cells end up with all points on one side of the midpoint, with the
    // extreme point away from the front of its run, so the slid cut must move it.
    for (double sign : {1.0, -1.0}) {
        const double v[] = {0, 1.0, 0.94, 0.93, 0.92, 0.91, 0.9, 0.95, 0.905};
        PointSet s(9, 1);
        for (int i = 0; i < 9; ++i)
            s.pts[i][0] = sign * v[i];
        for (int bucket : {1, 2}) {
            kd_tree t(s.pts, 9, 1, bucket, KD_SUGGEST);
            checkTree(t);
            for (int i = 0; i < 9; ++i)
                expectMatchesBruteForce(t, s, s.pts[i], 2);
        }
    }
}

TEST(KdTreeSearch, UncappedSearchEqualsBruteForce)
{
    // Duplicates: few distinct values in the first three coordinates, the rest equal; identical
    // points (with tiny buckets) must terminate too.
    enum Kind { Random, Duplicates, Identical };
    struct Case {
        int dim, n, bucket;
        Kind kind;
    };
    const Case cases[] = {{2, 1500, 4, Random},    {16, 1500, 4, Random},    {128, 600, 4, Random},
                          {3, 800, 1, Duplicates}, {3, 800, 4, Duplicates},  {32, 800, 1, Duplicates},
                          {32, 800, 4, Duplicates}, {4, 50, 0, Identical},   {4, 50, 1, Identical},
                          {4, 50, 4, Identical}};
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::uniform_int_distribution<int> level(0, 2);
    auto coordinate = [&](const Case& c, int d, double shift) {
        if (c.kind == Identical)
            return 0.25 + shift;
        return c.kind == Duplicates ? (d < 3 ? level(rng) * 0.5 + shift : 0.125) : u(rng) * (1 + 2 * shift) - shift;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "dim " << c.dim << " bucket " << c.bucket << " kind " << c.kind);
        PointSet s(c.n, c.dim);
        for (int i = 0; i < c.n; ++i)
            for (int d = 0; d < c.dim; ++d)
                s.pts[i][d] = coordinate(c, d, 0.0);
        kd_tree t(s.pts, c.n, c.dim, c.bucket, KD_SUGGEST);
        checkTree(t);
        std::vector<double> q(c.dim);
        for (int trial = 0; trial < 60; ++trial) {
            for (int d = 0; d < c.dim; ++d)  // some queries off the points or outside the box
                q[d] = coordinate(c, d, c.kind != Random ? (trial % 2) * 0.2 : 0.1);
            expectMatchesBruteForce(t, s, q.data(), 4);
        }
        for (int i = 0; i < c.n; i += c.n / 10)  // queries that coincide with stored points
            expectMatchesBruteForce(t, s, s.pts[i], 4);
    }
    // k above the number of points pads the answer.
    PointSet few(3, 2);
    for (int i = 0; i < 3; ++i)
        few.pts[i][0] = few.pts[i][1] = i;
    kd_tree ft(few.pts, 3, 2, 1, KD_SUGGEST);
    const double q[2] = {0.7, 1.9};
    expectMatchesBruteForce(ft, few, q, 5);
}

TEST(KdTreeSearch, VisitCapBoundsTheWorkAndKeepsAnswersPlausible)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int n = 3000, dim = 32;
    PointSet s(n, dim);
    for (int i = 0; i < n; ++i)
        for (int d = 0; d < dim; ++d)
            s.pts[i][d] = u(rng);
    kd_tree t(s.pts, n, dim, 4, 5);  // as the engines build it
    t.maxPointsVisit = 200;
    std::vector<double> q(dim);
    int idx[4];
    double dist[4];
    for (int trial = 0; trial < 30; ++trial) {
        for (int d = 0; d < dim; ++d)
            q[d] = u(rng);
        t.kPriSearch(q.data(), 4, idx, dist, 0.0);
        // The cap is checked before each leaf: at most one bucket beyond it.
        EXPECT_TRUE(t.pointsVisited.load() > 200 && t.pointsVisited.load() <= 200 + 1 + 4) << t.pointsVisited.load();
        const auto ref = bruteForce(s, q.data(), 4);
        for (int i = 0; i < 4; ++i) {
            ASSERT_GE(idx[i], 0);
            EXPECT_EQ(kdDistance2(q.data(), s.pts[idx[i]], dim), dist[i]);
            EXPECT_TRUE(dist[i] >= ref[i] && (i == 0 || dist[i] >= dist[i - 1])) << i;
        }
    }
    // A query equal to a stored point still finds it exactly (it is in the first leaf).
    t.kPriSearch(s.pts[1234], 4, idx, dist, 0.0);
    EXPECT_EQ(std::pair(idx[0], dist[0]), std::pair(1234, 0.0));
}
