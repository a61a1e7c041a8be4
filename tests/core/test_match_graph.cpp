// The match graph's bookkeeping. These cases run under AddressSanitizer too, where a
// link left pointing at a deleted node, or a node list pointing at a deleted link, fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "core/match_graph.h"

using match_graph::CGraph;
using match_graph::CGraphLink;
using match_graph::CGraphNode;

namespace {

CGraphLink* addMatch(CGraph& g, int i, int j, int inliers)
{
    CGraphLink* l = g.AddLink(i, j);
    if (!l)
        return nullptr;
    l->id1 = i;
    l->id2 = j;
    l->inliers = inliers;
    l->outliers = inliers / 3;
    l->error = 0.25 * inliers;
    for (int k = 0; k < 9; ++k)
        l->m[k / 3][k % 3] = k + 0.5 * i + 0.25 * j;
    for (int k = 0; k < inliers; ++k) {
        l->keys1.push_back(100 * i + k);
        l->keys2.push_back(100 * j + k);
        l->inlierQuality.push_back(k % 4);
    }
    l->outKeys1 = {i};
    l->outKeys2 = {j};
    l->outlierQuality = {9};
    return l;
}

CGraph graphOf(std::initializer_list<int> ids)
{
    CGraph g;
    for (int id : ids)
        g.AddNode(id);
    return g;
}

bool contains(const std::vector<CGraphLink*>& v, const CGraphLink* l)
{
    return std::find(v.begin(), v.end(), l) != v.end();
}

// Every link in the graph joins two nodes of the graph and is listed by both; every
// node lists only links of the graph.
void expectConsistent(const CGraph& g)
{
    for (const CGraphLink* l : g.links) {
        ASSERT_TRUE(l->node1 && l->node2);
        EXPECT_TRUE(std::count(g.nodes.begin(), g.nodes.end(), l->node1) == 1 &&
                    std::count(g.nodes.begin(), g.nodes.end(), l->node2) == 1);
        EXPECT_TRUE(contains(l->node1->links, l) && contains(l->node2->links, l));
    }
    for (const CGraphNode* n : g.nodes)
        for (const CGraphLink* l : n->links)
            EXPECT_TRUE(contains(g.links, l));
}

}  // namespace

TEST(MatchGraph, NodesAndLinksFollowTheirRules)
{
    CGraph g;
    for (int id : {1, 5, 5})  // already there: one node, still true
        EXPECT_TRUE(g.AddNode(id));
    EXPECT_EQ(g.nodes.size(), 2u);
    EXPECT_EQ(std::pair(g.FindNode(5)->id, g.FindNode(4)), std::pair(5, static_cast<CGraphNode*>(nullptr)));
    for (auto [i, j] : {std::pair{3, 3}, {1, 1}, {1, 2}})  // node 2 does not exist yet
        EXPECT_EQ(g.AddLink(i, j), nullptr);
    ASSERT_TRUE(g.AddNode(2));
    CGraphLink* l = g.AddLink(1, 2);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(std::pair(l->id1, l->id2), std::pair(-1, -1));
    EXPECT_EQ(g.FindLink(1, 2), nullptr);  // ids are the caller's to set
    EXPECT_EQ(std::memcmp(l->m, CGraphLink().m, sizeof l->m), 0);  // a new link's transform starts zeroed
    EXPECT_EQ(std::pair(l->node1, l->node2), std::pair(g.FindNode(1), g.FindNode(2)));
    expectConsistent(g);  // listed by both nodes
    l->id1 = 1;
    l->id2 = 2;
    EXPECT_EQ(std::vector<CGraphLink*>({g.FindLink(1, 2), g.FindLink(2, 1), g.FindLink(1, 5)}),
              std::vector<CGraphLink*>({l, l, nullptr}));
    expectConsistent(g);
}

TEST(MatchGraph, RemovingALinkThatIsNotInTheGraphDoesNothing)
{
    CGraph g = graphOf({0, 1});
    CGraphLink* l = addMatch(g, 0, 1, 4);
    CGraphLink stranger;
    EXPECT_TRUE(!g.RemoveLink(&stranger, true) && !g.RemoveLink(nullptr, true) && g.links.size() == 1);

    // The caller takes the link off its nodes, then out of the graph.
    g.FindNode(0)->RemoveLink(l);
    g.FindNode(1)->RemoveLink(l);
    g.FindNode(1)->RemoveLink(nullptr);
    EXPECT_TRUE(g.RemoveLink(l, true) && g.links.empty());
    expectConsistent(g);
}

