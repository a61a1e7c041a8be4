// Geometry of the cylindrical and spherical rendering surfaces and the projection of a
// surface pixel back into a photo.
//
// The surface radius R is the largest focal length seen from the surface (horizontal
// distance on the cylinder); 16 border points of each photo, sent through M1, give its
// extent in longitude and in the vertical unit; the picture is the union of these
// extents unrolled at radius R. A surface pixel's ray comes from per-column (sin, cos
// of the longitude) and per-row tables; M2 takes it into the photo, where the inverse
// lens model (Newton on r L(r)) and an interpolation give the colour.
#include "engine/tiled/surface.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <limits>

#include "core/linalg.h"
#include "engine/tiled/surface_render.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kRadToDeg = 180.0 / kPi;

// Largest side of a surface picture that the geometry accepts; a photo seen close to the
// cylinder's axis would otherwise ask for an unbounded height.
constexpr double kMaxSurfaceSide = 1 << 20;

double WrapDegreesHalfOpen(double a) noexcept
{
    // [-180, 180): add 360 while <= -180, subtract 360 while >= 180.
    a = std::fmod(a, 360.0);
    if (a <= -180.0)
        a += 360.0;
    else if (a >= 180.0)
        a -= 360.0;
    return a;
}

// Eigenvalues (ascending) and unit eigenvectors (rows of v) of a symmetric 3x3 matrix,
// by cyclic Jacobi rotations.
void SymmetricEigen3(const double in[3][3], double value[3], double v[3][3]) noexcept
{
    double a[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            a[i][j] = in[i][j];
            v[i][j] = i == j ? 1.0 : 0.0;
        }
    for (int sweep = 0; sweep < 50; ++sweep) {
        const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
        if (!(off > 1e-30))
            break;
        for (int p = 0; p < 2; ++p) {
            for (int q = p + 1; q < 3; ++q) {
                if (a[p][q] == 0.0)
                    continue;
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), sn = t * c;
                for (int k = 0; k < 3; ++k) {  // a = J^T a J, columns then rows
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - sn * akq;
                    a[k][q] = sn * akp + c * akq;
                }
                for (int k = 0; k < 3; ++k) {
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - sn * aqk;
                    a[q][k] = sn * apk + c * aqk;
                }
                for (int k = 0; k < 3; ++k) {  // eigenvectors as rows
                    const double vp = v[p][k], vq = v[q][k];
                    v[p][k] = c * vp - sn * vq;
                    v[q][k] = sn * vp + c * vq;
                }
            }
        }
    }
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int i, int j) { return a[i][i] < a[j][j]; });
    double sorted[3][3];
    for (int i = 0; i < 3; ++i) {
        value[i] = a[order[i]][order[i]];
        for (int k = 0; k < 3; ++k)
            sorted[i][k] = v[order[i]][k];
    }
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            v[i][k] = sorted[i][k];
}

double Dot(const double a[3], const double b[3]) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

