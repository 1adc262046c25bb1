// Package information and full class names of saved objects: which class
// package (name, version, location) a saved form needs, and the text that
// names a class with its package.
#include "trelk_proc_internal.h"

#include <cctype>
#include <cstring>


// ---------------------------------------------------------------------------
// Dictionary packages
// ---------------------------------------------------------------------------
static VS_INT32 DictIndex(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    if (Pkg == NULL || Key == NULL)
        return -1;
    VS_INT32 i = Pkg->FindDict(Key);
    return i >= 0 && i < Pkg->GetNumber() ? i : -1;
}

const VS_CHAR *QZProcBase_OnSaveProc_GetPackageValueFromKey(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    VS_INT32 i = DictIndex(Pkg, Key);
    return i >= 0 ? Pkg->GetStr(i) : NULL;
}

VS_PARAPKGPTR QZProcBase_OnSaveProc_GetParaValueFromKey(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    VS_INT32 i = DictIndex(Pkg, Key);
    return i >= 0 && Pkg->GetType(i) == VSTYPE_PARAPKG ? Pkg->GetParaPackage(i) : NULL;
}

void QZProcBase_OnSaveProc_SetPackageValueFromKey(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, const VS_CHAR *Value)
{
    if (Pkg == NULL || Key == NULL)
        return;
    VS_INT32 i = DictIndex(Pkg, Key);
    if (i >= 0) {
        Pkg->InsertStr(i, Value != NULL ? Value : "");
        return;
    }
    Pkg->InsertStr(Pkg->GetNumber(), Key);
    Pkg->InsertStr(Pkg->GetNumber(), Value != NULL ? Value : "");
}

static const VS_CHAR *DictString(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    return QZProcBase_OnSaveProc_GetPackageValueFromKey(Pkg, Key);
}

VS_PARAPKGPTR QZProcBase_OnSaveProc_GetPackageInfo(void *Object)
{
    if (Object == NULL || QZObject_SystemPackageInfo == NULL)
        return NULL;
    const VS_CHAR *Name = SRV->GetName(Object);
    if (Name == NULL)
        return NULL;
    VS_PARAPKGPTR Packages = QZObject_SystemPackageInfo;
    for (VS_INT32 i = 0; i < Packages->GetNumber(); i++) {
        VS_PARAPKGPTR Record = Packages->GetType(i) == VSTYPE_PARAPKG ? Packages->GetParaPackage(i) : NULL;
        if (Record == NULL)
            continue;
        VS_INT32 ListIndex = Record->FindDict("ObjectList");
        VS_PARAPKGPTR List = ListIndex >= 0 && Record->GetType(ListIndex) == VSTYPE_PARAPKG
                                 ? Record->GetParaPackage(ListIndex)
                                 : NULL;
        if (List == NULL)
            continue;
        for (VS_INT32 j = 0; j < List->GetNumber(); j++) {
            const VS_CHAR *ClassName = List->GetStr(j);
            if (ClassName != NULL && strcmp(ClassName, Name) == 0)
                return Record;
        }
    }
    return NULL;
}

// The class a saved object is recorded under: data type for data, proc type
// for procs, the rule type of the rule class object, else the object itself
// (as a class) or its class.
static void *ResolveClass(void *Object, VS_BOOL ObjectIsClass)
{
    if (QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Object) || QZDataBase_IsDataObject(Object))
        return QZDataBase_GetDataType_Internal((StructOfQZDataBase *)Object);
    if (TrelkProc_IsProcClassObject(Object) || Trelk_IsInstOf(Object, QZProcBaseClass))
        return QZProcBase_GetProcType_Internal((StructOfQZProcBase *)Object);
    if (Object != NULL && Object == QZRuleBaseClass)
        return Object; // the rule class object is its own rule type
    return ObjectIsClass ? Object : SRV->GetClass(Object);
}

// Version texts compared part by part at the dots, digit runs by their
// value, so that "1.10" is newer than "1.9"; other parts byte by byte.
static int CompareVersion(const VS_CHAR *a, const VS_CHAR *b)
{
    while (*a != 0 || *b != 0) {
        size_t LenA = strcspn(a, "."), LenB = strcspn(b, ".");
        VS_BOOL DigitsA = LenA > 0, DigitsB = LenB > 0;
        for (size_t i = 0; i < LenA; i++)
            DigitsA = DigitsA && isdigit((unsigned char)a[i]);
        for (size_t i = 0; i < LenB; i++)
            DigitsB = DigitsB && isdigit((unsigned char)b[i]);
        int Result;
        if (DigitsA && DigitsB) {
            const VS_CHAR *pa = a, *pb = b;
            size_t la = LenA, lb = LenB;
            while (la > 1 && *pa == '0')
                pa++, la--;
            while (lb > 1 && *pb == '0')
                pb++, lb--;
            Result = la != lb ? (la < lb ? -1 : 1) : strncmp(pa, pb, la);
        } else {
            Result = strncmp(a, b, LenA < LenB ? LenA : LenB);
            if (Result == 0 && LenA != LenB)
                Result = LenA < LenB ? -1 : 1;
        }
        if (Result != 0)
            return Result;
        a += LenA;
        b += LenB;
        if (*a == '.')
            a++;
        if (*b == '.')
            b++;
    }
    return 0;
}

