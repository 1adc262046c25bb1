-- Saving objects into a saved object package and loading them back through
-- the realm: each kind of object round trip (save, load, save gives the same
-- package and JSON text), the refusals of both sides, strict and lenient
-- loading, the relinking of saved object IDs (never into a loop), JSON
-- packages of value lists and the system package table. Nothing is left
-- behind once the results are dropped.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local realm = _New(QZRealmBase)
_SetName(realm, "keeper")

local K = dofile(arg[1] .. "/persist_types.lua")
local Item, Heat, Serve, Keep, Sorter = K.Item, K.Heat, K.Serve, K.Keep, K.Sorter

-- The JSON text of a saved package with every object ID replaced by its
-- order of first appearance: loaded objects have new IDs, so this is the
-- form in which two saves of equal objects are the same, links included.
local UUID = "%x%x%x%x%x%x%x%x%-%x%x%x%x%-%x%x%x%x%-%x%x%x%x%-%x%x%x%x%x%x%x%x%x%x%x%x"
local function canon(pkg)
  local text = pkg and pkg:_ToJSon()
  if text == nil then return nil end
  local map, n = {}, 0
  return (text:gsub(UUID, function(id)
    id = id:upper()
    if map[id] == nil then
      n = n + 1
      map[id] = "#" .. n
    end
    return map[id]
  end))
end

local function save(...)
  local buf = _Pkg()
  local ok = realm:SaveObject(buf, ...)
  return ok and buf or nil, ok
end

local function records(buf)
  return T.get(buf, "ObjectList")
end

-- Each kind of object: save, load, save again; the second save is the first
-- one, also when the package went through its JSON text on the way.
local function chainWithChild()
  local h, s = Heat(), Serve()
  local c = _New(QZProcChainBase)
  c:FromPara(h, s)
  c:AddChildProcChain(h, Serve(), s)
  return c
end
local function baseCell()
  local cell = _New(QZCellBase)
  cell:AddProc(Heat, Serve)
  cell:ConnectProc(Heat, Serve)
  return cell
end
local function remote()
  local far = _New(QZProcRemoteBase)
  far.Url = "tcp://kitchen"
  far.RemoteQZProcName = "Boil"
  return far
end
local function rule()
  local r = Keep()
  r:GetRuleBuf():_Append(3)
  r:GetRuleBuf():_Append("three")
  r:GetRuleBuf():_Append(Item(3))
  return r
end

local kinds = {
  -- what, maker, class the loaded object is made from, has object IDs
  {"a proc", function() return Heat() end, Heat, true},
  {"a remote proc", remote, QZProcRemoteBase, true},
  {"a cell of a cell type", function() return Sorter() end, Sorter, true},
  {"a base cell with chains", baseCell, QZCellBase, true},
  {"a chain with a child chain", chainWithChild, QZProcChainBase, true},
  {"a rule", rule, Keep, false},
  {"a data object", function() return Item(1, "one", 2.5, true) end, Item, false},
}
for _, k in ipairs(kinds) do
  local what, original = k[1], k[2]()
  local first = save(original)
  T.check(first ~= nil, what .. ": saved")
  T.eq(records(first) and records(first):_Count(), 1, what .. ": one record")
  local loaded = realm:LoadObject(first)
  T.eq(loaded:_Count(), 1, what .. ": one object loaded")
  local back = loaded:_Get(0)
  T.check(back ~= nil and back ~= original, what .. ": a new object")
  T.eq(back and _Class(back), k[3], what .. ": made from the saved class")
  local second = save(back)
  T.eq(canon(second), canon(first), what .. ": saved again, the same package")
  if not k[4] then
    T.check(second ~= nil and second:_Equals(first), what .. ": the same items")
    T.eq(second and second:_ToJSon(), first:_ToJSon(), what .. ": the same JSON text")
  end
  local viaText = realm:LoadObject(T.viajson(first)):_Get(0)
  T.eq(canon(save(viaText)), canon(first), what .. ": the same after a trip through JSON text")
end

