// SIFT extraction on textured photos: the 660-pixel working copy the engines analyse,
// and a 2000-pixel photo. Also the two per-keypoint kernels on their own.
#include <benchmark/benchmark.h>

#include <QImage>

#include <cmath>
#include <vector>

#include "core/keypoints.h"
#include "core/sift.h"
#include "tests/support/scene.h"

namespace {

const QImage& Photo(int width, int height)
{
    static const vltest::Scene scene([] {
        vltest::SceneOptions o;
        o.seed = 5;
        o.planeWidth = 2048;
        o.planeHeight = 2048;
        return o;
    }());
    static std::vector<QImage> cache;
    for (const QImage& i : cache)
        if (i.width() == width && i.height() == height)
            return i;
    vltest::PlaneView view;
    const double s = 2000.0 / std::max(width, height);  // same content at every size
    view.toScene = vltest::Mat3::scaling(s, s);
    view.width = width;
    view.height = height;
    cache.push_back(vltest::renderPlaneView(scene, view));
    return cache.back();
}

void Extract(benchmark::State& state, int width, int height)
{
    const QImage& photo = Photo(width, height);
    std::size_t keys = 0;
    for (auto _ : state) {
        ScaleSpace::CKeypointArray<ScaleSpace::SIFT> k;
        ScaleSpace::CKeypointArray<ScaleSpace::CKeyDescriptor> d;
        PanoramaRecognition::SIFTKeys(photo.constBits(), photo.width(), photo.height(), photo.bytesPerLine(), 24, 4, 2,
                                      0.02, 10.0, k, d, nullptr);
        keys = k.size();
        benchmark::DoNotOptimize(d.data());
    }
    state.counters["keypoints"] = static_cast<double>(keys);
}

void BM_SiftWorkingCopy660(benchmark::State& state) { Extract(state, 660, 495); }
void BM_SiftPhoto2000(benchmark::State& state) { Extract(state, 2000, 1500); }

void BM_SiftDescriptor(benchmark::State& state)
{
    ScaleSpace::CImageD level;
    level.Create(200, 200);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 200; ++x)
            *level.GetValue(x, y) = 0.5 + 0.4 * std::sin(x * 0.3 + y * 0.17) * std::cos(y * 0.23 - x * 0.05);
    double out[128];
    double theta = -3.0;
    for (auto _ : state) {
        PanoramaRecognition::ComputeDescriptor(level, 100.0, 97.0, theta, out);
        theta = theta > 3.0 ? -3.0 : theta + 0.01;
        benchmark::DoNotOptimize(out);
    }
}

}  // namespace

BENCHMARK(BM_SiftWorkingCopy660)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SiftPhoto2000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SiftDescriptor)->Unit(benchmark::kMicrosecond);
