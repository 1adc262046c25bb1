// The realm's log and object cache, the text form of a package, handing
// queued messages to the host, and the listing of the module's live objects.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"

#include <cstdio>

static StructOfQZRealmBaseLocalBuf *SelfLocalBuf()
{
    return QZRealmBase_GetLocalBuf_Internal(TrelkRealm_SelfArg());
}

// ---------------------------------------------------------------------------
// Log
// ---------------------------------------------------------------------------
// Stores argument Index at the end of Entry; FALSE when its kind is not kept.
static VS_BOOL StoreLogValue(VS_PARAPKGPTR Entry, VS_INT32 Index)
{
    VS_INT32 At = Entry->GetNumber();
    switch (SRV->LuaType(Index)) {
    case VSLUATYPE_NUMBER:
        return Entry->InsertFloat(At, SRV->LuaToNumber(Index));
    case VSLUATYPE_BOOL:
        return Entry->InsertBool(At, SRV->LuaToBool(Index));
    case VSLUATYPE_STRING: {
        VS_INT32 Length = 0;
        const VS_CHAR *Text = SRV->LuaToLString(Index, &Length);
        return Text != NULL && Entry->InsertStrEx(At, Text, Length);
    }
    case VSLUATYPE_OBJECT: {
        void *Object = SRV->LuaToObject(Index);
        return Object != NULL && Entry->InsertObject(At, Object);
    }
    case VSLUATYPE_PARAPKG: {
        VS_PARAPKGPTR Pkg = SRV->LuaToParaPkg(Index);
        return Pkg != NULL && Entry->InsertParaPackage(At, Pkg);
    }
    case VSLUATYPE_INT:
        return Entry->InsertInt(At, SRV->LuaToInt(Index));
    case VSLUATYPE_INT64:
    case VSLUATYPE_UWORD:
        return Entry->InsertInt64(At, SRV->LuaToInt64(Index));
    default:
        return VS_FALSE;
    }
}

VS_INT32 QZRealmBase_SetLog(void *L)
{
    (void)L;
    StructOfQZRealmBaseLocalBuf *LocalBuf = SelfLocalBuf();
    if (LocalBuf == NULL || LocalBuf->LogPackage == NULL)
        return 0;
    VS_PARAPKGPTR Entry = Trelk_GetParaPkgInterface(__LINE__);
    VS_INT32 Top = SRV->LuaGetTop();
    VS_INT32 Stored = 0;
    for (VS_INT32 p = 2; p <= Top; p++) {
        // Each value keeps its argument's place: a value that is not kept
        // leaves an empty item before the next one that is.
        while (Entry->GetNumber() < p - 2)
            Entry->InsertEmpty(Entry->GetNumber());
        if (StoreLogValue(Entry, p))
            Stored = Entry->GetNumber();
    }
    // Trailing gaps are not part of the entry.
    while (Entry->GetNumber() > Stored)
        Entry->Del(Entry->GetNumber() - 1);
    if (Stored > 0)
        LocalBuf->LogPackage->InsertParaPackage(LocalBuf->LogPackage->GetNumber(), Entry);
    Entry->Release();
    return 0;
}

VS_INT32 QZRealmBase_ClearLog(void *L)
{
    (void)L;
    StructOfQZRealmBaseLocalBuf *LocalBuf = SelfLocalBuf();
    if (LocalBuf != NULL && LocalBuf->LogPackage != NULL)
        LocalBuf->LogPackage->Clear();
    return 0;
}

VS_INT32 QZRealmBase_GetLog(void *L)
{
    (void)L;
    StructOfQZRealmBaseLocalBuf *LocalBuf = SelfLocalBuf();
    if (LocalBuf == NULL || LocalBuf->LogPackage == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(LocalBuf->LogPackage, VS_FALSE);
    return 1;
}

// ---------------------------------------------------------------------------
// Object cache
// ---------------------------------------------------------------------------
// A key argument: a string, else NULL.
static const VS_CHAR *KeyArg(VS_INT32 Index)
{
    return Trelk_StringArg(Index);
}

static void *CachedObject(void *Entry)
{
    return Entry != NULL ? SRV->GetObject((VS_UUID *)Entry) : NULL;
}

VS_INT32 QZRealmBase_SetCache(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Self);
    const VS_CHAR *Key = KeyArg(2);
    void *Object = Trelk_ObjectArg(3);
    if (LocalBuf == NULL || Key == NULL || Object == NULL)
        return Trelk_PushBool(VS_FALSE);
    if (strlen(Key) >= TRELK_REALM_CACHEKEY_SIZE) {
        QZRealmBase_RaiseException(Self, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "[%s] SetCache failed, the string key length must be < %d", Trelk_Name(Self),
                                   TRELK_REALM_CACHEKEY_SIZE);
        return Trelk_PushBool(VS_FALSE);
    }
    if (LocalBuf->CachedObjectIndexTree != NULL && SRV->FindStringKey(LocalBuf->CachedObjectIndexTree, Key) != NULL) {
        QZRealmBase_RaiseException(Self, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "[%s] SetCache failed, the object with same string key has existed",
                                   Trelk_Name(Self));
        return Trelk_PushBool(VS_FALSE);
    }
    return Trelk_PushBool(TrelkRealm_CacheInsert(LocalBuf, Key, Object));
}

