// Asynchronous procs: a proc whose IsAsync is set runs its "Execute" on a
// worker thread of its own. The proc step launches the worker and reports the
// proc suspended; the worker runs the script whenever the scheduling thread
// lets go of the locks, leaves the result in the proc's buffer and clears
// IsSuspend; a later proc step picks the result up.
//
// The worker holds no pointer across a lock release: it finds the realm, the
// cell, the runner and the proc again by ID, and a freed one ends it quietly.
// It is detached (nobody joins it) and always leaves the module's thread
// registry, which shutdown waits on.
#include "trelk_sched_internal.h"

#include <cstdio>

struct StructOfTarvex_ScheduleProc_QZProcRunner_EachProc_ThreadContext {
    StructOfQZRealmBase *QZRealm;
    StructOfQZCellBase *QZCellInstance;
    StructOfQZProcRunnerBase *QZProcRunner;
    StructOfQZProcBase *QZProc;
    VS_PARAPKGPTR SourceData;
    VS_INT32 InitialLiveCount;
    VS_COND ThreadStartWaitEvent;
    VS_COND ThreadStartResumeEvent;
    // The four objects by ID, to find them again after each lock release.
    VS_UUID RealmID, CellID, RunnerID, ProcID;
    // The host's interfaces, for a script that ends after the module has
    // shut down (its shutdown gave up waiting): the worker then lets go of
    // the locks and ends without touching the module.
    ClassOfXRQInterface *Srv;
    ClassOfXRQControlInterface *Control;
};

typedef StructOfTarvex_ScheduleProc_QZProcRunner_EachProc_ThreadContext ThreadContext;

VS_BOOL TrelkSched_AsyncWorkerRunning(StructOfQZProcBase *proc)
{
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(proc);
    return LocalBuf != NULL && LocalBuf->IsAsyncThreadIsRunning ? VS_TRUE : VS_FALSE;
}

VS_BOOL TrelkSched_AsyncTakeResult(StructOfQZProcBase *proc, VS_PARAPKGPTR *Sources, VS_INT32 *LiveCount,
                                   VS_INT32 *Result)
{
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(proc);
    if (LocalBuf == NULL || !LocalBuf->IsAsyncThreadIsRunning || proc->IsSuspend)
        return VS_FALSE;
    if (*Sources != NULL)
        (*Sources)->Release();
    *Sources = LocalBuf->BlockThreadSourceData;
    LocalBuf->BlockThreadSourceData = NULL;
    *LiveCount = LocalBuf->BlockThreadInitialLiveCount;
    *Result = LocalBuf->BlockThreadResult;
    LocalBuf->IsAsyncThreadIsRunning = VS_FALSE;
    return VS_TRUE;
}

// ---------------------------------------------------------------------------
// The worker
// ---------------------------------------------------------------------------
static VS_BOOL FindAll(ThreadContext *C)
{
    C->QZRealm = TRELK_FIND(StructOfQZRealmBase, C->RealmID);
    C->QZCellInstance = TRELK_FIND(StructOfQZCellBase, C->CellID);
    C->QZProcRunner = TRELK_FIND(StructOfQZProcRunnerBase, C->RunnerID);
    C->QZProc = TRELK_FIND(StructOfQZProcBase, C->ProcID);
    return C->QZRealm != NULL && C->QZCellInstance != NULL && C->QZProcRunner != NULL && C->QZProc != NULL ? VS_TRUE
                                                                                                           : VS_FALSE;
}

