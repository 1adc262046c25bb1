// Luafuncs and system-event handler bound to the QZBufDataBase class at start-up.
#include "trelk_bind.h"
#include "trelk_data_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZBufDataBase_LuaFuncTable[] = {
    {"_QuelCall", QZBufDataBase_Create},
    {"Create", QZBufDataBase_Create},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZBufDataBase_SysEventHandler = nullptr;
