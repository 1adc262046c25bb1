// The end of a cell's run: its data handed back to the realm or dropped, its
// finish events, its inputs, runners and environment let go; the same for
// every running cell when the realm is reset.
#include "trelk_realm_internal.h"
#include "trelk_cell_api.h"

static VS_BOOL IsData(void *Object)
{
    return Trelk_IsInstOf(Object, QZDataBaseClass);
}

// A datum goes back into the realm's environment, belonging to no proc.
// FALSE when the realm takes nothing more (it is being freed).
static VS_BOOL HandBack(StructOfQZRealmBase *Realm, StructOfQZDataBase *Data, OBJECTATTRIBUTEINDEX EnvIndex)
{
    vs_memset(&Data->OwnerProcIDInCell, 0, sizeof(VS_UUID));
    vs_memset(&Data->OwnerRunnerProcID, 0, sizeof(VS_UUID));
    if (Data->ExcludeProc != NULL) {
        SRV->DestoryIndex(Data->ExcludeProc);
        Data->ExcludeProc = SRV->CreateIDIndex_Nor(0);
    }
    TrelkDrain Drain;
    for (void *P = Trelk_DrainFirst(&Drain, &Data->ConnectedProc); P != NULL; P = Trelk_DrainNext(&Drain, P))
        SRV->FreeObject(P);
    Tarvex_Schedule_EnvDataLeaving(Data);
    return SRV->ChangeParent(Data, Realm, EnvIndex);
}

// The realm's own datum a cell's copy was made from goes back too, unless it
// is still there. It comes with a lock of its own, unless the place it leaves
// held one (another realm's or cell's environment, a proc's output): that
// lock moves along, or the datum would be held twice and kept for ever.
static void HandBackModel(StructOfQZRealmBase *Realm, void *Copy, OBJECTATTRIBUTEINDEX EnvIndex)
{
    void *Model = SRV->GetClass(Copy);
    if (!IsData(Model) || SRV->GetParent(Model) == Realm)
        return;
    VS_BOOL Held = TrelkRealm_PlaceHoldsDatum(Model);
    // A lock with no place to hold it would keep the datum for ever.
    if (HandBack(Realm, (StructOfQZDataBase *)Model, EnvIndex) && !Held)
        SRV->LockGC(Model);
}

