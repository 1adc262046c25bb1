-- Lists the module's 19 classes, in registration order, with their class IDs
-- and parent classes:   ./run.sh examples/classes.lua
local classes = {
  "QZObjectPointer", "QZObjectPointerWithChangeFlag", "QZRuleBase", "QZRuleAttachBase",
  "QZDataInputContainer", "QZDataBase", "QZDataSetBase", "QZObjectDataBase", "QZBufDataBase",
  "QZRealmFrameData", "QZDataOutputContainer", "QZExceptionBase", "QZProcBase",
  "QZProcRemoteBase", "QZProcRunnerBase", "QZProcChainBase", "QZCellBase",
  "QZRealmStubBase", "QZRealmBase",
}

local count = 0
for i, name in ipairs(classes) do
  local class = _Find(name)
  if class == nil then
    error("class " .. name .. " is not registered")
  end
  local parent = _Class(class)
  print(string.format("%2d  %-30s %s  %s", i, _Name(class), _ID(class),
                      parent and ("parent " .. _Name(parent)) or ""))
  count = count + 1
end
print(count .. " classes registered")
