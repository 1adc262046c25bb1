// The script engine: per-thread Lua stacks, the host's stack operations,
// calls by name, name resolution on objects and the object metatable.
#include "lua_engine.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tvh {
namespace script {

namespace {

LuaEngine *g_engine = nullptr;

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

inline bool validIndex(lua_State *L, int idx) {
    if (idx > 0) return idx <= lua_gettop(L);
    if (idx == 0) return false;
    if (idx > LUA_REGISTRYINDEX) return -idx <= lua_gettop(L);
    return true; // registry or an up-value pseudo-index
}

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

// Chunk name as the host reports it: without the '@' or '=' marker.
const char *plainSource(const char *src) {
    if (!src || !*src) return "?";
    if (src[0] == '@' || src[0] == '=') return src + 1;
    return src;
}

// ---- message handler: remembers where the error happened ----
int msgHandler(lua_State *L) {
    LuaEngine *e = g_engine;
    if (!e) return 1;
    ThreadState *t = e->ts();
    t->pendValid = true;
    t->pendSource = "?";
    t->pendLine = 0;
    t->pendStrip = 0;
    size_t mlen = 0;
    const char *msg = lua_type(L, 1) == LUA_TSTRING ? lua_tolstring(L, 1, &mlen) : nullptr;
    lua_Debug ar;
    bool located = false;
    for (int level = 1; lua_getstack(L, level, &ar); ++level) {
        if (!lua_getinfo(L, "Sl", &ar)) continue;
        if (ar.currentline <= 0) continue;
        if (!located) {
            t->pendSource = plainSource(ar.source);
            t->pendLine = (VS_ULONG)ar.currentline;
            located = true;
        }
        if (msg && t->pendStrip == 0) {
            char prefix[LUA_IDSIZE + 32];
            int n = snprintf(prefix, sizeof prefix, "%s:%d: ", ar.short_src, ar.currentline);
            if (n > 0 && (size_t)n <= mlen && memcmp(msg, prefix, (size_t)n) == 0) t->pendStrip = (size_t)n;
        }
        if (located && (!msg || t->pendStrip)) break;
    }
    return 1;
}

// ---- luafunc trampolines ----
int slotTrampoline(lua_State *L) {
    g_engine->drainDeferred(L);
    FuncSlot *slot = (FuncSlot *)lua_touserdata(L, lua_upvalueindex(1));
    if (!slot) return raisef(L, "function of a freed object called");
    VS_LUAFUNCPTR fn = slot->fn;
    if (!fn) return raisef(L, "function '%s' is not bound", slot->name.c_str());
    return callModuleFn(L, fn);
}

int regTrampoline(lua_State *L) {
    VS_LUAFUNCPTR fn = (VS_LUAFUNCPTR)lua_touserdata(L, lua_upvalueindex(1));
    return callModuleFn(L, fn);
}

void pushRegClosure(lua_State *L, const RegFunc &rf) {
    lua_pushlightuserdata(L, (void *)rf.fn);
    lua_pushinteger(L, (lua_Integer)rf.para);
    lua_pushcclosure(L, regTrampoline, 2);
}

// ---- attributes ----
void pushAttr(lua_State *L, HostObject *o, const AttrDef &a) {
    const char *p = (const char *)o->record + a.offset;
    switch (a.kind) {
    case AttrKind::Int32: {
        VS_INT32 v;
        memcpy(&v, p, sizeof v);
        lua_pushinteger(L, v);
        break;
    }
    case AttrKind::ULong: {
        VS_ULONG v;
        memcpy(&v, p, sizeof v);
        lua_pushinteger(L, (lua_Integer)v);
        break;
    }
    case AttrKind::Int64: {
        VS_INT64 v;
        memcpy(&v, p, sizeof v);
        lua_pushinteger(L, (lua_Integer)v);
        break;
    }
    case AttrKind::Bool:
        lua_pushboolean(L, *(const VS_BOOL *)p != 0);
        break;
    case AttrKind::Uuid: {
        VS_UUID u;
        memcpy(&u, p, sizeof u);
        lua_pushstring(L, service()->UuidToString(&u));
        break;
    }
    case AttrKind::VString: {
        VS_VSTRING s;
        memcpy(&s, p, sizeof s);
        if (s.Buf)
            lua_pushstring(L, s.Buf);
        else
            lua_pushnil(L);
        break;
    }
    case AttrKind::Pointer:
    case AttrKind::Queue:
        lua_pushnil(L);
        break;
    }
}

bool integralValue(lua_State *L, int idx, lua_Integer *out) {
    if (lua_type(L, idx) != LUA_TNUMBER) return false;
    int isnum = 0;
    lua_Integer v = lua_tointegerx(L, idx, &isnum); // floats only when integral
    if (!isnum) return false;
    *out = v;
    return true;
}

// Converts the value at idx back to record form and writes it through the
// before-change callbacks. Returns false with a message when the value does
// not fit the attribute; a callback's refusal is not an error.
bool writeAttr(lua_State *L, HostObject *o, const AttrDef &a, int idx, char *err, size_t errLen) {
    union {
        VS_INT32 i32;
        VS_ULONG u32;
        VS_INT64 i64;
        VS_BOOL b;
        VS_UUID uuid;
        VS_VSTRING vs;
        char raw[16];
    } nv;
    memset(&nv, 0, sizeof nv);
    lua_Integer iv = 0;
    const char *tn = luaL_typename(L, idx);
    switch (a.kind) {
    case AttrKind::Int32:
        if (!integralValue(L, idx, &iv)) {
            snprintf(err, errLen, "attribute '%s' expects an integer, got %s", a.name.c_str(), tn);
            return false;
        }
        if (iv < INT32_MIN || iv > INT32_MAX) {
            snprintf(err, errLen, "value %lld out of range for attribute '%s'", (long long)iv, a.name.c_str());
            return false;
        }
        nv.i32 = (VS_INT32)iv;
        break;
    case AttrKind::ULong:
        if (!integralValue(L, idx, &iv)) {
            snprintf(err, errLen, "attribute '%s' expects an integer, got %s", a.name.c_str(), tn);
            return false;
        }
        if (iv < 0 || iv > (lua_Integer)UINT32_MAX) {
            snprintf(err, errLen, "value %lld out of range for attribute '%s'", (long long)iv, a.name.c_str());
            return false;
        }
        nv.u32 = (VS_ULONG)iv;
        break;
    case AttrKind::Int64:
        if (!integralValue(L, idx, &iv)) {
            snprintf(err, errLen, "attribute '%s' expects an integer, got %s", a.name.c_str(), tn);
            return false;
        }
        nv.i64 = (VS_INT64)iv;
        break;
    case AttrKind::Bool:
        if (lua_type(L, idx) == LUA_TBOOLEAN) {
            nv.b = lua_toboolean(L, idx) ? 1 : 0;
        } else if (integralValue(L, idx, &iv) && (iv == 0 || iv == 1)) {
            nv.b = (VS_BOOL)iv;
        } else {
            snprintf(err, errLen, "attribute '%s' expects a boolean, got %s", a.name.c_str(), tn);
            return false;
        }
        break;
    case AttrKind::Uuid:
        if (lua_type(L, idx) != LUA_TSTRING || !service()->StringToUuid(lua_tostring(L, idx), &nv.uuid)) {
            snprintf(err, errLen, "attribute '%s' expects a UUID text, got %s", a.name.c_str(), tn);
            return false;
        }
        break;
    case AttrKind::VString:
        if (lua_type(L, idx) == LUA_TSTRING)
            nv.vs.Buf = (VS_CHAR *)lua_tostring(L, idx);
        else if (lua_isnil(L, idx))
            nv.vs.Buf = nullptr;
        else {
            snprintf(err, errLen, "attribute '%s' expects a string, got %s", a.name.c_str(), tn);
            return false;
        }
        break;
    case AttrKind::Pointer:
    case AttrKind::Queue:
        snprintf(err, errLen, "attribute '%s' cannot be set from a script", a.name.c_str());
        return false;
    }
    if (!runBeforeChange(o, a, (VS_INT8 *)nv.raw)) return true; // cancelled by a callback
    char *dst = (char *)o->record + a.offset;
    if (a.kind == AttrKind::VString) {
        service()->SetVString((VS_VSTRING *)dst, nv.vs.Buf);
        return true;
    }
    size_t n = a.kind == AttrKind::Int32 || a.kind == AttrKind::ULong ? 4
               : a.kind == AttrKind::Int64                            ? 8
               : a.kind == AttrKind::Bool                             ? 1
                                                                      : sizeof(VS_UUID);
    memcpy(dst, nv.raw, n);
    return true;
}

// Key of an index access: a string, or an integer key as `"` + decimal.
// Returns 0 no usable key, 1 string, 2 integer key.
int keyName(lua_State *L, int idx, char *buf, size_t bufLen, const char **name) {
    int kt = lua_type(L, idx);
    if (kt == LUA_TSTRING) {
        *name = lua_tostring(L, idx);
        return 1;
    }
    lua_Integer k;
    if (kt == LUA_TNUMBER && integralValue(L, idx, &k)) {
        snprintf(buf, bufLen, "\"%lld", (long long)k);
        *name = buf;
        return 2;
    }
    return 0;
}

// ---- object metatable ----
// Records the function on top of the stack as proxy 1's answer for the string
// key at index 2.
void memoize(lua_State *L, Proxy *p, HostObject *o, uint64_t gen) {
    lua_pushvalue(L, -1);
    lua_setiuservalue(L, 1, kProxyMemoFn);
    lua_pushvalue(L, 2);
    lua_setiuservalue(L, 1, kProxyMemoName);
    p->memoKey = lua_topointer(L, 2);
    p->memoSeq = o->seq;
    p->memoGen = gen;
}

int objIndex(lua_State *L) {
    LuaEngine *e = g_engine;
    Proxy *p = (Proxy *)lua_touserdata(L, 1);
    HostObject *o = p ? p->obj : nullptr;
    uint64_t gen = resolveGen();
    if (o && !o->getHook) {
        // The common case, obj:Method(...): no hook to ask first, and the
        // function this proxy answered last for the same (anchored, hence
        // same-address) key string while nothing has changed since.
        const void *key = lua_topointer(L, 2); // NULL for non-collectable keys
        if (key && key == p->memoKey && p->memoGen == gen && p->memoSeq == o->seq &&
            lua_type(L, 2) == LUA_TSTRING) { // a light userdata may carry any address
            lua_getiuservalue(L, 1, kProxyMemoFn);
            return 1;
        }
    }
    if (o && !o->getHook && lua_type(L, 2) == LUA_TSTRING) {
        size_t len = 0;
        const char *name = lua_tolstring(L, 2, &len);
        if (e->pushCached(L, o, name, len, true)) {
            memoize(L, p, o, gen);
            return 1;
        }
        if (const AttrDef *a = findAttr(o, name)) {
            pushAttr(L, o, *a);
            return 1;
        }
        // The generation read before the search: a change made during it
        // leaves the memo stale rather than wrongly current.
        if (!e->resolveSlow(L, o, name, len, true, 2))
            lua_pushnil(L);
        else if (lua_type(L, -1) == LUA_TFUNCTION && p->obj == o)
            memoize(L, p, o, gen);
        return 1;
    }
    char buf[40];
    const char *name = nullptr;
    int kind = keyName(L, 2, buf, sizeof buf, &name);
    if (!o) return raisef(L, "attempt to use a freed object (field '%s')", name ? name : "?");
    if (kind == 0) {
        lua_pushnil(L);
        return 1;
    }
    if (o->getHook) {
        int top = lua_gettop(L);
        ThreadState *t = e->ts();
        lua_State *saved = t->cur;
        t->cur = L;
        VS_BOOL handled = o->getHook(o->record, o->record, (VS_CHAR *)name, o->getHookPara, VS_FALSE);
        t->cur = saved;
        int now = lua_gettop(L);
        if (handled) {
            if (now <= top) {
                lua_settop(L, top);
                lua_pushnil(L);
            } else if (now > top + 1) {
                lua_rotate(L, top + 1, -(now - top - 1)); // keep the last value pushed
                lua_settop(L, top + 1);
            }
            return 1;
        }
        lua_settop(L, top);
        if (p->obj != o) return raisef(L, "object freed while reading '%s'", name);
    }
    if (kind == 2) {
        lua_pushnil(L);
        return 1;
    }
    if (const AttrDef *a = findAttr(o, name)) {
        pushAttr(L, o, *a);
        return 1;
    }
    if (!e->resolve(L, o, name, strlen(name), true, 2)) lua_pushnil(L);
    return 1;
}

int objNewIndex(lua_State *L) {
    LuaEngine *e = g_engine;
    Proxy *p = (Proxy *)lua_touserdata(L, 1);
    HostObject *o = p ? p->obj : nullptr;
    char buf[40];
    char err[300];
    const char *name = nullptr;
    int kind = keyName(L, 2, buf, sizeof buf, &name);
    if (!o) return raisef(L, "attempt to use a freed object (field '%s')", name ? name : "?");
    if (kind == 0) return raisef(L, "invalid key of type %s for an object", luaL_typename(L, 2));
    lua_settop(L, 3);
    if (o->setHook) {
        ThreadState *t = e->ts();
        lua_State *saved = t->cur;
        t->cur = L;
        VS_BOOL handled = o->setHook(o->record, o->record, (VS_CHAR *)name, 3, o->setHookPara);
        t->cur = saved;
        lua_settop(L, 3);
        if (handled) return 0;
        if (p->obj != o) return raisef(L, "object freed while writing '%s'", name);
    }
    if (kind == 2) return raisef(L, "cannot assign index %s of this object", name + 1);
    if (const AttrDef *a = findAttr(o, name)) {
        if (!writeAttr(L, o, *a, 3, err, sizeof err)) return raisef(L, "%s", err);
        return 0;
    }
    // Not an attribute: a script field of this object (nil removes it).
    if (!e->pushSide(L, o, !lua_isnil(L, 3))) return 0;
    lua_pushvalue(L, 2);
    int oldType = lua_rawget(L, -2);
    lua_pop(L, 1);
    int newType = lua_type(L, 3);
    // Replacing one plain value with another changes no function lookup;
    // anything else (a function set, replaced or removed, a field appearing
    // or going that may hide one up the chain) does.
    bool plainOld = oldType != LUA_TNIL && oldType != LUA_TFUNCTION;
    bool plainNew = newType != LUA_TNIL && newType != LUA_TFUNCTION;
    if (!(plainOld && plainNew) && !(oldType == LUA_TNIL && newType == LUA_TNIL)) bumpResolveGen();
    lua_pushvalue(L, 2);
    lua_pushvalue(L, 3);
    lua_rawset(L, -3);
    return 0;
}

int objCall(lua_State *L) {
    LuaEngine *e = g_engine;
    Proxy *p = (Proxy *)lua_touserdata(L, 1);
    HostObject *o = p ? p->obj : nullptr;
    if (!o) return raisef(L, "attempt to call a freed object");
    ThreadState *t = e->ts();
    lua_State *saved = t->cur;
    t->cur = L;
    HostObject *x = e->resolve(L, o, "_QuelCall", sizeof "_QuelCall" - 1, false);
    t->cur = saved;
    if (!x) return raisef(L, "object '%s' cannot be called (no _QuelCall)", o->name.c_str());
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

int objToString(lua_State *L) {
    LuaEngine *e = g_engine;
    Proxy *p = (Proxy *)lua_touserdata(L, 1);
    HostObject *o = p ? p->obj : nullptr;
    if (!o) {
        lua_pushliteral(L, "object:freed");
        return 1;
    }
    lua_settop(L, 1);
    if (e->resolve(L, o, "_QuelToString", sizeof "_QuelToString" - 1, false)) {
        lua_pushvalue(L, 1);
        lua_call(L, 1, 1);
        if (lua_type(L, -1) == LUA_TSTRING) return 1;
        if (lua_type(L, -1) == LUA_TNUMBER) {
            lua_tostring(L, -1);
            return 1;
        }
        lua_settop(L, 1); // no text from it: the host's own form
        if (!p->obj) {
            lua_pushliteral(L, "object:freed");
            return 1;
        }
    }
    VS_UUID id = o->id;
    lua_pushfstring(L, "object:%s:%s", service()->UuidToString(&id), o->name.c_str());
    return 1;
}

int objGc(lua_State *L) {
    Proxy *p = (Proxy *)lua_touserdata(L, 1);
    if (p && p->obj && g_engine) g_engine->proxyCollected(p);
    if (p && g_engine) g_engine->releaseProxySlot(p);
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------

int raisef(lua_State *L, const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    lua_Debug ar;
    for (int level = 0; lua_getstack(L, level, &ar); ++level) {
        if (lua_getinfo(L, "Sl", &ar) && ar.currentline > 0) {
            lua_pushfstring(L, "%s:%d: %s", ar.short_src, ar.currentline, buf);
            return lua_error(L);
        }
    }
    lua_pushstring(L, buf);
    return lua_error(L);
}

int callModuleFn(lua_State *L, VS_LUAFUNCPTR fn) {
    checkScriptLock();
    ThreadState *t = g_engine->ts();
    lua_State *saved = t->cur;
    t->cur = L;
    int n = fn ? fn((void *)L) : 0;
    t->cur = saved;
    int top = lua_gettop(L);
    if (n < 0) n = 0;
    if (n > top) n = top;
    return n;
}

LuaEngine *LuaEngine::instance() { return g_engine; }

LuaEngine::LuaEngine() {
    L0_ = luaL_newstate();
    luaL_openlibs(L0_);
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
    p->obj = o;
    p->record = o->record;
    p->slot = 0;
    p->memoKey = nullptr;
    p->memoSeq = 0;
    p->memoGen = 0;
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
        it->second->obj = nullptr; // an older proxy awaiting finalization
        it->second = p;
    } else {
        proxyOf_.emplace(o, p);
    }
    o->hasProxy = true;
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
    o->candidate = true;
}

void LuaEngine::pushPkg(lua_State *L, VS_PARAPKGPTR pkg, bool owned) {
    lua_checkstack(L, 2);
    PkgBox *b = (PkgBox *)lua_newuserdatauv(L, sizeof(PkgBox), 0);
    b->pkg = nullptr;
    lua_rawgeti(L, LUA_REGISTRYINDEX, pkgMetaRef_);
    lua_setmetatable(L, -2);
    if (!owned) pkg->AddRef();
    b->pkg = pkg;
}

void LuaEngine::pushBin(lua_State *L, ClassOfXRQBinBufInterface *buf, bool owned) {
    lua_checkstack(L, 2);
    BinBox *b = (BinBox *)lua_newuserdatauv(L, sizeof(BinBox), 0);
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

HostObject *LuaEngine::resolveSlow(lua_State *L, HostObject *o, const char *name, size_t len, bool anyValue,
                                   int keyIdx) {
    uint64_t gen = resolveGen();
    HostObject *x = findMember(L, o, name, !anyValue, true, true, keyIdx);
    if (!x || lua_type(L, -1) != LUA_TFUNCTION) return x;
    ResolveEntry &e = rcache_[cacheSlot(o->seq, name, anyValue)];
    lua_pushvalue(L, -1);
    if (e.fnRef != LUA_NOREF)
        lua_rawseti(L, LUA_REGISTRYINDEX, e.fnRef); // reuse the entry's reference
    else
        e.fnRef = luaL_ref(L, LUA_REGISTRYINDEX);
    e.seq = o->seq;
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
            if (p->memoKey && (!p->obj || p->memoGen != gen || p->memoSeq != p->obj->seq)) {
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

// ---- stack operations ----
VS_INT32 LuaEngine::LuaGetTop() {
    if (!L0_) return 0;
    return lua_gettop(ts()->cur);
}

VS_INT32 LuaEngine::LuaType(VS_INT32 Index) {
    if (!L0_) return VSLUATYPE_NIL;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index)) return VSLUATYPE_NIL;
    switch (lua_type(L, Index)) {
    case LUA_TNIL:
    case LUA_TNONE:
        return VSLUATYPE_NIL;
    case LUA_TNUMBER:
        if (lua_isinteger(L, Index)) {
            lua_Integer v = lua_tointeger(L, Index);
            return v >= INT32_MIN && v <= INT32_MAX ? VSLUATYPE_INT : VSLUATYPE_INT64;
        }
        return VSLUATYPE_NUMBER;
    case LUA_TBOOLEAN:
        return VSLUATYPE_BOOL;
    case LUA_TSTRING:
        return VSLUATYPE_STRING;
    case LUA_TUSERDATA:
        switch (udKind(L, Index)) {
        case UdObject:
            return ((Proxy *)lua_touserdata(L, Index))->obj ? VSLUATYPE_OBJECT : VSLUATYPE_NIL;
        case UdPkg:
            return VSLUATYPE_PARAPKG;
        case UdBin:
            return VSLUATYPE_BINBUF;
        default:
            return VSLUATYPE_OTHER;
        }
    default:
        return VSLUATYPE_OTHER;
    }
}

void LuaEngine::LuaPop(VS_INT32 N) {
    if (!L0_ || N <= 0) return;
    lua_State *L = ts()->cur;
    int top = lua_gettop(L);
    if (N > top) N = top;
    lua_settop(L, top - N);
}

void LuaEngine::LuaInsert(VS_INT32 Index) {
    if (!L0_) return;
    lua_State *L = ts()->cur;
    if (!isStackIndex(L, Index)) return;
    lua_rotate(L, Index, 1);
}

void *LuaEngine::LuaToObject(VS_INT32 Index) {
    if (!L0_) return nullptr;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index)) return nullptr;
    HostObject *o = toHostObject(L, Index);
    return o ? o->record : nullptr;
}

static VS_INT64 toInt64(lua_State *L, int idx) {
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

VS_INT32 LuaEngine::LuaToInt(VS_INT32 Index) {
    if (!L0_) return 0;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index)) return 0;
    return (VS_INT32)(uint32_t)(uint64_t)toInt64(L, Index); // low 32 bits
}

VS_INT64 LuaEngine::LuaToInt64(VS_INT32 Index) {
    if (!L0_) return 0;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index)) return 0;
    return toInt64(L, Index);
}

