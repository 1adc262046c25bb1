-- An event of a proc's step (here "OnRunnerProcBeforeExecuted", just before
-- an asynchronous proc is launched) may step the realm itself: the nested
-- step launches the proc's worker, and the step it came from then finds the
-- run under way. Each datum still runs once, nothing is reported as
-- suspended twice, and a stub that frees the proc on any report of the run
-- leaves the module touching nothing freed.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")

local Number = QZDataBase:CreateType("an.Number")
local Twice = QZDataBase:CreateType("an.Twice")

-- Frees the proc of the run on the reports that name a second suspension.
local cur = {}
local Stub = _New(QZRealmStubBase)
function Stub:OnException(level, text)
  if text:find("has been suspend before", 1, true) and T.alive(cur.proc) then _Free(cur.proc) end
end
local stub = _New(Stub)
_LockGC(stub)
local setter = _New(QZRealmBase)
T.eq(setter:SetRealmStub(stub), true, "stub set")
_Free(setter)

local runs = {}
local Async = T.procType("an.Async", {Number}, {Twice}, function(self)
  local n = self:GetInput(0)
  runs[#runs + 1] = T.value(n)
  self:AddOutputData(Twice(T.value(n) * 2))
  self:AcceptInput(n)
  return 0
end)
Async.IsAsync = true

local function sorted(list)
  local copy = {table.unpack(list)}
  table.sort(copy)
  return table.concat(copy, ",")
end

local before = T.counts()
local misuse = T.stat("InvalidObjects")
local function suspendedTwice(msgs)
  for _, m in ipairs(msgs) do
    if m:find("has been suspend before", 1, true) then return true end
  end
  return false
end

-- {what, how many nested steps each event makes, whether the stub frees}
local cases = {
  {"one nested step", 1, false},
  {"three nested steps", 3, false},
  {"one nested step, a stub that frees", 1, true},
}
for _, case in ipairs(cases) do
  local what, depth, freeing = case[1], case[2], case[3]
  runs = {}
  local realm = T.realmWith("an.realm", (T.chain(Async)))
  realm.TraceFlag = true
  local nesting = false
  function realm:OnRunnerProcBeforeExecuted(cell, runner, proc, condition)
    if condition ~= 0 or nesting then return end
    nesting = true
    cur.proc = freeing and proc or nil
    for _ = 1, depth do self:ExecuteOnce() end
    nesting = false
  end
  for v = 1, 3 do realm:AddEnvData(Number(v)) end
  local msgs, result = T.during(function() return realm:ExecuteForResult() end)
  local outs = {}
  for _, d in ipairs(T.items(result)) do outs[#outs + 1] = T.value(d) end
  T.eq(sorted(runs), "1,2,3", what .. ": each datum ran once")
  T.eq(sorted(outs), "2,4,6", what .. ": every output came")
  T.eq(suspendedTwice(msgs), false, what .. ": no proc suspended twice")
  _Free(realm)
  cur = {}
end
T.eq(T.stat("InvalidObjects"), misuse, "no freed object handed to the host")
T.balanced(before, "nested steps")
T.finish("threads_async_nested")
