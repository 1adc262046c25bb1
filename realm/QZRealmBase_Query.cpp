// Which procs, proc chains and cells could produce or take a kind of data.
// The proc and chain queries look at the whole module (the proc-type
// registry, every chain that exists), not at the realm they are called on;
// only GetCellForInput looks at the realm's own cells.
//
// An input test may run script code (a data type's "Equals"), which may
// define new types, free chains or the data itself. So an input scan first
// takes its candidates into a package (which holds IDs and answers NULL for
// what has gone), then tests them, finding the data again by ID after every
// test.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"

// The proc at the end of a chain's order (for a child chain, past its rejoin
// to the end of its parent's order); NULL when the chain names no first
// proc, or when the order leads back into itself and so has no end. A loop
// is noticed by coming back to a marked proc, the mark moving ahead at
// doubling distances: nothing is allocated and the walk ends.
StructOfQZProcBase *TrelkRealm_ChainLastProc(StructOfQZProcChainBase *QZProcChain)
{
    if (QZProcChain == NULL)
        return NULL;
    void *First = SRV->GetObject(&QZProcChain->QZProcStart);
    if (!Trelk_IsInstOf(First, QZProcBaseClass))
        return NULL;
    StructOfQZProcBase *Last = (StructOfQZProcBase *)First;
    void *Mark = Last;
    VS_ULONG Distance = 1, Steps = 0;
    while (Last->QZProcNext != NULL) {
        void *Next = SRV->AtomicToObject(Last->QZProcNext);
        if (!Trelk_IsInstOf(Next, QZProcBaseClass))
            break;
        if (Next == Mark)
            return NULL;
        Last = (StructOfQZProcBase *)Next;
        if (++Steps == Distance && Distance < 0x40000000u) {
            Mark = Last;
            Distance *= 2;
            Steps = 0;
        }
    }
    return Last;
}

// The data argument of a query: TRUE when it may be used (none, or a data
// type or data object); the data is left in *Data, normalised.
static VS_BOOL DataArg(StructOfQZDataBase **Data)
{
    void *Object = Trelk_ObjectArg(2);
    *Data = (StructOfQZDataBase *)Object;
    return Object == NULL || TrelkRealm_IsData(Object);
}

// Keeps a data object of a scan by ID; Current answers the live object again
// after a test that may have run script code, NULL once it is gone.
struct StructOfQueryData {
    VS_BOOL Given;
    VS_UUID ID;
    StructOfQZDataBase *Current()
    {
        return Given ? (StructOfQZDataBase *)SRV->GetObject(&ID) : NULL;
    }
};

static StructOfQueryData QueryData(StructOfQZDataBase *Data)
{
    StructOfQueryData Q;
    Q.Given = Data != NULL ? VS_TRUE : VS_FALSE;
    Q.ID = SRV->GetID(Data);
    return Q;
}

static VS_BOOL IsListedType(void *Type)
{
    return Type != NULL && Type != QZProcRemoteBaseClass && Type != QZCellBaseClass;
}

enum TrelkQueryTest { QUERY_OUTPUT, QUERY_INPUT };

