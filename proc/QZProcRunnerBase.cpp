// Runners: one execution of a proc chain inside a cell. The scheduler makes a
// runner, fills it with copies of the chain's procs and drives it; the runner
// itself keeps its index of current procs and lets its copies go when it ends.
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"


static StructOfQZProcRunnerBase *SelfArg()
{
    if (SRV->LuaGetTop() < 1 || SRV->LuaType(1) != VSLUATYPE_OBJECT)
        return NULL;
    void *Self = SRV->LuaToObject(1);
    return Trelk_IsInstOf(Self, QZProcRunnerBaseClass) ? (StructOfQZProcRunnerBase *)Self : NULL;
}

static void PushObjectByID(VS_UUID *ID)
{
    void *Object = ID == NULL || Trelk_IsZeroID(ID) ? NULL : SRV->GetObject(ID);
    if (Object != NULL)
        SRV->LuaPushObject(Object);
    else
        SRV->LuaPushNil();
}

VS_INT32 QZProcRunnerBase_CurrentProcToParaPkg(void *L)
{
    (void)L;
    StructOfQZProcRunnerBase *Self = SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL && Self->CurrentQZProcIndexTree != NULL) {
        VS_UUID Key;
        for (void *V = SRV->QueryFirstIDKey(Self->CurrentQZProcIndexTree, &Key); V != NULL;
             V = SRV->QueryNextIDKey(Self->CurrentQZProcIndexTree, &Key)) {
            void *Object = SRV->GetObject(&Key);
            if (Object != NULL)
                Pkg->InsertObject(Pkg->GetNumber(), Object);
        }
    }
    SRV->LuaPushParaPkg(Pkg, VS_TRUE);
    return 1;
}

VS_INT32 QZProcRunnerBase_ProcToParaPkg(void *L)
{
    (void)L;
    StructOfQZProcRunnerBase *Self = SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL) {
        StructOfTrelkProcWalk Walk;
        for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, TrelkChain_StartProc(&Self->QZProcStart), VS_FALSE);
             P != NULL; P = TrelkProcWalk_Next(&Walk))
            Pkg->InsertObject(Pkg->GetNumber(), P);
        TrelkProcWalk_End(&Walk);
    }
    SRV->LuaPushParaPkg(Pkg, VS_TRUE);
    return 1;
}

VS_INT32 QZProcRunnerBase_GetProcChain(void *L)
{
    (void)L;
    StructOfQZProcRunnerBase *Self = SelfArg();
    PushObjectByID(Self != NULL ? &Self->QZProcChainID : NULL);
    return 1;
}

VS_INT32 QZProcRunnerBase_GetCell(void *L)
{
    (void)L;
    StructOfQZProcRunnerBase *Self = SelfArg();
    PushObjectByID(Self != NULL ? &Self->QZCellID : NULL);
    return 1;
}

// ---------------------------------------------------------------------------
// System events
// ---------------------------------------------------------------------------
static void OnBeforeFree(StructOfQZProcRunnerBase *Runner)
{
    // The copies in order, taken once: a copy still waiting (suspended or
    // running on a worker) first learns that it is cancelled, then all go.
    VS_PARAPKGPTR Procs = Trelk_GetParaPkgInterface(__LINE__);
    StructOfTrelkProcWalk Walk;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, TrelkChain_StartProc(&Runner->QZProcStart), VS_FALSE);
         P != NULL; P = TrelkProcWalk_Next(&Walk))
        Procs->InsertObject(Procs->GetNumber(), P);
    TrelkProcWalk_End(&Walk);
    // Only the runner's own copies: an order that runs on into procs of
    // somebody else must neither cancel nor free them.
    for (VS_INT32 i = 0; i < Procs->GetNumber(); i++) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)Procs->GetObject(i);
        if (P != NULL && SRV->GetParent(P) == Runner)
            Tarvex_ScheduleProc_DupProc_SetStatusForFree(P);
    }
    for (VS_INT32 i = 0; i < Procs->GetNumber(); i++) {
        void *P = Procs->GetObject(i);
        if (P != NULL && SRV->GetParent(P) == Runner)
            SRV->FreeObject(P);
    }
    Procs->Release();
}

VS_INT32 QZProcRunnerBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL)
        return 0;
    StructOfQZProcRunnerBase *Runner = (StructOfQZProcRunnerBase *)((StructOfVSSysEventPara *)EventPara)->Object;
    if (Runner == NULL)
        return 0;
    VS_BOOL IsClassObject = Runner == QZProcRunnerBaseClass || QZProcRunnerBaseClass == NULL;
    switch (SRV->GetSysEventID(EventPara)) {
    case VSEVENT_SYSTEMEVENT_ONCREATE:
        Runner->CurrentQZProcIndexTree = SRV->CreateIDIndex_Nor(0);
        MemoryDebug_InsertObjectRecord(Runner->CurrentQZProcIndexTree, __LINE__);
        Runner->IsFinish = VS_FALSE;
        Runner->IsOutputRunner = 0;
        break;
    case VSEVENT_SYSTEMEVENT_ONBEFOREFREE:
        if (!IsClassObject)
            OnBeforeFree(Runner);
        break;
    case VSEVENT_SYSTEMEVENT_ONDESTROY:
        if (Runner->CurrentQZProcIndexTree != NULL) {
            SRV->DestoryIndex(Runner->CurrentQZProcIndexTree);
            Runner->CurrentQZProcIndexTree = NULL;
        }
        break;
    default:
        break;
    }
    return 0;
}
