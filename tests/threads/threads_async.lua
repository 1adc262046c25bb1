-- Asynchronous procs: a proc marked IsAsync runs its "Execute" on a worker
-- thread of its own while the realm goes on; its result is picked up by a
-- later step and handled like a synchronous one. Each scenario is run many
-- times with small random delays in the procs' bodies.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")
math.randomseed(tonumber(arg[2] or "") or 2121)
local ROUNDS = 12

local Number = QZDataBase:CreateType("as.Number")
local Twice = QZDataBase:CreateType("as.Twice")

local function jitter() _Yield(math.random(0, 2)) end

-- The doubling proc, synchronous or asynchronous; each run counted.
local runs = {}
local function doubler(name, async, body)
  local P = T.procType(name, {Number}, {Twice}, body or function(self)
    runs[name] = (runs[name] or 0) + 1
    jitter()
    local n = self:GetInput(0)
    self:AddOutputData(Twice(T.value(n) * 2))
    self:AcceptInput(n)
    return 0
  end)
  P.IsAsync = async
  return P
end

local function values(pkg)
  local out = {}
  for _, d in ipairs(T.items(pkg)) do
    if d then out[#out + 1] = T.value(d) end
  end
  table.sort(out)
  return table.concat(out, ",")
end

-- Runs the proc type over the inputs with ExecuteForResult; the outputs, the
-- messages and the realm's figures.
local function runWith(P, inputs, setup)
  local realm, cell = T.realmWith("as.realm", (T.chain(P)))
  if setup then setup(realm, cell) end
  for _, v in ipairs(inputs) do realm:AddEnvData(Number(v)) end
  local msgs, result = T.during(function() return realm:ExecuteForResult() end)
  local R = {out = values(result), msgs = msgs, errors = realm.ErrorCount, ticks = realm.ScheduleTickCount,
             count = result:_Count()}
  _Free(realm)
  return R
end

local before = T.counts()

-- The same outputs as the synchronous proc, a step later ----------------------
local Sync = doubler("as.Sync", false)
local Async = doubler("as.Async", true)
for round = 1, ROUNDS do
  local s = runWith(Sync, {1, 2, 3})
  local a = runWith(Async, {1, 2, 3})
  T.eq(a.out, s.out, "round " .. round .. ": the worker's outputs are the synchronous ones")
  T.eq(a.errors, 0, "round " .. round .. ": no errors")
  T.check(a.ticks > s.ticks, "round " .. round .. ": the asynchronous run needs more steps (" .. a.ticks .. " > " ..
          s.ticks .. ")")
  T.eq(#a.msgs, 0, "round " .. round .. ": no report")
end
T.eq(runs["as.Async"], runs["as.Sync"], "as many asynchronous runs as synchronous ones")

-- A worker's proc with a next proc and a child chain: its products go on to
-- the next proc and down the child chain, as without a worker ----------------
do
  local Side = QZDataBase:CreateType("as.Side")
  local Out = QZDataBase:CreateType("as.Out")
  local function splitter(name, async)
    local P = T.procType(name, {Number}, {Twice, Side}, function(self)
      jitter()
      local n = self:GetInput(0)
      self:AddOutputData(Twice(T.value(n) * 2))
      self:AddOutputData(Side(T.value(n) + 100))
      self:AcceptInput(n)
      return 0
    end)
    P.IsAsync = async
    return P
  end
  local Last = T.procType("as.Last", {Twice}, {Out}, function(self)
    local d = self:GetInput(0)
    self:AddOutputData(Out(T.value(d) * 10))
    self:AcceptInput(d)
    return 0
  end)
  local Child = T.procType("as.Child", {Side}, {Twice}, function(self)
    local d = self:GetInput(0)
    self:AddOutputData(Twice(T.value(d) + 1000))
    self:AcceptInput(d)
    return 0
  end)
  local function runChain(P, v)
    local chain, procs = T.chain(P, Last)
    T.check(chain:AddChildProcChain(procs[1], Child, procs[2]), "the child chain hangs under the first proc")
    local realm, cell = T.realmWith("as.child", chain)
    realm:AddEnvData(Number(v))
    local msgs, result = T.during(function() return realm:ExecuteForResult() end)
    local R = {out = values(result), msgs = table.concat(msgs, " | "), errors = realm.ErrorCount}
    for _, o in ipairs({realm, cell, chain}) do _Free(o) end
    return R
  end
  local SyncSplit, AsyncSplit = splitter("as.SplitSync", false), splitter("as.SplitAsync", true)
  local c0 = T.counts()
  for round = 1, 4 do
    local s = runChain(SyncSplit, round)
    local a = runChain(AsyncSplit, round)
    T.eq(s.out, (round * 20) .. "," .. ((round + 1100) * 10), "round " .. round .. ": the synchronous chain's outputs")
    T.eq(a.out, s.out, "round " .. round .. ": the worker's chain gives the same outputs")
    T.eq(a.msgs, s.msgs, "round " .. round .. ": the same reports")
    T.eq(a.errors, 0, "round " .. round .. ": no error")
  end
  for _ = 1, 10 do _Yield(2) end
  T.balanced(c0, "a worker's chain with a child chain")
end

-- Results the pick-up refuses or counts as failed --------------------------
local failRows = {
  {"returns 1", function() jitter() return 1 end,
   "Cell[as.realm.cell] Proc[]'s runs failed, the proc's IsAsync is true, but returns result is suspend"},
  {"returns -1", function() jitter() return -1 end, "Cell[as.realm.cell] Proc[]'s returns < 0, runs failed"},
  {"raises", function() jitter() error("async body fails") end, "Cell[as.realm.cell] Proc[]'s runs warning"},
}
for _, row in ipairs(failRows) do
  local what, body, text = table.unpack(row)
  local P = doubler("as.Fail" .. what, true, body)
  for round = 1, 3 do
    local R = runWith(P, {4})
    T.check(T.hasPrefix(R.msgs, text), what .. ": reported (" .. table.concat(R.msgs, " | ") .. ")")
    T.check(R.errors > 0, what .. ": an error is counted")
    T.eq(R.count, 0, what .. ": the cycle gives no result")
  end
end

-- Many asynchronous procs at once: one cell per input ------------------------
for round = 1, 4 do
  local realm = _New(QZRealmBase)
  for i = 1, 6 do
    local cell = _New(QZCellBase)
    T.check(cell:AddProc((T.chain(Async))), "chain added")
    realm:AddCell(cell)
  end
  for i = 1, 6 do realm:AddEnvData(Number(i)) end
  local msgs, result = T.during(function() return realm:ExecuteForResult() end)
  T.eq(realm.ErrorCount, 0, "many workers: no errors (" .. table.concat(msgs, " | ") .. ")")
  T.check(result:_Count() >= 6, "many workers: every input doubled (" .. values(result) .. ")")
  _Free(realm)
end

-- The runner, the cell or the realm freed by the worker's own script --------
-- What such a run leaves behind is compared with the synchronous twin's: the
-- worker adds nothing to it.
local function settle() for _ = 1, 10 do _Yield(2) end end
local freeRows = {
  {"runner", function(self, realm, cell, runner) jitter() _Free(runner) return 0 end},
  {"cell", function(self, realm, cell, runner) jitter() _Free(cell) return 0 end},
  {"realm", function(self, realm, cell, runner) jitter() _Free(realm) return 0 end},
}
local leftBefore = T.counts()
for _, row in ipairs(freeRows) do
  local what, body = table.unpack(row)
  local left = {}
  for _, async in ipairs({false, true}) do
    local P = doubler("as.Frees" .. what .. tostring(async), async, body)
    local c0 = T.counts()
    for round = 1, 4 do
      local realm = T.realmWith("as.frees", (T.chain(P)))
      realm:AddEnvData(Number(round))
      local msgs = T.during(function() realm:Execute() end)
      T.eq(#msgs, 0, "the " .. what .. " freed by the script: a quiet end (" .. table.concat(msgs, " | ") .. ")")
      if what ~= "realm" then
        -- (the synchronous run counts the proc it lost as failed)
        if async then T.eq(realm.ErrorCount, 0, "the " .. what .. " freed under the worker: no error counted") end
        _Free(realm)
      end
    end
    settle()
    local c1 = T.counts()
    left[#left + 1] = (c1.objects - c0.objects) .. "/" .. (c1.packages - c0.packages)
  end
  T.eq(left[2], left[1], "the " .. what .. " freed: the worker leaves what the synchronous run leaves")
end
-- OnLongSuspend refuses while the worker runs: killed without a cancel notice --
do
  local notices, bodies = 0, 0
  local P = doubler("as.Slow", true, function(self)
    if self.Status < 0 then notices = notices + 1 return 0 end
    bodies = bodies + 1
    -- Long enough for the scheduling thread to find it suspended too long.
    for _ = 1, 20 do _Yield(1) end
    return 0
  end)
  before = T.counts()
  for round = 1, 3 do
    local R = runWith(P, {7}, function(realm)
      realm.MaxSuspendTickCount = 0
      realm.OnLongSuspend = function() return false end
    end)
    T.check(T.has(R.msgs, "Proc[] runs failed, it suspend too long and may be enter deadloop, and killed by trelk"),
            "the kill is reported (" .. table.concat(R.msgs, " | ") .. ")")
    T.check(R.errors > 0, "the kill counts an error")
  end
  T.eq(notices, 0, "a proc whose worker runs hears no cancel notice")
  -- A worker whose proc was killed before its script ran ends without it.
  T.check(bodies <= 3, "each worker ran its body at most once (" .. bodies .. ")")
end

-- Workers whose procs are gone end at the next lock release.
for _ = 1, 20 do _Yield(5) end
T.balanced(before, "asynchronous procs")
T.eq(T.stat("LockViolations"), 0, "every lock taken and given back in order, none kept by an ended thread")
T.finish("threads_async")
