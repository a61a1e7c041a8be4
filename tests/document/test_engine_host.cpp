// The engines' host objects: auto-reset events, recursive locks, threads that are
// joined on deletion, the pixel-store factory and the busy cursor.
#include <QCursor>
#include <QGuiApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>

#include "core/pano_element.h"
#include "document/engine_host.h"
#include "tests/support/address_space_cap.h"

using namespace std::chrono_literals;

namespace {

// Blocking is checked by giving a helper thread a short while: a call that should block
// must not have returned by then. Returning is checked with a generous deadline only.
constexpr auto kBlockWindow = 100ms;
constexpr auto kDeadline = 20s;

bool stillBlocked(std::future<void>& f)
{
    return f.wait_for(kBlockWindow) == std::future_status::timeout;
}

bool finishes(std::future<void>& f)
{
    return f.wait_for(kDeadline) == std::future_status::ready;
}

struct Body : PanoramaLib::IThread {
    std::function<void()> work;
    void Run() override
    {
        if (work)
            work();
    }
};

}  // namespace

TEST(EventImpl, TwoSignalsBeforeTheWaitAreConsumedAsOne)
{
    EventImpl ev;
    ev.SetEvent();
    ev.SetEvent();
    ev.Wait();
    auto second = std::async(std::launch::async, [&] { ev.Wait(); });
    EXPECT_TRUE(stillBlocked(second));
    ev.SetEvent();
    EXPECT_TRUE(finishes(second));
}

TEST(EventImpl, OneSignalReleasesEveryWaiterAndLeavesTheEventClear)
{
    EventImpl ev;
    std::future<void> waiters[3];
    for (auto& w : waiters)
        w = std::async(std::launch::async, [&] { ev.Wait(); });
    for (const auto end = std::chrono::steady_clock::now() + kDeadline;
         ev.WaiterCount() < 3 && std::chrono::steady_clock::now() < end;)
        QThread::yieldCurrentThread();
    ASSERT_EQ(ev.WaiterCount(), 3);
    ev.SetEvent();
    for (auto& w : waiters)
        EXPECT_TRUE(finishes(w));
    EXPECT_EQ(ev.WaiterCount(), 0);

    // The waiters cleared the signal: the next wait blocks.
    auto next = std::async(std::launch::async, [&] { ev.Wait(); });
    EXPECT_TRUE(stillBlocked(next));
    ev.SetEvent();
    EXPECT_TRUE(finishes(next));
}

TEST(EventImpl, ManyRoundsOfPingPongLoseNoSignal)
{
    EventImpl ping, pong;
    constexpr int kRounds = 2000;
    auto partner = std::async(std::launch::async, [&] {
        for (int i = 0; i < kRounds; ++i) {
            ping.Wait();
            pong.SetEvent();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ping.SetEvent();
        pong.Wait();
    }
    EXPECT_TRUE(finishes(partner));
}

TEST(CritSectImpl, TheOwnerMayLockAgainAndOthersWait)
{
    CritSectImpl cs;
    cs.Lock();
    cs.Lock();
    auto other = std::async(std::launch::async, [&] {
        cs.Lock();
        cs.Unlock();
    });
    EXPECT_TRUE(stillBlocked(other));
    cs.Unlock();
    EXPECT_TRUE(stillBlocked(other));  // still held once
    cs.Unlock();
    EXPECT_TRUE(finishes(other));
}

TEST(EngineHost, ThreadsEndBeforeTheLocksAndEventsTheyUse)
{
    std::atomic<bool> done{false};
    Body body;
    {
        EngineHost host;
        PanoramaLib::IEvent* ev = host.CreateEvent();
        PanoramaLib::ICriticalSection* cs = host.CreateCriticalSection();
        body.work = [&, ev, cs] {
            // Still using the host's objects while the host is being destroyed.
            QThread::msleep(100);
            cs->Lock();
            ev->SetEvent();
            cs->Unlock();
            ev->Wait();
            done = true;
        };
        EXPECT_TRUE(host.CreateThread(&body) && host.CreateThread(nullptr));  // the second runs nothing
    }
    EXPECT_TRUE(done);
}

TEST(EngineHost, CreatedThreadIsRunningWhenCreateThreadReturns)
{
    EventImpl reached;
    Body body;
    body.work = [&] { reached.SetEvent(); };
    EngineHost host;  // joins the thread before the event goes
    ASSERT_TRUE(host.CreateThread(&body));
    reached.Wait();  // would hang if the thread had not been started
}

TEST(EngineHost, MakesAndCopiesPixelStores)
{
    EngineHost host;
    EXPECT_EQ(host.CreateCopy(nullptr, false), nullptr);

    PanoramaLib::IDib* plain = host.CreateDibObject(false);
    PanoramaLib::IDib* safe = host.CreateDibObject(true);
    auto* safeImpl = static_cast<PanoramaLib::QtDibImpl*>(safe->QueryObject(PanoramaLib::kQueryDibImpl));
    EXPECT_EQ(safeImpl->RefCount(), 0);
    plain->AddRef();
    safe->AddRef();
    EXPECT_FALSE(plain->hasBits());

    ASSERT_TRUE(safe->createImage(24, 6, 2, true));
    std::fill(safe->bits(), safe->bits() + 2 * safe->bytesPerLine(), 9);
    safe->setPathName(L"/a/b.tif");
    PanoramaLib::IDib* copy = host.CreateCopy(safe, false);
    ASSERT_NE(copy, nullptr);
    copy->AddRef();
    EXPECT_EQ(copy->getPathName(), L"/a/b.tif");
    copy->bits()[0] = 1;
    EXPECT_TRUE(safe->bits()[0] == 9 && copy->bits()[1] == 9);

    std::unique_ptr<PanoramaLib::IDib> emptyCopy(host.CreateCopy(plain, true));  // nothing to copy is fine
    ASSERT_TRUE(emptyCopy && !emptyCopy->hasBits());

    copy->Release();
    safe->Release();
    plain->Release();
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A copy that finds no memory for its pixels is no copy: with the address space capped,
// the deep copy of a thread-safe store (360 MB, never touched, larger than any free space
// the allocator may hold) cannot be allocated, and the factory answers null, never an
// empty store. The source keeps its pixels.
TEST(EngineHost, ACopyWithoutMemoryForItsPixelsIsNull)
{
    EngineHost host;
    std::unique_ptr<PanoramaLib::IDib> safe(host.CreateDibObject(true));
    ASSERT_TRUE(safe->createImage(24, 12000, 10000, true));
    safe->bits()[0] = 7;
    for (const bool threadSafe : {false, true}) {
        vltest::AddressSpaceCap cap(4 << 20);
        ASSERT_TRUE(cap.capped());
        std::unique_ptr<PanoramaLib::IDib> copy(host.CreateCopy(safe.get(), threadSafe));
        EXPECT_EQ(copy.get(), nullptr) << threadSafe;
    }
    EXPECT_TRUE(safe->hasBits() && safe->bits()[0] == 7);
}
#endif

TEST(WaitCursor, NestedScopesKeepTheBusyCursorUntilTheOuterEnds)
{
    ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);
    {
        WaitCursor outer;
        { WaitCursor inner; }
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}
