// The matching dialog's two-photo preview at working-copy size (660 x 495), the
// size it must follow marker drags at.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>

#include "core/pano_element.h"
#include "core/refcount.h"
#include "engine/manual_matcher.h"
#include "engine/stitch_two_images.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/scene.h"

namespace {

struct PreviewPair {
    VarnoBase::RefPtr<PanoramaLib::IPanoElement> a, b;
    double m[3][3];

    PreviewPair()
    {
        vltest::InstallDibManager();
        const vltest::Scene scene(vltest::SceneOptions{5, 2048, 1024, 512});
        vltest::PlaneView first{vltest::Mat3::translation(100, 200), 660, 495};
        vltest::PlaneView second{vltest::Mat3::translation(520, 230) * vltest::Mat3::rotation(3.0), 660, 495};
        a.Adopt(Load(vltest::renderPlaneView(scene, first)));
        b.Adopt(Load(vltest::renderPlaneView(scene, second)));
        const vltest::Mat3 t = second.toScene.inverse() * first.toScene;
        std::memcpy(m, t.m, sizeof m);
    }

    static PanoramaLib::IPanoElement* Load(const QImage& img)
    {
        const QImage rgb = img.convertToFormat(QImage::Format_RGB888);
        auto* e = new CPanoElement(false);
        e->CreateImage(24, rgb.width(), rgb.height());
        for (int y = 0; y < rgb.height(); ++y)
            std::memcpy(e->GetBits() + std::size_t(y) * e->GetBPL(), rgb.constScanLine(y), 3 * std::size_t(rgb.width()));
        return e;
    }
};

void BM_StitchTwoImagesFast(benchmark::State& state)
{
    static PreviewPair pair;
    std::atomic<int> abortFlag{0};
    for (auto _ : state) {
        double m[3][3];
        std::memcpy(m, pair.m, sizeof m);
        PanoramaLib::IPanoElement* out = PanoramaLib::StitchTwoImagesFast(pair.a, pair.b, m, abortFlag);
        benchmark::DoNotOptimize(out);
        PanoramaLib::IPanoElement::SafeRelease(out);
    }
}
BENCHMARK(BM_StitchTwoImagesFast)->Unit(benchmark::kMillisecond);

void BM_ManualMatcherAffineFit(benchmark::State& state)
{
    CManualMatcher mm(false);
    mm.Init(VarnoBase::Size(660, 495), VarnoBase::Size(660, 495), PanoramaLib::MotionTranslate);
    mm.SetMotionModel(PanoramaLib::MotionAffine);
    int k = 0;
    for (auto _ : state) {
        // One marker drag: a new position, a fit and the plausibility test.
        mm.SetPoint(PanoramaLib::IManualMatcher::PTS_Second, VarnoBase::Point(80 + (k & 7), 120), 2);
        ++k;
        benchmark::DoNotOptimize(mm.BadTransform());
    }
}
BENCHMARK(BM_ManualMatcherAffineFit);

}  // namespace
