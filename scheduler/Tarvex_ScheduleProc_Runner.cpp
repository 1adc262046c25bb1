// The runner step: which of a runner's procs are current, each current proc
// stepped once, and whether the runner has finished and is freed.
#include "trelk_sched_internal.h"

// Child chains nest inside procs; a walk that meets more procs than this has
// met a loop of links.
#define TRELK_SCHED_MAXWALK 65536

// The keys of an ID index counted up to Limit (Limit: that many or more).
static VS_ULONG KeysUpTo(void *Index, VS_ULONG Limit)
{
    VS_ULONG n = 0;
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(Index, &Key); Value != NULL && n < Limit;
         Value = SRV->QueryNextIDKey(Index, &Key))
        n++;
    return n;
}

static void *CurrentIndex(StructOfQZProcRunnerBase *runner)
{
    if (runner->CurrentQZProcIndexTree == NULL)
        runner->CurrentQZProcIndexTree = SRV->CreateIDIndex_Nor(0);
    return runner->CurrentQZProcIndexTree;
}

static void ProcCurrent(StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc, VS_INT32 Depth);

static void ChainCurrent(StructOfQZProcRunnerBase *runner, StructOfQZProcChainBase *chain, VS_INT32 Depth)
{
    if (Depth > TRELK_SCHED_MAXDEPTH)
        return;
    VS_INT32 Steps = 0;
    for (StructOfQZProcBase *Proc = TrelkSched_StartProc(&chain->QZProcStart);
         Proc != NULL && Steps < TRELK_SCHED_MAXWALK; Proc = TrelkSched_NextProc(Proc), Steps++) {
        ProcCurrent(runner, Proc, Depth + 1);
        if (Proc->ChildEndMarker)
            break;
    }
}

static void ProcCurrent(StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc, VS_INT32 Depth)
{
    VS_BOOL Changed = VS_FALSE;
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL && !Changed; In = SRV->QueryNext(In))
        for (void *Item = SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue); Item != NULL;
             Item = SRV->QueryNext(Item))
            if (((StructOfQZObjectPointerWithChangeFlag *)Item)->ChangeFlag) {
                Changed = VS_TRUE;
                break;
            }
    if (Changed) {
        VS_UUID ID = SRV->GetID(proc);
        void *Index = CurrentIndex(runner);
        if (SRV->FindIDKey(Index, &ID) == NULL)
            SRV->InsertIDKey(Index, &ID, (void *)1);
    }
    for (void *Chain = SRV->QueryFirst(&proc->QZProcChild); Chain != NULL; Chain = SRV->QueryNext(Chain))
        ChainCurrent(runner, (StructOfQZProcChainBase *)Chain, Depth);
}

void Tarvex_ScheduleProc_QZProcRunner_Proc_CreateCurrentQZProc(StructOfQZProcRunnerBase *runner,
                                                               StructOfQZProcBase *proc)
{
    if (runner != NULL && proc != NULL)
        ProcCurrent(runner, proc, 0);
}

void Tarvex_ScheduleProc_QZProcRunner_ProcChain_CreateCurrentQZProc(StructOfQZProcRunnerBase *runner,
                                                                    StructOfQZProcChainBase *chain)
{
    if (runner != NULL && chain != NULL)
        ChainCurrent(runner, chain, 0);
}

// The current-proc rule over the runner's whole chain: a proc with an input
// item whose change flag is set becomes current. Only the procs noted since
// the last look can have gained such an item (sched_touched.cpp), so only
// they are asked.
static void ApplyCurrentRule(StructOfQZProcRunnerBase *runner)
{
    TrelkSched_CurrentFromTouched(runner, CurrentIndex(runner));
}

static VS_BOOL AnyItem(StructOfQZProcBase *proc)
{
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        if (SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue) != NULL)
            return VS_TRUE;
    return VS_FALSE;
}

struct RunnerIDs {
    VS_UUID Realm, Cell, Runner;
};

// Finds the realm, cell and runner again; FALSE when one of them is gone.
static VS_BOOL Refind(RunnerIDs *IDs, StructOfQZRealmBase **realm, StructOfQZCellBase **cell,
                      StructOfQZProcRunnerBase **runner)
{
    *realm = TRELK_FIND(StructOfQZRealmBase, IDs->Realm);
    *cell = TRELK_FIND(StructOfQZCellBase, IDs->Cell);
    *runner = TRELK_FIND(StructOfQZProcRunnerBase, IDs->Runner);
    return *realm != NULL && *cell != NULL && *runner != NULL ? VS_TRUE : VS_FALSE;
}

// Tells the realm, then frees the runner unless a script already did.
static void EndRunner(RunnerIDs *IDs, VS_BOOL WillBeFree, VS_BOOL Free)
{
    StructOfQZRealmBase *realm;
    StructOfQZCellBase *cell;
    StructOfQZProcRunnerBase *runner;
    if (!Refind(IDs, &realm, &cell, &runner))
        return;
    TrelkSched_OnRunnerExecuted(realm, cell, runner, WillBeFree);
    if (Free && Refind(IDs, &realm, &cell, &runner))
        Tarvex_ScheduleProc_QZProcRunnerFree(realm, cell, runner);
}

static VS_BOOL OtherRunnersLeft(RunnerIDs *IDs)
{
    StructOfQZCellBase *cell = TRELK_FIND(StructOfQZCellBase, IDs->Cell);
    return cell != NULL && SRV->QueryFirst(&cell->NormalRunnerQueue) != NULL ? VS_TRUE : VS_FALSE;
}

