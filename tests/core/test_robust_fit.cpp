#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "core/robust_fit.h"

using ScaleSpace::PointD;

namespace {

using FitFn = bool (*)(const std::vector<PointD>&, const std::vector<PointD>&, const std::vector<double>&, double,
                       double (*)[3], std::vector<int>*, std::vector<int>*, double*);

struct ModelCase {
    const char* name;
    FitFn fit;
    double m[2][3];  // the true map
};

// One of each model's family.
const ModelCase kModels[] = {
    {"translate", PanoramaRecognition::FitRobustTranslateTransform, {{0.8, 0, 210.5}, {0, 0.8, -12.25}}},
    {"simple", PanoramaRecognition::FitRobustSimpleTransform, {{0.9659, 0.2588, 150}, {-0.2588, 0.9659, 30}}},
    {"affine", PanoramaRecognition::FitRobustAffineTransform, {{1.05, 0.12, 180}, {-0.07, 0.93, -22}}},
};

PointD apply(const double (&m)[2][3], PointD p)
{
    return {m[0][0] * p.x + m[0][1] * p.y + m[0][2], m[1][0] * p.x + m[1][1] * p.y + m[1][2]};
}

struct Pairs {
    std::vector<PointD> a, b;
    std::vector<double> w;
    std::set<int> corrupted;
    void add(PointD from, PointD to, double weight) { a.push_back(from), b.push_back(to), w.push_back(weight); }
};

// n pairs following m up to Gaussian noise, with a share of gross outliers moved 20..80
// pixels away in a random direction. Weights 1 / sigma^2 as the engines pass them.
Pairs makePairs(const double (&m)[2][3], int n, double noise, double outlierShare, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> pos(0, 600), dist(20, 80), ang(0, 2 * M_PI), sig(1.2, 4.0);
    std::normal_distribution<double> gauss(0, noise > 0 ? noise : 1);
    Pairs p;
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng);
    const int bad = static_cast<int>(n * outlierShare);
    for (int i = 0; i < bad; ++i)
        p.corrupted.insert(order[i]);
    for (int i = 0; i < n; ++i) {
        const PointD a{pos(rng), pos(rng) * 0.7};
        PointD b = apply(m, a);
        if (noise > 0)
            b.x += gauss(rng), b.y += gauss(rng);
        if (p.corrupted.count(i)) {
            const double d = dist(rng), t = ang(rng);
            b.x += d * std::cos(t);
            b.y += d * std::sin(t);
        }
        const double s = sig(rng);
        p.add(a, b, 1 / (s * s));
    }
    return p;
}

struct FitResult {
    bool ok = false;
    double t[3][3] = {};
    std::vector<int> in, out;
    double error = -1;
};

FitResult run(FitFn fit, const Pairs& p)
{
    FitResult r;
    r.ok = fit(p.a, p.b, p.w, 0.75, r.t, &r.in, &r.out, &r.error);
    return r;
}

// A fit that fails and leaves every output as it was.
bool refused(FitFn fit, const Pairs& p, double outlierShare)
{
    FitResult r;
    r.t[0][0] = 123;
    r.in = {7};
    r.out = {8};
    return !fit(p.a, p.b, p.w, outlierShare, r.t, &r.in, &r.out, &r.error) && r.t[0][0] == 123 &&
           r.in == std::vector<int>{7} && r.out == std::vector<int>{8} && r.error == -1;
}

}  // namespace

TEST(PairAcceptance, ThresholdIsStrictAtItsBoundaries)
{
    for (auto [pairs, inliers, ok] : {std::tuple{10, 9, true}, {10, 8, false}, {100, 28, true}, {100, 27, false},
                                      {0, 6, true}, {0, 5, false}})
        EXPECT_EQ(PanoramaRecognition::CorrectPanoramicImageMatch(pairs, inliers), ok) << pairs << " " << inliers;
}

