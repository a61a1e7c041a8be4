// svdsolve: Golub-Reinsch singular value decomposition in its classic compact form
// (Householder bidiagonalisation, accumulation of U in place of the design matrix and
// of V, implicitly shifted QR sweeps; Golub & Reinsch 1970, as in Numerical Recipes'
// svdcmp), then x = V diag(1/w) U^T b over the singular values above
// wmax * n * machineepsilon. The 3x3 and 4x4 inverses are closed-form adjugates.
#include "core/linalg.h"

#include <cmath>
#include <vector>

namespace {

inline double signOf(double a, double b) noexcept { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); }

// 1-based view of a template_2d_array's storage, checked once against the extent used.
class Matrix1 {
public:
    Matrix1(ap::template_2d_array<double>& a, int rows, int cols)
    {
        ap::ap_error::make_assertion(a.getlowbound(1) <= 1 && a.gethighbound(1) >= rows && a.getlowbound(2) <= 1 &&
                                     a.gethighbound(2) >= cols);
        m_base = &a(1, 1);
        m_row = static_cast<std::ptrdiff_t>(a.gethighbound(2)) - a.getlowbound(2) + 1;
    }
    double& operator()(int i, int j) const noexcept { return m_base[(i - 1) * m_row + (j - 1)]; }

private:
    double* m_base = nullptr;
    std::ptrdiff_t m_row = 0;
};

