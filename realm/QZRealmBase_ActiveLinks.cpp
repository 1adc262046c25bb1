// The links of a realm's active-object records, kept in module memory.
//
// A record's sources and targets are lists in insertion order whose items are
// found by ID without a walk. Beside them the realm keeps, for every object
// ID, the records that list it as a source (its followers), and each record
// keeps the sums its recount needs: when a record's count changes, its
// followers' sums change with it at once. So a recount costs the same for one
// source or a hundred thousand, and taking one source out of a long list does
// not shift or search the rest: an aggregate over many data is no longer
// quadratic in their number.
//
// Only data sources are summed ahead: an object of any other kind (a proc
// type, a cell, any object a script links) may be freed without a word while
// recorded, and then counts no more, so the few of them a record has are
// looked at again at each of its recounts. A freed datum stops counting too,
// and the data tell us of each free: its followers in every realm (and no
// one else) take its share out of their sums there and then, so a free costs
// its own followers and leaves every other record's sums as they are.
//
// A list becomes a package only when a script asks for it. From then on the
// script may edit that package at any time, so the record keeps that list as
// the package (searched as before), and a record whose sources are such a
// package adds them up at each of its recounts, as the package says.
#include "trelk_realm_internal.h"

#include <new>

namespace {

enum { kSources = 0, kTargets = 1 };
// A list this long gets an index of its items by ID.
const VS_INT32 kIndexFrom = 8;

enum ContributionKind : VS_INT8 { kNone = 0, kData = 1, kOther = 2 };

struct Contribution {
    VS_INT8 Kind;
    VS_INT32 Value;
};

} // namespace

struct TrelkActiveNode {
    VS_UUID ID;
    StructOfQZRealmBaseActiveObjectRecord *Owner;
    TrelkActiveNode *Prev, *Next; // in the owner's list
    // Sources only: a datum's node is chained to the other nodes naming the
    // same datum (its followers); another object's to the owner's other
    // sources of that kind.
    TrelkActiveNode *FPrev, *FNext;
    VS_BOOL Data;
};

struct TrelkActiveList {
    TrelkActiveNode *First, *Last;
    VS_INT32 Count;
    TrelkIDMap<TrelkActiveNode *> *ByID;
};

struct TrelkActiveLinks {
    VS_UUID ID; // the key object's
    TrelkActiveList Lists[2];
    // The sources that are no data.
    TrelkActiveNode *Others;
    // A datum's record: what it adds to its followers' sums now (nothing
    // once the datum is freed).
    Contribution Applied;
    // The sum of the data sources' counts and their number, valid while the
    // sources are a list of ours and nothing has changed behind it.
    VS_BOOL SumsValid;
    VS_INT64 DataSum;
    VS_INT64 DataSources;
};

// Sums of one recount.
struct TrelkActiveSums {
    VS_INT64 DataSum;
    VS_INT64 DataSources;
    VS_ULONG OtherSum; // wraps
};

struct TrelkActiveGraph;

// One realm's followers of one object: the first node of their chain. The
// chains of one datum in all realms are linked to each other (Prev, Next),
// the first of them filed module-wide under the datum's ID.
struct TrelkFollowChain {
    TrelkActiveNode *First;
    TrelkActiveGraph *Graph;
    TrelkFollowChain *Prev, *Next;
};

struct TrelkActiveGraph {
    // The realm's buffer, which holds this graph and the records.
    StructOfQZRealmBaseLocalBuf *LocalBuf;
    // Per object ID, the chain of its followers. Entries keep their place
    // while others come and go, so the module-wide links may point at them.
    TrelkIDMap<TrelkFollowChain> Followers;
};

