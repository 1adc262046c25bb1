-- Objects the module makes, lets go of and no script ever sees are garbage
-- like any other: the host frees them at the next collection point, not
-- before (not inside the call that let them go, nor by the script collector
-- alone), whatever GetRefEx answers. The env copy a cycle's end detaches,
-- the member copies a freed set held, the chain and proc copies of an
-- on-demand run.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local function live() return T.stat("LiveObjects") end
local function settle()
  for _ = 1, 3 do
    collectgarbage("collect")
    _CollectGarbage()
  end
end

local D = QZDataBase:CreateType("letgo.D")
local S = QZDataSetBase:CreateType("letgo.S", D)
local Sink = QZProcBase:CreateSubType("letgo.Sink")
Sink:InputFrom(D)
Sink.Execute = function(self)
  if self.Status < 0 then return end
  self:AcceptInput(self:GetInput(0))
  return 0
end

local before = T.counts()

-- Each case keeps every value it gives the module in a local, so that the
-- script side drops nothing: what the collection point frees is the module's.
local cases = {
  {"the env copy a cycle's end lets go", 1, function(keep)
     keep.realm = _New(QZRealmBase)
     keep.d = D(1)
     keep.realm:AddEnvData(keep.d) -- queues a copy of d made by the realm
     T.errors()
     keep.realm:Execute() -- no cell takes it: the cycle's end detaches it
     T.errors()
   end},
  {"the member copies a freed set held", 2, function(keep)
     keep.p1, keep.p2 = D(1), D(2)
     keep.set = S(keep.p1, keep.p2)
     local copy = keep.set:Dup() -- its two members are copies nobody sees
     _Free(copy)
   end},
  {"the chain and proc copies of a run", nil, function(keep)
     keep.realm = _New(QZRealmBase)
     keep.d, keep.p, keep.q = D(3), Sink(), Sink()
     keep.result = keep.realm:RunProcEx(keep.d, nil, keep.p, keep.q)
     T.errors()
   end},
}
for _, c in ipairs(cases) do
  local name, count, run = c[1], c[2], c[3]
  local keep = {}
  settle()
  run(keep)
  local after = live()
  collectgarbage("collect")
  T.eq(live(), after, name .. ": the script collector alone frees nothing")
  _CollectGarbage()
  local once = live()
  T.check(after > once, name .. ": let go, and still there until a collection point")
  if count then T.eq(after - once, count, name .. ": the next collection point frees what was let go") end
  settle()
  T.eq(live(), once, name .. ": one collection point was enough")
  keep = nil
end

T.balanced(before, "let-go objects")
T.finish("realm_letgo")
