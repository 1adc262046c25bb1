-- Report-hook chaos: every message of the module is a call of the realm
-- stub's "OnException", and this stub's, on random reports, frees, resets,
-- clears or runs again the realm, cell, runner or proc of the run in
-- progress (or feeds it, or resumes it). The procs of the running realms
-- provoke reports of every kind the scheduler makes: input left behind,
-- "continue" after their input is gone, suspensions that last too long,
-- output from a proc made from no type, negative results, script errors,
-- loops, source chains too deep, too much output. The stub's limit events
-- answer at random and make the same chaos. The host must survive every run,
-- count no freed object handed to it and no lock let go below zero, and hold
-- nothing more once everything is freed.
--
--   tarvex quel_trelk.so sched_report_chaos.lua DIR [SEED [ROUNDS]]
--
-- The stub is set once per module life: one seed per run.
--
-- With HOOK_CHAOS set (sched_hook_chaos.lua), the same chaos also comes from
-- every other script the module calls during a run: every realm event, the
-- cells' "OnCellFinish", the free callbacks of realms, procs and data, a data
-- type class's "Load" and "Equals" (one of the types has one), and the proc
-- bodies, more often.
local HOOKS = rawget(_G, "HOOK_CHAOS") == true
local T = dofile(arg[1] .. "/sched_testlib.lua")
local SEED = math.tointeger(tonumber(arg[2] or "")) or 1
local ROUNDS = math.tointeger(tonumber(arg[3] or "")) or 800
local TRACE = os.getenv("TRELK_CHAOS_TRACE") == "1"
math.randomseed(SEED)
local rnd = math.random

local alive = T.alive
local function hookRoll(n)
  return math.random(HOOKS and 4 or n) == 1
end

local misuse = {"InvalidObjects", "UnlockAtZero", "LockViolations"}
local function misuseNow()
  local out = {}
  for _, k in ipairs(misuse) do out[k] = T.stat(k) end
  return out
end

-- ---- types ----
local X = QZDataBase:CreateType("chaos.X")
local Y = QZDataBase:CreateType("chaos.Y")
local chaos -- below
if HOOKS then
  -- Y's values are objects, compared by a script that may free or run
  -- anything.
  T.scriptedTypeClass(Y, function(a, b)
    if math.random(4) == 1 then chaos("Equals") end
    return alive(a) and alive(b) and a.x == b.x
  end)
end
local Z = QZDataBase:CreateType("chaos.Z")

