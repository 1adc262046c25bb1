// Input matching: the ordered candidates among a cell's env data for one
// wanted class, the exclusion test, the master data of a slave input, and
// the decision to give a proc chain a further runner with its first input.
#include "trelk_sched_internal.h"

static void KeyOf(StructOfQZDataBase *Data, VS_UWORD *K1, VS_UWORD *K2, VS_UWORD *K3)
{
    uint64_t Tick = (uint64_t)Data->ScheduleTickCount;
    *K1 = (VS_UWORD)(Tick & 0xffffffffu);
    *K2 = (VS_UWORD)(Tick >> 32);
    *K3 = (VS_UWORD)Data->SequenceIndex;
}

static VS_BOOL MatchesClass(StructOfQZDataBase *Data, VS_UUID *DataBaseID, VS_BOOL IsOnlyDirect)
{
    if (!IsOnlyDirect)
        return SRV->IsInst(DataBaseID, Data);
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Data);
    return Holder != NULL && SRV->IsDirectInst(DataBaseID, Holder) ? VS_TRUE : VS_FALSE;
}

void *Tarvex_ScheduleProc_BuildDataObjectIndexTree(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                   VS_UUID *DataBaseID, StructOfQZDataBase *MasterQZData,
                                                   VS_BOOL IsOnlyDirect, StructOfQZProcRunnerBase *CurrentQZProcRunner)
{
    (void)CurrentQZProcRunner;
    if (cell == NULL || DataBaseID == NULL)
        return SRV->CreateIndex_Nor(3, 0);
    // The class ID is read from the caller's input container, which a report
    // may free with its proc: the search keeps its own copy.
    VS_UUID ClassID = *DataBaseID;
    VS_UUID CellID = SRV->GetID(cell), RealmID = realm != NULL ? SRV->GetID(realm) : VS_UUID{};
    // A report of two equal keys runs a script, which may free any datum
    // indexed so far: the index is then built again from what is still
    // there, the keys reported already without a second report.
    VS_INT32 Reported = 0;
    for (;;) {
        void *Index = SRV->CreateIndex_Nor(3, 0);
        VS_INT32 Seen = 0;
        VS_BOOL Again = VS_FALSE;
        for (void *Item = SRV->QueryFirst(&cell->EnvDataQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            if (!TrelkSched_IsData(Item))
                continue;
            StructOfQZDataBase *Data = (StructOfQZDataBase *)Item;
            if (!MatchesClass(Data, &ClassID, IsOnlyDirect))
                continue;
            if (MasterQZData != NULL && !QZDataBase_IsSource_Internal(Data, MasterQZData, VS_FALSE))
                continue;
            VS_UWORD K1, K2, K3;
            KeyOf(Data, &K1, &K2, &K3);
            if (SRV->FindThreeKey(Index, K1, K2, K3) != NULL) {
                if (++Seen > Reported) {
                    Reported = Seen;
                    VS_UUID MasterID = MasterQZData != NULL ? SRV->GetID(MasterQZData) : VS_UUID{};
                    QZRealmBase_RaiseException(realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                               "build [%s] envdatatree error, two or more env data has same "
                                               "index, it will hidden existed env data",
                                               Trelk_Name(cell));
                    SRV->DestoryIndex(Index);
                    realm = TRELK_FIND(StructOfQZRealmBase, RealmID);
                    cell = TRELK_FIND(StructOfQZCellBase, CellID);
                    if (MasterQZData != NULL)
                        MasterQZData = TRELK_FIND(StructOfQZDataBase, MasterID);
                    if (cell == NULL || (MasterQZData == NULL && !Trelk_IsZeroID(&MasterID)))
                        return SRV->CreateIndex_Nor(3, 0);
                    Again = VS_TRUE;
                    break;
                }
                // The host keeps the first of two equal keys; the later datum
                // is the one that stays a candidate.
                SRV->DelThreeKey(Index, K1, K2, K3);
            }
            SRV->InsertThreeKey(Index, K1, K2, K3, Data);
        }
        if (!Again)
            return Index;
    }
}

void TrelkSched_EmptyCache(void *Cache)
{
    struct Entry {
        VS_UUID Key;
        VS_UWORD Extra;
    };
    TrelkVector<Entry> Entries;
    VS_UUID Key;
    VS_UWORD Extra;
    for (void *Value = SRV->QueryFirstIDKeyExA(Cache, &Key, &Extra); Value != NULL;
         Value = SRV->QueryNextIDKeyExA(Cache, &Key, &Extra)) {
        Entries.push_back(Entry{Key, Extra});
        SRV->DestoryIndex(Value);
    }
    for (Entry &E : Entries)
        SRV->DelIDKeyEx(Cache, &E.Key, E.Extra);
}

void *TrelkSched_CachedCandidates(StructOfQZRealmBase *realm, StructOfQZCellBase *cell, void *Cache,
                                  VS_UUID *DataBaseID, StructOfQZDataBase *Master, VS_BOOL IsOnlyDirect)
{
    // Inputs that want the same class but differ in IsOnlyDirect have
    // different candidates: the flag is part of the key.
    VS_UWORD Extra = (VS_UWORD)(uintptr_t)Master | (IsOnlyDirect ? 1u : 0u);
    // The key is kept here: the build may report, and the report may free
    // the input container DataBaseID points into.
    VS_UUID ClassID = *DataBaseID;
    void *Candidates = SRV->FindIDKeyEx(Cache, &ClassID, Extra);
    if (Candidates == NULL) {
        uint64_t Serial = Trelk_ScriptSerial();
        Candidates = Tarvex_ScheduleProc_BuildDataObjectIndexTree(realm, cell, &ClassID, Master, IsOnlyDirect, NULL);
        // The report's script may have freed data that the candidates built
        // before name: only what was built after it stays.
        if (Serial != Trelk_ScriptSerial())
            TrelkSched_EmptyCache(Cache);
        SRV->InsertIDKeyEx(Cache, &ClassID, Extra, Candidates);
    }
    return Candidates;
}

void TrelkSched_DestroyCache(void *Cache)
{
    if (Cache == NULL)
        return;
    VS_UUID Key;
    VS_UWORD Extra;
    for (void *Value = SRV->QueryFirstIDKeyExA(Cache, &Key, &Extra); Value != NULL;
         Value = SRV->QueryNextIDKeyExA(Cache, &Key, &Extra))
        SRV->DestoryIndex(Value);
    SRV->DestoryIndex(Cache);
}

VS_BOOL Tarvex_ScheduleProc_QZProcEnvDataIsExclude(StructOfQZCellBase *cell, StructOfQZProcRunnerBase *runner,
                                                   StructOfQZProcBase *proc, StructOfQZDataBase *data)
{
    (void)cell;
    (void)runner;
    if (data == NULL || proc == NULL || data->ExcludeProc == NULL)
        return VS_FALSE;
    VS_UUID ExcludeID;
    QZRunnerBase_GetExcludeIDForEnvData(proc, &ExcludeID);
    return SRV->FindIDKey(data->ExcludeProc, &ExcludeID) != NULL ? VS_TRUE : VS_FALSE;
}

StructOfQZDataBase *Tarvex_ScheduleProc_GetMasterQZData(StructOfQZProcBase *proc, VS_INT32 SlaveInputIndex)
{
    if (proc == NULL)
        return NULL;
    StructOfQZDataInputContainer *Master = NULL;
    for (void *Item = SRV->QueryFirst(&proc->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)Item;
        if (Input->Index < SlaveInputIndex && !Input->IsSlave && (Master == NULL || Input->Index > Master->Index))
            Master = Input;
    }
    if (Master == NULL)
        return NULL;
    return TrelkSched_ItemData((StructOfQZObjectPointerWithChangeFlag *)SRV->QueryFirst(&Master->DataQueue));
}

// ---------------------------------------------------------------------------
// Runner creation
// ---------------------------------------------------------------------------
// TRUE when an existing runner of the chain keeps a new one from being made.
static VS_BOOL BlockedByRunners(StructOfQZCellBase *cell, StructOfQZProcBase *First)
{
    VS_UUID *FirstID = SRV->GetIDEx(First);
    for (void *Item = SRV->QueryFirst(&cell->NormalRunnerQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)Item;
        StructOfQZProcBase *Copy = TrelkSched_StartProc(&Runner->QZProcStart);
        if (Copy == NULL || !SRV->IsInst(FirstID, Copy))
            continue;
        if (SRV->QueryFirst(&Copy->InputQueue) == NULL || cell->SingleRunnerFlag)
            return VS_TRUE;
        for (void *In = SRV->QueryFirst(&Copy->InputQueue); In != NULL; In = SRV->QueryNext(In))
            if (TrelkSched_InputNeedsMore((StructOfQZDataInputContainer *)In))
                return VS_TRUE;
    }
    return VS_FALSE;
}

static VS_BOOL FoundOne(StructOfQZDataBase *Data, void *Found)
{
    (void)Data;
    *(VS_BOOL *)Found = VS_TRUE;
    return VS_FALSE;
}

// The match cache of a cell step, made when the first candidate index is
// built: a step whose chains find nothing to match makes none.
static void *CacheOf(void **CacheSlot)
{
    if (*CacheSlot == NULL)
        *CacheSlot = SRV->CreateIDIndexEx_Nor(0);
    return *CacheSlot;
}

// What a runner's creation works on. The candidate search may report (two
// data with one stamp), and the report's script may free any of them: they
// are noted by ID just before a search that builds, and found again after
// one that ran a script.
struct CreateStep {
    StructOfQZRealmBase *realm;
    StructOfQZCellBase *cell;
    StructOfQZProcChainBase *chain;
    VS_UUID RealmID, CellID, ChainID;
};

static void NoteStep(CreateStep *C)
{
    C->RealmID = SRV->GetID(C->realm);
    C->CellID = SRV->GetID(C->cell);
    C->ChainID = SRV->GetID(C->chain);
}

// FALSE when the realm, the cell or the chain is gone.
static VS_BOOL RefindStep(CreateStep *C)
{
    C->realm = TRELK_FIND(StructOfQZRealmBase, C->RealmID);
    C->cell = TRELK_FIND(StructOfQZCellBase, C->CellID);
    C->chain = TRELK_FIND(StructOfQZProcChainBase, C->ChainID);
    return C->realm != NULL && C->cell != NULL && C->chain != NULL ? VS_TRUE : VS_FALSE;
}

// The input the walk stands on, found again after a script: NULL when it is
// gone or no longer the proc's.
static StructOfQZDataInputContainer *RefindInput(VS_UUID *InputID, VS_UUID *ProcID, StructOfQZProcBase **Proc)
{
    *Proc = TRELK_FIND(StructOfQZProcBase, *ProcID);
    void *Input = TrelkSched_Find(InputID);
    return *Proc != NULL && Input != NULL && SRV->GetParent(Input) == *Proc ? (StructOfQZDataInputContainer *)Input
                                                                           : NULL;
}

// 1 when some non-slave input of the first proc has a candidate the proc has
// not excluded, 0 when none, -1 when a report's script freed the realm, the
// cell, the chain, the first proc or the input searched for.
static VS_INT32 HasCandidate(CreateStep *C, StructOfQZProcBase *First, void **CacheSlot)
{
    // Candidates come from the cell's env alone.
    if (SRV->QueryFirst(&C->cell->EnvDataQueue) == NULL)
        return 0;
    VS_UUID FirstID = SRV->GetID(First);
    for (void *In = SRV->QueryFirst(&First->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        if (Input->IsSlave)
            continue;
        VS_BOOL Found = VS_FALSE;
        if (TrelkSched_EachCandidate(C->cell, &Input->DataBaseID, Input->IsOnlyDirect, &FirstID, FoundOne, &Found)) {
            if (Found)
                return 1;
            continue;
        }
        NoteStep(C);
        VS_UUID InputID = SRV->GetID(In);
        uint64_t Serial = Trelk_ScriptSerial();
        void *Candidates = TrelkSched_CachedCandidates(C->realm, C->cell, CacheOf(CacheSlot), &Input->DataBaseID,
                                                       NULL, Input->IsOnlyDirect);
        if (Serial != Trelk_ScriptSerial()) {
            if (!RefindStep(C))
                return -1;
            Input = RefindInput(&InputID, &FirstID, &First);
            if (Input == NULL)
                return -1;
            In = Input;
        }
        VS_UWORD K1, K2, K3;
        for (void *Value = SRV->QueryFirstThreeKey(Candidates, &K1, &K2, &K3); Value != NULL;
             Value = SRV->QueryNextThreeKey(Candidates, &K1, &K2, &K3)) {
            StructOfQZDataBase *Data = (StructOfQZDataBase *)Value;
            if (!TrelkSched_IsData(Data))
                continue;
            if (Data->ExcludeProc == NULL || SRV->FindIDKey(Data->ExcludeProc, &FirstID) == NULL)
                return 1;
        }
    }
    return 0;
}

// The inputs of a proc in the order they are filled: each position served by
// the most specific later input of a derived class.
VS_PARAPKGPTR TrelkSched_InputFillOrder(StructOfQZProcBase *Proc)
{
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Current = (StructOfQZDataInputContainer *)In;
        for (void *Later = SRV->QueryNext(In); Later != NULL; Later = SRV->QueryNext(Later)) {
            StructOfQZDataInputContainer *Candidate = (StructOfQZDataInputContainer *)Later;
            void *ClassObject = SRV->GetObject(&Candidate->DataBaseID);
            if (ClassObject != NULL && SRV->IsInst(&Current->DataBaseID, ClassObject))
                Current = Candidate;
        }
        VS_BOOL Listed = VS_FALSE;
        for (VS_INT32 i = 0; i < List->GetNumber() && !Listed; i++)
            Listed = List->GetObject(i) == Current ? VS_TRUE : VS_FALSE;
        if (!Listed)
            List->InsertObject(List->GetNumber(), Current);
    }
    return List;
}

// FALSE when a report's script freed the realm, the cell, the chain, the
// runner, its first proc or the input being filled: the filling stops there.
static VS_BOOL FillFirstInputs(CreateStep *C, StructOfQZProcRunnerBase *Runner, StructOfQZProcBase *Copy,
                               void **CacheSlot)
{
    VS_PARAPKGPTR List = TrelkSched_InputFillOrder(Copy);
    VS_UUID ExcludeID;
    QZRunnerBase_GetExcludeIDForEnvData(Copy, &ExcludeID);
    VS_BOOL Alive = VS_TRUE;
    for (VS_INT32 i = 0; i < List->GetNumber() && Alive; i++) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)List->GetObject(i);
        if (Input == NULL || Input->IsSlave)
            continue;
        if (SRV->QueryFirst(&Input->DataQueue) != NULL && Input->RequestNumber == 1)
            continue;
        if (!TrelkSched_InputNeedsMore(Input))
            continue;
        TrelkSchedFill Context = {Input, Copy, &ExcludeID};
        if (TrelkSched_EachCandidate(C->cell, &Input->DataBaseID, Input->IsOnlyDirect, &ExcludeID, TrelkSched_FillOne,
                                     &Context))
            continue;
        NoteStep(C);
        VS_UUID RunnerID = SRV->GetID(Runner), CopyID = SRV->GetID(Copy), InputID = SRV->GetID(Input);
        uint64_t Serial = Trelk_ScriptSerial();
        void *Candidates = TrelkSched_CachedCandidates(C->realm, C->cell, CacheOf(CacheSlot), &Input->DataBaseID,
                                                       NULL, Input->IsOnlyDirect);
        if (Serial != Trelk_ScriptSerial()) {
            Runner = TRELK_FIND(StructOfQZProcRunnerBase, RunnerID);
            if (!RefindStep(C) || Runner == NULL ||
                (Input = RefindInput(&InputID, &CopyID, &Copy)) == NULL) {
                Alive = VS_FALSE;
                break;
            }
        }
        VS_UWORD K1, K2, K3;
        for (void *Value = SRV->QueryFirstThreeKey(Candidates, &K1, &K2, &K3); Value != NULL;
             Value = SRV->QueryNextThreeKey(Candidates, &K1, &K2, &K3)) {
            StructOfQZDataBase *Data = (StructOfQZDataBase *)Value;
            if (!TrelkSched_IsData(Data) || Tarvex_ScheduleProc_QZProcEnvDataIsExclude(C->cell, Runner, Copy, Data))
                continue;
            TrelkSched_Connect(Input, Data, Copy, &ExcludeID);
            if (Input->RequestNumber > 0 &&
                Tarvex_ScheduleProc_GetItemNumber(&Input->DataQueue) >= Input->RequestNumber)
                break;
        }
    }
    List->Release();
    return Alive;
}

