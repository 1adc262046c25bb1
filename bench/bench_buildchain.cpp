// Building a proc chain backwards from a wanted data type (BuildProcChain):
//  - BM_BuildPath: a library of N proc types (10, 100, 1,000) holding one
//    path of 6 procs (Make -> Step1 -> ... -> Step5, each step making the next
//    data type from the one before) amid N - 6 distractors that take and make
//    data types of their own; one build of the whole path per iteration;
//  - BM_RawLuaPath: the same backward search in plain Lua over a table of N
//    proc records (scan every record for a producer of the wanted type, then
//    search its input), the peer figure;
//  - BM_BuildProduct: k wanted data types with p producers each (no inputs):
//    one level whose candidate sets are the p^k combinations, each compared
//    with the ones before it;
//  - BM_BuildDeep: a library that is one path of L levels (100, 1,000,
//    10,000) and nothing else; one build of the whole path.
// A build indexes the proc types and chains by the data types they make once
// (again after any script hook), so a path build grows with N plus the
// depth; a level with k wanted types makes p^k sets and compares them
// pairwise, nothing remembered between builds.
#include "host_internal.h"
#include "tarvex_host.h"
#include "bench_module_start.h"

#include <benchmark/benchmark.h>
#include <lua.hpp>

#include <string>

namespace {

tvh::ScriptEngine *(*volatile g_linkEngine)() = &tvh::createScriptEngine;

const int kDepth = 5; // steps after the first proc: a path of 6 procs

// The library: a path of kDepth + 1 procs amid distractors, N proc types in
// all. In the module, proc types with declared inputs and outputs; in plain
// Lua, records {name, ins, outs} in a list.
const char *kModuleLibrary = R"LUA(
function library(n, depth)
  local T = {}
  for i = 0, depth do T[i] = QZDataBase:CreateType("bp.T" .. i) end
  local make = QZProcBase:CreateSubType("bp.Make")
  make:OutputFrom(T[0])
  for i = 1, depth do
    local P = QZProcBase:CreateSubType("bp.Step" .. i)
    P:InputFrom(T[i - 1])
    P:OutputFrom(T[i])
  end
  for j = 1, n - depth - 1 do
    local P = QZProcBase:CreateSubType("bp.Other" .. j)
    P:InputFrom(QZDataBase:CreateType("bp.In" .. j))
    P:OutputFrom(QZDataBase:CreateType("bp.Out" .. j))
  end
  wanted = T[depth]
  realm = _New(QZRealmBase)
end
function build()
  local r = realm:BuildProcChain(wanted)
  built = r:_Get(0) and r:_Get(1):ToParaPkg():_Count() or -1
end
)LUA";

const char *kModuleProduct = R"LUA(
function product(k, p)
  local want = _Pkg()
  for i = 1, k do
    local W = QZDataBase:CreateType("bx.W" .. i)
    for j = 1, p do
      local P = QZProcBase:CreateSubType("bx.P" .. i .. "_" .. j)
      P:OutputFrom(W)
    end
    want:_Append(W)
  end
  wanted = want
  realm = _New(QZRealmBase)
end
function build()
  local r = realm:BuildProcChain(wanted)
  built = r:_Get(0) and r:_Get(1):GetFirstProc():GetProcChainQueue():_Count() or -1
end
)LUA";

const char *kRawLibrary = R"LUA(
function library(n, depth)
  procs = {}
  procs[#procs + 1] = {name = "Make", ins = {}, outs = {"T0"}}
  for i = 1, depth do procs[#procs + 1] = {name = "Step" .. i, ins = {"T" .. (i - 1)}, outs = {"T" .. i}} end
  for j = 1, n - depth - 1 do procs[#procs + 1] = {name = "Other" .. j, ins = {"In" .. j}, outs = {"Out" .. j}} end
  wanted = "T" .. depth
end
local function producers(t)
  local out = {}
  for _, p in ipairs(procs) do
    for _, o in ipairs(p.outs) do
      if o == t then out[#out + 1] = p break end
    end
  end
  return out
end
local function search(t, path, chain)
  if path[t] then return false end
  local list = producers(t)
  if #list == 0 then return false end
  path[t] = true
  local p = list[math.random(#list)]
  for _, i in ipairs(p.ins) do
    if not search(i, path, chain) then path[t] = nil return false end
  end
  path[t] = nil
  chain[#chain + 1] = p.name
  return true
end
function build()
  local chain = {}
  built = search(wanted, {}, chain) and #chain or -1
end
)LUA";

bool startModule(benchmark::State &state, const char *library, const std::string &setup)
{
    return benchstart::startModule(state, {{library, "library"}, {setup, "setup"}});
}

// One build per iteration; each chunk's end is a collection point, so the
// chains built do not pile up as producers for later builds to scan.
void runBuilds(benchmark::State &state, long long expected)
{
    std::string err;
    for (auto _ : state) {
        if (!tvh::runChunk("build()", "build", &err)) {
            state.SkipWithError(err.c_str());
            break;
        }
    }
    std::string check = "assert(built == " + std::to_string(expected) + ", 'built ' .. tostring(built))";
    if (!tvh::runChunk(check.c_str(), "check", &err))
        state.SkipWithError(err.c_str());
    benchstart::stopModule();
}

void BM_BuildPath(benchmark::State &state)
{
    const long long n = state.range(0);
    if (!startModule(state, kModuleLibrary, "library(" + std::to_string(n) + ", " + std::to_string(kDepth) + ")"))
        return;
    state.counters["types"] = double(n);
    state.counters["levels"] = double(kDepth + 1);
    runBuilds(state, kDepth + 1);
}
BENCHMARK(BM_BuildPath)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_BuildDeep(benchmark::State &state)
{
    const long long levels = state.range(0);
    if (!startModule(state, kModuleLibrary,
                     "library(" + std::to_string(levels) + ", " + std::to_string(levels - 1) + ")"))
        return;
    state.counters["levels"] = double(levels);
    runBuilds(state, levels);
}
BENCHMARK(BM_BuildDeep)->Arg(100)->Arg(1000)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_RawLuaPath(benchmark::State &state)
{
    const long long n = state.range(0);
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    luaL_dostring(L, kRawLibrary);
    luaL_dostring(L, ("library(" + std::to_string(n) + ", " + std::to_string(kDepth) + ")").c_str());
    for (auto _ : state) {
        lua_getglobal(L, "build");
        lua_pcall(L, 0, 0, 0);
    }
    lua_getglobal(L, "built");
    if (lua_tointeger(L, -1) != kDepth + 1)
        state.SkipWithError("the plain Lua search found no path");
    lua_close(L);
    state.counters["types"] = double(n);
}
BENCHMARK(BM_RawLuaPath)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_BuildProduct(benchmark::State &state)
{
    const long long k = state.range(0), p = state.range(1);
    if (!startModule(state, kModuleProduct, "product(" + std::to_string(k) + ", " + std::to_string(p) + ")"))
        return;
    long long sets = 1;
    for (long long i = 0; i < k; i++)
        sets *= p;
    state.counters["sets"] = double(sets);
    runBuilds(state, k);
}
BENCHMARK(BM_BuildProduct)
    ->Args({2, 2})
    ->Args({2, 4})
    ->Args({2, 8})
    ->Args({2, 16})
    ->Args({3, 2})
    ->Args({3, 4})
    ->Args({3, 8})
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
