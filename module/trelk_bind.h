// Binding tables: for each of the 19 classes, the luafuncs bound at start-up
// and the class's system-event handler. Each table lives in its class's own
// folder and grows as that class's functions are written; a name that is not
// in its table stays unbound.
#ifndef TRELK_BIND_H
#define TRELK_BIND_H

#include "tarvex_api.h"

struct StructOfTrelkLuaFuncEntry {
    const VS_CHAR *Name;
    VS_LUAFUNCPTR Func;
};

// Each table ends with a {NULL, NULL} entry; a NULL handler means none.
extern const StructOfTrelkLuaFuncEntry QZObjectPointer_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZObjectPointer_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZObjectPointerWithChangeFlag_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZObjectPointerWithChangeFlag_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZRuleBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZRuleBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZRuleAttachBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZRuleAttachBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZDataInputContainer_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZDataInputContainer_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZDataBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZDataBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZDataSetBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZDataSetBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZObjectDataBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZObjectDataBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZBufDataBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZBufDataBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZRealmFrameData_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZRealmFrameData_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZDataOutputContainer_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZDataOutputContainer_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZExceptionBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZExceptionBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZProcBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZProcBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZProcRemoteBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZProcRemoteBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZProcRunnerBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZProcRunnerBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZProcChainBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZProcChainBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZCellBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZCellBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZRealmStubBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZRealmStubBase_SysEventHandler;
extern const StructOfTrelkLuaFuncEntry QZRealmBase_LuaFuncTable[];
extern const VS_SYSEVENTPTR QZRealmBase_SysEventHandler;

#endif
