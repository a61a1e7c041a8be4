// Mosaic geometry and the 360° ring of the Horizontal/Vertical engine.
//
// The match graph becomes a star around a root photo: starting at the root, the photo
// whose link to the placed set has the most inliers is attached next (a maximum-inlier
// spanning tree), and every transform is composed down to the root so each photo is one
// link away from it. The canvas is the bounding box of all photos in the root frame.
// A ring duplicates the far end photo, matches it against the near end, gives both ends
// one scale, turns the frame so the ring runs straight and cuts exactly one turn.
#include "engine/hv/mosaic.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>

#include "core/linalg.h"
#include "engine/hv/panorama.h"

using match_graph::CGraph;
using match_graph::CGraphLink;
using match_graph::CGraphNode;
using VarnoBase::Rect;
using VarnoBase::Size;

namespace {

// (x, y) through the first two rows of m.
inline void MapPoint(const double (*m)[3], double x, double y, double* ox, double* oy)
{
    *ox = m[0][0] * x + m[0][1] * y + m[0][2];
    *oy = m[1][0] * x + m[1][1] * y + m[1][2];
}

// c = a * b (3x3)
void Multiply(const double (*a)[3], const double (*b)[3], double (*c)[3])
{
    double t[3][3];
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k)
            t[r][k] = a[r][0] * b[0][k] + a[r][1] * b[1][k] + a[r][2] * b[2][k];
    Utils::copy_matrix_3x3(c, t);
}

void SetIdentity(double (*m)[3])
{
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k)
            m[r][k] = r == k ? 1.0 : 0.0;
}

bool IsIdentity(const double (*m)[3])
{
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k)
            if (m[r][k] != (r == k ? 1.0 : 0.0))
                return false;
    return true;
}

// The single link of a non-root mosaic node, or null.
CGraphLink* SingleLink(const CGraph& mosaic, int id)
{
    CGraphNode* node = mosaic.FindNode(id);
    if (!node || node->links.size() != 1)
        return nullptr;
    return node->links.front();
}

// Largest canvas edge we accept: sides and areas stay far from int overflow, and the
// panorama image itself is then refused by its allocation, not by arithmetic.
constexpr double kMaxCanvasCoordinate = 1 << 29;

}  // namespace

CGraphLink* GetBetterNearestNeighbour(CGraphNode* node)
{
    if (!node || node->links.empty())
        return nullptr;
    CGraphLink* best = node->links.front();
    std::size_t bestCount = 0;
    for (CGraphLink* link : node->links) {
        if (link->keys2.size() > bestCount) {
            bestCount = link->keys2.size();
            best = link;
        }
    }
    return best;
}

bool GetAffineTransform(int i, int j, const CGraphLink* link, double (*out)[3])
{
    if (link->id2 == i && link->id1 == j) {
        Utils::copy_matrix_3x3(out, link->m);
        return true;
    }
    return Utils::pinv3x3(out, link->m);
}

void InitLink(CGraphLink* link, int a, int b, const CGraphLink* source, const double (*m)[3])
{
    link->id1 = a;
    link->id2 = b;
    Utils::copy_matrix_3x3(link->m, m);
    link->error = source->error;
    link->inliers = source->inliers;
    link->outliers = source->outliers;
    const bool same = a == source->id1;
    const std::vector<int>& k1 = same ? source->keys1 : source->keys2;
    const std::vector<int>& k2 = same ? source->keys2 : source->keys1;
    link->keys1.insert(link->keys1.end(), k1.begin(), k1.end());
    link->keys2.insert(link->keys2.end(), k2.begin(), k2.end());
}

bool project_img(const double (*m)[3], const Size& size, double* minX, double* maxX, double* minY, double* maxY)
{
    double inv[3][3];
    if (!Utils::pinv3x3(inv, m))
        return false;
    const double w = size.cx;
    const double h = size.cy;
    const double corners[4][2] = {{0, 0}, {w, 0}, {0, h}, {w, h}};
    *minX = *minY = std::numeric_limits<double>::infinity();
    *maxX = *maxY = -std::numeric_limits<double>::infinity();
    for (const auto& c : corners) {
        double x, y;
        MapPoint(inv, c[0], c[1], &x, &y);
        *minX = std::min(*minX, x);
        *maxX = std::max(*maxX, x);
        *minY = std::min(*minY, y);
        *maxY = std::max(*maxY, y);
    }
    return std::isfinite(*minX) && std::isfinite(*maxX) && std::isfinite(*minY) && std::isfinite(*maxY);
}

