// A validation pipeline fed in batches: a cell holding a chain that filters
// and enriches readings, and, beside it in the same cell, an aggregate that
// takes any number of the enriched data (InputFrom(0, ...), so it runs when
// the cell has nothing else to do). N readings are added B at a time, each
// batch run with Execute (frame data on).
//  - BM_Batch/B/0: the pipeline without the aggregate, the baseline;
//  - BM_Batch/B/1: the same with the aggregate in the cell.
// N is 3,200 (TRELK_BENCH_ITEMS sets another). While the aggregate waits,
// every step of the cell steps it once and looks at every datum it holds
// (the source-depth check of its inputs) and at the cell's data connected
// to it: a batch of B costs about B steps of B items, so the time per
// reading grows with the batch while the baseline's does not. Counted by
// callgrind at 3,200 readings: about 0.33 million instructions per reading
// without the aggregate at every batch size; with it 0.56 million at a
// batch of 100, 1.05 million at 400 and 3.0 million at 1,600. The walks are
// the scheduler's per-step checks, not the aggregate's own run: keep such
// batches to a few hundred, or give the aggregate a cell of its own.
// TRELK_BENCH_MODULE names another build of the module to measure.
#include "host_internal.h"
#include "tarvex_host.h"
#include "bench_module_start.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

const char *kPipeline = R"LUA(
local Reading = QZDataBase:CreateType("bench.Reading")
local Valid = QZDataBase:CreateType("bench.Valid")
local Enriched = QZDataBase:CreateType("bench.Enriched")
local Summary = QZDataBase:CreateType("bench.Summary")
local Filter = QZProcBase:CreateSubType("bench.Filter")
Filter:InputFrom(Reading)
Filter:OutputFrom(Valid)
function Filter:Execute()
  local r = self:GetInput(0)
  if r[0] % 33 == 0 then self:RejectInput(r) return 0 end
  self:AddOutputData(Valid(r[0]))
  self:AcceptInput(r)
  return 0
end
local Enrich = QZProcBase:CreateSubType("bench.Enrich")
Enrich:InputFrom(Valid)
Enrich:OutputFrom(Enriched)
function Enrich:Execute()
  local v = self:GetInput(0)
  self:AddOutputData(Enriched(v[0] * 2))
  self:AcceptInput(v)
  return 0
end
local Aggregate = QZProcBase:CreateSubType("bench.Aggregate")
Aggregate:InputFrom(0, Enriched)
Aggregate:OutputFrom(Summary)
function Aggregate:Execute(realm)
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
  got_sum = got_sum + s
  self:AddOutputData(Summary(s))
  return 0
end
local Stub = _New(QZRealmStubBase)
function Stub:OnException(level, text) end
function pipelineRealm(withAggregate)
  local chain = _New(QZProcChainBase)
  chain:FromPara(Filter(), Enrich())
  local cell = _New(QZCellBase)
  cell:AddProc(chain)
  if withAggregate then cell:AddProc(Aggregate()) end
  realm = _New(QZRealmBase)
  realm:AddCell(cell)
  realm:SetRealmStub(Stub)
  got_sum = 0
end
function feed(n, batch)
  local k = 0
  while k < n do
    for i = 1, batch do
      k = k + 1
      realm:AddEnvData(Reading(k))
    end
    realm:Execute()
  end
  -- Every reading but the multiples of 33, doubled, summed.
  local m = n // 33
  want = n * (n + 1) - 33 * m * (m + 1)
end
)LUA";

long long items()
{
    const char *n = std::getenv("TRELK_BENCH_ITEMS");
    long long v = n != nullptr ? std::atoll(n) : 0;
    return v > 0 ? v : 3200;
}

void BM_Batch(benchmark::State &state)
{
    const long long batch = state.range(0);
    const bool withAggregate = state.range(1) != 0;
    const long long n = items();
    const std::string setup = std::string("pipelineRealm(") + (withAggregate ? "true" : "false") + ")";
    const std::string run = "feed(" + std::to_string(n) + ", " + std::to_string(batch) + ")";
    const std::string check = withAggregate ? "assert(got_sum == want, 'sum ' .. tostring(got_sum))" : "";
    for (auto _ : state)
        if (!benchstart::timedRun(state, {{kPipeline, "lib"}, {setup, "setup"}}, {run, "feed"}, check))
            break;
    benchstart::perItem(state, "items", "per_item", n);
}

} // namespace

int main(int argc, char **argv)
{
    for (long long batch : {100LL, 400LL, 1600LL})
        for (long long agg : {0LL, 1LL})
            benchmark::RegisterBenchmark("BM_Batch", BM_Batch)
                ->Args({batch, agg})
                ->Iterations(1)
                ->Repetitions(3)
                ->ReportAggregatesOnly(true)
                ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
