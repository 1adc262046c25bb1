// The work of one cell step once its entry checks have passed: inputs into
// the cell's environment, the internal output proc and its runner, runners
// for the cell's chains, the three runner passes, the unallocated env data,
// the regrouping of sibling inputs and the finish decision with its hooks.
#include "trelk_sched_internal.h"

#include <cstdlib>

#define TRELK_OUTPUTPROC_NAME "Trelk_InternalForCell_OutputProc"

static StructOfQZCellBase *FindCell(VS_UUID *ID)
{
    void *Cell = TrelkSched_Find(ID);
    return TrelkSched_IsCell(Cell) ? (StructOfQZCellBase *)Cell : NULL;
}

// ---------------------------------------------------------------------------
// The internal output proc
// ---------------------------------------------------------------------------
static VS_BOOL OutputMadeFrom(StructOfQZDataOutputContainer *Output, StructOfQZDataInputContainer *Input)
{
    if (!Trelk_IsZeroID(&Output->OriginalDataBaseID))
        return Trelk_IDEqual(&Output->OriginalDataBaseID, &Input->DataBaseID);
    return Trelk_IDEqual(&Output->DataBaseID, &Input->DataBaseID);
}

// Puts one produced datum into the cell's output that was declared for it.
// The check may convert the datum through its type class and report, both
// script calls: what the walk stands on is found again after it, and the
// collection ends where it is gone.
static void CollectOutput(StructOfQZCellBase *Cell, StructOfQZDataInputContainer *Input, StructOfQZDataBase *Data)
{
    OBJECTATTRIBUTEINDEX DataIndex = Trelk_ClassAttrIndex(QZDataOutputContainerClass, "QZData");
    VS_UUID CellID = SRV->GetID(Cell), InputID = SRV->GetID(Input), DataID = SRV->GetID(Data);
    for (void *Out = SRV->QueryFirst(&Cell->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Out;
        if (!OutputMadeFrom(Output, Input))
            continue;
        VS_UUID OutID = SRV->GetID(Out);
        VS_BOOL Accepted = VS_FALSE;
        StructOfQZDataBase *Result = QZProcBase_AddOutputData_VerifyAndGetOutputData(Output, Data, &Accepted);
        Cell = TRELK_FIND(StructOfQZCellBase, CellID);
        Out = TrelkSched_Find(&OutID);
        Input = TRELK_FIND(StructOfQZDataInputContainer, InputID);
        Data = TRELK_FIND(StructOfQZDataBase, DataID);
        if (Cell == NULL || Out == NULL || SRV->GetParent(Out) != Cell || Input == NULL || Data == NULL) {
            // The check hands over one lock on what it answered.
            if (Accepted && Result != NULL)
                SRV->UnLockGC(Result);
            return;
        }
        Output = (StructOfQZDataOutputContainer *)Out;
        if (!Accepted)
            continue;
        if (Result == NULL) {
            QZRealmBase_RaiseException(NULL, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                       "Proc[%s]'s output data [%s] failed, it can not redirect to new type",
                                       Trelk_Name(Cell), Trelk_Name(Data));
            Cell = TRELK_FIND(StructOfQZCellBase, CellID);
            if (Cell != NULL) {
                Cell->ErrorCount++;
                Trelk_InsertPerformaceData_ForError(Cell);
            }
            return;
        }
        StructOfQZDataBase *Existing = NULL;
        for (void *Item = SRV->QueryFirst(&Output->QZData); Item != NULL && Existing == NULL;
             Item = SRV->QueryNext(Item))
            if (SRV->IsInst(SRV->GetIDEx(Result), Item))
                Existing = (StructOfQZDataBase *)Item;
        if (Existing != NULL) {
            // Marking it changed may report (a connection its proc does not
            // hold), which runs a script: the output is found again.
            uint64_t Serial = Trelk_ScriptSerial();
            VS_UUID ResultID = SRV->GetID(Result);
            QZDataBase_DataIsChanged(Existing);
            if (Serial != Trelk_ScriptSerial()) {
                Cell = TRELK_FIND(StructOfQZCellBase, CellID);
                Out = TrelkSched_Find(&OutID);
                Result = TRELK_FIND(StructOfQZDataBase, ResultID);
                if (Cell != NULL && Out != NULL && SRV->GetParent(Out) == Cell)
                    ((StructOfQZDataOutputContainer *)Out)->ChangeFlag = VS_TRUE;
                if (Result != NULL)
                    SRV->UnLockGC(Result);
                return;
            }
        } else {
            StructOfQZDataBase *Copy = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(Result), 0, NULL);
            if (Copy != NULL) {
                if (QZProcBase_GetProcType_Internal(Cell) != QZCellBaseClass)
                    vs_memset(&Copy->OwnerProcID, 0, sizeof(VS_UUID));
                SRV->ChangeParent(Copy, Output, DataIndex);
            }
        }
        Output->ChangeFlag = VS_TRUE;
        // The check hands over one lock on what it answered, the datum
        // itself or its converted copy: that one is released, nothing else.
        SRV->UnLockGC(Result);
        return;
    }
}

