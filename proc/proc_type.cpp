// Proc types: the type of a proc (on which performance records, saved forms,
// tags and equality are keyed), named subtypes and their call, the list of
// types, the proc tag, the info text and proc equality.
#include "trelk_proc_internal.h"
#include "trelk_cell_api.h"
#include "trelk_proc_luafuncs.h"

static VS_BOOL IsProcTypeObject(void *Object)
{
    if (Object == NULL)
        return VS_FALSE;
    if (TrelkProc_IsProcClassObject(Object))
        return VS_TRUE;
    // Only objects of the proc classes carry a proc record.
    if (!TrelkProc_IsProcObject(Object))
        return VS_FALSE;
    return ((StructOfQZProcBase *)Object)->IsType ? VS_TRUE : VS_FALSE;
}

void *QZProcBase_GetProcType_Internal(StructOfQZProcBase *QZProc)
{
    if (QZProc == NULL)
        return NULL;
    if (TrelkProc_IsProcClassObject(QZProc))
        return QZProc;
    // What is no proc has no proc anywhere in its class chain. A proc's
    // class chain holds procs up to a proc class object: each is asked for
    // its type flag alone, without a class test of its own.
    if (!TrelkProc_IsProcObject(QZProc))
        return NULL;
    for (void *X = QZProc; X != NULL; X = SRV->GetClass(X)) {
        if (X != QZProc && TrelkProc_IsProcClassObject(X))
            return X;
        if (((StructOfQZProcBase *)X)->IsType)
            return X;
    }
    return NULL;
}

VS_INT32 QZProcBase_GetType(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    SRV->LuaPushObject(Self != NULL ? QZProcBase_GetProcType_Internal(Self) : NULL);
    return 1;
}

VS_INT32 QZProcBase_GetTypeName(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    SRV->LuaPushString(Trelk_Name(Self != NULL ? QZProcBase_GetProcType_Internal(Self) : NULL));
    return 1;
}

VS_INT32 QZProcBase_IsInstance(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    void *Type = Trelk_ObjectArg(2);
    SRV->LuaPushBool(Self != NULL && Type != NULL && SRV->GetObject(SRV->GetIDEx(Self)) == Self
                         ? SRV->IsInst(SRV->GetIDEx(Type), Self)
                         : VS_FALSE);
    return 1;
}

// ---------------------------------------------------------------------------
// Tags
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_GetTag_Internal(StructOfQZProcBase *QZProc)
{
    void *Type = QZProc != NULL ? QZProcBase_GetProcType_Internal(QZProc) : NULL;
    const VS_CHAR *Name = Type != NULL ? Trelk_Name(Type) : NULL;
    if (Name == NULL) {
        SRV->LuaPushString("");
        return 1;
    }
    // The whole name goes into the tag, however long: two types whose names
    // share a long beginning keep different tags.
    size_t Length = strlen(Name);
    VS_CHAR *Tag = (VS_CHAR *)SRV->Malloc_Nor((VS_ULONG)(Length + 16));
    if (Tag == NULL) {
        SRV->LuaPushString("");
        return 1;
    }
    const VS_CHAR *Dot = strchr(Name, '.');
    if (Dot != NULL)
        snprintf(Tag, Length + 16, "proc_%.*s_%s", (int)(Dot - Name), Name, Dot + 1);
    else
        snprintf(Tag, Length + 16, "proc_global_%s", Name);
    SRV->LuaPushString(Tag);
    SRV->Free(Tag);
    return 1;
}

VS_INT32 QZProcBase_GetTag(void *L)
{
    (void)L;
    return QZProcBase_GetTag_Internal(TrelkProc_SelfArg());
}

VS_INT32 QZProcBase_GetTagLabel(void *L)
{
    (void)L;
    return QZProcBase_GetTag_Internal(TrelkProc_SelfArg());
}

VS_INT32 QZProcBase_GetInfo(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushString("");
        return 1;
    }
    // The full class name is made in the same buffer that receives the text.
    VS_CHAR ClassName[FULLCLASSNAMEPRINTBUF_SIZE];
    snprintf(ClassName, sizeof(ClassName), "%s", QZProcBase_OnSaveProc_GetFullClassName(Self));
    // "<full class name>.<proc name>", cut to the buffer's 2047 characters.
    const VS_CHAR *Parts[3] = {ClassName, ".", Trelk_Name(Self)};
    size_t Used = 0;
    for (const VS_CHAR *Part : Parts) {
        size_t Length = strlen(Part);
        if (Length > FULLCLASSNAMEPRINTBUF_SIZE - 1 - Used)
            Length = FULLCLASSNAMEPRINTBUF_SIZE - 1 - Used;
        memcpy(FullClassNamePrintBuf + Used, Part, Length);
        Used += Length;
    }
    FullClassNamePrintBuf[Used] = 0;
    SRV->LuaPushString(FullClassNamePrintBuf);
    return 1;
}

// ---------------------------------------------------------------------------
// Subtypes and the list of types
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_QuelCall(void *L)
{
    (void)L;
    void *Type = SRV->LuaToObject(1);
    if (!IsProcTypeObject(Type)) {
        SRV->LuaPushNil();
        return 1;
    }
    void *Instance = SRV->MallocObjectL(SRV->GetIDEx(Type), 0, NULL);
    SRV->LuaPushObject(Instance);
    if (Instance != NULL)
        SRV->ReleaseOwnerEx(Instance);
    return 1;
}

