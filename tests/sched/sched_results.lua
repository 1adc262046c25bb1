-- Result codes of "Execute", -1 to 5: of a proc inside a chain and of a
-- cell's own script. Each row runs one cycle, step by step, and checks how
-- often the body ran, whether output came out, the errors counted and how
-- the cell's run ended.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local Number = QZDataBase:CreateType("res.Number")
local Out = QZDataBase:CreateType("res.Out")

-- Drives one cycle with ExecuteOnce, at most limit steps; answers the
-- number of steps.
local function drive(realm, limit)
  local steps = 0
  repeat steps = steps + 1 until not realm:ExecuteOnce() or steps >= limit
  return steps
end

-- Proc results --------------------------------------------------------------
-- codes: what the body answers on its first, second, ... run (the last one
-- repeats); runs: how often it ran; out: products that reached the realm;
-- errors: the realm's ErrorCount; ok: the success flag the cell finished
-- with; msg: a message the run reports.
local procRows = {
  {"-1 failed", {-1}, 1, 0, 1, false, "Cell[res.-1 failed.cell] Proc[]'s returns < 0, runs failed"},
  {"0 finished", {0}, 1, 1, 0, true},
  {"2 continue, waits for changed input", {2}, 1, 0, 0, true},
  {"3 continue, output routed", {3}, 1, 1, 0, true},
  {"4 then 0 runs again", {4, 0}, 2, 2, 0, true},
  {"5 then 0 runs again after a millisecond", {5, 0}, 2, 2, 0, true},
}
-- The proc types first: types stay for the module's life.
local state = {}
for _, row in ipairs(procRows) do
  local name, codes = row[1], row[2]
  local st = {n = 0}
  state[name] = st
  st.P = T.procType("res.P" .. name:gsub("[^%w]", "_"), {Number}, {Out}, function(self)
    -- A proc still running when its runner goes hears Execute once more,
    -- with Status -1, as a cancel notice.
    if self.Status < 0 then
      st.cancelled = (st.cancelled or 0) + 1
      return
    end
    st.n = st.n + 1
    -- Reading the changed inputs clears their change flags.
    self:InputChangeToParaPkg()
    local code = codes[math.min(st.n, #codes)]
    if code ~= -1 and code ~= 2 then self:AddOutputData(Out(st.n)) end
    if code == 0 then self:AcceptInput(self:GetInput(0)) end
    return code
  end)
end
local suspendState = {n = 0}
local Suspends = T.procType("res.Suspends", {Number}, {Out}, function(self)
  local st = suspendState
  st.n = st.n + 1
  st.copy = self
  self:InputChangeToParaPkg()
  if st.n == 1 then return 1 end
  self:AddOutputData(Out(1))
  self:AcceptInput(self:GetInput(0))
  return 0
end)

local before = T.counts()
for _, row in ipairs(procRows) do
  local name, codes, runs, outs, errors, ok, msg = table.unpack(row)
  local st = state[name]
  local P = st.P
  local chain = T.chain(P)
  local realm, cell = T.realmWith("res." .. name, chain)
  realm.CreateFrameData = false
  local finished = nil
  function realm:OnCellFinish(c, success) finished = success end
  realm:AddEnvData(Number(1))
  local msgs = T.during(function()
    realm.ErrorCount = 0
    drive(realm, 1000000)
  end)
  T.eq(st.n, runs, name .. ": runs")
  T.eq(st.cancelled or 0, (codes[#codes] == 2 or codes[#codes] == 3) and 1 or 0,
       name .. ": a proc left running hears the cancel notice")
  local products = 0
  for _, d in ipairs(T.items(realm:GetEnvDataQueue())) do
    if _IsInst(Out, d) then products = products + 1 end
  end
  T.eq(products, outs, name .. ": products in the realm")
  T.eq(realm.ErrorCount, errors, name .. ": errors counted")
  T.eq(finished, ok, name .. ": the cell's run ended with this success flag")
  if msg then T.check(T.has(msgs, msg), name .. ": reports '" .. msg .. "'") end
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

-- A suspended proc keeps the cycle open until it is resumed.
do
  local P = Suspends
  local chain = T.chain(P)
  local realm, cell = T.realmWith("res.suspend", chain)
  realm.CreateFrameData = false
  realm:AddEnvData(Number(1))
  T.eq(drive(realm, 5), 5, "a suspended proc keeps the cycle going")
  T.eq(suspendState.n, 1, "and does not run while suspended")
  local copy = suspendState.copy
  T.eq(copy and copy.IsSuspend, true, "the runner's copy is suspended")
  copy:Resume()
  drive(realm, 50)
  T.eq(suspendState.n, 2, "resumed, it runs again")
  T.eq(realm.ExecuteStage, 3, "and the cycle ends")
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

-- Cell results -----------------------------------------------------------------
-- A cell whose own script answers the code: how the realm step ends it.
local cellRows = {
  {"-1", -1, false, 1},
  {"0", 0, true, 1},
  {"2", 2, false, 1},
  {"3", 3, false, 1},
}
for _, row in ipairs(cellRows) do
  local name, code, ok, calls = table.unpack(row)
  local realm = _New(QZRealmBase)
  local cell = _New(QZCellBase)
  _SetName(cell, "cellres" .. name)
  local n = 0
  function cell:Execute() n = n + 1 return code end
  realm:AddCell(cell)
  local finished
  function realm:OnCellFinish(c, success) finished = success end
  drive(realm, 20)
  T.eq(n, calls, "cell " .. name .. ": called once")
  T.eq(finished, ok, "cell " .. name .. ": the run ended with this success flag")
  T.eq(cell.IsReady, false, "cell " .. name .. ": no longer ready")
  _Free(realm)
  _Free(cell)
end

do
  local realm = _New(QZRealmBase)
  local cell = _New(QZCellBase)
  _SetName(cell, "cellres1")
  local n = 0
  function cell:Execute() n = n + 1 return 1 end
  realm:AddCell(cell)
  local msgs = T.during(function() drive(realm, 4) end)
  T.eq(n, 1, "a suspended cell is not called again")
  T.eq(cell.IsSuspend, true, "its IsSuspend is set")
  T.check(T.has(msgs, "Cell[cellres1] is suspend"), "its suspension is reported")
  T.eq(realm.ExecuteStage, 1, "the cycle stays open")
  cell.IsSuspend = false
  function cell:Execute() n = n + 1 return 0 end
  drive(realm, 10)
  T.eq(realm.ExecuteStage, 3, "resumed, the cycle ends")

  local k = 0
  local cell4 = _New(QZCellBase)
  function cell4:Execute() k = k + 1 if k < 3 then return 4 end return 0 end
  local realm4 = _New(QZRealmBase)
  realm4:AddCell(cell4)
  realm4:Execute()
  T.eq(k, 3, "a cell answering 4 is called again at the next step")

  local d = 0
  local stamps = {}
  local cell5 = _New(QZCellBase)
  function cell5:Execute() d = d + 1 stamps[d] = os.time() if d < 2 then return 6 end return 0 end
  local realm5 = _New(QZRealmBase)
  realm5:AddCell(cell5)
  local steps = 0
  realm5:ResetExecuteOnce(false)
  repeat steps = steps + 1 until not realm5:ExecuteOnce() or steps > 100000
  T.eq(d, 2, "a cell answering 6 runs again after its delay")
  -- On a slow machine the delay may be over by the very next step, so only
  -- "the cycle did not end while the cell waited" is certain.
  T.check(steps >= 2, "steps in between count as changes")
  for _, o in ipairs({realm, cell, realm4, cell4, realm5, cell5}) do _Free(o) end
end

T.balanced(before, "result codes")
T.finish("sched_results")
