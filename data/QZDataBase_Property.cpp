// Properties of data types and the typed companion classes: a type declares
// named scalar properties with a default; the first declaration on a type
// derived from the plain data class also makes the type's set, object-data
// and buffer-data companion classes, so that those kinds of data can carry
// the type's properties too.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

// The definition or value item of Name in one property package: a package
// whose item 0 is that exact text. Packages restored from an attribute list
// may hold anything, so every item is checked before it is read.
static VS_INT32 FindPropertyItem(VS_PARAPKGPTR PropertyPkg, const VS_CHAR *Name)
{
    if (PropertyPkg == NULL || Name == NULL) return -1;
    for (VS_INT32 i = 0; i < PropertyPkg->GetNumber(); i++) {
        if (PropertyPkg->GetType(i) != VSTYPE_PARAPKG) continue;
        VS_PARAPKGPTR Item = PropertyPkg->GetParaPackage(i);
        const VS_CHAR *ItemName = Item != NULL && Item->GetType(0) == VSTYPE_STRING ? Item->GetStr(0) : NULL;
        if (ItemName != NULL && strcmp(ItemName, Name) == 0) return i;
    }
    return -1;
}

VS_PARAPKGPTR QZDataBase_Property_IsExist(StructOfQZDataBase *Data, const VS_CHAR *PropertyName)
{
    if (PropertyName == NULL) return NULL;
    for (StructOfQZDataBase *X = Data; X != NULL && !TrelkData_IsPreDefined(X);
         X = TrelkData_ClassOf(X)) {
        VS_INT32 Index = FindPropertyItem(X->PropertyPkg, PropertyName);
        if (Index >= 0) return X->PropertyPkg->GetParaPackage(Index);
    }
    return NULL;
}

// ---------------------------------------------------------------------------
// Property value conversions
// ---------------------------------------------------------------------------
// Whether a number can be truncated into [Low, High] without leaving it.
static VS_BOOL TruncatesInto(VS_DOUBLE Value, VS_DOUBLE Low, VS_DOUBLE High)
{
    if (std::isnan(Value)) return VS_FALSE;
    VS_DOUBLE Whole = std::trunc(Value);
    return Whole >= Low && Whole <= High ? VS_TRUE : VS_FALSE;
}

const VS_CHAR *TrelkData_PropertyTypeName(VS_INT32 DefType)
{
    switch (DefType) {
    case VSTYPE_INT32:
        return "32-bit integer";
    case VSTYPE_INT64:
        return "64-bit integer";
    case VSTYPE_DOUBLE:
        return "double";
    case VSTYPE_BOOL:
        return "boolean";
    case VSTYPE_STRING:
        return "string";
    default:
        return "unknown";
    }
}

const VS_CHAR *TrelkData_PropertyRange(VS_INT32 DefType)
{
    switch (DefType) {
    case VSTYPE_INT32:
        return "32-bit integer, -2147483648 to 2147483647";
    case VSTYPE_INT64:
        return "64-bit integer, -9223372036854775808 to 9223372036854775807";
    default:
        return TrelkData_PropertyTypeName(DefType);
    }
}

void TrelkData_PropertyValueOfItem(VS_PARAPKGPTR Pkg, VS_INT32 i, TrelkPropertyValue *Value)
{
    memset(Value, 0, sizeof *Value);
    Value->Kind = TRELK_PROPVALUE_OTHER;
    switch (Pkg->GetType(i)) {
    case VSTYPE_INT32:
        Value->Kind = TRELK_PROPVALUE_INTEGER;
        Value->Integer = Pkg->GetInt(i);
        Value->TypeName = "integer";
        return;
    case VSTYPE_INT64:
        Value->Kind = TRELK_PROPVALUE_INTEGER;
        Value->Integer = Pkg->GetInt64(i);
        Value->TypeName = "64-bit integer";
        return;
    case VSTYPE_DOUBLE:
        Value->Kind = TRELK_PROPVALUE_NUMBER;
        Value->Number = Pkg->GetFloat(i);
        Value->TypeName = "number";
        return;
    case VSTYPE_BOOL:
        Value->Kind = TRELK_PROPVALUE_BOOL;
        Value->Bool = Pkg->GetBool(i);
        Value->TypeName = "boolean";
        return;
    case VSTYPE_STRING:
        Value->Kind = TRELK_PROPVALUE_STRING;
        Value->Text = Pkg->GetStrEx(i, &Value->Length);
        Value->TypeName = "string";
        return;
    case VSTYPE_PARAPKG:
        Value->TypeName = "package";
        return;
    case VSTYPE_OBJECT:
        Value->TypeName = "object";
        return;
    case VSTYPE_BIN:
        Value->TypeName = "binary buffer";
        return;
    case VSTYPE_TIME:
        Value->TypeName = "time";
        return;
    default:
        Value->TypeName = "nil";
        return;
    }
}

