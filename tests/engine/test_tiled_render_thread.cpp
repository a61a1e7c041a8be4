// The tiled engine's background render worker on a real host (Qt threads, the host's
// locks and events): the (0, 0) / (0, 1) / (1, 1) update protocol, fast mode,
// supersession, aborts that must keep stale images out of the view, Release while a
// job renders, a host without threads, and a seeded stress run of random UI calls.
#include <gtest/gtest.h>

#include <QImage>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>

#include "engine/tiled/panorama.h"
#include "tests/engine/tiled_test_util.h"

using namespace tiled_test;
using PanoramaLib::SurfaceCylindrical;
using PanoramaLib::SurfaceSpherical;
using Update = vltest::RecordingUserInterface::AsyncUpdate;

namespace {

const Photos& SharedPhotos()
{
    static const Photos photos(MosaicOptions(2, 2));
    return photos;
}

// Builds the shared 2 x 2 mosaic on the cylinder.
void Build(EngineOnHost& h)
{
    h.Options(false, SurfaceCylindrical);
    ASSERT_TRUE(h.engine->BuildPanorama(SharedPhotos().elements, nullptr, 0, 0, 0));
    h.ui.Clear();
}

// Hands every update from `from` on to the engine as the document does; returns the
// number handled.
std::size_t Deliver(EngineOnHost& h, std::size_t from)
{
    const auto all = h.ui.AsyncUpdates();
    for (std::size_t i = from; i < all.size(); ++i)
        if (!(all[i].wParam == 1 && all[i].lParam == 1))
            h.engine->SyncUpdatePanoramaView(all[i].wParam, all[i].lParam);
    return all.size();
}

}  // namespace

TEST(TiledRenderThread, SurfaceChangeReachesTheViewThroughTheUpdateProtocolAndFastModeKeepsTheCrop)
{
    EngineOnHost h;
    Build(h);
    h.engine->SetRenderingSurface(SurfaceSpherical, 0, 5, 0, true, false);
    const std::size_t done = h.WaitForCompletion(0);
    ASSERT_GT(done, 0u);
    const auto updates = h.ui.AsyncUpdates();
    for (std::size_t i = 0; i + 1 < done; ++i)
        EXPECT_EQ(updates[i], (Update{0, 0}));  // parts first
    EXPECT_GE(done, 2u);

    h.engine->SyncUpdatePanoramaView(0, 1);
    ASSERT_TRUE(h.ui.WaitForAsyncUpdates(done + 1));
    EXPECT_EQ(h.ui.AsyncUpdates()[done], (Update{1, 1}));  // the crop rectangle was recomputed
    EXPECT_EQ(h.ui.PictureViewUpdates().back(), true);
    VarnoBase::RefPtr<CPanoElement> async(static_cast<CPanoElement*>(h.engine->GetPanoramaPreview(false)));
    ASSERT_TRUE(async->HasBits());
    EXPECT_EQ(h.engine->GetCropRect(false), async->GetCropRect(0));

    // The same surface rendered on the UI thread gives the same picture.
    ASSERT_TRUE(h.self->SetRenderingSurfaceEx(SurfaceSpherical, 0, 5, 0, false, false));
    PanoramaLib::IPanoElement* sync = h.engine->GetPanoramaPreview(false);
    ASSERT_NE(sync, async.get());
    ASSERT_EQ(sync->GetImageSize(), async->GetImageSize());
    const QImage a = ImageOf(async.get()), s = ImageOf(sync);
    long long differing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (async->GetAlphaBits()[y * async->GetAlphaBPL() + x] && a.pixel(x, y) != s.pixel(x, y))
                ++differing;
    EXPECT_EQ(differing, 0);

    // An abort while idle drops the result; the next job renders normally.
    h.self->m_renderThread.Abort();
    EXPECT_EQ(h.self->m_renderThread.GetPano(), nullptr);
    const std::size_t before = h.ui.AsyncUpdates().size();
    h.engine->SetRenderingSurface(SurfaceCylindrical, 0, 0, 0, true, false);
    ASSERT_GT(h.WaitForCompletion(before), 0u);
    VarnoBase::RefPtr<CPanoElement> result;
    result.Adopt(h.self->m_renderThread.GetPano());
    EXPECT_TRUE(result);

    // Fast mode (a slider being dragged) leaves the crop until the slider is released.
    h.ui.Clear();
    h.engine->SetRenderingSurface(SurfaceCylindrical, 0, 8, 0, true, true);
    ASSERT_GT(h.WaitForCompletion(0), 0u);
    Deliver(h, 0);
    for (const Update& u : h.ui.AsyncUpdates())
        EXPECT_NE(u, (Update{1, 1}));
    EXPECT_TRUE(h.engine->FastRenderingHasFinished());
    EXPECT_EQ(h.ui.AsyncUpdates().back(), (Update{1, 1}));
    EXPECT_FALSE(h.self->m_renderThread.IsFast());
}

