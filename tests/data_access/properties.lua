-- Properties: declaration on types and its refusals, reads and writes through
-- instances, prototypes and the type, value conversions, the property tests.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local P = T.prefix

local Ty = QZDataBase:CreateType("prop.T")
_LockGC(Ty)

-- Declaration ----------------------------------------------------------------
T.eq(Ty:HasProperty(), false, "no property yet")
T.eq(T.expect_errors(function() return Ty:CreateProperty("x", 6, 5) end, {}, "declare x"), true, "declare x")
T.eq(Ty:HasProperty(), true, "the type has a property")
T.eq(Ty:CreateProperty("y", 1, true), true, "a second property after the companions exist")
T.eq(Ty:CreateProperty("s", 30, "text"), true, "string property")
T.eq(Ty:CreateProperty("f", 58, 1.5), true, "double property")
T.eq(Ty:CreateProperty("big", 60, 5), true, "64-bit property with a small default")
T.eq(Ty:CreateProperty("", 6, 0), true, "the empty name is a name")

local Sub = Ty:CreateType("prop.Sub")
_LockGC(Sub)
local Busy = QZDataBase:CreateType("prop.Busy")
_LockGC(Busy)
local busyInst = Busy(1)
local inst = Ty(1)

local refusals = {
  -- object, arguments, message after the prefix
  {QZDataBase, {"a", 6, 1}, "'s CreateProperty failed, the Property can only be set for predefined data type"},
  {QZDataSetBase, {"a", 6, 1}, "'s CreateProperty failed, the Property can only be set for predefined data type"},
  {inst, {"a", 6, 1}, "'s CreateProperty failed, the Property can only be set for data type"},
  {Sub, {nil, 6, 1}, "'s CreateProperty failed, the Property can not be NULL"},
  {Sub, {"x\0y", 6, 1}, "'s CreateProperty failed, the Property name contains a NUL character"},
  {Sub, {"x", 58, 1.5}, "'s CreateProperty failed, the Property[x] has existed"},
  {Sub, {"q", 2, 1},
   "'s CreateProperty failed, the Property[q] type must be VSTYPE_BOOL,VSTYPE_INT32,VSTYPE_CHARPTR,VSTYPE_DOUBLE,VSTYPE_INT64"},
  {Sub, {"q", "6", 1},
   "'s CreateProperty failed, the Property[q] type must be VSTYPE_BOOL,VSTYPE_INT32,VSTYPE_CHARPTR,VSTYPE_DOUBLE,VSTYPE_INT64"},
  {Sub, {"q", 30}, "'s CreateProperty failed, the Property[q] 's default value must be set"},
  {Sub, {"q", 6, nil}, "'s CreateProperty failed, the Property[q] 's default value is invalid"},
  {Sub, {"q", 6, {}}, "'s CreateProperty failed, the Property[q] 's default value is invalid"},
  {Sub, {"q", 58, "1.5"}, "'s CreateProperty failed, the Property[q] 's default value is not same with type"},
  {Sub, {"q", 58, 1}, "'s CreateProperty failed, the Property[q] 's default value is not same with type"},
  {Sub, {"q", 1, 1}, "'s CreateProperty failed, the Property[q] 's default value is not same with type"},
  {Sub, {"q", 30, false}, "'s CreateProperty failed, the Property[q] 's default value is not same with type"},
  {Sub, {"q", 6, 1.0}, "'s CreateProperty failed, the Property[q] 's default value is not same with type"},
  -- a 32-bit property cannot take a default beyond 32 bits
  {Sub, {"q", 6, 1 << 40}, "'s CreateProperty failed, the Property[q] 's default value is out of the range of the " ..
   "property (32-bit integer, -2147483648 to 2147483647)"},
  {Sub, {"q", 6, 5000000000}, "'s CreateProperty failed, the Property[q] 's default value is out of the range of " ..
   "the property (32-bit integer, -2147483648 to 2147483647)"},
  {Busy, {"q", 6, 1}, "'s CreateProperty failed, the data object has instances"},
}
for i, r in ipairs(refusals) do
  local obj, a = r[1], r[2]
  local n = #a
  if i == 10 then n = 3 end -- an explicit nil default
  local result = T.expect_errors(function() return obj:CreateProperty(table.unpack(a, 1, n)) end,
                                 {P(obj) .. r[3]}, "refusal " .. i)
  T.eq(result, false, "refusal " .. i .. " result")
