// ExecuteUntil: a realm run in turns on the calling thread until another
// thread finishes it, idling between turns; other threads suspend it (for
// new environment data), resume it and finish it.
//
// The requests and their acknowledgements are state in the realm's sync block
// (trelk_realm_internal.h), each numbered: a suspension is acknowledged by its
// number, a resumption by the number of the suspension it ends, and the end of
// a run by the run's number. A controller therefore never takes another one's
// acknowledgement, and no waiter outlives what it waits on: the block stays
// while anyone holds it, also after the realm is freed.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"

// Between two looks at the requests, an idle realm gives up both locks for
// this long (a request wakes it at once).
#define TRELK_UNTIL_IDLE_PAUSE_MS 10
// A turn in which nothing happened is followed by this pause.
#define TRELK_UNTIL_TURN_PAUSE_MS 100

static VS_INT32 EnvCount(StructOfQZRealmBase *Realm)
{
    VS_INT32 Count = 0;
    for (void *Item = SRV->QueryFirst(&Realm->EnvDataQueue); Item != NULL; Item = SRV->QueryNext(Item))
        Count++;
    return Count;
}

// Data added to an idle run: no turn takes them, a suspension for data and a
// finish release them. Said when it happens, or the script waits for
// products that never come.
static VS_INT32 AddedWhileIdle(StructOfQZRealmBase *Realm, TrelkRealmSync *S)
{
    VS_INT32 Before;
    {
        TrelkRealmSyncLock Lock(S);
        Before = S->IdleEnvCount;
    }
    VS_INT32 Now = EnvCount(Realm);
    return Now > Before ? Now - Before : 0;
}

// Cells reset, environment emptied.
static StructOfQZRealmBase *ReleaseEnvironment(StructOfQZRealmBase *Realm, TrelkRealmSync *S)
{
    VS_UUID ID = SRV->GetID(Realm);
    VS_INT32 Added = AddedWhileIdle(Realm, S);
    if (Added > 0) {
        Trelk_Raise(Realm,
                    "'s ExecuteUntil releases %d environment data that were added while it idled and never ran; add "
                    "data between \"SuspendExecuteUntil(true)\" and \"ResumeExecuteUntil\"",
                    (int)Added);
        // The report ran a script, which may have freed the realm.
        Realm = TrelkRealm_FindRealm(&ID);
        if (Realm == NULL)
            return NULL;
    }
    QZRealmBase_ResetCells_Internal(Realm);
    Realm = TrelkRealm_FindRealm(&ID);
    if (Realm != NULL)
        TrelkRealm_EmptyQueue(&Realm->EnvDataQueue);
    return Realm;
}

static VS_BOOL IsStepper(TrelkRealmSync *S, VS_THREADID Me)
{
    TrelkRealmSyncLock Lock(S);
    return S->Stepping && S->StepperID == Me ? VS_TRUE : VS_FALSE;
}

static void ReportIfStepper(TrelkRealmSync *S, VS_THREADID Me)
{
    TrelkRealmSyncLock Lock(S);
    if (S->Stepping && S->StepperID == Me) {
        S->Reports++;
        TrelkRealm_SyncNotify(S);
    }
}

static VS_BOOL FinishAsked(TrelkRealmSync *S)
{
    TrelkRealmSyncLock Lock(S);
    return S->FinishAsked || S->RealmGone ? VS_TRUE : VS_FALSE;
}