VS_INT32 QZCellBase_OutputProc_Execute_ScriptCallBack(void *L)
{
    (void)L;
    void *ProcArg = Trelk_ObjectArg(1);
    void *RealmArg = Trelk_ObjectArg(2);
    void *CellArg = Trelk_ObjectArg(3);
    if (!TrelkSched_IsProc(ProcArg) || !TrelkSched_IsCell(CellArg)) {
        SRV->LuaPushInt(2);
        return 1;
    }
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)ProcArg;
    StructOfQZCellBase *Cell = (StructOfQZCellBase *)CellArg;
    if (Proc->Status < 0) {
        SRV->LuaPushInt(0);
        return 1;
    }
    VS_UUID ProcID = SRV->GetID(Proc), CellID = SRV->GetID(Cell);
    VS_UUID RealmID = RealmArg != NULL ? SRV->GetID(RealmArg) : VS_UUID{};
    VS_BOOL Handled = VS_FALSE;
    for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        void *NextItem = NULL;
        for (void *It = SRV->QueryFirst(&Input->DataQueue); It != NULL; It = NextItem) {
            NextItem = SRV->QueryNext(It);
            StructOfQZObjectPointerWithChangeFlag *Item = (StructOfQZObjectPointerWithChangeFlag *)It;
            StructOfQZDataBase *Data = TrelkSched_ItemData(Item);
            VS_BOOL Ran = VS_FALSE, Missing = VS_FALSE;
            // Noted only before a script may run.
            VS_UUID InputID, ItemID, NextID;
            if (Data == NULL || (!Trelk_IsZeroID(&Data->OwnerRunnerProcID) && Item->ChangeFlag)) {
                InputID = SRV->GetID(In);
                ItemID = SRV->GetID(It);
                NextID = NextItem != NULL ? SRV->GetID(NextItem) : VS_UUID{};
            }
            if (Data == NULL) {
                Missing = VS_TRUE;
                QZRealmBase_RaiseException(TrelkSched_Find(&RealmID), TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                           "Cell[%s] runner failed, data object may be freed somewhere",
                                           Trelk_Name(Cell));
                Ran = VS_TRUE;
            } else if (!Trelk_IsZeroID(&Data->OwnerRunnerProcID)) {
                if (!Item->ChangeFlag)
                    continue;
                Handled = VS_TRUE;
                Item->ChangeFlag = VS_FALSE;
                VS_UUID DataID = SRV->GetID(Data);
                CollectOutput(Cell, Input, Data);
                Ran = VS_TRUE;
                Data = TRELK_FIND(StructOfQZDataBase, DataID);
            }
            if (Ran) {
                // A script ran: the walk goes on only where it still stands.
                Proc = TRELK_FIND(StructOfQZProcBase, ProcID);
                Cell = TRELK_FIND(StructOfQZCellBase, CellID);
                In = TrelkSched_Find(&InputID);
                It = TrelkSched_Find(&ItemID);
                NextItem = NextItem != NULL ? TrelkSched_Find(&NextID) : NULL;
                if (Proc == NULL || Cell == NULL || In == NULL || SRV->GetParent(In) != Proc ||
                    (!Trelk_IsZeroID(&NextID) && (NextItem == NULL || SRV->GetParent(NextItem) != In))) {
                    SRV->LuaPushInt(Proc == NULL || Cell == NULL ? 0 : 2);
                    return 1;
                }
                Input = (StructOfQZDataInputContainer *)In;
                // A record whose datum was missing stays, as it always has.
                if (It == NULL || Missing)
                    continue;
            }
            if (Data != NULL)
                Tarvex_ScheduleProc_QZDataUnConnect(Data, &ProcID);
            SRV->FreeObject(It);
        }
    }
    SRV->LuaPushInt(Handled ? 4 : 2);
    return 1;
}

static void MakeOutputProc(StructOfQZCellBase *cell)
{
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcBaseClass), 0, NULL);
    if (Proc == NULL)
        return;
    Proc->IsType = VS_FALSE;
    SRV->SetName(Proc, TRELK_OUTPUTPROC_NAME);
    OBJECTATTRIBUTEINDEX InputIndex = Trelk_ClassAttrIndex(QZProcBaseClass, "InputQueue");
    for (void *Out = SRV->QueryFirst(&cell->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Out;
        StructOfQZDataInputContainer *Input =
            (StructOfQZDataInputContainer *)SRV->MallocObjectL(SRV->GetIDEx(QZDataInputContainerClass), 0, NULL);
        if (Input == NULL)
            continue;
        Input->RequestNumber = Output->ReturnNumber;
        Input->IsOnlyDirect = VS_FALSE;
        Input->IsSlave = VS_FALSE;
        Input->IsMustExist = Output->IsMustExist;
        Input->IsFromInternal = VS_FALSE;
        Input->DataObjectInst = NULL;
        Input->DataBaseID = Trelk_IsZeroID(&Output->OriginalDataBaseID) ? Output->DataBaseID : Output->OriginalDataBaseID;
        SRV->ChangeParent(Input, Proc, InputIndex);
    }
    SRV->RegLuaFunc(Proc, "Execute", QZCellBase_OutputProc_Execute_ScriptCallBack, 0);
    StructOfQZProcChainBase *Chain =
        (StructOfQZProcChainBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcChainBaseClass), 0, NULL);
    if (Chain == NULL) {
        SRV->FreeObject(Proc);
        return;
    }
    SRV->ChangeParent(Proc, Chain, Trelk_ClassAttrIndex(QZProcChainBaseClass, "QZProcBase"));
    Chain->QZProcStart = SRV->GetID(Proc);
    SRV->ChangeParent(Chain, cell, Trelk_ClassAttrIndex(QZCellBaseClass, "QZProcForOutputQueue"));
}

