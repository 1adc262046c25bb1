// Proc chains: the class's system events (creation, duplication of an
// existing chain, before-free, freed) and the operations that put procs into
// a chain: replacing its procs, listing them and hanging child chains.
//
// A chain holds each proc twice over: as a child in its QZProcBase queue
// (membership, with one GC lock) and in the order QZStart -> QZProcNext. Every
// operation here keeps the two in step: a proc is linked only when it becomes
// a member, is unlinked when it leaves, and a proc that another chain or
// runner holds is refused instead of being pulled out from under it.
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"
#include "trelk_alloc.h"

#include <cstring>


static StructOfQZProcChainBaseLocalBuf *ChainLocalBuf(void *Object)
{
    if (Object == NULL)
        return NULL;
    VS_ULONG Size = 0;
    void *Buf = SRV->GetPrivateBuf(Object, SRV->GetLayer(Object), 0, &Size);
    return Buf != NULL && Size >= sizeof(StructOfQZProcChainBaseLocalBuf) ? (StructOfQZProcChainBaseLocalBuf *)Buf
                                                                          : NULL;
}

static OBJECTATTRIBUTEINDEX ChainProcIndex()
{
    return SRV->GetAttributeIndex(QZProcChainBaseClass, "QZProcBase");
}

// A proc leaves the chain: no longer a member, no longer linked, and the
// chain's lock on it is given up (the host frees it once nothing holds it).
static void ReleaseProc(StructOfQZProcChainBase *Chain, StructOfQZProcBase *QZProc)
{
    if (SRV->GetParent(QZProc) != Chain)
        return; // a link to a proc of somebody else: not ours to let go
    QZProc->QZProcNext = NULL;
    SRV->ChangeParent(QZProc, NULL, VS_INVALID_ATTRIBUTEINDEX);
    SRV->UnLockGC(QZProc);
}

// Lets go of every member proc, whether the order still reaches it or not.
static void ReleaseAllProcs(StructOfQZProcChainBase *Chain)
{
    for (void *X = SRV->QueryFirst(&Chain->QZProcBase); X != NULL; X = SRV->QueryFirst(&Chain->QZProcBase)) {
        if (SRV->GetParent(X) != Chain)
            break;
        ReleaseProc(Chain, (StructOfQZProcBase *)X);
    }
}

// TRUE when Object is Chain itself or one of its ancestors: making Object a
// member of Chain would make it its own ancestor.
static VS_BOOL IsAncestorOrSelf(void *Object, void *Chain)
{
    for (void *X = Chain; X != NULL; X = SRV->GetParent(X))
        if (X == Object)
            return VS_TRUE;
    return VS_FALSE;
}

// A proc already held in the order of a chain or runner other than Chain.
static VS_BOOL HeldElsewhere(void *QZProc, void *Chain)
{
    void *Parent = SRV->GetParent(QZProc);
    if (Parent == NULL || Parent == Chain)
        return VS_FALSE;
    return TrelkChain_IsChain(Parent) || Trelk_IsInstOf(Parent, QZProcRunnerBaseClass);
}

// ---------------------------------------------------------------------------
// Root proc IDs
// ---------------------------------------------------------------------------
void Tarvex_ScheduleProc_DupProc_ResetRootProcID(StructOfQZProcBase *QZProc)
{
    if (QZProc == NULL)
        return;
    memset(&QZProc->RootProcID, 0, sizeof(VS_UUID));
    for (void *X = SRV->QueryFirst(&QZProc->QZProcChild); X != NULL; X = SRV->QueryNext(X))
        if (TrelkChain_IsChain(X))
            Tarvex_ScheduleProc_DupProcChain_ResetRootProcID((StructOfQZProcChainBase *)X);
}

