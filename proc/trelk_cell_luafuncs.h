// Luafuncs of QZCellBase, for its binding table. Each takes the script state
// and returns the number of results it pushed.
#ifndef TRELK_CELL_LUAFUNCS_H
#define TRELK_CELL_LUAFUNCS_H

#include "tarvex_api.h"

// Record and life cycle
VS_INT32 QZCellBase_Execute(void *L);
VS_INT32 QZCellBase_Finish(void *L);
VS_INT32 QZCellBase_OnBeforeRunnerDestory(void *L);
VS_INT32 QZCellBase_OnCellToBeFinish(void *L);
VS_INT32 QZCellBase_OnCellFinish(void *L);
VS_INT32 QZCellBase_CreateType(void *L);
VS_INT32 QZCellBase_GetTag(void *L);
VS_INT32 QZCellBase_GetTagLabel(void *L);
VS_INT32 QZCellBase_QuelCall(void *L);

// Env data
VS_INT32 QZCellBase_AddEnvData(void *L);
VS_INT32 QZCellBase_CaptureEnvData(void *L);
VS_INT32 QZCellBase_RemoveEnvData(void *L);
VS_INT32 QZCellBase_ClearEnvData(void *L);
VS_INT32 QZCellBase_GetEnvDataQueue(void *L);
VS_INT32 QZCellBase_GetEnvDataFrame(void *L);
VS_INT32 QZCellBase_GetEnvDataUnHandled(void *L);
VS_INT32 QZCellBase_IsFromOutSide(void *L);
VS_INT32 QZCellBase_GetEqualData(void *L);
VS_INT32 QZCellBase_NumberOfEnvData(void *L);
VS_INT32 QZCellBase_IsFinishExcept(void *L);

// Procs, chains, runners and output queries
VS_INT32 QZCellBase_AddProc(void *L);
VS_INT32 QZCellBase_ConnectProc(void *L);
VS_INT32 QZCellBase_AddProcEx(void *L);
VS_INT32 QZCellBase_ConnectProcEx(void *L);
VS_INT32 QZCellBase_FindProc(void *L);
VS_INT32 QZCellBase_LastProc(void *L);
VS_INT32 QZCellBase_GetProcChainQueue(void *L);
VS_INT32 QZCellBase_CollectProcOutput(void *L);
VS_INT32 QZCellBase_DataCanBeAsInput(void *L);
VS_INT32 QZCellBase_DataCanBeAsOutput(void *L);
VS_INT32 QZCellBase_RunnerFromProcChain(void *L);
VS_INT32 QZCellBase_AddRunner(void *L);
VS_INT32 QZCellBase_NumberOfRunner(void *L);
VS_INT32 QZCellBase_IsProcChainRunning(void *L);
VS_INT32 QZCellBase_IsProcExecuted(void *L);
VS_INT32 QZCellBase_GetMissingEnvData(void *L);
VS_INT32 QZCellBase_GetMissingEnvDataProc(void *L);
VS_INT32 QZCellBase_GetCellMissingOutput(void *L);
VS_INT32 QZCellBase_IsCellOutputMustExist(void *L);

#endif
