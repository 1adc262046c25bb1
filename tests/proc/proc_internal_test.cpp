// Procs in arrangements that scripts cannot build yet: data assigned to
// inputs (reading, rejecting and accepting with the master and slave rule),
// a proc freed inside a runner of a cell of a realm (the cancel notice), the
// copies of chains for runners, and the stop handshake with a proc-run worker
// played by a test thread.
#include "module_test_util.h"
#include "trelk_proc_api.h"
#include "trelk_scheduler_api.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class ProcInternal : public trelktest::LoadedModule {
  protected:
    ProcInternal() : LoadedModule("proc_internal") {}

    void Move(void *Object, void *Parent, const char *Queue) {
        ASSERT_TRUE(XRQ->ChangeParent(Object, Parent, XRQ->GetAttributeIndex(Parent, Queue))) << Queue;
    }
    int Count(void *QueueHead) {
        int n = 0;
        for (void *o = XRQ->QueryFirst(QueueHead); o != nullptr; o = XRQ->QueryNext(o))
            n++;
        return n;
    }
    // Assigns a data object to input Index of a proc the way the scheduler
    // does: an item in the input's queue and one in the data's ConnectedProc.
    void Assign(const char *ProcName, int Index, const char *DataName) {
        auto *Proc = (StructOfQZProcBase *)Named(ProcName);
        void *Data = Named(DataName);
        StructOfQZDataInputContainer *Input = QZProcBase_GetInputByIndex_Internal(Proc, Index);
        ASSERT_NE(Input, nullptr);
        auto *Item = (StructOfQZObjectPointerWithChangeFlag *)NewObject(QZObjectPointerWithChangeFlagClass);
        Item->ObjectID = XRQ->GetID(Data);
        Item->ChangeFlag = VS_TRUE;
        Move(Item, Input, "DataQueue");
        auto *Back = (StructOfQZObjectPointer *)NewObject(QZObjectPointerClass);
        Back->ObjectID = XRQ->GetID(Proc);
        Move(Back, Data, "ConnectedProc");
    }
};

const char *TwoMasters = R"(
    local function named(o, n) _SetName(o, n) _LockGC(o) return o end
    local A = QZDataBase:CreateType("pi.A")
    local B = QZDataBase:CreateType("pi.B")
    local PT = QZProcBase:CreateSubType("pi.PT")
    -- input 0 master of input 1 and 2; input 3 another master with its slave 4
    PT:InputFrom(A, "s", B, "s", B, A, "s", B)
    named(PT(), "p")
    for _, n in ipairs({"a0", "a3"}) do named(A(1), n) end
    for _, n in ipairs({"b1", "b1x", "b2", "b4"}) do named(B(1), n) end
)";

TEST_F(ProcInternal, RejectCascadesFromAMasterToItsSlavesOnly) {
    Run(TwoMasters);
    Assign("p", 0, "a0");
    Assign("p", 1, "b1");
    Assign("p", 1, "b1x");
    Assign("p", 2, "b2");
    Assign("p", 3, "a3");
    Assign("p", 4, "b4");
    Run(R"(
        local T = {}
        local p = _Find("p")
        local function connected(d) return d:ConnectedProcToParaPkg():_Count() end
        assert(p:GetInput(0) == _Find("a0"), "GetInput of a one-object input")
        local changed = p:InputChangeToParaPkg()
        assert(changed:_Type(0) == 0, "input 0's flag was cleared by GetInput")
        assert(changed:_Get(1) == _Find("b1") and changed:_Get(3) == _Find("a3"), "changed data")
        local again = p:InputChangeToParaPkg()
        for i = 0, 4 do assert(again:_Type(i) == 0, "second read: input " .. i .. " unchanged") end
        p:RejectInput(_Find("a0"))
        local now = p:InputToParaPkg()
        for i, want in ipairs({0, 0, 0, 7, 7}) do
          assert(now:_Type(i - 1) == want, "input " .. (i - 1) .. " after the reject")
        end
        for _, n in ipairs({"a0", "b1", "b1x", "b2"}) do
          assert(connected(_Find(n)) == 0, n .. " disconnected")
          assert(_Find(n):IsReject(p), n .. " rejected")
        end
        assert(connected(_Find("a3")) == 1 and not _Find("a3"):IsReject(p), "other master untouched")
        assert(p:IsEnough(3), "a3 is enough for input 3")
    )");
}

