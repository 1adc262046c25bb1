-- The main road: a realm with one cell running a chain of two script procs.
-- One number goes in; the first proc halves it, the second adds one; the
-- total comes out into the realm, with its stamps, owners, live count and
-- sources, in the frame data and the predict history, while the number
-- stands in the fact history. Afterwards every object and lock is gone.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local Number = QZDataBase:CreateType("road.Number")
local Half = QZDataBase:CreateType("road.Half")
local Total = QZDataBase:CreateType("road.Total")

local calls = {}
local Halve = T.procType("road.Halve", {Number}, {Half}, function(self, realm, cell, runner)
  local n = self:GetInput(0)
  calls[#calls + 1] = "Halve"
  self:AddOutputData(Half(T.value(n) / 2))
  self:AcceptInput(n)
  return 0
end)
local AddOne = T.procType("road.AddOne", {Half}, {Total}, function(self, realm, cell, runner)
  local h = self:GetInput(0)
  calls[#calls + 1] = "AddOne"
  self:AddOutputData(Total(T.value(h) + 1))
  self:AcceptInput(h)
  return 0
end)

local before = T.counts()
do
  local chain = T.chain(Halve, AddOne)
  local realm, cell = T.realmWith("road", chain)
  local seen = {}
  -- What reaches the cell's environment, as the proc step hands it over.
  function realm:OnOutputDataToEnv(c, proc, list)
    for _, d in ipairs(T.items(list)) do
      seen[#seen + 1] = {value = T.value(d), ownerInCell = d.OwnerProcIDInCell, runnerProc = d.OwnerRunnerProcID,
                         owner = d.OwnerProcID, live = d.LiveCount, tick = d.ScheduleTickCount,
                         seq = d.SequenceIndex, procType = proc:GetTypeName(), cellOk = c == cell,
                         source = #T.items(d:GetSource())}
    end
  end
  local frames = {}
  function realm:OnFrameData(frame)
    local list = frame:GetDataBuf()
    for _, d in ipairs(T.items(list)) do frames[#frames + 1] = T.value(d) end
  end

  local input = Number(5)
  realm:AddEnvData(input)
  T.eq(#T.items(realm:GetEnvDataQueue()), 1, "one env datum before the run")
  local tick0 = realm.ScheduleTickCount
  local msgs = T.during(function() realm:Execute() end)
  for _, m in ipairs(msgs) do io.stderr:write("message: " .. m .. "\n") end

  T.eq(table.concat(calls, ","), "Halve,AddOne", "both procs ran once, in chain order")
  T.eq(realm.ExecuteStage, 2, "the cycle ended")
  T.eq(realm.ErrorCount, 0, "no errors")
  T.check(realm.ScheduleTickCount > tick0, "the tick advanced")
  T.eq(#seen, 1, "one datum reached the cell's environment")
  local out = seen[1] or {}
  T.eq(out.value, 3.5, "the total is 5 / 2 + 1")
  T.eq(out.procType, "road.AddOne", "it came from the last proc")
  T.check(out.cellOk, "the hook was told the cell")
  T.eq(out.owner, _ID(AddOne), "OwnerProcID names the producing proc type")
  T.check(out.ownerInCell ~= "00000000-0000-0000-0000-000000000000", "OwnerProcIDInCell names the cell's proc")
  T.check(out.runnerProc ~= "00000000-0000-0000-0000-000000000000", "OwnerRunnerProcID names the runner's copy")
  T.eq(out.live, 62, "live count: two procs below the realm's 64")
  T.eq(out.source, 1, "the total's source is the number it was made from")
  T.check(out.tick > tick0, "stamped with a tick of the run")
  T.eq(table.concat(frames, ","), "5,3.5", "OnFrameData saw what came in and what was made")
  local predict = T.items(realm:GetPredictHistory())
  T.eq(#predict, 1, "predict history: the product")
  T.eq(predict[1] and T.value(predict[1]), 3.5, "predict history holds the total")
  local fact = T.items(realm:GetFactHistory())
  T.eq(#fact, 1, "fact history: what came in")
  T.eq(fact[1] and T.value(fact[1]), 5, "fact history holds the number")
  T.eq(#T.items(realm:GetEnvDataQueue()), 0, "the environment is released after the frame")
  T.eq(cell.IsReady, false, "the cell's run ended")

  -- A second run with two numbers: both are handled, the oldest first.
  calls = {}
  seen = {}
  local a, b = Number(10), Number(20)
  realm:AddEnvData(a)
  realm:AddEnvData(b)
  realm:Execute()
  T.eq(table.concat(calls, ","), "Halve,AddOne,Halve,AddOne", "two items, each through the chain")
  T.eq(#seen, 2, "two totals")
  T.eq(seen[1] and seen[1].value, 6, "the older number first")
  T.eq(seen[2] and seen[2].value, 11, "then the newer one")
  T.eq(realm.ErrorCount, 0, "still no errors")

  -- Without frame data the products stay in the realm.
  calls = {}
  realm.CreateFrameData = false
  realm:AddEnvData(Number(7))
  realm:Execute()
  local left = T.items(realm:GetEnvDataQueue())
  T.eq(#left, 1, "the product stays when no frame data are made")
  T.eq(left[1] and T.value(left[1]), 4.5, "it is the total")
  T.eq(left[1] and left[1].OwnerRunnerProcID, "00000000-0000-0000-0000-000000000000",
       "handed back to the realm, the datum belongs to no runner")
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

T.balanced(before, "main road")
T.finish("sched_mainroad")
