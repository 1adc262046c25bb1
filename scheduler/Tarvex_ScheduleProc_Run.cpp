// The proc run: the script "Execute", its result code, and the routing of
// the data it produced to the next proc, its child chains or the cell's
// environment.
#include "trelk_sched_internal.h"

#include <climits>
#include <cstdio>

#define TRELK_PROC_RUNNING INT_MAX

struct RunState {
    VS_UUID RealmID, CellID, RunnerID, ProcID;
    StructOfQZRealmBase *realm;
    StructOfQZCellBase *cell;
    StructOfQZProcRunnerBase *runner;
    StructOfQZProcBase *proc;
    VS_PARAPKGPTR Sources; // the run's source data, or NULL
};

static VS_BOOL Refind(RunState *R)
{
    R->realm = TRELK_FIND(StructOfQZRealmBase, R->RealmID);
    R->cell = TRELK_FIND(StructOfQZCellBase, R->CellID);
    R->runner = TRELK_FIND(StructOfQZProcRunnerBase, R->RunnerID);
    R->proc = TRELK_FIND(StructOfQZProcBase, R->ProcID);
    return R->realm != NULL && R->cell != NULL && R->runner != NULL && R->proc != NULL ? VS_TRUE : VS_FALSE;
}

static void ReleaseSources(RunState *R)
{
    if (R->Sources != NULL) {
        R->Sources->Release();
        R->Sources = NULL;
    }
}

static void Fail(RunState *R)
{
    ReleaseSources(R);
    StructOfQZProcBase *proc = TRELK_FIND(StructOfQZProcBase, R->ProcID);
    if (proc != NULL)
        proc->LoopCount = proc->LoopCountTotal = 0;
    TrelkSched_CountError(TRELK_FIND(StructOfQZRealmBase, R->RealmID), TRELK_FIND(StructOfQZCellBase, R->CellID), proc,
                          TRELK_FIND(StructOfQZProcRunnerBase, R->RunnerID));
    if (proc != NULL)
        Trelk_InsertPerformaceData_ForError(proc);
}

// The data the run is made from: outside inputs themselves, inputs from the
// previous proc by their own sources.
static VS_PARAPKGPTR CollectSources(StructOfQZProcBase *proc)
{
    if (SRV->QueryFirst(&proc->InputQueue) == NULL)
        return NULL;
    VS_PARAPKGPTR Sources = Trelk_GetParaPkgInterface(__LINE__);
    // Each once: a set beside the package, as a run may take thousands.
    TrelkHashSet<void *> Seen;
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        for (void *Item = SRV->QueryFirst(&Input->DataQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            StructOfQZDataBase *Data = TrelkSched_ItemData((StructOfQZObjectPointerWithChangeFlag *)Item);
            if (Data == NULL)
                continue;
            if (Input->IsFromInternal && Data->SourceData != NULL) {
                for (VS_INT32 i = 0; i < Data->SourceData->GetNumber(); i++) {
                    void *Source = Data->SourceData->GetObject(i);
                    if (Source != NULL && Seen.insert(Source).second)
                        Sources->InsertObject(Sources->GetNumber(), Source);
                }
            } else if (Seen.insert(Data).second)
                Sources->InsertObject(Sources->GetNumber(), Data);
        }
    }
    if (Sources->GetNumber() == 0) {
        Sources->Release();
        return NULL;
    }
    return Sources;
}

static VS_INT32 InputItemCount(StructOfQZProcBase *proc)
{
    VS_INT32 Count = 0;
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        Count += Tarvex_ScheduleProc_GetItemNumber(&((StructOfQZDataInputContainer *)In)->DataQueue);
    return Count;
}

