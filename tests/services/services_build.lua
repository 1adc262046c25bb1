-- Building proc chains backwards from wanted outputs (BuildProcChain), and
-- handing the request to script code (RequestProcChain). Without a realm
-- stub the choice among producers is random, so each case that has a choice
-- is built several times.
local T = dofile(arg[1] .. "/services_build_lib.lua")

local ROUNDS = 12

local before = T.counts()
do
  local realm = T.named(_New(QZRealmBase), "b.realm")

  -- A path Src -> Ore -> Bar -> Tool, with a body for each step so that the
  -- built chain can run.
  local Ore = QZDataBase:CreateType("b.Ore")
  local Bar = QZDataBase:CreateType("b.Bar")
  local Tool = QZDataBase:CreateType("b.Tool")
  local function step(name, In, Out, f)
    return T.procType(name, In and {In} or {}, {Out}, function(self)
      local v = 1
      if In then
        local d = self:GetInput(0)
        v = d:GetDataBuf():_Get(0)
        self:AcceptInput(d)
      end
      self:AddOutputData(Out(f(v)))
      return 0
    end)
  end
  local Mine = step("b.Mine", nil, Ore, function() return 5 end)
  local Smelt = step("b.Smelt", Ore, Bar, function(v) return v * 10 end)
  local Forge = step("b.Forge", Bar, Tool, function(v) return v + 1 end)

  -- The result's form and the chain's order, deepest level first.
  local r = realm:BuildProcChain(Tool)
  T.eq(r:_Count(), 2, "[true, chain]")
  T.eq(r:_Get(0), true, "built")
  local chain = r:_Get(1)
  T.check(_IsInst(QZProcChainBase, chain), "a proc chain")
  T.eq(chain.IsBuildDynamic, true, "marked as built by a search")
  T.eq(T.chainTypes(chain), "b.Mine,b.Smelt,b.Forge", "from the raw input up to the wanted output")

  -- What is at hand ends the search; data objects and types alike.
  local cases = {
    {"a data type at hand", function() return realm:BuildProcChain(Tool, Ore) end, "b.Smelt,b.Forge"},
    {"a data object at hand", function() return realm:BuildProcChain(Tool(0), Ore(1)) end, "b.Smelt,b.Forge"},
    {"at hand in a package", function() return realm:BuildProcChain(_Pkg(Tool), _Pkg(Bar)) end, "b.Forge"},
    {"at hand over two arguments", function() return realm:BuildProcChain(Tool, Tool, _Pkg(Bar)) end, "b.Forge"},
    {"a producer without inputs", function() return realm:BuildProcChain(Ore) end, "b.Mine"},
    {"a wanted proc is its own producer", function() return realm:BuildProcChain(Smelt) end, "b.Mine,b.Smelt"},
    {"a wanted proc at hand needs nothing", function() return realm:BuildProcChain(Smelt(), Smelt) end, "b.Smelt"},
  }
  for _, c in ipairs(cases) do
    local res = c[2]()
    T.eq(res:_Get(0), true, c[1] .. ": built")
    T.eq(res:_Get(0) and T.chainTypes(res:_Get(1)) or "", c[3], c[1])
  end

  -- The built chain runs in a realm like any other: 5 * 10 + 1.
  do
    local cell = _New(QZCellBase)
    cell:AddProc(chain)
    local run = _New(QZRealmBase)
    run:AddCell(cell)
    local out = run:ExecuteForResult()
    local got = out:_Get(0)
    T.eq(got and got:GetDataBuf():_Get(0), 51, "the built chain made a tool")
    T.eq(run.ErrorCount, 0, "without errors")
    _Free(run)
    _Free(cell)
  end

  -- Failures: [false, the data type no proc makes], at whatever depth.
  local Gem = QZDataBase:CreateType("b.Gem")
  local Ring = QZDataBase:CreateType("b.Ring")
  T.procType("b.Set", {Gem, Bar}, {Ring})
  local failures = {
    {"nobody makes it", function() return realm:BuildProcChain(Gem) end, Gem},
    {"an input nobody makes", function() return realm:BuildProcChain(Ring) end, Gem},
    {"one of two wanted types", function() return realm:BuildProcChain(_Pkg(Tool, Gem)) end, Gem},
  }
  for _, c in ipairs(failures) do
    local res = c[2]()
    T.eq(res:_Get(0), false, c[1] .. ": not built")
    T.eq(res:_Get(1), c[3], c[1] .. ": names the type")
  end
  T.eq(realm:BuildProcChain(Ring, Gem):_Get(0), true, "with the gem at hand the ring is made")

  -- Arguments that are no data or proc give [false, nil], without a report.
  local function args(...) return table.pack(...) end
  local refused = {
    {"no argument", args()},
    {"nil", args(nil)},
    {"a chain", args(chain)},
    {"a chain in a package", args(_Pkg(Tool, chain))},
    {"a text", args("b.Tool")},
    {"a number in a package", args(_Pkg(Tool, 3))},
    {"a number at hand", args(Tool, 3)},
    {"nil at hand", args(Tool, nil)},
    {"a chain at hand", args(Tool, chain)},
    {"a chain at hand in a package", args(Tool, _Pkg(Ore, chain))},
    {"a realm", args(realm)},
    {"the empty package", args(_Pkg())},
  }
  for _, c in ipairs(refused) do
    local res = T.expect_errors(function() return realm:BuildProcChain(table.unpack(c[2], 1, c[2].n)) end, {},
                                c[1] .. " reports nothing")
    T.eq(res:_Count(), 2, c[1] .. ": two items")
    T.eq(res:_Get(0), false, c[1] .. ": not built")
    T.eq(res:_Get(1), nil, c[1] .. ": no type named")
    T.eq(realm:RequestProcChain(table.unpack(c[2], 1, c[2].n)):_Count(), 0, c[1] .. ": no request either")
  end

  -- A proc at hand is preferred to every other producer of the same output,
  -- and its own inputs are not searched for.
  local Coin = QZDataBase:CreateType("b.Coin")
  local Nowhere = QZDataBase:CreateType("b.Nowhere")
  T.procType("b.Mint", {}, {Coin})
  local Stamp = T.procType("b.Stamp", {Nowhere}, {Coin})
  local preferred = 0
  for _ = 1, ROUNDS do
    local res = realm:BuildProcChain(Coin, Stamp)
    if res:_Get(0) and T.chainTypes(res:_Get(1)) == "b.Stamp" then preferred = preferred + 1 end
  end
  T.eq(preferred, ROUNDS, "the proc at hand made the coin every time")
  local minted = 0
  for _ = 1, ROUNDS do
    local res = realm:BuildProcChain(Coin)
    if res:_Get(0) and T.chainTypes(res:_Get(1)) == "b.Mint" then minted = minted + 1 end
  end
  T.eq(minted, ROUNDS, "without it, the stamp's missing input turns the search to the mint")

  -- One producer of two wanted types: that proc alone, not a cell.
  local Left = QZDataBase:CreateType("b.Left")
  local Right = QZDataBase:CreateType("b.Right")
  T.procType("b.Pair", {}, {Left, Right})
  local both = realm:BuildProcChain(_Pkg(Left, Right))
  T.eq(both:_Get(0) and T.chainTypes(both:_Get(1)), "b.Pair", "one producer of both: the proc alone")

  -- Two wanted types with two producers each: a cell holding one producer of
  -- each side by side, taking what they need and giving both types.
  local Hot = QZDataBase:CreateType("b.Hot")
  local Cold = QZDataBase:CreateType("b.Cold")
  local Fuel = QZDataBase:CreateType("b.Fuel")
  T.procType("b.Burn", {Fuel}, {Hot})
  T.procType("b.Heat", {Fuel, Ore}, {Hot})
  T.procType("b.Chill", {Ore}, {Cold})
  T.procType("b.Freeze", {Ore, Fuel}, {Cold})
  local seen = {}
  for _ = 1, ROUNDS do
    local res = realm:BuildProcChain(_Pkg(Hot, Cold), Fuel, Ore)
    local c = res:_Get(0) and res:_Get(1)
    local cell = c and c:GetFirstProc()
    T.eq(c and T.chainTypes(c), "cell", "a cell as the one element")
    if cell then
      local members = {}
      for _, pc in ipairs(T.items(cell:GetProcChainQueue())) do members[#members + 1] = T.chainTypes(pc) end
      seen[table.concat(members, "+")] = true
      T.eq(#members, 2, "one chain per wanted type")
      local inputs = T.items(cell:InputQueueToParaPkg())
      local outputs = T.containerTypes(_Children(cell, "OutputQueue"))
      T.eq(outputs, "b.Hot,b.Cold", "the cell gives both wanted types")
      local needs = T.containerTypes(_Children(cell, "InputQueue"))
      T.check(needs == "b.Fuel,b.Ore" or needs == "b.Ore,b.Fuel" or needs == "b.Fuel" or needs == "b.Ore",
              "the cell takes what its procs need: " .. needs)
      T.check(#inputs > 0, "inputs declared")
      for i, ic in ipairs(T.items(_Children(cell, "InputQueue"))) do
        T.eq(ic.Index, i - 1, "input " .. i .. " numbered")
        T.eq(ic.RequestNumber, 0, "input " .. i .. " takes any number")
        T.eq(ic.IsMustExist, false, "input " .. i .. " optional")
      end
    end
  end
  local kinds = 0
  for k in pairs(seen) do
    kinds = kinds + 1
    T.check(k:match("^b%.[A-Za-z]+%+b%.[A-Za-z]+$") ~= nil, "hot then cold: " .. k)
  end
  T.check(kinds >= 2, "more than one of the four combinations came up (" .. kinds .. ")")

  -- A multi-proc chain whose last proc makes the data is a producer too; it
  -- is taken (in a cell) when the proc producers cannot be completed.
  local Dust = QZDataBase:CreateType("b.Dust")
  local Glass = QZDataBase:CreateType("b.Glass")
  local Sand = QZDataBase:CreateType("b.Sand")
  local Sift = T.procType("b.Sift", {}, {Sand})
  local Blow = T.procType("b.Blow", {Dust}, {Glass})
  local kiln = T.named(T.chain(Sift, Blow), "b.kiln")
  local fromChain = 0
  for _ = 1, ROUNDS do
    local res = realm:BuildProcChain(Glass)
    local c = res:_Get(0) and res:_Get(1)
    local cell = c and c:GetFirstProc()
    if cell and T.chainTypes(c) == "cell" then
      local inner = cell:GetProcChainQueue():_Get(0)
      if inner and inner ~= kiln and T.chainTypes(inner) == "b.Sift,b.Blow" and inner.IsBuildDynamic == false then
        fromChain = fromChain + 1
      end
    end
  end
  T.eq(fromChain, ROUNDS, "a copy of the chain made the glass every time")

  -- Chains built by a search, and chains of one proc, are never producers.
  local Plank = QZDataBase:CreateType("b.Plank")
  local Saw = T.procType("b.Saw", {}, {Plank})
  local single = T.chain(Saw)
  local dynamic = realm:BuildProcChain(Plank):_Get(1)
  local plain = 0
  for _ = 1, ROUNDS do
    local res = realm:BuildProcChain(Plank)
    if res:_Get(0) and T.chainTypes(res:_Get(1)) == "b.Saw" then plain = plain + 1 end
  end
  T.eq(plain, ROUNDS, "only the proc type made planks")
  T.check(dynamic ~= nil and single ~= nil, "the chains were there")

  -- Producers whose inputs lead back to what is searched for: the search
  -- ends; with a way out it finds it every time.
  local Egg = QZDataBase:CreateType("b.Egg")
  local Hen = QZDataBase:CreateType("b.Hen")
  T.procType("b.Lay", {Hen}, {Egg})
  T.procType("b.Hatch", {Egg}, {Hen})
  local cyc = realm:BuildProcChain(Hen)
  T.eq(cyc:_Get(0), false, "a cycle without a way out: not built")
  T.eq(cyc:_Get(1), Hen, "it names the type the search came back to")
  T.procType("b.Buy", {}, {Egg})
  local out = 0
  for _ = 1, ROUNDS do
    local res = realm:BuildProcChain(Hen)
    if res:_Get(0) and T.chainTypes(res:_Get(1)) == "b.Buy,b.Hatch" then out = out + 1 end
  end
  T.eq(out, ROUNDS, "the way out of the cycle is found every time")
  -- A proc that makes its own input again: refine Ore from Ore.
  T.procType("b.Wash", {Ore}, {Ore})
  local washed = 0
  for _ = 1, ROUNDS do
    local res = realm:BuildProcChain(Ore)
    if res:_Get(0) and T.chainTypes(res:_Get(1)) == "b.Mine" then washed = washed + 1 end
  end
  T.eq(washed, ROUNDS, "a producer needing its own output is passed over")

  -- RequestProcChain: the realm's "OnRequestProcChain" answers, by default an
  -- empty package.
  T.eq(realm:RequestProcChain(Tool):_Count(), 0, "the default answers an empty package")
  local custom = T.named(_New(QZRealmBase), "b.custom")
  local asked
  function custom:OnRequestProcChain(outputs, inputs)
    asked = {T.names(outputs), T.names(inputs)}
    return _Pkg("built by script", outputs:_Count())
  end
  local answer = custom:RequestProcChain(Tool(3), Ore, _Pkg(Smelt()))
  T.eq(asked and asked[1], "b.Tool", "the script sees the wanted types")
  T.eq(asked and asked[2], "b.Ore,b.Smelt", "and the types at hand")
  T.eq(answer:_Get(0), "built by script", "its package is the answer")
  T.eq(answer:_Get(1), 1, "as the script made it")
  asked = nil
  T.eq(custom:RequestProcChain(chain):_Count(), 0, "a refused argument: an empty package")
  T.eq(asked, nil, "and no script asked")
  function custom:OnRequestProcChain() return 7 end
  T.eq(custom:RequestProcChain(Tool):_Count(), 0, "an answer that is no package: an empty one")
  function custom:OnRequestProcChain() error("no chains today") end
  T.errors()
  local failed = custom:RequestProcChain(Tool)
  local got = T.errors()
  T.eq(failed:_Count(), 0, "a failing script: an empty package")
  T.eq(#got, 1, "one report")
  T.check(got[1] ~= nil and got[1]:find("[b.custom] cell calls the function OnRequestProcChain failed", 1, true) == 1
          and got[1]:find("no chains today", 1, true) ~= nil, "the report names the realm, the call and the error")

  -- Built chains, their elements and the search's packages are gone again
  -- once the script drops the results.
  -- A copy inside a built cell is a producer too, so chains are copied from
  -- copies; a copy made from another is its instance and holds it, and each
  -- goes one collection after the one made from it.
  local function settle()
    for _ = 1, 24 do
      collectgarbage("collect")
      _CollectGarbage()
    end
  end
  settle()
  local mid = T.counts()
  for _ = 1, 4 do
    for _, wanted in ipairs({Tool, _Pkg(Hot, Cold), Glass, Hen, Gem, Ring}) do realm:BuildProcChain(wanted, Fuel, Ore) end
    custom:RequestProcChain(Tool)
  end
  settle()
  T.balanced(mid, "builds")

  _Free(custom)
  _Free(realm)
  _Free(kiln)
  _Free(single)
end

local after = T.counts()
T.eq(after.unlocks, before.unlocks, "no lock released below zero")
T.finish("services_build")
