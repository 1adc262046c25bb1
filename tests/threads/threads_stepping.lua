-- Break-on-proc stepping driven from a second script thread: the realm is
-- scheduled by a stepping thread that stops before each proc; the controller
-- lets it go on stop by stop, changes the target, cancels, frees the realm.
-- Every wait has a time limit; every scenario runs several times.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")
math.randomseed(tonumber(arg[2] or "") or 2104)
local ROUNDS = 6

local Number = QZDataBase:CreateType("st.Number")
local Mid = QZDataBase:CreateType("st.Mid")
local Out = QZDataBase:CreateType("st.Out")

local runs = {}
local function step(name, from, to)
  return T.procType(name, {from}, {to}, function(self)
    runs[name] = (runs[name] or 0) + 1
    local n = self:GetInput(0)
    self:AddOutputData(to(T.value(n) + 1))
    self:AcceptInput(n)
    return 0
  end)
end
local A = step("st.A", Number, Mid)
local B = step("st.B", Mid, Out)
local C = step("st.C", Number, Out)

local function total(...)
  local n = 0
  for _, name in ipairs({...}) do n = n + (runs[name] or 0) end
  return n
end

-- Waits (giving up the locks) until cond() holds; false after ms.
local function waitFor(cond, ms)
  for _ = 1, ms do
    if cond() then return true end
    _Yield(1)
  end
  return cond()
end

-- Runs fn on a second thread and waits for it; its errors fail the check.
local function onThread(what, fn, ...)
  local th = _Thread(fn, ...)
  local ok, err = _Join(th)
  T.check(ok, what .. ": the controlling thread ended cleanly (" .. tostring(err) .. ")")
end

local function stepRealm(name)
  local realm, cell = T.realmWith(name, (T.chain(A, B)))
  realm:AddEnvData(Number(1))
  return realm, cell
end

