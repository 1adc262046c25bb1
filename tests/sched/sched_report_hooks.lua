-- Reports are script calls: with a realm stub set, every message of the
-- scheduler runs the stub's "OnException", which may free the realm, cell,
-- runner or proc the message is about. Each case makes a run report one
-- message and has the stub free one of the objects of the run right then;
-- the run must stop cleanly: no stale object handed to the host, no lock let
-- go twice, nothing left behind, and the performance record of a freed proc
-- never lands on another. The stub is set once per module life, so this
-- script runs alone.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local Number = QZDataBase:CreateType("rh.Number")
local Out = QZDataBase:CreateType("rh.Out")

-- The objects of the run in progress, as the proc's Execute saw them.
local cur = {}
-- The case's text and what its stub does on it.
local hook = {}
local Stub = _New(QZRealmStubBase)
local heard = {}
function Stub:OnException(level, text)
  heard[#heard + 1] = text
  if hook.text ~= nil and text:find(hook.text, 1, true) and not hook.done then
    hook.done = true
    hook.act()
  end
end
-- A suspended proc is refused once it waits too long.
function Stub:OnLongSuspend() return false end
local stub = _New(Stub)
_LockGC(stub)
-- The stub's limits are every realm's.
stub.MaxSuspendTickCount = 0
local setter = _New(QZRealmBase)
T.eq(setter:SetRealmStub(stub), true, "stub set")
_Free(setter)

local function drive(realm, limit)
  local steps = 0
  while steps < limit do
    steps = steps + 1
    local ok, more = pcall(realm.ExecuteOnce, realm)
    if not ok or not more then break end
    if realm.ExecuteStage == 2 then break end
  end
end

local alive = T.alive

local function free(what)
  return function()
    local o = cur[what]
    if o ~= nil and alive(o) then _Free(o) end
  end
end

-- What the proc does on its first run; later runs finish quietly.
local bodies = {
  -- returns 0 without taking its complete input
  leftover = function(self) return 0 end,
  -- takes its input and asks to run again
  continue = function(self)
    self:AcceptInput(self:GetInput(0))
    return 4
  end,
  -- waits for a resume that never comes
  suspend = function(self) return 1 end,
  -- produces a datum (the plain proc has no type to own it)
  output = function(self)
    self:AcceptInput(self:GetInput(0))
    self:AddOutputData(Out(7))
    return 0
  end,
}

local cases = {
  {"leftover", "it will be executed deadloop", "cell"},
  {"leftover", "it will be executed deadloop", "proc"},
  {"leftover", "it will be executed deadloop", "realm"},
  {"continue", "It should return 0 instead of returning", "cell"},
  {"continue", "It should return 0 instead of returning", "proc"},
  {"suspend", "it suspend too long", "proc"},
  {"suspend", "it suspend too long", "runner"},
  {"suspend", "it suspend too long", "cell"},
  {"output", "it's IsType == true class is not found", "cell"},
  {"output", "it's IsType == true class is not found", "proc"},
  {"output", "it's IsType == true class is not found", "realm"},
}

local before = T.counts()
local invalid = T.stat("InvalidObjects")
for i, case in ipairs(cases) do
  local shape, text, target = table.unpack(case)
  local name = shape .. "/" .. target
  local first = true
  local function execute(self, realm, cell, runner)
    if self.Status < 0 then return end
    cur = {realm = realm, cell = cell, runner = runner, proc = self}
    if not first then
      pcall(function() self:AcceptInput(self:GetInput(0)) end)
      return 0
    end
    first = false
    return bodies[shape](self)
  end
  local chain, P
  if shape == "output" then
    -- A proc made from the proc class itself rather than from a type.
    P = _New(QZProcBase)
    P:InputFrom(Number)
    P:OutputFrom(Out)
    P.IsType = false
    P.Execute = execute
    chain = _New(QZProcChainBase)
    T.check(chain:FromPara(P), name .. ": chain built")
  else
    P = T.procType("rh." .. name, {Number}, {Out}, execute)
    chain = T.chain(P)
  end
  local realm, cell = T.realmWith("rh." .. i, chain)
  realm.CreateFrameData = false
  realm.MaxSuspendTickCount = 0
  realm:AddEnvData(Number(i))
  stub:GetPerformanceData(true)
  hook = {text = text, act = free(target)}
  heard = {}
  drive(realm, 3)
  if shape == "suspend" then
    local t = os.clock()
    while os.clock() - t < 0.005 do end
    if alive(realm) then drive(realm, 3) end
  end
  T.check(hook.done, name .. ": the stub heard the message: " .. table.concat(heard, " | "))
  T.eq(T.stat("InvalidObjects"), invalid, name .. ": no freed object handed to the host")
  -- A freed proc's run is not recorded on anything else.
  local perf = stub:GetPerformanceData(true)
  for k = 0, perf:_Count() - 1 do
    local procType = perf:_Get(k):_Get(0)
    local typeName = procType ~= nil and _Name(procType) or "?"
    T.check(typeName:sub(1, 3) == "rh." or procType == QZProcBase,
            name .. ": performance lists only the cases' proc types, not " .. typeName)
  end
  for _, o in ipairs({realm, cell, chain, P}) do
    if alive(o) then _Free(o) end
  end
  invalid = T.stat("InvalidObjects")
  cur = {}
end
hook = {}
T.balanced(before, "report hooks")
T.finish("sched_report_hooks")