void Tarvex_ScheduleProc_DupProcChain_ResetRootProcID(StructOfQZProcChainBase *QZProcChain)
{
    if (QZProcChain == NULL)
        return;
    StructOfTrelkProcWalk Walk;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, TrelkChain_StartProc(&QZProcChain->QZProcStart), VS_TRUE);
         P != NULL; P = TrelkProcWalk_Next(&Walk))
        Tarvex_ScheduleProc_DupProc_ResetRootProcID(P);
    TrelkProcWalk_End(&Walk);
}

// ---------------------------------------------------------------------------
// Replacing and listing the procs
// ---------------------------------------------------------------------------
// Checks the procs of Items (a package of normalised objects) for Chain;
// FALSE when one is no proc, is given twice, or cannot become a member.
static VS_BOOL ProcsAcceptable(StructOfQZProcChainBase *Chain, VS_PARAPKGPTR Items)
{
    for (VS_INT32 i = 0; i < Items->GetNumber(); i++) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)Items->GetObject(i);
        if (!TrelkChain_IsProc(P))
            return VS_FALSE;
        if (P->IsType)
            continue; // a type gives a new instance each time it is named
        if (HeldElsewhere(P, Chain) || IsAncestorOrSelf(P, Chain))
            return VS_FALSE;
        for (VS_INT32 j = 0; j < i; j++)
            if (Items->GetObject(j) == P)
                return VS_FALSE; // one instance twice would be linked after itself
    }
    return VS_TRUE;
}

// Replaces the chain's procs by Items (already checked). The new procs are
// held before the old ones are let go: a proc may be among both.
static void ReplaceProcs(StructOfQZProcChainBase *Chain, VS_PARAPKGPTR Items)
{
    for (VS_INT32 i = 0; i < Items->GetNumber(); i++) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)Items->GetObject(i);
        if (P != NULL && !P->IsType)
            SRV->LockGC(P);
    }
    ReleaseAllProcs(Chain);
    memset(&Chain->QZProcStart, 0, sizeof(VS_UUID));
    OBJECTATTRIBUTEINDEX Index = ChainProcIndex();
    StructOfQZProcBase *Previous = NULL;
    for (VS_INT32 i = 0; i < Items->GetNumber(); i++) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)Items->GetObject(i);
        if (P == NULL)
            continue;
        if (P->IsType) {
            P = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(P), 0, NULL);
            if (P == NULL)
                continue;
        }
        // Either way P now carries one lock: the chain's hold.
        if (!SRV->ChangeParent(P, Chain, Index)) {
            SRV->UnLockGC(P);
            continue;
        }
        P->QZProcNext = NULL;
        if (Previous == NULL)
            Chain->QZProcStart = SRV->GetID(P);
        else
            Previous->QZProcNext = SRV->ObjectToAtomic(P);
        Previous = P;
    }
}

VS_INT32 i_QZProcChainBase_FromParaPkg(StructOfQZProcChainBase *QZProcChain, VS_PARAPKGPTR ParaPkg)
{
    if (!TrelkChain_IsChain(QZProcChain) || ParaPkg == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_PARAPKGPTR Items = Trelk_GetParaPkgInterface(__LINE__);
    for (VS_INT32 i = 0; i < ParaPkg->GetNumber(); i++)
        Items->InsertObject(i, ParaPkg->GetType(i) == VSTYPE_OBJECT ? Trelk_FromRawObject(ParaPkg->GetObject(i)) : NULL);
    VS_BOOL Ok = ProcsAcceptable(QZProcChain, Items);
    if (Ok)
        ReplaceProcs(QZProcChain, Items);
    Items->Release();
    SRV->LuaPushBool(Ok);
    if (Ok)
        Tarvex_ScheduleProc_DupProcChain_ResetRootProcID(QZProcChain);
    return 1;
}

VS_INT32 i_QZProcChainBase_ToParaPkg(StructOfQZProcChainBase *QZProcChain, VS_PARAPKGPTR ParaPkg)
{
    if (ParaPkg == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    if (TrelkChain_IsChain(QZProcChain)) {
        StructOfTrelkProcWalk Walk;
        for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, TrelkChain_StartProc(&QZProcChain->QZProcStart), VS_FALSE);
             P != NULL; P = TrelkProcWalk_Next(&Walk))
            ParaPkg->InsertObject(ParaPkg->GetNumber(), P);
        TrelkProcWalk_End(&Walk);
    }
    SRV->LuaPushParaPkg(ParaPkg, VS_TRUE);
    return 1;
}

