-- A whole pipeline: filter, enrich, a per-batch aggregate, save, and load
-- back in a new process.
--
--   ./run.sh examples/sensor_pipeline.lua save FILE [ITEMS [BATCH [WAY]]]
--   ./run.sh examples/sensor_pipeline.lua load FILE
--
-- "save" feeds ITEMS readings (default 1000) in batches of BATCH (default
-- 100) through the realm, one cycle per batch, and writes the summaries to
-- FILE as JSON; "load" reads them back. WAY chooses how the aggregate runs:
--   same    one cell; the aggregate takes its input with count 0, so it runs
--           once the cell has nothing else to do, in the same cycle, and
--           ExecuteForResult answers its summary. The cycle's end releases
--           the rejected readings (the default).
--   next    the aggregate takes its input with count -1 in a second cell;
--           frame data are off, so the enriched readings stay in the realm
--           and the second cell sums them up in the next cycle. The
--           rejected readings would come back too: they are cleared after
--           each cycle.
--   both    runs "same", then "next" in the same process (the default).
-- Each run prints its summary count, its totals and its CPU seconds.

local mode, file = arg[1], arg[2]
assert((mode == "save" or mode == "load") and file,
       "usage: sensor_pipeline.lua save FILE [ITEMS [BATCH [same|next|both]]] | load FILE")

-- Types with a dot in their names: a saved data record of such a type loads
-- without anything else; only saved procs and chains need an object named
-- after the name space ("sensor").
local Reading = QZDataBase:CreateType("sensor.Reading")   -- [sensor, raw value]
local Valid = QZDataBase:CreateType("sensor.Valid")       -- [sensor, raw value]
local Calibrated = QZDataBase:CreateType("sensor.Calibrated") -- [sensor, value]
local Summary = QZDataBase:CreateType("sensor.Summary")   -- [batch, count, sum, min, max]

if mode == "load" then
  -- A new process: only the types exist, made above by the same script.
  local text = assert(io.open(file)):read("a")
  local saved = _Pkg()
  saved:_FromJSon(text)
  local realm = _New(QZRealmBase)
  local objects = realm:LoadObject(saved)
  local count, sum = 0, 0.0
  for i = 0, objects:_Count() - 1 do
    local s = objects:_Get(i)
    count, sum = count + s[1], sum + s[2]
  end
  print(string.format("loaded %d summaries: %d readings, sum %.1f", objects:_Count(), count, sum))
  return
end

local ITEMS = math.tointeger(tonumber(arg[3] or 1000))
local BATCH = math.tointeger(tonumber(arg[4] or 100))
local WAY = arg[5] or "both"

-- Sensor i % 4; every 97th reading is out of range and must be dropped.
local rejected = 0
local function rawValue(i)
  if i % 97 == 0 then return -999.0 end
  return (i * 37 % 1000) / 10.0
end
local GAIN = {[0] = 1.0, 1.02, 0.98, 1.5}

-- 1. Filter: a reading out of range is rejected and makes nothing.
local Validate = QZProcBase:CreateSubType("sensor.Validate")
Validate:InputFrom(Reading)
Validate:OutputFrom(Valid)
function Validate:Execute()
  local r = self:GetInput(0)
  if r[1] < 0 or r[1] > 100 then
    rejected = rejected + 1
    self:RejectInput(r)
    return 0
  end
  self:AddOutputData(Valid(r[0], r[1]))
  self:AcceptInput(r)
  return 0
end

-- 2. Enrich: the sensor's gain applied.
local Calibrate = QZProcBase:CreateSubType("sensor.Calibrate")
Calibrate:InputFrom(Valid)
Calibrate:OutputFrom(Calibrated)
function Calibrate:Execute()
  local v = self:GetInput(0)
  self:AddOutputData(Calibrated(v[0], v[1] * GAIN[v[0]]))
  self:AcceptInput(v)
  return 0
end