void Cross(const double a[3], const double b[3], double out[3]) noexcept
{
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

bool Normalise(double a[3]) noexcept
{
    const double n = std::sqrt(Dot(a, a));
    if (!(n > 1e-9) || !std::isfinite(n))
        return false;
    for (int i = 0; i < 3; ++i)
        a[i] /= n;
    return true;
}

bool FiniteMatrix(const double m[3][3]) noexcept
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (!std::isfinite(m[i][j]))
                return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Inverse lens distortion

bool InvLensDistortion24(double* outX, double* outY, double x, double y, const D3Param& p)
{
    return InvLensDistortionT<true>(outX, outY, x, y, p);
}

bool InvLensDistortion23(double* outX, double* outY, double x, double y, const D3Param& p)
{
    return InvLensDistortionT<false>(outX, outY, x, y, p);
}

bool InvLensDistortion(double* outX, double* outY, double x, double y, double /*radius*/, const D3Param& p)
{
    return g_ldPoynomType == 1 ? InvLensDistortion24(outX, outY, x, y, p) : InvLensDistortion23(outX, outY, x, y, p);
}

bool LensMonotone(const D3Param& p, bool type24, double R0) noexcept
{
    auto dg = [&](double r) {
        const double r2 = r * r;
        return type24 ? 1.0 + 3.0 * p.k1 * r2 + 5.0 * p.k2 * r2 * r2 : 1.0 + 3.0 * p.k2 * r2 + 4.0 * p.k3 * r2 * r;
    };
    double at[4] = {-R0, 0.0, R0, 0.0};
    int n = 3;
    if (type24) {
        if (p.k2 != 0.0) {
            const double s = -3.0 * p.k1 / (10.0 * p.k2);  // vertex in r^2
            if (s > 0.0 && s < R0 * R0)
                at[n++] = std::sqrt(s);
        }
    } else if (p.k3 != 0.0) {
        const double rc = -p.k2 / (2.0 * p.k3);
        if (rc > -R0 && rc < R0)
            at[n++] = rc;
    }
    for (int i = 0; i < n; ++i)
        if (!(dg(at[i]) > 0.0))
            return false;
    return true;
}

void LensInverseTable::Build(const D3Param& p, bool type24, double R0)
{
    m_s.clear();
    m_maxQ = -1.0;
    m_type24 = type24;
    const double rhoMax = R0 * LensDistortion(R0, p, type24 ? 1 : 2);
    if (!p.lens || !LensMonotone(p, type24, R0) || !(rhoMax > 0.0) || !std::isfinite(rhoMax))
        return;
    const double maxQ = rhoMax * rhoMax;
    // The exact scale r / rho at q (1 at the centre, where g'(0) = 1); 0 when Newton fails.
    const auto exact = [&](double q) {
        const double rho = std::sqrt(q);
        double x = 0.0, y = 0.0;
        if (rho == 0.0)
            return 1.0;
        const bool ok = type24 ? InvLensDistortionT<true>(&x, &y, rho, 0.0, p)
                               : InvLensDistortionT<false>(&x, &y, rho, 0.0, p);
        return ok ? x / rho : 0.0;
    };
    std::vector<double> table;
    for (std::size_t steps = 256; steps <= (std::size_t{1} << 16); steps *= 2) {
        const double dq = maxQ / static_cast<double>(steps);
        table.resize(steps + 1);
        bool close = true;
        for (std::size_t k = 0; k <= steps && close; ++k) {
            table[k] = exact(static_cast<double>(k) * dq);
            close = table[k] > 0.0;
        }
        for (std::size_t k = 0; k < steps && close; ++k) {
            const double q = (static_cast<double>(k) + 0.5) * dq;
            const double s = exact(q);
            close = s > 0.0 && std::sqrt(q) * std::fabs(0.5 * (table[k] + table[k + 1]) - s) <= kTolerance;
        }
        if (close) {
            m_s = std::move(table);
            m_stepsPerQ = static_cast<double>(steps) / maxQ;
            m_maxQ = maxQ;
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Photos

CCylindricalSurface::CCylindricalSurface()
    : m_addImage(&CCylindricalSurface::AddImageToPano),
      m_interpolate(&CCylindricalSurface::BilinearInterpolation),
      m_thetaMin(DBL_MAX),
      m_thetaMax(-DBL_MAX),
      m_vMin(DBL_MAX),
      m_vMax(-DBL_MAX)
{
    m_world.f = 0.0;
}

CCylindricalSurface::~CCylindricalSurface()
{
    RemoveAllImages();
    FreePano();
}

void CCylindricalSurface::AddImage(CPanoElement* image, const D3Param& params, CPanoElement* preview)
{
    if (!image)
        return;
    m_lensPolynomial = g_ldPoynomType;  // taken now, on the preparing thread
    Data d;
    d.image = image;
    d.preview = preview;
    d.params = params;
    d.width = image->GetWidth();
    d.height = image->GetHeight();
    d.path = image->GetPathName();
    const double hw = d.width / 2, hh = d.height / 2;
    d.halfDiagonal = std::sqrt(hw * hw + hh * hh);
    if (params.lens)
        d.lensInverse.Build(params, m_lensPolynomial == 1, d.halfDiagonal + 2.0);
    m_photos.push_back(std::move(d));
}

void CCylindricalSurface::AddImages(const std::vector<int>& order, const D3Param& world,
                                    const std::vector<D3Param>& params, const std::vector<CPanoElement*>& images,
                                    const std::vector<CPanoElement*>& previews)
{
    const bool withPreviews = previews.size() == images.size();
    for (int i : order) {
        const std::size_t k = static_cast<std::size_t>(i);
        if (i < 0 || k >= images.size() || k >= params.size())
            continue;
        D3Param p = params[k];
        if (world.lens) {  // one lens for all photos
            p.lens = world.lens;
            p.k1 = world.k1;
            p.k2 = world.k2;
            p.k3 = world.k3;
        }
        AddImage(images[k], p, withPreviews ? previews[k] : nullptr);
    }
}

void CCylindricalSurface::RemoveAllImages()
{
    for (Data& d : m_photos)
        d.transformed = nullptr;
    m_photos.clear();
}

void CCylindricalSurface::Set3DOrientation(int i)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m_level[r][c] = r == c ? 1.0 : 0.0;
    if (i < 0 || static_cast<std::size_t>(i) >= m_photos.size())
        return;  // no photos: nothing to look at
    const D3Param& p = m_photos[static_cast<std::size_t>(i)].params;
    m_world.Rx = p.Rx;
    m_world.Ry = p.Ry;
    m_world.Rz = p.Rz;
}

void CCylindricalSurface::LevelOrientation()
{
    m_world.Rx = m_world.Ry = m_world.Rz = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m_level[i][j] = i == j ? 1.0 : 0.0;
    // Camera axes in world coordinates are the rows of each photo's rotation: 0 right,
    // 1 down, 2 ahead.
    std::vector<std::array<double, 9>> axes;
    double right[3][3] = {}, down[3] = {};
    for (const Data& d : m_photos) {
        const D3Param& p = d.params;
        if (!(std::isfinite(p.f) && p.f > 0.0 && std::isfinite(p.Rx) && std::isfinite(p.Ry) && std::isfinite(p.Rz)))
            continue;
        double R[3][3];
        Utils::Calc3RotateMatrix(R, p.Rx, p.Ry, p.Rz);
        axes.push_back({R[0][0], R[0][1], R[0][2], R[1][0], R[1][1], R[1][2], R[2][0], R[2][1], R[2][2]});
        for (int i = 0; i < 3; ++i) {
            down[i] += R[1][i];
            for (int j = 0; j < 3; ++j)
                right[i][j] += R[0][i] * R[0][j];
        }
    }
    if (axes.empty())
        return;
    for (auto& row : right)
        for (double& e : row)
            e /= static_cast<double>(axes.size());
    // The axis: the direction most nearly perpendicular to every camera's right vector,
    // so that a row turned about it stays one row. When the right vectors are all alike
    // (a column, or one photo) every direction across them qualifies: the cameras' mean
    // down vector is taken there.
    double value[3], vec[3][3];
    SymmetricEigen3(right, value, vec);
    double axis[3];
    constexpr double kSpread = 1e-3;  // right vectors within about 2 degrees of one line
    if (value[1] >= kSpread) {
        std::copy(vec[0], vec[0] + 3, axis);
    } else {
        const double along = Dot(down, vec[2]);
        for (int i = 0; i < 3; ++i)
            axis[i] = down[i] - along * vec[2][i];
    }
    if (!Normalise(axis))
        return;
    if (Dot(axis, down) < 0.0)
        for (double& a : axis)
            a = -a;
    // Longitude 0 first along the first photo's view, then turned to the middle of the
    // photos when they leave a hole round the axis (a row, not a closed ring), so that
    // the hole lies behind the viewer and the picture does not wrap.
    double ahead[3] = {axes[0][6], axes[0][7], axes[0][8]};
    const double a0 = Dot(ahead, axis);
    for (int i = 0; i < 3; ++i)
        ahead[i] -= a0 * axis[i];
    if (!Normalise(ahead))
        return;  // the first photo looks along the axis: no meaningful longitude
    double side[3];
    Cross(axis, ahead, side);
    std::vector<double> yaw;
    double fov = 360.0;
    for (std::size_t k = 0; k < axes.size(); ++k) {
        const double* z = axes[k].data() + 6;
        const double x = Dot(z, side), w = Dot(z, ahead);
        if (std::hypot(x, w) < 0.2)
            continue;  // looking close along the axis: no longitude of its own
        yaw.push_back(std::atan2(x, w) * kRadToDeg);
    }
    for (const Data& d : m_photos)
        if (std::isfinite(d.params.f) && d.params.f > 0.0 && d.width > 0)
            fov = std::min(fov, 2.0 * std::atan(0.5 * d.width / d.params.f) * kRadToDeg);
    double turn = 0.0;
    if (!yaw.empty()) {
        std::sort(yaw.begin(), yaw.end());
        double gap = 360.0 + yaw.front() - yaw.back(), after = yaw.back();
        for (std::size_t k = 1; k < yaw.size(); ++k)
            if (yaw[k] - yaw[k - 1] > gap) {
                gap = yaw[k] - yaw[k - 1];
                after = yaw[k - 1];
            }
        if (gap > fov)
            turn = WrapDegreesHalfOpen(after + 0.5 * gap + 180.0) * kDegToRad;
    }
    const double c = std::cos(turn), sn = std::sin(turn);
    for (int i = 0; i < 3; ++i) {
        m_level[0][i] = c * side[i] - sn * ahead[i];
        m_level[1][i] = axis[i];
        m_level[2][i] = sn * side[i] + c * ahead[i];
    }
}

void CCylindricalSurface::RotateSurfaceOn(int rx, int ry, int rz)
{
    m_world.Rx += rx;
    m_world.Ry += ry;
    m_world.Rz += rz;
}

void CCylindricalSurface::SetInterpolationMode(InterpolationMode m)
{
    m_mode = m == BilinearMode ? BilinearMode : NoInterpolationMode;
    m_interpolate = m_mode == BilinearMode ? &CCylindricalSurface::BilinearInterpolation
                                           : &CCylindricalSurface::NoInterpolation;
}

void CCylindricalSurface::SetCropFactor(const VarnoBase::Rect& r, int width)
{
    m_bCrop = true;
    m_cropRect = r;
    m_cropWidth = width;
}

CPanoElement* CCylindricalSurface::GetPano()
{
    if (m_pPano)
        m_pPano->AddRef();
    return m_pPano;
}

void CCylindricalSurface::FreePano()
{
    if (m_pPano)
        m_pPano->Release();
    m_pPano = nullptr;
}

// ---------------------------------------------------------------------------------------
// Surface-specific geometry: cylinder

double CCylindricalSurface::calc_surface_radius(double x, double /*y*/, double z) const
{
    return std::sqrt(x * x + z * z);
}

double CCylindricalSurface::calc_vertical_size(double X, double Y, double Z) const
{
    return Y / std::sqrt(X * X + Z * Z);
}

void CCylindricalSurface::norm_vertical_size(double&, double&) const {}

bool CCylindricalSurface::calc_panorama_surf_size()
{
    const double R = m_world.f;
    const double w = 2.0 * kPi * R * (m_thetaMax - m_thetaMin) / 360.0 + 0.5;
    const double h = (m_vMax - m_vMin) * R + 0.5;
    if (!(w >= 0.0 && w <= kMaxSurfaceSide && h >= 0.0 && h <= kMaxSurfaceSide))
        return false;
    m_width = static_cast<int>(w);
    m_height = static_cast<int>(h);
    m_vOffset = R * m_vMin;
    return true;
}

void CCylindricalSurface::calc_img_vert_projection_to_surf(const Data& d, double& y1, double& y2) const
{
    y1 = m_world.f * d.vMin - m_vOffset;
    y2 = m_world.f * d.vMax - m_vOffset;
}

double CCylindricalSurface::RowValue(int y) const
{
    return y / m_world.f + m_vMin;
}

double CCylindricalSurface::CalcMinSurfaseRadius(double s) const
{
    if (m_height >= m_width)
        return s * 360.0 / (2.0 * kPi * (m_thetaMax - m_thetaMin));
    return s / (m_vMax - m_vMin);
}

// ---------------------------------------------------------------------------------------
// Surface-specific geometry: sphere

double CSphericalSurface::calc_surface_radius(double x, double y, double z) const
{
    return std::sqrt(x * x + y * y + z * z);
}

double CSphericalSurface::calc_vertical_size(double X, double Y, double Z) const
{
    return std::atan2(Y, std::sqrt(X * X + Z * Z));
}

void CSphericalSurface::norm_vertical_size(double& a, double& b) const
{
    a = WrapDegreesHalfOpen(a * kRadToDeg);
    b = WrapDegreesHalfOpen(b * kRadToDeg);
}

bool CSphericalSurface::calc_panorama_surf_size()
{
    const double R = m_world.f;
    const double w = 2.0 * kPi * R * (m_thetaMax - m_thetaMin) / 360.0 + 0.5;
    const double h = 2.0 * kPi * R * (m_vMax - m_vMin) / 360.0 + 0.5;
    if (!(w >= 0.0 && w <= kMaxSurfaceSide && h >= 0.0 && h <= kMaxSurfaceSide))
        return false;
    m_width = static_cast<int>(w);
    m_height = static_cast<int>(h);
    return true;
}

void CSphericalSurface::calc_img_vert_projection_to_surf(const Data& d, double& y1, double& y2) const
{
    y1 = kPi * m_world.f * (d.vMin - m_vMin) / 180.0;
    y2 = kPi * m_world.f * (d.vMax - m_vMin) / 180.0;
}

double CSphericalSurface::RowValue(int y) const
{
    return std::tan((m_vMin + y * 180.0 / (kPi * m_world.f)) * kDegToRad);
}

double CSphericalSurface::CalcMinSurfaseRadius(double s) const
{
    if (m_height >= m_width)
        return s * 360.0 / (2.0 * kPi * (m_thetaMax - m_thetaMin));
    return s * 360.0 / (2.0 * kPi * (m_vMax - m_vMin));
}

// ---------------------------------------------------------------------------------------
// Geometry preparation

void CCylindricalSurface::Rotation(double Rs[3][3]) const
{
    double Rw[3][3];
    Utils::Calc3RotateMatrix(Rw, m_world.Rx, m_world.Ry, m_world.Rz);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            Rs[i][j] = Rw[i][0] * m_level[0][j] + Rw[i][1] * m_level[1][j] + Rw[i][2] * m_level[2][j];
}

void CCylindricalSurface::CalcProjectMatrices()
{
    double Rs[3][3];
    Rotation(Rs);
    for (Data& d : m_photos) {
        const double f = d.params.f;
        d.usable = std::isfinite(f) && f > 0.0 && std::isfinite(d.params.Rx) && std::isfinite(d.params.Ry) &&
                   std::isfinite(d.params.Rz) && d.width > 0 && d.height > 0;
        double Ri[3][3];
        Utils::Calc3RotateMatrix(Ri, d.params.Rx, d.params.Ry, d.params.Rz);
        const double invf = 1.0 / f;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                // (Rs Ri^T)_ij and (Ri Rs^T)_ij
                const double a = Rs[i][0] * Ri[j][0] + Rs[i][1] * Ri[j][1] + Rs[i][2] * Ri[j][2];
                const double b = Ri[i][0] * Rs[j][0] + Ri[i][1] * Rs[j][1] + Ri[i][2] * Rs[j][2];
                d.M1[i][j] = a * (j < 2 ? invf : 1.0);
                d.M2[i][j] = b * (i < 2 ? f : 1.0);
            }
        }
        d.usable = d.usable && FiniteMatrix(d.M1) && FiniteMatrix(d.M2);
    }
}

void CCylindricalSurface::SetSurfaceRadius()
{
    double R = 0.0;
    for (const Data& d : m_photos) {
        if (!d.usable)
            continue;
        const double f = d.params.f;
        R = std::max(R, calc_surface_radius(f * d.M1[0][2], f * d.M1[1][2], f * d.M1[2][2]));
    }
    m_world.f = R;
}

bool CCylindricalSurface::CalcImgAngularSizes()
{
    m_thetaMin = m_vMin = DBL_MAX;
    m_thetaMax = m_vMax = -DBL_MAX;
    bool any = false;
    for (Data& d : m_photos) {
        if (!d.usable)
            continue;
        const double hw = d.width * 0.5, hh = d.height * 0.5;
        const double pts[16][2] = {{-hw, -hh},     {-hw / 2, -hh}, {0, -hh},     {hw / 2, -hh}, {hw, -hh},
                                   {-hw, -hh / 2}, {-hw, 0},       {hw, -hh / 2}, {hw, 0},      {-hw, hh / 2},
                                   {hw, hh / 2},   {-hw, hh},      {-hw / 2, hh}, {0, hh},      {hw / 2, hh},
                                   {hw, hh}};
        double tMin = DBL_MAX, tMax = -DBL_MAX, vMin = DBL_MAX, vMax = -DBL_MAX;
        bool finite = true;
        for (const auto& q : pts) {
            double x = q[0], y = q[1];
            if (d.params.lens) {
                const double l = LensDistortion(std::sqrt(x * x + y * y), d.params, m_lensPolynomial);
                x *= l;
                y *= l;
            }
            const double X = d.M1[0][0] * x + d.M1[0][1] * y + d.M1[0][2];
            const double Y = d.M1[1][0] * x + d.M1[1][1] * y + d.M1[1][2];
            const double Z = d.M1[2][0] * x + d.M1[2][1] * y + d.M1[2][2];
            const double theta = std::atan2(X, Z);
            const double v = calc_vertical_size(X, Y, Z);
            finite = finite && std::isfinite(theta) && std::isfinite(v);
            tMin = std::min(tMin, theta);
            tMax = std::max(tMax, theta);
            vMin = std::min(vMin, v);
            vMax = std::max(vMax, v);
        }
        if (!finite)
            return false;  // a border ray along the cylinder's axis: no finite picture
        if (tMax - tMin > kPi) {
            // Border points on both sides of +-180 degrees: the photo straddles the back
            // of the surface (or holds a pole), and its rectangle is the whole width.
            d.thetaMin = -180.0;
            d.thetaMax = 180.0;
        } else {
            // atan2 already lies in [-180, 180]; a maximum of exactly 180 stays 180
            // instead of wrapping below the photo's own minimum.
            d.thetaMin = WrapDegreesHalfOpen(tMin * kRadToDeg);
            d.thetaMax = tMax * kRadToDeg;
        }
        norm_vertical_size(vMin, vMax);
        d.vMin = vMin;
        d.vMax = vMax;
        m_thetaMin = std::min(m_thetaMin, d.thetaMin);
        m_thetaMax = std::max(m_thetaMax, d.thetaMax);
        m_vMin = std::min(m_vMin, d.vMin);
        m_vMax = std::max(m_vMax, d.vMax);
        any = true;
    }
    if (!any || !(m_world.f > 0.0) || !std::isfinite(m_world.f))
        return false;
    if (!calc_panorama_surf_size())
        return false;
    const double scale = kPi * m_world.f / 180.0;
    for (Data& d : m_photos) {
        if (!d.usable) {
            d.rect = VarnoBase::Rect();
            continue;
        }
        const double x1 = (d.thetaMin - m_thetaMin) * scale, x2 = (d.thetaMax - m_thetaMin) * scale;
        double y1 = 0.0, y2 = 0.0;
        calc_img_vert_projection_to_surf(d, y1, y2);
        // Clamp in double before converting, so no value outside int reaches the cast.
        const double l = std::clamp(std::floor(std::min(x1, x2)), 0.0, static_cast<double>(m_width));
        const double t = std::clamp(std::floor(std::min(y1, y2)), 0.0, static_cast<double>(m_height));
        const double r = std::clamp(std::ceil(std::max(x1, x2)), 0.0, static_cast<double>(m_width));
        const double b = std::clamp(std::ceil(std::max(y1, y2)), 0.0, static_cast<double>(m_height));
        if (!(std::isfinite(x1) && std::isfinite(x2) && std::isfinite(y1) && std::isfinite(y2)))
            return false;
        d.rect = VarnoBase::Rect(static_cast<int>(l), static_cast<int>(t), static_cast<int>(r), static_cast<int>(b));
    }
    return true;
}

bool CCylindricalSurface::SetRadiusForScale(double percent)
{
    if (percent == 100.0)
        return true;
    const double wanted = percent * m_world.f / 100.0;
    const double minimum = CalcMinSurfaseRadius(480.0);
    double radius = wanted;
    if (std::isfinite(minimum) && minimum > wanted)
        radius = minimum;
    if (!(radius > 0.0) || !std::isfinite(radius))
        return false;
    if (radius != m_world.f) {
        m_world.f = radius;
        if (!CalcImgAngularSizes())
            return false;
        m_bOriginal = false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Rays and pixels

void CCylindricalSurface::BuildRayTables()
{
    const VarnoBase::Rect& r = m_renderRect;
    const std::size_t w = static_cast<std::size_t>(std::max(r.width(), 0));
    const std::size_t h = static_cast<std::size_t>(std::max(r.height(), 0));
    m_sinTable.resize(w);
    m_cosTable.resize(w);
    m_rowTable.resize(h);
    for (std::size_t i = 0; i < w; ++i) {
        const double theta = (m_thetaMin + (r.left + static_cast<double>(i)) * 180.0 / (kPi * m_world.f)) * kDegToRad;
        m_sinTable[i] = std::sin(theta);
        m_cosTable[i] = std::cos(theta);
    }
    for (std::size_t j = 0; j < h; ++j)
        m_rowTable[j] = RowValue(r.top + static_cast<int>(j));
}

void CCylindricalSurface::FreeRayTables()
{
    m_sinTable = {};
    m_cosTable = {};
    m_rowTable = {};
}

void CCylindricalSurface::CalcTraceRay(int x, int y, double* s, double* t, double* c)
{
    if (m_sinTable.empty() && m_rowTable.empty())
        BuildRayTables();
    const std::size_t i = static_cast<std::size_t>(static_cast<std::int64_t>(x) - m_renderRect.left);
    const std::size_t j = static_cast<std::size_t>(static_cast<std::int64_t>(y) - m_renderRect.top);
    if (i >= m_sinTable.size() || j >= m_rowTable.size()) {
        *s = *t = *c = 0.0;  // outside the render rectangle: a ray that sees nothing
        return;
    }
    *s = m_sinTable[i];
    *t = m_rowTable[j];
    *c = m_cosTable[i];
}

bool CCylindricalSurface::NoInterpolation(InterpolationData& d)
{
    if (!d.image)
        return false;
    const int Wi = d.image->GetWidth(), Hi = d.image->GetHeight();
    // The range is checked on the real coordinate, so that nothing outside [0, W - 1)
    // reaches the integer conversion.
    if (!(d.x >= 0.0 && d.y >= 0.0 && d.x < Wi - 1 && d.y < Hi - 1))
        return false;
    const int ix = static_cast<int>(d.x), iy = static_cast<int>(d.y);
    const CPanoElement* src = d.image;
    std::int64_t sx = ix, sy = iy;
    if (!d.image->HasBits() && d.preview && d.preview->HasBits()) {
        src = d.preview;
        sx = static_cast<std::int64_t>(ix) * d.preview->GetWidth() / Wi;
        sy = static_cast<std::int64_t>(iy) * d.preview->GetHeight() / Hi;
    } else if (!d.image->HasBits()) {
        if (!m_bMayUnloadPhotos)
            return false;
        d.image->Load();
        if (!d.image->HasBits())
            return false;
    }
    if (src->GetBPP() != 24)
        return false;
    const unsigned char* p = src->GetBits() + sy * src->GetBPL() + sx * 3;
    d.c0 = p[2];
    d.c1 = p[1];
    d.c2 = p[0];
    return true;
}

bool CCylindricalSurface::BilinearInterpolation(InterpolationData& d)
{
    if (!d.image)
        return false;
    const int W = d.image->GetWidth(), H = d.image->GetHeight();
    if (!(d.x >= 0.0 && d.y >= 0.0 && d.x < W - 1 && d.y < H - 1))
        return false;
    if (!d.image->HasBits()) {
        if (!m_bMayUnloadPhotos)
            return false;
        d.image->Load();
        if (!d.image->HasBits())
            return false;
    }
    if (d.image->GetBPP() != 24)
        return false;
    const int ix = static_cast<int>(d.x), iy = static_cast<int>(d.y);
    const double fx = d.x - ix, fy = d.y - iy;
    const std::int64_t bpl = d.image->GetBPL();
    const unsigned char* p = d.image->GetBits() + iy * bpl + static_cast<std::int64_t>(ix) * 3;
    unsigned char out[3];
    for (int k = 0; k < 3; ++k)
        out[k] = BilinearByte(p, bpl, k, fx, fy);
    d.c0 = out[2];
    d.c1 = out[1];
    d.c2 = out[0];
    return true;
}

void CCylindricalSurface::TransformPixel(const Data& d, int x, int y, unsigned char* rgb, unsigned char* alpha,
                                         unsigned short* weight)
{
    double s, t, c;
    CalcTraceRay(x, y, &s, &t, &c);
    const double a = (d.M2[0][0] * s + d.M2[0][2] * c) + d.M2[0][1] * t;
    const double b = (d.M2[1][0] * s + d.M2[1][2] * c) + d.M2[1][1] * t;
    const double w = (d.M2[2][0] * s + d.M2[2][2] * c) + d.M2[2][1] * t;
    if (!(w > 0.0))
        return;
    double u = a / w, v = b / w;
    const int hw = d.width / 2, hh = d.height / 2;
    if (d.params.lens && d.lensInverse.Covers(m_lensPolynomial == 1, u * u + v * v)) {
        d.lensInverse.Apply(u * u + v * v, u, v);
    } else if (d.params.lens) {
        double ul, vl;
        const bool inverted = m_lensPolynomial == 1 ? InvLensDistortion24(&ul, &vl, u, v, d.params)
                                                    : InvLensDistortion23(&ul, &vl, u, v, d.params);
        if (inverted) {
            u = ul;
            v = vl;
        } else {
            u = -100.0 - hw;
        }
    }
    InterpolationData id;
    id.x = hw + u;
    id.y = hh + v;
    id.image = d.image.get();
    id.preview = d.preview.get();
    if (!(this->*m_interpolate)(id))
        return;
    rgb[0] = id.c2;
    rgb[1] = id.c1;
    rgb[2] = id.c0;
    if (alpha)
        *alpha = 255;
    if (weight)
        *weight = Calc_Weight(std::fabs(u) / hw, std::fabs(v) / hh);
}
