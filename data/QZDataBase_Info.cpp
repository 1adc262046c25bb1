// Data info and text form, creation of instances and sub-types, description,
// signature, uniform ticks and free callbacks of data objects.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

// ---------------------------------------------------------------------------
// Info and text form
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_GetInfo(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushString("");
        return 1;
    }
    // The full class name sits in the same buffer the result goes to.
    VS_CHAR ClassName[FULLCLASSNAMEPRINTBUF_SIZE];
    const VS_CHAR *Full = QZProcBase_OnSaveProc_GetFullClassName(Self);
    strncpy(ClassName, Full != NULL ? Full : "", sizeof(ClassName) - 1);
    ClassName[sizeof(ClassName) - 1] = 0;
    // Cut at the buffer's end like every text kept there.
    if (snprintf(FullClassNamePrintBuf, FULLCLASSNAMEPRINTBUF_SIZE, "%s.%s", ClassName, Trelk_Name(Self)) < 0)
        FullClassNamePrintBuf[0] = 0;
    SRV->LuaPushString(FullClassNamePrintBuf);
    return 1;
}

VS_INT32 QZDataBase_ConnectedProcToParaPkg(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL) {
        for (void *Item = SRV->QueryFirst(&Self->ConnectedProc); Item != NULL; Item = SRV->QueryNext(Item)) {
            void *Proc = SRV->GetObject(&((StructOfQZObjectPointer *)Item)->ObjectID);
            if (Proc != NULL)
                Result->InsertObject(Result->GetNumber(), Proc);
        }
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

void QZDataBase_QuelToString_CollectProperty(StructOfQZDataBase *Data, VS_PARAPKGPTR PropertyPkg)
{
    if (Data == NULL || PropertyPkg == NULL || TrelkData_IsPreDefined(Data))
        return;
    void *Class = SRV->GetClass(Data);
    if (QZDataBase_IsDataObject(Class))
        QZDataBase_QuelToString_CollectProperty((StructOfQZDataBase *)Class, PropertyPkg);
    VS_PARAPKGPTR Own = Data->PropertyPkg;
    if (Own == NULL)
        return;
    if (Data->IsType) {
        PropertyPkg->AppendFrom(Own);
        return;
    }
    for (VS_INT32 v = 0; v < Own->GetNumber(); v++) {
        VS_PARAPKGPTR Pair = Own->GetType(v) == VSTYPE_PARAPKG ? Own->GetParaPackage(v) : NULL;
        const VS_CHAR *Name = Pair != NULL ? Pair->GetStr(0) : NULL;
        if (Name == NULL)
            continue;
        VS_INT32 ValueType = Pair->GetType(1);
        if (ValueType != VSTYPE_INT32 && ValueType != VSTYPE_DOUBLE && ValueType != VSTYPE_STRING &&
            ValueType != VSTYPE_BOOL && ValueType != VSTYPE_INT64)
            continue;
        for (VS_INT32 i = 0; i < PropertyPkg->GetNumber(); i++) {
            VS_PARAPKGPTR Item = PropertyPkg->GetType(i) == VSTYPE_PARAPKG ? PropertyPkg->GetParaPackage(i) : NULL;
            const VS_CHAR *ItemName = Item != NULL ? Item->GetStr(0) : NULL;
            if (ItemName == NULL || vs_string_strcmp(ItemName, Name) != 0)
                continue;
            // Items appended from a type share the type's own definition
            // packages; the instance's value goes into a private copy.
            VS_PARAPKGPTR Copy = Item->Dup();
            if (Copy == NULL)
                break;
            switch (ValueType) {
            case VSTYPE_INT32:
                Copy->InsertInt(1, Pair->GetInt(1));
                break;
            case VSTYPE_DOUBLE:
                Copy->InsertFloat(1, Pair->GetFloat(1));
                break;
            case VSTYPE_STRING: {
                VS_INT32 Length = 0;
                const VS_CHAR *Text = Pair->GetStrEx(1, &Length);
                Copy->InsertStrEx(1, Text != NULL ? Text : "", Length);
                break;
            }
            case VSTYPE_BOOL:
                Copy->InsertBool(1, Pair->GetBool(1));
                break;
            default:
                Copy->InsertInt64(1, Pair->GetInt64(1));
                break;
            }
            PropertyPkg->InsertParaPackage(i, Copy);
            Copy->Release();
            break;
        }
    }
}

// Pushes the combined text of a value text: with properties, the value text
// of [properties, text]; else the text itself.
static void PushCombinedText(VS_PARAPKGPTR Properties, const VS_CHAR *Text)
{
    if (Properties->GetNumber() == 0) {
        SRV->LuaPushString(Text);
        return;
    }
    VS_PARAPKGPTR Print = Trelk_GetParaPkgInterface(__LINE__);
    Print->InsertParaPackage(0, Properties);
    Print->InsertStr(1, Text);
    VS_CHAR *Combined = Print->GetValueStr();
    SRV->LuaPushString(Combined != NULL ? Combined : "");
    if (Combined != NULL)
        Print->FreeBuf(Combined);
    Print->Release();
}

// Pushes the text form of self (exactly one string).
static void PushQuelText(StructOfQZDataBase *Self, VS_PARAPKGPTR P)
{
    if (TrelkData_IsTypeLike(Self)) {
        SRV->LuaPushString(Trelk_Name(Self));
        return;
    }
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Self);
    if (Holder == NULL) {
        VS_CHAR *Text = P->GetNumber() > 0 ? P->GetValueStr() : NULL;
        SRV->LuaPushString(Text != NULL ? Text : "");
        if (Text != NULL)
            P->FreeBuf(Text);
        return;
    }
    if (QZDataBase_IsDataSet_Internal(Self, VS_TRUE)) {
        VS_CHAR *Text = Holder->DataBuf->GetValueStr();
        if (Text == NULL) {
            SRV->LuaPushString(Trelk_Name(Self));
            return;
        }
        PushCombinedText(P, Text);
        Holder->DataBuf->FreeBuf(Text);
        return;
    }
    VS_PARAPKGPTR Buf = QZDataBase_GetDataBuf_Internal(Self);
    void *TypeClass = QZDataBase_GetDataTypeClass_Internal(Self);
    if (Buf != NULL && TypeClass != NULL) {
        if (Buf->GetNumber() != 1 && Buf->GetType(0) != VSTYPE_OBJECT) {
            SRV->LuaPushString("");
            return;
        }
        VS_UUID SelfID = SRV->GetID(Self);
        SRV->GetLastError();
        SRV->LuaPushObject(Buf->GetObject(0));
        VS_BOOL Made = Trelk_ExecNameScript(TypeClass, "ToString", 1, 1);
        if (!TrelkData_Alive(Self, &SelfID)) {
            SRV->LuaPop(1);
            SRV->LuaPushString("");
            return;
        }
        if (!Made) {
            Trelk_Raise(Self, " has assigned DataTypeClass, but calls the function ToString failed");
            SRV->LuaPop(1);
            SRV->LuaPushString("");
            return;
        }
        if (QZProcChain_IsExecNameScriptError(Self,
                                              "has assigned DataTypeClass, but calls the function ToString failed")) {
            SRV->LuaPop(1);
            SRV->LuaPushString("");
            return;
        }
        if (SRV->LuaType(-1) != VSLUATYPE_STRING) {
            Trelk_Raise(Self, " has assigned DataTypeClass, but calls the function ToString failed");
            SRV->LuaPop(1);
            SRV->LuaPushString("");
            return;
        }
        if (P->GetNumber() > 0) {
            VS_INT32 Length = 0;
            const VS_CHAR *S = SRV->LuaToLString(-1, &Length);
            ClassOfStringPrintBuf Copy; // its text in host memory
            TrelkData_PrintLongText(&Copy, S != NULL ? S : "");
            SRV->LuaPop(1);
            PushCombinedText(P, Copy.Buf != NULL ? Copy.Buf : "");
        }
        return; // the script's string stays as the result
    }
    if (Buf != NULL) {
        VS_CHAR *Text = Buf->GetValueStr();
        if (Text == NULL) {
            SRV->LuaPushString("");
            return;
        }
        PushCombinedText(P, Text);
        Buf->FreeBuf(Text);
        return;
    }
    SRV->LuaPushString("");
}

