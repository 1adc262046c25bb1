// QZDataBase record life cycle and type system: the system-event handler that
// makes every data object a type or an instance and tears it down again, the
// walks up the class chain (value holder, data type, direct instance) and the
// luafuncs that read and set the value package and the type class.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

// The five predefined data classes. Class objects receive their creation
// event inside registration, before the module's class globals are set, so
// they are recognised by ID rather than by the globals.
static const VS_UUID *const PreDefinedDataClassID[5] = {
    &QZDataBase_ClassID,    &QZDataSetBase_ClassID,    &QZObjectDataBase_ClassID,
    &QZBufDataBase_ClassID, &QZRealmFrameData_ClassID,
};
// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------
static VS_BOOL IsClassObjectWithID(void *Object, const VS_UUID *ClassID)
{
    VS_UUID *ID = Object != NULL ? SRV->GetIDEx(Object) : NULL;
    return ID != NULL && Trelk_IDEqual(ID, ClassID) ? VS_TRUE : VS_FALSE;
}

// Once registered, a class is named by its record: a pointer comparison
// answers what the ID comparison would (the globals are set after the class
// objects' creation events and cleared as each is freed at shutdown).
VS_BOOL TrelkData_IsDataBaseClassObject(void *Object)
{
    if (QZDataBaseClass != NULL)
        return Object != NULL && Object == QZDataBaseClass ? VS_TRUE : VS_FALSE;
    return IsClassObjectWithID(Object, &QZDataBase_ClassID);
}

VS_BOOL QZDataBase_IsDataObject(void *Object)
{
    if (Object == NULL || SRV == NULL)
        return VS_FALSE;
    if (TrelkData_IsDataBaseClassObject(Object))
        return VS_TRUE;
    VS_UUID ClassID = QZDataBase_ClassID;
    return SRV->IsInst(&ClassID, Object);
}

VS_BOOL QZDataBase_IsProcObject(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcBaseClass);
}

VS_BOOL TrelkData_IsDataInstance(void *Object)
{
    if (Object == NULL)
        return VS_FALSE;
    VS_UUID ClassID = QZDataBase_ClassID;
    return SRV->IsInst(&ClassID, Object);
}

StructOfQZDataBaseLocalBuf *QZDataBase_GetLocalBuf(void *Object)
{
    if (Object == NULL)
        return NULL;
    return (StructOfQZDataBaseLocalBuf *)SRV->GetPrivateBuf(Object, SRV->GetLayer(Object), 0, NULL);
}

void *QZDataBase_GetTypeClassOf_Internal(StructOfQZDataBase *DataType)
{
    if (DataType == NULL)
        return NULL;
    return SRV->QueryFirst(&DataType->DataTypeClass);
}

void *QZDataBase_GetDataTypeClass_Internal(StructOfQZDataBase *Data)
{
    return QZDataBase_GetTypeClassOf_Internal(QZDataBase_GetDataType_Internal(Data));
}

void TrelkData_ReleaseRuleAttach(void *Item)
{
    // The attachment ends here, and its end releases the lock on its rule at
    // once, as callers expect. It is freed while the module still holds it:
    // its own lock goes with it, never let go first (on a host that frees at
    // the last unlock, a free after the unlock would free a freed object).
    if (!SRV->ChangeParent(Item, NULL, 0))
        return;
    SRV->FreeObject(Item);
}

// ---------------------------------------------------------------------------
// Walks
// ---------------------------------------------------------------------------
TrelkDataPreDefinedClasses TrelkData_PreDefined = {};

static VS_INT32 PreDefinedSlotOf(void *Object)
{
    VS_UUID *ID = Object != NULL ? SRV->GetIDEx(Object) : NULL;
    if (ID == NULL)
        return -1;
    for (VS_INT32 i = 0; i < 5; i++)
        if (Trelk_IDEqual(ID, PreDefinedDataClassID[i]))
            return i;
    return -1;
}

// Every new data object is looked at, not only until all five are known: a
// host started again makes the class objects anew, and a record left over
// from before is replaced before anything can be made from the new classes.
// Until all five are known, the class objects are recognised by ID.
static void EnterPreDefined(void *Object)
{
    VS_INT32 Slot = PreDefinedSlotOf(Object);
    if (Slot < 0 || TrelkData_PreDefined.Record[Slot] == Object)
        return;
    if (TrelkData_PreDefined.Record[Slot] == NULL)
        TrelkData_PreDefined.Known++;
    TrelkData_PreDefined.Record[Slot] = Object;
    TrelkData_ForgetChains();
}

