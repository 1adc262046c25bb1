// The input and output containers of procs: their system events and the
// luafuncs of the input container.
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"

// Class objects get their events while they register, before the class
// globals are set; only instances are containers of a proc.
static VS_BOOL IsContainerInstance(void *Object, void *ClassObject)
{
    return ClassObject != NULL && Object != ClassObject && Trelk_IsInstOf(Object, ClassObject);
}

// ---------------------------------------------------------------------------
// Input container
// ---------------------------------------------------------------------------
// The ID of the object DataObjectInst names, kept in the container's private
// buffer: the record has no room for it. Made when an object is first set.
struct StructOfQZDataInputContainerLocalBuf {
    VS_UUID DataObjectID;
    StructOfQZDataBase *Recorded; // the pointer DataObjectID belongs to
};

static StructOfQZDataInputContainerLocalBuf *InputLocalBuf(StructOfQZDataInputContainer *Container,
                                                           VS_BOOL Make)
{
    VS_ULONG Layer = SRV->GetLayer(Container);
    VS_ULONG Size = 0;
    void *Buf = SRV->GetPrivateBuf(Container, Layer, 0, &Size);
    if (Buf != NULL && Size >= sizeof(StructOfQZDataInputContainerLocalBuf))
        return (StructOfQZDataInputContainerLocalBuf *)Buf;
    if (!Make)
        return NULL;
    return (StructOfQZDataInputContainerLocalBuf *)SRV->MallocPrivateBuf(
        Container, Layer, 0, sizeof(StructOfQZDataInputContainerLocalBuf));
}

// Keeps Data's ID (or none) beside the record's pointer.
static void RecordInputObject(StructOfQZDataInputContainer *Container, StructOfQZDataBase *Data,
                              const VS_UUID *DataID)
{
    Container->DataObjectInst = Data;
    StructOfQZDataInputContainerLocalBuf *Buf = InputLocalBuf(Container, Data != NULL ? VS_TRUE : VS_FALSE);
    if (Buf == NULL)
        return;
    Buf->Recorded = Data;
    if (DataID != NULL)
        Buf->DataObjectID = *DataID;
    else
        vs_memset(&Buf->DataObjectID, 0, sizeof(VS_UUID));
}

StructOfQZDataBase *TrelkProc_InputObject(StructOfQZDataInputContainer *Container)
{
    if (Container == NULL || Container->DataObjectInst == NULL)
        return NULL;
    StructOfQZDataInputContainerLocalBuf *Buf = InputLocalBuf(Container, VS_FALSE);
    if (Buf == NULL || Buf->Recorded != Container->DataObjectInst) {
        // Set straight into the record (a loaded container): the object was
        // alive then; from here on it is followed by its ID.
        VS_UUID ID = SRV->GetID(Container->DataObjectInst);
        RecordInputObject(Container, Container->DataObjectInst, &ID);
        Buf = InputLocalBuf(Container, VS_FALSE);
        if (Buf == NULL)
            return NULL;
    }
    void *Live = SRV->GetObject(&Buf->DataObjectID);
    return Live == Container->DataObjectInst ? (StructOfQZDataBase *)Live : NULL;
}

void TrelkProc_SetInputObject(StructOfQZDataInputContainer *Container, StructOfQZDataBase *Data, VS_BOOL TakeLock)
{
    if (Container == NULL)
        return;
    // The new object is held before the old one is let go: they may be one.
    VS_UUID DataID;
    if (Data != NULL) {
        DataID = SRV->GetID(Data);
        if (TakeLock)
            SRV->LockGC(Data);
    }
    StructOfQZDataBase *Old = TrelkProc_InputObject(Container);
    RecordInputObject(Container, Data, Data != NULL ? &DataID : NULL);
    if (Old != NULL)
        SRV->UnLockGC(Old);
}

void TrelkProc_CopyInputObject(StructOfQZDataInputContainer *To, StructOfQZDataInputContainer *From)
{
    if (To == NULL || From == NULL)
        return;
    StructOfQZDataBase *Live = TrelkProc_InputObject(From);
    if (Live != NULL || From->DataObjectInst == NULL) {
        TrelkProc_SetInputObject(To, Live, VS_TRUE);
        return;
    }
    StructOfQZDataInputContainerLocalBuf *FromBuf = InputLocalBuf(From, VS_FALSE);
    StructOfQZDataBase *Old = TrelkProc_InputObject(To);
    RecordInputObject(To, From->DataObjectInst, FromBuf != NULL ? &FromBuf->DataObjectID : NULL);
    if (Old != NULL)
        SRV->UnLockGC(Old);
}

static void InputCreated(StructOfQZDataInputContainer *Container)
{
    Container->IsOnlyDirect = VS_FALSE;
    Container->IsFromInternal = VS_FALSE;
    Container->IsSlave = VS_FALSE;
    Container->IsMustExist = VS_TRUE;
    Container->DataObjectInst = NULL;
}

