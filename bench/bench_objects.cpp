// The object model against the number of live data objects, with the module
// loaded (figures, not timed tests). Every benchmark with an argument runs
// with that many live data objects (1,000 / 10,000 / 100,000), each named,
// held by a script table:
//  - BM_DataCreateFree: make a data object from a type and free it;
//  - BM_Find: _Find of the newest object's name (the name index's worst case
//    for a walk in creation order);
//  - BM_Equals / BM_IsDataSet / BM_PropertyRead: module luafuncs on a data
//    object, and a property read through the data's get hook;
//  - BM_SetAddExisting: AddData of a member already in a set of n members
//    (the membership test alone);
//  - BM_SetAddNew: AddData of a new member to a set that holds the n objects.
// Without an argument, at the same population (the last one made):
//  - BM_LuafuncSum: a template luafunc that does nothing (the call path's
//    floor through the host), next to BM_PlainMethod, a plain C function
//    method on a Lua table (raw Lua);
//  - BM_BytesPerDataObject: heap and RSS growth per live data object with a
//    small value (one integer), unnamed, held by a script table, over
//    100,000 more.
#include "bench_module_host.h"
#include "bench_thing.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace benchthing;

const char *kSetup = R"LUA(
T = QZDataBase:CreateType("bench.T")
_LockGC(T)
P = QZDataBase:CreateType("bench.P")
_LockGC(P)
P:CreateProperty("x", 6, 7)
live = {}
count = 0
function grow(n)
  for i = count + 1, n do
    local d = T(i)
    _SetName(d, "d" .. i)
    live[i] = d
  end
  if n > count then count = n end
end
plainLive = {}
function growPlain(n)
  for i = 1, n do plainLive[i] = T(i) end
end
function dropPlain() plainLive = {} end
function shrink(n)
  for i = n + 1, count do live[i] = nil end
  if n < count then count = n end
end
a = T(1)
b = T(1)
p = P(1)
thing = _New(BenchThing)
plain = { Sum = plainSum }
function createFree(k)
  for i = 1, k do _Free(T(i)) end
end
function find(k)
  local name = "d" .. count
  for i = 1, k do _Find(name) end
end
function equals(k) local x, y = a, b; for i = 1, k do x:Equals(y) end end
function isDataSet(k) local x = a; for i = 1, k do x:IsDataSet() end end
function propRead(k) local x = p; for i = 1, k do local v = x.x end end
function luafuncSum(k) local o = thing; for i = 1, k do o:Sum(i) end end
function plainMethod(k) local o = plain; for i = 1, k do o:Sum(i) end end
function makeSet()
  local p = _Pkg()
  for i = 1, count do p:_Append(live[i]) end
  set = QZDataSetBase(p)
end
function addExisting(k)
  local s, m = set, live[count]
  for i = 1, k do s:AddData(m) end
end
function addNew(k)
  local s = set
  local extra = {}
  for i = 1, k do local d = T(i); extra[i] = d; s:AddData(d) end
  for i = 1, k do s:RemoveData(extra[i]); _Free(extra[i]) end
end
)LUA";

struct Host : ModuleHost {
    lua_State *L = nullptr;
    Host() {
        if (!start()) return;
        S()->CreateSysRootItem("Bench", "", nullptr, nullptr);
        ClassOfXRQSXMLInterface *sx = S()->GetSXMLInterface();
        sx->LoadFromBuf(kTemplate, 0);
        VS_UUID clsId{};
        S()->StringToUuid("5E1F0A20-1B2C-4D3E-8F40-A1B2C3D4E5F7", &clsId);
        S()->XmlToObjectEx(sx, S()->GetSysRootItem("Bench"), &clsId, nullptr, 0);
        sx->Release();
        S()->SetAtomicFunction(S()->GetAtomicFunctionByName(S()->GetAtomicObjectEx(nullptr, "BenchThing"), "Sum"),
                               fSum);
        lua_register(tvh::script::LuaEngine::instance()->mainState(), "plainSum", plainSum);
        ok = run(kSetup);
    }
};

Host &host() { return theHost<Host>(); }

