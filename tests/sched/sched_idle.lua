-- Cells with nothing to do: a cell whose chain waits for a type that never
-- comes, beside a cell that works. Each cycle the idle cell still has its
-- step and its finish events, in their order, and ends its run; its
-- unallocated-data check still asks the realm when the limit is below zero,
-- with nothing in its env.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local before = T.counts()

local Number = QZDataBase:CreateType("idle.Number")
local Never = QZDataBase:CreateType("idle.Never")
local Doubled = QZDataBase:CreateType("idle.Doubled")
local Unused = QZDataBase:CreateType("idle.Unused")

local Double = T.procType("idle.Double", {Number}, {Doubled}, function(self)
  local d = self:GetInput(0)
  self:AddOutputData(Doubled(T.value(d) * 2))
  self:AcceptInput(d)
  return 0
end)
local Waits = T.procType("idle.Waits", {Never}, {Unused}, function(self)
  error("the idle chain never runs")
end)

-- A realm with the working cell first and the idle one after it; log holds
-- the finish events of the idle cell, on the cell and on the realm.
local function setup(limit, answer)
  local realm, busy = T.realmWith("idle.realm", (T.chain(Double)))
  local idle = _New(QZCellBase)
  _SetName(idle, "idle.cell")
  T.check(idle:AddProc((T.chain(Waits))), "idle chain added")
  realm:AddCell(idle)
  realm.CreateFrameData = false
  if limit then realm.MaxUnAllocatedData = limit end
  local log = {}
  function idle:OnCellToBeFinish(r)
    log[#log + 1] = "cell:OnCellToBeFinish"
    return false
  end
  function idle:OnCellFinish(r, ok)
    log[#log + 1] = "cell:OnCellFinish " .. tostring(ok)
  end
  function realm:OnCellToBeFinish(c)
    if c == idle then log[#log + 1] = "realm:OnCellToBeFinish" end
    return false
  end
  function realm:OnCellFinish(c, ok)
    if c == idle then log[#log + 1] = "realm:OnCellFinish " .. tostring(ok) end
  end
  local asked = 0
  function realm:OnMoreUnAllocatedData(c)
    if c == idle then asked = asked + 1 end
    return answer or 0
  end
  return realm, busy, idle, log, function() return asked end
end

-- Three cycles: the same four events each time, the idle cell ends its run,
-- the working cell's output arrives.
do
  local realm, busy, idle, log = setup()
  for i = 1, 3 do
    realm:AddEnvData(Number(i))
    local msgs = T.during(function() realm:Execute() end)
    local out = realm:GetEnvDataQueue(Doubled)
    T.eq(out:_Count(), 1, "cycle " .. i .. ": the working cell's output")
    T.eq(T.value(out:_Get(0)), i * 2, "cycle " .. i .. ": its value")
    T.eq(idle.IsReady, false, "cycle " .. i .. ": the idle cell's run ended")
    T.check(not T.hasPrefix(msgs, "Cell[idle.cell]"), "cycle " .. i .. ": no report about the idle cell")
    realm:ClearEnvData()
  end
  local expected = {}
  for i = 1, 3 do
    for _, e in ipairs({"cell:OnCellToBeFinish", "realm:OnCellToBeFinish", "cell:OnCellFinish true",
                        "realm:OnCellFinish true"}) do
      expected[#expected + 1] = e
    end
  end
  T.eq(table.concat(log, ", "), table.concat(expected, ", "), "the idle cell's finish events, in order, each cycle")
  for _, o in ipairs({realm, busy, idle}) do _Free(o) end
end

-- The unallocated-data limit of an idle cell: nothing unallocated exceeds
-- only a limit below zero; the realm's answer raises it or kills the run.
local rows = {
  -- limit, answer, asked, killed
  {nil, 0, 0, false},
  {0, 0, 0, false},
  {-1, 0, 1, true},
  {-1, 1, 1, false},
}
for _, row in ipairs(rows) do
  local limit, answer, askedWant, killed = table.unpack(row)
  local name = "limit " .. tostring(limit) .. " answer " .. tostring(answer)
  local realm, busy, idle, log, asked = setup(limit, answer)
  realm:AddEnvData(Number(1))
  local msgs = T.during(function() realm:Execute() end)
  T.eq(asked(), askedWant, name .. ": the realm asked")
  local text = "Cell[idle.cell] create more env data larger than [" .. tostring(limit) .. "], it's running is killed"
  T.eq(T.has(msgs, text), killed, name .. ": the run killed")
  -- A killed run finishes without its hooks' say, as a failure.
  local finish = killed and "cell:OnCellFinish false, realm:OnCellFinish false"
    or "cell:OnCellToBeFinish, realm:OnCellToBeFinish, cell:OnCellFinish true, realm:OnCellFinish true"
  T.eq(table.concat(log, ", "), finish, name .. ": the finish events")
  T.eq(idle.IsReady, false, name .. ": the idle cell's run ended")
  realm:ClearEnvData()
  for _, o in ipairs({realm, busy, idle}) do _Free(o) end
end

-- The proc types stay: only the locks are compared.
T.eq(T.counts().unlocks, before.unlocks, "idle cells: no lock released below zero")
T.finish("sched_idle")
