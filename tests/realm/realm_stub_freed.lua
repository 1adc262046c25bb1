-- A stub that the host frees counts as absent: GetRealmStub gives nil,
-- messages go to the host's report again, and no other stub can be set.
-- The stub is set once per module life, so this script runs alone.
local T = dofile(arg[1] .. "/realm_testlib.lua")

local r = T.named(_New(QZRealmBase), "after")
local stub = _New(QZRealmStubBase)
local heard = 0
local Type = _New(QZRealmStubBase)
local typed = _New(Type)
function Type:OnException() heard = heard + 1 end
T.eq(r:SetRealmStub(typed), true, "stub set")
r:AddEnvData(nil, _New(_Object))
T.eq(heard, 1, "the stub hears a message while it lives")
_Free(typed)
T.eq(r:GetRealmStub(), nil, "GetRealmStub is nil once the stub is freed")
local refused = T.expect_errors(function() return r:SetRealmStub(stub) end,
                                {"Set SetRealmStub failed, it has been set before"}, "a new stub after the first is gone")
T.eq(refused, false, "the stub cannot be replaced")
T.expect_errors(function() r:AddEnvData(_New(_Object)) end,
                {T.prefix(r) .. "'s as Add or Capture EnvData failed, input is not deruru instance or null"},
                "messages reach the host's report again")
T.eq(heard, 1, "the freed stub heard nothing more")
T.finish("realm_stub_freed")
