// The realm's life cycle: its private buffer from creation to free, the
// script's private package, free callbacks and new realms made from a realm.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"

// The realm class's own ID: events for the class object itself are ignored,
// also while it is being made and QZRealmBaseClass is not set yet.
static const VS_CHAR *const RealmClassIDText = "7A20E92F-F609-4c85-86B0-34117BE912EF";

StructOfQZRealmBaseLocalBuf *QZRealmBase_GetLocalBuf_Internal(StructOfQZRealmBase *QZRealm)
{
    if (QZRealm == NULL || SRV == NULL)
        return NULL;
    return (StructOfQZRealmBaseLocalBuf *)SRV->GetPrivateBuf(QZRealm, SRV->GetLayer(QZRealm), 0, NULL);
}

static void OnCreated(StructOfQZRealmBase *QZRealm)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = (StructOfQZRealmBaseLocalBuf *)SRV->MallocPrivateBuf(
        QZRealm, SRV->GetLayer(QZRealm), 0, sizeof(StructOfQZRealmBaseLocalBuf));
    if (LocalBuf == NULL)
        return;
    memset((void *)LocalBuf, 0, sizeof(StructOfQZRealmBaseLocalBuf));
    vs_atomic_init(&LocalBuf->BreakOnProcFlag);
    vs_mutex_init(&LocalBuf->BreakOnThreadMutex);
    // Each realm starts with a package of its own, never its class's.
    QZRealm->PrivateLocalBuf = Trelk_GetParaPkgInterface(__LINE__);
    vs_atomic_init(&LocalBuf->ExecuteUntilFinishFlag);
    LocalBuf->ActiveRealmObjectTree = SRV->CreateIDIndex_Nor(0);
    LocalBuf->MaxUnAllocatedDataIndexTree = SRV->CreateIDIndex_Nor(0);
    LocalBuf->SuspendProcIndexTree = SRV->CreateIDIndex_Nor(0);
    LocalBuf->CallBackObjectPkg = Trelk_GetParaPkgInterface(__LINE__);
    LocalBuf->EnvDataQueuePackage = Trelk_GetParaPkgInterface(__LINE__);
    LocalBuf->LogPackage = Trelk_GetParaPkgInterface(__LINE__);
    LocalBuf->FactFramePackage = Trelk_GetParaPkgInterface(__LINE__);
    LocalBuf->PredictFramePackage = Trelk_GetParaPkgInterface(__LINE__);
    QZRealm->TraceFlag = VS_FALSE;
    QZRealm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
    QZRealm->DataSequenceIndex = 0;
    QZRealm->ScheduleTickCount = 0;
    QZRealm->ErrorCount = 0;
}

static void CallFreeCallbacks(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    VS_PARAPKGPTR Pkg = LocalBuf->CallBackObjectPkg;
    if (Pkg == NULL)
        return;
    // A callback may change the list; walk a copy of it.
    VS_PARAPKGPTR Targets = Pkg->Dup();
    if (Targets == NULL)
        return;
    VS_UUID RealmID = SRV->GetID(QZRealm);
    for (VS_INT32 i = 0; i < Targets->GetNumber(); i++) {
        void *Target = Targets->GetObject(i);
        if (Target == NULL || SRV->GetObject(&RealmID) == NULL)
            continue;
        SRV->LuaPushObject(QZRealm);
        SRV->GetLastError();
        // The package names the target by ID: the report names it only
        // while its own script left it there.
        if (Trelk_ExecNameScript(Target, "OnFreeCallback", 1, 0))
            QZProcChain_IsExecNameScriptError(Targets->GetObject(i), "calls the function OnFreeCallback failed");
    }
    Targets->Release();
}

static void FreeSuspendRecords(StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    if (LocalBuf->SuspendProcIndexTree == NULL)
        return;
    VS_UUID Key;
    for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->SuspendProcIndexTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(LocalBuf->SuspendProcIndexTree, &Key))
        SRV->Free(Rec);
    SRV->DestoryIndex(LocalBuf->SuspendProcIndexTree);
    LocalBuf->SuspendProcIndexTree = NULL;
}

static void OnBeforeFree(StructOfQZRealmBase *QZRealm)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    if (LocalBuf == NULL)
        return;
    CallFreeCallbacks(QZRealm, LocalBuf);
    // Stepping ends and the threads waiting on the realm wake before the
    // realm's state goes.
    TrelkRealm_SyncRealmFreed(QZRealm);
    vs_atomic_destory(&LocalBuf->BreakOnProcFlag);
    vs_mutex_destory(&LocalBuf->BreakOnThreadMutex);
    // Made with the buffer, so it goes with it too.
    vs_atomic_destory(&LocalBuf->ExecuteUntilFinishFlag);
    if (QZDataSetBaseClass != NULL && LocalBuf->QZRealmFrameDataInst != NULL) {
        // The frame of a cycle that never ended.
        SRV->UnLockGC(LocalBuf->QZRealmFrameDataInst);
        LocalBuf->QZRealmFrameDataInst = NULL;
    }
    TrelkRealm_EmptyQueue(&QZRealm->QZCellQueue);
    TrelkRealm_EmptyQueue(&QZRealm->EnvDataQueue);
    TrelkRealm_EmptyQueue(&QZRealm->QZCellLibrary);
    TrelkRealm_EmptyQueue(&QZRealm->QZRuleQueue);
    TrelkRealm_ReleaseActiveIndex(LocalBuf);
    QZRealmBase_ActiveOrderStale_Internal(QZRealm);
    if (LocalBuf->MaxUnAllocatedDataIndexTree != NULL) {
        SRV->DestoryIndex(LocalBuf->MaxUnAllocatedDataIndexTree);
        LocalBuf->MaxUnAllocatedDataIndexTree = NULL;
    }
    FreeSuspendRecords(LocalBuf);
}

