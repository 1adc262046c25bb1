// A new runner of one chain of a cell: private copies of the chain's procs,
// linked in the chain's order, their inputs fed from inside the chain marked
// and each copy's predecessor recorded, the first copy current.
#include "trelk_cell_api.h"
#include "trelk_helpers.h"
#include "trelk_alloc.h"


static StructOfQZProcBase *ProcByID(VS_UUID *ID)
{
    void *Object = ID != NULL && !Trelk_IsZeroID(ID) ? SRV->GetObject(ID) : NULL;
    return Object != QZProcBaseClass && Trelk_IsInstOf(Object, QZProcBaseClass) ? (StructOfQZProcBase *)Object : NULL;
}

static StructOfQZProcBase *NextOf(StructOfQZProcBase *Proc)
{
    void *Next = Proc->QZProcNext != NULL ? SRV->AtomicToObject(Proc->QZProcNext) : NULL;
    return Next != QZProcBaseClass && Trelk_IsInstOf(Next, QZProcBaseClass) ? (StructOfQZProcBase *)Next : NULL;
}

// From First along QZProcNext, each proc once: a link that leads back into
// the order ends it. Nothing runs during the walk, so the procs met are told
// apart by address.
static TrelkVector<StructOfQZProcBase *> Order(StructOfQZProcBase *First)
{
    TrelkVector<StructOfQZProcBase *> Procs;
    TrelkHashSet<StructOfQZProcBase *> Seen;
    for (StructOfQZProcBase *P = First; P != NULL && Seen.insert(P).second; P = NextOf(P))
        Procs.push_back(P);
    return Procs;
}

StructOfQZProcRunnerBase *Tarvex_ScheduleProc_NewRunner(StructOfQZRealmBase *QZRealm, StructOfQZCellBase *QZCell,
                                                        StructOfQZProcChainBase *QZProcChain)
{
    (void)QZRealm;
    if (QZCell == NULL || QZProcChain == NULL || QZProcRunnerBaseClass == NULL)
        return NULL;
    VS_UUID ChainID = SRV->GetID(QZProcChain);
    VS_UUID CellID = SRV->GetID(QZCell);
    StructOfQZProcRunnerBase *Runner =
        (StructOfQZProcRunnerBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcRunnerBaseClass), 0, NULL);
    if (Runner == NULL)
        return NULL;
    Runner->hThreadID = (VS_INT64)vs_thread_currentid();
    Runner->ErrorCount = 0;
    Runner->QZProcChainID = ChainID;
    Runner->QZCellID = CellID;
    VS_UUID RunnerID = SRV->GetID(Runner);

    // The chain's procs, taken once by ID: a copy's creation may run script
    // code that changes the chain.
    TrelkVector<VS_UUID> IDs;
    for (StructOfQZProcBase *P : Order(ProcByID(&QZProcChain->QZProcStart)))
        IDs.push_back(SRV->GetID(P));
    for (VS_UUID &ID : IDs)
        if (StructOfQZProcBase *P = ProcByID(&ID))
            Tarvex_ScheduleProc_DupProc_Step1(&RunnerID, P);
    OBJECTATTRIBUTEINDEX Index = Trelk_ClassAttrIndex(QZProcRunnerBaseClass, "QZProcBase");
    StructOfQZProcBase *Previous = NULL;
    for (VS_UUID &ID : IDs) {
        StructOfQZProcBase *P = ProcByID(&ID);
        StructOfQZProcBase *Copy = P != NULL ? Tarvex_ScheduleProc_DupProc_Step3(&RunnerID, P) : NULL;
        if (Copy == NULL)
            continue;
        // The copy keeps the lock it was made with: that is the runner's.
        if (!SRV->ChangeParent(Copy, Runner, Index)) {
            SRV->FreeObject(Copy);
            continue;
        }
        if (Previous == NULL)
            Runner->QZProcStart = SRV->GetID(Copy);
        else
            Previous->QZProcNext = SRV->ObjectToAtomic(Copy);
        Previous = Copy;
    }
    for (VS_UUID &ID : IDs)
        if (StructOfQZProcBase *P = ProcByID(&ID))
            Tarvex_ScheduleProc_DupProc_Step4(&RunnerID, P);

    TrelkVector<StructOfQZProcBase *> Copies = Order(ProcByID(&Runner->QZProcStart));
    for (size_t i = 0; i < Copies.size(); i++)
        Tarvex_ScheduleProc_DupProc_SetIsFromInternal(i > 0 ? Copies[i - 1] : NULL, Copies[i], VS_TRUE);
    for (size_t i = 0; i < Copies.size(); i++)
        Tarvex_ScheduleProc_DupProc_SetPrevProcIndexTree(i > 0 ? Copies[i - 1] : NULL, Copies[i]);
    if (!Copies.empty() && Runner->CurrentQZProcIndexTree != NULL &&
        SRV->FindIDKey(Runner->CurrentQZProcIndexTree, SRV->GetIDEx(Copies[0])) == NULL)
        SRV->InsertIDKey(Runner->CurrentQZProcIndexTree, SRV->GetIDEx(Copies[0]), (void *)1);
    return Runner;
}
