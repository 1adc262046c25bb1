// Host threads for scripts: _Thread(fn, ...) runs a Lua function on a new
// thread, _Join(th) waits for it and gives its results, _ThreadDone(th) tells
// whether it has ended. The new thread behaves as a module worker does: it
// takes the script lock and then the host lock, runs the function with its
// own stack, detaches from the host and releases the locks (host lock first).
// It therefore runs whenever the starting thread lets go of the locks: in
// _Join, _Yield, a dispatch, or a module call that waits.
//
// Every function here may raise a script error, so their frames hold only
// trivially destructible locals (see lua_engine.h).
#include "lua_engine.h"

#include <condition_variable>
#include <memory>
#include <new>
#include <thread>

namespace tvh {
namespace script {

namespace {

// One started thread. Shared by the thread itself and its script handle.
struct HostThread {
    std::thread th;
    int argsRef = LUA_NOREF;   // {fn, args..., n = count}; the thread takes it
    int resultRef = LUA_NOREF; // {results..., n = count} or {message}, set at the end
    bool ok = false;
    std::atomic<bool> done{false};
    bool joined = false;    // guarded by the script lock
    bool abandoned = false; // its handle was collected (guarded by the script lock)
    std::thread::id id;
};

// The handle's userdata holds a shared_ptr made with placement new.
struct ThreadBox {
    std::shared_ptr<HostThread> *h;
};

const char kThreadMeta[] = "tarvex.thread";

// Threads started and not yet ended, so that shutdown can wait for them.
std::mutex g_runMu;
std::condition_variable g_runCv;
int g_running = 0;

void threadMain(std::shared_ptr<HostThread> h) {
    control()->CaptureScriptGIL();
    service()->XRQLock();
    LuaEngine *e = g_engine;
    if (e && e->mainState()) {
        ThreadState *t = e->ts();
        lua_State *L = t->cur;
        int top = lua_gettop(L);
        lua_checkstack(L, 8);
        lua_rawgeti(L, LUA_REGISTRYINDEX, h->argsRef);
        luaL_unref(L, LUA_REGISTRYINDEX, h->argsRef);
        h->argsRef = LUA_NOREF;
        lua_getfield(L, -1, "n");
        int n = (int)lua_tointeger(L, -1);
        lua_pop(L, 1);
        lua_checkstack(L, n + 4);
        for (int i = 1; i <= n; ++i) lua_rawgeti(L, top + 1, i);
        int st = e->pcallRecorded(t, L, n - 1, LUA_MULTRET);
        int nres = lua_gettop(L) - (top + 1);
        lua_createtable(L, nres, 1);
        if (st == LUA_OK) {
            for (int i = 1; i <= nres; ++i) {
                lua_pushvalue(L, top + 1 + i);
                lua_rawseti(L, -2, i);
            }
            lua_pushinteger(L, nres);
        } else {
            std::string msg = e->lastErrorMessage(t);
            lua_pushlstring(L, msg.data(), msg.size());
            lua_rawseti(L, -2, 1);
            lua_pushinteger(L, 1);
        }
        lua_setfield(L, -2, "n");
        h->resultRef = luaL_ref(L, LUA_REGISTRYINDEX);
        h->ok = st == LUA_OK;
        if (h->abandoned) { // nobody will read them
            luaL_unref(L, LUA_REGISTRYINDEX, h->resultRef);
            h->resultRef = LUA_NOREF;
        }
        lua_settop(L, top);
    }
    control()->DetachCurrentThread();
    h->done.store(true, std::memory_order_release);
    service()->XRQUnLock();
    control()->ReleaseScriptGIL();
    std::lock_guard<std::mutex> g(g_runMu);
    --g_running;
    g_runCv.notify_all();
}

HostThread *checkThread(lua_State *L, int idx) {
    ThreadBox *b = (ThreadBox *)luaL_checkudata(L, idx, kThreadMeta);
    if (!b->h) luaL_argerror(L, idx, "thread handle is closed");
    return b->h->get();
}

// Gives up every level of both locks (host lock first); returns the depths.
void releaseAllLocks(int *host, int *scr) {
    *host = *scr = 0;
    while (holdsHostLock() && *host < 1000) {
        service()->XRQUnLock();
        ++*host;
    }
    while (holdsScriptLock() && *scr < 1000) {
        control()->ReleaseScriptGIL();
        ++*scr;
    }
}

void retakeLocks(int host, int scr) {
    for (int i = 0; i < scr; ++i) control()->CaptureScriptGIL();
    for (int i = 0; i < host; ++i) service()->XRQLock();
}

// Starts the thread for the arguments packed at argsRef; FALSE when the
// system refuses a thread (nothing is left running then).
bool startThread(lua_State *L, int argsRef) {
    ThreadBox *b = (ThreadBox *)lua_newuserdatauv(L, sizeof(ThreadBox), 0);
    b->h = nullptr;
    luaL_setmetatable(L, kThreadMeta);
    auto h = std::make_shared<HostThread>();
    h->argsRef = argsRef;
    {
        std::lock_guard<std::mutex> g(g_runMu);
        ++g_running;
    }
    try {
        h->th = std::thread(threadMain, h);
    } catch (...) {
        std::lock_guard<std::mutex> g(g_runMu);
        --g_running;
        return false;
    }
    h->id = h->th.get_id();
    b->h = new (std::nothrow) std::shared_ptr<HostThread>(h);
    if (!b->h) h->th.detach(); // runs to its end unobserved
    return b->h != nullptr;
}

int b_Thread(lua_State *L) {
    luaL_checktype(L, 1, LUA_TFUNCTION);
    int n = lua_gettop(L);
    lua_createtable(L, n, 1);
    for (int i = 1; i <= n; ++i) {
        lua_pushvalue(L, i);
        lua_rawseti(L, -2, i);
    }
    lua_pushinteger(L, n);
    lua_setfield(L, -2, "n");
    int argsRef = luaL_ref(L, LUA_REGISTRYINDEX);
    if (!startThread(L, argsRef)) {
        luaL_unref(L, LUA_REGISTRYINDEX, argsRef);
        return raisef(L, "_Thread: cannot start a thread");
    }
    return 1;
}

// Pushes true and the results, or false and the message; returns the count.
int pushOutcome(lua_State *L, HostThread *h) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, h->resultRef);
    int tbl = lua_gettop(L);
    lua_getfield(L, tbl, "n");
    int n = (int)lua_tointeger(L, -1);
    lua_pop(L, 1);
    luaL_checkstack(L, n + 2, "too many results");
    lua_pushboolean(L, h->ok);
    for (int i = 1; i <= n; ++i) lua_rawgeti(L, tbl, i);
    lua_remove(L, tbl);
    return n + 1;
}

int b_Join(lua_State *L) {
    HostThread *h = checkThread(L, 1);
    if (h->id == std::this_thread::get_id()) return raisef(L, "_Join: a thread cannot wait for itself");
    if (h->joined) return raisef(L, "_Join: this thread was joined already");
    h->joined = true;
    // Wait with both locks free, so that the thread can take them.
    int host = 0, scr = 0;
    releaseAllLocks(&host, &scr);
    h->th.join();
    retakeLocks(host, scr);
    return pushOutcome(L, h);
}

int b_ThreadDone(lua_State *L) {
    HostThread *h = checkThread(L, 1);
    lua_pushboolean(L, h->done.load(std::memory_order_acquire));
    return 1;
}

// A handle dropped without _Join: the thread runs to its end on its own; its
// results are dropped with the handle.
int threadGc(lua_State *L) {
    ThreadBox *b = (ThreadBox *)lua_touserdata(L, 1);
    if (!b || !b->h) return 0;
    std::shared_ptr<HostThread> *sp = b->h;
    b->h = nullptr;
    HostThread *h = sp->get();
    h->abandoned = true;
    if (!h->joined && h->th.joinable()) h->th.detach();
    if (h->resultRef != LUA_NOREF) {
        luaL_unref(L, LUA_REGISTRYINDEX, h->resultRef);
        h->resultRef = LUA_NOREF;
    }
    delete sp;
    return 0;
}

} // namespace

void LuaEngine::registerThreadBuiltins(lua_State *L) {
    luaL_newmetatable(L, kThreadMeta);
    lua_pushcfunction(L, threadGc);
    lua_setfield(L, -2, "__gc");
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "__metatable");
    lua_pop(L, 1);
    static const luaL_Reg fns[] = {
        {"_Thread", b_Thread}, {"_Join", b_Join}, {"_ThreadDone", b_ThreadDone}, {nullptr, nullptr}};
    lua_pushglobaltable(L);
    luaL_setfuncs(L, fns, 0);
    lua_pop(L, 1);
}

void LuaEngine::waitHostThreads() {
    std::unique_lock<std::mutex> lk(g_runMu);
    if (g_running == 0) return;
    lk.unlock();
    // They need both locks to end.
    int host = 0, scr = 0;
    releaseAllLocks(&host, &scr);
    lk.lock();
    g_runCv.wait(lk, [] { return g_running == 0; });
    lk.unlock();
    retakeLocks(host, scr);
}

} // namespace script
} // namespace tvh
