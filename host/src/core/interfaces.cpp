// The host's interfaces as the module sees them: entry, basic, control and
// service. Each operation validates its object arguments first and, except
// for locks, plain memory and texts, checks that the caller holds the host lock.
#include "core_state.h"

#include <cstdlib>

namespace tvh {

static const char kServiceName[] = "TarvexService";
static const VS_UUID kServiceID = {0x3C9E51A0, 0x6B2D, 0x4F17, {0x8A, 0x05, 0x2E, 0x61, 0xD4, 0x7B, 0x90, 0x3F}};

static inline void H() { checkHostLock(); }
static inline void *rec(HostObject *o) { return o ? o->record : nullptr; }

static bool hasIsTypeSet(const HostObject *o) {
    const AttrDef *a = findAttr(o, "IsType");
    return a && a->kind == AttrKind::Bool && static_cast<const VS_BOOL *>(o->record)[a->offset] != 0;
}

static const uint64_t kQueryMagic = 0x51554552594E5354ull;

// The interfaces live as long as the host; their counts only tell whether a
// module balanced its references, and never drop below zero.
static VS_ULONG dropRef(std::atomic<VS_ULONG> &refs) {
    VS_ULONG r = refs.load();
    while (r > 0 && !refs.compare_exchange_weak(r, r - 1)) {
    }
    return r > 0 ? r - 1 : 0;
}

static void reportV(VS_INT32 Level, const VS_CHAR *Source, VS_INT32 Line, const VS_CHAR *Format, va_list ap) {
    std::string text = vformat(Format, ap);
    recordError(Level, Source, Line, text.c_str());
}

class ServiceImpl final : public ClassOfXRQInterfaceHost {
  public:
    std::atomic<VS_ULONG> refs{0};

    VS_ULONG AddRef() override { return ++refs; }
    VS_ULONG Release() override { return dropRef(refs); }
    void ProcessError(VS_INT32 Level, const VS_CHAR *Source, VS_INT32 Line, const VS_CHAR *Format, ...) override {
        va_list ap;
        va_start(ap, Format);
        reportV(Level, Source, Line, Format, ap);
        va_end(ap);
    }

    // ---- classes, atomic handles, function slots ----
    ClassOfXRQSXMLInterface *GetSXMLInterface() override {
        H();
        return newSXmlDoc();
    }
    VS_BOOL CreateSysRootItem(const VS_CHAR *Name, const VS_CHAR *, VS_UUID *ID, VS_UUID *) override {
        H();
        if (!core().running || !Name || !*Name) return VS_FALSE;
        if (GetSysRootItem(Name)) return VS_TRUE; // an existing name is kept
        return createRootItem(Name, ID) ? VS_TRUE : VS_FALSE;
    }
    void *GetSysRootItem(const VS_CHAR *Name) override {
        H();
        return rec(findRootItem(Name));
    }
    void *XmlToObjectEx(ClassOfXRQSXMLInterface *SXml, void *RootItem, VS_UUID *ClassID, VS_SYSEVENTPTR Handler,
                        VS_UWORD) override {
        H();
        if (!core().running) return nullptr;
        HostObject *root = nullptr;
        if (RootItem) {
            root = lookup(RootItem);
            if (!root || root->state != LifeState::Live) {
                reportException("XmlToObjectEx: the root item is not a live object");
                return nullptr;
            }
        }
        SXmlDoc *doc = asSXmlDoc(SXml);
        if (!doc && SXml) {
            reportException("XmlToObjectEx: unknown template reader");
            return nullptr;
        }
        return rec(createClassFromXml(doc, root, ClassID, Handler));
    }
    void *GetAtomicObjectEx(void *Parent, const VS_CHAR *Name) override {
        void *o = GetObjectEx(Parent, Name);
        return o ? ObjectToAtomic(o) : nullptr;
    }
    void *GetAtomicFunctionByName(void *Atomic, const VS_CHAR *Name) override {
        H();
        return slotFor(Atomic, Name, nullptr, nullptr);
    }
    VS_BOOL SetAtomicFunction(void *Slot, VS_LUAFUNCPTR Fn) override {
        H();
        FuncSlot *s = lookupSlot(Slot);
        if (!s) return VS_FALSE;
        s->fn = Fn;
        bumpResolveGen(); // calls by name skip unbound slots
        return VS_TRUE;
    }
    void *CreateAtomicLuaFunction(void *Atomic, const VS_CHAR *Name, VS_UUID *FunctionID,
                                  const VS_CHAR *Desc) override {
        H();
        return slotFor(Atomic, Name, FunctionID, Desc);
    }
    void *CreateAtomicAttribute(void *Atomic, const VS_CHAR *Name, VS_UINT8 Type, ...) override {
        H();
        if (Type != VS_ATTRIBUTETYPE_UUID) return nullptr;
        HostObject *o = lookupAtomicOrObject(Atomic);
        if (!o || o->state != LifeState::Live) return nullptr;
        return createAtomicUuidAttribute(o, Name);
    }
    VS_BOOL SetSysEvent(void *AtomicOrObject, VS_SYSEVENTPTR Handler) override {
        H();
        HostObject *o = lookupAtomicOrObject(AtomicOrObject);
        if (!o || o->isClass) return VS_FALSE; // class objects keep their template handler
        if (Handler || o->rare) {
            if (o->more().sysEvent != Handler) bumpHandlerGen();
            o->rare->sysEvent = Handler;
        }
        return VS_TRUE;
    }
    VS_BOOL GetAttributeInfoEx(void *ClassObject, const VS_CHAR *Name, VS_ATTRIBUTEINFO *Info) override {
        H();
        const AttrDef *a = findAttr(lookup(ClassObject), Name);
        if (!a || !Info) return VS_FALSE;
        Info->AttributeIndex = a->index;
        Info->IsQueue = a->kind == AttrKind::Queue ? VS_TRUE : VS_FALSE;
        Info->Offset = a->offset;
        Info->Size = a->size;
        return VS_TRUE;
    }
    OBJECTATTRIBUTEINDEX GetAttributeIndex(void *ClassObject, const VS_CHAR *Name) override {
        H();
        const AttrDef *a = findAttr(lookup(ClassObject), Name);
        return a ? a->index : VS_INVALID_ATTRIBUTEINDEX;
    }

