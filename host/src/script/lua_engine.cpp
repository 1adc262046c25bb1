// The script engine: per-thread Lua stacks, proxies of objects, name
// resolution on objects, and what the core and the driver ask of it (running
// chunks, frees, collections, posted messages). The object metatable is in
// lua_object.cpp, the host's stack operations in lua_stack.cpp, calls by name
// and the luafunc trampolines in lua_calls.cpp.
#include "lua_engine.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tvh {
namespace script {

LuaEngine *g_engine = nullptr;

namespace {

// Thread-end bookkeeping: a thread that ends leaves its script state to be
// reclaimed at the next collection point (under the script lock).
std::mutex g_orphanMutex;
uint64_t g_liveGen = 0; // generation of the running engine, 0 when none
std::vector<ThreadState *> g_orphans;
uint64_t g_genCounter = 0;

struct TlsSlot {
    ThreadState *st = nullptr;
    uint64_t gen = 0;
    ~TlsSlot() {
        if (!st) return;
        std::lock_guard<std::mutex> g(g_orphanMutex);
        if (gen == g_liveGen) g_orphans.push_back(st);
        st = nullptr;
    }
};
thread_local TlsSlot t_slot;

} // namespace

LuaEngine *LuaEngine::instance() { return g_engine; }

LuaEngine::LuaEngine() {
    scriptsEnding().store(false);
    L0_ = luaL_newstate();
    luaL_openlibs(L0_);
    guardScriptLibraries(L0_);
    lua_atpanic(L0_, [](lua_State *L) -> int {
        const char *m = lua_tostring(L, -1);
        fprintf(stderr, "tarvex: unprotected script error: %s\n", m ? m : "?");
        fflush(stderr);
        abort();
        return 0;
    });
    {
        std::lock_guard<std::mutex> g(g_orphanMutex);
        gen_ = ++g_genCounter;
        g_liveGen = gen_;
    }
    g_engine = this;

    lua_State *L = L0_;
    // record address -> proxy, weak values: a proxy lives as long as scripts hold it
    lua_newtable(L);
    lua_newtable(L);
    lua_pushliteral(L, "v");
    lua_setfield(L, -2, "__mode");
    lua_setmetatable(L, -2);
    proxiesRef_ = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_newtable(L);
    lua_newtable(L);
    lua_pushliteral(L, "v");
    lua_setfield(L, -2, "__mode");
    lua_setmetatable(L, -2);
    proxySlotsRef_ = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_newtable(L);
    slotFnRef_ = luaL_ref(L, LUA_REGISTRYINDEX);

    // object proxies
    lua_newtable(L);
    lua_pushcfunction(L, objIndex);
    lua_setfield(L, -2, "__index");
    lua_pushcfunction(L, objNewIndex);
    lua_setfield(L, -2, "__newindex");
    lua_pushcfunction(L, objCall);
    lua_setfield(L, -2, "__call");
    lua_pushcfunction(L, objToString);
    lua_setfield(L, -2, "__tostring");
    lua_pushcfunction(L, objGc);
    lua_setfield(L, -2, "__gc");
    lua_pushliteral(L, "object");
    lua_setfield(L, -2, "__name");
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "__metatable");
    objMeta_ = lua_topointer(L, -1);
    objMetaRef_ = luaL_ref(L, LUA_REGISTRYINDEX);

    registerBuiltins(L); // package and binary buffer metatables, the _ globals
    ThreadState *t = ts(); // the main thread's stack
    (void)t;
}

LuaEngine::~LuaEngine() { shutdown(); }

void LuaEngine::setMetas(int objRef, int pkgRef, int binRef) {
    (void)objRef;
    pkgMetaRef_ = pkgRef;
    binMetaRef_ = binRef;
    lua_rawgeti(L0_, LUA_REGISTRYINDEX, pkgRef);
    pkgMeta_ = lua_topointer(L0_, -1);
    lua_rawgeti(L0_, LUA_REGISTRYINDEX, binRef);
    binMeta_ = lua_topointer(L0_, -1);
    lua_pop(L0_, 2);
}

