// A realm's run at scale, per item, in one run (steady state unless named
// otherwise; instructions with bench/instructions.sh and the marker runItem,
// which also limits the count to the measured work):
//  - BM_RealmItem: one item through a chain of three procs in a realm with
//    one cell; per item one AddEnvData and one Execute, with N other env data
//    items (100, 1,000, 10,000) waiting in the realm that no cell takes;
//  - BM_RealmFirstItem: the same, the first cycle after the N items arrived
//    (a fresh host per iteration; the cycle that meets them all at once);
//  - BM_RawLuaItem: the same three Execute bodies called as plain Lua
//    functions on stand-in tables;
//  - BM_FlowGraphItem: the same three bodies as the three nodes of a oneTBB
//    flow graph, each node calling its body through lua_pcall (built only
//    where oneTBB is installed);
//  - BM_ChainItem: one item through a chain of P procs (3, 20, 100, 200);
//    the cost per proc should not grow with P;
//  - BM_CellsItem: one item through the three-proc chain with C cells in the
//    realm (1, 10, 100), all but one idle: what an idle cell costs per item;
//  - BM_CellBulk: one cell taking N env data (1,000 to 100,000) in one cycle
//    of ExecuteForResult through a two-proc chain;
//  - BM_IdleCellCalls: the script calls one idle cell gets per cycle, made
//    through the host as the module makes them ("Execute" stood in for by a
//    default of the same shape, so that no cell step runs), with nothing of
//    the module's work around them: the floor of an idle cell per item
//    (marker idleCalls).
#include "host_internal.h"
#include "script/lua_engine.h"
#include "tarvex_host.h"
#include "bench_module_start.h"

#include <benchmark/benchmark.h>
#include <lua.hpp>
#ifdef TRELK_BENCH_TBB
#include <oneapi/tbb/flow_graph.h>
#endif

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

// Proc types and chains made to order: step(name, In, Out, body) is one proc
// type; chainOf(list) a chain of one instance of each.
const char *kRealmLib = R"LUA(
Number = QZDataBase:CreateType("bench.Number")
Noise = QZDataBase:CreateType("bench.Noise")
Idle = QZDataBase:CreateType("bench.Idle")
function step(name, In, Out, body)
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
function chainOf(types)
  local c = _New(QZProcChainBase)
  local procs = {}
  for i, P in ipairs(types) do procs[i] = P() end
  c:FromPara(table.unpack(procs))
  return c
end
function cellOf(types)
  local cell = _New(QZCellBase)
  cell:AddProc(chainOf(types))
  return cell
end
function threeProcs()
  local Scaled = QZDataBase:CreateType("bench.Scaled")
  local Shifted = QZDataBase:CreateType("bench.Shifted")
  local Squared = QZDataBase:CreateType("bench.Squared")
  return {step("bench.A", Number, Scaled, body_scale), step("bench.B", Scaled, Shifted, body_shift),
          step("bench.C", Shifted, Squared, body_square)}
end
function longChain(p)
  local types, In = {}, Number
  for i = 1, p do
    local Out = QZDataBase:CreateType("bench.L" .. i)
    types[i] = step("bench.P" .. i, In, Out, body_shift)
    In = Out
  end
  return types
end
function newRealm(cells)
  realm = _New(QZRealmBase)
  realm.CreateFrameData = false
  for _, c in ipairs(cells) do realm:AddCell(c) end
end
function fill(n)
  for i = 1, n do realm:AddEnvData(Noise(i)) end
end
function one(i)
  realm:AddEnvData(Number(i))
  realm:Execute()
  realm:RemoveEnvData(last)
end
)LUA";

// One measured unit of work: the marker and the counted span of
// bench/instructions.sh.
__attribute__((noinline)) bool runItem(const char *chunk, std::string *err)
{
    bool ok = tvh::runChunk(chunk, "item", err);
    // The realm reports the waiting items once per cycle.
    tvh::errors(true);
    return ok;
}

bool startRealm(benchmark::State &state, const std::string &setup)
{
    return benchstart::startModule(state, {{kBodies, "bodies"}, {kRealmLib, "lib"}, {setup, "setup"}});
}

void stopRealm()
{
    benchstart::stopModule();
}

// Items through the realm the setup made, after a few unmeasured ones (the
// first cycle meets every waiting item at once and is measured apart).
void runItems(benchmark::State &state)
{
    std::string err;
    int i = 0;
    for (; i < 3; i++)
        tvh::runChunk(("one(" + std::to_string(i + 1) + ")").c_str(), "warm", &err);
    tvh::errors(true);
    for (auto _ : state) {
        std::string chunk = "one(" + std::to_string(++i) + ")";
        if (!runItem(chunk.c_str(), &err)) {
            state.SkipWithError(err.c_str());
            break;
        }
    }
}

void BM_RealmItem(benchmark::State &state)
{
    if (!startRealm(state, "newRealm({cellOf(threeProcs())}); fill(" + std::to_string(state.range(0)) + ")"))
        return;
    runItems(state);
    state.counters["env"] = double(state.range(0));
    stopRealm();
}
BENCHMARK(BM_RealmItem)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_RealmFirstItem(benchmark::State &state)
{
    std::string setup = "newRealm({cellOf(threeProcs())}); fill(" + std::to_string(state.range(0)) + ")";
    std::string err;
    for (auto _ : state) {
        state.PauseTiming();
        bool up = startRealm(state, setup);
        state.ResumeTiming();
        if (!up)
            break;
        bool ok = runItem("one(1)", &err);
        state.PauseTiming();
        stopRealm();
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError(err.c_str());
            break;
        }
    }
    state.counters["env"] = double(state.range(0));
}
BENCHMARK(BM_RealmFirstItem)->Arg(100)->Arg(1000)->Arg(10000)->Iterations(5)->Unit(benchmark::kMicrosecond);

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

