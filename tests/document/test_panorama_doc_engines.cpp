// The document driving the real engines headless: four generated photos stitched with
// each engine, rendered, cropped and saved as JPEG and as raw and compressed TIFF; and
// the proof that an H/V build starts only after the tiled render worker has let go of
// the photos.
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QTemporaryDir>

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>

#include "document/page_layout.h"
#include "engine/tiled/panorama.h"
#include "tests/document/doc_fixture.h"
#include "tests/support/dib_manager_fixture.h"

using namespace doctest;
using vltest::ImageOf;

namespace {

const vltest::Scene& SharedScene()
{
    static const vltest::Scene scene(vltest::smallSceneOptions(31));
    return scene;
}

// A row of four overlapping photos of a plane (H/V) or from a turning camera (tiled).
const vltest::PhotoSet& RowOfFour(bool camera)
{
    static const vltest::PhotoSet strip = [] {
        vltest::StripOptions o;
        o.count = 4, o.width = 320, o.height = 240, o.overlap = 0.4;
        return vltest::makeStripPhotoSet(SharedScene(), o);
    }();
    static const vltest::PhotoSet mosaic = [] {
        vltest::MosaicOptions o;
        o.rows = 1, o.cols = 4, o.width = 320, o.height = 240, o.overlap = 0.35;
        return vltest::makeMosaicPhotoSet(SharedScene(), o);
    }();
    return camera ? mosaic : strip;
}

}  // namespace

class PanoramaDocEngines : public DocTest {
public:
    void WireReal(bool tiled, bool realHV = true)
    {
        engines.realHV = realHV;
        engines.realTiled = true;
        Wire();
        if (auto* engine = dynamic_cast<Tiled_Panorama::CPanorama*>(doc->tiledPanorama()))
            engine->SetRenderThreads(2);
        tray.files.clear();
        for (const QString& p : RowOfFour(tiled).paths)
            tray.files.push_back(p.toStdWString());
        doc->setCurPanoramaType(tiled);
        doc->setTaskMode(TaskMode::TaskStitch);
        ASSERT_EQ(doc->images().size(), 4u);
    }
    // Waits until the render worker has posted a completed job since the log was cleared.
    void WaitForCompletedJob()
    {
        for (;;) {
            const std::size_t n = window.AsyncUpdateCount();
            if (log.Contains("AsyncUpdatePanoramaView(0,1)"))
                return;
            ASSERT_TRUE(window.WaitForAsyncUpdates(n + 1));
        }
    }
};

TEST_F(PanoramaDocEngines, BothEnginesStitchRenderCropAndSave)
{
    QTemporaryDir out;
    for (const bool tiled : {false, true}) {
        SCOPED_TRACE(tiled ? "tiled" : "horizontal/vertical");
        WireReal(tiled);
        ASSERT_TRUE(doc->onBtnStitch());
        ASSERT_NE(doc->GetPanorama(), nullptr);
        EXPECT_EQ(std::pair(doc->enableBtnRender(), doc->enableGeoOptions()), std::pair(true, tiled));
        if (tiled) {
            doc->setRenderSurface(PanoramaLib::SurfaceSpherical, 0, 4, 0, false, false);
            EXPECT_TRUE(doc->GetPanorama()->HasBits());
        }

        // The user pulls the crop frame a quarter of its size inwards.
        doc->setCropFlag(1);
        doc->setTaskMode(TaskMode::TaskExport);
        ASSERT_TRUE(frame.shown);
        VarnoBase::Rect r = frame.rect;
        ASSERT_FALSE(r.isEmpty());
        r.inflate(-r.width() / 8, -r.height() / 8);
        frame.rect = r;
        ASSERT_TRUE(doc->onBtnRender());
        PanoramaLib::IPanoElement* result = doc->GetPanorama();
        ASSERT_TRUE(result && result->HasBits());
        const double aspect = double(result->GetWidth()) / result->GetHeight();
        EXPECT_NEAR(aspect / (double(r.width()) / r.height()), 1.0, 0.03);
        EXPECT_TRUE(!frame.shown && doc->enableBtnSave() && !doc->printPanoramaInfo().isEmpty());

        const QString base = out.filePath(tiled ? "tiled" : "hv");
        ASSERT_TRUE(doc->doPanoramaSave((base + ".jpg").toStdWString()));
        EXPECT_EQ(QImageReader(base + ".jpg").size(), QSize(result->GetWidth(), result->GetHeight()));
        // Uncompressed, the TIFF holds every pixel's three bytes; compressed, another count.
        qint64 sizes[2];
        for (const bool compress : {false, true}) {
            doc->m_compressTiff = compress;
            const QString tif = base + (compress ? "-lzw.tif" : "-raw.tif");
            ASSERT_TRUE(doc->doPanoramaSave(tif.toStdWString()));
            EXPECT_EQ(QImageReader(tif).size(), QSize(result->GetWidth(), result->GetHeight()));
            sizes[compress] = QFileInfo(tif).size();
        }
        EXPECT_GE(sizes[0], qint64(result->GetWidth()) * result->GetHeight() * 3);
        EXPECT_NE(sizes[1], sizes[0]);
        doc.reset();
    }
}

