// kd-tree with bucket leaves (after Arya and Mount's ANN library): the sliding-midpoint
// rule cuts the longest side of a cell at its middle and, when all points lie on one
// side, slides the cut onto the nearest point so no cell is empty. The search is
// best-bin-first: cells wait in a min-heap keyed by their (incrementally updated)
// squared distance to the query, and the k best points are kept in a sorted list.
#include "core/kd_tree.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "core/keypoints.h"
#include "core/parallel.h"

double** kdAllocPts(int n, int dim)
{
    n = std::max(n, 0);
    dim = std::max(dim, 0);
    auto* block = new double[static_cast<std::size_t>(n) * static_cast<std::size_t>(dim)];
    double** rows = nullptr;
    try {
        // At least one row pointer, so the block can always be freed through rows[0].
        rows = new double*[static_cast<std::size_t>(std::max(n, 1))];
    } catch (...) {
        delete[] block;
        throw;
    }
    rows[0] = block;
    for (int i = 1; i < n; ++i)
        rows[i] = block + static_cast<std::size_t>(i) * static_cast<std::size_t>(dim);
    return rows;
}

void kdDeallocPts(double**& points)
{
    if (!points)
        return;
    delete[] points[0];
    delete[] points;
    points = nullptr;
}

// ---------------------------------------------------------------------------
// Queues

void Priority_Queue::Insert(double key, kd_node* node)
{
    if (static_cast<std::size_t>(m_n) + 1 >= m_heap.size())
        m_heap.resize(m_heap.size() * 2 + 2);  // only if a caller sized it too small
    int r = ++m_n;
    while (r > 1) {
        const int p = r / 2;
        if (!(m_heap[p].key > key))
            break;
        m_heap[r] = m_heap[p];
        r = p;
    }
    m_heap[r] = {key, node};
}

void Priority_Queue::Extr_Min(double& key, kd_node*& node)
{
    key = m_heap[1].key;
    node = m_heap[1].node;
    const Entry last = m_heap[m_n--];
    int p = 1;
    int c = 2;
    while (c <= m_n) {
        if (c < m_n && m_heap[c].key > m_heap[c + 1].key)
            ++c;
        if (!(last.key > m_heap[c].key))
            break;
        m_heap[p] = m_heap[c];
        p = c;
        c = 2 * p;
    }
    m_heap[p] = last;
}

void KNN_Queue::insert(double key, int index)
{
    int i = m_n;
    while (i > 0 && m_keys[i - 1] > key) {
        m_keys[i] = m_keys[i - 1];
        m_index[i] = m_index[i - 1];
        --i;
    }
    m_keys[i] = key;
    m_index[i] = index;
    if (m_n < m_k)
        ++m_n;
}

// ---------------------------------------------------------------------------
// Building blocks

void kdMinMax(double** points, const int* indices, int n, int d, double& min, double& max)
{
    min = max = points[indices[0]][d];
    for (int i = 1; i < n; ++i) {
        const double c = points[indices[i]][d];
        if (c < min)
            min = c;
        else if (c > max)
            max = c;
    }
}

double kdSpread(double** points, const int* indices, int n, int d)
{
    double min, max;
    kdMinMax(points, indices, n, d, min, max);
    return max - min;
}

void kdEnclRect(double** points, const int* indices, int n, int dimension, KDRect& box)
{
    for (int d = 0; d < dimension; ++d)
        kdMinMax(points, indices, n, d, box.low[d], box.high[d]);
}

void kdPlaneSplit(double** points, int* indices, int n, int d, double cut, int& br1, int& br2)
{
    // First pass: [0, br1) < cut <= [br1, n).
    int l = 0;
    int r = n - 1;
    for (;;) {
        while (l < n && points[indices[l]][d] < cut)
            ++l;
        while (r >= 0 && points[indices[r]][d] >= cut)
            --r;
        if (l > r)
            break;
        std::swap(indices[l], indices[r]);
        ++l;
        --r;
    }
    br1 = l;
    // Second pass over the upper part: [br1, br2) == cut < [br2, n).
    r = n - 1;
    for (;;) {
        while (l < n && points[indices[l]][d] <= cut)
            ++l;
        while (r >= br1 && points[indices[r]][d] > cut)
            --r;
        if (l > r)
            break;
        std::swap(indices[l], indices[r]);
        ++l;
        --r;
    }
    br2 = l;
}

double kdBoxDistance(const double* query, const double* low, const double* high, int dimension)
{
    double dist = 0.0;
    for (int d = 0; d < dimension; ++d) {
        if (query[d] < low[d]) {
            const double t = low[d] - query[d];
            dist += t * t;
        } else if (query[d] > high[d]) {
            const double t = query[d] - high[d];
            dist += t * t;
        }
    }
    return dist;
}

