// Active objects of a realm: one record per key object, linked to its
// sources and targets; an object's count follows its sources' counts and a
// change travels along the targets once per update pass.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"

#include <cmath>

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
void *TrelkRealm_ActiveKeyObject(void *Object)
{
    if (Object == NULL || TrelkRealm_IsData(Object))
        return Object;
    if (Trelk_IsInstOf(Object, QZProcBaseClass)) {
        void *Type = QZProcBase_GetProcType_Internal((StructOfQZProcBase *)Object);
        return Type != NULL ? Type : Object;
    }
    return Object;
}

StructOfQZRealmBaseActiveObjectRecord *QZRealmBase_ActiveObject_GetActiveObjectRecord(StructOfQZRealmBase *QZRealm,
                                                                                      void *Object, VS_UUID *KeyID)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    void *Key = TrelkRealm_ActiveKeyObject(Object);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL || Key == NULL)
        return NULL;
    VS_UUID ID = SRV->GetID(Key);
    StructOfQZRealmBaseActiveObjectRecord *Record =
        (StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, &ID);
    if (Record != NULL && KeyID != NULL)
        *KeyID = ID;
    return Record;
}

void TrelkRealm_FreeActiveRecord(StructOfQZRealmBaseActiveObjectRecord *Record)
{
    if (Record == NULL)
        return;
    if (Record->SourceBuf != NULL)
        Record->SourceBuf->Release();
    if (Record->TargetBuf != NULL)
        Record->TargetBuf->Release();
    TrelkActive_FreeLinks(Record);
    SRV->Free(Record);
}

static void Stamp(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseActiveObjectRecord *Record)
{
    Record->ScheduleTickCount = QZRealm->ScheduleTickCount;
    QZRealm->DataSequenceIndex += 1;
    Record->SequenceIndex = QZRealm->DataSequenceIndex;
}

static VS_ULONG NewPass(StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    return ++LocalBuf->ActiveCountUpdateSequence;
}

// A new record for the key object with own count Count; it locks the object.
static StructOfQZRealmBaseActiveObjectRecord *CreateRecord(StructOfQZRealmBase *QZRealm,
                                                           StructOfQZRealmBaseLocalBuf *LocalBuf, void *Key,
                                                           VS_INT32 Count, VS_ULONG Pass)
{
    StructOfQZRealmBaseActiveObjectRecord *Record =
        (StructOfQZRealmBaseActiveObjectRecord *)SRV->Malloc_Nor(sizeof(StructOfQZRealmBaseActiveObjectRecord));
    if (Record == NULL)
        return NULL;
    Record->IsQZData = TrelkRealm_IsData(Key);
    Record->ActiveCount = 0;
    Record->ExtraActiveCount = Count;
    Record->ActiveCountUpdateSequence = Pass;
    Stamp(QZRealm, Record);
    Record->SourceBuf = NULL;
    Record->TargetBuf = NULL;
    Record->Links = NULL;
    VS_UUID ID = SRV->GetID(Key);
    if (!SRV->InsertIDKey(LocalBuf->ActiveRealmObjectTree, &ID, Record)) {
        TrelkRealm_FreeActiveRecord(Record);
        return NULL;
    }
    LocalBuf->ActiveRealmObjectCount += 1;
    QZRealmBase_ActiveFiled_Internal(QZRealm, Record, &ID);
    SRV->LockGC(Key);
    // Records that still list this object (left behind by a removal by age)
    // count it from now on.
    TrelkActive_Attach(Record, &ID);
    TrelkActive_Refresh(LocalBuf, Record, VS_FALSE);
    return Record;
}

