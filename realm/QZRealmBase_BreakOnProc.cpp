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

#include <map>
#include <string>

// ---------------------------------------------------------------------------
// The sync blocks of the realms
// ---------------------------------------------------------------------------
static std::mutex RegistryMu;
static std::map<std::string, TrelkRealmSyncPtr> Registry;

static std::string KeyOf(VS_UUID *ID)
{
    return std::string((const char *)ID, sizeof(VS_UUID));
}

TrelkRealmSyncPtr TrelkRealm_Sync(StructOfQZRealmBase *QZRealm, VS_BOOL Create)
{
    if (QZRealm == NULL || SRV == NULL)
        return TrelkRealmSyncPtr();
    VS_UUID ID = SRV->GetID(QZRealm);
    if (Trelk_IsZeroID(&ID))
        return TrelkRealmSyncPtr();
    std::lock_guard<std::mutex> Lock(RegistryMu);
    auto It = Registry.find(KeyOf(&ID));
    if (It != Registry.end())
        return It->second;
    if (!Create)
        return TrelkRealmSyncPtr();
    TrelkRealmSyncPtr S = std::make_shared<TrelkRealmSync>();
    Registry[KeyOf(&ID)] = S;
    return S;
}

void TrelkRealm_StepReport(TrelkRealmSync *S)
{
    std::lock_guard<std::mutex> Lock(S->Mu);
    S->Reports++;
    S->Cv.notify_all();
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
    TrelkRealmSyncPtr S = TrelkRealm_Sync(QZRealm, VS_FALSE);
    if (!S)
        return;
    VS_UUID ID = SRV->GetID(QZRealm);
    VS_HANDLE Join = NULL;
    {
        std::lock_guard<std::mutex> Lock(S->Mu);
        S->RealmGone = true;
        S->Stepping = false;
        // ExecuteUntil's thread is not waited for: it finds the realm gone.
        if (S->StepThread != NULL && S->StepperID != vs_thread_currentid()) {
            Join = S->StepThread;
            S->StepThread = NULL;
        }
        S->Cv.notify_all();
    }
    if (Join != NULL) {
        // The stepping thread needs the locks to finish its step.
        Trelk_UnlockForWait();
        vs_thread_join(Join);
        Trelk_RelockAfterWait();
    }
    ClearStepping(QZRealmBase_GetLocalBuf_Internal(QZRealm));
    std::lock_guard<std::mutex> Lock(RegistryMu);
    Registry.erase(KeyOf(&ID));
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
    TrelkRealmSyncPtr S = TrelkRealm_Sync(QZRealm, VS_FALSE);
    if (!S)
        return;
    VS_THREADID Me = vs_thread_currentid();
    {
        // Only the stepping thread stops: any other thread that schedules the
        // realm would wait for a continue meant for the stepping thread.
        std::lock_guard<std::mutex> Lock(S->Mu);
        if (!S->Stepping || S->StepperID != Me)
            return;
    }
    if (!IsStop(QZRealm, LocalBuf, QZProc))
        return;
    uint64_t Stop;
    uint64_t Gen;
    {
        std::lock_guard<std::mutex> Lock(S->Mu);
        Stop = ++S->StopID;
        Gen = S->StepGen;
        S->AtStop = true;
        S->Reports++;
        S->Cv.notify_all();
    }
    TrelkRealmSync *P = S.get();
    TrelkRealm_WaitUnlocked(P, [P, Stop, Gen, Me] {
        return P->Released >= Stop || !P->Stepping || P->RealmGone || P->StepGen != Gen || P->StepperID != Me;
    });
    std::lock_guard<std::mutex> Lock(S->Mu);
    S->AtStop = false;
}

// ---------------------------------------------------------------------------
// The stepping thread
// ---------------------------------------------------------------------------
static void *StepThreadMain(void *Para)
{
    QZRealmBase_BreakOnProc_Thread((StructOfQZRealmBase *)Para);
    return NULL;
}

