-- Seeded random fuzz over every BOUND luafunc: a pool of odd but valid values
-- (types, instances, prototypes, sets of sets, data with rules, packages of
-- every item kind, read-only values, freed objects, class objects, plain
-- objects, huge numbers, NaN, long strings) is built, then each round calls a
-- random bound function with a random self and 0-4 random arguments under
-- pcall, sometimes keeps results, frees pool objects or collects garbage.
-- A type class whose every hook, a rule type whose events and free callbacks
-- make random calls, frees (of what they were given, its holder and type
-- among them) and collections meanwhile. Realms whose cells run chains of
-- script procs are run now and then between the calls (Execute, ExecuteOnce,
-- ExecuteForResult, ResetExecuteOnce), their procs' "Execute" doing the same
-- chaos. Script errors are fine; the host
-- must survive every call, still work at the end, count no stale handle
-- given to it, and hold no more objects, packages or buffers once the pool
-- is freed.
--
--   tarvex quel_trelk.so fuzz_bound_luafuncs.lua BOUND_LIST.lua [SEED [ROUNDS]]
local listfile = assert(arg and arg[1], "usage: fuzz_bound_luafuncs.lua BOUND_LIST.lua [SEED [ROUNDS]]")
local bound = dofile(listfile)
local SEED = math.tointeger(tonumber(arg[2] or "")) or 20260311
local ROUNDS = math.tointeger(tonumber(arg[3] or "")) or 20000
local TRACE = arg[4] == "trace" -- each call on stderr, to find the one at fault
local RUN_CHAOS = os.getenv("FUZZ_RUN_CHAOS") == "1" -- chaos inside the runs too
math.randomseed(SEED)
local rnd = math.random

-- The shared helpers lie beside this script.
local T = dofile((debug.getinfo(1, "S").source:match("^@(.*[/\\])") or "") .. "trelk_testlib.lua")
local call = T.pcall_method

local function stat(name)
  local s = _Stats()
  return s:_Get(s:_FindDict(name))
end

local function host_works()
  local p = _Pkg(1, "x")
  assert(p:_Count() == 2, "host packages no longer work")
  local o = _New(_Object)
  assert(_ID(o) ~= nil, "host objects no longer work")
  _Free(o)
  for _, name in ipairs({"QZDataBase", "QZRuleBase", "QZExceptionBase", "QZRealmBase"}) do
    assert(_Find(name) == _G[name], name .. " vanished during the fuzz")
  end
end

