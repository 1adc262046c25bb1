-- The Execute family: the stages ExecuteOnce and ResetExecuteOnce move
-- through with their idle events, ExecuteForResult's three answers, the
-- default events, PrintInfo / PrintException, and scripts that free the
-- realm, its cell or its runner, or reset the realm, while a run is on.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local Number = QZDataBase:CreateType("ex.Number")
local Twice = QZDataBase:CreateType("ex.Twice")
local Double = T.procType("ex.Double", {Number}, {Twice}, function(self)
  local n = self:GetInput(0)
  self:AddOutputData(Twice(T.value(n) * 2))
  self:AcceptInput(n)
  return 0
end)

local Bad = T.procType("ex.Bad", {Number}, {Twice}, function(self) return -1 end)
local Freeing = T.procType("ex.Freeing", {Number}, {Twice}, function(self, realm, cell, runner)
  _Free(runner)
  return 0
end)
local KillCell = T.procType("ex.KillCell", {Number}, {Twice}, function(self, realm, cell, runner)
  _Free(cell)
  return 0
end)
local Resets = T.procType("ex.Resets", {Number}, {Twice}, function(self, realm, cell, runner)
  realm:ResetExecuteOnce(true)
  return 0
end)
local FreesRealm = T.procType("ex.FreesRealm", {Number}, {Twice}, function(self, realm)
  _Free(realm)
  return 0
end)

local before = T.counts()

