// Long loops of one operation, with the module loaded: where the memory goes
// and whether it levels off (figures, not timed tests). Each benchmark runs
// 50,000 calls of one operation and reads the heap in use and the RSS after
// every 10,000, above where it began (counters heap_kb_10k ... rss_kb_50k;
// grow_kb_30k_50k is the RSS growth over the last 20,000 calls). Memory the
// host keeps for later (freed records held back from reuse, see
// tarvex_api.h) carries over from one benchmark to the next: run one at a
// time (--benchmark_filter) for figures of each alone.
//  - RunString: a saved one-proc chain run on one datum;
//  - LoadObject: the same saved package loaded, the chain freed again;
//  - FromJSon: a package read from the chain's JSON text.
// Argument 0: the calls come in chunks of 1,000, each chunk ending at a
// collection point, as a script's dispatch loop or _CollectGarbage gives.
// Argument 1: all calls in one chunk without a collection point: what the
// host frees only at a collection point (objects a script let go of) and what
// Lua's collector has not reached yet (its pacing counts the small script
// values, not the packages behind them) piles up meanwhile.
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
Number = QZDataBase:CreateType("soakNumber")
_LockGC(Number)
Half = QZDataBase:CreateType("soakHalf")
_LockGC(Half)
Halve = QZProcBase:CreateSubType("soakHalve")
_LockGC(Halve)
Halve:InputFrom(Number)
Halve:OutputFrom(Half)
function Halve:Execute()
  local n = self:GetInput(0)
  self:AddOutputData(Half(n:GetDataBuf():_Get(0) // 2))
  self:AcceptInput(n)
  return 0
end
realm = _New(QZRealmBase)
_LockGC(realm)
local chain = _New(QZProcChainBase)
chain:FromPara(Halve())
saved = _Pkg()
realm:SaveObject(saved, chain)
_Free(chain)
text = saved:_ToJSon()
ops = {
  function(i) realm:RunString(Number(i), nil, text) end,
  function(i)
    local l = realm:LoadObject(saved)
    for k = 0, l:_Count() - 1 do _Free(l:_Get(k)) end
  end,
  function(i) _Pkg():_FromJSon(text) end,
}
function calls(op, from, to)
  local f = ops[op]
  for i = from, to do f(i) end
end
)LUA";

struct Host : ModuleHost {
    Host() {
        if (start()) ok = run(kSetup);
    }
};

Host &host() { return theHost<Host>(); }

const char *kOpNames[] = {"RunString", "LoadObject", "FromJSon"};

// Heap and RSS above the start, in KiB, at each mark.
double g_heap0, g_rss0;
double g_heap[5], g_rss[5];

int readMark(lua_State *L) {
    int m = (int)lua_tointeger(L, 1);
    if (m >= 0 && m < 5) {
        g_heap[m] = (double(heapInUse()) - g_heap0) / 1024;
        g_rss[m] = (double(rssBytes()) - g_rss0) / 1024;
    }
    return 0;
}

void Soak(benchmark::State &state, int op) {
    Host &h = host();
    if (!h.ok) {
        state.SkipWithError(h.err.c_str());
        return;
    }
    const bool chunked = state.range(0) == 0;
    const int every = 10000, chunk = 1000;
    const std::string opText = std::to_string(op + 1);
    lua_register(tvh::script::LuaEngine::instance()->mainState(), "readMark", readMark);
    for (auto _ : state) {
        tvh::collectGarbage();
        malloc_trim(0);
        g_heap0 = double(heapInUse());
        g_rss0 = double(rssBytes());
        if (chunked) {
            for (int done = 0; done < 5 * every; done += chunk) {
                h.run("calls(" + opText + ", " + std::to_string(done + 1) + ", " + std::to_string(done + chunk) + ")");
                if ((done + chunk) % every == 0)
                    h.run("readMark(" + std::to_string((done + chunk) / every - 1) + ")");
            }
        } else {
            h.run("for m = 0, 4 do calls(" + opText + ", m * " + std::to_string(every) + " + 1, (m + 1) * " +
                  std::to_string(every) + ") readMark(m) end");
        }
        tvh::collectGarbage();
    }
    state.SetLabel(std::string(kOpNames[op]) + (chunked ? ", a collection point every 1,000 calls" : ", one chunk"));
    const char *names[] = {"10k", "20k", "30k", "40k", "50k"};
    for (int m = 0; m < 5; m++) {
        state.counters[std::string("heap_kb_") + names[m]] = g_heap[m];
        state.counters[std::string("rss_kb_") + names[m]] = g_rss[m];
    }
    state.counters["grow_kb_30k_50k"] = g_rss[4] - g_rss[2];
}

void BM_SoakRunString(benchmark::State &state) { Soak(state, 0); }
void BM_SoakLoadObject(benchmark::State &state) { Soak(state, 1); }
void BM_SoakFromJSon(benchmark::State &state) { Soak(state, 2); }
BENCHMARK(BM_SoakRunString)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SoakLoadObject)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SoakFromJSon)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) { return runBenchmarks<Host>(argc, argv); }