TrelkPropertyResult TrelkData_ConvertPropertyValue(const TrelkPropertyValue *Value, VS_INT32 DefType,
                                                   VS_PARAPKGPTR Item)
{
    VS_BOOL Stored;
    switch (DefType) {
    case VSTYPE_INT32:
        if (Value->Kind == TRELK_PROPVALUE_NUMBER) {
            if (!TruncatesInto(Value->Number, (VS_DOUBLE)INT32_MIN, (VS_DOUBLE)INT32_MAX))
                return TRELK_PROPERTY_OUT_OF_RANGE;
            Stored = Item->InsertInt(1, (VS_INT32)std::trunc(Value->Number));
        } else if (Value->Kind == TRELK_PROPVALUE_INTEGER) {
            if (Value->Integer < INT32_MIN || Value->Integer > INT32_MAX) return TRELK_PROPERTY_OUT_OF_RANGE;
            Stored = Item->InsertInt(1, (VS_INT32)Value->Integer);
        } else {
            return TRELK_PROPERTY_NO_CONVERSION;
        }
        break;
    case VSTYPE_INT64:
        if (Value->Kind == TRELK_PROPVALUE_NUMBER) {
            // 2^63 itself is not representable as a signed 64-bit value.
            if (!TruncatesInto(Value->Number, -9223372036854775808.0, 9223372036854774784.0))
                return TRELK_PROPERTY_OUT_OF_RANGE;
            Stored = Item->InsertInt64(1, (VS_INT64)std::trunc(Value->Number));
        } else if (Value->Kind == TRELK_PROPVALUE_INTEGER) {
            Stored = Item->InsertInt64(1, Value->Integer);
        } else {
            return TRELK_PROPERTY_NO_CONVERSION;
        }
        break;
    case VSTYPE_DOUBLE:
        if (Value->Kind == TRELK_PROPVALUE_NUMBER)
            Stored = Item->InsertFloat(1, Value->Number);
        else if (Value->Kind == TRELK_PROPVALUE_INTEGER)
            Stored = Item->InsertFloat(1, (VS_DOUBLE)Value->Integer);
        else
            return TRELK_PROPERTY_NO_CONVERSION;
        break;
    case VSTYPE_BOOL:
        if (Value->Kind != TRELK_PROPVALUE_BOOL) return TRELK_PROPERTY_NO_CONVERSION;
        Stored = Item->InsertBool(1, Value->Bool);
        break;
    case VSTYPE_STRING:
        if (Value->Kind != TRELK_PROPVALUE_STRING) return TRELK_PROPERTY_NO_CONVERSION;
        Stored = Value->Text != NULL ? Item->InsertStrEx(1, Value->Text, Value->Length) : VS_FALSE;
        break;
    default:
        return TRELK_PROPERTY_NO_CONVERSION;
    }
    return Stored ? TRELK_PROPERTY_STORED : TRELK_PROPERTY_NOT_STORED;
}

// ---------------------------------------------------------------------------
// Companion classes
// ---------------------------------------------------------------------------
enum CompanionKind { COMPANION_BUF, COMPANION_OBJECT, COMPANION_SET };

static void **CompanionField(StructOfQZDataBaseLocalBuf *LocalBuf, CompanionKind Kind)
{
    switch (Kind) {
    case COMPANION_BUF:
        return &LocalBuf->QZBufDataBase_Typed;
    case COMPANION_OBJECT:
        return &LocalBuf->QZObjectDataBase_Typed;
    case COMPANION_SET:
    default:
        return &LocalBuf->QZDataSetBase_Typed;
    }
}

static void *CompanionOf(StructOfQZDataBase *Type, CompanionKind Kind)
{
    StructOfQZDataBaseLocalBuf *LocalBuf = Type != NULL ? QZDataBase_GetLocalBuf(Type) : NULL;
    if (LocalBuf == NULL) return NULL;
    void *Atomic = *CompanionField(LocalBuf, Kind);
    return Atomic != NULL ? SRV->AtomicToObject(Atomic) : NULL;
}

void *QZDataBase_GetDataSetTyped_Internal(StructOfQZDataBase *Type)
{
    return CompanionOf(Type, COMPANION_SET);
}

