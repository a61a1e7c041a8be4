// Camera parameters and incremental bundle adjustment of the tiled engine.
//
// Residuals: for every match j between placed photos A and B, with centred keypoints
// pA, pB (multiplied by the lens factor L(|p|) when lens terms apply) and the pixel
// homographies H_AB = K_B R_B R_A^T K_A^-1, H_BA = its counterpart, the residual is
//     w_j * (|pB - pi(H_AB pA)|^2 + |pA - pi(H_BA pB)|^2),   w_j = 1 - q_j / 1000 / rho^2,
// a weighted symmetric squared transfer error; lmdif minimises the sum of their squares.
// lmdif's Jacobian perturbs one parameter at a time, so each residual sweep recomputes
// only the links that touch a camera whose values differ from the previous sweep and
// copies the rest: the values are the same as a full sweep, bit for bit.
#include "engine/tiled/camera_params.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/keypoints.h"
#include "core/linalg.h"
#include "core/match_graph.h"
#include "core/panorama_exceptions.h"

int g_ldPoynomType = 1;

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRadToDeg = 180.0 / kPi;
// A residual that cannot be computed (a match projected onto the horizon of the other
// camera) counts as this large but finite error, so lmdif rejects the step instead of
// carrying a NaN through its arithmetic.
constexpr double kHugeResidual = 1e15;

bool IsFinite(const D3Param& p) noexcept
{
    return std::isfinite(p.f) && std::isfinite(p.Rx) && std::isfinite(p.Ry) && std::isfinite(p.Rz) &&
           std::isfinite(p.k1) && std::isfinite(p.k2) && std::isfinite(p.k3);
}

bool SameValues(const D3Param& a, const D3Param& b) noexcept
{
    return a.f == b.f && a.Rx == b.Rx && a.Ry == b.Ry && a.Rz == b.Rz && a.lens == b.lens && a.k1 == b.k1 &&
           a.k2 == b.k2 && a.k3 == b.k3;
}

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

double InlierQuality(const match_graph::CGraphLink& link, std::size_t j) noexcept
{
    return j < link.inlierQuality.size() ? static_cast<double>(link.inlierQuality[j]) : 0.0;
}

}  // namespace

void Reset3dParams(D3Param& p) noexcept
{
    p.f = 1000.0;
    p.Rx = p.Ry = p.Rz = 0.0;
    p.lens = 0;
    p.k1 = p.k2 = p.k3 = 0.0;
}

double LensDistortion(double r, const D3Param& p) noexcept { return LensDistortion(r, p, g_ldPoynomType); }

double LensDistortion(double r, const D3Param& p, int polynomial) noexcept
{
    const double r2 = r * r;
    if (polynomial == 1)
        return 1.0 + p.k1 * r2 + p.k2 * r2 * r2;
    return 1.0 + p.k2 * r2 + p.k3 * r2 * r;
}

double WrapAngle180(double deg) noexcept
{
    if (!std::isfinite(deg))
        return 0.0;
    // fmod keeps the result exact and bounded for any magnitude; the two corrections
    // give the same range as repeated subtraction of 360 would.
    double a = std::fmod(deg, 360.0);
    if (a > 180.0)
        a -= 360.0;
    else if (a < -180.0)
        a += 360.0;
    return a;
}

int Count3dParams(const D3Param& world, const std::vector<D3Param>& cams, const std::vector<int>& order)
{
    int n = world.lens ? 3 : 0;
    for (int i : order)
        n += iNum3DParams + (cams[static_cast<std::size_t>(i)].lens ? 3 : 0);
    return n;
}

void Get3dParams(double* x, const D3Param& world, const std::vector<D3Param>& cams, const std::vector<int>& order)
{
    if (world.lens) {
        *x++ = world.k1 * LensDistScaleFactor1;
        *x++ = world.k2 * LensDistScaleFactor2;
        *x++ = world.k3 * LensDistScaleFactor3;
    }
    for (int i : order) {
        const D3Param& c = cams[static_cast<std::size_t>(i)];
        *x++ = c.f;
        *x++ = c.Rx;
        *x++ = c.Ry;
        *x++ = c.Rz;
        if (c.lens) {
            *x++ = c.k1 * LensDistScaleFactor1;
            *x++ = c.k2 * LensDistScaleFactor2;
            *x++ = c.k3 * LensDistScaleFactor3;
        }
    }
}

