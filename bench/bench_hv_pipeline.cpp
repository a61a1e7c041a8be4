// The Horizontal/Vertical pipeline on generated rows of photos: the build (analysis,
// matching, preview) and the full-size render, plus the two heaviest per-photo stages
// of the render (warping and colour equalisation) on full-size photos.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/pano_element.h"
#include "document/engine_host.h"
#include "engine/hv/spline.h"
#include "tests/engine/hv_test_access.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/scene.h"

namespace {

struct RowFiles {
    vltest::PhotoSet set;

    RowFiles(int count, int width, int height)
    {
        const vltest::Scene scene(vltest::SceneOptions{.seed = 3, .planeWidth = 4096, .planeHeight = 2048,
                                                       .sphereWidth = 512});
        vltest::StripOptions o;
        o.count = count;
        o.width = width;
        o.height = height;
        o.overlap = 0.35;
        set = vltest::makeStripPhotoSet(scene, o, vltest::FileFormat::Jpeg, 92);
    }
};

const RowFiles& Files(int which)
{
    static const RowFiles small(5, 1200, 900);
    static const RowFiles large(8, 3000, 2000);
    return which == 0 ? small : large;
}

// An engine with the row's photos loaded (lens compensation as the default: on).
struct Engine {
    PanoramaLib::IDibManager* previous = CPanoElement::m_pIDibManager;  // the factory replaces it
    EngineHost host;
    PanoramaLib::IHVPanorama* engine = nullptr;
    std::vector<PanoramaLib::IPanoElement*> photos;

