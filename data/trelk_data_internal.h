// Helpers that only the data files share: argument and object helpers of the
// data luafuncs, load sessions of the value-list readers, the attribute hooks
// installed at creation and the pieces the text form and the saved record
// share. Nothing outside data/ includes this header.
#ifndef TRELK_DATA_INTERNAL_H
#define TRELK_DATA_INTERNAL_H

#include "trelk_data_api.h"

#include <cstdint>
#include <cstring>

#define SRV QZObject_XRQInterface

// Level-1 report about one object: "[<ID text>:<name>]" followed by Text.
#define TRELK_DATA_RAISE(Object, Text, ...)                                                                  \
    QZRealmBase_RaiseException((Object), TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "[%s:%s]" Text,          \
                               QZDataBase_IDText(Object), TrelkData_Name(Object), ##__VA_ARGS__)

// UUID text of the object's ID (host ring buffer), for "[%s:%s]" messages.
const VS_CHAR *QZDataBase_IDText(void *Object);
// Name of an object, "" for none.
const VS_CHAR *TrelkData_Name(void *Object);
VS_BOOL TrelkData_UuidIsZero(const VS_UUID *ID);
VS_BOOL TrelkData_UuidEqual(const VS_UUID *a, const VS_UUID *b);
// The QZDataBase class object, recognised by its class ID.
VS_BOOL TrelkData_IsDataBaseClassObject(void *Object);
// An instance of QZDataBase (the class object itself excluded).
VS_BOOL TrelkData_IsDataInstance(void *Object);
// IsType set, or one of the five predefined class objects.
VS_BOOL TrelkData_IsTypeLike(StructOfQZDataBase *Data);
// Argument 1 of a luafunc when it is a data object, else NULL.
StructOfQZDataBase *TrelkData_SelfArg();
// An object argument, normalised from a raw script object; NULL for non-objects.
void *TrelkData_ObjectArg(VS_INT32 Index);

// Releases a result cache: unlocks every listed object still alive, frees
// the entries and the index, and sets *Index NULL.
void TrelkData_ReleaseCacheIndex(void **Index);

// Detaches a rule attachment item from its data and frees it.
void TrelkData_ReleaseRuleAttach(void *Item);

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

// ---------------------------------------------------------------------------
// Load sessions
// ---------------------------------------------------------------------------
// A load session spans one outermost reader call and everything it reads in
// turn. Objects the readers make are entered; when the outermost call fails,
// those that nothing holds yet (no parent, no lock, no script reference) are
// freed, so that a refused input leaves no object behind.
void TrelkData3_LoadSessionBegin();
void TrelkData3_LoadSessionAdd(void *Object);
void TrelkData3_LoadSessionEnd(VS_BOOL Ok);

// ---------------------------------------------------------------------------
// Pieces shared across the data files
// ---------------------------------------------------------------------------
// Indexed and property attribute access: the hooks installed at creation.
VS_BOOL QZDataBase_RegGetValue(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_UWORD Para,
                               VS_BOOL GetAllRawAttributeFlag);
VS_BOOL QZDataBase_RegSetValue(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_INT32 Index,
                               VS_UWORD Para);
// Property package for the text form and the saved record: ancestors first,
// instance values over type definitions.
void QZDataBase_QuelToString_CollectProperty(StructOfQZDataBase *Data, VS_PARAPKGPTR PropertyPkg);

#endif
