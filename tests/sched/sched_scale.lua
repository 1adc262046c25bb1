-- A cell that takes many env data in one cycle, and a long chain: the
-- cell's index of its env data and the runners' notes of changed input must
-- give what a walk of everything would give. Many data go through in stamp
-- order, one step per proc run; a datum whose exclusion is lifted in the
-- middle of the cycle is offered again; a long chain runs each proc once per
-- item and in order.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local N = QZDataBase:CreateType("scale.N")
local Mid = QZDataBase:CreateType("scale.Mid")
local Out = QZDataBase:CreateType("scale.Out")

-- Types stay for the module's life: all are made before the count.
local order, seen, refused, runs = {}, {}, nil, {}
local A = T.procType("scale.A", {N}, {Mid}, function(self)
  local d = self:GetInput(0)
  order[#order + 1] = T.value(d)
  self:AddOutputData(Mid(T.value(d)))
  self:AcceptInput(d)
  return 0
end)
local B = T.procType("scale.B", {Mid}, {Out}, function(self)
  local d = self:GetInput(0)
  self:AddOutputData(Out(T.value(d) * 10))
  self:AcceptInput(d)
  return 0
end)
local R = T.procType("scale.R", {N}, {Out}, function(self)
  local d = self:GetInput(0)
  local v = T.value(d)
  seen[#seen + 1] = v
  if v == 1 and refused == nil then
    refused = d
    self:RejectInput(d)
    return 0
  end
  if v == 3 and refused ~= nil then
    -- The refused datum has been passed over by now; it is a candidate
    -- again from here on.
    refused:RemoveExclude(self)
  end
  self:AddOutputData(Out(v))
  self:AcceptInput(d)
  return 0
end)
local P = 40
local chainTypes, In = {}, N
for i = 1, P do
  local Next = i == P and Out or QZDataBase:CreateType("scale.L" .. i)
  chainTypes[i] = T.procType("scale.P" .. i, {In}, {Next}, function(self)
    local d = self:GetInput(0)
    runs[#runs + 1] = i
    self:AddOutputData(Next(T.value(d) + 1))
    self:AcceptInput(d)
    return 0
  end)
  In = Next
end

local before = T.counts()

-- Many data in one cycle: each is taken once, oldest first, and the cycle
-- takes two steps per datum (one per proc) and two more.
do
  local chain = T.chain(A, B)
  local realm, cell = T.realmWith("scale.bulk", chain)
  realm.CreateFrameData = false
  local n = 300
  for i = 1, n do realm:AddEnvData(N(i)) end
  local out = realm:ExecuteForResult()
  T.eq(out:_Count(), n, "every datum came out")
  T.eq(#order, n, "each datum was taken once")
  local inOrder = true
  for i = 1, n do inOrder = inOrder and order[i] == i end
  T.check(inOrder, "the data were taken oldest first")
  T.eq(realm.ScheduleTickCount, 2 * n + 2, "one step per proc run")
  local values = {}
  for _, d in ipairs(T.items(out)) do values[#values + 1] = T.value(d) end
  table.sort(values)
  T.eq(values[1] .. ".." .. values[n], "10.." .. (10 * n), "each output made from its own datum")
  _Free(realm) _Free(cell) _Free(chain)
end

-- A datum the proc refused is not offered again, until its exclusion is
-- lifted: then it is, in the same cycle.
do
  local chain = T.chain(R)
  local realm, cell = T.realmWith("scale.lift", chain)
  realm.CreateFrameData = false
  for i = 1, 4 do realm:AddEnvData(N(i)) end
  realm:ExecuteForResult()
  T.eq(table.concat(seen, ","), "1,2,3,1,4", "the lifted datum came back as the oldest candidate")
  refused = nil
  _Free(realm) _Free(cell) _Free(chain)
end

-- A long chain: every proc runs once per item, in chain order, and the item
-- comes out at the end.
do
  local chain = T.chain(table.unpack(chainTypes))
  local realm, cell = T.realmWith("scale.chain", chain)
  realm.CreateFrameData = false
  realm.InitialLiveCount = P + 10
  for item = 1, 2 do
    runs = {}
    realm:AddEnvData(N(0))
    local out = realm:ExecuteForResult()
    T.eq(#runs, P, "item " .. item .. ": each proc ran once")
    local inOrder = true
    for i = 1, P do inOrder = inOrder and runs[i] == i end
    T.check(inOrder, "item " .. item .. ": the procs ran in chain order")
    T.eq(T.value(out:_Get(0)), P, "item " .. item .. ": the item went through every proc")
  end
  _Free(realm) _Free(cell) _Free(chain)
end

collectgarbage()
_CollectGarbage()
T.balanced(before, "scale")
T.finish("sched_scale")