TEST_F(ProcInternal, AcceptCascadesAndNilRejectsAll) {
    Run(TwoMasters);
    Assign("p", 0, "a0");
    Assign("p", 1, "b1");
    Assign("p", 3, "a3");
    Assign("p", 4, "b4");
    Run(R"(
        local p = _Find("p")
        local runner = _New(QZProcRunnerBase)
        _LockGC(runner)
        runner.PriorityCount = 5
        p.RunnerID = _ID(runner)
        p:AcceptInput(_Find("a0"))
        assert(_Find("a0"):IsAccept(p) and _Find("b1"):IsAccept(p), "accepted with its slave")
        assert(runner.PriorityCount == 5, "accepting leaves the runner alone")
        p:RejectInput(nil)
        assert(_Find("a3"):IsReject(p) and _Find("b4"):IsReject(p), "nil rejects every input's data")
        assert(p:InputToParaPkg():_Type(3) == 0, "all inputs empty")
        assert(runner.PriorityCount == 4, "a reject lowers the runner's priority")
        local log = _Errors()
        p:RejectInput(5)
        log = _Errors()
        assert(log:_Count() == 1, "one report")
        local text = log:_Get(0):_Get(7)
        assert(text == "call [" .. _ID(p) .. ":p]" .. " \"RejectInput\" failed, input is not data object", text)
        assert(runner.PriorityCount == 3, "lowered in every case")
    )");
}

TEST_F(ProcInternal, EnoughCountsAgainstTheRequestNumber) {
    Run(R"(
        local A = QZDataBase:CreateType("en.A")
        local PT = QZProcBase:CreateSubType("en.PT")
        PT:InputFrom(2, A, -1, A)
        local p = PT()
        _SetName(p, "ep") _LockGC(p)
        for _, n in ipairs({"e1", "e2", "e3"}) do local d = A(1) _SetName(d, n) _LockGC(d) end
    )");
    Assign("ep", 0, "e1");
    Assign("ep", 1, "e3");
    Run(R"(
        local p = _Find("ep")
        assert(not p:IsEnough(0), "one of two")
        assert(p:IsEnough(1), "any number")
        assert(p:GetInput(0):_Count() == 1, "a package for a counted input")
    )");
    Assign("ep", 0, "e2");
    Run(R"( assert(_Find("ep"):IsEnough(0), "two of two") )");
    // Freeing the proc disconnects its data.
    void *E1 = Named("e1");
    XRQ->FreeObject(Named("ep"));
    EXPECT_EQ(Count(&((StructOfQZDataBase *)E1)->ConnectedProc), 0);
}

TEST_F(ProcInternal, FreeInsideARunnerRejectsThenNotifies) {
    Run(R"(
        local A = QZDataBase:CreateType("cn.A")
        local PT = QZProcBase:CreateSubType("cn.PT")
        PT:InputFrom(A)
        local function named(o, n) _SetName(o, n) _LockGC(o) return o end
        local p = named(PT(), "cp")
        named(A(1), "cd")
        named(_New(QZRealmBase), "realm")
        named(_New(QZCellBase), "cell")
        named(_New(QZProcRunnerBase), "runner")
        p.RunnerID = _ID(_Find("runner"))
        p.Status = -1
        notice = nil
        p.Execute = function(self, realm, cell, runner)
          notice = {realm = realm, cell = cell, runner = runner, left = self:InputToParaPkg():_Type(0)}
        end
    )");
    Assign("cp", 0, "cd");
    Move(Named("cell"), Named("realm"), "QZCellQueue");
    Move(Named("runner"), Named("cell"), "NormalRunnerQueue");
    XRQ->FreeObject(Named("cp"));
    Run(R"(
        assert(notice, "the cancel notice came")
        assert(notice.realm == _Find("realm") and notice.cell == _Find("cell") and notice.runner == _Find("runner"),
               "with realm, cell and runner")
        assert(notice.left == 0, "after the inputs were rejected")
        assert(_Find("cd"):ConnectedProcToParaPkg():_Count() == 0, "data disconnected")
    )");
}

