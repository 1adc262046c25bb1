// The realm's four child queues and the class tests of its luafuncs.
//
// A realm keeps the objects of its queues alive with exactly one GC lock per
// membership. Objects move between queues (of this realm or of another one)
// with the lock they have, so entering a queue locks only what came from
// outside every realm.
#include "trelk_realm_internal.h"

VS_BOOL TrelkRealm_IsRealm(void *Object)
{
    return Trelk_IsInstOf(Object, QZRealmBaseClass);
}

VS_BOOL TrelkRealm_IsData(void *Object)
{
    return Trelk_IsInstOf(Object, QZDataBaseClass);
}

VS_BOOL TrelkRealm_IsCell(void *Object)
{
    return Trelk_IsInstOf(Object, QZCellBaseClass);
}

StructOfQZRealmBase *TrelkRealm_SelfArg()
{
    void *Self = SRV->LuaToObject(1);
    return TrelkRealm_IsRealm(Self) ? (StructOfQZRealmBase *)Self : NULL;
}

OBJECTATTRIBUTEINDEX TrelkRealm_QueueIndex(const VS_CHAR *QueueName)
{
    if (QZRealmBaseClass == NULL)
        return VS_INVALID_ATTRIBUTEINDEX;
    return Trelk_ClassAttrIndex(QZRealmBaseClass, QueueName);
}

VS_BOOL TrelkRealm_InQueue(StructOfQZRealmBase *QZRealm, void *Object, const VS_CHAR *QueueName)
{
    if (QZRealm == NULL || Object == NULL || SRV->GetParent(Object) != QZRealm)
        return VS_FALSE;
    return SRV->GetIndex(Object) == TrelkRealm_QueueIndex(QueueName) ? VS_TRUE : VS_FALSE;
}

// TRUE when the object's place is one of the four queues of some realm, so
// that the place holds a lock on it.
static VS_BOOL SitsInRealmQueue(void *Object)
{
    void *Parent = SRV->GetParent(Object);
    if (Parent == NULL || !TrelkRealm_IsRealm(Parent))
        return VS_FALSE;
    OBJECTATTRIBUTEINDEX Index = SRV->GetIndex(Object);
    return (Index == TrelkRealm_QueueIndex(TRELK_REALM_ENVDATAQUEUE) ||
            Index == TrelkRealm_QueueIndex(TRELK_REALM_CELLQUEUE) ||
            Index == TrelkRealm_QueueIndex(TRELK_REALM_CELLLIBRARY) ||
            Index == TrelkRealm_QueueIndex(TRELK_REALM_RULEQUEUE))
               ? VS_TRUE
               : VS_FALSE;
}

void TrelkRealm_EnterQueue(StructOfQZRealmBase *QZRealm, void *Object, const VS_CHAR *QueueName)
{
    if (QZRealm == NULL || Object == NULL || TrelkRealm_InQueue(QZRealm, Object, QueueName))
        return;
    VS_BOOL HasLock = SitsInRealmQueue(Object);
    Tarvex_Schedule_EnvDataLeaving(Object);
    if (!SRV->ChangeParent(Object, QZRealm, TrelkRealm_QueueIndex(QueueName)))
        return;
    if (!HasLock)
        SRV->LockGC(Object);
}

void TrelkRealm_LeaveQueue(void *Object)
{
    if (Object == NULL)
        return;
    SRV->ChangeParent(Object, NULL, 0);
    SRV->UnLockGC(Object);
}

void TrelkRealm_EmptyQueue(void *QueueHead)
{
    void *Object = SRV->QueryFirst(QueueHead);
    while (Object != NULL) {
        TrelkRealm_LeaveQueue(Object);
        void *Next = SRV->QueryFirst(QueueHead);
        // An object the host would not detach must not hold the walk.
        if (Next == Object)
            break;
        Object = Next;
    }
}

VS_PARAPKGPTR TrelkRealm_QueueToPkg(void *QueueHead, void *ClassObject)
{
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    for (void *Object = SRV->QueryFirst(QueueHead); Object != NULL; Object = SRV->QueryNext(Object))
        if (ClassObject == NULL || Trelk_IsInstOf(Object, ClassObject))
            Pkg->InsertObject(Pkg->GetNumber(), Object);
    return Pkg;
}
