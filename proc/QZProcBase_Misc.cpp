// A proc's place in its chain and runner, suspend and continue requests, the
// description, the attached object, the free-callback list and the result of
// the last proc run.
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"

#include <climits>

static void *RunnerOf(StructOfQZProcBase *Proc)
{
    if (Proc == NULL || Trelk_IsZeroID(&Proc->RunnerID))
        return NULL;
    void *Runner = SRV->GetObject(&Proc->RunnerID);
    return Trelk_IsInstOf(Runner, QZProcRunnerBaseClass) ? Runner : NULL;
}

VS_INT32 QZProcBase_GetCell(void *L)
{
    (void)L;
    void *Runner = RunnerOf(TrelkProc_SelfArg());
    void *Parent = Runner != NULL ? SRV->GetParent(Runner) : NULL;
    SRV->LuaPushObject(TrelkProc_IsCell(Parent) ? Parent : NULL);
    return 1;
}

VS_INT32 QZProcBase_Suspend(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self != NULL)
        Self->IsSuspend = VS_TRUE;
    return 0;
}

VS_INT32 QZProcBase_Resume(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self != NULL)
        Self->IsSuspend = VS_FALSE;
    return 0;
}

VS_INT32 QZProcBase_Continue(void *L)
{
    (void)L;
    VS_INT64 Delay = SRV->LuaType(2) == VSLUATYPE_INT || SRV->LuaType(2) == VSLUATYPE_INT64 ? SRV->LuaToInt64(2) : 0;
    // The longest delay that still leaves room for the code's offset of 4.
    if (Delay > (VS_INT64)INT_MAX - 4)
        Delay = (VS_INT64)INT_MAX - 4;
    SRV->LuaPushInt(Delay > 0 ? (VS_INT32)Delay + 4 : 4);
    return 1;
}

VS_INT32 QZProcBase_GetRootProc(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    SRV->LuaPushObject(Self != NULL && !Trelk_IsZeroID(&Self->RootProcID) ? SRV->GetObject(&Self->RootProcID)
                                                                                 : NULL);
    return 1;
}

