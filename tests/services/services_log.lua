-- The realm's log and object cache, the text of a package, dispatching
-- queued messages, and the listing of the module's live objects in both of
-- its forms. Locks the cache takes are given back.
-- Arguments: the suite folder, the runner and the module (for a child run
-- whose standard output is read).
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local RUNNER, MODULE = arg[2], arg[3]

local realm = _New(QZRealmBase)
_SetName(realm, "hall")
local Item = QZDataBase:CreateType("Item")
local Step = QZProcBase:CreateSubType("Step")

-- Log ----------------------------------------------------------------------
local function entry(i) return realm:GetLog():_Get(i) end
local function shape(e)
  local out = {}
  for i = 0, e:_Count() - 1 do out[#out + 1] = tostring(e:_Type(i)) end
  return table.concat(out, ",")
end
local obj = _New(_Object)
local listed = _Pkg(1, 2)
local logCases = {
  -- what, arguments, item types of the entry (nil: no entry)
  {"nothing", table.pack(), nil},
  {"only nil", table.pack(nil), nil},
  {"only a function", table.pack(print), nil},
  {"a gap keeps the later value in its place", table.pack(1, nil, 2), "1,0,1"},
  {"a leading gap", table.pack(nil, "x"), "0,4"},
  {"a trailing gap is not kept", table.pack("x", nil), "4"},
  {"a function between values", table.pack(1, print, true), "1,0,6"},
  {"every kind", table.pack(2.5, true, 1 << 40, obj, listed, 7), "2,6,9,7,8,1"},
}
for _, c in ipairs(logCases) do
  realm:ClearLog()
  realm:SetLog(table.unpack(c[2], 1, c[2].n))
  if c[3] == nil then
    T.eq(realm:GetLog():_Count(), 0, "SetLog of " .. c[1] .. ": no entry")
  else
    T.eq(realm:GetLog():_Count(), 1, "SetLog of " .. c[1] .. ": one entry")
    T.eq(shape(entry(0)), c[3], "SetLog of " .. c[1])
  end
end
realm:ClearLog()
realm:SetLog(1, nil, 2)
T.eq(entry(0):_Get(2), 2, "the value after a gap is kept")
realm:SetLog("a\0b")
T.eq(#entry(1):_Get(0), 3, "a text keeps its zero bytes")
realm:SetLog(obj, listed)
T.check(entry(2):_Get(0) == obj and entry(2):_Get(1):_Equals(listed), "objects and packages as given")
T.eq(realm:GetLog():_Count(), 3, "entries oldest first")
local log = realm:GetLog()
log:_Append("by the script")
T.eq(realm:GetLog():_Count(), 4, "the log itself is handed out")
realm:SetLog(realm:GetLog())
T.eq(realm:GetLog():_Count(), 4, "the log never holds itself")
realm:ClearLog()
T.eq(realm:GetLog():_Count(), 0, "ClearLog empties it")
T.eq(QZRealmBase:GetLog(), nil, "the realm class keeps no log")

-- Cache --------------------------------------------------------------------
local before = T.counts()
do
  local a, b = Item(1), Item(2)
  local key127, key128 = string.rep("k", 127), string.rep("k", 128)
  local cacheCases = {
    -- what, call, result, messages
    {"a key of 127 bytes", function() return realm:SetCache(key127, a) end, true, {}},
    {"a key of 128 bytes", function() return realm:SetCache(key128, a) end, false,
     {"[hall] SetCache failed, the string key length must be < 128"}},
    {"a first object", function() return realm:SetCache("first", a) end, true, {}},
    {"the same key again", function() return realm:SetCache("first", b) end, false,
     {"[hall] SetCache failed, the object with same string key has existed"}},
    {"no object", function() return realm:SetCache("none", nil) end, false, {}},
    {"no key", function() return realm:SetCache(nil, a) end, false, {}},
    {"a number as the key", function() return realm:SetCache(5, b) end, false, {}},
    {"a second object", function() return realm:SetCache("second", b) end, true, {}},
    {"a step", function() return realm:SetCache("step", Step()) end, true, {}},
  }
  for _, c in ipairs(cacheCases) do
    T.eq(T.expect_errors(c[2], c[4], c[1]), c[3], c[1])
  end
  T.eq(realm:FindCache(key127), a, "a 127-byte key finds its object")
  T.eq(realm:FindCache("first"), a, "the first object stays under its key")
  T.eq(realm:FindCache("second"), b, "each key finds its object")
  T.eq(realm:FindCache("none"), nil, "an unknown key finds nothing")
  T.eq(realm:FindCache(nil), nil, "nil finds nothing")
  T.eq(realm:GetCache():_Count(), 4, "every cached object")
  T.eq(realm:GetCache(Item):_Count(), 3, "the cached objects of a class")
  T.eq(realm:GetCache(Step):_Count(), 1, "the cached proc")
  T.eq(realm:GetCache(QZCellBase):_Count(), 0, "none of another class")
  local kept = _RefCount(b)
  -- An object the script lets go stays while it is cached.
  realm:SetCache("kept", Item(3))
  _CollectGarbage()
  T.eq(realm:FindCache("kept"):GetDataBuf():_Get(0), 3, "a cached object is kept alive")
  realm:ClearCache(obj)
  T.eq(realm:GetCache():_Count(), 5, "an object for the key clears nothing")
  realm:ClearCache(5)
  T.eq(realm:GetCache():_Count(), 5, "nor does a number")
  realm:ClearCache("second")
  T.eq(_RefCount(b), kept - 1, "a key cleared gives its lock back")
  T.eq(realm:FindCache("second"), nil, "and is gone")
  realm:ClearCache("second")
  -- An object freed while cached is passed over.
  local doomed = Item(4)
  realm:SetCache("doomed", doomed)
  _Free(doomed)
  T.eq(realm:FindCache("doomed"), nil, "a freed object is not found")
  T.eq(realm:GetCache():_Count(), 4, "nor listed")
  realm:ClearCache("doomed")
  realm:ClearCache()
  T.eq(realm:GetCache():_Count(), 0, "ClearCache without a key empties the cache")
  T.eq(realm:FindCache("first"), nil, "nothing is found afterwards")
  T.eq(realm:SetCache("first", a), true, "the cache takes objects again")
  realm:ClearCache(nil)
  -- A realm freed with a full cache gives every lock back.
  local other = _New(QZRealmBase)
  other:SetCache("x", Item(5))
  other:SetCache("y", Step())
  _Free(other)
end
_Errors()
T.balanced(before, "the cache")

-- Text of a package --------------------------------------------------------
local texts = {
  {"nil", nil, ""},
  {"an empty package", _Pkg(), ""},
  {"one empty item", _Pkg(nil), ""},
  {"two empty items", _Pkg(nil, nil), "[null,null]"},
  {"values", _Pkg(1, "x"), '[1,"x"]'},
  {"nested", _Pkg(_Pkg(1), 2.5, true), "[[1],2.5,true]"},
  {"a dictionary", _Dict("a", 1), '{"a":1}'},
  {"a number", 5, ""},
}
for _, c in ipairs(texts) do
  T.eq(realm:ParaPkgToString(c[2]), c[3], "ParaPkgToString of " .. c[1])
end

-- Dispatch: the messages queued before the call run, and the call ends even
-- when a message queues another.
local ran = {}
_Post(function() ran[#ran + 1] = "first" _Post(function() ran[#ran + 1] = "second" end) end)
_Post(function() ran[#ran + 1] = "third" end)
realm:ZelDispatch()
T.eq(table.concat(ran, ","), "first,third", "the queued messages ran, the one they queued waits")
realm:ZelDispatch()
T.eq(table.concat(ran, ","), "first,third,second", "the next call runs it")

-- Listing the live objects --------------------------------------------------
local classLines = {
  {"QZObjectPointerClass                :  ", "QZObjectPointerClass                :  "},
  {"QZObjectPointerWithChangeFlagClass  :  ", "QZObjectPointerWithChangeFlagClass  :  "},
  {"QZDataInputContainerClass           :  ", "QZDataInputContainerClass           :  "},
  {"QZDataBaseClass                     :  ", "QZDataBaseClass                     :  "},
  {"QZDataSetBaseClass                  :  ", "QZDataSetBaseClass                     :  "},
  {"QZDataOutputContainerClass          :  ", "QZDataOutputContainerClass          :  "},
  {"QZExceptionBaseClass                :  ", "QZExceptionBaseClass                :  "},
  {"QZProcBaseClass                     :  ", "QZProcBaseClass                     :  "},
  {"QZProcRemoteBaseClass               :  ", "QZProcRemoteBaseClass               :  "},
  {"QZProcRunnerBaseClass               :  ", "QZProcRunnerBaseClass               :  "},
  {"QZProcChainBaseClass                :  ", "QZProcChainBaseClass                :  "},
  {"QZCellBaseClass                     :  ", "QZCellBaseClass                     :  "},
}
local function escape(s) return (s:gsub("%p", "%%%0")) end

-- Checks a listing: the class lines in order, each after as many instance
-- lines as its count; returns the instance lines.
local function checkListing(lines, form, what)
  local instances, at, pending = {}, 1, 0
  for _, line in ipairs(lines) do
    local label = classLines[at] and classLines[at][form]
    local count = label and line:match("^" .. escape(label) .. "(%d+)$")
    if count then
      T.eq(tonumber(count), pending, what .. ": " .. label .. "counts the lines before it")
      at, pending = at + 1, 0
    else
      T.check(line:match("^%[%d+%]") ~= nil, what .. ": an instance line: " .. line)
      instances[#instances + 1] = line
      pending = pending + 1
    end
  end
  T.eq(at, #classLines + 1, what .. ": every class line, in order")
  return instances
end

local function anyLine(lines, pattern)
  for _, line in ipairs(lines) do
    if line:match(pattern) then return true end
  end
  return false
end

local box = _New(QZCellBase)
_SetName(box, "box")
realm:AddCell(box)
box:AddEnvData(realm, Item(1), Item(2))
local loose = _New(QZCellBase)
_SetName(loose, "loose")
local chained = Step()
_SetName(chained, "chained")
local holder = _New(QZProcChainBase)
_SetName(holder, "holder")
holder:FromPara(chained)

_Errors()
realm:PrintObjects(false)
local reported = {}
local log = _Errors()
for i = 0, log:_Count() - 1 do
  local d = log:_Get(i)
  T.eq(d:_Get(d:_FindDict("Level")), 6, "the listing is reported at level 6")
  reported[#reported + 1] = d:_Get(d:_FindDict("Text"))
end
local lines = checkListing(reported, 2, "reported listing")
T.check(anyLine(lines, "^%[%d+%]%[2%]  box%[Parent:hall%]$"), "a cell line with its data count and parent")
T.check(anyLine(lines, "^%[%d+%]%[0%]  loose$"), "a cell line without a parent")
T.check(anyLine(lines, "^%[%d+%]  chained%[Parent:holder%]$"), "a proc line with its parent")
T.check(anyLine(lines, "^%[%d+%]  holder$"), "a line without a parent")

-- The console form, read from a child run.
local child = os.tmpname()
local f = io.open(child, "w")
f:write([[
local realm = _New(QZRealmBase)
_SetName(realm, "hall")
local box = _New(QZCellBase)
_SetName(box, "box")
realm:AddCell(box)
box:AddEnvData(realm, QZDataBase:CreateType("Item")(1))
realm:PrintObjects(true)
]])
f:close()
local out = io.popen(string.format("%q %q %q 2>/dev/null", RUNNER, MODULE, child))
local printed = {}
for line in out:lines() do printed[#printed + 1] = line end
local closed = out:close()
os.remove(child)
T.check(closed, "the child run ends cleanly")
local consoleLines = checkListing(printed, 1, "console listing")
T.check(anyLine(consoleLines, "^%[%d+%]%[1%]  box%[Parent:hall%]$"), "the console form has the same lines")

T.finish("services_log")