void LuaEngine::shutdown() {
    if (!L0_) return;
    waitHostThreads(); // they run script code until they end
    // Any other thread still in a script stops at its next _Yield; one that
    // runs script code now is waited for by taking the locks.
    scriptsEnding().store(true);
    bool tookScript = !holdsScriptLock(), tookHost = !holdsHostLock();
    if (tookScript) control()->CaptureScriptGIL();
    if (tookHost) service()->XRQLock();
    {
        std::lock_guard<std::mutex> g(g_orphanMutex);
        g_liveGen = 0;
        g_orphans.clear(); // all of them are in threads_ too
    }
    // Proxies die with the state: their objects are released by the core.
    for (auto &kv : proxyOf_) {
        kv.second->obj = nullptr;
        kv.first->hasProxy = false;
    }
    proxyOf_.clear();
    posted_.clear();
    postedNext_.clear();
    for (ResolveEntry &e : rcache_) e = ResolveEntry(); // their references die with the state
    lua_State *L = L0_;
    L0_ = nullptr; // finalizers running in lua_close see a closed engine
    lua_close(L);
    freeSlots_.clear();
    nextProxySlot_ = 0;
    for (ThreadState *t : threads_) delete t;
    threads_.clear();
    if (t_slot.gen == gen_) t_slot.st = nullptr;
    fastTs() = FastTs{nullptr, 0};
    if (g_engine == this) g_engine = nullptr;
    if (tookHost) service()->XRQUnLock();
    if (tookScript) control()->ReleaseScriptGIL();
}

// ---- per-thread state ----
ThreadState *LuaEngine::tsSlow() {
    TlsSlot &s = t_slot;
    if (!s.st || s.gen != gen_) makeThreadState();
    fastTs() = FastTs{s.st, gen_};
    return s.st;
}

ThreadState *LuaEngine::makeThreadState() {
    ThreadState *t = new ThreadState();
    t->gen = gen_;
    t_slot.st = t;
    t_slot.gen = gen_;
    threads_.push_back(t);
    if (L0_) {
        t->T = lua_newthread(L0_);
        t->ref = luaL_ref(L0_, LUA_REGISTRYINDEX);
    } else {
        t->T = nullptr;
    }
    t->cur = t->T;
    return t;
}

void LuaEngine::destroyThreadState(ThreadState *t) {
    if (L0_ && t->ref != LUA_NOREF) luaL_unref(L0_, LUA_REGISTRYINDEX, t->ref);
    for (size_t i = 0; i < threads_.size(); ++i)
        if (threads_[i] == t) {
            threads_.erase(threads_.begin() + (long)i);
            break;
        }
    if (t_slot.st == t) t_slot.st = nullptr;
    if (fastTs().st == t) fastTs() = FastTs{nullptr, 0};
    delete t;
}

void LuaEngine::reapOrphans() {
    std::vector<ThreadState *> dead;
    {
        std::lock_guard<std::mutex> g(g_orphanMutex);
        dead.swap(g_orphans);
    }
    for (ThreadState *t : dead) destroyThreadState(t);
}

void LuaEngine::detachCurrentThread() {
    TlsSlot &s = t_slot;
    if (!s.st || s.gen != gen_) return;
    ThreadState *t = s.st;
    if (!holdsScriptLock()) {
        // Its Lua thread may only be released under the script lock: it goes
        // to the next collection point like a thread that ended.
        counters().LockViolations++;
        reportException("DetachCurrentThread: the calling thread does not hold the script lock");
        if (t->depth > 0) return;
        {
            std::lock_guard<std::mutex> g(g_orphanMutex);
            g_orphans.push_back(t);
        }
        s.st = nullptr;
        fastTs() = FastTs{nullptr, 0};
        return;
    }
    if (t->depth > 0) {
        // Its stack is in use by a call still running: keep the stack, drop the rest.
        t->lastError = 0;
        t->hasErrInfo = false;
        t->callBuf.clear();
        return;
    }
    destroyThreadState(t);
}

// ---- userdata kinds ----
LuaEngine::UdKind LuaEngine::udKind(lua_State *L, int idx) const {
    if (lua_type(L, idx) != LUA_TUSERDATA) return UdNone;
    if (!lua_getmetatable(L, idx)) return UdNone;
    const void *m = lua_topointer(L, -1);
    lua_pop(L, 1);
    if (m == objMeta_) return UdObject;
    if (m == pkgMeta_) return UdPkg;
    if (m == binMeta_) return UdBin;
    return UdNone;
}

