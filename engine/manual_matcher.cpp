// Marker-based pair matching. Each model is fitted to the markers a_k (first photo)
// -> b_k (second photo) as a small linear least-squares problem solved by SVD:
//   translate:  (s, tx, ty)         with  b = s·a + t                 (markers 0, 1)
//   simple:     (a, b, tx, ty)      with  x' = a·x + b·y + tx, y' = a·y − b·x + ty
//   affine:     (u1 … u6)           with  the full 2x3 affine map       (markers 0..2)
// A fit whose markers do not determine the transform (coincident or collinear
// markers, a singular value dropped by the solver) is reported as degenerate and the
// transform as unusable.
//
// Plausibility (`BadTransform`): each photo's outline carried through the transform
// into the other photo's frame must be finite, stay inside the 16-bit coordinate
// range, keep a positive extent and stay within a factor of 5 of that photo's size.
#include "engine/manual_matcher.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/linalg.h"

using PanoramaLib::MotionModel;
using VarnoBase::Point;
using VarnoBase::Size;

namespace {

constexpr double kCoordLow = -32768.0;   // mapped outlines must lie strictly inside
constexpr double kCoordHigh = 32767.0;
constexpr double kMaxSizeRatio = 5.0;    // mapped extent against the photo's extent

bool InCoordRange(double v) noexcept
{
    return v > kCoordLow && v < kCoordHigh;  // false for NaN
}

bool AffineRowsFinite(const double (*m)[3]) noexcept
{
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            if (!std::isfinite(m[r][c]))
                return false;
    return true;
}

// Adds 0.5 and truncates toward zero, as the markers are rounded; clamped so that a
// far-off value never reaches an undefined integer conversion.
int RoundMarker(double v) noexcept
{
    constexpr double kLimit = 1 << 30;
    if (!(v > -kLimit))
        return -(1 << 30);
    if (!(v < kLimit))
        return 1 << 30;
    return static_cast<int>(v + 0.5);
}

void SetIdentityRow3(double (*m)[3]) noexcept
{
    m[2][0] = 0.0;
    m[2][1] = 0.0;
    m[2][2] = 1.0;
}

// Least-squares solve of the m x n system whose rows are given as n coefficients
// followed by the right-hand side. False when the solver dropped a singular value
// (the system does not determine the unknowns) or the solution is not finite.
bool SolveLeastSquares(const double* rows, int m, int n, double* out) noexcept
try {
    ap::template_2d_array<double> a;
    a.setbounds(1, m, 1, n + 1);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j <= n; ++j)
            a(i + 1, j + 1) = rows[i * (n + 1) + j];
    ap::template_1d_array<double> x;
    const bool full = svdsolve(a, m, n, x);
    bool finite = true;
    for (int j = 0; j < n; ++j) {
        out[j] = x(j + 1);
        finite = finite && std::isfinite(out[j]);
    }
    return full && finite;
} catch (...) {
    // The matcher never throws: a solve that cannot run (no memory) is a failed fit.
    for (int j = 0; j < n; ++j)
        out[j] = 0.0;
    return false;
}

// Twice the signed area of the triangle of three markers, exact in 64 bits.
std::int64_t Cross(const Point& p0, const Point& p1, const Point& p2) noexcept
{
    const std::int64_t ux = static_cast<std::int64_t>(p1.x) - p0.x;
    const std::int64_t uy = static_cast<std::int64_t>(p1.y) - p0.y;
    const std::int64_t vx = static_cast<std::int64_t>(p2.x) - p0.x;
    const std::int64_t vy = static_cast<std::int64_t>(p2.y) - p0.y;
    return ux * vy - uy * vx;
}

}  // namespace

bool _BadTransform(const Size& target, const Size& source, const double (*m)[3])
{
    if (!AffineRowsFinite(m) || target.cx <= 0 || target.cy <= 0)
        return true;
    double inv[3][3];
    if (!Utils::pinv3x3(inv, m) || !AffineRowsFinite(inv))
        return true;

    const double cx[4] = {0.0, static_cast<double>(source.cx), 0.0, static_cast<double>(source.cx)};
    const double cy[4] = {0.0, 0.0, static_cast<double>(source.cy), static_cast<double>(source.cy)};
    double minX = std::numeric_limits<double>::infinity(), maxX = -minX;
    double minY = minX, maxY = -minX;
    for (int k = 0; k < 4; ++k) {
        const double x = inv[0][0] * cx[k] + inv[0][1] * cy[k] + inv[0][2];
        const double y = inv[1][0] * cx[k] + inv[1][1] * cy[k] + inv[1][2];
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    }
    if (!InCoordRange(minX) || !InCoordRange(maxX) || !InCoordRange(minY) || !InCoordRange(maxY))
        return true;

    const int w = static_cast<int>(maxX - minX);  // both below 65535: safe to truncate
    const int h = static_cast<int>(maxY - minY);
    if (w <= 0 || h <= 0)
        return true;
    const double tw = target.cx, th = target.cy;
    return w / tw > kMaxSizeRatio || tw / w > kMaxSizeRatio || h / th > kMaxSizeRatio ||
           th / h > kMaxSizeRatio;
}

