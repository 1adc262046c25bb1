-- SyncFrom: refusals, counters and limits taken over, shared histories,
-- independent copies of active records, and one record per key object.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local before = T.counts()
local D = QZDataBase:CreateType("sync.D")

local function source()
  local s = _New(QZRealmBase)
  s.ScheduleTickCount, s.DataSequenceIndex = 12, 40
  s.ActiveLength, s.InitialLiveCount, s.MaxUnAllocatedData = 7, 8, 9
  s.MaxSourceDataLength, s.MaxLoopCount, s.HistoryLength, s.MaxSuspendTickCount = 10, 11, 12, 5000
  s.TraceFlag, s.CreateFrameData, s.ErrorCount = true, false, 3
  return s
end

-- Refusals change nothing.
do
  local r = _New(QZRealmBase)
  for _, row in ipairs({{"itself", r}, {"nil", nil}, {"a datum", D(1)}, {"a plain object", _New(_Object)},
                        {"the realm class", QZRealmBase}}) do
    T.eq(r:SyncFrom(row[2], true), false, "SyncFrom(" .. row[1] .. ") refused")
  end
  T.eq(r.ScheduleTickCount + r.DataSequenceIndex, 0, "nothing taken over")
  _Free(r)
end

-- Counters and limits are copied; stage, flags and errors are not; the
-- next stamp continues the source's sequence.
do
  local s, r = source(), _New(QZRealmBase)
  T.eq(r:SyncFrom(s, false), true, "SyncFrom of a realm")
  for _, f in ipairs({"ScheduleTickCount", "DataSequenceIndex", "ActiveLength", "InitialLiveCount", "MaxUnAllocatedData",
                      "MaxSourceDataLength", "MaxLoopCount", "HistoryLength", "MaxSuspendTickCount"}) do
    T.eq(r[f], s[f], f .. " taken over")
  end
  T.eq(r.TraceFlag, false, "TraceFlag stays")
  T.eq(r.CreateFrameData, true, "CreateFrameData stays")
  T.eq(r.ErrorCount, 0, "ErrorCount stays")
  r:AddEnvData(D(1))
  local item = r:GetEnvDataQueue():_Get(0)
  T.eq(item.ScheduleTickCount, 12, "the next datum has the source's tick")
  T.eq(item.SequenceIndex, 41, "and continues its sequence")

  -- The histories are shared, not copied.
  s:GetFactHistory():_Append("seen")
  T.eq(r:GetFactHistory():_Count(), 1, "the fact history is the source's")
  r:GetPredictHistory():_Append(1)
  T.eq(s:GetPredictHistory():_Count(), 1, "the predict history is the source's")
  item = nil
  _Free(s)
  T.eq(r:GetFactHistory():_Get(0), "seen", "a shared history outlives the source realm")
  _Free(r)
end

-- Active records: untouched without the flag, independent copies with it,
-- one record (and one lock) per key object.
do
  local s, r = source(), _New(QZRealmBase)
  local x, y, z = T.named(_New(_Object), "x"), T.named(_New(_Object), "y"), T.named(_New(_Object), "z")
  s:ActiveObject(5, y)
  s:ActiveObject(2, x, y)
  r:ActiveObject(9, z)
  r:ActiveObject(1, x)
  local base = _RefCount(x)
  r:SyncFrom(s, false)
  T.eq(r:GetActiveCount(y), 0, "without the flag no record is copied")
  T.eq(r:GetActiveCount(x), 1, "and the realm's own records stay")
  r:SyncFrom(s, true)
  T.eq(r:GetActiveCount(x), s:GetActiveCount(x), "with the flag the count is the source's")
  T.eq(r:GetActiveCount(y), 5, "every record copied")
  T.eq(r:GetActiveCount(z), 9, "records of the realm's own are kept")
  T.eq(_RefCount(x), base, "a key the realm had keeps its one record and lock")
  T.eq(_RefCount(y), 3, "a copied record locks its object (proxy, source, copy)")
  r:LinkSourceObject(x, z)
  T.eq(r:GetSourceObject(x):_Count(), 2, "the copy's source list changed")
  T.eq(s:GetSourceObject(x):_Count(), 1, "the source realm's did not")
  r:SyncFrom(s, true)
  T.eq(r:GetSourceObject(x):_Count(), 1, "a second sync replaces the record's lists")
  _Free(s)
  _Free(r)
  T.eq(_RefCount(x), 1, "every lock back")
  for _, o in ipairs({x, y, z}) do _Free(o) end
end

_Free(D)
D = nil
T.balanced(before, "sync")
T.finish("realm_sync")
