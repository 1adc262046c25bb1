-- Active counts against a plain walk. A model of the records written here
-- from their definition (a recount walks every source; a change travels
-- depth first along the targets, each record recounted once per pass;
-- removal unlinks from both sides; the trim takes the oldest stamps) follows
-- a long random mix of activations, deactivations, links, unlinks and own
-- counts on a few data and plain objects, with counts large enough to wrap.
-- After every operation each object's counts and the realm's stamp order
-- must be the model's; then the same once scripts hold (and edit) the
-- lists, through a trim to ActiveLength, and for an aggregate run.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local before = T.counts()
local D = QZDataBase:CreateType("walk.D")

-- ---------------------------------------------------------------------------
-- The model
-- ---------------------------------------------------------------------------
local function wrap(v)
  v = v % 4294967296
  if v >= 2147483648 then v = v - 4294967296 end
  return v
end

-- dead: the objects freed while recorded (their records stay until removed).
local function newModel(tick, seq, dead)
  return {recs = {}, pass = 0, tick = tick, seq = seq, dead = dead or {}}
end

local function countOf(rec) return wrap(rec.active + rec.extra) end

local function has(list, k)
  for _, v in ipairs(list) do if v == k then return true end end
  return false
end
local function add(list, k) if not has(list, k) then list[#list + 1] = k end end
local function del(list, k)
  for i, v in ipairs(list) do
    if v == k then table.remove(list, i) return end
  end
end

local function newPass(m) m.pass = m.pass + 1 return m.pass end
local function stamp(m, rec) m.seq = m.seq + 1 rec.tick, rec.seq = m.tick, m.seq end

local function create(m, k, c, pass, isData)
  local rec = {extra = c, active = 0, isData = isData[k], pass = pass, src = {}, tgt = {}}
  stamp(m, rec)
  m.recs[k] = rec
  return rec
end

-- Data sources: the mean of their exact sum, the fraction dropped toward
-- zero; other sources added on top; the result wraps at 32 bits. An object
-- freed while recorded counts for no one.
local function recountOne(m, rec, pass)
  local dsum, dn, osum = 0, 0, 0
  for _, s in ipairs(rec.src) do
    local r = m.recs[s]
    if r and r.extra ~= 0 and not m.dead[s] then
      if r.isData then dsum, dn = dsum + countOf(r), dn + 1 else osum = osum + countOf(r) end
    end
  end
  local result = osum
  if dn > 0 then
    result = result + (dsum >= 0 and dsum // dn or -((-dsum) // dn))
  end
  rec.active = wrap(result)
  stamp(m, rec)
  rec.pass = pass
end

local function recount(m, rec, pass, related)
  recountOne(m, rec, pass)
  if not related then return end
  for _, t in ipairs(rec.tgt) do
    local tr = m.recs[t]
    if tr and tr.pass ~= pass and not m.dead[t] then recount(m, tr, pass, true) end
  end
end

local function linkStep(m, k, rec, q, asSource, remove, pass, isData)
  local mine, theirs = asSource and "src" or "tgt", asSource and "tgt" or "src"
  local qr = m.recs[q]
  if remove then
    del(rec[mine], q)
    if qr then del(qr[theirs], k) end
    return
  end
  if not qr then qr = create(m, q, 1, pass, isData) end
  add(rec[mine], q)
  add(qr[theirs], k)
end

local function unlinkAndRemove(m, k, rec)
  local src, tgt = rec.src, rec.tgt
  rec.src, rec.tgt = {}, {}
  for _, s in ipairs(src) do
    local o = m.recs[s]
    if o and o ~= rec then del(o.tgt, k) end
  end
  for _, t in ipairs(tgt) do
    local o = m.recs[t]
    if o and o ~= rec then del(o.src, k) end
  end
  m.recs[k] = nil
end

local Model = {}
function Model.activate(m, isData, k, n, sources)
  if n < 1 then n = 1 end
  local pass = newPass(m)
  local rec = m.recs[k]
  local existed = rec ~= nil
  if not existed then rec = create(m, k, n, pass, isData) end
  for _, s in ipairs(sources) do linkStep(m, k, rec, s, true, false, pass, isData) end
  if existed then rec.extra, rec.pass = wrap(rec.extra + n), pass end
  recount(m, rec, pass, true)
end
function Model.deactivate(m, isData, k, c)
  local pass = newPass(m)
  local rec = m.recs[k]
  if not rec then return end
  if c >= 1 then
    rec.pass = pass
    local left = rec.extra - c
    rec.extra = left < 0 and 1 or left
    recount(m, rec, pass, true)
    return
  end
  rec.extra, rec.pass = 0, pass
  recount(m, rec, pass, true)
  unlinkAndRemove(m, k, rec)
end
function Model.link(m, isData, k, q, asSource, remove)
  local pass = newPass(m)
  local rec = m.recs[k]
  if not rec then
    if remove then return end
    rec = create(m, k, 1, pass, isData)
  end
  linkStep(m, k, rec, q, asSource, remove, pass, isData)
end
function Model.setExtra(m, isData, k, c)
  newPass(m)
  local rec = m.recs[k]
  if not rec then return end
  if c >= 1 then rec.extra = c else unlinkAndRemove(m, k, rec) end
end
function Model.update(m, isData, k)
  local pass = newPass(m)
  local rec = m.recs[k]
  if rec then recount(m, rec, pass, true) end
end
-- Removal by age: no recount, no unlinking; whoever lists a removed
-- object keeps it listed.
function Model.deactivateAll(m, isData, before)
  for k, rec in pairs(m.recs) do
    if before == 0 or rec.tick < before then m.recs[k] = nil end
  end
end
-- The trim of a scheduling step (a new tick, sequence numbers from 0): of
-- the oldest stamps, the records of freed objects go first (reported, not
-- recounted, not unlinked), then the others in order, each removed as
-- deactivation with 0 does.
function Model.trim(m, isData, length)
  m.tick, m.seq = m.tick + 1, 0
  local all = {}
  for k, rec in pairs(m.recs) do all[#all + 1] = {k = k, tick = rec.tick, seq = rec.seq} end
  if #all <= length then return end
  table.sort(all, function(a, b)
    if a.tick ~= b.tick then return a.tick < b.tick end
    return a.seq < b.seq
  end)
  for i = 1, #all - length do
    if m.dead[all[i].k] then m.recs[all[i].k] = nil end
  end
  for i = 1, #all - length do
    if not m.dead[all[i].k] then Model.deactivate(m, isData, all[i].k, 0) end
  end
end

-- Names of the recorded objects, the most recent stamp first.
local function modelOrder(m)
  local all = {}
  for k, rec in pairs(m.recs) do
    if not m.dead[k] then all[#all + 1] = {k = k, tick = rec.tick, seq = rec.seq} end
  end
  table.sort(all, function(a, b)
    if a.tick ~= b.tick then return a.tick > b.tick end
    return a.seq > b.seq
  end)
  local names = {}
  for i, e in ipairs(all) do names[i] = e.k end
  return table.concat(names, ",")
end

local function listNames(m, list)
  local out = {}
  for i, k in ipairs(list) do out[i] = m.dead[k] and "nil" or k end
  return table.concat(out, ",")
end

-- ---------------------------------------------------------------------------
-- The realm beside the model
-- ---------------------------------------------------------------------------
local function world(nData, nPlain)
  local w = {objs = {}, byName = {}, isData = {}, names = {}}
  for i = 1, nData + nPlain do
    local name = (i <= nData and "d" or "o") .. i
    local obj = i <= nData and D(i) or _New(_Object)
    T.named(obj, name)
    w.objs[i], w.byName[name], w.isData[name], w.names[i] = obj, obj, i <= nData, name
  end
  w.r = _New(QZRealmBase)
  w.r.ScheduleTickCount = 5
  w.m = newModel(5, w.r.DataSequenceIndex)
  return w
end

local function same(w, what)
  local bad = 0
  for i, obj in ipairs(w.objs) do
    if w.m.dead[w.names[i]] then goto continue end
    local rec = w.m.recs[w.names[i]]
    local count, extra = rec and countOf(rec) or 0, rec and rec.extra or 0
    if w.r:GetActiveCount(obj) ~= count or w.r:GetExtraActiveCount(obj) ~= extra then
      bad = bad + 1
      T.eq(w.r:GetActiveCount(obj) .. "/" .. w.r:GetExtraActiveCount(obj), count .. "/" .. extra,
           what .. ": counts of " .. w.names[i])
    end
    ::continue::
  end
  T.eq(T.names(w.r:GetActiveObjectEx(nil, 0, 0)), modelOrder(w.m), what .. ": stamp order")
  return bad == 0
end

local function sameLists(w, what)
  for i, obj in ipairs(w.objs) do
    local rec = w.m.recs[w.names[i]]
    if rec and not w.m.dead[w.names[i]] then
      T.eq(T.names(w.r:GetSourceObject(obj)), listNames(w.m, rec.src), what .. ": sources of " .. w.names[i])
      T.eq(T.names(w.r:GetTargetObject(obj)), listNames(w.m, rec.tgt), what .. ": targets of " .. w.names[i])
    end
  end
end

-- A small deterministic generator.
local function rng(seed)
  local s = seed
  return function(n)
    s = (s * 1103515245 + 12345) % 2147483648
    return s % n + 1
  end
end

local Counts = {1, 1, 2, 3, 4, 5, 7, 2147483647}

-- One random operation on both sides; its text for the failure message.
local function step(w, rand)
  local r, m, isData = w.r, w.m, w.isData
  local live = {}
  for _, name in ipairs(w.names) do
    if not m.dead[name] then live[#live + 1] = name end
  end
  local function pick() return live[rand(#live)] end
  local kind = rand(100)
  local k = pick()
  if kind <= 30 then
    local c = Counts[rand(#Counts)]
    local sources = {}
    for _ = 1, rand(4) - 1 do sources[#sources + 1] = pick() end
    local objs = {}
    for i, s in ipairs(sources) do objs[i] = w.byName[s] end
    r:ActiveObject(c, w.byName[k], table.unpack(objs))
    Model.activate(m, isData, k, c, sources)
    return "ActiveObject(" .. c .. ", " .. k .. ", " .. table.concat(sources, " ") .. ")"
  elseif kind <= 42 then
    local c = ({0, 0, 1, 2, 10})[rand(5)]
    r:DeactiveObject(w.byName[k], c)
    Model.deactivate(m, isData, k, c)
    return "DeactiveObject(" .. k .. ", " .. c .. ")"
  elseif kind <= 72 then
    local q = pick()
    local asSource, remove = rand(2) == 1, rand(4) == 1
    local fn = (remove and "UnLink" or "Link") .. (asSource and "SourceObject" or "TargetObject")
    r[fn](r, w.byName[k], w.byName[q])
    Model.link(m, isData, k, q, asSource, remove)
    return fn .. "(" .. k .. ", " .. q .. ")"
  elseif kind <= 82 then
    local c = ({0, 1, 3, 2147483647})[rand(4)]
    r:SetExtraActiveCount(w.byName[k], c)
    Model.setExtra(m, isData, k, c)
    return "SetExtraActiveCount(" .. k .. ", " .. c .. ")"
  elseif kind <= 94 then
    r:UpdateActiveCount(w.byName[k])
    Model.update(m, isData, k)
    return "UpdateActiveCount(" .. k .. ")"
  elseif kind <= 98 then
    m.tick = m.tick + 1
    r.ScheduleTickCount = m.tick
    return "tick " .. m.tick
  elseif kind <= 99 then
    -- Removal by age; a record made again later for a removed object counts
    -- for the records that still list it.
    local before = m.tick - rand(2) + 1
    r:DeactiveAll(before)
    Model.deactivateAll(m, isData, before)
    return "DeactiveAll(" .. before .. ")"
  else
    -- An object freed while recorded (a few stay alive to the end).
    if k == "d1" or k == "d2" or k == "o7" or k == "o8" then return "nothing" end
    _Free(w.byName[k])
    m.dead[k] = true
    return "_Free(" .. k .. ")"
  end
end

local function run(w, rand, steps, what)
  for i = 1, steps do
    local op = step(w, rand)
    if not same(w, what .. " step " .. i .. " " .. op) then return false end
  end
  return true
end

-- Lists of ours, then the same records with lists that scripts hold.
for _, seed in ipairs({1, 7, 42}) do
  local w = world(6, 5)
  local rand = rng(seed)
  local what = "seed " .. seed
  if run(w, rand, 400, what) then
    sameLists(w, what .. ", lists") -- hands every list out
    -- A script adds to a list it holds; the recount reads it.
    local a, b = w.names[rand(#w.names)], w.names[rand(#w.names)]
    if w.m.recs[a] and w.m.recs[b] then
      w.r:GetSourceObject(w.byName[a]):_Append(w.byName[b])
      table.insert(w.m.recs[a].src, b)
      w.r:UpdateActiveCount(w.byName[a])
      Model.update(w.m, w.isData, a)
      same(w, what .. ", a list edited by a script")
    end
    -- Another realm, with records of its own, takes these over: a record
    -- under the same object takes the values and lists (as packages) over,
    -- the others stay as they were.
    local w2 = {objs = w.objs, byName = w.byName, isData = w.isData, names = w.names}
    w2.r = _New(QZRealmBase)
    w2.r.ScheduleTickCount = 5
    w2.m = newModel(5, w2.r.DataSequenceIndex, w.m.dead)
    local rand2 = rng(seed + 1)
    if run(w2, rand2, 60, what .. " second realm") then
      T.eq(w2.r:SyncFrom(w.r, true), true, what .. ": SyncFrom")
      w2.m.tick, w2.m.seq = w.m.tick, w.m.seq
      for k, rec in pairs(w.m.recs) do
        local copy = {}
        for f, v in pairs(rec) do copy[f] = v end
        copy.src, copy.tgt = {table.unpack(rec.src)}, {table.unpack(rec.tgt)}
        w2.m.recs[k] = copy
      end
      if same(w2, what .. ", taken over") then run(w2, rand2, 200, what .. " taken over") end
    end
    w2.r:DeactiveAll(0)
    _Free(w2.r)
    if run(w, rand, 200, what .. " with handed-out lists") then
      -- The trim of a step (no cells) to four records.
      w.r.ActiveLength = 4
      w.r:Execute()
      Model.trim(w.m, w.isData, 4)
      same(w, what .. ", trimmed")
      sameLists(w, what .. ", trimmed")
    end
  end
  w.r:DeactiveAll(0)
  _Free(w.r)
end

-- Wrap-around on purpose: a data source's count wraps below zero and the
-- mean is taken over the exact sum; other sources' sum wraps.
do
  local w = world(3, 3)
  local r, m = w.r, w.m
  local function act(c, k, ...)
    r:ActiveObject(c, w.byName[k], table.unpack((function(...)
      local t = {}
      for i, s in ipairs({...}) do t[i] = w.byName[s] end
      return t
    end)(...)))
    Model.activate(m, w.isData, k, c, {...})
  end
  act(2147483647, "d1")
  act(2147483647, "d1") -- own count -2
  act(3, "d2")
  act(2147483647, "o4")
  act(2147483647, "o5")
  act(1, "o6", "d1", "d2", "o4", "o5")
  same(w, "wrapped sums")
  T.eq(r:GetActiveCount(w.byName.o6), wrap(-2 + 0 + 1), "o6: mean of -2 and 3 is 0; 2 * (2^31 - 1) wraps to -2; own 1")
  r:DeactiveObject(w.byName.d1, 0)
  Model.deactivate(m, w.isData, "d1", 0)
  same(w, "the wrapped source removed")
  _Free(r)
end

-- An aggregate: one run takes every waiting datum; the output's record has
-- them all as sources, and the step's trim takes the oldest data away one by
-- one. What is left must count as a walk over its lists says.
do
  local Item = QZDataBase:CreateType("walk.Item")
  local Total = QZDataBase:CreateType("walk.Total")
  local Sum = QZProcBase:CreateSubType("walk.Sum")
  Sum:InputFrom(-1, Item)
  Sum:OutputFrom(Total)
  local total
  function Sum:Execute(realm)
    local got = self:GetInput(0)
    local s = 0
    for i = 0, got:_Count() - 1 do
      local d = got:_Get(i)
      s = s + d[0]
      self:AcceptInput(d)
    end
    total = Total(s)
    self:AddOutputData(total)
    return 0
  end
  local r = _New(QZRealmBase)
  r.CreateFrameData = false
  r.ActiveLength = 20
  local cell = _New(QZCellBase)
  cell:AddProc(Sum())
  r:AddCell(cell)
  local items = {}
  for i = 1, 60 do
    items[i] = T.named(Item(i), "i" .. i)
    r:AddEnvData(items[i])
  end
  r:Execute()
  T.eq(total and total[0], 60 * 61 // 2, "the aggregate ran once over all")
  local recorded = r:GetActiveObjectEx(nil, 0, 0)
  T.eq(recorded:_Count(), 20, "trimmed to ActiveLength")
  -- The realm's items are its copies of ours: told apart by their values.
  local kept = {}
  for _, obj in ipairs(T.items(recorded)) do
    if r:IsData(obj) and obj ~= total then kept[#kept + 1] = obj[0] end
  end
  table.sort(kept)
  T.eq(#kept, 18, "the total, the proc type and 18 items keep their records")
  T.eq(kept[1] .. ".." .. kept[#kept], "43..60", "the newest items")
  T.eq(T.items(recorded)[1], total, "the total was stamped last")
  -- Counts first (the lists are read last: reading hands them out).
  local counts = {}
  for _, obj in ipairs(T.items(recorded)) do counts[#counts + 1] = {obj, r:GetActiveCount(obj)} end
  for _, e in ipairs(counts) do
    local obj, dsum, dn, osum = e[1], 0, 0, 0
    for _, s in ipairs(T.items(r:GetSourceObject(obj))) do
      local extra = r:GetExtraActiveCount(s)
      if extra ~= 0 then
        if r:IsData(s) then dsum, dn = dsum + r:GetActiveCount(s), dn + 1 else osum = osum + r:GetActiveCount(s) end
      end
    end
    local want = r:GetExtraActiveCount(obj) + osum + (dn > 0 and dsum // dn or 0)
    T.eq(e[2], want, "aggregate: count of " .. _Name(obj) .. " as its sources say")
  end
  T.eq(#T.items(r:GetSourceObject(total)), #kept + 1, "the total's sources: the kept items and its proc type")
  r:DeactiveAll(0)
  _Free(r)
  _Free(Sum)
  _Free(Item)
  _Free(Total)
end

_Free(D)
T.balanced(before, "active walk")
T.finish("realm_active_walk")