VS_INT32 QZRealmBase_FindCache(void *L)
{
    (void)L;
    StructOfQZRealmBaseLocalBuf *LocalBuf = SelfLocalBuf();
    const VS_CHAR *Key = KeyArg(2);
    void *Object = NULL;
    if (LocalBuf != NULL && Key != NULL && LocalBuf->CachedObjectIndexTree != NULL)
        Object = CachedObject(SRV->FindStringKey(LocalBuf->CachedObjectIndexTree, Key));
    if (Object == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushObject(Object);
    return 1;
}

VS_INT32 QZRealmBase_GetCache(void *L)
{
    (void)L;
    StructOfQZRealmBaseLocalBuf *LocalBuf = SelfLocalBuf();
    void *Class = Trelk_ObjectArg(2);
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    if (LocalBuf != NULL && LocalBuf->CachedObjectIndexTree != NULL) {
        const VS_CHAR *Key;
        for (void *V = SRV->QueryFirstStringKey(LocalBuf->CachedObjectIndexTree, &Key); V != NULL;
             V = SRV->QueryNextStringKey(LocalBuf->CachedObjectIndexTree, &Key)) {
            void *Object = CachedObject(V);
            if (Object != NULL && (Class == NULL || Trelk_IsInstOf(Object, Class)))
                List->InsertObject(List->GetNumber(), Object);
        }
    }
    SRV->LuaPushParaPkg(List, VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_ClearCache(void *L)
{
    (void)L;
    StructOfQZRealmBaseLocalBuf *LocalBuf = SelfLocalBuf();
    if (LocalBuf == NULL || LocalBuf->CachedObjectIndexTree == NULL)
        return 0;
    VS_INT32 Type = SRV->LuaType(2);
    if (Type == VSLUATYPE_NIL) {
        TrelkRealm_CacheClearAll(LocalBuf);
        return 0;
    }
    // Anything but a key or nil clears nothing: a mistaken argument must not
    // empty the whole cache.
    const VS_CHAR *Key = KeyArg(2);
    if (Key == NULL)
        return 0;
    void *Entry = SRV->DelStringKey(LocalBuf->CachedObjectIndexTree, Key);
    if (Entry == NULL)
        return 0;
    void *Object = CachedObject(Entry);
    if (Object != NULL)
        SRV->UnLockGC(Object);
    SRV->Free(Entry);
    return 0;
}

// ---------------------------------------------------------------------------
// Text of a package, dispatch
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_ParaPkgToString(void *L)
{
    (void)L;
    VS_PARAPKGPTR Pkg = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    if (Pkg == NULL || Pkg->GetNumber() == 0 || (Pkg->GetNumber() == 1 && Pkg->GetType(0) == VSTYPE_EMPTY)) {
        SRV->LuaPushString("");
        return 1;
    }
    VS_CHAR *Text = Pkg->GetValueStr();
    SRV->LuaPushString(Text != NULL ? Text : "");
    if (Text != NULL)
        Pkg->FreeBuf(Text);
    return 1;
}

VS_INT32 QZRealmBase_ZelDispatch(void *L)
{
    (void)L;
    Trelk_DispatchAll();
    return 0;
}

// ---------------------------------------------------------------------------
// Listing the module's live objects
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_PrintObjects_GetInstNum(void *ClassObject, VS_BOOL OutputToConsole)
{
    if (ClassObject == NULL)
        return 0;
    // The lines are made first and written afterwards: with a realm stub set a
    // line goes to a script, which may free the very objects being listed.
    VS_PARAPKGPTR Lines = Trelk_GetParaPkgInterface(__LINE__);
    if (Lines == NULL)
        return 0;
    VS_QUERYRECORD Query;
    memset(&Query, 0, sizeof(Query));
    VS_CHAR Line[1024];
    for (void *Object = SRV->QueryFirstInst(&Query, ClassObject); Object != NULL;
         Object = SRV->QueryNextInst(&Query, ClassObject)) {
        VS_INT32 Refs = SRV->GetRefEx(Object);
        void *Parent = SRV->GetParent(Object);
        const VS_CHAR *End = OutputToConsole ? "\n" : "";
        if (Trelk_IsInstOf(Object, QZCellBaseClass)) {
            VS_INT32 DataCount = Tarvex_ScheduleProc_GetItemNumber(&((StructOfQZCellBase *)Object)->EnvDataQueue);
            if (Parent != NULL)
                snprintf(Line, sizeof(Line), "[%d][%d]  %s[Parent:%s]%s", Refs, DataCount, Trelk_Name(Object),
                         Trelk_Name(Parent), End);
            else
                snprintf(Line, sizeof(Line), "[%d][%d]  %s%s", Refs, DataCount, Trelk_Name(Object), End);
        } else if (Parent != NULL) {
            snprintf(Line, sizeof(Line), "[%d]  %s[Parent:%s]%s", Refs, Trelk_Name(Object), Trelk_Name(Parent), End);
        } else {
            snprintf(Line, sizeof(Line), "[%d]  %s%s", Refs, Trelk_Name(Object), End);
        }
        Lines->InsertStr(Lines->GetNumber(), Line);
    }
    SRV->QueryInstClose(&Query);
    VS_INT32 Count = Lines->GetNumber();
    for (VS_INT32 i = 0; i < Count; i++) {
        const VS_CHAR *Text = Lines->GetStr(i);
        if (Text == NULL)
            continue;
        if (OutputToConsole)
            fputs(Text, stdout);
        else
            QZRealmBase_RaiseException(NULL, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0, "%s", Text);
    }
    Lines->Release();
    if (OutputToConsole)
        fflush(stdout);
    return Count;
}

struct StructOfPrintObjectsClass {
    void **ClassObject;
    const VS_CHAR *Label;        // console form, without the count and line end
    const VS_CHAR *ReportLabel;  // the form reported to the host
};

// The class globals are read at call time: the table names where they are.
static const StructOfPrintObjectsClass PrintObjectsClasses[] = {
    {&QZObjectPointerClass, "QZObjectPointerClass                :  ", NULL},
    {&QZObjectPointerWithChangeFlagClass, "QZObjectPointerWithChangeFlagClass  :  ", NULL},
    {&QZDataInputContainerClass, "QZDataInputContainerClass           :  ", NULL},
    {&QZDataBaseClass, "QZDataBaseClass                     :  ", NULL},
    {&QZDataSetBaseClass, "QZDataSetBaseClass                  :  ",
     "QZDataSetBaseClass                     :  "},
    {&QZDataOutputContainerClass, "QZDataOutputContainerClass          :  ", NULL},
    {&QZExceptionBaseClass, "QZExceptionBaseClass                :  ", NULL},
    {&QZProcBaseClass, "QZProcBaseClass                     :  ", NULL},
    {&QZProcRemoteBaseClass, "QZProcRemoteBaseClass               :  ", NULL},
    {&QZProcRunnerBaseClass, "QZProcRunnerBaseClass               :  ", NULL},
    {&QZProcChainBaseClass, "QZProcChainBaseClass                :  ", NULL},
    {&QZCellBaseClass, "QZCellBaseClass                     :  ", NULL},
};

VS_INT32 QZRealmBase_PrintObjects(void *L)
{
    (void)L;
    VS_BOOL OutputToConsole = SRV->LuaToBool(2);
    for (const StructOfPrintObjectsClass &Entry : PrintObjectsClasses) {
        VS_INT32 Count = QZRealmBase_PrintObjects_GetInstNum(*Entry.ClassObject, OutputToConsole);
        if (OutputToConsole) {
            printf("%s%d\n", Entry.Label, Count);
            fflush(stdout);
        } else {
            SRV->ProcessError(TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0, "%s%d",
                              Entry.ReportLabel != NULL ? Entry.ReportLabel : Entry.Label, Count);
        }
    }
    return 0;
}
