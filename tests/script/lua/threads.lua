-- Script threads: _Thread runs a function on a new host thread that takes the
-- locks as a module worker does; _Join waits for it, _ThreadDone polls it.
local T = _New(TPBase)

-- arguments in, results out
local ok, sum, tag = _Join(_Thread(function(a, b) return a + b, "sum" end, 2, 3))
assert(ok == true and sum == 5 and tag == "sum")

-- an error comes back from _Join with its location; a handle joins once
local bad = _Thread(function() error("thread broke") end)
local ok2, msg = _Join(bad)
assert(ok2 == false and msg:find("thread broke", 1, true) and msg:find("threads.lua", 1, true), msg)
assert(not pcall(_Join, bad), "joined twice")

-- driven from here: the thread runs whenever this one lets go of the locks
steps, stop = 0, false
local worker = _Thread(function()
  while not stop do
    steps = steps + 1
    _Yield(1)
  end
  return steps
end)
local spins = 0
while steps < 5 do
  T:Dispatch() -- hands the locks over
  spins = spins + 1
  assert(spins < 50000000, "the thread never ran")
end
assert(not _ThreadDone(worker))
stop = true
local ok3, n = _Join(worker)
assert(ok3 and n >= 5 and _ThreadDone(worker))

-- a thread cannot wait for itself
local me
me = _Thread(function() return pcall(_Join, me) end)
local ok4, pc, err = _Join(me)
assert(ok4 and pc == false and err:find("itself", 1, true), err)

-- automatic frees happen on the main thread only: an object the thread drops
-- survives the thread's own collection and goes at the next one here
local id
local ok5, stillThere = _Join(_Thread(function()
  local o = _New(TPBase)
  id = _ID(o)
  o = nil
  _CollectGarbage()
  return _FromID(id) ~= nil
end))
assert(ok5 and stillThere, "freed on a worker thread")
_CollectGarbage()
assert(_FromID(id) == nil, "not freed on the main thread")

-- a message posted on a thread runs on the thread that dispatches
local where
_Join(_Thread(function() _Post(function() where = "dispatcher" end) end))
assert(where == nil)
while T:Dispatch() do end
assert(where == "dispatcher")
print("threads ok")
