// Running a realm: Execute, ExecuteOnce, ResetExecuteOnce and
// ExecuteForResult, the stage changes around their loops and the idle
// events. The work of each step is the scheduler's.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"

static StructOfQZRealmBase *FindRealm(VS_UUID *ID)
{
    // The module may have shut down while the locks were given up.
    if (SRV == NULL)
        return NULL;
    void *Realm = SRV->GetObject(ID);
    return Trelk_IsInstOf(Realm, QZRealmBaseClass) ? (StructOfQZRealmBase *)Realm : NULL;
}

static StructOfQZRealmBase *RealmSelf()
{
    void *Self = Trelk_ObjectArg(1);
    return Trelk_IsInstOf(Self, QZRealmBaseClass) ? (StructOfQZRealmBase *)Self : NULL;
}

// A realm is stepping while a stepping thread is registered with it.
static VS_BOOL IsStepping(StructOfQZRealmBase *Realm)
{
    return QZRealmBase_IsBreakOnProc(Realm);
}

static void Refuse(StructOfQZRealmBase *Realm, const VS_CHAR *Call)
{
    QZRealmBase_RaiseException(Realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                               "[%s:%s]'s breakonproc is set, can not handle \"%s\"", Trelk_IDText(Realm),
                               Trelk_Name(Realm), Call);
}

// Calls one of the idle events; FALSE when the realm is gone afterwards.
static StructOfQZRealmBase *IdleEvent(StructOfQZRealmBase *Realm, const VS_CHAR *Name, const VS_CHAR *ErrorText)
{
    VS_UUID ID = SRV->GetID(Realm);
    SRV->GetLastError();
    if (QZRealmBase_ExecNameScript(Realm, Name, 0, 0))
        QZProcChain_IsExecNameScriptError(FindRealm(&ID), ErrorText);
    return FindRealm(&ID);
}

static StructOfQZRealmBase *LeaveIdle(StructOfQZRealmBase *Realm)
{
    if (Realm->ExecuteStage != QZREALM_STAGE_NOTSTARTED && Realm->ExecuteStage != QZREALM_STAGE_EXECUTING &&
        Realm->ExecuteStage != QZREALM_STAGE_FINISHED) {
        Realm = IdleEvent(Realm, "OnStopIdle", "calls the function OnStopIdle failed");
        if (Realm == NULL)
            return NULL;
    }
    Realm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
    return Realm;
}

static void ArmCells(StructOfQZRealmBase *Realm)
{
    for (void *Cell = SRV->QueryFirst(&Realm->QZCellQueue); Cell != NULL; Cell = SRV->QueryNext(Cell))
        if (Trelk_IsInstOf(Cell, QZCellBaseClass))
            ((StructOfQZCellBase *)Cell)->IsReady = VS_TRUE;
}

static void Dispatch()
{
    Trelk_DispatchAll();
}

// Steps until the cycle has ended. A script may free the realm during a
// step: the loop then ends. Returns the realm, or NULL when it is gone.
static StructOfQZRealmBase *RunLoop(StructOfQZRealmBase *Realm)
{
    VS_UUID ID = SRV->GetID(Realm);
    for (;;) {
        Dispatch();
        Realm = FindRealm(&ID);
        if (Realm == NULL)
            return NULL;
        Tarvex_ScheduleRealm(Realm, NULL);
        Realm = FindRealm(&ID);
        if (Realm == NULL || Realm->ExecuteStage == QZREALM_STAGE_FINISHED)
            return Realm;
    }
}

VS_INT32 QZRealmBase_Execute(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = RealmSelf();
    if (Realm == NULL)
        return 0;
    if (IsStepping(Realm)) {
        Refuse(Realm, "Execute");
        return 0;
    }
    Realm->ErrorCount = 0;
    Realm = LeaveIdle(Realm);
    if (Realm == NULL)
        return 0;
    ArmCells(Realm);
    RunLoop(Realm);
    return 0;
}

VS_INT32 QZRealmBase_ResetExecuteOnce(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = RealmSelf();
    if (Realm == NULL)
        return Trelk_PushBool(VS_FALSE);
    if (IsStepping(Realm)) {
        Refuse(Realm, "ResetExecuteOnce");
        return Trelk_PushBool(VS_FALSE);
    }
    // The argument is not read: a reset from a running cycle always clears
    // the realm's active objects.
    VS_UUID ID = SRV->GetID(Realm);
    switch (Realm->ExecuteStage) {
    case QZREALM_STAGE_NOTSTARTED:
        break;
    case QZREALM_STAGE_EXECUTING:
        QZRealmBase_Reset_Internal(Realm, VS_TRUE);
        Realm = FindRealm(&ID);
        if (Realm != NULL)
            Realm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
        break;
    case QZREALM_STAGE_FINISHED:
        Realm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
        break;
    default:
        Realm = IdleEvent(Realm, "OnStopIdle", "calls the function OnStopIdle failed");
        if (Realm != NULL)
            Realm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
        break;
    }
    return Trelk_PushBool(VS_TRUE);
}