static StructOfQZRealmBaseActiveObjectRecord *FindByKey(StructOfQZRealmBaseLocalBuf *LocalBuf, void *Key)
{
    if (Key == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return NULL;
    VS_UUID ID = SRV->GetID(Key);
    return (StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, &ID);
}

// Takes the record out of the index and frees it with its lists; the key
// object's lock is released when the object still exists.
static void RemoveRecord(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseLocalBuf *LocalBuf, VS_UUID *KeyID,
                         StructOfQZRealmBaseActiveObjectRecord *Record)
{
    QZRealmBase_ActiveUnfiled_Internal(QZRealm, Record);
    // Whoever still lists the object stops counting it.
    TrelkActive_Refresh(LocalBuf, Record, VS_TRUE);
    TrelkActive_Forget(LocalBuf, Record);
    if (SRV->DelIDKey(LocalBuf->ActiveRealmObjectTree, KeyID) != NULL && LocalBuf->ActiveRealmObjectCount > 0)
        LocalBuf->ActiveRealmObjectCount -= 1;
    void *Key = SRV->GetObject(KeyID);
    if (Key != NULL)
        SRV->UnLockGC(Key);
    TrelkRealm_FreeActiveRecord(Record);
}

void TrelkRealm_ReleaseActiveIndex(StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return;
    // The followers go first: a datum freed from here on finds none of this
    // realm's records (which go below) to tell.
    TrelkActive_ReleaseGraph(LocalBuf);
    VS_UUID Key;
    for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->ActiveRealmObjectTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(LocalBuf->ActiveRealmObjectTree, &Key)) {
        void *Object = SRV->GetObject(&Key);
        if (Object != NULL)
            SRV->UnLockGC(Object);
        TrelkRealm_FreeActiveRecord((StructOfQZRealmBaseActiveObjectRecord *)Rec);
    }
    SRV->DestoryIndex(LocalBuf->ActiveRealmObjectTree);
    LocalBuf->ActiveRealmObjectTree = NULL;
    LocalBuf->ActiveRealmObjectCount = 0;
}

// ---------------------------------------------------------------------------
// Recount
// ---------------------------------------------------------------------------
static void RecountOne(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseLocalBuf *LocalBuf,
                       StructOfQZRealmBaseActiveObjectRecord *Record, VS_ULONG Pass)
{
    // The mean of the data sources is taken over their exact (signed) sum: a
    // negative count lowers the mean instead of turning it into a huge
    // unsigned quotient. The rest wraps at 32 bits.
    VS_INT64 DataSum = 0, DataSources = 0;
    VS_ULONG OtherSum = 0;
    TrelkActive_Sums(LocalBuf, Record, &DataSum, &DataSources, &OtherSum);
    VS_INT64 Result = (VS_INT64)OtherSum;
    if (DataSources > 0)
        Result += DataSum / DataSources;
    Record->ActiveCount = (VS_INT32)(VS_ULONG)(uint64_t)Result;
    Stamp(QZRealm, Record);
    QZRealmBase_ActiveFiled_Internal(QZRealm, Record, NULL);
    Record->ActiveCountUpdateSequence = Pass;
    TrelkActive_Refresh(LocalBuf, Record, VS_FALSE);
}

// Pushes the record's targets so that the first one is handled first.
static void PushTargets(TrelkVector<VS_UUID> &Stack, StructOfQZRealmBaseActiveObjectRecord *Record)
{
    TrelkActive_ListIDs(Record, VS_FALSE, VS_TRUE, Stack);
}

void QZRealmBase_ActiveData_Internal_UpdateActiveCount(StructOfQZRealmBase *QZRealm,
                                                       StructOfQZRealmBaseLocalBuf *LocalBuf,
                                                       StructOfQZRealmBaseActiveObjectRecord *Record,
                                                       VS_ULONG UpdateSequence, VS_BOOL UpdateRelated)
{
    if (QZRealm == NULL || LocalBuf == NULL || Record == NULL)
        return;
    RecountOne(QZRealm, LocalBuf, Record, UpdateSequence);
    if (!UpdateRelated)
        return;
    // Depth first along the targets, with a stack of our own (IDs in module
    // memory, each found again when it is taken): long chains of targets must
    // not exhaust the thread's stack.
    TrelkVector<VS_UUID> Stack;
    PushTargets(Stack, Record);
    while (!Stack.empty()) {
        VS_UUID ID = Stack.back();
        Stack.pop_back();
        // A target whose object is gone is passed over.
        StructOfQZRealmBaseActiveObjectRecord *TargetRecord =
            SRV->GetObject(&ID) != NULL
                ? (StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, &ID)
                : NULL;
        if (TargetRecord == NULL || TargetRecord->ActiveCountUpdateSequence == UpdateSequence)
            continue;
        RecountOne(QZRealm, LocalBuf, TargetRecord, UpdateSequence);
        PushTargets(Stack, TargetRecord);
    }
}

