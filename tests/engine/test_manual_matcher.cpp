#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "engine/manual_matcher.h"

using PanoramaLib::IManualMatcher;
using PanoramaLib::MotionAffine;
using PanoramaLib::MotionModel;
using PanoramaLib::MotionSimple;
using PanoramaLib::MotionTranslate;
using VarnoBase::Point;
using VarnoBase::Size;

namespace {

using M3 = double[3][3];

const Size kFirst(400, 300);
const Size kSecond(400, 300);

// Exact image of an integer point under m, which the tests choose so that markers on
// their grid map to integers.
Point Apply(const M3& m, Point p)
{
    const double x = m[0][0] * p.x + m[0][1] * p.y + m[0][2];
    const double y = m[1][0] * p.x + m[1][1] * p.y + m[1][2];
    return {int(std::lround(x)), int(std::lround(y))};
}

void ExpectTransformNear(const CManualMatcher& mm, const M3& want, double tol = 1e-9)
{
    M3 got;
    mm.GetTransform(got);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(got[r][c], want[r][c], tol) << "element " << r << "," << c;
}

// Places the three marker pairs a_k -> m(a_k) on a plainly initialised matcher.
void PlaceMarkers(CManualMatcher& mm, const M3& m, const Point (&a)[3])
{
    for (int k = 0; k < 3; ++k) {
        mm.SetPoint(IManualMatcher::PTS_First, a[k], k);
        mm.SetPoint(IManualMatcher::PTS_Second, Apply(m, a[k]), k);
    }
}

}  // namespace

TEST(ManualMatcherInit, PlainInitPlacesDefaultMarkersAndStartsWithTranslate)
{
    CManualMatcher mm(false);
    mm.Init(Size(800, 600), Size(640, 480), MotionAffine);  // the model argument is not read
    Point a[3], b[3];
    mm.GetPoints(IManualMatcher::PTS_First, a);
    mm.GetPoints(static_cast<IManualMatcher::PTS_group>(5), b);  // any group but 0 is the second photo
    EXPECT_EQ(std::tuple(a[0], a[2], b[0], b[2], mm.GetMotionModel()),
              std::tuple(Point(700, 450), Point(700, 150), Point(80, 360), Point(80, 120), MotionTranslate));
    // Markers 0, 1: (700,450)->(80,360), (700,300)->(80,240): s = 0.8, t = (-480, 0).
    const M3 want = {{0.8, 0, -480}, {0, 0.8, 0}, {0, 0, 1}};
    ExpectTransformNear(mm, want);
    EXPECT_FALSE(mm.BadTransform());

    // Marker indices are clamped into 0..2.
    mm.SetPoint(IManualMatcher::PTS_First, Point(11, 12), 7);
    mm.SetPoint(IManualMatcher::PTS_Second, Point(21, 22), -1);
    mm.GetPoints(IManualMatcher::PTS_First, a);
    mm.GetPoints(IManualMatcher::PTS_Second, b);
    EXPECT_EQ(std::pair(a[2], b[0]), std::pair(Point(11, 12), Point(21, 22)));
}

