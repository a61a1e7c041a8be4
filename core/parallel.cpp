// The worker pool under the parallel loops (see parallel.h): threads started on first
// use, one fewer than WorkerThreads' default, that live until the process ends and run
// the shares of any loop from any thread. Each loop's shares are a group handed out
// in order under the pool's one lock; the calling thread runs share 0, then takes
// whatever shares are left, then waits only for the shares other threads started.
#include "core/parallel.h"

#include <deque>
#include <system_error>

namespace Utils::Detail {

namespace {

struct Group {
    Group(void (*r)(void*, int), void* c, int shares) : run(r), ctx(c), end(shares) {}

    void (*run)(void*, int);
    void* ctx;
    int next = 1;      // the next share not handed out (the caller runs share 0)
    int end;           // shares [0, end)
    int running = 0;   // shares handed to pool threads and not finished
    std::condition_variable finished;
};

class Pool {
public:
    // Queues `helpers` calls for help with g and wakes as many threads.
    void Offer(Group* g, int helpers)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        StartThreads();
        helpers = std::min(helpers, m_threads);
        for (int i = 0; i < helpers; ++i)
            m_queue.push_back(g);
        if (helpers == 1)
            m_wake.notify_one();
        else if (helpers > 1)
            m_wake.notify_all();
    }

    // On the caller, after its own share: the shares left, then the wait.
    void Finish(Group* g)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        while (g->next < g->end) {
            const int k = g->next++;
            lock.unlock();
            g->run(g->ctx, k);
            lock.lock();
        }
        for (auto it = m_queue.begin(); it != m_queue.end();)
            it = *it == g ? m_queue.erase(it) : it + 1;
        g->finished.wait(lock, [g] { return g->running == 0; });
    }

    std::mutex m_lock;

private:
    // Starts the threads once (under m_lock); a thread that cannot be started leaves
    // the pool smaller.
    void StartThreads()
    {
        if (m_started)
            return;
        m_started = true;
        const int wanted = WorkerThreads(0) - 1;
        for (int i = 0; i < wanted; ++i) {
            try {
                std::thread(&Pool::Serve, this).detach();
                ++m_threads;
            } catch (const std::system_error&) {
                break;
            }
        }
    }

    void Serve()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_wake.wait(lock, [this] { return !m_queue.empty(); });
            Group* g = m_queue.front();
            m_queue.pop_front();
            while (g->next < g->end) {
                const int k = g->next++;
                ++g->running;
                lock.unlock();
                g->run(g->ctx, k);
                lock.lock();
                if (--g->running == 0 && g->next >= g->end)
                    g->finished.notify_all();
            }
        }
    }

    std::condition_variable m_wake;
    std::deque<Group*> m_queue;
    bool m_started = false;
    int m_threads = 0;
};

// Never destroyed: its threads wait for work until the process ends.
Pool& ThePool()
{
    static Pool* pool = new Pool();
    return *pool;
}

}  // namespace

void RunPooled(int shares, void (*run)(void*, int), void* ctx)
{
    Group g(run, ctx, shares);
    Pool& pool = ThePool();
    pool.Offer(&g, shares - 1);
    run(ctx, 0);
    pool.Finish(&g);
}

}  // namespace Utils::Detail