static StructOfQZProcChainBase *SelfArg()
{
    if (SRV->LuaGetTop() < 1 || SRV->LuaType(1) != VSLUATYPE_OBJECT)
        return NULL;
    void *Self = SRV->LuaToObject(1);
    return TrelkChain_IsChain(Self) ? (StructOfQZProcChainBase *)Self : NULL;
}

static void *ObjectArg(VS_INT32 Index)
{
    if (SRV->LuaGetTop() < Index || SRV->LuaType(Index) != VSLUATYPE_OBJECT)
        return NULL;
    return Trelk_FromRawObject(SRV->LuaToObject(Index));
}

VS_INT32 QZProcChainBase_FromParaPkg(void *L)
{
    (void)L;
    VS_PARAPKGPTR Pkg = SRV->LuaGetTop() >= 2 && SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    return i_QZProcChainBase_FromParaPkg(SelfArg(), Pkg);
}

VS_INT32 QZProcChainBase_FromPara(void *L)
{
    (void)L;
    StructOfQZProcChainBase *Self = SelfArg();
    VS_INT32 Top = SRV->LuaGetTop();
    if (Self == NULL || Top < 2) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_PARAPKGPTR Items = Trelk_GetParaPkgInterface(__LINE__);
    for (VS_INT32 i = 2; i <= Top; i++)
        Items->InsertObject(Items->GetNumber(), ObjectArg(i));
    VS_BOOL Ok = ProcsAcceptable(Self, Items);
    if (Ok)
        ReplaceProcs(Self, Items);
    Items->Release();
    SRV->LuaPushBool(Ok);
    if (Ok)
        Tarvex_ScheduleProc_DupProcChain_ResetRootProcID(Self);
    return 1;
}

VS_INT32 QZProcChainBase_ToParaPkg(void *L)
{
    (void)L;
    return i_QZProcChainBase_ToParaPkg(SelfArg(), Trelk_GetParaPkgInterface(__LINE__));
}

