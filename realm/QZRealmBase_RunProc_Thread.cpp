// Asynchronous proc runs: the worker that runs a temporary realm while the
// requesting proc waits, its start handshake, the joining of workers that
// ended by themselves, and the holder that keeps a run's output for the
// requesting proc.
//
// The proc's side of the handshake (one worker per proc, the stop request,
// the exit event) belongs to the proc; this file starts and ends the worker
// through it. Every change of that state is made with both locks held.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"


#define TRELK_RUNPROC_HOLDER_NAME "Trelk_InternalForRunProc_Result"

// ---------------------------------------------------------------------------
// Workers that ended by themselves wait here to be joined: nobody stops
// them, so nobody else would. Read and written with the host lock held.
// ---------------------------------------------------------------------------
struct EndedWorker {
    VS_HANDLE Handle;
    EndedWorker *Next;
};
static EndedWorker *EndedWorkers = NULL; // nodes in host memory

static void NoteEndedWorker(VS_HANDLE Handle)
{
    EndedWorker *Node = (EndedWorker *)SRV->Malloc_Nor(sizeof(EndedWorker));
    if (Node == NULL) {
        // Without a note the thread is left unjoined rather than joined by
        // itself.
        vs_thread_detach(Handle);
        return;
    }
    Node->Handle = Handle;
    Node->Next = EndedWorkers;
    EndedWorkers = Node;
}

void QZRealmBase_RunProc_JoinEndedWorkers()
{
    EndedWorker *Ended = EndedWorkers;
    EndedWorkers = NULL;
    // Each of them listed itself with both locks held and needs neither
    // again: the joins end at once.
    while (Ended != NULL) {
        EndedWorker *Next = Ended->Next;
        vs_thread_join(Ended->Handle);
        SRV->Free(Ended);
        Ended = Next;
    }
}

// ---------------------------------------------------------------------------
// The holder of a run's output: a hidden output container whose data queue
// holds the objects of the requesting proc's latest run, one lock each, so
// that they live until the proc reads them. It lets them go when the proc's next run begins
// or when the proc is freed (it is one of the proc's free callbacks).
// ---------------------------------------------------------------------------
static VS_BOOL IsHolderOf(void *Object, VS_UUID *QZProcID)
{
    return Trelk_IsInstOf(Object, QZDataOutputContainerClass) &&
                   strcmp(SRV->GetName(Object), TRELK_RUNPROC_HOLDER_NAME) == 0 &&
                   Trelk_IDEqual(&((StructOfQZDataOutputContainer *)Object)->DataBaseID, QZProcID)
               ? VS_TRUE
               : VS_FALSE;
}

static void EmptyHolder(void *Holder)
{
    void *QueueHead = &((StructOfQZDataOutputContainer *)Holder)->QZData;
    // Each place in the holder holds one lock.
    for (void *X = SRV->QueryFirst(QueueHead); X != NULL; X = SRV->QueryFirst(QueueHead)) {
        SRV->ChangeParent(X, NULL, 0);
        SRV->UnLockGC(X);
    }
}

static VS_INT32 HolderOnFreeCallback(void *L)
{
    (void)L;
    void *Holder = SRV->LuaToObject(1);
    void *Freed = Trelk_ObjectArg(2);
    if (Holder == NULL || Freed == NULL || !IsHolderOf(Holder, SRV->GetIDEx(Freed)))
        return 0;
    EmptyHolder(Holder);
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(Freed);
    if (LocalBuf != NULL)
        Trelk_CallBackListRemove(LocalBuf->CallBackObjectPkg, Holder);
    SRV->UnLockGC(Holder);
    return 0;
}

void TrelkRealm_RunProc_ReleaseHeld(StructOfQZProcBase *QZProc)
{
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(QZProc);
    if (LocalBuf == NULL || LocalBuf->CallBackObjectPkg == NULL)
        return;
    VS_UUID ProcID = SRV->GetID(QZProc);
    VS_PARAPKGPTR List = LocalBuf->CallBackObjectPkg;
    for (VS_INT32 i = 0; i < List->GetNumber(); i++) {
        void *Holder = List->GetType(i) == VSTYPE_OBJECT ? List->GetObject(i) : NULL;
        if (Holder == NULL || !IsHolderOf(Holder, &ProcID))
            continue;
        EmptyHolder(Holder);
        List->Del(i);
        SRV->FreeObject(Holder);
        return;
    }
}

