// Building a proc chain backwards from wanted outputs, and handing the same
// request to script code.
//
// One search level finds the producers of each wanted output (proc types, or
// existing chains of more than one proc), chooses one combination of them
// (at random, or weighted by the realm stub's "OnProcPriority"), and searches
// again for the inputs that combination needs beyond what is available. Each
// level becomes one element of the new chain: a fresh instance of the one
// chosen proc, or a cell holding the chosen procs and chains side by side.
// A combination whose inputs cannot be made is dropped and the next one of
// its level is tried.
//
// The packages of a search hold objects by ID: a script hook may free any of
// them, and a vanished object reads as NULL.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"

#include "trelk_alloc.h"

#include <algorithm>
#include <cstdlib>

static VS_BOOL IsProc(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcBaseClass);
}

static VS_BOOL IsChain(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcChainBaseClass);
}

static VS_BOOL PkgHasObject(VS_PARAPKGPTR Pkg, void *Object)
{
    for (VS_INT32 i = 0; Pkg != NULL && Object != NULL && i < Pkg->GetNumber(); i++)
        if (Pkg->GetType(i) == VSTYPE_OBJECT && Pkg->GetObject(i) == Object)
            return VS_TRUE;
    return VS_FALSE;
}

// A level result that failed for Object (NULL: for no data type in
// particular).
static VS_PARAPKGPTR FailedFor(VS_PARAPKGPTR Result, void *Object)
{
    Result->Clear();
    Result->InsertBool(0, VS_FALSE);
    Result->InsertObject(1, Object);
    return Result;
}

// ---------------------------------------------------------------------------
// Arguments: what is wanted (argument 2) and what is at hand (3 onwards)
// ---------------------------------------------------------------------------
// Adds the type of a data object or proc; FALSE for anything else.
static VS_BOOL AddTypeOf(VS_PARAPKGPTR Set, void *RawObject)
{
    void *Object = Trelk_FromRawObject(RawObject);
    void *Type = NULL;
    if (Trelk_IsInstOf(Object, QZDataBaseClass))
        Type = QZDataBase_GetDataType_Internal((StructOfQZDataBase *)Object);
    else if (IsProc(Object))
        Type = QZProcBase_GetProcType_Internal((StructOfQZProcBase *)Object);
    if (Type == NULL)
        return VS_FALSE;
    Set->InsertObject(Set->GetNumber(), Type);
    return VS_TRUE;
}

static VS_BOOL AddTypesOf(VS_PARAPKGPTR Set, VS_PARAPKGPTR Pkg)
{
    if (Pkg == NULL)
        return VS_FALSE;
    Pkg->AddRef();
    VS_BOOL Ok = VS_TRUE;
    for (VS_INT32 i = 0; Ok && i < Pkg->GetNumber(); i++)
        Ok = Pkg->GetType(i) == VSTYPE_OBJECT && AddTypeOf(Set, Pkg->GetObject(i));
    Pkg->Release();
    return Ok;
}

// Fills the output set from argument 2 and the input set from the arguments
// after it; FALSE when one of them is neither a data object nor a proc, or a
// package of such.
static VS_BOOL ReadBuildArgs(VS_PARAPKGPTR OutputSet, VS_PARAPKGPTR InputSet)
{
    VS_INT32 Top = SRV->LuaGetTop();
    if (Top < 2)
        return VS_FALSE;
    if (SRV->LuaType(2) == VSLUATYPE_PARAPKG) {
        if (!AddTypesOf(OutputSet, SRV->LuaToParaPkg(2)))
            return VS_FALSE;
    } else {
        void *Object = SRV->LuaType(2) == VSLUATYPE_OBJECT ? SRV->LuaToObject(2) : NULL;
        if (Object == NULL || !AddTypeOf(OutputSet, Object))
            return VS_FALSE;
    }
    for (VS_INT32 i = 3; i <= Top; i++) {
        VS_INT32 Type = SRV->LuaType(i);
        if (Type == VSLUATYPE_OBJECT) {
            if (!AddTypeOf(InputSet, SRV->LuaToObject(i)))
                return VS_FALSE;
        } else if (Type == VSLUATYPE_PARAPKG) {
            if (!AddTypesOf(InputSet, SRV->LuaToParaPkg(i)))
                return VS_FALSE;
        } else {
            return VS_FALSE;
        }
    }
    return VS_TRUE;
}

