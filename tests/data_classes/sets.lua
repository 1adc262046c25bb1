-- Data sets: set types and sets, membership, schedule order, subsets, the
-- refusals of Create, sets that would contain themselves, and runs of the
-- members on a temporary realm.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local P = QZDataBase:CreateType("set.P")
local Q = QZDataBase:CreateType("set.Q")
local S = QZDataSetBase:CreateType("set.S", P)
local Any = QZDataSetBase:CreateType("set.Any")

T.eq(S.IsType, true, "CreateType makes a set type")
T.eq(S:GetDataBase(), P, "the member type is kept")
T.eq(Any:GetDataBase(), nil, "a set type without member type accepts any data")
local all = QZDataBase:CollectType()
local listed = {}
for i = 0, all:_Count() - 1 do listed[all:_Get(i)] = true end
T.check(listed[S] and listed[Any], "set types are registered data types")

local p1, p2, p3 = P(1), P(2), P(3)
local q1 = Q(1)

-- Create from data objects or from one package.
local s = S(p1, p2)
T.eq(_Class(s), S, "calling a set type makes a set of it")
T.eq(s:GetDataBase(), P, "a set copies its type's member type")
T.eq(s:GetData():_Count(), 2, "with the given members")
local fromPkg = S(_Pkg(p3, p1))
T.eq(fromPkg:GetData():_Get(0), p3, "members of a package keep its order")
T.eq(QZDataSetBase(q1, p1):GetData():_Count(), 2, "the set class takes any data")

local createRefusals = {
  {function() return S() end, T.prefix(S) .. " has no input parameter, calls function Create failed", "no argument"},
  {function() return S(q1) end,
   T.prefix(S) .. " calls function Create failed, the object in parapkg is not instance of QZDataBase", "wrong member type"},
  {function() return S(_Pkg(p1, 5)) end,
   T.prefix(S) .. " calls function Create failed, the object in parapkg is not instance of QZDataBase", "a number in the package"},
  {function() return S(p1, 5) end,
   T.prefix(S) .. " calls function Create failed, input parameter must be a parapkg or multiple data objects", "a number argument"},
  {function() return S(p1, R) end,
   T.prefix(S) .. " calls function Create failed, the object in parapkg is not instance of QZDataBase", "a non-data object"},
  {function() return s:Create(p1) end,
   T.prefix(s) .. "'s Create or () failed, the input for instance must be empty", "arguments on an instance"},
}
R = _New(_Object)
_CollectGarbage()
local live = T.stat("LiveObjects")
for _, c in ipairs(createRefusals) do
  local res = T.expect_errors(c[1], {c[2]}, "Create " .. c[3])
  T.eq(res, nil, "Create " .. c[3] .. " gives nil")
end
_CollectGarbage()
T.eq(T.stat("LiveObjects"), live, "refused creations leave nothing behind")
local proto = s:Create()
T.eq(_Class(proto), s, "Create on a set instance makes an object of that class")
T.eq(proto:GetData():_Count(), 2, "which shares the members through its class")

T.eq(T.expect_errors(function() return s:CreateType("x") end,
                     {"create " .. T.prefix(s) .. "'s sub-type failed, this object is not data type"},
                     "set CreateType on a set instance"), nil, "set CreateType on an instance gives nil")
T.eq(T.expect_errors(function() return QZDataSetBase:CreateType("set.Bad", 5) end,
                     {"create " .. T.prefix(QZDataSetBase) ..
                      "'s sub-type failed, the second parameter must be null or data type"},
                     "a member type that is no data"), nil, "CreateType with a number as member type gives nil")
T.eq(QZDataSetBase:CreateType(""), nil, "CreateType with an empty name gives nil")

-- Membership.
local m = S(p1)
m:AddData(p2)
m:AddData(p2)
T.eq(m:GetData():_Count(), 2, "AddData of the same object twice keeps one")
m:AddData(q1)
T.eq(m:GetData():_Count(), 2, "AddData of another type does nothing")
S:AddData(p3)
T.eq(S:GetData():_Count(), 0, "AddData on a set type does nothing")
m:RemoveData(p1)
T.eq(m:GetData():_Count(), 1, "RemoveData removes the member")
T.eq(m:GetData():_Get(0), p2, "and keeps the others")
m:RemoveData(p3)
T.eq(m:GetData():_Count(), 1, "RemoveData of a non-member does nothing")
local child = m:Create()
child:AddData(p3)
T.eq(m:GetData():_Count(), 2, "a set without a buffer adds to the holder's")
local fresh = _New(S)
fresh:AddData(p1)
T.eq(fresh:GetData():_Count(), 1, "a set without any buffer gets one with the member")