static void InputBeforeFree(StructOfQZDataInputContainer *Container)
{
    if (Container->DataLocalBuf != NULL) {
        Container->DataLocalBuf->Release();
        Container->DataLocalBuf = NULL;
    }
    Container->IsOnlyDirect = VS_FALSE;
    Container->IsFromInternal = VS_FALSE;
    Container->IsSlave = VS_FALSE;
    Container->IsMustExist = VS_TRUE;
    TrelkProc_SetInputObject(Container, NULL, VS_FALSE);
    void *Parent = SRV->GetParent(Container);
    VS_BOOL HasProc = Parent != NULL && Trelk_IsInstOf(Parent, QZProcBaseClass);
    VS_UUID ProcID;
    if (HasProc)
        ProcID = SRV->GetID(Parent);
    TrelkDrain DrainItem;
    for (void *Item = Trelk_DrainFirst(&DrainItem, &Container->DataQueue); Item != NULL;
         Item = Trelk_DrainNext(&DrainItem, Item)) {
        if (HasProc) {
            void *Data = SRV->GetObject(&((StructOfQZObjectPointerWithChangeFlag *)Item)->ObjectID);
            if (QZDataBase_IsDataObject(Data))
                Tarvex_ScheduleProc_QZDataUnConnect((StructOfQZDataBase *)Data, &ProcID);
        }
        SRV->FreeObject(Item);
    }
}

VS_INT32 QZDataInputContainer_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (!IsContainerInstance(Object, QZDataInputContainerClass))
        return 0;
    StructOfQZDataInputContainer *Container = (StructOfQZDataInputContainer *)Object;
    switch (SRV->GetSysEventID(EventPara)) {
    case VSEVENT_SYSTEMEVENT_ONCREATE:
        InputCreated(Container);
        break;
    case VSEVENT_SYSTEMEVENT_ONBEFOREFREE:
        InputBeforeFree(Container);
        break;
    default:
        break;
    }
    return 0;
}

static StructOfQZDataInputContainer *InputSelfArg()
{
    void *Self = SRV->LuaToObject(1);
    if (Self == NULL || QZDataInputContainerClass == NULL)
        return NULL;
    // The class object keeps no package: nothing would release it before
    // shutdown.
    if (!Trelk_IsInstOf(Self, QZDataInputContainerClass))
        return NULL;
    return (StructOfQZDataInputContainer *)Self;
}

VS_INT32 QZDataInputContainer_GetLocalBuf(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Self = InputSelfArg();
    if (Self == NULL || Self->DataLocalBuf == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(Self->DataLocalBuf, VS_FALSE);
    return 1;
}

// Replaces the package an input keeps; nil clears it. The new package is
// taken before the old one is let go, so that setting the same package again
// cannot free it on the way.
void TrelkProc_SetInputLocalBuf(StructOfQZDataInputContainer *Container, VS_PARAPKGPTR Buf)
{
    if (Buf != NULL)
        Buf->AddRef();
    VS_PARAPKGPTR Old = Container->DataLocalBuf;
    Container->DataLocalBuf = Buf;
    if (Old != NULL)
        Old->Release();
}

VS_INT32 QZDataInputContainer_SetLocalBuf(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Self = InputSelfArg();
    if (Self == NULL)
        return 0;
    VS_INT32 Type = SRV->LuaType(2);
    if (Type == VSLUATYPE_PARAPKG)
        TrelkProc_SetInputLocalBuf(Self, SRV->LuaToParaPkg(2));
    else if (Type == VSLUATYPE_NIL)
        TrelkProc_SetInputLocalBuf(Self, NULL);
    return 0;
}

VS_INT32 QZDataInputContainer_GetDataNumber(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Self = InputSelfArg();
    SRV->LuaPushInt(Self != NULL ? Tarvex_ScheduleProc_GetItemNumber(&Self->DataQueue) : 0);
    return 1;
}

// ---------------------------------------------------------------------------
// Output container
// ---------------------------------------------------------------------------
VS_INT32 QZDataOutputContainer_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (!IsContainerInstance(Object, QZDataOutputContainerClass))
        return 0;
    StructOfQZDataOutputContainer *Container = (StructOfQZDataOutputContainer *)Object;
    switch (SRV->GetSysEventID(EventPara)) {
    case VSEVENT_SYSTEMEVENT_ONCREATE:
        Container->ChangeFlag = VS_FALSE;
        Container->IsMustExist = VS_FALSE;
        Container->ReturnNumber = 1;
        break;
    case VSEVENT_SYSTEMEVENT_ONBEFOREFREE:
        TrelkProc_ReleaseQueue(&Container->QZData);
        break;
    default:
        break;
    }
    return 0;
}