static void ReleasePkg(VS_PARAPKGPTR *Pkg)
{
    if (*Pkg != NULL) {
        (*Pkg)->Release();
        *Pkg = NULL;
    }
}

static void OnFreed(StructOfQZRealmBase *QZRealm)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    if (LocalBuf != NULL) {
        ReleasePkg(&LocalBuf->CallBackObjectPkg);
        ReleasePkg(&LocalBuf->EnvDataQueuePackage);
        ReleasePkg(&LocalBuf->LogPackage);
        ReleasePkg(&LocalBuf->FactFramePackage);
        ReleasePkg(&LocalBuf->PredictFramePackage);
        TrelkRealm_CacheRelease(LocalBuf);
        SRV->FreePrivate(QZRealm, SRV->GetLayer(QZRealm), 0);
    }
    QZRealmBase_EnvRelease_Internal(QZRealm);
    ReleasePkg(&QZRealm->PrivateLocalBuf);
}

VS_INT32 QZRealmBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (Object == NULL || Object == QZRealmBaseClass)
        return 0;
    VS_UUID ClassID;
    if (SRV->StringToUuid(RealmClassIDText, &ClassID) && memcmp(SRV->GetIDEx(Object), &ClassID, sizeof(VS_UUID)) == 0)
        return 0;
    StructOfQZRealmBase *QZRealm = (StructOfQZRealmBase *)Object;
    switch (SRV->GetSysEventID(EventPara)) {
    case VSEVENT_SYSTEMEVENT_ONCREATE:
        OnCreated(QZRealm);
        break;
    case VSEVENT_SYSTEMEVENT_ONBEFOREFREE:
        OnBeforeFree(QZRealm);
        break;
    case VSEVENT_SYSTEMEVENT_ONDESTROY:
        OnFreed(QZRealm);
        break;
    default:
        break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Luafuncs
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_GetLocalBuf(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    if (Self == NULL || Self->PrivateLocalBuf == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    SRV->LuaPushParaPkg(Self->PrivateLocalBuf, VS_FALSE);
    return 1;
}

VS_INT32 QZRealmBase_SetLocalBuf(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    if (Self == NULL || SRV->LuaType(2) != VSLUATYPE_PARAPKG)
        return 0;
    VS_PARAPKGPTR Pkg = SRV->LuaToParaPkg(2);
    if (Pkg == NULL)
        return 0;
    // The new reference is taken first, so storing the stored package again
    // never lets it go.
    Pkg->AddRef();
    if (Self->PrivateLocalBuf != NULL)
        Self->PrivateLocalBuf->Release();
    Self->PrivateLocalBuf = Pkg;
    return 0;
}

// The realm's free-callback list and argument 2 with its place in the list
// (-1 when absent); NULL when either is missing.
// The realm's free-callback list (NULL when it has none) and argument 2.
static VS_PARAPKGPTR CallBackListArgs(void **Target)
{
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    *Target = SRV->LuaToObject(2);
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Self);
    return LocalBuf != NULL ? LocalBuf->CallBackObjectPkg : NULL;
}

VS_INT32 QZRealmBase_RegCallBack(void *L)
{
    (void)L;
    void *Target;
    VS_PARAPKGPTR List = CallBackListArgs(&Target);
    Trelk_CallBackListAdd(List, Target);
    return 0;
}

VS_INT32 QZRealmBase_UnRegCallBack(void *L)
{
    (void)L;
    void *Target;
    VS_PARAPKGPTR List = CallBackListArgs(&Target);
    Trelk_CallBackListRemove(List, Target);
    return 0;
}

// Shared by the realm and the stub: a new object whose class is argument 1.
VS_INT32 QZRealmBase__QuelCall(void *L)
{
    (void)L;
    void *Self = SRV->LuaToObject(1);
    void *Object = NULL;
    if (Self != NULL && (TrelkRealm_IsRealm(Self) || Trelk_IsInstOf(Self, QZRealmStubBaseClass) ||
                         Self == QZRealmBaseClass || Self == QZRealmStubBaseClass))
        Object = SRV->MallocObjectL(SRV->GetIDEx(Self), 0, NULL);
    // The script owns the new object, as with every object scripts create.
    Trelk_PushHandOver(Object);
    return 1;
}

// ---------------------------------------------------------------------------
// Reset and clear
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_Reset(void *L)
{
    (void)L;
    // Reset() is declared without arguments, yet scripts pass whether the
    // active objects go too; a missing argument reads as false.
    QZRealmBase_Reset_Internal(TrelkRealm_SelfArg(), SRV->LuaToBool(2));
    return 0;
}

VS_INT32 QZRealmBase_Clear(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    if (Self == NULL)
        return 0;
    VS_BOOL ClearPrivateBuf = SRV->LuaToBool(2);
    VS_UUID RealmID = SRV->GetID(Self);
    QZRealmBase_Reset_Internal(Self, VS_TRUE);
    // The reset runs script events; the realm is found again by its ID.
    Self = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    if (Self == NULL)
        return 0;
    if (ClearPrivateBuf && Self->PrivateLocalBuf != NULL)
        Self->PrivateLocalBuf->Clear();
    TrelkRealm_EmptyQueue(&Self->QZCellQueue);
    TrelkRealm_EmptyQueue(&Self->QZCellLibrary);
    return 0;
}
