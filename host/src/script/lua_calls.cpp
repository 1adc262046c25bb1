// Calls: the message handler that locates script errors, the trampolines of
// the module's luafuncs, protected calls with their error bookkeeping, calls
// by name (ExecNameScript, ScriptCall) and the per-thread last error.
#include "lua_engine.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tvh {
namespace script {

namespace {

// Chunk name as the host reports it: without the '@' or '=' marker.
const char *plainSource(const char *src) {
    if (!src || !*src) return "?";
    if (src[0] == '@' || src[0] == '=') return src + 1;
    return src;
}

} // namespace

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
    // Where the error came from, while its frames are still there: the runner
    // prints it under the message.
    luaL_traceback(L, L, nullptr, 1);
    t->pendTrace.assign(lua_tostring(L, -1));
    lua_pop(L, 1);
    return 1;
}

// ---- luafunc trampolines ----
// Runs a module luafunc with L as the thread's current stack and clamps its
// result count to what is on the stack. Inline in both trampolines: a
// luafunc call is the hottest path between scripts and the module.
static inline int runModuleFn(lua_State *L, VS_LUAFUNCPTR fn) {
    checkScriptLock();
    ThreadState *t = g_engine->ts();
    lua_State *saved = t->cur;
    t->cur = L;
    int n = fn ? fn((void *)L) : 0;
    t->cur = saved;
    if (n <= 0) return 0;
    int top = lua_gettop(L);
    return n > top ? top : n;
}

int slotTrampoline(lua_State *L) {
    g_engine->drainDeferred(L);
    FuncSlot *slot = (FuncSlot *)lua_touserdata(L, lua_upvalueindex(1));
    if (!slot) return raisef(L, "function of a freed object called");
    VS_LUAFUNCPTR fn = slot->fn;
    if (!fn) return raisef(L, "function '%s' is not bound", slot->name.c_str());
    return runModuleFn(L, fn);
}

static int regTrampoline(lua_State *L) {
    VS_LUAFUNCPTR fn = (VS_LUAFUNCPTR)lua_touserdata(L, lua_upvalueindex(1));
    return runModuleFn(L, fn);
}

void pushRegClosure(lua_State *L, const RegFunc &rf) {
    lua_pushlightuserdata(L, (void *)rf.fn);
    lua_pushinteger(L, (lua_Integer)rf.para);
    lua_pushcclosure(L, regTrampoline, 2);
}

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
        t->errTrace.swap(t->pendTrace);
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
    if (!t->pendValid) t->errTrace.clear();
    t->pendTrace.clear();
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
    if (!lua_checkstack(L, nArgs + nRes + 9)) {
        lua_settop(L, base - 1);
        t->lastError = VSSCRIPTERR_MEMORY;
        return VS_TRUE; // nothing can be left on a full stack
    }
    HostObject *o = Object && Name ? lookup(Object) : nullptr;
    // Above the arguments: the proxy slots (self is found there without
    // moving it down over the table afterwards), message handler, function,
    // self, copies of the arguments; the results are then copied down over
    // the arguments.
    lua_rawgeti(L, LUA_REGISTRYINDEX, proxySlotsRef_);
    lua_pushcfunction(L, msgHandler);
    if (!o || !(pushCachedC(L, o, Name) || resolveSlow(L, o, Name, strlen(Name), false, 0))) {
        lua_settop(L, base - 1);
        for (int i = 0; i < nRes; ++i) lua_pushnil(L);
        t->lastError = VSSCRIPTERR_NOTFOUND;
        return VS_FALSE;
    }
    if (!pushFromSlots(L, top + 1, o)) pushObjectRoomy(L, o); // the room was made above
    for (int i = 0; i < nArgs; ++i) lua_pushvalue(L, base + i);
    t->pendValid = false;
    lua_State *saved = t->cur;
    ++t->depth;
    int st = lua_pcall(L, nArgs + 1, nRes, top + 2);
    --t->depth;
    t->cur = saved;
    if (st != LUA_OK) {
        commitError(t, L, st);
        lua_settop(L, base - 1);
        for (int i = 0; i < nRes; ++i) lua_pushnil(L);
        return VS_TRUE;
    }
    for (int i = 0; i < nRes; ++i) lua_copy(L, top + 3 + i, base + i);
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
    // Room for every argument, and for the proxy lookup of the last one.
    if (!lua_checkstack(L, nargs + 4)) {
        t->lastError = VSSCRIPTERR_MEMORY;
        return 0;
    }
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
                pushObjectRoomy(L, o);
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

} // namespace script
} // namespace tvh
