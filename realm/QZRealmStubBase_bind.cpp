// Luafuncs and system-event handler bound to the QZRealmStubBase class at start-up.
#include "trelk_bind.h"
#include "trelk_realm_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZRealmStubBase_LuaFuncTable[] = {
    {"GetPerformanceData", QZRealmBase_GetPerformanceData},
    {"FindSystemPackage", QZRealmBase_FindSystemPackage},
    {"OnException", QZRealmStubBase_OnException},
    {"OnMoreUnAllocatedData", QZRealmStubBase_OnMoreUnAllocatedData},
    {"OnLongLoop", QZRealmStubBase_OnLongLoop},
    {"OnLongSuspend", QZRealmStubBase_OnLongSuspend},
    {"OnInputInvalid", QZRealmStubBase_OnInputInvalid},
    {"OnLongSourceData", QZRealmStubBase_OnLongSourceData},
    {"_QuelCall", QZRealmBase__QuelCall},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZRealmStubBase_SysEventHandler = nullptr;
