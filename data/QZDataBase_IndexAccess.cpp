// Attribute access on data objects from script: data[i] reads and writes item
// i of the value package, data.name reads and writes a property declared on
// the data's type. The host calls the two hooks for every attribute access on
// a data object; a hook that returns FALSE leaves the access to the host's
// ordinary attribute path, so names that are no property stay reachable.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

// Index accesses arrive as a double quote followed by the decimal key.
static VS_BOOL IsIndexName(const VS_CHAR *Name)
{
    return Name[0] == '"' ? VS_TRUE : VS_FALSE;
}

// The key after the quote, read as atoi reads it (no digits gives 0), but
// without overflow: keys beyond the 32-bit range are clamped to its ends,
// where every check refuses them.
static VS_INT32 IndexOfName(const VS_CHAR *Name)
{
    errno = 0;
    char *End = NULL;
    long long Value = strtoll(Name + 1, &End, 10);
    if (End == Name + 1) return 0;
    if (Value > INT_MAX || (errno == ERANGE && Value > 0)) return INT_MAX;
    if (Value < INT_MIN || (errno == ERANGE && Value < 0)) return INT_MIN;
    return (VS_INT32)Value;
}

// The object whose property package holds the data's own property values:
// the holder of its value package, unless that holder is a type (a type's
// package holds the definitions that every instance shares).
static StructOfQZDataBase *PropertyValueOwner(StructOfQZDataBase *Data)
{
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Data);
    if (Holder != NULL && !TrelkData_IsTypeLike(Holder)) return Holder;
    return NULL;
}

// Pushes a scalar package item; FALSE (nothing pushed) for other item types.
static VS_BOOL PushScalarItem(VS_PARAPKGPTR Pkg, VS_INT32 i)
{
    switch (Pkg->GetType(i)) {
    case VSTYPE_INT32:
        SRV->LuaPushInt(Pkg->GetInt(i));
        return VS_TRUE;
    case VSTYPE_DOUBLE:
        SRV->LuaPushNumber(Pkg->GetFloat(i));
        return VS_TRUE;
    case VSTYPE_STRING: {
        VS_INT32 Length = 0;
        const VS_CHAR *Text = Pkg->GetStrEx(i, &Length);
        SRV->LuaPushLString(Text != NULL ? Text : "", Text != NULL ? Length : 0);
        return VS_TRUE;
    }
    case VSTYPE_BOOL:
        SRV->LuaPushBool(Pkg->GetBool(i));
        return VS_TRUE;
    case VSTYPE_INT64:
        SRV->LuaPushInt64(Pkg->GetInt64(i));
        return VS_TRUE;
    default:
        return VS_FALSE;
    }
}

// ---------------------------------------------------------------------------
// Reads
// ---------------------------------------------------------------------------
// Pushes the value of the property named Name when Props holds it.
static VS_BOOL PushPropertyIn(VS_PARAPKGPTR Props, const VS_CHAR *Name)
{
    for (VS_INT32 i = 0; i < Props->GetNumber(); i++) {
        VS_PARAPKGPTR Item = Props->GetType(i) == VSTYPE_PARAPKG ? Props->GetParaPackage(i) : NULL;
        const VS_CHAR *ItemName = Item != NULL && Item->GetType(0) == VSTYPE_STRING ? Item->GetStr(0) : NULL;
        if (ItemName == NULL || strcmp(ItemName, Name) != 0) continue;
        if (!PushScalarItem(Item, 1)) SRV->LuaPushNil();
        return VS_TRUE;
    }
    return VS_FALSE;
}

// The walk of ReadProperty over the links of a complete chain: most names
// read on a data object are its luafuncs, declined after the walk.
static VS_BOOL ReadPropertyOnChain(const TrelkDataChain *Chain, const VS_CHAR *Name)
{
    // PropertyValueOwner: the data, or the first class up to the first type
    // that holds a value package, when that is no type.
    StructOfQZDataBase *Data = TrelkData_ChainData(Chain);
    VS_INT32 From = 0;
    if (Data->DataBuf == NULL && !TrelkData_IsPreDefined(Data)) {
        for (VS_INT32 i = 1; i < Chain->Count; i++) {
            StructOfQZDataBase *C = (StructOfQZDataBase *)Chain->Link[i];
            if (TrelkData_IsPreDefined(C)) break;
            if (C->DataBuf != NULL) {
                if (!C->IsType) From = i;
                break;
            }
            if (C->IsType) break;
        }
    }
    for (VS_INT32 i = From; i < Chain->Count; i++) {
        StructOfQZDataBase *D = (StructOfQZDataBase *)Chain->Link[i];
        if (TrelkData_IsPreDefined(D)) break;
        if (D->PropertyPkg != NULL && PushPropertyIn(D->PropertyPkg, Name)) return VS_TRUE;
    }
    return VS_FALSE;
}

