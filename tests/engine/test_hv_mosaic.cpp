// Mosaic geometry of the Horizontal/Vertical engine on hand-made match graphs.
#include <cmath>

#include <gtest/gtest.h>

#include "core/linalg.h"
#include "engine/hv/mosaic.h"
#include "engine/hv/panorama.h"
#include "tests/support/dib_manager_fixture.h"

using match_graph::CGraph;
using match_graph::CGraphLink;
using VarnoBase::Rect;
using VarnoBase::Size;

namespace {

// An engine whose working copies are sized placeholders (no pixels).
class MosaicEngine {
public:
    explicit MosaicEngine(const std::vector<Size>& sizes)
    {
        for (const Size& s : sizes) {
            auto* e = new CPanoElement(false);
            e->CreateImage(true, s.cx, s.cy, false);
            engine.m_workImages.push_back(e);
            e->AddRef();
            engine.m_photos.push_back(e);
            engine.m_scales.push_back(1.0);
            engine.m_matchGraph.AddNode(static_cast<int>(engine.m_photos.size()) - 1);
        }
    }
    CPanorama engine;
};

// Link a -> b: photo a's pixels into photo b's by translation (dx, dy) and scale s.
CGraphLink* Link(CGraph& g, int a, int b, double dx, double dy, int inliers, double s = 1.0)
{
    CGraphLink* l = g.AddLink(a, b);
    l->id1 = a;
    l->id2 = b;
    double m[3][3] = {{s, 0, dx}, {0, s, dy}, {0, 0, 1}};
    Utils::copy_matrix_3x3(l->m, m);
    l->inliers = inliers;
    l->keys1.assign(static_cast<std::size_t>(inliers), 0);
    l->keys2.assign(static_cast<std::size_t>(inliers), 0);
    return l;
}

void Map(const double (*m)[3], double x, double y, double* ox, double* oy)
{
    *ox = m[0][0] * x + m[0][1] * y + m[0][2];
    *oy = m[1][0] * x + m[1][1] * y + m[1][2];
}

}  // namespace

class HvMosaic : public ::testing::Test {
protected:
    vltest::ScopedDibManager dibs;
};

TEST_F(HvMosaic, ChainWithReversedLinkBecomesStarAroundWorldPhoto)
{
    // Photos 0, 1, 2 in a row, 300 px apart. Link 0->1 forward; the 1-2 link is stored
    // reversed (2 -> 1). Photo 1 has the most inliers and becomes the root.
    MosaicEngine f({{400, 300}, {400, 300}, {400, 300}});
    CGraph& g = f.engine.m_matchGraph;
    Link(g, 0, 1, -300, 0, 20);
    Link(g, 2, 1, 300, 0, 30);

    ASSERT_EQ(f.engine.GetWorldImage(&g), 1);
    ASSERT_TRUE(f.engine.BuildMosaicGraph(&f.engine.m_mosaicGraph, &g, -1));
    const CGraph& mosaic = f.engine.m_mosaicGraph;
    ASSERT_EQ(mosaic.nodes.size(), 3u);
    EXPECT_EQ(mosaic.nodes[0]->id, 1);
    EXPECT_EQ(mosaic.nodes[1]->id, 2);  // most inliers attached first
    ASSERT_EQ(mosaic.links.size(), 2u);
    for (const CGraphLink* l : mosaic.links) {
        EXPECT_EQ(l->id1, 1);
        // Root point (500, 100) lies at x = 500 - 300 * (id - 1) ... in photo id.
        double x, y;
        Map(l->m, 500, 100, &x, &y);
        const double expected = l->id2 == 2 ? 200 : 800;
        EXPECT_NEAR(x, expected, 1e-9) << "photo " << l->id2;
        EXPECT_NEAR(y, 100, 1e-9);
        EXPECT_EQ(l->keys1.size(), l->keys2.size());
    }
    // The source graph is untouched.
    EXPECT_EQ(g.links.size(), 2u);
    EXPECT_EQ(g.links[1]->id1, 2);

    const Rect canvas = f.engine.CalcCanvasSize(f.engine.PreviewPass(), &f.engine.m_mosaicGraph);
    EXPECT_EQ(canvas, Rect(-300, 0, 700, 300));
    // Canvas transforms map canvas pixel (0, 0) to each photo's own frame.
    double x, y;
    Map(f.engine.m_transforms[0], 0, 0, &x, &y);
    EXPECT_NEAR(x, 0, 1e-9);
    Map(f.engine.m_transforms[2], 999, 0, &x, &y);
    EXPECT_NEAR(x, 399, 1e-9);

    std::vector<int> unmatched;
    EXPECT_EQ(f.engine.GetNumOfUnmatchedImages(mosaic, f.engine.m_photos, unmatched), 0);
}