// ---------------------------------------------------------------------------
// Producers and candidate sets
// ---------------------------------------------------------------------------
static VS_BOOL ProducersEqual(void *A, void *B)
{
    if (A == NULL || B == NULL)
        return VS_FALSE;
    if (A == B)
        return VS_TRUE;
    if (IsProc(A) && IsProc(B))
        return QZProcBase_Equals_Internal((StructOfQZProcBase *)A, (StructOfQZProcBase *)B);
    if (IsChain(A) && IsChain(B))
        return QZProcChainBase_Equals_Internal((StructOfQZProcChainBase *)A, (StructOfQZProcChainBase *)B);
    return VS_FALSE;
}

// TRUE when Set holds a producer equal to Producer.
static VS_BOOL HasEqualProducer(VS_PARAPKGPTR Set, void *Producer)
{
    for (VS_INT32 i = 0; Set != NULL && i < Set->GetNumber(); i++)
        if (ProducersEqual(Set->GetObject(i), Producer))
            return VS_TRUE;
    return VS_FALSE;
}

// TRUE when an earlier set has as many members as Set and each of them is
// equal to a member of Set.
static VS_BOOL HasEqualSet(VS_PARAPKGPTR Sets, VS_PARAPKGPTR Set)
{
    for (VS_INT32 i = 0; i < Sets->GetNumber(); i++) {
        VS_PARAPKGPTR Earlier = Sets->GetParaPackage(i);
        if (Earlier == NULL || Earlier->GetNumber() != Set->GetNumber())
            continue;
        VS_BOOL Same = VS_TRUE;
        for (VS_INT32 j = 0; Same && j < Earlier->GetNumber(); j++)
            Same = HasEqualProducer(Set, Earlier->GetObject(j));
        if (Same)
            return VS_TRUE;
    }
    return VS_FALSE;
}

static VS_INT32 ChainProcCount(StructOfQZProcChainBase *Chain)
{
    VS_INT32 Count = 0;
    for (void *X = SRV->QueryFirst(&Chain->QZProcBase); X != NULL && Count < 2; X = SRV->QueryNext(X))
        Count++;
    return Count;
}

// ---------------------------------------------------------------------------
// What one build remembers
// ---------------------------------------------------------------------------
// A deep search asks for the producers of one data type per level. Scanning
// the proc-type registry and every chain at each level makes a build grow
// with depth times library size, so one build indexes them once, by the IDs
// of the data types their outputs name, in scan order. Nothing the search
// itself does changes a proc type's outputs or a chain's order; a script
// can (a creation event of an element, "OnProcPriority"), so every point
// where one may run marks the index stale and the next lookup rebuilds it.
typedef TrelkIDMap<TrelkVector<VS_INT32>> TrelkPositionsByOutput;

struct StructOfBuildSearch {
    VS_BOOL Ready;
    TrelkVector<VS_UUID> Types;  // listed proc types, registry order
    TrelkPositionsByOutput TypesByOutput;
    TrelkVector<VS_UUID> Chains; // chains that may be producers, instance order
    TrelkPositionsByOutput ChainsByOutput;
    // The data types being searched on the way down (see BuildLevel),
    // counted by ID.
    TrelkVector<VS_UUID> Path;
    TrelkIDMap<VS_INT32> PathCount;

    StructOfBuildSearch() : Ready(VS_FALSE) {}
    void Stale()
    {
        Ready = VS_FALSE;
    }
};

static void AddOutputsOf(TrelkPositionsByOutput &Index, StructOfQZProcBase *Proc, VS_INT32 Position)
{
    for (void *Item = SRV->QueryFirst(&Proc->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        TrelkVector<VS_INT32> &Positions = Index[((StructOfQZDataOutputContainer *)Item)->DataBaseID];
        if (Positions.empty() || Positions.back() != Position)
            Positions.push_back(Position);
    }
}

static VS_BOOL IsListedProcType(void *Type)
{
    return Type != NULL && Type != QZProcRemoteBaseClass && Type != QZCellBaseClass;
}

static void IndexProducers(StructOfBuildSearch *Search)
{
    Search->Types.clear();
    Search->TypesByOutput.clear();
    Search->Chains.clear();
    Search->ChainsByOutput.clear();
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(GlobalProcTypeIndexTree, &Key); Value != NULL;
         Value = SRV->QueryNextIDKey(GlobalProcTypeIndexTree, &Key)) {
        StructOfQZProcBase *Type = (StructOfQZProcBase *)SRV->GetObject(&Key);
        if (!IsListedProcType(Type))
            continue;
        AddOutputsOf(Search->TypesByOutput, Type, (VS_INT32)Search->Types.size());
        Search->Types.push_back(Key);
    }
    // Only chains of more than one proc that no search has built are ever
    // producers; their last procs are found once here.
    VS_QUERYRECORD Query;
    memset(&Query, 0, sizeof(Query));
    for (void *Chain = SRV->QueryFirstInst(&Query, QZProcChainBaseClass); Chain != NULL;
         Chain = SRV->QueryNextInst(&Query, QZProcChainBaseClass)) {
        StructOfQZProcChainBase *C = (StructOfQZProcChainBase *)Chain;
        if (C->IsBuildDynamic == 1 || ChainProcCount(C) <= 1)
            continue;
        StructOfQZProcBase *Last = TrelkRealm_ChainLastProc(C);
        if (Last == NULL)
            continue;
        AddOutputsOf(Search->ChainsByOutput, Last, (VS_INT32)Search->Chains.size());
        Search->Chains.push_back(SRV->GetID(C));
    }
    SRV->QueryInstClose(&Query);
    Search->Ready = VS_TRUE;
}

