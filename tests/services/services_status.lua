-- GetStatus and GetStatusWithPos: what a status package holds for a realm,
-- for one cell and for things that are no cell; the BreakOnProcContinue step
-- before a cell without runners is described; the 48-data limit of a cell's
-- listing; refused sizes; and that queries give back every object and
-- package.
local T = dofile(arg[1] .. "/services_status_lib.lua")

local Number = QZDataBase:CreateType("st.Number")
local Half = QZDataBase:CreateType("st.Half")

local got = {}
local Halve = T.procType("st.Halve", {Number}, {Half}, function(self, realm, cell)
  local n = self:GetInput(0)
  if got.take then got.status = got.take(realm, cell) end
  got.take = nil
  self:AddOutputData(Half(T.value(n) / 2))
  self:AcceptInput(n)
  return 0
end)

local before = T.counts()

-- A realm on its own: the counters and an empty object list -------------------
do
  local realm = _New(QZRealmBase)
  realm.TraceFlag = true
  realm.ScheduleTickCount = 12345678901
  local s = realm:GetStatus()
  T.eq(T.keys(s), "TraceFlag,ExecuteStage,ScheduleTickCount,ObjectList", "counters and the list, no sizes")
  T.eq(T.get(s, "TraceFlag"), true, "TraceFlag")
  T.eq(T.get(s, "ExecuteStage"), 0, "ExecuteStage")
  T.eq(T.get(s, "ScheduleTickCount"), "12345678901", "the tick as decimal text")
  T.eq(T.get(s, "ObjectList"):_Count(), 0, "no cells, nothing listed")
  _Free(realm)
end

