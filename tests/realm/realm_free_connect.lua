-- A datum whose free callback runs its realm: the scheduler may hand the
-- datum on its way out to a proc's input. The datum takes no record of the
-- proc then, and nothing is left behind once everything is freed, whichever
-- way the datum came into the realm and whether the proc takes it or not.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local N = QZDataBase:CreateType("freeconnect.N")
local Keep = QZProcBase:CreateSubType("freeconnect.Keep")
Keep:InputFrom(N)
function Keep:Execute() return 0 end
local Take = QZProcBase:CreateSubType("freeconnect.Take")
Take:InputFrom(N)
function Take:Execute()
  self:AcceptInput(self:GetInput(0))
  return 0
end

local function newListener(fn)
  local l = _New(_Object)
  _LockGC(l)
  l.OnFreeCallback = fn
  return l
end

local entries = {
  {"captured by the cell", function(r, c, d) c:CaptureEnvData(r, d) end},
  {"added to the cell", function(r, c, d) c:AddEnvData(r, d) end},
}
for _, P in ipairs({{"input left", Keep}, {"input taken", Take}}) do
  for _, e in ipairs(entries) do
    local name = P[1] .. ", " .. e[1]
    local before = T.counts()
    local heard = 0
    do
      local realm = _New(QZRealmBase)
      local cell = _New(QZCellBase)
      cell:AddProc(P[2]())
      realm:AddCell(cell)
      local d = N(1)
      e[2](realm, cell, d)
      local running = newListener(function()
        heard = heard + 1
        pcall(function()
          if realm.ExecuteStage ~= 1 then realm:ResetExecuteOnce() end
          for _ = 1, 3 do
            if not realm:ExecuteOnce() then break end
          end
        end)
      end)
      d:RegCallBack(running)
      T.errors()
      _Free(d)
      T.check(heard >= 1, name .. ": the callback ran")
      _Free(realm)
      _UnLockGC(running)
    end
    _CollectGarbage()
    T.errors()
    T.balanced(before, name)
  end
end

T.finish("realm_free_connect")
