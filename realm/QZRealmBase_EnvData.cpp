// Environment data of a realm: adding (a stamped, activated copy) and
// capturing (the datum moves in), removing, listing in stamp order, the
// history packages and the outside test.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"
#include "trelk_cell_api.h"
#include "trelk_alloc.h"

#include <algorithm>

static void RaiseAddRefusal(StructOfQZRealmBase *QZRealm, const VS_CHAR *Why)
{
    Trelk_Raise(QZRealm, "'s as Add or Capture EnvData failed, %s", Why);
}

// An item of the realm's env queue is the child the realm holds in that
// queue: asked of the object, not by walking the queue.
static VS_BOOL InEnvQueue(StructOfQZRealmBase *QZRealm, void *Object)
{
    return Object != NULL && SRV->GetParent(Object) == QZRealm &&
                   SRV->GetIndex(Object) == TrelkRealm_QueueIndex(TRELK_REALM_ENVDATAQUEUE)
               ? VS_TRUE
               : VS_FALSE;
}

// TRUE when the datum's place is the env queue of a realm or of a cell, a
// place that holds a lock on it.
static VS_BOOL SitsInEnvQueue(void *Data)
{
    void *Parent = SRV->GetParent(Data);
    if (Parent == NULL)
        return VS_FALSE;
    OBJECTATTRIBUTEINDEX Index = SRV->GetIndex(Data);
    if (TrelkRealm_IsRealm(Parent))
        return Index == SRV->GetAttributeIndex(QZRealmBaseClass, TRELK_REALM_ENVDATAQUEUE) ? VS_TRUE : VS_FALSE;
    if (TrelkRealm_IsCell(Parent))
        return Index == SRV->GetAttributeIndex(QZCellBaseClass, "EnvDataQueue") ? VS_TRUE : VS_FALSE;
    return VS_FALSE;
}

VS_BOOL TrelkRealm_PlaceHoldsDatum(void *Data)
{
    if (Data == NULL)
        return VS_FALSE;
    if (SitsInEnvQueue(Data))
        return VS_TRUE;
    void *Parent = SRV->GetParent(Data);
    return Parent != NULL && Trelk_IsInstOf(Parent, QZDataOutputContainerClass) &&
                   SRV->GetIndex(Data) == SRV->GetAttributeIndex(QZDataOutputContainerClass, "QZData")
               ? VS_TRUE
               : VS_FALSE;
}

// One input of the add operation; FALSE when the whole operation must end.
static VS_BOOL AddOne(StructOfQZRealmBase *QZRealm, void *Input, OBJECTATTRIBUTEINDEX QueueIndex,
                      VS_BOOL ChangeParentToNULL, VS_BOOL ChangeCreateTick)
{
    // The built-in data classes count as no data: a copy made from one of
    // them would be a new data type, not a datum.
    VS_UUID RealmID = SRV->GetID(QZRealm);
    if (Input == NULL || !TrelkRealm_IsData(Input) || QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Input)) {
        RaiseAddRefusal(QZRealm, "input is not deruru instance or null");
        // The report ran a script: the rest goes on only with the realm.
        return SRV->GetObject(&RealmID) == QZRealm ? VS_TRUE : VS_FALSE;
    }
    if (InEnvQueue(QZRealm, Input)) {
        RaiseAddRefusal(QZRealm, "input has existed in cell");
        return VS_FALSE;
    }
    VS_UUID InputID = SRV->GetID(Input);
    StructOfQZDataBase *Item = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(Input), 0, NULL);
    // Creation runs script events; the realm is found again by its ID.
    if (Item == NULL || SRV->GetObject(&RealmID) != QZRealm)
        return Item != NULL ? (SRV->UnLockGC(Item), VS_FALSE) : VS_TRUE;
    if (!SRV->ChangeParent(Item, QZRealm, QueueIndex)) {
        // A realm on its way out (fed from a free callback) holds nothing
        // more: the copy goes again, and so does the rest of the feed.
        SRV->UnLockGC(Item);
        RaiseAddRefusal(QZRealm, "realm is being freed");
        return VS_FALSE;
    }
    if (ChangeCreateTick) {
        Item->ScheduleTickCount = QZRealm->ScheduleTickCount;
        QZRealm->DataSequenceIndex += 1;
        Item->SequenceIndex = QZRealm->DataSequenceIndex;
    }
    memset(&Item->OwnerProcIDInCell, 0, sizeof(VS_UUID));
    memset(&Item->OwnerRunnerProcID, 0, sizeof(VS_UUID));
    if (Item->SourceData != NULL)
        Item->SourceData->Release();
    Item->SourceData = Trelk_GetParaPkgInterface(__LINE__);
    if (ChangeCreateTick)
        QZRealmBase_ActiveData_Internal(QZRealm, Item, NULL, 1);
    if (ChangeParentToNULL) {
        // Activation may report, which runs a script.
        Input = SRV->GetObject(&InputID);
        if (Input == NULL)
            return SRV->GetObject(&RealmID) == QZRealm ? VS_TRUE : VS_FALSE;
        // A datum captured out of a proc's output leaves the lock that
        // output held on it as well.
        VS_BOOL Locked = TrelkRealm_PlaceHoldsDatum(Input);
        Tarvex_Schedule_EnvDataLeaving(Input);
        SRV->ChangeParent(Input, NULL, 0);
        if (Locked)
            SRV->UnLockGC(Input);
    }
    return VS_TRUE;
}