void QZRealmBase_ProcessCellEnvData_Internal(StructOfQZRealmBase *QZRealm, StructOfQZCellBase *QZCell,
                                             VS_BOOL IsSuccess, VS_PARAPKGPTR Collected)
{
    if (QZRealm == NULL || QZCell == NULL || SRV->GetParent(QZCell) != QZRealm)
        return;
    OBJECTATTRIBUTEINDEX EnvIndex = Trelk_ClassAttrIndex(QZRealmBaseClass, "EnvDataQueue");
    VS_BOOL HasOutputs = SRV->QueryFirst(&QZCell->OutputQueue) != NULL ? VS_TRUE : VS_FALSE;
    if (HasOutputs && IsSuccess) {
        for (void *Out = SRV->QueryFirst(&QZCell->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out)) {
            void *QueueHead = &((StructOfQZDataOutputContainer *)Out)->QZData;
            TrelkDrain Drain;
            for (void *X = Trelk_DrainFirst(&Drain, QueueHead); X != NULL; X = Trelk_DrainNext(&Drain, X)) {
                // The output queue's lock becomes the environment's.
                HandBack(QZRealm, (StructOfQZDataBase *)X, EnvIndex);
                if (Collected != NULL)
                    Collected->InsertObject(Collected->GetNumber(), X);
            }
        }
        VS_PARAPKGPTR Unhandled = QZCellBase_GetEnvDataUnusedAtEnd_Internal(QZCell, 1);
        for (VS_INT32 i = 0; Unhandled != NULL && i < Unhandled->GetNumber(); i++) {
            void *X = Unhandled->GetObject(i);
            if (IsData(X) && Trelk_IsZeroID(&((StructOfQZDataBase *)X)->OwnerRunnerProcID))
                HandBackModel(QZRealm, X, EnvIndex);
        }
        if (Unhandled != NULL)
            Unhandled->Release();
        return;
    }
    if (HasOutputs) {
        for (void *Out = SRV->QueryFirst(&QZCell->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out)) {
            void *QueueHead = &((StructOfQZDataOutputContainer *)Out)->QZData;
            for (void *X = SRV->QueryFirst(QueueHead); X != NULL; X = SRV->QueryFirst(QueueHead)) {
                SRV->ChangeParent(X, NULL, 0);
                SRV->UnLockGC(X);
            }
        }
        void *Next = NULL;
        for (void *X = SRV->QueryFirst(&QZCell->EnvDataQueue); X != NULL; X = Next) {
            Next = SRV->QueryNext(X);
            if (IsData(X) && Trelk_IsZeroID(&((StructOfQZDataBase *)X)->OwnerRunnerProcID))
                HandBackModel(QZRealm, X, EnvIndex);
        }
        return;
    }
    // What is left to hand back is in the cell's env.
    if (SRV->QueryFirst(&QZCell->EnvDataQueue) == NULL)
        return;
    VS_PARAPKGPTR Unhandled = QZCellBase_GetEnvDataUnusedAtEnd_Internal(QZCell, 0);
    for (VS_INT32 i = 0; Unhandled != NULL && i < Unhandled->GetNumber(); i++) {
        void *X = Unhandled->GetObject(i);
        if (!IsData(X))
            continue;
        StructOfQZDataBase *Data = (StructOfQZDataBase *)X;
        if (!Trelk_IsZeroID(&Data->OwnerRunnerProcID)) {
            // The cell environment's lock becomes the realm's.
            HandBack(QZRealm, Data, EnvIndex);
            if (Collected != NULL)
                Collected->InsertObject(Collected->GetNumber(), Data);
        } else
            HandBackModel(QZRealm, X, EnvIndex);
    }
    if (Unhandled != NULL)
        Unhandled->Release();
}

// After a step that may have run a script: FALSE when the cell is gone, else
// *Cell is the cell again.
static VS_BOOL CellStillHere(StructOfQZCellBase **Cell, VS_UUID *CellID, uint64_t *Serial)
{
    uint64_t Now = Trelk_ScriptSerial();
    if (Now == *Serial)
        return VS_TRUE;
    *Serial = Now;
    void *Found = SRV->GetObject(CellID);
    if (!Trelk_IsInstOf(Found, QZCellBaseClass))
        return VS_FALSE;
    *Cell = (StructOfQZCellBase *)Found;
    return VS_TRUE;
}