// A build's crop rectangle is found on the preview's coverage before the preview is
// flattened: the same view rendered by the worker (coverage kept) shows a canvas with
// empty corners, and the crop inside it over covered pixels only.
TEST(TiledRenderThread, BuildsCropRectangleHoldsOnlyCoveredPixels)
{
    EngineOnHost h;
    Build(h);
    const VarnoBase::Rect crop = h.engine->GetCropRect(false);
    const VarnoBase::Rect canvas = h.engine->GetPanoramaPreview(false)->GetImageRect();
    // Asked for anew over the flattened preview, the crop is still its covered area.
    EXPECT_EQ(h.engine->GetCropRect(true), crop);
    h.engine->SetRenderingSurface(SurfaceCylindrical, 0, 0, 0, true, false);
    ASSERT_GT(h.WaitForCompletion(0), 0u);
    VarnoBase::RefPtr<CPanoElement> view;
    view.Adopt(h.self->m_renderThread.GetPano());
    ASSERT_TRUE(view && view->GetAlphaBits());
    ASSERT_EQ(view->GetImageRect(), canvas);
    const auto covered = [&](int x, int y) { return view->GetAlphaBits()[y * view->GetAlphaBPL() + x] != 0; };
    const int w = canvas.width(), hgt = canvas.height();
    EXPECT_FALSE(covered(0, 0) && covered(w - 1, 0) && covered(0, hgt - 1) && covered(w - 1, hgt - 1));
    ASSERT_FALSE(crop.isEmpty());
    EXPECT_TRUE(crop != canvas && crop.left >= 0 && crop.top >= 0 && crop.right <= w && crop.bottom <= hgt)
        << crop.left << "," << crop.top << "," << crop.right << "," << crop.bottom << " of " << w << "x" << hgt;
    long long uncovered = 0;
    for (int y = std::max(crop.top, 0); y < std::min(crop.bottom, hgt); ++y)
        for (int x = std::max(crop.left, 0); x < std::min(crop.right, w); ++x)
            uncovered += !covered(x, y);
    EXPECT_EQ(uncovered, 0);
}

