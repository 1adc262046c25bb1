-- Cells: made from the class, from a cell type and from another cell (chains
-- copied, env data, runners and flags not), freed (env data and chains let
-- go, locks balanced), Execute's entry, Finish, the default hooks, cell types,
-- tags and labels, and the equality of base cells.
local T = dofile(arg[1] .. "/cell_testlib.lua")

local before = T.counts()
local D = QZDataBase:CreateType("life.D")
local P = T.ptype("life.P", {D})
local Q = T.ptype("life.Q", {D})

-- Cell types and cells made from them ---------------------------------------
local CT = T.expect_errors(function() return QZCellBase:CreateType("life.CT") end, {}, "CreateType")
T.check(CT ~= nil and CT.IsType, "CreateType makes a type")
T.eq(_Name(CT), "life.CT", "named as asked")
T.eq(QZCellBase:CreateType(""), nil, "an empty name gives nil")
T.eq(QZCellBase:CreateType(), nil, "no name gives nil")
T.eq(#T.errors(), 0, "without a message")
local plain = T.named(_New(QZCellBase), "plain")
T.eq(plain.IsType, false, "a cell of the class is no type")
T.expect_errors(function() return plain:CreateType("x") end,
                {"create " .. T.prefix(plain) .. "'s sub-type failed, this class is not QZCellBaseClass"},
                "CreateType on a cell")
T.expect_errors(function() return CT:CreateType("x") end,
                {"create " .. T.prefix(CT) .. "'s sub-type failed, this class is not QZCellBaseClass"},
                "CreateType on a cell type")

T.eq(CT:ConnectProc(P, Q), true, "the type gets a chain of two")
T.eq(CT:AddProc(Q), true, "and a chain of one")
local realm = _New(QZRealmBase)
local d = D(1)
CT:AddEnvData(realm, d)
T.eq(CT:GetEnvDataQueue():_Count(), 0, "a type takes no env data")

local c1 = CT()
T.check(c1 ~= nil and _Class(c1) == CT, "calling the type makes a cell of it")
T.eq(c1.IsType, false, "the cell is no type")
local chains = T.items(c1:GetProcChainQueue())
T.eq(#chains, 2, "both chains copied")
T.check(chains[1] ~= T.items(CT:GetProcChainQueue())[1], "as copies")
T.eq(T.chainNames(chains[1]) ~= "", true, "the first copy has procs")
T.eq(_IsInst(P, chains[1]:GetFirstProc()) and _IsInst(Q, chains[1]:GetLastProc()), true,
     "the first copy runs P then Q, in the type's order")
T.eq(_IsInst(Q, chains[2]:GetFirstProc()), true, "the second copy runs Q")
T.eq(c1.IsReady, false, "not ready")

-- A copy of a cell that has env data, is ready and holds runners.
c1:AddEnvData(realm, d)
c1.IsReady = true
c1.SingleRunnerFlag = false
local r = c1:RunnerFromProcChain(realm, chains[1])
T.eq(c1:AddRunner(r), true, "the cell adopts a runner")
local c2 = _New(c1)
T.eq(_Class(c2), c1, "a cell made from a cell")
T.eq(c2:GetProcChainQueue():_Count(), 2, "with copies of its chains")
T.eq(c2:GetEnvDataQueue():_Count(), 0, "without its env data")
T.eq(c2:NumberOfRunner(), 0, "without its runners")
T.eq(c2.IsReady, false, "idle")
T.eq(c2.SingleRunnerFlag, true, "with the runner flag at its default")

-- Execute's entry, Finish and the hooks -------------------------------------
-- Each row: how the cell is prepared, the arguments after the cell, the
-- result and the messages.
local held = T.named(_New(QZCellBase), "held")
realm:AddCell(held)
local loose = T.named(_New(QZCellBase), "loose")
local waiting = T.named(_New(QZCellBase), "waiting")
waiting:InputFrom(D, 2)
local ready = T.named(_New(QZCellBase), "ready")
realm:AddCell(ready)
local cancelled = T.named(_New(QZCellBase), "cancelled")
cancelled.Status = -1
local rows = {
  {"a cell of the realm after Finish", held, function() held:Finish() end, {realm}, 4, {}},
  {"a cell inside a chain without inputs", loose, nil, {realm}, 2, {}},
  {"a cell inside a chain whose input is short", waiting, nil, {realm}, 2, {}},
  {"a cancelled cell", cancelled, nil, {realm}, -1, {}},
  -- A ready cell with nothing to do finishes its work at once.
  {"a ready cell of the realm with no work", ready, nil, {realm}, 0, {}},
  {"no realm", loose, nil, {}, -1, {T.prefix(loose) .. "'s function \"Execute\" failed, the first parameter must be a realm"}},
  {"a data object for the realm", loose, nil, {d}, -1,
   {T.prefix(loose) .. "'s function \"Execute\" failed, the first parameter must be a realm"}},
}
for _, row in ipairs(rows) do
  if row[3] then row[3]() end
  local got = T.expect_errors(function() return row[2]:Execute(table.unpack(row[4])) end, row[6], row[1])
  T.eq(got, row[5], row[1])
end
T.eq(held.IsReady, false, "Finish takes the cell out of the cycles")
T.eq(T.items(realm:GetCell())[1], held, "and leaves it in the realm")

T.eq(held:OnCellToBeFinish(realm), false, "OnCellToBeFinish answers false")
T.eq(held:OnCellFinish(realm, true), nil, "OnCellFinish answers nothing")
T.eq(held:OnBeforeRunnerDestory(realm, r), nil, "OnBeforeRunnerDestory answers nothing")

-- Tags and labels -------------------------------------------------------------
T.eq(QZCellBase:GetTag(), "cell_global_QZCellBase", "the class object's tag is its unhashed label")
T.eq(c1:GetTagLabel(), "cell_life_CT", "a dotted type name splits at its dot")
T.eq(plain:GetTagLabel(), "cell_global_QZCellBase", "a base cell is labelled by the class")
local long = QZCellBase:CreateType(string.rep("n", 300))
T.eq(long():GetTagLabel(), "cell_global_" .. string.rep("n", 300), "a long name is kept whole")
local tag = c1:GetTag()
T.eq(#tag, 40, "a cell's tag has 40 characters")
T.eq(CT:GetTag(), tag, "a type's tag is the tag of its cells")
T.eq(CT():GetTag(), tag, "two cells of one type share it")

-- The type's tag is a query: it runs none of the type's free callbacks.
local heard = 0
local listener = _New(_Object)
_LockGC(listener)
listener.OnFreeCallback = function() heard = heard + 1 end
CT:RegCallBack(listener)
T.expect_errors(function() return CT:GetTag() end, {}, "the type's tag again")
T.eq(heard, 0, "no free callback ran for the type's tag")
_Free(CT())
T.eq(heard, 1, "a real cell of the type still calls it")
CT:UnRegCallBack(listener)

local b1, b2, b3 = _New(QZCellBase), _New(QZCellBase), _New(QZCellBase)
b1:AddProc(P) b1:AddProc(Q)
b2:AddProc(Q) b2:AddProc(P)
b3:AddProc(P) b3:AddProc(P)
T.eq(b1:GetTag(), b2:GetTag(), "base cells with the same chains in another order share a tag")
T.check(b1:GetTag() ~= b3:GetTag(), "other chains, other tag")

-- Equality of base cells ------------------------------------------------------
T.eq(b1:Equals(b2), true, "base cells with the same chains in another order are equal")
T.eq(b1:Equals(b3), false, "P,Q against P,P: each chain needs its own match")
T.eq(b3:Equals(b1), false, "and the other way round")
local b4 = _New(QZCellBase)
b4:AddProc(P)
T.eq(b1:Equals(b4), false, "a chain left over")
T.eq(c1:Equals(CT()), true, "cells of one type compare by type")

-- Free: env data and chains let go, locks balanced ----------------------------
local victim = _New(QZCellBase)
local e1, e2, e3 = D(1), D(2), D(3)
victim:AddEnvData(realm, e1, e2, e3)
victim:AddProc(P, Q)
local envs, vchains = T.items(victim:GetEnvDataQueue()), T.items(victim:GetProcChainQueue())
local procs = {vchains[1]:GetFirstProc(), vchains[2]:GetFirstProc()}
procs[1]:GetLocalBuf()
_Free(victim)
for i, o in ipairs(envs) do T.eq(_Parent(o), nil, "env datum " .. i .. " detached") end
for i, o in ipairs(vchains) do T.eq(_Parent(o), nil, "chain " .. i .. " detached") end

_Free(c1) _Free(c2) _Free(held) _Free(b1) _Free(b2) _Free(b3) _Free(b4)
_Free(plain) _Free(ready) _Free(loose) _Free(waiting) _Free(cancelled) _Free(realm)
_UnLockGC(P) _UnLockGC(Q) _UnLockGC(listener)
_Free(CT) _Free(long) _Free(P) _Free(Q) _Free(listener) _Free(D)
envs, vchains, procs, chains, r, d, e1, e2, e3 = nil, nil, nil, nil, nil, nil, nil, nil, nil
T.balanced(before, "cells")
T.finish("cell_life")
