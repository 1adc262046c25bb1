-- The module's version, tags of any module object through the realm, change
-- lists between two data sets, and the four kind tests.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local realm = _New(QZRealmBase)

-- Version.
local v = realm:GetVersion()
T.eq(v:_Count(), 3, "three version numbers")
T.eq(v:_ToJSon(), "[0,5,0]", "version 0.5.0")
T.check(v:_Type(0) == 1 and v:_Type(1) == 1 and v:_Type(2) == 1, "as 32-bit integers")
T.eq(realm:GetVersionInfo(), "0.5.0", "version text")
T.eq(QZRealmBase:GetVersionInfo(), "0.5.0", "the realm class answers too")

-- The tick of the last new type moves on when a type is made.
local tick = realm:GetLastNewTypeTickCount()
T.check(math.type(tick) == "integer" and tick > 0, "the tick of the last new type: " .. tostring(tick))
local c0 = os.clock()
repeat until os.clock() - c0 > 0.003 -- a few milliseconds later
local Later = QZDataBase:CreateType("Later")
T.check(realm:GetLastNewTypeTickCount() > tick, "a new data type moves it on")

-- Tags: each kind of object by its own routine, a cell as a cell.
local Item = QZDataBase:CreateType("Item")
local Step = QZProcBase:CreateSubType("Step")
local Sorter = QZCellBase:CreateType("Sorter")
Sorter:AddProc(Step)
local chain = _New(QZProcChainBase)
chain:FromPara(Step(), Step())
local d, p, cell = Item(1, "x"), Step(), Sorter()
local raw = _New(_Object) -- stands for the item through its Wrap hook
function raw:IsTrelkRawInstance() return true end
function raw:Wrap() return d end
_SetRawContext(raw, true)
local tagCases = {
  -- what, value, expected tag
  {"nil", nil, ""},
  {"a data object", d, d:GetTag()},
  {"a data type", Item, "data_global_Item"},
  {"a proc", p, p:GetTag()},
  {"a cell", cell, cell:GetTag()},
  {"a chain", chain, chain:GetTag()},
  {"a raw object standing for data", raw, d:GetTag()},
  {"a realm", realm, ""},
  {"a plain object", _New(_Object), ""},
  {"a number", 5, ""},
}
T.check(cell:GetTag() ~= Step():GetTag() and #cell:GetTag() == 40, "a cell's own tag differs from a proc's")
local args, pkg, expected = {}, _Pkg(), {}
for i, c in ipairs(tagCases) do
  args[i] = c[2]
  pkg:_Set(i - 1, c[2])
  expected[i] = c[3]
  local one = realm:GetTag(c[2])
  T.eq(one:_Count(), 1, "GetTag of " .. c[1] .. ": one tag")
  T.eq(one:_Get(0), c[3], "GetTag of " .. c[1])
end
local all = realm:GetTag(table.unpack(args, 1, #tagCases))
T.eq(all:_Count(), #tagCases, "GetTag of all: one tag each")
for i, c in ipairs(tagCases) do T.eq(all:_Get(i - 1), expected[i], "GetTag in order: " .. c[1]) end
local ex = realm:GetTagEx(pkg)
for i, c in ipairs(tagCases) do T.eq(ex:_Get(i - 1), expected[i], "GetTagEx: " .. c[1]) end
T.eq(realm:GetTag():_Count(), 0, "GetTag of nothing: an empty list")
T.eq(realm:GetTagEx():_Count(), 0, "GetTagEx without a package: an empty list")
T.eq(realm:GetTagEx(d):_Count(), 0, "GetTagEx of an object: an empty list")

-- Change lists. Data of one signature share a tag whatever their values.
local function signed(value, sig)
  local x = Item(value)
  x:SetSignature(sig)
  return x
end
local a1, a2, b1 = signed(1, "a"), signed(2, "a"), signed(1, "b")
local c1 = signed(1, "c")
local function kinds(list)
  local out = {}
  for i = 0, list:_Count() - 1 do
    local r = list:_Get(i)
    local function name(o) return o == nil and "-" or _Name(o) end
    out[#out + 1] = r:_Get(1) .. ":" .. name(r:_Get(2)) .. ">" .. name(r:_Get(3))
  end
  return table.concat(out, " ")
end
_SetName(a1, "a1")
_SetName(a2, "a2")
_SetName(b1, "b1")
_SetName(c1, "c1")
local same1 = signed(1, "a")
_SetName(same1, "same1")
local changes = {
  -- what, previous set, current set, changes as kind:previous>current
  {"the same objects in another order", _Pkg(a1, b1), _Pkg(b1, a1), ""},
  {"equal values under one tag", _Pkg(a1), _Pkg(same1), ""},
  {"one changed value", _Pkg(a1, b1), _Pkg(b1, a2), "1:a1>a2"},
  {"two previous of one tag, one current", _Pkg(a1, same1), _Pkg(a2), "1:a1>a2 0:same1>-"},
  {"a removed and an added datum", _Pkg(a1, b1), _Pkg(a1, c1), "0:b1>- 2:->c1"},
  {"everything new", _Pkg(), _Pkg(c1, b1), "2:->c1 2:->b1"},
  {"everything gone", _Pkg(c1, b1), _Pkg(), "0:c1>- 0:b1>-"},
  {"non-data items are passed over", _Pkg(a1, 5, p, nil), _Pkg("x", a1, chain), ""},
  -- Consuming match: the first previous of a tag takes every current of it.
  {"one previous, two current of its tag", _Pkg(a1), _Pkg(a2, same1), "1:a1>a2"},
}
for _, c in ipairs(changes) do
  local list = realm:FormatChanged(c[2], c[3])
  T.eq(kinds(list), c[4], "FormatChanged: " .. c[1])
end
local one = realm:FormatChanged(_Pkg(a1), _Pkg(a2)):_Get(0)
T.eq(one:_Count(), 4, "a change record has four items")
T.eq(one:_Get(0), a1:GetTag(), "the shared tag first")
T.check(one:_Type(1) == 1 and one:_Get(1) == 1, "the kind as a 32-bit integer")
local added = realm:FormatChanged(_Pkg(), _Pkg(c1)):_Get(0)
T.eq(added:_Get(0), c1:GetTag(), "an added datum with its own tag")
T.eq(added:_Type(2), 0, "and an empty previous item")
-- The caller's sets are normalised in place.
local prev, cur = _Pkg(a1, 5, "x"), _Pkg(raw, p)
realm:FormatChanged(prev, cur)
T.eq(prev:_Count(), 3, "the previous set keeps its length")
T.check(prev:_Get(0) == a1 and prev:_Type(1) == 0 and prev:_Type(2) == 0, "non-data items become empty items")
T.check(cur:_Get(0) == d and cur:_Type(1) == 0, "a raw object becomes the datum it stands for")
for _, c in ipairs({{"no sets", {}}, {"one set", {_Pkg(a1)}}, {"a number", {5, _Pkg(a1)}}}) do
  T.eq(realm:FormatChanged(table.unpack(c[2])):_Count(), 0, "FormatChanged with " .. c[1] .. ": an empty list")
end

-- Kind tests.
local remote = _New(QZProcRemoteBase)
local kindsOf = {
  -- what, value, IsData, IsProc, IsCell, IsChain
  {"nil", nil, false, false, false, false},
  {"a data object", d, true, false, false, false},
  {"a data type", Item, true, false, false, false},
  {"a raw object standing for data", raw, true, false, false, false},
  {"a proc", p, false, true, false, false},
  {"a remote proc", remote, false, true, false, false},
  {"a cell", cell, false, true, true, false},
  {"a chain", chain, false, false, false, true},
  {"a realm", realm, false, false, false, false},
  {"a number", 7, false, false, false, false},
}
for _, c in ipairs(kindsOf) do
  T.eq(realm:IsData(c[2]), c[3], "IsData of " .. c[1])
  T.eq(realm:IsProc(c[2]), c[4], "IsProc of " .. c[1])
  T.eq(realm:IsCell(c[2]), c[5], "IsCell of " .. c[1])
  T.eq(realm:IsChain(c[2]), c[6], "IsChain of " .. c[1])
end

T.eq(#T.errors(), 0, "nothing here reports")
T.finish("services_versions")