// The idle part of a turn. Returns the realm, or NULL when it is gone.
static StructOfQZRealmBase *Idle(StructOfQZRealmBase *Realm, TrelkRealmSync *S)
{
    VS_UUID ID = SRV->GetID(Realm);
    for (;;) {
        VS_BOOL Finish, Suspend, ForAddEnvData;
        {
            TrelkRealmSyncLock Lock(S);
            Finish = S->FinishAsked || S->RealmGone;
            Suspend = S->SuspendState == 1;
            ForAddEnvData = S->SuspendForAddEnvData;
        }
        if (Finish) {
            Realm = ReleaseEnvironment(Realm, S);
            if (Realm != NULL)
                Realm = TrelkRealm_IdleEvent(Realm, "OnStopIdle", "calls the function OnStopIdle failed");
            if (Realm != NULL)
                Realm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
            return Realm;
        }
        if (Suspend) {
            if (ForAddEnvData) {
                Realm = ReleaseEnvironment(Realm, S);
                if (Realm == NULL)
                    return NULL;
            }
            {
                TrelkRealmSyncLock Lock(S);
                S->SuspendAckGen = S->SuspendGen;
                S->SuspendState = 2;
                TrelkRealm_SyncNotify(S);
            }
            TrelkRealm_WaitUnlocked(S, [S] { return S->ResumeAsked || S->RealmGone; });
            {
                TrelkRealmSyncLock Lock(S);
                S->ResumeAsked = VS_FALSE;
                S->SuspendState = 0;
                S->ResumeAckGen = S->SuspendGen;
                TrelkRealm_SyncNotify(S);
            }
            Realm = TrelkRealm_FindRealm(&ID);
            if (Realm == NULL)
                return NULL;
            StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
            if (LocalBuf != NULL)
                LocalBuf->ExecuteUntilSuspendCondIsValid = VS_FALSE;
            if (ForAddEnvData) {
                Realm = TrelkRealm_IdleEvent(Realm, "OnStopIdle", "calls the function OnStopIdle failed");
                if (Realm != NULL)
                    Realm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
                return Realm;
            }
            continue;
        }
        TrelkRealm_Dispatch();
        Realm = TrelkRealm_FindRealm(&ID);
        if (Realm == NULL)
            return NULL;
        Realm = TrelkRealm_IdleEvent(Realm, "OnIdle", "calls the function OnIdle failed");
        if (Realm == NULL)
            return NULL;
        // Stepping turned on while idling: an idle pass has no stop, and a
        // controller waiting for the next stop hears of it here rather than
        // at the end of a turn that only it could bring about.
        ReportIfStepper(S, vs_thread_currentid());
        // An idle realm holds no lock while it waits for a request.
        TrelkRealm_PauseUnlocked(S, TRELK_UNTIL_IDLE_PAUSE_MS,
                                 [S] { return S->FinishAsked || S->RealmGone || S->SuspendState == 1; });
        Realm = TrelkRealm_FindRealm(&ID);
        if (Realm == NULL)
            return NULL;
    }
}

// One turn: a cycle, then idling. Returns the realm, or NULL when it is gone;
// *Any tells whether the cycle changed anything.
static StructOfQZRealmBase *Turn(StructOfQZRealmBase *Realm, TrelkRealmSync *S, VS_THREADID Me, VS_BOOL *Any)
{
    VS_UUID ID = SRV->GetID(Realm);
    *Any = VS_FALSE;
    Realm = TrelkRealm_LeaveIdle(Realm);
    if (Realm == NULL)
        return NULL;
    Realm->ErrorCount = 0;
    TrelkRealm_ArmCells(Realm);
    for (;;) {
        TrelkRealm_Dispatch();
        Realm = TrelkRealm_FindRealm(&ID);
        if (Realm == NULL)
            return NULL;
        VS_INT32 Ended = Tarvex_ScheduleRealm(Realm, Any);
        if (Ended != 0)
            ReportIfStepper(S, Me);
        Realm = TrelkRealm_FindRealm(&ID);
        if (Realm == NULL)
            return NULL;
        if (Realm->ExecuteStage == QZREALM_STAGE_FINISHED)
            break;
    }
    ReportIfStepper(S, Me);
    Realm = TrelkRealm_IdleEvent(Realm, "OnStartIdle", "calls the function OnStartIdle failed");
    if (Realm == NULL)
        return NULL;
    Realm->ExecuteStage = QZREALM_STAGE_IDLE;
    {
        VS_INT32 Count = EnvCount(Realm);
        TrelkRealmSyncLock Lock(S);
        S->IdleEnvCount = Count;
    }
    Realm = Idle(Realm, S);
    ReportIfStepper(S, Me);
    return Realm;
}