// Positions, in scan order and each once, of the entries with an output that
// takes DataType: one naming the type itself or a class it derives from.
static void PositionsFor(TrelkPositionsByOutput &Index, StructOfQZDataBase *DataType, TrelkVector<VS_INT32> &Out)
{
    Out.clear();
    VS_INT32 Keys = 0;
    void *X = DataType;
    for (VS_INT32 Depth = 0; X != NULL && Depth < 65536; Depth++, X = SRV->GetClass(X)) {
        TrelkPositionsByOutput::iterator It = Index.find(SRV->GetID(X));
        if (It == Index.end())
            continue;
        Out.insert(Out.end(), It->second.begin(), It->second.end());
        Keys++;
    }
    if (Keys > 1) {
        std::sort(Out.begin(), Out.end());
        Out.erase(std::unique(Out.begin(), Out.end()), Out.end());
    }
}

// The producers of one wanted data type: the proc types that output it, then
// the chains of more than one proc whose last proc outputs it and that no
// search has built. Empty when no proc type produces it.
static VS_PARAPKGPTR ProducersOf(StructOfBuildSearch *Search, StructOfQZDataBase *DataType)
{
    if (!Search->Ready)
        IndexProducers(Search);
    VS_PARAPKGPTR Producers = Trelk_GetParaPkgInterface(__LINE__);
    TrelkVector<VS_INT32> Positions;
    PositionsFor(Search->TypesByOutput, DataType, Positions);
    for (size_t i = 0; i < Positions.size(); i++) {
        StructOfQZProcBase *Type = (StructOfQZProcBase *)SRV->GetObject(&Search->Types[Positions[i]]);
        if (Type != NULL && QZProcBase_DataCanBeAsOutput_Internal(Type, DataType, VS_FALSE) == VS_TRUE)
            Producers->InsertObject(Producers->GetNumber(), Type);
    }
    if (Producers->GetNumber() == 0)
        return Producers;
    PositionsFor(Search->ChainsByOutput, DataType, Positions);
    for (size_t i = 0; i < Positions.size(); i++) {
        void *Chain = SRV->GetObject(&Search->Chains[Positions[i]]);
        if (Chain != NULL)
            Producers->InsertObject(Producers->GetNumber(), Chain);
    }
    return Producers;
}

// Producers equal to a member of what is at hand: those members are to be
// used rather than any other producer.
static void PreferGiven(VS_PARAPKGPTR *Producers, VS_PARAPKGPTR InputSet)
{
    if (InputSet == NULL)
        return;
    VS_PARAPKGPTR Given = Trelk_GetParaPkgInterface(__LINE__);
    for (VS_INT32 i = 0; i < (*Producers)->GetNumber(); i++) {
        void *Producer = (*Producers)->GetObject(i);
        if (Producer != NULL && HasEqualProducer(InputSet, Producer))
            Given->InsertObject(Given->GetNumber(), Producer);
    }
    if (Given->GetNumber() == 0) {
        Given->Release();
        return;
    }
    (*Producers)->Release();
    *Producers = Given;
}