TEST_F(HvMosaic, LongerChainComposesTransformsDownToRoot)
{
    // 0 - 1 - 2 - 3, root 0: photo 3 is reached through two compositions.
    MosaicEngine f({{200, 100}, {200, 100}, {200, 100}, {200, 100}});
    CGraph& g = f.engine.m_matchGraph;
    Link(g, 0, 1, -150, 5, 40);
    Link(g, 2, 1, 150, -5, 30);  // reversed
    Link(g, 2, 3, -150, 5, 20);
    ASSERT_TRUE(f.engine.BuildMosaicGraph(&f.engine.m_mosaicGraph, &g, 0));
    const CGraphLink* toThree = nullptr;
    for (const CGraphLink* l : f.engine.m_mosaicGraph.links)
        if (l->id2 == 3)
            toThree = l;
    ASSERT_NE(toThree, nullptr);
    double x, y;
    Map(toThree->m, 460, 20, &x, &y);
    EXPECT_NEAR(x, 10, 1e-9);
    EXPECT_NEAR(y, 35, 1e-9);
}

// Fractional corners widen the canvas outward; an implausible placement gives an empty
// canvas instead of an overflow.
TEST_F(HvMosaic, CanvasOfTwoPhotos)
{
    const struct {
        double dx, dy;
        Rect expected;
    } cases[] = {{-60.25, 10.5, Rect(0, -11, 161, 100)}, {-1e12, 0, Rect()}};
    for (const auto& c : cases) {
        MosaicEngine f({{100, 100}, {100, 100}});
        CGraph& g = f.engine.m_matchGraph;
        Link(g, 0, 1, c.dx, c.dy, 12);
        ASSERT_TRUE(f.engine.BuildMosaicGraph(&f.engine.m_mosaicGraph, &g, 0));
        const Rect canvas = f.engine.CalcCanvasSize(f.engine.PreviewPass(), &f.engine.m_mosaicGraph);
        if (c.expected.isEmpty())
            EXPECT_TRUE(canvas.isEmpty()) << c.dx;
        else
            EXPECT_EQ(canvas, c.expected);
    }
}

TEST_F(HvMosaic, NoRootWithoutInliersInAutomaticBuildOnlyManual)
{
    MosaicEngine f({{100, 100}, {100, 100}});
    CGraph& g = f.engine.m_matchGraph;
    Link(g, 0, 1, -50, 0, 0);
    EXPECT_EQ(f.engine.GetWorldImage(&g), -1);
    EXPECT_FALSE(f.engine.BuildMosaicGraph(&f.engine.m_mosaicGraph, &g, -1));
    f.engine.m_bManualBuild = true;
    EXPECT_EQ(f.engine.GetWorldImage(&g), 0);
}

