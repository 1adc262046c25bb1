-- Helpers of the realm scenarios, on top of the shared test library.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

return T
