-- The limits that guard a proc run, each asked of the realm's script: the
-- live count ("OnInputInvalid"), loops ("OnLongLoop"), suspension time
-- ("OnLongSuspend") and source depth ("OnLongSourceData"), each answered
-- true, false, not at all (no handler) or with a script error. A refused
-- limit kills the proc: its messages, the cancel notice, its env data
-- withdrawn, the error counters.
-- Then the limits of unallocated data: a cell's outputs and a proc's held
-- output.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local before = T.counts()

local Number = QZDataBase:CreateType("lim.Number")
local Out = QZDataBase:CreateType("lim.Out")

local function drive(realm, limit)
  local steps = 0
  repeat steps = steps + 1 until not realm:ExecuteOnce() or steps >= limit
  return steps
end

-- The realm's answer to a limit event: a value, or "error" (the handler
-- fails). The realm class always has a default, so a realm never lacks one.
local function answer(realm, event, how)
  if how == "error" then
    realm[event] = function() error("limit script fails") end
  else
    realm[event] = function() return how end
  end
end

-- One run under a limit. Returns what happened.
local function run(name, setup, body, inputs)
  local R = {runs = 0, cancels = 0}
  local P = T.procType("lim." .. name, inputs or {Number}, {Out}, function(self, realm, cell, runner)
    if self.Status < 0 then
      R.cancels = R.cancels + 1
      return
    end
    R.runs = R.runs + 1
    R.copy = self
    return body(self, R)
  end)
  local chain = T.chain(P)
  local realm, cell = T.realmWith("lim." .. name, chain)
  realm.CreateFrameData = false
  setup(realm, R)
  realm:AddEnvData(Number(1))
  R.msgs = T.during(function() drive(realm, 200) end)
  if os.getenv("TRELK_SCHED_DEBUG") then for _, m in ipairs(R.msgs) do io.stderr:write(name .. ": " .. m .. "\n") end end
  R.errors = realm.ErrorCount
  R.realm, R.cell, R.chain = realm, cell, chain
  return R
end

local function cleanup(R)
  R.realm:ClearEnvData()
  for _, o in ipairs({R.realm, R.cell, R.chain}) do _Free(o) end
end

-- OnInputInvalid: a datum whose live count has run out ---------------------
local liveRows = {
  {true, 1, 0}, {false, 0, 1}, {"error", 0, 1},
}
for _, row in ipairs(liveRows) do
  local how, runs, errors = table.unpack(row)
  local R = run("live" .. tostring(how), function(realm)
    realm.InitialLiveCount = 0
    answer(realm, "OnInputInvalid", how)
  end, function(self)
    self:AcceptInput(self:GetInput(0))
    return 0
  end)
  T.eq(R.runs, runs, "OnInputInvalid " .. tostring(how) .. ": runs")
  T.eq(R.errors, errors, "OnInputInvalid " .. tostring(how) .. ": realm errors")
  if how == false then
    T.check(T.has(R.msgs, "Proc[] runs failed, because it's input is not alive"), "the kill is reported")
  end
  cleanup(R)
end

-- OnLongLoop: a proc with nothing left to work on that keeps asking to run
-- again (a proc without inputs, so that nothing resets its loop count) ------
local loopRows = {
  {true, "goes on"}, {false, "killed"}, {"error", "goes on"},
}
for _, row in ipairs(loopRows) do
  local how, outcome = table.unpack(row)
  local R = run("loop" .. tostring(how), function(realm)
    realm.MaxLoopCount = 2
    answer(realm, "OnLongLoop", how)
  end, function(self, R)
    if R.runs >= 6 then return 0 end
    return 4
  end, {})
  if outcome == "killed" then
    T.eq(R.runs, 2, "OnLongLoop false: the third run is refused after two")
    T.check(T.has(R.msgs, "Proc[] runs failed, it may be enter deadloop, and killed by trelk"), "the kill is reported")
    T.eq(R.errors, 1, "one error counted")
    T.eq(R.cancels, 1, "the proc hears the cancel notice")
  else
    T.eq(R.runs, 6, "OnLongLoop " .. tostring(how) .. ": the proc runs on")
    T.eq(R.errors, 0, "OnLongLoop " .. tostring(how) .. ": no errors")
  end
  cleanup(R)
end

