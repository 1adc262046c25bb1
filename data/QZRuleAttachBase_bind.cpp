// Luafuncs and system-event handler bound to the QZRuleAttachBase class at start-up.
#include "trelk_bind.h"
#include "trelk_data_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZRuleAttachBase_LuaFuncTable[] = {
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZRuleAttachBase_SysEventHandler = QZRuleAttachBase_OnSystemEvent;