void sl_midpt_split(double** points, int* indices, const KDRect& box, int n, int dimension,
                    int& cutDim, double& cutValue, int& nLow)
{
    double maxLength = box.high[0] - box.low[0];
    for (int d = 1; d < dimension; ++d)
        maxLength = std::max(maxLength, box.high[d] - box.low[d]);

    // Among the (nearly) longest sides, cut where the points spread most.
    double maxSpread = -1.0;
    cutDim = 0;
    for (int d = 0; d < dimension; ++d) {
        if (box.high[d] - box.low[d] >= 0.999 * maxLength) {
            const double spread = kdSpread(points, indices, n, d);
            if (spread > maxSpread) {
                maxSpread = spread;
                cutDim = d;
            }
        }
    }

    const double ideal = (box.low[cutDim] + box.high[cutDim]) / 2;
    double min, max;
    kdMinMax(points, indices, n, cutDim, min, max);
    if (ideal < min)
        cutValue = min;
    else if (ideal > max)
        cutValue = max;
    else
        cutValue = ideal;

    // Partition in every case: a cut slid onto the extreme point must bring that point
    // to the front (or back) of the run, or the children would not hold their points.
    int br1, br2;
    kdPlaneSplit(points, indices, n, cutDim, cutValue, br1, br2);
    if (ideal < min)
        nLow = 1;
    else if (ideal > max)
        nLow = n - 1;
    else if (br1 > n / 2)
        nLow = br1;
    else
        nLow = std::min(br2, n / 2);
}

namespace {

using Splitter = void (*)(double**, int*, const KDRect&, int, int, int&, double&, int&);

kd_node* rkd_tree(double** points, int* indices, int n, int dimension, int bucketSize, KDRect& box,
                  Splitter splitter)
{
    if (n <= bucketSize)
        return n == 0 ? nullptr : new kd_leaf(n, indices);

    int cutDim;
    double cutValue;
    int nLow;
    splitter(points, indices, box, n, dimension, cutDim, cutValue, nLow);

    const double low = box.low[cutDim];
    const double high = box.high[cutDim];
    box.high[cutDim] = cutValue;
    std::unique_ptr<kd_node> lowChild(rkd_tree(points, indices, nLow, dimension, bucketSize, box, splitter));
    box.high[cutDim] = high;
    box.low[cutDim] = cutValue;
    std::unique_ptr<kd_node> highChild;
    try {
        highChild.reset(rkd_tree(points, indices + nLow, n - nLow, dimension, bucketSize, box, splitter));
    } catch (...) {
        box.low[cutDim] = low;
        throw;
    }
    box.low[cutDim] = low;
    auto* node = new kd_split(cutDim, cutValue, low, high, lowChild.get(), highChild.get());
    lowChild.release();
    highChild.release();
    return node;
}

}  // namespace

// ---------------------------------------------------------------------------
// Tree

void kd_tree::SkeletonTree(int n, int dimension, int bucket, double** pts, const int* indices)
{
    dim = dimension;
    nPoints = n;
    bucketSize = bucket;
    points = pts;
    root = nullptr;
    if (indices) {
        pointIndex.assign(indices, indices + n);
    } else {
        pointIndex.resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i)
            pointIndex[i] = i;
    }
}

kd_tree::kd_tree(double** pts, int n, int dimension, int bucket, int rule)
{
    maxPointsVisit = 0;
    // A bucket below 1 would never stop splitting a single point; no points or no
    // dimensions make an empty tree.
    if (n < 0 || dimension <= 0 || !pts)
        n = 0;
    SkeletonTree(n, dimension, std::max(bucket, 1), pts, nullptr);
    if (n == 0)
        return;

    KDRect box(dim);
    kdEnclRect(points, pointIndex.data(), n, dim, box);
    boxLow = box.low;
    boxHigh = box.high;
    if (rule != KD_SL_MIDPT && rule != KD_SUGGEST)
        return;
    root = rkd_tree(points, pointIndex.data(), n, dim, bucketSize, box, sl_midpt_split);
}

kd_tree::~kd_tree()
{
    delete root;
}

namespace {

// Squared distance in four interleaved partial sums (independent add chains run in
// parallel), checked against `limit` after every 16 dimensions. Every partial sum
// only grows, so a point is abandoned exactly when its full distance would exceed the
// limit. Returns +inf for an abandoned point.
inline double distance2(const double* q, const double* p, int dim, double limit)
{
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int d = 0;
    for (; d + 16 <= dim; d += 16) {
        for (int j = d; j < d + 16; j += 4) {
            const double t0 = q[j] - p[j], t1 = q[j + 1] - p[j + 1];
            const double t2 = q[j + 2] - p[j + 2], t3 = q[j + 3] - p[j + 3];
            s0 += t0 * t0;
            s1 += t1 * t1;
            s2 += t2 * t2;
            s3 += t3 * t3;
        }
        if ((s0 + s1) + (s2 + s3) > limit)
            return INFINITY;
    }
    for (; d < dim; ++d) {
        const double t = q[d] - p[d];
        s0 += t * t;
    }
    return (s0 + s1) + (s2 + s3);
}

}  // namespace

double kdDistance2(const double* a, const double* b, int dimension)
{
    return distance2(a, b, dimension, INFINITY);
}

