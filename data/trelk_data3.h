// Value lists, data records and JSON packages, rules and rule attachments,
// data sets, object / buffer / frame data and exception objects.
//
// Everything here that other subsystems call is declared in this header: the
// _Internal counterparts take records, the luafuncs take the script state and
// return the number of results they pushed.
#ifndef TRELK_DATA3_H
#define TRELK_DATA3_H

#include "quel_trelk.h"
#include "trelk_data.h"

// Deepest nesting of packages and data records that the value-list writer
// and reader follow; deeper input is refused instead of exhausting the stack.
#define TRELK_VALUELIST_MAXDEPTH 256

// ---------------------------------------------------------------------------
// Value list
// ---------------------------------------------------------------------------
// Appends one item dict per item of DataBuf to ValueBuf; the classes met are
// entered in ParaPkg_PackageInfo. FALSE after a report when an item cannot be
// saved (ValueBuf then keeps what was appended before).
VS_BOOL QZProcChain_Save_ParaPkg(void *RefObject, VS_PARAPKGPTR DataBuf, VS_PARAPKGPTR ParaPkg_PackageInfo,
                                 VS_PARAPKGPTR ValueBuf, VS_BOOL SaveProcObjectID, VS_BOOL CallFromGetTag);
// Clears DataBuf and rebuilds its items from the value list ValueBuf; FALSE
// when the list is malformed or an item cannot be rebuilt.
VS_BOOL QZProcChain_Load_ParaPkg(void *RefObject, VS_PARAPKGPTR DataBuf, VS_PARAPKGPTR ValueBuf,
                                 VS_BOOL IsStrictmatch);
// Relinks the saved object IDs of one rebuilt proc or chain: every pending
// reference of NextQZProcRecord is pointed at the first object of
// QZProcRecord saved under the same ID.
void QZProcChain_Load_ParaPkg_FixObjectID(VS_PARAPKGPTR QZProcRecord, VS_PARAPKGPTR NextQZProcRecord);

// A load session spans one outermost reader call and everything it reads in
// turn. Objects the readers make are entered; when the outermost call fails,
// those that nothing holds yet (no parent, no lock, no script reference) are
// freed, so that a refused input leaves no object behind.
void TrelkData3_LoadSessionBegin();
void TrelkData3_LoadSessionAdd(void *Object);
void TrelkData3_LoadSessionEnd(VS_BOOL Ok);

// ---------------------------------------------------------------------------
// Data record and JSON package
// ---------------------------------------------------------------------------
VS_BOOL QZDataBase_SaveTo_Inernal(StructOfQZDataBase *QZData, VS_PARAPKGPTR ValueBuf, VS_BOOL SaveProcObjectID,
                                  VS_BOOL CallFromGetTag);
// A new data object built from a data record, holding one GC lock for the
// caller; NULL on failure.
void *QZDataBase_LoadFrom_Internal(VS_PARAPKGPTR ValueBufWithDepends);

VS_INT32 QZDataBase_SaveTo(void *L);
VS_INT32 QZDataBase_LoadFrom(void *L);

// ---------------------------------------------------------------------------
// Rules and rule attachments
// ---------------------------------------------------------------------------
// TRUE for the QZRuleBase class object and every rule.
VS_BOOL QZRuleBase_IsRuleObject(void *Object);
StructOfQZRuleBase *QZRuleBase_GetRuleType_Internal(StructOfQZRuleBase *QZRule);
// A new rule of the record's rule type, holding one GC lock for the caller;
// NULL on failure. QZRuleBase only names itself in messages (may be NULL).
void *QZRuleBase_LoadFrom_Internal(StructOfQZRuleBase *QZRuleBase, VS_PARAPKGPTR ValueBufWithDepends);

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
VS_BOOL QZDataSetBase_IsSubSet_Internal(StructOfQZDataSetBase *QZDataSet, StructOfQZDataSetBase *SubQZDataSet);
// Handler of the set class and of the set companion classes.
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
// A copy of Pkg with every object normalised and every nested package copied
// the same way; a new empty package for NULL. The caller owns it.
VS_PARAPKGPTR QZBufDataBase_Create_Internal(VS_PARAPKGPTR Pkg);

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

// ---------------------------------------------------------------------------
// Helpers shared by the files above
// ---------------------------------------------------------------------------
// Name of an object, "" for none.
const VS_CHAR *TrelkData3_Name(void *Object);
// UUID text of an object's ID, all zero for none.
const VS_CHAR *TrelkData3_IDText(void *Object);
// Level-1 report whose text begins "[<ID text>:<name>]" of Object.
void TrelkData3_Raise(void *Object, const VS_CHAR *Format, ...) TRELK_PRINTF(2, 3);
// TRUE when Object is the class object or an instance of it.
VS_BOOL TrelkData3_IsOf(void *Object, void *ClassObject);
// A data object whose data type is itself: a type or a predefined class.
VS_BOOL TrelkData3_IsOwnDataType(StructOfQZDataBase *Data);
// The object argument at Index, normalised from a raw script object.
void *TrelkData3_ObjectArg(VS_INT32 Index);
// The text argument at Index, NULL when it is no string.
const VS_CHAR *TrelkData3_StringArg(VS_INT32 Index);
// Gives an object made for the script to the script: pushes it and drops the
// module's own lock, so that the script's reference alone keeps it.
void TrelkData3_PushHandOver(void *Object);
// Create on an instance: makes another instance of Self's own class and hands
// it to the script; refuses any input. Returns the count of pushed values.
VS_INT32 TrelkData3_CreateFromInstance(void *Self);
// A new instance of Self's data type, NULL when it has none or the host makes
// none; the module holds the host's reference.
StructOfQZDataBase *TrelkData3_NewOfDataType(StructOfQZDataBase *Self);

#endif
