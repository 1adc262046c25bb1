-- Life cycle: creation and free through scripts, the order of the end
-- notices, GC-lock balance of classes, type classes and rules, and the
-- data-type registry.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local unlockAtZero = T.stat("UnlockAtZero")
local baseLive = T.stat("LiveObjects")

-- Types made by CreateType and by creating from the QZDataBase class are in
-- the registry; the predefined classes never are.
local Life = QZDataBase:CreateType("life.T")
local Bare = _New(QZDataBase)
_SetName(Bare, "life.Bare")
local function listed(obj)
  local all = QZDataBase:CollectType()
  for i = 0, all:_Count() - 1 do if all:_Get(i) == obj then return true end end
  return false
end
T.eq(Life.IsType, true, "CreateType marks a type")
T.eq(Bare.IsType, true, "a direct instance of the QZDataBase class is a type")
T.check(listed(Life), "CreateType registers the type")
T.check(listed(Bare), "event 5 registers a new type")
for _, c in ipairs({QZDataBase, QZDataSetBase, QZObjectDataBase, QZBufDataBase, QZRealmFrameData}) do
  T.check(not listed(c), "CollectType leaves out " .. _Name(c))
end
_Free(Bare)
T.check(not listed(Bare), "a freed type leaves the registry")

-- Each instance holds one lock on its class for its whole life.
local ref0 = _RefCount(Life)
local a = Life(1)
T.eq(_RefCount(Life), ref0 + 1, "an instance locks its type")
local b = a()
T.eq(_RefCount(a), 2, "an instance of an instance locks its prototype (1 + proxy)")
T.eq(_RefCount(Life), ref0 + 1, "the prototype's instance does not lock the type again")
_Free(b)
T.eq(_RefCount(a), 1, "free gives the prototype's lock back")
_Free(a)
T.eq(_RefCount(Life), ref0, "free gives the type's lock back")

