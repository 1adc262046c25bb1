-- The attribute list: save, restore and clear of a data object's
-- module-side attributes, and the list indexes that travel inside it.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local P = T.prefix

local D = QZDataBase:CreateType("attr.D")
_LockGC(D)
D:CreateProperty("x", 6, 5)
local procType = T.procType
local PA = procType("attr.PA")
local pa = _New(PA)
local rule = _New(QZRuleBase)
_LockGC(rule)

local src = D(0)
local d = D(1)
_SetName(d, "d")
d:AddSource(src)
d:SetSignature("sig")
d:SetRuleAttach(rule)
d:AddReject(pa)
d:AddAccept(pa)
d:AddExclude(pa)
d.x = 7
d.LiveCount = 3

-- Save -------------------------------------------------------------------------
local L = _Pkg()
T.eq(select("#", d:SaveZelDataProperty(L)), 0, "SaveZelDataProperty pushes nothing")
T.eq(L:_Count(), 14, "fourteen items")
local types = {8, 8, 9, 4, 9, 1, 0, 0, 0, 1, 9, 9, 9, 8}
for i, t in ipairs(types) do T.eq(L:_Type(i - 1), t, "item " .. (i - 1) .. " type") end
T.eq(L:_Get(3), "sig", "signature item")
T.eq(L:_Get(9), 3, "live count item")
T.eq(L:_Get(1):_Get(0) ~= nil, true, "the rule attachment is listed")
for i = 10, 12 do T.check(L:_Get(i) ~= 0, "item " .. i .. " holds an index") end
T.eq(d:IsReject(pa), false, "the reject list left the data")
T.eq(d:IsExclude(pa), false, "the exclude list left the data")
local L2 = _Pkg()
d:SaveZelDataProperty(L2)
for i = 10, 12 do T.eq(L2:_Get(i), 0, "second save: item " .. i .. " is 0") end
d:AddReject(pa) -- a data without its lists takes no entries, and does not fail

-- A read-only list takes nothing away.
local k = D(9)
k:AddReject(pa)
local roData = D(1, 2)
roData:SetReadOnly()
k:SaveZelDataProperty(roData:GetDataBuf())
T.eq(k:IsReject(pa), true, "a read-only list moves nothing out")

-- Restore ------------------------------------------------------------------------
local e = D(2)
_SetName(e, "e")
T.eq(select("#", e:RestoreZelDataProperty(L)), 0, "RestoreZelDataProperty pushes nothing")
T.eq(e:IsReject(pa), true, "reject list moved in")
T.eq(e:IsAccept(pa), true, "accept list moved in")
T.eq(e:IsExclude(pa), true, "exclude list moved in")
T.eq(e:GetSignature(), "sig", "signature")
T.eq(e.LiveCount, 3, "live count")
T.eq(e:IsSource(src, true), true, "source links")
T.eq(e.x, 7, "property values")
T.eq(e:GetRuleAttach():_Count(), 1, "the rule attachment moved in")
T.eq(d:GetRuleAttach():_Count(), 0, "and left the saved data")
for i = 10, 12 do T.eq(L:_Get(i), 0, "restored list: item " .. i .. " is 0") end
-- Restoring the same list again gives new empty lists.
local f = D(3)
f:RestoreZelDataProperty(L)
T.eq(f:IsReject(pa), false, "second restore: empty reject list")
f:AddReject(pa)
T.eq(f:IsReject(pa), true, "which works")
T.eq(e:IsReject(pa), true, "the first restorer keeps its list")

