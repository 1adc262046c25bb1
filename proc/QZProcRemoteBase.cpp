// Remote procs: a proc whose work is done elsewhere. Its "Execute" hands the
// call to the realm's script hook "OnRemoteExecute", which reads the proc's
// Url and RemoteQZProcName.
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"


// VS_INT32 Execute(void *QZRealm, void *QZCell, void *QZRunner)
VS_INT32 QZProcRemoteBase_Execute(void *L)
{
    (void)L;
    VS_INT32 Top = SRV->LuaGetTop();
    void *Self = Top >= 1 && SRV->LuaType(1) == VSLUATYPE_OBJECT ? SRV->LuaToObject(1) : NULL;
    void *Realm = Top >= 2 && SRV->LuaType(2) == VSLUATYPE_OBJECT ? Trelk_FromRawObject(SRV->LuaToObject(2)) : NULL;
    void *Cell = Top >= 3 && SRV->LuaType(3) == VSLUATYPE_OBJECT ? Trelk_FromRawObject(SRV->LuaToObject(3)) : NULL;
    void *Runner = Top >= 4 && SRV->LuaType(4) == VSLUATYPE_OBJECT ? Trelk_FromRawObject(SRV->LuaToObject(4)) : NULL;
    if (Realm == NULL) {
        SRV->LuaPushInt(-1);
        return 1;
    }
    if (Cell != NULL)
        SRV->LuaPushObject(Cell);
    else
        SRV->LuaPushNil();
    if (Runner != NULL)
        SRV->LuaPushObject(Runner);
    else
        SRV->LuaPushNil();
    if (Self != NULL)
        SRV->LuaPushObject(Self);
    else
        SRV->LuaPushNil();
    VS_UUID RealmID = SRV->GetID(Realm);
    SRV->GetLastError();
    // The hook may free the realm: the report names it only while it is there.
    if (!QZRealmBase_ExecNameScript(Realm, "OnRemoteExecute", 3, 1) ||
        QZProcChain_IsExecNameScriptError(SRV->GetObject(&RealmID), "calls the function OnRemoteExecute failed")) {
        SRV->LuaPop(1);
        SRV->LuaPushInt(-1);
    }
    return 1;
}
