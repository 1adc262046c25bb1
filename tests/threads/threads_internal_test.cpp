// Threads in arrangements a script cannot make: the stop of an on-demand run
// with a test thread as its worker (its last step before or after the
// stopper's wait, or already over), two stoppers at once, and threads that
// cannot be created (the platform's thread start is replaced below).
#include "module_test_util.h"
#include "trelk_proc_api.h"
#include "trelk_scheduler_api.h"
#include "vs_platform.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <thread>

void Tarvex_ScheduleProc_QZProcRunner_ProcCancel(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                 StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc);
VS_BOOL QZRealmBase_IsBreakOnProc(StructOfQZRealmBase *QZRealm);

namespace {
std::atomic<bool> RefuseThreads{false};
} // namespace

// The module starts its threads through the platform's exported function,
// which this test program stands in for: while RefuseThreads is set, no
// thread can be started.
extern "C" VS_HANDLE vs_thread_create(VS_THREADPROC Proc, void *Para, VS_HANDLE *Handle) {
    using CreateFn = VS_HANDLE (*)(VS_THREADPROC, void *, VS_HANDLE *);
    static CreateFn Real = (CreateFn)dlsym(RTLD_NEXT, "vs_thread_create");
    if (RefuseThreads.load() || Real == nullptr)
        return nullptr;
    return Real(Proc, Para, Handle);
}

