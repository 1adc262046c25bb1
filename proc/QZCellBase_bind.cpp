// Luafuncs and system-event handler bound to the QZCellBase class at start-up.
#include "trelk_bind.h"
#include "trelk_cell_api.h"
#include "trelk_cell_luafuncs.h"

const StructOfTrelkLuaFuncEntry QZCellBase_LuaFuncTable[] = {
    // Record and life cycle
    {"Execute", QZCellBase_Execute},
    {"Finish", QZCellBase_Finish},
    {"OnBeforeRunnerDestory", QZCellBase_OnBeforeRunnerDestory},
    {"OnCellToBeFinish", QZCellBase_OnCellToBeFinish},
    {"OnCellFinish", QZCellBase_OnCellFinish},
    {"CreateType", QZCellBase_CreateType},
    {"GetTag", QZCellBase_GetTag},
    {"GetTagLabel", QZCellBase_GetTagLabel},
    {"_QuelCall", QZCellBase_QuelCall},
    // Env data
    {"AddEnvData", QZCellBase_AddEnvData},
    {"CaptureEnvData", QZCellBase_CaptureEnvData},
    {"RemoveEnvData", QZCellBase_RemoveEnvData},
    {"ClearEnvData", QZCellBase_ClearEnvData},
    {"GetEnvDataQueue", QZCellBase_GetEnvDataQueue},
    {"GetEnvDataFrame", QZCellBase_GetEnvDataFrame},
    {"GetEnvDataUnHandled", QZCellBase_GetEnvDataUnHandled},
    {"IsFromOutSide", QZCellBase_IsFromOutSide},
    {"GetEqualData", QZCellBase_GetEqualData},
    {"NumberOfEnvData", QZCellBase_NumberOfEnvData},
    {"IsFinishExcept", QZCellBase_IsFinishExcept},
    // Procs, chains, runners and output queries
    {"AddProc", QZCellBase_AddProc},
    {"ConnectProc", QZCellBase_ConnectProc},
    {"AddProcEx", QZCellBase_AddProcEx},
    {"ConnectProcEx", QZCellBase_ConnectProcEx},
    {"FindProc", QZCellBase_FindProc},
    {"LastProc", QZCellBase_LastProc},
    {"GetProcChainQueue", QZCellBase_GetProcChainQueue},
    {"CollectProcOutput", QZCellBase_CollectProcOutput},
    {"DataCanBeAsInput", QZCellBase_DataCanBeAsInput},
    {"DataCanBeAsOutput", QZCellBase_DataCanBeAsOutput},
    {"RunnerFromProcChain", QZCellBase_RunnerFromProcChain},
    {"AddRunner", QZCellBase_AddRunner},
    {"NumberOfRunner", QZCellBase_NumberOfRunner},
    {"IsProcChainRunning", QZCellBase_IsProcChainRunning},
    {"IsProcExecuted", QZCellBase_IsProcExecuted},
    {"GetMissingEnvData", QZCellBase_GetMissingEnvData},
    {"GetMissingEnvDataProc", QZCellBase_GetMissingEnvDataProc},
    {"GetCellMissingOutput", QZCellBase_GetCellMissingOutput},
    {"IsCellOutputMustExist", QZCellBase_IsCellOutputMustExist},
    {nullptr, nullptr},
};

const VS_SYSEVENTPTR QZCellBase_SysEventHandler = QZCellBase_OnSystemEvent;
