-- Lua's collector and the host's object lifetime.
local function live()
  local s = _Stats()
  return s:_Get(s:_FindDict("LiveObjects"))
end
local _, freed0 = TPBase:Counts()
local live0 = live()

-- an unreferenced script-created object is freed at a collection point
do local a = _New(TPBase) end
assert(live() == live0 + 1)
_CollectGarbage()
local _, f1 = TPBase:Counts()
assert(f1 == freed0 + 1 and live() == live0)

-- a GC-locked one is not
local id
do
  local b = _New(TPBase)
  _LockGC(b)
  id = _ID(b)
  assert(_RefCount(b) == 2, "lock + proxy")
end
_CollectGarbage()
local b = _FromID(id)
assert(b ~= nil and _RefCount(b) == 2)
_UnLockGC(b)
assert(_RefCount(b) == 1)
b = nil
_CollectGarbage()
assert(_FromID(id) == nil)

-- an object the module made and handed over (ReleaseOwnerEx)
local m = TPBase:MakeOwned()
local mid = _ID(m)
assert(_RefCount(m) == 1)
m = nil
_CollectGarbage()
assert(_FromID(mid) == nil)

-- one proxy per object: == is identity
local e = _New(TPBase)
assert(rawequal(e, _FromID(_ID(e))) and e == TPBase:Echo(e))

-- a freed object: dead proxy, clear errors, harmless frees
local d = _New(TPBase)
_Free(d)
_Free(d)
local ok, err = pcall(function() return d.Count end)
assert(not ok and err:find("freed") and err:match("gc%.lua:%d+:"), err)
ok, err = pcall(function() return d:Add(1, 2) end)
assert(not ok and err:find("freed"), err)
ok, err = pcall(function() d.Count = 1 end)
assert(not ok and err:find("freed"), err)
ok, err = pcall(_Name, d)
assert(not ok and err:find("freed"), err)
assert(tostring(d) == "object:freed")
assert(TPBase:Types(d):_Get(0) == 0, "a dead proxy reads as nil")
-- a method fetched before the free cannot reach it afterwards
local s = _New(TPBase)
assert(TPBase:AddSlot(s, "Own"))
local own = s.Own
assert(own(s, 1, 2) == 3)
_Free(s)
ok, err = pcall(own, s, 1, 2)
assert(not ok and err:find("freed"), err)

-- script fields keep their values while the object lives without a proxy
do
  local k = _New(TPBase)
  _LockGC(k)
  k.Memo = "kept"
  id = _ID(k)
end
_CollectGarbage()
local k = _FromID(id)
assert(k and k.Memo == "kept")
_UnLockGC(k)
k = nil

-- many objects: nothing accumulates
for i = 1, 2000 do local x = _New(TPBase); x.Tag = i end
_CollectGarbage()
assert(live() == live0 + 1, "only e is left: " .. live() .. " vs " .. live0)
print("gc ok")
