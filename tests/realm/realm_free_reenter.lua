-- A free callback that resets, clears or runs the realm while the realm frees
-- one of its runners must not make the run spin: each action runs in a child
-- process with a time limit, so that a spin fails this test at once.
local T = dofile(arg[1] .. "/realm_testlib.lua")
local RUNNER, MODULE = arg[2], arg[3]
local child = arg[1] .. "/realm_free_reenter_child.lua"
local LIMIT = 60 -- seconds; a run takes well under one, also under the sanitizers

for _, action in ipairs({"Reset", "ResetTrue", "ClearTrue", "ResetExecuteOnce", "Execute", "ExecuteForResult",
                         "ExecuteOnce"}) do
  local out = io.popen(string.format("timeout -s KILL %d %q %q %q %s 2>&1; echo \"exit $?\"", LIMIT, RUNNER, MODULE,
                                     child, action))
  local text = out:read("a")
  out:close()
  local status = tonumber(text:match("exit (%d+)%s*$"))
  T.check(status ~= 137, action .. ": the run ends (no spin)")
  T.eq(status, 0, action .. ": the child exits cleanly")
  T.check(text:find("ended " .. action .. " heard %d+"), action .. ": the run came back\n" .. text)
end

T.finish("realm_free_reenter")
