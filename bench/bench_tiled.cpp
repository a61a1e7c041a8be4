// Tiled engine: bundle adjustment of generated mosaics (correspondences synthesised from
// known cameras) and the full-size surface render of six 3000 x 2000 photos.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/linalg.h"
#include "tests/support/scene.h"
#include "core/match_graph.h"
#include "core/pano_element.h"
#include "engine/tiled/camera_params.h"
#include "engine/tiled/surface.h"

namespace {

struct Cam {
    double f, rx, ry, rz;
};

// A camera's ray through a centred pixel and back, by the scene generator's camera
// (principal point at the origin).
vltest::Camera Centred(const Cam& c) { return {c.f, c.rx, c.ry, c.rz, 0, 0}; }
void Ray(const Cam& c, double u, double v, double d[3]) { vltest::pixelRay(Centred(c), u, v, d[0], d[1], d[2]); }
bool Project(const Cam& c, const double d[3], double& u, double& v)
{
    return vltest::projectRay(Centred(c), d[0], d[1], d[2], u, v);
}

// A rows x cols mosaic of 3000 x 2000 photos, 200 noisy matches per overlapping pair,
// and the pair's affine transform.
struct Mosaic {
    int width = 3000, height = 2000;
    std::vector<Cam> cams;
    match_graph::CGraph graph;
    std::vector<std::vector<Tiled_Panorama::KeyPosition>> keys;

    // ring > 0: one row of `ring` photos turning full circle (ends overlapping).
    Mosaic(int rows, int cols, int ring = 0)
    {
        double f = 2800, yaw = 40, pitch = 28;
        if (ring > 0) {
            rows = 1;
            cols = ring;
            yaw = 360.0 / ring;
            f = width / 2.0 / std::tan(yaw / 0.65 / 2 * 3.141592653589793 / 180);
        }
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c)
                cams.push_back({f, (rows - 1) * pitch / 2 - r * pitch, c * yaw - (cols - 1) * yaw / 2, 0.5 * (c - r)});
        const int n = rows * cols;
        keys.resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i)
            graph.AddNode(i);
        std::mt19937 rng(5);
        std::uniform_real_distribution<double> ux(-width / 2.0, width / 2.0), uy(-height / 2.0, height / 2.0);
        std::normal_distribution<double> noise(0.0, 0.5);
        for (int a = 0; a < n; ++a) {
            for (int b = a + 1; b < n; ++b) {
                std::vector<double> pa, pb;
                for (int s = 0; s < 20000 && pa.size() < 400; ++s) {
                    double d[3], u2, v2;
                    const double u = ux(rng), v = uy(rng);
                    Ray(cams[static_cast<std::size_t>(a)], u, v, d);
                    if (!Project(cams[static_cast<std::size_t>(b)], d, u2, v2) || std::fabs(u2) > width / 2.0 ||
                        std::fabs(v2) > height / 2.0)
                        continue;
                    pa.insert(pa.end(), {u + noise(rng) + width / 2.0, v + noise(rng) + height / 2.0});
                    pb.insert(pb.end(), {u2 + noise(rng) + width / 2.0, v2 + noise(rng) + height / 2.0});
                }
                if (pa.size() < 60)
                    continue;
                auto* link = graph.AddLink(a, b);
                link->id1 = a;
                link->id2 = b;
                double N[3][3] = {}, rx[3] = {}, ry[3] = {};
                for (std::size_t j = 0; j < pa.size() / 2; ++j) {
                    link->keys1.push_back(static_cast<int>(keys[static_cast<std::size_t>(a)].size()));
                    link->keys2.push_back(static_cast<int>(keys[static_cast<std::size_t>(b)].size()));
                    keys[static_cast<std::size_t>(a)].push_back({pa[2 * j], pa[2 * j + 1]});
                    keys[static_cast<std::size_t>(b)].push_back({pb[2 * j], pb[2 * j + 1]});
                    link->inlierQuality.push_back(100);
                    const double p[3] = {pa[2 * j], pa[2 * j + 1], 1.0};
                    for (int r = 0; r < 3; ++r) {
                        for (int c = 0; c < 3; ++c)
                            N[r][c] += p[r] * p[c];
                        rx[r] += p[r] * pb[2 * j];
                        ry[r] += p[r] * pb[2 * j + 1];
                    }
                }
                link->inliers = static_cast<int>(link->keys1.size());
                double Ni[3][3];
                Utils::pinv3x3(Ni, N);
                for (int r = 0; r < 3; ++r) {
                    link->m[0][r] = Ni[r][0] * rx[0] + Ni[r][1] * rx[1] + Ni[r][2] * rx[2];
                    link->m[1][r] = Ni[r][0] * ry[0] + Ni[r][1] * ry[1] + Ni[r][2] * ry[2];
                }
                link->m[2][2] = 1.0;
            }
        }
    }
};

