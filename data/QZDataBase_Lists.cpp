// Rule attachment and approval of data objects, and the per-data exclude,
// accept and reject lists that the scheduler and the procs keep.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

// Rules live on the holder of the value. A data without any value package in
// its chain keeps its rules itself.
static StructOfQZDataBase *RuleHolder(StructOfQZDataBase *Data)
{
    if (Data == NULL)
        return NULL;
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Data);
    return Holder != NULL ? Holder : Data;
}

// The proc argument at Index, when it is an instance of QZProcBase.
static StructOfQZProcBase *ProcArg(VS_INT32 Index)
{
    void *Object = Trelk_ObjectArg(Index);
    return QZDataBase_IsProcObject(Object) ? (StructOfQZProcBase *)Object : NULL;
}

static void *ProcTypeOf(StructOfQZProcBase *QZProc)
{
    if (!QZDataBase_IsProcObject(QZProc))
        return NULL;
    return QZProcBase_GetProcType_Internal(QZProc);
}

static VS_BOOL ExcludeIDOf(StructOfQZProcBase *QZProc, VS_UUID *ExcludeID)
{
    return QZProc != NULL && QZRunnerBase_GetExcludeIDForEnvData(QZProc, ExcludeID);
}

static void InsertExcludeOnce(StructOfQZDataBase *Data, StructOfQZProcBase *QZProc)
{
    VS_UUID ExcludeID;
    if (Data->ExcludeProc == NULL || !ExcludeIDOf(QZProc, &ExcludeID))
        return;
    if (SRV->FindIDKey(Data->ExcludeProc, &ExcludeID) == NULL) {
        SRV->InsertIDKey(Data->ExcludeProc, &ExcludeID, (void *)1);
        QZDataBase_ExcludeWidened(Data);
    }
}

// ---------------------------------------------------------------------------
// Internal operations
// ---------------------------------------------------------------------------
static void CallRules(StructOfQZDataBase *Data, VS_BOOL Approve)
{
    StructOfQZDataBase *Holder = RuleHolder(Data);
    if (Holder == NULL)
        return;
    void *Argument = Approve ? (void *)Data : (void *)Holder;
    // A rule's hook may detach rules or free the data: the attachment items
    // are not walked while hooks run, only the rule IDs noted beforehand, and
    // the walk ends when the argument itself is gone.
    VS_INT32 Count = 0;
    for (void *Item = SRV->QueryFirst(&Holder->QZRuleAttachQueue); Item != NULL; Item = SRV->QueryNext(Item))
        Count++;
    if (Count == 0)
        return;
    VS_UUID *RuleIDs = (VS_UUID *)SRV->Malloc_Nor((VS_ULONG)Count * sizeof(VS_UUID));
    if (RuleIDs == NULL)
        return;
    VS_INT32 n = 0;
    for (void *Item = SRV->QueryFirst(&Holder->QZRuleAttachQueue); Item != NULL && n < Count;
         Item = SRV->QueryNext(Item))
        RuleIDs[n++] = ((StructOfQZRuleAttachBase *)Item)->QZRuleID;
    VS_UUID ArgumentID = SRV->GetID(Argument);
    for (VS_INT32 i = 0; i < n && SRV->GetObject(&ArgumentID) == Argument; i++) {
        void *Rule = SRV->GetObject(&RuleIDs[i]);
        if (Rule == NULL)
            continue;
        SRV->LuaPushObject(Argument);
        SRV->GetLastError();
        // A rule that freed itself in its event is reported by no name.
        if (Trelk_ExecNameScript(Rule, Approve ? "OnApproved" : "OnDisapproved", 1, 0))
            QZProcChain_IsExecNameScriptError(SRV->GetObject(&RuleIDs[i]),
                                              Approve ? "calls the function Approved failed"
                                                      : "calls the function OnDisapproved failed");
    }
    SRV->Free(RuleIDs);
}

void QZDataBase_Disapproved_Internal(StructOfQZDataBase *QZData)
{
    CallRules(QZData, VS_FALSE);
}

VS_BOOL QZDataBase_IsReject_Internal(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc)
{
    void *Type = ProcTypeOf(QZProc);
    if (QZData == NULL || Type == NULL)
        return VS_TRUE;
    return SRV->FindIDKey(QZData->RejectProc, SRV->GetIDEx(Type)) != NULL ? VS_TRUE : VS_FALSE;
}

static VS_BOOL AddToTypeList(void *Index, StructOfQZProcBase *QZProc)
{
    void *Type = ProcTypeOf(QZProc);
    if (Index == NULL || Type == NULL)
        return VS_FALSE;
    if (SRV->FindIDKey(Index, SRV->GetIDEx(Type)) != NULL)
        return VS_FALSE;
    return SRV->InsertIDKey(Index, SRV->GetIDEx(Type), Type);
}

