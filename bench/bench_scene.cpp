// Cost of the synthetic scene: building its textures once, then rendering multi-megapixel
// views through a 2-D transform and through a pinhole camera.
#include <benchmark/benchmark.h>

#include "tests/support/scene.h"

namespace {

const vltest::Scene& benchScene()
{
    static const vltest::Scene scene([] {
        vltest::SceneOptions o;
        o.seed = 3;
        o.sphereWidth = 8192;
        return o;
    }());
    return scene;
}

void BM_BuildPlaneTexture4096(benchmark::State& state)
{
    for (auto _ : state) {
        vltest::SceneOptions o;
        o.seed = 5;
        vltest::Scene scene(o);
        benchmark::DoNotOptimize(scene.planeTexture().constBits());
    }
}
BENCHMARK(BM_BuildPlaneTexture4096)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_BuildSphereTexture8192(benchmark::State& state)
{
    for (auto _ : state) {
        vltest::SceneOptions o;
        o.seed = 5;
        o.planeWidth = o.planeHeight = 64;
        o.sphereWidth = 8192;
        vltest::Scene scene(o);
        benchmark::DoNotOptimize(scene.sphereTexture().constBits());
    }
}
BENCHMARK(BM_BuildSphereTexture8192)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_RenderPlaneView3000x2000(benchmark::State& state)
{
    const vltest::Scene& scene = benchScene();
    vltest::PlaneView view;
    view.toScene = vltest::Mat3::translation(2048, 2048) * vltest::Mat3::rotation(3) *
                   vltest::Mat3::scaling(1.2, 1.2) * vltest::Mat3::translation(-1500, -1000);
    view.width = 3000;
    view.height = 2000;
    vltest::Photometric ph;
    ph.noiseSigma = 2 * state.range(0);
    ph.vignetting = 0.2 * state.range(0);
    for (auto _ : state)
        benchmark::DoNotOptimize(vltest::renderPlaneView(scene, view, ph).constBits());
    state.SetItemsProcessed(state.iterations() * 3000 * 2000);
}
BENCHMARK(BM_RenderPlaneView3000x2000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RenderCameraView3000x2000(benchmark::State& state)
{
    const vltest::Scene& scene = benchScene();
    (void)scene.sphereTexture();
    const vltest::Camera cam{2500, 10, 30, 2, 3000, 2000};
    vltest::Photometric ph;
    ph.k1 = 1e-8 * state.range(0);
    for (auto _ : state)
        benchmark::DoNotOptimize(vltest::renderCameraView(scene, cam, ph).constBits());
    state.SetItemsProcessed(state.iterations() * 3000 * 2000);
}
BENCHMARK(BM_RenderCameraView3000x2000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
