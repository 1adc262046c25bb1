// The proc step's admission: every check a current proc passes before it
// runs (downstream procs first, pending output, suspension, delays, inputs,
// live count, loops). The run itself is in Tarvex_ScheduleProc_Run.cpp.
#include "trelk_sched_internal.h"

// ---------------------------------------------------------------------------
// Type tests shared by the routing
// ---------------------------------------------------------------------------
static VS_BOOL InputTakesType(StructOfQZDataInputContainer *Input, StructOfQZDataBase *data)
{
    if (!Input->IsOnlyDirect)
        return SRV->IsInst(&Input->DataBaseID, data);
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(data);
    return Holder != NULL && SRV->IsDirectInst(&Input->DataBaseID, Holder) ? VS_TRUE : VS_FALSE;
}

static VS_BOOL Excluded(StructOfQZDataBase *data, VS_UUID *ID)
{
    return data->ExcludeProc != NULL && SRV->FindIDKey(data->ExcludeProc, ID) != NULL ? VS_TRUE : VS_FALSE;
}

VS_BOOL Tarvex_ScheduleProc_QZProcRunner_EachProc_ProcInputNeedMoreDataFromPrevQZProc(StructOfQZProcBase *proc,
                                                                                     StructOfQZProcBase *prev)
{
    if (proc == NULL || prev == NULL)
        return VS_FALSE;
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        if (!Input->IsFromInternal || !TrelkSched_InputNeedsMore(Input))
            continue;
        for (void *Out = SRV->QueryFirst(&prev->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out)) {
            void *Type = SRV->GetObject(&((StructOfQZDataOutputContainer *)Out)->DataBaseID);
            if (Type == NULL)
                continue;
            if (Trelk_IDEqual(SRV->GetIDEx(Type), &Input->DataBaseID) || SRV->IsInst(&Input->DataBaseID, Type))
                return VS_TRUE;
        }
    }
    return VS_FALSE;
}

VS_BOOL Tarvex_ScheduleProc_QZProcRunner_EachProc_DataCanBeToProc(StructOfQZDataBase *data, StructOfQZProcBase *proc,
                                                                  VS_BOOL IsFromEnvData)
{
    if (data == NULL || proc == NULL)
        return VS_FALSE;
    VS_UUID ExcludeID;
    if (IsFromEnvData)
        QZRunnerBase_GetExcludeIDForEnvData(proc, &ExcludeID);
    else
        ExcludeID = SRV->GetID(proc);
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        if ((Input->IsFromInternal ? VS_TRUE : VS_FALSE) != (IsFromEnvData ? VS_FALSE : VS_TRUE))
            continue;
        if (InputTakesType(Input, data) && !Excluded(data, &ExcludeID))
            return VS_TRUE;
    }
    return VS_FALSE;
}

VS_BOOL Tarvex_ScheduleProc_QZProcRunner_EachProc_DataCanBeToChildProc(StructOfQZDataBase *data,
                                                                       StructOfQZProcBase *proc)
{
    if (data == NULL || proc == NULL)
        return VS_FALSE;
    for (void *Chain = SRV->QueryFirst(&proc->QZProcChild); Chain != NULL; Chain = SRV->QueryNext(Chain)) {
        StructOfQZProcBase *First = TrelkSched_StartProc(&((StructOfQZProcChainBase *)Chain)->QZProcStart);
        if (First == NULL)
            continue;
        VS_UUID FirstID = SRV->GetID(First);
        for (void *In = SRV->QueryFirst(&First->InputQueue); In != NULL; In = SRV->QueryNext(In))
            if (InputTakesType((StructOfQZDataInputContainer *)In, data) && !Excluded(data, &FirstID))
                return VS_TRUE;
    }
    return VS_FALSE;
}

// ---------------------------------------------------------------------------
// Admission steps
// ---------------------------------------------------------------------------
struct ProcIDs {
    VS_UUID Realm, Cell, Runner, Proc;
};

struct ProcStep {
    StructOfQZRealmBase *realm;
    StructOfQZCellBase *cell;
    StructOfQZProcRunnerBase *runner;
    StructOfQZProcBase *proc;
    ProcIDs IDs;
};