VS_INT32 QZRealmBase_ExecuteOnce(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = RealmSelf();
    if (Realm == NULL)
        return Trelk_PushBool(VS_FALSE);
    VS_UUID ID = SRV->GetID(Realm);
    VS_BOOL WasBusy = Realm->ExecuteStage == QZREALM_STAGE_NOTSTARTED || Realm->ExecuteStage == QZREALM_STAGE_EXECUTING
                          ? VS_TRUE
                          : VS_FALSE;
    if (WasBusy) {
        Tarvex_ScheduleRealm(Realm, NULL);
        Realm = FindRealm(&ID);
        if (Realm == NULL)
            return Trelk_PushBool(VS_FALSE);
    }
    // A cycle that has ended (in this step or before) turns idle; a cycle
    // that goes on, or an idle realm, hears OnIdle.
    if (Realm->ExecuteStage == QZREALM_STAGE_FINISHED) {
        Realm = IdleEvent(Realm, "OnStartIdle", "calls the function OnStartIdle failed");
        if (Realm == NULL)
            return Trelk_PushBool(VS_FALSE);
        Realm->ExecuteStage = QZREALM_STAGE_IDLE;
    } else {
        Realm = IdleEvent(Realm, "OnIdle", "calls the function OnIdle failed");
        if (Realm == NULL)
            return Trelk_PushBool(VS_FALSE);
    }
    return Trelk_PushBool(Realm->ExecuteStage == QZREALM_STAGE_NOTSTARTED ||
                                  Realm->ExecuteStage == QZREALM_STAGE_EXECUTING
                              ? VS_TRUE
                              : VS_FALSE);
}

VS_INT32 QZRealmBase_ExecuteForResult(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    // The data the realm held before the cycle, by ID.
    void *Old = SRV->CreateIDIndex_Nor(0);
    StructOfQZRealmBase *Realm = RealmSelf();
    if (Realm == NULL || IsStepping(Realm)) {
        if (Realm != NULL)
            Refuse(Realm, "Execute");
        SRV->LuaPushParaPkg(Result, VS_TRUE);
        SRV->DestoryIndex(Old);
        return 1;
    }
    for (void *Data = SRV->QueryFirst(&Realm->EnvDataQueue); Data != NULL; Data = SRV->QueryNext(Data))
        if (SRV->FindIDKey(Old, SRV->GetIDEx(Data)) == NULL)
            SRV->InsertIDKey(Old, SRV->GetIDEx(Data), (void *)1);
    VS_BOOL CreateFrameData = Realm->CreateFrameData;
    Realm->CreateFrameData = VS_FALSE;
    Realm = LeaveIdle(Realm);
    if (Realm != NULL) {
        Realm->ErrorCount = 0;
        ArmCells(Realm);
        Realm = RunLoop(Realm);
    }
    if (Realm == NULL) {
        SRV->LuaPushParaPkg(Result, VS_TRUE);
        SRV->DestoryIndex(Old);
        return 1;
    }
    Realm->CreateFrameData = CreateFrameData;
    if (Realm->ErrorCount != 0) {
        SRV->LuaPushParaPkg(Result, VS_TRUE);
        SRV->DestoryIndex(Old);
        return 1;
    }
    for (void *Data = SRV->QueryFirst(&Realm->EnvDataQueue); Data != NULL; Data = SRV->QueryNext(Data))
        if (SRV->FindIDKey(Old, SRV->GetIDEx(Data)) == NULL)
            Result->InsertObject(Result->GetNumber(), Data);
    SRV->DestoryIndex(Old);
    // The data leave the realm. The package names them by ID: each lives
    // until the next collection point, and on while the script holds it.
    for (void *Data = SRV->QueryFirst(&Realm->EnvDataQueue); Data != NULL; Data = SRV->QueryFirst(&Realm->EnvDataQueue)) {
        SRV->ChangeParent(Data, NULL, 0);
        SRV->UnLockGC(Data);
    }
    if (Result->GetNumber() == 0)
        Result->InsertEmpty(0);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// Shared with ExecuteUntil
// ---------------------------------------------------------------------------
StructOfQZRealmBase *TrelkRealm_FindRealm(VS_UUID *ID)
{
    return FindRealm(ID);
}

StructOfQZRealmBase *TrelkRealm_IdleEvent(StructOfQZRealmBase *QZRealm, const VS_CHAR *Name, const VS_CHAR *ErrorText)
{
    return IdleEvent(QZRealm, Name, ErrorText);
}

StructOfQZRealmBase *TrelkRealm_LeaveIdle(StructOfQZRealmBase *QZRealm)
{
    return LeaveIdle(QZRealm);
}

void TrelkRealm_ArmCells(StructOfQZRealmBase *QZRealm)
{
    ArmCells(QZRealm);
}

void TrelkRealm_Dispatch()
{
    Dispatch();
}
