-- The default OnBeforeExecute hands each env datum to every queued cell that
-- takes it: by the types its inputs and its chains' first inputs name (a
-- derived datum too), by the value an input is bound to, with one cell or
-- several, and with more wanted types than the hand-out asks the host for
-- one by one. What each cell got and what stayed in the realm is compared.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local A = QZDataBase:CreateType("hand.A")
local B = QZDataBase:CreateType("hand.B")
local C = QZDataBase:CreateType("hand.C")
local D = QZDataBase:CreateType("hand.D")
local SubA = A:CreateType("hand.SubA")
local Other = QZDataBase:CreateType("hand.Other")

local function taking(name, inputs)
  return T.procType(name, inputs, {Other}, function() return 0 end)
end
local TakesA = taking("hand.TakesA", {A})
local TakesB = taking("hand.TakesB", {B})
local TakesC = taking("hand.TakesC", {C})
local TakesD = taking("hand.TakesD", {D})
local TakesSubA = taking("hand.TakesSubA", {SubA})
local TakesA7 = taking("hand.TakesA7", {A(7)})


-- Each case: the cells (each a list of proc types, one chain per type), the
-- data added (in order), and per cell the values of the data it got, then
-- the values left in the realm.
local cases = {
  {"a type and its derived type", {{TakesA}}, {A(1), SubA(2), B(3)}, {{1, 2}}, {3}},
  {"a derived type does not take its base", {{TakesSubA}}, {A(1), SubA(2)}, {{2}}, {1}},
  {"a value-bound input takes that value only", {{TakesA7}}, {A(7), A(8)}, {{7}}, {8}},
  {"bound and plain cells both take a datum", {{TakesA7}, {TakesA}}, {A(7), A(8), B(1)},
   {{7}, {7, 8}}, {1}},
  {"many wanted types in one cell", {{TakesA, TakesB, TakesC, TakesD}},
   {A(1), B(2), C(3), D(4), Other(5), SubA(6)}, {{1, 2, 3, 4, 6}}, {5}},
  {"many wanted types over several cells", {{TakesA, TakesB}, {TakesC, TakesD}, {TakesSubA}},
   {SubA(1), D(2), Other(3), B(4)}, {{1, 4}, {2}, {1}}, {3}},
  {"no cell takes anything", {{TakesB}}, {A(1), Other(2)}, {{}}, {1, 2}},
}

local function values(pkg)
  local out = {}
  for _, d in ipairs(T.items(pkg)) do out[#out + 1] = T.value(d) end
  table.sort(out)
  return table.concat(out, ",")
end

local function sorted(list)
  local copy = {table.unpack(list)}
  table.sort(copy)
  return table.concat(copy, ",")
end

for _, c in ipairs(cases) do
  local name, cellSpecs, data, got, left = table.unpack(c)
  local realm = _New(QZRealmBase)
  _SetName(realm, "hand")
  local made = {realm}
  local cells = {}
  for i, types in ipairs(cellSpecs) do
    local cell = _New(QZCellBase)
    for _, P in ipairs(types) do
      local chain = T.chain(P)
      T.check(cell:AddProc(chain), name .. ": chain added")
      made[#made + 1] = chain
    end
    realm:AddCell(cell)
    cells[i] = cell
    made[#made + 1] = cell
  end
  for _, d in ipairs(data) do realm:AddEnvData(d) end
  T.during(function() realm:OnBeforeExecute() end)
  for i, cell in ipairs(cells) do
    T.eq(values(cell:GetEnvDataQueue()), sorted(got[i]), name .. ": cell " .. i .. " got")
  end
  T.eq(values(realm:GetEnvDataQueue()), sorted(left), name .. ": left in the realm")
  realm:ClearEnvData()
  for i = #made, 1, -1 do _Free(made[i]) end
end

-- The same hand-out inside a run, with many data no cell takes waiting in
-- the realm: the one datum a cell takes still goes through its chain.
do
  local Double = T.procType("hand.Double", {A}, {B}, function(self)
    local n = self:GetInput(0)
    self:AddOutputData(B(T.value(n) * 2))
    self:AcceptInput(n)
    return 0
  end)
  local chain = T.chain(Double)
  local realm, cell = T.realmWith("handrun", chain)
  realm.CreateFrameData = false
  for i = 1, 300 do realm:AddEnvData(Other(i)) end
  realm:AddEnvData(A(21))
  T.during(function() realm:Execute() end)
  local outs = {}
  for _, d in ipairs(T.items(realm:GetEnvDataQueue(B))) do outs[#outs + 1] = T.value(d) end
  T.eq(table.concat(outs, ","), "42", "the taken datum's output is back in the realm")
  T.eq(#T.items(realm:GetEnvDataQueue(Other)), 300, "the others are still waiting")
  T.eq(#T.items(realm:GetFactHistory()), realm.HistoryLength, "the fact history is cut to its length")
  realm:ClearEnvData()
  for _, o in ipairs({realm, cell, chain}) do _Free(o) end
end

-- The fact history over quiet cycles: the realm's oldest data every time. A
-- history package a script took, or one another realm shares, and that is
-- changed after later cycles is no longer the realm's history.
do
  local function values(pkg)
    local out = {}
    for _, d in ipairs(T.items(pkg)) do out[#out + 1] = type(d) == "string" and d or tostring(T.value(d)) end
    return table.concat(out, ",")
  end
  local TakesC2 = taking("hand.TakesC2", {C})
  local function quietRealm(name, first)
    local chain = T.chain(TakesC2)
    local realm, cell = T.realmWith(name, chain)
    realm.CreateFrameData = false
    realm.HistoryLength = 3
    for i = first, first + 4 do realm:AddEnvData(Other(i)) end
    return realm, {realm, cell, chain}
  end
  local function cycles(realm, n)
    for _ = 1, n do T.during(function() realm:Execute() end) end
  end

  local realm, made = quietRealm("history", 1)
  cycles(realm, 3)
  T.eq(values(realm:GetFactHistory()), "1,2,3", "quiet cycles: the oldest data")
  local held = realm:GetFactHistory()
  cycles(realm, 2)
  held:_Set(0, "changed")
  T.eq(values(realm:GetFactHistory()), "1,2,3", "a history held and changed after later cycles is not the realm's")
  cycles(realm, 2)
  local seen = realm:GetFactHistory()
  seen:_Set(1, "changed")
  T.eq(values(realm:GetFactHistory()), "1,changed,3", "until the next cycle, the history is the package shown")
  cycles(realm, 1)
  T.eq(values(realm:GetFactHistory()), "1,2,3", "the next cycle makes the history again")

  local other, more = quietRealm("history.other", 11)
  cycles(other, 2)
  T.eq(realm:SyncFrom(other, false), true, "SyncFrom of a realm")
  realm:GetFactHistory():_Set(2, "shared")
  cycles(other, 1)
  T.eq(values(other:GetFactHistory()), "11,12,13", "a shared history changed by the other realm is remade")
  cycles(realm, 1)
  T.eq(values(realm:GetFactHistory()), "1,2,3", "and the realm that took it remakes its own")

  for _, r in ipairs({realm, other}) do r:ClearEnvData() end
  held, seen = nil, nil
  for _, list in ipairs({made, more}) do
    for _, o in ipairs(list) do _Free(o) end
  end
end

T.finish("sched_handout")
