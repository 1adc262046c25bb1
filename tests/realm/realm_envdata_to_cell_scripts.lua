-- EnvDataToCell looks for the first cell that takes the datum; a cell whose
-- input is bound to a value asks the data type's class ("Equals"), a script
-- that may free or move the cell being asked, the next one, the datum or the
-- realm. The search goes on with what is still there, and the module hands
-- the host no freed object.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local V = QZDataBase:CreateType("totaker.V")
local onEquals -- set by each case
T.scriptedTypeClass(V, function(a, b)
  if onEquals then
    local f = onEquals
    onEquals = nil
    f()
  end
  return T.alive(a) and T.alive(b) and a.x == b.x
end)
local function newV(x)
  local raw = _New(_Object)
  raw.x = x
  return V(raw)
end
local bound = newV(1)
_LockGC(bound)
local P = QZProcBase:CreateSubType("totaker.P")
P:InputFrom(bound)
function P:Execute() return 0 end

-- What the script does while the first cell is asked.
local cases = {
  {"nothing", function(w) end},
  {"frees the cell being asked", function(w) _Free(w.cells[1]) end},
  {"frees the next cell", function(w) _Free(w.cells[2]) end},
  {"frees every cell", function(w) _Free(w.cells[1]) _Free(w.cells[2]) end},
  {"moves the cell being asked to another realm", function(w) w.other:MoveToCellQueue(w.cells[1]) end},
  {"removes the next cell", function(w) w.realm:RemoveCell(w.cells[2]) end},
  {"frees the datum", function(w) _Free(w.d) end},
  {"frees the realm", function(w) _Free(w.realm) end},
}

for _, c in ipairs(cases) do
  local name, act = c[1], c[2]
  local before = T.counts()
  local invalid = T.stat("InvalidObjects")
  do
    local w = {realm = _New(QZRealmBase), other = _New(QZRealmBase), cells = {}}
    for i = 1, 2 do
      w.cells[i] = _New(QZCellBase)
      w.cells[i]:AddProc(P())
      w.realm:AddCell(w.cells[i])
    end
    w.realm:AddEnvData(newV(1))
    w.d = w.realm:GetEnvDataQueue():_Get(0)
    onEquals = function() act(w) end
    T.errors()
    local ok, err = pcall(w.realm.EnvDataToCell, w.realm, w.d)
    T.errors()
    onEquals = nil
    T.check(ok, name .. ": EnvDataToCell returns: " .. tostring(err))
    T.eq(T.stat("InvalidObjects"), invalid, name .. ": no freed object handed to the host")
    for _, o in ipairs({w.realm, w.other, w.cells[1], w.cells[2]}) do
      if T.alive(o) then _Free(o) end
    end
  end
  T.balanced(before, name)
end

T.finish("realm_envdata_to_cell_scripts")
