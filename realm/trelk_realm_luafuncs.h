// Luafuncs of the realm and the realm stub, for their binding tables. Each
// takes the script state and returns the number of results it pushed.
#ifndef TRELK_REALM_LUAFUNCS_H
#define TRELK_REALM_LUAFUNCS_H

#include "tarvex_api.h"

VS_INT32 QZRealmStubBase_OnException(void *L);
VS_INT32 QZRealmBase_OnRemoteExecute(void *L);
VS_INT32 QZRealmBase_PerformanceEach(void *L);

// Record, life cycle and free callbacks
VS_INT32 QZRealmBase_GetLocalBuf(void *L);
VS_INT32 QZRealmBase_SetLocalBuf(void *L);
VS_INT32 QZRealmBase_RegCallBack(void *L);
VS_INT32 QZRealmBase_UnRegCallBack(void *L);
// A new object whose class is argument 1 (a realm or a realm stub).
VS_INT32 QZRealmBase__QuelCall(void *L);

// Settings and the realm stub
VS_INT32 QZRealmBase_SetRealmStub(void *L);
VS_INT32 QZRealmBase_GetRealmStub(void *L);
VS_INT32 QZRealmBase_GetPerformanceData(void *L);
VS_INT32 QZRealmBase_FindSystemPackage(void *L);
VS_INT32 QZRealmStubBase_OnMoreUnAllocatedData(void *L);
VS_INT32 QZRealmStubBase_OnLongLoop(void *L);
VS_INT32 QZRealmStubBase_OnLongSuspend(void *L);
VS_INT32 QZRealmStubBase_OnInputInvalid(void *L);
VS_INT32 QZRealmStubBase_OnLongSourceData(void *L);

// Environment data, frames and history
VS_INT32 QZRealmBase_AddEnvData(void *L);
VS_INT32 QZRealmBase_CaptureEnvData(void *L);
VS_INT32 QZRealmBase_RemoveEnvData(void *L);
VS_INT32 QZRealmBase_ClearEnvData(void *L);
VS_INT32 QZRealmBase_EnvDataToCell(void *L);
VS_INT32 QZRealmBase_GetEnvDataQueue(void *L);
VS_INT32 QZRealmBase_GetEnvDataFrame(void *L);
VS_INT32 QZRealmBase_GetFactHistory(void *L);
VS_INT32 QZRealmBase_GetPredictHistory(void *L);
VS_INT32 QZRealmBase_IsFromOutSide(void *L);

// Cells and rules
VS_INT32 QZRealmBase_AddCell(void *L);
VS_INT32 QZRealmBase_GetCell(void *L);
VS_INT32 QZRealmBase_GetCellLibrary(void *L);
VS_INT32 QZRealmBase_AddCellLibrary(void *L);
VS_INT32 QZRealmBase_RemoveCellLibrary(void *L);
VS_INT32 QZRealmBase_MoveToCellLibrary(void *L);
VS_INT32 QZRealmBase_MoveToCellQueue(void *L);
VS_INT32 QZRealmBase_RemoveCell(void *L);
VS_INT32 QZRealmBase_AddRule(void *L);
VS_INT32 QZRealmBase_RemoveRule(void *L);
VS_INT32 QZRealmBase_GetRule(void *L);

// Active objects
VS_INT32 QZRealmBase_ActiveObject(void *L);
VS_INT32 QZRealmBase_DeactiveObject(void *L);
VS_INT32 QZRealmBase_LinkSourceObject(void *L);
VS_INT32 QZRealmBase_LinkTargetObject(void *L);
VS_INT32 QZRealmBase_UnLinkSourceObject(void *L);
VS_INT32 QZRealmBase_UnLinkTargetObject(void *L);
VS_INT32 QZRealmBase_GetSourceObject(void *L);
VS_INT32 QZRealmBase_GetTargetObject(void *L);
VS_INT32 QZRealmBase_GetActiveCount(void *L);
VS_INT32 QZRealmBase_GetActiveCountEx(void *L);
VS_INT32 QZRealmBase_GetExtraActiveCount(void *L);
VS_INT32 QZRealmBase_SetExtraActiveCount(void *L);
VS_INT32 QZRealmBase_UpdateActiveCount(void *L);
VS_INT32 QZRealmBase_GetActiveObject(void *L);
VS_INT32 QZRealmBase_GetActiveObjectEx(void *L);
VS_INT32 QZRealmBase_DeactiveAll(void *L);

// Synchronisation
VS_INT32 QZRealmBase_SyncFrom(void *L);

