// RunString and RunProc of a data object: procs run with the data object as
// input on a temporary realm.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

// Runs the realm's function of that name on a temporary realm with self as
// the input data and pushes the first produced data object, or nil. The
// realm is freed on every path.
static VS_INT32 RunOnTemporaryRealm(StructOfQZDataBase *Self, const VS_CHAR *FunctionName,
                                    const VS_CHAR *Text, void *Proc)
{
    void *Realm =
        QZRealmBaseClass != NULL ? SRV->MallocObjectL(SRV->GetIDEx(QZRealmBaseClass), 0, NULL) : NULL;
    if (Realm == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    SRV->LuaPushObject(Self);
    SRV->LuaPushNil();
    if (Text != NULL)
        SRV->LuaPushString(Text);
    else
        SRV->LuaPushObject(Proc);
    SRV->GetLastError();
    void *Result = NULL;
    VS_PARAPKGPTR Returned = NULL;
    VS_UUID SelfID = SRV->GetID(Self);
    VS_UUID RealmID = SRV->GetID(Realm);
    VS_BOOL Made = QZRealmBase_ExecNameScript(Realm, FunctionName, 3, 1);
    // The run may free the data or the temporary realm.
    if (!TrelkData_Alive(Self, &SelfID)) {
        SRV->LuaPop(1);
        SRV->LuaPushNil();
        if (TrelkData_Alive(Realm, &RealmID))
            SRV->FreeObject(Realm);
        return 1;
    }
    if (!Made) {
        Trelk_RaiseText("calls [%s:%s]'s function %s failed", Trelk_IDText(Self),
                        Trelk_Name(Self), FunctionName);
    } else if (!QZProcChain_IsExecNameScriptError(Self, Text != NULL
                                                            ? ", calls the function RunString failed"
                                                            : ", calls the function RunProc failed")) {
        Returned = SRV->LuaType(-1) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(-1) : NULL;
        if (Returned != NULL && Returned->GetNumber() > 0 && Returned->GetType(0) == VSTYPE_OBJECT)
            Result = Returned->GetObject(0);
    }
    // The package keeps the produced objects while the returned value leaves
    // the stack.
    if (Result != NULL)
        Returned->AddRef();
    else
        Returned = NULL;
    SRV->LuaPop(1);
    SRV->LuaPushObject(Result);
    if (Returned != NULL) Returned->Release();
    if (TrelkData_Alive(Realm, &RealmID))
        SRV->FreeObject(Realm);
    return 1;
}

VS_INT32 QZDataBase_RunString(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    const VS_CHAR *Text = SRV->LuaType(2) == VSLUATYPE_STRING ? SRV->LuaToString(2) : NULL;
    if (Self == NULL || Text == NULL || Text[0] == 0) {
        SRV->LuaPushNil();
        return 1;
    }
    return RunOnTemporaryRealm(Self, "RunString", Text, NULL);
}

VS_INT32 QZDataBase_RunProc(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *Proc = Trelk_ObjectArg(2);
    if (Self == NULL || !TrelkData_IsProcOrChain(Proc)) {
        SRV->LuaPushNil();
        return 1;
    }
    return RunOnTemporaryRealm(Self, "RunProc", NULL, Proc);
}
