-- Procs run on demand, synchronously: RunProc and RunProcEx on a temporary
-- realm made from the calling one. Chains in argument order or each proc on
-- its own, expected outputs ("m" and counts), a cell type or a cell of the
-- caller, failures that give an empty package, the messages of bad
-- arguments, results that outlive the run, and the objects and locks a run
-- leaves as it found them.
local T = dofile(arg[1] .. "/services_testlib.lua")

local Number, Half, Total, Other = T.Number, T.Half, T.Total, T.Other
local Halve, AddOne, Fails = T.Halve, T.AddOne, T.Fails

-- Types stay for the module's life: made before the count.
local CT = QZCellBase:CreateType("run.CT")
CT:AddProc((T.chain(Halve, AddOne)))

local inner
local Asks = T.procType("run.Asks", {Number}, {Total}, function(self, r)
  if self.Status < 0 then return end
  local n = self:GetInput(0)
  inner = T.values(r:RunProcEx(Number(T.value(n)), nil, Halve(), AddOne()))
  self:AddOutputData(Total(0))
  self:AcceptInput(n)
  return 0
end)

local before = T.counts()
local realm = T.named(_New(QZRealmBase), "caller")

-- Chains and separate procs ------------------------------------------------
-- Each row: the call, and the values the result must hold, in order ("-"
-- for the one empty item of a run that collected nothing).
T.calls = {}
local rows = {
  {"RunProcEx: one chain, Halve then AddOne",
   function() return realm:RunProcEx(Number(10), nil, Halve(), AddOne()) end, "6", "Halve,AddOne"},
  {"RunProcEx: the order of the arguments is the chain's",
   function() return realm:RunProcEx(Number(10), nil, AddOne(), Halve()) end, "-", ""},
  {"RunProc: each proc its own chain, the half goes on to AddOne",
   function() return realm:RunProc(Number(10), nil, Halve(), AddOne()) end, "6", "Halve,AddOne"},
  {"RunProc: proc types are instantiated",
   function() return realm:RunProc(Number(8), nil, Halve) end, "4", "Halve"},
  {"RunProc: a chain is copied and run",
   function() return realm:RunProc(Number(4), nil, (T.chain(Halve, AddOne))) end, "3", "Halve,AddOne"},
  {"RunProc: a package of inputs, one run of the single runner",
   function() return realm:RunProc(T.pkg(Number(2), Number(6)), Half, Halve()) end, "1", "Halve"},
  {"RunProc: no proc, only input from outside: one empty item",
   function() return realm:RunProc(Number(3), nil) end, "-", ""},
  {"RunProc: nothing at all: one empty item", function() return realm:RunProc() end, "-", ""},
  {"RunProc: expected Total of a chain", function() return realm:RunProc(Number(10), Total, (T.chain(Halve, AddOne))) end,
   "6", "Halve,AddOne"},
  -- The output proc's runner and AddOne's have the same priority and run in
  -- the order of their addresses: AddOne may run first in the pass that
  -- collects, and then its Total is there too.
  {"RunProc: Half or Total, whichever comes first",
   function() return realm:RunProc(Number(10), T.pkg(Half, Total), Halve(), AddOne()) end,
   {"5", "5,6"}, {"Halve", "Halve,AddOne"}},
  {"RunProc: Half and Total both a must",
   function() return realm:RunProc(Number(10), T.pkg("m", Half, "m", Total), Halve(), AddOne()) end, "5,6",
   "Halve,AddOne"},
  {"RunProc: Other is not produced and need not exist",
   function() return realm:RunProc(Number(10), T.pkg(Other, Total), (T.chain(Halve, AddOne))) end, "6", "Halve,AddOne"},
  {"RunProc: \"M\" makes Other a must: never collected, the run fails",
   function() return realm:RunProc(Number(10), T.pkg("M", Other, Total), (T.chain(Halve, AddOne))) end, nil,
   "Halve,AddOne"},
  {"RunProc: two Totals wanted, one made: the run fails",
   function() return realm:RunProc(Number(10), T.pkg(2, Total), (T.chain(Halve, AddOne))) end, nil, "Halve,AddOne"},
  {"RunProc: two Totals wanted, two made",
   function() return realm:RunProc(T.pkg(Number(10), Number(20)), T.pkg("m", 2, Total), (T.chain(Halve, AddOne))) end,
   "6,11", "Halve,AddOne,Halve,AddOne"},
  {"RunProc: input that reaches the output proc directly is dropped, the run fails",
   function() return realm:RunProc(Number(3), Number, Halve()) end, nil, "Halve"},
  {"RunProc: a data object stands for its type",
   function() return realm:RunProc(Number(10), Total(0), (T.chain(Halve, AddOne))) end, "6", "Halve,AddOne"},
  {"RunProc: a failing proc fails the run", function() return realm:RunProc(Number(1), nil, Fails()) end, nil,
   "Fails"},
  {"RunProc: a failing proc fails the run also when the output proc collects",
   function() return realm:RunProc(Number(10), Total, (T.chain(Halve, AddOne)), Fails()) end, nil,
   "Halve,AddOne,Fails"},
}
for _, row in ipairs(rows) do
  local name, call, want, wantCalls = row[1], row[2], row[3], row[4]
  T.calls = {}
  T.errors()
  local result = call()
  T.check(result ~= nil, name .. ": a package comes back")
  if type(want) == "table" then -- alternatives, each with its procs
    local got = T.values(result)
    for i = 1, #want do
      if got == want[i] then want, wantCalls = want[i], wantCalls[i] break end
    end
  end
  if want == nil then
    T.eq(result:_Count(), 0, name .. ": an empty package")
  else
    T.eq(T.values(result), type(want) == "table" and want[1] or want, name .. ": result")
  end
  if type(wantCalls) == "table" then wantCalls = wantCalls[1] end
  table.sort(T.calls)
  local sortedWant = {}
  for c in wantCalls:gmatch("[^,]+") do sortedWant[#sortedWant + 1] = c end
  table.sort(sortedWant)
  T.eq(table.concat(T.calls, ","), table.concat(sortedWant, ","), name .. ": procs that ran")
end
T.errors()

-- The given objects never run: copies do ------------------------------------
do
  local p = Halve()
  local selves = {}
  T.onHalve = function(self) selves[#selves + 1] = self end
  realm:RunProc(Number(2), nil, p)
  T.onHalve = nil
  T.eq(#selves, 1, "copy: ran once")
  T.check(selves[1] ~= p, "copy: not the given proc")
  T.eq(p.Status, 0, "copy: the given proc is untouched")
end

-- Messages of bad arguments -------------------------------------------------
local bad = {
  {"input that is no data", function() return realm:RunProc(Halve(), nil) end,
   {"call [caller]'s RunProc failed, input data is invalid"}},
  {"an input of a package that is no data", function() return realm:RunProc(T.pkg(Number(1), Halve(), 3), nil) end,
   {"call [caller]'s RunProc failed, input data [1] is invalid",
    "call [caller]'s RunProc failed, input data [2] is invalid",
    "[] has env data can not allocated to any cell, them may be not processed"}},
  {"one process that is none", function() return realm:RunProc(nil, nil, Number(1)) end,
   {"call [caller]'s RunProc failed, input process is invalid"}},
  {"several, one of them no process", function() return realm:RunProc(nil, nil, Halve(), Number(1), 7) end,
   {"call [caller]'s RunProc failed, input process [6] is invalid",
    "call [caller]'s RunProc failed, input process [7] is invalid"}},
  {"several in one chain, one of them no process", function() return realm:RunProcEx(Number(4), nil, Halve(), 7) end,
   {"call [caller]'s RunProc failed, input process [6] is invalid"}},
}
for _, row in ipairs(bad) do
  local name, call, want = row[1], row[2], row[3]
  local result = T.expect_errors(call, want, name)
  -- Bad arguments are skipped: the run still takes place.
  T.check(result ~= nil and result:_Count() >= 1, name .. ": the run took place")
end
do
  local result = T.expect_errors(function() return realm:RunProcEx(Number(4), nil, Halve(), 7) end,
                                 {"call [caller]'s RunProc failed, input process [6] is invalid"}, "skipped")
  T.eq(T.values(result), "2", "a chain without the bad argument still runs")
end

-- A cell type and a cell of the caller --------------------------------------
do
  local cells = {}
  T.onHalve = function(self, r, c) cells[#cells + 1] = c end
  local result = realm:RunProc(Number(10), Total, CT)
  T.eq(T.values(result), "6", "cell type: a new instance ran")
  T.check(cells[1] ~= nil and cells[1] ~= CT, "cell type: not the type itself")

  local home = T.named(_New(QZRealmBase), "home")
  local cell = T.named(_New(QZCellBase), "mine")
  cell:AddProc((T.chain(Halve, AddOne)))
  home:AddCell(cell)
  cell.IsReady = false
  local locks = _RefCount(cell)
  cells = {}
  result = realm:RunProc(Number(10), Total, cell)
  T.eq(T.values(result), "6", "own cell: ran")
  T.check(cells[1] == cell, "own cell: that very cell ran")
  T.eq(_Parent(cell), home, "own cell: back in its realm")
  T.eq(home:GetCell():_Count(), 1, "own cell: in its realm's cell queue")
  T.eq(_RefCount(cell), locks, "own cell: its locks as before")
  T.eq(cell.IsReady, false, "own cell: as ready as before")
  T.eq(_Children(cell, "QZProcForOutputQueue"):_Count(), 0, "own cell: no output chain left")
  -- Again: the cell runs a second time as it did the first.
  result = realm:RunProc(Number(20), Total, cell)
  T.eq(T.values(result), "11", "own cell: runs again")

  -- A free-standing cell stays free-standing.
  local loose = T.named(_New(QZCellBase), "loose")
  loose:AddProc((T.chain(Halve)))
  local looseLocks = _RefCount(loose)
  result = realm:RunProc(Number(6), nil, loose)
  T.eq(T.values(result), "3", "loose cell: ran")
  T.eq(_Parent(loose), nil, "loose cell: in no realm afterwards")
  T.eq(_RefCount(loose), looseLocks, "loose cell: its locks as before")
  T.onHalve = nil
end

-- Results outlive the run ---------------------------------------------------
do
  local result = realm:RunProcEx(Number(10), nil, Halve(), AddOne())
  local d = result:_Get(0)
  for _ = 1, 3 do collectgarbage("collect") _CollectGarbage() end
  T.check(T.alive(d), "result: alive while the script holds it")
  T.eq(d and T.value(d), 6, "result: its value")
  T.eq(_Parent(d), nil, "result: in no realm")
end

-- The calling realm is left as it was ---------------------------------------
do
  local r = T.named(_New(QZRealmBase), "quiet")
  r:AddEnvData(Number(1))
  r.ErrorCount = 3
  r:GetLocalBuf():_Set(0, "kept")
  local seen
  T.onHalve = function(self, tmp) seen = tmp:GetLocalBuf():_Get(0) end
  local result = r:RunProc(Number(4), nil, Halve())
  T.onHalve = nil
  T.eq(T.values(result), "2", "caller's errors are not the run's")
  T.eq(seen, "kept", "the temporary realm has a copy of the caller's buffer")
  T.eq(r:GetEnvDataQueue():_Count(), 1, "caller's env data untouched")
  T.eq(r.ErrorCount, 3, "caller's error count untouched")
end

-- The realm's own "OnAfterExecute" still decides when the run ends --------
do
  local r = T.named(_New(QZRealmBase), "asks")
  local asked = 0
  function r:OnAfterExecute()
    asked = asked + 1
    return asked < 3
  end
  local result = r:RunProcEx(Number(10), nil, Halve(), AddOne())
  T.eq(asked, 3, "OnAfterExecute: asked until it said no")
  T.eq(T.values(result), "6", "OnAfterExecute: then collected")
end

-- The run's log entries are appended to the calling realm's log ------------
do
  local r = T.named(_New(QZRealmBase), "logged")
  r:SetLog("before")
  T.onHalve = function(self, tmp) tmp:SetLog("inside", 1) end
  local result = r:RunProc(Number(4), nil, Halve())
  T.onHalve = nil
  T.eq(T.values(result), "2", "log: the run")
  local log = r:GetLog()
  T.eq(log:_Count(), 2, "log: one entry more")
  T.eq(log:_Get(1) and log:_Get(1):_Get(0), "inside", "log: the run's entry last")
  T.eq(log:_Get(0) and log:_Get(0):_Get(0), "before", "log: the caller's own entry first")
end

-- A cell of a realm's library goes back to the library --------------------
do
  local home = T.named(_New(QZRealmBase), "library")
  local cell = T.named(_New(QZCellBase), "kept")
  cell:AddProc((T.chain(Halve)))
  home:AddCellLibrary(cell)
  local result = realm:RunProc(Number(8), nil, cell)
  T.eq(T.values(result), "4", "library cell: ran")
  T.eq(home:GetCellLibrary():_Count(), 1, "library cell: back in the library")
  T.eq(home:GetCell():_Count(), 0, "library cell: not in the cell queue")
end

-- A run from inside a proc of a running realm ------------------------------
do
  local outer = T.realmWith("outer", (T.chain(Asks)))
  outer:AddEnvData(Number(30))
  outer:Execute()
  T.eq(inner, "16", "nested: the run inside a proc")
  T.eq(outer.ErrorCount, 0, "nested: the outer realm ran clean")
  _Free(outer)
end

-- A proc of the run frees the calling realm, and with it the temporary
-- realm, its instance: the run ends, failed.
do
  local doomed = T.named(_New(QZRealmBase), "doomed")
  T.onHalve = function() _Free(doomed) end
  local result = doomed:RunProc(Number(4), nil, Halve())
  T.onHalve = nil
  T.eq(result:_Count(), 0, "calling realm freed: an empty package")
end

realm = nil
T.balanced(before, "sync runs")
T.finish("services_run")
