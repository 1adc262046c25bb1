-- Controls of an ExecuteUntil that waits at a stop before a proc come back
-- without a continue. A control that waited for ever would hang its run: each
-- case runs in a child with a time limit, so that a hang fails at once.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")
local RUNNER, MODULE = arg[2], arg[3]
local child = arg[1] .. "/threads_until_stop_child.lua"
local LIMIT = 60 -- seconds; a case takes well under one, also under the sanitizers

for _, case in ipairs({"suspend", "suspend_before_stop", "finish", "resume"}) do
  local out = io.popen(string.format("timeout -s KILL %d %q %q %q %q %s 2>&1; echo \"exit $?\"", LIMIT, RUNNER,
                                     MODULE, child, arg[1], case))
  local text = out:read("a")
  out:close()
  local status = tonumber(text:match("exit (%d+)%s*$"))
  T.check(status ~= 137, case .. ": the run ends (no control waits for ever)")
  T.eq(status, 0, case .. ": the child exits cleanly")
  T.check(text:find("threads_until_stop " .. case .. ": %d+ checks passed"), case .. ": every check passed\n" .. text)
end

T.finish("threads_until_stop")
