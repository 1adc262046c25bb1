// Output side of procs: the output declaration (OutputFrom and its printed
// form), redirection to a subtype with conversion through the type class,
// the produced data (AddOutputData, AddOutputDataEx, UpdateOutputData,
// ClearOutputData), and the exclude ID under which a data object remembers a
// proc that already took or refused it.
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"
#include "trelk_alloc.h"

#include <climits>
#include <strings.h>

VS_BOOL QZRunnerBase_GetExcludeIDForEnvData(StructOfQZProcBase *QZProc, VS_UUID *ExcludeID)
{
    if (QZProc == NULL || ExcludeID == NULL)
        return VS_FALSE;
    // A runner's copy counts as the proc it was copied from.
    if (!Trelk_IsZeroID(&QZProc->RootProcID))
        *ExcludeID = QZProc->RootProcID;
    else
        *ExcludeID = SRV->GetID(QZProc);
    return VS_TRUE;
}

static StructOfQZDataBase *AsData(void *Object)
{
    return QZDataBase_IsDataObject(Object) ? (StructOfQZDataBase *)Object : NULL;
}

static VS_BOOL IsDataInstance(void *Object)
{
    return Trelk_IsInstOf(Object, QZDataBaseClass);
}

static VS_INT32 PushBool(VS_BOOL Value)
{
    SRV->LuaPushBool(Value);
    return 1;
}

// ---------------------------------------------------------------------------
// Declaration
// ---------------------------------------------------------------------------
namespace {

// One item of the output grammar after the validation pass.
struct OutputItem {
    enum Kind { MustExist, Integer, Object } Kind;
    VS_INT32 Number;
    void *Type; // the data type the object declares
};

} // namespace

static void FreeOutputs(StructOfQZProcBase *Proc)
{
    // Each container lets its data go when it is freed.
    TrelkDrain DrainOutput;
    for (void *Output = Trelk_DrainFirst(&DrainOutput, &Proc->OutputQueue); Output != NULL;
         Output = Trelk_DrainNext(&DrainOutput, Output))
        SRV->FreeObject(Output);
}

// Reads and checks every item before anything changes. FALSE refuses the
// call; Items (host memory, Count entries) is filled on success.
static VS_BOOL ReadOutputItems(StructOfQZProcBase *Self, VS_INT32 Top, OutputItem **Items, VS_INT32 *Count)
{
    VS_PARAPKGPTR Pkg = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    VS_INT32 N = Pkg != NULL ? Pkg->GetNumber() : Top - 1;
    *Items = NULL;
    *Count = 0;
    if (SRV->LuaType(2) == VSLUATYPE_PARAPKG && Pkg == NULL)
        return VS_FALSE;
    OutputItem *List = N > 0 ? (OutputItem *)SRV->Malloc_Nor((VS_ULONG)N * sizeof(OutputItem)) : NULL;
    if (N > 0 && List == NULL)
        return VS_FALSE;
    VS_UUID SelfID = SRV->GetID(Self);
    for (VS_INT32 i = 0; i < N; i++) {
        OutputItem Item = {OutputItem::Object, 1, NULL};
        const VS_CHAR *Str = NULL;
        VS_BOOL IsInteger = VS_FALSE, IsObject = VS_FALSE;
        VS_INT64 Number = 0;
        void *Object = NULL;
        if (Pkg != NULL) {
            VS_INT32 Type = Pkg->GetType(i);
            if (Type == VSTYPE_STRING)
                Str = Pkg->GetStr(i);
            else if (Type == VSTYPE_INT32 || Type == VSTYPE_INT64) {
                IsInteger = VS_TRUE;
                Number = Pkg->GetInt64(i);
            } else if (Type == VSTYPE_OBJECT) {
                IsObject = VS_TRUE;
                Object = Pkg->GetObject(i);
            }
        } else {
            VS_INT32 Type = SRV->LuaType(i + 2);
            if (Type == VSLUATYPE_STRING)
                Str = SRV->LuaToString(i + 2);
            else if (Type == VSLUATYPE_INT || Type == VSLUATYPE_INT64) {
                IsInteger = VS_TRUE;
                Number = SRV->LuaToInt64(i + 2);
            } else if (Type == VSLUATYPE_OBJECT) {
                IsObject = VS_TRUE;
                Object = SRV->LuaToObject(i + 2);
            }
        }
        if (Str != NULL && strcasecmp(Str, "m") == 0) {
            if (!TrelkProc_IsCell(Self)) {
                QZRealmBase_RaiseException(Self, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                           "call [%s:%s] function \"OutputFrom\" failed, it is not QZCell, can not "
                                           "accept \"m\" as input",
                                           Trelk_IDText(Self), Trelk_Name(Self));
                SRV->Free(List);
                return VS_FALSE;
            }
            Item.Kind = OutputItem::MustExist;
        } else if (IsInteger) {
            // A count that does not fit 32 bits is refused, not cut down.
            if (Number < INT_MIN || Number > INT_MAX) {
                Trelk_RaiseText("call [%s:%s] function \"OutputFrom\" failed, the number [%lld] is out of "
                                           "the range of a 32-bit integer",
                                           Trelk_IDText(Self), Trelk_Name(Self), (long long)Number);
                SRV->Free(List);
                return VS_FALSE;
            }
            Item.Kind = OutputItem::Integer;
            Item.Number = (VS_INT32)Number;
        } else if (IsObject) {
            Object = Trelk_FromRawObject(Object);
            // Resolving a raw object may run script code.
            if (SRV->GetObject(&SelfID) != Self) {
                SRV->Free(List);
                return VS_FALSE;
            }
            StructOfQZDataBase *Type = QZDataBase_IsDataObject(Object)
                                           ? QZDataBase_GetDataType_Internal((StructOfQZDataBase *)Object)
                                           : NULL;
            // Only data objects and types name a kind of output.
            if (Type == NULL) {
                Trelk_RaiseText("call [%s:%s] function \"OutputFrom\" failed, [%s] is not data type or "
                                           "data object",
                                           Trelk_IDText(Self), Trelk_Name(Self), Trelk_Name(Object));
                SRV->Free(List);
                return VS_FALSE;
            }
            Item.Type = Type;
        } else {
            SRV->Free(List);
            return VS_FALSE;
        }
        List[i] = Item;
    }
    *Items = List;
    *Count = N;
    return VS_TRUE;
}

