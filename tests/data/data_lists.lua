-- Rule attachment and approval, and the exclude / accept / reject lists.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local unlockAtZero = T.stat("UnlockAtZero")

local D = QZDataBase:CreateType("lists.D")

-- Rules --------------------------------------------------------------------
local heard = {}
local function rule(name)
  local r = _New(QZRuleBase)
  _SetName(r, name)
  r.OnApproved = function(self, data) heard[#heard + 1] = name .. "+" .. _Name(data) end
  r.OnDisapproved = function(self, data) heard[#heard + 1] = name .. "-" .. _Name(data) end
  return r
end
local r1, r2 = rule("r1"), rule("r2")
local d = D(1)
_SetName(d, "d")
local ref1 = _RefCount(r1)
T.eq(d:HasRuleAttach(), false, "no rules yet")
T.eq(d:SetRuleAttach(r1), true, "attach a rule")
T.eq(d:SetRuleAttach(r1), true, "attach the same rule again")
T.eq(d:GetRuleAttach():_Count(), 1, "one attachment per rule")
T.eq(_RefCount(r1), ref1 + 1, "an attached rule is locked once")
T.eq(d:SetRuleAttach(d), false, "a data object is no rule")
T.eq(d:SetRuleAttach(QZRuleBase), false, "the rule class object is no rule to attach")

-- A data without its own value shares the holder's rules.
local child = d()
_SetName(child, "child")
T.eq(child:SetRuleAttach(r2), true, "attach through a child")
T.eq(d:GetRuleAttach():_Count(), 2, "the child's rule sits on the holder")
T.eq(child:HasRuleAttach(), true, "the child sees the holder's rules")

d:Approved()
T.eq(table.concat(heard, ","), "r1+d,r2+d", "OnApproved with the data, in order")
heard = {}
child:Disapproved()
T.eq(table.concat(heard, ","), "r1-d,r2-d", "OnDisapproved with the holder")

-- A rule without the hook is passed over; a failing hook is reported and
-- the walk goes on.
local quiet = _New(QZRuleBase)
local broken = _New(QZRuleBase)
broken.OnApproved = function() error("rule broke") end
local d2 = D(2)
_SetName(d2, "d2")
d2:SetRuleAttach(quiet)
d2:SetRuleAttach(broken)
d2:SetRuleAttach(r1)
heard = {}
_Errors()
d2:Approved()
T.eq(table.concat(heard, ","), "r1+d2", "the walk goes past a silent and a broken rule")
local errs = T.errors()
T.eq(#errs, 1, "one report for the broken rule")
T.check(errs[1] and errs[1]:find("calls the function Approved failed", 1, true), "broken rule report text")

-- Attaching a rule type attaches a fresh instance each time.
local RT = _New(QZRuleBase)
RT.IsType = true
_SetName(RT, "RT")
_LockGC(RT)
local d3 = D(3)
d3:SetRuleAttach(RT)
d3:SetRuleAttach(RT)
local attached = d3:GetRuleAttach()
T.eq(attached:_Count(), 2, "two attachments for a rule type attached twice")
local i1, i2 = attached:_Get(0), attached:_Get(1)
T.check(i1 ~= RT and i2 ~= RT and i1 ~= i2, "two new instances")
T.eq(_IsInst(RT, i1), true, "the attached instance is of the rule type")
attached = nil i1 = nil i2 = nil
local live = T.stat("LiveObjects")
-- RemoveRuleAttach gives no result and empties the holder's list.
local n = select("#", child:RemoveRuleAttach())
T.eq(n, 0, "RemoveRuleAttach pushes nothing")
T.eq(d:HasRuleAttach(), false, "RemoveRuleAttach through the child empties the holder's list")
d3:RemoveRuleAttach()
_CollectGarbage()
T.eq(_RefCount(r1), ref1 + 1, "r1 still attached to d2 only")
T.check(T.stat("LiveObjects") <= live - 4, "instances and attachments made for the rule type are freed")
_Free(d2)
_CollectGarbage()
T.eq(_RefCount(r1), ref1, "freeing the data lets go of its rules")

-- Hooks that change what is being walked: every rule attached when the walk
-- began still hears, and a data freed by a hook ends the walk.
local walkHeard = {}
local function walkRule(name, action)
  local r = _New(QZRuleBase)
  _LockGC(r)
  r.OnApproved = function(self, data)
    walkHeard[#walkHeard + 1] = name
    if action then action(data) end
  end
  return r
end
local detaching = D(5)
detaching:SetRuleAttach(walkRule("w1", function(data) data:RemoveRuleAttach() end))
detaching:SetRuleAttach(walkRule("w2"))
detaching:SetRuleAttach(walkRule("w3"))
detaching:Approved()
T.eq(table.concat(walkHeard, ","), "w1,w2,w3", "rules detached by a hook still hear the walk they were in")
T.eq(detaching:HasRuleAttach(), false, "the hook's detach took effect")
walkHeard = {}
local freed = D(6)
freed:SetRuleAttach(walkRule("f1", function(data) _Free(data) end))
freed:SetRuleAttach(walkRule("f2"))
freed:Approved()
T.eq(table.concat(walkHeard, ","), "f1", "the walk ends once the data is freed")

-- Lists --------------------------------------------------------------------
local procType = T.procType
local PA, PB = procType("PA"), procType("PB")
local pa = _New(PA)                -- a proc outside any runner
local root = _New(PB)
local pb = _New(PB)                -- a runner's copy of root
pb.RunnerID = _ID(_New(_Object))
pb.RootProcID = _ID(root)
local notProc = _New(_Object)
local e = D(4)

T.eq(e:IsReject(notProc), true, "a non-proc counts as rejected")
T.eq(e:IsAccept(notProc), true, "a non-proc counts as accepted")
T.eq(e:IsExclude(notProc), false, "a non-proc is not excluded")
T.eq(e:IsAccept(nil), true, "IsAccept without argument")
T.eq(e:IsReject(pa), false, "not rejected yet")
e:AddReject(pa)
T.eq(e:IsReject(pa), true, "rejected after AddReject")
T.eq(e:IsReject(_New(PA)), true, "rejection is by proc type")
T.eq(e:IsExclude(pa), false, "a proc outside a runner is not excluded by AddReject")
local rej = e:GetReject()
T.eq(rej:_Count(), 1, "GetReject count")
T.eq(rej:_Get(0), PA, "GetReject lists the proc type")
e:AddAccept(pb)
T.eq(e:IsAccept(pb), true, "accepted after AddAccept")
T.eq(e:IsExclude(pb), true, "a runner's proc is excluded by AddAccept")
T.eq(e:IsExclude(root), true, "exclusion is by root proc ID")
e:RemoveAccept(pb)
T.eq(e:IsAccept(pb), false, "RemoveAccept")
e:RemoveReject(pa)
T.eq(e:IsReject(pa), false, "RemoveReject")
e:AddExclude(pa)
T.eq(e:IsExclude(pa), true, "AddExclude")
e:RemoveExclude(pa)
T.eq(e:IsExclude(pa), false, "RemoveExclude")
e:AddExclude(notProc)
e:AddReject(notProc)
T.eq(e:GetReject():_Count(), 0, "a non-proc changes no list")

e:AddReject(pa) e:AddAccept(pb) e:AddExclude(pa)
e:ResetSchedule()
T.eq(e:GetAccept():_Count(), 0, "ResetSchedule empties the accept list")
T.eq(e:GetReject():_Count(), 0, "ResetSchedule empties the reject list")
T.eq(e:IsExclude(pa), false, "ResetSchedule drops exclusions of unconnected procs")
T.eq(e:IsExclude(pb), false, "ResetSchedule drops exclusions of unconnected procs (runner)")

_CollectGarbage()
T.eq(T.stat("UnlockAtZero"), unlockAtZero, "no unlock without a lock")
T.finish("data_lists")
