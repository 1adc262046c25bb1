-- ExecuteUntil runs a realm in turns on its thread until another thread
-- finishes it; other script threads suspend it (for new data), feed it,
-- resume it and finish it, and may step it proc by proc. Every wait has a
-- time limit; the scenarios run several times.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")
math.randomseed(tonumber(arg[2] or "") or 2103)
local ROUNDS = 4

local Number = QZDataBase:CreateType("eu.Number")
local Out = QZDataBase:CreateType("eu.Out")
local runs = 0
local Inc = T.procType("eu.Inc", {Number}, {Out}, function(self)
  runs = runs + 1
  local n = self:GetInput(0)
  self:AddOutputData(Out(T.value(n) + 1))
  self:AcceptInput(n)
  return 0
end)

local function waitFor(cond, ms)
  for _ = 1, ms do
    if cond() then return true end
    _Yield(1)
  end
  return cond()
end

-- Runs ExecuteUntil(debug) on this thread while control() runs on another;
-- control must finish it.
local function until_(realm, debug, control)
  local th = _Thread(function()
    T.check(waitFor(function() return realm.ExecuteStage ~= 0 end, 3000), "ExecuteUntil started")
    control()
  end)
  realm:ExecuteUntil(debug)
  local ok, err = _Join(th)
  T.check(ok, "the controlling thread ended cleanly (" .. tostring(err) .. ")")
end

local before = T.counts()

