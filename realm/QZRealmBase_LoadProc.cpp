// Loading saved procs and chains. The checks run over a whole record before
// anything is made and stop at the first fault with one report; the loaders
// then build in saved order, so that queues come back in the order they were
// written.
#include "trelk_realm_internal.h"
#include "trelk_proc_internal.h"

#include <cstdio>
#include <cstring>

static const VS_CHAR *GetText(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    return QZProcBase_OnSaveProc_GetPackageValueFromKey(Pkg, Key);
}

static VS_PARAPKGPTR GetList(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    return QZProcBase_OnSaveProc_GetParaValueFromKey(Pkg, Key);
}

static void LoadFailed(void *RefObject, VS_INT32 Level, const VS_CHAR *Format, ...) TRELK_PRINTF(3, 4);

static void LoadFailed(void *RefObject, VS_INT32 Level, const VS_CHAR *Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    QZRealmBase_RaiseExceptionV(RefObject, Level, QUEL_TRELK_MODULENAME, 0, Format, Args);
    va_end(Args);
}

// Index of a scalar value of Key, -1 when absent.
static VS_INT32 ValueIndex(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    VS_INT32 i = Pkg != NULL ? Pkg->FindDict(Key) : -1;
    return i >= 0 && i < Pkg->GetNumber() ? i : -1;
}

static VS_BOOL GetFlag(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_BOOL Default)
{
    VS_INT32 i = ValueIndex(Pkg, Key);
    return i >= 0 ? Pkg->GetBool(i) : Default;
}

// The package item i of a list, or NULL when it is none.
static VS_PARAPKGPTR ListItem(VS_PARAPKGPTR List, VS_INT32 i)
{
    return List->GetType(i) == VSTYPE_PARAPKG ? List->GetParaPackage(i) : NULL;
}

static VS_BOOL IsProcKind(const VS_CHAR *Type)
{
    return Type != NULL && (strcmp(Type, "QZProc") == 0 || strcmp(Type, "QZProcRemote") == 0 ||
                            strcmp(Type, "QZCell") == 0);
}

static void *FindClass(const VS_CHAR *Name)
{
    return Name != NULL ? SRV->GetObjectEx(NULL, Name) : NULL;
}

// Records nest chains in procs in chains; a record nested deeper than any
// saved one can be is refused before it exhausts the stack.
static thread_local VS_INT32 CheckDepth = 0;

struct CheckDepthGuard {
    VS_BOOL TooDeep;
    CheckDepthGuard() { TooDeep = ++CheckDepth > TRELK_SAVED_MAXDEPTH ? VS_TRUE : VS_FALSE; }
    ~CheckDepthGuard() { --CheckDepth; }
};

// ---------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------
VS_BOOL QZRealmBase_CheckValid_Object(const VS_CHAR *ClassName)
{
    if (ClassName == NULL)
        ClassName = "";
    VS_CHAR Name[256];
    snprintf(Name, sizeof(Name), "%s", ClassName);
    VS_CHAR *Dot = strchr(Name, '.');
    if (Dot != NULL) {
        *Dot = 0;
        if (Name[0] == 0) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, ObjectSpace name is empty");
            return VS_FALSE;
        }
        if (SRV->GetObjectEx(NULL, Name) == NULL) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, ObjectSpace [%s] is not found", Name);
            return VS_FALSE;
        }
    }
    // The whole name, not the shortened copy: a cut name could be another
    // class. An empty name would find any unnamed object.
    if (ClassName[0] == 0 || FindClass(ClassName) == NULL) {
        LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, ObjectClass [%s] is not found", ClassName);
        return VS_FALSE;
    }
    return VS_TRUE;
}

// A list of chain records under Key: each must be a package of Type
// "QZProcChain" that passes the chain check.
static VS_BOOL CheckChainList(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_BOOL IsStrictmatch)
{
    VS_PARAPKGPTR List = GetList(Pkg, Key);
    for (VS_INT32 i = 0; List != NULL && i < List->GetNumber(); i++) {
        VS_PARAPKGPTR Item = ListItem(List, i);
        if (Item == NULL) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, item[%d] of %s is invalid", i, Key);
            return VS_FALSE;
        }
        const VS_CHAR *Type = GetText(Item, "Type");
        if (Type == NULL) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, Type of item[%d] of %s is not found", i, Key);
            return VS_FALSE;
        }
        if (strcmp(Type, "QZProcChain") != 0) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, Type of item[%d] of %s is not supported", i, Key);
            return VS_FALSE;
        }
        if (!QZRealmBase_CheckValid_QZProcChain(Item, (VS_CHAR *)"QZProcChain", IsStrictmatch))
            return VS_FALSE;
    }
    return VS_TRUE;
}

