// Copies of a proc chain for a runner, with every child chain nested in its
// procs, and the walks that mark the copies (inputs fed from inside, the procs
// before each proc), prepare them for freeing and clear private buffers.
//
// Every routine comes twice: one for a proc (the proc, then each chain of its
// QZProcChild queue) and one for a child chain (each proc of the chain's
// walk); the two call each other.
#include "trelk_scheduler_api.h"
#include "trelk_helpers.h"

#include <cstring>

// Child chains nest inside procs; a chain that (through a script's writes)
// contains itself would otherwise never end the walk.
#define DUPPROC_MAXDEPTH 256
#define DUPPROC_MAXWALK 65536

static VS_BOOL IsProc(void *Object)
{
    return Object != NULL && QZProcBaseClass != NULL &&
                   (Object == QZProcBaseClass || SRV->IsInst(SRV->GetIDEx(QZProcBaseClass), Object))
               ? VS_TRUE
               : VS_FALSE;
}

static StructOfQZProcBase *NextProc(StructOfQZProcBase *Proc)
{
    if (Proc->QZProcNext == NULL)
        return NULL;
    void *Next = SRV->AtomicToObject(Proc->QZProcNext);
    return IsProc(Next) ? (StructOfQZProcBase *)Next : NULL;
}

static StructOfQZProcBase *FirstProc(StructOfQZProcChainBase *Chain)
{
    void *First = SRV->GetObject(&Chain->QZProcStart);
    return IsProc(First) ? (StructOfQZProcBase *)First : NULL;
}

// Calls Visit on each proc of a child chain's walk: from QZProcStart along
// QZProcNext, ending after the end-marked proc. Returns the last proc visited.
template <typename Fn> static StructOfQZProcBase *WalkChain(StructOfQZProcChainBase *Chain, Fn Visit)
{
    StructOfQZProcBase *Last = NULL;
    VS_INT32 Steps = 0;
    for (StructOfQZProcBase *Proc = FirstProc(Chain); Proc != NULL && Steps < DUPPROC_MAXWALK;
         Proc = NextProc(Proc), Steps++) {
        Visit(Proc);
        Last = Proc;
        if (Proc->ChildEndMarker)
            break;
    }
    return Last;
}

template <typename Fn> static void ForEachChild(StructOfQZProcBase *Proc, Fn Visit)
{
    for (void *Chain = SRV->QueryFirst(&Proc->QZProcChild); Chain != NULL; Chain = SRV->QueryNext(Chain))
        Visit((StructOfQZProcChainBase *)Chain);
}

VS_INT32 Tarvex_ScheduleProc_GetItemNumber(void *QueueHead)
{
    if (QueueHead == NULL)
        return 0;
    VS_INT32 Count = 0;
    for (void *Item = SRV->QueryFirst(QueueHead); Item != NULL; Item = SRV->QueryNext(Item))
        Count++;
    return Count;
}

// ---------------------------------------------------------------------------
// Step 1: the copies
// ---------------------------------------------------------------------------
static void Step1(VS_UUID *RunnerID, StructOfQZProcBase *Proc, VS_INT32 Depth);

static void ChainStep1(VS_UUID *RunnerID, StructOfQZProcChainBase *Chain, VS_INT32 Depth)
{
    WalkChain(Chain, [&](StructOfQZProcBase *Proc) { Step1(RunnerID, Proc, Depth + 1); });
}

static void Step1(VS_UUID *RunnerID, StructOfQZProcBase *Proc, VS_INT32 Depth)
{
    if (Proc == NULL || Depth > DUPPROC_MAXDEPTH)
        return;
    StructOfQZProcBase *Copy = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(Proc), 0, NULL);
    if (Copy != NULL) {
        static const VS_UUID Zero = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
        Copy->RunnerID = RunnerID != NULL ? *RunnerID : Zero;
        if (RunnerID == NULL || Trelk_IsZeroID(RunnerID))
            Copy->RootProcID = Zero;
        else if (!Trelk_IsZeroID(&Proc->RootProcID))
            Copy->RootProcID = Proc->RootProcID;
        else
            Copy->RootProcID = SRV->GetID(Proc);
    }
    ForEachChild(Proc, [&](StructOfQZProcChainBase *Chain) { ChainStep1(RunnerID, Chain, Depth + 1); });
    Proc->DupQZProc = Copy;
}

