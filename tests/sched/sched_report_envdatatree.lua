-- Two data of a cell's env under one stamp make the candidate search report
-- "envdatatree". That report runs the stub's "OnException", which may free
-- the runner whose proc is looking for input, its cell, the realm, the
-- chain or the proc's type: the proc's input container the search works for
-- goes with some of them. Each case makes the report at one place and has
-- the stub free one object right then. The run must stop cleanly: no freed object read or handed to the
-- host, nothing left behind. The stub is set once per module life, so this
-- script runs alone.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local N = QZDataBase:CreateType("ed.N")
local Out = QZDataBase:CreateType("ed.Out")

-- The objects of the run in progress, as the runner hook saw them.
local cur = {}
local victim
local heard = {}
local Stub = _New(QZRealmStubBase)
function Stub:OnException(level, text)
  heard[#heard + 1] = text
  if victim ~= nil and text:find("envdatatree", 1, true) then
    local o = cur[victim]
    victim = nil
    if T.alive(o) then _Free(o) end
  end
end
local stub = _New(Stub)
_LockGC(stub)
local setter = _New(QZRealmBase)
T.eq(setter:SetRealmStub(stub), true, "stub set")
_Free(setter)

local function drive(realm, limit)
  for _ = 1, limit do
    if not T.alive(realm) then break end
    local ok, more = pcall(realm.ExecuteOnce, realm)
    if not ok or not more or not T.alive(realm) or realm.ExecuteStage == 2 then break end
  end
end

-- A proc type of the given inputs whose run takes what it holds.
local function procType(name, inputs)
  return T.procType(name, inputs, {Out}, function(self)
    for i = 0, self:GetInputNumber() - 1 do
      local d = self:GetInput(i)
      if d ~= nil then pcall(self.AcceptInput, self, d) end
    end
    self:AddOutputData(Out(1))
    return 0
  end)
end

-- Data of the cell's env captured with the stamps given.
local function capture(realm, cell, list)
  for _, x in ipairs(list) do
    local d = x[1]
    d.ScheduleTickCount = x[2]
    d.SequenceIndex = x[3]
    cell:CaptureEnvData(realm, d)
  end
end

local A = QZDataBase:CreateType("ed.A")

-- Where the report comes: shape, the proc's inputs, how the cell is fed.
local shapes = {
  -- A runner holds the one waiting datum when two more arrive under one
  -- stamp: the runner step's top-up of its proc reports.
  runnerStep = {inputs = {2, N}, feed = function(realm, cell)
    realm.TraceFlag = true
    local fed = false
    function realm:OnRunnerBeforeExecuted(c, runner)
      if fed then return end
      fed = true
      cur.runner = runner
      local known = {}
      for _, d in ipairs(T.items(c:GetEnvDataQueue())) do known[_ID(d)] = true end
      c:AddEnvData(self, N(2), N(3))
      local added = {}
      for _, d in ipairs(T.items(c:GetEnvDataQueue())) do
        if not known[_ID(d)] then added[#added + 1] = d end
      end
      if #added == 2 then
        added[2].ScheduleTickCount = added[1].ScheduleTickCount
        added[2].SequenceIndex = added[1].SequenceIndex
      end
    end
    realm:AddEnvData(N(1))
  end},
  -- The same for an input that takes any number of data.
  anyNumber = {inputs = {-1, N}},
  -- Two data under one stamp wait before the chain has a runner: the search
  -- for a first candidate reports.
  firstCandidate = {inputs = {2, N}, feed = function(realm, cell)
    capture(realm, cell, {{N(1), 1, 1}, {N(2), 1, 1}})
  end},
  -- The first input has its candidate; the second input's search reports
  -- while the new runner is filled.
  filling = {inputs = {A, 2, N}, feed = function(realm, cell)
    capture(realm, cell, {{A(1), 1, 1}, {N(1), 1, 2}, {N(2), 1, 2}})
  end},
}

local cases = {
  {"runnerStep", "runner"}, {"runnerStep", "cell"}, {"runnerStep", "realm"}, {"runnerStep", "procType"},
  {"anyNumber", "runner"}, {"anyNumber", "cell"}, {"anyNumber", "realm"}, {"anyNumber", "procType"},
  {"firstCandidate", "cell"}, {"firstCandidate", "realm"}, {"firstCandidate", "procType"},
  {"firstCandidate", "chain"},
  {"filling", "cell"}, {"filling", "realm"}, {"filling", "procType"}, {"filling", "chain"},
}

local before = T.counts()
local invalid = T.stat("InvalidObjects")
for _, case in ipairs(cases) do
  local shape, target = table.unpack(case)
  local name = shape .. "/" .. target
  local P = procType("ed." .. name, shapes[shape].inputs)
  local chain = T.chain(P)
  local realm, cell = T.realmWith("ed." .. name, chain)
  realm.CreateFrameData = false
  cur = {cell = cell, realm = realm, procType = P, chain = chain}
  (shapes[shape].feed or shapes.runnerStep.feed)(realm, cell)
  victim = target
  heard = {}
  drive(realm, 6)
  T.eq(victim, nil, name .. ": the stub heard the report: " .. table.concat(heard, " | "))
  T.eq(T.stat("InvalidObjects"), invalid, name .. ": no freed object handed to the host")
  for _, o in ipairs({realm, cell, chain, P}) do
    if T.alive(o) then pcall(_Free, o) end
  end
  T.errors()
  invalid = T.stat("InvalidObjects")
  cur = {}
end
T.balanced(before, "envdatatree report")
T.finish("sched_report_envdatatree")