local answers = {}
local Self = T.procType("st.Self", {Number}, {Out}, function(self, realm)
  answers[#answers + 1] = tostring(realm:BreakOnProcContinue())
  realm:CancelBreakOnProc()
  local n = self:GetInput(0)
  self:AcceptInput(n)
  self:AddOutputData(Out(1))
  return 0
end)
local before = T.counts()

-- Lockstep: each continue lets at most one proc body run --------------------
for round = 1, ROUNDS do
  runs = {}
  local realm = stepRealm("st.lockstep")
  local seen, continues = {}, 0
  onThread("lockstep", function()
    realm:BreakOnProc()
    seen[#seen + 1] = total("st.A", "st.B")
    while total("st.A", "st.B") < 2 and continues < 20 do
      T.check(realm:BreakOnProcContinue(), "a continue while stepping answers true")
      continues = continues + 1
      seen[#seen + 1] = total("st.A", "st.B")
    end
    realm:CancelBreakOnProc()
  end)
  T.eq(seen[1], 0, "round " .. round .. ": stepping stops before the first proc")
  for i = 2, #seen do
    T.check(seen[i] - seen[i - 1] <= 1, "round " .. round .. ": one continue, at most one proc (" ..
            table.concat(seen, ",") .. ")")
  end
  T.eq(total("st.A", "st.B"), 2, "round " .. round .. ": both procs ran, in steps")
  T.check(continues >= 2, "round " .. round .. ": it took a continue per proc")
  T.eq(realm:BreakOnProcContinue(), false, "after the cancel a continue answers false")
  _Free(realm)
end

-- A target cell: the other cell runs freely, the target stops ----------------
for round = 1, ROUNDS do
  runs = {}
  local realm, free = T.realmWith("st.target", (T.chain(C)))
  local target = _New(QZCellBase)
  T.check(target:AddProc((T.chain(A, B))), "chain added to the target")
  realm:AddCell(target)
  realm:AddEnvData(Number(1))
  local atFirstStop
  onThread("target", function()
    realm:BreakOnProc(target)
    atFirstStop = total("st.A", "st.B")
    T.check(waitFor(function() return total("st.C") == 1 end, 2000), "the other cell runs without stops")
    T.eq(total("st.A", "st.B"), 0, "the target cell waits at its stop")
    for _ = 1, 10 do
      if total("st.A", "st.B") == 2 then break end
      realm:BreakOnProcContinue()
    end
    realm:CancelBreakOnProc()
  end)
  T.eq(atFirstStop, 0, "round " .. round .. ": the first stop is before the target's first proc")
  T.eq(total("st.A", "st.B"), 2, "round " .. round .. ": the target's procs ran")
  _Free(realm)
end

-- A target that is gone makes every cell of the realm the target ------------
for round = 1, ROUNDS do
  runs = {}
  local realm, cell = stepRealm("st.gone")
  local other = _New(QZCellBase)
  realm:AddCell(other)
  local counted
  onThread("freed target", function()
    realm:BreakOnProc(cell)
    -- The target moves to a cell without work, which is then freed.
    realm:BreakOnProc(other)
    _Free(other)
    realm:BreakOnProcContinue()
    counted = total("st.A", "st.B")
    realm:CancelBreakOnProc()
  end)
  T.eq(counted, 1, "round " .. round .. ": with the target gone the next proc of any cell stops")
  realm:Execute()
  _Free(realm)
end

-- Refusals while stepping; BreakOnProc while on changes the target only ------
do
  runs = {}
  local realm, cell = stepRealm("st.refuse")
  local P = T.prefix(realm)
  onThread("refusals", function()
    realm:BreakOnProc()
    realm.ErrorCount = 3
    T.expect_errors(function() realm:Execute() end, {P .. "'s breakonproc is set, can not handle \"Execute\""},
                    "Execute while stepping")
    T.expect_errors(function() return realm:ExecuteForResult() end,
                    {P .. "'s breakonproc is set, can not handle \"Execute\""}, "ExecuteForResult while stepping")
    T.eq(T.expect_errors(function() return realm:ResetExecuteOnce(true) end,
                         {P .. "'s breakonproc is set, can not handle \"ResetExecuteOnce\""},
                         "ResetExecuteOnce while stepping"), false, "ResetExecuteOnce answers false")
    T.expect_errors(function() realm:ExecuteUntil(false) end,
                    {P .. "'s breakonproc is set, can not handle \"ExecuteUntil\""}, "ExecuteUntil while stepping")
    local envBefore = #T.items(realm:GetEnvDataQueue())
    realm:Reset()
    T.eq(realm.ErrorCount, 0, "Reset while stepping zeroes the error count")
    T.eq(#T.items(realm:GetEnvDataQueue()), envBefore, "and keeps the environment")
    T.expect_errors(function() realm:BreakOnProc(cell) end, {}, "BreakOnProc while stepping: no wait, no report")
    T.expect_errors(function() realm:BreakOnProc(Number(3)) end, {}, "a non-cell target is ignored")
    realm:CancelBreakOnProc()
    T.expect_errors(function() realm:CancelBreakOnProc() end, {}, "a second cancel does nothing")
  end)
  T.eq(realm:BreakOnProcContinue(), false, "no stepping: continue answers false")
  realm:Execute()
  _Free(realm)
end

-- Cancel at a stop: the proc runs, stepping is over --------------------------
for round = 1, ROUNDS do
  runs = {}
  local realm = stepRealm("st.cancel")
  onThread("cancel at a stop", function()
    realm:BreakOnProc()
    _Yield(math.random(0, 2))
    realm:CancelBreakOnProc()
  end)
  T.check(total("st.A", "st.B") >= 1, "round " .. round .. ": the proc at the stop ran after the cancel")
  realm:Execute()
  T.eq(total("st.A", "st.B"), 2, "round " .. round .. ": Execute runs the rest once stepping is off")
  _Free(realm)
end

-- The realm freed while its stepping thread waits at a stop ------------------
-- (A realm freed in the middle of a cycle leaves the cycle's runner and data
-- behind, with or without stepping: this part is not counted.)
for _ = 1, 5 do _Yield(2) end
local counted = T.counts()
for round = 1, ROUNDS do
  runs = {}
  local realm = stepRealm("st.freed")
  onThread("realm freed at a stop", function()
    realm:BreakOnProc()
    if math.random(2) == 1 then realm:BreakOnProcContinue() end
    _Free(realm)
  end)
  T.check(total("st.A", "st.B") <= 2, "round " .. round .. ": the freed realm's stepping ended")
end
for _ = 1, 5 do _Yield(2) end
do
  local now = T.counts()
  before.objects = before.objects + now.objects - counted.objects
  before.packages = before.packages + now.packages - counted.packages
end

-- The stepping thread's own calls neither wait nor hang ----------------------
do
  runs = {}
  local realm = T.realmWith("st.self", (T.chain(Self)))
  realm:AddEnvData(Number(1))
  onThread("calls from the stepping thread", function()
    realm:BreakOnProc()
    realm:BreakOnProcContinue()
    T.check(waitFor(function() return #answers == 1 end, 2000), "the proc ran on the stepping thread")
  end)
  T.eq(answers[1], "false", "a continue from the stepping thread answers false at once")
  T.check(waitFor(function() return realm:BreakOnProcContinue() == false end, 2000),
          "a cancel from the stepping thread ends the stepping")
  _Free(realm)
end

for _ = 1, 10 do _Yield(2) end
T.balanced(before, "stepping")
T.eq(T.stat("LockViolations"), 0, "every lock taken and given back in order, none kept by an ended thread")
T.finish("threads_stepping")