-- Suspend for new data, feed, resume: a new turn runs the data --------------
for round = 1, ROUNDS do
  runs = 0
  local realm = T.realmWith("eu.feed", (T.chain(Inc)))
  local P = T.prefix(realm)
  local events = {}
  for _, e in ipairs({"OnStartIdle", "OnStopIdle"}) do
    realm[e] = function() events[#events + 1] = e end
  end
  realm:AddEnvData(Number(1))
  until_(realm, false, function()
    T.check(waitFor(function() return runs == 1 and realm.ExecuteStage == 3 end, 3000), "the first turn ran and idles")
    realm:SuspendExecuteUntil(true)
    T.eq(#T.items(realm:GetEnvDataQueue()), 0, "suspended for data: the environment is empty")
    T.expect_errors(function() realm:SuspendExecuteUntil(true) end,
                    {P .. "'s SuspendExecuteUntil has been called before, can not call \"SuspendExecuteUntil\" again"},
                    "a second suspension")
    T.expect_errors(function() realm:FinishExecuteUntil() end,
                    {P .. "'s SuspendExecuteUntil has been called before, pleasr call \"ResumeExecuteUntil\""},
                    "finish while suspended")
    T.expect_errors(function() realm:ExecuteUntil(false) end,
                    {P .. "'s ExecuteUntil has been called before, can not call \"ExecuteUntil\" again"},
                    "a second ExecuteUntil")
    realm:AddEnvData(Number(10))
    realm:ResumeExecuteUntil()
    T.check(waitFor(function() return runs == 2 end, 3000), "the new data ran in a new turn")
    T.expect_errors(function() realm:ResumeExecuteUntil() end,
                    {P .. "'s SuspendExecuteUntil has not been called before, can not call \"ResumeExecuteUntil\""},
                    "a resumption without a suspension")
    -- A suspension without new data: back to idling after the resumption.
    realm:SuspendExecuteUntil(false)
    realm:ResumeExecuteUntil()
    realm:FinishExecuteUntil()
    T.expect_errors(function() realm:FinishExecuteUntil() end, {}, "a finish after the end is ignored")
  end)
  T.eq(runs, 2, "round " .. round .. ": two turns with data")
  T.eq(realm.ExecuteStage, 0, "round " .. round .. ": a finished ExecuteUntil leaves the realm not started")
  T.check(events[1] == "OnStartIdle" and events[#events] == "OnStopIdle", "round " .. round ..
          ": idling began and ended (" .. table.concat(events, ",") .. ")")
  T.expect_errors(function() realm:SuspendExecuteUntil(true) realm:ResumeExecuteUntil() realm:FinishExecuteUntil() end,
                  {}, "controls without ExecuteUntil are ignored")
  _Free(realm)
end

-- A resumption from a third thread ------------------------------------------
for round = 1, ROUNDS do
  runs = 0
  local realm = T.realmWith("eu.third", (T.chain(Inc)))
  until_(realm, false, function()
    T.check(waitFor(function() return realm.ExecuteStage == 3 end, 3000), "idling")
    realm:SuspendExecuteUntil(true)
    realm:AddEnvData(Number(round))
    local th = _Thread(function() realm:ResumeExecuteUntil() end)
    local ok, err = _Join(th)
    T.check(ok, "the third thread resumed (" .. tostring(err) .. ")")
    T.check(waitFor(function() return runs == 1 end, 3000), "the data ran after the third thread's resumption")
    realm:FinishExecuteUntil()
  end)
  T.eq(runs, 1, "round " .. round .. ": one run")
  _Free(realm)
end

-- Controls from ExecuteUntil's own thread are ignored ------------------------
do
  local realm = T.realmWith("eu.own", (T.chain(Inc)))
  local own = 0
  function realm:OnIdle()
    if own < 3 then
      own = own + 1
      self:SuspendExecuteUntil(true)
      self:ResumeExecuteUntil()
      self:FinishExecuteUntil()
    end
  end
  local msgs
  until_(realm, false, function()
    T.check(waitFor(function() return own == 3 end, 3000), "the idle event ran on ExecuteUntil's thread")
    msgs = T.errors()
    realm:FinishExecuteUntil()
  end)
  T.eq(#msgs, 0, "its own controls change nothing and report nothing")
  _Free(realm)
end

-- ExecuteUntil(true): stops before the first proc, ends with stepping off ---
for round = 1, ROUNDS do
  runs = 0
  local realm = T.realmWith("eu.debug", (T.chain(Inc)))
  realm:AddEnvData(Number(1))
  local atStop
  until_(realm, true, function()
    T.check(waitFor(function() return realm.ExecuteStage == 1 end, 3000), "the cycle opened")
    _Yield(5)
    atStop = runs
    for _ = 1, 10 do
      if runs == 1 then break end
      T.check(realm:BreakOnProcContinue(), "continue while ExecuteUntil steps")
    end
    T.eq(runs, 1, "the proc ran after the continues")
    realm:CancelBreakOnProc()
    realm:FinishExecuteUntil()
  end)
  T.eq(atStop, 0, "round " .. round .. ": ExecuteUntil(true) stops before the first proc")
  T.eq(realm:BreakOnProcContinue(), false, "round " .. round .. ": stepping is off after the end")
  realm:Execute()
  _Free(realm)
end

-- Stepping turned on from another thread while ExecuteUntil runs ------------
do
  runs = 0
  local realm = T.realmWith("eu.step", (T.chain(Inc)))
  until_(realm, false, function()
    T.check(waitFor(function() return realm.ExecuteStage == 3 end, 3000), "idling")
    realm:BreakOnProc()
    realm:SuspendExecuteUntil(true)
    realm:AddEnvData(Number(4))
    realm:ResumeExecuteUntil()
    T.check(waitFor(function() return realm.ExecuteStage == 1 end, 3000), "the new turn opened")
    _Yield(5)
    T.eq(runs, 0, "ExecuteUntil's thread stops before the proc")
    realm:BreakOnProcContinue()
    T.check(waitFor(function() return runs == 1 end, 3000), "the continue lets the proc run")
    realm:CancelBreakOnProc()
    realm:FinishExecuteUntil()
  end)
  T.eq(realm:BreakOnProcContinue(), false, "stepping is off after the end")
  realm:Execute()
  _Free(realm)
end

-- Data added to an idle run never run: said at the resumption without data,
-- and when a suspension for data or the finish releases them ---------------
for round = 1, ROUNDS do
  runs = 0
  local realm = T.realmWith("eu.idleadd", (T.chain(Inc)))
  local P = T.prefix(realm)
  local released = function(n)
    return P .. "'s ExecuteUntil releases " .. n .. " environment data that were added while it idled and never " ..
           "ran; add data between \"SuspendExecuteUntil(true)\" and \"ResumeExecuteUntil\""
  end
  until_(realm, false, function()
    T.check(waitFor(function() return realm.ExecuteStage == 3 end, 3000), "idling")
    realm:SuspendExecuteUntil(false)
    realm:AddEnvData(Number(1), Number(2))
    T.expect_errors(function() realm:ResumeExecuteUntil() end,
                    {P .. "'s ExecuteUntil was suspended without ForAddEnvData, the 2 environment data added " ..
                     "meanwhile do not run (suspend with \"SuspendExecuteUntil(true)\" to add data)"},
                    "data added in a suspension without data")
    _Yield(30)
    T.eq(runs, 0, "they did not run")
    T.expect_errors(function() realm:SuspendExecuteUntil(true) end, {released(2)}, "a suspension for data")
    realm:AddEnvData(Number(3))
    T.expect_errors(function() realm:ResumeExecuteUntil() end, {}, "data added in a suspension for data")
    T.check(waitFor(function() return runs == 1 and realm.ExecuteStage == 3 end, 3000), "they ran")
    realm:AddEnvData(Number(4))
    T.expect_errors(function() realm:FinishExecuteUntil() end, {released(1)}, "data added to an idle run, then a finish")
  end)
  T.eq(runs, 1, "round " .. round .. ": only the data of the suspension for data ran")
  _Free(realm)
end

-- The realm freed while ExecuteUntil idles or is suspended -------------------
for round = 1, ROUNDS do
  local realm = T.realmWith("eu.freed", (T.chain(Inc)))
  until_(realm, false, function()
    T.check(waitFor(function() return realm.ExecuteStage == 3 end, 3000), "idling")
    if round % 2 == 0 then realm:SuspendExecuteUntil(false) end
    _Free(realm)
  end)
end

for _ = 1, 10 do _Yield(2) end
T.balanced(before, "ExecuteUntil")
T.eq(T.stat("LockViolations"), 0, "every lock taken and given back in order, none kept by an ended thread")
T.finish("threads_until")
