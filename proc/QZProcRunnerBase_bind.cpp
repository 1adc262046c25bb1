// Luafuncs and system-event handler bound to the QZProcRunnerBase class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_api.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZProcRunnerBase_LuaFuncTable[] = {
    {"CurrentProcToParaPkg", QZProcRunnerBase_CurrentProcToParaPkg},
    {"ProcToParaPkg", QZProcRunnerBase_ProcToParaPkg},
    {"GetProcChain", QZProcRunnerBase_GetProcChain},
    {"GetCell", QZProcRunnerBase_GetCell},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZProcRunnerBase_SysEventHandler = QZProcRunnerBase_OnSystemEvent;