// Runs the script "Execute"; FALSE when the run failed (already handled).
static VS_BOOL CallExecute(RunState *R, VS_INT32 *Result)
{
    VS_CHAR CellName[256], ProcName[256];
    snprintf(CellName, sizeof(CellName), "%s", Trelk_Name(R->cell));
    snprintf(ProcName, sizeof(ProcName), "%s", Trelk_Name(R->proc));
    if (R->proc->StartEachExecuteTick == 0)
        R->proc->StartEachExecuteTick = TrelkSched_NowUs();
    SRV->LuaPushObject(R->realm);
    SRV->LuaPushObject(R->cell);
    SRV->LuaPushObject(R->runner);
    R->runner->PriorityCount = InputItemCount(R->proc);
    SRV->GetLastError();
    if (!Trelk_ExecNameScript(R->proc, "Execute", 3, 1)) {
        SRV->LuaPop(1);
        QZRealmBase_RaiseException(R->realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "Cell[%s] Proc[%s]'s runs failed", CellName, ProcName);
        Fail(R);
        return VS_FALSE;
    }
    VS_INT32 Error = SRV->GetLastError();
    if (Error >= VSSCRIPTERR_OTHER && Error <= VSSCRIPTERR_MEMORY) {
        VS_ULONG Line = 0;
        const VS_CHAR *Source = NULL;
        const VS_CHAR *Text = SRV->GetLastErrorInfo(&Line, &Source);
        QZRealmBase_RaiseException(TrelkSched_Find(&R->RealmID), TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "Cell[%s] Proc[%s]'s runs warning, info[%s:%d:%s]", CellName, ProcName,
                                   Source != NULL ? Source : "", (VS_INT32)Line, Text != NULL ? Text : "");
        // The script stopped with an error and answered nothing: the run
        // failed, it did not finish.
        SRV->LuaPop(1);
        Fail(R);
        return VS_FALSE;
    }
    *Result = SRV->LuaToInt(-1);
    StructOfQZRealmBase *realm = TRELK_FIND(StructOfQZRealmBase, R->RealmID);
    if (realm != NULL && realm->TraceFlag) {
        SRV->LuaPushObject(TrelkSched_Find(&R->CellID));
        SRV->LuaPushObject(TrelkSched_Find(&R->RunnerID));
        SRV->LuaPushObject(TrelkSched_Find(&R->ProcID));
        SRV->LuaPushInt(*Result);
        TrelkSched_CallRealm(realm, "OnRunnerProcExecuted", 4, 0, "calls the function OnRunnerProcExecuted failed");
        *Result = SRV->LuaToInt(-1);
    }
    SRV->LuaPop(1);
    if (!Refind(R)) {
        Fail(R);
        return VS_FALSE;
    }
    return VS_TRUE;
}

static void MarkRunning(StructOfQZProcBase *proc)
{
    if (proc->Status == 0)
        proc->Status = TRELK_PROC_RUNNING;
}

static VS_BOOL AnyInputItem(StructOfQZProcBase *proc)
{
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        if (SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue) != NULL)
            return VS_TRUE;
    return VS_FALSE;
}

static VS_BOOL AnyOutputData(StructOfQZProcBase *proc, VS_BOOL OnlyChanged)
{
    for (void *Out = SRV->QueryFirst(&proc->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Out;
        if ((!OnlyChanged || Output->ChangeFlag) && SRV->QueryFirst(&Output->QZData) != NULL)
            return VS_TRUE;
    }
    return VS_FALSE;
}

static void RecordPerformance(StructOfQZProcBase *proc)
{
    Trelk_InsertPerformaceData(proc, TrelkSched_NowUs() - proc->StartEachExecuteTick);
    proc->StartEachExecuteTick = 0;
}

// Input left behind by a finished proc. The report runs the stub's script,
// which may free any object of the run: FALSE when one is gone.
static VS_BOOL LeftoverInput(RunState *R)
{
    StructOfQZProcBase *proc = R->proc;
    VS_BOOL AnySatisfied = VS_FALSE;
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        if (TrelkSched_InputSatisfied((StructOfQZDataInputContainer *)In))
            AnySatisfied = VS_TRUE;
    if (!AnyInputItem(proc))
        return VS_TRUE;
    if (!AnySatisfied) {
        QZRealmBase_RaiseException(R->realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "proc [%s] finish execute, but it does not accept input data, this may block it "
                                   "to executed again, please confirm",
                                   Trelk_Name(proc));
        return Refind(R);
    }
    QZRealmBase_RaiseException(R->realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                               "proc [%s] finish execute, but it does not accept input data and input is complete, "
                               "it will be executed deadloop, so trelk automatically accept input",
                               Trelk_Name(proc));
    if (!Refind(R))
        return VS_FALSE;
    proc = R->proc;
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        void *QueueHead = &((StructOfQZDataInputContainer *)In)->DataQueue;
        TrelkDrain DrainItem;
        for (void *Item = Trelk_DrainFirst(&DrainItem, QueueHead); Item != NULL;
             Item = Trelk_DrainNext(&DrainItem, Item)) {
            StructOfQZDataBase *Data = TrelkSched_ItemData((StructOfQZObjectPointerWithChangeFlag *)Item);
            if (Data != NULL) {
                QZDataBase_AddAccept_Internal(Data, proc);
                Tarvex_ScheduleProc_QZDataUnConnect(Data, &R->ProcID);
            }
            SRV->FreeObject(Item);
        }
    }
    return VS_TRUE;
}

