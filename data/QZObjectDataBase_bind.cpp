// Luafuncs and system-event handler bound to the QZObjectDataBase class at start-up.
#include "trelk_bind.h"
#include "trelk_data_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZObjectDataBase_LuaFuncTable[] = {
    {"_QuelCall", QZObjectDataBase_Create},
    {"Create", QZObjectDataBase_Create},
    {"GetObject", QZObjectDataBase_GetObject},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZObjectDataBase_SysEventHandler = nullptr;
