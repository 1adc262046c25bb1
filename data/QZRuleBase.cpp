// Rules and rule attachments: the rule's settings package and its life cycle,
// rule types and instances, the rule record (SaveTo / LoadFrom), the JSON
// package of any buffer, and the attachment item that keeps its rule alive.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

#include <cstring>

VS_BOOL QZRuleBase_IsRuleObject(void *Object)
{
    return Trelk_IsOf(Object, QZRuleBaseClass);
}

static StructOfQZRuleBase *SelfRule()
{
    void *Self = SRV->LuaToObject(1);
    return QZRuleBase_IsRuleObject(Self) ? (StructOfQZRuleBase *)Self : NULL;
}

static VS_BOOL IsRuleType(StructOfQZRuleBase *Rule)
{
    return Rule != NULL && (Rule == QZRuleBaseClass || Rule->IsType) ? VS_TRUE : VS_FALSE;
}

StructOfQZRuleBase *QZRuleBase_GetRuleType_Internal(StructOfQZRuleBase *QZRule)
{
    void *X = QZRule;
    while (X != NULL && QZRuleBase_IsRuleObject(X)) {
        if (IsRuleType((StructOfQZRuleBase *)X))
            return (StructOfQZRuleBase *)X;
        X = SRV->GetClass(X);
    }
    return NULL;
}

static VS_INT32 DictIndex(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    VS_INT32 Index = Pkg->FindDict(Key);
    return Index >= 0 && Index < Pkg->GetNumber() ? Index : -1;
}

// ---------------------------------------------------------------------------
// System events
// ---------------------------------------------------------------------------
VS_INT32 QZRuleBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL || QZRuleBaseClass == NULL)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (Object == QZRuleBaseClass || !QZRuleBase_IsRuleObject(Object))
        return 0;
    StructOfQZRuleBase *Rule = (StructOfQZRuleBase *)Object;
    switch (SRV->GetSysEventID(EventPara)) {
    case VSEVENT_SYSTEMEVENT_ONCREATE:
        if (Rule->RuleBuf != NULL)
            Rule->RuleBuf->Release();
        Rule->RuleBuf = Trelk_GetParaPkgInterface(__LINE__);
        break;
    case VSEVENT_SYSTEMEVENT_ONBEFOREFREE:
        SRV->GetLastError();
        if (!QZRealmBase_ExecNameScript(Rule, "OnBeforeFree", 0, 0))
            Trelk_Raise(Rule, "'s callback function OnBeforeFree failed");
        else
            QZProcChain_IsExecNameScriptError(Rule, "callback function OnBeforeFree failed");
        if (Rule->RuleBuf != NULL)
            Rule->RuleBuf->Release();
        Rule->RuleBuf = NULL;
        break;
    default:
        break;
    }
    return 0;
}

