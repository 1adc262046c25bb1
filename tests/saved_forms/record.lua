-- Data records: the no-buffer, value-list and type-class forms written by
-- SaveTo and read by LoadFrom, round trips, signatures, empty values, and the
-- refusals of both sides with their messages.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local function saved(data)
  local rec = _Pkg()
  local ok = data:SaveTo(rec)
  return ok and rec or nil
end

-- Save, load, save: the same record and the same JSON text.
local function roundtrip(data, what)
  local r1 = saved(data)
  T.check(r1 ~= nil, what .. ": saved")
  if r1 == nil then return nil end
  local back = QZDataBase:LoadFrom(r1)
  T.check(back ~= nil, what .. ": loaded")
  if back == nil then return nil end
  local r2 = saved(back)
  T.check(r2 ~= nil and r1:_Equals(r2), what .. ": saved again equal")
  T.eq(r2 and r2:_ToJSon(), r1:_ToJSon(), what .. ": same JSON text")
  local viaText = T.viajson(r1)
  local back2 = viaText and QZDataBase:LoadFrom(viaText)
  local r3 = back2 and saved(back2)
  T.eq(r3 and r3:_ToJSon(), r1:_ToJSon(), what .. ": same JSON text after a trip through JSON text")
  return back, r1
end

local P = QZDataBase:CreateType("rec.P")

-- Value-list form.
local d = P(1, "two", 3.5, true)
local back, rec = roundtrip(d, "value-list form")
T.eq(T.get(rec, "ClassName"), "rec.P", "the record names the data type")
T.eq(rec:_Get(0), "PackageInfo", "keys in order: PackageInfo")
T.eq(rec:_Get(2), "Value", "keys in order: Value")
T.eq(rec:_Get(4), "ClassName", "keys in order: ClassName")
T.eq(T.get(rec, "Signature"), nil, "no signature is written when none is set")
local pair = T.get(rec, "Value")
T.eq(pair:_Count(), 2, "the value is a pair")
T.eq(pair:_Type(0), 0, "without properties item 0 is empty")
T.eq(pair:_Get(1):_Count(), 4, "item 1 is the value list of the buffer")
T.eq(_Class(back), P, "a loaded data is an instance of the saved type")
T.check(back:GetDataBuf():_Equals(d:GetDataBuf()), "with an equal value")

-- Signature of the holder.
local s = P(9)
s:SetSignature("sig-1")
local sback, srec = roundtrip(s, "signed data")
T.eq(T.get(srec, "Signature"), "sig-1", "the signature is written")
T.eq(sback and sback:GetSignature(), "sig-1", "and set again on load")
local unsigned = QZDataBase:LoadFrom(_Dict("PackageInfo", _Pkg(), "Value", _Pkg(nil, _Pkg()), "ClassName", "rec.P",
                                           "Signature", ""))
T.eq(unsigned:GetSignature(), "", "an empty saved signature is not set")

-- No-buffer form: nothing up the chain to the type holds a value. The record
-- writes no buffer and an own empty buffer alike; both load as an instance
-- with no buffer of its own, which reads its value from its class chain.
local bare = _New(P)
local bback, brec = roundtrip(bare, "no-buffer form")
T.eq(T.get(brec, "Value"):_Get(1):_Count(), 0, "no buffer saves an empty list")
T.eq(T.get(brec, "Signature"), nil, "the no-buffer form has no signature")
T.eq(_Class(bback), P, "a no-buffer data loads as an instance of its type")
local Typed = _New(QZDataBase, _Pkg("type value"))
_SetName(Typed, "rec.Typed")
Typed.IsType = true
local e = _New(Typed)
e:SetDataBuf(_Pkg())
local cacheProc = T.procType("rec.cacheProc")
local noBufCases = {
  -- what, data, holder before saving, holder after loading, value count after loading
  {"no buffer anywhere", bare, nil, nil, 0},
  {"an own empty value", e, e, Typed, 1},
}
for _, c in ipairs(noBufCases) do
  local data = c[2]
  T.eq(data:GetObjectHasBuf(), c[3], c[1] .. ": holder before saving")
  local rec2 = saved(data)
  T.eq(rec2 and T.get(rec2, "Value"):_Get(1):_Count(), 0, c[1] .. ": saves an empty value list")
  local back2 = rec2 and QZDataBase:LoadFrom(rec2)
  T.check(back2 ~= nil and back2 ~= data and _Class(back2) == _Class(data), c[1] .. ": loaded as a new instance")
  if back2 then
    T.eq(back2:GetObjectHasBuf(), c[4], c[1] .. ": no buffer of its own after loading")
    T.eq(back2:GetDataBuf() and back2:GetDataBuf():_Count() or 0, c[5], c[1] .. ": the value read from the chain")
    T.errors()
    T.eq(back2:SetCache(cacheProc, nil), c[4] ~= nil, c[1] .. ": SetCache follows the holder")
    T.errors()
  end
