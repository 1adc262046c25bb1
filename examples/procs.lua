-- Procs with the quel_trelk module:  ./run.sh examples/procs.lua
-- Defines a proc type with typed inputs and outputs, makes a proc from it,
-- lets it produce output data, redirects an output to a subtype and shows
-- the proc's tag and result codes.

local Number = QZDataBase:CreateType("Number")
local Total = QZDataBase:CreateType("Total")
local BigTotal = Total:CreateType("BigTotal")

-- A proc type: two numbers in (the second optional), one total out.
local Sum = QZProcBase:CreateSubType("demo.Sum")
Sum:InputFrom(Number, "o", Number)
Sum:OutputFrom(Total)
function Sum:Execute(realm, cell, runner)
  local a, b = self:GetInput(0), self:GetInput(1)
  local total = (a and a:GetDataBuf():_Get(0) or 0) + (b and b:GetDataBuf():_Get(0) or 0)
  self:AddOutputData(Total(total))
  return 0 -- finished
end

-- The declaration reads back in the grammar it was written in.
local decl = Sum:InputQueueToParaPkg()
print("inputs declared: " .. decl:_Count() .. " items, input 1 optional: " .. tostring(not Sum:IsMustExist(1)))

-- A proc made from the type has its own copies of the inputs and outputs.
local sum = Sum()
print("proc of type " .. sum:GetTypeName() .. " with " .. sum:GetInputNumber() .. " inputs, tag " .. sum:GetTag())

-- Produced data land in the first output they fit.
sum:AddOutputData(Total(42))
print("output 0 holds " .. sum:OutputToParaPkg():_Get(0):GetDataBuf():_Get(0))

-- Redirected to a subtype, a total is turned into a BigTotal on the way in.
local big = Sum()
big:RedirectOutput(Total, BigTotal)
big:AddOutputData(Total(7))
local out = big:OutputToParaPkg():_Get(0)
print("redirected output is a BigTotal: " .. tostring(_IsInst(BigTotal, out)) .. ", value " .. out:GetDataBuf():_Get(0))

-- Result codes of Execute: 0 finished, 1 suspended, 4 + n run again after n ms.
print("Continue(250) asks for code " .. sum:Continue(250))
