-- Asynchronous procs lose nothing: over a table of cycles (many data at
-- once, chains of two procs with the worker first, last or both, several
-- cells) each proc runs every datum exactly once and the cycle gives the
-- synchronous cycle's outputs, each exactly once, and its reports.
--
-- A worker's run belongs to the inputs the proc held at its launch: input
-- that reached the proc after its script had taken those and before the run
-- was picked up used to be taken by the pick-up's leftover-input step
-- without ever being run.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")
math.randomseed(tonumber(arg[2] or "") or 4242)

local Number = QZDataBase:CreateType("ax.Number")
local Twice = QZDataBase:CreateType("ax.Twice")
local Plus = QZDataBase:CreateType("ax.Plus")

local function jitter() if math.random(0, 3) == 0 then _Yield(math.random(0, 1)) end end

-- Every run, per proc role and input value.
local runs = {}
local function ran(role, v)
  local r = runs[role]
  r[v] = (r[v] or 0) + 1
end

-- The roles, each as a synchronous and an asynchronous type. "double" takes
-- a Number and gives a Twice of twice its value; "inc" takes a Twice and
-- gives a Plus one more. "lazy" doubles like "double" but leaves its input
-- for the scheduler to take when it finishes. "pair" takes two Numbers at a
-- time and gives a Twice of their sum. "each" takes any number of Twices and
-- gives a Plus one more for each. "mix" takes a Number and, when there is
-- one, a Twice, gives a Plus of ten times the Number plus the Twice, and
-- takes only the Number: the scheduler takes the Twice when it finishes.
local roles = {
  double = {{Number}, Twice, function(v) return v * 2 end, true},
  each = {{0, Twice}, Plus, function(v) return v + 1 end, true},
  mix = {{Number, "o", Twice}, Plus, function(v, w) return v * 10 + (w or 0) end, true},
  inc = {{Twice}, Plus, function(v) return v + 1 end, true},
  lazy = {{Number}, Twice, function(v) return v * 2 end, false},
  pair = {{2, Number}, Twice, function(a, b) return a + b end, true},
}
-- "gen" takes nothing and gives a Twice of 2, 4, ... up to twice the cycle's
-- count, one a run, letting go of the locks in each run.
local genCount, genLast = 0, 0
local types = {
  ["gen.sync"] = T.procType("ax.gen", {}, {Twice}, function(self)
    if self.Status < 0 then return 0 end
    genCount = genCount + 1
    ran("gen", genCount)
    self:AddOutputData(Twice(genCount * 2))
    _Yield(2)
    return genCount < genLast and 4 or 0
  end),
}
local function procType(role, async)
  local key = role .. (async and ".async" or ".sync")
  if role == "gen" then key = "gen.sync" end
  if types[key] then return types[key] end
  local inputs, Out, f, accepts = table.unpack(roles[role])
  local P = T.procType("ax." .. key, inputs, {Out}, function(self)
    if self.Status < 0 then return 0 end
    jitter()
    local got = self:GetInput(0)
    local data = type(got) == "userdata" and got._Count and T.items(got) or {got}
    local values = {}
    for i, d in ipairs(data) do
      values[i] = T.value(d)
      ran(role, values[i])
    end
    local other = role == "mix" and self:GetInput(1)
    if other then
      values[2] = T.value(other)
      ran(role, values[2])
    end
    if role == "each" then
      for _, v in ipairs(values) do self:AddOutputData(Out(f(v))) end
    else
      self:AddOutputData(Out(f(table.unpack(values))))
    end
    if accepts then
      for _, d in ipairs(data) do self:AcceptInput(d) end
    end
    return 0
  end)
  P.IsAsync = async
  types[key] = P
  return P
end

local function counted(pkg)
  local out = {}
  for _, d in ipairs(T.items(pkg)) do
    if d then
      local v = T.value(d)
      out[v] = (out[v] or 0) + 1
    end
  end
  return out
end