TEST(MatchGraph, CopyHasItsOwnNodesAndEqualLinks)
{
    CGraph src = graphOf({4, 7, 9});
    addMatch(src, 4, 7, 12);
    addMatch(src, 9, 7, 5);

    CGraph copy(&src);
    ASSERT_TRUE(copy.nodes.size() == 3 && copy.links.size() == 2);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(copy.nodes[i] != src.nodes[i] && copy.nodes[i]->id == src.nodes[i]->id &&
                    copy.nodes[i]->links.size() == src.nodes[i]->links.size()) << i;
    for (std::size_t i = 0; i < 2; ++i) {
        const CGraphLink* a = src.links[i];
        const CGraphLink* b = copy.links[i];
        EXPECT_NE(a, b);
        EXPECT_EQ(std::tie(b->id1, b->id2, b->error, b->inliers, b->outliers),
                  std::tie(a->id1, a->id2, a->error, a->inliers, a->outliers));
        EXPECT_EQ(std::tie(b->keys1, b->keys2, b->outKeys1, b->outKeys2, b->inlierQuality, b->outlierQuality),
                  std::tie(a->keys1, a->keys2, a->outKeys1, a->outKeys2, a->inlierQuality, a->outlierQuality));
        EXPECT_EQ(std::memcmp(b->m, a->m, sizeof a->m), 0);
        EXPECT_EQ(std::pair(b->node1, b->node2), std::pair(copy.FindNode(a->node1->id), copy.FindNode(a->node2->id)));
    }
    expectConsistent(copy);

    // Assignment replaces what was there; self-assignment keeps it.
    CGraph other;
    other.AddNode(1);
    other = src;
    EXPECT_TRUE(other.nodes.size() == 3 && other.FindNode(1) == nullptr);
    CGraph& alias = other;
    other = alias;
    EXPECT_EQ(other.links.size(), 2u);
    expectConsistent(other);

    // The copies are independent: freeing the source leaves them whole.
    src.Free();
    EXPECT_TRUE(src.nodes.empty() && src.links.empty());
    EXPECT_EQ(copy.FindLink(7, 9)->inliers, 5);
}

TEST(MatchGraph, RemoveDoubleLinksKeepsOnlyTheChosenLink)
{
    CGraph g = graphOf({0, 1, 2});
    addMatch(g, 0, 1, 3);
    CGraphLink* toOther = addMatch(g, 0, 2, 8);
    CGraphLink* keep = addMatch(g, 1, 0, 10);  // the other direction counts too
    addMatch(g, 0, 1, 6);
    CGraphNode* a = g.FindNode(0);
    CGraphNode* b = g.FindNode(1);
    g.RemoveDoubleLinks(a, b, keep);
    ASSERT_EQ(g.links.size(), 2u);
    EXPECT_TRUE(contains(g.links, keep) && contains(g.links, toOther));
    EXPECT_EQ(std::pair(a->links, b->links),
              std::pair(std::vector<CGraphLink*>({toOther, keep}), std::vector<CGraphLink*>({keep})));
    expectConsistent(g);

    // A node with a single link is left alone.
    CGraphNode* c = g.FindNode(2);
    g.RemoveDoubleLinks(c, a, nullptr);
    EXPECT_EQ(g.links.size(), 2u);
}

TEST(MatchGraph, DeletingANodeTakesItsLinksWithIt)
{
    CGraph g = graphOf({0, 1, 2, 3});
    addMatch(g, 0, 1, 4);
    CGraphLink* l02 = addMatch(g, 0, 2, 5);
    addMatch(g, 3, 1, 6);
    CGraphLink* l23 = addMatch(g, 2, 3, 7);

    EXPECT_TRUE(g.RemoveNode(1, true) == nullptr && g.FindNode(1) == nullptr);
    EXPECT_EQ(g.links, std::vector<CGraphLink*>({l02, l23}));
    EXPECT_EQ(std::pair(g.FindNode(0)->links, g.FindNode(3)->links),
              std::pair(std::vector<CGraphLink*>({l02}), std::vector<CGraphLink*>({l23})));
    expectConsistent(g);

    // A copy made afterwards only sees live nodes.
    CGraph copy(g);
    EXPECT_TRUE(copy.nodes.size() == 3 && copy.links.size() == 2);
    EXPECT_EQ(g.RemoveNode(42, true), nullptr);
}

TEST(MatchGraph, ANodeHandedOutKeepsItsLinksForTheCallerToReattach)
{
    // The mosaic builder takes a node out, moves its remaining links over to the root
    // and then deletes the node itself.
    CGraph g = graphOf({0, 1, 2});
    CGraphLink* best = addMatch(g, 0, 1, 9);
    CGraphLink* far = addMatch(g, 1, 2, 4);
    CGraphNode* root = g.FindNode(0);

    root->RemoveLink(best);
    CGraphNode* other = g.RemoveNode(1, false);
    ASSERT_TRUE(other != nullptr && g.FindNode(1) == nullptr);
    EXPECT_EQ(other->links, std::vector<CGraphLink*>({best, far}));
    EXPECT_TRUE(g.RemoveLink(best, false));

    far->id1 = 0;
    far->node1 = root;
    root->links.push_back(far);
    match_graph::DeleteObject()(best);  // del false handed the link to the caller
    match_graph::DeleteObject()(other);
    match_graph::DeleteObject()(static_cast<CGraphLink*>(nullptr));
    ASSERT_EQ(g.links.size(), 1u);
    EXPECT_EQ(g.FindLink(0, 2), far);
    expectConsistent(g);

    // A graph whose link still points at a node handed out is copied without that link.
    CGraph h = graphOf({5, 6});
    addMatch(h, 5, 6, 2);
    CGraphNode* out = h.RemoveNode(6, false);
    CGraph hc(h);
    EXPECT_TRUE(hc.nodes.size() == 1 && hc.links.empty());
    h.FindNode(5)->links.clear();
    h.Free();
    delete out;
}
