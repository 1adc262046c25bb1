-- What is made from an object holds it: objects made inside a function from
-- a prototype only that function's local held live on while the script holds
-- or GC-locks them, and keep what they inherit. The realm stub is set once
-- per module life, so this script runs alone.
local failures = 0
local function check(cond, what)
  if not cond then
    failures = failures + 1
    print("FAIL: " .. what)
  end
end

local realm = _New(QZRealmBase)
local heard = {}

local cases = {
  {
    what = "a stub made from a stub class",
    make = function()
      local Stub = _New(QZRealmStubBase)
      function Stub:OnException(level, text) heard[#heard + 1] = text end
      local stub = _New(Stub)
      _LockGC(stub)
      return stub
    end,
    use = function(stub)
      check(realm:SetRealmStub(stub) == true, "the stub is taken")
      realm:AddEnvData(_New(_Object)) -- refused: reported through the stub
      return #heard == 1 and heard[1]:find("EnvData failed", 1, true) ~= nil
    end,
  },
  {
    what = "a realm made with _QuelCall",
    make = function()
      local base = _New(QZRealmBase)
      function base:Origin() return "base" end
      local r = base:_QuelCall()
      _LockGC(r)
      return r
    end,
    use = function(r) return r:Origin() == "base" and r.ExecuteStage == 0 end,
  },
  {
    what = "an object made from a plain prototype, held by a local alone",
    make = function()
      local proto = _New(_Object)
      function proto:Hi() return "hi" end
      return _New(proto)
    end,
    use = function(o) return o:Hi() == "hi" end,
  },
}

for _, c in ipairs(cases) do
  local o = c.make()
  local protoID = _ID(_Class(o))
  _CollectGarbage()
  _CollectGarbage()
  check(_FromID(protoID) ~= nil, c.what .. ": its prototype lives")
  local ok, res = pcall(c.use, o)
  check(ok and res, c.what .. ": usable after collection (" .. tostring(res) .. ")")
  c.id, c.protoID = _ID(o), protoID
end

-- Let go: each instance, then what it was made from, goes at the next
-- collection point (the stub stays set, so it stays locked).
for i, c in ipairs(cases) do
  if i == 2 then _UnLockGC(_FromID(c.id)) end
end
_CollectGarbage()
_CollectGarbage()
for i, c in ipairs(cases) do
  if i > 1 then
    check(_FromID(c.id) == nil and _FromID(c.protoID) == nil, c.what .. ": both go once let go of")
  end
end

if failures > 0 then error(failures .. " check(s) failed") end
print("held_instances: ok")
