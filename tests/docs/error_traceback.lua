-- A script error stops the script: the runner prints the message with the
-- line it came from, then the calls that led there.
local function inner() error("stopped here") end
local function outer() inner() end
outer()
