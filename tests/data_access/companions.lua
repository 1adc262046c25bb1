-- Companion classes: made with the first property of a type derived from the
-- plain data class, used as data sets, object data and buffer data that
-- carry the type's properties.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local Ty = QZDataBase:CreateType("comp.T")
_LockGC(Ty)
T.eq(_Find("comp.T_Set_"), nil, "no companions before the first property")
T.eq(Ty(1):GetDataSetBase(), QZDataSetBase, "without companions: the set class")
T.eq(Ty(1):GetObjectDataBase(), QZObjectDataBase, "without companions: the object-data class")
T.eq(Ty(1):GetBufDataBase(), QZBufDataBase, "without companions: the buffer-data class")
_CollectGarbage()
local typesBefore = QZDataBase:CollectType():_Count()
T.eq(Ty:CreateProperty("x", 6, 5), true, "first property")

local SetT, ObjT, BufT = _Find("comp.T_Set_"), _Find("comp.T_Object_"), _Find("comp.T_Buf_")
T.check(SetT and ObjT and BufT, "three companions named after the type")
T.eq(QZDataBase:CollectType():_Count(), typesBefore + 3, "the companions are registered types")
T.eq(Ty:CreateProperty("y", 1, true), true, "second property")
T.eq(QZDataBase:CollectType():_Count(), typesBefore + 3, "no further companions")
for _, c in ipairs({SetT, ObjT, BufT}) do
  T.eq(c.IsType, true, _Name(c) .. " is a type")
  T.eq(_Class(c), Ty, _Name(c) .. " is made from the type")
  T.eq(c:GetType(), Ty, _Name(c) .. " has the type as its base")
end

local a = Ty(1)
T.eq(a:GetDataSetBase(), SetT, "GetDataSetBase")
T.eq(a:GetObjectDataBase(), ObjT, "GetObjectDataBase")
T.eq(a:GetBufDataBase(), BufT, "GetBufDataBase")
T.eq(Ty:GetDataSetBase(), SetT, "GetDataSetBase on the type")
T.eq(a():GetBufDataBase(), BufT, "GetBufDataBase through a prototype")

-- Buffer data of the type.
local b = BufT(_Pkg(1, "two"))
T.check(b ~= nil, "buffer data made through the companion")
T.eq(b:IsBufData(), true, "it is buffer data")
T.eq(_IsInst(Ty, b), true, "of the type")
T.eq(b[1], "two", "its value package")
T.eq(b.x, 5, "it carries the type's property")
b.x = 8
T.eq(b.x, 8, "and takes writes")
T.eq(b:GetBufDataBase(), BufT, "its own kind's companion")

-- Object data of the type.
local target = _New(_Object)
local o = ObjT:Create(target)
T.eq(o:IsObjectData(), true, "object data made through the companion")
T.eq(o:GetObject(), target, "GetObject on the companion's instance")
T.eq(o.y, true, "object data carries the properties")
T.eq(o:GetDataSetBase(), SetT, "and finds the set companion")

-- Data sets of the type.
local m1, m2, m3 = Ty(1), Ty(2), Ty(3)
local s = SetT(m1, m2)
T.eq(s:IsDataSet(), true, "set made through the companion")
T.eq(s:GetData():_Count(), 2, "its members")
s:AddData(m3)
s:AddData(m3)
T.eq(s:GetData():_Count(), 3, "AddData once per object")
s:RemoveData(m1)
T.eq(s:GetData():_Count(), 2, "RemoveData")
T.eq(s.x, 5, "the set carries the type's property")
s.x = 2
T.eq(s.x, 2, "and takes writes")
T.eq(m2.x, 5, "its members keep their own")
T.eq(s:IsSubSet(SetT(m2)), true, "IsSubSet of the companion")
T.eq(s:GetDataBase(), nil, "the companion names no member type")
local SubSet = SetT:CreateType("comp.SubSet")
T.check(SubSet ~= nil and SubSet.IsType, "CreateType on the set companion")
T.eq(SubSet(m1):IsDataSet(), true, "its sets are sets")
T.eq(s:RunProc(_New(_Object)):_Count(), 0, "RunProc of the set companion")
T.eq(s:RunString(""):_Count(), 0, "RunString of the set companion")

