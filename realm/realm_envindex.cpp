// An index of each realm's env data, kept from step to step, so that a cycle
// does not walk the realm's whole env queue through the host several times:
// the data in queue order, in stamp order and grouped by every class up
// their class chain; what was in the env when the cycle opened; the data the
// cycle's frame has taken so far. Beside it, the realm's active-object
// records in stamp order, for the trimming of the oldest.
//
// The index learns of the queue through the host's own contract: a queue
// appends at its tail, so the items after the last one seen are new; an
// item's parent and attribute index tell whether it is still there (every
// entry is checked before it is used, and dropped when it has gone). The
// module's own removals tell the index at once, so the last item seen stays
// in the queue; a last-seen item that left by other means makes one full walk,
// which keeps the places of the items it finds again in order. A stamp
// changed in place (a script's write, RestoreZelDataProperty) is told before
// the write; the next look files the datum again by its new stamp, and the
// frame of the cycle looks at it again.
//
// The index lives in the realm's private buffer of index 1 (the record of
// index 0 keeps its layout) and goes with the realm.
#include "trelk_realm_internal.h"
#include "trelk_alloc.h"

#include <algorithm>
#include <array>
#include <new>

namespace {

// (low 32 bits of the stamp's tick, its high 32 bits, its sequence index,
// the queue position): the order of the stamp listings, equal stamps in
// queue order.
typedef std::array<uint64_t, 4> StampKey;

struct EnvEntry {
    void *Data;
    VS_UUID ID;
    VS_INT64 Tick;
    VS_ULONG Sequence;
    VS_BOOL IsData;
    VS_BOOL IsFrame;
    uint64_t Walk; // the full walk that last met it
    // Every object up the datum's class chain (and the datum itself when it
    // is a type): the groups it is filed under.
    TrelkVector<VS_UUID> Groups;
};

// The positions of a group's data, ascending (positions are handed out in
// ascending order); a position that left stays until the group is looked at
// with as many gone as kept.
struct GroupList {
    TrelkVector<uint64_t> Seqs;
    size_t Gone;
};

// (low, high, sequence of the stamp, then the key object's ID as the host's
// ID index orders it): the order the trimming takes the oldest records in.
typedef std::array<uint64_t, 5> ActiveKey;

struct RealmEnv {
    uint64_t NextSeq;
    uint64_t WalkCount;
    size_t CheckedSize;
    size_t OddTicks; // data entries whose tick is outside [0, 2^32)
    TrelkMap<uint64_t, EnvEntry> BySeq;
    TrelkIDMap<uint64_t> SeqOf;
    TrelkMap<StampKey, uint64_t> ByStamp;
    TrelkIDMap<GroupList> ByGroup;

    // The cycle: entries up to OpenMark were in the env at its opening;
    // Outside holds the models of the cells' data then and the data that
    // were in the env then but have been dropped from the index since.
    VS_BOOL Open;
    uint64_t OpenMark;
    TrelkIDSet Outside;
    VS_PARAPKGPTR OutsidePkg;
    VS_INT32 OutsideCount;

    // The frame of the cycle: the entries after FrameSeen are new to it.
    void *Frame;
    VS_UUID FrameID;
    VS_INT64 FrameMarkTick;
    uint64_t FrameSeen;
    TrelkIDSet InFrame;
    VS_INT32 InFrameCount;
    TrelkVector<uint64_t> FramePending;

    // Data whose stamps are changing, filed again at the next look; the
    // entries filed again since the frame last looked.
    TrelkVector<VS_UUID> Restamped;
    VS_BOOL RestampAll;
    TrelkVector<uint64_t> FrameRestamped;

    // The fact history this index last made in full (NULL when none or when
    // it may have been seen or shared since) and the IDs it holds, in order.
    VS_PARAPKGPTR FactPkg;
    TrelkVector<VS_UUID> FactIDs;
    // The lists of a cycle's look at the oldest data, kept for their room.
    TrelkVector<void *> ScratchTaken;
    TrelkVector<VS_UUID> ScratchIDs;

