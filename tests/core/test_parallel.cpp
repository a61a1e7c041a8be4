// The parallel loop's contract that the image code relies on: every index once, and a
// worker's exception on the caller instead of ending the program, and the first one when
// several throw.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/parallel.h"

TEST(ParallelLoop, EveryIndexOnceAndAWorkersExceptionReachesTheCaller)
{
    std::vector<std::atomic<int>> hits(1000);
    Utils::ParallelForEach(hits.size(), 4, [&](std::size_t i) { hits[i].fetch_add(1); });
    Utils::ParallelBands(0, 1000, 4, [&](int, int b, int e) {
        for (int i = b; i < e; ++i)
            hits[std::size_t(i)].fetch_add(1);
    });
    for (const auto& h : hits)
        ASSERT_EQ(h.load(), 2);
    // Thrown on a started thread (the last band, the last item), not the caller's share.
    auto failAt = [](auto last) {
        return [last](auto i, auto...) {  // a band or an item
            if (i == last)
                throw std::bad_alloc();
        };
    };
    EXPECT_THROW(Utils::ParallelBands(0, 1000, 4, failAt(3)), std::bad_alloc);
    EXPECT_THROW(Utils::ParallelForEach(64, 4, failAt(std::size_t{63})), std::bad_alloc);

    // Share 0 starts first on the caller; the others throw once its failure was kept (stop
    // comes after that): a later exception must not replace it, pooled or not.
    for (bool pooled : {true, false}) {
        std::atomic<bool> stopped{false};
        auto worker = [&](int k) {
            if (k == 0)
                throw std::runtime_error("first");
            stopped.wait(false);
            throw std::logic_error("later");
        };
        auto stop = [&] { stopped = true; stopped.notify_all(); };
        EXPECT_THROW(pooled ? Utils::RunShares(3, worker, stop) : Utils::RunWorkers(3, worker, stop),
                     std::runtime_error);
    }
}

// Item 0 ends only once item 1 has been reported (or a minute has passed, so a broken loop
// fails instead of hanging): reports come on the caller, as items end, while others still
// run. After a report answering false nothing more is reported.
TEST(ParallelLoop, ReportsEachItemOnTheCallerAsItEndsAndStopsWhenTold)
{
    for (const bool stopAtFirst : {false, true}) {
        std::mutex lock;
        std::condition_variable reported;
        std::vector<std::size_t> order;
        bool onCaller = true, seenInTime = true;
        const auto caller = std::this_thread::get_id();
        Utils::ParallelForEachReported(
            stopAtFirst ? 50 : 6, 2,
            [&](std::size_t i) {
                std::unique_lock<std::mutex> guard(lock);
                if (i == 0)
                    seenInTime = reported.wait_for(guard, std::chrono::minutes(1), [&] { return !order.empty(); });
            },
            [&](std::size_t i) {
                std::lock_guard<std::mutex> guard(lock);
                onCaller = onCaller && std::this_thread::get_id() == caller;
                order.push_back(i);
                reported.notify_all();
                return !stopAtFirst;
            });
        EXPECT_TRUE(onCaller && seenInTime);
        ASSERT_FALSE(order.empty());
        EXPECT_EQ(order.front(), 1u);
        EXPECT_EQ(order.size(), stopAtFirst ? 1u : 6u);
    }
}

// A cancel answered at the third report (false, or an exception as a progress poll may
// throw) ends the loop on one thread, where each item runs and is reported on the caller
// in turn, as on several: nothing is reported after it and a thrown cancel reaches the
// caller. On one thread no later item is started at all (on several, those the other
// threads had taken already end unreported).
TEST(ParallelLoop, ACancelAtAReportEndsTheLoopOnOneThreadAsOnSeveral)
{
    struct Cancel {};
    constexpr std::size_t n = 20, cancelAt = 3;
    const auto caller = std::this_thread::get_id();
    for (const int threads : {1, 2, 4})
        for (const bool thrown : {false, true}) {
            SCOPED_TRACE(::testing::Message() << threads << " threads, cancel " << (thrown ? "thrown" : "answered"));
            std::atomic<std::size_t> started{0};
            std::size_t reports = 0;
            bool onCaller = true;
            const auto loop = [&] {
                Utils::ParallelForEachReported(
                    n, threads, [&](std::size_t) { ++started; },
                    [&](std::size_t) {
                        onCaller = onCaller && std::this_thread::get_id() == caller;
                        if (++reports < cancelAt)
                            return true;
                        if (thrown)
                            throw Cancel();
                        return false;
                    });
            };
            if (thrown) {
                EXPECT_THROW(loop(), Cancel);
            } else {
                EXPECT_NO_THROW(loop());
            }
            EXPECT_TRUE(onCaller);
            EXPECT_EQ(reports, cancelAt);
            if (threads == 1) {
                EXPECT_EQ(started.load(), cancelAt);
            }
        }
}
