// Luafuncs and system-event handlers of the proc classes (QZObjectPointer,
// QZObjectPointerWithChangeFlag, the data containers, QZProcBase,
// QZProcRemoteBase, QZProcRunnerBase, QZProcChainBase, QZCellBase), for their
// binding tables (the *_bind.cpp files). A luafunc takes the script state and
// returns the number of results it pushed.
#ifndef TRELK_PROC_LUAFUNCS_H
#define TRELK_PROC_LUAFUNCS_H

#include "tarvex_api.h"


// ---------------------------------------------------------------------------
// QZProcBase: record and life cycle
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
VS_INT32 QZProcBase_Execute(void *L);

// ---------------------------------------------------------------------------
// QZDataInputContainer
// ---------------------------------------------------------------------------
VS_INT32 QZDataInputContainer_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
VS_INT32 QZDataInputContainer_GetLocalBuf(void *L);
VS_INT32 QZDataInputContainer_SetLocalBuf(void *L);
VS_INT32 QZDataInputContainer_GetDataNumber(void *L);

// ---------------------------------------------------------------------------
// QZDataOutputContainer
// ---------------------------------------------------------------------------
VS_INT32 QZDataOutputContainer_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);

// ---------------------------------------------------------------------------
// QZProcBase: input declaration and input queue
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_GetLocalBuf(void *L);
VS_INT32 QZProcBase_GetRootLocalBuf(void *L);
VS_INT32 QZProcBase_GetSignature(void *L);
VS_INT32 QZProcBase_InputFrom(void *L);
VS_INT32 QZProcBase_InputQueueToParaPkg(void *L);
VS_INT32 QZProcBase_CollectInputDataClass(void *L);
VS_INT32 QZProcBase_GetInput(void *L);
VS_INT32 QZProcBase_InputToParaPkg(void *L);
VS_INT32 QZProcBase_InputChangeToParaPkg(void *L);
VS_INT32 QZProcBase_RejectInput(void *L);
VS_INT32 QZProcBase_AcceptInput(void *L);
VS_INT32 QZProcBase_GetInputLocalBuf(void *L);
VS_INT32 QZProcBase_SetInputLocalBuf(void *L);
VS_INT32 QZProcBase_GetInputProcID(void *L);
VS_INT32 QZProcBase_SetInputProcID(void *L);
VS_INT32 QZProcBase_DataCanBeAsInput(void *L);
VS_INT32 QZProcBase_DataCanBeAsOutput(void *L);
VS_INT32 QZProcBase_ProcCanBeAsInput(void *L);
VS_INT32 QZProcBase_GetInputNumber(void *L);
VS_INT32 QZProcBase_IsFromInternal(void *L);
VS_INT32 QZProcBase_IsSlave(void *L);
VS_INT32 QZProcBase_IsMustExist(void *L);
VS_INT32 QZProcBase_GetMasterInput(void *L);
VS_INT32 QZProcBase_GetMasterInputType(void *L);
VS_INT32 QZProcBase_GetInputType(void *L);
VS_INT32 QZProcBase_SetInputType(void *L);
VS_INT32 QZProcBase_IsEnough(void *L);

// ---------------------------------------------------------------------------
// QZProcBase: output declaration and output data
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_OutputFrom(void *L);
VS_INT32 QZProcBase_OutputToParaPkg(void *L);
VS_INT32 QZProcBase_GetOutputType(void *L);
VS_INT32 QZProcBase_OutputQueueToParaPkg(void *L);
VS_INT32 QZProcBase_RedirectOutput(void *L);
VS_INT32 QZProcBase_ClearOutputData(void *L);
VS_INT32 QZProcBase_AddOutputData(void *L);
VS_INT32 QZProcBase_AddOutputDataEx(void *L);
VS_INT32 QZProcBase_UpdateOutputData(void *L);
VS_INT32 QZProcBase_ChildToParaPkg(void *L);