// The kind of a record must fit its class: the loader reads and writes the
// remote or cell fields of the new object by the kind.
static VS_BOOL KindFitsClass(void *Class, const VS_CHAR *Type)
{
    if (Type != NULL && strcmp(Type, "QZProcRemote") == 0)
        return Class == QZProcRemoteBaseClass || Trelk_IsInstOf(Class, QZProcRemoteBaseClass);
    if (Type != NULL && strcmp(Type, "QZCell") == 0)
        return Class == QZCellBaseClass || Trelk_IsInstOf(Class, QZCellBaseClass);
    return VS_TRUE;
}

static VS_BOOL CheckOutputs(VS_PARAPKGPTR Pkg, StructOfQZProcBase *Class, VS_BOOL CompareWithClass)
{
    VS_PARAPKGPTR List = GetList(Pkg, "OutputQueue");
    for (VS_INT32 i = 0; List != NULL && i < List->GetNumber(); i++) {
        VS_PARAPKGPTR Item = ListItem(List, i);
        if (Item == NULL) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, item[%d] of OutputQueue is invalid", i);
            return VS_FALSE;
        }
        const VS_CHAR *Name = GetText(Item, "DataBaseName");
        const VS_CHAR *Original = GetText(Item, "OriginalDataBaseName");
        if (Name == NULL) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, no DataBaseName of OutputQueue is found from input");
            return VS_FALSE;
        }
        if (!QZRealmBase_CheckValid_Object(Name) || (Original != NULL && !QZRealmBase_CheckValid_Object(Original)))
            return VS_FALSE;
        if (!CompareWithClass)
            continue;
        StructOfQZDataOutputContainer *Found = NULL;
        for (void *X = SRV->QueryFirst(&Class->OutputQueue); X != NULL && Found == NULL; X = SRV->QueryNext(X)) {
            void *DataClass = SRV->GetObject(&((StructOfQZDataOutputContainer *)X)->DataBaseID);
            if (DataClass != NULL && strcmp(Trelk_Name(DataClass), Name) == 0)
                Found = (StructOfQZDataOutputContainer *)X;
        }
        VS_BOOL Fits = VS_FALSE;
        if (Found != NULL) {
            if (Original == NULL)
                Fits = Trelk_IsZeroID(&Found->OriginalDataBaseID);
            else if (!Trelk_IsZeroID(&Found->OriginalDataBaseID)) {
                void *OriginalClass = SRV->GetObject(&Found->OriginalDataBaseID);
                Fits = OriginalClass != NULL && strcmp(Trelk_Name(OriginalClass), Original) == 0;
            }
        }
        if (!Fits) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, OutputQueue is not same with it's class");
            return VS_FALSE;
        }
    }
    return VS_TRUE;
}

