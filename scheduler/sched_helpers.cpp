// The scheduler's shared helpers (see trelk_sched_internal.h).
#include "trelk_sched_internal.h"

VS_INT32 TrelkSched_CallRealm(void *Realm, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes,
                              const VS_CHAR *ErrorText)
{
    SRV->GetLastError();
    VS_UUID ID = Realm != NULL ? SRV->GetID(Realm) : VS_UUID{};
    if (!QZRealmBase_ExecNameScript(Realm, Name, nArgs, nRes))
        return TRELK_CALL_MISSING;
    // The realm is asked for by ID: the script may have freed it.
    if (QZProcChain_IsExecNameScriptError(Realm != NULL ? SRV->GetObject(&ID) : NULL, ErrorText))
        return TRELK_CALL_ERROR;
    return TRELK_CALL_OK;
}

VS_INT32 TrelkSched_CallObject(void *Object, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes,
                               const VS_CHAR *ErrorText)
{
    SRV->GetLastError();
    VS_UUID ID = Object != NULL ? SRV->GetID(Object) : VS_UUID{};
    if (!Trelk_ExecNameScript(Object, Name, nArgs, nRes))
        return TRELK_CALL_MISSING;
    // The script may have freed the object it ran on: the report then names
    // no object.
    if (QZProcChain_IsExecNameScriptError(SRV->GetObject(&ID), ErrorText))
        return TRELK_CALL_ERROR;
    return TRELK_CALL_OK;
}

void *TrelkSched_Find(VS_UUID *ID)
{
    if (ID == NULL || Trelk_IsZeroID(ID))
        return NULL;
    return SRV->GetObject(ID);
}

// ---------------------------------------------------------------------------
// Trace hooks
// ---------------------------------------------------------------------------
void TrelkSched_OnRunnerBeforeExecuted(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                       StructOfQZProcRunnerBase *Runner)
{
    if (Realm == NULL || !Realm->TraceFlag)
        return;
    SRV->LuaPushObject(Cell);
    SRV->LuaPushObject(Runner);
    TrelkSched_CallRealm(Realm, "OnRunnerBeforeExecuted", 2, 0, "calls the function OnRunnerBeforeExecuted failed");
}

void TrelkSched_OnRunnerExecuted(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                 StructOfQZProcRunnerBase *Runner, VS_BOOL WillBeFree)
{
    if (Realm == NULL || !Realm->TraceFlag)
        return;
    SRV->LuaPushObject(Cell);
    SRV->LuaPushObject(Runner);
    SRV->LuaPushBool(WillBeFree);
    TrelkSched_CallRealm(Realm, "OnRunnerExecuted", 3, 0, "calls the function OnRunnerExecuted failed");
}

void TrelkSched_OnRunnerProcBeforeExecuted(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                           StructOfQZProcRunnerBase *Runner, StructOfQZProcBase *Proc,
                                           VS_INT32 Condition)
{
    if (Realm == NULL || !Realm->TraceFlag)
        return;
    SRV->LuaPushObject(Cell);
    SRV->LuaPushObject(Runner);
    SRV->LuaPushObject(Proc);
    SRV->LuaPushInt(Condition);
    TrelkSched_CallRealm(Realm, "OnRunnerProcBeforeExecuted", 4, 0,
                         "calls the function OnRunnerProcBeforeExecuted failed");
}

// ---------------------------------------------------------------------------
// Objects, queues and attributes
// ---------------------------------------------------------------------------
VS_BOOL TrelkSched_IsProc(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcBaseClass);
}

VS_BOOL TrelkSched_IsData(void *Object)
{
    return Trelk_IsInstOf(Object, QZDataBaseClass);
}

VS_BOOL TrelkSched_IDIndexIsEmpty(void *Index)
{
    VS_UUID Key;
    return SRV->QueryFirstIDKey(Index, &Key) == NULL ? VS_TRUE : VS_FALSE;
}

VS_BOOL TrelkSched_IsCell(void *Object)
{
    return Trelk_IsInstOf(Object, QZCellBaseClass);
}

StructOfQZProcBase *TrelkSched_NextProc(StructOfQZProcBase *Proc)
{
    // The atomic handle is the one form of the link: every walk and the
    // output routing read it the same way.
    if (Proc == NULL || Proc->QZProcNext == NULL)
        return NULL;
    void *Next = SRV->AtomicToObject(Proc->QZProcNext);
    return TrelkSched_IsProc(Next) ? (StructOfQZProcBase *)Next : NULL;
}

StructOfQZProcBase *TrelkSched_StartProc(VS_UUID *QZProcStart)
{
    void *First = TrelkSched_Find(QZProcStart);
    return TrelkSched_IsProc(First) ? (StructOfQZProcBase *)First : NULL;
}

OBJECTATTRIBUTEINDEX TrelkSched_DataQueueIndex()
{
    return Trelk_ClassAttrIndex(QZDataInputContainerClass, "DataQueue");
}

OBJECTATTRIBUTEINDEX TrelkSched_ConnectedProcIndex()
{
    return Trelk_ClassAttrIndex(QZDataBaseClass, "ConnectedProc");
}

