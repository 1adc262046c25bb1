// Synchronising one realm from another, and the form of the realm's object
// cache entries (a host buffer holding the cached object's ID, one GC lock
// per entry) that synchronisation and the realm's free rely on.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"

// ---------------------------------------------------------------------------
// Object cache entries
// ---------------------------------------------------------------------------
VS_BOOL TrelkRealm_CacheInsert(StructOfQZRealmBaseLocalBuf *LocalBuf, const VS_CHAR *Key, void *Object)
{
    if (LocalBuf == NULL || Key == NULL || Object == NULL || strlen(Key) >= TRELK_REALM_CACHEKEY_SIZE)
        return VS_FALSE;
    if (LocalBuf->CachedObjectIndexTree == NULL)
        LocalBuf->CachedObjectIndexTree = SRV->CreateStringIndex_Nor(TRELK_REALM_CACHEKEY_SIZE);
    if (LocalBuf->CachedObjectIndexTree == NULL || SRV->FindStringKey(LocalBuf->CachedObjectIndexTree, Key) != NULL)
        return VS_FALSE;
    VS_UUID *Entry = (VS_UUID *)SRV->Malloc_Nor(sizeof(VS_UUID));
    if (Entry == NULL)
        return VS_FALSE;
    *Entry = SRV->GetID(Object);
    if (!SRV->InsertStringKey(LocalBuf->CachedObjectIndexTree, Key, Entry)) {
        SRV->Free(Entry);
        return VS_FALSE;
    }
    SRV->LockGC(Object);
    return VS_TRUE;
}

void TrelkRealm_CacheClearAll(StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    if (LocalBuf == NULL || LocalBuf->CachedObjectIndexTree == NULL)
        return;
    const VS_CHAR *Key;
    for (void *V = SRV->QueryFirstStringKey(LocalBuf->CachedObjectIndexTree, &Key); V != NULL;
         V = SRV->QueryNextStringKey(LocalBuf->CachedObjectIndexTree, &Key)) {
        void *Object = SRV->GetObject((VS_UUID *)V);
        if (Object != NULL)
            SRV->UnLockGC(Object);
        SRV->Free(V);
    }
    SRV->DelAllKey(LocalBuf->CachedObjectIndexTree);
}

void TrelkRealm_CacheRelease(StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    if (LocalBuf == NULL || LocalBuf->CachedObjectIndexTree == NULL)
        return;
    TrelkRealm_CacheClearAll(LocalBuf);
    SRV->DestoryIndex(LocalBuf->CachedObjectIndexTree);
    LocalBuf->CachedObjectIndexTree = NULL;
}

// ---------------------------------------------------------------------------
// Synchronisation
// ---------------------------------------------------------------------------
static void ShareHistory(VS_PARAPKGPTR *Mine, VS_PARAPKGPTR Theirs)
{
    if (Theirs == NULL || *Mine == Theirs)
        return;
    Theirs->AddRef();
    if (*Mine != NULL)
        (*Mine)->Release();
    *Mine = Theirs;
}

// Copies the source's records. A key object the realm already has a record
// for keeps that one record, which takes over the source's values; two
// records under one key would leave one of them and its lock behind.
static void CopyActiveRecords(StructOfQZRealmBaseLocalBuf *Mine, StructOfQZRealmBaseLocalBuf *Theirs)
{
    if (Mine->ActiveRealmObjectTree == NULL || Theirs->ActiveRealmObjectTree == NULL)
        return;
    VS_UUID Key;
    for (void *Rec = SRV->QueryFirstIDKey(Theirs->ActiveRealmObjectTree, &Key); Rec != NULL;
         Rec = SRV->QueryNextIDKey(Theirs->ActiveRealmObjectTree, &Key)) {
        StructOfQZRealmBaseActiveObjectRecord *From = (StructOfQZRealmBaseActiveObjectRecord *)Rec;
        void *Object = SRV->GetObject(&Key);
        if (Object == NULL)
            continue;
        StructOfQZRealmBaseActiveObjectRecord *To =
            (StructOfQZRealmBaseActiveObjectRecord *)SRV->FindIDKey(Mine->ActiveRealmObjectTree, &Key);
        VS_BOOL Existed = To != NULL;
        if (!Existed) {
            To = (StructOfQZRealmBaseActiveObjectRecord *)SRV->Malloc_Nor(sizeof(StructOfQZRealmBaseActiveObjectRecord));
            if (To == NULL)
                continue;
            To->Links = NULL;
        } else {
            TrelkActive_Forget(Mine, To);
            if (To->SourceBuf != NULL)
                To->SourceBuf->Release();
            if (To->TargetBuf != NULL)
                To->TargetBuf->Release();
        }
        To->IsQZData = From->IsQZData;
        To->ActiveCount = From->ActiveCount;
        To->ExtraActiveCount = From->ExtraActiveCount;
        To->ActiveCountUpdateSequence = From->ActiveCountUpdateSequence;
        To->ScheduleTickCount = From->ScheduleTickCount;
        To->SequenceIndex = From->SequenceIndex;
        To->SourceBuf = TrelkActive_ListCopy(From, VS_TRUE);
        To->TargetBuf = TrelkActive_ListCopy(From, VS_FALSE);
        if (Existed)
            continue;
        if (!SRV->InsertIDKey(Mine->ActiveRealmObjectTree, &Key, To)) {
            TrelkRealm_FreeActiveRecord(To);
            continue;
        }
        Mine->ActiveRealmObjectCount += 1;
        SRV->LockGC(Object);
    }
    TrelkActive_Resync(Mine);
}

