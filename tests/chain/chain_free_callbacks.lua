-- Free callbacks along a chain of proc chains, each made from the one before
-- (c = _New(c)). A target registered on a chain, or on the chain class
-- object, hears every chain that dies at or below it, in the order dying
-- chain, its class, that class's class; whether it was registered before the
-- chains below it were made or after frees had walked them already. Nothing
-- is heard from a list emptied again, nor when nothing is registered on the
-- chain; and a callback that frees the chain the walk is at lets the walk go
-- on from the class above it without the module touching the freed chain.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local D = 12 -- deeper than the eight links some walks read at once
local heard = {}
local level = {} -- chain ID -> "<tag><level>"

local function listener(name, also)
  local o = _New(_Object)
  _LockGC(o)
  o.OnFreeCallback = function(self, dying)
    local at = level[_ID(dying)]
    if at then heard[#heard + 1] = name .. "<" .. at end
    if also then also(dying) end
  end
  return o
end

-- Levels from..to of a chain on top of chain[from - 1].
local function grow(tag, chain, from, to)
  for i = from, to do
    chain[i] = i == 0 and _New(QZProcChainBase) or _New(chain[i - 1])
    level[_ID(chain[i])] = tag .. i
  end
end

-- What the marks (level -> name, then the class listener's name) make heard
-- when the chains of the given levels die in that order.
local function expected(tag, dying, marks, classNames)
  local out = {}
  for _, k in ipairs(dying) do
    for j = k, 0, -1 do
      if marks[j] then out[#out + 1] = marks[j] .. "<" .. tag .. k end
    end
    for _, n in ipairs(classNames) do out[#out + 1] = n .. "<" .. tag .. k end
  end
  return table.concat(out, ",")
end

local function take()
  local s = table.concat(heard, ",")
  heard = {}
  return s
end

T.errors()

-- Nothing registered on the chain: a target on another chain hears nothing
-- of it, before and after a target was ever registered anywhere.
local quiet = {}
grow("q", quiet, 0, D)
_Free(quiet[D])
local other = _New(QZProcChainBase)
local lo = listener("other")
other:RegCallBack(lo)
_Free(quiet[D - 1])
_Free(quiet[0])
T.eq(take(), "", "nothing registered on the chain, nothing heard")
T.check(not T.alive(quiet[1]) and not T.alive(quiet[0]), "the chain is gone")
other:UnRegCallBack(lo)

-- Registered before the levels below were made.
local k = "c"
local chain = {}
local lr, lm, late, again = listener("root"), listener("mid"), listener("late"), listener("again")
grow(k, chain, 0, 4)
chain[0]:RegCallBack(lr)
chain[3]:RegCallBack(lm)
-- A list emptied before any free walked past it.
chain[4]:RegCallBack(again)
chain[4]:UnRegCallBack(again)
grow(k, chain, 5, D)
local marks = {[0] = "root", [3] = "mid"}
_Free(chain[D])
T.eq(take(), expected(k, {D}, marks, {}), "registered before the chain was made")

-- Registered after the chain was made and a free walked it.
chain[6]:RegCallBack(late)
marks[6] = "late"
_Free(chain[D - 1])
T.eq(take(), expected(k, {D - 1}, marks, {}), "registered after a walk")

-- On the class object, heard last.
local lc = listener("class")
QZProcChainBase:RegCallBack(lc)
_Free(chain[D - 2])
T.eq(take(), expected(k, {D - 2}, marks, {"class"}), "the class object heard last")

-- A list emptied again is silent; the others still hear.
chain[3]:UnRegCallBack(lm)
marks[3] = nil
_Free(chain[D - 3])
T.eq(take(), expected(k, {D - 3}, marks, {"class"}), "unregistered, not heard")
-- Lists emptied before frees walked past them, filled again.
chain[3]:RegCallBack(lm)
marks[3] = "mid"
chain[4]:RegCallBack(again)
marks[4] = "again"

-- Several levels in one free: each dying chain is heard by what is above it,
-- in whatever order the host frees them.
local dying = {}
local tracker = listener("track", function(d) dying[#dying + 1] = tonumber(level[_ID(d)]:sub(#k + 1)) end)
chain[0]:RegCallBack(tracker)
_Free(chain[5])
T.eq(#dying, D - 3 - 5, "levels 5 to " .. (D - 4) .. " died")
local got = take():gsub("track<[^,]*,?", ""):gsub(",$", "")
T.eq(got, expected(k, dying, marks, {"class"}), "each dying level heard by what is above it")
chain[0]:UnRegCallBack(tracker)
chain[3]:UnRegCallBack(lm)
chain[4]:UnRegCallBack(again)
QZProcChainBase:UnRegCallBack(lc)

-- A callback that frees the chain the walk is at: that chain's own free is
-- heard within, and the walk of the first goes on from the class above it,
-- found again by ID.
_Free(chain[4])
T.eq(take(), "root<" .. k .. "4", "the top level freed alone")
local victim = chain[2]
local killer = listener("killer", function(d)
  local v = victim
  victim = nil
  if v then _Free(v) end
end)
chain[2]:RegCallBack(killer)
local invalid = T.stat("InvalidObjects")
_Free(chain[3])
T.eq(take(), table.concat({"killer<" .. k .. "3", "killer<" .. k .. "2", "root<" .. k .. "2", "root<" .. k .. "3"}, ","),
     "a callback freeing the chain walked")
T.check(not T.alive(chain[2]) and not T.alive(chain[3]), "both chains were freed")
T.eq(T.stat("InvalidObjects") - invalid, 0, "no freed chain touched")

-- Nothing left registered: nothing heard.
chain[0]:UnRegCallBack(lr)
_Free(chain[1])
_Free(chain[0])
T.eq(take(), "", "all unregistered")
T.eq(#T.errors(), 0, "no callback failed")

T.finish("chain_free_callbacks")