static void MakeOutputRunner(StructOfQZRealmBase *realm, StructOfQZCellBase *cell)
{
    OBJECTATTRIBUTEINDEX RunnerQueue = Trelk_ClassAttrIndex(QZCellBaseClass, "NormalRunnerQueue");
    for (void *C = SRV->QueryFirst(&cell->QZProcForOutputQueue); C != NULL; C = SRV->QueryNext(C)) {
        StructOfQZProcChainBase *Chain = (StructOfQZProcChainBase *)C;
        VS_BOOL Has = VS_FALSE;
        for (void *R = SRV->QueryFirst(&cell->NormalRunnerQueue); R != NULL && !Has; R = SRV->QueryNext(R)) {
            StructOfQZProcBase *First = TrelkSched_StartProc(&((StructOfQZProcRunnerBase *)R)->QZProcStart);
            Has = First != NULL && SRV->IsInst(&Chain->QZProcStart, First) ? VS_TRUE : VS_FALSE;
        }
        if (Has)
            continue;
        StructOfQZProcRunnerBase *Runner = Tarvex_ScheduleProc_NewRunner(realm, cell, Chain);
        if (Runner == NULL)
            continue;
        Runner->IsOutputRunner = 1;
        SRV->ChangeParent(Runner, cell, RunnerQueue);
    }
}

// ---------------------------------------------------------------------------
// Steps
// ---------------------------------------------------------------------------
// Stops after a report (marking a datum changed may make one): the items
// not reached keep their change flag for the next step.
static void InputsToEnv(StructOfQZRealmBase *realm, StructOfQZCellBase *cell)
{
    OBJECTATTRIBUTEINDEX EnvIndex = TrelkSched_CellEnvDataIndex();
    for (void *In = SRV->QueryFirst(&cell->InputQueue); In != NULL; In = SRV->QueryNext(In))
        for (void *It = SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue); It != NULL;
             It = SRV->QueryNext(It)) {
            StructOfQZObjectPointerWithChangeFlag *Item = (StructOfQZObjectPointerWithChangeFlag *)It;
            if (!Item->ChangeFlag)
                continue;
            Item->ChangeFlag = VS_FALSE;
            StructOfQZDataBase *Data = TrelkSched_ItemData(Item);
            if (Data == NULL)
                continue;
            StructOfQZDataBase *Copy = NULL;
            for (void *E = SRV->QueryFirst(&cell->EnvDataQueue); E != NULL && Copy == NULL; E = SRV->QueryNext(E))
                if (SRV->IsInst(&Item->ObjectID, E))
                    Copy = (StructOfQZDataBase *)E;
            if (Copy != NULL) {
                uint64_t Serial = Trelk_ScriptSerial();
                QZDataBase_DataIsChanged(Copy);
                if (Serial != Trelk_ScriptSerial())
                    return;
                continue;
            }
            Copy = (StructOfQZDataBase *)SRV->MallocObjectL(&Item->ObjectID, 0, NULL);
            if (Copy == NULL)
                continue;
            vs_memset(&Copy->OwnerProcIDInCell, 0, sizeof(VS_UUID));
            vs_memset(&Copy->OwnerRunnerProcID, 0, sizeof(VS_UUID));
            if (Copy->SourceData == NULL)
                Copy->SourceData = Trelk_GetParaPkgInterface(__LINE__);
            Copy->LiveCount = QZRealmBase_GetInitialLiveCount(realm);
            SRV->ChangeParent(Copy, cell, EnvIndex);
        }
}

struct RunnerOrder {
    VS_INT32 PriorityCount;
    uintptr_t Address;
    VS_UUID ID;
};

static int CompareRunners(const void *a, const void *b)
{
    const RunnerOrder *x = (const RunnerOrder *)a, *y = (const RunnerOrder *)b;
    if (x->PriorityCount != y->PriorityCount)
        return x->PriorityCount < y->PriorityCount ? -1 : 1;
    return x->Address < y->Address ? -1 : (x->Address > y->Address ? 1 : 0);
}

static VS_BOOL InRunnerQueue(StructOfQZCellBase *cell, void *Runner)
{
    return Runner != NULL && SRV->GetParent(Runner) == cell &&
                   SRV->GetIndex(Runner) == Trelk_ClassAttrIndex(QZCellBaseClass, "NormalRunnerQueue")
               ? VS_TRUE
               : VS_FALSE;
}

