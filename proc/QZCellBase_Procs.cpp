// A cell's chains: adding procs and chains (each its own chain, or all in
// one, with or without a rule), finding them, runners made for them and
// adopted, and the queries over runners, executed procs and outputs.
#include "trelk_cell_internal.h"
#include "trelk_cell_luafuncs.h"
#include "trelk_alloc.h"


// ---------------------------------------------------------------------------
// Chains from arguments
// ---------------------------------------------------------------------------
static void *ArgObject(VS_INT32 Index)
{
    return SRV->LuaType(Index) == VSLUATYPE_OBJECT ? Trelk_FromRawObject(SRV->LuaToObject(Index)) : NULL;
}

static VS_BOOL IsProcOrChain(void *Object)
{
    return TrelkChain_IsProc(Object) || TrelkChain_IsChain(Object);
}

// TRUE when putting Object under the cell would put the cell under itself:
// Object is the cell or one of the objects that hold it.
static VS_BOOL HoldsCell(StructOfQZCellBase *Cell, void *Object)
{
    for (void *X = Cell; X != NULL; X = SRV->GetParent(X))
        if (X == Object)
            return VS_TRUE;
    return VS_FALSE;
}

// Attaches the rule to a chain just made for the cell.
static void AttachRule(void *Chain, void *Rule)
{
    void *Attach = SRV->MallocObjectL(SRV->GetIDEx(QZRuleAttachBaseClass), 0, NULL);
    if (Attach == NULL)
        return;
    ((StructOfQZRuleAttachBase *)Attach)->QZRuleID = SRV->GetID(Rule);
    SRV->LockGC(Rule);
    // The attachment keeps the lock it was made with: that is the chain's.
    if (!SRV->ChangeParent(Attach, Chain, SRV->GetAttributeIndex(QZProcChainBaseClass, "QZRuleAttachQueue")))
        SRV->FreeObject(Attach);
}

// Puts a chain made for the cell into its chain queue; the chain's creation
// lock becomes the queue's.
static VS_BOOL Adopt(StructOfQZCellBase *Cell, void *Chain, void *Rule)
{
    if (!SRV->ChangeParent(Chain, Cell, TrelkCell_QueueIndex("ProcChainQueue"))) {
        SRV->FreeObject(Chain);
        return VS_FALSE;
    }
    if (Rule != NULL)
        AttachRule(Chain, Rule);
    return VS_TRUE;
}

static void *NewChain()
{
    return SRV->MallocObjectL(SRV->GetIDEx(QZProcChainBaseClass), 0, NULL);
}

// The objects of the arguments from StartIndex on, by ID: building a chain
// runs creation events, after which pointers are looked up again.
static TrelkVector<VS_UUID> ArgIDs(VS_INT32 StartIndex)
{
    TrelkVector<VS_UUID> IDs;
    for (VS_INT32 i = StartIndex; i <= SRV->LuaGetTop(); i++)
        IDs.push_back(SRV->GetID(ArgObject(i)));
    return IDs;
}

// Each argument its own chain. Arguments have been checked.
static VS_BOOL AddEach(StructOfQZCellBase *Cell, VS_INT32 StartIndex, void *Rule)
{
    VS_UUID CellID = SRV->GetID(Cell);
    VS_UUID RuleID = Rule != NULL ? SRV->GetID(Rule) : VS_UUID{};
    for (VS_UUID &ID : ArgIDs(StartIndex)) {
        if (SRV->GetObject(&CellID) != Cell || (Rule != NULL && SRV->GetObject(&RuleID) != Rule))
            return VS_FALSE;
        void *Object = SRV->GetObject(&ID);
        void *Chain = NULL;
        if (TrelkChain_IsProc(Object)) {
            Chain = NewChain();
            if (Chain == NULL)
                return VS_FALSE;
            if (!QZProcChainBase_Append_Internal((StructOfQZProcChainBase *)Chain, Object)) {
                SRV->FreeObject(Chain);
                return VS_FALSE;
            }
        } else if (TrelkChain_IsChain(Object)) {
            Chain = SRV->MallocObjectL(&ID, 0, NULL);
            if (Chain == NULL)
                return VS_FALSE;
        } else {
            return VS_FALSE;
        }
        if (SRV->GetObject(&CellID) != Cell) {
            SRV->FreeObject(Chain);
            return VS_FALSE;
        }
        if (!Adopt(Cell, Chain, Rule))
            return VS_FALSE;
    }
    return VS_TRUE;
}

