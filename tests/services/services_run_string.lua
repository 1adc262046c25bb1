-- Procs run from saved objects: RunString (JSON text of a saved object
-- package) and RunStringEx (the package), and the asynchronous forms; the
-- rebuilt procs run as RunProc runs procs it is given. Each message of a
-- text or package that gives no procs.
local T = dofile(arg[1] .. "/services_testlib.lua")

local Number, Half, Total = T.Number, T.Half, T.Total
local Halve, AddOne = T.Halve, T.AddOne

local before = T.counts()
local realm = T.named(_New(QZRealmBase), "caller")

local function saved(...)
  local pkg = _Pkg()
  T.check(realm:SaveObject(pkg, ...), "saved")
  return pkg
end

-- Runs ----------------------------------------------------------------------
local chainPkg = saved((T.chain(Halve, AddOne)))
local procsPkg = saved(Halve(), AddOne())
local chainText = chainPkg:_ToJSon()
local procsText = procsPkg:_ToJSon()
local rows = {
  {"RunString: a saved chain", function() return realm:RunString(Number(10), nil, chainText) end, "6"},
  {"RunString: expected Total", function() return realm:RunString(Number(20), Total, chainText) end, "11"},
  {"RunStringEx: two saved procs, each its own chain",
   function() return realm:RunStringEx(Number(10), _Pkg("m", Total), procsPkg) end, "6"},
  {"RunStringEx: the same package again", function() return realm:RunStringEx(Number(4), Total, procsPkg) end, "3"},
}
for _, row in ipairs(rows) do
  local name, call, want = row[1], row[2], row[3]
  T.calls = {}
  local result = T.expect_errors(call, {}, name)
  T.eq(T.values(result), want, name)
end
T.eq(procsPkg:_ToJSon(), procsText, "the caller's package is left as it was")

-- Refusals: an empty package (false for the asynchronous forms) and one
-- message each -----------------------------------------------------------------
local requester = Halve()
local bad = {
  {"RunString without text", function() return realm:RunString(Number(1), nil) end,
   "call RunString failed, input is not string or empty"},
  {"RunString of an empty text", function() return realm:RunString(Number(1), nil, "") end,
   "call RunString failed, input is not string or empty"},
  {"RunString of a number", function() return realm:RunString(Number(1), nil, 7) end,
   "call RunString failed, input is not string or empty"},
  {"RunString of no JSON", function() return realm:RunString(Number(1), nil, "{not json") end,
   "call RunString failed, input is not json string (invalid JSON at offset 1: Missing a name for object member.)"},
  {"RunString of no procs", function() return realm:RunString(Number(1), nil, "{}") end,
   "call RunString failed, no procs can be restore from input string"},
  {"RunStringEx without a package", function() return realm:RunStringEx(Number(1), nil, "text") end,
   "call RunStringEx failed, input is not ParaPkg"},
  {"RunStringEx of no procs", function() return realm:RunStringEx(Number(1), nil, _Pkg()) end,
   "call RunStringEx failed, no procs can be restore from input ParaPkg"},
  {"AsyncRunString without text", function() return realm:AsyncRunString(requester, Number(1), nil) end,
   "call AsyncRunString failed, input is not string or empty", false},
  {"AsyncRunString of no JSON", function() return realm:AsyncRunString(requester, Number(1), nil, "[") end,
   "call AsyncRunString failed, input is not json string (invalid JSON at offset 1: Invalid value.)", false},
  {"AsyncRunString of no procs", function() return realm:AsyncRunString(requester, Number(1), nil, "[]") end,
   "call AsyncRunString failed, no procs can be restore from input string", false},
  {"AsyncRunStringEx without a package", function() return realm:AsyncRunStringEx(requester, Number(1), nil) end,
   "call AsyncRunString failed, input is ParaPkg", false},
  {"AsyncRunStringEx of no procs", function() return realm:AsyncRunStringEx(requester, Number(1), nil, _Pkg()) end,
   "call AsyncRunString failed, no procs can be restore from input ParaPkg", false},
  {"AsyncRunString without a requesting proc",
   function() return realm:AsyncRunString(nil, Number(1), nil, chainText) end,
   "call [caller]'s AsyncRunString failed, request proc is invalid", false},
}
for _, row in ipairs(bad) do
  local name, call, text, async = row[1], row[2], row[3], row[4]
  T.errors()
  local result = call()
  local msgs = T.errors()
  T.eq(#msgs, 1, name .. ": one message")
  T.eq(msgs[1], text, name .. ": the message")
  if async == false then
    T.eq(result, false, name .. ": false")
  else
    T.eq(result:_Count(), 0, name .. ": an empty package")
  end
end

-- The asynchronous forms run too ---------------------------------------------
for _, form in ipairs({"AsyncRunString", "AsyncRunStringEx"}) do
  local r = Halve()
  local arg = form == "AsyncRunString" and chainText or chainPkg
  T.eq(realm[form](realm, r, Number(8), Total, arg), true, form .. ": started")
  for _ = 1, 400 do
    if r:GetRunProcResult() ~= nil then break end
    _Yield(5)
  end
  T.eq(r:GetRunProcResult() and T.values(r:GetRunProcResult()), "5", form .. ": the result")
end
-- The last worker is joined by the next run.
realm:RunProc()

requester, realm, chainPkg, procsPkg = nil, nil, nil, nil
T.balanced(before, "string runs")
T.finish("services_run_string")
