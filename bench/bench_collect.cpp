// What a collection point costs against how many objects live, next to raw
// Lua doing the same kind of work in the same run:
//  - XRQDispatch with N live objects and no garbage (held by a script table
//    or by the module's creation locks), N = 100 and 100,000;
//  - raw Lua holding N objects with finalizers: the incremental pacing a
//    dispatch asks of Lua, a basic step, and a full collection;
//  - the host's full collection (the end of a chunk, _CollectGarbage) at N;
//  - a chain of N objects, each let go by the free of the one before, freed
//    by one collection point;
//  - a prototype chain of N objects built and freed, next to raw Lua.
#include "host_internal.h"
#include "tarvex_host.h"

#include <benchmark/benchmark.h>
#include <lua.hpp>

#include <string>
#include <vector>

namespace {

tvh::ScriptEngine *(*volatile g_linkEngine)() = &tvh::createScriptEngine;

ClassOfXRQInterface *S() { return tvh::service(); }

const char *kTemplate = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<object>
  <GcThing ID="5E1F0A20-1B2C-4D3E-8F40-A1B2C3D4E5A7">
    <attribute>
      <Count Type="VS_INT32" Default="1"/>
    </attribute>
  </GcThing>
</object>
)XML";

// A fresh host with the class registered, both locks held by this thread.
struct Host {
    VS_UUID clsId{};
    explicit Host(VS_SYSEVENTPTR handler = nullptr) {
        tvh::start();
        tvh::lockBoth();
        S()->CreateSysRootItem("GcBench", "", nullptr, nullptr);
        ClassOfXRQSXMLInterface *sx = S()->GetSXMLInterface();
        sx->LoadFromBuf(kTemplate, 0);
        S()->StringToUuid("5E1F0A20-1B2C-4D3E-8F40-A1B2C3D4E5A7", &clsId);
        S()->XmlToObjectEx(sx, S()->GetSysRootItem("GcBench"), &clsId, handler, 0);
        sx->Release();
    }
    ~Host() {
        tvh::unlockBoth();
        tvh::stop();
    }
    void run(const std::string &code) {
        std::string err;
        if (!tvh::runChunk(code.c_str(), "bench", &err)) fprintf(stderr, "bench chunk: %s\n", err.c_str());
    }
};

// Live objects held by a script table.
void BM_DispatchScriptHeld(benchmark::State &state) {
    Host h;
    h.run("keep = {} for i = 1, " + std::to_string(state.range(0)) + " do keep[i] = _New(GcThing) end");
    for (auto _ : state) tvh::control()->XRQDispatch(VS_FALSE);
    state.counters["live"] = double(tvh::stats().LiveObjects);
}
BENCHMARK(BM_DispatchScriptHeld)->Arg(100)->Arg(100000);

// Live objects held by the module (creation locks), every one of them once
// seen by a script (a candidate when its proxy went).
void BM_DispatchModuleHeld(benchmark::State &state) {
    Host h;
    for (int64_t i = 0; i < state.range(0); ++i) {
        void *o = S()->MallocObjectL(&h.clsId, 0, nullptr);
        S()->LuaPushObject(o);
        S()->LuaPop(1);
    }
    tvh::collectGarbage(); // proxies collected: all candidates, all held
    for (auto _ : state) tvh::control()->XRQDispatch(VS_FALSE);
    state.counters["live"] = double(tvh::stats().LiveObjects);
}
BENCHMARK(BM_DispatchModuleHeld)->Arg(100)->Arg(100000);

// Raw Lua: a state holding N userdata with a finalizer.
struct RawLua {
    lua_State *L;
    explicit RawLua(int64_t n) {
        L = luaL_newstate();
        luaL_openlibs(L);
        std::string code = "local mt = {__gc = function() end} keep = {} for i = 1, " + std::to_string(n) +
                           " do keep[i] = setmetatable({}, mt) end";
        luaL_dostring(L, code.c_str());
        lua_gc(L, LUA_GCCOLLECT);
    }
    ~RawLua() { lua_close(L); }
};

// The pacing a dispatch asks of Lua: a kilobyte of debt every 16th call.
void BM_RawLuaPacedStep(benchmark::State &state) {
    RawLua r(state.range(0));
    unsigned n = 0;
    for (auto _ : state)
        if ((++n & 15) == 0) lua_gc(r.L, LUA_GCSTEP, 1);
}
BENCHMARK(BM_RawLuaPacedStep)->Arg(100)->Arg(100000);