TEST(Median, SelectionAgreesWithSorting)
{
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> small(0, 6);
    std::uniform_real_distribution<double> u(-10, 10);
    for (int n = 1; n < 60; ++n) {
        for (bool dup : {false, true}) {
            std::vector<double> v(n);
            for (double& x : v)
                x = dup ? small(rng) : u(rng);
            std::vector<double> sorted = v;
            std::sort(sorted.begin(), sorted.end());
            const double ref = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
            EXPECT_EQ(median(v.data(), n), ref) << "n=" << n;
        }
    }
    // NaN ranks above every number instead of scrambling the selection.
    double withNan[] = {NAN, 1, 5, NAN, 2};
    EXPECT_EQ(median(withNan, 5), 5);
}

TEST(RobustFit, RecoversEachModelAndFlagsExactlyTheCorruptedPairs)
{
    // Noisy pairs with a quarter of gross outliers; exact pairs without and with them.
    struct Data {
        int n;
        double noise, outliers;
        unsigned seed;
        double tolerance, shiftTolerance, maxError;
    };
    for (const Data d : {Data{120, 0.3, 0.25, 42, 2e-3, 0.5, 0.6}, Data{40, 0.0, 0.0, 9, 1e-7, 1e-7, 1e-6},
                         Data{40, 0.0, 0.25, 9, 1e-7, 1e-7, 1e-6}})
        for (const ModelCase& mc : kModels) {
            SCOPED_TRACE(testing::Message() << mc.name << " noise " << d.noise << " outliers " << d.outliers);
            const Pairs p = makePairs(mc.m, d.n, d.noise, d.outliers, d.seed);
            const FitResult r = run(mc.fit, p);
            ASSERT_TRUE(r.ok);
            EXPECT_TRUE(PanoramaRecognition::IsFiniteTransform(r.t));
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 3; ++j)
                    EXPECT_NEAR(r.t[i][j], mc.m[i][j], j == 2 ? d.shiftTolerance : d.tolerance);
            EXPECT_TRUE(r.t[2][0] == 0 && r.t[2][1] == 0 && r.t[2][2] == 1);
            EXPECT_EQ(std::set<int>(r.out.begin(), r.out.end()), p.corrupted);
            EXPECT_EQ(r.in.size() + r.out.size(), p.a.size());
            EXPECT_TRUE(std::is_sorted(r.in.begin(), r.in.end()));
            // The error is the mean inlier distance under the transform written.
            double sum = 0;
            for (int i : r.in)
                sum += std::hypot(r.t[0][0] * p.a[i].x + r.t[0][1] * p.a[i].y + r.t[0][2] - p.b[i].x,
                                  r.t[1][0] * p.a[i].x + r.t[1][1] * p.a[i].y + r.t[1][2] - p.b[i].y);
            EXPECT_NEAR(r.error, sum / r.in.size(), 1e-9);
            EXPECT_LT(r.error, d.maxError);
            EXPECT_TRUE(PanoramaRecognition::CorrectPanoramicImageMatch(static_cast<int>(p.a.size()),
                                                                        static_cast<int>(r.in.size())));
        }
    // Integer data that a sample reproduces to the last bit: the median residual is 0.
    Pairs p;
    for (int i = 0; i < 12; ++i)
        p.add({double(i * 7 % 13), double(i * 5 % 11)}, {double(i * 7 % 13) + 30, double(i * 5 % 11) - 4}, 1);
    for (const ModelCase& mc : kModels) {
        SCOPED_TRACE(mc.name);
        const FitResult r = run(mc.fit, p);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.in.size(), 12u);
        EXPECT_TRUE(std::fabs(r.t[0][2] - 30) < 1e-9 && std::fabs(r.t[1][2] + 4) < 1e-9 &&
                    std::fabs(r.t[0][0] - 1) < 1e-12 && !std::isnan(r.error));
    }
}

TEST(RobustFit, TooFewPairsLeaveTheOutputsUntouched)
{
    for (const ModelCase& mc : kModels) {
        SCOPED_TRACE(mc.name);
        const Pairs p = makePairs(mc.m, 4, 0.0, 0.0, 1);
        Pairs shortW = p;
        shortW.w.pop_back();
        EXPECT_TRUE(refused(mc.fit, makePairs(mc.m, 3, 0.0, 0.0, 1), 0.75));
        // Mismatched lengths and an impossible outlier share are refused the same way.
        EXPECT_TRUE(refused(mc.fit, shortW, 0.75));
        EXPECT_TRUE(refused(mc.fit, p, 1.0));
        // Four exact pairs are fitted.
        const FitResult four = run(mc.fit, p);
        EXPECT_TRUE(four.ok && four.in.size() == 4);
    }
}

