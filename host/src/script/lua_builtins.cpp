// The host's own script functions (names start with "_", so they never meet
// the module's luafuncs) and the package and binary-buffer values.
//
// Every function here may raise a script error, so their frames hold only
// trivially destructible locals (see lua_engine.h).
#include "lua_engine.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace tvh {
namespace script {

namespace {

inline LuaEngine *E() { return LuaEngine::instance(); }

// Object argument: a live object, else a script error naming the function.
HostObject *checkObj(lua_State *L, int idx) {
    LuaEngine *e = E();
    if (e->udKind(L, idx) != LuaEngine::UdObject) {
        luaL_typeerror(L, idx, "object");
        return nullptr;
    }
    HostObject *o = ((Proxy *)lua_touserdata(L, idx))->obj;
    if (!o) luaL_argerror(L, idx, "object is freed");
    return o;
}

VS_PARAPKGPTR checkPkg(lua_State *L, int idx) {
    if (E()->udKind(L, idx) != LuaEngine::UdPkg) {
        luaL_typeerror(L, idx, "package");
        return nullptr;
    }
    return ((PkgBox *)lua_touserdata(L, idx))->pkg;
}

ClassOfXRQBinBufInterface *checkBin(lua_State *L, int idx) {
    if (E()->udKind(L, idx) != LuaEngine::UdBin) {
        luaL_typeerror(L, idx, "binary buffer");
        return nullptr;
    }
    return ((BinBox *)lua_touserdata(L, idx))->buf;
}

int checkIndex(lua_State *L, int idx) {
    lua_Integer i = luaL_checkinteger(L, idx);
    if (i < INT32_MIN || i > INT32_MAX) luaL_argerror(L, idx, "index out of range");
    return (int)i;
}

void pushObjOrNil(lua_State *L, void *record) {
    HostObject *o = record ? lookup(record) : nullptr;
    if (o)
        E()->pushObject(L, o);
    else
        lua_pushnil(L);
}

// Runs host code that may reach module code with L as the current stack.
struct CurScope {
    ThreadState *t;
    lua_State *saved;
};
inline CurScope enter(lua_State *L) {
    ThreadState *t = E()->ts();
    CurScope s{t, t->cur};
    t->cur = L;
    return s;
}
inline void leave(const CurScope &s) { s.t->cur = s.saved; }

// ---- objects ----
int b_New(lua_State *L) {
    HostObject *c = checkObj(L, 1);
    VS_PARAPKGPTR init = nullptr;
    if (!lua_isnoneornil(L, 2)) init = checkPkg(L, 2);
    VS_UUID id = c->id;
    CurScope s = enter(L);
    void *rec = service()->MallocObjectL(&id, 0, init);
    leave(s);
    if (!rec) return raisef(L, "_New: cannot create an object from '%s'", c->name.c_str());
    pushObjOrNil(L, rec);
    service()->ReleaseOwnerEx(rec); // the script reference keeps it now
    return 1;
}

int b_Free(lua_State *L) {
    if (E()->udKind(L, 1) != LuaEngine::UdObject) return luaL_typeerror(L, 1, "object");
    HostObject *o = ((Proxy *)lua_touserdata(L, 1))->obj;
    if (!o) return 0; // already freed
    CurScope s = enter(L);
    service()->FreeObject(o->record);
    leave(s);
    return 0;
}

int b_Name(lua_State *L) {
    HostObject *o = checkObj(L, 1);
    lua_pushstring(L, service()->GetName(o->record));
    return 1;
}

int b_SetName(lua_State *L) {
    HostObject *o = checkObj(L, 1);
    const char *n = luaL_checkstring(L, 2);
    service()->SetName(o->record, n);
    return 0;
}

int b_ID(lua_State *L) {
    HostObject *o = checkObj(L, 1);
    lua_pushstring(L, service()->UuidToString(service()->GetIDEx(o->record)));
    return 1;
}

int b_FromID(lua_State *L) {
    const char *text = luaL_checkstring(L, 1);
    VS_UUID id;
    if (!service()->StringToUuid(text, &id)) {
        lua_pushnil(L);
        return 1;
    }
    pushObjOrNil(L, service()->GetObject(&id));
    return 1;
}

int b_Find(lua_State *L) {
    const char *name = luaL_checkstring(L, 1);
    pushObjOrNil(L, service()->GetObjectEx(nullptr, name));
    return 1;
}

int b_Class(lua_State *L) {
    HostObject *o = checkObj(L, 1);
    pushObjOrNil(L, service()->GetClass(o->record));
    return 1;
}

int b_Parent(lua_State *L) {
    HostObject *o = checkObj(L, 1);
    pushObjOrNil(L, service()->GetParent(o->record));
    return 1;
}

int b_IsInst(lua_State *L) {
    HostObject *c = checkObj(L, 1);
    HostObject *o = checkObj(L, 2);
    VS_UUID id = c->id;
    lua_pushboolean(L, service()->IsInst(&id, o->record) != 0);
    return 1;
}

int b_Children(lua_State *L) {
    HostObject *o = checkObj(L, 1);
    const char *name = luaL_checkstring(L, 2);
    const AttrDef *a = findAttr(o, name);
    if (!a || a->kind != AttrKind::Queue) return raisef(L, "_Children: '%s' is not a queue of this object", name);
    VS_PARAPKGPTR pkg = newParaPkg();
    void *head = (char *)o->record + a->offset;
    for (void *c = service()->QueryFirst(head); c; c = service()->QueryNext(c))
        pkg->InsertObject(pkg->GetNumber(), c);
    E()->pushPkg(L, pkg, true);
    return 1;
}

// ---- lifetime ----
int b_LockGC(lua_State *L) {
    service()->LockGC(checkObj(L, 1)->record);
    return 0;
}

int b_UnLockGC(lua_State *L) {
    service()->UnLockGC(checkObj(L, 1)->record);
    return 0;
}

int b_RefCount(lua_State *L) {
    lua_pushinteger(L, holdCount(checkObj(L, 1))); // the real count, whatever GetRefEx answers
    return 1;
}

int b_CollectGarbage(lua_State *L) {
    CurScope s = enter(L);
    tvh::collectGarbage();
    leave(s);
    return 0;
}

int b_SetRawContext(lua_State *L) {
    HostObject *o = checkObj(L, 1);
    o->rawContext = lua_toboolean(L, 2) != 0;
    return 0;
}

// ---- packages ----
int fillPkg(lua_State *L, VS_PARAPKGPTR pkg, int first, int last) {
    char err[160];
    for (int i = first; i <= last; ++i) {
        if (storeItem(L, pkg, pkg->GetNumber(), i, -1, err, sizeof err) < 0) {
            pkg->Release();
            return raisef(L, "argument #%d: %s", i, err);
        }
    }
    return 0;
}

int b_Pkg(lua_State *L) {
    int n = lua_gettop(L);
    VS_PARAPKGPTR pkg = newParaPkg();
    fillPkg(L, pkg, 1, n);
    E()->pushPkg(L, pkg, true);
    return 1;
}

int b_Dict(lua_State *L) {
    int n = lua_gettop(L);
    VS_PARAPKGPTR pkg = newParaPkg();
    pkg->AsDict(VS_TRUE);
    fillPkg(L, pkg, 1, n);
    E()->pushPkg(L, pkg, true);
    return 1;
}

int p_Count(lua_State *L) {
    lua_pushinteger(L, checkPkg(L, 1)->GetNumber());
    return 1;
}

int p_Type(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    lua_pushinteger(L, p->GetType(checkIndex(L, 2)));
    return 1;
}

int p_Get(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    pushItem(L, p, checkIndex(L, 2));
    return 1;
}

int setItem(lua_State *L, VS_PARAPKGPTR p, int i, int valueIdx, int typeIdx) {
    int itemType = -1;
    if (!lua_isnoneornil(L, typeIdx)) {
        lua_Integer t = luaL_checkinteger(L, typeIdx);
        if (t < 0 || t > 9) return luaL_argerror(L, typeIdx, "unknown item type");
        itemType = (int)t;
    }
    char err[160];
    int r = storeItem(L, p, i, valueIdx, itemType, err, sizeof err);
    if (r < 0) return raisef(L, "%s", err);
    lua_pushboolean(L, r);
    return 1;
}

int p_Set(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    int i = checkIndex(L, 2);
    luaL_checkany(L, 3);
    return setItem(L, p, i, 3, 4);
}

int p_Append(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    luaL_checkany(L, 2);
    return setItem(L, p, p->GetNumber(), 2, 3);
}

int p_Del(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    lua_pushboolean(L, p->Del(checkIndex(L, 2)) != 0);
    return 1;
}

int p_Clear(lua_State *L) {
    checkPkg(L, 1)->Clear();
    return 0;
}

int p_AsDict(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    p->AsDict(lua_isnone(L, 2) || lua_toboolean(L, 2) ? VS_TRUE : VS_FALSE);
    return 0;
}

int p_IsDict(lua_State *L) {
    lua_pushboolean(L, checkPkg(L, 1)->IsDict() != 0);
    return 1;
}

int p_FindDict(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    lua_pushinteger(L, p->FindDict(luaL_checkstring(L, 2)));
    return 1;
}

int p_ToJSon(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    VS_CHAR *text = p->ToJSon();
    if (!text) {
        lua_pushnil(L);
        return 1;
    }
    lua_pushstring(L, text);
    p->FreeBuf(text);
    return 1;
}

// print(pkg) and tostring(pkg): the package's items as the host writes a
// value's text (objects, binaries and times included), not an address.
int p_ToString(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    VS_CHAR *text = p->GetValueStr();
    if (!text) {
        lua_pushliteral(L, "package");
        return 1;
    }
    lua_pushstring(L, text);
    p->FreeBuf(text);
    return 1;
}

// A text that does not read answers false, and the reason with its offset
// goes to the error log (what _Errors() reads): a bare false would leave the
// script to guess what was wrong and where.
int p_FromJSon(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    bool ok = p->FromJSon(luaL_checkstring(L, 2)) != 0;
    if (!ok) {
        const VS_CHAR *why = p->GetJSonError();
        recordError(1, "tarvex", 0,
                    (std::string("_FromJSon failed, ") + (why ? why : "the text does not read")).c_str());
    }
    lua_pushboolean(L, ok);
    return 1;
}

int p_Dup(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    VS_PARAPKGPTR d = p->Dup();
    if (!d) {
        lua_pushnil(L);
        return 1;
    }
    E()->pushPkg(L, d, true);
    return 1;
}

int p_Equals(lua_State *L) {
    VS_PARAPKGPTR p = checkPkg(L, 1);
    VS_PARAPKGPTR q = checkPkg(L, 2);
    lua_pushboolean(L, p->Equals(q) != 0);
    return 1;
}

int p_Gc(lua_State *L) {
    PkgBox *b = (PkgBox *)lua_touserdata(L, 1);
    if (LuaEngine *e = g_engine) e->boxFinalized();
    if (b && b->pkg) {
        VS_PARAPKGPTR p = b->pkg;
        b->pkg = nullptr;
        p->Release();
    }
    return 0;
}

// ---- binary buffers ----
int b_BinBuf(lua_State *L) {
    size_t len = 0;
    const char *s = luaL_optlstring(L, 1, "", &len);
    if (len > (size_t)INT32_MAX) return luaL_argerror(L, 1, "text too long");
    ClassOfXRQBinBufInterface *b = newBinBuf();
    if (len) b->Set(0, (VS_INT32)len, (const VS_INT8 *)s);
    E()->pushBin(L, b, true);
    return 1;
}

int bb_Text(lua_State *L) {
    ClassOfXRQBinBufInterface *b = checkBin(L, 1);
    VS_INT8 *p = b->GetBuf();
    VS_INT32 n = b->GetOffset();
    lua_pushlstring(L, p ? (const char *)p : "", p && n > 0 ? (size_t)n : 0);
    return 1;
}

int bb_Gc(lua_State *L) {
    BinBox *b = (BinBox *)lua_touserdata(L, 1);
    if (LuaEngine *e = g_engine) e->boxFinalized();
    if (b && b->buf) {
        ClassOfXRQBinBufInterface *p = b->buf;
        b->buf = nullptr;
        p->Release();
    }
    return 0;
}

// ---- messages and threads ----
int b_Post(lua_State *L) {
    luaL_checktype(L, 1, LUA_TFUNCTION);
    E()->post(L, 1, lua_gettop(L));
    return 0;
}

int b_Yield(lua_State *L) {
    lua_Integer ms = luaL_optinteger(L, 1, 0);
    if (ms < 0) ms = 0;
    if (ms > 60000) ms = 60000;
    // Give up every level of both locks, host lock first, and take them back
    // in the opposite order with the same depths.
    int host = 0, scr = 0;
    while (holdsHostLock() && host < 1000) {
        service()->XRQUnLock();
        ++host;
    }
    while (holdsScriptLock() && scr < 1000) {
        control()->ReleaseScriptGIL();
        ++scr;
    }
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    else
        std::this_thread::yield();
    for (;;) {
        // The engine is going: this thread stays here for good, holding
        // nothing (a later engine is not its own).
        if (scriptsEnding().load())
            for (;;)
                std::this_thread::sleep_for(std::chrono::hours(1));
        for (int i = 0; i < scr; ++i) control()->CaptureScriptGIL();
        for (int i = 0; i < host; ++i) service()->XRQLock();
        if (!scriptsEnding().load()) break;
        // It began to go while this thread waited for the locks.
        for (int i = 0; i < host; ++i) service()->XRQUnLock();
        for (int i = 0; i < scr; ++i) control()->ReleaseScriptGIL();
    }
    return 0;
}

// ---- diagnostics ----
int b_Errors(lua_State *L) {
    VS_PARAPKGPTR list = newParaPkg();
    {
        std::vector<ErrorReport> all = errors(true);
        for (const ErrorReport &r : all) {
            VS_PARAPKGPTR d = newParaPkg();
            d->AsDict(VS_TRUE);
            d->InsertStr(0, "Level");
            d->InsertInt(1, r.level);
            d->InsertStr(2, "Source");
            d->InsertStrEx(3, r.source.data(), (VS_INT32)r.source.size());
            d->InsertStr(4, "Line");
            d->InsertInt(5, r.line);
            d->InsertStr(6, "Text");
            d->InsertStrEx(7, r.text.data(), (VS_INT32)r.text.size());
            list->InsertParaPackage(list->GetNumber(), d);
            d->Release();
        }
    }
    E()->pushPkg(L, list, true);
    return 1;
}

int b_Stats(lua_State *L) {
    HostStats s = tvh::stats();
    VS_PARAPKGPTR d = newParaPkg();
    d->AsDict(VS_TRUE);
    const struct {
        const char *name;
        long long value;
    } items[] = {{"UnlockAtZero", s.UnlockAtZero},     {"InvalidObjects", s.InvalidObjects},
                 {"LockViolations", s.LockViolations}, {"RecursiveLocks", s.RecursiveLocks},
                 {"LiveObjects", s.LiveObjects},       {"LivePackages", s.LivePackages},
                 {"LiveBinBufs", s.LiveBinBufs}};
    for (const auto &it : items) {
        d->InsertStr(d->GetNumber(), it.name);
        d->InsertInt64(d->GetNumber(), (VS_INT64)it.value);
    }
    E()->pushPkg(L, d, true);
    return 1;
}

bool fitsInt32(lua_Integer v) { return v >= INT32_MIN && v <= INT32_MAX; }

} // namespace

int storeItem(lua_State *L, VS_PARAPKGPTR pkg, int i, int v, int itemType, char *err, size_t errLen) {
    LuaEngine *e = E();
    int t = lua_type(L, v);
    LuaEngine::UdKind k = t == LUA_TUSERDATA ? e->udKind(L, v) : LuaEngine::UdNone;
    size_t len = 0;
    const char *s = nullptr;
    lua_Integer iv = 0;
    int isnum = 0;
    switch (itemType) {
    case -1:
        switch (t) {
        case LUA_TNIL:
        case LUA_TNONE:
            return pkg->InsertEmpty(i) ? 1 : 0;
        case LUA_TNUMBER:
            if (lua_isinteger(L, v)) {
                iv = lua_tointeger(L, v);
                return (fitsInt32(iv) ? pkg->InsertInt(i, (VS_INT32)iv) : pkg->InsertInt64(i, (VS_INT64)iv)) ? 1
                                                                                                              : 0;
            }
            return pkg->InsertFloat(i, lua_tonumber(L, v)) ? 1 : 0;
        case LUA_TBOOLEAN:
            return pkg->InsertBool(i, lua_toboolean(L, v) ? VS_TRUE : VS_FALSE) ? 1 : 0;
        case LUA_TSTRING:
            s = lua_tolstring(L, v, &len);
            if (len > (size_t)INT32_MAX) break;
            return pkg->InsertStrEx(i, s, (VS_INT32)len) ? 1 : 0;
        case LUA_TUSERDATA:
            if (k == LuaEngine::UdObject) {
                HostObject *o = ((Proxy *)lua_touserdata(L, v))->obj;
                return pkg->InsertObject(i, o ? o->record : nullptr) ? 1 : 0;
            }
            if (k == LuaEngine::UdPkg) return pkg->InsertParaPackage(i, ((PkgBox *)lua_touserdata(L, v))->pkg) ? 1 : 0;
            if (k == LuaEngine::UdBin) {
                ClassOfXRQBinBufInterface *b = ((BinBox *)lua_touserdata(L, v))->buf;
                return pkg->InsertBin(i, b->GetBuf(), b->GetOffset()) ? 1 : 0;
            }
            break;
        default:
            break;
        }
        snprintf(err, errLen, "a %s value cannot be stored in a package", luaL_typename(L, v));
        return -1;
    case VSTYPE_EMPTY:
        return pkg->InsertEmpty(i) ? 1 : 0;
    case VSTYPE_INT32:
        iv = lua_tointegerx(L, v, &isnum);
        if (t != LUA_TNUMBER || !isnum || !fitsInt32(iv)) break;
        return pkg->InsertInt(i, (VS_INT32)iv) ? 1 : 0;
    case VSTYPE_INT64:
    case VSTYPE_TIME:
        iv = lua_tointegerx(L, v, &isnum);
        if (t != LUA_TNUMBER || !isnum) break;
        return (itemType == VSTYPE_TIME ? pkg->InsertTime(i, (VS_INT64)iv) : pkg->InsertInt64(i, (VS_INT64)iv)) ? 1
                                                                                                              : 0;
    case VSTYPE_DOUBLE:
        if (t != LUA_TNUMBER) break;
        return pkg->InsertFloat(i, lua_tonumber(L, v)) ? 1 : 0;
    case VSTYPE_BOOL:
        if (t != LUA_TBOOLEAN) break;
        return pkg->InsertBool(i, lua_toboolean(L, v) ? VS_TRUE : VS_FALSE) ? 1 : 0;
    case VSTYPE_STRING:
        if (t != LUA_TSTRING) break;
        s = lua_tolstring(L, v, &len);
        if (len > (size_t)INT32_MAX) break;
        return pkg->InsertStrEx(i, s, (VS_INT32)len) ? 1 : 0;
    case VSTYPE_BIN:
        if (t == LUA_TSTRING) {
            s = lua_tolstring(L, v, &len);
            if (len > (size_t)INT32_MAX) break;
            return pkg->InsertBin(i, (const VS_INT8 *)s, (VS_INT32)len) ? 1 : 0;
        }
        if (k == LuaEngine::UdBin) {
            ClassOfXRQBinBufInterface *b = ((BinBox *)lua_touserdata(L, v))->buf;
            return pkg->InsertBin(i, b->GetBuf(), b->GetOffset()) ? 1 : 0;
        }
        break;
    case VSTYPE_OBJECT:
        if (t == LUA_TNIL) return pkg->InsertObject(i, nullptr) ? 1 : 0;
        if (k != LuaEngine::UdObject) break;
        {
            HostObject *o = ((Proxy *)lua_touserdata(L, v))->obj;
            return pkg->InsertObject(i, o ? o->record : nullptr) ? 1 : 0;
        }
    case VSTYPE_PARAPKG:
        if (k != LuaEngine::UdPkg) break;
        return pkg->InsertParaPackage(i, ((PkgBox *)lua_touserdata(L, v))->pkg) ? 1 : 0;
    default:
        snprintf(err, errLen, "unknown item type %d", itemType);
        return -1;
    }
    snprintf(err, errLen, "a %s value does not fit item type %d", luaL_typename(L, v), itemType);
    return -1;
}

void pushItem(lua_State *L, VS_PARAPKGPTR pkg, int i) {
    LuaEngine *e = E();
    lua_checkstack(L, 2);
    VS_INT32 len = 0;
    switch (pkg->GetType(i)) {
    case VSTYPE_INT32:
        lua_pushinteger(L, pkg->GetInt(i));
        return;
    case VSTYPE_INT64:
        lua_pushinteger(L, (lua_Integer)pkg->GetInt64(i));
        return;
    case VSTYPE_TIME:
        lua_pushinteger(L, (lua_Integer)pkg->GetTime(i));
        return;
    case VSTYPE_DOUBLE:
        lua_pushnumber(L, pkg->GetFloat(i));
        return;
    case VSTYPE_BOOL:
        lua_pushboolean(L, pkg->GetBool(i) != 0);
        return;
    case VSTYPE_STRING: {
        const char *s = pkg->GetStrEx(i, &len);
        if (s)
            lua_pushlstring(L, s, len > 0 ? (size_t)len : 0);
        else
            lua_pushnil(L);
        return;
    }
    case VSTYPE_BIN: {
        const VS_INT8 *b = pkg->GetBin(i, &len);
        ClassOfXRQBinBufInterface *buf = newBinBuf();
        if (b && len > 0) buf->Set(0, len, b);
        e->pushBin(L, buf, true);
        return;
    }
    case VSTYPE_OBJECT:
        pushObjOrNil(L, pkg->GetObject(i));
        return;
    case VSTYPE_PARAPKG: {
        VS_PARAPKGPTR sub = pkg->GetParaPackage(i);
        if (sub)
            e->pushPkg(L, sub, false);
        else
            lua_pushnil(L);
        return;
    }
    default:
        lua_pushnil(L);
        return;
    }
}

void LuaEngine::registerBuiltins(lua_State *L) {
    static const luaL_Reg pkgMethods[] = {{"_Count", p_Count},   {"_Type", p_Type},         {"_Get", p_Get},
                                          {"_Set", p_Set},       {"_Append", p_Append},     {"_Del", p_Del},
                                          {"_Clear", p_Clear},   {"_AsDict", p_AsDict},     {"_IsDict", p_IsDict},
                                          {"_FindDict", p_FindDict}, {"_ToJSon", p_ToJSon}, {"_FromJSon", p_FromJSon},
                                          {"_Dup", p_Dup},       {"_Equals", p_Equals},     {nullptr, nullptr}};
    lua_newtable(L); // package metatable
    lua_newtable(L);
    luaL_setfuncs(L, pkgMethods, 0);
    lua_setfield(L, -2, "__index");
    lua_pushcfunction(L, p_Gc);
    lua_setfield(L, -2, "__gc");
    lua_pushcfunction(L, p_ToString);
    lua_setfield(L, -2, "__tostring");
    lua_pushliteral(L, "package");
    lua_setfield(L, -2, "__name");
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "__metatable");
    int pkgRef = luaL_ref(L, LUA_REGISTRYINDEX);