void *QZDataBase_GetObjectDataTyped_Internal(StructOfQZDataBase *Type)
{
    return CompanionOf(Type, COMPANION_OBJECT);
}

void *QZDataBase_GetBufDataTyped_Internal(StructOfQZDataBase *Type)
{
    return CompanionOf(Type, COMPANION_BUF);
}

// Makes one companion class of Type: a type whose class is Type, named after
// it. The full name is kept: two long type names that share their first
// characters would otherwise give one companion name to two classes.
static void MakeCompanion(StructOfQZDataBase *Type, StructOfQZDataBaseLocalBuf *LocalBuf, CompanionKind Kind)
{
    void **Field = CompanionField(LocalBuf, Kind);
    if (*Field != NULL && SRV->AtomicToObject(*Field) != NULL) return;
    *Field = NULL;

    static const VS_CHAR *const Suffix[] = {"_Buf_", "_Object_", "_Set_"};
    static const uintptr_t Code[] = {QZDATATYPE_KIND_BUF, QZDATATYPE_KIND_OBJECT, QZDATATYPE_KIND_SET};
    // A companion answers to the luafuncs of its predefined class.
    static const StructOfTrelkLuaFuncEntry *const Funcs[] = {QZBufDataBase_LuaFuncTable,
                                                             QZObjectDataBase_LuaFuncTable,
                                                             QZDataSetBase_LuaFuncTable};

    const VS_CHAR *TypeName = Trelk_Name(Type);
    size_t NameSize = strlen(TypeName) + strlen(Suffix[Kind]) + 1;
    VS_CHAR *Name = (VS_CHAR *)SRV->Malloc_Nor((VS_ULONG)NameSize);
    if (Name == NULL) return;
    snprintf(Name, NameSize, "%s%s", TypeName, Suffix[Kind]);

    StructOfQZDataBase *Companion = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(Type), 0, NULL);
    if (Companion == NULL) {
        SRV->Free(Name);
        return;
    }
    // The companion keeps its creation lock: it lives as long as its type
    // (freeing the type frees the objects made from it).
    Companion->IsType = VS_TRUE;
    SRV->SetName(Companion, Name);
    SRV->Free(Name);

    void *Atomic = SRV->ObjectToAtomic(Companion);
    for (const StructOfTrelkLuaFuncEntry *Entry = Funcs[Kind]; Entry->Name != NULL; Entry++)
        SRV->SetAtomicFunction(SRV->CreateAtomicLuaFunction(Atomic, Entry->Name, NULL, ""), Entry->Func);
    if (Kind == COMPANION_SET) {
        SRV->CreateAtomicAttribute(Atomic, "DataBaseID", (VS_UINT8)VS_ATTRIBUTETYPE_UUID, 0, 0, "", "");
        SRV->SetSysEvent(Atomic, QZDataSetBase_SysEventHandler);
    }

    *Field = Atomic;
    LastNewTypeTickCount = vs_tm_gettickcount64();
    SRV->InsertIDKey(GlobalDataTypeIndexTree, SRV->GetIDEx(Companion), (void *)Code[Kind]);
}

// Companions are made for types of the plain data class only; not for a
// companion itself, nor for types of the set, object-data or buffer-data
// classes (which are already of one kind), nor for frame data.
static VS_BOOL WantsCompanions(StructOfQZDataBase *Type)
{
    StructOfQZDataBase *T = Type;
    while (T != NULL && !TrelkData_IsPreDefined(T)) {
        uintptr_t Code = (uintptr_t)SRV->FindIDKey(GlobalDataTypeIndexTree, SRV->GetIDEx(T));
        if (Code != 0 && Code != QZDATATYPE_KIND_DATA) return VS_FALSE;
        T = TrelkData_ClassOf(T);
    }
    return T != NULL && TrelkData_IsDataBaseClassObject(T) ? VS_TRUE : VS_FALSE;
}

// Instances of the type that are data, not types: companions and sub-types
// are objects made from the type too, but they hold no values of it, so a
// type that has them may still gain properties.
static VS_INT32 CountDataInstances(StructOfQZDataBase *Type)
{
    VS_QUERYRECORD Query;
    vs_memset(&Query, 0, sizeof(Query));
    VS_INT32 Count = 0;
    for (void *X = SRV->QueryFirstInst(&Query, Type); X != NULL; X = SRV->QueryNextInst(&Query, Type))
        if (!QZDataBase_IsDataObject(X) || !((StructOfQZDataBase *)X)->IsType) Count++;
    SRV->QueryInstClose(&Query);
    return Count;
}

// ---------------------------------------------------------------------------
// Luafuncs
// ---------------------------------------------------------------------------

