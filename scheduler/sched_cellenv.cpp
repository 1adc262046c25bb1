// An index of each cell's env data, kept from step to step, so that a cell
// holding N data does not walk all N at every step: the candidates of an
// input by class (oldest stamp first, without the data the asking proc has
// excluded), the data the unallocated check must look at, and the data each
// runner proc produced.
//
// The index learns of the cell's queue through the host's own contract: a
// queue appends at its tail, so the items after the last one seen are new;
// an item's parent and attribute index tell whether it is still there (the
// candidate and unallocated entries are checked before they are used, and
// dropped when they have gone); and a last-seen item that has left the queue
// makes the index start over with one full walk. The lists by producing proc
// are counted whole at every run, so they are not checked entry by entry:
// the module's own moves and the data's free event take a leaving datum off
// them (Tarvex_Schedule_EnvDataLeaving). Exclusion lists are followed through the data layer's notes
// (trelk_data_api.h): a list that shrank or was replaced makes every index
// start over, a list that grew is looked at again. Two data under one stamp
// (which the candidate order reports at every build) leave the cell to the
// full build at every match, which reports as before. A stamp changed in
// place (a script's write, RestoreZelDataProperty) is told to the index
// before the write (Tarvex_Schedule_EnvDataRestamping), with the stamp the
// datum was filed under; the next look files it again by its new stamp.
#include "trelk_sched_internal.h"
#include "trelk_alloc.h"

#include <array>
#include <new>

namespace {

// (low 32 bits of the stamp's tick, its high 32 bits, its sequence index):
// the order of the host's three-key candidate index.
typedef std::array<uint64_t, 3> EnvKey;

struct EnvEntry {
    StructOfQZDataBase *Data;
    VS_UUID ID;
};

struct CandList {
    VS_UUID ClassID;
    VS_UUID ExcludeID;
    VS_BOOL Direct;
    TrelkMap<EnvKey, EnvEntry> Items;
};

struct Seen {
    uint64_t Seq;
    VS_UUID Owner;
};

// A datum whose stamp is being changed, with the key it was filed under.
struct Restamp {
    StructOfQZDataBase *Data;
    VS_UUID ID;
    EnvKey Old;
};

struct CellEnv {
    void *Tail;
    VS_UUID TailID;
    uint64_t Epoch;
    uint64_t NextSeq;
    VS_BOOL Doubtful;
    TrelkMap<EnvKey, EnvEntry> Keys;
    TrelkVector<CandList *> Lists;
    TrelkIDMap<Seen> SeqOf;
    // Produced data whose exclusion list is not empty, by position in the
    // queue: the only ones the unallocated check can count or drop.
    TrelkMap<uint64_t, EnvEntry> Watch;
    // OwnerRunnerProcID -> the data with that owner, by position.
    TrelkIDMap<TrelkMap<uint64_t, EnvEntry>> ByOwner;
    // Each object up a datum's class chain -> the data made from it.
    TrelkIDMap<TrelkVector<EnvEntry>> ByAncestor;
    // Stamps changed since the last look.
    TrelkVector<Restamp> Restamped;
};

template <class T> T *NewOnHost()
{
    return new (Trelk_ContainerAlloc(sizeof(T))) T();
}

template <class T> void DeleteOnHost(T *Object)
{
    if (Object == NULL)
        return;
    Object->~T();
    Trelk_ContainerFree(Object);
}

// Cell ID -> its index; made on first use, freed at shutdown.
TrelkIDMap<CellEnv *> *g_Cells = NULL;

EnvKey KeyOf(StructOfQZDataBase *Data)
{
    uint64_t Tick = (uint64_t)Data->ScheduleTickCount;
    return EnvKey{Tick & 0xffffffffu, Tick >> 32, (uint64_t)(VS_UWORD)Data->SequenceIndex};
}

VS_BOOL MatchesClass(StructOfQZDataBase *Data, VS_UUID *ClassID, VS_BOOL Direct)
{
    if (!Direct)
        return SRV->IsInst(ClassID, Data);
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Data);
    return Holder != NULL && SRV->IsDirectInst(ClassID, Holder) ? VS_TRUE : VS_FALSE;
}