-- Order of the end notices: callbacks on the object, then up its class
-- chain, then the type class's OnBeforeFree; all before the object is gone.
local order = {}
local function target(tag)
  local t = _New(_Object)
  _LockGC(t)
  t.OnFreeCallback = function(self, dying)
    order[#order + 1] = tag .. ":" .. (dying and _Name(dying) or "nil")
  end
  return t
end
local onData, onType, onBase = target("data"), target("type"), target("base")
local Ev = QZDataBase:CreateType("ev.T")
local tc = _New(_Object)
function tc:OnBeforeFree(value, list)
  order[#order + 1] = "typeclass:" .. tostring(value.tag) .. ":" .. tostring(list ~= nil)
end
Ev:SetDataTypeClass(tc)
local raw = _New(_Object)
raw.tag = "v"
function tc:IsRawInstance(v) return true end
local d = Ev(raw)
_SetName(d, "dying")
d:RegCallBack(onData)
d:RegCallBack(onData) -- a second registration is ignored
Ev:RegCallBack(onType)
QZDataBase:RegCallBack(onBase)
_Free(d)
T.eq(table.concat(order, ","), "data:dying,type:dying,base:dying,typeclass:v:true", "end notice order")
QZDataBase:UnRegCallBack(onBase)
QZDataBase:UnRegCallBack(onBase) -- not listed any more: nothing happens
order = {}
local d2 = Life(2)
_Free(d2)
T.eq(#order, 0, "unregistered targets hear nothing")

-- A callback that unregisters itself during the walk does not make the
-- walk skip the next one.
local seen = {}
local t1, t2 = _New(_Object), _New(_Object)
_LockGC(t1) _LockGC(t2)
local d3 = Life(3)
t1.OnFreeCallback = function(self, x) seen[#seen + 1] = "t1"; x:UnRegCallBack(t1) end
t2.OnFreeCallback = function(self, x) seen[#seen + 1] = "t2" end
d3:RegCallBack(t1)
d3:RegCallBack(t2)
_Free(d3)
T.eq(table.concat(seen, ","), "t1,t2", "every target hears even when one unregisters")

-- A failing callback is reported and does not stop the others or the free.
local bad = _New(_Object)
_LockGC(bad)
bad.OnFreeCallback = function() error("callback broke") end
local d4 = Life(4)
order = {}
d4:RegCallBack(bad)
d4:RegCallBack(onData)
_Errors()
_Free(d4)
T.eq(#order, 1, "the callback after a failing one still runs")
local errs = T.errors()
T.eq(#errs, 1, "one report for the failing callback")
T.check(errs[1] and errs[1]:find("calls the function OnFreeCallback failed", 1, true), "callback failure text")

-- Type class stays alive while held and is released when its type goes.
local Holder = QZDataBase:CreateType("holder.T")
local tcH = _New(_Object)
local refH = _RefCount(tcH)
Holder:SetDataTypeClass(tcH)
T.eq(_RefCount(tcH), refH + 1, "type class locked")
_Free(Holder)
T.eq(_RefCount(tcH), refH, "type class unlocked when its type is freed")

-- Instances made by script are owned by the script: once dropped and
-- collected, they are gone, and so is their lock on the type.
local Gc = QZDataBase:CreateType("gc.T")
local refGc = _RefCount(Gc)
do
  local x = Gc(1)
  local y = x()
  local z = Gc:Create(2)
  local w = y:Dup()
end
_CollectGarbage()
T.eq(_RefCount(Gc), refGc, "collected instances released their type")

-- Hooks that free what the data function works on: the function ends with
-- its failure value and gives the host no stale handle.
local function freeingType(name)
  local ty = QZDataBase:CreateType(name)
  local tc = _New(_Object)
  ty:SetDataTypeClass(tc)
  return ty, tc
end
local function valued(ty)
  local v = _New(_Object)
  _LockGC(v)
  local d = _New(ty)
  d:SetDataBuf(_Pkg(v))
  return d, v
end
local hookCases = {
  {"IsRawInstance frees the raw value", function()
    local ty, tc = freeingType("hookfree.Raw")
    function tc:IsRawInstance(v) _Free(v) return true end
    local v = _New(_Object)
    return ty(v)
  end, nil},
  {"IsRawInstance frees the type", function()
    local ty, tc = freeingType("hookfree.RawType")
    function tc:IsRawInstance(v) _Free(ty) return true end
    return ty(_New(_Object))
  end, nil},
  {"ToString frees the data", function()
    local ty, tc = freeingType("hookfree.Str")
    local d = valued(ty)
    function tc:ToString(v) _Free(d) return "x" end
    return d:GetTag() ~= nil
  end, true},
  {"Equals frees the data", function()
    local ty, tc = freeingType("hookfree.Eq")
    local a, b = valued(ty), valued(ty)
    function tc:Equals(x, y) _Free(a) return true end
    return a:Equals(b)
  end, false},
  {"Dup frees the data", function()
    local ty, tc = freeingType("hookfree.Dup")
    local d = valued(ty)
    function tc:Dup(h) _Free(d) return valued(ty) end
    return d:Dup()
  end, nil},
  {"Save frees the data", function()
    local ty, tc = freeingType("hookfree.Save")
    local d = valued(ty)
    function tc:Save(h) _Free(d) return "saved" end
    return d:SaveTo(_Pkg())
  end, false},
  {"ToParaPkg frees the data", function()
    local ty, tc = freeingType("hookfree.Pkg")
    local d = valued(ty)
    function tc:ToParaPkg(v, p) _Free(d) return true end
    return d:GetDataBuf()
  end, nil},
  {"a free callback frees the type", function()
    local ty = QZDataBase:CreateType("hookfree.Cb")
    local d = ty(1)
    local cb = _New(_Object)
    _LockGC(cb)
    function cb:OnFreeCallback(x) _Free(ty) _Free(cb) end
    d:RegCallBack(cb)
    _Free(d)
    return true
  end, true},
}
local invalidBefore = T.stat("InvalidObjects")
for _, c in ipairs(hookCases) do
  T.errors()
  local ok, res = pcall(c[2])
  T.check(ok, c[1] .. ": no script error (" .. tostring(res) .. ")")
  T.eq(res, c[3], c[1] .. ": result")
  T.eq(T.stat("InvalidObjects"), invalidBefore, c[1] .. ": no stale handle reached the host")
end
T.errors()

-- The module's classes are freed by the module alone (at its shutdown): a
-- script's _Free of one is refused and reported, and the class keeps
-- working, so no freed class reaches the host and nothing reports success
-- on one.
local ModT = QZDataBase:CreateType("mod.T")
_LockGC(ModT)
for _, c in ipairs({QZDataBase, QZDataSetBase, QZObjectDataBase, QZBufDataBase, QZRuleBase, QZProcBase}) do
  local name = _Name(c)
  local id = _ID(c)
  local errs = T.expect_errors(function() _Free(c) end,
                               {"FreeObject refused: [" .. name .. "] is a class object, freed with its module"},
                               "_Free(" .. name .. ")")
  T.eq(_ID(c), id, name .. " is still alive")
end
T.eq(ModT:CreateProperty("w", 6, 1), true, "CreateProperty after a refused free")
T.eq(ModT:GetDataSetBase() ~= QZDataSetBase and _Name(ModT:GetDataSetBase()), "mod.T_Set_",
     "the set companion is made from the set class")
T.eq(ModT(1):GetDataSetBase()(ModT(2)):GetData():_Count(), 1, "and makes sets")
T.eq(QZDataSetBase(ModT(3)):IsDataSet(), true, "the set class still makes sets")

-- Packages handed to a class object's record go with it at shutdown (the
-- sanitizer run reports them otherwise).
QZDataSetBase:SetDataBuf(_Pkg(1, "kept by the class object"))
QZDataSetBase:AddSource(Life(9))

_Free(Life) _Free(Ev) _Free(Gc)
_CollectGarbage()
T.eq(T.stat("UnlockAtZero"), unlockAtZero, "no unlock without a lock")
T.finish("data_lifecycle")