void QZRealmBase_BuildProcChain_Internal_BuildOutputProcSet(VS_PARAPKGPTR PreviousOutputProc,
                                                            VS_PARAPKGPTR WhichOutputProcPkgTemp, VS_INT32 StartIndex,
                                                            VS_PARAPKGPTR WhichOutputProcSetPkg)
{
    if (WhichOutputProcPkgTemp == NULL || WhichOutputProcSetPkg == NULL)
        return;
    VS_PARAPKGPTR List = WhichOutputProcPkgTemp->GetParaPackage(StartIndex);
    if (List == NULL)
        return;
    VS_BOOL IsLast = StartIndex >= WhichOutputProcPkgTemp->GetNumber() - 1 ? VS_TRUE : VS_FALSE;
    for (VS_INT32 i = 0; i < List->GetNumber(); i++) {
        void *Producer = List->GetObject(i);
        if (Producer == NULL)
            continue;
        VS_PARAPKGPTR Set;
        if (StartIndex == 0 || PreviousOutputProc == NULL) {
            Set = Trelk_GetParaPkgInterface(__LINE__);
            Set->InsertObject(0, Producer);
        } else {
            Set = PreviousOutputProc->Dup();
            if (!HasEqualProducer(Set, Producer))
                Set->InsertObject(Set->GetNumber(), Producer);
        }
        if (!IsLast)
            QZRealmBase_BuildProcChain_Internal_BuildOutputProcSet(Set, WhichOutputProcPkgTemp, StartIndex + 1,
                                                                   WhichOutputProcSetPkg);
        else if (!HasEqualSet(WhichOutputProcSetPkg, Set))
            WhichOutputProcSetPkg->InsertParaPackage(WhichOutputProcSetPkg->GetNumber(), Set);
        Set->Release();
    }
}

// ---------------------------------------------------------------------------
// Choosing a candidate set
// ---------------------------------------------------------------------------
// The priorities the realm stub gives the sets, one per set; FALSE when
// there is no stub, it defines no "OnProcPriority", its script failed or it
// gave a wrong number of them.
static VS_BOOL AskPriorities(VS_PARAPKGPTR Sets, VS_PARAPKGPTR Priority)
{
    void *Stub = Trelk_GetRealmStubObject();
    if (Stub == NULL)
        return VS_FALSE;
    void *DefinedOn = SRV->LuaIsFunctionDefined(Stub, "OnProcPriority", VS_TRUE);
    if (DefinedOn == NULL || DefinedOn == QZRealmStubBaseClass)
        return VS_FALSE;
    VS_UUID StubID = SRV->GetID(Stub);
    // The hook gets a copy of the sets: whatever it does to the package, the
    // search goes on with its own.
    VS_PARAPKGPTR Shown = Sets->Dup();
    SRV->LuaPushParaPkg(Shown, VS_FALSE);
    SRV->LuaPushParaPkg(Priority, VS_FALSE);
    SRV->GetLastError();
    VS_BOOL Called = Trelk_ExecNameScript(Stub, "OnProcPriority", 2, 0);
    Shown->Release();
    if (!Called)
        return VS_FALSE;
    Stub = SRV->GetObject(&StubID);
    if (QZProcChain_IsExecNameScriptError(Stub, "calls the function OnProcPriority failed"))
        return VS_FALSE;
    if (Priority->GetNumber() != Sets->GetNumber()) {
        QZRealmBase_RaiseException(Stub, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "OnProcPriority must return priority for each item");
        return VS_FALSE;
    }
    return VS_TRUE;
}

// Roulette wheel over the priorities: the first set whose running sum
// reaches a random point of the total, else the last set.
static VS_INT32 Roulette(VS_PARAPKGPTR Priority, VS_INT32 Number)
{
    VS_DOUBLE Sum = 0;
    for (VS_INT32 i = 0; i < Number; i++)
        Sum += Priority->GetFloat(i);
    VS_DOUBLE Target = ((VS_DOUBLE)rand() / (VS_DOUBLE)RAND_MAX) * Sum;
    VS_DOUBLE Running = 0;
    for (VS_INT32 i = 0; i < Number - 1; i++) {
        Running += Priority->GetFloat(i);
        if (Running >= Target)
            return i;
    }
    return Number - 1;
}

// Takes one set out of Sets; the caller owns it. NULL when no set is left.
static VS_PARAPKGPTR ChooseSet(StructOfBuildSearch *Search, VS_PARAPKGPTR Sets)
{
    VS_INT32 Number = Sets->GetNumber();
    if (Number <= 0)
        return NULL;
    VS_INT32 Index = 0;
    if (Number > 1) {
        VS_PARAPKGPTR Priority = Trelk_GetParaPkgInterface(__LINE__);
        Index = AskPriorities(Sets, Priority) ? Roulette(Priority, Number) : rand() % Number;
        // The stub's hook may have run.
        Search->Stale();
        Priority->Release();
    }
    VS_PARAPKGPTR Set = Sets->GetParaPackage(Index);
    if (Set != NULL)
        Set->AddRef();
    Sets->Del(Index);
    return Set;
}

