// Luafuncs and system-event handler bound to the QZCellBase class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZCellBase_LuaFuncTable[] = {
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZCellBase_SysEventHandler = nullptr;
