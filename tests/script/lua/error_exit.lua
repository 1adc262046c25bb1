-- An uncaught script error ends the runner with status 1 and a message with
-- source and line.
local T = _New(TPBase)
assert(T:Add(1, 2) == 3)
error("boom from the script")
