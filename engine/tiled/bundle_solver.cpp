// Residuals and Levenberg-Marquardt optimiser of the tiled engine's bundle adjustment.
//
// Residuals: for every match j between placed photos A and B, with centred keypoints
// pA, pB (multiplied by the lens factor L(|p|) when lens terms apply) and the pixel
// homographies H_AB = K_B R_B R_A^T K_A^-1, H_BA = its counterpart, four residuals
//     sqrt(w_j) * (pA - pi(H_BA pB)),  sqrt(w_j) * (pB - pi(H_AB pA)),
// w_j = (1 - q_j / 1000 / rho^2) * 2 / (sA^2 + sB^2) (q_j in pixels; sA, sB the sample
// spacings of the two keypoints' octaves in full-size pixels: a keypoint of a coarse
// octave is placed to a few pixels only, and equal weights let those few pixels bend
// every focal length by a quarter per cent), so the optimiser minimises the sum over the
// matches of w_j times the symmetric squared transfer error, over the values of
// Get3dParams' layout (focal lengths in full-size pixels, angles in degrees, lens terms
// times 10000). (Squaring the squared error instead, one residual per match, makes the
// sum quartic: a flat minimum that Gauss-Newton steps approach only slowly, and the
// worst matches dominating the rest.)
//
// A link's residuals depend on the shared lens terms and its two cameras only, so the
// forward-difference Jacobian of a link has at most 17 columns, and its share of the
// normal equations J^T J, J^T r is formed link by link (links spread over threads, each
// link's share computed by one thread) and summed in link order: the result is the same
// for any thread count. One focal length serves every camera (the first camera's value
// in the layout; the others' are set from it at the end). The normal equations
// (1 + 3 per camera + 3) are solved by Cholesky
// with Marquardt's scaled damping. The first camera of the order keeps its angles: the
// residuals do not change when every camera turns together, and a free overall rotation
// lets the cameras drift towards the poles of the angle convention.
//
// Runs on the build's thread; helper threads live only within one sweep.
#include "engine/tiled/camera_params.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>

#include "core/linalg.h"
#include "core/match_graph.h"
#include "core/panorama_exceptions.h"
#include "core/parallel.h"