// ---------------------------------------------------------------------------
// Output routing
// ---------------------------------------------------------------------------
static VS_PARAPKGPTR RulesToAttach(RunState *R)
{
    if (Trelk_IsZeroID(&R->proc->RootProcID))
        return NULL;
    void *Chain = TrelkSched_Find(&R->runner->QZProcChainID);
    if (!Trelk_IsInstOf(Chain, QZProcChainBaseClass))
        return NULL;
    // No package when no rule is found: an empty one attaches nothing either.
    VS_PARAPKGPTR Rules = NULL;
    for (void *Item = SRV->QueryFirst(&((StructOfQZProcChainBase *)Chain)->QZRuleAttachQueue); Item != NULL;
         Item = SRV->QueryNext(Item)) {
        void *Rule = TrelkSched_Find(&((StructOfQZRuleAttachBase *)Item)->QZRuleID);
        if (Rule == NULL)
            continue;
        if (Rules == NULL)
            Rules = Trelk_GetParaPkgInterface(__LINE__);
        if (Rules != NULL)
            Rules->InsertObject(Rules->GetNumber(), Rule);
    }
    return Rules;
}

// Where the output walk stands. A report runs a script: the walk notes its
// place by ID just before one, and goes on only where that place still is.
struct WalkPlace {
    void *Out;      // the output container walked
    void *NextData; // the datum after the one stamped, or NULL
    VS_UUID OutID, NextID;
    VS_BOOL Noted; // a report was made: find everything again
};

static void NotePlace(WalkPlace *W)
{
    if (W->Noted)
        return;
    W->Noted = VS_TRUE;
    W->OutID = SRV->GetID(W->Out);
    W->NextID = W->NextData != NULL ? SRV->GetID(W->NextData) : VS_UUID{};
}

// The type the proc was made from. A proc made from none is reported, which
// runs a script: the caller finds its objects again.
static VS_UUID OwnerTypeID(RunState *R, WalkPlace *W)
{
    VS_INT32 Steps = 0;
    for (void *Class = R->proc; Class != NULL && Steps < TRELK_SCHED_MAXDEPTH; Class = SRV->GetClass(Class), Steps++) {
        if (Class == QZProcBaseClass)
            break;
        if (Trelk_IsOf(Class, QZProcBaseClass) && ((StructOfQZProcBase *)Class)->IsType)
            return SRV->GetID(Class);
    }
    NotePlace(W);
    QZRealmBase_RaiseException(R->realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                               "Proc[%s] is in runner, but it's IsType == true class is not found",
                               Trelk_Name(R->proc));
    return VS_UUID{};
}

