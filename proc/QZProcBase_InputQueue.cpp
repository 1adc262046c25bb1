// The input queue of procs as scripts see it: assigned data read as objects
// or packages, rejecting and accepting assigned data with the master and slave
// rule, per-input flags, types, packages and proc IDs, the enough test, the
// proc's own packages and signature, and the matching tests of data against
// a proc's inputs and outputs.
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"

// The input named by the integer argument at ArgIndex, or NULL.
static StructOfQZDataInputContainer *InputArg(StructOfQZProcBase *Self, VS_INT32 ArgIndex)
{
    if (Self == NULL || SRV->LuaType(ArgIndex) != VSLUATYPE_INT)
        return NULL;
    return QZProcBase_GetInputByIndex_Internal(Self, SRV->LuaToInt(ArgIndex));
}

static void *ItemData(void *Item)
{
    void *Data = SRV->GetObject(&((StructOfQZObjectPointerWithChangeFlag *)Item)->ObjectID);
    return QZDataBase_IsDataObject(Data) ? Data : NULL;
}

static StructOfQZDataBase *AsData(void *Object)
{
    return QZDataBase_IsDataObject(Object) ? (StructOfQZDataBase *)Object : NULL;
}

// ---------------------------------------------------------------------------
// The proc's own packages and signature
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_GetLocalBuf(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self == NULL || Self->PrivateLocalBuf == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(Self->PrivateLocalBuf, VS_FALSE);
    return 1;
}