namespace {

// Per datum ID, the first of its realms' chains of followers: made with the
// first chain of a datum, let go of with the last, so that it lives no longer
// than the realms' graphs.
TrelkIDMap<TrelkFollowChain *> *g_DataChains = NULL;

// The data's chain files itself module-wide (a chain of another object
// stays out: only a datum's free is told).
void ChainsIn(const VS_UUID &ID, TrelkFollowChain *Chain)
{
    if (g_DataChains == NULL)
        g_DataChains = new (Trelk_ContainerAlloc(sizeof(TrelkIDMap<TrelkFollowChain *>)))
            TrelkIDMap<TrelkFollowChain *>();
    TrelkFollowChain *&Head = (*g_DataChains)[ID];
    Chain->Prev = NULL;
    Chain->Next = Head;
    if (Head != NULL)
        Head->Prev = Chain;
    Head = Chain;
}

void ChainsOut(const VS_UUID &ID, TrelkFollowChain *Chain)
{
    if (Chain->Next != NULL)
        Chain->Next->Prev = Chain->Prev;
    if (Chain->Prev != NULL) {
        Chain->Prev->Next = Chain->Next;
    } else if (g_DataChains != NULL) {
        auto It = g_DataChains->find(ID);
        if (It != g_DataChains->end() && It->second == Chain) {
            if (Chain->Next != NULL)
                It->second = Chain->Next;
            else
                g_DataChains->erase(It);
        }
        if (g_DataChains->empty()) {
            g_DataChains->~TrelkIDMap<TrelkFollowChain *>();
            Trelk_ContainerFree(g_DataChains);
            g_DataChains = NULL;
        }
    }
    Chain->Prev = Chain->Next = NULL;
}

} // namespace