TEST_F(HvMosaic, UnmatchedPhotosAndCentralPhoto)
{
    MosaicEngine f({{100, 100}, {100, 100}, {100, 100}});
    CGraph& g = f.engine.m_matchGraph;
    Link(g, 0, 1, -80, 0, 10);
    ASSERT_TRUE(f.engine.BuildMosaicGraph(&f.engine.m_mosaicGraph, &g, -1));
    std::vector<int> unmatched;
    EXPECT_EQ(f.engine.GetNumOfUnmatchedImages(f.engine.m_mosaicGraph, f.engine.m_photos, unmatched), 1);
    EXPECT_EQ(unmatched, std::vector<int>{2});
    // Canvas 0..180: centre 90 lies nearer photo 1's centre (130) than photo 0's (50)? No:
    // |90-50| = 40 = |90-130|: the first (root) wins ties.
    const Rect canvas = f.engine.CalcCanvasSize(f.engine.PreviewPass(), &f.engine.m_mosaicGraph);
    EXPECT_EQ(f.engine.GetCentralImage(f.engine.PreviewPass(), canvas), 0);
    EXPECT_EQ(f.engine.GetCentralImage(f.engine.PreviewPass(), Rect()), -1);
}

TEST_F(HvMosaic, FullSizeConversionScalesLinearPartAndTranslation)
{
    MosaicEngine f({{100, 100}, {100, 100}});
    f.engine.m_scales = {2.0, 4.0};
    CGraph& g = f.engine.m_matchGraph;
    CGraphLink* l = Link(g, 0, 1, -50, 3, 10);
    EXPECT_TRUE(f.engine.CalcOriginalAffineTransform());
    // Working point p0 = P0/2 maps to p1 = p0 + t; full P1 = 4 p1 = 2 P0 + 4 t.
    EXPECT_DOUBLE_EQ(l->m[0][0], 2.0);
    EXPECT_DOUBLE_EQ(l->m[0][2], -200.0);
    EXPECT_DOUBLE_EQ(l->m[1][2], 12.0);
}

TEST_F(HvMosaic, RingWithCoincidentEndsKeepsFrameUnrotated)
{
    // Ring state with the duplicate placed exactly on its end photo: no direction, so
    // the rotation stays the identity instead of turning NaN.
    MosaicEngine f({{100, 100}, {100, 100}, {100, 100}});
    f.engine.m_bCyclorama = true;
    CGraph& g = f.engine.m_matchGraph;
    Link(g, 0, 1, -80, 0, 10);
    Link(g, 0, 2, -80, 0, 9);
    ASSERT_TRUE(f.engine.BuildMosaicGraph(&f.engine.m_mosaicGraph, &g, 0));
    f.engine.m_nRingEnd = 1;
    f.engine.m_nDuplicate = 2;
    double r[3][3];
    EXPECT_TRUE(f.engine.CalcPanoRotationTransform(f.engine.PreviewPass(), 2, 1, r));
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(r[i][j], i == j ? 1.0 : 0.0);
}

TEST_F(HvMosaic, RingAlongXAxisGivesZeroAngleAndCutsOneTurn)
{
    // Duplicate (photo 2) placed left of its end photo (photo 1), both on one line.
    MosaicEngine f({{100, 100}, {100, 100}, {100, 100}});
    f.engine.m_bCyclorama = true;
    CGraph& g = f.engine.m_matchGraph;
    Link(g, 0, 1, -300, 0, 10);  // end photo at x 300
    Link(g, 0, 2, 20, 0, 9);     // duplicate at x -20
    ASSERT_TRUE(f.engine.BuildMosaicGraph(&f.engine.m_mosaicGraph, &g, 0));
    f.engine.m_nRingEnd = 1;
    f.engine.m_nDuplicate = 2;
    EXPECT_TRUE(f.engine.TestCyclorama(f.engine.PreviewPass()));
    double r[3][3];
    EXPECT_TRUE(f.engine.CalcPanoRotationTransform(f.engine.PreviewPass(), 2, 1, r));
    EXPECT_DOUBLE_EQ(r[0][0], 1.0);
    EXPECT_DOUBLE_EQ(r[0][1], 0.0);
    const Rect canvas = f.engine.CalcCanvasSize(f.engine.PreviewPass(), &f.engine.m_mosaicGraph);
    EXPECT_FALSE(f.engine.m_bCycloramaCropFailed);
    EXPECT_EQ(canvas.left, 30);    // centre of the duplicate
    EXPECT_EQ(canvas.right, 350);  // centre of the end photo
}
