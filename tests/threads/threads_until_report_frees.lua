-- The reports ExecuteUntil makes about data that will never run are script
-- calls (the realm stub's "OnException"), and that script may free the
-- realm: the run and its controls must then stop cleanly, touching nothing
-- freed. Its own run, since the stub once set takes every report.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")

local Number = QZDataBase:CreateType("eurf.Number")
local Out = QZDataBase:CreateType("eurf.Out")
local Inc = T.procType("eurf.Inc", {Number}, {Out}, function(self)
  local n = self:GetInput(0)
  self:AddOutputData(Out(T.value(n) + 1))
  self:AcceptInput(n)
  return 0
end)

local Stub = _New(QZRealmStubBase)
local victim, trigger
local heard = {}
function Stub:OnException(level, text)
  heard[#heard + 1] = text
  if trigger ~= nil and victim ~= nil and text:find(trigger, 1, true) then
    local r = victim
    victim = nil
    _Free(r)
  end
end
local stub = _New(Stub)
_LockGC(stub)
local setter = _New(QZRealmBase)
T.eq(setter:SetRealmStub(stub), true, "stub set")
_Free(setter)

local function waitFor(cond, ms)
  for _ = 1, ms do
    if cond() then return true end
    _Yield(1)
  end
  return cond()
end

local before = T.counts()
local misuse = {"InvalidObjects", "UnlockAtZero", "LockViolations"}
local was = {}
for _, k in ipairs(misuse) do was[k] = T.stat(k) end

local cases = {
  -- name, the report's words, what the controlling thread does
  {"released at the finish", "added while it idled", function(realm)
     realm:AddEnvData(Number(1))
     realm:FinishExecuteUntil()
   end},
  {"added in a suspension without data", "suspended without ForAddEnvData", function(realm)
     realm:SuspendExecuteUntil(false)
     realm:AddEnvData(Number(1), Number(2))
     realm:ResumeExecuteUntil()
   end},
}
for _, case in ipairs(cases) do
  local name, words, control = case[1], case[2], case[3]
  local realm = T.realmWith("eurf.realm", (T.chain(Inc)))
  victim, trigger, heard = realm, words, {}
  local th = _Thread(function()
    T.check(waitFor(function() return realm.ExecuteStage == 3 end, 3000), name .. ": idling")
    control(realm)
  end)
  realm:ExecuteUntil(false)
  local ok, err = _Join(th)
  T.check(ok, name .. ": the controlling thread ended cleanly (" .. tostring(err) .. ")")
  T.check(victim == nil, name .. ": the report came and the stub freed the realm")
  victim = nil
end

for _ = 1, 10 do _Yield(2) end
for _, k in ipairs(misuse) do T.eq(T.stat(k), was[k], k .. ": nothing freed handed to the host") end
T.balanced(before, "reports that free the realm")
T.finish("threads_until_report_frees")
