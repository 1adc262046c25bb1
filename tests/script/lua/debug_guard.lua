-- What Lua's own libraries may not do to the host's values. Each route below
-- crashed the host before it was closed (a foreign value handed to a host
-- metamethod, a luafunc's slot handle replaced, the proxy table of a running
-- host call rewritten, a binary chunk). Lua functions and frames keep Lua's
-- own behaviour.
local function raises(pattern, f, ...)
  local ok, err = pcall(f, ...)
  assert(not ok, "no error for " .. pattern)
  assert(tostring(err):find(pattern, 1, true), "'" .. tostring(err) .. "' lacks '" .. pattern .. "'")
end

local o = _New(TPBase)
local hostValues = {
  {"object", o},
  {"package", _Pkg(1, "a")},
  {"buffer", _BinBuf("xyz")},
  {"thread", _Thread(function() return 1 end)},
}

-- the registry holds the host's tables
raises("debug.getregistry is not available to scripts", debug.getregistry)

for _, case in ipairs(hostValues) do
  local what, v = case[1], case[2]
  -- a protected metatable stays protected from the debug library too
  assert(debug.getmetatable(v) == getmetatable(v), what .. ": metatable exposed")
  assert(type(debug.getmetatable(v)) ~= "table", what .. ": metatable is a table")
  raises("cannot change a protected metatable", debug.setmetatable, v, {})
  raises("cannot change a protected metatable", debug.setmetatable, v, nil)
  -- user values carry the host's bookkeeping
  raises("the user values of a host value are not accessible", debug.getuservalue, v, 1)
  raises("the user values of a host value are not accessible", debug.setuservalue, v, {}, 1)
end
_Join(hostValues[4][2])
assert(o:Add(1, 2) == 3, "the object broke")

-- unprotected metatables and non-userdata values: Lua's behaviour
local mt = {}
local t = setmetatable({}, mt)
assert(debug.getmetatable(t) == mt)
assert(debug.setmetatable(t, nil) == t and getmetatable(t) == nil)
assert(debug.getmetatable(1) == nil and debug.getuservalue(1) == nil)

-- up-values: a luafunc's (a C closure) are out of reach, a Lua function's are not
local add = o.Add
assert(select("#", debug.getupvalue(add, 1)) == 0, "luafunc up-value exposed")
assert(select("#", debug.setupvalue(add, 1, io.stdout)) == 0, "luafunc up-value replaced")
assert(o:Add(2, 3) == 5 and add(o, 4, 5) == 9)
local captured = 7
local function reader() return captured end
local name, value = debug.getupvalue(reader, 1)
assert(name == "captured" and value == 7)
assert(debug.setupvalue(reader, 1, 8) == "captured" and reader() == 8)
raises("bad argument", debug.getupvalue, reader)

-- locals: none of a C frame (a host call running a script keeps its own
-- values there), Lua frames as before
local seenCFrames = 0
function o:Probe()
  for level = 1, 20 do
    local info = debug.getinfo(level, "S")
    if not info then break end
    if info.what == "C" then
      seenCFrames = seenCFrames + 1
      for i = -3, 12 do
        assert(debug.getlocal(level, i) == nil, "local " .. i .. " of a C frame exposed")
        assert(debug.setlocal(level, i, io.stdout) == nil, "local " .. i .. " of a C frame replaced")
      end
    end
  end
  local mine = 11
  local n, v = debug.getlocal(1, 1)
  assert(n == "self" and v == self)
  assert(debug.setlocal(1, 2, 12) == "mine" and mine == 12)
  return mine
end
local found, err, cnt, r1 = o:CallByName(o, "Probe")
assert(found and err == 0 and cnt == 2 and r1 == 12, "Probe did not run: " .. tostring(err))
assert(seenCFrames >= 1, "no C frame below the script function")
raises("level out of range", debug.getlocal, 100, 1)
assert(debug.getlocal(print, 1) == nil) -- parameters of a C function: none
assert(debug.getlocal(reader, 1) == nil and debug.getlocal(function(a, b) end, 2) == "b")
local co = coroutine.create(function(x) coroutine.yield(x) end)
coroutine.resume(co, 5)
assert(debug.getlocal(co, 1, 1) == "x")

-- chunks: text only, whatever mode is asked for
local binary = string.dump(function() return 1 end)
for _, case in ipairs({{binary}, {binary, "b", "b"}, {binary, "bin", "bt"}}) do
  local f, msg = load(case[1], case[2], case[3])
  assert(f == nil and msg:find("attempt to load a binary chunk", 1, true), tostring(msg))
end
local pieces = {binary}
local f, msg = load(function() return table.remove(pieces, 1) end)
assert(f == nil and msg:find("binary chunk", 1, true), tostring(msg))
assert(load("return 1")() == 1)
assert(load("return x", "=env", "t", {x = 3})() == 3) -- env given
assert(load("return print", "=noenv")() == print) -- env absent: the globals
assert(load("return x", "=nilenv", "bt", nil) ~= nil) -- env nil: kept as nil
f, msg = load("return 1", "=b", "b")
assert(f == nil and msg:find("text chunk", 1, true), tostring(msg))
local path = os.tmpname()
local fh = assert(io.open(path, "wb"))
fh:write(binary)
fh:close()
f, msg = loadfile(path)
assert(f == nil and msg:find("binary chunk", 1, true), tostring(msg))
local ok, derr = pcall(dofile, path)
assert(not ok and tostring(derr):find("binary chunk", 1, true), tostring(derr))
fh = assert(io.open(path, "w"))
fh:write("return ...")
fh:close()
assert(loadfile(path, "t", {})() == nil and dofile(path) == nil)
os.remove(path)
print("debug guard ok")
