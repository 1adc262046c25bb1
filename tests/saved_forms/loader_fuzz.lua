-- Loader robustness: seeded random mutations of value lists, JSON packages,
-- data records and rule records (as packages and as JSON text) are fed to the
-- readers. Every call must end with a result or a clear refusal (nil), never
-- a crash, and nothing may be left behind once the results are dropped.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local F = dofile(arg[1] .. "/../lua/trelk_fuzzlib.lua")

math.randomseed(20261210)
local ROUNDS = 400

local R = QZRuleBase:CreateType("fz.R")
local r = R()
local P = QZDataBase:CreateType("fz.P")
local Q = QZDataBase:CreateType("fz.Q")
local hasRecord = pcall(function() return _New(P):SaveTo(_Pkg()) end)

local seeds = {}
local buf = _Pkg(nil, 1, 2.5, "s", true, 1 << 40, _Pkg(1, _Pkg("x")), P, P(1, "v"), Q(_Pkg(3)), QZDataBase)
seeds[#seeds + 1] = r:SaveToJSonPkg(buf)
local rule = R()
rule:GetRuleBuf():_Append(3)
rule:GetRuleBuf():_Append(P(2))
local ruleRec = _Pkg()
rule:SaveTo(ruleRec)
seeds[#seeds + 1] = ruleRec
if hasRecord then
  local rec = _Pkg()
  P(1, _Pkg(2), Q(4)):SaveTo(rec)
  seeds[#seeds + 1] = rec
end

local words = {"Type", "Value", "BaseClass", "ClassName", "IsClass", "Signature", "PackageInfo", "QZDataBase",
               "QZProcBase", "QZProcChainBase", "fz.P", "fz.Q", "fz.R", "QZProc", "QZProcChain", ""}
local function randomValue(depth)
  return F.randomValue(depth, words, function() return P end)
end

local function mutate(pkg)
  return F.mutate(pkg, {depth = 6, value = randomValue, words = words, ops = 6})
end

-- Objects a reader made stay reachable only through the results; touch them
-- all so that collection can free them once the results go.
local function touch(v, depth)
  if depth > 8 or v == nil then return end
  if type(v) == "userdata" and v._Count then
    for i = 0, v:_Count() - 1 do touch(v:_Get(i), depth + 1) end
  elseif type(v) == "userdata" and _IsInst(QZDataBase, v) then
    local ok, b = pcall(function() return v:GetDataBuf() end)
    if ok then touch(b, depth + 1) end
  elseif type(v) == "userdata" and _IsInst(QZRuleBase, v) then
    touch(v:GetRuleBuf(), depth + 1)
  end
end

local function feed(input)
  local results = {
    r:LoadFromJSonPkg(input),
    r:LoadFrom(input),
  }
  if hasRecord then results[#results + 1] = QZDataBase:LoadFrom(input) end
  for _, v in pairs(results) do
    T.check(v == nil or type(v) == "userdata", "a reader gives a result or nil")
    touch(v, 0)
  end
end

-- Warm up once so that the baseline holds whatever a first call keeps.
for _, s in ipairs(seeds) do feed(s) end
_Errors()
_CollectGarbage()
local livePackages = T.stat("LivePackages")
local liveObjects = T.stat("LiveObjects")

local refused = 0
for round = 1, ROUNDS do
  local seed = seeds[math.random(#seeds)]
  local m = mutate(seed)
  local before = #T.errors()
  feed(m)
  feed(_Dict("PackageInfo", _Pkg(), "Value", m))
  F.feedMutatedText(seed, feed)
  if round % 50 == 0 then _CollectGarbage() end
end
_Errors()
_CollectGarbage()
T.check(T.stat("LivePackages") <= livePackages,
        "no package is left behind: " .. T.stat("LivePackages") .. " > " .. livePackages)
T.check(T.stat("LiveObjects") <= liveObjects, "no object is left behind: " .. T.stat("LiveObjects") .. " > " .. liveObjects)

-- The readers still work after the sweep.
local again = r:LoadFromJSonPkg(seeds[1])
T.check(again ~= nil and again:_Get(1) == 1, "the value list reader still reads a good list")

T.finish("saved_forms_loader_fuzz")
