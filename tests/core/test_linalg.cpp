#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/linalg.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using Matrix = std::vector<std::vector<double>>;

// Fills a (rows 1..m, columns 1..n+1) from a row-major design matrix and a right-hand side.
void fillSystem(ap::real_2d_array& a, const Matrix& design, const std::vector<double>& b)
{
    const int m = int(design.size());
    const int n = int(design[0].size());
    a.setbounds(1, m, 1, n + 1);
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < n; ++j)
            a(i + 1, j + 1) = design[std::size_t(i)][std::size_t(j)];
        a(i + 1, n + 1) = b[std::size_t(i)];
    }
}

// a (n x n, row-major) times inv is the identity.
void expectInverse(const double* a, const double* inv, int n)
{
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double s = 0;
            for (int k = 0; k < n; ++k)
                s += a[i * n + k] * inv[k * n + j];
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-12) << i << "," << j;
        }
}

}  // namespace

TEST(ApArrays, BoundsAreInclusiveCheckedAndCopiedDeeply)
{
    ap::real_1d_array v, b;
    EXPECT_THROW(v(0), ap::ap_error);
    v.setbounds(-2, 3);
    EXPECT_EQ(v.size(), 6);
    for (int i = -2; i <= 3; ++i)
        v(i) = i * 10.0;
    EXPECT_EQ(v.getcontent()[0], -20.0);  // element lo lives at index 0
    for (int bad : {4, -3})
        EXPECT_THROW(v(bad), ap::ap_error) << bad;
    EXPECT_THROW(v.setbounds(5, 3), ap::ap_error);
    b = v;
    v(2) = 99;
    b = b;  // self-assignment keeps everything
    EXPECT_TRUE(b(2) == 20.0 && b(3) == 30.0);
    b = ap::real_1d_array();
    EXPECT_EQ(b.getcontent(), nullptr);
    EXPECT_THROW(b(1), ap::ap_error);

    ap::real_2d_array m, n;
    m.setbounds(1, 3, 0, 4);
    for (int i = 1; i <= 3; ++i)
        for (int j = 0; j <= 4; ++j)
            m(i, j) = i * 100 + j;
    EXPECT_EQ(m.getcontent()[1 * 5 + 2], 202.0);  // row-major, row 2 column 2
    for (auto [r, c] : {std::pair{4, 0}, std::pair{0, 0}, std::pair{1, 5}, std::pair{1, -1}})
        EXPECT_THROW(m(r, c), ap::ap_error) << r << "," << c;
    n = m;
    m(3, 4) = 0;
    EXPECT_EQ(n(3, 4), 304.0);
    m.setbounds(0, -1, 1, 3);  // no rows: no storage, every access refused
    EXPECT_EQ(m.getcontent(), nullptr);
    EXPECT_THROW(m(0, 1), ap::ap_error);
}

