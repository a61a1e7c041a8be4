// The one parallel loop of the image model and the engines: a range of rows, blocks or
// items split among a few threads of one process-wide pool, the calling thread taking a
// share. Every index is handled exactly once and independently, so what a loop writes
// per index does not depend on the number of threads. One thread-count policy for all
// of them (WorkerThreads). An exception thrown by a worker (std::bad_alloc of a row
// buffer, say) stops the handing out of further work and is rethrown on the calling
// thread once every worker has ended; shares no pool thread is free for run on the
// caller. Callers own everything the loop body touches.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace Utils {

// Threads for a setting of n > 0 (n) or 0 (one per core, at most eight: beyond that
// these loops are bound by memory, not arithmetic).
inline int WorkerThreads(int setting) noexcept
{
    if (setting > 0)
        return setting;
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
}

namespace Detail {

// The first exception any of several workers threw (the later ones are dropped);
// `stop` is called from the failing thread so the others can end early.
class FirstFailure {
public:
    template <class Worker, class Stop>
    void Run(Worker& worker, Stop& stop, int k) noexcept
    {
        try {
            worker(k);
        } catch (...) {
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (!m_failure)
                    m_failure = std::current_exception();
            }
            stop();
        }
    }
    void Rethrow() const
    {
        if (m_failure)
            std::rethrow_exception(m_failure);
    }

private:
    std::exception_ptr m_failure;
    std::mutex m_lock;
};

}  // namespace Detail

// Runs worker(k) for k in [0, workers), k = 0 on the calling thread, and returns when
// all have ended; the first exception any of them threw is then rethrown. `stop` is
// called (from the failing thread) when a worker throws, so the others can end early.
template <class Worker, class Stop>
void RunWorkers(int workers, Worker&& worker, Stop&& stop)
{
    Detail::FirstFailure failure;
    auto guarded = [&](int k) noexcept { failure.Run(worker, stop, k); };
    std::vector<std::thread> pool;
    int started = 1;
    if (workers > 1) {
        pool.reserve(static_cast<std::size_t>(workers - 1));
        try {
            for (; started < workers; ++started)
                pool.emplace_back(guarded, started);
        } catch (...) {
            // No further thread could be started: the shares not handed out run here.
        }
    }
    // Shares no thread could be started for run here before the caller's own, so that a
    // share 0 that waits for the others' work (ParallelForEachReported) finds it done.
    for (int k = started; k < workers; ++k)
        guarded(k);
    guarded(0);
    for (std::thread& t : pool)
        t.join();
    failure.Rethrow();
}

namespace Detail {

// Runs run(ctx, k) for k in [1, shares) on the process's pool of worker threads while
// the caller runs run(ctx, 0), then takes back every share no pool thread has started
// and runs it itself; returns when all have ended. A caller therefore only ever waits
// for shares that are running, so loops nested in loop bodies cannot deadlock, and a
// pool kept busy (or a machine without threads to spare) only makes a loop serial.
// run must not throw.
void RunPooled(int shares, void (*run)(void*, int), void* ctx);

}  // namespace Detail

// RunWorkers for short loops: the shares run on persistent pool threads instead of
// threads started for the call (starting and ending a thread costs as much as a few
// hundred thousand pixel operations, and these loops run thousands of times a
// build). No guarantee that shares run at the same time: a share must never wait for
// another one (RunWorkers' workers may).
template <class Worker, class Stop>
void RunShares(int workers, Worker&& worker, Stop&& stop)
{
    Detail::FirstFailure failure;
    auto guarded = [&](int k) noexcept { failure.Run(worker, stop, k); };
    if (workers <= 1) {
        guarded(0);
    } else {
        using Guarded = decltype(guarded);
        Detail::RunPooled(
            workers, [](void* ctx, int k) { (*static_cast<Guarded*>(ctx))(k); }, &guarded);
    }
    failure.Rethrow();
}

// Splits [begin, end) into `threads` contiguous bands (fewer when there are fewer rows)
// and runs fn(band, first, last) for each, band 0 on the calling thread.
template <class Fn>
void ParallelBands(int begin, int end, int threads, const Fn& fn)
{
    const int rows = end - begin;
    if (rows <= 0)
        return;
    threads = std::clamp(threads, 1, rows);
    RunShares(
        threads,
        [&](int k) {
            const int b0 = begin + static_cast<int>(static_cast<std::int64_t>(rows) * k / threads);
            const int b1 = begin + static_cast<int>(static_cast<std::int64_t>(rows) * (k + 1) / threads);
            fn(k, b0, b1);
        },
        [] {});
}

// Runs fn(row) for every row of [begin, end), in bands on up to `threads` threads.
template <class Fn>
void ParallelRows(int begin, int end, int threads, const Fn& fn)
{
    ParallelBands(begin, end, threads, [&](int, int b0, int b1) {
        for (int y = b0; y < b1; ++y)
            fn(y);
    });
}

