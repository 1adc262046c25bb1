-- A last proc's count of its own env data (EnvDataSkipCount, the count less
-- one) after each run, while its earlier products leave the cell's env by
-- every means a script has: the count must be what a walk of the env gives.
-- The cell's index keeps the products by producing proc and counts that list
-- whole, so each way out must take a product off it.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local N = QZDataBase:CreateType("own.N")
local Out = QZDataBase:CreateType("own.Out")

local realm, cell, other, holder
local products = {}
-- Run k sends run k-2's product out of the env by the (k-2)-th way here: not
-- the newest item of the env, whose leaving the index sees by itself.
local ways = {
  {"RemoveEnvData", function(d) cell:RemoveEnvData(d) end},
  {"ClearEnvData of its class", function(d) cell:ClearEnvData(_Class(d)) end},
  {"_Free", function(d) _Free(d) end},
  {"the realm's CaptureEnvData", function(d) realm:CaptureEnvData(d) end},
  {"another cell's CaptureEnvData", function(d) other:CaptureEnvData(realm, d) end},
  {"a proc's SetAttachObject", function(d) holder:SetAttachObject(d) end},
}
-- The product that ClearEnvData sends away (run 2's) has a class of its own,
-- so that the clearing takes it alone.
local Alone = Out:CreateType("own.Alone")

local runs, ran, checked, mismatches = 0, false, 0, {}
local L = T.procType("own.L", {N}, {Out}, function(self)
  local d = self:GetInput(0)
  runs = runs + 1
  local way = ways[runs - 2]
  if way and products[runs - 2] then way[2](products[runs - 2]) end
  local Made = runs == 2 and Alone or Out
  local out = Made(T.value(d))
  self:AddOutputData(out)
  self:AcceptInput(d)
  ran = true
  return 0
end)

local chain = T.chain(L)
realm, cell = T.realmWith("own.count", chain)
realm.CreateFrameData = false
other = _New(QZCellBase)
holder = L()
realm.TraceFlag = true
-- Right after a run of the proc, what a walk of the env counts.
function realm:OnRunnerExecuted(c, runner, willBeFree)
  if not ran then return end
  ran = false
  local copy = _FromID(runner.QZProcStart)
  local own = 0
  for _, d in ipairs(T.items(c:GetEnvDataQueue())) do
    if d.OwnerRunnerProcID == runner.QZProcStart then own = own + 1 end
  end
  -- The product of this run is the newest datum in the env: kept for the
  -- next run to send away.
  local newest
  for _, d in ipairs(T.items(c:GetEnvDataQueue())) do
    if d.OwnerRunnerProcID == runner.QZProcStart then newest = d end
  end
  products[runs] = newest
  checked = checked + 1
  local want = own > 0 and own - 1 or 0
  if copy.EnvDataSkipCount ~= want then
    mismatches[#mismatches + 1] = string.format("run %d (after %s): %d, a walk gives %d", runs,
                                                ways[runs - 2] and ways[runs - 2][1] or "nothing",
                                                copy.EnvDataSkipCount, want)
  end
end

local n = #ways + 3
for i = 1, n do realm:AddEnvData(N(i)) end
T.during(function() realm:Execute() end)
T.eq(runs, n, "each datum ran once")
T.eq(checked, n, "each run was checked")
T.eq(table.concat(mismatches, "; "), "", "the count after each run is the walk's")

realm.TraceFlag = false
realm:ClearEnvData()
for _, o in ipairs({realm, cell, chain, other, holder}) do _Free(o) end
T.finish("sched_owncount")
