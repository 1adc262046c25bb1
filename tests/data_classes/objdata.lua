-- Object data, buffer data, realm frame data and exception objects.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

-- Object data wraps one object as item 0 of its value.
local O = QZObjectDataBase:CreateType("obj.O")
local target = _New(_Object)
local o = O(target)
T.eq(_Class(o), O, "calling an object data type makes an instance")
T.eq(o:GetObject(), target, "GetObject gives the wrapped object")
T.eq(o:GetDataBuf():_Count(), 1, "the value holds just the object")
local derived = o:Create()
T.eq(derived:GetObject(), target, "an instance made from an instance reads the ancestor's object")
T.eq(_New(O):GetObject(), nil, "no value gives no object")
T.eq(QZObjectDataBase(target):GetObject(), target, "the object data class itself makes instances")

local objRefusals = {
  {function() return O() end, T.prefix(O) .. " calls function Create failed, input parameter must be a zel objects"},
  {function() return O(5) end, T.prefix(O) .. " calls function Create failed, input parameter must be a zel objects"},
  {function() return O("x") end, T.prefix(O) .. " calls function Create failed, input parameter must be a zel objects"},
  {function() return o:Create(target) end, T.prefix(o) .. "'s Create or () failed, the input for instance must be empty"},
}
for i, c in ipairs(objRefusals) do
  T.eq(T.expect_errors(c[1], {c[2]}, "object data refusal " .. i), nil, "object data refusal " .. i .. " gives nil")
end

-- A raw script object that stands for a module object is stored as that object.
local Wrapped = QZDataBase:CreateType("obj.Wrapped")
local w = Wrapped(1)
local raw = _New(_Object)
function raw:IsTrelkRawInstance() return 1 end
function raw:Wrap() return w end
_SetRawContext(raw, true)
T.eq(O(raw):GetObject(), w, "a raw object is normalised before it is stored")

-- Buffer data holds a deep copy with normalised objects.
local B = QZBufDataBase:CreateType("obj.B")
local source = _Pkg(1, _Pkg("inner", raw), raw)
local bd = B(source)
local v = bd:GetDataBuf()
T.eq(v:_Count(), 3, "the copy has every item")
T.eq(v:_Get(2), w, "objects are normalised")
T.eq(v:_Get(1):_Get(1), w, "objects in nested packages are normalised")
T.eq(source:_Get(2), raw, "the caller's package is not changed")
T.eq(source:_Get(1):_Get(1), raw, "nor its nested packages")
source:_Get(1):_Set(0, "changed")
T.eq(v:_Get(1):_Get(0), "inner", "the nested package is a copy")
T.eq(T.expect_errors(function() return B(5) end,
                     {T.prefix(B) .. " calls function Create failed, input parameter must be a parapkg"}, "buffer data of a number"),
     nil, "buffer data of a number gives nil")
T.eq(T.expect_errors(function() return bd:Create(_Pkg()) end,
                     {T.prefix(bd) .. "'s Create or () failed, the input for instance must be empty"},
                     "arguments on a buffer data instance"), nil, "buffer data instance with arguments gives nil")
T.eq(_Class(bd:Create()), bd, "Create on a buffer data instance derives from it")
local jr = QZRuleBase:CreateType("obj.R")()
local bback = jr:LoadFromJSonPkg(jr:SaveToJSonPkg(_Pkg(bd)))
T.check(bback ~= nil and _Class(bback:_Get(0)) == B and bback:_Get(0):GetDataBuf():_Get(0) == 1,
        "buffer data round trip through a value list")

-- Realm frame data is made by the scheduler only.
T.eq(T.expect_errors(function() return QZRealmFrameData:Create() end,
                     {T.prefix(QZRealmFrameData) .. " calls function Create failed, the QZRealmFrameData must be created internal"},
                     "frame data Create"), nil, "frame data Create gives nil")
T.eq(T.expect_errors(function() return QZRealmFrameData(1, 2) end,
                     {T.prefix(QZRealmFrameData) .. " calls function Create failed, the QZRealmFrameData must be created internal"},
                     "frame data called with arguments"), nil, "frame data call gives nil")
local frame = _New(QZRealmFrameData)
T.eq(frame:GetDynamic():_Count(), 0, "a frame without members has nothing dynamic")
local f2 = _New(QZRealmFrameData, _Pkg(w))
T.eq(f2:GetDynamic():_Count(), 0, "a frame whose realm does not exist has nothing dynamic")

-- Exceptions.
local E = _New(QZExceptionBase)
_SetName(E, "MyError")
T.eq(E.IsType, true, "a direct instance of the exception class is an exception type")
local e = _New(E)
_SetName(e, "oops")
T.eq(e.IsType, false, "an instance of an exception type is an exception")
T.eq(T.expect_errors(function() return e:AsString() end, {T.prefix(e) .. "'s function \"AsString\" is not define"},
                     "AsString not overridden"), "", "AsString not overridden gives the empty text")
T.eq(e:GetInfo(), "main[0].MyError.oops", "GetInfo gives the full class name, a point and the name")
E.AsString = function(self) return "custom" end
T.eq(e:AsString(), "custom", "a script AsString replaces the default")

T.finish("data_classes_objdata")