// ---------------------------------------------------------------------------
// The element of a level
// ---------------------------------------------------------------------------
// The data types the members of Set need, each once, in order; FALSE when a
// member has gone meanwhile. Members at hand need nothing.
static VS_BOOL NeededInputs(VS_PARAPKGPTR Set, VS_PARAPKGPTR InputSet, VS_PARAPKGPTR Needed)
{
    for (VS_INT32 i = 0; i < Set->GetNumber(); i++) {
        void *Member = Set->GetObject(i);
        if (Member == NULL)
            return VS_FALSE;
        if (InputSet != NULL && HasEqualProducer(InputSet, Member))
            continue;
        void *Proc = Member;
        if (IsChain(Member))
            Proc = SRV->GetObject(&((StructOfQZProcChainBase *)Member)->QZProcStart);
        if (!IsProc(Proc))
            continue;
        VS_PARAPKGPTR Types = QZProcBase_CollectInputDataClass_Internal((StructOfQZProcBase *)Proc);
        for (VS_INT32 j = 0; j < Types->GetNumber(); j++) {
            void *Type = Types->GetObject(j);
            if (Type != NULL && !PkgHasObject(Needed, Type))
                Needed->InsertObject(Needed->GetNumber(), Type);
        }
        Types->Release();
    }
    return VS_TRUE;
}

// Appends a new object to one of the cell's queues; its creation lock
// becomes the queue's. A NULL object (one that could not be made) fails.
static VS_BOOL AdoptInto(void *Cell, void *Object, OBJECTATTRIBUTEINDEX Index)
{
    if (Object == NULL)
        return VS_FALSE;
    if (!SRV->ChangeParent(Object, Cell, Index)) {
        SRV->FreeObject(Object);
        return VS_FALSE;
    }
    return VS_TRUE;
}

static VS_BOOL CellHasOutput(StructOfQZProcBase *Cell, VS_UUID *TypeID)
{
    for (void *X = SRV->QueryFirst(&Cell->OutputQueue); X != NULL; X = SRV->QueryNext(X))
        if (Trelk_IDEqual(&((StructOfQZDataOutputContainer *)X)->DataBaseID, TypeID))
            return VS_TRUE;
    return VS_FALSE;
}

// A new cell holding the chosen procs and chains side by side, taking the
// needed inputs and giving the level's wanted data types; NULL (nothing left
// over) when a part cannot be made.
static void *BuildCellElement(VS_PARAPKGPTR Set, VS_PARAPKGPTR Needed, VS_PARAPKGPTR OutputSet)
{
    StructOfQZProcBase *Cell = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(QZCellBaseClass), 0, NULL);
    if (Cell == NULL)
        return NULL;
    VS_UUID CellID = SRV->GetID(Cell);
    OBJECTATTRIBUTEINDEX ChainIndex = SRV->GetAttributeIndex(QZCellBaseClass, "ProcChainQueue");
    OBJECTATTRIBUTEINDEX InputIndex = SRV->GetAttributeIndex(QZProcBaseClass, "InputQueue");
    OBJECTATTRIBUTEINDEX OutputIndex = SRV->GetAttributeIndex(QZProcBaseClass, "OutputQueue");
    VS_BOOL Ok = VS_TRUE;
    for (VS_INT32 i = 0; Ok && i < Set->GetNumber(); i++) {
        void *Member = Set->GetObject(i);
        void *Chain = NULL;
        if (IsProc(Member)) {
            Chain = SRV->MallocObjectL(SRV->GetIDEx(QZProcChainBaseClass), 0, NULL);
            if (Chain != NULL && !QZProcChainBase_Append_Internal((StructOfQZProcChainBase *)Chain, Member)) {
                SRV->FreeObject(Chain);
                Chain = NULL;
            }
        } else if (IsChain(Member)) {
            Chain = SRV->MallocObjectL(SRV->GetIDEx(Member), 0, NULL);
        }
        // Creation events run scripts: the cell is found again.
        if (SRV->GetObject(&CellID) != Cell) {
            if (Chain != NULL)
                SRV->FreeObject(Chain);
            return NULL;
        }
        Ok = AdoptInto(Cell, Chain, ChainIndex);
    }
    for (VS_INT32 i = 0; Ok && i < Needed->GetNumber(); i++) {
        void *Type = Needed->GetObject(i);
        if (Type == NULL) {
            Ok = VS_FALSE;
            break;
        }
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)SRV->MallocObjectL(
            SRV->GetIDEx(QZDataInputContainerClass), 0, NULL);
        if (SRV->GetObject(&CellID) != Cell) {
            if (Input != NULL)
                SRV->FreeObject(Input);
            return NULL;
        }
        if (Input != NULL) {
            Input->Index = i;
            Input->RequestNumber = 0;
            Input->IsFromInternal = VS_FALSE;
            Input->IsOnlyDirect = VS_FALSE;
            Input->IsSlave = VS_FALSE;
            Input->IsMustExist = VS_FALSE;
            Input->DataBaseID = SRV->GetID(Type);
            Input->DataObjectInst = NULL;
            memset(&Input->QZProcID, 0, sizeof(VS_UUID));
        }
        Ok = AdoptInto(Cell, Input, InputIndex);
    }
    for (VS_INT32 i = 0; Ok && i < OutputSet->GetNumber(); i++) {
        void *Type = OutputSet->GetObject(i);
        if (!Trelk_IsInstOf(Type, QZDataBaseClass))
            continue;
        VS_UUID TypeID = SRV->GetID(Type);
        if (CellHasOutput(Cell, &TypeID))
            continue;
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)SRV->MallocObjectL(
            SRV->GetIDEx(QZDataOutputContainerClass), 0, NULL);
        if (SRV->GetObject(&CellID) != Cell) {
            if (Output != NULL)
                SRV->FreeObject(Output);
            return NULL;
        }
        if (Output != NULL) {
            Output->DataBaseID = TypeID;
            memset(&Output->OriginalDataBaseID, 0, sizeof(VS_UUID));
            Output->IsMustExist = VS_FALSE;
            Output->ReturnNumber = 1;
        }
        Ok = AdoptInto(Cell, Output, OutputIndex);
    }
    if (!Ok) {
        SRV->FreeObject(Cell);
        return NULL;
    }
    return Cell;
}

