-- Proc types and everything keyed on them: subtypes and their call, tags,
-- info, equality, suspension codes, navigation, attached objects, free
-- callbacks, data-set grouping and splitting, the IsType guard and the GC
-- locks a proc takes and gives back.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local P = T.prefix

local A = QZDataBase:CreateType("pt.A")
local unlockAtZero = T.stat("UnlockAtZero")

-- Subtypes ------------------------------------------------------------------
local Sum = QZProcBase:CreateSubType("Pkg.Sum")
T.check(Sum ~= nil and Sum.IsType, "a named type")
T.eq(_Name(Sum), "Pkg.Sum", "its name")
local s = Sum()
T.eq(_Class(s), Sum, "calling the type makes an instance")
T.eq(s.IsType, false, "the instance is no type")
T.eq(s:GetType(), Sum, "its type")
T.eq(s:GetTypeName(), "Pkg.Sum", "its type name")
T.eq(s:IsInstance(Sum), true, "IsInstance")
T.eq(s:IsInstance(nil), false, "IsInstance nil")
local Sub = Sum:CreateSubType("Sub")
T.eq(Sub:GetType(), Sub, "a subtype is its own type")
T.eq(Sub():IsInstance(Sum), true, "instances of the subtype are instances of the type")
T.expect_errors(function() T.eq(s:CreateSubType("X"), nil, "on an instance") end,
  {P(s) .. "'s function \"CreateSubType\" failed, this function must be called via process type"}, "instance")
T.expect_errors(function() T.eq(Sum:CreateSubType("pt.A"), nil, "name taken") end,
  {P(Sum) .. "'s function \"CreateSubType\" failed, the proctype [pt.A] already exists"}, "taken")
T.expect_errors(function() T.eq(Sum:CreateSubType(nil), nil, "no name") end,
  {P(Sum) .. "'s function \"CreateSubType\" failed, the name of the new proctype must be given"}, "no name")
local found = {}
local types = Sum:CollectType()
for i = 0, types:_Count() - 1 do found[_Name(types:_Get(i))] = true end
T.check(found["Pkg.Sum"] and found["Sub"], "CollectType lists the new types")

-- A name space answers for names.
local Space = _New(_Object)
_SetName(Space, "QuelObjectSpace")
local space = _New(Space)
local held = {}
space.GetObject = function(self, name) return held[name] end
space.SetObject = function(self, obj) held[_Name(obj)] = obj end
local InSpace = Sum:CreateSubType("pt.A", space)
T.check(InSpace ~= nil, "a name taken outside the space is free in it")
T.eq(held["pt.A"], InSpace, "the space was told")
T.expect_errors(function() T.eq(Sum:CreateSubType("pt.A", space), nil, "taken in the space") end,
  {P(Sum) .. "'s function \"CreateSubType\" failed, the proctype [pt.A] already exists"}, "taken in space")

-- A type's IsAsync reaches its procs; the cell class's procs run inline.
local Async = QZProcBase:CreateSubType("pt.Async")
Async.IsAsync = true
T.eq(Async().IsAsync, true, "IsAsync inherited")
T.eq(_New(QZCellBase).IsAsync, false, "a cell from the class object")

-- Tags: stable, equal for procs of one type ---------------------------------
local tagCases = {
  {Sum, "proc_Pkg_Sum"}, {s, "proc_Pkg_Sum"}, {Sub(), "proc_global_Sub"},
  {Sum:CreateSubType("A.B.C"), "proc_A_B.C"},
  {Sum:CreateSubType(string.rep("n", 200)), "proc_global_" .. string.rep("n", 200)},
}
for _, c in ipairs(tagCases) do
  T.eq(c[1]:GetTag(), c[2], "tag " .. c[2]:sub(1, 20))
  T.eq(c[1]:GetTagLabel(), c[2], "label " .. c[2]:sub(1, 20))
end
T.eq(Sum():GetTag(), s:GetTag(), "equal procs, equal tags")
T.eq(s:GetInfo(), "main[0].Pkg.Sum.", "info of an unnamed proc")

-- Suspension codes ----------------------------------------------------------
for _, c in ipairs({{0, 4}, {-3, 4}, {10, 14}, {1, 5}, {2147483647, 2147483647}}) do
  T.eq(s:Continue(c[1]), c[2], "Continue(" .. c[1] .. ")")
end
s:Suspend()
T.eq(s.IsSuspend, true, "suspended")
s:Resume()
T.eq(s.IsSuspend, false, "resumed")

-- Navigation without a runner or chain --------------------------------------
T.eq(s:GetCell(), nil, "no cell")
T.eq(s:GetRootProc(), nil, "no root")
T.eq(s:GetNextProc(), nil, "no next")
T.eq(s:GetPrevProc():_Count(), 0, "no previous procs")
T.eq(s:IsCurrent(), false, "not current")
T.eq(s:IsPrevProcFinish(nil, A), true, "no previous procs: finished")
T.eq(s:IsPrevProcFinish(nil, nil), false, "no data class")
T.eq(s:GetLocalBuf():_Count(), 0, "own package")
T.eq(s:GetRootLocalBuf(), nil, "no root package")
T.eq(s:GetSignature(), "", "empty signature")
T.eq(s:GetRunProcResult(), nil, "no run result")
T.eq(s:Wrap(), s, "Wrap")
s:SetDesc("adds")
T.eq(s:GetDesc(), "adds", "description")
s:SetDesc(nil)
T.eq(s:GetDesc(), "", "nil description")

