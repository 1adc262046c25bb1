// Procs run on demand: the run routine that builds a temporary realm from
// the calling one (its cell, the input data, the procs, the expected
// outputs), runs it to its end on the calling thread or hands it to a
// worker, and the two hooks that collect the output.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"
#include "trelk_cell_api.h"

#include <cstring>

static StructOfQZRealmBase *FindRealm(VS_UUID *ID)
{
    void *Realm = SRV->GetObject(ID);
    return TrelkRealm_IsRealm(Realm) ? (StructOfQZRealmBase *)Realm : NULL;
}

static StructOfQZCellBase *FindCell(VS_UUID *ID)
{
    void *Cell = SRV->GetObject(ID);
    return TrelkRealm_IsCell(Cell) ? (StructOfQZCellBase *)Cell : NULL;
}

static VS_BOOL IsProc(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcBaseClass);
}

static VS_BOOL IsChain(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcChainBaseClass);
}

static void *ObjectAt(VS_INT32 Index)
{
    return SRV->LuaType(Index) == VSLUATYPE_OBJECT ? Trelk_FromRawObject(SRV->LuaToObject(Index)) : NULL;
}

// ---------------------------------------------------------------------------
// Result package and collection
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_RunProc_Return(VS_PARAPKGPTR ResultValue, VS_BOOL ErrorFlag)
{
    if (!ErrorFlag) {
        if (ResultValue != NULL)
            ResultValue->Release();
        SRV->LuaPushParaPkg(Trelk_GetParaPkgInterface(__LINE__), VS_TRUE);
        return 1;
    }
    if (ResultValue == NULL)
        ResultValue = Trelk_GetParaPkgInterface(__LINE__);
    if (ResultValue->GetNumber() == 0)
        ResultValue->InsertEmpty(0);
    SRV->LuaPushParaPkg(ResultValue, VS_TRUE);
    return 1;
}

// Each entry holds a lock of the collector's on its object.
static void Collect(StructOfRunProc_OnCellFinishCallBackPara *Collector, void *Object)
{
    Collector->ResultPara->InsertObject(Collector->ResultPara->GetNumber(), Object);
    SRV->LockGC(Object);
}

static void CollectorDrop(StructOfRunProc_OnCellFinishCallBackPara *Collector)
{
    VS_PARAPKGPTR Pkg = Collector->ResultPara;
    for (VS_INT32 i = 0; Pkg != NULL && i < Pkg->GetNumber(); i++)
        if (Pkg->GetType(i) == VSTYPE_OBJECT)
            SRV->UnLockGC(Pkg->GetObject(i));
    if (Pkg != NULL)
        Pkg->Clear();
}

// The data type a triple of the expected outputs stands for.
static void *ExpectedType(void *Object)
{
    return TrelkRealm_IsData(Object) || QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Object)
               ? (void *)QZDataBase_GetDataType_Internal((StructOfQZDataBase *)Object)
               : NULL;
}

VS_INT32 QZRealmBase_RunProc_OnAfterExecuteCallBack(void *L)
{
    (void)L;
    StructOfRunProc_OnCellFinishCallBackPara *Collector =
        (StructOfRunProc_OnCellFinishCallBackPara *)SRV->LuaToUWord(SRV->LuaUpValueIndex(2));
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    if (Collector == NULL || Realm == NULL)
        return Trelk_PushBool(VS_FALSE);
    VS_UUID RealmID = SRV->GetID(Realm);
    // The realm's own "OnAfterExecute" may ask for more steps.
    SRV->InValidRegLuaFunc(Realm, "OnAfterExecute", QZRealmBase_RunProc_OnAfterExecuteCallBack);
    SRV->GetLastError();
    // The call leaves its one result also when it could not be made.
    VS_BOOL Called = QZRealmBase_ExecNameScript(Realm, "OnAfterExecute", 0, 1);
    Realm = FindRealm(&RealmID);
    if (Called && !QZProcChain_IsExecNameScriptError(Realm, "calls the function OnAfterExecute failed") &&
        SRV->LuaToBool(-1)) {
        if (Realm != NULL)
            SRV->ValidRegLuaFunc(Realm, "OnAfterExecute", QZRealmBase_RunProc_OnAfterExecuteCallBack);
        return 1;
    }
    SRV->LuaPop(1);
    if (Realm == NULL)
        return Trelk_PushBool(VS_FALSE);
    SRV->ValidRegLuaFunc(Realm, "OnAfterExecute", QZRealmBase_RunProc_OnAfterExecuteCallBack);
    if (Realm->ErrorCount != 0) {
        Collector->Result = VS_FALSE;
        CollectorDrop(Collector);
        return Trelk_PushBool(VS_FALSE);
    }
    VS_PARAPKGPTR Expected = Collector->ExpectedOutputPkg;
    VS_BOOL All = Expected == NULL || Expected->GetNumber() == 0 ? VS_TRUE : VS_FALSE;
    for (void *X = SRV->QueryFirst(&Realm->EnvDataQueue); X != NULL; X = SRV->QueryNext(X)) {
        if (!TrelkRealm_IsData(X) || QZRealmBase_IsFromOutSide_Internal(Realm, (StructOfQZDataBase *)X))
            continue;
        if (All) {
            Collect(Collector, X);
            continue;
        }
        for (VS_INT32 k = 0; k + 2 < Expected->GetNumber(); k += 3) {
            void *Type = ExpectedType(Expected->GetObject(k + 2));
            if (Type != NULL && SRV->IsInst(SRV->GetIDEx(Type), X))
                Collect(Collector, X);
        }
    }
    Collector->Result = VS_TRUE;
    return Trelk_PushBool(VS_FALSE);
}

