-- Helpers of the realm-run scenarios, on top of the shared test library:
-- proc types with a body in one line, a realm with one cell running one
-- chain, and the object counts a run must leave as it found them.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

-- The first value of a data object.
function T.value(d)
  return d:GetDataBuf():_Get(0)
end

-- A proc type named name taking the inputs and producing the outputs given
-- (lists of InputFrom / OutputFrom arguments), whose Execute is body.
function T.procType(name, inputs, outputs, body)
  local P = QZProcBase:CreateSubType(name)
  if inputs and #inputs > 0 then P:InputFrom(table.unpack(inputs)) end
  if outputs and #outputs > 0 then P:OutputFrom(table.unpack(outputs)) end
  P.Execute = body
  return P
end

-- A chain of new procs of the given types.
function T.chain(...)
  for i, P in ipairs({...}) do assert(P, "chain: type " .. i .. " missing") end
  if select("#", ...) == 0 or select(1, ...) == nil then error("chain: no type given", 2) end
  local c = _New(QZProcChainBase)
  local procs = {}
  for i, P in ipairs({...}) do procs[i] = P() end
  T.check(c:FromPara(table.unpack(procs)), "chain built")
  return c, procs
end

-- A realm holding one cell that runs the given chains.
function T.realmWith(name, ...)
  local realm = _New(QZRealmBase)
  _SetName(realm, name)
  local cell = _New(QZCellBase)
  _SetName(cell, name .. ".cell")
  for _, c in ipairs({...}) do T.check(cell:AddProc(c), "chain added to the cell") end
  realm:AddCell(cell)
  return realm, cell
end

-- Messages reported while fn runs, as one text per line.
function T.during(fn)
  T.errors()
  local r = table.pack(fn())
  return T.errors(), table.unpack(r, 1, r.n)
end

function T.has(list, text)
  for _, t in ipairs(list) do
    if t == text then return true end
  end
  return false
end

function T.hasPrefix(list, text)
  for _, t in ipairs(list) do
    if t:sub(1, #text) == text then return true end
  end
  return false
end

return T
