// Luafuncs and system-event handlers of the data classes, for their binding
// tables (the *_bind.cpp files). A luafunc takes the script state and returns
// the number of results it pushed.
#ifndef TRELK_DATA_LUAFUNCS_H
#define TRELK_DATA_LUAFUNCS_H

#include "tarvex_api.h"

// ---------------------------------------------------------------------------
// Record, life cycle and type system
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
VS_INT32 QZDataBase_GetDataBuf(void *L);
VS_INT32 QZDataBase_SetDataBuf(void *L);
VS_INT32 QZDataBase_GetObjectHasBuf(void *L);
VS_INT32 QZDataBase_GetType(void *L);
VS_INT32 QZDataBase_GetTypeName(void *L);
VS_INT32 QZDataBase_SetDataTypeClass(void *L);
VS_INT32 QZDataBase_GetDataTypeClass(void *L);
VS_INT32 QZDataBase_HasDataTypeClass(void *L);

// ---------------------------------------------------------------------------
// Source links, equality, ordering and duplication
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_AddSource(void *L);
VS_INT32 QZDataBase_IsChangedFrom(void *L);
VS_INT32 QZDataBase_GetSource(void *L);
VS_INT32 QZDataBase_GetOwnerProc(void *L);
VS_INT32 QZDataBase_IsSource(void *L);
VS_INT32 QZDataBase_Equals(void *L);
VS_INT32 QZDataBase_IsSame(void *L);
VS_INT32 QZDataBase_IsDataSet(void *L);
VS_INT32 QZDataBase_IsObjectData(void *L);
VS_INT32 QZDataBase_IsBufData(void *L);
VS_INT32 QZDataBase_IsRealmFrameData(void *L);
VS_INT32 QZDataBase_IsInstance(void *L);
VS_INT32 QZDataBase_IsBefore(void *L);
VS_INT32 QZDataBase_IsAfter(void *L);
VS_INT32 QZDataBase_Dup(void *L);

// ---------------------------------------------------------------------------
// Rule attachment, approval and accept / reject / exclude lists
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_SetRuleAttach(void *L);
VS_INT32 QZDataBase_GetRuleAttach(void *L);
VS_INT32 QZDataBase_HasRuleAttach(void *L);
VS_INT32 QZDataBase_RemoveRuleAttach(void *L);
VS_INT32 QZDataBase_Approved(void *L);
VS_INT32 QZDataBase_Disapproved(void *L);
VS_INT32 QZDataBase_IsExclude(void *L);
VS_INT32 QZDataBase_AddExclude(void *L);
VS_INT32 QZDataBase_RemoveExclude(void *L);
VS_INT32 QZDataBase_IsReject(void *L);
VS_INT32 QZDataBase_AddReject(void *L);
VS_INT32 QZDataBase_RemoveReject(void *L);
VS_INT32 QZDataBase_GetReject(void *L);
VS_INT32 QZDataBase_IsAccept(void *L);
VS_INT32 QZDataBase_AddAccept(void *L);
VS_INT32 QZDataBase_RemoveAccept(void *L);
VS_INT32 QZDataBase_GetAccept(void *L);
VS_INT32 QZDataBase_ResetSchedule(void *L);

// ---------------------------------------------------------------------------
// Info, creation, description, signature, tags and callbacks
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_GetInfo(void *L);
VS_INT32 QZDataBase_ConnectedProcToParaPkg(void *L);
VS_INT32 QZDataBase_QuelToString(void *L);
VS_INT32 QZDataBase_Create(void *L);
VS_INT32 QZDataBase_CreateType(void *L);
VS_INT32 QZDataBase_IsFromEnv(void *L);
VS_INT32 QZDataBase_IsFromProc(void *L);
VS_INT32 QZDataBase_GetDesc(void *L);
VS_INT32 QZDataBase_SetDesc(void *L);
VS_INT32 QZDataBase_CollectType(void *L);
VS_INT32 QZDataBase_SetSignature(void *L);
VS_INT32 QZDataBase_GetSignature(void *L);
VS_INT32 QZDataBase_GetTag(void *L);
VS_INT32 QZDataBase_GetTagLabel(void *L);
VS_INT32 QZDataBase_SetUniformTick(void *L);
VS_INT32 QZDataBase_GetUniformTick(void *L);
VS_INT32 QZDataBase_RegCallBack(void *L);
VS_INT32 QZDataBase_UnRegCallBack(void *L);
VS_INT32 QZDataBase_OnBeforeFree(void *L);

