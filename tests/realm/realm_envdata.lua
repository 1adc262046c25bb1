-- Environment data: adding and capturing (argument forms, refusals, stamps,
-- owner IDs, activation), removing and clearing, listings in stamp order
-- with equal stamps, the histories and the outside test.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local before = T.counts()
local ZERO = "00000000-0000-0000-0000-000000000000"
local OWNER = "0A1B2C3D-0000-4000-8000-00000000ABCD"

local D = QZDataBase:CreateType("env.D")
local E = QZDataBase:CreateType("env.E")
local a, b, c = T.named(D(1), "a"), T.named(D(2), "b"), T.named(E(3), "c")
a.OwnerProcID = OWNER

local function newRealm(name)
  local r = T.named(_New(QZRealmBase), name)
  r.ScheduleTickCount = 7
  return r
end

-- The argument table of AddEnvData: each row gives the arguments, the
-- classes of the items made (in order) and the messages reported.
do
  local probe = newRealm("probe")
  local notData = T.prefix(probe) .. "'s as Add or Capture EnvData failed, input is not deruru instance or null"
  local existed = T.prefix(probe) .. "'s as Add or Capture EnvData failed, input has existed in cell"
  local queued = nil
  local rows = {
    {"one object", function() return {a} end, {a}, {}},
    {"numbers and strings skipped", function() return {a, 5, "x", b} end, {a, b}, {}},
    {"a package of three", function() return {_Pkg(a, b, c)} end, {a, b, c}, {}},
    {"a non-data item in a package", function() return {_Pkg(a, _New(_Object), b)} end, {a, b}, {notData}},
    {"a data type's class object", function() return {QZDataSetBase, a} end, {a}, {notData}},
    {"a plain object", function() return {_New(_Object), b} end, {b}, {notData}},
    {"a queued input ends the call", function()
       probe:AddEnvData(c)
       queued = probe:GetEnvDataQueue():_Get(0)
       return {a, queued, b}
     end, {c, a}, {existed}},
  }
  for _, row in ipairs(rows) do
    probe:ClearEnvData()
    local args = row[2]()
    T.expect_errors(function() probe:AddEnvData(table.unpack(args)) end, row[4], row[1])
    local items = T.items(probe:GetEnvDataQueue())
    T.eq(#items, #row[3], row[1] .. ": number of items")
    for i, want in ipairs(row[3]) do
      T.check(items[i] and _Class(items[i]) == want, row[1] .. ": item " .. i .. " is made from " .. _Name(want))
    end
  end
  _Free(probe)
end

-- Stamps, owner IDs and activation of added items.
do
  local r = newRealm("stamps")
  r:AddEnvData(a, a)
  local items = T.items(r:GetEnvDataQueue())
  T.eq(#items, 2, "the same object twice gives two items")
  T.check(items[1] ~= items[2], "two distinct items")
  T.eq(items[1].ScheduleTickCount, 7, "stamped with the realm's tick")
  T.check(items[2].SequenceIndex > items[1].SequenceIndex, "the second item has the later stamp")
  T.eq(items[1].OwnerProcID, OWNER, "OwnerProcID comes from the given datum")
  T.eq(items[1].OwnerProcIDInCell, ZERO, "OwnerProcIDInCell is zero")
  T.eq(items[1].OwnerRunnerProcID, ZERO, "OwnerRunnerProcID is zero: data from outside")
  T.eq(_Parent(a), nil, "AddEnvData leaves the given datum where it was")
  T.eq(r:GetExtraActiveCount(items[1]), 1, "an added item is activated with 1")
  T.eq(r:IsFromOutSide(items[1]), false, "an item is from outside only once a cycle took it")
  T.eq(r:IsFromOutSide(nil), false, "IsFromOutSide(nil)")
  T.eq(r:IsFromOutSide(_New(_Object)), false, "IsFromOutSide of a non-datum")
  _Free(r)
end

-- Capture: from another realm (its lock given back), from no parent, with
-- the stamps kept and no activation.
do
  local src, dst = newRealm("src"), newRealm("dst")
  src.ScheduleTickCount = 3
  src:AddEnvData(b)
  local item = src:GetEnvDataQueue():_Get(0)
  local refs = _RefCount(item)
  dst:CaptureEnvData(item)
  T.eq(src:GetEnvDataQueue():_Count(), 0, "the captured item left the other realm")
  T.eq(_Parent(item), nil, "and is detached")
  T.eq(_RefCount(item), refs, "its queue lock went, the copy's class lock came")
  local copy = dst:GetEnvDataQueue():_Get(0)
  T.check(copy ~= nil and _Class(copy) == item, "the new item is made from the captured one")
  T.eq(copy.ScheduleTickCount, 3, "capture keeps the tick")
  T.eq(copy.SequenceIndex, item.SequenceIndex, "capture keeps the sequence number")
  T.eq(dst:GetActiveCount(copy), 0, "a captured item is not activated")
  local free = D(9)
  local refsFree = _RefCount(free)
  dst:CaptureEnvData(free)
  T.eq(_RefCount(free), refsFree + 1, "a datum without a parent gives no lock back (the copy locks it)")
  copy = nil
  _Free(src)
  _Free(dst)
  _Free(item)
  _Free(free)
end

-- Listings: stamp order, equal stamps kept in queue order, frames, classes.
do
  local r = newRealm("list")
  local function stamped(name, tick, seq, class)
    local d = T.named((class or D)(0), name)
    d.ScheduleTickCount, d.SequenceIndex = tick, seq
    return d
  end
  local inputs = {stamped("late", 9, 1), stamped("tieA", 5, 2), stamped("early", 5, 1), stamped("tieB", 5, 2, E),
                  stamped("tieC", 5, 2)}
  for _, d in ipairs(inputs) do r:CaptureEnvData(d) end
  local function classNames(pkg)
    local out = {}
    for _, o in ipairs(T.items(pkg)) do out[#out + 1] = _Name(_Class(o)) end
    return table.concat(out, ",")
  end
  T.eq(classNames(r:GetEnvDataQueue()), "early,tieA,tieB,tieC,late", "oldest stamp first, ties in queue order")
  T.eq(classNames(r:GetEnvDataQueue(E)), "tieB", "only instances of the class")
  T.eq(classNames(r:GetEnvDataFrame(5)), "early,tieA,tieB,tieC", "the frame of tick 5 keeps every tie")
  T.eq(r:GetEnvDataFrame(6):_Count(), 0, "a tick without items gives an empty package")

  -- Removing and clearing.
  local items = T.items(r:GetEnvDataQueue())
  r:RemoveEnvData(items[1], 3, _Pkg(items[2], items[3]), a)
  T.eq(classNames(r:GetEnvDataQueue()), "tieC,late", "RemoveEnvData takes objects and packages, ignores the rest")
  for i = 1, 3 do T.eq(_Parent(items[i]), nil, "removed item " .. i .. " detached") end
  r:AddEnvData(c)
  r:ClearEnvData(E)
  T.eq(r:GetEnvDataQueue(E):_Count(), 0, "ClearEnvData(class) removes the class's items")
  T.eq(r:GetEnvDataQueue():_Count(), 2, "and leaves the others")
  r:ClearEnvData()
  T.eq(r:GetEnvDataQueue():_Count(), 0, "ClearEnvData() removes every item")
  items = nil
  _Free(r)
  for _, d in ipairs(inputs) do _Free(d) end
end

-- The histories are the realm's own packages, the same each time.
do
  local r = newRealm("history")
  r:GetFactHistory():_Append(1)
  T.eq(r:GetFactHistory():_Count(), 1, "GetFactHistory gives the realm's own package")
  r:GetPredictHistory():_Append(1)
  r:GetPredictHistory():_Append(2)
  T.eq(r:GetPredictHistory():_Count(), 2, "GetPredictHistory gives the realm's own package")
  _Free(r)
end

for _, o in ipairs({a, b, c, E, D}) do _Free(o) end
a, b, c, D, E = nil, nil, nil, nil, nil
T.balanced(before, "env data")
T.finish("realm_envdata")