// The entry's datum is still that object and still in the cell's env.
VS_BOOL StillThere(StructOfQZCellBase *Cell, OBJECTATTRIBUTEINDEX EnvIndex, const EnvEntry &E)
{
    return SRV->GetObject((VS_UUID *)&E.ID) == E.Data && SRV->GetParent(E.Data) == Cell &&
                   SRV->GetIndex(E.Data) == EnvIndex
               ? VS_TRUE
               : VS_FALSE;
}

VS_BOOL HasExclusions(StructOfQZDataBase *Data)
{
    VS_UUID Key;
    return Data->ExcludeProc != NULL && SRV->QueryFirstIDKey(Data->ExcludeProc, &Key) != NULL ? VS_TRUE : VS_FALSE;
}

void Reset(CellEnv *Env)
{
    Env->Tail = NULL;
    Env->Epoch = QZDataBase_ExcludeEpoch();
    Env->Doubtful = VS_FALSE;
    Env->Keys.clear();
    for (CandList *L : Env->Lists)
        L->Items.clear();
    Env->SeqOf.clear();
    Env->Watch.clear();
    Env->ByOwner.clear();
    Env->ByAncestor.clear();
    Env->Restamped.clear();
}

void Scan(CellEnv *Env, StructOfQZCellBase *Cell, OBJECTATTRIBUTEINDEX EnvIndex, void *Item)
{
    if (!TrelkSched_IsData(Item))
        return;
    StructOfQZDataBase *Data = (StructOfQZDataBase *)Item;
    EnvEntry Entry{Data, SRV->GetID(Data)};
    // Seen before (it left and came back): its old places go.
    auto Old = Env->SeqOf.find(Entry.ID);
    if (Old != Env->SeqOf.end()) {
        Env->Watch.erase(Old->second.Seq);
        auto Owned = Env->ByOwner.find(Old->second.Owner);
        if (Owned != Env->ByOwner.end())
            Owned->second.erase(Old->second.Seq);
    }
    uint64_t Seq = Env->NextSeq++;
    Env->SeqOf[Entry.ID] = Seen{Seq, Data->OwnerRunnerProcID};

    EnvKey Key = KeyOf(Data);
    auto Held = Env->Keys.find(Key);
    if (Held != Env->Keys.end() && !Trelk_IDEqual(&Held->second.ID, &Entry.ID) &&
        StillThere(Cell, EnvIndex, Held->second))
        Env->Doubtful = VS_TRUE;
    Env->Keys[Key] = Entry;
    for (CandList *L : Env->Lists)
        if (MatchesClass(Data, &L->ClassID, L->Direct))
            L->Items[Key] = Entry;
    if (!Trelk_IsZeroID(&Data->OwnerRunnerProcID)) {
        Env->ByOwner[Data->OwnerRunnerProcID][Seq] = Entry;
        if (HasExclusions(Data))
            Env->Watch[Seq] = Entry;
    }
    for (void *Up = SRV->GetClass(Data); Up != NULL; Up = SRV->GetClass(Up))
        Env->ByAncestor[SRV->GetID(Up)].push_back(Entry);
}

// Takes Key's entry out of Map when it names the datum ID.
void EraseOwn(TrelkMap<EnvKey, EnvEntry> &Map, const EnvKey &Key, const VS_UUID &ID)
{
    auto It = Map.find(Key);
    if (It != Map.end() && Trelk_IDEqual(&It->second.ID, &ID))
        Map.erase(It);
}

// The data restamped since the last look, filed under their new stamps. All
// old keys go before any new one is filed: a datum written twice, or two
// data that traded stamps, must not lose the place just given to another.
void Refile(CellEnv *Env, StructOfQZCellBase *Cell, OBJECTATTRIBUTEINDEX EnvIndex)
{
    if (Env->Restamped.empty())
        return;
    TrelkVector<Restamp> List;
    List.swap(Env->Restamped);
    for (const Restamp &R : List) {
        EraseOwn(Env->Keys, R.Old, R.ID);
        for (CandList *L : Env->Lists)
            EraseOwn(L->Items, R.Old, R.ID);
    }
    for (const Restamp &R : List) {
        EnvEntry Entry{R.Data, R.ID};
        if (!StillThere(Cell, EnvIndex, Entry))
            continue;
        EnvKey Key = KeyOf(R.Data);
        auto Held = Env->Keys.find(Key);
        if (Held != Env->Keys.end() && !Trelk_IDEqual(&Held->second.ID, &R.ID) &&
            StillThere(Cell, EnvIndex, Held->second))
            Env->Doubtful = VS_TRUE;
        Env->Keys[Key] = Entry;
        for (CandList *L : Env->Lists)
            if (MatchesClass(R.Data, &L->ClassID, L->Direct))
                L->Items[Key] = Entry;
    }
}