HostObject *LuaEngine::toHostObject(lua_State *L, int idx) const {
    if (udKind(L, idx) != UdObject) return nullptr;
    return ((Proxy *)lua_touserdata(L, idx))->obj;
}

void LuaEngine::pushObject(lua_State *L, HostObject *o) {
    lua_checkstack(L, 4);
    pushObjectRoomy(L, o);
}

bool LuaEngine::pushFromSlots(lua_State *L, int slotsIdx, HostObject *o) {
    if (o->proxySlot <= 0) return false;
    // The slot may since belong to another proxy (or none): the owner check decides.
    if (lua_rawgeti(L, slotsIdx, o->proxySlot) == LUA_TUSERDATA && ((Proxy *)lua_touserdata(L, -1))->obj == o)
        return true;
    lua_pop(L, 1);
    return false;
}

void LuaEngine::pushObjectRoomy(lua_State *L, HostObject *o) {
    if (o->proxySlot > 0) {
        // The slot may since belong to another proxy (or none): the owner check decides.
        lua_rawgeti(L, LUA_REGISTRYINDEX, proxySlotsRef_);
        if (lua_rawgeti(L, -1, o->proxySlot) == LUA_TUSERDATA && ((Proxy *)lua_touserdata(L, -1))->obj == o) {
            lua_replace(L, -2); // drops the value below the top without a rotation
            return;
        }
        lua_pop(L, 2);
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, proxiesRef_);
    if (lua_rawgetp(L, -1, o->record) == LUA_TUSERDATA && ((Proxy *)lua_touserdata(L, -1))->obj == o) {
        lua_replace(L, -2); // drops the value below the top without a rotation
        return;
    }
    lua_pop(L, 1); // none, or a dead one left by a free still to be cleaned up
    Proxy *p = (Proxy *)lua_newuserdatauv(L, sizeof(Proxy), kProxyUserValues);
    ++valuesMade_;
    p->obj = o;
    p->record = o->record;
    p->slot = 0;
    p->memoKey = nullptr;
    p->memoSeq = 0;
    p->memoGen = 0;
    p->memoOwn = false;
    lua_rawgeti(L, LUA_REGISTRYINDEX, objMetaRef_);
    lua_setmetatable(L, -2);
    lua_pushvalue(L, -1);
    lua_rawsetp(L, -3, o->record);
    lua_replace(L, -2); // drops the value below the top without a rotation
    int slot;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        slot = ++nextProxySlot_;
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, proxySlotsRef_);
    lua_pushvalue(L, -2);
    lua_rawseti(L, -2, slot);
    lua_pop(L, 1);
    p->slot = slot;
    o->proxySlot = slot;
    std::lock_guard<std::mutex> g(proxyMu_);
    auto it = proxyOf_.find(o);
    if (it != proxyOf_.end()) {
        if (it->second->memoKey) memoOrphaned_.store(true, std::memory_order_relaxed);
        it->second->obj = nullptr; // an older proxy awaiting finalization
        it->second = p;
    } else {
        proxyOf_.emplace(o, p);
    }
    o->hasProxy = true;
    __atomic_store_n(&o->everProxied, true, __ATOMIC_RELAXED);
}

void LuaEngine::proxyCollected(Proxy *p) {
    std::lock_guard<std::mutex> g(proxyMu_);
    HostObject *o = p->obj;
    if (!o) return;
    p->obj = nullptr;
    auto it = proxyOf_.find(o);
    if (it == proxyOf_.end() || it->second != p) return;
    proxyOf_.erase(it);
    o->hasProxy = false;
    markCandidate(o); // looked at by the next collection point
}

void LuaEngine::pushPkg(lua_State *L, VS_PARAPKGPTR pkg, bool owned) {
    lua_checkstack(L, 2);
    PkgBox *b = (PkgBox *)lua_newuserdatauv(L, sizeof(PkgBox), 0);
    boxMade();
    b->pkg = nullptr;
    lua_rawgeti(L, LUA_REGISTRYINDEX, pkgMetaRef_);
    lua_setmetatable(L, -2);
    if (!owned) pkg->AddRef();
    b->pkg = pkg;
}