// Decomposes columns 1..n of a (rows 1..m) as U diag(w) V^T; U replaces those columns.
// w and rv1 are 1-based with n + 1 slots, v is n x n 1-based (row-major, (n + 1)^2 slots).
void svdDecompose(const Matrix1& a, int m, int n, std::vector<double>& w, std::vector<double>& v,
                  std::vector<double>& rv1)
{
    auto V = [&](int i, int j) -> double& { return v[static_cast<std::size_t>(i) * (n + 1) + j]; };
    double g = 0.0, scale = 0.0, anorm = 0.0;
    int l = 1;

    // Householder reduction to bidiagonal form.
    for (int i = 1; i <= n; ++i) {
        l = i + 1;
        rv1[i] = scale * g;
        g = 0.0;
        double s = 0.0;
        scale = 0.0;
        if (i <= m) {
            for (int k = i; k <= m; ++k)
                scale += std::fabs(a(k, i));
            if (scale != 0.0) {
                for (int k = i; k <= m; ++k) {
                    a(k, i) /= scale;
                    s += a(k, i) * a(k, i);
                }
                const double f = a(i, i);
                g = -signOf(std::sqrt(s), f);
                const double h = f * g - s;
                a(i, i) = f - g;
                for (int j = l; j <= n; ++j) {
                    double sum = 0.0;
                    for (int k = i; k <= m; ++k)
                        sum += a(k, i) * a(k, j);
                    const double fk = sum / h;
                    for (int k = i; k <= m; ++k)
                        a(k, j) += fk * a(k, i);
                }
                for (int k = i; k <= m; ++k)
                    a(k, i) *= scale;
            }
        }
        w[i] = scale * g;
        g = 0.0;
        s = 0.0;
        scale = 0.0;
        if (i <= m && i != n) {
            for (int k = l; k <= n; ++k)
                scale += std::fabs(a(i, k));
            if (scale != 0.0) {
                for (int k = l; k <= n; ++k) {
                    a(i, k) /= scale;
                    s += a(i, k) * a(i, k);
                }
                const double f = a(i, l);
                g = -signOf(std::sqrt(s), f);
                const double h = f * g - s;
                a(i, l) = f - g;
                for (int k = l; k <= n; ++k)
                    rv1[k] = a(i, k) / h;
                for (int j = l; j <= m; ++j) {
                    double sum = 0.0;
                    for (int k = l; k <= n; ++k)
                        sum += a(j, k) * a(i, k);
                    for (int k = l; k <= n; ++k)
                        a(j, k) += sum * rv1[k];
                }
                for (int k = l; k <= n; ++k)
                    a(i, k) *= scale;
            }
        }
        anorm = std::max(anorm, std::fabs(w[i]) + std::fabs(rv1[i]));
    }

    // Accumulation of the right-hand transformations into V.
    for (int i = n; i >= 1; --i) {
        if (i < n) {
            if (g != 0.0) {
                for (int j = l; j <= n; ++j)  // double division avoids a possible underflow
                    V(j, i) = (a(i, j) / a(i, l)) / g;
                for (int j = l; j <= n; ++j) {
                    double s = 0.0;
                    for (int k = l; k <= n; ++k)
                        s += a(i, k) * V(k, j);
                    for (int k = l; k <= n; ++k)
                        V(k, j) += s * V(k, i);
                }
            }
            for (int j = l; j <= n; ++j)
                V(i, j) = V(j, i) = 0.0;
        }
        V(i, i) = 1.0;
        g = rv1[i];
        l = i;
    }

    // Accumulation of the left-hand transformations into U (columns 1..n of a).
    for (int i = std::min(m, n); i >= 1; --i) {
        l = i + 1;
        g = w[i];
        for (int j = l; j <= n; ++j)
            a(i, j) = 0.0;
        if (g != 0.0) {
            g = 1.0 / g;
            for (int j = l; j <= n; ++j) {
                double s = 0.0;
                for (int k = l; k <= m; ++k)
                    s += a(k, i) * a(k, j);
                const double f = (s / a(i, i)) * g;
                for (int k = i; k <= m; ++k)
                    a(k, j) += f * a(k, i);
            }
            for (int j = i; j <= m; ++j)
                a(j, i) *= g;
        } else {
            for (int j = i; j <= m; ++j)
                a(j, i) = 0.0;
        }
        a(i, i) += 1.0;
    }

    // Diagonalisation of the bidiagonal form.
    constexpr int kMaxSweeps = 30;
    for (int k = n; k >= 1; --k) {
        for (int its = 1; its <= kMaxSweeps; ++its) {
            bool cancel = true;
            int nm = 0;
            for (l = k; l >= 1; --l) {
                nm = l - 1;
                // rv1[1] is always zero; testing l == 1 explicitly keeps a NaN norm
                // from walking off the start.
                if (l == 1 || std::fabs(rv1[l]) + anorm == anorm) {
                    cancel = false;
                    break;
                }
                if (std::fabs(w[nm]) + anorm == anorm)
                    break;
            }
            if (cancel) {  // w[nm] is negligible: cancel rv1[l]
                double c = 0.0, s = 1.0;
                for (int i = l; i <= k; ++i) {
                    const double f = s * rv1[i];
                    rv1[i] = c * rv1[i];
                    if (std::fabs(f) + anorm == anorm)
                        break;
                    g = w[i];
                    double h = pythag(f, g);
                    w[i] = h;
                    h = 1.0 / h;
                    c = g * h;
                    s = -f * h;
                    for (int j = 1; j <= m; ++j) {
                        const double y = a(j, nm);
                        const double z = a(j, i);
                        a(j, nm) = y * c + z * s;
                        a(j, i) = z * c - y * s;
                    }
                }
            }
            double z = w[k];
            if (l == k) {  // converged
                if (z < 0.0) {
                    w[k] = -z;
                    for (int j = 1; j <= n; ++j)
                        V(j, k) = -V(j, k);
                }
                break;
            }
            // Shift from the bottom 2x2 minor, then one implicit QR sweep.
            double x = w[l];
            nm = k - 1;
            double y = w[nm];
            g = rv1[nm];
            double h = rv1[k];
            double f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2.0 * h * y);
            g = pythag(f, 1.0);
            f = ((x - z) * (x + z) + h * ((y / (f + signOf(g, f))) - h)) / x;
            double c = 1.0, s = 1.0;
            for (int j = l; j <= nm; ++j) {
                const int i = j + 1;
                g = rv1[i];
                y = w[i];
                h = s * g;
                g = c * g;
                z = pythag(f, h);
                rv1[j] = z;
                c = f / z;
                s = h / z;
                f = x * c + g * s;
                g = g * c - x * s;
                h = y * s;
                y *= c;
                for (int jj = 1; jj <= n; ++jj) {
                    const double vx = V(jj, j);
                    const double vz = V(jj, i);
                    V(jj, j) = vx * c + vz * s;
                    V(jj, i) = vz * c - vx * s;
                }
                z = pythag(f, h);
                w[j] = z;
                if (z != 0.0) {
                    z = 1.0 / z;
                    c = f * z;
                    s = h * z;
                }
                f = c * g + s * y;
                x = c * y - s * g;
                for (int jj = 1; jj <= m; ++jj) {
                    const double ay = a(jj, j);
                    const double az = a(jj, i);
                    a(jj, j) = ay * c + az * s;
                    a(jj, i) = az * c - ay * s;
                }
            }
            rv1[l] = 0.0;
            rv1[k] = f;
            w[k] = x;
        }
    }
}

}  // namespace