namespace {

TrelkActiveGraph *GraphOf(StructOfQZRealmBaseLocalBuf *LocalBuf, VS_BOOL Make)
{
    if (LocalBuf == NULL)
        return NULL;
    if (LocalBuf->ActiveGraph == NULL && Make) {
        TrelkActiveGraph *Graph = new (Trelk_ContainerAlloc(sizeof(TrelkActiveGraph))) TrelkActiveGraph();
        Graph->LocalBuf = LocalBuf;
        LocalBuf->ActiveGraph = Graph;
    }
    return (TrelkActiveGraph *)LocalBuf->ActiveGraph;
}

Contribution CurrentOf(StructOfQZRealmBaseActiveObjectRecord *Record)
{
    if (Record == NULL || Record->ExtraActiveCount == 0)
        return Contribution{kNone, 0};
    return Contribution{Record->IsQZData ? (VS_INT8)kData : (VS_INT8)kOther,
                        (VS_INT32)((VS_ULONG)Record->ActiveCount + (VS_ULONG)Record->ExtraActiveCount)};
}

VS_BOOL Usable(TrelkActiveLinks *Links)
{
    return Links != NULL && Links->SumsValid;
}

// A data object whose record outlives it (freed while recorded) counts for
// no one.
VS_BOOL FreedData(StructOfQZRealmBaseActiveObjectRecord *Record, VS_UUID *ID)
{
    return Record != NULL && Record->IsQZData && SRV->GetObject(ID) == NULL;
}

// Only data contributions are kept in a record's sums.
void AddTo(TrelkActiveLinks *Links, Contribution C, int Sign)
{
    if (C.Kind == kData) {
        Links->DataSum += Sign * (VS_INT64)C.Value;
        Links->DataSources += Sign;
    }
}

void AddTo(TrelkActiveSums *Sums, Contribution C)
{
    if (C.Kind == kData) {
        Sums->DataSum += (VS_INT64)C.Value;
        Sums->DataSources += 1;
    } else if (C.Kind == kOther) {
        Sums->OtherSum += (VS_ULONG)C.Value;
    }
}

// What the source filed under ID adds now: nothing when its object is gone.
Contribution SourceNow(StructOfQZRealmBaseLocalBuf *LocalBuf, VS_UUID *ID)
{
    if (SRV->GetObject(ID) == NULL)
        return Contribution{kNone, 0};
    return CurrentOf((StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, ID));
}

// What the record adds to its followers now (none without one).
Contribution AppliedOf(StructOfQZRealmBaseActiveObjectRecord *Record)
{
    if (Record == NULL)
        return Contribution{kNone, 0};
    return Record->Links != NULL ? Record->Links->Applied : CurrentOf(Record);
}

TrelkActiveNode *Find(TrelkActiveList &List, const VS_UUID &ID)
{
    if (List.ByID != NULL) {
        auto It = List.ByID->find(ID);
        return It != List.ByID->end() ? It->second : NULL;
    }
    for (TrelkActiveNode *N = List.First; N != NULL; N = N->Next)
        if (memcmp(&N->ID, &ID, sizeof(VS_UUID)) == 0)
            return N;
    return NULL;
}

// Only data are chained (ListAdd): every chain is a datum's.
void ChainIn(TrelkActiveGraph *Graph, TrelkActiveNode *Node)
{
    auto Made = Graph->Followers.emplace(Node->ID, TrelkFollowChain{NULL, Graph, NULL, NULL});
    TrelkFollowChain &Chain = Made.first->second;
    if (Made.second)
        ChainsIn(Node->ID, &Chain);
    Node->FPrev = NULL;
    Node->FNext = Chain.First;
    if (Chain.First != NULL)
        Chain.First->FPrev = Node;
    Chain.First = Node;
}

void ChainOut(TrelkActiveGraph *Graph, TrelkActiveNode *Node)
{
    if (Node->FNext != NULL)
        Node->FNext->FPrev = Node->FPrev;
    if (Node->FPrev != NULL) {
        Node->FPrev->FNext = Node->FNext;
    } else if (Graph != NULL) {
        auto It = Graph->Followers.find(Node->ID);
        if (It != Graph->Followers.end() && It->second.First == Node) {
            if (Node->FNext != NULL) {
                It->second.First = Node->FNext;
            } else {
                ChainsOut(It->first, &It->second);
                Graph->Followers.erase(It);
            }
        }
    }
    Node->FPrev = Node->FNext = NULL;
}

void OthersIn(TrelkActiveLinks *Links, TrelkActiveNode *Node)
{
    Node->FPrev = NULL;
    Node->FNext = Links->Others;
    if (Links->Others != NULL)
        Links->Others->FPrev = Node;
    Links->Others = Node;
}

void OthersOut(TrelkActiveLinks *Links, TrelkActiveNode *Node)
{
    if (Node->FNext != NULL)
        Node->FNext->FPrev = Node->FPrev;
    if (Node->FPrev != NULL)
        Node->FPrev->FNext = Node->FNext;
    else
        Links->Others = Node->FNext;
    Node->FPrev = Node->FNext = NULL;
}

// Takes the node out of its list and frees it; a source leaves its chain.
void Unlink(TrelkActiveGraph *Graph, TrelkActiveLinks *Links, TrelkActiveList &List, TrelkActiveNode *Node,
            VS_BOOL Source)
{
    if (Node->Prev != NULL)
        Node->Prev->Next = Node->Next;
    else
        List.First = Node->Next;
    if (Node->Next != NULL)
        Node->Next->Prev = Node->Prev;
    else
        List.Last = Node->Prev;
    List.Count -= 1;
    if (List.ByID != NULL)
        List.ByID->erase(Node->ID);
    if (Source && Node->Data)
        ChainOut(Graph, Node);
    else if (Source)
        OthersOut(Links, Node);
    Trelk_ContainerFree(Node);
}

// Frees every node of the list; with a graph, data sources leave their
// chains.
void Clear(TrelkActiveGraph *Graph, TrelkActiveLinks *Links, TrelkActiveList &List, VS_BOOL Source)
{
    for (TrelkActiveNode *N = List.First; N != NULL;) {
        TrelkActiveNode *Next = N->Next;
        if (Source && N->Data && Graph != NULL)
            ChainOut(Graph, N);
        Trelk_ContainerFree(N);
        N = Next;
    }
    if (Source)
        Links->Others = NULL;
    List.First = List.Last = NULL;
    List.Count = 0;
    if (List.ByID != NULL) {
        List.ByID->~TrelkIDMap<TrelkActiveNode *>();
        Trelk_ContainerFree(List.ByID);
        List.ByID = NULL;
    }
}

VS_PARAPKGPTR *PkgSlot(StructOfQZRealmBaseActiveObjectRecord *Record, VS_BOOL Sources)
{
    return Sources ? &Record->SourceBuf : &Record->TargetBuf;
}

VS_INT32 PkgFind(VS_PARAPKGPTR Pkg, void *Object)
{
    for (VS_INT32 i = 0; Pkg != NULL && i < Pkg->GetNumber(); i++)
        if (Pkg->GetObject(i) == Object)
            return i;
    return -1;
}

// A new package of the list's objects in order (a freed object is an empty item).
VS_PARAPKGPTR ToPkg(TrelkActiveList &List)
{
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    for (TrelkActiveNode *N = List.First; N != NULL; N = N->Next)
        Pkg->InsertObject(Pkg->GetNumber(), SRV->GetObject(&N->ID));
    return Pkg;
}

} // namespace