bool Set3dParams(D3Param& world, std::vector<D3Param>& cams, const double* x, const std::vector<int>& order)
{
    bool finite = true;
    auto angle = [&](double v) {
        finite = finite && std::isfinite(v);
        return WrapAngle180(v);
    };
    auto value = [&](double v) {
        finite = finite && std::isfinite(v);
        return v;
    };
    if (world.lens) {
        world.k1 = value(*x++) / LensDistScaleFactor1;
        world.k2 = value(*x++) / LensDistScaleFactor2;
        world.k3 = value(*x++) / LensDistScaleFactor3;
    }
    for (int i : order) {
        D3Param& c = cams[static_cast<std::size_t>(i)];
        c.f = value(*x++);
        c.Rx = angle(*x++);
        c.Ry = angle(*x++);
        c.Rz = angle(*x++);
        if (c.lens) {
            c.k1 = value(*x++) / LensDistScaleFactor1;
            c.k2 = value(*x++) / LensDistScaleFactor2;
            c.k3 = value(*x++) / LensDistScaleFactor3;
        }
    }
    return finite;
}

// ---------------------------------------------------------------------------------------
// LMOptimizer

LMOptimizer::LMOptimizer(int m_, int n_) : m(std::max(m_, 0)), n(std::max(n_, 0))
{
    const std::size_t M = static_cast<std::size_t>(m), N = static_cast<std::size_t>(n);
    // x, fvec, diag, fjac, qtf, wa1, wa2, wa3, wa4
    m_doubles.assign(N + M + N + M * N + N + 3 * N + M, 0.0);
    m_ints.assign(N, 0);
    double* p = m_doubles.data();
    x = p;
    p += N;
    fvec = p;
    p += M;
    diag = p;
    p += N;
    fjac = p;
    p += M * N;
    qtf = p;
    p += N;
    wa1 = p;
    p += N;
    wa2 = p;
    p += N;
    wa3 = p;
    p += N;
    wa4 = p;
    ipvt = m_ints.data();
    ftol = xtol = gtol = 2.220446049250313e-16;
    maxfev = 10000 * (n + 1);
    epsfcn = 2.220446049250313e-15;
    mode = 1;
    factor = 100.0;
    nprint = -1;
}

int LMOptimizer::Run(cminpack_func_mn fcn, void* p)
{
    info = lmdif(fcn, p, m, n, x, fvec, ftol, xtol, gtol, maxfev, epsfcn, diag, mode, factor, nprint, &nfev, fjac,
                 m, ipvt, qtf, wa1, wa2, wa3, wa4);
    return info;
}

// ---------------------------------------------------------------------------------------
// Bundle adjustment

namespace Tiled_Panorama {

std::vector<KeyPosition> KeyPositionsOf(const CImageDataBase* record)
{
    std::vector<KeyPosition> out;
    if (!record)
        return out;
    out.reserve(record->m_keys.size());
    for (std::size_t i = 0; i < record->m_keys.size(); ++i) {
        const ScaleSpace::SIFT* k = record->m_keys[i];
        out.push_back(k ? KeyPosition{k->x, k->y} : KeyPosition{});
    }
    return out;
}

// The matches of one link, prepared once per optimisation: centred keypoints and
// weights of the usable matches, and where their residuals go.
struct CBundleAdjustment::LinkTerm {
    int a = 0;  // the photo whose list holds the link
    int b = 0;  // its other photo
    std::size_t offset = 0;
    std::vector<double> pa;  // x, y interleaved, centred on A
    std::vector<double> pb;
    std::vector<double> w;
};

struct CBundleAdjustment::Problem {
    std::vector<int> order;
    std::vector<LinkTerm> terms;
    std::vector<double> residuals;  // the last sweep's values, in lmdif order
    std::vector<D3Param> lastCams;  // per photo: camera values of the last sweep
    D3Param lastWorld;
    std::vector<char> changed;      // per photo, scratch of one sweep
    bool haveLast = false;
    bool aborted = false;
    bool failed = false;
    long evaluations = 0;
};

void CBundleAdjustment::EvaluateLink(const LinkTerm& t, double* out) const
{
    D3Param CA = m_params[static_cast<std::size_t>(t.a)];
    D3Param CB = m_params[static_cast<std::size_t>(t.b)];
    if (m_lensMode == 1) {
        for (D3Param* c : {&CA, &CB}) {
            c->lens = 1;
            c->k1 = m_worldParams.k1;
            c->k2 = m_worldParams.k2;
            c->k3 = m_worldParams.k3;
        }
    }
    double HBA[3][3], HAB[3][3];
    PixelHomography(HBA, CA, CB);
    PixelHomography(HAB, CB, CA);
    const std::size_t count = t.w.size();
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
        const double r = t.w[j] * ((dax * dax + day * day) + (dbx * dbx + dby * dby));
        out[j] = std::isfinite(r) ? r : kHugeResidual;
    }
}