// Stamps one output datum. Its reports run the stub's script, which may free
// the datum or any object of the run: W->Noted tells the caller to find
// them again, and FALSE means the datum is gone (nothing more was done).
static VS_BOOL StampOutput(RunState *R, StructOfQZDataBase *Data, VS_INT32 LiveCount, VS_PARAPKGPTR Rules,
                           WalkPlace *W)
{
    StructOfQZRealmBase *realm = R->realm;
    StructOfQZProcBase *proc = R->proc;
    VS_UUID DataID = SRV->GetID(Data);
    Data->ScheduleTickCount = realm->ScheduleTickCount;
    realm->DataSequenceIndex++;
    Data->SequenceIndex = realm->DataSequenceIndex;
    Data->LiveCount = LiveCount;
    if (Trelk_IsZeroID(&proc->RootProcID)) {
        NotePlace(W);
        QZRealmBase_RaiseException(realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "Proc[%s] is in runner, but it's RootProcID is invalid", Trelk_Name(proc));
        Data = TRELK_FIND(StructOfQZDataBase, DataID);
        if (!Refind(R) || Data == NULL)
            return VS_FALSE;
        Data->OwnerProcIDInCell = R->ProcID;
    } else
        Data->OwnerProcIDInCell = proc->RootProcID;
    if (Trelk_IsZeroID(&Data->OwnerProcID)) {
        VS_BOOL Before = W->Noted;
        VS_UUID Owner = OwnerTypeID(R, W);
        if (W->Noted && !Before) {
            Data = TRELK_FIND(StructOfQZDataBase, DataID);
            if (!Refind(R) || Data == NULL)
                return VS_FALSE;
        }
        Data->OwnerProcID = Owner;
    }
    Data->OwnerRunnerProcID = R->ProcID;
    if (QZDataBase_GetSourceData_Internal(Data) == NULL && R->Sources != NULL) {
        VS_PARAPKGPTR Own = Trelk_GetParaPkgInterface(__LINE__);
        for (VS_INT32 i = 0; i < R->Sources->GetNumber(); i++) {
            void *Source = R->Sources->GetObject(i);
            if (TrelkSched_IsData(Source) && QZDataBase_GetObjectHasBuf_Internal((StructOfQZDataBase *)Source) != Data)
                Own->InsertObject(Own->GetNumber(), Source);
        }
        Data->SourceData = Own;
    }
    if (Rules != NULL) {
        OBJECTATTRIBUTEINDEX AttachIndex = Trelk_ClassAttrIndex(QZDataBaseClass, "QZRuleAttachQueue");
        for (VS_INT32 i = 0; i < Rules->GetNumber(); i++) {
            void *Rule = Rules->GetObject(i);
            if (Rule == NULL)
                continue;
            StructOfQZRuleAttachBase *Attach =
                (StructOfQZRuleAttachBase *)SRV->MallocObjectL(SRV->GetIDEx(QZRuleAttachBaseClass), 0, NULL);
            if (Attach == NULL)
                continue;
            Attach->QZRuleID = SRV->GetID(Rule);
            SRV->LockGC(Rule);
            SRV->ChangeParent(Attach, Data, AttachIndex);
        }
    }
    return VS_TRUE;
}

// The datum is an item of the cell's env, or an instance made from one: the
// datum and its class chain are asked where they sit, which costs the depth
// of the chain rather than the length of the env.
static VS_BOOL ComesFromEnv(StructOfQZCellBase *cell, StructOfQZDataBase *Data)
{
    OBJECTATTRIBUTEINDEX EnvIndex = TrelkSched_CellEnvDataIndex();
    for (void *X = Data; X != NULL; X = SRV->GetClass(X))
        if (SRV->GetParent(X) == cell && SRV->GetIndex(X) == EnvIndex)
            return VS_TRUE;
    return VS_FALSE;
}

// The replaced entry's bookkeeping goes with the datum that replaces it.
static void CarryOver(StructOfQZDataBase *From, StructOfQZDataBase *To)
{
    if (From->SourceData != NULL) {
        From->SourceData->AddRef();
        if (To->SourceData != NULL)
            To->SourceData->Release();
        To->SourceData = From->SourceData;
    }
    OBJECTATTRIBUTEINDEX AttachIndex = Trelk_ClassAttrIndex(QZDataBaseClass, "QZRuleAttachQueue");
    TrelkDrain DrainAttach;
    for (void *Attach = Trelk_DrainFirst(&DrainAttach, &From->QZRuleAttachQueue); Attach != NULL;
         Attach = Trelk_DrainNext(&DrainAttach, Attach))
        SRV->ChangeParent(Attach, To, AttachIndex);
    To->UniformTick = From->UniformTick;
    SRV->SetVString(&To->Signature, From->Signature.Buf);
    To->ScheduleTickCount = From->ScheduleTickCount;
    To->SequenceIndex = From->SequenceIndex;
    To->OwnerProcID = From->OwnerProcID;
    To->OwnerProcIDInCell = From->OwnerProcIDInCell;
    To->OwnerRunnerProcID = From->OwnerRunnerProcID;
    To->LiveCount = From->LiveCount;
    SRV->SetVString(&To->DataDesc, From->DataDesc.Buf);
}