// One pass over the runners. FALSE when the cell is gone.
static VS_BOOL RunnerPass(VS_UUID *RealmID, VS_UUID *CellID, VS_INT32 Force, VS_BOOL ByPriority,
                          VS_BOOL *TookAction, VS_ULONG *Executed)
{
    StructOfQZCellBase *cell = FindCell(CellID);
    if (cell == NULL)
        return VS_FALSE;
    VS_INT32 Count = Tarvex_ScheduleProc_GetItemNumber(&cell->NormalRunnerQueue);
    if (Count == 0)
        return VS_TRUE;
    RunnerOrder *Order = (RunnerOrder *)SRV->Malloc_Nor((VS_ULONG)Count * sizeof(RunnerOrder));
    if (Order == NULL)
        return VS_TRUE;
    VS_INT32 n = 0;
    for (void *R = SRV->QueryFirst(&cell->NormalRunnerQueue); R != NULL && n < Count; R = SRV->QueryNext(R), n++) {
        Order[n].PriorityCount = ((StructOfQZProcRunnerBase *)R)->PriorityCount;
        Order[n].Address = (uintptr_t)R;
        Order[n].ID = SRV->GetID(R);
    }
    if (ByPriority)
        qsort(Order, (size_t)n, sizeof(RunnerOrder), CompareRunners);
    for (VS_INT32 i = 0; i < n; i++) {
        StructOfQZRealmBase *realm = TRELK_FIND(StructOfQZRealmBase, *RealmID);
        cell = FindCell(CellID);
        if (realm == NULL || cell == NULL) {
            SRV->Free(Order);
            return VS_FALSE;
        }
        if (!cell->IsReady)
            break;
        StructOfQZProcRunnerBase *Runner = TRELK_FIND(StructOfQZProcRunnerBase, Order[i].ID);
        if (!InRunnerQueue(cell, Runner) || Runner->IsFinish)
            continue;
        if (Tarvex_ScheduleProc_QZProcRunner(realm, cell, Runner, Force, Executed))
            *TookAction = VS_TRUE;
    }
    SRV->Free(Order);
    return FindCell(CellID) != NULL ? VS_TRUE : VS_FALSE;
}

// Step 8. Returns FALSE when the cell's run is to be killed (-1). Realm and
// cell are the ones of the IDs when the caller knows nothing ran since it
// found them, else NULL. *Ran is set when a script may have run.
static VS_BOOL UnallocatedEnvData(VS_UUID *RealmID, VS_UUID *CellID, StructOfQZRealmBase *realm,
                                  StructOfQZCellBase *cell, VS_BOOL *Ran)
{
    if (realm == NULL || cell == NULL) {
        cell = FindCell(CellID);
        realm = TRELK_FIND(StructOfQZRealmBase, *RealmID);
    }
    if (cell == NULL || realm == NULL)
        return VS_TRUE;
    // An empty env counts none and drops none: only a limit below zero has
    // anything to say then.
    if (SRV->QueryFirst(&cell->EnvDataQueue) == NULL && QZRealmBase_GetMaxUnAllocatedData(realm) >= 0)
        return VS_TRUE;
    VS_INT32 Unallocated = 0;
    // Made for the first datum to drop: most steps drop none.
    VS_PARAPKGPTR Discard = NULL;
    // Only produced data with a non-empty exclusion list can be counted or
    // dropped below (an empty list makes a datum unhandled): the cell's
    // index hands over those, in queue order, without a walk of the env.
    VS_PARAPKGPTR Look = Trelk_GetParaPkgInterface(__LINE__);
    if (!TrelkSched_UnallocatedCandidates(cell, Look))
        for (void *E = SRV->QueryFirst(&cell->EnvDataQueue); E != NULL; E = SRV->QueryNext(E))
            Look->InsertObject(Look->GetNumber(), E);
    for (VS_INT32 i = 0; i < Look->GetNumber(); i++) {
        void *E = Look->GetObject(i);
        if (!TrelkSched_IsData(E))
            continue;
        StructOfQZDataBase *Data = (StructOfQZDataBase *)E;
        if (SRV->QueryFirst(&Data->ConnectedProc) != NULL || Trelk_IsZeroID(&Data->OwnerRunnerProcID))
            continue;
        if (Tarvex_ScheduleQZCell_EnvDataCanBeAllocated(cell, Data, VS_TRUE) ||
            QZCellBase_IsEnvDataUnHandled_Internal(Data, VS_FALSE))
            continue;
        if (Data->ExcludeProc != NULL && TrelkSched_IDIndexIsEmpty(Data->ExcludeProc))
            Unallocated++;
        else {
            if (Discard == NULL)
                Discard = Trelk_GetParaPkgInterface(__LINE__);
            Discard->InsertObject(Discard->GetNumber(), Data);
        }
    }
    Look->Release();
    VS_INT32 Limit = QZRealmBase_GetMaxUnAllocatedData_ForQZCell(realm, cell);
    if (Unallocated > Limit) {
        *Ran = VS_TRUE;
        SRV->LuaPushObject(cell);
        VS_INT32 Outcome =
            TrelkSched_CallRealm(realm, "OnMoreUnAllocatedData", 1, 1, "calls the function OnMoreUnAllocatedData failed");
        VS_INT32 Answer = Outcome == TRELK_CALL_OK ? SRV->LuaToInt(-1) : 0;
        SRV->LuaPop(1);
        realm = TRELK_FIND(StructOfQZRealmBase, *RealmID);
        cell = FindCell(CellID);
        if (realm == NULL || cell == NULL) {
            if (Discard != NULL)
                Discard->Release();
            return VS_TRUE;
        }
        if (Answer == 1)
            QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(realm, cell);
        else {
            QZRealmBase_RaiseException(realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                       "Cell[%s] create more env data larger than [%d], it's running is killed",
                                       Trelk_Name(cell), Limit);
            if (Discard != NULL)
                Discard->Release();
            return VS_FALSE;
        }
    }
    if (Discard == NULL)
        return VS_TRUE;
    // Letting go of a datum runs its scripts.
    *Ran = VS_TRUE;
    for (VS_INT32 i = 0; i < Discard->GetNumber(); i++) {
        void *Data = Discard->GetObject(i);
        if (Data != NULL && SRV->GetParent(Data) == cell)
            TrelkSched_Drop(Data);
    }
    Discard->Release();
    return VS_TRUE;
}

