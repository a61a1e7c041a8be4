#include <gtest/gtest.h>

#include <cmath>
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

// Solves a small dense system by Gaussian elimination with partial pivoting.
std::vector<double> solveDense(Matrix A, std::vector<double> b)
{
    const std::size_t n = b.size();
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t p = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(A[r][c]) > std::fabs(A[p][c]))
                p = r;
        std::swap(A[c], A[p]);
        std::swap(b[c], b[p]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = A[r][c] / A[c][c];
            for (std::size_t k = c; k < n; ++k)
                A[r][k] -= f * A[c][k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (std::size_t i = n; i-- > 0;) {
        double s = b[i];
        for (std::size_t k = i + 1; k < n; ++k)
            s -= A[i][k] * x[k];
        x[i] = s / A[i][i];
    }
    return x;
}

}  // namespace

TEST(ApArrays, BoundsAreInclusiveCheckedAndCopiedDeeply)
{
    ap::real_1d_array v;
    EXPECT_THROW(v(0), ap::ap_error);
    v.setbounds(-2, 3);
    EXPECT_EQ(v.size(), 6);
    for (int i = -2; i <= 3; ++i)
        v(i) = i * 10.0;
    EXPECT_EQ(v.getcontent()[0], -20.0);  // element lo lives at index 0
    EXPECT_THROW(v(4), ap::ap_error);
    EXPECT_THROW(v(-3), ap::ap_error);
    EXPECT_THROW(v.setbounds(5, 3), ap::ap_error);
    ap::real_1d_array b;
    b = v;
    v(2) = 99;
    EXPECT_EQ(b(2), 20.0);
    b = b;  // self-assignment keeps everything
    EXPECT_EQ(b(3), 30.0);
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
        EXPECT_EQ(x.getlowbound(), 1);
        EXPECT_EQ(x.gethighbound(), int(c.x.size()));
        for (std::size_t j = 0; j < c.x.size(); ++j)
            EXPECT_NEAR(x(int(j) + 1), c.x[j], 1e-12) << j;
    }
    ap::real_2d_array a;
    a.setbounds(1, 3, 1, 3);  // no right-hand-side column for n = 3
    ap::real_1d_array x;
    EXPECT_THROW(svdsolve(a, 3, 3, x), ap::ap_error);
}

TEST(SvdSolve, OverAndUnderdeterminedSystemsAgreeWithDirectFormulas)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-5, 5);
    for (int n : {2, 4, 6}) {
        const int m = 3 * n + 5;
        Matrix design(static_cast<std::size_t>(m), std::vector<double>(static_cast<std::size_t>(n)));
        std::vector<double> b(static_cast<std::size_t>(m));
        for (auto& row : design)
            for (double& v : row)
                v = u(rng);
        for (double& v : b)
            v = u(rng);
        // Normal equations (A^T A) x = A^T b.
        Matrix ata(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(n), 0.0));
        std::vector<double> atb(std::size_t(n), 0.0);
        for (std::size_t i = 0; i < std::size_t(m); ++i)
            for (std::size_t j = 0; j < std::size_t(n); ++j) {
                atb[j] += design[i][j] * b[i];
                for (std::size_t k = 0; k < std::size_t(n); ++k)
                    ata[j][k] += design[i][j] * design[i][k];
            }
        const std::vector<double> expected = solveDense(ata, atb);
        ap::real_2d_array a;
        fillSystem(a, design, b);
        ap::real_1d_array x;
        ASSERT_TRUE(svdsolve(a, m, n, x)) << n;
        for (int j = 0; j < n; ++j)
            EXPECT_NEAR(x(j + 1), expected[std::size_t(j)], 1e-10) << "n=" << n << " j=" << j;
    }
    // Two equations, three unknowns: the minimum-norm x = A^T (A A^T)^-1 b.
    const Matrix design = {{1, 2, 3}, {0, 1, -1}};
    const std::vector<double> b = {6, 1};
    const std::vector<double> y = solveDense({{14, -1}, {-1, 2}}, b);
    ap::real_2d_array a;
    fillSystem(a, design, b);
    ap::real_1d_array x;
    svdsolve(a, 2, 3, x);
    for (int j = 0; j < 3; ++j)
        EXPECT_NEAR(x(j + 1), design[0][std::size_t(j)] * y[0] + design[1][std::size_t(j)] * y[1], 1e-12);
}

TEST(SvdSolve, BadlyScaledSimilarityFitIsRecovered)
{
    // The robust fits' system: rows (x, -y, 1, 0 | u) and (y, x, 0, 1 | v) for
    // u = a x - b y + tx, v = b x + a y + ty, with pixel coordinates in the hundreds.
    const double ta = 0.98, tb = 0.17, tx = 123.5, ty = -41.25;
    Matrix design;
    std::vector<double> rhs;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0, 640);
    for (int i = 0; i < 40; ++i) {
        const double px = u(rng), py = u(rng);
        design.push_back({px, -py, 1, 0});
        rhs.push_back(ta * px - tb * py + tx);
        design.push_back({py, px, 0, 1});
        rhs.push_back(tb * px + ta * py + ty);
    }
    ap::real_2d_array a;
    fillSystem(a, design, rhs);
    ap::real_1d_array x;
    ASSERT_TRUE(svdsolve(a, int(design.size()), 4, x));
    EXPECT_NEAR(x(1), ta, 1e-12);
    EXPECT_NEAR(x(2), tb, 1e-12);
    EXPECT_NEAR(x(3), tx, 1e-9);
    EXPECT_NEAR(x(4), ty, 1e-9);
}