VS_INT32 QZDataBase_QuelToString(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushString("");
        return 1;
    }
    VS_PARAPKGPTR P = Trelk_GetParaPkgInterface(__LINE__);
    P->AsDict(VS_TRUE);
    QZDataBase_QuelToString_CollectProperty(Self, P);
    PushQuelText(Self, P);
    P->Release();
    return 1;
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------
// Replaces the value package of a new instance by Pkg (taking over the
// caller's reference).
static void GiveDataBuf(StructOfQZDataBase *Data, VS_PARAPKGPTR Pkg)
{
    if (Data->DataBuf != NULL)
        Data->DataBuf->Release();
    Data->DataBuf = Pkg;
}

// Pushes a new instance of Self holding Pkg as its value (nil, with Pkg
// released, when the host makes none); the script's reference alone keeps it.
static VS_INT32 PushNewInstance(StructOfQZDataBase *Self, VS_PARAPKGPTR Pkg)
{
    StructOfQZDataBase *Instance = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(Self), 0, NULL);
    if (Instance == NULL) {
        Pkg->Release();
        SRV->LuaPushNil();
        return 1;
    }
    GiveDataBuf(Instance, Pkg);
    SRV->LuaPushObject(Instance);
    SRV->ReleaseOwnerEx(Instance);
    return 1;
}

