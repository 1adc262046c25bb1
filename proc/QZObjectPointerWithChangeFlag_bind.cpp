// Luafuncs and system-event handler bound to the QZObjectPointerWithChangeFlag class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZObjectPointerWithChangeFlag_LuaFuncTable[] = {
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZObjectPointerWithChangeFlag_SysEventHandler = nullptr;