namespace {

// Records the progress polls; cancels at the first poll of a full-size render (bar of
// 100 steps, past its start) once armed, or at the first poll of a preview rendered
// before it (no bar).
struct RenderCancel : vltest::RecordingProgress {
    bool AbortProgressIndicator(int max, int value) override
    {
        RecordingProgress::AbortProgressIndicator(max, value);
        return (armed && max == 100 && value > 0) || (armedBusy && max == 0);
    }
    bool BusyPhase() const  // a poll without a bar: a preview rendered before the full size
    {
        const auto all = Positions();
        return std::any_of(all.begin(), all.end(), [](const Position& p) { return p.max == 0; });
    }
    bool armed = false;
    bool armedBusy = false;
};

using View = Tiled_Panorama::SurfaceView;

// Waits until the worker has published the whole picture of `view`, its newest job.
void WaitForView(EngineOnHost& h, const View& view)
{
    for (std::size_t from = 0;;) {
        from = h.WaitForCompletion(from);
        ASSERT_GT(from, 0u) << "no picture of the newest job";
        View got;
        bool complete = false;
        VarnoBase::RefPtr<CPanoElement> picture;
        picture.Adopt(h.self->m_renderThread.GetPano(&got, &complete));
        if (picture && complete && got == view)
            return;
    }
}

// A frame the user drew over the preview on show: the middle of its canvas.
VarnoBase::Rect MovedFrame(EngineOnHost& h)
{
    const VarnoBase::Rect c = h.engine->GetPanoramaPreview(false)->GetImageRect();
    return {c.width() * 3 / 10, c.height() / 4, c.width() * 7 / 10, c.height() * 3 / 4};
}

// Renders `view` at full size through the frame the document hands over: the engine's
// crop when the frame was left alone, else the moved frame.
QImage RenderThrough(EngineOnHost& h, const View& view, const std::optional<VarnoBase::Rect>& moved)
{
    h.engine->SetCropRect(moved ? *moved : h.engine->GetCropRect(false));
    if (!h.engine->RenderPanorama(view.x, view.y, view.z))
        return {};
    return ImageOf(h.engine->GetPanoramaImage());
}

}  // namespace

