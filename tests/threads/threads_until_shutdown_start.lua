-- A run begun while the module shuts down. Realm A's ExecuteUntil idles on a
-- thread when the script ends; shutdown finishes it, and when A is freed its
-- free callback starts B:ExecuteUntil(false) on a thread of its own and
-- yields. B's run must not idle on past the module: it is refused with a
-- report, and the runner ends normally.
local A = _New(QZRealmBase)
local B = _New(QZRealmBase)
_SetName(A, "latestart.A")
_SetName(B, "latestart.B")
_LockGC(A)
_LockGC(B)

local listener = _New(_Object)
_LockGC(listener)
function listener:OnFreeCallback(realm)
  _Thread(function() B:ExecuteUntil(false) end)
  _Yield(50)
end
A:RegCallBack(listener)

_Thread(function() A:ExecuteUntil(false) end)
for _ = 1, 3000 do
  if A.ExecuteStage == 3 then break end
  _Yield(1)
end
print("A idles: " .. tostring(A.ExecuteStage == 3))