void QZRealmBase_AddEnvData_Internal(StructOfQZRealmBase *QZRealm, VS_INT32 DataStartIndex,
                                     VS_BOOL ChangeParentToNULL, VS_BOOL ChangeCreateTick)
{
    if (QZRealm == NULL || QZRealmBaseClass == NULL)
        return;
    VS_ATTRIBUTEINFO Info;
    if (!SRV->GetAttributeInfoEx(QZRealmBaseClass, TRELK_REALM_ENVDATAQUEUE, &Info))
        return;
    VS_INT32 Top = SRV->LuaGetTop();
    for (VS_INT32 i = DataStartIndex; i <= Top; i++) {
        VS_INT32 Type = SRV->LuaType(i);
        if (Type == VSLUATYPE_OBJECT) {
            if (!AddOne(QZRealm, Trelk_FromRawObject(SRV->LuaToObject(i)), Info.AttributeIndex, ChangeParentToNULL,
                        ChangeCreateTick))
                return;
        } else if (Type == VSLUATYPE_PARAPKG) {
            VS_PARAPKGPTR Pkg = SRV->LuaToParaPkg(i);
            if (Pkg == NULL)
                continue;
            // Script events may change the package; hold it for the walk.
            Pkg->AddRef();
            VS_BOOL Go = VS_TRUE;
            for (VS_INT32 j = 0; j < Pkg->GetNumber() && Go; j++)
                Go = AddOne(QZRealm, Trelk_FromRawObject(Pkg->GetObject(j)), Info.AttributeIndex, ChangeParentToNULL,
                            ChangeCreateTick);
            Pkg->Release();
            if (!Go)
                return;
        }
    }
}

void QZRealmBase_AddEnvData_Internal_Ex(StructOfQZRealmBase *QZRealm, StructOfQZDataBase *QZData)
{
    if (QZRealm == NULL || QZData == NULL)
        return;
    SRV->LuaPushObject(QZData);
    QZRealmBase_AddEnvData_Internal(QZRealm, SRV->LuaGetTop(), VS_FALSE, VS_TRUE);
    SRV->LuaPop(1);
}

VS_INT32 QZRealmBase_AddEnvData(void *L)
{
    (void)L;
    QZRealmBase_AddEnvData_Internal(TrelkRealm_SelfArg(), 2, VS_FALSE, VS_TRUE);
    return 0;
}

VS_INT32 QZRealmBase_CaptureEnvData(void *L)
{
    (void)L;
    QZRealmBase_AddEnvData_Internal(TrelkRealm_SelfArg(), 2, VS_TRUE, VS_FALSE);
    return 0;
}

static void RemoveOne(StructOfQZRealmBase *QZRealm, void *Object)
{
    if (Object != NULL && InEnvQueue(QZRealm, Object)) {
        QZRealmBase_EnvLeft_Internal(QZRealm, Object);
        TrelkRealm_LeaveQueue(Object);
    }
}

