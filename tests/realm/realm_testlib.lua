-- Helpers of the realm scenarios, on top of the shared test library.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

-- Two data types N and M under the name space PREFIX, and a proc type taking
-- an N and making an M(2) of it.
function T.passThrough(prefix)
  local N = QZDataBase:CreateType(prefix .. ".N")
  local M = QZDataBase:CreateType(prefix .. ".M")
  local P = QZProcBase:CreateSubType(prefix .. ".P")
  P:InputFrom(N)
  P:OutputFrom(M)
  function P:Execute()
    self:AddOutputData(M(2))
    self:AcceptInput(self:GetInput(0))
    return 0
  end
  return N, M, P
end

return T
