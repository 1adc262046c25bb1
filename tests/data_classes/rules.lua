-- Rules: types and instances, creation refusals, the rule record round trip,
-- equality, the before-free hook, attachment locks, and rules approving and
-- disapproving data through their script hooks.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local P = QZDataBase:CreateType("rule.P")

-- Types and instances.
local R = QZRuleBase:CreateType("rule.R")
T.eq(R.IsType, true, "CreateType makes a rule type")
T.eq(_Name(R), "rule.R", "named as asked")
T.eq(R:GetRuleType(), R, "a type is its own rule type")
T.eq(QZRuleBase:GetRuleType(), QZRuleBase, "the rule class is a rule type")
local r = R()
T.eq(r.IsType, false, "an instance is no type")
T.eq(_Class(r), R, "Create on a type makes an instance of it")
T.eq(r:GetRuleType(), R, "an instance's rule type is its type")
T.check(r:GetRuleBuf() ~= nil and r:GetRuleBuf():_Count() == 0, "a new rule has an empty settings package")
local rr = r:Create()
T.eq(_Class(rr), r, "Create on an instance makes an object whose class is the instance")
T.eq(rr:GetRuleType(), R, "whose rule type is the type")
local Sub = R:CreateType("rule.Sub")
T.eq(_Class(Sub), R, "a sub-type derives from its type")
local types = QZRuleBase:CollectType()
local listed = {}
for i = 0, types:_Count() - 1 do listed[types:_Get(i)] = true end
T.check(listed[R] and listed[Sub] and not listed[r], "CollectType lists rule types only")

-- Create with an ID.
local wanted = "0A1B2C3D-0000-4000-8000-00000000ABCD"
local byID = r:Create(wanted)
T.eq(byID and _ID(byID), wanted, "an instance made with an ID text carries it")
T.check(R:Create("") ~= nil, "an empty ID on a type creates an instance")

local createRefusals = {
  {R, "0A1B2C3D-0000-4000-8000-00000000ABCE", T.prefix(R) .. "'s Create or () failed, the input for instance must be empty"},
  {r, "not-a-uuid", T.prefix(r) .. "'s Create or () failed, the input id is invalid"},
  {r, 17, T.prefix(r) .. "'s Create or () failed, the input id is invalid"},
  {r, wanted, T.prefix(r) .. "'s Create or () failed, the input id is assign other objects"},
}
for i, c in ipairs(createRefusals) do
  local res = T.expect_errors(function() return c[1]:Create(c[2]) end, {c[3]}, "Create refusal " .. i)
  T.eq(res, nil, "Create refusal " .. i .. " gives nil")
end
T.eq(T.expect_errors(function() return R:CreateType("") end, {}, "CreateType with an empty name"), nil,
     "CreateType with an empty name gives nil")
T.eq(T.expect_errors(function() return r:CreateType("x") end,
                     {"create " .. T.prefix(r) .. "'s sub-type failed, this object is not rule type"},
                     "CreateType on an instance"), nil, "CreateType on an instance gives nil")

-- Equality.
T.eq(r:Equals(r), true, "a rule equals itself")
local a, b = R(), R()
a:GetRuleBuf():_Append(1)
b:GetRuleBuf():_Append(1)
T.eq(a:Equals(b), true, "equal settings make equal rules")
b:GetRuleBuf():_Append(2)
T.eq(a:Equals(b), false, "different settings make different rules")
T.eq(a:Equals(nil), false, "no rule is unequal")
T.eq(a:Equals(P), false, "a non-rule is unequal")

-- Rule record.
local d = P("x", 2)
local s = rr:Create()
s:GetRuleBuf():_Append(5)
s:GetRuleBuf():_Append("five")
s:GetRuleBuf():_Append(_Pkg(1, 2))
s:GetRuleBuf():_Append(d)
local rec = _Pkg()
T.eq(s:SaveTo(rec), true, "a rule with settings is saved")
T.eq(rec:_Get(0), "PackageInfo", "rule record keys: PackageInfo")
T.eq(rec:_Get(2), "Value", "rule record keys: Value")
T.eq(rec:_Get(4), "ClassName", "rule record keys: ClassName last")
T.eq(T.get(rec, "ClassName"), "rule.R", "the record names the rule type, not the prototype")
local loaded = r:LoadFrom(rec)
T.check(loaded ~= nil, "a rule record loads")
T.eq(loaded and _Class(loaded), R, "as an instance of the rule type")
T.eq(loaded and loaded:GetRuleBuf():_Get(1), "five", "with its settings")
local rec2 = _Pkg()
T.eq(loaded:SaveTo(rec2), true, "the loaded rule saves")
T.eq(rec2:_ToJSon(), rec:_ToJSon(), "save, load, save gives the same JSON text")
T.check(rec2:_Equals(rec), "and the same record")
local viaText = T.viajson(rec)
local loaded2 = viaText and r:LoadFrom(viaText)
T.check(loaded2 ~= nil and loaded2:GetRuleBuf():_Get(0) == 5,
        "a record read from JSON text loads")