// Finds the four objects again after a script call; FALSE when one is gone.
static VS_BOOL Refind(ProcStep *S)
{
    S->realm = TRELK_FIND(StructOfQZRealmBase, S->IDs.Realm);
    S->cell = TRELK_FIND(StructOfQZCellBase, S->IDs.Cell);
    S->runner = TRELK_FIND(StructOfQZProcRunnerBase, S->IDs.Runner);
    S->proc = TRELK_FIND(StructOfQZProcBase, S->IDs.Proc);
    return S->realm != NULL && S->cell != NULL && S->runner != NULL && S->proc != NULL ? VS_TRUE : VS_FALSE;
}

static VS_INT32 StepAt(ProcStep *S, VS_INT32 ForceToExecuteType, VS_ULONG *ProcNumberExecuted, VS_INT32 Depth);

// Step 1: a last proc whose own env data is still unclaimed waits.
// Returns -2 to go on, else the step's result.
static VS_INT32 EnvDataSkip(ProcStep *S, VS_INT32 ForceToExecuteType, StructOfQZProcBase *Next)
{
    StructOfQZProcBase *proc = S->proc;
    if (ForceToExecuteType == 1)
        return proc->EnvDataSkipCount != 0 && Next == NULL ? -2 : 0;
    if (proc->EnvDataSkipCount == 0 || Next != NULL)
        return -2;
    if (TrelkSched_CountOwnedEnvData(S->cell, &S->IDs.Proc, 1) > 0) {
        proc->EnvDataSkipCount--;
        return 1;
    }
    proc->EnvDataSkipCount = 0;
    return -2;
}

// Step 3: the procs below this one are stepped first. -1 fails the step.
static VS_INT32 Downstream(ProcStep *S, VS_INT32 ForceToExecuteType, VS_ULONG *ProcNumberExecuted, VS_INT32 Depth,
                           VS_INT32 *Remembered)
{
    // The procs to step are taken first: a step may change the queues.
    VS_PARAPKGPTR Below = Trelk_GetParaPkgInterface(__LINE__);
    StructOfQZProcBase *Next = TrelkSched_NextProc(S->proc);
    void *Index = S->runner->CurrentQZProcIndexTree;
    if (Next != NULL && Index != NULL && SRV->FindIDKey(Index, SRV->GetIDEx(Next)) != NULL)
        Below->InsertObject(Below->GetNumber(), Next);
    for (void *Chain = SRV->QueryFirst(&S->proc->QZProcChild); Chain != NULL; Chain = SRV->QueryNext(Chain)) {
        StructOfQZProcBase *First = TrelkSched_StartProc(&((StructOfQZProcChainBase *)Chain)->QZProcStart);
        if (First == NULL) {
            Below->Release();
            return -1;
        }
        if (Index != NULL && SRV->FindIDKey(Index, SRV->GetIDEx(First)) != NULL)
            Below->InsertObject(Below->GetNumber(), First);
    }
    for (VS_INT32 i = 0; i < Below->GetNumber(); i++) {
        void *Proc = Below->GetObject(i);
        if (!TrelkSched_IsProc(Proc))
            continue;
        ProcStep Sub = *S;
        Sub.proc = (StructOfQZProcBase *)Proc;
        Sub.IDs.Proc = SRV->GetID(Proc);
        VS_INT32 r = StepAt(&Sub, ForceToExecuteType, ProcNumberExecuted, Depth + 1);
        if (r == -1 || !Refind(S)) {
            Below->Release();
            return -1;
        }
        if (r == 1)
            *Remembered = 1;
    }
    Below->Release();
    return 0;
}

// Lets go of the output that nobody can take, noted during a walk; FALSE
// when an object of the step went with it.
static VS_BOOL DropUnwanted(ProcStep *S, VS_PARAPKGPTR Unwanted)
{
    for (VS_INT32 i = 0; i < Unwanted->GetNumber(); i++) {
        void *Data = Unwanted->GetObject(i);
        if (Data != NULL && SRV->GetParent(Data) != NULL)
            TrelkSched_Drop(Data);
    }
    Unwanted->Release();
    return Refind(S);
}