// The whole incremental adjustment, one residual per match. lmdif's own QR steps (m x n^2
// per Jacobian) take most of the time: the residual function's share was 10 % on ring_16,
// 3 % on ring_32 and 30 % on the small mosaic_2x3 (it evaluates again only the links a
// Jacobian column touches), on a machine shared with builds.
void BundleAdjustment(benchmark::State& state, int rows, int cols, bool once, int ring = 0)
{
    const Mosaic mosaic(rows, cols, ring);
    Tiled_Panorama::CBundleAdjustment::Cost cost;
    for (auto _ : state) {
        Tiled_Panorama::CBundleAdjustment ba;
        ba.m_graph = &mosaic.graph;
        ba.m_imageSizes.assign(mosaic.cams.size(), VarnoBase::Size(mosaic.width, mosaic.height));
        ba.m_keypoints = mosaic.keys;
        ba.m_worldImage = static_cast<int>(mosaic.cams.size() / 2);
        ba.m_lensMode = 1;
        ba.m_bAdjustOnce = once;
        benchmark::DoNotOptimize(ba.DoBundleAdjustment2());
        cost = ba.m_cost;
    }
    state.counters["links"] = static_cast<double>(mosaic.graph.links.size());
    state.counters["lmdif_runs"] = static_cast<double>(cost.runs);
    state.counters["evaluations"] = static_cast<double>(cost.evaluations);
    state.counters["jacobian_columns"] = static_cast<double>(cost.columns);
    // The residual function's share of the time spent in lmdif (the rest is its QR steps).
    state.counters["residual_share"] = cost.totalSeconds > 0.0 ? cost.residualSeconds / cost.totalSeconds : 0.0;
}

BENCHMARK_CAPTURE(BundleAdjustment, mosaic_2x3, 2, 3, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BundleAdjustment, mosaic_3x6, 3, 6, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BundleAdjustment, mosaic_3x6_adjust_once, 3, 6, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BundleAdjustment, ring_16, 1, 16, false, 16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BundleAdjustment, mosaic_4x4, 4, 4, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BundleAdjustment, ring_32, 1, 32, false, 32)->Unit(benchmark::kMillisecond)->Iterations(1);

// Six 3000 x 2000 photos (2 x 3 mosaic) held in memory.
struct RenderPhotos {
    std::vector<CPanoElement*> photos;
    std::vector<D3Param> params;
    RenderPhotos()
    {
        const int w = 3000, h = 2000;
        for (int r = 0; r < 2; ++r) {
            for (int c = 0; c < 3; ++c) {
                auto* e = new CPanoElement(false);
                e->CreateImage(true, w, h, true);
                for (int y = 0; y < h; ++y) {
                    unsigned char* row = e->GetBits() + static_cast<std::int64_t>(y) * e->GetBPL();
                    for (int x = 0; x < w; ++x) {
                        row[3 * x] = static_cast<unsigned char>(x * 7 + y);
                        row[3 * x + 1] = static_cast<unsigned char>((x ^ y) + 40 * c);
                        row[3 * x + 2] = static_cast<unsigned char>(y * 3 + 60 * r);
                    }
                }
                photos.push_back(e);
                D3Param p;
                p.f = 2800;
                p.Rx = 14 - 28 * r;
                p.Ry = 40.0 * (c - 1);
                p.Rz = 0.5 * (c - r);
                params.push_back(p);
            }
        }
    }
    ~RenderPhotos()
    {
        for (CPanoElement* e : photos)
            e->Release();
    }
};

// k1: 1e-9 a mild lens; 3e-8 moves the corners of these photos by a tenth, as the lens
// estimates of some builds do (Newton then needs more steps per pixel).
void Render(benchmark::State& state, double percent, bool bilinear, bool lens, int threads, double k1 = 1e-9)
{
    static RenderPhotos photos;
    D3Param world;
    world.lens = lens ? 1 : 0;
    world.k1 = k1;
    world.k2 = 1e-16;
    const std::vector<int> order = {1, 0, 2, 3, 4, 5};
    long pixels = 0;
    for (auto _ : state) {
        CCylindricalSurface s;
        s.SetThreadCount(threads);
        s.AddImages(order, world, photos.params, photos.photos, {});
        s.Set3DOrientation(0);
        s.SetInterpolationMode(bilinear ? CSurfaceRendering::BilinearMode : CSurfaceRendering::NoInterpolationMode);
        if (!s.RenderSurface(percent, nullptr, nullptr, 0, 100))
            state.SkipWithError("render failed");
        CPanoElement* pano = s.GetPano();
        pixels = static_cast<long>(pano->GetWidth()) * pano->GetHeight();
        pano->Release();
    }
    state.counters["Mpx_out"] = pixels / 1e6;
}

BENCHMARK_CAPTURE(Render, full_bilinear_lens_1thread, 100.0, true, true, 1)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(Render, full_bilinear_strong_lens_1thread, 100.0, true, true, 1, 3e-8)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK_CAPTURE(Render, full_bilinear_nolens_1thread, 100.0, true, false, 1)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(Render, full_bilinear_lens_allthreads, 100.0, true, true, 0)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(Render, full_bilinear_nolens_allthreads, 100.0, true, false, 0)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(Render, preview20_nearest_lens_allthreads, 20.0, false, true, 0)->Unit(benchmark::kMillisecond);

}  // namespace