// ---------------------------------------------------------------------------
// Child chains
// ---------------------------------------------------------------------------
static VS_BOOL AddChildProcChain(StructOfQZProcChainBase *Self, void *ParentArg, void *Child, void *NextArg)
{
    if (Self == NULL || !TrelkChain_IsProc(ParentArg) || Child == NULL)
        return VS_FALSE;
    StructOfQZProcBase *Parent = (StructOfQZProcBase *)ParentArg;
    VS_BOOL ChildIsProc = TrelkChain_IsProc(Child);
    if (!ChildIsProc && !TrelkChain_IsChain(Child))
        return VS_FALSE;
    if (SRV->GetParent(Parent) != Self)
        return VS_FALSE;
    if (NextArg != NULL && (!TrelkChain_IsProc(NextArg) || SRV->GetParent(NextArg) != Self))
        return VS_FALSE;
    StructOfQZProcBase *Next = (StructOfQZProcBase *)NextArg;

    // A proc or chain that already has its place (a member of some chain, a
    // child chain of some proc) would be pulled out of it with its links
    // left behind.
    if (ChildIsProc && !((StructOfQZProcBase *)Child)->IsType && SRV->GetParent(Child) != NULL)
        return VS_FALSE;
    if (!ChildIsProc) {
        if (SRV->GetParent(Child) != NULL || IsAncestorOrSelf(Child, Parent))
            return VS_FALSE;
        if (TrelkChain_StartProc(&((StructOfQZProcChainBase *)Child)->QZProcStart) == NULL)
            return VS_FALSE;
    }

    StructOfQZProcChainBase *ChildChain;
    if (ChildIsProc) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)Child;
        VS_BOOL NewlyMade = VS_FALSE;
        if (P->IsType) {
            P = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(P), 0, NULL);
            NewlyMade = VS_TRUE;
        }
        ChildChain = P != NULL ? (StructOfQZProcChainBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcChainBaseClass), 0, NULL)
                               : NULL;
        if (ChildChain == NULL || !SRV->ChangeParent(P, ChildChain, ChainProcIndex())) {
            if (ChildChain != NULL)
                SRV->FreeObject(ChildChain);
            if (NewlyMade && P != NULL)
                SRV->FreeObject(P);
            return VS_FALSE;
        }
        if (!NewlyMade)
            SRV->LockGC(P);
        P->QZProcNext = NULL;
        ChildChain->QZProcStart = SRV->GetID(P);
        if (!SRV->ChangeParent(ChildChain, Parent, SRV->GetAttributeIndex(QZProcBaseClass, "QZProcChild"))) {
            SRV->FreeObject(ChildChain); // its before-free lets the proc go again
            return VS_FALSE;
        }
    } else {
        ChildChain = (StructOfQZProcChainBase *)Child;
        if (!SRV->ChangeParent(ChildChain, Parent, SRV->GetAttributeIndex(QZProcBaseClass, "QZProcChild")))
            return VS_FALSE;
        SRV->LockGC(ChildChain);
    }
    // The end of the child chain: its last proc, without running on past an
    // end it may have had before.
    StructOfTrelkProcWalk Walk;
    StructOfQZProcBase *Last = NULL;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, TrelkChain_StartProc(&ChildChain->QZProcStart), VS_TRUE);
         P != NULL; P = TrelkProcWalk_Next(&Walk))
        Last = P;
    TrelkProcWalk_End(&Walk);
    if (Last != NULL) {
        Last->ChildEndMarker = VS_TRUE;
        Last->QZProcNext = Next != NULL ? SRV->ObjectToAtomic(Next) : NULL;
    }
    return VS_TRUE;
}

VS_INT32 QZProcChainBase_AddChildProcChain(void *L)
{
    (void)L;
    SRV->LuaPushBool(AddChildProcChain(SelfArg(), ObjectArg(2), ObjectArg(3), ObjectArg(4)));
    return 1;
}

// ---------------------------------------------------------------------------
// Duplication
// ---------------------------------------------------------------------------
StructOfQZProcChainBase *i_QZProcChainBase_Dup(StructOfQZProcChainBase *QZProcChain)
{
    if (!TrelkChain_IsChain(QZProcChain))
        return NULL;
    return (StructOfQZProcChainBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcChain), 0, NULL);
}