VS_INT32 QZRealmBase_ResetSingleCell_Internal(StructOfQZRealmBase *QZRealm, StructOfQZCellBase *QZCell,
                                              VS_BOOL CellExecuteSuccess)
{
    if (QZRealm == NULL || QZCell == NULL)
        return 0;
    VS_UUID RealmID = SRV->GetID(QZRealm), CellID = SRV->GetID(QZCell);
    QZRealmBase_ProcessCellEnvData_Internal(QZRealm, QZCell, CellExecuteSuccess, NULL);
    SRV->LuaPushObject(QZRealm);
    SRV->LuaPushBool(CellExecuteSuccess);
    SRV->GetLastError();
    if (Trelk_ExecNameScript(QZCell, "OnCellFinish", 2, 0))
        QZProcChain_IsExecNameScriptError(SRV->GetObject(&CellID), "calls the function OnCellFinish failed");
    QZRealm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    QZCell = (StructOfQZCellBase *)SRV->GetObject(&CellID);
    if (QZRealm != NULL && QZCell != NULL) {
        SRV->LuaPushObject(QZCell);
        SRV->LuaPushBool(CellExecuteSuccess);
        SRV->GetLastError();
        if (QZRealmBase_ExecNameScript(QZRealm, "OnCellFinish", 2, 0))
            QZProcChain_IsExecNameScriptError(SRV->GetObject(&RealmID), "calls the function OnCellFinish failed");
    }
    // The events may have freed the cell.
    QZCell = (StructOfQZCellBase *)SRV->GetObject(&CellID);
    if (!Trelk_IsInstOf(QZCell, QZCellBaseClass))
        return 0;
    // The cell's type and its unhandled data serve only the learning from
    // input records: a cell without any asks for neither.
    VS_BOOL HasRecords = VS_FALSE;
    for (void *In = SRV->QueryFirst(&QZCell->InputQueue); In != NULL && !HasRecords; In = SRV->QueryNext(In))
        HasRecords = SRV->QueryFirst(&((StructOfQZDataInputContainer *)In)->DataQueue) != NULL ? VS_TRUE : VS_FALSE;
    VS_BOOL Learns = VS_FALSE;
    VS_PARAPKGPTR Unhandled = NULL;
    if (HasRecords) {
        Learns = CellExecuteSuccess && QZProcBase_GetProcType_Internal(QZCell) != QZCellBaseClass ? VS_TRUE : VS_FALSE;
        Unhandled = QZCellBase_GetEnvDataUnHandled_Internal(QZCell, NULL, 1);
    }
    // Freeing a record, a runner or letting go of a datum may run free
    // callbacks, which may free the cell: it is found again after any script.
    uint64_t Serial = Trelk_ScriptSerial();
    for (void *In = SRV->QueryFirst(&QZCell->InputQueue); HasRecords && In != NULL; In = SRV->QueryNext(In)) {
        void *QueueHead = &((StructOfQZDataInputContainer *)In)->DataQueue;
        VS_UUID InID = SRV->GetID(In);
        TrelkDrain Drain;
        for (void *Item = Trelk_DrainFirst(&Drain, QueueHead); Item != NULL;
             Item = Trelk_DrainNext(&Drain, Item)) {
            void *D = SRV->GetObject(&((StructOfQZObjectPointerWithChangeFlag *)Item)->ObjectID);
            if (IsData(D)) {
                StructOfQZDataBase *Data = (StructOfQZDataBase *)D;
                Tarvex_ScheduleProc_QZDataUnConnect(Data, &CellID);
                if (Learns) {
                    VS_BOOL Unused = VS_FALSE;
                    for (VS_INT32 i = 0; Unhandled != NULL && i < Unhandled->GetNumber() && !Unused; i++)
                        Unused = Unhandled->GetObject(i) == D ? VS_TRUE : VS_FALSE;
                    if (Unused)
                        QZDataBase_AddReject_Internal(Data, QZCell);
                    else
                        QZDataBase_AddAccept_Internal(Data, QZCell);
                }
            }
            SRV->FreeObject(Item);
        }
        if (Serial != Trelk_ScriptSerial()) {
            if (!CellStillHere(&QZCell, &CellID, &Serial)) {
                if (Unhandled != NULL)
                    Unhandled->Release();
                return 0;
            }
            // The walk goes on only where it still stands.
            if (SRV->GetObject(&InID) != In || SRV->GetParent(In) != QZCell)
                break;
        }
    }
    if (Unhandled != NULL)
        Unhandled->Release();
    // A free event that resets the realm while a runner or chain of this cell
    // is being freed finds that one still here: it is passed over.
    TrelkDrain Drain;
    for (void *R = Trelk_DrainFirst(&Drain, &QZCell->NormalRunnerQueue); R != NULL;
         R = Trelk_DrainNext(&Drain, R))
        SRV->FreeObject(R);
    for (void *C = Trelk_DrainFirst(&Drain, &QZCell->QZProcForOutputQueue); C != NULL;
         C = Trelk_DrainNext(&Drain, C))
        SRV->FreeObject(C);
    if (!CellStillHere(&QZCell, &CellID, &Serial))
        return 0;
    for (void *X = SRV->QueryFirst(&QZCell->EnvDataQueue); X != NULL; X = SRV->QueryFirst(&QZCell->EnvDataQueue)) {
        SRV->ChangeParent(X, NULL, 0);
        SRV->UnLockGC(X);
        if (!CellStillHere(&QZCell, &CellID, &Serial))
            return 0;
    }
    QZCell->ErrorCount = 0;
    QZCell->IsReady = VS_FALSE;
    if (QZCell->ProcChainRunnerIndexTree != NULL) {
        SRV->DestoryIndex(QZCell->ProcChainRunnerIndexTree);
        QZCell->ProcChainRunnerIndexTree = NULL;
    }
    if (QZCell->ProcExecutedIndexTree != NULL) {
        SRV->DestoryIndex(QZCell->ProcExecutedIndexTree);
        QZCell->ProcExecutedIndexTree = NULL;
    }
    return 0;
}