TEST(Pythag, NoOverflowOrUnderflow)
{
    EXPECT_EQ(pythag(0, 0), 0.0);
    EXPECT_EQ(pythag(-3, 4), 5.0);
    EXPECT_NEAR(pythag(1e300, 1e300) / 1e300, std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(pythag(1e-300, 1e-300) / 1e-300, std::sqrt(2.0), 1e-15);
}

TEST(Pinv3x3, InvertsAndReportsSingularity)
{
    const double m[3][3] = {{0.9, -0.3, 120.0}, {0.25, 1.1, -35.0}, {0, 0, 1}};
    double inv[3][3];
    ASSERT_TRUE(Utils::pinv3x3(inv, m));
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0;
            for (int k = 0; k < 3; ++k)
                s += m[i][k] * inv[k][j];
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-12);
        }
    double inPlace[3][3];
    Utils::copy_matrix_3x3(inPlace, m);
    ASSERT_TRUE(Utils::pinv3x3(inPlace, inPlace));
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(inPlace[i][j], inv[i][j]);

    const double singular[3][3] = {{1, 2, 3}, {2, 4, 6}, {0, 0, 1}};
    const double zero[3][3] = {};
    const double tiny[3][3] = {{1e-200, 0, 0}, {0, 1e-200, 0}, {0, 0, 1e-200}};  // det underflows
    const double nan[3][3] = {{1, 0, 0}, {0, kNaN, 0}, {0, 0, 1}};
    EXPECT_FALSE(Utils::IsFiniteMatrix3x3(nan));
    for (const auto* bad : {&singular, &zero, &tiny, &nan}) {
        double out[3][3];
        for (auto& row : out)
            for (double& v : row)
                v = 42;
        EXPECT_FALSE(Utils::pinv3x3(out, *bad));
        for (auto& row : out)
            for (double v : row)
                EXPECT_EQ(v, 0.0);
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
    const double expected[4] = {ta, tb, tx, ty};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(out[i], expected[i], 1e-10);
        for (int j = 0; j < 4; ++j) {
            double s = 0;
            for (int k = 0; k < 4; ++k)
                s += a[i * 4 + k] * inverse[k * 4 + j];
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-12);
        }
    }
    // Both pairs start at the same point: singular, and the outputs are zeroed.
    const double same[16] = {px, -py, 1, 0, py, px, 0, 1, px, -py, 1, 0, py, px, 0, 1};
    for (double& v : out)
        v = 42;
    EXPECT_FALSE(C4x1_is_pinvA4x4_x_B4x1(out, inverse, same, b));
    for (double v : out)
        EXPECT_EQ(v, 0.0);
    for (double v : inverse)
        EXPECT_EQ(v, 0.0);
    const double withNaN[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, kNaN, 0, 0, 0, 0, 1};
    EXPECT_FALSE(C4x1_is_pinvA4x4_x_B4x1(out, inverse, withNaN, b));
    const double ident[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const double badB[4] = {1, kInf, 0, 0};
    EXPECT_FALSE(C4x1_is_pinvA4x4_x_B4x1(out, inverse, ident, badB));
    for (double v : out)
        EXPECT_TRUE(std::isfinite(v));
}

TEST(Calc3RotateMatrix, HandValuesAndComposition)
{
    struct Case {
        double ax, ay, az;
        double e[3][3];
    };
    // Quarter turns about each axis and, since the order matters (Rz * Rx * Ry), pairs.
    const Case cases[] = {
        {0, 0, 0, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}},   {90, 0, 0, {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}},
        {0, 0, 90, {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}}, {0, 90, 0, {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}}},
        {90, 90, 0, {{0, 0, -1}, {1, 0, 0}, {0, -1, 0}}}, {0, 90, 90, {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}}},
    };
    double r[3][3];
    for (const Case& c : cases) {
        Utils::Calc3RotateMatrix(r, c.ax, c.ay, c.az);
        for (int i = 0; i < 9; ++i)
            EXPECT_NEAR(r[i / 3][i % 3], c.e[i / 3][i % 3], 1e-15) << c.ax << " " << c.ay << " " << c.az << " @" << i;
    }
    // A general triple is the product Rz Rx Ry of its single-axis rotations, orthonormal.
    const double ax = 12.5, ay = -33, az = 71;
    double rx[3][3], ry[3][3], rz[3][3];
    Utils::Calc3RotateMatrix(r, ax, ay, az);
    Utils::Calc3RotateMatrix(rx, ax, 0, 0);
    Utils::Calc3RotateMatrix(ry, 0, ay, 0);
    Utils::Calc3RotateMatrix(rz, 0, 0, az);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double rtr = 0, prod = 0;
            for (int k = 0; k < 3; ++k) {
                rtr += r[k][i] * r[k][j];
                for (int l = 0; l < 3; ++l)
                    prod += rz[i][k] * rx[k][l] * ry[l][j];
            }
            EXPECT_NEAR(rtr, i == j ? 1.0 : 0.0, 1e-15);
            EXPECT_NEAR(r[i][j], prod, 1e-15);
        }
    const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
                       r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                       r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
    EXPECT_NEAR(det, 1.0, 1e-15);
}