local empty = R()
local res = T.expect_errors(function() return empty:SaveTo(_Pkg()) end,
                            {T.prefix(empty) .. "'s buf is empty, can not save"}, "saving an empty rule")
T.eq(res, false, "an empty rule is not saved")
local bin = R()
bin:GetRuleBuf():_Append(_BinBuf("b"))
T.eq(T.expect_errors(function() return bin:SaveTo(_Pkg()) end,
                     {T.prefix(bin) .. "'s contains binary data, can not save"}, "saving binary settings"), false,
     "binary settings are not saved")

local loadRefusals = {
  {_Dict("Value", _Pkg()), {T.prefix(r) .. " LoadFrom failed, data type is not saved"}},
  {_Dict("Value", _Pkg(), "ClassName", "rule.none"), {T.prefix(r) .. " LoadFrom failed, rule type rule.none is not found"}},
  {_Dict("Value", _Pkg(), "ClassName", "rule.P"), {T.prefix(r) .. " LoadFrom must be called for QZRule Class which IsType is true"}},
  {_Dict("ClassName", "rule.R"), {}},
  {_Dict("Value", 3, "ClassName", "rule.R"), {}},
  {_Dict("Value", _Pkg(7), "ClassName", "rule.R"), {}},
}
for i, c in ipairs(loadRefusals) do
  local got = T.expect_errors(function() return r:LoadFrom(c[1]) end, c[2], "LoadFrom refusal " .. i)
  T.eq(got, nil, "LoadFrom refusal " .. i .. " gives nil")
end

-- The before-free hook runs once per rule; a failing hook is reported and the
-- rule is freed all the same.
local freed = 0
local H = QZRuleBase:CreateType("rule.Hooked")
function H:OnBeforeFree() freed = freed + 1 end
local h1 = H()
_Free(h1)
T.eq(freed, 1, "OnBeforeFree is called when a rule is freed")
H.OnBeforeFree = function() error("hook fails") end
local h2 = H()
local h2id = _ID(h2)
T.errors()
_Free(h2)
local errs = T.errors()
T.check(#errs == 1 and errs[1]:find("callback function OnBeforeFree failed", 1, true) ~= nil,
        "a failing OnBeforeFree is reported: " .. tostring(errs[1]))
T.eq(_FromID(h2id), nil, "and the rule is freed")

-- Approval through script hooks of attached rules.
local seen = {}
local Judge = QZRuleBase:CreateType("rule.Judge")
function Judge:OnApproved(data) seen[#seen + 1] = "approved:" .. _Name(data) end
function Judge:OnDisapproved(data) seen[#seen + 1] = "disapproved:" .. _Name(data) end
local judged = P(1)
_SetName(judged, "judged")
local judge = Judge()
T.eq(judged:SetRuleAttach(judge), true, "a rule is attached")
judged:Approved()
judged:Disapproved()
T.eq(table.concat(seen, ","), "approved:judged,disapproved:judged", "the rule's hooks see the data")

-- An attachment holds one lock on its rule and gives it back when freed.
local before = _RefCount(judge)
local second = P(2)
second:SetRuleAttach(judge)
T.eq(_RefCount(judge), before + 1, "attaching locks the rule once")
local atZero = T.stat("UnlockAtZero")
_Free(second)
T.eq(_RefCount(judge), before, "freeing the attachment releases that lock")
local lonely = R()
local third = P(3)
third:SetRuleAttach(lonely)
_Free(lonely)
_Free(third)
T.eq(T.stat("UnlockAtZero"), atZero, "an attachment whose rule is gone releases nothing")

-- Rules made for the script are the script's: dropped, they are collected.
local plain = R()
plain:GetRuleBuf():_Append(1)
plain:GetRuleBuf():_Append(_Pkg("x"))
local plainRec = _Pkg()
plain:SaveTo(plainRec)
_CollectGarbage()
local live = T.stat("LiveObjects")
for i = 1, 10 do local x = R(); x:GetRuleBuf():_Append(i) end
for i = 1, 10 do r:LoadFrom(plainRec) end
_CollectGarbage()
T.eq(T.stat("LiveObjects"), live, "rules made by Create and LoadFrom do not leak")

T.finish("data_classes_rules")