-- OnLongSuspend: a proc that stays suspended ---------------------------------
local suspendRows = {
  {false, true}, {true, false}, {"error", false},
}
for _, row in ipairs(suspendRows) do
  local how, killed = table.unpack(row)
  local R = run("suspend" .. tostring(how), function(realm)
    realm.MaxSuspendTickCount = 0
    answer(realm, "OnLongSuspend", how)
  end, function(self)
    return 1
  end)
  -- Give the clock a millisecond between the steps.
  local t = os.clock()
  while os.clock() - t < 0.005 do end
  for _, m in ipairs(T.during(function() drive(R.realm, 3) end)) do R.msgs[#R.msgs + 1] = m end
  if killed then
    T.check(T.has(R.msgs, "Proc[] runs failed, it suspend too long and may be enter deadloop, and killed by trelk"),
            "OnLongSuspend false: the kill is reported")
    T.eq(R.realm.ErrorCount, 1, "one error counted")
  else
    T.eq(R.realm.ExecuteStage, 1, "OnLongSuspend " .. tostring(how) .. ": the proc stays suspended")
  end
  cleanup(R)
end

-- OnLongSourceData: an input whose source chain is too deep ------------------
local sourceRows = {
  {true, 1}, {false, 0}, {"error", 1},
}
for _, row in ipairs(sourceRows) do
  local how, runs = table.unpack(row)
  local R = run("source" .. tostring(how), function(realm)
    realm.MaxSourceDataLength = 1
    answer(realm, "OnLongSourceData", how)
  end, function(self)
    self:AcceptInput(self:GetInput(0))
    return 0
  end)
  T.eq(R.runs, runs, "OnLongSourceData " .. tostring(how) .. ": runs")
  if how == false then
    T.check(T.hasPrefix(R.msgs, "QZData["), "the refused input is reported")
  end
  cleanup(R)
end

-- The depth of a source graph larger than a few data: a product whose
-- sources are a chain of 20 links, a shortcut into its middle and 20 data
-- without sources of their own is 21 deep. The event comes at a limit of 21
-- and not at 22, as the longest path through the graph says.
local DeepOut = QZDataBase:CreateType("lim.DeepOut")
local depthRows = {{21, true}, {22, false}}
for _, row in ipairs(depthRows) do
  local limit, fires = table.unpack(row)
  local Make = T.procType("lim.depth.make" .. limit, {Number}, {DeepOut}, function(self)
    local link = Number(0)
    local middle
    for i = 1, 20 do
      local d = Number(i)
      d:AddSource(link)
      link = d
      if i == 10 then middle = d end
    end
    local out = DeepOut(1)
    out:AddSource(link)
    out:AddSource(middle)
    for i = 1, 20 do out:AddSource(Number(100 + i)) end
    self:AddOutputData(out)
    self:AcceptInput(self:GetInput(0))
    return 0
  end)
  local checked = 0
  local Check = T.procType("lim.depth.check" .. limit, {DeepOut}, {}, function(self)
    checked = checked + 1
    self:AcceptInput(self:GetInput(0))
    return 0
  end)
  local chain = T.chain(Make, Check)
  local realm, cell = T.realmWith("lim.depth" .. limit, chain)
  realm.CreateFrameData = false
  realm.MaxSourceDataLength = limit
  local events = 0
  realm.OnLongSourceData = function() events = events + 1 return true end
  realm:AddEnvData(Number(1))
  T.during(function() drive(realm, 200) end)
  T.eq(events > 0, fires, "a source graph 21 deep at a limit of " .. limit .. ": the event")
  T.eq(checked, 1, "a source graph 21 deep at a limit of " .. limit .. ": the product is checked once")
  realm:ClearEnvData()
  for _, o in ipairs({realm, cell, chain}) do _Free(o) end
end

-- Unallocated data: a cell's output check -------------------------------------
do
  local realm = _New(QZRealmBase)
  local cell = _New(QZCellBase)
  _SetName(cell, "lim.unalloc")
  cell:OutputFrom(Out)
  realm.MaxUnAllocatedData = 1
  function cell:Execute(r)
    self:AddOutputData(Out(1))
    return 4
  end
  local asked = 0
  function realm:OnMoreUnAllocatedData(c) asked = asked + 1 return 0 end
  realm:AddCell(cell)
  local msgs = T.during(function() drive(realm, 5) end)
  T.eq(asked, 1, "a cell at its output limit is asked about once")
  T.check(T.has(msgs, "Cell[lim.unalloc] create more output data larger than [1], it's running is killed"),
          "and stopped")
  T.eq(cell.IsReady, false, "the stopped cell is not ready")
  _Free(realm)
  _Free(cell)
end

-- Unallocated data: output a proc made that its next proc holds but cannot
-- use yet. The first proc runs on, one datum a run, into a next proc that
-- waits for five; with a limit of one, the second datum held back asks the
-- realm, whose answer raises the proc's limit or kills the run.
local Held = QZDataBase:CreateType("lim.Held")
local produced = 0
local Producer = T.procType("lim.Producer", {Number}, {Held}, function(self)
  if self.Status < 0 then return end
  self.made = (self.made or 0) + 1
  produced = self.made
  self:AddOutputData(Held(self.made))
  if self.made >= 4 then
    self:AcceptInput(self:GetInput(0))
    return 0
  end
  return 3
end)
local WaitsForFive = T.procType("lim.WaitsForFive", {5, Held}, {Out}, function(self)
  if self.Status < 0 then return end
  error("five held data never come together")
end)
local heldRows = {
  {1, false}, {0, true}, {"error", true},
}
for _, row in ipairs(heldRows) do
  local how, killed = table.unpack(row)
  local chain = T.chain(Producer, WaitsForFive)
  local realm, cell = T.realmWith("lim.held" .. tostring(how), chain)
  realm.CreateFrameData = false
  realm.MaxUnAllocatedData = 1
  local asked, aboutProducer = 0, false
  function realm:OnMoreUnAllocatedData(o)
    asked = asked + 1
    aboutProducer = _IsInst(Producer, o)
    if how == "error" then error("limit script fails") end
    return how
  end
  produced = 0
  realm:AddEnvData(Number(1))
  local msgs = T.during(function() drive(realm, 50) end)
  T.eq(asked, 1, "held output " .. tostring(how) .. ": the realm is asked once")
  T.check(aboutProducer, "held output " .. tostring(how) .. ": about the producing proc")
  T.eq(T.has(msgs, "Proc[] create more output data larger than [1], it's running is killed"), killed,
       "held output " .. tostring(how) .. ": killed or raised")
  T.eq(produced, killed and 2 or 4, "held output " .. tostring(how) .. ": the producer's runs")
  if how == "error" then
    local reported = false
    for _, m in ipairs(msgs) do
      if m:find("proc calls the function OnMoreUnAllocatedData failed", 1, true) then reported = true end
    end
    T.check(reported, "the script error is reported")
  end
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

-- Each row made a proc type of its own (types stay): only the locks are
-- compared.
T.eq(T.counts().unlocks, before.unlocks, "limits: no lock released below zero")
T.finish("sched_limits")
