-- Chain building with a realm stub: its "OnProcPriority" weighs the candidate
-- sets of a search level and a roulette wheel over the weights chooses one.
-- The stub is set once per module life, so this scenario has a script of its
-- own. While it is set, the module's reports go to its OnException.
local T = dofile(arg[1] .. "/services_build_lib.lua")

local ROUNDS = 12

local heard = {}
local Stub = _New(QZRealmStubBase)
_SetName(Stub, "s.Stub")
function Stub:OnException(level, text) heard[#heard + 1] = {level = level, text = text} end
local stub = _New(Stub)
_SetName(stub, "s.stub")
_LockGC(stub)

local before = T.counts()
do
  local realm = T.named(_New(QZRealmBase), "s.realm")
  T.check(realm:SetRealmStub(stub), "the stub is set")

  local Hot = QZDataBase:CreateType("s.Hot")
  local Cold = QZDataBase:CreateType("s.Cold")
  local Fuel = QZDataBase:CreateType("s.Fuel")
  T.procType("s.Burn", {Fuel}, {Hot})
  local Heat = T.procType("s.Heat", {}, {Hot})
  T.procType("s.Chill", {Fuel}, {Cold})
  T.procType("s.Freeze", {}, {Cold})
  local Note = QZDataBase:CreateType("s.Note")
  local producers = {T.procType("s.Pen", {}, {Note}), T.procType("s.Pencil", {}, {Note}),
                     T.procType("s.Chalk", {}, {Note})}

  -- The stub defines no hook yet: the choice is random and nothing is heard.
  heard = {}
  T.eq(realm:BuildProcChain(Note):_Get(0), true, "built without a hook")
  T.eq(#heard, 0, "nothing reported")

  -- The hook sees the candidate sets of the level: two wanted types with two
  -- producers each give four sets of two, one per combination.
  local seen
  local answer = function() return nil end
  function stub:OnProcPriority(sets, priority)
    seen = {}
    for _, set in ipairs(T.items(sets)) do seen[#seen + 1] = T.names(set) end
    local p = answer(sets)
    if p then for i, v in ipairs(p) do priority:_Set(i - 1, v) end end
  end
  seen = nil
  T.eq(realm:BuildProcChain(_Pkg(Hot, Cold), Fuel):_Get(0), true, "2 x 2 built")
  T.eq(seen and #seen, 4, "four candidate sets")
  local combos = {}
  for _, s in ipairs(seen or {}) do
    local hot, cold = s:match("^(s%.%a+),(s%.%a+)$")
    T.check(hot == "s.Burn" or hot == "s.Heat", "first a producer of Hot: " .. s)
    T.check(cold == "s.Chill" or cold == "s.Freeze", "then one of Cold: " .. s)
    combos[s] = true
  end
  local distinct = 0
  for _ in pairs(combos) do distinct = distinct + 1 end
  T.eq(distinct, 4, "each combination once")

  -- The roulette wheel: 0, 0, 5 always takes the third set (the target is
  -- above 0 but for one rand() value in 2^31); all 0 takes the first.
  local wheel = {
    {"0, 0, 5", {0, 0, 5}, 3},
    {"all 0", {0, 0, 0}, 1},
    {"5, 0, 0", {5, 0, 0}, 1},
    {"floats 0.0, 2.5, 0.0", {0.0, 2.5, 0.0}, 2},
  }
  for _, c in ipairs(wheel) do
    answer = function() return c[2] end
    local hits = 0
    for _ = 1, ROUNDS do
      seen = nil
      local res = realm:BuildProcChain(Note)
      local wantedName = seen and seen[c[3]]
      if res:_Get(0) and wantedName and T.chainTypes(res:_Get(1)) == wantedName then hits = hits + 1 end
    end
    T.eq(hits, ROUNDS, c[1] .. ": set " .. c[3] .. " every time")
  end

  -- A wrong number of priorities, or a failing hook: reported, and a set is
  -- still chosen (at random).
  heard = {}
  answer = function() return {0, 1} end
  local res = realm:BuildProcChain(Note)
  T.eq(res:_Get(0), true, "a wrong count still builds")
  T.eq(#heard, 1, "one report for the wrong count")
  T.eq(heard[1] and heard[1].text, "OnProcPriority must return priority for each item", "its text")
  T.eq(heard[1] and heard[1].level, 1, "at level 1")
  heard = {}
  answer = function() error("no weights today") end
  res = realm:BuildProcChain(Note)
  T.eq(res:_Get(0), true, "a failing hook still builds")
  T.eq(#heard, 1, "one report for the failing hook")
  local text = heard[1] and heard[1].text or ""
  T.check(text:find("[s.stub] calls the function OnProcPriority failed{", 1, true) == 1 and
          text:find("no weights today", 1, true) ~= nil, "the report names the stub and the error: " .. text)

  -- What the hook does to the sets package does not reach the search.
  answer = function(sets)
    sets:_Clear()
    return {0, 0, 1}
  end
  heard = {}
  for _ = 1, 3 do T.eq(realm:BuildProcChain(Note):_Get(0), true, "a hook emptying the sets") end
  T.eq(#heard, 0, "nothing reported")

  -- A hook that frees the producers it is shown: the search goes on with
  -- what is left, and a level left with nothing fails.
  local Wax = QZDataBase:CreateType("s.Wax")
  local Wick = QZDataBase:CreateType("s.Wick")
  local Candle = QZDataBase:CreateType("s.Candle")
  local Dip = T.procType("s.Dip", {Wax}, {Candle})
  local Mould = T.procType("s.Mould", {Wax, Wick}, {Candle})
  local Melt = T.procType("s.Melt", {}, {Wax})
  local Render = T.procType("s.Render", {}, {Wax})
  local victims = {Melt, Render, Dip}
  answer = function(sets)
    for _, set in ipairs(T.items(sets)) do
      for _, p in ipairs(T.items(set)) do
        for i, v in ipairs(victims) do
          if v == p then
            table.remove(victims, i)
            _Free(v)
            return nil
          end
        end
      end
    end
    return nil
  end
  local first = realm:BuildProcChain(Candle, Wick)
  T.check(first:_Get(0) == true or first:_Get(0) == false, "an answer with producers freed under the search")
  local second = realm:BuildProcChain(Candle, Wick)
  T.eq(second:_Get(0), true, "the mould is still there to make candles")
  local types = second:_Get(0) and T.chainTypes(second:_Get(1)) or ""
  T.check(types == "s.Melt,s.Mould" or types == "s.Render,s.Mould", "what is left makes the candle: " .. types)
  T.eq(#victims, 1, "the hook freed two of the producers")
  answer = function() return nil end
  heard = {}

  -- One wanted type: each producer is a set of its own, two equal chains
  -- included, and each set gets its own weight.
  local Ink = QZDataBase:CreateType("s.Ink")
  local Soot = QZDataBase:CreateType("s.Soot")
  local Burnt = T.procType("s.Burnt", {}, {Soot})
  local Stir = T.procType("s.Stir", {Soot}, {Ink})
  local pot, pot2 = T.chain(Burnt, Stir), T.chain(Burnt, Stir)
  T.eq(pot:Equals(pot2), true, "two equal chains")
  local inkCases = {
    -- what, priorities (Stir, pot, pot2), sets seen, what is built
    {"the proc type", {5, 0, 0}, 3, "s.Burnt,s.Stir"},
    {"the second of two equal chains", {0, 0, 5}, 3, "cell"},
  }
  for _, c in ipairs(inkCases) do
    answer = function() return c[2] end
    seen = nil
    local res = realm:BuildProcChain(Ink)
    T.eq(seen and #seen, c[3], c[1] .. ": a set per producer")
    T.eq(res:_Get(0) and T.chainTypes(res:_Get(1)), c[4], c[1] .. ": chosen")
    -- A built cell holds a copy of the chain, itself a producer from now on.
    if res:_Get(0) then _Free(res:_Get(1)) end
  end
  -- A copy held by a built cell, chosen as a producer in its turn, goes
  -- with the chains built from it once the script drops them. The hook
  -- weighs by position only: the copy is never handed to the script.
  do
    local pick
    local hook = stub.OnProcPriority
    function stub:OnProcPriority(sets, priority)
      for i = 1, sets:_Count() do priority:_Set(i - 1, i == pick and 1 or 0) end
    end
    local mark = T.counts()
    pick = 2
    local first = realm:BuildProcChain(Ink)
    pick = 4
    local second = realm:BuildProcChain(Ink)
    T.eq(T.chainTypes(second:_Get(1)), "cell", "a chain made from the copy")
    first, second = nil, nil
    T.balanced(mark, "copies of copies")
    stub.OnProcPriority = hook
  end
  answer = function() return nil end
  _Free(pot)
  _Free(pot2)

  -- With a single set there is nothing to weigh: the hook is not asked.
  seen = nil
  T.eq(realm:BuildProcChain(Hot, Fuel, Heat):_Get(0), true, "one producer preferred")
  T.eq(seen and #seen or 0, 0, "the hook saw no choice of one")

  -- A realm without a hook of its own hands "OnRequestProcChain" to the
  -- stub, which sees the realm first.
  local gotRealm
  function stub:OnRequestProcChain(r, outputs, inputs)
    gotRealm = r
    return _Pkg(outputs:_Count(), inputs:_Count())
  end
  local asked = realm:RequestProcChain(Note, Fuel, Hot)
  T.eq(gotRealm, realm, "the stub heard the request with the realm")
  T.eq(asked:_Get(0), 1, "and answered for one wanted type")
  T.eq(asked:_Get(1), 2, "with two at hand")

  -- The candidates of a level are the producers the realm's own queries
  -- list, in their order: the proc types making the wanted type or a type it
  -- derives from (one making both counted once), then the chains ending in
  -- one of those.
  do
    local hook = stub.OnProcPriority
    local Raw = QZDataBase:CreateType("s.Raw")
    local Fine = Raw:CreateType("s.Fine")
    local Pre = T.procType("s.Pre", {}, {Note})
    T.procType("s.RawA", {}, {Raw})
    local FineB = T.procType("s.FineB", {Note}, {Fine})
    T.procType("s.Both", {}, {Raw, Fine})
    T.procType("s.RawC", {}, {Raw})
    local line = T.chain(Pre, FineB)
    local got
    -- Only the top level's sets are kept: a level below asks again.
    function stub:OnProcPriority(sets, priority)
      local top = got == nil and {} or nil
      for i, set in ipairs(T.items(sets)) do
        if top then top[i] = set:_Get(0) end
        priority:_Set(i - 1, 1)
      end
      got = got or top
    end
    local want = T.items(realm:QueryProcForOutput(Fine))
    for _, c in ipairs(T.items(realm:QueryProcChainForOutput(Fine))) do want[#want + 1] = c end
    T.eq(#want, 5, "four proc types and a chain make Fine")
    local res = realm:BuildProcChain(Fine)
    T.eq(res:_Get(0), true, "built from a producer of Fine")
    T.eq(got and #got, #want, "a set per producer")
    for i = 1, #want do T.check(got and got[i] == want[i], "producer " .. i .. " in query order") end

    -- A producer that the hook defines while a search runs is found by the
    -- levels below.
    local Goal = QZDataBase:CreateType("s.Goal")
    local Part = QZDataBase:CreateType("s.Part")
    T.procType("s.GoalA", {Part}, {Goal})
    T.procType("s.GoalB", {Part}, {Goal})
    local asked = 0
    function stub:OnProcPriority(sets, priority)
      asked = asked + 1
      if asked == 1 then T.procType("s.MakePart", {}, {Part}) end
      for i = 1, sets:_Count() do priority:_Set(i - 1, 1) end
    end
    res = realm:BuildProcChain(Goal)
    T.eq(res:_Get(0), true, "Part made by the type defined meanwhile")
    local types = res:_Get(0) and T.chainTypes(res:_Get(1)) or ""
    T.check(types == "s.MakePart,s.GoalA" or types == "s.MakePart,s.GoalB", "that chain: " .. types)
    stub.OnProcPriority = hook
    _Free(line)
  end

  _Free(realm)
end

local after = T.counts()
T.eq(after.unlocks, before.unlocks, "no lock released below zero")
T.eq(#heard, 0, "no report left unread: " .. (heard[1] and heard[1].text or ""))
T.finish("services_build_stub")