static VS_BOOL LookProperties(void *X, TrelkChainMarkMemo **Memo, VS_BOOL *Marked)
{
    StructOfQZDataBase *D = (StructOfQZDataBase *)X;
    if (TrelkData_IsPreDefined(D))
        return VS_FALSE;
    StructOfQZDataBaseLocalBuf *LocalBuf = QZDataBase_GetLocalBuf(D);
    *Memo = LocalBuf != NULL ? &LocalBuf->PropertyMemo : NULL;
    *Marked = D->PropertyPkg != NULL ? VS_TRUE : VS_FALSE;
    return VS_TRUE;
}

TrelkChainMarkKind TrelkData_PropertyMark = {LookProperties, {0}};

static VS_BOOL ReadProperty(StructOfQZDataBase *Data, const VS_CHAR *Name)
{
    TrelkDataChain Chain;
    if (TrelkData_ReadChain(Data, &Chain) && Chain.Complete) return ReadPropertyOnChain(&Chain, Name);
    // A chain too deep to read whole: only its objects with properties are
    // asked, or every method call on a deep prototype would cost its depth.
    StructOfQZDataBase *D = PropertyValueOwner(Data);
    if (D == NULL) D = Data;
    for (D = (StructOfQZDataBase *)Trelk_ChainMarkNearest(&TrelkData_PropertyMark, D); D != NULL;
         D = (StructOfQZDataBase *)Trelk_ChainMarkNearest(&TrelkData_PropertyMark, TrelkData_DataClassOf(D))) {
        if (D->PropertyPkg != NULL && PushPropertyIn(D->PropertyPkg, Name)) return VS_TRUE;
    }
    return VS_FALSE;
}

static VS_BOOL ReadIndex(StructOfQZDataBase *Data, const VS_CHAR *Name)
{
    if (TrelkData_IsTypeLike(Data)) {
        Trelk_Raise(Data, "'s get attribute failed, this object is data type");
        return VS_FALSE;
    }
    VS_INT32 i = IndexOfName(Name);
    VS_PARAPKGPTR Buf = QZDataBase_GetDataBuf_Internal(Data);
    if (Buf == NULL || i < 0 || i >= Buf->GetNumber()) {
        SRV->LuaPushNil();
        return VS_TRUE;
    }
    if (PushScalarItem(Buf, i)) return VS_TRUE;
    switch (Buf->GetType(i)) {
    case VSTYPE_BIN: {
        VS_INT32 Length = 0;
        const VS_INT8 *Bytes = Buf->GetBin(i, &Length);
        ClassOfXRQBinBufInterface *BinBuf = SRV->GetXRQBinBufInterface();
        if (BinBuf == NULL) {
            SRV->LuaPushNil();
            break;
        }
        if (Bytes != NULL && Length > 0) BinBuf->Set(0, Length, Bytes);
        SRV->LuaPushBinBuf(BinBuf, VS_TRUE);
        break;
    }
    case VSTYPE_OBJECT:
        SRV->LuaPushObject(Buf->GetObject(i));
        break;
    case VSTYPE_PARAPKG:
        SRV->LuaPushParaPkg(Buf->GetParaPackage(i), VS_FALSE);
        break;
    default:
        SRV->LuaPushNil();
        break;
    }
    return VS_TRUE;
}

VS_BOOL QZDataBase_RegGetValue(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_UWORD Para,
                               VS_BOOL GetAllRawAttributeFlag)
{
    (void)Object;
    (void)Para;
    (void)GetAllRawAttributeFlag;
    // The hook is installed only by a data object's creation event, on that
    // object, and an object keeps its class for life: ForWhichObject is a
    // data object without asking the host again on every attribute read.
    if (Name == NULL || ForWhichObject == NULL || SRV == NULL) return VS_FALSE;
    StructOfQZDataBase *Data = (StructOfQZDataBase *)ForWhichObject;
    return IsIndexName(Name) ? ReadIndex(Data, Name) : ReadProperty(Data, Name);
}

