-- Realm life cycle: the state of a new realm, the script's private package,
-- free callbacks, new realms made from a realm, and a realm freed with
-- objects in all four queues and active records.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local before = T.counts()

-- A new realm.
do
  local r = _New(QZRealmBase)
  local fresh = {
    {"ExecuteStage", 0}, {"ErrorCount", 0}, {"TraceFlag", false}, {"CreateFrameData", true},
    {"DataSequenceIndex", 0}, {"ScheduleTickCount", 0}, {"ActiveLength", 100}, {"InitialLiveCount", 64},
    {"MaxUnAllocatedData", 128}, {"MaxSourceDataLength", 64}, {"MaxLoopCount", 64}, {"HistoryLength", 64},
    {"MaxSuspendTickCount", 1000},
  }
  for _, c in ipairs(fresh) do T.eq(r[c[1]], c[2], "new realm " .. c[1]) end
  local buf = r:GetLocalBuf()
  T.check(buf ~= nil and buf:_Count() == 0, "GetLocalBuf of a new realm is an empty package, not nil")
  T.eq(r:GetFactHistory():_Count(), 0, "empty fact history")
  T.eq(r:GetPredictHistory():_Count(), 0, "empty predict history")
  T.eq(r:GetEnvDataQueue():_Count(), 0, "no env data")
  T.eq(r:GetCell():_Count() + r:GetCellLibrary():_Count() + r:GetRule():_Count(), 0, "no cells, no rules")
  local r2 = _New(QZRealmBase)
  r2:GetLocalBuf():_Append(1)
  T.eq(buf:_Count(), 0, "each realm has a package of its own")

  -- SetLocalBuf keeps the package itself, also when stored twice.
  -- Package proxies are not unique: the stored package is recognised by
  -- a change made through the caller's own handle.
  local p = _Pkg(1, "two")
  r:SetLocalBuf(p)
  p:_Append("mark")
  T.eq(r:GetLocalBuf():_Count(), 3, "GetLocalBuf after SetLocalBuf(p) is p itself")
  r:SetLocalBuf(r:GetLocalBuf())
  p = nil
  collectgarbage("collect")
  local again = r:GetLocalBuf()
  T.check(again ~= nil and again:_Count() == 3 and again:_Get(2) == "mark", "storing the stored package again keeps it alive")
  for _, bad in ipairs({17, "text", _New(_Object)}) do
    r:SetLocalBuf(bad)
    T.eq(r:GetLocalBuf():_Count(), 3, "SetLocalBuf ignores a " .. type(bad))
  end
  r:SetLocalBuf()
  T.eq(r:GetLocalBuf():_Count(), 3, "SetLocalBuf without argument changes nothing")

  -- _QuelCall makes a new realm whose class is the realm.
  local child = r:_QuelCall()
  T.check(child ~= nil and _Class(child) == r, "_QuelCall creates an object whose class is the realm")
  T.eq(child:GetLocalBuf():_Count(), 0, "the new realm has its own package")
  T.eq(child.ExecuteStage, 0, "the new realm starts unstarted")
  _Free(child)
  _Free(r2)
  _Free(r)
end

-- Free callbacks: once per registered object, in order; a failing one is
-- reported and the others still run.
do
  local heard = {}
  local function target(tag, fail)
    local t = _New(_Object)
    _LockGC(t)
    t.OnFreeCallback = function(self, realm)
      heard[#heard + 1] = tag .. ":" .. _Name(realm)
      if fail then error("callback broke") end
    end
    return t
  end
  local a, b, c, gone = target("a"), target("b", true), target("c"), target("gone")
  local r = _New(QZRealmBase)
  _SetName(r, "dying")
  r:RegCallBack(a)
  r:RegCallBack(a) -- once only
  r:RegCallBack(b)
  r:RegCallBack(gone)
  r:RegCallBack(c)
  r:UnRegCallBack(gone)
  r:UnRegCallBack(gone) -- not listed any more: nothing happens
  r:UnRegCallBack(_New(_Object))
  T.errors()
  _Free(r)
  T.eq(table.concat(heard, ","), "a:dying,b:dying,c:dying", "OnFreeCallback once each, in order")
  local errs = T.errors()
  T.eq(#errs, 1, "one report for the failing callback")
  T.check(errs[1] and errs[1]:find("calls the function OnFreeCallback failed", 1, true), "callback failure text")
  for _, t in ipairs({a, b, c, gone}) do _UnLockGC(t) _Free(t) end
end

-- A realm freed with objects in all four queues and active records gives
-- every lock back and leaves every object detached.
do
  local D = QZDataBase:CreateType("life.D")
  local R = QZRuleBase:CreateType("life.R")
  local d, cell, lib, rule, other = D(1), _New(QZCellBase), _New(QZCellBase), R(), _New(_Object)
  local refs = {}
  for _, o in ipairs({D, d, cell, lib, rule, other}) do refs[o] = _RefCount(o) end
  local r = _New(QZRealmBase)
  r:AddEnvData(d)
  r:AddCell(cell)
  r:AddCellLibrary(lib)
  r:AddRule(rule)
  r:ActiveObject(3, other)
  r:ActiveObject(2, d)
  local item = r:GetEnvDataQueue():_Get(0)
  T.eq(_Parent(item), r, "the env item sits in the realm")
  T.eq(_RefCount(cell), refs[cell] + 1, "a queued cell holds one lock")
  T.eq(_RefCount(other), refs[other] + 1, "an active record holds one lock")
  T.eq(_RefCount(d), refs[d] + 2, "the activated datum holds one lock (and the env copy made from it one)")
  item = nil
  _Free(r)
  collectgarbage("collect")
  _CollectGarbage()
  for _, o in ipairs({cell, lib, rule}) do
    T.eq(_Parent(o), nil, _Name(_Class(o)) .. " detached")
  end
  for _, o in ipairs({D, d, cell, lib, rule, other}) do
    T.eq(_RefCount(o), refs[o], "locks of " .. tostring(_Name(o)) .. " given back")
  end
  for _, o in ipairs({d, cell, lib, rule, other}) do _Free(o) end
  _Free(R)
  _Free(D)
end

T.balanced(before, "realm life cycle")
T.finish("realm_lifecycle")