// A full-size render asked for right after a change of surface or orientation, before
// that view's preview arrived, crops that view as it would have once the preview was
// there (or once a slider drag over it was released): the same size and the same
// pixels. Only then is the view's preview rendered first. Cancelled while that preview
// is rendered, the render leaves nothing and the old crop; cancelled after it, it
// leaves it as the view's preview with its crop, which the document is told to take.
// After a full-size render, the result's crop is no preview's.
TEST(TiledRenderThread, RenderRightAfterAViewChangeCropsThatView)
{
    RenderCancel progress;
    EngineOnHost h(&progress);
    h.Options(true, SurfaceCylindrical);
    ASSERT_TRUE(h.engine->BuildPanorama(SharedPhotos().elements, nullptr, 0, 0, 0));
    for (const View v : {View{SurfaceCylindrical, 0, 0, 20}, View{SurfaceCylindrical, 15, -10, 0},
                         View{SurfaceSpherical, 0, 0, 0}}) {
        SCOPED_TRACE(::testing::Message() << v.type << " " << v.x << "," << v.y << "," << v.z);
        auto change = [&](bool fast = false) {
            // From the built view, rendered on this thread.
            ASSERT_TRUE(h.self->SetRenderingSurfaceEx(SurfaceCylindrical, 0, 0, 0, false, false));
            h.ui.Clear();
            ASSERT_TRUE(h.engine->SetRenderingSurface(v.type, v.x, v.y, v.z, true, fast));
        };
        // kRecomputed: a fast preview arrived and its crop was asked for anew.
        enum { kWaited, kReleased, kRecomputed, kAtOnce };
        QImage images[4];
        VarnoBase::Rect previewCrop;
        for (const int when : {kWaited, kReleased, kRecomputed, kAtOnce}) {
            change(when == kReleased || when == kRecomputed);
            if (when != kAtOnce) {
                ASSERT_GT(h.WaitForCompletion(0), 0u);
                Deliver(h, 0);
                if (when == kReleased)
                    h.engine->FastRenderingHasFinished();
                if (when == kRecomputed)
                    h.engine->GetCropRect(true);
                previewCrop = h.engine->GetCropRect(false);
            }
            h.engine->SetCropRect(h.engine->GetCropRect(false));
            progress.Clear();
            ASSERT_TRUE(h.engine->RenderPanorama(v.x, v.y, v.z));
            EXPECT_EQ(progress.BusyPhase(), when == kAtOnce) << when;
            images[when] = ImageOf(h.engine->GetPanoramaImage());
        }
        for (const int when : {kReleased, kRecomputed, kAtOnce}) {
            EXPECT_EQ(images[when].size(), images[kWaited].size()) << when;
            EXPECT_TRUE(images[when] == images[kWaited]) << when;
        }

        // A full-size render leaves a crop of its own, no preview's: turned away and
        // back with the slider held, the view's preview arrives in fast mode, and Render
        // crops that view as after waiting.
        h.ui.Clear();
        ASSERT_TRUE(h.engine->SetRenderingSurface(v.type, v.x + 5, v.y, v.z, true, true));
        ASSERT_TRUE(h.engine->SetRenderingSurface(v.type, v.x, v.y, v.z, true, true));
        WaitForView(h, v);
        Deliver(h, 0);
        EXPECT_TRUE(RenderThrough(h, v, std::nullopt) == images[kWaited]);

        // Cancelled while the view's preview is rendered first: nothing to save, the
        // old preview and crop stay.
        change();
        const VarnoBase::Rect oldCrop = h.engine->GetCropRect(false);
        progress.armedBusy = true;
        EXPECT_FALSE(h.engine->RenderPanorama(v.x, v.y, v.z));
        progress.armedBusy = false;
        EXPECT_TRUE(progress.BusyPhase());
        EXPECT_FALSE(h.engine->GetPanoramaImage()->HasBits());
        EXPECT_EQ(h.engine->GetCropRect(false), oldCrop);

        change();
        progress.armed = true;
        EXPECT_FALSE(h.engine->RenderPanorama(v.x, v.y, v.z));
        progress.armed = false;
        EXPECT_FALSE(h.engine->GetPanoramaImage()->HasBits());
        EXPECT_TRUE(h.engine->GetPanoramaPreview(false)->HasBits());
        EXPECT_EQ(h.engine->GetCropRect(false), previewCrop);
        const auto updates = h.ui.AsyncUpdates();
        EXPECT_TRUE(!updates.empty() && updates.back() == (Update{1, 1}));
        progress.Clear();
        ASSERT_TRUE(h.engine->RenderPanorama(v.x, v.y, v.z));  // that preview is this view's now
        EXPECT_FALSE(progress.BusyPhase());
        EXPECT_TRUE(ImageOf(h.engine->GetPanoramaImage()) == images[kWaited]);
    }

    // The completion message of an earlier job that finds a part of the newest job's
    // picture: the crop taken from that part is no crop of the view.
    h.self->m_renderThread.m_scale = 60.0;  // long enough to catch a part
    ASSERT_TRUE(h.self->SetRenderingSurfaceEx(SurfaceCylindrical, 0, 0, 0, false, false));
    h.ui.Clear();
    ASSERT_TRUE(h.engine->SetRenderingSurface(SurfaceSpherical, 0, 0, 0, true, false));
    ASSERT_TRUE(h.ui.WaitForAsyncUpdates(1));
    h.engine->SyncUpdatePanoramaView(0, 1);
    const PanoramaLib::IPanoElement* taken = h.engine->GetPanoramaPreview(false);
    ASSERT_GT(h.WaitForCompletion(0), 0u);
    VarnoBase::RefPtr<CPanoElement> whole;
    whole.Adopt(h.self->m_renderThread.GetPano());
    if (taken == whole.get())
        GTEST_SKIP() << "the job finished before its part could be taken";
    progress.Clear();
    ASSERT_TRUE(h.engine->RenderPanorama(0, 0, 0));
    EXPECT_TRUE(progress.BusyPhase());
}