    // Active-object records in stamp order.
    VS_BOOL ActiveValid;
    TrelkMap<ActiveKey, StructOfQZRealmBaseActiveObjectRecord *> ActiveOrder;
    TrelkHashMap<StructOfQZRealmBaseActiveObjectRecord *, ActiveKey> ActiveKeyOf;
};

const VS_ULONG kIndexSlot = 1;

// Empties a set; one that grew large is let go, as emptying it would clear
// all its buckets again at every cycle.
void Empty(TrelkIDSet &Set)
{
    if (Set.bucket_count() > 64)
        TrelkIDSet().swap(Set);
    else
        Set.clear();
}

RealmEnv *EnvOf(StructOfQZRealmBase *Realm, VS_BOOL Make)
{
    if (Realm == NULL || SRV == NULL)
        return NULL;
    VS_ULONG Layer = SRV->GetLayer(Realm);
    RealmEnv **Slot = (RealmEnv **)SRV->GetPrivateBuf(Realm, Layer, kIndexSlot, NULL);
    if (Slot != NULL && *Slot != NULL)
        return *Slot;
    if (!Make)
        return NULL;
    if (Slot == NULL)
        Slot = (RealmEnv **)SRV->MallocPrivateBuf(Realm, Layer, kIndexSlot, sizeof(RealmEnv *));
    if (Slot == NULL)
        return NULL;
    RealmEnv *Env = new (Trelk_ContainerAlloc(sizeof(RealmEnv))) RealmEnv();
    Env->NextSeq = 1;
    Env->WalkCount = 0;
    Env->CheckedSize = 0;
    Env->OddTicks = 0;
    Env->Open = VS_FALSE;
    Env->OpenMark = 0;
    Env->OutsidePkg = NULL;
    Env->OutsideCount = 0;
    Env->Frame = NULL;
    Env->FrameMarkTick = 0;
    Env->FrameSeen = 0;
    Env->InFrameCount = 0;
    Env->ActiveValid = VS_FALSE;
    Env->FactPkg = NULL;
    Env->RestampAll = VS_FALSE;
    *Slot = Env;
    return Env;
}

OBJECTATTRIBUTEINDEX EnvIndex()
{
    return TrelkRealm_QueueIndex(TRELK_REALM_ENVDATAQUEUE);
}

VS_BOOL Present(StructOfQZRealmBase *Realm, OBJECTATTRIBUTEINDEX Index, void *Data, VS_UUID *ID)
{
    return SRV->GetObject(ID) == Data && SRV->GetParent(Data) == Realm && SRV->GetIndex(Data) == Index ? VS_TRUE
                                                                                                        : VS_FALSE;
}

StampKey KeyOf(const EnvEntry &E, uint64_t Seq)
{
    uint64_t Tick = (uint64_t)E.Tick;
    return StampKey{Tick & 0xffffffffu, Tick >> 32, (uint64_t)E.Sequence, Seq};
}

VS_BOOL OddTick(VS_INT64 Tick)
{
    return Tick < 0 || Tick > (VS_INT64)0xffffffffll ? VS_TRUE : VS_FALSE;
}

// Takes one entry out of every part of the index. An entry of the data that
// were in the env at the cycle's opening stays counted as from outside.
void Drop(RealmEnv *Env, TrelkMap<uint64_t, EnvEntry>::iterator It)
{
    uint64_t Seq = It->first;
    EnvEntry &E = It->second;
    if (Env->Open && Seq <= Env->OpenMark)
        Env->Outside.insert(E.ID);
    if (E.IsData) {
        Env->ByStamp.erase(KeyOf(E, Seq));
        if (OddTick(E.Tick) && Env->OddTicks > 0)
            Env->OddTicks--;
    }
    TrelkVector<VS_UUID> Groups;
    Groups.swap(E.Groups);
    auto Own = Env->SeqOf.find(E.ID);
    if (Own != Env->SeqOf.end() && Own->second == Seq)
        Env->SeqOf.erase(Own);
    Env->BySeq.erase(It);
    for (const VS_UUID &G : Groups) {
        auto Group = Env->ByGroup.find(G);
        if (Group == Env->ByGroup.end())
            continue;
        GroupList &List = Group->second;
        if (++List.Gone * 2 < List.Seqs.size())
            continue;
        size_t Kept = 0;
        for (uint64_t At : List.Seqs)
            if (Env->BySeq.count(At) != 0)
                List.Seqs[Kept++] = At;
        List.Seqs.resize(Kept);
        List.Gone = 0;
        if (Kept == 0)
            Env->ByGroup.erase(Group);
    }
}

void FileEntry(RealmEnv *Env, void *Item, uint64_t Seq, uint64_t Walk)
{
    EnvEntry E;
    E.Data = Item;
    E.ID = SRV->GetID(Item);
    E.IsData = TrelkRealm_IsData(Item);
    E.IsFrame = VS_FALSE;
    E.Tick = 0;
    E.Sequence = 0;
    E.Walk = Walk;
    if (E.IsData) {
        StructOfQZDataBase *Data = (StructOfQZDataBase *)Item;
        E.Tick = Data->ScheduleTickCount;
        E.Sequence = Data->SequenceIndex;
        E.IsFrame = Trelk_IsInstOf(Item, QZRealmFrameData);
        VS_UUID Chain[16];
        size_t Depth = 0;
        if (Data->IsType)
            Chain[Depth++] = E.ID;
        void *Up = SRV->GetClass(Item);
        for (; Up != NULL && Depth < 16; Up = SRV->GetClass(Up))
            Chain[Depth++] = SRV->GetID(Up);
        E.Groups.reserve(Depth + (Up != NULL ? 4 : 0));
        E.Groups.assign(Chain, Chain + Depth);
        for (; Up != NULL; Up = SRV->GetClass(Up))
            E.Groups.push_back(SRV->GetID(Up));
    }
    Env->SeqOf[E.ID] = Seq;
    if (E.IsData) {
        Env->ByStamp[KeyOf(E, Seq)] = Seq;
        if (OddTick(E.Tick))
            Env->OddTicks++;
    }
    for (const VS_UUID &G : E.Groups)
        Env->ByGroup[G].Seqs.push_back(Seq);
    Env->BySeq.emplace(Seq, std::move(E));
}

// A new item at the tail; one seen before (it left and came back) loses its
// old place first.
void Scan(RealmEnv *Env, void *Item)
{
    VS_UUID ID = SRV->GetID(Item);
    auto Old = Env->SeqOf.find(ID);
    if (Old != Env->SeqOf.end()) {
        auto It = Env->BySeq.find(Old->second);
        if (It != Env->BySeq.end())
            Drop(Env, It);
    }
    FileEntry(Env, Item, Env->NextSeq++, Env->WalkCount);
}

// One walk over the whole queue: the items met in the order of their places
// keep them, the others are filed anew at the end, and what was not met goes.
void FullWalk(RealmEnv *Env, StructOfQZRealmBase *Realm)
{
    uint64_t Walk = ++Env->WalkCount;
    uint64_t Last = 0;
    for (void *Item = SRV->QueryFirst(&Realm->EnvDataQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        VS_UUID ID = SRV->GetID(Item);
        auto Known = Env->SeqOf.find(ID);
        TrelkMap<uint64_t, EnvEntry>::iterator It = Env->BySeq.end();
        if (Known != Env->SeqOf.end())
            It = Env->BySeq.find(Known->second);
        if (It != Env->BySeq.end() && It->first > Last && It->second.Data == Item) {
            It->second.Walk = Walk;
            Last = It->first;
        } else {
            if (It != Env->BySeq.end())
                Drop(Env, It);
            Last = Env->NextSeq++;
            FileEntry(Env, Item, Last, Walk);
        }
    }
    for (auto It = Env->BySeq.begin(); It != Env->BySeq.end();) {
        auto Next = std::next(It);
        if (It->second.Walk != Walk)
            Drop(Env, It);
        It = Next;
    }
    Env->CheckedSize = Env->BySeq.size();
}

void Refile(RealmEnv *Env, StructOfQZRealmBase *Realm);

// Brings the index up to the realm's queue. The last entry is the last item
// seen; when it has left, the one before it is, and so on.
RealmEnv *Synced(StructOfQZRealmBase *Realm)
{
    RealmEnv *Env = EnvOf(Realm, VS_TRUE);
    if (Env == NULL)
        return NULL;
    // Entries of data that left by means the index was not told of are
    // dropped as they are met; when they have come to outnumber the rest,
    // one walk drops them all.
    if (Env->BySeq.size() > 2 * Env->CheckedSize + 64) {
        FullWalk(Env, Realm);
        Refile(Env, Realm);
        return Env;
    }
    OBJECTATTRIBUTEINDEX Index = EnvIndex();
    while (!Env->BySeq.empty()) {
        auto Last = std::prev(Env->BySeq.end());
        if (Present(Realm, Index, Last->second.Data, &Last->second.ID))
            break;
        Drop(Env, Last);
    }
    // The last item seen may have left and come back behind items that came
    // meanwhile: then the item before it no longer leads to it.
    while (!Env->BySeq.empty()) {
        auto Last = std::prev(Env->BySeq.end());
        if (Last == Env->BySeq.begin()) {
            if (SRV->QueryFirst(&Realm->EnvDataQueue) != Last->second.Data) {
                FullWalk(Env, Realm);
                Refile(Env, Realm);
                return Env;
            }
            break;
        }
        auto Before = std::prev(Last);
        if (!Present(Realm, Index, Before->second.Data, &Before->second.ID)) {
            Drop(Env, Before);
            continue;
        }
        if (SRV->QueryNext(Before->second.Data) != Last->second.Data) {
            FullWalk(Env, Realm);
            Refile(Env, Realm);
            return Env;
        }
        break;
    }
    VS_BOOL FromFirst = Env->BySeq.empty();
    void *Item = FromFirst ? SRV->QueryFirst(&Realm->EnvDataQueue)
                           : SRV->QueryNext(std::prev(Env->BySeq.end())->second.Data);
    for (; Item != NULL; Item = SRV->QueryNext(Item))
        Scan(Env, Item);
    // A walk from the first item saw the whole queue.
    if (FromFirst)
        Env->CheckedSize = Env->BySeq.size();
    Refile(Env, Realm);
    return Env;
}

// The entry still names its datum in the env with the stamp it was filed
// under; a datum that left is dropped here, one whose stamp changed is filed
// again under its stamp (FALSE for both).
VS_BOOL Check(RealmEnv *Env, StructOfQZRealmBase *Realm, OBJECTATTRIBUTEINDEX Index,
              TrelkMap<uint64_t, EnvEntry>::iterator It, VS_BOOL *Refiled)
{
    EnvEntry &E = It->second;
    if (!Present(Realm, Index, E.Data, &E.ID)) {
        Drop(Env, It);
        return VS_FALSE;
    }
    if (!E.IsData)
        return VS_TRUE;
    StructOfQZDataBase *Data = (StructOfQZDataBase *)E.Data;
    if (Data->ScheduleTickCount != E.Tick || Data->SequenceIndex != E.Sequence) {
        Env->ByStamp.erase(KeyOf(E, It->first));
        if (OddTick(E.Tick) && Env->OddTicks > 0)
            Env->OddTicks--;
        E.Tick = Data->ScheduleTickCount;
        E.Sequence = Data->SequenceIndex;
        Env->ByStamp[KeyOf(E, It->first)] = It->first;
        if (OddTick(E.Tick))
            Env->OddTicks++;
        if (Refiled != NULL)
            *Refiled = VS_TRUE;
        return VS_FALSE;
    }
    return VS_TRUE;
}

// The entry of Seq while its datum is still in the env, its stamp read
// again; NULL when it left or names no datum.
EnvEntry *LiveData(RealmEnv *Env, StructOfQZRealmBase *Realm, OBJECTATTRIBUTEINDEX Index, uint64_t Seq)
{
    auto It = Env->BySeq.find(Seq);
    if (It == Env->BySeq.end())
        return NULL;
    VS_BOOL Refiled = VS_FALSE;
    if (!Check(Env, Realm, Index, It, &Refiled) && !Refiled)
        return NULL;
    return It->second.IsData ? &It->second : NULL;
}

// Every datum's stamp read again: a stamp changed under the index.
void RefileStamps(RealmEnv *Env, StructOfQZRealmBase *Realm)
{
    OBJECTATTRIBUTEINDEX Index = EnvIndex();
    for (auto It = Env->BySeq.begin(); It != Env->BySeq.end();) {
        auto Next = std::next(It);
        Check(Env, Realm, Index, It, NULL);
        It = Next;
    }
}

// The data restamped since the last look, filed under their new stamps
// (or dropped when they have left); the frame looks at them again.
void Refile(RealmEnv *Env, StructOfQZRealmBase *Realm)
{
    if (Env->RestampAll) {
        Env->RestampAll = VS_FALSE;
        Env->Restamped.clear();
        RefileStamps(Env, Realm);
        Env->FrameRestamped.clear();
        Env->Frame = NULL;
        return;
    }
    if (Env->Restamped.empty())
        return;
    OBJECTATTRIBUTEINDEX Index = EnvIndex();
    TrelkVector<VS_UUID> List;
    List.swap(Env->Restamped);
    for (const VS_UUID &ID : List) {
        auto Known = Env->SeqOf.find(ID);
        if (Known == Env->SeqOf.end())
            continue;
        uint64_t Seq = Known->second;
        auto It = Env->BySeq.find(Seq);
        if (It == Env->BySeq.end())
            continue;
        Check(Env, Realm, Index, It, NULL);
        if (Env->BySeq.count(Seq) != 0)
            Env->FrameRestamped.push_back(Seq);
    }
    // A frame that has not looked for a long time looks at everything.
    if (Env->FrameRestamped.size() > Env->BySeq.size() + 64) {
        Env->FrameRestamped.clear();
        Env->Frame = NULL;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Env data
// ---------------------------------------------------------------------------
void QZRealmBase_EnvLeft_Internal(StructOfQZRealmBase *QZRealm, void *Object)
{
    RealmEnv *Env = EnvOf(QZRealm, VS_FALSE);
    if (Env == NULL || Object == NULL)
        return;
    auto Known = Env->SeqOf.find(SRV->GetID(Object));
    if (Known == Env->SeqOf.end())
        return;
    auto It = Env->BySeq.find(Known->second);
    if (It != Env->BySeq.end() && It->second.Data == Object)
        Drop(Env, It);
}

void QZRealmBase_EnvLeaving_Internal(void *Object)
{
    if (Object == NULL)
        return;
    void *Parent = SRV->GetParent(Object);
    if (Parent != NULL && SRV->GetIndex(Object) == EnvIndex() && TrelkRealm_IsRealm(Parent))
        QZRealmBase_EnvLeft_Internal((StructOfQZRealmBase *)Parent, Object);
}

void QZRealmBase_EnvRestamping_Internal(void *Object)
{
    if (Object == NULL)
        return;
    void *Parent = SRV->GetParent(Object);
    if (Parent == NULL || SRV->GetIndex(Object) != EnvIndex() || !TrelkRealm_IsRealm(Parent))
        return;
    RealmEnv *Env = EnvOf((StructOfQZRealmBase *)Parent, VS_FALSE);
    if (Env == NULL)
        return;
    VS_UUID ID = SRV->GetID(Object);
    // Not filed yet: the look that files it reads its stamp then.
    if (Env->SeqOf.find(ID) == Env->SeqOf.end())
        return;
    // Many more changes than data before the next look: the stamps are all
    // read again then.
    if (Env->RestampAll)
        return;
    if (Env->Restamped.size() > Env->BySeq.size() + 1024) {
        Env->Restamped.clear();
        Env->RestampAll = VS_TRUE;
        return;
    }
    Env->Restamped.push_back(ID);
}

void QZRealmBase_EnvOpenCycle_Internal(StructOfQZRealmBase *QZRealm, void *const *Models, VS_INT32 Count,
                                       VS_PARAPKGPTR OutsidePkg)
{
    RealmEnv *Env = Synced(QZRealm);
    if (Env == NULL)
        return;
    Env->Open = VS_TRUE;
    Env->OpenMark = Env->NextSeq - 1;
    Empty(Env->Outside);
    for (VS_INT32 i = 0; i < Count; i++) {
        VS_UUID *ID = Models[i] != NULL ? SRV->GetIDEx(Models[i]) : NULL;
        if (ID != NULL)
            Env->Outside.insert(*ID);
    }
    Env->OutsidePkg = OutsidePkg;
    Env->OutsideCount = OutsidePkg != NULL ? OutsidePkg->GetNumber() : 0;
}

void QZRealmBase_EnvForgetCycle_Internal(StructOfQZRealmBase *QZRealm)
{
    RealmEnv *Env = EnvOf(QZRealm, VS_FALSE);
    if (Env == NULL)
        return;
    Env->Open = VS_FALSE;
    Env->OpenMark = 0;
    Empty(Env->Outside);
    Env->Frame = NULL;
}

VS_INT32 QZRealmBase_EnvIsOutside_Internal(StructOfQZRealmBase *QZRealm, void *Data, VS_PARAPKGPTR OutsidePkg)
{
    RealmEnv *Env = EnvOf(QZRealm, VS_FALSE);
    if (Env == NULL || !Env->Open || OutsidePkg != Env->OutsidePkg || OutsidePkg == NULL)
        return -1;
    VS_UUID *ID = SRV->GetIDEx(Data);
    if (ID == NULL)
        return 0;
    auto Known = Env->SeqOf.find(*ID);
    if (Env->Outside.count(*ID) != 0 || (Known != Env->SeqOf.end() && Known->second <= Env->OpenMark))
        return 1;
    // What was put in the package after the opening is looked for there.
    return OutsidePkg->GetNumber() == Env->OutsideCount ? 0 : -1;
}

namespace {

// The first Limit env data in stamp order (equal stamps in queue order), with
// their IDs.
void Oldest(RealmEnv *Env, StructOfQZRealmBase *QZRealm, VS_INT32 Limit, TrelkVector<void *> &Taken,
            TrelkVector<VS_UUID> &IDs)
{
    OBJECTATTRIBUTEINDEX Index = EnvIndex();
    for (int Round = 0; Round < 2; Round++) {
        VS_BOOL Refiled = VS_FALSE;
        Taken.clear();
        IDs.clear();
        for (auto It = Env->ByStamp.begin(); It != Env->ByStamp.end() && (VS_INT32)Taken.size() < Limit;) {
            auto Next = std::next(It);
            auto Entry = Env->BySeq.find(It->second);
            if (Entry == Env->BySeq.end()) {
                Env->ByStamp.erase(It);
            } else if (Check(Env, QZRealm, Index, Entry, &Refiled)) {
                Taken.push_back(Entry->second.Data);
                IDs.push_back(Entry->second.ID);
            } else if (Refiled) {
                break;
            }
            It = Next;
        }
        if (!Refiled || Round == 1)
            return;
        RefileStamps(Env, QZRealm);
    }
}

VS_BOOL SameIDs(const TrelkVector<VS_UUID> &A, const TrelkVector<VS_UUID> &B)
{
    if (A.size() != B.size())
        return VS_FALSE;
    for (size_t i = 0; i < A.size(); i++)
        if (!Trelk_IDEqual(&A[i], &B[i]))
            return VS_FALSE;
    return VS_TRUE;
}

} // namespace

VS_PARAPKGPTR QZRealmBase_EnvOldest_Internal(StructOfQZRealmBase *QZRealm, VS_INT32 Limit)
{
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    RealmEnv *Env = Synced(QZRealm);
    if (Env == NULL || Limit <= 0 || Result == NULL)
        return Result;
    TrelkVector<void *> Taken;
    TrelkVector<VS_UUID> IDs;
    Oldest(Env, QZRealm, Limit, Taken, IDs);
    for (void *Data : Taken)
        Result->InsertObject(Result->GetNumber(), Data);
    return Result;
}

void QZRealmBase_EnvFactHistory_Internal(StructOfQZRealmBase *QZRealm, VS_PARAPKGPTR *History, VS_INT32 Length)
{
    if (History == NULL)
        return;
    RealmEnv *Env = Synced(QZRealm);
    TrelkVector<void *> NoTaken;
    TrelkVector<VS_UUID> NoIDs;
    TrelkVector<void *> &Taken = Env != NULL ? Env->ScratchTaken : NoTaken;
    TrelkVector<VS_UUID> &IDs = Env != NULL ? Env->ScratchIDs : NoIDs;
    Taken.clear();
    IDs.clear();
    if (Env != NULL && Length > 0)
        Oldest(Env, QZRealm, Length, Taken, IDs);
    // A full history of the same data as the one this index made last, which
    // nobody has seen or shared since, is that package as it stands: a new
    // package would hold the same objects in the same order.
    VS_BOOL Full = Length > 0 && (VS_INT32)Taken.size() == Length ? VS_TRUE : VS_FALSE;
    if (Env != NULL && Full && *History != NULL && *History == Env->FactPkg && SameIDs(IDs, Env->FactIDs) &&
        (*History)->GetNumber() == Length)
        return;
    VS_PARAPKGPTR Fact = Trelk_GetParaPkgInterface(__LINE__);
    if (Fact == NULL)
        return;
    for (void *Data : Taken)
        Fact->InsertObject(Fact->GetNumber(), Data);
    if (*History != NULL) {
        // Older cycles only fill the room the newest one leaves.
        if (Fact->GetNumber() < Length)
            Fact->AppendFrom(*History);
        (*History)->Release();
    }
    while (Fact->GetNumber() > Length && Fact->GetNumber() > 0)
        Fact->Del(Fact->GetNumber() - 1);
    *History = Fact;
    if (Env != NULL) {
        Env->FactPkg = Full ? Fact : NULL;
        Env->FactIDs.swap(IDs);
        if (!Full)
            Env->FactIDs.clear();
        Taken.clear();
    }
}

void QZRealmBase_EnvHistoryShown_Internal(StructOfQZRealmBase *QZRealm)
{
    RealmEnv *Env = EnvOf(QZRealm, VS_FALSE);
    if (Env == NULL)
        return;
    Env->FactPkg = NULL;
    Env->FactIDs.clear();
}

void QZRealmBase_EnvFrameOpen_Internal(StructOfQZRealmBase *QZRealm, void *Frame, VS_INT64 MinTick,
                                       VS_INT64 MarkTick, TrelkVector<void *> &Out)
{
    RealmEnv *Env = Synced(QZRealm);
    if (Env == NULL)
        return;
    OBJECTATTRIBUTEINDEX Index = EnvIndex();
    Env->Frame = Frame;
    Env->FrameID = SRV->GetID(Frame);
    Env->FrameMarkTick = MarkTick;
    Env->FrameSeen = Env->NextSeq - 1;
    Empty(Env->InFrame);
    Env->InFrameCount = 0;
    Env->FramePending.clear();
    // The stamps are read as they are now: what changed before is filed.
    Env->FrameRestamped.clear();
    // What the first step takes (above the mark) and what the opening takes
    // (at MinTick or later) are looked at in one pass.
    VS_INT64 Lowest = MarkTick < MinTick ? MarkTick + 1 : MinTick;
    TrelkVector<uint64_t> Seqs;
    if (Env->OddTicks > 0 || Lowest < 0) {
        for (auto &Pair : Env->BySeq)
            if (Pair.second.IsData && Pair.second.Tick >= Lowest)
                Seqs.push_back(Pair.first);
    } else {
        uint64_t From = (uint64_t)Lowest;
        for (auto It = Env->ByStamp.lower_bound(StampKey{From & 0xffffffffu, From >> 32, 0, 0});
             It != Env->ByStamp.end(); ++It)
            Seqs.push_back(It->second);
        std::sort(Seqs.begin(), Seqs.end());
    }
    for (uint64_t Seq : Seqs) {
        EnvEntry *E = LiveData(Env, QZRealm, Index, Seq);
        if (E == NULL || E->Tick < Lowest)
            continue;
        // A frame datum, and a datum below the opening's tick but above the
        // mark, are left to the first step, which takes what is newer than
        // the mark whatever it is.
        if (E->IsFrame || E->Tick < MinTick) {
            if (E->Tick > MarkTick)
                Env->FramePending.push_back(Seq);
            continue;
        }
        Out.push_back(E->Data);
        Env->InFrame.insert(E->ID);
    }
    Env->InFrameCount = (VS_INT32)Out.size();
}

void QZRealmBase_EnvFrameStep_Internal(StructOfQZRealmBase *QZRealm, void *Frame, VS_PARAPKGPTR Members,
                                       VS_INT64 MarkTick, TrelkVector<void *> &Out)
{
    RealmEnv *Env = Synced(QZRealm);
    if (Env == NULL)
        return;
    OBJECTATTRIBUTEINDEX Index = EnvIndex();
    VS_INT32 Have = Members != NULL ? Members->GetNumber() : 0;
    TrelkVector<uint64_t> Seqs;
    VS_UUID FrameID = SRV->GetID(Frame);
    if (Frame != Env->Frame || !Trelk_IDEqual(&FrameID, &Env->FrameID) || MarkTick != Env->FrameMarkTick) {
        // Not the frame the opening filled: every datum is looked at.
        Env->Frame = Frame;
        Env->FrameID = FrameID;
        Env->FrameMarkTick = MarkTick;
        Env->FramePending.clear();
        Env->InFrameCount = -1;
        for (auto &Pair : Env->BySeq)
            Seqs.push_back(Pair.first);
    } else {
        Seqs.swap(Env->FramePending);
        Seqs.insert(Seqs.end(), Env->FrameRestamped.begin(), Env->FrameRestamped.end());
        for (auto It = Env->BySeq.upper_bound(Env->FrameSeen); It != Env->BySeq.end(); ++It)
            Seqs.push_back(It->first);
        std::sort(Seqs.begin(), Seqs.end());
        Seqs.erase(std::unique(Seqs.begin(), Seqs.end()), Seqs.end());
    }
    Env->FrameRestamped.clear();
    Env->FrameSeen = Env->NextSeq - 1;
    if (Env->InFrameCount != Have) {
        Empty(Env->InFrame);
        for (VS_INT32 i = 0; i < Have; i++) {
            void *Member = Members->GetObject(i);
            VS_UUID *ID = Member != NULL ? SRV->GetIDEx(Member) : NULL;
            if (ID != NULL)
                Env->InFrame.insert(*ID);
        }
    }
    for (uint64_t Seq : Seqs) {
        EnvEntry *E = LiveData(Env, QZRealm, Index, Seq);
        if (E != NULL && E->Tick > MarkTick && Env->InFrame.insert(E->ID).second)
            Out.push_back(E->Data);
    }
    Env->InFrameCount = Have + (VS_INT32)Out.size();
}

// ---------------------------------------------------------------------------
// The hand-out's walk: the data of the wanted groups in queue order
// ---------------------------------------------------------------------------
uint64_t QZRealmBase_EnvMark_Internal(StructOfQZRealmBase *QZRealm)
{
    RealmEnv *Env = Synced(QZRealm);
    return Env != NULL ? Env->NextSeq - 1 : 0;
}

void *QZRealmBase_EnvNext_Internal(StructOfQZRealmBase *QZRealm, uint64_t *Cursor, uint64_t Mark,
                                   const VS_UUID *Wanted, size_t WantedCount, VS_BOOL All, VS_UUID *IDOut)
{
    RealmEnv *Env = EnvOf(QZRealm, VS_FALSE);
    if (Env == NULL)
        return NULL;
    OBJECTATTRIBUTEINDEX Index = EnvIndex();
    for (;;) {
        uint64_t Next = 0;
        if (All) {
            auto It = Env->BySeq.upper_bound(*Cursor);
            if (It != Env->BySeq.end())
                Next = It->first;
        } else {
            for (size_t i = 0; i < WantedCount; i++) {
                auto Group = Env->ByGroup.find(Wanted[i]);
                if (Group == Env->ByGroup.end())
                    continue;
                const TrelkVector<uint64_t> &Seqs = Group->second.Seqs;
                auto It = std::upper_bound(Seqs.begin(), Seqs.end(), *Cursor);
                // A position that left is passed over here.
                while (It != Seqs.end() && Env->BySeq.count(*It) == 0)
                    ++It;
                if (It != Seqs.end() && (Next == 0 || *It < Next))
                    Next = *It;
            }
        }
        if (Next == 0 || Next > Mark)
            return NULL;
        *Cursor = Next;
        auto It = Env->BySeq.find(Next);
        if (It == Env->BySeq.end())
            continue;
        if (!Present(QZRealm, Index, It->second.Data, &It->second.ID)) {
            Drop(Env, It);
            continue;
        }
        *IDOut = It->second.ID;
        return It->second.Data;
    }
}

// ---------------------------------------------------------------------------
// Active-object records in stamp order
// ---------------------------------------------------------------------------
namespace {
ActiveKey ActiveKeyFor(StructOfQZRealmBaseActiveObjectRecord *Record, const VS_UUID *ID)
{
    uint32_t Words[4];
    memcpy(Words, ID, sizeof(Words));
    uint64_t Tick = (uint64_t)Record->ScheduleTickCount;
    return ActiveKey{Tick & 0xffffffffu, Tick >> 32, (uint64_t)Record->SequenceIndex,
                     ((uint64_t)Words[0] << 32) | Words[1], ((uint64_t)Words[2] << 32) | Words[3]};
}

VS_UUID ActiveID(const ActiveKey &Key)
{
    uint32_t Words[4] = {(uint32_t)(Key[3] >> 32), (uint32_t)Key[3], (uint32_t)(Key[4] >> 32), (uint32_t)Key[4]};
    VS_UUID ID;
    memcpy(&ID, Words, sizeof(ID));
    return ID;
}

void ActiveRebuild(RealmEnv *Env, StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    Env->ActiveOrder.clear();
    Env->ActiveKeyOf.clear();
    Env->ActiveValid = VS_TRUE;
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return;
    VS_UUID Key;
    for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->ActiveRealmObjectTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(LocalBuf->ActiveRealmObjectTree, &Key)) {
        StructOfQZRealmBaseActiveObjectRecord *Record = (StructOfQZRealmBaseActiveObjectRecord *)Rec;
        ActiveKey K = ActiveKeyFor(Record, &Key);
        Env->ActiveOrder[K] = Record;
        Env->ActiveKeyOf[Record] = K;
    }
}
} // namespace

void QZRealmBase_ActiveFiled_Internal(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseActiveObjectRecord *Record,
                                      VS_UUID *KeyID)
{
    RealmEnv *Env = EnvOf(QZRealm, VS_TRUE);
    if (Env == NULL || Record == NULL)
        return;
    if (!Env->ActiveValid)
        return;
    auto Old = Env->ActiveKeyOf.find(Record);
    if (Old != Env->ActiveKeyOf.end()) {
        Env->ActiveOrder.erase(Old->second);
        if (KeyID == NULL) {
            VS_UUID ID = ActiveID(Old->second);
            ActiveKey K = ActiveKeyFor(Record, &ID);
            Old->second = K;
            Env->ActiveOrder[K] = Record;
            return;
        }
    }
    // A record the order does not hold (one on its way out, or one filed
    // behind the order, which the count or the check of what is taken
    // finds) is not filed by a new stamp.
    if (KeyID == NULL)
        return;
    ActiveKey K = ActiveKeyFor(Record, KeyID);
    Env->ActiveKeyOf[Record] = K;
    Env->ActiveOrder[K] = Record;
}

void QZRealmBase_ActiveUnfiled_Internal(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseActiveObjectRecord *Record)
{
    RealmEnv *Env = EnvOf(QZRealm, VS_FALSE);
    if (Env == NULL || Record == NULL)
        return;
    auto Old = Env->ActiveKeyOf.find(Record);
    if (Old == Env->ActiveKeyOf.end())
        return;
    Env->ActiveOrder.erase(Old->second);
    Env->ActiveKeyOf.erase(Old);
}

void QZRealmBase_ActiveOrderStale_Internal(StructOfQZRealmBase *QZRealm)
{
    RealmEnv *Env = EnvOf(QZRealm, VS_FALSE);
    if (Env == NULL)
        return;
    Env->ActiveValid = VS_FALSE;
    Env->ActiveOrder.clear();
    Env->ActiveKeyOf.clear();
}

void QZRealmBase_ActiveOldest_Internal(StructOfQZRealmBase *QZRealm, VS_ULONG Take, TrelkVector<VS_UUID> &Out)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    RealmEnv *Env = EnvOf(QZRealm, VS_TRUE);
    if (Env == NULL || LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return;
    for (int Round = 0; Round < 2; Round++) {
        if (!Env->ActiveValid || Env->ActiveKeyOf.size() != LocalBuf->ActiveRealmObjectCount)
            ActiveRebuild(Env, LocalBuf);
        Out.clear();
        VS_BOOL Good = VS_TRUE;
        for (auto It = Env->ActiveOrder.begin(); It != Env->ActiveOrder.end() && Out.size() < Take; ++It) {
            VS_UUID ID = ActiveID(It->first);
            // Each record taken is checked against the host's index: one
            // changed behind the order makes it again.
            if (SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, &ID) != It->second ||
                ActiveKeyFor(It->second, &ID) != It->first) {
                Good = VS_FALSE;
                break;
            }
            Out.push_back(ID);
        }
        if (Good)
            return;
        Env->ActiveValid = VS_FALSE;
    }
}

// ---------------------------------------------------------------------------
// The realm goes
// ---------------------------------------------------------------------------
void QZRealmBase_EnvRelease_Internal(StructOfQZRealmBase *QZRealm)
{
    if (QZRealm == NULL || SRV == NULL)
        return;
    VS_ULONG Layer = SRV->GetLayer(QZRealm);
    RealmEnv **Slot = (RealmEnv **)SRV->GetPrivateBuf(QZRealm, Layer, kIndexSlot, NULL);
    if (Slot == NULL)
        return;
    if (*Slot != NULL) {
        (*Slot)->~RealmEnv();
        Trelk_ContainerFree(*Slot);
        *Slot = NULL;
    }
    SRV->FreePrivate(QZRealm, Layer, kIndexSlot);
}