// ---------------------------------------------------------------------------
// Link steps
// ---------------------------------------------------------------------------
// Links Other to Object: Object's record lists Other in MyList, and Other's
// record lists Object in its OtherList (SourceBuf / TargetBuf swapped for the
// mirror step). A missing record of Other is made with own count 1.
static void LinkStep(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseLocalBuf *LocalBuf, void *Object,
                     StructOfQZRealmBaseActiveObjectRecord *Record, void *Other, VS_ULONG Pass,
                     VS_BOOL ActionIsRemove, VS_BOOL OtherIsSource)
{
    if (Record == NULL || Other == NULL)
        return;
    void *Key = TrelkRealm_ActiveKeyObject(Object);
    void *OtherKey = TrelkRealm_ActiveKeyObject(Other);
    StructOfQZRealmBaseActiveObjectRecord *OtherRecord = FindByKey(LocalBuf, OtherKey);
    if (ActionIsRemove) {
        TrelkActive_ListRemove(LocalBuf, Record, OtherIsSource, OtherKey, OtherRecord);
        if (OtherRecord != NULL)
            TrelkActive_ListRemove(LocalBuf, OtherRecord, !OtherIsSource, Key, Record);
        return;
    }
    if (OtherRecord == NULL) {
        OtherRecord = CreateRecord(QZRealm, LocalBuf, OtherKey, 1, Pass);
        if (OtherRecord == NULL)
            return;
    }
    TrelkActive_ListAdd(LocalBuf, Record, OtherIsSource, OtherKey, OtherRecord);
    TrelkActive_ListAdd(LocalBuf, OtherRecord, !OtherIsSource, Key, Record);
}

void QZRealmBase_ActiveData_Internal_UpdateTargetOfSource(StructOfQZRealmBase *QZRealm,
                                                          StructOfQZRealmBaseLocalBuf *LocalBuf, void *Object,
                                                          StructOfQZRealmBaseActiveObjectRecord *Record,
                                                          void *SourceObject, VS_ULONG UpdateSequence,
                                                          VS_BOOL ActionIsRemove)
{
    LinkStep(QZRealm, LocalBuf, Object, Record, SourceObject, UpdateSequence, ActionIsRemove, VS_TRUE);
}

void QZRealmBase_ActiveData_Internal_UpdateSourceOfTarget(StructOfQZRealmBase *QZRealm,
                                                          StructOfQZRealmBaseLocalBuf *LocalBuf, void *Object,
                                                          StructOfQZRealmBaseActiveObjectRecord *Record,
                                                          void *TargetObject, VS_ULONG UpdateSequence,
                                                          VS_BOOL ActionIsRemove)
{
    LinkStep(QZRealm, LocalBuf, Object, Record, TargetObject, UpdateSequence, ActionIsRemove, VS_FALSE);
}

// ---------------------------------------------------------------------------
// Activation and deactivation
// ---------------------------------------------------------------------------
static void LinkSourceList(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseLocalBuf *LocalBuf, void *Object,
                           StructOfQZRealmBaseActiveObjectRecord *Record, VS_PARAPKGPTR SourceList, VS_ULONG Pass)
{
    for (VS_INT32 i = 0; SourceList != NULL && i < SourceList->GetNumber(); i++) {
        void *Source = SourceList->GetObject(i);
        if (Source != NULL)
            QZRealmBase_ActiveData_Internal_UpdateTargetOfSource(QZRealm, LocalBuf, Object, Record, Source, Pass,
                                                                 VS_FALSE);
    }
}

