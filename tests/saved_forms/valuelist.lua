-- Value lists through the JSON package of a rule: every item kind written,
-- read back and written again gives the same package and the same JSON text;
-- the refusals of the writer and the reader with their messages.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local R = QZRuleBase:CreateType("vl.Rule")
local r = R()
local P = QZDataBase:CreateType("vl.P")

local ProcType = _New(QZProcBase)
_SetName(ProcType, "vl.ProcType")
ProcType.IsType = true

local d = P(1, "a", 2.5)
local int64 = 1 << 40
local nested = _Pkg(1, _Pkg(), _Pkg("deep", _Pkg(true)))

local buf = _Pkg()
buf:_Append(nil)          -- 0 empty
buf:_Append(7)            -- 1 int32
buf:_Append(2.5)          -- 2 double
buf:_Append("text")       -- 4 string
buf:_Append(true)         -- 6 bool
buf:_Append(int64)        -- 9 int64
buf:_Append(nested)       -- 8 package
buf:_Append(P)            -- 7 data type, by name
buf:_Append(d)            -- 7 data object, by value
buf:_Append(QZDataBase)   -- 7 the data class itself
buf:_Append(ProcType)     -- 7 proc type, by name
buf:_Append(_Pkg())       -- 8 empty package

local expectedTypes = {0, 1, 2, 4, 6, 9, 8, 7, 7, 7, 7, 8}

