-- A realm's frame and fact history follow the stamps its env data carry at
-- the moment the cycle looks at them, whatever wrote them: a script writing
-- ScheduleTickCount or SequenceIndex in place, or RestoreZelDataProperty.
-- The frame of a cycle takes, at its opening, the data stamped at the
-- opening's tick or later, and at the end of every step each datum stamped
-- above the watermark, which a cycle opens at 0; so data left by earlier
-- cycles with a tick above 0 join at the first step, and a datum raised
-- above 0 during the cycle joins at the end of that step. The fact history
-- names the oldest data by their current stamps.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local D = QZDataBase:CreateType("restamp.R")

local function byAttr(d, tick, seq)
  if tick then d.ScheduleTickCount = tick end
  if seq then d.SequenceIndex = seq end
end
local function byRestore(d, tick, seq)
  local L = _Pkg()
  d:SaveZelDataProperty(L)
  if tick then L:_Set(4, tick, 9) end
  if seq then L:_Set(5, seq, 1) end
  d:RestoreZelDataProperty(L)
end

local function values(pkg)
  local v = {}
  for _, x in ipairs(T.items(pkg)) do v[#v + 1] = T.value(x) end
  table.sort(v)
  return table.concat(v, ",")
end

-- The realm's env item of value v.
local function item(realm, v)
  for _, x in ipairs(T.items(realm:GetEnvDataQueue())) do
    if T.value(x) == v then return x end
  end
end

local before = T.counts()

-- Each row: data added before the first cycle as {value, tick}; what is
-- done before the second cycle opens; what is done at the end of its first
-- step (the cycle then goes on for one more step); data added just before
-- the second cycle; the values of that cycle's frame; with a history length,
-- the values of the fact history after it opened.
local rows = {
  {"data of earlier cycles with a tick above 0 join at the first step",
   {{1, 3}, {2, 0}}, nil, nil, {{3, 7}}, "1,3"},
  {"a datum raised above 0 during the cycle joins",
   {{1, 0}, {2, 0}}, nil, function(r) byAttr(item(r, 1), 9, nil) end, {}, "1"},
  {"a datum restored above 0 during the cycle joins",
   {{1, 0}, {2, 0}}, nil, function(r) byRestore(item(r, 2), 9, 1) end, {}, "2"},
  {"a datum moved to the opening's tick before the cycle counts at its opening",
   {{1, 0}, {2, 4}}, function(r) byAttr(item(r, 1), 4, nil); byAttr(item(r, 2), 0, nil) end, nil, {}, "1"},
  {"the same by RestoreZelDataProperty",
   {{1, 0}, {2, 4}}, function(r) byRestore(item(r, 1), 4, 1); byRestore(item(r, 2), 0, 2) end, nil, {}, "1"},
  {"the history names the datum made oldest by a write",
   {{1, 2}, {2, 3}}, function(r) byAttr(item(r, 2), 1, nil) end, nil, {}, nil, 1, "2"},
  {"the history names the datum made oldest by RestoreZelDataProperty",
   {{1, 2}, {2, 3}}, function(r) byRestore(item(r, 2), 1, 1) end, nil, {}, nil, 1, "2"},
}

for _, row in ipairs(rows) do
  local name, data, between, midway, late, wantFrame, history, wantHistory = table.unpack(row)
  local realm = _New(QZRealmBase)
  _SetName(realm, "restamp.realm")
  realm.CreateFrameData = false
  if history then realm.HistoryLength = history end
  for _, d in ipairs(data) do
    realm.ScheduleTickCount = d[2]
    realm:AddEnvData(D(d[1]))
  end
  realm:Execute()
  if between then between(realm) end
  local frame
  local steps = 0
  function realm:OnAfterExecute()
    steps = steps + 1
    if steps == 1 and midway then
      midway(self)
      return true
    end
    return false
  end
  function realm:OnFrameData(f)
    frame = values(f:GetDataBuf())
  end
  realm.ScheduleTickCount = 4
  for _, d in ipairs(late) do
    realm.ScheduleTickCount = d[2]
    realm:AddEnvData(D(d[1]))
  end
  if wantHistory then
    -- The history is made when the cycle opens.
    function realm:OnBeforeExecute()
      T.eq(values(self:GetFactHistory()), wantHistory, name .. ": fact history")
    end
  end
  realm.CreateFrameData = true
  T.during(function() realm:Execute() end)
  if wantFrame then T.eq(frame, wantFrame, name .. ": frame") end
  realm:ClearEnvData()
  _Free(realm)
end

T.balanced(before, "restamp realm")
T.finish("sched_restamp_realm")
