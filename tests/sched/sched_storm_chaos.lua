-- Storm chaos: the hook chaos of sched_report_chaos.lua grown into a storm,
-- where every script the module calls (reports, events, free callbacks of
-- data, procs, chains, cells and realms, every hook of a type class, the
-- proc bodies) may free or move the objects of the run, write stamps and
-- change flags, trim or drop active records, synchronise realms or run one
-- again, over aggregates, inputs bound to a value and asynchronous procs.
--
--   tarvex quel_trelk.so sched_storm_chaos.lua DIR [SEED [ROUNDS]]
STORM_CHAOS = true
return dofile(arg[1] .. "/sched_report_chaos.lua")
