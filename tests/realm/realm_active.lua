-- Active objects: activation through sources, proc types and producing
-- procs, deactivation, links, recounts along targets, the ordered listings
-- and removal by age, with every lock given back.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local before = T.counts()
local D = QZDataBase:CreateType("act.D")
local P = T.procType("act.P")

local function obj(name) return T.named(_New(_Object), name) end

-- Each case builds its own realm and objects and checks one behaviour.
local cases = {
  {"a source without record gets one with own count 1; the item counts its mean", function(r)
     local s, x = D(1), D(2)
     x:AddSource(s)
     r:ActiveObject(1, x)
     T.eq(r:GetExtraActiveCount(s), 1, "source own count")
     T.eq(r:GetActiveCount(s), 1, "source count")
     T.eq(r:GetActiveCount(x), 2, "item: mean of its one source (1) + own count (1)")
     T.eq(T.items(r:GetSourceObject(x))[1], s, "the source is linked")
     T.eq(T.items(r:GetTargetObject(s))[1], x, "and knows its target")
   end},
  {"a record without links hands out its own lists, which a script may edit", function(r)
     local s, x = D(1), D(2)
     r:ActiveObject(4, s)
     r:ActiveObject(1, x)
     T.eq(r:GetSourceObject(x):_Count(), 0, "no sources yet")
     r:GetSourceObject(x):_Append(s)
     T.eq(T.items(r:GetSourceObject(x))[1], s, "the list the script edited is the record's")
     r:UpdateActiveCount(x)
     T.eq(r:GetActiveCount(x), 4 + 1, "and the recount reads it")
     r:GetTargetObject(s):_Append(x)
     T.eq(T.items(r:GetTargetObject(s))[1], x, "so is the list of targets")
   end},
  {"two data sources 3 and 4 give 3; a proc type source with 5 adds 5", function(r)
     local s1, s2, x = D(1), D(2), D(3)
     r:ActiveObject(3, s1)
     r:ActiveObject(4, s2)
     r:ActiveObject(5, P)
     r:ActiveObject(1, x, s1, s2, P)
     T.eq(r:GetActiveCount(x), 3 + 5 + 1, "mean 3 (fraction dropped) + 5 + own 1")
   end},
  {"a negative count lowers the mean instead of giving a huge number", function(r)
     local s1, s2, x = D(1), D(2), D(3)
     r:ActiveObject(2147483647, s1)
     r:ActiveObject(2147483647, s1) -- wraps to -2
     r:ActiveObject(1, s2)
     T.eq(r:GetExtraActiveCount(s1), -2, "the own count wrapped")
     r:ActiveObject(1, x, s1, s2)
     T.eq(r:GetActiveCount(x), 0 + 1, "mean of -2 and 1 is 0 (toward zero), plus own 1")
   end},
  {"a source with own count 0 does not count", function(r)
     local x = obj("x")
     r:ActiveObject(1, P)
     r:SetExtraActiveCount(P, 1)
     r:LinkSourceObject(x, P)
     r:UpdateActiveCount(x)
     T.eq(r:GetActiveCount(x), 2, "P counts while its own count is 1")
     -- Own count 0 only through activation of a source data's accepting type.
     local s, y = D(1), D(2)
     s:AddAccept(P)
     y:AddSource(s)
     r:ActiveObject(1, obj("other"), P)
     r:DeactiveObject(P, 0)
     r:ActiveObject(1, y)
     T.eq(r:GetExtraActiveCount(P), 0, "P activated with 0 through the accepting source")
     T.eq(T.items(r:GetSourceObject(P))[1], s, "the accepted source data feeds P")
     T.eq(r:GetActiveCount(y), 1 + 1, "y: mean of s (1) + own 1")
     T.eq(r:GetActiveCount(s), 1, "s itself")
   end},
  {"the producing proc type is a source of its data", function(r)
     local x = D(1)
     x.OwnerProcID = _ID(P)
     r:ActiveObject(7, P)
     r:ActiveObject(1, x)
     T.eq(r:GetActiveCount(x), 7 + 1, "the proc type's count plus own 1")
   end},
  {"a proc instance reports its proc type's record", function(r)
     local p = _New(P)
     r:ActiveObject(4, p)
     T.eq(r:GetActiveCount(P), 4, "recorded under the type")
     T.eq(r:GetActiveCount(p), 4, "read through the instance")
     _Free(p)
   end},
  {"DeactiveObject keeps an own count of at least 1", function(r)
     local x = obj("x")
     r:ActiveObject(4, x)
     r:DeactiveObject(x, 10)
     T.eq(r:GetExtraActiveCount(x), 1, "4 - 10 gives 1")
     r:ActiveObject(5, x)
     r:DeactiveObject(x, 2)
     T.eq(r:GetExtraActiveCount(x), 4, "6 - 2 gives 4")
     r:DeactiveObject(x, 0)
     T.eq(r:GetActiveCount(x), 0, "deactivation with 0 removes the record")
   end},
  {"deactivating a source with 0 lowers its targets at once; SetExtraActiveCount 0 waits for a recount", function(r)
     local s, t = obj("s"), obj("t")
     r:ActiveObject(5, s)
     r:ActiveObject(1, t, s)
     T.eq(r:GetActiveCount(t), 6, "target counts its source")
     r:DeactiveObject(s, 0)
     T.eq(r:GetActiveCount(t), 1, "source removed: the target lost it at once")
     T.eq(r:GetSourceObject(t):_Count(), 0, "and forgot the link")
     local s2 = obj("s2")
     r:ActiveObject(5, s2)
     r:LinkSourceObject(t, s2)
     r:UpdateActiveCount(t)
     T.eq(r:GetActiveCount(t), 6, "linked again and recounted")
     r:SetExtraActiveCount(s2, 0)
     T.eq(r:GetActiveCount(s2), 0, "SetExtraActiveCount 0 removed the record")
     T.eq(r:GetActiveCount(t), 6, "the target keeps its count until its next recount")
     r:UpdateActiveCount()
     T.eq(r:GetActiveCount(t), 1, "UpdateActiveCount() recounts every record")
   end},
  {"links and unlinks", function(r)
     local a, b = obj("a"), obj("b")
     r:LinkTargetObject(a, b)
     T.eq(T.names(r:GetTargetObject(a)), "b", "a's target")
     T.eq(T.names(r:GetSourceObject(b)), "a", "b's source")
     T.eq(r:GetExtraActiveCount(b), 1, "a missing target record is made with own count 1")
     r:LinkTargetObject(a, b)
     T.eq(r:GetTargetObject(a):_Count(), 1, "linking twice keeps one link")
     r:UnLinkTargetObject(a, b)
     T.eq(r:GetTargetObject(a):_Count() + r:GetSourceObject(b):_Count(), 0, "unlinked on both sides")
     r:UnLinkSourceObject(obj("none"), a)
     T.eq(r:GetActiveCount(obj("none")), 0, "unlinking an object without a record makes none")
   end},
  {"cyclic links end", function(r)
     local a, b = obj("a"), obj("b")
     r:LinkSourceObject(a, b)
     r:LinkSourceObject(b, a)
     r:ActiveObject(2, a)
     T.eq(r:GetActiveCount(a), 1 + 3, "a: b's count (1) + own 1 + 2")
     T.eq(r:GetActiveCount(b), 4 + 1, "b: a's new count + own 1, and the walk stops at a")
   end},
  {"a long chain of targets is recounted without deep recursion", function(r)
     local first = obj("first")
     local prev = first
     local n = 20000
     local last
     for i = 2, n do
       last = _New(_Object)
       r:LinkTargetObject(prev, last)
       prev = last
     end
     r:ActiveObject(5, first)
     T.eq(r:GetActiveCount(last), n + 5, "the count travelled to the end of the chain")
     r:DeactiveAll(0)
   end},
  {"GetActiveObject by plain count, degraded by age, and clamped", function(r)
     local o = {}
     for i, spec in ipairs({{"old", 1, 8}, {"mid", 2, 4}, {"new", 3, 2}, {"newer", 3, 2}}) do
       o[spec[1]] = obj(spec[1])
       r.ScheduleTickCount = spec[2]
       r:ActiveObject(spec[3], o[spec[1]])
     end
     T.eq(T.names(r:GetActiveObject(nil, 1.0, 0)), "old,mid,newer,new", "heaviest first; equal weights newest stamp first")
     T.eq(T.names(r:GetActiveObject(nil, 5, 0)), "old,mid,newer,new", "a factor above 1 acts as 1")
     T.eq(T.names(r:GetActiveObject(nil, 1.0, 2)), "old,mid", "MaxCount")
     -- 0.5: old (tick 1) weighs 0, mid ceil(0.5 * 0.5 * 4) = 1, newest full.
     T.eq(T.names(r:GetActiveObject(nil, 0.5, 0)), "newer,new,mid,old", "age degrades all but the newest")
     T.eq(T.names(r:GetActiveObject(nil, 0.01, 0)), T.names(r:GetActiveObject(nil, 0.1, 0)), "below 0.1 acts as 0.1")
     T.eq(T.names(r:GetActiveObject(_Object, 1.0, 0)), "old,mid,newer,new", "filtered by class")
     T.eq(r:GetActiveObject(D, 1.0, 0):_Count(), 0, "nothing of another class")
     T.eq(T.names(r:GetActiveObjectEx(nil, 0, 3)), "newer,new,mid", "GetActiveObjectEx: most recent stamps")
     T.eq(T.names(r:GetActiveObjectEx(nil, 3, 0)), "mid,old", "GetActiveObjectEx: stamped before tick 3")
     local pairs_ = T.items(r:GetActiveCountEx(_Pkg(o.mid, o.new, obj("none"))))
     T.eq(#pairs_, 2, "GetActiveCountEx lists the given objects that have records")
     T.eq(pairs_[1]:_Get(0), o.mid, "heaviest first")
     T.eq(pairs_[1]:_Get(1), 4, "with its count")
     T.eq(r:GetActiveCountEx(_Pkg()):_Count(), 0, "an empty list gives an empty package")
     r:SetExtraActiveCount(o.new, 2147483647)
     r:ActiveObject(2147483647, o.new) -- wraps below zero
     T.eq(T.names(r:GetActiveObject(nil, 1.0, 0)), "old,mid,newer,new", "a negative weight ranks last")
     r:DeactiveAll(3)
     T.eq(T.names(r:GetActiveObject(nil, 1.0, 0)), "newer,new", "DeactiveAll(3) keeps records stamped at 3 or later")
     r:DeactiveAll(0)
     T.eq(r:GetActiveObject(nil, 1.0, 0):_Count(), 0, "DeactiveAll(0) removes every record")
   end},
  {"wrong arguments do nothing", function(r)
     r:ActiveObject(3, nil)
     r:ActiveObject(3)
     r:DeactiveObject(nil, 1)
     r:LinkSourceObject(obj("a"), nil)
     r:SetExtraActiveCount(obj("none"), 5)
     T.eq(r:GetActiveObject(nil, 1.0, 0):_Count(), 0, "no record made")
     T.eq(r:GetActiveCount(nil), 0, "GetActiveCount(nil)")
     T.eq(r:GetSourceObject(obj("none")):_Count(), 0, "no record: an empty package")
   end},
}

for _, case in ipairs(cases) do
  local r = _New(QZRealmBase)
  local ok, err = pcall(case[2], r)
  T.check(ok, case[1] .. ": " .. tostring(err))
  _Free(r)
end

-- A realm's records hold one lock on each object until the realm goes.
do
  local r = _New(QZRealmBase)
  local x = obj("x")
  local base = _RefCount(x)
  r:ActiveObject(1, x)
  r:ActiveObject(1, x)
  r:LinkSourceObject(obj("y"), x)
  T.eq(_RefCount(x), base + 1, "one lock per record")
  r:DeactiveObject(x, 0)
  T.eq(_RefCount(x), base, "removal gives it back")
  r:ActiveObject(1, x)
  _Free(r)
  T.eq(_RefCount(x), base, "freeing the realm gives it back")
end

_UnLockGC(P)
_Free(P)
_Free(D)
P, D = nil, nil
T.balanced(before, "active objects")
T.finish("realm_active")
