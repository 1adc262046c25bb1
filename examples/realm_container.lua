-- A realm as a container: env data, cells, rules and active objects go in,
-- are queried, synchronised into a second realm, and everything is given
-- back when the realms are freed.
local function stat(name)
  for _ = 1, 3 do collectgarbage("collect") _CollectGarbage() end
  local s = _Stats()
  return s:_Get(s:_FindDict(name))
end
local liveBefore = stat("LiveObjects")

local Order = QZDataBase:CreateType("shop.Order")
local Audit = QZRuleBase:CreateType("shop.Audit")

local shop = _New(QZRealmBase)
_SetName(shop, "shop")
shop.ScheduleTickCount = 1

-- Cells: a packer kept in the library, a shelf in the queue.
local packer, shelf = _New(QZCellBase), _New(QZCellBase)
_SetName(packer, "packer")
_SetName(shelf, "shelf")
shop:AddCellLibrary(packer)
shop:AddCell(shelf)

-- Env data: three orders, stamped in the order they came.
shop:AddEnvData(Order(101), Order(102))
shop.ScheduleTickCount = 2
shop:AddEnvData(Order(103))
local queue = shop:GetEnvDataQueue()
for i = 0, queue:_Count() - 1 do
  local o = queue:_Get(i)
  print("order", o:GetDataBuf():_Get(0), "tick", o.ScheduleTickCount, "seq", o.SequenceIndex)
end
print("orders of tick 2:", shop:GetEnvDataFrame(2):_Count())
shop:MoveToCellQueue(packer)
print("cells queued:", shop:GetCell():_Count(), "in the library:", shop:GetCellLibrary():_Count(),
      "packer ready:", packer.IsReady)

-- Rules and active objects.
shop:AddRule(Audit())
local supplier = _New(_Object)
_SetName(supplier, "supplier")
shop:ActiveObject(5, supplier)
shop:ActiveObject(2, queue:_Get(2), supplier)
local top = shop:GetActiveObject(nil, 1.0, 1):_Get(0)
print("most active:", top:GetDataBuf():_Get(0), shop:GetActiveCount(top))

-- A second realm continues the shop's clock and shares its history.
local branch = _New(QZRealmBase)
print("synchronised:", branch:SyncFrom(shop, true))
branch:AddEnvData(Order(201))
print("branch order stamp:", branch:GetEnvDataQueue():_Get(0).ScheduleTickCount,
      branch:GetEnvDataQueue():_Get(0).SequenceIndex)
print("branch counts the same:", branch:GetActiveCount(supplier) == shop:GetActiveCount(supplier))

-- Freeing gives every object back.
queue, top = nil, nil
_Free(branch)
_Free(shop)
for _, o in ipairs({packer, shelf, supplier, Audit, Order}) do _Free(o) end
packer, shelf, supplier, Audit, Order = nil, nil, nil, nil, nil
print("objects left over:", stat("LiveObjects") - liveBefore)