CellEnv *EnvOf(StructOfQZCellBase *Cell, VS_BOOL Make)
{
    if (g_Cells == NULL) {
        if (!Make)
            return NULL;
        g_Cells = NewOnHost<TrelkIDMap<CellEnv *>>();
    }
    VS_UUID ID = SRV->GetID(Cell);
    auto Found = g_Cells->find(ID);
    if (Found != g_Cells->end())
        return Found->second;
    if (!Make)
        return NULL;
    CellEnv *Env = NewOnHost<CellEnv>();
    Env->NextSeq = 1;
    Reset(Env);
    (*g_Cells)[ID] = Env;
    return Env;
}

// Brings the index up to the cell's queue: the items after the last one
// seen, or, when that one has gone or an exclusion list shrank, all of them.
CellEnv *Synced(StructOfQZCellBase *Cell, OBJECTATTRIBUTEINDEX EnvIndex)
{
    CellEnv *Env = EnvOf(Cell, VS_TRUE);
    if (Env->Epoch != QZDataBase_ExcludeEpoch() ||
        (Env->Tail != NULL && !(SRV->GetObject(&Env->TailID) == Env->Tail && SRV->GetParent(Env->Tail) == Cell &&
                                SRV->GetIndex(Env->Tail) == EnvIndex)))
        Reset(Env);
    void *Item = Env->Tail != NULL ? SRV->QueryNext(Env->Tail) : SRV->QueryFirst(&Cell->EnvDataQueue);
    for (; Item != NULL; Item = SRV->QueryNext(Item)) {
        Scan(Env, Cell, EnvIndex, Item);
        Env->Tail = Item;
        Env->TailID = SRV->GetID(Item);
    }
    Refile(Env, Cell, EnvIndex);
    return Env;
}

CandList *ListOf(CellEnv *Env, StructOfQZCellBase *Cell, VS_UUID *ClassID, VS_BOOL Direct, VS_UUID *ExcludeID)
{
    for (CandList *L : Env->Lists)
        if (L->Direct == Direct && Trelk_IDEqual(&L->ClassID, ClassID) && Trelk_IDEqual(&L->ExcludeID, ExcludeID))
            return L;
    CandList *L = NewOnHost<CandList>();
    L->ClassID = *ClassID;
    L->ExcludeID = *ExcludeID;
    L->Direct = Direct;
    Env->Lists.push_back(L);
    // What was seen before the list existed: the queue up to the last item
    // seen (everything, as the index was just brought up to date).
    for (void *Item = SRV->QueryFirst(&Cell->EnvDataQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        if (TrelkSched_IsData(Item) && MatchesClass((StructOfQZDataBase *)Item, ClassID, Direct)) {
            StructOfQZDataBase *Data = (StructOfQZDataBase *)Item;
            L->Items[KeyOf(Data)] = EnvEntry{Data, SRV->GetID(Data)};
        }
        if (Item == Env->Tail)
            break;
    }
    return L;
}

// The notes of grown exclusion lists: each datum that sits in the env of a
// cell with an index is looked at again by that cell's unallocated check.
void TakeWidenedNotes(OBJECTATTRIBUTEINDEX EnvIndex)
{
    void *Notes = QZDataBase_ExcludeWidenedNotes();
    if (Notes == NULL)
        return;
    VS_UUID Key;
    for (void *V = SRV->QueryFirstIDKey(Notes, &Key); V != NULL; V = SRV->QueryNextIDKey(Notes, &Key)) {
        void *Object = SRV->GetObject(&Key);
        if (!TrelkSched_IsData(Object) || SRV->GetIndex(Object) != EnvIndex)
            continue;
        void *Parent = SRV->GetParent(Object);
        if (!TrelkSched_IsCell(Parent))
            continue;
        CellEnv *Env = EnvOf((StructOfQZCellBase *)Parent, VS_FALSE);
        if (Env == NULL)
            continue;
        auto Found = Env->SeqOf.find(Key);
        // Not seen yet: the cell's next look at its queue takes it.
        if (Found != Env->SeqOf.end())
            Env->Watch[Found->second.Seq] = EnvEntry{(StructOfQZDataBase *)Object, Key};
    }
    SRV->DelAllKey(Notes);
}

} // namespace