VS_BOOL QZDataBase_AddReject_Internal(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc)
{
    return QZData != NULL ? AddToTypeList(QZData->RejectProc, QZProc) : VS_FALSE;
}

VS_BOOL QZDataBase_AddAccept_Internal(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc)
{
    return QZData != NULL ? AddToTypeList(QZData->AcceptProc, QZProc) : VS_FALSE;
}

// ---------------------------------------------------------------------------
// Rule luafuncs
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_SetRuleAttach(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *RuleObject = Trelk_ObjectArg(2);
    if (Self == NULL || RuleObject == NULL || QZRuleBaseClass == NULL ||
        !SRV->IsInst(SRV->GetIDEx(QZRuleBaseClass), RuleObject)) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    StructOfQZRuleBase *Rule = (StructOfQZRuleBase *)RuleObject;
    StructOfQZDataBase *Holder = RuleHolder(Self);
    VS_UUID *RuleID = SRV->GetIDEx(Rule);
    for (void *Item = SRV->QueryFirst(&Holder->QZRuleAttachQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        if (Trelk_IDEqual(&((StructOfQZRuleAttachBase *)Item)->QZRuleID, RuleID)) {
            SRV->LuaPushBool(VS_TRUE);
            return 1;
        }
    }

    void *AttachObject = SRV->MallocObjectL(SRV->GetIDEx(QZRuleAttachBaseClass), 0, NULL);
    if (AttachObject == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    StructOfQZRuleAttachBase *Attach = (StructOfQZRuleAttachBase *)AttachObject;
    if (Rule->IsType) {
        void *Instance = SRV->MallocObjectL(RuleID, 0, NULL);
        if (Instance == NULL) {
            SRV->FreeObject(AttachObject);
            SRV->LuaPushBool(VS_FALSE);
            return 1;
        }
        // The attachment's end releases one lock on its rule: the new
        // instance holds that lock, not the creator's reference.
        SRV->LockGC(Instance);
        SRV->ReleaseOwnerEx(Instance);
        Attach->QZRuleID = SRV->GetID(Instance);
    } else {
        Attach->QZRuleID = *RuleID;
        SRV->LockGC(Rule);
    }
    SRV->ChangeParent(AttachObject, Holder, SRV->GetAttributeIndex(QZDataBaseClass, "QZRuleAttachQueue"));
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

VS_INT32 QZDataBase_GetRuleAttach(void *L)
{
    (void)L;
    StructOfQZDataBase *Holder = RuleHolder(TrelkData_SelfArg());
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (Holder != NULL) {
        for (void *Item = SRV->QueryFirst(&Holder->QZRuleAttachQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            void *Rule = SRV->GetObject(&((StructOfQZRuleAttachBase *)Item)->QZRuleID);
            if (Rule != NULL)
                Result->InsertObject(Result->GetNumber(), Rule);
        }
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZDataBase_HasRuleAttach(void *L)
{
    (void)L;
    StructOfQZDataBase *Holder = RuleHolder(TrelkData_SelfArg());
    SRV->LuaPushBool(Holder != NULL && SRV->QueryFirst(&Holder->QZRuleAttachQueue) != NULL ? VS_TRUE : VS_FALSE);
    return 1;
}

VS_INT32 QZDataBase_RemoveRuleAttach(void *L)
{
    (void)L;
    StructOfQZDataBase *Holder = RuleHolder(TrelkData_SelfArg());
    if (Holder == NULL)
        return 0;
    void *Item = SRV->QueryFirst(&Holder->QZRuleAttachQueue);
    while (Item != NULL) {
        void *Next = SRV->QueryNext(Item);
        TrelkData_ReleaseRuleAttach(Item);
        Item = Next;
    }
    return 0;
}

VS_INT32 QZDataBase_Approved(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self != NULL)
        CallRules(Self, VS_TRUE);
    return 0;
}

VS_INT32 QZDataBase_Disapproved(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self != NULL)
        QZDataBase_Disapproved_Internal(Self);
    return 0;
}

// ---------------------------------------------------------------------------
// Exclude list
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_IsExclude(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    StructOfQZProcBase *Proc = ProcArg(2);
    VS_UUID ExcludeID;
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL && ExcludeIDOf(Proc, &ExcludeID))
        Result = SRV->FindIDKey(Self->ExcludeProc, &ExcludeID) != NULL ? VS_TRUE : VS_FALSE;
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZDataBase_AddExclude(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    StructOfQZProcBase *Proc = ProcArg(2);
    if (Self != NULL && Proc != NULL)
        InsertExcludeOnce(Self, Proc);
    return 0;
}

VS_INT32 QZDataBase_RemoveExclude(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    StructOfQZProcBase *Proc = ProcArg(2);
    VS_UUID ExcludeID;
    if (Self != NULL && ExcludeIDOf(Proc, &ExcludeID)) {
        SRV->DelIDKey(Self->ExcludeProc, &ExcludeID);
        QZDataBase_ExcludeNarrowed();
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Accept and reject lists
// ---------------------------------------------------------------------------
static void AddTypeAndExclude(VS_BOOL Reject)
{
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    StructOfQZProcBase *Proc = ProcArg(2);
    if (Self == NULL || Proc == NULL)
        return;
    VS_BOOL Inserted =
        Reject ? QZDataBase_AddReject_Internal(Self, Proc) : QZDataBase_AddAccept_Internal(Self, Proc);
    if (Inserted && !Trelk_IsZeroID(&Proc->RunnerID))
        InsertExcludeOnce(Self, Proc);
}

static void RemoveType(VS_BOOL Reject)
{
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *Type = ProcTypeOf(ProcArg(2));
    if (Self != NULL && Type != NULL)
        SRV->DelIDKey(Reject ? Self->RejectProc : Self->AcceptProc, SRV->GetIDEx(Type));
}

static void PushTypeList(VS_BOOL Reject)
{
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    void *Index = Self != NULL ? (Reject ? Self->RejectProc : Self->AcceptProc) : NULL;
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(Index, &Key); Value != NULL; Value = SRV->QueryNextIDKey(Index, &Key)) {
        void *Type = SRV->GetObject(&Key);
        if (Type != NULL)
            Result->InsertObject(Result->GetNumber(), Type);
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
}

VS_INT32 QZDataBase_IsReject(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    SRV->LuaPushBool(Self != NULL ? QZDataBase_IsReject_Internal(Self, ProcArg(2)) : VS_TRUE);
    return 1;
}

VS_INT32 QZDataBase_AddReject(void *L)
{
    (void)L;
    AddTypeAndExclude(VS_TRUE);
    return 0;
}

VS_INT32 QZDataBase_RemoveReject(void *L)
{
    (void)L;
    RemoveType(VS_TRUE);
    return 0;
}

VS_INT32 QZDataBase_GetReject(void *L)
{
    (void)L;
    PushTypeList(VS_TRUE);
    return 1;
}

VS_INT32 QZDataBase_IsAccept(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *Type = ProcTypeOf(ProcArg(2));
    VS_BOOL Result = VS_TRUE;
    if (Self != NULL && Type != NULL)
        Result = SRV->FindIDKey(Self->AcceptProc, SRV->GetIDEx(Type)) != NULL ? VS_TRUE : VS_FALSE;
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZDataBase_AddAccept(void *L)
{
    (void)L;
    AddTypeAndExclude(VS_FALSE);
    return 0;
}

VS_INT32 QZDataBase_RemoveAccept(void *L)
{
    (void)L;
    RemoveType(VS_FALSE);
    return 0;
}

VS_INT32 QZDataBase_GetAccept(void *L)
{
    (void)L;
    PushTypeList(VS_FALSE);
    return 1;
}

VS_INT32 QZDataBase_ResetSchedule(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL)
        return 0;

    // Keys of procs no longer connected are noted first and removed after
    // the walk, so the index is not changed while it is walked.
    StructOfExcludeProcItem *Noted = NULL;
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(Self->ExcludeProc, &Key); Value != NULL;
         Value = SRV->QueryNextIDKey(Self->ExcludeProc, &Key)) {
        VS_BOOL Keep = VS_FALSE;
        for (void *Item = SRV->QueryFirst(&Self->ConnectedProc); Item != NULL && !Keep; Item = SRV->QueryNext(Item)) {
            void *Proc = SRV->GetObject(&((StructOfQZObjectPointer *)Item)->ObjectID);
            VS_UUID ExcludeID;
            if (QZDataBase_IsProcObject(Proc) && ExcludeIDOf((StructOfQZProcBase *)Proc, &ExcludeID) &&
                Trelk_IDEqual(&ExcludeID, &Key))
                Keep = VS_TRUE;
        }
        if (Keep)
            continue;
        StructOfExcludeProcItem *Entry = (StructOfExcludeProcItem *)SRV->Malloc_Nor(sizeof(StructOfExcludeProcItem));
        if (Entry == NULL)
            continue;
        Entry->ObjectID = Key;
        Entry->Up = NULL;
        Entry->Down = Noted;
        if (Noted != NULL)
            Noted->Up = Entry;
        Noted = Entry;
    }
    if (Noted != NULL)
        QZDataBase_ExcludeNarrowed();
    while (Noted != NULL) {
        StructOfExcludeProcItem *Next = Noted->Down;
        SRV->DelIDKey(Self->ExcludeProc, &Noted->ObjectID);
        SRV->Free(Noted);
        Noted = Next;
    }
    if (Self->AcceptProc != NULL)
        SRV->DelAllKey(Self->AcceptProc);
    if (Self->RejectProc != NULL)
        SRV->DelAllKey(Self->RejectProc);
    return 0;
}