static StructOfQZDataBase *ItemData(void *Item)
{
    void *Data = SRV->GetObject(&((StructOfQZObjectPointerWithChangeFlag *)Item)->ObjectID);
    return TrelkRealm_IsData(Data) ? (StructOfQZDataBase *)Data : NULL;
}

VS_INT32 QZRealmBase_RunProc_OutputProc_Execute_ScriptCallBack(void *L)
{
    (void)L;
    void *ProcArg = Trelk_ObjectArg(1);
    void *CellArg = Trelk_ObjectArg(3);
    StructOfRunProc_OnCellFinishCallBackPara *Collector =
        (StructOfRunProc_OnCellFinishCallBackPara *)SRV->LuaToUWord(SRV->LuaUpValueIndex(2));
    if (!IsProc(ProcArg) || Collector == NULL) {
        SRV->LuaPushInt(2);
        return 1;
    }
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)ProcArg;
    if (Proc->Status < 0) {
        SRV->LuaPushInt(0);
        return 1;
    }
    VS_UUID ProcID = SRV->GetID(Proc);
    for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        void *Item = SRV->QueryFirst(&Input->DataQueue);
        if (Item == NULL) {
            if (Input->IsMustExist) {
                SRV->LuaPushInt(2);
                return 1;
            }
            continue;
        }
        StructOfQZDataBase *Data = ItemData(Item);
        if (Data != NULL && !Trelk_IsZeroID(&Data->OwnerRunnerProcID))
            continue;
        // Input data that reached the output directly did not come from a
        // proc of the run: it is dropped and the output proc waits.
        if (!Trelk_IsZeroID(&Proc->RunnerID)) {
            void *Runner = SRV->GetObject(&Proc->RunnerID);
            if (Trelk_IsInstOf(Runner, QZProcRunnerBaseClass))
                ((StructOfQZProcRunnerBase *)Runner)->PriorityCount--;
        }
        if (Data != NULL)
            Tarvex_ScheduleProc_QZDataUnConnect(Data, &ProcID);
        SRV->FreeObject(Item);
        SRV->LuaPushInt(2);
        return 1;
    }
    Collector->Result = VS_TRUE;
    for (void *In = SRV->QueryFirst(&Proc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        TrelkDrain DrainItem;
        for (void *Item = Trelk_DrainFirst(&DrainItem, &Input->DataQueue); Item != NULL;
             Item = Trelk_DrainNext(&DrainItem, Item)) {
            StructOfQZDataBase *Data = ItemData(Item);
            if (Data != NULL) {
                Collect(Collector, Data);
                Tarvex_ScheduleProc_QZDataUnConnect(Data, &ProcID);
            }
            SRV->FreeObject(Item);
        }
    }
    if (TrelkRealm_IsCell(CellArg))
        ((StructOfQZCellBase *)CellArg)->IsReady = VS_FALSE;
    return 0;
}

// ---------------------------------------------------------------------------
// Building the run
// ---------------------------------------------------------------------------
static void AddInputOne(StructOfRunProcPlace *Place, void *Object, VS_INT32 Position, const VS_CHAR *RealmName)
{
    if (!TrelkRealm_IsData(Object) || QZDataBase_IsPreDefined_DataType((StructOfQZDataBase *)Object)) {
        if (Position < 0)
            Trelk_RaiseText("call [%s]'s RunProc failed, input data is invalid", RealmName);
        else
            Trelk_RaiseText("call [%s]'s RunProc failed, input data [%d] is invalid", RealmName, Position);
        return;
    }
    StructOfQZRealmBase *NewRealm = FindRealm(&Place->NewRealmID);
    if (NewRealm == NULL)
        return;
    if (Place->HasCell) {
        StructOfQZCellBase *Cell = FindCell(&Place->CellID);
        if (Cell != NULL)
            QZCellBase_AddEnvData_Internal_Ex(NewRealm, Cell, (StructOfQZDataBase *)Object);
    } else {
        QZRealmBase_AddEnvData_Internal_Ex(NewRealm, (StructOfQZDataBase *)Object);
    }
}