    // ---- objects ----
    void *MallocObjectL(VS_UUID *ClassOrObjectID, VS_ULONG ExtraSize, VS_PARAPKGPTR InitPara) override {
        H();
        return mallocObject(ClassOrObjectID, nullptr, ExtraSize, InitPara);
    }
    void *MallocObjectLEx(VS_UUID *ClassOrObjectID, VS_UUID *ObjectID, VS_ULONG ExtraSize,
                          VS_PARAPKGPTR InitPara) override {
        H();
        return mallocObject(ClassOrObjectID, ObjectID, ExtraSize, InitPara);
    }
    VS_PARAPKGPTR GetInitPara(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o ? o->initPara() : nullptr;
    }
    VS_ULONG GetSysEventID(void *EventPara) override {
        if (!EventPara || !isActiveEventPara(EventPara)) return 0;
        return static_cast<StructOfVSSysEventPara *>(EventPara)->EventID;
    }
    void FreeObject(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        // A loaded module keeps its classes until its Term2 frees them: a
        // free at any other time (a script's _Free) would leave the module
        // holding a freed class.
        if (o && o->isClass && core().moduleStarted && !core().inModuleEntry) {
            recordError(1, "tarvex", 0,
                        ("FreeObject refused: [" + o->name.str() + "] is a class object, freed with its module").c_str());
            return;
        }
        freeObject(o);
    }

    VS_UUID *GetIDEx(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o ? &o->id : nullptr;
    }
    VS_UUID GetID(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o ? o->id : VS_UUID{};
    }
    void *GetObject(VS_UUID *ObjectID) override {
        H();
        return rec(findById(ObjectID));
    }
    void *GetObjectEx(void *Parent, const VS_CHAR *Name) override {
        H();
        HostObject *p = nullptr;
        if (Parent && !(p = lookup(Parent))) return nullptr;
        return rec(findByName(p, Name));
    }
    const VS_CHAR *GetName(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o ? o->name.c_str() : "";
    }
    void SetName(void *Object, const VS_CHAR *Name) override {
        H();
        if (HostObject *o = lookup(Object)) setObjectName(o, Name);
    }
    void *GetClass(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o ? rec(o->cls) : nullptr;
    }
    void *GetParent(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o ? rec(o->parent) : nullptr;
    }
    OBJECTATTRIBUTEINDEX GetIndex(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o ? o->queueIndex : VS_INVALID_ATTRIBUTEINDEX;
    }
    VS_BOOL IsInst(VS_UUID *ClassID, void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return isInstOf(findById(ClassID), o) ? VS_TRUE : VS_FALSE;
    }
    VS_BOOL IsDirectInst(VS_UUID *ClassID, void *Object) override {
        H();
        HostObject *o = lookup(Object);
        if (!o || !o->cls || !ClassID) return VS_FALSE;
        return std::memcmp(&o->cls->id, ClassID, sizeof(VS_UUID)) == 0 ? VS_TRUE : VS_FALSE;
    }
    VS_INT32 InstNumber(VS_UUID *ClassID) override {
        H();
        HostObject *cls = findById(ClassID);
        if (!cls) return 0;
        VS_INT32 n = 0;
        for (HostObject *x : core().bySeq.walk()) {
            if (x->state == LifeState::Live && isInstOf(cls, x) && !hasIsTypeSet(x)) ++n;
        }
        return n;
    }
    void *QueryFirstInst(VS_QUERYRECORD *Query, void *ClassObject) override {
        H();
        if (!Query) return nullptr;
        QueryInstClose(Query);
        HostObject *cls = lookup(ClassObject);
        if (!cls) return nullptr;
        auto *snap = new std::vector<uint64_t>();
        for (HostObject *x : core().bySeq.walk())
            if (x->state == LifeState::Live && isInstOf(cls, x)) snap->push_back(x->seq);
        core().snapshots.insert(snap);
        Query->Reserved[0] = reinterpret_cast<VS_UWORD>(snap);
        Query->Reserved[1] = 0;
        Query->Reserved[2] = kQueryMagic;
        return QueryNextInst(Query, ClassObject);
    }
    void *QueryNextInst(VS_QUERYRECORD *Query, void *) override {
        H();
        std::vector<uint64_t> *snap = snapshotOf(Query);
        if (!snap) return nullptr;
        Core &c = core();
        while (Query->Reserved[1] < snap->size()) {
            uint64_t seq = (*snap)[Query->Reserved[1]++];
            HostObject *x = c.bySeq.find(seq);
            if (x && x->state == LifeState::Live) return x->record;
        }
        return nullptr;
    }
    void QueryInstClose(VS_QUERYRECORD *Query) override {
        H();
        std::vector<uint64_t> *snap = snapshotOf(Query);
        if (snap) {
            core().snapshots.erase(snap);
            delete snap;
        }
        if (Query) Query->Reserved[0] = Query->Reserved[1] = Query->Reserved[2] = 0;
    }