// A failed save answers why and leaves the file it would have replaced alone.
TEST_F(PanoramaDocEngines, FailedSaveKeepsTheOldFile)
{
    WireReal(false);
    ASSERT_TRUE(doc->onBtnStitch());
    ASSERT_TRUE(doc->onBtnRender());
    QTemporaryDir out;
    const QString old = out.filePath("result.xyz");
    QFile f(old);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("old contents") == 12);
    f.close();
    log.Clear();
    QString reason;
    EXPECT_FALSE(doc->doPanoramaSave(L"", &reason) || reason.isEmpty());
    EXPECT_FALSE(doc->doPanoramaSave(old.toStdWString(), &reason));
    EXPECT_TRUE(reason.contains("xyz"));
    EXPECT_FALSE(doc->doPanoramaSave(out.filePath("no/such/folder/result.png").toStdWString(), &reason));
    EXPECT_TRUE(reason.contains("could not be written"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("old contents"));
    EXPECT_FALSE(log.Contains("setModifiedFlag"));
}

// The tiled render worker samples the same photo elements an H/V build loads and unloads:
// the build may start only when the worker has let go of them. A slow background job
// is running when Stitch is pressed; inside the build every photo must be held by the
// document alone.
TEST_F(PanoramaDocEngines, HVBuildStartsOnlyAfterTheTiledWorkerLetGoOfThePhotos)
{
    WireReal(true, false);
    auto* tiled = dynamic_cast<Tiled_Panorama::CPanorama*>(doc->tiledPanorama());
    ASSERT_TRUE(doc->onBtnStitch());

    tiled->m_renderThread.m_scale = 150.0;  // a job long enough to be caught running
    const std::size_t before = window.AsyncUpdateCount();
    doc->setRenderSurface(PanoramaLib::SurfaceSpherical, 0, 0, 0, true, false);
    ASSERT_TRUE(window.WaitForAsyncUpdates(before + 1));  // the job is past its first part

    std::vector<long> counts;
    Hv().script.onBuild = [&](const std::vector<PanoramaLib::IPanoElement*>& photos) {
        for (PanoramaLib::IPanoElement* e : photos)
            counts.push_back(static_cast<CPanoElement*>(e)->RefCount());
    };
    doc->setCurPanoramaType(false);
    ASSERT_TRUE(doc->onBtnStitch());
    EXPECT_EQ(counts, std::vector<long>(4, 1));
    EXPECT_EQ(tiled->m_renderThread.GetPano(), nullptr);  // nothing of the old job survives
}

namespace {

// Pure white pixels: where no photo reached.
long long WhitePixels(const QImage& img)
{
    long long n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            n += img.pixel(x, y) == qRgb(255, 255, 255);
    return n;
}

// Two passes deliver a view's picture and then the engine's (1, 1); a third is spare.
void DeliverAll()
{
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::processEvents();
}

// A frame the user draws over a preview: the middle of its canvas, 0.4 by 0.5 of it.
VarnoBase::Rect MiddleOf(const VarnoBase::Rect& canvas)
{
    const int w = canvas.width(), h = canvas.height();
    return {w * 3 / 10, h / 4, w * 7 / 10, h * 3 / 4};
}

}  // namespace