VS_INT32 QZDataBase_CreateProperty(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) return Trelk_PushBool(VS_FALSE);
    if (TrelkData_IsPreDefined(Self))
        return Trelk_FailFalse(Self,
                               "'s CreateProperty failed, the Property can only be set for predefined data type");
    if (!Self->IsType)
        return Trelk_FailFalse(Self, "'s CreateProperty failed, the Property can only be set for data type");
    const VS_CHAR *Name = SRV->LuaType(2) == VSLUATYPE_STRING ? SRV->LuaToString(2) : NULL;
    if (Name == NULL)
        return Trelk_FailFalse(Self, "'s CreateProperty failed, the Property can not be NULL");
    // Reads and writes find a property by its name cut at a NUL byte: such
    // a name would declare one property under two names.
    VS_INT32 NameLength = 0;
    SRV->LuaToLString(2, &NameLength);
    if ((size_t)NameLength != strlen(Name))
        return Trelk_FailFalse(Self, "'s CreateProperty failed, the Property name contains a NUL character");
    if (QZDataBase_Property_IsExist(Self, Name) != NULL)
        return Trelk_FailFalse(Self, "'s CreateProperty failed, the Property[%s] has existed", Name);
    VS_INT32 ArgType3 = SRV->LuaType(3);
    VS_INT32 PropertyType = ArgType3 == VSLUATYPE_INT || ArgType3 == VSLUATYPE_NUMBER ? SRV->LuaToInt(3) : 0;
    if (PropertyType != QZPROPERTY_TYPE_BOOL && PropertyType != QZPROPERTY_TYPE_INT32 &&
        PropertyType != QZPROPERTY_TYPE_CHARPTR && PropertyType != QZPROPERTY_TYPE_DOUBLE &&
        PropertyType != QZPROPERTY_TYPE_INT64)
        return Trelk_FailFalse(Self,
                               "'s CreateProperty failed, the Property[%s] type must be "
                               "VSTYPE_BOOL,VSTYPE_INT32,VSTYPE_CHARPTR,VSTYPE_DOUBLE,VSTYPE_INT64",
                               Name);
    if (SRV->LuaGetTop() < 4)
        return Trelk_FailFalse(Self, "'s CreateProperty failed, the Property[%s] 's default value must be set",
                               Name);
    VS_INT32 ValueType = SRV->LuaType(4);
    VS_INT32 FoundType;
    switch (ValueType) {
    case VSLUATYPE_NUMBER:
        FoundType = QZPROPERTY_TYPE_DOUBLE;
        break;
    case VSLUATYPE_BOOL:
        FoundType = QZPROPERTY_TYPE_BOOL;
        break;
    case VSLUATYPE_STRING:
        FoundType = QZPROPERTY_TYPE_CHARPTR;
        break;
    case VSLUATYPE_INT:
    case VSLUATYPE_INT64:
    case VSLUATYPE_UWORD:
        FoundType = PropertyType == QZPROPERTY_TYPE_INT32 ? QZPROPERTY_TYPE_INT32 : QZPROPERTY_TYPE_INT64;
        break;
    default:
        return Trelk_FailFalse(Self, "'s CreateProperty failed, the Property[%s] 's default value is invalid",
                               Name);
    }
    // A 32-bit property cannot hold a default beyond 32 bits: narrowing it
    // would declare a different value than the one given.
    if (FoundType == QZPROPERTY_TYPE_INT32) {
        VS_INT64 Wide = SRV->LuaToInt64(4);
        if (Wide < INT32_MIN || Wide > INT32_MAX)
            return Trelk_FailFalse(Self,
                                   "'s CreateProperty failed, the Property[%s] 's default value is out of the "
                                   "range of the property (32-bit integer, -2147483648 to 2147483647)",
                                   Name);
    }
    if (FoundType != PropertyType)
        return Trelk_FailFalse(
                               Self, "'s CreateProperty failed, the Property[%s] 's default value is not same with type", Name);
    if (CountDataInstances(Self) != 0)
        return Trelk_FailFalse(Self, "'s CreateProperty failed, the data object has instances");

    VS_PARAPKGPTR Item = Trelk_GetParaPkgInterface(__LINE__);
    Item->InsertStr(0, Name);
    switch (PropertyType) {
    case QZPROPERTY_TYPE_DOUBLE:
        Item->InsertFloat(1, SRV->LuaToNumber(4));
        break;
    case QZPROPERTY_TYPE_BOOL:
        Item->InsertBool(1, SRV->LuaToBool(4));
        break;
    case QZPROPERTY_TYPE_CHARPTR: {
        VS_INT32 Length = 0;
        const VS_CHAR *Text = SRV->LuaToLString(4, &Length);
        Item->InsertStrEx(1, Text != NULL ? Text : "", Text != NULL ? Length : 0);
        break;
    }
    case QZPROPERTY_TYPE_INT32:
        Item->InsertInt(1, (VS_INT32)SRV->LuaToInt64(4));
        break;
    case QZPROPERTY_TYPE_INT64:
    default:
        // A 64-bit property keeps a 64-bit default, so that later writes are
        // not narrowed to 32 bits.
        Item->InsertInt64(1, SRV->LuaToInt64(4));
        break;
    }
    Item->AsDict(VS_TRUE);
    if (Self->PropertyPkg == NULL) {
        Self->PropertyPkg = Trelk_GetParaPkgInterface(__LINE__);
        Self->PropertyPkg->AsDict(VS_TRUE);
        Trelk_ChainMarkGained(&TrelkData_PropertyMark);
    }
    VS_BOOL Stored = Self->PropertyPkg->InsertParaPackage(Self->PropertyPkg->GetNumber(), Item);
    Item->Release();
    if (!Stored) return Trelk_PushBool(VS_FALSE);

    StructOfQZDataBaseLocalBuf *LocalBuf = QZDataBase_GetLocalBuf(Self);
    if (LocalBuf != NULL && WantsCompanions(Self)) {
        MakeCompanion(Self, LocalBuf, COMPANION_BUF);
        MakeCompanion(Self, LocalBuf, COMPANION_OBJECT);
        MakeCompanion(Self, LocalBuf, COMPANION_SET);
    }
    return Trelk_PushBool(VS_TRUE);
}