void QZRealmBase_ActiveData_Internal(StructOfQZRealmBase *QZRealm, void *Object, VS_PARAPKGPTR SourceList,
                                     VS_INT32 IncreaseCount)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL || Object == NULL)
        return;
    VS_ULONG Pass = NewPass(LocalBuf);
    if (IncreaseCount < 0) {
        Trelk_Raise(Object, "'s add active data failed, the active count must be greater than 0");
        return;
    }
    void *Key = TrelkRealm_ActiveKeyObject(Object);
    StructOfQZRealmBaseActiveObjectRecord *Record = FindByKey(LocalBuf, Key);
    VS_BOOL Existed = Record != NULL;
    if (!Existed) {
        Record = CreateRecord(QZRealm, LocalBuf, Key, IncreaseCount, Pass);
        if (Record == NULL)
            return;
    }
    LinkSourceList(QZRealm, LocalBuf, Key, Record, SourceList, Pass);
    if (TrelkRealm_IsData(Object)) {
        StructOfQZDataBase *Data = (StructOfQZDataBase *)Object;
        VS_PARAPKGPTR Sources = QZDataBase_GetSourceData_Internal(Data);
        for (VS_INT32 i = 0; Sources != NULL && i < Sources->GetNumber(); i++) {
            void *Source = Sources->GetObject(i);
            if (Source == NULL || !QZDataBase_IsDataObject(Source))
                continue;
            void *Accepted = ((StructOfQZDataBase *)Source)->AcceptProc;
            if (Accepted != NULL) {
                VS_UUID TypeID;
                for (void *V = SRV->QueryFirstIDKey(Accepted, &TypeID); V != NULL;
                     V = SRV->QueryNextIDKey(Accepted, &TypeID)) {
                    void *ProcType = SRV->GetObject(&TypeID);
                    if (ProcType == NULL)
                        continue;
                    QZRealmBase_ActiveData_Internal(QZRealm, ProcType, NULL, 0);
                    StructOfQZRealmBaseActiveObjectRecord *TypeRecord = FindByKey(LocalBuf, ProcType);
                    if (TypeRecord != NULL)
                        QZRealmBase_ActiveData_Internal_UpdateTargetOfSource(QZRealm, LocalBuf, ProcType,
                                                                             TypeRecord, Source, Pass, VS_FALSE);
                }
            }
            QZRealmBase_ActiveData_Internal_UpdateTargetOfSource(QZRealm, LocalBuf, Object, Record, Source, Pass,
                                                                 VS_FALSE);
        }
        if (!Trelk_IsZeroID(&Data->OwnerProcID)) {
            void *Owner = SRV->GetObject(&Data->OwnerProcID);
            if (Owner != NULL)
                QZRealmBase_ActiveData_Internal_UpdateTargetOfSource(QZRealm, LocalBuf, Object, Record, Owner, Pass,
                                                                     VS_FALSE);
        }
    }
    if (Existed) {
        // Counts wrap at 32 bits rather than overflow.
        Record->ExtraActiveCount = (VS_INT32)((VS_ULONG)Record->ExtraActiveCount + (VS_ULONG)IncreaseCount);
        Record->ActiveCountUpdateSequence = Pass;
        TrelkActive_Refresh(LocalBuf, Record, VS_FALSE);
    }
    QZRealmBase_ActiveData_Internal_UpdateActiveCount(QZRealm, LocalBuf, Record, Pass, VS_TRUE);
}

// Takes the record out of the graph and the index: every source forgets it
// as a target and every target forgets it as a source.
static void UnlinkAndRemove(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseLocalBuf *LocalBuf, VS_UUID *KeyID,
                            StructOfQZRealmBaseActiveObjectRecord *Record)
{
    void *Key = SRV->GetObject(KeyID);
    // The record is freed below: it keeps no lists meanwhile (a record that
    // links to itself finds none to edit).
    TrelkVector<VS_UUID> Sources, Targets;
    TrelkActive_ListIDs(Record, VS_TRUE, VS_FALSE, Sources);
    TrelkActive_ListIDs(Record, VS_FALSE, VS_FALSE, Targets);
    TrelkActive_ClearLists(LocalBuf, Record);
    if (Record->SourceBuf != NULL)
        Record->SourceBuf->Release();
    if (Record->TargetBuf != NULL)
        Record->TargetBuf->Release();
    Record->SourceBuf = NULL;
    Record->TargetBuf = NULL;
    if (Key != NULL) {
        for (VS_UUID &ID : Sources) {
            auto *Other = (StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, &ID);
            if (Other != NULL && Other != Record)
                TrelkActive_ListRemove(LocalBuf, Other, VS_FALSE, Key, Record);
        }
        for (VS_UUID &ID : Targets) {
            auto *Other = (StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, &ID);
            if (Other != NULL && Other != Record)
                TrelkActive_ListRemove(LocalBuf, Other, VS_TRUE, Key, Record);
        }
    }
    RemoveRecord(QZRealm, LocalBuf, KeyID, Record);
}

// Deactivation with 0 of the record under KeyID: the targets stop counting
// it, then it leaves the graph and the index.
static void RemoveWithRecount(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseLocalBuf *LocalBuf, VS_UUID *KeyID,
                              StructOfQZRealmBaseActiveObjectRecord *Record, VS_ULONG Pass)
{
    // It leaves the stamp order now: the recount below stamps it once more.
    QZRealmBase_ActiveUnfiled_Internal(QZRealm, Record);
    // A record whose object is gone is dropped all the same: kept, it would
    // hold its lists and index entry for the realm's whole life.
    if (SRV->GetObject(KeyID) != NULL) {
        Record->ExtraActiveCount = 0;
        Record->ActiveCountUpdateSequence = Pass;
        TrelkActive_Refresh(LocalBuf, Record, VS_FALSE);
        QZRealmBase_ActiveData_Internal_UpdateActiveCount(QZRealm, LocalBuf, Record, Pass, VS_TRUE);
    }
    UnlinkAndRemove(QZRealm, LocalBuf, KeyID, Record);
}

