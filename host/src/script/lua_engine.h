// The stand-in host's script engine on Lua 5.4: internals shared by the
// engine proper (lua_engine.cpp) and the script-facing built-ins
// (lua_builtins.cpp).
//
// Error discipline: Debian's liblua5.4 is C, so a Lua error is a longjmp. A
// function that may raise one (lua_error, luaL_error, lua_call, luaL_check*)
// only runs in frames whose locals are trivially destructible; code holding
// C++ resources calls Lua through lua_pcall and hands the failure back to a
// plain frame that re-raises it.
#ifndef TVH_SCRIPT_LUA_ENGINE_H
#define TVH_SCRIPT_LUA_ENGINE_H

#include "host_internal.h"

#include <lua.hpp>

#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tvh {
namespace script {

// Full userdata behind an object value. One per object at a time, so that
// == is identity; obj is NULL once the object is freed (a dead proxy).
//
// Each proxy also remembers the last function its __index answered for a
// name (user value 1: the function, user value 2: the name string, kept
// alive so that its address stands for it). The memo holds under
// exactly the resolution cache's conditions: same object, resolution
// generation unchanged, and the object has entries of its own or not as it
// had (a first entry on an object nothing is made from starts no new
// generation); an object with a get hook asks its hook first and uses the
// memo only when the hook declines.
struct Proxy {
    HostObject *obj;
    void *record;
    int slot; // its entry in the engine's proxy slot table, held until __gc
    const void *memoKey; // identity of user value 2; NULL: no memo
    uint64_t memoSeq;
    uint64_t memoGen;
    bool memoOwn; // the object had entries of its own
};
enum { kProxyMemoFn = 1, kProxyMemoName = 2, kProxyUserValues = 2 };

// Full userdata behind a package or a binary buffer value: one counted
// reference each, released by __gc.
struct PkgBox {
    VS_PARAPKGPTR pkg;
};
struct BinBox {
    ClassOfXRQBinBufInterface *buf;
};

// Per OS thread: its own Lua thread (anchored in the registry), the stack the
// thread's host calls act on, and its last script error.
struct ThreadState {
    lua_State *T = nullptr;
    int ref = LUA_NOREF;
    lua_State *cur = nullptr; // current stack: T, or the stack of the running luafunc / hook
    int depth = 0;            // script calls of this thread in progress

    int lastError = 0;
    bool hasErrInfo = false;
    std::string errText;
    std::string errSource;
    VS_ULONG errLine = 0;
    std::string errTrace; // the failing call's stack traceback, "" when none was taken

    // Filled by the message handler while the failing call is still on the stack.
    bool pendValid = false;
    std::string pendSource;
    VS_ULONG pendLine = 0;
    size_t pendStrip = 0; // length of a leading "source:line: " of the message
    std::string pendTrace;

    std::string callBuf; // text results of ScriptCall
    uint64_t gen = 0;
    int postedDepth = 0; // posted messages running on this thread
};

// Trivially destructible per-thread copy of the thread's state pointer and the
// engine generation it belongs to (a local static: no TLS wrapper calls).
struct FastTs {
    ThreadState *st;
    uint64_t gen;
};
inline FastTs &fastTs() {
    static thread_local FastTs f{nullptr, 0};
    return f;
}

// Set while the engine goes (stop()): a thread that gives up the locks in
// _Yield does not take them back and never runs script code again. So a
// module's worker thread still in a script that its module gave up waiting
// for stays where it is, holding nothing, until the process ends.
inline std::atomic<bool> &scriptsEnding() {
    static std::atomic<bool> ending{false};
    return ending;
}

class LuaEngine : public ScriptEngine {
  public:
    LuaEngine();
    ~LuaEngine() override;