void Tarvex_ScheduleProc_DupProc_Step1(VS_UUID *RunnerID, StructOfQZProcBase *QZProc)
{
    Step1(RunnerID, QZProc, 0);
}

void Tarvex_ScheduleProc_DupProcChain_Step1(VS_UUID *RunnerID, StructOfQZProcChainBase *QZProcChain)
{
    if (QZProcChain != NULL)
        ChainStep1(RunnerID, QZProcChain, 0);
}

// ---------------------------------------------------------------------------
// Step 3: linking the copies
// ---------------------------------------------------------------------------
static StructOfQZProcBase *Step3(VS_UUID *RunnerID, StructOfQZProcBase *Proc, VS_INT32 Depth);

static StructOfQZProcChainBase *ChainStep3(VS_UUID *RunnerID, StructOfQZProcChainBase *Chain, VS_INT32 Depth)
{
    StructOfQZProcChainBase *NewChain =
        (StructOfQZProcChainBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcChainBaseClass), 0, NULL);
    if (NewChain == NULL)
        return NULL;
    OBJECTATTRIBUTEINDEX ProcQueue = Trelk_ClassAttrIndex(QZProcChainBaseClass, "QZProcBase");
    StructOfQZProcBase *PrevCopy = NULL;
    StructOfQZProcBase *Last = WalkChain(Chain, [&](StructOfQZProcBase *Proc) {
        StructOfQZProcBase *Copy = Step3(RunnerID, Proc, Depth + 1);
        if (Copy == NULL)
            return;
        if (PrevCopy == NULL)
            NewChain->QZProcStart = SRV->GetID(Copy);
        else
            PrevCopy->QZProcNext = SRV->ObjectToAtomic(Copy);
        SRV->ChangeParent(Copy, NewChain, ProcQueue);
        PrevCopy = Copy;
    });
    // The copied child chain goes on into the copy of the proc where the
    // original one goes on.
    if (Last != NULL && Last->ChildEndMarker && PrevCopy != NULL) {
        StructOfQZProcBase *Rejoin = NextProc(Last);
        if (Rejoin != NULL && Rejoin->DupQZProc != NULL)
            PrevCopy->QZProcNext = SRV->ObjectToAtomic(Rejoin->DupQZProc);
    }
    return NewChain;
}

static StructOfQZProcBase *Step3(VS_UUID *RunnerID, StructOfQZProcBase *Proc, VS_INT32 Depth)
{
    if (Proc == NULL || Depth > DUPPROC_MAXDEPTH)
        return NULL;
    StructOfQZProcBase *Copy = Proc->DupQZProc;
    if (Copy == NULL)
        return NULL;
    OBJECTATTRIBUTEINDEX ChildQueue = Trelk_ClassAttrIndex(QZProcBaseClass, "QZProcChild");
    ForEachChild(Proc, [&](StructOfQZProcChainBase *Chain) {
        StructOfQZProcChainBase *NewChain = ChainStep3(RunnerID, Chain, Depth + 1);
        if (NewChain != NULL)
            SRV->ChangeParent(NewChain, Copy, ChildQueue);
    });
    return Copy;
}

StructOfQZProcBase *Tarvex_ScheduleProc_DupProc_Step3(VS_UUID *RunnerID, StructOfQZProcBase *QZProc)
{
    return Step3(RunnerID, QZProc, 0);
}

StructOfQZProcChainBase *Tarvex_ScheduleProc_DupProcChain_Step3(VS_UUID *RunnerID,
                                                                StructOfQZProcChainBase *QZProcChain)
{
    return QZProcChain != NULL ? ChainStep3(RunnerID, QZProcChain, 0) : NULL;
}

