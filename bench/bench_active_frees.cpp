// The recount of one active-object record with N data sources while data
// elsewhere are freed: N rounds, each raising one source's own count (which
// recounts the record, a target of every source), with and without freeing
// one unrelated datum per round.
//  - BM_ActiveRecount/N/0: the N rounds alone, the baseline;
//  - BM_ActiveRecount/N/1: the same rounds, each followed by the free of a
//    datum no record lists;
//  - BM_ActiveRecount/N/2: the same rounds, each followed by the free of a
//    datum the record lists as a source (the freed datum's last round), so
//    the record's count moves as the sources go.
// N = 4,000 and 16,000; a fresh host per iteration, the records and the data
// made beforehand (not measured). The frees should add a constant per round,
// not a walk over the N sources: on a loaded 8-core machine, 4,000 rounds
// took 20 ms alone and 37 ms with the unrelated frees, 16,000 rounds 89 and
// 283 ms (the free itself is most of the difference); while every free made
// each record add up all its sources again, the frees took 2.75 s and 191 s.
// TRELK_BENCH_MODULE names another build of the module to measure.
#include "tarvex_host.h"
#include "bench_module_start.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const char *kRecount = R"LUA(
local D = QZDataBase:CreateType("bench.Counted")
function activeRealm(n, mode)
  realm = _New(QZRealmBase)
  total = D(0)
  src, junk = {}, {}
  for i = 1, n do
    src[i] = D(i)
    realm:LinkSourceObject(total, src[i])
  end
  realm:UpdateActiveCount(total)
  if mode == 1 then
    for i = 1, n do junk[i] = D(-i) end
  end
  rounds, freeMode = n, mode
end
function recountRounds()
  local r, s, j = realm, src, junk
  if freeMode == 0 then
    for i = 1, rounds do r:ActiveObject(1, s[i]) end
  elseif freeMode == 1 then
    for i = 1, rounds do
      r:ActiveObject(1, s[i])
      _Free(j[i])
    end
  else
    for i = 1, rounds do
      r:ActiveObject(1, s[i])
      _Free(s[i])
    end
  end
end
-- Every source raised once: 2 each, the mean 2, the record's own 1. With
-- the sources freed, the last round's recount ran while the last source
-- still counted (its own 2), and the record's count is that plus 1.
function checkRounds()
  local got = realm:GetActiveCount(total)
  assert(got == 3, "count " .. tostring(got))
end
)LUA";

void BM_ActiveRecount(benchmark::State &state)
{
    const long long n = state.range(0);
    const long long mode = state.range(1);
    const std::string setup = "activeRealm(" + std::to_string(n) + ", " + std::to_string(mode) + ")";
    for (auto _ : state)
        if (!benchstart::timedRun(state, {{kRecount, "lib"}, {setup, "setup"}}, {"recountRounds()", "rounds"},
                                  "checkRounds()"))
            break;
    benchstart::perItem(state, "sources", "per_round", n);
}

} // namespace

int main(int argc, char **argv)
{
    for (long long n : {4000LL, 16000LL}) {
        for (long long mode : {0LL, 1LL, 2LL}) {
            benchmark::RegisterBenchmark("BM_ActiveRecount", BM_ActiveRecount)
                ->Args({n, mode})
                ->Iterations(n <= 4000 ? 5 : 2)
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
