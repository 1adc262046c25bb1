// The data record: the saved form of one data object (its data type by name,
// its value, its properties and its signature), written in one of four forms
// (tag, no buffer, value list, type-class script) and read back into a new
// data object; and the script functions SaveTo / LoadFrom of QZDataBase.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

#include <cstring>

// Data objects whose record is being written on this thread: a value that
// contains its own data object (directly or through sets) would otherwise
// recurse without end.
#define SAVING_STACK_SIZE TRELK_VALUELIST_MAXDEPTH
static thread_local StructOfQZDataBase *SavingStack[SAVING_STACK_SIZE];
static thread_local VS_INT32 SavingDepth = 0;

// The class of a data object entered in the package-info list; NULL when it
// cannot be entered.
static void *EnterDataClass(StructOfQZDataBase *Data, VS_PARAPKGPTR PackageInfo)
{
    return QZProcBase_OnSaveProc_SaveParaPkgInfo(Data, PackageInfo, VS_FALSE);
}

// Item 0 of the value pair: the collected property package, or an empty item.
static void PutProperties(VS_PARAPKGPTR Pair, StructOfQZDataBase *From, VS_BOOL CallFromGetTag)
{
    if (!CallFromGetTag && From != NULL) {
        VS_PARAPKGPTR Properties = Trelk_GetParaPkgInterface(__LINE__);
        QZDataBase_QuelToString_CollectProperty(From, Properties);
        // The list of [name, value] pairs is stored as a plain list so that
        // the record keeps a JSON form.
        Properties->AsDict(VS_FALSE);
        if (Properties->GetNumber() > 0) {
            Pair->InsertParaPackage(0, Properties);
            Properties->Release();
            return;
        }
        Properties->Release();
    }
    Pair->InsertEmpty(0);
}

static VS_BOOL SaveTagForm(StructOfQZDataBase *QZData, VS_PARAPKGPTR ValueBuf)
{
    VS_PARAPKGPTR PackageInfo = Trelk_GetParaPkgInterface(__LINE__);
    if (EnterDataClass(QZData, PackageInfo) == NULL) {
        PackageInfo->Release();
        Trelk_Raise(QZData, "%s", TrelkData_ForeignObjectText);
        return VS_FALSE;
    }
    VS_CHAR *Tag = NULL;
    VS_UUID DataID = SRV->GetID(QZData);
    QZDataBase_GetTag_Internal(QZData);
    VS_INT32 Length = 0;
    const VS_CHAR *Text = SRV->LuaType(-1) == VSLUATYPE_STRING ? SRV->LuaToLString(-1, &Length) : NULL;
    if (Text != NULL && Length > 0) {
        Tag = (VS_CHAR *)SRV->Malloc_Nor((VS_ULONG)Length + 1);
        if (Tag != NULL)
            memcpy(Tag, Text, (size_t)Length + 1);
    }
    SRV->LuaPop(1);
    // The tag may come from the type class's "ToString", which may free the
    // data being saved.
    if (!TrelkData_Alive(QZData, &DataID)) {
        PackageInfo->Release();
        if (Tag != NULL)
            SRV->Free(Tag);
        return VS_FALSE;
    }
    if (Tag == NULL) {
        PackageInfo->Release();
        Trelk_Raise(QZData, "'s function GetTag returns empty string");
        return VS_FALSE;
    }
    ValueBuf->Clear();
    ValueBuf->InsertStr(0, "PackageInfo");
    ValueBuf->InsertParaPackage(1, PackageInfo);
    ValueBuf->InsertStr(2, "Value");
    ValueBuf->InsertStr(3, Tag);
    ValueBuf->AsDict(VS_TRUE);
    PackageInfo->Release();
    SRV->Free(Tag);
    return VS_TRUE;
}

