-- Type system: the walks over class-chain shapes (value holder, data type,
-- tag label, kind), the value package and the type class with its hooks.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local Ty = QZDataBase:CreateType("walk.T")
local I = Ty(1, 2)                 -- instance holding its value
local II = I()                     -- instance of an instance: inherits I's value
local III = II()                   -- two levels down
local TB = _New(QZDataBase, _Pkg(7, "init")) -- type holding an init buffer
_SetName(TB, "TB")
_LockGC(TB)
local IB = _New(TB)                -- instance without own value: reads TB's
local Sub = TB:CreateType("walk.Sub")
local IS = _New(Sub)               -- the walk stops at Sub: TB's value is not seen
local SubOfT = Ty:CreateType("walk.SubOfT")

local shapes = {
  -- name, object, GetType name, holder, IsDataSet, tag label, GetDataBuf item 0
  {"type", Ty, "QZDataBase", nil, false, "data_walk_T"},
  {"instance", I, "walk.T", I, false, "data_walk_T", 1},
  {"instance of instance", II, "walk.T", I, false, "data_walk_T", 1},
  {"third level", III, "walk.T", I, false, "data_walk_T", 1},
  {"type with init buffer", TB, "QZDataBase", TB, false, "data_global_TB"},
  {"instance of buffered type", IB, "TB", TB, false, "data_global_TB", 7},
  {"instance of sub-type", IS, "walk.Sub", nil, false, "data_walk_Sub"},
  {"sub-type reads its class's buffer", Sub, "TB", TB, false, "data_walk_Sub"},
  {"sub-type of a type", SubOfT, "walk.T", nil, false, "data_walk_SubOfT"},
  {"QZDataBase class", QZDataBase, "QZDataBase", nil, false, "data_global_QZDataBase"},
  {"QZDataSetBase class", QZDataSetBase, "QZDataSetBase", nil, true, "data_global_QZDataSetBase"},
  {"QZObjectDataBase class", QZObjectDataBase, "QZObjectDataBase", nil, false, "data_global_QZObjectDataBase"},
  {"QZBufDataBase class", QZBufDataBase, "QZBufDataBase", nil, false, "data_global_QZBufDataBase"},
  {"QZRealmFrameData class", QZRealmFrameData, "QZRealmFrameData", nil, false, "data_global_QZRealmFrameData"},
}
for _, s in ipairs(shapes) do
  local name, obj = s[1], s[2]
  T.eq(obj:GetTypeName(), s[3], name .. " GetTypeName")
  T.eq(obj:GetType() and _Name(obj:GetType()), s[3], name .. " GetType")
  T.eq(obj:GetObjectHasBuf(), s[4], name .. " GetObjectHasBuf")
  T.eq(obj:IsDataSet(), s[5], name .. " IsDataSet")
  T.eq(obj:GetTagLabel(), s[6], name .. " GetTagLabel")
  if s[7] ~= nil then
    local buf = obj:GetDataBuf()
    T.eq(buf and buf:_Get(0), s[7], name .. " GetDataBuf item 0")
  end
end
_Errors()

-- Direct instances of the predefined classes read their kind from the class.
local kinds = {
  {QZDataSetBase, true, false, false},
  {QZObjectDataBase, false, true, false},
  {QZBufDataBase, false, false, true},
}
for _, k in ipairs(kinds) do
  local d = _New(k[1])
  T.eq(d:GetTypeName(), _Name(k[1]), _Name(k[1]) .. " instance type")
  T.eq(d:IsDataSet(), k[2], _Name(k[1]) .. " instance IsDataSet")
  T.eq(d:IsObjectData(), k[3], _Name(k[1]) .. " instance IsObjectData")
  T.eq(d:IsBufData(), k[4], _Name(k[1]) .. " instance IsBufData")
  T.eq(d:IsRealmFrameData(), false, _Name(k[1]) .. " instance IsRealmFrameData")
end
_Errors()

-- An instance made from another instance copies its stamps, not its signature.
local stampT = QZDataBase:CreateType("stamp.T")
local proto = stampT(5)
proto.ScheduleTickCount = 77
proto.SequenceIndex = 3
proto.LiveCount = 9
proto:SetSignature("sig")
local child = proto()
T.eq(child.ScheduleTickCount, 77, "child copies ScheduleTickCount")
T.eq(child.SequenceIndex, 3, "child copies SequenceIndex")
T.eq(child.UniformTick, proto.UniformTick, "child copies UniformTick")
T.eq(child.LiveCount, 0, "child starts with LiveCount 0")
T.eq(child.Signature, "", "child's own Signature is empty")
T.eq(child:GetSignature(), "sig", "child reads the holder's signature")
T.check(proto.UniformTick ~= 0, "instance of a type gets a uniform tick")
T.eq(stampT:GetUniformTick(), 0, "GetUniformTick of a type is 0")

