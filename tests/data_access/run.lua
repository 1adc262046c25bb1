-- RunString and RunProc of a data object: the inputs they refuse without a
-- realm, the clean refusal when the temporary realm does not answer, and the
-- hand-over of the first produced object when it does (a script function on
-- the realm class stands in for the realm's own).
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")
local P = T.prefix

local D = QZDataBase:CreateType("run.D")
_LockGC(D)
local d = D(1)
_SetName(d, "d")
local proc = _New(QZProcBase)
local chain = _New(QZProcChainBase)

local function liveObjects()
  _CollectGarbage()
  return T.stat("LiveObjects")
end

-- Inputs refused before any realm is made: nil, no message.
local early = {
  {"RunString", ""}, {"RunString", nil}, {"RunString", 5}, {"RunString", _Pkg("x")},
  {"RunProc", d}, {"RunProc", nil}, {"RunProc", "text"}, {"RunProc", QZProcBase}, {"RunProc", _New(_Object)},
}
local live = liveObjects()
local called = false
QZRealmBase.RunString = function() called = true end
QZRealmBase.RunProc = function() called = true end
for i, c in ipairs(early) do
  local got = T.expect_errors(function() return d[c[1]](d, c[2]) end, {}, "early " .. i)
  T.eq(got, nil, "early " .. i .. " gives nil")
end
T.eq(called, false, "no realm was asked")
QZRealmBase.RunString = nil
QZRealmBase.RunProc = nil
T.eq(liveObjects(), live, "no realm was made")

-- The temporary realm does not answer: a clean refusal.
_Errors()
local probe = d:RunString("{}")
local probeErrors = T.errors()
if #probeErrors == 1 and probeErrors[1] == "calls " .. P(d) .. "'s function RunString failed" then
  T.eq(probe, nil, "RunString without a realm function gives nil")
  -- The realm answers RunProc: its runs are checked with the realm's.
  T.eq(liveObjects(), live, "the temporary realms are gone")
else
  print("the realm answers RunString: the no-answer case is not checked")
end

-- A realm that answers.
local seen = {}
local out, second = D(100), D(200)
local answer
local function stand_in(name)
  return function(self, input, class, what)
    seen = {realm = self, input = input, class = class, what = what, name = name,
            isRealm = _IsInst(QZRealmBase, self)}
    if answer == "error" then error("realm failed") end
    return answer
  end
end
QZRealmBase.RunProc = stand_in("RunProc")
QZRealmBase.RunString = stand_in("RunString")

answer = _Pkg(out, second)
T.eq(d:RunProc(proc), out, "RunProc hands out item 0")
T.eq(seen.isRealm, true, "called on a realm")
T.eq(seen.input, d, "with the data as input")
T.eq(seen.class, nil, "no output class")
T.eq(seen.what, proc, "and the proc")
T.eq(tostring(seen.realm), "object:freed", "the temporary realm is freed")
T.eq(d:RunString("[1]"), out, "RunString hands out item 0")
T.eq(seen.what, "[1]", "with the text")
T.eq(d:RunProc(chain), out, "RunProc of a chain")
local cases = {
  {_Pkg(), "an empty package"}, {_Pkg(5, out), "item 0 no object"}, {nil, "no result"},
  {"text", "a result that is no package"}, {_Pkg(_New(_Object)), "an object that is no data: handed out as is"},
}
for i, c in ipairs(cases) do
  answer = c[1]
  local got = T.expect_errors(function() return d:RunProc(proc) end, {}, c[2])
  if i == #cases then
    T.check(got ~= nil, c[2])
  else
    T.eq(got, nil, c[2] .. " gives nil")
  end
  T.eq(tostring(seen.realm), "object:freed", c[2] .. ": realm freed")
end
answer = "error"
T.errors()
T.eq(d:RunString("x"), nil, "a failing realm function gives nil")
local errs = T.errors()
T.check(#errs == 1 and errs[1]:find(", calls the function RunString failed", 1, true) ~= nil,
        "the script error is reported once")
T.eq(tostring(seen.realm), "object:freed", "and the realm is freed")
-- The produced object outlives the call.
answer = _Pkg(D(300))
local kept = d:RunProc(proc)
answer = nil
_CollectGarbage()
T.eq(kept[0], 300, "the produced object stays alive with the script")

QZRealmBase.RunProc = nil
QZRealmBase.RunString = nil
T.finish("data_access_run")
