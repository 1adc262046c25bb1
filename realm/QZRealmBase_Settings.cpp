// Effective settings and the module-wide realm stub: the getters through
// which every limit of a realm is read, the per-cell unallocated-data limit,
// setting and reading the stub, and the stub's script functions.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"

// Raise step of a cell's or proc's unallocated-data limit.
#define TRELK_UNALLOCATED_STEP 64

// The stub while one is set and alive, else NULL.
static StructOfQZRealmStubBase *LiveStub()
{
    void *Stub = Trelk_GetRealmStubObject();
    if (Stub == NULL || !Trelk_IsInstOf(Stub, QZRealmStubBaseClass))
        return NULL;
    return (StructOfQZRealmStubBase *)Stub;
}

// Each getter: the stub's value while a stub exists, else the realm's own
// (0 without a realm).
#define TRELK_REALM_GETTER(Type, Name)                                                                        \
    Type QZRealmBase_Get##Name(StructOfQZRealmBase *QZRealm)                                                  \
    {                                                                                                         \
        StructOfQZRealmStubBase *Stub = LiveStub();                                                           \
        if (Stub != NULL)                                                                                     \
            return Stub->Name;                                                                                \
        return QZRealm != NULL ? QZRealm->Name : 0;                                                           \
    }

TRELK_REALM_GETTER(VS_INT32, ActiveLength)
TRELK_REALM_GETTER(VS_INT32, InitialLiveCount)
TRELK_REALM_GETTER(VS_INT32, MaxUnAllocatedData)
TRELK_REALM_GETTER(VS_INT32, MaxSourceDataLength)
TRELK_REALM_GETTER(VS_INT32, MaxLoopCount)
TRELK_REALM_GETTER(VS_INT32, HistoryLength)
TRELK_REALM_GETTER(VS_INT64, MaxSuspendTickCount)

// The object's stored raised limit; FALSE when it has none.
static VS_BOOL FindRaised(StructOfQZRealmBaseLocalBuf *LocalBuf, void *Object, VS_INT32 *Value)
{
    if (LocalBuf == NULL || LocalBuf->MaxUnAllocatedDataIndexTree == NULL || Object == NULL)
        return VS_FALSE;
    VS_UUID ID = SRV->GetID(Object);
    void *Entry = SRV->FindIDKey(LocalBuf->MaxUnAllocatedDataIndexTree, &ID);
    if (Entry == NULL)
        return VS_FALSE;
    *Value = (VS_INT32)(intptr_t)Entry;
    return VS_TRUE;
}

VS_INT32 QZRealmBase_GetMaxUnAllocatedData_ForQZCell(StructOfQZRealmBase *QZRealm, void *Object)
{
    VS_INT32 Setting = QZRealmBase_GetMaxUnAllocatedData(QZRealm);
    VS_INT32 Raised;
    if (FindRaised(QZRealmBase_GetLocalBuf_Internal(QZRealm), Object, &Raised) && Raised >= Setting)
        return Raised;
    return Setting;
}

void QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(StructOfQZRealmBase *QZRealm, void *Object)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    if (LocalBuf == NULL || LocalBuf->MaxUnAllocatedDataIndexTree == NULL || Object == NULL)
        return;
    VS_INT32 Setting = QZRealmBase_GetMaxUnAllocatedData(QZRealm);
    VS_INT32 Raised;
    VS_INT32 Value;
    if (!FindRaised(LocalBuf, Object, &Raised) || Raised < Setting)
        Value = Setting + TRELK_UNALLOCATED_STEP;
    else
        Value = Raised + TRELK_UNALLOCATED_STEP;
    // The entry's value is the number itself; 0 would read as no entry.
    if (Value == 0)
        Value = TRELK_UNALLOCATED_STEP;
    VS_UUID ID = SRV->GetID(Object);
    SRV->DelIDKey(LocalBuf->MaxUnAllocatedDataIndexTree, &ID);
    SRV->InsertIDKey(LocalBuf->MaxUnAllocatedDataIndexTree, &ID, (void *)(intptr_t)Value);
}