static VS_INT32 OutsideItemCount(StructOfQZProcBase *Proc)
{
    VS_INT32 Count = 0;
    for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        if (!((StructOfQZDataInputContainer *)In)->IsFromInternal)
            Count += Tarvex_ScheduleProc_GetItemNumber(&((StructOfQZDataInputContainer *)In)->DataQueue);
    return Count;
}

// Moves the items of Other's matching inputs into Target's inputs that are
// short of data.
static void MoveSiblingInputs(StructOfQZProcBase *Target, StructOfQZProcBase *Other, VS_BOOL *TookAction)
{
    OBJECTATTRIBUTEINDEX QueueIndex = TrelkSched_DataQueueIndex();
    VS_UUID TargetID = SRV->GetID(Target), OtherID = SRV->GetID(Other);
    for (void *TI = SRV->QueryFirst(&Target->InputQueue); TI != NULL; TI = SRV->QueryNext(TI)) {
        StructOfQZDataInputContainer *To = (StructOfQZDataInputContainer *)TI;
        if (To->IsFromInternal || !TrelkSched_InputNeedsMore(To))
            continue;
        for (void *OI = SRV->QueryFirst(&Other->InputQueue); OI != NULL && TrelkSched_InputNeedsMore(To);
             OI = SRV->QueryNext(OI)) {
            StructOfQZDataInputContainer *From = (StructOfQZDataInputContainer *)OI;
            if (From->IsFromInternal || !Trelk_IDEqual(&From->DataBaseID, &To->DataBaseID) ||
                From->IsOnlyDirect != To->IsOnlyDirect || From->IsSlave != To->IsSlave)
                continue;
            void *NextItem = NULL;
            for (void *It = SRV->QueryFirst(&From->DataQueue); It != NULL && TrelkSched_InputNeedsMore(To);
                 It = NextItem) {
                NextItem = SRV->QueryNext(It);
                StructOfQZObjectPointerWithChangeFlag *Item = (StructOfQZObjectPointerWithChangeFlag *)It;
                StructOfQZDataBase *Data = TrelkSched_ItemData(Item);
                if (Data == NULL)
                    continue;
                SRV->ChangeParent(Item, To, QueueIndex);
                Item->ChangeFlag = VS_TRUE;
                TrelkSched_TouchProc(Target);
                *TookAction = VS_TRUE;
                for (void *P = SRV->QueryFirst(&Data->ConnectedProc); P != NULL; P = SRV->QueryNext(P))
                    if (Trelk_IDEqual(&((StructOfQZObjectPointer *)P)->ObjectID, &OtherID)) {
                        ((StructOfQZObjectPointer *)P)->ObjectID = TargetID;
                        break;
                    }
            }
        }
    }
}

static void RegroupSiblings(StructOfQZCellBase *cell, VS_BOOL *TookAction)
{
    // Siblings take two runners.
    void *FirstRunner = SRV->QueryFirst(&cell->NormalRunnerQueue);
    if (FirstRunner == NULL || SRV->QueryNext(FirstRunner) == NULL)
        return;
    // Root proc ID -> package of the first procs of runners that wait for
    // their first input.
    void *Groups = SRV->CreateIDIndex_Nor(0);
    for (void *R = SRV->QueryFirst(&cell->NormalRunnerQueue); R != NULL; R = SRV->QueryNext(R)) {
        StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)R;
        if (Runner->CurrentQZProcIndexTree == NULL ||
            SRV->FindIDKey(Runner->CurrentQZProcIndexTree, &Runner->QZProcStart) == NULL)
            continue;
        StructOfQZProcBase *First = TrelkSched_StartProc(&Runner->QZProcStart);
        if (First == NULL)
            continue;
        VS_PARAPKGPTR Group = (VS_PARAPKGPTR)SRV->FindIDKey(Groups, &First->RootProcID);
        if (Group == NULL) {
            Group = Trelk_GetParaPkgInterface(__LINE__);
            SRV->InsertIDKey(Groups, &First->RootProcID, Group);
        }
        Group->InsertObject(Group->GetNumber(), First);
    }
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(Groups, &Key); Value != NULL; Value = SRV->QueryNextIDKey(Groups, &Key)) {
        VS_PARAPKGPTR Group = (VS_PARAPKGPTR)Value;
        if (Group->GetNumber() >= 2) {
            StructOfQZProcBase *Target = NULL;
            VS_INT32 Best = 0;
            for (VS_INT32 i = 0; i < Group->GetNumber(); i++) {
                StructOfQZProcBase *Proc = (StructOfQZProcBase *)Group->GetObject(i);
                VS_INT32 Count = Proc != NULL ? OutsideItemCount(Proc) : 0;
                if (Count > Best) {
                    Best = Count;
                    Target = Proc;
                }
            }
            for (VS_INT32 i = 0; Target != NULL && i < Group->GetNumber(); i++) {
                StructOfQZProcBase *Other = (StructOfQZProcBase *)Group->GetObject(i);
                if (Other != NULL && Other != Target)
                    MoveSiblingInputs(Target, Other, TookAction);
            }
        }
    }
    for (void *Value = SRV->QueryFirstIDKey(Groups, &Key); Value != NULL; Value = SRV->QueryNextIDKey(Groups, &Key))
        ((VS_PARAPKGPTR)Value)->Release();
    SRV->DestoryIndex(Groups);
}

