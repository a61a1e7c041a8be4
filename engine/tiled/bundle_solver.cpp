// The optimiser of the tiled engine's bundle adjustment: LMOptimizer over MINPACK's
// lmdif and its residual function.
//
// Residuals: for every match j between placed photos A and B, with centred keypoints
// pA, pB (multiplied by the lens factor L(|p|) when lens terms apply) and the pixel
// homographies H_AB = K_B R_B R_A^T K_A^-1, H_BA = its counterpart, one residual
//     w_j (|pA - pi(H_BA pB)|^2 + |pB - pi(H_AB pA)|^2),   w_j = 1 - q_j / 1000 / rho^2,
// the weighted symmetric squared transfer error, over the values of Get3dParams' layout
// (focal lengths in full-size pixels, angles in degrees, lens terms times 10000): every
// placed camera's focal length and angles are free, the reference photo's included.
//
// lmdif forms its Jacobian by forward differences, changing one value per call. A link's
// residuals depend on its two cameras and the shared lens only, so such a call starts
// from the residuals of the last full evaluation and evaluates again only the links that
// read the changed value (all of them for a lens term).
//
// Each optimisation owns its state (an Optimisation: the problem, the optimiser and what
// it cost), which lmdif hands back to the residual function. lmdif runs on a worker
// thread while the build's thread polls for a cancel (LMWorkers): between two residual
// calls lmdif factorises its m x n Jacobian, which on a large mosaic takes longer than
// the window may go without an answer. A cancelled optimisation is left to end on its
// own; it reads nothing outside itself.
#include "engine/tiled/camera_params.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>

#include "core/linalg.h"
#include "core/match_graph.h"
#include "core/panorama_exceptions.h"

LMOptimizer::LMOptimizer(int m_, int n_)
    : m(m_),
      n(n_),
      x(static_cast<std::size_t>(std::max(n_, 0))),
      fvec(static_cast<std::size_t>(std::max(m_, 0))),
      diag(x.size()),
      fjac(fvec.size() * x.size()),
      ipvt(x.size()),
      qtf(x.size()),
      ftol(2.220446049250313e-16),
      xtol(2.220446049250313e-16),
      gtol(2.220446049250313e-16),
      maxfev(10000 * (n_ + 1)),
      epsfcn(2.220446049250313e-15),
      factor(100.0),
      mode(1),
      nprint(-1),
      m_work(3 * x.size() + fvec.size())
{
    wa1 = m_work.data();
    wa2 = wa1 + x.size();
    wa3 = wa2 + x.size();
    wa4 = wa3 + x.size();
}

int LMOptimizer::Run(cminpack_func_mn fcn, void* p)
{
    info = lmdif(fcn, p, m, n, x.data(), fvec.data(), ftol, xtol, gtol, maxfev, epsfcn, diag.data(), mode, factor,
                 nprint, &nfev, fjac.data(), m, ipvt.data(), qtf.data(), wa1, wa2, wa3, wa4);
    return info;
}

int LMJob::Call(void* p, int m, int n, const double* x, double* fvec, int iflag)
{
    LMJob& job = *static_cast<LMJob*>(p);
    // Nothing may unwind through lmdif (C): a failure ends it and is rethrown after it.
    try {
        if (job.m_onCall)
            job.m_onCall(iflag);
        if (job.m_handshake && iflag != 2) {  // a new point: the caller polls first
            std::unique_lock<std::mutex> lock(job.m_mutex);
            job.m_pollWanted = true;
            job.m_changed.notify_all();
            job.m_changed.wait(lock, [&] { return !job.m_pollWanted || job.m_stop.load(); });
        }
        if (job.m_stop.load(std::memory_order_relaxed))
            return -1;
        return job.Residuals(m, n, x, fvec, iflag);
    } catch (...) {
        job.m_failure = std::current_exception();
        return -1;
    }
}

bool LMJob::WaitsForPoll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pollWanted;
}

