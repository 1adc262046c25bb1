// Rules the realm and the scheduler build on: stale record pointers never name
// another object, unheld objects are freed at collection points whatever
// held them before, on the main thread only and outside calls by name, and
// the script lock is refused to a thread that holds the host lock.
#include "host_fixture.h"

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

using namespace hosttest;

namespace {
const char *kRuleID = "E0000000-0000-4000-8000-0000000000A1";
const char *kRuleAttrs = "<Count Type=\"VS_INT32\"/>\n<Kids Type=\"void *\" Class=\"\"/>\n";

std::atomic<int> g_beforeFree{0};
std::thread::id g_freeThread;
std::map<void *, void *> g_unlockOnFree; // object -> what its before-free event unlocks
VS_INT32 recordFreeThread(VS_UWORD, void *para) {
    if (tvh::service()->GetSysEventID(para) == VSEVENT_SYSTEMEVENT_ONBEFOREFREE) {
        g_beforeFree++;
        g_freeThread = std::this_thread::get_id();
        auto it = g_unlockOnFree.find(static_cast<StructOfVSSysEventPara *>(para)->Object);
        if (it != g_unlockOnFree.end()) tvh::service()->UnLockGC(it->second);
    }
    return 0;
}
} // namespace

class HostRuleTest : public HostTest {
  protected:
    void *cls = nullptr;
    OBJECTATTRIBUTEINDEX kids = 0;
    void SetUp() override {
        HostTest::SetUp();
        g_beforeFree = 0;
        g_freeThread = std::thread::id();
        cls = defineClass(classXml("RuleThing", kRuleID, kRuleAttrs), kRuleID, recordFreeThread);
        ASSERT_NE(cls, nullptr);
        kids = s->GetAttributeIndex(cls, "Kids");
    }
    // An object as a script leaves it: no owner reference, last proxy collected.
    void *dropped(VS_UUID *id) {
        void *o = newObject(cls);
        s->ReleaseOwnerEx(o);
        tvh::markCandidate(desc(o));
        *id = s->GetID(o);
        return o;
    }
    bool alive(VS_UUID id) { return s->GetObject(&id) != nullptr; }
};

// After a burst of frees, new objects must not take the address of a record
// a caller still points at: the stale pointer stays invalid (counted) and
// never answers for, or locks, a live object.
TEST_F(HostRuleTest, StaleRecordPointersNeverNameANewObject) {
    std::vector<void *> burst;
    for (int i = 0; i < 2000; ++i) burst.push_back(newObject(cls));
    void *stale = burst[1000];
    s->SetName(stale, "old");
    for (void *o : burst) s->FreeObject(o);

    std::set<void *> fresh;
    for (int i = 0; i < 4000; ++i) {
        void *o = newObject(cls);
        s->SetName(o, "new");
        fresh.insert(o);
    }
    EXPECT_EQ(fresh.count(stale), 0u) << "a new object took the freed address";
    long long inv = stat(&tvh::HostStats::InvalidObjects);
    EXPECT_STREQ(s->GetName(stale), "");
    s->LockGC(stale);
    EXPECT_EQ(s->GetRefEx(stale), 0);
    EXPECT_EQ(s->GetClass(stale), nullptr);
    EXPECT_EQ(stat(&tvh::HostStats::InvalidObjects), inv + 4);
    for (void *o : fresh) EXPECT_EQ(s->GetRefEx(o), 1); // none got the stray lock
    for (void *o : fresh) s->FreeObject(o);
}