-- SetDataBuf: own value over the inherited one, nil shows the inherited again.
T.eq(II:SetDataBuf(_Pkg(42)), true, "SetDataBuf on instance")
T.eq(II:GetDataBuf():_Get(0), 42, "own value read")
T.eq(III:GetDataBuf():_Get(0), 42, "III now inherits from II")
T.eq(I:GetDataBuf():_Get(0), 1, "ancestor value untouched")
T.eq(II:SetDataBuf(nil), true, "SetDataBuf nil")
T.eq(II:GetDataBuf():_Get(0), 1, "inherited value shows through again")
T.eq(II:SetDataBuf(5), false, "SetDataBuf with a number is refused")
T.eq(II:GetDataBuf():_Get(0), 1, "refused SetDataBuf keeps the value")

-- Type class and its hooks.
local Vec = QZDataBase:CreateType("geo.Vec")
local tc = _New(_Object)
local calls = {}
function tc:IsRawInstance(v) calls[#calls + 1] = "IsRawInstance"; return v.isvec == true end
function tc:Load(pkg)
  calls[#calls + 1] = "Load"
  local raw = _New(_Object); raw.isvec = true; raw.x = pkg:_Get(0)
  return Vec(raw)
end
function tc:ToParaPkg(v, pkg) calls[#calls + 1] = "ToParaPkg"; pkg:_Append(v.x); return true end
function tc:Equals(a, b) calls[#calls + 1] = "Equals"; return a.x == b.x end
function tc:ToString(v) calls[#calls + 1] = "ToString"; return "vec(" .. tostring(v.x) .. ")" end
function tc:Dup(holder, none)
  calls[#calls + 1] = "Dup"
  local raw = _New(_Object); raw.isvec = true; raw.x = holder:GetDataBuf():_Get(0) + 0
  return Vec(raw)
end
T.eq(Vec:HasDataTypeClass(), false, "no type class yet")
T.eq(Vec:SetDataTypeClass(tc), true, "SetDataTypeClass")
T.eq(Vec:GetDataTypeClass(), tc, "GetDataTypeClass on the type")
local v1 = Vec(3)
T.check(v1 ~= nil, "Create through Load")
T.eq(calls[#calls], "IsRawInstance", "Load made the instance through IsRawInstance")
T.eq(v1:GetDataTypeClass(), tc, "GetDataTypeClass on an instance")
T.eq(v1:HasDataTypeClass(), true, "HasDataTypeClass on an instance")
local p = v1:GetDataBuf()
T.eq(p and p:_Get(0), 3, "GetDataBuf through ToParaPkg")
local v2 = Vec(3)
T.eq(v1:Equals(v2), true, "Equals through the type class")
T.eq(v1:Equals(Vec(4)), false, "Equals through the type class, different")
T.eq(tostring(v1), "vec(3)", "_QuelToString through ToString")
_Errors()

-- SetDataTypeClass twice keeps the later object only; the first is unlocked.
local tcA, tcB = _New(_Object), _New(_Object)
local Two = QZDataBase:CreateType("two.T")
local refA = _RefCount(tcA)
Two:SetDataTypeClass(tcA)
T.eq(_RefCount(tcA), refA + 1, "type class locked while held")
Two:SetDataTypeClass(tcB)
T.eq(_RefCount(tcA), refA, "first type class unlocked when replaced")
local kids = _Children(Two, "DataTypeClass")
T.eq(kids:_Count(), 1, "one object in the DataTypeClass queue")
T.eq(kids:_Get(0), tcB, "the later type class is kept")
-- Moving a type class to another type keeps one lock, not two.
local Three = QZDataBase:CreateType("three.T")
local refB = _RefCount(tcB)
Three:SetDataTypeClass(tcB)
T.eq(_RefCount(tcB), refB, "a type class moved between types keeps one lock")
T.eq(Two:HasDataTypeClass(), false, "the first type lost the moved type class")
Three:SetDataTypeClass(nil)
T.eq(_RefCount(tcB), refB - 1, "nil clears and unlocks")

T.finish("data_types")
