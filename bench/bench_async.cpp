// What an asynchronous proc costs per run next to the same proc run on the
// scheduling thread, beside the body as a plain Lua call:
//  - BM_ProcRun/0: one datum through a one-proc chain, one AddEnvData and one
//    ExecuteForResult per item, the proc synchronous;
//  - BM_ProcRun/1: the same with the proc's IsAsync set, so each run starts a
//    worker thread that runs the body at the next lock release;
//  - BM_PlainLuaRun: the body on a stand-in table, called as plain Lua.
// Times are wall clock; the CPU figure counts every thread of the process
// (the workers and the waits for the locks included).
#include "host_internal.h"
#include "script/lua_engine.h"
#include "tarvex_host.h"
#include "bench_module_start.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

tvh::ScriptEngine *(*volatile g_linkEngine)() = &tvh::createScriptEngine;

const char *kSetup = R"LUA(
local In = QZDataBase:CreateType("async.In")
local Out = QZDataBase:CreateType("async.Out")
local Double = QZProcBase:CreateSubType("async.Double")
Double:InputFrom(In)
Double:OutputFrom(Out)
Double.IsAsync = ASYNC
function Double:Execute()
  local d = self:GetInput(0)
  self:AddOutputData(Out(d[0] * 2))
  self:AcceptInput(d)
  return 0
end
local cell = _New(QZCellBase)
cell:AddProc(Double())
realm = _New(QZRealmBase)
realm:AddCell(cell)
total = 0
function one(i)
  realm:AddEnvData(In(i))
  local out = realm:ExecuteForResult()
  total = total + out:_Get(0)[0]
end
function plain(i)
  local t = {[0] = i}
  local o = {[0] = t[0] * 2}
  total = total + o[0]
end
)LUA";

bool start(benchmark::State &state, bool async)
{
    return benchstart::startModule(
        state, {{std::string("ASYNC = ") + (async ? "true" : "false"), "flag"}, {kSetup, "setup"}});
}

// Items one at a time; the sum checked afterwards so that a lost run shows.
void runItems(benchmark::State &state, const char *fn)
{
    std::string err;
    long long n = 0, expect = 0;
    for (auto _ : state) {
        ++n;
        expect += 2 * n;
        std::string chunk = std::string(fn) + "(" + std::to_string(n) + ")";
        if (!tvh::runChunk(chunk.c_str(), "item", &err)) {
            state.SkipWithError(err.c_str());
            return;
        }
    }
    std::string check = "assert(total == " + std::to_string(expect) + ", 'lost runs: ' .. total)";
    if (!tvh::runChunk(check.c_str(), "check", &err))
        state.SkipWithError(err.c_str());
    tvh::errors(true);
}

void BM_ProcRun(benchmark::State &state)
{
    if (!start(state, state.range(0) != 0))
        return;
    runItems(state, "one");
    benchstart::stopModule();
}
BENCHMARK(BM_ProcRun)->ArgName("async")->Arg(0)->Arg(1)->UseRealTime()->MeasureProcessCPUTime()->Unit(
    benchmark::kMicrosecond);

void BM_PlainLuaRun(benchmark::State &state)
{
    if (!start(state, false))
        return;
    runItems(state, "plain");
    benchstart::stopModule();
}
BENCHMARK(BM_PlainLuaRun)->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