// Render pressed right after a surface change, before that surface's preview arrived:
// the result is that surface's view as cropped once its preview was there, covered to
// its edges. With the preview there and the frame moved by the user, the frame is what
// is rendered.
TEST_F(PanoramaDocEngines, RenderRightAfterASurfaceChangeCropsThatSurface)
{
    WireReal(true);
    window.forwardAsyncTo = doc.get();
    ASSERT_TRUE(doc->onBtnStitch());
    PanoramaLib::ITiledPanorama* tiled = doc->tiledPanorama();
    doc->setCropFlag(1);
    auto showFrame = [&] {
        doc->setTaskMode(TaskMode::TaskStitch);
        doc->setTaskMode(TaskMode::TaskExport);
        ASSERT_TRUE(frame.shown);
    };
    auto render = [&] {
        EXPECT_TRUE(doc->onBtnRender());
        return ImageOf(doc->GetPanorama());
    };
    // Back to the built view, then the sphere, its preview waited for: the worker's
    // completion goes to the engine, whose new crop (1, 1) goes to the frame.
    auto sphereWaited = [&] {
        doc->setRenderSurface(PanoramaLib::SurfaceCylindrical, 0, 0, 0, false, false);
        showFrame();
        log.Clear();
        doc->setRenderSurface(PanoramaLib::SurfaceSpherical, 0, 0, 15, true, false);
        WaitForCompletedJob();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        ASSERT_EQ(frame.rect, tiled->GetCropRect(false));
    };

    doc->setTaskMode(TaskMode::TaskExport);
    ASSERT_TRUE(frame.shown);
    doc->setRenderSurface(PanoramaLib::SurfaceSpherical, 0, 0, 15, true, false);
    const QImage atOnce = render();
    sphereWaited();
    const QImage waited = render();
    EXPECT_EQ(atOnce.size(), waited.size());
    EXPECT_TRUE(atOnce == waited);
    EXPECT_LT(WhitePixels(atOnce), atOnce.width() * atOnce.height() / 1000);

    sphereWaited();
    const VarnoBase::Rect crop = frame.rect;
    VarnoBase::Rect r = crop;
    r.inflate(-r.width() / 4, -r.height() / 8);
    frame.rect = r;
    const QImage moved = render();
    EXPECT_NEAR(double(moved.width()) / waited.width(), double(r.width()) / crop.width(), 0.03);
    EXPECT_NEAR(double(moved.width()) / moved.height(), double(r.width()) / r.height(), 0.03);
}

// A surface slider pressed and released without a move keeps the built view's crop:
// Render then gives what it gives right after the build. A frame moved over the preview
// of a view the rotate tool reached (no slider release ends its fast phase) is rendered
// as the user drew it.
TEST_F(PanoramaDocEngines, SliderReleasedWithoutAMoveAndFrameMovedAfterTheRotateToolRenderWhatTheUserSees)
{
    WireReal(true);
    window.forwardAsyncTo = doc.get();
    doc->setCropFlag(1);
    auto stitch = [&] {
        doc->setTaskMode(TaskMode::TaskStitch);
        ASSERT_TRUE(doc->onBtnStitch());
    };
    auto render = [&] {
        doc->setTaskMode(TaskMode::TaskExport);
        EXPECT_TRUE(frame.shown);
        EXPECT_TRUE(doc->onBtnRender());
        return ImageOf(doc->GetPanorama());
    };
    stitch();
    const QImage built = render();
    EXPECT_LT(WhitePixels(built), built.width() * built.height() / 1000);

    stitch();
    doc->fastRenderingHasFinished();  // what the window does on a slider's release
    doc->forceRebuildRect();
    QCoreApplication::processEvents();
    const QImage released = render();
    EXPECT_EQ(released.size(), built.size());
    EXPECT_TRUE(released == built);

    stitch();
    log.Clear();
    doc->StartGeoTracking(nullptr);
    doc->DoRotateGeo(nullptr, 20);
    WaitForCompletedJob();
    QCoreApplication::processEvents();
    doc->setTaskMode(TaskMode::TaskExport);
    const VarnoBase::Rect canvas = doc->tiledPanorama()->GetPanoramaPreview(false)->GetImageRect();
    const VarnoBase::Rect r(canvas.width() * 2 / 5, canvas.height() * 3 / 8, canvas.width() * 3 / 5,
                            canvas.height() * 5 / 8);
    frame.rect = r;
    const QImage moved = render();
    ASSERT_FALSE(moved.isNull());
    EXPECT_NEAR(double(moved.width()) / moved.height(), double(r.width()) / r.height(), 0.05);
}

