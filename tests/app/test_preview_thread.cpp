// The preview worker: a newer request overtakes the running one, the cached answer, a
// failed stitch, Abort and Terminate, with a stitcher held on a latch.
#include <gtest/gtest.h>

#include "app/preview_thread.h"
#include "tests/app/matching_support.h"

namespace {

// The thread with its signal counted on the GUI thread; requests by m[0][2] alone.
struct Worker {
    vltest::LatchStitcher stitch;
    PreviewThread thread{std::ref(stitch)};
    int announced = 0;
    Worker() { QObject::connect(&thread, &PreviewThread::updatePreview, qApp, [this] { ++announced; }, Qt::QueuedConnection); }
    void request(double tx)
    {
        double m[3][3] = {{1, 0, tx}, {0, 1, 0}, {0, 0, 1}};
        thread.RenderPreview(m);
    }
    bool announcedTimes(int n) { return vltest::spinUntil([&] { return announced == n; }); }
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
    w.request(10);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.startedCount() == 1; }));
    w.request(20);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.startedCount() == 2; }));
    w.stitch.release();
    ASSERT_TRUE(w.announcedTimes(1));
    vltest::spinEvents();
    EXPECT_EQ(std::pair(w.announced, w.previewWidth()), std::pair(1, 16 + 20));
    EXPECT_EQ(w.stitch.locked(w.stitch.aborted), (std::vector<bool>{true, false}));
}

TEST(PreviewThread, CachedRequestAbortWhileIdleAndFailedStitch)
{
    Worker w;
    w.stitch.release();
    w.request(0);
    ASSERT_TRUE(w.announcedTimes(1));
    vltest::Element first, again;
    first.Adopt(w.thread.GetPreview());
    ASSERT_TRUE(first);
    // The same nine values again: answered from the held preview, nothing stitched.
    w.request(0);
    ASSERT_TRUE(w.announcedTimes(2));
    EXPECT_EQ(w.stitch.startedCount(), 1);
    again.Adopt(w.thread.GetPreview());
    EXPECT_EQ(again.get(), first.get());
    // Abort while idle drops the preview and announces nothing; the next request clears
    // the flag before its job.
    w.thread.Abort();
    EXPECT_EQ(w.previewWidth(), -1);
    vltest::spinEvents();
    EXPECT_EQ(w.announced, 2);
    w.request(2);
    ASSERT_TRUE(w.announcedTimes(3));
    EXPECT_EQ(w.previewWidth(), 18);
    // A stitch that fails without an abort still answers, with no preview.
    {
        std::lock_guard<std::mutex> l(w.stitch.mutex);
        w.stitch.fail = true;
    }
    w.request(5);
    ASSERT_TRUE(w.announcedTimes(4));
    EXPECT_EQ(w.previewWidth(), -1);
}

// Abort (the markers went bad) is the last word: neither the job in progress, finished
// as if just before the abort, nor a request still waiting behind it leaves a preview.
TEST(PreviewThread, AbortOutranksRunningAndWaitingRequests)
{
    Worker w;
    w.stitch.ignoreAbort = true;
    w.request(3);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.startedCount() == 1; }));
    w.request(4);
    w.thread.Abort();
    w.stitch.release();
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.returned.load() == 1; }));
    vltest::spinEvents();
    EXPECT_EQ(w.previewWidth(), -1);
    w.request(5);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.announced >= 1; }));
    vltest::spinEvents();
    EXPECT_EQ(std::tuple(w.announced, w.stitch.locked(w.stitch.started), w.previewWidth()), std::tuple(1, std::vector<double>{3, 5}, 16 + 5));
}

TEST(PreviewThread, TerminateDuringStitchTwice)
{
    Worker w;
    w.request(4);
    ASSERT_TRUE(vltest::spinUntil([&] { return w.stitch.startedCount() == 1; }));
    w.thread.Terminate();  // returns once the stitcher saw the abort
    EXPECT_EQ(w.stitch.returned.load(), 1);
    EXPECT_TRUE(w.thread.isFinished());
    w.thread.Terminate();
    vltest::spinEvents();
    EXPECT_EQ(w.announced, 0);
}

// The dialog may fetch the preview at any moment, also while the worker replaces it:
// both sides take the result lock. (ThreadSanitizer, as `make tsan` runs this, reports
// a fetch outside it; without it a fetch can also take a reference on a preview that
// the worker is releasing.)
TEST(PreviewThread, PreviewIsFetchedWhileTheWorkerReplacesIt)
{
    vltest::LatchStitcher stitch;
    stitch.release();
    PreviewThread thread{std::ref(stitch)};
    for (int tx = 1; tx <= 200; ++tx) {
        const double m[3][3] = {{1, 0, double(tx)}, {0, 1, 0}, {0, 0, 1}};
        thread.RenderPreview(m);
        // Fetched over and over, nothing else between the threads, until the new preview
        // is held; before, the previous one (none before the first).
        QElapsedTimer t;
        t.start();
        int width = 0;
        while (width != 16 + tx && t.elapsed() < 30000) {
            vltest::Element p;
            p.Adopt(thread.GetPreview());
            width = p ? p->GetWidth() : -1;
            ASSERT_TRUE(width == 16 + tx || width == (tx == 1 ? -1 : 15 + tx)) << "request " << tx << ": " << width;
        }
        ASSERT_EQ(width, 16 + tx);
    }
}