-- The set keeps its own index of its members; a script that changes the
-- buffer itself, or gives the set another one, is followed.
local big = S(p2)
local many = {}
for i = 1, 40 do many[i] = P(100 + i); big:AddData(many[i]) end
big:RemoveData(p2)
big:AddData(many[7])
T.eq(big:GetDataBuf():_Count(), 40, "a set of many members takes a member once")
local followCases = {
  {"an item the script deleted",
   function(b) b:_Del(6) end, function() big:AddData(many[7]) end, 40, many[7]},
  {"an item the script appended",
   function(b) b:_Append(p3) end, function() big:AddData(p3) end, 41, p3},
  {"an item the script appended, then removed by the set",
   function(b) b:_Append(p1) end, function() big:RemoveData(p1) end, 41, p3},
  {"a buffer given by SetDataBuf",
   function() big:SetDataBuf(_Pkg(many[1], many[2])) end, function() big:AddData(many[2]); big:AddData(many[3]) end,
   3, many[3]},
  {"the same object twice in a given buffer, removed once",
   function() big:SetDataBuf(_Pkg(many[4], many[5], many[4])) end, function() big:RemoveData(many[4]) end, 2, many[4]},
}
for _, c in ipairs(followCases) do
  c[2](big:GetDataBuf())
  c[3]()
  local b = big:GetDataBuf()
  T.eq(b:_Count(), c[4], c[1] .. ": the item count")
  if c[5] ~= nil then T.eq(b:_Get(b:_Count() - 1), c[5], c[1] .. ": the last item") end
end
T.eq(big:GetDataBuf():_Get(0), many[5], "the first of two equal items is the one removed")

-- A set never contains itself, directly, through a derived set or through
-- another set.
local outer = Any(p1)
local inner = Any(p2)
outer:AddData(inner)
local msg = T.prefix(inner) .. "'s function \"AddData\" failed, a set can not contain itself"
T.expect_errors(function() inner:AddData(outer) end, {msg}, "a cycle through another set")
T.expect_errors(function() outer:AddData(outer) end,
                {T.prefix(outer) .. "'s function \"AddData\" failed, a set can not contain itself"}, "the set itself")
local derived = outer:Create()
T.expect_errors(function() outer:AddData(derived) end,
                {T.prefix(outer) .. "'s function \"AddData\" failed, a set can not contain itself"}, "a set sharing the buffer")
T.eq(outer:GetData():_Count(), 2, "refused members are not added")

-- Schedule order: unscheduled first in buffer order, then by stamp.
local function stamped(tick, seq)
  local x = P(tick * 10 + seq)
  x.ScheduleTickCount = tick
  x.SequenceIndex = seq
  return x
end
local a, b, c, z = stamped(5, 0), stamped(3, 1), stamped(3, 0), stamped(0, 7)
local ordered = S(a, z, b, c)
local got = ordered:GetData()
T.eq(got:_Count(), 4, "every member is listed")
T.eq(got:_Get(0), z, "an unscheduled member comes first")
T.eq(got:_Get(1), c, "then the oldest stamp")
T.eq(got:_Get(2), b, "then the same tick with a later sequence")
T.eq(got:_Get(3), a, "then the later tick")
local twin = stamped(3, 1)
local late = stamped(0, 8)
local clash = S(z, b, twin, late)
local res = T.expect_errors(function() return clash:GetData() end,
                            {T.prefix(clash) .. "'s function \"GetData\" failed, there are two data with same time"},
                            "two members with one stamp")
T.eq(res:_Count(), 1, "two members with one stamp: only the unscheduled members met before the second")
T.eq(res:_Get(0), z, "which is the first unscheduled member")
T.eq(clash:GetDataBuf():_Count(), 4, "the members stay in the set")
T.eq(S:GetData():_Count(), 0, "a set type has no members")

-- Subsets (compared by value equality of the members).
local big = S(p1, p2, p3)
local small = S(P(1), P(3))
T.eq(big:IsSubSet(small), true, "members equal to members of the set make a subset")
T.eq(small:IsSubSet(big), false, "a member without an equal member makes no subset")
T.eq(big:IsSubSet(S(_Pkg())), true, "an empty set of the same type is a subset")
T.eq(big:IsSubSet(S(P(1), P(1))), true, "repeated members need one equal member")
T.eq(big:IsSubSet(QZDataSetBase(p1)), false, "a set of the bare set class is no subset")
T.eq(big:IsSubSet(nil), false, "no set is no subset")
T.eq(big:IsSubSet(p1), false, "a plain data object is no subset")
T.eq(big:IsSubSet(Any(p1)), false, "a set of another type is no subset")