    lua_newtable(L); // binary buffer metatable
    lua_newtable(L);
    lua_pushcfunction(L, bb_Text);
    lua_setfield(L, -2, "_Text");
    lua_setfield(L, -2, "__index");
    lua_pushcfunction(L, bb_Gc);
    lua_setfield(L, -2, "__gc");
    lua_pushliteral(L, "binbuf");
    lua_setfield(L, -2, "__name");
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "__metatable");
    int binRef = luaL_ref(L, LUA_REGISTRYINDEX);
    setMetas(objMetaRef(), pkgRef, binRef);

    static const luaL_Reg globals[] = {{"_New", b_New},
                                       {"_Free", b_Free},
                                       {"_Name", b_Name},
                                       {"_SetName", b_SetName},
                                       {"_ID", b_ID},
                                       {"_FromID", b_FromID},
                                       {"_Find", b_Find},
                                       {"_Class", b_Class},
                                       {"_Parent", b_Parent},
                                       {"_IsInst", b_IsInst},
                                       {"_Children", b_Children},
                                       {"_LockGC", b_LockGC},
                                       {"_UnLockGC", b_UnLockGC},
                                       {"_RefCount", b_RefCount},
                                       {"_CollectGarbage", b_CollectGarbage},
                                       {"_SetRawContext", b_SetRawContext},
                                       {"_Pkg", b_Pkg},
                                       {"_Dict", b_Dict},
                                       {"_BinBuf", b_BinBuf},
                                       {"_Post", b_Post},
                                       {"_Yield", b_Yield},
                                       {"_Errors", b_Errors},
                                       {"_Stats", b_Stats},
                                       {nullptr, nullptr}};
    lua_pushglobaltable(L);
    luaL_setfuncs(L, globals, 0);
    lua_pop(L, 1);
    registerThreadBuiltins(L); // _Thread, _Join, _ThreadDone
}

} // namespace script
} // namespace tvh
