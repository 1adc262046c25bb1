-- Proc chains from script: building them from procs and packages, child
-- chains with their rejoin, appending procs and chains, equality, search,
-- tags, duplication, callbacks and the small getters; the refusals that keep
-- the order of a chain sound (one proc twice, a proc of another chain, a
-- proc or chain that already has its place).
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local P = QZDataBase:CreateType("co_P")
local Q = QZDataBase:CreateType("co_Q")
local function ptype(name, ...)
  local t = _New(QZProcBase)
  _SetName(t, name)
  _LockGC(t)
  if select("#", ...) > 0 then t:InputFrom(...) end
  return t
end
local A, B, C, D, X, Y, Z = ptype("co_A", P), ptype("co_B", Q), ptype("co_C"), ptype("co_D"), ptype("co_X"),
                            ptype("co_Y"), ptype("co_Z")

local function procs(chain)
  local l = chain:ToParaPkg()
  local out = {}
  for i = 0, l:_Count() - 1 do out[#out + 1] = l:_Get(i) end
  return out
end
local function chainOf(...)
  local c = _New(QZProcChainBase)
  T.check(c:FromPara(...), "FromPara builds a chain")
  return c
end

T.errors()

-- FromPara / FromParaPkg / ToParaPkg ------------------------------------------
local ch = _New(QZProcChainBase)
local a, b, c = _New(A), _New(B), _New(C)
T.eq(ch:FromPara(), false, "FromPara without procs")
T.eq(ch:FromPara(a, b, c), true, "FromPara with three procs")
local l = procs(ch)
T.eq(#l, 3, "three procs listed")
T.check(l[1] == a and l[2] == b and l[3] == c, "in argument order")
T.eq(ch:GetFirstProc(), a, "first proc")
T.eq(ch:GetLastProc(), c, "last proc")
T.eq(_Parent(b), ch, "a proc is a member of its chain")
T.eq(ch:IsOnlyOneProc(), true, "three procs are more than one")

local refusals = {
  {"a package with a data object", function() return ch:FromParaPkg(_Pkg(a, P(1))) end},
  {"a package with a text", function() return ch:FromParaPkg(_Pkg(a, "x")) end},
  {"no package", function() return ch:FromParaPkg() end},
  {"a text argument", function() return ch:FromPara(a, "b") end},
  {"one proc twice", function() return ch:FromPara(a, b, a) end},
}
for _, case in ipairs(refusals) do
  T.eq(case[2](), false, "FromPara refuses " .. case[1])
  local now = procs(ch)
  T.check(#now == 3 and now[1] == a and now[3] == c, case[1] .. " leaves the chain unchanged")
end

-- A proc type names a new instance each time.
local tt = _New(QZProcChainBase)
T.eq(tt:FromPara(A, A), true, "FromPara with one type twice")
local tl = procs(tt)
T.eq(#tl, 2, "two instances made")
T.check(tl[1] ~= tl[2] and tl[1] ~= A and _Class(tl[1]) == A and _Class(tl[2]) == A, "distinct new instances of the type")
local one = chainOf(_New(D))
T.eq(one:IsOnlyOneProc(), false, "a chain with one proc is not more than one")

-- A chain holds each proc it was handed with one lock, and gives it back.
local held = _New(C)
local heldRef = _RefCount(held)
local holder = chainOf(held)
T.eq(_RefCount(held), heldRef + 1, "a chain holds its proc")
T.eq(holder:FromPara(held, _New(D)), true, "the same proc listed again")
T.eq(_RefCount(held), heldRef + 1, "is held once")
_Free(holder)
T.eq(_RefCount(held), heldRef, "a freed chain lets its procs go")
T.eq(_Parent(held), nil, "and they are no longer its members")

-- Reordering the same procs must not leave the old link behind.
local r1, r2 = _New(C), _New(D)
local ro = chainOf(r1, r2)
T.eq(ro:FromPara(r2, r1), true, "the same procs in the other order")
local rl = procs(ro)
T.check(#rl == 2 and rl[1] == r2 and rl[2] == r1, "the new order ends where it should")
T.eq(ro:GetLastProc(), r1, "the last proc has no stale successor")

-- A proc of another chain is not pulled out of it.
local other = _New(QZProcChainBase)
T.eq(other:FromPara(b), false, "a proc of another chain is refused")
T.eq(_Parent(b), ch, "and stays where it was")

-- An empty package empties the chain and forgets its first proc.
local e1, e2 = _New(C), _New(D)
local em = chainOf(e1, e2)
T.eq(em:FromParaPkg(_Pkg()), true, "an empty package is accepted")
T.eq(#procs(em), 0, "the chain is empty")
T.eq(em:GetFirstProc(), nil, "an emptied chain has no first proc")
T.eq(_Parent(e1), nil, "the procs are let go")
T.eq(other:FromPara(e1, e2), true, "procs let go can join another chain")
T.eq(#procs(other), 2, "with a clean order")

-- Child chains -------------------------------------------------------------------
local d = _New(D)
T.eq(ch:AddChildProcChain(a, d, c), true, "a proc as a child chain, rejoining at c")
local kids = _Children(a, "QZProcChild")
T.eq(kids:_Count(), 1, "the parent proc holds one child chain")
local kid = kids:_Get(0)
T.eq(_Parent(d), kid, "the child proc sits in a new chain")
T.eq(d.ChildEndMarker, true, "its last proc ends the child chain")
local kl = procs(kid)
T.check(#kl == 2 and kl[1] == d and kl[2] == c, "the child chain runs on into the rejoin proc")

local childRefusals = {
  {"a parent proc outside the chain", function() return ch:AddChildProcChain(_New(C), _New(D), nil) end},
  {"a rejoin proc outside the chain", function() return ch:AddChildProcChain(a, _New(D), _New(C)) end},
  {"no child", function() return ch:AddChildProcChain(a, nil, nil) end},
  {"a data object as child", function() return ch:AddChildProcChain(a, P(1), nil) end},
  {"a proc of the chain itself", function() return ch:AddChildProcChain(a, b, nil) end},
  {"a proc of another chain", function() return ch:AddChildProcChain(a, e1, nil) end},
  {"a child chain that hangs elsewhere", function() return ch:AddChildProcChain(b, kid, nil) end},
  {"the chain itself", function() return ch:AddChildProcChain(a, ch, nil) end},
  {"an empty chain", function() return ch:AddChildProcChain(a, _New(QZProcChainBase), nil) end},
}
for _, case in ipairs(childRefusals) do
  T.eq(case[2](), false, "AddChildProcChain refuses " .. case[1])
end
T.eq(_Children(a, "QZProcChild"):_Count(), 1, "refusals hang nothing")
T.eq(_Parent(b), ch, "a refused proc stays in its chain")

local cc = chainOf(_New(X), _New(Y))
T.eq(ch:AddChildProcChain(b, cc, nil), true, "a chain as a child chain without rejoin")
local ccl = procs(cc)
T.eq(#ccl, 2, "a child chain without rejoin ends with its own last proc")
T.eq(ccl[2].ChildEndMarker, true, "which ends the child chain")
T.eq(_Parent(cc), b, "the child chain hangs under its parent proc")

-- Appending -------------------------------------------------------------------------
local ap = chainOf(_New(A))
local x = _New(X)
x.RootProcID = _ID(a)
x:GetLocalBuf():_Append(5)
T.eq(ap:Append(x), true, "a proc is appended")
T.eq(ap:GetLastProc(), x, "at the end")
T.eq(x.RootProcID, "00000000-0000-0000-0000-000000000000", "its root proc ID is cleared")
T.eq(x:GetLocalBuf():_Count(), 0, "its local package is cleared")
T.eq(ap:Append(x), false, "a proc of the chain is not appended again")
T.eq(ap:Append(b), false, "a proc of another chain is not appended")
T.eq(ap:Append(B), true, "a type is appended as a new instance")
T.eq(_Class(ap:GetLastProc()), B, "of that type")
T.eq(ap:Append(nil), false, "nothing is not appended")
T.eq(ap:Append(P(1)), false, "a data object is not appended")
T.eq(ap:Append(_New(QZProcChainBase)), false, "an empty chain is not appended")
local src = chainOf(_New(A), _New(B))
T.eq(ap:Append(src), true, "a chain is appended")
local cell = ap:GetLastProc()
T.check(_IsInst(QZCellBase, cell), "as one cell")
T.eq(_Children(cell, "InputQueue"):_Count(), 1, "the cell takes the inputs of the chain's first proc")
local inner = _Children(cell, "ProcChainQueue")
T.eq(inner:_Count(), 1, "the cell holds one chain")
T.check(inner:_Get(0) ~= src and inner:_Get(0):Equals(src), "a duplicate of the appended chain")
T.eq(#procs(ap), 4, "the chain has four steps")
local O = ptype("co_O")
T.eq(O:OutputFrom(P, 3, Q, P), true, "an end proc with outputs P, Q (three) and P again")
local withOut = chainOf(_New(A), _New(O))
local ap2 = _New(QZProcChainBase)
T.eq(ap2:Append(withOut), true, "a chain with outputs is appended to an empty chain")
local oc = ap2:GetFirstProc()
T.eq(_IsInst(QZCellBase, oc), true, "as its first step")
local outs = _Children(oc, "OutputQueue")
T.eq(outs:_Count(), 2, "the cell gives each data type of the end proc once")
if outs:_Count() == 2 then
  T.eq(outs:_Get(0).ReturnNumber, 1, "with one object to return")
  T.eq(outs:_Get(1).ReturnNumber, 1, "whatever the end proc returns")
  T.eq(outs:_Get(1).IsMustExist, false, "and none of them must exist")
end

-- Equality and search ---------------------------------------------------------------
local e_ab1, e_ab2 = chainOf(_New(A), _New(B)), chainOf(_New(A), _New(B))
T.eq(e_ab1:Equals(e_ab2), true, "chains of the same types are equal")
T.eq(e_ab1:Equals(e_ab1), true, "a chain equals itself")
T.eq(e_ab1:Equals(chainOf(_New(A), _New(C))), false, "other types differ")
T.eq(e_ab1:Equals(chainOf(_New(A))), false, "a shorter chain differs")
T.eq(e_ab1:Equals(nil), false, "nothing is not equal")
T.eq(_New(QZProcChainBase):Equals(_New(QZProcChainBase)), false, "two empty chains are not equal")
local withKid = chainOf(_New(A), _New(B))
T.eq(withKid:AddChildProcChain(withKid:GetFirstProc(), _New(C), nil), true, "a child chain added")
T.eq(e_ab1:Equals(withKid), false, "a child chain makes a difference")
T.eq(withKid:Equals(e_ab1), false, "either way round")

local found = QZProcChainBase:Find(nil, nil)
local function has(pkg, obj)
  for i = 0, pkg:_Count() - 1 do if pkg:_Get(i) == obj then return true end end
  return false
end
T.check(has(found, ch) and has(found, kid), "Find without procs lists every chain, child chains too")
T.check(not has(found, _New(QZProcChainBase)), "but no empty chain")
local byFirst = QZProcChainBase:Find(_New(A), nil)
T.check(has(byFirst, e_ab1) and not has(byFirst, cc), "Find by the type of the first proc")
local byBoth = QZProcChainBase:Find(_New(A), _New(B))
T.check(has(byBoth, e_ab1) and has(byBoth, withKid) and not has(byBoth, cc), "Find by first and last types")
T.eq(QZProcChainBase:Find(P(1), nil):_Count(), 0, "Find with a data object finds nothing")

-- Tags -------------------------------------------------------------------------------
T.eq(QZProcChainBase:GetTag(), "", "the class object has no tag")
T.eq(#e_ab1:GetTag(), 40, "a tag is 40 characters")
T.eq(e_ab1:GetTag(), e_ab2:GetTag(), "chains of the same types have the same tag")
T.check(e_ab1:GetTag() ~= withKid:GetTag(), "a child chain changes the tag")
local function twoKids(first)
  local c1 = chainOf(_New(A), _New(D))
  local p = c1:GetFirstProc()
  local kb = chainOf(_New(B))
  local kac = chainOf(_New(A), _New(C))
  if first == "B" then
    c1:AddChildProcChain(p, kb, nil) c1:AddChildProcChain(p, kac, nil)
  else
    c1:AddChildProcChain(p, kac, nil) c1:AddChildProcChain(p, kb, nil)
  end
  return c1
end
T.eq(twoKids("B"):GetTag(), twoKids("AC"):GetTag(), "the order in which child chains are added does not matter")
-- Child chains with the same types but different children of their own:
-- equal chains must still get equal tags whatever order they were added in.
local function tiedKids(yFirst)
  local c1 = chainOf(_New(A))
  local p = c1:GetFirstProc()
  local function kidWith(T2)
    local k = chainOf(_New(X))
    k:AddChildProcChain(k:GetFirstProc(), _New(T2), nil)
    return k
  end
  local ky, kz = kidWith(Y), kidWith(Z)
  if yFirst then
    c1:AddChildProcChain(p, ky, nil) c1:AddChildProcChain(p, kz, nil)
  else
    c1:AddChildProcChain(p, kz, nil) c1:AddChildProcChain(p, ky, nil)
  end
  return c1
end
T.eq(tiedKids(true):GetTag(), tiedKids(false):GetTag(), "child chains with equal type names order by content")
-- Rejoining child chains are written by position, so equal chains with
-- rejoins have equal tags too.
local function rejoined()
  local c1 = chainOf(_New(A), _New(B), _New(C))
  local l1 = procs(c1)
  c1:AddChildProcChain(l1[1], _New(D), l1[3])
  return c1
end
T.eq(rejoined():GetTag(), rejoined():GetTag(), "equal chains with a rejoin have equal tags")

-- Small getters ---------------------------------------------------------------------
_SetName(ch, "co_chain")
T.eq(ch:GetInfo(), "main[0].QZProcChainBase.co_chain", "GetInfo names class and chain")
T.eq(ch:GetDesc(), "", "no description at first")
ch:SetDesc("a chain")
T.eq(ch:GetDesc(), "a chain", "SetDesc sets it")
ch:SetDesc(5)
T.eq(ch:GetDesc(), "", "SetDesc with no text empties it")
T.eq(ch:GetSignature(), "", "no signature")
T.eq(ch:GetType(), QZProcChainBase, "GetType is the chain class")
T.eq(ch:GetTypeName(), "QZProcChainBase", "GetTypeName")
T.eq(ch:GetTagLabel(), "chain_global_QZProcChainBase", "GetTagLabel")
T.eq(ch:IsInstance(QZProcChainBase), true, "a chain is a chain")
T.eq(ch:IsInstance(QZProcBase), false, "a chain is no proc")
T.eq(ch:IsInstance(nil), false, "IsInstance of nothing")
T.eq(ch:GetRule():_Count(), 0, "no rules attached")

-- Duplication -----------------------------------------------------------------------
local refBefore = _RefCount(ch)
local dup = ch()
T.check(dup ~= nil and dup ~= ch, "calling a chain duplicates it")
T.eq(_RefCount(ch), refBefore + 1, "the duplicate holds its source")
T.eq(dup:GetSignature(), "", "the duplicate has no signature")
local dl, sl = procs(dup), procs(ch)
T.eq(#dl, #sl, "as many procs as the source")
for i = 1, #sl do
  T.check(dl[i] ~= sl[i] and _Class(dl[i]) == sl[i], "proc " .. i .. " is a copy of the source's proc")
  T.eq(dl[i].RootProcID, "00000000-0000-0000-0000-000000000000", "copy " .. i .. " has no root proc")
  T.eq(_Parent(dl[i]), dup, "copy " .. i .. " is a member of the duplicate")
end
local dkids = _Children(dl[1], "QZProcChild")
T.eq(dkids:_Count(), 1, "the copy of the first proc has the child chain")
local dkl = procs(dkids:_Get(0))
T.check(#dkl == 2 and dkl[1].ChildEndMarker and dkl[2] == dl[3], "the copied child chain rejoins at the copy")
T.check(dkids:_Get(0) ~= kid, "the child chain is a new one")
T.eq(dup:Equals(ch), true, "the duplicate equals its source")
T.eq(dup:GetTag(), ch:GetTag(), "and has its tag")
_Free(dup)
_CollectGarbage()
local fresh = QZProcChainBase()
T.check(fresh ~= nil and _IsInst(QZProcChainBase, fresh) and fresh:GetFirstProc() == nil,
        "calling the chain class makes a new empty chain")
T.eq(_RefCount(ch), refBefore, "freeing the duplicate lets go of its source")

-- Callbacks -------------------------------------------------------------------------
local seen = {}
local t1, t2, t3 = _New(QZProcChainBase), _New(QZProcChainBase), _New(QZProcChainBase)
t1.OnFreeCallback = function(self, dying)
  seen[#seen + 1] = "t1"
  T.check(_IsInst(QZProcChainBase, dying), "the callback gets the dying chain")
end
t2.OnFreeCallback = function(self, dying) seen[#seen + 1] = "t2" end
t3.OnFreeCallback = function(self, dying) error("boom") end
local victim = chainOf(_New(A))
victim:RegCallBack(t1)
victim:RegCallBack(t1)
victim:RegCallBack(t3)
victim:RegCallBack(nil)
QZProcChainBase:RegCallBack(t2)
local unreg = chainOf(_New(A))
unreg:RegCallBack(t1)
unreg:UnRegCallBack(t1)
unreg:UnRegCallBack(t1)
T.errors()
_Free(unreg)
T.eq(table.concat(seen, ","), "t2", "an unregistered target is not called; the class target is")
seen = {}
_Free(victim)
T.eq(table.concat(seen, ","), "t1,t2", "targets of the chain (once each) and of the class, in that order")
local errs = T.errors()
T.eq(#errs, 1, "a failing callback is reported once and the free goes on")
QZProcChainBase:UnRegCallBack(t2)

-- A callback that frees the chain a dying chain was made from (the one the
-- walk of the class chain is at, or the next one): the free goes on without
-- handing the host the freed chain.
local killer = _New(_Object)
local doomed
function killer:OnFreeCallback(dying)
  if T.alive(doomed) then _Free(doomed) end
end
-- {what, the chain the callback is on: "base" or "middle", the one it frees}
local freeingCases = {
  {"the callback's own chain freed", "base", "base"},
  {"the next chain up freed", "middle", "base"},
  {"the chain walked freed", "middle", "middle"},
}
for _, c in ipairs(freeingCases) do
  local chains = {base = _New(QZProcChainBase)}
  chains.middle = _New(chains.base)
  local copy = _New(chains.middle)
  chains[c[2]]:RegCallBack(killer)
  doomed = chains[c[3]]
  local invalid = T.stat("InvalidObjects")
  _Free(copy)
  T.eq(T.stat("InvalidObjects"), invalid, c[1] .. ": no freed chain handed to the host")
  T.eq(T.alive(copy) or T.alive(doomed), false, c[1] .. ": the copy and the chain freed are gone")
  for _, ch in pairs(chains) do
    if T.alive(ch) then _Free(ch) end
  end
end
_Free(killer)

_CollectGarbage()
T.eq(T.stat("UnlockAtZero"), 0, "no lock was given back more often than taken")

T.finish("chain_ops")