CPanorama::Pass CPanorama::PreviewPass()
{
    return Pass{m_workImages, m_transforms, m_transformed, m_pPreview, false, GetHFreqNumLevels(1.0)};
}

CPanorama::Pass CPanorama::FullSizePass()
{
    return Pass{m_photos, m_fullTransforms, m_fullTransformed, m_pPanorama, true,
                GetHFreqNumLevels(m_scales.empty() ? 1.0 : m_scales.front())};
}

Size CPanorama::Pass::PhotoSize(int i) const
{
    if (i < 0 || static_cast<std::size_t>(i) >= photos.size() || !photos[i])
        return {};
    return photos[i]->GetImageSize();
}

int CPanorama::GetWorldImage(CGraph* match)
{
    if (!match || match->links.empty())
        return -1;
    int best = -1;
    long long bestSum = 0;
    const std::size_t count = std::min(m_workImages.size(), match->nodes.size());
    for (std::size_t p = 0; p < count; ++p) {
        long long sum = 0;
        for (const CGraphLink* link : match->nodes[p]->links)
            sum += link->inliers;
        if (best < 0 || sum > bestSum) {
            best = static_cast<int>(p);
            bestSum = sum;
        }
    }
    if (bestSum == 0)
        return m_bManualBuild ? 0 : -1;
    return best;
}

bool CPanorama::BuildMosaicGraph(CGraph* mosaic, CGraph* match, int root)
{
    if (!mosaic || !match)
        return false;
    if (root == -1)
        root = GetWorldImage(match);
    if (root == -1)
        return false;

    std::unique_ptr<CGraph> copy;
    try {
        copy = std::make_unique<CGraph>(match);
    } catch (const std::bad_alloc&) {
        return false;
    }
    mosaic->Free();
    CGraphNode* rootNode = copy->FindNode(root);
    if (!rootNode)
        return false;
    if (!mosaic->AddNode(root))
        return false;

    while (!rootNode->links.empty()) {
        CGraphLink* best = GetBetterNearestNeighbour(rootNode);
        CGraphNode* other = best->node1 == rootNode ? best->node2 : best->node1;
        copy->RemoveDoubleLinks(other, rootNode, best);

        double t[3][3];
        if (!GetAffineTransform(other->id, root, best, t))
            return false;  // a singular match transform: no usable placement

        if (!mosaic->AddNode(other->id))
            return false;
        CGraphLink* placed = mosaic->AddLink(root, other->id);
        if (!placed)
            return false;
        InitLink(placed, root, other->id, best, t);

        rootNode->RemoveLink(best);
        CGraphNode* taken = copy->RemoveNode(other->id, false);
        copy->RemoveLink(best, false);

        for (CGraphLink* link : other->links) {
            if (link == best)
                continue;
            CGraphNode* far = link->node1 == other ? link->node2 : link->node1;
            if (link->id2 == other->id) {
                double inv[3][3];
                if (!Utils::pinv3x3(inv, link->m))
                    continue;  // unusable link: leave it out of the tree
                Utils::copy_matrix_3x3(link->m, inv);
                link->id2 = far->id;
                std::swap(link->keys1, link->keys2);
            }
            link->id1 = root;
            Multiply(link->m, t, link->m);
            link->node1 = rootNode;
            link->node2 = far;
            rootNode->links.push_back(link);
        }
        delete best;
        taken->links.clear();
        delete taken;
    }
    return true;
}