// Builds a duplicate of Source in Chain from copies of Source's procs.
static void BuildDuplicate(StructOfQZProcChainBase *Chain, StructOfQZProcChainBase *Source)
{
    SRV->LockGC(Source);
    Chain->IsBuildDynamic = Source->IsBuildDynamic;
    SRV->SetVString(&Chain->Signature, "");
    VS_UUID RunnerID;
    memset(&RunnerID, 0, sizeof(RunnerID));

    // The source's procs in order, taken once: the passes below must see the
    // same procs even if a copy's creation runs script code.
    VS_PARAPKGPTR Procs = Trelk_GetParaPkgInterface(__LINE__);
    StructOfTrelkProcWalk Walk;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, TrelkChain_StartProc(&Source->QZProcStart), VS_TRUE);
         P != NULL; P = TrelkProcWalk_Next(&Walk))
        Procs->InsertObject(Procs->GetNumber(), P);
    TrelkProcWalk_End(&Walk);

    for (VS_INT32 i = 0; i < Procs->GetNumber(); i++) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)Procs->GetObject(i);
        if (P != NULL)
            Tarvex_ScheduleProc_DupProc_Step1(&RunnerID, P);
    }
    OBJECTATTRIBUTEINDEX Index = ChainProcIndex();
    StructOfQZProcBase *Previous = NULL;
    for (VS_INT32 i = 0; i < Procs->GetNumber(); i++) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)Procs->GetObject(i);
        StructOfQZProcBase *Copy = P != NULL ? Tarvex_ScheduleProc_DupProc_Step3(&RunnerID, P) : NULL;
        if (Copy == NULL)
            continue;
        // The copy keeps the lock it was made with: that is the chain's hold.
        if (!SRV->ChangeParent(Copy, Chain, Index)) {
            SRV->FreeObject(Copy);
            continue;
        }
        if (Previous == NULL)
            Chain->QZProcStart = SRV->GetID(Copy);
        else
            Previous->QZProcNext = SRV->ObjectToAtomic(Copy);
        Previous = Copy;
    }
    for (VS_INT32 i = 0; i < Procs->GetNumber(); i++) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)Procs->GetObject(i);
        if (P != NULL)
            Tarvex_ScheduleProc_DupProc_Step4(&RunnerID, P);
    }
    Procs->Release();
}

// ---------------------------------------------------------------------------
// System events
// ---------------------------------------------------------------------------
static void OnCreated(StructOfQZProcChainBase *Chain)
{
    VS_ULONG Layer = SRV->GetLayer(Chain);
    VS_ULONG Size = 0;
    void *Buf = SRV->GetPrivateBuf(Chain, Layer, 0, &Size);
    if (Buf == NULL || Size < sizeof(StructOfQZProcChainBaseLocalBuf)) {
        Buf = SRV->MallocPrivateBuf(Chain, Layer, 0, sizeof(StructOfQZProcChainBaseLocalBuf));
        if (Buf != NULL)
            memset(Buf, 0, sizeof(StructOfQZProcChainBaseLocalBuf));
    }
    void *Class = SRV->GetClass(Chain);
    if (TrelkChain_IsChain(Class))
        BuildDuplicate(Chain, (StructOfQZProcChainBase *)Class);
}

// ---------------------------------------------------------------------------
// Free callbacks
// ---------------------------------------------------------------------------
// The walk at a chain's free goes up to the chain class object and ends at
// the first object that is neither.
static VS_BOOL LookFreeCallbacks(void *X, TrelkChainMarkMemo **Memo, VS_BOOL *Marked)
{
    if (X != QZProcChainBaseClass && !TrelkChain_IsChain(X))
        return VS_FALSE;
    StructOfQZProcChainBaseLocalBuf *LocalBuf = ChainLocalBuf(X);
    if (LocalBuf != NULL)
        Trelk_ChainMarkLookList(&LocalBuf->FreeCallbackMemo, LocalBuf->CallBackObjectPkg, Memo, Marked);
    return VS_TRUE;
}

static TrelkChainMarkKind FreeCallbackMark = {LookFreeCallbacks, {0}};

void TrelkChain_AddFreeCallback(StructOfQZProcChainBaseLocalBuf *LocalBuf, void *Target)
{
    if (LocalBuf != NULL)
        Trelk_ChainMarkAddCallback(&FreeCallbackMark, &LocalBuf->CallBackObjectPkg, Target);
}