// Each model recovers its own kind of transform exactly from exact markers; a model
// outside the list is bad.
TEST(ManualMatcherFit, EachModelRecoversItsTransform)
{
    struct Case {
        MotionModel model;
        M3 truth;
        Point markers[3];
    };
    const Case cases[] = {
        {MotionTranslate, {{1.25, 0, -200}, {0, 1.25, 10}, {0, 0, 1}}, {Point(300, 60), Point(340, 220), Point(320, 140)}},
        // 1.2 x rotation by about 16 degrees; markers on a 125 grid map to integers.
        {MotionSimple, {{1.152, 0.336, -250}, {-0.336, 1.152, 40}, {0, 0, 1}}, {Point(250, 125), Point(375, 250), Point(375, 125)}},
        {MotionAffine, {{1.1, 0.2, -150}, {-0.1, 0.9, 20}, {0, 0, 1}}, {Point(250, 50), Point(370, 240), Point(300, 200)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        CManualMatcher mm(false);
        mm.Init(kFirst, kSecond, MotionTranslate);
        mm.SetMotionModel(c.model);
        PlaceMarkers(mm, c.truth, c.markers);
        ExpectTransformNear(mm, c.truth);
        EXPECT_FALSE(mm.BadTransform());
        if (c.model != MotionAffine)
            continue;
        // Switching to a model that cannot express the skew refits with markers 0 and 1.
        mm.SetMotionModel(MotionTranslate);
        M3 got;
        mm.GetTransform(got);
        EXPECT_EQ(std::tuple(got[0][1], got[1][0], got[0][0]), std::tuple(0.0, 0.0, got[1][1]));
        mm.SetMotionModel(static_cast<MotionModel>(7));
        EXPECT_TRUE(mm.BadTransform());
    }
}

// Markers on top of each other on both photos give a pure translation; on one photo only
// they are refused, with a finite transform.
TEST(ManualMatcherFit, MarkersOnTopOfEachOther)
{
    for (MotionModel model : {MotionTranslate, MotionSimple}) {
        for (bool both : {true, false}) {
            SCOPED_TRACE(testing::Message() << "model " << model << (both ? " both photos" : " one photo"));
            CManualMatcher mm(false);
            mm.Init(kFirst, kSecond, MotionTranslate);
            mm.SetMotionModel(model);
            mm.SetPoint(IManualMatcher::PTS_First, Point(350, 100), 0);
            mm.SetPoint(IManualMatcher::PTS_First, Point(350, 100), 1);
            mm.SetPoint(IManualMatcher::PTS_Second, Point(30, 90), 0);
            mm.SetPoint(IManualMatcher::PTS_Second, Point(30, both ? 90 : 190), 1);
            EXPECT_EQ(mm.BadTransform(), !both);
            M3 got;
            mm.GetTransform(got);
            EXPECT_TRUE(std::all_of(&got[0][0], &got[0][0] + 9, [](double v) { return std::isfinite(v); }));
            const M3 want = {{1, 0, -320}, {0, 1, -10}, {0, 0, 1}};
            if (both)
                ExpectTransformNear(mm, want, 0.0);
        }
    }
}

// Collinear markers leave the affine transform rank-deficient: it must be refused even
// though its diagonal passes the skew test.
TEST(ManualMatcherFit, CollinearAffineMarkersAreRefused)
{
    CManualMatcher mm(false);
    mm.Init(kFirst, kSecond, MotionTranslate);
    mm.SetMotionModel(MotionAffine);
    const M3 shift = {{1, 0, -260}, {0, 1, 0}, {0, 0, 1}};
    PlaceMarkers(mm, shift, {Point(300, 50), Point(300, 250), Point(300, 150)});  // a default-like column
    EXPECT_TRUE(mm.BadTransform());

    // Moving one marker off the line makes the fit well posed again.
    mm.SetPoint(IManualMatcher::PTS_First, Point(350, 150), 2);
    mm.SetPoint(IManualMatcher::PTS_Second, Point(90, 150), 2);
    EXPECT_FALSE(mm.BadTransform());
    ExpectTransformNear(mm, shift);

    // Collinear on the second photo only: the transform would flatten the first photo.
    mm.SetPoint(IManualMatcher::PTS_Second, Point(40, 150), 2);
    EXPECT_TRUE(mm.BadTransform());
}

TEST(ManualMatcherFit, AffineSkewTestRejectsATransformTheFitCalledGood)
{
    // m00 = 0.2 and m10 = 0.9: plausible in extent, but the first column leans over.
    const M3 seed = {{0.2, -0.9, 300}, {0.9, 0.2, -100}, {0, 0, 1}};
    ASSERT_FALSE(BadTransform(kFirst, kSecond, seed));
    CManualMatcher mm(false);
    const Point pts[3] = {Point(100, 100), Point(200, 200), Point(150, 50)};
    mm.Init(kFirst, kSecond, pts, seed, MotionAffine);
    EXPECT_TRUE(mm.BadTransform());
    mm.SetMotionModel(MotionSimple);  // the same transform under the similarity model
    EXPECT_FALSE(mm.BadTransform());
}

// The skew test reads both columns, by size whatever the sign: a transform that leans
// over in one column only is refused, be it the second or the first, leaning either
// way or mirrored; a moderate shear, mirrored or not, passes.
TEST(ManualMatcherFit, AffineSkewTestLooksAtBothColumns)
{
    const struct {
        const char* what;
        M3 m;
        bool bad;
    } cases[] = {
        {"second column leans right", {{1, 0.9, -200}, {0, 0.5, 40}, {0, 0, 1}}, true},
        {"second column leans left", {{1, -0.9, 100}, {0, 0.5, 40}, {0, 0, 1}}, true},
        {"second column leans, mirrored", {{-1, 0.9, 300}, {0, -0.5, 200}, {0, 0, 1}}, true},
        {"first column leans", {{0.5, 0, -100}, {0.9, 1, -200}, {0, 0, 1}}, true},
        {"first column leans, mirrored", {{-0.5, 0, 200}, {-0.9, 1, 150}, {0, 0, 1}}, true},
        {"moderate shear", {{1, 0.3, -200}, {0.2, 0.8, 10}, {0, 0, 1}}, false},
        {"moderate shear, mirrored", {{-1, 0.3, 300}, {0.2, -0.8, 250}, {0, 0, 1}}, false},
    };
    const Point pts[3] = {Point(100, 100), Point(200, 200), Point(150, 50)};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(BadTransform(kFirst, kSecond, c.m));  // plausible in extent: the seed is kept
        CManualMatcher mm(false);
        mm.Init(kFirst, kSecond, pts, c.m, MotionAffine);
        ExpectTransformNear(mm, c.m, 0.0);
        EXPECT_EQ(mm.BadTransform(), c.bad);
    }
}

// A plausible seed is kept as it is (no refit, not even for the same model again) and
// the markers are mapped through it; a reset after changes restores the seeded markers
// and model and refits them with the translate model.
TEST(ManualMatcherSeed, PlausibleSeedIsKeptAndAResetRestoresItsMarkers)
{
    const M3 seed = {{1.02, 0.05, -270.3}, {-0.05, 1.02, 12.6}, {0, 0, 1}};
    const Point pts[3] = {Point(320, 80), Point(350, 220), Point(300, 150)};
    CManualMatcher mm(false);
    mm.Init(kFirst, kSecond, pts, seed, MotionAffine);
    EXPECT_EQ(mm.GetMotionModel(), MotionAffine);
    ExpectTransformNear(mm, seed, 0.0);
    mm.SetMotionModel(MotionAffine);
    ExpectTransformNear(mm, seed, 0.0);
    Point a[3], b[3];
    mm.GetPoints(IManualMatcher::PTS_First, a);
    mm.GetPoints(IManualMatcher::PTS_Second, b);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(std::pair(a[k], b[k]), std::pair(pts[k], Apply(seed, pts[k])));

    mm.SetMotionModel(MotionSimple);
    mm.SetPoint(IManualMatcher::PTS_Second, Point(5, 5), 1);
    mm.Reset();
    EXPECT_EQ(mm.GetMotionModel(), MotionAffine);
    Point ra[3], rb[3];
    mm.GetPoints(IManualMatcher::PTS_First, ra);
    mm.GetPoints(IManualMatcher::PTS_Second, rb);
    CManualMatcher translate(false);
    translate.Init(kFirst, kSecond, MotionTranslate);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(std::pair(ra[k], rb[k]), std::pair(a[k], b[k]));
        translate.SetPoint(IManualMatcher::PTS_First, a[k], k);
        translate.SetPoint(IManualMatcher::PTS_Second, b[k], k);
    }
    M3 want;
    translate.GetTransform(want);
    EXPECT_NE(want[0][1], seed[0][1]);
    ExpectTransformNear(mm, want);
}

