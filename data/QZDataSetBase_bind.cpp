// Luafuncs and system-event handler bound to the QZDataSetBase class at start-up.
#include "trelk_bind.h"
#include "trelk_data_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZDataSetBase_LuaFuncTable[] = {
    {"AddData", QZDataSetBase_AddData},
    {"RemoveData", QZDataSetBase_RemoveData},
    {"GetData", QZDataSetBase_GetData},
    {"IsSubSet", QZDataSetBase_IsSubSet},
    {"GetDataBase", QZDataSetBase_GetDataBase},
    {"_QuelCall", QZDataSetBase_Create},
    {"Create", QZDataSetBase_Create},
    {"CreateType", QZDataSetBase_CreateType},
    {"RunString", QZDataSetBase_RunString},
    {"RunProc", QZDataSetBase_RunProc},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZDataSetBase_SysEventHandler = QZDataSetBase_OnSystemEvent;
