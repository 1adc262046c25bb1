-- The realm's loaders fed seeded random mutations of saved object packages
-- and JSON packages (as packages and through damaged JSON text). Every call
-- ends with a package (LoadObject) or a package or nil (LoadFromJSonPkg),
-- never a crash or an endless walk, and nothing is left behind once the
-- results are dropped.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local F = dofile(arg[1] .. "/../lua/trelk_fuzzlib.lua")

math.randomseed(20261211)
local ROUNDS = 300

local realm = _New(QZRealmBase)
local K = dofile(arg[1] .. "/persist_types.lua")
local Item, Heat, Serve, Keep, Sorter = K.Item, K.Heat, K.Serve, K.Keep, K.Sorter

local function chain()
  local h, s = Heat(), Serve()
  local c = _New(QZProcChainBase)
  c:FromPara(h, Serve(), s)
  c:AddChildProcChain(h, Serve(), s)
  return c
end
local cell = _New(QZCellBase)
cell:ConnectProc(Heat, Serve)
local far = _New(QZProcRemoteBase)
far.Url = "tcp://x"
local rule = Keep()
rule:GetRuleBuf():_Append(Item(1))

local saved = _Pkg()
realm:SaveObject(saved, Heat(), far, cell, Sorter(), chain(), rule, Item(2, "two"))
local seeds = {saved, realm:SaveToJSonPkg(_Pkg(1, "x", Item(3), chain(), _Pkg(Serve())))}
-- The object IDs of the seeds, so that mutations can point links anywhere.
local ids = {}
for id in saved:_ToJSon():gmatch("%x+%-%x+%-%x+%-%x+%-%x+") do ids[#ids + 1] = id end

local words = {"Type", "Value", "ClassName", "ObjectID", "QZProcNext", "QZProcID", "QZProcBase", "QZProcChild",
               "InputQueue", "OutputQueue", "ProcChainQueue", "ObjectList", "PackageInfo", "DataBaseName",
               "RequestNumber", "IsMustExist", "ChildEndMarker", "QZProc", "QZCell", "QZProcRemote", "QZProcChain",
               "Heat", "Serve", "Item", "Keep", "Sorter", "QZProcBase", "QZCellBase", ".x", "no.such", ""}
local function randomValue(depth)
  local k = math.random(1, 10)
  if k == 1 then return nil
  elseif k == 2 then return math.random(-3, 12)
  elseif k == 3 then return math.random() * 100
  elseif k == 4 then return words[math.random(#words)]
  elseif k == 5 then return math.random(2) == 1
  elseif k == 6 then return ids[math.random(#ids)]
  elseif k == 7 and depth < 3 then return _Pkg(randomValue(depth + 1), randomValue(depth + 1))
  elseif k == 8 and depth < 3 then return _Dict(words[math.random(#words)], randomValue(depth + 1))
  elseif k == 9 then return ids[math.random(#ids)]:lower()
  else return Item end
end

local function mutate(pkg)
  return F.mutate(pkg, {depth = 8, value = randomValue, words = words, ops = 7,
    edit5 = function(n, count)
      if count > 0 and n:_IsDict() then
        -- A link value pointed at some saved object, or a key renamed.
        n:_Set(math.random(0, count - 1), math.random(2) == 1 and ids[math.random(#ids)] or words[math.random(#words)])
      end
    end,
    edit7 = function(n, count)
      if count > 0 then
        n:_Append("QZProcNext")
        n:_Append(ids[math.random(#ids)])
      end
    end})
end

-- Loaded objects live while the script holds them: read every result, walk
-- each proc's order and each chain (a loop would not end), then drop them.
local function touch(v, depth)
  if depth > 8 or v == nil or type(v) ~= "userdata" then return end
  if v._Count then
    for i = 0, v:_Count() - 1 do touch(v:_Get(i), depth + 1) end
  elseif _IsInst(QZProcChainBase, v) then
    v:ToParaPkg()
    v:GetLastProc()
  elseif _IsInst(QZProcBase, v) then
    local p, steps = v, 0
    while p ~= nil and steps < 64 do
      p, steps = p:GetNextProc(), steps + 1
    end
  elseif _IsInst(QZRuleBase, v) then
    touch(v:GetRuleBuf(), depth + 1)
  elseif _IsInst(QZDataBase, v) then
    local ok, b = pcall(function() return v:GetDataBuf() end)
    if ok then touch(b, depth + 1) end
  end
end

local function feed(input)
  local strict = realm:LoadObject(input)
  local lenient = realm:LoadObject(input, true)
  T.check(strict ~= nil and strict._Count ~= nil, "LoadObject always gives a package")
  T.check(lenient ~= nil and lenient._Count ~= nil, "also when lenient")
  local fromJson = realm:LoadFromJSonPkg(input)
  T.check(fromJson == nil or fromJson._Count ~= nil, "LoadFromJSonPkg gives a package or nil")
  touch(strict, 0)
  touch(lenient, 0)
  touch(fromJson, 0)
  return lenient:_Count()
end

for _, s in ipairs(seeds) do feed(s) end
_Errors()
local before = T.counts()

local loaded = 0
for round = 1, ROUNDS do
  local seed = seeds[math.random(#seeds)]
  local m = mutate(seed)
  loaded = loaded + feed(m)
  F.feedMutatedText(seed, feed)
  if round % 50 == 0 then
    _Errors()
    collectgarbage("collect")
    _CollectGarbage()
  end
end
_Errors()
T.check(loaded > 0, "some mutations still load")
T.balanced(before, "after the mutations")

-- The loaders still work after the sweep.
T.eq(realm:LoadObject(saved):_Count(), 7, "a good package still loads whole")
T.finish("services_persist_fuzz")