// Hands the collected data to the cell's environment after the realm's
// "OnOutputDataToEnv" had its say. Each collected datum arrives holding the
// lock it had in its output container, so nothing is collected while the
// script runs; that lock becomes the environment's.
static VS_BOOL QueueToEnv(RunState *R, VS_PARAPKGPTR EnvList)
{
    VS_PARAPKGPTR Copy = EnvList->Dup();
    // The collected data whose lock this run still holds.
    void *Held = SRV->CreateIDIndex_Nor(0);
    for (VS_INT32 i = 0; i < Copy->GetNumber(); i++) {
        VS_UUID ID = SRV->GetID(Copy->GetObject(i));
        if (!Trelk_IsZeroID(&ID) && SRV->FindIDKey(Held, &ID) == NULL)
            SRV->InsertIDKey(Held, &ID, (void *)1);
    }
    SRV->LuaPushObject(R->cell);
    SRV->LuaPushObject(R->proc);
    SRV->LuaPushParaPkg(EnvList, VS_FALSE);
    TrelkSched_CallRealm(R->realm, "OnOutputDataToEnv", 3, 0, "calls the function OnOutputDataToEnv failed");
    VS_BOOL Alive = Refind(R);
    VS_BOOL Queued = VS_FALSE;
    OBJECTATTRIBUTEINDEX EnvIndex = TrelkSched_CellEnvDataIndex();
    void *Done = SRV->CreateIDIndex_Nor(0);
    for (VS_INT32 i = 0; Alive && i < Copy->GetNumber(); i++) {
        StructOfQZDataBase *Old = (StructOfQZDataBase *)Copy->GetObject(i);
        void *Entry = i < EnvList->GetNumber() && EnvList->GetType(i) == VSTYPE_OBJECT
                          ? Trelk_FromRawObject(EnvList->GetObject(i))
                          : NULL;
        if (!TrelkSched_IsData(Entry))
            continue;
        StructOfQZDataBase *New = (StructOfQZDataBase *)Entry;
        VS_UUID NewID = SRV->GetID(New);
        // An entry listed twice is queued, and locked, once.
        if (SRV->FindIDKey(Done, &NewID) != NULL)
            continue;
        SRV->InsertIDKey(Done, &NewID, (void *)1);
        if (New != Old && Old != NULL)
            CarryOver(Old, New);
        if (SRV->DelIDKey(Held, &NewID) == NULL)
            SRV->LockGC(New);
        R->cell->IsEnvDataQueueChange = VS_TRUE;
        if (!SRV->ChangeParent(New, R->cell, EnvIndex)) {
            // A cell on its way out (run from a free callback) takes
            // nothing more: the lock would keep the datum for ever.
            SRV->UnLockGC(New);
            continue;
        }
        QZRealmBase_AddEnvData_ToActiveObject(R->realm, R->cell, New);
        Queued = VS_TRUE;
    }
    // What was replaced or removed, or has no cell to go to, is let go.
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(Held, &Key); Value != NULL; Value = SRV->QueryNextIDKey(Held, &Key)) {
        void *Left = TrelkSched_Find(&Key);
        if (Left != NULL)
            SRV->UnLockGC(Left);
    }
    SRV->DestoryIndex(Held);
    SRV->DestoryIndex(Done);
    Copy->Release();
    return Queued;
}

// Lets go of the data collected for the environment, and of the list.
static void ReleaseEnvList(VS_PARAPKGPTR EnvList)
{
    if (EnvList == NULL)
        return;
    for (VS_INT32 i = 0; i < EnvList->GetNumber(); i++)
        if (EnvList->GetObject(i) != NULL)
            SRV->UnLockGC(EnvList->GetObject(i));
    EnvList->Release();
}