static void RecordPackage(void *Class, VS_PARAPKGPTR PackageInfo)
{
    VS_PARAPKGPTR Record = QZProcBase_OnSaveProc_GetPackageInfo(Class);
    if (Record == NULL || PackageInfo == NULL)
        return;
    const VS_CHAR *Name = DictString(Record, "PackageName");
    const VS_CHAR *Version = DictString(Record, "PackageVersion");
    const VS_CHAR *Url = DictString(Record, "PackageUrl");
    if (Name == NULL)
        return;
    if (Version == NULL)
        Version = "";
    if (Url == NULL)
        Url = "";
    for (VS_INT32 i = 0; i < PackageInfo->GetNumber(); i++) {
        VS_PARAPKGPTR Entry = PackageInfo->GetType(i) == VSTYPE_PARAPKG ? PackageInfo->GetParaPackage(i) : NULL;
        const VS_CHAR *EntryName = DictString(Entry, "PackageName");
        if (EntryName == NULL || strcmp(EntryName, Name) != 0)
            continue;
        const VS_CHAR *EntryVersion = DictString(Entry, "PackageVersion");
        if (EntryVersion == NULL || CompareVersion(Version, EntryVersion) > 0) {
            QZProcBase_OnSaveProc_SetPackageValueFromKey(Entry, "PackageVersion", Version);
            QZProcBase_OnSaveProc_SetPackageValueFromKey(Entry, "PackageUrl", Url);
        }
        return;
    }
    VS_PARAPKGPTR Entry = Trelk_GetParaPkgInterface(__LINE__);
    Entry->InsertStr(0, "PackageName");
    Entry->InsertStr(1, Name);
    Entry->InsertStr(2, "PackageVersion");
    Entry->InsertStr(3, Version);
    Entry->InsertStr(4, "PackageUrl");
    Entry->InsertStr(5, Url);
    Entry->AsDict(VS_TRUE);
    PackageInfo->InsertParaPackage(PackageInfo->GetNumber(), Entry);
    Entry->Release();
}

void *QZProcBase_OnSaveProc_SaveParaPkgInfo(void *Object, VS_PARAPKGPTR ParaPkg_PackageInfo, VS_BOOL ObjectIsClass)
{
    if (Object == NULL)
        return NULL;
    void *Candidate = ObjectIsClass ? Object : SRV->GetClass(Object);
    if (Candidate != NULL &&
        (QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Candidate) || TrelkProc_IsProcClassObject(Candidate) ||
         Candidate == QZProcChainBaseClass || Candidate == QZRuleBaseClass))
        return Candidate;

    void *Resolved = ResolveClass(Object, ObjectIsClass);
    if (Resolved == NULL)
        return NULL;
    RecordPackage(Resolved, ParaPkg_PackageInfo);

    for (void *Ancestor = SRV->GetClass(Resolved); Ancestor != NULL; Ancestor = SRV->GetClass(Ancestor)) {
        if (QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Ancestor) || TrelkProc_IsProcClassObject(Ancestor))
            break;
        if (!QZDataBase_IsDataObject(Ancestor) && !Trelk_IsInstOf(Ancestor, QZProcBaseClass))
            break;
        QZProcBase_OnSaveProc_SaveParaPkgInfo(Ancestor, ParaPkg_PackageInfo, VS_TRUE);
    }
    return Resolved;
}

VS_CHAR *QZProcBase_OnSaveProc_GetFullClassName(void *Object)
{
    FullClassNamePrintBuf[0] = 0;
    if (Object == NULL)
        return FullClassNamePrintBuf;
    void *Resolved = ResolveClass(Object, VS_FALSE);
    VS_PARAPKGPTR Record = Resolved != NULL ? QZProcBase_OnSaveProc_GetPackageInfo(Resolved) : NULL;
    const VS_CHAR *Name = Record != NULL ? DictString(Record, "PackageName") : NULL;
    if (Name != NULL) {
        const VS_CHAR *Version = DictString(Record, "PackageVersion");
        const VS_CHAR *ClassName = SRV->GetName(Resolved);
        snprintf(FullClassNamePrintBuf, FULLCLASSNAMEPRINTBUF_SIZE, "%s[%s].%s", Name, Version != NULL ? Version : "",
                 ClassName != NULL ? ClassName : "");
    } else {
        const VS_CHAR *ClassName = SRV->GetName(SRV->GetClass(Object));
        snprintf(FullClassNamePrintBuf, FULLCLASSNAMEPRINTBUF_SIZE, "main[0].%s", ClassName != NULL ? ClassName : "");
    }
    return FullClassNamePrintBuf;
}