Rect CPanorama::CalcCanvasSize(const Pass& pass, CGraph* mosaic)
{
    if (!mosaic || mosaic->nodes.empty())
        return {};

    const int rootId = mosaic->nodes.front()->id;
    double minX, maxX, minY, maxY;
    if (!project_img(m_rotation, pass.PhotoSize(rootId), &minX, &maxX, &minY, &maxY))
        return {};
    for (std::size_t n = 1; n < mosaic->nodes.size(); ++n) {
        const CGraphNode* node = mosaic->nodes[n];
        if (node->links.empty())
            continue;
        double x0, x1, y0, y1;
        if (!project_img(node->links.front()->m, pass.PhotoSize(node->id), &x0, &x1, &y0, &y1))
            return {};
        minX = std::min(minX, x0);
        maxX = std::max(maxX, x1);
        minY = std::min(minY, y0);
        maxY = std::max(maxY, y1);
    }
    // A wildly implausible placement would overflow the integer canvas: nothing to build.
    for (double v : {minX, maxX, minY, maxY})
        if (!std::isfinite(v) || std::fabs(v) > kMaxCanvasCoordinate)
            return {};

    Rect canvas(static_cast<int>(std::floor(minX)), static_cast<int>(std::floor(minY)),
                static_cast<int>(std::ceil(maxX)), static_cast<int>(std::ceil(maxY)));
    if (m_bCyclorama)
        CropCyclorama(pass, &canvas);

    std::vector<AFFINE_MATRIX>& transforms = pass.transforms;
    if (transforms.size() < m_workImages.size()) {
        AFFINE_MATRIX zero;
        for (auto& row : zero.v)
            std::fill(std::begin(row), std::end(row), 0.0);
        transforms.resize(m_workImages.size(), zero);
    }
    const double ox = canvas.left;
    const double oy = canvas.top;
    for (std::size_t n = 0; n < mosaic->nodes.size(); ++n) {
        const CGraphNode* node = mosaic->nodes[n];
        const int id = node->id;
        if (id < 0 || static_cast<std::size_t>(id) >= transforms.size())
            continue;
        const double (*m)[3] = nullptr;
        if (n == 0)
            m = m_rotation;
        else if (!node->links.empty())
            m = node->links.front()->m;
        else
            continue;
        AFFINE_MATRIX& a = transforms[id];
        Utils::copy_matrix_3x3(a, m);
        a.v[0][2] = m[0][2] + m[0][0] * ox + m[0][1] * oy;
        a.v[1][2] = m[1][2] + m[1][0] * ox + m[1][1] * oy;
    }
    return canvas;
}

int CPanorama::GetCentralImage(const Pass& pass, const Rect& canvas)
{
    if (canvas.isEmpty() || m_mosaicGraph.nodes.empty())
        return -1;
    const int cx = static_cast<int>((static_cast<long long>(canvas.left) + canvas.right) / 2);
    const int cy = static_cast<int>((static_cast<long long>(canvas.top) + canvas.bottom) / 2);

    int best = -1;
    double bestDistance = 2147483647.0;
    for (std::size_t n = 0; n < m_mosaicGraph.nodes.size(); ++n) {
        const CGraphNode* node = m_mosaicGraph.nodes[n];
        const int id = node->id;
        if (m_bCyclorama && (id == m_nDuplicate || id == m_nRingEnd))
            continue;
        const Size size = pass.PhotoSize(id);
        double dx, dy;
        if (n == 0) {
            dx = static_cast<double>(cx) - size.cx / 2;
            dy = static_cast<double>(cy) - size.cy / 2;
        } else {
            if (node->links.empty())
                continue;
            double x, y;
            MapPoint(node->links.front()->m, cx, cy, &x, &y);
            if (!std::isfinite(x) || !std::isfinite(y))
                continue;
            dx = size.cx / 2 - std::floor(x + 0.5);
            dy = size.cy / 2 - std::floor(y + 0.5);
        }
        const double distance = dx * dx + dy * dy;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = id;
        }
    }
    return best;
}

void CPanorama::GetLastImageInMosaic(const Pass& pass, CGraph* mosaic, int* first, int* last, bool horizontal)
{
    *first = *last = -1;
    if (!mosaic || mosaic->nodes.size() < 2 || mosaic->links.empty())
        return;
    const int rootId = mosaic->nodes.front()->id;
    *first = *last = rootId;
    const Size rootSize = pass.PhotoSize(rootId);
    double lowest = 0.0;
    double highest = horizontal ? rootSize.cx : rootSize.cy;
    for (std::size_t n = 1; n < mosaic->nodes.size(); ++n) {
        const CGraphNode* node = mosaic->nodes[n];
        if (node->links.empty())
            continue;
        double x0, x1, y0, y1;
        if (!project_img(node->links.front()->m, pass.PhotoSize(node->id), &x0, &x1, &y0, &y1))
            continue;
        const double lo = horizontal ? x0 : y0;
        const double hi = horizontal ? x1 : y1;
        if (lo < lowest) {
            lowest = lo;
            *first = node->id;
        }
        if (hi > highest) {
            highest = hi;
            *last = node->id;
        }
    }
}