// Whichever way the window reaches a view from a build (surface buttons, slider moves
// and releases with or without a move, spin-box steps, synchronous changes, previews
// waited for, handed over as they come or not at all), Render gives what it gives after
// one change to that view that was waited for: the view's own crop, or the frame the
// user moved over its preview. Seeded random sequences of one to six steps.
TEST(TiledRenderThread, RenderAfterAnyWalkToAViewEqualsRenderAfterOneWaitedChange)
{
    EngineOnHost h;
#if defined(__SANITIZE_THREAD__)
    const int sequences = 12;
#elif defined(__SANITIZE_ADDRESS__)
    const int sequences = 40;
#else
    const int sequences = 300;
#endif
    const View starts[] = {{SurfaceCylindrical, 0, 0, 0}, {SurfaceCylindrical, 10, -5, 0},
                           {SurfaceSpherical, 0, 5, 10}};
    auto build = [&](const View& start) {
        h.Options(true, start.type);
        if (!h.engine->BuildPanorama(SharedPhotos().elements, nullptr, start.x, start.y, start.z))
            return false;
        h.ui.Clear();
        return true;
    };
    // The oracle: from the same build, one change to the view, waited for.
    std::map<std::tuple<int, int, int, int, int, bool>, QImage> oracles;
    auto oracle = [&](int start, const View& v, bool moved) -> QImage {
        QImage& image = oracles[{start, v.type, v.x, v.y, v.z, moved}];
        if (image.isNull() && build(starts[start])) {
            h.engine->SetRenderingSurface(v.type, v.x, v.y, v.z, true, false);
            WaitForView(h, v);
            Deliver(h, 0);
            image = RenderThrough(h, v, moved ? std::optional(MovedFrame(h)) : std::nullopt);
        }
        return image;
    };

    std::mt19937 rng(20261207);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto angle = [&] { return 5 * pick(7) - 15; };
    int failed = 0;
    std::string failures;
    for (int n = 0; n < sequences; ++n) {
        const int start = pick(3);
        ASSERT_TRUE(build(starts[start]));
        View v = starts[start];
        std::optional<View> pending;  // the newest job, posted and not waited for
        std::size_t delivered = 0;
        std::string steps;
        auto async = [&](bool fast) {
            h.engine->SetRenderingSurface(v.type, v.x, v.y, v.z, true, fast);
            pending = v;
        };
        auto wait = [&] {
            if (pending)
                WaitForView(h, *pending);
            pending.reset();
            delivered = Deliver(h, delivered);
        };
        for (int k = 1 + pick(6); k > 0; --k) {
            int* angles[] = {&v.x, &v.y, &v.z};
            switch (pick(7)) {
            case 0:  // a surface button
                v.type = pick(2) ? SurfaceSpherical : SurfaceCylindrical;
                async(false);
                steps += " button";
                break;
            case 1:  // a slider dragged and held
                *angles[pick(3)] = angle();
                async(true);
                steps += " drag";
                break;
            case 2:  // a slider released, moved or not
                h.engine->FastRenderingHasFinished();
                steps += " release";
                break;
            case 3: {  // a spin-box step
                int& a = *angles[pick(3)];
                a = std::clamp(a + (pick(2) ? 5 : -5), -15, 15);
                async(true);
                h.engine->FastRenderingHasFinished();
                steps += " spin";
                break;
            }
            case 4:
                wait();
                steps += " wait";
                break;
            case 5:  // what has arrived, handed over
                delivered = Deliver(h, delivered);
                steps += " deliver";
                break;
            default:  // a synchronous change
                v.type = pick(2) ? SurfaceSpherical : SurfaceCylindrical;
                *angles[pick(3)] = angle();
                ASSERT_TRUE(h.self->SetRenderingSurfaceEx(v.type, v.x, v.y, v.z, false, false));
                pending.reset();
                steps += " sync";
                break;
            }
        }
        std::optional<VarnoBase::Rect> moved;
        if (pick(2)) {
            wait();
            moved = MovedFrame(h);
            steps += " frame";
        }
        const QImage image = RenderThrough(h, v, moved);
        const QImage expected = oracle(start, v, moved.has_value());
        ASSERT_FALSE(expected.isNull());
        if (image != expected) {
            if (++failed <= 5)
                failures += "\n  from " + std::to_string(start) + ":" + steps + " -> " +
                            std::to_string(image.width()) + "x" + std::to_string(image.height()) + " instead of " +
                            std::to_string(expected.width()) + "x" + std::to_string(expected.height());
        }
    }
    EXPECT_EQ(failed, 0) << "of " << sequences << failures;
}

