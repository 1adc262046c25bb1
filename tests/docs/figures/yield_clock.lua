-- The guide's figure of 1,000 _Yield(1) calls (chapter 12), alone and
-- while a realm idles in ExecuteUntil.
--   tarvex quel_trelk.so yield_clock.lua
local function now() return tonumber(io.popen("date +%s.%N"):read("a")) end
local started = now()
for _ = 1, 1000 do _Yield(1) end
print(string.format("1000 _Yield(1), nothing else running: %.2f s", now() - started))
local realm = _New(QZRealmBase)
local took
local th = _Thread(function()
  repeat _Yield(1) until realm.ExecuteStage == 3
  local t = now()
  for _ = 1, 1000 do _Yield(1) end
  took = now() - t
  realm:FinishExecuteUntil()
end)
realm:ExecuteUntil(false)
_Join(th)
print(string.format("1000 _Yield(1), a realm idling in ExecuteUntil: %.2f s", took))
