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

using Ptr = VarnoBase::RefPtr<CPanoElement>;
using LevelPtr = VarnoBase::RefPtr<CLevel>;

LevelPtr Hold(CLevel* l)
{
    LevelPtr p;
    p.Adopt(l);
    return p;
}

LevelPtr FilledLevel(int w, int h, unsigned char v)
{
    LevelPtr l = Hold(new CLevel(w, h));
    for (int y = 0; y < h; ++y)
        std::fill_n(l->Row(y), w, v);
    return l;
}

LevelPtr RandomLevel(int w, int h, std::mt19937& rng)
{
    LevelPtr l = Hold(new CLevel(w, h));
    for (int y = 0; y < h; ++y)
        std::generate_n(l->Row(y), w, [&] { return (unsigned char)rng(); });
    return l;
}

// A level's samples row by row, padding dropped.
std::vector<unsigned char> Samples(const CLevel* l)
{
    std::vector<unsigned char> out;
    for (int y = 0; y < l->height; ++y)
        out.insert(out.end(), l->Row(y), l->Row(y) + l->width);
    return out;
}

// A 24-bit photo at `pos` whose pixel (x, y) is fn(x, y) -> {b0, b1, b2}, written to a
// PNG file and read back, with an alpha plane filled by alphaFn.
template <class Fn, class AlphaFn>
Ptr PhotoFromFile(const QTemporaryDir& dir, const char* name, int w, int h, Point pos, Fn&& fn, AlphaFn&& alphaFn)
{
    Ptr src;
    src.Adopt(new CPanoElement(false));
    EXPECT_TRUE(src->CreateImage(24, w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto c = fn(x, y);
            std::copy(c.begin(), c.end(), src->GetBits() + std::size_t(y) * src->GetBPL() + std::size_t(x) * 3);
        }
    const std::wstring path = (dir.path() + "/" + name).toStdWString();
    EXPECT_TRUE(src->Save(path));
    Ptr e;
    e.Adopt(new CPanoElement(false));
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
void FillHolesDirect(const std::vector<unsigned char>& cover, int W, int H, const LevelPtr* c)
{
    const auto covered = [&](int x, int y) { return x >= 0 && y >= 0 && x < W && y < H && cover[std::size_t(y) * W + x]; };
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            for (int d = 1; !covered(x, y) && d < std::max(W, H); ++d) {
                const int cand[4][2] = {{x - d, y}, {x + d, y}, {x, y - d}, {x, y + d}};
                const auto* from = std::find_if(std::begin(cand), std::end(cand), [&](const int* q) { return covered(q[0], q[1]); });
                if (from == std::end(cand))
                    continue;
                for (int k = 0; k < 3; ++k)
                    c[k]->Row(y)[x] = c[k]->Row((*from)[1])[(*from)[0]];
                break;
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
    const LevelPtr l = FilledLevel(33, 17, 7);
    EXPECT_EQ(l->stride, 36);  // the reduced sizes are held to their formula below

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
    const auto taps5 = [](auto f, int c) { return (f(c - 2) + 5 * f(c - 1) + 8 * f(c) + 5 * f(c + 1) + f(c + 2)) / 20; };
    // Rows first (truncated), then columns.
    return taps5([&](int y) { return taps5([&](int x) { return tap(x, y); }, 2 * ox); }, 2 * oy);
}

// The n samples q(0) ... q(n - 1) expanded: even ones (q[i-1] + 8 q[i] + q[i+1]) / 10, over
// 9 at an end; odd ones the truncated mean of their neighbours.
template <class Q>
std::vector<int> RefExpand1D(int n, Q q)
{
    std::vector<int> out(std::size_t(2 * n - 1));
    for (int i = 0; i < n; ++i) {
        const bool left = i > 0, right = i + 1 < n;
        out[std::size_t(2 * i)] = ((left ? q(i - 1) : 0) + 8 * q(i) + (right ? q(i + 1) : 0)) / (8 + left + right);
        if (right)
            out[std::size_t(2 * i + 1)] = (q(i) + q(i + 1)) >> 1;
    }
    return out;
}

TEST(LaplacianPyramid, ReduceAndExpandFollowTheirFormulasOnRandomLevels)
{
    std::mt19937 rng(42);
    for (const auto& size : {std::pair{1, 1}, std::pair{2, 3}, std::pair{3, 2}, std::pair{5, 9}, std::pair{17, 4},
                             std::pair{40, 33}, std::pair{600, 500}}) {
        const int w = size.first, h = size.second;
        const LevelPtr l = RandomLevel(w, h, rng);
        const LevelPtr r = Hold(LaplacianPyramid::Reduce(l));
        ASSERT_EQ(std::pair(r->width, r->height), std::pair(w / 2 + 1, h / 2 + 1));
        for (int y = 0; y < r->height; ++y)
            for (int x = 0; x < r->width; ++x)
                ASSERT_EQ(int(r->Row(y)[x]), RefReduceAt(l, x, y)) << w << "x" << h << " at " << x << "," << y;

        // Expand the level into a fine level of zeros biased by 128: the result is the
        // expansion itself (columns first, then rows).
        const LevelPtr fine = FilledLevel(2 * w - 1, 2 * h - 1, 128);
        LaplacianPyramid::Expand_AndAdd(fine, l);
        std::vector<std::vector<int>> cols;
        for (int x = 0; x < w; ++x)
            cols.push_back(RefExpand1D(h, [&](int y) { return int(l->Row(y)[x]); }));
        for (int y = 0; y < 2 * h - 1; ++y) {
            const std::vector<int> row = RefExpand1D(w, [&](int x) { return cols[std::size_t(x)][std::size_t(y)]; });
            for (int x = 0; x < 2 * w - 1; ++x)
                ASSERT_EQ(int(fine->Row(y)[x]), row[std::size_t(x)]) << w << "x" << h << " at " << x << "," << y;
        }
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
    const std::vector<unsigned char> original = Samples(base);
    lap.Build(5, true);
    EXPECT_EQ(lap.RemoveLevel(7), nullptr);
    MultiresolutionSpline::ReconstuctImageChannel(lap);
    EXPECT_EQ(Samples(lap.levels[0]), original) << "differences within +-127 are kept exactly";
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
        LevelPtr a[3], b[3];
        for (int k = 0; k < 3; ++k) {
            a[k] = RandomLevel(c.w, c.h, rng);
            b[k] = FilledLevel(c.w, c.h, 0);
            for (int y = 0; y < c.h; ++y)
                std::copy_n(a[k]->Row(y), c.w, b[k]->Row(y));
        }
        MultiresolutionSpline::FillHoles(cover.data(), std::size_t(c.w), a[0], a[1], a[2]);
        FillHolesDirect(cover, c.w, c.h, b);
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(Samples(a[k]), Samples(b[k])) << c.w << "x" << c.h << " density " << c.density << " channel " << k;
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
        const Ptr first = PhotoFromFile(dir, "a.png", 60, 50, Point(0, 0), smoothA, [&](int, int) { return maskValue; });
        const Ptr second = PhotoFromFile(dir, "b.png", 70, 50, Point(0, 0), smoothB, inside);
        CSplineRGB spline;
        ASSERT_TRUE(spline.Initialize(4, first, second));
        // The work rectangle pads 40 -> 41 and 30 -> 33 samples.
        EXPECT_EQ(std::pair(spline.GetBlendRect(), spline.GetWorkRect()), std::pair(Rect(10, 5, 50, 35), Rect(10, 4, 51, 37)));
        spline.InsertResult(second);
        for (int y = 5; y < 35; ++y)
            for (int x = 10; x < 50; ++x) {
                const auto expected = maskValue == 255 ? smoothA(x, y) : smoothB(x, y);
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), PixelAt(second, x, y)))
                    << x << "," << y << " mask " << maskValue;
                ASSERT_EQ(second->GetAlphaBits()[std::size_t(y) * second->GetAlphaBPL() + x], 255);
            }
        EXPECT_EQ(PixelAt(second, 5, 2)[0], smoothB(5, 2)[0]) << "outside the blend area nothing changes";
        EXPECT_EQ(second->GetAlphaBits()[std::size_t(2) * second->GetAlphaBPL() + 5], 0);
    }
}

