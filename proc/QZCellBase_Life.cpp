// Cells: what their creation and free add to a proc's, Execute and Finish,
// the default hooks, cell types, tags and the equality of base cells.
#include "trelk_cell_internal.h"
#include "trelk_cell_luafuncs.h"
#include "trelk_alloc.h"

#include <cstdio>
#include <cstring>

// Set while GetTag makes its stand-in instance of a cell type: the stand-in
// is written without chains (a cell of a type saves none), so it gets no
// copies of them.
static thread_local VS_BOOL MakingTagStandIn = VS_FALSE;

// ---------------------------------------------------------------------------
// Creation and free
// ---------------------------------------------------------------------------
// Runs after the proc part of the creation: a cell made from another cell
// (a type or a cell it duplicates) starts idle, with copies of its chains and
// with no env data, runners or output chains of its own.
static void OnCreated(StructOfQZCellBase *Cell)
{
    void *Class = SRV->GetClass(Cell);
    if (Class == NULL || Class == QZCellBaseClass || Class == QZProcBaseClass || !TrelkProc_IsCell(Class))
        return;
    StructOfQZCellBase *Source = (StructOfQZCellBase *)Class;
    Cell->IsReady = VS_FALSE;
    Cell->IsEnvDataQueueChange = VS_FALSE;
    Cell->SingleRunnerFlag = VS_TRUE;
    // The indexes belong to the source; the copy makes its own when it runs.
    Cell->ProcChainRunnerIndexTree = NULL;
    Cell->ProcExecutedIndexTree = NULL;
    if (MakingTagStandIn)
        return;
    // The source's chains, taken once: a copy's creation may run script code.
    TrelkVector<VS_UUID> Chains;
    for (void *Chain = SRV->QueryFirst(&Source->ProcChainQueue); Chain != NULL; Chain = SRV->QueryNext(Chain))
        Chains.push_back(SRV->GetID(Chain));
    VS_UUID CellID = SRV->GetID(Cell);
    OBJECTATTRIBUTEINDEX Index = TrelkCell_QueueIndex("ProcChainQueue");
    for (VS_UUID &ChainID : Chains) {
        if (!TrelkChain_IsChain(SRV->GetObject(&ChainID)))
            continue;
        void *Dup = SRV->MallocObjectL(&ChainID, 0, NULL);
        if (Dup == NULL)
            continue;
        if (SRV->GetObject(&CellID) != Cell || !SRV->ChangeParent(Dup, Cell, Index)) {
            SRV->FreeObject(Dup);
            if (SRV->GetObject(&CellID) != Cell)
                return;
        }
        // The copy keeps the lock it was made with: that is the queue's.
    }
}

static void OnBeforeFree(StructOfQZCellBase *Cell)
{
    for (void *Data = SRV->QueryFirst(&Cell->EnvDataQueue); Data != NULL; Data = SRV->QueryFirst(&Cell->EnvDataQueue)) {
        SRV->ChangeParent(Data, NULL, 0);
        SRV->UnLockGC(Data);
    }
    for (void *Chain = SRV->QueryFirst(&Cell->ProcChainQueue); Chain != NULL;
         Chain = SRV->QueryFirst(&Cell->ProcChainQueue)) {
        Tarvex_ScheduleProc_ProcChain_ClearPrivateBuf((StructOfQZProcChainBase *)Chain);
        SRV->ChangeParent(Chain, NULL, 0);
        SRV->UnLockGC(Chain);
    }
    if (Cell->ProcChainRunnerIndexTree != NULL) {
        SRV->DestoryIndex(Cell->ProcChainRunnerIndexTree);
        Cell->ProcChainRunnerIndexTree = NULL;
    }
    if (Cell->ProcExecutedIndexTree != NULL) {
        SRV->DestoryIndex(Cell->ProcExecutedIndexTree);
        Cell->ProcExecutedIndexTree = NULL;
    }
}