    // ---- attributes ----
    void SetVString(VS_VSTRING *Field, const VS_CHAR *Text) override {
        H();
        if (!Field) return;
        Core &c = core();
        // Empty texts (most objects' defaults) share one host buffer.
        char *copy = Text && *Text ? strdup(Text) : emptyVString();
        if (!copy) return;
        auto it = c.vstrings.find(Field->Buf);
        if (it != c.vstrings.end()) {
            std::free(*it);
            c.vstrings.erase(it);
        }
        if (copy != emptyVString()) c.vstrings.insert(copy);
        Field->Buf = copy;
    }
    VS_BOOL RegBeforeChangeCallBack(void *Object, VS_BEFORECHANGECALLBACK Cb, VS_UWORD Para, VS_UWORD) override {
        H();
        HostObject *o = lookup(Object);
        if (!o || !Cb) return VS_FALSE;
        for (auto &e : o->beforeChange)
            if (e.first == Cb && e.second == Para) return VS_TRUE;
        o->beforeChange.emplace_back(Cb, Para);
        return VS_TRUE;
    }
    void UnRegBeforeChangeCallBack(void *Object, VS_BEFORECHANGECALLBACK Cb, VS_UWORD Para) override {
        H();
        HostObject *o = lookup(Object);
        if (!o || o->beforeChange.empty()) return;
        auto &v = o->beforeChange.get();
        for (auto it = v.begin(); it != v.end(); ++it)
            if (it->first == Cb && it->second == Para) {
                v.erase(it);
                return;
            }
    }

    // ---- atomic handles ----
    void *ObjectToAtomic(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o ? atomicOf(o) : nullptr;
    }
    void *AtomicToObject(void *Atomic) override {
        H();
        HostObject *o = lookupAtomic(Atomic);
        return o ? o->record : nullptr;
    }

    // ---- child queues ----
    VS_BOOL ChangeParent(void *Object, void *Parent, OBJECTATTRIBUTEINDEX Index) override {
        H();
        HostObject *o = lookup(Object);
        if (!o) return VS_FALSE;
        HostObject *p = nullptr;
        if (Parent && !(p = lookup(Parent))) return VS_FALSE;
        return changeParent(o, p, Index) ? VS_TRUE : VS_FALSE;
    }
    void *QueryFirst(void *QueueHeadField) override {
        H();
        OBJECTATTRIBUTEINDEX idx = VS_INVALID_ATTRIBUTEINDEX;
        HostObject *o = queueOwnerOfField(QueueHeadField, &idx);
        if (!o) return nullptr;
        if (!o->rare) return nullptr;
        auto it = o->rare->queues.find(idx);
        return it == o->rare->queues.end() ? nullptr : rec(it->second.head);
    }
    void *QueryNext(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o ? rec(o->nextSibling) : nullptr;
    }

    // ---- lifetime ----
    void LockGC(void *Object) override {
        H();
        if (HostObject *o = lookup(Object)) ++o->lockCount;
    }
    void UnLockGC(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        if (!o) return;
        if (o->lockCount <= 0) {
            counters().UnlockAtZero++;
            return;
        }
        if (--o->lockCount == 0) {
            o->ownerHeld = false;
            markCandidate(o); // looked at by the next collection point
        }
    }
    void ReleaseOwnerEx(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        if (!o || !o->ownerHeld) return;
        o->ownerHeld = false;
        if (o->lockCount > 0 && --o->lockCount == 0) markCandidate(o);
    }
    void AddRefEx(void *Object) override { LockGC(Object); }
    VS_INT32 GetRefEx(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        if (core().opts.zeroRefCounts) return 0;
        return holdCount(o);
    }