void LuaEngine::pushBin(lua_State *L, ClassOfXRQBinBufInterface *buf, bool owned) {
    lua_checkstack(L, 2);
    BinBox *b = (BinBox *)lua_newuserdatauv(L, sizeof(BinBox), 0);
    boxMade();
    b->buf = nullptr;
    lua_rawgeti(L, LUA_REGISTRYINDEX, binMetaRef_);
    lua_setmetatable(L, -2);
    if (!owned) buf->AddRef();
    b->buf = buf;
}

bool LuaEngine::pushSide(lua_State *L, HostObject *o, bool create) {
    lua_checkstack(L, 3);
    if (o->scriptRef > 0) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, o->scriptRef);
        return true;
    }
    if (!create) return false;
    lua_newtable(L);
    lua_pushvalue(L, -1);
    o->scriptRef = luaL_ref(L, LUA_REGISTRYINDEX);
    return true;
}

HostObject *LuaEngine::findMember(lua_State *L, HostObject *o, const char *name, bool callableOnly, bool chain,
                                  bool push, int keyIdx) {
    lua_checkstack(L, 4);
    drainDeferred(L); // a freed slot's address may come back for a new one
    for (HostObject *x = o; x; x = chain ? x->cls : nullptr) {
        for (const RegFunc &rf : x->regFuncs) {
            if (rf.valid && rf.fn && rf.name == name) {
                if (push) pushRegClosure(L, rf);
                return x;
            }
        }
        if (x->scriptRef > 0) {
            lua_rawgeti(L, LUA_REGISTRYINDEX, x->scriptRef);
            int t;
            if (keyIdx) {
                lua_pushvalue(L, keyIdx);
                t = lua_rawget(L, -2);
            } else {
                t = lua_getfield(L, -1, name); // side tables have no metatable: a raw read
            }
            if (t != LUA_TNIL && (!callableOnly || t == LUA_TFUNCTION)) {
                lua_replace(L, -2); // drops the value below the top without a rotation
                if (!push) lua_pop(L, 1);
                return x;
            }
            lua_pop(L, 2);
        }
        if (!x->slots.empty()) {
            auto it = x->slots.find(name);
            if (it != x->slots.end() && (!callableOnly || it->second->fn)) {
                if (push) {
                    FuncSlot *slot = it->second.get();
                    lua_rawgeti(L, LUA_REGISTRYINDEX, slotFnRef_);
                    if (lua_rawgetp(L, -1, slot) != LUA_TFUNCTION) {
                        lua_pop(L, 1);
                        lua_pushlightuserdata(L, slot);
                        lua_pushcclosure(L, slotTrampoline, 1);
                        lua_pushvalue(L, -1);
                        lua_rawsetp(L, -3, slot);
                    }
                    lua_replace(L, -2); // drops the value below the top without a rotation
                }
                return x;
            }
        }
        if (!chain) break;
    }
    return nullptr;
}

// resolveOwner far up a chain: x has instances (the objects below it), so it
// keeps the answer for its chain, for one resolution generation (an object
// gaining its first entry starts a new one). Every object walked has no
// entries of its own, so all of them share the answer.
const HostObject *LuaEngine::resolveOwnerFar(const HostObject *x) {
    uint64_t gen = resolveGen();
    static thread_local std::vector<HostObject::Rare *> path;
    path.clear();
    const HostObject *y = x, *owner = nullptr;
    for (; y; y = y->cls) {
        if (hasOwnEntries(y)) {
            owner = y;
            break;
        }
        if (y->rare && y->rare->ownerGen == gen) {
            owner = y->rare->resolveOwner;
            break;
        }
        if (y->rare) path.push_back(y->rare.get());
    }
    for (HostObject::Rare *r : path) {
        r->resolveOwner = owner;
        r->ownerGen = gen;
    }
    path.clear();
    return owner;
}