// The script's answer, or -1 after a report when the call failed.
static VS_INT32 RunScript(ThreadContext *C, VS_BOOL *ModuleGone)
{
    VS_CHAR CellName[256], ProcName[256];
    snprintf(CellName, sizeof(CellName), "%s", Trelk_Name(C->QZCellInstance));
    snprintf(ProcName, sizeof(ProcName), "%s", Trelk_Name(C->QZProc));
    SRV->LuaPushObject(C->QZRealm);
    SRV->LuaPushObject(C->QZCellInstance);
    SRV->LuaPushObject(C->QZProcRunner);
    SRV->GetLastError();
    VS_BOOL Called = Trelk_ExecNameScript(C->QZProc, "Execute", 3, 1);
    *ModuleGone = QZObject_XRQInterface == NULL ? VS_TRUE : VS_FALSE;
    if (*ModuleGone)
        return -1;
    VS_INT32 Error = Called ? SRV->GetLastError() : VSSCRIPTERR_NONE;
    VS_INT32 Result = Called ? SRV->LuaToInt(-1) : -1;
    SRV->LuaPop(1);
    if (!FindAll(C))
        return -1;
    if (!Called) {
        QZRealmBase_RaiseException(C->QZRealm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "Cell[%s] Proc[%s]'s runs failed", CellName, ProcName);
    } else if (Error >= VSSCRIPTERR_OTHER && Error <= VSSCRIPTERR_MEMORY) {
        // The script stopped with an error and answered nothing: the run
        // failed, as it does on the scheduling thread.
        VS_ULONG Line = 0;
        const VS_CHAR *Source = NULL;
        const VS_CHAR *Text = SRV->GetLastErrorInfo(&Line, &Source);
        QZRealmBase_RaiseException(C->QZRealm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "Cell[%s] Proc[%s]'s runs warning, info[%s:%d:%s]", CellName, ProcName,
                                   Source != NULL ? Source : "", (VS_INT32)Line, Text != NULL ? Text : "");
    } else
        return Result;
    // The report ran a script: the error is counted on what is still there.
    FindAll(C);
    if (C->QZProc != NULL)
        C->QZProc->LoopCount = C->QZProc->LoopCountTotal = 0;
    TrelkSched_CountError(C->QZRealm, C->QZCellInstance, C->QZProc, C->QZProcRunner);
    if (C->QZProc != NULL)
        Trelk_InsertPerformaceData_ForError(C->QZProc);
    return -1;
}

static void *WorkerMain(void *Para)
{
    Tarvex_ScheduleProc_QZProcRunner_EachProc_Thread(Para);
    return NULL;
}

extern "C" VS_ULONG Tarvex_ScheduleProc_QZProcRunner_EachProc_Thread(void *Para)
{
    ThreadContext *C = (ThreadContext *)Para;
    Trelk_RelockAfterWait();
    VS_UWORD Self = (VS_UWORD)vs_thread_currentid();
    SRV->InsertOneKey(GlobalThreadIndexTree, Self, (void *)Self);
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(TRELK_FIND(StructOfQZProcBase, C->ProcID));
    if (LocalBuf != NULL) {
        LocalBuf->IsAsyncThreadIsRunning = VS_TRUE;
        if (LocalBuf->BlockThreadSourceData != NULL)
            LocalBuf->BlockThreadSourceData->Release();
        LocalBuf->BlockThreadSourceData = C->SourceData;
        LocalBuf->BlockThreadInitialLiveCount = C->InitialLiveCount;
    } else if (C->SourceData != NULL)
        C->SourceData->Release();
    C->SourceData = NULL;
    vs_cond_signal(&C->ThreadStartWaitEvent);
    // The script runs in a later lock release of the scheduling thread,
    // never inside the step that launched it.
    Trelk_UnlockForWait();
    vs_cond_wait(&C->ThreadStartResumeEvent);
    vs_cond_destroy(&C->ThreadStartWaitEvent);
    vs_cond_destroy(&C->ThreadStartResumeEvent);
    Trelk_RelockAfterWait();
    if (LocalBuf != NULL && FindAll(C)) {
        VS_BOOL ModuleGone = VS_FALSE;
        VS_INT32 Result = RunScript(C, &ModuleGone);
        if (ModuleGone) {
            ClassOfXRQInterface *Srv = C->Srv;
            ClassOfXRQControlInterface *Control = C->Control;
            Srv->Free(C);
            Control->DetachCurrentThread();
            Srv->XRQUnLock();
            Control->ReleaseScriptGIL();
            return 0;
        }
        StructOfQZProcBase *Proc = TRELK_FIND(StructOfQZProcBase, C->ProcID);
        LocalBuf = QZProcBase_GetProcLocalBuf(Proc);
        if (LocalBuf != NULL && LocalBuf->IsAsyncThreadIsRunning) {
            LocalBuf->BlockThreadResult = Result;
            Proc->IsSuspend = VS_FALSE;
        }
    }
    SRV->Free(C);
    QZObject_XRQControlInteface->DetachCurrentThread();
    SRV->DelOneKey(GlobalThreadIndexTree, Self);
    Trelk_UnlockForWait();
    return 0;
}

