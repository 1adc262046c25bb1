-- Where output goes: to the next proc, down a child chain and back, through
-- a cell used as a proc, into the cell's environment through
-- "OnOutputDataToEnv" (whose script may replace entries), into the cell's
-- own outputs (converted when redirected), and back to the realm when the
-- cell's run ends, in its three cases.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local In = QZDataBase:CreateType("route.In")
local Mid = QZDataBase:CreateType("route.Mid")
local Out = QZDataBase:CreateType("route.Out")
local BigOut = Out:CreateType("route.BigOut")
local Other = QZDataBase:CreateType("route.Other")

local First = T.procType("route.First", {In}, {Mid}, function(self)
  local d = self:GetInput(0)
  self:AddOutputData(Mid(T.value(d) + 1))
  self:AcceptInput(d)
  return 0
end)
local Last = T.procType("route.Last", {Mid}, {Out}, function(self)
  local d = self:GetInput(0)
  self:AddOutputData(Out(T.value(d) * 10))
  self:AcceptInput(d)
  return 0
end)

local Fails = T.procType("route.Fails", {In}, {Mid}, function(self)
  if self.Status < 0 then return end
  return -1
end)

-- A proc with a child chain: its side output goes down the child chain,
-- whose end rejoins the parent chain at Last.
local Side = QZDataBase:CreateType("route.Side")
local Splits = T.procType("route.Splits", {In}, {Mid, Side}, function(self)
  local d = self:GetInput(0)
  self:AddOutputData(Mid(T.value(d) + 1))
  self:AddOutputData(Side(T.value(d) + 100))
  self:AcceptInput(d)
  return 0
end)
local childSaw = {}
local Child = T.procType("route.Child", {Side}, {Mid}, function(self)
  local d = self:GetInput(0)
  childSaw[#childSaw + 1] = T.value(d)
  self:AddOutputData(Mid(T.value(d) + 1000))
  self:AcceptInput(d)
  return 0
end)

-- A proc that hands its env datum on as output between two products.
local Out2 = QZDataBase:CreateType("route.Out2")
local Echoes = T.procType("route.Echoes", {In}, {Out, In, Out2}, function(self)
  local d = self:GetInput(0)
  self:AddOutputData(Out(1), d, Out2(2))
  self:AcceptInput(d)
  return 0
end)

-- The chain of another cell whose runner is adopted: its last proc makes
-- the second product type.
local Last2 = T.procType("route.Last2", {Mid}, {Out2}, function(self)
  local d = self:GetInput(0)
  self:AddOutputData(Out2(T.value(d) * 100))
  self:AcceptInput(d)
  return 0
end)

-- A running total: every word of the cycle, plus the total so far when
-- there is one; the total is its own optional input.
local Words = QZDataBase:CreateType("route.Words")
local Counts = QZDataBase:CreateType("route.Counts")
local Tally = T.procType("route.Tally", {-1, Words, "o", Counts}, {Counts}, function(self)
  local ws, prev = self:GetInput(0), self:GetInput(1)
  local list = T.items(ws)
  if #list == 0 then list = {ws} end
  self:AddOutputData(Counts((prev and T.value(prev) or 0) + #list))
  for _, w in ipairs(list) do self:AcceptInput(w) end
  if prev then self:AcceptInput(prev) end
  return 0
end)
-- A proc with a required and an optional input.
local Opt = QZDataBase:CreateType("route.Opt")
local WithOpt = T.procType("route.WithOpt", {In, "o", Opt}, {Out}, function(self)
  local d, o = self:GetInput(0), self:GetInput(1)
  self:AddOutputData(Out(T.value(d) + (o and T.value(o) or 0)))
  self:AcceptInput(d)
  if o then self:AcceptInput(o) end
  return 0
end)

local before = T.counts()

local function values(list, Type)
  local out = {}
  for _, d in ipairs(T.items(list)) do
    if Type == nil or _IsInst(Type, d) then out[#out + 1] = T.value(d) end
  end
  table.sort(out)
  return table.concat(out, ",")
end

-- Entries replaced by "OnOutputDataToEnv" ------------------------------------
do
  local chain = T.chain(First, Last)
  local realm, cell = T.realmWith("route.replace", chain)
  realm.CreateFrameData = false
  local replaced
  function realm:OnOutputDataToEnv(c, proc, list)
    local old = list:_Get(0)
    replaced = Out(T.value(old) + 1000)
    list:_Set(0, replaced)
    list:_Set(1, replaced) -- listed twice: queued once
  end
  realm:AddEnvData(In(1))
  realm:Execute()
  T.eq(values(realm:GetEnvDataQueue(), Out), "1020", "the replacement reached the realm, once")
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

-- The cell's own outputs, plain and redirected ---------------------------------
for _, redirect in ipairs({false, true}) do
  local chain = T.chain(First, Last)
  local realm, cell = T.realmWith("route.outputs" .. tostring(redirect), chain)
  realm.CreateFrameData = false
  cell:OutputFrom(Out)
  if redirect then cell:RedirectOutput(Out, BigOut) end
  local finished
  function realm:OnCellFinish(c, ok) finished = ok end
  realm:AddEnvData(In(2))
  local msgs = T.during(function() realm:Execute() end)
  for _, m in ipairs(msgs) do io.stderr:write("outputs: " .. m .. "\n") end
  T.eq(finished, true, "outputs " .. tostring(redirect) .. ": the cell finished with success")
  local want = redirect and BigOut or Out
  T.eq(values(realm:GetEnvDataQueue(), want), "30", "outputs " .. tostring(redirect) .. ": the cell's output reached the realm")
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

-- A cell without outputs returns its products and the data nobody used -------
do
  local chain = T.chain(First, Last)
  local realm, cell = T.realmWith("route.nooutputs", chain)
  realm.CreateFrameData = false
  local other = Other(5)
  realm:AddEnvData(In(3))
  realm:AddEnvData(other)
  realm:Execute()
  T.eq(values(realm:GetEnvDataQueue(), Out), "40", "the product is handed back")
  T.eq(values(realm:GetEnvDataQueue(), Other), "5", "the datum no cell took stays in the realm")
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

-- A failing cell with outputs drops them and returns what came in -------------
do
  local chain = T.chain(Fails)
  local realm, cell = T.realmWith("route.fails", chain)
  realm.CreateFrameData = false
  cell:OutputFrom(Out)
  local finished
  function realm:OnCellFinish(c, ok) finished = ok end
  local input = In(4)
  realm:AddEnvData(input)
  T.during(function() realm:Execute() end)
  T.eq(finished, false, "the cell's run ended without success")
  T.eq(values(realm:GetEnvDataQueue(), Out), "", "no output")
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

-- ProcessCellEnvDataEx answers what it handed back ----------------------------
do
  local realm = _New(QZRealmBase)
  local cell = _New(QZCellBase)
  realm:AddCell(cell)
  local pkg = realm:ProcessCellEnvDataEx(realm, cell, true)
  T.eq(pkg:_Count(), 0, "a cell with nothing hands back nothing")
  T.eq(realm:ProcessCellEnvDataEx(realm, nil, true):_Count(), 0, "without a cell: an empty package")
  _Free(realm)
  _Free(cell)
end

-- Output into a child chain, and back into the parent chain -----------------
do
  local chain, procs = T.chain(Splits, Last)
  T.check(chain:AddChildProcChain(procs[1], Child, procs[2]), "the child chain hangs under the first proc")
  local realm, cell = T.realmWith("route.child", chain)
  realm.CreateFrameData = false
  realm:AddEnvData(In(1))
  realm:Execute()
  T.eq(table.concat(childSaw, ","), "101", "the side output reached the child chain's proc")
  T.eq(values(realm:GetEnvDataQueue(), Out), "20,11010", "both the direct and the rejoined data reached the last proc")
  T.eq(values(realm:GetEnvDataQueue(), Side), "", "no side datum left over")
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
end

-- A cell used as a proc of a chain: the first proc's output is the cell's
-- input, the cell's own chain runs on it, and the cell's output goes on to
-- the realm like any proc's ----------------------------------------------------
do
  local inner = _New(QZCellBase)
  _SetName(inner, "route.inner")
  inner:InputFrom(Mid)
  inner:OutputFrom(Out)
  local innerChain = T.chain(Last)
  T.check(inner:AddProc(innerChain), "the inner cell runs the last proc")
  local chain = _New(QZProcChainBase)
  T.check(chain:FromPara(First(), inner), "a chain of a proc and a cell")
  local realm, cell = T.realmWith("route.cellproc", chain)
  realm.CreateFrameData = false
  realm:AddEnvData(In(4))
  local msgs = T.during(function() realm:Execute() end)
  T.eq(#msgs, 0, "the run through the cell reports nothing")
  T.eq(values(realm:GetEnvDataQueue(), Out), "50", "the inner cell's output reached the realm")
  T.eq(values(realm:GetEnvDataQueue(), Mid), "", "the inner cell took its input")
  T.eq(realm.ErrorCount, 0, "no error")
  realm:ClearEnvData()
  for _, o in ipairs({realm, cell, chain, innerChain, inner}) do _Free(o) end
end

-- A run that hands one of its env data on as output fails at once: what it
-- produced before and after that datum goes nowhere, and nothing is left ----
do
  local c0 = T.counts()
  for round = 1, 3 do
    local chain = T.chain(Echoes)
    local realm, cell = T.realmWith("route.echo", chain)
    realm.CreateFrameData = false
    local toEnv = 0
    function realm:OnOutputDataToEnv() toEnv = toEnv + 1 end
    realm:AddEnvData(In(round))
    local msgs = T.during(function() realm:Execute() end)
    T.check(T.has(msgs, "Proc[]'s output data [] is comes from env, it can not output to env again"),
            "round " .. round .. ": reported (" .. table.concat(msgs, " | ") .. ")")
    T.eq(toEnv, 0, "round " .. round .. ": nothing of the failed run goes through OnOutputDataToEnv")
    T.eq(values(realm:GetEnvDataQueue(), Out) .. "/" .. values(realm:GetEnvDataQueue(), Out2), "/",
         "round " .. round .. ": no product of the failed run reached the realm")
    T.check(realm.ErrorCount >= 1, "round " .. round .. ": the error is counted")
    realm:ClearEnvData()
    for _, o in ipairs({realm, cell, chain}) do _Free(o) end
  end
  T.balanced(c0, "a run that outputs an env datum")
end

-- A runner adopted with AddRunner runs in its new cell, whichever cell it
-- was made for: it carries its own chain's run on the cell's data, beside
-- the cell's own chain; each product reaches the realm once, nothing is lost
-- or left.
do
  -- what, made by the other cell, adopted there first, the other cell freed
  local rows = {
    {"made by the cell itself", false, false, false},
    {"made for another cell", true, false, false},
    {"taken from another cell's queue", true, true, false},
    {"of a cell freed before the run", true, false, true},
  }
  local c0 = T.counts()
  for _, row in ipairs(rows) do
    local what, foreign, queuedThere, freeOther = table.unpack(row)
    local chain = T.chain(First, Last)
    local realm, cell = T.realmWith("route.adopt", chain)
    realm.CreateFrameData = false
    local other = _New(QZCellBase)
    local otherChain = T.chain(First, Last2)
    T.check(other:AddProc(otherChain), "the other cell runs a chain of its own")
    local owner = foreign and other or cell
    local r = owner:RunnerFromProcChain(realm, owner:GetProcChainQueue():_Get(0))
    T.check(r ~= nil, what .. ": a runner")
    if queuedThere then T.check(other:AddRunner(r), what .. ": adopted there first") end
    T.eq(cell:AddRunner(r), true, what .. ": adopted")
    T.eq(_Parent(r), cell, what .. ": the runner sits in the cell")
    T.eq(r:GetCell(), cell, what .. ": and runs for it")
    if freeOther then _Free(other) other = nil end
    realm:AddEnvData(In(5))
    local msgs = T.during(function() realm:Execute() end)
    local q = realm:GetEnvDataQueue()
    T.eq(values(q, Out) .. "/" .. values(q, Out2) .. "/" .. values(q, In), foreign and "60/600/" or "60//",
         what .. ": each chain's product once, the input taken")
    T.eq(table.concat(msgs, " | "), "", what .. ": no report")
    T.eq(realm.ErrorCount, 0, what .. ": no error")
    realm:ClearEnvData()
    for _, o in ipairs({realm, cell, chain, other, otherChain}) do _Free(o) end
  end
  T.balanced(c0, "adopted runners")
end

-- Data a proc holds in its inputs but never ran with are not used: when the
-- cell's run ends they go back to the realm like the data no proc took. A
-- running total's product, which its own proc holds as its optional input,
-- comes out, and the next cycle adds to it; an optional datum taken while
-- the required input never came waits in the realm for the next cycle.
do
  -- A datum as its type's name and its value (copies of copies have no
  -- name of their own: the first named class up the chain is the type).
  local function typed(d)
    local m = d
    while m ~= nil and _Name(_Class(m)) == "" do m = _Class(m) end
    return (m and _Name(_Class(m)) or "?") .. "=" .. T.value(d)
  end
  local function envText(realm)
    local out = {}
    for _, d in ipairs(T.items(realm:GetEnvDataQueue())) do out[#out + 1] = typed(d) end
    table.sort(out)
    return table.concat(out, ",")
  end
  -- what, chain, cell outputs, first cycle's data, after it, second cycle's data, after it, cell inputs
  local rows = {
    {"running total", Tally, nil, {Words("a"), Words("b"), Words("c")}, "route.Counts=3",
     {Words("d"), Words("e")}, "route.Counts=5"},
    {"optional input without the required one", WithOpt, nil, {Opt(7)}, "route.Opt=7", {In(1)}, "route.Out=8"},
    {"the same in a cell with outputs", WithOpt, Out, {Opt(7)}, "route.Opt=7", {In(1)}, "route.Out=8"},
    -- The cell's own output takes the total's type: the proc that gathers
    -- the cell's outputs passes over a total from outside, which is no use.
    {"a total without words in a cell that outputs totals", Tally, Counts, {Counts(3)}, "route.Counts=3",
     {Words("d"), Words("e")}, "route.Counts=5"},
    {"the same, the cell taking words and a total itself", Tally, Counts, {Counts(3)}, "route.Counts=3",
     {Words("d"), Words("e")}, "route.Counts=5", {-1, Words, "o", Counts}},
  }
  local c0 = T.counts()
  for _, row in ipairs(rows) do
    local what, P, output, first, after1, second, after2, inputs = table.unpack(row)
    for _, frames in ipairs({false, true}) do
      local label = what .. (frames and " (frame data)" or "")
      local realm, cell = T.realmWith("route.unused", (T.chain(P)))
      if inputs then cell:InputFrom(table.unpack(inputs)) end
      if output then cell:OutputFrom(output) end
      realm.CreateFrameData = frames
      local framed = {}
      function realm:OnFrameData(f)
        for _, d in ipairs(T.items(f:GetDataBuf())) do framed[#framed + 1] = typed(d) end
      end
      for _, d in ipairs(first) do realm:AddEnvData(d) end
      T.during(function() realm:Execute() end)
      T.eq(realm.ErrorCount, 0, label .. ": no error")
      if frames then
        -- The cycle's data, the unused one among them, go to "OnFrameData".
        T.check(T.has(framed, after1), label .. ": " .. after1 ..
                " among the frame's data (" .. table.concat(framed, ",") .. ")")
        T.eq(envText(realm), "", label .. ": the realm's env emptied at the cycle's end")
      else
        T.eq(envText(realm), after1, label .. ": back in the realm after the first cycle")
        for _, d in ipairs(second) do realm:AddEnvData(d) end
        T.during(function() realm:Execute() end)
        T.eq(envText(realm), after2, label .. ": the second cycle used it")
      end
      realm:ClearEnvData()
      _Free(realm)
      _Free(cell)
    end
  end
  T.balanced(c0, "unused data handed back")
end

-- Env data added and cleared again without a run leave nothing behind -----
do
  local realm = _New(QZRealmBase)
  realm:AddEnvData(In(7), In(8))
  realm:ClearEnvData()
  _Free(realm)
end

T.balanced(before, "routing")

T.finish("sched_routing")
