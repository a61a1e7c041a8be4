// Camera model of the tiled engine and its bundle adjustment.
//
// Every photo is a pinhole camera turning about one common centre: its own focal length
// in full-size photo pixels, three rotation angles in degrees (Utils::Calc3RotateMatrix)
// and optionally radial lens terms, shared by the whole set. The cameras are estimated
// incrementally: the reference photo first, then, strongest link first, each photo that
// a link joins to the placed ones, with a first guess taken from the link's affine
// transform (its scale gives the focal length, so a zoomed photo starts at its own) and a
// Levenberg-Marquardt refinement of all placed cameras by MINPACK's lmdif over the
// transfer errors of every feature match between them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <cminpack.h>  // double precision unless told otherwise

#include "core/geometry.h"
#include "core/pair_matching.h"

class CImageDataBase;

namespace match_graph {
class CGraph;
class CGraphLink;
}  // namespace match_graph

// One camera.
struct D3Param {
    double f = 0.0;   // focal length, full-size photo pixels
    double Rx = 0.0;  // rotation angles, degrees
    double Ry = 0.0;
    double Rz = 0.0;
    int lens = 0;     // non-zero: the lens terms apply to this camera
    double k1 = 0.0;
    double k2 = 0.0;
    int reserved = 0;
    double k3 = 0.0;
};

// f = 1000, no rotation, no lens.
void Reset3dParams(D3Param& p) noexcept;

// Lens polynomial of the program: 1 selects L(r) = 1 + k1 r^2 + k2 r^4, any other
// value L(r) = 1 + k2 r^2 + k3 r^3. Set by the tiled engine from its options.
extern int g_ldPoynomType;

// L(r): the factor taking a photo point at distance r (pixels) from the photo centre
// to its position in the ideal pinhole image.
double LensDistortion(double r, const D3Param& p) noexcept;
// The same for an explicit polynomial type (a render uses the type it was prepared with).
double LensDistortion(double r, const D3Param& p, int polynomial) noexcept;

// Lens terms are carried in the parameter vector multiplied by these factors, so that
// the optimiser sees values of a size comparable to angles and focal lengths.
inline constexpr double LensDistScaleFactor1 = 10000.0;
inline constexpr double LensDistScaleFactor2 = 10000.0;
inline constexpr double LensDistScaleFactor3 = 10000.0;
inline constexpr int iNum3DParams = 4;  // f, Rx, Ry, Rz per camera

// Number of doubles Get3dParams writes for this layout.
int Count3dParams(const D3Param& world, const std::vector<D3Param>& cams, const std::vector<int>& order);

// Packs the shared lens (when world's lens flag is set), then per camera of `order`
// f, Rx, Ry, Rz and its own lens terms when its lens flag is set.
void Get3dParams(double* x, const D3Param& world, const std::vector<D3Param>& cams, const std::vector<int>& order);

// Reads the same layout back, unscales the lens terms and wraps every angle into
// [-180, 180]. A non-finite value never loops or reaches an integer: a non-finite angle
// becomes 0 and the answer is false when any value read was not finite.
bool Set3dParams(D3Param& world, std::vector<D3Param>& cams, const double* x, const std::vector<int>& order);

// Wraps an angle in degrees into [-180, 180]; non-finite gives 0.
double WrapAngle180(double deg) noexcept;

// Levenberg-Marquardt least squares by MINPACK's lmdif (forward-difference Jacobian):
// minimises the sum of the squares of m residuals over n parameters. The object owns
// every array; the caller fills x and may change any setting before Run.
class LMOptimizer {
public:
    // All arrays zero-filled; MINPACK's usual settings with machine precision as the
    // tolerances.
    LMOptimizer(int m, int n);
    LMOptimizer(const LMOptimizer&) = delete;
    LMOptimizer& operator=(const LMOptimizer&) = delete;

    // Runs lmdif from x with the residual function `fcn` (which receives `p`) and answers
    // its info code (0: bad input, x unchanged; 1-4: converged; 5: maxfev reached; 6-8:
    // tolerances too small; negative: fcn asked to stop). The solution is left in x.
    int Run(cminpack_func_mn fcn, void* p);

