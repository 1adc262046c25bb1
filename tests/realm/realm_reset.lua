-- Reset and Clear on idle, finished and ready-cell realms (events, data
-- handed back by the ended cell and then dropped, no learning from a reset
-- cell, active records kept or dropped), AddProc, and the forms of
-- EnvDataToProc with the locks they leave.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local before = T.counts()
local Number = QZDataBase:CreateType("reset.Number")
local Twice = QZDataBase:CreateType("reset.Twice")
local Double = QZProcBase:CreateSubType("reset.Double")
Double:InputFrom(Number)
Double:OutputFrom(Twice)
local CT = QZCellBase:CreateType("reset.CT")

local function chainOf(...)
  local c = _New(QZProcChainBase)
  local procs = {}
  for i, P in ipairs({...}) do procs[i] = P() end
  T.check(c:FromPara(table.unpack(procs)), "chain built")
  return c
end

-- A realm holding a cell of the type CT that runs Double, with every event
-- that a reset may call written down.
local function watchedRealm(name)
  local realm = T.named(_New(QZRealmBase), name)
  local events = {}
  realm.OnStopIdle = function() events[#events + 1] = "OnStopIdle" end
  realm.OnCellFinish = function(self, cell, ok)
    events[#events + 1] = "realm.OnCellFinish(" .. tostring(ok) .. "," .. self:GetEnvDataQueue():_Count() .. ")"
  end
  realm:AddCell(CT)
  local cell = realm:GetCell():_Get(0)
  local chain = chainOf(Double)
  T.check(cell:AddProc(chain), name .. ": chain added to the cell")
  cell.IsReady = false
  cell.OnCellFinish = function(self, r, ok) events[#events + 1] = "cell.OnCellFinish(" .. tostring(ok) .. ")" end
  return realm, cell, chain, events
end

-- Each row: the state the realm is brought into, the call, the events it
-- must hear, and whether the active records survive.
local rows = {
  {"Reset() idle", "idle", function(r) r:Reset() end, "OnStopIdle", true},
  {"Reset() finished", "finished", function(r) r:Reset() end, "", true},
  {"Reset() ready cell", "ready", function(r) r:Reset() end,
   "cell.OnCellFinish(false),realm.OnCellFinish(false,2)", true},
  {"Reset(true) idle", "idle", function(r) r:Reset(true) end, "OnStopIdle", false},
  {"Reset(true) ready cell", "ready", function(r) r:Reset(true) end,
   "cell.OnCellFinish(false),realm.OnCellFinish(false,2)", false},
  {"Clear() idle", "idle", function(r) r:Clear() end, "OnStopIdle", false},
  {"Clear() finished", "finished", function(r) r:Clear() end, "", false},
  {"Clear(true) ready cell", "ready", function(r) r:Clear(true) end,
   "cell.OnCellFinish(false),realm.OnCellFinish(false,2)", false},
}

for _, row in ipairs(rows) do
  local name, state, call, wantEvents, keepsActive = row[1], row[2], row[3], row[4], row[5]
  local realm, cell, chain, events = watchedRealm(name)
  local n = Number(3)
  local cellBase = _RefCount(cell)
  realm:AddEnvData(n, Number(4))
  local first = realm:GetEnvDataQueue():_Get(0)
  local firstBase = _RefCount(first)
  local marker = _New(_Object)
  realm:ActiveObject(1, marker)
  local pkg = realm:GetLocalBuf()
  pkg:_Set(0, "kept?")
  if state == "idle" then
    realm.ExecuteStage = 3
  elseif state == "finished" then
    realm.ExecuteStage = 2
  else
    -- The first datum goes to the cell, which becomes ready; the realm's
    -- own item leaves the realm for it.
    T.eq(realm:EnvDataToCell(first), true, name .. ": the cell takes the datum")
    T.eq(cell.IsReady, true, name .. ": the cell is ready")
    T.eq(cell:GetEnvDataQueue():_Count(), 1, name .. ": the cell holds its copy")
    T.eq(_Parent(first), nil, name .. ": the realm's item left the realm")
    realm.ExecuteStage = 1
  end
  realm.ErrorCount = 5
  call(realm)
  -- Copies let go live on until a collection point; they name their model.
  collectgarbage("collect")
  _CollectGarbage()
  T.eq(table.concat(events, ","), wantEvents, name .. ": events")
  T.eq(realm.ExecuteStage, 0, name .. ": stage back to not started")
  T.eq(realm.ErrorCount, 0, name .. ": errors zeroed")
  T.eq(realm:GetEnvDataQueue():_Count(), 0, name .. ": environment emptied (data handed back are dropped too)")
  T.eq(_Parent(first), nil, name .. ": the first datum detached")
  -- Its realm lock goes, and with Reset(true) the active record's as well.
  T.eq(_RefCount(first), firstBase - (keepsActive and 1 or 2), name .. ": and its locks released")
  T.eq(cell:GetEnvDataQueue():_Count(), 0, name .. ": the cell's environment emptied")
  T.eq(cell.IsReady, false, name .. ": the cell not ready")
  T.eq(#T.items(Number:GetAccept()) + #T.items(Number:GetReject()), 0, name .. ": a reset cell teaches nothing")
  T.eq(realm:GetActiveObject(nil, 1.0, 0):_Count(), keepsActive and 3 or 0, name .. ": active records (two items and the marker)")
  local clears = name:find("Clear") ~= nil
  T.eq(realm:GetCell():_Count(), clears and 0 or 1, name .. ": cells")
  T.eq(_RefCount(cell), clears and cellBase - 1 or cellBase, name .. ": the cell's lock")
  T.eq(pkg:_Count(), name:find("Clear%(true%)") and 0 or 1, name .. ": local package items")
  T.eq(realm:GetFactHistory() ~= nil, true, name .. ": histories stay")
  if clears then _Free(cell) end
  _Free(realm)
  _Free(chain)
  _Free(marker)
  first = nil
  collectgarbage("collect")
  _CollectGarbage()
  _Free(n)
end

-- Clear also empties the library and keeps rules.
do
  local realm = _New(QZRealmBase)
  local lib, q = _New(QZCellBase), _New(QZCellBase)
  local R = QZRuleBase:CreateType("reset.R")
  local rule = R()
  local libBase, qBase, ruleBase = _RefCount(lib), _RefCount(q), _RefCount(rule)
  realm:AddCellLibrary(lib)
  realm:AddCell(q)
  realm:AddRule(rule)
  realm:Clear()
  T.eq(realm:GetCell():_Count() + realm:GetCellLibrary():_Count(), 0, "Clear: no cell left")
  T.eq(_RefCount(lib) + _RefCount(q), libBase + qBase, "Clear: both cells' locks given back")
  T.eq(_Parent(lib), nil, "Clear: the library cell detached")
  T.eq(realm:GetRule():_Count(), 1, "Clear keeps the rules")
  T.eq(_RefCount(rule), ruleBase + 1, "and their lock")
  _Free(realm)
  _Free(lib) _Free(q) _Free(rule) _Free(R)
end

-- AddProc: a new cell of chains, or nothing at all.
do
  local realm = T.named(_New(QZRealmBase), "addproc")
  local p, chain = Double(), chainOf(Double)
  T.eq(realm:AddProc(p, chain), true, "AddProc with a proc and a chain")
  local cells = T.items(realm:GetCell())
  T.eq(#cells, 1, "one cell added")
  T.eq(cells[1] and cells[1]:GetProcChainQueue():_Count(), 2, "holding two chains")
  T.eq(cells[1] and cells[1].IsReady, false, "the cell is not made ready")
  local d = Number(1)
  T.errors()
  T.eq(realm:AddProc(p, d), false, "AddProc with a datum fails")
  local got = T.errors()
  T.check(#got == 1 and got[1]:find("'s function \"AddProc\" , the input [", 1, true) ~= nil and got[1]:find("] is not proc or proc chain", 1, true) ~= nil,
          "AddProc names the refused argument: " .. table.concat(got, " | "))
  T.eq(realm:GetCell():_Count(), 1, "a failed AddProc leaves no cell")
  _Free(realm)
  _Free(p) _Free(chain) _Free(d)
  -- A cell no script ever saw goes with its realm (the count at the end).
  local unseen = _New(QZRealmBase)
  T.eq(unseen:AddProc(Double()), true, "AddProc on a realm about to go")
  _Free(unseen)
end

-- EnvDataToProc: each form of the cell, and where the data and the cell end.
do
  local realm = T.named(_New(QZRealmBase), "todproc")
  local p, chain = Double(), chainOf(Double)
  local lib = _New(QZCellBase)
  T.check(lib:AddProc(chainOf(Double)), "library cell has a chain")
  lib.IsReady = false
  realm:AddCellLibrary(lib)
  local other = _New(QZRealmBase)
  local stray = _New(QZCellBase)
  stray.IsReady = false
  other:AddCell(stray)
  local strayBase = _RefCount(stray) - 1
  local libBase = _RefCount(lib)
  -- Each row: the arguments after the data, what the queue holds new, and
  -- the checks on the cell that took the data.
  local rows = {
    {"a cell type", function() return CT end, function(c) return _Class(c) == CT end},
    {"a library cell", function() return lib end, function(c)
       return c == lib and _RefCount(lib) == libBase and realm:GetCellLibrary():_Count() == 0 end},
    {"a proc", function() return Double() end, function(c) return c:GetProcChainQueue():_Count() == 1 end},
    {"a chain", function() return chainOf(Double) end, function(c) return c:GetProcChainQueue():_Count() == 1 end},
    {"two procs", function() return Double(), chainOf(Double) end, function(c) return c:GetProcChainQueue():_Count() == 2 end},
    {"another realm's queued cell", function() return stray end, function(c)
       return c == stray and _RefCount(stray) == strayBase + 1 and other:GetCell():_Count() == 0 end},
  }
  local kept = {} -- the data the copies were made from, freed last
  for _, row in ipairs(rows) do
    local name = "EnvDataToProc with " .. row[1]
    local known = {}
    for _, c in ipairs(T.items(realm:GetCell())) do known[c] = true end
    local d = Number(7)
    T.eq(realm:EnvDataToProc(d, row[2]()), true, name)
    local new = nil
    for _, c in ipairs(T.items(realm:GetCell())) do if not known[c] then new = c end end
    T.check(new ~= nil, name .. ": a cell entered the queue")
    if new then
      T.eq(new.IsReady, true, name .. ": ready")
      T.eq(new:GetEnvDataQueue():_Count(), 1, name .. ": holding the datum")
      T.check(_Class(new:GetEnvDataQueue():_Get(0)) == d, name .. ": a copy made from it")
      T.check(row[3](new), name .. ": the cell")
    end
    kept[#kept + 1] = d
  end
  local count = realm:GetCell():_Count()
  -- Refusals: no cell left behind, a given cell left where it was.
  local refusals = {
    {"an empty package", function() return _Pkg(), p end},
    {"a package with a non-datum", function() return _Pkg(Number(1), _New(_Object)), CT end},
    {"a non-datum object", function() return _New(_Object), p end},
    {"nil as the cell", function() return Number(1), nil end},
    {"a datum as the cell", function() return Number(1), Number(2) end},
    {"a datum among the procs", function() return Number(1), p, Number(2) end},
    {"no cell", function() return Number(1) end},
  }
  local qBase = _RefCount(stray)
  for _, row in ipairs(refusals) do
    T.errors()
    T.eq(realm:EnvDataToProc(row[2]()), false, "EnvDataToProc with " .. row[1] .. " fails")
    T.eq(realm:GetCell():_Count(), count, "EnvDataToProc with " .. row[1] .. ": no cell left")
  end
  T.errors()
  T.eq(realm:EnvDataToProc(_Pkg(), stray), false, "an empty package with a given cell fails")
  T.eq(_Parent(stray), realm, "the given cell stays where it was")
  T.eq(_RefCount(stray), qBase, "with its one lock")
  _Free(realm)
  T.eq(_RefCount(stray), strayBase, "every lock back once the realm is freed")
  _Free(other) _Free(stray) _Free(lib) _Free(p) _Free(chain)
  for _, d in ipairs(kept) do _Free(d) end
end

_Free(CT) _Free(Double) _Free(Twice) _Free(Number)
CT, Double, Twice, Number = nil, nil, nil, nil
T.balanced(before, "reset")
T.finish("realm_reset")