-- ---- the objects of the run in progress ----
-- Set by each proc's Execute and by the realms' hooks; what the chaos picks
-- from.
local cur = {}
local realms = {}   -- the running realms (some may be gone)
local made = {}     -- the runs' objects, freed at the end
local function keep(o)
  made[#made + 1] = o
  return o
end
local types = {}    -- what lives throughout
local function hold(o)
  types[#types + 1] = o
  return o
end

local chaosDepth, chaosOn, acts, executes = 0, false, 0, 0
local function pickTarget()
  local names = {"realm", "cell", "runner", "proc"}
  local o = cur[names[rnd(#names)]]
  if alive(o) then return o end
  return nil
end

-- One random deed on the run in progress. Nested runs go two levels deep.
-- Free callbacks take only the deeds that free or clear (see freeTarget).
local freeingDeeds = {1, 2, 3, 4, 6, 11, 12, 13, 15}
function chaos(why, freeing)
  if not chaosOn or chaosDepth >= 2 then return end
  chaosDepth = chaosDepth + 1
  local k = freeing and freeingDeeds[rnd(#freeingDeeds)] or rnd(16)
  local realm = alive(cur.realm) and cur.realm or nil
  if TRACE then io.stderr:write("  chaos " .. k .. " on " .. tostring(why) .. "\n") end
  acts = acts + 1
  if k <= 4 then
    local o = pickTarget()
    if o ~= nil then pcall(_Free, o) end
  elseif k == 5 and realm then
    pcall(realm.Reset, realm)
  elseif k == 6 and realm then
    pcall(realm.ClearEnvData, realm)
  elseif k == 7 and realm then
    -- a run inside the run
    for _ = 1, rnd(1, 3) do
      local ok, more = pcall(realm.ExecuteOnce, realm)
      if not ok or not more or not alive(realm) then break end
    end
  elseif k == 8 and realm then
    pcall(function() realm:AddEnvData((rnd(2) == 1 and X or Y)(rnd(9))) end)
  elseif k == 9 then
    local o = pickTarget()
    if o ~= nil then pcall(function() o:Resume() end) end
  elseif k == 10 and realm then
    pcall(realm.ResetExecuteOnce, realm)
  elseif k == 11 then
    _CollectGarbage()
    collectgarbage("collect")
  elseif k == 12 and alive(cur.cell) then
    pcall(function() cur.cell:ClearEnvData() end)
  elseif k == 13 then
    -- a datum of the cell's or the realm's env
    local holder = rnd(2) == 1 and cur.cell or realm
    if alive(holder) then
      pcall(function()
        local env = holder:GetEnvDataQueue()
        if env:_Count() > 0 then _Free(env:_Get(rnd(0, env:_Count() - 1))) end
      end)
    end
  elseif k == 14 and realm then
    -- a datum moved into another realm
    local other = realms[rnd(#realms)]
    if alive(other) and other ~= realm then
      pcall(function()
        local env = realm:GetEnvDataQueue()
        if env:_Count() > 0 then other:CaptureEnvData(env:_Get(rnd(0, env:_Count() - 1))) end
      end)
    end
  elseif k == 15 and alive(cur.proc) then
    -- the proc's input
    pcall(function() _Free(cur.proc:GetInput(0)) end)
  elseif k == 16 and realm then
    -- a report inside the report, with a plain object and a datum after it
    local plain = _New(_Object)
    pcall(function() realm:AddEnvData(plain, X(1)) end)
    _Free(plain)
  end
  chaosDepth = chaosDepth - 1
end

-- ---- the stub ----
local Stub = hold(_New(QZRealmStubBase))
local reports = 0
function Stub:OnException(level, text)
  reports = reports + 1
  if TRACE then io.stderr:write("report: " .. text .. "\n") end
  if rnd(3) == 1 then chaos(text) end
end
local limitAnswers = {
  OnMoreUnAllocatedData = function() return rnd(0, 1) end,
  OnLongLoop = function() return rnd(3) == 1 end,
  OnLongSuspend = function() return rnd(3) == 1 end,
  OnInputInvalid = function() return rnd(2) == 1 end,
  OnLongSourceData = function() return rnd(2) == 1 end,
}
for name, answer in pairs(limitAnswers) do
  Stub[name] = function(self, realm, a, b)
    if realm ~= nil then cur.realm = realm end
    if rnd(4) == 1 then chaos(name) end
    if rnd(8) == 1 then error(name .. " fails") end
    return answer()
  end
end
local stub = hold(_New(Stub))
_LockGC(stub)
-- The stub's limits are every realm's: small, so that they are met.
stub.MaxSuspendTickCount = 0
stub.MaxLoopCount = 3
stub.MaxUnAllocatedData = 2
stub.MaxSourceDataLength = 2
stub.InitialLiveCount = 3
do
  local setter = _New(QZRealmBase)
  assert(setter:SetRealmStub(stub), "stub set")
  _Free(setter)
end

-- ---- procs ----
-- What a proc does on a run, by the report it provokes.
local deeds = {
  function(self) return 0 end, -- input left behind
  function(self, input) -- its input taken, then "continue"
    if input ~= nil then pcall(self.AcceptInput, self, input) end
    return 4
  end,
  function(self) return 1 end, -- suspended, maybe for too long
  function(self) -- suspended, resumed by a message
    _Post(function() pcall(function() self:Resume() end) end)
    return 1
  end,
  function(self) return -1 end,
  function(self) error("execute fails") end,
  function(self, input, out) -- the usual: output, input taken
    if input ~= nil then pcall(self.AcceptInput, self, input) end
    if out then pcall(function() self:AddOutputData(out(rnd(9))) end) end
    return 0
  end,
  function(self, input, out) -- output, and a source chain of its own
    if out then
      pcall(function()
        local d = out(1)
        local s = X(2)
        s:AddSource(Y(3))
        d:AddSource(s)
        self:AddOutputData(d)
      end)
    end
    if input ~= nil then pcall(self.AcceptInput, self, input) end
    return 0
  end,
  function(self, input, out) -- lots of output
    for _ = 1, 4 do
      if out then pcall(function() self:AddOutputData(out(rnd(9))) end) end
    end
    return rnd(2) == 1 and 0 or 3
  end,
  function(self) return 0 end, -- nothing produced
}

local function body(out)
  return function(self, realm, cell, runner)
    if self.Status < 0 then return end
    executes = executes + 1
    cur = {realm = realm, cell = cell, runner = runner, proc = self}
    local okIn, input = pcall(self.GetInput, self, 0)
    if not okIn then input = nil end
    if rnd(HOOKS and 3 or 6) == 1 then chaos("execute") end
    return deeds[rnd(#deeds)](self, input, out)
  end
end

local function ptype(name, input, output, plain)
  local P
  if plain then
    -- made from no type: its outputs have no owner type to name
    P = _New(QZProcBase)
    P.IsType = false
    _SetName(P, name)
    _LockGC(P)
  else
    P = QZProcBase:CreateSubType(name)
  end
  hold(P)
  if input then P:InputFrom(input) end
  if output then P:OutputFrom(output) end
  P.Execute = body(output)
  return P
end
local PXY = ptype("chaos.PXY", X, Y)
local PYZ = ptype("chaos.PYZ", Y, Z)
local PZ = ptype("chaos.PZ", Z, nil)
local PlainXY = ptype("chaos.PlainXY", X, Y, true)
local shapes = {{PXY, PYZ}, {PXY, PYZ, PZ}, {PlainXY, PYZ}, {PYZ, PZ}, {PlainXY}}

local realmHooks = {"OnRunnerProcExecuted", "OnOutputDataToEnv", "OnCellToBeFinish", "OnRunnerExecuted",
                    "OnRunnerBeforeExecuted", "OnRunnerProcBeforeExecuted", "OnCellFinish", "OnAfterExecute"}

-- What a freed object's free callback does.
local freeTarget = HOOKS and hold(_New(_Object)) or nil
if HOOKS then
  _LockGC(freeTarget)
  function freeTarget:OnFreeCallback(o)
    if rnd(3) == 1 then
      -- Frees and clears anything but the object being freed. (A realm fed,
      -- reset or run from the free callback of one of its own objects keeps
      -- some of what the run made: left alone here.)
      local saved = cur
      cur = {realm = cur.realm ~= o and cur.realm or nil, cell = cur.cell ~= o and cur.cell or nil,
             runner = cur.runner, proc = cur.proc ~= o and cur.proc or nil}
      chaos("OnFreeCallback", true)
      cur = saved
    end
  end
end

local function newRealm(i)
  local realm = keep(_New(QZRealmBase))
  _SetName(realm, "chaos.realm" .. i)
  realm.CreateFrameData = rnd(2) == 1
  realm.TraceFlag = rnd(2) == 1
  for c = 1, rnd(1, 2) do
    local cell = keep(_New(QZCellBase))
    _SetName(cell, "chaos.cell" .. i .. "." .. c)
    for _ = 1, rnd(1, 2) do
      local shape = shapes[rnd(#shapes)]
      local chain = keep(_New(QZProcChainBase))
      local procs = {}
      for j, P in ipairs(shape) do procs[j] = keep(P == PlainXY and _New(P) or P()) end
      if HOOKS then pcall(procs[1].RegCallBack, procs[1], freeTarget) end
      pcall(chain.FromPara, chain, table.unpack(procs))
      pcall(cell.AddProc, cell, chain)
    end
    if HOOKS then
      function cell:OnCellFinish(r, ok)
        if rnd(4) == 1 then chaos("cell OnCellFinish") end
      end
      pcall(cell.RegCallBack, cell, freeTarget)
    end
    pcall(realm.AddCell, realm, cell)
  end
  if HOOKS or rnd(2) == 1 then
    for _, hook in ipairs(realmHooks) do
      realm[hook] = function(self, a, b, c)
        if alive(self) then cur.realm = self end
        if hookRoll(8) then chaos(hook) end
        -- (an answer that ends cells or runs early, now and then)
        if HOOKS then return rnd(6) == 1 end
        return rnd(2) == 1
      end
    end
  end
  if HOOKS then
    function realm:OnBeforeExecute()
      if rnd(4) == 1 then chaos("OnBeforeExecute") end
      if alive(self) then return QZRealmBase.OnBeforeExecute(self) end
    end
    function realm:OnFrameData(frame)
      if rnd(4) == 1 then chaos("OnFrameData") end
    end
    pcall(realm.RegCallBack, realm, freeTarget)
  end
  return realm
end

-- ---- the rounds ----
local before = T.counts()
local misuseBefore = misuseNow()
chaosOn = true
local runs = 0
for i = 1, 3 do realms[i] = newRealm(i) end
for round = 1, ROUNDS do
  local i = rnd(#realms)
  if not alive(realms[i]) then realms[i] = newRealm(i) end
  local realm = realms[i]
  for _ = 1, rnd(0, 2) do
    local F = ({X, Y, Z})[rnd(3)]
    pcall(function()
      local d = F(round)
      if HOOKS and rnd(3) == 1 then d:RegCallBack(freeTarget) end
      realm:AddEnvData(d)
    end)
  end
  if TRACE then io.stderr:write("round " .. round .. " realm " .. i .. "\n") end
  cur = {realm = realm}
  -- A finished run takes new data only once reset.
  -- (A hook of the data added may have freed the realm.)
  if alive(realm) and realm.ExecuteStage ~= 1 then pcall(function() realm:ResetExecuteOnce() end) end
  if HOOKS and alive(realm) then
    -- A cell ended by a cycle takes data again once armed: the hooks need
    -- procs that run.
    pcall(function()
      local cells = realm:GetCell()
      for c = 0, cells:_Count() - 1 do cells:_Get(c).IsReady = true end
    end)
  end
  for _ = 1, rnd(1, 6) do
    local ok, more = pcall(function() return realm:ExecuteOnce() end)
    runs = runs + 1
    if not ok or not more or not alive(realm) then break end
    if rnd(4) == 1 then
      -- time for the suspension limit
      local t = os.clock()
      while os.clock() - t < 0.002 do end
    end
  end
  if rnd(10) == 1 and alive(realm) then pcall(realm.Reset, realm) end
  if round % 25 == 0 then
    _CollectGarbage()
    T.errors()
  end
end
chaosOn = false

-- ---- the end: nothing misused, nothing left ----
for _, realm in ipairs(realms) do
  if alive(realm) then pcall(realm.ClearEnvData, realm) end
end
for j = #made, 1, -1 do
  if alive(made[j]) then pcall(_Free, made[j]) end
end
made, realms, cur = nil, nil, {}
for _ = 1, 3 do
  _Post(function() end)
  _CollectGarbage()
  collectgarbage("collect")
end
T.errors()
local misuseAfter = misuseNow()
for _, k in ipairs(misuse) do
  T.eq(misuseAfter[k], misuseBefore[k], "seed " .. SEED .. ": host counted " .. k)
end
T.balanced(before, "seed " .. SEED)
print(string.format((HOOKS and "hook" or "report") .. " chaos seed %d: %d rounds, %d steps, %d reports, %d deeds, %d executes", SEED, ROUNDS, runs,
                    reports, acts, executes))
T.finish("sched_report_chaos")
