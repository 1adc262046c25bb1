-- Let the realm build and run a chain for you:  ./run.sh examples/realm_services.lua
--
-- In examples/realm_run.lua you wired the chain yourself. Here you only say
-- what you want (a sandwich) and what you have (wheat and milk); the realm
-- finds procs that make it, working backwards, and links them into a chain.
-- Then it runs the chain on demand, and on the way we look inside the realm
-- while a proc is at work, the way a monitor would draw it.

-- 1. Six data types and four proc types. Each proc says what it takes and
--    what it makes; that is all the realm needs to know to search.
local Wheat = QZDataBase:CreateType("bakery.Wheat")
local Flour = QZDataBase:CreateType("bakery.Flour")
local Bread = QZDataBase:CreateType("bakery.Bread")
local Cheese = QZDataBase:CreateType("bakery.Cheese")
local Milk = QZDataBase:CreateType("bakery.Milk")
local Sandwich = QZDataBase:CreateType("bakery.Sandwich")

-- The value of a datum (the first item of its buffer), and the items of a
-- package as a Lua list (packages count from 0).
local function value(d) return d:GetDataBuf():_Get(0) end
local function items(pkg)
  local out = {}
  for i = 0, pkg:_Count() - 1 do out[#out + 1] = pkg:_Get(i) end
  return out
end

-- A proc type whose body turns its inputs into one output with `make`.
-- Execute reads every input, adds the output, accepts the inputs (so they
-- are not offered again), lets `watch` (if any) look around, and answers 0:
-- finished.
local function procType(name, inputs, output, make, watch)
  local P = QZProcBase:CreateSubType(name)
  P:InputFrom(table.unpack(inputs)) -- one call declares all of them
  P:OutputFrom(output)
  function P:Execute(realm, cell, runner)
    local got = {}
    for i = 0, #inputs - 1 do got[#got + 1] = self:GetInput(i) end
    local values = {}
    for i, d in ipairs(got) do values[i] = value(d) end
    self:AddOutputData(output(make(table.unpack(values))))
    for _, d in ipairs(got) do self:AcceptInput(d) end
    if watch then watch(realm, cell) end
    return 0
  end
  return P
end

local Mill = procType("bakery.Mill", {Wheat}, Flour, function(w) return w .. " flour" end)
local Bake = procType("bakery.Bake", {Flour}, Bread, function(f) return (f:gsub("flour", "bread")) end)
local Age = procType("bakery.Age", {Milk}, Cheese, function(m) return m .. " cheese" end)

-- Reads a key of a dictionary package (a status is one); nil when absent.
local function get(pkg, key)
  local at = pkg:_FindDict(key)
  if at < 0 then return nil end
  return pkg:_Get(at)
end

-- What an object is, in a few words: a proc by its type, a cell by the
-- first procs of its chains, a datum by its value.
local function describe(obj)
  if _IsInst(QZCellBase, obj) then
    local inside = {}
    for _, c in ipairs(items(_Children(obj, "ProcChainQueue"))) do
      inside[#inside + 1] = c:GetFirstProc():GetTypeName()
    end
    return "cell of " .. table.concat(inside, "+")
  elseif _IsInst(QZProcBase, obj) then
    return obj:GetTypeName()
  elseif _IsInst(QZDataBase, obj) then
    return '"' .. value(obj) .. '"'
  end
end

-- A status names objects by ID only, and the procs and data it shows belong
-- to the run: they can be looked up (_FromID) only while it goes on. So the
-- proc that takes the status also notes what each drawn shape stands for.
local labels = {}
local function labelShapes(status)
  local function label(shapes)
    for _, e in ipairs(items(shapes)) do
      local obj = _FromID(get(e, "ObjectID"))
      if obj ~= nil then labels[get(e, "ObjectID")] = describe(obj) end
    end
  end
  for _, cell in ipairs(items(get(status, "ObjectList"))) do
    label(get(cell, "Elements"))
    for _, runner in ipairs(items(get(cell, "NormalRunnerQueue"))) do label(get(runner, "Elements")) end
  end
end

-- Assemble also looks inside the realm while it is at work. A proc's body
-- gets the realm and the cell it runs in; GetStatusWithPos(cell, W, H, HI,
-- VI, R) describes that cell right now, with a drawing (0 takes the default
-- sizes). We keep what it saw and read it at the end.
local seen
local Assemble = procType("bakery.Assemble", {Bread, Cheese}, Sandwich,
                          function(b, c) return b .. " & " .. c end,
                          function(realm, cell)
                            seen = realm:GetStatusWithPos(cell, 0, 0, 0, 0, 0)
                            labelShapes(seen)
                          end)

local realm = _New(QZRealmBase)

-- 2. Build backwards. BuildProcChain(wanted, have...) answers [true, chain]
--    or, when nothing makes some type, [false, that type]. The search:
--    - a Sandwich is made by Assemble, which needs Bread and Cheese;
--    - Bread is made by Bake (needs Flour), Cheese by Age (needs Milk, which
--      we have); two procs on one level become one cell holding both;
--    - Flour is made by Mill, which needs Wheat: we have it, the search ends.
--    The levels are joined deepest first: Mill, the cell, Assemble. Take
--    the chain out of the answer at once: the package names it by ID only.
local answer = realm:BuildProcChain(Sandwich, Wheat, Milk)
local ok, chain = answer:_Get(0), answer:_Get(1)
print("built: " .. tostring(ok))
for _, p in ipairs(items(chain:ToParaPkg())) do print("  step: " .. describe(p)) end

-- Asking for something nobody makes names the missing type.
local Cake = QZDataBase:CreateType("bakery.Cake")
local none = realm:BuildProcChain(Cake)
print("a cake? " .. tostring(none:_Get(0)) .. ", nothing makes " .. _Name(none:_Get(1)))

-- 3. Run on demand. RunProc(input, expected, procOrChain...) runs the chain
--    on a temporary realm made from ours, with the inputs as its data, and
--    answers the collected data: here only Sandwiches. An empty answer means
--    the run failed. The run works on copies: `chain` is still ours, ready
--    for another run. The sandwich outlives the temporary realm while we
--    hold it: a package names its objects by ID only, so take them out.
local result = realm:RunProc(_Pkg(Wheat("rye"), Milk("goat")), Sandwich, chain)
local sandwich = result:_Get(0)
print("result: " .. result:_Count() .. " datum")
print("  " .. value(sandwich))

-- 4. What the monitor saw, mid-run. On top, the cell's own data (what we
--    gave the run). Then the cell's runners, one strip each: RunProc's
--    collector (a proc of its own, waiting for the Sandwich) and our chain.
--    A runner lists its procs, IsCurrent marking the one it stands at, and
--    the shapes that draw it: a box per proc, circles for its inputs on its
--    left and for the data it made on its right. With the default sizes a
--    proc box is 90 wide and starts 120 in; the data row takes 80 on top,
--    so the first strip starts at y 80 and the second below it, at 80 + 220.
--    The shapes come band by band; here they are sorted left to right.
local cell = get(seen, "ObjectList"):_Get(0)
for _, e in ipairs(items(get(cell, "Elements"))) do
  print(string.format("cell data %s at %d,%d", labels[get(e, "ObjectID")] or "?", get(e, "PosX"), get(e, "PosY")))
end
for n, runner in ipairs(items(get(cell, "NormalRunnerQueue"))) do
  print(string.format("runner %d: at %d,%d, %d wide and %d high", n, get(runner, "PosX"), get(runner, "PosY"),
                      get(runner, "Width"), get(runner, "Height")))
  for _, p in ipairs(items(get(runner, "QZProcStart"))) do
    print("  proc " .. (labels[get(p, "ObjectID")] or "?") .. (get(p, "IsCurrent") and "  <- at work" or ""))
  end
  local shapes = items(get(runner, "Elements"))
  table.sort(shapes, function(a, b)
    if get(a, "PosX") ~= get(b, "PosX") then return get(a, "PosX") < get(b, "PosX") end
    return get(a, "PosY") < get(b, "PosY")
  end)
  for _, e in ipairs(shapes) do
    local size = get(e, "Width") and (get(e, "Width") .. "x" .. get(e, "Height")) or ("r" .. get(e, "Radius"))
    local name = labels[get(e, "ObjectID")] or get(e, "ObjectName")
    print(string.format("  %-13s %-31s at %3d,%3d  %s", get(e, "Type"), name, get(e, "PosX"), get(e, "PosY"), size))
  end
end
print("reports: " .. _Errors():_Count())