// All arguments in one chain. Arguments have been checked.
static VS_BOOL ConnectAll(StructOfQZCellBase *Cell, VS_INT32 StartIndex, void *Rule)
{
    VS_UUID CellID = SRV->GetID(Cell);
    TrelkVector<VS_UUID> IDs = ArgIDs(StartIndex);
    void *Chain = NULL;
    if (IDs.size() == 1 && TrelkChain_IsChain(SRV->GetObject(&IDs[0]))) {
        Chain = SRV->MallocObjectL(&IDs[0], 0, NULL);
    } else {
        Chain = NewChain();
        for (size_t i = 0; Chain != NULL && i < IDs.size(); i++) {
            void *Object = SRV->GetObject(&IDs[i]);
            if (Object == NULL || !QZProcChainBase_Append_Internal((StructOfQZProcChainBase *)Chain, Object)) {
                SRV->FreeObject(Chain);
                return VS_FALSE;
            }
        }
    }
    if (Chain == NULL)
        return VS_FALSE;
    if (SRV->GetObject(&CellID) != Cell) {
        SRV->FreeObject(Chain);
        return VS_FALSE;
    }
    return Adopt(Cell, Chain, Rule);
}

// Checks the arguments from StartIndex on; FALSE at the first one that is
// neither a proc nor a chain, or would hold the cell.
static VS_BOOL CheckArgs(StructOfQZCellBase *Cell, VS_INT32 StartIndex, const VS_CHAR *Function, VS_BOOL Report)
{
    for (VS_INT32 i = StartIndex; i <= SRV->LuaGetTop(); i++) {
        void *Object = ArgObject(i);
        if (!IsProcOrChain(Object)) {
            if (Report)
                Trelk_Raise(Cell, "'s function \"%s\" , the input [%d] is not proc or proc chain", Function, i - 2);
            return VS_FALSE;
        }
        if (HoldsCell(Cell, Object)) {
            Trelk_Raise(Cell, "'s function \"%s\" , the input [%d] is the cell itself or holds it", Function, i - 2);
            return VS_FALSE;
        }
    }
    return VS_TRUE;
}

VS_INT32 QZCellBase_AddProc_Internal(void *Cell, VS_INT32 StartIndex)
{
    if (!TrelkProc_IsCell(Cell))
        return Trelk_PushBool(VS_FALSE);
    StructOfQZCellBase *Self = (StructOfQZCellBase *)Cell;
    if (!CheckArgs(Self, StartIndex, "AddProc", VS_TRUE))
        return Trelk_PushBool(VS_FALSE);
    return Trelk_PushBool(AddEach(Self, StartIndex, NULL));
}

// void AddProc(void *QZProcOrProcChain)
VS_INT32 QZCellBase_AddProc(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    if (Self == NULL || SRV->LuaGetTop() < 2)
        return Trelk_PushBool(VS_FALSE);
    return QZCellBase_AddProc_Internal(Self, 2);
}

// VS_BOOL ConnectProc(void *QZProcOrProcChain, ...)
VS_INT32 QZCellBase_ConnectProc(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    if (Self == NULL || SRV->LuaGetTop() < 2 || !CheckArgs(Self, 2, "ConnectProc", VS_FALSE))
        return Trelk_PushBool(VS_FALSE);
    return Trelk_PushBool(ConnectAll(Self, 2, NULL));
}