VS_INT32 QZRealmBase_ResetCells_Internal(StructOfQZRealmBase *QZRealm)
{
    if (QZRealm == NULL)
        return 0;
    VS_UUID RealmID = SRV->GetID(QZRealm);
    // Each reset runs scripts: the cells are taken by ID first.
    VS_PARAPKGPTR Cells = Trelk_GetParaPkgInterface(__LINE__);
    for (void *C = SRV->QueryFirst(&QZRealm->QZCellQueue); C != NULL; C = SRV->QueryNext(C))
        Cells->InsertObject(Cells->GetNumber(), C);
    for (VS_INT32 i = 0; i < Cells->GetNumber(); i++) {
        QZRealm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
        void *C = Cells->GetObject(i);
        if (QZRealm == NULL)
            break;
        if (Trelk_IsInstOf(C, QZCellBaseClass) && SRV->GetParent(C) == QZRealm && ((StructOfQZCellBase *)C)->IsReady)
            QZRealmBase_ResetSingleCell_Internal(QZRealm, (StructOfQZCellBase *)C, VS_FALSE);
    }
    Cells->Release();
    return 0;
}

VS_INT32 QZRealmBase_Reset_Internal(StructOfQZRealmBase *QZRealm, VS_BOOL ClearActiveObject)
{
    if (QZRealm == NULL)
        return 0;
    VS_UUID RealmID = SRV->GetID(QZRealm);
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    if (LocalBuf != NULL && (LocalBuf->HasEnterExecuteUntil || LocalBuf->hBreakOnThreadId != 0)) {
        QZRealm->ErrorCount = 0;
        if (ClearActiveObject)
            QZRealmBase_DeactiveAll_Internal(QZRealm, 0);
        return 0;
    }
    if (QZRealm->ExecuteStage == QZREALM_STAGE_IDLE) {
        SRV->GetLastError();
        if (QZRealmBase_ExecNameScript(QZRealm, "OnStopIdle", 0, 0))
            QZProcChain_IsExecNameScriptError(SRV->GetObject(&RealmID), "calls the function OnStopIdle failed");
        QZRealm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
        if (QZRealm == NULL)
            return 0;
    }
    QZRealm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
    QZRealm->ErrorCount = 0;
    QZRealmBase_ResetCells_Internal(QZRealm);
    QZRealm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    if (QZRealm == NULL)
        return 0;
    for (void *X = SRV->QueryFirst(&QZRealm->EnvDataQueue); X != NULL; X = SRV->QueryFirst(&QZRealm->EnvDataQueue)) {
        SRV->ChangeParent(X, NULL, 0);
        SRV->UnLockGC(X);
    }
    if (ClearActiveObject)
        QZRealmBase_DeactiveAll_Internal(QZRealm, 0);
    LocalBuf = QZRealmBase_GetLocalBuf_Internal(QZRealm);
    // The frame of a cycle cut short was never shown to a script. It is
    // freed last: a free may run scripts, and the realm's buffer is written
    // before.
    void *Stale = NULL;
    if (LocalBuf != NULL) {
        Stale = LocalBuf->QZRealmFrameDataInst;
        LocalBuf->QZRealmFrameDataInst = NULL;
        LocalBuf->LastScheduleTickCountWithFrameData = 0;
        if (LocalBuf->EnvDataQueuePackage != NULL)
            LocalBuf->EnvDataQueuePackage->Clear();
        QZRealmBase_SetOutsideData_Internal(QZRealm, NULL, 0);
        if (LocalBuf->LogPackage != NULL)
            LocalBuf->LogPackage->Clear();
    }
    if (Stale != NULL)
        SRV->FreeObject(Stale);
    return 0;
}
