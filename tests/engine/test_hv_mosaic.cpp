// Mosaic geometry of the Horizontal/Vertical engine on hand-made match graphs.
#include <cmath>

#include <gtest/gtest.h>

#include "core/linalg.h"
#include "engine/hv/mosaic.h"
#include "tests/engine/hv_test_access.h"
#include "tests/support/dib_manager_fixture.h"

using match_graph::CGraph;
using match_graph::CGraphLink;
using VarnoBase::Rect;
using VarnoBase::Size;

namespace {

// An engine whose working copies are sized placeholders (no pixels).
struct MosaicEngine {
    MosaicEngine(int count, Size size, bool ring = false)
    {
        for (int i = 0; i < count; ++i) {
            auto* e = new CPanoElement(false);
            e->CreateImage(true, size.cx, size.cy, false);
            in.workImages.push_back(e);
            e->AddRef();
            in.photos.push_back(e);
            in.scales.push_back(1.0);
            in.matchGraph.AddNode(i);
        }
        PanoramaLib::PanoramaOptions o;
        engine.GetOptions(&o);
        o.bCyclorama = ring;
        engine.SetOptions(o);
    }
    CPanorama engine;
    CPanoramaTestAccess in{engine};
};

// Link a -> b: photo a's pixels into photo b's by translation (dx, dy).
CGraphLink* Link(CGraph& g, int a, int b, double dx, double dy, int inliers)
{
    CGraphLink* l = g.AddLink(a, b);
    l->id1 = a, l->id2 = b;
    const double m[3][3] = {{1, 0, dx}, {0, 1, dy}, {0, 0, 1}};
    Utils::copy_matrix_3x3(l->m, m);
    l->inliers = inliers;
    l->keys1.assign(static_cast<std::size_t>(inliers), 0);
    l->keys2.assign(static_cast<std::size_t>(inliers), 0);
    return l;
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
    MosaicEngine f(3, Size(400, 300));
    CGraph& g = f.in.matchGraph;
    Link(g, 0, 1, -300, 0, 20);
    Link(g, 2, 1, 300, 0, 30);

    ASSERT_EQ(f.in.GetWorldImage(), 1);
    ASSERT_TRUE(f.in.BuildMosaicGraph(-1));
    const CGraph& mosaic = f.in.mosaicGraph;
    ASSERT_EQ(mosaic.nodes.size(), 3u);
    EXPECT_EQ(mosaic.nodes[0]->id, 1);
    EXPECT_EQ(mosaic.nodes[1]->id, 2);  // most inliers attached first
    ASSERT_EQ(mosaic.links.size(), 2u);
    for (const CGraphLink* l : mosaic.links) {
        EXPECT_EQ(l->id1, 1);
        // Root point (500, 100) lies at x = 500 - 300 * (id - 1) ... in photo id.
        const auto [x, y] = Map(l->m, 500, 100);
        const double expected = l->id2 == 2 ? 200 : 800;
        EXPECT_NEAR(x, expected, 1e-9) << "photo " << l->id2;
        EXPECT_NEAR(y, 100, 1e-9);
        EXPECT_EQ(l->keys1.size(), l->keys2.size());
    }
    // The source graph is untouched.
    EXPECT_EQ(g.links.size(), 2u);
    EXPECT_EQ(g.links[1]->id1, 2);

    const Rect canvas = f.in.CalcCanvasSize();
    EXPECT_EQ(canvas, Rect(-300, 0, 700, 300));
    // Canvas transforms map canvas pixel (0, 0) to each photo's own frame.
    EXPECT_NEAR(Map(f.in.transforms[0], 0, 0).first, 0, 1e-9);
    EXPECT_NEAR(Map(f.in.transforms[2], 999, 0).first, 399, 1e-9);

    EXPECT_TRUE(f.in.Unmatched().empty());
}

TEST_F(HvMosaic, LongerChainComposesTransformsDownToRoot)
{
    // 0 - 1 - 2 - 3, root 0: photo 3 is reached through two compositions.
    MosaicEngine f(4, Size(200, 100));
    CGraph& g = f.in.matchGraph;
    Link(g, 0, 1, -150, 5, 40);
    Link(g, 2, 1, 150, -5, 30);  // reversed
    Link(g, 2, 3, -150, 5, 20);
    ASSERT_TRUE(f.in.BuildMosaicGraph(0));
    const CGraphLink* toThree = nullptr;
    for (const CGraphLink* l : f.in.mosaicGraph.links)
        if (l->id2 == 3)
            toThree = l;
    ASSERT_NE(toThree, nullptr);
    const auto [x, y] = Map(toThree->m, 460, 20);
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
        MosaicEngine f(2, Size(100, 100));
        CGraph& g = f.in.matchGraph;
        Link(g, 0, 1, c.dx, c.dy, 12);
        ASSERT_TRUE(f.in.BuildMosaicGraph(0));
        const Rect canvas = f.in.CalcCanvasSize();
        if (c.expected.isEmpty())
            EXPECT_TRUE(canvas.isEmpty()) << c.dx;
        else
            EXPECT_EQ(canvas, c.expected);
    }
}

