-- Class chains of every length: kind tests, property reads and equality give
-- the same answers for a data object whose chain of types is short and for
-- one whose chain is long.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

-- Depth d: a chain of d types below the base class, the first one declaring
-- a property; instances of the deepest type, and an instance of an instance.
local function chain(base, name, d)
  local ty = base:CreateType(name .. ".0")
  _LockGC(ty)
  T.eq(ty:CreateProperty("x", 6, 5), true, name .. " declares x")
  for i = 1, d - 1 do
    ty = ty:CreateType(name .. "." .. i)
    _LockGC(ty)
  end
  return ty
end

for d = 1, 12 do
  local what = "depth " .. d
  local Plain = chain(QZDataBase, "chain.plain" .. d, d)
  local Set = chain(QZDataSetBase, "chain.set" .. d, d)
  local a, b, c = Plain(1), Plain(1), Plain(2)
  local proto = a()
  local cases = {
    {"plain IsDataSet", a:IsDataSet(), false},
    {"plain IsObjectData", a:IsObjectData(), false},
    {"plain type IsDataSet", Plain:IsDataSet(), false},
    {"set IsDataSet", Set(a):IsDataSet(), true},
    {"set type IsDataSet", Set:IsDataSet(), true},
    {"instance of an instance IsDataSet", proto:IsDataSet(), false},
    {"default through the chain", a.x, 5},
    {"default through an instance of an instance", proto.x, 5},
    {"the type reads its definition", Plain.x, 5},
    {"equal values", a:Equals(b), true},
    {"different values", a:Equals(c), false},
    {"the prototype and its holder", proto:Equals(a), true},
    {"a type equals no instance", a:Equals(Plain), false},
    {"sets member by member", Set(a, c):Equals(Set(c, b)), true},
    {"sets with a different member", Set(a):Equals(Set(c)), false},
    {"a set and a plain data", Set(a):Equals(a), false},
    {"functions are not shadowed", type(a.IsDataSet), "function"},
    {"a name that is no property", a.nope, nil},
  }
  for _, t in ipairs(cases) do T.eq(t[2], t[3], what .. ": " .. t[1]) end
  proto.x = 9
  T.eq(a.x, 9, what .. ": the write lands on the holder")
  T.eq(proto.x, 9, what .. ": and reads back through the instance")
  T.eq(b.x, 5, what .. ": another instance keeps the default")
  T.eq(a:Equals(b), false, what .. ": a property value counts in equality")
end

T.finish("data_chains")
