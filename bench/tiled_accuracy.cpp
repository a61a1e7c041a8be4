// tiled_accuracy: stitches a generated mosaic or ring with the tiled engine and measures
// its cameras against the generator's truth, to find where a misalignment comes from.
//
//   tiled_accuracy [--mosaic RxC | --ring N] [--width W] [--height H] [--overlap F]
//                  [--seed S] [--lens on|off] [--render] [--keys] [--cost]
//                  [--focal F] [--zoom Z1,Z2,...] [--photo FILE [--span DEG]]
//
// --focal, --zoom, --photo and --span as make_scene's: a mosaic's focal length, its
// photos' zoom factors, a photograph on the sphere as the scene and the degrees its
// width spans.
//
// Prints the link the adjusted cameras fit worst (the 90th percentile of its matches'
// misalignment, which the engine's plausibility check reads), per photo the focal
// length error (per cent) and the error of its rotation relative to the reference photo
// (degrees), the links, then misalignments in photo pixels as median / 90th percentile
// / maximum:
//  * pair: a grid of pixels of each photo mapped into every other photo that sees them
//    through the estimated cameras (lens included) and through the true ones: the
//    ghosting where photos overlap;
//  * tile / shape: the grid's directions (estimated cameras, turned into the true frame
//    by the reference photo) against the true ones, on the sphere in pixels of the true
//    focal length; `tile` is the spread within each 400-pixel tile, `shape` each tile's
//    mean displacement left by a global affine fit (what registering the whole result
//    to the truth leaves);
//  * --render: the full-size result rendered on a cylinder and registered per 400-pixel
//    tile to the true scene rendered through the same surface; `rtile` the tiles'
//    displacements, `rshape` the same less their global affine fit (cameras, projection
//    and blending together).
// --keys: the matched keypoints' error against the truth per octave, with its mean
// component away from the photo centre (a radial bias scales the focal lengths); per link
// its matches' misfit against the true and the estimated cameras (few or imprecise
// matches leave a photo's camera loose); per photo its rotation error as pitch, yaw and
// roll about its own axes; and `pair` per pair of photos (which photo is off).
// --cost (with --lens off): the adjustment's cost at the estimate and at the truth
// (higher at the truth: the keypoints are biased, not the optimiser).
// Runs the engine on its own threads; everything else on the calling thread.
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/rotating_set.h"
#include "core/keypoints.h"
#include "core/linalg.h"
#include "core/match_graph.h"
#include "core/pano_element.h"
#include "document/engine_host.h"
#include "engine/tiled/camera_params.h"
#include "engine/tiled/panorama.h"
#include "engine/tiled/surface.h"
#include "tests/support/scene.h"

namespace {

constexpr double kPi = 3.141592653589793;

struct Stats {
    std::vector<double> v;
    void add(double x) { v.push_back(x); }
    double q(double p)
    {
        if (v.empty())
            return 0.0;
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, static_cast<std::size_t>(p * double(v.size())))];
    }
    void print(const char* label)
    {
        std::printf("%-8s median %.3f  p90 %.3f  max %.3f  (n=%zu)\n", label, q(0.5), q(0.9), q(1.0), v.size());
    }
};

// Least-squares affine map of displacements (dx, dy) over positions (x, y): what
// registering a whole result to the truth removes.
struct AffineFit {
    double N[3][3] = {}, bx[3] = {}, by[3] = {}, ax[3] = {}, ay[3] = {};
    void Add(double x, double y, double dx, double dy)
    {
        const double p[3] = {x, y, 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                N[r][c] += p[r] * p[c];
            bx[r] += p[r] * dx;
            by[r] += p[r] * dy;
        }
    }
    void Solve()
    {
        double Ni[3][3];
        Utils::pinv3x3(Ni, N);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                ax[r] += Ni[r][c] * bx[c];
                ay[r] += Ni[r][c] * by[c];
            }
    }
    double X(double x, double y) const { return ax[0] * x + ax[1] * y + ax[2]; }
    double Y(double x, double y) const { return ay[0] * x + ay[1] * y + ay[2]; }
};