// A basic step (debt reset to zero first): work sized by the step size, a
// whole small heap or a slice of a large one.
void BM_RawLuaBasicStep(benchmark::State &state) {
    RawLua r(state.range(0));
    for (auto _ : state) lua_gc(r.L, LUA_GCSTEP, 0);
}
BENCHMARK(BM_RawLuaBasicStep)->Arg(100)->Arg(100000);

void BM_RawLuaFullCollect(benchmark::State &state) {
    RawLua r(state.range(0));
    for (auto _ : state) lua_gc(r.L, LUA_GCCOLLECT);
}
BENCHMARK(BM_RawLuaFullCollect)->Arg(100)->Arg(100000);

// The host's full collection point (chunk end, _CollectGarbage): a full Lua
// collection; the host side looks only at candidates.
void BM_HostFullCollect(benchmark::State &state) {
    Host h;
    h.run("keep = {} for i = 1, " + std::to_string(state.range(0)) + " do keep[i] = _New(GcThing) end");
    for (auto _ : state) tvh::collectGarbage();
}
BENCHMARK(BM_HostFullCollect)->Arg(100)->Arg(100000);

// N objects a script let go of, freed by the collection point that ends the
// chunk dropping them (a full Lua collection, then the frees): the cost
// follows N, each candidate being found again by its sequence number.
void BM_CollectDroppedObjects(benchmark::State &state) {
    Host h;
    std::string make = "keep = {} for i = 1, " + std::to_string(state.range(0)) + " do keep[i] = _New(GcThing) end";
    for (auto _ : state) {
        state.PauseTiming();
        h.run(make);
        state.ResumeTiming();
        h.run("keep = nil");
    }
    state.counters["live"] = double(tvh::stats().LiveObjects);
}
BENCHMARK(BM_CollectDroppedObjects)->Arg(10000)->Arg(100000);

// A chain: object i is locked until object i-1 is freed (its before-free
// event unlocks it). One collection point frees all of them.
std::vector<void *> g_chain;
VS_INT32 chainEvent(VS_UWORD, void *para) {
    if (S()->GetSysEventID(para) != VSEVENT_SYSTEMEVENT_ONBEFOREFREE) return 0;
    void *o = static_cast<StructOfVSSysEventPara *>(para)->Object;
    VS_INT32 i = *static_cast<VS_INT32 *>(o); // Count holds the position
    if (i + 1 < (VS_INT32)g_chain.size()) S()->UnLockGC(g_chain[size_t(i) + 1]);
    return 0;
}

void BM_ChainFreedInOneCollection(benchmark::State &state) {
    Host h(chainEvent);
    int64_t n = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        g_chain.clear();
        for (int64_t i = 0; i < n; ++i) {
            void *o = S()->MallocObjectL(&h.clsId, 0, nullptr); // held by its creation lock
            *static_cast<VS_INT32 *>(o) = VS_INT32(i);
            S()->LuaPushObject(o);
            S()->LuaPop(1);
            g_chain.push_back(o);
        }
        tvh::collectGarbage(); // proxies gone: all candidates, all still held
        state.ResumeTiming();
        S()->ReleaseOwnerEx(g_chain[0]);
        tvh::control()->XRQDispatch(VS_FALSE); // frees the head, which lets go of the next, ...
    }
    state.counters["live"] = double(tvh::stats().LiveObjects);
}
BENCHMARK(BM_ChainFreedInOneCollection)->Arg(1000)->Arg(4000)->Arg(16000);

// A prototype chain of N objects, each made from the one before, built by a
// script and freed by freeing its root (deepest first, the chain walked
// without recursion); next to raw Lua building N tables, each inheriting
// from the one before through __index, and collecting them. Both cost per
// level about what one level costs, whatever N.
void BM_PrototypeChainBuildFree(benchmark::State &state) {
    Host h;
    std::string code = "local o = _New(GcThing) local root = o for i = 2, " + std::to_string(state.range(0)) +
                       " do o = _New(o) end o = nil _Free(root)";
    for (auto _ : state) h.run(code);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["live"] = double(tvh::stats().LiveObjects);
}
BENCHMARK(BM_PrototypeChainBuildFree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_RawLuaPrototypeChain(benchmark::State &state) {
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    std::string code = "local o = {} for i = 2, " + std::to_string(state.range(0)) +
                       " do o = setmetatable({}, {__index = o}) end o = nil collectgarbage()";
    for (auto _ : state) luaL_dostring(L, code.c_str());
    lua_close(L);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RawLuaPrototypeChain)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
