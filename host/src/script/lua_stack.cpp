// The host's script stack operations: the LuaTo... readers, the LuaPush...
// writers, LuaGetTop, LuaType, LuaPop and LuaInsert on the calling thread's
// current stack.
#include "lua_engine.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tvh {
namespace script {

// ---- stack operations ----
VS_INT32 LuaEngine::LuaGetTop() {
    if (!L0_) return 0;
    return lua_gettop(ts()->cur);
}

VS_INT32 LuaEngine::LuaType(VS_INT32 Index) {
    if (!L0_) return VSLUATYPE_NIL;
    lua_State *L = ts()->cur;
    if (!readableIndex(L, Index)) return VSLUATYPE_NIL;
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
    if (!readableIndex(L, Index)) return nullptr;
    HostObject *o = toHostObject(L, Index);
    return o ? o->record : nullptr;
}

VS_INT32 LuaEngine::LuaToInt(VS_INT32 Index) {
    if (!L0_) return 0;
    lua_State *L = ts()->cur;
    if (!readableIndex(L, Index)) return 0;
    return (VS_INT32)(uint32_t)(uint64_t)toInt64(L, Index); // low 32 bits
}

VS_INT64 LuaEngine::LuaToInt64(VS_INT32 Index) {
    if (!L0_) return 0;
    lua_State *L = ts()->cur;
    if (!readableIndex(L, Index)) return 0;
    return toInt64(L, Index);
}

VS_DOUBLE LuaEngine::LuaToNumber(VS_INT32 Index) {
    if (!L0_) return 0;
    lua_State *L = ts()->cur;
    if (!readableIndex(L, Index)) return 0;
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
    if (!readableIndex(L, Index)) return VS_FALSE;
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
    if (!readableIndex(L, Index) || lua_type(L, Index) != LUA_TSTRING) return nullptr;
    size_t len = 0;
    const char *s = lua_tolstring(L, Index, &len);
    if (Length) *Length = len > (size_t)INT32_MAX ? INT32_MAX : (VS_INT32)len;
    return s;
}

VS_PARAPKGPTR LuaEngine::LuaToParaPkg(VS_INT32 Index) {
    if (!L0_) return nullptr;
    lua_State *L = ts()->cur;
    if (!readableIndex(L, Index) || udKind(L, Index) != UdPkg) return nullptr;
    return ((PkgBox *)lua_touserdata(L, Index))->pkg;
}

ClassOfXRQBinBufInterface *LuaEngine::LuaToBinBuf(VS_INT32 Index) {
    if (!L0_) return nullptr;
    lua_State *L = ts()->cur;
    if (!readableIndex(L, Index) || udKind(L, Index) != UdBin) return nullptr;
    return ((BinBox *)lua_touserdata(L, Index))->buf;
}

VS_UWORD LuaEngine::LuaToUWord(VS_INT32 Index) {
    if (!L0_) return 0;
    lua_State *L = ts()->cur;
    if (!readableIndex(L, Index)) return 0;
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
    if (!L0_) return;
    lua_State *L = ts()->cur;
    // One check for the room the proxy lookup needs (the proxy table and
    // the proxy, or the new proxy and its metatable).
    if (!lua_checkstack(L, 4)) return;
    HostObject *o = Object ? lookup(Object) : nullptr;
    if (!o)
        lua_pushnil(L);
    else
        pushObjectRoomy(L, o);
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

} // namespace script
} // namespace tvh