    // ---- ScriptEngine ----
    VS_INT32 LuaGetTop() override;
    VS_INT32 LuaType(VS_INT32 Index) override;
    void LuaPop(VS_INT32 N) override;
    void LuaInsert(VS_INT32 Index) override;
    void *LuaToObject(VS_INT32 Index) override;
    VS_INT32 LuaToInt(VS_INT32 Index) override;
    VS_INT64 LuaToInt64(VS_INT32 Index) override;
    VS_DOUBLE LuaToNumber(VS_INT32 Index) override;
    VS_BOOL LuaToBool(VS_INT32 Index) override;
    const VS_CHAR *LuaToString(VS_INT32 Index) override;
    const VS_CHAR *LuaToLString(VS_INT32 Index, VS_INT32 *Length) override;
    VS_PARAPKGPTR LuaToParaPkg(VS_INT32 Index) override;
    ClassOfXRQBinBufInterface *LuaToBinBuf(VS_INT32 Index) override;
    VS_UWORD LuaToUWord(VS_INT32 Index) override;
    VS_INT32 LuaUpValueIndex(VS_INT32 N) override;
    void LuaPushInt(VS_INT32 Value) override;
    void LuaPushInt64(VS_INT64 Value) override;
    void LuaPushNumber(VS_DOUBLE Value) override;
    void LuaPushBool(VS_BOOL Value) override;
    void LuaPushString(const VS_CHAR *Value) override;
    void LuaPushLString(const VS_CHAR *Value, VS_INT32 Length) override;
    void LuaPushNil() override;
    void LuaPushObject(void *Object) override;
    void LuaPushParaPkg(VS_PARAPKGPTR Pkg, VS_BOOL Owned) override;
    void LuaPushBinBuf(ClassOfXRQBinBufInterface *Buf, VS_BOOL Owned) override;
    VS_BOOL ExecNameScript(void *Object, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes) override;
    VS_UWORD ScriptCallV(void *Object, VS_BOOL *Ok, const VS_CHAR *Name, const VS_CHAR *TypeText,
                         va_list Args) override;
    void *LuaIsFunctionDefined(void *Object, const VS_CHAR *Name, VS_BOOL SearchClassChain) override;
    VS_INT32 GetLastError() override;
    const VS_CHAR *GetLastErrorInfo(VS_ULONG *LineIndex, const VS_CHAR **SourceName) override;
    bool runChunk(const char *code, size_t length, const char *chunkName, std::string *error) override;
    bool runFile(const char *path, const std::vector<std::string> &args, std::string *error) override;
    void onClassRegistered(HostObject *cls) override;
    void onObjectFreed(HostObject *o) override;
    void fullCollect() override;
    void housekeep() override;
    bool scriptValuesChanged() override { return valuesMade_ != valuesMadeAtFull_ || liveBoxes_ > 0; }
    // Package and buffer values: made, and finalized (their __gc).
    void boxMade() {
        ++valuesMade_;
        ++liveBoxes_;
    }
    void boxFinalized() { --liveBoxes_; }
    void stepCollect(uint64_t step) override;
    bool runOnePosted() override;
    void detachCurrentThread() override;
    void shutdown() override;
    std::string scriptWhere() override; // script_where.cpp

    // ---- used by the metamethods and built-ins ----
    // The calling thread's state, made on first use.
    ThreadState *ts() {
        FastTs &f = fastTs();
        if (f.st && f.gen == gen_) return f.st;
        return tsSlow();
    }
    lua_State *mainState() const { return L0_; }

    // Value kinds of our userdata (metatable identity).
    enum UdKind { UdNone, UdObject, UdPkg, UdBin };
    UdKind udKind(lua_State *L, int idx) const;
    // The live object of a value; NULL for anything else or a dead proxy.
    HostObject *toHostObject(lua_State *L, int idx) const;

    void pushObject(lua_State *L, HostObject *o);
    // The same on a stack already known to have 4 free slots.
    void pushObjectRoomy(lua_State *L, HostObject *o);
    // Pushes o's live proxy from the proxy slots table at slotsIdx; FALSE
    // (nothing pushed) when o has none there.
    bool pushFromSlots(lua_State *L, int slotsIdx, HostObject *o);
    void pushPkg(lua_State *L, VS_PARAPKGPTR pkg, bool owned);
    void pushBin(lua_State *L, ClassOfXRQBinBufInterface *buf, bool owned);