static void AddInputData(StructOfRunProcPlace *Place, const VS_CHAR *RealmName)
{
    VS_INT32 Type = SRV->LuaType(3);
    if (Type == VSLUATYPE_OBJECT) {
        AddInputOne(Place, Trelk_FromRawObject(SRV->LuaToObject(3)), -1, RealmName);
    } else if (Type == VSLUATYPE_PARAPKG) {
        VS_PARAPKGPTR Pkg = SRV->LuaToParaPkg(3);
        if (Pkg == NULL)
            return;
        // Creation events of the copies may change the package.
        Pkg->AddRef();
        for (VS_INT32 i = 0; i < Pkg->GetNumber(); i++)
            AddInputOne(Place, Pkg->GetType(i) == VSTYPE_OBJECT ? Trelk_FromRawObject(Pkg->GetObject(i)) : NULL, i,
                        RealmName);
        Pkg->Release();
    }
}

// The cell takes a copy of a proc, or a chain, which it copies itself: the
// given objects never run.
static void AddProcToCell(StructOfRunProcPlace *Place, void *Object)
{
    StructOfQZCellBase *Cell = FindCell(&Place->CellID);
    if (Cell == NULL)
        return;
    void *Copy = NULL;
    if (IsProc(Object)) {
        Copy = SRV->MallocObjectL(SRV->GetIDEx(Object), 0, NULL);
        Cell = FindCell(&Place->CellID);
        if (Copy == NULL || Cell == NULL) {
            if (Copy != NULL)
                SRV->FreeObject(Copy);
            return;
        }
    }
    SRV->LuaPushObject(Copy != NULL ? Copy : Object);
    QZCellBase_AddProc_Internal(Cell, SRV->LuaGetTop());
    SRV->LuaPop(2);
    if (Copy != NULL)
        SRV->UnLockGC(Copy);
}

// All procs in one new chain of the cell, in argument order.
static void AddProcChainList(StructOfRunProcPlace *Place, VS_INT32 StartIndex, VS_INT32 Top, const VS_CHAR *RealmName)
{
    StructOfQZProcChainBase *Chain =
        (StructOfQZProcChainBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcChainBaseClass), 0, NULL);
    if (Chain == NULL)
        return;
    VS_UUID ChainID = SRV->GetID(Chain);
    for (VS_INT32 i = StartIndex; i <= Top; i++) {
        void *Object = ObjectAt(i);
        if (!IsProc(Object) && !IsChain(Object)) {
            Trelk_RaiseText("call [%s]'s RunProc failed, input process [%d] is invalid", RealmName, i);
            continue;
        }
        void *Copy = NULL;
        if (IsProc(Object)) {
            Copy = SRV->MallocObjectL(SRV->GetIDEx(Object), 0, NULL);
            if (Copy == NULL)
                continue;
        }
        Chain = (StructOfQZProcChainBase *)SRV->GetObject(&ChainID);
        if (Chain == NULL || !QZProcChainBase_Append_Internal(Chain, Copy != NULL ? Copy : Object)) {
            if (Copy != NULL)
                SRV->FreeObject(Copy);
            if (SRV->GetObject(&ChainID) != NULL)
                SRV->FreeObject(SRV->GetObject(&ChainID));
            return;
        }
        if (Copy != NULL)
            SRV->UnLockGC(Copy);
    }
    Chain = (StructOfQZProcChainBase *)SRV->GetObject(&ChainID);
    StructOfQZCellBase *Cell = FindCell(&Place->CellID);
    if (Chain == NULL)
        return;
    // The chain's creation lock becomes the cell queue's.
    if (Cell == NULL ||
        !SRV->ChangeParent(Chain, Cell, SRV->GetAttributeIndex(QZCellBaseClass, "ProcChainQueue")))
        SRV->FreeObject(Chain);
}

static void AddProcs(StructOfRunProcPlace *Place, VS_INT32 StartIndex, VS_BOOL IsProcChainList,
                     const VS_CHAR *RealmName)
{
    VS_INT32 Top = SRV->LuaGetTop();
    if (Top == StartIndex) {
        void *Object = ObjectAt(StartIndex);
        if (IsProc(Object) || IsChain(Object))
            AddProcToCell(Place, Object);
        else
            Trelk_RaiseText("call [%s]'s RunProc failed, input process is invalid", RealmName);
        return;
    }
    if (IsProcChainList) {
        AddProcChainList(Place, StartIndex, Top, RealmName);
        return;
    }
    for (VS_INT32 i = StartIndex; i <= Top; i++) {
        void *Object = ObjectAt(i);
        if (IsProc(Object) || IsChain(Object))
            AddProcToCell(Place, Object);
        else
            Trelk_RaiseText("call [%s]'s RunProc failed, input process [%d] is invalid", RealmName, i);
    }
}

