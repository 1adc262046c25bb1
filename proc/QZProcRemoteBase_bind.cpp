// Luafuncs and system-event handler bound to the QZProcRemoteBase class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZProcRemoteBase_LuaFuncTable[] = {
    {"Execute", QZProcRemoteBase_Execute},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZProcRemoteBase_SysEventHandler = nullptr;