int CPanorama::DuplicateLastImage(bool append, int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= m_workImages.size())
        return -1;
    const int added = static_cast<int>(m_workImages.size());
    auto duplicate = [index](std::vector<CPanoElement*>& list) {
        CPanoElement* e = static_cast<std::size_t>(index) < list.size() ? list[index] : nullptr;
        if (e)
            e->AddRef();
        list.push_back(e);
    };
    duplicate(m_workImages);
    duplicate(m_photos);
    duplicate(m_originals);
    const CImageDataBase* source =
        static_cast<std::size_t>(index) < m_databases.size() ? m_databases[index] : nullptr;
    m_databases.push_back(new CImageDataBase(source));
    m_scales.push_back(static_cast<std::size_t>(index) < m_scales.size() ? m_scales[index] : 1.0);
    (void)append;  // the pipeline always appends
    return added;
}

// Centres of the duplicate and of the ring's end photo in the root frame; false when
// either is not a mosaic node with exactly one link or its photo is missing.
bool CPanorama::RingCentres(const Pass& pass, int dupId, int endId, double* x1, double* y1, double* x2, double* y2) const
{
    const CGraphLink* dup = SingleLink(m_mosaicGraph, dupId);
    const CGraphLink* end = SingleLink(m_mosaicGraph, endId);
    if (!dup || !end)
        return false;
    const Size ds = pass.PhotoSize(dupId);
    const Size es = pass.PhotoSize(endId);
    if (ds.cx <= 0 || ds.cy <= 0 || es.cx <= 0 || es.cy <= 0)
        return false;
    double dinv[3][3], einv[3][3];
    if (!Utils::pinv3x3(dinv, dup->m) || !Utils::pinv3x3(einv, end->m))
        return false;
    MapPoint(dinv, ds.cx / 2, ds.cy / 2, x1, y1);
    MapPoint(einv, es.cx / 2, es.cy / 2, x2, y2);
    return std::isfinite(*x1) && std::isfinite(*y1) && std::isfinite(*x2) && std::isfinite(*y2);
}

bool CPanorama::TestCyclorama(const Pass& pass)
{
    if (!m_bCyclorama)
        return false;
    double x1, y1, x2, y2;
    if (!RingCentres(pass, m_nDuplicate, m_nRingEnd, &x1, &y1, &x2, &y2))
        return false;
    const double dx = x2 - x1;
    const double dy = y2 - y1;
    return (dx >= 0 && std::fabs(dx) > std::fabs(dy)) || (dy >= 0 && std::fabs(dx) <= std::fabs(dy));
}

void CPanorama::AverageScaleOfFirstAndLastImgsInCyclorama(const Pass& pass)
{
    if (!TestCyclorama(pass) || m_nDuplicate == m_nRingEnd)
        return;
    CGraphLink* dup = SingleLink(m_mosaicGraph, m_nDuplicate);
    CGraphLink* end = SingleLink(m_mosaicGraph, m_nRingEnd);
    if (!dup || !end)
        return;
    const double s = (dup->m[0][0] + end->m[0][0] + dup->m[1][1] + end->m[1][1]) / 4;
    for (CGraphLink* link : {dup, end}) {
        const Size size = pass.PhotoSize(link->id2);
        double x0, x1, y0, y1;
        if (!project_img(link->m, size, &x0, &x1, &y0, &y1))
            continue;
        double m[3][3];
        Utils::copy_matrix_3x3(m, link->m);
        m[0][0] = s;
        m[1][1] = s;
        double nx0, nx1, ny0, ny1;
        double inv[3][3];
        if (!project_img(m, size, &nx0, &nx1, &ny0, &ny1) || !Utils::pinv3x3(inv, m))
            continue;
        const double u = inv[0][2] + ((x1 - x0) - (nx1 - nx0)) / 2;
        const double v = inv[1][2] + ((y1 - y0) - (ny1 - ny0)) / 2;
        m[0][2] = -(m[0][0] * u + m[0][1] * v);
        m[1][2] = -(m[1][0] * u + m[1][1] * v);
        Utils::copy_matrix_3x3(link->m, m);
    }
}