// ---------------------------------------------------------------------------
// The launch
// ---------------------------------------------------------------------------
VS_INT32 TrelkSched_AsyncLaunch(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc, VS_PARAPKGPTR *Sources,
                                VS_INT32 LiveCount)
{
    ThreadContext *C = (ThreadContext *)SRV->Malloc_Nor(sizeof(ThreadContext));
    VS_BOOL Ready = C != NULL ? VS_TRUE : VS_FALSE;
    if (Ready && !vs_cond_init(&C->ThreadStartWaitEvent))
        Ready = VS_FALSE;
    else if (Ready && !vs_cond_init(&C->ThreadStartResumeEvent)) {
        vs_cond_destroy(&C->ThreadStartWaitEvent);
        Ready = VS_FALSE;
    }
    VS_HANDLE Thread = NULL;
    if (Ready) {
        C->QZRealm = realm;
        C->QZCellInstance = cell;
        C->QZProcRunner = runner;
        C->QZProc = proc;
        C->SourceData = *Sources;
        C->InitialLiveCount = LiveCount;
        C->RealmID = SRV->GetID(realm);
        C->CellID = SRV->GetID(cell);
        C->RunnerID = SRV->GetID(runner);
        C->ProcID = SRV->GetID(proc);
        C->Srv = SRV;
        C->Control = QZObject_XRQControlInteface;
        Thread = vs_thread_create(WorkerMain, C, NULL);
        if (Thread == NULL) {
            vs_cond_destroy(&C->ThreadStartWaitEvent);
            vs_cond_destroy(&C->ThreadStartResumeEvent);
        }
    }
    if (Thread == NULL) {
        // No worker: the run fails as a script call that cannot be made.
        if (C != NULL)
            SRV->Free(C);
        VS_UUID IDs[4] = {SRV->GetID(realm), SRV->GetID(cell), SRV->GetID(runner), SRV->GetID(proc)};
        QZRealmBase_RaiseException(realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "Cell[%s] Proc[%s]'s runs failed",
                                   Trelk_Name(cell), Trelk_Name(proc));
        if (*Sources != NULL) {
            (*Sources)->Release();
            *Sources = NULL;
        }
        // The report ran a script: the error is counted on what is still
        // there.
        proc = TRELK_FIND(StructOfQZProcBase, IDs[3]);
        if (proc != NULL)
            proc->LoopCount = proc->LoopCountTotal = 0;
        TrelkSched_CountError(TRELK_FIND(StructOfQZRealmBase, IDs[0]), TRELK_FIND(StructOfQZCellBase, IDs[1]), proc,
                              TRELK_FIND(StructOfQZProcRunnerBase, IDs[2]));
        if (proc != NULL)
            Trelk_InsertPerformaceData_ForError(proc);
        return -1;
    }
    *Sources = NULL;
    vs_thread_detach(Thread);
    VS_UUID ProcID = C->ProcID, RealmID = C->RealmID, CellID = C->CellID;
    Trelk_UnlockForWait();
    vs_cond_wait(&C->ThreadStartWaitEvent);
    Trelk_RelockAfterWait();
    vs_cond_signal(&C->ThreadStartResumeEvent);
    // C is the worker's from here on.
    proc = TRELK_FIND(StructOfQZProcBase, ProcID);
    if (proc == NULL)
        return -1;
    proc->IsSuspend = VS_TRUE;
    uint64_t Serial = Trelk_ScriptSerial();
    Tarvex_ScheduleProc_QZProcRunner_ProcIsSuspend(TRELK_FIND(StructOfQZRealmBase, RealmID),
                                                   TRELK_FIND(StructOfQZCellBase, CellID), proc);
    // A proc suspended already is reported, and the report's script may
    // free it.
    if (Serial != Trelk_ScriptSerial() && (proc = TRELK_FIND(StructOfQZProcBase, ProcID)) == NULL)
        return -1;
    proc->StartEachExecuteTick = TrelkSched_NowUs();
    return 2;
}
