-- Info, text form, creation, description, signature, tags, uniform ticks.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local Point = QZDataBase:CreateType("geo.Point")
local Flat = QZDataBase:CreateType("Point")

-- Tag labels and tags of types and instances.
local tagTable = {
  {"type with a space", Point, "data_geo_Point"},
  {"type without a space", Flat, "data_global_Point"},
  {"predefined class", QZDataSetBase, "data_global_QZDataSetBase"},
}
for _, c in ipairs(tagTable) do
  T.eq(c[2]:GetTag(), c[3], c[1] .. " GetTag is the unhashed label")
  T.eq(c[2]:GetTagLabel(), c[3], c[1] .. " GetTagLabel")
end
local p = Point(1, 2.5, "x")
T.eq(p:GetTagLabel(), "data_geo_Point", "instance tag label")
T.eq(p:GetTag(), "cf2ef5ab76f0b9ecd25f0f40539116ad4674b375", "value tag: hash of data_geo.Point_ and the saved value")
p:SetSignature("s1")
T.eq(p:GetTag(), "a734d2a6ac294a145932be56fbf1bd81e9fa3506", "signature tag: hash of data_geo_Point_tag_s1")
local f = Flat(7)
f:SetSignature("s1")
T.eq(f:GetTag(), "8a3a85f1d892d8f5b6660be277a7d64d7b152600", "signature tag: hash of data_global_Point_tag_s1")
T.eq(_New(Point):GetTag(), "", "an instance without a value has no tag")
-- Long type names are refused for labels, never cut or overflowing.
local long = QZDataBase:CreateType("n." .. string.rep("L", 117))  -- 119 characters
local tooLong = QZDataBase:CreateType("n." .. string.rep("L", 118)) -- 120 characters
T.eq(long:GetTagLabel(), "data_n_" .. string.rep("L", 117), "a 119-character name makes a label")
T.eq(tooLong:GetTagLabel(), "", "a 120-character name makes no label")
local lv = tooLong(1)
lv:SetSignature("s")
T.eq(lv:GetTag(), "", "no signature tag for a 120-character type name")
-- Long values are hashed whole: values that differ only after 10240
-- characters still have different tags.
local big1 = Point(string.rep("a", 20000) .. "1")
local big2 = Point(string.rep("a", 20000) .. "2")
T.check(big1:GetTag() ~= big2:GetTag(), "long values differing at the end have different tags")
T.eq(#big1:GetTag(), 40, "long value tag length")

-- Text form.
T.eq(tostring(Point), "geo.Point", "text of a type is its name")
T.eq(tostring(QZDataBase), "QZDataBase", "text of a predefined class")
T.eq(tostring(Point(1, "a")), '[1,"a"]', "text of a value package")
T.eq(tostring(_New(Point)), "", "text of an instance without a value")

-- Creation forms.
local args = Point(1, 2.5, "s", true, nil, _Pkg(3), 1 << 40, p)
local b = args:GetDataBuf()
local types = {}
for i = 0, b:_Count() - 1 do types[#types + 1] = b:_Type(i) end
T.eq(table.concat(types, ","), "1,2,4,6,0,8,9,7", "argument types become item types")
T.eq(b:_Get(7), p, "object argument stored as object item")
local proto = Point(5)
local fromProto = proto:Create()
T.eq(fromProto:GetDataBuf():_Get(0), 5, "Create on an instance reads the value through its class")
T.eq(fromProto:GetObjectHasBuf(), proto, "the prototype holds the value")
local Sub = Point:CreateType("geo.Sub")
T.eq(Sub.IsType, true, "CreateType makes a type")
T.eq(Sub:GetType(), Point, "the sub-type's base type")
T.eq(Sub(1):GetType(), Sub, "instances of the sub-type")
T.eq(QZDataSetBase:CreateType("geo.Set"):IsDataSet(), true, "a sub-type of the set class is a set")

-- Info and origin.
T.eq(p:GetInfo(), "main[0].geo.Point." .. _Name(p), "GetInfo without package information")
_SetName(p, "pt")
T.eq(p:GetInfo(), "main[0].geo.Point.pt", "GetInfo with a name")
T.eq(p:IsFromEnv(), true, "data made by script came from outside")
T.eq(p:IsFromProc(_New(QZProcBase)), false, "not made by a proc")
T.eq(p:IsFromProc(p), false, "a data object is no proc")
T.eq(p:GetOwnerProc(), nil, "no owner proc")
local PT = _New(QZProcBase)
PT.IsType = true
_LockGC(PT)
local q = Point(1)
q.OwnerProcID = _ID(PT)
T.eq(q:GetOwnerProc(), PT, "owner proc by ID")
T.eq(q:IsFromProc(PT), true, "made by the proc type")
T.eq(q:IsFromProc(_New(PT)), true, "a proc of the owner type")
local runnerProc = _New(PT)
q.OwnerRunnerProcID = _ID(runnerProc)
T.eq(q:IsFromEnv(), false, "made in a runner")
T.eq(q:IsFromProc(runnerProc), true, "made by that runner's proc")
T.eq(q:IsFromProc(_New(PT)), false, "another proc of the same type did not make it")
T.eq(p:ConnectedProcToParaPkg():_Count(), 0, "no connected procs")

-- Description, signature, uniform tick.
T.eq(p:GetDesc(), "", "no description")
p:SetDesc("about")
T.eq(p:GetDesc(), "about", "SetDesc")
p:SetDesc(nil)
T.eq(p:GetDesc(), "", "SetDesc nil")
Point:SetSignature("type sig")
T.eq(Point:GetSignature(), "", "types have no signature")
local child = proto()
child:SetSignature("on holder")
T.eq(proto:GetSignature(), "on holder", "the signature goes to the holder")
local t0 = proto:GetUniformTick()
child:SetUniformTick()
T.check(proto:GetUniformTick() > t0, "SetUniformTick stamps the holder anew")
T.eq(math.type(proto:GetUniformTick()), "integer", "uniform tick is an integer")

-- Callbacks.
local target = _New(_Object)
T.eq(select("#", p:RegCallBack(target)), 0, "RegCallBack pushes nothing")
p:RegCallBack(nil)
T.eq(select("#", p:OnBeforeFree()), 0, "the default OnBeforeFree pushes nothing")

T.finish("data_info")
