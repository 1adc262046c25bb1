-- A syntax error is reported with its line.
local x = 1
local y = = 2