// The proc-type scan: appends to Result each registered proc and cell type
// (but the two class objects no script defines) whose test passes, in the
// registry's order; each of them without data. The output test runs no
// script code: the registry is walked as it stands. The input test may, so
// its candidates are taken first.
static void ScanProcTypes(VS_PARAPKGPTR Result, StructOfQZDataBase *Data, VS_BOOL IncludeCellProcChain,
                          TrelkQueryTest Test)
{
    VS_UUID Key;
    if (Data == NULL || Test == QUERY_OUTPUT) {
        for (void *Value = SRV->QueryFirstIDKey(GlobalProcTypeIndexTree, &Key); Value != NULL;
             Value = SRV->QueryNextIDKey(GlobalProcTypeIndexTree, &Key)) {
            StructOfQZProcBase *Type = (StructOfQZProcBase *)SRV->GetObject(&Key);
            if (IsListedType(Type) &&
                (Data == NULL || QZProcBase_DataCanBeAsOutput_Internal(Type, Data, IncludeCellProcChain) == VS_TRUE))
                Result->InsertObject(Result->GetNumber(), Type);
        }
        return;
    }
    StructOfQueryData Q = QueryData(Data);
    VS_PARAPKGPTR Candidates = Trelk_GetParaPkgInterface(__LINE__);
    for (void *Value = SRV->QueryFirstIDKey(GlobalProcTypeIndexTree, &Key); Value != NULL;
         Value = SRV->QueryNextIDKey(GlobalProcTypeIndexTree, &Key)) {
        void *Type = SRV->GetObject(&Key);
        if (IsListedType(Type))
            Candidates->InsertObject(Candidates->GetNumber(), Type);
    }
    for (VS_INT32 i = 0; i < Candidates->GetNumber(); i++) {
        StructOfQZProcBase *Type = (StructOfQZProcBase *)Candidates->GetObject(i);
        StructOfQZDataBase *Now = Q.Current();
        if (Now == NULL)
            break;
        if (Type != NULL && QZProcBase_DataCanBeAsInput_Internal(Type, Now, IncludeCellProcChain) == VS_TRUE &&
            (Type = (StructOfQZProcBase *)Candidates->GetObject(i)) != NULL)
            Result->InsertObject(Result->GetNumber(), Type);
    }
    Candidates->Release();
}

// The chain scan over every chain that exists, in the host's instance order:
// the output query tests the last proc of each chain, the input query the
// first; a chain without a first proc passes only without data. As above,
// only the input test needs its candidates taken first.
static VS_BOOL ChainPasses(StructOfQZProcChainBase *Chain, StructOfQZDataBase *Data, TrelkQueryTest Test)
{
    if (Data == NULL)
        return VS_TRUE;
    if (Test == QUERY_OUTPUT) {
        StructOfQZProcBase *Last = TrelkRealm_ChainLastProc(Chain);
        return Last != NULL && QZProcBase_DataCanBeAsOutput_Internal(Last, Data, VS_FALSE) == VS_TRUE;
    }
    void *First = SRV->GetObject(&Chain->QZProcStart);
    return Trelk_IsInstOf(First, QZProcBaseClass) &&
           QZProcBase_DataCanBeAsInput_Internal((StructOfQZProcBase *)First, Data, VS_FALSE) == VS_TRUE;
}

static void ScanChains(VS_PARAPKGPTR Result, StructOfQZDataBase *Data, TrelkQueryTest Test)
{
    VS_QUERYRECORD Query;
    memset(&Query, 0, sizeof(Query));
    VS_BOOL Direct = Data == NULL || Test == QUERY_OUTPUT;
    VS_PARAPKGPTR Candidates = Direct ? Result : Trelk_GetParaPkgInterface(__LINE__);
    for (void *Chain = SRV->QueryFirstInst(&Query, QZProcChainBaseClass); Chain != NULL;
         Chain = SRV->QueryNextInst(&Query, QZProcChainBaseClass))
        if (!Direct || ChainPasses((StructOfQZProcChainBase *)Chain, Data, Test))
            Candidates->InsertObject(Candidates->GetNumber(), Chain);
    SRV->QueryInstClose(&Query);
    if (Direct)
        return;
    StructOfQueryData Q = QueryData(Data);
    for (VS_INT32 i = 0; i < Candidates->GetNumber(); i++) {
        StructOfQZProcChainBase *Chain = (StructOfQZProcChainBase *)Candidates->GetObject(i);
        StructOfQZDataBase *Now = Q.Current();
        if (Now == NULL)
            break;
        if (Chain != NULL && ChainPasses(Chain, Now, Test) &&
            (Chain = (StructOfQZProcChainBase *)Candidates->GetObject(i)) != NULL)
            Result->InsertObject(Result->GetNumber(), Chain);
    }
    Candidates->Release();
}

VS_PARAPKGPTR QZRealmBase_QueryProcForOutput_Internal(StructOfQZRealmBase *QZRealm, StructOfQZDataBase *QZData,
                                                      VS_BOOL IncludeCellProcChain)
{
    (void)QZRealm;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (QZData == NULL || TrelkRealm_IsData(QZData))
        ScanProcTypes(Result, QZData, IncludeCellProcChain, QUERY_OUTPUT);
    return Result;
}

