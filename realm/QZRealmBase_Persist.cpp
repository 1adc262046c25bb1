// Saving objects into one package and building new objects from it, the
// realm's JSON packages of value lists, and the scripts' view of the system
// package table.
//
// A saved object package is {"PackageInfo": [...], "ObjectList": [records]}.
// The reader checks every record before it makes anything, so that a package
// that cannot be loaded as a whole loads nothing.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"

#include <cstring>

static const VS_CHAR *RecordText(VS_PARAPKGPTR Record, const VS_CHAR *Key)
{
    return QZProcBase_OnSaveProc_GetPackageValueFromKey(Record, Key);
}

static VS_BOOL IsProcKind(const VS_CHAR *Type)
{
    return Type != NULL && (strcmp(Type, "QZProc") == 0 || strcmp(Type, "QZProcRemote") == 0 ||
                            strcmp(Type, "QZCell") == 0);
}

// Rules and data objects are read back by their own loaders, named by class.
static VS_BOOL IsRuleClass(void *Class)
{
    return Trelk_IsOf(Class, QZRuleBaseClass);
}

static VS_BOOL IsDataClass(void *Class)
{
    return Trelk_IsOf(Class, QZDataBaseClass);
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------
// The rule record: its buffer as a value list with a package-info list of its
// own, and the name of its rule type.
static VS_BOOL SaveRuleRecord(StructOfQZRuleBase *Rule, VS_PARAPKGPTR PackageInfo, VS_PARAPKGPTR Record)
{
    StructOfQZRuleBase *RuleType = QZRuleBase_GetRuleType_Internal(Rule);
    if (RuleType == NULL)
        return VS_FALSE; // no type to load it back as
    VS_PARAPKGPTR OwnInfo = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR ValueList = Trelk_GetParaPkgInterface(__LINE__);
    // The buffer may run scripts while it is written; keep it for the walk.
    VS_PARAPKGPTR RuleBuf = Rule->RuleBuf;
    if (RuleBuf != NULL)
        RuleBuf->AddRef();
    VS_BOOL Ok = QZProcChain_Save_ParaPkg(Rule, RuleBuf, OwnInfo, ValueList, VS_TRUE, VS_FALSE);
    if (RuleBuf != NULL)
        RuleBuf->Release();
    if (Ok) {
        Record->Clear();
        Ok = Record->InsertStr(0, "PackageInfo") && Record->InsertParaPackage(1, OwnInfo) &&
             Record->InsertStr(2, "Value") && Record->InsertParaPackage(3, ValueList);
        Record->AsDict(VS_TRUE);
        Ok = Ok && Record->InsertStr(4, "ClassName") && Record->InsertStr(5, Trelk_Name(RuleType));
    }
    OwnInfo->Release();
    ValueList->Release();
    if (Ok)
        QZProcBase_OnSaveProc_SaveParaPkgInfo(Rule, PackageInfo, VS_TRUE);
    return Ok;
}

// One record by the kind of the object; FALSE when it cannot be written.
static VS_BOOL SaveOneObject(void *Object, VS_PARAPKGPTR PackageInfo, VS_PARAPKGPTR Record)
{
    if (Trelk_IsInstOf(Object, QZProcBaseClass))
        return QZProcBase_OnSaveProc_SaveProc((StructOfQZProcBase *)Object, PackageInfo, Record, VS_FALSE, VS_TRUE);
    if (Trelk_IsInstOf(Object, QZProcChainBaseClass))
        return QZProcBase_OnSaveProc_SaveProcChain((StructOfQZProcChainBase *)Object, PackageInfo, Record, VS_TRUE);
    if (Trelk_IsInstOf(Object, QZRuleBaseClass))
        return SaveRuleRecord((StructOfQZRuleBase *)Object, PackageInfo, Record);
    if (Trelk_IsInstOf(Object, QZDataBaseClass)) {
        if (!QZDataBase_SaveTo_Inernal((StructOfQZDataBase *)Object, Record, VS_TRUE, VS_FALSE))
            return VS_FALSE;
        QZProcBase_OnSaveProc_SaveParaPkgInfo(Object, PackageInfo, VS_TRUE);
        return VS_TRUE;
    }
    return VS_FALSE;
}

VS_INT32 QZRealmBase_SaveObject(void *L)
{
    (void)L;
    VS_PARAPKGPTR Buf = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    if (Buf == NULL)
        return Trelk_PushBool(VS_FALSE);
    VS_PARAPKGPTR ObjectList = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR PackageInfo = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL Ok = VS_TRUE;
    VS_INT32 Top = SRV->LuaGetTop();
    for (VS_INT32 i = 3; i <= Top && Ok; i++) {
        void *Object = Trelk_ObjectArg(i);
        if (Object == NULL) {
            Ok = VS_FALSE;
            break;
        }
        VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
        Ok = SaveOneObject(Object, PackageInfo, Record) &&
             ObjectList->InsertParaPackage(ObjectList->GetNumber(), Record);
        Record->Release();
    }
    Buf->Clear();
    if (Ok) {
        Buf->AsDict(VS_TRUE);
        Ok = Buf->InsertStr(0, "PackageInfo") && Buf->InsertParaPackage(1, PackageInfo) &&
             Buf->InsertStr(2, "ObjectList") && Buf->InsertParaPackage(3, ObjectList);
        // A package that refused part of it must not look like a saved one.
        if (!Ok)
            Buf->Clear();
    }
    ObjectList->Release();
    PackageInfo->Release();
    return Trelk_PushBool(Ok);
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------
// Pass 1: every record can be loaded against the classes as they are now.
// Only the record checks report why a package is refused; the list itself
// answers with an empty result and nothing more.
static VS_BOOL CheckObjectList(VS_PARAPKGPTR ObjectList, VS_BOOL IsStrictmatch)
{
    for (VS_INT32 i = 0; i < ObjectList->GetNumber(); i++) {
        VS_PARAPKGPTR Record = ObjectList->GetType(i) == VSTYPE_PARAPKG ? ObjectList->GetParaPackage(i) : NULL;
        if (Record == NULL)
            return VS_FALSE;
        const VS_CHAR *ClassName = RecordText(Record, "ClassName");
        if (ClassName != NULL) {
            void *Class = SRV->GetObjectEx(NULL, ClassName);
            if (Class == NULL)
                return VS_FALSE;
            if (IsRuleClass(Class) || IsDataClass(Class))
                continue;
        }
        const VS_CHAR *TypeText = RecordText(Record, "Type");
        if (TypeText == NULL)
            return VS_FALSE;
        VS_CHAR Type[16];
        vs_string_snprintf(Type, (VS_INT32)sizeof(Type), "%s", TypeText);
        if (IsProcKind(TypeText)) {
            if (!QZRealmBase_CheckValid_QZProc(Record, Type, IsStrictmatch))
                return VS_FALSE;
        } else if (strcmp(TypeText, "QZProcChain") == 0) {
            if (!QZRealmBase_CheckValid_QZProcChain(Record, Type, IsStrictmatch))
                return VS_FALSE;
        } else {
            return VS_FALSE;
        }
    }
    return VS_TRUE;
}

// Pass 2, one record: the new object with the GC lock it was made with, or
// NULL. *ClassGone is set when a class named by the record has gone since
// pass 1.
static void *LoadOneRecord(VS_PARAPKGPTR Record, VS_PARAPKGPTR QZProcRecord, VS_PARAPKGPTR NextQZProcRecord,
                           VS_BOOL *ClassGone)
{
    const VS_CHAR *ClassName = RecordText(Record, "ClassName");
    if (ClassName != NULL) {
        void *Class = SRV->GetObjectEx(NULL, ClassName);
        if (Class == NULL) {
            *ClassGone = VS_TRUE;
            return NULL;
        }
        if (IsRuleClass(Class))
            return QZRuleBase_LoadFrom_Internal((StructOfQZRuleBase *)QZRuleBaseClass, Record);
        if (IsDataClass(Class))
            return QZDataBase_LoadFrom_Internal(Record);
    }
    // Only a record that passed a proc or chain check reaches a proc loader:
    // a rule or data record that also names a kind is not read twice.
    const VS_CHAR *TypeText = RecordText(Record, "Type");
    if (TypeText == NULL)
        return NULL;
    VS_CHAR Type[16];
    vs_string_snprintf(Type, (VS_INT32)sizeof(Type), "%s", TypeText);
    if (IsProcKind(TypeText))
        return QZRealmBase_Load_QZProc(Record, Type, QZProcRecord, NextQZProcRecord);
    if (strcmp(TypeText, "QZProcChain") == 0)
        return QZRealmBase_Load_QZProcChain(Record, Type, QZProcRecord, NextQZProcRecord);
    return NULL;
}

VS_PARAPKGPTR QZRealmBase_LoadObjectHeld_Internal(StructOfQZRealmBase *QZRealmBase, VS_PARAPKGPTR InputParaPkg,
                                                  VS_BOOL IsStrictmatch)
{
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (QZRealmBase == NULL || InputParaPkg == NULL)
        return Result;
    VS_PARAPKGPTR Saved = QZProcBase_OnSaveProc_GetParaValueFromKey(InputParaPkg, "ObjectList");
    if (Saved == NULL || Saved->GetNumber() == 0)
        return Result;
    // Loaders run scripts (creation events, a type's hooks) that may change
    // the caller's package: both passes read a private copy, so that what
    // pass 2 builds is exactly what pass 1 checked.
    VS_PARAPKGPTR ObjectList = Saved->Dup();
    if (ObjectList == NULL)
        return Result;
    if (!CheckObjectList(ObjectList, IsStrictmatch)) {
        ObjectList->Release();
        return Result;
    }

    VS_PARAPKGPTR QZProcRecord = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR NextQZProcRecord = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL ClassGone = VS_FALSE;
    for (VS_INT32 i = 0; i < ObjectList->GetNumber() && !ClassGone; i++) {
        VS_PARAPKGPTR Record = ObjectList->GetParaPackage(i);
        void *Object = LoadOneRecord(Record, QZProcRecord, NextQZProcRecord, &ClassGone);
        if (Object != NULL)
            Result->InsertObject(Result->GetNumber(), Object);
    }
    // The links between the new procs are made only for a complete load.
    if (!ClassGone)
        QZProcChain_Load_ParaPkg_FixObjectID(QZProcRecord, NextQZProcRecord);
    QZProcRecord->Release();
    NextQZProcRecord->Release();
    ObjectList->Release();
    return Result;
}

void QZRealmBase_LoadObject_LetGo_Internal(VS_PARAPKGPTR Objects)
{
    if (Objects == NULL)
        return;
    for (VS_INT32 i = 0; i < Objects->GetNumber(); i++)
        if (Objects->GetType(i) == VSTYPE_OBJECT && Objects->GetObject(i) != NULL)
            SRV->UnLockGC(Objects->GetObject(i));
}

VS_PARAPKGPTR QZRealmBase_LoadObject_Internal(StructOfQZRealmBase *QZRealmBase, VS_PARAPKGPTR InputParaPkg,
                                              VS_BOOL IsStrictmatch)
{
    VS_PARAPKGPTR Result = QZRealmBase_LoadObjectHeld_Internal(QZRealmBase, InputParaPkg, IsStrictmatch);
    // The package names the objects by ID: each lives until the next
    // collection point, and on while the caller holds it.
    QZRealmBase_LoadObject_LetGo_Internal(Result);
    return Result;
}

VS_INT32 QZRealmBase_LoadObject(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    VS_PARAPKGPTR Buf = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    // Only true asks for lenient matching.
    VS_BOOL IsNotStrictmatch = SRV->LuaType(3) == VSLUATYPE_BOOL && SRV->LuaToBool(3);
    if (Buf != NULL)
        Buf->AddRef();
    VS_PARAPKGPTR Result = QZRealmBase_LoadObject_Internal(Self, Buf, IsNotStrictmatch ? VS_FALSE : VS_TRUE);
    if (Buf != NULL)
        Buf->Release();
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// JSON packages and the system package table
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_SaveToJSonPkg(void *L)
{
    (void)L;
    VS_PARAPKGPTR Buf = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    VS_PARAPKGPTR JSonPkg = QZProcChain_SaveToJSonPkg_Internal(SRV->LuaToObject(1), Buf);
    if (JSonPkg == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(JSonPkg, VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_LoadFromJSonPkg(void *L)
{
    (void)L;
    VS_PARAPKGPTR JSonPkg = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    VS_PARAPKGPTR Result = QZProcChain_LoadFromJSonPkg_Internal(SRV->LuaToObject(1), JSonPkg);
    if (Result == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetSystemPackageInfo(void *L)
{
    (void)L;
    // The live table: what a script adds is seen by later saves and lookups.
    SRV->LuaPushParaPkg(QZObject_SystemPackageInfo, VS_FALSE);
    return 1;
}