TrelkActiveLinks *TrelkActive_Attach(StructOfQZRealmBaseActiveObjectRecord *Record, const VS_UUID *KeyID)
{
    if (Record == NULL)
        return NULL;
    if (Record->Links == NULL) {
        TrelkActiveLinks *Links = (TrelkActiveLinks *)Trelk_ContainerAlloc(sizeof(TrelkActiveLinks));
        memset((void *)Links, 0, sizeof(TrelkActiveLinks));
        Links->ID = *KeyID;
        Links->SumsValid = Record->SourceBuf == NULL;
        Links->Applied = Contribution{kNone, 0};
        Record->Links = Links;
    }
    return Record->Links;
}

void TrelkActive_Refresh(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                         VS_BOOL Gone)
{
    if (Record == NULL || Record->Links == NULL)
        return;
    TrelkActiveLinks *Links = Record->Links;
    Contribution Now = Gone ? Contribution{kNone, 0} : CurrentOf(Record);
    Contribution Was = Links->Applied;
    if (Now.Kind == Was.Kind && Now.Value == Was.Value)
        return;
    // A freed datum's share left its followers when it was freed; its record
    // counts for no one from then on.
    if (FreedData(Record, &Links->ID))
        return;
    Links->Applied = Now;
    // Only data are followed.
    if (!Record->IsQZData)
        return;
    TrelkActiveGraph *Graph = GraphOf(LocalBuf, VS_FALSE);
    if (Graph == NULL)
        return;
    auto It = Graph->Followers.find(Links->ID);
    if (It == Graph->Followers.end())
        return;
    for (TrelkActiveNode *N = It->second.First; N != NULL; N = N->FNext) {
        TrelkActiveLinks *Follower = N->Owner->Links;
        if (!Usable(Follower))
            continue;
        AddTo(Follower, Was, -1);
        AddTo(Follower, Now, +1);
    }
}