void *TrelkRealm_RunProc_NewHolder(VS_UUID *QZProcID)
{
    void *Proc = SRV->GetObject(QZProcID);
    StructOfQZProcBaseLocalBuf *LocalBuf = Trelk_IsInstOf(Proc, QZProcBaseClass) ? QZProcBase_GetProcLocalBuf(Proc) : NULL;
    if (LocalBuf == NULL)
        return NULL;
    TrelkRealm_RunProc_ReleaseHeld((StructOfQZProcBase *)Proc);
    void *Holder = SRV->MallocObjectL(SRV->GetIDEx(QZDataOutputContainerClass), 0, NULL);
    // Creation events may run script code.
    Proc = SRV->GetObject(QZProcID);
    LocalBuf = Trelk_IsInstOf(Proc, QZProcBaseClass) ? QZProcBase_GetProcLocalBuf(Proc) : NULL;
    if (Holder == NULL || LocalBuf == NULL) {
        if (Holder != NULL)
            SRV->FreeObject(Holder);
        return NULL;
    }
    SRV->SetName(Holder, TRELK_RUNPROC_HOLDER_NAME);
    ((StructOfQZDataOutputContainer *)Holder)->DataBaseID = *QZProcID;
    SRV->RegLuaFunc(Holder, "OnFreeCallback", HolderOnFreeCallback, 0);
    QZProcBase_AddFreeCallback_Internal(LocalBuf, Holder);
    return Holder;
}

// ---------------------------------------------------------------------------
// Start and worker
// ---------------------------------------------------------------------------
static void ReleaseLocks()
{
    SRV->XRQUnLock();
    QZObject_XRQControlInteface->ReleaseScriptGIL();
}

static void TakeLocks()
{
    QZObject_XRQControlInteface->CaptureScriptGIL();
    SRV->XRQLock();
}

static StructOfQZProcBaseLocalBuf *RequestBuf(StructOfRunProcPlace *Place)
{
    void *Proc = SRV->GetObject(&Place->RequestProcID);
    return Trelk_IsInstOf(Proc, QZProcBaseClass) ? QZProcBase_GetProcLocalBuf(Proc) : NULL;
}

// A proc that is gone asks for the stop as well.
static VS_BOOL StopRequested(StructOfRunProcPlace *Place)
{
    StructOfQZProcBaseLocalBuf *LocalBuf = RequestBuf(Place);
    return LocalBuf == NULL || !LocalBuf->RunProcThreadIsRunning || QZProcBase_RunProcWorker_StopRequested(LocalBuf)
               ? VS_TRUE
               : VS_FALSE;
}

VS_BOOL TrelkRealm_RunProc_Start(StructOfRunProcPlace *Place, StructOfRunProc_OnCellFinishCallBackPara *Collector)
{
    void *Proc = SRV->GetObject(&Place->RequestProcID);
    if (Trelk_IsInstOf(Proc, QZProcBaseClass))
        TrelkRealm_RunProc_ReleaseHeld((StructOfQZProcBase *)Proc);
    // The worker's state is set up here, with both locks held since the
    // caller checked that the proc has no run going: no other run can slip
    // in while the caller waits for the worker below.
    if (!Trelk_IsInstOf(Proc, QZProcBaseClass) || !QZProcBase_RunProcWorker_Begin((StructOfQZProcBase *)Proc)) {
        VS_PARAPKGPTR Result = TrelkRealm_RunProc_End(Place, Collector, VS_TRUE, VS_FALSE);
        if (Result != NULL)
            Result->Release();
        return VS_FALSE;
    }
    StructOfRunProcContext *Context = (StructOfRunProcContext *)SRV->Malloc_Nor(sizeof(StructOfRunProcContext));
    VS_HANDLE Handle = NULL;
    if (Context != NULL) {
        Context->MaxLoopCount = 0;
        Context->QZCellIsDynamic = Place->CellIsDynamic;
        Context->RequestQZProcBase = (StructOfQZProcBase *)Proc;
        Context->NewQZRealmBase = (StructOfQZRealmBase *)SRV->GetObject(&Place->NewRealmID);
        Context->QZRealmBase = (StructOfQZRealmBase *)SRV->GetObject(&Place->RealmID);
        Context->QZCell = Place->HasCell ? (StructOfQZCellBase *)SRV->GetObject(&Place->CellID) : NULL;
        Context->OutputQZProcChainBase = (StructOfQZProcChainBase *)SRV->GetObject(&Place->OutputChainID);
        Context->OnCellFinishCallBackPara = Collector;
        Context->Place = *Place;
        if (vs_cond_init(&Context->ThreadStartWaitEvent)) {
            if (vs_cond_init(&Context->ThreadStartResumeEvent)) {
                Handle = vs_thread_create(QZRealmBase_RunProc_Thread, Context, NULL);
                if (Handle == NULL)
                    vs_cond_destroy(&Context->ThreadStartResumeEvent);
            }
            if (Handle == NULL)
                vs_cond_destroy(&Context->ThreadStartWaitEvent);
        }
    }
    if (Handle == NULL) {
        if (Context != NULL)
            SRV->Free(Context);
        QZProcBase_RunProcWorker_End(&Place->RequestProcID);
        VS_PARAPKGPTR Result = TrelkRealm_RunProc_End(Place, Collector, VS_TRUE, VS_FALSE);
        if (Result != NULL)
            Result->Release();
        return VS_FALSE;
    }
    // Stored before the locks are given up: a stopper that comes while the
    // caller waits finds the thread to join.
    Context->hThread = Handle;
    QZProcBase_GetProcLocalBuf(Proc)->hRunProcThreadHandle = Handle;
    ReleaseLocks();
    vs_cond_wait(&Context->ThreadStartWaitEvent);
    TakeLocks();
    vs_cond_signal(&Context->ThreadStartResumeEvent);
    return VS_TRUE;
}

