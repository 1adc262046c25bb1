-- A script that sets the change flag of an input item in place makes the
-- item's proc current at the runner's next step, as a walk of the runner's
-- chain finds it. P (inputs A and an optional pair of B) finishes on a1 and
-- keeps the lone b1 it was given; Q, after it, takes P's product and stays
-- current. A script then sets b1's flag and puts a2 into the cell: P,
-- current again at the runner's next step, takes a2 and runs.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local A = QZDataBase:CreateType("flag.A")
local B = QZDataBase:CreateType("flag.B")
local M = QZDataBase:CreateType("flag.M")
local Out = QZDataBase:CreateType("flag.Out")

local log, act, realm, cell
local qRuns = 0

-- Sets the flag of P's B item and gives the cell a second A.
local function flagB(runner)
  local p = _FromID(runner.QZProcStart)
  local inputs = _Children(p, "InputQueue")
  local items = _Children(inputs:_Get(1), "DataQueue")
  T.eq(items:_Count(), 1, "P kept its B item")
  items:_Get(0).ChangeFlag = true
  cell:AddEnvData(realm, A(2))
end

local P = T.procType("flag.P", {A, "o", 2, B}, {M}, function(self)
  local a = self:GetInput(0)
  self:GetInput(1)
  log[#log + 1] = "P" .. T.value(a)
  self:AddOutputData(M(T.value(a)))
  self:AcceptInput(a)
  return 0
end)
-- Q takes each product of P at once (P may only run again when its product
-- has gone); after the first it stays current (result 3) without input.
local Q = T.procType("flag.Q", {M}, {Out}, function(self, r, c, runner)
  local m = self:GetInput(0)
  if m == nil then return 0 end
  qRuns = qRuns + 1
  log[#log + 1] = "Q" .. T.value(m)
  self:AddOutputData(Out(T.value(m)))
  self:AcceptInput(m)
  if qRuns == 1 then
    if act == "Q" then flagB(runner) end
    return 3
  end
  return 0
end)

local before = T.counts()

-- Each row: who sets the flag.
local rows = {
  {"the next proc's Execute sets the flag", "Q"},
  {"the realm's OnRunnerExecuted sets the flag", "hook"},
}

for _, row in ipairs(rows) do
  local name, who = table.unpack(row)
  local chain = T.chain(P, Q)
  realm, cell = T.realmWith("flag.realm", chain)
  realm.CreateFrameData = false
  log, act, qRuns = {}, who, 0
  local hooked = false
  if who == "hook" then
    realm.TraceFlag = true
    function realm:OnRunnerExecuted(c, runner)
      if qRuns == 1 and not hooked then
        hooked = true
        flagB(runner)
      end
    end
  end
  cell:AddEnvData(realm, A(1), B(1))
  T.during(function() realm:Execute() end)
  T.eq(table.concat(log, ","), "P1,Q1,P2,Q2", name .. ": P runs again on a2")
  realm:ClearEnvData()
  cell:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

T.balanced(before, "restamp runner")
T.finish("sched_restamp_runner")