void Tarvex_ScheduleProc_CreateRunnerForProcChain(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                  StructOfQZProcChainBase *chain, void *cache)
{
    void *Slot = cache;
    TrelkSched_CreateRunnerForChain(realm, cell, chain, &Slot);
    // Without a cache of the caller's, the one made here goes here.
    if (cache == NULL && Slot != NULL)
        TrelkSched_DestroyCache(Slot);
}

VS_BOOL TrelkSched_CreateRunnerForChain(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                        StructOfQZProcChainBase *chain, void **CacheSlot)
{
    if (cell == NULL || chain == NULL)
        return VS_FALSE;
    StructOfQZProcBase *First = TrelkSched_StartProc(&chain->QZProcStart);
    if (First == NULL) {
        VS_UUID ChainID = SRV->GetID(chain);
        QZRealmBase_RaiseException(realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "Cell[%s] Proc is freed somewhere", Trelk_Name(cell));
        // The report ran a script.
        void *Chain = TrelkSched_Find(&ChainID);
        if (Chain != NULL)
            SRV->FreeObject(Chain);
        return VS_TRUE;
    }
    VS_BOOL HasInputs = SRV->QueryFirst(&First->InputQueue) != NULL ? VS_TRUE : VS_FALSE;
    // A first proc with inputs and an empty env has no candidate: no runner
    // whatever the other runners hold.
    if (HasInputs && SRV->QueryFirst(&cell->EnvDataQueue) == NULL)
        return VS_FALSE;
    if (BlockedByRunners(cell, First))
        return VS_FALSE;
    OBJECTATTRIBUTEINDEX RunnerQueue = Trelk_ClassAttrIndex(QZCellBaseClass, "NormalRunnerQueue");
    if (!HasInputs) {
        StructOfQZProcRunnerBase *Runner = Tarvex_ScheduleProc_NewRunner(realm, cell, chain);
        if (Runner != NULL)
            SRV->ChangeParent(Runner, cell, RunnerQueue);
        return VS_TRUE;
    }
    // The candidate search may report (two data with one stamp): from here
    // on the step's objects are found again after a search that did.
    CreateStep C = {realm, cell, chain, VS_UUID{}, VS_UUID{}, VS_UUID{}};
    VS_INT32 Has = HasCandidate(&C, First, CacheSlot);
    if (Has <= 0)
        return VS_TRUE;
    StructOfQZProcRunnerBase *Runner = Tarvex_ScheduleProc_NewRunner(C.realm, C.cell, C.chain);
    if (Runner == NULL)
        return VS_TRUE;
    StructOfQZProcBase *Copy = TrelkSched_StartProc(&Runner->QZProcStart);
    if (Copy != NULL && !FillFirstInputs(&C, Runner, Copy, CacheSlot)) {
        // What was connected before the report stays with the runner, which
        // goes into the cell while both are there; a runner without its
        // cell is let go.
        VS_UUID RunnerID = SRV->GetID(Runner);
        C.cell = TRELK_FIND(StructOfQZCellBase, C.CellID);
        C.chain = TRELK_FIND(StructOfQZProcChainBase, C.ChainID);
        Runner = TRELK_FIND(StructOfQZProcRunnerBase, RunnerID);
        if (Runner == NULL)
            return VS_TRUE;
        if (C.cell == NULL) {
            SRV->FreeObject(Runner);
            return VS_TRUE;
        }
    }
    cell = C.cell;
    SRV->ChangeParent(Runner, cell, RunnerQueue);
    if (C.chain == NULL)
        return VS_TRUE;
    if (cell->ProcChainRunnerIndexTree == NULL)
        cell->ProcChainRunnerIndexTree = SRV->CreateIDIndex_Nor(0);
    VS_UUID ChainID = SRV->GetID(C.chain);
    if (SRV->FindIDKey(cell->ProcChainRunnerIndexTree, &ChainID) == NULL)
        SRV->InsertIDKey(cell->ProcChainRunnerIndexTree, &ChainID, C.chain);
    return VS_TRUE;
}