TEST_F(HvMosaic, UnmatchedPhotosCentralPhotoAndNoRootWithoutInliers)
{
    MosaicEngine f(3, Size(100, 100));
    CGraph& g = f.in.matchGraph;
    Link(g, 0, 1, -80, 0, 10);
    ASSERT_TRUE(f.in.BuildMosaicGraph(-1));
    EXPECT_EQ(f.in.Unmatched(), std::vector<int>{2});
    // Canvas 0..180: centre 90 lies nearer photo 1's centre (130) than photo 0's (50)? No:
    // |90-50| = 40 = |90-130|: the first (root) wins ties.
    const Rect canvas = f.in.CalcCanvasSize();
    EXPECT_EQ(f.in.GetCentralImage(canvas), 0);
    EXPECT_EQ(f.in.GetCentralImage(Rect()), -1);

    // Without inliers no root in an automatic build, photo 0 in a manual one.
    MosaicEngine m(2, Size(100, 100));
    Link(m.in.matchGraph, 0, 1, -50, 0, 0);
    EXPECT_EQ(m.in.GetWorldImage(), -1);
    EXPECT_FALSE(m.in.BuildMosaicGraph(-1));
    m.in.manualBuild = true;
    EXPECT_EQ(m.in.GetWorldImage(), 0);
}

TEST_F(HvMosaic, FullSizeConversionScalesLinearPartAndTranslation)
{
    MosaicEngine f(2, Size(100, 100));
    f.in.scales = {2.0, 4.0};
    CGraph& g = f.in.matchGraph;
    CGraphLink* l = Link(g, 0, 1, -50, 3, 10);
    EXPECT_TRUE(f.in.CalcOriginalAffineTransform());
    // Working point p0 = P0/2 maps to p1 = p0 + t; full P1 = 4 p1 = 2 P0 + 4 t.
    EXPECT_DOUBLE_EQ(l->m[0][0], 2.0);
    EXPECT_DOUBLE_EQ(l->m[0][2], -200.0);
    EXPECT_DOUBLE_EQ(l->m[1][2], 12.0);
}

// A ring's duplicate (photo 2) placed on its end photo (photo 1) gives no direction: the
// rotation stays the identity instead of turning NaN. Placed left of it on one line: no
// rotation either, and the canvas is cut from the duplicate's centre to the end photo's.
TEST_F(HvMosaic, RingRotationAndOneTurnCut)
{
    for (const double dupX : {80.0, -20.0}) {
        SCOPED_TRACE(dupX);
        MosaicEngine f(3, Size(100, 100), true);
        CGraph& g = f.in.matchGraph;
        Link(g, 0, 1, dupX == 80.0 ? -80 : -300, 0, 10);  // end photo
        Link(g, 0, 2, -dupX, 0, 9);                        // duplicate
        ASSERT_TRUE(f.in.BuildMosaicGraph(0));
        f.in.ringEnd = 1;
        f.in.duplicate = 2;
        double r[3][3];
        EXPECT_TRUE(f.in.CalcPanoRotationTransform(2, 1, r));
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                EXPECT_EQ(r[i][j], i == j ? 1.0 : 0.0);
        if (dupX == 80.0)
            continue;
        EXPECT_TRUE(f.in.TestCyclorama());
        const Rect canvas = f.in.CalcCanvasSize();
        EXPECT_FALSE(f.in.ringCropFailed);
        EXPECT_EQ(canvas.left, 30);
        EXPECT_EQ(canvas.right, 350);
    }
}
