// Luafuncs and system-event handler bound to the QZRealmFrameData class at start-up.
#include "trelk_bind.h"
#include "trelk_data_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZRealmFrameData_LuaFuncTable[] = {
    {"Create", QZRealmFrameData_Create},
    {"GetDynamic", QZRealmFrameData_GetDynamic},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZRealmFrameData_SysEventHandler = nullptr;
