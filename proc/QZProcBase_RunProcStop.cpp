// The stop handshake between a proc's free and its proc-run worker.
//
// Both sides change the handshake state only while they hold both locks, so
// the stopper's "is a worker running?" and its stop request cannot fall
// between the worker's last look at the request and its teardown. The
// stopper then gives up both locks for the join and the wait: the worker needs
// them for its last step. The exit event keeps a signal given before the wait
// (the platform's conditions latch), so the order of the worker's signal and
// the stopper's wait does not matter.
#include "trelk_proc_internal.h"

#define RUNPROC_RUN 0
#define RUNPROC_STOP 1

VS_BOOL QZProcBase_RunProcWorker_Begin(StructOfQZProcBase *QZProc)
{
    StructOfQZProcBaseLocalBuf *LocalBuf = TrelkProc_IsProcObject(QZProc) ? QZProcBase_GetProcLocalBuf(QZProc) : NULL;
    // One worker per proc: a second one would overwrite the first one's
    // handshake state while it is in use.
    if (LocalBuf == NULL || LocalBuf->RunProcThreadIsRunning)
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
    VS_HANDLE Thread = LocalBuf->hRunProcThreadHandle;
    LocalBuf->hRunProcThreadHandle = NULL;
    if (Thread != NULL && Thread == vs_thread_current()) {
        // The worker frees its own proc: nobody is left to wait for, and its
        // own last step will find the proc gone.
        QZProc->IsSuspend = VS_FALSE;
        LocalBuf->RunProcThreadIsRunning = VS_FALSE;
        vs_cond_destroy(&LocalBuf->RunProcThreadExitEvent);
        vs_atomic_destory(&LocalBuf->RunProcThreadExitAtomic);
        return;
    }
    vs_atomic_set(&LocalBuf->RunProcThreadExitAtomic, RUNPROC_STOP);
    // The buffer stays valid while the locks are given up: the proc is on its
    // way out and only this free releases the buffer.
    ClassOfXRQControlInterface *Control = QZObject_XRQControlInteface;
    SRV->XRQUnLock();
    Control->ReleaseScriptGIL();
    if (Thread != NULL)
        vs_thread_join(Thread);
    vs_cond_wait(&LocalBuf->RunProcThreadExitEvent);
    Control->CaptureScriptGIL();
    SRV->XRQLock();
    vs_cond_destroy(&LocalBuf->RunProcThreadExitEvent);
    vs_atomic_destory(&LocalBuf->RunProcThreadExitAtomic);
}