-- The loaded chain is the saved one: equal, same tag, child chain rejoining
-- the new procs.
local c = chainWithChild()
local cback = realm:LoadObject(save(c)):_Get(0)
T.check(cback:Equals(c), "the loaded chain equals the saved one")
T.eq(cback:GetTag(), c:GetTag(), "and has its tag")
local kid = _Children(cback:GetFirstProc(), "QZProcChild"):_Get(0)
T.check(kid:GetLastProc() == cback:GetLastProc(), "the child chain rejoins the new last proc")
local far = realm:LoadObject(save(remote())):_Get(0)
T.eq(far.Url, "tcp://kitchen", "a remote proc keeps its Url")
T.eq(far.RemoteQZProcName, "Boil", "and the remote proc name")
local rback = realm:LoadObject(save(rule())):_Get(0)
T.eq(rback:GetRuleBuf():_Count(), 3, "a loaded rule has the saved buffer")
T.eq(rback:GetRuleBuf():_Get(1), "three", "with its values")
T.eq(rback:GetRuleBuf():_Get(2):GetDataBuf():_Get(0), 3, "and its data")

-- Several objects keep their order; the package's keys come in order.
local many = save(Heat(), Item(7), chainWithChild(), rule())
T.eq(many:_Get(0), "PackageInfo", "first key PackageInfo")
T.eq(many:_Get(2), "ObjectList", "second key ObjectList")
T.check(many:_IsDict(), "the saved package is a dictionary")
local order = realm:LoadObject(many)
T.eq(order:_Count(), 4, "four objects loaded")
T.check(_Class(order:_Get(0)) == Heat and _Class(order:_Get(1)) == Item and
        _IsInst(QZProcChainBase, order:_Get(2)) and _Class(order:_Get(3)) == Keep, "in the saved order")

-- A proc is saved without its child chains.
local parent = Heat()
local holder = _New(QZProcChainBase)
holder:FromPara(parent, Serve())
holder:AddChildProcChain(parent, Serve(), nil)
T.eq(T.get(records(save(parent)):_Get(0), "QZProcChild"), nil, "a proc's record carries no child chains")