// Step 4: output the next proc has not taken yet holds the proc back.
// Returns -2 to go on, else the step's result.
static VS_INT32 PendingOutput(ProcStep *S, StructOfQZProcBase *Next, VS_INT32 Remembered)
{
    VS_INT32 Count = 0;
    // Output nobody can take is let go after the walk: letting go runs scripts.
    VS_PARAPKGPTR Unwanted = Trelk_GetParaPkgInterface(__LINE__);
    for (void *Out = SRV->QueryFirst(&S->proc->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out)) {
        void *NextData = NULL;
        for (void *Item = SRV->QueryFirst(&((StructOfQZDataOutputContainer *)Out)->QZData); Item != NULL;
             Item = NextData) {
            NextData = SRV->QueryNext(Item);
            if (!TrelkSched_IsData(Item))
                continue;
            StructOfQZDataBase *Data = (StructOfQZDataBase *)Item;
            if (SRV->QueryFirst(&Data->ConnectedProc) != NULL) {
                for (void *P = SRV->QueryFirst(&Data->ConnectedProc); P != NULL; P = SRV->QueryNext(P)) {
                    void *Connected = TrelkSched_Find(&((StructOfQZObjectPointer *)P)->ObjectID);
                    if (!TrelkSched_IsProc(Connected))
                        continue;
                    if (!Tarvex_ScheduleProc_QZProcRunner_EachProc_ProcInputNeedMoreDataFromPrevQZProc(
                            (StructOfQZProcBase *)Connected, S->proc)) {
                        if (!DropUnwanted(S, Unwanted))
                            return -1;
                        TrelkSched_OnRunnerProcBeforeExecuted(S->realm, S->cell, S->runner, S->proc, 1);
                        return Remembered;
                    }
                }
                Count++;
            } else if (Tarvex_ScheduleProc_QZProcRunner_EachProc_DataCanBeToProc(Data, Next, VS_FALSE) ||
                       Tarvex_ScheduleProc_QZProcRunner_EachProc_DataCanBeToChildProc(Data, S->proc)) {
                if (!DropUnwanted(S, Unwanted))
                    return -1;
                TrelkSched_OnRunnerProcBeforeExecuted(S->realm, S->cell, S->runner, S->proc, 2);
                return Remembered;
            } else {
                Unwanted->InsertObject(Unwanted->GetNumber(), Data);
                Count++;
            }
        }
    }
    if (!DropUnwanted(S, Unwanted))
        return -1;
    VS_INT32 Limit = QZRealmBase_GetMaxUnAllocatedData_ForQZCell(S->realm, S->proc);
    if (Count <= Limit)
        return -2;
    SRV->LuaPushObject(S->proc);
    VS_INT32 Outcome =
        TrelkSched_CallRealm(S->realm, "OnMoreUnAllocatedData", 1, 1, "proc calls the function OnMoreUnAllocatedData failed");
    VS_INT32 Answer = Outcome == TRELK_CALL_OK ? SRV->LuaToInt(-1) : 0;
    SRV->LuaPop(1);
    if (!Refind(S))
        return -1;
    if (Answer == 1) {
        QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(S->realm, S->proc);
        return -2;
    }
    QZRealmBase_RaiseException(S->realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                               "Proc[%s] create more output data larger than [%d], it's running is killed",
                               Trelk_Name(S->proc), Limit);
    return -1;
}

