// Break-on-proc stepping: a realm run proc by proc. A stepping thread (the
// module's own, or the thread of a running ExecuteUntil) schedules the realm
// and stops before each proc of the target; a controlling script thread lets
// it go on from stop to stop, and ends the stepping.
//
// The handshake lives in the realm's sync block (trelk_realm_internal.h). Each
// stop has a number: a continue lets go only the stop that is current when it
// is given, and a controller waits for a report given after its own call. So
// an old report (a cycle's end while nobody waited) never answers a later
// call, and a continue given while the thread runs never lets a later stop
// pass.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"

// ---------------------------------------------------------------------------
// The sync blocks of the realms
// ---------------------------------------------------------------------------
// Realm ID -> its block (holding one reference). Made with the first block,
// destroyed with the last; host lock.
static void *Registry = NULL;

void TrelkRealm_SyncHold(TrelkRealmSync *S) {
    TrelkRealmSyncLock Lock(S);
    S->Holders++;
}

void TrelkRealm_SyncRelease(TrelkRealmSync *S) {
    if (S == NULL) return;
    VS_BOOL Last;
    {
        TrelkRealmSyncLock Lock(S);
        Last = --S->Holders == 0 ? VS_TRUE : VS_FALSE;
    }
    if (!Last) return;
    vs_mutex_destory(&S->Mu);
    // A holder that comes back after the module let go of the host leaves
    // the block behind rather than call through nothing.
    if (SRV != NULL) SRV->Free(S);
}

void TrelkRealm_SyncNotify(TrelkRealmSync *S) {
    for (TrelkRealmWaiter *W = S->Waiters; W != NULL; W = W->Next)
        vs_cond_signal(&W->Cond);
}

TrelkRealmSync *TrelkRealm_Sync(StructOfQZRealmBase *QZRealm, VS_BOOL Create) {
    if (QZRealm == NULL || SRV == NULL) return NULL;
    VS_UUID ID = SRV->GetID(QZRealm);
    if (Trelk_IsZeroID(&ID)) return NULL;
    TrelkRealmSync *S = Registry != NULL ? (TrelkRealmSync *)SRV->FindIDKey(Registry, &ID) : NULL;
    if (S != NULL) {
        TrelkRealm_SyncHold(S);
        return S;
    }
    if (!Create) return NULL;
    if (Registry == NULL && (Registry = SRV->CreateIDIndex_Nor(0)) == NULL) return NULL;
    S = (TrelkRealmSync *)SRV->Malloc_Nor(sizeof(TrelkRealmSync));
    if (S == NULL) return NULL;
    if (!vs_mutex_init(&S->Mu)) {
        SRV->Free(S);
        return NULL;
    }
    S->Holders = 2; // the registry's and the caller's
    if (!SRV->InsertIDKey(Registry, &ID, S)) {
        vs_mutex_destory(&S->Mu);
        SRV->Free(S);
        return NULL;
    }
    return S;
}

TrelkRealmSync *TrelkRealm_RunningUntil(VS_UUID *RealmID) {
    if (Registry == NULL || SRV == NULL) return NULL;
    VS_THREADID Me = vs_thread_currentid();
    VS_UUID Key;
    for (void *V = SRV->QueryFirstIDKey(Registry, &Key); V != NULL; V = SRV->QueryNextIDKey(Registry, &Key)) {
        TrelkRealmSync *S = (TrelkRealmSync *)V;
        TrelkRealmSyncLock Lock(S);
        if (S->UntilActive && !S->RealmGone && S->UntilThreadID != Me) {
            S->Holders++;
            *RealmID = Key;
            return S;
        }
    }
    return NULL;
}

void TrelkRealm_StepReport(TrelkRealmSync *S)
{
    TrelkRealmSyncLock Lock(S);
    S->Reports++;
    TrelkRealm_SyncNotify(S);
}

