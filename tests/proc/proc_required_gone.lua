-- An input may require one data object, which the input holds; a script can
-- still free that object. Every use of such an input afterwards (printing,
-- matching, copying into procs, cells and wrapped chains, tags, a new
-- declaration, freeing) must leave the freed object alone: the host counts
-- any touch of it, and nothing may be left over.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local A = QZDataBase:CreateType("rg.A")
local B = QZDataBase:CreateType("rg.B")

local function invalid() return T.stat("InvalidObjects") end

-- "rg.A" for a type, "A=<value>" for an object of A, so that a printed
-- declaration shows whether the required object is still there.
local function listing(pkg)
  local out = {}
  for _, v in ipairs(T.items(pkg)) do
    if type(v) == "userdata" and _Name(v) ~= "" then
      out[#out + 1] = _Name(v)
    elseif type(v) == "userdata" then
      out[#out + 1] = "object"
    else
      out[#out + 1] = tostring(v)
    end
  end
  return table.concat(out, ",")
end

-- Each case declares inputs that require a fresh object of A, frees the
-- object at once or after making what the case needs, uses what it made,
-- then frees it. The counts are taken before the types' objects exist.
local cases = {
  {"a proc made before the object is freed", function(req)
    local X = QZProcBase:CreateSubType("rg.P1")
    T.eq(X:InputFrom(req, B), true, "declared")
    local x = X()
    _Free(req)
    T.eq(x:GetInputNumber(), 2, "both inputs stay")
    T.eq(listing(x:InputQueueToParaPkg()):find("rg.B", 1, true) ~= nil, true, "printed")
    T.eq(x:DataCanBeAsInput(A(1)), false, "no object stands in for the freed one")
    T.eq(x:DataCanBeAsInput(B(1)), true, "the other input still takes its type")
    T.eq(x:Equals(X()), true, "procs of the type stay equal")
    _Free(x)
    _Free(X)
  end},
  {"a proc made after the object is freed", function(req)
    local X = QZProcBase:CreateSubType("rg.P2")
    T.eq(X:InputFrom(req, B), true, "declared")
    _Free(req)
    local y = X()
    T.eq(y:GetInputNumber(), 2, "the copy has both inputs")
    T.eq(y:DataCanBeAsInput(A(1)), false, "the copy still requires the freed object")
    _Free(X) -- the type first, its proc after
    _Free(y)
  end},
  {"a type declared again", function(req)
    local X = QZProcBase:CreateSubType("rg.P3")
    T.eq(X:InputFrom(req), true, "declared")
    _Free(req)
    T.eq(X:InputFrom(A, B), true, "declared again over the old inputs")
    T.eq(listing(X:InputQueueToParaPkg()), "rg.A,rg.B", "the new declaration")
    _Free(X)
  end},
  {"a cell and its tag", function(req)
    local C = QZCellBase:CreateSubType("rg.C1")
    T.eq(C:InputFrom(req, B), true, "declared")
    local c = C()
    local before = c:GetTag()
    _Free(req)
    local after = c:GetTag()
    T.check(type(after) == "string" and after ~= "", "a tag is still made")
    T.check(after ~= before, "the tag no longer names the freed object")
    T.eq(C:GetTag(), after, "the type's tag is the cell's")
    _Free(c)
    _Free(C)
  end},
  {"a chain wrapped into a cell", function(req)
    local X = QZProcBase:CreateSubType("rg.P4")
    T.eq(X:InputFrom(req, B), true, "declared")
    local inner = _New(QZProcChainBase)
    T.eq(inner:Append(X), true, "a proc of the type in a chain")
    _Free(req)
    local outer = _New(QZProcChainBase)
    T.eq(outer:Append(inner), true, "the chain is wrapped into a cell")
    local cell = outer:GetFirstProc()
    T.check(cell ~= nil and cell:GetInputNumber() == 2, "the wrapping cell has the inputs")
    _Free(outer)
    _Free(inner)
    _Free(X)
  end},
  {"a realm run after the object is freed", function(req)
    local X = QZProcBase:CreateSubType("rg.P6")
    T.eq(X:InputFrom(req), true, "declared")
    local ran = 0
    function X:Execute() ran = ran + 1 self:AcceptInput(self:GetInput(0)) return 0 end
    local realm = _New(QZRealmBase)
    local cell = _New(QZCellBase)
    cell:AddProc(X())
    realm:AddCell(cell)
    _Free(req)
    realm:AddEnvData(A(7))
    realm:Execute()
    T.eq(ran, 0, "no datum stands in for the freed object")
    realm:ClearEnvData()
    _Free(realm)
    _Free(cell)
    _Free(X)
    _CollectGarbage()
  end},
  {"the proc freed before the object", function(req)
    local X = QZProcBase:CreateSubType("rg.P5")
    T.eq(X:InputFrom(req), true, "declared")
    local x = X()
    _Free(x)
    _Free(X)
    _Free(req)
  end},
}

for _, case in ipairs(cases) do
  local name, run = case[1], case[2]
  local before = T.counts()
  local bad = invalid()
  run(A(7))
  T.balanced(before, name)
  T.eq(invalid(), bad, name .. ": no freed object touched")
end

T.finish("proc_required_gone")
