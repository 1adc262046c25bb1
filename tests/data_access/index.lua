-- Index access: data[i] over a value package of each item type, writes of
-- each script type, the refusals and what they leave behind.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local P = T.prefix

local Ty = QZDataBase:CreateType("idx.T")
_LockGC(Ty)
local target = _New(_Object)
local nested = _Pkg("n")

-- Reads ---------------------------------------------------------------------
local d = Ty(1)
_SetName(d, "d")
local buf = _Pkg()
buf:_Set(0, 7)                 -- 32-bit integer
buf:_Set(1, 2.5)               -- double
buf:_Set(2, "a\0b")            -- string with a zero byte
buf:_Set(3, true)              -- bool
buf:_Set(4, 1 << 40)           -- 64-bit integer
buf:_Set(5, target)            -- object
buf:_Set(6, nested)            -- package
buf:_Set(7, _BinBuf("xy\0z"))  -- binary
buf:_Set(8, 1234, 5)           -- time
buf:_Set(9, nil)               -- empty
buf:_Set(10, _New(_Object))    -- object freed below
d:SetDataBuf(buf)
_Free(buf:_Get(10))
local reads = {
  {0, 7, "integer"}, {1, 2.5, "float"}, {2, "a\0b"}, {3, true}, {4, 1 << 40, "integer"},
  {5, target}, {8, nil}, {9, nil}, {10, nil}, {11, nil}, {-1, nil}, {1 << 40, nil},
}
for _, r in ipairs(reads) do
  local got = T.expect_errors(function() return d[r[1]] end, {}, "read " .. r[1])
  T.eq(got, r[2], "read item " .. r[1])
  if r[3] then T.eq(math.type(got), r[3], "item " .. r[1] .. " number kind") end
end
-- A package item is the data's own package, not a copy.
d[6]:_Append("m")
T.eq(nested:_Count(), 2, "package item read without a copy")
local bin = d[7]
T.eq(type(bin), "userdata", "binary item reads as a binary buffer")
T.eq(bin and bin:_Text(), "xy\0z", "with the item's bytes")
T.eq(d['"3'], true, "a quoted name is an index")
T.eq(d[2.0], "a\0b", "an integral float key is an index")
-- A data without its own value reads its prototype's.
local child = d()
T.eq(child[0], 7, "inherited read")
T.eq(_New(Ty)[0], nil, "no value package: nil")

-- Writes ----------------------------------------------------------------------
local w = Ty(0)
_SetName(w, "w")
local bb = _BinBuf("bin")
local writes = {
  -- value, item type, value read back (nil: same as written)
  {nil, 0}, {1.5, 2}, {true, 6}, {"s\0t", 4}, {target, 7}, {nested, 8}, {bb, 3, "bin"},
  {5, 1}, {1 << 40, 9}, {-(1 << 35), 9}, {_New(_Object), 7},
}
local function same(a, b)
  if type(a) == "userdata" and type(b) == "userdata" and a._Equals then return a:_Equals(b) end
  return a == b
end
for i, wr in ipairs(writes) do
  local ok = T.expect_errors(function() return pcall(function() w[i - 1] = wr[1] end) end, {}, "write " .. i)
  T.eq(ok, true, "write " .. i .. " handled")
  local b = w:GetDataBuf()
  T.eq(b:_Count(), i, "write " .. i .. " appends")
  T.eq(b:_Type(i - 1), wr[2], "write " .. i .. " item type")
  if wr[3] then
    T.eq(w[i - 1]:_Text(), wr[3], "write " .. i .. " value")
  elseif wr[1] ~= nil then
    T.check(same(w[i - 1], wr[1]), "write " .. i .. " value")
  end
