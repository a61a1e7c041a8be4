// The preview worker: a newer request overtakes the running one, the cached answer, a
// failed stitch, Abort and Terminate, with a stitcher held on a latch.
#include <gtest/gtest.h>

#include <QObject>

#include "app/preview_thread.h"
#include "tests/app/matching_support.h"

namespace {

using vltest::LatchStitcher;

struct Transform {
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    explicit Transform(double tx) { m[0][2] = tx; }
};

// The thread with its signal counted on the GUI thread.
struct Worker {
    LatchStitcher stitch;
    PreviewThread thread{stitch.fn()};
    int announced = 0;
    Worker()
    {
        QObject::connect(&thread, &PreviewThread::updatePreview, qApp, [this] { ++announced; }, Qt::QueuedConnection);
    }
    int previewWidth()
    {
        vltest::Element p;
        p.Adopt(thread.GetPreview());
        return p ? p->GetWidth() : -1;
    }
};

}  // namespace

TEST(PreviewThread, NewerRequestOvertakesTheRunningOne)
{
    Worker w;
    w.thread.RenderPreview(Transform(10).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.startedCount() == 1; }));
    w.thread.RenderPreview(Transform(20).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.startedCount() == 2; }));
    w.stitch.release();
    ASSERT_TRUE(vltest::spinUntil([&] { return w.announced == 1; }));
    vltest::spinEvents();

    EXPECT_EQ(w.announced, 1);
    EXPECT_EQ(w.previewWidth(), 16 + 20);
    EXPECT_EQ(w.stitch.locked(w.stitch.aborted), (std::vector<bool>{true, false}));
}

TEST(PreviewThread, CachedRequestAndFailedStitch)
{
    Worker w;
    w.stitch.release();
    w.thread.RenderPreview(Transform(0).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.announced == 1; }));
    vltest::Element first;
    first.Adopt(w.thread.GetPreview());
    ASSERT_TRUE(first);

    // The same nine values again: answered from the held preview, nothing stitched.
    w.thread.RenderPreview(Transform(0).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.announced == 2; }));
    EXPECT_EQ(w.stitch.startedCount(), 1);
    vltest::Element again;
    again.Adopt(w.thread.GetPreview());
    EXPECT_EQ(again.get(), first.get());

    // A stitch that fails without an abort still answers, with no preview.
    {
        std::lock_guard<std::mutex> l(w.stitch.mutex);
        w.stitch.fail = true;
    }
    w.thread.RenderPreview(Transform(5).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.announced == 3; }));
    EXPECT_EQ(w.previewWidth(), -1);
}

TEST(PreviewThread, AbortWhileIdleAndPendingRequestAbandoned)
{
    Worker w;
    w.stitch.release();
    w.thread.RenderPreview(Transform(1).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.announced == 1; }));
    w.thread.Abort();
    EXPECT_EQ(w.previewWidth(), -1);
    vltest::spinEvents();
    EXPECT_EQ(w.announced, 1);

    // The next request clears the flag before its job.
    w.thread.RenderPreview(Transform(2).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.announced == 2; }));
    EXPECT_EQ(w.previewWidth(), 18);
}

// Abort (the markers went bad) is the last word: neither the job in progress, finished
// as if just before the abort, nor a request still waiting behind it leaves a preview.
TEST(PreviewThread, AbortOutranksRunningAndWaitingRequests)
{
    Worker w;
    w.stitch.ignoreAbort = true;
    w.thread.RenderPreview(Transform(3).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.startedCount() == 1; }));
    w.thread.RenderPreview(Transform(4).m);
    w.thread.Abort();
    w.stitch.release();
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.returned.load() == 1; }));
    vltest::spinEvents();
    EXPECT_EQ(w.previewWidth(), -1);

    w.thread.RenderPreview(Transform(5).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.announced >= 1; }));
    vltest::spinEvents();
    EXPECT_EQ(w.announced, 1);
    EXPECT_EQ(w.stitch.locked(w.stitch.started), (std::vector<double>{3, 5}));
    EXPECT_EQ(w.previewWidth(), 16 + 5);
}

TEST(PreviewThread, TerminateDuringStitchTwice)
{
    Worker w;
    w.thread.RenderPreview(Transform(4).m);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.startedCount() == 1; }));
    w.thread.Terminate();  // returns once the stitcher saw the abort
    EXPECT_EQ(w.stitch.returned.load(), 1);
    EXPECT_TRUE(w.thread.isFinished());
    w.thread.Terminate();
    vltest::spinEvents();
    EXPECT_EQ(w.announced, 0);
}