VS_DOUBLE LuaEngine::LuaToNumber(VS_INT32 Index) {
    if (!L0_) return 0;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index)) return 0;
    switch (lua_type(L, Index)) {
    case LUA_TNUMBER:
        return lua_tonumber(L, Index);
    case LUA_TBOOLEAN:
        return lua_toboolean(L, Index) ? 1 : 0;
    default:
        return 0;
    }
}

VS_BOOL LuaEngine::LuaToBool(VS_INT32 Index) {
    if (!L0_) return VS_FALSE;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index)) return VS_FALSE;
    switch (lua_type(L, Index)) {
    case LUA_TNIL:
    case LUA_TNONE:
        return VS_FALSE;
    case LUA_TBOOLEAN:
        return lua_toboolean(L, Index) ? VS_TRUE : VS_FALSE;
    case LUA_TNUMBER:
        if (lua_isinteger(L, Index)) return lua_tointeger(L, Index) != 0;
        return lua_tonumber(L, Index) != 0;
    case LUA_TUSERDATA:
        if (udKind(L, Index) == UdObject && !((Proxy *)lua_touserdata(L, Index))->obj) return VS_FALSE;
        return VS_TRUE;
    default:
        return VS_TRUE;
    }
}

const VS_CHAR *LuaEngine::LuaToString(VS_INT32 Index) { return LuaToLString(Index, nullptr); }

