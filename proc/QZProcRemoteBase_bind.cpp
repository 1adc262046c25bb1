// Luafuncs bound to the QZProcRemoteBase class at start-up. Remote procs are
// procs: their life cycle is the QZProcBase handler's, which the host runs
// for every class derived from it.
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZProcRemoteBase_LuaFuncTable[] = {
    {"Execute", QZProcRemoteBase_Execute},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZProcRemoteBase_SysEventHandler = nullptr;
