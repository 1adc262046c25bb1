-- Where GetStatusWithPos puts each shape: statuses taken from inside a proc's
-- body, while its runner is live, compared with positions worked out by hand
-- from the sizes given (W proc width, H proc height, HI / VI the intervals,
-- R the datum radius).
local T = dofile(arg[1] .. "/services_status_lib.lua")

local Number = QZDataBase:CreateType("lay.Number")
local Mid = QZDataBase:CreateType("lay.Mid")
local Side = QZDataBase:CreateType("lay.Side")
local Out = QZDataBase:CreateType("lay.Out")

-- Runs the chain on one Number in a realm of its own (the procs' bodies take
-- the statuses) and frees it all; returns the messages of the run.
local function runAndTake(chain)
  local realm, cell = T.realmWith("lay.realm", chain)
  realm.CreateFrameData = false
  realm:AddEnvData(Number(5))
  T.errors()
  realm:Execute()
  realm:ClearEnvData()
  local msgs = T.errors()
  _Free(realm)
  _Free(cell)
  _Free(chain)
  return msgs
end

-- One proc, one input, one output holding its datum: the sizes given as 0 -----
local got = {}
local Halve = T.procType("lay.Halve", {Number}, {Mid}, function(self, realm, cell, runner)
  local n = self:GetInput(0)
  self:AddOutputData(Mid(T.value(n) / 2))
  got.status = realm:GetStatusWithPos(cell, 0, 0, 0, 0, 0)
  got.runnerID, got.procID = _ID(runner), _ID(self)
  self:AcceptInput(n)
  return 0
end)
local Splits = T.procType("lay.Splits", {Number}, {Mid, Side}, function(self)
  local d = self:GetInput(0)
  got.splitsID = _ID(self)
  self:AddOutputData(Mid(T.value(d) + 1))
  self:AddOutputData(Side(T.value(d) + 100))
  self:AcceptInput(d)
  return 0
end)
local Child = T.procType("lay.Child", {Side}, {Mid}, function(self, realm, cell)
  local d = self:GetInput(0)
  got.childID = _ID(self)
  if got.take then got.status = realm:GetStatusWithPos(cell, 100, 100, 30, 50, 5) end
  self:AddOutputData(Mid(T.value(d) + 1000))
  self:AcceptInput(d)
  return 0
end)
local Last = T.procType("lay.Last", {Mid}, {Out}, function(self)
  local d = self:GetInput(0)
  self:AddOutputData(Out(T.value(d)))
  self:AcceptInput(d)
  return 0
end)
local Many = QZDataBase:CreateType("lay.Many")
local Three = T.procType("lay.Three", {Side, Side, Side}, {}, function() return 0 end)
local Four = T.procType("lay.Four", {Many, Many, Many, Many}, {Out}, function() return 0 end)
local Start = T.procType("lay.Start", {Number}, {2, Mid, Side}, function(self, realm, cell)
  got.status = realm:GetStatusWithPos(cell, 90, 120, 40, 60, 10)
  self:AcceptInput(self:GetInput(0))
  return 0
end)

local before = T.counts()