const VS_CHAR *LuaEngine::LuaToLString(VS_INT32 Index, VS_INT32 *Length) {
    if (Length) *Length = 0;
    if (!L0_) return nullptr;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index) || lua_type(L, Index) != LUA_TSTRING) return nullptr;
    size_t len = 0;
    const char *s = lua_tolstring(L, Index, &len);
    if (Length) *Length = len > (size_t)INT32_MAX ? INT32_MAX : (VS_INT32)len;
    return s;
}

VS_PARAPKGPTR LuaEngine::LuaToParaPkg(VS_INT32 Index) {
    if (!L0_) return nullptr;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index) || udKind(L, Index) != UdPkg) return nullptr;
    return ((PkgBox *)lua_touserdata(L, Index))->pkg;
}

ClassOfXRQBinBufInterface *LuaEngine::LuaToBinBuf(VS_INT32 Index) {
    if (!L0_) return nullptr;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index) || udKind(L, Index) != UdBin) return nullptr;
    return ((BinBox *)lua_touserdata(L, Index))->buf;
}

VS_UWORD LuaEngine::LuaToUWord(VS_INT32 Index) {
    if (!L0_) return 0;
    lua_State *L = ts()->cur;
    if (!validIndex(L, Index)) return 0;
    switch (lua_type(L, Index)) {
    case LUA_TNUMBER:
        if (lua_isinteger(L, Index)) return (VS_UWORD)lua_tointeger(L, Index);
        return (VS_UWORD)truncSat(lua_tonumber(L, Index));
    case LUA_TLIGHTUSERDATA:
        return (VS_UWORD)(uintptr_t)lua_touserdata(L, Index);
    default:
        return 0;
    }
}