void QZRealmBase_DeactiveData_Internal(StructOfQZRealmBase *QZRealm, void *Object, VS_INT32 DeCreaseCount)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return;
    VS_ULONG Pass = NewPass(LocalBuf);
    VS_UUID KeyID;
    StructOfQZRealmBaseActiveObjectRecord *Record =
        QZRealmBase_ActiveObject_GetActiveObjectRecord(QZRealm, Object, &KeyID);
    if (Record == NULL)
        return;
    if (DeCreaseCount >= 1) {
        Record->ActiveCountUpdateSequence = Pass;
        VS_INT64 Left = (VS_INT64)Record->ExtraActiveCount - DeCreaseCount;
        Record->ExtraActiveCount = Left < 0 ? 1 : (VS_INT32)Left;
        TrelkActive_Refresh(LocalBuf, Record, VS_FALSE);
        QZRealmBase_ActiveData_Internal_UpdateActiveCount(QZRealm, LocalBuf, Record, Pass, VS_TRUE);
        return;
    }
    RemoveWithRecount(QZRealm, LocalBuf, &KeyID, Record, Pass);
}

void QZRealmBase_DeactiveDataByID_Internal(StructOfQZRealmBase *QZRealm, VS_UUID *KeyID)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL || KeyID == NULL)
        return;
    VS_ULONG Pass = NewPass(LocalBuf);
    StructOfQZRealmBaseActiveObjectRecord *Record =
        (StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, KeyID);
    if (Record != NULL)
        RemoveWithRecount(QZRealm, LocalBuf, KeyID, Record, Pass);
}

void QZRealmBase_DeactiveAll_Internal(StructOfQZRealmBase *QZRealm, VS_INT64 BeforeScheduleCount)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return;
    // IDs first, so the index does not change under its own walk.
    VS_PARAPKGPTR IDs = Trelk_GetParaPkgInterface(__LINE__);
    VS_UUID Key;
    for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->ActiveRealmObjectTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(LocalBuf->ActiveRealmObjectTree, &Key)) {
        StructOfQZRealmBaseActiveObjectRecord *Record = (StructOfQZRealmBaseActiveObjectRecord *)Rec;
        if (BeforeScheduleCount == 0 || Record->ScheduleTickCount < BeforeScheduleCount)
            IDs->InsertStr(IDs->GetNumber(), SRV->UuidToString(&Key));
    }
    for (VS_INT32 i = 0; i < IDs->GetNumber(); i++) {
        if (!SRV->StringToUuid(IDs->GetStr(i), &Key))
            continue;
        StructOfQZRealmBaseActiveObjectRecord *Record =
            (StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(LocalBuf->ActiveRealmObjectTree, &Key);
        if (Record != NULL)
            RemoveRecord(QZRealm, LocalBuf, &Key, Record);
    }
    IDs->Release();
}

// ---------------------------------------------------------------------------
// Ordered listings
// ---------------------------------------------------------------------------
// The order key: weight, then tick, then sequence number. The weight's sign
// bit is flipped so that negative weights rank below zero, as numbers do.
static StructOfUUIDForOrder OrderKey(VS_INT32 Weight, StructOfQZRealmBaseActiveObjectRecord *Record)
{
    StructOfUUIDForOrder Key;
    uint64_t Tick = (uint64_t)Record->ScheduleTickCount;
    Key.Value1 = ((uint64_t)((VS_ULONG)Weight ^ 0x80000000u) << 32) | (Tick >> 32);
    Key.Value2 = ((Tick & 0xFFFFFFFFu) << 32) | (uint64_t)Record->SequenceIndex;
    return Key;
}

static void OrderInsert(void *Ordered, VS_INT32 Weight, StructOfQZRealmBaseActiveObjectRecord *Record, void *Object)
{
    StructOfUUIDForOrder Key = OrderKey(Weight, Record);
    SRV->InsertIDKeyEx(Ordered, (VS_UUID *)&Key, (VS_UWORD)(uintptr_t)Object, Object);
}

static VS_BOOL PassesFilter(void *WhichClass, void *Object)
{
    return WhichClass == NULL || Object == WhichClass || Trelk_IsInstOf(Object, WhichClass);
}