// Direction (world frame of the camera record) of a full-size photo pixel.
void EstimatedRay(const D3Param& c, const D3Param& lens, int lensMode, double W, double H, double px, double py,
                  double d[3])
{
    double u = px - W / 2.0, v = py - H / 2.0;
    const D3Param& l = lensMode == 1 ? lens : c;
    if (lensMode == 1 || c.lens) {
        const double s = LensDistortion(std::hypot(u, v), l);
        u *= s;
        v *= s;
    }
    double R[3][3];
    Utils::Calc3RotateMatrix(R, c.Rx, c.Ry, c.Rz);
    const double k[3] = {u / c.f, v / c.f, 1.0};
    for (int i = 0; i < 3; ++i)
        d[i] = R[0][i] * k[0] + R[1][i] * k[1] + R[2][i] * k[2];
}

// The full-size photo pixel showing a direction; false behind the camera.
bool EstimatedPixel(const D3Param& c, const D3Param& lens, int lensMode, double W, double H, const double d[3],
                    double& px, double& py)
{
    double R[3][3];
    Utils::Calc3RotateMatrix(R, c.Rx, c.Ry, c.Rz);
    double k[3];
    for (int i = 0; i < 3; ++i)
        k[i] = R[i][0] * d[0] + R[i][1] * d[1] + R[i][2] * d[2];
    if (k[2] <= 1e-9)
        return false;
    double u = c.f * k[0] / k[2], v = c.f * k[1] / k[2];
    if (lensMode == 1 || c.lens) {
        D3Param l = lensMode == 1 ? lens : c;
        double x, y;
        if (!InvLensDistortion24(&x, &y, u, v, l))
            return false;
        u = x;
        v = y;
    }
    px = u + W / 2.0;
    py = v + H / 2.0;
    return true;
}

double AngleBetween(const double a[3][3], const double b[3][3])
{
    double tr = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            tr += a[i][k] * b[i][k];
    return std::acos(std::clamp((tr - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / kPi;
}

void Mul3T(const double A[3][3], const double B[3][3], double out[3][3])  // A B^T
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out[i][j] = A[i][0] * B[j][0] + A[i][1] * B[j][1] + A[i][2] * B[j][2];
}

// Angles of Utils::Calc3RotateMatrix (R = Rz Rx Ry) of a rotation.
void AnglesOf(const double R[3][3], double& ax, double& ay, double& az)
{
    ax = std::asin(std::clamp(-R[2][1], -1.0, 1.0)) * 180.0 / kPi;
    ay = std::atan2(R[2][0], R[2][2]) * 180.0 / kPi;
    az = std::atan2(R[0][1], R[1][1]) * 180.0 / kPi;
}

// Translation (and brightness gain and offset) of one tile of `a` against `b`, by
// Gauss-Newton on the grey values; false when it does not settle.
bool RegisterTile(const std::vector<float>& a, const std::vector<float>& b, const std::vector<char>& valid, int W,
                  int x0, int y0, int x1, int y1, double& dx, double& dy)
{
    dx = dy = 0.0;
    double gain = 1.0, off = 0.0;
    auto at = [&](double x, double y) {
        const int ix = int(std::floor(x)), iy = int(std::floor(y));
        const double fx = x - ix, fy = y - iy;
        const float* p = &b[std::size_t(iy) * std::size_t(W) + std::size_t(ix)];
        return (1 - fy) * ((1 - fx) * p[0] + fx * p[1]) + fy * ((1 - fx) * p[W] + fx * p[W + 1]);
    };
    for (int it = 0; it < 30; ++it) {
        double N[4][4] = {}, g[4] = {};
        int used = 0;
        for (int y = y0 + 4; y < y1 - 4; ++y)
            for (int x = x0 + 4; x < x1 - 4; ++x) {
                if (!valid[std::size_t(y) * std::size_t(W) + std::size_t(x)])
                    continue;
                const double X = x + dx, Y = y + dy;
                const double v = at(X, Y);
                const double gx = (at(X + 0.5, Y) - at(X - 0.5, Y)), gy = (at(X, Y + 0.5) - at(X, Y - 0.5));
                const double r = gain * v + off - a[std::size_t(y) * std::size_t(W) + std::size_t(x)];
                const double J[4] = {gain * gx, gain * gy, v, 1.0};
                for (int i = 0; i < 4; ++i) {
                    g[i] += J[i] * r;
                    for (int j = 0; j < 4; ++j)
                        N[i][j] += J[i] * J[j];
                }
                ++used;
            }
        if (used < 1000)
            return false;
        // 4x4 solve by Gaussian elimination
        double M[4][5];
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j)
                M[i][j] = N[i][j];
            M[i][4] = -g[i];
        }
        for (int c = 0; c < 4; ++c) {
            int piv = c;
            for (int r = c + 1; r < 4; ++r)
                if (std::fabs(M[r][c]) > std::fabs(M[piv][c]))
                    piv = r;
            std::swap(M[c], M[piv]);
            if (std::fabs(M[c][c]) < 1e-12)
                return false;
            for (int r = 0; r < 4; ++r)
                if (r != c) {
                    const double f = M[r][c] / M[c][c];
                    for (int k = c; k < 5; ++k)
                        M[r][k] -= f * M[c][k];
                }
        }
        const double s[4] = {M[0][4] / M[0][0], M[1][4] / M[1][1], M[2][4] / M[2][2], M[3][4] / M[3][3]};
        dx += s[0];
        dy += s[1];
        gain += s[2];
        off += s[3];
        if (std::fabs(dx) > 8 || std::fabs(dy) > 8)
            return false;
        if (std::hypot(s[0], s[1]) < 1e-4)
            return true;
    }
    return true;
}

