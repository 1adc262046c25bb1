-- obj(...) calls _QuelCall, tostring(obj) calls _QuelToString.
local o = TPBase(5)
assert(_Class(o) == TPBase and o.Count == 5)
local p = o(9)
assert(_Class(p) == o and p.Count == 9)
_SetName(p, "pee")
assert(tostring(p) == "TP<pee:9>")
local d = TPDerived(1)
assert(_Class(d) == TPDerived and tostring(d) == "TP<:1>", "inherited from the parent class")

-- without _QuelToString: the host's form
local x = _New(_Object)
_SetName(x, "xx")
local idText = _ID(x)
assert(tostring(x) == "object:" .. idText .. ":xx")
assert(idText:match("^%x+%-%x+%-%x+%-%x+%-%x+$") and idText == idText:upper())

-- without _QuelCall: a script error at the caller's line
local ok, err = pcall(function() return x(1) end)
assert(not ok and err:match("quelcall%.lua:%d+:") and err:find("_QuelCall"), err)

-- script-defined ones
x._QuelCall = function(self, a, b) return a + b, "two", self end
local a, b, c = x(1, 2)
assert(a == 3 and b == "two" and c == x)
x._QuelToString = function(self) return "X!" end
assert(tostring(x) == "X!")
-- inherited by objects made from x
local y = _New(x)
assert(tostring(y) == "X!" and y(2, 2) == 4)
-- a _QuelToString that gives no text: the host's form
x._QuelToString = function() return {} end
assert(tostring(x):match("^object:"))
-- an error inside _QuelCall reaches the caller
x._QuelCall = function() error("inside call") end
ok, err = pcall(x)
assert(not ok and err:find("inside call"))
print("quelcall ok")
