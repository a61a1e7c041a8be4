// Seam records, the 5-ary heap, the Dijkstra seam searches, the seam builder's strips,
// flips and alpha cuts, and the rescaling of seams onto full-size photos.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <tuple>
#include <vector>

#include "core/pano_element.h"
#include "engine/hv/seam_builder.h"
#include "engine/hv/stitching_line.h"
#include "tests/support/dib_manager_fixture.h"

using VarnoBase::Point;
using VarnoBase::Rect;

namespace {

// A w x h byte buffer, tightly packed unless a stride is given.
struct Buffer {
    int w, h, stride;
    std::vector<unsigned char> bytes;
    Buffer(int w_, int h_, unsigned char fill, int stride_ = 0)
        : w(w_), h(h_), stride(stride_ ? stride_ : w_), bytes(std::size_t(stride) * h_, fill)
    {
    }
    unsigned char& at(int x, int y) { return bytes[std::size_t(y) * stride + x]; }
};

using Ptr = VarnoBase::RefPtr<CPanoElement>;

// A new element of `bpp` bits at `pos`, held by the pointer.
Ptr MakeElement(int bpp, int w, int h, Point pos)
{
    Ptr e;
    e.Adopt(new CPanoElement(false));
    EXPECT_TRUE(e->CreateImage(bpp, w, h));
    e->SetPosition(pos);
    return e;
}

// An 8-bit element at `pos` filled by fn(x, y) (local coordinates).
template <class Fn>
Ptr MakeGray(int w, int h, Point pos, Fn&& fn)
{
    Ptr e = MakeElement(8, w, h, pos);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            e->GetBits()[std::size_t(y) * e->GetBPL() + x] = (unsigned char)fn(x, y);
    return e;
}

// A 24-bit photo at `pos` with an opaque alpha plane.
Ptr MakePhoto(int w, int h, Point pos)
{
    Ptr e = MakeElement(24, w, h, pos);
    e->FillByValue(90);
    e->AddAlphaChannel(true);
    return e;
}

unsigned char AlphaAt(CPanoElement* e, int x, int y) { return e->GetAlphaBits()[std::size_t(y) * e->GetAlphaBPL() + x]; }

// Builds the seams on `sides` of photo from the difference image and its core.
CStitchingLine BuildSeams(CPanoElement* diff, Rect core, CPanoElement* photo, unsigned long sides, bool* built = nullptr)
{
    CSeamBuilder builder(diff, core);
    const bool ok = builder.BuildSeams(photo, sides);
    if (built)
        *built = ok;
    CStitchingLine lines;
    builder.GetStitchLines(lines);
    return lines;
}

class SeamTest : public ::testing::Test {
protected:
    void SetUp() override { vltest::InstallDibManager(); }
};

}  // namespace

TEST(NMinHeap, EqualKeysNeverPassEachOther)
{
    // The first of equal keys is the root; removing it brings up the last entry (which
    // does not pass its equal children), so the order of equal keys is fixed.
    const auto drained = [](std::initializer_list<int> keys) {
        CNMinHeap heap(10);
        int x = 0, y = -1;
        for (int key : keys)
            heap.Add(key, x++, 0);
        std::vector<int> order;
        while (heap.DeleteRoot(&x, &y) != INT_MAX)
            order.push_back(x);
        return order;
    };
    EXPECT_EQ(drained({5, 5, 5}), (std::vector<int>{0, 2, 1}));
    // A smaller key added later does pass; an equal one added later does not.
    EXPECT_EQ(drained({5, 5, 4, 4}), (std::vector<int>{2, 3, 0, 1}));
}

