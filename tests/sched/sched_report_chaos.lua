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
--
-- With STORM_CHAOS set (sched_storm_chaos.lua), the hooks' chaos grows into a
-- storm: besides freeing, resetting, clearing and running, every hook may
-- move cells and data to other realms, free chains and proc types, write
-- stamps (two waiting data under one stamp among them) and change flags,
-- trim or drop active records, DeactiveAll, SyncFrom another realm or run
-- another realm; the hooks are those of the chaos above, the free callbacks
-- of chains too, and every hook of a type class ("Equals", "Load", "Dup",
-- "ToParaPkg", "ToString", "IsRawInstance", "OnBeforeFree"); the procs take
-- aggregates (InputFrom(-1)), pairs, inputs bound to a value, slave inputs,
-- and some run asynchronously (so a storm seed is not replayed exactly).
--
-- Free callbacks (and a type class's "OnBeforeFree") do whatever the other
-- hooks do, to the objects being freed too. With TRELK_CHAOS_FREE_FULL=0 in
-- the environment they only free and clear (and, in a storm, write stamps,
-- flags and records), and leave the object being freed alone.
-- TRELK_STORM_EQUAL_STAMPS=0 keeps a storm from giving two waiting data one
-- stamp; TRELK_STORM_ASYNC=0 keeps its procs synchronous.
local STORM = rawget(_G, "STORM_CHAOS") == true
local HOOKS = rawget(_G, "HOOK_CHAOS") == true or STORM
local FREE_FULL = os.getenv("TRELK_CHAOS_FREE_FULL") ~= "0"
local EQUAL_STAMPS = STORM and os.getenv("TRELK_STORM_EQUAL_STAMPS") ~= "0"
local ASYNC = STORM and os.getenv("TRELK_STORM_ASYNC") ~= "0"
local T = dofile(arg[1] .. "/sched_testlib.lua")
local SEED = math.tointeger(tonumber(arg[2] or "")) or 1
local ROUNDS = math.tointeger(tonumber(arg[3] or "")) or (STORM and 250 or 800)
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
local chaosDepth, chaosOn, acts, executes = 0, false, 0, 0
local chaos -- below
local newY -- a Y of value x (a storm's, below)
local function stormRoll(n)
  return chaosOn and math.random(n) == 1
end
if STORM then
  -- Y's values are objects, handled by a type class whose every hook may
  -- raise the storm.
  local tc = _New(_Object)
  _LockGC(tc)
  local function raw(x)
    local r = _New(_Object)
    r.x = x
    return r
  end
  -- By a raw value ("IsRawInstance") or by a package ("Load").
  function newY(x)
    if math.random(2) == 1 then return Y(raw(x)) end
    return Y(x)
  end
  local function xOf(d)
    local ok, buf = pcall(d.GetDataBuf, d)
    if ok and buf ~= nil and buf:_Count() > 0 then return buf:_Get(0) end
    return nil
  end
  function tc:IsRawInstance(v)
    if stormRoll(12) then chaos("IsRawInstance") end
    return type(v) == "userdata"
  end
  function tc:OnBeforeFree(v, list)
    -- the free callback of a value: free callbacks' deeds only (above)
    if stormRoll(6) then chaos("OnBeforeFree", not FREE_FULL) end
  end
  function tc:Load(pkg)
    if stormRoll(8) then chaos("Load") end
    return Y(raw(pkg:_Get(0)))
  end
  function tc:ToParaPkg(v, pkg)
    if stormRoll(10) then chaos("ToParaPkg") end
    if not alive(v) then return false end
    pkg:_Append(v.x)
    return true
  end
  function tc:ToString(v)
    if stormRoll(10) then chaos("ToString") end
    return alive(v) and ("y" .. tostring(v.x)) or "y?"
  end
  function tc:Dup(holder)
    if stormRoll(6) then chaos("Dup") end
    local x = alive(holder) and xOf(holder) or nil
    return Y(raw(x or 0))
  end
  function tc:Equals(a, b)
    if stormRoll(6) then chaos("Equals") end
    return alive(a) and alive(b) and a.x == b.x
  end
  assert(Y:SetDataTypeClass(tc), "type class set")
elseif HOOKS then
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

local function pickTarget()
  local names = {"realm", "cell", "runner", "proc"}
  local o = cur[names[rnd(#names)]]
  if alive(o) then return o end
  return nil
end

-- One random deed on the run in progress. Nested runs go two levels deep.
-- Free callbacks take only the deeds that free or clear (see freeTarget).
local freeingDeeds = {1, 2, 3, 4, 6, 11, 12, 13, 15}
local storm -- a storm's deed (below)
function chaos(why, freeing)
  if not chaosOn or chaosDepth >= 2 then return end
  if STORM then
    chaosDepth = chaosDepth + 1
    acts = acts + 1
    local ok, err = pcall(storm, why, freeing)
    if not ok and TRACE then io.stderr:write("  storm deed failed: " .. tostring(err) .. "\n") end
    chaosDepth = chaosDepth - 1
    return
  end
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
  if STORM and text:find("envdatatree", 1, true) then
    -- the report of two data under one stamp, met more often
    if rnd(2) == 1 then chaos(text) end
    return
  end
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

-- ---- a storm's procs ----
-- The data a proc's inputs hold (a datum, or a package of them).
local function dataIn(v, out)
  if v == nil then return out end
  local ok, isData = pcall(_IsInst, QZDataBase, v)
  if ok and isData then
    out[#out + 1] = v
    return out
  end
  local okCount, n = pcall(function() return v:_Count() end)
  if okCount then
    for i = 0, n - 1 do
      local d = v:_Get(i)
      if d ~= nil then dataIn(d, out) end
    end
  end
  return out
end
local function inputsOf(proc)
  local got = {}
  pcall(function()
    for i = 0, proc:GetInputNumber() - 1 do dataIn(proc:GetInput(i), got) end
  end)
  return got
end
local function made1(out, v)
  if out == Y then return newY(v) end
  return out(v)
end
local function acceptSome(self, got, all)
  for _, d in ipairs(got) do
    if all or rnd(2) == 1 then pcall(self.AcceptInput, self, d) end
  end
end
-- What a storm's proc does on a run: the deeds above and more, over every
-- datum its inputs hold.
local stormDeeds = {
  function(self) return 0 end, -- input left behind
  function(self, got) -- input taken, then "continue"
    acceptSome(self, got, true)
    return 4
  end,
  function(self) return 1 end, -- suspended (an asynchronous proc fails)
  function(self)
    _Post(function() pcall(function() self:Resume() end) end)
    return 1
  end,
  function(self) return -1 end,
  function(self) error("execute fails") end,
  function(self, got, out) -- the usual
    acceptSome(self, got, true)
    if out then pcall(function() self:AddOutputData(made1(out, rnd(4))) end) end
    return 0
  end,
  function(self, got, out) -- output with a source chain of its own
    if out then
      pcall(function()
        local d = made1(out, 1)
        local s = X(2)
        s:AddSource(newY(3))
        d:AddSource(s)
        self:AddOutputData(d)
      end)
    end
    acceptSome(self, got, true)
    return 0
  end,
  function(self, got, out) -- equal output, compared as it is placed
    for _ = 1, 3 do
      if out then pcall(function() self:AddOutputData(made1(out, rnd(2))) end) end
    end
    acceptSome(self, got, rnd(2) == 1)
    return rnd(2) == 1 and 0 or 3
  end,
  function(self, got) -- part of an aggregate taken
    acceptSome(self, got, false)
    return 0
  end,
  function(self, got, out) -- the inputs' values read, copied and compared
    for _, d in ipairs(got) do
      pcall(tostring, d)
      pcall(d.GetDataBuf, d)
      pcall(d.GetTag, d)
      local okDup, copy = pcall(d.Dup, d)
      if okDup and copy ~= nil and out and alive(copy) then
        pcall(function() self:AddOutputData(copy) end)
      end
      if got[1] ~= d then pcall(d.Equals, d, got[1]) end
    end
    acceptSome(self, got, true)
    return 0
  end,
  function(self, got) -- equal inputs grouped
    if #got > 0 then pcall(function() self:EqualDataSet(_Pkg(table.unpack(got))) end) end
    acceptSome(self, got, true)
    return 0
  end,
  function(self, got) -- everything rejected
    pcall(self.RejectInput, self, nil)
    return 0
  end,
  function(self, got, out) -- output made from its inputs
    if out and #got > 0 then
      pcall(function() self:AddOutputDataEx(made1(out, rnd(4)), table.unpack(got)) end)
    end
    acceptSome(self, got, true)
    return 0
  end,
}
local function stormBody(out)
  return function(self, realm, cell, runner)
    if self.Status < 0 then return end
    executes = executes + 1
    cur = {realm = realm, cell = cell, runner = runner, proc = self}
    local got = inputsOf(self)
    if rnd(3) == 1 then chaos("execute") end
    return stormDeeds[rnd(#stormDeeds)](self, got, out)
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
  if type(input) == "table" then
    P:InputFrom(table.unpack(input))
  elseif input then
    P:InputFrom(input)
  end
  if output then P:OutputFrom(output) end
  P.Execute = STORM and stormBody(output) or body(output)
  return P
end
local PXY = ptype("chaos.PXY", X, Y)
local PYZ = ptype("chaos.PYZ", Y, Z)
local PZ = ptype("chaos.PZ", Z, nil)
local PlainXY = ptype("chaos.PlainXY", X, Y, true)
local shapes = {{PXY, PYZ}, {PXY, PYZ, PZ}, {PlainXY, PYZ}, {PYZ, PZ}, {PlainXY}}
if STORM then
  -- Aggregates, a running total, pairs, inputs bound to a value (Y's
  -- through its type class's "Equals"), a slave input, asynchronous procs.
  local bound = {X(3), newY(3)}
  for _, b in ipairs(bound) do _LockGC(b) end
  local PAgg = ptype("storm.PAgg", {-1, X}, Y)
  local PTotal = ptype("storm.PTotal", {-1, Y, "o", Z}, Z)
  local PTwo = ptype("storm.PTwo", {2, X}, Z)
  local PBoundX = ptype("storm.PBoundX", {bound[1]}, Y)
  local PBoundY = ptype("storm.PBoundY", {bound[2]}, Z)
  local PSlave = ptype("storm.PSlave", {X, "s", Y}, Z)
  local PAsyncXY = ptype("storm.PAsyncXY", X, Y)
  local PAsyncAgg = ptype("storm.PAsyncAgg", {-1, Y}, Z)
  if ASYNC then
    PAsyncXY.IsAsync = true
    PAsyncAgg.IsAsync = true
  end
  for _, shape in ipairs({{PAgg, PTotal}, {PTwo, PZ}, {PBoundX, PYZ}, {PBoundY, PZ}, {PSlave}, {PXY, PSlave},
                          {PAsyncXY, PYZ}, {PAsyncAgg}, {PXY, PAsyncAgg}, {PAgg, PAsyncAgg, PZ}}) do
    shapes[#shapes + 1] = shape
  end
end

local realmHooks = {"OnRunnerProcExecuted", "OnOutputDataToEnv", "OnCellToBeFinish", "OnRunnerExecuted",
                    "OnRunnerBeforeExecuted", "OnRunnerProcBeforeExecuted", "OnCellFinish", "OnAfterExecute"}

-- What a freed object's free callback does.
local freeTarget = HOOKS and hold(_New(_Object)) or nil
if HOOKS then
  _LockGC(freeTarget)
  function freeTarget:OnFreeCallback(o)
    if rnd(3) == 1 then
      if FREE_FULL then
        -- Anything, to the object being freed too.
        chaos("OnFreeCallback")
        return
      end
      -- Frees and clears anything but the object being freed.
      local saved = cur
      cur = {realm = cur.realm ~= o and cur.realm or nil, cell = cur.cell ~= o and cur.cell or nil,
             runner = cur.runner, proc = cur.proc ~= o and cur.proc or nil}
      chaos("OnFreeCallback", true)
      cur = saved
    end
  end
end

-- A storm's own proc types and chains, which its deeds may free.
local ptypes, chains, typeSerial = {}, {}, 0
local function subType(P)
  typeSerial = typeSerial + 1
  local ok, S = pcall(P.CreateSubType, P, "storm.sub" .. typeSerial)
  if not ok or S == nil then return P end
  keep(S)
  ptypes[#ptypes + 1] = S
  S.IsAsync = P.IsAsync
  -- hears of every proc made from it, the runners' copies too
  if rnd(3) == 1 then pcall(S.RegCallBack, S, freeTarget) end
  return S
end
local equalStamps -- below

local function newCell(realm, i, c)
  local cell = keep(_New(QZCellBase))
  _SetName(cell, "chaos.cell" .. i .. "." .. c)
  for _ = 1, rnd(1, 2) do
    local shape = shapes[rnd(#shapes)]
    local chain = keep(_New(QZProcChainBase))
    local procs = {}
    for j, P in ipairs(shape) do
      if STORM and P ~= PlainXY and rnd(2) == 1 then P = subType(P) end
      procs[j] = keep(P == PlainXY and _New(P) or P())
    end
    if HOOKS then pcall(procs[1].RegCallBack, procs[1], freeTarget) end
    if STORM then
      chains[#chains + 1] = chain
      if rnd(2) == 1 then pcall(chain.RegCallBack, chain, freeTarget) end
    end
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

local function newRealm(i)
  local realm = keep(_New(QZRealmBase))
  _SetName(realm, "chaos.realm" .. i)
  realm.CreateFrameData = rnd(2) == 1
  realm.TraceFlag = rnd(2) == 1
  if STORM and rnd(3) == 1 then
    -- records trimmed at every cycle
    realm.ActiveLength = rnd(1, 4)
  end
  for c = 1, rnd(1, 2) do newCell(realm, i, c) end
  if HOOKS or rnd(2) == 1 then
    for _, hook in ipairs(realmHooks) do
      realm[hook] = function(self, a, b, c)
        if alive(self) then cur.realm = self end
        if STORM then
          -- the storm strikes what the event is about
          local procArg = (hook == "OnRunnerProcExecuted" or hook == "OnRunnerProcBeforeExecuted") and c or
                          (hook == "OnOutputDataToEnv" and b) or nil
          cur = {realm = cur.realm, cell = hook ~= "OnAfterExecute" and a or nil,
                 runner = hook:find("Runner", 1, true) and b or nil, proc = procArg}
        end
        if EQUAL_STAMPS and hook == "OnRunnerBeforeExecuted" and rnd(4) == 1 then
          -- two data put into the cell under one stamp
          pcall(equalStamps, a, self, true)
        end
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

-- ---- a storm's deeds ----
local function itemsOf(pkg)
  local out = {}
  if pkg == nil then return out end
  for i = 0, pkg:_Count() - 1 do
    local o = pkg:_Get(i)
    if o ~= nil then out[#out + 1] = o end
  end
  return out
end
local function pick(list)
  if #list == 0 then return nil end
  return list[rnd(#list)]
end
local function envOf(holder)
  if not alive(holder) then return {} end
  local ok, q = pcall(holder.GetEnvDataQueue, holder)
  if not ok then return {} end
  return itemsOf(q)
end
local function cellOf(realm)
  if alive(cur.cell) and rnd(4) > 1 then return cur.cell end
  if alive(realm) then
    local ok, q = pcall(realm.GetCell, realm)
    if ok then return pick(itemsOf(q)) end
  end
  return nil
end
local function otherRealm(realm)
  local o = realms[rnd(#realms)]
  if alive(o) and o ~= realm then return o end
  return nil
end
local function typeOf(d)
  local ok, t = pcall(d.GetType, d)
  return ok and t or nil
end
-- Gives a datum of the holder's env (a cell or a realm) the stamps of
-- another of its type: two waiting data under one stamp. With add, two new
-- data come first.
function equalStamps(holder, realm, add)
  if not alive(holder) then return end
  if add then
    local F = ({X, Y, Z})[rnd(3)]
    local a, b = made1(F, rnd(4)), made1(F, rnd(4))
    if holder == realm then
      realm:AddEnvData(a, b)
    elseif alive(realm) then
      holder:AddEnvData(realm, a, b)
    end
  end
  local env = envOf(holder)
  local first = env[#env]
  if add then first = env[#env - 1] end
  if first == nil then first = pick(env) end
  if first == nil then return end
  local t = typeOf(first)
  for j = #env, 1, -1 do
    local d = env[j]
    if d ~= first and typeOf(d) == t then
      d.ScheduleTickCount = first.ScheduleTickCount
      d.SequenceIndex = first.SequenceIndex
      return
    end
  end
end
-- Input items of a proc (records of the inputs' data, with change flags).
local function inputItems(proc)
  local out = {}
  if not alive(proc) then return out end
  pcall(function()
    for _, input in ipairs(itemsOf(_Children(proc, "InputQueue"))) do
      for _, item in ipairs(itemsOf(_Children(input, "DataQueue"))) do out[#out + 1] = item end
    end
  end)
  return out
end
local function isPType(o)
  for _, P in ipairs(ptypes) do
    if P == o then return true end
  end
  return false
end

-- Each deed: {safe in a free callback, function(realm)}; realm is the run's
-- realm while it lives.
local stormActs = {
  {true, function() -- an object of the run freed
    local names = {"realm", "cell", "runner", "proc"}
    local o = cur[names[rnd(#names)]]
    if alive(o) then _Free(o) end
  end},
  -- (Not in free callbacks, unless they do everything: a proc type or a
  -- chain may be what the proc being freed was made from.)
  {false, function() -- a chain freed
    local c = pick(chains)
    if alive(c) then _Free(c) end
  end},
  {false, function() -- a proc type freed, with its procs: the running one's first
    local P = alive(cur.proc) and cur.proc:GetType() or nil
    if P == nil or not isPType(P) or rnd(2) == 1 then P = pick(ptypes) end
    if alive(P) then _Free(P) end
  end},
  {false, function(realm) -- reset
    if realm then realm:Reset(rnd(2) == 1) end
  end},
  {true, function(realm) -- env cleared
    if realm then realm:ClearEnvData() end
  end},
  {true, function() -- the cell's env cleared
    if alive(cur.cell) then cur.cell:ClearEnvData() end
  end},
  {false, function(realm) -- a run inside the run, of this realm or another
    local r = rnd(3) == 1 and otherRealm(realm) or realm
    for _ = 1, rnd(1, 3) do
      if not alive(r) then break end
      local ok, more = pcall(r.ExecuteOnce, r)
      if not ok or not more then break end
    end
  end},
  {false, function(realm) -- fed
    if realm then realm:AddEnvData(made1(({X, Y, Z})[rnd(3)], rnd(4))) end
  end},
  {false, function(realm) -- the cell fed
    local cell = cellOf(realm)
    if cell and realm then cell:AddEnvData(realm, made1(({X, Y, Z})[rnd(3)], rnd(4))) end
  end},
  {false, function() -- resumed
    local names = {"realm", "cell", "runner", "proc"}
    local o = cur[names[rnd(#names)]]
    if alive(o) then o:Resume() end
  end},
  {false, function(realm)
    if realm then realm:ResetExecuteOnce() end
  end},
  {true, function() -- collected
    _CollectGarbage()
    collectgarbage("collect")
  end},
  {true, function(realm) -- a waiting datum freed
    local d = pick(envOf(rnd(2) == 1 and cellOf(realm) or realm))
    if alive(d) then _Free(d) end
  end},
  {false, function(realm) -- a datum moved to another realm, or from the cell to the realm
    local other = otherRealm(realm)
    if rnd(2) == 1 and other then
      local d = pick(envOf(realm))
      if d then other:CaptureEnvData(d) end
    else
      local cell = cellOf(realm)
      local d = pick(envOf(cell))
      if d and realm then realm:CaptureEnvData(d) end
    end
  end},
  {true, function() -- a datum of the proc's inputs freed
    local d = pick(inputsOf(cur.proc))
    if alive(d) then _Free(d) end
  end},
  {false, function(realm) -- a report inside the report
    if realm then
      local plain = _New(_Object)
      pcall(function() realm:AddEnvData(plain, X(1)) end)
      _Free(plain)
    end
  end},
  {true, function(realm) -- two waiting data under one stamp
    if EQUAL_STAMPS then equalStamps(rnd(2) == 1 and cellOf(realm) or realm, realm, false) end
  end},
  {false, function(realm) -- two new data under one stamp
    if EQUAL_STAMPS then equalStamps(rnd(2) == 1 and cellOf(realm) or realm, realm, true) end
  end},
  {true, function(realm) -- stamps written
    local list = rnd(2) == 1 and inputsOf(cur.proc) or envOf(rnd(2) == 1 and cellOf(realm) or realm)
    local d = pick(list)
    if alive(d) then
      local tick = realm and realm.ScheduleTickCount or 3
      d.ScheduleTickCount = rnd(0, tick + 1)
      d.SequenceIndex = rnd(0, 4)
    end
  end},
  {true, function(realm) -- change flags written
    local proc = cur.proc
    if not alive(proc) and alive(cur.runner) then
      pcall(function() proc = _FromID(cur.runner.QZProcStart) end)
    end
    for _, item in ipairs(inputItems(proc)) do
      if rnd(2) == 1 then item.ChangeFlag = rnd(3) > 1 end
    end
  end},
  {true, function(realm) -- active records trimmed
    if not realm then return end
    local k = rnd(5)
    if k == 1 then
      realm.ActiveLength = rnd(1, 4)
    elseif k == 2 then
      local d = pick(envOf(realm))
      if d then realm:DeactiveObject(d, rnd(0, 1)) end
    elseif k == 3 then
      local d = pick(envOf(realm)) or cur.proc
      if alive(d) then realm:SetExtraActiveCount(d, rnd(0, 3)) end
    elseif k == 4 then
      realm:UpdateActiveCount()
    else
      realm:GetActiveObject(nil, 0.5, 3)
    end
  end},
  {true, function(realm) -- records dropped
    if realm then realm:DeactiveAll(rnd(2) == 1 and 0 or realm.ScheduleTickCount) end
  end},
  {false, function(realm) -- synchronised from another realm, or another from this
    local other = otherRealm(realm)
    if not (realm and other) then return end
    if rnd(2) == 1 then
      realm:SyncFrom(other, rnd(2) == 1)
    else
      other:SyncFrom(realm, rnd(2) == 1)
    end
  end},
  {false, function(realm) -- a cell moved
    local cell = cellOf(realm)
    if not (cell and realm) then return end
    local other = otherRealm(realm)
    local k = rnd(4)
    if k == 1 and other then
      other:MoveToCellQueue(cell)
    elseif k == 2 and other then
      other:MoveToCellLibrary(cell)
    elseif k == 3 then
      realm:MoveToCellLibrary(cell)
    else
      realm:RemoveCell(cell)
    end
  end},
  {false, function(realm) -- a datum handed to a cell, or to a new proc
    local d = pick(envOf(realm))
    if not (d and realm) then return end
    if rnd(2) == 1 then
      realm:EnvDataToCell(d)
    else
      local shape = shapes[rnd(#shapes)]
      local P = shape[1]
      realm:EnvDataToProc(d, keep(P == PlainXY and _New(P) or P()))
    end
  end},
  {false, function() -- a type class at work
    local a, b = newY(rnd(2)), newY(rnd(2))
    pcall(a.Equals, a, b)
    pcall(tostring, a)
    pcall(b.GetDataBuf, b)
    pcall(a.Dup, a)
  end},
}
local stormSafe = {}
for k, act in ipairs(stormActs) do
  if act[1] then stormSafe[#stormSafe + 1] = k end
end
function storm(why, freeing)
  local k = freeing and stormSafe[rnd(#stormSafe)] or rnd(#stormActs)
  local realm = alive(cur.realm) and cur.realm or nil
  if TRACE then io.stderr:write("  storm " .. k .. " on " .. tostring(why) .. "\n") end
  stormActs[k][2](realm)
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
  if STORM and alive(realm) then
    -- a storm takes cells away: new ones come, so that procs run
    local ok, n = pcall(function() return realm:GetCell():_Count() end)
    if ok and n < 2 and rnd(2) == 1 then newCell(realm, i, 10 + round) end
  end
  for _ = 1, rnd(0, 2) do
    local F = ({X, Y, Z})[rnd(3)]
    pcall(function()
      local d = STORM and made1(F, rnd(4)) or F(round)
      if HOOKS and rnd(3) == 1 then d:RegCallBack(freeTarget) end
      realm:AddEnvData(d)
    end)
  end
  if EQUAL_STAMPS and rnd(4) == 1 then
    -- two of the data waiting under one stamp
    pcall(equalStamps, realm, realm, false)
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
if STORM then
  -- asynchronous workers still under way find their procs gone
  for _ = 1, 20 do _Yield(1) end
end
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
print(string.format((STORM and "storm" or HOOKS and "hook" or "report") .. " chaos seed %d: %d rounds, %d steps, %d reports, %d deeds, %d executes", SEED, ROUNDS, runs,
                    reports, acts, executes))
T.finish("sched_report_chaos")
