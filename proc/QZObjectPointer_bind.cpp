// Luafuncs and system-event handler bound to the QZObjectPointer class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZObjectPointer_LuaFuncTable[] = {
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZObjectPointer_SysEventHandler = nullptr;