// The rule argument of the Ex forms: TRUE with *Rule (NULL for nil) when it
// may be used.
static VS_BOOL RuleArg(StructOfQZCellBase *Cell, const VS_CHAR *Function, void **Rule)
{
    *Rule = NULL;
    if (SRV->LuaGetTop() < 2 || SRV->LuaType(2) == VSLUATYPE_NIL)
        return VS_TRUE;
    void *Object = ArgObject(2);
    if (Object == NULL || Object == QZRuleBaseClass || !Trelk_IsInstOf(Object, QZRuleBaseClass))
        return VS_FALSE;
    if (((StructOfQZRuleBase *)Object)->IsType) {
        Trelk_Raise(Cell, "'s function \"%s\" failed, the input Rule is a type, not an rule insatnce", Function);
        return VS_FALSE;
    }
    *Rule = Object;
    return VS_TRUE;
}

// VS_BOOL AddProcEx(struct StructOfQZRuleBase *QZRule, void *QZProcOrProcChain, ...)
VS_INT32 QZCellBase_AddProcEx(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    void *Rule = NULL;
    if (Self == NULL || !RuleArg(Self, "_AddProcEx", &Rule) || SRV->LuaGetTop() < 3 ||
        !CheckArgs(Self, 3, "AddProcEx", VS_FALSE))
        return Trelk_PushBool(VS_FALSE);
    return Trelk_PushBool(AddEach(Self, 3, Rule));
}

// VS_BOOL ConnectProcEx(struct StructOfQZRuleBase *QZRule, void *QZProcOrProcChain, ...)
VS_INT32 QZCellBase_ConnectProcEx(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    void *Rule = NULL;
    if (Self == NULL || !RuleArg(Self, "_ConnectProcEx", &Rule) || SRV->LuaGetTop() < 3 ||
        !CheckArgs(Self, 3, "ConnectProcEx", VS_FALSE))
        return Trelk_PushBool(VS_FALSE);
    return Trelk_PushBool(ConnectAll(Self, 3, Rule));
}

// ---------------------------------------------------------------------------
// Finding chains
// ---------------------------------------------------------------------------
static void *FindChain(StructOfQZCellBase *Cell, void *Object, VS_BOOL ByLast)
{
    if (Cell == NULL)
        return NULL;
    if (TrelkChain_IsProc(Object)) {
        void *Type = QZProcBase_GetProcType_Internal((StructOfQZProcBase *)Object);
        if (Type == NULL)
            return NULL;
        for (void *Chain = SRV->QueryFirst(&Cell->ProcChainQueue); Chain != NULL; Chain = SRV->QueryNext(Chain)) {
            StructOfQZProcBase *P = TrelkChain_StartProc(&((StructOfQZProcChainBase *)Chain)->QZProcStart);
            if (ByLast)
                P = TrelkChain_LastProc(P);
            if (P != NULL && SRV->IsInst(SRV->GetIDEx(Type), P))
                return Chain;
        }
        return NULL;
    }
    if (TrelkChain_IsChain(Object)) {
        for (void *Chain = SRV->QueryFirst(&Cell->ProcChainQueue); Chain != NULL; Chain = SRV->QueryNext(Chain))
            if (QZProcChainBase_Equals_Internal((StructOfQZProcChainBase *)Chain, (StructOfQZProcChainBase *)Object))
                return Chain;
    }
    return NULL;
}

VS_INT32 QZCellBase_FindProc(void *L)
{
    (void)L;
    SRV->LuaPushObject(FindChain(TrelkCell_SelfArg(), Trelk_ObjectArg(2), VS_FALSE));
    return 1;
}

VS_INT32 QZCellBase_LastProc(void *L)
{
    (void)L;
    SRV->LuaPushObject(FindChain(TrelkCell_SelfArg(), Trelk_ObjectArg(2), VS_TRUE));
    return 1;
}

