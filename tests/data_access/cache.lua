-- The result cache: hit, miss, clear, replacement and refusals, and the GC
-- locks it takes and gives back.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local P = T.prefix
local unlockAtZero = T.stat("UnlockAtZero")

local D = QZDataBase:CreateType("cache.D")
_LockGC(D)
local procType = T.procType
local PT, PT2 = procType("cache.PT"), procType("cache.PT2")
local p1, p2 = _New(PT), _New(PT)
local other = _New(PT2)
local chain = _New(QZProcChainBase)
local chain2 = _New(QZProcChainBase)
local cell = _New(QZCellBase)

local d = D(1)
_SetName(d, "d")
local r1, r2 = D(10), D(20)
local ref = _RefCount(r1)

-- Hit and miss.
T.eq(d:SetCache(p1, r1), true, "SetCache")
T.eq(_RefCount(r1), ref + 1, "a listed object is locked")
T.eq(d:GetCache(other), nil, "another proc type misses")
T.eq(d:GetCache(chain), nil, "a chain misses")
T.eq(d:GetCache(p2), r1, "another instance of the same proc type hits")
T.eq(_RefCount(r1), ref, "the handed-out object is no longer locked by the cache")
T.eq(d:GetCache(p1), nil, "a result is handed out once")
T.eq(d:GetCache(PT), nil, "the proc type itself misses after that")

-- Chains are keyed by themselves; cells are procs.
T.eq(d:SetCache(chain, r1), true, "SetCache on a chain")
T.eq(d:SetCache(cell, r2), true, "SetCache on a cell")
T.eq(d:GetCache(chain2), nil, "another chain misses")
T.eq(d:GetCache(cell), r2, "cell hit")
T.eq(d:GetCache(chain), r1, "chain hit")

-- Replacement and removal release the locks.
d:SetCache(p1, r1)
d:SetCache(p1, r2)
T.eq(_RefCount(r1), ref, "a replaced entry is unlocked")
d:SetCache(p1, r2)
T.eq(_RefCount(r2), ref + 1, "setting the same entry again keeps one lock")
T.eq(d:SetCache(p2), true, "SetCache without data removes the entry")
T.eq(_RefCount(r2), ref, "and unlocks it")
T.eq(d:GetCache(p1), nil, "removed")
T.eq(d:SetCache(p2, nil), true, "removing again is fine")
T.eq(D(5):SetCache(p1), true, "removing from a data without a cache")

-- A data without its own value package uses its holder's cache.
local child = d()
T.eq(child:SetCache(p1, r1), true, "SetCache through a child")
T.eq(d:GetCache(p1), r1, "the holder's cache")
child:SetCache(p1, r2)
-- ClearCache works on the object's own cache only.
child:ClearCache()
T.eq(_RefCount(r2), ref + 1, "a child without a cache of its own clears nothing")
T.eq(select("#", d:ClearCache()), 0, "ClearCache pushes nothing")
T.eq(_RefCount(r2), ref, "ClearCache unlocks the listed objects")
T.eq(d:GetCache(p1), nil, "and empties the cache")
d:ClearCache()

-- Freeing a data releases what its cache holds.
local holder = D(6)
holder:SetCache(p1, r1)
_Free(holder)
T.eq(_RefCount(r1), ref, "freeing the data unlocks its cache")

-- Refusals.
local bare = _New(D)
_SetName(bare, "bare")
local refusals = {
  {"SetCache", d, {d, r1}, "'s SetCache failed, this first parameter must be a proc, cell, procchain", false},
  {"SetCache", d, {QZProcBase, r1}, "'s SetCache failed, this first parameter must be a proc, cell, procchain", false},
  {"SetCache", d, {5, r1}, "'s SetCache failed, this first parameter must be a proc, cell, procchain", false},
  {"SetCache", D, {p1, r1}, "'s SetCache failed, this object is data type", false},
  {"SetCache", bare, {p1, r1}, "'s SetCache failed, this data object has no buf", false},
  {"SetCache", d, {p1, _New(_Object)}, "'s SetCache failed, this second parameter must be null or data object", false},
  {"SetCache", d, {p1, 7}, "'s SetCache failed, this second parameter must be null or data object", false},
  {"GetCache", d, {d}, "'s GetCache failed, this first parameter must be a proc, cell, procchain", nil},
  {"GetCache", D, {p1}, "'s GetCache failed, this object is data type", nil},
  {"GetCache", bare, {p1}, "'s GetCache failed, this data object has no buf", nil},
}
for i, r in ipairs(refusals) do
  local obj = r[2]
  local got = T.expect_errors(function() return obj[r[1]](obj, table.unpack(r[3])) end, {P(obj) .. r[4]},
                              "refusal " .. i)
  T.eq(got, r[5], "refusal " .. i .. " result")
end
T.eq(T.expect_errors(function() return d:GetCache() end, {}, "GetCache without argument"), nil, "nil without message")
T.eq(T.expect_errors(function() return d:GetCache(5) end, {}, "GetCache with a number"), nil, "nil without message")

-- A cached object that script code frees while it is listed: every way out
-- of the cache sees it gone and touches no stale handle.
local invalid = T.stat("InvalidObjects")
local gone = {
  {"GetCache", function(h) return h:GetCache(p1) end, nil},
  {"replacement", function(h) h:SetCache(p1, r2) h:SetCache(p1) end},
  {"removal", function(h) return h:SetCache(p2) end, true},
  {"ClearCache", function(h) return h:ClearCache() end},
  {"freeing the holder", function(h) _Free(h) end},
}
for _, c in ipairs(gone) do
  local h, cached = D(7), D(70)
  T.eq(h:SetCache(p1, cached), true, c[1] .. ": listed")
  _Free(cached)
  T.eq(c[2](h), c[3], c[1] .. " after the cached object was freed")
  T.eq(_RefCount(r2), ref, c[1] .. ": other locks are untouched")
  _Free(h)
end
_CollectGarbage()
T.eq(T.stat("InvalidObjects"), invalid, "no stale handle reached the host")
T.eq(T.stat("UnlockAtZero"), unlockAtZero, "no unlock without a lock")
T.finish("data_access_cache")