// The expected-output list: triples (IsMustExist, ReturnNumber, class).
static VS_PARAPKGPTR ExpectedOutputs()
{
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    VS_INT32 Type = SRV->LuaType(4);
    if (Type == VSLUATYPE_OBJECT) {
        void *Object = Trelk_FromRawObject(SRV->LuaToObject(4));
        if (Object != NULL) {
            List->InsertBool(List->GetNumber(), VS_FALSE);
            List->InsertInt(List->GetNumber(), 1);
            List->InsertObject(List->GetNumber(), Object);
        }
        return List;
    }
    if (Type != VSLUATYPE_PARAPKG)
        return List;
    VS_PARAPKGPTR Pkg = SRV->LuaToParaPkg(4);
    VS_BOOL MustExist = VS_FALSE;
    VS_INT32 ReturnNumber = 1;
    for (VS_INT32 i = 0; Pkg != NULL && i < Pkg->GetNumber(); i++) {
        switch (Pkg->GetType(i)) {
        case VSTYPE_STRING: {
            const VS_CHAR *Text = Pkg->GetStr(i);
            if (Text != NULL && (Text[0] == 'm' || Text[0] == 'M') && Text[1] == 0)
                MustExist = VS_TRUE;
            break;
        }
        case VSTYPE_INT32:
        case VSTYPE_INT64:
            ReturnNumber = (VS_INT32)Pkg->GetInt64(i);
            break;
        case VSTYPE_OBJECT: {
            void *Object = Trelk_FromRawObject(Pkg->GetObject(i));
            if (Object == NULL)
                break;
            List->InsertBool(List->GetNumber(), MustExist);
            List->InsertInt(List->GetNumber(), ReturnNumber);
            List->InsertObject(List->GetNumber(), Object);
            MustExist = VS_FALSE;
            ReturnNumber = 1;
            break;
        }
        default:
            break;
        }
    }
    return List;
}

// The output proc: one input per expected class, collecting into the
// collector; its chain sits in the cell's output queue.
static void MakeOutputProc(StructOfRunProcPlace *Place, StructOfQZCellBase *Cell, VS_PARAPKGPTR Expected,
                           StructOfRunProc_OnCellFinishCallBackPara *Collector)
{
    StructOfQZProcBase *Proc = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcBaseClass), 0, NULL);
    if (Proc == NULL)
        return;
    Proc->IsType = VS_FALSE;
    OBJECTATTRIBUTEINDEX InputIndex = SRV->GetAttributeIndex(QZProcBaseClass, "InputQueue");
    for (VS_INT32 k = 0; k + 2 < Expected->GetNumber(); k += 3) {
        void *Type = ExpectedType(Expected->GetObject(k + 2));
        StructOfQZDataInputContainer *Input =
            (StructOfQZDataInputContainer *)SRV->MallocObjectL(SRV->GetIDEx(QZDataInputContainerClass), 0, NULL);
        if (Input == NULL)
            continue;
        Input->RequestNumber = Expected->GetInt(k + 1);
        Input->IsOnlyDirect = VS_FALSE;
        Input->IsSlave = VS_FALSE;
        Input->IsFromInternal = VS_FALSE;
        Input->IsMustExist = Expected->GetBool(k);
        Input->DataObjectInst = NULL;
        // A data object stands for its data type.
        Input->DataBaseID = Type != NULL ? SRV->GetID(Type) : SRV->GetID(Expected->GetObject(k + 2));
        SRV->ChangeParent(Input, Proc, InputIndex);
    }
    SRV->RegLuaFunc(Proc, "Execute", QZRealmBase_RunProc_OutputProc_Execute_ScriptCallBack, (VS_UWORD)Collector);
    StructOfQZProcChainBase *Chain =
        (StructOfQZProcChainBase *)SRV->MallocObjectL(SRV->GetIDEx(QZProcChainBaseClass), 0, NULL);
    if (Chain == NULL || FindCell(&Place->CellID) != Cell) {
        if (Chain != NULL)
            SRV->FreeObject(Chain);
        SRV->FreeObject(Proc);
        return;
    }
    SRV->ChangeParent(Proc, Chain, SRV->GetAttributeIndex(QZProcChainBaseClass, "QZProcBase"));
    Chain->QZProcStart = SRV->GetID(Proc);
    SRV->ChangeParent(Chain, Cell, SRV->GetAttributeIndex(QZCellBaseClass, "QZProcForOutputQueue"));
    Place->OutputChainID = SRV->GetID(Chain);
}

