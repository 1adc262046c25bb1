-- Robustness sweep over index and property access: every shape of data
-- object, every kind of key and every kind of value, read and written.
-- Script errors are fine; the host and the module must survive every access
-- and still work at the end.
local T = dofile(arg[1] .. "/../lua/trelk_testlib.lua")

local Ty = QZDataBase:CreateType("sweep.T")
_LockGC(Ty)
Ty:CreateProperty("i", 6, 1)
Ty:CreateProperty("l", 60, 1)
Ty:CreateProperty("d", 58, 1.5)
Ty:CreateProperty("b", 1, true)
Ty:CreateProperty("s", 30, "s")
local TC = _New(_Object)
TC.IsRawInstance = function(self, v) return _IsInst(_Object, v) end
local Tt = QZDataBase:CreateType("sweep.Tt")
_LockGC(Tt)
Tt:SetDataTypeClass(TC)

local function targets()
  local inst = Ty(1, "two")
  local ro = Ty(1)
  ro:SetReadOnly()
  return {
    inst, inst(), _New(Ty), ro, Ty, Tt, _New(Tt), QZDataBase, QZDataSetBase, QZRealmFrameData,
    Ty:GetDataSetBase(), Ty:GetDataSetBase()(Ty(3)), Ty:GetBufDataBase()(_Pkg(1)),
    Ty:GetObjectDataBase():Create(_New(_Object)),
  }
end
local keys = {0, 1, 2, -1, 2147483647, -2147483648, 1 << 40, -(1 << 40), 1.0, '"', '"abc', '"-5', '"99999999999999999999',
              "i", "l", "d", "b", "s", "nope", "", "DataBuf", "LiveCount"}
local co = coroutine.create(function() end)
local function values()
  return {nil, 0, -1, 1.5, 0 / 0, math.huge, -math.huge, 1 << 40, math.mininteger, "", "text", "a\0b", true, false,
          _Pkg(1, "x"), _Dict("k", 1), _BinBuf(""), _BinBuf("bytes"), _New(_Object), Ty(9), Ty, print, {}, co}
end

local reads, writes, failures = 0, 0, 0
for _, target in ipairs(targets()) do
  for _, key in ipairs(keys) do
    local ok = pcall(function() return target[key] end)
    reads = reads + 1
    if not ok then failures = failures + 1 end
    local vals = values()
    for v = 1, 24 do
      ok = pcall(function() target[key] = vals[v] end)
      writes = writes + 1
      if not ok then failures = failures + 1 end
      ok = pcall(function() return target[key] end)
      reads = reads + 1
      if not ok then failures = failures + 1 end
    end
  end
  _CollectGarbage()
end
_Errors()

-- Everything still works.
local p = _Pkg(1, "x")
T.eq(p:_Count(), 2, "host packages work")
local a = Ty(5)
a.i = 3
a[1] = "z"
T.eq(a.i, 3, "property access works")
T.eq(a[1], "z", "index access works")
T.eq(Ty(7).i, 1, "the definition is intact")
print(string.format("access sweep: %d reads, %d writes, %d ended in a script error", reads, writes, failures))
T.finish("data_access_access_sweep")