struct kd_tree::SearchScratch {
    Priority_Queue boxQueue;
    KNN_Queue nearest;
    int visited = 0;
};

void kd_tree::SearchLeaf(const kd_leaf* leaf, const double* query, SearchScratch& s) const
{
    double kth = s.nearest.max_key();
    for (int i = 0; i < leaf->nPoints; ++i) {
        const int idx = leaf->bucket[i];
        const double dist = distance2(query, points[idx], dim, kth);
        if (!(dist > kth)) {  // NaN distances are kept, as a plain sum would keep them
            s.nearest.insert(dist, idx);
            kth = s.nearest.max_key();
        }
    }
    s.visited += leaf->nPoints;
}

void kd_tree::kPriSearch(const double* query, int k, int* indices, double* distances, double eps)
{
    thread_local SearchScratch s;
    s.visited = 0;
    pointsVisited.store(0, std::memory_order_relaxed);
    if (k <= 0)
        return;
    s.nearest.reset(k);

    if (root) {
        if (s.boxQueue.capacity() < nPoints + 1)
            s.boxQueue.reset(nPoints + 1);
        s.boxQueue.clear();
        const double maxErr = (1.0 + eps) * (1.0 + eps);
        s.boxQueue.Insert(kdBoxDistance(query, boxLow.data(), boxHigh.data(), dim), root);

        while (!s.boxQueue.empty()) {
            if (maxPointsVisit != 0 && s.visited > maxPointsVisit)
                break;
            double boxDist;
            kd_node* node;
            s.boxQueue.Extr_Min(boxDist, node);
            if (maxErr * boxDist >= s.nearest.max_key())
                break;

            // Descend to the leaf of the query's side, queueing the far child of every
            // split with the box distance it would have.
            while (node && !node->isLeafNode()) {
                const auto* split = static_cast<const kd_split*>(node);
                const double q = query[split->cutDim];
                const double delta = q - split->cutValue;
                if (delta < 0) {
                    const double outside = std::max(0.0, split->cellLow - q);
                    if (split->child[1])
                        s.boxQueue.Insert(boxDist + (delta * delta - outside * outside), split->child[1]);
                    node = split->child[0];
                } else {
                    const double outside = std::max(0.0, q - split->cellHigh);
                    if (split->child[0])
                        s.boxQueue.Insert(boxDist + (delta * delta - outside * outside), split->child[0]);
                    node = split->child[1];
                }
            }
            if (node)
                SearchLeaf(static_cast<const kd_leaf*>(node), query, s);
        }
    }

    pointsVisited.store(s.visited, std::memory_order_relaxed);
    const int found = s.nearest.size();
    for (int i = 0; i < k; ++i) {
        if (i < found) {
            indices[i] = s.nearest.index(i);
            distances[i] = s.nearest.key(i);
        } else {
            indices[i] = -1;
            distances[i] = PQ_NULL_KEY;
        }
    }
}

// ---------------------------------------------------------------------------
// Nearest-neighbour ratio matching

namespace PanoramaRecognition::NearestNeighboursAlgorithm {

namespace {
constexpr std::size_t kQueryBlock = 32;  // query points per parallel block
}

bool FindNearestNeighbours(void* treePtr, ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& /*stored*/,
                           ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& query, std::vector<int>& match,
                           std::vector<int>& quality, double ratio)
{
    match.assign(query.size(), -1);
    quality.assign(query.size(), 10000);
    auto* tree = static_cast<kd_tree*>(treePtr);
    if (!tree || !tree->root)
        return true;  // nothing stored: no neighbours

    // The ratio test reads the two nearest, whatever bucket the tree was built with.
    const int k = std::max(tree->bucketSize, 2);
    const int copied = std::min(tree->dim, ScaleSpace::kDescriptorLength);
    const double ratio2 = ratio * ratio;

    // Each query point is searched on its own (the tree is only read), in blocks on
    // several threads.
    Utils::ParallelFor(query.size(), kQueryBlock, [&](std::size_t i0, std::size_t i1) {
        std::vector<int> indices(k);
        std::vector<double> distances(k);
        std::vector<double> point(tree->dim, 0.0);
        for (std::size_t i = i0; i < i1; ++i) {
            const ScaleSpace::CKeyDescriptor* desc = query[i];
            if (!desc)
                continue;
            std::copy(desc->v, desc->v + copied, point.begin());
            tree->kPriSearch(point.data(), k, indices.data(), distances.data(), 0.0);
            const double d1 = distances[0], d2 = distances[1];
            if (indices[0] >= 0 && d1 < ratio2 * d2) {
                match[i] = indices[0];
                // d1 < ratio^2 d2 keeps this below 1000 ratio^2; the clamp only guards odd ratios.
                const double q = 1000.0 * d1 / d2;
                quality[i] = static_cast<int>(std::clamp(q, 0.0, 10000.0));
            }
        }
    });
    return true;
}

}  // namespace PanoramaRecognition::NearestNeighboursAlgorithm