// Where a caller's cell was, so that it goes back there after the run.
static void NoteCellPlace(StructOfRunProcPlace *Place, StructOfQZCellBase *Cell)
{
    Place->CellWasReady = Cell->IsReady;
    void *Parent = SRV->GetParent(Cell);
    Place->CellHadParent = Parent != NULL ? VS_TRUE : VS_FALSE;
    if (Parent == NULL)
        return;
    Place->CellParentID = SRV->GetID(Parent);
    Place->CellParentIndex = SRV->GetIndex(Cell);
    Place->CellHadRealmLock =
        TrelkRealm_IsRealm(Parent) && (TrelkRealm_InQueue((StructOfQZRealmBase *)Parent, Cell, TRELK_REALM_ENVDATAQUEUE) ||
                                       TrelkRealm_InQueue((StructOfQZRealmBase *)Parent, Cell, TRELK_REALM_CELLQUEUE) ||
                                       TrelkRealm_InQueue((StructOfQZRealmBase *)Parent, Cell, TRELK_REALM_CELLLIBRARY) ||
                                       TrelkRealm_InQueue((StructOfQZRealmBase *)Parent, Cell, TRELK_REALM_RULEQUEUE))
            ? VS_TRUE
            : VS_FALSE;
}

static VS_INT32 Refuse(VS_BOOL IsAsync)
{
    if (IsAsync)
        return Trelk_PushBool(VS_FALSE);
    return QZRealmBase_RunProc_Return(NULL, VS_FALSE);
}

static void Dispatch()
{
    Trelk_DispatchAll();
}

static StructOfRunProc_OnCellFinishCallBackPara *NewCollector()
{
    StructOfRunProc_OnCellFinishCallBackPara *Collector =
        (StructOfRunProc_OnCellFinishCallBackPara *)SRV->Malloc_Nor(sizeof(StructOfRunProc_OnCellFinishCallBackPara));
    if (Collector == NULL)
        return NULL;
    Collector->Result = VS_FALSE;
    Collector->ResultPara = Trelk_GetParaPkgInterface(__LINE__);
    Collector->ExpectedOutputPkg = NULL;
    return Collector;
}

// Frees what a run made before it could start.
static void Abandon(StructOfRunProcPlace *Place)
{
    void *NewRealm = FindRealm(&Place->NewRealmID);
    if (NewRealm != NULL)
        SRV->FreeObject(NewRealm);
    void *Cell = Place->HasCell && Place->CellIsDynamic ? FindCell(&Place->CellID) : NULL;
    if (Cell != NULL)
        SRV->FreeObject(Cell);
}

