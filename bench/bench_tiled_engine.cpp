// Tiled engine object: latency from a surface change to its completed background
// update ((0, 1) posted by the render worker), and the same change rendered on the UI
// thread, for a built 2 x 3 mosaic of 1000 x 800 photos. Whole builds and full-size
// renders are timed with stitch_files (see the report of the engine's issue).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "core/pano_element.h"
#include "document/engine_host.h"
#include "engine/panorama_interfaces.h"
#include "engine/tiled/panorama.h"
#include "tests/support/scene.h"

namespace {

class CompletionUI : public PanoramaLib::IUserInterface {
public:
    void UpdateUserWndInterface() override {}
    void UpdatePictureView(bool) override {}
    int OpenManualMatchingDialog(PanoramaLib::IPanoElement*, PanoramaLib::IPanoElement*,
                                 PanoramaLib::IManualMatcher*) override
    {
        return 1;
    }
    void HighlightImage(const std::wstring&, bool) override {}
    void AsyncUpdatePanoramaView(long wParam, long lParam) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (wParam == 0 && lParam == 1)
            ++m_completed;
        m_arrived.notify_all();
    }
    long Completed()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_completed;
    }
    void WaitBeyond(long n)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_arrived.wait(lock, [&] { return m_completed > n; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    long m_completed = 0;
};

struct BuiltMosaic {
    EngineHost host;
    CompletionUI ui;
    vltest::PhotoSet photos;
    std::vector<PanoramaLib::IPanoElement*> elements;
    std::vector<PanoramaLib::IPanoElement*> previews;  // working copies, when asked for
    PanoramaLib::ITiledPanorama* engine = nullptr;
    bool ok = false;

    explicit BuiltMosaic(bool withPreviews)
    {
        vltest::SceneOptions so;
        so.seed = 3;
        so.sphereWidth = 4096;
        static const vltest::Scene scene(so);
        vltest::MosaicOptions mo;
        mo.rows = 2;
        mo.cols = 3;
        mo.width = 1000;
        mo.height = 800;
        photos = vltest::makeMosaicPhotoSet(scene, mo, vltest::FileFormat::Png);
        engine = PanoramaLib::CreateTiledPanoramaObject(&host);
        engine->Initialize(&host, nullptr, &ui);
        for (const QString& p : photos.paths) {
            auto* e = new CPanoElement(false);
            e->FromFile(p.toStdWString());
            elements.push_back(e);
        }
        if (withPreviews)
            for (PanoramaLib::IPanoElement* e : elements)
                previews.push_back(engine->CreateImageThumbnail(e));
        ok = engine->BuildPanorama(elements, withPreviews ? &previews : nullptr, 0, 0, 0);
    }
    ~BuiltMosaic()
    {
        engine->Release();
        PanoramaLib::FreePictureCollection(previews);
        PanoramaLib::FreePictureCollection(elements);
    }
};

BuiltMosaic& Mosaic(bool withPreviews = false)
{
    if (withPreviews) {
        static BuiltMosaic m(true);
        return m;
    }
    static BuiltMosaic m(false);
    return m;
}

// state.range(0): 1 when the build was given working copies as previews (the job then
// samples them instead of decoding every photo file again).
void BM_TiledSurfaceChangeToCompletedUpdate(benchmark::State& state)
{
    BuiltMosaic& m = Mosaic(state.range(0) != 0);
    if (!m.ok) {
        state.SkipWithError("the mosaic did not build");
        return;
    }
    int k = 0;
    for (auto _ : state) {
        const long before = m.ui.Completed();
        const auto type = (k % 2) ? PanoramaLib::SurfaceSpherical : PanoramaLib::SurfaceCylindrical;
        m.engine->SetRenderingSurface(type, 0, (k % 5) - 2, 0, true, false);
        m.ui.WaitBeyond(before);
        m.engine->SyncUpdatePanoramaView(0, 1);  // what the document does with the update
        ++k;
    }
}
BENCHMARK(BM_TiledSurfaceChangeToCompletedUpdate)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TiledSurfaceChangeOnTheUIThread(benchmark::State& state)
{
    BuiltMosaic& m = Mosaic();
    if (!m.ok) {
        state.SkipWithError("the mosaic did not build");
        return;
    }
    int k = 0;
    for (auto _ : state) {
        const auto type = (k % 2) ? PanoramaLib::SurfaceSpherical : PanoramaLib::SurfaceCylindrical;
        m.engine->SetRenderingSurface(type, 0, (k % 5) - 2, 0, false, false);
        ++k;
    }
}
BENCHMARK(BM_TiledSurfaceChangeOnTheUIThread)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