TEST_F(SplineTest, SeamBlendIsSmoothAndKeepsFarSidesAndFollowsTheMaskForAlpha)
{
    // First photo dark, second bright; the first photo's alpha keeps its left half.
    const auto dark = [](int, int) { return std::array<unsigned char, 3>{40, 50, 60}; };
    const auto bright = [](int, int) { return std::array<unsigned char, 3>{200, 210, 220}; };
    const Ptr first = PhotoFromFile(dir, "dark.png", 64, 32, Point(0, 0), dark, [](int x, int) { return x < 32 ? 255 : 0; });
    const Ptr second = PhotoFromFile(dir, "bright.png", 64, 32, Point(0, 0), bright, [](int, int) { return 255; });
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
    EXPECT_TRUE(mid > 60 && mid < 180) << mid;
    EXPECT_EQ(first->GetBitmaskBits(), nullptr) << "the mask plane is consumed";

    // A second insert writes nothing more: the pyramids are gone.
    second->FillByValue(7);
    spline.InsertResult(second);
    EXPECT_EQ(PixelAt(second, 10, 10)[0], 7);
}

TEST_F(SplineTest, FailedInitializeWritesNothingAndReuseStartsClean)
{
    const auto grey = [](int x, int y) { return std::array<unsigned char, 3>{(unsigned char)(x * 3), (unsigned char)(y * 3), 77}; };
    const Ptr first = PhotoFromFile(dir, "f.png", 40, 40, Point(0, 0), grey, [](int, int) { return 255; });
    const Ptr apart = PhotoFromFile(dir, "g.png", 40, 40, Point(100, 100), grey, [](int, int) { return 255; });
    const Ptr dest = PhotoFromFile(dir, "h.png", 40, 40, Point(0, 0), [](int, int) { return std::array<unsigned char, 3>{9, 9, 9}; }, [](int, int) { return 0; });

    {
        CSplineRGB spline;
        EXPECT_FALSE(spline.Initialize(4, first, apart)) << "no common area";
        EXPECT_FALSE(spline.Initialize(1, first, dest)) << "fewer than two levels";
        EXPECT_FALSE(spline.Initialize(4, nullptr, dest));
        spline.InsertResult(dest);
        EXPECT_EQ((std::vector<int>{PixelAt(dest, 5, 5)[0], dest->GetAlphaBits()[0]}), (std::vector<int>{9, 0}));  // colour, alpha
    }
    EXPECT_EQ(first->RefCount(), 1);

    const Ptr second = PhotoFromFile(dir, "s.png", 40, 40, Point(0, 0), [](int, int) { return std::array<unsigned char, 3>{200, 200, 200}; }, [](int, int) { return 255; });
    CSplineRGB reused;
    ASSERT_TRUE(reused.Initialize(3, first, second));
    ASSERT_TRUE(reused.Initialize(4, first, second)) << "a second blend on the same object";
    EXPECT_EQ(first->RefCount(), 2) << "one reference, not two";
    reused.InsertResult(second);
    const Ptr fresh = PhotoFromFile(dir, "s.png", 40, 40, Point(0, 0), [](int, int) { return std::array<unsigned char, 3>{200, 200, 200}; }, [](int, int) { return 255; });
    {
        CSplineRGB once;
        ASSERT_TRUE(once.Initialize(4, first, fresh));
        once.InsertResult(fresh);
    }
    EXPECT_EQ(0, std::memcmp(second->GetBits(), fresh->GetBits(), std::size_t(second->GetBPL()) * 40))
        << "the reused object blends exactly like a fresh one";
}