// ---------------------------------------------------------------------------
// QZProcBase: types, tags, navigation, suspension, data sets, callbacks
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_GetCell(void *L);
VS_INT32 QZProcBase_Suspend(void *L);
VS_INT32 QZProcBase_Resume(void *L);
VS_INT32 QZProcBase_Continue(void *L);
VS_INT32 QZProcBase_GetInfo(void *L);
VS_INT32 QZProcBase_GetRootProc(void *L);
VS_INT32 QZProcBase_GetPrevProc(void *L);
VS_INT32 QZProcBase_GetNextProc(void *L);
VS_INT32 QZProcBase_IsPrevProcFinish(void *L);
VS_INT32 QZProcBase_IsCurrent(void *L);
VS_INT32 QZProcBase_GetDesc(void *L);
VS_INT32 QZProcBase_SetDesc(void *L);
VS_INT32 QZProcBase_GetAttachObject(void *L);
VS_INT32 QZProcBase_SetAttachObject(void *L);
VS_INT32 QZProcBase_GetType(void *L);
VS_INT32 QZProcBase_GetTypeName(void *L);
VS_INT32 QZProcBase_IsInstance(void *L);
VS_INT32 QZProcBase_EqualDataSet(void *L);
VS_INT32 QZProcBase_EqualDataSetEx(void *L);
VS_INT32 QZProcBase_SplitDataSet(void *L);
VS_INT32 QZProcBase_CollectType(void *L);
VS_INT32 QZProcBase_GetTag(void *L);
VS_INT32 QZProcBase_GetTagLabel(void *L);
VS_INT32 QZProcBase_CreateSubType(void *L);
// "_QuelCall" of a type made by CreateSubType: a new instance of the type.
VS_INT32 QZProcBase_QuelCall(void *L);
VS_INT32 QZProcBase_GetRunProcResult(void *L);
VS_INT32 QZProcBase_Wrap(void *L);
VS_INT32 QZProcBase_RegCallBack(void *L);
VS_INT32 QZProcBase_UnRegCallBack(void *L);
VS_INT32 QZProcBase_Equals(void *L);

// ===========================================================================
// Proc chains, runners and remote procs
// ===========================================================================
// ---------------------------------------------------------------------------
// QZProcChainBase, QZProcRunnerBase and QZProcRemoteBase
// ---------------------------------------------------------------------------
VS_INT32 QZProcChainBase_FromParaPkg(void *L);
VS_INT32 QZProcChainBase_FromPara(void *L);
VS_INT32 QZProcChainBase_ToParaPkg(void *L);
VS_INT32 QZProcChainBase_AddChildProcChain(void *L);
VS_INT32 QZProcChainBase_GetInfo(void *L);
VS_INT32 QZProcChainBase_GetFirstProc(void *L);
VS_INT32 QZProcChainBase_GetLastProc(void *L);
VS_INT32 QZProcChainBase_Append(void *L);
VS_INT32 QZProcChainBase_GetRule(void *L);
VS_INT32 QZProcChainBase_Equals(void *L);
VS_INT32 QZProcChainBase_Find(void *L);
VS_INT32 QZProcChainBase_IsOnlyOneProc(void *L);
VS_INT32 QZProcChainBase_GetDesc(void *L);
VS_INT32 QZProcChainBase_SetDesc(void *L);
VS_INT32 QZProcChainBase_GetSignature(void *L);
VS_INT32 QZProcChainBase_GetType(void *L);
VS_INT32 QZProcChainBase_GetTypeName(void *L);
VS_INT32 QZProcChainBase_GetTag(void *L);
VS_INT32 QZProcChainBase_GetTagLabel(void *L);
VS_INT32 QZProcChainBase_IsInstance(void *L);
VS_INT32 QZProcChainBase__QuelCall(void *L);
VS_INT32 QZProcChainBase_RegCallBack(void *L);
VS_INT32 QZProcChainBase_UnRegCallBack(void *L);

VS_INT32 QZProcRunnerBase_CurrentProcToParaPkg(void *L);
VS_INT32 QZProcRunnerBase_ProcToParaPkg(void *L);
VS_INT32 QZProcRunnerBase_GetProcChain(void *L);
VS_INT32 QZProcRunnerBase_GetCell(void *L);

VS_INT32 QZProcRemoteBase_Execute(void *L);


#endif
