// Laplacian pyramids and the multiresolution spline: level sizes and padding, reduce
// and expand against their formulas, an exact round trip, the two extreme masks, a real seam blend between two
// photos read from files, hole filling against its direct form, and the object's
// life (a failed blend writes nothing, a second Initialize starts clean).
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cstring>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/pano_element.h"
#include "engine/hv/laplacian_pyramid.h"
#include "engine/hv/spline.h"
#include "tests/support/dib_manager_fixture.h"

using LaplacianPyramid::CLevel;
using LaplacianPyramid::CPyramid;
using MultiresolutionSpline::CSplineRGB;
using VarnoBase::Point;
using VarnoBase::Rect;

namespace {

CLevel* FilledLevel(int w, int h, unsigned char v)
{
    auto* l = new CLevel(w, h);
    for (int y = 0; y < h; ++y)
        std::fill_n(l->Row(y), w, v);
    return l;
}

// A 24-bit photo at `pos` whose pixel (x, y) is fn(x, y) -> {b0, b1, b2}, written to a
// PNG file and read back, with an alpha plane filled by alphaFn.
template <class Fn, class AlphaFn>
CPanoElement* PhotoFromFile(const QTemporaryDir& dir, const char* name, int w, int h, Point pos, Fn&& fn,
                            AlphaFn&& alphaFn)
{
    auto* src = new CPanoElement(false);
    EXPECT_TRUE(src->CreateImage(24, w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto c = fn(x, y);
            unsigned char* p = src->GetBits() + std::size_t(y) * src->GetBPL() + std::size_t(x) * 3;
            p[0] = c[0];
            p[1] = c[1];
            p[2] = c[2];
        }
    const std::wstring path = (dir.path() + "/" + name).toStdWString();
    EXPECT_TRUE(src->Save(path));
    src->Release();
    auto* e = new CPanoElement(false);
    EXPECT_TRUE(e->FromFile(path));
    e->AddAlphaChannel(false);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            e->GetAlphaBits()[std::size_t(y) * e->GetAlphaBPL() + x] = (unsigned char)alphaFn(x, y);
    e->SetPosition(pos);
    return e;
}

const unsigned char* PixelAt(CPanoElement* e, int x, int y)
{
    return e->GetBits() + std::size_t(y) * e->GetBPL() + std::size_t(x) * 3;
}

// The hole filling as first written: for every hole, distances 1, 2, ... tried left,
// right, above, below in turn.
void FillHolesDirect(const std::vector<unsigned char>& cover, int W, int H, CLevel* c0, CLevel* c1, CLevel* c2)
{
    const int maxd = std::max(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            if (cover[std::size_t(y) * W + x])
                continue;
            for (int d = 1; d < maxd; ++d) {
                const int cand[4][2] = {{x - d, y}, {x + d, y}, {x, y - d}, {x, y + d}};
                bool found = false;
                for (const auto& c : cand) {
                    if (c[0] < 0 || c[1] < 0 || c[0] >= W || c[1] >= H || !cover[std::size_t(c[1]) * W + c[0]])
                        continue;
                    c0->Row(y)[x] = c0->Row(c[1])[c[0]];
                    c1->Row(y)[x] = c1->Row(c[1])[c[0]];
                    c2->Row(y)[x] = c2->Row(c[1])[c[0]];
                    found = true;
                    break;
                }
                if (found)
                    break;
            }
        }
}

class SplineTest : public ::testing::Test {
protected:
    void SetUp() override { vltest::InstallDibManager(); }
    QTemporaryDir dir;
};

}  // namespace

TEST(LaplacianPyramid, LevelSizesAndPadding)
{
    CLevel* l = FilledLevel(33, 17, 7);
    EXPECT_EQ(l->stride, 36);
    CLevel* r = LaplacianPyramid::Reduce(l);
    EXPECT_EQ(r->width, 17);
    EXPECT_EQ(r->height, 9);
    r->Release();
    l->Release();

    using MultiresolutionSpline::PadBlendRect;
    EXPECT_EQ(PadBlendRect(Rect(0, 0, 8, 16), 4), Rect(0, 0, 9, 17)) << "a multiple of 8 grows by one on the far side";
    EXPECT_EQ(PadBlendRect(Rect(100, 50, 110, 60), 4), Rect(97, 47, 114, 64)) << "10 -> 17: 3 before, 4 after";
    EXPECT_EQ(PadBlendRect(Rect(0, 0, 3, 1), 2), Rect(-1, -1, 4, 2)) << "3 -> 5 and 1 -> 3, split evenly";
    EXPECT_TRUE(PadBlendRect(Rect(0, 0, 0, 5), 4).isEmpty());
    EXPECT_TRUE(PadBlendRect(Rect(0, 0, 5, 5), 40).isEmpty()) << "a step that cannot be held";
}

// The reduction and expansion written straight from their formulas.
int RefReduceAt(const CLevel* l, int ox, int oy)
{
    const auto tap = [&](int x, int y) {
        return int(l->Row(std::clamp(y, 0, l->height - 1))[std::clamp(x, 0, l->width - 1)]);
    };
    // Rows first (truncated), then columns.
    const auto rowPass = [&](int y) {
        const int c = 2 * ox;
        return (tap(c - 2, y) + 5 * tap(c - 1, y) + 8 * tap(c, y) + 5 * tap(c + 1, y) + tap(c + 2, y)) / 20;
    };
    const int r = 2 * oy;
    const auto col = [&](int y) { return rowPass(std::clamp(y, 0, l->height - 1)); };
    return (col(r - 2) + 5 * col(r - 1) + 8 * col(r) + 5 * col(r + 1) + col(r + 2)) / 20;
}

std::vector<int> RefExpand1D(const std::vector<int>& q)
{
    const int n = int(q.size());
    std::vector<int> out(std::size_t(2 * n - 1));
    for (int i = 0; i < n; ++i) {
        if (n == 1)
            out[0] = q[0];
        else if (i == 0)
            out[0] = (8 * q[0] + q[1]) / 9;
        else if (i == n - 1)
            out[std::size_t(2 * i)] = (q[std::size_t(i - 1)] + 8 * q[std::size_t(i)]) / 9;
        else
            out[std::size_t(2 * i)] = (q[std::size_t(i - 1)] + 8 * q[std::size_t(i)] + q[std::size_t(i + 1)]) / 10;
        if (i + 1 < n)
            out[std::size_t(2 * i + 1)] = (q[std::size_t(i)] + q[std::size_t(i + 1)]) >> 1;
    }
    return out;
}

TEST(LaplacianPyramid, ReduceAndExpandFollowTheirFormulasOnRandomLevels)
{
    std::mt19937 rng(42);
    for (const auto& size : {std::pair{1, 1}, std::pair{2, 3}, std::pair{3, 2}, std::pair{5, 9}, std::pair{17, 4},
                             std::pair{40, 33}, std::pair{600, 500}}) {
        const int w = size.first, h = size.second;
        CLevel* l = new CLevel(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                l->Row(y)[x] = (unsigned char)rng();
        CLevel* r = LaplacianPyramid::Reduce(l);
        ASSERT_EQ(r->width, w / 2 + 1);
        ASSERT_EQ(r->height, h / 2 + 1);
        for (int y = 0; y < r->height; ++y)
            for (int x = 0; x < r->width; ++x)
                ASSERT_EQ(int(r->Row(y)[x]), RefReduceAt(l, x, y)) << w << "x" << h << " at " << x << "," << y;

        // Expand the level into a fine level of zeros biased by 128: the result is the
        // expansion itself (columns first, then rows).
        CLevel* fine = FilledLevel(2 * w - 1, 2 * h - 1, 128);
        LaplacianPyramid::Expand_AndAdd(fine, l);
        std::vector<std::vector<int>> cols(static_cast<std::size_t>(w));
        for (int x = 0; x < w; ++x) {
            std::vector<int> q;
            for (int y = 0; y < h; ++y)
                q.push_back(l->Row(y)[x]);
            cols[std::size_t(x)] = RefExpand1D(q);
        }
        for (int y = 0; y < 2 * h - 1; ++y) {
            std::vector<int> q;
            for (int x = 0; x < w; ++x)
                q.push_back(cols[std::size_t(x)][std::size_t(y)]);
            const std::vector<int> row = RefExpand1D(q);
            for (int x = 0; x < 2 * w - 1; ++x)
                ASSERT_EQ(int(fine->Row(y)[x]), row[std::size_t(x)]) << w << "x" << h << " at " << x << "," << y;
        }
        fine->Release();
        r->Release();
        l->Release();
    }
}

TEST(LaplacianPyramid, SmoothImageRoundTripsExactly)
{
    CPyramid lap;
    CLevel* base = new CLevel(65, 33);
    for (int y = 0; y < 33; ++y)
        for (int x = 0; x < 65; ++x)
            base->Row(y)[x] = (unsigned char)(40 + x + 2 * y);
    lap.levels.push_back(base);
    std::vector<unsigned char> original;
    for (int y = 0; y < 33; ++y)
        original.insert(original.end(), base->Row(y), base->Row(y) + 65);
    lap.Build(5, true);
    CLevel* removed = lap.RemoveLevel(7);
    EXPECT_EQ(removed, nullptr);
    MultiresolutionSpline::ReconstuctImageChannel(lap);
    std::vector<unsigned char> back;
    for (int y = 0; y < 33; ++y)
        back.insert(back.end(), lap.levels[0]->Row(y), lap.levels[0]->Row(y) + 65);
    EXPECT_EQ(back, original) << "differences within +-127 are kept exactly";
}

TEST(SplineHoles, LinearFillMatchesDirectFormOnRandomMasks)
{
    std::mt19937 rng(1234);
    const struct {
        int w, h;
        double density;
    } cases[] = {{37, 23, 0.02}, {50, 50, 0.3}, {61, 17, 0.9}, {16, 40, 0.0}, {9, 9, 1.0}, {120, 3, 0.05}, {700, 400, 0.3}, {640, 380, 0.01}};
    for (const auto& c : cases) {
        std::vector<unsigned char> cover(std::size_t(c.w) * c.h);
        std::bernoulli_distribution covered(c.density);
        for (auto& v : cover)
            v = covered(rng) ? (unsigned char)(1 + rng() % 255) : 0;
        CLevel* a[3];
        CLevel* b[3];
        for (int k = 0; k < 3; ++k) {
            a[k] = new CLevel(c.w, c.h);
            b[k] = new CLevel(c.w, c.h);
            for (int y = 0; y < c.h; ++y)
                for (int x = 0; x < c.w; ++x)
                    a[k]->Row(y)[x] = b[k]->Row(y)[x] = (unsigned char)rng();
        }
        MultiresolutionSpline::FillHoles(cover.data(), std::size_t(c.w), a[0], a[1], a[2]);
        FillHolesDirect(cover, c.w, c.h, b[0], b[1], b[2]);
        for (int k = 0; k < 3; ++k) {
            for (int y = 0; y < c.h; ++y)
                ASSERT_TRUE(std::equal(a[k]->Row(y), a[k]->Row(y) + c.w, b[k]->Row(y)))
                    << c.w << "x" << c.h << " density " << c.density << " channel " << k << " row " << y;
            a[k]->Release();
            b[k]->Release();
        }
    }
}

TEST_F(SplineTest, FullMaskGivesFirstPhotoAndEmptyMaskTheSecond)
{
    const auto smoothA = [](int x, int y) { return std::array<unsigned char, 3>{(unsigned char)(30 + x), (unsigned char)(60 + y), (unsigned char)(90 + (x + y) / 2)}; };
    const auto smoothB = [](int x, int y) { return std::array<unsigned char, 3>{(unsigned char)(200 - x), (unsigned char)(150 - y / 2), (unsigned char)(20 + y)}; };
    // The second photo is opaque only inside (10, 5)-(50, 35); the first photo covers
    // the whole padded work area, so the mask pyramid is uniform.
    const auto inside = [](int x, int y) { return x >= 10 && x < 50 && y >= 5 && y < 35 ? 255 : 0; };
    for (const int maskValue : {255, 0}) {
        CPanoElement* first = PhotoFromFile(dir, "a.png", 60, 50, Point(0, 0), smoothA, [&](int, int) { return maskValue; });
        CPanoElement* second = PhotoFromFile(dir, "b.png", 70, 50, Point(0, 0), smoothB, inside);
        CSplineRGB spline;
        ASSERT_TRUE(spline.Initialize(4, first, second));
        EXPECT_EQ(spline.GetBlendRect(), Rect(10, 5, 50, 35));
        EXPECT_EQ(spline.GetWorkRect(), Rect(10, 4, 51, 37)) << "40 -> 41 and 30 -> 33 samples";
        spline.InsertResult(second);
        for (int y = 5; y < 35; ++y)
            for (int x = 10; x < 50; ++x) {
                const auto expected = maskValue == 255 ? smoothA(x, y) : smoothB(x, y);
                const unsigned char* p = PixelAt(second, x, y);
                ASSERT_EQ(p[0], expected[0]) << x << "," << y << " mask " << maskValue;
                ASSERT_EQ(p[1], expected[1]) << x << "," << y;
                ASSERT_EQ(p[2], expected[2]) << x << "," << y;
                ASSERT_EQ(second->GetAlphaBits()[std::size_t(y) * second->GetAlphaBPL() + x], 255);
            }
        EXPECT_EQ(PixelAt(second, 5, 2)[0], smoothB(5, 2)[0]) << "outside the blend area nothing changes";
        EXPECT_EQ(second->GetAlphaBits()[std::size_t(2) * second->GetAlphaBPL() + 5], 0);
        first->Release();
        second->Release();
    }
}

TEST_F(SplineTest, SeamBlendIsSmoothAndKeepsFarSidesAndFollowsTheMaskForAlpha)
{
    // First photo dark, second bright; the first photo's alpha keeps its left half.
    const auto dark = [](int, int) { return std::array<unsigned char, 3>{40, 50, 60}; };
    const auto bright = [](int, int) { return std::array<unsigned char, 3>{200, 210, 220}; };
    CPanoElement* first = PhotoFromFile(dir, "dark.png", 64, 32, Point(0, 0), dark, [](int x, int) { return x < 32 ? 255 : 0; });
    CPanoElement* second = PhotoFromFile(dir, "bright.png", 64, 32, Point(0, 0), bright, [](int, int) { return 255; });
    ASSERT_NE(first->CreateBitmaskFromAlpha(), nullptr);
    CSplineRGB spline;
    ASSERT_TRUE(spline.Initialize(4, first, second));
    spline.InsertResult(second);
    int previous = -1;
    for (int x = 0; x < 64; ++x) {
        const int v = PixelAt(second, x, 16)[0];
        EXPECT_GE(v, previous - 1) << "no ringing across the seam at x = " << x;
        previous = v;
    }
    EXPECT_NEAR(PixelAt(second, 2, 16)[0], 40, 3);
    EXPECT_NEAR(PixelAt(second, 61, 16)[0], 200, 3);
    const int mid = PixelAt(second, 32, 16)[0];
    EXPECT_GT(mid, 60);
    EXPECT_LT(mid, 180);
    EXPECT_EQ(first->GetBitmaskBits(), nullptr) << "the mask plane is consumed";

    // A second insert writes nothing more: the pyramids are gone.
    second->FillByValue(7);
    spline.InsertResult(second);
    EXPECT_EQ(PixelAt(second, 10, 10)[0], 7);
    first->Release();
    second->Release();
}

TEST_F(SplineTest, FailedInitializeWritesNothingAndReuseStartsClean)
{
    const auto grey = [](int x, int y) { return std::array<unsigned char, 3>{(unsigned char)(x * 3), (unsigned char)(y * 3), 77}; };
    CPanoElement* first = PhotoFromFile(dir, "f.png", 40, 40, Point(0, 0), grey, [](int, int) { return 255; });
    CPanoElement* apart = PhotoFromFile(dir, "g.png", 40, 40, Point(100, 100), grey, [](int, int) { return 255; });
    CPanoElement* dest = PhotoFromFile(dir, "h.png", 40, 40, Point(0, 0), [](int, int) { return std::array<unsigned char, 3>{9, 9, 9}; }, [](int, int) { return 0; });

    {
        CSplineRGB spline;
        EXPECT_FALSE(spline.Initialize(4, first, apart)) << "no common area";
        EXPECT_FALSE(spline.Initialize(1, first, dest)) << "fewer than two levels";
        EXPECT_FALSE(spline.Initialize(4, nullptr, dest));
        spline.InsertResult(dest);
        EXPECT_EQ(PixelAt(dest, 5, 5)[0], 9);
        EXPECT_EQ(dest->GetAlphaBits()[0], 0);
    }
    EXPECT_EQ(first->RefCount(), 1);

    CPanoElement* second = PhotoFromFile(dir, "s.png", 40, 40, Point(0, 0), [](int, int) { return std::array<unsigned char, 3>{200, 200, 200}; }, [](int, int) { return 255; });
    CSplineRGB reused;
    ASSERT_TRUE(reused.Initialize(3, first, second));
    ASSERT_TRUE(reused.Initialize(4, first, second)) << "a second blend on the same object";
    EXPECT_EQ(first->RefCount(), 2) << "one reference, not two";
    reused.InsertResult(second);
    CPanoElement* fresh = PhotoFromFile(dir, "s.png", 40, 40, Point(0, 0), [](int, int) { return std::array<unsigned char, 3>{200, 200, 200}; }, [](int, int) { return 255; });
    {
        CSplineRGB once;
        ASSERT_TRUE(once.Initialize(4, first, fresh));
        once.InsertResult(fresh);
    }
    EXPECT_EQ(0, std::memcmp(second->GetBits(), fresh->GetBits(), std::size_t(second->GetBPL()) * 40))
        << "the reused object blends exactly like a fresh one";
    fresh->Release();
    second->Release();
    dest->Release();
    apart->Release();
    first->Release();
}