VS_INT32 QZRealmBase_RunProc_Internal(void *L, VS_INT32 StartIndex, VS_BOOL IsProcChainList)
{
    (void)L;
    QZRealmBase_RunProc_JoinEndedWorkers();
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    void *Request = ObjectAt(2);
    VS_BOOL IsAsync = IsProc(Request);
    if (Realm == NULL)
        return Refuse(IsAsync);
    StructOfRunProcPlace Place;
    memset(&Place, 0, sizeof(Place));
    Place.RealmID = SRV->GetID(Realm);
    if (IsAsync)
        Place.RequestProcID = SRV->GetID(Request);
    // The name is kept: messages name the realm also when it goes meanwhile.
    VS_CHAR RealmName[256];
    vs_string_snprintf(RealmName, sizeof(RealmName), "%s", Trelk_Name(Realm));

    // 1. The temporary realm: an instance of the calling realm's own class.
    StructOfQZRealmBase *NewRealm = (StructOfQZRealmBase *)SRV->MallocObjectL(SRV->GetIDEx(Realm), 0, NULL);
    Realm = FindRealm(&Place.RealmID);
    if (NewRealm == NULL || Realm == NULL) {
        if (NewRealm != NULL)
            SRV->FreeObject(NewRealm);
        return Refuse(IsAsync);
    }
    Place.NewRealmID = SRV->GetID(NewRealm);
    if (Realm->PrivateLocalBuf != NULL && (void *)Realm != QZRealmBaseClass) {
        if (NewRealm->PrivateLocalBuf != NULL)
            NewRealm->PrivateLocalBuf->Release();
        NewRealm->PrivateLocalBuf = Realm->PrivateLocalBuf->Dup();
    }
    QZRealmBase_SyncFrom_Internal(NewRealm, Realm, VS_FALSE);

    // 2. The cell.
    VS_INT32 Top = SRV->LuaGetTop();
    void *First = Top >= StartIndex ? ObjectAt(StartIndex) : NULL;
    VS_BOOL InsertProcs = VS_FALSE;
    StructOfQZCellBase *Cell = NULL;
    Place.CellIsDynamic = VS_TRUE;
    if (First != NULL) {
        if (Top == StartIndex && TrelkRealm_IsCell(First) && !((StructOfQZCellBase *)First)->IsType) {
            Cell = (StructOfQZCellBase *)First;
            Place.CellIsDynamic = VS_FALSE;
            NoteCellPlace(&Place, Cell);
        } else {
            void *Class = Top == StartIndex && TrelkRealm_IsCell(First) ? First : QZCellBaseClass;
            InsertProcs = Class == QZCellBaseClass ? VS_TRUE : VS_FALSE;
            Cell = (StructOfQZCellBase *)SRV->MallocObjectL(SRV->GetIDEx(Class), 0, NULL);
            if (Cell != NULL)
                Cell->SingleRunnerFlag = VS_TRUE;
        }
        if (Cell != NULL) {
            Place.HasCell = VS_TRUE;
            Place.CellID = SRV->GetID(Cell);
        }
    }
    if (FindRealm(&Place.RealmID) == NULL || FindRealm(&Place.NewRealmID) == NULL ||
        (Place.HasCell && FindCell(&Place.CellID) == NULL)) {
        Abandon(&Place);
        return Refuse(IsAsync);
    }

    // 3. Input data; 4. procs. Bad ones are reported and skipped.
    AddInputData(&Place, RealmName);
    if (InsertProcs)
        AddProcs(&Place, StartIndex, IsProcChainList, RealmName);

    // 5. Expected outputs.
    VS_PARAPKGPTR Expected = ExpectedOutputs();

    // 6. Settings and collection.
    NewRealm = FindRealm(&Place.NewRealmID);
    Cell = Place.HasCell ? FindCell(&Place.CellID) : NULL;
    StructOfRunProc_OnCellFinishCallBackPara *Collector = NewCollector();
    if (NewRealm == NULL || (Place.HasCell && Cell == NULL) || Collector == NULL) {
        Expected->Release();
        if (Collector != NULL) {
            Collector->ResultPara->Release();
            SRV->Free(Collector);
        }
        Abandon(&Place);
        return Refuse(IsAsync);
    }
    NewRealm->TraceFlag = VS_FALSE;
    NewRealm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
    NewRealm->CreateFrameData = VS_TRUE;
    // An instance starts with its class's values: errors of the calling
    // realm are not the run's.
    NewRealm->ErrorCount = 0;
    if (Cell == NULL) {
        Collector->ExpectedOutputPkg = Expected;
        Expected = NULL;
        SRV->RegLuaFunc(NewRealm, "OnAfterExecute", QZRealmBase_RunProc_OnAfterExecuteCallBack, (VS_UWORD)Collector);
    } else {
        VS_BOOL Ok = VS_FALSE;
        SRV->GetLastError();
        Trelk_NoteScriptCall();
        SRV->ScriptCall(NewRealm, &Ok, "AddCell", "(o)", Cell);
        NewRealm = FindRealm(&Place.NewRealmID);
        Cell = FindCell(&Place.CellID);
        if (NewRealm != NULL && Cell != NULL) {
            if (Expected->GetNumber() == 0)
                SRV->RegLuaFunc(NewRealm, "OnAfterExecute", QZRealmBase_RunProc_OnAfterExecuteCallBack,
                                (VS_UWORD)Collector);
            else
                MakeOutputProc(&Place, Cell, Expected, Collector);
        }
        Expected->Release();
        Expected = NULL;
    }

    // 7. A requesting proc gets a worker; else the run ends here.
    if (IsAsync) {
        VS_BOOL Started = TrelkRealm_RunProc_Start(&Place, Collector);
        return Trelk_PushBool(Started);
    }
    // 8. The synchronous run.
    for (;;) {
        NewRealm = FindRealm(&Place.NewRealmID);
        if (NewRealm == NULL)
            break;
        Tarvex_ScheduleRealm(NewRealm, NULL);
        NewRealm = FindRealm(&Place.NewRealmID);
        if (NewRealm == NULL || NewRealm->ExecuteStage == QZREALM_STAGE_FINISHED)
            break;
        Dispatch();
    }
    VS_PARAPKGPTR Result = TrelkRealm_RunProc_End(&Place, Collector, VS_FALSE, VS_FALSE);
    return QZRealmBase_RunProc_Return(Result, Result != NULL ? VS_TRUE : VS_FALSE);
}