TEST_F(ProcInternal, ChainCopiesForARunner) {
    Run(R"(
        local A = QZDataBase:CreateType("ch.A")
        local A2 = A:CreateType("ch.A2")
        local P1 = QZProcBase:CreateSubType("ch.P1") P1:OutputFrom(A2)
        local P2 = QZProcBase:CreateSubType("ch.P2") P2:InputFrom(A) P2:OutputFrom(A)
        local P3 = QZProcBase:CreateSubType("ch.P3") P3:InputFrom(QZDataBase:CreateType("ch.Other"))
        local function named(o, n) _SetName(o, n) _LockGC(o) return o end
        named(P1(), "c1") named(P2(), "c2") named(P3(), "c3")
        named(_New(QZProcChainBase), "chain")
    )");
    auto *C1 = (StructOfQZProcBase *)Named("c1");
    auto *C2 = (StructOfQZProcBase *)Named("c2");
    auto *C3 = (StructOfQZProcBase *)Named("c3");
    auto *Chain = (StructOfQZProcChainBase *)Named("chain");
    // c2 carries a child chain [c3] that ends marked and goes on into c2's
    // successor... kept simple: the outer chain c1 -> c2, with c2's child
    // chain holding c3 only.
    Chain->QZProcStart = XRQ->GetID(C1);
    C1->QZProcNext = XRQ->ObjectToAtomic(C2);
    Move(C1, Chain, "QZProcBase");
    Move(C2, Chain, "QZProcBase");
    auto *Child = (StructOfQZProcChainBase *)NewObject(QZProcChainBaseClass);
    Child->QZProcStart = XRQ->GetID(C3);
    C3->ChildEndMarker = VS_TRUE;
    Move(C3, Child, "QZProcBase");
    Move(Child, C2, "QZProcChild");
    C2->Status = 5;

    VS_UUID RunnerID = XRQ->GetID(Named("chain")); // any non-zero ID
    for (StructOfQZProcBase *P : {C1, C2})
        Tarvex_ScheduleProc_DupProc_Step1(&RunnerID, P);
    ASSERT_NE(C3->DupQZProc, nullptr) << "child chains are copied in step 1";
    StructOfQZProcBase *D1 = Tarvex_ScheduleProc_DupProc_Step3(&RunnerID, C1);
    StructOfQZProcBase *D2 = Tarvex_ScheduleProc_DupProc_Step3(&RunnerID, C2);
    StructOfQZProcBase *D3 = C3->DupQZProc;
    for (StructOfQZProcBase *P : {C1, C2})
        Tarvex_ScheduleProc_DupProc_Step4(&RunnerID, P);
    EXPECT_EQ(C1->DupQZProc, nullptr);
    EXPECT_EQ(C3->DupQZProc, nullptr);
    EXPECT_EQ(XRQ->GetClass(D1), C1);
    EXPECT_EQ(memcmp(&D2->RunnerID, &RunnerID, sizeof RunnerID), 0);
    VS_UUID C2ID = XRQ->GetID(C2);
    EXPECT_EQ(memcmp(&D2->RootProcID, &C2ID, sizeof C2ID), 0);
    // The copied child chain sits in the copy of c2 and holds the copy of c3.
    void *DupChild = XRQ->QueryFirst(&D2->QZProcChild);
    ASSERT_NE(DupChild, nullptr);
    EXPECT_EQ(XRQ->GetObject(&((StructOfQZProcChainBase *)DupChild)->QZProcStart), D3);
    EXPECT_EQ(XRQ->GetParent(D3), DupChild);
    // A copy of a copy still names the original.
    VS_UUID Runner2 = XRQ->GetID(C3);
    Tarvex_ScheduleProc_DupProc_Step1(&Runner2, D2);
    StructOfQZProcBase *DD2 = Tarvex_ScheduleProc_DupProc_Step3(&Runner2, D2);
    Tarvex_ScheduleProc_DupProc_Step4(&Runner2, D2);
    EXPECT_EQ(memcmp(&DD2->RootProcID, &C2ID, sizeof C2ID), 0);

    // Inputs fed by the previous proc: A2 output into an A input counts.
    Tarvex_ScheduleProc_DupProc_SetIsFromInternal(D1, D2, VS_TRUE);
    auto *In2 = (StructOfQZDataInputContainer *)XRQ->QueryFirst(&D2->InputQueue);
    auto *In3 = (StructOfQZDataInputContainer *)XRQ->QueryFirst(&D3->InputQueue);
    EXPECT_TRUE(In2->IsFromInternal);
    EXPECT_FALSE(In3->IsFromInternal) << "an unrelated type is not fed";
    Tarvex_ScheduleProc_DupProc_SetPrevProcIndexTree(D1, D2);
    EXPECT_NE(XRQ->FindIDKey(D2->QZProcIndexTree, XRQ->GetIDEx(D1)), nullptr);
    EXPECT_NE(XRQ->FindIDKey(D3->QZProcIndexTree, XRQ->GetIDEx(D2)), nullptr) << "the child's first proc follows its owner";
    D1->Status = 0;
    D2->Status = 5;
    Tarvex_ScheduleProc_DupProc_SetStatusForFree(D2);
    Tarvex_ScheduleProc_DupProc_SetStatusForFree(D1);
    EXPECT_EQ(D2->Status, -1);
    EXPECT_EQ(D1->Status, 0);
    D3->PrivateLocalBuf->InsertInt(0, 1);
    Tarvex_ScheduleProc_ProcChain_ClearPrivateBuf((StructOfQZProcChainBase *)DupChild);
    EXPECT_EQ(D3->PrivateLocalBuf->GetNumber(), 0);
    EXPECT_EQ(Tarvex_ScheduleProc_GetItemNumber(&D2->QZProcChild), 1);
    EXPECT_EQ(Tarvex_ScheduleProc_GetItemNumber(nullptr), 0);
    for (void *Copy : {(void *)D1, (void *)D2, (void *)DD2})
        XRQ->FreeObject(Copy);
}

