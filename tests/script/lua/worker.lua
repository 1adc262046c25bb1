-- A worker thread takes both locks and calls a script function while this
-- thread sits in XRQDispatch; posted messages run through XRQDispatch.
local T = _New(TPBase)
local calls = 0
T.Work = function(self, n) calls = calls + 1; return n * 3 end
local function stat(name)
  local s = _Stats()
  return s:_Get(s:_FindDict(name))
end
local violations = stat("LockViolations")

T:SpawnWorker(T, "Work", 14)
local spins = 0
while not T:WorkerDone() do
  T:Dispatch()
  spins = spins + 1
  assert(spins < 50000000, "the worker never ran")
end
assert(T:WorkerResult() == 42 and calls == 1)

-- the same with _Yield
T:SpawnWorker(T, "Work", 2)
while not T:WorkerDone() do _Yield(1) end
assert(T:WorkerResult() == 6 and calls == 2)

-- a worker calling a function that fails
T.Broken = function() error("worker side") end
T:SpawnWorker(T, "Broken", 1)
while not T:WorkerDone() do T:Dispatch() end
assert(T:WorkerResult() == -1)

-- posted messages
local got
_Post(function(a, b) got = a + b end, 2, 3)
assert(got == nil)
assert(T:Dispatch() == true and got == 5)
assert(T:Dispatch() == false)
_Post(function() error("boom in a message") end)
assert(T:Dispatch() == true, "a failing message still counts as run")
_Post(function() got = "after" end)
assert(T:Dispatch() and got == "after")
assert(stat("LockViolations") == violations, "no lock misuse")
print("worker ok")