static VS_BOOL SaveRecord(StructOfQZDataBase *QZData, VS_PARAPKGPTR ValueBuf, VS_BOOL SaveProcObjectID,
                          VS_BOOL CallFromGetTag)
{
    VS_PARAPKGPTR Buf = QZDataBase_GetDataBuf_Internal(QZData);
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(QZData);
    StructOfQZDataBase *DataType = QZDataBase_GetDataType_Internal(QZData);
    if (DataType == NULL) {
        Trelk_Raise(QZData, "%s", TrelkData_ForeignObjectText);
        return VS_FALSE;
    }
    VS_PARAPKGPTR PackageInfo = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Pair = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL WriteSignature = VS_FALSE;
    VS_BOOL PopScriptResult = VS_FALSE;
    void *TypeClass = QZDataBase_GetTypeClassOf_Internal(DataType);

    if (Buf == NULL) {
        // No value anywhere up to the type: the direct data instance stands
        // for the data.
        StructOfQZDataBase *Inst = QZDataBase_GetDirectDataInst_Internal(QZData);
        if (Inst == NULL || EnterDataClass(Inst, PackageInfo) == NULL) {
            PackageInfo->Release();
            Pair->Release();
            Trelk_Raise(QZData, "%s", TrelkData_ForeignObjectText);
            return VS_FALSE;
        }
        PutProperties(Pair, Inst, CallFromGetTag);
        VS_PARAPKGPTR Empty = Trelk_GetParaPkgInterface(__LINE__);
        Pair->InsertParaPackage(1, Empty);
        Empty->Release();
    } else if (TypeClass == NULL) {
        VS_PARAPKGPTR ValueList = Trelk_GetParaPkgInterface(__LINE__);
        VS_UUID DataID = SRV->GetID(QZData);
        // Nested data are saved by their own hooks, which may free this data.
        Buf->AddRef();
        VS_BOOL Saved = QZProcChain_Save_ParaPkg(QZData, Buf, PackageInfo, ValueList, SaveProcObjectID, CallFromGetTag);
        Buf->Release();
        if (!Saved || !TrelkData_Alive(QZData, &DataID)) {
            ValueList->Release();
            PackageInfo->Release();
            Pair->Release();
            return VS_FALSE;
        }
        PutProperties(Pair, Holder, CallFromGetTag);
        Pair->InsertParaPackage(1, ValueList);
        ValueList->Release();
        WriteSignature = VS_TRUE;
    } else {
        if (Buf->GetNumber() != 1 || Buf->GetType(0) != VSTYPE_OBJECT) {
            PackageInfo->Release();
            Pair->Release();
            Trelk_Raise(QZData, " has DataTypeClass, but it's value is invalid");
            return VS_FALSE;
        }
        VS_UUID DataID = SRV->GetID(QZData);
        SRV->GetLastError();
        SRV->LuaPushObject(Holder);
        VS_BOOL Made = QZRealmBase_ExecNameScript(TypeClass, "Save", 1, 1);
        // The hook may free the data (and with it anything its chain holds).
        if (!TrelkData_Alive(QZData, &DataID)) {
            SRV->LuaPop(1);
            PackageInfo->Release();
            Pair->Release();
            return VS_FALSE;
        }
        if (!Made) {
            SRV->LuaPop(1);
            PackageInfo->Release();
            Pair->Release();
            Trelk_Raise(QZData, " has DataTypeClass, but call it's Save function failed");
            return VS_FALSE;
        }
        if (QZProcChain_IsExecNameScriptError(QZData, "has DataTypeClass, but call it's Save function failed")) {
            SRV->LuaPop(1);
            PackageInfo->Release();
            Pair->Release();
            return VS_FALSE;
        }
        if (SRV->LuaType(-1) != VSLUATYPE_STRING) {
            SRV->LuaPop(1);
            PackageInfo->Release();
            Pair->Release();
            Trelk_Raise(QZData, " has DataTypeClass, but call it's Save function return not string");
            return VS_FALSE;
        }
        if (EnterDataClass(QZData, PackageInfo) == NULL) {
            SRV->LuaPop(1);
            PackageInfo->Release();
            Pair->Release();
            Trelk_Raise(QZData, "%s", TrelkData_ForeignObjectText);
            return VS_FALSE;
        }
        PutProperties(Pair, Holder, CallFromGetTag);
        VS_INT32 Length = 0;
        const VS_CHAR *Text = SRV->LuaToLString(-1, &Length);
        Pair->InsertStrEx(1, Text != NULL ? Text : "", Text != NULL ? Length : 0);
        WriteSignature = VS_TRUE;
        PopScriptResult = VS_TRUE;
    }

    ValueBuf->Clear();
    ValueBuf->InsertStr(0, "PackageInfo");
    ValueBuf->InsertParaPackage(1, PackageInfo);
    ValueBuf->InsertStr(2, "Value");
    ValueBuf->InsertParaPackage(3, Pair);
    ValueBuf->InsertStr(4, "ClassName");
    ValueBuf->InsertStr(5, Trelk_Name(DataType));
    if (WriteSignature && Holder != NULL && Holder->Signature.Buf != NULL && Holder->Signature.Buf[0] != 0) {
        ValueBuf->InsertStr(6, "Signature");
        ValueBuf->InsertStr(7, Holder->Signature.Buf);
    }
    ValueBuf->AsDict(VS_TRUE);
    if (PopScriptResult)
        SRV->LuaPop(1);
    PackageInfo->Release();
    Pair->Release();
    return VS_TRUE;
}

