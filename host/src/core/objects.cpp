// Objects: registry, lookup, creation and freeing with their system events,
// child queues, lifetime and collection, private buffers.
#include "core_state.h"
#include "records.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>

namespace tvh {

Core *g_core = nullptr;
Core &makeCore() {
    static Core *c = new Core();
    g_core = c;
    return *c;
}

static StatCounters &statStorage() {
    static StatCounters *s = new StatCounters();
    return *s;
}
StatCounters &counters() { return statStorage(); }

int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::mutex &pendingMutex() {
    static std::mutex *m = new std::mutex();
    return *m;
}

static std::atomic<int> g_callsByName{0};
CallByNameScope::CallByNameScope() { g_callsByName.fetch_add(1, std::memory_order_acq_rel); }
CallByNameScope::~CallByNameScope() { g_callsByName.fetch_sub(1, std::memory_order_acq_rel); }
int callsByNameInProgress() { return g_callsByName.load(std::memory_order_acquire); }

bool onMainThread() { return std::this_thread::get_id() == core().mainThread; }

bool mayFreeHere() {
    return core().running && onMainThread() && holdsHostLock() && holdsScriptLock() && callsByNameInProgress() == 0;
}

void *HostObject::operator new(size_t size) { return ThreadFreeList<HostObject>::take(size); }
void HostObject::operator delete(void *p) noexcept { ThreadFreeList<HostObject>::give(p); }

OpScope::OpScope() { ++core().opDepth; }
OpScope::~OpScope() {
    Core &c = core();
    if (--c.opDepth == 0 && !c.graveyard.empty()) {
        // Released descriptors may be looked at by frames above only while an
        // operation is running; none is now. (Deleting a descriptor calls no
        // host code: the list keeps its buffer for the next operation.)
        c.graveyard.clear();
    } else if (c.graveyard.size() > c.graveyardKept * 2 + Core::kGraveyardSoftLimit) {
        // A long operation (a call by name running a realm) frees many
        // objects: keep only the descriptors a frame still holds. The next
        // sweep waits until the graveyard has doubled, so many pinned
        // descriptors cost no sweep per free.
        std::vector<std::unique_ptr<HostObject>> dead;
        std::vector<std::unique_ptr<HostObject>> kept;
        for (auto &g : c.graveyard) (g->pins > 0 ? kept : dead).push_back(std::move(g));
        c.graveyard.swap(kept);
        c.graveyardKept = c.graveyard.size();
    }
    if (c.opDepth == 0) c.graveyardKept = 0;
}

// ---------------------------------------------------------------------------
// Lookup
// ---------------------------------------------------------------------------
std::atomic<uint64_t> g_resolveGen{1};

bool seqAlive(uint64_t seq) {
    Core &c = core();
    return c.bySeq.find(seq) != nullptr;
}

HostObject *lookupById(const VS_UUID *id) {
    if (!id) return nullptr;
    Core &c = core();
    uint64_t lo, hi;
    Core::halves(*id, &lo, &hi);
    Core::RecentId &r = c.recentIds[Core::recentIdSlot(lo, hi)];
    if (r.obj && r.lo == lo && r.hi == hi) return r.obj;
    HostObject *o = c.byId.find(*id);
    if (!o) return nullptr;
    if (holdsHostLock()) { // only the host lock's owner may change the recent entries
        r.lo = lo;
        r.hi = hi;
        r.obj = o;
    }
    return o;
}

// Drops the recent-ID entry for id, whichever object it names.
static void forgetRecentId(const VS_UUID &id) {
    uint64_t lo, hi;
    Core::halves(id, &lo, &hi);
    Core::RecentId &r = core().recentIds[Core::recentIdSlot(lo, hi)];
    if (r.obj && r.lo == lo && r.hi == hi) r = Core::RecentId();
}

HostObject *lookupAtomic(const void *p) {
    uintptr_t v = reinterpret_cast<uintptr_t>(p);
    if ((v & (uintptr_t(0xFF) << 56)) != kAtomicTag) return nullptr;
    Core &c = core();
    return c.bySeq.find(uint64_t(v & ~(uintptr_t(0xFF) << 56)));
}

HostObject *lookupAtomicOrObject(const void *p) {
    if (!p) return nullptr;
    if (HostObject *o = lookupAtomic(p)) return o;
    return lookup(p);
}

FuncSlot *lookupSlot(const void *p) {
    if (!p) return nullptr;
    Core &c = core();
    if (!c.liveSlots.count(static_cast<const FuncSlot *>(p))) return nullptr;
    return const_cast<FuncSlot *>(static_cast<const FuncSlot *>(p));
}

const VS_UUID kObjectClassID = {0x5F0B1E2C, 0x7D31, 0x4A6E, {0x9C, 0x42, 0x0B, 0x1E, 0xC7, 0x5A, 0x20, 0x01}};
HostObject *objectClass() { return core().objectClass; }

// ---------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------
const ClassLayout *layoutOf(const HostObject *o) {
    if (!o || !o->registered) return nullptr;
    return o->registered->ownLayout();
}

static const std::vector<AttrDef> &extrasOf(const HostObject *x) {
    static const std::vector<AttrDef> *none = new std::vector<AttrDef>();
    return x->rare ? x->rare->extraAttrs : *none;
}

// Objects from x up x's class chain whose cache a walk fills (reused: no
// allocation per walk). Filling calls no code outside this file.
static std::vector<HostObject *> &chainPath() {
    static thread_local std::vector<HostObject *> path;
    return path;
}

// Atomic attributes ever added in this run: while there are none, a name
// that is not in the registered layout needs no walk up the class chain.
// Also the generation of the attribute-end caches.
static std::atomic<size_t> g_extraAttrCount{0};

static size_t ownExtraEnd(const HostObject *x) {
    size_t end = 0;
    for (const AttrDef &a : extrasOf(x)) end = std::max(end, size_t(a.offset) + size_t(a.size));
    return end;
}

// End of the atomic attributes added on x and up its chain (0: none); x has
// instances. Each object's answer is kept until an attribute is added
// anywhere, so a deep chain is walked once, not once per object made.
static size_t inheritedExtraEnd(HostObject *x) {
    size_t gen = g_extraAttrCount.load(std::memory_order_relaxed) + 1;
    if (gen == 1) return 0;
    if (x->rare && x->rare->extraGen == gen) return x->rare->extraEnd;
    std::vector<HostObject *> &path = chainPath();
    path.clear();
    HostObject *y = x;
    for (; y && !(y->rare && y->rare->extraGen == gen); y = y->cls) path.push_back(y);
    size_t end = y ? y->rare->extraEnd : 0;
    for (size_t i = path.size(); i-- > 0;) {
        HostObject::Rare &r = path[i]->more();
        end = std::max(end, ownExtraEnd(path[i]));
        r.extraEnd = end;
        r.extraGen = gen;
    }
    path.clear();
    return end;
}

// Whether some atomic attribute was added on o or up its chain.
static bool chainHasExtras(const HostObject *o) {
    if (g_extraAttrCount.load(std::memory_order_relaxed) == 0) return false;
    return !extrasOf(o).empty() || (o->cls && inheritedExtraEnd(o->cls) > 0);
}

// Atomic attributes visible on o: those added on o or on its class chain that
// lie after the registered layout and inside o's record.
static void chainExtras(const HostObject *o, std::vector<const AttrDef *> &out) {
    const ClassLayout *L = layoutOf(o);
    size_t base = L ? L->recordSize : 0;
    for (const HostObject *x = o; x; x = x->cls)
        for (const AttrDef &a : extrasOf(x))
            if (size_t(a.offset) >= base && size_t(a.offset) + size_t(a.size) <= o->recordCap) out.push_back(&a);
}

// Calls f on each atomic attribute visible on o until f returns true.
template <class F> static const AttrDef *findExtra(const HostObject *o, F f) {
    if (!chainHasExtras(o)) return nullptr;
    const ClassLayout *L = layoutOf(o);
    size_t base = L ? L->recordSize : 0;
    for (const HostObject *x = o; x; x = x->cls)
        for (const AttrDef &a : extrasOf(x))
            if (size_t(a.offset) >= base && size_t(a.offset) + size_t(a.size) <= o->recordCap && f(a)) return &a;
    return nullptr;
}

const AttrDef *findAttr(const HostObject *o, const char *name) {
    if (!o || !name) return nullptr;
    if (const ClassLayout *L = layoutOf(o)) {
        auto it = L->byName.find(name);
        if (it != L->byName.end()) return &L->attrs[it->second];
    }
    return findExtra(o, [&](const AttrDef &a) { return a.name == name; });
}

std::vector<const AttrDef *> allAttrs(const HostObject *o) {
    std::vector<const AttrDef *> out;
    if (const ClassLayout *L = layoutOf(o))
        for (const AttrDef &a : L->attrs) out.push_back(&a);
    chainExtras(o, out);
    return out;
}

const AttrDef *attrByIndex(const HostObject *o, OBJECTATTRIBUTEINDEX index) {
    if (!o || index == VS_INVALID_ATTRIBUTEINDEX) return nullptr;
    const ClassLayout *L = layoutOf(o);
    if (L && index < L->attrs.size()) return &L->attrs[index];
    return findExtra(o, [&](const AttrDef &a) { return a.index == index; });
}

static size_t alignUp(size_t v, size_t a) { return (v + a - 1) / a * a; }

size_t chainLayoutEnd(const HostObject *o) {
    const ClassLayout *L = layoutOf(o);
    size_t end = std::max(L ? L->recordSize : 0, ownExtraEnd(o));
    if (o->cls) end = std::max(end, inheritedExtraEnd(o->cls));
    return end;
}

void *createAtomicUuidAttribute(HostObject *o, const char *name) {
    if (!o || !name || !*name || findAttr(o, name)) return nullptr;
    std::vector<const AttrDef *> all = allAttrs(o);
    if (all.size() >= VS_INVALID_ATTRIBUTEINDEX) return nullptr;
    size_t base = std::max(chainLayoutEnd(o), size_t(o->layoutEnd) + size_t(o->extraSize()));
    size_t off = alignUp(base, 4);
    if (off + sizeof(VS_UUID) > o->recordCap) return nullptr; // no room left in this record
    AttrDef a;
    a.name = name;
    a.kind = AttrKind::Uuid;
    a.offset = int(off);
    a.size = int(sizeof(VS_UUID));
    a.index = OBJECTATTRIBUTEINDEX(all.size());
    o->more().extraAttrs.push_back(a);
    g_extraAttrCount.fetch_add(1, std::memory_order_relaxed);
    bumpResolveGen(); // the name is an attribute now, on o and on what is made from it
    char *field = static_cast<char *>(o->record) + off;
    std::memset(field, 0, sizeof(VS_UUID));
    return field;
}

// ---------------------------------------------------------------------------
// Class chain
// ---------------------------------------------------------------------------
// Fills the depth and jump of k and of any ancestor not yet filled (as a
// rule k's parent is: k is one of its instances). The jumps follow the
// skew-binary rule: an object jumps to its parent's jump's jump when the two
// jumps below span equal depths, else to its parent; the root jumps to
// itself.
static void noteChain(HostObject *k) {
    std::vector<HostObject *> &path = chainPath();
    path.clear();
    for (HostObject *y = k; y && !(y->rare && y->rare->chainKnown); y = y->cls) path.push_back(y);
    for (size_t i = path.size(); i-- > 0;) {
        HostObject *z = path[i];
        HostObject::Rare &r = z->more();
        if (HostObject *p = z->cls) {
            const HostObject::Rare &pr = *p->rare;
            HostObject *j = pr.jump, *jj = j->rare->jump;
            r.depth = pr.depth + 1;
            r.jump = pr.depth - j->rare->depth == j->rare->depth - jj->rare->depth ? jj : p;
        } else {
            r.depth = 0;
            r.jump = z;
        }
        r.chainKnown = true;
    }
    path.clear();
}

bool isInstOf(const HostObject *cls, const HostObject *o) {
    if (!cls || !o) return false;
    const HostObject *x = o->cls;
    if (!x) return false;
    if (x == cls) return true;
    if (cls->isClass) {
        // Classes are made from classes only: from the first class object
        // of o's chain on there is nothing else, and before it no class.
        for (const HostObject *y = o->isClass ? x : o->registered; y; y = y->cls)
            if (y == cls) return true;
        return false;
    }
    // Nothing ever made from cls: nothing descends from it.
    const HostObject::Rare *cr = cls->rare.get();
    if (!cr || !cr->chainKnown) return false;
    if (!x->rare || !x->rare->chainKnown) { // not registered as an instance: walk
        for (const HostObject *y = x; y; y = y->cls)
            if (y == cls) return true;
        return false;
    }
    // The ancestor of o at cls's depth, through the jumps.
    uint32_t d = cr->depth;
    const HostObject *y = x;
    while (y->rare->depth > d) {
        const HostObject *j = y->rare->jump;
        y = j->rare->depth >= d ? j : y->cls;
    }
    return y == cls;
}
bool isInstOfAny(const HostObject *cls, const HostObject *o) { return isInstOf(cls, o); }

void *HostObject::privGet(VS_ULONG layer, VS_ULONG index, VS_ULONG *size) const {
    if (privPtr && privLayer == layer && privIndex == index) {
        *size = privSize;
        return privPtr;
    }
    if (rare)
        for (const PrivBuf &b : rare->privBufs)
            if (b.layer == layer && b.index == index) {
                *size = b.size;
                return b.ptr;
            }
    return nullptr;
}

bool HostObject::privSet(VS_ULONG layer, VS_ULONG index, void *ptr, VS_ULONG size) {
    if (privPtr && privLayer == layer && privIndex == index) {
        privPtr = ptr;
        privSize = size;
        return true;
    }
    if (rare)
        for (PrivBuf &b : rare->privBufs)
            if (b.layer == layer && b.index == index) {
                b.ptr = ptr;
                b.size = size;
                return true;
            }
    if (!privPtr) {
        privPtr = ptr;
        privLayer = layer;
        privIndex = index;
        privSize = size;
        return true;
    }
    PrivBuf b;
    b.layer = layer;
    b.index = index;
    b.ptr = ptr;
    b.size = size;
    try {
        more().privBufs.push_back(b);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void *HostObject::privTake(VS_ULONG layer, VS_ULONG index) {
    if (privPtr && privLayer == layer && privIndex == index) {
        void *p = privPtr;
        privPtr = nullptr;
        privLayer = privIndex = privSize = 0;
        return p;
    }
    if (rare) {
        std::vector<PrivBuf> &v = rare->privBufs;
        for (auto it = v.begin(); it != v.end(); ++it)
            if (it->layer == layer && it->index == index) {
                void *p = it->ptr;
                v.erase(it);
                return p;
            }
    }
    return nullptr;
}

void HostObject::freePrivBufs() {
    std::free(privPtr);
    privPtr = nullptr;
    privLayer = privIndex = privSize = 0;
    if (!rare) return;
    for (PrivBuf &b : rare->privBufs) std::free(b.ptr);
    rare->privBufs.clear();
}

bool runBeforeChange(HostObject *o, const AttrDef &a, VS_INT8 *newValue) {
    if (!o || core().noModuleCalls) return true;
    // Callbacks may unregister themselves or others while we walk.
    if (o->beforeChange.empty()) return o->state != LifeState::Freed;
    Pin pin(o);
    auto cbs = o->beforeChange.copy();
    for (auto &cb : cbs) {
        if (o->state == LifeState::Freed) return false;
        if (!cb.first(o->record, cb.second, a.index, newValue, 0)) return false;
    }
    return o->state != LifeState::Freed;
}

// ---------------------------------------------------------------------------
// IDs
// ---------------------------------------------------------------------------
void newObjectId(VS_UUID *out) {
    Core &c = core();
    for (;;) {
        VS_UUID u{};
        if (c.opts.deterministicIds) {
            u.Data1 = ++c.idCounter;
            u.Data2 = 0;
            u.Data3 = 0x4000;
            u.Data4[0] = 0x80;
        } else {
            // xoshiro256**, seeded from the system per thread: IDs need
            // to be unpredictable enough not to collide, not to be secret.
            struct Rng {
                uint64_t s[4];
                Rng() {
                    std::random_device rd;
                    for (uint64_t &w : s) w = (uint64_t(rd()) << 32) ^ rd();
                    if (!(s[0] | s[1] | s[2] | s[3])) s[0] = 1;
                }
                static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
                uint64_t next() {
                    uint64_t r = rotl(s[1] * 5, 7) * 9, t = s[1] << 17;
                    s[2] ^= s[0];
                    s[3] ^= s[1];
                    s[1] ^= s[2];
                    s[0] ^= s[3];
                    s[2] ^= t;
                    s[3] = rotl(s[3], 45);
                    return r;
                }
            };
            static thread_local Rng rng;
            uint64_t a = rng.next(), b = rng.next();
            std::memcpy(&u, &a, 8);
            std::memcpy(reinterpret_cast<char *>(&u) + 8, &b, 8);
            u.Data3 = VS_UINT16((u.Data3 & 0x0FFF) | 0x4000);
            u.Data4[0] = VS_UINT8((u.Data4[0] & 0x3F) | 0x80);
        }
        if (!c.byId.find(u)) {
            *out = u;
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Registration and events
// ---------------------------------------------------------------------------
// ---------------------------------------------------------------------------
// Name index
// ---------------------------------------------------------------------------
static void nameIndexAdd(HostObject *o) {
    if (o->name.empty()) return;
    std::vector<HostObject *> &v = core().byName[o->name.str()];
    auto at = std::upper_bound(v.begin(), v.end(), o,
                               [](const HostObject *a, const HostObject *b) { return a->seq < b->seq; });
    v.insert(at, o);
}

static void nameIndexRemove(HostObject *o) {
    if (o->name.empty()) return;
    Core &c = core();
    auto it = c.byName.find(o->name.str());
    if (it == c.byName.end()) return;
    std::vector<HostObject *> &v = it->second;
    auto at = std::find(v.begin(), v.end(), o);
    if (at != v.end()) v.erase(at);
    if (v.empty()) c.byName.erase(it);
}

void setObjectName(HostObject *o, const char *name) {
    const char *n = name ? name : "";
    if (o->name == n) return;
    bool indexed = o->state != LifeState::Freed && core().bySeq.find(o->seq) == o;
    if (indexed) nameIndexRemove(o);
    o->name = n;
    if (indexed) nameIndexAdd(o);
}

static void registerObject(std::unique_ptr<HostObject> holder) {
    Core &c = core();
    HostObject *o = holder.get();
    o->seq = c.nextSeq++;
    records::setOwner(o->record, o);
    c.byId.put(o);
    forgetRecentId(o->id);
    if (HostObject *k = o->cls) { // seq only grows: appending keeps creation order
        if (!k->rare || !k->rare->chainKnown) noteChain(k);
        HostObject::Rare &r = *k->rare;
        o->prevInst = r.lastInst;
        if (r.lastInst)
            r.lastInst->nextInst = o;
        else
            r.firstInst = o;
        r.lastInst = o;
    }
    c.bySeq.append(std::move(holder));
    nameIndexAdd(o);
}

// The handler chain of o: handlers of o, then of its class chain, each once.
// Chains are short; a long one spills into `more`.
struct HandlerChain {
    static constexpr int kInline = 16;
    VS_SYSEVENTPTR inl[kInline];
    int n = 0;
    std::vector<VS_SYSEVENTPTR> more;
    VS_SYSEVENTPTR at(int i) const { return i < kInline ? inl[i] : more[size_t(i - kInline)]; }
    bool has(VS_SYSEVENTPTR h) const {
        for (int i = 0; i < n; ++i)
            if (at(i) == h) return true;
        return false;
    }
    void add(VS_SYSEVENTPTR h) {
        if (!h || has(h)) return;
        if (n < kInline)
            inl[n] = h;
        else
            more.push_back(h);
        ++n;
    }
};

static std::atomic<uint64_t> g_handlerGen{1};
void bumpHandlerGen() { g_handlerGen.fetch_add(1, std::memory_order_relaxed); }

// The handlers of x's chain, x's own first, each once; x has instances.
// Kept on each object of the chain until a handler changes anywhere, so a
// deep chain is walked once, not once per event.
static const std::vector<VS_SYSEVENTPTR> &inheritedHandlers(HostObject *x) {
    uint64_t gen = g_handlerGen.load(std::memory_order_relaxed);
    if (x->rare && x->rare->handlersGen == gen) return x->rare->chainHandlers;
    std::vector<HostObject *> &path = chainPath();
    path.clear();
    HostObject *y = x;
    for (; y && !(y->rare && y->rare->handlersGen == gen); y = y->cls) path.push_back(y);
    const std::vector<VS_SYSEVENTPTR> *above = y ? &y->rare->chainHandlers : nullptr;
    for (size_t i = path.size(); i-- > 0;) {
        HostObject *z = path[i];
        HostObject::Rare &r = z->more();
        std::vector<VS_SYSEVENTPTR> &hs = r.chainHandlers;
        hs.clear();
        auto add = [&hs](VS_SYSEVENTPTR h) {
            if (h && std::find(hs.begin(), hs.end(), h) == hs.end()) hs.push_back(h);
        };
        if (z->isClass && z->ownLayout()) add(z->ownLayout()->handler);
        add(r.sysEvent);
        if (above)
            for (VS_SYSEVENTPTR h : *above) add(h);
        r.handlersGen = gen;
        above = &hs;
    }
    path.clear();
    return x->rare->chainHandlers;
}

static void handlerChain(const HostObject *o, HandlerChain &out) {
    if (o->isClass && o->ownLayout()) out.add(o->ownLayout()->handler);
    out.add(o->sysEvent());
    if (o->cls)
        for (VS_SYSEVENTPTR h : inheritedHandlers(o->cls)) out.add(h);
}

static void deliverEvent(HostObject *o, VS_ULONG event) {
    Core &c = core();
    if (c.noModuleCalls) return;
    HandlerChain hs;
    handlerChain(o, hs);
    if (hs.n == 0) return;
    Pin pin(o);
    StructOfVSSysEventPara para{o->record, event};
    c.activeEventParas.push_back(&para);
    bool baseFirst = event == VSEVENT_SYSTEMEVENT_ONCREATE;
    for (int k = 0; k < hs.n; ++k) {
        hs.at(baseFirst ? hs.n - 1 - k : k)(0, &para);
        // A creation handler that freed its own object ends the delivery.
        if (baseFirst && o->state != LifeState::Live) break;
    }
    // Most often the last one filed (deliveries nest).
    auto &v = c.activeEventParas;
    for (size_t i = v.size(); i-- > 0;)
        if (v[i] == &para) {
            v.erase(v.begin() + long(i));
            break;
        }
}

bool isActiveEventPara(const void *p) {
    auto &v = core().activeEventParas;
    return std::find(v.begin(), v.end(), p) != v.end();
}

static void copyVStringDefaults(HostObject *o, const ClassLayout *L) {
    if (!L) return;
    Core &c = core();
    for (const AttrDef &a : L->attrs) {
        if (a.kind != AttrKind::VString || !a.hasDefault) continue;
        char *t = a.defaultText.empty() ? emptyVString() : strdup(a.defaultText.c_str());
        if (!t) continue;
        if (t != emptyVString()) c.vstrings.insert(t);
        reinterpret_cast<VS_VSTRING *>(static_cast<char *>(o->record) + a.offset)->Buf = t;
    }
}

// Builds the descriptor and record of a new object (not yet registered).
static std::unique_ptr<HostObject> buildObject(HostObject *cls, HostObject *registered, size_t layoutEnd,
                                               VS_ULONG extraSize) {
    const ClassLayout *L = registered ? registered->ownLayout() : nullptr;
    auto o = std::make_unique<HostObject>();
    o->layoutEnd = uint32_t(layoutEnd);
    o->recordCap = uint32_t(layoutEnd + extraSize + HostObject::kRecordSpare); // extraSize is at most 1 GiB
    o->record = records::allocate(o->recordCap);
    if (!o->record) return nullptr;
    if (L && !L->defaults.empty())
        std::memcpy(o->record, L->defaults.data(), std::min(L->defaults.size(), size_t(o->recordCap)));
    o->cls = cls;
    o->registered = registered;
    copyVStringDefaults(o.get(), L);
    return o;
}

void *mallocObject(const VS_UUID *classOrObjectId, const VS_UUID *wantedId, VS_ULONG extraSize,
                   VS_PARAPKGPTR initPara) {
    Core &c = core();
    if (!c.running) return nullptr;
    HostObject *from = findById(classOrObjectId);
    // Nothing is made from an object on its way out: it would outlive its class.
    if (!from || from->state != LifeState::Live) return nullptr;
    HostObject *registered = from->isClass ? from : from->registered;
    if (!registered) return nullptr;
    if (extraSize > (1u << 30)) return nullptr;
    VS_UUID id{};
    static const VS_UUID zero{};
    if (wantedId && std::memcmp(wantedId, &zero, sizeof zero) != 0) {
        if (c.byId.find(*wantedId)) return nullptr;
        id = *wantedId;
    } else {
        newObjectId(&id);
    }
    if (initPara && !isParaPkg(initPara)) initPara = nullptr;

    OpScope scope;
    auto holder = buildObject(from, registered, chainLayoutEnd(from), extraSize);
    if (!holder) return nullptr;
    HostObject *o = holder.get();
    o->id = id;
    o->lockCount = 1; // the creator's owner reference
    o->ownerHeld = true;
    registerObject(std::move(holder));

    Pin pin(o);
    if (initPara) o->more().initPara = initPara;
    deliverEvent(o, VSEVENT_SYSTEMEVENT_ONCREATE);
    if (o->rare) o->rare->initPara = nullptr;
    if (o->state != LifeState::Live) return nullptr;
    return o->record;
}

// Makes a class object (templates and _Object); the caller checked the input.
HostObject *createClassObject(const std::string &name, const VS_UUID &id, HostObject *parentClass,
                              HostObject *holder, std::unique_ptr<ClassLayout> layout,
                              const std::vector<std::pair<std::string, std::string>> &functions) {
    Core &c = core();
    OpScope scope;
    size_t size = layout->recordSize;
    auto own = std::make_unique<HostObject>();
    own->layoutEnd = uint32_t(size);
    own->recordCap = uint32_t(size + HostObject::kRecordSpare);
    own->record = records::allocate(own->recordCap);
    if (!own->record) return nullptr;
    if (!layout->defaults.empty()) std::memcpy(own->record, layout->defaults.data(), layout->defaults.size());
    own->isClass = true;
    own->name = name;
    own->id = id;
    own->cls = parentClass;
    own->more().ownLayout = std::move(layout);
    own->registered = own.get();
    copyVStringDefaults(own.get(), own->ownLayout());
    HostObject *o = own.get();
    if (holder) {
        o->parent = holder; // held by its root item, not through a queue
        o->queueIndex = VS_INVALID_ATTRIBUTEINDEX;
    }
    for (auto &f : functions) {
        if (o->slots.count(f.first)) continue;
        auto slot = std::make_unique<FuncSlot>();
        slot->name = f.first;
        slot->desc = f.second;
        slot->owner = o;
        c.liveSlots.insert(slot.get());
        o->slots[f.first] = std::move(slot);
    }
    registerObject(std::move(own));
    Pin pin(o);
    bumpResolveGen();
    if (ScriptEngine *e = scriptEngine()) e->onClassRegistered(o);
    deliverEvent(o, VSEVENT_SYSTEMEVENT_ONCREATE);
    if (o->state != LifeState::Live) return nullptr;
    return o;
}

HostObject *createRootItem(const char *name, const VS_UUID *id) {
    Core &c = core();
    HostObject *base = c.objectClass;
    auto holder = buildObject(base, base, chainLayoutEnd(base), 0);
    if (!holder) return nullptr;
    holder->isRootItem = true;
    holder->name = name ? name : "";
    static const VS_UUID zero{};
    if (id && std::memcmp(id, &zero, sizeof zero) != 0 && !c.byId.find(*id))
        holder->id = *id;
    else
        newObjectId(&holder->id);
    HostObject *o = holder.get();
    registerObject(std::move(holder));
    return o;
}

// Objects named `name`, oldest first; NULL for the empty name, which is not
// indexed (most objects have it).
static const std::vector<HostObject *> *namedObjects(const char *name) {
    Core &c = core();
    auto it = c.byName.find(std::string(name));
    return it == c.byName.end() ? nullptr : &it->second;
}

HostObject *findByName(HostObject *parent, const char *name) {
    if (!name) return nullptr;
    if (!*name) {
        for (HostObject *o : core().bySeq.walk()) {
            if (o->state == LifeState::Freed || !o->name.empty()) continue;
            if (parent && o->parent != parent) continue;
            return o;
        }
        return nullptr;
    }
    if (const std::vector<HostObject *> *v = namedObjects(name))
        for (HostObject *o : *v) {
            if (o->state == LifeState::Freed) continue;
            if (parent && o->parent != parent) continue;
            return o;
        }
    return nullptr;
}

HostObject *findClassByName(const char *name) {
    if (!name) return nullptr;
    if (!*name) {
        for (HostObject *o : core().bySeq.walk()) {
            if (o->isClass && o->state == LifeState::Live && o->name.empty()) return o;
        }
        return nullptr;
    }
    if (const std::vector<HostObject *> *v = namedObjects(name))
        for (HostObject *o : *v)
            if (o->isClass && o->state == LifeState::Live) return o;
    return nullptr;
}

HostObject *findRootItem(const char *name) {
    if (!name) return nullptr;
    if (!*name) { // made with a name, but may have been renamed
        for (HostObject *o : core().bySeq.walk()) {
            if (o->isRootItem && o->state == LifeState::Live && o->name.empty()) return o;
        }
        return nullptr;
    }
    if (const std::vector<HostObject *> *v = namedObjects(name))
        for (HostObject *o : *v)
            if (o->isRootItem && o->state == LifeState::Live) return o;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Queues
// ---------------------------------------------------------------------------
static void writeHead(HostObject *parent, OBJECTATTRIBUTEINDEX index, HostObject *head) {
    const AttrDef *a = attrByIndex(parent, index);
    if (!a || a->kind != AttrKind::Queue) return;
    *reinterpret_cast<void **>(static_cast<char *>(parent->record) + a->offset) = head ? head->record : nullptr;
}

static void unlink(HostObject *o) {
    HostObject *p = o->parent;
    if (!p) return;
    if (o->queueIndex != VS_INVALID_ATTRIBUTEINDEX) {
        auto &q = p->more().queues[o->queueIndex];
        if (o->prevSibling)
            o->prevSibling->nextSibling = o->nextSibling;
        else
            q.head = o->nextSibling;
        if (o->nextSibling)
            o->nextSibling->prevSibling = o->prevSibling;
        else
            q.tail = o->prevSibling;
        if (!o->prevSibling && p->state != LifeState::Freed) writeHead(p, o->queueIndex, q.head);
    }
    o->parent = nullptr;
    o->queueIndex = VS_INVALID_ATTRIBUTEINDEX;
    o->prevSibling = o->nextSibling = nullptr;
}

bool changeParent(HostObject *o, HostObject *parent, OBJECTATTRIBUTEINDEX index) {
    if (!o || o->isClass || o->isRootItem) return false;
    if (!parent) {
        bool had = o->parent != nullptr;
        unlink(o);
        if (had) markCandidate(o); // detached: unheld, perhaps
        return true;
    }
    if (parent->state != LifeState::Live) return false;
    const AttrDef *a = attrByIndex(parent, index);
    if (!a || a->kind != AttrKind::Queue) return false;
    for (HostObject *x = parent; x; x = x->parent)
        if (x == o) return false; // would become its own ancestor
    unlink(o);
    auto &q = parent->more().queues[index];
    o->parent = parent;
    o->queueIndex = index;
    o->prevSibling = q.tail;
    o->nextSibling = nullptr;
    if (q.tail)
        q.tail->nextSibling = o;
    else
        q.head = o;
    q.tail = o;
    if (q.head == o) writeHead(parent, index, o);
    return true;
}

HostObject *queueOwnerOfField(const void *field, OBJECTATTRIBUTEINDEX *index) {
    if (!field) return nullptr;
    // The record holding the field is the one whose slot holds its address;
    // its layout tells whether a queue starts there.
    uintptr_t start = 0;
    HostObject *o = records::slotOwnerAt(reinterpret_cast<uintptr_t>(field), &start);
    if (!o) return nullptr;
    uintptr_t off = reinterpret_cast<uintptr_t>(field) - start;
    if (off >= o->recordCap) return nullptr;
    const ClassLayout *L = layoutOf(o);
    if (!L) return nullptr;
    for (const auto &q : L->queues) // queues only come from templates
        if (uintptr_t(q.first) == off) {
            *index = q.second;
            return o;
        }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Freeing
// ---------------------------------------------------------------------------
static void freeVStrings(HostObject *o) {
    Core &c = core();
    // Text fields come from templates only (atomic attributes are IDs).
    const ClassLayout *L = layoutOf(o);
    if (!L) return;
    for (const AttrDef &a : L->attrs) {
        if (a.kind != AttrKind::VString || size_t(a.offset) + 8 > o->recordCap) continue;
        auto *f = reinterpret_cast<VS_VSTRING *>(static_cast<char *>(o->record) + a.offset);
        if (f->Buf && f->Buf != emptyVString()) {
            auto it = c.vstrings.find(f->Buf);
            if (it != c.vstrings.end()) {
                std::free(*it);
                c.vstrings.erase(it);
            }
        }
        f->Buf = nullptr;
    }
}

static void releaseObject(HostObject *o) {
    Core &c = core();
    o->state = LifeState::Freed;
    o->freePrivBufs();
    freeVStrings(o);
    unlink(o);
    // Children still on their way out (freed higher up the stack) lose their parent.
    if (o->rare) {
        for (auto &q : o->rare->queues) {
            for (HostObject *ch = q.second.head; ch;) {
                HostObject *next = ch->nextSibling;
                ch->parent = nullptr;
                ch->queueIndex = VS_INVALID_ATTRIBUTEINDEX;
                ch->prevSibling = ch->nextSibling = nullptr;
                ch = next;
            }
        }
        o->rare->queues.clear();
    }
    if (o->isRootItem)
        for (HostObject *x : c.bySeq.walk()) {
            if (x->parent == o && x->queueIndex == VS_INVALID_ATTRIBUTEINDEX) x->parent = nullptr;
        }
    for (auto &s : o->slots) c.liveSlots.erase(s.second.get());
    if (c.byId.erase(o)) forgetRecentId(o->id);
    nameIndexRemove(o);
    if (HostObject *k = o->cls) {
        HostObject::Rare &r = k->more(); // made when o joined the list
        if (o->prevInst)
            o->prevInst->nextInst = o->nextInst;
        else if (r.firstInst == o)
            r.firstInst = o->nextInst;
        if (o->nextInst)
            o->nextInst->prevInst = o->prevInst;
        else if (r.lastInst == o)
            r.lastInst = o->prevInst;
        o->prevInst = o->nextInst = nullptr;
        // Its last instance held it: unheld now, perhaps.
        if (!r.firstInst && k->state == LifeState::Live) markCandidate(k);
    }
    // Kept out of reuse for a while: a handle kept past the free names no
    // object (lookups count it as invalid) rather than the next one made.
    records::retire(o->record, o->recordCap);
    o->record = nullptr;
    if (std::unique_ptr<HostObject> d = c.bySeq.take(o)) c.graveyard.push_back(std::move(d));
}

// Freeing walks what goes with an object (its instances, then its queue
// children, then what a root item holds) on a list of steps rather than the
// C stack: a chain of objects each made from the previous one, or a deep
// nest of queues, may be any length.
namespace {
enum class FreeStage : uint8_t { Instances, Children, Held, Done };
struct FreeStep {
    HostObject *o;
    FreeStage stage;
    uint16_t attr; // Children: position in the layout's attributes
};
// One list per thread; a free that module code starts during an event
// works on top of the one that delivers the event, and leaves it as it was.
std::vector<FreeStep> &freeSteps() {
    static thread_local std::vector<FreeStep> steps;
    return steps;
}
} // namespace

// Marks o as on its way out (nothing more is made from it) and holds its
// descriptor until it is released.
static void beginFree(HostObject *o) {
    ++o->pins;
    o->state = LifeState::Freeing;
    // Names of objects made from this one may resolve to its functions: those
    // answers go. (Answers for o itself are keyed by its sequence number,
    // which is never reused.)
    if (o->isClass || o->firstInst()) bumpResolveGen();
}

// No object outlives the object it was made from: the first instance still
// live, oldest first.
static HostObject *firstLiveInst(const HostObject *o) {
    for (HostObject *x = o->firstInst(); x; x = x->nextInst)
        if (x->state == LifeState::Live) return x;
    return nullptr;
}

// Children of every queue, in attribute order, each queue head first: the
// first live child from the queue at *attr on (*attr moves past the queues
// found empty).
static HostObject *nextQueueChild(HostObject *o, uint16_t *attr) {
    const ClassLayout *L = layoutOf(o);
    if (!L) return nullptr;
    for (; *attr < L->attrs.size(); ++*attr) {
        const AttrDef &a = L->attrs[*attr];
        if (a.kind != AttrKind::Queue) continue;
        if (!o->rare) return nullptr;
        auto qit = o->rare->queues.find(a.index);
        if (qit == o->rare->queues.end()) continue;
        for (HostObject *ch = qit->second.head; ch; ch = ch->nextSibling)
            if (ch->state == LifeState::Live) return ch;
    }
    return nullptr;
}

// Objects held without a queue (the class objects of a root item).
static HostObject *nextHeldByRoot(const HostObject *o) {
    if (!o->isRootItem) return nullptr;
    for (HostObject *x : core().bySeq.walk())
        if (x->parent == o && x->queueIndex == VS_INVALID_ATTRIBUTEINDEX && x->state == LifeState::Live) return x;
    return nullptr;
}

void freeObject(HostObject *root) {
    if (!root || root->state != LifeState::Live) return;
    OpScope scope;
    if (!root->rare && !root->isRootItem) {
        // Most objects: no instance, no queue child, and none can come once
        // it is on its way out. The same steps, without the list.
        beginFree(root);
        deliverEvent(root, VSEVENT_SYSTEMEVENT_ONBEFOREFREE);
        deliverEvent(root, VSEVENT_SYSTEMEVENT_ONDESTROY);
        if (ScriptEngine *e = scriptEngine()) e->onObjectFreed(root);
        releaseObject(root);
        --root->pins;
        return;
    }
    std::vector<FreeStep> &steps = freeSteps();
    const size_t base = steps.size();
    beginFree(root);
    steps.push_back({root, FreeStage::Instances, 0});
    // Events run module code, which may free more on this thread (on top of
    // this list, which may move meanwhile): a step is found by its position.
    while (steps.size() > base) {
        const size_t top = steps.size() - 1;
        HostObject *o = steps[top].o;
        HostObject *next = nullptr;
        switch (steps[top].stage) {
        case FreeStage::Instances:
            next = firstLiveInst(o);
            if (!next) {
                steps[top].stage = FreeStage::Children;
                deliverEvent(o, VSEVENT_SYSTEMEVENT_ONBEFOREFREE);
            }
            break;
        case FreeStage::Children:
            next = nextQueueChild(o, &steps[top].attr);
            if (!next) steps[top].stage = FreeStage::Held;
            break;
        case FreeStage::Held:
            next = nextHeldByRoot(o);
            if (!next) steps[top].stage = FreeStage::Done;
            break;
        case FreeStage::Done:
            steps.pop_back();
            deliverEvent(o, VSEVENT_SYSTEMEVENT_ONDESTROY);
            if (ScriptEngine *e = scriptEngine()) e->onObjectFreed(o);
            releaseObject(o);
            --o->pins;
            break;
        }
        if (next) {
            beginFree(next);
            steps.push_back({next, FreeStage::Instances, 0});
        }
    }
    if (base == 0 && steps.capacity() > 4096) std::vector<FreeStep>().swap(steps); // after a deep free
}

void releaseAllSilently() {
    Core &c = core();
    for (HostObject *o : c.bySeq.walk()) {
        o->freePrivBufs();
        o->record = nullptr; // given back with every slab below
        o->state = LifeState::Freed;
    }
    for (char *t : c.vstrings) std::free(t);
    c.vstrings.clear();
    c.byId.clear();
    for (Core::RecentId &r : c.recentIds) r = Core::RecentId();
    c.byName.clear();
    c.liveSlots.clear();
    c.bySeq.clear();
    c.graveyard.clear();
    c.scriptOnly.clear();
    records::releaseAll();
    {
        std::lock_guard<std::mutex> g(pendingMutex());
        c.pending.clear();
    }
    c.activeEventParas.clear();
    c.objectClass = nullptr;
    for (MemPool *p : c.pools) {
        for (void *i : p->items) std::free(i);
        delete p;
    }
    c.pools.clear();
    for (auto *s : c.snapshots) delete s;
    c.snapshots.clear();
}

// ---------------------------------------------------------------------------
// Collection points
// ---------------------------------------------------------------------------
// Class objects and root items live until they are freed by name; every
// other object is garbage once nothing holds it, whoever made it and whether
// or not a script ever saw it. What is made from an object holds it: a
// collection never takes a held instance along with its prototype.
static bool collectable(const HostObject *o) { return !o->isClass && !o->isRootItem; }

void markCandidate(HostObject *o) {
    if (!o || !collectable(o)) return;
    std::lock_guard<std::mutex> g(pendingMutex());
    if (!o->queued) {
        o->queued = true;
        core().pending.push_back(o->seq);
    }
}

int holdCount(const HostObject *o) { return o ? o->lockCount + (o->hasProxy ? 1 : 0) : 0; }

static bool unheld(const HostObject *o) {
    return !o->hasProxy && !o->parent && o->lockCount == 0 && !o->firstInst() && o->state == LifeState::Live &&
           collectable(o);
}

// Held by its script value alone: garbage as soon as the script lets go.
static bool heldByScriptAlone(const HostObject *o) {
    return o->hasProxy && !o->parent && o->lockCount == 0 && !o->firstInst() && o->state == LifeState::Live &&
           collectable(o);
}

// Files a candidate found held by its script value alone (see scriptOnly).
static void noteScriptOnly(HostObject *o) {
    if (o->onScriptList || !heldByScriptAlone(o)) return;
    o->onScriptList = true;
    core().scriptOnly.push_back(o->seq);
}

// Whether a script value may be the last hold of some object: the listed
// objects still held that way (the others leave the list), then the
// candidates not yet looked at. Both locks are held.
static bool scriptMayHoldLast() {
    Core &c = core();
    size_t kept = 0;
    for (uint64_t seq : c.scriptOnly) {
        HostObject *o = c.bySeq.find(seq);
        if (!o) continue;
        if (heldByScriptAlone(o))
            c.scriptOnly[kept++] = seq;
        else
            o->onScriptList = false;
    }
    c.scriptOnly.resize(kept);
    if (kept > 0) return true;
    std::lock_guard<std::mutex> g(pendingMutex());
    for (uint64_t seq : c.pending)
        if (HostObject *o = c.bySeq.find(seq))
            if (heldByScriptAlone(o)) return true;
    return false;
}

// Frees the unheld objects among the listed candidates, oldest first; what
// those frees let go of joins the list and is looked at in the same call.
// A candidate found held leaves the list until it becomes unheld again.
static void freeUnheldCandidates() {
    Core &c = core();
    OpScope scope;
    for (;;) {
        std::vector<uint64_t> batch;
        {
            std::lock_guard<std::mutex> g(pendingMutex());
            batch.swap(c.pending);
        }
        if (batch.empty()) break;
        std::sort(batch.begin(), batch.end());
        {
            std::lock_guard<std::mutex> g(pendingMutex());
            for (uint64_t seq : batch)
                if (HostObject *o = c.bySeq.find(seq)) o->queued = false;
        }
        // Found again by sequence number each time: an earlier free in this
        // batch may have freed or re-held a later one.
        for (uint64_t seq : batch) {
            HostObject *o = c.bySeq.find(seq);
            if (!o) continue;
            if (unheld(o))
                freeObject(o);
            else
                noteScriptOnly(o);
        }
    }
}

void collectGarbage() {
    Core &c = core();
    if (!c.running) return;
    if (holdsScriptLock())
        if (ScriptEngine *e = scriptEngine()) {
            // Only a script value dying can make an object held by nothing
            // but script values garbage: without such objects the script
            // collector has nothing to find for the host.
            if (!holdsHostLock() || e->scriptValuesChanged() || scriptMayHoldLast())
                e->fullCollect();
            else
                e->housekeep();
        }
    if (mayFreeHere()) freeUnheldCandidates();
}

void collectStep() {
    Core &c = core();
    if (!c.running) return;
    ++c.collectSteps;
    if (holdsScriptLock())
        if (ScriptEngine *e = scriptEngine()) e->stepCollect(c.collectSteps);
    if (mayFreeHere()) freeUnheldCandidates();
}

} // namespace tvh
