// A cell's env data: stamped private copies of the data handed to the cell,
// their removal, the listings in cycle order and the unhandled-data tests.
#include "trelk_cell_internal.h"
#include "trelk_cell_luafuncs.h"

#include <cstring>

// ---------------------------------------------------------------------------
// Adding and capturing
// ---------------------------------------------------------------------------
// TRUE when the datum sits in the env queue of a realm or of a cell: the one
// place that holds a lock on it for its membership.
static VS_BOOL SitsInEnvQueue(void *Data)
{
    void *Parent = SRV->GetParent(Data);
    if (Parent == NULL)
        return VS_FALSE;
    if (TrelkCell_IsRealm(Parent))
        return SRV->GetIndex(Data) == SRV->GetAttributeIndex(QZRealmBaseClass, "EnvDataQueue") ? VS_TRUE : VS_FALSE;
    if (TrelkProc_IsCell(Parent))
        return SRV->GetIndex(Data) == TrelkCell_QueueIndex("EnvDataQueue") ? VS_TRUE : VS_FALSE;
    return VS_FALSE;
}

// One datum; FALSE when the whole operation ends.
static VS_BOOL AddOne(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell, void *Input, VS_BOOL ChangeParentToNULL,
                      VS_BOOL ChangeCreateTick)
{
    // A built-in data class counts as no datum: a copy of it would be a new
    // data type.
    VS_UUID CellID = SRV->GetID(Cell);
    VS_UUID RealmID = Realm != NULL ? SRV->GetID(Realm) : VS_UUID{};
    if (!TrelkCell_IsData(Input) || QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Input)) {
        Trelk_Raise(Cell, "'s as Add or Capture EnvData failed, input is not qzdata instance or null");
        // The report ran a script: the rest goes on only with the cell and
        // the realm.
        return SRV->GetObject(&CellID) == Cell && (Realm == NULL || SRV->GetObject(&RealmID) == Realm) ? VS_TRUE
                                                                                                        : VS_FALSE;
    }
    Cell->IsEnvDataQueueChange = VS_TRUE;
    if (Tarvex_Schedule_CellHoldsInstanceOf(Cell, Input)) {
        Trelk_Raise(Cell, "'s as Add or Capture EnvData failed, input has existed in cell");
        return VS_FALSE;
    }
    VS_UUID InputID = SRV->GetID(Input);
    StructOfQZDataBase *Item = (StructOfQZDataBase *)SRV->MallocObjectL(&InputID, 0, NULL);
    if (Item == NULL)
        return VS_TRUE;
    // The copy's creation may run script code: everything is found again.
    if (SRV->GetObject(&CellID) != Cell || (Realm != NULL && SRV->GetObject(&RealmID) != Realm)) {
        SRV->FreeObject(Item);
        return VS_FALSE;
    }
    if (!SRV->ChangeParent(Item, Cell, TrelkCell_QueueIndex("EnvDataQueue"))) {
        // A cell on its way out (fed from a free callback) holds nothing
        // more: its creation lock would keep the copy, and the datum it was
        // made from, for ever. The datum to capture stays where it is.
        SRV->UnLockGC(Item);
        Trelk_Raise(Cell, "'s as Add or Capture EnvData failed, cell is being freed");
        return VS_FALSE;
    }
    if (ChangeCreateTick && Realm != NULL) {
        Item->ScheduleTickCount = Realm->ScheduleTickCount;
        Realm->DataSequenceIndex += 1;
        Item->SequenceIndex = Realm->DataSequenceIndex;
    }
    Item->LiveCount = QZRealmBase_GetInitialLiveCount(Realm);
    if (Item->SourceData != NULL)
        Item->SourceData->Release();
    Item->SourceData = Trelk_GetParaPkgInterface(__LINE__);
    memset(&Item->OwnerProcIDInCell, 0, sizeof(VS_UUID));
    memset(&Item->OwnerRunnerProcID, 0, sizeof(VS_UUID));
    if (ChangeParentToNULL) {
        void *Given = SRV->GetObject(&InputID);
        if (Given != NULL) {
            VS_BOOL Locked = SitsInEnvQueue(Given);
            // A datum captured out of a proc's output leaves the lock that
            // output held on it as well.
            void *Parent = SRV->GetParent(Given);
            VS_BOOL InOutput = Parent != NULL && Trelk_IsInstOf(Parent, QZDataOutputContainerClass) &&
                               SRV->GetIndex(Given) == SRV->GetAttributeIndex(QZDataOutputContainerClass, "QZData");
            Tarvex_Schedule_EnvDataLeaving(Given);
            SRV->ChangeParent(Given, NULL, 0);
            if (Locked || InOutput)
                SRV->UnLockGC(Given);
        }
    }
    return VS_TRUE;
}