// The cheapest path through a zero-cost valley: down the rows from the top centre (a
// padded buffer), the same on a mirrored buffer with the points mirrored back, and along
// the columns from the left centre; one step at a time, never backwards.
TEST(SeamSearch, FollowsTheValley)
{
    const struct {
        bool horizontal, flipped;
        int w, h, stride, valley, from;  // valley row or column, from where the path holds it
        Point offset, first;
    } cases[] = {{false, false, 40, 60, 44, 12, 12, Point(5, 7), Point(25, 7)},
                 {false, true, 40, 60, 40, 12, 30, Point(0, 0), Point(20, 59)},
                 {true, false, 60, 40, 60, 30, 10, Point(0, 0), Point(0, 20)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "horizontal " << c.horizontal << " flipped " << c.flipped);
        Buffer b(c.w, c.h, 200, c.stride);
        for (int k = c.flipped ? c.from : 0; k < (c.horizontal ? c.w : c.h); ++k)
            (c.horizontal ? b.at(k, c.valley) : b.at(c.valley, c.flipped ? c.h - 1 - k : k)) = 0;
        CStLine line;
        line.points.push_back(Point(99, 99));  // replaced
        if (c.horizontal)
            GetHorzOptimalStitchingLinePath(b.bytes.data(), b.w, b.h, b.stride, line, c.offset, false, 8);
        else
            GetOptimalStitchingLinePath(b.bytes.data(), b.w, b.h, b.stride, line, c.offset, c.flipped,
                                        c.flipped ? 8 : GetStitchLineIndent(b.w));
        ASSERT_FALSE(line.points.empty());
        // The start node ends a flipped path (mirrored back); the end node is never in it.
        EXPECT_EQ(c.flipped ? line.points.back() : line.points.front(), c.first);
        if (c.flipped)
            EXPECT_EQ(line.points.front().y, 1);
        else
            EXPECT_EQ(c.horizontal ? line.points.back().x : line.points.back().y - c.offset.y,
                      (c.horizontal ? c.w : c.h) - 2);
        for (std::size_t i = 1; i < line.points.size(); ++i) {
            const Point d = line.points[i] - line.points[i - 1];
            const int along = c.horizontal ? d.x : d.y, across = c.horizontal ? d.y : d.x;
            EXPECT_TRUE(along == 0 || along == 1);
            EXPECT_LE(std::abs(across), 1);
        }
        for (const Point& p : line.points) {
            const Point q = p - c.offset;
            const int along = c.horizontal ? q.x : q.y;
            if (along >= c.from && (!c.flipped || along <= c.h - 1 - 9)) {
                EXPECT_EQ(c.horizontal ? q.y : q.x, c.valley) << "at " << along;
            }
        }
    }
}

TEST(SeamSearch, DegenerateBuffers)
{
    CStLine line;
    Buffer one(30, 1, 0);
    GetOptimalStitchingLinePath(one.bytes.data(), one.w, one.h, one.stride, line, Point(0, 0), false, 0);
    EXPECT_TRUE(line.points.empty()) << "height 1 ends at the start node";
    GetHorzOptimalStitchingLinePath(one.bytes.data(), 1, 30, 1, line, Point(0, 0), false, 0);
    EXPECT_TRUE(line.points.empty());
    GetOptimalStitchingLinePath(nullptr, 10, 10, 10, line, Point(0, 0), false, 0);
    EXPECT_TRUE(line.points.empty());

    // Margin 0: column 0 costs nothing but is never entered (moves left start at x > 1).
    Buffer narrow(8, 20, 255);
    for (int y = 0; y < narrow.h; ++y)
        narrow.at(0, y) = 0;
    GetOptimalStitchingLinePath(narrow.bytes.data(), narrow.w, narrow.h, narrow.stride, line, Point(0, 0), false, 0);
    ASSERT_FALSE(line.points.empty());
    for (const Point& p : line.points)
        EXPECT_GE(p.x, 1);

    // Every node closed by the margin: the heap runs dry and the path ends where it is.
    Buffer closed(10, 20, 0);
    GetOptimalStitchingLinePath(closed.bytes.data(), closed.w, closed.h, closed.stride, line, Point(0, 0), false, 6);
    EXPECT_TRUE(line.points.empty());
}

// --- builder ---

TEST_F(SeamTest, MismatchMeanRoundsHalfUp)
{
    const Ptr img = MakeGray(2, 1, Point(10, 10), [](int x, int) { return x + 1; });
    EXPECT_EQ(calc_mismatch_8gray(img, Rect(10, 10, 12, 11)), 2) << "mean 1.5 rounds up";
    EXPECT_EQ(calc_mismatch_8gray(img, Rect(10, 10, 11, 11)), 1);
    EXPECT_EQ(calc_mismatch_8gray(img, Rect(0, 0, 5, 5)), 0) << "outside";
    EXPECT_EQ(calc_mismatch_8gray(nullptr, Rect(0, 0, 5, 5)), 0);
}

TEST_F(SeamTest, FlipsMirrorAndDecideByBands)
{
    // Odd and even heights, every pixel: flipping up-down, then left-right.
    for (const int h : {3, 4}) {
        SCOPED_TRACE(h);
        const Ptr img = MakeGray(5, h, Point(3, 4), [](int x, int y) { return y * 10 + x; });
        CSeamBuilder::FlipVert(img);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < 5; ++x)
                EXPECT_EQ(img->GetBits()[y * img->GetBPL() + x], (h - 1 - y) * 10 + x);
        CSeamBuilder::FlipHorz(img);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < 5; ++x)
                EXPECT_EQ(img->GetBits()[y * img->GetBPL() + x], (h - 1 - y) * 10 + 4 - x);
    }

    // The first band (top quarter) worse than the last: flip; equal bands: no flip.
    const Ptr topBad = MakeGray(40, 40, Point(100, 100), [](int, int y) { return y < 10 ? 90 : 10; });
    EXPECT_TRUE(CSeamBuilder::FlipForMinimizingMismatching(topBad, true));
    EXPECT_EQ(topBad->GetPosition(), Point(100, 100)) << "position restored";
    EXPECT_FALSE(CSeamBuilder::FlipForMinimizingMismatching(topBad, false)) << "left and right bands are equal";
    const Ptr even = MakeGray(40, 40, Point(0, 0), [](int, int) { return 50; });
    EXPECT_FALSE(CSeamBuilder::FlipForMinimizingMismatching(even, true));
}