VS_BOOL QZRealmBase_CheckValid_InputQueue(VS_INT32 InputQueueIndex, StructOfQZProcBase *QZProcClass,
                                          VS_PARAPKGPTR ParaPkg, VS_BOOL IsStrictmatch)
{
    const VS_CHAR *Name = GetText(ParaPkg, "DataBaseName");
    if (Name == NULL) {
        LoadFailed(QZProcClass, TRELK_ALARM_WARN, "Load object failed, no DataBaseName of InputQueue is found from input");
        return VS_FALSE;
    }
    if (!QZRealmBase_CheckValid_Object(Name))
        return VS_FALSE;
    VS_INT32 RequestIndex = ValueIndex(ParaPkg, "RequestNumber");
    if (RequestIndex < 0) {
        LoadFailed(QZProcClass, TRELK_ALARM_WARN,
                   "Load object failed, no RequestNumber of InputQueue is found from input");
        return VS_FALSE;
    }
    // The proc class objects declare no inputs: a record of one of them (a
    // base cell made around an appended chain, say) carries its own.
    if (QZProcClass == NULL || TrelkProc_IsProcClassObject(QZProcClass))
        return VS_TRUE;
    VS_INT32 RequestNumber = ParaPkg->GetInt(RequestIndex);
    VS_BOOL IsOnlyDirect = GetFlag(ParaPkg, "IsOnlyDirect", VS_FALSE);
    VS_BOOL IsSlave = GetFlag(ParaPkg, "IsSlave", VS_FALSE);
    VS_BOOL IsMustExist = GetFlag(ParaPkg, "IsMustExist", VS_TRUE);
    const VS_CHAR *ClassName = Trelk_Name(QZProcClass);
    StructOfQZDataInputContainer *Input = QZProcBase_GetInputByIndex_Internal(QZProcClass, InputQueueIndex);
    if (Input == NULL || Input->RequestNumber != RequestNumber ||
        (IsStrictmatch && ((Input->IsOnlyDirect != 0) != (IsOnlyDirect != 0) || (Input->IsSlave != 0) != (IsSlave != 0) ||
                           (Input->IsMustExist != 0) != (IsMustExist != 0)))) {
        LoadFailed(QZProcClass, TRELK_ALARM_WARN, "Load object failed, InputQueue is not same with it's class [%s]",
                   ClassName);
        return VS_FALSE;
    }
    void *DataClass = SRV->GetObject(&Input->DataBaseID);
    if (DataClass == NULL) {
        LoadFailed(QZProcClass, TRELK_ALARM_WARN, "Load object failed, InputQueue[%s] is not same with it's class [%s][NULL]",
                   Name, ClassName);
        return VS_FALSE;
    }
    if (strcmp(Trelk_Name(DataClass), Name) != 0) {
        LoadFailed(QZProcClass, TRELK_ALARM_WARN, "Load object failed, InputQueue[%s] is not same with it's class [%s][%s]",
                   Name, ClassName, Trelk_Name(DataClass));
        return VS_FALSE;
    }
    return VS_TRUE;
}

VS_BOOL QZRealmBase_CheckValid_QZProc(VS_PARAPKGPTR QZProcPkg, VS_CHAR *Type, VS_BOOL IsStrictmatch)
{
    if (QZProcPkg == NULL)
        return VS_FALSE;
    CheckDepthGuard Depth;
    if (Depth.TooDeep) {
        LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, QZProcChain is nested too deep");
        return VS_FALSE;
    }
    const VS_CHAR *ClassName = GetText(QZProcPkg, "ClassName");
    if (ClassName == NULL) {
        LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, no ClassName is found from input");
        return VS_FALSE;
    }
    if (!QZRealmBase_CheckValid_Object(ClassName))
        return VS_FALSE;
    if (!CheckChainList(QZProcPkg, "QZProcChild", IsStrictmatch))
        return VS_FALSE;
    // Only a proc type can be read as a proc record at all.
    void *Class = FindClass(ClassName);
    VS_BOOL IsClassObject = TrelkProc_IsProcClassObject(Class);
    if (Class == NULL || (!IsClassObject && !(TrelkChain_IsProc(Class) && ((StructOfQZProcBase *)Class)->IsType))) {
        LoadFailed(NULL, TRELK_ALARM_ERROR, "Load object failed, process [%s] is not a type. Maybe error in some where",
                   ClassName);
        return VS_FALSE;
    }
    if (!KindFitsClass(Class, Type)) {
        LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, process [%s] is not of kind [%s]", ClassName,
                   Type != NULL ? Type : "");
        return VS_FALSE;
    }
    StructOfQZProcBase *ProcClass = (StructOfQZProcBase *)Class;
    VS_PARAPKGPTR Inputs = GetList(QZProcPkg, "InputQueue");
    for (VS_INT32 i = 0; Inputs != NULL && i < Inputs->GetNumber(); i++) {
        VS_PARAPKGPTR Item = ListItem(Inputs, i);
        if (Item == NULL) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, item[%d] of InputQueue is invalid", i);
            return VS_FALSE;
        }
        if (!QZRealmBase_CheckValid_InputQueue(i, IsClassObject ? NULL : ProcClass, Item, IsStrictmatch))
            return VS_FALSE;
    }
    if (!CheckOutputs(QZProcPkg, ProcClass, !IsClassObject))
        return VS_FALSE;
    if (Type != NULL && strcmp(Type, "QZCell") == 0 && !CheckChainList(QZProcPkg, "ProcChainQueue", IsStrictmatch))
        return VS_FALSE;
    return VS_TRUE;
}