bool LMWorkers::Run(const std::shared_ptr<LMJob>& job, const std::function<bool()>& abort)
{
    Join();  // jobs left by an earlier cancel have ended or end within a step
    job->m_onCall = m_onResidualCall;
    if (!abort) {
        job->lm.Run(&LMJob::Call, job.get());
    } else {
        job->m_handshake = true;
        m_left.reserve(m_left.size() + 1);  // keeping the worker below cannot fail
        std::thread worker([job] {
            job->lm.Run(&LMJob::Call, job.get());
            std::lock_guard<std::mutex> lock(job->m_mutex);
            job->m_done = true;
            job->m_changed.notify_all();
        });
        std::unique_lock<std::mutex> lock(job->m_mutex);
        for (;;) {
            job->m_changed.wait_for(lock, kPollInterval, [&] { return job->m_done || job->m_pollWanted; });
            if (job->m_done)
                break;
            const bool wanted = job->m_pollWanted;  // a request made during the poll gets its own
            lock.unlock();
            std::exception_ptr failure;
            bool stop = true;
            try {
                stop = abort();
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (stop) {
                job->m_stop = true;
                job->m_changed.notify_all();
                lock.unlock();
                m_left.push_back(std::move(worker));
                if (failure)
                    std::rethrow_exception(failure);
                return false;
            }
            if (wanted) {
                job->m_pollWanted = false;
                job->m_changed.notify_all();
            }
        }
        lock.unlock();
        worker.join();
    }
    if (job->m_failure)
        std::rethrow_exception(job->m_failure);
    return true;
}

void LMWorkers::Join()
{
    for (std::thread& t : m_left)
        t.join();
    m_left.clear();
}

namespace Tiled_Panorama {

namespace {

using Clock = std::chrono::steady_clock;

// A residual that cannot be computed (a match projected onto the horizon of the other
// camera) counts as this large but finite error, so the step that caused it is refused.
constexpr double kHugeResidual = 1e15;
constexpr double kFtol = 1e-4;

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

// The matches of one link, centred, with their weights, and where its residuals go.
struct CBundleAdjustment::LinkTerm {
    int posA = 0, posB = 0;     // layout positions of the two cameras' f
    int lensA = -1, lensB = -1; // layout positions of each camera's lens terms, -1: none
    std::size_t offset = 0;     // its first residual
    std::vector<double> pa, pb; // centred keypoints, x y x y ...
    std::vector<double> w;      // the matches' weights
};

// The links of one optimisation, and the state of the residual function between calls.
struct CBundleAdjustment::Problem {
    std::vector<LinkTerm> terms;
    std::size_t residuals = 0;
    int values = 0;             // length of the layout, all of it adjusted
    int sharedLens = -1;        // layout position of the shared lens terms when they apply, else -1
    int polynomial = 1;         // the lens polynomial (g_ldPoynomType when it was built)
    // Per value of the layout, the links that read it; a shared lens term is read by all.
    std::vector<std::vector<int>> readers;
    // The point and the residuals of the last full evaluation.
    std::vector<double> baseX, baseF;
    bool haveBase = false;
    Cost cost;                  // runs and totalSeconds stay 0
};

// One optimisation as a job that a worker thread can finish alone.
struct CBundleAdjustment::Optimisation : LMJob {
    explicit Optimisation(Problem&& p) : LMJob(static_cast<int>(p.residuals), p.values), P(std::move(p)) {}
    int Residuals(int m, int n, const double* x, double* fvec, int iflag) override
    {
        return LMCalcMatchingError2(P, m, n, x, fvec, iflag);
    }
    Problem P;
};

void CBundleAdjustment::EvaluateLink(const LinkTerm& t, const Problem& P, const double* x, double* out)
{
    auto camera = [&](int pos, int lens) {
        D3Param c;
        c.f = x[pos];
        c.Rx = x[pos + 1];
        c.Ry = x[pos + 2];
        c.Rz = x[pos + 3];
        const int l = P.sharedLens >= 0 ? P.sharedLens : lens;
        if (l >= 0) {
            c.lens = 1;
            c.k1 = x[l] / LensDistScaleFactor1;
            c.k2 = x[l + 1] / LensDistScaleFactor2;
            c.k3 = x[l + 2] / LensDistScaleFactor3;
        }
        return c;
    };
    const D3Param CA = camera(t.posA, t.lensA), CB = camera(t.posB, t.lensB);
    double HBA[3][3], HAB[3][3];
    PixelHomography(HBA, CA, CB);
    PixelHomography(HAB, CB, CA);
    const std::size_t count = t.w.size();
    for (std::size_t j = 0; j < count; ++j) {
        double ax = t.pa[2 * j], ay = t.pa[2 * j + 1];
        double bx = t.pb[2 * j], by = t.pb[2 * j + 1];
        if (CA.lens) {
            const double l = LensDistortion(std::sqrt(ax * ax + ay * ay), CA, P.polynomial);
            ax *= l;
            ay *= l;
        }
        if (CB.lens) {
            const double l = LensDistortion(std::sqrt(bx * bx + by * by), CB, P.polynomial);
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
        const double r = t.w[j] * (dax * dax + day * day + dbx * dbx + dby * dby);
        out[j] = std::isfinite(r) ? r : kHugeResidual;
    }
}

int CBundleAdjustment::LMCalcMatchingError2(Problem& P, int m, int n, const double* x, double* fvec, int iflag)
{
    const Clock::time_point start = Clock::now();
    const std::size_t N = static_cast<std::size_t>(n), M = static_cast<std::size_t>(m);
    // One value changed since the last full evaluation: only the links that read it.
    int changed = -1;
    if (iflag == 2 && P.haveBase) {
        for (std::size_t k = 0; k < N; ++k)
            if (x[k] != P.baseX[k]) {
                if (changed >= 0) {
                    changed = -2;
                    break;
                }
                changed = static_cast<int>(k);
            }
    }
    if (changed >= 0) {
        std::memcpy(fvec, P.baseF.data(), M * sizeof(double));
        for (int k : P.readers[static_cast<std::size_t>(changed)]) {
            const LinkTerm& t = P.terms[static_cast<std::size_t>(k)];
            EvaluateLink(t, P, x, fvec + t.offset);
        }
        ++P.cost.columns;
    } else {
        for (const LinkTerm& t : P.terms)
            EvaluateLink(t, P, x, fvec + t.offset);
        ++P.cost.evaluations;
        if (iflag != 2) {
            P.baseX.assign(x, x + N);
            P.baseF.assign(fvec, fvec + M);
            P.haveBase = true;
        }
    }
    P.cost.residualSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    return 1;
}

void CBundleAdjustment::BuildProblem(const std::vector<int>& order,
                                     const std::vector<std::vector<const match_graph::CGraphLink*>>& links,
                                     Problem& P) const
{
    P.polynomial = g_ldPoynomType;
    const std::size_t photos = m_params.size();
    // Layout positions, as Get3dParams writes them.
    std::vector<int> camPos(photos, -1);
    // The shared lens leads the layout whenever its flag is set; it applies in lens
    // mode 1 only (otherwise no link reads it and lmdif leaves it where it is).
    int pos = m_worldParams.lens ? 3 : 0;
    if (m_worldParams.lens && m_lensMode == 1)
        P.sharedLens = 0;
    for (int i : order) {
        camPos[static_cast<std::size_t>(i)] = pos;
        pos += iNum3DParams + (m_params[static_cast<std::size_t>(i)].lens ? 3 : 0);
    }
    P.values = pos;
    P.readers.assign(static_cast<std::size_t>(pos), {});

    const double rho2 = m_matchRatio * m_matchRatio;
    std::size_t m = 0;
    for (int ia : order) {
        const std::size_t a = static_cast<std::size_t>(ia);
        if (a >= links.size())
            continue;
        for (const match_graph::CGraphLink* link : links[a]) {
            const int ib = link->id1 == ia ? link->id2 : link->id1;
            const std::size_t b = static_cast<std::size_t>(ib);
            if (ib < 0 || b >= photos || a >= m_imageSizes.size() || b >= m_imageSizes.size() || camPos[b] < 0 ||
                ib == ia)
                continue;
            LinkTerm t;
            // ia and ib: the keypoint lists of a and of b
            const std::vector<int>& ka = link->id1 == ia ? link->keys1 : link->keys2;
            const std::vector<int>& kb = link->id1 == ia ? link->keys2 : link->keys1;
            static const std::vector<KeyPosition> none;
            const auto& kpa = a < m_keypoints.size() ? m_keypoints[a] : none;
            const auto& kpb = b < m_keypoints.size() ? m_keypoints[b] : none;
            const double cax = m_imageSizes[a].cx / 2.0, cay = m_imageSizes[a].cy / 2.0;
            const double cbx = m_imageSizes[b].cx / 2.0, cby = m_imageSizes[b].cy / 2.0;
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
                t.w.push_back(1.0 - InlierQuality(*link, j) / 1000.0 / rho2);
            }
            if (t.w.empty())
                continue;
            t.offset = m;
            m += t.w.size();
            t.posA = camPos[a];
            t.posB = camPos[b];
            if (m_params[a].lens)
                t.lensA = t.posA + iNum3DParams;
            if (m_params[b].lens)
                t.lensB = t.posB + iNum3DParams;
            const int k = static_cast<int>(P.terms.size());
            auto reads = [&](int first, int values) {
                for (int v = first; v < first + values; ++v) {
                    auto& r = P.readers[static_cast<std::size_t>(v)];
                    if (r.empty() || r.back() != k)
                        r.push_back(k);
                }
            };
            if (P.sharedLens >= 0) {
                reads(P.sharedLens, 3);
            } else {
                if (t.lensA >= 0)
                    reads(t.lensA, 3);
                if (t.lensB >= 0)
                    reads(t.lensB, 3);
            }
            reads(t.posA, iNum3DParams);
            reads(t.posB, iNum3DParams);
            P.terms.push_back(std::move(t));
        }
    }
    P.residuals = m;
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
    for (const std::vector<double>& x : xs) {
        std::vector<double> f(P.residuals, 0.0);
        if (x.size() == static_cast<std::size_t>(P.values)) {
            for (const LinkTerm& t : P.terms)
                EvaluateLink(t, P, x.data(), f.data() + t.offset);
            Set3dParams(m_worldParams, m_params, x.data(), order);
        }
        out.push_back(std::move(f));
    }
    return out;
}

void CBundleAdjustment::RunImageParamsOptimizer(const std::vector<int>& order,
                                                const std::vector<std::vector<const match_graph::CGraphLink*>>& links)
{
    Problem P;
    BuildProblem(order, links, P);
    const int n = P.values;
    // Fewer residuals than values: lmdif would refuse the problem, the cameras stay.
    if (n == 0 || P.residuals < static_cast<std::size_t>(n) ||
        P.residuals > static_cast<std::size_t>(std::numeric_limits<int>::max() / n))
        return;
    const Clock::time_point start = Clock::now();
    const auto job = std::make_shared<Optimisation>(std::move(P));
    LMOptimizer& lm = job->lm;
    lm.ftol = kFtol;
    Get3dParams(lm.x.data(), m_worldParams, m_params, order);
    if (!m_workers->Run(job, m_abort))
        throw panorama_abort();  // the cameras are written only after a whole run
    ++m_cost.runs;
    m_cost.totalSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    m_cost.evaluations += job->P.cost.evaluations;
    m_cost.columns += job->P.cost.columns;
    m_cost.residualSeconds += job->P.cost.residualSeconds;
    const D3Param worldBefore = m_worldParams;
    const std::vector<D3Param> camsBefore = m_params;
    if (!Set3dParams(m_worldParams, m_params, lm.x.data(), order)) {
        // A diverged run leaves the cameras as they were.
        m_worldParams = worldBefore;
        m_params = camsBefore;
    }
}

}  // namespace Tiled_Panorama
