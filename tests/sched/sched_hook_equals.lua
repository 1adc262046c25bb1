-- A data type class's "Equals" is a script: it may free the proc, cell or
-- realm of the run, or the data being compared, while the module walks a
-- queue. Each case makes one value comparison happen (output placement, an
-- input bound to a value, a cell's equal env datum, grouping equal data) and
-- has the hook free one object right then. The module must stop cleanly: no
-- freed object handed to the host, no lock let go below zero, no lock
-- violation, nothing left behind.
local T = dofile(arg[1] .. "/sched_testlib.lua")
local alive = T.alive

local V = QZDataBase:CreateType("he.V")
local Seed = QZDataBase:CreateType("he.Seed")
local hook -- what the hook does, once
local tc = T.scriptedTypeClass(V, function(a, b)
  if hook then
    local h = hook
    hook = nil
    h()
  end
  return alive(a) and alive(b) and a.x == b.x
end)
function tc:ToString(v) return "v" .. tostring(v.x) end

local misuse = {"InvalidObjects", "UnlockAtZero", "LockViolations"}
local cur = {}

-- Emits two equal data: the second is compared with the first.
local Twice = QZProcBase:CreateSubType("he.Twice")
Twice:InputFrom(Seed)
Twice:OutputFrom(V)
function Twice:Execute(realm, cell, runner)
  if self.Status < 0 then return end
  cur.realm, cur.cell, cur.runner, cur.proc = realm, cell, runner, self
  local input = self:GetInput(0)
  pcall(function()
    cur.held = V(7)
    self:AddOutputData(cur.held)
    self:AddOutputData(V(7))
  end)
  if alive(self) and input ~= nil then pcall(self.AcceptInput, self, input) end
  return 0
end

-- Takes only data equal to V(7): the hand-out's and the run's value tests.
local Bound = QZProcBase:CreateSubType("he.Bound")
local wanted = V(7)
_LockGC(wanted)
Bound:InputFrom(wanted)
function Bound:Execute(realm, cell, runner)
  if self.Status < 0 then return end
  local input = self:GetInput(0)
  if input ~= nil then pcall(self.AcceptInput, self, input) end
  return 0
end

local function world(P, feed)
  local realm = _New(QZRealmBase)
  local cell = _New(QZCellBase)
  local proc = P()
  cell:AddProc(proc)
  realm:AddCell(cell)
  cur = {realm = realm, cell = cell, proc = proc}
  realm:AddEnvData(feed())
  return realm, cell, proc
end

local function run(realm)
  for _ = 1, 6 do
    local ok, more = pcall(function() return realm:ExecuteOnce() end)
    if not ok or not more or not alive(realm) then break end
  end
end

local function freeing(name)
  return function()
    if alive(cur[name]) then _Free(cur[name]) end
  end
end

-- {what, the world's proc type, what it is fed, what the hook frees, the deed}
local cases = {}
for _, target in ipairs({"proc", "cell", "realm", "held"}) do
  cases[#cases + 1] = {"output placement", Twice, function() return Seed(1) end, target}
end
for _, target in ipairs({"proc", "cell", "realm", "fed"}) do
  cases[#cases + 1] = {"input bound to a value", Bound, function()
    cur.fed = V(7)
    return cur.fed
  end, target}
end

for _, c in ipairs(cases) do
  local what, P, feed, target = c[1], c[2], c[3], c[4]
  local label = what .. ", " .. target .. " freed by Equals"
  local before = T.counts()
  local misuseBefore = {}
  for _, k in ipairs(misuse) do misuseBefore[k] = T.stat(k) end
  do
    local realm = world(P, feed)
    hook = freeing(target)
    run(realm)
    T.eq(hook, nil, label .. ": the hook ran")
    hook = nil
    for _, o in ipairs({cur.realm, cur.cell, cur.proc, cur.runner, cur.held, cur.fed}) do
      if alive(o) then pcall(_Free, o) end
    end
    cur = {}
  end
  T.errors()
  for _, k in ipairs(misuse) do T.eq(T.stat(k), misuseBefore[k], label .. ": host counted " .. k) end
  T.balanced(before, label)
end

-- Walks a script asks for directly: a cell's equal env datum, and grouping
-- equal data. The hook frees the object walked or the data compared.
local walks = {
  {"GetEqualData, the cell freed", function(cell, a, b, d)
    hook = function() _Free(cell) end
    return pcall(cell.GetEqualData, cell, d)
  end},
  {"GetEqualData, the env datum freed", function(cell, a, b, d)
    hook = function()
      local env = cell:GetEnvDataQueue()
      for i = 0, env:_Count() - 1 do _Free(env:_Get(i)) end
    end
    return pcall(cell.GetEqualData, cell, d)
  end},
  {"EqualDataSet, the first datum freed", function(cell, a, b, d)
    hook = function() _Free(a) end
    local p = Twice()
    local ok = pcall(p.EqualDataSet, p, _Pkg(a, b, d))
    _Free(p)
    return ok
  end},
  {"EqualDataSet, the first datum's value replaced", function(cell, a, b, d)
    hook = function() a:SetDataBuf(nil) end
    local p = Twice()
    local ok = pcall(p.EqualDataSet, p, _Pkg(a, b, d))
    _Free(p)
    return ok
  end},
}
for _, w in ipairs(walks) do
  local before = T.counts()
  local misuseBefore = {}
  for _, k in ipairs(misuse) do misuseBefore[k] = T.stat(k) end
  do
    local realm = _New(QZRealmBase)
    local cell = _New(QZCellBase)
    realm:AddCell(cell)
    local a, b, d = V(7), V(7), V(7)
    cell:AddEnvData(realm, a, b)
    w[2](cell, a, b, d)
    T.eq(hook, nil, w[1] .. ": the hook ran")
    hook = nil
    for _, o in ipairs({realm, cell, a, b, d}) do
      if alive(o) then pcall(_Free, o) end
    end
  end
  T.errors()
  for _, k in ipairs(misuse) do T.eq(T.stat(k), misuseBefore[k], w[1] .. ": host counted " .. k) end
  T.balanced(before, w[1])
end

-- Handing one datum to the first cell that takes it (EnvDataToCell): asking
-- a cell whose proc is bound to a value runs "Equals", which frees the cell
-- the walk is at, a later cell, the realm or the datum.
for _, target in ipairs({"cell", "next", "realm", "fed"}) do
  local label = "EnvDataToCell, " .. target .. " freed by Equals"
  local before = T.counts()
  local misuseBefore = {}
  for _, k in ipairs(misuse) do misuseBefore[k] = T.stat(k) end
  do
    local realm = _New(QZRealmBase)
    local cell, nextCell = _New(QZCellBase), _New(QZCellBase)
    cell:AddProc(Bound())
    nextCell:AddProc(Bound())
    realm:AddCell(cell)
    realm:AddCell(nextCell)
    local fed = V(8)
    local objects = {cell = cell, next = nextCell, realm = realm, fed = fed}
    hook = function() _Free(objects[target]) end
    pcall(realm.EnvDataToCell, realm, fed)
    T.eq(hook, nil, label .. ": the hook ran")
    hook = nil
    for _, o in ipairs({realm, cell, nextCell, fed}) do
      if alive(o) then pcall(_Free, o) end
    end
  end
  T.errors()
  for _, k in ipairs(misuse) do T.eq(T.stat(k), misuseBefore[k], label .. ": host counted " .. k) end
  T.balanced(before, label)
end

T.finish("sched_hook_equals")
