-- With a stub set: module messages reach its OnException, its default limit
-- events answer as documented, its OnLongSourceData shortens source chains,
-- and its _QuelCall, GetPerformanceData and FindSystemPackage work as the
-- realm's. The stub is set once per module life, so this script runs alone.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local Stub = _New(QZRealmStubBase)
_SetName(Stub, "stub.Type")
local heard = {}
function Stub:OnException(level, text)
  heard[#heard + 1] = level .. ":" .. text
end
local stub = _New(Stub)
_LockGC(stub)
local r = T.named(_New(QZRealmBase), "routed")
T.eq(r:SetRealmStub(stub), true, "stub set")

-- Messages of every level go to the stub.
r:AddEnvData(_New(_Object))
r:SetRealmStub(stub)
T.eq(#heard, 2, "two messages heard by the stub")
T.eq(heard[1], "1:" .. T.prefix(r) .. "'s as Add or Capture EnvData failed, input is not deruru instance or null",
     "a level-1 message with its text")
T.eq(heard[2], "6:Set SetRealmStub failed, it has been set before", "a level-6 message")
T.eq(#T.errors(), 0, "nothing reached the host's report")

-- The default limit events (the realm comes first, as the module passes it).
local base = _New(QZRealmStubBase)
local D = QZDataBase:CreateType("stub.D")
local d = D(1)
local defaults = {
  {"OnMoreUnAllocatedData", {r, nil}, 0},
  {"OnLongLoop", {r, nil, nil, 100}, false},
  {"OnLongSuspend", {r, nil, nil, 5000}, true},
  {"OnInputInvalid", {r, nil, nil}, false},
  {"OnLongSourceData", {r, nil, d}, false},
}
for _, row in ipairs(defaults) do
  T.eq(base[row[1]](base, table.unpack(row[2], 1, 4)), row[3], "default " .. row[1])
end

-- OnLongSourceData removes the deepest same-typed link, one per call, never
-- the root's own, and stops at a chain that comes back to itself.
do
  local root, a, b, c = D(1), D(2), D(3), D(4)
  root:AddSource(a)
  a:AddSource(b)
  b:AddSource(c)
  T.eq(stub:OnLongSourceData(r, nil, root), true, "root -> a -> b -> c: a link removed")
  T.eq(b:GetSource(), nil, "the deepest link (b -> c) went and b keeps no source package")
  T.eq(stub:OnLongSourceData(r, nil, root), true, "root -> a -> b: a link removed")
  T.eq(a:GetSource(), nil, "then a -> b")
  T.eq(stub:OnLongSourceData(r, nil, root), false, "root -> a: nothing removed")
  T.eq(root:GetSource():_Count(), 1, "the root keeps its own link")
  local fork, f1, f2, deep = D(5), D(6), D(7), D(8)
  fork:AddSource(f1)
  f1:AddSource(f2)
  f1:AddSource(deep)
  T.eq(stub:OnLongSourceData(r, nil, fork), false, "a forked chain is left alone")
  -- x -> y -> z -> y: a circle below the root.
  local x, y, z = D(9), D(10), D(11)
  x:AddSource(y)
  y:AddSource(z)
  z:AddSource(y)
  heard = {}
  T.eq(stub:OnLongSourceData(r, nil, x), false, "a circle is not followed for ever")
  T.eq(#heard, 1, "and is reported")
  T.check(heard[1] and heard[1]:find("may be loop dead", 1, true), "as a loop: " .. tostring(heard[1]))
  T.eq(y:GetSource():_Count(), 1, "nothing removed from the circle")
  -- A copy of the root at the end of the chain.
  local same1, mid, same2 = D(42), D(2), D(42)
  same1:AddSource(mid)
  mid:AddSource(same2)
  heard = {}
  stub:OnLongSourceData(r, nil, same1)
  T.check(heard[1] == "6:The source data chain of input data[" .. _Name(same1) .. "] may be loop dead",
          "a chain ending in a copy of its root: " .. tostring(heard[1]))
end

-- _QuelCall, performance data and system packages.
local made = stub:_QuelCall()
T.check(made ~= nil and _Class(made) == stub, "the stub's _QuelCall makes an object whose class is the stub")
T.eq(stub:GetPerformanceData(true):_Count(), 0, "no proc has run: empty performance data")
T.eq(r:GetPerformanceData(false):_Count(), 0, "the realm's gives the same")
T.eq(stub:FindSystemPackage(D), "", "an unregistered type has no system package")
T.eq(r:FindSystemPackage(nil), "", "nil has none")
T.finish("realm_stub_routing")