end
T.eq(bare:SetCache(cacheProc, nil), false, "SetCache on a data without any buffer is refused")
T.errors()

-- Properties: the loaded data equals the saved one whether its properties
-- were written or not.
local WP = QZDataBase:CreateType("rec.WP")
_LockGC(WP)
WP:CreateProperty("n", 6, 5)
WP:CreateProperty("s", 30, "def")
local SubWP = WP:CreateType("rec.SubWP")
_LockGC(SubWP)
SubWP:CreateProperty("f", 58, 0.5)
local written = WP(1)
written.n = 9
local both = SubWP(1)
both.s = "x" both.f = 2.5
local propCases = {
  {"properties unwritten", WP(1)},
  {"one property written", written},
  {"properties of a sub-type and its base written", both},
  {"a sub-type's properties unwritten", SubWP(2)},
}
for _, c in ipairs(propCases) do
  local back2 = roundtrip(c[2], c[1])
  T.eq(back2 and back2:Equals(c[2]), true, c[1] .. ": the loaded data is equal")
  T.eq(back2 and c[2]:Equals(back2), true, c[1] .. ": and the other way")
  T.eq(back2 and back2.n, c[2].n, c[1] .. ": the property reads the same")
end
local changed = roundtrip(written, "changed after loading")
changed.n = 10
T.eq(changed:Equals(written), false, "a property written after loading makes the data differ")
T.eq(WP(1):Equals(written), false, "an unwritten and a written property differ")
local sameAsDefault = WP(1)
sameAsDefault.n = 5
T.eq(sameAsDefault:Equals(WP(1)), true, "a property written with its default value reads equal")

-- Saved property values of another type than the property's (a record
-- written by hand or by another program) are converted as a write converts
-- them; a value a write would refuse is reported and the default is read.
local r32 = "32-bit integer, -2147483648 to 2147483647"
local function notype(name, v, p)
  return T.prefix(SubWP) .. "'s load property [" .. name .. "] failed, the value's type (" .. v ..
         ") does not convert to the type of the property (" .. p .. "), the default is kept"
end
local function range(name, r)
  return T.prefix(SubWP) .. "'s load property [" .. name .. "] failed, the value is out of the range of the " ..
         "property (" .. r .. "), the default is kept"
end
local savedProps = {
  -- saved properties, property read, expected value, report
  {'{"n":"lots"}', "n", 5, notype("n", "string", "32-bit integer")},
  {'{"n":true}', "n", 5, notype("n", "boolean", "32-bit integer")},
  {'{"n":null}', "n", 5, notype("n", "nil", "32-bit integer")},
  {'{"n":[1]}', "n", 5, notype("n", "package", "32-bit integer")},
  {'{"n":5000000000}', "n", 5, range("n", r32)},
  {'{"n":2.7}', "n", 2},
  {'{"n":7}', "n", 7},
  {'{"s":7}', "s", "def", notype("s", "integer", "string")},
  {'{"s":"x"}', "s", "x"},
  {'{"f":2}', "f", 2.0},
  {'{"f":"2"}', "f", 0.5, notype("f", "string", "double")},
  {'{"n":"lots"},{"s":"kept"}', "s", "kept", notype("n", "string", "32-bit integer")},
}
for _, c in ipairs(savedProps) do
  local text = '{"PackageInfo":[],"Value":[[' .. c[1] .. '],[]],"ClassName":"rec.SubWP"}'
  local record = _Pkg()
  T.check(record:_FromJSon(text), c[1] .. ": the text reads")
  local loaded = T.expect_errors(function() return QZDataBase:LoadFrom(record) end, {c[4]}, c[1] .. ": reports")
  local got = loaded and loaded[c[2]]
  T.eq(got, c[3], c[1] .. ": reads")
  T.eq(math.type(got), math.type(c[3]), c[1] .. ": number kind")
  T.eq(record:_ToJSon(), text, c[1] .. ": the record is left as it was")
