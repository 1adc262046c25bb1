// One item through a chain of three procs, per item, in one run:
//  - BM_RealmItem: a realm with one cell running the chain; per item one
//    AddEnvData and one Execute, with N other env data items (100, 1,000,
//    10,000) waiting in the realm that no cell takes;
//  - BM_RawLuaItem: the same three Execute bodies called as plain Lua
//    functions on stand-in tables;
//  - BM_FlowGraphItem: the same three bodies as the three nodes of a oneTBB
//    flow graph, each node calling its body through lua_pcall.
// The ratio of the first to the second is the scheduler's cost per item; the
// realm's figure at 100, 1,000 and 10,000 waiting items shows what the
// steps' walks over the environment cost.
#include "host_internal.h"
#include "tarvex_host.h"

#include <benchmark/benchmark.h>
#include <lua.hpp>
#include <oneapi/tbb/flow_graph.h>

#include <string>

namespace {

tvh::ScriptEngine *(*volatile g_linkEngine)() = &tvh::createScriptEngine;

// The three bodies, written once and used by all three figures. Each reads
// one value, makes one new value and answers 0. On the realm they read the
// proc's input and add output data; on stand-ins, fields of a table.
const char *kBodies = R"LUA(
function body_scale(v) return v * 2 end
function body_shift(v) return v + 3 end
function body_square(v) return v * v end
)LUA";

const char *kRealmSetup = R"LUA(
Number = QZDataBase:CreateType("bench.Number")
Scaled = QZDataBase:CreateType("bench.Scaled")
Shifted = QZDataBase:CreateType("bench.Shifted")
Squared = QZDataBase:CreateType("bench.Squared")
Noise = QZDataBase:CreateType("bench.Noise")
local function step(name, In, Out, body)
  local P = QZProcBase:CreateSubType(name)
  P:InputFrom(In)
  P:OutputFrom(Out)
  function P:Execute(realm, cell, runner)
    local d = self:GetInput(0)
    local out = Out(body(d:GetDataBuf():_Get(0)))
    self:AddOutputData(out)
    self:AcceptInput(d)
    last = out
    return 0
  end
  return P
end
local A = step("bench.A", Number, Scaled, body_scale)
local B = step("bench.B", Scaled, Shifted, body_shift)
local C = step("bench.C", Shifted, Squared, body_square)
chain = _New(QZProcChainBase)
chain:FromPara(A(), B(), C())
cell = _New(QZCellBase)
cell:AddProc(chain)
realm = _New(QZRealmBase)
realm.CreateFrameData = false
realm:AddCell(cell)
function fill(n)
  for i = 1, n do realm:AddEnvData(Noise(i)) end
end
function one(i)
  realm:AddEnvData(Number(i))
  realm:Execute()
  realm:RemoveEnvData(last)
end
)LUA";

void BM_RealmItem(benchmark::State &state)
{
    tvh::start();
    std::string err;
    if (!tvh::loadModule(TRELK_MODULE_PATH, &err)) {
        state.SkipWithError(err.c_str());
        tvh::stop();
        return;
    }
    if (!tvh::runChunk(kBodies, "bodies", &err) || !tvh::runChunk(kRealmSetup, "setup", &err) ||
        !tvh::runChunk(("fill(" + std::to_string(state.range(0)) + ")").c_str(), "fill", &err)) {
        state.SkipWithError(err.c_str());
    } else {
        int i = 0;
        for (auto _ : state) {
            tvh::runChunk(("one(" + std::to_string(++i) + ")").c_str(), "item", &err);
            // The realm reports the waiting items once per cycle.
            tvh::errors(true);
        }
        state.counters["env"] = double(state.range(0));
    }
    tvh::unloadModule();
    tvh::stop();
}
BENCHMARK(BM_RealmItem)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The three bodies on stand-in values, one plain Lua call each per item.
void BM_RawLuaItem(benchmark::State &state)
{
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    luaL_dostring(L, kBodies);
    luaL_dostring(L, R"LUA(
function one(i)
  local d = {value = i}
  local a = {value = body_scale(d.value)}
  local b = {value = body_shift(a.value)}
  local c = {value = body_square(b.value)}
  last = c
end
)LUA");
    lua_Integer i = 0;
    for (auto _ : state) {
        lua_getglobal(L, "one");
        lua_pushinteger(L, ++i);
        lua_pcall(L, 1, 0, 0);
    }
    lua_close(L);
}
BENCHMARK(BM_RawLuaItem)->Unit(benchmark::kMicrosecond);

// The three bodies as the three nodes of a flow graph. The nodes run one at
// a time (serial), so the one Lua state is never entered twice.
void BM_FlowGraphItem(benchmark::State &state)
{
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    luaL_dostring(L, kBodies);
    auto call = [L](const char *name, double v) {
        lua_getglobal(L, name);
        lua_pushnumber(L, v);
        double r = 0;
        if (lua_pcall(L, 1, 1, 0) == LUA_OK)
            r = lua_tonumber(L, -1);
        lua_pop(L, 1);
        return r;
    };
    using namespace oneapi::tbb::flow;
    graph g;
    function_node<double, double> scale(g, serial, [&](double v) { return call("body_scale", v); });
    function_node<double, double> shift(g, serial, [&](double v) { return call("body_shift", v); });
    double last = 0;
    function_node<double, continue_msg> square(g, serial, [&](double v) {
        last = call("body_square", v);
        return continue_msg();
    });
    make_edge(scale, shift);
    make_edge(shift, square);
    double i = 0;
    for (auto _ : state) {
        scale.try_put(++i);
        g.wait_for_all();
    }
    benchmark::DoNotOptimize(last);
    lua_close(L);
}
BENCHMARK(BM_FlowGraphItem)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
