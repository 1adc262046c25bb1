-- Proc, chain and cell queries of a realm: which proc types, chains and cells
-- could produce or take a kind of data. The proc and chain queries look at
-- the whole module, whatever realm they are asked on; GetCellForInput looks at
-- the realm's own cells.
local T = dofile(arg[1] .. "/services_build_lib.lua")

local before = T.counts()
do
  local Raw = QZDataBase:CreateType("q.Raw")
  local Mid = QZDataBase:CreateType("q.Mid")
  local Done = QZDataBase:CreateType("q.Done")
  local Fine = Raw:CreateType("q.Fine") -- a subtype of Raw
  local Alone = QZDataBase:CreateType("q.Alone")

  local Load = T.procType("q.Load", {}, {Raw})
  local Refine = T.procType("q.Refine", {Raw}, {Mid})
  local Finish = T.procType("q.Finish", {Mid}, {Done})
  -- A cell type whose own record declares nothing: only its chain takes Raw
  -- and gives Mid.
  local Box = QZCellBase:CreateType("q.Box")
  T.check(Box:AddProc(T.chain(Refine)), "the cell type holds a chain")

  local realm = T.named(_New(QZRealmBase), "q.realm")
  local other = T.named(_New(QZRealmBase), "q.other")

  -- Every registered type is listed without data, but not the two class
  -- objects no script defines.
  local all = realm:QueryProcForOutput(nil)
  for _, t in ipairs({Load, Refine, Finish, Box}) do
    T.eq(T.count(all, t), 1, "no filter lists " .. _Name(t))
  end
  T.eq(T.count(all, QZCellBase), 0, "no filter leaves out the cell class object")
  T.eq(T.count(all, QZProcRemoteBase), 0, "no filter leaves out the remote proc class object")
  T.eq(realm:GetCellForInput(nil):_Count(), 0, "GetCellForInput without data: nothing")

  -- Queries by type and by instance; the cell type's chain counts only when
  -- asked for.
  local cases = {
    {"output of Raw", realm:QueryProcForOutput(Raw, false), "q.Load"},
    {"output of a Raw instance", realm:QueryProcForOutput(Raw(1), false), "q.Load"},
    {"output of Mid", realm:QueryProcForOutput(Mid, false), "q.Refine"},
    {"output of Mid with cell chains", realm:QueryProcForOutput(Mid, true), nil},
    {"input of Mid", realm:QueryProcForInput(Mid, false), "q.Finish"},
    {"input of Raw with cell chains", realm:QueryProcForInput(Raw, true), nil},
    {"input of the subtype Fine", realm:QueryProcForInput(Fine, false), "q.Refine"},
    {"output of a type nobody makes", realm:QueryProcForOutput(Alone, true), ""},
    {"input of Done", realm:QueryProcForInput(Done, true), ""},
  }
  for _, c in ipairs(cases) do
    local names = {}
    for _, t in ipairs(T.items(c[2])) do names[#names + 1] = _Name(t) end
    table.sort(names)
    -- The registry's order is its own: compared as sets.
    T.eq(table.concat(names, ","), c[3] or "q.Box,q.Refine", c[1])
  end

  -- Chains: the output query tests the last proc only, the input query the
  -- first only; a chain whose middle proc makes the data is not listed.
  local full = T.named(T.chain(Load, Refine, Finish), "q.full")
  local head = T.named(T.chain(Load, Refine), "q.head")
  local empty = T.named(_New(QZProcChainBase), "q.empty")
  local chainCases = {
    {"chain output Done", realm:QueryProcChainForOutput(Done), {full = 1, head = 0, empty = 0}},
    {"chain output Mid", realm:QueryProcChainForOutput(Mid), {full = 0, head = 1, empty = 0}},
    {"chain output Raw (first proc only makes it)", realm:QueryProcChainForOutput(Raw), {full = 0, head = 0, empty = 0}},
    {"chain input Raw (the second proc takes it)", realm:QueryProcChainForInput(Raw), {full = 0, head = 0, empty = 0}},
    {"chain input Mid", realm:QueryProcChainForInput(Mid), {full = 0, head = 0, empty = 0}},
    {"chains without data", realm:QueryProcChainForOutput(nil), {full = 1, head = 1, empty = 1}},
    {"chains without data, input", realm:QueryProcChainForInput(nil), {full = 1, head = 1, empty = 1}},
  }
  local chains = {full = full, head = head, empty = empty}
  for _, c in ipairs(chainCases) do
    for key, n in pairs(c[3]) do T.eq(T.count(c[2], chains[key]), n, c[1] .. ": " .. key) end
  end
  -- A child chain's order runs on past its rejoin to its parent's end: its
  -- last proc is the parent's.
  local Taste = T.procType("q.Taste", {Raw}, {Raw})
  local branched = T.named(T.chain(Load, Refine, Finish), "q.branched")
  T.check(branched:AddChildProcChain(branched:GetFirstProc(), Taste(), branched:GetLastProc()), "child chain hung")
  local child = _Children(branched:GetFirstProc(), "QZProcChild"):_Get(0)
  T.eq(T.count(realm:QueryProcChainForOutput(Done), child), 1, "the child chain ends where its parent ends")
  T.eq(T.count(realm:QueryProcChainForOutput(Raw), child), 0, "not with its own proc's output")
  T.eq(T.count(realm:QueryProcChainForInput(Raw), child), 1, "its first proc takes Raw")

  -- The chain queries list the cell type's chain too: its first proc takes
  -- Raw.
  local boxChain = Box:GetProcChainQueue():_Get(0)
  T.eq(T.count(realm:QueryProcChainForInput(Raw), boxChain), 1, "the cell type's chain takes Raw")

  -- Anything that is no data gives nothing, from every query.
  local notData = {full, Load, Load(), realm, Box, "text", 7}
  local everyType = realm:QueryProcForOutput(nil):_Count()
  for i, x in ipairs(notData) do
    local what = "argument " .. i .. " (" .. tostring(x) .. ")"
    T.eq(realm:QueryProcForOutput(x, true):_Count(), type(x) == "userdata" and 0 or everyType,
         "QueryProcForOutput of " .. what)
    T.eq(realm:QueryProcForInput(x, true):_Count(), type(x) == "userdata" and 0 or everyType,
         "QueryProcForInput of " .. what)
    T.eq(realm:QueryProcChainForOutput(x):_Count() == 0, type(x) == "userdata", "QueryProcChainForOutput of " .. what)
    T.eq(realm:QueryProcChainForInput(x):_Count() == 0, type(x) == "userdata", "QueryProcChainForInput of " .. what)
    T.eq(realm:GetCellForInput(x):_Count(), 0, "GetCellForInput of " .. what)
  end

  -- The realm it is asked on makes no difference to the proc and chain
  -- queries.
  T.eq(T.names(other:QueryProcForOutput(Mid, true)), T.names(realm:QueryProcForOutput(Mid, true)),
       "same proc answer on another realm")
  T.eq(T.names(other:QueryProcChainForOutput(Done)), T.names(realm:QueryProcChainForOutput(Done)),
       "same chain answer on another realm")

  -- Cells of the realm: the queue first, then the library; a cell whose
  -- chain takes the data counts, a cell of the other realm does not.
  local function cellWith(name, ...)
    local c = T.named(_New(QZCellBase), name)
    c:AddProc(...)
    return c
  end
  local libCell = cellWith("q.lib", T.chain(Refine))
  local queued = cellWith("q.queued", T.chain(Refine, Finish))
  local late = cellWith("q.late", T.chain(Finish))
  local elsewhere = cellWith("q.elsewhere", T.chain(Refine))
  realm:AddCellLibrary(libCell)
  realm:AddCell(queued)
  realm:AddCell(late)
  other:AddCell(elsewhere)
  T.eq(T.names(realm:GetCellForInput(Raw)), "q.queued,q.lib", "cells for Raw: queue first, then library")
  T.eq(T.names(realm:GetCellForInput(Fine(2))), "q.queued,q.lib", "a Fine instance is taken as Raw")
  T.eq(T.names(realm:GetCellForInput(Mid)), "q.late", "cells for Mid")
  T.eq(T.names(other:GetCellForInput(Raw)), "q.elsewhere", "the other realm's cells")

  -- FindProcChain: chains by the types of their first and last procs.
  local found = realm:FindProcChain(Load(), Finish())
  T.eq(T.count(found, full), 1, "FindProcChain finds the full chain")
  T.eq(T.count(found, head), 0, "the head chain ends elsewhere")
  T.eq(T.count(realm:FindProcChain(Load(), nil), head), 1, "no last proc: any end")
  T.eq(realm:FindProcChain(full, nil):_Count(), 0, "a chain is no first proc")

  for _, c in ipairs({libCell, queued, late, elsewhere}) do _Free(c) end
  _Free(realm)
  _Free(other)
  _Free(full)
  _Free(head)
  _Free(empty)
  _Free(branched)
end

-- What the queries made and handed over is gone again; the types stay.
local after = T.counts()
T.eq(after.unlocks, before.unlocks, "no lock released below zero")
T.finish("services_query")
