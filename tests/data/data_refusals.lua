-- Every refusal of the data functions, with its message to the letter: one
-- table per group of functions.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local P = T.prefix

local function typeWithClass(name, hooks)
  local ty = QZDataBase:CreateType(name)
  local tc = _New(_Object)
  for k, f in pairs(hooks) do tc[k] = f end
  ty:SetDataTypeClass(tc)
  return ty, tc
end
local function rawValue()
  local v = _New(_Object)
  _LockGC(v)
  return v
end
local function instanceWithValue(ty, value)
  -- An instance whose value package is set directly, whatever its type class.
  local x = _New(ty)
  x:SetDataBuf(_Pkg(value))
  return x
end

-- Record, life cycle and type system ----------------------------------------
local Ty = QZDataBase:CreateType("ref.T")
local inst = Ty(1)
local Bad = QZDataBase:CreateType("ref.Bad")
local badValue = Bad(1, 2) -- made before the type class: two items
local NoHooks, _ = typeWithClass("ref.NoHooks", {})
local noHooksValue = instanceWithValue(NoHooks, rawValue())
local FalseHook = typeWithClass("ref.False", {ToParaPkg = function() return false end})
local falseValue = instanceWithValue(FalseHook, rawValue())
Bad:SetDataTypeClass(_New(_Object))

local typeSystem = {
  {"GetDataBuf on a type", function() return Ty:GetDataBuf() end, nil, P(Ty) .. " is data type, can not get it's buf"},
  {"SetDataBuf on a type", function() return Ty:SetDataBuf(_Pkg(1)) end, nil, P(Ty) .. " is data type, can not get it's buf"},
  {"value not one object", function() return badValue:GetDataBuf() end, nil,
   P(badValue) .. " has DataTypeClass, but it's value is invalid"},
  {"no ToParaPkg", function() return noHooksValue:GetDataBuf() end, nil,
   P(noHooksValue) .. " has DataTypeClass, but call it's ToParaPkg function failed"},
  {"ToParaPkg false", function() return falseValue:GetDataBuf() end, nil,
   P(falseValue) .. " has DataTypeClass, but call it's ToParaPkg function failed"},
  {"SetDataTypeClass on an instance", function() return inst:SetDataTypeClass(_New(_Object)) end, false,
   P(inst) .. " set DataTypeClass failed, it must be a data type"},
  -- A name cut at a NUL byte would give two different types one name.
  {"a type name with a NUL", function() return QZDataBase:CreateType("ref.N\0a") end, nil,
   "create " .. P(QZDataBase) .. "'s sub-type failed, the type name contains a NUL character"},
  {"a sub-type name with a NUL", function() return Ty:CreateType("\0") end, nil,
   "create " .. P(Ty) .. "'s sub-type failed, the type name contains a NUL character"},
  {"a set type name with a NUL", function() return QZDataSetBase:CreateType("ref.S\0b", Ty) end, nil,
   "create " .. P(QZDataSetBase) .. "'s sub-type failed, the type name contains a NUL character"},
  {"a rule type name with a NUL", function() return QZRuleBase:CreateType("ref.R\0c") end, nil,
   "create " .. P(QZRuleBase) .. "'s sub-type failed, the type name contains a NUL character"},
}
_CollectGarbage()
local typesBeforeRefusals = QZDataBase:CollectType():_Count()
for _, c in ipairs(typeSystem) do
  local r = T.expect_errors(c[2], {c[4]}, c[1])
  T.eq(r, c[3], c[1] .. " result")
end
T.eq(QZDataBase:CollectType():_Count(), typesBeforeRefusals, "refused type names make no type")
T.eq(_Find("ref.N"), nil, "no type under the name cut at the NUL")
-- Freeing a value whose type class has no OnBeforeFree.
local dying = instanceWithValue(NoHooks, rawValue())
local dyingPrefix = P(dying)
T.expect_errors(function() _Free(dying) end,
  {dyingPrefix .. " has assigned DataTypeClass, but calls the function OnBeforeFree failed"}, "no OnBeforeFree")

-- Equality and duplication ---------------------------------------------------
local DupNil = typeWithClass("ref.DupNil", {Dup = function() return nil end})
local dupNilValue = instanceWithValue(DupNil, rawValue())
local noBuf = _New(Ty)
local NoObj = QZDataBase:CreateType("ref.NoObj")
local noObjValue = NoObj(5)
NoObj:SetDataTypeClass(_New(_Object))
local S = QZDataSetBase:CreateType("ref.Set")
local emptySet = _New(S)
local eqA, eqB = instanceWithValue(NoHooks, rawValue()), instanceWithValue(NoHooks, rawValue())