VS_INT32 QZRealmBase_RemoveEnvData(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
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
                RemoveOne(Self, Trelk_FromRawObject(Pkg->GetObject(j)));
        }
    }
    return 0;
}

VS_INT32 QZRealmBase_ClearEnvData(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    if (Self == NULL)
        return 0;
    void *DataClass = Trelk_ObjectArg(2);
    // The data to let go are noted first: letting go of one runs its
    // scripts, which may free others or the realm.
    VS_PARAPKGPTR Leaving = Trelk_GetParaPkgInterface(__LINE__);
    for (void *X = SRV->QueryFirst(&Self->EnvDataQueue); X != NULL; X = SRV->QueryNext(X))
        if (DataClass == NULL || Trelk_IsInstOf(X, DataClass))
            Leaving->InsertObject(Leaving->GetNumber(), X);
    for (VS_INT32 i = 0; i < Leaving->GetNumber(); i++)
        RemoveOne(Self, Leaving->GetObject(i));
    Leaving->Release();
    return 0;
}

// ---------------------------------------------------------------------------
// Handing one datum to a cell
// ---------------------------------------------------------------------------
// The first cell of the realm's queue (or library) that takes the datum as
// input, or NULL. The test may run scripts (a type class's hooks, reports)
// that free or move cells, the datum or the realm: the cells are noted by ID
// first and everything is found again after each test.
static StructOfQZCellBase *FirstTaker(const VS_UUID *RealmID, const VS_UUID *DataID, VS_BOOL Library)
{
    StructOfQZRealmBase *QZRealm = (StructOfQZRealmBase *)SRV->GetObject((VS_UUID *)RealmID);
    if (QZRealm == NULL)
        return NULL;
    const VS_CHAR *QueueName = Library ? TRELK_REALM_CELLLIBRARY : TRELK_REALM_CELLQUEUE;
    VS_PARAPKGPTR Cells =
        TrelkRealm_QueueToPkg(Library ? (void *)&QZRealm->QZCellLibrary : (void *)&QZRealm->QZCellQueue, NULL);
    StructOfQZCellBase *Found = NULL;
    for (VS_INT32 i = 0; Cells != NULL && i < Cells->GetNumber() && Found == NULL; i++) {
        QZRealm = (StructOfQZRealmBase *)SRV->GetObject((VS_UUID *)RealmID);
        void *Data = SRV->GetObject((VS_UUID *)DataID);
        if (QZRealm == NULL || Data == NULL)
            break;
        void *Cell = Cells->GetObject(i);
        if (!TrelkRealm_IsCell(Cell) || !TrelkRealm_InQueue(QZRealm, Cell, QueueName))
            continue;
        VS_UUID CellID = SRV->GetID(Cell);
        if (QZProcBase_DataCanBeAsInput_Internal((StructOfQZProcBase *)Cell, (StructOfQZDataBase *)Data, VS_TRUE))
            Found = (StructOfQZCellBase *)SRV->GetObject(&CellID);
    }
    if (Cells != NULL)
        Cells->Release();
    return Found;
}

// Calls the cell's "CaptureEnvData" (realm, datum).
static void CallCapture(StructOfQZRealmBase *QZRealm, StructOfQZCellBase *Cell, StructOfQZDataBase *QZData)
{
    VS_UUID CellID = SRV->GetID(Cell);
    SRV->LuaPushObject(QZRealm);
    SRV->LuaPushObject(QZData);
    SRV->GetLastError();
    // The report names the cell only while the script left it there.
    if (Trelk_ExecNameScript(Cell, "CaptureEnvData", 2, 0))
        QZProcChain_IsExecNameScriptError(SRV->GetObject(&CellID), "calls the function CaptureEnvData failed");
}