void TrelkActive_Sums(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                      VS_INT64 *DataSum, VS_INT64 *DataSources, VS_ULONG *OtherSum)
{
    TrelkActiveLinks *Links = Record->Links;
    TrelkActiveSums Sum = {0, 0, 0};
    if (Record->SourceBuf != NULL || Links == NULL) {
        // A list a script holds: added up from the package as it is now.
        VS_PARAPKGPTR Sources = Record->SourceBuf;
        for (VS_INT32 i = 0; Sources != NULL && i < Sources->GetNumber(); i++) {
            void *Source = Sources->GetObject(i);
            if (Source == NULL)
                continue;
            VS_UUID ID = SRV->GetID(Source);
            AddTo(&Sum, CurrentOf((StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(
                            LocalBuf->ActiveRealmObjectTree, &ID)));
        }
    } else if (Usable(Links)) {
        Sum.DataSum = Links->DataSum;
        Sum.DataSources = Links->DataSources;
        for (TrelkActiveNode *N = Links->Others; N != NULL; N = N->FNext)
            AddTo(&Sum, SourceNow(LocalBuf, &N->ID));
    } else {
        for (TrelkActiveNode *N = Links->Lists[kSources].First; N != NULL; N = N->Next)
            AddTo(&Sum, SourceNow(LocalBuf, &N->ID));
        Links->SumsValid = VS_TRUE;
        Links->DataSum = Sum.DataSum;
        Links->DataSources = Sum.DataSources;
    }
    *DataSum = Sum.DataSum;
    *DataSources = Sum.DataSources;
    *OtherSum = Sum.OtherSum;
}

void TrelkActive_ListAdd(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                         VS_BOOL Sources, void *Object, StructOfQZRealmBaseActiveObjectRecord *ObjectRecord)
{
    if (Record == NULL || Object == NULL)
        return;
    VS_PARAPKGPTR Pkg = *PkgSlot(Record, Sources);
    if (Pkg != NULL) {
        if (PkgFind(Pkg, Object) < 0)
            Pkg->InsertObject(Pkg->GetNumber(), Object);
        return;
    }
    TrelkActiveLinks *Links = Record->Links;
    if (Links == NULL)
        return;
    TrelkActiveList &List = Links->Lists[Sources ? kSources : kTargets];
    VS_UUID ID = ObjectRecord != NULL && ObjectRecord->Links != NULL ? ObjectRecord->Links->ID : SRV->GetID(Object);
    if (Find(List, ID) != NULL)
        return;
    TrelkActiveNode *Node = (TrelkActiveNode *)Trelk_ContainerAlloc(sizeof(TrelkActiveNode));
    Node->ID = ID;
    Node->Owner = Record;
    Node->Next = NULL;
    Node->Prev = List.Last;
    Node->FPrev = Node->FNext = NULL;
    Node->Data = ObjectRecord != NULL ? ObjectRecord->IsQZData : TrelkRealm_IsData(Object);
    if (List.Last != NULL)
        List.Last->Next = Node;
    else
        List.First = Node;
    List.Last = Node;
    List.Count += 1;
    if (List.ByID != NULL) {
        (*List.ByID)[ID] = Node;
    } else if (List.Count >= kIndexFrom) {
        List.ByID = new (Trelk_ContainerAlloc(sizeof(TrelkIDMap<TrelkActiveNode *>))) TrelkIDMap<TrelkActiveNode *>();
        for (TrelkActiveNode *N = List.First; N != NULL; N = N->Next)
            (*List.ByID)[N->ID] = N;
    }
    if (Sources && Node->Data) {
        ChainIn(GraphOf(LocalBuf, VS_TRUE), Node);
        if (Usable(Links))
            AddTo(Links, AppliedOf(ObjectRecord), +1);
    } else if (Sources) {
        OthersIn(Links, Node);
    }
}

void TrelkActive_ListRemove(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                            VS_BOOL Sources, void *Object, StructOfQZRealmBaseActiveObjectRecord *ObjectRecord)
{
    if (Record == NULL || Object == NULL)
        return;
    VS_PARAPKGPTR Pkg = *PkgSlot(Record, Sources);
    if (Pkg != NULL) {
        VS_INT32 i = PkgFind(Pkg, Object);
        if (i >= 0)
            Pkg->Del(i);
        return;
    }
    TrelkActiveLinks *Links = Record->Links;
    if (Links == NULL)
        return;
    TrelkActiveList &List = Links->Lists[Sources ? kSources : kTargets];
    VS_UUID ID = ObjectRecord != NULL && ObjectRecord->Links != NULL ? ObjectRecord->Links->ID : SRV->GetID(Object);
    TrelkActiveNode *Node = Find(List, ID);
    if (Node == NULL)
        return;
    if (Sources && Node->Data && Usable(Links))
        AddTo(Links, AppliedOf(ObjectRecord), -1);
    Unlink(GraphOf(LocalBuf, VS_FALSE), Links, List, Node, Sources);
}

void TrelkActive_ListIDs(StructOfQZRealmBaseActiveObjectRecord *Record, VS_BOOL Sources, VS_BOOL Reversed,
                         TrelkVector<VS_UUID> &Out)
{
    if (Record == NULL)
        return;
    VS_PARAPKGPTR Pkg = *PkgSlot(Record, Sources);
    if (Pkg != NULL) {
        VS_INT32 Count = Pkg->GetNumber();
        for (VS_INT32 k = 0; k < Count; k++) {
            void *Object = Pkg->GetObject(Reversed ? Count - 1 - k : k);
            if (Object != NULL)
                Out.push_back(SRV->GetID(Object));
        }
        return;
    }
    if (Record->Links == NULL)
        return;
    TrelkActiveList &List = Record->Links->Lists[Sources ? kSources : kTargets];
    if (Reversed) {
        for (TrelkActiveNode *N = List.Last; N != NULL; N = N->Prev)
            Out.push_back(N->ID);
    } else {
        for (TrelkActiveNode *N = List.First; N != NULL; N = N->Next)
            Out.push_back(N->ID);
    }
}

VS_PARAPKGPTR TrelkActive_HandOut(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                                  VS_BOOL Sources)
{
    if (Record == NULL)
        return NULL;
    VS_PARAPKGPTR *Slot = PkgSlot(Record, Sources);
    if (*Slot != NULL)
        return *Slot;
    if (Record->Links != NULL) {
        TrelkActiveList &List = Record->Links->Lists[Sources ? kSources : kTargets];
        *Slot = ToPkg(List);
        Clear(GraphOf(LocalBuf, VS_FALSE), Record->Links, List, Sources);
        if (Sources)
            Record->Links->SumsValid = VS_FALSE;
    } else {
        *Slot = Trelk_GetParaPkgInterface(__LINE__);
    }
    return *Slot;
}

VS_PARAPKGPTR TrelkActive_ListCopy(StructOfQZRealmBaseActiveObjectRecord *Record, VS_BOOL Sources)
{
    VS_PARAPKGPTR Pkg = Record != NULL ? *PkgSlot(Record, Sources) : NULL;
    if (Pkg != NULL)
        return Pkg->Dup();
    if (Record != NULL && Record->Links != NULL)
        return ToPkg(Record->Links->Lists[Sources ? kSources : kTargets]);
    return Trelk_GetParaPkgInterface(__LINE__);
}

void TrelkActive_Forget(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record)
{
    if (Record == NULL || Record->Links == NULL)
        return;
    TrelkActiveGraph *Graph = GraphOf(LocalBuf, VS_FALSE);
    Clear(Graph, Record->Links, Record->Links->Lists[kSources], VS_TRUE);
    Clear(Graph, Record->Links, Record->Links->Lists[kTargets], VS_FALSE);
    Trelk_ContainerFree(Record->Links);
    Record->Links = NULL;
}

void TrelkActive_ClearLists(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record)
{
    if (Record == NULL || Record->Links == NULL)
        return;
    TrelkActiveGraph *Graph = GraphOf(LocalBuf, VS_FALSE);
    Clear(Graph, Record->Links, Record->Links->Lists[kSources], VS_TRUE);
    Clear(Graph, Record->Links, Record->Links->Lists[kTargets], VS_FALSE);
    Record->Links->SumsValid = VS_TRUE;
    Record->Links->DataSum = Record->Links->DataSources = 0;
}

void TrelkActive_FreeLinks(StructOfQZRealmBaseActiveObjectRecord *Record)
{
    if (Record == NULL || Record->Links == NULL)
        return;
    Clear(NULL, Record->Links, Record->Links->Lists[kSources], VS_TRUE);
    Clear(NULL, Record->Links, Record->Links->Lists[kTargets], VS_FALSE);
    Trelk_ContainerFree(Record->Links);
    Record->Links = NULL;
}

void TrelkActive_Resync(StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return;
    VS_UUID Key;
    for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->ActiveRealmObjectTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(LocalBuf->ActiveRealmObjectTree, &Key)) {
        auto *Record = (StructOfQZRealmBaseActiveObjectRecord *)Rec;
        TrelkActiveLinks *Links = TrelkActive_Attach(Record, &Key);
        Links->Applied = FreedData(Record, &Key) ? Contribution{kNone, 0} : CurrentOf(Record);
        Links->SumsValid = VS_FALSE;
    }
}

