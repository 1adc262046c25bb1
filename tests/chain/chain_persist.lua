-- Saved chains through the value list of a rule's JSON package: a chain
-- with child chains and a rejoin written, read back and written again gives
-- the same record (object IDs aside) and the rejoin link; saved queues come
-- back in saved order; records that no longer fit their classes are refused
-- with the loader's messages.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local P = QZDataBase:CreateType("cp_P")
local Q = QZDataBase:CreateType("cp_Q")
local function ptype(name, ...)
  local t = _New(QZProcBase)
  _SetName(t, name)
  _LockGC(t)
  if select("#", ...) > 0 then t:InputFrom(...) end
  return t
end
local A, B, C, D, E = ptype("cp_A", P, 2, Q), ptype("cp_B", Q), ptype("cp_C"), ptype("cp_D"), ptype("cp_E")
local R = QZRuleBase:CreateType("cp_R")
local r = R()

local function chainOf(...)
  local c = _New(QZProcChainBase)
  c:FromPara(...)
  return c
end
local function procs(chain)
  local l = chain:ToParaPkg()
  local out = {}
  for i = 0, l:_Count() - 1 do out[#out + 1] = l:_Get(i) end
  return out
end
-- JSON text with every object ID replaced by its order of first appearance.
local function shape(text)
  local seen, n = {}, 0
  return (text:gsub("%x%x%x%x%x%x%x%x%-%x%x%x%x%-%x%x%x%x%-%x%x%x%x%-%x%x%x%x%x%x%x%x%x%x%x%x", function(id)
    if id:match("^00000000%-0000%-0000%-0000%-") then return id end
    if not seen[id] then n = n + 1; seen[id] = "ID" .. n end
    return seen[id]
  end))
end
local function record(j) return T.get(T.get(j, "Value"):_Get(0), "Value") end
local function procRec0(rc, i) return T.get(rc, "QZProcBase"):_Get(i) end

-- The chain: a -> b -> c, with child chains under a ({d} rejoining at c, and
-- {e, d} without rejoin) and under b ({e} rejoining at c).
local a, b, c = _New(A), _New(B), _New(C)
local ch = chainOf(a, b, c)
T.check(ch:AddChildProcChain(a, _New(D), c), "child chain with rejoin")
T.check(ch:AddChildProcChain(a, chainOf(_New(E), _New(D)), nil), "child chain without rejoin")
T.check(ch:AddChildProcChain(b, _New(E), c), "second child chain with rejoin")

T.errors()
local j1 = r:SaveToJSonPkg(_Pkg(ch))
T.check(j1 ~= nil, "the chain is written")
local rec = record(j1)
T.eq(T.get(rec, "Type"), "QZProcChain", "a chain record")
local list = T.get(rec, "QZProcBase")
T.eq(list:_Count(), 3, "three proc records")
local ra = list:_Get(0)
T.eq(T.get(ra, "ClassName"), "cp_A", "the class name")
T.eq(T.get(ra, "Type"), "QZProc", "the kind")
T.eq(T.get(ra, "ObjectID"), _ID(a), "the object ID")
local inputs = T.get(ra, "InputQueue")
T.eq(inputs:_Count(), 2, "one input record per input")
local in0 = inputs:_Get(0)
T.eq(in0:_Count(), 4, "a default input writes only RequestNumber and DataBaseName")
T.eq(T.get(in0, "RequestNumber"), 1, "RequestNumber")
T.eq(T.get(in0, "DataBaseName"), "cp_P", "DataBaseName")
T.eq(T.get(inputs:_Get(1), "RequestNumber"), 2, "the second input's RequestNumber")
local kids = T.get(ra, "QZProcChild")
T.eq(kids:_Count(), 2, "both child chains of a")
T.eq(T.get(T.get(kids:_Get(0), "QZProcBase"):_Get(0), "ClassName"), "cp_D", "child chains in canonical order: D first")
local dEnd = T.get(kids:_Get(0), "QZProcBase"):_Get(0)
T.eq(T.get(dEnd, "ChildEndMarker"), true, "the last proc of a child chain is marked")
T.eq(T.get(dEnd, "QZProcNext"), _ID(c), "and names its rejoin proc")
T.eq(#T.errors(), 0, "writing reports nothing")

local back = r:LoadFromJSonPkg(j1)
T.check(back ~= nil and back:_Count() == 1, "the chain is read back")
local ch2 = back:_Get(0)
T.check(ch2 ~= ch and _IsInst(QZProcChainBase, ch2), "as a new chain")
local l2 = procs(ch2)
T.eq(#l2, 3, "with its three procs")
T.check(_Class(l2[1]) == A and _Class(l2[2]) == B and _Class(l2[3]) == C, "of the saved types, in order")
local k2 = _Children(l2[1], "QZProcChild")
T.eq(k2:_Count(), 2, "the child chains come back")
local kd = procs(k2:_Get(0))
T.check(#kd == 2 and _Class(kd[1]) == D and kd[2] == l2[3], "the rejoin link points at the new c")
local ke = procs(k2:_Get(1))
T.check(#ke == 2 and _Class(ke[1]) == E and _Class(ke[2]) == D and ke[2].ChildEndMarker, "saved order kept")
T.eq(ch2:Equals(ch), true, "the loaded chain equals the saved one")
T.eq(ch2:GetTag(), ch:GetTag(), "and has the same tag")
local j2 = r:SaveToJSonPkg(_Pkg(ch2))
T.eq(shape(j2:_ToJSon()), shape(j1:_ToJSon()), "written again: the same record, IDs aside")
T.eq(#T.errors(), 0, "the round trip reports nothing")

-- An input bound to a proc of the same chain is bound to its new copy.
b:SetInputProcID(0, _ID(a))
local jb = r:SaveToJSonPkg(_Pkg(ch))
T.eq(T.get(T.get(procRec0(record(jb), 1), "InputQueue"):_Get(0), "QZProcID"), _ID(a), "the bound proc ID is saved")
local bb = r:LoadFromJSonPkg(jb)
T.check(bb ~= nil, "a chain with a bound input reads back")
if bb ~= nil then
  local bl = procs(bb:_Get(0))
  T.eq(bl[2]:GetInputProcID(0), _ID(bl[1]), "the input is bound to the new proc")
end
b:SetInputProcID(0, "00000000-0000-0000-0000-000000000000")

-- A chain appended to a chain is a base cell that carries its own inputs:
-- it reads back although the cell class declares none.
local outer = chainOf(_New(C))
T.check(outer:Append(chainOf(_New(A), _New(B))), "a chain appended as a cell")
local jo = r:SaveToJSonPkg(_Pkg(outer))
local cellRec = procRec0(record(jo), 1)
T.eq(T.get(cellRec, "Type"), "QZCell", "the cell is saved as a cell")
T.eq(T.get(cellRec, "ClassName"), "QZCellBase", "of the base cell class")
T.eq(T.get(cellRec, "InputQueue"):_Count(), 2, "with the inputs it took from the chain")
T.eq(T.get(cellRec, "ProcChainQueue"):_Count(), 1, "and its chain")
local bo = T.expect_errors(function() return r:LoadFromJSonPkg(jo) end, {}, "reading a chain with a cell")
T.check(bo ~= nil and bo:_Get(0):Equals(outer), "a chain with an appended chain reads back")
if bo ~= nil then
  local cell2 = procs(bo:_Get(0))[2]
  T.eq(_Children(cell2, "InputQueue"):_Count(), 2, "the cell keeps its inputs")
  T.check(_Children(cell2, "ProcChainQueue"):_Get(0):Equals(chainOf(_New(A), _New(B))), "and its chain")
end

-- The JSON text itself reads back to the same record.
local viaText = T.viajson(j1)
local back3 = r:LoadFromJSonPkg(viaText)
T.check(back3 ~= nil and back3:_Get(0):Equals(ch), "the JSON text reads back")

-- A proc saved by itself in a value list: without its child chains.
local jp = r:SaveToJSonPkg(_Pkg(a))
T.eq(T.get(record(jp), "QZProcChild"), nil, "a proc in a value list leaves out its child chains")
local bp = r:LoadFromJSonPkg(jp)
T.check(bp ~= nil and _Class(bp:_Get(0)) == A, "and reads back as a proc of its type")

-- Refusals ---------------------------------------------------------------------------
local inst = _New(C)
_SetName(inst, "cp_inst")
_LockGC(inst)
local function mutated(fn)
  local j = j1:_Dup()
  fn(record(j))
  return j
end
local function procRec(rc, i) return T.get(rc, "QZProcBase"):_Get(i) end
local function setKey(d, key, value)
  local i = d:_FindDict(key)
  if i < 0 then d:_Append(key) d:_Append(value) else d:_Set(i, value) end
end
local function delKey(d, key)
  local i = d:_FindDict(key)
  if i >= 0 then d:_Del(i) d:_Del(i - 1) end
end
local cases = {
  {"an unknown class", function(rc) setKey(procRec(rc, 1), "ClassName", "cp_none") end,
   {"Load object failed, ObjectClass [cp_none] is not found"}},
  {"an empty object space", function(rc) setKey(procRec(rc, 1), "ClassName", ".cp_B") end,
   {"Load object failed, ObjectSpace name is empty"}},
  {"a missing object space", function(rc) setKey(procRec(rc, 1), "ClassName", "cp_space.cp_B") end,
   {"Load object failed, ObjectSpace [cp_space] is not found"}},
  {"an instance as class", function(rc) setKey(procRec(rc, 1), "ClassName", "cp_inst") end,
   {"Load object failed, process [cp_inst] is not a type. Maybe error in some where"}},
  {"a data type as class", function(rc) setKey(procRec(rc, 1), "ClassName", "cp_P") end,
   {"Load object failed, process [cp_P] is not a type. Maybe error in some where"}},
  {"no class name", function(rc) delKey(procRec(rc, 1), "ClassName") end,
   {"Load object failed, no ClassName is found from input"}},
  {"no proc list", function(rc) delKey(rc, "QZProcBase") end,
   {"Load object failed, no QZProcBase of QZProcChain is found from input"}},
  {"a proc item that is no package", function(rc) T.get(rc, "QZProcBase"):_Set(1, 5) end,
   {"Load object failed, item[1] of QZProcBase is invalid"}},
  {"a proc item without Type", function(rc) delKey(procRec(rc, 2), "Type") end,
   {"Load object failed, Type of item[2] of QZProcBase is not found"}},
  {"a proc item of another kind", function(rc) setKey(procRec(rc, 2), "Type", "QZData") end,
   {"Load object failed, Type of item[2] of QZProcBase is not supported"}},
  {"a chain record in the proc list", function(rc) setKey(procRec(rc, 0), "Type", "QZProcChain") end,
   {"Load object failed, Type of item[0] of QZProcBase is not supported"}},
  {"a cell kind on a plain proc", function(rc) setKey(procRec(rc, 2), "Type", "QZCell") end,
   {"Load object failed, process [cp_C] is not of kind [QZCell]"}},
  {"a child chain item that is no package", function(rc) T.get(procRec(rc, 0), "QZProcChild"):_Set(0, "x") end,
   {"Load object failed, item[0] of QZProcChild is invalid"}},
  {"a child chain without Type", function(rc) delKey(T.get(procRec(rc, 0), "QZProcChild"):_Get(1), "Type") end,
   {"Load object failed, Type of item[1] of QZProcChild is not found"}},
  {"a child chain of another kind", function(rc) setKey(T.get(procRec(rc, 0), "QZProcChild"):_Get(1), "Type", "QZProc") end,
   {"Load object failed, Type of item[1] of QZProcChild is not supported"}},
  {"an input that is no package", function(rc) T.get(procRec(rc, 0), "InputQueue"):_Set(1, 1) end,
   {"Load object failed, item[1] of InputQueue is invalid"}},
  {"an input without data type", function(rc) delKey(T.get(procRec(rc, 0), "InputQueue"):_Get(0), "DataBaseName") end,
   {"Load object failed, no DataBaseName of InputQueue is found from input"}},
  {"an input without RequestNumber", function(rc) delKey(T.get(procRec(rc, 0), "InputQueue"):_Get(0), "RequestNumber") end,
   {"Load object failed, no RequestNumber of InputQueue is found from input"}},
  {"an input of another RequestNumber", function(rc) setKey(T.get(procRec(rc, 0), "InputQueue"):_Get(1), "RequestNumber", 3) end,
   {"Load object failed, InputQueue is not same with it's class [cp_A]"}},
  {"an input of another data type", function(rc) setKey(T.get(procRec(rc, 0), "InputQueue"):_Get(0), "DataBaseName", "cp_Q") end,
   {"Load object failed, InputQueue[cp_Q] is not same with it's class [cp_A][cp_P]"}},
  {"an input the class does not have", function(rc) T.get(procRec(rc, 1), "InputQueue"):_Append(_Dict("RequestNumber", 1, "DataBaseName", "cp_Q")) end,
   {"Load object failed, InputQueue is not same with it's class [cp_B]"}},
  {"an output the class does not have", function(rc) setKey(procRec(rc, 2), "OutputQueue", _Pkg(_Dict("DataBaseName", "cp_P"))) end,
   {"Load object failed, OutputQueue is not same with it's class"}},
  {"an output that is no package", function(rc) setKey(procRec(rc, 2), "OutputQueue", _Pkg(true)) end,
   {"Load object failed, item[0] of OutputQueue is invalid"}},
  {"an output of an unknown data type", function(rc) setKey(procRec(rc, 2), "OutputQueue", _Pkg(_Dict("DataBaseName", "cp_none"))) end,
   {"Load object failed, ObjectClass [cp_none] is not found"}},
}
for _, case in ipairs(cases) do
  local j = mutated(case[2])
  local result = T.expect_errors(function() return r:LoadFromJSonPkg(j) end, case[3], case[1])
  T.eq(result, nil, case[1] .. " is refused")
end

-- The lenient reading of a value list accepts flags that differ from the class.
local lenient = mutated(function(rc) setKey(T.get(procRec(rc, 0), "InputQueue"):_Get(0), "IsMustExist", false) end)
local lb = T.expect_errors(function() return r:LoadFromJSonPkg(lenient) end, {}, "a differing flag")
T.check(lb ~= nil, "a differing IsMustExist is read leniently")
if lb ~= nil then
  local la = procs(lb:_Get(0))[1]
  T.eq(_Children(la, "InputQueue"):_Get(0).IsMustExist, false, "with the saved flag")
end

-- A saved link that leads into a loop does not hang anything that walks it.
local loop = mutated(function(rc)
  -- The child chain {e, d}: d's rejoin becomes e, so e -> d -> e -> ...
  local kidProcs = T.get(T.get(procRec(rc, 0), "QZProcChild"):_Get(1), "QZProcBase")
  setKey(kidProcs:_Get(1), "QZProcNext", T.get(kidProcs:_Get(0), "ObjectID"))
end)
local lp = r:LoadFromJSonPkg(loop)
T.check(lp ~= nil, "a looping rejoin reads back")
if lp ~= nil then
  local lc = lp:_Get(0)
  local lk = _Children(procs(lc)[1], "QZProcChild"):_Get(1)
  T.eq(#procs(lk), 2, "listing the looping child chain ends after its two procs")
  T.check(lk:GetLastProc() ~= nil, "finding its last proc ends")
  T.check(lk:Equals(lk) and not lk:Equals(ch), "equality of a looping chain ends")
  local again = r:SaveToJSonPkg(_Pkg(lc))
  T.check(again ~= nil, "a looping chain is written again")
  T.check(#lc:GetTag() == 40, "the tag of a looping chain is made")
end

-- A chain that cannot be written because a data type of one of its child
-- chains is gone: the failure is reported once, though its child chains have
-- the same types and are compared by their records to be put in order.
do
  local X = QZDataBase:CreateType("cp_X")
  local F = ptype("cp_F", X)
  local holder = chainOf(_New(C))
  local top = procs(holder)[1]
  T.check(holder:AddChildProcChain(top, _New(F), nil), "first child chain of one type")
  T.check(holder:AddChildProcChain(top, _New(F), nil), "second child chain of the same type")
  local xid = _ID(X)
  _Free(X)
  T.errors()
  T.eq(holder:GetTag(), "", "a chain that cannot be written has no tag")
  local got = T.errors()
  T.eq(#got, 1, "the failure is reported once")
  T.check(got[1] ~= nil and got[1]:find("can not save InputQueue [" .. xid .. "], data object may be freed some where", 1, true) ~= nil,
          "the failure names the lost data type: " .. tostring(got[1]))
  _Free(holder)
end

-- Chains nested in procs of chains: what the writer writes the loader reads.
-- At the deepest nesting a record may have, a chain is saved and loaded back
-- whole; one level deeper the save is refused with a message and writes
-- nothing, so no saved package fails to load.
do
  local realm = _New(QZRealmBase)
  local function nested(levels)
    local inner = chainOf(_New(C))
    for _ = 2, levels do
      local p = _New(C)
      local c = chainOf(p)
      T.check(c:AddChildProcChain(p, inner, nil), "one level more")
      inner = c
    end
    return inner
  end
  local function depth(chain)
    local n = 0
    while chain ~= nil do
      n = n + 1
      local kids = _Children(procs(chain)[1], "QZProcChild")
      chain = kids:_Count() > 0 and kids:_Get(0) or nil
    end
    return n
  end
  local deepest = nested(64)
  local saved = _Pkg()
  local ok = T.expect_errors(function() return realm:SaveObject(saved, deepest) end, {}, "64 levels")
  T.eq(ok, true, "64 levels are saved")
  local back = T.expect_errors(function() return realm:LoadObject(saved) end, {}, "64 levels loaded")
  T.eq(back and back:_Count(), 1, "64 levels load")
  T.eq(back and depth(back:_Get(0)), 64, "with every level")
  local tooDeep = nested(65)
  local refused = _Pkg()
  ok = T.expect_errors(function() return realm:SaveObject(refused, tooDeep) end,
                       {"can not save QZProc [], it is nested in chains more than 64 deep"}, "65 levels")
  T.eq(ok, false, "65 levels are not saved")
  T.eq(refused:_Count(), 0, "and nothing is written")
  _Free(deepest)
  _Free(tooDeep)
  if back then _Free(back:_Get(0)) end
  _Free(realm)
end

T.finish("chain_persist")
