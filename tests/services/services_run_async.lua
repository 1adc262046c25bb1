-- Procs run on demand by a worker thread: a proc of a running realm asks for
-- a run, waits suspended, and reads the result when the worker has let it
-- go on. Also: the refusals (no requesting proc, a second run while one is
-- going), a requesting proc freed while its worker runs, a calling realm
-- freed meanwhile, results read long after the run, and the objects and
-- locks the runs leave as they found them.
local T = dofile(arg[1] .. "/services_testlib.lua")

local Number, Half, Total = T.Number, T.Half, T.Total
local Halve, AddOne = T.Halve, T.AddOne

-- A proc that asks for a run of Halve then AddOne on its input and waits
-- for it; the scenario's hooks decide what else it does.
local W = {}
local Waiter = T.procType("svc.Waiter", {Number}, {Total}, function(self, realm, cell, runner)
  if self.Status < 0 then return end
  local n = self:GetInput(0)
  if not W.asked then
    W.asked = true
    W.proc = self
    W.started = realm:AsyncRunProcEx(self, Number(T.value(n)), Total, Halve(), AddOne())
    if W.afterStart then W.afterStart(self, realm) end
    return 1
  end
  W.runs = (W.runs or 0) + 1
  local r = self:GetRunProcResult()
  W.result = r and T.values(r)
  W.held = r and r:_Get(0)
  W.out = W.held and T.value(W.held) * 100 or -1
  self:AddOutputData(Total(W.out))
  self:AcceptInput(n)
  return 0
end)

local function runRealm(name, value)
  W = {}
  local realm, cell = T.realmWith(name, (T.chain(Waiter)))
  realm:AddEnvData(Number(value))
  realm:Execute()
  return realm, cell
end

-- A proc that keeps its run going, a little at a time.
local Slow = T.procType("svc.Slow", {Number}, {Half}, function(self)
  if self.Status < 0 then return end
  _Yield(5)
  return 3
end)

local before = T.counts()

-- The main road ---------------------------------------------------------------
do
  local realm = runRealm("async.road", 10)
  T.eq(W.started, true, "road: the worker started")
  T.eq(W.runs, 1, "road: the proc ran again once the worker let it go")
  T.eq(W.result, "6", "road: the run's result")
  T.eq(W.out, 600, "road: the proc used the result")
  -- The requester was a runner's copy, gone with its runner; what the
  -- script holds of its result lives on.
  T.eq(T.alive(W.proc), false, "road: the requester went with its runner")
  for _ = 1, 3 do collectgarbage("collect") _CollectGarbage() end
  T.check(T.alive(W.held), "road: the result outlives the requester while held")
  _Free(realm)
end

-- Refusals ------------------------------------------------------------------
do
  local realm = T.named(_New(QZRealmBase), "caller")
  local got = T.expect_errors(function() return realm:AsyncRunProc(nil, Number(1), nil, Halve()) end,
                              {"call [caller]'s AsyncRunProc failed, request proc is invalid"}, "no requester")
  T.eq(got, false, "no requester: false, no run")
  got = T.expect_errors(function() return realm:AsyncRunProcEx(Number(2), Number(1), nil, Halve()) end,
                        {"call [caller]'s AsyncRunProcEx failed, request proc is invalid"}, "a datum as requester")
  T.eq(got, false, "a datum as requester: false")
end

-- A second run for a proc whose run is going is refused; the first run is
-- not disturbed.
do
  local second
  W = {}
  W.afterStart = function(self, realm)
    second = T.expect_errors(function() return realm:AsyncRunProc(self, Number(4), Total, Halve(), AddOne()) end,
                             {"call [async.busy]'s AsyncRunProc failed, request proc [] is waiting for an earlier run"},
                             "busy")
  end
  local realm, cell = T.realmWith("async.busy", (T.chain(Waiter)))
  local hook = W.afterStart
  W = {afterStart = hook}
  realm:AddEnvData(Number(20))
  realm:Execute()
  T.eq(second, false, "busy: the second run refused")
  T.eq(W.result, "11", "busy: the first run's result")
  _Free(realm)
end

-- The requesting proc freed while its worker runs: the worker is stopped and
-- joined, nothing is left behind.
do
  local realm = T.named(_New(QZRealmBase), "async.freed")
  local requester = Halve()
  T.eq(realm:AsyncRunProc(requester, Number(1), Total, Slow()), true, "freed: started")
  _Yield(20)
  _Free(requester)
  T.eq(T.alive(requester), false, "freed: the requester is gone")
  -- The calling realm freed while its worker runs.
  local gone = T.named(_New(QZRealmBase), "async.gone")
  local r2 = Halve()
  T.eq(gone:AsyncRunProc(r2, Number(1), Total, Slow()), true, "realm freed: started")
  _Free(gone)
  _Yield(20)
  _Free(r2)
  _Free(realm)
end

-- A worker that ends by itself is joined by the next run.
do
  local realm = T.named(_New(QZRealmBase), "async.alone")
  local requester = Halve()
  T.onHalve = function(self, tmp) tmp:SetLog("from the worker") end
  T.eq(realm:AsyncRunProcEx(requester, Number(8), Total, Halve(), AddOne()), true, "alone: started")
  for _ = 1, 200 do
    if requester:GetRunProcResult() ~= nil then break end
    _Yield(5)
  end
  -- Collection points between the run's end and the reading: the result's
  -- data are kept for the requester.
  for _ = 1, 3 do collectgarbage("collect") _CollectGarbage() end
  T.eq(T.values(requester:GetRunProcResult()), "5", "alone: the result arrived and lived on")
  T.eq(requester.IsSuspend, false, "alone: the requester may go on")
  T.onHalve = nil
  T.eq(realm:GetLog():_Count(), 1, "alone: the run's log entry reached the calling realm")
  T.eq(T.values(realm:RunProc(Number(2), nil, Halve())), "1", "alone: a run after it")
  _Free(realm)
end

-- What the scenario itself still holds of the runs goes first.
W = {}
T.balanced(before, "async runs")
T.finish("services_run_async")
