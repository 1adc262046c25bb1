-- Bad input: clear script errors with source and line, the host keeps
-- working, nothing leaks.
local function expect(pattern, f, ...)
  local ok, err = pcall(f, ...)
  assert(not ok, "no error for " .. pattern)
  assert(type(err) == "string" and err:match("bad_input%.lua:%d+:"), "no location: " .. tostring(err))
  assert(err:find(pattern, 1, true), "'" .. err .. "' lacks '" .. pattern .. "'")
end
local o = _New(TPBase)

-- a script that raises
expect("plain failure", function() error("plain failure") end)
-- luafuncs with missing or wrong-type arguments
expect("Strict: argument 1 must be an integer", function() return o:Strict() end)
expect("Strict: argument 1 must be an integer", function() return o:Strict("7") end)
assert(o:Strict(4) == 8)
expect("not bound", function() return o:Unbound() end)
expect("object expected", function() return _Name(5) end)
expect("object expected", function() return _New("TPBase") end)
expect("package expected", function() return _New(TPBase, 5) end)
expect("not a queue", function() return _Children(o, "Count") end)
-- host luafuncs keep working with missing arguments (they read nil as 0)
assert(o:Add() == 0 and o:Add(1) == 1)
-- wrong attribute values and writes that have no place
expect("expects an integer", function() o.Count = "many" end)
expect("cannot be set", function() o.Items = {} end)
expect("cannot assign index", function() o[1] = 2 end)
-- a freed object
local f = _New(TPBase)
_Free(f)
expect("freed", function() return f.Count end)
expect("freed", function() return f:Hello() end)
expect("freed", function() return f() end)
expect("freed", function() return _ID(f) end)
-- calling a name that is not there
expect("attempt to call a nil value", function() return o:NoSuchMethod() end)
-- the host still works
assert(o:Add(2, 2) == 4 and o:Hello() == "hello from ")
assert(_Children(o, "Items"):_Count() == 0)
print("bad input ok")