VS_INT32 LuaEngine::LuaUpValueIndex(VS_INT32 N) {
    if (N < 1 || N > 255) return 0; // 0 is never a valid index: reads as nil
    return lua_upvalueindex(N);
}

#define TVH_PUSH_PROLOGUE                                                                                          \
    if (!L0_) return;                                                                                              \
    lua_State *L = ts()->cur;                                                                                      \
    if (!lua_checkstack(L, 1)) return

void LuaEngine::LuaPushInt(VS_INT32 Value) {
    TVH_PUSH_PROLOGUE;
    lua_pushinteger(L, Value);
}
void LuaEngine::LuaPushInt64(VS_INT64 Value) {
    TVH_PUSH_PROLOGUE;
    lua_pushinteger(L, (lua_Integer)Value);
}
void LuaEngine::LuaPushNumber(VS_DOUBLE Value) {
    TVH_PUSH_PROLOGUE;
    lua_pushnumber(L, Value);
}
void LuaEngine::LuaPushBool(VS_BOOL Value) {
    TVH_PUSH_PROLOGUE;
    lua_pushboolean(L, Value ? 1 : 0);
}
void LuaEngine::LuaPushString(const VS_CHAR *Value) {
    TVH_PUSH_PROLOGUE;
    if (Value)
        lua_pushstring(L, Value);
    else
        lua_pushnil(L);
}
void LuaEngine::LuaPushLString(const VS_CHAR *Value, VS_INT32 Length) {
    TVH_PUSH_PROLOGUE;
    if (!Value || Length < 0)
        lua_pushnil(L);
    else
        lua_pushlstring(L, Value, (size_t)Length);
}
void LuaEngine::LuaPushNil() {
    TVH_PUSH_PROLOGUE;
    lua_pushnil(L);
}
void LuaEngine::LuaPushObject(void *Object) {
    TVH_PUSH_PROLOGUE;
    HostObject *o = Object ? lookup(Object) : nullptr;
    if (!o)
        lua_pushnil(L);
    else
        pushObject(L, o);
}
void LuaEngine::LuaPushParaPkg(VS_PARAPKGPTR Pkg, VS_BOOL Owned) {
    TVH_PUSH_PROLOGUE;
    if (!Pkg || !isParaPkg(Pkg))
        lua_pushnil(L);
    else
        pushPkg(L, Pkg, Owned != 0);
}
void LuaEngine::LuaPushBinBuf(ClassOfXRQBinBufInterface *Buf, VS_BOOL Owned) {
    TVH_PUSH_PROLOGUE;
    if (!Buf || !isBinBuf(Buf))
        lua_pushnil(L);
    else
        pushBin(L, Buf, Owned != 0);
}
#undef TVH_PUSH_PROLOGUE