namespace {

using namespace trelktest;

class ThreadsInternal : public LoadedModule {
  protected:
    ThreadsInternal() : LoadedModule("threads_internal") {}
    void TearDown() override {
        RefuseThreads = false;
        EXPECT_EQ(tvh::stats().LockViolations, 0);
        LoadedModule::TearDown();
    }
};

// The worker's side of an on-demand run, played by a test thread: it waits
// for the stop request, then (after Delay) takes both locks and ends.
struct Worker {
    StructOfQZProcBaseLocalBuf *Buf;
    VS_UUID ProcID;
    int DelayMs;
    std::atomic<bool> SawStop{false};
};

void *WorkerBody(void *Para) {
    auto *W = (Worker *)Para;
    for (int i = 0; i < 5000 && !QZProcBase_RunProcWorker_StopRequested(W->Buf); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    W->SawStop = true;
    if (W->DelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(W->DelayMs));
    tvh::lockBoth();
    QZProcBase_RunProcWorker_End(&W->ProcID);
    tvh::unlockBoth();
    return nullptr;
}

TEST_F(ThreadsInternal, CancelStopsTheOnDemandWorkerWhetherItEndsBeforeOrAfterTheWait) {
    // 0: the worker ends at once, before the stopper could wait; 30: later.
    for (int Delay : {0, 30, 0, 5}) {
        Run(R"( local p = _New(QZProcBase) _SetName(p, "cp") _LockGC(p) )");
        auto *Proc = (StructOfQZProcBase *)Named("cp");
        VS_UUID ProcID = XRQ->GetID(Proc);
        ASSERT_TRUE(QZProcBase_RunProcWorker_Begin(Proc));
        Proc->Status = 1;
        Proc->IsSuspend = VS_TRUE;
        StructOfQZProcBaseLocalBuf *Buf = QZProcBase_GetProcLocalBuf(Proc);
        Worker W{Buf, ProcID, Delay};
        VS_HANDLE Handle = nullptr;
        ASSERT_NE(vs_thread_create(WorkerBody, &W, &Handle), nullptr);
        Buf->hRunProcThreadHandle = Handle;
        Tarvex_ScheduleProc_QZProcRunner_ProcCancel(nullptr, nullptr, nullptr, Proc);
        EXPECT_TRUE(W.SawStop.load()) << "delay " << Delay;
        Proc = (StructOfQZProcBase *)XRQ->GetObject(&ProcID);
        ASSERT_NE(Proc, nullptr);
        Buf = QZProcBase_GetProcLocalBuf(Proc);
        EXPECT_FALSE(Buf->RunProcThreadIsRunning);
        EXPECT_EQ(Buf->hRunProcThreadHandle, nullptr);
        EXPECT_EQ(Proc->Status, 0) << "the cancel went through";
        EXPECT_FALSE(Proc->IsSuspend) << "the worker's end clears the suspension";
        // A new worker may start on the proc now, and a free finds nothing to stop.
        ASSERT_TRUE(QZProcBase_RunProcWorker_Begin(Proc));
        QZProcBase_RunProcWorker_End(&ProcID);
        XRQ->FreeObject(Proc);
        EXPECT_EQ(XRQ->GetObject(&ProcID), nullptr);
    }
}

TEST_F(ThreadsInternal, CancelOfAProcWhoseWorkerIsGoneStopsNothing) {
    Run(R"( local p = _New(QZProcBase) _SetName(p, "gp") _LockGC(p) )");
    auto *Proc = (StructOfQZProcBase *)Named("gp");
    VS_UUID ProcID = XRQ->GetID(Proc);
    ASSERT_TRUE(QZProcBase_RunProcWorker_Begin(Proc));
    QZProcBase_RunProcWorker_End(&ProcID);
    Proc->Status = 1;
    Tarvex_ScheduleProc_QZProcRunner_ProcCancel(nullptr, nullptr, nullptr, Proc);
    EXPECT_EQ(Proc->Status, 0);
    XRQ->FreeObject(Proc);
}

TEST_F(ThreadsInternal, AFreeDuringTheCancelsWaitWaitsForTheCancel) {
    for (int Round = 0; Round < 4; Round++) {
        Run(R"( local p = _New(QZProcBase) _SetName(p, "fp") _LockGC(p) )");
        auto *Proc = (StructOfQZProcBase *)Named("fp");
        VS_UUID ProcID = XRQ->GetID(Proc);
        ASSERT_TRUE(QZProcBase_RunProcWorker_Begin(Proc));
        Proc->Status = 1;
        StructOfQZProcBaseLocalBuf *Buf = QZProcBase_GetProcLocalBuf(Proc);
        Worker W{Buf, ProcID, 40};
        VS_HANDLE Handle = nullptr;
        ASSERT_NE(vs_thread_create(WorkerBody, &W, &Handle), nullptr);
        Buf->hRunProcThreadHandle = Handle;
        // A second thread frees the proc while the cancel waits for the worker.
        std::atomic<bool> Freed{false};
        std::thread Freer([&] {
            while (!W.SawStop.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(Round * 5));
            tvh::lockBoth();
            void *P = XRQ->GetObject(&ProcID);
            if (P != nullptr)
                XRQ->FreeObject(P);
            tvh::unlockBoth();
            Freed = true;
        });
        Tarvex_ScheduleProc_QZProcRunner_ProcCancel(nullptr, nullptr, nullptr, Proc);
        tvh::unlockBoth();
        Freer.join();
        tvh::lockBoth();
        EXPECT_TRUE(Freed.load());
        EXPECT_EQ(XRQ->GetObject(&ProcID), nullptr);
    }
}

TEST_F(ThreadsInternal, AnAsyncProcWithoutAWorkerFailsItsRun) {
    RefuseThreads = true;
    tvh::unlockBoth();
    Run(R"(
        local N = QZDataBase:CreateType("tf.N")
        local P = QZProcBase:CreateSubType("tf.P")
        P:InputFrom(N)
        P.IsAsync = true
        P.Execute = function(self) ran = true return 0 end
        local chain = _New(QZProcChainBase)
        chain:FromPara(P())
        realm = _New(QZRealmBase)
        local cell = _New(QZCellBase)
        _SetName(cell, "tf.cell")
        cell:AddProc(chain)
        realm:AddCell(cell)
        realm:AddEnvData(N(1))
        realm:Execute()
        errors = realm.ErrorCount
    )");
    tvh::lockBoth();
    EXPECT_EQ(ErrorsWithText("Cell[tf.cell] Proc[]'s runs failed").size(), 1u) << ErrorLog();
    Run("assert(ran == nil, 'no body ran') assert(errors == 1, 'one error: ' .. tostring(errors)) _Free(realm)");
}

TEST_F(ThreadsInternal, BreakOnProcWithoutAThreadReportsAndDoesNotWait) {
    RefuseThreads = true;
    tvh::unlockBoth();
    Run(R"( realm = _New(QZRealmBase) _SetName(realm, "nostep") realm:BreakOnProc() )");
    tvh::lockBoth();
    auto *Realm = (StructOfQZRealmBase *)Named("nostep");
    EXPECT_EQ(ErrorsWithText("'s BreakOnProc failed, the stepping thread can not be created").size(), 1u)
        << ErrorLog();
    EXPECT_FALSE(QZRealmBase_IsBreakOnProc(Realm));
    RefuseThreads = false;
    tvh::unlockBoth();
    // Stepping works again once threads can be started.
    Run(R"(
        realm:BreakOnProc()
        assert(realm:BreakOnProcContinue() == true)
        realm:CancelBreakOnProc()
        assert(realm:BreakOnProcContinue() == false)
        _Free(realm)
    )");
    tvh::lockBoth();
}

} // namespace