// A view's picture handed to the engine gives it a new crop, and the frame takes it in
// the same step: a Render handled while the engine's (1, 1) is still queued renders that
// view as cropped once everything was delivered, not through the old view's frame.
// The ways a view arrives: a surface button's picture, a spin step's (a slider drag
// ended at once) after another spin step, and a slider released over its quick preview.
TEST_F(PanoramaDocEngines, RenderOnePassAfterAViewArrivedCropsThatView)
{
    WireReal(true);
    window.forwardAsyncTo = doc.get();
    doc->setCropFlag(1);
    // Render, or the frame moved and Render once all is delivered, after a single pass
    // or after the engine's (1, 1) too.
    VarnoBase::Rect moved;
    auto renderAfter = [&](const std::function<void()>& steps, bool onePass, bool move) {
        doc->setTaskMode(TaskMode::TaskStitch);
        doc->setRenderSurface(PanoramaLib::SurfaceCylindrical, 0, 0, 0, false, false);  // built there
        EXPECT_TRUE(doc->onBtnStitch());
        log.Clear();
        steps();
        doc->setTaskMode(TaskMode::TaskExport);
        WaitForCompletedJob();
        QCoreApplication::processEvents();  // the picture goes to the engine
        if (!onePass) {
            QCoreApplication::processEvents();  // the engine's (1, 1)
            QCoreApplication::processEvents();
        }
        if (move) {
            moved = MiddleOf(doc->tiledPanorama()->GetPanoramaPreview(false)->GetImageRect());
            frame.rect = moved;
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
            EXPECT_EQ(frame.rect, moved);
        }
        EXPECT_TRUE(doc->onBtnRender());
        return ImageOf(doc->GetPanorama());
    };
    const auto button = [&] { doc->setRenderSurface(PanoramaLib::SurfaceSpherical, 0, 0, 15, true, false); };
    const auto spin = [&](int z) {
        doc->setRenderSurface(PanoramaLib::SurfaceCylindrical, 0, 0, z, true, true);
        doc->fastRenderingHasFinished();
        doc->forceRebuildRect();
    };
    // A slider released after its quick preview arrived: the frame holds the crop the
    // engine takes from that preview, before the (1, 1) that follows.
    const auto dragAndRelease = [&] {
        doc->setRenderSurface(PanoramaLib::SurfaceCylindrical, 0, 0, 10, true, true);
        WaitForCompletedJob();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        const VarnoBase::Rect before = frame.rect;
        doc->fastRenderingHasFinished();
        doc->forceRebuildRect();
        EXPECT_EQ(frame.rect, doc->tiledPanorama()->GetCropRect(false));
        EXPECT_NE(frame.rect, before);
        log.Clear();
        spin(0);
    };
    const auto spinAndBack = [&] {
        spin(5);
        WaitForCompletedJob();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        log.Clear();
        spin(0);
    };
    for (const auto& steps : {std::function<void()>(button), std::function<void()>(spinAndBack),
                              std::function<void()>(dragAndRelease)}) {
        const QImage waited = renderAfter(steps, false, false);
        const QImage onePass = renderAfter(steps, true, false);
        EXPECT_EQ(onePass.size(), waited.size());
        EXPECT_TRUE(onePass == waited);
        EXPECT_LT(WhitePixels(onePass), onePass.width() * onePass.height() / 1000);
        // A frame moved in the gap stays: the (1, 1) that follows changes nothing more.
        const QImage movedWaited = renderAfter(steps, false, true);
        const QImage movedOnePass = renderAfter(steps, true, true);
        EXPECT_EQ(movedOnePass.size(), movedWaited.size());
        EXPECT_TRUE(movedOnePass == movedWaited);
        EXPECT_NEAR(double(movedWaited.width()) / movedWaited.height(), double(moved.width()) / moved.height(), 0.05);
    }
}