VS_INT32 QZRealmBase_EnvDataToCell(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    void *Data = Trelk_ObjectArg(2);
    if (Self == NULL || !TrelkRealm_IsData(Data) || QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Data)) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_UUID RealmID = SRV->GetID(Self), DataID = SRV->GetID(Data);
    VS_BOOL FromLibrary = VS_FALSE;
    StructOfQZCellBase *Cell = FirstTaker(&RealmID, &DataID, VS_FALSE);
    if (Cell == NULL) {
        Cell = FirstTaker(&RealmID, &DataID, VS_TRUE);
        FromLibrary = VS_TRUE;
    }
    // The tests may have run scripts: the realm and the datum are found again.
    Self = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    StructOfQZDataBase *QZData = (StructOfQZDataBase *)SRV->GetObject(&DataID);
    if (Cell == NULL || Self == NULL || QZData == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_UUID CellID = SRV->GetID(Cell);
    CallCapture(Self, Cell, QZData);
    // The script may have freed either; both are found again by ID.
    Self = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    Cell = (StructOfQZCellBase *)SRV->GetObject(&CellID);
    if (Self != NULL && Cell != NULL) {
        if (FromLibrary)
            QZRealmBase_MoveToCellQueue_Internal(Self, Cell);
        else
            Cell->IsReady = VS_TRUE;
    }
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// Listings in stamp order
// ---------------------------------------------------------------------------
// The selected env data by ascending stamp, the key being (low word of the
// tick, high word of the tick, sequence); data sharing a stamp (captured
// copies keep theirs) stay in queue order.
struct StampedItem {
    VS_UWORD K1, K2, K3;
    VS_UWORD Position;
    void *Data;
};

static bool StampBefore(const StampedItem &a, const StampedItem &b)
{
    if (a.K1 != b.K1)
        return a.K1 < b.K1;
    if (a.K2 != b.K2)
        return a.K2 < b.K2;
    if (a.K3 != b.K3)
        return a.K3 < b.K3;
    return a.Position < b.Position;
}

// The order is total (queue position breaks ties), so when only the first
// Limit items are wanted they are picked out first and only they sorted.
static VS_PARAPKGPTR Ordered(TrelkVector<StampedItem> &Items, VS_INT32 Limit)
{
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    size_t Keep = Limit < 0 ? Items.size() : std::min(Items.size(), (size_t)Limit);
    if (Keep < Items.size())
        std::nth_element(Items.begin(), Items.begin() + Keep, Items.end(), StampBefore);
    std::sort(Items.begin(), Items.begin() + Keep, StampBefore);
    for (size_t i = 0; i < Keep; i++)
        Result->InsertObject(Result->GetNumber(), Items[i].Data);
    return Result;
}

static void NoteStamp(TrelkVector<StampedItem> &Items, void *X)
{
    StructOfQZDataBase *Data = (StructOfQZDataBase *)X;
    Items.push_back({(VS_UWORD)((uint64_t)Data->ScheduleTickCount & 0xFFFFFFFFu),
                     (VS_UWORD)((uint64_t)Data->ScheduleTickCount >> 32), (VS_UWORD)Data->SequenceIndex,
                     (VS_UWORD)Items.size(), X});
}

static VS_PARAPKGPTR ListByStamp(StructOfQZRealmBase *QZRealm, void *DataClass, VS_BOOL ByTick, VS_INT64 Tick)
{
    if (QZRealm == NULL)
        return Trelk_GetParaPkgInterface(__LINE__);
    TrelkVector<StampedItem> Items;
    for (void *X = SRV->QueryFirst(&QZRealm->EnvDataQueue); X != NULL; X = SRV->QueryNext(X)) {
        StructOfQZDataBase *Data = (StructOfQZDataBase *)X;
        if (ByTick ? Data->ScheduleTickCount != Tick : (DataClass != NULL && !Trelk_IsInstOf(X, DataClass)))
            continue;
        NoteStamp(Items, X);
    }
    return Ordered(Items, -1);
}

VS_PARAPKGPTR QZRealmBase_GetEnvDataQueue_Internal(StructOfQZRealmBase *QZRealm, void *DataClass)
{
    return ListByStamp(QZRealm, DataClass, VS_FALSE, 0);
}

VS_INT32 QZRealmBase_GetEnvDataQueue(void *L)
{
    (void)L;
    SRV->LuaPushParaPkg(QZRealmBase_GetEnvDataQueue_Internal(TrelkRealm_SelfArg(), Trelk_ObjectArg(2)), VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetEnvDataFrame(void *L)
{
    (void)L;
    SRV->LuaPushParaPkg(ListByStamp(TrelkRealm_SelfArg(), NULL, VS_TRUE, SRV->LuaToInt64(2)), VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// History and the outside test
// ---------------------------------------------------------------------------
static VS_INT32 PushHistory(VS_BOOL Fact)
{
    StructOfQZRealmBase *QZRealm = TrelkRealm_SelfArg();
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    // A script holding the package may change it: the next cycle does not
    // take it for one it made.
    if (Fact && LocalBuf != NULL)
        QZRealmBase_EnvHistoryShown_Internal(QZRealm);
    VS_PARAPKGPTR Pkg = LocalBuf == NULL ? NULL : Fact ? LocalBuf->FactFramePackage : LocalBuf->PredictFramePackage;
    if (Pkg == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(Pkg, VS_FALSE);
    return 1;
}

VS_INT32 QZRealmBase_GetFactHistory(void *L)
{
    (void)L;
    return PushHistory(VS_TRUE);
}

VS_INT32 QZRealmBase_GetPredictHistory(void *L)
{
    (void)L;
    return PushHistory(VS_FALSE);
}

void QZRealmBase_ReleaseModuleState()
{
    TrelkStatus_Stop();
    TrelkActive_ReleaseModuleState();
}

// Count 0 forgets the cycle's outside data; otherwise the data given and the
// realm's env data now are the cycle's outside data.
void QZRealmBase_SetOutsideData_Internal(StructOfQZRealmBase *QZRealm, void *const *Data, VS_INT32 Count)
{
    if (QZRealm == NULL)
        return;
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    if (Count <= 0 || LocalBuf == NULL)
        QZRealmBase_EnvForgetCycle_Internal(QZRealm);
    else
        QZRealmBase_EnvOpenCycle_Internal(QZRealm, Data, Count, LocalBuf->EnvDataQueuePackage);
}

VS_BOOL QZRealmBase_IsFromOutSide_Internal(StructOfQZRealmBase *QZRealm, StructOfQZDataBase *QZData)
{
    if (QZRealm == NULL || QZData == NULL || !TrelkRealm_IsData(QZData))
        return VS_FALSE;
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    VS_PARAPKGPTR Pkg = LocalBuf != NULL ? LocalBuf->EnvDataQueuePackage : NULL;
    if (Pkg == NULL)
        return VS_FALSE;
    // The realm's index knows the cycle's outside data while the package
    // holds what the opening put in it; anything else is looked for in the
    // package.
    VS_INT32 Known = QZRealmBase_EnvIsOutside_Internal(QZRealm, QZData, Pkg);
    if (Known >= 0)
        return Known > 0 ? VS_TRUE : VS_FALSE;
    for (VS_INT32 i = 0; i < Pkg->GetNumber(); i++)
        if (Pkg->GetObject(i) == QZData)
            return VS_TRUE;
    return VS_FALSE;
}

VS_INT32 QZRealmBase_IsFromOutSide(void *L)
{
    (void)L;
    SRV->LuaPushBool(
        QZRealmBase_IsFromOutSide_Internal(TrelkRealm_SelfArg(), (StructOfQZDataBase *)Trelk_ObjectArg(2)));
    return 1;
}

// ---------------------------------------------------------------------------
// Data handed to procs in a cell
// ---------------------------------------------------------------------------
static VS_INT32 PushResult(VS_BOOL Result)
{
    SRV->LuaPushBool(Result);
    return 1;
}

// A cell made here goes again when the call fails; a cell the caller gave
// stays where it was.
static VS_INT32 FailProc(const VS_UUID *CellID, VS_BOOL Made)
{
    void *Cell = Made ? SRV->GetObject((VS_UUID *)CellID) : NULL;
    if (Cell != NULL)
        SRV->FreeObject(Cell);
    return PushResult(VS_FALSE);
}

static VS_BOOL IsDatumInstance(void *Object)
{
    return Object != NULL && TrelkRealm_IsData(Object) ? VS_TRUE : VS_FALSE;
}

VS_INT32 QZRealmBase_EnvDataToProc(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    VS_INT32 Top = SRV->LuaGetTop();
    if (Self == NULL || Top < 3)
        return PushResult(VS_FALSE);
    VS_UUID RealmID = SRV->GetID(Self);
    void *Cell = NULL;
    VS_BOOL Made = VS_FALSE;
    if (Top == 3) {
        void *X = Trelk_ObjectArg(3);
        if (X == NULL)
            return PushResult(VS_FALSE);
        if (TrelkRealm_IsCell(X)) {
            if (((StructOfQZCellBase *)X)->IsType) {
                Cell = SRV->MallocObjectL(SRV->GetIDEx(X), 0, NULL);
                Made = VS_TRUE;
            } else
                Cell = X;
        } else if (Trelk_IsInstOf(X, QZProcBaseClass) || Trelk_IsInstOf(X, QZProcChainBaseClass)) {
            Cell = SRV->MallocObjectL(SRV->GetIDEx(QZCellBaseClass), 0, NULL);
            Made = VS_TRUE;
            if (Cell != NULL) {
                QZCellBase_AddProc_Internal(Cell, 3);
                SRV->LuaPop(1);
            }
        } else
            return PushResult(VS_FALSE);
    } else {
        Cell = SRV->MallocObjectL(SRV->GetIDEx(QZCellBaseClass), 0, NULL);
        Made = VS_TRUE;
        if (Cell != NULL) {
            VS_UUID MadeID = SRV->GetID(Cell);
            QZCellBase_AddProc_Internal(Cell, 3);
            VS_BOOL Added = SRV->LuaToBool(-1);
            SRV->LuaPop(1);
            if (!Added)
                return FailProc(&MadeID, VS_TRUE);
        }
    }
    if (Cell == NULL)
        return PushResult(VS_FALSE);
    VS_UUID CellID = SRV->GetID(Cell);
    // Creation may run scripts: both are found again by ID.
    Self = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    Cell = SRV->GetObject(&CellID);
    if (Self == NULL || Cell == NULL)
        return FailProc(&CellID, Made);

    VS_INT32 DataType = SRV->LuaType(2);
    if (DataType == VSLUATYPE_OBJECT) {
        void *Data = Trelk_ObjectArg(2);
        if (!IsDatumInstance(Data))
            return FailProc(&CellID, Made);
        SRV->LuaPushObject(Data);
        QZCellBase_AddEnvData_Internal(Self, (StructOfQZCellBase *)Cell, SRV->LuaGetTop(), VS_TRUE, VS_FALSE);
        SRV->LuaPop(1);
    } else if (DataType == VSLUATYPE_PARAPKG) {
        VS_PARAPKGPTR Pkg = SRV->LuaToParaPkg(2);
        if (Pkg == NULL || Pkg->GetNumber() == 0)
            return FailProc(&CellID, Made);
        // Every item is looked at before anything is added.
        VS_INT32 Count = Pkg->GetNumber();
        for (VS_INT32 i = 0; i < Count; i++)
            if (!IsDatumInstance(Trelk_FromRawObject(Pkg->GetObject(i))))
                return FailProc(&CellID, Made);
        VS_INT32 Start = SRV->LuaGetTop() + 1;
        for (VS_INT32 i = 0; i < Count; i++)
            SRV->LuaPushObject(Trelk_FromRawObject(Pkg->GetObject(i)));
        QZCellBase_AddEnvData_Internal(Self, (StructOfQZCellBase *)Cell, Start, VS_TRUE, VS_FALSE);
        SRV->LuaPop(Count);
    }
    // Capturing may run scripts too.
    Self = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    Cell = SRV->GetObject(&CellID);
    if (Self == NULL || Cell == NULL)
        return FailProc(&CellID, Made);
    ((StructOfQZCellBase *)Cell)->IsReady = VS_TRUE;
    if (Made) {
        if (!SRV->ChangeParent(Cell, Self, TrelkRealm_QueueIndex(TRELK_REALM_CELLQUEUE)))
            return FailProc(&CellID, VS_TRUE);
    } else
        // A cell of this realm's library moves with its lock; one from
        // another realm's queue brings that realm's lock along; any other
        // cell gets a lock of its own.
        TrelkRealm_EnterQueue((StructOfQZRealmBase *)Self, Cell, TRELK_REALM_CELLQUEUE);
    return PushResult(VS_TRUE);
}
