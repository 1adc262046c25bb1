// Data objects: properties and the typed companion classes of a data type,
// attribute access by index (data[i]) and by property name (data.name), the
// attribute list handed to the host's Zel object layer, the per-data result
// cache, and runs of procs with a data object as input.
//
// Everything here that other subsystems call is declared in this header: the
// _Internal counterparts take records, the luafuncs take the script state and
// return the number of results they pushed.
#ifndef TRELK_DATA2_H
#define TRELK_DATA2_H

#include "quel_trelk.h"
#include "trelk_data.h"

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

VS_INT32 QZDataBase_CreateProperty(void *L);
VS_INT32 QZDataBase_IsProperty(void *L);
VS_INT32 QZDataBase_HasProperty(void *L);
VS_INT32 QZDataBase_GetDataSetBase(void *L);
VS_INT32 QZDataBase_GetObjectDataBase(void *L);
VS_INT32 QZDataBase_GetBufDataBase(void *L);
VS_INT32 QZDataBase_Wrap(void *L);
VS_INT32 QZDataBase_SetReadOnly(void *L);

// ---------------------------------------------------------------------------
// Indexed and property attribute access (hooks installed at creation)
// ---------------------------------------------------------------------------
VS_BOOL QZDataBase_RegGetValue(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_UWORD Para,
                               VS_BOOL GetAllRawAttributeFlag);
VS_BOOL QZDataBase_RegSetValue(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_INT32 Index,
                               VS_UWORD Para);

// ---------------------------------------------------------------------------
// Attribute list, result cache, RunString and RunProc
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

VS_INT32 QZDataBase_SaveZelDataProperty(void *L);
VS_INT32 QZDataBase_RestoreZelDataProperty(void *L);
VS_INT32 QZDataBase_ClearZelDataProperty(void *L);
VS_INT32 QZDataBase_SetCache(void *L);
VS_INT32 QZDataBase_GetCache(void *L);
VS_INT32 QZDataBase_ClearCache(void *L);
VS_INT32 QZDataBase_RunString(void *L);
VS_INT32 QZDataBase_RunProc(void *L);

#endif
