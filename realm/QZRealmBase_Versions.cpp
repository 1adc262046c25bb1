// The module's version, tags of any module object, the change list between
// two sets of data, and what kind of module object a value is.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"
#include "trelk_cell_api.h"

#include <cstring>

#define TRELK_VERSION_MAJOR 0
#define TRELK_VERSION_MINOR 5
#define TRELK_VERSION_PATCH 0
#define TRELK_VERSION_TEXT "0.5.0"

VS_INT32 QZRealmBase_GetVersion(void *L)
{
    (void)L;
    VS_PARAPKGPTR Version = Trelk_GetParaPkgInterface(__LINE__);
    Version->InsertInt(0, TRELK_VERSION_MAJOR);
    Version->InsertInt(1, TRELK_VERSION_MINOR);
    Version->InsertInt(2, TRELK_VERSION_PATCH);
    SRV->LuaPushParaPkg(Version, VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetVersionInfo(void *L)
{
    (void)L;
    SRV->LuaPushString(TRELK_VERSION_TEXT);
    return 1;
}

VS_INT32 QZRealmBase_GetLastNewTypeTickCount(void *L)
{
    (void)L;
    SRV->LuaPushInt64(LastNewTypeTickCount);
    return 1;
}

// ---------------------------------------------------------------------------
// Tags
// ---------------------------------------------------------------------------
// Appends the tag of one module object (or "") to List. The tag routines push
// their text on the script stack; it is read there and popped.
static void AppendTag(VS_PARAPKGPTR List, void *Object)
{
    VS_INT32 Pushed = 0;
    if (Trelk_IsInstOf(Object, QZDataBaseClass))
        Pushed = QZDataBase_GetTag_Internal((StructOfQZDataBase *)Object);
    else if (Trelk_IsInstOf(Object, QZCellBaseClass))
        Pushed = QZCellBase_GetTag_Internal((StructOfQZCellBase *)Object);
    else if (Trelk_IsInstOf(Object, QZProcChainBaseClass))
        Pushed = QZProcChainBase_GetTag_Internal((StructOfQZProcChainBase *)Object);
    else if (Trelk_IsInstOf(Object, QZProcBaseClass))
        Pushed = QZProcBase_GetTag_Internal((StructOfQZProcBase *)Object);
    const VS_CHAR *Tag = Pushed > 0 ? SRV->LuaToString(-1) : NULL;
    List->InsertStr(List->GetNumber(), Tag != NULL ? Tag : "");
    if (Pushed > 0)
        SRV->LuaPop(Pushed);
}

VS_INT32 QZRealmBase_GetTag(void *L)
{
    (void)L;
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    VS_INT32 Top = SRV->LuaGetTop();
    for (VS_INT32 i = 2; i <= Top; i++)
        AppendTag(List, Trelk_ObjectArg(i));
    SRV->LuaPushParaPkg(List, VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetTagEx(void *L)
{
    (void)L;
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Input = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    if (Input != NULL) {
        // Tag routines may run scripts that change the caller's list.
        Input->AddRef();
        for (VS_INT32 i = 0; i < Input->GetNumber(); i++) {
            void *Object = Input->GetType(i) == VSTYPE_OBJECT ? Input->GetObject(i) : NULL;
            AppendTag(List, Object != NULL ? Trelk_FromRawObject(Object) : NULL);
        }
        Input->Release();
    }
    SRV->LuaPushParaPkg(List, VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// Change lists
// ---------------------------------------------------------------------------
// The data object of item i of a set, or NULL.
static StructOfQZDataBase *SetData(VS_PARAPKGPTR Set, VS_INT32 i)
{
    void *Object = Set->GetType(i) == VSTYPE_OBJECT ? Set->GetObject(i) : NULL;
    return Trelk_IsInstOf(Object, QZDataBaseClass) ? (StructOfQZDataBase *)Object : NULL;
}

VS_PARAPKGPTR QZRealmBase_FormatChanged_FormatTag_Internal(VS_PARAPKGPTR DataSet)
{
    VS_PARAPKGPTR Tags = Trelk_GetParaPkgInterface(__LINE__);
    for (VS_INT32 i = 0; DataSet != NULL && i < DataSet->GetNumber(); i++) {
        StructOfQZDataBase *Data = SetData(DataSet, i);
        if (Data == NULL) {
            Tags->InsertStr(i, "");
            continue;
        }
        VS_INT32 Pushed = QZDataBase_GetTag_Internal(Data);
        const VS_CHAR *Tag = Pushed > 0 ? SRV->LuaToString(-1) : NULL;
        Tags->InsertStr(i, Tag != NULL ? Tag : "");
        if (Pushed > 0)
            SRV->LuaPop(Pushed);
    }
    return Tags;
}

// Every item that stands for a data object becomes that object, every other
// item an empty one.
static void NormaliseSet(VS_PARAPKGPTR Set)
{
    for (VS_INT32 i = 0; i < Set->GetNumber(); i++) {
        void *Object = Set->GetType(i) == VSTYPE_OBJECT ? Trelk_FromRawObject(Set->GetObject(i)) : NULL;
        if (Trelk_IsInstOf(Object, QZDataBaseClass))
            Set->InsertObject(i, Object);
        else
            Set->InsertEmpty(i);
    }
}

static void AppendChange(VS_PARAPKGPTR Changes, const VS_CHAR *Tag, VS_INT32 Kind, void *Previous, void *Current)
{
    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    Record->InsertStr(0, Tag);
    Record->InsertInt(1, Kind);
    Record->InsertObject(2, Previous); // NULL stores an empty item
    Record->InsertObject(3, Current);
    Changes->InsertParaPackage(Changes->GetNumber(), Record);
    Record->Release();
}

static VS_BOOL TagIsEmpty(const VS_CHAR *Tag)
{
    return Tag == NULL || Tag[0] == 0;
}

VS_INT32 QZRealmBase_FormatChanged(void *L)
{
    (void)L;
    VS_PARAPKGPTR Changes = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Previous = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    VS_PARAPKGPTR Current = SRV->LuaType(3) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(3) : NULL;
    if (Previous == NULL || Current == NULL) {
        SRV->LuaPushParaPkg(Changes, VS_TRUE);
        return 1;
    }
    // Tags and comparisons may run scripts: the sets stay alive, and each
    // object is read from its set (by ID) when it is used.
    Previous->AddRef();
    Current->AddRef();
    NormaliseSet(Previous);
    NormaliseSet(Current);
    VS_PARAPKGPTR PT = QZRealmBase_FormatChanged_FormatTag_Internal(Previous);
    VS_PARAPKGPTR CT = QZRealmBase_FormatChanged_FormatTag_Internal(Current);

    for (VS_INT32 i = 0; i < PT->GetNumber(); i++) {
        const VS_CHAR *PreviousTag = PT->GetStr(i);
        if (TagIsEmpty(PreviousTag))
            continue;
        VS_BOOL Found = VS_FALSE, Recorded = VS_FALSE;
        for (VS_INT32 j = 0; j < CT->GetNumber(); j++) {
            const VS_CHAR *CurrentTag = CT->GetStr(j);
            if (TagIsEmpty(CurrentTag) || strcmp(CurrentTag, PreviousTag) != 0)
                continue;
            // Each current object is matched once: the first previous
            // object with its tag takes it, compared or not.
            CT->InsertStr(j, "");
            Found = VS_TRUE;
            if (Recorded)
                continue;
            StructOfQZDataBase *P = SetData(Previous, i);
            StructOfQZDataBase *C = SetData(Current, j);
            if (P == NULL || C == NULL || !QZDataBase_Equals_Internal(P, C)) {
                AppendChange(Changes, PreviousTag, 1, SetData(Previous, i), SetData(Current, j));
                Recorded = VS_TRUE;
            }
        }
        if (!Found)
            AppendChange(Changes, PreviousTag, 0, SetData(Previous, i), NULL);
    }
    for (VS_INT32 j = 0; j < CT->GetNumber(); j++) {
        const VS_CHAR *CurrentTag = CT->GetStr(j);
        if (!TagIsEmpty(CurrentTag))
            AppendChange(Changes, CurrentTag, 2, NULL, SetData(Current, j));
    }
    PT->Release();
    CT->Release();
    Previous->Release();
    Current->Release();
    SRV->LuaPushParaPkg(Changes, VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// Kinds of module objects
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_IsData(void *L)
{
    (void)L;
    return Trelk_PushBool(Trelk_IsInstOf(Trelk_ObjectArg(2), QZDataBaseClass));
}

VS_INT32 QZRealmBase_IsProc(void *L)
{
    (void)L;
    return Trelk_PushBool(Trelk_IsInstOf(Trelk_ObjectArg(2), QZProcBaseClass));
}

VS_INT32 QZRealmBase_IsCell(void *L)
{
    (void)L;
    return Trelk_PushBool(Trelk_IsInstOf(Trelk_ObjectArg(2), QZCellBaseClass));
}

VS_INT32 QZRealmBase_IsChain(void *L)
{
    (void)L;
    return Trelk_PushBool(Trelk_IsInstOf(Trelk_ObjectArg(2), QZProcChainBaseClass));
}