    explicit Engine(const RowFiles& files)
    {
        engine = PanoramaLib::CreateHVPanoramaObject(&host);
        engine->Initialize(&host, nullptr, nullptr);
        for (const QString& p : files.set.paths) {
            photos.push_back(PanoramaLib::CreateDibObject(false));
            photos.back()->FromFile(p.toStdWString());
        }
    }
    ~Engine()
    {
        PanoramaLib::FreePictureCollection(photos);
        engine->Release();
        CPanoElement::m_pIDibManager = previous;
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
};

void BM_HvBuild(benchmark::State& state)
{
    const RowFiles& files = Files(int(state.range(0)));
    Engine e(files);
    for (auto _ : state) {
        const bool ok = e.engine->BuildPanorama(e.photos, nullptr, 0, 0, 0);
        if (!ok)
            state.SkipWithError("build failed");
    }
}
BENCHMARK(BM_HvBuild)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_HvRender(benchmark::State& state)
{
    const RowFiles& files = Files(int(state.range(0)));
    Engine e(files);
    if (!e.engine->BuildPanorama(e.photos, nullptr, 0, 0, 0)) {
        state.SkipWithError("build failed");
        return;
    }
    for (auto _ : state) {
        if (!e.engine->RenderPanorama())
            state.SkipWithError("render failed");
        state.PauseTiming();
        PanoramaLib::IPanoElement* result = e.engine->GetPanoramaImage();
        state.counters["megapixels"] = double(result->GetWidth()) * result->GetHeight() / 1e6;
        result->FreeImage();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_HvRender)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

// Two 3000 x 2000 photos side by side on a full-size canvas, the second turned by 2
// degrees and overlapping the first by a third.
struct StageFixture {
    CPanorama engine;
    CPanoramaTestAccess in{engine};

    StageFixture()
    {
        vltest::InstallDibManager();
        const vltest::Scene scene(vltest::SceneOptions{.seed = 9, .planeWidth = 1024, .planeHeight = 1024,
                                                       .sphereWidth = 512});
        for (int k = 0; k < 2; ++k) {
            const QImage img = vltest::renderPlaneView(
                scene, vltest::PlaneView{vltest::Mat3::scaling(0.3, 0.3) * vltest::Mat3::translation(k * 2000, 0),
                                         3000, 2000})
                                   .convertToFormat(QImage::Format_RGB888);
            auto* e = new CPanoElement(false);
            e->CreateImage(24, img.width(), img.height());
            for (int y = 0; y < img.height(); ++y)
                std::memcpy(e->GetBits() + std::size_t(y) * e->GetBPL(), img.constScanLine(y), 3 * std::size_t(3000));
            in.photos.push_back(e);
            AFFINE_MATRIX m;
            if (k == 1) {
                const double c = 0.99939, s = 0.034899;  // 2 degrees
                m.v[0][0] = c;
                m.v[0][1] = s;
                m.v[1][0] = -s;
                m.v[1][1] = c;
                m.v[0][2] = -2000;
                m.v[1][2] = 40;
            }
            in.fullTransforms.push_back(m);
        }
        in.scales = {8.0, 8.0};  // working copies an eighth of the size: 7 levels
        auto* pano = static_cast<CPanoElement*>(engine.GetPanoramaImage());
        pano->CreateImage(24, 5200, 2200);
        pano->AddAlphaChannel(false);
        pano->FillWhiteColor();
        in.fullWarped.assign(2, nullptr);
        in.TransformImage(in.FullSizePass(), 0);
        in.fullWarped[0]->FreeImage();
    }
};

StageFixture& Stage()
{
    static StageFixture f;
    return f;
}

void BM_HvStageWarp3000x2000(benchmark::State& state)
{
    StageFixture& f = Stage();
    for (auto _ : state) {
        PanoramaLib::IPanoElement::SafeRelease(f.in.fullWarped[1]);
        f.in.fullWarped[1] = nullptr;
        f.in.TransformImage(f.in.FullSizePass(), 1);
    }
}
BENCHMARK(BM_HvStageWarp3000x2000)->Unit(benchmark::kMillisecond);

void BM_HvStageEqualise3000x2000(benchmark::State& state)
{
    StageFixture& f = Stage();
    auto* pano = static_cast<CPanoElement*>(f.engine.GetPanoramaImage());
    // The first photo opaque on the panorama, the second warped beside it.
    std::memset(pano->m_pAlpha, 0, std::size_t(pano->GetAlphaBPL()) * pano->GetHeight());
    for (int y = 0; y < 2000; ++y)
        std::memset(pano->m_pAlpha + std::size_t(y) * pano->GetAlphaBPL(), 255, 3000);
    if (!f.in.fullWarped[1])
        f.in.TransformImage(f.in.FullSizePass(), 1);
    for (auto _ : state)
        f.in.GradientAverage(f.in.FullSizePass(), 1);
}
BENCHMARK(BM_HvStageEqualise3000x2000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_HvStageSplineInit3000x2000(benchmark::State& state)
{
    StageFixture& f = Stage();
    auto* pano = static_cast<CPanoElement*>(f.engine.GetPanoramaImage());
    std::memset(pano->m_pAlpha, 0, std::size_t(pano->GetAlphaBPL()) * pano->GetHeight());
    for (int y = 0; y < 2000; ++y)
        std::memset(pano->m_pAlpha + std::size_t(y) * pano->GetAlphaBPL(), 255, 3000);
    if (!f.in.fullWarped[1])
        f.in.TransformImage(f.in.FullSizePass(), 1);
    // The seam runs down the middle of the overlap: the photo is cut away left of it,
    // which the spline's hole filling has to cover.
    CPanoElement* photo = f.in.fullWarped[1];
    photo->FillAlphaByValue(VarnoBase::Rect(0, 0, 2500, 2200), 0, false);
    photo->CreateBitmaskFromAlpha();
    for (auto _ : state) {
        MultiresolutionSpline::CSplineRGB spline;
        if (!f.in.InitBlurStitchingLine(f.in.FullSizePass(), 1, spline))
            state.SkipWithError("spline failed");
    }
    f.in.blendZone.setEmpty();
}
BENCHMARK(BM_HvStageSplineInit3000x2000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
