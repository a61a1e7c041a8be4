// kd-tree over high-dimensional points (SIFT descriptors) with bucket leaves,
// built by the sliding-midpoint rule and searched best-bin-first: cells are
// visited in order of their distance to the query, optionally capped at a number
// of examined points, which makes the answer approximate but the cost bounded.
#pragma once

#include <atomic>

#include <cfloat>
#include <memory>
#include <vector>

namespace ScaleSpace {
template <class T>
class CKeypointArray;
struct CKeyDescriptor;
}  // namespace ScaleSpace

// "No entry": larger than every distance a search can report.
inline constexpr double PQ_NULL_KEY = DBL_MAX;

// Split rules; 3 and 5 both select the sliding midpoint, nothing else is built.
enum KDsplitRule { KD_SL_MIDPT = 3, KD_SUGGEST = 5 };

// n rows of dim doubles in one contiguous block; the tree refers to them, never owns them.
double** kdAllocPts(int n, int dim);
void kdDeallocPts(double**& points);

class kd_node {
public:
    virtual ~kd_node() = default;
    virtual bool isLeafNode() const { return false; }
};

class kd_leaf final : public kd_node {
public:
    kd_leaf(int n, int* run) : nPoints(n), bucket(run) {}
    bool isLeafNode() const override { return true; }

    int nPoints;
    int* bucket;  // run of the tree's index array
};

class kd_split final : public kd_node {
public:
    kd_split(int dim, double value, double lo, double hi, kd_node* lowChild, kd_node* highChild)
        : cutDim(dim), cutValue(value), cellLow(lo), cellHigh(hi), child{lowChild, highChild}
    {
    }
    ~kd_split() override
    {
        delete child[0];
        delete child[1];
    }
    kd_split(const kd_split&) = delete;
    kd_split& operator=(const kd_split&) = delete;

    int cutDim;
    double cutValue;
    double cellLow;   // extent of the cell along cutDim when it was split
    double cellHigh;
    kd_node* child[2];  // [0] below the cut, [1] at or above
};

// Axis-aligned box with owned corners.
struct KDRect {
    explicit KDRect(int dim, double lo = 0.0, double hi = 0.0) : low(dim, lo), high(dim, hi) {}
    std::vector<double> low;
    std::vector<double> high;
};

// Binary min-heap of (key, node), 1-based, fixed capacity (never exceeded: a search
// queues at most one node per split, fewer than there are points).
class Priority_Queue {
public:
    explicit Priority_Queue(int capacity = 0) { reset(capacity); }
    void reset(int capacity)
    {
        m_heap.resize(static_cast<std::size_t>(capacity) + 1);
        m_n = 0;
    }
    void clear() { m_n = 0; }
    bool empty() const { return m_n == 0; }
    int capacity() const { return static_cast<int>(m_heap.size()) - 1; }
    int size() const { return m_n; }
    void Insert(double key, kd_node* node);
    void Extr_Min(double& key, kd_node*& node);

private:
    struct Entry {
        double key;
        kd_node* node;
    };
    std::vector<Entry> m_heap;
    int m_n = 0;
};

// The k smallest (key, index) pairs seen so far, ascending; among equal keys the
// earlier one stays first.
class KNN_Queue {
public:
    explicit KNN_Queue(int k = 1) { reset(k); }
    void reset(int k)
    {
        m_k = k;
        m_n = 0;
        m_keys.resize(static_cast<std::size_t>(k) + 1);
        m_index.resize(static_cast<std::size_t>(k) + 1);
    }
    void insert(double key, int index);
    // Largest key when full, else PQ_NULL_KEY.
    double max_key() const { return m_n == m_k ? m_keys[m_n - 1] : PQ_NULL_KEY; }
    int size() const { return m_n; }
    double key(int i) const { return m_keys[i]; }
    int index(int i) const { return m_index[i]; }

private:
    int m_k = 1;
    int m_n = 0;
    std::vector<double> m_keys;
    std::vector<int> m_index;
};

class kd_tree {
public:
    // rule: a KDsplitRule value (3 or 5; the engines pass 5).
    kd_tree(double** points, int n, int dimension, int bucketSize, int rule);
    ~kd_tree();
    kd_tree(const kd_tree&) = delete;
    kd_tree& operator=(const kd_tree&) = delete;

    // k nearest points to query, nearest first, squared distances; slots beyond the
    // points found get index -1 and PQ_NULL_KEY. eps > 0 allows a (1+eps) error.
    void kPriSearch(const double* query, int k, int* indices, double* distances, double eps);

    int dim = 0;
    int nPoints = 0;
    int bucketSize = 1;
    double** points = nullptr;     // not owned
    std::vector<int> pointIndex;   // leaves are runs of it
    kd_node* root = nullptr;       // null for an empty tree
    std::vector<double> boxLow;    // bounding box of all points (empty for an empty tree)
    std::vector<double> boxHigh;
    int maxPointsVisit = 0;        // 0 = no limit
    std::atomic<int> pointsVisited{0};  // by the last search (of any thread)

    // Searches only read the tree: several threads may search one tree at once (their
    // queues are per thread, kept between searches so a query allocates nothing).
    struct SearchScratch;

private:
    void SkeletonTree(int n, int dimension, int bucket, double** pts, const int* indices);
    void SearchLeaf(const kd_leaf* leaf, const double* query, SearchScratch& s) const;
};

// Building blocks of the build, exposed for tests.
void kdEnclRect(double** points, const int* indices, int n, int dimension, KDRect& box);
double kdSpread(double** points, const int* indices, int n, int d);
void kdMinMax(double** points, const int* indices, int n, int d, double& min, double& max);
void kdPlaneSplit(double** points, int* indices, int n, int d, double cut, int& br1, int& br2);
// Squared Euclidean distance, summed exactly as the search sums it.
double kdDistance2(const double* a, const double* b, int dimension);
double kdBoxDistance(const double* query, const double* low, const double* high, int dimension);
void sl_midpt_split(double** points, int* indices, const KDRect& box, int n, int dimension,
                    int& cutDim, double& cutValue, int& nLow);

namespace PanoramaRecognition::NearestNeighboursAlgorithm {
// Pairs every query descriptor with its nearest stored one (tree is a kd_tree over the
// stored descriptors) under the distance-ratio test d1 < ratio^2 d2: match[i] = stored
// index or -1, quality[i] = 1000 d1/d2 truncated, or 10000 when unmatched. Always true.
bool FindNearestNeighbours(void* tree, ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& stored,
                           ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor>& query,
                           std::vector<int>& match, std::vector<int>& quality, double ratio);
}  // namespace PanoramaRecognition::NearestNeighboursAlgorithm