    int m;
    int n;
    std::vector<double> x;
    std::vector<double> fvec;
    std::vector<double> diag;
    std::vector<double> fjac;  // m x n, column-major (ldfjac = m)
    std::vector<int> ipvt;
    std::vector<double> qtf;
    int nfev = 0;
    int info = 0;
    double ftol, xtol, gtol;
    int maxfev;
    double epsfcn;
    double factor;
    int mode;
    int nprint;
    double* wa1;  // n
    double* wa2;  // n
    double* wa3;  // n
    double* wa4;  // m

private:
    std::vector<double> m_work;  // wa1, wa2, wa3, wa4 in that order: 3n + m
};

// One lmdif run that may be left to finish on a worker thread: it owns its optimiser and
// everything its residual function reads, so nothing it touches goes away with the caller.
class LMJob {
public:
    LMJob(int m, int n) : lm(m, n) {}
    virtual ~LMJob() = default;
    LMJob(const LMJob&) = delete;
    LMJob& operator=(const LMJob&) = delete;

    LMOptimizer lm;

    // True while lmdif, at a new point, waits for the caller's poll (for tests).
    bool WaitsForPoll();

protected:
    // lmdif's residual function, on the thread that runs lmdif; a negative answer stops
    // lmdif. It must not reach anything but the job (no progress display).
    virtual int Residuals(int m, int n, const double* x, double* fvec, int iflag) = 0;

private:
    friend class LMWorkers;
    static int Call(void* p, int m, int n, const double* x, double* fvec, int iflag);

    std::exception_ptr m_failure;       // thrown by Residuals; it ends lmdif
    std::function<void(int)> m_onCall;  // LMWorkers::m_onResidualCall of the runner
    std::atomic<bool> m_stop{false};    // the caller left: answer -1 at the next call
    bool m_handshake = false;           // a waiting caller polls at each new point
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_pollWanted = false;          // under m_mutex: lmdif waits at a new point
    bool m_done = false;                // under m_mutex: lmdif returned
};

// Runs lmdif jobs so that a cancel is answered while lmdif factorises its Jacobian (over a
// second on a large mosaic, with no residual call to poll from).
class LMWorkers {
public:
    LMWorkers() = default;
    ~LMWorkers() { Join(); }
    LMWorkers(const LMWorkers&) = delete;
    LMWorkers& operator=(const LMWorkers&) = delete;

    // Runs the job's optimiser with its residual function. Without `abort` on this thread.
    // Otherwise on a worker thread while this one asks `abort` whenever lmdif is about to
    // evaluate a new point (lmdif waits for the answer, as if the residual function asked)
    // and at least every kPollInterval. True when lmdif ended; an exception of the
    // residual function is rethrown here. When `abort` answers true (or throws, which is
    // rethrown), the job is told to stop and left to end on its own at its next residual
    // call, and the answer is false at once.
    bool Run(const std::shared_ptr<LMJob>& job, const std::function<bool()>& abort);
    // Waits for the jobs left running (each ends within one step of lmdif).
    void Join();

    static constexpr std::chrono::milliseconds kPollInterval{20};

    // For tests: called with lmdif's iflag on the thread that runs lmdif, first thing at
    // each residual call of the jobs run here from now on.
    std::function<void(int iflag)> m_onResidualCall;

private:
    std::vector<std::thread> m_left;  // workers of jobs left running
};

namespace Tiled_Panorama {

// A keypoint position in full-size photo pixels.
struct KeyPosition {
    double x = 0.0;
    double y = 0.0;
};

// The keypoint positions of a feature store (null: none), in the store's order, so that
// the match lists' keypoint indices address them.
std::vector<KeyPosition> KeyPositionsOf(const CImageDataBase* record);

// Cameras of one tiled build and their adjustment. The tiled engine fills the inputs
// before DoBundleAdjustment2; the results (m_worldParams, m_params, m_order) persist in
// the engine and feed every later render. Tests drive it without an engine.
class CBundleAdjustment {
public:
    // ---- inputs ----
    const match_graph::CGraph* m_graph = nullptr;         // links: full-size photo pixels
    std::vector<VarnoBase::Size> m_imageSizes;            // per photo, full size
    std::vector<std::vector<KeyPosition>> m_keypoints;    // per photo, full-size pixels
    double m_matchRatio = PanoramaRecognition::kLooseMatchRatio;  // nearest-neighbour ratio of matching
    int m_lensMode = 1;         // 0: no lens terms; 1: one lens for all photos in m_worldParams
    bool m_bAdjustOnce = false; // one optimisation after all photos instead of one per photo
    int m_worldImage = 0;       // reference photo
    // Optional cancellation, asked on the calling thread while lmdif runs on a worker (at
    // every new point and at least every LMWorkers::kPollInterval); true makes
    // DoBundleAdjustment2 throw panorama_abort at once.
    std::function<bool()> m_abort;
    // Where the optimisations run; a cancelled one is left there to end on its own. An
    // engine shares its own, so that this object's end does not wait for them.
    std::shared_ptr<LMWorkers> m_workers = std::make_shared<LMWorkers>();

