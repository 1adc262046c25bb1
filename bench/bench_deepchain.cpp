// Chains of objects each made from the one before, against the same number
// of objects all made from one class (the flat peer, measured in the same
// run):
//  - BM_FreeDeep/kind/N and BM_FreeFlat/kind/N: one _Free of the root of N
//    cells (c = _New(c)), N proc types (CreateSubType of the previous), N
//    data (d = d()) or N proc chains (c = _New(c)); building them is not
//    measured;
//  - the same with listeners: "+other" has one free callback registered on
//    an unrelated object of the kind (none of the chain's frees calls it, but
//    every free has to know that), "+root" one on the root (every free of the
//    chain calls it once);
//  - BM_BuildDeep/kind/N and BM_BuildFlat/kind/N: N data types made with
//    CreateType, or N proc types with CreateSubType, each from the previous
//    one or all from one type.
// N = 10,000 and 20,000. A fresh host per iteration.
// A chain frees and builds within about twice the time per object of its
// flat peer, at both depths: the free-callback walks, the property reads and
// the host's name resolution ask only the classes that have something.
// TRELK_BENCH_MODULE names another build of the module to measure.
#include "host_internal.h"
#include "tarvex_host.h"
#include "bench_module_start.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

tvh::ScriptEngine *(*volatile g_linkEngine)() = &tvh::createScriptEngine;

// make(kind, n, deep, listen) builds the objects (all held) and registers
// the listener; freeAll() frees them through the root; build(kind, n, deep)
// makes the types.
const char *kLibrary = R"LUA(
heard = 0
local listener = _New(_Object)
_LockGC(listener)
listener.OnFreeCallback = function(self, dying) heard = heard + 1 end

local roots = {
  cell = function() return _New(QZCellBase) end,
  proc = function() return QZProcBase:CreateSubType("dc.P0") end,
  data = function() return QZDataBase:CreateType("dc.D0")(0) end,
  chain = function() return _New(QZProcChainBase) end,
}
local next = {
  cell = function(c, i) return _New(c) end,
  proc = function(c, i) return c:CreateSubType("dc.P" .. i) end,
  data = function(c, i) return c() end,
  chain = function(c, i) return _New(c) end,
}
local others = {
  cell = function() return _New(QZCellBase) end,
  proc = function() return QZProcBase:CreateSubType("dc.Other") end,
  data = function() return QZDataBase:CreateType("dc.Other")(0) end,
  chain = function() return _New(QZProcChainBase) end,
}

function make(kind, n, deep, listen)
  root = roots[kind]()
  held = {}
  local c = root
  for i = 1, n do
    local x = next[kind](deep and c or root, i)
    held[i] = x
    c = x
  end
  other = others[kind]()
  if listen == "other" then other:RegCallBack(listener) end
  if listen == "root" then root:RegCallBack(listener) end
  want = listen == "root" and n + 1 or 0
end

function freeAll()
  held = nil
  _Free(root)
  root = nil
end

function check()
  assert(heard == want, "heard " .. heard .. " of " .. want)
end

function build(kind, n, deep)
  local c, first
  if kind == "data" then
    first = QZDataBase:CreateType("dc.T0")
    c = first
    for i = 1, n do c = (deep and c or first):CreateType("dc.T" .. i) end
  else
    first = QZProcBase:CreateSubType("dc.T0")
    c = first
    for i = 1, n do c = (deep and c or first):CreateSubType("dc.T" .. i) end
  end
  last = c
end
)LUA";

const char *const kKinds[] = {"cell", "proc", "data", "chain"};
const char *const kListen[] = {"none", "other", "root"};

void BM_Free(benchmark::State &state, const std::string &kind, const std::string &listen, long long n, bool deep)
{
    std::string make = "make('" + kind + "', " + std::to_string(n) + ", " + (deep ? "true" : "false") + ", '" +
                       listen + "')";
    for (auto _ : state)
        if (!benchstart::timedRun(state, {{kLibrary, "lib"}, {make, "make"}}, {"freeAll()", "free"}, "check()"))
            break;
    benchstart::perItem(state, "objects", "per_object", n);
}

// kind: "proc" or "data".
void BM_Build(benchmark::State &state, const std::string &kind, long long n, bool deep)
{
    std::string build = "build('" + kind + "', " + std::to_string(n) + ", " + (deep ? "true" : "false") + ")";
    for (auto _ : state)
        if (!benchstart::timedRun(state, {{kLibrary, "lib"}}, {build, "build"}, "assert(last ~= nil)"))
            break;
    benchstart::perItem(state, "objects", "per_object", n);
}

} // namespace

int main(int argc, char **argv)
{
    for (long long n : {10000LL, 20000LL}) {
        for (int kind = 0; kind < 4; kind++)
            for (int listen = 0; listen < 3; listen++)
                for (int deep : {1, 0}) {
                    std::string name = std::string(deep ? "BM_FreeDeep/" : "BM_FreeFlat/") + kKinds[kind] +
                                       (listen == 0 ? "" : std::string("+") + kListen[listen]) + "/" +
                                       std::to_string(n);
                    benchmark::RegisterBenchmark(name.c_str(), BM_Free, std::string(kKinds[kind]),
                                                 std::string(kListen[listen]), n, deep != 0)
                        ->Iterations(2)
                        ->Unit(benchmark::kMillisecond);
                }
        for (int kind : {2, 1})
            for (int deep : {1, 0}) {
                std::string name = std::string(deep ? "BM_BuildDeep/" : "BM_BuildFlat/") + kKinds[kind] + "/" +
                                   std::to_string(n);
                benchmark::RegisterBenchmark(name.c_str(), BM_Build, std::string(kKinds[kind]), n, deep != 0)
                    ->Iterations(2)
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
