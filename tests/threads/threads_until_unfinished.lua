-- A script that ends while its ExecuteUntil still runs on another thread:
-- the module's shutdown finishes it with a report, and the runner ends.
local realm = _New(QZRealmBase)
_SetName(realm, "unfinished")
local th = _Thread(function() realm:ExecuteUntil(false) end)
for _ = 1, 3000 do
  if realm.ExecuteStage == 3 then break end
  _Yield(1)
end
print("idling: " .. tostring(realm.ExecuteStage == 3))