// ---------------------------------------------------------------------------
// Walks over a whole tree: step 4, status for free, private buffers
// ---------------------------------------------------------------------------
template <typename Fn> static void ForTree(StructOfQZProcBase *Proc, Fn Visit, VS_INT32 Depth)
{
    if (Proc == NULL || Depth > DUPPROC_MAXDEPTH)
        return;
    Visit(Proc);
    ForEachChild(Proc, [&](StructOfQZProcChainBase *Chain) {
        WalkChain(Chain, [&](StructOfQZProcBase *Member) { ForTree(Member, Visit, Depth + 1); });
    });
}

template <typename Fn> static void ForChainTree(StructOfQZProcChainBase *Chain, Fn Visit)
{
    if (Chain == NULL)
        return;
    WalkChain(Chain, [&](StructOfQZProcBase *Member) { ForTree(Member, Visit, 1); });
}

static void ClearDup(StructOfQZProcBase *Proc)
{
    Proc->DupQZProc = NULL;
}

static void MarkForFree(StructOfQZProcBase *Proc)
{
    if (Proc->Status != 0)
        Proc->Status = -1;
}

static void ClearPrivateBuf(StructOfQZProcBase *Proc)
{
    if (Proc->PrivateLocalBuf != NULL)
        Proc->PrivateLocalBuf->Clear();
}

void Tarvex_ScheduleProc_DupProc_Step4(VS_UUID *RunnerID, StructOfQZProcBase *QZProc)
{
    (void)RunnerID;
    ForTree(QZProc, ClearDup, 0);
}

void Tarvex_ScheduleProc_DupProcChain_Step4(VS_UUID *RunnerID, StructOfQZProcChainBase *QZProcChain)
{
    (void)RunnerID;
    ForChainTree(QZProcChain, ClearDup);
}

void Tarvex_ScheduleProc_DupProc_SetStatusForFree(StructOfQZProcBase *QZProc)
{
    ForTree(QZProc, MarkForFree, 0);
}

void Tarvex_ScheduleProc_DupProcChain_SetStatusForFree(StructOfQZProcChainBase *QZProcChain)
{
    ForChainTree(QZProcChain, MarkForFree);
}

void Tarvex_ScheduleProc_Proc_ClearPrivateBuf(StructOfQZProcBase *QZProc)
{
    ForTree(QZProc, ClearPrivateBuf, 0);
}

void Tarvex_ScheduleProc_ProcChain_ClearPrivateBuf(StructOfQZProcChainBase *QZProcChain)
{
    ForChainTree(QZProcChain, ClearPrivateBuf);
}

