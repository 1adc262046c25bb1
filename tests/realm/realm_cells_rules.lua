-- Cell queue, cell library and rules: where an object ends up after a
-- sequence of calls and how many locks it then holds (exactly one while any
-- realm holds it), cell types, removal and listings.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local before = T.counts()
local R = QZRuleBase:CreateType("cells.R")
local R2 = QZRuleBase:CreateType("cells.R2")

-- Each row: a sequence of calls (realm "r" or "s", function name), then
-- where the object is ("queue", "library", "rules" of realm r or s, or nil),
-- the locks the realms hold on it and, for cells, the ready flag (nil: not
-- looked at).
local rows = {
  {"AddCell", {{"r", "AddCell"}}, "r.queue", 1, true},
  {"AddCell twice", {{"r", "AddCell"}, {"r", "AddCell"}}, "r.queue", 1, true},
  {"AddCellLibrary then AddCell", {{"r", "AddCellLibrary"}, {"r", "AddCell"}}, "r.queue", 1, true},
  {"AddCell then AddCellLibrary", {{"r", "AddCell"}, {"r", "AddCellLibrary"}}, "r.library", 1, true},
  {"AddCellLibrary twice", {{"r", "AddCellLibrary"}, {"r", "AddCellLibrary"}}, "r.library", 1, true},
  {"MoveToCellLibrary", {{"r", "MoveToCellLibrary"}}, "r.library", 1, false},
  {"MoveToCellLibrary then MoveToCellQueue", {{"r", "MoveToCellLibrary"}, {"r", "MoveToCellQueue"}}, "r.queue", 1, true},
  {"MoveToCellQueue twice", {{"r", "MoveToCellQueue"}, {"r", "MoveToCellQueue"}}, "r.queue", 1, true},
  {"AddCell then MoveToCellLibrary", {{"r", "AddCell"}, {"r", "MoveToCellLibrary"}}, "r.library", 1, true},
  {"taken by AddCell from another realm", {{"s", "AddCell"}, {"r", "AddCell"}}, "r.queue", 1, true},
  {"taken by AddCellLibrary from another realm", {{"s", "AddCell"}, {"r", "AddCellLibrary"}}, "r.library", 1, true},
  {"taken by MoveToCellQueue from another library", {{"s", "AddCellLibrary"}, {"r", "MoveToCellQueue"}}, "r.queue", 1, true},
  {"taken by MoveToCellLibrary from another queue", {{"s", "AddCell"}, {"r", "MoveToCellLibrary"}}, "r.library", 1, true},
  {"AddCell then RemoveCell", {{"r", "AddCell"}, {"r", "RemoveCell"}}, nil, 0, true},
  {"AddCellLibrary then RemoveCellLibrary", {{"r", "AddCellLibrary"}, {"r", "RemoveCellLibrary"}}, nil, 0, true},
  {"RemoveCellLibrary of a queued cell", {{"r", "AddCell"}, {"r", "RemoveCellLibrary"}}, "r.queue", 1, true},
  {"RemoveCell by another realm", {{"s", "AddCell"}, {"r", "RemoveCell"}}, "s.queue", 1, true},
  {"AddRule", {{"r", "AddRule"}}, "r.rules", 1},
  {"AddRule twice", {{"r", "AddRule"}, {"r", "AddRule"}}, "r.rules", 1},
  {"AddRule taken from another realm", {{"s", "AddRule"}, {"r", "AddRule"}}, "r.rules", 1},
  {"AddRule then RemoveRule", {{"r", "AddRule"}, {"r", "RemoveRule"}}, nil, 0},
  {"AddRule then RemoveCell", {{"r", "AddRule"}, {"r", "RemoveCell"}}, nil, 0},
  {"RemoveRule by another realm", {{"s", "AddRule"}, {"r", "RemoveRule"}}, "s.rules", 1},
}