end
w[0] = "replaced"
T.eq(w[0], "replaced", "an existing item is replaced")
T.eq(w:GetDataBuf():_Count(), #writes, "replacing keeps the count")
-- A type that has no item form is reported and stored nowhere.
local count = w:GetDataBuf():_Count()
local ok = T.expect_errors(function() return pcall(function() w[0] = print end) end,
                           {P(w) .. "'s set attribute [0] failed, data type is not supported"}, "function value")
T.eq(ok, true, "an unsupported type is handled (no script error)")
T.eq(w[0], "replaced", "and stores nothing")

-- Refusals: the write is not handled (the host raises a script error) and the
-- value package stays as it was.
-- The value as items read by index (GetDataBuf would ask a type class).
local function snapshot(obj)
  if obj.IsType or not obj:GetObjectHasBuf() then return "none" end
  local items = {}
  for i = 0, 16 do
    local v = obj[i]
    if type(v) == "userdata" and v._Text then v = "bin:" .. v:_Text()
    elseif type(v) == "userdata" and v._Count then v = "pkg:" .. v:_Count() end
    items[#items + 1] = tostring(v)
  end
  return _ID(obj:GetObjectHasBuf()) .. table.concat(items, ",")
end
local function refused(obj, key, value, message, what)
  local before = snapshot(obj)
  local ok = T.expect_errors(function() return pcall(function() obj[key] = value end) end,
                             message and {message} or {}, what)
  T.eq(ok, false, what .. ": not handled")
  T.eq(snapshot(obj), before, what .. ": value unchanged")
end
refused(w, count + 1, 1, P(w) .. "'s set attribute [" .. (count + 1) .. "] failed, index is larger than data number in buf",
        "beyond the end")
refused(w, -1, 1, P(w) .. "'s set attribute [-1] failed, index can not be negative", "negative index")
refused(w, -(1 << 40), 1, P(w) .. "'s set attribute [-2147483648] failed, index can not be negative", "huge negative index")
refused(w, 1 << 40, 1, P(w) .. "'s set attribute [2147483647] failed, index is larger than data number in buf",
        "huge index")
refused(Ty, 0, 1, P(Ty) .. "'s set attribute failed, this object is data type", "write on a type")
-- The predefined class objects have no hooks: the host refuses by itself.
refused(QZDataBase, 0, 1, nil, "write on the class")
T.eq(T.expect_errors(function() return Ty[0] end, {P(Ty) .. "'s get attribute failed, this object is data type"},
                     "read on a type"), nil, "read on a type gives nil")
w:SetReadOnly()
refused(w, 0, 1, P(w) .. "'s set attribute [0] failed, the value can not be stored in buf", "read-only value")
local own = Ty(1)
_SetName(own, "own")
refused(own, 1, own:GetDataBuf(), P(own) .. "'s set attribute [1] failed, the value can not be stored in buf",
        "a package that would hold itself")

-- A refused write on a data that reads its prototype's value leaves that
-- value in view: no empty package of its own appears.
local proto = Ty(10, 20)
local inheritor = proto()
_SetName(inheritor, "inheritor")
refused(inheritor, 2, 1, P(inheritor) .. "'s set attribute [2] failed, index is larger than data number in buf",
        "inheritor beyond its own (empty) package")
T.eq(inheritor:GetObjectHasBuf(), proto, "still reads the prototype's package")
T.eq(inheritor[1], 20, "and its items")
inheritor[0] = 99
T.eq(inheritor:GetObjectHasBuf(), inheritor, "a write gives it a package of its own")
T.eq(inheritor[0], 99, "holding the written item")
T.eq(inheritor[1], nil, "and nothing of the prototype's")
T.eq(proto[0], 10, "the prototype is untouched")

-- A type with a type class ---------------------------------------------------
local TC = _New(_Object)
local verdict = true
TC.IsRawInstance = function(self, v) if verdict == "error" then error("bad check") end return verdict end
local Tt = QZDataBase:CreateType("idx.Tt")
_LockGC(Tt)
Tt:SetDataTypeClass(TC)
local raw = _New(_Object)
local tv = _New(Tt)
_SetName(tv, "tv")
refused(tv, 1, raw, P(tv) .. "'s set attribute [1] failed, the data has assigned DataTypeClass, only 0 can be set",
        "type class: item 1")
refused(tv, 0, 5, P(tv) .. "'s set attribute [0] failed, the data has assigned DataTypeClass, the value must be an object",
        "type class: a number")
verdict = false
refused(tv, 0, raw, P(tv) .. "'s set attribute [0] failed, the data has assigned DataTypeClass, but input value is not "
        .. "instance of DataTypeClass", "type class says no")
verdict = "error"
T.errors()
local okErr = pcall(function() tv[0] = raw end)
local errs = T.errors()
T.eq(okErr, false, "type class error: not handled")
T.check(#errs == 1 and errs[1]:find("set attribute failed, the data has assigned DataTypeClass, but calls the "
        .. "function IsRawInstance failed", 1, true), "type class error reported")
T.eq(tv:GetObjectHasBuf(), nil, "no package after the refusals")
verdict = true
tv[0] = raw
T.eq(tv:GetDataBuf(), nil, "GetDataBuf asks the type class (no ToParaPkg here)")
T.eq(tv[0], raw, "accepted value stored")
TC.IsRawInstance = nil
refused(tv, 0, raw, P(tv) .. "'s set attribute [0] failed, the data has assigned DataTypeClass, but calls the function "
        .. "IsRawInstance failed", "type class without IsRawInstance")
-- A type class that frees the data while it is asked.
local victim = _New(Tt)
TC.IsRawInstance = function(self, v) _Free(victim) return true end
local okFreed = pcall(function() victim[0] = raw end)
T.eq(okFreed, false, "a data freed by its type class is not written")
T.eq(tostring(victim), "object:freed", "the data is gone")
TC.IsRawInstance = nil
_Errors()

T.finish("data_access_index")