HostObject *LuaEngine::resolveSlow(lua_State *L, HostObject *o, const char *name, size_t len, bool anyValue,
                                   int keyIdx) {
    uint64_t gen = resolveGen();
    // Up the chain one object at a time, asking the cache at each object with
    // entries of its own: along a chain of prototypes that each have one (a
    // type with a function of its own), the first lookup of a name on the
    // newest would otherwise walk the whole chain, and making the chain cost
    // its depth squared. The answer cached for such an object is the one the
    // walk would find from there.
    HostObject *x = nullptr;
    for (HostObject *y = o; y && !x; y = y->cls) {
        if (y != o && hasOwnEntries(y) && (x = pushCached(L, y, name, len, anyValue))) break;
        x = findMember(L, y, name, !anyValue, false, true, keyIdx);
    }
    if (!x || lua_type(L, -1) != LUA_TFUNCTION) return x;
    const HostObject *k = resolveOwner(o); // found on the chain: never NULL
    if (!k) return x;
    ResolveEntry &e = rcache_[cacheSlot(k->seq, name, anyValue)];
    lua_pushvalue(L, -1);
    if (e.fnRef != LUA_NOREF)
        lua_rawseti(L, LUA_REGISTRYINDEX, e.fnRef); // reuse the entry's reference
    else
        e.fnRef = luaL_ref(L, LUA_REGISTRYINDEX);
    e.seq = k->seq;
    e.gen = gen;
    e.x = x;
    e.anyValue = anyValue;
    e.name.assign(name, len);
    return x;
}

void LuaEngine::purgeResolveCache(bool all) {
    if (!L0_) return;
    uint64_t gen = resolveGen();
    for (ResolveEntry &e : rcache_) {
        if (!e.seq) continue;
        if (!all && e.gen == gen && seqAlive(e.seq)) continue;
        if (e.fnRef != LUA_NOREF) luaL_unref(L0_, LUA_REGISTRYINDEX, e.fnRef);
        e = ResolveEntry();
    }
}