VS_INT32 QZProcBase_OutputFrom(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_InstanceSelfArg();
    VS_INT32 Top = SRV->LuaGetTop();
    if (Self == NULL || Top < 2)
        return PushBool(VS_FALSE);
    OutputItem *Items = NULL;
    VS_INT32 Count = 0;
    if (!ReadOutputItems(Self, Top, &Items, &Count))
        return PushBool(VS_FALSE);

    FreeOutputs(Self);
    OBJECTATTRIBUTEINDEX QueueIndex = TrelkProc_ProcAttrIndex("OutputQueue");
    VS_BOOL IsMustExist = VS_FALSE;
    VS_INT32 ReturnNumber = 1;
    for (VS_INT32 i = 0; i < Count; i++) {
        if (Items[i].Kind == OutputItem::MustExist) {
            IsMustExist = VS_TRUE;
            continue;
        }
        if (Items[i].Kind == OutputItem::Integer) {
            ReturnNumber = Items[i].Number;
            continue;
        }
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)SRV->MallocObjectL(
            SRV->GetIDEx(QZDataOutputContainerClass), 0, NULL);
        if (Output != NULL) {
            Output->DataBaseID = SRV->GetID(Items[i].Type);
            vs_memset(&Output->OriginalDataBaseID, 0, sizeof(VS_UUID));
            Output->IsMustExist = IsMustExist;
            Output->ReturnNumber = ReturnNumber;
            SRV->ChangeParent(Output, Self, QueueIndex);
        }
        IsMustExist = VS_FALSE;
        ReturnNumber = 1;
    }
    if (Items != NULL)
        SRV->Free(Items);
    return PushBool(VS_TRUE);
}

