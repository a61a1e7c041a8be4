// Building blocks of the Horizontal/Vertical engine on realistic sizes: lens
// re-projection and the multiresolution spline of a 3000 x 2000 photo, a seam search
// through a 660-pixel overlap, and the working copy of a 3000 x 2000 photo.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/pano_element.h"
#include "engine/hv/panorama.h"
#include "engine/hv/spline.h"
#include "engine/hv/stitching_line.h"
#include "engine/lens_distortion.h"
#include "tests/support/dib_manager_fixture.h"

namespace {

// A textured 24-bit photo: smooth gradients plus a little deterministic noise.
CPanoElement* TexturedPhoto(int w, int h, int seed)
{
    vltest::InstallDibManager();
    auto* e = new CPanoElement(false);
    e->CreateImage(24, w, h);
    std::mt19937 rng(static_cast<unsigned>(seed));
    for (int y = 0; y < h; ++y) {
        unsigned char* row = e->GetBits() + std::size_t(y) * e->GetBPL();
        for (int x = 0; x < w; ++x) {
            const int n = int(rng() & 15);
            row[3 * x + 0] = (unsigned char)((x / 12 + n) & 255);
            row[3 * x + 1] = (unsigned char)((y / 8 + n) & 255);
            row[3 * x + 2] = (unsigned char)(((x + y) / 20 + n) & 255);
        }
    }
    return e;
}

void BM_LensReprojection3000x2000(benchmark::State& state)
{
    CPanoElement* photo = TexturedPhoto(3000, 2000, 1);
    for (auto _ : state) {
        CPanoElement* out = LensDistortion(photo, g_lensType.Factor(7), nullptr, nullptr);
        benchmark::DoNotOptimize(out);
        out->Release();
    }
    photo->Release();
}
BENCHMARK(BM_LensReprojection3000x2000)->Unit(benchmark::kMillisecond);

void BM_Spline3000x2000(benchmark::State& state)
{
    // The first photo covers the panorama's right half; its own left half is opaque.
    CPanoElement* first = TexturedPhoto(3000, 2000, 2);
    first->AddAlphaChannel(false);
    for (int y = 0; y < 2000; ++y)
        std::fill_n(first->GetAlphaBits() + std::size_t(y) * first->GetAlphaBPL(), 1500, (unsigned char)255);
    CPanoElement* second = TexturedPhoto(3000, 2000, 3);
    second->AddAlphaChannel(true);
    const int levels = int(state.range(0));
    for (auto _ : state) {
        MultiresolutionSpline::CSplineRGB spline;
        const bool ok = spline.Initialize(levels, first, second);
        benchmark::DoNotOptimize(ok);
        spline.InsertResult(second);
    }
    first->Release();
    second->Release();
}
BENCHMARK(BM_Spline3000x2000)->Arg(4)->Arg(7)->Unit(benchmark::kMillisecond);

void BM_SeamSearch660(benchmark::State& state)
{
    // A 660 x 660 overlap of smooth blurred differences.
    const int n = 660;
    std::vector<unsigned char> buf(std::size_t(n) * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            buf[std::size_t(y) * n + x] =
                (unsigned char)(127 + 120 * std::sin(x * 0.031 + 0.7 * std::cos(y * 0.017)) * std::cos(y * 0.023));
    CStLine line;
    for (auto _ : state) {
        GetOptimalStitchingLinePath(buf.data(), n, n, n, line, VarnoBase::Point(0, 0), false, GetStitchLineIndent(n));
        benchmark::DoNotOptimize(line.points.data());
    }
}
BENCHMARK(BM_SeamSearch660)->Unit(benchmark::kMillisecond);

void BM_WorkingCopy3000x2000(benchmark::State& state)
{
    CPanoElement* photo = TexturedPhoto(3000, 2000, 4);
    CPanorama engine;
    PanoramaLib::PanoramaOptions o;
    engine.GetOptions(&o);
    o.nPreviewQuality = int(state.range(0));  // working copies of 660 (halving) or 400 pixels
    engine.SetOptions(o);
    for (auto _ : state) {
        PanoramaLib::IPanoElement* copy = engine.CreateImageThumbnail(photo);
        benchmark::DoNotOptimize(copy);
        copy->Release();
    }
    photo->Release();
}
BENCHMARK(BM_WorkingCopy3000x2000)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
