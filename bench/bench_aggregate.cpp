// An aggregate over N data in one cycle: one proc declared InputFrom(-1, T)
// takes every waiting datum in one run and adds them up, and the realm's
// step then trims the data's active-object records to ActiveLength, each
// removal recounting the total, which has all N data as sources.
//  - BM_Aggregate/N: the cycle (ExecuteForResult) after N data were added to
//    the realm (adding them is not measured), N = 1,000 to 16,000; a fresh
//    host per iteration;
//  - BM_AggregateLua/N: the same sum in plain Lua over N stand-in tables;
//  - BM_Aggregate/100000: the same at 100,000 data, only with
//    TRELK_BENCH_LARGE=1 in the environment (it takes seconds).
// TRELK_BENCH_MODULE names another build of the module to measure.
// The instructions per datum of BM_Aggregate stay nearly flat as N grows
// (about 92,000 at 2,000 data, 98,000 at 16,000); the time per datum still
// rises as the data outgrow the processor's caches.
#include "host_internal.h"
#include "tarvex_host.h"
#include "bench_module_start.h"

#include <benchmark/benchmark.h>
#include <lua.hpp>

#include <cstdlib>
#include <string>

namespace {

const char *kAggregate = R"LUA(
local Item = QZDataBase:CreateType("bench.Item")
local Total = QZDataBase:CreateType("bench.Total")
local Sum = QZProcBase:CreateSubType("bench.Sum")
Sum:InputFrom(-1, Item)
Sum:OutputFrom(Total)
function Sum:Execute(realm)
  local got = self:GetInput(0)
  local s = 0
  if realm:IsData(got) then
    s = got[0]
    self:AcceptInput(got)
  else
    for i = 0, got:_Count() - 1 do
      local d = got:_Get(i)
      s = s + d[0]
      self:AcceptInput(d)
    end
  end
  got_sum = s
  self:AddOutputData(Total(s))
  return 0
end
function aggregateRealm(n)
  local cell = _New(QZCellBase)
  cell:AddProc(Sum())
  realm = _New(QZRealmBase)
  realm:AddCell(cell)
  for i = 1, n do realm:AddEnvData(Item(i)) end
  want = n * (n + 1) // 2
end
function aggregate()
  realm:ExecuteForResult()
end
)LUA";

bool startRealm(benchmark::State &state, long long n)
{
    return benchstart::startModule(state, {{kAggregate, "lib"}, {"aggregateRealm(" + std::to_string(n) + ")", "setup"}});
}

void stopRealm()
{
    benchstart::stopModule();
}

void BM_Aggregate(benchmark::State &state)
{
    const long long n = state.range(0);
    std::string err;
    for (auto _ : state) {
        state.PauseTiming();
        bool up = startRealm(state, n);
        state.ResumeTiming();
        if (!up)
            break;
        bool ok = tvh::runChunk("aggregate()", "aggregate", &err);
        state.PauseTiming();
        if (ok && !tvh::runChunk("assert(got_sum == want, 'sum ' .. tostring(got_sum))", "check", &err))
            ok = false;
        tvh::errors(true);
        stopRealm();
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError(err.c_str());
            break;
        }
    }
    state.counters["data"] = double(n);
    state.counters["per_datum"] =
        benchmark::Counter(double(n) * double(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_AggregateLua(benchmark::State &state)
{
    const long long n = state.range(0);
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    luaL_dostring(L, R"LUA(
function makeItems(n)
  items = {}
  for i = 1, n do items[i] = {i} end
  want = n * (n + 1) // 2
end
function sumItems()
  local s = 0
  for i = 1, #items do s = s + items[i][1] end
  assert(s == want)
  return s
end
)LUA");
    lua_getglobal(L, "makeItems");
    lua_pushinteger(L, (lua_Integer)n);
    lua_call(L, 1, 0);
    for (auto _ : state) {
        lua_getglobal(L, "sumItems");
        lua_call(L, 0, 1);
        benchmark::DoNotOptimize(lua_tointeger(L, -1));
        lua_pop(L, 1);
    }
    lua_close(L);
    state.counters["data"] = double(n);
    state.counters["per_datum"] =
        benchmark::Counter(double(n) * double(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

int main(int argc, char **argv)
{
    for (long long n : {1000LL, 2000LL, 4000LL, 16000LL}) {
        benchmark::RegisterBenchmark("BM_Aggregate", BM_Aggregate)
            ->Arg(n)
            ->Iterations(n <= 4000 ? 5 : 2)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_AggregateLua", BM_AggregateLua)->Arg(n)->Unit(benchmark::kMicrosecond);
    }
    const char *large = std::getenv("TRELK_BENCH_LARGE");
    if (large != nullptr && *large != '\0' && *large != '0') {
        benchmark::RegisterBenchmark("BM_Aggregate", BM_Aggregate)
            ->Arg(100000)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_AggregateLua", BM_AggregateLua)
            ->Arg(100000)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
