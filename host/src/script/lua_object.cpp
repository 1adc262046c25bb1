// The object metatable: reading and writing attributes, script fields and
// functions of an object through its proxy, calling and printing it, and the
// proxy's finalizer.
#include "lua_engine.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tvh {
namespace script {

namespace {

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
    p->memoOwn = LuaEngine::hasOwnEntries(o);
}

} // namespace

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
            p->memoOwn == LuaEngine::hasOwnEntries(o) &&
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
        // The hook declined: what follows depends on nothing the hook sees,
        // so the proxy's memo holds as it does without a hook. The
        // generation is read again: the hook may have changed things.
        gen = resolveGen();
        if (kind == 1) {
            const void *key = lua_topointer(L, 2);
            if (key && key == p->memoKey && p->memoGen == gen && p->memoSeq == o->seq &&
                p->memoOwn == LuaEngine::hasOwnEntries(o)) {
                lua_getiuservalue(L, 1, kProxyMemoFn);
                return 1;
            }
        }
    }
    if (kind == 2) {
        lua_pushnil(L);
        return 1;
    }
    if (const AttrDef *a = findAttr(o, name)) {
        pushAttr(L, o, *a);
        return 1;
    }
    if (!e->resolve(L, o, name, strlen(name), true, 2))
        lua_pushnil(L);
    else if (kind == 1 && lua_type(L, -1) == LUA_TFUNCTION && p->obj == o)
        memoize(L, p, o, gen);
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

} // namespace script
} // namespace tvh