// Calls fn(begin, end) over [0, count) in contiguous bands, one per thread. workPerItem
// is a rough cost of one item (pixels per row, say): small jobs stay on the caller, as
// starting a thread costs more than a few hundred thousand pixel operations.
template <class Fn>
void ParallelForRows(int count, std::int64_t workPerItem, Fn&& fn)
{
    if (count <= 0)
        return;
    constexpr std::int64_t kMinWorkPerThread = static_cast<std::int64_t>(1) << 17;
    const std::int64_t total = static_cast<std::int64_t>(count) * std::max<std::int64_t>(workPerItem, 1);
    const std::int64_t threads = std::min<std::int64_t>({WorkerThreads(0), total / kMinWorkPerThread, count});
    if (threads <= 1) {
        fn(0, count);
        return;
    }
    ParallelBands(0, count, static_cast<int>(threads), [&](int, int b0, int b1) { fn(b0, b1); });
}

// Runs body(begin, end) over [0, count) in blocks of `grain` handed out in turn to up to
// `maxThreads` threads (0: WorkerThreads' default); for blocks of uneven cost.
template <class Body>
void ParallelFor(std::size_t count, std::size_t grain, Body&& body, int maxThreads = 0)
{
    if (count == 0)
        return;
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t blocks = (count + grain - 1) / grain;
    const int threads =
        static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(WorkerThreads(maxThreads)), blocks));
    if (threads <= 1) {
        body(std::size_t{0}, count);
        return;
    }
    std::atomic<std::size_t> next{0};
    RunShares(
        threads,
        [&](int) {
            for (;;) {
                const std::size_t b = next.fetch_add(grain, std::memory_order_relaxed);
                if (b >= count)
                    return;
                body(b, std::min(b + grain, count));
            }
        },
        [&] { next.store(count, std::memory_order_relaxed); });
}

// Calls fn(i) for every i in [0, n), items handed out one at a time to up to
// `maxThreads` threads (0: WorkerThreads' default); for items of uneven cost such as
// photo pairs.
template <class Fn>
void ParallelForEach(std::size_t n, int maxThreads, Fn&& fn)
{
    ParallelFor(n, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i)
            fn(i);
    }, maxThreads);
}

// Calls work(i) for every i in [0, n) on up to `threads` threads (0: WorkerThreads'
// default) while the calling thread calls report(i) for each finished item, in the
// order they finish and while the others still run: the caller stays free for what must
// run on it (a progress display, a window's call-backs). report returning false stops
// the loop: items not started yet are not started, those running end unreported. With
// one thread each item runs on the caller and is reported at once. An exception from
// work or report stops the loop the same way and is rethrown once every worker has ended.
template <class Work, class Report>
void ParallelForEachReported(std::size_t n, int threads, Work&& work, Report&& report)
{
    const std::size_t workers = std::min(static_cast<std::size_t>(WorkerThreads(threads)), n);
    if (workers <= 1) {
        for (std::size_t i = 0; i < n; ++i) {
            work(i);
            if (!report(i))
                return;
        }
        return;
    }
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::size_t> finished;          // not reported yet
    std::size_t next = 0, running = workers;    // items handed out, workers not ended
    bool stopped = false;
    const auto stop = [&] {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
        changed.notify_all();
    };
    RunWorkers(
        static_cast<int>(workers) + 1,
        [&](int k) {
            if (k > 0) {
                for (;;) {
                    std::size_t i = 0;
                    {
                        std::lock_guard<std::mutex> guard(lock);
                        if (stopped || next == n)
                            break;
                        i = next++;
                    }
                    work(i);
                    std::lock_guard<std::mutex> guard(lock);
                    finished.push_back(i);
                    changed.notify_all();
                }
                std::lock_guard<std::mutex> guard(lock);
                --running;
                changed.notify_all();
                return;
            }
            std::vector<std::size_t> batch;
            for (;;) {
                {
                    std::unique_lock<std::mutex> guard(lock);
                    changed.wait(guard, [&] { return stopped || !finished.empty() || running == 0; });
                    if (stopped || finished.empty())
                        return;
                    batch.swap(finished);
                }
                for (std::size_t i : batch)
                    if (!report(i))
                        return stop();
                batch.clear();
            }
        },
        stop);
}

// Threads for items that each hold `bytesPerItem` while they run, so that together they
// stay within `budget` bytes: at least one, at most maxThreads (0: WorkerThreads' default).
inline int ThreadsWithinBudget(std::int64_t bytesPerItem, std::int64_t budget, int maxThreads)
{
    const std::int64_t limit = WorkerThreads(maxThreads);
    const std::int64_t fit = budget / std::max<std::int64_t>(bytesPerItem, 1);
    return static_cast<int>(std::max<std::int64_t>(1, std::min(limit, fit)));
}

}  // namespace Utils