// ---------------------------------------------------------------------------
// Setting and reading the stub
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_SetRealmStub(void *L)
{
    (void)L;
    void *Realm = SRV->LuaToObject(1);
    void *Stub = SRV->LuaToObject(2);
    if (QZRealStubObjectIsSet) {
        QZRealmBase_RaiseException(Realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "Set SetRealmStub failed, it has been set before");
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    if (!Trelk_IsInstOf(Stub, QZRealmStubBaseClass)) {
        QZRealmBase_RaiseException(Realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "Set SetRealmStub failed, input object must be instance of RealmStubBase");
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    QZRealmStubObjectID = SRV->GetID(Stub);
    QZRealStubObjectIsSet = VS_TRUE;
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetRealmStub(void *L)
{
    (void)L;
    void *Stub = Trelk_GetRealmStubObject();
    if (Stub == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushObject(Stub);
    return 1;
}

// ---------------------------------------------------------------------------
// Performance data and system packages, shared by the realm and the stub
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_GetPerformanceData(void *L)
{
    (void)L;
    VS_BOOL ResetFlag = SRV->LuaToBool(2);
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    // A calibration that measured under a microsecond (or nothing) divides by
    // 1: the figures stay finite.
    VS_DOUBLE Base = PerformanceBaseCount >= 1.0 ? PerformanceBaseCount : 1.0;
    if (GlobalProcPerformanceIndexTree != NULL) {
        VS_UUID TypeID;
        for (void *Rec = SRV->QueryFirstIDKey(GlobalProcPerformanceIndexTree, &TypeID); Rec != NULL;
             Rec = SRV->QueryNextIDKey(GlobalProcPerformanceIndexTree, &TypeID)) {
            void *ProcType = SRV->GetObject(&TypeID);
            if (ProcType == NULL)
                continue;
            StructOfProcPerformance *Perf = (StructOfProcPerformance *)Rec;
            VS_PARAPKGPTR Item = Trelk_GetParaPkgInterface(__LINE__);
            Item->InsertObject(0, ProcType);
            Item->InsertFloat(1, (VS_DOUBLE)Perf->PerformaceMean * 1000.0 / Base);
            Item->InsertInt(2, Perf->RunTimes);
            Item->InsertInt(3, Perf->ErrorTimes);
            List->InsertParaPackage(List->GetNumber(), Item);
            Item->Release();
        }
        if (ResetFlag) {
            SRV->DelAllKey(GlobalProcPerformanceIndexTree);
            if (GlobalProcPerformanceMemory != NULL)
                SRV->ClearMemory(GlobalProcPerformanceMemory);
        }
    }
    SRV->LuaPushParaPkg(List, VS_TRUE);
    return 1;
}

// The type a system package is recorded for, or NULL.
static void *SystemPackageType(void *Object)
{
    if (Object == NULL)
        return NULL;
    if (QZDataBase_IsDataObject(Object) &&
        (QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Object) || TrelkRealm_IsData(Object)))
        return QZDataBase_GetDataType_Internal((StructOfQZDataBase *)Object);
    if (Object == QZProcBaseClass || Object == QZProcRemoteBaseClass || Object == QZCellBaseClass ||
        Trelk_IsInstOf(Object, QZProcBaseClass))
        return QZProcBase_GetProcType_Internal((StructOfQZProcBase *)Object);
    if (Object == QZRuleBaseClass)
        return QZRuleBase_GetRuleType_Internal((StructOfQZRuleBase *)Object);
    return NULL;
}

VS_INT32 QZRealmBase_FindSystemPackage(void *L)
{
    (void)L;
    void *Type = SystemPackageType(Trelk_ObjectArg(2));
    VS_PARAPKGPTR Record = Type != NULL ? QZProcBase_OnSaveProc_GetPackageInfo(Type) : NULL;
    const VS_CHAR *Name = NULL;
    if (Record != NULL) {
        VS_INT32 i = Record->FindDict("PackageName");
        if (i >= 0)
            Name = Record->GetStr(i);
    }
    SRV->LuaPushString(Name != NULL ? Name : "");
    return 1;
}

// ---------------------------------------------------------------------------
// The stub's default limit events (argument 1 the stub, 2 the realm)
// ---------------------------------------------------------------------------
VS_INT32 QZRealmStubBase_OnMoreUnAllocatedData(void *L)
{
    (void)L;
    SRV->LuaPushInt(0);
    return 1;
}

VS_INT32 QZRealmStubBase_OnLongLoop(void *L)
{
    (void)L;
    SRV->LuaPushBool(VS_FALSE);
    return 1;
}

VS_INT32 QZRealmStubBase_OnLongSuspend(void *L)
{
    (void)L;
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

VS_INT32 QZRealmStubBase_OnInputInvalid(void *L)
{
    (void)L;
    SRV->LuaPushBool(VS_FALSE);
    return 1;
}

VS_INT32 QZRealmStubBase_OnLongSourceData(void *L)
{
    (void)L;
    void *Data = Trelk_ObjectArg(4);
    VS_BOOL HasRemove = VS_FALSE;
    if (TrelkRealm_IsData(Data))
        QZRealmBase_OnLongSourceData_Removelast((StructOfQZDataBase *)Data, (StructOfQZDataBase *)Data, 1,
                                                &HasRemove);
    SRV->LuaPushBool(HasRemove);
    return 1;
}
