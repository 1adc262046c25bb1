-- Robustness sweep: every BOUND luafunc of every class, called on the class
-- object, on a fresh instance and on foreign values in the place of the object,
-- with no arguments, with nil and with wrong-typed arguments. Script errors
-- are fine; the host must survive every call and still work at the end.
--
--   tarvex quel_trelk.so sweep_bound_luafuncs.lua bound_luafuncs.lua
local listfile = assert(arg and arg[1], "usage: sweep_bound_luafuncs.lua BOUND_LIST.lua")
local bound = dofile(listfile)

-- Calls that would wait for something that never comes in an empty realm are
-- still made; a call must return, whatever it returns.
local unrelated = {}
local function unrelated_for(class)
  -- An object of a class outside the target's family.
  local other = (class == "QZExceptionBase") and "QZRuleBase" or "QZExceptionBase"
  if unrelated[other] == nil then
    local ok, obj = pcall(_New, _G[other])
    unrelated[other] = ok and obj or false
    if ok and obj then _LockGC(obj) end
  end
  return unrelated[other] or nil
end

-- The shared helpers lie beside this script.
local T = dofile((debug.getinfo(1, "S").source:match("^@(.*[/\\])") or "") .. "trelk_testlib.lua")
local call = T.pcall_method

local plain = _New(_Object)
_LockGC(plain)

local function argsets(class)
  local pkg = _Pkg(1, "two", 3.5)
  local dict = _Dict("Key", "Value", "N", 7)
  local other = unrelated_for(class)
  return {
    {n = 0},
    {n = 1, nil},
    {n = 3, nil, nil, nil},
    {n = 1, 0},
    {n = 1, -1},
    {n = 1, 2147483647},
    {n = 1, 1.5},
    {n = 1, ""},
    {n = 1, "text"},
    {n = 3, "a", "b", "c"},
    {n = 1, pkg},
    {n = 1, dict},
    {n = 1, true},
    {n = 1, plain},
    {n = 1, other},
    {n = 3, other, pkg, 5},
    {n = 4, 5, "x", dict, other},
  }
end

local function host_works()
  local p = _Pkg(1, "x")
  assert(p:_Count() == 2, "host packages no longer work")
  local o = _New(_Object)
  assert(_ID(o) ~= nil, "host objects no longer work")
  _Free(o)
end

local calls, failures, classes = 0, 0, 0
for _, entry in ipairs(bound) do
  local class = _G[entry.class]
  assert(class ~= nil, entry.class .. " is not registered")
  classes = classes + 1
  for _, fname in ipairs(entry.funcs) do
    for _, set in ipairs(argsets(entry.class)) do
      -- On a fresh instance (when the class can make one) and on the class.
      local ok, inst = pcall(_New, class)
      local targets = {}
      if ok and inst ~= nil then targets[#targets + 1] = inst end
      targets[#targets + 1] = class
      for _, target in ipairs(targets) do
        local fn = target[fname]
        if type(fn) == "function" then
          local good = call(fname, fn, target, table.unpack(set, 1, set.n))
          calls = calls + 1
          if not good then failures = failures + 1 end
        end
      end
      if ok and inst ~= nil then pcall(_Free, inst) end
    end
    -- The class's function reached with something else in the place of the
    -- object itself: nothing, a value, or an object of another class.
    local fn = class[fname]
    if type(fn) == "function" then
      local pkg = _Pkg(1, "two")
      for _, self in ipairs({false, 7, "self", pkg, plain, unrelated_for(entry.class) or plain}) do
        if self == false then self = nil end
        for _, set in ipairs({{n = 0}, {n = 1, nil}, {n = 3, 1, "x", pkg}, {n = 2, plain, plain}}) do
          local good = call(fname, fn, self, table.unpack(set, 1, set.n))
          calls = calls + 1
          if not good then failures = failures + 1 end
        end
      end
    end
    host_works()
  end
  _CollectGarbage()
end

host_works()
for _, name in ipairs({"QZDataBase", "QZRealmBase", "QZProcBase"}) do
  assert(_Find(name) ~= nil, name .. " vanished during the sweep")
end
print(string.format("sweep: %d classes, %d calls, %d ended in a script error", classes, calls, failures))
