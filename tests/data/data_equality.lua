-- Equality, sameness, source links (with cycles) and duplication.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local A = QZDataBase:CreateType("eq.A")
local B = QZDataBase:CreateType("eq.B")
local a1, a2, a3 = A(1, "x"), A(1, "x"), A(2, "x")
local b1 = B(1, "x")
local a1child = a1()
local noBuf1, noBuf2 = _New(A), _New(A)

local equalsTable = {
  {"same object", a1, a1, true},
  {"equal values", a1, a2, true},
  {"different values", a1, a3, false},
  {"different types, same value", a1, b1, false},
  {"instance of instance reads the same value", a1child, a2, true},
  {"two types", A, B, false},
  {"a type and itself", A, A, true},
  {"a type and an instance", A, a1, false},
  {"an instance and a type", a1, A, false},
  {"holder and none", a1, noBuf1, false},
  {"no value on either side", noBuf1, noBuf2, false},
  {"a non-data object", a1, _New(_Object), false},
  {"nil", a1, nil, false},
}
for _, c in ipairs(equalsTable) do
  T.eq(c[2]:Equals(c[3]), c[4], "Equals: " .. c[1])
end

-- Sets of script set types compare member by member (more in
-- data_classes/sets.lua).
local S = QZDataSetBase:CreateType("eq.Set")
local function set(...)
  local s = _New(S)
  s:SetDataBuf(_Pkg(...))
  return s
end
T.eq(set(a1, a3):Equals(set(a1, a3)), true, "sets with the same members")
T.eq(set(a1, a3):Equals(set(a3, a1)), true, "script sets compare regardless of order")
local loop1 = set(a1)
loop1:GetDataBuf():_Append(loop1)

-- IsSame compares tags: equal values give equal tags.
T.eq(a1:IsSame(a2), true, "IsSame equal values")
T.eq(a1:IsSame(a3), false, "IsSame different values")
T.eq(a1:IsSame(b1), false, "IsSame different types")
T.eq(a1:GetTag(), a2:GetTag(), "equal values, equal tags")
T.eq(#a1:GetTag(), 40, "tag length")
a3:SetSignature("same")
local a4 = A(99)
a4:SetSignature("same")
T.eq(a3:IsSame(a4), true, "a signature replaces the value in the identity")

-- Ordering needs data placed in realms: see data_internal_test.cpp.
local outside, o1 = A(1), A(2)
outside.ScheduleTickCount = 1
o1.ScheduleTickCount = 2
T.eq(outside:IsBefore(o1), false, "data outside any realm are not ordered")
T.eq(o1:IsAfter(outside), false, "data outside any realm are not ordered (after)")
T.eq(o1:IsBefore(nil), false, "IsBefore nil")

-- Source links.
local src, mid, top = A(1), A(2), A(3)
T.eq(mid:AddSource(src), true, "AddSource")
T.eq(mid:AddSource(src), true, "AddSource twice")
T.eq(mid:GetSource():_Count(), 1, "AddSource twice keeps one item")
T.eq(mid:AddSource(QZDataBase), false, "a class object is no source")
T.eq(mid:AddSource(_New(_Object)), false, "a non-data object is no source")
top:AddSource(mid)
T.eq(top:IsSource(mid, true), true, "direct source")
T.eq(top:IsSource(src, true), false, "source of a source with MustDirect")
T.eq(top:IsSource(src, false), true, "source of a source without MustDirect")
T.eq(top:IsChangedFrom(src), true, "unbranched chain of same-type links")
local twoSrc = A(4)
twoSrc:AddSource(src) twoSrc:AddSource(mid)
T.eq(twoSrc:IsChangedFrom(src), false, "two same-type sources: not changed from either")
T.eq(twoSrc:IsChangedFrom(mid), false, "two same-type sources: not changed from either (2)")
-- Cycles: a data that is its own source, and a two-data loop.
local selfSrc = A(5)
selfSrc:AddSource(selfSrc)
T.eq(selfSrc:IsChangedFrom(src), false, "own source: IsChangedFrom ends")
T.eq(selfSrc:IsSource(src, false), false, "own source: IsSource ends")
T.eq(selfSrc:IsSource(selfSrc, false), true, "own source is a source")
local x, y = A(6), A(7)
x:AddSource(y) y:AddSource(x)
T.eq(x:IsChangedFrom(src), false, "loop: IsChangedFrom ends")
T.eq(x:IsSource(src, false), false, "loop: IsSource ends")
T.eq(x:IsSource(y, true), true, "loop: direct source found")
-- A long chain is searched without deep recursion.
local chainTop = A(0)
local cur = chainTop
for i = 1, 3000 do
  local n = A(i)
  cur:AddSource(n)
  cur = n
end
cur:AddSource(src)
T.eq(chainTop:IsSource(src, false), true, "source 3000 links down")
T.eq(chainTop:IsChangedFrom(src), true, "changed from 3000 links down")
-- GetSource climbs to an ancestor with sources while there is no own value.
local withSrc = A(8)
withSrc:AddSource(src)
local childNoBuf = withSrc()
T.eq(childNoBuf:GetSource():_Get(0), src, "GetSource inherited")
T.eq(childNoBuf:IsSource(src, true), true, "IsSource through the buffer-less ancestor")

-- Duplication.
local orig = A(1, "x")
orig:SetSignature("sig")
local copy = orig:Dup()
T.check(copy ~= nil and copy ~= orig, "Dup makes a new object")
T.eq(copy:Equals(orig), true, "the copy is equal")
T.eq(copy:GetType(), A, "the copy is an instance of the type")
T.eq(copy:GetSignature(), "", "the copy has no signature")
local sd = set(a1, a3)
local sdc = sd:Dup()
T.eq(sdc and sdc:Equals(sd), true, "Dup of a script set")
local loopCopy = loop1:Dup()
T.eq(loopCopy and loopCopy:GetDataBuf():_Get(1), loopCopy, "a set holding itself copies to a set holding its copy")
T.check(loopCopy and loopCopy:GetDataBuf():_Get(0) ~= a1, "a script set copies its members")

T.finish("data_equality")
