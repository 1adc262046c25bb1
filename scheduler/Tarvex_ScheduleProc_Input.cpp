// Moving data into a proc's inputs: topping up every input from the cell's
// env data, offering a datum another proc has just produced, and freeing a
// runner after its cell was told.
#include "trelk_sched_internal.h"

static void ConnectData(StructOfQZRealmBase *realm, StructOfQZCellBase *cell, StructOfQZProcRunnerBase *runner,
                        StructOfQZProcBase *proc, StructOfQZDataInputContainer *container, void **CacheSlot,
                        void **DirectSlot);

VS_BOOL Tarvex_ScheduleProc_QZProcInputValid(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                             StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc)
{
    if (proc == NULL)
        return VS_TRUE;
    // The caches are made when an input first builds its candidates.
    void *Cache = NULL;
    void *DirectCache = NULL;
    VS_PARAPKGPTR List = TrelkSched_InputFillOrder(proc);
    for (VS_INT32 i = 0; i < List->GetNumber(); i++) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)List->GetObject(i);
        if (Input != NULL)
            ConnectData(realm, cell, runner, proc, Input, &Cache, &DirectCache);
    }
    List->Release();
    TrelkSched_DestroyCache(Cache);
    TrelkSched_DestroyCache(DirectCache);
    return VS_TRUE;
}

void Tarvex_ScheduleProc_QZProcConnectData(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                           StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc,
                                           StructOfQZDataInputContainer *container, void *Cache, void *DirectCache)
{
    void *CacheSlot = Cache, *DirectSlot = DirectCache;
    ConnectData(realm, cell, runner, proc, container, &CacheSlot, &DirectSlot);
    // Caches made here for a caller that gave none go here.
    if (Cache == NULL)
        TrelkSched_DestroyCache(CacheSlot);
    if (DirectCache == NULL)
        TrelkSched_DestroyCache(DirectSlot);
}

static void ConnectData(StructOfQZRealmBase *realm, StructOfQZCellBase *cell, StructOfQZProcRunnerBase *runner,
                        StructOfQZProcBase *proc, StructOfQZDataInputContainer *container, void **CacheSlot,
                        void **DirectSlot)
{
    if (cell == NULL || proc == NULL || container == NULL)
        return;
    // Inputs fed by the previous proc get nothing from the environment.
    if (container->IsFromInternal)
        return;
    // A worker's run owns the inputs it was launched with until it is picked
    // up: the pick-up takes what is left in them as that run's, so anything
    // added now would be taken without being run.
    if (TrelkSched_AsyncWorkerRunning(proc))
        return;
    StructOfQZDataBase *Master = NULL;
    if (container->IsSlave) {
        Master = Tarvex_ScheduleProc_GetMasterQZData(proc, container->Index);
        if (Master == NULL)
            return;
    }
    if (SRV->QueryFirst(&container->DataQueue) != NULL && container->RequestNumber == 1)
        return;
    if (!TrelkSched_InputNeedsMore(container))
        return;
    VS_UUID ExcludeID;
    QZRunnerBase_GetExcludeIDForEnvData(proc, &ExcludeID);
    if (Master == NULL) {
        TrelkSchedFill Context = {container, proc, &ExcludeID};
        if (TrelkSched_EachCandidate(cell, &container->DataBaseID, container->IsOnlyDirect, &ExcludeID, TrelkSched_FillOne,
                                     &Context))
            return;
    }
    void **Slot = container->IsOnlyDirect ? DirectSlot : CacheSlot;
    if (*Slot == NULL)
        *Slot = SRV->CreateIDIndexEx_Nor(0);
    void *Candidates =
        TrelkSched_CachedCandidates(realm, cell, *Slot, &container->DataBaseID, Master, container->IsOnlyDirect);
    VS_UWORD K1, K2, K3;
    for (void *Value = SRV->QueryFirstThreeKey(Candidates, &K1, &K2, &K3); Value != NULL;
         Value = SRV->QueryNextThreeKey(Candidates, &K1, &K2, &K3)) {
        StructOfQZDataBase *Data = (StructOfQZDataBase *)Value;
        if (!TrelkSched_IsData(Data) || Tarvex_ScheduleProc_QZProcEnvDataIsExclude(cell, runner, proc, Data))
            continue;
        TrelkSched_Connect(container, Data, proc, &ExcludeID);
        if (!TrelkSched_InputNeedsMore(container))
            break;
    }
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
