-- Helpers of the cell scenarios, on top of the shared test library.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

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