static void ForgetPreDefined(void *Object)
{
    for (void *&Record : TrelkData_PreDefined.Record)
        if (Record == Object) {
            Record = NULL;
            TrelkData_PreDefined.Known--;
        }
}

VS_BOOL QZDataBase_IsPreDefined_DataType(StructOfQZDataBase *Data)
{
    if (Data == NULL)
        return VS_FALSE;
    if (TrelkData_PreDefined.Known == 5)
        return TrelkData_IsPreDefined(Data);
    return PreDefinedSlotOf(Data) >= 0 ? VS_TRUE : VS_FALSE;
}

StructOfQZDataBase *QZDataBase_GetObjectHasBuf_Internal(StructOfQZDataBase *Data)
{
    if (Data == NULL)
        return NULL;
    if (Data->DataBuf != NULL)
        return Data;
    // The class of a predefined class is none or another predefined one.
    if (TrelkData_IsPreDefined(Data))
        return NULL;
    StructOfQZDataBase *C = TrelkData_DataClassOf(Data);
    while (C != NULL && !TrelkData_IsPreDefined(C)) {
        if (C->DataBuf != NULL)
            return C;
        if (C->IsType)
            return NULL;
        C = TrelkData_DataClassOf(C);
    }
    return NULL;
}

VS_PARAPKGPTR QZDataBase_GetDataBuf_Internal(StructOfQZDataBase *Data)
{
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Data);
    return Holder != NULL ? Holder->DataBuf : NULL;
}

StructOfQZDataBase *QZDataBase_GetDirectDataInst_Internal(StructOfQZDataBase *Data)
{
    if (Data == NULL || TrelkData_IsPreDefined(Data))
        return Data;
    StructOfQZDataBase *X = Data;
    while (X != NULL) {
        StructOfQZDataBase *C = TrelkData_DataClassOf(X);
        if (C == NULL || C->IsType || TrelkData_IsPreDefined(C))
            return X;
        X = C;
    }
    return Data;
}

StructOfQZDataBase *QZDataBase_GetDataType_Internal(StructOfQZDataBase *Data)
{
    if (Data == NULL)
        return NULL;
    // A predefined class object is its own data type, like any type.
    if (Data->IsType || TrelkData_IsPreDefined(Data))
        return Data;
    StructOfQZDataBase *C = TrelkData_DataClassOf(Data);
    while (C != NULL) {
        if (C->IsType || TrelkData_IsPreDefined(C))
            return C;
        C = TrelkData_DataClassOf(C);
    }
    return NULL;
}

