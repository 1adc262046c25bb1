// The host's call paths against the raw Lua calls they wrap:
//  - ExecNameScript of a trivial script function vs lua_pcall of the same function;
//  - a luafunc called from Lua through the host vs a plain lua_CFunction;
//  - object create + free; LuaPushObject of an object already seen by scripts; LuaToInt;
//  - for scale: a plain userdata method call through a minimal C __index.
#include "bench_thing.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace benchthing;

// The least any userdata method call pays: a C __index that hands back a
// function it already has (no name lookup at all).
int floorIndex(lua_State *L) {
    lua_pushvalue(L, lua_upvalueindex(1));
    return 1;
}

struct Host {
    void *cls = nullptr;
    void *obj = nullptr;
    VS_UUID clsId{};
    Host() {
        tvh::start();
        tvh::lockBoth();
        S()->CreateSysRootItem("Bench", "", nullptr, nullptr);
        ClassOfXRQSXMLInterface *sx = S()->GetSXMLInterface();
        sx->LoadFromBuf(kTemplate, 0);
        S()->StringToUuid("5E1F0A20-1B2C-4D3E-8F40-A1B2C3D4E5F6", &clsId);
        cls = S()->XmlToObjectEx(sx, S()->GetSysRootItem("Bench"), &clsId, nullptr, 0);
        sx->Release();
        S()->SetAtomicFunction(S()->GetAtomicFunctionByName(S()->GetAtomicObjectEx(nullptr, "BenchThing"), "Sum"),
                               fSum);
        obj = S()->MallocObjectL(&clsId, 0, nullptr);
        S()->SetName(obj, "bench");
        lua_State *L = tvh::script::LuaEngine::instance()->mainState();
        lua_register(L, "plainSum", plainSum);
        lua_newuserdatauv(L, 1, 0);
        lua_newtable(L);
        lua_pushcfunction(L, plainSum);
        lua_pushcclosure(L, floorIndex, 1);
        lua_setfield(L, -2, "__index");
        lua_setmetatable(L, -2);
        lua_setglobal(L, "floorUd");
        std::string err;
        tvh::runChunk("obj = _Find('bench')\n"
                      "function obj:F(a) return a end\n"
                      "plain = { Sum = plainSum }\n"
                      "function viaHost(n) local o = obj; for i = 1, n do o:Sum(i) end end\n"
                      "function viaPlainMethod(n) local o = plain; for i = 1, n do o:Sum(i) end end\n"
                      "function viaPlain(n) local o = obj; local f = plainSum; for i = 1, n do f(o, i) end end\n"
                      "function viaFloorIndex(n) local o = floorUd; for i = 1, n do o:Sum(i) end end\n"
                      "function viaHostCached(n) local o = obj; local f = o.Sum; for i = 1, n do f(o, i) end end\n",
                      "bench", &err);
    }
    ~Host() {
        tvh::unlockBoth();
        tvh::stop();
    }
};

// Made on first use, ended by main() while the thread still holds the locks
// (thread-local guards release them when the main thread ends).
Host *g_host = nullptr;
Host &host() {
    if (!g_host) g_host = new Host();
    return *g_host;
}

void BM_ExecNameScript(benchmark::State &state) {
    Host &h = host();
    for (auto _ : state) {
        S()->LuaPushInt(1);
        S()->ExecNameScript(h.obj, "F", 1, 1);
        S()->LuaPop(1);
    }
}
BENCHMARK(BM_ExecNameScript);

void BM_RawPcall(benchmark::State &state) {
    Host &h = host();
    // The same function, called directly on the same thread's stack.
    lua_State *L = tvh::script::LuaEngine::instance()->ts()->cur;
    lua_getglobal(L, "obj");
    lua_getfield(L, -1, "F");
    int fref = luaL_ref(L, LUA_REGISTRYINDEX);
    int oref = luaL_ref(L, LUA_REGISTRYINDEX);
    (void)h;
    for (auto _ : state) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, fref);
        lua_rawgeti(L, LUA_REGISTRYINDEX, oref);
        lua_pushinteger(L, 1);
        lua_pcall(L, 2, 1, 0);
        lua_pop(L, 1);
    }
    luaL_unref(L, LUA_REGISTRYINDEX, fref);
    luaL_unref(L, LUA_REGISTRYINDEX, oref);
}
BENCHMARK(BM_RawPcall);

// Luafunc calls from Lua, 1000 per iteration.
void runLoop(benchmark::State &state, const char *fn) {
    host();
    lua_State *L = tvh::script::LuaEngine::instance()->ts()->cur;
    lua_getglobal(L, fn);
    int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    for (auto _ : state) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
        lua_pushinteger(L, 1000);
        lua_call(L, 1, 0);
    }
    luaL_unref(L, LUA_REGISTRYINDEX, ref);
    state.SetItemsProcessed(state.iterations() * 1000);
}
void BM_LuafuncViaHost(benchmark::State &state) { runLoop(state, "viaHost"); }
void BM_LuafuncViaHostCached(benchmark::State &state) { runLoop(state, "viaHostCached"); }
void BM_PlainCFunctionMethod(benchmark::State &state) { runLoop(state, "viaPlainMethod"); }
void BM_PlainCFunction(benchmark::State &state) { runLoop(state, "viaPlain"); }
void BM_PlainIndexMetamethod(benchmark::State &state) { runLoop(state, "viaFloorIndex"); }
BENCHMARK(BM_LuafuncViaHost);
BENCHMARK(BM_LuafuncViaHostCached);
BENCHMARK(BM_PlainCFunctionMethod);
BENCHMARK(BM_PlainCFunction);
BENCHMARK(BM_PlainIndexMetamethod);

// LuaPushObject of an object whose script value is alive (the module's
// common case: the same data pushed to script after script), then a pop.
void BM_PushObject(benchmark::State &state) {
    Host &h = host();
    for (auto _ : state) {
        S()->LuaPushObject(h.obj);
        S()->LuaPop(1);
    }
}
BENCHMARK(BM_PushObject);

// LuaToInt of an integer argument, the module's most common read.
void BM_ToInt(benchmark::State &state) {
    host();
    S()->LuaPushInt(7);
    VS_INT32 sum = 0;
    for (auto _ : state) benchmark::DoNotOptimize(sum += S()->LuaToInt(-1));
    S()->LuaPop(1);
}
BENCHMARK(BM_ToInt);

void BM_ObjectCreateFree(benchmark::State &state) {
    Host &h = host();
    for (auto _ : state) {
        void *o = S()->MallocObjectL(&h.clsId, 0, nullptr);
        S()->FreeObject(o);
    }
}
BENCHMARK(BM_ObjectCreateFree);

void BM_ScriptNewAndCollect(benchmark::State &state) {
    host();
    std::string err;
    for (auto _ : state) tvh::runChunk("for i = 1, 100 do _New(BenchThing) end", "new", &err);
    state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_ScriptNewAndCollect);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    host(); // started before any case, so none counts the host's start-up
    benchmark::RunSpecifiedBenchmarks();
    delete g_host;
    g_host = nullptr;
    benchmark::Shutdown();
    return 0;
}