#ifdef TRELK_BENCH_TBB
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
#endif

// A chain of P procs, each adding 3; every proc's output lives on, so the
// realm's initial live count is raised above P.
void BM_ChainItem(benchmark::State &state)
{
    const long long p = state.range(0);
    if (!startRealm(state, "newRealm({cellOf(longChain(" + std::to_string(p) +
                               "))}); realm.InitialLiveCount = " + std::to_string(p + 10)))
        return;
    runItems(state);
    std::string err;
    std::string check = "assert(last and last:GetDataBuf():_Get(0) ~= nil, 'no output')";
    if (!tvh::runChunk(check.c_str(), "check", &err))
        state.SkipWithError(err.c_str());
    state.counters["procs"] = double(p);
    stopRealm();
}
BENCHMARK(BM_ChainItem)->Arg(3)->Arg(20)->Arg(100)->Arg(200)->Unit(benchmark::kMicrosecond);

// One working cell and C - 1 idle ones, whose chains wait for a type that
// never arrives.
const char *kIdleCells = R"LUA(
function idleCells(c)
  local cells = {cellOf(threeProcs())}
  for i = 2, c do
    cells[i] = cellOf({step("bench.Idle" .. i, Idle, QZDataBase:CreateType("bench.IdleOut" .. i), body_shift)})
  end
  newRealm(cells)
end
)LUA";

void BM_CellsItem(benchmark::State &state)
{
    if (!startRealm(state, std::string(kIdleCells) + "idleCells(" + std::to_string(state.range(0)) + ")"))
        return;
    runItems(state);
    state.counters["cells"] = double(state.range(0));
    stopRealm();
}
BENCHMARK(BM_CellsItem)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

// One cell, a chain of two procs, N env data handed to it in one cycle.
const char *kBulk = R"LUA(
local Scaled = QZDataBase:CreateType("bench.Scaled")
local Squared = QZDataBase:CreateType("bench.Squared")
bulkTypes = {step("bench.A", Number, Scaled, body_scale), step("bench.C", Scaled, Squared, body_square)}
function bulkRealm(n)
  newRealm({cellOf(bulkTypes)})
  for i = 1, n do realm:AddEnvData(Number(i)) end
  want = n
end
function bulk()
  local out = realm:ExecuteForResult()
  got = out:_Count()
end
)LUA";

void BM_CellBulk(benchmark::State &state)
{
    const long long n = state.range(0);
    std::string err;
    for (auto _ : state) {
        state.PauseTiming();
        bool up = startRealm(state, std::string(kBulk) + "bulkRealm(" + std::to_string(n) + ")");
        state.ResumeTiming();
        if (!up)
            break;
        bool ok = runItem("bulk()", &err);
        state.PauseTiming();
        if (ok && !tvh::runChunk("assert(got == want, 'got ' .. tostring(got))", "check", &err))
            ok = false;
        stopRealm();
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError(err.c_str());
            break;
        }
    }
    state.counters["data"] = double(n);
}
BENCHMARK(BM_CellBulk)
    ->Arg(1000)
    ->Arg(4000)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The five calls of an idle cell: "Execute" (realm, cell, nil; one result),
// "OnCellToBeFinish" on the cell (realm) and on the realm (cell), one result
// each, "OnCellFinish" on the cell (realm, true) and on the realm (cell,
// true). Each is preceded by the read of the last error the module makes.
// The stand-in for "Execute" is the cell's default "OnCellToBeFinish" called
// with Execute's arguments and result.
__attribute__((noinline)) void idleCalls(ClassOfXRQInterface *X, void *Realm, void *Cell)
{
    X->LuaPushObject(Realm);
    X->LuaPushObject(Cell);
    X->LuaPushNil();
    X->GetLastError();
    X->ExecNameScript(Cell, "OnCellToBeFinish", 3, 1);
    X->LuaPop(1);
    X->LuaPushObject(Realm);
    X->GetLastError();
    X->ExecNameScript(Cell, "OnCellToBeFinish", 1, 1);
    X->LuaPop(1);
    X->LuaPushObject(Cell);
    X->GetLastError();
    X->ExecNameScript(Realm, "OnCellToBeFinish", 1, 1);
    X->LuaPop(1);
    X->LuaPushObject(Realm);
    X->LuaPushBool(1);
    X->GetLastError();
    X->ExecNameScript(Cell, "OnCellFinish", 2, 0);
    X->LuaPushObject(Cell);
    X->LuaPushBool(1);
    X->GetLastError();
    X->ExecNameScript(Realm, "OnCellFinish", 2, 0);
}

void *globalObject(const char *Name)
{
    tvh::script::LuaEngine *E = tvh::script::LuaEngine::instance();
    lua_State *L = E->mainState();
    lua_getglobal(L, Name);
    tvh::HostObject *Object = E->toHostObject(L, -1);
    lua_pop(L, 1);
    return Object != nullptr ? Object->record : nullptr;
}

void BM_IdleCellCalls(benchmark::State &state)
{
    if (!startRealm(state, "idle = cellOf({step('bench.IdleF', Idle, QZDataBase:CreateType('bench.IdleOutF'), "
                           "body_shift)}); newRealm({idle})"))
        return;
    std::string err;
    tvh::lockBoth();
    void *Realm = globalObject("realm");
    void *Cell = globalObject("idle");
    if (Realm == nullptr || Cell == nullptr)
        state.SkipWithError("no realm or idle cell");
    else
        for (auto _ : state)
            idleCalls(tvh::service(), Realm, Cell);
    tvh::unlockBoth();
    stopRealm();
}
BENCHMARK(BM_IdleCellCalls);

} // namespace

BENCHMARK_MAIN();