local function whereIs(obj, realms)
  for rname, realm in pairs(realms) do
    for qname, pkg in pairs({queue = realm:GetCell(), library = realm:GetCellLibrary(), rules = realm:GetRule()}) do
      for _, o in ipairs(T.items(pkg)) do
        if o == obj then return rname .. "." .. qname end
      end
    end
  end
  return nil
end

for _, row in ipairs(rows) do
  local name, calls, where, locks, ready = row[1], row[2], row[3], row[4], row[5]
  local isRule = calls[1][2]:find("Rule") ~= nil or (calls[2] and calls[2][2] == "AddRule")
  local obj = isRule and R() or _New(QZCellBase)
  if not isRule then obj.IsReady = false end
  local base = _RefCount(obj)
  local realms = {r = _New(QZRealmBase), s = _New(QZRealmBase)}
  for _, call in ipairs(calls) do
    local realm = realms[call[1]]
    realm[call[2]](realm, obj)
  end
  T.eq(whereIs(obj, realms), where, name .. ": place")
  T.eq(_RefCount(obj) - base, locks, name .. ": locks held by the realms")
  if ready ~= nil then T.eq(obj.IsReady, ready, name .. ": ready flag") end
  _Free(realms.r)
  _Free(realms.s)
  T.eq(_RefCount(obj), base, name .. ": every lock back after the realms are freed")
  T.eq(_Parent(obj), nil, name .. ": detached after the realms are freed")
  _Free(obj)
end

-- A queued cell that is not ready stays not ready on MoveToCellQueue.
do
  local r, cell = _New(QZRealmBase), _New(QZCellBase)
  r:AddCell(cell)
  cell.IsReady = false
  r:MoveToCellQueue(cell)
  T.eq(cell.IsReady, false, "MoveToCellQueue leaves a queued cell's ready flag alone")
  _Free(r)
  _Free(cell)
end

-- Cell types (each AddCell puts a new ready instance in, the type stays
-- out) are covered by the internal tests: scripts make cell types with the
-- cell functions only.

-- Other arguments: a data item removed by RemoveCell, wrong classes ignored.
do
  local D = QZDataBase:CreateType("cells.D")
  local r = _New(QZRealmBase)
  r:AddEnvData(D(1))
  local item = r:GetEnvDataQueue():_Get(0)
  r:RemoveCell(item)
  T.eq(r:GetEnvDataQueue():_Count(), 0, "RemoveCell takes an env item out as well")
  T.eq(_Parent(item), nil, "and detaches it")
  local d = D(2)
  for _, f in ipairs({"AddCell", "AddCellLibrary", "MoveToCellQueue", "MoveToCellLibrary", "AddRule"}) do
    r[f](r, d)
    r[f](r, nil)
    r[f](r, QZCellBase)
  end
  T.eq(r:GetCell():_Count() + r:GetCellLibrary():_Count() + r:GetRule():_Count(), 0,
       "data, nil and class objects are ignored")
  T.eq(_Parent(d), nil, "the datum was not taken in")
  item = nil
  _Free(r)
  _Free(d)
  _Free(D)
end

-- Rule listings.
do
  local r = _New(QZRealmBase)
  local r1, r2, t = T.named(R(), "r1"), T.named(R2(), "r2"), R2
  r:AddRule(r1)
  r:AddRule(r2)
  r:AddRule(t) -- a rule type is taken as it is
  T.eq(T.names(r:GetRule()), "r1,r2,cells.R2", "GetRule() lists every rule in queue order")
  T.eq(T.names(r:GetRule(R2)), "r2", "GetRule(type) lists its instances")
  T.eq(T.names(r:GetRule(QZRuleBase)), "r1,r2,cells.R2", "GetRule(QZRuleBase) lists every rule")
  T.eq(r:GetRule(QZDataBase):_Count(), 0, "GetRule of a data class is empty")
  T.eq(r:GetRule(_New(_Object)):_Count(), 0, "GetRule of a plain object is empty")
  _Free(r)
  _Free(r1)
  _Free(r2)
end

_Free(R2)
_Free(R)
R, R2 = nil, nil
T.balanced(before, "cells and rules")
T.finish("realm_cells_rules")