// Argument i (from 2) as item i-2 of Pkg, by its script type.
static void StoreArgument(StructOfQZDataBase *Self, VS_PARAPKGPTR Pkg, VS_INT32 i)
{
    VS_INT32 Item = i - 2;
    switch (SRV->LuaType(i)) {
    case VSLUATYPE_NIL:
        Pkg->InsertEmpty(Item);
        break;
    case VSLUATYPE_NUMBER:
        Pkg->InsertFloat(Item, SRV->LuaToNumber(i));
        break;
    case VSLUATYPE_BOOL:
        Pkg->InsertBool(Item, SRV->LuaToBool(i));
        break;
    case VSLUATYPE_STRING: {
        VS_INT32 Length = 0;
        const VS_CHAR *Text = SRV->LuaToLString(i, &Length);
        Pkg->InsertStrEx(Item, Text != NULL ? Text : "", Length);
        break;
    }
    case VSLUATYPE_OBJECT: {
        void *Object = SRV->LuaToObject(i);
        if (Object != NULL)
            Pkg->InsertObject(Item, Object);
        else
            Pkg->InsertEmpty(Item);
        break;
    }
    case VSLUATYPE_PARAPKG: {
        VS_PARAPKGPTR Value = SRV->LuaToParaPkg(i);
        if (Value == NULL || !Pkg->InsertParaPackage(Item, Value))
            Pkg->InsertEmpty(Item);
        break;
    }
    case VSLUATYPE_INT:
        Pkg->InsertInt(Item, SRV->LuaToInt(i));
        break;
    case VSLUATYPE_INT64:
    case VSLUATYPE_UWORD:
        Pkg->InsertInt64(Item, SRV->LuaToInt64(i));
        break;
    default:
        Trelk_Raise(Self, "'s function \"Create\" failed, input %d is not supported", Item);
        Pkg->InsertEmpty(Item);
        break;
    }
}