// ---------------------------------------------------------------------------
// Inputs fed from inside, and the procs before each proc
// ---------------------------------------------------------------------------
static VS_BOOL OutputFeedsInput(StructOfQZProcBase *Previous, StructOfQZDataInputContainer *Input)
{
    for (void *Item = SRV->QueryFirst(&Previous->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Item;
        if (memcmp(&Output->DataBaseID, &Input->DataBaseID, sizeof(VS_UUID)) == 0)
            return VS_TRUE;
        void *OutputClass = SRV->GetObject(&Output->DataBaseID);
        if (OutputClass != NULL && SRV->IsInst(&Input->DataBaseID, OutputClass))
            return VS_TRUE;
    }
    return VS_FALSE;
}

static void SetIsFromInternal(StructOfQZProcBase *Previous, StructOfQZProcBase *Proc, VS_BOOL ProcessChild,
                              VS_INT32 Depth);

static void ChainSetIsFromInternal(StructOfQZProcBase *Previous, StructOfQZProcChainBase *Chain, VS_INT32 Depth)
{
    StructOfQZProcBase *Before = Previous;
    StructOfQZProcBase *Last = WalkChain(Chain, [&](StructOfQZProcBase *Proc) {
        SetIsFromInternal(Before, Proc, VS_TRUE, Depth + 1);
        Before = Proc;
    });
    if (Last != NULL && Last->ChildEndMarker) {
        StructOfQZProcBase *Rejoin = NextProc(Last);
        if (Rejoin != NULL)
            SetIsFromInternal(Last, Rejoin, VS_FALSE, Depth + 1);
    }
}

static void SetIsFromInternal(StructOfQZProcBase *Previous, StructOfQZProcBase *Proc, VS_BOOL ProcessChild,
                              VS_INT32 Depth)
{
    if (Proc == NULL || Depth > DUPPROC_MAXDEPTH)
        return;
    if (Previous != NULL) {
        for (void *Item = SRV->QueryFirst(&Proc->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)Item;
            if (OutputFeedsInput(Previous, Input))
                Input->IsFromInternal = VS_TRUE;
        }
    }
    if (ProcessChild)
        ForEachChild(Proc, [&](StructOfQZProcChainBase *Chain) { ChainSetIsFromInternal(Proc, Chain, Depth + 1); });
}

void Tarvex_ScheduleProc_DupProc_SetIsFromInternal(StructOfQZProcBase *PreviousQZProc, StructOfQZProcBase *QZProc,
                                                   VS_BOOL ProcessChild)
{
    SetIsFromInternal(PreviousQZProc, QZProc, ProcessChild, 0);
}

void Tarvex_ScheduleProc_DupProcChain_SetIsFromInternal(StructOfQZProcBase *PreviousQZProc,
                                                        StructOfQZProcChainBase *QZProcChain)
{
    if (QZProcChain != NULL)
        ChainSetIsFromInternal(PreviousQZProc, QZProcChain, 0);
}

static void RecordPrevious(StructOfQZProcBase *Previous, StructOfQZProcBase *Proc)
{
    if (Previous == NULL || Proc->QZProcIndexTree == NULL)
        return;
    VS_UUID *PreviousID = SRV->GetIDEx(Previous);
    if (SRV->FindIDKey(Proc->QZProcIndexTree, PreviousID) == NULL)
        SRV->InsertIDKey(Proc->QZProcIndexTree, PreviousID, Previous);
}

static void SetPrevProcIndexTree(StructOfQZProcBase *Previous, StructOfQZProcBase *Proc, VS_INT32 Depth);

static void ChainSetPrevProcIndexTree(StructOfQZProcBase *Previous, StructOfQZProcChainBase *Chain, VS_INT32 Depth)
{
    StructOfQZProcBase *Before = Previous;
    StructOfQZProcBase *Last = WalkChain(Chain, [&](StructOfQZProcBase *Proc) {
        SetPrevProcIndexTree(Before, Proc, Depth + 1);
        Before = Proc;
    });
    if (Last != NULL && Last->ChildEndMarker) {
        StructOfQZProcBase *Rejoin = NextProc(Last);
        if (Rejoin != NULL)
            RecordPrevious(Last, Rejoin);
    }
}

static void SetPrevProcIndexTree(StructOfQZProcBase *Previous, StructOfQZProcBase *Proc, VS_INT32 Depth)
{
    if (Proc == NULL || Depth > DUPPROC_MAXDEPTH)
        return;
    RecordPrevious(Previous, Proc);
    ForEachChild(Proc, [&](StructOfQZProcChainBase *Chain) { ChainSetPrevProcIndexTree(Proc, Chain, Depth + 1); });
}

void Tarvex_ScheduleProc_DupProc_SetPrevProcIndexTree(StructOfQZProcBase *PreviousQZProc, StructOfQZProcBase *QZProc)
{
    SetPrevProcIndexTree(PreviousQZProc, QZProc, 0);
}

void Tarvex_ScheduleProc_DupProcChain_SetPrevProcIndexTree(StructOfQZProcBase *PreviousQZProc,
                                                           StructOfQZProcChainBase *QZProcChain)
{
    if (QZProcChain != NULL)
        ChainSetPrevProcIndexTree(PreviousQZProc, QZProcChain, 0);
}