-- Every bound function, reached through its class object.
local funcs = {}
for _, entry in ipairs(bound) do
  local class = assert(_G[entry.class], entry.class .. " is not registered")
  for _, fname in ipairs(entry.funcs) do
    funcs[#funcs + 1] = {class = class, name = fname, cname = entry.class}
  end
end
assert(#funcs > 0, "no bound luafuncs listed")

-- Measured before the pool exists; the registered classes stay throughout.
collectgarbage("collect")
_CollectGarbage()
_Errors()
-- Host counters of misuse: stale handles given to the host, GC unlocks
-- below zero, lock-rule breaks. None may appear.
local misuse = {"InvalidObjects", "UnlockAtZero", "LockViolations"}
local function misuseNow()
  local out = {}
  for _, k in ipairs(misuse) do out[k] = stat(k) end
  return out
end
local before = {objects = stat("LiveObjects"), packages = stat("LivePackages"), bins = stat("LiveBinBufs")}
local misuseBefore = misuseNow()

-- ---- the pool ----
local objects = {} -- module and host objects the fuzz made (freed at the end)
local values = {}  -- everything a call may be given
local protected = {}
for _, entry in ipairs(bound) do protected[_G[entry.class]] = true end
protected[_Object] = true

local function isObject(v) return type(v) == "userdata" and pcall(_ID, v) end

-- Every object a call gives back is freed at the end, in the pool or not:
-- types stay registered with the module until they are freed.
local seen = {}
local seenIDs = {}
local show
local function track(v)
  if TRACE and type(v) == "userdata" and not protected[v] then
    local ok, id = pcall(_ID, v)
    if ok then seenIDs[id] = show(v) end
  end
  if type(v) == "userdata" and not protected[v] and not seen[v] and pcall(_ID, v) then
    seen[v] = true
    objects[#objects + 1] = v
  end
end

local function add(v)
  if v == nil then return end
  values[#values + 1] = v
  track(v)
end

function show(v)
  if type(v) == "userdata" then
    local ok, name = pcall(_Name, v)
    if ok then
      local okc, cls = pcall(function() return _Name(_Class(v)) end)
      return "obj<" .. tostring(name) .. ":" .. (okc and tostring(cls) or "?") .. ">"
    end
    local okc, cnt = pcall(function() return v:_Count() end)
    if okc then return "pkg[" .. cnt .. "]" end
    return tostring(v)
  elseif type(v) == "string" then
    return string.format("%q", #v > 40 and v:sub(1, 40) .. "..(" .. #v .. ")" or v)
  end
  return tostring(v)
end

-- Builders may refuse (a clear nil or a script error); the fuzz goes on.
local function try(fn, ...)
  local ok, v = pcall(fn, ...)
  if ok then add(v) return v end
  return nil
end

local scalars = {
  0, 1, -1, 2, 7, 64, 2147483647, -2147483648, 2147483648, 1 << 40, math.maxinteger, math.mininteger,
  1.5, -0.0, 1e300, -1e300, math.huge, -math.huge, 0 / 0, true, false,
  "", "x", "Value", "Type", "QZDataBase", "QZRuleBase", "fz.D", "fz.Set", "%s%n%d", "a\0b",
  string.rep("L", 119), string.rep("L", 120), string.rep("w", 70000),
  "{\"a\":1}", "return 1", "error('boom')",
}
for _, s in ipairs(scalars) do values[#values + 1] = s end

-- Script functions as arguments (callbacks, "procs").
values[#values + 1] = function() return 1 end
values[#values + 1] = function() error("callback refuses") end

-- Class objects and plain objects.
for _, entry in ipairs(bound) do values[#values + 1] = _G[entry.class] end
values[#values + 1] = _Object
local plain = try(_New, _Object)
try(_New, _Object)

-- Data types with properties, sub-types, instances and prototypes.
local D = try(function() return QZDataBase:CreateType("fz.D") end)
local E = try(function() return QZDataBase:CreateType("fz.E") end)
if D then
  pcall(D.CreateProperty, D, "i", 6, 1)
  pcall(D.CreateProperty, D, "l", 60, 1 << 40)
  pcall(D.CreateProperty, D, "f", 58, 1.5)
  pcall(D.CreateProperty, D, "b", 1, true)
  pcall(D.CreateProperty, D, "s", 30, "text")
  local Sub = try(function() return D:CreateType("fz.DSub") end)
  local d1 = try(function() return D(1, "one", _Pkg(2)) end)
  try(function() return D() end)
  try(function() return D(_Pkg(), 0 / 0, math.maxinteger) end)
  if d1 then
    try(function() return d1:Create() end) -- an instance made from an instance
    try(function() return d1:Dup() end)
  end
  if Sub then try(function() return Sub("sub") end) end
  try(function() return D:GetDataSetBase() end)
  try(function() return D:GetObjectDataBase() end)
  try(function() return D:GetBufDataBase() end)
  -- A value that is read-only for good.
  try(function()
    local ro = D("read", "only")
    ro:SetReadOnly()
    return ro
  end)
end
if E then try(function() return E(_Pkg("e")) end) end

-- Sets, sets holding sets, a set holding itself's type.
local S = try(function() return QZDataSetBase:CreateType("fz.Set") end)
if S then
  local inner = try(function() return S(D and D(3) or nil, E and E() or nil) end)
  local outer = try(function() return S(inner, D and D(4) or nil) end)
  try(function() return S(outer, inner) end)
  try(function() return S() end)
end
try(function() return QZDataSetBase() end)
-- Loops: a set offered itself, data that are their own source or each other's.
if S then try(function() local s = S() pcall(s.AddData, s, s) return s end) end
if D then
  try(function() local a = D("loop") pcall(a.AddSource, a, a) return a end)
  try(function()
    local a, b = D("a"), D("b")
    add(a)
    pcall(a.AddSource, a, b)
    pcall(b.AddSource, b, a)
    return b
  end)
  try(function() local a = D(_Pkg()) local v = a:GetDataBuf() pcall(v._Append, v, a) return a end)
end

-- Object data, buffer data, frame data.
local O = try(function() return QZObjectDataBase:CreateType("fz.O") end)
if O then
  try(function() return O(plain) end)
  try(function() return O(D) end)
end
local B = try(function() return QZBufDataBase:CreateType("fz.B") end)
if B then
  try(function() return B(_Pkg(1, _Pkg("inner", plain), D)) end)
  try(function() return B(_Pkg()) end)
end
try(function() return QZRealmFrameData:Create() end)
try(function() return _New(QZRealmFrameData) end)

-- Rules and rule types, some with script events; data with rules attached.
local R = try(function() return QZRuleBase:CreateType("fz.R") end)
local Rbad = try(function() return QZRuleBase:CreateType("fz.Rbad") end)
if Rbad then
  function Rbad:OnApproved() error("rule refuses") end
  -- Frees what it judges (the registered classes stay: the module is built on them).
  function Rbad:OnDisapproved(data) if not protected[data] then pcall(_Free, data) end end
end
if R then
  local r = try(function() return R() end)
  if r then pcall(function() r:GetRuleBuf():_Append(3) r:GetRuleBuf():_Append(D) end) end
  if r and D then try(function() local d = D(9) d:SetRuleAttach(r) return d end) end
end
if Rbad and D then
  try(function() local d = D(10) d:SetRuleAttach(Rbad()) return d end)
end
try(function() return QZRuleBase() end)

-- Hook chaos: every type-class hook, rule event and free callback makes
-- random calls, frees (its own arguments, their holders, types and values
-- included) and collections, so the data functions find the objects they
-- work on gone after each script call. Nested a few levels at most.
local chaosDepth, chaosOn = 0, false
local chaosPick -- set once the pool is complete
local function chaos(...)
  if not chaosOn or chaosDepth >= 3 then return end
  chaosDepth = chaosDepth + 1
  local given = table.pack(...)
  if TRACE then
    local info = debug.getinfo(2, "nl")
    io.stderr:write("  chaos " .. chaosDepth .. " in " .. tostring(info and info.name) .. ":" ..
                    tostring(info and info.currentline) .. " InvalidObjects " .. stat("InvalidObjects") .. "\n")
  end
  for _ = 1, rnd(0, 2) do
    local k = rnd(8)
    local target
    if k <= 2 and given.n > 0 then
      target = given[rnd(given.n)]
    elseif k == 3 and given.n > 0 then
      -- the holder or type of what the hook was given
      local g = given[rnd(given.n)]
      local ok, v = pcall(function() return rnd(2) == 1 and g:GetObjectHasBuf() or g:GetType() end)
      if ok then target = v end
    elseif k == 4 and #objects > 0 then
      target = objects[rnd(#objects)]
    end
    if target ~= nil and not protected[target] then
      pcall(_Free, target)
    elseif k == 5 then
      _CollectGarbage()
    elseif k == 6 then
      collectgarbage("collect")
    elseif chaosPick then
      local f = funcs[rnd(#funcs)]
      local fn = f.class[f.name]
      if type(fn) == "function" then
        local self = rnd(2) == 1 and given.n > 0 and given[rnd(given.n)] or chaosPick()
        call(f.name, fn, self, chaosPick(), chaosPick())
        if TRACE then
          io.stderr:write("    chaos call " .. f.cname .. "." .. f.name .. " InvalidObjects " .. stat("InvalidObjects") .. "\n")
        end
      end
    end
  end
  chaosDepth = chaosDepth - 1
end
local H = try(function() return QZDataBase:CreateType("fz.H") end)
local HSet = try(function() return QZDataSetBase:CreateType("fz.HSet") end)
if H then
  local tc = _New(_Object)
  add(tc)
  local function raw(tag)
    local v = _New(_Object)
    v.Tag = tag
    add(v)
    return v
  end
  function tc:IsRawInstance(v) chaos(v) return rnd(4) > 1 end
  function tc:Save(d) chaos(d) return "h" end
  function tc:Load(text) chaos() local ok, d = pcall(function() return _New(H, _Pkg(raw("load"))) end) return ok and d or nil end
  function tc:Dup(holder) chaos(holder) local ok, d = pcall(function() return _New(H, _Pkg(raw("dup"))) end) return ok and d or nil end
  function tc:ToParaPkg(v, pkg) chaos(v, pkg) if pkg then pcall(pkg._Append, pkg, 1) end return rnd(4) > 1 end
  function tc:ToString(v) chaos(v) return "h" end
  function tc:Equals(a, b) chaos(a, b) return rnd(2) == 1 end
  function tc:OnBeforeFree(v) chaos(v) end
  pcall(H.CreateProperty, H, "p", 6, 1)
  pcall(H.SetDataTypeClass, H, tc)
  for i = 1, 6 do
    local ok, h = pcall(function() return _New(H, _Pkg(raw(i))) end)
    if ok and h then
      add(h)
      try(function() return h() end) -- a prototype: its holder is h
      local cb = _New(_Object)
      function cb:OnFreeCallback(d) chaos(d) end
      add(cb)
      pcall(h.RegCallBack, h, cb)
    end
  end
  if HSet then
    try(function() return HSet(objects[#objects], objects[#objects - 2]) end)
    try(function() return HSet(objects[#objects - 4]) end)
  end
  local Rch = try(function() return QZRuleBase:CreateType("fz.Rchaos") end)
  if Rch then
    function Rch:OnApproved(d) chaos(d) end
    function Rch:OnDisapproved(d) chaos(d) end
    for i = 1, 3 do
      try(function() local d = _New(H, _Pkg(raw("r" .. i))) d:SetRuleAttach(Rch()) return d end)
    end
  end
end

-- Procs, proc types, chains and cells: the keys of caches and lists.
try(function()
  local pt = _New(QZProcBase)
  pt.IsType = true
  _SetName(pt, "fz.PT")
  return pt
end)
try(function() return _New(QZProcBase) end)
try(function() return _New(QZProcChainBase) end)
try(function() return _New(QZCellBase) end)

-- Exceptions.
try(function() return _New(QZExceptionBase) end)
try(function() return _New(QZRealmStubBase) end)
try(function() return _New(QZRealmBase) end)

-- Realms holding something in every queue and active records, a realm made
-- from a realm, stubs, and cells that take data.
local filled = try(function() return _New(QZRealmBase) end)
if filled then
  local taker = try(function()
    local c = _New(QZCellBase)
    if D then pcall(c.InputFrom, c, D) end
    return c
  end)
  local lib = try(function() return _New(QZCellBase) end)
  pcall(function()
    if D then filled:AddEnvData(D(11), _Pkg(D(12))) end
    if taker then filled:AddCell(taker) end
    if lib then filled:AddCellLibrary(lib) end
    if R then filled:AddRule(R()) end
    filled:ActiveObject(3, plain)
    if D then filled:ActiveObject(2, D, plain) end
    filled:LinkTargetObject(plain, filled)
  end)
  for _, item in ipairs({pcall(function() return filled:GetEnvDataQueue():_Get(0) end)}) do
    if type(item) == "userdata" then add(item) end
  end
  try(function() return filled:_QuelCall() end)
  try(function() local r = _New(QZRealmBase) r:SyncFrom(filled, true) return r end)
end
try(function() return QZRealmStubBase:_QuelCall() end)

-- Realms that run: cells holding small chains of script proc types whose
-- "Execute" adds outputs, accepts its input, returns any result code, raises
-- a script error or makes chaos (frees, collections, random calls) on what
-- it was given: the realm, cell and runner included. The rounds run them
-- (FUZZ_RUNS=0 leaves them out).
local runRealms = {}
local runFeeds = {}
local runCells = {}
-- A proc or cell that suspends itself waits, with its run, for somebody to
-- resume it: here a message the run's dispatch delivers, as another thread
-- would.
local function suspendOrNot(obj, code)
  if code == 1 then _Post(function() pcall(function() obj:Resume() end) end) end
  return code
end
if os.getenv("FUZZ_RUNS") ~= "0" then
  local ok = pcall(function()
    local X = QZDataBase:CreateType("fz.X")
    local Y = QZDataBase:CreateType("fz.Y")
    local Z = QZDataBase:CreateType("fz.Z")
    add(X) add(Y) add(Z)
    runFeeds[1], runFeeds[2] = X, Y
    local function body(outType)
      return function(self, realm, cell, runner)
        local k = rnd(12)
        if k == 1 then error("execute refuses") end
        if k == 2 and RUN_CHAOS then chaos(self, realm, cell, runner) end
        local okIn, input = pcall(self.GetInput, self, 0)
        if outType and rnd(4) > 1 then pcall(function() self:AddOutputData(outType(rnd(100))) end) end
        if rnd(4) == 1 then pcall(function() self:AddOutputData(outType and outType() or X(1)) end) end
        if okIn and input ~= nil and rnd(5) > 1 then pcall(self.AcceptInput, self, input) end
        if rnd(3) == 1 then return suspendOrNot(self, rnd(-1, 5)) end
        return 0
      end
    end
    local function ptype(name, inputs, output)
      local P = QZProcBase:CreateSubType(name)
      add(P)
      P:InputFrom(table.unpack(inputs))
      if output then P:OutputFrom(output) end
      P.Execute = body(output)
      return P
    end
    local PXY = ptype("fz.PXY", {X}, Y)
    local PYZ = ptype("fz.PYZ", {Y}, Z)
    local PZ = ptype("fz.PZ", {Z}, nil)
    local PXX = ptype("fz.PXX", {X, Y}, X)
    local chains = {{PXY, PYZ}, {PXY, PYZ, PZ}, {PXX}, {PYZ, PZ}}
    for i = 1, 3 do
      local realm = _New(QZRealmBase)
      add(realm)
      local cell = _New(QZCellBase)
      add(cell)
      if rnd(3) == 1 then
        function cell:Execute(r, c) if RUN_CHAOS then chaos(self, r) end return suspendOrNot(self, rnd(-1, 5)) end
      end
      for _ = 1, rnd(1, 2) do
        local types = chains[rnd(#chains)]
        local c = _New(QZProcChainBase)
        add(c)
        local procs = {}
        for j, P in ipairs(types) do procs[j] = P() add(procs[j]) end
        pcall(c.FromPara, c, table.unpack(procs))
        pcall(cell.AddProc, cell, c)
      end
      pcall(realm.AddCell, realm, cell)
      if i == 2 then
        -- Hooks of one realm make the same chaos and answer either way.
        for _, hook in ipairs({"OnRunnerProcExecuted", "OnOutputDataToEnv", "OnCellToBeFinish", "OnFrameData",
                               "OnAfterExecute", "OnRunnerExecuted", "OnRunnerBeforeExecuted"}) do
          realm[hook] = function(...) if RUN_CHAOS then chaos(...) end return rnd(2) == 1 end
        end
      end
      for _ = 1, rnd(1, 4) do pcall(realm.AddEnvData, realm, (rnd(2) == 1 and X or Y)(i)) end
      runRealms[#runRealms + 1] = realm
      runCells[realm] = cell
      if i == 3 then realm:ExecuteOnce() end
    end
  end)
  assert(ok or #runRealms > 0, "no realm to run was built")
end
local runCalls = {"Execute", "ExecuteOnce", "ExecuteForResult", "ResetExecuteOnce"}

-- Packages of every item kind, dicts, nested and read-only ones.
local function addPkg(p) if p then values[#values + 1] = p end return p end
addPkg(_Pkg())
addPkg(_Pkg(nil, 1, -1, 1 << 40, 2.5, 0 / 0, "", "s", true, false))
addPkg(_Pkg(_Pkg(1, _Pkg("deep")), _Dict("Key", "Value")))
addPkg(_Dict("Type", "QZDataBase", "Value", _Pkg(1)))
addPkg(_Dict("Type", "fz.D", "Value", _Pkg(1), "Signature", ""))
addPkg(_Pkg(_BinBuf("bytes"), _BinBuf()))
addPkg(_Pkg(plain, D, QZDataBase))
do
  local withObjects = _Pkg()
  for i = 1, math.min(#objects, 8) do pcall(withObjects._Append, withObjects, objects[i]) end
  addPkg(withObjects)
  local selfish = _Pkg(1)
  addPkg(_Pkg(selfish, selfish))
end
for _, o in ipairs({table.unpack(objects)}) do
  -- Saved records of the pool's objects: valid inputs for the loaders.
  local rec = _Pkg()
  if pcall(function() return o:SaveTo(rec) end) and rec:_Count() > 0 then addPkg(rec) end
  local ok, json = pcall(function() return o:SaveToJSonPkg(_Pkg(1, "x", o)) end)
  if ok and json ~= nil then values[#values + 1] = json end
end
values[#values + 1] = _BinBuf("")
values[#values + 1] = _BinBuf(string.rep("\255", 300))

-- Freed objects: the proxies stay in the pool.
for _, maker in ipairs({function() return D and D(5) end, function() return _New(_Object) end,
                        function() return R and R() end, function() return S and S() end,
                        function() return QZDataBase:CreateType("fz.Gone") end}) do
  local ok, v = pcall(maker)
  if ok and v then
    pcall(_Free, v)
    values[#values + 1] = v
  end
end

local function pick()
  local k = rnd(12)
  if k == 1 then return nil end
  -- Half the time an object the fuzz made: most luafuncs want one.
  if k <= 6 and #objects > 0 then return objects[rnd(#objects)] end
  return values[rnd(#values)]
end
chaosPick = pick
chaosOn = true

-- Functions that keep what they are given in their object: the registered
-- classes live on past the pool, so they are not the object of these calls
-- (a package or rule kept there would read as a leak). They still get the
-- classes as arguments, and the pool's own types as their object.
local keeps = {}
for _, name in ipairs({"SetDataBuf", "SetRuleAttach", "SetCache", "SetDesc", "SetSignature", "SetDataTypeClass",
                       "AddSource", "AddAccept", "AddReject", "AddExclude", "RegCallBack", "SetUniformTick",
                       "SaveZelDataProperty", "SetReadOnly", "AddData", "CreateProperty", "GetRuleBuf",
                       "GetDataBuf"}) do
  keeps[name] = true
end

local lastSelf
local function pickSelf(f)
  local k = rnd(10)
  -- Runs of calls on one object.
  if k <= 3 and lastSelf ~= nil and not (keeps[f.name] and protected[lastSelf]) then return lastSelf end
  k = rnd(10)
  if keeps[f.name] then
    if k <= 6 and #objects > 0 then return objects[rnd(#objects)] end
    local v = pick()
    if protected[v] then return nil end
    return v
  end
  if k <= 2 then return f.class end
  if k <= 6 and #objects > 0 then return objects[rnd(#objects)] end
  return pick()
end

local keysToTouch = {"i", "l", "f", "b", "s", "x", "Value", "IsType", "Name", 0, 1, -1, 2147483647, 1.5,
                     "CacheDataIndex", "PropertyPkg", "Signature", "Desc"}

-- ---- the rounds ----
local calls, failures, kept, freed, runs = 0, 0, 0, 0, 0
for round = 1, ROUNDS do
  local f = funcs[rnd(#funcs)]
  local self = pickSelf(f)
  local n = rnd(0, 4)
  local args = {n = n}
  for i = 1, n do args[i] = pick() end
  -- Mostly the class's function, sometimes the one the self itself offers.
  local fn = f.class[f.name]
  if rnd(4) == 1 and isObject(self) then
    local ok, own = pcall(function() return self[f.name] end)
    if ok and type(own) == "function" then fn = own end
  end
  if type(fn) == "function" then
    if TRACE then
      local parts = {}
      for i = 1, n do parts[i] = show(args[i]) end
      io.stderr:write(string.format("round %d: %s.%s self=%s (%s)\n", round, f.cname, f.name, show(self),
                                    table.concat(parts, ", ")))
    end
    local res = table.pack(call(f.name, fn, self, table.unpack(args, 1, n)))
    if TRACE then
      io.stderr:write("  -> " .. tostring(res[1]) .. " " .. show(res[2]) .. " InvalidObjects " ..
                      stat("InvalidObjects") .. "\n")
    end
    calls = calls + 1
    for i = 2, res.n do track(res[i]) end
    if not res[1] then
      failures = failures + 1
    elseif rnd(3) == 1 then
      for i = 2, res.n do
        if res[i] ~= nil and #values < 4000 then
          add(res[i])
          kept = kept + 1
        end
      end
    end
  end
  lastSelf = self
  -- Indexed access: properties, attributes and values read and written.
  if rnd(10) == 1 and isObject(self) and not protected[self] then
    local key = keysToTouch[rnd(#keysToTouch)]
    if rnd(2) == 1 then
      pcall(function() return self[key] end)
    else
      local v = pick()
      pcall(function() self[key] = v end)
    end
  end
  local r = rnd(100)
  if r <= 3 and #objects > 0 then
    pcall(_Free, objects[rnd(#objects)])
    freed = freed + 1
  elseif r == 4 then
    _CollectGarbage()
  elseif r == 5 then
    collectgarbage("collect")
  elseif r <= 9 and #runRealms > 0 then
    -- A run of one of the running realms, fed new env data now and then.
    local realm = runRealms[rnd(#runRealms)]
    if rnd(3) == 1 then
      local F = runFeeds[rnd(#runFeeds)]
      pcall(function() realm:AddEnvData(F(round)) end)
    end
    -- A random call may have suspended the realm's cell: the run would wait
    -- for ever.
    local cell = runCells[realm]
    if cell ~= nil then pcall(function() cell:Resume() end) end
    local how = runCalls[rnd(#runCalls)]
    if TRACE then io.stderr:write("  run " .. how .. " on " .. show(realm) .. "\n") end
    local res = table.pack(pcall(function() return realm[how](realm, rnd(2) == 1 and pick() or nil) end))
    for i = 2, res.n do track(res[i]) end
    runs = runs + 1
  end
  if TRACE then io.stderr:write("  after touch/free/collect: InvalidObjects " .. stat("InvalidObjects") .. "\n") end
  if round % 200 == 0 then
    _Errors() -- the log would only grow
    host_works()
  end
end

host_works()

-- Free the pool and check nothing stayed behind.
chaosOn = false
for i = #objects, 1, -1 do pcall(_Free, objects[i]) end
objects, values, plain, filled, runRealms, runFeeds, runCells = nil, nil, nil, nil, nil, nil, nil
D, E, S, O, B, R, Rbad = nil, nil, nil, nil, nil, nil, nil
-- The last call's object may be a package that holds others.
lastSelf = nil
for _ = 1, 3 do
  collectgarbage("collect")
  _CollectGarbage()
end
_Errors()
collectgarbage("collect")
local after = {objects = stat("LiveObjects"), packages = stat("LivePackages"), bins = stat("LiveBinBufs")}
if TRACE then
  for id, what in pairs(seenIDs) do
    local o = _FromID(id)
    if o ~= nil then io.stderr:write("still alive: " .. id .. " " .. what .. " now " .. show(o) .. "\n") end
  end
end
local leaks = {}
for _, k in ipairs({"objects", "packages", "bins"}) do
  if after[k] > before[k] then leaks[#leaks + 1] = k .. " " .. before[k] .. " -> " .. after[k] end
end
host_works()
assert(#leaks == 0, "fuzz seed " .. SEED .. ": left behind: " .. table.concat(leaks, ", "))
local misuseAfter = misuseNow()
for _, k in ipairs(misuse) do
  assert(misuseAfter[k] == misuseBefore[k],
         "fuzz seed " .. SEED .. ": host counted " .. k .. " " .. misuseBefore[k] .. " -> " .. misuseAfter[k])
end
print(string.format("fuzz seed %d: %d rounds, %d calls, %d script errors, %d results kept, %d frees, %d runs",
                    SEED, ROUNDS, calls, failures, kept, freed, runs))