// Running a realm, its default events and printing
VS_INT32 QZRealmBase_Execute(void *L);
VS_INT32 QZRealmBase_ResetExecuteOnce(void *L);
VS_INT32 QZRealmBase_ExecuteOnce(void *L);
VS_INT32 QZRealmBase_ExecuteForResult(void *L);
VS_INT32 QZRealmBase_OnQueryProc(void *L);
// The default of every event that does nothing.
VS_INT32 QZRealmBase_OnDoNothing(void *L);
VS_INT32 QZRealmBase_OnException(void *L);
VS_INT32 QZRealmBase_OnBeforeExecute(void *L);
VS_INT32 QZRealmBase_OnMoreUnAllocatedData(void *L);
VS_INT32 QZRealmBase_OnLongLoop(void *L);
VS_INT32 QZRealmBase_OnLongSuspend(void *L);
VS_INT32 QZRealmBase_OnInputInvalid(void *L);
VS_INT32 QZRealmBase_OnLongSourceData(void *L);
VS_INT32 QZRealmBase_OnCellToBeFinish(void *L);
VS_INT32 QZRealmBase_OnAfterExecute(void *L);
VS_INT32 QZRealmBase_PrintInfo(void *L);
VS_INT32 QZRealmBase_PrintException(void *L);
VS_INT32 QZRealmBase_ProcessCellEnvData(void *L);
VS_INT32 QZRealmBase_ProcessCellEnvDataEx(void *L);

// Reset, clear, procs as a cell and data handed to procs
VS_INT32 QZRealmBase_Reset(void *L);
VS_INT32 QZRealmBase_Clear(void *L);
VS_INT32 QZRealmBase_AddProc(void *L);
VS_INT32 QZRealmBase_EnvDataToProc(void *L);

// Queries, chain building and dependency strings
VS_INT32 QZRealmBase_QueryProcForOutput(void *L);
VS_INT32 QZRealmBase_QueryProcForInput(void *L);
VS_INT32 QZRealmBase_QueryProcChainForOutput(void *L);
VS_INT32 QZRealmBase_QueryProcChainForInput(void *L);
VS_INT32 QZRealmBase_GetCellForInput(void *L);
VS_INT32 QZRealmBase_FindProcChain(void *L);
VS_INT32 QZRealmBase_BuildProcChain(void *L);
VS_INT32 QZRealmBase_RequestProcChain(void *L);
VS_INT32 QZRealmBase_OnRequestProcChain(void *L);
VS_INT32 QZRealmBase_BuildDepends(void *L);
VS_INT32 QZRealmBase_IsDependsExist(void *L);
// Procs run on demand
VS_INT32 QZRealmBase_RunProc(void *L);
VS_INT32 QZRealmBase_RunProcEx(void *L);
VS_INT32 QZRealmBase_RunString(void *L);
VS_INT32 QZRealmBase_RunStringEx(void *L);
VS_INT32 QZRealmBase_AsyncRunProc(void *L);
VS_INT32 QZRealmBase_AsyncRunProcEx(void *L);
VS_INT32 QZRealmBase_AsyncRunString(void *L);
VS_INT32 QZRealmBase_AsyncRunStringEx(void *L);
// Status of a realm
VS_INT32 QZRealmBase_GetStatus(void *L);
VS_INT32 QZRealmBase_GetStatusWithPos(void *L);
// Saving and loading objects; versions, tags and type tests; log, cache and
// printing
VS_INT32 QZRealmBase_SaveObject(void *L);
VS_INT32 QZRealmBase_LoadObject(void *L);
VS_INT32 QZRealmBase_SaveToJSonPkg(void *L);
VS_INT32 QZRealmBase_LoadFromJSonPkg(void *L);
VS_INT32 QZRealmBase_GetSystemPackageInfo(void *L);
VS_INT32 QZRealmBase_GetVersion(void *L);
VS_INT32 QZRealmBase_GetVersionInfo(void *L);
VS_INT32 QZRealmBase_GetLastNewTypeTickCount(void *L);
VS_INT32 QZRealmBase_GetTag(void *L);
VS_INT32 QZRealmBase_GetTagEx(void *L);
VS_INT32 QZRealmBase_FormatChanged(void *L);
VS_INT32 QZRealmBase_IsData(void *L);
VS_INT32 QZRealmBase_IsProc(void *L);
VS_INT32 QZRealmBase_IsCell(void *L);
VS_INT32 QZRealmBase_IsChain(void *L);
VS_INT32 QZRealmBase_SetLog(void *L);
VS_INT32 QZRealmBase_ClearLog(void *L);
VS_INT32 QZRealmBase_GetLog(void *L);
VS_INT32 QZRealmBase_SetCache(void *L);
VS_INT32 QZRealmBase_ClearCache(void *L);
VS_INT32 QZRealmBase_GetCache(void *L);
VS_INT32 QZRealmBase_FindCache(void *L);
VS_INT32 QZRealmBase_ParaPkgToString(void *L);
VS_INT32 QZRealmBase_ZelDispatch(void *L);
VS_INT32 QZRealmBase_PrintObjects(void *L);
// Break-on-proc stepping and ExecuteUntil with its controls
VS_INT32 QZRealmBase_BreakOnProc(void *L);
VS_INT32 QZRealmBase_BreakOnProcContinue(void *L);
VS_INT32 QZRealmBase_CancelBreakOnProc(void *L);
VS_INT32 QZRealmBase_ExecuteUntil(void *L);
VS_INT32 QZRealmBase_SuspendExecuteUntil(void *L);
VS_INT32 QZRealmBase_ResumeExecuteUntil(void *L);
VS_INT32 QZRealmBase_FinishExecuteUntil(void *L);

#endif