// ---------------------------------------------------------------------------
// Properties and companion classes
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_CreateProperty(void *L);
VS_INT32 QZDataBase_IsProperty(void *L);
VS_INT32 QZDataBase_HasProperty(void *L);
VS_INT32 QZDataBase_GetDataSetBase(void *L);
VS_INT32 QZDataBase_GetObjectDataBase(void *L);
VS_INT32 QZDataBase_GetBufDataBase(void *L);
VS_INT32 QZDataBase_Wrap(void *L);
VS_INT32 QZDataBase_SetReadOnly(void *L);

// ---------------------------------------------------------------------------
// Attribute list, result cache, RunString and RunProc
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_SaveZelDataProperty(void *L);
VS_INT32 QZDataBase_RestoreZelDataProperty(void *L);
VS_INT32 QZDataBase_ClearZelDataProperty(void *L);
VS_INT32 QZDataBase_SetCache(void *L);
VS_INT32 QZDataBase_GetCache(void *L);
VS_INT32 QZDataBase_ClearCache(void *L);
VS_INT32 QZDataBase_RunString(void *L);
VS_INT32 QZDataBase_RunProc(void *L);

// ---------------------------------------------------------------------------
// Data record and JSON package
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_SaveTo(void *L);
VS_INT32 QZDataBase_LoadFrom(void *L);

// ---------------------------------------------------------------------------
// Rules and rule attachments
// ---------------------------------------------------------------------------
VS_INT32 QZRuleBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
VS_INT32 QZRuleAttachBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
VS_INT32 QZRuleBase_GetRuleBuf(void *L);
VS_INT32 QZRuleBase_SaveTo(void *L);
VS_INT32 QZRuleBase_LoadFrom(void *L);
VS_INT32 QZRuleBase_SaveToJSonPkg(void *L);
VS_INT32 QZRuleBase_LoadFromJSonPkg(void *L);
VS_INT32 QZRuleBase_Equals(void *L);
VS_INT32 QZRuleBase_OnApproved(void *L);
VS_INT32 QZRuleBase_OnDisapproved(void *L);
VS_INT32 QZRuleBase_OnBeforeFree(void *L);
VS_INT32 QZRuleBase_Create(void *L);
VS_INT32 QZRuleBase_CreateType(void *L);
VS_INT32 QZRuleBase_GetRuleType(void *L);
VS_INT32 QZRuleBase_CollectType(void *L);

// ---------------------------------------------------------------------------
// Data sets
// ---------------------------------------------------------------------------
VS_INT32 QZDataSetBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
VS_INT32 QZDataSetBase_AddData(void *L);
VS_INT32 QZDataSetBase_RemoveData(void *L);
VS_INT32 QZDataSetBase_GetData(void *L);
VS_INT32 QZDataSetBase_IsSubSet(void *L);
VS_INT32 QZDataSetBase_GetDataBase(void *L);
VS_INT32 QZDataSetBase_Create(void *L);
VS_INT32 QZDataSetBase_CreateType(void *L);
VS_INT32 QZDataSetBase_RunString(void *L);
VS_INT32 QZDataSetBase_RunProc(void *L);

// ---------------------------------------------------------------------------
// Object data, buffer data, realm frame data
// ---------------------------------------------------------------------------
VS_INT32 QZObjectDataBase_Create(void *L);
VS_INT32 QZObjectDataBase_GetObject(void *L);
VS_INT32 QZBufDataBase_Create(void *L);
VS_INT32 QZRealmFrameData_Create(void *L);
VS_INT32 QZRealmFrameData_GetDynamic(void *L);

// ---------------------------------------------------------------------------
// Exception objects
// ---------------------------------------------------------------------------
VS_INT32 QZExceptionBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
VS_INT32 QZExceptionBase_AsString(void *L);
VS_INT32 QZExceptionBase_GetInfo(void *L);

#endif