void QZCellBase_AddEnvData_Internal(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell, VS_INT32 DataStartIndex,
                                    VS_BOOL ChangeParentToNULL, VS_BOOL ChangeCreateTick)
{
    if (Cell == NULL)
        return;
    if (Cell->IsType) {
        Trelk_Raise(Cell, " is cell Type, can not Add or Capture EnvData");
        return;
    }
    VS_INT32 Top = SRV->LuaGetTop();
    for (VS_INT32 i = DataStartIndex; i <= Top; i++) {
        VS_INT32 Type = SRV->LuaType(i);
        if (Type == VSLUATYPE_OBJECT) {
            if (!AddOne(Realm, Cell, Trelk_FromRawObject(SRV->LuaToObject(i)), ChangeParentToNULL, ChangeCreateTick))
                return;
        } else if (Type == VSLUATYPE_PARAPKG) {
            VS_PARAPKGPTR Pkg = SRV->LuaToParaPkg(i);
            if (Pkg == NULL)
                continue;
            // Script code run by a copy's creation may change the package.
            Pkg->AddRef();
            VS_BOOL Go = VS_TRUE;
            for (VS_INT32 j = 0; j < Pkg->GetNumber() && Go; j++) {
                void *Item = Pkg->GetType(j) == VSTYPE_OBJECT ? Trelk_FromRawObject(Pkg->GetObject(j)) : NULL;
                Go = AddOne(Realm, Cell, Item, ChangeParentToNULL, ChangeCreateTick);
            }
            Pkg->Release();
            if (!Go)
                return;
        }
    }
}

void QZCellBase_AddEnvData_Internal_Ex(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                       StructOfQZDataBase *Data)
{
    if (Data == NULL || Cell == NULL)
        return;
    SRV->LuaPushObject(Data);
    QZCellBase_AddEnvData_Internal(Realm, Cell, SRV->LuaGetTop(), VS_FALSE, VS_TRUE);
    SRV->LuaPop(1);
}

// void AddEnvData(struct StructOfQZRealmBase *QZRealm, void *Data)
VS_INT32 QZCellBase_AddEnvData(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    if (Self == NULL)
        return 0;
    void *Realm = Trelk_ObjectArg(2);
    if (!TrelkCell_IsRealm(Realm)) {
        Trelk_Raise(Self, "'s as AddEnvData failed,the first parameter must be a realm");
        return 0;
    }
    QZCellBase_AddEnvData_Internal((StructOfQZRealmBase *)Realm, Self, 3, VS_FALSE, VS_TRUE);
    return 0;
}

// void CaptureEnvData(struct StructOfQZRealmBase *QZRealm, void *Data, ...)
VS_INT32 QZCellBase_CaptureEnvData(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    if (Self == NULL)
        return 0;
    // The realm gives the copies their live count; anything else in its
    // place would be read as a realm record.
    void *Realm = Trelk_ObjectArg(2);
    if (!TrelkCell_IsRealm(Realm)) {
        Trelk_Raise(Self, "'s as CaptureEnvData failed,the first parameter must be a realm");
        return 0;
    }
    QZCellBase_AddEnvData_Internal((StructOfQZRealmBase *)Realm, Self, 3, VS_TRUE, VS_FALSE);
    return 0;
}

// ---------------------------------------------------------------------------
// Removing
// ---------------------------------------------------------------------------
static void RemoveOne(StructOfQZCellBase *Cell, void *Object)
{
    if (Object == NULL)
        return;
    for (void *Env = SRV->QueryFirst(&Cell->EnvDataQueue); Env != NULL; Env = SRV->QueryNext(Env)) {
        if (Env == Object) {
            Tarvex_Schedule_EnvDataLeaving(Env);
            SRV->ChangeParent(Env, NULL, 0);
            SRV->UnLockGC(Env);
            return;
        }
    }
}

