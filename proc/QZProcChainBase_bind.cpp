// Luafuncs and system-event handler bound to the QZProcChainBase class at start-up.
#include "trelk_bind.h"
#include "trelk_proc_api.h"
#include "trelk_proc_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZProcChainBase_LuaFuncTable[] = {
    {"FromParaPkg", QZProcChainBase_FromParaPkg},
    {"FromPara", QZProcChainBase_FromPara},
    {"ToParaPkg", QZProcChainBase_ToParaPkg},
    {"AddChildProcChain", QZProcChainBase_AddChildProcChain},
    {"GetInfo", QZProcChainBase_GetInfo},
    {"GetFirstProc", QZProcChainBase_GetFirstProc},
    {"GetLastProc", QZProcChainBase_GetLastProc},
    {"Append", QZProcChainBase_Append},
    {"GetRule", QZProcChainBase_GetRule},
    {"Equals", QZProcChainBase_Equals},
    {"Find", QZProcChainBase_Find},
    {"IsOnlyOneProc", QZProcChainBase_IsOnlyOneProc},
    {"GetDesc", QZProcChainBase_GetDesc},
    {"SetDesc", QZProcChainBase_SetDesc},
    {"GetSignature", QZProcChainBase_GetSignature},
    {"GetType", QZProcChainBase_GetType},
    {"GetTypeName", QZProcChainBase_GetTypeName},
    {"GetTag", QZProcChainBase_GetTag},
    {"GetTagLabel", QZProcChainBase_GetTagLabel},
    {"IsInstance", QZProcChainBase_IsInstance},
    {"_QuelCall", QZProcChainBase__QuelCall},
    {"RegCallBack", QZProcChainBase_RegCallBack},
    {"UnRegCallBack", QZProcChainBase_UnRegCallBack},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZProcChainBase_SysEventHandler = QZProcChainBase_OnSystemEvent;