static VS_BOOL ProcTakesAnyNumber(StructOfQZProcBase *Proc)
{
    for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        if (((StructOfQZDataInputContainer *)In)->RequestNumber == 0)
            return VS_TRUE;
    return VS_FALSE;
}

// Step 10: TRUE when the cell's work is finished.
static VS_BOOL WorkFinished(StructOfQZCellBase *cell, VS_BOOL TookAction)
{
    if (!cell->IsReady || !TookAction)
        return VS_TRUE;
    for (void *R = SRV->QueryFirst(&cell->NormalRunnerQueue); R != NULL; R = SRV->QueryNext(R)) {
        StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)R;
        if (Runner->IsFinish || Runner->CurrentQZProcIndexTree == NULL)
            continue;
        VS_UUID Key;
        for (void *V = SRV->QueryFirstIDKey(Runner->CurrentQZProcIndexTree, &Key); V != NULL;
             V = SRV->QueryNextIDKey(Runner->CurrentQZProcIndexTree, &Key)) {
            void *Proc = TrelkSched_Find(&Key);
            if (TrelkSched_IsProc(Proc) && ProcTakesAnyNumber((StructOfQZProcBase *)Proc))
                return VS_FALSE;
            // A proc that was just handed new input has work waiting: the
            // cell is not finished before it ran, whatever its outputs.
            if (TrelkSched_IsProc(Proc) && TrelkSched_HasChangedInput((StructOfQZProcBase *)Proc))
                return VS_FALSE;
        }
    }
    if (SRV->QueryFirst(&cell->OutputQueue) == NULL)
        return VS_FALSE;
    for (void *R = SRV->QueryFirst(&cell->NormalRunnerQueue); R != NULL; R = SRV->QueryNext(R)) {
        StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)R;
        if (!Runner->IsOutputRunner)
            continue;
        StructOfQZProcBase *First = TrelkSched_StartProc(&Runner->QZProcStart);
        if (First == NULL)
            continue;
        for (void *In = SRV->QueryFirst(&First->InputQueue); In != NULL; In = SRV->QueryNext(In))
            if (SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue) != NULL)
                return VS_FALSE;
    }
    for (void *Out = SRV->QueryFirst(&cell->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out))
        for (void *D = SRV->QueryFirst(&((StructOfQZDataOutputContainer *)Out)->QZData); D != NULL;
             D = SRV->QueryNext(D)) {
            void *Model = SRV->GetClass(D);
            if (TrelkSched_IsData(Model) &&
                TrelkSched_Find(&((StructOfQZDataBase *)Model)->OwnerRunnerProcID) != NULL)
                return VS_FALSE;
        }
    for (void *C = SRV->QueryFirst(&cell->QZProcForOutputQueue); C != NULL; C = SRV->QueryNext(C)) {
        StructOfQZProcBase *First = TrelkSched_StartProc(&((StructOfQZProcChainBase *)C)->QZProcStart);
        if (First == NULL)
            continue;
        for (void *E = SRV->QueryFirst(&cell->EnvDataQueue); E != NULL; E = SRV->QueryNext(E))
            if (TrelkSched_IsData(E) &&
                Tarvex_ScheduleProc_QZProcRunner_EachProc_DataCanBeToProc((StructOfQZDataBase *)E, First, VS_TRUE))
                return VS_FALSE;
    }
    return VS_TRUE;
}

// Step 11: "OnCellToBeFinish" on one object. Returns 1 when the cell is
// suspended now, 0 when the hook keeps the cell going, -1 when it lets the
// cell finish.
static VS_INT32 FinishHook(void *Object, void *Argument, VS_UUID *CellID)
{
    SRV->LuaPushObject(Argument);
    VS_INT32 Outcome =
        TrelkSched_CallRealm(Object, "OnCellToBeFinish", 1, 1, "calls the function OnCellToBeFinish failed");
    VS_BOOL Answer = Outcome == TRELK_CALL_OK ? SRV->LuaToBool(-1) : VS_FALSE;
    // The host leaves the one result whether the hook ran or not.
    SRV->LuaPop(1);
    StructOfQZCellBase *cell = FindCell(CellID);
    if (Outcome != TRELK_CALL_MISSING && cell != NULL && cell->IsSuspend)
        return 1;
    return Answer ? 0 : -1;
}