// VS_BOOL RemoveEnvData(...)
VS_INT32 QZCellBase_RemoveEnvData(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    if (Self == NULL)
        return 0;
    VS_INT32 Top = SRV->LuaGetTop();
    for (VS_INT32 i = 2; i <= Top; i++) {
        VS_INT32 Type = SRV->LuaType(i);
        if (Type == VSLUATYPE_OBJECT) {
            RemoveOne(Self, Trelk_FromRawObject(SRV->LuaToObject(i)));
        } else if (Type == VSLUATYPE_PARAPKG) {
            VS_PARAPKGPTR Pkg = SRV->LuaToParaPkg(i);
            for (VS_INT32 j = 0; Pkg != NULL && j < Pkg->GetNumber(); j++)
                if (Pkg->GetType(j) == VSTYPE_OBJECT)
                    RemoveOne(Self, Trelk_FromRawObject(Pkg->GetObject(j)));
        }
    }
    return 0;
}

// void ClearEnvData(struct StructOfQZDataBase *DataClass)
VS_INT32 QZCellBase_ClearEnvData(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    if (Self == NULL)
        return 0;
    void *DataClass = Trelk_ObjectArg(2);
    void *Env = SRV->QueryFirst(&Self->EnvDataQueue);
    while (Env != NULL) {
        void *Next = SRV->QueryNext(Env);
        if (DataClass == NULL || SRV->IsInst(SRV->GetIDEx(DataClass), Env)) {
            Tarvex_Schedule_EnvDataLeaving(Env);
            SRV->ChangeParent(Env, NULL, 0);
            SRV->UnLockGC(Env);
        }
        Env = Next;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Listings
// ---------------------------------------------------------------------------
// VS_PARAPKGPTR GetEnvDataQueue(void *QZDataBase)
VS_INT32 QZCellBase_GetEnvDataQueue(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    void *DataClass = Trelk_ObjectArg(2);
    for (void *Env = Self != NULL ? SRV->QueryFirst(&Self->EnvDataQueue) : NULL; Env != NULL; Env = SRV->QueryNext(Env))
        if (DataClass == NULL || SRV->IsInst(SRV->GetIDEx(DataClass), Env))
            Pkg->InsertObject(Pkg->GetNumber(), Env);
    TrelkCell_SortByStamp(Pkg);
    return TrelkCell_PushPkg(Pkg);
}

// VS_PARAPKGPTR GetEnvDataFrame(VS_INT64 ScheduleTickCount)
VS_INT32 QZCellBase_GetEnvDataFrame(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    VS_INT64 Tick = TrelkCell_IsNumberArg(2) ? SRV->LuaToInt64(2) : 0;
    for (void *Env = Self != NULL ? SRV->QueryFirst(&Self->EnvDataQueue) : NULL; Env != NULL; Env = SRV->QueryNext(Env))
        if (((StructOfQZDataBase *)Env)->ScheduleTickCount == Tick)
            Pkg->InsertObject(Pkg->GetNumber(), Env);
    TrelkCell_SortByStamp(Pkg);
    return TrelkCell_PushPkg(Pkg);
}

// ---------------------------------------------------------------------------
// Unhandled data
// ---------------------------------------------------------------------------
// TRUE when a runner's proc connected to the datum still holds it under the
// exclusion key Key (the datum sits in that proc's input).
static VS_BOOL HeldInRunnerInput(StructOfQZDataBase *Data, VS_UUID *Key)
{
    for (void *Ptr = SRV->QueryFirst(&Data->ConnectedProc); Ptr != NULL; Ptr = SRV->QueryNext(Ptr)) {
        void *Connected = SRV->GetObject(&((StructOfQZObjectPointer *)Ptr)->ObjectID);
        if (!TrelkChain_IsProc(Connected) || Trelk_IsZeroID(&((StructOfQZProcBase *)Connected)->RunnerID))
            continue;
        VS_UUID ExcludeID;
        QZRunnerBase_GetExcludeIDForEnvData((StructOfQZProcBase *)Connected, &ExcludeID);
        if (Trelk_IDEqual(&ExcludeID, Key))
            return VS_TRUE;
    }
    return VS_FALSE;
}

VS_BOOL QZCellBase_IsEnvDataUnHandled_Internal(StructOfQZDataBase *Data, VS_BOOL CheckConnectProc)
{
    if (Data == NULL || Data->ExcludeProc == NULL)
        return VS_TRUE;
    VS_UUID Key;
    for (void *V = SRV->QueryFirstIDKey(Data->ExcludeProc, &Key); V != NULL;
         V = SRV->QueryNextIDKey(Data->ExcludeProc, &Key)) {
        void *P = SRV->GetObject(&Key);
        if (!TrelkChain_IsProc(P) || QZDataBase_IsReject_Internal(Data, (StructOfQZProcBase *)P))
            continue;
        if (SRV->QueryFirst(&Data->ConnectedProc) == NULL)
            return VS_FALSE;
        if (CheckConnectProc && HeldInRunnerInput(Data, &Key))
            return VS_FALSE;
    }
    return VS_TRUE;
}

VS_PARAPKGPTR QZCellBase_GetEnvDataUnHandled_Internal(StructOfQZCellBase *Cell, void *DataClass, VS_INT32 Type)
{
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    if (Cell == NULL)
        return Pkg;
    for (void *Env = SRV->QueryFirst(&Cell->EnvDataQueue); Env != NULL; Env = SRV->QueryNext(Env)) {
        if (DataClass != NULL && !SRV->IsInst(SRV->GetIDEx(DataClass), Env))
            continue;
        VS_BOOL FromOutside = Trelk_IsZeroID(&((StructOfQZDataBase *)Env)->OwnerRunnerProcID);
        if ((Type == 1 && !FromOutside) || (Type != 0 && Type != 1 && FromOutside))
            continue;
        if (QZCellBase_IsEnvDataUnHandled_Internal((StructOfQZDataBase *)Env, VS_TRUE))
            Pkg->InsertObject(Pkg->GetNumber(), Env);
    }
    return Pkg;
}

// TRUE when the proc is the first of one of the cell's output chains: the
// proc that gathers the cell's outputs passes over data from outside, so
// taking one is no use of it.
static VS_BOOL IsCellOutputProc(StructOfQZCellBase *Cell, VS_UUID *ProcID)
{
    for (void *Chain = SRV->QueryFirst(&Cell->QZProcForOutputQueue); Chain != NULL; Chain = SRV->QueryNext(Chain))
        if (Trelk_IDEqual(&((StructOfQZProcChainBase *)Chain)->QZProcStart, ProcID))
            return VS_TRUE;
    return VS_FALSE;
}

// TRUE when a proc took the datum for good: a proc it excludes (and that
// did not refuse it) no longer holds it in a runner's input.
static VS_BOOL TakenForGood(StructOfQZCellBase *Cell, StructOfQZDataBase *Data)
{
    if (Data->ExcludeProc == NULL)
        return VS_FALSE;
    VS_UUID Key;
    for (void *V = SRV->QueryFirstIDKey(Data->ExcludeProc, &Key); V != NULL;
         V = SRV->QueryNextIDKey(Data->ExcludeProc, &Key)) {
        void *P = SRV->GetObject(&Key);
        if (!TrelkChain_IsProc(P) || QZDataBase_IsReject_Internal(Data, (StructOfQZProcBase *)P))
            continue;
        if (Trelk_IsZeroID(&Data->OwnerRunnerProcID) && IsCellOutputProc(Cell, &Key))
            continue;
        if (!HeldInRunnerInput(Data, &Key))
            return VS_TRUE;
    }
    return VS_FALSE;
}

VS_PARAPKGPTR QZCellBase_GetEnvDataUnusedAtEnd_Internal(StructOfQZCellBase *Cell, VS_INT32 Type)
{
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    if (Cell == NULL)
        return Pkg;
    for (void *Env = SRV->QueryFirst(&Cell->EnvDataQueue); Env != NULL; Env = SRV->QueryNext(Env)) {
        StructOfQZDataBase *Data = (StructOfQZDataBase *)Env;
        VS_BOOL FromOutside = Trelk_IsZeroID(&Data->OwnerRunnerProcID);
        if ((Type == 1 && !FromOutside) || (Type != 0 && Type != 1 && FromOutside))
            continue;
        // Held only in the input of a proc that never ran with it: the
        // runner goes with the cell's run, and the datum was not used.
        if (QZCellBase_IsEnvDataUnHandled_Internal(Data, VS_TRUE) || !TakenForGood(Cell, Data))
            Pkg->InsertObject(Pkg->GetNumber(), Env);
    }
    return Pkg;
}

// VS_PARAPKGPTR GetEnvDataUnHandled(void *QZDataBase, VS_INT32 Type)
VS_INT32 QZCellBase_GetEnvDataUnHandled(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    if (Self == NULL)
        return TrelkCell_PushPkg(Trelk_GetParaPkgInterface(__LINE__));
    VS_INT32 ArgType = SRV->LuaGetTop() >= 2 ? SRV->LuaType(2) : VSLUATYPE_NIL;
    void *DataClass = Trelk_ObjectArg(2);
    if (ArgType != VSLUATYPE_NIL && !Trelk_IsOf(DataClass, QZDataBaseClass)) {
        Trelk_Raise(Self, "'s function \"GetEnvDataUnHandled\" failed, the input QZDataBase is not instance of "
                          "QZDataBaseClass");
        return TrelkCell_PushPkg(Trelk_GetParaPkgInterface(__LINE__));
    }
    VS_INT32 Type = TrelkCell_IsNumberArg(3) ? SRV->LuaToInt(3) : 0;
    VS_PARAPKGPTR Pkg = QZCellBase_GetEnvDataUnHandled_Internal(Self, DataClass, Type);
    TrelkCell_SortByStamp(Pkg);
    return TrelkCell_PushPkg(Pkg);
}

// ---------------------------------------------------------------------------
// Single data
// ---------------------------------------------------------------------------
// VS_BOOL IsFromOutSide(void *QZDataBase)
VS_INT32 QZCellBase_IsFromOutSide(void *L)
{
    (void)L;
    void *Data = Trelk_ObjectArg(2);
    return Trelk_PushBool(TrelkCell_IsData(Data) && Trelk_IsZeroID(&((StructOfQZDataBase *)Data)->OwnerRunnerProcID));
}

// void *GetEqualData(void *QZDataBase)
VS_INT32 QZCellBase_GetEqualData(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    void *Data = Trelk_ObjectArg(2);
    if (Self == NULL || !TrelkCell_IsData(Data)) {
        SRV->LuaPushNil();
        return 1;
    }
    StructOfQZDataBase *Type = QZDataBase_GetDataType_Internal((StructOfQZDataBase *)Data);
    for (void *Env = SRV->QueryFirst(&Self->EnvDataQueue); Env != NULL; Env = SRV->QueryNext(Env)) {
        if (QZDataBase_GetDataType_Internal((StructOfQZDataBase *)Env) != Type)
            continue;
        // "Equals" may be a script, which may free or move anything: the walk
        // goes on only where it still stands.
        uint64_t Serial = Trelk_ScriptSerial();
        VS_UUID SelfID = SRV->GetID(Self), EnvID = SRV->GetID(Env), DataID = SRV->GetID(Data);
        VS_BOOL Equal = QZDataBase_Equals_Internal((StructOfQZDataBase *)Env, (StructOfQZDataBase *)Data);
        if (Serial != Trelk_ScriptSerial() &&
            (SRV->GetObject(&SelfID) != Self || SRV->GetObject(&EnvID) != Env || SRV->GetParent(Env) != Self ||
             SRV->GetObject(&DataID) != Data))
            break;
        if (Equal) {
            SRV->LuaPushObject(Env);
            return 1;
        }
    }
    SRV->LuaPushNil();
    return 1;
}

// The first proc of the cell's chains, in queue and chain order, that is an
// instance of Proc.
static StructOfQZProcBase *FindInChains(StructOfQZCellBase *Cell, StructOfQZProcBase *Proc)
{
    for (void *Chain = SRV->QueryFirst(&Cell->ProcChainQueue); Chain != NULL; Chain = SRV->QueryNext(Chain))
        for (void *P = SRV->QueryFirst(&((StructOfQZProcChainBase *)Chain)->QZProcBase); P != NULL; P = SRV->QueryNext(P))
            if (SRV->IsInst(SRV->GetIDEx(Proc), P))
                return (StructOfQZProcBase *)P;
    return NULL;
}

static VS_BOOL QualifyingInput(StructOfQZDataInputContainer *Input, VS_INT32 InputIndex)
{
    return !Input->IsFromInternal && (InputIndex < 0 || Input->Index == InputIndex) ? VS_TRUE : VS_FALSE;
}

// VS_INT32 NumberOfEnvData(struct StructOfQZProcBase *QZProc, VS_INT32 InputIndex, VS_BOOL IncludeConnectedData)
VS_INT32 QZCellBase_NumberOfEnvData(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    void *ProcArg = Trelk_ObjectArg(2);
    if (Self == NULL || !TrelkChain_IsProc(ProcArg)) {
        SRV->LuaPushInt(0);
        return 1;
    }
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)ProcArg;
    VS_INT32 InputIndex = TrelkCell_IsNumberArg(3) ? SRV->LuaToInt(3) : -1;
    VS_BOOL IncludeConnected = SRV->LuaGetTop() >= 4 && SRV->LuaType(4) == VSLUATYPE_BOOL ? SRV->LuaToBool(4) : VS_FALSE;
    VS_BOOL InRunner = !Trelk_IsZeroID(&Proc->RunnerID);
    StructOfQZProcBase *Excluder = Proc;
    if (!InRunner && !TrelkChain_IsChain(SRV->GetParent(Proc))) {
        Excluder = FindInChains(Self, Proc);
        if (Excluder == NULL) {
            Trelk_Raise(Self, "'s function \"NumberOfEnvData\" failed, the input Proc is not in runner or in any "
                              "procchain of the cell");
            SRV->LuaPushInt(0);
            return 1;
        }
    }
    VS_UUID ExcludeID;
    QZRunnerBase_GetExcludeIDForEnvData(Excluder, &ExcludeID);
    VS_INT32 Count = 0;
    for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        if (!QualifyingInput(Input, InputIndex))
            continue;
        for (void *Env = SRV->QueryFirst(&Self->EnvDataQueue); Env != NULL; Env = SRV->QueryNext(Env)) {
            void *Exclude = ((StructOfQZDataBase *)Env)->ExcludeProc;
            if (SRV->IsInst(&Input->DataBaseID, Env) && (Exclude == NULL || SRV->FindIDKey(Exclude, &ExcludeID) == NULL))
                Count++;
        }
        if (IncludeConnected && InRunner)
            Count += Tarvex_ScheduleProc_GetItemNumber(&Input->DataQueue);
    }
    if (IncludeConnected && !InRunner) {
        for (void *R = SRV->QueryFirst(&Self->NormalRunnerQueue); R != NULL; R = SRV->QueryNext(R))
            for (void *P = SRV->QueryFirst(&((StructOfQZProcRunnerBase *)R)->QZProcBase); P != NULL; P = SRV->QueryNext(P)) {
                if (!SRV->IsInst(SRV->GetIDEx(Proc), P))
                    continue;
                for (void *In = SRV->QueryFirst(&((StructOfQZProcBase *)P)->InputQueue); In != NULL; In = SRV->QueryNext(In))
                    if (QualifyingInput((StructOfQZDataInputContainer *)In, InputIndex))
                        Count += Tarvex_ScheduleProc_GetItemNumber(&((StructOfQZDataInputContainer *)In)->DataQueue);
            }
    }
    SRV->LuaPushInt(Count);
    return 1;
}