int CBundleAdjustment::LMCalcMatchingError2(void* p, int m, int n, const double* x, double* fvec, int /*iflag*/)
{
    auto* self = static_cast<CBundleAdjustment*>(p);
    Problem& P = *self->m_problem;
    // Nothing may unwind through lmdif (C code): every failure ends the run by a
    // negative answer and is reported after it.
    try {
        ++P.evaluations;
        if (self->m_abort && self->m_abort()) {
            P.aborted = true;
            return -1;
        }
        if (!Set3dParams(self->m_worldParams, self->m_params, x, P.order))
            return -1;  // diverged: the cameras from before the run are restored
        const bool lensChanged = !P.haveLast || !self->m_bPartialSweeps ||
                                 (self->m_lensMode == 1 && !SameValues(P.lastWorld, self->m_worldParams));
        std::vector<char>& changed = P.changed;
        changed.assign(self->m_params.size(), 0);
        for (int i : P.order) {
            const std::size_t k = static_cast<std::size_t>(i);
            changed[k] = lensChanged || !SameValues(P.lastCams[k], self->m_params[k]);
        }
        for (const LinkTerm& t : P.terms)
            if (changed[static_cast<std::size_t>(t.a)] || changed[static_cast<std::size_t>(t.b)])
                self->EvaluateLink(t, P.residuals.data() + t.offset);
        for (int i : P.order)
            P.lastCams[static_cast<std::size_t>(i)] = self->m_params[static_cast<std::size_t>(i)];
        P.lastWorld = self->m_worldParams;
        P.haveLast = true;
        if (static_cast<std::size_t>(m) != P.residuals.size() || n < 0)
            return -1;
        std::copy(P.residuals.begin(), P.residuals.end(), fvec);
    } catch (...) {
        P.failed = true;
        return -1;
    }
    return 1;
}

void CBundleAdjustment::BuildProblem(const std::vector<int>& order,
                                     const std::vector<std::vector<const match_graph::CGraphLink*>>& links, Problem& P) const
{
    P.order = order;
    const std::size_t photos = m_params.size();
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
            if (t.b < 0 || b >= photos || a >= m_imageSizes.size() || b >= m_imageSizes.size())
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
                // A match naming a keypoint that does not exist gives no residual, so the
                // count handed to lmdif is exactly the number written.
                if (ka[j] < 0 || kb[j] < 0 || static_cast<std::size_t>(ka[j]) >= kpa.size() ||
                    static_cast<std::size_t>(kb[j]) >= kpb.size())
                    continue;
                const KeyPosition& pa = kpa[static_cast<std::size_t>(ka[j])];
                const KeyPosition& pb = kpb[static_cast<std::size_t>(kb[j])];
                t.pa.push_back(pa.x - cax);
                t.pa.push_back(pa.y - cay);
                t.pb.push_back(pb.x - cbx);
                t.pb.push_back(pb.y - cby);
                t.w.push_back(1.0 - InlierQuality(*link, j) / 1000.0 / rho2);
            }
            t.offset = m;
            m += t.w.size();
            if (!t.w.empty())
                P.terms.push_back(std::move(t));
        }
    }
    P.residuals.assign(m, 0.0);
    P.lastCams.assign(photos, D3Param{});
}

