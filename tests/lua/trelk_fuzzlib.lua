-- Seeded random mutation of packages and of their JSON text, shared by the
-- loader fuzz scenarios. Each scenario brings its own words, values and
-- special edits; the order of the random draws is fixed, so one seed always
-- replays the same run.
--   local F = dofile(arg[1] .. "/../lua/trelk_fuzzlib.lua")
local F = {}

-- A random value of the kinds every loader sees: nil, numbers, one of words,
-- booleans, big integers, nested packages and dictionaries; other() gives the
-- rest.
function F.randomValue(depth, words, other)
  local k = math.random(1, 9)
  if k == 1 then return nil
  elseif k == 2 then return math.random(-3, 12)
  elseif k == 3 then return math.random() * 100
  elseif k == 4 then return words[math.random(#words)]
  elseif k == 5 then return math.random(2) == 1
  elseif k == 6 then return math.random(-2, 2) * (1 << 40)
  elseif k == 7 and depth < 3 then return _Pkg(F.randomValue(depth + 1, words, other), F.randomValue(depth + 1, words, other))
  elseif k == 8 and depth < 3 then return _Dict(words[math.random(#words)], F.randomValue(depth + 1, words, other))
  else return other() end
end

-- All packages of a tree, the root first, no deeper than maxDepth levels.
function F.nodes(pkg, maxDepth, out, depth)
  out = out or {}
  depth = depth or 0
  out[#out + 1] = pkg
  if depth > maxDepth then return out end
  for i = 0, pkg:_Count() - 1 do
    if pkg:_Type(i) == 8 then F.nodes(pkg:_Get(i), maxDepth, out, depth + 1) end
  end
  return out
end

-- A copy of pkg with 1 to 4 random edits, each on a random package of its
-- tree. opts:
--   depth        how deep the edited packages may lie
--   value(0)     a random value
--   words        names that an item may be replaced with (edit 5 by default)
--   ops          how many kinds of edit are drawn from (6, or 7 with edit7)
--   edit5(n, count), edit7(n, count, all)
--                the scenario's own edits of package n (all: the tree's
--                packages)
function F.mutate(pkg, opts)
  local words = opts.words
  local edit5 = opts.edit5 or function(n, count)
    if count > 0 then n:_Set(math.random(0, count - 1), words[math.random(#words)]) end
  end
  local m = pkg:_Dup()
  for _ = 1, math.random(1, 4) do
    local all = F.nodes(m, opts.depth)
    local n = all[math.random(#all)]
    local count = n:_Count()
    local op = math.random(1, opts.ops)
    if op == 1 and count > 0 then
      n:_Del(math.random(0, count - 1))
    elseif op == 2 and count > 0 then
      n:_Set(math.random(0, count - 1), opts.value(0))
    elseif op == 3 then
      n:_Append(opts.value(0))
    elseif op == 4 and count > 1 then
      local i, j = math.random(0, count - 1), math.random(0, count - 1)
      local a, b = n:_Get(i), n:_Get(j)
      n:_Set(i, b)
      n:_Set(j, a)
    elseif op == 5 then
      edit5(n, count)
    elseif op == 6 then
      n:_AsDict(not n:_IsDict())
    elseif op == 7 then
      opts.edit7(n, count, all)
    end
  end
  return m
end

-- text with 1 to 3 random byte edits, biased towards JSON's punctuation.
function F.mutateText(text)
  local bytes = {string.byte(text, 1, -1)}
  for _ = 1, math.random(1, 3) do
    local i = math.random(1, #bytes)
    local k = math.random(1, 3)
    if k == 1 then bytes[i] = math.random(32, 126)
    elseif k == 2 then table.remove(bytes, i)
    else table.insert(bytes, i, string.byte("[]{},:\"0", math.random(1, 8))) end
  end
  local parts = {}
  for i = 1, #bytes do parts[i] = string.char(bytes[i]) end
  return table.concat(parts)
end

-- Feeds feed the package read back from pkg's JSON text with a few bytes
-- damaged, when the damaged text still reads.
function F.feedMutatedText(pkg, feed)
  local text = pkg:_ToJSon()
  if text then
    local parsed = _Pkg()
    if parsed:_FromJSon(F.mutateText(text)) then feed(parsed) end
  end
end

return F
