// Luafuncs and system-event handler bound to the QZRealmBase class at start-up.
#include "trelk_bind.h"
#include "trelk_realm_api.h"
#include "trelk_realm_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZRealmBase_LuaFuncTable[] = {
    // Record, life cycle and free callbacks
    {"GetLocalBuf", QZRealmBase_GetLocalBuf},
    {"SetLocalBuf", QZRealmBase_SetLocalBuf},
    {"RegCallBack", QZRealmBase_RegCallBack},
    {"UnRegCallBack", QZRealmBase_UnRegCallBack},
    {"_QuelCall", QZRealmBase__QuelCall},
    // Settings and the realm stub
    {"SetRealmStub", QZRealmBase_SetRealmStub},
    {"GetRealmStub", QZRealmBase_GetRealmStub},
    {"GetPerformanceData", QZRealmBase_GetPerformanceData},
    {"FindSystemPackage", QZRealmBase_FindSystemPackage},
    // Environment data, frames and history
    {"AddEnvData", QZRealmBase_AddEnvData},
    {"CaptureEnvData", QZRealmBase_CaptureEnvData},
    {"RemoveEnvData", QZRealmBase_RemoveEnvData},
    {"ClearEnvData", QZRealmBase_ClearEnvData},
    {"GetEnvDataQueue", QZRealmBase_GetEnvDataQueue},
    {"GetEnvDataFrame", QZRealmBase_GetEnvDataFrame},
    {"GetFactHistory", QZRealmBase_GetFactHistory},
    {"GetPredictHistory", QZRealmBase_GetPredictHistory},
    {"IsFromOutSide", QZRealmBase_IsFromOutSide},
    // Cells and rules
    {"AddCell", QZRealmBase_AddCell},
    {"GetCell", QZRealmBase_GetCell},
    {"GetCellLibrary", QZRealmBase_GetCellLibrary},
    {"AddCellLibrary", QZRealmBase_AddCellLibrary},
    {"RemoveCellLibrary", QZRealmBase_RemoveCellLibrary},
    {"MoveToCellLibrary", QZRealmBase_MoveToCellLibrary},
    {"MoveToCellQueue", QZRealmBase_MoveToCellQueue},
    {"RemoveCell", QZRealmBase_RemoveCell},
    {"AddRule", QZRealmBase_AddRule},
    {"RemoveRule", QZRealmBase_RemoveRule},
    {"GetRule", QZRealmBase_GetRule},
    // Active objects
    {"ActiveObject", QZRealmBase_ActiveObject},
    {"DeactiveObject", QZRealmBase_DeactiveObject},
    {"LinkSourceObject", QZRealmBase_LinkSourceObject},
    {"LinkTargetObject", QZRealmBase_LinkTargetObject},
    {"UnLinkSourceObject", QZRealmBase_UnLinkSourceObject},
    {"UnLinkTargetObject", QZRealmBase_UnLinkTargetObject},
    {"GetSourceObject", QZRealmBase_GetSourceObject},
    {"GetTargetObject", QZRealmBase_GetTargetObject},
    {"GetActiveCount", QZRealmBase_GetActiveCount},
    {"GetActiveCountEx", QZRealmBase_GetActiveCountEx},
    {"GetExtraActiveCount", QZRealmBase_GetExtraActiveCount},
    {"SetExtraActiveCount", QZRealmBase_SetExtraActiveCount},
    {"UpdateActiveCount", QZRealmBase_UpdateActiveCount},
    {"GetActiveObject", QZRealmBase_GetActiveObject},
    {"GetActiveObjectEx", QZRealmBase_GetActiveObjectEx},
    {"DeactiveAll", QZRealmBase_DeactiveAll},
    // Synchronisation
    {"SyncFrom", QZRealmBase_SyncFrom},
    // Module services
    {"OnRemoteExecute", QZRealmBase_OnRemoteExecute},
    {"PerformanceEach", QZRealmBase_PerformanceEach},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZRealmBase_SysEventHandler = QZRealmBase_OnSystemEvent;
