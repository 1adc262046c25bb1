-- Loader robustness for saved procs and chains: seeded random mutations of
-- value lists that hold procs, remote procs, cells and chains with child
-- chains and rejoins (as packages and as JSON text) are fed to the value list
-- reader, which checks and loads them. Every call must end with a result or
-- a refusal, never a crash or a hang, and nothing may be left behind once the
-- results are dropped.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local F = dofile(arg[1] .. "/../lua/trelk_fuzzlib.lua")

local seed = tonumber(arg[2] or "") or 20261211
math.randomseed(seed)
local ROUNDS = 400

local R = QZRuleBase:CreateType("cf_R")
local r = R()
local P = QZDataBase:CreateType("cf_P")
local Q = QZDataBase:CreateType("cf_Q")
local function ptype(name, ...)
  local t = _New(QZProcBase)
  _SetName(t, name)
  _LockGC(t)
  if select("#", ...) > 0 then t:InputFrom(...) end
  return t
end
local A, B, C = ptype("cf_A", P, 2, Q), ptype("cf_B", Q), ptype("cf_C")
local function chainOf(...)
  local c = _New(QZProcChainBase)
  c:FromPara(...)
  return c
end

local a, b, c = _New(A), _New(B), _New(C)
local ch = chainOf(a, b, c)
ch:AddChildProcChain(a, _New(C), c)
ch:AddChildProcChain(a, chainOf(_New(B), _New(C)), nil)
ch:AddChildProcChain(b, _New(A), c)
local rp = _New(QZProcRemoteBase)
rp.Url = "tcp://cf"
local outer = chainOf(_New(A))
outer:Append(chainOf(_New(B), _New(C)))

local seeds = {
  r:SaveToJSonPkg(_Pkg(ch)),
  r:SaveToJSonPkg(_Pkg(a, rp, 3, "x")),
  r:SaveToJSonPkg(_Pkg(outer, _Pkg(ch))),
}

local words = {"Type", "Value", "BaseClass", "ClassName", "IsClass", "QZProcBase", "QZProcChainBase", "QZProc",
               "QZProcChain", "QZProcRemote", "QZCell", "QZProcChild", "QZProcNext", "ChildEndMarker", "ObjectID",
               "InputQueue", "OutputQueue", "ProcChainQueue", "RequestNumber", "DataBaseName", "IsMustExist",
               "cf_A", "cf_B", "cf_C", "cf_P", "cf_Q", ".cf_A", "cf.A", "", _ID(a), _ID(c),
               "00000000-0000-0000-0000-000000000000", "00000000-0000-0000-0000-000000000001",
               "00000000-0000-0000-0000-0000000000FF"}
local function randomValue(depth)
  return F.randomValue(depth, words, function() return words[math.random(#words)] end)
end

local function mutate(pkg)
  return F.mutate(pkg, {depth = 10, value = randomValue, words = words, ops = 7,
    edit7 = function(n, count, all)
      if count == 0 then return end
      -- Graft a subtree of the package somewhere else: deep and looping
      -- shapes the writer never makes.
      local donor = all[math.random(#all)]
      if donor ~= n then n:_Set(math.random(0, count - 1), donor:_Dup()) end
    end})
end

-- The host collects an object once a script has seen it and let go of it;
-- child chains let go by a freed proc were never seen, so every object of a
-- loaded tree is seen once here.
local function touchTree(o, depth)
  if depth > 12 then return end
  if _IsInst(QZProcChainBase, o) then
    local l = _Children(o, "QZProcBase")
    for i = 0, l:_Count() - 1 do touchTree(l:_Get(i), depth + 1) end
  elseif _IsInst(QZProcBase, o) then
    local l = _Children(o, "QZProcChild")
    for i = 0, l:_Count() - 1 do touchTree(l:_Get(i), depth + 1) end
    if _IsInst(QZCellBase, o) then
      l = _Children(o, "ProcChainQueue")
      for i = 0, l:_Count() - 1 do touchTree(l:_Get(i), depth + 1) end
    end
  end
end

-- Everything a loaded chain offers to walk: every walk must end.
local function exercise(v, depth)
  if type(v) ~= "userdata" or not v._Count or depth > 8 then return end
  for i = 0, v:_Count() - 1 do
    local o = v:_Get(i)
    if type(o) ~= "userdata" then
      -- a plain value
    elseif o._Count then
      exercise(o, depth + 1)
    elseif _IsInst(QZProcChainBase, o) then
      o:ToParaPkg()
      o:GetLastProc()
      o:GetTag()
      o:Equals(o)
      r:SaveToJSonPkg(_Pkg(o))
      touchTree(o, 0)
      _Free(o)
    elseif _IsInst(QZProcBase, o) then
      touchTree(o, 0)
      _Free(o)
    end
  end
end

local function feed(input)
  local v = r:LoadFromJSonPkg(input)
  T.check(v == nil or type(v) == "userdata", "the reader gives a result or nil")
  exercise(v, 0)
end

for _, s in ipairs(seeds) do feed(s) end
_Errors()
_CollectGarbage()
local livePackages = T.stat("LivePackages")
local liveObjects = T.stat("LiveObjects")

for round = 1, ROUNDS do
  local s = seeds[math.random(#seeds)]
  feed(mutate(s))
  F.feedMutatedText(s, feed)
  if round % 50 == 0 then
    _Errors()
    _CollectGarbage()
  end
end
_Errors()
_CollectGarbage()
T.check(T.stat("LivePackages") <= livePackages,
        "no package is left behind: " .. T.stat("LivePackages") .. " > " .. livePackages)
T.check(T.stat("LiveObjects") <= liveObjects, "no object is left behind: " .. T.stat("LiveObjects") .. " > " .. liveObjects)
T.eq(T.stat("UnlockAtZero"), 0, "no lock is given back twice")

local again = r:LoadFromJSonPkg(seeds[1])
T.check(again ~= nil and again:_Get(0):Equals(ch), "the reader still reads a good chain")

T.finish("chain_fuzz")