-- Sets of script-made set types and of companion set types count their
-- members one by one in equality, duplication and subsets: order and repeats
-- do not matter, copies are new members.
local CT = QZDataBase:CreateType("set.CT")
_LockGC(CT)
CT:CreateProperty("w", 6, 1)
local CS = CT:GetDataSetBase()
local kinds = {
  {"script-made set type", S, function(i) return P(i) end},
  {"companion set type", CS, function(i) return CT(i) end},
}
for _, k in ipairs(kinds) do
  local St, mk, what = k[2], k[3], k[1]
  local m1, m2, m3 = mk(1), mk(2), mk(3)
  local equalsCases = {
    {"another order", St(m1, m2, m3), St(m3, m2, m1), true},
    {"one member repeated", St(m1, m2), St(m1, m1, m2), true},
    {"equal members that are other objects", St(m1, m2), St(mk(2), mk(1)), true},
    {"a member missing", St(m1, m2), St(m1), false},
    {"a member differs", St(m1, m2), St(m1, m3), false},
  }
  for _, c in ipairs(equalsCases) do
    T.eq(c[2]:Equals(c[3]), c[4], what .. " Equals, " .. c[1])
    T.eq(c[3]:Equals(c[2]), c[4], what .. " Equals the other way, " .. c[1])
  end
  local one = St(m1, m2)
  local copy = one:Dup()
  T.check(copy ~= nil and copy ~= one, what .. ": Dup makes a new set")
  T.eq(copy and copy:Equals(one), true, what .. ": the copy is equal")
  local copied = copy and copy:GetData()
  T.check(copied and copied:_Get(0) ~= m1 and copied:_Get(1) ~= m2, what .. ": Dup copies the members")
  T.eq(copied and copied:_Get(0):Equals(m1), true, what .. ": the copied member is equal")
  T.eq(St(m1):IsSubSet(St(m1, m1)), true, what .. ": IsSubSet counts no repeats")
end
T.eq(QZDataSetBase(p1, p2):Equals(QZDataSetBase(p2, p1)), false,
     "sets of the bare set class compare their packages in order")
local withType = Any(p1)
withType:GetDataBuf():_Append(P)
T.eq(T.expect_errors(function() return withType:Dup() end,
                     {T.prefix(P) .. " is type and not data object, Dup failed"}, "Dup of a set holding a type"),
     nil, "Dup of a set holding a type gives nil")

-- The copies a set's Dup makes belong to the new set: they live while it
-- holds them and go with it, with their removal, or with a failed Dup.
local function collect() _CollectGarbage() _CollectGarbage() end
collect()
local kept = S(p1, p2):Dup()
collect()
T.eq(kept:GetData():_Count(), 2, "the copies live while the set holds them")
T.eq(kept:GetData():_Get(0):Equals(p1), true, "and keep their value")
kept = nil
local lifeCases = {
  {"a copy dropped", function() local c = S(p1, p2):Dup() end},
  {"a copy of a set of sets dropped", function() local c = Any(Any(p1, p2), p3):Dup() end},
  {"a member removed from the copy", function()
    local c = S(p1, p2):Dup()
    local m = c:GetData():_Get(0)
    c:RemoveData(m)
    c = nil
    collect()
    T.eq(m:Equals(p1), true, "a removed copy lives on while the script holds it")
  end},
  {"a failed Dup", function()
    local w = Any(p1, Any(p2, p3), p2)
    w:GetDataBuf():_Append(P)
    T.errors()
    T.eq(w:Dup(), nil, "Dup of a set holding a type fails")
    T.eq(#T.errors(), 1, "with one message")
  end},
  {"a set freed at once", function() _Free(S(p1, p2):Dup()) end},
}
for _, c in ipairs(lifeCases) do
  collect()
  local before = T.stat("LiveObjects")
  c[2]()
  collect()
  T.eq(T.stat("LiveObjects"), before, c[1] .. ": live objects back to the start")
end

-- Runs on a temporary realm: the realm's RunString / RunProc answer.
local calls = 0
local produced = {}
QZRealmBase.RunString = function(realm, input, outputClass, text)
  calls = calls + 1
  local out = _Pkg()
  for i = 0, input:_Count() - 1 do
    local src = input:_Get(i)
    local o = P(100 + i)
    o:AddSource(src)
    produced[#produced + 1] = o
    out:_Append(o)
  end
  -- The last member has no answer.
  out:_Del(out:_Count() - 1)
  return out
end
local runSet = S(p1, p2, p3)
local answer = runSet:RunString("saved procs")
T.eq(calls, 1, "the realm's RunString is called once")
T.eq(answer:_Count(), 3, "one item per member")
T.eq(answer:_Get(0), produced[1], "a member is answered by the data made from it")
T.eq(answer:_Get(1), produced[2], "in member order")
T.eq(answer:_Type(2), 0, "a member without an answer keeps an empty item")
T.eq(runSet:RunString(""):_Count(), 0, "an empty text gives an empty result")
T.eq(S(p1):Create():RunString(nil):_Count(), 0, "no text gives an empty result")
T.eq(calls, 1, "without input no realm is asked")
QZRealmBase.RunString = function() return _Pkg(5) end
local plain = runSet:RunString("x")
T.eq(plain:_Count(), 3, "a result that begins with no object gives one empty item per member")
QZRealmBase.RunString = function() error("run fails") end
T.errors()
T.eq(runSet:RunString("x"):_Count(), 0, "a failing RunString gives an empty result")
local errs = T.errors()
T.check(#errs == 1 and errs[1]:find(", calls the function RunString failed", 1, true) ~= nil,
        "and is reported: " .. tostring(errs[1]))
QZRealmBase.RunString = nil
T.eq(runSet:RunProc(p1):_Count(), 0, "RunProc of a data object gives an empty result")

T.finish("data_classes_sets")