// The element of a level: a new instance of the one chosen proc, else a cell.
// It holds its creation lock.
static void *BuildElement(VS_PARAPKGPTR Set, VS_PARAPKGPTR Needed, VS_PARAPKGPTR OutputSet)
{
    if (Set->GetNumber() == 1) {
        void *Only = Set->GetObject(0);
        if (IsProc(Only))
            return SRV->MallocObjectL(SRV->GetIDEx(Only), 0, NULL);
    }
    return BuildCellElement(Set, Needed, OutputSet);
}

// Lets go of the elements of a level result that will not be used.
static void DropElements(VS_PARAPKGPTR Result)
{
    for (VS_INT32 i = 1; i < Result->GetNumber(); i++)
        if (Result->GetType(i) == VSTYPE_OBJECT)
            SRV->UnLockGC(Result->GetObject(i));
}

// ---------------------------------------------------------------------------
// One search level
// ---------------------------------------------------------------------------
// The search's path holds the data types being searched for on the way down to this
// level: a producer whose inputs lead back to one of them would make the
// search go round for ever, so that branch fails instead.
static VS_BOOL OnPath(StructOfBuildSearch *Search, void *Item)
{
    TrelkIDMap<VS_INT32>::iterator It = Search->PathCount.find(SRV->GetID(Item));
    return It != Search->PathCount.end() && It->second > 0 ? VS_TRUE : VS_FALSE;
}

static void PushPath(StructOfBuildSearch *Search, void *Item)
{
    VS_UUID ID = SRV->GetID(Item);
    Search->Path.push_back(ID);
    Search->PathCount[ID]++;
}

static void PopPathTo(StructOfBuildSearch *Search, size_t Base)
{
    while (Search->Path.size() > Base) {
        TrelkIDMap<VS_INT32>::iterator It = Search->PathCount.find(Search->Path.back());
        if (It != Search->PathCount.end() && --It->second <= 0)
            Search->PathCount.erase(It);
        Search->Path.pop_back();
    }
}

