-- A realm fed, reset, given cells or run from a free callback while the realm
-- itself is being freed: from its own "OnFreeCallback", or from that of a cell
-- its callback frees. A realm on its way out takes nothing more: a feed is
-- refused with a report, and nothing of what was made for it is left behind.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local N, M, P = T.passThrough("freefeed")

local refused = "'s as Add or Capture EnvData failed, realm is being freed"
-- Each action on the realm being freed, and whether it feeds the realm (and is
-- refused).
local actions = {
  {"AddEnvData", true, function(r) r:AddEnvData(N(1), N(2)) end},
  {"AddEnvData of a package", true, function(r) r:AddEnvData(_Pkg(N(1))) end},
  {"CaptureEnvData", true, function(r) r:CaptureEnvData(N(1)) end},
  {"Reset", false, function(r) r:Reset() end},
  {"Reset(true)", false, function(r) r:Reset(true) end},
  {"Clear(true)", false, function(r) r:Clear(true) end},
  {"Execute", false, function(r) r:Execute() end},
  {"AddEnvData and Execute", true, function(r) r:AddEnvData(N(1)) r:Execute() end},
  {"AddEnvData and ExecuteOnce", true, function(r) r:AddEnvData(N(1)) r:ExecuteOnce() end},
  {"AddEnvData and ExecuteForResult", true, function(r) r:AddEnvData(N(1)) r:ExecuteForResult() end},
  {"ExecuteOnce and ResetExecuteOnce", false, function(r) r:ExecuteOnce() r:ResetExecuteOnce() end},
  {"ExecuteUntil, finished from another thread", false, function(r)
     _Thread(function()
       _Yield(20)
       r:FinishExecuteUntil()
     end)
     r:ExecuteUntil(false)
   end},
  {"AddProc", false, function(r) r:AddProc(P()) end},
  {"AddCell", false, function(r) local c = _New(QZCellBase) c:AddProc(P()) r:AddCell(c) end},
}

local function newListener(fn)
  local l = _New(_Object)
  _LockGC(l)
  l.OnFreeCallback = fn
  return l
end

for _, from in ipairs({"realm", "cell"}) do
  for _, a in ipairs(actions) do
    local name, feeds, act = from .. "'s free callback, " .. a[1], a[2], a[3]
    local before = T.counts()
    local got, heard = nil, 0
    do
      local realm = _New(QZRealmBase)
      local cell = _New(QZCellBase)
      cell:AddProc(P())
      realm:AddCell(cell)
      -- Data waiting in the realm, so that a run has work.
      realm:AddEnvData(N(5))
      local acting = newListener(function()
        heard = heard + 1
        act(realm)
      end)
      local freeing
      if from == "realm" then
        realm:RegCallBack(acting)
      else
        -- The realm's own callback frees a cell whose callback acts.
        local other = _New(QZCellBase)
        other:RegCallBack(acting)
        freeing = newListener(function() _Free(other) end)
        realm:RegCallBack(freeing)
      end
      local prefix = T.prefix(realm)
      T.errors()
      _Free(realm)
      got = T.errors()
      local want = feeds and {prefix .. refused} or {}
      T.eq(heard, 1, name .. ": the callback ran once")
      T.eq(table.concat(got, " | "), table.concat(want, " | "), name .. ": reports")
      _UnLockGC(acting)
      if freeing then _UnLockGC(freeing) end
    end
    T.balanced(before, name)
  end
end

T.finish("realm_free_feed")