OBJECTATTRIBUTEINDEX TrelkSched_CellEnvDataIndex()
{
    return Trelk_ClassAttrIndex(QZCellBaseClass, "EnvDataQueue");
}

StructOfQZDataBase *TrelkSched_ItemData(StructOfQZObjectPointerWithChangeFlag *Item)
{
    if (Item == NULL)
        return NULL;
    void *Data = TrelkSched_Find(&Item->ObjectID);
    return TrelkSched_IsData(Data) ? (StructOfQZDataBase *)Data : NULL;
}

VS_BOOL TrelkSched_InputNeedsMore(StructOfQZDataInputContainer *Input)
{
    if (Input->RequestNumber <= 0)
        return VS_TRUE;
    return Tarvex_ScheduleProc_GetItemNumber(&Input->DataQueue) < Input->RequestNumber ? VS_TRUE : VS_FALSE;
}

VS_BOOL TrelkSched_InputSatisfied(StructOfQZDataInputContainer *Input)
{
    VS_INT32 Count = Tarvex_ScheduleProc_GetItemNumber(&Input->DataQueue);
    if (Count == 0)
        return VS_FALSE;
    return Input->RequestNumber <= 0 || Count == Input->RequestNumber ? VS_TRUE : VS_FALSE;
}

void TrelkSched_Drop(void *Object)
{
    if (Object == NULL)
        return;
    Tarvex_Schedule_EnvDataLeaving(Object);
    SRV->ChangeParent(Object, NULL, 0);
    SRV->UnLockGC(Object);
}

VS_BOOL TrelkSched_FillOne(StructOfQZDataBase *Data, void *Context)
{
    TrelkSchedFill *C = (TrelkSchedFill *)Context;
    TrelkSched_Connect(C->Input, Data, C->Proc, C->ExcludeID);
    return TrelkSched_InputNeedsMore(C->Input);
}

// A script setting an input item's change flag in place: the item's proc is
// noted, so that its runner's next look at its current procs asks it (the
// host calls this before the write, only for writes of attributes).
static VS_BOOL ItemFlagChanging(void *Object, VS_UWORD Para, OBJECTATTRIBUTEINDEX AttributeIndex,
                                VS_INT8 *NewValue, VS_INT32 DebugEditFlag)
{
    (void)Para;
    (void)DebugEditFlag;
    if (NewValue == NULL || *NewValue == 0 ||
        AttributeIndex != Trelk_ClassAttrIndex(QZObjectPointerWithChangeFlagClass, "ChangeFlag"))
        return VS_TRUE;
    void *Input = SRV->GetParent(Object);
    void *Proc = Input != NULL ? SRV->GetParent(Input) : NULL;
    if (TrelkSched_IsProc(Proc))
        TrelkSched_TouchProc((StructOfQZProcBase *)Proc);
    return VS_TRUE;
}

void TrelkSched_Connect(StructOfQZDataInputContainer *Input, StructOfQZDataBase *Data, StructOfQZProcBase *Proc,
                        VS_UUID *ExcludeID)
{
    StructOfQZObjectPointerWithChangeFlag *Item = (StructOfQZObjectPointerWithChangeFlag *)SRV->MallocObjectL(
        SRV->GetIDEx(QZObjectPointerWithChangeFlagClass), 0, NULL);
    if (Item != NULL) {
        Item->ObjectID = SRV->GetID(Data);
        Item->ChangeFlag = VS_TRUE;
        if (SRV->ChangeParent(Item, Input, TrelkSched_DataQueueIndex())) {
            SRV->RegBeforeChangeCallBack(Item, ItemFlagChanging, 0, 0);
            TrelkSched_TouchProc(Proc);
        } else {
            // The input's proc is on its way out.
            SRV->UnLockGC(Item);
        }
    }
    StructOfQZObjectPointer *Pointer =
        (StructOfQZObjectPointer *)SRV->MallocObjectL(SRV->GetIDEx(QZObjectPointerClass), 0, NULL);
    if (Pointer != NULL) {
        Pointer->ObjectID = SRV->GetID(Proc);
        // A datum whose free event runs (a free callback running the realm)
        // takes no child: the record would keep its creation lock for ever.
        if (!SRV->ChangeParent(Pointer, Data, TrelkSched_ConnectedProcIndex()))
            SRV->UnLockGC(Pointer);
    }
    if (Data->ExcludeProc != NULL && SRV->FindIDKey(Data->ExcludeProc, ExcludeID) == NULL) {
        SRV->InsertIDKey(Data->ExcludeProc, ExcludeID, (void *)1);
        QZDataBase_ExcludeWidened(Data);
    }
}

void TrelkSched_CountError(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell, StructOfQZProcBase *Proc,
                           StructOfQZProcRunnerBase *Runner)
{
    if (Realm != NULL)
        Realm->ErrorCount++;
    if (Cell != NULL)
        Cell->ErrorCount++;
    if (Proc != NULL)
        Proc->ErrorCount++;
    if (Runner != NULL)
        Runner->ErrorCount++;
}

VS_INT64 TrelkSched_NowMs()
{
    return (VS_INT64)vs_tm_gettickcount64();
}

VS_INT64 TrelkSched_NowUs()
{
    return (VS_INT64)vs_tm_gettickcount_us();
}