static VS_PARAPKGPTR BuildLevel(StructOfQZRealmBase *QZRealm, VS_PARAPKGPTR OutputSet, VS_INT32 MaxStep,
                                VS_PARAPKGPTR InputSet, StructOfBuildSearch *Search)
{
    (void)QZRealm;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (MaxStep == 0) {
        Result->InsertBool(0, VS_TRUE);
        return Result;
    }
    if (OutputSet == NULL)
        return FailedFor(Result, NULL);
    for (VS_INT32 i = 0; i < OutputSet->GetNumber(); i++) {
        void *Item = OutputSet->GetObject(i);
        if (Item != NULL && OnPath(Search, Item))
            return FailedFor(Result, Item);
    }

    // One producer list per wanted output.
    VS_PARAPKGPTR Lists = Trelk_GetParaPkgInterface(__LINE__);
    for (VS_INT32 i = 0; i < OutputSet->GetNumber(); i++) {
        void *Item = OutputSet->GetObject(i);
        VS_PARAPKGPTR Producers = NULL;
        if (Trelk_IsInstOf(Item, QZDataBaseClass)) {
            Producers = ProducersOf(Search, (StructOfQZDataBase *)Item);
            if (Producers->GetNumber() == 0) {
                Producers->Release();
                Lists->Release();
                return FailedFor(Result, OutputSet->GetObject(i));
            }
        } else if (IsProc(Item)) {
            Producers = Trelk_GetParaPkgInterface(__LINE__);
            Producers->InsertObject(0, Item);
        } else {
            continue;
        }
        PreferGiven(&Producers, InputSet);
        Lists->InsertParaPackage(Lists->GetNumber(), Producers);
        Producers->Release();
    }
    // Nothing wanted: nothing to choose from.
    if (Lists->GetNumber() == 0) {
        Lists->Release();
        return FailedFor(Result, NULL);
    }

    VS_PARAPKGPTR Sets = Trelk_GetParaPkgInterface(__LINE__);
    if (Lists->GetNumber() == 1) {
        // One wanted output: each of its producers is a set by itself, equal
        // ones included, so that each keeps its own chance and its own
        // priority.
        VS_PARAPKGPTR Only = Lists->GetParaPackage(0);
        for (VS_INT32 i = 0; Only != NULL && i < Only->GetNumber(); i++) {
            void *Producer = Only->GetObject(i);
            if (Producer == NULL)
                continue;
            VS_PARAPKGPTR Set = Trelk_GetParaPkgInterface(__LINE__);
            Set->InsertObject(0, Producer);
            Sets->InsertParaPackage(Sets->GetNumber(), Set);
            Set->Release();
        }
    } else {
        QZRealmBase_BuildProcChain_Internal_BuildOutputProcSet(NULL, Lists, 0, Sets);
    }
    Lists->Release();

    VS_PARAPKGPTR LastFailure = NULL;
    size_t PathBase = Search->Path.size();
    for (;;) {
        VS_PARAPKGPTR Set = ChooseSet(Search, Sets);
        if (Set == NULL) {
            if (Sets->GetNumber() > 0)
                continue;
            break;
        }
        VS_PARAPKGPTR Needed = Trelk_GetParaPkgInterface(__LINE__);
        if (!NeededInputs(Set, InputSet, Needed)) {
            Needed->Release();
            Set->Release();
            continue;
        }
        VS_PARAPKGPTR Missing = Trelk_GetParaPkgInterface(__LINE__);
        for (VS_INT32 i = 0; i < Needed->GetNumber(); i++) {
            void *Type = Needed->GetObject(i);
            if (Type != NULL && !PkgHasObject(InputSet, Type))
                Missing->InsertObject(Missing->GetNumber(), Type);
        }
        VS_PARAPKGPTR Found = NULL;
        if (Missing->GetNumber() == 0) {
            Found = Result;
            Result = NULL;
            Found->Clear();
            Found->InsertBool(0, VS_TRUE);
        } else {
            for (VS_INT32 i = 0; i < OutputSet->GetNumber(); i++)
                if (Trelk_IsInstOf(OutputSet->GetObject(i), QZDataBaseClass))
                    PushPath(Search, OutputSet->GetObject(i));
            VS_PARAPKGPTR Below =
                BuildLevel(QZRealm, Missing, MaxStep < 0 ? MaxStep : MaxStep - 1, InputSet, Search);
            PopPathTo(Search, PathBase);
            if (Below->GetBool(0)) {
                Found = Below;
            } else {
                if (LastFailure != NULL)
                    LastFailure->Release();
                LastFailure = Below;
            }
        }
        Missing->Release();
        if (Found == NULL) {
            Needed->Release();
            Set->Release();
            continue;
        }
        void *Element = BuildElement(Set, Needed, OutputSet);
        // Its creation events may have run scripts.
        Search->Stale();
        Needed->Release();
        Set->Release();
        Sets->Release();
        if (Result != NULL)
            Result->Release();
        if (LastFailure != NULL)
            LastFailure->Release();
        if (Element == NULL) {
            DropElements(Found);
            return FailedFor(Found, NULL);
        }
        Found->InsertObject(Found->GetNumber(), Element);
        return Found;
    }
    Sets->Release();
    if (LastFailure != NULL) {
        Result->Release();
        return LastFailure;
    }
    return FailedFor(Result, NULL);
}