// ---- calls ----
int LuaEngine::pcallRecorded(ThreadState *t, lua_State *L, int nargs, int nres) {
    int base = lua_gettop(L) - nargs; // the function
    lua_pushcfunction(L, msgHandler);
    lua_rotate(L, base, 1);
    t->pendValid = false;
    lua_State *saved = t->cur;
    t->cur = L;
    ++t->depth;
    int st = lua_pcall(L, nargs, nres, base);
    --t->depth;
    t->cur = saved;
    if (st != LUA_OK) commitError(t, L, st); // the error value stays on top
    lua_remove(L, base);
    return st;
}

void LuaEngine::commitError(ThreadState *t, lua_State *L, int status) {
    t->lastError = status == LUA_ERRRUN      ? VSSCRIPTERR_RUNTIME
                   : status == LUA_ERRSYNTAX ? VSSCRIPTERR_SYNTAX
                   : status == LUA_ERRMEM    ? VSSCRIPTERR_MEMORY
                                             : VSSCRIPTERR_OTHER;
    size_t len = 0;
    const char *msg = nullptr;
    int ty = lua_type(L, -1);
    if (ty == LUA_TSTRING || ty == LUA_TNUMBER) msg = lua_tolstring(L, -1, &len);
    if (msg) {
        t->errText.assign(msg, len);
    } else {
        t->errText = "(error object is a ";
        t->errText += lua_typename(L, ty);
        t->errText += " value)";
    }
    if (t->pendValid) {
        if (msg && t->pendStrip <= t->errText.size()) t->errText.erase(0, t->pendStrip);
        t->errSource = t->pendSource;
        t->errLine = t->pendLine;
    } else if (status == LUA_ERRSYNTAX && msg) {
        // "chunk:line: text" from the compiler
        const char *c = strchr(msg, ':');
        const char *c2 = c ? strchr(c + 1, ':') : nullptr;
        if (c && c2 && c2 > c + 1 && c2[1] == ' ') {
            t->errSource.assign(msg, (size_t)(c - msg));
            t->errLine = (VS_ULONG)strtoul(c + 1, nullptr, 10);
            t->errText.erase(0, (size_t)(c2 + 2 - msg));
        } else {
            t->errSource = "?";
            t->errLine = 0;
        }
    } else {
        t->errSource = "?";
        t->errLine = 0;
    }
    t->pendValid = false;
    t->hasErrInfo = true;
}

