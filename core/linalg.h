// Small linear algebra of the engines: bounds-checked arrays with inclusive (usually
// 1-based) bounds, the SVD least-squares solver, closed-form 3x3 and 4x4 inverses and
// rotation matrices from three angles.
//
// 3x3 transforms are row-major double[3][3]; a point (x, y) maps to
// (m[0][0]x + m[0][1]y + m[0][2], m[1][0]x + m[1][1]y + m[1][2]).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

namespace ap {

// Thrown by value on an out-of-bounds element access or an impossible bound pair.
class ap_error {
public:
    static void make_assertion(bool condition)
    {
        if (!condition)
            throw ap_error();
    }
};

// Tolerance unit of svdsolve's singular-value cut-off.
inline constexpr double machineepsilon = 5e-16;

// Vector with inclusive bounds lo..hi; element i lives at storage index i - lo.
// A new array has no storage and all bounds zero.
template <class T>
class template_1d_array {
public:
    template_1d_array() noexcept = default;
    template_1d_array(const template_1d_array& src) { *this = src; }
    template_1d_array(template_1d_array&& src) noexcept { swap(src); }
    ~template_1d_array() = default;

    // Copies count, bounds and (when the source has storage) the elements.
    template_1d_array& operator=(const template_1d_array& src)
    {
        if (this == &src)
            return *this;
        std::unique_ptr<T[]> copy;
        if (src.m_Vec) {
            copy = std::make_unique<T[]>(static_cast<std::size_t>(src.m_iVecSize));
            std::copy(src.m_Vec.get(), src.m_Vec.get() + src.m_iVecSize, copy.get());
        }
        m_Vec = std::move(copy);
        m_iVecSize = src.m_iVecSize;
        m_iLow = src.m_iLow;
        m_iHigh = src.m_iHigh;
        return *this;
    }
    template_1d_array& operator=(template_1d_array&& src) noexcept
    {
        template_1d_array tmp(std::move(src));
        swap(tmp);
        return *this;
    }

    // Discards the old storage and allocates hi - lo + 1 elements (zero-filled).
    // hi = lo - 1 gives an empty array; hi < lo - 1 throws ap_error.
    void setbounds(int lo, int hi)
    {
        const std::int64_t count = static_cast<std::int64_t>(hi) - lo + 1;
        ap_error::make_assertion(count >= 0);
        m_Vec.reset();
        m_iVecSize = m_iLow = m_iHigh = 0;
        if (count > 0)
            m_Vec = std::make_unique<T[]>(static_cast<std::size_t>(count));
        m_iVecSize = static_cast<int>(count);
        m_iLow = lo;
        m_iHigh = hi;
    }

    T& operator()(int i)
    {
        ap_error::make_assertion(i >= m_iLow && i <= m_iHigh && m_Vec);
        return m_Vec[static_cast<std::size_t>(static_cast<std::int64_t>(i) - m_iLow)];
    }
    const T& operator()(int i) const
    {
        ap_error::make_assertion(i >= m_iLow && i <= m_iHigh && m_Vec);
        return m_Vec[static_cast<std::size_t>(static_cast<std::int64_t>(i) - m_iLow)];
    }
    T& operator[](int i) { return (*this)(i); }
    const T& operator[](int i) const { return (*this)(i); }

    int getlowbound() const noexcept { return m_iLow; }
    int gethighbound() const noexcept { return m_iHigh; }
    int size() const noexcept { return m_iVecSize; }
    T* getcontent() noexcept { return m_Vec.get(); }
    const T* getcontent() const noexcept { return m_Vec.get(); }

    void swap(template_1d_array& o) noexcept
    {
        std::swap(m_Vec, o.m_Vec);
        std::swap(m_iVecSize, o.m_iVecSize);
        std::swap(m_iLow, o.m_iLow);
        std::swap(m_iHigh, o.m_iHigh);
    }

private:
    std::unique_ptr<T[]> m_Vec;
    int m_iVecSize = 0;
    int m_iLow = 0;
    int m_iHigh = 0;
};

// Row-major matrix with inclusive bounds r1..r2 (rows) and c1..c2 (columns); element
// (i, j) lives at storage index j + constant offset + i * row length.
template <class T>
class template_2d_array {
public:
    template_2d_array() noexcept = default;
    template_2d_array(const template_2d_array& src) { *this = src; }
    template_2d_array(template_2d_array&& src) noexcept { swap(src); }
    ~template_2d_array() = default;

    template_2d_array& operator=(const template_2d_array& src)
    {
        if (this == &src)
            return *this;
        std::unique_ptr<T[]> copy;
        if (src.m_Vec) {
            copy = std::make_unique<T[]>(static_cast<std::size_t>(src.m_iVecSize));
            std::copy(src.m_Vec.get(), src.m_Vec.get() + src.m_iVecSize, copy.get());
        }
        m_Vec = std::move(copy);
        m_iVecSize = src.m_iVecSize;
        m_iLow1 = src.m_iLow1;
        m_iLow2 = src.m_iLow2;
        m_iHigh1 = src.m_iHigh1;
        m_iHigh2 = src.m_iHigh2;
        m_iConstOffset = src.m_iConstOffset;
        m_iLinearMember = src.m_iLinearMember;
        return *this;
    }
    template_2d_array& operator=(template_2d_array&& src) noexcept
    {
        template_2d_array tmp(std::move(src));
        swap(tmp);
        return *this;
    }

