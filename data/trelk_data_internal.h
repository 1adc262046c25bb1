// Helpers that only the data files share: the class walk and the argument and
// creation helpers of the data luafuncs, load sessions of the value-list
// readers, the attribute hooks installed at creation and the pieces the text
// form and the saved record share. Nothing outside data/ includes this header;
// what every subsystem uses (names, ID texts, arguments, Trelk_Fail) is the
// module's helper set in trelk_helpers.h.
#ifndef TRELK_DATA_INTERNAL_H
#define TRELK_DATA_INTERNAL_H

#include "trelk_data_api.h"
#include "trelk_helpers.h"

#include <cstdint>
#include <cstring>

// The message tail for a value that holds an object of no savable class.
extern const VS_CHAR *const TrelkData_ForeignObjectText;

// Appends Text of any length to Out (Print alone stops at 10239 characters).
void TrelkData_PrintLongText(ClassOfStringPrintBuf *Out, const VS_CHAR *Text);

// Module-private data: read by module code directly, not through the table
// the dynamic linker keeps for what the library exports.
#if defined(_WIN32)
#define TRELK_DATA_HIDDEN
#else
#define TRELK_DATA_HIDDEN __attribute__((visibility("hidden")))
#endif

// ---------------------------------------------------------------------------
// Data objects and their classes
// ---------------------------------------------------------------------------
// The records of the five predefined class objects, entered by each one's
// creation event (recognised by ID) and cleared by its end. Attribute reads
// and kind tests ask whether a class is predefined at every step of a class
// walk; with all five known that is five comparisons without a call.
struct TrelkDataPreDefinedClasses {
    void *Record[5];
    VS_INT32 Known; // records entered
};
extern TrelkDataPreDefinedClasses TrelkData_PreDefined TRELK_DATA_HIDDEN;

// QZDataBase_IsPreDefined_DataType, inline while the five are known.
inline VS_BOOL TrelkData_IsPreDefined(const void *Data)
{
    const TrelkDataPreDefinedClasses &P = TrelkData_PreDefined;
    if (P.Known == 5)
        return Data == P.Record[0] || Data == P.Record[1] || Data == P.Record[2] || Data == P.Record[3] ||
                       Data == P.Record[4]
                   ? VS_TRUE
                   : VS_FALSE;
    return QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Data);
}

// The QZDataBase class object, recognised by its class ID.
VS_BOOL TrelkData_IsDataBaseClassObject(void *Object);
// An instance of QZDataBase (the class object itself excluded).
VS_BOOL TrelkData_IsDataInstance(void *Object);
// IsType set, or one of the five predefined class objects.
inline VS_BOOL TrelkData_IsTypeLike(StructOfQZDataBase *Data)
{
    return Data != NULL && (Data->IsType || TrelkData_IsPreDefined(Data)) ? VS_TRUE : VS_FALSE;
}
// A data object whose data type is itself: a type or a predefined class.
VS_BOOL TrelkData_IsOwnDataType(StructOfQZDataBase *Data);
// The class of a data object, when that class is a data object too (the
// class chain of a data object normally is; anything else ends a walk).
StructOfQZDataBase *TrelkData_ClassOf(void *Object);
// The same for a data object that is not a predefined class, without the
// check: such an object is an instance of the QZDataBase class object, so its
// class is either that class object or another instance of it. For walks up
// a chain of data objects that stop at the predefined classes.
inline StructOfQZDataBase *TrelkData_DataClassOf(StructOfQZDataBase *Data)
{
    return (StructOfQZDataBase *)SRV->GetClass(Data);
}

// A set whose members count one by one in equality, duplication and subsets:
// the strict set kind, or an instance of a set type a script made.
VS_BOOL TrelkData_IsMemberSet(StructOfQZDataBase *Data);
// The same for an object known to be a data object.
VS_BOOL TrelkData_IsMemberSetData(StructOfQZDataBase *Data);

// Member copies a set's Dup made: the set holds each (its creation lock, or
// the reference added to a type class's "Dup" result) until the copy is
// removed from it (ReleaseOwnedCopy) or the set is freed or its Dup fails
// (ReleaseOwnedCopies). A released copy that nothing else holds is freed.
void TrelkData_OwnCopy(StructOfQZDataBase *Set, void *Copy);
// Releases a copy that no set took, freeing it when nothing else holds it.
void TrelkData_DropCopy(void *Copy);
void TrelkData_ReleaseOwnedCopy(StructOfQZDataBase *Set, void *Member);
void TrelkData_ReleaseOwnedCopies(StructOfQZDataBase *Set);

// An instance of QZProcBase or of QZProcChainBase: what a result cache is
// keyed by and what RunProc runs.
VS_BOOL TrelkData_IsProcOrChain(void *Object);

// ---------------------------------------------------------------------------
// Luafunc helpers
// ---------------------------------------------------------------------------
// Argument 1 of a luafunc when it is a data object, else NULL.
StructOfQZDataBase *TrelkData_SelfArg();
// Create on an instance: makes another instance of Self's own class and hands
// it to the script; refuses any input. Returns the count of pushed values.
VS_INT32 TrelkData_CreateFromInstance(void *Self);
// A new instance of Self's data type, NULL when it has none or the host makes
// none; the module holds the host's reference.
StructOfQZDataBase *TrelkData_NewOfDataType(StructOfQZDataBase *Self);

// The type name argument of a CreateType at stack position Index; NULL when
// it is no string. The host cuts a name at a NUL byte, so that two different
// names would give one type name, one tag and one saved class name: such a
// name is refused, the refusal (nil) pushed, and FALSE returned.
VS_BOOL TrelkData_TypeNameArg(void *Self, VS_INT32 Index, const VS_CHAR **Name);
// The class a saved record names in its string item Index; NULL when there is
// none. A name holding a NUL byte names no class (no type can have one): cut
// at the NUL, it would find another type.
void *TrelkData_FindClassByName(VS_PARAPKGPTR Pkg, VS_INT32 Index);

// After a script call (a type-class hook, a rule event, a callback), which
// may free anything: whether Object, whose ID was taken before the call, is
// still that live object. A vanished one ends the call with its failure value.
VS_BOOL TrelkData_Alive(void *Object, const VS_UUID *ID);

// ---------------------------------------------------------------------------
// Releasing what a data object holds
// ---------------------------------------------------------------------------
// Releases a result cache: unlocks every listed object still alive, frees
// the entries and the index, and sets *Index NULL.
void TrelkData_ReleaseCacheIndex(void **Index);
// Detaches a rule attachment item from its data and frees it.
void TrelkData_ReleaseRuleAttach(void *Item);

// ---------------------------------------------------------------------------
// Load sessions
// ---------------------------------------------------------------------------
// A load session spans one outermost reader call and everything it reads in
// turn. Objects the readers make are entered; when the outermost call fails,
// those that nothing holds yet (no parent, no lock, no script reference) are
// freed, so that a refused input leaves no object behind.
void TrelkData_LoadSessionBegin();
void TrelkData_LoadSessionAdd(void *Object);
void TrelkData_LoadSessionEnd(VS_BOOL Ok);

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