TEST(SvdSolve, KnownSolutionsOfRegularAndRankDeficientSystems)
{
    struct Case {
        const char* name;
        Matrix design;
        std::vector<double> b;
        bool fullRank;
        std::vector<double> x;
    };
    const Case cases[] = {
        {"square", {{4, -2, 1}, {-2, 4, -2}, {1, -2, 4}}, {11, -16, 17}, true, {1, -2, 3}},
        // y's column all zero: dropped, its unknown 0; x = 1, z = 2 fits the rest exactly.
        {"zero column", {{1, 0, 2}, {3, 0, 1}, {1, 0, 1}, {2, 0, 2}}, {5, 5, 3, 6}, false, {1, 0, 2}},
        // Equal columns: the minimum-norm solution splits evenly.
        {"dependent", {{1, 1, 0}, {2, 2, 1}, {0, 0, 3}, {1, 1, 1}}, {3, 7, 3, 4}, false, {1.5, 1.5, 1}},
        {"all zero", {{0, 0}, {0, 0}, {0, 0}}, {1, 2, 3}, false, {0, 0}},
        {"NaN", {{1, 0}, {0, kNaN}, {1, 1}}, {1, 2, 3}, false, {0, 0}},
        {"infinity", {{1, 0}, {0, kInf}, {1, 1}}, {1, 2, 3}, false, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ap::real_2d_array a;
        fillSystem(a, c.design, c.b);
        ap::real_1d_array x;
        x.setbounds(1, 7);  // old contents and bounds are discarded
        EXPECT_EQ(svdsolve(a, int(c.design.size()), int(c.x.size()), x), c.fullRank);
        EXPECT_EQ(std::pair(x.getlowbound(), x.gethighbound()), std::pair(1, int(c.x.size())));
        for (std::size_t j = 0; j < c.x.size(); ++j)
            EXPECT_NEAR(x(int(j) + 1), c.x[j], 1e-12) << j;
    }
    ap::real_2d_array a;
    a.setbounds(1, 3, 1, 3);  // no right-hand-side column for n = 3
    ap::real_1d_array x;
    EXPECT_THROW(svdsolve(a, 3, 3, x), ap::ap_error);
}

TEST(Pythag, NoOverflowOrUnderflow)
{
    EXPECT_EQ(std::pair(pythag(0, 0), pythag(-3, 4)), std::pair(0.0, 5.0));
    for (double v : {1e300, 1e-300})
        EXPECT_NEAR(pythag(v, v) / v, std::sqrt(2.0), 1e-15);
}

TEST(Pinv3x3, InvertsAndReportsSingularity)
{
    const double m[3][3] = {{0.9, -0.3, 120.0}, {0.25, 1.1, -35.0}, {0, 0, 1}};
    double inv[3][3];
    ASSERT_TRUE(Utils::pinv3x3(inv, m));
    expectInverse(&m[0][0], &inv[0][0], 3);
    double inPlace[3][3];
    Utils::copy_matrix_3x3(inPlace, m);
    ASSERT_TRUE(Utils::pinv3x3(inPlace, inPlace));
    EXPECT_EQ(std::memcmp(inPlace, inv, sizeof inv), 0);

    const double singular[3][3] = {{1, 2, 3}, {2, 4, 6}, {0, 0, 1}};
    const double zero[3][3] = {};
    const double tiny[3][3] = {{1e-200, 0, 0}, {0, 1e-200, 0}, {0, 0, 1e-200}};  // det underflows
    const double nan[3][3] = {{1, 0, 0}, {0, kNaN, 0}, {0, 0, 1}};
    EXPECT_FALSE(Utils::IsFiniteMatrix3x3(nan));
    for (const auto* bad : {&singular, &zero, &tiny, &nan}) {
        double out[3][3];
        std::fill_n(&out[0][0], 9, 42.0);
        EXPECT_FALSE(Utils::pinv3x3(out, *bad));
        EXPECT_TRUE(std::all_of(&out[0][0], &out[0][0] + 9, [](double v) { return v == 0.0; }));
    }
}

TEST(Inverse4x4, SolvesAndReportsSingularity)
{
    // The Hough voting's system for a similarity through two point pairs.
    const double px = 10, py = 20, qx = 110, qy = 45;
    const double ta = 0.9, tb = 0.2, tx = 5, ty = -7;
    const double a[16] = {px, -py, 1, 0, py, px, 0, 1, qx, -qy, 1, 0, qy, qx, 0, 1};
    const double b[4] = {ta * px - tb * py + tx, tb * px + ta * py + ty, ta * qx - tb * qy + tx,
                         tb * qx + ta * qy + ty};
    double out[4], inverse[16];
    ASSERT_TRUE(C4x1_is_pinvA4x4_x_B4x1(out, inverse, a, b));
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(out[i], (std::array{ta, tb, tx, ty})[i], 1e-10);
    expectInverse(a, inverse, 4);
    // Both pairs start at the same point: singular, and the outputs are zeroed.
    const double same[16] = {px, -py, 1, 0, py, px, 0, 1, px, -py, 1, 0, py, px, 0, 1};
    std::fill_n(out, 4, 42.0);
    EXPECT_FALSE(C4x1_is_pinvA4x4_x_B4x1(out, inverse, same, b));
    EXPECT_TRUE(std::all_of(out, out + 4, [](double v) { return v == 0.0; }));
    EXPECT_TRUE(std::all_of(inverse, inverse + 16, [](double v) { return v == 0.0; }));
    const double withNaN[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, kNaN, 0, 0, 0, 0, 1};
    EXPECT_FALSE(C4x1_is_pinvA4x4_x_B4x1(out, inverse, withNaN, b));
    const double ident[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const double badB[4] = {1, kInf, 0, 0};
    EXPECT_FALSE(C4x1_is_pinvA4x4_x_B4x1(out, inverse, ident, badB));
    EXPECT_TRUE(std::all_of(out, out + 4, [](double v) { return std::isfinite(v); }));
}