local sourceTable = {
  {"Dup of a type", function() return Ty:Dup() end, nil, P(Ty) .. " is type and not data object, Dup failed"},
  {"Dup of the QZDataBase class", function() return QZDataBase:Dup() end, nil,
   P(QZDataBase) .. " is type and not data object, Dup failed"},
  {"Dup without a value", function() return noBuf:Dup() end, nil, P(noBuf) .. " has no data buf, Dup failed"},
  {"Dup of a non-object value", function() return noObjValue:Dup() end, nil,
   P(noObjValue) .. " has defined DataTypeClass, but it's buf is not object, Dup failed"},
  {"Dup without a Dup hook", function() return noHooksValue:Dup() end, nil,
   P(noHooksValue) .. " has assigned DataTypeClass, but calls the function Dup failed"},
  {"Dup hook returning nil", function() return dupNilValue:Dup() end, nil,
   P(dupNilValue) .. " 's Dup function returns NULL, Dup failed"},
  {"Dup of a script set without members", function() return emptySet:Dup() end, nil,
   P(emptySet) .. " has no data, Dup failed"},
  {"Equals without an Equals hook", function() return eqA:Equals(eqB) end, false,
   P(eqA) .. " has assigned DataTypeClass, but calls the function Equals failed"},
}
for _, c in ipairs(sourceTable) do
  local r = T.expect_errors(c[2], {c[4]}, c[1])
  T.eq(r, c[3], c[1] .. " result")
end

-- Creation and text form -----------------------------------------------------
local NoRaw = typeWithClass("ref.NoRaw", {})
local NotRaw = typeWithClass("ref.NotRaw", {IsRawInstance = function() return false end})
local LoadNum = typeWithClass("ref.LoadNum", {Load = function() return 5 end})
local ToStr = typeWithClass("ref.ToStr", {ToString = function() return 5 end})
local toStrValue = instanceWithValue(ToStr, rawValue())
local v = rawValue()

local creation = {
  {"Create on an instance with input", function() return inst:Create(1) end, nil,
   P(inst) .. "'s Create or () failed, the input for instance must be empty"},
  {"Create on a type without input", function() return Ty:Create() end, nil,
   P(Ty) .. " has no input parameter, calls function Create failed"},
  {"call of a type without input", function() return Ty() end, nil,
   P(Ty) .. " has no input parameter, calls function Create failed"},
  {"no IsRawInstance", function() return NoRaw(v) end, nil,
   P(NoRaw) .. "'s create failed, the data has assigned DataTypeClass, but calls the function IsInstance failed"},
  {"IsRawInstance false", function() return NotRaw(v) end, nil,
   P(NotRaw) .. "'s create failed, the data has assigned DataTypeClass, but input value is not instance of DataTypeClass"},
  {"no Load", function() return NoRaw(1) end, nil, P(NoRaw) .. " has DataTypeClass, but call it's Load function failed"},
  {"Load returning a number", function() return LoadNum(1) end, nil,
   P(LoadNum) .. " has DataTypeClass, but call it's Load function return not Object"},
  {"CreateType on an instance", function() return inst:CreateType("x") end, nil,
   "create " .. P(inst) .. "'s sub-type failed, this object is not data type"},
  {"ToString returning a number", function() return toStrValue:_QuelToString() end, "",
   P(toStrValue) .. " has assigned DataTypeClass, but calls the function ToString failed"},
  {"no ToString", function() return noHooksValue:_QuelToString() end, "",
   P(noHooksValue) .. " has assigned DataTypeClass, but calls the function ToString failed"},
}
for _, c in ipairs(creation) do
  local r = T.expect_errors(c[2], {c[4]}, c[1])
  T.eq(r, c[3], c[1] .. " result")
end
-- An unsupported argument is reported and stored as an empty item.
local mixed = T.expect_errors(function() return Ty(1, _BinBuf("b"), 3) end,
  {P(Ty) .. "'s function \"Create\" failed, input 1 is not supported"}, "unsupported input")
T.eq(mixed and mixed:GetDataBuf():_Count(), 3, "the instance is still made")
T.eq(mixed and mixed:GetDataBuf():_Type(1), 0, "the unsupported input is an empty item")
-- Silent refusals: no message, nil.
T.expect_errors(function() T.eq(Ty:CreateType(""), nil, "CreateType with an empty name") end, {}, "CreateType empty")
T.expect_errors(function() T.eq(Ty:CreateType(nil), nil, "CreateType without a name") end, {}, "CreateType nil")

-- Script errors inside hooks are reported with the hook's text.
local Throw = typeWithClass("ref.Throw", {ToParaPkg = function() error("boom") end, Load = function() error("boom") end})
local throwValue = instanceWithValue(Throw, rawValue())
T.errors()
T.eq(throwValue:GetDataBuf(), nil, "ToParaPkg error gives nil")
T.eq(Throw(1), nil, "Load error gives no object")
local errs = T.errors()
T.eq(#errs, 2, "two script-error reports")
T.check(errs[1] and errs[1]:find("has DataTypeClass, but call it's ToParaPkg function failed{", 1, true)
        and errs[1]:find("boom", 1, true), "ToParaPkg script error text")
T.check(errs[2] and errs[2]:find("has DataTypeClass, but call it's Load function failed{", 1, true),
        "Load script error text")

T.finish("data_refusals")