bool BadTransform(const Size& first, const Size& second, const double (*m)[3])
{
    if (!AffineRowsFinite(m))
        return true;
    if (_BadTransform(first, second, m))
        return true;
    double inv[3][3];
    if (!Utils::pinv3x3(inv, m))
        return true;
    return _BadTransform(second, first, inv);
}

CManualMatcher::CManualMatcher(bool cyclorama) : m_cyclorama(cyclorama) {}

void CManualMatcher::GetPoints(PTS_group g, Point* out) const
{
    const Point* src = m_points[g == PTS_First ? 0 : 1];
    for (int k = 0; k < 3; ++k)
        out[k] = src[k];
}

void CManualMatcher::SetPoint(PTS_group g, const Point& p, int index)
{
    index = index < 0 ? 0 : (index > 2 ? 2 : index);
    Point& marker = m_points[g == PTS_First ? 0 : 1][index];
    if (marker != p) {
        marker = p;
        m_changed = true;
    }
    Recalculate();
}

void CManualMatcher::GetTransform(double (*m)[3]) const
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m[r][c] = m_transform[r][c];
}

bool CManualMatcher::BadTransform() const
{
    if (m_motionModel != PanoramaLib::MotionAffine)
        return m_bad;
    // The affine model must also pass the fit's own verdict: degenerate (collinear)
    // markers give a rank-deficient transform that the skew test alone would accept.
    const auto& m = m_transform;
    const bool skewOk = std::fabs(m[0][0]) >= std::fabs(m[1][0]) && std::fabs(m[1][1]) >= std::fabs(m[0][1]);
    return m_bad || !skewOk;
}

void CManualMatcher::SetMotionModel(MotionModel mm)
{
    if (mm == m_motionModel)
        return;
    m_motionModel = mm;
    Recalculate();
}

void CManualMatcher::SetDefaultPoints()
{
    const std::int64_t wF = m_sizeFirst.cx, hF = m_sizeFirst.cy;
    const std::int64_t wS = m_sizeSecond.cx, hS = m_sizeSecond.cy;
    const int yF[3] = {static_cast<int>(3 * hF / 4), static_cast<int>(hF / 2), static_cast<int>(hF / 4)};
    const int yS[3] = {static_cast<int>(3 * hS / 4), static_cast<int>(hS / 2), static_cast<int>(hS / 4)};
    for (int k = 0; k < 3; ++k) {
        m_points[0][k] = Point(static_cast<int>(7 * wF / 8), yF[k]);
        m_points[1][k] = Point(static_cast<int>(wS / 8), yS[k]);
    }
}

// The second photo's markers are the first photo's carried through the seed.
void CManualMatcher::MapInitPoints()
{
    const auto& m = m_initTransform;
    for (int k = 0; k < 3; ++k) {
        const double x = m_initPoints[k].x, y = m_initPoints[k].y;
        m_points[0][k] = m_initPoints[k];
        m_points[1][k] = Point(RoundMarker(m[0][0] * x + m[0][1] * y + m[0][2]),
                               RoundMarker(m[1][0] * x + m[1][1] * y + m[1][2]));
    }
}

void CManualMatcher::Init(const Size& first, const Size& second, MotionModel)
{
    m_hasInit = false;
    m_sizeFirst = first;
    m_sizeSecond = second;
    m_initModel = m_motionModel = PanoramaLib::MotionTranslate;
    SetDefaultPoints();
    CalcTransform(PanoramaLib::MotionTranslate, m_transform, m_points[0], m_points[1]);
}

void CManualMatcher::Init(const Size& first, const Size& second, const Point* pts, const double (*m)[3],
                          MotionModel mm)
{
    // The seed is judged as doubles before any marker is rounded to an integer, so an
    // implausible or non-finite seed never reaches a conversion.
    if (pts == nullptr || m == nullptr || ::BadTransform(first, second, m)) {
        Init(first, second, mm);
        return;
    }
    m_hasInit = true;
    m_sizeFirst = first;
    m_sizeSecond = second;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m_initTransform[r][c] = m_transform[r][c] = m[r][c];
    m_initModel = m_motionModel = mm;
    for (int k = 0; k < 3; ++k)
        m_initPoints[k] = pts[k];
    MapInitPoints();
}

void CManualMatcher::Reset()
{
    m_changed = false;
    m_bad = false;
    m_motionModel = m_initModel;
    if (m_hasInit) {
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                m_transform[r][c] = m_initTransform[r][c];
        MapInitPoints();
    } else {
        SetDefaultPoints();
    }
    CalcTransform(PanoramaLib::MotionTranslate, m_transform, m_points[0], m_points[1]);
}

