// Realm frame data: the per-cycle set of data that a realm's scheduler builds
// and hands to "OnFrameData". Scripts cannot create it; they read from it the
// members that did not come from outside the realm.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"


VS_INT32 QZRealmFrameData_Create(void *L)
{
    (void)L;
    void *Self = SRV->LuaToObject(1);
    return Trelk_Fail(Self, " calls function Create failed, the QZRealmFrameData must be created internal");
}

VS_INT32 QZRealmFrameData_GetDynamic(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    void *Self = SRV->LuaToObject(1);
    StructOfQZDataBase *Holder =
        QZDataBase_IsDataObject(Self) ? QZDataBase_GetObjectHasBuf_Internal((StructOfQZDataBase *)Self) : NULL;
    void *Realm = NULL;
    if (Holder != NULL && Trelk_IsOf(Holder, QZRealmFrameData)) {
        VS_UUID RealmID = ((StructOfQZRealmFrameData *)Holder)->RealmObjectID;
        Realm = SRV->GetObject(&RealmID);
    }
    if (Realm != NULL && !Trelk_IsOf(Realm, QZRealmBaseClass))
        Realm = NULL;
    if (Realm != NULL) {
        VS_PARAPKGPTR Members = Holder->DataBuf;
        for (VS_INT32 i = 0; i < Members->GetNumber(); i++) {
            void *Member = Members->GetObject(i);
            if (Member == NULL)
                continue;
            if (!QZDataBase_IsDataObject(Member) ||
                !QZRealmBase_IsFromOutSide_Internal((StructOfQZRealmBase *)Realm, (StructOfQZDataBase *)Member))
                Result->InsertObject(Result->GetNumber(), Member);
        }
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}
