// Small helpers the proc files share: proc tests, the luafuncs' proc
// argument, queue walks and positioned packages.
#include "trelk_proc_internal.h"

// Class IDs of the three proc classes. Their class objects receive the
// creation event inside registration, before the module's class globals are
// set, so they are recognised by ID.
static const VS_UUID QZProcBaseClassID = {0x0CE3FA22, 0x9B7F, 0x4598, {0x9C, 0x44, 0x51, 0xA7, 0x68, 0x81, 0x8A, 0xEC}};
static const VS_UUID QZProcRemoteBaseClassID = {
    0x5F7E7457, 0x14E7, 0x43d2, {0x8F, 0x72, 0x2E, 0x6A, 0x0A, 0x02, 0xAA, 0xF9}};
static const VS_UUID QZCellBaseClassID = {0x240D0512, 0x49D4, 0x4bf7, {0x8E, 0xCC, 0xE7, 0x4A, 0xD4, 0xFD, 0x9A, 0x29}};

static VS_BOOL HasID(void *Object, const VS_UUID *ID)
{
    VS_UUID *Own = Object != NULL ? SRV->GetIDEx(Object) : NULL;
    return Own != NULL && Trelk_IDEqual(Own, ID) ? VS_TRUE : VS_FALSE;
}

VS_BOOL TrelkProc_IsProcClassObject(void *Object)
{
    // The object's ID is asked once and held against all three.
    VS_UUID *Own = Object != NULL ? SRV->GetIDEx(Object) : NULL;
    return Own != NULL && (Trelk_IDEqual(Own, &QZProcBaseClassID) || Trelk_IDEqual(Own, &QZProcRemoteBaseClassID) ||
                           Trelk_IDEqual(Own, &QZCellBaseClassID))
               ? VS_TRUE
               : VS_FALSE;
}

VS_BOOL TrelkProc_IsProcBaseClassObject(void *Object)
{
    return HasID(Object, &QZProcBaseClassID);
}

VS_BOOL TrelkProc_IsProcObject(void *Object)
{
    if (Object == NULL || SRV == NULL)
        return VS_FALSE;
    if (TrelkProc_IsProcClassObject(Object))
        return VS_TRUE;
    VS_UUID ClassID = QZProcBaseClassID;
    return SRV->IsInst(&ClassID, Object);
}

VS_BOOL TrelkProc_IsCell(void *Object)
{
    if (Object == NULL)
        return VS_FALSE;
    VS_UUID ClassID = QZCellBaseClassID;
    return SRV->IsInst(&ClassID, Object);
}

StructOfQZProcBase *TrelkProc_SelfArg()
{
    void *Self = SRV->LuaToObject(1);
    return TrelkProc_IsProcObject(Self) ? (StructOfQZProcBase *)Self : NULL;
}

StructOfQZProcBase *TrelkProc_InstanceSelfArg()
{
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    return Self != NULL && !TrelkProc_IsProcClassObject(Self) ? Self : NULL;
}

OBJECTATTRIBUTEINDEX TrelkProc_ProcAttrIndex(const VS_CHAR *Name)
{
    return Trelk_ClassAttrIndex(QZProcBaseClass, Name);
}

VS_BOOL TrelkProc_PkgHasObject(VS_PARAPKGPTR Pkg, void *Object)
{
    if (Pkg == NULL || Object == NULL)
        return VS_FALSE;
    for (VS_INT32 i = 0; i < Pkg->GetNumber(); i++)
        if (Pkg->GetType(i) == VSTYPE_OBJECT && Pkg->GetObject(i) == Object)
            return VS_TRUE;
    return VS_FALSE;
}

void TrelkProc_ReleaseQueue(void *QueueHead)
{
    void *Item = SRV->QueryFirst(QueueHead);
    while (Item != NULL) {
        void *Next = SRV->QueryNext(Item);
        SRV->ChangeParent(Item, NULL, 0);
        SRV->UnLockGC(Item);
        Item = Next;
    }
}

VS_INT32 TrelkProc_PutAt(VS_PARAPKGPTR Pkg, VS_INT32 Index)
{
    while (Pkg->GetNumber() < Index)
        Pkg->InsertEmpty(Pkg->GetNumber());
    return Index;
}