-- A realm whose idle events are counted.
local function countedRealm(name)
  local chain = T.chain(Double)
  local realm, cell = T.realmWith(name, chain)
  local events = {}
  for _, e in ipairs({"OnStartIdle", "OnIdle", "OnStopIdle"}) do
    realm[e] = function() events[#events + 1] = e end
  end
  return realm, cell, chain, events
end

-- Stages of ExecuteOnce and ResetExecuteOnce --------------------------------
do
  local realm, cell, chain, events = countedRealm("stages")
  -- A realm without data: the first step opens the cycle and ends it.
  T.eq(realm:ExecuteOnce(), false, "ExecuteOnce on an empty realm ends the cycle at once")
  T.eq(realm.ExecuteStage, 3, "and leaves the realm idle")
  T.eq(table.concat(events, ","), "OnStartIdle", "the cycle's end starts the idle state")
  events = {}
  -- (the table was replaced: count through a new one)
  local seen = {}
  for _, e in ipairs({"OnStartIdle", "OnIdle", "OnStopIdle"}) do
    realm[e] = function() seen[#seen + 1] = e end
  end
  T.eq(realm:ExecuteOnce(), false, "an idle realm stays idle")
  T.eq(table.concat(seen, ","), "OnIdle", "and hears OnIdle")
  seen = {}
  realm:Execute()
  T.eq(table.concat(seen, ","), "OnStopIdle", "Execute leaves the idle state once")
  T.eq(realm.ExecuteStage, 2, "and ends finished")
  seen = {}
  T.eq(realm:ExecuteOnce(), false, "ExecuteOnce after a finished cycle makes no step")
  T.eq(table.concat(seen, ","), "OnStartIdle", "and turns the realm idle")
  T.eq(realm.ExecuteStage, 3, "idle")
  seen = {}
  T.eq(realm:ResetExecuteOnce(true), true, "ResetExecuteOnce of an idle realm")
  T.eq(table.concat(seen, ","), "OnStopIdle", "leaves the idle state")
  T.eq(realm.ExecuteStage, 0, "back to not started")
  T.eq(realm:ResetExecuteOnce(false), true, "ResetExecuteOnce of a realm not started")
  T.eq(realm.ExecuteStage, 0, "changes nothing")
  -- A cycle with work takes more than one step: a cell that asks to run
  -- again twice.
  local calls = 0
  function cell:Execute() calls = calls + 1 if calls < 3 then return 4 end return 0 end
  cell.IsReady = true
  seen = {}
  T.eq(realm:ExecuteOnce(), true, "a step with work leaves the realm busy")
  T.eq(realm.ExecuteStage, 1, "executing")
  T.eq(table.concat(seen, ","), "OnIdle", "a busy step hears OnIdle")
  T.eq(realm:ResetExecuteOnce(false), true, "ResetExecuteOnce in the middle of a cycle")
  T.eq(realm.ExecuteStage, 0, "back to not started")
  T.eq(cell.IsReady, false, "the running cell was ended")
  calls = 0
  cell.IsReady = true
  local steps = 0
  while realm:ExecuteOnce() do steps = steps + 1 end
  T.eq(calls, 3, "a driven cycle steps the cell until it is done")
  T.eq(realm.ExecuteStage, 3, "and ends idle")
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

-- ExecuteForResult -----------------------------------------------------------
do
  local chain = T.chain(Double)
  local realm, cell = T.realmWith("forresult", chain)
  realm:AddEnvData(Number(4))
  local r = realm:ExecuteForResult()
  T.eq(r:_Count(), 1, "one product")
  T.eq(r:_Get(0) and T.value(r:_Get(0)), 8, "the doubled number")
  T.eq(#T.items(realm:GetEnvDataQueue()), 0, "the environment is left empty")
  T.eq(realm.CreateFrameData, true, "CreateFrameData is restored")
  local empty = realm:ExecuteForResult()
  T.eq(empty:_Count(), 1, "a cycle that adds nothing answers one empty item")
  T.eq(empty:_Get(0), nil, "the item is empty")
  -- A failing proc makes the cycle count an error: no items at all.
  local badChain = T.chain(Bad)
  local badRealm, badCell = T.realmWith("forresult.bad", badChain)
  badRealm:AddEnvData(Number(1))
  local failed
  T.during(function() failed = badRealm:ExecuteForResult() end)
  T.eq(failed:_Count(), 0, "a cycle with errors answers an empty package")
  T.check(badRealm.ErrorCount > 0, "the errors are counted")
  for _, o in ipairs({realm, cell, chain, badRealm, badCell, badChain}) do _Free(o) end
end

-- Default events and printing --------------------------------------------------
do
  local realm = _New(QZRealmBase)
  _SetName(realm, "defaults")
  local answers = {
    {"OnLongLoop", false}, {"OnLongSuspend", true}, {"OnInputInvalid", false},
    {"OnCellToBeFinish", false}, {"OnAfterExecute", false}, {"OnMoreUnAllocatedData", 0},
    {"OnQueryProc", false},
  }
  for _, a in ipairs(answers) do
    T.eq(realm[a[1]](realm), a[2], "default " .. a[1])
  end
  for _, e in ipairs({"OnRunnerBeforeExecuted", "OnRunnerProcBeforeExecuted", "OnRunnerProcExecuted",
                      "OnRunnerExecuted", "OnCellFinish", "OnOutputDataToEnv", "OnStartIdle", "OnIdle",
                      "OnStopIdle", "OnFrameData"}) do
    T.eq(realm[e](realm), nil, "default " .. e .. " answers nothing")
  end
  local msgs = T.during(function() realm:PrintInfo("100% done %s %d") end)
  T.eq(msgs[1], "100% done %s %d", "PrintInfo reports the text as it is")
  msgs = T.during(function() realm:PrintException("bad %n") end)
  T.eq(msgs[1], "bad %n", "PrintException reports the text as it is")
  msgs = T.during(function() realm:PrintInfo("") end)
  T.eq(#msgs, 0, "an empty text reports nothing")
  -- OnLongSourceData shortens a same-typed source chain by its last link.
  local root, a, b = Number(1), Number(2), Number(3)
  root:AddSource(a)
  a:AddSource(b)
  T.eq(realm:OnLongSourceData(nil, root), true, "Root -> A -> B loses a link")
  T.eq(#T.items(a:GetSource()), 0, "A keeps no source of its own")
  T.eq(realm:OnLongSourceData(nil, root), false, "Root -> A keeps its only link")
  -- OnBeforeExecute gives a datum to every cell that takes it, once.
  local c1, c2 = _New(QZCellBase), _New(QZCellBase)
  local ch1, ch2 = T.chain(Double), T.chain(Double)
  c1:AddProc(ch1)
  c2:AddProc(ch2)
  realm:AddCell(c1)
  realm:AddCell(c2)
  local d = Number(9)
  realm:AddEnvData(d)
  realm:AddEnvData(Twice(1))
  msgs = T.during(function() realm:OnBeforeExecute() end)
  T.eq(#T.items(c1:GetEnvDataQueue()), 1, "the first cell got its own copy")
  T.eq(#T.items(c2:GetEnvDataQueue()), 1, "the second cell got one too")
  T.eq(#T.items(realm:GetEnvDataQueue()), 1, "the taken datum left the realm; the other stays")
  T.eq(msgs[1], "[defaults] has env data can not allocated to any cell, them may be not processed",
       "data no cell takes are reported")
  realm:ClearEnvData()
  for _, o in ipairs({realm, c1, c2, ch1, ch2}) do _Free(o) end
end

T.balanced(before, "execute family")

-- Scripts that free or reset what is running ---------------------------------
do
  local chain = T.chain(Freeing)
  local realm, cell = T.realmWith("frees", chain)
  realm:AddEnvData(Number(1))
  T.during(function() realm:Execute() end)
  T.eq(realm.ExecuteStage, 2, "a proc that frees its runner: the cycle still ends")

  local chain2 = T.chain(KillCell)
  local realm2, cell2 = T.realmWith("freescell", chain2)
  realm2:AddEnvData(Number(1))
  T.during(function() realm2:Execute() end)
  T.eq(realm2.ExecuteStage, 2, "a proc that frees its cell: the cycle still ends")

  local chain3 = T.chain(Resets)
  local realm3, cell3 = T.realmWith("resets", chain3)
  realm3:AddEnvData(Number(1))
  T.during(function() realm3:Execute() end)
  T.eq(realm3.ExecuteStage, 2, "a proc that resets the realm: the run still ends")

  local chain4 = T.chain(FreesRealm)
  local realm4, cell4 = T.realmWith("freesrealm", chain4)
  realm4:AddEnvData(Number(1))
  T.during(function() realm4:Execute() end)
  T.check(true, "a proc that frees its realm: Execute returns")
  for _, o in ipairs({realm, cell, chain, realm2, chain2, realm3, cell3, chain3, cell4, chain4}) do
    _Free(o)
  end
end

T.eq(T.counts().unlocks, before.unlocks, "frees inside a run: no lock released below zero")
T.finish("sched_execute")