    // ---- results ----
    D3Param m_worldParams;            // shared lens terms
    std::vector<D3Param> m_params;    // per photo
    std::vector<int> m_order;         // placed photos, in placing order
    // The link the final cameras fit worst: its photos and the 90th percentile of its
    // matches' transfer errors (LinkTransferErrors), in pixels and over the longer side
    // of its second photo. All zero without a link.
    struct Misfit {
        int id1 = -1, id2 = -1;
        double pixels = 0.0, relative = 0.0;
    } m_worstLink;

    // ---- working state of one adjustment ----
    std::vector<std::vector<const match_graph::CGraphLink*>> m_imageLinks;

    // The whole incremental adjustment. False when the graph has no usable link (then
    // m_order is empty) or when it ran out of memory. Throws panorama_abort when
    // m_abort asked to stop.
    bool DoBundleAdjustment2();

    // One optimisation (lmdif, ftol 1e-4) of the cameras of `order` and the shared lens
    // over the links in `links`. Fewer residuals than values leave the cameras as they
    // are, and so does a run that ends on values that are not finite.
    void RunImageParamsOptimizer(const std::vector<int>& order,
                                 const std::vector<std::vector<const match_graph::CGraphLink*>>& links);

    // The residual function of RunImageParamsOptimizer (called by lmdif on the problem that
    // the optimisation owns): per match w (|pA - pi(H_BA pB)|^2 + |pB - pi(H_AB pA)|^2),
    // w = 1 - q / 1000 / rho^2 (bundle_solver.cpp). Answers 1.
    struct Problem;
    static int LMCalcMatchingError2(Problem& P, int m, int n, const double* x, double* fvec, int iflag);

    // First guess of the added photo's camera from the link's transform: focal length the
    // placed photo's over the transform's scale, the turn it shows composed with the
    // placed photo's rotation. False for a null link and for a degenerate transform (no
    // finite positive scale).
    bool InitalizeParamsByAffineM2(int placed, int added, const match_graph::CGraphLink* link);

    // The residuals at each parameter vector of xs (Get3dParams layout), in the
    // optimiser's order (one per match). Leaves the cameras at the last vector. For checks.
    std::vector<std::vector<double>> EvaluateResiduals(
        const std::vector<int>& order, const std::vector<std::vector<const match_graph::CGraphLink*>>& links,
        const std::vector<std::vector<double>>& xs);

    // The median distance, in pixels of the link's second photo, between its matched
    // keypoints and their partners carried over by the current cameras (and lens);
    // infinite when a partner falls behind the camera. 0 for a link without matches.
    double LinkTransferError(const match_graph::CGraphLink& link) const;
    // The same distance for each of the link's matches, in the link's order.
    std::vector<double> LinkTransferErrors(const match_graph::CGraphLink& link) const;

    // What the optimisations of the last DoBundleAdjustment2 cost (for benchmarks).
    struct Cost {
        long runs = 0;            // lmdif runs
        long evaluations = 0;     // residual calls at a new point (all links)
        long columns = 0;         // residual calls for one Jacobian column (the links it touches)
        double residualSeconds = 0.0;  // inside the residual function
        double totalSeconds = 0.0;     // inside lmdif
    } m_cost;

private:
    // True when every link in m_imageLinks has a transfer error of a small part of a photo.
    bool LinksAgree() const;
    Misfit WorstLink() const;
    // Each link (with the photo whose list would hold it) joins when the adjustment with
    // it leaves every link agreeing; otherwise the cameras are put back. Empties `links`.
    void TryContradictedLinks(std::vector<std::pair<int, const match_graph::CGraphLink*>>& links);
    struct LinkTerm;
    struct Optimisation;
    static void EvaluateLink(const LinkTerm& t, const Problem& P, const double* x, double* out);
    void BuildProblem(const std::vector<int>& order,
                      const std::vector<std::vector<const match_graph::CGraphLink*>>& links, Problem& P) const;
};

}  // namespace Tiled_Panorama
