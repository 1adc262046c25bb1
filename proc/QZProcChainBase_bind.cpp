// Luafuncs and system-event handler bound to the QZProcChainBase class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZProcChainBase_LuaFuncTable[] = {
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZProcChainBase_SysEventHandler = nullptr;
