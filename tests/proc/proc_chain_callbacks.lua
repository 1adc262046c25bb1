-- Free callbacks along chains of objects each made from the one before:
-- cells (c = _New(c)), proc types (CreateSubType of the previous) and data
-- (d = d()). A target registered on an object of the chain, or on the class
-- objects above it, hears every object that dies at or below it, in the order
-- dying object, its class, that class's class; whether it was registered
-- before the chain below it was made or after frees had walked the chain
-- already. Nothing is heard from a list emptied again, or when nothing is
-- registered; and a callback that frees the class it was registered on ends
-- the walk there without the module touching the freed class.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local D = 12 -- deeper than the eight links some walks read at once
local heard = {}
local level = {} -- object ID -> "<tag><level>"

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

local Datum = QZDataBase:CreateType("cc.Datum")
local kinds = {
  {tag = "c", classes = {QZCellBase, QZProcBase},
   root = function(tag) return _New(QZCellBase) end,
   next = function(c, tag, i) return _New(c) end},
  {tag = "p", classes = {QZProcBase},
   root = function(tag) return QZProcBase:CreateSubType("cc." .. tag .. "0") end,
   next = function(c, tag, i) return c:CreateSubType("cc." .. tag .. i) end},
  {tag = "d", classes = {Datum, QZDataBase},
   root = function(tag) return Datum(0) end,
   next = function(c, tag, i) return c() end},
}

-- Levels from..to of a chain on top of chain[from - 1].
local function grow(kind, tag, chain, from, to)
  for i = from, to do
    chain[i] = i == 0 and kind.root(tag) or kind.next(chain[i - 1], tag, i)
    level[_ID(chain[i])] = tag .. i
  end
end

-- What the marks (level -> name, then the class listeners' names) make
-- heard when the objects of the given levels die in that order.
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

for _, kind in ipairs(kinds) do
  local k = kind.tag
  -- Nothing registered on the chain: a target on another object of the
  -- kind hears nothing of it.
  local quiet = {}
  grow(kind, k .. "q", quiet, 0, D)
  local other = kind.root(k .. "o")
  local lo = listener("other")
  other:RegCallBack(lo)
  _Free(quiet[D])
  _Free(quiet[0])
  T.eq(take(), "", k .. ": nothing registered on the chain, nothing heard")
  T.check(not T.alive(quiet[1]) and not T.alive(quiet[0]), k .. ": the chain is gone")
  other:UnRegCallBack(lo)

  -- Registered before the levels below were made.
  local chain = {}
  local lr, lm, late = listener("root"), listener("mid"), listener("late")
  grow(kind, k, chain, 0, 4)
  chain[0]:RegCallBack(lr)
  chain[3]:RegCallBack(lm)
  grow(kind, k, chain, 5, D)
  local marks = {[0] = "root", [3] = "mid"}
  _Free(chain[D])
  T.eq(take(), expected(k, {D}, marks, {}), k .. ": registered before the chain was made")

  -- Registered after the chain was made and a free walked it.
  chain[6]:RegCallBack(late)
  marks[6] = "late"
  _Free(chain[D - 1])
  T.eq(take(), expected(k, {D - 1}, marks, {}), k .. ": registered after a walk")

  -- On the class objects, heard last, in chain order.
  local classNames, classListeners = {}, {}
  for i, class in ipairs(kind.classes) do
    classNames[i] = "class" .. i
    classListeners[i] = listener(classNames[i])
    class:RegCallBack(classListeners[i])
  end
  _Free(chain[D - 2])
  T.eq(take(), expected(k, {D - 2}, marks, classNames), k .. ": class objects heard last")

  -- A list emptied again is silent; the others still hear.
  chain[3]:UnRegCallBack(lm)
  marks[3] = nil
  _Free(chain[D - 3])
  T.eq(take(), expected(k, {D - 3}, marks, classNames), k .. ": unregistered, not heard")

  -- Several levels in one free: each dying object is heard by what is above
  -- it, in whatever order the host frees them.
  local dying = {}
  local tracker = listener("track", function(d) dying[#dying + 1] = tonumber(level[_ID(d)]:sub(#k + 1)) end)
  chain[0]:RegCallBack(tracker)
  _Free(chain[5])
  T.eq(#dying, D - 3 - 5, k .. ": levels 5 to " .. (D - 4) .. " died")
  local got = take():gsub("track<[^,]*,?", ""):gsub(",$", "")
  T.eq(got, expected(k, dying, marks, classNames), k .. ": each dying level heard by what is above it")
  chain[0]:UnRegCallBack(tracker)
  for i, class in ipairs(kind.classes) do class:UnRegCallBack(classListeners[i]) end

  -- A callback that frees the class it was registered on: the walk ends
  -- there, and no freed class is asked for its own class.
  _Free(chain[4])
  T.eq(take(), "root<" .. k .. "4", k .. ": the top level freed alone")
  local victim = chain[2]
  local killer = listener("killer", function(d)
    local v = victim
    victim = nil
    if v then _Free(v) end
  end)
  chain[2]:RegCallBack(killer)
  local invalid = T.stat("InvalidObjects")
  _Free(chain[3])
  T.eq(take(), table.concat({"killer<" .. k .. "3", "killer<" .. k .. "2", "root<" .. k .. "2"}, ","),
       k .. ": a callback freeing its class")
  T.check(not T.alive(chain[2]), k .. ": the class was freed")
  T.eq(T.stat("InvalidObjects") - invalid, 0, k .. ": no freed object touched")

  -- Nothing left registered: nothing heard.
  chain[0]:UnRegCallBack(lr)
  _Free(chain[0])
  T.eq(take(), "", k .. ": all unregistered")
end

T.finish("proc_chain_callbacks")