// The proc-run worker as a test thread: it registers, waits for the stop
// request (giving up both locks while it waits), then takes the locks for
// its last step, as the real worker does.
TEST_F(ProcInternal, FreeWaitsForAStoppingWorker) {
    Run(R"( local p = _New(QZProcBase) _SetName(p, "wp") _LockGC(p) )");
    auto *Proc = (StructOfQZProcBase *)Named("wp");
    VS_UUID ProcID = XRQ->GetID(Proc);
    ASSERT_TRUE(QZProcBase_RunProcWorker_Begin(Proc));
    EXPECT_FALSE(QZProcBase_RunProcWorker_Begin(Proc)) << "one worker per proc";
    StructOfQZProcBaseLocalBuf *Buf = QZProcBase_GetProcLocalBuf(Proc);
    std::atomic<bool> SawStop{false};
    VS_HANDLE Handle = nullptr;
    struct WorkerArgs {
        StructOfQZProcBaseLocalBuf *Buf;
        VS_UUID ID;
        std::atomic<bool> *SawStop;
    } Args{Buf, ProcID, &SawStop};
    auto Worker = [](void *Para) -> void * {
        auto *A = (WorkerArgs *)Para;
        while (!QZProcBase_RunProcWorker_StopRequested(A->Buf))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        A->SawStop->store(true);
        // A worker that is slow to end: the stopper must wait, not hang.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        tvh::lockBoth();
        QZProcBase_RunProcWorker_End(&A->ID);
        tvh::unlockBoth();
        return nullptr;
    };
    ASSERT_NE(vs_thread_create(Worker, &Args, &Handle), nullptr);
    Buf->hRunProcThreadHandle = Handle;
    XRQ->FreeObject(Proc); // joins and waits with both locks given up
    EXPECT_TRUE(SawStop.load());
    EXPECT_EQ(XRQ->GetObject(&ProcID), nullptr);
    EXPECT_EQ(tvh::stats().LockViolations, 0);
}

TEST_F(ProcInternal, AWorkerThatEndsFirstCleansUpAlone) {
    Run(R"( local p = _New(QZProcBase) _SetName(p, "wq") _LockGC(p) p.IsSuspend = true )");
    auto *Proc = (StructOfQZProcBase *)Named("wq");
    VS_UUID ProcID = XRQ->GetID(Proc);
    ASSERT_TRUE(QZProcBase_RunProcWorker_Begin(Proc));
    QZProcBase_RunProcWorker_End(&ProcID);
    EXPECT_FALSE(QZProcBase_GetProcLocalBuf(Proc)->RunProcThreadIsRunning);
    EXPECT_FALSE(Proc->IsSuspend);
    XRQ->FreeObject(Proc); // nothing to stop
    EXPECT_EQ(XRQ->GetObject(&ProcID), nullptr);
}

} // namespace
