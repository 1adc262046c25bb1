-- A script that ends while its ExecuteUntil still runs on another thread
-- (idling, suspended for data, or waiting at a stop before a proc): the
-- module's shutdown finishes it with a report, and the runner ends.
local mode = arg[1]
local N = QZDataBase:CreateType("unfinished.N")
local P = QZProcBase:CreateSubType("unfinished.P")
P:InputFrom(N)
function P:Execute() self:AcceptInput(self:GetInput(0)) return 0 end
local cell = _New(QZCellBase)
cell:AddProc(P())
local realm = _New(QZRealmBase)
_SetName(realm, "unfinished")
realm:AddCell(cell)
if mode == "stop" then realm:AddEnvData(N(1)) end
local th = _Thread(function() realm:ExecuteUntil(mode == "stop") end)
local wanted = mode == "stop" and 1 or 3
for _ = 1, 3000 do
  if realm.ExecuteStage == wanted then break end
  _Yield(1)
end
if mode == "suspended" then realm:SuspendExecuteUntil(true) end
print(mode .. ": " .. tostring(realm.ExecuteStage == wanted))