// After a full-size render no preview is on show: a frame set then was drawn over no
// view. Turned away and back with a slider held, the view's quick preview arrives, and
// Render with the frame left alone crops that view as right after the build.
TEST(TiledRenderThread, FrameSetWithNoPreviewOnShowCropsNoView)
{
    EngineOnHost h;
    h.Options(true, SurfaceCylindrical);
    ASSERT_TRUE(h.engine->BuildPanorama(SharedPhotos().elements, nullptr, 0, 0, 0));
    const View built{SurfaceCylindrical, 0, 0, 0};
    const QImage expected = RenderThrough(h, built, std::nullopt);
    ASSERT_FALSE(expected.isNull());
    ASSERT_FALSE(h.engine->GetPanoramaPreview(false)->HasBits());

    VarnoBase::Rect quarter = h.engine->GetCropRect(false);
    quarter.inflate(-quarter.width() / 4, -quarter.height() / 4);
    h.engine->SetCropRect(quarter);
    h.ui.Clear();
    ASSERT_TRUE(h.engine->SetRenderingSurface(SurfaceCylindrical, 0, 0, 20, true, true));
    ASSERT_TRUE(h.engine->SetRenderingSurface(SurfaceCylindrical, 0, 0, 0, true, true));
    WaitForView(h, built);
    Deliver(h, 0);
    const QImage image = RenderThrough(h, built, std::nullopt);
    EXPECT_EQ(image.size(), expected.size());
    EXPECT_TRUE(image == expected);
}

TEST(TiledRenderThread, NewestJobWins)
{
    EngineOnHost h;
    Build(h);
    ASSERT_TRUE(h.self->SetRenderingSurfaceEx(SurfaceSpherical, 0, 0, 0, false, false));
    const int sphereWidth = h.engine->GetPanoramaPreview(false)->GetWidth();
    const std::uint64_t started = h.self->m_renderThread.JobsStarted();
    h.engine->SetRenderingSurface(SurfaceCylindrical, 0, 0, 0, true, false);
    h.engine->SetRenderingSurface(SurfaceSpherical, 0, 0, 0, true, false);
    // At most two completions can come; the last published image is the sphere's.
    std::size_t seen = 0;
    VarnoBase::RefPtr<CPanoElement> last;
    for (int k = 0; k < 2; ++k) {
        seen = h.WaitForCompletion(seen);
        ASSERT_GT(seen, 0u);
        last.Adopt(h.self->m_renderThread.GetPano());
        if (last && last->GetWidth() == sphereWidth)
            break;
    }
    ASSERT_TRUE(last);
    EXPECT_EQ(last->GetWidth(), sphereWidth);
    EXPECT_LE(h.self->m_renderThread.JobsStarted() - started, 2u);
    EXPECT_EQ(h.self->m_surfaceType, SurfaceSpherical);
}