// A frame the user moved stays while nothing gives the engine a new crop: a quick preview
// arriving, or the (1, 1) of a slider released before the move. A crop made by the engine
// without a message to wait for, a tiled render cancelled after it rendered the view's
// preview first, reaches the frame at once too: Render right after the cancel crops as
// after waiting, and a frame moved before the (1, 1) stays.
TEST_F(PanoramaDocEngines, AMovedFrameStaysUntilTheEngineMakesANewCrop)
{
    WireReal(true);
    window.forwardAsyncTo = doc.get();
    doc->setCropFlag(1);
    PanoramaLib::ITiledPanorama* tiled = doc->tiledPanorama();
    const auto build = [&] {
        doc->setTaskMode(TaskMode::TaskStitch);
        doc->setRenderSurface(PanoramaLib::SurfaceCylindrical, 0, 0, 0, false, false);
        EXPECT_TRUE(doc->onBtnStitch());
        log.Clear();
    };
    const auto move = [&] {
        const VarnoBase::Rect r = MiddleOf(tiled->GetPanoramaPreview(false)->GetImageRect());
        frame.rect = r;
        return r;
    };
    const auto renderAspect = [&] {
        EXPECT_TRUE(doc->onBtnRender());
        const PanoramaLib::IPanoElement* image = doc->GetPanorama();
        return image ? double(image->GetWidth()) / image->GetHeight() : 0.0;
    };

    // A slider drag held, Export, and the frame moved before or after its quick preview
    // arrived: the same frame, the same result.
    VarnoBase::Rect r;
    QImage dragged[2];
    for (const bool beforeThePreview : {true, false}) {
        SCOPED_TRACE(beforeThePreview ? "moved before the quick preview" : "moved after it");
        build();
        if (beforeThePreview)
            r = MiddleOf(tiled->GetPanoramaPreview(false)->GetImageRect());
        doc->setRenderSurface(PanoramaLib::SurfaceCylindrical, 0, 0, 10, true, true);
        doc->setTaskMode(TaskMode::TaskExport);
        if (beforeThePreview)
            frame.rect = r;
        WaitForCompletedJob();
        DeliverAll();
        if (!beforeThePreview)
            frame.rect = r;
        EXPECT_EQ(frame.rect, r);
        EXPECT_TRUE(doc->onBtnRender());
        dragged[beforeThePreview] = ImageOf(doc->GetPanorama());
    }
    EXPECT_EQ(dragged[0].size(), dragged[1].size());
    EXPECT_TRUE(dragged[0] == dragged[1]);

    SCOPED_TRACE("moved after a release, before its (1, 1)");
    build();
    doc->setRenderSurface(PanoramaLib::SurfaceCylindrical, 0, 0, 10, true, true);
    WaitForCompletedJob();
    DeliverAll();
    doc->fastRenderingHasFinished();
    doc->forceRebuildRect();
    doc->setTaskMode(TaskMode::TaskExport);
    r = move();
    DeliverAll();
    EXPECT_EQ(frame.rect, r);
    EXPECT_NEAR(renderAspect(), double(r.width()) / r.height(), 0.05);

    SCOPED_TRACE("a render cancelled after the view's preview");
    build();
    doc->setRenderSurface(PanoramaLib::SurfaceSpherical, 0, 0, 15, true, false);
    doc->setTaskMode(TaskMode::TaskExport);
    WaitForCompletedJob();
    DeliverAll();
    EXPECT_TRUE(doc->onBtnRender());
    const QImage waited = ImageOf(doc->GetPanorama());
    for (const bool moveBeforeTheMessage : {false, true}) {
        build();
        doc->setRenderSurface(PanoramaLib::SurfaceSpherical, 0, 0, 15, true, false);
        doc->setTaskMode(TaskMode::TaskExport);
        window.cancel = [](int max, int value) { return max == 100 && value >= 50; };
        EXPECT_FALSE(doc->onBtnRender());
        window.cancel = nullptr;
        EXPECT_EQ(frame.rect, tiled->GetCropRect(false));
        if (!moveBeforeTheMessage) {
            ASSERT_TRUE(doc->onBtnRender());
            const QImage atOnce = ImageOf(doc->GetPanorama());
            EXPECT_EQ(atOnce.size(), waited.size());
            EXPECT_TRUE(atOnce == waited);
            continue;
        }
        r = move();
        DeliverAll();
        EXPECT_EQ(frame.rect, r);
        EXPECT_NEAR(renderAspect(), double(r.width()) / r.height(), 0.05);
    }
}