    // ---- private buffers and memory ----
    VS_ULONG GetLayer(void *Object) override {
        H();
        const ClassLayout *L = layoutOf(lookup(Object));
        return L ? L->layer : 0;
    }
    void *MallocPrivateBuf(void *Object, VS_ULONG Layer, VS_ULONG Index, VS_ULONG Size) override {
        H();
        HostObject *o = lookup(Object);
        if (!o || o->state == LifeState::Freed || Size > (1u << 30)) return nullptr;
        VS_ULONG have = 0;
        if (void *p = o->privGet(Layer, Index, &have)) {
            if (Size > have) {
                void *q = std::realloc(p, Size);
                if (!q) return nullptr;
                std::memset(static_cast<char *>(q) + have, 0, Size - have);
                o->privSet(Layer, Index, q, Size); // filed already: cannot fail
                p = q;
            }
            return p;
        }
        void *p = std::calloc(1, Size ? Size : 1);
        if (!p) return nullptr;
        if (!o->privSet(Layer, Index, p, Size)) {
            std::free(p);
            return nullptr;
        }
        return p;
    }
    void *GetPrivateBuf(void *Object, VS_ULONG Layer, VS_ULONG Index, VS_ULONG *Size) override {
        H();
        if (Size) *Size = 0;
        HostObject *o = lookup(Object);
        if (!o) return nullptr;
        VS_ULONG have = 0;
        void *p = o->privGet(Layer, Index, &have);
        if (p && Size) *Size = have;
        return p;
    }
    void FreePrivate(void *Object, VS_ULONG Layer, VS_ULONG Index) override {
        H();
        HostObject *o = lookup(Object);
        if (!o) return;
        std::free(o->privTake(Layer, Index));
    }
    void *Malloc_Nor(VS_ULONG Size) override { return std::calloc(1, Size ? Size : 1); }
    void Free(void *Ptr) override { std::free(Ptr); }
    void *CreateMemory_Nor(VS_INT32 ItemSize) override {
        H();
        if (ItemSize <= 0) return nullptr;
        auto *p = new MemPool();
        p->itemSize = ItemSize;
        core().pools.insert(p);
        return p;
    }
    void *GetMemoryPtr_Nor(void *Pool) override {
        H();
        MemPool *p = pool(Pool);
        if (!p) return nullptr;
        void *item = std::calloc(1, size_t(p->itemSize));
        if (item) p->items.push_back(item);
        return item;
    }
    void ClearMemory(void *Pool) override {
        H();
        MemPool *p = pool(Pool);
        if (!p) return;
        for (void *i : p->items) std::free(i);
        p->items.clear();
    }
    void DestoryMemory(void *Pool) override {
        H();
        MemPool *p = pool(Pool);
        if (!p) return;
        for (void *i : p->items) std::free(i);
        core().pools.erase(p);
        delete p;
    }