VS_BOOL QZDataBase_SaveTo_Inernal(StructOfQZDataBase *QZData, VS_PARAPKGPTR ValueBuf, VS_BOOL SaveProcObjectID,
                                  VS_BOOL CallFromGetTag)
{
    if (ValueBuf == NULL || !QZDataBase_IsDataObject(QZData))
        return VS_FALSE;
    if (QZData->IsType || QZDataBase_IsPreDefined_DataType(QZData)) {
        Trelk_Raise(QZData, " is data object type, can not save");
        return VS_FALSE;
    }
    // The tag form saves nothing of the value itself: the tag it asks for
    // writes the record again, for the same data, in its own form.
    if (!SaveProcObjectID && !CallFromGetTag)
        return SaveTagForm(QZData, ValueBuf);
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(QZData);
    for (VS_INT32 i = 0; i < SavingDepth; i++) {
        if (SavingStack[i] == QZData || (Holder != NULL && SavingStack[i] == Holder)) {
            Trelk_Raise(QZData, "'s buf contains the data itself, can not save");
            return VS_FALSE;
        }
    }
    if (SavingDepth >= SAVING_STACK_SIZE) {
        Trelk_Raise(QZData, "'s buf is nested too deep, can not save");
        return VS_FALSE;
    }
    SavingStack[SavingDepth++] = Holder != NULL ? Holder : QZData;
    VS_BOOL Result = SaveRecord(QZData, ValueBuf, SaveProcObjectID, CallFromGetTag);
    SavingDepth--;
    return Result;
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------
static VS_INT32 DictIndex(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    VS_INT32 Index = Pkg->FindDict(Key);
    return Index >= 0 && Index < Pkg->GetNumber() ? Index : -1;
}

// Replaces the own value package of a new data object.
static void SetOwnBuf(StructOfQZDataBase *Data, VS_PARAPKGPTR Buf)
{
    if (Data->DataBuf != NULL)
        Data->DataBuf->Release();
    Data->DataBuf = Buf;
}

// The saved property values of a record, each converted to its property's
// type as a write converts it: a record written by hand, or by another
// program, may hold "lots" for an integer property, which would otherwise
// read back as a string. A value a write would refuse is left out, so that
// the data reads the property's default; each is entered in *Refusals (made
// for the first) as name, the value's type, the property's type and whether
// the value's type converts (then the number is out of range). Saved itself
// is returned, with a reference, when nothing changes.
static VS_PARAPKGPTR ConvertedProperties(StructOfQZDataBase *Data, VS_PARAPKGPTR Saved, VS_PARAPKGPTR *Refusals)
{
    StructOfQZDataBase *Type = QZDataBase_GetDataType_Internal(Data);
    VS_PARAPKGPTR Out = NULL;
    // From the end, so that leaving an item out moves none still to come.
    for (VS_INT32 i = Saved->GetNumber() - 1; i >= 0; i--) {
        VS_PARAPKGPTR Item = Saved->GetType(i) == VSTYPE_PARAPKG ? Saved->GetParaPackage(i) : NULL;
        const VS_CHAR *Name = Item != NULL && Item->GetType(0) == VSTYPE_STRING ? Item->GetStr(0) : NULL;
        VS_PARAPKGPTR Def = Name != NULL ? QZDataBase_Property_IsExist(Type, Name) : NULL;
        // Names the type does not declare are kept as they were saved.
        if (Def == NULL || Item->GetType(1) == Def->GetType(1)) continue;
        VS_INT32 DefType = Def->GetType(1);
        TrelkPropertyValue Value;
        TrelkData_PropertyValueOfItem(Item, 1, &Value);
        VS_PARAPKGPTR Converted = Def->Dup();
        if (Converted == NULL) continue;
        TrelkPropertyResult Result = TrelkData_ConvertPropertyValue(&Value, DefType, Converted);
        if (Result == TRELK_PROPERTY_NOT_STORED) {
            Converted->Release();
            continue;
        }
        if (Out == NULL) {
            Out = Saved->Dup();
            if (Out == NULL) {
                Converted->Release();
                break;
            }
        }
        if (Result == TRELK_PROPERTY_STORED) {
            Converted->AsDict(VS_TRUE);
            Out->InsertParaPackage(i, Converted);
        } else {
            Out->Del(i);
            if (*Refusals == NULL)
                *Refusals = Trelk_GetParaPkgInterface(__LINE__);
            VS_PARAPKGPTR R = *Refusals;
            VS_INT32 n = R->GetNumber();
            R->InsertStr(n, Name);
            R->InsertStr(n + 1, Value.TypeName);
            R->InsertInt(n + 2, DefType);
            R->InsertBool(n + 3, Result == TRELK_PROPERTY_OUT_OF_RANGE);
        }
        Converted->Release();
    }
    if (Out != NULL) return Out;
    Saved->AddRef();
    return Saved;
}

// Reports the values ConvertedProperties left out, in the record's order.
// Each report runs script code: the type is found again by its ID each time.
static void ReportRefusedProperties(const VS_UUID *TypeID, VS_PARAPKGPTR Refusals)
{
    for (VS_INT32 n = Refusals->GetNumber() - 4; n >= 0; n -= 4) {
        void *Type = SRV->GetObject((VS_UUID *)TypeID);
        if (Type == NULL) return;
        VS_INT32 DefType = Refusals->GetInt(n + 2);
        if (Refusals->GetBool(n + 3))
            Trelk_Raise(Type,
                        "'s load property [%s] failed, the value is out of the range of the property (%s), the "
                        "default is kept",
                        Refusals->GetStr(n), TrelkData_PropertyRange(DefType));
        else
            Trelk_Raise(Type,
                        "'s load property [%s] failed, the value's type (%s) does not convert to the type of the "
                        "property (%s), the default is kept",
                        Refusals->GetStr(n), Refusals->GetStr(n + 1), TrelkData_PropertyTypeName(DefType));
    }
}

static void *LoadRecord(VS_PARAPKGPTR ValueBufWithDepends);

void *QZDataBase_LoadFrom_Internal(VS_PARAPKGPTR ValueBufWithDepends)
{
    return LoadRecord(ValueBufWithDepends);
}

static void *LoadRecord(VS_PARAPKGPTR ValueBufWithDepends)
{
    if (ValueBufWithDepends == NULL)
        return NULL;
    VS_PARAPKGPTR Record = ValueBufWithDepends;
    VS_INT32 NameIndex = DictIndex(Record, "ClassName");
    const VS_CHAR *ClassName = NameIndex >= 0 ? Record->GetStr(NameIndex) : NULL;
    if (ClassName == NULL) {
        Trelk_RaiseText("call QZData's LoadFrom failed, data type is not saved");
        return NULL;
    }
    void *Class = TrelkData_FindClassByName(Record, NameIndex);
    if (Class == NULL) {
        Trelk_RaiseText("call QZData's LoadFrom failed, data type %s is not found", ClassName);
        return NULL;
    }
    VS_INT32 ValueIndex = DictIndex(Record, "Value");
    if (ValueIndex < 0 || Record->GetType(ValueIndex) != VSTYPE_PARAPKG)
        return NULL;
    VS_PARAPKGPTR Pair = Record->GetParaPackage(ValueIndex);
    if (Pair == NULL)
        return NULL;
    // Only a data object may be read as a data record; a name that finds any
    // other object is refused like a data instance.
    if (!QZDataBase_IsDataObject(Class) || !TrelkData_IsOwnDataType((StructOfQZDataBase *)Class)) {
        Trelk_Raise(Class, " LoadFrom must be called for QZData Class wich IsType is true");
        return NULL;
    }
    StructOfQZDataBase *DataType = (StructOfQZDataBase *)Class;
    void *TypeClass = QZDataBase_GetTypeClassOf_Internal(DataType);
    StructOfQZDataBase *NewData = NULL;

    if (TypeClass == NULL) {
        if (Pair->GetType(1) != VSTYPE_PARAPKG || Pair->GetParaPackage(1) == NULL)
            return NULL;
        VS_PARAPKGPTR ValueList = Pair->GetParaPackage(1);
        // The record writes no buffer and an own empty buffer alike, as an
        // empty value list; both load as an instance with no buffer of its
        // own, which takes its value from its class chain as the saved one did.
        VS_PARAPKGPTR Buf = NULL;
        if (ValueList->GetNumber() > 0) {
            Buf = Trelk_GetParaPkgInterface(__LINE__);
            if (!QZProcChain_Load_ParaPkg(DataType, Buf, ValueList, VS_FALSE)) {
                Buf->Release();
                return NULL;
            }
        }
        NewData = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(DataType), 0, NULL);
        if (NewData == NULL) {
            if (Buf != NULL)
                Buf->Release();
            return NULL;
        }
        SetOwnBuf(NewData, Buf);
    } else {
        if (Pair->GetType(1) != VSTYPE_STRING)
            return NULL;
        VS_INT32 Length = 0;
        const VS_CHAR *Text = Pair->GetStrEx(1, &Length);
        VS_UUID TypeID = SRV->GetID(DataType);
        SRV->GetLastError();
        SRV->LuaPushLString(Text != NULL ? Text : "", Text != NULL ? Length : 0);
        VS_BOOL Made = QZRealmBase_ExecNameScript(TypeClass, "Load", 1, 1);
        // The hook may free the type it loads for (and all made of it).
        if (!TrelkData_Alive(DataType, &TypeID)) {
            SRV->LuaPop(1);
            return NULL;
        }
        if (!Made) {
            SRV->LuaPop(1);
            Trelk_Raise(DataType, " has DataTypeClass, but call it's Load function failed");
            return NULL;
        }
        if (QZProcChain_IsExecNameScriptError(DataType, "has DataTypeClass, but call it's Load function failed")) {
            SRV->LuaPop(1);
            return NULL;
        }
        void *Loaded = SRV->LuaType(-1) == VSLUATYPE_OBJECT ? Trelk_FromRawObject(SRV->LuaToObject(-1)) : NULL;
        // The result is written to as a data object below; anything else is
        // refused as no object.
        if (Loaded == NULL || !QZDataBase_IsDataObject(Loaded)) {
            SRV->LuaPop(1);
            Trelk_Raise(DataType, " has DataTypeClass, but call it's Load function return not Object");
            return NULL;
        }
        SRV->LockGC(Loaded);
        SRV->LuaPop(1);
        NewData = (StructOfQZDataBase *)Loaded;
    }

    VS_INT32 SignatureIndex = DictIndex(Record, "Signature");
    const VS_CHAR *Signature = SignatureIndex >= 0 ? Record->GetStr(SignatureIndex) : NULL;
    if (Signature != NULL && Signature[0] != 0)
        SRV->SetVString(&NewData->Signature, Signature);
    VS_PARAPKGPTR Refusals = NULL;
    if (Pair->GetType(0) == VSTYPE_PARAPKG) {
        VS_PARAPKGPTR Saved = Pair->GetParaPackage(0);
        if (Saved != NULL) {
            VS_PARAPKGPTR Properties = ConvertedProperties(NewData, Saved, &Refusals);
            if (NewData->PropertyPkg != NULL)
                NewData->PropertyPkg->Release();
            NewData->PropertyPkg = Properties;
            Trelk_ChainMarkGained(&TrelkData_PropertyMark);
        }
    }
    if (Refusals != NULL) {
        VS_UUID TypeID = SRV->GetID(DataType);
        VS_UUID NewID = SRV->GetID(NewData);
        ReportRefusedProperties(&TypeID, Refusals);
        Refusals->Release();
        // The reports ran script code, which may have freed the new data.
        if (SRV->GetObject(&NewID) != NewData)
            return NULL;
    }
    return NewData;
}

// ---------------------------------------------------------------------------
// Luafuncs
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_SaveTo(void *L)
{
    (void)L;
    void *Self = SRV->LuaToObject(1);
    VS_PARAPKGPTR ValueBuf = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    VS_BOOL Result = VS_FALSE;
    if (QZDataBase_IsDataObject(Self) && ValueBuf != NULL)
        Result = QZDataBase_SaveTo_Inernal((StructOfQZDataBase *)Self, ValueBuf, VS_TRUE, VS_FALSE);
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZDataBase_LoadFrom(void *L)
{
    (void)L;
    VS_PARAPKGPTR ValueBuf = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    void *NewData = QZDataBase_LoadFrom_Internal(ValueBuf);
    Trelk_PushHandOver(NewData);
    return 1;
}