-- The base body reports a missing "Execute".
local bare = _New(QZProcBase)
T.expect_errors(function() T.eq(bare:Execute(nil, nil, nil), -1, "base Execute") end,
  {P(bare) .. "'s function \"Execute\" is not define"}, "base Execute")

-- Attached objects ----------------------------------------------------------
local thing = _New(_Object)
Sum:SetAttachObject(thing)
T.eq(s:GetAttachObject(), thing, "found on the type")
local own = _New(_Object)
s:SetAttachObject(own)
T.eq(s:GetAttachObject(), own, "the proc's own first")
s:SetAttachObject(nil)
T.eq(_Parent(own), nil, "let go")
T.eq(s:GetAttachObject(), thing, "the type's again")
s:SetAttachObject(s)
T.eq(_Parent(s), nil, "a proc does not hold itself")
QZProcBase:SetAttachObject(thing)
T.eq(QZProcBase:GetAttachObject(), nil, "the class object holds nothing")

-- IsType cannot be written on remote procs and cells ------------------------
local r = _New(QZProcRemoteBase)
r.IsType = true
T.eq(r.IsType, false, "remote proc guarded")
r.ErrorCount = 3
T.eq(r.ErrorCount, 3, "other attributes written")
local c = _New(QZCellBase)
c.IsType = true
T.eq(c.IsType, false, "cell guarded")

-- Free callbacks, in the order proc, type, class object ---------------------
local heard = {}
local function listener(name)
  local o = _New(_Object)
  _LockGC(o)
  o.OnFreeCallback = function(self, proc) heard[#heard + 1] = name end
  return o
end
local lp, lt, lc = listener("proc"), listener("type"), listener("class")
local victim = Sum()
victim:RegCallBack(lp)
victim:RegCallBack(lp)
Sum:RegCallBack(lt)
QZProcBase:RegCallBack(lc)
victim:UnRegCallBack(lt)
_Free(victim)
T.eq(table.concat(heard, ","), "proc,type,class", "each heard once, in order")
Sum:UnRegCallBack(lt)
QZProcBase:UnRegCallBack(lc)
heard = {}
_Free(Sum())
T.eq(#heard, 0, "unregistered")

-- Equal data grouped, data sets split by provenance -------------------------
local quiet = {OnBeforeFree = function() end}
local a, x, b = A(1), A(2), A(1)
local groups = s:EqualDataSet(_Pkg(a, x, b))
T.eq(groups:_Count(), 1, "one group")
T.eq(groups:_Get(0):_Get(0), a, "A first")
T.eq(groups:_Get(0):_Get(1), b, "then B")
local c3 = A(1)
groups = s:EqualDataSetEx(a, b, 5, nil, c3)
T.eq(groups:_Count(), 2, "three equal: two groups")
T.eq(groups:_Get(0):_Count(), 3, "[A, B, C]")
T.eq(groups:_Get(1):_Get(0), b, "[B, C]")
T.eq(s:EqualDataSet(nil):_Count(), 0, "no list")

local src, d, other = A(10), A(11), A(12)
d:AddSource(src)
d.OwnerProcID = _ID(s)
local split = s:SplitDataSet(_Pkg(other, src, d, s), _Pkg(d), false)
local related, rest = split:_Get(0), split:_Get(1)
T.eq(related:_Count(), 3, "related: d, its source and its proc")
T.eq(related:_Get(0), d, "d first")
T.eq(related:_Get(1), src, "then its source")
T.eq(related:_Get(2), s, "then the proc")
T.eq(rest:_Count(), 1, "the rest")
T.eq(rest:_Get(0), other, "other")
split = s:SplitDataSet(_Pkg(other, d), _Pkg(d), false)
T.eq(split:_Get(0):_Count(), 1, "sources outside the list are left out")
split = s:SplitDataSet(_Pkg(other, d), _Pkg(d), true)
T.eq(split:_Get(0):_Count(), 3, "unless asked for")
split = s:SplitDataSet(_Pkg(), _Pkg(d), true)
T.eq(split:_Get(0):_Count() + split:_Get(1):_Count(), 0, "empty list: both empty")

-- GC locks: create, copy and free leave every lock balanced -----------------
local G = QZProcBase:CreateSubType("pt.G")
local inst = A(5)
G:InputFrom(A, inst)
G:OutputFrom(A)
local before = _RefCount(G)
local procs = {}
for i = 1, 5 do procs[i] = G() end
T.eq(_RefCount(G), before + 5, "each proc locks its type once")
local copy = _New(procs[1])
T.eq(_RefCount(procs[1]) >= 1, true, "a copy of a proc")
T.eq(copy:GetInputNumber(), 2, "the copy has the inputs")
_Free(copy)
for i = 1, 5 do _Free(procs[i]) end
T.eq(_RefCount(G), before, "freeing gives the locks back")
_Free(G)
collectgarbage("collect")
_CollectGarbage()
T.eq(T.stat("UnlockAtZero"), unlockAtZero, "no unlock below zero")

T.finish("proc_types")