static void Dispatch()
{
    while (QZObject_XRQControlInteface->XRQDispatch(VS_FALSE))
        ;
}

extern "C" void *QZRealmBase_RunProc_Thread(void *RunProcContext)
{
    StructOfRunProcContext *Context = (StructOfRunProcContext *)RunProcContext;
    TakeLocks();
    VS_THREADID ThreadID = vs_thread_currentid();
    SRV->InsertOneKey(GlobalThreadIndexTree, (VS_UWORD)ThreadID, (void *)(VS_UWORD)ThreadID);
    vs_cond_signal(&Context->ThreadStartWaitEvent);
    ReleaseLocks();
    vs_cond_wait(&Context->ThreadStartResumeEvent);
    vs_cond_destroy(&Context->ThreadStartWaitEvent);
    vs_cond_destroy(&Context->ThreadStartResumeEvent);
    TakeLocks();

    StructOfRunProcPlace *Place = &Context->Place;
    while (!StopRequested(Place)) {
        StructOfQZRealmBase *NewRealm = (StructOfQZRealmBase *)SRV->GetObject(&Place->NewRealmID);
        if (!Trelk_IsInstOf(NewRealm, QZRealmBaseClass))
            break;
        Tarvex_ScheduleRealm(NewRealm, NULL);
        NewRealm = (StructOfQZRealmBase *)SRV->GetObject(&Place->NewRealmID);
        if (!Trelk_IsInstOf(NewRealm, QZRealmBaseClass) || NewRealm->ExecuteStage == QZREALM_STAGE_FINISHED)
            break;
        Dispatch();
    }
    VS_BOOL Stopped = StopRequested(Place);
    VS_PARAPKGPTR Result = TrelkRealm_RunProc_End(Place, Context->OnCellFinishCallBackPara, Stopped, VS_TRUE);
    QZRealmBase_RunProc_Return(Result, Result != NULL ? VS_TRUE : VS_FALSE);
    VS_PARAPKGPTR Pushed = SRV->LuaToParaPkg(-1);
    StructOfQZProcBaseLocalBuf *LocalBuf = RequestBuf(Place);
    if (LocalBuf != NULL) {
        if (LocalBuf->RunProcResult != NULL)
            LocalBuf->RunProcResult->Release();
        if (Pushed != NULL)
            Pushed->AddRef();
        LocalBuf->RunProcResult = Pushed;
    }
    SRV->LuaPop(1);

    // A stopper joins the worker it stopped; any other end is joined later
    // by the module.
    LocalBuf = RequestBuf(Place);
    VS_BOOL StopperJoins = LocalBuf != NULL && LocalBuf->RunProcThreadIsRunning &&
                                   QZProcBase_RunProcWorker_StopRequested(LocalBuf)
                               ? VS_TRUE
                               : VS_FALSE;
    if (!StopperJoins) {
        if (LocalBuf != NULL && LocalBuf->hRunProcThreadHandle == Context->hThread)
            LocalBuf->hRunProcThreadHandle = NULL;
        NoteEndedWorker(Context->hThread);
    }
    QZProcBase_RunProcWorker_End(&Place->RequestProcID);
    SRV->Free(Context);
    QZObject_XRQControlInteface->DetachCurrentThread();
    SRV->DelOneKey(GlobalThreadIndexTree, (VS_UWORD)ThreadID);
    ReleaseLocks();
    return NULL;
}
