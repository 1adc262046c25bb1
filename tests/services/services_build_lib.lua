-- Helpers of the query, chain-building and dependency scenarios, on top of
-- the shared test library.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

-- A proc type named name taking the inputs and producing the outputs given.
function T.procType(name, inputs, outputs, body)
  local P = QZProcBase:CreateSubType(name)
  if inputs and #inputs > 0 then P:InputFrom(table.unpack(inputs)) end
  if outputs and #outputs > 0 then P:OutputFrom(table.unpack(outputs)) end
  if body then P.Execute = body end
  return P
end

-- A chain of new procs of the given types.
function T.chain(...)
  local c = _New(QZProcChainBase)
  local procs = {}
  for i, P in ipairs({...}) do procs[i] = P() end
  if #procs > 0 then T.check(c:FromPara(table.unpack(procs)), "chain built") end
  return c
end

-- The type names of a chain's procs in order, "cell" for a cell element.
function T.chainTypes(c)
  local out = {}
  for _, p in ipairs(T.items(c:ToParaPkg())) do
    out[#out + 1] = _IsInst(QZCellBase, p) and p:GetTypeName() == "QZCellBase" and "cell" or p:GetTypeName()
  end
  return table.concat(out, ",")
end

-- Whether the package holds the object, and how often.
function T.count(pkg, obj)
  local n = 0
  for _, o in ipairs(T.items(pkg)) do
    if o == obj then n = n + 1 end
  end
  return n
end

-- The names of the data types the containers of a queue name, in order.
function T.containerTypes(list)
  local out = {}
  for _, c in ipairs(T.items(list)) do out[#out + 1] = _Name(_FromID(c.DataBaseID)) end
  return table.concat(out, ",")
end

return T
