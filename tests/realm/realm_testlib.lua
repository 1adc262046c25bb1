-- Helpers of the realm scenarios, on top of the shared test library.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

-- Live objects, live packages and unlocks below zero, read from one
-- statistics package after a full collection, so that the reading itself
-- counts the same way each time.
function T.counts()
  for _ = 1, 3 do
    collectgarbage("collect")
    _CollectGarbage()
  end
  local s = _Stats()
  return {objects = s:_Get(s:_FindDict("LiveObjects")), packages = s:_Get(s:_FindDict("LivePackages")),
          unlocks = s:_Get(s:_FindDict("UnlockAtZero"))}
end

-- Checks that the counts are back where they were.
function T.balanced(before, what)
  local now = T.counts()
  T.eq(now.unlocks, before.unlocks, what .. ": no lock released below zero")
  T.eq(now.objects, before.objects, what .. ": every object gone again")
  T.eq(now.packages, before.packages, what .. ": every package gone again")
end

-- The items of a package as a Lua list.
function T.items(pkg)
  local out = {}
  for i = 0, pkg:_Count() - 1 do out[#out + 1] = pkg:_Get(i) end
  return out
end

-- Names of the objects of a package, joined by commas.
function T.names(pkg)
  local out = {}
  for i = 0, pkg:_Count() - 1 do
    local o = pkg:_Get(i)
    out[#out + 1] = o and _Name(o) or "nil"
  end
  return table.concat(out, ",")
end

-- A named object, so that listings read as names.
function T.named(obj, name)
  _SetName(obj, name)
  return obj
end

return T