static void ClearStepping(StructOfQZRealmBaseLocalBuf *LocalBuf)
{
    if (LocalBuf == NULL)
        return;
    LocalBuf->hBreakOnThreadHandle = NULL;
    LocalBuf->hBreakOnThreadId = 0;
    vs_atomic_set(&LocalBuf->BreakOnProcFlag, 0);
}

void TrelkRealm_SyncRealmFreed(StructOfQZRealmBase *QZRealm)
{
    TrelkRealmSyncRef S(TrelkRealm_Sync(QZRealm, VS_FALSE));
    if (!S)
        return;
    VS_UUID ID = SRV->GetID(QZRealm);
    VS_HANDLE Join = NULL;
    {
        TrelkRealmSyncLock Lock(S.get());
        S->RealmGone = VS_TRUE;
        S->Stepping = VS_FALSE;
        // ExecuteUntil's thread is not waited for: it finds the realm gone.
        if (S->StepThread != NULL && S->StepThreadID != vs_thread_currentid()) {
            Join = S->StepThread;
            S->StepThread = NULL;
        }
        TrelkRealm_SyncNotify(S.get());
    }
    if (Join != NULL) {
        // The stepping thread needs the locks to finish its step.
        Trelk_UnlockForWait();
        vs_thread_join(Join);
        Trelk_RelockAfterWait();
    }
    ClearStepping(QZRealmBase_GetLocalBuf_Internal(QZRealm));
    if (Registry != NULL && SRV->DelIDKey(Registry, &ID) != NULL) {
        TrelkRealm_SyncRelease(S.get()); // the registry's reference
        VS_UUID Any;
        if (SRV->QueryFirstIDKey(Registry, &Any) == NULL) {
            SRV->DestoryIndex(Registry);
            Registry = NULL;
        }
    }
}

// ---------------------------------------------------------------------------
// Queries and the stop
// ---------------------------------------------------------------------------
VS_BOOL QZRealmBase_IsBreakOnProc(StructOfQZRealmBase *QZRealm)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    return LocalBuf != NULL && LocalBuf->hBreakOnThreadHandle != NULL ? VS_TRUE : VS_FALSE;
}

static void SetTarget(StructOfQZRealmBaseLocalBuf *LocalBuf, void *Cell)
{
    vs_mutex_lock(&LocalBuf->BreakOnThreadMutex);
    if (Cell != NULL)
        LocalBuf->BreakOnCellID = SRV->GetID(Cell);
    else
        memset(&LocalBuf->BreakOnCellID, 0, sizeof(VS_UUID));
    vs_mutex_unlock(&LocalBuf->BreakOnThreadMutex);
}

// TRUE when the proc is a stop of the realm's target.
static VS_BOOL IsStop(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZProcBase *QZProc)
{
    void *Parent = SRV->GetParent(QZProc);
    if (Parent == NULL)
        return VS_FALSE;
    VS_UUID Target;
    vs_mutex_lock(&LocalBuf->BreakOnThreadMutex);
    // A target cell that is gone makes any cell of the realm the target.
    if (!Trelk_IsZeroID(&LocalBuf->BreakOnCellID) && SRV->GetObject(&LocalBuf->BreakOnCellID) == NULL)
        memset(&LocalBuf->BreakOnCellID, 0, sizeof(VS_UUID));
    Target = LocalBuf->BreakOnCellID;
    vs_mutex_unlock(&LocalBuf->BreakOnThreadMutex);
    if (Trelk_IsInstOf(Parent, QZProcRunnerBaseClass)) {
        void *Cell = SRV->GetParent(Parent);
        if (!Trelk_IsInstOf(Cell, QZCellBaseClass))
            return VS_FALSE;
        if (Trelk_IsZeroID(&Target))
            return SRV->GetParent(Cell) == QZRealm ? VS_TRUE : VS_FALSE;
        return Trelk_IDEqual(SRV->GetIDEx(Cell), &Target);
    }
    if (Parent == QZRealm) {
        if (Trelk_IsInstOf(QZProc, QZCellBaseClass) &&
            SRV->QueryFirst(&((StructOfQZCellBase *)QZProc)->NormalRunnerQueue) == NULL)
            return VS_FALSE;
        return Trelk_IsZeroID(&Target);
    }
    return VS_FALSE;
}

