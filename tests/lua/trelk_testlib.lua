-- Helpers shared by the Lua scenarios of the data suites: counting checks,
-- the host's error log and statistics, and round trips of packages through
-- JSON text. Scenarios load it with dofile(<suite folder>/../lua/...).
local T = {failures = 0, checks = 0}

function T.check(cond, what)
  T.checks = T.checks + 1
  if not cond then
    T.failures = T.failures + 1
    io.stderr:write("FAIL: " .. tostring(what) .. "\n")
  end
end

function T.eq(actual, expected, what)
  T.check(actual == expected,
          tostring(what) .. ": expected [" .. tostring(expected) .. "], got [" .. tostring(actual) .. "]")
end

-- Texts of the error reports since the last call (the log is cleared).
function T.errors()
  local log = _Errors()
  local out = {}
  for i = 0, log:_Count() - 1 do
    local d = log:_Get(i)
    out[#out + 1] = d:_Get(d:_FindDict("Text"))
  end
  return out
end

-- "[<ID>:<name>]" prefix of the module's messages about one object.
function T.prefix(obj)
  return "[" .. _ID(obj) .. ":" .. _Name(obj) .. "]"
end

-- Runs fn and checks that exactly the expected messages were reported;
-- returns fn's results.
function T.expect_errors(fn, expected, what)
  T.errors()
  local results = table.pack(fn())
  local got = T.errors()
  local same = #got == #expected
  for i = 1, #expected do same = same and got[i] == expected[i] end
  T.check(same, what .. ": expected messages {" .. table.concat(expected, " | ") .. "}, got {" ..
          table.concat(got, " | ") .. "}")
  return table.unpack(results, 1, results.n)
end

function T.stat(name)
  local s = _Stats()
  return s:_Get(s:_FindDict(name))
end

-- Value of a dict key, nil when absent.
function T.get(pkg, key)
  local i = pkg:_FindDict(key)
  if i < 0 then return nil end
  return pkg:_Get(i)
end

-- A package read back from its own JSON text.
function T.viajson(pkg)
  local text = pkg:_ToJSon()
  if text == nil then return nil end
  local back = _Pkg()
  if not back:_FromJSon(text) then return nil end
  return back
end

-- A proc type the data functions can be given: a locked instance of the proc
-- class marked as a type, under Name.
function T.procType(name)
  local t = _New(QZProcBase)
  t.IsType = true
  _SetName(t, name)
  _LockGC(t)
  return t
end

function T.finish(name)
  _CollectGarbage()
  if T.failures > 0 then
    error(name .. ": " .. T.failures .. " of " .. T.checks .. " checks failed", 0)
  end
  print(name .. ": " .. T.checks .. " checks passed")
end

-- Live objects, live packages and unlocks below zero, read from one
-- statistics package after a full collection, so that the reading itself
-- counts the same way each time.
function T.counts()
  for _ = 1, 3 do
    collectgarbage("collect")
    _CollectGarbage()
  end
  local s = _Stats()
  return {objects = s:_Get(s:_FindDict("LiveObjects")), packages = s:_Get(s:_FindDict("LivePackages")),
          unlocks = s:_Get(s:_FindDict("UnlockAtZero"))}
end

-- Checks that the counts are back where they were.
function T.balanced(before, what)
  local now = T.counts()
  T.eq(now.unlocks, before.unlocks, what .. ": no lock released below zero")
  T.eq(now.objects, before.objects, what .. ": every object gone again")
  T.eq(now.packages, before.packages, what .. ": every package gone again")
end

-- The items of a package as a Lua list (none for nil).
function T.items(pkg)
  local out = {}
  if pkg == nil then return out end
  for i = 0, pkg:_Count() - 1 do out[#out + 1] = pkg:_Get(i) end
  return out
end

-- Names of the objects of a package, joined by commas.
function T.names(pkg)
  local out = {}
  for i = 0, pkg:_Count() - 1 do
    local o = pkg:_Get(i)
    out[#out + 1] = o and _Name(o) or "nil"
  end
  return table.concat(out, ",")
end

-- Whether a script's handle still names a live object (a script or a hook
-- may have freed it meanwhile).
function T.alive(o)
  if o == nil then return false end
  local ok, id = pcall(_ID, o)
  return ok and id ~= nil and _FromID(id) ~= nil
end

-- Gives the data type T a type class whose values are plain objects
-- holding x (loaded from a package's first item and saved back to it), and
-- whose Equals calls hook(a, b) and answers what it answers: a script the
-- module runs while it compares values, free to do anything.
function T.scriptedTypeClass(Type, hook)
  local tc = _New(_Object)
  _LockGC(tc)
  function tc:IsRawInstance(v) return type(v) == "userdata" end
  function tc:OnBeforeFree() end
  function tc:Load(pkg)
    local raw = _New(_Object)
    raw.x = pkg:_Get(0)
    return Type(raw)
  end
  function tc:ToParaPkg(v, pkg)
    pkg:_Append(v.x)
    return true
  end
  function tc:Equals(a, b) return hook(a, b) end
  assert(Type:SetDataTypeClass(tc), "type class set")
  return tc
end

-- A named object, so that listings read as names.
function T.named(obj, name)
  _SetName(obj, name)
  return obj
end

-- pcall(fn, self, ...) for the bound function called name. ExecuteUntil runs
-- until another thread finishes it: while such a call runs, a helper thread
-- keeps ending its stepping and asking it to finish.
function T.pcall_method(name, fn, self, ...)
  if name ~= "ExecuteUntil" then return pcall(fn, self, ...) end
  local state = {done = false}
  local th = _Thread(function(r, st)
    while not st.done do
      pcall(function() r:CancelBreakOnProc() end)
      pcall(function() r:FinishExecuteUntil() end)
      _Yield(2)
    end
  end, self, state)
  local res = table.pack(pcall(fn, self, ...))
  state.done = true
  _Join(th)
  return table.unpack(res, 1, res.n)
end

return T