VS_INT32 QZProcBase_OutputToParaPkg(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL) {
        for (void *Item = SRV->QueryFirst(&Self->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            void *QueueHead = &((StructOfQZDataOutputContainer *)Item)->QZData;
            void *First = SRV->QueryFirst(QueueHead);
            if (First == NULL)
                Result->InsertEmpty(Result->GetNumber());
            else if (SRV->QueryNext(First) == NULL)
                Result->InsertObject(Result->GetNumber(), First);
            else {
                VS_PARAPKGPTR Sub = Trelk_GetParaPkgInterface(__LINE__);
                for (void *Data = First; Data != NULL; Data = SRV->QueryNext(Data))
                    Sub->InsertObject(Sub->GetNumber(), Data);
                Result->InsertParaPackage(Result->GetNumber(), Sub);
                Sub->Release();
            }
        }
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZProcBase_GetOutputType(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL) {
        for (void *Item = SRV->QueryFirst(&Self->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            void *Type = SRV->GetObject(&((StructOfQZDataOutputContainer *)Item)->DataBaseID);
            if (Type != NULL)
                Result->InsertObject(Result->GetNumber(), Type);
        }
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZProcBase_OutputQueueToParaPkg(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL) {
        VS_BOOL IsCell = TrelkProc_IsCell(Self);
        for (void *Item = SRV->QueryFirst(&Self->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Item;
            if (IsCell && Output->ReturnNumber != 1)
                Result->InsertInt(Result->GetNumber(), Output->ReturnNumber);
            if (IsCell && Output->IsMustExist)
                Result->InsertStr(Result->GetNumber(), "m");
            Result->InsertObject(Result->GetNumber(), SRV->GetObject(&Output->DataBaseID));
        }
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_PARAPKGPTR QZProcBase_OutputQueueToParaPkg_Internal(StructOfQZProcBase *QZProc)
{
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (QZProc != NULL)
        for (void *Item = SRV->QueryFirst(&QZProc->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item))
            Result->InsertObject(Result->GetNumber(), Item);
    return Result;
}

VS_INT32 QZProcBase_ChildToParaPkg(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL)
        for (void *Item = SRV->QueryFirst(&Self->QZProcChild); Item != NULL; Item = SRV->QueryNext(Item))
            Result->InsertObject(Result->GetNumber(), Item);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// Redirection and clearing
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_RedirectOutput(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self == NULL)
        return PushBool(VS_FALSE);
    VS_UUID SelfID = SRV->GetID(Self);
    void *DataClass = Trelk_ObjectArg(2);
    void *NewDataClass = Trelk_ObjectArg(3);
    if (SRV->GetObject(&SelfID) != Self)
        return PushBool(VS_FALSE);
    if (DataClass == NULL || NewDataClass == NULL || !SRV->IsInst(SRV->GetIDEx(DataClass), NewDataClass)) {
        Trelk_RaiseText("call [%s:%s] function \"RedirectOutput\" failed, DataClass must not be NULL and "
                                   "new DataClass is instance of current DataClass",
                                   Trelk_IDText(Self), Trelk_Name(Self));
        return PushBool(VS_FALSE);
    }
    VS_UUID *ClassID = SRV->GetIDEx(DataClass);
    for (void *Item = SRV->QueryFirst(&Self->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Item;
        if (!Trelk_IDEqual(&Output->DataBaseID, ClassID))
            continue;
        if (Trelk_IsZeroID(&Output->OriginalDataBaseID))
            Output->OriginalDataBaseID = Output->DataBaseID;
        Output->DataBaseID = SRV->GetID(NewDataClass);
        return PushBool(VS_TRUE);
    }
    return PushBool(VS_FALSE);
}

VS_INT32 QZProcBase_ClearOutputData(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self == NULL)
        return 0;
    QZRealmBase_RaiseException(Self, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                               "call [%s:%s] function \"ClearOutputData\" must be very carefully, in normal case, this "
                               "function need not be called",
                               Trelk_IDText(Self), Trelk_Name(Self));
    VS_UUID SelfID = SRV->GetID(Self);
    VS_INT32 ArgType = SRV->LuaType(2);
    void *DataClass = ArgType == VSLUATYPE_OBJECT ? Trelk_ObjectArg(2) : NULL;
    // A filter that names no object clears nothing rather than everything.
    if ((ArgType != VSLUATYPE_NIL && DataClass == NULL) || SRV->GetObject(&SelfID) != Self)
        return 0;
    for (void *Item = SRV->QueryFirst(&Self->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Item;
        if (DataClass != NULL && !Trelk_IDEqual(&Output->DataBaseID, SRV->GetIDEx(DataClass)))
            continue;
        TrelkProc_ReleaseQueue(&Output->QZData);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Verification and conversion
// ---------------------------------------------------------------------------
// Gives Copy what the incoming data carries beside its value: sources, rule
// attachments, stamps, signature and owners.
static void CopyCompanions(StructOfQZDataBase *Copy, StructOfQZDataBase *Data)
{
    if (Data->SourceData != NULL)
        Data->SourceData->AddRef();
    if (Copy->SourceData != NULL)
        Copy->SourceData->Release();
    Copy->SourceData = Data->SourceData;

    OBJECTATTRIBUTEINDEX AttachIndex = SRV->GetAttributeIndex(QZDataBaseClass, "QZRuleAttachQueue");
    for (void *Item = SRV->QueryFirst(&Data->QZRuleAttachQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        VS_UUID RuleID = ((StructOfQZRuleAttachBase *)Item)->QZRuleID;
        void *Rule = SRV->GetObject(&RuleID);
        if (Rule == NULL)
            continue;
        StructOfQZRuleAttachBase *Attach = (StructOfQZRuleAttachBase *)SRV->MallocObjectL(
            SRV->GetIDEx(QZRuleAttachBaseClass), 0, NULL);
        if (Attach == NULL)
            continue;
        Attach->QZRuleID = RuleID;
        SRV->LockGC(Rule);
        SRV->ChangeParent(Attach, Copy, AttachIndex);
    }
    Copy->UniformTick = Data->UniformTick;
    if (Data->Signature.Buf != NULL)
        SRV->SetVString(&Copy->Signature, Data->Signature.Buf);
    Copy->OwnerProcID = Data->OwnerProcID;
    Copy->OwnerProcIDInCell = Data->OwnerProcIDInCell;
    Copy->OwnerRunnerProcID = Data->OwnerRunnerProcID;
}

static StructOfQZDataBase *ConvertByTypeClass(StructOfQZDataBase *Data, StructOfQZDataBase *Holder,
                                              StructOfQZDataBase *SourceType, StructOfQZDataBase *TargetType,
                                              void *TargetTypeClass)
{
    VS_PARAPKGPTR Buf = Holder->DataBuf;
    if (Buf == NULL || Buf->GetNumber() != 1 || Buf->GetType(0) != VSTYPE_OBJECT) {
        Trelk_Raise(Data, " has defined DataTypeClass, but it's buf is not object, redirect data failed");
        return NULL;
    }
    void *SourceTypeClass = QZDataBase_GetTypeClassOf_Internal(SourceType);
    if (SourceTypeClass == NULL) {
        Trelk_Raise(Data,
                         " has defined DataTypeClass, but it's Originalal data type has no DataTypeClass, redirect data failed");
        return NULL;
    }
    (void)TargetType;
    VS_UUID DataID = SRV->GetID(Data);
    SRV->GetLastError();
    SRV->LuaPushObject(Holder);
    SRV->LuaPushObject(TargetTypeClass);
    if (!Trelk_ExecNameScript(SourceTypeClass, "Dup", 2, 1)) {
        Trelk_Raise(Data, " has assigned DataTypeClass, but calls the function Dup failed");
        SRV->LuaPop(1);
        return NULL;
    }
    // The hook may have freed the datum: the report names it only while it is there.
    if (QZProcChain_IsExecNameScriptError(SRV->GetObject(&DataID),
                                          "has assigned DataTypeClass, but calls the function Dup failed")) {
        SRV->LuaPop(1);
        return NULL;
    }
    void *Result = SRV->LuaType(-1) == VSLUATYPE_OBJECT ? SRV->LuaToObject(-1) : NULL;
    // The copy's record is written below: anything but a data object would
    // be overwritten as one. The hook may also have freed the data itself.
    if (!QZDataBase_IsDataObject(Result) || SRV->GetObject(&DataID) != Data) {
        if (SRV->GetObject(&DataID) == Data)
            Trelk_Raise(Data, " 's Dup function returns NULL, Dup failed");
        SRV->LuaPop(1);
        return NULL;
    }
    StructOfQZDataBase *Copy = (StructOfQZDataBase *)Result;
    SRV->AddRefEx(Copy);
    if (Copy != Data)
        CopyCompanions(Copy, Data);
    SRV->LuaPop(1);
    return Copy;
}

StructOfQZDataBase *QZProcBase_AddOutputData_VerifyAndGetOutputData(StructOfQZDataOutputContainer *Container,
                                                                    StructOfQZDataBase *QZData,
                                                                    VS_BOOL *IsThisOutput)
{
    if (IsThisOutput != NULL)
        *IsThisOutput = VS_FALSE;
    if (Container == NULL || QZData == NULL)
        return NULL;
    if (SRV->IsInst(&Container->DataBaseID, QZData)) {
        if (IsThisOutput != NULL)
            *IsThisOutput = VS_TRUE;
        SRV->LockGC(QZData);
        return QZData;
    }
    if (Trelk_IsZeroID(&Container->OriginalDataBaseID) || !SRV->IsInst(&Container->OriginalDataBaseID, QZData))
        return NULL;
    if (IsThisOutput != NULL)
        *IsThisOutput = VS_TRUE;
    StructOfQZDataBase *SourceType = QZDataBase_GetDataType_Internal(QZData);
    StructOfQZDataBase *TargetType = QZDataBase_GetDataType_Internal(AsData(SRV->GetObject(&Container->DataBaseID)));
    if (SourceType == NULL || TargetType == NULL)
        return NULL;
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(QZData);
    if (Holder == NULL || Holder->DataBuf == NULL) {
        Trelk_Raise(QZData, " has no data buf, redirect data failed");
        return NULL;
    }
    void *TargetTypeClass = QZDataBase_GetTypeClassOf_Internal(TargetType);
    if (TargetTypeClass != NULL)
        return ConvertByTypeClass(QZData, Holder, SourceType, TargetType, TargetTypeClass);
    StructOfQZDataBase *Copy = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(TargetType), 0, NULL);
    if (Copy == NULL)
        return NULL;
    VS_PARAPKGPTR Value = Holder->DataBuf->Dup();
    if (Copy->DataBuf != NULL)
        Copy->DataBuf->Release();
    Copy->DataBuf = Value;
    return Copy;
}

// ---------------------------------------------------------------------------
// Produced data
// ---------------------------------------------------------------------------
// Called after a report, which runs a script: the proc is found again by ID.
static void CountFailure(VS_UUID *ProcID)
{
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)SRV->GetObject(ProcID);
    if (Proc == NULL)
        return;
    Proc->ErrorCount++;
    Trelk_InsertPerformaceData_ForError(Proc);
}

// A data that already has a parent is stored as a new instance made from it.
static StructOfQZDataBase *StoreIn(StructOfQZDataBase *Data, void *Parent, OBJECTATTRIBUTEINDEX QueueIndex)
{
    StructOfQZDataBase *Stored = Data;
    if (SRV->GetParent(Data) != NULL) {
        Stored = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(Data), 0, NULL);
        if (Stored == NULL)
            return NULL;
    } else {
        SRV->LockGC(Data);
    }
    SRV->ChangeParent(Stored, Parent, QueueIndex);
    return Stored;
}

// PlaceStoredInEnv: placed in the environment queue of a cell without
// outputs, which is not an output container.
enum PlaceResult { PlaceStored, PlaceStoredInEnv, PlaceSkipped, PlaceRefused };

// Places one data: into the environment queue of a cell without outputs, else
// into the first output that takes it. *Stored names the object that holds
// the data afterwards (the data, a new instance or the equal one found).
static PlaceResult PlaceOutput(StructOfQZProcBase *Proc, StructOfQZDataBase *Data, VS_BOOL ValueEquality,
                               StructOfQZDataBase **Stored)
{
    *Stored = NULL;
    if (TrelkProc_IsCell(Proc) && SRV->QueryFirst(&Proc->OutputQueue) == NULL) {
        StructOfQZCellBase *Cell = (StructOfQZCellBase *)Proc;
        OBJECTATTRIBUTEINDEX EnvIndex = SRV->GetAttributeIndex(QZCellBaseClass, "EnvDataQueue");
        // The datum, or an object up its class chain, sitting in the cell's
        // env: the chain is asked where it sits, which costs its depth
        // rather than the length of the env.
        for (void *X = Data; X != NULL; X = SRV->GetClass(X)) {
            if (SRV->GetParent(X) == Cell && SRV->GetIndex(X) == EnvIndex) {
                VS_UUID ProcID = SRV->GetID(Proc);
                Trelk_RaiseText("Proc[%s]'s output data [%s] is comes from env, it can not output to env again",
                                           Trelk_Name(Proc), Trelk_Name(Data));
                CountFailure(&ProcID);
                return PlaceRefused;
            }
        }
        StructOfQZDataBase *Placed = StoreIn(Data, Cell, EnvIndex);
        if (Placed == NULL)
            return PlaceSkipped;
        Placed->OwnerRunnerProcID = SRV->GetID(Cell);
        *Stored = Placed;
        return PlaceStoredInEnv;
    }
    for (void *Item = SRV->QueryFirst(&Proc->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Item;
        VS_BOOL IsThisOutput = VS_FALSE;
        VS_UUID ProcID = SRV->GetID(Proc), OutputID = SRV->GetID(Output);
        StructOfQZDataBase *Verified = QZProcBase_AddOutputData_VerifyAndGetOutputData(Output, Data, &IsThisOutput);
        // A conversion runs the type class's script, which may free the proc
        // or its outputs.
        if (SRV->GetObject(&ProcID) != Proc || SRV->GetObject(&OutputID) != Output) {
            if (Verified != NULL)
                SRV->UnLockGC(Verified);
            return PlaceRefused;
        }
        if (!IsThisOutput)
            continue;
        if (Verified == NULL) {
            Trelk_RaiseText("Proc[%s]'s output data [%s] failed, it can not redirect to new type",
                                       Trelk_Name(Proc), Trelk_Name(Data));
            CountFailure(&ProcID);
            return PlaceRefused;
        }
        for (void *Held = SRV->QueryFirst(&Output->QZData); Held != NULL; Held = SRV->QueryNext(Held)) {
            VS_BOOL Same = Held == Verified;
            if (!Same && ValueEquality) {
                // The type class's "Equals" is a script, which may free or
                // move the proc, the output, the datum placed or the one
                // compared: the walk notes its place by ID and goes on only
                // where it still stands.
                uint64_t Serial = Trelk_ScriptSerial();
                VS_UUID HeldID = SRV->GetID(Held), VerifiedID = SRV->GetID(Verified);
                Same = QZDataBase_Equals_Internal((StructOfQZDataBase *)Held, Verified);
                if (Serial != Trelk_ScriptSerial()) {
                    VS_BOOL VerifiedAlive = SRV->GetObject(&VerifiedID) == Verified ? VS_TRUE : VS_FALSE;
                    if (!VerifiedAlive || SRV->GetObject(&ProcID) != Proc || SRV->GetObject(&OutputID) != Output ||
                        SRV->GetParent(Output) != Proc) {
                        if (VerifiedAlive)
                            SRV->UnLockGC(Verified);
                        return PlaceRefused;
                    }
                    if (SRV->GetObject(&HeldID) != Held || SRV->GetParent(Held) != Output)
                        break; // the one compared is gone: no equal one is known, the datum is placed
                }
            }
            if (Same) {
                Output->ChangeFlag = VS_TRUE;
                SRV->UnLockGC(Verified);
                *Stored = (StructOfQZDataBase *)Held;
                return PlaceStored;
            }
        }
        StructOfQZDataBase *Placed =
            StoreIn(Verified, Output, SRV->GetAttributeIndex(QZDataOutputContainerClass, "QZData"));
        Output->ChangeFlag = VS_TRUE;
        SRV->UnLockGC(Verified);
        *Stored = Placed;
        return Placed != NULL ? PlaceStored : PlaceSkipped;
    }
    Trelk_RaiseText("add output to [%s:%s] failed, the data[%s] is not instance of any output data class",
                               Trelk_IDText(Proc), Trelk_Name(Proc), Trelk_Name(Data));
    return PlaceSkipped;
}

VS_INT32 QZProcBase_AddOutputData(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_INT32 Top = SRV->LuaGetTop();
    if (Self == NULL || Top < 2)
        return PushBool(VS_FALSE);
    VS_UUID SelfID = SRV->GetID(Self);
    VS_BOOL Any = VS_FALSE;
    for (VS_INT32 i = 2; i <= Top; i++) {
        void *Object = Trelk_ObjectArg(i);
        if (SRV->GetObject(&SelfID) != Self)
            return PushBool(VS_FALSE);
        if (i == 2 && Object == NULL) {
            Trelk_RaiseText("add output to [%s:%s] failed, output data can not be NULL",
                                       Trelk_IDText(Self), Trelk_Name(Self));
            return PushBool(VS_FALSE);
        }
        if (i == 2 && !IsDataInstance(Object)) {
            Trelk_RaiseText("add output to [%s:%s] failed, the data[%s] must be instance of QZDataBase",
                                       Trelk_IDText(Self), Trelk_Name(Self), Trelk_Name(Object));
            return PushBool(VS_FALSE);
        }
        if (!IsDataInstance(Object))
            continue;
        StructOfQZDataBase *Stored = NULL;
        PlaceResult Result = PlaceOutput(Self, (StructOfQZDataBase *)Object, VS_TRUE, &Stored);
        if (Result == PlaceRefused)
            return PushBool(VS_FALSE);
        // Only an output container counts: data placed in the environment
        // queue of a cell without outputs leave the answer false.
        if (Result == PlaceStored)
            Any = VS_TRUE;
    }
    return PushBool(Any);
}

// The input container that holds Source, or NULL.
static StructOfQZDataInputContainer *InputHolding(StructOfQZProcBase *Proc, void *Source)
{
    VS_UUID *SourceID = SRV->GetIDEx(Source);
    for (void *Input = SRV->QueryFirst(&Proc->InputQueue); Input != NULL; Input = SRV->QueryNext(Input)) {
        StructOfQZDataInputContainer *Container = (StructOfQZDataInputContainer *)Input;
        for (void *Item = SRV->QueryFirst(&Container->DataQueue); Item != NULL; Item = SRV->QueryNext(Item))
            if (Trelk_IDEqual(&((StructOfQZObjectPointerWithChangeFlag *)Item)->ObjectID, SourceID))
                return Container;
    }
    return NULL;
}

// Seen holds what Pkg holds: a list of thousands of sources is not searched
// again for each one added.
static void AppendUnique(VS_PARAPKGPTR Pkg, TrelkHashSet<void *> &Seen, void *Object)
{
    if (Object != NULL && Seen.insert(Object).second)
        Pkg->InsertObject(Pkg->GetNumber(), Object);
}

static void AppendAllUnique(VS_PARAPKGPTR Pkg, TrelkHashSet<void *> &Seen, VS_PARAPKGPTR From)
{
    if (From == NULL)
        return;
    for (VS_INT32 i = 0; i < From->GetNumber(); i++)
        if (From->GetType(i) == VSTYPE_OBJECT)
            AppendUnique(Pkg, Seen, From->GetObject(i));
}

VS_INT32 QZProcBase_AddOutputDataEx(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_INT32 Top = SRV->LuaGetTop();
    if (Self == NULL || Top < 2)
        return PushBool(VS_FALSE);
    VS_UUID SelfID = SRV->GetID(Self);
    void *Object = Trelk_ObjectArg(2);
    if (SRV->GetObject(&SelfID) != Self)
        return PushBool(VS_FALSE);
    if (Object == NULL) {
        Trelk_RaiseText("add output to [%s:%s] failed, output data can not be NULL", Trelk_IDText(Self),
                                   Trelk_Name(Self));
        return PushBool(VS_FALSE);
    }
    if (!IsDataInstance(Object)) {
        Trelk_RaiseText("add output to [%s:%s] failed, the data[%s] must be instance of QZDataBase",
                                   Trelk_IDText(Self), Trelk_Name(Self), Trelk_Name(Object));
        return PushBool(VS_FALSE);
    }
    StructOfQZDataBase *Data = (StructOfQZDataBase *)Object;
    VS_UUID DataID = SRV->GetID(Data);

    // The sources are checked before the data is placed: a refused call
    // leaves no data behind that it reports as refused.
    VS_PARAPKGPTR Sources = Trelk_GetParaPkgInterface(__LINE__);
    TrelkHashSet<void *> Seen;
    for (VS_INT32 i = 3; i <= Top; i++) {
        void *Source = Trelk_ObjectArg(i);
        if (SRV->GetObject(&SelfID) != Self || SRV->GetObject(&DataID) != Data) {
            Sources->Release();
            return PushBool(VS_FALSE);
        }
        // A source that is given but no data cannot be one of the inputs:
        // that is the refusal it gets.
        if (Source == NULL) {
            Trelk_RaiseText("call [%s:%s]'s \"AddOutputDataEx\" failed, input source object does not found",
                                       Trelk_IDText(Self), Trelk_Name(Self));
            Sources->Release();
            return PushBool(VS_FALSE);
        }
        StructOfQZDataInputContainer *Input = InputHolding(Self, Source);
        if (Input == NULL) {
            Trelk_RaiseText("call [%s:%s]'s AddOutputDataEx failed, the source object must be an input",
                                       Trelk_IDText(Self), Trelk_Name(Self));
            Sources->Release();
            return PushBool(VS_FALSE);
        }
        VS_PARAPKGPTR Own = Input->IsFromInternal && IsDataInstance(Source)
                                ? QZDataBase_GetSourceData_Internal((StructOfQZDataBase *)Source)
                                : NULL;
        if (Own != NULL && Own->GetNumber() > 0)
            AppendAllUnique(Sources, Seen, Own);
        else
            AppendUnique(Sources, Seen, Source);
    }

    StructOfQZDataBase *Stored = NULL;
    PlaceResult Result = PlaceOutput(Self, Data, VS_FALSE, &Stored);
    if ((Result != PlaceStored && Result != PlaceStoredInEnv) || Stored == NULL) {
        Sources->Release();
        return PushBool(VS_FALSE);
    }
    AppendAllUnique(Sources, Seen, Stored->SourceData);
    if (Stored->SourceData != NULL)
        Stored->SourceData->Release();
    Stored->SourceData = Sources;
    return PushBool(VS_TRUE);
}

void QZDataBase_DataIsChanged(StructOfQZDataBase *QZData)
{
    if (QZData == NULL)
        return;
    // The list starts over empty. It is emptied in place: a data object
    // without a list (a predefined class object) is given none that nothing
    // would ever release.
    VS_UUID Any;
    if (QZData->ExcludeProc != NULL && SRV->QueryFirstIDKey(QZData->ExcludeProc, &Any) != NULL) {
        SRV->DelAllKey(QZData->ExcludeProc);
        QZDataBase_ExcludeNarrowed();
    }
    VS_UUID DataID = SRV->GetID(QZData);
    for (void *Item = SRV->QueryFirst(&QZData->ConnectedProc); Item != NULL; Item = SRV->QueryNext(Item)) {
        void *Object = SRV->GetObject(&((StructOfQZObjectPointer *)Item)->ObjectID);
        if (!TrelkProc_IsProcObject(Object))
            continue;
        StructOfQZProcBase *Proc = (StructOfQZProcBase *)Object;
        StructOfQZDataInputContainer *Found = NULL;
        for (void *Input = SRV->QueryFirst(&Proc->InputQueue); Input != NULL && Found == NULL;
             Input = SRV->QueryNext(Input)) {
            StructOfQZDataInputContainer *Container = (StructOfQZDataInputContainer *)Input;
            for (void *Ref = SRV->QueryFirst(&Container->DataQueue); Ref != NULL; Ref = SRV->QueryNext(Ref)) {
                StructOfQZObjectPointerWithChangeFlag *Pointer = (StructOfQZObjectPointerWithChangeFlag *)Ref;
                if (Trelk_IDEqual(&Pointer->ObjectID, &DataID)) {
                    Pointer->ChangeFlag = VS_TRUE;
                    TrelkSched_TouchProc(Proc);
                    Found = Container;
                    break;
                }
            }
        }
        if (Found == NULL) {
            VS_UUID ItemID = SRV->GetID(Item);
            Trelk_RaiseText("data object [%s:%s]'s has connect proc [%s], but not found in the proc's "
                                       "inputqueue",
                                       Trelk_IDText(QZData), Trelk_Name(QZData), Trelk_Name(Proc));
            // The report ran a script: the walk goes on only where it still
            // stands.
            QZData = (StructOfQZDataBase *)SRV->GetObject(&DataID);
            Item = QZData != NULL ? SRV->GetObject(&ItemID) : NULL;
            if (Item == NULL || SRV->GetParent(Item) != QZData)
                return;
            continue;
        }
        VS_UUID ExcludeID;
        if (Found->IsFromInternal)
            ExcludeID = SRV->GetID(Proc);
        else
            QZRunnerBase_GetExcludeIDForEnvData(Proc, &ExcludeID);
        if (QZData->ExcludeProc != NULL && SRV->FindIDKey(QZData->ExcludeProc, &ExcludeID) == NULL) {
            SRV->InsertIDKey(QZData->ExcludeProc, &ExcludeID, (void *)1);
            QZDataBase_ExcludeWidened(QZData);
        }
    }
}

VS_INT32 QZProcBase_UpdateOutputData(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self == NULL)
        return PushBool(VS_FALSE);
    VS_UUID SelfID = SRV->GetID(Self);
    void *Object = Trelk_ObjectArg(2);
    if (SRV->GetObject(&SelfID) != Self || !IsDataInstance(Object))
        return PushBool(VS_FALSE);
    QZDataBase_DataIsChanged((StructOfQZDataBase *)Object);
    for (void *Item = SRV->QueryFirst(&Self->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Item;
        for (void *Held = SRV->QueryFirst(&Output->QZData); Held != NULL; Held = SRV->QueryNext(Held)) {
            if (Held == Object) {
                Output->ChangeFlag = VS_TRUE;
                return PushBool(VS_TRUE);
            }
        }
    }
    return PushBool(VS_FALSE);
}