// Each report runs the stub's script: FALSE when the cell went with it.
static VS_BOOL MissingInputReport(StructOfQZRealmBase *realm, StructOfQZCellBase *cell)
{
    VS_UUID RealmID = SRV->GetID(realm), CellID = SRV->GetID(cell);
    for (void *R = SRV->QueryFirst(&cell->NormalRunnerQueue); R != NULL; R = SRV->QueryNext(R)) {
        StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)R;
        if (Runner->CurrentQZProcIndexTree == NULL)
            continue;
        ClassOfStringPrintBuf RunnerText; // texts in host memory
        VS_UUID Key;
        for (void *V = SRV->QueryFirstIDKey(Runner->CurrentQZProcIndexTree, &Key); V != NULL;
             V = SRV->QueryNextIDKey(Runner->CurrentQZProcIndexTree, &Key)) {
            void *P = TrelkSched_Find(&Key);
            if (!TrelkSched_IsProc(P))
                continue;
            StructOfQZProcBase *Proc = (StructOfQZProcBase *)P;
            VS_BOOL HasOutside = VS_FALSE;
            for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL && !HasOutside; In = SRV->QueryNext(In)) {
                if (((StructOfQZDataInputContainer *)In)->IsFromInternal)
                    continue;
                for (void *It = SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue); It != NULL;
                     It = SRV->QueryNext(It)) {
                    StructOfQZDataBase *Data = TrelkSched_ItemData((StructOfQZObjectPointerWithChangeFlag *)It);
                    if (Data != NULL && Trelk_IsZeroID(&Data->OwnerRunnerProcID)) {
                        HasOutside = VS_TRUE;
                        break;
                    }
                }
            }
            if (!HasOutside)
                continue;
            ClassOfStringPrintBuf ProcText;
            for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
                StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
                void *Type = SRV->GetObject(&Input->DataBaseID);
                if (!Input->IsMustExist || Input->IsFromInternal || !TrelkSched_InputNeedsMore(Input) || Type == NULL)
                    continue;
                if (ProcText.IsEmpty())
                    ProcText.Print("proc[%s] needs input [%s", Trelk_Name(Proc), Trelk_Name(Type));
                else
                    ProcText.Print(",%s", Trelk_Name(Type));
            }
            if (!ProcText.IsEmpty()) {
                if (RunnerText.IsEmpty())
                    RunnerText.Print("cell[%s] finished, but {%s]} ", Trelk_Name(cell), ProcText.Buf);
                else
                    RunnerText.Print("{%s]} ", ProcText.Buf);
            }
        }
        if (RunnerText.IsEmpty())
            continue;
        VS_UUID RunnerID = SRV->GetID(R);
        QZRealmBase_RaiseException(realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0, "%s", RunnerText.Buf);
        realm = TRELK_FIND(StructOfQZRealmBase, RealmID);
        cell = FindCell(&CellID);
        if (cell == NULL)
            return VS_FALSE;
        // The walk goes on from the runner while it is still the cell's.
        R = TrelkSched_Find(&RunnerID);
        if (R == NULL || SRV->GetParent(R) != cell)
            break;
    }
    return VS_TRUE;
}