void TrelkActive_ReleaseGraph(StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    TrelkActiveGraph *Graph = GraphOf(LocalBuf, VS_FALSE);
    if (Graph == NULL)
        return;
    // The chains leave the module-wide links; their nodes go with the
    // records, unchained.
    for (auto &Entry : Graph->Followers)
        ChainsOut(Entry.first, &Entry.second);
    Graph->~TrelkActiveGraph();
    Trelk_ContainerFree(Graph);
    LocalBuf->ActiveGraph = NULL;
}

void QZRealmBase_ActiveDataFreed(const VS_UUID *DataID)
{
    if (DataID == NULL || g_DataChains == NULL)
        return;
    auto It = g_DataChains->find(*DataID);
    if (It == g_DataChains->end())
        return;
    VS_UUID ID = *DataID;
    for (TrelkFollowChain *Chain = It->second; Chain != NULL; Chain = Chain->Next) {
        StructOfQZRealmBaseLocalBuf *LocalBuf = Chain->Graph->LocalBuf;
        if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
            continue;
        auto *Record = (StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, &ID);
        // Without a record the datum adds nothing in this realm already.
        if (Record == NULL || Record->Links == NULL)
            continue;
        Contribution Was = Record->Links->Applied;
        Record->Links->Applied = Contribution{kNone, 0};
        if (Was.Kind == kNone)
            continue;
        for (TrelkActiveNode *N = Chain->First; N != NULL; N = N->FNext) {
            TrelkActiveLinks *Follower = N->Owner->Links;
            if (Usable(Follower))
                AddTo(Follower, Was, -1);
        }
    }
}

void TrelkActive_ReleaseModuleState()
{
    if (g_DataChains == NULL)
        return;
    // Graphs still standing now are let go of silently: their chains forget
    // each other.
    for (auto &Entry : *g_DataChains)
        for (TrelkFollowChain *Chain = Entry.second; Chain != NULL;) {
            TrelkFollowChain *Next = Chain->Next;
            Chain->Prev = Chain->Next = NULL;
            Chain = Next;
        }
    g_DataChains->~TrelkIDMap<TrelkFollowChain *>();
    Trelk_ContainerFree(g_DataChains);
    g_DataChains = NULL;
}