VS_INT32 QZRealmBase_ExecuteUntil(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    if (Realm == NULL)
        return 0;
    VS_BOOL DebugMode = SRV->LuaToBool(2);
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
    TrelkRealmSyncRef Sync(TrelkRealm_Sync(Realm, VS_TRUE));
    if (LocalBuf == NULL || !Sync)
        return 0;
    TrelkRealmSync *S = Sync.get();
    VS_THREADID Me = vs_thread_currentid();
    VS_BOOL Active;
    {
        TrelkRealmSyncLock Lock(S);
        Active = S->UntilActive ? VS_TRUE : VS_FALSE;
    }
    if (Active || LocalBuf->HasEnterExecuteUntil) {
        Trelk_Raise(Realm, "'s ExecuteUntil has been called before, can not call \"ExecuteUntil\" again");
        return 0;
    }
    if (QZRealmBase_IsBreakOnProc(Realm)) {
        Trelk_Raise(Realm, "'s breakonproc is set, can not handle \"ExecuteUntil\"");
        return 0;
    }
    // Shutdown has finished the runs it found, or is finishing them: a run
    // that began now would idle on after the module has gone.
    if (Trelk_ShuttingDown()) {
        Trelk_Raise(Realm, "'s ExecuteUntil is called while the module shuts down, it does not run");
        return 0;
    }
    uint64_t Run;
    {
        TrelkRealmSyncLock Lock(S);
        S->UntilActive = VS_TRUE;
        S->UntilThreadID = Me;
        Run = ++S->UntilRuns;
        S->FinishAsked = VS_FALSE;
        S->SuspendState = 0;
        S->ResumeAsked = VS_FALSE;
    }
    LocalBuf->HasEnterExecuteUntil = VS_TRUE;
    LocalBuf->ExecuteUntilThreadId = Me;
    LocalBuf->ExecuteUntilThreadHandle = vs_thread_current();
    LocalBuf->ExecuteUntilSuspendCondIsValid = VS_FALSE;
    LocalBuf->ExecuteUntilFinishCondIsValid = VS_FALSE;
    vs_atomic_set(&LocalBuf->ExecuteUntilFinishFlag, 0);
    if (DebugMode) {
        vs_mutex_lock(&LocalBuf->BreakOnThreadMutex);
        memset(&LocalBuf->BreakOnCellID, 0, sizeof(VS_UUID));
        vs_mutex_unlock(&LocalBuf->BreakOnThreadMutex);
        {
            TrelkRealmSyncLock Lock(S);
            S->StepGen++;
            S->Stepping = VS_TRUE;
            S->StepperID = Me;
            S->StepThread = NULL;
        }
        LocalBuf->hBreakOnThreadHandle = LocalBuf->ExecuteUntilThreadHandle;
        LocalBuf->hBreakOnThreadId = Me;
        vs_atomic_set(&LocalBuf->BreakOnProcFlag, 1);
    }
    VS_UUID ID = SRV->GetID(Realm);
    while (Realm != NULL && !FinishAsked(S)) {
        VS_BOOL Any = VS_FALSE;
        Realm = Turn(Realm, S, Me, &Any);
        if (Realm == NULL || Any || FinishAsked(S))
            continue;
        TrelkRealm_PauseUnlocked(S, TRELK_UNTIL_TURN_PAUSE_MS, [S] { return S->FinishAsked || S->RealmGone; });
        Realm = TrelkRealm_FindRealm(&ID);
    }
    // The end: the run's state is cleared before its finisher hears of it.
    Realm = TrelkRealm_FindRealm(&ID);
    LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
    VS_BOOL WasStepper = IsStepper(S, Me);
    if (LocalBuf != NULL) {
        LocalBuf->HasEnterExecuteUntil = VS_FALSE;
        LocalBuf->ExecuteUntilThreadHandle = NULL;
        LocalBuf->ExecuteUntilThreadId = 0;
        LocalBuf->ExecuteUntilSuspendCondIsValid = VS_FALSE;
        if (WasStepper || LocalBuf->hBreakOnThreadId == Me) {
            LocalBuf->hBreakOnThreadHandle = NULL;
            LocalBuf->hBreakOnThreadId = 0;
            vs_atomic_set(&LocalBuf->BreakOnProcFlag, 0);
        }
    }
    TrelkRealmSyncLock Lock(S);
    if (S->StepperID == Me) {
        S->Stepping = VS_FALSE;
        S->StepperID = 0;
    }
    S->UntilActive = VS_FALSE;
    S->UntilThreadID = 0;
    S->UntilEnded = Run;
    S->FinishAsked = VS_FALSE;
    S->SuspendState = 0;
    S->ResumeAsked = VS_FALSE;
    S->ResumeAckGen = S->SuspendGen;
    TrelkRealm_SyncNotify(S);
    return 0;
}

// ---------------------------------------------------------------------------
// Controls from other threads
// ---------------------------------------------------------------------------
// The realm's sync block and the number of the running ExecuteUntil; empty
// when none runs or the caller is its own thread (the call is then ignored).
static TrelkRealmSyncRef ControlTarget(StructOfQZRealmBase *Realm, uint64_t *Run) {
    TrelkRealmSyncRef Sync(TrelkRealm_Sync(Realm, VS_FALSE));
    if (!Sync) return Sync;
    TrelkRealmSync *S = Sync.get();
    TrelkRealmSyncLock Lock(S);
    if (!S->UntilActive || S->UntilThreadID == vs_thread_currentid()) return TrelkRealmSyncRef();
    *Run = S->UntilRuns;
    return Sync;
}