VS_INT32 QZProcBase_GetPrevProc(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL && Self->QZProcIndexTree != NULL) {
        VS_UUID Key;
        for (void *Value = SRV->QueryFirstIDKey(Self->QZProcIndexTree, &Key); Value != NULL;
             Value = SRV->QueryNextIDKey(Self->QZProcIndexTree, &Key)) {
            // The index keeps IDs; the proc is looked up, never its old address.
            void *Proc = SRV->GetObject(&Key);
            if (Proc != NULL)
                Result->InsertObject(Result->GetNumber(), Proc);
        }
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZProcBase_GetNextProc(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    void *Next = Self != NULL && Self->QZProcNext != NULL ? SRV->AtomicToObject(Self->QZProcNext) : NULL;
    SRV->LuaPushObject(Next);
    return 1;
}

// Every data of DataClass that Previous produced has reached Proc or is
// excluded from it.
static VS_BOOL PreviousFinished(StructOfQZProcBase *Proc, StructOfQZProcBase *Previous, void *DataClass,
                                VS_UUID *ExcludeID)
{
    VS_UUID *ProcID = SRV->GetIDEx(Proc);
    VS_UUID *ClassID = SRV->GetIDEx(DataClass);
    for (void *Item = SRV->QueryFirst(&Previous->OutputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
        StructOfQZDataOutputContainer *Output = (StructOfQZDataOutputContainer *)Item;
        if (!Trelk_IDEqual(&Output->DataBaseID, ClassID) && !SRV->IsInst(&Output->DataBaseID, DataClass))
            continue;
        void *First = SRV->QueryFirst(&Output->QZData);
        if (First == NULL)
            return VS_FALSE;
        for (void *Data = First; Data != NULL; Data = SRV->QueryNext(Data)) {
            StructOfQZDataBase *Record = (StructOfQZDataBase *)Data;
            if (Record->ExcludeProc != NULL && SRV->FindIDKey(Record->ExcludeProc, ExcludeID) != NULL)
                continue;
            VS_BOOL Connected = VS_FALSE;
            for (void *Ref = SRV->QueryFirst(&Record->ConnectedProc); Ref != NULL && !Connected;
                 Ref = SRV->QueryNext(Ref))
                Connected = Trelk_IDEqual(&((StructOfQZObjectPointer *)Ref)->ObjectID, ProcID);
            if (!Connected)
                return VS_FALSE;
        }
    }
    return VS_TRUE;
}

VS_INT32 QZProcBase_IsPrevProcFinish(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    VS_INT32 PrevType = SRV->LuaType(2);
    void *Prev = Trelk_ObjectArg(2);
    void *DataClass = Trelk_ObjectArg(3);
    if (Self == NULL || DataClass == NULL || SRV->GetObject(SRV->GetIDEx(Self)) != Self ||
        (PrevType != VSLUATYPE_NIL && !TrelkProc_IsProcObject(Prev))) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_UUID ExcludeID;
    QZRunnerBase_GetExcludeIDForEnvData(Self, &ExcludeID);
    if (Prev != NULL) {
        SRV->LuaPushBool(PreviousFinished(Self, (StructOfQZProcBase *)Prev, DataClass, &ExcludeID));
        return 1;
    }
    VS_BOOL Finished = VS_TRUE;
    if (Self->QZProcIndexTree != NULL) {
        VS_UUID Key;
        for (void *Value = SRV->QueryFirstIDKey(Self->QZProcIndexTree, &Key); Value != NULL && Finished;
             Value = SRV->QueryNextIDKey(Self->QZProcIndexTree, &Key)) {
            void *Previous = SRV->GetObject(&Key);
            if (TrelkProc_IsProcObject(Previous))
                Finished = PreviousFinished(Self, (StructOfQZProcBase *)Previous, DataClass, &ExcludeID);
        }
    }
    SRV->LuaPushBool(Finished);
    return 1;
}

VS_INT32 QZProcBase_IsCurrent(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)RunnerOf(Self);
    SRV->LuaPushBool(Runner != NULL && Runner->CurrentQZProcIndexTree != NULL &&
                             SRV->FindIDKey(Runner->CurrentQZProcIndexTree, SRV->GetIDEx(Self)) != NULL
                         ? VS_TRUE
                         : VS_FALSE);
    return 1;
}

VS_INT32 QZProcBase_GetDesc(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    SRV->LuaPushString(Self != NULL && Self->ProcDesc.Buf != NULL ? Self->ProcDesc.Buf : "");
    return 1;
}

VS_INT32 QZProcBase_SetDesc(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    if (Self != NULL) {
        const VS_CHAR *Desc = Trelk_StringArg(2);
        SRV->SetVString(&Self->ProcDesc, Desc != NULL ? Desc : "");
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Attached object
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_GetAttachObject(void *L)
{
    (void)L;
    void *Found = NULL;
    for (void *X = TrelkProc_SelfArg(); X != NULL && Found == NULL; X = SRV->GetClass(X)) {
        if (!TrelkProc_IsProcObject(X) || TrelkProc_IsProcBaseClassObject(X))
            break;
        Found = SRV->QueryFirst(&((StructOfQZProcBase *)X)->AttachObject);
    }
    SRV->LuaPushObject(Found);
    return 1;
}

// Objects a proc may not hold: itself, objects above it (the move would make
// a loop) and the module's class objects.
static VS_BOOL CanAttach(StructOfQZProcBase *Self, void *Object)
{
    for (void *X = Self; X != NULL; X = SRV->GetParent(X))
        if (X == Object)
            return VS_FALSE;
    void *const ClassObjects[] = {QZObjectPointerClass, QZObjectPointerWithChangeFlagClass, QZRuleBaseClass,
                                  QZRuleAttachBaseClass, QZDataInputContainerClass, QZDataBaseClass,
                                  QZDataSetBaseClass, QZObjectDataBaseClass, QZBufDataBaseClass, QZRealmFrameData,
                                  QZDataOutputContainerClass, QZExceptionBaseClass, QZProcBaseClass,
                                  QZProcRemoteBaseClass, QZProcRunnerBaseClass, QZProcChainBaseClass,
                                  QZCellBaseClass, QZRealmStubBaseClass, QZRealmBaseClass};
    for (void *ClassObject : ClassObjects)
        if (Object == ClassObject)
            return VS_FALSE;
    return VS_TRUE;
}

VS_INT32 QZProcBase_SetAttachObject(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_InstanceSelfArg();
    if (Self == NULL)
        return 0;
    VS_UUID SelfID = SRV->GetID(Self);
    void *Object = Trelk_ObjectArg(2);
    if (SRV->GetObject(&SelfID) != Self)
        return 0;
    if (Object != NULL && !CanAttach(Self, Object))
        return 0;
    TrelkProc_ReleaseQueue(&Self->AttachObject);
    if (Object != NULL)
        Tarvex_Schedule_EnvDataLeaving(Object);
    if (Object != NULL && SRV->ChangeParent(Object, Self, TrelkProc_ProcAttrIndex("AttachObject")))
        SRV->LockGC(Object);
    return 0;
}

// ---------------------------------------------------------------------------
// Free callbacks and the last run's result
// ---------------------------------------------------------------------------
VS_INT32 QZProcBase_RegCallBack(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    void *Target = Trelk_ObjectArg(2);
    StructOfQZProcBaseLocalBuf *LocalBuf = Self != NULL ? QZProcBase_GetProcLocalBuf(Self) : NULL;
    if (Target == NULL || LocalBuf == NULL)
        return 0;
    QZProcBase_AddFreeCallback_Internal(LocalBuf, Target);
    return 0;
}

VS_INT32 QZProcBase_UnRegCallBack(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    StructOfQZProcBaseLocalBuf *LocalBuf = Self != NULL ? QZProcBase_GetProcLocalBuf(Self) : NULL;
    if (LocalBuf != NULL)
        Trelk_CallBackListRemove(LocalBuf->CallBackObjectPkg, Trelk_ObjectArg(2));
    return 0;
}

VS_INT32 QZProcBase_GetRunProcResult(void *L)
{
    (void)L;
    StructOfQZProcBase *Self = TrelkProc_SelfArg();
    StructOfQZProcBaseLocalBuf *LocalBuf = Self != NULL ? QZProcBase_GetProcLocalBuf(Self) : NULL;
    if (LocalBuf == NULL || LocalBuf->RunProcResult == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(LocalBuf->RunProcResult, VS_FALSE);
    return 1;
}

VS_INT32 QZProcBase_Wrap(void *L)
{
    (void)L;
    SRV->LuaPushObject(TrelkProc_SelfArg());
    return 1;
}
