-- Hook chaos: the report chaos of sched_report_chaos.lua, with every other
-- script the module calls during a run (realm and cell events, free
-- callbacks, a data type class's "Load" and "Equals", the proc bodies)
-- freeing, resetting, clearing or running again the objects of the run.
--
--   tarvex quel_trelk.so sched_hook_chaos.lua DIR [SEED [ROUNDS]]
HOOK_CHAOS = true
return dofile(arg[1] .. "/sched_report_chaos.lua")