// TRUE while the run's thread waits at a stop before a proc (Mu held): only
// a continue, a cancel or a finish moves it on from there.
static VS_BOOL UntilAtStop(TrelkRealmSync *S) {
    return S->UntilActive && S->Stepping && S->AtStop && S->StepperID == S->UntilThreadID ? VS_TRUE
                                                                                          : VS_FALSE;
}

VS_INT32 QZRealmBase_SuspendExecuteUntil(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    uint64_t Run = 0;
    TrelkRealmSyncRef Sync = ControlTarget(Realm, &Run);
    if (!Sync)
        return 0;
    TrelkRealmSync *S = Sync.get();
    VS_BOOL ForAddEnvData = SRV->LuaToBool(2);
    uint64_t Gen = 0;
    VS_BOOL Refused = VS_FALSE, AtStop = VS_FALSE;
    {
        TrelkRealmSyncLock Lock(S);
        // A run that is finishing takes no suspension: nobody would take it
        // back.
        if (S->FinishAsked)
            return 0;
        if (S->SuspendState != 0)
            Refused = VS_TRUE;
        else if (UntilAtStop(S))
            AtStop = VS_TRUE;
        else {
            Gen = ++S->SuspendGen;
            S->SuspendState = 1;
            S->SuspendForAddEnvData = ForAddEnvData;
            TrelkRealm_SyncNotify(S);
        }
    }
    if (Refused) {
        Trelk_Raise(Realm, "'s SuspendExecuteUntil has been called before, can not call \"SuspendExecuteUntil\" again");
        return 0;
    }
    // The run waits at a stop before a proc: it idles, and so takes a
    // suspension, only after a continue, which this caller may be the one to
    // give.
    if (AtStop) {
        Trelk_Raise(Realm, "'s ExecuteUntil is stopped before a proc, can not call \"SuspendExecuteUntil\"");
        return 0;
    }
    VS_UUID ID = SRV->GetID(Realm);
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
    LocalBuf->ExecuteUntilSuspendCondIsValid = VS_TRUE;
    LocalBuf->ExecuteUntilSuspendForAddEnvData = ForAddEnvData;
    TrelkRealm_WaitUnlocked(S, [S, Gen, Run] {
        return S->SuspendAckGen >= Gen || S->SuspendWithdrawnGen >= Gen || S->UntilEnded >= Run ||
               S->RealmGone;
    });
    VS_BOOL Withdrawn;
    {
        TrelkRealmSyncLock Lock(S);
        Withdrawn = S->SuspendWithdrawnGen >= Gen && S->SuspendAckGen < Gen ? VS_TRUE : VS_FALSE;
    }
    if (!Withdrawn) return 0;
    // The run reached a stop before it idled: the suspension was let go there.
    Realm = TrelkRealm_FindRealm(&ID);
    LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
    if (LocalBuf != NULL) LocalBuf->ExecuteUntilSuspendCondIsValid = VS_FALSE;
    if (Realm != NULL)
        Trelk_Raise(Realm, "'s ExecuteUntil is stopped before a proc, can not call \"SuspendExecuteUntil\"");
    return 0;
}

VS_INT32 QZRealmBase_ResumeExecuteUntil(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    uint64_t Run = 0;
    TrelkRealmSyncRef Sync = ControlTarget(Realm, &Run);
    if (!Sync)
        return 0;
    TrelkRealmSync *S = Sync.get();
    uint64_t Gen = 0;
    VS_BOOL Refused = VS_FALSE;
    {
        TrelkRealmSyncLock Lock(S);
        if (S->SuspendState == 0)
            Refused = VS_TRUE;
        else {
            Gen = S->SuspendGen;
            S->ResumeAsked = VS_TRUE;
            TrelkRealm_SyncNotify(S);
        }
    }
    if (Refused) {
        Trelk_Raise(Realm, "'s SuspendExecuteUntil has not been called before, can not call \"ResumeExecuteUntil\"");
        return 0;
    }
    VS_BOOL ForAddEnvData;
    {
        TrelkRealmSyncLock Lock(S);
        ForAddEnvData = S->SuspendForAddEnvData;
    }
    VS_UUID ID = SRV->GetID(Realm);
    VS_INT32 Added = ForAddEnvData ? 0 : AddedWhileIdle(Realm, S);
    // The report runs a script: from here on the realm is found by its ID.
    if (Added > 0)
        Trelk_Raise(Realm,
                    "'s ExecuteUntil was suspended without ForAddEnvData, the %d environment data added meanwhile do "
                    "not run (suspend with \"SuspendExecuteUntil(true)\" to add data)",
                    (int)Added);
    // A suspension the run let go of at a stop needs no resumption.
    TrelkRealm_WaitUnlocked(S, [S, Gen, Run] {
        return S->ResumeAckGen >= Gen || S->SuspendWithdrawnGen >= Gen || S->UntilEnded >= Run ||
               S->RealmGone;
    });
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(TrelkRealm_FindRealm(&ID));
    if (LocalBuf != NULL)
        LocalBuf->ExecuteUntilSuspendCondIsValid = VS_FALSE;
    return 0;
}