VS_INT32 QZDataBase_IsProperty(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    const VS_CHAR *Name = SRV->LuaType(2) == VSLUATYPE_STRING ? SRV->LuaToString(2) : NULL;
    if (Self == NULL || Name == NULL) return Trelk_PushBool(VS_FALSE);
    return Trelk_PushBool(QZDataBase_Property_IsExist(QZDataBase_GetDataType_Internal(Self), Name) != NULL
                        ? VS_TRUE
                        : VS_FALSE);
}

VS_INT32 QZDataBase_HasProperty(void *L)
{
    (void)L;
    for (StructOfQZDataBase *X = TrelkData_SelfArg(); X != NULL && !TrelkData_IsPreDefined(X);
         X = TrelkData_ClassOf(X))
        if (X->PropertyPkg != NULL) return Trelk_PushBool(VS_TRUE);
    return Trelk_PushBool(VS_FALSE);
}

// The first companion of the given kind from the data's type up its class
// chain, else the predefined class of that kind.
static VS_INT32 PushCompanion(CompanionKind Kind, void *PreDefinedClass)
{
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    for (StructOfQZDataBase *X = Self != NULL ? QZDataBase_GetDataType_Internal(Self) : NULL;
         X != NULL && !TrelkData_IsPreDefined(X); X = TrelkData_ClassOf(X)) {
        void *Companion = CompanionOf(X, Kind);
        if (Companion != NULL) {
            SRV->LuaPushObject(Companion);
            return 1;
        }
    }
    SRV->LuaPushObject(PreDefinedClass);
    return 1;
}

VS_INT32 QZDataBase_GetDataSetBase(void *L)
{
    (void)L;
    return PushCompanion(COMPANION_SET, QZDataSetBaseClass);
}

VS_INT32 QZDataBase_GetObjectDataBase(void *L)
{
    (void)L;
    return PushCompanion(COMPANION_OBJECT, QZObjectDataBaseClass);
}

VS_INT32 QZDataBase_GetBufDataBase(void *L)
{
    (void)L;
    return PushCompanion(COMPANION_BUF, QZBufDataBaseClass);
}

VS_INT32 QZDataBase_Wrap(void *L)
{
    (void)L;
    SRV->LuaPushObject(TrelkData_SelfArg());
    return 1;
}

VS_INT32 QZDataBase_SetReadOnly(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    VS_PARAPKGPTR Buf = Self != NULL ? QZDataBase_GetDataBuf_Internal(Self) : NULL;
    if (Buf != NULL && !Buf->IsReadOnly()) {
        // The key is not kept: the value stays read-only for good.
        VS_CHAR Key[32];
        snprintf(Key, sizeof(Key), "%lld", (long long)vs_tm_gettickcount64());
        Buf->SetReadOnly(Key, VS_TRUE);
    }
    return 0;
}
