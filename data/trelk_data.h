// Data objects: the QZDataBase record's life cycle, the type system and its
// walks, source links, equality, ordering, duplication, rule attachment, the
// accept / reject / exclude lists, creation, description and tags.
//
// Everything here that other subsystems call is declared in this header: the
// _Internal counterparts take records, the luafuncs take the script state and
// return the number of results they pushed.
#ifndef TRELK_DATA_H
#define TRELK_DATA_H

#include "quel_trelk.h"
#include "trelk_upcalls.h"

struct StructOfQZDataBase;
struct StructOfQZDataBaseLocalBuf;
struct StructOfQZProcBase;

// Kind codes kept in GlobalDataTypeIndexTree.
#define QZDATATYPE_KIND_DATA 1
#define QZDATATYPE_KIND_SET 2
#define QZDATATYPE_KIND_OBJECT 3
#define QZDATATYPE_KIND_BUF 4

// Longest type name (without terminator) that tag labels are built from.
#define QZDATA_TAGNAME_MAX 119

// ---------------------------------------------------------------------------
// Small helpers shared by the data functions
// ---------------------------------------------------------------------------
// UUID text of the object's ID (host ring buffer), for "[%s:%s]" messages.
const VS_CHAR *QZDataBase_IDText(void *Object);
// TRUE for the QZDataBase class object and every object whose class chain
// reaches it: only such objects may be read as StructOfQZDataBase.
VS_BOOL QZDataBase_IsDataObject(void *Object);
// TRUE for an instance of QZProcBase (the class objects themselves excluded).
VS_BOOL QZDataBase_IsProcObject(void *Object);
// The per-object local buffer, or NULL.
StructOfQZDataBaseLocalBuf *QZDataBase_GetLocalBuf(void *Object);
// First object of a type's DataTypeClass queue, or NULL (NULL type too).
void *QZDataBase_GetTypeClassOf_Internal(StructOfQZDataBase *DataType);
// The type class of the data's type (QZDataBase_GetDataType_Internal), or NULL.
void *QZDataBase_GetDataTypeClass_Internal(StructOfQZDataBase *Data);

// ---------------------------------------------------------------------------
// Record, life cycle and type system
// ---------------------------------------------------------------------------
VS_BOOL QZDataBase_IsPreDefined_DataType(StructOfQZDataBase *Data);
VS_PARAPKGPTR QZDataBase_GetDataBuf_Internal(StructOfQZDataBase *Data);
StructOfQZDataBase *QZDataBase_GetObjectHasBuf_Internal(StructOfQZDataBase *Data);
StructOfQZDataBase *QZDataBase_GetDirectDataInst_Internal(StructOfQZDataBase *Data);
StructOfQZDataBase *QZDataBase_GetDataType_Internal(StructOfQZDataBase *Data);
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
VS_PARAPKGPTR QZDataBase_GetSourceData_Internal(StructOfQZDataBase *QZData);
StructOfQZDataBase *QZDataBase_GetSourceDataObject_Internal(StructOfQZDataBase *QZData);
VS_BOOL QZDataBase_IsChangedFrom_Internal(StructOfQZDataBase *QZData, StructOfQZDataBase *SourceQZData);
VS_BOOL QZDataBase_IsSource_Internal(StructOfQZDataBase *QZData, StructOfQZDataBase *SourceQZData,
                                     VS_BOOL MustDirect);
VS_BOOL QZDataBase_BufEquals_Internal(void *DataTypeClass, VS_PARAPKGPTR SrcBuf, VS_PARAPKGPTR DesBuf);
VS_BOOL QZDataBase_Equals_Internal(StructOfQZDataBase *SrcQZData, StructOfQZDataBase *DesQZData);
VS_BOOL QZDataBase_IsDataSet_Internal(StructOfQZDataBase *QZData, VS_BOOL IsInst);
VS_BOOL QZDataBase_IsObjectData_Internal(StructOfQZDataBase *QZData, VS_BOOL IsInst);
VS_BOOL QZDataBase_IsBufData_Internal(StructOfQZDataBase *QZData, VS_BOOL IsInst);
StructOfQZDataBase *QZDataBase_Dup_Internal(StructOfQZDataBase *QZData);
// The owning realm of a data object (first ancestor by GetParent that is a
// QZRealmBase instance), or NULL.
void *QZDataBase_GetOwnerRealm_Internal(StructOfQZDataBase *QZData);

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
struct StructOfExcludeProcItem {
    VS_UUID ObjectID;
    StructOfExcludeProcItem *Up;
    StructOfExcludeProcItem *Down;
};

void QZDataBase_Disapproved_Internal(StructOfQZDataBase *QZData);
VS_BOOL QZDataBase_IsReject_Internal(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc);
VS_BOOL QZDataBase_AddReject_Internal(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc);
VS_BOOL QZDataBase_AddAccept_Internal(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc);

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
// Pushes exactly one string (the tag, or "" when none can be made); returns 1.
VS_INT32 QZDataBase_GetTag_Internal(StructOfQZDataBase *Data);
// Writes the tag label of a type's name ("data_global_<name>" or
// "data_<space>_<name>") into Buf; FALSE (Buf empty) for a missing object or
// a name longer than QZDATA_TAGNAME_MAX characters.
VS_BOOL QZDataBase_GetTagLabel_Internal(void *TypeObject, VS_CHAR *Buf, VS_INT32 BufSize);
// Property package for the text form: ancestors first, instance values over
// type definitions.
void QZDataBase_QuelToString_CollectProperty(StructOfQZDataBase *Data, VS_PARAPKGPTR PropertyPkg);

// A new sub-type of a data class object or type (its class is ClassOrType),
// named TypeName and entered as a plain data type; NULL when the host makes
// none. The module keeps the reference the host gave it.
StructOfQZDataBase *QZDataBase_NewSubType_Internal(void *ClassOrType, const VS_CHAR *TypeName);

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
// Functions of other data parts that the life cycle and the tag call; they
// live with the attribute list, indexed access and data record code.
// ---------------------------------------------------------------------------
VS_BOOL QZDataBase_RegGetValue(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_UWORD Para,
                               VS_BOOL GetAllRawAttributeFlag);
VS_BOOL QZDataBase_RegSetValue(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_INT32 Index, VS_UWORD Para);
VS_BOOL QZDataBase_SaveZelDataProperty_Internal(StructOfQZDataBase *Data, VS_PARAPKGPTR List);
VS_BOOL QZDataBase_SaveTo_Inernal(StructOfQZDataBase *QZData, VS_PARAPKGPTR ValueBuf, VS_BOOL SaveProcObjectID,
                                  VS_BOOL CallFromGetTag);

#endif