VS_BOOL TrelkSched_EachCandidate(StructOfQZCellBase *Cell, VS_UUID *ClassID, VS_BOOL Direct, VS_UUID *ExcludeID,
                                 TrelkSched_CandidateVisit Visit, void *Context)
{
    if (Cell == NULL || ClassID == NULL || ExcludeID == NULL)
        return VS_FALSE;
    OBJECTATTRIBUTEINDEX EnvIndex = TrelkSched_CellEnvDataIndex();
    VS_UUID CellID = SRV->GetID(Cell);
    CellEnv *Env = Synced(Cell, EnvIndex);
    if (Env->Doubtful)
        return VS_FALSE;
    CandList *L = ListOf(Env, Cell, ClassID, Direct, ExcludeID);
    for (auto It = L->Items.begin(); It != L->Items.end();) {
        EnvEntry Entry = It->second;
        if (!StillThere(Cell, EnvIndex, Entry)) {
            It = L->Items.erase(It);
            continue;
        }
        if (KeyOf(Entry.Data) != It->first) {
            // A stamp changed under the index: start over, and let the
            // caller build this answer in full.
            Env->Epoch = ~(uint64_t)0;
            return VS_FALSE;
        }
        // Excluded stays excluded until a list shrinks (the epoch then
        // empties the index).
        if (Entry.Data->ExcludeProc != NULL && SRV->FindIDKey(Entry.Data->ExcludeProc, ExcludeID) != NULL) {
            It = L->Items.erase(It);
            continue;
        }
        EnvKey Key = It->first;
        if (!Visit(Entry.Data, Context))
            return VS_TRUE;
        // The visit connects data and may run scripts: the cell and its
        // index are found again.
        if (SRV->GetObject(&CellID) != Cell || g_Cells == NULL || EnvOf(Cell, VS_FALSE) != Env)
            return VS_TRUE;
        It = L->Items.upper_bound(Key);
    }
    return VS_TRUE;
}

VS_BOOL TrelkSched_UnallocatedCandidates(StructOfQZCellBase *Cell, VS_PARAPKGPTR Pkg)
{
    if (Cell == NULL || Pkg == NULL)
        return VS_FALSE;
    OBJECTATTRIBUTEINDEX EnvIndex = TrelkSched_CellEnvDataIndex();
    CellEnv *Env = Synced(Cell, EnvIndex);
    TakeWidenedNotes(EnvIndex);
    for (auto It = Env->Watch.begin(); It != Env->Watch.end();) {
        EnvEntry &Entry = It->second;
        if (!StillThere(Cell, EnvIndex, Entry) || Trelk_IsZeroID(&Entry.Data->OwnerRunnerProcID) ||
            !HasExclusions(Entry.Data)) {
            // A list that grows again is noted again.
            It = Env->Watch.erase(It);
            continue;
        }
        // A datum a proc holds is neither counted nor dropped: it stays
        // watched for the step after its connection ends, but is not handed
        // over (an aggregate holding K data would cost K at every step).
        if (SRV->QueryFirst(&Entry.Data->ConnectedProc) == NULL)
            Pkg->InsertObject(Pkg->GetNumber(), Entry.Data);
        ++It;
    }
    return VS_TRUE;
}

VS_INT32 TrelkSched_CountOwnedEnvData(StructOfQZCellBase *Cell, VS_UUID *ProcID, VS_INT32 Stop)
{
    if (Cell == NULL || ProcID == NULL)
        return 0;
    OBJECTATTRIBUTEINDEX EnvIndex = TrelkSched_CellEnvDataIndex();
    CellEnv *Env = Synced(Cell, EnvIndex);
    auto Owned = Env->ByOwner.find(*ProcID);
    if (Owned == Env->ByOwner.end())
        return 0;
    // The whole count: every datum that left the env on the module's watch
    // has already been taken off the list (Tarvex_Schedule_EnvDataLeaving),
    // so the list is the answer without a look at each entry.
    if (Stop <= 0)
        return (VS_INT32)Owned->second.size();
    VS_INT32 Count = 0;
    for (auto It = Owned->second.begin(); It != Owned->second.end();) {
        if (!StillThere(Cell, EnvIndex, It->second) || !Trelk_IDEqual(&It->second.Data->OwnerRunnerProcID, ProcID)) {
            It = Owned->second.erase(It);
            continue;
        }
        if (++Count == Stop)
            break;
        ++It;
    }
    return Count;
}