VS_INT32 QZDataBase_Create(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    VS_INT32 Top = SRV->LuaGetTop();
    VS_INT32 ArgCount = Top > 1 ? Top - 1 : 0;

    if (!TrelkData_IsTypeLike(Self)) {
        if (ArgCount > 0)
            return Trelk_Fail(Self, "'s Create or () failed, the input for instance must be empty");
        void *Instance = SRV->MallocObjectL(SRV->GetIDEx(Self), 0, NULL);
        SRV->LuaPushObject(Instance);
        // The script owns what it created; a kept creator reference would keep
        // the instance alive for good.
        if (Instance != NULL)
            SRV->ReleaseOwnerEx(Instance);
        return 1;
    }
    if (ArgCount == 0)
        return Trelk_Fail(Self, " has no input parameter, calls function Create failed");

    void *TypeClass = TrelkData_IsDataBaseClassObject(Self) ? NULL : QZDataBase_GetTypeClassOf_Internal(Self);
    if (TypeClass != NULL && ArgCount == 1 && SRV->LuaType(2) == VSLUATYPE_OBJECT) {
        void *Value = SRV->LuaToObject(2);
        VS_UUID SelfID = SRV->GetID(Self);
        VS_UUID ValueID = SRV->GetID(Value);
        SRV->GetLastError();
        SRV->LuaPushObject(Value);
        VS_BOOL Made = Trelk_ExecNameScript(TypeClass, "IsRawInstance", 1, 1);
        // The hook may free the type or the value: nothing is made of either.
        if (!TrelkData_Alive(Self, &SelfID) || !TrelkData_Alive(Value, &ValueID)) {
            SRV->LuaPop(1);
            SRV->LuaPushNil();
            return 1;
        }
        if (!Made) {
            Trelk_Raise(Self, "'s create failed, the data has assigned DataTypeClass, but calls the function "
                        "IsInstance failed");
            SRV->LuaPop(1);
            return 0;
        }
        if (QZProcChain_IsExecNameScriptError(
                Self, "create failed, the data has assigned DataTypeClass, but calls the function IsRawInstance failed")) {
            SRV->LuaPop(1);
            return 0;
        }
        if (!SRV->LuaToBool(-1)) {
            Trelk_Raise(Self, "'s create failed, the data has assigned DataTypeClass, but input value is not "
                        "instance of DataTypeClass");
            SRV->LuaPop(1);
            return 0;
        }
        SRV->LuaPop(1);
        VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
        Pkg->InsertObject(0, Value);
        return PushNewInstance(Self, Pkg);
    }

    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    for (VS_INT32 i = 2; i <= Top; i++)
        StoreArgument(Self, Pkg, i);

    if (TypeClass != NULL) {
        VS_UUID SelfID = SRV->GetID(Self);
        SRV->GetLastError();
        SRV->LuaPushParaPkg(Pkg, VS_FALSE);
        VS_BOOL Made = Trelk_ExecNameScript(TypeClass, "Load", 1, 1);
        if (!TrelkData_Alive(Self, &SelfID)) {
            Pkg->Release();
            SRV->LuaPop(1);
            SRV->LuaPushNil();
            return 1;
        }
        if (!Made) {
            Trelk_Raise(Self, " has DataTypeClass, but call it's Load function failed");
            Pkg->Release();
            SRV->LuaPop(1);
            return 0;
        }
        if (QZProcChain_IsExecNameScriptError(Self, "has DataTypeClass, but call it's Load function failed")) {
            Pkg->Release();
            SRV->LuaPop(1);
            return 0;
        }
        // The script took its own reference when the package was pushed;
        // whatever "Load" kept of it stays alive without the module's one.
        Pkg->Release();
        if (SRV->LuaType(-1) == VSLUATYPE_OBJECT && SRV->LuaToObject(-1) != NULL)
            return 1;
        Trelk_Raise(Self, " has DataTypeClass, but call it's Load function return not Object");
        SRV->LuaPop(1);
        return 0;
    }

    return PushNewInstance(Self, Pkg);
}

VS_INT32 QZDataBase_CreateType(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    if (!TrelkData_IsTypeLike(Self))
        return Trelk_FailText("create [%s:%s]'s sub-type failed, this object is not data type",
                              Trelk_IDText(Self), Trelk_Name(Self));
    const VS_CHAR *TypeName = NULL;
    if (!TrelkData_TypeNameArg(Self, 2, &TypeName))
        return 1;
    if (TypeName == NULL || TypeName[0] == 0) {
        SRV->LuaPushNil();
        return 1;
    }
    // A type keeps the module's reference: it lives as long as the module.
    SRV->LuaPushObject(QZDataBase_NewSubType_Internal(Self, TypeName));
    return 1;
}

StructOfQZDataBase *QZDataBase_NewSubType_Internal(void *ClassOrType, const VS_CHAR *TypeName)
{
    StructOfQZDataBase *Type = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(ClassOrType), 0, NULL);
    if (Type == NULL)
        return NULL;
    SRV->SetName(Type, TypeName);
    Type->IsType = VS_TRUE;
    LastNewTypeTickCount = vs_tm_gettickcount64();
    SRV->InsertIDKey(GlobalDataTypeIndexTree, SRV->GetIDEx(Type), (void *)(uintptr_t)QZDATATYPE_KIND_DATA);
    return Type;
}

// ---------------------------------------------------------------------------
// Origin, description, type list, signature, uniform tick
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_IsFromEnv(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    SRV->LuaPushBool(Self != NULL && Trelk_IsZeroID(&Self->OwnerRunnerProcID) ? VS_TRUE : VS_FALSE);
    return 1;
}

VS_INT32 QZDataBase_IsFromProc(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *Proc = Trelk_ObjectArg(2);
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL && QZDataBase_IsProcObject(Proc)) {
        void *Runner = Trelk_IsZeroID(&Self->OwnerRunnerProcID) ? NULL : SRV->GetObject(&Self->OwnerRunnerProcID);
        if (Runner != NULL) {
            Result = Runner == Proc || SRV->IsInst(SRV->GetIDEx(Proc), Runner) ? VS_TRUE : VS_FALSE;
        } else if (!Trelk_IsZeroID(&Self->OwnerProcID)) {
            void *Type = SRV->GetObject(&Self->OwnerProcID);
            if (Type != NULL)
                Result = Type == Proc || SRV->IsInst(SRV->GetIDEx(Type), Proc) ? VS_TRUE : VS_FALSE;
        }
    }
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZDataBase_GetDesc(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    const VS_CHAR *Desc = Self != NULL ? Self->DataDesc.Buf : NULL;
    SRV->LuaPushString(Desc != NULL ? Desc : "");
    return 1;
}

