// The result cache of a data object: results kept per proc type (every
// instance of one type shares an entry) or per proc chain.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

// The cache key of a proc (its proc type, so that every instance of one type
// shares the entry) or of a proc chain (the chain itself).
static VS_UUID CacheKeyOf(void *ProcOrChain)
{
    void *KeyObject = ProcOrChain;
    if (Trelk_IsInstOf(ProcOrChain, QZProcBaseClass)) {
        void *Type = QZProcBase_GetProcType_Internal((StructOfQZProcBase *)ProcOrChain);
        if (Type != NULL) KeyObject = Type;
    }
    return SRV->GetID(KeyObject);
}

// A cache entry keeps the object's ID next to it: script code may free a
// cached object while it is listed (its GC lock goes with it), and the ID is
// what tells a live entry from one whose pointer is stale.
struct StructOfQZDataCacheEntry {
    VS_UUID ObjectID;
    void *Object;
};

static void *NewCacheEntry(void *Object)
{
    auto *Entry = (StructOfQZDataCacheEntry *)SRV->Malloc_Nor(sizeof(StructOfQZDataCacheEntry));
    if (Entry == NULL) return NULL;
    Entry->ObjectID = *SRV->GetIDEx(Object);
    Entry->Object = Object;
    return Entry;
}

// The entry's object while it is alive, else NULL.
static void *CacheEntryObject(void *Entry)
{
    if (Entry == NULL) return NULL;
    auto *E = (StructOfQZDataCacheEntry *)Entry;
    void *Live = SRV->GetObject(&E->ObjectID);
    return Live == E->Object ? Live : NULL;
}

// Frees an entry taken out of the index and lets go of its lock.
static void DropCacheEntry(void *Entry)
{
    if (Entry == NULL) return;
    void *Object = CacheEntryObject(Entry);
    if (Object != NULL) SRV->UnLockGC(Object);
    SRV->Free(Entry);
}

void TrelkData_ReleaseCacheIndex(void **Index)
{
    if (*Index == NULL) return;
    VS_UUID Key;
    for (void *Entry = SRV->QueryFirstIDKey(*Index, &Key); Entry != NULL; Entry = SRV->QueryNextIDKey(*Index, &Key))
        DropCacheEntry(Entry);
    SRV->DestoryIndex(*Index);
    *Index = NULL;
}

VS_INT32 QZDataBase_SetCache(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) return Trelk_PushBool(VS_FALSE);
    void *Proc = Trelk_ObjectArg(2);
    if (!TrelkData_IsProcOrChain(Proc))
        return Trelk_FailFalse(Self, "'s SetCache failed, this first parameter must be a proc, cell, procchain");
    if (Self->IsType)
        return Trelk_FailFalse(Self, "'s SetCache failed, this object is data type");
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Self);
    if (Holder == NULL)
        return Trelk_FailFalse(Self, "'s SetCache failed, this data object has no buf");
    VS_UUID Key = CacheKeyOf(Proc);

    if (SRV->LuaGetTop() >= 3 && SRV->LuaType(3) != VSLUATYPE_NIL) {
        void *Value = Trelk_ObjectArg(3);
        if (!TrelkData_IsDataInstance(Value))
            return Trelk_FailFalse(Self, "'s SetCache failed, this second parameter must be null or data object");
        if (Holder->CacheDataIndex == NULL) {
            Holder->CacheDataIndex = SRV->CreateIDIndex_Nor(0);
            MemoryDebug_InsertObjectRecord(Holder->CacheDataIndex, __LINE__);
            if (Holder->CacheDataIndex == NULL) return Trelk_PushBool(VS_FALSE);
        }
        void *Entry = NewCacheEntry(Value);
        if (Entry == NULL) return Trelk_PushBool(VS_FALSE);
        // The new entry's lock is taken first, so that replacing an entry
        // by itself never leaves it unlocked even for a moment.
        SRV->LockGC(Value);
        DropCacheEntry(SRV->DelIDKey(Holder->CacheDataIndex, &Key));
        if (!SRV->InsertIDKey(Holder->CacheDataIndex, &Key, Entry)) {
            SRV->UnLockGC(Value);
            SRV->Free(Entry);
            return Trelk_PushBool(VS_FALSE);
        }
        return Trelk_PushBool(VS_TRUE);
    }
    if (Holder->CacheDataIndex != NULL) DropCacheEntry(SRV->DelIDKey(Holder->CacheDataIndex, &Key));
    return Trelk_PushBool(VS_TRUE);
}

VS_INT32 QZDataBase_GetCache(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *Proc = Trelk_ObjectArg(2);
    if (Self == NULL || Proc == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    if (!TrelkData_IsProcOrChain(Proc))
        return Trelk_Fail(Self, "'s GetCache failed, this first parameter must be a proc, cell, procchain");
    if (Self->IsType)
        return Trelk_Fail(Self, "'s GetCache failed, this object is data type");
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Self);
    if (Holder == NULL)
        return Trelk_Fail(Self, "'s GetCache failed, this data object has no buf");
    if (Holder->CacheDataIndex == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    VS_UUID Key = CacheKeyOf(Proc);
    void *Entry = SRV->DelIDKey(Holder->CacheDataIndex, &Key);
    SRV->LuaPushObject(CacheEntryObject(Entry));
    // The entry is handed out once: the cache lets go of its lock, and the
    // script's reference alone keeps the object from now on.
    DropCacheEntry(Entry);
    return 1;
}

VS_INT32 QZDataBase_ClearCache(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) return 0;
    TrelkData_ReleaseCacheIndex(&Self->CacheDataIndex);
    return 0;
}