end
T.eq(Sub:IsProperty("q"), false, "a refused property is not declared")
T.eq(Sub:HasProperty(), true, "a sub-type sees its base type's properties")
T.eq(Sub:CreateProperty("q", 6, 1 << 20), true, "a sub-type declares its own property")

-- Reads and writes -----------------------------------------------------------
local a, b = Ty(1), Ty(2)
T.eq(a.x, 5, "default read through an instance")
T.eq(math.type(a.x), "integer", "32-bit default reads as an integer")
T.eq(a.y, true, "bool default")
T.eq(a.s, "text", "string default")
T.eq(a.f, 1.5, "double default")
T.eq(a.big, 5, "64-bit default")
T.eq(Ty.x, 5, "the type reads its definition")
a.x = 7
T.eq(a.x, 7, "the instance reads its own value")
T.eq(b.x, 5, "another instance still reads the default")
T.eq(Ty.x, 5, "the definition is unchanged")
T.expect_errors(function() Ty.x = 9 end, {}, "a write on the type is no property write")
T.eq(Ty.x, 5, "a write on the type changes no definition")
T.eq(b.x, 5, "nor what instances read")

-- A prototype's value is read and written through its holder.
local proto = a()
T.eq(proto.x, 7, "an instance of an instance reads the holder's value")
proto.x = 11
T.eq(a.x, 11, "the write lands on the holder of the value package")
-- Without any value package the value sits on the first instance below the type.
local bare = _New(Ty)
local bareChild = _New(bare)
T.eq(bareChild.x, 5, "bare instance reads the default")
bareChild.x = 3
T.eq(bare.x, 3, "the direct instance holds the value")
T.eq(bareChild.x, 3, "and its instance reads it")
T.eq(Ty.x, 5, "the type keeps its default")
-- A type that holds a value package keeps its definitions to itself.
local TB = _New(QZDataBase, _Pkg(1))
_LockGC(TB)
T.eq(TB:CreateProperty("p", 6, 1), true, "property on a type with a value package")
local ib = _New(TB)
T.eq(ib:GetObjectHasBuf(), TB, "the instance reads the type's package")
ib.p = 4
T.eq(ib.p, 4, "the instance's own value")
T.eq(TB.p, 1, "the type's default is untouched")
T.eq(_New(TB).p, 1, "a new instance reads the default")

-- Conversions: property, value written, expected read (nil: refused, the old
-- value stays), and for a refused value why: a number out of the property's
-- range, or a value of a type that does not convert to the property's.
local c = Ty(3)
local r32 = "32-bit integer, -2147483648 to 2147483647"
local r64 = "64-bit integer, -9223372036854775808 to 9223372036854775807"
local function range(r) return "the value is out of the range of the property (" .. r .. ")" end
local function notype(v, p) return "the value's type (" .. v .. ") does not convert to the type of the property (" ..
                                   p .. ")" end