void CBundleAdjustment::RunImageParamsOptimizer(const std::vector<int>& order,
                                                const std::vector<std::vector<const match_graph::CGraphLink*>>& links)
{
    Problem P;
    BuildProblem(order, links, P);
    const std::size_t m = P.residuals.size();
    const int n = Count3dParams(m_worldParams, m_params, order);
    if (m > static_cast<std::size_t>(std::numeric_limits<int>::max() / std::max(n, 1)))
        throw std::bad_alloc();  // the Jacobian alone would not fit

    LMOptimizer lm(static_cast<int>(m), n);
    lm.ftol = 1e-4;
    Get3dParams(lm.x, m_worldParams, m_params, order);
    const D3Param worldBefore = m_worldParams;
    const std::vector<D3Param> camsBefore = m_params;

    m_problem = &P;
    lm.Run(&CBundleAdjustment::LMCalcMatchingError2, this);
    m_problem = nullptr;
    m_lastEvaluations = P.evaluations;

    if (!Set3dParams(m_worldParams, m_params, lm.x, order) || P.failed || P.aborted) {
        // A diverged, failed or cancelled run leaves the cameras as they were.
        m_worldParams = worldBefore;
        m_params = camsBefore;
    }
    if (P.aborted)
        throw panorama_abort();
    if (P.failed)
        throw std::bad_alloc();
}

std::vector<std::vector<double>> CBundleAdjustment::EvaluateResiduals(
    const std::vector<int>& order, const std::vector<std::vector<const match_graph::CGraphLink*>>& links,
    const std::vector<std::vector<double>>& xs)
{
    Problem P;
    BuildProblem(order, links, P);
    const int m = static_cast<int>(P.residuals.size());
    const int n = Count3dParams(m_worldParams, m_params, order);
    std::vector<std::vector<double>> out;
    m_problem = &P;
    for (const std::vector<double>& x : xs) {
        std::vector<double> f(P.residuals.size(), 0.0);
        if (static_cast<int>(x.size()) == n)
            LMCalcMatchingError2(this, m, n, x.data(), f.data(), 2);
        out.push_back(std::move(f));
    }
    m_problem = nullptr;
    return out;
}

bool CBundleAdjustment::InitalizeParamsByAffineM2(int placed, int added, const match_graph::CGraphLink* link)
{
    if (!link)
        return false;
    const std::size_t a = static_cast<std::size_t>(placed), b = static_cast<std::size_t>(added);
    if (placed < 0 || added < 0 || a >= m_params.size() || b >= m_params.size() || a >= m_imageSizes.size() ||
        b >= m_imageSizes.size())
        return false;
    double M[3][3];  // B's pixels to A's
    if (placed == link->id2)
        Utils::copy_matrix_3x3(M, link->m);
    else if (!Utils::pinv3x3(M, link->m))
        return false;
    if (!Utils::IsFiniteMatrix3x3(M))
        return false;
    const double WA = m_imageSizes[a].cx, HA = m_imageSizes[a].cy;
    const double cbx = m_imageSizes[b].cx / 2.0, cby = m_imageSizes[b].cy / 2.0;
    const double mx = M[0][0] * cbx + M[0][1] * cby + M[0][2];
    const double my = M[1][0] * cbx + M[1][1] * cby + M[1][2];
    const double rot = std::atan(-M[1][0] / M[0][0]);
    const double c = std::cos(rot);
    const double sx = std::fabs(M[0][0] / c), sy = std::fabs(M[1][1] / c);
    const double s = std::fabs(sx - 1.0) <= std::fabs(sy - 1.0) ? sx : sy;
    const D3Param& A = m_params[a];
    // A zero or non-finite scale would give an infinite focal length: no guess.
    if (!std::isfinite(s) || s <= 0.0 || !std::isfinite(A.f) || A.f <= 0.0)
        return false;
    D3Param B = m_params[b];
    B.f = A.f / s;
    B.Rz = M[0][0] >= 0.0 ? A.Rz - rot * kRadToDeg : A.Rz + rot * kRadToDeg;
    B.Ry = A.Ry + std::atan((mx - WA / 2.0) / A.f) * kRadToDeg;
    B.Rx = A.Rx - std::atan((my - HA / 2.0) / A.f) * kRadToDeg;
    if (!IsFinite(B) || B.f <= 0.0)
        return false;
    m_params[b] = B;
    return true;
}