// Step 5: a last proc. Returns -2 to go on, else the step's result.
static VS_INT32 LastProc(ProcStep *S, VS_INT32 Remembered)
{
    StructOfQZProcBase *proc = S->proc;
    if (SRV->QueryFirst(&proc->QZProcChild) != NULL) {
        QZRealmBase_RaiseException(S->realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "[%s:%s]'s is invalid, QZProcNext is NULL, but QZProcChild is not NULL",
                                   Trelk_IDText(proc), Trelk_Name(proc));
        return -1;
    }
    if (SRV->QueryFirst(&proc->InputQueue) != NULL)
        return -2;
    VS_UUID OwnerID = proc->RootProcID;
    if (Trelk_IsZeroID(&OwnerID)) {
        QZRealmBase_RaiseException(S->realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "Proc[%s] is in runner, but it's RootProcID is invalid", Trelk_Name(proc));
        OwnerID = S->IDs.Proc;
        // The report ran a script.
        if (!Refind(S))
            return -1;
        proc = S->proc;
    }
    for (void *Item = SRV->QueryFirst(&S->cell->EnvDataQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        if (!TrelkSched_IsData(Item))
            continue;
        StructOfQZDataBase *Data = (StructOfQZDataBase *)Item;
        if (Trelk_IDEqual(&Data->OwnerProcIDInCell, &OwnerID) && Data->ExcludeProc != NULL &&
            TrelkSched_IDIndexIsEmpty(Data->ExcludeProc)) {
            QZRealmBase_RaiseException(S->realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                       "proc [%s] create envdata which does not be assigned to any proc, it can not "
                                       "execute again",
                                       Trelk_Name(proc));
            return Remembered;
        }
    }
    return -2;
}

// Step 9b: a single input taken from the proc's own chain is refused.
static VS_BOOL SameChainInput(ProcStep *S)
{
    StructOfQZProcBase *proc = S->proc;
    void *In = SRV->QueryFirst(&proc->InputQueue);
    if (In == NULL || SRV->QueryNext(In) != NULL)
        return VS_FALSE;
    StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
    if (Input->IsFromInternal || Input->RequestNumber != 1)
        return VS_FALSE;
    // A datum freed since it was matched is passed over.
    StructOfQZDataBase *Data =
        TrelkSched_ItemData((StructOfQZObjectPointerWithChangeFlag *)SRV->QueryFirst(&Input->DataQueue));
    if (Data == NULL || Trelk_IsZeroID(&Data->OwnerProcIDInCell))
        return VS_FALSE;
    void *Producer = TrelkSched_Find(&Data->OwnerProcIDInCell);
    void *Root = TrelkSched_Find(&proc->RootProcID);
    if (Producer == NULL || Root == NULL || SRV->GetParent(Producer) != SRV->GetParent(Root))
        return VS_FALSE;
    VS_UUID DataID = SRV->GetID(Data);
    QZRealmBase_RaiseException(S->realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                               "QZProc[%s]'s input comes from the output of the same procchain", Trelk_Name(proc));
    // The report ran a script: what it freed is not refused.
    proc = TRELK_FIND(StructOfQZProcBase, S->IDs.Proc);
    Data = TRELK_FIND(StructOfQZDataBase, DataID);
    if (proc != NULL && Data != NULL)
        QZProcBase_RejectInput_Internal(proc, Data, VS_TRUE);
    return VS_TRUE;
}

// Step 9c: every input datum whose source chain is too deep asks the realm.
// FALSE when an object of the step is gone. The data are noted first: an
// event runs a script, after which each is found again by its ID.
static VS_BOOL SourceDepthCheck(ProcStep *S)
{
    VS_INT32 Limit = QZRealmBase_GetMaxSourceDataLength(S->realm);
    struct Noted {
        StructOfQZDataBase *Data;
        VS_UUID ID;
    };
    TrelkVector<Noted> Inputs;
    for (void *In = SRV->QueryFirst(&S->proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        for (void *Item = SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue); Item != NULL;
             Item = SRV->QueryNext(Item)) {
            StructOfQZDataBase *Data = TrelkSched_ItemData((StructOfQZObjectPointerWithChangeFlag *)Item);
            if (Data != NULL)
                Inputs.push_back(Noted{Data, ((StructOfQZObjectPointerWithChangeFlag *)Item)->ObjectID});
        }
    uint64_t Serial = Trelk_ScriptSerial();
    for (Noted &N : Inputs) {
        StructOfQZDataBase *Data = N.Data;
        if (Serial != Trelk_ScriptSerial() && (Data = TRELK_FIND(StructOfQZDataBase, N.ID)) != NULL &&
            !TrelkSched_IsData(Data))
            Data = NULL;
        if (Data == NULL || Tarvex_ScheduleProc_QZProcRunner_GetSourceDataLength(Data) <= Limit - 1)
            continue;
        TrelkSched_LimitLongSourceData(S->realm, S->cell, S->proc, Data);
        if (!Refind(S))
            return VS_FALSE;
    }
    return VS_TRUE;
}

// Step 9d: a container short of data takes it from a later twin.
static void BalanceContainers(StructOfQZProcBase *proc)
{
    OBJECTATTRIBUTEINDEX QueueIndex = TrelkSched_DataQueueIndex();
    for (void *C = SRV->QueryFirst(&proc->InputQueue); C != NULL; C = SRV->QueryNext(C)) {
        StructOfQZDataInputContainer *Target = (StructOfQZDataInputContainer *)C;
        void *AfterTarget = SRV->QueryNext(C);
        if (Target->IsSlave || (AfterTarget != NULL && ((StructOfQZDataInputContainer *)AfterTarget)->IsSlave))
            continue;
        for (void *D = AfterTarget; D != NULL && TrelkSched_InputNeedsMore(Target); D = SRV->QueryNext(D)) {
            StructOfQZDataInputContainer *Source = (StructOfQZDataInputContainer *)D;
            void *AfterSource = SRV->QueryNext(D);
            if (Source->IsSlave || (AfterSource != NULL && ((StructOfQZDataInputContainer *)AfterSource)->IsSlave))
                continue;
            if (Source->IsFromInternal != Target->IsFromInternal || Source->IsOnlyDirect != Target->IsOnlyDirect ||
                !Trelk_IDEqual(&Source->DataBaseID, &Target->DataBaseID))
                continue;
            TrelkDrain DrainItem;
            for (void *Item = Trelk_DrainFirst(&DrainItem, &Source->DataQueue);
                 Item != NULL && TrelkSched_InputNeedsMore(Target); Item = Trelk_DrainNext(&DrainItem, Item))
                SRV->ChangeParent(Item, Target, QueueIndex);
        }
    }
}

static VS_BOOL ValueMatches(StructOfQZDataBase *Required, StructOfQZDataBase *Data)
{
    if (QZDataBase_IsDataSet_Internal(Required, VS_TRUE))
        return QZDataSetBase_IsSubSet_Internal((StructOfQZDataSetBase *)Required, (StructOfQZDataSetBase *)Data);
    if (TrelkSched_IsData(Required))
        return QZDataBase_Equals_Internal(Data, Required);
    return VS_FALSE;
}

// Rejects every item of the master/slave group the slave container is in.
static void RejectGroup(StructOfQZProcBase *proc, StructOfQZDataInputContainer *Slave)
{
    VS_PARAPKGPTR Group = Trelk_GetParaPkgInterface(__LINE__);
    void *Start = NULL;
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        if (!((StructOfQZDataInputContainer *)In)->IsSlave)
            Start = In;
        if (In == Slave)
            break;
    }
    for (void *In = Start; In != NULL; In = SRV->QueryNext(In)) {
        if (In != Start && !((StructOfQZDataInputContainer *)In)->IsSlave)
            break;
        for (void *Item = SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue); Item != NULL;
             Item = SRV->QueryNext(Item)) {
            StructOfQZDataBase *Data = TrelkSched_ItemData((StructOfQZObjectPointerWithChangeFlag *)Item);
            if (Data != NULL)
                Group->InsertObject(Group->GetNumber(), Data);
        }
    }
    for (VS_INT32 i = 0; i < Group->GetNumber(); i++) {
        StructOfQZDataBase *Data = (StructOfQZDataBase *)Group->GetObject(i);
        if (Data != NULL)
            QZProcBase_RejectInput_Internal(proc, Data, VS_FALSE);
    }
    Group->Release();
}

