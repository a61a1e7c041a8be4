// The match graph: one node per photo, one link per matched pair carrying the pair's
// 3x3 transform (first photo's pixels into the second's), the fit quality and the
// matched keypoint indices. The graph owns its nodes and links; a node only points to
// the links that touch it. Nodes and links are found by linear search in insertion
// order (graphs hold a few dozen photos); links are matched by their ids, not by their
// node pointers.
#pragma once

#include <cstdint>
#include <vector>

namespace match_graph {

class CGraphLink;

class CGraphNode {
public:
    CGraphNode() = default;
    explicit CGraphNode(int id_) : id(id_) {}

    // Takes the first occurrence of link out of this node's list (the link is not
    // deleted); null does nothing.
    void RemoveLink(CGraphLink* link);

    std::int32_t id = -1;            // photo index
    std::vector<CGraphLink*> links;  // links touching this node, in the order added; not owned
};

class CGraphLink {
public:
    CGraphLink() = default;

    // Copies ids, transform, error and counts, and appends src's six lists to this
    // link's own; the node pointers are not copied.
    void Copy(const CGraphLink* src);

    std::int32_t id1 = -1;  // photo index of the first photo
    std::int32_t id2 = -1;  // photo index of the second photo
    double m[3][3] = {};    // first photo's pixels -> second photo's pixels (zero until set)
    double error = 0.0;     // fit error of the pair
    std::int32_t inliers = 0;
    std::int32_t outliers = 0;
    std::vector<int> keys1;  // per inlier: keypoint index in the first photo
    std::vector<int> keys2;  // ... and in the second photo (parallel to keys1)
    // Kept, copied and freed with the link; the graph does not interpret them. The tiled
    // engine fills them with the outliers' keypoint indices in the first and second
    // photo and the Hough quality of every inlier and every outlier.
    std::vector<int> outKeys1;
    std::vector<int> outKeys2;
    std::vector<int> inlierQuality;
    std::vector<int> outlierQuality;
    CGraphNode* node1 = nullptr;  // not owned
    CGraphNode* node2 = nullptr;  // not owned
};

class CGraph {
public:
    CGraph() = default;
    explicit CGraph(const CGraph* src);  // src must not be null
    CGraph(const CGraph& src);
    // Deep copy: same node ids and links in the same orders, with this graph's own node
    // pointers. Self-assignment does nothing.
    CGraph& operator=(const CGraph& src);
    ~CGraph();

    // Deletes every node and link and empties both vectors.
    void Free() noexcept;

    // True at once when a node with this id exists; otherwise appends a new node. False
    // only when the allocation fails.
    bool AddNode(int id);
    CGraphNode* FindNode(int id) const noexcept;

    // Takes the first node with this id out of the graph; none: null.
    // del true: the node is deleted together with every link of the graph that touches
    //   it (taken out of the other node's list and out of `links`); returns null.
    // del false: the node is handed to the caller (who owns it from then on) together
    //   with its links, which stay in the graph and in the node's list so the caller
    //   can re-attach them (as the mosaic builder does); the caller must re-point or
    //   remove them before deleting the node.
    CGraphNode* RemoveNode(int id, bool del);

    // Null when i == j, when a node is missing, or when the allocation fails. Otherwise
    // appends a new link (ids -1 until the caller sets them) joining node i and node j
    // and appends it to both nodes' lists.
    CGraphLink* AddLink(int i, int j);

    // First link whose (id1, id2) is (i, j) or (j, i); null when none.
    CGraphLink* FindLink(int i, int j) const noexcept;

    // False when link is not in `links`. Otherwise takes it out (first occurrence) and
    // deletes it when del is true. The nodes' lists are not touched: take the link out
    // of them with CGraphNode::RemoveLink first.
    bool RemoveLink(CGraphLink* link, bool del);

    // Keeps only `keep` among the links between a and b (matched by ids, either
    // direction): every other one is taken out of both nodes' lists and of the graph
    // and deleted. Nothing happens when a has fewer than two links.
    void RemoveDoubleLinks(CGraphNode* a, CGraphNode* b, CGraphLink* keep);

    std::vector<CGraphNode*> nodes;  // insertion order; owned
    std::vector<CGraphLink*> links;  // insertion order; owned
};

// Deletes a node (its list, then the node) or a link (its lists, then the link); null
// is ignored.
struct DeleteObject {
    void operator()(CGraphNode* node) const noexcept { delete node; }
    void operator()(CGraphLink* link) const noexcept { delete link; }
};

}  // namespace match_graph
