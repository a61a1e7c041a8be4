// Matching of every photo pair of a generated row, as the Horizontal/Vertical engine
// does it in a build: kd-trees, voting and robust fits on 400 x 300 working copies.
#include <benchmark/benchmark.h>

#include "engine/hv/analysis.h"
#include "tests/engine/hv_test_access.h"
#include "tests/support/dib_manager_fixture.h"
#include "tests/support/scene.h"

namespace {

struct AnalysedRow {
    explicit AnalysedRow(int count)
    {
        vltest::InstallDibManager();
        static const vltest::Scene scene(vltest::SceneOptions{.seed = 5});
        vltest::StripOptions o;
        o.count = count;
        o.width = 400;
        o.height = 300;
        o.overlap = 0.4;
        const auto shots = vltest::makeStrip(scene, o);
        PanoramaLib::PanoramaOptions options;
        engine.GetOptions(&options);
        options.bLensCompensation = false;
        options.motionModel = PanoramaLib::MotionSimple;
        engine.SetOptions(options);
        for (const auto& shot : shots) {
            auto* e = new CPanoElement(false);
            e->CreateImage(true, shot.image.width(), shot.image.height(), true);
            for (int y = 0; y < shot.image.height(); ++y)
                std::copy_n(shot.image.constScanLine(y), shot.image.width() * 3, e->GetBits() + y * e->GetBPL());
            in.AddImage(e, nullptr, nullptr);
            e->Release();
        }
    }
    CPanorama engine;
    CPanoramaTestAccess in{engine};
};

void MatchAllPairs(benchmark::State& state)
{
    static AnalysedRow* rows[64] = {};
    const int count = static_cast<int>(state.range(0));
    if (!rows[count])
        rows[count] = new AnalysedRow(count);
    SetMatchingThreads(static_cast<int>(state.range(1)));
    std::size_t links = 0;
    for (auto _ : state) {
        rows[count]->in.BuildMatchGraph();
        links = rows[count]->in.matchGraph.links.size();
    }
    SetMatchingThreads(0);
    state.counters["links"] = static_cast<double>(links);
    state.counters["pairs"] = count * (count - 1) / 2.0;
}
BENCHMARK(MatchAllPairs)->Args({8, 1})->Args({8, 0})->Args({20, 1})->Args({20, 0})->Unit(benchmark::kMillisecond);

}  // namespace