// The whole canvas on a level cylinder at natural size, and per photo (in input order)
// the latitude of its optical axis and the tilt of its horizontal on that cylinder.
struct Canvas {
    int width = 0, height = 0;
    std::vector<double> latitude, roll;
};
Canvas CanvasOf(const std::vector<int>& order, const D3Param& lens, const std::vector<D3Param>& cams,
                const std::vector<CPanoElement*>& images)
{
    CCylindricalSurface s;
    s.AddImages(order, lens, cams, images, {});
    s.LevelOrientation();
    s.CalcProjectMatrices();
    s.SetSurfaceRadius();
    Canvas c;
    if (!s.CalcImgAngularSizes())
        return c;
    c.width = s.Width();
    c.height = s.Height();
    double Rs[3][3];
    s.Rotation(Rs);
    for (const D3Param& p : cams) {
        double R[3][3], axis[3], right[3];
        Utils::Calc3RotateMatrix(R, p.Rx, p.Ry, p.Rz);
        for (int i = 0; i < 3; ++i) {  // Rs R^T (0, 0, 1) and Rs R^T (1, 0, 0)
            axis[i] = right[i] = 0.0;
            for (int k = 0; k < 3; ++k) {
                axis[i] += Rs[i][k] * R[2][k];
                right[i] += Rs[i][k] * R[0][k];
            }
        }
        c.latitude.push_back(std::atan2(axis[1], std::hypot(axis[0], axis[2])) * 180.0 / kPi);
        c.roll.push_back(std::asin(std::clamp(right[1], -1.0, 1.0)) * 180.0 / kPi);
    }
    return c;
}