// Returns FALSE when an output could not go to the environment (the error
// was handled): the run fails there and routes nothing more.
static VS_BOOL RouteOutput(RunState *R, VS_INT32 LiveCount)
{
    VS_PARAPKGPTR Rules = RulesToAttach(R);
    // Made for the first datum that goes to the environment.
    VS_PARAPKGPTR EnvList = NULL;
    VS_BOOL Failed = VS_FALSE;
    // Set when a script freed what the walk stands on: the run ends there.
    VS_BOOL Gone = VS_FALSE;
    StructOfQZProcBase *Next = TrelkSched_NextProc(R->proc);
    // After a report the container may be gone: the walk ends without it.
    for (void *Out = SRV->QueryFirst(&R->proc->OutputQueue); Out != NULL;
         Out = Failed || Gone ? NULL : SRV->QueryNext(Out)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Out;
        if (!Output->ChangeFlag)
            continue;
        void *NextData = NULL;
        for (void *Item = SRV->QueryFirst(&Output->QZData); Item != NULL && !Failed; Item = NextData) {
            NextData = SRV->QueryNext(Item);
            if (!TrelkSched_IsData(Item))
                continue;
            StructOfQZDataBase *Data = (StructOfQZDataBase *)Item;
            WalkPlace W = {Out, NextData, VS_UUID{}, VS_UUID{}, VS_FALSE};
            VS_BOOL Stamped = StampOutput(R, Data, LiveCount, Rules, &W);
            if (W.Noted) {
                // A report ran a script: the walk goes on only where it
                // still stands.
                Out = Refind(R) ? TrelkSched_Find(&W.OutID) : NULL;
                NextData = NextData != NULL ? TrelkSched_Find(&W.NextID) : NULL;
                if (Out == NULL || SRV->GetParent(Out) != R->proc ||
                    (!Trelk_IsZeroID(&W.NextID) && (NextData == NULL || SRV->GetParent(NextData) != Out))) {
                    Gone = VS_TRUE;
                    break;
                }
                Output = (StructOfQZDataOutputContainer *)Out;
                Next = TrelkSched_NextProc(R->proc);
            }
            if (!Stamped)
                continue;
            if (Next != NULL) {
                Tarvex_ScheduleProc_QZDataToProc(R->cell, Data, Next);
                for (void *Chain = SRV->QueryFirst(&R->proc->QZProcChild); Chain != NULL;
                     Chain = SRV->QueryNext(Chain)) {
                    StructOfQZProcBase *First =
                        TrelkSched_StartProc(&((StructOfQZProcChainBase *)Chain)->QZProcStart);
                    if (First != NULL)
                        Tarvex_ScheduleProc_QZDataToProc(R->cell, Data, First);
                }
            }
            VS_BOOL ToEnv = Next == NULL;
            if (!ToEnv)
                ToEnv = SRV->QueryFirst(&Data->ConnectedProc) == NULL &&
                                (Data->ExcludeProc == NULL || TrelkSched_IDIndexIsEmpty(Data->ExcludeProc)) &&
                                !Tarvex_ScheduleProc_QZProcRunner_EachProc_DataCanBeToProc(Data, Next, VS_FALSE) &&
                                !Tarvex_ScheduleProc_QZProcRunner_EachProc_DataCanBeToChildProc(Data, R->proc)
                            ? VS_TRUE
                            : VS_FALSE;
            if (!ToEnv)
                continue;
            if (ComesFromEnv(R->cell, Data)) {
                QZRealmBase_RaiseException(R->realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                           "Proc[%s]'s output data [%s] is comes from env, it can not output to "
                                           "env again",
                                           Trelk_Name(R->proc), Trelk_Name(Data));
                Failed = VS_TRUE;
                continue;
            }
            if (EnvList == NULL)
                EnvList = Trelk_GetParaPkgInterface(__LINE__);
            EnvList->InsertObject(EnvList->GetNumber(), Data);
            // Detached, the datum keeps the output container's lock until
            // it is queued in the environment.
            SRV->ChangeParent(Data, NULL, 0);
        }
    }
    if (Gone) {
        ReleaseSources(R);
        if (Rules != NULL)
            Rules->Release();
        ReleaseEnvList(EnvList);
        return VS_FALSE;
    }
    if (Failed) {
        // A datum that may not go to the environment fails the run at once:
        // nothing of it goes there. What was already collected for the
        // environment is let go; what is still in the output containers
        // goes with the runner the failure frees.
        ReleaseSources(R);
        if (Rules != NULL)
            Rules->Release();
        if (Refind(R))
            Tarvex_ScheduleProc_QZProcRunner_ProcIsDisapproved(R->realm, R->cell, R->proc);
        ReleaseEnvList(EnvList);
        Fail(R);
        return VS_FALSE;
    }
    for (void *Out = SRV->QueryFirst(&R->proc->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out))
        ((StructOfQZDataOutputContainer *)Out)->ChangeFlag = VS_FALSE;
    ReleaseSources(R);
    if (Rules != NULL)
        Rules->Release();
    VS_BOOL Alive = Refind(R);
    VS_BOOL Queued = VS_FALSE;
    if (Alive && EnvList != NULL && EnvList->GetNumber() > 0) {
        Queued = QueueToEnv(R, EnvList);
        EnvList->Release();
    } else
        ReleaseEnvList(EnvList);
    if (Queued && !R->cell->IsReady)
        QZRealmBase_RaiseException(R->realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "Proc[%s] output data to cell, but the cell IsReady flag is false which means it "
                                   "finished, the data can not be processed",
                                   Trelk_Name(R->proc));
    return VS_TRUE;
}