VS_BOOL QZRealmBase_CheckValid_QZProcChain(VS_PARAPKGPTR QZProcChainPkg, VS_CHAR *Type, VS_BOOL IsStrictmatch)
{
    (void)Type;
    VS_PARAPKGPTR List = GetList(QZProcChainPkg, "QZProcBase");
    if (List == NULL) {
        LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, no QZProcBase of QZProcChain is found from input");
        return VS_FALSE;
    }
    for (VS_INT32 i = 0; i < List->GetNumber(); i++) {
        VS_PARAPKGPTR Item = ListItem(List, i);
        if (Item == NULL) {
            LoadFailed(NULL, TRELK_ALARM_WARN, "Load object failed, item[%d] of QZProcBase is invalid", i);
            return VS_FALSE;
        }
        const VS_CHAR *ItemType = GetText(Item, "Type");
        if (ItemType == NULL) {
            LoadFailed(NULL, TRELK_ALARM_WARN,
                       "Load object failed, Type of item[%d] of QZProcBase is not found", i);
            return VS_FALSE;
        }
        if (!IsProcKind(ItemType)) {
            LoadFailed(NULL, TRELK_ALARM_WARN,
                       "Load object failed, Type of item[%d] of QZProcBase is not supported", i);
            return VS_FALSE;
        }
        VS_CHAR Kind[16];
        snprintf(Kind, sizeof(Kind), "%s", ItemType);
        if (!QZRealmBase_CheckValid_QZProc(Item, Kind, IsStrictmatch))
            return VS_FALSE;
    }
    return VS_TRUE;
}

// ---------------------------------------------------------------------------
// Loaders
// ---------------------------------------------------------------------------
// The chains being loaded, innermost first. A child chain's last proc that
// names its rejoin proc by position (saved without object IDs) waits here
// until the enclosing chain has all its procs.
struct StructOfLoadChainContext {
    VS_PARAPKGPTR Pending; // pairs: the waiting proc, the position of its rejoin proc
    StructOfLoadChainContext *Up;
};
static thread_local StructOfLoadChainContext *LoadChainContext = NULL;

static const VS_CHAR PositionPrefix[] = "00000000-0000-0000-0000-";

// The position a rejoin text names, or -1 when it is an object ID.
static VS_INT32 RejoinPosition(const VS_CHAR *Text)
{
    if (Text == NULL || strncmp(Text, PositionPrefix, sizeof(PositionPrefix) - 1) != 0)
        return -1;
    const VS_CHAR *Digits = Text + sizeof(PositionPrefix) - 1;
    if (strlen(Digits) != 12)
        return -1;
    unsigned Position = 0;
    for (const VS_CHAR *c = Digits; *c != 0; c++) {
        unsigned v = (*c >= '0' && *c <= '9') ? (unsigned)(*c - '0')
                     : (*c >= 'A' && *c <= 'F') ? (unsigned)(*c - 'A' + 10)
                     : (*c >= 'a' && *c <= 'f') ? (unsigned)(*c - 'a' + 10)
                                                : 16u;
        if (v > 15 || Position > 0x7FFFFFFu)
            return -1;
        Position = Position * 16 + v;
    }
    return (VS_INT32)Position;
}

static void NoteFixUp(VS_PARAPKGPTR List, const VS_CHAR *ObjectID, void *Object)
{
    if (List == NULL || ObjectID == NULL)
        return;
    VS_PARAPKGPTR Entry = Trelk_GetParaPkgInterface(__LINE__);
    Entry->InsertStr(0, "ObjectID");
    Entry->InsertStr(1, ObjectID);
    Entry->InsertStr(2, "Object");
    Entry->InsertObject(3, Object);
    Entry->AsDict(VS_TRUE);
    List->InsertParaPackage(List->GetNumber(), Entry);
    Entry->Release();
}