-- Things that are no cell give an empty package --------------------------------
do
  local realm, cell = T.realmWith("st.nocell", (T.chain(Halve)))
  local d = Number(1)
  local p = Halve()
  local calls = 0
  function realm:BreakOnProcContinue() calls = calls + 1 return false end
  local cases = {
    {"a data object", function() return realm:GetStatus(d) end},
    {"a proc", function() return realm:GetStatus(p) end},
    {"a realm", function() return realm:GetStatus(realm) end},
    {"a data object, with positions", function() return realm:GetStatusWithPos(d, 0, 0, 0, 0, 0) end},
  }
  for _, c in ipairs(cases) do
    local s = T.expect_errors(c[2], {}, c[1])
    T.check(s ~= nil, c[1] .. ": a package")
    T.eq(s and s:_Count(), 0, c[1] .. ": an empty package, without even TraceFlag")
  end
  T.eq(calls, 0, "no cell: BreakOnProcContinue is not called")
  -- Not an object at all: the all-cells form.
  local s = realm:GetStatus(42)
  T.eq(#T.list(T.get(s, "ObjectList")), 1, "a number counts as no object: every cell")
  -- Not called on a realm: nil.
  T.eq(QZRealmBase.GetStatus(cell, cell), nil, "on a cell instead of a realm: nil")
  realm:RemoveCell(cell)
  _Free(realm)
  _Free(cell)
end

-- One cell or all of them; BreakOnProcContinue before a cell without runners -
do
  local realm, cell = T.realmWith("st.cells", (T.chain(Halve)))
  _SetName(cell, "st.first")
  local second = _New(QZCellBase)
  _SetName(second, "st.second")
  realm:AddCell(second)
  second.IsReady = false
  local calls, seen = 0, nil
  function realm:BreakOnProcContinue(arg)
    calls = calls + 1
    seen = arg
    return false
  end

  local all = T.expect_errors(function() return realm:GetStatus() end, {}, "all cells")
  T.eq(calls, 0, "the all-cells form never calls BreakOnProcContinue")
  local cells = T.list(T.get(all, "ObjectList"))
  T.eq(#cells, 2, "both cells, in queue order")
  T.eq(T.get(cells[1], "ObjectName") .. "," .. T.get(cells[2], "ObjectName"), "st.first,st.second", "queue order")
  T.eq(T.get(cells[1], "RunningStatus"), "Running", "a ready cell is running")
  T.eq(T.get(cells[2], "RunningStatus"), "Finish", "a cell that is not ready is finished")
  T.eq(T.keys(cells[1]), "Type,ObjectName,ObjectID,IsSuspend,ErrorCount,ChildEndMarker,Status,EnvDataSkipCount," ..
       "NextRunTick,IsReady,RunningStatus", "a cell without runners: its own keys and RunningStatus")
  T.eq(T.get(cells[1], "Type"), "QZCell", "Type")
  T.eq(T.get(cells[1], "ObjectID"), _ID(cell), "ObjectID")

  local one = T.expect_errors(function() return realm:GetStatus(cell) end, {}, "one cell")
  T.eq(calls, 1, "one cell without runners: exactly one BreakOnProcContinue")
  T.check(seen == realm, "it is given the realm")
  local only = T.list(T.get(one, "ObjectList"))
  T.eq(#only, 1, "one cell described")
  T.eq(T.get(only[1], "RunningStatus"), nil, "no RunningStatus when one cell is asked for")

  local withPos = realm:GetStatusWithPos(cell, 0, 0, 0, 0, 0)
  T.eq(calls, 2, "GetStatusWithPos of the cell calls it too")
  local c = T.list(T.get(withPos, "ObjectList"))[1]
  T.eq(T.keys(c), "Type,ObjectName,ObjectID,IsSuspend,ErrorCount,ChildEndMarker,Status,EnvDataSkipCount," ..
       "NextRunTick,IsReady,Elements", "with positions a cell gets its (empty) shapes")
  T.eq(T.get(c, "Elements"):_Count(), 0, "no runner, no data row")

  -- Data in the cell but no runner: no EnvDataQueue.
  cell:AddEnvData(realm, Number(1), Number(2))
  local s = realm:GetStatus(cell)
  T.eq(T.get(T.list(T.get(s, "ObjectList"))[1], "EnvDataQueue"), nil, "data without a runner are not listed")

  -- A failing BreakOnProcContinue is reported; the query goes on.
  function realm:BreakOnProcContinue() error("stepping broke") end
  local msgs, r = T.during(function() return realm:GetStatus(cell) end)
  T.eq(#msgs, 1, "one report")
  T.check(msgs[1] ~= nil and msgs[1]:find("calls the function BreakOnProcContinue failed", 1, true) ~= nil and
          msgs[1]:find("stepping broke", 1, true) ~= nil, "the report names the call and the error: " ..
          tostring(msgs[1]))
  T.eq(#T.list(T.get(r, "ObjectList")), 1, "the cell is still described")

  -- BreakOnProcContinue may free the cell: what is left is no cell.
  local victim = _New(QZCellBase)
  realm:AddCell(victim)
  function realm:BreakOnProcContinue() _Free(victim) return false end
  local empty = T.expect_errors(function() return realm:GetStatus(victim) end, {}, "cell freed by the step")
  T.eq(empty:_Count(), 0, "a cell freed meanwhile gives an empty package")

  cell:ClearEnvData()
  realm:RemoveCell(cell)
  realm:RemoveCell(second)
  _Free(realm)
  _Free(cell)
  _Free(second)
end

-- Mid-run: a cell with a runner, its data listed, no step taken --------------------
do
  local realm, cell = T.realmWith("st.run", (T.chain(Halve)))
  realm.CreateFrameData = false
  local calls = 0
  function realm:BreakOnProcContinue() calls = calls + 1 return false end
  local data = {}
  for i = 1, 60 do data[i] = Number(i) end
  cell:AddEnvData(realm, table.unpack(data))
  got.take = function(r, c)
    got.all = r:GetStatus()
    return r:GetStatusWithPos(c, 0, 0, 0, 0, 0)
  end
  realm:Execute()
  T.eq(calls, 0, "a cell with a runner is described without a step")
  local s, all = got.status, got.all
  got.status, got.all = nil, nil
  T.eq(T.keys(T.cellOf(all)), "Type,ObjectName,ObjectID,IsSuspend,ErrorCount,ChildEndMarker,Status,EnvDataSkipCount," ..
       "NextRunTick,IsReady,EnvDataQueue,NormalRunnerQueue,RunningStatus",
       "all cells mid-run: data and runners, no shapes, RunningStatus last")
  T.eq(T.get(T.cellOf(all), "RunningStatus"), "Running", "the running cell")
  T.eq(T.keys(T.runnersOf(all)[1]), "Type,ObjectName,ObjectID,IsFinish,QZProcStart,ParentID",
       "a runner without positions")
  T.check(s ~= nil, "a status was taken mid-run")
  local c = T.cellOf(s)
  local listed = T.list(T.get(c, "EnvDataQueue"))
  T.eq(#listed, 48, "60 data in the cell: 48 listed")
  local ordered, parents, names = true, true, true
  local last
  for k, d in ipairs(listed) do
    local obj = _FromID(T.get(d, "ObjectID"))
    local seq = obj and obj.SequenceIndex or -1
    if last ~= nil and seq <= last then ordered = false end
    last = seq
    parents = parents and T.get(d, "ParentID") == _ID(cell)
    names = names and T.keys(d) == "Type,ObjectName,ObjectID,ScheduleTickCount,UniformTick,ParentID"
  end
  T.check(ordered, "listed oldest stamp first")
  T.check(parents, "each datum names the cell as its parent")
  T.check(names, "data keys: no OwnerProcID for data from outside")
  local circles = T.shapes(T.get(c, "Elements"))
  T.eq(#circles, 48, "one circle per listed datum")
  T.eq(circles[1], "ElementData 70,30 r10", "the first at L0 + 3R")
  T.eq(circles[48], "ElementData " .. (40 + 40 * 47 + 30) .. ",30 r10", "the 48th at L0 + 4R*47 + 3R")
  T.eq(T.get(T.runnersOf(s)[1], "PosY"), 80, "the runner sits below the data row")
  cell:ClearEnvData()
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
end

-- Data sharing one stamp are all listed --------------------------------------
do
  local realm, cell = T.realmWith("st.stamps", (T.chain(Halve)))
  realm.CreateFrameData = false
  -- Captured data keep the stamp they were made with: all three share one.
  -- The scheduler reports such data as it indexes them; the status lists
  -- them all the same.
  cell:CaptureEnvData(realm, Number(1), Number(2), Number(3))
  got.take = function(r, c) return r:GetStatus(c) end
  realm:Execute()
  T.errors()
  local s = got.status
  got.status = nil
  local env = s and T.get(T.cellOf(s), "EnvDataQueue")
  T.eq(env and env:_Count(), 3, "three data with one stamp: all three listed")
  cell:ClearEnvData()
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
end

-- Sizes --------------------------------------------------------------------------
do
  local realm = _New(QZRealmBase)
  -- Sizes other than 0 are the caller's, negative ones too.
  local cases = {
    -- what, sizes given (W, H, HI, VI, R), reported (ProcWidth, ProcHeight, DataRadius, HInterval, VInterval)
    {"a negative width", {-1, 0, 0, 0, 0}, "-1,120,10,40,60"},
    {"a negative radius", {0, 0, 0, 0, -5}, "90,120,-5,40,60"},
    {"negative intervals", {0, 0, -3, -4, 0}, "90,120,10,-3,-4"},
  }
  for _, c in ipairs(cases) do
    local r = T.expect_errors(function() return realm:GetStatusWithPos(nil, table.unpack(c[2])) end, {}, c[1])
    T.eq(r and table.concat({T.get(r, "ProcWidth"), T.get(r, "ProcHeight"), T.get(r, "DataRadius"),
                             T.get(r, "HInterval"), T.get(r, "VInterval")}, ","), c[3], c[1] .. ": taken as given")
  end
  local s = realm:GetStatusWithPos()
  T.eq(table.concat({T.get(s, "ProcWidth"), T.get(s, "ProcHeight"), T.get(s, "DataRadius"), T.get(s, "HInterval"),
                     T.get(s, "VInterval")}, ","), "90,120,10,40,60", "missing sizes take the defaults")
  s = realm:GetStatusWithPos(nil, 2147483647, 2147483647, 2147483647, 2147483647, 2147483647)
  T.eq(T.get(s, "ProcWidth"), 2147483647, "the largest sizes are taken as they are")
  s = realm:GetStatus()
  T.eq(T.get(s, "ProcWidth"), nil, "GetStatus writes no sizes")
  _Free(realm)
end

-- Huge sizes on a live runner saturate instead of wrapping ------------------------
do
  local realm, cell = T.realmWith("st.huge", (T.chain(Halve)))
  realm.CreateFrameData = false
  realm:AddEnvData(Number(3))
  local big = 2147483647
  got.take = function(r, c) return r:GetStatusWithPos(c, big, big, big, big, big) end
  realm:Execute()
  local s = got.status
  got.status = nil
  local runner = s and T.runnersOf(s)[1]
  T.eq(runner and T.get(runner, "Width"), big, "the width stops at the largest 32-bit value")
  T.eq(runner and T.get(runner, "Height"), big, "and so does the height")
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
end

got = {}
T.balanced(before, "status queries")
T.finish("services_status")