// Whatever a job posted before a free, a full render, a rebuild or a synchronous
// surface change would publish never becomes the preview.
TEST(TiledRenderThread, StaleJobsNeverReachTheView)
{
    EngineOnHost h;
    Build(h);
    h.self->m_renderThread.m_scale = 60.0;  // long enough to be running when the UI acts

    // Free: the preview must stay empty.
    h.engine->SetRenderingSurface(SurfaceSpherical, 0, 0, 0, true, false);
    h.engine->FreePanoramaImages();
    EXPECT_EQ(h.self->m_renderThread.GetPano(), nullptr);
    Deliver(h, 0);
    EXPECT_FALSE(h.engine->GetPanoramaPreview(false)->HasBits());

    // Rebuild, then a job posted before a full render.
    Build(h);
    PanoramaLib::IPanoElement* built = h.engine->GetPanoramaPreview(false);
    h.engine->SetRenderingSurface(SurfaceSpherical, 0, 0, 0, true, false);
    ASSERT_TRUE(h.engine->RenderPanorama(0, 0, 0));
    Deliver(h, 0);
    EXPECT_FALSE(h.engine->GetPanoramaPreview(false)->HasBits());  // the full-size image stands in
    EXPECT_TRUE(h.engine->GetPanoramaImage()->HasBits());
    EXPECT_NE(built, nullptr);

    // A job, then a synchronous change: the synchronous preview stays.
    Build(h);
    h.engine->SetRenderingSurface(SurfaceSpherical, 0, 0, 0, true, false);
    ASSERT_TRUE(h.self->SetRenderingSurfaceEx(SurfaceCylindrical, 0, 3, 0, false, false));
    PanoramaLib::IPanoElement* syncPreview = h.engine->GetPanoramaPreview(false);
    Deliver(h, 0);
    EXPECT_EQ(h.engine->GetPanoramaPreview(false), syncPreview);

    // A job, then a rebuild.
    h.ui.Clear();
    h.engine->SetRenderingSurface(SurfaceSpherical, 0, 0, 0, true, false);
    ASSERT_TRUE(h.engine->BuildPanorama(SharedPhotos().elements, nullptr, 0, 0, 0));
    PanoramaLib::IPanoElement* rebuilt = h.engine->GetPanoramaPreview(false);
    Deliver(h, 0);
    EXPECT_EQ(h.engine->GetPanoramaPreview(false), rebuilt);
}

// Partial images reach the view as copies: what the view holds does not change while
// the job goes on writing its own image.
TEST(TiledRenderThread, PartialImagesArePublishedAsCopies)
{
    EngineOnHost h;
    Build(h);
    h.self->m_renderThread.m_scale = 60.0;
    h.engine->SetRenderingSurface(SurfaceSpherical, 0, 0, 0, true, false);
    ASSERT_TRUE(h.ui.WaitForAsyncUpdates(1));
    VarnoBase::RefPtr<CPanoElement> partial;
    partial.Adopt(h.self->m_renderThread.GetPano());
    if (!partial)
        GTEST_SKIP() << "the job finished before its part could be taken";
    const QImage snapshot = ImageOf(partial.get());
    ASSERT_GT(h.WaitForCompletion(0), 0u);
    VarnoBase::RefPtr<CPanoElement> final;
    final.Adopt(h.self->m_renderThread.GetPano());
    ASSERT_TRUE(final);
    EXPECT_NE(final.get(), partial.get());
    EXPECT_EQ(ImageOf(partial.get()), snapshot);
}

// Freeing the photos while a job renders: the UI waits for the worker, and the job
// (which held its own references) is gone when Free returns. Release while a job
// renders returns only once the worker has left its loop: a worker still running would
// be caught by the sanitizers when the engine's interfaces go away.
TEST(TiledRenderThread, FreeAndReleaseWaitUntilNoJobHoldsThePhotos)
{
    auto h = std::make_unique<EngineOnHost>();
    for (int release = 0; release < 2; ++release) {
        Build(*h);
        h->self->m_renderThread.m_scale = 150.0;
        h->engine->SetRenderingSurface(SurfaceSpherical, 0, 0, 0, true, false);
        ASSERT_TRUE(h->ui.WaitForAsyncUpdates(1));  // the job is past its first photo
        if (release) {
            h->engine->Release();
            h->engine = nullptr;
        } else {
            h->engine->Free(true, true);
            EXPECT_TRUE(h->self->m_images.empty());
            EXPECT_EQ(h->self->m_renderThread.GetPano(), nullptr);
        }
        for (PanoramaLib::IPanoElement* e : SharedPhotos().elements)
            EXPECT_EQ(static_cast<CPanoElement*>(e)->RefCount(), 1);  // only the test's own reference
    }
}

namespace {

// A host that gives locks and events but no thread.
class NoThreads : public PanoramaLib::IFreeThreading {
public:
    explicit NoThreads(PanoramaLib::IFreeThreading& real) : m_real(real) {}
    PanoramaLib::ICriticalSection* CreateCriticalSection() override { return m_real.CreateCriticalSection(); }
    PanoramaLib::IEvent* CreateEvent() override { return m_real.CreateEvent(); }
    bool CreateThread(PanoramaLib::IThread*) override { return false; }

private:
    PanoramaLib::IFreeThreading& m_real;
};

}  // namespace

