-- A datum that moves from one place to another keeps exactly one hold: the
-- place it leaves may hold it already (a realm's or a cell's environment, a
-- proc's output), and that hold moves along with it, so that everything goes
-- again once everything is freed. The moves: a capture by a realm or a cell,
-- and the end of a cell's run, which hands back into the cell's realm the
-- datum a copy in the cell was made from, wherever that datum sits.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local N = QZDataBase:CreateType("holds.N")
local P = QZProcBase:CreateSubType("holds.P")
P:InputFrom(N)
function P:Execute()
  return 0
end
local Maker = QZProcBase:CreateSubType("holds.Maker")
Maker:OutputFrom(N)

local function inEnv(holder, d)
  for _, x in ipairs(T.items(holder:GetEnvDataQueue())) do
    if x == d then return true end
  end
  return false
end

local function newCell(realm)
  local cell = _New(QZCellBase)
  cell:AddProc(P())
  realm:AddCell(cell)
  return cell
end

-- Where the datum sits, made in world w ({realm, other, cell, otherCell}).
local places = {
  {"nowhere (a script's datum)", function(w) return N(1) end},
  {"the realm's environment", function(w)
     w.realm:AddEnvData(N(1))
     return w.realm:GetEnvDataQueue():_Get(0)
   end},
  {"another realm's environment", function(w)
     w.other:AddEnvData(N(1))
     return w.other:GetEnvDataQueue():_Get(0)
   end},
  {"another cell's environment", function(w)
     w.otherCell:AddEnvData(w.other, N(1))
     return w.otherCell:GetEnvDataQueue():_Get(0)
   end},
  {"a proc's output", function(w)
     w.maker = Maker()
     w.maker:AddOutputData(N(1))
     local out = _Children(w.maker, "OutputQueue"):_Get(0)
     return _Children(out, "QZData"):_Get(0)
   end},
}

-- How it moves, and whether it then waits in the realm's environment (a
-- reset empties it; a capture leaves a copy there, not the datum).
local function handedToCell(w, d)
  w.cell:AddEnvData(w.realm, d)
  T.eq(w.cell:GetEnvDataQueue():_Count(), 1, "the cell holds a copy")
  w.cell.IsReady = true
end
local moves = {
  {"captured by the realm", false, function(w, d) w.realm:CaptureEnvData(d) end},
  {"captured by the cell", false, function(w, d) w.cell:CaptureEnvData(w.realm, d) end},
  {"handed to the cell, realm reset", false, function(w, d)
     handedToCell(w, d)
     w.realm:Reset()
   end},
  {"handed to the cell, realm reset with its records", false, function(w, d)
     handedToCell(w, d)
     w.realm:Reset(true)
   end},
  {"handed to the cell, cell's run failed", true, function(w, d)
     handedToCell(w, d)
     w.realm:ProcessCellEnvData(w.realm, w.cell, false)
   end},
  {"handed to the cell, cell's run done", true, function(w, d)
     handedToCell(w, d)
     w.realm:ProcessCellEnvData(w.realm, w.cell, true)
   end},
}

for _, place in ipairs(places) do
  for _, move in ipairs(moves) do
    local name = place[1] .. ", " .. move[1]
    local before = T.counts()
    do
      local w = {realm = _New(QZRealmBase), other = _New(QZRealmBase)}
      w.cell = newCell(w.realm)
      w.otherCell = newCell(w.other)
      local d = place[2](w)
      T.errors()
      move[3](w, d)
      T.errors()
      if place[1] ~= "the realm's environment" then
        T.eq(inEnv(w.realm, d), move[2], name .. ": the datum waits in the realm")
      end
      T.check(not inEnv(w.other, d) and not inEnv(w.otherCell, d), name .. ": ... and in no other environment")
      -- Everything let go: nothing holds the datum any more.
      w.realm:ClearEnvData()
      w.cell:ClearEnvData()
      _Free(w.realm)
      _Free(w.other)
      if w.maker then _Free(w.maker) end
    end
    T.balanced(before, name)
  end
end

T.finish("realm_datum_holds")