    // ---- indexes ----
    void DestoryIndex(void *Index) override { H(), idx::destroy(Index); }
    void DelAllKey(void *Index) override { H(), idx::delAll(Index); }
    VS_ULONG GetKeyNumber(void *Index) override { return H(), idx::count(Index); }
    void *CreateIDIndex_Nor(VS_INT32) override { return H(), idx::createID(); }
    VS_BOOL InsertIDKey(void *Index, VS_UUID *Key, void *Value) override {
        return H(), idx::insertID(Index, Key, Value);
    }
    void *FindIDKey(void *Index, VS_UUID *Key) override { return H(), idx::findID(Index, Key); }
    void *DelIDKey(void *Index, VS_UUID *Key) override { return H(), idx::delID(Index, Key); }
    void *QueryFirstIDKey(void *Index, VS_UUID *KeyOut) override { return H(), idx::firstID(Index, KeyOut); }
    void *QueryNextIDKey(void *Index, VS_UUID *KeyOut) override { return H(), idx::nextID(Index, KeyOut); }
    void *CreateIndex_Nor(VS_INT32 KeyNumber, VS_INT32) override { return H(), idx::createInt(KeyNumber); }
    VS_BOOL InsertOneKey(void *Index, VS_UWORD Key, void *Value) override {
        return H(), idx::insertInt(Index, 1, &Key, Value);
    }
    void *FindOneKey(void *Index, VS_UWORD Key) override { return H(), idx::findInt(Index, 1, &Key); }
    void *DelOneKey(void *Index, VS_UWORD Key) override { return H(), idx::delInt(Index, 1, &Key); }
    void *QueryFirstOneKey(void *Index, VS_UWORD *KeyOut) override { return firstKeys(Index, 1, KeyOut); }
    void *QueryNextOneKey(void *Index, VS_UWORD *KeyOut) override { return nextKeys(Index, 1, KeyOut); }
    VS_BOOL InsertTwoKey(void *Index, VS_UWORD K1, VS_UWORD K2, void *Value) override {
        VS_UWORD k[2] = {K1, K2};
        return H(), idx::insertInt(Index, 2, k, Value);
    }
    void *FindTwoKey(void *Index, VS_UWORD K1, VS_UWORD K2) override {
        VS_UWORD k[2] = {K1, K2};
        return H(), idx::findInt(Index, 2, k);
    }
    void *DelTwoKey(void *Index, VS_UWORD K1, VS_UWORD K2) override {
        VS_UWORD k[2] = {K1, K2};
        return H(), idx::delInt(Index, 2, k);
    }
    void *QueryFirstTwoKey(void *Index, VS_UWORD *K1, VS_UWORD *K2) override {
        VS_UWORD k[2] = {0, 0};
        void *v = firstKeys(Index, 2, k);
        out2(k, K1, K2);
        return v;
    }
    void *QueryNextTwoKey(void *Index, VS_UWORD *K1, VS_UWORD *K2) override {
        VS_UWORD k[2] = {0, 0};
        void *v = nextKeys(Index, 2, k);
        out2(k, K1, K2);
        return v;
    }
    VS_BOOL InsertThreeKey(void *Index, VS_UWORD K1, VS_UWORD K2, VS_UWORD K3, void *Value) override {
        VS_UWORD k[3] = {K1, K2, K3};
        return H(), idx::insertInt(Index, 3, k, Value);
    }
    void *FindThreeKey(void *Index, VS_UWORD K1, VS_UWORD K2, VS_UWORD K3) override {
        VS_UWORD k[3] = {K1, K2, K3};
        return H(), idx::findInt(Index, 3, k);
    }
    void *DelThreeKey(void *Index, VS_UWORD K1, VS_UWORD K2, VS_UWORD K3) override {
        VS_UWORD k[3] = {K1, K2, K3};
        return H(), idx::delInt(Index, 3, k);
    }
    void *QueryFirstThreeKey(void *Index, VS_UWORD *K1, VS_UWORD *K2, VS_UWORD *K3) override {
        VS_UWORD k[3] = {0, 0, 0};
        void *v = firstKeys(Index, 3, k);
        out3(k, K1, K2, K3);
        return v;
    }
    void *QueryNextThreeKey(void *Index, VS_UWORD *K1, VS_UWORD *K2, VS_UWORD *K3) override {
        VS_UWORD k[3] = {0, 0, 0};
        void *v = nextKeys(Index, 3, k);
        out3(k, K1, K2, K3);
        return v;
    }
    void *CreateIDIndexEx_Nor(VS_INT32) override { return H(), idx::createIDEx(); }
    VS_BOOL InsertIDKeyEx(void *Index, VS_UUID *Key, VS_UWORD ExtraKey, void *Value) override {
        return H(), idx::insertIDEx(Index, Key, ExtraKey, Value);
    }
    void *FindIDKeyEx(void *Index, VS_UUID *Key, VS_UWORD ExtraKey) override {
        return H(), idx::findIDEx(Index, Key, ExtraKey);
    }
    void *DelIDKeyEx(void *Index, VS_UUID *Key, VS_UWORD ExtraKey) override {
        return H(), idx::delIDEx(Index, Key, ExtraKey);
    }
    void *QueryFirstIDKeyExA(void *Index, VS_UUID *KeyOut, VS_UWORD *ExtraKeyOut) override {
        return H(), idx::firstIDEx(Index, KeyOut, ExtraKeyOut);
    }
    void *QueryNextIDKeyExA(void *Index, VS_UUID *KeyOut, VS_UWORD *ExtraKeyOut) override {
        return H(), idx::nextIDEx(Index, KeyOut, ExtraKeyOut);
    }
    void *CreateStringIndex_Nor(VS_INT32 MaxKeyLength) override { return H(), idx::createString(MaxKeyLength); }
    VS_BOOL InsertStringKey(void *Index, const VS_CHAR *Key, void *Value) override {
        return H(), idx::insertString(Index, Key, Value);
    }
    void *FindStringKey(void *Index, const VS_CHAR *Key) override { return H(), idx::findString(Index, Key); }
    void *DelStringKey(void *Index, const VS_CHAR *Key) override { return H(), idx::delString(Index, Key); }
    void *QueryFirstStringKey(void *Index, const VS_CHAR **KeyOut) override {
        return H(), idx::firstString(Index, KeyOut);
    }
    void *QueryNextStringKey(void *Index, const VS_CHAR **KeyOut) override {
        return H(), idx::nextString(Index, KeyOut);
    }

    // ---- packages and binary buffers ----
    VS_PARAPKGPTR GetParaPkgInterface() override { return H(), newParaPkg(); }
    ClassOfXRQBinBufInterface *GetXRQBinBufInterface() override { return H(), newBinBuf(); }

