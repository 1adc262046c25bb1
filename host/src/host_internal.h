// Internals of the stand-in host shared by its three parts: the object model
// (core/), packages, binary buffers and indexes (pkg/), and the Lua script
// engine (script/). The module never sees this header.
#ifndef TVH_HOST_INTERNAL_H
#define TVH_HOST_INTERNAL_H

#include "tarvex_api.h"
#include "tarvex_host.h"
#include "core/records.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_map>
#include <vector>

namespace tvh {

// IDs are random (or a counter in their first word): folding the two halves
// spreads them well enough for a hash table.
struct UuidHash {
    size_t operator()(const VS_UUID &u) const {
        uint64_t a, b;
        std::memcpy(&a, &u, 8);
        std::memcpy(&b, reinterpret_cast<const char *>(&u) + 8, 8);
        uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
        return size_t(h ^ (h >> 31));
    }
};
struct UuidEq {
    bool operator()(const VS_UUID &a, const VS_UUID &b) const { return std::memcmp(&a, &b, sizeof a) == 0; }
};

// ---------------------------------------------------------------------------
// Object model (core/)
// ---------------------------------------------------------------------------
enum class AttrKind : uint8_t { Int32, Bool, Uuid, VString, Int64, ULong, Pointer, Queue };

struct AttrDef {
    std::string name;
    AttrKind kind;
    int offset = 0;
    int size = 0;
    OBJECTATTRIBUTEINDEX index = VS_INVALID_ATTRIBUTEINDEX; // position in the full list
    std::string defaultText;
    bool hasDefault = false;
    bool syncFlag = false;
    std::string queueClass; // for queues: the Class text (may be empty)
};

// A registered class: made from an XML template, or the host's own _Object.
struct ClassLayout {
    std::vector<AttrDef> attrs; // full list, the parent's first (index == position)
    size_t recordSize = 0;      // bytes of the record (the C struct size, aligned)
    std::vector<uint8_t> defaults; // record image with the template defaults
    VS_SYSEVENTPTR handler = nullptr;
    VS_ULONG layer = 0;
    size_t align = 1;                          // largest field alignment (the parent's included)
    // Attribute name -> position in attrs; the keys view the names in attrs,
    // which no longer changes once the layout is built.
    std::unordered_map<std::string_view, size_t> byName;
    // The queue attributes: (offset, position in attrs), in attribute order.
    std::vector<std::pair<int, OBJECTATTRIBUTEINDEX>> queues;
};

struct HostObject;

// A luafunc slot, declared by a template or made on demand.
struct FuncSlot {
    std::string name;
    std::string desc;
    VS_UUID id{};
    VS_LUAFUNCPTR fn = nullptr;
    HostObject *owner = nullptr;
};

// A script function registered by the module with RegLuaFunc.
struct RegFunc {
    std::string name;
    VS_LUAFUNCPTR fn = nullptr;
    VS_UWORD para = 0;
    bool valid = true;
};

// A container made on first use, for what most objects never have: an
// empty box is one pointer. Reading an empty box reads a shared empty
// container, which is never written.
template <class C> class LazyBox {
  public:
    bool empty() const { return !p_ || p_->empty(); }
    size_t size() const { return p_ ? p_->size() : 0; }
    C &get() {
        if (!p_) p_.reset(new C());
        return *p_;
    }
    auto begin() { return view().begin(); }
    auto end() { return view().end(); }
    auto begin() const { return view().begin(); }
    auto end() const { return view().end(); }
    template <class K> auto find(const K &k) { return view().find(k); }
    template <class K> auto find(const K &k) const { return view().find(k); }
    template <class K> size_t count(const K &k) const { return p_ ? p_->count(k) : 0; }
    template <class K> auto &operator[](const K &k) { return get()[k]; }
    template <class V> void push_back(V &&v) { get().push_back(std::forward<V>(v)); }
    template <class... A> void emplace_back(A &&...a) { get().emplace_back(std::forward<A>(a)...); }
    // A copy of the contents (empty for an empty box).
    C copy() const { return p_ ? *p_ : C(); }
    void clear() { p_.reset(); }

  private:
    // Same container for const and non-const readers, so that find() and
    // end() of an empty box compare.
    static C &none() {
        static C *e = new C();
        return *e;
    }
    C &view() const { return p_ ? *p_ : none(); }
    std::unique_ptr<C> p_;
};

// An object's name: one pointer, NULL for the empty name that most objects
// have. Names come from C strings: no zero bytes inside.
class ObjName {
  public:
    ObjName() = default;
    ObjName(const ObjName &) = delete;
    ObjName &operator=(const ObjName &) = delete;
    ~ObjName() { delete[] p_; }
    ObjName &operator=(std::string_view s) {
        char *q = nullptr;
        if (!s.empty()) {
            q = new char[s.size() + 1];
            std::memcpy(q, s.data(), s.size());
            q[s.size()] = 0;
        }
        delete[] p_;
        p_ = q;
        return *this;
    }
    ObjName &operator=(const char *s) { return *this = std::string_view(s ? s : ""); }
    ObjName &operator=(const std::string &s) { return *this = std::string_view(s); }
    const char *c_str() const { return p_ ? p_ : ""; }
    bool empty() const { return p_ == nullptr; }
    std::string str() const { return c_str(); }
    bool operator==(const char *s) const { return std::strcmp(c_str(), s ? s : "") == 0; }

