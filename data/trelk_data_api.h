// Data objects as the other subsystems see them: the QZDataBase record's life
// cycle and type system, source links, equality, the accept / reject /
// exclude lists, tags, properties and companion classes, the attribute list,
// the value list and saved records, rules, sets and buffer data.
//
// Each function here takes records, not the script state, and is declared
// only here. The luafuncs are in trelk_data_luafuncs.h, the helpers that only
// the data files share in trelk_data_internal.h.
#ifndef TRELK_DATA_API_H
#define TRELK_DATA_API_H

#include "quel_trelk.h"
#include "trelk_upcalls.h"

// Kind codes kept in GlobalDataTypeIndexTree.
#define QZDATATYPE_KIND_DATA 1
#define QZDATATYPE_KIND_SET 2
#define QZDATATYPE_KIND_OBJECT 3
#define QZDATATYPE_KIND_BUF 4

// Longest type name (without terminator) that tag labels are built from.
#define QZDATA_TAGNAME_MAX 119

// Property type codes that CreateProperty accepts (host VSTYPE_ codes of the
// declared value type; not the package item types).
#define QZPROPERTY_TYPE_BOOL 1
#define QZPROPERTY_TYPE_INT32 6
#define QZPROPERTY_TYPE_CHARPTR 30
#define QZPROPERTY_TYPE_DOUBLE 58
#define QZPROPERTY_TYPE_INT64 60

// Items of the attribute list (SaveZelDataProperty).
#define QZZELLIST_SOURCEDATA 0
#define QZZELLIST_RULEATTACH 1
#define QZZELLIST_UNIFORMTICK 2
#define QZZELLIST_SIGNATURE 3
#define QZZELLIST_SCHEDULETICKCOUNT 4
#define QZZELLIST_SEQUENCEINDEX 5
#define QZZELLIST_OWNERPROCID 6
#define QZZELLIST_OWNERPROCIDINCELL 7
#define QZZELLIST_OWNERRUNNERPROCID 8
#define QZZELLIST_LIVECOUNT 9
#define QZZELLIST_EXCLUDEPROC 10
#define QZZELLIST_ACCEPTPROC 11
#define QZZELLIST_REJECTPROC 12
#define QZZELLIST_PROPERTYPKG 13
#define QZZELLIST_ITEMNUMBER 14

// Deepest nesting of packages and data records that the value-list writer
// and reader follow; deeper input is refused instead of exhausting the stack.
#define TRELK_VALUELIST_MAXDEPTH 256

// ---------------------------------------------------------------------------
// Recognising data objects
// ---------------------------------------------------------------------------
// TRUE for the QZDataBase class object and every object whose class chain
// reaches it: only such objects may be read as StructOfQZDataBase.
VS_BOOL QZDataBase_IsDataObject(void *Object);
// TRUE for an instance of QZProcBase (the class objects themselves excluded).
VS_BOOL QZDataBase_IsProcObject(void *Object);
// The per-object local buffer, or NULL.
StructOfQZDataBaseLocalBuf *QZDataBase_GetLocalBuf(void *Object);

// ---------------------------------------------------------------------------
// Record, life cycle and type system
// ---------------------------------------------------------------------------
// First object of a type's DataTypeClass queue, or NULL (NULL type too).
void *QZDataBase_GetTypeClassOf_Internal(StructOfQZDataBase *DataType);
// The type class of the data's type (QZDataBase_GetDataType_Internal), or NULL.
void *QZDataBase_GetDataTypeClass_Internal(StructOfQZDataBase *Data);
VS_BOOL QZDataBase_IsPreDefined_DataType(StructOfQZDataBase *Data);
VS_PARAPKGPTR QZDataBase_GetDataBuf_Internal(StructOfQZDataBase *Data);
StructOfQZDataBase *QZDataBase_GetObjectHasBuf_Internal(StructOfQZDataBase *Data);
StructOfQZDataBase *QZDataBase_GetDirectDataInst_Internal(StructOfQZDataBase *Data);
StructOfQZDataBase *QZDataBase_GetDataType_Internal(StructOfQZDataBase *Data);
// A new sub-type of a data class object or type (its class is ClassOrType),
// named TypeName and entered as a plain data type; NULL when the host makes
// none. The module keeps the reference the host gave it.
StructOfQZDataBase *QZDataBase_NewSubType_Internal(void *ClassOrType, const VS_CHAR *TypeName);

// ---------------------------------------------------------------------------
// Source links, equality, kinds, ownership and duplication
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

// ---------------------------------------------------------------------------
// Approval and accept / reject / exclude lists
// ---------------------------------------------------------------------------
struct StructOfExcludeProcItem {
    VS_UUID ObjectID;
    StructOfExcludeProcItem *Up;
    StructOfExcludeProcItem *Down;
};

void QZDataBase_Disapproved_Internal(StructOfQZDataBase *QZData);

