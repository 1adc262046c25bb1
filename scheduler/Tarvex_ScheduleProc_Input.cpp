// Moving data into a proc's inputs: topping up every input from the cell's
// env data, offering a datum another proc has just produced, and freeing a
// runner after its cell was told.
#include "trelk_sched_internal.h"

// The objects a top-up works on. The candidate search may report (two data
// with one stamp), and the report's script may free any of them: they are
// noted by ID just before a search that builds.
struct TopUp {
    StructOfQZRealmBase *realm;
    StructOfQZCellBase *cell;
    StructOfQZProcRunnerBase *runner;
    StructOfQZProcBase *proc;
    VS_UUID RealmID, CellID, RunnerID, ProcID;
};

static VS_BOOL ConnectData(TopUp *U, StructOfQZDataInputContainer *container, void **CacheSlot, void **DirectSlot);

// FALSE when an object the top-up was given is gone.
static VS_BOOL Refind(TopUp *U)
{
    VS_BOOL Had[4] = {U->realm != NULL, U->cell != NULL, U->runner != NULL, U->proc != NULL};
    U->realm = TRELK_FIND(StructOfQZRealmBase, U->RealmID);
    U->cell = TRELK_FIND(StructOfQZCellBase, U->CellID);
    U->runner = TRELK_FIND(StructOfQZProcRunnerBase, U->RunnerID);
    U->proc = TRELK_FIND(StructOfQZProcBase, U->ProcID);
    return (!Had[0] || U->realm != NULL) && (!Had[1] || U->cell != NULL) && (!Had[2] || U->runner != NULL) &&
                   (!Had[3] || U->proc != NULL)
               ? VS_TRUE
               : VS_FALSE;
}

VS_BOOL Tarvex_ScheduleProc_QZProcInputValid(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                             StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc)
{
    if (proc == NULL)
        return VS_TRUE;
    TopUp U = {realm, cell, runner, proc, VS_UUID{}, VS_UUID{}, VS_UUID{}, VS_UUID{}};
    // The caches are made when an input first builds its candidates.
    void *Cache = NULL;
    void *DirectCache = NULL;
    uint64_t Serial = Trelk_ScriptSerial();
    VS_BOOL Alive = VS_TRUE;
    VS_PARAPKGPTR List = TrelkSched_InputFillOrder(proc);
    for (VS_INT32 i = 0; i < List->GetNumber() && Alive; i++) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)List->GetObject(i);
        // After a script, an input that left the proc is not topped up.
        if (Input != NULL && (Serial == Trelk_ScriptSerial() || SRV->GetParent(Input) == U.proc))
            Alive = ConnectData(&U, Input, &Cache, &DirectCache);
    }
    List->Release();
    TrelkSched_DestroyCache(Cache);
    TrelkSched_DestroyCache(DirectCache);
    return Alive;
}

void Tarvex_ScheduleProc_QZProcConnectData(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                           StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc,
                                           StructOfQZDataInputContainer *container, void *Cache, void *DirectCache)
{
    void *CacheSlot = Cache, *DirectSlot = DirectCache;
    TopUp U = {realm, cell, runner, proc, VS_UUID{}, VS_UUID{}, VS_UUID{}, VS_UUID{}};
    ConnectData(&U, container, &CacheSlot, &DirectSlot);
    // Caches made here for a caller that gave none go here.
    if (Cache == NULL)
        TrelkSched_DestroyCache(CacheSlot);
    if (DirectCache == NULL)
        TrelkSched_DestroyCache(DirectSlot);
}