VS_INT32 QZProcBase_GetRootLocalBuf(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    void *Root = Self != NULL && !Trelk_IsZeroID(&Self->RootProcID) ? SRV->GetObject(&Self->RootProcID) : NULL;
    if (!TrelkProc_IsProcObject(Root) || ((StructOfQZProcBase *)Root)->PrivateLocalBuf == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(((StructOfQZProcBase *)Root)->PrivateLocalBuf, VS_FALSE);
    return 1;
}

VS_INT32 QZProcBase_GetSignature(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    SRV->LuaPushString(Self != NULL && Self->Signature.Buf != NULL ? Self->Signature.Buf : "");
    return 1;
}

// ---------------------------------------------------------------------------
// Assigned data
// ---------------------------------------------------------------------------
// Appends the data of one input to Pkg; ChangedOnly takes only flagged items.
// Every item taken has its flag cleared. Returns the first data taken.
static void *CollectInputData(StructOfQZDataInputContainer *Input, VS_PARAPKGPTR Pkg, VS_BOOL ChangedOnly,
                              VS_BOOL FirstOnly)
{
    for (void *Item = SRV->QueryFirst(&Input->DataQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZObjectPointerWithChangeFlag *Ref = (StructOfQZObjectPointerWithChangeFlag *)Item;
        void *Data = ItemData(Item);
        if (Data == NULL)
            continue;
        // A one-object input is represented by its first data only.
        if (ChangedOnly && !Ref->ChangeFlag) {
            if (FirstOnly)
                return NULL;
            continue;
        }
        Ref->ChangeFlag = VS_FALSE;
        if (FirstOnly)
            return Data;
        if (Pkg != NULL)
            Pkg->InsertObject(Pkg->GetNumber(), Data);
    }
    return NULL;
}

VS_INT32 QZProcBase_GetInput(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    if (Input == NULL || SRV->QueryFirst(&Input->DataQueue) == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    if (Input->RequestNumber == 1) {
        SRV->LuaPushObject(CollectInputData(Input, NULL, VS_FALSE, VS_TRUE));
        return 1;
    }
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    CollectInputData(Input, Result, VS_FALSE, VS_FALSE);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

static VS_INT32 InputsToParaPkg(VS_BOOL ChangedOnly)
{
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL) {
        for (void *Item = SRV->QueryFirst(&Self->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)Item;
            if (Input->Index < 0)
                continue;
            VS_INT32 At = TrelkProc_PutAt(Result, Input->Index);
            if (Input->RequestNumber == 1) {
                void *Data = CollectInputData(Input, NULL, ChangedOnly, VS_TRUE);
                if (Data != NULL)
                    Result->InsertObject(At, Data);
                else
                    Result->InsertEmpty(At);
            } else {
                VS_PARAPKGPTR Sub = Trelk_GetParaPkgInterface(__LINE__);
                CollectInputData(Input, Sub, ChangedOnly, VS_FALSE);
                Result->InsertParaPackage(At, Sub);
                Sub->Release();
            }
        }
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZProcBase_InputToParaPkg(void *L)
{
    (void)L;
    return InputsToParaPkg(VS_FALSE);
}

VS_INT32 QZProcBase_InputChangeToParaPkg(void *L)
{
    (void)L;
    return InputsToParaPkg(VS_TRUE);
}

// ---------------------------------------------------------------------------
// Reject and accept
// ---------------------------------------------------------------------------
typedef VS_BOOL (*MarkDataFn)(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc);

// Marks and disconnects the data of one item, then frees the item.
static void ReleaseItem(StructOfQZProcBase *Proc, VS_UUID *ProcID, void *Item, MarkDataFn Mark)
{
    StructOfQZDataBase *Data = AsData(ItemData(Item));
    if (Data != NULL) {
        Mark(Data, Proc);
        Tarvex_ScheduleProc_QZDataUnConnect(Data, ProcID);
    }
    SRV->FreeObject(Item);
}

static void ReleaseInputItems(StructOfQZProcBase *Proc, VS_UUID *ProcID, StructOfQZDataInputContainer *Input,
                              MarkDataFn Mark)
{
    TrelkDrain DrainItem;
    for (void *Item = Trelk_DrainFirst(&DrainItem, &Input->DataQueue); Item != NULL;
         Item = Trelk_DrainNext(&DrainItem, Item))
        ReleaseItem(Proc, ProcID, Item, Mark);
}

static void ReleaseInput(StructOfQZProcBase *Proc, StructOfQZDataBase *QZData, VS_BOOL MasterAffectSlave,
                         MarkDataFn Mark)
{
    VS_UUID ProcID = SRV->GetID(Proc);
    if (QZData == NULL) {
        for (void *Input = SRV->QueryFirst(&Proc->InputQueue); Input != NULL; Input = SRV->QueryNext(Input))
            ReleaseInputItems(Proc, &ProcID, (StructOfQZDataInputContainer *)Input, Mark);
        return;
    }
    VS_UUID DataID = SRV->GetID(QZData);
    for (void *InputItem = SRV->QueryFirst(&Proc->InputQueue); InputItem != NULL;
         InputItem = SRV->QueryNext(InputItem)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)InputItem;
        for (void *Item = SRV->QueryFirst(&Input->DataQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            if (!Trelk_IDEqual(&((StructOfQZObjectPointerWithChangeFlag *)Item)->ObjectID, &DataID))
                continue;
            ReleaseItem(Proc, &ProcID, Item, Mark);
            // A master that takes one object takes its slaves' data with it.
            if (MasterAffectSlave && !Input->IsSlave && Input->RequestNumber == 1) {
                for (void *Next = SRV->QueryNext(InputItem);
                     Next != NULL && ((StructOfQZDataInputContainer *)Next)->IsSlave; Next = SRV->QueryNext(Next))
                    ReleaseInputItems(Proc, &ProcID, (StructOfQZDataInputContainer *)Next, Mark);
            }
            return;
        }
    }
}

void QZProcBase_RejectInput_Internal(StructOfQZProcBase *QZProcBase, StructOfQZDataBase *QZData,
                                     VS_BOOL MasterAffectSlave)
{
    if (QZProcBase == NULL)
        return;
    if (QZData != NULL && !Trelk_IsInstOf(QZData, QZDataBaseClass)) {
        Trelk_RaiseText("call [%s:%s] \"RejectInput\" failed, input is not data object",
                                   Trelk_IDText(QZProcBase), Trelk_Name(QZProcBase));
        return;
    }
    ReleaseInput(QZProcBase, QZData, MasterAffectSlave, QZDataBase_AddReject_Internal);
}

// The data argument of RejectInput and AcceptInput: nil means every input's
// data; anything else must be a data object.
static VS_BOOL DataOrNilArg(StructOfQZProcBase *Self, const VS_CHAR *Function, StructOfQZDataBase **Data)
{
    *Data = NULL;
    VS_INT32 Type = SRV->LuaType(2);
    if (Type == VSLUATYPE_NIL)
        return VS_TRUE;
    void *Object = Type == VSLUATYPE_OBJECT ? Trelk_ObjectArg(2) : NULL;
    if (Object == NULL || !Trelk_IsInstOf(Object, QZDataBaseClass)) {
        Trelk_RaiseText("call [%s:%s] \"%s\" failed, input is not data object", Trelk_IDText(Self),
                                   Trelk_Name(Self), Function);
        return VS_FALSE;
    }
    *Data = (StructOfQZDataBase *)Object;
    return VS_TRUE;
}

VS_INT32 QZProcBase_RejectInput(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self == NULL)
        return 0;
    VS_UUID SelfID = SRV->GetID(Self);
    StructOfQZDataBase *Data = NULL;
    if (DataOrNilArg(Self, "RejectInput", &Data) && SRV->GetObject(&SelfID) == Self)
        QZProcBase_RejectInput_Internal(Self, Data, VS_TRUE);
    if (SRV->GetObject(&SelfID) != Self || Trelk_IsZeroID(&Self->RunnerID))
        return 0;
    void *Runner = SRV->GetObject(&Self->RunnerID);
    if (Trelk_IsInstOf(Runner, QZProcRunnerBaseClass))
        ((StructOfQZProcRunnerBase *)Runner)->PriorityCount -= 1;
    return 0;
}

VS_INT32 QZProcBase_AcceptInput(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self == NULL)
        return 0;
    VS_UUID SelfID = SRV->GetID(Self);
    StructOfQZDataBase *Data = NULL;
    if (DataOrNilArg(Self, "AcceptInput", &Data) && SRV->GetObject(&SelfID) == Self)
        ReleaseInput(Self, Data, VS_TRUE, QZDataBase_AddAccept_Internal);
    return 0;
}

// ---------------------------------------------------------------------------
// Per-input packages, proc IDs and flags
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_GetInputLocalBuf(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    if (Input == NULL || Input->DataLocalBuf == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(Input->DataLocalBuf, VS_FALSE);
    return 1;
}

VS_INT32 QZProcBase_SetInputLocalBuf(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    VS_INT32 Type = SRV->LuaType(3);
    if (Input == NULL || (Type != VSLUATYPE_PARAPKG && Type != VSLUATYPE_NIL)) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    TrelkProc_SetInputLocalBuf(Input, Type == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(3) : NULL);
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

VS_INT32 QZProcBase_GetInputProcID(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    VS_UUID ID;
    vs_memset(&ID, 0, sizeof(ID));
    if (Input != NULL)
        ID = Input->QZProcID;
    const VS_CHAR *Text = SRV->UuidToString(&ID);
    SRV->LuaPushString(Text != NULL ? Text : "");
    return 1;
}

VS_INT32 QZProcBase_SetInputProcID(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    if (Input == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_UUID ID;
    vs_memset(&ID, 0, sizeof(ID));
    const VS_CHAR *Text = Trelk_StringArg(3);
    // A text that is no ID is refused; the bound ID stays.
    if (Text != NULL && Text[0] != 0 && !SRV->StringToUuid(Text, &ID)) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    Input->QZProcID = ID;
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

VS_INT32 QZProcBase_GetInputNumber(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    SRV->LuaPushInt(Self != NULL ? Tarvex_ScheduleProc_GetItemNumber(&Self->InputQueue) : 0);
    return 1;
}

VS_INT32 QZProcBase_IsFromInternal(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    SRV->LuaPushBool(Input != NULL ? Input->IsFromInternal : VS_FALSE);
    return 1;
}

VS_INT32 QZProcBase_IsSlave(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    SRV->LuaPushBool(Input != NULL ? Input->IsSlave : VS_FALSE);
    return 1;
}

VS_INT32 QZProcBase_IsMustExist(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    SRV->LuaPushBool(Input != NULL ? Input->IsMustExist : VS_FALSE);
    return 1;
}

// The master of input Index: itself when it is one, else the nearest master
// before it in the queue.
static StructOfQZDataInputContainer *MasterOf(StructOfQZProcBase *Self, VS_INT32 ArgIndex)
{
    StructOfQZDataInputContainer *Input = InputArg(Self, ArgIndex);
    if (Input == NULL)
        return NULL;
    StructOfQZDataInputContainer *Master = NULL;
    for (void *Item = SRV->QueryFirst(&Self->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataInputContainer *Each = (StructOfQZDataInputContainer *)Item;
        if (!Each->IsSlave)
            Master = Each;
        if (Each == Input)
            return Master;
    }
    return NULL;
}

VS_INT32 QZProcBase_GetMasterInput(void *L)
{
    (void)L;
    SRV->LuaPushObject(MasterOf(TrelkProc_SelfArg(), 2));
    return 1;
}

VS_INT32 QZProcBase_GetMasterInputType(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Master = MasterOf(TrelkProc_SelfArg(), 2);
    SRV->LuaPushObject(Master != NULL ? SRV->GetObject(&Master->DataBaseID) : NULL);
    return 1;
}

VS_INT32 QZProcBase_GetInputType(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    SRV->LuaPushObject(Input != NULL ? SRV->GetObject(&Input->DataBaseID) : NULL);
    return 1;
}

VS_INT32 QZProcBase_SetInputType(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_UUID SelfID = SRV->GetID(Self);
    void *Type = Trelk_ObjectArg(3);
    if (SRV->GetObject(&SelfID) != Self) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    if (!Trelk_IsInstOf(Type, QZDataBaseClass) || !((StructOfQZDataBase *)Type)->IsType) {
        Trelk_RaiseText("call [%s:%s] function \"SetInputType\" failed, input must be data type",
                                   Trelk_IDText(Self), Trelk_Name(Self));
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    StructOfQZDataInputContainer *Input = InputArg(Self, 2);
    if (Input == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_UUID *TypeID = SRV->GetIDEx(Type);
    if (Trelk_IDEqual(TypeID, &Input->DataBaseID) || SRV->IsInst(&Input->DataBaseID, Type)) {
        Input->DataBaseID = *TypeID;
        SRV->LuaPushBool(VS_TRUE);
        return 1;
    }
    Trelk_RaiseText("call [%s:%s] function \"SetInputType\" failed, input must be sub data type of [%s]",
                               Trelk_IDText(Self), Trelk_Name(Self),
                               Trelk_Name(SRV->GetObject(&Input->DataBaseID)));
    SRV->LuaPushBool(VS_FALSE);
    return 1;
}

VS_INT32 QZProcBase_IsEnough(void *L)
{
    (void)L;
    StructOfQZDataInputContainer *Input = InputArg(TrelkProc_SelfArg(), 2);
    VS_BOOL Enough = VS_FALSE;
    if (Input != NULL && SRV->QueryFirst(&Input->DataQueue) != NULL)
        Enough = Input->RequestNumber <= 0 ||
                         Tarvex_ScheduleProc_GetItemNumber(&Input->DataQueue) == Input->RequestNumber
                     ? VS_TRUE
                     : VS_FALSE;
    SRV->LuaPushBool(Enough);
    return 1;
}

// ---------------------------------------------------------------------------
// Matching tests
// ---------------------------------------------------------------------------
static StructOfQZProcBase *ChainFirstProc(void *Chain)
{
    if (Chain == NULL)
        return NULL;
    void *First = SRV->GetObject(&((StructOfQZProcChainBase *)Chain)->QZProcStart);
    return TrelkProc_IsProcObject(First) ? (StructOfQZProcBase *)First : NULL;
}

static VS_BOOL InputTakes(StructOfQZDataInputContainer *Input, StructOfQZDataBase *Data)
{
    if (Data->IsType &&
        (Trelk_IDEqual(SRV->GetIDEx(Data), &Input->DataBaseID) || SRV->IsInst(&Input->DataBaseID, Data)))
        return VS_TRUE;
    if (Input->DataObjectInst == NULL)
        return SRV->IsInst(&Input->DataBaseID, Data);
    // The object it required is gone: nothing else stands in for it.
    StructOfQZDataBase *Inst = TrelkProc_InputObject(Input);
    if (Inst == NULL)
        return VS_FALSE;
    if (QZDataBase_IsDataSet_Internal(Inst, VS_TRUE))
        return QZDataSetBase_IsSubSet_Internal((StructOfQZDataSetBase *)Inst, (StructOfQZDataSetBase *)Data);
    if (Trelk_IsInstOf(Inst, QZDataBaseClass))
        return QZDataBase_Equals_Internal(Data, Inst);
    return VS_FALSE;
}

static VS_BOOL DataCanBeAsInput(StructOfQZProcBase *Proc, StructOfQZDataBase *Data, VS_BOOL IncludeCellProcChain,
                                VS_INT32 Depth)
{
    if (Proc == NULL || Data == NULL || Depth > 256)
        return VS_FALSE;
    for (void *Item = SRV->QueryFirst(&Proc->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)Item;
        if (Input->DataObjectInst == NULL) {
            if (InputTakes(Input, Data))
                return VS_TRUE;
            continue;
        }
        // A value test may run a script (a type class's "Equals"), which may
        // free or move anything: the walk goes on only where it still stands.
        uint64_t Serial = Trelk_ScriptSerial();
        VS_UUID ProcID = SRV->GetID(Proc), ItemID = SRV->GetID(Item), DataID = SRV->GetID(Data);
        if (InputTakes(Input, Data))
            return VS_TRUE;
        if (Serial != Trelk_ScriptSerial() &&
            (SRV->GetObject(&ProcID) != Proc || SRV->GetObject(&ItemID) != Item || SRV->GetParent(Item) != Proc ||
             SRV->GetObject(&DataID) != Data))
            return VS_FALSE;
    }
    if (!IncludeCellProcChain || !TrelkProc_IsCell(Proc))
        return VS_FALSE;
    StructOfQZCellBase *Cell = (StructOfQZCellBase *)Proc;
    for (void *Chain = SRV->QueryFirst(&Cell->ProcChainQueue); Chain != NULL; Chain = SRV->QueryNext(Chain)) {
        StructOfQZProcBase *First = ChainFirstProc(Chain);
        if (First == NULL)
            continue;
        uint64_t Serial = Trelk_ScriptSerial();
        if (DataCanBeAsInput(First, Data, IncludeCellProcChain, Depth + 1))
            return VS_TRUE;
        // The test of a chain below ran a script: its walk may be gone.
        if (Serial != Trelk_ScriptSerial())
            return VS_FALSE;
    }
    return VS_FALSE;
}

VS_BOOL QZProcBase_DataCanBeAsInput_Internal(StructOfQZProcBase *QZProc, StructOfQZDataBase *QZData,
                                             VS_BOOL IncludeCellProcChain)
{
    return DataCanBeAsInput(QZProc, QZData, IncludeCellProcChain, 0);
}

static VS_BOOL OutputsTake(StructOfQZProcBase *Proc, StructOfQZDataBase *Data)
{
    for (void *Item = SRV->QueryFirst(&Proc->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Item;
        if (Trelk_IDEqual(&Output->DataBaseID, SRV->GetIDEx(Data)) || SRV->IsInst(&Output->DataBaseID, Data))
            return VS_TRUE;
    }
    return VS_FALSE;
}

VS_BOOL QZProcBase_DataCanBeAsOutput_Internal(StructOfQZProcBase *QZProc, StructOfQZDataBase *QZData,
                                              VS_BOOL IncludeCellProcChain)
{
    if (QZProc == NULL || QZData == NULL)
        return VS_FALSE;
    if (OutputsTake(QZProc, QZData))
        return VS_TRUE;
    if (!IncludeCellProcChain || !TrelkProc_IsCell(QZProc))
        return VS_FALSE;
    StructOfQZCellBase *Cell = (StructOfQZCellBase *)QZProc;
    for (void *Chain = SRV->QueryFirst(&Cell->ProcChainQueue); Chain != NULL; Chain = SRV->QueryNext(Chain)) {
        StructOfQZProcBase *Last = ChainFirstProc(Chain);
        for (VS_INT32 Steps = 0; Last != NULL && Last->QZProcNext != NULL && Steps < 65536; Steps++) {
            void *Next = SRV->AtomicToObject(Last->QZProcNext);
            if (!TrelkProc_IsProcObject(Next))
                break;
            Last = (StructOfQZProcBase *)Next;
        }
        if (Last != NULL && OutputsTake(Last, QZData))
            return VS_TRUE;
    }
    return VS_FALSE;
}

static VS_INT32 PushDataTest(VS_BOOL Output)
{
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    StructOfQZDataBase *Data = AsData(Trelk_ObjectArg(2));
    VS_BOOL IncludeCellProcChain = SRV->LuaType(3) == VSLUATYPE_BOOL ? SRV->LuaToBool(3) : VS_FALSE;
    if (Self == NULL || Data == NULL || SRV->GetObject(SRV->GetIDEx(Self)) != Self) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    SRV->LuaPushBool(Output ? QZProcBase_DataCanBeAsOutput_Internal(Self, Data, IncludeCellProcChain)
                            : QZProcBase_DataCanBeAsInput_Internal(Self, Data, IncludeCellProcChain));
    return 1;
}

VS_INT32 QZProcBase_DataCanBeAsInput(void *L)
{
    (void)L;
    return PushDataTest(VS_FALSE);
}

VS_INT32 QZProcBase_DataCanBeAsOutput(void *L)
{
    (void)L;
    return PushDataTest(VS_TRUE);
}

VS_INT32 QZProcBase_ProcCanBeAsInput(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    void *Other = Trelk_ObjectArg(2);
    VS_INT32 Count = 0;
    if (Self != NULL && TrelkProc_IsProcObject(Other)) {
        StructOfQZProcBase *Source = (StructOfQZProcBase *)Other;
        for (void *Item = SRV->QueryFirst(&Source->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Item;
            void *OutputType = SRV->GetObject(&Output->DataBaseID);
            if (OutputType == NULL)
                continue;
            for (void *In = SRV->QueryFirst(&Self->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
                StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
                if (Trelk_IDEqual(&Input->DataBaseID, &Output->DataBaseID) ||
                    SRV->IsInst(&Input->DataBaseID, OutputType)) {
                    Count++;
                    break;
                }
            }
        }
    }
    SRV->LuaPushInt(Count);
    return 1;
}