    // Name resolution, the functions-and-fields step: pushes what is
    // found and returns the object X where it was found; NULL (nothing
    // pushed) when absent. callableOnly: only functions and bound luafuncs.
    // keyIdx: absolute stack index of name as a Lua string, when at hand.
    HostObject *findMember(lua_State *L, HostObject *o, const char *name, bool callableOnly, bool chain,
                           bool push, int keyIdx = 0);
    // Name resolution of a function through the resolution cache: pushes
    // what findMember would push and returns X. anyValue: the object-read
    // rule (the first entry found wins, function or not); else callable
    // entries only. Only function answers are cached.
    HostObject *resolve(lua_State *L, HostObject *o, const char *name, size_t len, bool anyValue, int keyIdx = 0) {
        if (HostObject *x = pushCached(L, o, name, len, anyValue)) return x;
        return resolveSlow(L, o, name, len, anyValue, keyIdx);
    }
    // Answers are shared by every object that has no entries of its own: the
    // key is the first object up the class chain with functions, fields or
    // slots of its own (a data object and its type share their class's
    // answers), so the cache holds however many objects are in use. An
    // object gaining its first entry bumps the resolution generation.
    static bool hasOwnEntries(const HostObject *x) {
        return x->scriptRef > 0 || !x->slots.empty() || !x->regFuncs.empty();
    }
    static const HostObject *resolveOwner(const HostObject *o) {
        const HostObject *x = o;
        for (int i = 0; x && i < kNearOwner; ++i, x = x->cls)
            if (hasOwnEntries(x)) return x;
        return x ? resolveOwnerFar(x) : nullptr;
    }
    // Steps walked before the answer kept on the chain is asked (see
    // resolveOwnerFar): chains are short, but a prototype chain may be any
    // length.
    static constexpr int kNearOwner = 8;
    static const HostObject *resolveOwnerFar(const HostObject *x);
    HostObject *pushCached(lua_State *L, HostObject *o, const char *name, size_t len, bool anyValue) {
        const HostObject *k = resolveOwner(o);
        if (!k) return nullptr;
        const ResolveEntry &e = rcache_[cacheSlot(k->seq, name, anyValue)];
        if (e.seq != k->seq || e.gen != resolveGen() || e.anyValue != anyValue || e.name.size() != len)
            return nullptr;
        const char *n = e.name.data();
        for (size_t i = 0; i < len; ++i) // names are short: no library call
            if (n[i] != name[i]) return nullptr;
        lua_rawgeti(L, LUA_REGISTRYINDEX, e.fnRef);
        return e.x;
    }
    // The same for a C text (callable entries only), without measuring it first.
    HostObject *pushCachedC(lua_State *L, HostObject *o, const char *name) {
        const HostObject *k = resolveOwner(o);
        if (!k) return nullptr;
        const ResolveEntry &e = rcache_[cacheSlot(k->seq, name, false)];
        if (e.seq != k->seq || e.gen != resolveGen() || e.anyValue) return nullptr;
        const char *n = e.name.c_str(); // no zero byte inside: it came from a C text too, or differs
        size_t i = 0;
        for (; n[i]; ++i)
            if (n[i] != name[i]) return nullptr;
        if (name[i] || i != e.name.size()) return nullptr;
        lua_rawgeti(L, LUA_REGISTRYINDEX, e.fnRef);
        return e.x;
    }
    HostObject *resolveSlow(lua_State *L, HostObject *o, const char *name, size_t len, bool anyValue, int keyIdx);
    // Drops cached answers that are stale or belong to released objects, so
    // that they keep no function (and what it holds) from being collected.
    void purgeResolveCache(bool all);
    // The same for the proxies' one-entry memos.
    void purgeProxyMemos();

    // Pushes the script side table of o (its fields); creates it when asked.
    bool pushSide(lua_State *L, HostObject *o, bool create);

