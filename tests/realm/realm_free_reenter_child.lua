-- One run of realm_free_reenter: a realm runs a chain while the proc type's
-- free callback calls the realm function named by arg[1] on the realm whose
-- runner is being freed. Prints "ended" and the live objects left when the
-- run came back.
local action = arg[1]
local Number = QZDataBase:CreateType("reenter.Number")
local Twice = QZDataBase:CreateType("reenter.Twice")
local Sum = QZDataBase:CreateType("reenter.Sum")
local Double = QZProcBase:CreateSubType("reenter.Double")
Double:InputFrom(Number)
Double:OutputFrom(Twice)
Double.Execute = function(self)
  self:AddOutputData(Twice(2))
  self:AcceptInput(self:GetInput(0))
  return 0
end
local Plus = QZProcBase:CreateSubType("reenter.Plus")
Plus:InputFrom(Twice)
Plus:OutputFrom(Sum)
Plus.Execute = function(self)
  self:AddOutputData(Sum(3))
  self:AcceptInput(self:GetInput(0))
  return 0
end

local realm = _New(QZRealmBase)
local cell = _New(QZCellBase)
realm:AddCell(cell)
local chain = _New(QZProcChainBase)
assert(chain:FromPara(Double(), Plus()), "chain built")
assert(cell:AddProc(chain), "chain added")

local calls = {
  Reset = function() realm:Reset() end,
  ResetTrue = function() realm:Reset(true) end,
  ClearTrue = function() realm:Clear(true) end,
  ResetExecuteOnce = function() realm:ResetExecuteOnce() end,
  Execute = function() realm:AddEnvData(Number(1)) realm:Execute() end,
  ExecuteForResult = function() realm:AddEnvData(Number(1)) realm:ExecuteForResult() end,
  ExecuteOnce = function() realm:AddEnvData(Number(1)) realm:ExecuteOnce() end,
}
local call = assert(calls[action], "unknown action " .. tostring(action))
-- Re-entered runs free runners too: the callback acts a few times, nested.
local heard = 0
local listener = _New(_Object)
_LockGC(listener)
listener.OnFreeCallback = function(self, proc)
  heard = heard + 1
  if heard <= 3 then call() end
end
Double:RegCallBack(listener)
Plus:RegCallBack(listener)

realm:AddEnvData(Number(1))
realm:AddEnvData(Number(2))
realm:Execute()
realm:Execute()
print("ended " .. action .. " heard " .. heard)
Double:UnRegCallBack(listener)
Plus:UnRegCallBack(listener)
