-- Attribute access: get/set hooks first (index access as `"` + decimal),
-- then record attributes with type conversion and before-change callbacks,
-- then script fields.
local v = TPBase:MakeVector()
assert(v.Size == 16)
v[0] = 11
v[15] = 22
v[3.0] = 33 -- an integral float is an integer key
assert(v[0] == 11 and v[15] == 22 and v[3] == 33 and v[1] == 0)
assert(v[16] == nil and v[-1] == nil, "unhandled integer keys read nil")
local ok, err = pcall(function() v[16] = 1 end)
assert(not ok and err:match("hooks%.lua:%d+:"), err)
ok, err = pcall(function() v[2] = "text" end) -- the hook refuses: an error
assert(not ok)
assert(v[2] == 0)
-- other names go on to the normal path
assert(v.Count == 7)
v.Count = 8
assert(v.Count == 8)
-- hooks belong to their own object only
local w = _New(TPBase)
assert(w[0] == nil and w.Size == nil)
ok = pcall(function() w[0] = 1 end)
assert(not ok)

-- attributes, read
local o = _New(TPBase)
assert(o.Count == 7 and math.type(o.Count) == "integer")
assert(o.Flag == true and o.Label == "base")
assert(o.Big == 5000000000 and o.Mask == 4294967295)
assert(o.Ptr == nil and o.Items == nil)
assert(o.Ref == "00000000-0000-0000-0000-000000000000")
-- attributes, write
o.Label = "new"
assert(o.Label == "new")
o.Label = nil
assert(o.Label == "" or o.Label == nil)
o.Flag = false
assert(o.Flag == false)
o.Flag = 1
assert(o.Flag == true)
o.Ref = _ID(o)
assert(o.Ref == _ID(o))
o.Ref = _ID(o):lower()
assert(o.Ref == _ID(o))
o.Big = -1
assert(o.Big == -1)
o.Mask = 0
assert(o.Mask == 0)
o.Count = 4.0
assert(o.Count == 4 and math.type(o.Count) == "integer")

-- wrong values: a script error at the writing line, the attribute unchanged
local cases = {
  {"Count", "x"}, {"Count", 1.5}, {"Count", 1 << 40}, {"Count", true},
  {"Flag", "yes"}, {"Flag", 2}, {"Ref", "not-a-uuid"}, {"Ref", 5},
  {"Label", 5}, {"Ptr", o}, {"Ptr", nil}, {"Items", 1}, {"Mask", -1}, {"Big", 0.5},
}
for _, case in ipairs(cases) do
  local before = o[case[1]]
  local ok2, err2 = pcall(function() o[case[1]] = case[2] end)
  assert(not ok2, "accepted " .. case[1] .. " = " .. tostring(case[2]))
  assert(err2:match("hooks%.lua:%d+:") and err2:find(case[1], 1, true), err2)
  assert(o[case[1]] == before)
end

-- before-change callbacks can refuse a write (no error, no change)
o:GuardCount()
o.Count = -5
assert(o.Count == 4)
o.Count = 3
assert(o.Count == 3)

-- names that are no attribute are script fields of the object
o.Note = "hi"
assert(o.Note == "hi" and w.Note == nil)
o.Note = nil
assert(o.Note == nil)
-- keys that are neither names nor integers
assert(o[true] == nil)
ok = pcall(function() o[{}] = 1 end)
assert(not ok)
print("hooks ok")
