// Robust pair-transform fits. Each fit is least median of residuals over random
// minimal samples (enough trials to draw one all-good sample with high probability for
// the given outlier share), refined by iteratively re-weighted least squares with a
// Gaussian weight of the residual scaled by the robust sigma 1.4826 * median, and ends
// with an inlier split at 2.5 sigma. The generator is reset per fit, so a fit's result
// depends only on its input.
#include "core/robust_fit.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>

#include "core/linalg.h"

namespace Utils::rand_private {

thread_local std::uint32_t hold_rand = 1;

int Rand()
{
    hold_rand = hold_rand * 214013u + 2531011u;
    return static_cast<int>((hold_rand >> 16) & 32767u);
}

int RandIndex(int n)
{
    return static_cast<int>(static_cast<std::int64_t>(Rand()) * (n - 1) / Rand_max);
}

}  // namespace Utils::rand_private

double median(double* values, int n)
{
    if (n <= 0)
        return 0.0;
    // NaN would break the ordering the selection relies on; it ranks above everything.
    for (int i = 0; i < n; ++i)
        if (std::isnan(values[i]))
            values[i] = INFINITY;
    const int mid = n / 2;
    std::nth_element(values, values + mid, values + n);
    if (n % 2)
        return values[mid];
    // The lower middle value is the largest of the part below mid.
    const double lower = *std::max_element(values, values + mid);
    return (lower + values[mid]) / 2;
}

namespace PanoramaRecognition {

namespace {

using ScaleSpace::PointD;

// Each model gives its two equation rows for a pair (right-hand side last) and applies
// a solution to a point. Unknowns are in the order they are solved for.
struct TranslateModel {
    static constexpr int k = 3;
    static constexpr int sampleSize = 2;
    static constexpr int iterations = 20;
    static void rows(const PointD& p, const PointD& q, double w, double* ru, double* rv)
    {
        ru[0] = p.x * w, ru[1] = w, ru[2] = 0, ru[3] = q.x * w;
        rv[0] = p.y * w, rv[1] = 0, rv[2] = w, rv[3] = q.y * w;
    }
    static void apply(const double* s, const PointD& p, double& u, double& v)
    {
        u = s[0] * p.x + s[1];
        v = s[0] * p.y + s[2];
    }
    static void write(const double* s, double (*m)[3])
    {
        m[0][0] = s[0], m[0][1] = 0, m[0][2] = s[1];
        m[1][0] = 0, m[1][1] = s[0], m[1][2] = s[2];
    }
    static int draw(int n) { return Utils::rand_private::Rand() % n; }
};

struct SimpleModel {
    static constexpr int k = 4;
    static constexpr int sampleSize = 2;
    static constexpr int iterations = 20;
    static void rows(const PointD& p, const PointD& q, double w, double* ru, double* rv)
    {
        ru[0] = p.x * w, ru[1] = p.y * w, ru[2] = w, ru[3] = 0, ru[4] = q.x * w;
        rv[0] = p.y * w, rv[1] = -p.x * w, rv[2] = 0, rv[3] = w, rv[4] = q.y * w;
    }
    static void apply(const double* s, const PointD& p, double& u, double& v)
    {
        u = s[0] * p.x + s[1] * p.y + s[2];
        v = -s[1] * p.x + s[0] * p.y + s[3];
    }
    static void write(const double* s, double (*m)[3])
    {
        m[0][0] = s[0], m[0][1] = s[1], m[0][2] = s[2];
        m[1][0] = -s[1], m[1][1] = s[0], m[1][2] = s[3];
    }
    static int draw(int n) { return Utils::rand_private::RandIndex(n); }
};

struct AffineModel {
    static constexpr int k = 6;
    static constexpr int sampleSize = 3;
    static constexpr int iterations = 10;
    static void rows(const PointD& p, const PointD& q, double w, double* ru, double* rv)
    {
        ru[0] = p.x * w, ru[1] = 0, ru[2] = p.y * w, ru[3] = 0, ru[4] = w, ru[5] = 0, ru[6] = q.x * w;
        rv[0] = 0, rv[1] = p.x * w, rv[2] = 0, rv[3] = p.y * w, rv[4] = 0, rv[5] = w, rv[6] = q.y * w;
    }
    static void apply(const double* s, const PointD& p, double& u, double& v)
    {
        u = s[0] * p.x + s[2] * p.y + s[4];
        v = s[1] * p.x + s[3] * p.y + s[5];
    }
    static void write(const double* s, double (*m)[3])
    {
        m[0][0] = s[0], m[0][1] = s[2], m[0][2] = s[4];
        m[1][0] = s[1], m[1][1] = s[3], m[1][2] = s[5];
    }
    static int draw(int n) { return Utils::rand_private::RandIndex(n); }
};

// Far more trials than any sane outlier share needs; keeps a fraction near 1 from
// turning into an endless loop.
constexpr double kMaxTrials = 1 << 20;

template <class M>
void setRows(ap::template_2d_array<double>& a, int pairRow, const PointD& p, const PointD& q, double w)
{
    double ru[M::k + 1] = {}, rv[M::k + 1] = {};
    if (w != 0)  // a pair without weight gives no equations, even with non-finite points
        M::rows(p, q, w, ru, rv);
    for (int j = 0; j <= M::k; ++j) {
        a(2 * pairRow + 1, j + 1) = ru[j];
        a(2 * pairRow + 2, j + 1) = rv[j];
    }
}

template <class M>
void solve(ap::template_2d_array<double>& a, int rows, ap::template_1d_array<double>& x, double* out)
{
    svdsolve(a, rows, M::k, x);  // a dropped singular value still gives the minimum-norm solution
    for (int j = 0; j < M::k; ++j)
        out[j] = x(j + 1);
}

template <class M>
void residuals(const double* s, const std::vector<PointD>& first, const std::vector<PointD>& second, int n,
               double* r)
{
    for (int i = 0; i < n; ++i) {
        double u, v;
        M::apply(s, first[i], u, v);
        const double du = u - second[i].x, dv = v - second[i].y;
        r[i] = std::sqrt(du * du + dv * dv);
    }
}

template <class M>
bool fitRobust(const std::vector<PointD>& first, const std::vector<PointD>& second, const std::vector<double>& weights,
               double outlierFraction, double (*transform)[3], std::vector<int>* inliers, std::vector<int>* outliers,
               double* error)
{
    const std::size_t count = first.size();
    if (count <= 3 || second.size() < count || weights.size() < count || count > INT_MAX / 2)
        return false;
    if (!(outlierFraction >= 0.0 && outlierFraction < 1.0))
        return false;
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isfinite(weights[i]))
            return false;
    const int n = static_cast<int>(count);