static VS_BOOL NameIsTaken(void *NameSpace, void *QuelObjectSpace, const VS_CHAR *Name)
{
    if (NameSpace != NULL && QuelObjectSpace != NULL && SRV->IsInst(SRV->GetIDEx(QuelObjectSpace), NameSpace)) {
        VS_BOOL Ok = VS_FALSE;
        Trelk_NoteScriptCall();
        VS_UWORD Found = SRV->ScriptCall(NameSpace, &Ok, "GetObject", "(s)o", Name);
        return Ok && Found != 0 ? VS_TRUE : VS_FALSE;
    }
    return SRV->GetObjectEx(NULL, Name) != NULL ? VS_TRUE : VS_FALSE;
}

VS_INT32 QZProcBase_CreateSubType(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    // The three class objects are the root types.
    if (!Self->IsType && !TrelkProc_IsProcClassObject(Self)) {
        Trelk_Raise(Self, "'s function \"CreateSubType\" failed, this function must be called via process type");
        SRV->LuaPushNil();
        return 1;
    }
    const VS_CHAR *Name = Trelk_StringArg(2);
    if (Name == NULL || Name[0] == 0) {
        Trelk_Raise(Self, "'s function \"CreateSubType\" failed, the name of the new proctype must be given");
        SRV->LuaPushNil();
        return 1;
    }
    VS_UUID SelfID = SRV->GetID(Self);
    void *NameSpace = Trelk_ObjectArg(3);
    void *QuelObjectSpace = SRV->GetObjectEx(NULL, "QuelObjectSpace");
    VS_BOOL InSpace = NameSpace != NULL && QuelObjectSpace != NULL &&
                      SRV->IsInst(SRV->GetIDEx(QuelObjectSpace), NameSpace);
    VS_BOOL Taken = NameIsTaken(NameSpace, QuelObjectSpace, Name);
    if (SRV->GetObject(&SelfID) != Self) {
        SRV->LuaPushNil();
        return 1;
    }
    if (Taken) {
        Trelk_Raise(Self, "'s function \"CreateSubType\" failed, the proctype [%s] already exists", Name);
        SRV->LuaPushNil();
        return 1;
    }
    StructOfQZProcBase *NewType = (StructOfQZProcBase *)SRV->MallocObjectL(&SelfID, 0, NULL);
    if (NewType == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    SRV->SetName(NewType, Name);
    NewType->IsType = VS_TRUE;
    if (SRV->FindIDKey(GlobalProcTypeIndexTree, SRV->GetIDEx(NewType)) == NULL)
        SRV->InsertIDKey(GlobalProcTypeIndexTree, SRV->GetIDEx(NewType), (void *)1);
    LastNewTypeTickCount = vs_tm_gettickcount64();
    VS_UUID NewID = SRV->GetID(NewType);
    if (InSpace) {
        VS_BOOL Ok = VS_FALSE;
        Trelk_NoteScriptCall();
        SRV->ScriptCall(NameSpace, &Ok, "SetObject", "(o)", NewType);
    }
    if (SRV->GetObject(&NewID) != NewType) {
        SRV->LuaPushNil();
        return 1;
    }
    SRV->RegLuaFunc(NewType, "_QuelCall", QZProcBase_QuelCall, 0);
    SRV->LuaPushObject(NewType);
    return 1;
}

VS_INT32 QZProcBase_CollectType(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    VS_UUID Key;
    for (void *Value = SRV->QueryFirstIDKey(GlobalProcTypeIndexTree, &Key); Value != NULL;
         Value = SRV->QueryNextIDKey(GlobalProcTypeIndexTree, &Key)) {
        void *Type = SRV->GetObject(&Key);
        if (!TrelkProc_IsProcObject(Type) || !((StructOfQZProcBase *)Type)->IsType)
            continue;
        if (Type == QZProcRemoteBaseClass || Type == QZCellBaseClass)
            continue;
        Result->InsertObject(Result->GetNumber(), Type);
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// Equality
// ---------------------------------------------------------------------------
VS_BOOL QZProcBase_Equals_Internal(StructOfQZProcBase *QZProc, StructOfQZProcBase *OtherProc)
{
    if (QZProc == NULL || OtherProc == NULL || !Trelk_IsInstOf(OtherProc, QZProcBaseClass))
        return VS_FALSE;
    if (QZProc == OtherProc)
        return VS_TRUE;
    VS_BOOL CellsEqual = VS_FALSE;
    if (QZCellBase_Equals_Internal(QZProc, OtherProc, &CellsEqual))
        return CellsEqual;
    void *Type = QZProcBase_GetProcType_Internal(QZProc);
    return Type != NULL && Type == QZProcBase_GetProcType_Internal(OtherProc) ? VS_TRUE : VS_FALSE;
}

VS_INT32 QZProcBase_Equals(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    void *Other = Trelk_ObjectArg(2);
    SRV->LuaPushBool(Self != NULL && SRV->GetObject(SRV->GetIDEx(Self)) == Self && TrelkProc_IsProcObject(Other)
                         ? QZProcBase_Equals_Internal(Self, (StructOfQZProcBase *)Other)
                         : VS_FALSE);
    return 1;
}