// ---------------------------------------------------------------------------
// Writes
// ---------------------------------------------------------------------------
// The script value at stack position Index as a property value.
static void PropertyValueOnStack(VS_INT32 Index, TrelkPropertyValue *Value)
{
    memset(Value, 0, sizeof *Value);
    Value->Kind = TRELK_PROPVALUE_OTHER;
    switch (SRV->LuaType(Index)) {
    case VSLUATYPE_NUMBER:
        Value->Kind = TRELK_PROPVALUE_NUMBER;
        Value->Number = SRV->LuaToNumber(Index);
        Value->TypeName = "number";
        return;
    case VSLUATYPE_INT:
        Value->Kind = TRELK_PROPVALUE_INTEGER;
        Value->Integer = SRV->LuaToInt64(Index);
        Value->TypeName = "integer";
        return;
    case VSLUATYPE_INT64:
    case VSLUATYPE_UWORD:
        Value->Kind = TRELK_PROPVALUE_INTEGER;
        Value->Integer = SRV->LuaToInt64(Index);
        Value->TypeName = "64-bit integer";
        return;
    case VSLUATYPE_BOOL:
        Value->Kind = TRELK_PROPVALUE_BOOL;
        Value->Bool = SRV->LuaToBool(Index);
        Value->TypeName = "boolean";
        return;
    case VSLUATYPE_STRING:
        Value->Kind = TRELK_PROPVALUE_STRING;
        Value->Text = SRV->LuaToLString(Index, &Value->Length);
        Value->TypeName = "string";
        return;
    case VSLUATYPE_NIL:
        Value->TypeName = "nil";
        return;
    case VSLUATYPE_OBJECT:
        Value->TypeName = "object";
        return;
    case VSLUATYPE_PARAPKG:
        Value->TypeName = "package";
        return;
    case VSLUATYPE_BINBUF:
        Value->TypeName = "binary buffer";
        return;
    default:
        Value->TypeName = "table, function or other";
        return;
    }
}

// Stores the script value at stack position Index into item 1 of Item,
// converted to the item type of the definition. FALSE when it does not
// convert, after a report: the write is then left to the host, which keeps
// it apart from the property, and a script that went on as if it had been
// stored would compute with the old value unawares.
static VS_BOOL ConvertPropertyValue(StructOfQZDataBase *Data, const VS_CHAR *Name, VS_PARAPKGPTR Item,
                                    VS_INT32 DefType, VS_INT32 Index)
{
    TrelkPropertyValue Value;
    PropertyValueOnStack(Index, &Value);
    switch (TrelkData_ConvertPropertyValue(&Value, DefType, Item)) {
    case TRELK_PROPERTY_STORED:
        return VS_TRUE;
    case TRELK_PROPERTY_OUT_OF_RANGE:
        Trelk_Raise(Data, "'s set property [%s] failed, the value is out of the range of the property (%s)", Name,
                    TrelkData_PropertyRange(DefType));
        return VS_FALSE;
    case TRELK_PROPERTY_NO_CONVERSION:
        Trelk_Raise(Data,
                    "'s set property [%s] failed, the value's type (%s) does not convert to the type of the "
                    "property (%s)",
                    Name, Value.TypeName, TrelkData_PropertyTypeName(DefType));
        return VS_FALSE;
    default:
        return VS_FALSE;
    }
}

static VS_BOOL WriteProperty(StructOfQZDataBase *Data, const VS_CHAR *Name, VS_INT32 Index)
{
    if (TrelkData_IsTypeLike(Data)) return VS_FALSE;
    StructOfQZDataBase *T = PropertyValueOwner(Data);
    if (T == NULL) T = QZDataBase_GetDirectDataInst_Internal(Data);
    VS_PARAPKGPTR Def = QZDataBase_Property_IsExist(QZDataBase_GetDataType_Internal(T), Name);
    if (Def == NULL) return VS_FALSE;
    VS_PARAPKGPTR Item = Def->Dup();
    if (Item == NULL) return VS_FALSE;
    if (!ConvertPropertyValue(Data, Name, Item, Def->GetType(1), Index)) {
        Item->Release();
        return VS_FALSE;
    }
    Item->AsDict(VS_TRUE);
    if (T->PropertyPkg == NULL) {
        T->PropertyPkg = Trelk_GetParaPkgInterface(__LINE__);
        T->PropertyPkg->AsDict(VS_TRUE);
        Trelk_ChainMarkGained(&TrelkData_PropertyMark);
    }
    VS_PARAPKGPTR Props = T->PropertyPkg;
    VS_INT32 Position = Props->GetNumber();
    for (VS_INT32 i = 0; i < Props->GetNumber(); i++) {
        VS_PARAPKGPTR Old = Props->GetType(i) == VSTYPE_PARAPKG ? Props->GetParaPackage(i) : NULL;
        const VS_CHAR *OldName = Old != NULL && Old->GetType(0) == VSTYPE_STRING ? Old->GetStr(0) : NULL;
        if (OldName != NULL && strcmp(OldName, Name) == 0) {
            Position = i;
            break;
        }
    }
    VS_BOOL Stored = Props->InsertParaPackage(Position, Item);
    Item->Release();
    return Stored;
}

