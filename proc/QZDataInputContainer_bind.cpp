// Luafuncs and system-event handler bound to the QZDataInputContainer class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZDataInputContainer_LuaFuncTable[] = {
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZDataInputContainer_SysEventHandler = nullptr;
