// Threads, sleeping, recursive mutexes, condition variables and atomic
// counters.
#include "vs_platform.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point Start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count();
}

void *ReturnArg(void *Arg)
{
    return Arg;
}

struct IdProbe {
    VS_THREADID Id;
    VS_HANDLE Self;
};

void *RecordIdentity(void *Arg)
{
    IdProbe *p = (IdProbe *)Arg;
    p->Id = vs_thread_currentid();
    p->Self = vs_thread_current();
    return nullptr;
}

} // namespace

TEST(VsThread, CreateJoinAndIdentity)
{
    IdProbe Probe{};
    VS_HANDLE Out = nullptr;
    VS_HANDLE h = vs_thread_create(RecordIdentity, &Probe, &Out);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Out, h);
    EXPECT_EQ(vs_thread_join(h), 0);
    EXPECT_NE(Probe.Id, vs_thread_currentid());
#if defined(_WIN32)
    // The calling thread's handle is the system's stand-in for "this thread",
    // not its identity.
    EXPECT_NE(Probe.Self, nullptr);
#else
    EXPECT_EQ((VS_THREADID)(uintptr_t)Probe.Self, Probe.Id);
#endif
    EXPECT_EQ(vs_thread_currentid(), vs_thread_currentid());

    // The out argument is optional.
    VS_HANDLE h2 = vs_thread_create(ReturnArg, nullptr, nullptr);
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(vs_thread_join(h2), 0);

    EXPECT_EQ(vs_thread_create(nullptr, nullptr, &Out), nullptr);
    EXPECT_NE(vs_thread_join(nullptr), 0);
    EXPECT_NE(vs_thread_detach(nullptr), 0);
    vs_thread_priority(nullptr, 0, 1);
    EXPECT_EQ(vs_thread_yield(), 0);
}

// A creator that must know which thread a created one is (to let only that
// thread stop, say) records the ID the thread reads itself, handed over when
// the thread starts; the thread then finds itself by that record. The handle
// vs_thread_create gives is that ID on Linux only.
struct SelfReport {
    VS_COND Reported, Go;
    VS_THREADID Own;      // written by the thread before it reports
    VS_THREADID Recorded; // written by the creator before it lets the thread go
    bool FoundItself;
};

static void *ReportOwnId(void *Arg)
{
    SelfReport *r = (SelfReport *)Arg;
    r->Own = vs_thread_currentid();
    vs_cond_signal(&r->Reported);
    vs_cond_wait(&r->Go);
    r->FoundItself = vs_thread_currentid() == r->Recorded;
    return nullptr;
}

TEST(VsThread, ACreatedThreadFindsItselfByTheIdItsCreatorRecords)
{
    for (int Round = 0; Round < 4; Round++) {
        SelfReport r{};
        ASSERT_TRUE(vs_cond_init(&r.Reported));
        ASSERT_TRUE(vs_cond_init(&r.Go));
        VS_HANDLE h = vs_thread_create(ReportOwnId, &r, nullptr);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(vs_cond_timewait(&r.Reported, 10000)) << "the thread reports its ID";
        r.Recorded = r.Own;
        EXPECT_NE(r.Recorded, vs_thread_currentid());
#if defined(_WIN32)
        EXPECT_NE((VS_THREADID)(uintptr_t)h, r.Recorded) << "a handle is no thread ID";
#else
        EXPECT_EQ((VS_THREADID)(uintptr_t)h, r.Recorded);
#endif
        vs_cond_signal(&r.Go);
        EXPECT_EQ(vs_thread_join(h), 0);
        EXPECT_TRUE(r.FoundItself) << "round " << Round;
        vs_cond_destroy(&r.Reported);
        vs_cond_destroy(&r.Go);
    }
}

TEST(VsThread, SleepBlocksForTheTime)
{
    auto Start = Clock::now();
    vs_thread_sleep(60);
    long long Ms = MsSince(Start);
    EXPECT_GE(Ms, 59);
    EXPECT_LT(Ms, 1000);
    vs_thread_sleep(0);
}

