// QZProcBase record life cycle: the system-event handler that gives a new
// proc its private buffer and its own copies of its type's inputs and
// outputs, the teardown before and after the free, the guard on IsType, the
// disconnection of a proc from a data object and the base "Execute".
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"

StructOfQZProcBaseLocalBuf *QZProcBase_GetProcLocalBuf(void *QZProc)
{
    if (QZProc == NULL)
        return NULL;
    return (StructOfQZProcBaseLocalBuf *)SRV->GetPrivateBuf(QZProc, SRV->GetLayer(QZProc), 0, NULL);
}

static VS_BOOL IsOneOf3(void *Object)
{
    return TrelkProc_IsProcClassObject(Object);
}

static VS_BOOL IsProcBaseClassObject(void *Object)
{
    return TrelkProc_IsProcBaseClassObject(Object);
}

static void RegisterGuard(void *Object)
{
    SRV->RegBeforeChangeCallBack(Object, Tarvex_QZProc_ObjectBeforeChangeNotify, 0, 0);
}

VS_BOOL Tarvex_QZProc_ObjectBeforeChangeNotify(void *Object, VS_UWORD Para, OBJECTATTRIBUTEINDEX AttributeIndex,
                                               VS_INT8 *NewValue, VS_INT32 DebugEditFlag)
{
    (void)Object;
    (void)Para;
    (void)NewValue;
    (void)DebugEditFlag;
    VS_ATTRIBUTEINFO Info;
    if (QZProcBaseClass == NULL || !SRV->GetAttributeInfoEx(QZProcBaseClass, "IsType", &Info))
        return VS_TRUE;
    return AttributeIndex == Info.AttributeIndex ? VS_FALSE : VS_TRUE;
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------
static void CopyInputs(StructOfQZProcBase *Inst, StructOfQZProcBase *Class)
{
    OBJECTATTRIBUTEINDEX QueueIndex = TrelkProc_ProcAttrIndex("InputQueue");
    for (void *Item = SRV->QueryFirst(&Class->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataInputContainer *From = (StructOfQZDataInputContainer *)Item;
        StructOfQZDataInputContainer *To = (StructOfQZDataInputContainer *)SRV->MallocObjectL(
            SRV->GetIDEx(QZDataInputContainerClass), 0, NULL);
        if (To == NULL)
            continue;
        To->Index = From->Index;
        To->DataBaseID = From->DataBaseID;
        To->RequestNumber = From->RequestNumber;
        To->IsOnlyDirect = From->IsOnlyDirect;
        To->IsSlave = From->IsSlave;
        To->IsMustExist = From->IsMustExist;
        TrelkProc_CopyInputObject(To, From);
        To->QZProcID = From->QZProcID;
        To->IsFromInternal = VS_FALSE;
        To->DataLocalBuf = From->DataLocalBuf != NULL ? From->DataLocalBuf->Dup() : NULL;
        SRV->ChangeParent(To, Inst, QueueIndex);
    }
}

static void CopyOutputs(StructOfQZProcBase *Inst, StructOfQZProcBase *Class)
{
    OBJECTATTRIBUTEINDEX QueueIndex = TrelkProc_ProcAttrIndex("OutputQueue");
    for (void *Item = SRV->QueryFirst(&Class->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataOutputContainer *From = (StructOfQZDataOutputContainer *)Item;
        StructOfQZDataOutputContainer *To = (StructOfQZDataOutputContainer *)SRV->MallocObjectL(
            SRV->GetIDEx(QZDataOutputContainerClass), 0, NULL);
        if (To == NULL)
            continue;
        To->DataBaseID = From->DataBaseID;
        To->OriginalDataBaseID = From->OriginalDataBaseID;
        To->IsMustExist = From->IsMustExist;
        To->ReturnNumber = From->ReturnNumber;
        To->ChangeFlag = VS_FALSE;
        SRV->ChangeParent(To, Inst, QueueIndex);
    }
}

void Tarvex_QZProc_OnCreate(StructOfQZProcBase *Inst, StructOfQZProcBase *Class)
{
    if (Inst == NULL)
        return;
    StructOfQZProcBaseLocalBuf *LocalBuf = (StructOfQZProcBaseLocalBuf *)SRV->MallocPrivateBuf(
        Inst, SRV->GetLayer(Inst), 0, sizeof(StructOfQZProcBaseLocalBuf));
    if (LocalBuf != NULL)
        vs_memset(LocalBuf, 0, sizeof(StructOfQZProcBaseLocalBuf));
    // The class objects themselves are no procs of anybody's: their record is
    // the template's, their buffer the class-level one. Its callback list
    // exists from the start, like every class's, so that objects registered
    // on a class object are heard at every proc's end.
    if (IsOneOf3(Inst) || Class == NULL) {
        if (LocalBuf != NULL)
            LocalBuf->CallBackObjectPkg = Trelk_GetParaPkgInterface(__LINE__);
        return;
    }

    Inst->IsSuspend = VS_FALSE;
    Inst->ErrorCount = 0;
    Inst->DupQZProc = NULL;
    vs_memset(&Inst->RunnerID, 0, sizeof(VS_UUID));
    Inst->NextRunTick = 0;
    Inst->Status = 0;
    Inst->ScheduleCase = 0;
    Inst->EnvDataSkipCount = 0;
    Inst->LoopCount = 0;
    Inst->LoopCountTotal = 0;

    Inst->QZProcIndexTree = SRV->CreateIDIndex_Nor(0);
    MemoryDebug_InsertObjectRecord(Inst->QZProcIndexTree, __LINE__);
    Inst->PrivateLocalBuf = Trelk_GetParaPkgInterface(__LINE__);
    SRV->SetVString(&Inst->Signature, "");

    VS_BOOL ClassIsProcBase = Class == QZProcBaseClass ? VS_TRUE : VS_FALSE;
    VS_BOOL ClassIsOneOf3 = IsOneOf3(Class);
    if (ClassIsProcBase) {
        Inst->IsType = VS_TRUE;
    } else {
        Inst->IsType = VS_FALSE;
        // A type stays alive while procs made from it exist.
        if (!ClassIsOneOf3)
            SRV->LockGC(Class);
    }
    Inst->IsAsync = ClassIsOneOf3 ? VS_FALSE : Class->IsAsync;
    if (!ClassIsOneOf3 && Class->IsType)
        LastNewTypeTickCount = vs_tm_gettickcount64();
    if (Inst->IsType)
        SRV->InsertIDKey(GlobalProcTypeIndexTree, SRV->GetIDEx(Inst), (void *)1);

    if (QZProcRemoteBaseClass != NULL && QZCellBaseClass != NULL) {
        VS_BOOL IsRemote = Trelk_IsInstOf(Inst, QZProcRemoteBaseClass);
        VS_BOOL IsCell = Trelk_IsInstOf(Inst, QZCellBaseClass);
        if (IsRemote && (Class == QZProcRemoteBaseClass || ClassIsProcBase)) {
            RegisterGuard(Inst);
            return;
        }
        if (IsCell && (Class == QZCellBaseClass || ClassIsProcBase)) {
            RegisterGuard(Inst);
            return;
        }
        if (!IsRemote && !IsCell && ClassIsProcBase)
            return;
    } else if (ClassIsProcBase) {
        return;
    }

    CopyInputs(Inst, Class);
    CopyOutputs(Inst, Class);
    Inst->ChildEndMarker = Class->ChildEndMarker;
    Inst->RootProcID = Class->RootProcID;

    if (Trelk_IsInstOf(Class, QZProcRemoteBaseClass)) {
        RegisterGuard(Inst);
        return;
    }
    // A cell made from a cell type also gets its own copies of the type's
    // chains; that belongs to the cell's own creation.
    if (Trelk_IsInstOf(Class, QZCellBaseClass))
        RegisterGuard(Inst);
}

// ---------------------------------------------------------------------------
// Before free
// ---------------------------------------------------------------------------
static VS_BOOL LookFreeCallbacks(void *X, TrelkChainMarkMemo **Memo, VS_BOOL *Marked)
{
    if (!TrelkProc_IsProcObject(X))
        return VS_FALSE;
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(X);
    if (LocalBuf != NULL)
        Trelk_ChainMarkLookList(&LocalBuf->FreeCallbackMemo, LocalBuf->CallBackObjectPkg, Memo, Marked);
    return VS_TRUE;
}

TrelkChainMarkKind TrelkProc_FreeCallbackMark = {LookFreeCallbacks, {0}};

void QZProcBase_AddFreeCallback_Internal(StructOfQZProcBaseLocalBuf *LocalBuf, void *Target)
{
    if (LocalBuf != NULL)
        Trelk_ChainMarkAddCallback(&TrelkProc_FreeCallbackMark, &LocalBuf->CallBackObjectPkg, Target);
}

// The proc and every class up its chain with targets, in chain order. The
// walk passes over the classes without targets through their memos: a chain
// of N procs each made from the one before would otherwise cost N squared to
// free.
static void CallFreeCallbacks(StructOfQZProcBase *Proc)
{
    for (void *X = Trelk_ChainMarkNearest(&TrelkProc_FreeCallbackMark, Proc); X != NULL;
         X = Trelk_ChainMarkNearest(&TrelkProc_FreeCallbackMark, SRV->GetClass(X))) {
        StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(X);
        if (LocalBuf == NULL || LocalBuf->CallBackObjectPkg == NULL || LocalBuf->CallBackObjectPkg->GetNumber() == 0)
            continue;
        // A callback may unregister itself or others: the list is walked on a
        // copy.
        VS_PARAPKGPTR Targets = LocalBuf->CallBackObjectPkg->Dup();
        if (Targets == NULL)
            continue;
        VS_UUID XID = SRV->GetID(X);
        for (VS_INT32 i = 0; i < Targets->GetNumber(); i++) {
            void *Target = Targets->GetType(i) == VSTYPE_OBJECT ? Targets->GetObject(i) : NULL;
            if (Target == NULL)
                continue;
            SRV->GetLastError();
            SRV->LuaPushObject(Proc);
            if (Trelk_ExecNameScript(Target, "OnFreeCallback", 1, 0))
                QZProcChain_IsExecNameScriptError(Target, "calls the function OnFreeCallback failed");
        }
        Targets->Release();
        // A class freed by a callback takes what was above it along.
        if (X != (void *)Proc && SRV->GetObject(&XID) != X)
            break;
    }
}

// Releases what the worker and the asynchronous run left in the buffer. The
// fields are cleared so that the freed step, which releases them too, finds
// nothing the second time.
static void ReleaseRunPackages(StructOfQZProcBaseLocalBuf *LocalBuf)
{
    if (LocalBuf == NULL)
        return;
    if (LocalBuf->RunProcResult != NULL) {
        LocalBuf->RunProcResult->Release();
        LocalBuf->RunProcResult = NULL;
    }
    if (LocalBuf->BlockThreadSourceData != NULL) {
        LocalBuf->BlockThreadSourceData->Release();
        LocalBuf->BlockThreadSourceData = NULL;
    }
}

static void *FindRealmAbove(void *Object)
{
    for (void *X = Object; X != NULL; X = SRV->GetParent(X))
        if (Trelk_IsInstOf(X, QZRealmBaseClass))
            return X;
    return NULL;
}

void Tarvex_QZProc_OnDestory(StructOfQZProcBase *Proc)
{
    if (Proc == NULL)
        return;
    if (!IsOneOf3(Proc))
        CallFreeCallbacks(Proc);

    VS_UUID ProcID = SRV->GetID(Proc);
    Tarvex_Schedule_ForgetCell(Proc);
    QZProcBase_StopRunProcWorker(Proc);
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(Proc);
    ReleaseRunPackages(LocalBuf);
    VS_BOOL CancelDue = !(Proc->IsSuspend && LocalBuf != NULL && LocalBuf->IsAsyncThreadIsRunning);

    void *Runner = NULL;
    void *Cell = NULL;
    if (!Trelk_IsZeroID(&Proc->RunnerID)) {
        Runner = SRV->GetObject(&Proc->RunnerID);
        if (Runner != NULL)
            Cell = SRV->GetParent(Runner);
    }
    if (CancelDue && Runner != NULL && Proc->Status < 0 && !TrelkProc_IsCell(Proc)) {
        void *Realm = FindRealmAbove(Cell);
        if (Realm != NULL) {
            QZProcBase_RejectInput_Internal(Proc, NULL, VS_FALSE);
            SRV->GetLastError();
            SRV->LuaPushObject(Realm);
            SRV->LuaPushObject(Cell);
            SRV->LuaPushObject(Runner);
            if (Trelk_ExecNameScript(Proc, "Execute", 3, 0))
                QZProcChain_IsExecNameScriptError(Proc, "calls the function Execute failed");
        }
    }

    // Inputs: every assigned data forgets this proc; then the container goes.
    TrelkDrain DrainInput;
    for (void *Input = Trelk_DrainFirst(&DrainInput, &Proc->InputQueue); Input != NULL;
         Input = Trelk_DrainNext(&DrainInput, Input)) {
        StructOfQZDataInputContainer *Container = (StructOfQZDataInputContainer *)Input;
        TrelkDrain DrainItem;
        for (void *Item = Trelk_DrainFirst(&DrainItem, &Container->DataQueue); Item != NULL;
             Item = Trelk_DrainNext(&DrainItem, Item)) {
            void *Data = SRV->GetObject(&((StructOfQZObjectPointerWithChangeFlag *)Item)->ObjectID);
            if (QZDataBase_IsDataObject(Data))
                Tarvex_ScheduleProc_QZDataUnConnect((StructOfQZDataBase *)Data, &ProcID);
            SRV->FreeObject(Item);
        }
        SRV->FreeObject(Input);
    }
    // Outputs: produced data are let go, not freed.
    TrelkDrain DrainOutput;
    for (void *Output = Trelk_DrainFirst(&DrainOutput, &Proc->OutputQueue); Output != NULL;
         Output = Trelk_DrainNext(&DrainOutput, Output)) {
        TrelkProc_ReleaseQueue(&((StructOfQZDataOutputContainer *)Output)->QZData);
        SRV->FreeObject(Output);
    }
    TrelkProc_ReleaseQueue(&Proc->QZProcChild);
    TrelkProc_ReleaseQueue(&Proc->AttachObject);
}

// ---------------------------------------------------------------------------
// Freed
// ---------------------------------------------------------------------------
static void OnFreed(StructOfQZProcBase *Proc)
{
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(Proc);
    if (LocalBuf != NULL && LocalBuf->CallBackObjectPkg != NULL) {
        LocalBuf->CallBackObjectPkg->Release();
        LocalBuf->CallBackObjectPkg = NULL;
    }
    if (IsProcBaseClassObject(Proc)) {
        SRV->FreePrivate(Proc, SRV->GetLayer(Proc), 0);
        return;
    }
    if (Proc->PrivateLocalBuf != NULL) {
        Proc->PrivateLocalBuf->Release();
        Proc->PrivateLocalBuf = NULL;
    }
    if (Proc->QZProcIndexTree != NULL) {
        SRV->DestoryIndex(Proc->QZProcIndexTree);
        Proc->QZProcIndexTree = NULL;
    }
    SRV->UnRegBeforeChangeCallBack(Proc, Tarvex_QZProc_ObjectBeforeChangeNotify, 0);
    if (LocalBuf != NULL) {
        StructOfObjectIDChangeSequence *Item = LocalBuf->RunnerSequenceForGetStatusHead;
        while (Item != NULL) {
            StructOfObjectIDChangeSequence *Next = Item->Down;
            SRV->Free(Item);
            Item = Next;
        }
        LocalBuf->RunnerSequenceForGetStatusHead = NULL;
        LocalBuf->RunnerSequenceForGetStatusTail = NULL;
    }
    if (Proc->IsType)
        SRV->DelIDKey(GlobalProcTypeIndexTree, SRV->GetIDEx(Proc));
    QZProcBase_StopRunProcWorker(Proc);
    ReleaseRunPackages(LocalBuf);
    SRV->FreePrivate(Proc, SRV->GetLayer(Proc), 0);

    void *Class = SRV->GetClass(Proc);
    if (Class != NULL && !IsOneOf3(Proc) && !IsOneOf3(Class))
        SRV->UnLockGC(Class);
}

VS_INT32 QZProcBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (!TrelkProc_IsProcObject(Object))
        return 0;
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)Object;
    switch (SRV->GetSysEventID(EventPara)) {
    case VSEVENT_SYSTEMEVENT_ONCREATE:
        Tarvex_QZProc_OnCreate(Proc, (StructOfQZProcBase *)SRV->GetClass(Proc));
        break;
    case VSEVENT_SYSTEMEVENT_ONBEFOREFREE:
        if (!IsProcBaseClassObject(Proc))
            Tarvex_QZProc_OnDestory(Proc);
        break;
    case VSEVENT_SYSTEMEVENT_ONDESTROY:
        OnFreed(Proc);
        break;
    default:
        break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Data disconnection and the base body
// ---------------------------------------------------------------------------
void Tarvex_ScheduleProc_QZDataUnConnect(StructOfQZDataBase *QZDataBase, VS_UUID *QZProcID)
{
    if (QZDataBase == NULL || QZProcID == NULL)
        return;
    for (void *Item = SRV->QueryFirst(&QZDataBase->ConnectedProc); Item != NULL; Item = SRV->QueryNext(Item)) {
        if (Trelk_IDEqual(&((StructOfQZObjectPointer *)Item)->ObjectID, QZProcID)) {
            SRV->FreeObject(Item);
            return;
        }
    }
}

VS_INT32 QZProcBase_Execute(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self != NULL)
        Trelk_Raise(Self, "'s function \"Execute\" is not define");
    SRV->LuaPushInt(-1);
    return 1;
}