std::string LuaEngine::lastErrorMessage(ThreadState *t) const {
    if (!t->hasErrInfo) return "unknown script error";
    if (t->errLine > 0) return t->errSource + ":" + std::to_string(t->errLine) + ": " + t->errText;
    if (t->errSource != "?") return t->errSource + ": " + t->errText;
    return t->errText;
}

VS_BOOL LuaEngine::ExecNameScript(void *Object, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes) {
    if (!L0_) return VS_FALSE;
    checkScriptLock();
    ThreadState *t = ts();
    lua_State *L = t->cur;
    int top = lua_gettop(L);
    if (nArgs < 0) nArgs = 0;
    if (nArgs > top) nArgs = top;
    if (nRes < 0) nRes = 0;
    int base = top - nArgs + 1; // first argument
    if (!lua_checkstack(L, nArgs + nRes + 8)) {
        lua_settop(L, base - 1);
        t->lastError = VSSCRIPTERR_MEMORY;
        return VS_TRUE; // nothing can be left on a full stack
    }
    HostObject *o = Object && Name ? lookup(Object) : nullptr;
    // Above the arguments: message handler, function, self, copies of the
    // arguments; the results are then copied down over the arguments.
    lua_pushcfunction(L, msgHandler);
    if (!o || !(pushCachedC(L, o, Name) || resolveSlow(L, o, Name, strlen(Name), false, 0))) {
        lua_settop(L, base - 1);
        for (int i = 0; i < nRes; ++i) lua_pushnil(L);
        t->lastError = VSSCRIPTERR_NOTFOUND;
        return VS_FALSE;
    }
    pushObjectRoomy(L, o); // the room was made above
    for (int i = 0; i < nArgs; ++i) lua_pushvalue(L, base + i);
    t->pendValid = false;
    lua_State *saved = t->cur;
    ++t->depth;
    int st = lua_pcall(L, nArgs + 1, nRes, top + 1);
    --t->depth;
    t->cur = saved;
    if (st != LUA_OK) {
        commitError(t, L, st);
        lua_settop(L, base - 1);
        for (int i = 0; i < nRes; ++i) lua_pushnil(L);
        return VS_TRUE;
    }
    for (int i = 0; i < nRes; ++i) lua_copy(L, top + 2 + i, base + i);
    lua_settop(L, base - 1 + nRes);
    t->lastError = VSSCRIPTERR_NONE;
    return VS_TRUE;
}