// VS_BOOL IsFinishExcept(struct StructOfQZDataBase *QZData, struct StructOfQZProcBase *QZProc)
VS_INT32 QZCellBase_IsFinishExcept(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    void *Data = Trelk_ObjectArg(2);
    if (Self == NULL || !TrelkCell_IsData(Data))
        return Trelk_PushBool(VS_FALSE);
    if (!TrelkCell_InQueue(Self, Data, "EnvDataQueue"))
        return Trelk_PushBool(VS_TRUE);
    void *Proc = Trelk_ObjectArg(3);
    VS_UUID *ProcID = Proc != NULL ? SRV->GetIDEx(Proc) : NULL;
    for (void *Ptr = SRV->QueryFirst(&((StructOfQZDataBase *)Data)->ConnectedProc); Ptr != NULL; Ptr = SRV->QueryNext(Ptr))
        if (ProcID == NULL || !Trelk_IDEqual(&((StructOfQZObjectPointer *)Ptr)->ObjectID, ProcID))
            return Trelk_PushBool(VS_FALSE);
    return Trelk_PushBool(Tarvex_ScheduleQZCell_EnvDataCanBeAllocated(Self, (StructOfQZDataBase *)Data, VS_FALSE)
                              ? VS_FALSE
                              : VS_TRUE);
}
