-- Calls by name made by the module (ExecNameScript, ScriptCall) and the
-- errors they record.
local T = _New(TPBase)
_SetName(T, "tee")

-- the stack rule: arguments consumed, exactly two results left
function T:Two(a, b) return a + b, a * b, "extra" end
local found, err, cnt, r1, r2, text = T:CallByName(T, "Two", 3, 4)
assert(found == true and err == 0 and cnt == 2 and r1 == 7 and r2 == 12 and text == "")
function T:One() return 1 end
found, err, cnt, r1, r2 = T:CallByName(T, "One", "ignored", "args")
assert(found and err == 0 and cnt == 2 and r1 == 1 and r2 == nil)
found, err, cnt, r1, r2 = T:CallByName(T, "Missing", 1, 2, 3)
assert(found == false and err == 5 and cnt == 2 and r1 == nil and r2 == nil)
found, err, cnt = T:CallByName(nil, "Two", 1, 2)
assert(found == false and err == 5 and cnt == 2)
-- fields that are no function are not callable
T.Plain = 5
found, err = T:CallByName(T, "Plain")
assert(found == false and err == 5)
-- an unbound luafunc slot is not callable by name either
found, err = T:CallByName(T, "Unbound")
assert(found == false and err == 5)
-- a luafunc is
found, err, cnt, r1 = T:CallByName(T, "Add", 20, 22)
assert(found and err == 0 and r1 == 42)

-- a script error: TRUE, nil results, code 2, source and line without prefix
function T:Bad(x) error("bad " .. x) end
local badLine = debug.getinfo(1, "l").currentline - 1
found, err, cnt, r1, r2, text = T:CallByName(T, "Bad", "thing")
assert(found == true and err == 2 and cnt == 2 and r1 == nil and r2 == nil)
local src, line, msg = text:match("^(.-):(%d+):(.*)$")
assert(src:match("calls%.lua$") and src:sub(1, 1) ~= "@", text)
assert(tonumber(line) == badLine and msg == "bad thing", text)
-- runtime errors of Lua itself
function T:Arith() local n = nil; return n + 1 end
local arithLine = debug.getinfo(1, "l").currentline - 1
found, err, cnt, r1, r2, text = T:CallByName(T, "Arith")
assert(found and err == 2 and text:match(":" .. arithLine .. ":") and text:find("arithmetic"), text)
-- an error value that is no string
function T:Table() error({}) end
found, err, cnt, r1, r2, text = T:CallByName(T, "Table")
assert(found and err == 2 and text:find("error object is a table value"), text)
-- a luafunc failing inside the called function: located at the calling line
function T:CallsStrict() return self:Strict("x") end
local strictLine = debug.getinfo(1, "l").currentline - 1
found, err, cnt, r1, r2, text = T:CallByName(T, "CallsStrict")
assert(found and err == 2 and text:find("Strict: argument 1 must be an integer", 1, true), text)
assert(text:match(":" .. strictLine .. ":"), text)
-- nested: a called script function calls by name again
function T:Outer(n) return select(5, self:CallByName(self, "Two", n, n)) end
found, err, cnt, r1 = T:CallByName(T, "Outer", 5)
assert(found and err == 0 and r1 == 25)

-- typed calls
function T:Shout(s) return s .. "!" end
local ok, r, e = T:CallTyped(T, "Shout", "(s)s", "hi")
assert(ok == true and r == "hi!" and e == 0)
function T:Maybe(s) return s == nil and "nil" or s end
ok, r = T:CallTyped(T, "Maybe", "(s)s", nil)
assert(ok and r == "nil")
function T:Number() return 5 end
ok, r = T:CallTyped(T, "Number", "(s)s", "x")
assert(ok and r == nil, "a result that is no string gives NULL")
function T:CountOf(o) return o.Count end
ok, r = T:CallTyped(T, "CountOf", "(o)z", T)
assert(ok and r == 7)
function T:Truth(o) return o ~= nil end
ok, r = T:CallTyped(T, "Truth", "(o)z", T)
assert(ok and r == 1)
function T:Frac(n) return n + 0.75 end
ok, r = T:CallTyped(T, "Frac", "(z)z", -3)
assert(ok and r == (-2 & 0xFFFFFFFF), "float truncated toward zero, 32 bits")
function T:Make() KEEP = _New(TPBase); _SetName(KEEP, "made"); return KEEP end
ok, r = T:CallTyped(T, "Make", "()o")
assert(ok and r == KEEP)
ok, r = T:CallTyped(T, "Find", "(s)o", "made")
assert(not ok and r == nil, "no such function")
function T:Find(n) return _Find(n) end
ok, r = T:CallTyped(T, "Find", "(s)o", "made")
assert(ok and r == KEEP)
function T:Touch(o) o.Count = 99 end
ok, r = T:CallTyped(T, "Touch", "(o)", KEEP)
assert(ok and r == 0 and KEEP.Count == 99)
ok, r, e = T:CallTyped(T, "Missing", "(o)z", T)
assert(not ok and r == 0 and e == 5)
ok, r, e = T:CallTyped(T, "Bad", "(s)s", "x")
assert(not ok and r == nil and e == 2)
ok, r, e = T:CallTyped(T, "Shout", "(q)", "x")
assert(not ok and e == 1, "malformed type text")
ok, r, e = T:CallTyped(T, "Shout", "s)s", "x")
assert(not ok and e == 1, "malformed type text")

-- reports reach the error log with the text unchanged
T:Report("value %d %s")
local errs = _Errors()
local last = errs:_Get(errs:_Count() - 1)
assert(last:_Get(last:_FindDict("Text")) == "value %d %s")
assert(last:_Get(last:_FindDict("Source")) == "test_plugin" and last:_Get(last:_FindDict("Line")) == 42)
assert(last:_Get(last:_FindDict("Level")) == 6)
assert(_Errors():_Count() == 0, "reading clears the log")
print("calls ok")
