// Luafuncs and system-event handler bound to the QZRuleBase class at start-up.
#include "trelk_bind.h"
#include "trelk_data_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZRuleBase_LuaFuncTable[] = {
    {"GetRuleBuf", QZRuleBase_GetRuleBuf},
    {"SaveTo", QZRuleBase_SaveTo},
    {"LoadFrom", QZRuleBase_LoadFrom},
    {"SaveToJSonPkg", QZRuleBase_SaveToJSonPkg},
    {"LoadFromJSonPkg", QZRuleBase_LoadFromJSonPkg},
    {"Equals", QZRuleBase_Equals},
    {"OnApproved", QZRuleBase_OnApproved},
    {"OnDisapproved", QZRuleBase_OnDisapproved},
    {"OnBeforeFree", QZRuleBase_OnBeforeFree},
    {"_QuelCall", QZRuleBase_Create},
    {"Create", QZRuleBase_Create},
    {"CreateType", QZRuleBase_CreateType},
    {"GetRuleType", QZRuleBase_GetRuleType},
    {"CollectType", QZRuleBase_CollectType},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZRuleBase_SysEventHandler = QZRuleBase_OnSystemEvent;