-- Forged and copied handles are never used.
local forged = L:_Dup()
forged:_Set(10, 12345, 9)
forged:_Set(11, -1, 9)
forged:_Set(12, 0x7fffffffffffffff, 9)
local g = D(4)
g:RestoreZelDataProperty(forged)
T.eq(g:IsReject(pa), false, "a forged number gives an empty list")
g:AddReject(pa)
T.eq(g:IsReject(pa), true, "that works")
local odd = L:_Dup()
odd:_Set(10, "12345") odd:_Set(11, 1.5) odd:_Set(12, _Pkg())
g:RestoreZelDataProperty(odd)
T.eq(g:IsReject(pa), false, "items of other types give empty lists")
local h = D(5)
h:AddReject(pa)
local L3 = _Pkg()
h:SaveZelDataProperty(L3)
local copy = L3:_Dup()
local h1, h2 = D(6), D(7)
h1:RestoreZelDataProperty(copy)
h2:RestoreZelDataProperty(L3)
T.eq(h1:IsReject(pa), true, "the first list restored takes the index")
T.eq(h2:IsReject(pa), false, "its copy finds nothing to take")
local clearCopy = L3:_Dup()
h2:ClearZelDataProperty(clearCopy)
T.eq(h1:IsReject(pa), true, "clearing a copy destroys nothing that is in use")
-- Clear destroys what a list still holds, and only that.
local m = D(8)
m:AddReject(pa)
local L4 = _Pkg()
m:SaveZelDataProperty(L4)
local L4copy = L4:_Dup()
T.eq(select("#", m:ClearZelDataProperty(L4)), 0, "ClearZelDataProperty pushes nothing")
T.eq(L4:_Count(), 0, "the list is empty")
m:RestoreZelDataProperty(L4copy)
T.eq(m:IsReject(pa), false, "a cleared index is not taken back")
m:ClearZelDataProperty(nil)
m:ClearZelDataProperty(5)
-- Saving into a list that still holds indexes destroys those first.
local n1, n2 = D(1), D(2)
n1:AddReject(pa)
n2:AddReject(pa)
local L5 = _Pkg()
n1:SaveZelDataProperty(L5)
n2:SaveZelDataProperty(L5)
local n3 = D(3)
n3:RestoreZelDataProperty(L5)
T.eq(n3:IsReject(pa), true, "the list holds the later save's index")

-- Items of other kinds, and refusals.
local r = D(4)
_SetName(r, "r")
local bare = _Pkg()
for i = 0, 13 do bare:_Set(i, nil) end
r:AddSource(src)
r.x = 9
r:SetSignature("old")
r:RestoreZelDataProperty(bare)
T.eq(r:IsSource(src, true), true, "a missing source package keeps the sources")
T.eq(r.x, 5, "a missing property package drops the values")
T.eq(r:GetSignature(), "", "a missing signature clears it")
T.eq(r.UniformTick, 0, "uniform tick from the list")
T.eq(r:IsReject(pa), false, "new lists")
r:AddReject(pa)
T.eq(r:IsReject(pa), true, "that work")
T.expect_errors(function() r:RestoreZelDataProperty(_Pkg(1, 2, 3)) end,
                {P(r) .. "'s RestoreZelDataProperty failed, the input is not an attribute list"}, "short list")
T.eq(r:IsReject(pa), true, "a short list changes nothing")
r:RestoreZelDataProperty(nil)
QZDataBase:RestoreZelDataProperty(L2) -- the class objects keep no lists
local ids = _Pkg()
for i = 0, 13 do ids:_Set(i, 0) end
ids:_Set(6, _ID(pa)) ids:_Set(7, "not a uuid") ids:_Set(8, _ID(PA))
r:RestoreZelDataProperty(ids)
T.eq(r.OwnerProcID, _ID(pa), "owner proc ID from its text")
T.eq(r.OwnerProcIDInCell, "00000000-0000-0000-0000-000000000000", "bad text: zero")
T.eq(r.OwnerRunnerProcID, _ID(PA), "owner runner proc ID")
-- Attachment items are checked: only rule attachments move in.
local notAttach = _Pkg(_New(_Object), e)
local lst = _Pkg()
e:SaveZelDataProperty(lst)
lst:_Set(1, notAttach)
local s = D(5)
s:RestoreZelDataProperty(lst)
T.eq(s:GetRuleAttach():_Count(), 0, "objects that are no rule attachments are skipped")

-- The list handed to a type class when its value ends.
local TC = _New(_Object)
local heir = D(0)
TC.OnBeforeFree = function(self, value, list) heir:RestoreZelDataProperty(list) end
local V = QZDataBase:CreateType("attr.V")
_LockGC(V)
V:SetDataTypeClass(TC)
local dying = _New(V, _Pkg(_New(_Object)))
dying:AddReject(pa)
_Free(dying)
T.eq(heir:IsReject(pa), true, "the type class hands the dying data's lists on")
-- A hook that only keeps the list: the lists it did not hand on end with the
-- data, and the kept list no longer names them.
local kept
TC.OnBeforeFree = function(self, value, list) kept = list end
local dying2 = _New(V, _Pkg(_New(_Object)))
dying2:AddReject(pa)
_Free(dying2)
T.check(kept ~= nil, "the hook saw the list")
for i = 10, 12 do T.eq(kept and kept:_Get(i), 0, "kept list: item " .. i .. " released") end
local late = D(0)
late:RestoreZelDataProperty(kept)
T.eq(late:IsReject(pa), false, "restoring the kept list later gives new empty lists")
T.eq(kept:_Get(3), nil, "the other items stay (no signature)")
T.eq(kept:_Count(), 14, "all fourteen items stay")
TC.OnBeforeFree = nil
kept = nil

T.finish("data_access_attrlist")