bool CBundleAdjustment::DoBundleAdjustment2()
{
    m_order.clear();
    try {
        const std::size_t photos = m_imageSizes.size();
        m_imageLinks.assign(photos, {});
        // The remaining links; `refused` marks a link whose transform gave no first
        // guess: it cannot place a photo, but still joins two photos placed otherwise.
        struct Remaining {
            const match_graph::CGraphLink* link;
            bool refused;
        };
        std::vector<Remaining> remaining;
        if (m_graph) {
            for (const match_graph::CGraphLink* link : m_graph->links) {
                if (link && link->id1 >= 0 && link->id2 >= 0 && link->id1 != link->id2 &&
                    static_cast<std::size_t>(link->id1) < photos && static_cast<std::size_t>(link->id2) < photos)
                    remaining.push_back({link, false});
            }
        }
        if (remaining.empty() || m_worldImage < 0 || static_cast<std::size_t>(m_worldImage) >= photos) {
            m_imageLinks.clear();
            return false;
        }

        m_order.push_back(m_worldImage);
        if (m_lensMode == 1) {
            Reset3dParams(m_worldParams);
            m_worldParams.lens = 1;
        } else {
            m_worldParams.lens = 0;  // the parameter layout must match the residuals
        }
        m_params.resize(photos);
        Reset3dParams(m_params[static_cast<std::size_t>(m_worldImage)]);
        std::vector<char> placed(photos, 0);
        placed[static_cast<std::size_t>(m_worldImage)] = 1;

        while (m_order.size() < photos) {
            // The strongest remaining link from a placed photo; the first one found wins ties.
            std::size_t best = remaining.size();
            int bestPlaced = -1;
            for (int p : m_order) {
                for (std::size_t k = 0; k < remaining.size(); ++k) {
                    const auto* link = remaining[k].link;
                    if (remaining[k].refused || (link->id1 != p && link->id2 != p))
                        continue;
                    if (best == remaining.size() || link->inliers > remaining[best].link->inliers) {
                        best = k;
                        bestPlaced = p;
                    }
                }
            }
            if (best == remaining.size())
                break;  // photos without a link to the placed ones stay out
            const match_graph::CGraphLink* link = remaining[best].link;
            const int added = link->id1 == bestPlaced ? link->id2 : link->id1;
            const std::size_t ad = static_cast<std::size_t>(added);
            const D3Param before = m_params[ad];
            Reset3dParams(m_params[ad]);
            if (!InitalizeParamsByAffineM2(bestPlaced, added, link)) {
                m_params[ad] = before;
                remaining[best].refused = true;
                continue;
            }
            remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(best));
            m_order.push_back(added);
            placed[ad] = 1;
            m_imageLinks[static_cast<std::size_t>(bestPlaced)].push_back(link);
            // Every remaining link between two placed photos joins the lists now. Pairs
            // among the earlier photos were drained before, so only pairs with the added
            // photo (last in the order) can still have one.
            for (std::size_t i = 0; i + 1 < m_order.size(); ++i) {
                const int pi = m_order[i];
                for (std::size_t k = 0; k < remaining.size();) {
                    const auto* l = remaining[k].link;
                    if ((l->id1 == pi && l->id2 == added) || (l->id1 == added && l->id2 == pi)) {
                        m_imageLinks[static_cast<std::size_t>(pi)].push_back(l);
                        remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(k));
                    } else {
                        ++k;
                    }
                }
            }
            if (!m_bAdjustOnce)
                RunImageParamsOptimizer(m_order, m_imageLinks);
        }
        if (m_bAdjustOnce)
            RunImageParamsOptimizer(m_order, m_imageLinks);
        m_imageLinks.clear();
        return true;
    } catch (const panorama_abort&) {
        m_imageLinks.clear();
        throw;
    } catch (const std::exception&) {
        // Out of memory or another library failure: a failed adjustment, not a crash.
        m_imageLinks.clear();
        m_order.clear();
        return false;
    }
}

}  // namespace Tiled_Panorama