TEST(ManualMatcherSeed, ImplausibleOrNonFiniteSeedFallsBackToThePlainStart)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const M3 seeds[] = {
        {{10, 0, 0}, {0, 10, 0}, {0, 0, 1}},            // ten times larger
        {{1, 0, 5e6}, {0, 1, 0}, {0, 0, 1}},            // far outside the 16-bit range
        {{1, 0, nan}, {0, 1, 0}, {0, 0, 1}},
        {{inf, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        {{1e300, 1e300, 0}, {1e300, 1e300, 0}, {0, 0, 1}},  // singular and huge
        {{0, 0, 0}, {0, 0, 0}, {0, 0, 1}},              // singular
    };
    const Point pts[3] = {Point(320, 80), Point(350, 220), Point(300, 150)};
    for (const auto& seed : seeds) {
        CManualMatcher mm(false);
        mm.Init(kFirst, kSecond, pts, seed, MotionAffine);
        EXPECT_EQ(mm.GetMotionModel(), MotionTranslate);
        Point a[3];
        mm.GetPoints(IManualMatcher::PTS_First, a);
        EXPECT_EQ(a[0], Point(350, 225));  // the default markers
        const M3 want = {{1, 0, -300}, {0, 1, 0}, {0, 0, 1}};
        ExpectTransformNear(mm, want);
        EXPECT_FALSE(mm.BadTransform());
        // A reset after the fallback returns to the defaults, not to the refused seed.
        mm.Reset();
        ExpectTransformNear(mm, want);
    }
}

TEST(BadTransformTest, OutlineLimitsSizeRatioAndDegenerateTransforms)
{
    // _BadTransform maps the source's corners through the inverse of m.
    const M3 id = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const M3 atLimit = {{1, 0, -32267}, {0, 1, 0}, {0, 0, 1}};  // corner x reaches 32767
    const M3 inside = {{1, 0, -32266}, {0, 1, 0}, {0, 0, 1}};
    const M3 lowLimit = {{1, 0, 32768}, {0, 1, 0}, {0, 0, 1}};  // corner x reaches -32768
    struct Case {
        Size target, source;
        const M3* m;
        bool bad;
    };
    const Case cases[] = {
        {Size(100, 100), Size(500, 100), &atLimit, true},
        {Size(100, 100), Size(500, 100), &inside, false},
        {Size(100, 100), Size(100, 100), &lowLimit, true},
        // Five times the size is usable and more is not.
        {Size(100, 100), Size(500, 100), &id, false},
        {Size(100, 100), Size(501, 100), &id, true},
        {Size(100, 100), Size(100, 20), &id, false},
        {Size(100, 100), Size(100, 19), &id, true},
        // The same for the other two sides: a source too narrow, and one too tall.
        {Size(100, 100), Size(20, 100), &id, false},
        {Size(100, 100), Size(19, 100), &id, true},
        {Size(100, 100), Size(100, 500), &id, false},
        {Size(100, 100), Size(100, 501), &id, true},
        {Size(0, 100), Size(100, 100), &id, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(_BadTransform(c.target, c.source, *c.m), c.bad)
            << c.target.cx << "x" << c.target.cy << " " << c.source.cx << "x" << c.source.cy << " " << (*c.m)[0][2];
    // BadTransform checks both directions.
    EXPECT_TRUE(BadTransform(Size(100, 100), Size(501, 100), id));
    EXPECT_TRUE(BadTransform(Size(501, 100), Size(100, 100), id));
    EXPECT_FALSE(BadTransform(Size(400, 300), Size(400, 300), id));

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const M3 withNan = {{1, 0, 0}, {0, nan, 0}, {0, 0, 1}};
    const M3 withInf = {{1, 0, inf}, {0, 1, 0}, {0, 0, 1}};
    const M3 singular = {{1, 2, 0}, {2, 4, 0}, {0, 0, 1}};
    const M3 nearlySingular = {{1, 2, 0}, {2, 4 + 1e-12, 0}, {0, 0, 1}};
    for (const auto* m : {&withNan, &withInf, &singular, &nearlySingular}) {
        EXPECT_TRUE(BadTransform(kFirst, kSecond, *m));
        EXPECT_TRUE(_BadTransform(kFirst, kSecond, *m));
    }
}

// Markers that stretch or squeeze the first photo along one axis: less than five times
// is usable, a little more is refused, narrow as much as flat. The first photo's
// markers span 250 pixels on each axis; the second's span `w` across and `h` down.
// Both directions are judged, so a squeeze one way is a stretch the other: each side's
// own limit is held by the one-directional cases of BadTransformTest.
TEST(ManualMatcherFit, SqueezingOrStretchingBeyondFiveTimesIsRefusedOnEitherAxis)
{
    const struct {
        int w, h;
        bool bad;
        const char* what;
    } cases[] = {
        {52, 250, false, "narrow (4.8 times)"},
        {48, 250, true, "too narrow (5.2 times)"},
        {250, 52, false, "flat"},
        {250, 48, true, "too flat"},
        {1200, 250, false, "wide"},
        {1300, 250, true, "too wide"},
        {250, 1200, false, "tall"},
        {250, 1300, true, "too tall"},
    };
    for (const auto& c : cases) {
        CManualMatcher mm(false);
        mm.Init(kFirst, kSecond, MotionTranslate);
        mm.SetMotionModel(MotionAffine);
        const Point first[3] = {Point(0, 0), Point(250, 0), Point(0, 250)};
        const Point second[3] = {Point(10, 10), Point(10 + c.w, 10), Point(10, 10 + c.h)};
        for (int k = 0; k < 3; ++k) {
            mm.SetPoint(IManualMatcher::PTS_First, first[k], k);
            mm.SetPoint(IManualMatcher::PTS_Second, second[k], k);
        }
        const M3 m = {{c.w / 250.0, 0, 10}, {0, c.h / 250.0, 10}, {0, 0, 1}};
        ExpectTransformNear(mm, m, 1e-9);
        EXPECT_EQ(mm.BadTransform(), c.bad) << c.what;
    }
}