  private:
    char *p_ = nullptr;
};

// Memory of one kind of small object that comes and goes all the time
// (descriptors, packages): blocks given back are kept on a list of the
// thread that gave them back (at most kKeep), and the next new one of that
// thread takes one from there instead of asking the allocator. Under
// AddressSanitizer every block goes back to the allocator, which then still
// sees each use after free.
template <class T, size_t kKeep = 4096> struct ThreadFreeList {
#if defined(__SANITIZE_ADDRESS__)
    static void *take(size_t size) { return ::operator new(size); }
    static void give(void *p) noexcept { ::operator delete(p); }
#else
    struct Node {
        Node *next;
    };
    struct List {
        Node *head = nullptr;
        size_t count = 0;
        ~List() {
            while (head) {
                Node *n = head->next;
                ::operator delete(head);
                head = n;
            }
        }
    };
    static List &list() {
        static thread_local List l;
        return l;
    }
    static void *take(size_t size) {
        List &l = list();
        if (size == sizeof(T) && l.head) {
            Node *n = l.head;
            l.head = n->next;
            --l.count;
            return n;
        }
        return ::operator new(size);
    }
    static void give(void *p) noexcept {
        if (!p) return;
        List &l = list();
        if (l.count >= kKeep) {
            ::operator delete(p);
            return;
        }
        Node *n = static_cast<Node *>(p);
        n->next = l.head;
        l.head = n;
        ++l.count;
    }
#endif
};

enum class LifeState : uint8_t { Live, Freeing, Freed };

struct HostObject {
    // Descriptors come and go with every object (see ThreadFreeList).
    static void *operator new(size_t size);
    static void operator delete(void *p) noexcept;

    void *record = nullptr; // the object handle
    VS_UUID id{};
    uint64_t seq = 0;       // creation order, run-wide
    ObjName name;
    HostObject *cls = nullptr;        // GetClass
    HostObject *registered = nullptr; // first class object met from this object up its class chain

    HostObject *parent = nullptr;
    HostObject *prevSibling = nullptr;
    HostObject *nextSibling = nullptr;
    HostObject *prevInst = nullptr; // on cls's list of instances
    HostObject *nextInst = nullptr;

    void *privPtr = nullptr; // the first private buffer (see privGet), NULL when none

    // Small fields together, so that the descriptor has no holes.
    uint32_t recordCap = 0;   // bytes allocated for the record: layoutEnd, ExtraSize, kRecordSpare
    uint32_t layoutEnd = 0;   // end of the layout (with inherited atomic attributes) at creation
    int lockCount = 0;
    int proxySlot = 0;       // script/: where its latest proxy was filed for a quick push (a hint, checked)
    int pins = 0;            // host frames holding this descriptor across module code (see Pin)
    int scriptRef = -2;      // script/: reference of the object's script side (LUA_NOREF)
    VS_ULONG privLayer = 0;  // key and size of the first private buffer
    VS_ULONG privIndex = 0;
    VS_ULONG privSize = 0;
    OBJECTATTRIBUTEINDEX queueIndex = VS_INVALID_ATTRIBUTEINDEX;
    LifeState state = LifeState::Live;
    bool isClass = false;    // made by XmlToObjectEx (or the host's _Object)
    bool isRootItem = false;
    bool ownerHeld = false;
    bool hasProxy = false;   // a live script proxy exists (kept by script/)
    bool queued = false;     // on the list of candidates to look at (guarded by that list's mutex)
    bool rawContext = false;
    bool onScriptList = false; // on the core's list of objects held by a script value alone
    bool everProxied = false;  // script/: a proxy was made for it once (atomic accesses)

