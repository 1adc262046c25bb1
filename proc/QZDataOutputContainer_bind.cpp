// Luafuncs and system-event handler bound to the QZDataOutputContainer class at start-up.
#include "trelk_bind.h"

const StructOfTrelkLuaFuncEntry QZDataOutputContainer_LuaFuncTable[] = {
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZDataOutputContainer_SysEventHandler = nullptr;