    // Discards the old storage and allocates (r2 - r1 + 1) x (c2 - c1 + 1) elements
    // (zero-filled). An empty extent is allowed; a negative one, or a matrix whose
    // element count does not fit in 32 bits, throws ap_error.
    void setbounds(int r1, int r2, int c1, int c2)
    {
        const std::int64_t rows = static_cast<std::int64_t>(r2) - r1 + 1;
        const std::int64_t cols = static_cast<std::int64_t>(c2) - c1 + 1;
        ap_error::make_assertion(rows >= 0 && cols >= 0 && rows * cols <= INT32_MAX);
        const std::int64_t offset = -static_cast<std::int64_t>(c1) - cols * r1;
        ap_error::make_assertion(offset >= INT32_MIN && offset <= INT32_MAX);
        m_Vec.reset();
        if (rows * cols > 0)
            m_Vec = std::make_unique<T[]>(static_cast<std::size_t>(rows * cols));
        m_iVecSize = static_cast<int>(rows * cols);
        m_iLow1 = r1;
        m_iLow2 = c1;
        m_iHigh1 = r2;
        m_iHigh2 = c2;
        m_iConstOffset = static_cast<int>(offset);
        m_iLinearMember = static_cast<int>(cols);
    }

    T& operator()(int i, int j)
    {
        ap_error::make_assertion(i >= m_iLow1 && i <= m_iHigh1);
        ap_error::make_assertion(j >= m_iLow2 && j <= m_iHigh2 && m_Vec);
        return m_Vec[index(i, j)];
    }
    const T& operator()(int i, int j) const
    {
        ap_error::make_assertion(i >= m_iLow1 && i <= m_iHigh1);
        ap_error::make_assertion(j >= m_iLow2 && j <= m_iHigh2 && m_Vec);
        return m_Vec[index(i, j)];
    }

    // boundnum 1: rows, 2: columns.
    int getlowbound(int boundnum) const noexcept { return boundnum == 1 ? m_iLow1 : m_iLow2; }
    int gethighbound(int boundnum) const noexcept { return boundnum == 1 ? m_iHigh1 : m_iHigh2; }
    T* getcontent() noexcept { return m_Vec.get(); }
    const T* getcontent() const noexcept { return m_Vec.get(); }

    void swap(template_2d_array& o) noexcept
    {
        std::swap(m_Vec, o.m_Vec);
        std::swap(m_iVecSize, o.m_iVecSize);
        std::swap(m_iLow1, o.m_iLow1);
        std::swap(m_iLow2, o.m_iLow2);
        std::swap(m_iHigh1, o.m_iHigh1);
        std::swap(m_iHigh2, o.m_iHigh2);
        std::swap(m_iConstOffset, o.m_iConstOffset);
        std::swap(m_iLinearMember, o.m_iLinearMember);
    }

private:
    std::size_t index(int i, int j) const noexcept
    {
        return static_cast<std::size_t>(static_cast<std::int64_t>(j) + m_iConstOffset +
                                        static_cast<std::int64_t>(i) * m_iLinearMember);
    }

    std::unique_ptr<T[]> m_Vec;
    int m_iVecSize = 0;
    int m_iLow1 = 0;
    int m_iLow2 = 0;
    int m_iHigh1 = 0;
    int m_iHigh2 = 0;
    int m_iConstOffset = 0;
    int m_iLinearMember = 0;
};

using real_1d_array = template_1d_array<double>;
using real_2d_array = template_2d_array<double>;

}  // namespace ap

// Least-squares solution of the m x n system held in a (rows 1..m, columns 1..n the
// design matrix, column n + 1 the right-hand side); m may be below, equal to or above n.
// x gets bounds 1..n and the minimum-norm solution with negligible singular values
// treated as zero. Returns false when any singular value was dropped. a is work space:
// its contents are unspecified afterwards.
bool svdsolve(ap::template_2d_array<double>& a, int m, int n, ap::template_1d_array<double>& x);

// sqrt(a^2 + b^2) without intermediate overflow or underflow.
double pythag(double a, double b) noexcept;

// inverse = a^-1 (a and inverse row-major 4x4), out = inverse * b. Straight-line
// closed form. Returns false, with out and inverse zero-filled, when the determinant is
// zero or the inverse is not finite (a singular or non-finite a).
bool C4x1_is_pinvA4x4_x_B4x1(double out[4], double inverse[16], const double a[16], const double b[4]) noexcept;

namespace Utils {

// out = in^-1 by the adjugate, straight-line. Returns false, with out zero-filled, when
// the determinant is zero or the inverse is not finite. out may alias in.
bool pinv3x3(double out[3][3], const double in[3][3]) noexcept;

void copy_matrix_3x3(double dst[3][3], const double src[3][3]) noexcept;

// True when all nine elements are finite. Every plausibility test of a transform asks
// this first, so a NaN or infinite transform is never accepted.
bool IsFiniteMatrix3x3(const double m[3][3]) noexcept;

// R = (Rz(az) * Rx(ax)) * Ry(ay), angles in degrees, with
// Rx = [[1,0,0],[0,c,s],[0,-s,c]], Ry = [[c,0,-s],[0,1,0],[s,0,c]], Rz = [[c,s,0],[-s,c,0],[0,0,1]].
void Calc3RotateMatrix(double R[3][3], double ax, double ay, double az) noexcept;

}  // namespace Utils
