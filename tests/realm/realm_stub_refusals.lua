-- SetRealmStub: what it refuses before a stub is set, the first success,
-- and the refusal of every later call. The stub is set once per module life,
-- so this script runs on its own.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local r = _New(QZRealmBase)
local mustBe = "Set SetRealmStub failed, input object must be instance of RealmStubBase"
local setBefore = "Set SetRealmStub failed, it has been set before"

T.eq(r:GetRealmStub(), nil, "no stub at module start")
for _, row in ipairs({{"a realm", r}, {"a datum", QZDataBase:CreateType("stub.D")(1)}, {"nil", nil},
                      {"the stub class", QZRealmStubBase}, {"a plain object", _New(_Object)}}) do
  local ok = T.expect_errors(function() return r:SetRealmStub(row[2]) end, {mustBe}, "SetRealmStub(" .. row[1] .. ")")
  T.eq(ok, false, "SetRealmStub(" .. row[1] .. ") refused")
end
T.eq(r:GetRealmStub(), nil, "still no stub")

local stub = _New(QZRealmStubBase)
_LockGC(stub)
T.eq(T.expect_errors(function() return r:SetRealmStub(stub) end, {}, "first SetRealmStub"), true, "the first stub is set")
T.eq(r:GetRealmStub(), stub, "GetRealmStub gives it")
T.eq(_New(QZRealmBase):GetRealmStub(), stub, "for every realm")

-- Later calls are refused, also with the same stub; the message now goes
-- through the stub's default OnException to the host's report.
local other = _New(QZRealmStubBase)
for _, row in ipairs({{"the same stub", stub}, {"another stub", other}, {"a realm", r}}) do
  local ok = T.expect_errors(function() return r:SetRealmStub(row[2]) end, {setBefore}, "SetRealmStub(" .. row[1] .. ")")
  T.eq(ok, false, "SetRealmStub(" .. row[1] .. ") refused once a stub is set")
end
T.eq(r:GetRealmStub(), stub, "the first stub stays in force")
T.finish("realm_stub_refusals")