void CManualMatcher::CalcTransform(MotionModel model, double (*m)[3], const Point* first, const Point* second)
{
    bool ok = false;
    switch (model) {
    case PanoramaLib::MotionSimple:
        ok = CalcSimpleTransform(m, first, second);
        break;
    case PanoramaLib::MotionTranslate:
        ok = CalcTranslateTransform(m, first, second);
        break;
    case PanoramaLib::MotionAffine:
        ok = CalcAffineTransform(m, first, second);
        break;
    default:
        m_bad = true;
        return;
    }
    m_bad = !ok || ::BadTransform(m_sizeFirst, m_sizeSecond, m);
}

bool CManualMatcher::CalcTranslateTransform(double (*m)[3], const Point* a, const Point* b)
{
    SetIdentityRow3(m);
    if (a[0] == a[1] && b[0] == b[1]) {
        m[0][0] = 1.0, m[0][1] = 0.0, m[0][2] = static_cast<double>(b[0].x) - a[0].x;
        m[1][0] = 0.0, m[1][1] = 1.0, m[1][2] = static_cast<double>(b[0].y) - a[0].y;
        return true;
    }
    // Unknowns (s, tx, ty); rows k = 0 x, k = 0 y, k = 1 x, k = 1 y.
    double rows[4][4];
    for (int k = 0; k < 2; ++k) {
        double* rx = rows[2 * k];
        double* ry = rows[2 * k + 1];
        rx[0] = a[k].x, rx[1] = 1.0, rx[2] = 0.0, rx[3] = b[k].x;
        ry[0] = a[k].y, ry[1] = 0.0, ry[2] = 1.0, ry[3] = b[k].y;
    }
    double u[3] = {0.0, 0.0, 0.0};
    const bool full = SolveLeastSquares(&rows[0][0], 4, 3, u);
    m[0][0] = u[0], m[0][1] = 0.0, m[0][2] = u[1];
    m[1][0] = 0.0, m[1][1] = u[0], m[1][2] = u[2];
    // Markers that coincide on one photo only leave the scale undetermined.
    return full && a[0] != a[1] && b[0] != b[1];
}

bool CManualMatcher::CalcSimpleTransform(double (*m)[3], const Point* a, const Point* b)
{
    SetIdentityRow3(m);
    if (a[0] == a[1] && b[0] == b[1]) {
        m[0][0] = 1.0, m[0][1] = 0.0, m[0][2] = static_cast<double>(b[0].x) - a[0].x;
        m[1][0] = 0.0, m[1][1] = 1.0, m[1][2] = static_cast<double>(b[0].y) - a[0].y;
        return true;
    }
    // Unknowns (a, b, tx, ty): a·x + b·y + tx = x', a·y − b·x + ty = y'.
    double rows[4][5];
    for (int k = 0; k < 2; ++k) {
        double* rx = rows[2 * k];
        double* ry = rows[2 * k + 1];
        rx[0] = a[k].x, rx[1] = a[k].y, rx[2] = 1.0, rx[3] = 0.0, rx[4] = b[k].x;
        ry[0] = a[k].y, ry[1] = -static_cast<double>(a[k].x), ry[2] = 0.0, ry[3] = 1.0, ry[4] = b[k].y;
    }
    double u[4] = {0.0, 0.0, 0.0, 0.0};
    const bool full = SolveLeastSquares(&rows[0][0], 4, 4, u);
    m[0][0] = u[0], m[0][1] = u[1], m[0][2] = u[2];
    m[1][0] = -u[1], m[1][1] = u[0], m[1][2] = u[3];
    return full && a[0] != a[1] && b[0] != b[1];
}

bool CManualMatcher::CalcAffineTransform(double (*m)[3], const Point* a, const Point* b)
{
    SetIdentityRow3(m);
    // Unknowns (u1 … u6): u1·x + u3·y + u5 = x', u2·x + u4·y + u6 = y'.
    double rows[6][7];
    for (int k = 0; k < 3; ++k) {
        double* rx = rows[2 * k];
        double* ry = rows[2 * k + 1];
        rx[0] = a[k].x, rx[1] = 0.0, rx[2] = a[k].y, rx[3] = 0.0, rx[4] = 1.0, rx[5] = 0.0, rx[6] = b[k].x;
        ry[0] = 0.0, ry[1] = a[k].x, ry[2] = 0.0, ry[3] = a[k].y, ry[4] = 0.0, ry[5] = 1.0, ry[6] = b[k].y;
    }
    double u[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const bool full = SolveLeastSquares(&rows[0][0], 6, 6, u);
    m[0][0] = u[0], m[0][1] = u[2], m[0][2] = u[4];
    m[1][0] = u[1], m[1][1] = u[3], m[1][2] = u[5];
    // Collinear markers on either photo give a rank-deficient (singular) transform.
    return full && Cross(a[0], a[1], a[2]) != 0 && Cross(b[0], b[1], b[2]) != 0;
}