VS_UWORD LuaEngine::ScriptCallV(void *Object, VS_BOOL *Ok, const VS_CHAR *Name, const VS_CHAR *TypeText,
                                va_list Args) {
    if (Ok) *Ok = VS_FALSE;
    if (!L0_) return 0;
    ThreadState *t = ts();
    // "(" argument codes ")" then at most one result code; codes s, o, z.
    const char *close = TypeText && TypeText[0] == '(' ? strchr(TypeText, ')') : nullptr;
    bool good = close != nullptr;
    for (const char *c = TypeText ? TypeText + 1 : nullptr; good && c < close; ++c)
        good = *c == 's' || *c == 'o' || *c == 'z';
    char res = 0;
    if (good) {
        res = close[1];
        good = res == 0 || ((res == 's' || res == 'o' || res == 'z') && close[2] == 0);
    }
    if (!good) {
        t->lastError = VSSCRIPTERR_OTHER;
        t->hasErrInfo = true;
        t->errText = std::string("malformed type text \"") + (TypeText ? TypeText : "(null)") +
                     "\" in the call of '" + (Name ? Name : "(null)") + "'";
        t->errSource = "?";
        t->errLine = 0;
        return 0;
    }
    lua_State *L = t->cur;
    int top = lua_gettop(L);
    int nargs = (int)(close - TypeText - 1);
    lua_checkstack(L, nargs + 2);
    for (const char *c = TypeText + 1; c < close; ++c) {
        if (*c == 's') {
            const char *s = va_arg(Args, const char *);
            if (s)
                lua_pushstring(L, s);
            else
                lua_pushnil(L);
        } else if (*c == 'o') {
            void *obj = va_arg(Args, void *);
            HostObject *o = obj ? lookup(obj) : nullptr;
            if (o)
                pushObject(L, o);
            else
                lua_pushnil(L);
        } else {
            lua_pushinteger(L, va_arg(Args, VS_INT32));
        }
    }
    VS_BOOL found = ExecNameScript(Object, Name, nargs, res ? 1 : 0);
    bool ran = found && t->lastError == VSSCRIPTERR_NONE;
    if (Ok) *Ok = ran ? VS_TRUE : VS_FALSE;
    VS_UWORD r = 0;
    L = t->cur;
    if (ran && res) {
        if (res == 's') {
            if (lua_type(L, -1) == LUA_TSTRING) {
                size_t len = 0;
                const char *s = lua_tolstring(L, -1, &len);
                t->callBuf.assign(s, len);
                r = (VS_UWORD)(uintptr_t)t->callBuf.c_str();
            }
        } else if (res == 'o') {
            HostObject *o = toHostObject(L, -1);
            r = o ? (VS_UWORD)(uintptr_t)o->record : 0;
        } else {
            r = (VS_UWORD)(uint32_t)(uint64_t)toInt64(L, -1);
        }
    }
    lua_settop(L, top);
    return r;
}