local conversions = {
  {"x", 2.7, 2}, {"x", -2.9, -2}, {"x", 12, 12}, {"x", "9", nil, notype("string", "32-bit integer")},
  {"x", true, nil, notype("boolean", "32-bit integer")},
  {"x", 1 << 40, nil, range(r32)}, {"x", 1e300, nil, range(r32)}, {"x", 0/0, nil, range(r32)},
  {"x", -(1 << 31), -(1 << 31)},
  {"x", 5000000000, nil, range(r32)}, {"x", 1e10, nil, range(r32)}, {"x", -2147483649, nil, range(r32)},
  {"x", math.huge, nil, range(r32)},
  {"x", 2147483647.5, 2147483647},
  {"big", 1 << 40, 1 << 40}, {"big", 1.9, 1}, {"big", -7, -7}, {"big", "1", nil, notype("string", "64-bit integer")},
  {"big", 1e19, nil, range(r64)},
  {"f", 3, 3.0}, {"f", 1 << 40, 2.0 ^ 40}, {"f", 0.25, 0.25}, {"f", "a", nil, notype("string", "double")},
  {"f", false, nil, notype("boolean", "double")},
  {"y", false, false}, {"y", 1, nil, notype("integer", "boolean")}, {"y", "true", nil, notype("string", "boolean")},
  {"s", "a\0b", "a\0b"}, {"s", 5, nil, notype("integer", "string")}, {"s", 2.5, nil, notype("number", "string")},
  {"s", _Pkg(), nil, notype("package", "string")},
  {"x", nil, nil, notype("nil", "32-bit integer")}, {"x", c, nil, notype("object", "32-bit integer")},
  {"x", _Pkg(1), nil, notype("package", "32-bit integer")},
  {"x", _BinBuf("ab"), nil, notype("binary buffer", "32-bit integer")},
  {"x", print, nil, notype("table, function or other", "32-bit integer")},
  {"x", {}, nil, notype("table, function or other", "32-bit integer")},
}
for i, cv in ipairs(conversions) do
  local name, value, expected, why = cv[1], cv[2], cv[3], cv[4]
  local before = c[name]
  local messages = {}
  if why then messages = {P(c) .. "'s set property [" .. name .. "] failed, " .. why} end
  local ok = T.expect_errors(function() return pcall(function() c[name] = value end) end, messages,
                             "conversion " .. i .. " messages")
  T.check(ok, "conversion " .. i .. " raised no script error")
  local got = c[name]
  if expected == nil then
    T.check(why ~= nil, "conversion " .. i .. " is refused with a reason")
    T.eq(got, before, "conversion " .. i .. " refused, old value kept")
  else
    T.eq(got, expected, "conversion " .. i .. " value")
    T.eq(math.type(got), math.type(expected), "conversion " .. i .. " number kind")
  end
end
T.eq(#c.s, 3, "string length kept")

-- Property tests -------------------------------------------------------------
local plain = QZDataBase:CreateType("prop.Plain")
local pi = plain(1)
local tests = {
  {"IsProperty on an instance", a:IsProperty("x"), true},
  {"IsProperty unknown", a:IsProperty("nope"), false},
  {"IsProperty nil", a:IsProperty(nil), false},
  {"IsProperty number", a:IsProperty(5), false},
  {"IsProperty through a sub-type", Sub(1):IsProperty("x"), true},
  {"IsProperty of the sub-type's own", Sub:IsProperty("q"), true},
  {"IsProperty is by type, not by base", Ty:IsProperty("q"), false},
  {"IsProperty case-sensitive", a:IsProperty("X"), false},
  {"HasProperty without properties", pi:HasProperty(), false},
  {"HasProperty of a plain type", plain:HasProperty(), false},
  {"HasProperty of QZDataBase", QZDataBase:HasProperty(), false},
  {"HasProperty of an instance", a:HasProperty(), true},
  {"Wrap", a:Wrap(), a},
  {"Wrap of a type", Ty:Wrap(), Ty},
}
for _, t in ipairs(tests) do T.eq(t[2], t[3], t[1]) end
-- Ordinary attributes and functions stay reachable.
T.eq(a.IsType, false, "attributes are not shadowed")
T.eq(type(a.GetDataBuf), "function", "functions are not shadowed")
a.scratch = 1
T.eq(a.scratch, 1, "a name that is no property is a script field")

-- SetReadOnly ------------------------------------------------------------------
local ro = plain(1, 2)
ro:SetReadOnly()
ro:SetReadOnly()
T.eq(ro:GetDataBuf():_Set(0, 9), false, "the value package is read-only")
T.eq(ro[0], 1, "and unchanged")
T.eq(select("#", plain(1):SetReadOnly()), 0, "SetReadOnly pushes nothing")
_New(plain):SetReadOnly() -- no value package: nothing happens

inst = nil busyInst = nil
T.finish("data_access_properties")
