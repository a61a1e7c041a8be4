#include "core/match_graph.h"

#include <algorithm>
#include <memory>
#include <new>

namespace match_graph {

namespace {

template <class T>
bool eraseFirst(std::vector<T*>& v, const T* p)
{
    auto it = std::find(v.begin(), v.end(), p);
    if (it == v.end())
        return false;
    v.erase(it);
    return true;
}

bool joins(const CGraphLink* l, int i, int j) noexcept
{
    return (l->id1 == i && l->id2 == j) || (l->id1 == j && l->id2 == i);
}

}  // namespace

void CGraphNode::RemoveLink(CGraphLink* link)
{
    if (link)
        eraseFirst(links, link);
}

void CGraphLink::Copy(const CGraphLink* src)
{
    if (!src || src == this)
        return;
    id1 = src->id1;
    id2 = src->id2;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m[r][c] = src->m[r][c];
    error = src->error;
    inliers = src->inliers;
    outliers = src->outliers;
    keys1.insert(keys1.end(), src->keys1.begin(), src->keys1.end());
    keys2.insert(keys2.end(), src->keys2.begin(), src->keys2.end());
    outKeys1.insert(outKeys1.end(), src->outKeys1.begin(), src->outKeys1.end());
    outKeys2.insert(outKeys2.end(), src->outKeys2.begin(), src->outKeys2.end());
    inlierQuality.insert(inlierQuality.end(), src->inlierQuality.begin(), src->inlierQuality.end());
    outlierQuality.insert(outlierQuality.end(), src->outlierQuality.begin(), src->outlierQuality.end());
}

CGraph::CGraph(const CGraph* src)
{
    if (src)
        *this = *src;
}

CGraph::CGraph(const CGraph& src)
{
    *this = src;
}

CGraph& CGraph::operator=(const CGraph& src)
{
    if (this == &src)
        return *this;
    Free();
    nodes.reserve(src.nodes.size());
    for (const CGraphNode* n : src.nodes) {
        auto node = std::make_unique<CGraphNode>(n->id);
        nodes.push_back(node.get());
        node.release();
    }
    links.reserve(src.links.size());
    for (const CGraphLink* l : src.links) {
        // A link whose nodes were handed out of the source cannot be attached here.
        if (!l->node1 || !l->node2)
            continue;
        if (CGraphLink* copy = AddLink(l->node1->id, l->node2->id))
            copy->Copy(l);
    }
    return *this;
}

CGraph::~CGraph()
{
    Free();
}

void CGraph::Free() noexcept
{
    for (CGraphNode* n : nodes)
        delete n;
    for (CGraphLink* l : links)
        delete l;
    nodes.clear();
    links.clear();
}

bool CGraph::AddNode(int id)
{
    if (FindNode(id))
        return true;
    CGraphNode* node = new (std::nothrow) CGraphNode(id);
    if (!node)
        return false;
    try {
        nodes.push_back(node);
    } catch (const std::bad_alloc&) {
        delete node;
        return false;
    }
    return true;
}

CGraphNode* CGraph::FindNode(int id) const noexcept
{
    for (CGraphNode* n : nodes)
        if (n->id == id)
            return n;
    return nullptr;
}

CGraphNode* CGraph::RemoveNode(int id, bool del)
{
    auto it = std::find_if(nodes.begin(), nodes.end(), [id](const CGraphNode* n) { return n->id == id; });
    if (it == nodes.end())
        return nullptr;
    CGraphNode* node = *it;
    nodes.erase(it);
    if (!del)
        return node;
    // Links that touch the node would point at freed memory: they go with it.
    for (auto l = links.begin(); l != links.end();) {
        CGraphLink* link = *l;
        if (link->node1 == node || link->node2 == node) {
            CGraphNode* other = link->node1 == node ? link->node2 : link->node1;
            if (other && other != node)
                other->RemoveLink(link);
            delete link;
            l = links.erase(l);
        } else {
            ++l;
        }
    }
    delete node;
    return nullptr;
}

CGraphLink* CGraph::AddLink(int i, int j)
{
    if (i == j)
        return nullptr;
    CGraphNode* a = FindNode(i);
    CGraphNode* b = FindNode(j);
    if (!a || !b)
        return nullptr;
    CGraphLink* link = new (std::nothrow) CGraphLink();
    if (!link)
        return nullptr;
    try {
        links.reserve(links.size() + 1);
        a->links.reserve(a->links.size() + 1);
        b->links.reserve(b->links.size() + 1);
    } catch (const std::bad_alloc&) {
        delete link;
        return nullptr;
    }
    link->node1 = a;
    link->node2 = b;
    links.push_back(link);
    a->links.push_back(link);
    b->links.push_back(link);
    return link;
}

CGraphLink* CGraph::FindLink(int i, int j) const noexcept
{
    for (CGraphLink* l : links)
        if (joins(l, i, j))
            return l;
    return nullptr;
}

bool CGraph::RemoveLink(CGraphLink* link, bool del)
{
    if (!link || !eraseFirst(links, link))
        return false;
    if (del)
        delete link;
    return true;
}

void CGraph::RemoveDoubleLinks(CGraphNode* a, CGraphNode* b, CGraphLink* keep)
{
    if (!a || !b || a->links.size() < 2)
        return;
    for (;;) {
        CGraphLink* extra = nullptr;
        for (CGraphLink* l : a->links)
            if (l != keep && joins(l, a->id, b->id)) {
                extra = l;
                break;
            }
        if (!extra)
            return;
        a->RemoveLink(extra);
        b->RemoveLink(extra);
        eraseFirst(links, extra);
        delete extra;
    }
}

}  // namespace match_graph
