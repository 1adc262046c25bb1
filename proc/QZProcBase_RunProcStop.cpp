// The stop handshake between a proc-run worker and whoever stops it: the
// proc's free, or the cancel of the proc.
//
// Both sides change the handshake state only while they hold both locks, so
// the stopper's "is a worker running?" and its stop request cannot fall
// between the worker's last look at the request and its teardown. The
// stopper then gives up both locks for the join: the worker needs them for
// its last step. The exit event keeps a signal given before the wait (the
// platform's conditions latch), so the order of the worker's signal and the
// stopper's wait does not matter.
//
// One stopper at a time per proc: a second one (a free while a cancel waits,
// or the other way round) waits until the first is done, so the buffer and
// its event stay while the first one uses them, and no new worker starts on
// the proc before the old one's state is gone.
#include "trelk_proc_internal.h"

#define RUNPROC_RUN 0
#define RUNPROC_STOP 1

// IDs of the procs being stopped: a host ID index, made by the first stopper
// and destroyed when the last one is done. Read and changed only with both
// locks held, like the rest of the handshake.
static void *Stoppers = NULL;

static VS_BOOL IsBeingStopped(VS_UUID *ID)
{
    return Stoppers != NULL && SRV->FindIDKey(Stoppers, ID) != NULL ? VS_TRUE : VS_FALSE;
}

VS_BOOL QZProcBase_RunProcWorker_Begin(StructOfQZProcBase *QZProc)
{
    StructOfQZProcBaseLocalBuf *LocalBuf = TrelkProc_IsProcObject(QZProc) ? QZProcBase_GetProcLocalBuf(QZProc) : NULL;
    // One worker per proc: a second one would overwrite the first one's
    // handshake state while it is in use.
    if (LocalBuf == NULL || LocalBuf->RunProcThreadIsRunning || IsBeingStopped(SRV->GetIDEx(QZProc)))
        return VS_FALSE;
    if (!vs_atomic_init(&LocalBuf->RunProcThreadExitAtomic))
        return VS_FALSE;
    if (!vs_cond_init(&LocalBuf->RunProcThreadExitEvent)) {
        vs_atomic_destory(&LocalBuf->RunProcThreadExitAtomic);
        return VS_FALSE;
    }
    vs_atomic_set(&LocalBuf->RunProcThreadExitAtomic, RUNPROC_RUN);
    if (LocalBuf->RunProcResult != NULL) {
        LocalBuf->RunProcResult->Release();
        LocalBuf->RunProcResult = NULL;
    }
    LocalBuf->RunProcThreadIsRunning = VS_TRUE;
    return VS_TRUE;
}

VS_BOOL QZProcBase_RunProcWorker_StopRequested(StructOfQZProcBaseLocalBuf *LocalBuf)
{
    if (LocalBuf == NULL || !LocalBuf->RunProcThreadIsRunning)
        return VS_FALSE;
    return vs_atomic_get(&LocalBuf->RunProcThreadExitAtomic) == RUNPROC_STOP ? VS_TRUE : VS_FALSE;
}

void QZProcBase_RunProcWorker_End(VS_UUID *QZProcID)
{
    void *Object = SRV->GetObject(QZProcID);
    if (!TrelkProc_IsProcObject(Object))
        return;
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)Object;
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(Proc);
    if (LocalBuf == NULL || !LocalBuf->RunProcThreadIsRunning)
        return;
    Proc->IsSuspend = VS_FALSE;
    LocalBuf->RunProcThreadIsRunning = VS_FALSE;
    if (vs_atomic_get(&LocalBuf->RunProcThreadExitAtomic) == RUNPROC_RUN) {
        // Nobody waits: the worker cleans up after itself.
        vs_cond_destroy(&LocalBuf->RunProcThreadExitEvent);
        vs_atomic_destory(&LocalBuf->RunProcThreadExitAtomic);
        return;
    }
    // The stopper waits for this signal and then destroys both itself.
    vs_cond_signal(&LocalBuf->RunProcThreadExitEvent);
}

void QZProcBase_StopRunProcWorker(StructOfQZProcBase *QZProc)
{
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(QZProc);
    if (LocalBuf == NULL || !LocalBuf->RunProcThreadIsRunning)
        return;
    VS_UUID ID = SRV->GetID(QZProc);
    VS_HANDLE Thread = LocalBuf->hRunProcThreadHandle;
    if (Thread != NULL && Thread == vs_thread_current()) {
        // The worker stops its own proc: nobody is left to wait for, and its
        // own last step will find the proc stopped.
        LocalBuf->hRunProcThreadHandle = NULL;
        QZProc->IsSuspend = VS_FALSE;
        LocalBuf->RunProcThreadIsRunning = VS_FALSE;
        vs_cond_destroy(&LocalBuf->RunProcThreadExitEvent);
        vs_atomic_destory(&LocalBuf->RunProcThreadExitAtomic);
        return;
    }
    if (IsBeingStopped(&ID)) {
        // The first stopper joins and cleans up; the buffer stays meanwhile,
        // since a free of the proc waits here too. It is done when the ID
        // leaves the index: looked at again each time the locks come back.
        do {
            Trelk_UnlockForWait();
            vs_thread_sleep(2);
            Trelk_RelockAfterWait();
        } while (IsBeingStopped(&ID));
        return;
    }
    if (Stoppers == NULL)
        Stoppers = SRV->CreateIDIndex_Nor(0);
    // Without room to note it the stop still goes on: a worker left running
    // on a proc being freed would be worse than a second stopper not waiting.
    VS_BOOL Noted = Stoppers != NULL && SRV->InsertIDKey(Stoppers, &ID, (void *)1) ? VS_TRUE : VS_FALSE;
    LocalBuf->hRunProcThreadHandle = NULL;
    vs_atomic_set(&LocalBuf->RunProcThreadExitAtomic, RUNPROC_STOP);
    Trelk_UnlockForWait();
    if (Thread != NULL)
        vs_thread_join(Thread);
    Trelk_RelockAfterWait();
    // The proc cannot be gone: a free of it waits for this stopper. A worker
    // that ended through its last step left its signal in the event; one
    // that never reached it (no thread handle to join and still running)
    // leaves the wait to be done with both locks given up.
    if (LocalBuf->RunProcThreadIsRunning) {
        Trelk_UnlockForWait();
        vs_cond_wait(&LocalBuf->RunProcThreadExitEvent);
        Trelk_RelockAfterWait();
    } else
        vs_cond_wait(&LocalBuf->RunProcThreadExitEvent);
    vs_cond_destroy(&LocalBuf->RunProcThreadExitEvent);
    vs_atomic_destory(&LocalBuf->RunProcThreadExitAtomic);
    if (Noted)
        SRV->DelIDKey(Stoppers, &ID);
    VS_UUID Any;
    if (Stoppers != NULL && SRV->QueryFirstIDKey(Stoppers, &Any) == NULL) {
        SRV->DestoryIndex(Stoppers);
        Stoppers = NULL;
    }
}
