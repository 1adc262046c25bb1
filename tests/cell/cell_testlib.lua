-- Helpers of the cell scenarios, on top of the shared test library.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

-- Live objects, live packages and unlocks below zero after a full
-- collection.
function T.counts()
  for _ = 1, 3 do
    collectgarbage("collect")
    _CollectGarbage()
  end
  local s = _Stats()
  return {objects = s:_Get(s:_FindDict("LiveObjects")), packages = s:_Get(s:_FindDict("LivePackages")),
          unlocks = s:_Get(s:_FindDict("UnlockAtZero"))}
end

function T.balanced(before, what)
  local now = T.counts()
  T.eq(now.unlocks, before.unlocks, what .. ": no lock released below zero")
  T.eq(now.objects, before.objects, what .. ": every object gone again")
  T.eq(now.packages, before.packages, what .. ": every package gone again")
end

function T.items(pkg)
  local out = {}
  for i = 0, pkg:_Count() - 1 do out[#out + 1] = pkg:_Get(i) end
  return out
end

function T.names(pkg)
  local out = {}
  for i = 0, pkg:_Count() - 1 do
    local o = pkg:_Get(i)
    out[#out + 1] = o and _Name(o) or "nil"
  end
  return table.concat(out, ",")
end

function T.named(obj, name)
  _SetName(obj, name)
  return obj
end

-- A proc type (a proc made from the proc class object is a type), locked
-- for the scenario, with the given inputs and outputs.
function T.ptype(name, inputs, outputs)
  local t = T.named(_New(QZProcBase), name)
  _LockGC(t)
  if inputs then t:InputFrom(table.unpack(inputs)) end
  if outputs then t:OutputFrom(table.unpack(outputs)) end
  return t
end

-- The procs of a chain in order, as names joined by commas.
function T.chainNames(chain)
  return T.names(chain:ToParaPkg())
end

return T