    try {
        std::vector<double> r(count), work(count);

        // Least median of residuals over random minimal samples.
        const double trialsWanted = std::ceil(1.0 / std::pow(1.0 - outlierFraction, 3));
        const int trials = static_cast<int>(std::min(trialsWanted, kMaxTrials));
        Utils::rand_private::hold_rand = 1;
        double bestMedian = DBL_MAX;
        double best[M::k] = {};
        double sol[M::k];
        ap::template_2d_array<double> a;
        ap::template_1d_array<double> x;
        a.setbounds(1, 2 * M::sampleSize, 1, M::k + 1);
        for (int t = 0; t < trials; ++t) {
            // All indices are drawn first, then each repeated one is drawn again.
            int idx[M::sampleSize];
            for (int s = 0; s < M::sampleSize; ++s)
                idx[s] = M::draw(n);
            while (idx[1] == idx[0])
                idx[1] = M::draw(n);
            if constexpr (M::sampleSize == 3) {
                while (idx[2] == idx[0] || idx[2] == idx[1])
                    idx[2] = M::draw(n);
            }
            for (int s = 0; s < M::sampleSize; ++s)
                setRows<M>(a, s, first[idx[s]], second[idx[s]], weights[idx[s]]);
            solve<M>(a, 2 * M::sampleSize, x, sol);
            residuals<M>(sol, first, second, n, r.data());
            std::copy(r.begin(), r.end(), work.begin());
            const double m = median(work.data(), n);
            if (m < bestMedian) {
                bestMedian = m;
                std::copy(sol, sol + M::k, best);
            }
        }

        // Residuals below what doubles resolve at this coordinate scale count as exact:
        // re-weighting would divide by a zero (or meaningless) sigma.
        double scale = 1.0;
        for (int i = 0; i < n; ++i)
            scale = std::max({scale, std::fabs(second[i].x), std::fabs(second[i].y)});
        const double sigmaFloor = 1e-9 * scale;

        // Iteratively re-weighted least squares from the best sample.
        std::copy(best, best + M::k, sol);
        a.setbounds(1, 2 * n, 1, M::k + 1);
        double sigma = 0.0;
        for (int it = 0; it < M::iterations; ++it) {
            residuals<M>(sol, first, second, n, r.data());
            std::copy(r.begin(), r.end(), work.begin());
            sigma = 1.4826 * median(work.data(), n);
            if (!std::isfinite(sigma))
                break;
            if (sigma < sigmaFloor) {
                sigma = sigmaFloor;  // exact fit: keep it
                break;
            }
            for (int i = 0; i < n; ++i) {
                const double t = r[i] / sigma;
                // Far (or non-finite) residuals get no weight.
                const double w = t <= 5 ? std::exp(-t * t / 2) / (sigma * 2.5066282746310002) * weights[i] : 0.0;
                setRows<M>(a, i, first[i], second[i], w);
            }
            solve<M>(a, 2 * n, x, sol);
        }

        M::write(sol, transform);
        transform[2][0] = 0, transform[2][1] = 0, transform[2][2] = 1;
        if (inliers)
            inliers->clear();
        if (outliers)
            outliers->clear();
        if (error)
            *error = 0.0;

        const bool usable = std::isfinite(sigma) && IsFiniteTransform(transform);
        const double limit = usable ? (2.5 * sigma) * (2.5 * sigma) : -1.0;
        int inlierCount = 0;
        double sum = 0.0;
        for (int i = 0; i < n; ++i) {
            double u, v;
            M::apply(sol, first[i], u, v);
            const double du = u - second[i].x, dv = v - second[i].y;
            const double d = du * du + dv * dv;
            if (d <= limit) {
                ++inlierCount;
                sum += std::sqrt(d);
                if (inliers)
                    inliers->push_back(i);
            } else if (outliers) {
                outliers->push_back(i);
            }
        }
        if (error && inlierCount > 0)
            *error = sum / inlierCount;
        return inlierCount > 2;
    } catch (...) {  // bounds errors of the arrays, allocation failures
        return false;
    }
}

}  // namespace