static void OnBeforeFree(StructOfQZProcChainBase *Chain)
{
    // 1. Objects registered for the end of chains, on the chain and up its
    // class chain. Only the chains with targets are visited: the others are
    // passed over through their memos, or a chain of N chains each made from
    // the one before would cost N squared to free. Walked on a copy: a
    // callback may unregister.
    // A callback may free the chain the walk is at (the one this chain was
    // made from): the walk goes on from the next class, found again by ID.
    for (void *X = Trelk_ChainMarkNearest(&FreeCallbackMark, Chain), *Next = NULL; X != NULL;
         X = Trelk_ChainMarkNearest(&FreeCallbackMark, Next)) {
        Next = SRV->GetClass(X);
        VS_UUID NextID = Next != NULL ? *SRV->GetIDEx(Next) : VS_UUID{};
        StructOfQZProcChainBaseLocalBuf *LocalBuf = ChainLocalBuf(X);
        if (LocalBuf == NULL || LocalBuf->CallBackObjectPkg == NULL || LocalBuf->CallBackObjectPkg->GetNumber() == 0)
            continue;
        VS_PARAPKGPTR Targets = LocalBuf->CallBackObjectPkg->Dup();
        if (Targets == NULL)
            continue;
        // The callbacks are scripts, which may free a class of the walk or
        // the targets themselves: both are named by ID afterwards.
        uint64_t Serial = Trelk_ScriptSerial();
        for (VS_INT32 i = 0; i < Targets->GetNumber(); i++) {
            void *Target = Targets->GetObject(i);
            if (Target == NULL)
                continue;
            SRV->GetLastError();
            SRV->LuaPushObject(Chain);
            if (QZRealmBase_ExecNameScript(Target, "OnFreeCallback", 1, 0))
                QZProcChain_IsExecNameScriptError(Targets->GetObject(i), "calls the function OnFreeCallback failed");
        }
        Targets->Release();
        if (Next != NULL && Serial != Trelk_ScriptSerial())
            Next = SRV->GetObject(&NextID);
    }
    // 2. The procs, in order, then whatever member the order no longer reaches.
    // The order is noted by ID first: letting go of a proc can free it, and
    // its events run scripts that may free the chain's other procs.
    VS_UUID ChainID = *SRV->GetIDEx(Chain);
    TrelkVector<VS_UUID> Order;
    StructOfTrelkProcWalk Walk;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, TrelkChain_StartProc(&Chain->QZProcStart), VS_TRUE);
         P != NULL; P = TrelkProcWalk_Next(&Walk))
        Order.push_back(*SRV->GetIDEx(P));
    TrelkProcWalk_End(&Walk);
    for (VS_UUID &ID : Order) {
        if (SRV->GetObject(&ChainID) != Chain)
            return;
        void *P = SRV->GetObject(&ID);
        if (TrelkChain_IsProc(P))
            ReleaseProc(Chain, (StructOfQZProcBase *)P);
    }
    if (SRV->GetObject(&ChainID) == Chain)
        ReleaseAllProcs(Chain);
}

static void OnFreed(StructOfQZProcChainBase *Chain)
{
    StructOfQZProcChainBaseLocalBuf *LocalBuf = ChainLocalBuf(Chain);
    if (LocalBuf != NULL && LocalBuf->CallBackObjectPkg != NULL) {
        LocalBuf->CallBackObjectPkg->Release();
        LocalBuf->CallBackObjectPkg = NULL;
    }
    if (Chain != QZProcChainBaseClass) {
        void *Class = SRV->GetClass(Chain);
        // The lock this copy held on the chain it was made from.
        if (Class != NULL && Class != QZProcChainBaseClass)
            SRV->UnLockGC(Class);
    }
    SRV->FreePrivate(Chain, SRV->GetLayer(Chain), 0);
}

VS_INT32 QZProcChainBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL)
        return 0;
    StructOfQZProcChainBase *Chain = (StructOfQZProcChainBase *)((StructOfVSSysEventPara *)EventPara)->Object;
    if (Chain == NULL)
        return 0;
    switch (SRV->GetSysEventID(EventPara)) {
    case VSEVENT_SYSTEMEVENT_ONCREATE:
        OnCreated(Chain);
        break;
    case VSEVENT_SYSTEMEVENT_ONBEFOREFREE:
        if (Chain != QZProcChainBaseClass)
            OnBeforeFree(Chain);
        break;
    case VSEVENT_SYSTEMEVENT_ONDESTROY:
        OnFreed(Chain);
        break;
    default:
        break;
    }
    return 0;
}