// Walks the ordered index heaviest first; with Weights, each entry is an
// [object, weight] pair, else the object itself.
static VS_PARAPKGPTR OrderedResult(void *Ordered, VS_INT32 MaxCount, VS_BOOL Weights)
{
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    VS_UUID Key;
    VS_UWORD Extra;
    for (void *V = SRV->QueryFirstIDKeyExA(Ordered, &Key, &Extra); V != NULL;
         V = SRV->QueryNextIDKeyExA(Ordered, &Key, &Extra)) {
        if (MaxCount > 0 && Result->GetNumber() >= MaxCount)
            break;
        if (Weights) {
            StructOfUUIDForOrder Order;
            memcpy(&Order, &Key, sizeof(Order));
            VS_PARAPKGPTR Pair = Trelk_GetParaPkgInterface(__LINE__);
            Pair->InsertObject(0, V);
            Pair->InsertInt(1, (VS_INT32)((VS_ULONG)(Order.Value1 >> 32) ^ 0x80000000u));
            Result->InsertParaPackage(Result->GetNumber(), Pair);
            Pair->Release();
        } else {
            Result->InsertObject(Result->GetNumber(), V);
        }
    }
    SRV->DestoryIndex(Ordered);
    return Result;
}

// ---------------------------------------------------------------------------
// Luafuncs
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_ActiveObject(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    void *Object = Trelk_ObjectArg(3);
    if (Self == NULL || Object == NULL)
        return 0;
    VS_INT32 Count = SRV->LuaToInt(2);
    if (Count < 1)
        Count = 1;
    VS_INT32 Top = SRV->LuaGetTop();
    VS_PARAPKGPTR Sources = NULL;
    if (Top > 3) {
        Sources = Trelk_GetParaPkgInterface(__LINE__);
        for (VS_INT32 i = 4; i <= Top; i++) {
            void *Source = Trelk_ObjectArg(i);
            if (Source != NULL)
                Sources->InsertObject(Sources->GetNumber(), Source);
        }
    }
    QZRealmBase_ActiveData_Internal(Self, Object, Sources, Count);
    if (Sources != NULL)
        Sources->Release();
    return 0;
}

VS_INT32 QZRealmBase_DeactiveObject(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    void *Object = Trelk_ObjectArg(2);
    if (Self == NULL || Object == NULL)
        return 0;
    VS_INT32 Count = SRV->LuaToInt(3);
    QZRealmBase_DeactiveData_Internal(Self, Object, Count < 1 ? 0 : Count);
    return 0;
}

static void LinkCall(VS_BOOL ToSource, VS_BOOL Remove)
{
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Self);
    void *Object = Trelk_ObjectArg(2);
    void *Other = Trelk_ObjectArg(3);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL || Object == NULL || Other == NULL)
        return;
    VS_ULONG Pass = NewPass(LocalBuf);
    void *Key = TrelkRealm_ActiveKeyObject(Object);
    StructOfQZRealmBaseActiveObjectRecord *Record = FindByKey(LocalBuf, Key);
    if (Record == NULL) {
        if (Remove)
            return;
        Record = CreateRecord(Self, LocalBuf, Key, 1, Pass);
        if (Record == NULL)
            return;
    }
    if (ToSource)
        QZRealmBase_ActiveData_Internal_UpdateTargetOfSource(Self, LocalBuf, Key, Record, Other, Pass, Remove);
    else
        QZRealmBase_ActiveData_Internal_UpdateSourceOfTarget(Self, LocalBuf, Key, Record, Other, Pass, Remove);
}

VS_INT32 QZRealmBase_LinkSourceObject(void *L)
{
    (void)L;
    LinkCall(VS_TRUE, VS_FALSE);
    return 0;
}

VS_INT32 QZRealmBase_LinkTargetObject(void *L)
{
    (void)L;
    LinkCall(VS_FALSE, VS_FALSE);
    return 0;
}

VS_INT32 QZRealmBase_UnLinkSourceObject(void *L)
{
    (void)L;
    LinkCall(VS_TRUE, VS_TRUE);
    return 0;
}

VS_INT32 QZRealmBase_UnLinkTargetObject(void *L)
{
    (void)L;
    LinkCall(VS_FALSE, VS_TRUE);
    return 0;
}

