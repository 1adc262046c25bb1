-- The example runs against the real module and finds all 19 classes with
-- their fixed IDs.
local ids = {
  QZObjectPointer = "2DEB27C2-3D89-4243-BDFB-7E08A3AD68F4",
  QZObjectPointerWithChangeFlag = "DA6CD5DC-47CA-4F00-9FE8-CA892F3BFE3D",
  QZRuleBase = "E88FAD4D-52CA-4CEE-9598-AE792FE0B576",
  QZRuleAttachBase = "D8B3D75B-9CED-4417-A0E8-42D76B8EDC59",
  QZDataInputContainer = "19EBD4D6-7F2D-45AD-9564-6F021FA9793A",
  QZDataBase = "D5649A5F-79B3-4A7D-BD1F-DF0C0E4FE3BB",
  QZDataSetBase = "4396EAC4-C1A4-4C00-A8AD-CC956C8603DD",
  QZObjectDataBase = "FC30C5EB-7762-4373-92CA-E5C6CB777084",
  QZBufDataBase = "0A914F30-940E-48FD-B02F-73EAC7972F1D",
  QZRealmFrameData = "879ABE7B-3A84-4277-9941-E905C613E288",
  QZDataOutputContainer = "513DF29F-A6CD-4821-8F33-07E49E485FF7",
  QZExceptionBase = "F51653E8-32ED-4DE3-A266-09264B2B05A8",
  QZProcBase = "0CE3FA22-9B7F-4598-9C44-51A768818AEC",
  QZProcRemoteBase = "5F7E7457-14E7-43D2-8F72-2E6A0A02AAF9",
  QZProcRunnerBase = "42BD1CCB-67E5-4621-A8EC-87CA664ABD98",
  QZProcChainBase = "7096EA8D-5B59-4248-B2E7-3ED48BF75808",
  QZCellBase = "240D0512-49D4-4BF7-8ECC-E74AD4FD9A29",
  QZRealmStubBase = "D5656682-2EE8-4917-85DE-4A2B74874545",
  QZRealmBase = "7A20E92F-F609-4C85-86B0-34117BE912EF",
}
local n = 0
for name, id in pairs(ids) do
  local class = _G[name]
  assert(class ~= nil, name .. " has no global")
  assert(_Find(name) == class, name .. " is not found by name")
  assert(_ID(class):upper() == id, name .. " has ID " .. _ID(class))
  n = n + 1
end
assert(n == 19)
assert(QZRealmBase:PerformanceEach("calibration") == "calibration")
assert(QZRealmBase:OnRemoteExecute() == -1)
print("classes ok")