TEST_F(SeamTest, DiffBufferStripsBesideTheCore)
{
    const Ptr diff = MakeGray(100, 50, Point(0, 0), [](int x, int y) { return (x + y) & 255; });
    {
        CSeamBuilder builder(diff, Rect(30, 10, 70, 40));
        const struct {
            unsigned long side;
            Rect expected;
        } cases[] = {{kSeamLeft, Rect(0, 0, 30, 50)},
                     {kSeamRight, Rect(70, 0, 100, 50)},
                     {kSeamTop, Rect(0, 0, 100, 10)},
                     {kSeamBottom, Rect(0, 40, 100, 50)},
                     {kSeamLeft | kSeamBottom, Rect(0, 0, 30, 50)}};
        for (const auto& c : cases) {
            CPanoElement* strip = builder.GetDiffBuffer(c.side);
            ASSERT_NE(strip, nullptr);
            EXPECT_EQ(strip->GetImageRect(), c.expected) << "side " << c.side;
            EXPECT_EQ(strip->GetBits()[0], (c.expected.left + c.expected.top) & 255);
            strip->Release();
        }
        EXPECT_EQ(builder.GetDiffBuffer(16), nullptr);
    }
    {
        CSeamBuilder emptyCore(diff, Rect());
        CPanoElement* whole = emptyCore.GetDiffBuffer(kSeamTop);
        EXPECT_EQ(whole, diff) << "an empty core gives the whole image";
        whole->Release();
    }
    {
        CSeamBuilder edge(diff, Rect(0, 10, 70, 40));
        EXPECT_EQ(edge.GetDiffBuffer(kSeamLeft), nullptr) << "an empty strip";
    }
    EXPECT_EQ(diff->RefCount(), 1) << "every builder released its reference";
    CSeamBuilder none(nullptr, Rect(0, 0, 5, 5));
    EXPECT_EQ(none.GetDiffBuffer(kSeamLeft), nullptr);
    EXPECT_FALSE(none.BuildSeams(nullptr, kSeamLeft));
}

TEST_F(SeamTest, LeftSeamCutsThePhotoAlongTheValley)
{
    // Photo at (100, 50); its left 30 columns overlap the panorama. The difference is
    // zero along canvas column 112 (photo column 12).
    const Ptr photo = MakePhoto(60, 40, Point(100, 50));
    const Ptr diff = MakeGray(30, 40, Point(100, 50), [](int x, int) { return x == 12 ? 0 : 180; });
    bool built = false;
    const CStitchingLine lines = BuildSeams(diff, Rect(), photo, kSeamLeft, &built);
    const CStLine& left = lines.GetPoints(kSeamLeft);
    EXPECT_EQ(std::tuple(built, lines.GetSeamOrient(), left.rect, left.offset), std::tuple(true, kSeamLeft, Rect(100, 50, 130, 90), Point(0, 0)));
    ASSERT_GE(left.points.size(), 3u);
    EXPECT_EQ(std::pair(left.points.front().y, left.points.back().y), std::pair(0, 39));  // extended to both ends

    // Rows where the seam sits in the valley: transparent left of it, opaque from it.
    for (int y = 14; y < 38; ++y) {
        for (int x = 0; x < 12; ++x)
            ASSERT_EQ(AlphaAt(photo, x, y), 0) << x << "," << y;
        for (int x = 12; x < 60; ++x)
            ASSERT_EQ(AlphaAt(photo, x, y), 255) << x << "," << y;
    }
}