// Whichever way the user reaches a view from a build (surface buttons, slider drags and
// releases with or without a move, spin steps, the rotate tool, synchronous changes,
// Stitch and Export entered), with the engine's messages queued as the window queues
// them and handed over a pass at a time, all at once or not at all, Export and Render
// give what one change to that view, waited for, gives: the view's own crop, or the
// frame the user moved over its preview. Seeded random sequences of one to eight steps.
TEST_F(PanoramaDocEngines, RenderAfterAnyWalkToAViewEqualsRenderAfterOneWaitedChange)
{
#if defined(__SANITIZE_THREAD__)
    const int sequences = 6;
#elif defined(__SANITIZE_ADDRESS__)
    const int sequences = 16;
#else
    const int sequences = 60;
#endif
    using PanoramaLib::SurfaceCylindrical;
    using PanoramaLib::SurfaceSpherical;
    using View = Tiled_Panorama::SurfaceView;
    WireReal(true);
    window.forwardAsyncTo = doc.get();
    doc->setCropFlag(1);
    auto* engine = dynamic_cast<Tiled_Panorama::CPanorama*>(doc->tiledPanorama());
    ASSERT_NE(engine, nullptr);

    // Until the worker's whole picture of `view` is the engine's preview, everything
    // it posted delivered.
    const auto waitFor = [&](const View& view) {
        for (;;) {
            const std::size_t posted = window.AsyncUpdateCount();
            DeliverAll();
            View got;
            bool complete = false;
            VarnoBase::RefPtr<CPanoElement> picture;
            picture.Adopt(engine->m_renderThread.GetPano(&got, &complete));
            if (picture && complete && got == view && engine->GetPanoramaPreview(false) == picture.get()) {
                DeliverAll();
                return true;
            }
            if (!window.WaitForAsyncUpdates(posted + 1))
                return false;
        }
    };
    // Until the worker's whole picture of `view` is published and every message it
    // posted is queued, none of them delivered.
    const auto postedFor = [&](const View& view) {
        for (;;) {
            const std::size_t posted = window.AsyncUpdateCount();
            View got;
            bool complete = false;
            VarnoBase::RefPtr<CPanoElement> picture;
            picture.Adopt(engine->m_renderThread.GetPano(&got, &complete));
            // A picture taken is counted as published: its (0, 1) is queued once the
            // count of queued completions reaches that of publications.
            if (picture && complete && got == view &&
                window.CompletedJobCount() >= engine->m_renderThread.JobsPublished())
                return true;
            if (!window.WaitForAsyncUpdates(posted + 1))
                return false;
        }
    };
    const View starts[] = {{SurfaceCylindrical, 0, 0, 0}, {SurfaceSpherical, 0, 10, 10}};
    const auto build = [&](const View& start) {
        doc->setTaskMode(TaskMode::TaskStitch);
        PanoramaLib::PanoramaOptions o;
        doc->getOptions(&o);
        o.surfaceType = start.type;
        doc->setOptions(o);
        // The angles to build at; the job this posts is stopped by the build.
        doc->setRenderSurface(start.type, start.x, start.y, start.z, true, false);
        const bool ok = doc->onBtnStitch();
        DeliverAll();  // whatever a job of the last walk left queued finds nothing
        log.Clear();
        return ok;
    };
    const auto movedFrame = [&] { return MiddleOf(engine->GetPanoramaPreview(false)->GetImageRect()); };
    const auto render = [&]() -> QImage {
        if (!doc->onBtnRender())
            return {};
        return ImageOf(doc->GetPanorama());
    };
    std::map<std::tuple<int, int, int, int, int, bool>, QImage> oracles;
    const auto oracle = [&](int start, const View& v, bool moved) -> QImage {
        QImage& image = oracles[{start, v.type, v.x, v.y, v.z, moved}];
        if (image.isNull() && build(starts[start])) {
            doc->setRenderSurface(v.type, v.x, v.y, v.z, true, false);
            if (!waitFor(v))
                return {};
            doc->setTaskMode(TaskMode::TaskExport);
            if (moved)
                frame.rect = movedFrame();
            image = render();
        }
        return image;
    };

    // The steps, the racing ones (a view that gives a new crop, one pass) more often.
    enum class Step { Button, Drag, Release, Spin, Rotate, Sync, Export, Wait, Pass };
    const Step kinds[] = {Step::Button, Step::Button, Step::Drag,   Step::Release, Step::Spin,
                          Step::Spin,   Step::Spin,   Step::Rotate, Step::Sync,    Step::Export,
                          Step::Export, Step::Export, Step::Wait,   Step::Pass,    Step::Pass,
                          Step::Pass,   Step::Pass,   Step::Pass};
    std::mt19937 rng(20261208);
    const auto pick = [&](std::size_t n) { return static_cast<int>(rng() % n); };
    const auto angle = [&] { return 10 * pick(2); };  // few views: the oracles repeat
    int failed = 0;
    std::string failures;
    for (int n = 0; n < sequences; ++n) {
        const int start = pick(2);
        ASSERT_TRUE(build(starts[start]));
        View v = starts[start];
        std::optional<View> pending;  // the newest job, posted and not waited for
        std::string steps;
        const auto inStitch = [&] { doc->setTaskMode(TaskMode::TaskStitch); };
        const auto async = [&](bool fast) {
            doc->setRenderSurface(v.type, v.x, v.y, v.z, true, fast);
            pending = v;
        };
        const auto release = [&] {
            doc->fastRenderingHasFinished();
            doc->forceRebuildRect();
        };
        const auto wait = [&] {
            if (pending)
                ASSERT_TRUE(waitFor(*pending)) << "no picture of the newest job";
            pending.reset();
            DeliverAll();
        };
        // What has arrived, handed over in one pass; mostly once the newest job posted all.
        const auto pass = [&] {
            if (pending && pick(4)) {
                ASSERT_TRUE(postedFor(*pending)) << "no picture of the newest job";
                steps += " posted";
            }
            QCoreApplication::processEvents();
            steps += " pass";
        };
        for (int k = 1 + pick(8); k > 0; --k) {
            int* angles[] = {&v.x, &v.y, &v.z};
            switch (kinds[pick(std::size(kinds))]) {
            case Step::Button:
                inStitch();
                v.type = pick(2) ? SurfaceSpherical : SurfaceCylindrical;
                async(false);
                steps += " button";
                break;
            case Step::Drag:  // held
                inStitch();
                *angles[pick(3)] = angle();
                async(true);
                steps += " drag";
                break;
            case Step::Release:  // moved or not
                inStitch();
                release();
                steps += " release";
                break;
            case Step::Spin: {  // a drag ended at once
                inStitch();
                int& a = *angles[pick(3)];
                a = 10 - a;
                async(true);
                release();
                steps += " spin";
                break;
            }
            case Step::Rotate: {  // the tool's move; nothing ends its quick previews
                inStitch();
                const int z = angle();
                doc->StartGeoTracking(nullptr);
                doc->DoRotateGeo(nullptr, z - v.z);
                if (z != v.z) {
                    v.z = z;
                    pending = v;
                }
                steps += " rotate";
                break;
            }
            case Step::Sync:
                inStitch();
                v.type = pick(2) ? SurfaceSpherical : SurfaceCylindrical;
                *angles[pick(3)] = angle();
                doc->setRenderSurface(v.type, v.x, v.y, v.z, false, false);
                pending.reset();
                steps += " sync";
                break;
            case Step::Export:  // Stitch, then Export
                doc->setTaskMode(TaskMode::TaskStitch);
                doc->setTaskMode(TaskMode::TaskExport);
                steps += " export";
                break;
            case Step::Wait:
                wait();
                steps += " wait";
                break;
            case Step::Pass:
                pass();
                break;
            }
        }
        // Export, and Render with the frame left alone (mostly with what has arrived
        // meanwhile handed over), or with the frame moved once the newest job's picture
        // arrived: after all was delivered, or after the pass that delivered it and
        // before the rest.
        doc->setTaskMode(TaskMode::TaskExport);
        const bool moved = pick(2);
        if (moved) {
            const bool onePass = pick(2);
            if (onePass && pending) {
                ASSERT_TRUE(postedFor(*pending)) << "no picture of the newest job";
                QCoreApplication::processEvents();
            } else {
                wait();
            }
            frame.rect = movedFrame();
            DeliverAll();
            steps += onePass ? " pass-frame" : " frame";
        } else if (pick(4)) {
            pass();
        }
        const QImage image = render();
        const QImage expected = oracle(start, v, moved);
        ASSERT_FALSE(expected.isNull());
        if (image != expected && ++failed <= 5)
            failures += "\n  from " + std::to_string(start) + ":" + steps + " -> " + std::to_string(image.width()) +
                        "x" + std::to_string(image.height()) + " instead of " + std::to_string(expected.width()) +
                        "x" + std::to_string(expected.height());
    }
    EXPECT_EQ(failed, 0) << "of " << sequences << failures;
}