// Changes to exclusion lists, for the scheduler's indexes of env data: every
// place that removes keys from a list or replaces it calls
// QZDataBase_ExcludeNarrowed (the epoch advances); every place that adds a
// key calls QZDataBase_ExcludeWidened with the data. The notes of widened
// lists are an ID index (data ID -> 1, NULL before the first note) that the
// scheduler empties as it takes them.
void QZDataBase_ExcludeNarrowed();
uint64_t QZDataBase_ExcludeEpoch();
void QZDataBase_ExcludeWidened(StructOfQZDataBase *Data);
void *QZDataBase_ExcludeWidenedNotes();
VS_BOOL QZDataBase_IsReject_Internal(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc);
VS_BOOL QZDataBase_AddReject_Internal(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc);
VS_BOOL QZDataBase_AddAccept_Internal(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc);

// ---------------------------------------------------------------------------
// Tags
// ---------------------------------------------------------------------------
// Pushes exactly one string (the tag, or "" when none can be made); returns 1.
VS_INT32 QZDataBase_GetTag_Internal(StructOfQZDataBase *Data);
// Writes the tag label of a type's name ("data_global_<name>" or
// "data_<space>_<name>") into Buf; FALSE (Buf empty) for a missing object or
// a name longer than QZDATA_TAGNAME_MAX characters.
VS_BOOL QZDataBase_GetTagLabel_Internal(void *TypeObject, VS_CHAR *Buf, VS_INT32 BufSize);

// ---------------------------------------------------------------------------
// Properties and companion classes
// ---------------------------------------------------------------------------
// The definition item [name, default] of PropertyName on Data, its class, its
// class's class and so on, up to the first predefined class object; NULL when
// none. Borrowed.
VS_PARAPKGPTR QZDataBase_Property_IsExist(StructOfQZDataBase *Data, const VS_CHAR *PropertyName);

// The companion classes of a type are kept in its local buffer
// (QZDataSetBase_Typed, QZObjectDataBase_Typed, QZBufDataBase_Typed) as host
// atomic handles, not as record pointers: a companion that a script has freed
// then reads as absent instead of as a stale address. These return the live
// companion of Type itself (not of its ancestors), or NULL.
void *QZDataBase_GetDataSetTyped_Internal(StructOfQZDataBase *Type);
void *QZDataBase_GetObjectDataTyped_Internal(StructOfQZDataBase *Type);
void *QZDataBase_GetBufDataTyped_Internal(StructOfQZDataBase *Type);

// ---------------------------------------------------------------------------
// Attribute list
// ---------------------------------------------------------------------------
// Writes the 14-item attribute list of Data into List and moves the three
// list indexes out of Data into it (the fields become NULL). FALSE, with
// nothing moved, for a NULL or read-only List.
VS_BOOL QZDataBase_SaveZelDataProperty_Internal(StructOfQZDataBase *Data, VS_PARAPKGPTR List);
// Destroys the list indexes that List still holds (items 10 to 12) and sets
// those items to 0; the other items stay. For the holder of a list that is
// about to let it go (the before-free notice of a type class): indexes that
// nobody took back would otherwise outlive every reference to them.
void QZDataBase_ClearZelDataPropertyIndexes_Internal(VS_PARAPKGPTR List);

// ---------------------------------------------------------------------------
// Value list and data record
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
// A link that would make the procs' order loop back on itself is left as it
// was.
void QZProcChain_Load_ParaPkg_FixObjectID(VS_PARAPKGPTR QZProcRecord, VS_PARAPKGPTR NextQZProcRecord);
// The JSON package {"PackageInfo", "Value"} of a value buffer (a new package
// the caller owns), or NULL for a missing or empty buffer or one that cannot
// be written.
VS_PARAPKGPTR QZProcChain_SaveToJSonPkg_Internal(void *RefObject, VS_PARAPKGPTR Buf);
// The value buffer rebuilt from a JSON package's "Value" (a new package the
// caller owns), or NULL when it is missing or cannot be read.
VS_PARAPKGPTR QZProcChain_LoadFromJSonPkg_Internal(void *RefObject, VS_PARAPKGPTR JSonPkg);

VS_BOOL QZDataBase_SaveTo_Inernal(StructOfQZDataBase *QZData, VS_PARAPKGPTR ValueBuf, VS_BOOL SaveProcObjectID,
                                  VS_BOOL CallFromGetTag);
// A new data object built from a data record, holding one GC lock for the
// caller; NULL on failure.
void *QZDataBase_LoadFrom_Internal(VS_PARAPKGPTR ValueBufWithDepends);

// ---------------------------------------------------------------------------
// Rules, sets and buffer data
// ---------------------------------------------------------------------------
// TRUE for the QZRuleBase class object and every rule.
VS_BOOL QZRuleBase_IsRuleObject(void *Object);
StructOfQZRuleBase *QZRuleBase_GetRuleType_Internal(StructOfQZRuleBase *QZRule);
// A new rule of the record's rule type, holding one GC lock for the caller;
// NULL on failure. QZRuleBase only names itself in messages (may be NULL).
void *QZRuleBase_LoadFrom_Internal(StructOfQZRuleBase *QZRuleBase, VS_PARAPKGPTR ValueBufWithDepends);

VS_BOOL QZDataSetBase_IsSubSet_Internal(StructOfQZDataSetBase *QZDataSet, StructOfQZDataSetBase *SubQZDataSet);

// A copy of Pkg with every object normalised and every nested package copied
// the same way; a new empty package for NULL. The caller owns it.
VS_PARAPKGPTR QZBufDataBase_Create_Internal(VS_PARAPKGPTR Pkg);

#endif