// Brings the population of live data objects to n.
bool population(benchmark::State &state, int64_t n) {
    Host &h = host();
    if (!h.ok) {
        state.SkipWithError(h.err.c_str());
        return false;
    }
    if (!h.run("grow(" + std::to_string(n) + ") shrink(" + std::to_string(n) + ")")) {
        state.SkipWithError(h.err.c_str());
        return false;
    }
    tvh::collectGarbage();
    state.counters["live"] = double(tvh::stats().LiveObjects);
    return true;
}

// Calls fn(k) per iteration on the main thread's stack (no chunk to compile,
// no collection point between iterations); k operations per iteration.
void loop(benchmark::State &state, const char *fn, int k) {
    lua_State *L = tvh::script::LuaEngine::instance()->ts()->cur;
    lua_getglobal(L, fn);
    int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    for (auto _ : state) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
        lua_pushinteger(L, k);
        if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
            state.SkipWithError(lua_tostring(L, -1));
            lua_pop(L, 1);
            break;
        }
    }
    luaL_unref(L, LUA_REGISTRYINDEX, ref);
    state.SetItemsProcessed(state.iterations() * k);
}

void BM_DataCreateFree(benchmark::State &state) {
    if (population(state, state.range(0))) loop(state, "createFree", 100);
}
void BM_Find(benchmark::State &state) {
    if (population(state, state.range(0))) loop(state, "find", 10);
}
void BM_Equals(benchmark::State &state) {
    if (population(state, state.range(0))) loop(state, "equals", 1000);
}
void BM_IsDataSet(benchmark::State &state) {
    if (population(state, state.range(0))) loop(state, "isDataSet", 1000);
}
void BM_PropertyRead(benchmark::State &state) {
    if (population(state, state.range(0))) loop(state, "propRead", 1000);
}
void BM_SetAddExisting(benchmark::State &state) {
    if (!population(state, state.range(0))) return;
    if (!host().run("makeSet()")) return state.SkipWithError(host().err.c_str());
    loop(state, "addExisting", 10);
    host().run("set = nil");
}
void BM_SetAddNew(benchmark::State &state) {
    if (!population(state, state.range(0))) return;
    if (!host().run("makeSet()")) return state.SkipWithError(host().err.c_str());
    loop(state, "addNew", 10);
    host().run("set = nil");
}

void sizes(benchmark::internal::Benchmark *b) { b->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kNanosecond); }
BENCHMARK(BM_DataCreateFree)->Apply(sizes);
BENCHMARK(BM_Find)->Apply(sizes);
BENCHMARK(BM_Equals)->Apply(sizes);
BENCHMARK(BM_IsDataSet)->Apply(sizes);
BENCHMARK(BM_PropertyRead)->Apply(sizes);
BENCHMARK(BM_SetAddExisting)->Apply(sizes);
BENCHMARK(BM_SetAddNew)->Apply(sizes);

void BM_LuafuncSum(benchmark::State &state) {
    if (population(state, 1000)) loop(state, "luafuncSum", 1000);
}
void BM_PlainMethod(benchmark::State &state) {
    if (population(state, 1000)) loop(state, "plainMethod", 1000);
}
BENCHMARK(BM_LuafuncSum);
BENCHMARK(BM_PlainMethod);

void BM_BytesPerDataObject(benchmark::State &state) {
    if (!population(state, 0)) return;
    const int n = 100000;
    double heap = 0, rss = 0;
    for (auto _ : state) {
        host().run("dropPlain()");
        tvh::collectGarbage();
        malloc_trim(0);
        size_t h0 = heapInUse(), r0 = rssBytes();
        host().run("growPlain(" + std::to_string(n) + ")");
        tvh::collectGarbage();
        heap = double(heapInUse() - h0) / n;
        rss = double(rssBytes() - r0) / n;
        host().run("dropPlain()");
        tvh::collectGarbage();
    }
    state.counters["heap_bytes_per_obj"] = heap;
    state.counters["rss_bytes_per_obj"] = rss;
}
BENCHMARK(BM_BytesPerDataObject)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) { return runBenchmarks<Host>(argc, argv); }