// The tiled full-size render: cancelled while it runs, it leaves nothing to save or
// print and offers Render again; with "No crop" it is the whole canvas, not cut to the
// engine's crop.
TEST_F(PanoramaDocEngines, TiledRenderCancelledOrWithoutCrop)
{
    WireReal(true);
    ASSERT_TRUE(doc->onBtnStitch());
    PanoramaLib::ITiledPanorama* tiled = doc->tiledPanorama();
    const VarnoBase::Rect canvas = tiled->GetPanoramaPreview(false)->GetImageRect();
    const VarnoBase::Rect crop = tiled->GetCropRect(false);
    ASSERT_TRUE(crop.width() < canvas.width() && crop.height() < canvas.height());
    doc->setCropFlag(0);
    doc->setTaskMode(TaskMode::TaskExport);

    window.cancel = [](int max, int value) { return max == 100 && value >= 50; };
    log.Clear();
    EXPECT_FALSE(doc->onBtnRender());
    window.cancel = nullptr;
    EXPECT_TRUE(log.Contains("AbortProgressIndicator(100,5"));  // cancelled half-way
    EXPECT_FALSE(tiled->GetPanoramaImage()->HasBits());
    EXPECT_EQ(std::tuple(doc->enableBtnSave(), doc->printJob().printable(), doc->enableBtnRender()),
              std::tuple(false, false, true));

    ASSERT_TRUE(doc->onBtnRender());
    const PanoramaLib::IPanoElement* image = doc->GetPanorama();
    // The canvas at full size: its shape, with the uncovered corners the crop cuts off.
    const double scale = double(image->GetWidth()) / canvas.width();
    EXPECT_NEAR(image->GetHeight(), scale * canvas.height(), 2);
    const QImage pixels = ImageOf(image);
    EXPECT_EQ(pixels.pixel(0, 0), qRgb(255, 255, 255));
    EXPECT_TRUE(doc->enableBtnSave() && doc->printJob().printable());
}

// The H/V engine says whether its last build was made by manual matching: after one,
// with manual mode switched off again and no option changed, Start Stitching! is
// offered (an automatic build may come out otherwise); after an automatic build it is not.
TEST_F(PanoramaDocEngines, ManualBuildLeavesAnAutomaticStitchOffered)
{
    WireReal(false);
    PanoramaLib::PanoramaOptions wanted;
    for (const bool manual : {true, false}) {
        SCOPED_TRACE(manual ? "manual" : "automatic");
        doc->setManualMatchingMode(manual);
        ASSERT_TRUE(doc->onBtnStitch());
        EXPECT_EQ(doc->hvPanorama()->GetPanoramaStatus()->bManual, manual);
        doc->setManualMatchingMode(false);
        doc->getOptions(&wanted);
        EXPECT_EQ(doc->enableBtnStitch(wanted), manual);
    }
    EXPECT_FALSE(log.Contains("OpenManualMatchingDialog"));  // every pair was found without the user
}