VS_BOOL Tarvex_Schedule_CellHoldsInstanceOf(StructOfQZCellBase *Cell, void *Object)
{
    if (Cell == NULL || Object == NULL)
        return VS_FALSE;
    OBJECTATTRIBUTEINDEX EnvIndex = TrelkSched_CellEnvDataIndex();
    CellEnv *Env = Synced(Cell, EnvIndex);
    auto Made = Env->ByAncestor.find(SRV->GetID(Object));
    if (Made == Env->ByAncestor.end())
        return VS_FALSE;
    TrelkVector<EnvEntry> &List = Made->second;
    // Entries that left the env go as they are met; one still there answers.
    size_t Kept = 0;
    VS_BOOL Found = VS_FALSE;
    for (size_t i = 0; i < List.size(); i++) {
        if (Found || StillThere(Cell, EnvIndex, List[i])) {
            List[Kept++] = List[i];
            Found = VS_TRUE;
        }
    }
    List.resize(Kept);
    return Found;
}

// The index of the cell env that holds the datum; NULL when it sits in no
// cell's env (a datum in a realm's env is handed to RealmSide instead) or
// the cell has no index yet.
static CellEnv *EnvHolding(void *Object, void (*RealmSide)(void *Object))
{
    void *Parent = SRV->GetParent(Object);
    if (Parent == NULL)
        return NULL;
    if (!TrelkSched_IsCell(Parent)) {
        RealmSide(Object);
        return NULL;
    }
    if (g_Cells == NULL || SRV->GetIndex(Object) != TrelkSched_CellEnvDataIndex())
        return NULL;
    return EnvOf((StructOfQZCellBase *)Parent, VS_FALSE);
}

void Tarvex_Schedule_EnvDataLeaving(void *Object)
{
    if (Object == NULL)
        return;
    // A datum leaving a realm's env (freed there, or moved by the module)
    // leaves the realm's index now rather than being found gone later.
    CellEnv *Env = EnvHolding(Object, QZRealmBase_EnvLeaving_Internal);
    if (Env == NULL)
        return;
    auto Old = Env->SeqOf.find(SRV->GetID(Object));
    // Not seen yet: the index never counted it.
    if (Old == Env->SeqOf.end())
        return;
    Env->Watch.erase(Old->second.Seq);
    auto Owned = Env->ByOwner.find(Old->second.Owner);
    if (Owned != Env->ByOwner.end())
        Owned->second.erase(Old->second.Seq);
}

void Tarvex_Schedule_EnvDataRestamping(void *Object)
{
    if (Object == NULL || SRV == NULL || !TrelkSched_IsData(Object))
        return;
    CellEnv *Env = EnvHolding(Object, QZRealmBase_EnvRestamping_Internal);
    if (Env == NULL)
        return;
    StructOfQZDataBase *Data = (StructOfQZDataBase *)Object;
    VS_UUID ID = SRV->GetID(Data);
    // Not seen yet: the look that meets it reads its stamp then.
    if (Env->SeqOf.find(ID) == Env->SeqOf.end())
        return;
    // Many more changes than data before the next look: that look starts
    // over instead.
    if (Env->Restamped.size() > Env->SeqOf.size() + 1024) {
        Env->Restamped.clear();
        Env->Epoch = ~(uint64_t)0;
        return;
    }
    Env->Restamped.push_back(Restamp{Data, ID, KeyOf(Data)});
}

void Tarvex_Schedule_ForgetCell(void *Cell)
{
    if (g_Cells == NULL || Cell == NULL)
        return;
    auto Found = g_Cells->find(SRV->GetID(Cell));
    if (Found == g_Cells->end())
        return;
    CellEnv *Env = Found->second;
    g_Cells->erase(Found);
    for (CandList *L : Env->Lists)
        DeleteOnHost(L);
    DeleteOnHost(Env);
}

void TrelkSched_ReleaseCellEnvs()
{
    if (g_Cells == NULL)
        return;
    for (auto &Pair : *g_Cells) {
        for (CandList *L : Pair.second->Lists)
            DeleteOnHost(L);
        DeleteOnHost(Pair.second);
    }
    DeleteOnHost(g_Cells);
    g_Cells = NULL;
}