void QZRealmBase_Load_InputQueue(StructOfQZDataInputContainer *QZDataInputContainer, VS_PARAPKGPTR ParaPkg,
                                 VS_PARAPKGPTR NextQZProcRecord)
{
    StructOfQZDataInputContainer *In = QZDataInputContainer;
    if (In == NULL || ParaPkg == NULL)
        return;
    void *DataClass = FindClass(GetText(ParaPkg, "DataBaseName"));
    if (DataClass != NULL)
        In->DataBaseID = SRV->GetID(DataClass);
    VS_INT32 RequestIndex = ValueIndex(ParaPkg, "RequestNumber");
    if (RequestIndex >= 0)
        In->RequestNumber = ParaPkg->GetInt(RequestIndex);
    In->IsOnlyDirect = GetFlag(ParaPkg, "IsOnlyDirect", VS_FALSE);
    In->IsSlave = GetFlag(ParaPkg, "IsSlave", VS_FALSE);
    In->IsMustExist = GetFlag(ParaPkg, "IsMustExist", VS_TRUE);

    VS_INT32 InstIndex = ValueIndex(ParaPkg, "DataObjectInst");
    if (InstIndex < 0) {
        TrelkProc_SetInputObject(In, NULL, VS_FALSE);
    } else {
        const VS_CHAR *Json = ParaPkg->GetStr(InstIndex);
        VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
        // Loading the datum and reporting both run scripts: the container
        // is found again after them.
        VS_UUID InID = SRV->GetID(In);
        if (Json == NULL || !Record->FromJSon(Json)) {
            const VS_CHAR *Why = Json != NULL ? Record->GetJSonError() : "the saved record is no text";
            QZRealmBase_RaiseException(NULL, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                       "can not load InputQueue, DataObjectInst load failed (%s)",
                                       Why != NULL ? Why : "the text does not read");
        } else {
            StructOfQZDataBase *Data = (StructOfQZDataBase *)QZDataBase_LoadFrom_Internal(Record);
            if (Data == NULL)
                QZRealmBase_RaiseException(NULL, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                           "can not load InputQueue, DataObjectInst load failed");
            In = (StructOfQZDataInputContainer *)SRV->GetObject(&InID);
            if (In != NULL)
                TrelkProc_SetInputObject(In, Data, VS_FALSE); // its creation lock is the container's hold
            else if (Data != NULL)
                SRV->UnLockGC(Data);
        }
        Record->Release();
        In = (StructOfQZDataInputContainer *)SRV->GetObject(&InID);
        if (In == NULL)
            return;
    }

    if (In->DataLocalBuf != NULL)
        In->DataLocalBuf->Release();
    In->DataLocalBuf = NULL;
    const VS_CHAR *LocalBuf = GetText(ParaPkg, "DataLocalBuf");
    VS_PARAPKGPTR BadLocalBuf = NULL;
    if (LocalBuf != NULL) {
        VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
        if (Pkg->FromJSon(LocalBuf))
            In->DataLocalBuf = Pkg;
        else
            BadLocalBuf = Pkg;
    }
    const VS_CHAR *ProcID = GetText(ParaPkg, "QZProcID");
    if (ProcID != NULL) {
        SRV->StringToUuid(ProcID, &In->QZProcID);
        NoteFixUp(NextQZProcRecord, ProcID, In);
    }
    if (BadLocalBuf != NULL) {
        // The input loads without it: said once the container is complete,
        // since the report runs script code.
        const VS_CHAR *Why = BadLocalBuf->GetJSonError();
        QZRealmBase_RaiseException(NULL, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "can not load InputQueue, DataLocalBuf load failed (%s)",
                                   Why != NULL ? Why : "the text does not read");
        BadLocalBuf->Release();
    }
}

static void FreeQueue(void *QueueHead)
{
    TrelkDrain DrainX;
    for (void *X = Trelk_DrainFirst(&DrainX, QueueHead); X != NULL; X = Trelk_DrainNext(&DrainX, X))
        SRV->FreeObject(X);
}

// Loads the chain records of List into the queue Index of Owner, in saved
// order.
static void LoadChainList(void *Owner, OBJECTATTRIBUTEINDEX Index, VS_PARAPKGPTR List, VS_PARAPKGPTR QZProcRecord,
                          VS_PARAPKGPTR NextQZProcRecord)
{
    for (VS_INT32 i = 0; List != NULL && i < List->GetNumber(); i++) {
        VS_PARAPKGPTR Item = ListItem(List, i);
        const VS_CHAR *Type = GetText(Item, "Type");
        if (Item == NULL || Type == NULL || strcmp(Type, "QZProcChain") != 0)
            continue;
        void *Chain = QZRealmBase_Load_QZProcChain(Item, (VS_CHAR *)"QZProcChain", QZProcRecord, NextQZProcRecord);
        if (Chain != NULL && !SRV->ChangeParent(Chain, Owner, Index))
            SRV->FreeObject(Chain);
    }
}