    // ---- script stack: the engine's, when one is installed ----
    VS_INT32 LuaGetTop() override { return withEngine([](ScriptEngine *e) { return e->LuaGetTop(); }, 0); }
    VS_INT32 LuaType(VS_INT32 i) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaType(i); }, VS_INT32(VSLUATYPE_NIL));
    }
    void LuaPop(VS_INT32 n) override { withEngineV([=](ScriptEngine *e) { e->LuaPop(n); }); }
    void LuaInsert(VS_INT32 i) override { withEngineV([=](ScriptEngine *e) { e->LuaInsert(i); }); }
    void *LuaToObject(VS_INT32 i) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaToObject(i); }, (void *)nullptr);
    }
    VS_INT32 LuaToInt(VS_INT32 i) override { return withEngine([=](ScriptEngine *e) { return e->LuaToInt(i); }, 0); }
    VS_INT64 LuaToInt64(VS_INT32 i) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaToInt64(i); }, VS_INT64(0));
    }
    VS_DOUBLE LuaToNumber(VS_INT32 i) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaToNumber(i); }, 0.0);
    }
    VS_BOOL LuaToBool(VS_INT32 i) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaToBool(i); }, VS_FALSE);
    }
    const VS_CHAR *LuaToString(VS_INT32 i) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaToString(i); }, (const VS_CHAR *)nullptr);
    }
    const VS_CHAR *LuaToLString(VS_INT32 i, VS_INT32 *Length) override {
        if (Length) *Length = 0;
        return withEngine([=](ScriptEngine *e) { return e->LuaToLString(i, Length); }, (const VS_CHAR *)nullptr);
    }
    VS_PARAPKGPTR LuaToParaPkg(VS_INT32 i) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaToParaPkg(i); }, VS_PARAPKGPTR(nullptr));
    }
    ClassOfXRQBinBufInterface *LuaToBinBuf(VS_INT32 i) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaToBinBuf(i); },
                          (ClassOfXRQBinBufInterface *)nullptr);
    }
    VS_UWORD LuaToUWord(VS_INT32 i) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaToUWord(i); }, VS_UWORD(0));
    }
    VS_INT32 LuaUpValueIndex(VS_INT32 n) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaUpValueIndex(n); }, 0);
    }
    void LuaPushInt(VS_INT32 v) override { withEngineV([=](ScriptEngine *e) { e->LuaPushInt(v); }); }
    void LuaPushInt64(VS_INT64 v) override { withEngineV([=](ScriptEngine *e) { e->LuaPushInt64(v); }); }
    void LuaPushNumber(VS_DOUBLE v) override { withEngineV([=](ScriptEngine *e) { e->LuaPushNumber(v); }); }
    void LuaPushBool(VS_BOOL v) override { withEngineV([=](ScriptEngine *e) { e->LuaPushBool(v); }); }
    void LuaPushString(const VS_CHAR *v) override { withEngineV([=](ScriptEngine *e) { e->LuaPushString(v); }); }
    void LuaPushLString(const VS_CHAR *v, VS_INT32 n) override {
        withEngineV([=](ScriptEngine *e) { e->LuaPushLString(v, n); });
    }
    void LuaPushNil() override { withEngineV([](ScriptEngine *e) { e->LuaPushNil(); }); }
    void LuaPushObject(void *o) override { withEngineV([=](ScriptEngine *e) { e->LuaPushObject(o); }); }
    void LuaPushParaPkg(VS_PARAPKGPTR p, VS_BOOL Owned) override {
        H();
        if (ScriptEngine *e = scriptEngine()) {
            e->LuaPushParaPkg(p, Owned);
        } else if (p && Owned && isParaPkg(p)) {
            p->Release(); // nobody takes over the reference
        }
    }
    void LuaPushBinBuf(ClassOfXRQBinBufInterface *b, VS_BOOL Owned) override {
        H();
        if (ScriptEngine *e = scriptEngine()) {
            e->LuaPushBinBuf(b, Owned);
        } else if (b && Owned && isBinBuf(b)) {
            b->Release();
        }
    }

    // ---- script calls ----
    VS_BOOL ExecNameScript(void *Object, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes) override {
        H(); // the engine checks the script lock where a script runs
        OpScope scope; // descriptors freed by the script stay readable until we return
        CallByNameScope call; // collection points inside it free nothing
        ScriptEngine *e = scriptEngine();
        return e ? e->ExecNameScript(Object, Name, nArgs, nRes) : VS_FALSE;
    }
    VS_UWORD ScriptCall(void *Object, VS_BOOL *Ok, const VS_CHAR *Name, const VS_CHAR *TypeText, ...) override {
        H();
        if (Ok) *Ok = VS_FALSE;
        ScriptEngine *e = scriptEngine();
        if (!e) return 0;
        OpScope scope;
        CallByNameScope call;
        va_list ap;
        va_start(ap, TypeText);
        VS_UWORD r = e->ScriptCallV(Object, Ok, Name, TypeText, ap);
        va_end(ap);
        return r;
    }
    void *LuaIsFunctionDefined(void *Object, const VS_CHAR *Name, VS_BOOL SearchClassChain) override {
        return withEngine([=](ScriptEngine *e) { return e->LuaIsFunctionDefined(Object, Name, SearchClassChain); },
                          (void *)nullptr);
    }
    VS_INT32 GetLastError() override { return withEngine([](ScriptEngine *e) { return e->GetLastError(); }, 0); }
    const VS_CHAR *GetLastErrorInfo(VS_ULONG *LineIndex, const VS_CHAR **SourceName) override {
        return withEngine([=](ScriptEngine *e) { return e->GetLastErrorInfo(LineIndex, SourceName); },
                          (const VS_CHAR *)nullptr);
    }
    VS_BOOL RegLuaFunc(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn, VS_UWORD Para) override {
        H();
        HostObject *o = lookup(Object);
        if (!o || !Name || !*Name || !Fn) return VS_FALSE;
        // The first entry of an object that nothing is made from changes the
        // answers for that object alone: its cached answers are keyed by an
        // owner further up, which goes on answering for the objects that
        // share it, and its proxies' memos see that it has entries now. So a
        // type given its functions as it is made (one per level of a chain of
        // types) leaves the answers cached for the levels above it standing.
        if (o->isClass || o->firstInst() || o->scriptRef > 0 || !o->slots.empty() || !o->regFuncs.empty())
            bumpResolveGen();
        for (RegFunc &r : o->regFuncs)
            if (r.name == Name) {
                r.fn = Fn;
                r.para = Para;
                r.valid = true;
                return VS_TRUE;
            }
        RegFunc r;
        r.name = Name;
        r.fn = Fn;
        r.para = Para;
        o->regFuncs.push_back(r);
        return VS_TRUE;
    }
    VS_BOOL InValidRegLuaFunc(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn) override {
        return setRegValid(Object, Name, Fn, false);
    }
    VS_BOOL ValidRegLuaFunc(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn) override {
        return setRegValid(Object, Name, Fn, true);
    }
    VS_BOOL RegLuaGetValueFunc(void *Object, VS_LUAGETVALUEFUNC Get, VS_UWORD Para) override {
        H();
        HostObject *o = lookup(Object);
        if (!o) return VS_FALSE;
        // No new generation: cached answers and memos never come from a hook,
        // and a read asks an object's hook before using them.
        o->getHook = Get;
        o->getHookPara = Para;
        return VS_TRUE;
    }
    VS_BOOL RegLuaSetValueFunc(void *Object, VS_LUASETVALUEFUNC Set, VS_UWORD Para) override {
        H();
        HostObject *o = lookup(Object);
        if (!o) return VS_FALSE;
        o->setHook = Set; // writes only: nothing resolved depends on it
        o->setHookPara = Para;
        return VS_TRUE;
    }

    // ---- locks ----
    void XRQLock() override { takeHostLock(); }
    void XRQUnLock() override { releaseHostLock(); }

    // ---- text ----
    VS_CHAR *UuidToString(VS_UUID *Uuid) override { return uuidText(Uuid); }
    VS_BOOL StringToUuid(const VS_CHAR *Text, VS_UUID *Uuid) override {
        return parseUuid(Text, Uuid) ? VS_TRUE : VS_FALSE;
    }
    VS_CHAR *GetMD5(const VS_INT8 *Buf, VS_INT32 Length) override { return md5Text(Buf, Length); }
    VS_ULONG GetHashValue(const void *Buf, VS_INT32 Length, VS_ULONG Seed) override {
        return fnv1a(Buf, Length, Seed);
    }

    // ---- anything else ----
    void SetExceptHandler(VS_EXCEPTHANDLER Handler) override {
        H();
        core().exceptHandler = Handler;
    }
    VS_BOOL HasRawContext(void *Object) override {
        H();
        HostObject *o = lookup(Object);
        return o && o->rawContext ? VS_TRUE : VS_FALSE;
    }

  private:
    template <class F, class R> R withEngine(F f, R none) {
        H();
        ScriptEngine *e = scriptEngine();
        return e ? f(e) : none;
    }
    template <class F> void withEngineV(F f) {
        H();
        if (ScriptEngine *e = scriptEngine()) f(e);
    }

    void *slotFor(void *Atomic, const VS_CHAR *Name, VS_UUID *FunctionID, const VS_CHAR *Desc) {
        HostObject *o = lookupAtomicOrObject(Atomic);
        if (!o || o->state != LifeState::Live || !Name || !*Name) return nullptr;
        auto it = o->slots.find(Name);
        if (it != o->slots.end()) return it->second.get();
        auto slot = std::make_unique<FuncSlot>();
        slot->name = Name;
        slot->desc = Desc ? Desc : "";
        if (FunctionID) slot->id = *FunctionID;
        slot->owner = o;
        FuncSlot *s = slot.get();
        core().liveSlots.insert(s);
        o->slots[Name] = std::move(slot);
        bumpResolveGen(); // a new slot can shadow what o's class chain had under that name
        return s;
    }

    VS_BOOL setRegValid(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn, bool valid) {
        H();
        HostObject *o = lookup(Object);
        if (!o || !Name) return VS_FALSE;
        for (RegFunc &r : o->regFuncs)
            if (r.name == Name && (!Fn || r.fn == Fn)) {
                r.valid = valid;
                bumpResolveGen();
                return VS_TRUE;
            }
        return VS_FALSE;
    }

    static MemPool *pool(void *p) {
        auto *mp = static_cast<MemPool *>(p);
        return core().pools.count(mp) ? mp : nullptr;
    }

    static std::vector<uint64_t> *snapshotOf(VS_QUERYRECORD *q) {
        if (!q || q->Reserved[2] != kQueryMagic) return nullptr;
        auto *s = reinterpret_cast<std::vector<uint64_t> *>(q->Reserved[0]);
        return core().snapshots.count(s) ? s : nullptr;
    }

    void *firstKeys(void *Index, int n, VS_UWORD *out) {
        H();
        VS_UWORD k[3] = {0, 0, 0};
        void *v = idx::firstInt(Index, n, k);
        if (out) std::memcpy(out, k, sizeof(VS_UWORD) * size_t(n));
        return v;
    }
    void *nextKeys(void *Index, int n, VS_UWORD *out) {
        H();
        VS_UWORD k[3] = {0, 0, 0};
        void *v = idx::nextInt(Index, n, k);
        if (out) std::memcpy(out, k, sizeof(VS_UWORD) * size_t(n));
        return v;
    }
    static void out2(const VS_UWORD *k, VS_UWORD *a, VS_UWORD *b) {
        if (a) *a = k[0];
        if (b) *b = k[1];
    }
    static void out3(const VS_UWORD *k, VS_UWORD *a, VS_UWORD *b, VS_UWORD *c) {
        if (a) *a = k[0];
        if (b) *b = k[1];
        if (c) *c = k[2];
    }
};