local function text(map)
  local keys = {}
  for k in pairs(map) do keys[#keys + 1] = k end
  table.sort(keys)
  local out = {}
  for _, k in ipairs(keys) do out[#out + 1] = k .. (map[k] == 1 and "" or "x" .. map[k]) end
  return table.concat(out, ",")
end

-- One cycle: `cells` cells, each running the chain of the given roles (the
-- procs whose flag in `async` is true asynchronous), over the data 1..n.
local function cycle(chainRoles, async, cells, n)
  for _, role in ipairs(chainRoles) do runs[role] = {} end
  local realm = _New(QZRealmBase)
  for c = 1, cells do
    local P = {}
    for i, role in ipairs(chainRoles) do P[i] = procType(role, async[i]) end
    local cell = _New(QZCellBase)
    _SetName(cell, "ax.cell" .. c)
    T.check(cell:AddProc((T.chain(table.unpack(P)))), "chain added")
    realm:AddCell(cell)
  end
  genCount, genLast = 0, n
  if chainRoles[1] ~= "gen" then
    for v = 1, n do realm:AddEnvData(Number(v)) end
  end
  if chainRoles[1] == "mix" then realm:AddEnvData(Twice(1000)) end
  local msgs, result = T.during(function() return realm:ExecuteForResult() end)
  local R = {out = counted(result), msgs = table.concat(msgs, " | "), errors = realm.ErrorCount, runs = {}}
  for role, r in pairs(runs) do R.runs[role] = r end
  _Free(realm)
  return R
end

-- What the cycle must give: every datum through every proc of every cell
-- once. (Pairs, the generator and the optional input: the synchronous cycle
-- tells.)
local function expected(chainRoles, cells, n)
  if chainRoles[1] == "pair" or chainRoles[1] == "gen" or chainRoles[1] == "mix" then return nil end
  local out, perRole = {}, {}
  for v = 1, n do
    local x = v
    for _, role in ipairs(chainRoles) do
      perRole[role] = perRole[role] or {}
      perRole[role][x] = (perRole[role][x] or 0) + cells
      x = roles[role][3](x)
    end
    out[x] = (out[x] or 0) + cells
  end
  return out, perRole
end

local cases = {
  -- name, roles of the chain, which of them run on a worker, cells, data
  {"one proc, one datum", {"double"}, {true}, 1, 1},
  {"one proc, 20 data", {"double"}, {true}, 1, 20},
  {"one proc, 200 data", {"double"}, {true}, 1, 200},
  {"input left to the scheduler, 20 data", {"lazy"}, {true}, 1, 20},
  {"chain, worker first", {"double", "inc"}, {true, false}, 1, 20},
  {"chain, worker last", {"double", "inc"}, {false, true}, 1, 20},
  {"chain, both on workers", {"double", "inc"}, {true, true}, 1, 20},
  {"chain, worker last taking any number", {"gen", "each"}, {false, true}, 1, 20},
  {"inputs of two, 21 data", {"pair"}, {true}, 1, 21},
  {"optional input left to the scheduler", {"mix"}, {true}, 1, 2},
  {"optional input left to the scheduler, 20 data", {"mix"}, {true}, 1, 20},
  {"three cells", {"double"}, {true}, 3, 20},
  {"three cells, chain on workers", {"double", "inc"}, {true, true}, 3, 10},
}

for role in pairs(roles) do
  procType(role, false)
  procType(role, true)
end
local before = T.counts()
for _, case in ipairs(cases) do
  local name, chainRoles, async, cells, n = table.unpack(case)
  local sync = {}
  for i = 1, #chainRoles do sync[i] = false end
  local wantOut, wantRuns = expected(chainRoles, cells, n)
  local s = cycle(chainRoles, sync, cells, n)
  if wantOut then
    T.eq(text(s.out), text(wantOut), name .. ": the synchronous outputs")
  else
    wantRuns = s.runs
  end
  for round = 1, 2 do
    local what = name .. " (round " .. round .. ")"
    local a = cycle(chainRoles, async, cells, n)
    T.eq(text(a.out), text(s.out), what .. ": the synchronous outputs, each once")
    for _, role in ipairs(chainRoles) do
      T.eq(text(a.runs[role]), text(wantRuns[role]), what .. ": " .. role .. " ran each of its inputs once")
    end
    T.eq(a.msgs, s.msgs, what .. ": the synchronous reports")
    T.eq(a.errors, 0, what .. ": no error")
  end
end

-- Workers whose procs are gone end at the next lock release.
for _ = 1, 20 do _Yield(5) end
T.balanced(before, "exact asynchronous cycles")
T.eq(T.stat("LockViolations"), 0, "every lock taken and given back in order")
T.finish("threads_async_exact")
