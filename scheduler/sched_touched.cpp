// The runner procs whose input may have gained an item with a set change
// flag since their runner last looked: the runner step asks only these,
// instead of walking its whole chain at every step, which made a chain of P
// procs cost P steps of P checks each.
//
// A proc's change flags are set where an input item is made or handed on
// (a connection, a sibling's items moved over, a datum marked changed, a
// script writing an item's flag: every item the scheduler makes carries a
// before-change callback for it), and a proc that leaves its runner's
// current set may still carry a flag: each of these places notes the proc
// here. Only procs of runners are noted (the
// current-proc rule looks at nothing else).
#include "trelk_sched_internal.h"
#include "trelk_alloc.h"

// Proc ID -> 1, host memory; made on first use, released at shutdown.
static void *g_Touched = NULL;

void TrelkSched_TouchProc(StructOfQZProcBase *Proc)
{
    if (Proc == NULL || Trelk_IsZeroID(&Proc->RunnerID))
        return;
    if (g_Touched == NULL) {
        g_Touched = SRV->CreateIDIndex_Nor(0);
        if (g_Touched == NULL)
            return;
    }
    VS_UUID *ID = SRV->GetIDEx(Proc);
    if (ID != NULL && SRV->FindIDKey(g_Touched, ID) == NULL)
        SRV->InsertIDKey(g_Touched, ID, (void *)1);
}

static VS_BOOL HasChangedItem(StructOfQZProcBase *Proc)
{
    for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL; In = SRV->QueryNext(In))
        for (void *Item = SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue); Item != NULL;
             Item = SRV->QueryNext(Item))
            if (((StructOfQZObjectPointerWithChangeFlag *)Item)->ChangeFlag)
                return VS_TRUE;
    return VS_FALSE;
}

void TrelkSched_CurrentFromTouched(StructOfQZProcRunnerBase *Runner, void *CurrentIndex)
{
    if (g_Touched == NULL || Runner == NULL || CurrentIndex == NULL)
        return;
    VS_UUID RunnerID = SRV->GetID(Runner);
    // Keys leave the index after the walk: the host's walk does not survive
    // a deletion under it.
    TrelkVector<VS_UUID> Done;
    VS_UUID Key;
    for (void *V = SRV->QueryFirstIDKey(g_Touched, &Key); V != NULL; V = SRV->QueryNextIDKey(g_Touched, &Key)) {
        void *Object = SRV->GetObject(&Key);
        if (!TrelkSched_IsProc(Object)) {
            Done.push_back(Key);
            continue;
        }
        StructOfQZProcBase *Proc = (StructOfQZProcBase *)Object;
        if (!Trelk_IDEqual(&Proc->RunnerID, &RunnerID)) {
            // A proc of a runner that is gone is never asked again.
            if (SRV->GetObject(&Proc->RunnerID) == NULL)
                Done.push_back(Key);
            continue;
        }
        Done.push_back(Key);
        if (HasChangedItem(Proc) && SRV->FindIDKey(CurrentIndex, &Key) == NULL)
            SRV->InsertIDKey(CurrentIndex, &Key, (void *)1);
    }
    for (VS_UUID &ID : Done)
        SRV->DelIDKey(g_Touched, &ID);
}

void Tarvex_Schedule_ReleaseState()
{
    if (g_Touched != NULL)
        SRV->DestoryIndex(g_Touched);
    g_Touched = NULL;
    TrelkSched_ReleaseCellEnvs();
    Trelk_ForgetClassAttrIndexes();
}
