// Luafuncs and system-event handler bound to the QZExceptionBase class at start-up.
#include "trelk_bind.h"
#include "trelk_data_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZExceptionBase_LuaFuncTable[] = {
    {"AsString", QZExceptionBase_AsString},
    {"GetInfo", QZExceptionBase_GetInfo},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZExceptionBase_SysEventHandler = QZExceptionBase_OnSystemEvent;
