// Luafuncs and system-event handler bound to the QZRealmBase class at start-up.
#include "trelk_bind.h"
#include "trelk_realm_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZRealmBase_LuaFuncTable[] = {
    {"OnRemoteExecute", QZRealmBase_OnRemoteExecute},
    {"PerformanceEach", QZRealmBase_PerformanceEach},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZRealmBase_SysEventHandler = nullptr;