// ---------------------------------------------------------------------------
// Connected procs: the input-queue items that name a data object
// ---------------------------------------------------------------------------
// For each proc named in the data's ConnectedProc queue, frees the first item
// of its input queues that names the data. Proc IDs come from queue records
// that anything may have written, so the named object must really be a proc
// before its record is read.
static void ReleaseConnectedProcInputs(StructOfQZDataBase *Data)
{
    VS_UUID DataID = SRV->GetID(Data);
    for (void *Item = SRV->QueryFirst(&Data->ConnectedProc); Item != NULL; Item = SRV->QueryNext(Item)) {
        void *Proc = SRV->GetObject(&((StructOfQZObjectPointer *)Item)->ObjectID);
        if (!QZDataBase_IsProcObject(Proc))
            continue;
        VS_BOOL Found = VS_FALSE;
        for (void *Input = SRV->QueryFirst(&((StructOfQZProcBase *)Proc)->InputQueue); Input != NULL && !Found;
             Input = SRV->QueryNext(Input)) {
            StructOfQZDataInputContainer *Container = (StructOfQZDataInputContainer *)Input;
            for (void *Ref = SRV->QueryFirst(&Container->DataQueue); Ref != NULL; Ref = SRV->QueryNext(Ref)) {
                if (Trelk_IDEqual(&((StructOfQZObjectPointerWithChangeFlag *)Ref)->ObjectID, &DataID)) {
                    SRV->FreeObject(Ref);
                    Found = VS_TRUE;
                    break;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// System events
// ---------------------------------------------------------------------------
static void OnCreated(StructOfQZDataBase *Data)
{
    StructOfQZDataBaseLocalBuf *LocalBuf = (StructOfQZDataBaseLocalBuf *)SRV->MallocPrivateBuf(
        Data, SRV->GetLayer(Data), 0, sizeof(StructOfQZDataBaseLocalBuf));
    // A buffer that already exists keeps its package.
    if (LocalBuf != NULL && LocalBuf->CallBackObjectPkg == NULL)
        LocalBuf->CallBackObjectPkg = Trelk_GetParaPkgInterface(__LINE__);
    EnterPreDefined(Data);
    if (TrelkData_IsPreDefined(Data))
        return;

    void *Class = SRV->GetClass(Data);
    if (TrelkData_IsDataBaseClassObject(Class)) {
        // A direct instance of the QZDataBase class object is a new data type.
        Data->IsType = VS_TRUE;
        Data->ScheduleTickCount = 0;
        Data->SequenceIndex = 0;
        Data->UniformTick = Trelk_GetUniformTick();
        Data->LiveCount = 0;
        SRV->SetVString(&Data->Signature, "");
        vs_memset(&Data->OwnerProcID, 0, sizeof(VS_UUID));
        vs_memset(&Data->OwnerProcIDInCell, 0, sizeof(VS_UUID));
        vs_memset(&Data->OwnerRunnerProcID, 0, sizeof(VS_UUID));
    } else {
        // Every other data object keeps its class alive for its whole life.
        SRV->LockGC(Class);
        Data->IsType = VS_FALSE;
        StructOfQZDataBase *C = QZDataBase_IsDataObject(Class) ? (StructOfQZDataBase *)Class : NULL;
        if (C == NULL || C->IsType) {
            Data->ScheduleTickCount = 0;
            Data->SequenceIndex = 0;
            Data->UniformTick = Trelk_GetUniformTick();
        } else {
            Data->ScheduleTickCount = C->ScheduleTickCount;
            Data->UniformTick = C->UniformTick;
            Data->SequenceIndex = C->SequenceIndex;
            Data->OwnerProcID = C->OwnerProcID;
        }
        if (C == NULL || C->IsType)
            vs_memset(&Data->OwnerProcID, 0, sizeof(VS_UUID));
        SRV->SetVString(&Data->Signature, "");
        Data->LiveCount = 0;
        vs_memset(&Data->OwnerProcIDInCell, 0, sizeof(VS_UUID));
        vs_memset(&Data->OwnerRunnerProcID, 0, sizeof(VS_UUID));
    }

    // The host hands a new record over with empty pointers and queues; the
    // source list starts empty and is never inherited by copy.
    Data->SourceData = NULL;
    SRV->RegLuaGetValueFunc(Data, QZDataBase_RegGetValue, 0);
    SRV->RegLuaSetValueFunc(Data, QZDataBase_RegSetValue, 0);
    Data->ExcludeProc = SRV->CreateIDIndex_Nor(0);
    MemoryDebug_InsertObjectRecord(Data->ExcludeProc, __LINE__);
    Data->AcceptProc = SRV->CreateIDIndex_Nor(0);
    MemoryDebug_InsertObjectRecord(Data->AcceptProc, __LINE__);
    Data->RejectProc = SRV->CreateIDIndex_Nor(0);
    MemoryDebug_InsertObjectRecord(Data->RejectProc, __LINE__);
    Data->CacheDataIndex = NULL;

    VS_PARAPKGPTR InitPara = SRV->GetInitPara(Data);
    if (InitPara != NULL) {
        InitPara->AddRef();
        if (Data->DataBuf != NULL)
            Data->DataBuf->Release();
        Data->DataBuf = InitPara;
    }

    if (Data->IsType) {
        LastNewTypeTickCount = vs_tm_gettickcount64();
        SRV->InsertIDKey(GlobalDataTypeIndexTree, SRV->GetIDEx(Data), (void *)(uintptr_t)QZDATATYPE_KIND_DATA);
    }
}

static void OnBeforeFree(StructOfQZDataBase *Data)
{
    if (TrelkData_IsPreDefined(Data))
        return;
    // A datum freed out of a cell's env leaves that cell's index of it.
    Tarvex_Schedule_EnvDataLeaving(Data);

    // The callbacks and hooks below run script, which may free the data's
    // class chain (the data itself stays readable during its own event): each
    // step finds what it needs again by ID.
    void *FirstClass = SRV->GetClass(Data);
    VS_UUID FirstClassID = {};
    if (FirstClass != NULL)
        FirstClassID = SRV->GetID(FirstClass);

    // 1. Objects registered for this object's end, on the object and up its
    // class chain. The list is walked on a copy: a callback may unregister.
    for (void *X = Trelk_ChainMarkNearest(&TrelkData_FreeCallbackMark, Data); X != NULL;
         X = Trelk_ChainMarkNearest(&TrelkData_FreeCallbackMark, SRV->GetClass(X))) {
        VS_UUID XID = SRV->GetID(X);
        StructOfQZDataBaseLocalBuf *LocalBuf = QZDataBase_IsDataObject(X) ? QZDataBase_GetLocalBuf(X) : NULL;
        if (LocalBuf == NULL || LocalBuf->CallBackObjectPkg == NULL || LocalBuf->CallBackObjectPkg->GetNumber() == 0)
            continue;
        VS_PARAPKGPTR Targets = LocalBuf->CallBackObjectPkg->Dup();
        if (Targets == NULL)
            continue;
        for (VS_INT32 i = 0; i < Targets->GetNumber(); i++) {
            void *Target = Targets->GetObject(i);
            if (Target == NULL)
                continue;
            VS_UUID TargetID = SRV->GetID(Target);
            SRV->GetLastError();
            SRV->LuaPushObject(Data);
            if (Trelk_ExecNameScript(Target, "OnFreeCallback", 1, 0))
                QZProcChain_IsExecNameScriptError(SRV->GetObject(&TargetID),
                                                  "calls the function OnFreeCallback failed");
        }
        Targets->Release();
        if (X != Data && !TrelkData_Alive(X, &XID))
            break;
    }
    VS_BOOL ClassAlive = FirstClass == NULL || TrelkData_Alive(FirstClass, &FirstClassID);

    // 2. The type class hears of the end of a value it handles.
    VS_PARAPKGPTR Buf = Data->DataBuf;
    void *TypeClass = Buf != NULL && ClassAlive ? QZDataBase_GetDataTypeClass_Internal(Data) : NULL;
    if (TypeClass != NULL && Buf->GetNumber() == 1 && Buf->GetType(0) == VSTYPE_OBJECT) {
        SRV->GetLastError();
        VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
        QZDataBase_SaveZelDataProperty_Internal(Data, List);
        SRV->LuaPushObject(Buf->GetObject(0));
        SRV->LuaPushParaPkg(List, VS_FALSE);
        if (!Trelk_ExecNameScript(TypeClass, "OnBeforeFree", 2, 0))
            Trelk_Raise(Data, " has assigned DataTypeClass, but calls the function OnBeforeFree failed");
        else
            QZProcChain_IsExecNameScriptError(Data,
                                              "has assigned DataTypeClass, but calls the function OnBeforeFree failed");
        // The hook had its chance to move the lists on to another object;
        // whatever it left behind would otherwise live until shutdown.
        QZDataBase_ClearZelDataPropertyIndexes_Internal(List);
        List->Release();
    }

    // 3. Rule attachments let go of their rules.
    void *Item = SRV->QueryFirst(&Data->QZRuleAttachQueue);
    while (Item != NULL) {
        void *Next = SRV->QueryNext(Item);
        TrelkData_ReleaseRuleAttach(Item);
        Item = Next;
    }

    // 4. The type class is detached, not freed with the type.
    void *First = SRV->QueryFirst(&Data->DataTypeClass);
    if (First != NULL) {
        SRV->ChangeParent(First, NULL, 0);
        SRV->UnLockGC(First);
    }

    // The host frees the queued children (the connected-proc items among them)
    // before the freed event, so the input queues that name this data are
    // cleaned while those items still exist.
    ReleaseConnectedProcInputs(Data);
}

static void ReleaseOwnedPackages(StructOfQZDataBase *Data)
{
    if (Data->DataBuf != NULL) {
        Data->DataBuf->Release();
        Data->DataBuf = NULL;
    }
    if (Data->PropertyPkg != NULL) {
        Data->PropertyPkg->Release();
        Data->PropertyPkg = NULL;
    }
    if (Data->SourceData != NULL) {
        Data->SourceData->Release();
        Data->SourceData = NULL;
    }
}

static void OnFreed(StructOfQZDataBase *Data)
{
    TrelkData_ReleaseOwnedCopies(Data);
    StructOfQZDataBaseLocalBuf *LocalBuf = QZDataBase_GetLocalBuf(Data);
    TrelkData_DropMemberIndex(LocalBuf);
    if (LocalBuf != NULL && LocalBuf->CallBackObjectPkg != NULL) {
        LocalBuf->CallBackObjectPkg->Release();
        LocalBuf->CallBackObjectPkg = NULL;
    }
    if (TrelkData_IsPreDefined(Data)) {
        // A class object's record can be given packages by script like any
        // data object's; they are owned and go with it.
        ReleaseOwnedPackages(Data);
        SRV->FreePrivate(Data, SRV->GetLayer(Data), 0);
        ForgetPreDefined(Data);
        return;
    }

    if (Data->ExcludeProc != NULL) {
        SRV->DestoryIndex(Data->ExcludeProc);
        Data->ExcludeProc = NULL;
    }
    if (Data->RejectProc != NULL) {
        SRV->DestoryIndex(Data->RejectProc);
        Data->RejectProc = NULL;
    }
    if (Data->AcceptProc != NULL) {
        SRV->DestoryIndex(Data->AcceptProc);
        Data->AcceptProc = NULL;
    }

    ReleaseConnectedProcInputs(Data);

    ReleaseOwnedPackages(Data);

    TrelkData_ReleaseCacheIndex(&Data->CacheDataIndex);

    void *Class = SRV->GetClass(Data);
    if (Class != NULL && !TrelkData_IsDataBaseClassObject(Class))
        SRV->UnLockGC(Class);

    if (Data->IsType)
        SRV->DelIDKey(GlobalDataTypeIndexTree, SRV->GetIDEx(Data));

    SRV->FreePrivate(Data, SRV->GetLayer(Data), 0);
}

VS_INT32 QZDataBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (!QZDataBase_IsDataObject(Object))
        return 0;
    StructOfQZDataBase *Data = (StructOfQZDataBase *)Object;
    switch (SRV->GetSysEventID(EventPara)) {
    case VSEVENT_SYSTEMEVENT_ONCREATE:
        OnCreated(Data);
        break;
    case VSEVENT_SYSTEMEVENT_ONBEFOREFREE:
        OnBeforeFree(Data);
        break;
    case VSEVENT_SYSTEMEVENT_ONDESTROY: {
        VS_UUID ID = SRV->GetID(Data);
        OnFreed(Data);
        // The record goes when the event returns.
        TrelkData_ForgetChains();
        // Records that count the datum as a source stop counting it now.
        QZRealmBase_ActiveDataFreed(&ID);
        break;
    }
    default:
        break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Luafuncs: value package and type class
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_GetDataBuf(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    if (Self->IsType)
        return Trelk_Fail(Self, " is data type, can not get it's buf");
    VS_PARAPKGPTR Buf = QZDataBase_GetDataBuf_Internal(Self);
    if (Buf == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    void *TypeClass = QZDataBase_GetDataTypeClass_Internal(Self);
    if (TypeClass == NULL) {
        SRV->LuaPushParaPkg(Buf, VS_FALSE);
        return 1;
    }
    if (Buf->GetNumber() != 1 || Buf->GetType(0) != VSTYPE_OBJECT)
        return Trelk_Fail(Self, " has DataTypeClass, but it's value is invalid");
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    VS_UUID SelfID = SRV->GetID(Self);
    SRV->GetLastError();
    SRV->LuaPushObject(Buf->GetObject(0));
    SRV->LuaPushParaPkg(Result, VS_FALSE);
    VS_BOOL Failed = VS_FALSE;
    VS_BOOL Made = Trelk_ExecNameScript(TypeClass, "ToParaPkg", 2, 1);
    if (!TrelkData_Alive(Self, &SelfID)) {
        Failed = VS_TRUE; // freed by the hook: nothing to report it by
    } else if (!Made) {
        Trelk_Raise(Self, " has DataTypeClass, but call it's ToParaPkg function failed");
        Failed = VS_TRUE;
    } else if (QZProcChain_IsExecNameScriptError(Self, "has DataTypeClass, but call it's ToParaPkg function failed")) {
        Failed = VS_TRUE;
    } else if (!SRV->LuaToBool(-1)) {
        Trelk_Raise(Self, " has DataTypeClass, but call it's ToParaPkg function failed");
        Failed = VS_TRUE;
    }
    SRV->LuaPop(1);
    if (Failed) {
        Result->Release();
        SRV->LuaPushNil();
        return 1;
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZDataBase_SetDataBuf(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    if (Self->IsType)
        return Trelk_Fail(Self, " is data type, can not get it's buf");
    VS_INT32 ArgType = SRV->LuaType(2);
    VS_PARAPKGPTR Buf = NULL;
    if (ArgType == VSLUATYPE_PARAPKG) {
        Buf = SRV->LuaToParaPkg(2);
    } else if (ArgType != VSLUATYPE_NIL) {
        // Anything but a package or nil leaves the value as it is.
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    if (Buf != NULL)
        Buf->AddRef();
    if (Self->DataBuf != NULL)
        Self->DataBuf->Release();
    Self->DataBuf = Buf;
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

VS_INT32 QZDataBase_GetObjectHasBuf(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    SRV->LuaPushObject(Self != NULL ? QZDataBase_GetObjectHasBuf_Internal(Self) : NULL);
    return 1;
}

// What GetType answers: the data type of an instance; for a type its base
// type (a predefined class object answers itself).
static StructOfQZDataBase *GetTypeOf(StructOfQZDataBase *Self)
{
    if (Self == NULL)
        return NULL;
    if (!TrelkData_IsTypeLike(Self))
        return QZDataBase_GetDataType_Internal(Self);
    if (TrelkData_IsPreDefined(Self))
        return Self;
    for (StructOfQZDataBase *C = TrelkData_ClassOf(Self); C != NULL; C = TrelkData_ClassOf(C))
        if (C->IsType || TrelkData_IsPreDefined(C))
            return C;
    return NULL;
}

VS_INT32 QZDataBase_GetType(void *L)
{
    (void)L;
    SRV->LuaPushObject(GetTypeOf(TrelkData_SelfArg()));
    return 1;
}

VS_INT32 QZDataBase_GetTypeName(void *L)
{
    (void)L;
    StructOfQZDataBase *Type = GetTypeOf(TrelkData_SelfArg());
    SRV->LuaPushString(Trelk_Name(Type));
    return 1;
}

VS_INT32 QZDataBase_SetDataTypeClass(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    if (!Self->IsType)
        return Trelk_FailFalse(Self, " set DataTypeClass failed, it must be a data type");
    VS_INT32 ArgType = SRV->LuaType(2);
    if (ArgType != VSLUATYPE_NIL && ArgType != VSLUATYPE_OBJECT) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    void *NewClass = ArgType == VSLUATYPE_OBJECT ? Trelk_ObjectArg(2) : NULL;

    void *Old;
    while ((Old = SRV->QueryFirst(&Self->DataTypeClass)) != NULL) {
        if (!SRV->ChangeParent(Old, NULL, 0))
            break;
        SRV->UnLockGC(Old);
    }
    if (NewClass == NULL) {
        SRV->LuaPushBool(VS_TRUE);
        return 1;
    }

    OBJECTATTRIBUTEINDEX Index = SRV->GetAttributeIndex(QZDataBaseClass, "DataTypeClass");
    // A type class taken over from another type brings that type's lock with
    // it: the object stays locked once while it sits in a type-class queue.
    void *OldParent = SRV->GetParent(NewClass);
    VS_BOOL WasTypeClass = QZDataBase_IsDataObject(OldParent) && SRV->GetIndex(NewClass) == Index;
    if (!SRV->ChangeParent(NewClass, Self, Index)) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    if (!WasTypeClass)
        SRV->LockGC(NewClass);
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

VS_INT32 QZDataBase_GetDataTypeClass(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    SRV->LuaPushObject(Self != NULL ? QZDataBase_GetDataTypeClass_Internal(Self) : NULL);
    return 1;
}

VS_INT32 QZDataBase_HasDataTypeClass(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    SRV->LuaPushBool(Self != NULL && QZDataBase_GetDataTypeClass_Internal(Self) != NULL ? VS_TRUE : VS_FALSE);
    return 1;
}