do
  runAndTake(T.chain(Halve))
  local status, runnerID, procID = got.status, got.runnerID, got.procID
  T.check(status ~= nil, "a status was taken")
  T.eq(T.keys(status), "TraceFlag,ExecuteStage,ScheduleTickCount,ProcWidth,ProcHeight,DataRadius,HInterval,VInterval,ObjectList",
       "status keys with positions")
  T.eq(table.concat({T.get(status, "ProcWidth"), T.get(status, "ProcHeight"), T.get(status, "DataRadius"),
                     T.get(status, "HInterval"), T.get(status, "VInterval")}, ","), "90,120,10,40,60",
       "zeros take the defaults, 40 and 60 for the intervals")
  local cell = T.cellOf(status)
  T.eq(T.keys(cell), "Type,ObjectName,ObjectID,IsSuspend,ErrorCount,ChildEndMarker,Status,EnvDataSkipCount,NextRunTick," ..
       "IsReady,EnvDataQueue,Elements,NormalRunnerQueue", "cell keys: one cell asked for, no RunningStatus")
  -- The environment datum: a circle at L0 + 3R = 40 + 30, 3R down, no layer.
  T.lines(T.shapes(T.get(cell, "Elements")), {"ElementData 70,30 r10"}, "the cell's datum circle")
  local runners = T.runnersOf(status)
  T.eq(#runners, 1, "one runner")
  local r = runners[1]
  T.eq(T.keys(r), "Type,ObjectName,ObjectID,IsFinish,QZProcStart,Width,Height,PosX,PosY,Elements,ParentID", "runner keys")
  T.eq(T.get(r, "ObjectID"), runnerID, "the runner the body was given")
  T.eq(T.get(r, "ParentID"), T.get(cell, "ObjectID"), "the runner's parent is the cell")
  -- L0 = 40; the proc takes W + 16R = 250, so the runner is 40 + 250 = 290
  -- wide; with the cell's data row the runner starts 2R + VI = 80 down.
  T.eq(T.get(r, "Width"), 290, "runner width")
  T.eq(T.get(r, "PosX"), 0, "runner x")
  T.eq(T.get(r, "PosY"), 80, "runner y: below the data row")
  -- One band of 120 plus VI, and 4R: 40 + 180.
  T.eq(T.get(r, "Height"), 220, "runner height")
  -- Newest shape first: the output's datum (x = L + W + 13R, offset 2R), the
  -- input (x = L + 3R, offset 2R), the box (x = L + 8R, offset 0); y adds
  -- the runner's offset and 4R.
  T.lines(T.shapes(T.get(r, "Elements")),
          {"ElementData 260,140 r10 L0", "ElementInput 70,140 r10 L0", "ElementProc 120,120 90x120 L0"},
          "the runner's shapes")
  local procs = T.list(T.get(r, "QZProcStart"))
  T.eq(#procs, 1, "one proc in the runner")
  local p = procs[1]
  T.eq(T.get(p, "ObjectID"), procID, "the proc is the runner's copy that runs")
  T.eq(T.get(p, "IsCurrent"), true, "the running proc is current")
  local e = T.list(T.get(r, "Elements"))
  T.eq(T.get(e[3], "ObjectID"), procID, "the box names the proc")
  local input = T.list(T.get(p, "InputQueue"))[1]
  T.eq(T.get(e[2], "ObjectName"), "lay.Number", "the input circle is named by the input's type")
  T.eq(T.get(e[2], "ObjectID"), T.get(input, "ObjectID"), "and carries the input's ID")
  local datum = T.list(T.get(T.list(T.get(p, "OutputQueue"))[1], "QZData"))[1]
  T.eq(T.get(e[1], "ObjectID"), T.get(datum, "ObjectID"), "the datum circle carries the datum's ID")
end

-- A child chain one band lower, other sizes ----------------------------------
-- W 100, H 100, HI 30, VI 50, R 5: L0 = 15 + 10 = 25, a proc 100 + 80 = 180.
-- A run through a child chain leaves some objects of its own behind, so
-- this block checks that the status adds nothing to what the same run
-- without it leaves.
local function childRun(take)
  got = {take = take}
  local chain, procs = T.chain(Splits, Last)
  T.check(chain:AddChildProcChain(procs[1], Child, procs[2]), "the child chain hangs under the first proc")
  runAndTake(chain)
end
got = {}
T.balanced(before, "the one-proc run and its status")
local c0 = T.counts()
childRun(false)
local c1 = T.counts()
childRun(true)
do
  local status, splitsID, childID = got.status, got.splitsID, got.childID
  T.check(status ~= nil, "a status was taken in the child chain")
  T.eq(table.concat({T.get(status, "ProcWidth"), T.get(status, "ProcHeight"), T.get(status, "DataRadius"),
                     T.get(status, "HInterval"), T.get(status, "VInterval")}, ","), "100,100,5,30,50",
       "the sizes given are reported")
  local cell = T.cellOf(status)
  local listed = #T.list(T.get(cell, "EnvDataQueue") or _Pkg())
  local y0 = listed > 0 and 2 * 5 + 50 or 0
  local r = T.runnersOf(status)[1]
  -- Splits at 25 is 180 + 30 + its child chain (180) = 390 wide; Last at
  -- 25 + 390 + 30 = 445; final edge 445 + 180 + 30 = 655, width 655 - 30.
  T.eq(T.get(r, "Width"), 625, "runner width with a child chain")
  -- Two bands of 100: 4R + 2 * (100 + 50).
  T.eq(T.get(r, "Height"), 320, "runner height: two bands")
  T.eq(T.get(r, "PosY"), y0, "runner y")
  local procs = T.list(T.get(r, "QZProcStart"))
  T.eq(#procs, 2, "the runner lists its two chain procs")
  T.eq(T.get(procs[1], "ObjectID"), splitsID, "Splits first")
  local children = T.list(T.get(procs[1], "QZProcChild"))
  T.eq(#children, 1, "one child chain")
  local childProcs = T.list(children[1])
  T.eq(#childProcs, 1, "with one proc")
  local c = childProcs[1]
  T.eq(T.get(c, "ObjectID"), childID, "the child chain's proc")
  T.eq(T.get(c, "ChildEndMarker"), true, "it ends its chain")
  T.eq(T.get(c, "QZProcNext"), T.get(procs[2], "ObjectID"), "and leads back to Last")
  T.eq(T.get(c, "ParentID"), splitsID, "its parent is Splits")
  T.check(T.keys(c):find("QZProcNext,ParentID$") ~= nil, "QZProcNext comes before ParentID")
  T.eq(T.get(c, "IsCurrent"), true, "the child proc is the one running")
  T.eq(T.get(procs[1], "IsCurrent"), nil, "Splits is not current")
  -- Boxes at L + 8R: Splits 65, Child 235 + 40 = 275, Last 445 + 40 = 485;
  -- inputs at L + 3R: 40, 250, 460. Layer 0 at y0 + 20, layer 1 at 150 more.
  local boxes, inputs = {}, {}
  for _, e in ipairs(T.list(T.get(r, "Elements"))) do
    local t = T.get(e, "Type")
    if t == "ElementProc" then
      boxes[#boxes + 1] = T.get(e, "PosX") .. "," .. (T.get(e, "PosY") - y0) .. " L" .. T.get(e, "Layer") .. " h" ..
                          T.get(e, "Height")
    elseif t == "ElementInput" then
      inputs[#inputs + 1] = T.get(e, "PosX") .. "," .. (T.get(e, "PosY") - y0) .. " L" .. T.get(e, "Layer")
    end
  end
  -- Layer 0 is listed first (newest first: Last, then Splits), then layer 1.
  T.lines(boxes, {"485,20 L0 h100", "65,20 L0 h100", "275,170 L1 h100"}, "proc boxes")
  T.lines(inputs, {"460,30 L0", "40,30 L0", "250,180 L1"}, "input circles")
  -- Output shapes: Splits' outputs at x = L + W + 10R (a box) or L + W + 13R
  -- (a datum), the same for the others.
  for _, e in ipairs(T.list(T.get(r, "Elements"))) do
    local t, x = T.get(e, "Type"), T.get(e, "PosX")
    if t == "ElementOutput" then
      T.check(x == 175 or x == 385 or x == 595, "output box x " .. x)
      T.eq(T.get(e, "Width"), 10, "output box 2R wide")
      T.eq(T.get(e, "Height"), 10, "and 2R high")
    elseif t == "ElementData" then
      T.check(x == 190 or x == 400 or x == 610, "output datum x " .. x)
    end
  end
end
do
  got = {}
  local c2 = T.counts()
  T.eq(c2.objects - c1.objects, c1.objects - c0.objects, "the status run leaves no object more than the run alone")
  T.eq(c2.packages - c1.packages, c1.packages - c0.packages, "nor a package")
  T.eq(c2.unlocks, c0.unlocks, "no lock released below zero")
  before = c2
end

-- Bands: the highest shape sets every box of its band --------------------------
-- R 10, H 120: three inputs need 2R*3 + 4R = 100 and stay 120; four need 130.
do
  got = {}
  local chain, procs = T.chain(Start, Four)
  T.check(chain:AddChildProcChain(procs[1], Three, procs[2]), "child chain of Three")
  runAndTake(chain)
  local status = got.status
  T.check(status ~= nil, "a status was taken")
  local r = T.runnersOf(status)[1]
  local heights = {}
  for _, e in ipairs(T.list(T.get(r, "Elements"))) do
    if T.get(e, "Type") == "ElementProc" then
      heights[#heights + 1] = "L" .. T.get(e, "Layer") .. ":" .. T.get(e, "Height")
    end
  end
  T.lines(heights, {"L0:130", "L0:130", "L1:120"}, "Start is raised to Four's 130; Three stays 120")
  T.eq(T.get(r, "Height"), 40 + (130 + 60) + (120 + 60), "runner height: 4R and two bands")
  local y0 = T.get(r, "PosY")
  local offsets = {}
  for _, e in ipairs(T.list(T.get(r, "Elements"))) do
    if T.get(e, "Type") == "ElementInput" and T.get(e, "Layer") == 0 then
      offsets[#offsets + 1] = T.get(e, "PosY") - y0 - 40
    end
  end
  -- Four's inputs at 2R + 3R*i, newest first, then Start's one input.
  T.eq(table.concat(offsets, ","), "110,80,50,20,20", "input offsets within the band")
  local start = T.list(T.get(r, "QZProcStart"))[1]
  local outs = T.list(T.get(start, "OutputQueue"))
  T.eq(T.get(outs[1], "ReturnNumber"), 2, "an output returning 2 says so")
  T.eq(T.get(outs[2], "ReturnNumber"), nil, "the usual 1 is left out")
  T.eq(T.get(outs[1], "IsMustExist"), nil, "an optional output leaves IsMustExist out")
  T.eq(T.keys(outs[2]), "DataBaseName,ObjectID,ParentID", "an output without data has only its three keys")
end

got = {}
T.balanced(before, "status layout")
T.finish("services_status_layout")
