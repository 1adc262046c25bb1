-- Input and output declarations of proc types: both argument forms, the
-- printed-back grammar, every refusal with its message, output redirection
-- and conversion, and adding output data.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local P = T.prefix

local A = QZDataBase:CreateType("pd.A")
local B = QZDataBase:CreateType("pd.B")
local C = QZDataBase:CreateType("pd.C")

local function items(pkg)
  local out = {}
  for i = 0, pkg:_Count() - 1 do
    local v = pkg:_Get(i)
    out[#out + 1] = (type(v) == "userdata" and _Name(v) ~= "") and _Name(v) or tostring(v)
  end
  return table.concat(out, ",")
end

-- A proc type with typed inputs and outputs, declared with arguments -------
local Sum = QZProcBase:CreateSubType("pd.Sum")
T.eq(Sum:InputFrom(A, 2, B, "o", C), true, "argument form")
T.eq(Sum:GetInputNumber(), 3, "three inputs")
T.eq(items(Sum:InputQueueToParaPkg()), "pd.A,2,pd.B,o,pd.C", "printed back")
T.eq(Sum:IsMustExist(2), false, "o makes input 2 optional")
T.eq(Sum:GetInputType(1), B, "type of input 1")
T.eq(Sum:OutputFrom(C, A), true, "outputs in argument form")
T.eq(items(Sum:OutputQueueToParaPkg()), "pd.C,pd.A", "outputs printed back")

-- ... and the same with one package; a proc made from the type copies both.
local Sum2 = QZProcBase:CreateSubType("pd.Sum2")
T.eq(Sum2:InputFrom(_Pkg(A, 2, B, "o", C)), true, "package form")
T.eq(items(Sum2:InputQueueToParaPkg()), "pd.A,2,pd.B,o,pd.C", "package form printed back")
T.eq(Sum2:OutputFrom(_Pkg(C, A)), true, "outputs in package form")
local s = Sum2()
T.eq(items(s:InputQueueToParaPkg()), "pd.A,2,pd.B,o,pd.C", "instance copies the inputs")
T.eq(items(s:GetOutputType()), "pd.C,pd.A", "instance copies the outputs")
T.eq(s:Equals(Sum2()), true, "procs of one type are equal")
T.eq(s:Equals(Sum()), false, "procs of two types are not")

-- Grammar details: flags, slaves, negative counts, data objects, trailing
-- modifiers, a printed declaration fed back.
local G = QZProcBase:CreateSubType("pd.G")
T.eq(G:InputFrom(true, A, "S", B, -5, C, 2), true, "flags and trailing modifier")
T.eq(items(G:InputQueueToParaPkg()), "true,pd.A,s,pd.B,-1,pd.C", "only-direct, slave, -1")
T.eq(G:IsSlave(1), true, "S is any case")
T.eq(G:GetMasterInput(1), G:GetMasterInput(0), "a slave's master")
T.eq(G:GetMasterInputType(1), A, "master type")
local a1 = A(1)
T.eq(G:InputFrom(a1, B), true, "a data object declares its type")
T.eq(G:GetInputType(0), A, "data object input has its type")
T.eq(items(G:InputQueueToParaPkg()), "pd.A,pd.B", "printed as its type")
T.eq(G:InputFrom(G:InputQueueToParaPkg()), true, "printed form fed back")
T.eq(G:InputFrom(_Pkg()), true, "empty package removes every input")
T.eq(G:GetInputNumber(), 0, "no inputs left")
G:InputFrom(A)
T.eq(G:InputFrom(), false, "no argument at all")
T.eq(G:GetInputNumber(), 1, "inputs kept")
T.eq(G:InputFrom(_Pkg(A, 2.5)), false, "a double in a package")
T.eq(G:InputFrom(A, 2.5), false, "a double argument")
T.eq(G:InputFrom(A, nil, B), false, "nil argument")
T.eq(G:GetInputNumber(), 1, "refused kinds keep the inputs")
T.eq(G:CollectInputDataClass():_Count(), 1, "types collected")

-- Refusals of the grammar, each with its message; each leaves no inputs.
local plain = _New(_Object)
_SetName(plain, "plainobj")
local refusals = {
  {"not data", {A, plain}, "create inputqueue of " .. P(G) .. " failed, input[1] is [plainobj], which is not qzdata class"},
  {"first is slave", {"s", A}, "create inputqueue of " .. P(G) .. " failed, the first's IsSlave flag can not be true"},
  {"master count", {A, 2, B, "s", C},
   "create inputqueue of " .. P(G) .. " failed, the RequestNumber of master data[1] of slave data [2] must be 1"},
  {"object count", {3, a1},
   "create inputqueue of " .. P(G) .. " failed, the RequestNumber of data[0] is not type, it's RequestNumber must be 1"},
  {"count beyond 32 bits", {5000000000, A},
   "create inputqueue of " .. P(G) .. " failed, the number [5000000000] is out of the range of a 32-bit integer"},
}
for _, c in ipairs(refusals) do
  G:InputFrom(A)
  local r = T.expect_errors(function() return G:InputFrom(table.unpack(c[2])) end, {c[3]}, c[1])
  T.eq(r, false, c[1] .. " result")
  local left = c[1] == "count beyond 32 bits" and 1 or 0
  T.eq(G:GetInputNumber(), left, c[1] .. " inputs afterwards")
end
-- The package form reads 64-bit items the same way.
T.expect_errors(function() return G:InputFrom(_Pkg(5000000000, A)) end,
  {"create inputqueue of " .. P(G) .. " failed, the number [5000000000] is out of the range of a 32-bit integer"},
  "64-bit package item")

-- Input getters on absent inputs answer quietly.
T.expect_errors(function()
  T.eq(G:GetInput(7), nil, "absent input")
  T.eq(G:IsEnough(7), false, "absent input not enough")
  T.eq(G:GetInputProcID(7), "00000000-0000-0000-0000-000000000000", "absent proc ID")
  T.eq(G:SetInputProcID(7, "x"), false, "absent input proc ID")
  T.eq(G:SetInputLocalBuf(7, _Pkg()), false, "absent input package")
  T.eq(G:GetInputLocalBuf(7), nil, "absent input package read")
end, {}, "absent inputs")

-- Input packages and proc IDs.
G:InputFrom(A, B)
local lb = _Pkg("keep")
T.eq(G:SetInputLocalBuf(0, lb), true, "input package set")
T.eq(G:SetInputLocalBuf(0, G:GetInputLocalBuf(0)), true, "the same package again")
T.eq(G:GetInputLocalBuf(0):_Get(0), "keep", "survives being set to itself")
local g = G()
T.eq(g:GetInputLocalBuf(0):_Get(0), "keep", "copied to the instance")
g:GetInputLocalBuf(0):_Set(0, "changed")
T.eq(G:GetInputLocalBuf(0):_Get(0), "keep", "the instance has its own copy")
T.eq(G:SetInputLocalBuf(0, nil), true, "nil clears")
T.eq(G:GetInputLocalBuf(0), nil, "cleared")
local id = _ID(g)
T.eq(G:SetInputProcID(1, id), true, "proc ID set")
T.eq(G:GetInputProcID(1), id, "proc ID read")
T.eq(G:SetInputProcID(1, "no id"), false, "text that is no ID")
T.eq(G:GetInputProcID(1), id, "kept")

-- The input container's own functions.
local ic = G:GetMasterInput(0)
ic:SetLocalBuf(_Pkg("k"))
ic:SetLocalBuf(ic:GetLocalBuf())
T.eq(ic:GetLocalBuf():_Get(0), "k", "a container's package survives being set to itself")
ic:SetLocalBuf(nil)
T.eq(ic:GetLocalBuf(), nil, "nil clears a container's package")
T.eq(ic:GetDataNumber(), 0, "no data assigned")

-- Input types narrow to subtypes only.
local A2 = A:CreateType("pd.A2")
T.eq(G:SetInputType(0, A2), true, "narrowed to a subtype")
T.expect_errors(function() T.eq(G:SetInputType(0, B), false, "not a subtype") end,
  {"call " .. P(G) .. " function \"SetInputType\" failed, input must be sub data type of [pd.A2]"}, "SetInputType")
T.expect_errors(function() T.eq(G:SetInputType(0, a1), false, "no type") end,
  {"call " .. P(G) .. " function \"SetInputType\" failed, input must be data type"}, "SetInputType data")

-- Matching tests.
T.eq(G:DataCanBeAsInput(A2(1)), true, "instance of an input type")
T.eq(G:DataCanBeAsInput(C(1)), false, "unrelated data")
T.eq(Sum:DataCanBeAsOutput(C(1)), true, "output type")
local Feeder = QZProcBase:CreateSubType("pd.Feeder")
Feeder:OutputFrom(B, C, A)
T.eq(G:ProcCanBeAsInput(Feeder), 1, "one of Feeder's outputs feeds G")
T.eq(G:ProcCanBeAsInput(5), 0, "no proc")

-- Outputs: refusals ---------------------------------------------------------
local O = QZProcBase:CreateSubType("pd.O")
O:OutputFrom(A)
T.expect_errors(function() T.eq(O:OutputFrom(2, "m", A), false, "m on a plain proc") end,
  {"call " .. P(O) .. " function \"OutputFrom\" failed, it is not QZCell, can not accept \"m\" as input"}, "m")
T.expect_errors(function() T.eq(O:OutputFrom(2.5, A), false, "double") end, {}, "double refused quietly")
T.expect_errors(function() T.eq(O:OutputFrom(true, A), false, "bool") end, {}, "bool refused quietly")
T.expect_errors(function() T.eq(O:OutputFrom(plain), false, "non-data object") end,
  {"call " .. P(O) .. " function \"OutputFrom\" failed, [plainobj] is not data type or data object"}, "non-data")
T.expect_errors(function() T.eq(O:OutputFrom(5000000000, A), false, "64-bit count") end,
  {"call " .. P(O) .. " function \"OutputFrom\" failed, the number [5000000000] is out of the range of a 32-bit integer"},
  "64-bit count")
T.eq(items(O:GetOutputType()), "pd.A", "refusals keep the outputs")
T.eq(O:OutputFrom(5), true, "a lone number clears every output")
T.eq(O:GetOutputType():_Count(), 0, "no outputs")

-- A cell takes "m" and return numbers, and prints them back.
local cell = _New(QZCellBase)
T.eq(cell:OutputFrom(2, "M", A, B), true, "cell outputs")
T.eq(items(cell:OutputQueueToParaPkg()), "2,m,pd.A,pd.B", "cell outputs printed back")

-- A cell without outputs puts its output into its environment, once.
local envCell = _New(QZCellBase)
local e1 = A(9)
T.eq(envCell:AddOutputData(e1), false, "placed in the environment queue: no output container took it")
T.eq(_Parent(e1), envCell, "the data sits in the cell")
local e2 = A(10)
T.eq(envCell:AddOutputDataEx(e2), true, "AddOutputDataEx counts the environment queue as placed")
T.eq(_Parent(e2), envCell, "that data sits in the cell too")
do
  -- A call that places some data in an output container and some nowhere
  -- answers true; the cell without outputs answers false whatever it placed.
  local Two = QZProcBase:CreateSubType("pd.OnlyA")
  Two:OutputFrom(A)
  local two = Two()
  T.eq(two:AddOutputData(A(20)), true, "a plain proc: stored in its output")
  T.expect_errors(function() T.eq(two:AddOutputData(B(21)), false, "no output takes B") end,
    {"add output to " .. P(two) .. " failed, the data[] is not instance of any output data class"}, "B refused")
  T.eq(envCell:AddOutputData(A(22), A(23)), false, "two data into the environment queue: still false")
  _Free(two)
end
T.expect_errors(function() T.eq(envCell:AddOutputData(e1), false, "re-emitted env data") end,
  {"Proc[" .. _Name(envCell) .. "]'s output data [" .. _Name(e1) .. "] is comes from env, it can not output to env again"},
  "env data again")
T.eq(envCell.ErrorCount, 1, "the cell counts the error")

-- Adding output data ------------------------------------------------------
local Out = QZProcBase:CreateSubType("pd.Out")
Out:OutputFrom(A, B)
local o = Out()
local d1, d3 = A(1), B(3)
T.eq(o:AddOutputData(d1, nil, d3), true, "d1 and d3 stored, nil skipped")
T.eq(items(o:OutputToParaPkg()) ~= "nil,nil", true, "data stored")
T.eq(o:OutputToParaPkg():_Get(0), d1, "d1 in output 0")
T.eq(o:OutputToParaPkg():_Get(1), d3, "d3 in output 1")
T.eq(o:AddOutputData(d1), true, "same object again")
T.eq(o:AddOutputData(A(1)), true, "equal value: found, not added")
T.eq(type(o:OutputToParaPkg():_Get(0)), "userdata", "still one object in output 0")
T.eq(o:AddOutputDataEx(A(1)), true, "AddOutputDataEx adds an equal value")
T.eq(o:OutputToParaPkg():_Get(0):_Count(), 2, "two objects in output 0")
T.expect_errors(function() T.eq(o:AddOutputData(nil, d1), false, "nil first") end,
  {"add output to " .. P(o) .. " failed, output data can not be NULL"}, "nil first")
T.expect_errors(function() T.eq(o:AddOutputData(plain), false, "non-data first") end,
  {"add output to " .. P(o) .. " failed, the data[plainobj] must be instance of QZDataBase"}, "non-data first")
local c1 = C(1)
T.expect_errors(function() T.eq(o:AddOutputData(c1), false, "no output takes it") end,
  {"add output to " .. P(o) .. " failed, the data[" .. _Name(c1) .. "] is not instance of any output data class"},
  "no output")
-- A refused source leaves no data behind.
local d4 = A(4)
T.expect_errors(function() T.eq(o:AddOutputDataEx(d4, A(5)), false, "source not an input") end,
  {"call " .. P(o) .. "'s AddOutputDataEx failed, the source object must be an input"}, "source not an input")
T.expect_errors(function() T.eq(o:AddOutputDataEx(d4, 7), false, "source not an object") end,
  {"call " .. P(o) .. "'s \"AddOutputDataEx\" failed, input source object does not found"}, "source missing")
T.expect_errors(function() T.eq(o:AddOutputDataEx(d4, plain), false, "source no data") end,
  {"call " .. P(o) .. "'s AddOutputDataEx failed, the source object must be an input"}, "source no data")
T.eq(_Parent(d4), nil, "refused data not stored")
T.eq(o:UpdateOutputData(d1), true, "stored data updated")
T.eq(o:UpdateOutputData(d4), false, "data not stored")
T.expect_errors(function() o:ClearOutputData(B) end,
  {"call " .. P(o) .. " function \"ClearOutputData\" must be very carefully, in normal case, this function need not be called"},
  "ClearOutputData warns")
T.eq(o:OutputToParaPkg():_Type(1), 0, "B's output cleared")
T.eq(o:OutputToParaPkg():_Get(0):_Count(), 2, "A's output kept")
o:ClearOutputData()
T.eq(_Parent(d1), nil, "cleared data is let go")

-- Produced data hold one lock while stored and none after a new declaration.
local held = A(8)
local base = _RefCount(held)
o:AddOutputData(held)
T.eq(_RefCount(held), base + 1, "stored data locked once")
o:OutputFrom(B)
T.eq(_RefCount(held), base, "unlocked when the outputs are declared again")
T.eq(_Parent(held), nil, "and let go")

-- Redirection and conversion ------------------------------------------------
local A3 = A2:CreateType("pd.A3")
local R = QZProcBase:CreateSubType("pd.R")
R:OutputFrom(A)
T.expect_errors(function() T.eq(R:RedirectOutput(A, B), false, "not a subtype") end,
  {"call " .. P(R) .. " function \"RedirectOutput\" failed, DataClass must not be NULL and new DataClass is instance of current DataClass"},
  "redirect refused")
T.eq(R:RedirectOutput(A, A2), true, "A to A2")
T.eq(R:RedirectOutput(A2, A3), true, "A2 to A3")
T.eq(R:RedirectOutput(B, B), false, "no such output")
local r = R()
local x3 = A3(3)
T.eq(r:AddOutputData(x3), true, "A3 stored unchanged")
T.eq(r:OutputToParaPkg():_Get(0), x3, "the object itself")
r:ClearOutputData()
local xa = A(7)
T.eq(r:AddOutputData(xa), true, "A converted")
local conv = r:OutputToParaPkg():_Get(0)
T.check(conv ~= xa and _IsInst(A3, conv), "converted into an A3")
T.eq(conv:GetDataBuf():_Get(0), 7, "value copied")

-- Conversion through type classes.
local function typeWithClass(base, name, hooks)
  local ty = base:CreateType(name)
  local tc = _New(_Object)
  _LockGC(tc)
  for k, f in pairs(hooks) do tc[k] = f end
  ty:SetDataTypeClass(tc)
  return ty, tc
end
local raw = _New(_Object)
_LockGC(raw)
local made
local quiet = {IsRawInstance = function() return true end, OnBeforeFree = function() end,
  ToString = function() return "k" end}
local K, KC = typeWithClass(QZDataBase, "pd.K", quiet)
local K2 = typeWithClass(K, "pd.K2", quiet)
KC.Dup = function(self, holder, targetClass) made = K2(raw) return made end
local RK = QZProcBase:CreateSubType("pd.RK")
RK:OutputFrom(K)
RK:RedirectOutput(K, K2)
local rk = RK()
local k = K(raw)
k:SetSignature("sig")
T.eq(rk:AddOutputData(k), true, "converted by the type class")
T.eq(rk:OutputToParaPkg():_Get(0), made, "the hook's copy is stored")
T.eq(made:GetSignature(), "sig", "the copy carries the signature")
KC.Dup = function() return plain end
rk:ClearOutputData()
local k2 = K(raw)
T.expect_errors(function() T.eq(rk:AddOutputData(k2), false, "hook returns no data") end,
  {P(k2) .. " 's Dup function returns NULL, Dup failed",
   "Proc[" .. _Name(rk) .. "]'s output data [" .. _Name(k2) .. "] failed, it can not redirect to new type"},
  "hook returns no data object")
T.eq(rk.ErrorCount, 1, "a refused conversion counts as an error")
KC.Dup = nil
T.expect_errors(function() T.eq(rk:AddOutputData(k2), false, "no Dup hook") end,
  {P(k2) .. " has assigned DataTypeClass, but calls the function Dup failed",
   "Proc[" .. _Name(rk) .. "]'s output data [" .. _Name(k2) .. "] failed, it can not redirect to new type"},
  "no Dup hook")
T.finish("proc_declare")
