// The limits that guard every proc run: source depth, live count, loops and
// suspension time. Each asks the realm's script first; when the script
// refuses, the proc is killed: cancelled, its env data withdrawn, the rules
// of its chain told, the error counters raised.
#include "trelk_sched_internal.h"

#include <cstdio>

// ---------------------------------------------------------------------------
// Source depth
// ---------------------------------------------------------------------------
// Memo of the depths met in one measure (value depth + 1; in progress 1), so
// that shared sources are measured once and a loop of links ends. Most data
// have a source or two: the first few depths sit in a small table, and a
// host index is made only for a measure that meets more.
namespace {

struct DepthMemo {
    enum { kSmall = 16 };
    VS_UUID IDs[kSmall];
    VS_UWORD Values[kSmall];
    VS_INT32 Count = 0;
    void *Index = NULL;

    ~DepthMemo()
    {
        if (Index != NULL)
            SRV->DestoryIndex(Index);
    }

    VS_UWORD Find(VS_UUID *ID)
    {
        for (VS_INT32 i = 0; i < Count; i++)
            if (Trelk_IDEqual(&IDs[i], ID))
                return Values[i];
        return Index != NULL ? (VS_UWORD)(uintptr_t)SRV->FindIDKey(Index, ID) : 0;
    }

    void Set(VS_UUID *ID, VS_UWORD Value)
    {
        for (VS_INT32 i = 0; i < Count; i++)
            if (Trelk_IDEqual(&IDs[i], ID)) {
                Values[i] = Value;
                return;
            }
        if (Index == NULL && Count < kSmall) {
            IDs[Count] = *ID;
            Values[Count++] = Value;
            return;
        }
        if (Index == NULL)
            Index = SRV->CreateIDIndex_Nor(0);
        if (SRV->FindIDKey(Index, ID) != NULL)
            SRV->DelIDKey(Index, ID);
        SRV->InsertIDKey(Index, ID, (void *)(uintptr_t)Value);
    }
};

} // namespace

static VS_INT32 SourceDepth(StructOfQZDataBase *Data, DepthMemo *Memo, VS_INT32 Level)
{
    VS_PARAPKGPTR Sources = QZDataBase_GetSourceData_Internal(Data);
    if (Sources == NULL)
        return 0;
    if (Level >= TRELK_SCHED_MAXDEPTH)
        return 1;
    VS_UUID ID = SRV->GetID(Data);
    VS_UWORD Known = Memo->Find(&ID);
    if (Known != 0)
        return Known == 1 ? 0 : (VS_INT32)(Known - 1);
    Memo->Set(&ID, 1);
    VS_INT32 Depth = 1;
    for (VS_INT32 i = 0; i < Sources->GetNumber(); i++) {
        void *Source = Sources->GetObject(i);
        if (!TrelkSched_IsData(Source))
            continue;
        VS_INT32 Below = SourceDepth((StructOfQZDataBase *)Source, Memo, Level + 1);
        if (1 + Below > Depth)
            Depth = 1 + Below;
    }
    Memo->Set(&ID, (VS_UWORD)(Depth + 1));
    return Depth;
}

VS_INT32 Tarvex_ScheduleProc_QZProcRunner_GetSourceDataLength(StructOfQZDataBase *data)
{
    if (data == NULL || QZDataBase_GetSourceData_Internal(data) == NULL)
        return 0;
    DepthMemo Memo;
    return SourceDepth(data, &Memo, 0);
}

// ---------------------------------------------------------------------------
// Cancel and disapprove
// ---------------------------------------------------------------------------
static VS_UUID IDOf(void *Object)
{
    return Object != NULL ? SRV->GetID(Object) : VS_UUID{};
}