void *LuaEngine::LuaIsFunctionDefined(void *Object, const VS_CHAR *Name, VS_BOOL SearchClassChain) {
    if (!L0_ || !Object || !Name) return nullptr;
    HostObject *o = lookup(Object);
    if (!o) return nullptr;
    lua_State *L = ts()->cur;
    if (!SearchClassChain) {
        HostObject *x = findMember(L, o, Name, true, false, false);
        return x ? x->record : nullptr;
    }
    if (!lua_checkstack(L, 4)) return nullptr;
    int top = lua_gettop(L);
    HostObject *x = resolve(L, o, Name, strlen(Name), false);
    lua_settop(L, top);
    return x ? x->record : nullptr;
}

VS_INT32 LuaEngine::GetLastError() {
    if (!L0_) return 0;
    ThreadState *t = ts();
    int e = t->lastError;
    t->lastError = 0;
    return e;
}

const VS_CHAR *LuaEngine::GetLastErrorInfo(VS_ULONG *LineIndex, const VS_CHAR **SourceName) {
    ThreadState *t = L0_ ? ts() : nullptr;
    if (!t || !t->hasErrInfo) {
        if (LineIndex) *LineIndex = 0;
        if (SourceName) *SourceName = "?";
        return nullptr;
    }
    if (LineIndex) *LineIndex = t->errLine;
    if (SourceName) *SourceName = t->errSource.c_str();
    return t->errText.c_str();
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
    if (!ok && error) *error = st == LUA_ERRFILE ? t->errText : lastErrorMessage(t);
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
    {
        std::lock_guard<std::mutex> g(proxyMu_);
        auto it = proxyOf_.find(o);
        if (it != proxyOf_.end()) {
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
    purgeResolveCache(false);
    purgeProxyMemos();
    lua_gc(ts()->cur, LUA_GCCOLLECT);
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
    posted_.push_back(luaL_ref(L, LUA_REGISTRYINDEX));
}

bool LuaEngine::runOnePosted() {
    if (!L0_ || posted_.empty()) return false;
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
    int st = pcallRecorded(t, L, n - 1, 0);
    if (st != LUA_OK) {
        std::string text = "posted message failed: " + lastErrorMessage(t);
        reportException(text.c_str());
    }
    lua_settop(L, top);
    return true;
}

} // namespace script

ScriptEngine *createScriptEngine() { return new script::LuaEngine(); }

} // namespace tvh