// ---------------------------------------------------------------------------
// The end of a run
// ---------------------------------------------------------------------------
static void CopyLog(StructOfQZRealmBase *NewRealm, StructOfQZRealmBase *Realm)
{
    StructOfQZRealmBaseLocalBuf *From = QZRealmBase_GetLocalBuf_Internal(NewRealm);
    StructOfQZRealmBaseLocalBuf *To = QZRealmBase_GetLocalBuf_Internal(Realm);
    if (From == NULL || To == NULL || From->LogPackage == NULL || From->LogPackage->GetNumber() == 0)
        return;
    if (To->LogPackage == NULL)
        To->LogPackage = Trelk_GetParaPkgInterface(__LINE__);
    for (VS_INT32 i = 0; i < From->LogPackage->GetNumber(); i++)
        if (From->LogPackage->GetType(i) == VSTYPE_PARAPKG)
            To->LogPackage->InsertParaPackage(To->LogPackage->GetNumber(), From->LogPackage->GetParaPackage(i));
}

// TRUE when Object sits somewhere below the temporary realm or the run's cell.
static VS_BOOL InRun(StructOfRunProcPlace *Place, void *Object)
{
    void *NewRealm = SRV->GetObject(&Place->NewRealmID);
    void *Cell = Place->HasCell ? SRV->GetObject(&Place->CellID) : NULL;
    for (void *X = SRV->GetParent(Object); X != NULL; X = SRV->GetParent(X))
        if (X == NewRealm || (Cell != NULL && X == Cell))
            return VS_TRUE;
    return VS_FALSE;
}

// TRUE when the object's place holds a GC lock on it: an environment queue
// of a realm or a cell, or an output container.
static VS_BOOL PlaceHoldsLock(void *Object)
{
    void *Parent = SRV->GetParent(Object);
    if (TrelkRealm_IsRealm(Parent))
        return TrelkRealm_InQueue((StructOfQZRealmBase *)Parent, Object, TRELK_REALM_ENVDATAQUEUE);
    if (TrelkRealm_IsCell(Parent))
        return SRV->GetIndex(Object) == SRV->GetAttributeIndex(QZCellBaseClass, "EnvDataQueue") ? VS_TRUE : VS_FALSE;
    return Trelk_IsInstOf(Parent, QZDataOutputContainerClass);
}

// The collected objects leave the run before it is freed: the realm's free
// would free them with it.
static void TakeOutOfRun(StructOfRunProcPlace *Place, VS_PARAPKGPTR Collected)
{
    for (VS_INT32 i = 0; i < Collected->GetNumber(); i++) {
        void *X = Collected->GetType(i) == VSTYPE_OBJECT ? Collected->GetObject(i) : NULL;
        if (X == NULL || !InRun(Place, X))
            continue;
        VS_BOOL Locked = PlaceHoldsLock(X);
        SRV->ChangeParent(X, NULL, 0);
        if (Locked)
            SRV->UnLockGC(X);
    }
}

// A caller's cell leaves the temporary realm for the place it came from,
// without the run's output chain. A cell whose run was cut short ends it
// first, as failed.
static void PutCellBack(StructOfRunProcPlace *Place)
{
    StructOfQZCellBase *Cell = FindCell(&Place->CellID);
    StructOfQZRealmBase *NewRealm = FindRealm(&Place->NewRealmID);
    if (Cell != NULL && NewRealm != NULL && Cell->IsReady && SRV->GetParent(Cell) == NewRealm) {
        QZRealmBase_ResetSingleCell_Internal(NewRealm, Cell, VS_FALSE);
        Cell = FindCell(&Place->CellID);
    }
    void *Chain = SRV->GetObject(&Place->OutputChainID);
    if (Chain != NULL)
        SRV->FreeObject(Chain);
    if (Cell == NULL)
        return;
    Cell->IsReady = Place->CellWasReady;
    NewRealm = FindRealm(&Place->NewRealmID);
    // Only a cell the run moved goes back: a script may have placed it
    // elsewhere meanwhile.
    if (NewRealm == NULL || SRV->GetParent(Cell) != NewRealm)
        return;
    // The temporary realm's queue gave the cell a lock of its own unless it
    // brought the one of a realm's queue along.
    void *Parent = Place->CellHadParent ? SRV->GetObject(&Place->CellParentID) : NULL;
    if (Parent != NULL) {
        SRV->ChangeParent(Cell, Parent, Place->CellParentIndex);
        if (!Place->CellHadRealmLock)
            SRV->UnLockGC(Cell);
        return;
    }
    // Free-standing before, or its realm went during the run.
    SRV->ChangeParent(Cell, NULL, 0);
    SRV->UnLockGC(Cell);
}