VS_PARAPKGPTR QZRealmBase_BuildProcChain_Internal(StructOfQZRealmBase *QZRealm, VS_PARAPKGPTR OutputQZDataOrProcSet,
                                                  VS_INT32 MaxStep, VS_PARAPKGPTR InputQZDataOrProcSet)
{
    StructOfBuildSearch Search;
    return BuildLevel(QZRealm, OutputQZDataOrProcSet, MaxStep, InputQZDataOrProcSet, &Search);
}

// ---------------------------------------------------------------------------
// Script functions
// ---------------------------------------------------------------------------
static VS_INT32 PushFailed()
{
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    SRV->LuaPushParaPkg(FailedFor(Result, NULL), VS_TRUE);
    return 1;
}

// Joins the elements, deepest level first, into a new chain marked as built
// by a search; NULL (the elements let go of) when that fails.
static void *JoinElements(VS_PARAPKGPTR Level)
{
    StructOfQZProcChainBase *Chain =
        (StructOfQZProcChainBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcChainBaseClass), 0, NULL);
    if (Chain == NULL) {
        DropElements(Level);
        return NULL;
    }
    VS_UUID ChainID = SRV->GetID(Chain);
    VS_UUID TailID;
    memset(&TailID, 0, sizeof(TailID));
    VS_INT32 i = 1;
    for (; i < Level->GetNumber(); i++) {
        void *Element = Level->GetObject(i);
        if (SRV->GetObject(&ChainID) != Chain || Element == NULL ||
            !QZProcChainBase_AppendAtTail_Internal(Chain, Element, &TailID))
            break;
        // The chain holds it now.
        SRV->UnLockGC(Element);
    }
    if (i < Level->GetNumber()) {
        for (; i < Level->GetNumber(); i++)
            if (Level->GetType(i) == VSTYPE_OBJECT)
                SRV->UnLockGC(Level->GetObject(i));
        if (SRV->GetObject(&ChainID) == Chain)
            SRV->FreeObject(Chain);
        return NULL;
    }
    Chain->IsBuildDynamic = VS_TRUE;
    return Chain;
}

VS_INT32 QZRealmBase_BuildProcChain(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    VS_UUID SelfID = SRV->GetID(Self);
    VS_PARAPKGPTR OutputSet = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR InputSet = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL Ok = ReadBuildArgs(OutputSet, InputSet);
    VS_PARAPKGPTR Level = NULL;
    if (Ok) {
        if (Self != NULL)
            Self = (StructOfQZRealmBase *)SRV->GetObject(&SelfID);
        Level = QZRealmBase_BuildProcChain_Internal(Self, OutputSet, -1, InputSet);
    }
    OutputSet->Release();
    InputSet->Release();
    if (Level == NULL)
        return PushFailed();
    if (!Level->GetBool(0)) {
        SRV->LuaPushParaPkg(Level, VS_TRUE);
        return 1;
    }
    void *Chain = JoinElements(Level);
    Level->Release();
    if (Chain == NULL)
        return PushFailed();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    Result->InsertBool(0, VS_TRUE);
    Result->InsertObject(1, Chain);
    // The package names the chain by ID only: it lives until the next
    // collection point, and on while the script holds it.
    SRV->UnLockGC(Chain);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_RequestProcChain(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    VS_UUID SelfID = SRV->GetID(Self);
    VS_PARAPKGPTR OutputSet = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR InputSet = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Result = NULL;
    if (Self != NULL && ReadBuildArgs(OutputSet, InputSet) &&
        (Self = (StructOfQZRealmBase *)SRV->GetObject(&SelfID)) != NULL) {
        SRV->LuaPushParaPkg(OutputSet, VS_FALSE);
        SRV->LuaPushParaPkg(InputSet, VS_FALSE);
        SRV->GetLastError();
        if (QZRealmBase_ExecNameScript(Self, "OnRequestProcChain", 2, 1)) {
            QZProcChain_IsExecNameScriptError(SRV->GetObject(&SelfID),
                                              "cell calls the function OnRequestProcChain failed");
            Result = SRV->LuaType(-1) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(-1) : NULL;
            if (Result != NULL)
                Result->AddRef();
        }
        SRV->LuaPop(1);
    }
    OutputSet->Release();
    InputSet->Release();
    SRV->LuaPushParaPkg(Result != NULL ? Result : Trelk_GetParaPkgInterface(__LINE__), VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_OnRequestProcChain(void *L)
{
    (void)L;
    SRV->LuaPushParaPkg(Trelk_GetParaPkgInterface(__LINE__), VS_TRUE);
    return 1;
}