VS_INT32 QZRuleAttachBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL || QZRuleAttachBaseClass == NULL)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (Object == QZRuleAttachBaseClass || !Trelk_IsOf(Object, QZRuleAttachBaseClass))
        return 0;
    if (SRV->GetSysEventID(EventPara) == VSEVENT_SYSTEMEVENT_ONBEFOREFREE) {
        void *Rule = SRV->GetObject(&((StructOfQZRuleAttachBase *)Object)->QZRuleID);
        if (Rule != NULL)
            SRV->UnLockGC(Rule);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Rule record
// ---------------------------------------------------------------------------
static void *LoadRuleRecord(StructOfQZRuleBase *QZRuleBase, VS_PARAPKGPTR ValueBufWithDepends);

void *QZRuleBase_LoadFrom_Internal(StructOfQZRuleBase *QZRuleBase, VS_PARAPKGPTR ValueBufWithDepends)
{
    return LoadRuleRecord(QZRuleBase, ValueBufWithDepends);
}

static void *LoadRuleRecord(StructOfQZRuleBase *QZRuleBase, VS_PARAPKGPTR ValueBufWithDepends)
{
    if (ValueBufWithDepends == NULL)
        return NULL;
    VS_INT32 NameIndex = DictIndex(ValueBufWithDepends, "ClassName");
    const VS_CHAR *ClassName = NameIndex >= 0 ? ValueBufWithDepends->GetStr(NameIndex) : NULL;
    if (ClassName == NULL) {
        Trelk_Raise(QZRuleBase, " LoadFrom failed, data type is not saved");
        return NULL;
    }
    void *Class = TrelkData_FindClassByName(ValueBufWithDepends, NameIndex);
    if (Class == NULL) {
        Trelk_Raise(QZRuleBase, " LoadFrom failed, rule type %s is not found", ClassName);
        return NULL;
    }
    StructOfQZRuleBase *RuleType =
        QZRuleBase_IsRuleObject(Class) ? QZRuleBase_GetRuleType_Internal((StructOfQZRuleBase *)Class) : NULL;
    if (RuleType == NULL) {
        Trelk_Raise(QZRuleBase, " LoadFrom must be called for QZRule Class which IsType is true");
        return NULL;
    }
    VS_INT32 ValueIndex = DictIndex(ValueBufWithDepends, "Value");
    if (ValueIndex < 0 || ValueBufWithDepends->GetType(ValueIndex) != VSTYPE_PARAPKG)
        return NULL;
    VS_PARAPKGPTR ValueList = ValueBufWithDepends->GetParaPackage(ValueIndex);
    if (ValueList == NULL)
        return NULL;
    VS_PARAPKGPTR RuleBuf = Trelk_GetParaPkgInterface(__LINE__);
    if (!QZProcChain_Load_ParaPkg(RuleType, RuleBuf, ValueList, VS_FALSE)) {
        RuleBuf->Release();
        return NULL;
    }
    StructOfQZRuleBase *Rule = (StructOfQZRuleBase *)SRV->MallocObjectL(SRV->GetIDEx(RuleType), 0, NULL);
    if (Rule == NULL) {
        RuleBuf->Release();
        return NULL;
    }
    if (Rule->RuleBuf != NULL)
        Rule->RuleBuf->Release();
    Rule->RuleBuf = RuleBuf;
    return Rule;
}

// ---------------------------------------------------------------------------
// Luafuncs
// ---------------------------------------------------------------------------
VS_INT32 QZRuleBase_GetRuleBuf(void *L)
{
    (void)L;
    StructOfQZRuleBase *Self = SelfRule();
    SRV->LuaPushParaPkg(Self != NULL ? Self->RuleBuf : NULL, VS_FALSE);
    return 1;
}

VS_INT32 QZRuleBase_SaveTo(void *L)
{
    (void)L;
    StructOfQZRuleBase *Self = SelfRule();
    VS_PARAPKGPTR ValueBuf = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    if (Self == NULL || ValueBuf == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    if (Self->RuleBuf == NULL || Self->RuleBuf->GetNumber() == 0)
        return Trelk_FailFalse(Self, "'s buf is empty, can not save");
    StructOfQZRuleBase *RuleType = QZRuleBase_GetRuleType_Internal(Self);
    VS_PARAPKGPTR PackageInfo = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR ValueList = Trelk_GetParaPkgInterface(__LINE__);
    // A rule's buffer may be the very package it is saved into.
    VS_PARAPKGPTR RuleBuf = Self->RuleBuf;
    RuleBuf->AddRef();
    VS_BOOL Ok = RuleType != NULL &&
                 QZProcChain_Save_ParaPkg(Self, RuleBuf, PackageInfo, ValueList, VS_TRUE, VS_FALSE);
    RuleBuf->Release();
    if (Ok) {
        ValueBuf->Clear();
        ValueBuf->InsertStr(0, "PackageInfo");
        ValueBuf->InsertParaPackage(1, PackageInfo);
        ValueBuf->InsertStr(2, "Value");
        ValueBuf->InsertParaPackage(3, ValueList);
        ValueBuf->AsDict(VS_TRUE);
        ValueBuf->InsertStr(4, "ClassName");
        ValueBuf->InsertStr(5, Trelk_Name(RuleType));
    }
    PackageInfo->Release();
    ValueList->Release();
    SRV->LuaPushBool(Ok);
    return 1;
}

VS_INT32 QZRuleBase_LoadFrom(void *L)
{
    (void)L;
    StructOfQZRuleBase *Self = SelfRule();
    VS_PARAPKGPTR ValueBuf = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    void *Rule = Self != NULL ? QZRuleBase_LoadFrom_Internal(Self, ValueBuf) : NULL;
    Trelk_PushHandOver(Rule);
    return 1;
}

VS_INT32 QZRuleBase_SaveToJSonPkg(void *L)
{
    (void)L;
    StructOfQZRuleBase *Self = SelfRule();
    VS_PARAPKGPTR Buf = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    VS_PARAPKGPTR JSonPkg = Self != NULL ? QZProcChain_SaveToJSonPkg_Internal(Self, Buf) : NULL;
    if (JSonPkg == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(JSonPkg, VS_TRUE);
    return 1;
}

VS_INT32 QZRuleBase_LoadFromJSonPkg(void *L)
{
    (void)L;
    StructOfQZRuleBase *Self = SelfRule();
    VS_PARAPKGPTR JSonPkg = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    VS_PARAPKGPTR Result = Self != NULL ? QZProcChain_LoadFromJSonPkg_Internal(Self, JSonPkg) : NULL;
    if (Result == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZRuleBase_Equals(void *L)
{
    (void)L;
    StructOfQZRuleBase *Self = SelfRule();
    void *Other = Trelk_ObjectArg(2);
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL && Other == Self)
        Result = VS_TRUE;
    else if (Self != NULL && Other != NULL && QZRuleBase_IsRuleObject(Other) && Other != QZRuleBaseClass) {
        StructOfQZRuleBase *OtherRule = (StructOfQZRuleBase *)Other;
        if (Self->RuleBuf != NULL && OtherRule->RuleBuf != NULL)
            Result = Self->RuleBuf->Equals(OtherRule->RuleBuf);
    }
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZRuleBase_OnApproved(void *L)
{
    (void)L;
    return 0;
}

VS_INT32 QZRuleBase_OnDisapproved(void *L)
{
    (void)L;
    return 0;
}

VS_INT32 QZRuleBase_OnBeforeFree(void *L)
{
    (void)L;
    return 0;
}

VS_INT32 QZRuleBase_Create(void *L)
{
    (void)L;
    StructOfQZRuleBase *Self = SelfRule();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    // An ObjectID is given when argument 2 is anything but nil or "".
    VS_BOOL HasID = VS_FALSE;
    const VS_CHAR *IDText = NULL;
    if (SRV->LuaGetTop() >= 2 && SRV->LuaType(2) != VSLUATYPE_NIL) {
        IDText = Trelk_StringArg(2);
        HasID = IDText == NULL || IDText[0] != 0 ? VS_TRUE : VS_FALSE;
    }
    if (IsRuleType(Self)) {
        if (HasID)
            return Trelk_Fail(Self, "'s Create or () failed, the input for instance must be empty");
        Trelk_PushHandOver(SRV->MallocObjectL(SRV->GetIDEx(Self), 0, NULL));
        return 1;
    }
    VS_UUID NewID;
    memset(&NewID, 0, sizeof(NewID));
    if (HasID) {
        if (IDText == NULL || !SRV->StringToUuid(IDText, &NewID))
            return Trelk_Fail(Self, "'s Create or () failed, the input id is invalid");
        if (SRV->GetObject(&NewID) != NULL)
            return Trelk_Fail(Self, "'s Create or () failed, the input id is assign other objects");
    }
    Trelk_PushHandOver(SRV->MallocObjectLEx(SRV->GetIDEx(Self), &NewID, 0, NULL));
    return 1;
}

VS_INT32 QZRuleBase_CreateType(void *L)
{
    (void)L;
    void *Self = SRV->LuaToObject(1);
    if (!QZRuleBase_IsRuleObject(Self) || !IsRuleType((StructOfQZRuleBase *)Self))
        return Trelk_FailText("create [%s:%s]'s sub-type failed, this object is not rule type",
                              Trelk_IDText(Self), Trelk_Name(Self));
    const VS_CHAR *TypeName = NULL;
    if (!TrelkData_TypeNameArg(Self, 2, &TypeName))
        return 1;
    if (TypeName == NULL || TypeName[0] == 0) {
        SRV->LuaPushNil();
        return 1;
    }
    StructOfQZRuleBase *Type = (StructOfQZRuleBase *)SRV->MallocObjectL(SRV->GetIDEx(Self), 0, NULL);
    if (Type == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    SRV->SetName(Type, TypeName);
    Type->IsType = VS_TRUE;
    // A type keeps the module's reference: it lives as long as the module.
    SRV->LuaPushObject(Type);
    return 1;
}

VS_INT32 QZRuleBase_GetRuleType(void *L)
{
    (void)L;
    SRV->LuaPushObject(QZRuleBase_GetRuleType_Internal(SelfRule()));
    return 1;
}

VS_INT32 QZRuleBase_CollectType(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    VS_QUERYRECORD Query;
    memset(&Query, 0, sizeof(Query));
    for (void *Rule = SRV->QueryFirstInst(&Query, QZRuleBaseClass); Rule != NULL;
         Rule = SRV->QueryNextInst(&Query, QZRuleBaseClass)) {
        if (((StructOfQZRuleBase *)Rule)->IsType)
            Result->InsertObject(Result->GetNumber(), Rule);
    }
    SRV->QueryInstClose(&Query);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}
