-- Your first realm run:  ./run.sh examples/realm_run.lua
--
-- Data go into a realm, the realm's cell runs a chain of two procs over
-- them, and the results come back out. Read it top to bottom; each step
-- says what the system does with it.

-- 1. A data type. Every datum is an instance of a type; `Celsius(21)` makes
--    a datum whose value is 21.
local Celsius = QZDataBase:CreateType("weather.Celsius")
local Fahrenheit = QZDataBase:CreateType("weather.Fahrenheit")
local Report = QZDataBase:CreateType("weather.Report")

-- 2. Two proc types. A proc declares what it takes (InputFrom) and what it
--    makes (OutputFrom); its body is the script function Execute, which the
--    scheduler calls with the realm, the cell and the runner. Execute reads
--    its input, adds its output, accepts the input (so it is not offered
--    again) and answers 0: finished.
local Convert = QZProcBase:CreateSubType("weather.Convert")
Convert:InputFrom(Celsius)
Convert:OutputFrom(Fahrenheit)
function Convert:Execute(realm, cell, runner)
  local c = self:GetInput(0)
  local degrees = c:GetDataBuf():_Get(0)
  self:AddOutputData(Fahrenheit(degrees * 9 / 5 + 32))
  self:AcceptInput(c)
  return 0
end

local Describe = QZProcBase:CreateSubType("weather.Describe")
Describe:InputFrom(Fahrenheit)
Describe:OutputFrom(Report)
function Describe:Execute(realm, cell, runner)
  local f = self:GetInput(0)
  local degrees = f:GetDataBuf():_Get(0)
  local word = degrees >= 80 and "hot" or (degrees >= 55 and "mild" or "cold")
  self:AddOutputData(Report(string.format("%.1f F is %s", degrees, word)))
  self:AcceptInput(f)
  return 0
end

-- 3. A chain: the output of the first proc feeds the second.
local chain = _New(QZProcChainBase)
chain:FromPara(Convert(), Describe())

-- 4. A cell holds chains; a realm holds cells and the data to work on.
local cell = _New(QZCellBase)
cell:AddProc(chain)
local realm = _New(QZRealmBase)
realm:AddCell(cell)

-- 5. Put data in. Each datum is stamped with the realm's tick, so the
--    oldest is handled first.
for _, degrees in ipairs({12, 21, 30}) do
  realm:AddEnvData(Celsius(degrees))
end

-- 6. Run. ExecuteForResult runs one cycle and hands back what the cycle
--    produced (Execute runs the same cycle and keeps the products in the
--    realm's frame data and history instead).
local results = realm:ExecuteForResult()
for i = 0, results:_Count() - 1 do
  local d = results:_Get(i)
  if _IsInst(Report, d) then print(d:GetDataBuf():_Get(0)) end
end
print("errors in the run: " .. realm.ErrorCount)
