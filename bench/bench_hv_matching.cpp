// Matching of every photo pair of a generated row, as the Horizontal/Vertical engine
// does it in a build: kd-trees, voting and robust fits on 400 x 300 working copies.
#include <benchmark/benchmark.h>

#include "engine/hv/analysis.h"
#include "engine/hv/panorama.h"
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
        engine.m_bLensCompensation = false;
        engine.m_motionModel = PanoramaLib::MotionSimple;
        for (const auto& shot : shots) {
            auto* e = new CPanoElement(false);
            e->CreateImage(true, shot.image.width(), shot.image.height(), true);
            for (int y = 0; y < shot.image.height(); ++y)
                std::copy_n(shot.image.constScanLine(y), shot.image.width() * 3, e->GetBits() + y * e->GetBPL());
            engine.AddImage(e, nullptr, nullptr);
            e->Release();
        }
    }
    CPanorama engine;
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
        rows[count]->engine.BuildMatchGraph(&rows[count]->engine.m_matchGraph);
        links = rows[count]->engine.m_matchGraph.links.size();
    }
    SetMatchingThreads(0);
    state.counters["links"] = static_cast<double>(links);
    state.counters["pairs"] = count * (count - 1) / 2.0;
}
BENCHMARK(MatchAllPairs)->Args({8, 1})->Args({8, 0})->Args({20, 1})->Args({20, 0})->Unit(benchmark::kMillisecond);

}  // namespace