VS_INT32 QZRealmBase_FinishExecuteUntil(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    uint64_t Run = 0;
    TrelkRealmSyncRef Sync = ControlTarget(Realm, &Run);
    if (!Sync)
        return 0;
    TrelkRealmSync *S = Sync.get();
    VS_INT32 Refusal = 0;
    {
        TrelkRealmSyncLock Lock(S);
        if (S->SuspendState != 0)
            Refusal = 1;
        else if (S->FinishAsked)
            Refusal = 2;
        else {
            S->FinishAsked = VS_TRUE;
            TrelkRealm_SyncNotify(S);
        }
    }
    if (Refusal == 1) {
        Trelk_Raise(Realm, "'s SuspendExecuteUntil has been called before, pleasr call \"ResumeExecuteUntil\"");
        return 0;
    }
    if (Refusal == 2) {
        Trelk_Raise(Realm, "'s FinishExecuteUntil has been called before, can not call \"FinishExecuteUntil\" again");
        return 0;
    }
    // A run waiting at a stop before a proc leaves it at once and runs its
    // cycle to the end without further stops.
    VS_UUID ID = SRV->GetID(Realm);
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
    LocalBuf->ExecuteUntilFinishCondIsValid = VS_TRUE;
    vs_atomic_set(&LocalBuf->ExecuteUntilFinishFlag, 1);
    TrelkRealm_WaitUnlocked(S, [S, Run] { return S->UntilEnded >= Run || S->RealmGone; });
    LocalBuf = QZRealmBase_GetLocalBuf_Internal(TrelkRealm_FindRealm(&ID));
    if (LocalBuf != NULL)
        LocalBuf->ExecuteUntilFinishCondIsValid = VS_FALSE;
    return 0;
}

// ---------------------------------------------------------------------------
// Module shutdown
// ---------------------------------------------------------------------------
// Each run is asked to finish as FinishExecuteUntil asks it (a suspension in
// force is resumed first) and waited for, at most this long.
#define TRELK_UNTIL_SHUTDOWN_WAIT_MS 30000

void QZRealmBase_ExecuteUntil_FinishAll()
{
    VS_UUID ID;
    for (;;) {
        TrelkRealmSyncRef Sync(TrelkRealm_RunningUntil(&ID));
        if (!Sync)
            return;
        TrelkRealmSync *S = Sync.get();
        uint64_t Run;
        VS_BOOL Unfinished;
        {
            TrelkRealmSyncLock Lock(S);
            Run = S->UntilRuns;
            Unfinished = S->FinishAsked ? VS_FALSE : VS_TRUE;
            S->FinishAsked = VS_TRUE;
            if (S->SuspendState == 2)
                S->ResumeAsked = VS_TRUE;
            TrelkRealm_SyncNotify(S);
        }
        StructOfQZRealmBase *Realm = TrelkRealm_FindRealm(&ID);
        StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
        if (LocalBuf != NULL)
            vs_atomic_set(&LocalBuf->ExecuteUntilFinishFlag, 1);
        if (Unfinished && Realm != NULL)
            Trelk_Raise(Realm, "'s ExecuteUntil still runs at module shutdown, \"FinishExecuteUntil\" was not "
                               "called: it is finished now");
        Trelk_UnlockForWait();
        TrelkRealm_WaitHeld(S, TRELK_UNTIL_SHUTDOWN_WAIT_MS,
                            [S, Run] { return S->UntilEnded >= Run || S->RealmGone; });
        Trelk_RelockAfterWait();
        VS_BOOL Ended;
        {
            TrelkRealmSyncLock Lock(S);
            Ended = S->UntilEnded >= Run || S->RealmGone ? VS_TRUE : VS_FALSE;
        }
        if (!Ended) {
            Realm = TrelkRealm_FindRealm(&ID);
            if (Realm != NULL)
                Trelk_Raise(Realm, "'s ExecuteUntil did not end within %d s of module shutdown",
                            TRELK_UNTIL_SHUTDOWN_WAIT_MS / 1000);
            return;
        }
    }
}
