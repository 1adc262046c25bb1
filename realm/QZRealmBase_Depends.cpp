// Which script-defined classes a set of procs, chains and data depends on,
// as JSON text ("ClassName" followed by the class's name, once per class),
// and whether every class of such a list exists here.
//
// The walks go depth first through nested packages and through the chains
// of cell types, on work lists rather than the C stack: packages may nest
// deeply, and a cell type's chains may hold that cell type again.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"
#include "trelk_alloc.h"

#include <utility>

void QZRealmBase_BuildDepends_CollectClass_InsertObject(VS_PARAPKGPTR Depends, void *Object)
{
    if (Depends == NULL || Object == NULL)
        return;
    for (VS_INT32 i = 0; i < Depends->GetNumber(); i++)
        if (Depends->GetType(i) == VSTYPE_OBJECT && Depends->GetObject(i) == Object)
            return;
    Depends->InsertObject(Depends->GetNumber(), Object);
}

// The objects still to be handled below one object: the rest of a host
// queue per entry. No script code runs while this walk goes on, so the queue
// pointers stay valid.
struct StructOfDependsWalk {
    TrelkVector<void *> Next;             // next object of each queue entered
    TrelkHashSet<void *> CellTypes; // cell types whose chains were entered
};

static void EnterQueue(StructOfDependsWalk *Walk, void *QueueHead)
{
    void *First = SRV->QueryFirst(QueueHead);
    if (First != NULL)
        Walk->Next.push_back(First);
}

static void HandleObject(VS_PARAPKGPTR Depends, void *Object, StructOfDependsWalk *Walk)
{
    if (Trelk_IsInstOf(Object, QZProcBaseClass)) {
        void *Type = QZProcBase_GetProcType_Internal((StructOfQZProcBase *)Object);
        if (Type == NULL || Type == QZProcBaseClass || Type == QZProcRemoteBaseClass || Type == QZCellBaseClass)
            return;
        QZRealmBase_BuildDepends_CollectClass_InsertObject(Depends, Type);
        // A cell type's procs are in its chains: its child chains first
        // (entered last, so walked first), then its chain queue.
        if (Trelk_IsInstOf(Type, QZCellBaseClass) && Walk->CellTypes.insert(Type).second) {
            EnterQueue(Walk, &((StructOfQZCellBase *)Type)->ProcChainQueue);
            EnterQueue(Walk, &((StructOfQZProcBase *)Type)->QZProcChild);
        }
    } else if (Trelk_IsInstOf(Object, QZProcChainBaseClass)) {
        EnterQueue(Walk, &((StructOfQZProcChainBase *)Object)->QZProcBase);
    } else if (Trelk_IsInstOf(Object, QZDataBaseClass) || Object == QZDataBaseClass) {
        StructOfQZDataBase *Type = QZDataBase_GetDataType_Internal((StructOfQZDataBase *)Object);
        if (Type != NULL && !QZDataBase_IsPreDefined_DataType(Type))
            QZRealmBase_BuildDepends_CollectClass_InsertObject(Depends, Type);
    }
}

void QZRealmBase_BuildDepends_CollectClass_EachObject(VS_PARAPKGPTR Depends, void *Object)
{
    if (Depends == NULL || Object == NULL)
        return;
    StructOfDependsWalk Walk;
    HandleObject(Depends, Object, &Walk);
    while (!Walk.Next.empty()) {
        void *X = Walk.Next.back();
        if (X == NULL) {
            Walk.Next.pop_back();
            continue;
        }
        Walk.Next.back() = SRV->QueryNext(X);
        HandleObject(Depends, X, &Walk);
    }
}

// What a package item must be for its classes to count.
static VS_BOOL Qualifies(void *Object)
{
    return Object != NULL &&
           (Trelk_IsInstOf(Object, QZProcBaseClass) || Trelk_IsInstOf(Object, QZProcChainBaseClass) ||
            Object == QZDataBaseClass || Trelk_IsInstOf(Object, QZDataBaseClass));
}

void QZRealmBase_BuildDepends_CollectClass(VS_PARAPKGPTR Depends, VS_PARAPKGPTR Source)
{
    if (Depends == NULL || Source == NULL)
        return;
    // Each entry: a package and the index of its next item. Every package
    // entered is held to the end (normalising an item runs script code, which
    // may drop the script's references) and walked once, however often it is
    // met: a second walk adds nothing, and a package shared many times over
    // would make the walk explode.
    TrelkVector<std::pair<VS_PARAPKGPTR, VS_INT32>> Steps;
    TrelkVector<VS_PARAPKGPTR> Held;
    TrelkHashSet<VS_PARAPKGPTR> Seen;
    auto Enter = [&](VS_PARAPKGPTR Pkg) {
        if (Pkg == NULL || !Seen.insert(Pkg).second)
            return;
        Pkg->AddRef();
        Held.push_back(Pkg);
        Steps.push_back({Pkg, 0});
    };
    Enter(Source);
    while (!Steps.empty()) {
        VS_PARAPKGPTR Pkg = Steps.back().first;
        VS_INT32 i = Steps.back().second++;
        if (i >= Pkg->GetNumber()) {
            Steps.pop_back();
            continue;
        }
        VS_INT32 Type = Pkg->GetType(i);
        if (Type == VSTYPE_OBJECT) {
            void *Object = Trelk_FromRawObject(Pkg->GetObject(i));
            if (Qualifies(Object))
                QZRealmBase_BuildDepends_CollectClass_EachObject(Depends, Object);
        } else if (Type == VSTYPE_PARAPKG) {
            Enter(Pkg->GetParaPackage(i));
        }
    }
    for (VS_PARAPKGPTR Pkg : Held)
        Pkg->Release();
}

static VS_PARAPKGPTR PkgArg()
{
    return SRV->LuaGetTop() >= 2 && SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
}

VS_INT32 QZRealmBase_BuildDepends(void *L)
{
    (void)L;
    VS_PARAPKGPTR Input = PkgArg();
    VS_PARAPKGPTR Depends = Trelk_GetParaPkgInterface(__LINE__);
    if (Input != NULL && Input->GetNumber() > 0)
        QZRealmBase_BuildDepends_CollectClass(Depends, Input);
    if (Depends->GetNumber() == 0) {
        Depends->Release();
        SRV->LuaPushString("");
        return 1;
    }
    VS_PARAPKGPTR Json = Trelk_GetParaPkgInterface(__LINE__);
    for (VS_INT32 i = 0; i < Depends->GetNumber(); i++) {
        void *Class = Depends->GetObject(i);
        if (Class == NULL)
            continue;
        Json->InsertStr(Json->GetNumber(), "ClassName");
        Json->InsertStr(Json->GetNumber(), Trelk_Name(Class));
    }
    Json->AsDict(VS_TRUE);
    Depends->Release();
    VS_CHAR *Text = Json->ToJSon();
    SRV->LuaPushString(Text != NULL ? Text : "");
    if (Text != NULL)
        Json->FreeBuf(Text);
    Json->Release();
    return 1;
}

VS_INT32 QZRealmBase_IsDependsExist(void *L)
{
    (void)L;
    VS_PARAPKGPTR Pkg = PkgArg();
    if (Pkg == NULL)
        return Trelk_PushBool(VS_FALSE);
    for (VS_INT32 i = 1; i < Pkg->GetNumber(); i += 2) {
        const VS_CHAR *Name = Pkg->GetStr(i);
        if (Name != NULL && SRV->GetObjectEx(NULL, Name) == NULL)
            return Trelk_PushBool(VS_FALSE);
    }
    return Trelk_PushBool(VS_TRUE);
}
