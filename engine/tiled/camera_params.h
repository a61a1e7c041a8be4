// Camera model of the tiled engine and its bundle adjustment.
//
// Every photo is a pinhole camera turning about one common centre: a focal length in
// full-size photo pixels, three rotation angles in degrees (Utils::Calc3RotateMatrix)
// and optionally radial lens terms. The photos of one panorama come from one camera and
// lens: all share one focal length and one lens, adjusted for the whole set (each
// camera record still carries the focal length). Adjusted per photo, a row's or a
// ring's focal lengths are weakly determined and trade against the angles until the
// mosaic folds up. The cameras are estimated incrementally: the
// reference photo first, then, strongest link first, each photo that a link joins to
// the placed ones, with a first guess taken from the link's affine transform and a
// Levenberg-Marquardt refinement (forward-difference Jacobian) of all placed cameras
// over the squared transfer errors of every feature match between them. Each link's
// residuals depend on two cameras and the shared lens only, so the optimiser forms the
// small normal equations link by link (in parallel, summed in a fixed order, so the
// result does not depend on the thread count) instead of factoring the whole Jacobian.
#pragma once

#include <functional>
#include <vector>

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

namespace Tiled_Panorama {

// A keypoint position in full-size photo pixels, with the spacing (full-size pixels) of
// the pyramid samples it was found on: SIFT positions are whole samples of their
// octave, so their error grows with it (and coarse octaves also drift outwards where
// the perspective stretches a large blob unevenly).
struct KeyPosition {
    double x = 0.0;
    double y = 0.0;
    double spacing = 1.0;
};

// The keypoint positions of a feature store (null: none), in the store's order, so that
// the match lists' keypoint indices address them; `scale` is the factor that took the
// analysed working copy's pixels to full size (the store's positions are full size).
std::vector<KeyPosition> KeyPositionsOf(const CImageDataBase* record, double scale = 1.0);

// Cameras of one tiled build and their adjustment. The tiled engine owns one and fills
// the inputs before DoBundleAdjustment2; the results (m_worldParams, m_params,
// m_order) persist and feed every later render.
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
    // Optional cancellation, asked once per residual evaluation; true stops the
    // optimisation and DoBundleAdjustment2 throws panorama_abort.
    std::function<bool()> m_abort;

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

    // One optimisation of the cameras of `order` over the links in `links`. The first
    // camera of `order` keeps its angles (they fix the free overall rotation); its focal
    // length is the shared one, which every camera of `order` takes; every other angle
    // and the shared lens are adjusted.
    void RunImageParamsOptimizer(const std::vector<int>& order,
                                 const std::vector<std::vector<const match_graph::CGraphLink*>>& links);

    // First guess of the added photo's camera from the link's transform, turned by the
    // placed photo's rotation. False for a null link and for a degenerate transform (no
    // finite positive scale).
    bool InitalizeParamsByAffineM2(int placed, int added, const match_graph::CGraphLink* link);

    // The residuals at each parameter vector of xs (Get3dParams layout), in the
    // optimiser's order. Leaves the cameras at the last vector. For checks.
    std::vector<std::vector<double>> EvaluateResiduals(
        const std::vector<int>& order, const std::vector<std::vector<const match_graph::CGraphLink*>>& links,
        const std::vector<std::vector<double>>& xs);

    // The median distance, in pixels of the link's second photo, between its matched
    // keypoints and their partners carried over by the current cameras (and lens);
    // infinite when a partner falls behind the camera. 0 for a link without matches.
    double LinkTransferError(const match_graph::CGraphLink& link) const;
    // The same distance for each of the link's matches, in the link's order.
    std::vector<double> LinkTransferErrors(const match_graph::CGraphLink& link) const;

    // Threads of the optimiser: 0 lets it choose (one per core for large problems, else
    // one), n > 0 uses n. The result does not depend on it.
    int m_threads = 0;

    // Levenberg-Marquardt iterations of the last optimisation (for benchmarks).
    long m_lastIterations = 0;

private:
    // True when every link in m_imageLinks has a transfer error of a small part of a photo.
    bool LinksAgree() const;
    Misfit WorstLink() const;
    // Each link (with the photo whose list would hold it) joins when the adjustment with
    // it leaves every link agreeing; otherwise the cameras are put back. Empties `links`.
    void TryContradictedLinks(std::vector<std::pair<int, const match_graph::CGraphLink*>>& links);
    struct LinkTerm;
    struct Problem;
    void EvaluateLink(const LinkTerm& t, const Problem& P, const double* x, double* out) const;
    void BuildProblem(const std::vector<int>& order,
                      const std::vector<std::vector<const match_graph::CGraphLink*>>& links, Problem& P) const;
};

}  // namespace Tiled_Panorama