end

-- Non-finite numbers have no JSON form: the JSON text of a record holding
-- one is refused instead of a null that would load as another value, and
-- digits beyond the largest double are refused on reading.
for _, v in ipairs({math.huge, -math.huge, 0 / 0}) do
  local r = saved(P(v))
  T.check(r ~= nil, tostring(v) .. ": the record is written")
  T.eq(r and r:_ToJSon(), nil, tostring(v) .. ": its JSON text is refused")
  local back2 = r and QZDataBase:LoadFrom(r)
  T.check(back2 ~= nil and (v ~= v or back2:Equals(P(v))), tostring(v) .. ": the record itself loads back")
end
for _, text in ipairs({"[1e309]", "[1.7976931348623159e308]", "[-1.7976931348623159e308]"}) do
  local p = _Pkg(1)
  T.eq(p:_FromJSon(text), false, text .. " is refused")
  T.eq(p:_Count(), 0, text .. " leaves the package empty")
end
T.eq(_Pkg():_FromJSon("[1.7976931348623157e308]"), true, "the largest double is read")

-- Nested values: packages and data objects inside a value.
local Q = QZDataBase:CreateType("rec.Q")
local inner = P(7)
local outer = Q(_Pkg(1, _Pkg(2)), inner, P)
local oback = roundtrip(outer, "nested value")
local ob = oback and oback:GetDataBuf()
T.check(ob and ob:_Get(0):_Equals(_Pkg(1, _Pkg(2))), "a nested package comes back")
T.check(ob and ob:_Get(1) ~= inner and ob:_Get(1):GetDataBuf():_Equals(inner:GetDataBuf()),
        "a nested data object comes back as an equal new object")
T.eq(ob and ob:_Get(2), P, "a nested type comes back by name")

-- Type-class form: the type class's script Save and Load handle the value.
local C = QZDataBase:CreateType("rec.C")
local Handler = _New(_Object)
local loads = 0
function Handler:OnBeforeFree() end
function Handler:Save(data) return "saved:" .. data.Tag end
function Handler:Load(text)
  loads = loads + 1
  local v = _New(_Object)
  local made = _New(C, _Pkg(v))
  made.Tag = string.sub(text, 7)
  made.Keep = v
  return made
end
C:SetDataTypeClass(Handler)
local value = _New(_Object)
value.Tag = "abc"
local c = _New(C, _Pkg(value))
c.Tag = "abc"
local cback, crec = roundtrip(c, "type-class form")
T.eq(T.get(crec, "Value"):_Get(1), "saved:abc", "item 1 is the text that Save returned")
T.check(loads >= 1, "Load was called")
T.eq(cback and cback.Tag, "abc", "Load rebuilt the value")

local function expectSave(data, message, what)
  local rec = _Pkg(1, 2)
  local ok = T.expect_errors(function() return data:SaveTo(rec) end, message and {message} or {}, what)
  T.eq(ok, false, what .. ": SaveTo is false")
  T.check(rec:_Equals(_Pkg(1, 2)), what .. ": the target package is unchanged")
end

