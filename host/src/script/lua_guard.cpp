// What scripts may not do to the host through Lua's own libraries. The host's
// values (object proxies, packages, buffers, threads) are full userdata whose
// metamethods and closures trust what they are given; the debug library would
// let a script hand them anything, and a binary chunk can be made to break the
// virtual machine itself. Each would crash the process, so:
//  - debug.getregistry raises (the registry holds the host's tables);
//  - debug.getmetatable answers what getmetatable answers, so a protected
//    metatable (every host value's) stays hidden, and debug.setmetatable
//    refuses to change one;
//  - debug.getlocal and debug.setlocal see no locals of C functions (host
//    calls keep their own values on the stack while a script runs);
//  - debug.getupvalue and debug.setupvalue see no up-values of C functions
//    (a luafunc's up-value is the host's handle on its slot);
//  - debug.getuservalue and debug.setuservalue raise for a full userdata;
//  - load, loadfile and dofile take text chunks only, as the host's own
//    loaders do ("b" is taken out of a mode given to load or loadfile).
// Everything else in the debug library, and everything these functions do
// for Lua functions and frames, is Lua's own behaviour.
#include "lua_engine.h"

namespace tvh {
namespace script {

namespace {

// The thread a debug function acts on: an optional first argument.
lua_State *targetThread(lua_State *L, int *arg) {
    if (lua_isthread(L, 1)) {
        *arg = 1;
        return lua_tothread(L, 1);
    }
    *arg = 0;
    return L;
}

void roomOn(lua_State *L, lua_State *L1, int n) {
    if (L != L1 && !lua_checkstack(L1, n)) luaL_error(L, "stack overflow");
}

// Whether the frame is a C function's (or has no source information).
bool isCFrame(lua_State *L1, lua_Debug *ar) {
    if (!lua_getinfo(L1, "S", ar)) return true;
    return ar->what[0] == 'C';
}

// Calls the function this one replaced (up-value 1) with all the arguments
// and answers all its results.
int callOriginal(lua_State *L) {
    int n = lua_gettop(L);
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, n, LUA_MULTRET);
    return lua_gettop(L);
}

int d_getregistry(lua_State *L) { return luaL_error(L, "debug.getregistry is not available to scripts"); }

int d_getmetatable(lua_State *L) {
    luaL_checkany(L, 1);
    if (!lua_getmetatable(L, 1)) {
        lua_pushnil(L);
        return 1;
    }
    luaL_getmetafield(L, 1, "__metatable"); // pushes the protecting value, if any
    return 1;
}

int d_setmetatable(lua_State *L) {
    int t = lua_type(L, 2);
    luaL_argexpected(L, t == LUA_TNIL || t == LUA_TTABLE, 2, "nil or table");
    if (luaL_getmetafield(L, 1, "__metatable") != LUA_TNIL) return luaL_error(L, "cannot change a protected metatable");
    lua_settop(L, 2);
    lua_setmetatable(L, 1);
    return 1;
}

int d_getlocal(lua_State *L) {
    int arg;
    lua_State *L1 = targetThread(L, &arg);
    int nvar = (int)luaL_checkinteger(L, arg + 2);
    if (lua_isfunction(L, arg + 1)) { // parameter names of a Lua function
        lua_pushvalue(L, arg + 1);
        lua_pushstring(L, lua_getlocal(L, nullptr, nvar));
        return 1;
    }
    int level = (int)luaL_checkinteger(L, arg + 1);
    lua_Debug ar;
    if (!lua_getstack(L1, level, &ar)) return luaL_argerror(L, arg + 1, "level out of range");
    if (isCFrame(L1, &ar)) {
        luaL_pushfail(L);
        return 1;
    }
    roomOn(L, L1, 1);
    const char *name = lua_getlocal(L1, &ar, nvar);
    if (!name) {
        luaL_pushfail(L);
        return 1;
    }
    lua_xmove(L1, L, 1);
    lua_pushstring(L, name);
    lua_rotate(L, -2, 1);
    return 2;
}

int d_setlocal(lua_State *L) {
    int arg;
    lua_State *L1 = targetThread(L, &arg);
    int level = (int)luaL_checkinteger(L, arg + 1);
    int nvar = (int)luaL_checkinteger(L, arg + 2);
    lua_Debug ar;
    if (!lua_getstack(L1, level, &ar)) return luaL_argerror(L, arg + 1, "level out of range");
    luaL_checkany(L, arg + 3);
    if (isCFrame(L1, &ar)) {
        luaL_pushfail(L);
        return 1;
    }
    lua_settop(L, arg + 3);
    roomOn(L, L1, 1);
    lua_xmove(L, L1, 1);
    const char *name = lua_setlocal(L1, &ar, nvar);
    if (!name) lua_pop(L1, 1); // the value was not taken
    lua_pushstring(L, name);
    return 1;
}

// debug.getupvalue / debug.setupvalue: the originals (up-value 1) for Lua
// functions; nothing, as for an up-value that does not exist, for C ones.
int d_upvalueAccess(lua_State *L) {
    luaL_checkinteger(L, 2);
    luaL_checktype(L, 1, LUA_TFUNCTION);
    if (lua_iscfunction(L, 1)) return 0;
    return callOriginal(L);
}

// debug.getuservalue / debug.setuservalue: the originals (up-value 1) for
// anything but a full userdata.
int d_uservalueAccess(lua_State *L) {
    if (lua_type(L, 1) == LUA_TUSERDATA) return luaL_error(L, "the user values of a host value are not accessible");
    return callOriginal(L);
}

// load(chunk [, name [, mode [, env]]]) and loadfile(name [, mode [, env]]):
// the originals (up-value 1) with "b" taken out of the mode (default "bt"),
// so a binary chunk is refused as the mode refuses it. An absent env stays
// absent: the originals tell it apart from nil.
int callWithTextMode(lua_State *L, int modeArg) {
    const char *given = luaL_optstring(L, modeArg, "bt");
    char mode[8];
    size_t n = 0;
    for (const char *c = given; *c && n + 1 < sizeof mode; ++c)
        if (*c != 'b') mode[n++] = *c;
    mode[n] = 0;
    if (lua_gettop(L) < modeArg) lua_settop(L, modeArg);
    lua_pushstring(L, mode);
    lua_replace(L, modeArg);
    return callOriginal(L);
}
int g_load(lua_State *L) { return callWithTextMode(L, 3); }
int g_loadfile(lua_State *L) { return callWithTextMode(L, 2); }

int dofileDone(lua_State *L, int, lua_KContext) { return lua_gettop(L) - 1; }
int g_dofile(lua_State *L) {
    const char *name = luaL_optstring(L, 1, nullptr);
    lua_settop(L, 1);
    if (luaL_loadfilex(L, name, "t") != LUA_OK) return lua_error(L);
    lua_callk(L, 0, LUA_MULTRET, 0, dofileDone);
    return dofileDone(L, 0, 0);
}

// Replaces field `name` of the table on top with f, the old value as f's
// up-value 1 when withOriginal.
void replaceField(lua_State *L, const char *name, lua_CFunction f, bool withOriginal) {
    if (withOriginal) {
        lua_getfield(L, -1, name);
        lua_pushcclosure(L, f, 1);
    } else {
        lua_pushcfunction(L, f);
    }
    lua_setfield(L, -2, name);
}

} // namespace

void guardScriptLibraries(lua_State *L) {
    if (lua_getglobal(L, "debug") == LUA_TTABLE) {
        replaceField(L, "getregistry", d_getregistry, false);
        replaceField(L, "getmetatable", d_getmetatable, false);
        replaceField(L, "setmetatable", d_setmetatable, false);
        replaceField(L, "getlocal", d_getlocal, false);
        replaceField(L, "setlocal", d_setlocal, false);
        replaceField(L, "getupvalue", d_upvalueAccess, true);
        replaceField(L, "setupvalue", d_upvalueAccess, true);
        replaceField(L, "getuservalue", d_uservalueAccess, true);
        replaceField(L, "setuservalue", d_uservalueAccess, true);
    }
    lua_pop(L, 1);
    lua_pushglobaltable(L);
    replaceField(L, "load", g_load, true);
    replaceField(L, "loadfile", g_loadfile, true);
    replaceField(L, "dofile", g_dofile, false);
    lua_pop(L, 1);
}

} // namespace script
} // namespace tvh