double pythag(double a, double b) noexcept
{
    const double absa = std::fabs(a);
    const double absb = std::fabs(b);
    if (absb > absa) {
        const double r = absa / absb;
        return absb * std::sqrt(1.0 + r * r);
    }
    if (absa == 0.0)
        return 0.0;
    const double r = absb / absa;
    return absa * std::sqrt(1.0 + r * r);
}

bool svdsolve(ap::template_2d_array<double>& a, int m, int n, ap::template_1d_array<double>& x)
{
    x.setbounds(1, n);  // throws on n < 0
    if (n == 0)
        return true;
    for (int j = 1; j <= n; ++j)
        x(j) = 0.0;
    if (m <= 0)
        return false;

    const Matrix1 A(a, m, n + 1);
    // A non-finite system has no meaningful solution; answer x = 0 rather than let NaN
    // travel into a transform.
    for (int i = 1; i <= m; ++i)
        for (int j = 1; j <= n + 1; ++j)
            if (!std::isfinite(A(i, j)))
                return false;

    // The three work arrays of the decomposition (1-based: slot 0 unused).
    std::vector<double> w(static_cast<std::size_t>(n) + 1, 0.0), rv1(static_cast<std::size_t>(n) + 1, 0.0);
    std::vector<double> v((static_cast<std::size_t>(n) + 1) * (static_cast<std::size_t>(n) + 1), 0.0);
    svdDecompose(A, m, n, w, v, rv1);
    auto V = [&](int i, int j) -> double& { return v[static_cast<std::size_t>(i) * (n + 1) + j]; };

    double wmax = 0.0;
    for (int j = 1; j <= n; ++j)
        wmax = std::max(wmax, std::fabs(w[j]));
    const double tol = wmax * n * ap::machineepsilon;

    // U^T b, kept in rv1 (no longer needed); a dropped singular value's term is zeroed
    // so the product below leaves it out.
    std::vector<double>& utb = rv1;
    bool result = true;
    for (int j = 1; j <= n; ++j) {
        double s = 0.0;
        for (int i = 1; i <= m; ++i)
            s += A(i, j) * A(i, n + 1);
        if (std::fabs(w[j]) > tol) {
            for (int i = 1; i <= n; ++i)
                V(i, j) /= w[j];
            utb[j] = s;
        } else {
            utb[j] = 0.0;
            result = false;
        }
    }
    for (int i = 1; i <= n; ++i) {
        double s = 0.0;
        for (int j = 1; j <= n; ++j)
            s += V(i, j) * utb[j];
        x(i) = s;
    }
    return result;
}