class ControlImpl final : public ClassOfXRQControlInterface {
  public:
    std::atomic<VS_ULONG> refs{0};
    VS_ULONG AddRef() override { return ++refs; }
    VS_ULONG Release() override { return dropRef(refs); }
    void ProcessError(VS_INT32 Level, const VS_CHAR *Source, VS_INT32 Line, const VS_CHAR *Format, ...) override {
        va_list ap;
        va_start(ap, Format);
        reportV(Level, Source, Line, Format, ap);
        va_end(ap);
    }
    void CaptureScriptGIL() override { captureScriptLock(); }
    void ReleaseScriptGIL() override { releaseScriptLock(); }
    VS_BOOL XRQDispatch(VS_BOOL) override { return dispatch(); }
    void DetachCurrentThread() override {
        checkHostLock(); // the script lock is checked by the engine, which needs it
        if (ScriptEngine *e = scriptEngine()) e->detachCurrentThread();
    }
};

static ServiceImpl &serviceImpl() {
    static ServiceImpl *s = new ServiceImpl();
    return *s;
}
static ControlImpl &controlImpl() {
    static ControlImpl *c = new ControlImpl();
    return *c;
}

class BasicImpl final : public ClassOfBasicXRQInterface {
  public:
    VS_ULONG AddRef() override { return 1; }
    VS_ULONG Release() override { return 1; }
    void GetVersion(VS_UINT8 *Main, VS_UINT8 *Sub, VS_UINT16 *Build) override {
        const HostOptions &o = core().opts;
        if (Main) *Main = o.versionMain;
        if (Sub) *Sub = o.versionSub;
        if (Build) *Build = o.versionBuild;
    }
    ClassOfXRQControlInterface *GetXRQControlInterface() override {
        controlImpl().AddRef();
        return &controlImpl();
    }
    const VS_CHAR *QueryActiveService(VS_UUID *ServiceID) override {
        if (!core().running) return nullptr;
        if (ServiceID) *ServiceID = kServiceID;
        return kServiceName;
    }
    ClassOfXRQInterface *GetXRQInterface(const VS_CHAR *Service, const VS_CHAR *, const VS_CHAR *) override {
        if (!core().running || core().opts.refuseService || !Service || std::strcmp(Service, kServiceName) != 0)
            return nullptr;
        serviceImpl().AddRef();
        return &serviceImpl();
    }
    void ProcessError(VS_INT32 Level, const VS_CHAR *Source, VS_INT32 Line, const VS_CHAR *Format, ...) override {
        va_list ap;
        va_start(ap, Format);
        reportV(Level, Source, Line, Format, ap);
        va_end(ap);
    }
};

static BasicImpl &basicImpl() {
    static BasicImpl *b = new BasicImpl();
    return *b;
}

class EntryImpl final : public ClassOfTarvex {
  public:
    ClassOfBasicXRQInterface *GetBasicInterface() override { return &basicImpl(); }
};

static EntryImpl &entryImpl() {
    static EntryImpl *e = new EntryImpl();
    return *e;
}

ClassOfXRQInterfaceHost *service() { return &serviceImpl(); }
ClassOfXRQControlInterface *control() { return &controlImpl(); }
ClassOfBasicXRQInterface *basic() { return &basicImpl(); }
ClassOfTarvex *entry() { return &entryImpl(); }

// Start-up holds one reference on service and control; shutdown drops them.
void resetInterfaceRefs(bool started) {
    serviceImpl().refs = started ? 1 : 0;
    controlImpl().refs = started ? 1 : 0;
}

} // namespace tvh