VS_PARAPKGPTR TrelkRealm_RunProc_End(StructOfRunProcPlace *Place, StructOfRunProc_OnCellFinishCallBackPara *Collector,
                                     VS_BOOL Stopped, VS_BOOL KeepForRequest)
{
    StructOfQZRealmBase *NewRealm = FindRealm(&Place->NewRealmID);
    StructOfQZRealmBase *Realm = FindRealm(&Place->RealmID);
    if (NewRealm != NULL && Realm != NULL)
        CopyLog(NewRealm, Realm);
    if (Place->HasCell && !Place->CellIsDynamic)
        PutCellBack(Place);
    NewRealm = FindRealm(&Place->NewRealmID);
    // A run cut short ends its cycle first: what the cycle holds outside the
    // realm's queues (its frame) goes with it.
    if (NewRealm != NULL && NewRealm->ExecuteStage == QZREALM_STAGE_EXECUTING) {
        VS_BOOL Failed = NewRealm->ErrorCount != 0 ? VS_TRUE : VS_FALSE;
        QZRealmBase_Reset_Internal(NewRealm, VS_TRUE);
        NewRealm = FindRealm(&Place->NewRealmID);
        if (NewRealm != NULL && Failed)
            NewRealm->ErrorCount = 1;
    }
    // A proc's failure fails the run also when the output proc collected.
    if (Stopped || NewRealm == NULL || NewRealm->ErrorCount != 0)
        Collector->Result = VS_FALSE;
    if (!Collector->Result)
        CollectorDrop(Collector);
    else
        TakeOutOfRun(Place, Collector->ResultPara);
    if (NewRealm != NULL)
        SRV->FreeObject(NewRealm);
    if (Place->HasCell && Place->CellIsDynamic) {
        void *Cell = FindCell(&Place->CellID);
        if (Cell != NULL)
            SRV->FreeObject(Cell);
    }
    if (Collector->ExpectedOutputPkg != NULL)
        Collector->ExpectedOutputPkg->Release();
    VS_PARAPKGPTR Result = Collector->ResultPara;
    VS_BOOL Ok = Collector->Result;
    SRV->Free(Collector);
    if (!Ok) {
        Result->Release();
        return NULL;
    }
    void *Holder = KeepForRequest && Result->GetNumber() > 0 ? TrelkRealm_RunProc_NewHolder(&Place->RequestProcID)
                                                            : NULL;
    OBJECTATTRIBUTEINDEX HolderIndex = SRV->GetAttributeIndex(QZDataOutputContainerClass, "QZData");
    for (VS_INT32 i = 0; i < Result->GetNumber(); i++) {
        void *X = Result->GetType(i) == VSTYPE_OBJECT ? Result->GetObject(i) : NULL;
        if (X == NULL)
            continue;
        if (Holder != NULL && SRV->GetParent(X) == NULL) {
            // The entry's lock becomes the holder's.
            SRV->ChangeParent(X, Holder, HolderIndex);
            continue;
        }
        // The package names the object by ID only: it lives until the next
        // collection point, and on while the script holds it.
        SRV->UnLockGC(X);
    }
    return Result;
}

// ---------------------------------------------------------------------------
// The eight luafuncs
// ---------------------------------------------------------------------------
static VS_INT32 RunSync(VS_INT32 StartIndex, VS_BOOL IsProcChainList)
{
    SRV->LuaPushNil();
    SRV->LuaInsert(2);
    return QZRealmBase_RunProc_Internal(NULL, StartIndex, IsProcChainList);
}

VS_BOOL TrelkRealm_RunProc_RequestOk(const VS_CHAR *Function)
{
    QZRealmBase_RunProc_JoinEndedWorkers();
    StructOfQZRealmBase *Realm = TrelkRealm_SelfArg();
    void *Request = ObjectAt(2);
    if (Realm == NULL)
        return VS_FALSE;
    if (!IsProc(Request)) {
        Trelk_RaiseText("call [%s]'s %s failed, request proc is invalid", Trelk_Name(Realm), Function);
        return VS_FALSE;
    }
    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(Request);
    if (LocalBuf == NULL || LocalBuf->RunProcThreadIsRunning) {
        Trelk_RaiseText("call [%s]'s %s failed, request proc [%s] is waiting for an earlier run",
                        Trelk_Name(Realm), Function, Trelk_Name(Request));
        return VS_FALSE;
    }
    return VS_TRUE;
}

VS_INT32 QZRealmBase_RunProc(void *L)
{
    (void)L;
    return RunSync(5, VS_FALSE);
}

VS_INT32 QZRealmBase_RunProcEx(void *L)
{
    (void)L;
    return RunSync(5, VS_TRUE);
}

VS_INT32 QZRealmBase_AsyncRunProc(void *L)
{
    (void)L;
    if (!TrelkRealm_RunProc_RequestOk("AsyncRunProc"))
        return Trelk_PushBool(VS_FALSE);
    return QZRealmBase_RunProc_Internal(NULL, 5, VS_FALSE);
}

VS_INT32 QZRealmBase_AsyncRunProcEx(void *L)
{
    (void)L;
    if (!TrelkRealm_RunProc_RequestOk("AsyncRunProcEx"))
        return Trelk_PushBool(VS_FALSE);
    return QZRealmBase_RunProc_Internal(NULL, 5, VS_TRUE);
}