void LuaEngine::purgeProxyMemos() {
    if (!L0_) return;
    lua_State *L = ts()->cur;
    lua_checkstack(L, 4);
    uint64_t gen = resolveGen();
    lua_rawgeti(L, LUA_REGISTRYINDEX, proxySlotsRef_);
    lua_pushnil(L);
    while (lua_next(L, -2)) {
        if (lua_type(L, -1) == LUA_TUSERDATA) {
            Proxy *p = (Proxy *)lua_touserdata(L, -1);
            if (p->memoKey && (!p->obj || p->memoGen != gen || p->memoSeq != p->obj->seq ||
                               p->memoOwn != hasOwnEntries(p->obj))) {
                p->memoKey = nullptr;
                lua_pushnil(L);
                lua_setiuservalue(L, -2, kProxyMemoFn);
                lua_pushnil(L);
                lua_setiuservalue(L, -2, kProxyMemoName);
            }
        }
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
}

// ---- driver ----
bool LuaEngine::runChunk(const char *code, size_t length, const char *chunkName, std::string *error) {
    if (!L0_) {
        if (error) *error = "script engine not running";
        return false;
    }
    ThreadState *t = ts();
    lua_State *L = t->cur;
    int top = lua_gettop(L);
    std::string name = std::string("=") + (chunkName ? chunkName : "?");
    int st = luaL_loadbufferx(L, code ? code : "", code ? length : 0, name.c_str(), "t");
    if (st == LUA_OK) st = pcallRecorded(t, L, 0, 0);
    else commitError(t, L, st);
    bool ok = st == LUA_OK;
    if (!ok && error) *error = lastErrorMessage(t);
    lua_settop(L, top);
    return ok;
}

bool LuaEngine::runFile(const char *path, const std::vector<std::string> &args, std::string *error) {
    if (!L0_) {
        if (error) *error = "script engine not running";
        return false;
    }
    ThreadState *t = ts();
    lua_State *L = t->cur;
    int top = lua_gettop(L);
    lua_checkstack(L, (int)args.size() + 8);
    // arg[0] = the script, arg[1..] = its arguments; also passed as ...
    lua_createtable(L, (int)args.size(), 1);
    lua_pushstring(L, path ? path : "");
    lua_rawseti(L, -2, 0);
    for (size_t i = 0; i < args.size(); ++i) {
        lua_pushlstring(L, args[i].data(), args[i].size());
        lua_rawseti(L, -2, (lua_Integer)i + 1);
    }
    lua_pushglobaltable(L);
    lua_insert(L, -2);
    lua_pushliteral(L, "arg");
    lua_insert(L, -2);
    lua_rawset(L, -3);
    lua_pop(L, 1);
    int st = path ? luaL_loadfilex(L, path, "t") : LUA_ERRFILE;
    if (st == LUA_OK) {
        for (const std::string &a : args) lua_pushlstring(L, a.data(), a.size());
        st = pcallRecorded(t, L, (int)args.size(), 0);
    } else if (st == LUA_ERRFILE) {
        t->hasErrInfo = true;
        t->errText = lua_tostring(L, -1) ? lua_tostring(L, -1) : "cannot open script";
        t->errSource = path ? path : "?";
        t->errLine = 0;
    } else {
        commitError(t, L, st);
    }
    bool ok = st == LUA_OK;
    if (!ok && error) {
        *error = st == LUA_ERRFILE ? t->errText : lastErrorMessage(t);
        // The script's own error: where it came from, as the runner prints it.
        if (st != LUA_ERRFILE && !t->errTrace.empty()) *error += "\n" + t->errTrace;
    }
    lua_settop(L, top);
    return ok;
}

void LuaEngine::onClassRegistered(HostObject *cls) {
    if (!L0_ || !cls || cls->name.empty()) return;
    lua_State *L = ts()->cur;
    lua_checkstack(L, 3);
    lua_pushglobaltable(L);
    lua_pushstring(L, cls->name.c_str());
    pushObject(L, cls);
    lua_rawset(L, -3);
    lua_pop(L, 1);
}

void LuaEngine::onObjectFreed(HostObject *o) {
    if (!L0_ || !o) return;
    if (o->scriptRef > 0 || !o->slots.empty() || !o->regFuncs.empty())
        ownerFreed_.store(true, std::memory_order_relaxed); // it may key cached answers
    // Most objects never reach a script: nothing of theirs to clean up.
    if (!__atomic_load_n(&o->everProxied, __ATOMIC_RELAXED) && o->scriptRef == LUA_NOREF && o->slots.empty())
        return;
    {
        std::lock_guard<std::mutex> g(proxyMu_);
        auto it = proxyOf_.find(o);
        if (it != proxyOf_.end()) {
            if (it->second->memoKey) memoOrphaned_.store(true, std::memory_order_relaxed);
            it->second->obj = nullptr;
            proxyOf_.erase(it);
        }
        o->hasProxy = false;
    }
    std::vector<FuncSlot *> slots;
    for (auto &kv : o->slots) slots.push_back(kv.second.get());
    int ref = o->scriptRef;
    o->scriptRef = LUA_NOREF;
    if (holdsScriptLock()) {
        lua_State *L = ts()->cur;
        drainDeferred(L);
        cleanupFreed(L, o->record, ref, slots);
        return;
    }
    // A thread with only the host lock may not touch the Lua state: the
    // script side goes at the next step taken under the script lock.
    std::lock_guard<std::mutex> g(deferMu_);
    deferred_.push_back(DeferredFree{o->record, ref, std::move(slots)});
    hasDeferred_.store(true, std::memory_order_release);
}

void LuaEngine::drainDeferredSlow(lua_State *L) {
    std::vector<DeferredFree> todo;
    {
        std::lock_guard<std::mutex> g(deferMu_);
        todo.swap(deferred_);
        hasDeferred_.store(false, std::memory_order_release);
    }
    for (const DeferredFree &d : todo) cleanupFreed(L, d.record, d.scriptRef, d.slots);
}

void LuaEngine::cleanupFreed(lua_State *L, void *record, int scriptRef, const std::vector<FuncSlot *> &slots) {
    lua_checkstack(L, 4);
    lua_rawgeti(L, LUA_REGISTRYINDEX, proxiesRef_);
    // only a dead proxy: the address may already belong to a new object
    if (lua_rawgetp(L, -1, record) == LUA_TUSERDATA && !((Proxy *)lua_touserdata(L, -1))->obj) {
        lua_pushnil(L);
        lua_rawsetp(L, -3, record);
    }
    lua_pop(L, 2);
    if (scriptRef > 0) luaL_unref(L, LUA_REGISTRYINDEX, scriptRef);
    if (slots.empty()) return;
    // Closures of its luafunc slots that scripts still hold must not reach the freed slots.
    lua_rawgeti(L, LUA_REGISTRYINDEX, slotFnRef_);
    for (FuncSlot *slot : slots) {
        if (lua_rawgetp(L, -1, slot) == LUA_TFUNCTION) {
            lua_pushlightuserdata(L, nullptr);
            lua_setupvalue(L, -2, 1);
            lua_pushnil(L);
            lua_rawsetp(L, -3, slot);
        }
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
}

void LuaEngine::fullCollect() {
    if (!L0_) return;
    reapOrphans();
    drainDeferred(ts()->cur);
    uint64_t gen = resolveGen();
    bool genChanged = gen != purgedGen_;
    if (ownerFreed_.exchange(false, std::memory_order_relaxed) || genChanged) purgeResolveCache(false);
    if (memoOrphaned_.exchange(false, std::memory_order_relaxed) || genChanged) purgeProxyMemos();
    purgedGen_ = gen;
    valuesMadeAtFull_ = valuesMade_;
    lua_gc(ts()->cur, LUA_GCCOLLECT);
}

void LuaEngine::housekeep() {
    if (!L0_) return;
    reapOrphans();
    drainDeferred(ts()->cur);
}

// A dispatch's share of the collection: every 16th dispatch adds a
// kilobyte of debt to Lua's incremental collector, which steps only when its
// debt is positive. The credit a large step earns (a big table is traversed
// in one go) carries over, so the average work per dispatch stays the same
// whatever the heap holds, and cycles still progress while no script
// allocates. (A basic step, LUA_GCSTEP 0, would reset that credit on every
// call.) Finalized proxies put their objects on the candidate list. The
// fixed-size resolution cache is swept now and then; the proxies' memos (one
// per live proxy) only by a full collection.
void LuaEngine::stepCollect(uint64_t step) {
    if (!L0_) return;
    lua_State *L = ts()->cur;
    drainDeferred(L);
    if ((step & 255) == 0) {
        reapOrphans();
        purgeResolveCache(false);
    }
    if ((step & 15) == 0) lua_gc(L, LUA_GCSTEP, 1);
}

void LuaEngine::post(lua_State *L, int first, int last) {
    int n = last - first + 1;
    lua_createtable(L, n, 1);
    for (int i = first; i <= last; ++i) {
        lua_pushvalue(L, i);
        lua_rawseti(L, -2, i - first + 1);
    }
    lua_pushinteger(L, n);
    lua_setfield(L, -2, "n");
    int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    // A message posted by a running message waits for the next round, so
    // that "dispatch until it reports no work" ends.
    if (ts()->postedDepth > 0)
        postedNext_.push_back(ref);
    else
        posted_.push_back(ref);
}

bool LuaEngine::runOnePosted() {
    if (!L0_) return false;
    if (posted_.empty()) {
        // This dispatch found no work: the round ends, and what messages
        // posted meanwhile is ready for the next one.
        while (!postedNext_.empty()) {
            posted_.push_back(postedNext_.front());
            postedNext_.pop_front();
        }
        return false;
    }
    int ref = posted_.front();
    posted_.pop_front();
    ThreadState *t = ts();
    lua_State *L = t->cur;
    int top = lua_gettop(L);
    lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
    luaL_unref(L, LUA_REGISTRYINDEX, ref);
    lua_getfield(L, -1, "n");
    int n = (int)lua_tointeger(L, -1);
    lua_pop(L, 1);
    lua_checkstack(L, n + 4);
    for (int i = 1; i <= n; ++i) lua_rawgeti(L, top + 1, i);
    ++t->postedDepth;
    int st = pcallRecorded(t, L, n - 1, 0);
    --t->postedDepth;
    if (st != LUA_OK) {
        // Nobody called it to read the error: it goes to the error log (what
        // _Errors() reads), and to the exception handler as before.
        std::string text = "posted message failed: " + lastErrorMessage(t);
        recordError(1, t->errSource.c_str(), (int)t->errLine, ("posted message failed: " + t->errText).c_str());
        reportException(text.c_str());
    }
    lua_settop(L, top);
    return true;
}

} // namespace script

ScriptEngine *createScriptEngine() { return new script::LuaEngine(); }

} // namespace tvh