void *QZRealmBase_Load_QZProc(VS_PARAPKGPTR QZProcPkg, VS_CHAR *Type, VS_PARAPKGPTR QZProcRecord,
                              VS_PARAPKGPTR NextQZProcRecord)
{
    void *Class = FindClass(GetText(QZProcPkg, "ClassName"));
    if (Class == NULL)
        return NULL;
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(Class), 0, NULL);
    if (!TrelkChain_IsProc(Proc)) {
        if (Proc != NULL)
            SRV->FreeObject(Proc);
        return NULL;
    }
    NoteFixUp(QZProcRecord, GetText(QZProcPkg, "ObjectID"), Proc);
    const VS_CHAR *NextText = GetText(QZProcPkg, "QZProcNext");
    VS_INT32 Position = RejoinPosition(NextText);
    if (NextText != NULL && Position >= 0 && LoadChainContext != NULL && LoadChainContext->Up != NULL) {
        VS_PARAPKGPTR Pending = LoadChainContext->Up->Pending;
        Pending->InsertObject(Pending->GetNumber(), Proc);
        Pending->InsertInt(Pending->GetNumber(), Position);
    } else {
        NoteFixUp(NextQZProcRecord, NextText, Proc);
    }
    Proc->ChildEndMarker = GetFlag(QZProcPkg, "ChildEndMarker", VS_FALSE);

    LoadChainList(Proc, SRV->GetAttributeIndex(QZProcBaseClass, "QZProcChild"), GetList(QZProcPkg, "QZProcChild"),
                  QZProcRecord, NextQZProcRecord);

    FreeQueue(&Proc->InputQueue);
    FreeQueue(&Proc->OutputQueue);
    OBJECTATTRIBUTEINDEX InputIndex = SRV->GetAttributeIndex(QZProcBaseClass, "InputQueue");
    OBJECTATTRIBUTEINDEX OutputIndex = SRV->GetAttributeIndex(QZProcBaseClass, "OutputQueue");
    VS_PARAPKGPTR Inputs = GetList(QZProcPkg, "InputQueue");
    for (VS_INT32 i = 0; Inputs != NULL && i < Inputs->GetNumber(); i++) {
        VS_PARAPKGPTR Item = ListItem(Inputs, i);
        StructOfQZDataInputContainer *In = Item != NULL ? (StructOfQZDataInputContainer *)SRV->MallocObjectL(
                                                              SRV->GetIDEx(QZDataInputContainerClass), 0, NULL)
                                                        : NULL;
        if (In == NULL)
            continue;
        In->Index = i;
        QZRealmBase_Load_InputQueue(In, Item, NextQZProcRecord);
        if (!SRV->ChangeParent(In, Proc, InputIndex))
            SRV->FreeObject(In);
    }
    VS_PARAPKGPTR Outputs = GetList(QZProcPkg, "OutputQueue");
    for (VS_INT32 i = 0; Outputs != NULL && i < Outputs->GetNumber(); i++) {
        VS_PARAPKGPTR Item = ListItem(Outputs, i);
        StructOfQZDataOutputContainer *Out = Item != NULL ? (StructOfQZDataOutputContainer *)SRV->MallocObjectL(
                                                                SRV->GetIDEx(QZDataOutputContainerClass), 0, NULL)
                                                          : NULL;
        if (Out == NULL)
            continue;
        void *DataClass = FindClass(GetText(Item, "DataBaseName"));
        void *Original = FindClass(GetText(Item, "OriginalDataBaseName"));
        if (DataClass != NULL)
            Out->DataBaseID = SRV->GetID(DataClass);
        if (Original != NULL)
            Out->OriginalDataBaseID = SRV->GetID(Original);
        else
            memset(&Out->OriginalDataBaseID, 0, sizeof(VS_UUID));
        Out->ChangeFlag = VS_FALSE;
        Out->IsMustExist = GetFlag(Item, "IsMustExist", VS_FALSE);
        VS_INT32 ReturnIndex = ValueIndex(Item, "ReturnNumber");
        Out->ReturnNumber = ReturnIndex >= 0 ? Item->GetInt(ReturnIndex) : 1;
        if (!SRV->ChangeParent(Out, Proc, OutputIndex))
            SRV->FreeObject(Out);
    }

    if (Type != NULL && strcmp(Type, "QZProcRemote") == 0 && Trelk_IsInstOf(Proc, QZProcRemoteBaseClass)) {
        StructOfQZProcRemoteBase *Remote = (StructOfQZProcRemoteBase *)Proc;
        const VS_CHAR *Url = GetText(QZProcPkg, "Url");
        const VS_CHAR *RemoteName = GetText(QZProcPkg, "RemoteQZProcName");
        if (Url != NULL)
            SRV->SetVString(&Remote->Url, Url);
        if (RemoteName != NULL)
            SRV->SetVString(&Remote->RemoteQZProcName, RemoteName);
    }
    if (Type != NULL && strcmp(Type, "QZCell") == 0 && Trelk_IsInstOf(Proc, QZCellBaseClass))
        LoadChainList(Proc, SRV->GetAttributeIndex(QZCellBaseClass, "ProcChainQueue"),
                      GetList(QZProcPkg, "ProcChainQueue"), QZProcRecord, NextQZProcRecord);
    return Proc;
}