void Tarvex_ScheduleProc_QZProcRunner_ProcCancel(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                 StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc)
{
    if (proc == NULL || proc->Status == 0)
        return;
    VS_UUID ProcID = SRV->GetID(proc);
    VS_UUID RealmID = IDOf(realm), CellID = IDOf(cell), RunnerID = IDOf(runner);
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(proc);
    if (LocalBuf != NULL && LocalBuf->RunProcThreadIsRunning) {
        QZProcBase_StopRunProcWorker(proc);
        proc = TRELK_FIND(StructOfQZProcBase, ProcID);
        if (proc == NULL)
            return;
        LocalBuf = QZProcBase_GetProcLocalBuf(proc);
    }
    if (LocalBuf != NULL) {
        if (LocalBuf->RunProcResult != NULL) {
            LocalBuf->RunProcResult->Release();
            LocalBuf->RunProcResult = NULL;
        }
        if (LocalBuf->BlockThreadSourceData != NULL) {
            LocalBuf->BlockThreadSourceData->Release();
            LocalBuf->BlockThreadSourceData = NULL;
        }
    }
    if (!(proc->IsSuspend && LocalBuf != NULL && LocalBuf->IsAsyncThreadIsRunning)) {
        proc->Status = -1;
        QZProcBase_RejectInput_Internal(proc, NULL, VS_FALSE);
        // Stopping the worker and letting go of the input may have run
        // scripts: the notice names what is still there.
        proc = TRELK_FIND(StructOfQZProcBase, ProcID);
        if (proc == NULL)
            return;
        SRV->LuaPushObject(TrelkSched_Find(&RealmID));
        SRV->LuaPushObject(TrelkSched_Find(&CellID));
        SRV->LuaPushObject(TrelkSched_Find(&RunnerID));
        TrelkSched_CallObject(proc, "Execute", 3, 0, "calls the function Execute failed");
        proc = TRELK_FIND(StructOfQZProcBase, ProcID);
        if (proc == NULL)
            return;
    }
    proc->Status = 0;
}