    VS_LUAGETVALUEFUNC getHook = nullptr;
    VS_UWORD getHookPara = 0;
    VS_LUASETVALUEFUNC setHook = nullptr;
    VS_UWORD setHookPara = 0;

    // Function slots, registered script functions, before-change callbacks:
    // few objects have them, so the containers come with the first entry.
    LazyBox<std::map<std::string, std::unique_ptr<FuncSlot>, std::less<>>> slots;
    LazyBox<std::vector<RegFunc>> regFuncs;
    LazyBox<std::vector<std::pair<VS_BEFORECHANGECALLBACK, VS_UWORD>>> beforeChange;

    // Room after the layout and ExtraSize for atomic attributes added later.
    static constexpr uint32_t kRecordSpare = 64;
    // ExtraSize of MallocObjectL, placed after layoutEnd.
    VS_ULONG extraSize() const { return recordCap - layoutEnd - kRecordSpare; }

    // Private buffers, keyed by (layer, index). Objects have one (a module's
    // per-object state) or none: the first is kept in the descriptor's own
    // fields, any others in the rare part.
    struct PrivBuf {
        VS_ULONG layer = 0;
        VS_ULONG index = 0;
        void *ptr = nullptr;
        VS_ULONG size = 0;
    };
    // The buffer and its size; NULL (size untouched) when there is none.
    void *privGet(VS_ULONG layer, VS_ULONG index, VS_ULONG *size) const;
    // Files ptr (not NULL) under the key, in place of what was filed there;
    // FALSE when out of memory (nothing changed).
    bool privSet(VS_ULONG layer, VS_ULONG index, void *ptr, VS_ULONG size);
    // Unfiles the buffer and hands it back; NULL when there was none.
    void *privTake(VS_ULONG layer, VS_ULONG index);
    // Frees every private buffer.
    void freePrivBufs();

    struct QueueEnds {
        HostObject *head = nullptr;
        HostObject *tail = nullptr;
    };
    // Queue ends per queue attribute: a class has few queues, so a short
    // array searched in place beats a tree.
    class QueueMap {
      public:
        using Entry = std::pair<OBJECTATTRIBUTEINDEX, QueueEnds>;
        using iterator = std::vector<Entry>::iterator;
        iterator begin() { return v_.begin(); }
        iterator end() { return v_.end(); }
        iterator find(OBJECTATTRIBUTEINDEX k) {
            for (auto it = v_.begin(); it != v_.end(); ++it)
                if (it->first == k) return it;
            return v_.end();
        }
        QueueEnds &operator[](OBJECTATTRIBUTEINDEX k) {
            auto it = find(k);
            if (it != v_.end()) return it->second;
            v_.emplace_back(k, QueueEnds());
            return v_.back().second;
        }
        void clear() { v_.clear(); }