// Renders the full-size result on a cylinder, renders the true scene through the same
// surface (turned into the true frame by Q) and registers the two per 400-pixel tile:
// the tiles' displacements, less their global affine fit, are what the result shows.
void MeasureRender(Tiled_Panorama::CPanorama& engine, const vltest::Scene& scene, const double Q[3][3])
{
    CCylindricalSurface s;
    s.AddImages(engine.m_order, engine.m_worldParams, engine.m_params, engine.m_images, engine.m_imagePreviews);
    s.Set3DOrientation(0);
    s.SetInterpolationMode(CSurfaceRendering::BilinearMode);
    if (!s.RenderSurface(100.0, nullptr, nullptr, 0, 100)) {
        std::printf("render failed\n");
        return;
    }
    VarnoBase::RefPtr<CPanoElement> pano;
    pano.Adopt(s.GetPano());
    const VarnoBase::Rect rr = s.RenderRect();
    const double R = s.Radius();
    // World direction of the estimated frame = Rs^T ray; the truth view wants
    // Rt^T ray = Q Rs^T ray, so Rt = Rs Q^T.
    double Rs[3][3], Rt[3][3];
    Utils::Calc3RotateMatrix(Rs, s.World().Rx, s.World().Ry, s.World().Rz);
    Mul3T(Rs, Q, Rt);
    vltest::SurfaceView view;
    view.radius = R;
    view.thetaMinDeg = s.ThetaMin() + rr.left * 180.0 / (kPi * R);
    view.vMin = s.VMin() + rr.top / R;
    AnglesOf(Rt, view.rx, view.ry, view.rz);
    view.width = rr.width();
    view.height = rr.height();
    const QImage truth = vltest::renderSurfaceView(scene, view);
    const int W = view.width, H = view.height;
    std::vector<float> a(std::size_t(W) * H), b(a.size());
    std::vector<char> valid(a.size(), 0);
    const unsigned char* bits = pano->GetBits();
    const std::int64_t bpl = pano->GetBPL();
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const unsigned char* p = bits + y * bpl + x * 3;
            const QRgb t = truth.pixel(x, y);
            const std::size_t k = std::size_t(y) * std::size_t(W) + std::size_t(x);
            a[k] = float(0.3 * p[2] + 0.59 * p[1] + 0.11 * p[0]);
            b[k] = float(0.3 * qRed(t) + 0.59 * qGreen(t) + 0.11 * qBlue(t));
            valid[k] = !(p[0] == 255 && p[1] == 255 && p[2] == 255);
        }
    struct T {
        double cx, cy, dx, dy;
    };
    std::vector<T> tiles;
    for (int y0 = 0; y0 + 200 <= H; y0 += 400)
        for (int x0 = 0; x0 + 200 <= W; x0 += 400) {
            const int x1 = std::min(W - 1, x0 + 400), y1 = std::min(H - 1, y0 + 400);
            double dx, dy;
            if (RegisterTile(a, b, valid, W, x0, y0, x1, y1, dx, dy))
                tiles.push_back({(x0 + x1) / 2.0 / W, (y0 + y1) / 2.0 / H, dx, dy});
        }
    AffineFit fit;
    for (const T& t : tiles)
        fit.Add(t.cx, t.cy, t.dx, t.dy);
    fit.Solve();
    Stats raw, fitted;
    for (const T& t : tiles) {
        raw.add(std::hypot(t.dx, t.dy));
        fitted.add(std::hypot(t.dx - fit.X(t.cx, t.cy), t.dy - fit.Y(t.cx, t.cy)));
    }
    std::printf("render %dx%d radius %.1f, %zu tiles\n", W, H, R, tiles.size());
    raw.print("rtile");
    fitted.print("rshape");
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int rows = 2, cols = 3, ring = 0, width = 1000, height = 800;
    double overlap = 0.35, focal = 0.0, span = 360.0;
    std::string photo;
    std::vector<double> zoom;
    unsigned long long seed = 1;
    bool lensOn = true, keys = false, render = false, cost = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--mosaic" && std::sscanf(v, "%dx%d", &rows, &cols) == 2)
            ++i;
        else if (a == "--ring")
            ring = std::atoi(argv[++i]);
        else if (a == "--width")
            width = std::atoi(argv[++i]);
        else if (a == "--height")
            height = std::atoi(argv[++i]);
        else if (a == "--overlap")
            overlap = std::atof(argv[++i]);
        else if (a == "--seed")
            seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--lens")
            lensOn = std::string(argv[++i]) != "off";
        else if (a == "--focal")
            focal = std::atof(argv[++i]);
        else if (a == "--photo")
            photo = argv[++i];
        else if (a == "--span")
            span = std::atof(argv[++i]);
        else if (a == "--zoom" && !(zoom = ParseZoom(v)).empty())
            ++i;
        else if (a == "--keys")
            keys = true;
        else if (a == "--render")
            render = true;
        else if (a == "--cost")
            cost = true;
        else {
            std::fprintf(stderr, "usage: tiled_accuracy [--mosaic RxC | --ring N] [--width W] [--height H] "
                                 "[--overlap F] [--seed S] [--lens on|off] [--keys] [--render] [--cost] "
                                 "[--focal F] [--zoom Z1,Z2,...] [--photo FILE [--span DEG]]\n");
            return 2;
        }
    }

    RotatingSet rotating = MakeRotatingSet(ring, rows, cols, width, height, overlap, seed, focal, QString::fromStdString(photo), span, zoom);
    const std::unique_ptr<vltest::Scene> scene = std::move(rotating.scene);
    vltest::PhotoSet set = vltest::makePhotoSet(vltest::imagesOf(rotating.shots));
    set.cameraShots = std::move(rotating.shots);
    const std::size_t n = set.cameraShots.size();

    EngineHost host;
    auto* engine = Tiled_Panorama::CPanorama::CreateInstance();
    engine->Initialize(&host, nullptr, nullptr);
    PanoramaLib::PanoramaOptions options;
    engine->GetOptions(&options);
    options.bLensCompensation = lensOn;
    engine->SetOptions(options);
    std::vector<PanoramaLib::IPanoElement*> photos;
    for (const QString& p : set.paths) {
        PanoramaLib::IPanoElement* e = PanoramaLib::CreateDibObject(false);
        if (!e || !e->FromFile(p.toStdWString())) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(p));
            return 1;
        }
        photos.push_back(e);
    }
    const bool built = engine->BuildPanorama(photos, nullptr, 0, 0, 0);
    const PanoramaLib::PanoramaStatus* status = engine->GetPanoramaStatus();
    std::printf("status %d%s%s\n", status->nStatus, status->reason.empty() ? "" : ": ", status->reason.c_str());
    const auto& worst = engine->m_worstLink;
    std::printf("worst link %d-%d: p90 of its matches %.3f px, %.5f of the photo (refused above %.5f)\n", worst.id1 + 1,
                worst.id2 + 1, worst.pixels, worst.relative, Tiled_Panorama::kPlausibleMisalignment);
    if (engine->m_order.size() != n || engine->m_params.size() != n) {
        std::printf("the build %s and left photos out (%zu of %zu placed)\n", built ? "succeeded" : "failed",
                    engine->m_order.size(), n);
        for (const match_graph::CGraphLink* l : engine->m_graph.links)
            std::printf("link %d-%d: %d inliers\n", l->id1 + 1, l->id2 + 1, l->inliers);
        PanoramaLib::FreePictureCollection(photos);
        engine->Release();
        return 1;
    }
    const std::vector<D3Param>& est = engine->m_params;
    const D3Param lens = engine->m_worldParams;
    const int lensMode = engine->m_lensMode;
    const int w = engine->m_worldImage;
    std::vector<vltest::Camera> truth;
    for (const auto& s : set.cameraShots)
        truth.push_back(s.camera);

    auto trueR = [&](std::size_t i, double R[3][3]) {
        Utils::Calc3RotateMatrix(R, truth[i].rx, truth[i].ry, truth[i].rz);
    };
    auto estR = [&](std::size_t i, double R[3][3]) { Utils::Calc3RotateMatrix(R, est[i].Rx, est[i].Ry, est[i].Rz); };
    double Rtw[3][3], Rew[3][3];
    trueR(std::size_t(w), Rtw);
    estR(std::size_t(w), Rew);
    std::printf("reference photo %d, lens %s (k1 %.3g k2 %.3g k3 %.3g)\n", w + 1, lensOn ? "on" : "off", lens.k1,
                lens.k2, lens.k3);
    double worstRot = 0.0, worstF = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double Rt[3][3], Re[3][3], Qt[3][3], Qe[3][3];
        trueR(i, Rt);
        estR(i, Re);
        Mul3T(Rt, Rtw, Qt);
        Mul3T(Re, Rew, Qe);
        const double rot = AngleBetween(Qt, Qe), fe = 100.0 * (est[i].f / truth[i].f - 1.0);
        worstRot = std::max(worstRot, rot);
        worstF = std::max(worstF, std::fabs(fe));
        std::printf("photo %zu: f %+.3f %%  rotation %.4f deg", i + 1, fe, rot);
        if (keys) {
            double E[3][3], ex, ey, ez;  // Qe Qt^T: the error as turns about the photo's own axes
            Mul3T(Qe, Qt, E);
            AnglesOf(E, ex, ey, ez);
            std::printf(" (pitch %+.4f yaw %+.4f roll %+.4f)", ex, ey, ez);
        }
        std::printf("\n");
    }
    std::printf("worst: f %.3f %%  rotation %.4f deg\n", worstF, worstRot);
    {
        std::vector<D3Param> cams;
        for (const vltest::Camera& c : truth)
            cams.push_back({c.f, c.rx, c.ry, c.rz});
        const Canvas e = CanvasOf(engine->m_order, lens, est, engine->m_images);
        const Canvas t = CanvasOf(engine->m_order, D3Param{}, cams, engine->m_images);
        double lat = 0.0, roll = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            lat = std::max(lat, std::fabs(e.latitude[i] - t.latitude[i]));
            roll = std::max(roll, std::fabs(e.roll[i] - t.roll[i]));
        }
        std::printf("canvas %dx%d, true %dx%d (%+.2f %%, %+.2f %%); level: axis latitude off by up to %.3f deg, "
                    "roll %.3f deg\n",
                    e.width, e.height, t.width, t.height, 100.0 * (e.width / double(t.width) - 1.0),
                    100.0 * (e.height / double(t.height) - 1.0), lat, roll);
    }
    for (const match_graph::CGraphLink* l : engine->m_graph.links)
        std::printf("link %d-%d: %d inliers\n", l->id1 + 1, l->id2 + 1, l->inliers);

    // Q turns directions of the estimated frame into the true frame (by the reference).
    double Q[3][3];  // Rtw^T Rew
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            Q[i][j] = Rtw[0][i] * Rew[0][j] + Rtw[1][i] * Rew[1][j] + Rtw[2][i] * Rew[2][j];
    const double ftrue = truth[0].f;
    Stats pair, tile;
    std::map<std::pair<std::size_t, std::size_t>, Stats> pairOf;
    std::map<std::pair<long, long>, std::vector<std::array<double, 4>>> tiles;  // true x, y, error x, y
    constexpr int kStep = 8;
    for (std::size_t a = 0; a < n; ++a) {
        const double W = truth[a].width, H = truth[a].height;
        for (int y = kStep / 2; y < H; y += kStep) {
            for (int x = kStep / 2; x < W; x += kStep) {
                double dt[3], de[3], dq[3];
                vltest::pixelRay(truth[a], x, y, dt[0], dt[1], dt[2]);
                EstimatedRay(est[a], lens, lensMode, W, H, x, y, de);
                for (std::size_t b = 0; b < n; ++b) {
                    if (b == a)
                        continue;
                    double xt, yt, xe, ye;
                    if (!vltest::projectRay(truth[b], dt[0], dt[1], dt[2], xt, yt) || xt < 0 || yt < 0 ||
                        xt > truth[b].width - 1 || yt > truth[b].height - 1)
                        continue;
                    if (!EstimatedPixel(est[b], lens, lensMode, truth[b].width, truth[b].height, de, xe, ye))
                        continue;
                    pair.add(std::hypot(xe - xt, ye - yt));
                    pairOf[{std::min(a, b), std::max(a, b)}].add(std::hypot(xe - xt, ye - yt));
                }
                for (int i = 0; i < 3; ++i)
                    dq[i] = Q[i][0] * de[0] + Q[i][1] * de[1] + Q[i][2] * de[2];
                auto sphere = [&](const double d[3], double& sx, double& sy) {
                    sx = ftrue * std::atan2(d[0], d[2]);
                    sy = ftrue * std::atan2(d[1], std::hypot(d[0], d[2]));
                };
                double tx, ty, ex, ey;
                sphere(dt, tx, ty);
                sphere(dq, ex, ey);
                const double c = std::cos(ty / ftrue);
                tiles[{long(std::floor(tx / 400.0)), long(std::floor(ty / 400.0))}].push_back(
                    {tx, ty, (ex - tx) * c, ey - ty});
            }
        }
    }
    // Global affine fit of the errors over the true positions (what registering the
    // whole result to the truth removes), then per tile: the spread within the tile
    // (`tile`) and the tile's own mean displacement left by the global fit (`shape`).
    AffineFit fit;
    for (auto& [key, v] : tiles)
        for (const auto& d : v)
            fit.Add(d[0] / ftrue, d[1] / ftrue, d[2], d[3]);
    fit.Solve();
    Stats shape;
    for (auto& [key, v] : tiles) {
        double mx = 0.0, my = 0.0, gx = 0.0, gy = 0.0;
        for (const auto& d : v) {
            mx += d[2];
            my += d[3];
            gx += d[2] - fit.X(d[0] / ftrue, d[1] / ftrue);
            gy += d[3] - fit.Y(d[0] / ftrue, d[1] / ftrue);
        }
        mx /= double(v.size());
        my /= double(v.size());
        shape.add(std::hypot(gx, gy) / double(v.size()));
        for (const auto& d : v)
            tile.add(std::hypot(d[2] - mx, d[3] - my));
    }
    if (keys)
        for (auto& [ab, st] : pairOf) {
            char label[32];
            std::snprintf(label, sizeof label, "pair %zu-%zu", ab.first + 1, ab.second + 1);
            st.print(label);
        }
    pair.print("pair");
    tile.print("tile");
    shape.print("shape");

    if (render)
        MeasureRender(*engine, *scene, Q);
    if (cost && lensMode == 0) {
        // The adjustment's cost at the true cameras (turned into the estimate's frame)
        // against its cost at the estimate: higher at the truth means biased keypoints.
        Tiled_Panorama::CBundleAdjustment ba;
        ba.m_graph = &engine->m_graph;
        for (std::size_t i = 0; i < n; ++i) {
            ba.m_imageSizes.push_back(engine->m_images[i]->GetImageSize());
            ba.m_keypoints.push_back(Tiled_Panorama::KeyPositionsOf(engine->m_imageData[i]));
        }
        ba.m_lensMode = 0;
        ba.m_params = est;
        ba.m_worldParams = lens;
        std::vector<std::vector<const match_graph::CGraphLink*>> links(n);
        for (const match_graph::CGraphLink* l : engine->m_graph.links)
            links[std::size_t(l->id1)].push_back(l);
        std::vector<D3Param> tcams = est;
        for (std::size_t i = 0; i < n; ++i) {
            double Rt[3][3], M[3][3];
            trueR(i, Rt);
            double Tmp[3][3];  // Rt Rtw^T Rew
            Mul3T(Rt, Rtw, Tmp);
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c)
                    M[r][c] = Tmp[r][0] * Rew[0][c] + Tmp[r][1] * Rew[1][c] + Tmp[r][2] * Rew[2][c];
            AnglesOf(M, tcams[i].Rx, tcams[i].Ry, tcams[i].Rz);
            tcams[i].f = truth[i].f;
        }
        std::vector<int> order(n);
        for (std::size_t i = 0; i < n; ++i)
            order[i] = int(i);
        std::vector<double> xe(std::size_t(Count3dParams(lens, est, order))), xt(xe.size());
        Get3dParams(xe.data(), lens, est, order);
        Get3dParams(xt.data(), lens, tcams, order);
        const auto r = ba.EvaluateResiduals(order, links, {xe, xt});
        double ce = 0.0, ct = 0.0;
        for (double v : r[0])
            ce += v * v;
        for (double v : r[1])
            ct += v * v;
        std::printf("cost at the estimate %.1f, at the truth %.1f (%zu matches)\n", ce, ct, r[0].size());
    }

    if (keys) {
        // Keypoint error against the truth: B's keypoint less A's keypoint transferred by
        // the true cameras, per octave of B's keypoint, with the component along the
        // direction from B's centre (a radial bias scales the cameras' focal lengths).
        std::map<int, std::vector<double>> err, radial, along;
        for (const match_graph::CGraphLink* l : engine->m_graph.links) {
            Stats linkTruth, linkEst;
            const auto* ka = engine->m_imageData[std::size_t(l->id1)];
            const auto* kb = engine->m_imageData[std::size_t(l->id2)];
            const vltest::Camera& ca = truth[std::size_t(l->id1)];
            const vltest::Camera& cb = truth[std::size_t(l->id2)];
            for (std::size_t j = 0; j < l->keys1.size(); ++j) {
                const ScaleSpace::SIFT* pa = ka->m_keys[std::size_t(l->keys1[j])];
                const ScaleSpace::SIFT* pb = kb->m_keys[std::size_t(l->keys2[j])];
                double d[3], x, y;
                vltest::pixelRay(ca, pa->x, pa->y, d[0], d[1], d[2]);
                if (!vltest::projectRay(cb, d[0], d[1], d[2], x, y))
                    continue;
                const double ex = pb->x - x, ey = pb->y - y;
                linkTruth.add(std::hypot(ex, ey));
                const D3Param& ea = est[std::size_t(l->id1)];
                const D3Param& eb = est[std::size_t(l->id2)];
                double de[3], xe, ye;
                EstimatedRay(ea, lens, lensMode, ca.width, ca.height, pa->x, pa->y, de);
                if (EstimatedPixel(eb, lens, lensMode, cb.width, cb.height, de, xe, ye))
                    linkEst.add(std::hypot(pb->x - xe, pb->y - ye));
                const double rx = pb->x - cb.width / 2.0, ry = pb->y - cb.height / 2.0, r = std::hypot(rx, ry);
                const int o = std::max(pa->octave, pb->octave);
                err[o].push_back(std::hypot(ex, ey));
                radial[o].push_back(r > 0 ? (ex * rx + ey * ry) / r : 0.0);
                along[o].push_back(r);
            }
            std::printf("link %d-%d, %zu matches: against the truth median %.2f p90 %.2f, against the estimate "
                        "median %.2f p90 %.2f px\n",
                        l->id1 + 1, l->id2 + 1, linkTruth.v.size(), linkTruth.q(0.5), linkTruth.q(0.9),
                        linkEst.q(0.5), linkEst.q(0.9));
        }
        for (auto& [o, v] : err) {
            double mr = 0.0, rr = 0.0, mrad = 0.0;
            for (std::size_t k = 0; k < v.size(); ++k) {
                mr += radial[o][k];
                rr += v[k] * v[k];
                mrad += along[o][k];
            }
            std::printf("octave %d: %zu matches, rms %.3f px, mean radial %+.3f px at mean radius %.0f px\n", o,
                        v.size(), std::sqrt(rr / double(v.size())), mr / double(v.size()),
                        mrad / double(v.size()));
        }
    }
    PanoramaLib::FreePictureCollection(photos);
    engine->Release();
    return 0;
}