void Tarvex_ScheduleProc_QZProcRunner_ProcIsDisapproved(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                        StructOfQZProcBase *proc)
{
    (void)realm;
    if (cell == NULL || proc == NULL)
        return;
    VS_UUID ProcID = SRV->GetID(proc);
    VS_UUID CellID = SRV->GetID(cell);
    // The proc's env data are noted first: letting go of one runs scripts,
    // which may free the others, the proc or the cell.
    VS_PARAPKGPTR Withdrawn = Trelk_GetParaPkgInterface(__LINE__);
    for (void *Item = SRV->QueryFirst(&cell->EnvDataQueue); Item != NULL; Item = SRV->QueryNext(Item))
        if (TrelkSched_IsData(Item) && Trelk_IDEqual(&((StructOfQZDataBase *)Item)->OwnerRunnerProcID, &ProcID))
            Withdrawn->InsertObject(Withdrawn->GetNumber(), Item);
    for (VS_INT32 i = 0; i < Withdrawn->GetNumber(); i++) {
        void *Item = Withdrawn->GetObject(i);
        cell = TRELK_FIND(StructOfQZCellBase, CellID);
        if (cell == NULL)
            break;
        if (Item != NULL && SRV->GetParent(Item) == cell)
            TrelkSched_Drop(Item);
    }
    Withdrawn->Release();
    cell = TRELK_FIND(StructOfQZCellBase, CellID);
    proc = TRELK_FIND(StructOfQZProcBase, ProcID);
    if (cell == NULL || proc == NULL)
        return;
    void *Root = TrelkSched_Find(&proc->RootProcID);
    if (Root == NULL)
        return;
    StructOfQZProcChainBase *Chain = NULL;
    VS_INT32 Steps = 0;
    for (void *Up = SRV->GetParent(Root); Up != NULL && Up != cell && Steps < TRELK_SCHED_MAXDEPTH;
         Up = SRV->GetParent(Up), Steps++) {
        if (Trelk_IsInstOf(Up, QZProcChainBaseClass) && SRV->GetParent(Up) == cell) {
            Chain = (StructOfQZProcChainBase *)Up;
            break;
        }
    }
    if (Chain == NULL)
        return;
    // The rules run scripts: take their IDs first, then call each one that
    // still exists.
    VS_PARAPKGPTR Rules = Trelk_GetParaPkgInterface(__LINE__);
    for (void *Item = SRV->QueryFirst(&Chain->QZRuleAttachQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        void *Rule = TrelkSched_Find(&((StructOfQZRuleAttachBase *)Item)->QZRuleID);
        if (Rule != NULL)
            Rules->InsertObject(Rules->GetNumber(), Rule);
    }
    for (VS_INT32 i = 0; i < Rules->GetNumber(); i++) {
        void *Rule = Rules->GetObject(i);
        if (Rule == NULL)
            continue;
        SRV->LuaPushObject(TrelkSched_Find(&ProcID));
        TrelkSched_CallObject(Rule, "OnDisapproved", 1, 0, "calls the function OnDisapproved failed");
    }
    Rules->Release();
}

void TrelkSched_Kill(StructOfQZRealmBase *realm, StructOfQZCellBase *cell, StructOfQZProcRunnerBase *runner,
                     StructOfQZProcBase *proc)
{
    // Any of them may be gone already when a report before the kill ran a
    // script.
    VS_UUID RealmID = IDOf(realm), CellID = IDOf(cell), RunnerID = IDOf(runner), ProcID = IDOf(proc);
    Tarvex_ScheduleProc_QZProcRunner_ProcCancel(realm, cell, runner, proc);
    Tarvex_ScheduleProc_QZProcRunner_ProcIsDisapproved(TRELK_FIND(StructOfQZRealmBase, RealmID),
                                                       TRELK_FIND(StructOfQZCellBase, CellID),
                                                       TRELK_FIND(StructOfQZProcBase, ProcID));
    proc = TRELK_FIND(StructOfQZProcBase, ProcID);
    TrelkSched_CountError(TRELK_FIND(StructOfQZRealmBase, RealmID), TRELK_FIND(StructOfQZCellBase, CellID), proc,
                          TRELK_FIND(StructOfQZProcRunnerBase, RunnerID));
    if (proc != NULL)
        Trelk_InsertPerformaceData_ForError(proc);
}

// ---------------------------------------------------------------------------
// Limit events
// ---------------------------------------------------------------------------
// Calls a limit event with one bool result on the nArgs values pushed.
// Returns the call's outcome; *Answer holds the answer of a good call.
static VS_INT32 CallLimitEvent(StructOfQZRealmBase *realm, const VS_CHAR *Name, VS_INT32 nArgs,
                               const VS_CHAR *ErrorText, VS_BOOL *Answer)
{
    VS_UUID RealmID = SRV->GetID(realm);
    const VS_CHAR *RealmName = Trelk_Name(realm);
    VS_CHAR NameCopy[256];
    snprintf(NameCopy, sizeof(NameCopy), "%s", RealmName);
    VS_INT32 Outcome = TrelkSched_CallRealm(realm, Name, nArgs, 1, ErrorText);
    *Answer = VS_FALSE;
    if (Outcome == TRELK_CALL_OK)
        *Answer = SRV->LuaToBool(-1);
    SRV->LuaPop(1);
    if (Outcome == TRELK_CALL_MISSING) {
        void *Realm = TrelkSched_Find(&RealmID);
        QZRealmBase_RaiseException(Realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "Realm[%s] %s runs failed",
                                   Realm != NULL ? Trelk_Name(Realm) : NameCopy, Name);
    }
    return Outcome;
}

VS_BOOL TrelkSched_LimitLongSourceData(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                       StructOfQZProcBase *proc, StructOfQZDataBase *data)
{
    VS_UUID ProcID = SRV->GetID(proc), DataID = SRV->GetID(data), RealmID = SRV->GetID(realm);
    SRV->LuaPushObject(cell);
    SRV->LuaPushObject(data);
    VS_BOOL Answer;
    if (CallLimitEvent(realm, "OnLongSourceData", 2, "call the OnLongSourceData function failed", &Answer) !=
            TRELK_CALL_OK ||
        Answer)
        return VS_TRUE;
    data = TRELK_FIND(StructOfQZDataBase, DataID);
    if (data == NULL)
        return VS_FALSE;
    QZRealmBase_RaiseException(TrelkSched_Find(&RealmID), TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                               "QZData[%s]'s sourcedata is too long, it may be invalid and can not as input",
                               Trelk_Name(data));
    // The report ran a script.
    data = TRELK_FIND(StructOfQZDataBase, DataID);
    if (data == NULL)
        return VS_FALSE;
    QZDataBase_Disapproved_Internal(data);
    proc = TRELK_FIND(StructOfQZProcBase, ProcID);
    data = TRELK_FIND(StructOfQZDataBase, DataID);
    if (proc != NULL && data != NULL)
        QZProcBase_RejectInput_Internal(proc, data, VS_TRUE);
    return VS_FALSE;
}

// Finds the four objects again after a script call; FALSE when one is gone.
static VS_BOOL Refind(VS_UUID *IDs, StructOfQZRealmBase **realm, StructOfQZCellBase **cell,
                      StructOfQZProcRunnerBase **runner, StructOfQZProcBase **proc)
{
    *realm = TRELK_FIND(StructOfQZRealmBase, IDs[0]);
    *cell = TRELK_FIND(StructOfQZCellBase, IDs[1]);
    *runner = TRELK_FIND(StructOfQZProcRunnerBase, IDs[2]);
    *proc = TRELK_FIND(StructOfQZProcBase, IDs[3]);
    return *realm != NULL && *cell != NULL && *runner != NULL && *proc != NULL ? VS_TRUE : VS_FALSE;
}

// The report runs the stub's script, which may free any of the four: the
// kill then deals with those still there.
static void KillWith(StructOfQZRealmBase *realm, StructOfQZCellBase *cell, StructOfQZProcRunnerBase *runner,
                     StructOfQZProcBase *proc, const VS_CHAR *Format)
{
    VS_UUID IDs[4] = {SRV->GetID(realm), SRV->GetID(cell), SRV->GetID(runner), SRV->GetID(proc)};
    QZRealmBase_RaiseException(realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, Format, Trelk_Name(proc));
    Refind(IDs, &realm, &cell, &runner, &proc);
    TrelkSched_Kill(realm, cell, runner, proc);
}

VS_BOOL TrelkSched_LimitInputInvalid(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                     StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc, VS_INT32 *LiveCount)
{
    VS_UUID IDs[4] = {SRV->GetID(realm), SRV->GetID(cell), SRV->GetID(runner), SRV->GetID(proc)};
    SRV->LuaPushObject(cell);
    SRV->LuaPushObject(proc);
    VS_BOOL Answer;
    VS_INT32 Outcome = CallLimitEvent(realm, "OnInputInvalid", 2, "call the OnInputInvalid function failed", &Answer);
    if (!Refind(IDs, &realm, &cell, &runner, &proc))
        return VS_FALSE;
    if (Outcome == TRELK_CALL_OK && Answer) {
        *LiveCount = QZRealmBase_GetInitialLiveCount(realm);
        return VS_TRUE;
    }
    if (Outcome == TRELK_CALL_MISSING)
        TrelkSched_Kill(realm, cell, runner, proc);
    else
        KillWith(realm, cell, runner, proc, "Proc[%s] runs failed, because it's input is not alive");
    return VS_FALSE;
}

VS_BOOL TrelkSched_LimitLongLoop(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                 StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc)
{
    VS_UUID IDs[4] = {SRV->GetID(realm), SRV->GetID(cell), SRV->GetID(runner), SRV->GetID(proc)};
    SRV->LuaPushObject(cell);
    SRV->LuaPushObject(proc);
    SRV->LuaPushInt((VS_INT32)proc->LoopCountTotal);
    VS_BOOL Answer;
    VS_INT32 Outcome = CallLimitEvent(realm, "OnLongLoop", 3, "call the OnLongLoop function failed", &Answer);
    if (!Refind(IDs, &realm, &cell, &runner, &proc))
        return VS_FALSE;
    if (Outcome != TRELK_CALL_OK)
        return VS_TRUE;
    if (Answer) {
        proc->LoopCount = 0;
        return VS_TRUE;
    }
    KillWith(realm, cell, runner, proc, "Proc[%s] runs failed, it may be enter deadloop, and killed by trelk");
    return VS_FALSE;
}

// ---------------------------------------------------------------------------
// Suspension
// ---------------------------------------------------------------------------
static void *SuspendIndex(StructOfQZRealmBase *realm, VS_BOOL Create)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(realm);
    if (LocalBuf == NULL)
        return NULL;
    if (LocalBuf->SuspendProcIndexTree == NULL && Create)
        LocalBuf->SuspendProcIndexTree = SRV->CreateIDIndex_Nor(0);
    return LocalBuf->SuspendProcIndexTree;
}

