-- A luafunc that a class declares but no subsystem binds yet must answer a
-- call with the host's clear script error, on the class and on an instance,
-- and leave the host working; a bound one must never say it is not bound.
--
--   tarvex quel_trelk.so unbound_luafuncs.lua bound_luafuncs.lua
local listfile = assert(arg and arg[1], "usage: unbound_luafuncs.lua BOUND_LIST.lua")
local list = dofile(listfile)

local failures, calls, unbound = 0, 0, 0
local function fail(text)
  failures = failures + 1
  io.stderr:write("FAIL: " .. text .. "\n")
end

for _, entry in ipairs(list) do
  local class = _G[entry.class]
  assert(class ~= nil, entry.class .. " is not registered")
  local ok, inst = pcall(_New, class)
  local targets = {class}
  if ok and inst ~= nil then targets[2] = inst end
  for _, fname in ipairs(entry.unbound) do
    unbound = unbound + 1
    local expected = "function '" .. fname .. "' is not bound"
    for _, target in ipairs(targets) do
      for _, args in ipairs({{n = 0}, {n = 2, 1, "x"}}) do
        local good, err = pcall(function() return target[fname](target, table.unpack(args, 1, args.n)) end)
        calls = calls + 1
        if good then
          fail(entry.class .. "." .. fname .. " answered although not bound")
        elseif type(err) ~= "string" or not err:find(expected, 1, true) then
          fail(entry.class .. "." .. fname .. ": expected the error [" .. expected .. "], got [" .. tostring(err) .. "]")
        end
      end
    end
  end
  for _, fname in ipairs(entry.funcs) do
    local good, err = pcall(function() return class[fname](class) end)
    if not good and type(err) == "string" and err:find("is not bound", 1, true) then
      fail(entry.class .. "." .. fname .. " is listed as bound but the host says: " .. err)
    end
  end
  if ok and inst ~= nil then pcall(_Free, inst) end
end

-- The host still works.
assert(_Pkg(1, "x"):_Count() == 2, "host packages no longer work")
local o = _New(_Object)
assert(_ID(o) ~= nil, "host objects no longer work")
_Free(o)
_CollectGarbage()

if failures > 0 then error(failures .. " of " .. calls .. " calls to unbound luafuncs misbehaved", 0) end
print(string.format("unbound luafuncs: %d declared ones not bound yet, %d calls refused clearly", unbound, calls))