void *QZRealmBase_Load_QZProcChain(VS_PARAPKGPTR QZProcChainPkg, VS_CHAR *Type, VS_PARAPKGPTR QZProcRecord,
                                   VS_PARAPKGPTR NextQZProcRecord)
{
    (void)Type;
    StructOfQZProcChainBase *Chain =
        (StructOfQZProcChainBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcChainBaseClass), 0, NULL);
    if (Chain == NULL)
        return NULL;
    StructOfLoadChainContext Context = {Trelk_GetParaPkgInterface(__LINE__), LoadChainContext};
    LoadChainContext = &Context;
    VS_PARAPKGPTR Loaded = Trelk_GetParaPkgInterface(__LINE__); // by saved position
    OBJECTATTRIBUTEINDEX Index = SRV->GetAttributeIndex(QZProcChainBaseClass, "QZProcBase");
    VS_PARAPKGPTR List = GetList(QZProcChainPkg, "QZProcBase");
    StructOfQZProcBase *Previous = NULL;
    for (VS_INT32 i = 0; List != NULL && i < List->GetNumber(); i++) {
        VS_PARAPKGPTR Item = ListItem(List, i);
        const VS_CHAR *ItemType = GetText(Item, "Type");
        StructOfQZProcBase *Proc = NULL;
        if (Item != NULL && IsProcKind(ItemType)) {
            VS_CHAR Kind[16];
            snprintf(Kind, sizeof(Kind), "%s", ItemType);
            Proc = (StructOfQZProcBase *)QZRealmBase_Load_QZProc(Item, Kind, QZProcRecord, NextQZProcRecord);
        }
        // The proc keeps the lock it came with: that is the chain's hold.
        if (Proc != NULL && !SRV->ChangeParent(Proc, Chain, Index)) {
            SRV->FreeObject(Proc);
            Proc = NULL;
        }
        Loaded->InsertObject(i, Proc);
        if (Proc == NULL)
            continue;
        if (Previous == NULL)
            Chain->QZProcStart = SRV->GetID(Proc);
        else
            Previous->QZProcNext = SRV->ObjectToAtomic(Proc);
        Previous = Proc;
    }
    for (VS_INT32 i = 0; i + 1 < Context.Pending->GetNumber(); i += 2) {
        StructOfQZProcBase *Waiting = (StructOfQZProcBase *)Context.Pending->GetObject(i);
        void *Rejoin = Context.Pending->GetInt(i + 1) < Loaded->GetNumber() ? Loaded->GetObject(Context.Pending->GetInt(i + 1))
                                                                           : NULL;
        if (Waiting != NULL && Rejoin != NULL && Waiting->QZProcNext == NULL)
            Waiting->QZProcNext = SRV->ObjectToAtomic(Rejoin);
    }
    LoadChainContext = Context.Up;
    Context.Pending->Release();
    Loaded->Release();
    return Chain;
}