bool C4x1_is_pinvA4x4_x_B4x1(double out[4], double inverse[16], const double a[16], const double b[4]) noexcept
{
    // 2x2 minors of the top two rows (s) and of the bottom two rows (c).
    const double s0 = a[0] * a[5] - a[4] * a[1];
    const double s1 = a[0] * a[6] - a[4] * a[2];
    const double s2 = a[0] * a[7] - a[4] * a[3];
    const double s3 = a[1] * a[6] - a[5] * a[2];
    const double s4 = a[1] * a[7] - a[5] * a[3];
    const double s5 = a[2] * a[7] - a[6] * a[3];
    const double c5 = a[10] * a[15] - a[14] * a[11];
    const double c4 = a[9] * a[15] - a[13] * a[11];
    const double c3 = a[9] * a[14] - a[13] * a[10];
    const double c2 = a[8] * a[15] - a[12] * a[11];
    const double c1 = a[8] * a[14] - a[12] * a[10];
    const double c0 = a[8] * a[13] - a[12] * a[9];
    const double det = s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
    const double d = 1.0 / det;

    const double i0 = (a[5] * c5 - a[6] * c4 + a[7] * c3) * d;
    const double i1 = (-a[1] * c5 + a[2] * c4 - a[3] * c3) * d;
    const double i2 = (a[13] * s5 - a[14] * s4 + a[15] * s3) * d;
    const double i3 = (-a[9] * s5 + a[10] * s4 - a[11] * s3) * d;
    const double i4 = (-a[4] * c5 + a[6] * c2 - a[7] * c1) * d;
    const double i5 = (a[0] * c5 - a[2] * c2 + a[3] * c1) * d;
    const double i6 = (-a[12] * s5 + a[14] * s2 - a[15] * s1) * d;
    const double i7 = (a[8] * s5 - a[10] * s2 + a[11] * s1) * d;
    const double i8 = (a[4] * c4 - a[5] * c2 + a[7] * c0) * d;
    const double i9 = (-a[0] * c4 + a[1] * c2 - a[3] * c0) * d;
    const double i10 = (a[12] * s4 - a[13] * s2 + a[15] * s0) * d;
    const double i11 = (-a[8] * s4 + a[9] * s2 - a[11] * s0) * d;
    const double i12 = (-a[4] * c3 + a[5] * c1 - a[6] * c0) * d;
    const double i13 = (a[0] * c3 - a[1] * c1 + a[2] * c0) * d;
    const double i14 = (-a[12] * s3 + a[13] * s1 - a[14] * s0) * d;
    const double i15 = (a[8] * s3 - a[9] * s1 + a[10] * s0) * d;

    const double b0 = b[0], b1 = b[1], b2 = b[2], b3 = b[3];
    const double o0 = i0 * b0 + i1 * b1 + i2 * b2 + i3 * b3;
    const double o1 = i4 * b0 + i5 * b1 + i6 * b2 + i7 * b3;
    const double o2 = i8 * b0 + i9 * b1 + i10 * b2 + i11 * b3;
    const double o3 = i12 * b0 + i13 * b1 + i14 * b2 + i15 * b3;

    // A finite sum of finite products: checking the results covers every element.
    const bool ok = det != 0.0 && std::isfinite(d) && std::isfinite(i0) && std::isfinite(i1) &&
                    std::isfinite(i2) && std::isfinite(i3) && std::isfinite(i4) && std::isfinite(i5) &&
                    std::isfinite(i6) && std::isfinite(i7) && std::isfinite(i8) && std::isfinite(i9) &&
                    std::isfinite(i10) && std::isfinite(i11) && std::isfinite(i12) && std::isfinite(i13) &&
                    std::isfinite(i14) && std::isfinite(i15) && std::isfinite(o0) && std::isfinite(o1) &&
                    std::isfinite(o2) && std::isfinite(o3);
    // Select rather than multiply by 0, which would keep a NaN.
    inverse[0] = ok ? i0 : 0.0;
    inverse[1] = ok ? i1 : 0.0;
    inverse[2] = ok ? i2 : 0.0;
    inverse[3] = ok ? i3 : 0.0;
    inverse[4] = ok ? i4 : 0.0;
    inverse[5] = ok ? i5 : 0.0;
    inverse[6] = ok ? i6 : 0.0;
    inverse[7] = ok ? i7 : 0.0;
    inverse[8] = ok ? i8 : 0.0;
    inverse[9] = ok ? i9 : 0.0;
    inverse[10] = ok ? i10 : 0.0;
    inverse[11] = ok ? i11 : 0.0;
    inverse[12] = ok ? i12 : 0.0;
    inverse[13] = ok ? i13 : 0.0;
    inverse[14] = ok ? i14 : 0.0;
    inverse[15] = ok ? i15 : 0.0;
    out[0] = ok ? o0 : 0.0;
    out[1] = ok ? o1 : 0.0;
    out[2] = ok ? o2 : 0.0;
    out[3] = ok ? o3 : 0.0;
    return ok;
}

