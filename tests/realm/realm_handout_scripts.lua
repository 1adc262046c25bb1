-- The hand-out of the realm's env data to its cells runs scripts between a
-- cell taking a datum and the realm letting go of it: here the type class's
-- Equals hook, asked by a second cell whose input is bound to a value. What
-- such a script does to the datum (moves it into another realm, locks it and
-- empties the env) leaves the datum's locks as the script left them: the
-- realm lets go of its own lock only, and only while it still holds it.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local V = QZDataBase:CreateType("handout.V")
local hook -- what the hook does once, on the datum being handed out
T.scriptedTypeClass(V, function()
  if hook then
    local h = hook
    hook = nil
    h()
  end
  return false
end)

local Sink = QZProcBase:CreateSubType("handout.Sink")
Sink:InputFrom(V)
Sink.Execute = function(self)
  if self.Status < 0 then return end
  self:AcceptInput(self:GetInput(0))
  return 0
end

local function settle()
  for _ = 1, 3 do
    collectgarbage("collect")
    _CollectGarbage()
  end
end

local alive = T.alive

local before = T.counts()
-- The datum is named by its ID only: a script value would hold it alive
-- whatever its locks say.
local cases = {
  {"moved into another realm", function(realm, id, other)
     other:CaptureEnvData(_FromID(id))
   end, function(realm, id, other)
     local env = other:GetEnvDataQueue()
     T.eq(env:_Count(), 1, "moved: the other realm keeps its datum")
     T.check(env:_Count() == 1 and env:_Get(0) ~= nil, "moved: the datum lives on in the other realm")
   end},
  {"locked by the script, then the env emptied", function(realm, id)
     _LockGC(_FromID(id))
     realm:ClearEnvData()
   end, function(realm, id)
     local d = _FromID(id)
     T.check(d ~= nil, "locked: the datum the script locked lives on")
     if d ~= nil then _UnLockGC(d) end
   end},
  {"the realm freed", function(realm)
     _Free(realm)
   end, function(realm)
     T.check(not alive(realm), "freed: the realm is gone")
   end},
}
for _, case in ipairs(cases) do
  local name, act, check = table.unpack(case)
  local realm = T.named(_New(QZRealmBase), "handout." .. name)
  local other = _New(QZRealmBase)
  local takes = _New(QZCellBase)
  local ch = _New(QZProcChainBase)
  T.check(ch:FromPara(Sink()), name .. ": chain built")
  T.check(takes:AddProc(ch), name .. ": chain added")
  realm:AddCell(takes)
  -- The second cell's input takes only data equal to a value: asking it
  -- runs the Equals hook.
  local asks = _New(QZCellBase)
  asks:InputFrom(V(7))
  realm:AddCell(asks)
  realm:AddEnvData(V(1))
  local id = _ID(realm:GetEnvDataQueue():_Get(0))
  hook = function() act(realm, id, other) end
  settle()
  local unlocks = T.stat("UnlockAtZero")
  T.errors()
  realm:ExecuteOnce()
  T.errors()
  T.check(hook == nil, name .. ": the hook ran during the hand-out")
  settle()
  check(realm, id, other)
  for _, r in ipairs({realm, other}) do
    if alive(r) then r:ClearEnvData() end
  end
  for _, o in ipairs({realm, other, takes, asks, ch}) do
    if alive(o) then _Free(o) end
  end
  T.errors()
  settle()
  -- The datum's instances in the cells lock it too: a lock the realm took
  -- from one of them shows when the last of them goes.
  T.eq(T.stat("UnlockAtZero"), unlocks, name .. ": no lock let go that the realm did not hold")
end
hook = nil
T.balanced(before, "hand-out")
T.finish("realm_handout_scripts")
