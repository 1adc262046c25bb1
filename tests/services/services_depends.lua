-- Dependency strings: the script-defined classes that procs, chains and data
-- need (BuildDepends, JSON text of "ClassName" pairs), read back through a
-- package and checked on the receiving side (IsDependsExist).
local T = dofile(arg[1] .. "/services_build_lib.lua")

-- The class names of a BuildDepends text, in order, read back through JSON.
local function namesOf(text)
  if text == "" then return "" end
  local p = _Pkg()
  if not p:_FromJSon(text) then return "bad JSON: " .. text end
  local out = {}
  for i = 0, p:_Count() - 1, 2 do
    if p:_Get(i) ~= "ClassName" then return "bad key at " .. i end
    out[#out + 1] = p:_Get(i + 1)
  end
  return table.concat(out, ",")
end

local before = T.counts()
do
  local realm = _New(QZRealmBase)
  local Wood = QZDataBase:CreateType("d.Wood")
  local Oak = Wood:CreateType("d.Oak")
  local Cut = T.procType("d.Cut", {Wood}, {Wood})
  local Sand = T.procType("d.Sand", {Wood}, {Wood})
  local Paint = T.procType("d.Paint", {Wood}, {Wood})
  local Far = QZProcRemoteBase:CreateSubType("d.Far")
  local line = T.chain(Cut, Sand)
  -- A cell type keeps its procs in its chains; one of them holds the cell
  -- type again.
  local Shop = QZCellBase:CreateType("d.Shop")
  T.check(Shop:AddProc(T.chain(Paint)), "the cell type holds a chain")
  T.check(Shop:AddProc(T.chain(Shop, Cut)), "and a chain holding itself")
  -- A cell of the base class contributes nothing, nor do its chains.
  local plainCell = _New(QZCellBase)
  plainCell:AddProc(T.chain(Paint))

  local cases = {
    {"nothing", nil, ""},
    {"an empty package", _Pkg(), ""},
    {"built-in data only", _Pkg(QZDataBase(1), QZDataSetBase, QZDataBase), ""},
    {"texts, numbers and booleans", _Pkg("d.Cut", 1, 2.5, true, _Pkg("x")), ""},
    {"a data object", _Pkg(Oak(1)), "d.Oak"},
    {"a data type", _Pkg(Wood), "d.Wood"},
    {"a proc and its type", _Pkg(Cut(), Cut), "d.Cut"},
    {"a chain: each proc", _Pkg(line), "d.Cut,d.Sand"},
    {"the first place it was met", _Pkg(Sand(), line, _Pkg(Cut, _Pkg(Sand(), line))), "d.Sand,d.Cut"},
    {"nested at depth", _Pkg(_Pkg(_Pkg(_Pkg(Oak)))), "d.Oak"},
    {"a remote proc type", _Pkg(Far()), "d.Far"},
    {"the class objects themselves", _Pkg(QZProcBase, QZCellBase, QZProcRemoteBase, QZProcChainBase), ""},
    {"a base-class cell", _Pkg(plainCell), ""},
    {"a cell type: its chains too", _Pkg(Shop()), "d.Shop,d.Paint,d.Cut"},
    {"a realm is no dependency", _Pkg(realm), ""},
  }
  for _, c in ipairs(cases) do
    local text = realm:BuildDepends(c[2])
    T.eq(type(text), "string", c[1] .. ": a text")
    T.eq(namesOf(text), c[3], c[1])
  end
  T.eq(realm:BuildDepends(_Pkg(Oak, Wood)), '{"ClassName":"d.Oak","ClassName":"d.Wood"}', "the text itself")

  -- Packages nested thousands deep, and a package met 2^40 times over
  -- through shared parts, are walked without trouble.
  local deep = _Pkg(Cut())
  for _ = 1, 5000 do deep = _Pkg(1, deep) end
  T.eq(namesOf(realm:BuildDepends(_Pkg(deep, Oak))), "d.Cut,d.Oak", "5000 levels deep")
  local shared = _Pkg(Sand(), Oak)
  for _ = 1, 40 do shared = _Pkg(shared, shared) end
  T.eq(namesOf(realm:BuildDepends(shared)), "d.Sand,d.Oak", "shared packages")

  -- Read back as a package, a list names classes that exist here.
  local back = _Pkg()
  T.check(back:_FromJSon(realm:BuildDepends(_Pkg(line, Oak(2), Shop))), "the text reads back")
  local exists = {
    {"the list read back", back, true},
    {"an empty package", _Pkg(), true},
    {"other keys", _Pkg("x", "d.Cut", 7, "d.Oak"), true},
    {"one name nobody bears", _Pkg("ClassName", "d.Cut", "ClassName", "d.Nowhere"), false},
    {"names at even places are not read", _Pkg("d.Nowhere", "d.Cut"), true},
    {"non-text names are skipped", _Pkg("ClassName", 5, "ClassName", true), true},
    {"no package", nil, false},
    {"a text", "d.Cut", false},
  }
  for _, c in ipairs(exists) do T.eq(realm:IsDependsExist(c[2]), c[3], "IsDependsExist: " .. c[1]) end

  _Free(plainCell)
  _Free(line)
  _Free(realm)
end

local after = T.counts()
T.eq(after.unlocks, before.unlocks, "no lock released below zero")
T.finish("services_depends")