// Asks the type class whether the value at stack position Index is one of
// its raw instances. FALSE after a report when it is not, or when asking
// fails.
static VS_BOOL TypeClassAccepts(StructOfQZDataBase *Data, void *TypeClass, VS_INT32 i, VS_INT32 Index)
{
    if (SRV->LuaType(Index) != VSLUATYPE_OBJECT) {
        Trelk_Raise(
                    Data,
                    "'s set attribute [%d] failed, the data has assigned DataTypeClass, the value must be an object",
                    i);
        return VS_FALSE;
    }
    VS_UUID DataID = SRV->GetID(Data);
    SRV->GetLastError();
    SRV->LuaPushObject(SRV->LuaToObject(Index));
    VS_BOOL Made = QZRealmBase_ExecNameScript(TypeClass, "IsRawInstance", 1, 1);
    // The hook may free the data or the value: nothing is stored then.
    void *Value = SRV->LuaToObject(Index);
    if (!TrelkData_Alive(Data, &DataID) || Value == NULL) {
        SRV->LuaPop(1);
        return VS_FALSE;
    }
    if (!Made) {
        Trelk_Raise(
                    Data,
                    "'s set attribute [%d] failed, the data has assigned DataTypeClass, but calls the function "
                    "IsRawInstance failed",
                    i);
        SRV->LuaPop(1);
        return VS_FALSE;
    }
    if (QZProcChain_IsExecNameScriptError(Data, "set attribute failed, the data has assigned DataTypeClass, "
                                                "but calls the function IsRawInstance failed")) {
        SRV->LuaPop(1);
        return VS_FALSE;
    }
    VS_BOOL Accepted = SRV->LuaToBool(-1);
    SRV->LuaPop(1);
    if (!Accepted)
        Trelk_Raise(
                    Data,
                    "'s set attribute [%d] failed, the data has assigned DataTypeClass, but input value is not "
                    "instance of DataTypeClass",
                    i);
    return Accepted;
}

// Stores the value at stack position Index as item i of Buf. FALSE (nothing
// stored) for a value type that has no item form, or when the package
// refuses the item.
static VS_BOOL StoreIndexValue(VS_PARAPKGPTR Buf, VS_INT32 i, VS_INT32 Index, VS_BOOL *Supported)
{
    *Supported = VS_TRUE;
    switch (SRV->LuaType(Index)) {
    case VSLUATYPE_NIL:
        return Buf->InsertEmpty(i);
    case VSLUATYPE_NUMBER:
        return Buf->InsertFloat(i, SRV->LuaToNumber(Index));
    case VSLUATYPE_BOOL:
        return Buf->InsertBool(i, SRV->LuaToBool(Index));
    case VSLUATYPE_STRING: {
        VS_INT32 Length = 0;
        const VS_CHAR *Text = SRV->LuaToLString(Index, &Length);
        return Text != NULL ? Buf->InsertStrEx(i, Text, Length) : Buf->InsertEmpty(i);
    }
    case VSLUATYPE_OBJECT: {
        void *Value = SRV->LuaToObject(Index);
        return Value != NULL ? Buf->InsertObject(i, Value) : Buf->InsertEmpty(i);
    }
    case VSLUATYPE_PARAPKG: {
        VS_PARAPKGPTR Value = SRV->LuaToParaPkg(Index);
        return Value != NULL ? Buf->InsertParaPackage(i, Value) : Buf->InsertEmpty(i);
    }
    case VSLUATYPE_BINBUF: {
        ClassOfXRQBinBufInterface *Value = SRV->LuaToBinBuf(Index);
        if (Value == NULL) return Buf->InsertEmpty(i);
        static const VS_INT8 NoBytes[1] = {0};
        const VS_INT8 *Bytes = Value->GetBuf();
        VS_INT32 Length = Value->GetOffset();
        return Buf->InsertBin(i, Bytes != NULL ? Bytes : NoBytes, Bytes != NULL ? Length : 0);
    }
    case VSLUATYPE_INT:
        return Buf->InsertInt(i, SRV->LuaToInt(Index));
    case VSLUATYPE_INT64:
    case VSLUATYPE_UWORD:
        return Buf->InsertInt64(i, SRV->LuaToInt64(Index));
    default:
        *Supported = VS_FALSE;
        return VS_FALSE;
    }
}