-- Companions are no instances that block new properties; data made through
-- them are.
local Free = QZDataBase:CreateType("comp.Free")
_LockGC(Free)
T.eq(Free:CreateProperty("p", 30, "a"), true, "companions made")
T.eq(Free:CreateProperty("q", 30, "b"), true, "companions do not count as instances")
local fs = Free:GetDataSetBase():Create(_Pkg())
T.check(fs ~= nil, "a set of the companion")
T.eq(T.expect_errors(function() return Free:CreateProperty("r", 30, "c") end,
                     {T.prefix(Free) .. "'s CreateProperty failed, the data object has instances"},
                     "data of a companion are instances of the type"), false, "refused")
fs = nil

-- A sub-type with its own property gets its own companions.
local Sub = Ty:CreateType("comp.Sub")
_LockGC(Sub)
T.eq(Sub:GetDataSetBase(), SetT, "a sub-type finds its base type's companion")
T.eq(Sub:CreateProperty("z", 58, 0.5), true, "sub-type property")
local SubSetT = _Find("comp.Sub_Set_")
T.check(SubSetT ~= nil and SubSetT ~= SetT, "the sub-type's own set companion")
T.eq(Sub(1):GetDataSetBase(), SubSetT, "a sub-type instance finds its own companion")
T.eq(SubSetT(Sub(1)).x, 5, "its sets see the base type's properties")

-- No companions for the kinds that are already sets, object or buffer data.
for _, base in ipairs({QZDataSetBase, QZObjectDataBase, QZBufDataBase}) do
  local K = base:CreateType("comp.K" .. _Name(base))
  _LockGC(K)
  T.eq(K:CreateProperty("n", 6, 1), true, "property on a " .. _Name(base) .. " type")
  T.eq(_Find("comp.K" .. _Name(base) .. "_Set_"), nil, "no companions for " .. _Name(base))
end
local KS = _Find("comp.KQZDataSetBase")
local ks = KS(Ty(1))
T.eq(ks:GetDataSetBase(), QZDataSetBase, "a set type's instance: the set class")
T.eq(ks.n, 1, "its property")
-- A companion's own sub-type does not make companions of a companion.
local CS = SetT:CreateType("comp.CS")
_LockGC(CS)
T.eq(CS:CreateProperty("w", 6, 1), true, "property on a companion's sub-type")
T.eq(_Find("comp.CS_Set_"), nil, "no companions below a companion")

-- Long names keep their companions apart.
local prefix = string.rep("n", 45)
local L1 = QZDataBase:CreateType(prefix .. "1")
local L2 = QZDataBase:CreateType(prefix .. "2")
_LockGC(L1) _LockGC(L2)
L1:CreateProperty("p", 6, 1)
L2:CreateProperty("p", 6, 2)
T.eq(_Name(L1:GetDataSetBase()), prefix .. "1_Set_", "full companion name")
T.check(L1:GetDataSetBase() ~= L2:GetDataSetBase(), "two long names, two companions")
T.eq(_Find(prefix .. "2_Buf_"), L2:GetBufDataBase(), "found by its full name")

-- A companion that a script frees reads as absent; the next property makes
-- it again.
local G = QZDataBase:CreateType("comp.G")
_LockGC(G)
G:CreateProperty("p", 6, 1)
_Free(G:GetDataSetBase())
T.eq(G:GetDataSetBase(), QZDataSetBase, "a freed companion is not handed out")
G:CreateProperty("q", 6, 1)
local again = G:GetDataSetBase()
T.check(again ~= QZDataSetBase and _Name(again) == "comp.G_Set_", "made again")
T.eq(again(G(1)):IsDataSet(), true, "and it works")

-- Freeing a type frees its companions with it.
local H = QZDataBase:CreateType("comp.H")
H:CreateProperty("p", 6, 1)
local hset = H:GetDataSetBase()
_Free(H)
T.eq(_Find("comp.H_Set_"), nil, "companions end with their type")
T.eq(tostring(hset), "object:freed", "the handed-out companion is dead")

T.finish("data_access_companions")