// A candidate that is held when a collection point looks at it leaves the
// candidate list; it must come back when it becomes unheld, whichever way.
// And dispatch needs no pause: the very next call frees what was dropped.
TEST_F(HostRuleTest, CandidatesAreFreedOnceUnheldAndEveryDispatchCollects) {
    struct Case {
        const char *how;
        std::function<void(void *)> hold, release;
    };
    void *parent = newObject(cls);
    std::vector<Case> cases = {
        {"lock count back to zero", [&](void *o) { s->LockGC(o); }, [&](void *o) { s->UnLockGC(o); }},
        {"detached from its queue", [&](void *o) { ASSERT_TRUE(s->ChangeParent(o, parent, kids)); },
         [&](void *o) { ASSERT_TRUE(s->ChangeParent(o, nullptr, 0)); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.how);
        VS_UUID id;
        void *o = dropped(&id);
        c.hold(o);
        tvh::control()->XRQDispatch(VS_FALSE);
        EXPECT_TRUE(alive(id)) << "freed while held";
        tvh::control()->XRQDispatch(VS_FALSE); // looked at again: still held
        EXPECT_TRUE(alive(id));
        c.release(o);
        EXPECT_TRUE(alive(id)) << "only collection points free";
        tvh::control()->XRQDispatch(VS_FALSE);
        EXPECT_FALSE(alive(id)) << "never freed after it became unheld";
    }
    for (int i = 0; i < 20; ++i) {
        VS_UUID id;
        dropped(&id);
        tvh::control()->XRQDispatch(VS_FALSE);
        ASSERT_FALSE(alive(id)) << "dispatch " << i << " skipped its collection";
    }
}

// Freeing an object lets go of what it held; those frees finish within the
// same collection point, however long the chain.
TEST_F(HostRuleTest, AChainOfReleasesIsFreedInOneCollection) {
    std::vector<VS_UUID> ids;
    void *prev = nullptr;
    for (int i = 0; i < 500; ++i) {
        VS_UUID id;
        void *o = dropped(&id);
        if (prev) {
            s->LockGC(o); // held until the one before is freed
            g_unlockOnFree[prev] = o;
        }
        ids.push_back(id);
        prev = o;
    }
    tvh::collectGarbage();
    for (const VS_UUID &id : ids) EXPECT_FALSE(alive(id));
    g_unlockOnFree.clear();
}

// Automatic frees (and so the before-free events they deliver) happen on the
// main thread only: a worker's collection points hand over the locks and
// free nothing, or a stepping thread could receive the event of its realm.
TEST_F(HostRuleTest, AutomaticFreesHappenOnTheMainThreadOnly) {
    VS_UUID id;
    dropped(&id);
    tvh::unlockBoth();
    bool aliveAfterWorker = false;
    std::thread worker([&] {
        tvh::lockBoth();
        tvh::control()->XRQDispatch(VS_FALSE);
        tvh::collectGarbage();
        aliveAfterWorker = alive(id);
        tvh::unlockBoth();
    });
    worker.join();
    tvh::lockBoth();
    EXPECT_TRUE(aliveAfterWorker);
    EXPECT_EQ(g_beforeFree.load(), 0);
    tvh::control()->XRQDispatch(VS_FALSE);
    EXPECT_FALSE(alive(id));
    EXPECT_EQ(g_beforeFree.load(), 1);
    EXPECT_EQ(g_freeThread, std::this_thread::get_id());
}

// While a call by name runs (on any thread), collection points free nothing:
// the caller may hold dropped objects in C locals or packages across it.
// The next collection point outside every call frees them.
TEST_F(HostRuleTest, CollectionPointsInsideACallByNameWait) {
    VS_UUID id;
    dropped(&id);
    {
        tvh::CallByNameScope call; // as ExecNameScript / ScriptCall do
        tvh::collectGarbage();
        tvh::control()->XRQDispatch(VS_FALSE);
        EXPECT_TRUE(alive(id));
    }
    tvh::control()->XRQDispatch(VS_FALSE);
    EXPECT_FALSE(alive(id));
}

// Taking the script lock while holding the host lock is the wrong order: a
// thread holding the script lock may be waiting for our host lock. It used to
// be reported and then deadlock; now it is refused and returns at once.
TEST_F(HostRuleTest, ScriptLockAfterTheHostLockIsRefusedNotDeadlocked) {
    tvh::unlockBoth();
    std::atomic<bool> hostHeld{false}, mainQueued{false}, returned{false};
    bool gotScript = true;
    std::thread worker([&] {
        s->XRQLock();
        hostHeld = true;
        while (!mainQueued) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // main now waits for our host lock
        tvh::control()->CaptureScriptGIL();
        gotScript = tvh::holdsScriptLock();
        returned = true;
        s->XRQUnLock();
    });
    tvh::control()->CaptureScriptGIL(); // main: script lock first ...
    while (!hostHeld) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    long long viol = stat(&tvh::HostStats::LockViolations);
    mainQueued = true;
    s->XRQLock(); // ... then waits for the worker's host lock
    worker.join();
    EXPECT_TRUE(returned.load());
    EXPECT_FALSE(gotScript);
    EXPECT_EQ(stat(&tvh::HostStats::LockViolations), viol + 1);
    ASSERT_FALSE(exceptTexts().empty());
    EXPECT_NE(exceptTexts().back().find("CaptureScriptGIL"), std::string::npos);
    EXPECT_TRUE(tvh::holdsHostLock());
    EXPECT_TRUE(tvh::holdsScriptLock());
}