VS_INT32 QZCellBase_GetProcChainQueue(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    for (void *Chain = Self != NULL ? SRV->QueryFirst(&Self->ProcChainQueue) : NULL; Chain != NULL;
         Chain = SRV->QueryNext(Chain))
        Pkg->InsertObject(Pkg->GetNumber(), Chain);
    return TrelkCell_PushPkg(Pkg);
}

VS_INT32 QZCellBase_CollectProcOutput(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    for (void *Chain = Self != NULL ? SRV->QueryFirst(&Self->ProcChainQueue) : NULL; Chain != NULL;
         Chain = SRV->QueryNext(Chain)) {
        StructOfQZProcBase *Last = TrelkChain_LastProc(TrelkChain_StartProc(&((StructOfQZProcChainBase *)Chain)->QZProcStart));
        if (Last == NULL)
            continue;
        for (void *Out = SRV->QueryFirst(&Last->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out)) {
            void *Type = SRV->GetObject(&((StructOfQZDataOutputContainer *)Out)->DataBaseID);
            if (Type != NULL && !TrelkProc_PkgHasObject(Pkg, Type))
                Pkg->InsertObject(Pkg->GetNumber(), Type);
        }
    }
    return TrelkCell_PushPkg(Pkg);
}

// A data object or data type argument, else NULL.
static StructOfQZDataBase *DataArg(VS_INT32 Index)
{
    void *Object = Trelk_ObjectArg(Index);
    return Object != NULL && Trelk_IsOf(Object, QZDataBaseClass) ? (StructOfQZDataBase *)Object : NULL;
}

VS_INT32 QZCellBase_DataCanBeAsInput(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    StructOfQZDataBase *Data = DataArg(2);
    if (Self == NULL || Data == NULL)
        return Trelk_PushBool(VS_FALSE);
    VS_BOOL IncludeChains = SRV->QueryFirst(&Self->InputQueue) == NULL;
    return Trelk_PushBool(QZProcBase_DataCanBeAsInput_Internal(Self, Data, IncludeChains));
}

VS_INT32 QZCellBase_DataCanBeAsOutput(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    StructOfQZDataBase *Data = DataArg(2);
    if (Self == NULL || Data == NULL)
        return Trelk_PushBool(VS_FALSE);
    VS_BOOL IncludeChains = SRV->QueryFirst(&Self->OutputQueue) == NULL;
    return Trelk_PushBool(QZProcBase_DataCanBeAsOutput_Internal(Self, Data, IncludeChains));
}

// ---------------------------------------------------------------------------
// Runners
// ---------------------------------------------------------------------------
// struct StructOfQZProcRunnerBase *RunnerFromProcChain(struct StructOfQZRealmBase *QZRealm,
//                                                      struct StructOfQZProcChainBase *ProcChain)
VS_INT32 QZCellBase_RunnerFromProcChain(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    void *Realm = Trelk_ObjectArg(2);
    void *Chain = Trelk_ObjectArg(3);
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    if (!TrelkCell_IsRealm(Realm))
        return Trelk_Fail(Self, "'s function \"RunnerFromProcChain\" failed, the first parameter must be a realm");
    if (!TrelkChain_IsChain(Chain) || SRV->GetParent(Chain) != Self) {
        SRV->LuaPushNil();
        return 1;
    }
    Trelk_PushHandOver(
        Tarvex_ScheduleProc_NewRunner((StructOfQZRealmBase *)Realm, Self, (StructOfQZProcChainBase *)Chain));
    return 1;
}

