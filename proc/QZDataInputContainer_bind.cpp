// Luafuncs and system-event handler bound to the QZDataInputContainer class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZDataInputContainer_LuaFuncTable[] = {
    {"GetLocalBuf", QZDataInputContainer_GetLocalBuf},
    {"SetLocalBuf", QZDataInputContainer_SetLocalBuf},
    {"GetDataNumber", QZDataInputContainer_GetDataNumber},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZDataInputContainer_SysEventHandler = QZDataInputContainer_OnSystemEvent;