TEST(VsMutex, RecursiveLockNeedsAsManyUnlocks)
{
    VS_MUTEX m;
    ASSERT_TRUE(vs_mutex_init(&m));
    ASSERT_TRUE(vs_mutex_lock(&m));
    ASSERT_TRUE(vs_mutex_lock(&m)) << "the owner may lock again";

    std::atomic<bool> OtherHolds{false};
    std::thread Other([&] {
        vs_mutex_lock(&m);
        OtherHolds = true;
        vs_mutex_unlock(&m);
    });
    EXPECT_EQ(vs_mutex_unlock(&m), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(OtherHolds) << "one unlock of two must not release the mutex";
    EXPECT_EQ(vs_mutex_unlock(&m), 0);
    Other.join();
    EXPECT_TRUE(OtherHolds);
    EXPECT_EQ(vs_mutex_destory(&m), 0);

    EXPECT_FALSE(vs_mutex_init(nullptr));
    EXPECT_FALSE(vs_mutex_lock(nullptr));
    EXPECT_NE(vs_mutex_unlock(nullptr), 0);
    EXPECT_NE(vs_mutex_destory(nullptr), 0);
}

TEST(VsCond, SignalWakesAWaiter)
{
    VS_COND c;
    ASSERT_TRUE(vs_cond_init(&c));
    // The wait must end only after the signal: the flag is set before it.
    std::atomic<bool> Signalled{false};
    std::thread Signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Signalled = true;
        vs_cond_signal(&c);
    });
    vs_cond_wait(&c);
    EXPECT_TRUE(Signalled.load());
    Signaller.join();

    // A timed wait of 0 waits without limit and reports true.
    std::thread Signaller2([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        vs_cond_signal(&c);
    });
    EXPECT_TRUE(vs_cond_timewait(&c, 0));
    Signaller2.join();

    std::thread Signaller3([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        vs_cond_signal(&c);
    });
    auto Start = Clock::now();
    EXPECT_TRUE(vs_cond_timewait(&c, 5000));
    EXPECT_LT(MsSince(Start), 2000);
    Signaller3.join();
    EXPECT_EQ(vs_cond_destroy(&c), 0);
}

TEST(VsCond, SignalBeforeWaitIsKeptForOneWait)
{
    VS_COND c;
    ASSERT_TRUE(vs_cond_init(&c));
    EXPECT_EQ(vs_cond_signal(&c), 0);
    auto Start = Clock::now();
    EXPECT_TRUE(vs_cond_timewait(&c, 2000)) << "a signal given before the wait is not lost";
    EXPECT_LT(MsSince(Start), 500);
    EXPECT_FALSE(vs_cond_timewait(&c, 30)) << "the wait took the signal";

    vs_cond_signal(&c);
    vs_cond_wait(&c); // returns at once
    EXPECT_EQ(vs_cond_destroy(&c), 0);
}

TEST(VsCond, TimedWaitRunsTheFullTime)
{
    VS_COND c;
    ASSERT_TRUE(vs_cond_init(&c));
    for (VS_ULONG Ms : {120u, 1050u}) {
        auto Start = Clock::now();
        EXPECT_FALSE(vs_cond_timewait(&c, Ms));
        long long Took = MsSince(Start);
        EXPECT_GE(Took, (long long)Ms - 1) << "never ends early";
        EXPECT_LT(Took, (long long)Ms + 400);
    }
    EXPECT_EQ(vs_cond_destroy(&c), 0);

    EXPECT_FALSE(vs_cond_init(nullptr));
    EXPECT_FALSE(vs_cond_timewait(nullptr, 10));
    vs_cond_wait(nullptr);
    EXPECT_NE(vs_cond_signal(nullptr), 0);
    EXPECT_NE(vs_cond_destroy(nullptr), 0);
}

TEST(VsAtomic, CompareSetReturnsTheValueFound)
{
    vs_atomic a;
    ASSERT_TRUE(vs_atomic_init(&a));
    EXPECT_EQ(vs_atomic_get(&a), 0);
    struct {
        VS_INT32 Start, New, Expected, Returned, After;
    } Cases[] = {
        {5, 7, 5, 5, 7},  // match: swapped
        {5, 7, 4, 5, 5},  // no match: unchanged
        {-1, 0, -1, -1, 0},
        {0, 1, 1, 0, 0},
    };
    for (auto &c : Cases) {
        vs_atomic_set(&a, c.Start);
        EXPECT_EQ(vs_atomic_compare_set(&a, c.New, c.Expected), c.Returned);
        EXPECT_EQ(vs_atomic_get(&a), c.After);
    }

    // Increments through compare_set from several threads lose nothing.
    vs_atomic_set(&a, 0);
    const int Threads = 4, Each = 5000;
    std::thread Workers[Threads];
    for (auto &w : Workers)
        w = std::thread([&] {
            for (int i = 0; i < Each; i++) {
                VS_INT32 Seen;
                do {
                    Seen = vs_atomic_get(&a);
                } while (vs_atomic_compare_set(&a, Seen + 1, Seen) != Seen);
            }
        });
    for (auto &w : Workers)
        w.join();
    EXPECT_EQ(vs_atomic_get(&a), Threads * Each);
    EXPECT_EQ(vs_atomic_destory(&a), 0);

    EXPECT_FALSE(vs_atomic_init(nullptr));
    vs_atomic_set(nullptr, 1);
    EXPECT_EQ(vs_atomic_get(nullptr), 0);
    EXPECT_EQ(vs_atomic_compare_set(nullptr, 1, 0), 0);
    EXPECT_NE(vs_atomic_destory(nullptr), 0);
}