void QZRealmBase_BreakOnProcHandle(StructOfQZRealmBase *QZRealm, StructOfQZProcBase *QZProc)
{
    if (QZRealm == NULL || QZProc == NULL || !QZRealmBase_IsBreakOnProc(QZRealm))
        return;
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    TrelkRealmSyncRef S(TrelkRealm_Sync(QZRealm, VS_FALSE));
    if (!S)
        return;
    VS_THREADID Me = vs_thread_currentid();
    {
        // Only the stepping thread stops: any other thread that schedules the
        // realm would wait for a continue meant for the stepping thread. An
        // ExecuteUntil that is asked to finish runs to its end without stops.
        TrelkRealmSyncLock Lock(S.get());
        if (!S->Stepping || S->StepperID != Me)
            return;
        if (S->FinishAsked && S->UntilActive && S->UntilThreadID == Me) return;
    }
    if (!IsStop(QZRealm, LocalBuf, QZProc))
        return;
    uint64_t Stop;
    uint64_t Gen;
    {
        TrelkRealmSyncLock Lock(S.get());
        Stop = ++S->StopID;
        Gen = S->StepGen;
        S->AtStop = VS_TRUE;
        S->Reports++;
        // A suspension asked of ExecuteUntil before this stop would wait for
        // an idle pass that only a continue brings: it is let go, and its
        // caller told so.
        if (S->UntilActive && S->UntilThreadID == Me && S->SuspendState == 1) {
            S->SuspendState = 0;
            S->SuspendWithdrawnGen = S->SuspendGen;
        }
        TrelkRealm_SyncNotify(S.get());
    }
    TrelkRealmSync *P = S.get();
    TrelkRealm_WaitUnlocked(P, [P, Stop, Gen, Me] {
        return P->Released >= Stop || !P->Stepping || P->RealmGone || P->StepGen != Gen ||
               P->StepperID != Me || (P->FinishAsked && P->UntilActive && P->UntilThreadID == Me);
    });
    TrelkRealmSyncLock Lock(S.get());
    S->AtStop = VS_FALSE;
}

// ---------------------------------------------------------------------------
// The stepping thread
// ---------------------------------------------------------------------------
// What the creator hands its stepping thread. The thread reads its own ID,
// which the creator records: a thread's handle is not its ID everywhere.
struct StepThreadStart {
    StructOfQZRealmBase *Realm;
    TrelkRealmSync *S; // the creator's reference, valid until the thread reported
    uint64_t Gen;
};

static void *StepThreadMain(void *Para)
{
    StepThreadStart *Start = (StepThreadStart *)Para;
    StructOfQZRealmBase *Realm = Start->Realm;
    TrelkRealmSync *S = Start->S;
    {
        TrelkRealmSyncLock Lock(S);
        if (S->StepGen == Start->Gen && S->StepThreadID == 0) S->StepThreadID = vs_thread_currentid();
        TrelkRealm_SyncNotify(S);
    }
    // Start belongs to the creator from here on.
    QZRealmBase_BreakOnProc_Thread(Realm);
    return NULL;
}

// A realm whose cycles change nothing is not scheduled in a tight loop.
#define TRELK_STEP_IDLE_PAUSE_MS 5

