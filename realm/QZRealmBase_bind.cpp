// Luafuncs and system-event handler bound to the QZRealmBase class at start-up.
#include "quel_trelk.h"

const StructOfTrelkLuaFuncEntry QZRealmBase_LuaFuncTable[] = {
    {"OnRemoteExecute", QZRealmBase_OnRemoteExecute},
    {"PerformanceEach", QZRealmBase_PerformanceEach},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZRealmBase_SysEventHandler = nullptr;
