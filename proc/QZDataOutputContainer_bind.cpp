// Luafuncs and system-event handler bound to the QZDataOutputContainer class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZDataOutputContainer_LuaFuncTable[] = {
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZDataOutputContainer_SysEventHandler = QZDataOutputContainer_OnSystemEvent;
