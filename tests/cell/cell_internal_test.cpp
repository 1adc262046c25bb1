// Cells in arrangements scripts cannot build: a runner's copies as the
// scheduler gets them, runners whose later procs are current, the output
// chain the scheduler gives a cell, the index of executed procs, and env
// data held by a runner's proc.
#include "module_test_util.h"
#include "trelk_cell_api.h"
#include "vs_platform.h"

namespace {

class CellInternal : public trelktest::LoadedModule {
  protected:
    CellInternal() : LoadedModule("cell_internal") {}

    void SetUp() override {
        LoadedModule::SetUp();
        Run(R"(
            local function named(o, n) _SetName(o, n) _LockGC(o) return o end
            local D, E, F = QZDataBase:CreateType("ci.D"), QZDataBase:CreateType("ci.E"), QZDataBase:CreateType("ci.F")
            local A = named(_New(QZProcBase), "ci.A") A:InputFrom(D) A:OutputFrom(E)
            local B = named(_New(QZProcBase), "ci.B") B:InputFrom(E) B:OutputFrom(F)
            local c = named(_New(QZCellBase), "ci_cell")
            c:ConnectProc(_New(A), _New(B))
            named(c:GetProcChainQueue():_Get(0), "ci_chain")
            named(_New(QZRealmBase), "ci_realm")
        )");
        Cell = (StructOfQZCellBase *)Named("ci_cell");
        Chain = (StructOfQZProcChainBase *)Named("ci_chain");
        Realm = (StructOfQZRealmBase *)Named("ci_realm");
    }
    StructOfQZProcBase *ProcOf(VS_UUID *ID) { return (StructOfQZProcBase *)XRQ->GetObject(ID); }
    StructOfQZProcBase *Next(StructOfQZProcBase *P) { return (StructOfQZProcBase *)XRQ->AtomicToObject(P->QZProcNext); }
    StructOfQZDataInputContainer *FirstInput(StructOfQZProcBase *P) {
        return (StructOfQZDataInputContainer *)XRQ->QueryFirst(&P->InputQueue);
    }

    StructOfQZCellBase *Cell = nullptr;
    StructOfQZProcChainBase *Chain = nullptr;
    StructOfQZRealmBase *Realm = nullptr;
};

TEST_F(CellInternal, NewRunnerCopiesTheChainInOrder) {
    StructOfQZProcRunnerBase *Runner = Tarvex_ScheduleProc_NewRunner(Realm, Cell, Chain);
    ASSERT_NE(Runner, nullptr);
    EXPECT_EQ(XRQ->GetParent(Runner), nullptr) << "in no queue";
    EXPECT_EQ(IdText(XRQ->GetObject(&Runner->QZCellID)), IdText(Cell));
    EXPECT_EQ(IdText(XRQ->GetObject(&Runner->QZProcChainID)), IdText(Chain));
    EXPECT_EQ(Runner->hThreadID, (VS_INT64)vs_thread_currentid());
    EXPECT_EQ(Runner->ErrorCount, 0);

    StructOfQZProcBase *First = ProcOf(&Chain->QZProcStart);
    StructOfQZProcBase *Second = Next(First);
    StructOfQZProcBase *Copy1 = ProcOf(&Runner->QZProcStart);
    ASSERT_NE(Copy1, nullptr);
    StructOfQZProcBase *Copy2 = Next(Copy1);
    ASSERT_NE(Copy2, nullptr);
    EXPECT_EQ(Copy2->QZProcNext, nullptr) << "two copies";
    EXPECT_TRUE(XRQ->IsInst(XRQ->GetIDEx(First), Copy1));
    EXPECT_TRUE(XRQ->IsInst(XRQ->GetIDEx(Second), Copy2));
    EXPECT_EQ(XRQ->GetParent(Copy1), (void *)Runner);
    EXPECT_EQ(XRQ->GetParent(Copy2), (void *)Runner);
    VS_UUID RunnerID = XRQ->GetID(Runner);
    EXPECT_EQ(memcmp(&Copy1->RunnerID, &RunnerID, sizeof(VS_UUID)), 0);

    EXPECT_FALSE(FirstInput(Copy1)->IsFromInternal) << "the first copy is fed from the env";
    EXPECT_TRUE(FirstInput(Copy2)->IsFromInternal) << "the second by the first";
    ASSERT_NE(Copy2->QZProcIndexTree, nullptr);
    EXPECT_NE(XRQ->FindIDKey(Copy2->QZProcIndexTree, XRQ->GetIDEx(Copy1)), nullptr) << "its predecessor recorded";
    EXPECT_NE(XRQ->FindIDKey(Runner->CurrentQZProcIndexTree, XRQ->GetIDEx(Copy1)), nullptr) << "the first is current";
    EXPECT_EQ(XRQ->FindIDKey(Runner->CurrentQZProcIndexTree, XRQ->GetIDEx(Copy2)), nullptr);
    EXPECT_EQ(XRQ->GetParent(First), (void *)Chain) << "the chain keeps its own procs";
    XRQ->FreeObject(Runner);
}

// Runners whose later procs are current, an output chain as the scheduler
// makes it, and the index of executed procs: the queries that read them.
TEST_F(CellInternal, QueriesReadRunnersOutputChainsAndExecutedProcs) {
    Run(R"(
        local c = _Find("ci_cell")
        local r = c:RunnerFromProcChain(_Find("ci_realm"), _Find("ci_chain"))
        _SetName(r, "ci_runner")
        assert(c:AddRunner(r))
        local O = _New(QZProcBase) O:InputFrom(_Find("ci.F"))
        local out = _New(QZProcChainBase) out:FromPara(_New(O))
        _SetName(out, "ci_out") _LockGC(out)
    )");
    StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)Named("ci_runner");
    StructOfQZProcBase *Copy2 = Next(ProcOf(&Runner->QZProcStart));
    XRQ->InsertIDKey(Runner->CurrentQZProcIndexTree, XRQ->GetIDEx(Copy2), (void *)1);
    void *Out = Named("ci_out");
    ASSERT_TRUE(XRQ->ChangeParent(Out, Cell, XRQ->GetAttributeIndex(QZCellBaseClass, "QZProcForOutputQueue")));
    Cell->ProcExecutedIndexTree = XRQ->CreateIDIndex_Nor(0);
    XRQ->InsertIDKey(Cell->ProcExecutedIndexTree, XRQ->GetIDEx(ProcOf(&Runner->QZProcStart)), (void *)1);
    Run(R"(
        local c, E, F = _Find("ci_cell"), _Find("ci.E"), _Find("ci.F")
        local missing = c:GetMissingEnvData()
        assert(missing:_Count() == 1 and missing:_Get(0) == E, "the second copy waits for an E from inside")
        local waiting = c:GetMissingEnvDataProc()
        assert(waiting:_Count() == 2, "the chain's first proc and the waiting copy")
        assert(_IsInst(_Find("ci.B"), waiting:_Get(1)), "the copy of B")
        assert(c:GetCellMissingOutput():_Count() == 0, "not ready: nothing missing")
        c.IsReady = true
        local out = c:GetCellMissingOutput()
        assert(out:_Count() == 1 and out:_Get(0) == F, "ready: the F of the output proc is missing")
        assert(c:IsCellOutputMustExist(F) == true, "its input must be filled")
        assert(c:IsCellOutputMustExist(E) == false, "no input for E")
        local r2 = c:RunnerFromProcChain(_Find("ci_realm"), _Find("ci_out"))
        assert(r2 ~= nil and c:AddRunner(r2))
        assert(c:NumberOfRunner() == 1, "the output chain's runner is not counted")
        assert(c:IsProcExecuted(_Find("ci.A")) == true, "a copy of A has run")
        assert(c:IsProcExecuted(_Find("ci.B")) == false, "none of B")
    )");
    XRQ->FreeObject(Cell); // the index of executed procs goes with it
}