VS_INT32 TrelkSched_CellStep(StructOfQZRealmBase *realm, StructOfQZCellBase *cell)
{
    VS_UUID RealmID = SRV->GetID(realm), CellID = SRV->GetID(cell);
    if (!cell->IsReady) {
        cell->IsReady = VS_TRUE;
        // Outputs of an earlier run go; they are noted first, as letting go
        // of one runs its scripts.
        VS_PARAPKGPTR Stale = Trelk_GetParaPkgInterface(__LINE__);
        for (void *Out = SRV->QueryFirst(&cell->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out))
            for (void *D = SRV->QueryFirst(&((StructOfQZDataOutputContainer *)Out)->QZData); D != NULL;
                 D = SRV->QueryNext(D))
                Stale->InsertObject(Stale->GetNumber(), D);
        for (VS_INT32 i = 0; i < Stale->GetNumber(); i++) {
            void *D = Stale->GetObject(i);
            cell = FindCell(&CellID);
            if (cell == NULL)
                break;
            if (D != NULL && SRV->GetParent(D) != NULL && SRV->GetParent(SRV->GetParent(D)) == cell)
                TrelkSched_Drop(D);
        }
        Stale->Release();
        realm = TRELK_FIND(StructOfQZRealmBase, RealmID);
        cell = FindCell(&CellID);
        if (realm == NULL || cell == NULL)
            return -1;
    }
    // Quiet while nothing that may run a script (an object made, moved or let
    // go of, a report, a runner step) happened since realm and cell were
    // found: they need not be found again.
    VS_BOOL Quiet = VS_TRUE;
    if (SRV->QueryFirst(&cell->InputQueue) != NULL) {
        uint64_t Serial = Trelk_ScriptSerial();
        InputsToEnv(realm, cell);
        Quiet = VS_FALSE;
        if (Serial != Trelk_ScriptSerial()) {
            realm = TRELK_FIND(StructOfQZRealmBase, RealmID);
            cell = FindCell(&CellID);
            if (realm == NULL || cell == NULL)
                return -1;
        }
    }
    if (SRV->QueryFirst(&cell->OutputQueue) != NULL || SRV->QueryFirst(&cell->QZProcForOutputQueue) != NULL) {
        if (SRV->QueryFirst(&cell->OutputQueue) != NULL && SRV->QueryFirst(&cell->QZProcForOutputQueue) == NULL)
            MakeOutputProc(cell);
        MakeOutputRunner(realm, cell);
        Quiet = VS_FALSE;
    }
    void *Cache = NULL;
    void *NextChain = NULL;
    for (void *C = SRV->QueryFirst(&cell->ProcChainQueue); C != NULL; C = NextChain) {
        NextChain = SRV->QueryNext(C);
        VS_UUID NextID = NextChain != NULL ? SRV->GetID(NextChain) : VS_UUID{};
        uint64_t Reports = Trelk_ScriptSerial();
        if (TrelkSched_CreateRunnerForChain(realm, cell, (StructOfQZProcChainBase *)C, &Cache))
            Quiet = VS_FALSE;
        if (Trelk_ScriptSerial() != Reports) {
            // A report ran a script: the candidates noted so far may name
            // freed data, and the walk goes on only where it still stands.
            TrelkSched_DestroyCache(Cache);
            Cache = NULL;
            realm = TRELK_FIND(StructOfQZRealmBase, RealmID);
            cell = FindCell(&CellID);
            if (realm == NULL || cell == NULL)
                return -1;
            NextChain = NextChain != NULL ? TrelkSched_Find(&NextID) : NULL;
            if (NextChain != NULL && SRV->GetParent(NextChain) != cell)
                break;
        }
    }
    TrelkSched_DestroyCache(Cache);

    VS_BOOL TookAction = VS_FALSE;
    VS_ULONG Executed = 0;
    if (!Quiet) {
        cell = FindCell(&CellID);
        if (cell == NULL)
            return -1;
    }
    cell->IsEnvDataQueueChange = VS_FALSE;
    // A cell without runners has no pass to make: nothing in one would act.
    VS_BOOL HasRunners = SRV->QueryFirst(&cell->NormalRunnerQueue) != NULL ? VS_TRUE : VS_FALSE;
    if (HasRunners) {
        Quiet = VS_FALSE;
        if (!RunnerPass(&RealmID, &CellID, 0, VS_TRUE, &TookAction, &Executed))
            return -1;
        cell = FindCell(&CellID);
        if (cell->IsReady && TookAction && Executed == 0 &&
            !RunnerPass(&RealmID, &CellID, 1, VS_FALSE, &TookAction, NULL))
            return -1;
        cell = FindCell(&CellID);
        if (cell->IsReady && !TookAction && !RunnerPass(&RealmID, &CellID, 2, VS_FALSE, &TookAction, NULL))
            return -1;
        cell = FindCell(&CellID);
    }
    if (cell->IsReady) {
        VS_BOOL Ran = VS_FALSE;
        if (!UnallocatedEnvData(&RealmID, &CellID, Quiet ? realm : NULL, Quiet ? cell : NULL, &Ran))
            return -1;
        if (Ran || !Quiet) {
            Quiet = VS_FALSE;
            cell = FindCell(&CellID);
            if (cell == NULL)
                return -1;
        }
        // Without runners then and nothing run since, there are none now.
        if (cell->IsReady && (HasRunners || !Quiet) && SRV->QueryFirst(&cell->NormalRunnerQueue) != NULL) {
            Quiet = VS_FALSE;
            RegroupSiblings(cell, &TookAction);
        }
    }
    VS_BOOL Finished = WorkFinished(cell, TookAction);
    if (Finished) {
        VS_INT32 Hook = FinishHook(cell, Quiet ? realm : TRELK_FIND(void, RealmID), &CellID);
        if (Hook == 1)
            return 1;
        if (Hook == 0)
            Finished = VS_FALSE;
        else {
            realm = TRELK_FIND(StructOfQZRealmBase, RealmID);
            cell = FindCell(&CellID);
            if (realm == NULL || cell == NULL)
                return -1;
            Hook = FinishHook(realm, cell, &CellID);
            if (Hook == 1)
                return 1;
            if (Hook == 0)
                Finished = VS_FALSE;
        }
    }
    realm = TRELK_FIND(StructOfQZRealmBase, RealmID);
    cell = FindCell(&CellID);
    if (realm == NULL || cell == NULL)
        return -1;
    if (!Finished)
        return 4;
    if (cell->ErrorCount != 0) {
        cell->IsReady = VS_FALSE;
        cell->ErrorCount = 0;
        return -1;
    }
    if (!MissingInputReport(realm, cell))
        return -1;
    cell->IsReady = VS_FALSE;
    cell->ErrorCount = 0;
    return 0;
}
