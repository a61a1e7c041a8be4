// Splits a loop over independent rows (or columns) into contiguous bands run on
// plain std::threads. Every band computes exactly what the serial loop would, so
// the output does not depend on the number of threads. Small jobs stay serial:
// starting a thread costs more than a few hundred thousand pixel operations.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

namespace Utils {

// Calls fn(begin, end) over [0, count) in bands. workPerItem is a rough cost of one
// item (pixels per row, say). An exception thrown in a band (say std::bad_alloc of a
// row buffer) is rethrown on the caller once every band has ended.
template <class Fn>
void ParallelForRows(int count, std::int64_t workPerItem, Fn&& fn)
{
    if (count <= 0)
        return;
    constexpr std::int64_t kMinWorkPerThread = std::int64_t(1) << 17;
    const std::int64_t total = std::int64_t(count) * std::max<std::int64_t>(workPerItem, 1);
    unsigned hw = std::thread::hardware_concurrency();
    if (hw == 0)
        hw = 2;
    std::int64_t threads = std::min<std::int64_t>({std::int64_t(hw), total / kMinWorkPerThread, count});
    if (threads <= 1) {
        fn(0, count);
        return;
    }
    std::vector<std::thread> pool;
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(threads));
    pool.reserve(std::size_t(threads - 1));
    auto bandStart = [&](std::int64_t t) { return int(std::int64_t(count) * t / threads); };
    auto runBand = [&](std::int64_t t) {
        try {
            fn(bandStart(t), bandStart(t + 1));
        } catch (...) {
            errors[std::size_t(t)] = std::current_exception();
        }
    };
    std::int64_t started = 1;
    try {
        for (; started < threads; ++started)
            pool.emplace_back(runBand, started);
    } catch (...) {
        // No more threads to be had: the bands not handed out run here.
    }
    runBand(0);
    for (std::int64_t t = started; t < threads; ++t)
        runBand(t);
    for (auto& th : pool)
        th.join();
    for (const auto& e : errors)
        if (e)
            std::rethrow_exception(e);
}

// Calls fn(i) for every i in [0, n), items handed out one at a time to up to
// `maxThreads` threads (0: one per core); for items of uneven cost such as photo pairs.
// Threads that cannot be started leave their share to the others; fn must not throw.
template <class Fn>
void ParallelForEach(std::size_t n, int maxThreads, Fn&& fn)
{
    unsigned hw = std::thread::hardware_concurrency();
    if (hw == 0)
        hw = 2;
    const std::size_t limit = maxThreads > 0 ? std::size_t(maxThreads) : std::size_t(hw);
    const std::size_t workers = std::min(n, limit);
    if (workers <= 1) {
        for (std::size_t i = 0; i < n; ++i)
            fn(i);
        return;
    }
    std::atomic<std::size_t> next{0};
    auto body = [&] {
        for (std::size_t i = next++; i < n; i = next++)
            fn(i);
    };
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    try {
        for (std::size_t t = 1; t < workers; ++t)
            pool.emplace_back(body);
    } catch (...) {
        // Fewer threads: the others share the work.
    }
    body();
    for (auto& th : pool)
        th.join();
}

// Threads for items that each hold `bytesPerItem` while they run, so that together they
// stay within `budget` bytes: at least one, at most maxThreads (0: one per core).
inline int ThreadsWithinBudget(std::int64_t bytesPerItem, std::int64_t budget, int maxThreads)
{
    unsigned hw = std::thread::hardware_concurrency();
    if (hw == 0)
        hw = 2;
    const std::int64_t limit = maxThreads > 0 ? maxThreads : std::int64_t(hw);
    const std::int64_t fit = budget / std::max<std::int64_t>(bytesPerItem, 1);
    return int(std::max<std::int64_t>(1, std::min(limit, fit)));
}

}  // namespace Utils