namespace Tiled_Panorama {

namespace {

// A residual that cannot be computed (a match projected onto the horizon of the other
// camera) counts as this large but finite error, so the step that caused it is refused.
constexpr double kHugeResidual = 1e15;
constexpr int kMaxLocal = 3 + 2 * 7;  // shared lens, then two cameras with their own lens
constexpr int kMaxIterations = 200;
constexpr double kFtol = 1e-4;   // relative cost reduction (actual and predicted) that ends a run
constexpr double kXtol = 1e-10;  // relative step length that ends a run
// Forward-difference step: sqrt(machine epsilon * 10) relative to the value.
constexpr double kDiffStep = 4.712160915387242e-08;
// With the thread count left to the optimiser, below this many residuals everything
// stays on the calling thread: a Jacobian pass then takes a few milliseconds, less than
// starting threads and waiting for the slowest on a busy machine.
constexpr std::size_t kParallelResiduals = 100000;

// H = K_to R_to R_from^T K_from^-1: centred pixels of `from` to centred pixels of `to`.
void PixelHomography(double H[3][3], const D3Param& to, const D3Param& from) noexcept
{
    double Rt[3][3], Rf[3][3];
    Utils::Calc3RotateMatrix(Rt, to.Rx, to.Ry, to.Rz);
    Utils::Calc3RotateMatrix(Rf, from.Rx, from.Ry, from.Rz);
    double R[3][3];  // Rt * Rf^T
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            R[i][j] = Rt[i][0] * Rf[j][0] + Rt[i][1] * Rf[j][1] + Rt[i][2] * Rf[j][2];
    const double ft = to.f, inv = 1.0 / from.f;
    for (int j = 0; j < 3; ++j) {
        const double cs = j < 2 ? inv : 1.0;
        H[0][j] = ft * R[0][j] * cs;
        H[1][j] = ft * R[1][j] * cs;
        H[2][j] = R[2][j] * cs;
    }
}

// Inverse variance of a match's transfer error, 1 for two keypoints on one-pixel
// samples: the two positions' errors grow with their sample spacings and add up.
double PrecisionWeight(double spacingA, double spacingB) noexcept
{
    const double v = spacingA * spacingA + spacingB * spacingB;
    return v > 0.0 && std::isfinite(v) ? 2.0 / v : 1.0;
}

double InlierQuality(const match_graph::CGraphLink& link, std::size_t j) noexcept
{
    return j < link.inlierQuality.size() ? static_cast<double>(link.inlierQuality[j]) : 0.0;
}

// In-place Cholesky factor (lower triangle) of the symmetric n x n matrix M; false when
// M is not positive definite.
bool Cholesky(std::vector<double>& M, int n)
{
    for (int j = 0; j < n; ++j) {
        double* rj = &M[static_cast<std::size_t>(j) * n];
        double d = rj[j];
        for (int k = 0; k < j; ++k)
            d -= rj[k] * rj[k];
        if (!(d > 0.0) || !std::isfinite(d))
            return false;
        d = std::sqrt(d);
        rj[j] = d;
        for (int i = j + 1; i < n; ++i) {
            double* ri = &M[static_cast<std::size_t>(i) * n];
            double s = ri[j];
            for (int k = 0; k < j; ++k)
                s -= ri[k] * rj[k];
            ri[j] = s / d;
        }
    }
    return true;
}

// Solves L L^T x = b with the factor of Cholesky; b is overwritten by x.
void CholeskySolve(const std::vector<double>& L, int n, std::vector<double>& b)
{
    for (int i = 0; i < n; ++i) {
        const double* ri = &L[static_cast<std::size_t>(i) * n];
        double s = b[static_cast<std::size_t>(i)];
        for (int k = 0; k < i; ++k)
            s -= ri[k] * b[static_cast<std::size_t>(k)];
        b[static_cast<std::size_t>(i)] = s / ri[i];
    }
    for (int i = n - 1; i >= 0; --i) {
        double s = b[static_cast<std::size_t>(i)];
        for (int k = i + 1; k < n; ++k)
            s -= L[static_cast<std::size_t>(k) * n + i] * b[static_cast<std::size_t>(k)];
        b[static_cast<std::size_t>(i)] = s / L[static_cast<std::size_t>(i) * n + i];
    }
}

}  // namespace

// The matches of one link, prepared once per optimisation: centred keypoints and
// weights of the usable matches, where their residuals go and which values they read.
struct CBundleAdjustment::LinkTerm {
    int a = 0;  // the photo whose list holds the link
    int b = 0;  // its other photo
    std::size_t offset = 0;
    std::vector<double> pa;  // x, y interleaved, centred on A
    std::vector<double> pb;
    std::vector<double> sw;   // square roots of the weights (negative weights count 0)
    int posA = 0, posB = 0;   // layout position of each camera's f
    int local = 0;            // adjusted values the residuals depend on
    int full[kMaxLocal] = {};  // their layout positions
    int free[kMaxLocal] = {};  // their positions among the adjusted values
};

struct CBundleAdjustment::Problem {
    std::vector<int> order;
    std::vector<LinkTerm> terms;
    std::size_t residuals = 0;
    std::vector<int> freeOf;   // per layout position: index among the adjusted values, -1 fixed
    std::vector<int> fullOf;   // per adjusted value: its layout position
    bool lensInX = false;      // the shared lens terms lead the layout
    int focalPos = 0;          // layout position of the shared focal length (the first camera's f)
    std::vector<int> camPos;   // per photo: layout position of its f, -1 when not placed
    // Per layout position: a value of the size that matters, so that a forward
    // difference at zero moves the residuals by a small, not a wild, amount (a lens
    // term of 1e-8 already bends the corner of a large photo by pixels).
    std::vector<double> typical;
    int threads = 1;
};

void CBundleAdjustment::EvaluateLink(const LinkTerm& t, const Problem& P, const double* x, double* out) const
{
    D3Param CA = m_params[static_cast<std::size_t>(t.a)];
    D3Param CB = m_params[static_cast<std::size_t>(t.b)];
    for (auto [c, pos] : {std::pair{&CA, t.posA}, std::pair{&CB, t.posB}}) {
        c->f = x[P.focalPos];
        c->Rx = x[pos + 1];
        c->Ry = x[pos + 2];
        c->Rz = x[pos + 3];
        if (c->lens) {
            c->k1 = x[pos + 4] / LensDistScaleFactor1;
            c->k2 = x[pos + 5] / LensDistScaleFactor2;
            c->k3 = x[pos + 6] / LensDistScaleFactor3;
        }
    }
    if (m_lensMode == 1) {
        double k1 = m_worldParams.k1, k2 = m_worldParams.k2, k3 = m_worldParams.k3;
        if (P.lensInX) {
            k1 = x[0] / LensDistScaleFactor1;
            k2 = x[1] / LensDistScaleFactor2;
            k3 = x[2] / LensDistScaleFactor3;
        }
        for (D3Param* c : {&CA, &CB}) {
            c->lens = 1;
            c->k1 = k1;
            c->k2 = k2;
            c->k3 = k3;
        }
    }
    double HBA[3][3], HAB[3][3];
    PixelHomography(HBA, CA, CB);
    PixelHomography(HAB, CB, CA);
    const std::size_t count = t.sw.size();
    for (std::size_t j = 0; j < count; ++j) {
        double ax = t.pa[2 * j], ay = t.pa[2 * j + 1];
        double bx = t.pb[2 * j], by = t.pb[2 * j + 1];
        if (CA.lens) {
            const double l = LensDistortion(std::sqrt(ax * ax + ay * ay), CA);
            ax *= l;
            ay *= l;
        }
        if (CB.lens) {
            const double l = LensDistortion(std::sqrt(bx * bx + by * by), CB);
            bx *= l;
            by *= l;
        }
        const double hb0 = HAB[0][0] * ax + HAB[0][1] * ay + HAB[0][2];
        const double hb1 = HAB[1][0] * ax + HAB[1][1] * ay + HAB[1][2];
        const double hb2 = HAB[2][0] * ax + HAB[2][1] * ay + HAB[2][2];
        const double ha0 = HBA[0][0] * bx + HBA[0][1] * by + HBA[0][2];
        const double ha1 = HBA[1][0] * bx + HBA[1][1] * by + HBA[1][2];
        const double ha2 = HBA[2][0] * bx + HBA[2][1] * by + HBA[2][2];
        const double dbx = bx - hb0 / hb2, dby = by - hb1 / hb2;
        const double dax = ax - ha0 / ha2, day = ay - ha1 / ha2;
        const double sw = t.sw[j];
        double* o = out + 4 * j;
        o[0] = sw * dax;
        o[1] = sw * day;
        o[2] = sw * dbx;
        o[3] = sw * dby;
        for (int k = 0; k < 4; ++k)
            if (!std::isfinite(o[k]))
                o[k] = kHugeResidual;
    }
}

void CBundleAdjustment::BuildProblem(const std::vector<int>& order,
                                     const std::vector<std::vector<const match_graph::CGraphLink*>>& links, Problem& P) const
{
    P.order = order;
    const std::size_t photos = m_params.size();
    // Layout positions, as Get3dParams writes them.
    std::vector<int>& camPos = P.camPos;
    camPos.assign(photos, -1);
    int pos = m_worldParams.lens ? 3 : 0;
    P.lensInX = m_worldParams.lens != 0;
    for (int i : order) {
        camPos[static_cast<std::size_t>(i)] = pos;
        pos += iNum3DParams + (m_params[static_cast<std::size_t>(i)].lens ? 3 : 0);
    }
    P.freeOf.assign(static_cast<std::size_t>(pos), 0);
    if (!order.empty()) {
        const int first = camPos[static_cast<std::size_t>(order.front())];
        for (int k = 1; k <= 3; ++k)
            P.freeOf[static_cast<std::size_t>(first + k)] = -1;
        // One focal length for all: the first camera's is adjusted, the others follow it.
        P.focalPos = first;
        for (int i : order)
            if (camPos[static_cast<std::size_t>(i)] != first)
                P.freeOf[static_cast<std::size_t>(camPos[static_cast<std::size_t>(i)])] = -1;
    }
    // Lens terms: the value that bends the farthest photo point by 1 part in 10000.
    double rmax = 1.0;
    for (int i : order) {
        const auto& sz = m_imageSizes[static_cast<std::size_t>(i)];
        rmax = std::max(rmax, 0.5 * std::hypot(static_cast<double>(sz.cx), static_cast<double>(sz.cy)));
    }
    const double r2 = rmax * rmax;
    const std::array<double, 3> lensTypical = g_ldPoynomType == 1 ? std::array<double, 3>{1.0 / r2, 1.0 / (r2 * r2), 1.0 / r2}
                                                       : std::array<double, 3>{1.0 / r2, 1.0 / r2, 1.0 / (r2 * rmax)};
    P.typical.assign(static_cast<std::size_t>(pos), 1.0);
    auto lensAt = [&](int p) {
        P.typical[static_cast<std::size_t>(p)] = lensTypical[0];
        P.typical[static_cast<std::size_t>(p + 1)] = lensTypical[1];
        P.typical[static_cast<std::size_t>(p + 2)] = lensTypical[2];
    };
    if (P.lensInX)
        lensAt(0);
    for (int i : order)
        if (m_params[static_cast<std::size_t>(i)].lens)
            lensAt(camPos[static_cast<std::size_t>(i)] + iNum3DParams);
    P.fullOf.clear();
    for (int k = 0; k < pos; ++k) {
        if (P.freeOf[static_cast<std::size_t>(k)] < 0)
            continue;
        P.freeOf[static_cast<std::size_t>(k)] = static_cast<int>(P.fullOf.size());
        P.fullOf.push_back(k);
    }

    std::size_t m = 0;
    for (int ia : order) {
        const std::size_t a = static_cast<std::size_t>(ia);
        if (a >= links.size())
            continue;
        for (const match_graph::CGraphLink* link : links[a]) {
            LinkTerm t;
            t.a = ia;
            t.b = link->id1 == ia ? link->id2 : link->id1;
            const std::size_t b = static_cast<std::size_t>(t.b);
            if (t.b < 0 || b >= photos || a >= m_imageSizes.size() || b >= m_imageSizes.size() || camPos[b] < 0 ||
                t.b == ia)
                continue;
            // ia and ib: the keypoint lists of a and of b
            const std::vector<int>& ka = link->id1 == ia ? link->keys1 : link->keys2;
            const std::vector<int>& kb = link->id1 == ia ? link->keys2 : link->keys1;
            static const std::vector<KeyPosition> none;
            const auto& kpa = a < m_keypoints.size() ? m_keypoints[a] : none;
            const auto& kpb = b < m_keypoints.size() ? m_keypoints[b] : none;
            const double cax = m_imageSizes[a].cx / 2.0, cay = m_imageSizes[a].cy / 2.0;
            const double cbx = m_imageSizes[b].cx / 2.0, cby = m_imageSizes[b].cy / 2.0;
            const double rho2 = m_matchRatio * m_matchRatio;
            const std::size_t count = std::min(ka.size(), kb.size());
            for (std::size_t j = 0; j < count; ++j) {
                // A match naming a keypoint that does not exist gives no residual.
                if (ka[j] < 0 || kb[j] < 0 || static_cast<std::size_t>(ka[j]) >= kpa.size() ||
                    static_cast<std::size_t>(kb[j]) >= kpb.size())
                    continue;
                const KeyPosition& pa = kpa[static_cast<std::size_t>(ka[j])];
                const KeyPosition& pb = kpb[static_cast<std::size_t>(kb[j])];
                t.pa.push_back(pa.x - cax);
                t.pa.push_back(pa.y - cay);
                t.pb.push_back(pb.x - cbx);
                t.pb.push_back(pb.y - cby);
                t.sw.push_back(std::sqrt(std::max(0.0, 1.0 - InlierQuality(*link, j) / 1000.0 / rho2) *
                                         PrecisionWeight(pa.spacing, pb.spacing)));
            }
            if (t.sw.empty())
                continue;
            t.offset = m;
            m += 4 * t.sw.size();
            t.posA = camPos[a];
            t.posB = camPos[b];
            // The values this link reads: the shared lens (when it applies), each camera's
            // four and its own lens terms (when they apply).
            auto use = [&](int p) {
                const int f = P.freeOf[static_cast<std::size_t>(p)];
                if (f >= 0 && t.local < kMaxLocal && std::find(t.full, t.full + t.local, p) == t.full + t.local) {
                    t.full[t.local] = p;
                    t.free[t.local] = f;
                    ++t.local;
                }
            };
            if (m_lensMode == 1 && P.lensInX)
                for (int k = 0; k < 3; ++k)
                    use(k);
            for (auto [cam, p] : {std::pair{a, t.posA}, std::pair{b, t.posB}}) {
                use(P.focalPos);
                for (int k = 1; k < iNum3DParams; ++k)
                    use(p + k);
                if (m_lensMode != 1 && m_params[cam].lens)
                    for (int k = 0; k < 3; ++k)
                        use(p + iNum3DParams + k);
            }
            P.terms.push_back(std::move(t));
        }
    }
    P.residuals = m;
    P.threads = m_threads > 0 ? m_threads : (m < kParallelResiduals ? 1 : 0);
}

double CBundleAdjustment::LinkTransferError(const match_graph::CGraphLink& link) const
{
    std::vector<double> errors = LinkTransferErrors(link);
    if (errors.empty())
        return 0.0;
    auto mid = errors.begin() + static_cast<std::ptrdiff_t>(errors.size() / 2);
    std::nth_element(errors.begin(), mid, errors.end());
    return *mid;
}

std::vector<double> CBundleAdjustment::LinkTransferErrors(const match_graph::CGraphLink& link) const
{
    const std::size_t a = static_cast<std::size_t>(link.id1), b = static_cast<std::size_t>(link.id2);
    if (link.id1 < 0 || link.id2 < 0 || a >= m_params.size() || b >= m_params.size() || a >= m_imageSizes.size() ||
        b >= m_imageSizes.size() || a >= m_keypoints.size() || b >= m_keypoints.size())
        return {};
    D3Param CA = m_params[a], CB = m_params[b];
    if (m_lensMode == 1) {
        for (D3Param* c : {&CA, &CB}) {
            c->lens = 1;
            c->k1 = m_worldParams.k1;
            c->k2 = m_worldParams.k2;
            c->k3 = m_worldParams.k3;
        }
    }
    double H[3][3];  // A to B
    PixelHomography(H, CB, CA);
    auto centred = [](const KeyPosition& k, const VarnoBase::Size& size, const D3Param& c, double& x, double& y) {
        x = k.x - size.cx / 2.0;
        y = k.y - size.cy / 2.0;
        if (c.lens) {
            const double l = LensDistortion(std::hypot(x, y), c);
            x *= l;
            y *= l;
        }
    };
    std::vector<double> errors;
    const std::size_t count = std::min(link.keys1.size(), link.keys2.size());
    for (std::size_t j = 0; j < count; ++j) {
        const int ka = link.keys1[j], kb = link.keys2[j];
        if (ka < 0 || kb < 0 || static_cast<std::size_t>(ka) >= m_keypoints[a].size() ||
            static_cast<std::size_t>(kb) >= m_keypoints[b].size())
            continue;
        double ax, ay, bx, by;
        centred(m_keypoints[a][static_cast<std::size_t>(ka)], m_imageSizes[a], CA, ax, ay);
        centred(m_keypoints[b][static_cast<std::size_t>(kb)], m_imageSizes[b], CB, bx, by);
        const double w = H[2][0] * ax + H[2][1] * ay + H[2][2];
        const double e = std::hypot(bx - (H[0][0] * ax + H[0][1] * ay + H[0][2]) / w,
                                    by - (H[1][0] * ax + H[1][1] * ay + H[1][2]) / w);
        errors.push_back(w > 0.0 && std::isfinite(e) ? e : std::numeric_limits<double>::infinity());
    }
    return errors;
}

std::vector<std::vector<double>> CBundleAdjustment::EvaluateResiduals(
    const std::vector<int>& order, const std::vector<std::vector<const match_graph::CGraphLink*>>& links,
    const std::vector<std::vector<double>>& xs)
{
    Problem P;
    BuildProblem(order, links, P);
    std::vector<std::vector<double>> out;
    std::vector<double> parts(P.residuals);
    for (const std::vector<double>& x : xs) {
        std::vector<double> f(P.residuals / 4, 0.0);
        if (x.size() == P.freeOf.size()) {
            for (const LinkTerm& t : P.terms)
                EvaluateLink(t, P, x.data(), parts.data() + t.offset);
            for (std::size_t j = 0; j < f.size(); ++j) {
                const double* o = &parts[4 * j];
                f[j] = (o[0] * o[0] + o[1] * o[1]) + (o[2] * o[2] + o[3] * o[3]);
            }
            Set3dParams(m_worldParams, m_params, x.data(), order);
        }
        out.push_back(std::move(f));
    }
    return out;
}

void CBundleAdjustment::RunImageParamsOptimizer(const std::vector<int>& order,
                                                const std::vector<std::vector<const match_graph::CGraphLink*>>& links)
{
    m_lastIterations = 0;
    Problem P;
    BuildProblem(order, links, P);
    const int n = static_cast<int>(P.fullOf.size());
    const std::size_t N = static_cast<std::size_t>(n);
    // Fewer residuals than values: nothing is determined, the cameras stay.
    if (n == 0 || P.residuals < N)
        return;

    std::vector<double> x(P.freeOf.size());
    Get3dParams(x.data(), m_worldParams, m_params, order);

    // One sweep of every link's residuals at xv; answers half the sum of their squares.
    auto sweep = [&](const std::vector<double>& xv, std::vector<double>& r) {
        r.resize(P.residuals);
        Utils::ParallelForEach(P.terms.size(), P.threads,
                               [&](std::size_t k) { EvaluateLink(P.terms[k], P, xv.data(), r.data() + P.terms[k].offset); });
        double cost = 0.0;
        for (double v : r)
            cost += v * v;
        return 0.5 * cost;
    };

    // Per link: its block of J^T J (local x local) and of J^T r, from forward differences.
    const std::size_t blockSize = static_cast<std::size_t>(kMaxLocal * kMaxLocal + kMaxLocal);
    std::vector<double> blocks(P.terms.size() * blockSize);
    std::vector<char> blockFailed(P.terms.size(), 0);
    auto linkBlock = [&](std::size_t k, const std::vector<double>& xv, const std::vector<double>& r) {
        try {
            const LinkTerm& t = P.terms[k];
            const std::size_t count = 4 * t.sw.size();
            const int L = t.local;
            std::vector<double> xw(xv);
            std::vector<double> J(count * static_cast<std::size_t>(L));
            std::vector<double> rj(count);
            const double* r0 = r.data() + t.offset;
            for (int c = 0; c < L; ++c) {
                const std::size_t p = static_cast<std::size_t>(t.full[c]);
                const double v = xv[p];
                const double h = kDiffStep * std::max(std::fabs(v), P.typical[p]);
                xw[p] = v + h;
                EvaluateLink(t, P, xw.data(), rj.data());
                xw[p] = v;
                for (std::size_t j = 0; j < count; ++j)
                    J[j * static_cast<std::size_t>(L) + static_cast<std::size_t>(c)] = (rj[j] - r0[j]) / h;
            }
            double* B = &blocks[k * blockSize];
            double* g = B + kMaxLocal * kMaxLocal;
            std::fill(B, B + blockSize, 0.0);
            for (std::size_t j = 0; j < count; ++j) {
                const double* row = &J[j * static_cast<std::size_t>(L)];
                for (int c1 = 0; c1 < L; ++c1) {
                    const double v1 = row[c1];
                    g[c1] += v1 * r0[j];
                    for (int c2 = c1; c2 < L; ++c2)
                        B[c1 * kMaxLocal + c2] += v1 * row[c2];
                }
            }
        } catch (...) {
            blockFailed[k] = 1;
        }
    };

    std::vector<double> r, rTrial;
    double cost = sweep(x, r);
    std::vector<double> A(N * N), g(N), D(N, 0.0), M, step(N);
    std::vector<double> xTrial;
    double lambda = 1e-6, nu = 2.0;
    for (int it = 0; it < kMaxIterations && cost > 0.0; ++it) {
        if (m_abort && m_abort())
            throw panorama_abort();  // the cameras are written only at the end
        ++m_lastIterations;
        Utils::ParallelForEach(P.terms.size(), P.threads, [&](std::size_t k) { linkBlock(k, x, r); });
        if (std::find(blockFailed.begin(), blockFailed.end(), 1) != blockFailed.end())
            throw std::bad_alloc();
        std::fill(A.begin(), A.end(), 0.0);
        std::fill(g.begin(), g.end(), 0.0);
        for (std::size_t k = 0; k < P.terms.size(); ++k) {
            const LinkTerm& t = P.terms[k];
            const double* B = &blocks[k * blockSize];
            const double* gb = B + kMaxLocal * kMaxLocal;
            for (int c1 = 0; c1 < t.local; ++c1) {
                const std::size_t f1 = static_cast<std::size_t>(t.free[c1]);
                g[f1] += gb[c1];
                for (int c2 = c1; c2 < t.local; ++c2) {
                    const std::size_t f2 = static_cast<std::size_t>(t.free[c2]);
                    const double v = B[c1 * kMaxLocal + c2];
                    A[f1 * N + f2] += v;
                    if (f1 != f2)
                        A[f2 * N + f1] += v;
                }
            }
        }
        // Marquardt's scaling: the largest curvature seen per value, with a floor for
        // values no residual reads (they then stay where they are).
        double dmax = 0.0;
        for (std::size_t j = 0; j < N; ++j) {
            D[j] = std::max(D[j], A[j * N + j]);
            dmax = std::max(dmax, D[j]);
        }
        const double floor = dmax > 0.0 ? dmax * 1e-15 : 1.0;

        bool stop = true;
        while (lambda < 1e20) {
            M = A;
            for (std::size_t j = 0; j < N; ++j)
                M[j * N + j] += lambda * std::max(D[j], floor);
            if (!Cholesky(M, n)) {
                lambda *= nu;
                nu *= 2.0;
                continue;
            }
            for (std::size_t j = 0; j < N; ++j)
                step[j] = -g[j];
            CholeskySolve(M, n, step);
            double predicted = 0.0, stepNorm = 0.0, xNorm = 0.0;
            for (std::size_t i = 0; i < N; ++i) {
                double Ai = 0.0;
                for (std::size_t j = 0; j < N; ++j)
                    Ai += A[i * N + j] * step[j];
                predicted -= step[i] * g[i] + 0.5 * step[i] * Ai;
                const double d = std::max(D[i], floor);
                stepNorm += d * step[i] * step[i];
                const double xi = x[static_cast<std::size_t>(P.fullOf[i])];
                xNorm += d * xi * xi;
            }
            xTrial = x;
            for (std::size_t j = 0; j < N; ++j)
                xTrial[static_cast<std::size_t>(P.fullOf[j])] += step[j];
            const double trial = sweep(xTrial, rTrial);
            if (trial < cost) {
                const double actual = cost - trial;
                const double rho = predicted > 0.0 ? actual / predicted : 0.0;
                lambda *= std::max(0.1, 1.0 - std::pow(2.0 * rho - 1.0, 3));
                nu = 2.0;
                const bool small = (actual <= kFtol * cost && predicted <= kFtol * cost) ||
                                   std::sqrt(stepNorm) <= kXtol * std::sqrt(xNorm);
                x.swap(xTrial);
                r.swap(rTrial);
                cost = trial;
                stop = small;
                break;
            }
            lambda *= nu;
            nu *= 2.0;
            // No descent even for a tiny step: at the minimum within rounding.
            if (predicted <= 1e-15 * cost || std::sqrt(stepNorm) <= kXtol * std::sqrt(xNorm))
                break;
        }
        if (stop)
            break;
    }

    for (int pos : P.camPos)  // every camera carries the shared focal length
        if (pos >= 0)
            x[static_cast<std::size_t>(pos)] = x[static_cast<std::size_t>(P.focalPos)];
    const D3Param worldBefore = m_worldParams;
    const std::vector<D3Param> camsBefore = m_params;
    if (!Set3dParams(m_worldParams, m_params, x.data(), order)) {
        // A diverged run leaves the cameras as they were.
        m_worldParams = worldBefore;
        m_params = camsBefore;
    }
}

}  // namespace Tiled_Panorama
