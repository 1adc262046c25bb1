-- Helpers of the realm-service scenarios, on top of the realm-run helpers:
-- the data and proc types the proc-run scenarios share, packages from Lua
-- values, and the values of a result package as one text.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")

T.Number = QZDataBase:CreateType("svcNumber")
T.Half = QZDataBase:CreateType("svcHalf")
T.Total = QZDataBase:CreateType("svcTotal")
T.Other = QZDataBase:CreateType("svcOther")

-- Names of the procs that ran, in the order they ran; hooks a scenario may
-- set to look at a run from inside.
T.calls = {}
local function ran(name) T.calls[#T.calls + 1] = name end

T.Halve = T.procType("svcHalve", {T.Number}, {T.Half}, function(self, realm, cell, runner)
  if self.Status < 0 then return end
  local n = self:GetInput(0)
  ran("Halve")
  if T.onHalve then T.onHalve(self, realm, cell, runner) end
  self:AddOutputData(T.Half(T.value(n) // 2))
  self:AcceptInput(n)
  return 0
end)
T.AddOne = T.procType("svcAddOne", {T.Half}, {T.Total}, function(self)
  if self.Status < 0 then return end
  local h = self:GetInput(0)
  ran("AddOne")
  self:AddOutputData(T.Total(T.value(h) + 1))
  self:AcceptInput(h)
  return 0
end)
T.Fails = T.procType("svcFails", {T.Number}, {T.Other}, function(self)
  if self.Status < 0 then return end
  ran("Fails")
  self:AcceptInput(self:GetInput(0))
  return -1
end)

-- A package of the given values.
function T.pkg(...)
  return _Pkg(...)
end

-- The values of the data of a result package, joined by commas; "-" for
-- an empty item.
function T.values(pkg)
  local out = {}
  for i = 0, pkg:_Count() - 1 do
    local d = pkg:_Get(i)
    out[#out + 1] = d ~= nil and tostring(math.tointeger(T.value(d)) or T.value(d)) or "-"
  end
  return table.concat(out, ",")
end

function T.alive(obj)
  return obj ~= nil and pcall(_ID, obj) and _FromID(_ID(obj)) ~= nil
end

return T