-- Writer refusals.
expectSave(P, T.prefix(P) .. " is data object type, can not save", "a data type")
expectSave(QZDataBase, T.prefix(QZDataBase) .. " is data object type, can not save", "the data class")
local two = _New(C, _Pkg(value, value))
expectSave(two, T.prefix(two) .. " has DataTypeClass, but it's value is invalid", "two items with a type class")
local num = _New(C, _Pkg(5))
expectSave(num, T.prefix(num) .. " has DataTypeClass, but it's value is invalid", "a number with a type class")
Handler.Save = function() return 5 end
expectSave(c, T.prefix(c) .. " has DataTypeClass, but call it's Save function return not string", "Save returns a number")
Handler.Save = function() error("boom") end
T.errors()
T.eq(c:SaveTo(_Pkg()), false, "a failing Save refuses")
local errs = T.errors()
T.check(#errs == 1 and errs[1]:find("has DataTypeClass, but call it's Save function failed", 1, true) ~= nil and
        errs[1]:find("boom", 1, true) ~= nil, "a failing Save is reported as a script error: " .. tostring(errs[1]))
Handler.Save = nil
expectSave(c, T.prefix(c) .. " has DataTypeClass, but call it's Save function failed", "no Save function")
local selfish = P(1)
selfish:GetDataBuf():_Append(selfish)
expectSave(selfish, T.prefix(selfish) .. "'s buf contains the data itself, can not save", "a value holding itself")
T.eq(_New(P):SaveTo(nil), false, "SaveTo without a package is false")

-- Reader refusals.
local function expectLoad(record, messages, what)
  local res = T.expect_errors(function() return QZDataBase:LoadFrom(record) end, messages, what)
  T.eq(res, nil, what .. ": nil")
end
local inst = P(1)
_SetName(inst, "rec.inst")
expectLoad(_Dict("Value", _Pkg(nil, _Pkg())), {"call QZData's LoadFrom failed, data type is not saved"}, "no ClassName")
expectLoad(_Dict("Value", _Pkg(nil, _Pkg()), "ClassName", "rec.none"),
           {"call QZData's LoadFrom failed, data type rec.none is not found"}, "unknown ClassName")
-- A name cut at a NUL byte would find another type.
expectLoad(_Dict("Value", _Pkg(nil, _Pkg()), "ClassName", "rec.P\0other"),
           {"call QZData's LoadFrom failed, data type rec.P is not found"}, "a ClassName holding a NUL")
expectLoad(_Dict("ClassName", "rec.P"), {}, "no Value")
expectLoad(_Dict("Value", "tagtext", "ClassName", "rec.P"), {}, "a Value that is no package")
expectLoad(_Dict("Value", _Pkg(nil, _Pkg()), "ClassName", "rec.inst"),
           {T.prefix(inst) .. " LoadFrom must be called for QZData Class wich IsType is true"}, "a class that is an instance")
expectLoad(_Dict("Value", _Pkg(nil, "x"), "ClassName", "rec.P"), {}, "item 1 no package without a type class")
expectLoad(_Dict("Value", _Pkg(nil, _Pkg()), "ClassName", "rec.C"), {}, "item 1 no string with a type class")
Handler.Load = function() return 5 end
expectLoad(_Dict("Value", _Pkg(nil, "saved:x"), "ClassName", "rec.C"),
           {T.prefix(C) .. " has DataTypeClass, but call it's Load function return not Object"}, "Load returns a number")
Handler.Load = function() return _New(_Object) end
expectLoad(_Dict("Value", _Pkg(nil, "saved:x"), "ClassName", "rec.C"),
           {T.prefix(C) .. " has DataTypeClass, but call it's Load function return not Object"},
           "Load returns an object that is no data")
Handler.Load = nil
expectLoad(_Dict("Value", _Pkg(nil, "saved:x"), "ClassName", "rec.C"),
           {T.prefix(C) .. " has DataTypeClass, but call it's Load function failed"}, "no Load function")

-- Loaded data belong to the script: once dropped they are collected.
_CollectGarbage()
local live = T.stat("LiveObjects")
for i = 1, 20 do QZDataBase:LoadFrom(rec) end
_CollectGarbage()
T.check(T.stat("LiveObjects") <= live, "loaded data do not outlive their script references")

T.finish("saved_forms_record")