TEST(TiledRenderThread, WithoutAWorkerChangesRenderOnTheUIThreadAndReleaseReturns)
{
    vltest::ScopedDibManager outer;
    NoThreads threads(outer.host());
    EngineOnHost h(nullptr, &threads);
    EXPECT_FALSE(h.self->m_renderThread.IsRunning());
    Build(h);
    PanoramaLib::IPanoElement* before = h.engine->GetPanoramaPreview(false);
    h.engine->SetRenderingSurface(SurfaceSpherical, 0, 0, 0, true, false);
    EXPECT_NE(h.engine->GetPanoramaPreview(false), before);
    EXPECT_TRUE(h.engine->GetPanoramaPreview(false)->HasBits());
    EXPECT_TRUE(h.ui.AsyncUpdates().empty());
    h.engine->Release();  // must not wait for a worker that never ran
    h.engine = nullptr;
}

TEST(TiledRenderThread, JobsKeepTheLensPolynomialTheyWerePreparedWith)
{
    const Photos& photos = SharedPhotos();
    const D3Param world{0, 0, 0, 0, 1, 1e-6, 1e-11, 0, 1e-9};
    const int saved = g_ldPoynomType;
    auto render = [&](int prepareWith, int renderWith) {
        g_ldPoynomType = prepareWith;
        CCylindricalSurface s;
        photos.AddTo(s, world);
        g_ldPoynomType = renderWith;  // the UI changes the option while the job waits
        EXPECT_TRUE(s.RenderSurface(20.0, nullptr, nullptr, 0, 100));
        VarnoBase::RefPtr<CPanoElement> pano;
        pano.Adopt(s.GetPano());
        return ImageOf(pano.get());
    };
    const QImage expected = render(1, 1);
    const QImage changed = render(1, 0);
    const QImage other = render(0, 0);
    g_ldPoynomType = saved;
    EXPECT_EQ(expected, changed);
    EXPECT_NE(expected, other);
}

// Random UI calls against a running worker, then Release; runs clean under the address
// and thread sanitizers.
TEST(TiledRenderThread, StressOfRandomCallsThenRelease)
{
    EngineOnHost h;
    Build(h);
    std::mt19937 rng(20261206);
    std::size_t delivered = 0;
    for (int i = 0; i < 120; ++i) {
        const int op = static_cast<int>(rng() % 10);
        const auto type = rng() % 2 ? SurfaceSpherical : SurfaceCylindrical;
        const int angle = static_cast<int>(rng() % 21) - 10;
        if (op < 3) {
            h.engine->SetRenderingSurface(type, 0, angle, 0, true, rng() % 2 == 0);
        } else if (op == 3) {
            h.self->m_renderThread.Abort();
        } else if (op == 4) {
            VarnoBase::RefPtr<CPanoElement> p;
            p.Adopt(h.self->m_renderThread.GetPano());
            EXPECT_TRUE(!p || p->HasBits());
        } else if (op == 5) {
            delivered = Deliver(h, delivered);
        } else if (op == 6 && rng() % 4 == 0) {
            h.engine->FreePanoramaImages();
            delivered = Deliver(h, delivered);
            EXPECT_FALSE(h.engine->GetPanoramaPreview(false)->HasBits());
            ASSERT_TRUE(h.engine->BuildPanorama(SharedPhotos().elements, nullptr, 0, 0, 0));
        } else if (op == 7) {
            h.self->SetRenderingSurfaceEx(type, angle, 0, 0, false, false);
        } else if (op == 8) {
            h.engine->FastRenderingHasFinished();
        } else if (op == 9 && rng() % 8 == 0) {
            h.engine->RenderPanorama(0, angle, 0);
        }
    }
    // Release (in the destructor) with whatever is still running or pending.
}