extern "C" VS_ULONG QZRealmBase_BreakOnProc_Thread(StructOfQZRealmBase *QZRealm)
{
    // Both locks, script lock first: the steps run scripts.
    Trelk_RelockAfterWait();
    VS_UUID ID = SRV->GetID(QZRealm);
    TrelkRealmSyncRef S(TrelkRealm_Sync(QZRealm, VS_FALSE));
    VS_THREADID Me = vs_thread_currentid();
    uint64_t Gen = 0;
    if (S) {
        TrelkRealmSyncLock Lock(S.get());
        Gen = S->StepGen;
    }
    while (S) {
        {
            TrelkRealmSyncLock Lock(S.get());
            if (!S->Stepping || S->RealmGone || S->StepGen != Gen)
                break;
        }
        StructOfQZRealmBase *Realm = TrelkRealm_FindRealm(&ID);
        if (Realm == NULL)
            break;
        VS_BOOL Any = VS_FALSE;
        VS_INT32 Ended = Tarvex_ScheduleRealm(Realm, &Any);
        if (Ended != 0)
            TrelkRealm_StepReport(S.get());
        TrelkRealm_Dispatch();
        if (Ended != 0 && !Any) {
            TrelkRealmSync *P = S.get();
            TrelkRealm_PauseUnlocked(P, TRELK_STEP_IDLE_PAUSE_MS,
                                     [P, Gen] { return !P->Stepping || P->RealmGone || P->StepGen != Gen; });
        }
    }
    VS_HANDLE Detach = NULL;
    if (S) {
        TrelkRealmSyncLock Lock(S.get());
        // Nobody took the handle to join it (the stepping ended from this
        // thread, or the realm went): the thread lets go of itself.
        if (S->StepThread != NULL && S->StepThreadID == Me) {
            Detach = S->StepThread;
            S->StepThread = NULL;
            S->StepThreadID = 0;
            if (S->StepperID == Me && S->StepGen == Gen) {
                S->Stepping = VS_FALSE;
                S->StepperID = 0;
            }
        }
        S->Reports++;
        TrelkRealm_SyncNotify(S.get());
    }
    if (Detach != NULL) {
        StructOfQZRealmBase *Realm = TrelkRealm_FindRealm(&ID);
        StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
        if (LocalBuf != NULL && LocalBuf->hBreakOnThreadId == Me) ClearStepping(LocalBuf);
        vs_thread_detach(Detach);
    }
    S.reset();
    if (QZObject_XRQControlInteface != NULL)
        QZObject_XRQControlInteface->DetachCurrentThread();
    Trelk_UnlockForWait();
    return 0;
}

// ---------------------------------------------------------------------------
// Luafuncs
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_BreakOnProc(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    if (Realm == NULL)
        return 0;
    void *Cell = Trelk_ObjectArg(2);
    if (Cell != NULL && !Trelk_IsInstOf(Cell, QZCellBaseClass))
        return 0;
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
    if (LocalBuf == NULL)
        return 0;
    SetTarget(LocalBuf, Cell);
    // Stepping that is on already only changes its target.
    if (QZRealmBase_IsBreakOnProc(Realm))
        return 0;
    TrelkRealmSyncRef S(TrelkRealm_Sync(Realm, VS_TRUE));
    if (!S)
        return 0;
    VS_THREADID Me = vs_thread_currentid();
    VS_BOOL Wait = VS_TRUE;
    uint64_t Seen;
    uint64_t Gen;
    VS_HANDLE Handle = NULL;
    VS_THREADID Stepper = 0;
    if (LocalBuf->HasEnterExecuteUntil) {
        Handle = LocalBuf->ExecuteUntilThreadHandle;
        Stepper = LocalBuf->ExecuteUntilThreadId;
        // Called on ExecuteUntil's own thread: nobody else could report the
        // stop it would wait for.
        if (Stepper == Me)
            Wait = VS_FALSE;
    }
    {
        TrelkRealmSyncLock Lock(S.get());
        Seen = S->Reports;
        Gen = ++S->StepGen;
        S->Stepping = VS_TRUE;
        S->StepperID = Stepper;
        S->StepThread = NULL;
        S->StepThreadID = 0;
    }
    if (Handle == NULL) {
        StepThreadStart *Start = (StepThreadStart *)SRV->Malloc_Nor(sizeof(StepThreadStart));
        if (Start != NULL) {
            Start->Realm = Realm;
            Start->S = S.get();
            Start->Gen = Gen;
            Handle = vs_thread_create(StepThreadMain, Start, NULL);
        }
        if (Handle == NULL) {
            if (Start != NULL) SRV->Free(Start);
            {
                TrelkRealmSyncLock Lock(S.get());
                if (S->StepGen == Gen) S->Stepping = VS_FALSE;
            }
            Trelk_Raise(Realm, "'s BreakOnProc failed, the stepping thread can not be created");
            return 0;
        }
        // The new thread reports its ID before it takes any lock: this
        // thread waits for it holding its own.
        TrelkRealmSync *P = S.get();
        TrelkRealm_WaitHeld(P, 0, [P, Gen] { return P->StepThreadID != 0 || P->StepGen != Gen; });
        SRV->Free(Start);
        TrelkRealmSyncLock Lock(S.get());
        Stepper = S->StepThreadID;
        S->StepperID = Stepper;
        S->StepThread = Handle;
    }
    LocalBuf->hBreakOnThreadHandle = Handle;
    LocalBuf->hBreakOnThreadId = Stepper;
    vs_atomic_set(&LocalBuf->BreakOnProcFlag, 1);
    if (!Wait)
        return 0;
    TrelkRealmSync *P = S.get();
    TrelkRealm_WaitUnlocked(P, [P, Seen, Gen] {
        return P->Reports > Seen || P->RealmGone || !P->Stepping || P->StepGen != Gen;
    });
    return 0;
}

