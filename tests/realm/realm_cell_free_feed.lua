-- A cell fed from a free callback while the cell itself is being freed: from
-- its own "OnFreeCallback", freed alone or with its realm. A cell on its way
-- out takes nothing more: a copy made for it is let go with a report, a datum
-- it was to capture stays where it was, and nothing is left behind.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local N, M, P = T.passThrough("cellfreefeed")

local refused = "'s as Add or Capture EnvData failed, cell is being freed"
-- Each action on the cell being freed (with its realm and a datum waiting
-- in the realm), and whether the cell refuses it: the datum must then still
-- wait in the realm.
local actions = {
  {"AddEnvData", true, function(c, r) c:AddEnvData(r, N(1), N(2)) end},
  {"AddEnvData of a package", true, function(c, r) c:AddEnvData(r, _Pkg(N(1), N(2))) end},
  {"AddEnvData of the waiting datum", true, function(c, r, d) c:AddEnvData(r, d) end},
  {"CaptureEnvData of the waiting datum", true, function(c, r, d) c:CaptureEnvData(r, d) end},
  {"CaptureEnvData of a new datum", true, function(c, r) c:CaptureEnvData(r, N(3)) end},
  {"EnvDataToProc into the cell", true, function(c, r, d) r:EnvDataToProc(d, c) end},
  {"EnvDataToProc of a package into the cell", true, function(c, r, d) r:EnvDataToProc(_Pkg(d), c) end},
}

local function newListener(fn)
  local l = _New(_Object)
  _LockGC(l)
  l.OnFreeCallback = fn
  return l
end

local function inEnv(realm, d)
  for _, x in ipairs(T.items(realm:GetEnvDataQueue())) do
    if x == d then return true end
  end
  return false
end

-- The cell freed alone (its realm lives on), or by its realm's free
-- callback (both on their way out).
for _, how in ipairs({"cell freed", "realm freed"}) do
  for _, a in ipairs(actions) do
    local name, refuses, act = how .. ", " .. a[1], a[2], a[3]
    local before = T.counts()
    local heard, waiting = 0, nil
    do
      local realm = _New(QZRealmBase)
      local cell = _New(QZCellBase)
      cell:AddProc(P())
      realm:AddCell(cell)
      realm:CaptureEnvData(N(5))
      local d = realm:GetEnvDataQueue():_Get(0)
      local acting = newListener(function()
        heard = heard + 1
        act(cell, realm, d)
        waiting = inEnv(realm, d)
      end)
      cell:RegCallBack(acting)
      local freeing = newListener(function() _Free(cell) end)
      if how == "realm freed" then realm:RegCallBack(freeing) end
      local prefix = T.prefix(cell)
      T.errors()
      _Free(how == "cell freed" and cell or realm)
      local got = T.errors()
      T.eq(heard, 1, name .. ": the callback ran once")
      T.eq(table.concat(got, " | "), refuses and prefix .. refused or "", name .. ": reports")
      T.check(waiting, name .. ": the waiting datum stays in the realm")
      if how == "cell freed" then
        T.check(inEnv(realm, d), name .. ": ... once the cell is gone too")
        T.eq(realm:GetEnvDataQueue():_Count(), 1, name .. ": the realm holds that datum alone")
        _Free(realm)
      end
      _UnLockGC(acting)
      _UnLockGC(freeing)
    end
    T.balanced(before, name)
  end
end

T.finish("realm_cell_free_feed")