      private:
        std::vector<Entry> v_;
    };
    // What most objects never have (classes, prototypes, parents, objects
    // with atomic attributes or handlers of their own), apart: made on first
    // use, so that a plain object's descriptor stays small.
    struct Rare {
        std::unique_ptr<ClassLayout> ownLayout;           // class objects only
        std::vector<AttrDef> extraAttrs;                  // CreateAtomicAttribute on this object (inherited)
        QueueMap queues;                                  // children per queue attribute
        VS_SYSEVENTPTR sysEvent = nullptr;                // SetSysEvent
        VS_PARAPKGPTR initPara = nullptr;                 // during event 5 only
        // Objects made from this one, oldest first (a list through the
        // instances themselves: appended at registration, in creation order).
        HostObject *firstInst = nullptr;
        HostObject *lastInst = nullptr;
        std::vector<PrivBuf> privBufs;                                         // beyond the first (privPtr)
        // The class chain above an object that has had instances (set when
        // the first one registers; the chain never changes): its depth,
        // counted from the top, and a jump to an ancestor further up, so
        // that finding the ancestor at a given depth takes log(depth) steps
        // however long the chain (see isInstOf).
        uint32_t depth = 0;
        bool chainKnown = false;
        HostObject *jump = nullptr;
        // What the objects made from this one inherit along its chain, kept
        // for one generation each: the system-event handlers (this object's
        // first, each once), and the end of the atomic attributes added on
        // the chain (0: none). Generation 0: not filled.
        std::vector<VS_SYSEVENTPTR> chainHandlers;
        uint64_t handlersGen = 0;
        size_t extraEnd = 0;
        size_t extraGen = 0;
        // script/: the first object from this one up with script functions,
        // fields or slots of its own, for one resolution generation (0: not
        // filled; guarded by the script lock).
        const HostObject *resolveOwner = nullptr;
        uint64_t ownerGen = 0;
    };
    std::unique_ptr<Rare> rare;
    Rare &more() {
        if (!rare) rare.reset(new Rare());
        return *rare;
    }
    const ClassLayout *ownLayout() const { return rare ? rare->ownLayout.get() : nullptr; }
    VS_SYSEVENTPTR sysEvent() const { return rare ? rare->sysEvent : nullptr; }
    VS_PARAPKGPTR initPara() const { return rare ? rare->initPara : nullptr; }
    HostObject *firstInst() const { return rare ? rare->firstInst : nullptr; }
};

// Registered class layout of an object (the class object's own for classes).
const ClassLayout *layoutOf(const HostObject *o);
// Attribute of the object's registered class, or of an atomic attribute added
// on its class chain; NULL when none.
const AttrDef *findAttr(const HostObject *o, const char *name);
HostObject *lookupById(const VS_UUID *id);
// Whether o was made from cls, directly or up its class chain: a few steps
// for a class, log(depth) steps through the jumps for any other object.
bool isInstOf(const HostObject *cls, const HostObject *o);
// A system-event handler was set or changed on some object: what objects
// inherit along their class chains is looked at again.
void bumpHandlerGen();
// Runs the before-change callbacks for a write through the host; FALSE cancels.
bool runBeforeChange(HostObject *o, const AttrDef &a, VS_INT8 *newValue);
// Resolves an atomic handle, else an object handle (for "AtomicOrObject"
// parameters); NULL when neither.
HostObject *lookupAtomicOrObject(const void *p);
// Atomic handles are non-canonical addresses made from the sequence number:
// never a record, never reused.
constexpr uintptr_t kAtomicTag = uintptr_t(0xA7) << 56;
inline void *atomicOf(const HostObject *o) { return reinterpret_cast<void *>(kAtomicTag | uintptr_t(o->seq)); }
// The registered, not yet released object of an atomic handle; NULL for
// anything else.
HostObject *lookupAtomic(const void *p);
// A live function slot (handles given out by GetAtomicFunctionByName and
// CreateAtomicLuaFunction); NULL for anything else.
FuncSlot *lookupSlot(const void *p);
// Resolution generation: bumped by every change that can alter what a name
// resolves to on some object (luafunc registration and validity, slot binding
// and creation, atomic attributes, class registration, script fields
// holding or shadowing functions). The script engine's resolution cache keeps
// an entry only while the generation it was filled under is current. Get and
// set hooks are no part of it: a read asks the object's hook before any
// cached answer, and no cached answer comes from a hook.
extern std::atomic<uint64_t> g_resolveGen;
inline uint64_t resolveGen() { return g_resolveGen.load(std::memory_order_acquire); }
inline void bumpResolveGen() { g_resolveGen.fetch_add(1, std::memory_order_acq_rel); }
// True while the object created with that sequence number is not yet released.
bool seqAlive(uint64_t seq);

// The host's own base class _Object and its fixed class ID.
extern const VS_UUID kObjectClassID;
HostObject *objectClass();

// Host-level reports.
void reportException(const char *text);                                   // except handler or stderr
void recordError(int level, const char *source, int line, const char *text); // ProcessError log

// Statistics of tarvex_host.h; counters are atomic. LiveObjects is
// counted by the core itself.
struct StatCounters {
    std::atomic<int64_t> UnlockAtZero{0}, InvalidObjects{0}, LockViolations{0}, RecursiveLocks{0};
    std::atomic<int64_t> LivePackages{0}, LiveBinBufs{0};
};
// (Named counters(): the driver API's stats() in tarvex_host.h returns a
// HostStats snapshot, and C++ cannot overload on the return type alone.)
StatCounters &counters();

// Live object for a handle; NULL for NULL, freed or unknown pointers (unknown
// non-NULL handles count InvalidObjects). Objects in events 27/6 are found.
// Inline: the module turns handles into objects thousands of times per step.
inline HostObject *lookup(const void *object) {
    if (!object) return nullptr;
    HostObject *o = records::ownerOf(object);
    if (__builtin_expect(!o, 0)) counters().InvalidObjects++;
    return o;
}

// Whether the calling thread owns the host lock ([0]) / the script lock ([1]);
// kept by locks.cpp on every hand-over, read on every host call.
inline bool *lockOwnership() {
    static thread_local bool owns[2] = {false, false};
    return owns;
}
// Lock checks: count a violation when the caller lacks the host lock / the
// script lock. Nothing is refused.
inline void checkHostLock() {
    if (__builtin_expect(!lockOwnership()[0], 0)) counters().LockViolations++;
}
inline void checkScriptLock() {
    if (__builtin_expect(!lockOwnership()[1], 0)) counters().LockViolations++;
}
inline bool holdsHostLock() { return lockOwnership()[0]; }
inline bool holdsScriptLock() { return lockOwnership()[1]; }

// Collection point: full script collection, then frees unheld candidates
// when frees may happen here (see mayFreeHere).
void collectGarbage();
// Dispatch's collection point: an incremental script step, then the same frees.
void collectStep();
// Puts an object that may have become unheld (its last GC lock or the
// creator's ownership given up, detached from its queue, its last proxy
// collected) on the list of candidates that the next collection point looks
// at; class objects and root items never go on it.
void markCandidate(HostObject *o);
// What holds an object as GetRefEx counts it: GC locks (the creation lock
// included), plus one while a script value holds it; 0 for NULL.
int holdCount(const HostObject *o);
// Automatic frees happen only on the main thread (the one that started the
// host), holding both locks, while no call by name runs on any thread.
bool mayFreeHere();
bool onMainThread();
// Module-to-script calls by name (ExecNameScript, ScriptCall) in progress on
// all threads; frees found meanwhile wait for a collection point outside them.
struct CallByNameScope {
    CallByNameScope();
    ~CallByNameScope();
    CallByNameScope(const CallByNameScope &) = delete;
    CallByNameScope &operator=(const CallByNameScope &) = delete;
};
int callsByNameInProgress();

// The service interface singleton (core/).
ClassOfXRQInterfaceHost *service();

// ---------------------------------------------------------------------------
// Packages, binary buffers, indexes (pkg/)
// ---------------------------------------------------------------------------
VS_PARAPKGPTR newParaPkg();                 // one reference
ClassOfXRQBinBufInterface *newBinBuf();     // one reference
bool isParaPkg(const void *p);              // a live package made by newParaPkg
bool isBinBuf(const void *p);

namespace idx {
void destroy(void *index);
void delAll(void *index);
VS_ULONG count(void *index);
void *createID();
VS_BOOL insertID(void *index, const VS_UUID *key, void *value);
void *findID(void *index, const VS_UUID *key);
void *delID(void *index, const VS_UUID *key);
void *firstID(void *index, VS_UUID *keyOut);
void *nextID(void *index, VS_UUID *keyOut);
void *createInt(VS_INT32 keyNumber);
VS_BOOL insertInt(void *index, int nkeys, const VS_UWORD *keys, void *value);
void *findInt(void *index, int nkeys, const VS_UWORD *keys);
void *delInt(void *index, int nkeys, const VS_UWORD *keys);
void *firstInt(void *index, int nkeys, VS_UWORD *keysOut);
void *nextInt(void *index, int nkeys, VS_UWORD *keysOut);
void *createIDEx();
VS_BOOL insertIDEx(void *index, const VS_UUID *key, VS_UWORD extra, void *value);
void *findIDEx(void *index, const VS_UUID *key, VS_UWORD extra);
void *delIDEx(void *index, const VS_UUID *key, VS_UWORD extra);
void *firstIDEx(void *index, VS_UUID *keyOut, VS_UWORD *extraOut);
void *nextIDEx(void *index, VS_UUID *keyOut, VS_UWORD *extraOut);
void *createString(VS_INT32 maxKeyLength);
VS_BOOL insertString(void *index, const char *key, void *value);
void *findString(void *index, const char *key);
void *delString(void *index, const char *key);
void *firstString(void *index, const char **keyOut);
void *nextString(void *index, const char **keyOut);
} // namespace idx

// ---------------------------------------------------------------------------
// Script engine (script/). The core forwards the script operations of the
// service and control interfaces to the engine installed here; without one
// they act on nothing and return 0 / NULL.
// ---------------------------------------------------------------------------
class ScriptEngine {
  public:
    virtual ~ScriptEngine() {}
    // Stack, calls, registrations: same meaning as on ClassOfXRQInterface.
    virtual VS_INT32 LuaGetTop() = 0;
    virtual VS_INT32 LuaType(VS_INT32 Index) = 0;
    virtual void LuaPop(VS_INT32 N) = 0;
    virtual void LuaInsert(VS_INT32 Index) = 0;
    virtual void *LuaToObject(VS_INT32 Index) = 0;
    virtual VS_INT32 LuaToInt(VS_INT32 Index) = 0;
    virtual VS_INT64 LuaToInt64(VS_INT32 Index) = 0;
    virtual VS_DOUBLE LuaToNumber(VS_INT32 Index) = 0;
    virtual VS_BOOL LuaToBool(VS_INT32 Index) = 0;
    virtual const VS_CHAR *LuaToString(VS_INT32 Index) = 0;
    virtual const VS_CHAR *LuaToLString(VS_INT32 Index, VS_INT32 *Length) = 0;
    virtual VS_PARAPKGPTR LuaToParaPkg(VS_INT32 Index) = 0;
    virtual ClassOfXRQBinBufInterface *LuaToBinBuf(VS_INT32 Index) = 0;
    virtual VS_UWORD LuaToUWord(VS_INT32 Index) = 0;
    virtual VS_INT32 LuaUpValueIndex(VS_INT32 N) = 0;
    virtual void LuaPushInt(VS_INT32 Value) = 0;
    virtual void LuaPushInt64(VS_INT64 Value) = 0;
    virtual void LuaPushNumber(VS_DOUBLE Value) = 0;
    virtual void LuaPushBool(VS_BOOL Value) = 0;
    virtual void LuaPushString(const VS_CHAR *Value) = 0;
    virtual void LuaPushLString(const VS_CHAR *Value, VS_INT32 Length) = 0;
    virtual void LuaPushNil() = 0;
    virtual void LuaPushObject(void *Object) = 0;
    virtual void LuaPushParaPkg(VS_PARAPKGPTR Pkg, VS_BOOL Owned) = 0;
    virtual void LuaPushBinBuf(ClassOfXRQBinBufInterface *Buf, VS_BOOL Owned) = 0;
    virtual VS_BOOL ExecNameScript(void *Object, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes) = 0;
    virtual VS_UWORD ScriptCallV(void *Object, VS_BOOL *Ok, const VS_CHAR *Name, const VS_CHAR *TypeText,
                                 va_list Args) = 0;
    virtual void *LuaIsFunctionDefined(void *Object, const VS_CHAR *Name, VS_BOOL SearchClassChain) = 0;
    virtual VS_INT32 GetLastError() = 0;
    virtual const VS_CHAR *GetLastErrorInfo(VS_ULONG *LineIndex, const VS_CHAR **SourceName) = 0;

