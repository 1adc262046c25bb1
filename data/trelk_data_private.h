// Helpers shared by the QZDataBase source files only.
#ifndef TRELK_DATA_PRIVATE_H
#define TRELK_DATA_PRIVATE_H

#include "trelk_data.h"

#include <cstdint>
#include <cstring>

#define SRV QZObject_XRQInterface

// Level-1 report about one object: "[<ID text>:<name>]" followed by Text.
#define TRELK_DATA_RAISE(Object, Text, ...)                                                                  \
    QZRealmBase_RaiseException((Object), TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "[%s:%s]" Text,          \
                               QZDataBase_IDText(Object), TrelkData_Name(Object), ##__VA_ARGS__)

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

#endif
