-- The guide's ActiveLength figures (chapter 11): DATA data through a one-proc
-- cell in one cycle, one output per run ("runs"), or one run making DATA
-- outputs ("fan"), at the given ActiveLength.
--   tarvex quel_trelk.so active_length.lua runs|fan DATA ACTIVELENGTH
local how, DATA, LENGTH = arg[1], tonumber(arg[2]), tonumber(arg[3])
local N = QZDataBase:CreateType("al.N")
local O = QZDataBase:CreateType("al.O")
local P = QZProcBase:CreateSubType("al.P")
P:InputFrom(N)
P:OutputFrom(O)
function P:Execute()
  local n = self:GetInput(0)
  for i = 1, how == "fan" and DATA or 1 do self:AddOutputData(O(i)) end
  self:AcceptInput(n)
  return 0
end
local cell = _New(QZCellBase)
cell:AddProc(P())
local realm = _New(QZRealmBase)
realm.ActiveLength = LENGTH
realm:AddCell(cell)
for i = 1, how == "fan" and 1 or DATA do realm:AddEnvData(N(i)) end
local started = os.clock()
local out = realm:ExecuteForResult()
print(string.format("%s: %d outputs at ActiveLength %d: %.2f s CPU", how, out:_Count(), LENGTH, os.clock() - started))