// VS_BOOL AddRunner(struct StructOfQZProcRunnerBase *Runner)
VS_INT32 QZCellBase_AddRunner(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_InstanceSelfArg();
    void *Object = Trelk_ObjectArg(2);
    if (Self == NULL || Object == NULL || Object == QZProcRunnerBaseClass || !Trelk_IsInstOf(Object, QZProcRunnerBaseClass))
        return Trelk_PushBool(VS_FALSE);
    StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)Object;
    // A runner made for another cell is adopted as well: from here on it
    // runs for this cell.
    VS_UUID SelfID = SRV->GetID(Self);
    // Each runner of the queue holds one lock for its place there, taken
    // once however often it is added.
    if (!TrelkCell_InQueue(Self, Runner, "NormalRunnerQueue")) {
        if (!SRV->ChangeParent(Runner, Self, TrelkCell_QueueIndex("NormalRunnerQueue")))
            return Trelk_PushBool(VS_FALSE);
        SRV->LockGC(Runner);
    }
    Runner->QZCellID = SelfID;
    StructOfTrelkProcWalk Walk;
    StructOfQZProcBase *Previous = NULL;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, TrelkChain_StartProc(&Runner->QZProcStart), VS_FALSE); P != NULL;
         P = TrelkProcWalk_Next(&Walk)) {
        Tarvex_ScheduleProc_DupProc_SetIsFromInternal(Previous, P, VS_TRUE);
        Previous = P;
    }
    TrelkProcWalk_End(&Walk);
    for (void *P = SRV->QueryFirst(&Runner->QZProcBase); P != NULL; P = SRV->QueryNext(P))
        if (((StructOfQZProcBase *)P)->QZProcIndexTree != NULL)
            SRV->DelAllKey(((StructOfQZProcBase *)P)->QZProcIndexTree);
    Previous = NULL;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, TrelkChain_StartProc(&Runner->QZProcStart), VS_FALSE); P != NULL;
         P = TrelkProcWalk_Next(&Walk)) {
        Tarvex_ScheduleProc_DupProc_SetPrevProcIndexTree(Previous, P);
        Previous = P;
    }
    TrelkProcWalk_End(&Walk);
    return Trelk_PushBool(VS_TRUE);
}

// VS_INT32 NumberOfRunner(struct StructOfQZProcBase *QZProc, VS_BOOL WithSameProcChain)
VS_INT32 QZCellBase_NumberOfRunner(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushInt(0);
        return 1;
    }
    VS_BOOL WithProc = SRV->LuaGetTop() >= 2 && SRV->LuaType(2) != VSLUATYPE_NIL;
    VS_BOOL SameChain = SRV->LuaGetTop() >= 3 && SRV->LuaType(3) == VSLUATYPE_BOOL ? SRV->LuaToBool(3) : VS_FALSE;
    void *ProcChain = NULL;
    if (WithProc) {
        void *Object = Trelk_ObjectArg(2);
        StructOfQZProcBase *Proc = TrelkChain_IsProc(Object) ? (StructOfQZProcBase *)Object : NULL;
        void *Runner = Proc != NULL && !Trelk_IsZeroID(&Proc->RunnerID) && !Trelk_IsZeroID(&Proc->RootProcID)
                           ? SRV->GetObject(&Proc->RunnerID)
                           : NULL;
        if (Runner != NULL && Trelk_IsInstOf(Runner, QZProcRunnerBaseClass))
            ProcChain = SRV->GetObject(&((StructOfQZProcRunnerBase *)Runner)->QZProcChainID);
        if (ProcChain == NULL) {
            Trelk_RaiseText("call [%s]%s NumberOfRunner failed failed, input is not qzproc in runner", Trelk_IDText(Self),
                            Trelk_Name(Self));
            SRV->LuaPushInt(0);
            return 1;
        }
    }
    OBJECTATTRIBUTEINDEX OutputIndex = TrelkCell_QueueIndex("QZProcForOutputQueue");
    VS_INT32 Count = 0;
    for (void *R = SRV->QueryFirst(&Self->NormalRunnerQueue); R != NULL; R = SRV->QueryNext(R)) {
        void *Chain = SRV->GetObject(&((StructOfQZProcRunnerBase *)R)->QZProcChainID);
        if (Chain == NULL)
            continue;
        VS_BOOL IsOutput = SRV->GetParent(Chain) == Self && SRV->GetIndex(Chain) == OutputIndex;
        if (!WithProc)
            Count += IsOutput ? 0 : 1;
        else if (SameChain)
            Count += Chain == ProcChain ? 1 : 0;
        else
            Count += Chain != ProcChain && !IsOutput ? 1 : 0;
    }
    SRV->LuaPushInt(Count);
    return 1;
}