VS_BOOL Tarvex_ScheduleProc_QZProcRunner(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                         StructOfQZProcRunnerBase *runner, VS_INT32 ForceToExecuteType,
                                         VS_ULONG *ProcNumberExecuted)
{
    if (realm == NULL || cell == NULL || runner == NULL)
        return VS_FALSE;
    RunnerIDs IDs = {SRV->GetID(realm), SRV->GetID(cell), SRV->GetID(runner)};
    VS_BOOL Result = VS_FALSE;
    TrelkSched_OnRunnerBeforeExecuted(realm, cell, runner);
    if (!Refind(&IDs, &realm, &cell, &runner))
        return VS_FALSE;
    if (SRV->QueryFirst(&runner->QZProcBase) == NULL) {
        QZRealmBase_RaiseException(realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "Cell[%s] runner QZProcBase is NULL", Trelk_Name(cell));
        // The report ran a script: the runner goes if it is still there.
        realm = TRELK_FIND(StructOfQZRealmBase, IDs.Realm);
        cell = TRELK_FIND(StructOfQZCellBase, IDs.Cell);
        runner = TRELK_FIND(StructOfQZProcRunnerBase, IDs.Runner);
        if (runner != NULL)
            Tarvex_ScheduleProc_QZProcRunnerFree(realm, cell, runner);
        return VS_FALSE;
    }
    ApplyCurrentRule(runner);
    void *Index = CurrentIndex(runner);
    // Runs change the index: step the procs that were current at the start.
    TrelkVector<VS_UUID> Current;
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(Index, &Key); Value != NULL; Value = SRV->QueryNextIDKey(Index, &Key))
        Current.push_back(Key);
    if (Current.empty())
        return VS_FALSE;
    for (size_t i = 0; i < Current.size(); i++) {
        if (!Refind(&IDs, &realm, &cell, &runner))
            return VS_FALSE;
        Index = CurrentIndex(runner);
        if (SRV->FindIDKey(Index, &Current[i]) == NULL)
            continue;
        StructOfQZProcBase *Proc = TRELK_FIND(StructOfQZProcBase, Current[i]);
        if (Proc == NULL) {
            SRV->DelIDKey(Index, &Current[i]);
            continue;
        }
        VS_INT32 Step =
            Tarvex_ScheduleProc_QZProcRunner_EachProc(realm, cell, runner, Proc, ForceToExecuteType, ProcNumberExecuted);
        cell = TRELK_FIND(StructOfQZCellBase, IDs.Cell);
        if (cell == NULL || !cell->IsReady) {
            return VS_FALSE;
        }
        if (Step < 0) {
            EndRunner(&IDs, VS_TRUE, VS_TRUE);
            return VS_FALSE;
        }
        if (Step > 0)
            Result = VS_TRUE;
    }
    if (!Refind(&IDs, &realm, &cell, &runner))
        return Result;
    ApplyCurrentRule(runner);
    Index = CurrentIndex(runner);
    VS_ULONG Count = KeysUpTo(Index, 2);
    StructOfQZProcBase *First = TrelkSched_StartProc(&runner->QZProcStart);
    if (Count == 0) {
        if (First == NULL) {
            EndRunner(&IDs, VS_TRUE, VS_TRUE);
            return OtherRunnersLeft(&IDs) ? VS_TRUE : Result;
        }
        if (SRV->QueryFirst(&First->InputQueue) == NULL) {
            runner->IsFinish = VS_TRUE;
            QZRealmBase_RaiseException(realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                       "proc [%s] has no input, it executes finished", Trelk_Name(First));
            EndRunner(&IDs, VS_FALSE, VS_FALSE);
            return Result;
        }
        VS_UUID FirstID = SRV->GetID(First);
        // The top-up may report, and the report's script may free the
        // runner, its cell, the realm or the proc.
        if (!Tarvex_ScheduleProc_QZProcInputValid(realm, cell, runner, First) && !Refind(&IDs, &realm, &cell, &runner))
            return Result;
        First = TRELK_FIND(StructOfQZProcBase, FirstID);
        if (First != NULL && TrelkSched_HasChangedInput(First)) {
            EndRunner(&IDs, VS_FALSE, VS_FALSE);
            return Result;
        }
        VS_BOOL Keep = runner->IsOutputRunner ? VS_TRUE : VS_FALSE;
        EndRunner(&IDs, !Keep, !Keep);
        if (!Keep && OtherRunnersLeft(&IDs))
            Result = VS_TRUE;
        return Result;
    }
    VS_UUID StartID = runner->QZProcStart;
    if (Count == 1 && SRV->FindIDKey(Index, &StartID) != NULL && First != NULL) {
        // A first proc whose worker's run is not picked up yet has not
        // finished, even when its script already took every input: the
        // runner waits for the pick-up, with nothing new in those inputs.
        if (SRV->QueryFirst(&First->InputQueue) == NULL || AnyItem(First) || TrelkSched_AsyncWorkerRunning(First)) {
            EndRunner(&IDs, VS_FALSE, VS_FALSE);
            return Result;
        }
        if (!Tarvex_ScheduleProc_QZProcInputValid(realm, cell, runner, First) && !Refind(&IDs, &realm, &cell, &runner))
            return Result;
        First = TRELK_FIND(StructOfQZProcBase, StartID);
        if (First == NULL || !AnyItem(First)) {
            VS_BOOL Keep = runner->IsOutputRunner ? VS_TRUE : VS_FALSE;
            // The output runner stays: it is not told that it will be freed.
            EndRunner(&IDs, !Keep, !Keep);
            if (!Keep && OtherRunnersLeft(&IDs))
                Result = VS_TRUE;
            return Result;
        }
        EndRunner(&IDs, VS_FALSE, VS_FALSE);
        return VS_TRUE;
    }
    EndRunner(&IDs, VS_FALSE, VS_FALSE);
    return Result;
}
