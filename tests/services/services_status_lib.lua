-- Helpers of the status scenarios, on top of the realm-run helpers: the keys
-- of a dictionary in order, the parts of a status package by path, shapes
-- as one line each, and a realm run that takes a status from inside a proc.
local T = dofile(arg[1] .. "/../sched/sched_testlib.lua")

-- The keys of a dictionary package, joined by commas.
function T.keys(pkg)
  local out = {}
  for i = 0, pkg:_Count() - 1, 2 do out[#out + 1] = tostring(pkg:_Get(i)) end
  return table.concat(out, ",")
end

-- The package items of a list package, as a Lua list.
function T.list(pkg)
  return T.items(pkg)
end

-- The first described cell of a status package, and its runners.
function T.cellOf(status)
  return T.get(status, "ObjectList"):_Get(0)
end

function T.runnersOf(status)
  return T.list(T.get(T.cellOf(status), "NormalRunnerQueue"))
end

-- A shape as one line: type, position, size, layer; names and IDs are left
-- to the scenarios that check them.
function T.shape(e)
  local parts = {T.get(e, "Type"), T.get(e, "PosX") .. "," .. T.get(e, "PosY")}
  if T.get(e, "Width") ~= nil then parts[#parts + 1] = T.get(e, "Width") .. "x" .. T.get(e, "Height") end
  if T.get(e, "Radius") ~= nil then parts[#parts + 1] = "r" .. T.get(e, "Radius") end
  if T.get(e, "Layer") ~= nil then parts[#parts + 1] = "L" .. T.get(e, "Layer") end
  return table.concat(parts, " ")
end

function T.shapes(elements)
  local out = {}
  for _, e in ipairs(T.list(elements)) do out[#out + 1] = T.shape(e) end
  return out
end

-- Compares two lists of lines, naming the first difference.
function T.lines(actual, expected, what)
  local n = math.max(#actual, #expected)
  for i = 1, n do
    if actual[i] ~= expected[i] then
      T.check(false, what .. ": line " .. i .. ": expected [" .. tostring(expected[i]) .. "], got [" ..
              tostring(actual[i]) .. "]\n  all: " .. table.concat(actual, " | "))
      return
    end
  end
  T.check(true, what)
end

return T