-- Saving: what makes the whole save fail, and leaves the package empty.
local saveRefusals = {
  -- what, arguments after the package, message, result
  {"no object", table.pack(), nil, true},
  {"a proc, then a number", table.pack(Heat(), 5), nil, false},
  {"a proc, then nil", table.pack(Heat(), nil, Heat()), nil, false},
  {"a realm", table.pack(realm), nil, false},
  {"a plain host object", table.pack(_New(_Object)), nil, false},
  {"a proc type", table.pack(Heat), "can not save QZProc [Heat], which IsType is true", false},
  {"a data type", table.pack(Item), "__any", false},
}
for _, case in ipairs(saveRefusals) do
  local buf = _Pkg("old", 1)
  T.errors()
  local ok = realm:SaveObject(buf, table.unpack(case[2], 1, case[2].n))
  local got = T.errors()
  T.eq(ok, case[4], case[1] .. ": result")
  if case[4] then
    T.eq(records(buf):_Count(), 0, case[1] .. ": an empty object list")
    T.eq(T.get(buf, "PackageInfo"):_Count(), 0, case[1] .. ": an empty package-info list")
  else
    T.eq(buf:_Count(), 0, case[1] .. ": the package is left empty")
  end
  if case[3] == nil then
    T.eq(#got, 0, case[1] .. ": no report of its own")
  elseif case[3] == "__any" then
    T.check(#got >= 1, case[1] .. ": the writer says why")
  else
    T.eq(got[1], case[3], case[1] .. ": the writer's report")
  end
end
T.eq(realm:SaveObject(nil, Heat()), false, "no package: false")
T.eq(realm:SaveObject(5, Heat()), false, "a number for the package: false")

-- Loading: what makes the whole load give an empty package, with its reason.
local heatRecord = records(save(Heat())):_Get(0)
local function withRecords(...)
  return _Dict("PackageInfo", _Pkg(), "ObjectList", _Pkg(...))
end
local function edited(record, key, value)
  local r = record:_Dup()
  local i = r:_FindDict(key)
  if i < 0 then
    r:_Append(key)
    r:_Append(value)
  else
    r:_Set(i, value)
  end
  return r
end
-- The list itself gives no reason: only the record checks report theirs.
local loadRefusals = {
  {"nil", nil, {}},
  {"no ObjectList", _Dict("PackageInfo", _Pkg()), {}},
  {"an empty ObjectList", withRecords(), {}},
  {"an ObjectList that is no list", _Dict("ObjectList", 3), {}},
  {"an item that is no record", withRecords(heatRecord, 3), {}},
  {"a record without Type", withRecords(_Dict("Value", 1)), {}},
  {"a record of another kind", withRecords(heatRecord, edited(heatRecord, "Type", "QZThing")), {}},
  {"a class that does not exist", withRecords(edited(heatRecord, "ClassName", "Gone")), {}},
  {"a data record of a missing type", withRecords(_Dict("PackageInfo", _Pkg(), "Value", _Pkg(), "ClassName", "NoSuch")),
   {}},
  {"a good record after a bad one", withRecords(3, heatRecord), {}},
  {"a proc record of a class that is no type", withRecords(edited(heatRecord, "ClassName", "keeper")),
   {"Load object failed, process [keeper] is not a type. Maybe error in some where"}},
  {"a failed record check before a bad item: only the check reports", withRecords(edited(heatRecord, "ClassName", "keeper"), 3),
   {"Load object failed, process [keeper] is not a type. Maybe error in some where"}},
}
for _, case in ipairs(loadRefusals) do
  local result = T.expect_errors(function() return realm:LoadObject(case[2]) end, case[3], case[1])
  T.eq(result and result:_Count(), 0, case[1] .. ": an empty package")
end
-- A good record before a bad one: nothing is made at all.
local objectsBefore = T.stat("LiveObjects")
realm:LoadObject(withRecords(heatRecord, edited(heatRecord, "ClassName", "Gone")))
_Errors()
T.eq(T.stat("LiveObjects"), objectsBefore, "a refused package makes no object")
T.eq(QZRealmBase:LoadObject(save(Heat())):_Count(), 0, "the realm class itself loads nothing")

-- A record that names a data class and also a proc kind is read as data only.
local dataRecord = records(save(Item(4))):_Get(0)
local both = realm:LoadObject(withRecords(edited(dataRecord, "Type", "QZProc")))
T.eq(both:_Count(), 1, "a data record that also names a kind loads once")
T.eq(_Class(both:_Get(0)), Item, "as data")

-- Strict and lenient matching of an input against its class.
local Taster = QZProcBase:CreateSubType("Taster")
Taster:InputFrom(Item)
local tasterRecord = records(save(Taster())):_Get(0)
local optional = tasterRecord:_Dup()
T.get(optional, "InputQueue"):_Get(0):_Append("IsMustExist")
T.get(optional, "InputQueue"):_Get(0):_Append(false)
local strictText = "Load object failed, InputQueue is not same with it's class [Taster]"
local matching = {
  -- what, IsNotStrictmatch argument, objects loaded, messages
  {"without the argument", nil, 0, {strictText}},
  {"false", false, 0, {strictText}},
  {"a number", 1, 0, {strictText}},
  {"true", true, 1, {}},
}
for _, case in ipairs(matching) do
  local got = T.expect_errors(function() return realm:LoadObject(withRecords(optional), case[2]) end, case[4],
                              "IsNotStrictmatch " .. case[1])
  T.eq(got:_Count(), case[3], "IsNotStrictmatch " .. case[1] .. ": objects")
end
local lenient = realm:LoadObject(withRecords(optional), true):_Get(0)
T.eq(lenient:IsMustExist(0), false, "a lenient load keeps the saved flag")

-- An input whose saved texts do not read loads without them, and says why and
-- where each text went wrong.
local function withInputText(key, text)
  local r = tasterRecord:_Dup()
  T.get(r, "InputQueue"):_Get(0):_Append(key)
  T.get(r, "InputQueue"):_Get(0):_Append(text)
  return withRecords(r)
end
local badTexts = {
  -- key, saved text, message
  {"DataObjectInst", "{\"ClassName\":", "can not load InputQueue, DataObjectInst load failed (invalid JSON at offset 13: " ..
   "Invalid value.)"},
  {"DataLocalBuf", "[1,", "can not load InputQueue, DataLocalBuf load failed (invalid JSON at offset 3: Invalid value.)"},
  {"DataLocalBuf", "7", "can not load InputQueue, DataLocalBuf load failed (invalid JSON at offset 0: The top level " ..
   "is no array or object.)"},
}
for _, case in ipairs(badTexts) do
  local what = case[1] .. " " .. case[2]
  local got = T.expect_errors(function() return realm:LoadObject(withInputText(case[1], case[2])) end, {case[3]}, what)
  T.eq(got:_Count(), 1, what .. ": the proc loads")
  local input = _Children(got:_Get(0), "InputQueue"):_Get(0)
  T.eq(input:GetLocalBuf(), nil, what .. ": without a local package")
end

-- Saved object IDs link the new objects: a proc's next proc and an input
-- bound to a proc, compared without regard to case; a link that would make
-- the order loop back is left unset.
local p1, p2 = records(save(Serve())):_Get(0), records(save(Serve())):_Get(0)
local id1, id2 = T.get(p1, "ObjectID"), T.get(p2, "ObjectID")
local linked = realm:LoadObject(withRecords(edited(p1, "QZProcNext", id2:lower()), p2))
T.check(linked:_Get(0):GetNextProc() == linked:_Get(1), "the next proc is the new one, IDs compared ignoring case")
local bound = tasterRecord:_Dup()
T.get(bound, "InputQueue"):_Get(0):_Append("QZProcID")
T.get(bound, "InputQueue"):_Get(0):_Append(id2)
local withInput = realm:LoadObject(withRecords(bound, p2))
local input = _Children(withInput:_Get(0), "InputQueue"):_Get(0)
T.eq(input.QZProcID, _ID(withInput:_Get(1)), "an input bound to a saved proc is bound to the new one")
local loops = {
  -- what, records
  {"a proc naming itself", {edited(p1, "QZProcNext", id1)}, {nil}},
  {"two procs naming each other", {edited(p1, "QZProcNext", id2), edited(p2, "QZProcNext", id1)}, {2, nil}},
}
for _, case in ipairs(loops) do
  local got = realm:LoadObject(withRecords(table.unpack(case[2])))
  T.eq(got:_Count(), #case[2], case[1] .. ": loaded")
  for i = 1, #case[2] do
    local next = got:_Get(i - 1):GetNextProc()
    local want = case[3][i] and got:_Get(case[3][i] - 1) or nil
    T.check(next == want, case[1] .. ": proc " .. i .. " links to " .. tostring(case[3][i]))
  end
end
local loopChain = records(save(chainWithChild())):_Get(0)
local lastOfChain = T.get(loopChain, "QZProcBase"):_Get(1)
lastOfChain:_Append("QZProcNext")
lastOfChain:_Append(T.get(T.get(loopChain, "QZProcBase"):_Get(0), "ObjectID"))
local looped = realm:LoadObject(withRecords(loopChain)):_Get(0)
T.eq(looped:ToParaPkg():_Count(), 2, "a chain whose last proc names its first is not made a loop")
T.eq(looped:GetLastProc():GetNextProc(), nil, "the last proc keeps no next proc")

-- A class that goes while the package loads ends the load with what was
-- made so far; nothing else is linked or left behind.
local before = T.counts()
do
  local Fleeting = QZDataBase:CreateType("Fleeting")
  local Killer = QZDataBase:CreateType("Killer")
  local tc = _New(_Object)
  function tc:Save(holder) return "k" end
  function tc:Load(text)
    _Free(Fleeting)
    return _New(Killer)
  end
  Killer:SetDataTypeClass(tc)
  local k = _New(Killer)
  k:SetDataBuf(_Pkg(_New(_Object)))
  local gone = save(k, Fleeting(2), Serve())
  local partial = realm:LoadObject(gone)
  T.eq(partial:_Count(), 1, "the load ends at the record whose class has gone")
  T.eq(_Class(partial:_Get(0)), Killer, "with the object made before it")
  T.check(_FromID(_ID(Killer)) ~= nil and _Find("Fleeting") == nil, "the type was freed by the hook")
  _Free(Killer)
end
_Errors()
T.balanced(before, "a load ended by a vanished class")

-- JSON packages of a value list.
local value = _Pkg(1, "two", 3.5, true, _Pkg(4), Item(5), chainWithChild())
local jpkg = realm:SaveToJSonPkg(value)
T.check(jpkg ~= nil and jpkg:_IsDict(), "a JSON package")
T.eq(jpkg and jpkg:_Get(0), "PackageInfo", "first key PackageInfo")
T.eq(jpkg and jpkg:_Get(2), "Value", "second key Value")
local text = jpkg:_ToJSon()
local reread = realm:LoadFromJSonPkg(T.viajson(jpkg))
T.eq(reread and reread:_Count(), value:_Count(), "read back through its JSON text")
T.eq(realm:SaveToJSonPkg(reread):_ToJSon():gsub(UUID, "#"), text:gsub(UUID, "#"), "saved again, the same text")
T.check(reread:_Get(6):Equals(value:_Get(6)), "the chain comes back equal")
local jsonRefusals = {
  {"SaveToJSonPkg of nothing", function() return realm:SaveToJSonPkg() end},
  {"SaveToJSonPkg of an empty package", function() return realm:SaveToJSonPkg(_Pkg()) end},
  {"SaveToJSonPkg of a binary item", function() return realm:SaveToJSonPkg(_Pkg(_BinBuf("x"))) end},
  {"LoadFromJSonPkg of nothing", function() return realm:LoadFromJSonPkg() end},
  {"LoadFromJSonPkg without Value", function() return realm:LoadFromJSonPkg(_Dict("PackageInfo", _Pkg())) end},
  {"LoadFromJSonPkg of a Value that is no list", function() return realm:LoadFromJSonPkg(_Dict("Value", 3)) end},
  {"LoadFromJSonPkg of a damaged list", function() return realm:LoadFromJSonPkg(_Dict("Value", _Pkg(1))) end},
}
for _, case in ipairs(jsonRefusals) do
  T.eq(case[2](), nil, case[1] .. ": nil")
end
_Errors()

-- The system package table is live: what a script adds is found and saved.
local table_ = realm:GetSystemPackageInfo()
table_:_Append("marker")
T.eq(realm:GetSystemPackageInfo():_Get(0), "marker", "the same table each time")
table_:_Del(0)
local entry = _Dict("PackageName", "kitchen", "ObjectList", _Pkg("Item", "Heat", "Keep"), "PackageVersion", "1.2",
                    "PackageUrl", "http://kitchen")
table_:_Append(entry)
local lookups = {
  {"a listed data type", Item, "kitchen"},
  {"an instance of it", Item(1), "kitchen"},
  {"a listed proc type", Heat, "kitchen"},
  {"a proc of it", Heat(), "kitchen"},
  {"an unlisted type", Serve, ""},
  {"a rule instance", Keep(), ""},
  {"nil", nil, ""},
  {"a realm", realm, ""},
}
for _, case in ipairs(lookups) do
  T.eq(realm:FindSystemPackage(case[2]), case[3], "FindSystemPackage of " .. case[1])
end
local info = T.get(save(Item(1), Heat()), "PackageInfo")
T.eq(info:_Count(), 1, "a save lists the package once")
T.eq(T.get(info:_Get(0), "PackageName"), "kitchen", "by name")
T.eq(T.get(info:_Get(0), "PackageVersion"), "1.2", "with its version")
table_:_Del(table_:_Count() - 1)
T.eq(realm:FindSystemPackage(Item), "", "a package taken out of the table is no longer found")

-- Everything made here goes again once dropped.
local drop = T.counts()
do
  local again = realm:LoadObject(save(Heat(), baseCell(), chainWithChild(), rule(), Item(9), remote()))
  for i = 0, again:_Count() - 1 do again:_Get(i) end
  -- Objects inside a loaded value are the value's: read them as a script would.
  again:_Get(3):GetRuleBuf():_Get(2)
  local j = realm:LoadFromJSonPkg(realm:SaveToJSonPkg(_Pkg(Item(1), chainWithChild())))
  T.eq(j:_Count(), 2, "a value list read back")
end
T.balanced(drop, "save and load")

T.finish("services_persist")