static VS_BOOL WriteIndex(StructOfQZDataBase *Data, const VS_CHAR *Name, VS_INT32 Index)
{
    if (Index == INT32_MAX) return VS_TRUE;
    // The predefined class objects are types too; a value package on one of
    // them would never be read nor released.
    if (TrelkData_IsTypeLike(Data)) {
        Trelk_Raise(Data, "'s set attribute failed, this object is data type");
        return VS_FALSE;
    }
    VS_INT32 i = IndexOfName(Name);
    void *TypeClass = QZDataBase_GetDataTypeClass_Internal(Data);
    if (TypeClass != NULL && i != 0) {
        Trelk_Raise(
                    Data, "'s set attribute [%d] failed, the data has assigned DataTypeClass, only 0 can be set", i);
        return VS_FALSE;
    }
    if (i < 0) {
        Trelk_Raise(Data, "'s set attribute [%d] failed, index can not be negative", i);
        return VS_FALSE;
    }
    // Every check runs before the data gets a package of its own: a refused
    // write must leave the value inherited from a prototype in view.
    VS_INT32 Count = Data->DataBuf != NULL ? Data->DataBuf->GetNumber() : 0;
    if (i > Count) {
        Trelk_Raise(Data, "'s set attribute [%d] failed, index is larger than data number in buf", i);
        return VS_FALSE;
    }
    if (TypeClass != NULL) {
        VS_UUID DataID = SRV->GetID(Data);
        if (!TypeClassAccepts(Data, TypeClass, i, Index)) return VS_FALSE;
        // The type class ran script code, which may have freed the data or
        // changed its package.
        if (SRV->GetObject(&DataID) != Data) return VS_FALSE;
        Count = Data->DataBuf != NULL ? Data->DataBuf->GetNumber() : 0;
        if (i > Count) {
            Trelk_Raise(Data, "'s set attribute [%d] failed, index is larger than data number in buf",
                        i);
            return VS_FALSE;
        }
    }

    VS_BOOL Created = VS_FALSE;
    if (Data->DataBuf == NULL) {
        Data->DataBuf = Trelk_GetParaPkgInterface(__LINE__);
        Created = VS_TRUE;
    }
    VS_BOOL Supported;
    VS_BOOL Stored = StoreIndexValue(Data->DataBuf, i, Index, &Supported);
    if (!Stored && Created) {
        Data->DataBuf->Release();
        Data->DataBuf = NULL;
    }
    if (!Supported) {
        Trelk_Raise(Data, "'s set attribute [%d] failed, data type is not supported", i);
        return VS_TRUE;
    }
    if (!Stored) {
        // A read-only value, or a package that would contain itself.
        Trelk_Raise(Data, "'s set attribute [%d] failed, the value can not be stored in buf", i);
        return VS_FALSE;
    }
    return VS_TRUE;
}

VS_BOOL QZDataBase_RegSetValue(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_INT32 Index,
                               VS_UWORD Para)
{
    (void)Object;
    (void)Para;
    // Installed on data objects only, as the get hook above.
    if (Name == NULL || ForWhichObject == NULL || SRV == NULL) return VS_FALSE;
    StructOfQZDataBase *Data = (StructOfQZDataBase *)ForWhichObject;
    // A stamp written in place: the env index that holds the datum files it
    // again at its next look (the write itself follows this hook).
    if (strcmp(Name, "ScheduleTickCount") == 0 || strcmp(Name, "SequenceIndex") == 0)
        Tarvex_Schedule_EnvDataRestamping(Data);
    return IsIndexName(Name) ? WriteIndex(Data, Name, Index) : WriteProperty(Data, Name, Index);
}