void Tarvex_ScheduleProc_QZProcRunner_ProcIsSuspend(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                    StructOfQZProcBase *proc)
{
    (void)cell;
    void *Index = SuspendIndex(realm, VS_TRUE);
    if (Index == NULL || proc == NULL)
        return;
    VS_UUID ProcID = SRV->GetID(proc);
    if (SRV->FindIDKey(Index, &ProcID) != NULL) {
        QZRealmBase_RaiseException(realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0, "Proc[%s] has been suspend before",
                                   Trelk_Name(proc));
        return;
    }
    StructOfQZRealmBaseLocalBuf_SuspendProc *Record =
        (StructOfQZRealmBaseLocalBuf_SuspendProc *)SRV->Malloc_Nor(sizeof(StructOfQZRealmBaseLocalBuf_SuspendProc));
    if (Record == NULL)
        return;
    Record->ProcID = ProcID;
    Record->SuspendTickCount = Record->InitSuspendTickCount = TrelkSched_NowMs();
    SRV->InsertIDKey(Index, &ProcID, Record);
}

VS_BOOL Tarvex_ScheduleProc_QZProcRunner_ProcIsSuspend_TooLongCheck(StructOfQZRealmBase *realm,
                                                                    StructOfQZCellBase *cell,
                                                                    StructOfQZProcRunnerBase *runner,
                                                                    StructOfQZProcBase *proc)
{
    void *Index = SuspendIndex(realm, VS_FALSE);
    if (proc == NULL)
        return VS_TRUE;
    VS_UUID ProcID = SRV->GetID(proc);
    StructOfQZRealmBaseLocalBuf_SuspendProc *Record =
        Index != NULL ? (StructOfQZRealmBaseLocalBuf_SuspendProc *)SRV->FindIDKey(Index, &ProcID) : NULL;
    if (!proc->IsSuspend) {
        if (Record != NULL) {
            SRV->DelIDKey(Index, &ProcID);
            SRV->Free(Record);
        }
        return VS_TRUE;
    }
    if (Record == NULL)
        return VS_TRUE;
    VS_INT64 Now = TrelkSched_NowMs();
    if (Record->SuspendTickCount > Now) {
        Record->SuspendTickCount = Record->InitSuspendTickCount = Now;
        return VS_TRUE;
    }
    if (Now - Record->SuspendTickCount <= QZRealmBase_GetMaxSuspendTickCount(realm))
        return VS_TRUE;
    VS_UUID IDs[4] = {SRV->GetID(realm), SRV->GetID(cell), SRV->GetID(runner), ProcID};
    SRV->LuaPushObject(cell);
    SRV->LuaPushObject(proc);
    SRV->LuaPushInt64(Now - Record->InitSuspendTickCount);
    VS_BOOL Answer;
    VS_INT32 Outcome = CallLimitEvent(realm, "OnLongSuspend", 3, "call the OnLongSuspend function failed", &Answer);
    if (!Refind(IDs, &realm, &cell, &runner, &proc))
        return VS_FALSE;
    if (Outcome == TRELK_CALL_MISSING)
        return VS_TRUE;
    if (Outcome == TRELK_CALL_ERROR || Answer) {
        // The record may have gone with a reset of the realm.
        Index = SuspendIndex(realm, VS_FALSE);
        Record = Index != NULL ? (StructOfQZRealmBaseLocalBuf_SuspendProc *)SRV->FindIDKey(Index, &ProcID) : NULL;
        if (Record != NULL)
            Record->SuspendTickCount = Now;
        return VS_TRUE;
    }
    KillWith(realm, cell, runner, proc,
             "Proc[%s] runs failed, it suspend too long and may be enter deadloop, and killed by trelk");
    return VS_FALSE;
}