// After routing: the skip count of own env data and the re-feeding from the
// procs before this one. TRUE when the re-feeding brought something.
static VS_BOOL AfterRouting(RunState *R)
{
    VS_ULONG Own = (VS_ULONG)TrelkSched_CountOwnedEnvData(R->cell, &R->ProcID, 0);
    R->proc->EnvDataSkipCount = Own > 0 ? Own - 1 : 0;
    VS_BOOL Received = VS_FALSE;
    if (R->proc->QZProcIndexTree == NULL)
        return VS_FALSE;
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(R->proc->QZProcIndexTree, &Key); Value != NULL;
         Value = SRV->QueryNextIDKey(R->proc->QZProcIndexTree, &Key)) {
        void *Feeder = TrelkSched_Find(&Key);
        if (!TrelkSched_IsProc(Feeder))
            continue;
        for (void *Out = SRV->QueryFirst(&((StructOfQZProcBase *)Feeder)->OutputQueue); Out != NULL;
             Out = SRV->QueryNext(Out))
            for (void *Data = SRV->QueryFirst(&((StructOfQZDataOutputContainer *)Out)->QZData); Data != NULL;
                 Data = SRV->QueryNext(Data))
                if (TrelkSched_IsData(Data) &&
                    Tarvex_ScheduleProc_QZDataToProc(R->cell, (StructOfQZDataBase *)Data, R->proc))
                    Received = VS_TRUE;
    }
    return Received;
}