VS_PARAPKGPTR QZRealmBase_QueryProcChainForOutput_Internal(StructOfQZRealmBase *QZRealm, StructOfQZDataBase *QZData)
{
    (void)QZRealm;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (QZData == NULL || TrelkRealm_IsData(QZData))
        ScanChains(Result, QZData, QUERY_OUTPUT);
    return Result;
}

static VS_BOOL IncludeCellProcChainArg()
{
    return SRV->LuaGetTop() >= 3 ? SRV->LuaToBool(3) : VS_FALSE;
}

VS_INT32 QZRealmBase_QueryProcForOutput(void *L)
{
    (void)L;
    StructOfQZDataBase *Data = NULL;
    VS_BOOL Usable = DataArg(&Data);
    VS_BOOL IncludeCellProcChain = IncludeCellProcChainArg();
    SRV->LuaPushParaPkg(Usable ? QZRealmBase_QueryProcForOutput_Internal(NULL, Data, IncludeCellProcChain)
                               : Trelk_GetParaPkgInterface(__LINE__),
                        VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_QueryProcForInput(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    StructOfQZDataBase *Data = NULL;
    if (DataArg(&Data))
        ScanProcTypes(Result, Data, IncludeCellProcChainArg(), QUERY_INPUT);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_QueryProcChainForOutput(void *L)
{
    (void)L;
    StructOfQZDataBase *Data = NULL;
    VS_BOOL Usable = DataArg(&Data);
    SRV->LuaPushParaPkg(Usable ? QZRealmBase_QueryProcChainForOutput_Internal(NULL, Data)
                               : Trelk_GetParaPkgInterface(__LINE__),
                        VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_QueryProcChainForInput(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    StructOfQZDataBase *Data = NULL;
    if (DataArg(&Data))
        ScanChains(Result, Data, QUERY_INPUT);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetCellForInput(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    StructOfQZDataBase *Data = NULL;
    if (Self == NULL || !DataArg(&Data) || Data == NULL) {
        SRV->LuaPushParaPkg(Result, VS_TRUE);
        return 1;
    }
    StructOfQueryData Q = QueryData(Data);
    VS_PARAPKGPTR Candidates = TrelkRealm_QueueToPkg(&Self->QZCellQueue, NULL);
    VS_PARAPKGPTR Library = TrelkRealm_QueueToPkg(&Self->QZCellLibrary, NULL);
    Candidates->AppendFrom(Library);
    Library->Release();
    for (VS_INT32 i = 0; i < Candidates->GetNumber(); i++) {
        StructOfQZProcBase *Cell = (StructOfQZProcBase *)Candidates->GetObject(i);
        StructOfQZDataBase *Now = Q.Current();
        if (Now == NULL)
            break;
        if (!TrelkRealm_IsCell(Cell))
            continue;
        if (QZProcBase_DataCanBeAsInput_Internal(Cell, Now, VS_TRUE) == VS_TRUE &&
            (Cell = (StructOfQZProcBase *)Candidates->GetObject(i)) != NULL)
            Result->InsertObject(Result->GetNumber(), Cell);
    }
    Candidates->Release();
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_FindProcChain(void *L)
{
    (void)L;
    // Both procs are read first: normalising the second may run script code.
    void *First = Trelk_ObjectArg(2);
    VS_UUID FirstID = SRV->GetID(First);
    void *Last = Trelk_ObjectArg(3);
    // A first proc that went meanwhile must not turn into "any first proc".
    if (First != NULL && (First = SRV->GetObject(&FirstID)) == NULL) {
        SRV->LuaPushParaPkg(Trelk_GetParaPkgInterface(__LINE__), VS_TRUE);
        return 1;
    }
    SRV->LuaPushParaPkg(QZProcChainBase_FindInternal((StructOfQZProcBase *)First, (StructOfQZProcBase *)Last),
                        VS_TRUE);
    return 1;
}