// VS_BOOL IsProcChainRunning(struct StructOfQZProcChainBase *ProcChain)
VS_INT32 QZCellBase_IsProcChainRunning(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    void *Chain = Trelk_ObjectArg(2);
    StructOfQZProcBase *First =
        Self != NULL && TrelkChain_IsChain(Chain) ? TrelkChain_StartProc(&((StructOfQZProcChainBase *)Chain)->QZProcStart) : NULL;
    if (First == NULL)
        return Trelk_PushBool(VS_FALSE);
    VS_BOOL Running = VS_FALSE;
    VS_QUERYRECORD Query;
    for (void *P = SRV->QueryFirstInst(&Query, First); P != NULL && !Running; P = SRV->QueryNextInst(&Query, First)) {
        if (!TrelkChain_IsProc(P) || Trelk_IsZeroID(&((StructOfQZProcBase *)P)->RunnerID))
            continue;
        void *Runner = SRV->GetObject(&((StructOfQZProcBase *)P)->RunnerID);
        Running = Runner != NULL && SRV->GetParent(Runner) == Self;
    }
    SRV->QueryInstClose(&Query);
    return Trelk_PushBool(Running);
}

// VS_BOOL IsProcExecuted(struct StructOfQZProcBase *QZProc)
VS_INT32 QZCellBase_IsProcExecuted(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    void *Object = Trelk_ObjectArg(2);
    // Before the cell's first run the scheduler has made no index: nothing
    // has been executed.
    if (Self == NULL || !TrelkChain_IsProc(Object) || Self->ProcExecutedIndexTree == NULL)
        return Trelk_PushBool(VS_FALSE);
    void *Type = QZProcBase_GetProcType_Internal((StructOfQZProcBase *)Object);
    if (Type == NULL)
        return Trelk_PushBool(VS_FALSE);
    VS_UUID Key;
    for (void *V = SRV->QueryFirstIDKey(Self->ProcExecutedIndexTree, &Key); V != NULL;
         V = SRV->QueryNextIDKey(Self->ProcExecutedIndexTree, &Key)) {
        void *Executed = SRV->GetObject(&Key);
        if (Executed != NULL && SRV->IsInst(SRV->GetIDEx(Type), Executed))
            return Trelk_PushBool(VS_TRUE);
    }
    return Trelk_PushBool(VS_FALSE);
}

// ---------------------------------------------------------------------------
// Missing data and outputs
// ---------------------------------------------------------------------------
// Calls Visit(proc) for each existing current proc of each runner.
template <typename Fn> static void ForEachCurrentProc(StructOfQZCellBase *Cell, Fn Visit)
{
    for (void *R = SRV->QueryFirst(&Cell->NormalRunnerQueue); R != NULL; R = SRV->QueryNext(R)) {
        void *Index = ((StructOfQZProcRunnerBase *)R)->CurrentQZProcIndexTree;
        if (Index == NULL)
            continue;
        VS_UUID Key;
        for (void *V = SRV->QueryFirstIDKey(Index, &Key); V != NULL; V = SRV->QueryNextIDKey(Index, &Key)) {
            void *P = SRV->GetObject(&Key);
            if (TrelkChain_IsProc(P))
                Visit((StructOfQZProcBase *)P);
        }
    }
}

