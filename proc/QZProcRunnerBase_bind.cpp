// Luafuncs and system-event handler bound to the QZProcRunnerBase class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZProcRunnerBase_LuaFuncTable[] = {
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZProcRunnerBase_SysEventHandler = nullptr;
