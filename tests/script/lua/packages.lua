-- Packages and binary buffers between Lua and the host.
local function stat(name)
  local s = _Stats()
  return s:_Get(s:_FindDict(name))
end
local pk0, bb0 = stat("LivePackages"), stat("LiveBinBufs")

local function body()
  local o = _New(TPBase)
  local b = _BinBuf("ab\0c")
  assert(b:_Text() == "ab\0c")
  local q = _Pkg(1, 2.5, true, "s\0x", nil, 1 << 40, o, _Pkg(7), b, -(1 << 31), 1 << 31)
  assert(q:_Count() == 11 and not q:_IsDict())
  local types = {1, 2, 6, 4, 0, 9, 7, 8, 3, 1, 9}
  for i, t in ipairs(types) do assert(q:_Type(i - 1) == t, "item " .. i) end
  assert(q:_Type(99) == 0 and q:_Get(99) == nil and q:_Type(-1) == 0)
  assert(q:_Get(0) == 1 and math.type(q:_Get(0)) == "integer")
  assert(q:_Get(1) == 2.5 and math.type(q:_Get(1)) == "float")
  assert(q:_Get(2) == true and q:_Get(3) == "s\0x" and q:_Get(4) == nil)
  assert(q:_Get(5) == 1 << 40 and q:_Get(6) == o and q:_Get(7):_Get(0) == 7)
  assert(q:_Get(8):_Text() == "ab\0c" and q:_Get(9) == -(1 << 31) and q:_Get(10) == 1 << 31)

  -- value codes as a luafunc sees them
  local t = o:Types(nil, 1.5, true, "s", o, q, b, 7, 1 << 40, {}, print, -(1 << 31) - 1)
  local want = {0, 1, 2, 3, 6, 7, 12, 16, 19, 255, 255, 19}
  for i, w in ipairs(want) do assert(t:_Get(i - 1) == w, "code of argument " .. i) end

  -- through the host's readers and writers and back
  local e1, e2, e3, e4, e5, e6, e7, e8 = o:Echo(1.5, false, "x\0y", o, q, b, -7, -(1 << 40))
  assert(e1 == 1.5 and e2 == false and e3 == "x\0y" and e4 == o)
  assert(e5:_Equals(q) and e6:_Text() == "ab\0c" and e7 == -7 and e8 == -(1 << 40))

  -- packages made by the module
  local m = o:MakePkg()
  assert(m:_Get(0) == 1 and m:_Get(1) == "two" and m:_Get(2):_Get(0) == 3.5 and m:_Get(3) == o)
  assert(o:PkgSum(_Pkg(1, 2, 3, 1 << 40)) == 6 + (1 << 40))

  -- dictionaries and JSON
  local d = _Dict("a", 1, "b", "x", "a", 2)
  assert(d:_IsDict() and d:_FindDict("a") == 1 and d:_FindDict("b") == 3 and d:_FindDict("zz") == -1)
  assert(d:_ToJSon() == '{"a":1,"b":"x","a":2}', d:_ToJSon())
  local e = _Pkg()
  assert(e:_FromJSon('[1,2.5,"x",true,null,{"k":[]}]'))
  assert(e:_Count() == 6 and e:_Get(5):_IsDict() and e:_Type(4) == 0)
  assert(e:_ToJSon() == '[1,2.5,"x",true,null,{"k":[]}]', e:_ToJSon())
  _Errors()
  assert(not e:_FromJSon("{broken") and e:_Count() == 0)
  -- a refused text says why and where, in the error log
  local errs = _Errors()
  assert(errs:_Count() == 1, "one report for a refused text")
  local r = errs:_Get(0)
  assert(r:_Get(r:_FindDict("Text")) == "_FromJSon failed, invalid JSON at offset 1: Missing a name for object member.",
         r:_Get(r:_FindDict("Text")))
  assert(r:_Get(r:_FindDict("Level")) == 1 and r:_Get(r:_FindDict("Source")) == "tarvex")
  assert(e:_FromJSon("[]") and _Errors():_Count() == 0, "a good text reports nothing")
  assert(q:_ToJSon() == nil, "objects and binaries have no JSON form")
  d:_AsDict(false)
  assert(not d:_IsDict())

  -- set, append, delete, forced item types
  local f = _Pkg()
  assert(f:_Append(5, 9) and f:_Type(0) == 9)
  assert(f:_Set(0, "bin", 3) and f:_Type(0) == 3 and f:_Get(0):_Text() == "bin")
  assert(f:_Set(1, 1.0, 2) and f:_Type(1) == 2)
  assert(f:_Append(1000, 5) and f:_Type(2) == 5 and f:_Get(2) == 1000)
  assert(f:_Append(o, 7) and f:_Append(nil, 7) and f:_Type(4) == 0)
  assert(f:_Set(5, q, 8) and f:_Get(5):_Equals(q))
  assert(not f:_Set(9, 1), "beyond the end")
  assert(not f:_Set(-1, 1))
  assert(f:_Del(0) and f:_Count() == 5 and f:_Type(0) == 2)
  assert(not f:_Del(40))
  local cases = {
    {f._Set, f, 0, "x", 1}, {f._Set, f, 0, 1 << 40, 1}, {f._Set, f, 0, 1.5, 9},
    {f._Set, f, 0, "x", 6}, {f._Set, f, 0, 1, 4}, {f._Set, f, 0, 1, 12},
    {f._Append, f, print}, {_Pkg, {}}, {_Dict, "k", coroutine.create(print)},
    {q._Get, q, "x"}, {q._Count, o},
  }
  for i, c in ipairs(cases) do
    local ok, err = pcall(table.unpack(c))
    assert(not ok and type(err) == "string", "case " .. i)
  end

  -- duplicate and compare
  local g = q:_Dup()
  assert(g:_Equals(q) and not g:_Equals(f) and g ~= q)

  -- object items are weak: a freed object reads nil, the item stays
  local z = _New(TPBase)
  local zp = _Pkg(z)
  _Free(z)
  assert(zp:_Get(0) == nil and zp:_Type(0) == 7)
  f:_Clear()
  assert(f:_Count() == 0)
  _Free(o)
end
body()
collectgarbage()
collectgarbage()
assert(stat("LivePackages") == pk0, "packages released by the collector")
assert(stat("LiveBinBufs") == bb0, "binary buffers released by the collector")
print("packages ok")