VS_INT32 TrelkSched_RunProc(StructOfQZRealmBase *realm, StructOfQZCellBase *cell, StructOfQZProcRunnerBase *runner,
                            StructOfQZProcBase *proc, VS_INT32 LiveCount, VS_INT32 Remembered,
                            VS_ULONG *ProcNumberExecuted)
{
    RunState R = {SRV->GetID(realm), SRV->GetID(cell), SRV->GetID(runner), SRV->GetID(proc), realm, cell, runner,
                  proc, NULL};
    TrelkSched_OnRunnerProcBeforeExecuted(realm, cell, runner, proc, 0);
    if (!Refind(&R))
        return -1;
    QZRealmBase_BreakOnProcHandle(R.realm, R.proc);
    if (!Refind(&R))
        return -1;
    R.proc->ScheduleCase = 0;
    if (ProcNumberExecuted != NULL)
        (*ProcNumberExecuted)++;
    R.Sources = CollectSources(R.proc);
    VS_INT32 Result = 0;
    if (R.proc->IsAsync) {
        // A finished worker hands its run over; otherwise one is started.
        if (!TrelkSched_AsyncTakeResult(R.proc, &R.Sources, &LiveCount, &Result)) {
            // A step that one of the events above ran (a nested ExecuteOnce)
            // may have launched the worker already: the run is under way and
            // is not started a second time.
            if (TrelkSched_AsyncWorkerRunning(R.proc)) {
                ReleaseSources(&R);
                return 2;
            }
            return TrelkSched_AsyncLaunch(R.realm, R.cell, R.runner, R.proc, &R.Sources, LiveCount);
        }
        if (Result == 1) {
            QZRealmBase_RaiseException(R.realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                       "Cell[%s] Proc[%s]'s runs failed, the proc's IsAsync is true, but returns "
                                       "result is suspend",
                                       Trelk_Name(R.cell), Trelk_Name(R.proc));
            Fail(&R);
            return -1;
        }
    } else if (!CallExecute(&R, &Result))
        return -1;
    StructOfQZProcBase *P = R.proc;
    if (Result != 1 && Result != 2 && !Trelk_IsZeroID(&P->RootProcID)) {
        if (R.cell->ProcExecutedIndexTree == NULL)
            R.cell->ProcExecutedIndexTree = SRV->CreateIDIndex_Nor(0);
        if (SRV->FindIDKey(R.cell->ProcExecutedIndexTree, &P->RootProcID) == NULL)
            SRV->InsertIDKey(R.cell->ProcExecutedIndexTree, &P->RootProcID, P);
    }
    VS_BOOL IsCell = TrelkSched_IsCell(P);
    VS_BOOL Finished = VS_FALSE;
    if (Result < 0) {
        QZRealmBase_RaiseException(R.realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "Cell[%s] Proc[%s]'s returns < 0, runs failed", Trelk_Name(R.cell), Trelk_Name(P));
        ReleaseSources(&R);
        // The report ran a script: the cell is reset only if it is still there.
        if (IsCell && Refind(&R))
            QZRealmBase_ResetSingleCell_Internal(R.realm, (StructOfQZCellBase *)R.proc, VS_FALSE);
        Fail(&R);
        if (Refind(&R))
            R.proc->Status = 0;
        return -1;
    }
    if (Result == 1 || Result == 2) {
        ReleaseSources(&R);
        P->LoopCount = P->LoopCountTotal = 0;
        MarkRunning(P);
        if (Result == 2) {
            P->ScheduleCase = 1;
            return Remembered;
        }
        P->IsSuspend = VS_TRUE;
        Tarvex_ScheduleProc_QZProcRunner_ProcIsSuspend(R.realm, R.cell, P);
        return 2;
    }
    Remembered = 1;
    if (Result == 3) {
        P->ScheduleCase = 1;
        MarkRunning(P);
        P->LoopCount = P->LoopCountTotal = 0;
    } else if (Result >= 4) {
        P->NextRunTick = Result == 4 ? 0 : TrelkSched_NowMs() + Result - 4;
        MarkRunning(P);
        if (IsCell)
            P->LoopCount = P->LoopCountTotal = 0;
        VS_BOOL HasInputs = SRV->QueryFirst(&P->InputQueue) != NULL ? VS_TRUE : VS_FALSE;
        void *Chain = TrelkSched_Find(&R.runner->QZProcChainID);
        VS_BOOL IsOutputChain =
            Chain != NULL && SRV->GetIndex(Chain) == Trelk_ClassAttrIndex(QZCellBaseClass, "QZProcForOutputQueue")
                ? VS_TRUE
                : VS_FALSE;
        if (HasInputs && !AnyInputItem(P) && !IsOutputChain) {
            QZRealmBase_RaiseException(R.realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                       "Cell[%s] Proc[%s]'s input is accepted or rejected. It should return 0 instead "
                                       "of returning to continue execution",
                                       Trelk_Name(R.cell), Trelk_Name(P));
            if (!Refind(&R)) {
                ReleaseSources(&R);
                return -1;
            }
            P = R.proc;
        }
        if (AnyOutputData(P, VS_FALSE) || (HasInputs && AnyInputItem(P)))
            P->LoopCount = P->LoopCountTotal = 0;
        RecordPerformance(P);
    } else {
        if (IsCell) {
            QZRealmBase_ResetSingleCell_Internal(R.realm, (StructOfQZCellBase *)P, VS_TRUE);
            if (!Refind(&R)) {
                ReleaseSources(&R);
                return -1;
            }
            P = R.proc;
        }
        Finished = VS_TRUE;
        if (P->PrivateLocalBuf != NULL)
            P->PrivateLocalBuf->Clear();
        P->Status = 0;
        P->LoopCount = P->LoopCountTotal = 0;
        if (!LeftoverInput(&R)) {
            ReleaseSources(&R);
            return -1;
        }
        P = R.proc;
        RecordPerformance(P);
        if (SRV->QueryFirst(&P->OutputQueue) != NULL && !AnyOutputData(P, VS_TRUE)) {
            QZRealmBase_RaiseException(R.realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                       "proc [%s] finish execute, but it does not generate any output", Trelk_Name(P));
            if (!Refind(&R)) {
                ReleaseSources(&R);
                return -1;
            }
            P = R.proc;
        }
        QZRealmBase_BreakOnProcHandle(R.realm, P);
        if (!Refind(&R)) {
            ReleaseSources(&R);
            return -1;
        }
        P = R.proc;
        P->ErrorCount = 0;
    }
    if (!RouteOutput(&R, LiveCount))
        return -1;
    if (!Refind(&R))
        return -1;
    VS_BOOL Received = AfterRouting(&R);
    if (Finished && !Received && R.runner->CurrentQZProcIndexTree != NULL) {
        SRV->DelIDKey(R.runner->CurrentQZProcIndexTree, &R.ProcID);
        // It may still hold a flagged item, which makes it current again.
        TrelkSched_TouchProc(TRELK_FIND(StructOfQZProcBase, R.ProcID));
    }
    return Remembered;
}