// Step 9f: 1 when the inputs let the proc run, 0 when not, -1 when a script
// (a type class's "Equals") freed an object of the step.
static VS_INT32 InputsReady(ProcStep *S, VS_INT32 ForceToExecuteType)
{
    StructOfQZProcBase *proc = S->proc;
    // Each pass that rejects removes at least one item: the scan ends.
    for (;;) {
        VS_BOOL Valid = VS_FALSE, Restart = VS_FALSE;
        for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL && !Restart; In = SRV->QueryNext(In)) {
            StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
            if (!Input->IsFromInternal && Input->RequestNumber == 0 && ForceToExecuteType != 2)
                return VS_FALSE;
            if (!TrelkSched_InputSatisfied(Input)) {
                if (Input->IsMustExist)
                    return VS_FALSE;
                continue;
            }
            // A required object a script freed still counts as required: the
            // input then takes nothing.
            StructOfQZDataBase *Required = TrelkProc_InputObject(Input);
            if (Input->DataObjectInst != NULL) {
                void *First = SRV->QueryFirst(&Input->DataQueue);
                StructOfQZDataBase *Data = TrelkSched_ItemData((StructOfQZObjectPointerWithChangeFlag *)First);
                if (Data == NULL) {
                    // The item names a datum that is gone: it can never match.
                    SRV->FreeObject(First);
                    Restart = VS_TRUE;
                    continue;
                }
                // The value test may run a script, which may free or move
                // anything: the scan goes on only where it still stands.
                uint64_t Serial = Trelk_ScriptSerial();
                VS_UUID InID = SRV->GetID(In), DataID = SRV->GetID(Data);
                VS_BOOL Matches = Required != NULL && ValueMatches(Required, Data);
                if (Serial != Trelk_ScriptSerial()) {
                    if (!Refind(S))
                        return -1;
                    proc = S->proc;
                    if (SRV->GetObject(&InID) != In || SRV->GetParent(In) != proc ||
                        SRV->GetObject(&DataID) != Data) {
                        Restart = VS_TRUE;
                        continue;
                    }
                }
                if (!Matches) {
                    if (!Input->IsSlave)
                        QZProcBase_RejectInput_Internal(proc, Data, VS_TRUE);
                    else {
                        QZProcBase_RejectInput_Internal(proc, Data, VS_FALSE);
                        RejectGroup(proc, Input);
                    }
                    Restart = VS_TRUE;
                    continue;
                }
            }
            Valid = VS_TRUE;
        }
        if (!Restart)
            return Valid ? 1 : 0;
    }
}