VS_INT32 QZCellBase_GetMissingEnvData(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL)
        ForEachCurrentProc(Self, [Pkg](StructOfQZProcBase *P) {
            for (void *In = SRV->QueryFirst(&P->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
                StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
                if (!Input->IsFromInternal || !TrelkCell_InputIsShort(Input))
                    continue;
                void *Type = SRV->GetObject(&Input->DataBaseID);
                if (Type != NULL && !TrelkProc_PkgHasObject(Pkg, Type))
                    Pkg->InsertObject(Pkg->GetNumber(), Type);
            }
        });
    return TrelkCell_PushPkg(Pkg);
}

VS_INT32 QZCellBase_GetMissingEnvDataProc(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    if (Self == NULL)
        return TrelkCell_PushPkg(Pkg);
    for (void *Chain = SRV->QueryFirst(&Self->ProcChainQueue); Chain != NULL; Chain = SRV->QueryNext(Chain)) {
        StructOfQZProcBase *First = TrelkChain_StartProc(&((StructOfQZProcChainBase *)Chain)->QZProcStart);
        if (First == NULL)
            continue;
        if ((Self->ProcChainRunnerIndexTree == NULL ||
             SRV->FindIDKey(Self->ProcChainRunnerIndexTree, SRV->GetIDEx(Chain)) == NULL) &&
            !TrelkProc_PkgHasObject(Pkg, First))
            Pkg->InsertObject(Pkg->GetNumber(), First);
    }
    ForEachCurrentProc(Self, [Pkg](StructOfQZProcBase *P) {
        for (void *In = SRV->QueryFirst(&P->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
            StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
            if (Input->IsFromInternal && TrelkCell_InputIsShort(Input)) {
                if (!TrelkProc_PkgHasObject(Pkg, P))
                    Pkg->InsertObject(Pkg->GetNumber(), P);
                return;
            }
        }
    });
    return TrelkCell_PushPkg(Pkg);
}

// The first proc of the first chain of the cell's output chains, or NULL.
static StructOfQZProcBase *OutputProc(StructOfQZCellBase *Cell)
{
    void *Chain = SRV->QueryFirst(&Cell->QZProcForOutputQueue);
    return Chain != NULL ? TrelkChain_StartProc(&((StructOfQZProcChainBase *)Chain)->QZProcStart) : NULL;
}

VS_INT32 QZCellBase_GetCellMissingOutput(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    if (Self == NULL || !Self->IsReady || SRV->QueryFirst(&Self->QZProcForOutputQueue) == NULL)
        return TrelkCell_PushPkg(Pkg);
    for (void *Out = SRV->QueryFirst(&Self->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out))
        if (SRV->QueryFirst(&((StructOfQZDataOutputContainer *)Out)->QZData) != NULL)
            return TrelkCell_PushPkg(Pkg);
    StructOfQZProcBase *Proc = OutputProc(Self);
    for (void *In = Proc != NULL ? SRV->QueryFirst(&Proc->InputQueue) : NULL; In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        VS_BOOL Missing = SRV->QueryFirst(&Input->DataQueue) == NULL ||
                          (Input->RequestNumber > 0 &&
                           Tarvex_ScheduleProc_GetItemNumber(&Input->DataQueue) != Input->RequestNumber);
        void *Type = Missing ? SRV->GetObject(&Input->DataBaseID) : NULL;
        if (Type != NULL)
            Pkg->InsertObject(Pkg->GetNumber(), Type);
    }
    return TrelkCell_PushPkg(Pkg);
}

// VS_BOOL IsCellOutputMustExist(struct StructOfQZDataBase *OutputDataType)
VS_INT32 QZCellBase_IsCellOutputMustExist(void *L)
{
    (void)L;
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    void *Type = Trelk_ObjectArg(2);
    StructOfQZProcBase *Proc = Self != NULL && Type != NULL ? OutputProc(Self) : NULL;
    for (void *In = Proc != NULL ? SRV->QueryFirst(&Proc->InputQueue) : NULL; In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        if (Trelk_IDEqual(&Input->DataBaseID, SRV->GetIDEx(Type)))
            return Trelk_PushBool(Input->IsMustExist);
    }
    return Trelk_PushBool(VS_FALSE);
}