static VS_INT32 PushList(VS_BOOL Sources)
{
    StructOfQZRealmBaseActiveObjectRecord *Record =
        QZRealmBase_ActiveObject_GetActiveObjectRecord(TrelkRealm_SelfArg(), Trelk_ObjectArg(2), NULL);
    // The record's own list, which the script may edit.
    VS_PARAPKGPTR List = Record != NULL ? TrelkActive_HandOut(
                                              QZRealmBase_GetLocalBuf_Internal(TrelkRealm_SelfArg()), Record, Sources)
                                        : NULL;
    if (List != NULL)
        SRV->LuaPushParaPkg(List, VS_FALSE);
    else
        SRV->LuaPushParaPkg(Trelk_GetParaPkgInterface(__LINE__), VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetSourceObject(void *L)
{
    (void)L;
    return PushList(VS_TRUE);
}

VS_INT32 QZRealmBase_GetTargetObject(void *L)
{
    (void)L;
    return PushList(VS_FALSE);
}

VS_INT32 QZRealmBase_GetActiveCount(void *L)
{
    (void)L;
    StructOfQZRealmBaseActiveObjectRecord *Record =
        QZRealmBase_ActiveObject_GetActiveObjectRecord(TrelkRealm_SelfArg(), Trelk_ObjectArg(2), NULL);
    SRV->LuaPushInt(Record != NULL ? (VS_INT32)((VS_ULONG)Record->ActiveCount + (VS_ULONG)Record->ExtraActiveCount)
                                   : 0);
    return 1;
}

VS_INT32 QZRealmBase_GetExtraActiveCount(void *L)
{
    (void)L;
    StructOfQZRealmBaseActiveObjectRecord *Record =
        QZRealmBase_ActiveObject_GetActiveObjectRecord(TrelkRealm_SelfArg(), Trelk_ObjectArg(2), NULL);
    SRV->LuaPushInt(Record != NULL ? Record->ExtraActiveCount : 0);
    return 1;
}

VS_INT32 QZRealmBase_SetExtraActiveCount(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Self);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return 0;
    NewPass(LocalBuf);
    VS_UUID KeyID;
    StructOfQZRealmBaseActiveObjectRecord *Record =
        QZRealmBase_ActiveObject_GetActiveObjectRecord(Self, Trelk_ObjectArg(2), &KeyID);
    if (Record == NULL)
        return 0;
    VS_INT32 Count = SRV->LuaToInt(3);
    if (Count >= 1) {
        Record->ExtraActiveCount = Count;
        TrelkActive_Refresh(LocalBuf, Record, VS_FALSE);
    } else
        UnlinkAndRemove(Self, LocalBuf, &KeyID, Record);
    return 0;
}

VS_INT32 QZRealmBase_UpdateActiveCount(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Self);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return 0;
    VS_ULONG Pass = NewPass(LocalBuf);
    void *Object = Trelk_ObjectArg(2);
    if (Object != NULL) {
        StructOfQZRealmBaseActiveObjectRecord *Record =
            QZRealmBase_ActiveObject_GetActiveObjectRecord(Self, Object, NULL);
        if (Record != NULL)
            QZRealmBase_ActiveData_Internal_UpdateActiveCount(Self, LocalBuf, Record, Pass, VS_TRUE);
        return 0;
    }
    VS_UUID Key;
    for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->ActiveRealmObjectTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(LocalBuf->ActiveRealmObjectTree, &Key))
        QZRealmBase_ActiveData_Internal_UpdateActiveCount(Self, LocalBuf, (StructOfQZRealmBaseActiveObjectRecord *)Rec,
                                                          Pass, VS_FALSE);
    return 0;
}