static VS_INT32 LargestLiveCount(StructOfQZProcBase *proc, VS_BOOL *Found)
{
    VS_INT32 Largest = 0;
    *Found = VS_FALSE;
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        for (void *Item = SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue); Item != NULL;
             Item = SRV->QueryNext(Item)) {
            StructOfQZDataBase *Data = TrelkSched_ItemData((StructOfQZObjectPointerWithChangeFlag *)Item);
            if (Data == NULL)
                continue;
            if (!*Found || Data->LiveCount > Largest)
                Largest = Data->LiveCount;
            *Found = VS_TRUE;
        }
    return Largest;
}

static VS_INT32 StepAt(ProcStep *S, VS_INT32 ForceToExecuteType, VS_ULONG *ProcNumberExecuted, VS_INT32 Depth)
{
    // Procs below procs below procs: a chain that leads back into itself
    // ends here instead of in the stack's end.
    if (Depth > TRELK_SCHED_MAXDEPTH)
        return 0;
    StructOfQZProcBase *Next = TrelkSched_NextProc(S->proc);
    VS_INT32 r = EnvDataSkip(S, ForceToExecuteType, Next);
    if (r != -2)
        return r;
    VS_INT32 Remembered = 0;
    if (Downstream(S, ForceToExecuteType, ProcNumberExecuted, Depth, &Remembered) < 0)
        return -1;
    Next = TrelkSched_NextProc(S->proc);
    // Only a proc with no next proc is a last proc. While a worker's run is
    // out, the proc's pending output is not looked at: the run's products
    // are routed when it is picked up.
    if (Next != NULL) {
        if (!TrelkSched_AsyncWorkerRunning(S->proc)) {
            r = PendingOutput(S, Next, Remembered);
            if (r != -2)
                return r;
        }
    } else {
        r = LastProc(S, Remembered);
        if (r != -2)
            return r;
    }
    if (S->proc->IsSuspend) {
        TrelkSched_OnRunnerProcBeforeExecuted(S->realm, S->cell, S->runner, S->proc, 3);
        if (!Refind(S))
            return -1;
        return Tarvex_ScheduleProc_QZProcRunner_ProcIsSuspend_TooLongCheck(S->realm, S->cell, S->runner, S->proc) ? 2
                                                                                                                 : -1;
    }
    Tarvex_ScheduleProc_QZProcRunner_ProcIsSuspend_TooLongCheck(S->realm, S->cell, S->runner, S->proc);
    if (!Refind(S))
        return -1;
    if (S->proc->NextRunTick != 0 && S->proc->NextRunTick > TrelkSched_NowMs())
        return 1;
    S->proc->NextRunTick = 0;
    // A finished worker's run was admitted when it was launched.
    if (S->proc->IsAsync && TrelkSched_AsyncWorkerRunning(S->proc))
        return TrelkSched_RunProc(S->realm, S->cell, S->runner, S->proc, 0, Remembered, ProcNumberExecuted);
    VS_INT32 LiveCount = 0;
    VS_BOOL HasInputs = SRV->QueryFirst(&S->proc->InputQueue) != NULL ? VS_TRUE : VS_FALSE;
    if (HasInputs) {
        // The top-up may report, and the report's script may free any of the
        // step's objects.
        if (!Tarvex_ScheduleProc_QZProcInputValid(S->realm, S->cell, S->runner, S->proc))
            return -1;
        if (SameChainInput(S))
            return 1;
        if (!SourceDepthCheck(S))
            return -1;
        BalanceContainers(S->proc);
        if (S->proc->ScheduleCase == 1 && !TrelkSched_HasChangedInput(S->proc))
            return Remembered;
        VS_INT32 Ready = InputsReady(S, ForceToExecuteType);
        if (Ready < 0)
            return -1;
        if (Ready == 0)
            return Remembered;
    }
    VS_BOOL Found = VS_FALSE;
    LiveCount = HasInputs ? LargestLiveCount(S->proc, &Found) : 0;
    if (!Found)
        LiveCount = QZRealmBase_GetInitialLiveCount(S->realm);
    if (LiveCount == 0) {
        if (!TrelkSched_LimitInputInvalid(S->realm, S->cell, S->runner, S->proc, &LiveCount))
            return -1;
        if (!Refind(S))
            return -1;
    } else if (LiveCount > 0)
        LiveCount--;
    S->proc->LoopCount++;
    S->proc->LoopCountTotal++;
    VS_INT32 MaxLoop = QZRealmBase_GetMaxLoopCount(S->realm);
    if (MaxLoop != 0 && S->proc->LoopCount > (VS_ULONG)MaxLoop) {
        if (!TrelkSched_LimitLongLoop(S->realm, S->cell, S->runner, S->proc))
            return -1;
        if (!Refind(S))
            return -1;
    }
    return TrelkSched_RunProc(S->realm, S->cell, S->runner, S->proc, LiveCount, Remembered, ProcNumberExecuted);
}

VS_BOOL TrelkSched_HasChangedInput(StructOfQZProcBase *proc)
{
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        for (void *Item = SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue); Item != NULL;
             Item = SRV->QueryNext(Item))
            if (((StructOfQZObjectPointerWithChangeFlag *)Item)->ChangeFlag)
                return VS_TRUE;
    return VS_FALSE;
}

VS_INT32 Tarvex_ScheduleProc_QZProcRunner_EachProc(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                   StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc,
                                                   VS_INT32 ForceToExecuteType, VS_ULONG *ProcNumberExecuted)
{
    if (realm == NULL || cell == NULL || runner == NULL || proc == NULL)
        return -1;
    ProcStep S = {realm, cell, runner, proc, {SRV->GetID(realm), SRV->GetID(cell), SRV->GetID(runner), SRV->GetID(proc)}};
    return StepAt(&S, ForceToExecuteType, ProcNumberExecuted, 0);
}
