-- The guide's figure of scheduling steps per asynchronous datum (chapter
-- 12): 200 data, one per ExecuteForResult, through a one-proc chain.
--   tarvex quel_trelk.so async_steps.lua async|sync
local N = QZDataBase:CreateType("as.N")
local D = QZDataBase:CreateType("as.D")
local P = QZProcBase:CreateSubType("as.P")
P:InputFrom(N)
P:OutputFrom(D)
P.IsAsync = arg[1] == "async"
function P:Execute()
  local n = self:GetInput(0)
  self:AddOutputData(D(n[0]))
  self:AcceptInput(n)
  return 0
end
local cell = _New(QZCellBase)
cell:AddProc(P())
local realm = _New(QZRealmBase)
realm:AddCell(cell)
local steps = {}
for i = 1, 200 do
  realm:AddEnvData(N(i))
  local before = realm.ScheduleTickCount
  realm:ExecuteForResult()
  steps[#steps + 1] = realm.ScheduleTickCount - before
end
table.sort(steps)
print(string.format("%s: steps per datum: min %d, median %d, 90th %d, max %d", arg[1], steps[1], steps[100],
                    steps[180], steps[200]))