VS_INT32 QZRealmBase_GetActiveCountEx(void *L)
{
    (void)L;
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(TrelkRealm_SelfArg());
    VS_PARAPKGPTR List = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL || List == NULL || List->GetNumber() == 0) {
        SRV->LuaPushParaPkg(Trelk_GetParaPkgInterface(__LINE__), VS_TRUE);
        return 1;
    }
    TrelkHashSet<void *> Wanted;
    for (VS_INT32 i = 0; i < List->GetNumber(); i++) {
        void *Object = Trelk_FromRawObject(List->GetObject(i));
        if (Object != NULL)
            Wanted.insert(Object);
    }
    void *Ordered = SRV->CreateIDIndexEx_Nor(0);
    VS_UUID Key;
    for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->ActiveRealmObjectTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(LocalBuf->ActiveRealmObjectTree, &Key)) {
        void *Object = SRV->GetObject(&Key);
        if (Object == NULL || Wanted.count(Object) == 0)
            continue;
        StructOfQZRealmBaseActiveObjectRecord *Record = (StructOfQZRealmBaseActiveObjectRecord *)Rec;
        OrderInsert(Ordered, (VS_INT32)((VS_ULONG)Record->ActiveCount + (VS_ULONG)Record->ExtraActiveCount), Record,
                    Object);
    }
    SRV->LuaPushParaPkg(OrderedResult(Ordered, 0, VS_TRUE), VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetActiveObject(void *L)
{
    (void)L;
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(TrelkRealm_SelfArg());
    void *WhichClass = Trelk_ObjectArg(2);
    VS_DOUBLE Degrade = SRV->LuaToNumber(3);
    VS_INT32 MaxCount = SRV->LuaToInt(4);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL) {
        SRV->LuaPushParaPkg(Trelk_GetParaPkgInterface(__LINE__), VS_TRUE);
        return 1;
    }
    if (!(Degrade <= 1.0))
        Degrade = 1.0;
    if (Degrade < 0.1)
        Degrade = 0.1;
    VS_INT64 MinTick = 0, MaxTick = 0;
    VS_UUID Key;
    if (std::fabs(Degrade - 1.0) >= 2.220446049250313e-16) {
        VS_BOOL First = VS_TRUE;
        for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->ActiveRealmObjectTree, &Key); Rec != NULL;
             Rec = SRV->QueryNextIDKey(LocalBuf->ActiveRealmObjectTree, &Key)) {
            VS_INT64 Tick = ((StructOfQZRealmBaseActiveObjectRecord *)Rec)->ScheduleTickCount;
            if (First || Tick < MinTick)
                MinTick = Tick;
            if (First || Tick > MaxTick)
                MaxTick = Tick;
            First = VS_FALSE;
        }
    }
    void *Ordered = SRV->CreateIDIndexEx_Nor(0);
    for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->ActiveRealmObjectTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(LocalBuf->ActiveRealmObjectTree, &Key)) {
        void *Object = SRV->GetObject(&Key);
        if (Object == NULL || !PassesFilter(WhichClass, Object))
            continue;
        StructOfQZRealmBaseActiveObjectRecord *Record = (StructOfQZRealmBaseActiveObjectRecord *)Rec;
        VS_INT32 Count = (VS_INT32)((VS_ULONG)Record->ActiveCount + (VS_ULONG)Record->ExtraActiveCount);
        VS_INT32 Weight = Count;
        if (MaxTick != MinTick && Record->ScheduleTickCount != MaxTick) {
            VS_DOUBLE Scaled = std::ceil(((VS_DOUBLE)(Record->ScheduleTickCount - MinTick) * Degrade /
                                          (VS_DOUBLE)(MaxTick - MinTick)) *
                                         (VS_DOUBLE)Count);
            Weight = (VS_INT32)(VS_ULONG)(uint64_t)(VS_INT64)Scaled;
        }
        OrderInsert(Ordered, Weight, Record, Object);
    }
    SRV->LuaPushParaPkg(OrderedResult(Ordered, MaxCount, VS_FALSE), VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetActiveObjectEx(void *L)
{
    (void)L;
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(TrelkRealm_SelfArg());
    void *WhichClass = Trelk_ObjectArg(2);
    VS_INT64 Before = SRV->LuaToInt64(3);
    VS_INT32 MaxCount = SRV->LuaToInt(4);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL) {
        SRV->LuaPushParaPkg(Trelk_GetParaPkgInterface(__LINE__), VS_TRUE);
        return 1;
    }
    void *Ordered = SRV->CreateIDIndexEx_Nor(0);
    VS_UUID Key;
    for (void *Rec = SRV->QueryFirstIDKey(LocalBuf->ActiveRealmObjectTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(LocalBuf->ActiveRealmObjectTree, &Key)) {
        StructOfQZRealmBaseActiveObjectRecord *Record = (StructOfQZRealmBaseActiveObjectRecord *)Rec;
        void *Object = SRV->GetObject(&Key);
        if (Object == NULL || !PassesFilter(WhichClass, Object))
            continue;
        if (Before != 0 && Record->ScheduleTickCount >= Before)
            continue;
        OrderInsert(Ordered, 0, Record, Object);
    }
    SRV->LuaPushParaPkg(OrderedResult(Ordered, MaxCount, VS_FALSE), VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_DeactiveAll(void *L)
{
    (void)L;
    QZRealmBase_DeactiveAll_Internal(TrelkRealm_SelfArg(), SRV->LuaToInt64(2));
    return 0;
}