namespace Utils {

bool pinv3x3(double out[3][3], const double in[3][3]) noexcept
{
    const double m00 = in[0][0], m01 = in[0][1], m02 = in[0][2];
    const double m10 = in[1][0], m11 = in[1][1], m12 = in[1][2];
    const double m20 = in[2][0], m21 = in[2][1], m22 = in[2][2];
    const double c00 = m11 * m22 - m12 * m21;
    const double c01 = m12 * m20 - m10 * m22;
    const double c02 = m10 * m21 - m11 * m20;
    const double det = m00 * c00 + m01 * c01 + m02 * c02;
    const double d = 1.0 / det;
    const double r00 = c00 * d;
    const double r01 = (m02 * m21 - m01 * m22) * d;
    const double r02 = (m01 * m12 - m02 * m11) * d;
    const double r10 = c01 * d;
    const double r11 = (m00 * m22 - m02 * m20) * d;
    const double r12 = (m02 * m10 - m00 * m12) * d;
    const double r20 = c02 * d;
    const double r21 = (m01 * m20 - m00 * m21) * d;
    const double r22 = (m00 * m11 - m01 * m10) * d;
    const bool ok = det != 0.0 && std::isfinite(d) && std::isfinite(r00) && std::isfinite(r01) &&
                    std::isfinite(r02) && std::isfinite(r10) && std::isfinite(r11) && std::isfinite(r12) &&
                    std::isfinite(r20) && std::isfinite(r21) && std::isfinite(r22);
    out[0][0] = ok ? r00 : 0.0;
    out[0][1] = ok ? r01 : 0.0;
    out[0][2] = ok ? r02 : 0.0;
    out[1][0] = ok ? r10 : 0.0;
    out[1][1] = ok ? r11 : 0.0;
    out[1][2] = ok ? r12 : 0.0;
    out[2][0] = ok ? r20 : 0.0;
    out[2][1] = ok ? r21 : 0.0;
    out[2][2] = ok ? r22 : 0.0;
    return ok;
}

void copy_matrix_3x3(double dst[3][3], const double src[3][3]) noexcept
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            dst[i][j] = src[i][j];
}

bool IsFiniteMatrix3x3(const double m[3][3]) noexcept
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (!std::isfinite(m[i][j]))
                return false;
    return true;
}

void Calc3RotateMatrix(double R[3][3], double ax, double ay, double az) noexcept
{
    constexpr double kPi = 3.141592653589793;
    const double x = ax * kPi / 180.0, y = ay * kPi / 180.0, z = az * kPi / 180.0;
    const double cx = std::cos(x), sx = std::sin(x);
    const double cy = std::cos(y), sy = std::sin(y);
    const double cz = std::cos(z), sz = std::sin(z);
    const double rx[3][3] = {{1, 0, 0}, {0, cx, sx}, {0, -sx, cx}};
    const double ry[3][3] = {{cy, 0, -sy}, {0, 1, 0}, {sy, 0, cy}};
    const double rz[3][3] = {{cz, sz, 0}, {-sz, cz, 0}, {0, 0, 1}};
    double zx[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            zx[i][j] = rz[i][0] * rx[0][j] + rz[i][1] * rx[1][j] + rz[i][2] * rx[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            R[i][j] = zx[i][0] * ry[0][j] + zx[i][1] * ry[1][j] + zx[i][2] * ry[2][j];
}

}  // namespace Utils