// A seam along a zero-difference row cuts the photo above it (top) or below it (bottom),
// the seam's own row kept; a one-column buffer yields no seam.
TEST_F(SeamTest, HorizontalSeamsCutAboveOrBelowTheirRowUnlessTheBufferIsAColumn)
{
    const struct {
        unsigned long side;
        int height, diffTop, diffHeight, valley, column;  // the photo's; the difference's rows; its zero row
    } cases[] = {{kSeamTop, 30, 0, 12, 6, 0}, {kSeamBottom, 40, 20, 20, 9, 25}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.side);
        const Ptr photo = MakePhoto(50, c.height, Point(0, 0));
        const Ptr diff = MakeGray(50, c.diffHeight, Point(0, c.diffTop), [&c](int, int y) { return y == c.valley ? 0 : 150; });
        const CStitchingLine lines = BuildSeams(diff, Rect(), photo, c.side);
        EXPECT_EQ(lines.GetSeamOrient(), c.side);
        const CStLine& seam = lines.GetPoints(c.side);
        EXPECT_EQ(seam.offset, Point(0, c.diffTop));
        ASSERT_FALSE(seam.points.empty());
        if (c.side == kSeamTop) {
            EXPECT_EQ(seam.points.front(), Point(0, c.valley)) << "extended to the buffer's first column";
        }
        const int row = c.diffTop + c.valley;
        for (int y = 0; y < c.height; ++y)
            EXPECT_EQ(AlphaAt(photo, c.column, y), (c.side == kSeamTop ? y < row : y > row) ? 0 : 255) << y;
    }
    const Ptr photo = MakePhoto(50, 40, Point(0, 0));
    const Ptr thin = MakeGray(1, 20, Point(0, 0), [](int, int) { return 0; });
    EXPECT_EQ(BuildSeams(thin, Rect(), photo, kSeamBottom).GetSeamOrient(), 0);
}

TEST_F(SeamTest, TwoSidesUseTwoStripsAndTheSharedImageIsNotLeftMirrored)
{
    const Ptr diff = MakeGray(80, 80, Point(0, 0), [](int x, int y) { return x < 40 && y < 20 ? 120 : 30; });
    {
        // A core in the middle: one strip per side.
        const Ptr photo = MakePhoto(80, 80, Point(0, 0));
        const CStitchingLine lines = BuildSeams(diff, Rect(20, 20, 60, 60), photo, kSeamLeft | kSeamTop);
        EXPECT_EQ(std::tuple(lines.GetSeamOrient(), lines.GetPoints(kSeamLeft).rect, lines.GetPoints(kSeamTop).rect),
                  std::tuple(kSeamLeft | kSeamTop, Rect(0, 0, 20, 80), Rect(0, 0, 80, 20)));
    }
    {
        // No core: both sides search the whole image. The left search mirrors it (its
        // top band is worse); the top search and the caller must see it unmirrored.
        EXPECT_TRUE(CSeamBuilder::FlipForMinimizingMismatching(diff, true));
        std::vector<unsigned char> before(diff->GetBits(), diff->GetBits() + std::size_t(diff->GetBPL()) * 80);
        const Ptr photo = MakePhoto(80, 80, Point(0, 0));
        const CStitchingLine lines = BuildSeams(diff, Rect(), photo, kSeamLeft | kSeamTop);
        EXPECT_EQ(lines.GetSeamOrient(), kSeamLeft | kSeamTop);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), diff->GetBits()));
    }
}

// --- full-size seams ---

TEST_F(SeamTest, ExpandScalesSeamsOntoTheFullSizePhotoUnlessTheWorkingOneIsAPixelThin)
{
    const Ptr working = MakePhoto(11, 11, Point(0, 0));
    const Ptr full = MakePhoto(21, 21, Point(0, 0));
    CStitchingLine lines;
    CStLine left;
    for (int y = 0; y < 11; ++y)
        left.points.push_back(Point(5, y));
    lines.SetStitchLines(&left, nullptr, nullptr, nullptr);
    {
        CExpandStitchingLine expand(working, full, lines);
        EXPECT_TRUE(expand.Expand());
    }
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 10; ++x)
            ASSERT_EQ(AlphaAt(full, x, y), 0) << x << "," << y;
        ASSERT_EQ(AlphaAt(full, 10, y), 255);
        ASSERT_EQ(AlphaAt(full, 20, y), 255);
    }
    EXPECT_EQ(working->RefCount(), 1);
    EXPECT_EQ(full->RefCount(), 1);

    full->FreeAlphaChannel();
    EXPECT_FALSE(CExpandStitchingLine(working, full, lines).Expand()) << "no alpha plane on the full-size photo";
    EXPECT_FALSE(CExpandStitchingLine(nullptr, full, lines).Expand());
    CStitchingLine none;
    full->AddAlphaChannel(true);
    EXPECT_TRUE(CExpandStitchingLine(working, full, none).Expand()) << "no seams: nothing to do";

    // A working photo one pixel wide or high gives no scale: the full-size photo is kept.
    CStLine top;
    top.points = {Point(0, 0)};
    left.points = {Point(0, 0), Point(0, 5), Point(0, 9)};
    lines.SetStitchLines(&left, nullptr, &top, nullptr);
    full->FillAlphaByValue(full->GetImageRect(), 255, false);
    for (const auto& size : {std::pair{1, 10}, std::pair{10, 1}}) {
        const Ptr thin = MakePhoto(size.first, size.second, Point(0, 0));
        EXPECT_TRUE(CExpandStitchingLine(thin, full, lines).Expand());
    }
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 21; ++x)
            ASSERT_EQ(AlphaAt(full, x, y), 255) << "untouched";
}