VS_INT32 QZCellBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL || QZCellBaseClass == NULL)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (Object == NULL || Object == QZCellBaseClass || !TrelkProc_IsCell(Object))
        return 0;
    switch (SRV->GetSysEventID(EventPara)) {
    case VSEVENT_SYSTEMEVENT_ONCREATE:
        OnCreated((StructOfQZCellBase *)Object);
        break;
    case VSEVENT_SYSTEMEVENT_ONBEFOREFREE:
        OnBeforeFree((StructOfQZCellBase *)Object);
        break;
    default:
        break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Execute, Finish and the default hooks
// ---------------------------------------------------------------------------
// VS_INT32 Execute(void *QZRealm, void *QZCell, void *QZRunner)
VS_INT32 QZCellBase_Execute(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    if (Self == NULL) {
        SRV->LuaPushInt(-1);
        return 1;
    }
    if (Self->Status < 0) {
        SRV->LuaPushInt(-1);
        return 1;
    }
    // The step reads and stamps the realm's record: anything else is refused.
    void *Realm = Trelk_ObjectArg(2);
    if (!TrelkCell_IsRealm(Realm)) {
        Trelk_Raise(Self, "'s function \"Execute\" failed, the first parameter must be a realm");
        SRV->LuaPushInt(-1);
        return 1;
    }
    SRV->LuaPushInt(Tarvex_ScheduleQZCell((StructOfQZRealmBase *)Realm, Self));
    return 1;
}

VS_INT32 QZCellBase_Finish(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    if (Self != NULL)
        Self->IsReady = VS_FALSE;
    return 0;
}

VS_INT32 QZCellBase_OnBeforeRunnerDestory(void *L)
{
    (void)L;
    return 0;
}

VS_INT32 QZCellBase_OnCellToBeFinish(void *L)
{
    (void)L;
    return Trelk_PushBool(VS_FALSE);
}

VS_INT32 QZCellBase_OnCellFinish(void *L)
{
    (void)L;
    return 0;
}

// ---------------------------------------------------------------------------
// Cell types
// ---------------------------------------------------------------------------
VS_INT32 QZCellBase_CreateType(void *L)
{
    (void)L;
    void *Self = SRV->LuaGetTop() >= 1 && SRV->LuaType(1) == VSLUATYPE_OBJECT ? SRV->LuaToObject(1) : NULL;
    if (Self == NULL || Self != QZCellBaseClass) {
        Trelk_RaiseText("create [%s:%s]'s sub-type failed, this class is not QZCellBaseClass", Trelk_IDText(Self),
                        Trelk_Name(Self));
        SRV->LuaPushNil();
        return 1;
    }
    const VS_CHAR *Name = Trelk_StringArg(2);
    if (Name == NULL || Name[0] == 0) {
        SRV->LuaPushNil();
        return 1;
    }
    StructOfQZCellBase *Type = (StructOfQZCellBase *)SRV->MallocObjectL(SRV->GetIDEx(QZCellBaseClass), 0, NULL);
    if (Type == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    // The type keeps the lock it was made with, as every proc type does.
    SRV->SetName(Type, Name);
    Type->IsType = VS_TRUE;
    if (SRV->FindIDKey(GlobalProcTypeIndexTree, SRV->GetIDEx(Type)) == NULL)
        SRV->InsertIDKey(GlobalProcTypeIndexTree, SRV->GetIDEx(Type), (void *)1);
    LastNewTypeTickCount = vs_tm_gettickcount64();
    SRV->LuaPushObject(Type);
    return 1;
}

VS_INT32 QZCellBase_QuelCall(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    Trelk_PushHandOver(SRV->MallocObjectL(SRV->GetIDEx(Self), 0, NULL));
    return 1;
}

// ---------------------------------------------------------------------------
// Tags
// ---------------------------------------------------------------------------
// "cell_<space>_<name>" for a dotted name, else "cell_global_<name>". The
// whole name is used, however long: types whose names share a long
// beginning keep different labels.
static void PushLabel(void *Type)
{
    const VS_CHAR *Name = Type != NULL ? Trelk_Name(Type) : "";
    size_t Size = strlen(Name) + 16;
    VS_CHAR *Label = (VS_CHAR *)SRV->Malloc_Nor((VS_ULONG)Size);
    if (Label == NULL) {
        SRV->LuaPushString("");
        return;
    }
    const VS_CHAR *Dot = strchr(Name, '.');
    if (Dot != NULL)
        snprintf(Label, Size, "cell_%.*s_%s", (int)(Dot - Name), Name, Dot + 1);
    else
        snprintf(Label, Size, "cell_global_%s", Name);
    SRV->LuaPushString(Label);
    SRV->Free(Label);
}

// Frees the stand-in of a cell type without a word to anyone: what the
// type's users registered for the end of its procs is about real procs, and
// a query must not run it.
static void FreeQuietly(void *StandIn)
{
    TrelkVector<StructOfQZProcBaseLocalBuf *> Bufs;
    TrelkVector<VS_PARAPKGPTR> Held;
    for (void *X = StandIn; X != NULL; X = SRV->GetClass(X)) {
        if (X != QZProcBaseClass && !TrelkChain_IsProc(X))
            break;
        StructOfQZProcBaseLocalBuf *Buf = QZProcBase_GetProcLocalBuf(X);
        if (Buf != NULL && Buf->CallBackObjectPkg != NULL) {
            Bufs.push_back(Buf);
            Held.push_back(Buf->CallBackObjectPkg);
            Buf->CallBackObjectPkg = NULL;
        }
    }
    SRV->FreeObject(StandIn);
    for (size_t i = 0; i < Bufs.size(); i++)
        Bufs[i]->CallBackObjectPkg = Held[i];
    // What a walk learnt meanwhile holds no longer.
    if (!Bufs.empty())
        Trelk_ChainMarkGained(&TrelkProc_FreeCallbackMark);
}

VS_INT32 QZCellBase_GetTag_Internal(StructOfQZCellBase *Cell)
{
    if (Cell == NULL) {
        SRV->LuaPushString("");
        return 1;
    }
    if ((void *)Cell == QZCellBaseClass) {
        PushLabel(Cell);
        return 1;
    }
    StructOfQZProcBase *Saved = Cell;
    StructOfQZProcBase *StandIn = NULL;
    if (Cell->IsType) {
        // A type cannot be written itself; a fresh cell of it can, and writes
        // what any cell of the type would.
        MakingTagStandIn = VS_TRUE;
        StandIn = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(Cell), 0, NULL);
        MakingTagStandIn = VS_FALSE;
        if (StandIn == NULL) {
            SRV->LuaPushString("");
            return 1;
        }
        Saved = StandIn;
    }
    VS_PARAPKGPTR Info = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    VS_CHAR *Json = NULL;
    if (Info != NULL && Record != NULL && QZProcBase_OnSaveProc_SaveProc(Saved, Info, Record, VS_FALSE, VS_FALSE))
        Json = Record->ToJSon();
    if (Json == NULL) {
        SRV->LuaPushString("");
    } else {
        void *Type = QZProcBase_GetProcType_Internal(Saved);
        const VS_CHAR *TypeName = Type != NULL ? Trelk_Name(Type) : "";
        size_t Size = strlen(TypeName) + strlen(Json) + 16;
        VS_CHAR *Raw = (VS_CHAR *)SRV->Malloc_Nor((VS_ULONG)Size);
        if (Raw == NULL) {
            SRV->LuaPushString("");
        } else {
            snprintf(Raw, Size, "cell_%s_%s", TypeName, Json);
            SRV->LuaPushString(Trelk_FormatTag(Raw));
            SRV->Free(Raw);
        }
        Record->FreeBuf(Json);
    }
    if (Info != NULL)
        Info->Release();
    if (Record != NULL)
        Record->Release();
    if (StandIn != NULL)
        FreeQuietly(StandIn);
    return 1;
}

VS_INT32 QZCellBase_GetTag(void *L)
{
    (void)L;
    return QZCellBase_GetTag_Internal(TrelkCell_SelfArg());
}

VS_INT32 QZCellBase_GetTagLabel(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    PushLabel(Self != NULL ? QZProcBase_GetProcType_Internal(Self) : NULL);
    return 1;
}

// ---------------------------------------------------------------------------
// Equality of base cells
// ---------------------------------------------------------------------------
VS_BOOL QZCellBase_Equals_Internal(StructOfQZProcBase *QZProc, StructOfQZProcBase *OtherProc, VS_BOOL *Equal)
{
    if (QZProc == NULL || OtherProc == NULL || QZCellBaseClass == NULL || SRV->GetClass(QZProc) != QZCellBaseClass ||
        SRV->GetClass(OtherProc) != QZCellBaseClass)
        return VS_FALSE;
    StructOfQZCellBase *A = (StructOfQZCellBase *)QZProc;
    StructOfQZCellBase *B = (StructOfQZCellBase *)OtherProc;
    TrelkVector<void *> Unused;
    for (void *Chain = SRV->QueryFirst(&B->ProcChainQueue); Chain != NULL; Chain = SRV->QueryNext(Chain))
        Unused.push_back(Chain);
    VS_BOOL Result = VS_TRUE;
    for (void *Chain = SRV->QueryFirst(&A->ProcChainQueue); Chain != NULL && Result; Chain = SRV->QueryNext(Chain)) {
        Result = VS_FALSE;
        for (size_t i = 0; i < Unused.size(); i++) {
            if (QZProcChainBase_Equals_Internal((StructOfQZProcChainBase *)Chain,
                                                (StructOfQZProcChainBase *)Unused[i])) {
                Unused.erase(Unused.begin() + (long)i);
                Result = VS_TRUE;
                break;
            }
        }
    }
    *Equal = Result && Unused.empty() ? VS_TRUE : VS_FALSE;
    return VS_TRUE;
}
