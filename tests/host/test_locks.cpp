// The host lock and the script lock across threads; XRQDispatch.
#include "host_fixture.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace hosttest;

class LockTest : public HostTest {
  protected:
    ClassOfXRQControlInterface *ctl() { return tvh::control(); }
    static void waitFor(const std::function<bool()> &cond) {
        for (int i = 0; i < 2000 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

TEST_F(LockTest, ReentryAndMisuseAreCounted) {
    long long rec = stat(&tvh::HostStats::RecursiveLocks);
    long long viol = stat(&tvh::HostStats::LockViolations);
    s->XRQLock(); // held already by the fixture: re-entry
    EXPECT_EQ(stat(&tvh::HostStats::RecursiveLocks), rec + 1);
    s->XRQUnLock();
    EXPECT_TRUE(tvh::holdsHostLock()); // depth back to 1, still held

    std::thread t([&] {
        s->XRQUnLock(); // not the owner: ignored
        tvh::control()->ReleaseScriptGIL();
        s->GetObjectEx(nullptr, "_Object"); // a host call without the host lock
    });
    t.join();
    EXPECT_TRUE(tvh::holdsHostLock());
    EXPECT_TRUE(tvh::holdsScriptLock());
    EXPECT_EQ(stat(&tvh::HostStats::LockViolations), viol + 3);
    // The two bad releases were reported; a missing lock on a call only counts.
    EXPECT_EQ(exceptTexts().size(), 2u);

    // Script lock taken while holding the host lock: wrong order, counted.
    tvh::unlockBoth();
    s->XRQLock();
    long long v2 = stat(&tvh::HostStats::LockViolations);
    ctl()->CaptureScriptGIL();
    EXPECT_EQ(stat(&tvh::HostStats::LockViolations), v2 + 1);
    EXPECT_EQ(exceptTexts().size(), 3u);
    ctl()->ReleaseScriptGIL();
    s->XRQUnLock();
    // Text utilities and plain memory need no lock.
    long long v3 = stat(&tvh::HostStats::LockViolations);
    VS_UUID u{};
    s->UuidToString(&u);
    s->Free(s->Malloc_Nor(4));
    EXPECT_EQ(stat(&tvh::HostStats::LockViolations), v3);
    tvh::lockBoth();
}

TEST_F(LockTest, TwoThreadsTakeTurnsInArrivalOrder) {
    tvh::unlockBoth();
    std::mutex m;
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    s->XRQLock(); // hold it while the workers queue up
    std::vector<std::thread> ts;
    std::atomic<int> started{0};
    for (int i = 0; i < 3; ++i) {
        ts.emplace_back([&, i] {
            started++;
            s->XRQLock();
            if (inside.fetch_add(1) != 0) overlap = true;
            {
                std::lock_guard<std::mutex> lk(m);
                order.push_back(i);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            inside.fetch_sub(1);
            s->XRQUnLock();
        });
        // Let each worker queue before the next one starts.
        waitFor([&] { return started.load() == i + 1; });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Release and retake: we queue behind the three waiting threads.
    s->XRQUnLock();
    s->XRQLock();
    {
        std::lock_guard<std::mutex> lk(m);
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    }
    s->XRQUnLock();
    for (auto &t : ts) t.join();
    EXPECT_FALSE(overlap.load());
    tvh::lockBoth();
}

TEST_F(LockTest, AThreadThatEndsHoldingALockReleasesIt) {
    tvh::unlockBoth();
    long long viol = stat(&tvh::HostStats::LockViolations);
    std::thread t([&] {
        ctl()->CaptureScriptGIL();
        s->XRQLock();
        s->XRQLock(); // depth 2: still released entirely at the end
    });
    t.join();
    tvh::lockBoth(); // would hang if the dead thread kept them
    EXPECT_TRUE(tvh::holdsHostLock());
    EXPECT_EQ(stat(&tvh::HostStats::LockViolations), viol + 2);
    EXPECT_EQ(exceptTexts().size(), 2u);
}

TEST_F(LockTest, DispatchLetsWaitingThreadsRunAndRetakesTheSameDepths) {
    s->XRQLock(); // host depth 2
    std::atomic<bool> ran{false};
    std::atomic<bool> waiting{false};
    std::thread worker([&] {
        waiting = true;
        ctl()->CaptureScriptGIL();
        s->XRQLock();
        ran = true;
        s->XRQUnLock();
        ctl()->ReleaseScriptGIL();
    });
    waitFor([&] { return waiting.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // let it queue
    EXPECT_FALSE(ran.load());
    long long viol = stat(&tvh::HostStats::LockViolations);
    ctl()->XRQDispatch(VS_FALSE); // nothing is posted without a script: FALSE, or a message ran
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(tvh::holdsHostLock());
    EXPECT_TRUE(tvh::holdsScriptLock());
    s->XRQUnLock();
    EXPECT_TRUE(tvh::holdsHostLock()); // the second level survived the dispatch
    EXPECT_EQ(stat(&tvh::HostStats::LockViolations), viol);
    worker.join();
}
