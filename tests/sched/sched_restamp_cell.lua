-- A cell's candidates are taken by the stamps the data carry when the
-- candidates are looked at, whatever wrote them: a script writing a datum's
-- ScheduleTickCount or SequenceIndex in place.
-- Three data a, b, c (values 1, 2, 3) are captured into the cell with their
-- stamps; while the proc runs on the oldest, a script restamps c. Each row
-- gives the order the proc then meets the data in, as a walk of the cell's
-- env by current stamps gives it (two data under one stamp: the later in
-- queue order hides the earlier, and that is reported).
local T = dofile(arg[1] .. "/sched_testlib.lua")

local A = QZDataBase:CreateType("restamp.A")
local Out = QZDataBase:CreateType("restamp.Out")

-- Writes a stamp in place. (RestoreZelDataProperty replaces the data's
-- exclusion lists too, which makes the cell look at its whole env anyway;
-- the realm's scenario restores stamps.)
local function byAttr(d, tick, seq)
  if tick then d.ScheduleTickCount = tick end
  if seq then d.SequenceIndex = seq end
end

local cell, change, order
-- The first run on a restamps c and asks to run again, so that a stays
-- with its runner and no exclusion list changes before the next runner
-- takes its datum.
local P = T.procType("restamp.P", {A}, {Out}, function(self)
  local d = self:GetInput(0)
  local v = T.value(d)
  if v == 1 and change then
    for _, x in ipairs(T.items(cell:GetEnvDataQueue())) do
      if T.value(x) == 3 then change(x) end
    end
    change = nil
    order[#order + 1] = v
    return 4
  end
  if v ~= 1 then order[#order + 1] = v end
  self:AddOutputData(Out(v))
  self:AcceptInput(d)
  return 0
end)

local before = T.counts()

local rows = {
  -- name, stamps of a, b, c, the change of c, the order, equal stamps reported
  {"c's sequence written below b's", {{1, 1}, {1, 5}, {1, 6}}, function(c) byAttr(c, nil, 3) end, "1,3,2"},
  {"c's tick written below b's", {{1, 1}, {1, 5}, {1, 6}}, function(c) byAttr(c, 0, nil) end, "1,3,2"},
  {"c given b's stamp hides b", {{1, 1}, {1, 5}, {1, 6}}, function(c) byAttr(c, nil, 5) end, "1,3", true},
}

for _, row in ipairs(rows) do
  local name, stamps, how, want, shared = table.unpack(row)
  local chain = T.chain(P)
  local realm
  realm, cell = T.realmWith("restamp.cell", chain)
  realm.CreateFrameData = false
  for i, s in ipairs(stamps) do
    local d = A(i)
    d.ScheduleTickCount = s[1]
    d.SequenceIndex = s[2]
    cell:CaptureEnvData(realm, d)
  end
  order, change = {}, how
  local msgs = T.during(function() realm:Execute() end)
  T.eq(table.concat(order, ","), want, name .. ": order of the runs")
  local reported = false
  for _, m in ipairs(msgs) do
    if m:find("envdatatree error, two or more env data has same index", 1, true) then reported = true end
  end
  T.eq(reported, shared or false, name .. ": equal stamps reported")
  realm:ClearEnvData()
  cell:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

T.balanced(before, "restamp cell")
T.finish("sched_restamp_cell")