static void CopyCache(StructOfQZRealmBaseLocalBuf *Mine, StructOfQZRealmBaseLocalBuf *Theirs)
{
    TrelkRealm_CacheClearAll(Mine);
    if (Theirs->CachedObjectIndexTree == NULL)
        return;
    const VS_CHAR *Key;
    for (void *V = SRV->QueryFirstStringKey(Theirs->CachedObjectIndexTree, &Key); V != NULL;
         V = SRV->QueryNextStringKey(Theirs->CachedObjectIndexTree, &Key)) {
        void *Object = SRV->GetObject((VS_UUID *)V);
        if (Object != NULL)
            TrelkRealm_CacheInsert(Mine, Key, Object);
    }
}

VS_BOOL QZRealmBase_SyncFrom_Internal(StructOfQZRealmBase *QZRealm, StructOfQZRealmBase *SourceRealm,
                                      VS_BOOL SyncActiveObject)
{
    if (QZRealm == NULL || SourceRealm == NULL || SourceRealm == QZRealm || !TrelkRealm_IsRealm(SourceRealm) ||
        !TrelkRealm_IsRealm(QZRealm))
        return VS_FALSE;
    StructOfQZRealmBaseLocalBuf *Mine = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    StructOfQZRealmBaseLocalBuf *Theirs = QZRealmBase_GetLocalBuf_Internal(SourceRealm);
    if (Mine == NULL || Theirs == NULL)
        return VS_FALSE;
    QZRealm->ScheduleTickCount = SourceRealm->ScheduleTickCount;
    QZRealm->ActiveLength = SourceRealm->ActiveLength;
    QZRealm->DataSequenceIndex = SourceRealm->DataSequenceIndex;
    QZRealm->InitialLiveCount = SourceRealm->InitialLiveCount;
    QZRealm->MaxUnAllocatedData = SourceRealm->MaxUnAllocatedData;
    QZRealm->MaxSourceDataLength = SourceRealm->MaxSourceDataLength;
    QZRealm->MaxLoopCount = SourceRealm->MaxLoopCount;
    QZRealm->HistoryLength = SourceRealm->HistoryLength;
    QZRealm->MaxSuspendTickCount = SourceRealm->MaxSuspendTickCount;
    // One fact history held by two realms is new to each of them.
    QZRealmBase_EnvHistoryShown_Internal(QZRealm);
    QZRealmBase_EnvHistoryShown_Internal(SourceRealm);
    ShareHistory(&Mine->FactFramePackage, Theirs->FactFramePackage);
    ShareHistory(&Mine->PredictFramePackage, Theirs->PredictFramePackage);
    if (SyncActiveObject) {
        CopyActiveRecords(Mine, Theirs);
        // Records taken over keep the source's stamps.
        QZRealmBase_ActiveOrderStale_Internal(QZRealm);
    }
    CopyCache(Mine, Theirs);
    return VS_TRUE;
}

VS_INT32 QZRealmBase_SyncFrom(void *L)
{
    (void)L;
    void *Source = SRV->LuaToObject(2);
    SRV->LuaPushBool(QZRealmBase_SyncFrom_Internal(TrelkRealm_SelfArg(), (StructOfQZRealmBase *)Source,
                                                   SRV->LuaToBool(3)));
    return 1;
}
