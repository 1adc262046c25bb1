-- Reports the module makes during a script call: the runner's stderr line
-- names the script line that led to each, the stored report stays as given.
local Ty = QZDataBase:CreateType("where.T")
_LockGC(Ty)
_Errors()

Ty:GetDataBuf() -- line 7: a type has no value of its own

local function nested()
  return Ty:GetDataBuf() -- line 10: the innermost script line counts
end
nested()

local Rule = QZRuleBase:CreateType("where.Rule")
function Rule:OnApproved()
  Ty:GetDataBuf() -- line 16: inside a function the module called back
end
local x = Ty(1)
x:SetRuleAttach(Rule())
x:Approved()

load("Ty = ...; Ty:GetDataBuf()", "=chunk")(Ty)

local reports = _Errors()
local count = reports:_Count()
assert(count == 4, "expected 4 reports, got " .. count)
for i = 0, count - 1 do
  local text = tostring(reports:_Get(i))
  assert(not text:find("(at ", 1, true), "stored report changed: " .. text)
end
print("reports checked: " .. count)