    // Driver: run a chunk / a file (arg table from args) on the calling
    // thread's stack; FALSE with the message (source:line: text) on error.
    virtual bool runChunk(const char *code, size_t length, const char *chunkName, std::string *error) = 0;
    virtual bool runFile(const char *path, const std::vector<std::string> &args, std::string *error) = 0;

    // Hooks from the core.
    virtual void onClassRegistered(HostObject *cls) = 0; // make the class global
    virtual void onObjectFreed(HostObject *o) = 0;       // drop its script side; proxies become dead
    virtual void fullCollect() = 0;                      // full Lua collection
    // Whether a script value made since the last full collection (an object's
    // proxy, a package or buffer value), or any package or buffer value, is
    // still uncollected: then a collection point collects in full, so that
    // what scripts let go of stops counting as held (GetRefEx, package
    // references) as it always did.
    virtual bool scriptValuesChanged() = 0;
    // What a collection point does on the script side otherwise: pending
    // cleanups only, no collection.
    virtual void housekeep() = 0;
    virtual void stepCollect(uint64_t step) = 0;         // one incremental Lua step (the step's number)
    virtual bool runOnePosted() = 0;                     // one _Post message; FALSE when none
    virtual void detachCurrentThread() = 0;
    virtual void shutdown() = 0;                         // before the core releases the objects
    // "source:line" of the calling thread's running script call, "" outside one.
    virtual std::string scriptWhere() { return std::string(); }
};
extern std::atomic<ScriptEngine *> g_scriptEngine;
inline ScriptEngine *scriptEngine() { return g_scriptEngine.load(std::memory_order_acquire); }
void setScriptEngine(ScriptEngine *engine); // the engine is owned by the caller
// Made by script/; start() calls it (the core declares it weak so that it
// links and runs without a script engine).
ScriptEngine *createScriptEngine();

} // namespace tvh

#endif
