-- One case of threads_until_stop (arg[2]): ExecuteUntil(true) waits at a stop
-- before a proc while other threads call its controls. Each call must come
-- back without a continue: answered, or refused with its message.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")
local case = arg[2]

local Number = QZDataBase:CreateType("eus.Number")
local Mid = QZDataBase:CreateType("eus.Mid")
local Out = QZDataBase:CreateType("eus.Out")
local runs, suspendAsked = 0, false

local function waitFor(cond, ms)
  for _ = 1, ms do
    if cond() then return true end
    _Yield(1)
  end
  return cond()
end

-- The first proc waits, with the locks given up, until another thread has
-- asked for a suspension; the run then goes on to the stop before the second.
local First = T.procType("eus.First", {Number}, {Mid}, function(self)
  runs = runs + 1
  if case == "suspend_before_stop" then waitFor(function() return suspendAsked end, 5000) end
  local n = self:GetInput(0)
  self:AddOutputData(Mid(T.value(n)))
  self:AcceptInput(n)
  return 0
end)
local Second = T.procType("eus.Second", {Mid}, {Out}, function(self)
  runs = runs + 1
  local n = self:GetInput(0)
  self:AddOutputData(Out(T.value(n)))
  self:AcceptInput(n)
  return 0
end)

local realm = T.realmWith("eus", (T.chain(First, Second)))
local P = T.prefix(realm)
local stopped = P .. "'s ExecuteUntil is stopped before a proc, can not call \"SuspendExecuteUntil\""
realm:AddEnvData(Number(1))

local controls = {
  -- At the stop before the first proc: a suspension is refused, a resumption
  -- of nothing too, and the run is stepped on and finished.
  ["suspend"] = function()
    T.expect_errors(function() realm:SuspendExecuteUntil(true) end, {stopped}, "a suspension at a stop")
    T.expect_errors(function() realm:SuspendExecuteUntil(false) end, {stopped}, "a suspension at a stop, no data")
    T.expect_errors(function() realm:ResumeExecuteUntil() end,
                    {P .. "'s SuspendExecuteUntil has not been called before, can not call \"ResumeExecuteUntil\""},
                    "a resumption at a stop")
    T.eq(runs, 0, "the run still waits at its stop")
    T.check(realm:BreakOnProcContinue(), "stepped on")
    realm:CancelBreakOnProc()
    realm:FinishExecuteUntil()
  end,
  -- A suspension asked while the first proc runs: the run reaches the stop
  -- before the second proc, lets the suspension go, and its caller is told.
  ["suspend_before_stop"] = function()
    local th = _Thread(function()
      suspendAsked = true
      T.expect_errors(function() realm:SuspendExecuteUntil(true) end, {stopped}, "a suspension overtaken by a stop")
    end)
    T.check(realm:BreakOnProcContinue(), "stepped on to the next stop")
    local ok, err = _Join(th)
    T.check(ok, "the suspending thread ended cleanly (" .. tostring(err) .. ")")
    T.eq(runs, 1, "the run waits before the second proc")
    T.expect_errors(function() realm:FinishExecuteUntil() end, {}, "a finish after the suspension was let go")
  end,
  -- A finish at the stop: the run leaves it and ends its cycle without stops.
  ["finish"] = function()
    T.expect_errors(function() realm:FinishExecuteUntil() end, {}, "a finish at a stop")
  end,
  -- A resumption from a third thread at the stop, while nothing is suspended.
  ["resume"] = function()
    local th = _Thread(function()
      T.expect_errors(function() realm:ResumeExecuteUntil() end,
                      {P .. "'s SuspendExecuteUntil has not been called before, can not call \"ResumeExecuteUntil\""},
                      "a resumption from a third thread")
    end)
    local ok, err = _Join(th)
    T.check(ok, "the third thread ended cleanly (" .. tostring(err) .. ")")
    realm:FinishExecuteUntil()
  end,
}
local control = assert(controls[case], "unknown case " .. tostring(case))

local th = _Thread(function()
  T.check(waitFor(function() return realm.ExecuteStage == 1 end, 5000), "the cycle opened")
  _Yield(5)
  T.eq(runs, 0, "ExecuteUntil(true) waits before the first proc")
  control()
end)
realm:ExecuteUntil(true)
local ok, err = _Join(th)
T.check(ok, "the controlling thread ended cleanly (" .. tostring(err) .. ")")
T.eq(runs, 2, "both procs ran")
T.eq(realm:BreakOnProcContinue(), false, "stepping is off after the end")
_Free(realm)
T.finish("threads_until_stop " .. case)