// A realm whose cycles change nothing is not scheduled in a tight loop.
#define TRELK_STEP_IDLE_PAUSE_MS 5

extern "C" VS_ULONG QZRealmBase_BreakOnProc_Thread(StructOfQZRealmBase *QZRealm)
{
    // Both locks, script lock first: the steps run scripts.
    Trelk_RelockAfterWait();
    VS_UUID ID = SRV->GetID(QZRealm);
    TrelkRealmSyncPtr S = TrelkRealm_Sync(QZRealm, VS_FALSE);
    VS_HANDLE Self = vs_thread_current();
    uint64_t Gen = 0;
    if (S) {
        std::lock_guard<std::mutex> Lock(S->Mu);
        Gen = S->StepGen;
    }
    while (S) {
        {
            std::lock_guard<std::mutex> Lock(S->Mu);
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
    VS_BOOL Detach = VS_FALSE;
    if (S) {
        std::lock_guard<std::mutex> Lock(S->Mu);
        // Nobody took the handle to join it (the stepping ended from this
        // thread, or the realm went): the thread lets go of itself.
        if (S->StepThread == Self) {
            S->StepThread = NULL;
            Detach = VS_TRUE;
            if (S->StepperID == vs_thread_currentid() && S->StepGen == Gen) {
                S->Stepping = false;
                S->StepperID = 0;
            }
        }
        S->Reports++;
        S->Cv.notify_all();
    }
    if (Detach) {
        StructOfQZRealmBase *Realm = TrelkRealm_FindRealm(&ID);
        StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
        if (LocalBuf != NULL && LocalBuf->hBreakOnThreadHandle == Self)
            ClearStepping(LocalBuf);
        vs_thread_detach(Self);
    }
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
    TrelkRealmSyncPtr S = TrelkRealm_Sync(Realm, VS_TRUE);
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
        std::lock_guard<std::mutex> Lock(S->Mu);
        Seen = S->Reports;
        Gen = ++S->StepGen;
        S->Stepping = true;
        S->StepperID = Stepper;
        S->StepThread = NULL;
    }
    if (Handle == NULL) {
        Handle = vs_thread_create(StepThreadMain, Realm, NULL);
        if (Handle == NULL) {
            {
                std::lock_guard<std::mutex> Lock(S->Mu);
                if (S->StepGen == Gen)
                    S->Stepping = false;
            }
            Trelk_Raise(Realm, "'s BreakOnProc failed, the stepping thread can not be created");
            return 0;
        }
        Stepper = (VS_THREADID)(uintptr_t)Handle;
        std::lock_guard<std::mutex> Lock(S->Mu);
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
    TrelkRealmSyncPtr S = TrelkRealm_Sync(Realm, VS_FALSE);
    if (!S)
        return Trelk_PushBool(VS_FALSE);
    uint64_t Seen;
    uint64_t Gen;
    {
        std::lock_guard<std::mutex> Lock(S->Mu);
        // The stepping thread is not at a stop while it runs this: it would
        // wait for itself.
        if (S->StepperID == vs_thread_currentid())
            return Trelk_PushBool(VS_FALSE);
        Seen = S->Reports;
        Gen = S->StepGen;
        if (S->AtStop)
            S->Released = S->StopID;
        S->Cv.notify_all();
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
    TrelkRealmSyncPtr S = TrelkRealm_Sync(Realm, VS_FALSE);
    VS_HANDLE Join = NULL;
    if (S) {
        std::lock_guard<std::mutex> Lock(S->Mu);
        S->Stepping = false;
        // The own stepping thread is joined by one canceller; a cancel from
        // the stepping thread itself leaves it to end and let go of itself.
        if (S->StepThread != NULL && S->StepperID != vs_thread_currentid()) {
            Join = S->StepThread;
            S->StepThread = NULL;
        }
        S->Cv.notify_all();
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
