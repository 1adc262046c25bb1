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

// Data objects whose free-callback list has targets, and data objects with a
// property package, as marks along class chains (trelk_chain_mark.h): freeing
// a datum, or reading an attribute of one, asks only the classes up its chain
// that have either, so neither costs the depth of a deep prototype chain.
// Whoever may give an object the one or the other calls Trelk_ChainMarkGained
// on its kind.
extern TrelkChainMarkKind TrelkData_FreeCallbackMark;
extern TrelkChainMarkKind TrelkData_PropertyMark;

// Appends Text of any length to Out (Print alone stops at 10239 characters).
void TrelkData_PrintLongText(ClassOfStringPrintBuf *Out, const VS_CHAR *Text);

// The QZDataBase class object, recognised by its class ID.
VS_BOOL TrelkData_IsDataBaseClassObject(void *Object);

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

// TrelkData_IsDataBaseClassObject, inline while the five are known.
inline VS_BOOL TrelkData_IsDataBaseClass(const void *Object)
{
    if (TrelkData_PreDefined.Known == 5)
        return Object == TrelkData_PreDefined.Record[0] ? VS_TRUE : VS_FALSE;
    return TrelkData_IsDataBaseClassObject((void *)Object);
}

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

// A luafunc that first checks that its argument is a data object and then
// walks the argument's class chain (kind tests, data types, equality) would
// ask the host for the same classes several times over. The chain is read
// once instead, and the check is the walk itself: Link[0] is the object,
// Link[i + 1] the class of Link[i], up to the QZDataBase class object, which
// makes the object a data object. An object keeps its class for life, so the
// links hold while the object lives.
#define TRELKDATA_CHAIN_LINKS 8
struct TrelkDataChain {
    void *Link[TRELKDATA_CHAIN_LINKS];
    VS_INT32 Count;    // links read
    VS_BOOL Complete;  // the last link is the QZDataBase class object
};
// Reads Object's chain; the answer of QZDataBase_IsDataObject. A data object
// whose chain is longer than the links is answered by the host, and its
// chain left incomplete: the walks below then ask the host as before.
//
// Complete chains are kept in a small cache: scripts call on the same objects
// again and again, and a luafunc call on a data object follows the read of
// the luafunc's name through the data's get hook. An entry holds only while
// no data object has been freed since it was read (a freed record's address
// may come back as another object's): every data object's free event, and
// every registration of a predefined class (a host started again), forgets
// them all. The links of a complete chain are data objects, and an object
// keeps its class for life, so nothing else can change them.
VS_BOOL TrelkData_ReadChain(void *Object, TrelkDataChain *Chain);
void TrelkData_ForgetChains();
// The data object of a chain read for one.
inline StructOfQZDataBase *TrelkData_ChainData(const TrelkDataChain *Chain)
{
    return (StructOfQZDataBase *)Chain->Link[0];
}
// QZDataBase_GetDataType_Internal of the chain's data object; *At is the
// type's link (-1 without a complete chain).
StructOfQZDataBase *TrelkData_ChainDataType(const TrelkDataChain *Chain, VS_INT32 *At);

// A set whose members count one by one in equality, duplication and subsets:
// the strict set kind, or an instance of a set type a script made.
VS_BOOL TrelkData_IsMemberSet(StructOfQZDataBase *Data);

// Member copies a set's Dup made: the set holds each (its creation lock, or
// the reference added to a type class's "Dup" result) until the copy is
// removed from it (ReleaseOwnedCopy) or the set is freed or its Dup fails
// (ReleaseOwnedCopies). A released copy that nothing else holds is freed.
void TrelkData_OwnCopy(StructOfQZDataBase *Set, void *Copy);
// Releases a copy that no set took, freeing it when nothing else holds it.
void TrelkData_DropCopy(void *Copy);
void TrelkData_ReleaseOwnedCopy(StructOfQZDataBase *Set, void *Member);
void TrelkData_ReleaseOwnedCopies(StructOfQZDataBase *Set);
// Destroys a holder's set member index and lets go of the package it
// answered for (the data object's freed event).
void TrelkData_DropMemberIndex(StructOfQZDataBaseLocalBuf *LocalBuf);

// An instance of QZProcBase or of QZProcChainBase: what a result cache is
// keyed by and what RunProc runs.
VS_BOOL TrelkData_IsProcOrChain(void *Object);

// ---------------------------------------------------------------------------
// Luafunc helpers
// ---------------------------------------------------------------------------
// Argument 1 of a luafunc when it is a data object, else NULL.
StructOfQZDataBase *TrelkData_SelfArg();
// The same, with the argument's class chain read into Chain.
StructOfQZDataBase *TrelkData_SelfArgChain(TrelkDataChain *Chain);
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

// A scalar on its way into a property: a script value being written, or the
// value of a saved record being loaded. Both take the same conversions, so
// a record cannot hold what a write would refuse.
enum TrelkPropertyValueKind {
    TRELK_PROPVALUE_OTHER,
    TRELK_PROPVALUE_NUMBER,  // a double
    TRELK_PROPVALUE_INTEGER, // 32- or 64-bit
    TRELK_PROPVALUE_BOOL,
    TRELK_PROPVALUE_STRING,
};
struct TrelkPropertyValue {
    TrelkPropertyValueKind Kind;
    VS_DOUBLE Number;
    VS_INT64 Integer;
    VS_BOOL Bool;
    const VS_CHAR *Text;
    VS_INT32 Length;
    const VS_CHAR *TypeName; // the value's type as reports name it
};
enum TrelkPropertyResult {
    TRELK_PROPERTY_STORED,
    TRELK_PROPERTY_NO_CONVERSION, // the property's type takes no value of this type
    TRELK_PROPERTY_OUT_OF_RANGE,  // a number the property's width cannot hold
    TRELK_PROPERTY_NOT_STORED,    // the package refused the item
};
// The value of item i of Pkg as a property value.
void TrelkData_PropertyValueOfItem(VS_PARAPKGPTR Pkg, VS_INT32 i, TrelkPropertyValue *Value);
// Stores Value as item 1 of Item, converted to DefType (the item type of the
// property's default). Nothing is stored unless the result is STORED.
TrelkPropertyResult TrelkData_ConvertPropertyValue(const TrelkPropertyValue *Value, VS_INT32 DefType,
                                                   VS_PARAPKGPTR Item);
// The property's type as reports name it ("32-bit integer", ...), and the
// range that the out-of-range reports add to it.
const VS_CHAR *TrelkData_PropertyTypeName(VS_INT32 DefType);
const VS_CHAR *TrelkData_PropertyRange(VS_INT32 DefType);

#endif