    // Called by a proxy's __gc.
    void proxyCollected(Proxy *p);
    // Also called by __gc, dead proxies included: the slot number may be reused.
    void releaseProxySlot(Proxy *p) {
        if (p->slot > 0) freeSlots_.push_back(p->slot);
        p->slot = 0;
    }

    // Error bookkeeping around protected calls.
    void commitError(ThreadState *t, lua_State *L, int status);
    // Builds "source:line: text" of the committed error for the driver.
    std::string lastErrorMessage(ThreadState *t) const;

    // Protected call with the engine's message handler on stack L; the
    // function and its nargs arguments are on top. Records the error.
    int pcallRecorded(ThreadState *t, lua_State *L, int nargs, int nres);

    // _Post queue (guarded by the script lock).
    void post(lua_State *L, int first, int last);

    void registerBuiltins(lua_State *L);
    void registerThreadBuiltins(lua_State *L); // lua_threads.cpp
    // Waits for the threads started with _Thread (at shutdown).
    void waitHostThreads();

    static LuaEngine *instance();

    // Script-side cleanup of frees made by threads without the script lock.
    void drainDeferred(lua_State *L) {
        if (hasDeferred_.load(std::memory_order_acquire)) drainDeferredSlow(L);
    }

  private:
    // Direct-mapped cache of resolved functions, keyed by the sequence number
    // (never reused) of the object's resolveOwner, the name (hashed by the address of its
    // text: interned Lua strings and the module's literals keep theirs; the
    // text itself is compared) and the mode. An entry holds a registry
    // reference to the function and is valid while its generation is current.
    struct ResolveEntry {
        uint64_t seq = 0; // 0: empty
        uint64_t gen = 0;
        HostObject *x = nullptr;
        int fnRef = LUA_NOREF;
        bool anyValue = false;
        std::string name;
    };
    static constexpr size_t kResolveSlots = 1024;
    static size_t cacheSlot(uint64_t seq, const char *name, bool anyValue) {
        uint64_t h = seq * 0x9E3779B97F4A7C15ull ^ ((uint64_t)(uintptr_t)name >> 3) ^ (anyValue ? 0x2545F491u : 0u);
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9ull;
        return (size_t)(h >> 54) & (kResolveSlots - 1);
    }
    std::vector<ResolveEntry> rcache_ = std::vector<ResolveEntry>(kResolveSlots);

    struct DeferredFree {
        void *record;
        int scriptRef;
        std::vector<FuncSlot *> slots;
    };
    void drainDeferredSlow(lua_State *L);
    void cleanupFreed(lua_State *L, void *record, int scriptRef, const std::vector<FuncSlot *> &slots);
    ThreadState *makeThreadState();
    ThreadState *tsSlow();
    void destroyThreadState(ThreadState *t);
    void reapOrphans();

    lua_State *L0_ = nullptr;
    uint64_t gen_ = 0;
    int proxiesRef_ = LUA_NOREF; // weak-valued: record address -> proxy
    int slotFnRef_ = LUA_NOREF;  // FuncSlot address -> cached closure
    // Weak-valued array of proxies, so that pushing an object's proxy again is
    // an array read rather than a hash lookup. Numbers are handed out per
    // proxy and come back at its finalization (guarded by the script lock).
    int proxySlotsRef_ = LUA_NOREF;
    int nextProxySlot_ = 0;
    std::vector<int> freeSlots_;
    // Script values made (proxies, package and buffer values), the count at
    // the last full collection, and package and buffer values not yet
    // finalized (all under the script lock).
    uint64_t valuesMade_ = 0;
    // What can leave the resolution cache or the proxies' memos holding a
    // stale function: a new resolution generation, a freed object that may
    // own cached answers, a proxy with a memo that died with its object.
    // Without any of them since the last full collection, its purges would
    // find nothing.
    uint64_t purgedGen_ = 0;
    std::atomic<bool> ownerFreed_{true};
    std::atomic<bool> memoOrphaned_{true};
    uint64_t valuesMadeAtFull_ = 0;
    int64_t liveBoxes_ = 0;
    const void *objMeta_ = nullptr;
    const void *pkgMeta_ = nullptr;
    const void *binMeta_ = nullptr;
    int objMetaRef_ = LUA_NOREF, pkgMetaRef_ = LUA_NOREF, binMetaRef_ = LUA_NOREF;
    // proxyOf_ is also reached by FreeObject on threads holding only the host lock.
    std::mutex proxyMu_;
    std::unordered_map<HostObject *, Proxy *> proxyOf_;
    std::mutex deferMu_;
    std::vector<DeferredFree> deferred_;
    std::atomic<bool> hasDeferred_{false};
    std::vector<ThreadState *> threads_;
    // Posted messages: those a dispatch may run, and those posted by a
    // running message, which wait until a dispatch has found no work.
    std::deque<int> posted_;
    std::deque<int> postedNext_;

