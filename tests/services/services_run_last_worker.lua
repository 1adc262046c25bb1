-- The last asynchronous run of a script ends by itself and nothing runs
-- after it: its worker is joined when the module shuts down (the
-- thread-checking build reports a worker nobody joined).
local T = dofile(arg[1] .. "/services_testlib.lua")

local realm = T.named(_New(QZRealmBase), "last")
local requester = T.Halve()
T.eq(realm:AsyncRunProc(requester, T.Number(8), nil, T.Halve()), true, "the worker started")
for _ = 1, 400 do
  if requester:GetRunProcResult() ~= nil then break end
  _Yield(5)
end
T.eq(T.values(requester:GetRunProcResult()), "4", "its result")
T.finish("services_run_last_worker")
