-- Env data of a cell: adding (stamps, live count, refusals, packages) and
-- capturing (out of another cell, out of a proc's output, locks given back),
-- removing and clearing, listings in cycle order with equal stamps, the
-- unhandled-data queries, equal data, counts for a proc and IsFinishExcept.
local T = dofile(arg[1] .. "/cell_testlib.lua")

local before = T.counts()
local D = QZDataBase:CreateType("env.D")
local E = QZDataBase:CreateType("env.E")
local P = T.ptype("env.P", {D})

local realm = T.named(_New(QZRealmBase), "realm")
realm.ScheduleTickCount = 7
realm.DataSequenceIndex = 5
realm.InitialLiveCount = 3

local function env(cell) return T.items(cell:GetEnvDataQueue()) end

-- Adding: each row gives the arguments after the cell, the data the copies
-- are made from (in order), and the messages.
do
  local d1, d2, e1 = T.named(D(1), "d1"), T.named(D(2), "d2"), T.named(E(3), "e1")
  local probe = T.named(_New(QZCellBase), "probe")
  local notData = T.prefix(probe) .. "'s as Add or Capture EnvData failed, input is not qzdata instance or null"
  local existed = T.prefix(probe) .. "'s as Add or Capture EnvData failed, input has existed in cell"
  local noRealm = T.prefix(probe) .. "'s as AddEnvData failed,the first parameter must be a realm"
  local rows = {
    {"two data", {realm, d1, d2}, {d1, d2}, {}},
    {"one datum twice ends the call", {realm, d1, d1, d2}, {d1}, {existed}},
    {"a package with a number", {realm, _Pkg(d1, 42, e1)}, {d1, e1}, {notData}},
    {"numbers and strings skipped", {realm, 5, "x", d2}, {d2}, {}},
    {"a plain object", {realm, _New(_Object), e1}, {e1}, {notData}},
    {"a built-in data class", {realm, QZDataSetBase, d1}, {d1}, {notData}},
    {"no realm", {d1, d2}, {}, {noRealm}},
  }
  for _, row in ipairs(rows) do
    probe:ClearEnvData()
    T.expect_errors(function() probe:AddEnvData(table.unpack(row[2])) end, row[4], row[1])
    local got = env(probe)
    T.eq(#got, #row[3], row[1] .. ": copies made")
    for i, from in ipairs(row[3]) do
      T.check(got[i] ~= nil and _Class(got[i]) == from, row[1] .. ": copy " .. i .. " made from its datum")
    end
  end
  T.eq(_Parent(d1), nil, "the given data stay where they were")

  -- Stamps, live count, sources and owners of the copies.
  probe:ClearEnvData()
  probe.IsEnvDataQueueChange = false
  realm.DataSequenceIndex = 5
  d1.OwnerRunnerProcID = "0A1B2C3D-0000-4000-8000-00000000ABCD"
  probe:AddEnvData(realm, d1, d2)
  local c1, c2 = table.unpack(env(probe))
  T.eq(c1.ScheduleTickCount, 7, "stamped with the realm's tick")
  T.eq(c1.SequenceIndex, 6, "first sequence number")
  T.eq(c2.SequenceIndex, 7, "second sequence number")
  T.eq(realm.DataSequenceIndex, 7, "the realm's counter moved on")
  T.eq(c1.LiveCount, 3, "live count from the realm")
  T.eq(c1:GetSource(), nil, "no sources")
  T.eq(probe:IsFromOutSide(c1), true, "the copy counts as from outside")
  T.eq(probe:IsFromOutSide(d1), false, "the datum it was made from does not")
  T.eq(probe:IsFromOutSide(), false, "nil is not from outside")
  T.eq(probe.IsEnvDataQueueChange, true, "the change is flagged")

  -- A type takes none.
  local CT = QZCellBase:CreateType("env.CT")
  T.expect_errors(function() CT:AddEnvData(realm, d1) end,
                  {T.prefix(CT) .. " is cell Type, can not Add or Capture EnvData"}, "a cell type")
  _Free(CT)
  _Free(probe)
  for _, o in ipairs({d1, d2, e1}) do _Free(o) end
end

-- Capturing ---------------------------------------------------------------------
do
  local from, to = T.named(_New(QZCellBase), "from"), T.named(_New(QZCellBase), "to")
  local d = D(5)
  from:AddEnvData(realm, d)
  local held = env(from)[1]
  held.ScheduleTickCount, held.SequenceIndex = 3, 9
  local refs = _RefCount(held)
  to:CaptureEnvData(realm, held)
  T.eq(#env(from), 0, "the captured datum left the other cell")
  T.eq(_Parent(held), nil, "and has no place now")
  -- The copy holds the datum it was made from: one hold comes, the old
  -- place's goes.
  T.eq(_RefCount(held), refs, "the lock of its old place is given back")
  local copy = env(to)[1]
  T.eq(_Class(copy), held, "the copy is made from it")
  T.eq(copy.ScheduleTickCount, 3, "capture keeps the tick")
  T.eq(copy.SequenceIndex, 9, "and the sequence number")

  -- Out of a proc's output: the output's lock goes with it.
  local maker = T.ptype("env.Maker", nil, {D})
  local m = _New(maker)
  local out = D(6)
  m:AddOutputData(out)
  T.eq(_Parent(out) ~= nil, true, "the output holds the datum")
  refs = _RefCount(out)
  to:CaptureEnvData(realm, out)
  T.eq(_Parent(out), nil, "captured out of the output")
  T.eq(_RefCount(out), refs, "the output's lock is given back")

  T.expect_errors(function() to:CaptureEnvData(d, D(7)) end,
                  {T.prefix(to) .. "'s as CaptureEnvData failed,the first parameter must be a realm"},
                  "capture without a realm")
  T.eq(#env(to), 2, "nothing captured without a realm")
  _Free(from) _Free(to) _Free(m) _UnLockGC(maker) _Free(maker) _Free(d)
end

-- Removing and clearing -----------------------------------------------------------
do
  local cell = _New(QZCellBase)
  local d1, d2, e1 = D(1), D(2), E(3)
  cell:AddEnvData(realm, d1, d2, e1)
  local c1, c2, c3 = table.unpack(env(cell))
  cell:RemoveEnvData(d1)
  T.eq(#env(cell), 3, "the given datum is not an env datum: nothing removed")
  cell:RemoveEnvData(c1, 5, "x")
  T.eq(#env(cell), 2, "its copy is removed, other arguments skipped")
  cell:RemoveEnvData(_Pkg(c2, c3))
  T.eq(#env(cell), 0, "a package of copies is removed")
  cell:AddEnvData(realm, d1, d2, e1)
  cell:ClearEnvData(E)
  T.eq(T.names(cell:GetEnvDataQueue(E)), "", "ClearEnvData with a class takes its instances")
  T.eq(#env(cell), 2, "and only those")
  cell:ClearEnvData()
  T.eq(#env(cell), 0, "ClearEnvData without a class takes all")
  _Free(cell)
  for _, o in ipairs({d1, d2, e1}) do _Free(o) end
end

-- Listings in cycle order; equal stamps keep every datum ----------------------------
do
  local cell = _New(QZCellBase)
  local data = {}
  for i = 1, 5 do data[i] = T.named(D(i), "d" .. i) end
  cell:AddEnvData(realm, table.unpack(data))
  local copies = env(cell)
  local stamps = {{9, 1}, {8, 2}, {9, 0}, {8, 2}, {8, 2}}
  for i, c in ipairs(copies) do
    c.ScheduleTickCount, c.SequenceIndex = stamps[i][1], stamps[i][2]
    _SetName(c, "c" .. i)
  end
  T.eq(T.names(cell:GetEnvDataQueue()), "c2,c4,c5,c3,c1", "tick, then sequence; equal stamps all listed")
  T.eq(T.names(cell:GetEnvDataFrame(8)), "c2,c4,c5", "one frame")
  T.eq(T.names(cell:GetEnvDataFrame(5)), "", "an empty frame")
  T.eq(T.names(cell:GetEnvDataUnHandled()), "c2,c4,c5,c3,c1", "every datum is unhandled at first")

  -- Handled: excluded for a proc that does not reject it.
  local p = _New(P)
  copies[2]:AddExclude(p)
  T.eq(T.names(cell:GetEnvDataUnHandled()), "c4,c5,c3,c1", "a datum a proc excluded is handled")
  copies[3]:AddReject(p)
  T.eq(T.names(cell:GetEnvDataUnHandled()), "c4,c5,c3,c1", "a proc that rejected it does not count")
  copies[1].OwnerRunnerProcID = "0A1B2C3D-0000-4000-8000-00000000ABCD"
  T.eq(T.names(cell:GetEnvDataUnHandled(nil, 1)), "c4,c5,c3", "Type 1: from outside only")
  T.eq(T.names(cell:GetEnvDataUnHandled(nil, 2)), "c1", "Type 2: made inside only")
  T.eq(T.names(cell:GetEnvDataUnHandled(E, 0)), "", "instances of a class only")
  T.expect_errors(function() return cell:GetEnvDataUnHandled(5) end,
                  {T.prefix(cell) .. "'s function \"GetEnvDataUnHandled\" failed, the input QZDataBase is not instance of QZDataBaseClass"},
                  "a class filter that is no data")

  -- Equal data.
  T.eq(cell:GetEqualData(D(4)), copies[4], "an equal env datum of the type")
  T.eq(cell:GetEqualData(D(40)), nil, "none equal")
  T.eq(cell:GetEqualData(E(4)), nil, "another type")
  T.eq(cell:GetEqualData("x"), nil, "no data")
  _Free(cell) _Free(p)
  for _, o in ipairs(data) do _Free(o) end
end

-- Counts for a proc and IsFinishExcept ---------------------------------------------
do
  local cell = T.named(_New(QZCellBase), "counts")
  local d1, d2, e1 = D(1), D(2), E(3)
  cell:AddEnvData(realm, d1, d2, e1)
  local copies = env(cell)
  T.eq(cell:NumberOfEnvData(_New(P), -1, false), 0,
       "a proc outside the cell's chains counts nothing") -- message checked below
  T.errors()
  local loner = _New(P)
  T.expect_errors(function() return cell:NumberOfEnvData(loner, -1, false) end,
                  {T.prefix(cell) .. "'s function \"NumberOfEnvData\" failed, the input Proc is not in runner or in any procchain of the cell"},
                  "a proc of no chain of the cell")
  cell:AddProc(P)
  T.eq(cell:NumberOfEnvData(P, -1, false), 2, "the type stands for its proc in the cell's chain: two D")
  T.eq(cell:NumberOfEnvData(P, 0, false), 2, "input 0 alone")
  T.eq(cell:NumberOfEnvData(P, 1, false), 0, "no input 1")
  local inChain = cell:GetProcChainQueue():_Get(0):GetFirstProc()
  copies[1]:AddExclude(inChain)
  T.eq(cell:NumberOfEnvData(P, -1, false), 1, "a datum that excludes the proc is not counted")
  T.eq(cell:NumberOfEnvData(5), 0, "no proc, no count")

  T.eq(cell:IsFinishExcept(copies[3], nil), true, "no chain takes an E: finished")
  T.eq(cell:IsFinishExcept(copies[2], nil), false, "the chain's first proc takes a D")
  T.eq(cell:IsFinishExcept(copies[1], nil), true, "unless the datum excludes it")
  T.eq(cell:IsFinishExcept(d1, nil), true, "a datum of no cell's env is finished here")
  T.eq(cell:IsFinishExcept(5, nil), false, "no datum")
  _Free(cell) _Free(loner)
  for _, o in ipairs({d1, d2, e1}) do _Free(o) end
end

_Free(realm)
_UnLockGC(P)
for _, o in ipairs({P, D, E}) do _Free(o) end
P, D, E, realm = nil, nil, nil, nil
T.balanced(before, "env data")
T.finish("cell_envdata")