  public:
    int objMetaRef() const { return objMetaRef_; }
    int pkgMetaRef() const { return pkgMetaRef_; }
    int binMetaRef() const { return binMetaRef_; }
    void setMetas(int objRef, int pkgRef, int binRef);
};

// Raises a script error "source:line: text" (location of the innermost Lua
// function). Only for frames with trivially destructible locals.
int raisef(lua_State *L, const char *fmt, ...);

// Lua value -> package item at position i (insert rule of packages); itemType < 0: by the
// value's kind. Returns 1 inserted, 0 refused by the package, -1 the value has
// no item form (message in err).
int storeItem(lua_State *L, VS_PARAPKGPTR pkg, int i, int valueIdx, int itemType, char *err, size_t errLen);
// Pushes item i of a package as a Lua value.
void pushItem(lua_State *L, VS_PARAPKGPTR pkg, int i);

// ---- shared by the engine's source files ----
extern LuaEngine *g_engine; // the running engine, NULL when none

inline bool validIndex(lua_State *L, int idx) {
    if (idx > 0) return idx <= lua_gettop(L);
    if (idx == 0) return false;
    if (idx > LUA_REGISTRYINDEX) return -idx <= lua_gettop(L);
    return true; // registry or an up-value pseudo-index
}

// For the readers: past the top Lua itself answers "none" to a positive
// index, so only a negative one needs the depth check.
inline bool readableIndex(lua_State *L, int idx) { return idx > 0 || validIndex(L, idx); }

inline bool isStackIndex(lua_State *L, int idx) {
    return idx > LUA_REGISTRYINDEX && validIndex(L, idx);
}

// int64 from a float, truncated toward zero and saturated (casting an out of
// range double is undefined).
inline int64_t truncSat(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return (int64_t)d;
}

inline VS_INT64 toInt64(lua_State *L, int idx) {
    switch (lua_type(L, idx)) {
    case LUA_TNUMBER: {
        int exact = 0;
        lua_Integer v = lua_tointegerx(L, idx, &exact); // integers, and floats with an integral value
        if (exact) return (VS_INT64)v;
        return truncSat(lua_tonumber(L, idx));
    }
    case LUA_TBOOLEAN:
        return lua_toboolean(L, idx) ? 1 : 0;
    default:
        return 0;
    }
}

// Narrows what Lua's own libraries let scripts do to the host's values
// (lua_guard.cpp); called once, after the standard libraries are opened.
void guardScriptLibraries(lua_State *L);

// Message handler of protected calls: remembers where the error happened.
int msgHandler(lua_State *L);
// Luafunc trampolines: a bound slot (upvalue 1 its FuncSlot) and a function
// registered with RegLuaFunc.
int slotTrampoline(lua_State *L);
void pushRegClosure(lua_State *L, const RegFunc &rf);
// The object metatable's methods.
int objIndex(lua_State *L);
int objNewIndex(lua_State *L);
int objCall(lua_State *L);
int objToString(lua_State *L);
int objGc(lua_State *L);

} // namespace script
} // namespace tvh

#endif