-- 3. The aggregate: one run over many calibrated readings, one summary.
local batchNo = 0
local function summarize(proc, realm, count)
  local got = proc:GetInput(0)
  local items = {}
  if realm:IsData(got) then items[1] = got
  else for i = 0, got:_Count() - 1 do items[#items + 1] = got:_Get(i) end end
  local sum, lo, hi = 0.0, math.huge, -math.huge
  for _, c in ipairs(items) do
    local x = c[1]
    sum, lo, hi = sum + x, math.min(lo, x), math.max(hi, x)
  end
  batchNo = batchNo + 1
  proc:AddOutputData(Summary(batchNo, #items, sum, lo, hi))
  for _, c in ipairs(items) do proc:AcceptInput(c) end
  return 0
end
local SumSame = QZProcBase:CreateSubType("sensor.SumSame")
SumSame:InputFrom(0, Calibrated)       -- any number; runs when the cell is idle
SumSame:OutputFrom(Summary)
function SumSame:Execute(realm) return summarize(self, realm) end
local SumNext = QZProcBase:CreateSubType("sensor.SumNext")
SumNext:InputFrom(-1, Calibrated)      -- every waiting one, at least one
SumNext:OutputFrom(Summary)
function SumNext:Execute(realm) return summarize(self, realm) end

-- The realm stub hears every report. A rejected reading makes one level-6
-- line ("finish execute, but it does not generate any output"): count those
-- and pass on the rest.
local Stub = _New(QZRealmStubBase)
local quiet = 0
function Stub:OnException(level, text)
  if level == 6 then quiet = quiet + 1 return end
  QZRealmStubBase.OnException(self, level, text)
end
local stub = _New(Stub)
_LockGC(stub)
_New(QZRealmBase):SetRealmStub(stub)   -- once for the module: every realm's reports

local function pipeline(way)
  local chain = _New(QZProcChainBase)
  chain:FromPara(Validate(), Calibrate())
  local cell = _New(QZCellBase)
  cell:AddProc(chain)
  local realm = _New(QZRealmBase)
  realm:AddCell(cell)
  if way == "same" then
    cell:AddProc(SumSame())
  else
    local second = _New(QZCellBase)
    second:AddProc(SumNext())
    realm:AddCell(second)
    realm.CreateFrameData = false      -- the products wait for the next cycle
  end
  return realm
end

local function run(way)
  batchNo, quiet, rejected = 0, 0, 0
  local realm = pipeline(way)
  local summaries, failed, fed = {}, 0, 0
  local function keep(list)
    for i = 0, list:_Count() - 1 do
      local s = list:_Get(i)
      if s then summaries[#summaries + 1] = s end
    end
  end
  local started = os.clock()
  for first = 1, ITEMS, BATCH do
    for i = first, math.min(first + BATCH - 1, ITEMS) do
      realm:AddEnvData(Reading(i % 4, rawValue(i)))
    end
    if way == "same" then
      keep(realm:ExecuteForResult())   -- the summary; the cycle's end drops the rest
    else
      realm:Execute()
      keep(realm:GetEnvDataQueue(Summary))  -- made from the previous batch
      realm:ClearEnvData(Summary)
      realm:ClearEnvData(Reading)      -- rejected readings would run again
    end
    failed = failed + realm.ErrorCount
    fed = fed + BATCH
    if fed >= 10000 then _CollectGarbage() fed = 0 end  -- now and then, not every batch
  end
  if way == "next" then                -- the last batch's readings still wait
    realm:Execute()
    keep(realm:GetEnvDataQueue(Summary))
    realm:ClearEnvData(Summary)
  end
  local seconds = os.clock() - started
  local count, sum = 0, 0.0
  for _, s in ipairs(summaries) do count, sum = count + s[1], sum + s[2] end
  print(string.format("%s: %d items in batches of %d: %d summaries, %d readings, sum %.1f, %d rejected, %d level-6 lines, %d errors, %.2f s",
                      way, ITEMS, BATCH, #summaries, count, sum, rejected, quiet, failed, seconds))
  return summaries
end

local summaries
if WAY == "both" then
  summaries = run("same")
  run("next")
else
  summaries = run(WAY)
end

-- Save the summaries as one object package, its JSON text in FILE.
local realm = _New(QZRealmBase)
local saved = _Pkg()
assert(realm:SaveObject(saved, table.unpack(summaries)))
local out = assert(io.open(file, "w"))
out:write(saved:_ToJSon())
out:close()
print(string.format("saved %d summaries to %s", #summaries, file))
