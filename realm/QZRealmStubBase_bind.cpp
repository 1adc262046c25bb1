// Luafuncs and system-event handler bound to the QZRealmStubBase class at start-up.
#include "trelk_bind.h"
#include "trelk_realm_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZRealmStubBase_LuaFuncTable[] = {
    {"OnException", QZRealmStubBase_OnException},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZRealmStubBase_SysEventHandler = nullptr;