TEST(RobustFit, GeneratorFollowsItsRecurrenceAndItsLargestDrawStaysBelowN)
{
    Utils::rand_private::hold_rand = 1;
    using Utils::rand_private::Rand;
    EXPECT_EQ(std::vector<int>({Rand(), Rand(), Rand()}), std::vector<int>({41, 18467, 6334}));

    // The seed whose next draw is the largest one, 32767: the index is n - 1.
    Utils::rand_private::hold_rand = 1;
    std::uint32_t before = 0;
    do
        before = Utils::rand_private::hold_rand;
    while (Rand() != Utils::Rand_max);
    for (int n : {1, 2, 7, 70000}) {
        Utils::rand_private::hold_rand = before;
        EXPECT_EQ(Utils::rand_private::RandIndex(n), n - 1) << n;
    }
}

// Success needs three inliers: weights that pin the fit to two pairs leave exactly two.
TEST(RobustFit, ExactlyTwoInliersAreAFailureAndThreeASuccess)
{
    struct Case {
        double pairs[4][5];  // x, y -> u, v, weight
        std::size_t inliers;
    };
    const Case cases[] = {
        {{{1, 38, 185.61, 13.27, 1e5}, {65, 96, 259.77, 62.73, 1e-3}, {6, 23, 436.06, 62.97, 1e-3},
          {38, 97, 263.54, 71.55, 1e-4}},
         2},
        {{{81, 40, 269.85, 9.53, 0.1}, {41, 79, 232.53, 48.6, 1000}, {2, 32, 223.94, 156.62, 10},
          {20, 65, 306.8, 260.05, 1e4}},
         3},
    };
    for (const Case& c : cases) {
        Pairs p;
        for (const auto& q : c.pairs)
            p.add({q[0], q[1]}, {q[2], q[3]}, q[4]);
        const FitResult r = run(PanoramaRecognition::FitRobustAffineTransform, p);
        ASSERT_EQ(r.in.size(), c.inliers);
        EXPECT_EQ(r.ok, c.inliers > 2);
    }
}

TEST(RobustFit, ZeroWeightAndNonFinitePairsAreClassifiedNotFitted)
{
    Pairs p = makePairs(kModels[2].m, 30, 0.2, 0.0, 8);
    // A pair far off but with weight 0, and a pair with a NaN point.
    p.b[3].x += 500;
    p.w[3] = 0;
    p.a[5].x = NAN;
    const FitResult fitted = run(kModels[2].fit, p);
    ASSERT_TRUE(fitted.ok);
    EXPECT_TRUE(PanoramaRecognition::IsFiniteTransform(fitted.t));
    EXPECT_NEAR(fitted.t[0][2], kModels[2].m[0][2], 0.5);
    EXPECT_EQ(std::set<int>(fitted.out.begin(), fitted.out.end()), (std::set<int>{3, 5}));

    // Non-finite weights are refused like mismatched input.
    Pairs bad = makePairs(kModels[1].m, 20, 0.2, 0.0, 8);
    bad.w[4] = INFINITY;
    EXPECT_TRUE(refused(PanoramaRecognition::FitRobustSimpleTransform, bad, 0.75));

    // Coordinates whose squares overflow: whatever comes out, a success has a finite
    // transform, and a non-finite transform has no inliers.
    Pairs huge = makePairs(kModels[1].m, 20, 0.2, 0.0, 8);
    for (auto& q : huge.a)
        q.x *= 1e300, q.y *= 1e300;
    for (const ModelCase& mc : kModels) {
        SCOPED_TRACE(mc.name);
        const FitResult h = run(mc.fit, huge);
        const bool finite = PanoramaRecognition::IsFiniteTransform(h.t);
        EXPECT_TRUE(finite || (!h.ok && h.in.empty())) << h.ok << " " << h.in.size();
        EXPECT_FALSE(std::isnan(h.error));
    }
}