// An env datum that a runner's proc holds is handled only while that proc
// is connected to it; the scheduler may still allocate it.
TEST_F(CellInternal, DataHeldByARunnersProcCountAsHandled) {
    Run(R"(
        local c = _Find("ci_cell")
        c:AddEnvData(_Find("ci_realm"), _Find("ci.D")(1))
        _SetName(c:GetEnvDataQueue():_Get(0), "ci_env")
        local r = c:RunnerFromProcChain(_Find("ci_realm"), _Find("ci_chain"))
        _SetName(r, "ci_runner")
        c:AddRunner(r)
        _Find("ci_env"):AddExclude(_Find("ci_chain"):GetFirstProc())
    )");
    StructOfQZDataBase *Env = (StructOfQZDataBase *)Named("ci_env");
    StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)Named("ci_runner");
    EXPECT_FALSE(QZCellBase_IsEnvDataUnHandled_Internal(Env, VS_FALSE)) << "excluded, connected to nothing";
    EXPECT_FALSE(Tarvex_ScheduleQZCell_EnvDataCanBeAllocated(Cell, Env, VS_TRUE)) << "the chain's proc excluded it";

    void *Pointer = NewObject(QZObjectPointerClass);
    ((StructOfQZObjectPointer *)Pointer)->ObjectID = XRQ->GetID(ProcOf(&Runner->QZProcStart));
    ASSERT_TRUE(XRQ->ChangeParent(Pointer, Env, XRQ->GetAttributeIndex(QZDataBaseClass, "ConnectedProc")));
    EXPECT_TRUE(QZCellBase_IsEnvDataUnHandled_Internal(Env, VS_FALSE)) << "connected: the bare exclusion no longer counts";
    EXPECT_FALSE(QZCellBase_IsEnvDataUnHandled_Internal(Env, VS_TRUE)) << "the runner's copy of the excluding proc holds it";
    EXPECT_TRUE(Tarvex_ScheduleQZCell_EnvDataCanBeAllocated(Cell, Env, VS_TRUE)) << "assigned to a proc";
    VS_PARAPKGPTR Unhandled = QZCellBase_GetEnvDataUnHandled_Internal(Cell, nullptr, 0);
    EXPECT_EQ(Unhandled->GetNumber(), 0);
    Unhandled->Release();
}

} // namespace