VS_INT32 QZRealmBase_BreakOnProcContinue(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    if (Realm == NULL || !QZRealmBase_IsBreakOnProc(Realm))
        return Trelk_PushBool(VS_FALSE);
    TrelkRealmSyncRef S(TrelkRealm_Sync(Realm, VS_FALSE));
    if (!S)
        return Trelk_PushBool(VS_FALSE);
    uint64_t Seen;
    uint64_t Gen;
    {
        TrelkRealmSyncLock Lock(S.get());
        // The stepping thread is not at a stop while it runs this: it would
        // wait for itself.
        if (S->StepperID == vs_thread_currentid())
            return Trelk_PushBool(VS_FALSE);
        Seen = S->Reports;
        Gen = S->StepGen;
        if (S->AtStop)
            S->Released = S->StopID;
        TrelkRealm_SyncNotify(S.get());
    }
    TrelkRealmSync *P = S.get();
    TrelkRealm_WaitUnlocked(P, [P, Seen, Gen] {
        return P->Reports > Seen || P->RealmGone || !P->Stepping || P->StepGen != Gen;
    });
    return Trelk_PushBool(VS_TRUE);
}

VS_INT32 QZRealmBase_CancelBreakOnProc(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    if (Realm == NULL || !QZRealmBase_IsBreakOnProc(Realm))
        return 0;
    VS_UUID ID = SRV->GetID(Realm);
    TrelkRealmSyncRef S(TrelkRealm_Sync(Realm, VS_FALSE));
    VS_HANDLE Join = NULL;
    if (S) {
        TrelkRealmSyncLock Lock(S.get());
        S->Stepping = VS_FALSE;
        // The own stepping thread is joined by one canceller; a cancel from
        // the stepping thread itself leaves it to end and let go of itself.
        if (S->StepThread != NULL && S->StepThreadID != vs_thread_currentid()) {
            Join = S->StepThread;
            S->StepThread = NULL;
            S->StepThreadID = 0;
        }
        TrelkRealm_SyncNotify(S.get());
    }
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
    vs_atomic_set(&LocalBuf->BreakOnProcFlag, 0);
    if (Join != NULL) {
        Trelk_UnlockForWait();
        vs_thread_join(Join);
        Trelk_RelockAfterWait();
        Realm = TrelkRealm_FindRealm(&ID);
        LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
    }
    ClearStepping(LocalBuf);
    return 0;
}