bool CPanorama::CalcPanoRotationTransform(const Pass& pass, int dup, int end, double (*r)[3])
{
    SetIdentity(r);
    if (!TestCyclorama(pass))
        return true;
    double x1, y1, x2, y2;
    if (!RingCentres(pass, dup, end, &x1, &y1, &x2, &y2))
        return false;
    const double dx = x2 - x1;
    const double dy = y2 - y1;
    if (dx == 0.0 && dy == 0.0)
        return true;  // coincident ends give no direction: keep the frame as it is
    const double theta = std::fabs(dx) > std::fabs(dy) ? std::atan(dy / dx) : -std::atan(dx / dy);
    if (!std::isfinite(theta))
        return true;
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    r[0][0] = c;
    r[0][1] = -s;
    r[1][0] = s;
    r[1][1] = c;
    return true;
}

void CPanorama::RotatePanorama(const double (*r)[3])
{
    if (IsIdentity(r))
        return;
    for (CGraphLink* link : m_mosaicGraph.links) {
        const double a = link->m[0][0], b = link->m[0][1];
        const double c = link->m[1][0], d = link->m[1][1];
        link->m[0][0] = a * r[0][0] + b * r[1][0];
        link->m[0][1] = a * r[0][1] + b * r[1][1];
        link->m[1][0] = c * r[0][0] + d * r[1][0];
        link->m[1][1] = c * r[0][1] + d * r[1][1];
        link->m[2][0] = 0.0;
        link->m[2][1] = 0.0;
        link->m[2][2] = 1.0;
    }
}

void CPanorama::CropCyclorama(const Pass& pass, Rect* canvas)
{
    m_bCycloramaCropFailed = true;
    if (!m_bCyclorama || !canvas)
        return;
    double x1, y1, x2, y2;
    if (!RingCentres(pass, m_nDuplicate, m_nRingEnd, &x1, &y1, &x2, &y2))
        return;
    const double dx = x2 - x1;
    const double dy = y2 - y1;
    const bool horizontal = std::fabs(dx) > std::fabs(dy);
    if (horizontal && dx >= 0) {
        m_bCycloramaCropFailed = false;
        canvas->left = static_cast<int>(std::floor(x1));
        canvas->right = static_cast<int>(std::ceil(x2));
    } else if (!horizontal && dy >= 0) {
        m_bCycloramaCropFailed = false;
        canvas->top = static_cast<int>(std::floor(y1));
        canvas->bottom = static_cast<int>(std::ceil(y2));
    }
}

bool CPanorama::CalcOriginalAffineTransform()
{
    for (CGraphLink* link : m_matchGraph.links) {
        const auto scale = [this](int id) {
            return id >= 0 && static_cast<std::size_t>(id) < m_scales.size() ? m_scales[id] : 1.0;
        };
        const double s1 = scale(link->id1);
        const double s2 = scale(link->id2);
        const double k = s2 / s1;
        link->m[0][0] *= k;
        link->m[0][1] *= k;
        link->m[1][0] *= k;
        link->m[1][1] *= k;
        link->m[0][2] *= s2;
        link->m[1][2] *= s2;
    }
    return true;
}

int CPanorama::GetNumOfUnmatchedImages(const CGraph& mosaic, const std::vector<CPanoElement*>& photos,
                                       std::vector<int>& out)
{
    out.clear();
    for (std::size_t i = 0; i < photos.size(); ++i) {
        const int id = static_cast<int>(i);
        const bool linked = std::any_of(mosaic.links.begin(), mosaic.links.end(), [id](const CGraphLink* l) {
            return l->id1 == id || l->id2 == id;
        });
        if (!linked)
            out.push_back(id);
    }
    return static_cast<int>(out.size());
}