VS_INT32 QZDataBase_SetDesc(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL)
        return 0;
    const VS_CHAR *Desc = SRV->LuaType(2) == VSLUATYPE_STRING ? SRV->LuaToString(2) : NULL;
    SRV->SetVString(&Self->DataDesc, Desc != NULL ? Desc : "");
    return 0;
}

VS_INT32 QZDataBase_CollectType(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(GlobalDataTypeIndexTree, &Key); Value != NULL;
         Value = SRV->QueryNextIDKey(GlobalDataTypeIndexTree, &Key)) {
        void *Type = SRV->GetObject(&Key);
        if (Type == NULL || TrelkData_IsPreDefined((StructOfQZDataBase *)Type))
            continue;
        Result->InsertObject(Result->GetNumber(), Type);
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZDataBase_SetSignature(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL || TrelkData_IsTypeLike(Self))
        return 0;
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Self);
    if (Holder == NULL)
        return 0;
    const VS_CHAR *Signature = SRV->LuaType(2) == VSLUATYPE_STRING ? SRV->LuaToString(2) : NULL;
    SRV->SetVString(&Holder->Signature, Signature != NULL ? Signature : "");
    return 0;
}

VS_INT32 QZDataBase_GetSignature(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    const VS_CHAR *Signature = NULL;
    if (Self != NULL && !TrelkData_IsTypeLike(Self)) {
        StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Self);
        if (Holder != NULL)
            Signature = Holder->Signature.Buf;
    }
    SRV->LuaPushString(Signature != NULL ? Signature : "");
    return 1;
}

VS_INT32 QZDataBase_SetUniformTick(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL || TrelkData_IsTypeLike(Self))
        return 0;
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Self);
    if (Holder != NULL)
        Holder->UniformTick = Trelk_GetUniformTick();
    return 0;
}

VS_INT32 QZDataBase_GetUniformTick(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    VS_INT64 Tick = 0;
    if (Self != NULL && !TrelkData_IsTypeLike(Self)) {
        StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Self);
        if (Holder != NULL)
            Tick = Holder->UniformTick;
    }
    SRV->LuaPushInt64(Tick);
    return 1;
}

// ---------------------------------------------------------------------------
// Free callbacks
// ---------------------------------------------------------------------------
// The free-callback list of self (argument 1) and the object argument 2, with
// the target's place in the list (-1 when absent); NULL when either is missing.
// The object's free-callback list (NULL when it has none) and argument 2.
static VS_PARAPKGPTR CallBackListArgs(void **Target)
{
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    *Target = Trelk_ObjectArg(2);
    StructOfQZDataBaseLocalBuf *LocalBuf = Self != NULL ? QZDataBase_GetLocalBuf(Self) : NULL;
    return LocalBuf != NULL ? LocalBuf->CallBackObjectPkg : NULL;
}

static VS_BOOL LookFreeCallbacks(void *X, TrelkChainMarkMemo **Memo, VS_BOOL *Marked)
{
    if (!QZDataBase_IsDataObject(X))
        return VS_FALSE;
    StructOfQZDataBaseLocalBuf *LocalBuf = QZDataBase_GetLocalBuf(X);
    if (LocalBuf != NULL)
        Trelk_ChainMarkLookList(&LocalBuf->FreeCallbackMemo, LocalBuf->CallBackObjectPkg, Memo, Marked);
    return VS_TRUE;
}

TrelkChainMarkKind TrelkData_FreeCallbackMark = {LookFreeCallbacks, {0}};

VS_INT32 QZDataBase_RegCallBack(void *L)
{
    (void)L;
    void *Target;
    VS_PARAPKGPTR List = CallBackListArgs(&Target);
    VS_BOOL First = List != NULL && Target != NULL && List->GetNumber() == 0;
    Trelk_CallBackListAdd(List, Target);
    if (First)
        Trelk_ChainMarkGained(&TrelkData_FreeCallbackMark);
    return 0;
}

VS_INT32 QZDataBase_UnRegCallBack(void *L)
{
    (void)L;
    void *Target;
    VS_PARAPKGPTR List = CallBackListArgs(&Target);
    Trelk_CallBackListRemove(List, Target);
    return 0;
}

VS_INT32 QZDataBase_OnBeforeFree(void *L)
{
    (void)L;
    return 0;
}
