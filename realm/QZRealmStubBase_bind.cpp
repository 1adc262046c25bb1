// Luafuncs and system-event handler bound to the QZRealmStubBase class at start-up.
#include "quel_trelk.h"

const StructOfTrelkLuaFuncEntry QZRealmStubBase_LuaFuncTable[] = {
    {"OnException", QZRealmStubBase_OnException},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZRealmStubBase_SysEventHandler = nullptr;
