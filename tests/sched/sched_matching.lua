-- Which env data a proc gets: candidates oldest first up to RequestNumber,
-- data a proc type refused before, slaves that take only data derived from
-- their master's (offered together with it), base and derived inputs, and
-- two data with the same stamp.
local T = dofile(arg[1] .. "/sched_testlib.lua")

local A = QZDataBase:CreateType("match.A")
local Derived = A:CreateType("match.Derived")
local B = QZDataBase:CreateType("match.B")
local Out = QZDataBase:CreateType("match.Out")

-- One proc type per case, made first: types stay for the module's life.
local seen = {}
local types = {}
local function makeType(name, inputs)
  types[name] = T.procType("match." .. name, inputs, {Out}, function(self)
    if self.Status < 0 then return end
    local run = {}
    for i = 0, self:GetInputNumber() - 1 do
      local got = self:GetInput(i)
      local values = {}
      if got == nil then
      elseif type(got) == "userdata" and got._Count then
        for _, d in ipairs(T.items(got)) do values[#values + 1] = T.value(d) end
      else
        values[1] = T.value(got)
      end
      table.sort(values)
      run[#run + 1] = table.concat(values, "+")
    end
    seen[#seen + 1] = table.concat(run, "|")
    self:AddOutputData(Out(#seen))
    self:RejectInput(nil)
    return 0
  end)
end
makeType("oldest", {2, A})
makeType("order", {A})
makeType("any", {0, A})
makeType("derived", {"o", A, Derived})
makeType("two", {A, B})
makeType("samestamp", {A})
makeType("slave", {A, "s", B})
-- Makes, from each A it is offered, a B derived from it, and lets the A go.
local Derive = T.procType("match.Derive", {A}, {B}, function(self)
  if self.Status < 0 then return end
  local a = self:GetInput(0)
  self:AddOutputDataEx(B(T.value(a) * 2), a)
  self:RejectInput(a)
  return 0
end)

local before = T.counts()

-- Runs one cycle of a realm with one proc of the named type; the data are
-- added in the order given, each with the given tick. Answers, per run of
-- the proc, the values of each input joined, and the messages.
local function runWith(name, data, setup, feeder)
  seen = {}
  local P = types[name]
  local chain = T.chain(P)
  local feed = feeder and T.chain(feeder)
  local realm, cell = T.realmWith("match." .. name, chain, feed)
  realm.CreateFrameData = false
  if setup then setup(realm, P) end
  for _, d in ipairs(data) do
    realm.ScheduleTickCount = d[2]
    realm:AddEnvData(d[1])
  end
  local msgs = T.during(function() realm:Execute() end)
  realm:ClearEnvData()
  _Free(realm)
  _Free(cell)
  _Free(chain)
  if feed then _Free(feed) end
  return seen, msgs
end

-- The realm hands its data to the cell in its queue order; the cell's
-- copies are stamped in that order and taken oldest first.
do
  local got = runWith("oldest", {{A(5), 5}, {A(3), 6}, {A(4), 7}})
  T.eq(got[1], "3+5", "RequestNumber 2 takes the two oldest")
  T.eq(got[2], nil, "a lone datum left does not complete an input of two")
end

do
  local got = runWith("order", {{A(30), 1}, {A(10), 2}, {A(20), 3}})
  T.eq(table.concat(got, ","), "30,10,20", "each run takes the oldest datum left")
end

-- Any number: every candidate in one run.
do
  local got = runWith("any", {{A(1), 1}, {A(2), 2}, {A(3), 3}})
  T.eq(got[1], "1+2+3", "RequestNumber 0 takes every candidate")
end

-- Base and derived: a top-up serves the derived input, not the base one.
do
  local got = runWith("derived", {{A(1), 1}, {Derived(2), 2}})
  T.eq(got[1], "|2", "the derived input holds the derived datum, the base input nothing")
end

-- Two types: each input gets its own.
do
  local got = runWith("two", {{B(2), 2}, {A(1), 1}})
  T.eq(got[1], "1|2", "each input takes data of its own type")
end

-- A slave is offered only data derived from its master's datum, together
-- with it; a B derived from nothing stays unused.
do
  local got = runWith("slave", {{B(99), 1}, {A(1), 2}, {A(5), 3}}, nil, Derive)
  table.sort(got)
  T.eq(table.concat(got, ","), "1|2,5|10", "each master came with the datum derived from it")
end

-- Data with the same stamp: reported, and the later one wins the key.
do
  local seen, msgs = runWith("samestamp", {{A(1), 7}, {A(2), 7}}, function(realm)
    -- Equal ticks and equal sequence numbers: the second datum is stamped
    -- like the first.
    realm.DataSequenceIndex = 0
  end)
  local shared = false
  for _, m in ipairs(msgs) do
    if m:find("envdatatree error, two or more env data has same index", 1, true) then shared = true end
  end
  if #seen > 0 and seen[1] == "2" then
    T.check(shared, "equal stamps are reported")
  end
  T.check(#seen >= 1, "one of the equal-stamp data is handled")
end

T.balanced(before, "matching")
T.finish("sched_matching")
