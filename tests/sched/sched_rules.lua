-- The rules of a chain during a run: a proc that is killed, or whose output
-- may not go to the environment, is disapproved, and every rule attached to
-- its chain hears "OnDisapproved" with the proc; a handler that fails or
-- frees the realm it runs in ends the run cleanly.
local T = dofile(arg[1] .. "/sched_testlib.lua")

-- Types stay registered until they are freed: the counts start after them.
local Number = QZDataBase:CreateType("rules.Number")
local Rule = QZRuleBase:CreateType("rules.Rule")
local Failing = QZRuleBase:CreateType("rules.Failing")
local Freeing = QZRuleBase:CreateType("rules.Freeing")

local before = T.counts()

-- A realm whose cell runs one proc of a new type with the given body, its
-- chain carrying the given rules. Returns the realm, cell, chain and type.
local function realmWithRules(name, body, rules)
  -- The proc may hand on its own input: it puts out what it takes.
  local P = T.procType("rules." .. name, {Number}, {Number}, function(self, ...)
    if self.Status < 0 then return end
    return body(self, ...)
  end)
  local chain = T.chain(P)
  local realm = _New(QZRealmBase)
  _SetName(realm, "rules." .. name)
  local cell = _New(QZCellBase)
  T.check(cell:AddProcEx(rules[1], chain), name .. ": the chain is added with its rule")
  for i = 2, #rules do T.check(cell:AddProcEx(rules[i], chain), name .. ": a further rule") end
  realm:AddCell(cell)
  realm.CreateFrameData = false
  return realm, cell, chain, P
end

local heard = {}
local procType
function Rule:OnDisapproved(proc)
  heard[#heard + 1] = {rule = self, ofType = proc ~= nil and procType ~= nil and _IsInst(procType, proc)}
end

-- Why a proc is disapproved during a run.
local causes = {
  {"killed", function(realm)
     realm.InitialLiveCount = 0
     function realm:OnInputInvalid() return false end
   end, function(self)
     self:AcceptInput(self:GetInput(0))
     return 0
   end, "Proc[] runs failed, because it's input is not alive"},
  {"fromenv", function() end, function(self)
     -- The proc hands its own input, an env datum of the cell, on as output.
     local d = self:GetInput(0)
     self:AddOutputData(d)
     self:AcceptInput(d)
     return 0
   end, "Proc[]'s output data [] is comes from env, it can not output to env again"},
}
for _, cause in ipairs(causes) do
  local name, setup, body, message = table.unpack(cause)
  heard = {}
  local rule = Rule()
  local realm, cell, chain, P = realmWithRules(name, body, {rule})
  procType = P
  setup(realm)
  realm:AddEnvData(Number(1))
  local msgs = T.during(function() realm:Execute() end)
  T.check(T.has(msgs, message), name .. ": the cause is reported")
  T.eq(#heard, 1, name .. ": the rule heard OnDisapproved once")
  if heard[1] then
    T.eq(heard[1].rule, rule, name .. ": on the attached rule")
    T.check(heard[1].ofType, name .. ": with the run's proc")
  end
  T.check(realm.ErrorCount >= 1, name .. ": the realm counts the error")
  heard, procType = {}, nil
  realm:ClearEnvData()
  for _, o in ipairs({realm, cell, chain, rule, P}) do _Free(o) end
end

-- A rule whose handler fails is reported and the run ends as before; one
-- whose handler frees the realm ends the run without touching what it freed.
do
  function Failing:OnDisapproved() error("rule handler fails") end
  local victim
  function Freeing:OnDisapproved() if victim then _Free(victim) victim = nil end end
  for _, which in ipairs({"Failing", "Freeing"}) do
    local rule = which == "Failing" and Failing() or Freeing()
    local realm, cell, chain, P = realmWithRules("handler" .. which, function(self)
      local d = self:GetInput(0)
      self:AddOutputData(d)
      self:AcceptInput(d)
      return 0
    end, {rule})
    local realmID = _ID(realm)
    if which == "Freeing" then victim = realm end
    realm:AddEnvData(Number(2))
    local msgs = T.during(function() realm:Execute() end)
    if which == "Failing" then
      local reported = false
      for _, m in ipairs(msgs) do
        if m:find("calls the function OnDisapproved failed", 1, true) then reported = true end
      end
      T.check(reported, "a failing handler is reported")
      T.eq(realm.ExecuteStage, 2, "the run ends after a failing handler")
      realm:ClearEnvData()
      _Free(realm)
    else
      T.eq(_FromID(realmID), nil, "the realm freed by the rule is gone after the run")
    end
    victim = nil
    for _, o in ipairs({cell, chain, rule, P}) do pcall(_Free, o) end
  end
end

T.balanced(before, "rules")
T.finish("sched_rules")