T.errors()
local j1 = r:SaveToJSonPkg(buf)
T.check(j1 ~= nil, "a package of every saveable kind is written")
T.eq(#T.errors(), 0, "writing reports nothing")
local list = T.get(j1, "Value")
T.eq(list:_Count(), buf:_Count(), "one item dict per item")
for i, code in ipairs(expectedTypes) do
  local item = list:_Get(i - 1)
  T.eq(T.get(item, "Type"), code, "item " .. (i - 1) .. " Type")
end
T.eq(T.get(list:_Get(7), "ClassName"), "vl.P", "a data type is saved by its own name")
T.eq(T.get(list:_Get(7), "IsClass"), true, "a data type is saved as a class")
T.eq(T.get(list:_Get(8), "ClassName"), "vl.P", "a data object names its type")
T.eq(T.get(list:_Get(8), "IsClass"), false, "a data object is saved by value")
T.eq(T.get(list:_Get(9), "ClassName"), "QZDataBase", "the data class is saved by name")
T.eq(T.get(list:_Get(10), "BaseClass"), "QZProcBase", "a proc type names its base class")
T.eq(T.get(list:_Get(10), "ClassName"), "vl.ProcType", "a proc type is saved by name")
T.check(not list:_Get(10):_IsDict(), "a proc type's item dict is not marked")
T.check(list:_Get(8):_IsDict() and list:_Get(1):_IsDict(), "data and plain item dicts are marked")
T.eq(T.get(list:_Get(11), "Value"):_Count(), 0, "an empty package writes an empty list")
T.eq(j1:_Get(0), "PackageInfo", "the JSON package begins with PackageInfo")

-- Read back: same values, classes by name, data objects as new equal data.
local b1 = r:LoadFromJSonPkg(j1)
T.check(b1 ~= nil, "the list is read back")
T.eq(b1:_Count(), buf:_Count(), "every item comes back")
for i = 0, 6 do
  T.eq(b1:_Type(i), buf:_Type(i), "item " .. i .. " keeps its kind")
end
T.eq(b1:_Get(1), 7, "int32")
T.eq(b1:_Get(2), 2.5, "double")
T.eq(b1:_Get(3), "text", "string")
T.eq(b1:_Get(4), true, "bool")
T.eq(b1:_Get(5), int64, "int64")
T.check(b1:_Get(6):_Equals(nested), "nested packages come back with their items")
T.eq(b1:_Get(7), P, "a data type reads back as the class of that name")
local d2 = b1:_Get(8)
T.check(d2 ~= nil and d2 ~= d, "a data object reads back as a new object")
T.eq(_Class(d2), P, "of the saved type")
T.check(d2:GetDataBuf():_Equals(d:GetDataBuf()), "with an equal value")
T.eq(b1:_Get(9), QZDataBase, "the data class reads back by name")
T.eq(b1:_Get(10), ProcType, "a proc type reads back by name")
T.eq(b1:_Get(11):_Count(), 0, "an empty package reads back empty")

-- Written again: the same package and the same JSON text.
local j2 = r:SaveToJSonPkg(b1)
T.check(j1:_Equals(j2), "save, load, save gives the same package")
T.eq(j2:_ToJSon(), j1:_ToJSon(), "and the same JSON text")

-- Through JSON text and back.
local jt = T.viajson(j1)
T.check(jt ~= nil, "the JSON package has a JSON text")
local b2 = r:LoadFromJSonPkg(jt)
T.check(b2 ~= nil, "the package parsed from the text is read")
local j3 = r:SaveToJSonPkg(b2)
T.eq(j3:_ToJSon(), j1:_ToJSon(), "a list read from JSON text writes the same text")
T.eq(b2:_Type(5), 9, "an int64 stays an int64 through JSON text")
T.eq(b2:_Type(2), 2, "a double stays a double through JSON text")

-- A string with an embedded zero byte keeps its length.
local zb = r:LoadFromJSonPkg(r:SaveToJSonPkg(_Pkg("a\0b")))
T.eq(zb:_Get(0), "a\0b", "embedded zero bytes are kept")

-- Empty inputs.
T.eq(r:SaveToJSonPkg(_Pkg()), nil, "an empty buffer gives no JSON package")
T.eq(r:SaveToJSonPkg(nil), nil, "no buffer gives no JSON package")
T.eq(r:LoadFromJSonPkg(_Dict("PackageInfo", _Pkg(), "Value", _Pkg())):_Count(), 0, "an empty list reads empty")
T.eq(r:LoadFromJSonPkg(_Dict("PackageInfo", _Pkg())), nil, "a JSON package without Value gives nil")
T.eq(r:LoadFromJSonPkg(_Dict("Value", 3)), nil, "a Value that is no package gives nil")

-- Kinds that are never written read back as empty items.
local odd = r:LoadFromJSonPkg(_Dict("Value", _Pkg(_Dict("Type", 3, "Value", "x"), _Dict("Type", 5, "Value", 9),
                                                  _Dict("Type", 42), _Dict("Type", 0, "Value", nil))))
T.eq(odd:_Count(), 4, "binary, time, unknown and empty dicts give one item each")
for i = 0, 3 do T.eq(odd:_Type(i), 0, "odd item " .. i .. " is empty") end

-- A plain item whose Value its Type cannot take loads as the type's default
-- and says so, in the words of a record's property that does not convert; a
-- number of another width or kind converts as the type reads it, silently.
-- Later items keep their places.
local function unfit(i, valueType, itemType)
  return T.prefix(r) .. "'s load item [" .. i .. "] failed, the value's type (" .. valueType ..
         ") does not convert to the type of the item (" .. itemType .. "), the default is kept"
end
local function outOfRange(i, range)
  return T.prefix(r) .. "'s load item [" .. i .. "] failed, the value is out of the range of the item (" .. range ..
         "), the default is kept"
end
local unfitCases = {
  {"a string for an int32", _Dict("Type", 1, "Value", "x"), 1, 0, unfit(0, "string", "32-bit integer")},
  {"a string for a double", _Dict("Type", 2, "Value", "2.5"), 2, 0.0, unfit(0, "string", "double")},
  {"a string for a bool", _Dict("Type", 6, "Value", "yes"), 6, false, unfit(0, "string", "boolean")},
  {"a package for an int64", _Dict("Type", 9, "Value", _Pkg(1)), 9, 0, unfit(0, "package", "64-bit integer")},
  {"an empty value for an int32", _Dict("Type", 1, "Value", nil), 1, 0, unfit(0, "nil", "32-bit integer")},
  {"an int32 beyond its width", _Dict("Type", 1, "Value", 1 << 32), 1, 0,
   outOfRange(0, "32-bit integer, -2147483648 to 2147483647")},
  {"a double beyond an int32", _Dict("Type", 1, "Value", 1e10), 1, 0,
   outOfRange(0, "32-bit integer, -2147483648 to 2147483647")},
  {"a double beyond an int64", _Dict("Type", 9, "Value", 1e30), 9, 0,
   outOfRange(0, "64-bit integer, -9223372036854775808 to 9223372036854775807")},
  {"a double for an int32", _Dict("Type", 1, "Value", 2.9), 1, 2, nil},
  {"an int32 for a double", _Dict("Type", 2, "Value", 3), 2, 3.0, nil},
  {"an int32 for an int64", _Dict("Type", 9, "Value", 7), 9, 7, nil},
  {"a bool for an int32", _Dict("Type", 1, "Value", true), 1, 1, nil},
  {"an int32 for a bool", _Dict("Type", 6, "Value", 1), 6, true, nil},
}
for _, c in ipairs(unfitCases) do
  local got = T.expect_errors(function()
    return r:LoadFromJSonPkg(_Dict("Value", _Pkg(c[2], _Dict("Type", 4, "Value", "after"))))
  end, c[5] and {c[5]} or {}, "read " .. c[1])
  T.check(got ~= nil, "read " .. c[1] .. " gives a package")
  T.eq(got and got:_Type(0), c[3], "read " .. c[1] .. " keeps the item's type")
  T.eq(got and got:_Get(0), c[4], "read " .. c[1] .. " gives " .. tostring(c[4]))
  T.eq(got and got:_Get(1), "after", "read " .. c[1] .. " keeps the next item")
end
-- Inside a nested list the item is named by its place in that list; the
-- report comes once the whole list is read.
local deep = T.expect_errors(function()
  return r:LoadFromJSonPkg(_Dict("Value", _Pkg(_Dict("Type", 1, "Value", 5),
                                                _Dict("Type", 8, "Value", _Pkg(_Dict("Type", 4, "Value", "a"),
                                                                              _Dict("Type", 2, "Value", "b"))))))
end, {unfit(1, "string", "double")}, "read an unfit item in a nested list")
T.eq(deep and deep:_Get(1):_Get(1), 0.0, "the nested unfit item is the default")
-- A list that fails as a whole reports nothing of its unfit items.
T.expect_errors(function()
  return r:LoadFromJSonPkg(_Dict("Value", _Pkg(_Dict("Type", 1, "Value", "x"), 5)))
end, {}, "a failed read reports no unfit item")

-- A proc or chain item that builds nothing keeps its place: later items stay
-- at their indexes.
local gap = r:LoadFromJSonPkg(_Dict("Value", _Pkg(
  _Dict("Type", 7, "BaseClass", "QZProcBase", "IsClass", false, "Value", _Dict("Type", "NotAProc")),
  _Dict("Type", 1, "Value", 42),
  _Dict("Type", 7, "BaseClass", "qzprocchainbase", "IsClass", false, "Value", _Dict("Type", "Other")),
  _Dict("Type", 4, "Value", "after"))))
T.check(gap ~= nil, "unknown proc record types are skipped, not refused")
T.eq(gap and gap:_Count(), 4, "each skipped object leaves an item")
T.eq(gap and gap:_Type(0), 0, "the skipped proc is an empty item")
T.eq(gap and gap:_Get(1), 42, "the next item keeps index 1")
T.eq(gap and gap:_Get(3), "after", "the last item keeps index 3")

-- BaseClass is compared without regard to case.
local ci = r:LoadFromJSonPkg(_Dict("Value", _Pkg(_Dict("Type", 7, "BaseClass", "qzDATAbase", "ClassName", "vl.P",
                                                        "IsClass", false, "Value", _Pkg(nil, _Pkg())))))
T.check(ci ~= nil and _Class(ci:_Get(0)) == P, "a data item with another case of BaseClass is read")

-- Writer refusals: nothing is returned, the message names the rule.
local Stranger = _New(_Object)
local gone = P(5)
local goneBuf = _Pkg(gone)
_Free(gone)
local timeBuf = _Pkg()
timeBuf:_Append(12345, 5)
local foreign = T.prefix(r) ..
  "'s buf has object which does not instance of QZDataBase or QZProcBase or QZProcChainBase, can not save"
local writeRefusals = {
  {"binary item", _Pkg(1, _BinBuf("ab")), T.prefix(r) .. "'s contains binary data, can not save"},
  {"time item", timeBuf, T.prefix(r) .. "'s contains data which can not save"},
  {"binary in a nested package", _Pkg(1, _Pkg(2, _BinBuf("x"))), T.prefix(r) .. "'s contains binary data, can not save"},
  {"plain host object", _Pkg(Stranger), foreign},
  {"a rule", _Pkg(r), foreign},
  {"a freed data object", goneBuf, foreign},
}
for _, c in ipairs(writeRefusals) do
  local res = T.expect_errors(function() return r:SaveToJSonPkg(c[2]) end, {c[3]}, "write " .. c[1])
  T.eq(res, nil, "write " .. c[1] .. " gives nil")
end

-- Reader refusals: nil, and a message only where the reader itself names one.
local function jp(...) return _Dict("PackageInfo", _Pkg(), "Value", _Pkg(...)) end
local readRefusals = {
  {"item that is no package", jp(5), {}},
  {"item dict without Type", jp(_Dict("Value", 1)), {}},
  {"int32 without Value", jp(_Dict("Type", 1)), {}},
  {"string whose Value is no string", jp(_Dict("Type", 4, "Value", 5)), {}},
  {"package whose Value is no package", jp(_Dict("Type", 8, "Value", 5)), {}},
  {"package without Value", jp(_Dict("Type", 8)), {}},
  {"object without BaseClass", jp(_Dict("Type", 7, "IsClass", true, "ClassName", "vl.P")), {}},
  {"object without IsClass", jp(_Dict("Type", 7, "BaseClass", "QZDataBase", "ClassName", "vl.P")), {}},
  {"class of unknown name", jp(_Dict("Type", 7, "BaseClass", "QZDataBase", "IsClass", true, "ClassName", "no.such")), {}},
  {"class without ClassName", jp(_Dict("Type", 7, "BaseClass", "QZDataBase", "IsClass", true)), {}},
  {"object without Value", jp(_Dict("Type", 7, "BaseClass", "QZDataBase", "IsClass", false, "ClassName", "vl.P")), {}},
  {"unknown BaseClass", jp(_Dict("Type", 7, "BaseClass", "Foo", "IsClass", false, "Value", 1)), {}},
  {"proc Value that is no package", jp(_Dict("Type", 7, "BaseClass", "QZProcBase", "IsClass", false, "Value", 1)), {}},
  {"proc Value without Type", jp(_Dict("Type", 7, "BaseClass", "QZProcBase", "IsClass", false, "Value", _Dict("X", 1))), {}},
  {"data without ClassName", jp(_Dict("Type", 7, "BaseClass", "QZDataBase", "IsClass", false, "Value", _Pkg(nil, _Pkg()))), {}},
  {"data of unknown class", jp(_Dict("Type", 7, "BaseClass", "QZDataBase", "ClassName", "no.such", "IsClass", false,
                                     "Value", _Pkg(nil, _Pkg()))),
   {T.prefix(r) .. " can not find class no.such, load failed"}},
  {"data record of a class that is no data type", jp(_Dict("Type", 7, "BaseClass", "QZDataBase", "ClassName", "vl.Rule",
                                     "IsClass", false, "Value", _Pkg(nil, _Pkg()))),
   {T.prefix(R) .. " LoadFrom must be called for QZData Class wich IsType is true"}},
  {"data whose value pair holds no list", jp(_Dict("Type", 7, "BaseClass", "QZDataBase", "ClassName", "vl.P",
                                                   "IsClass", false, "Value", _Pkg(nil, 3))), {}},
  {"bad item after good ones", jp(_Dict("Type", 1, "Value", 1), _Dict("Type", 8, "Value", _Pkg(7))), {}},
}
for _, c in ipairs(readRefusals) do
  local res = T.expect_errors(function() return r:LoadFromJSonPkg(c[2]) end, c[3], "read " .. c[1])
  T.eq(res, nil, "read " .. c[1] .. " gives nil")
end

-- A data object whose value holds itself cannot be written (and nothing
-- recurses without end).
local selfish = P(1)
selfish:GetDataBuf():_Append(selfish)
local res = T.expect_errors(function() return r:SaveToJSonPkg(_Pkg(selfish)) end,
                            {T.prefix(selfish) .. "'s buf contains the data itself, can not save"},
                            "a value that holds its own data object")
T.eq(res, nil, "is not written")

T.finish("saved_forms_valuelist")
