// The value list: how the items of a parameter package (a data object's value,
// a rule's settings, any package a script saves as JSON) are written into a
// list of item dicts and rebuilt from one. Plain items go by value, nested
// packages as nested lists, classes and types by name, procs, chains and data
// objects by their own saved records.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"
#include "trelk_weak.h"
#include "trelk_alloc.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <strings.h>

// ---------------------------------------------------------------------------
// Class resolution for the package-info list
// ---------------------------------------------------------------------------
// The data type a data item is saved under, its packages entered in the
// package-info list. A type names itself, an instance its type.
static void *SaveDataClassInfo(StructOfQZDataBase *Data, VS_PARAPKGPTR PackageInfo)
{
    VS_BOOL IsClass = TrelkData_IsOwnDataType(Data);
    if (QZProcBase_OnSaveProc_SaveParaPkgInfo(Data, PackageInfo, IsClass) == NULL)
        return NULL;
    return QZDataBase_GetDataType_Internal(Data);
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------
static VS_BOOL SaveObjectItem(void *RefObject, void *Object, VS_PARAPKGPTR PackageInfo, VS_PARAPKGPTR Item,
                              VS_BOOL SaveProcObjectID, VS_BOOL CallFromGetTag, VS_BOOL *MarkDict)
{
    *MarkDict = VS_FALSE;
    if (Object == NULL) {
        Trelk_Raise(RefObject, "%s", TrelkData_ForeignObjectText);
        return VS_FALSE;
    }
    if (Trelk_IsOf(Object, QZProcBaseClass) && Object != QZProcBaseClass) {
        StructOfQZProcBase *Proc = (StructOfQZProcBase *)Object;
        Item->InsertStr(Item->GetNumber(), "BaseClass");
        Item->InsertStr(Item->GetNumber(), "QZProcBase");
        if (Proc->IsType) {
            Item->InsertStr(Item->GetNumber(), "ClassName");
            Item->InsertStr(Item->GetNumber(), Trelk_Name(Proc));
            Item->InsertStr(Item->GetNumber(), "IsClass");
            Item->InsertBool(Item->GetNumber(), VS_TRUE);
            return VS_TRUE;
        }
        Item->InsertStr(Item->GetNumber(), "IsClass");
        Item->InsertBool(Item->GetNumber(), VS_FALSE);
        VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
        if (!QZProcBase_OnSaveProc_SaveProc(Proc, PackageInfo, Record, VS_FALSE, SaveProcObjectID)) {
            Record->Release();
            return VS_FALSE;
        }
        Item->InsertStr(Item->GetNumber(), "Value");
        Item->InsertParaPackage(Item->GetNumber(), Record);
        Record->Release();
        return VS_TRUE;
    }
    if (Trelk_IsOf(Object, QZProcChainBaseClass) && Object != QZProcChainBaseClass) {
        Item->InsertStr(Item->GetNumber(), "BaseClass");
        Item->InsertStr(Item->GetNumber(), "QZProcChainBase");
        Item->InsertStr(Item->GetNumber(), "IsClass");
        Item->InsertBool(Item->GetNumber(), VS_FALSE);
        VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
        if (!QZProcBase_OnSaveProc_SaveProcChain((StructOfQZProcChainBase *)Object, PackageInfo, Record,
                                                 SaveProcObjectID)) {
            Record->Release();
            return VS_FALSE;
        }
        Item->InsertStr(Item->GetNumber(), "Value");
        Item->InsertParaPackage(Item->GetNumber(), Record);
        Record->Release();
        return VS_TRUE;
    }
    if (!QZDataBase_IsDataObject(Object)) {
        Trelk_Raise(RefObject, "%s", TrelkData_ForeignObjectText);
        return VS_FALSE;
    }
    StructOfQZDataBase *Data = (StructOfQZDataBase *)Object;
    Item->InsertStr(Item->GetNumber(), "BaseClass");
    Item->InsertStr(Item->GetNumber(), "QZDataBase");
    void *DataType = SaveDataClassInfo(Data, PackageInfo);
    if (DataType == NULL) {
        Trelk_Raise(RefObject, "%s", TrelkData_ForeignObjectText);
        return VS_FALSE;
    }
    Item->InsertStr(Item->GetNumber(), "ClassName");
    Item->InsertStr(Item->GetNumber(), Trelk_Name(DataType));
    *MarkDict = VS_TRUE;
    if (TrelkData_IsOwnDataType(Data)) {
        Item->InsertStr(Item->GetNumber(), "IsClass");
        Item->InsertBool(Item->GetNumber(), VS_TRUE);
        return VS_TRUE;
    }
    Item->InsertStr(Item->GetNumber(), "IsClass");
    Item->InsertBool(Item->GetNumber(), VS_FALSE);
    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    if (!QZDataBase_SaveTo_Inernal(Data, Record, SaveProcObjectID, CallFromGetTag)) {
        Record->Release();
        return VS_FALSE;
    }
    VS_INT32 ValueIndex = Record->FindDict("Value");
    Item->InsertStr(Item->GetNumber(), "Value");
    if (ValueIndex >= 0 && Record->GetType(ValueIndex) == VSTYPE_STRING) {
        VS_INT32 Length = 0;
        const VS_CHAR *Text = Record->GetStrEx(ValueIndex, &Length);
        Item->InsertStrEx(Item->GetNumber(), Text != NULL ? Text : "", Text != NULL ? Length : 0);
    } else if (ValueIndex >= 0 && Record->GetType(ValueIndex) == VSTYPE_PARAPKG) {
        Item->InsertParaPackage(Item->GetNumber(), Record->GetParaPackage(ValueIndex));
    } else {
        Item->InsertEmpty(Item->GetNumber());
    }
    VS_INT32 SignatureIndex = Record->FindDict("Signature");
    if (SignatureIndex >= 0 && Record->GetType(SignatureIndex) == VSTYPE_STRING) {
        Item->InsertStr(Item->GetNumber(), "Signature");
        Item->InsertStr(Item->GetNumber(), Record->GetStr(SignatureIndex));
    }
    Record->Release();
    return VS_TRUE;
}

static thread_local VS_INT32 ValueListDepth = 0;

// Keeps the nesting depth of one writer or reader call.
struct ValueListDepthGuard {
    VS_BOOL TooDeep;
    ValueListDepthGuard() { TooDeep = ++ValueListDepth > TRELK_VALUELIST_MAXDEPTH ? VS_TRUE : VS_FALSE; }
    ~ValueListDepthGuard() { --ValueListDepth; }
};

VS_BOOL QZProcChain_Save_ParaPkg(void *RefObject, VS_PARAPKGPTR DataBuf, VS_PARAPKGPTR ParaPkg_PackageInfo,
                                 VS_PARAPKGPTR ValueBuf, VS_BOOL SaveProcObjectID, VS_BOOL CallFromGetTag)
{
    if (ValueBuf == NULL)
        return VS_FALSE;
    if (DataBuf == NULL)
        return VS_TRUE;
    ValueListDepthGuard Depth;
    if (Depth.TooDeep) {
        Trelk_Raise(RefObject, "'s buf is nested too deep, can not save");
        return VS_FALSE;
    }
    for (VS_INT32 i = 0; i < DataBuf->GetNumber(); i++) {
        VS_INT32 Type = DataBuf->GetType(i);
        if (Type == VSTYPE_BIN) {
            Trelk_Raise(RefObject, "'s contains binary data, can not save");
            return VS_FALSE;
        }
        if (Type == VSTYPE_TIME || Type < 0 || Type > VSTYPE_INT64) {
            Trelk_Raise(RefObject, "'s contains data which can not save");
            return VS_FALSE;
        }
        VS_PARAPKGPTR Item = Trelk_GetParaPkgInterface(__LINE__);
        Item->InsertStr(0, "Type");
        Item->InsertInt(1, Type);
        VS_BOOL MarkDict = VS_TRUE;
        VS_BOOL Ok = VS_TRUE;
        switch (Type) {
        case VSTYPE_EMPTY:
            Item->InsertStr(2, "Value");
            Item->InsertEmpty(3);
            break;
        case VSTYPE_INT32:
            Item->InsertStr(2, "Value");
            Item->InsertInt(3, DataBuf->GetInt(i));
            break;
        case VSTYPE_DOUBLE:
            Item->InsertStr(2, "Value");
            Item->InsertFloat(3, DataBuf->GetFloat(i));
            break;
        case VSTYPE_STRING: {
            VS_INT32 Length = 0;
            const VS_CHAR *Text = DataBuf->GetStrEx(i, &Length);
            Item->InsertStr(2, "Value");
            Item->InsertStrEx(3, Text != NULL ? Text : "", Text != NULL ? Length : 0);
            break;
        }
        case VSTYPE_BOOL:
            Item->InsertStr(2, "Value");
            Item->InsertBool(3, DataBuf->GetBool(i));
            break;
        case VSTYPE_INT64:
            Item->InsertStr(2, "Value");
            Item->InsertInt64(3, DataBuf->GetInt64(i));
            break;
        case VSTYPE_PARAPKG: {
            // A nested package that cannot be read is refused rather than
            // dropped: dropping it would shift every later item's index.
            VS_PARAPKGPTR Nested = DataBuf->GetParaPackage(i);
            if (Nested == NULL) {
                Trelk_Raise(RefObject, "'s contains data which can not save");
                Ok = VS_FALSE;
                break;
            }
            VS_PARAPKGPTR NestedList = Trelk_GetParaPkgInterface(__LINE__);
            if (!QZProcChain_Save_ParaPkg(RefObject, Nested, ParaPkg_PackageInfo, NestedList, SaveProcObjectID,
                                          CallFromGetTag)) {
                NestedList->Release();
                Ok = VS_FALSE;
                break;
            }
            Item->InsertStr(2, "Value");
            Item->InsertParaPackage(3, NestedList);
            NestedList->Release();
            break;
        }
        case VSTYPE_OBJECT:
            Ok = SaveObjectItem(RefObject, Trelk_FromRawObject(DataBuf->GetObject(i)), ParaPkg_PackageInfo, Item,
                                SaveProcObjectID, CallFromGetTag, &MarkDict);
            break;
        default:
            break;
        }
        if (!Ok) {
            Item->Release();
            return VS_FALSE;
        }
        if (MarkDict)
            Item->AsDict(VS_TRUE);
        VS_BOOL Appended = ValueBuf->InsertParaPackage(ValueBuf->GetNumber(), Item);
        Item->Release();
        if (!Appended)
            return VS_FALSE;
    }
    return VS_TRUE;
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------
// Index of the value of Key in a dict package, -1 when absent.
static VS_INT32 DictIndex(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    VS_INT32 Index = Pkg->FindDict(Key);
    return Index >= 0 && Index < Pkg->GetNumber() ? Index : -1;
}

// Checking and rebuilding saved procs and chains (realm services).
static VS_BOOL CheckSavedProc(VS_PARAPKGPTR Value, VS_CHAR *Type, VS_BOOL IsChain, VS_BOOL IsStrictmatch)
{
    return IsChain ? QZRealmBase_CheckValid_QZProcChain(Value, Type, IsStrictmatch)
                   : QZRealmBase_CheckValid_QZProc(Value, Type, IsStrictmatch);
}

static void *BuildSavedProc(VS_PARAPKGPTR Value, VS_CHAR *Type, VS_BOOL IsChain, VS_PARAPKGPTR QZProcRecord,
                            VS_PARAPKGPTR NextQZProcRecord)
{
    return IsChain ? QZRealmBase_Load_QZProcChain(Value, Type, QZProcRecord, NextQZProcRecord)
                   : QZRealmBase_Load_QZProc(Value, Type, QZProcRecord, NextQZProcRecord);
}

// Item i of a proc record list as its "ObjectID" text and "Object"; FALSE
// when the item is no record or lacks either.
static VS_BOOL ReadProcRecordItem(VS_PARAPKGPTR List, VS_INT32 i, const VS_CHAR **ObjectID, void **Object)
{
    if (List->GetType(i) != VSTYPE_PARAPKG)
        return VS_FALSE;
    VS_PARAPKGPTR Record = List->GetParaPackage(i);
    if (Record == NULL)
        return VS_FALSE;
    VS_INT32 IDIndex = DictIndex(Record, "ObjectID");
    VS_INT32 ObjectIndex = DictIndex(Record, "Object");
    *ObjectID = IDIndex >= 0 ? Record->GetStr(IDIndex) : NULL;
    *Object = ObjectIndex >= 0 ? Record->GetObject(ObjectIndex) : NULL;
    return *ObjectID != NULL && *Object != NULL ? VS_TRUE : VS_FALSE;
}

void QZProcChain_Load_ParaPkg_FixObjectID(VS_PARAPKGPTR QZProcRecord, VS_PARAPKGPTR NextQZProcRecord)
{
    if (QZProcRecord == NULL || NextQZProcRecord == NULL)
        return;
    for (VS_INT32 i = 0; i < NextQZProcRecord->GetNumber(); i++) {
        const VS_CHAR *PendingID;
        void *Referrer;
        if (!ReadProcRecordItem(NextQZProcRecord, i, &PendingID, &Referrer))
            continue;
        for (VS_INT32 j = 0; j < QZProcRecord->GetNumber(); j++) {
            const VS_CHAR *SavedID;
            void *Found;
            if (!ReadProcRecordItem(QZProcRecord, j, &SavedID, &Found) || strcasecmp(SavedID, PendingID) != 0)
                continue;
            if (Trelk_IsOf(Referrer, QZProcBaseClass) && Referrer != QZProcBaseClass) {
                // A damaged or crafted package may name a proc before it;
                // such a link would make every walk of the order endless.
                if (!TrelkChain_ProcNextReaches((StructOfQZProcBase *)Found, (StructOfQZProcBase *)Referrer))
                    ((StructOfQZProcBase *)Referrer)->QZProcNext = SRV->ObjectToAtomic(Found);
            } else if (Trelk_IsOf(Referrer, QZDataInputContainerClass) && Referrer != QZDataInputContainerClass)
                ((StructOfQZDataInputContainer *)Referrer)->QZProcID = SRV->GetID(Found);
            break;
        }
    }
}

// A saved proc or proc chain item. FALSE refuses the whole list; an object
// that is not rebuilt leaves an empty item so later items keep their index.
static VS_BOOL LoadProcItem(VS_PARAPKGPTR DataBuf, VS_INT32 i, VS_PARAPKGPTR Item,
                            VS_INT32 ValueIndex, VS_BOOL IsStrictmatch)
{
    if (Item->GetType(ValueIndex) != VSTYPE_PARAPKG)
        return VS_FALSE;
    VS_PARAPKGPTR Value = Item->GetParaPackage(ValueIndex);
    if (Value == NULL)
        return VS_FALSE;
    VS_INT32 TypeIndex = DictIndex(Value, "Type");
    const VS_CHAR *TypeText = TypeIndex >= 0 ? Value->GetStr(TypeIndex) : NULL;
    if (TypeText == NULL)
        return VS_FALSE;
    VS_CHAR Type[64];
    vs_string_snprintf(Type, (VS_INT32)sizeof(Type), "%s", TypeText);
    VS_BOOL IsProc = strcmp(Type, "QZProc") == 0 || strcmp(Type, "QZProcRemote") == 0 || strcmp(Type, "QZCell") == 0;
    VS_BOOL IsChain = strcmp(Type, "QZProcChain") == 0;
    if ((IsProc || IsChain) && !CheckSavedProc(Value, Type, IsChain, IsStrictmatch))
        return VS_FALSE;
    void *Built = NULL;
    VS_PARAPKGPTR QZProcRecord = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR NextQZProcRecord = Trelk_GetParaPkgInterface(__LINE__);
    if (IsProc || IsChain)
        Built = BuildSavedProc(Value, Type, IsChain, QZProcRecord, NextQZProcRecord);
    VS_BOOL Ok;
    if (Built != NULL) {
        Ok = DataBuf->InsertObject(i, Built);
        SRV->UnLockGC(Built);
    } else {
        Ok = DataBuf->InsertEmpty(i);
    }
    QZProcChain_Load_ParaPkg_FixObjectID(QZProcRecord, NextQZProcRecord);
    QZProcRecord->Release();
    NextQZProcRecord->Release();
    return Ok;
}

static VS_BOOL LoadDataItem(void *RefObject, VS_PARAPKGPTR DataBuf, VS_INT32 i, VS_PARAPKGPTR Item,
                            VS_INT32 ValueIndex)
{
    VS_INT32 NameIndex = DictIndex(Item, "ClassName");
    const VS_CHAR *ClassName = NameIndex >= 0 ? Item->GetStr(NameIndex) : NULL;
    if (ClassName == NULL)
        return VS_FALSE;
    if (TrelkData_FindClassByName(Item, NameIndex) == NULL) {
        Trelk_Raise(RefObject, " can not find class %s, load failed", ClassName);
        return VS_FALSE;
    }
    VS_INT32 ValueType = Item->GetType(ValueIndex);
    if (ValueType != VSTYPE_STRING && (ValueType != VSTYPE_PARAPKG || Item->GetParaPackage(ValueIndex) == NULL))
        return VS_FALSE;
    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR PackageInfo = Trelk_GetParaPkgInterface(__LINE__);
    Record->InsertStr(0, "PackageInfo");
    Record->InsertParaPackage(1, PackageInfo);
    PackageInfo->Release();
    Record->InsertStr(2, "Value");
    if (ValueType == VSTYPE_STRING) {
        VS_INT32 Length = 0;
        const VS_CHAR *Text = Item->GetStrEx(ValueIndex, &Length);
        Record->InsertStrEx(3, Text, Length);
    } else {
        Record->InsertParaPackage(3, Item->GetParaPackage(ValueIndex));
    }
    VS_INT32 SignatureIndex = DictIndex(Item, "Signature");
    const VS_CHAR *Signature = SignatureIndex >= 0 ? Item->GetStr(SignatureIndex) : NULL;
    if (Signature != NULL) {
        Record->InsertStr(Record->GetNumber(), "Signature");
        Record->InsertStr(Record->GetNumber(), Signature);
    }
    Record->InsertStr(Record->GetNumber(), "ClassName");
    Record->InsertStr(Record->GetNumber(), ClassName);
    Record->AsDict(VS_TRUE);
    void *Data = QZDataBase_LoadFrom_Internal(Record);
    Record->Release();
    if (Data == NULL)
        return VS_FALSE;
    VS_BOOL Ok = DataBuf->InsertObject(i, Data);
    SRV->UnLockGC(Data);
    return Ok;
}

static VS_BOOL LoadList(void *RefObject, VS_PARAPKGPTR DataBuf, VS_PARAPKGPTR ValueBuf, VS_BOOL IsStrictmatch);

// A plain item whose value its type code cannot take: it was read as the
// type's default (0, 0.0, false), which a hand-written or foreign list must
// not do without a word.
struct UnfitValue {
    VS_UUID Ref;
    VS_INT32 Index;
    VS_INT32 Type;
    const VS_CHAR *ValueType;
    VS_BOOL OutOfRange;
};

// The unfit values of the outermost read, reported when it has read the
// whole list: a report runs a script, which must not find a half-built
// package under the reader.
static thread_local TrelkVector<UnfitValue> *g_Unfit = NULL;

// Whether the numeric item type Type takes item Index of Item as the host's
// getter of that type reads it. Numbers, 64-bit integers and booleans convert
// (a boolean reads as 0 or 1, a number is truncated); a number that the
// type's width cannot hold, and a value of any other kind, do not.
static VS_BOOL ValueFits(VS_PARAPKGPTR Item, VS_INT32 Index, VS_INT32 Type, UnfitValue *Unfit)
{
    TrelkPropertyValue Value;
    TrelkData_PropertyValueOfItem(Item, Index, &Value);
    Unfit->Type = Type;
    Unfit->ValueType = Value.TypeName;
    Unfit->OutOfRange = VS_FALSE;
    if (Value.Kind == TRELK_PROPVALUE_BOOL)
        return VS_TRUE;
    if (Value.Kind != TRELK_PROPVALUE_INTEGER && Value.Kind != TRELK_PROPVALUE_NUMBER)
        return VS_FALSE;
    if (Type == VSTYPE_INT32) {
        VS_BOOL Fits = Value.Kind == TRELK_PROPVALUE_INTEGER
                           ? (Value.Integer >= INT32_MIN && Value.Integer <= INT32_MAX)
                           : (!std::isnan(Value.Number) && std::trunc(Value.Number) >= (VS_DOUBLE)INT32_MIN &&
                              std::trunc(Value.Number) <= (VS_DOUBLE)INT32_MAX);
        Unfit->OutOfRange = Fits ? VS_FALSE : VS_TRUE;
        return Fits;
    }
    if (Type == VSTYPE_INT64 && Value.Kind == TRELK_PROPVALUE_NUMBER) {
        // 2^63 itself is not representable as a signed 64-bit value.
        VS_BOOL Fits = !std::isnan(Value.Number) && std::trunc(Value.Number) >= -9223372036854775808.0 &&
                               std::trunc(Value.Number) <= 9223372036854774784.0
                           ? VS_TRUE
                           : VS_FALSE;
        Unfit->OutOfRange = Fits ? VS_FALSE : VS_TRUE;
        return Fits;
    }
    return VS_TRUE;
}

// Reports the unfit values in the order they were read, in the words the
// record reader uses for a property value. Each report runs a script: the
// object named is found again by its ID each time.
static void ReportUnfitValues(const TrelkVector<UnfitValue> &List)
{
    for (const UnfitValue &U : List) {
        void *Ref = SRV->GetObject((VS_UUID *)&U.Ref);
        if (Ref == NULL)
            continue;
        if (U.OutOfRange)
            Trelk_Raise(Ref, "'s load item [%d] failed, the value is out of the range of the item (%s), the default "
                             "is kept",
                        (int)U.Index, TrelkData_PropertyRange(U.Type));
        else
            Trelk_Raise(Ref,
                        "'s load item [%d] failed, the value's type (%s) does not convert to the type of the item "
                        "(%s), the default is kept",
                        (int)U.Index, U.ValueType, TrelkData_PropertyTypeName(U.Type));
    }
}

VS_BOOL QZProcChain_Load_ParaPkg(void *RefObject, VS_PARAPKGPTR DataBuf, VS_PARAPKGPTR ValueBuf,
                                 VS_BOOL IsStrictmatch)
{
    if (g_Unfit != NULL)
        return LoadList(RefObject, DataBuf, ValueBuf, IsStrictmatch);
    TrelkVector<UnfitValue> Unfit;
    g_Unfit = &Unfit;
    VS_BOOL Ok = LoadList(RefObject, DataBuf, ValueBuf, IsStrictmatch);
    g_Unfit = NULL;
    // A failed read builds nothing: its callers throw the package away.
    if (Ok)
        ReportUnfitValues(Unfit);
    return Ok;
}

static VS_BOOL LoadList(void *RefObject, VS_PARAPKGPTR DataBuf, VS_PARAPKGPTR ValueBuf, VS_BOOL IsStrictmatch)
{
    if (DataBuf == NULL)
        return VS_FALSE;
    DataBuf->Clear();
    if (ValueBuf == NULL)
        return VS_TRUE;
    ValueListDepthGuard Depth;
    if (Depth.TooDeep)
        return VS_FALSE;
    for (VS_INT32 i = 0; i < ValueBuf->GetNumber(); i++) {
        if (ValueBuf->GetType(i) != VSTYPE_PARAPKG)
            return VS_FALSE;
        VS_PARAPKGPTR Item = ValueBuf->GetParaPackage(i);
        if (Item == NULL)
            return VS_FALSE;
        VS_INT32 TypeIndex = DictIndex(Item, "Type");
        if (TypeIndex < 0)
            return VS_FALSE;
        VS_INT32 Type = Item->GetInt(TypeIndex);
        VS_INT32 ValueIndex = DictIndex(Item, "Value");
        VS_BOOL Ok = VS_TRUE;
        switch (Type) {
        case VSTYPE_INT32:
        case VSTYPE_DOUBLE:
        case VSTYPE_STRING:
        case VSTYPE_BOOL:
        case VSTYPE_INT64:
            if (ValueIndex < 0)
                return VS_FALSE;
            if (Type != VSTYPE_STRING) {
                UnfitValue Unfit;
                if (!ValueFits(Item, ValueIndex, Type, &Unfit)) {
                    // Read as the type's default, as the getters read it.
                    Unfit.Ref = RefObject != NULL ? SRV->GetID(RefObject) : VS_UUID{};
                    Unfit.Index = i;
                    if (g_Unfit != NULL && RefObject != NULL)
                        g_Unfit->push_back(Unfit);
                    if (Type == VSTYPE_INT32)
                        Ok = DataBuf->InsertInt(i, 0);
                    else if (Type == VSTYPE_DOUBLE)
                        Ok = DataBuf->InsertFloat(i, 0);
                    else if (Type == VSTYPE_BOOL)
                        Ok = DataBuf->InsertBool(i, VS_FALSE);
                    else
                        Ok = DataBuf->InsertInt64(i, 0);
                    break;
                }
            }
            if (Type == VSTYPE_INT32)
                Ok = DataBuf->InsertInt(i, Item->GetInt(ValueIndex));
            else if (Type == VSTYPE_DOUBLE)
                Ok = DataBuf->InsertFloat(i, Item->GetFloat(ValueIndex));
            else if (Type == VSTYPE_BOOL)
                Ok = DataBuf->InsertBool(i, Item->GetBool(ValueIndex));
            else if (Type == VSTYPE_INT64)
                Ok = DataBuf->InsertInt64(i, Item->GetInt64(ValueIndex));
            else {
                VS_INT32 Length = 0;
                const VS_CHAR *Text = Item->GetStrEx(ValueIndex, &Length);
                Ok = Text != NULL ? DataBuf->InsertStrEx(i, Text, Length) : VS_FALSE;
            }
            break;
        case VSTYPE_PARAPKG: {
            if (ValueIndex < 0 || Item->GetType(ValueIndex) != VSTYPE_PARAPKG)
                return VS_FALSE;
            VS_PARAPKGPTR NestedList = Item->GetParaPackage(ValueIndex);
            if (NestedList == NULL)
                return VS_FALSE;
            VS_PARAPKGPTR Nested = Trelk_GetParaPkgInterface(__LINE__);
            Ok = QZProcChain_Load_ParaPkg(RefObject, Nested, NestedList, IsStrictmatch);
            if (Ok)
                Ok = DataBuf->InsertParaPackage(i, Nested);
            Nested->Release();
            break;
        }
        case VSTYPE_OBJECT: {
            VS_INT32 BaseIndex = DictIndex(Item, "BaseClass");
            VS_INT32 IsClassIndex = DictIndex(Item, "IsClass");
            const VS_CHAR *BaseClass = BaseIndex >= 0 ? Item->GetStr(BaseIndex) : NULL;
            if (BaseClass == NULL || IsClassIndex < 0 || Item->GetType(IsClassIndex) != VSTYPE_BOOL)
                return VS_FALSE;
            if (Item->GetBool(IsClassIndex)) {
                VS_INT32 NameIndex = DictIndex(Item, "ClassName");
                const VS_CHAR *ClassName = NameIndex >= 0 ? Item->GetStr(NameIndex) : NULL;
                void *Class = ClassName != NULL ? TrelkData_FindClassByName(Item, NameIndex) : NULL;
                if (Class == NULL)
                    return VS_FALSE;
                Ok = DataBuf->InsertObject(i, Class);
                break;
            }
            if (ValueIndex < 0)
                return VS_FALSE;
            if (strcasecmp(BaseClass, "QZProcBase") == 0 || strcasecmp(BaseClass, "QZProcChainBase") == 0)
                Ok = LoadProcItem(DataBuf, i, Item, ValueIndex, IsStrictmatch);
            else if (strcasecmp(BaseClass, "QZDataBase") == 0)
                Ok = LoadDataItem(RefObject, DataBuf, i, Item, ValueIndex);
            else
                return VS_FALSE;
            break;
        }
        default:
            // Empty items, and kinds that are never written (binary, time,
            // unknown codes), come back as empty items.
            Ok = DataBuf->InsertEmpty(i);
            break;
        }
        if (!Ok)
            return VS_FALSE;
    }
    return VS_TRUE;
}

// ---------------------------------------------------------------------------
// JSON packages
// ---------------------------------------------------------------------------
VS_PARAPKGPTR QZProcChain_SaveToJSonPkg_Internal(void *RefObject, VS_PARAPKGPTR Buf)
{
    if (Buf == NULL || Buf->GetNumber() == 0)
        return NULL;
    VS_PARAPKGPTR PackageInfo = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR ValueList = Trelk_GetParaPkgInterface(__LINE__);
    // Writing may run scripts that let go of the caller's package.
    Buf->AddRef();
    VS_BOOL Ok = QZProcChain_Save_ParaPkg(RefObject, Buf, PackageInfo, ValueList, VS_TRUE, VS_FALSE);
    Buf->Release();
    VS_PARAPKGPTR JSonPkg = NULL;
    if (Ok) {
        JSonPkg = Trelk_GetParaPkgInterface(__LINE__);
        JSonPkg->InsertStr(0, "PackageInfo");
        JSonPkg->InsertParaPackage(1, PackageInfo);
        JSonPkg->InsertStr(2, "Value");
        JSonPkg->InsertParaPackage(3, ValueList);
        JSonPkg->AsDict(VS_TRUE);
    }
    PackageInfo->Release();
    ValueList->Release();
    return JSonPkg;
}

VS_PARAPKGPTR QZProcChain_LoadFromJSonPkg_Internal(void *RefObject, VS_PARAPKGPTR JSonPkg)
{
    VS_INT32 ValueIndex = JSonPkg != NULL ? DictIndex(JSonPkg, "Value") : -1;
    VS_PARAPKGPTR ValueList = ValueIndex >= 0 && JSonPkg->GetType(ValueIndex) == VSTYPE_PARAPKG
                                  ? JSonPkg->GetParaPackage(ValueIndex)
                                  : NULL;
    if (ValueList == NULL)
        return NULL;
    // The list may be read back into a package that the script still holds
    // elsewhere; keep it alive while reading.
    ValueList->AddRef();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL Ok = QZProcChain_Load_ParaPkg(RefObject, Result, ValueList, VS_FALSE);
    ValueList->Release();
    if (!Ok) {
        Result->Release();
        return NULL;
    }
    return Result;
}
