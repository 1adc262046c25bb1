-- Chains of a cell: AddProc / ConnectProc and their rule forms (each
-- argument its own chain or all in one, refusals, a cell kept out of its own
-- chains), finding chains, outputs and input tests, runners made and adopted
-- (locks held once, runners made for other cells adopted too), runner counts
-- and the queries over executed procs, missing data and outputs.
local T = dofile(arg[1] .. "/cell_testlib.lua")

local before = T.counts()
local D = QZDataBase:CreateType("procs.D")
local E = QZDataBase:CreateType("procs.E")
local F = QZDataBase:CreateType("procs.F")
local A = T.ptype("procs.A", {D}, {E})
local B = T.ptype("procs.B", {E}, {F})
local C = T.ptype("procs.C", nil, {D})
local R = QZRuleBase:CreateType("procs.R")
local realm = _New(QZRealmBase)

local function chainsOf(cell)
  local out = {}
  for _, ch in ipairs(T.items(cell:GetProcChainQueue())) do
    local names = {}
    for _, p in ipairs(T.items(ch:ToParaPkg())) do
      local t = _Class(p)
      names[#names + 1] = _Name(p) ~= "" and _Name(p) or (t and _Name(t) or "?")
    end
    out[#out + 1] = table.concat(names, ">")
  end
  return table.concat(out, " | ")
end

-- Building chains: each row gives the call, its result, the chains of the
-- cell afterwards and the messages.
-- Every row gets procs of its own: a proc stands in one chain at a time.
local rule, ruleType = R(), R
local src
local function fresh()
  src = _New(QZProcChainBase)
  src:FromPara(T.named(_New(A), "s1"), T.named(_New(B), "s2"))
  return T.named(_New(A), "p1"), T.named(_New(B), "p2")
end
do
  local rows = {
    {"AddProc of two procs", function(c, p1, p2) return c:AddProc(p1, p2) end, true, "p1 | p2", {}},
    {"ConnectProc of two procs", function(c, p1, p2) return c:ConnectProc(p1, p2) end, true, "p1>p2", {}},
    {"ConnectProc of one chain", function(c, p1, p2) return c:ConnectProc(src) end, true, "s1>s2", {}},
    {"AddProc of a chain and a type", function(c, p1, p2) return c:AddProc(src, C) end, true, "s1>s2 | procs.C", {}},
    {"ConnectProc of a chain and a proc", function(c, p1, p2) return c:ConnectProc(src, p2) end, true, "QZCellBase>p2", {}},
    {"AddProc without arguments", function(c, p1, p2) return c:AddProc() end, false, "", {}},
    {"ConnectProc without arguments", function(c, p1, p2) return c:ConnectProc() end, false, "", {}},
    {"AddProc of a proc and a number", function(c, p1, p2) return c:AddProc(p1, 7) end, false, "",
     {"'s function \"AddProc\" , the input [1] is not proc or proc chain"}},
    {"ConnectProc of a proc and a number", function(c, p1, p2) return c:ConnectProc(p1, 7) end, false, "", {}},
    {"AddProc of the cell itself", function(c, p1, p2) return c:AddProc(c) end, false, "",
     {"'s function \"AddProc\" , the input [0] is the cell itself or holds it"}},
    {"ConnectProc of a proc and the cell", function(c, p1, p2) return c:ConnectProc(p1, c) end, false, "",
     {"'s function \"ConnectProc\" , the input [1] is the cell itself or holds it"}},
    {"AddProcEx with a rule", function(c, p1, p2) return c:AddProcEx(rule, p1, p2) end, true, "p1 | p2", {}},
    {"ConnectProcEx with nil for the rule", function(c, p1, p2) return c:ConnectProcEx(nil, p1, p2) end, true, "p1>p2", {}},
    {"AddProcEx with a rule type", function(c, p1, p2) return c:AddProcEx(ruleType, p1) end, false, "",
     {"'s function \"_AddProcEx\" failed, the input Rule is a type, not an rule insatnce"}},
    {"ConnectProcEx with a rule type", function(c, p1, p2) return c:ConnectProcEx(ruleType, p1) end, false, "",
     {"'s function \"_ConnectProcEx\" failed, the input Rule is a type, not an rule insatnce"}},
    {"AddProcEx with no rule object", function(c, p1, p2) return c:AddProcEx(p1, p2) end, false, "", {}},
    {"AddProcEx without procs", function(c, p1, p2) return c:AddProcEx(rule) end, false, "", {}},
  }
  for _, row in ipairs(rows) do
    local cell = _New(QZCellBase)
    local expected = {}
    for i, m in ipairs(row[5]) do expected[i] = T.prefix(cell) .. m end
    local p1, p2 = fresh()
    local got = T.expect_errors(function() return row[2](cell, p1, p2) end, expected, row[1])
    T.eq(got, row[3], row[1] .. ": result")
    T.eq(chainsOf(cell), row[4], row[1] .. ": chains")
    _Free(cell)
    for _, o in ipairs({p1, p2, src}) do _Free(o) end
  end
end

-- A cell never ends up inside itself, also through a cell that holds it.
do
  local inner, outer = _New(QZCellBase), _New(QZCellBase)
  T.eq(outer:AddProc(inner), true, "a cell in another cell's chain")
  local held = outer:GetProcChainQueue():_Get(0):GetFirstProc()
  T.eq(held, inner, "the cell itself stands in the chain")
  T.errors()
  T.eq(inner:AddProc(outer), false, "the cell that holds it is refused")
  T.eq(#T.errors(), 1, "with a message")
  _Free(outer)
end

-- Rules attached to every new chain, each with one more lock on the rule.
do
  local cell = _New(QZCellBase)
  local p1, p2 = fresh()
  T.counts() -- the chains of the rows above are gone with their attachments
  local refs = _RefCount(rule)
  cell:AddProcEx(rule, p1, p2)
  T.eq(_RefCount(rule), refs + 2, "the rule holds two more locks")
  for i, ch in ipairs(T.items(cell:GetProcChainQueue())) do
    local rules = T.items(ch:GetRule())
    T.check(#rules == 1 and rules[1] == rule, "chain " .. i .. " names the rule once")
  end
  _Free(cell)
  T.counts() -- the chains let go are collected with their attachments
  T.eq(_RefCount(rule), refs, "freeing the cell gives them back")
  for _, o in ipairs({p1, p2, src}) do _Free(o) end
end

local p1, p2 = fresh()
-- Finding chains, outputs and input tests ----------------------------------------
local cell = T.named(_New(QZCellBase), "cell")
cell:ConnectProc(p1, p2)
cell:AddProc(C)
local chainAB, chainC = table.unpack(T.items(cell:GetProcChainQueue()))
T.eq(cell:FindProc(_New(A)), chainAB, "FindProc by the type of the first proc")
T.eq(cell:FindProc(_New(B)), nil, "B starts no chain")
T.eq(cell:LastProc(_New(B)), chainAB, "LastProc by the type of the last proc")
T.eq(cell:LastProc(_New(A)), nil, "A ends no chain")
T.eq(cell:LastProc(_New(C)), chainC, "a chain of one proc ends with it")
local same = _New(QZProcChainBase)
same:FromPara(A, B)
T.eq(cell:FindProc(same), chainAB, "FindProc of an equal chain")
T.eq(cell:FindProc(5), nil, "FindProc of no proc")
T.eq(T.names(cell:CollectProcOutput()), "procs.F,procs.D", "the outputs of each chain's last proc")
T.eq(cell:DataCanBeAsInput(D(1)), true, "a D can enter through the first chain")
T.eq(cell:DataCanBeAsInput(F(1)), false, "an F cannot")
T.eq(cell:DataCanBeAsOutput(F), true, "an F can come out")
T.eq(cell:DataCanBeAsOutput(E), false, "an E stays inside")
cell:InputFrom(F)
T.eq(cell:DataCanBeAsInput(D(1)), false, "a cell with inputs answers by its own inputs")
T.eq(cell:DataCanBeAsInput(F(1)), true, "and takes what they take")

-- Runners -------------------------------------------------------------------------
local other = T.named(_New(QZCellBase), "other")
other:AddProc(C)
T.eq(cell:RunnerFromProcChain(realm, other:GetProcChainQueue():_Get(0)), nil, "a chain of another cell: nil")
T.expect_errors(function() return cell:RunnerFromProcChain(5, chainAB) end,
                {T.prefix(cell) .. "'s function \"RunnerFromProcChain\" failed, the first parameter must be a realm"},
                "a runner without a realm")
local r1 = cell:RunnerFromProcChain(realm, chainAB)
T.check(r1 ~= nil, "a runner for a chain of the cell")
T.eq(_Parent(r1), nil, "not put in the cell")
T.eq(r1:GetProcChain(), chainAB, "it runs that chain")
T.eq(r1:GetCell(), cell, "for this cell")
local copies = T.items(r1:ProcToParaPkg())
T.eq(#copies, 2, "with copies of both procs")
T.check(_IsInst(p1, copies[1]) and _IsInst(p2, copies[2]), "made from the chain's procs, in order")
T.eq(T.items(r1:CurrentProcToParaPkg())[1], copies[1], "the first copy is current")
T.eq(cell:IsProcChainRunning(chainAB), false, "a runner outside the cell runs nothing of it")
T.eq(cell:NumberOfRunner(), 0, "no runner yet")

T.eq(cell:AddRunner(r1), true, "the cell adopts it")
local refs = _RefCount(r1)
T.eq(cell:AddRunner(r1), true, "adopting it again")
T.eq(_RefCount(r1), refs, "holds it once")
T.eq(cell:IsProcChainRunning(chainAB), true, "now the chain runs")
T.eq(cell:IsProcChainRunning(chainC), false, "the other does not")
local r2 = cell:RunnerFromProcChain(realm, chainC)
cell:AddRunner(r2)
T.eq(cell:NumberOfRunner(), 2, "two runners")
T.eq(cell:NumberOfRunner(copies[1], true), 1, "one of them runs the proc's chain")
T.eq(cell:NumberOfRunner(copies[1], false), 1, "one runs another chain")
T.expect_errors(function() return cell:NumberOfRunner(p1, true) end,
                {"call [" .. _ID(cell) .. "]cell NumberOfRunner failed failed, input is not qzproc in runner"},
                "a proc of no runner")
local foreign = other:RunnerFromProcChain(realm, other:GetProcChainQueue():_Get(0))
T.expect_errors(function() T.eq(cell:AddRunner(foreign), true, "a runner made for another cell is adopted") end, {},
                "a runner of another cell")
T.eq(_Parent(foreign), cell, "it sits in the cell")
T.eq(foreign:GetCell(), cell, "and runs for it")
T.eq(cell:NumberOfRunner(), 3, "three runners")
T.eq(cell:AddRunner(5), false, "no runner")

-- Executed procs, missing data and outputs ----------------------------------------
T.eq(cell:IsProcExecuted(p1), false, "nothing executed before the first run")
T.eq(cell:IsProcExecuted(), false, "no proc")
local waiting = T.items(cell:GetMissingEnvDataProc())
T.check(#waiting == 2 and waiting[1] == p1 and _IsInst(C, waiting[2]), "no chain has had a runner: their first procs wait")
T.eq(cell:GetMissingEnvData():_Count(), 0, "the current procs wait for nothing from inside")
T.eq(cell:GetCellMissingOutput():_Count(), 0, "a cell that is not ready misses no output")
T.eq(cell:IsCellOutputMustExist(D), false, "without an output proc nothing must exist")

_Free(cell) _Free(other) _Free(foreign)
_Free(p1) _Free(p2) _Free(src) _Free(same) _Free(rule) _Free(realm)
for _, t in ipairs({A, B, C}) do _UnLockGC(t) end
for _, o in ipairs({A, B, C, R, D, E, F}) do _Free(o) end
copies, chainAB, chainC, r1, r2, foreign = nil, nil, nil, nil, nil, nil
T.balanced(before, "procs")
T.finish("cell_procs")