bool FitRobustTranslateTransform(const std::vector<PointD>& first, const std::vector<PointD>& second,
                                 const std::vector<double>& weights, double outlierFraction, double (*transform)[3],
                                 std::vector<int>* inliers, std::vector<int>* outliers, double* error)
{
    return fitRobust<TranslateModel>(first, second, weights, outlierFraction, transform, inliers, outliers, error);
}

bool FitRobustSimpleTransform(const std::vector<PointD>& first, const std::vector<PointD>& second,
                              const std::vector<double>& weights, double outlierFraction, double (*transform)[3],
                              std::vector<int>* inliers, std::vector<int>* outliers, double* error)
{
    return fitRobust<SimpleModel>(first, second, weights, outlierFraction, transform, inliers, outliers, error);
}

bool FitRobustAffineTransform(const std::vector<PointD>& first, const std::vector<PointD>& second,
                              const std::vector<double>& weights, double outlierFraction, double (*transform)[3],
                              std::vector<int>* inliers, std::vector<int>* outliers, double* error)
{
    return fitRobust<AffineModel>(first, second, weights, outlierFraction, transform, inliers, outliers, error);
}

bool CorrectPanoramicImageMatch(int matches, int inliers)
{
    return static_cast<double>(inliers) > 0.22 * static_cast<double>(matches) + 5.9;
}

bool IsFiniteTransform(const double (*transform)[3])
{
    return Utils::IsFiniteMatrix3x3(transform);
}

}  // namespace PanoramaRecognition