// FALSE when a report's script freed an object of the top-up or the
// container: nothing more is connected then.
static VS_BOOL ConnectData(TopUp *U, StructOfQZDataInputContainer *container, void **CacheSlot, void **DirectSlot)
{
    StructOfQZCellBase *cell = U->cell;
    StructOfQZProcBase *proc = U->proc;
    if (cell == NULL || proc == NULL || container == NULL)
        return VS_TRUE;
    // Inputs fed by the previous proc get nothing from the environment.
    if (container->IsFromInternal)
        return VS_TRUE;
    // A worker's run owns the inputs it was launched with until it is picked
    // up: the pick-up takes what is left in them as that run's, so anything
    // added now would be taken without being run.
    if (TrelkSched_AsyncWorkerRunning(proc))
        return VS_TRUE;
    StructOfQZDataBase *Master = NULL;
    if (container->IsSlave) {
        Master = Tarvex_ScheduleProc_GetMasterQZData(proc, container->Index);
        if (Master == NULL)
            return VS_TRUE;
    }
    if (SRV->QueryFirst(&container->DataQueue) != NULL && container->RequestNumber == 1)
        return VS_TRUE;
    if (!TrelkSched_InputNeedsMore(container))
        return VS_TRUE;
    VS_UUID ExcludeID;
    QZRunnerBase_GetExcludeIDForEnvData(proc, &ExcludeID);
    if (Master == NULL) {
        TrelkSchedFill Context = {container, proc, &ExcludeID};
        if (TrelkSched_EachCandidate(cell, &container->DataBaseID, container->IsOnlyDirect, &ExcludeID, TrelkSched_FillOne,
                                     &Context))
            return VS_TRUE;
    }
    void **Slot = container->IsOnlyDirect ? DirectSlot : CacheSlot;
    if (*Slot == NULL)
        *Slot = SRV->CreateIDIndexEx_Nor(0);
    U->RealmID = U->realm != NULL ? SRV->GetID(U->realm) : VS_UUID{};
    U->CellID = SRV->GetID(cell);
    U->RunnerID = U->runner != NULL ? SRV->GetID(U->runner) : VS_UUID{};
    U->ProcID = SRV->GetID(proc);
    VS_UUID ContainerID = SRV->GetID(container);
    uint64_t Serial = Trelk_ScriptSerial();
    void *Candidates =
        TrelkSched_CachedCandidates(U->realm, cell, *Slot, &container->DataBaseID, Master, container->IsOnlyDirect);
    if (Serial != Trelk_ScriptSerial()) {
        if (!Refind(U))
            return VS_FALSE;
        cell = U->cell;
        proc = U->proc;
        void *Still = TrelkSched_Find(&ContainerID);
        if (Still == NULL || SRV->GetParent(Still) != proc)
            return VS_FALSE;
        container = (StructOfQZDataInputContainer *)Still;
        // The candidates of other containers were dropped with the cache's
        // stale entries; those of the other cache may name freed data too.
        void **Other = container->IsOnlyDirect ? CacheSlot : DirectSlot;
        if (*Other != NULL && Other != Slot)
            TrelkSched_EmptyCache(*Other);
    }
    VS_UWORD K1, K2, K3;
    for (void *Value = SRV->QueryFirstThreeKey(Candidates, &K1, &K2, &K3); Value != NULL;
         Value = SRV->QueryNextThreeKey(Candidates, &K1, &K2, &K3)) {
        StructOfQZDataBase *Data = (StructOfQZDataBase *)Value;
        if (!TrelkSched_IsData(Data) || Tarvex_ScheduleProc_QZProcEnvDataIsExclude(cell, U->runner, proc, Data))
            continue;
        TrelkSched_Connect(container, Data, proc, &ExcludeID);
        if (!TrelkSched_InputNeedsMore(container))
            break;
    }
    return VS_TRUE;
}

VS_BOOL Tarvex_ScheduleProc_QZDataToProc(StructOfQZCellBase *cell, StructOfQZDataBase *data, StructOfQZProcBase *proc)
{
    (void)cell;
    if (data == NULL || proc == NULL)
        return VS_FALSE;
    VS_UUID ProcID = SRV->GetID(proc);
    if (data->ExcludeProc != NULL && SRV->FindIDKey(data->ExcludeProc, &ProcID) != NULL)
        return VS_FALSE;
    // Not while a worker's run is out (see ConnectData): the datum waits in
    // its maker's output, which is offered again once the run is picked up.
    if (TrelkSched_AsyncWorkerRunning(proc))
        return VS_FALSE;
    for (void *In = SRV->QueryFirst(&proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        if (SRV->QueryFirst(&Input->DataQueue) != NULL && Input->RequestNumber == 1)
            continue;
        VS_BOOL TypeFits;
        if (!Input->IsOnlyDirect)
            TypeFits = SRV->IsInst(&Input->DataBaseID, data);
        else {
            StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(data);
            TypeFits = Holder != NULL && SRV->IsDirectInst(&Input->DataBaseID, Holder) ? VS_TRUE : VS_FALSE;
        }
        if (TypeFits && TrelkSched_InputNeedsMore(Input)) {
            TrelkSched_Connect(Input, data, proc, &ProcID);
            return VS_TRUE;
        }
    }
    return VS_FALSE;
}

void Tarvex_ScheduleProc_QZProcRunnerFree(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                          StructOfQZProcRunnerBase *runner)
{
    if (runner == NULL)
        return;
    VS_UUID RunnerID = SRV->GetID(runner);
    if (cell != NULL) {
        SRV->LuaPushObject(realm);
        SRV->LuaPushObject(runner);
        TrelkSched_CallObject(cell, "OnBeforeRunnerDestory", 2, 0, "calls the function OnBeforeRunnerDestory failed");
    }
    // The hook may have freed the runner itself.
    void *Still = TrelkSched_Find(&RunnerID);
    if (Still != NULL)
        SRV->FreeObject(Still);
}
