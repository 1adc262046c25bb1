// One scheduling step of a realm: the opening of a cycle (frame data, fact
// history, "OnBeforeExecute"), one "Execute" of every ready cell, the frame
// data of the step, the trimming of active objects, and the end of the
// cycle (predict history, "OnFrameData", the environment released).
#include "trelk_sched_internal.h"


static void *FindRealm(VS_UUID *ID)
{
    void *Realm = TrelkSched_Find(ID);
    return Trelk_IsInstOf(Realm, QZRealmBaseClass) ? Realm : NULL;
}

static VS_INT32 HistoryLength(StructOfQZRealmBase *realm)
{
    VS_INT32 Length = QZRealmBase_GetHistoryLength(realm);
    return Length > 0 ? Length : 0;
}

static void CutTo(VS_PARAPKGPTR List, VS_INT32 Length)
{
    while (List->GetNumber() > Length)
        List->Del(List->GetNumber() - 1);
}

static StructOfQZRealmFrameData *NewFrame(StructOfQZRealmBase *realm)
{
    StructOfQZRealmFrameData *Frame =
        (StructOfQZRealmFrameData *)SRV->MallocObjectL(SRV->GetIDEx(QZRealmFrameData), 0, NULL);
    if (Frame != NULL)
        Frame->RealmObjectID = SRV->GetID(realm);
    return Frame;
}

static void AppendToFrame(StructOfQZRealmFrameData *Frame, void *Data)
{
    if (Frame->DataBuf == NULL)
        Frame->DataBuf = Trelk_GetParaPkgInterface(__LINE__);
    Frame->DataBuf->InsertObject(Frame->DataBuf->GetNumber(), Data);
}

// The outside list, the frame and the fact history of a new cycle, from the
// realm's index of its env data: nothing runs a script between them.
static void FillCycleLists(StructOfQZRealmBase *realm, StructOfQZRealmBaseLocalBuf *LocalBuf,
                           TrelkVector<void *> &Models)
{
    QZRealmBase_EnvOpenCycle_Internal(realm, Models.data(), (VS_INT32)Models.size(), LocalBuf->EnvDataQueuePackage);
    StructOfQZRealmFrameData *Frame = NewFrame(realm);
    if (Frame != NULL) {
        TrelkVector<void *> Members;
        // The watermark of the steps opens at 0: the first step also takes
        // the data earlier cycles left in the realm with a tick above 0.
        QZRealmBase_EnvFrameOpen_Internal(realm, Frame, realm->ScheduleTickCount, 0, Members);
        for (void *Data : Members)
            AppendToFrame(Frame, Data);
    }
    LocalBuf->QZRealmFrameDataInst = Frame;
    LocalBuf->LastScheduleTickCountWithFrameData = 0;

    // Only the history's length of the oldest data can stay in it.
    QZRealmBase_EnvFactHistory_Internal(realm, &LocalBuf->FactFramePackage, HistoryLength(realm));
}

// Opens a cycle. FALSE when the realm is gone after "OnBeforeExecute".
static VS_BOOL OpenCycle(StructOfQZRealmBase *realm, VS_UUID *RealmID)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(realm);
    // The frame of a cycle that did not end was never shown to a script. It
    // goes before the cycle's lists are taken: a free may run scripts, and
    // the lists hold the data types of the cells' env.
    if (LocalBuf != NULL && LocalBuf->QZRealmFrameDataInst != NULL) {
        void *Stale = LocalBuf->QZRealmFrameDataInst;
        LocalBuf->QZRealmFrameDataInst = NULL;
        SRV->FreeObject(Stale);
        realm = (StructOfQZRealmBase *)FindRealm(RealmID);
        if (realm == NULL)
            return VS_FALSE;
        LocalBuf = QZRealmBase_GetLocalBuf_Internal(realm);
    }
    if (LocalBuf != NULL) {
        // The data from outside for this cycle: what the cells hold came from
        // the realm's own data objects.
        if (LocalBuf->EnvDataQueuePackage == NULL)
            LocalBuf->EnvDataQueuePackage = Trelk_GetParaPkgInterface(__LINE__);
        VS_PARAPKGPTR Outside = LocalBuf->EnvDataQueuePackage;
        Outside->Clear();
        void *Listed = SRV->CreateIDIndex_Nor(0);
        TrelkVector<void *> Models;
        for (void *Cell = SRV->QueryFirst(&realm->QZCellQueue); Cell != NULL; Cell = SRV->QueryNext(Cell)) {
            if (!TrelkSched_IsCell(Cell))
                continue;
            for (void *Data = SRV->QueryFirst(&((StructOfQZCellBase *)Cell)->EnvDataQueue); Data != NULL;
                 Data = SRV->QueryNext(Data)) {
                void *Model = SRV->GetClass(Data);
                if (Model != NULL && SRV->FindIDKey(Listed, SRV->GetIDEx(Model)) == NULL) {
                    SRV->InsertIDKey(Listed, SRV->GetIDEx(Model), (void *)1);
                    Outside->InsertObject(Outside->GetNumber(), Model);
                    Models.push_back(Model);
                }
            }
        }
        SRV->DestoryIndex(Listed);
        FillCycleLists(realm, LocalBuf, Models);
    }
    TrelkSched_CallRealm(realm, "OnBeforeExecute", 0, 0, "calls the function OnBeforeExecute failed");
    realm = (StructOfQZRealmBase *)FindRealm(RealmID);
    if (realm == NULL)
        return VS_FALSE;
    realm->ExecuteStage = QZREALM_STAGE_EXECUTING;
    return VS_TRUE;
}

static VS_INT32 OutputCount(StructOfQZCellBase *cell)
{
    VS_INT32 Count = 0;
    for (void *Out = SRV->QueryFirst(&cell->OutputQueue); Out != NULL; Out = SRV->QueryNext(Out))
        Count += Tarvex_ScheduleProc_GetItemNumber(&((StructOfQZDataOutputContainer *)Out)->QZData);
    return Count;
}

// A cell that holds too much output is stopped unless the realm raises its
// limit.
static void OutputCheck(VS_UUID *RealmID, VS_UUID *CellID)
{
    StructOfQZRealmBase *realm = (StructOfQZRealmBase *)FindRealm(RealmID);
    StructOfQZCellBase *cell = TRELK_FIND(StructOfQZCellBase, *CellID);
    if (realm == NULL || cell == NULL)
        return;
    VS_INT32 Limit = QZRealmBase_GetMaxUnAllocatedData_ForQZCell(realm, cell);
    if (OutputCount(cell) < Limit)
        return;
    SRV->LuaPushObject(cell);
    VS_INT32 Outcome = TrelkSched_CallRealm(realm, "OnMoreUnAllocatedData", 1, 1,
                                            "cell calls the function OnMoreUnAllocatedData failed");
    VS_INT32 Answer = Outcome == TRELK_CALL_OK ? SRV->LuaToInt(-1) : 0;
    SRV->LuaPop(1);
    realm = (StructOfQZRealmBase *)FindRealm(RealmID);
    cell = TRELK_FIND(StructOfQZCellBase, *CellID);
    if (realm == NULL || cell == NULL)
        return;
    if (Answer == 1) {
        QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(realm, cell);
        return;
    }
    QZRealmBase_RaiseException(realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                               "Cell[%s] create more output data larger than [%d], it's running is killed",
                               Trelk_Name(cell), Limit);
    // The report ran a script.
    cell = TRELK_FIND(StructOfQZCellBase, *CellID);
    if (cell != NULL)
        cell->IsReady = VS_FALSE;
}

// Runs one cell's "Execute"; TRUE when the step changed something.
static VS_BOOL StepCell(VS_UUID *RealmID, VS_UUID *CellID)
{
    StructOfQZRealmBase *realm = (StructOfQZRealmBase *)FindRealm(RealmID);
    StructOfQZCellBase *cell = TRELK_FIND(StructOfQZCellBase, *CellID);
    if (realm == NULL || !TrelkSched_IsCell(cell) || !cell->IsReady)
        return VS_FALSE;
    if (cell->IsSuspend)
        return VS_TRUE;
    if (cell->NextRunTick != 0 && cell->NextRunTick > TrelkSched_NowMs())
        return VS_TRUE;
    cell->NextRunTick = 0;
    SRV->LuaPushObject(realm);
    SRV->LuaPushObject(cell);
    SRV->LuaPushNil();
    SRV->GetLastError();
    if (!Trelk_ExecNameScript(cell, "Execute", 3, 1)) {
        SRV->LuaPop(1);
        return VS_FALSE;
    }
    if (QZProcChain_IsExecNameScriptError(TrelkSched_Find(CellID), "calls the function Execute failed")) {
        SRV->LuaPop(1);
        return VS_FALSE;
    }
    VS_INT32 Code = SRV->LuaToInt(-1);
    SRV->LuaPop(1);
    realm = (StructOfQZRealmBase *)FindRealm(RealmID);
    cell = TRELK_FIND(StructOfQZCellBase, *CellID);
    if (realm == NULL || cell == NULL)
        return VS_FALSE;
    if (Code <= 0 || Code == 2 || Code == 3) {
        QZRealmBase_ResetSingleCell_Internal(realm, cell, Code == 0 ? VS_TRUE : VS_FALSE);
        return VS_FALSE;
    }
    if (Code == 1) {
        cell->IsSuspend = VS_TRUE;
        QZRealmBase_RaiseException(realm, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0, "Cell[%s] is suspend",
                                   Trelk_Name(cell));
    } else
        cell->NextRunTick = Code == 4 ? 0 : TrelkSched_NowMs() + Code - 4;
    OutputCheck(RealmID, CellID);
    return VS_TRUE;
}

// Frame data of the step: the env data stamped above the watermark (0 from
// the cycle's opening on, so data earlier cycles left join too), each one
// once. Data handed back from a cell keep the stamp of the step that
// made them, so what is new to the frame is told by identity among the
// cycle's data, not by the stamp of the last step; the realm's index hands
// over only what arrived since the last look.
static void StepFrame(StructOfQZRealmBase *realm)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(realm);
    if (LocalBuf == NULL)
        return;
    StructOfQZRealmFrameData *Frame = LocalBuf->QZRealmFrameDataInst;
    if (Frame == NULL)
        Frame = NewFrame(realm);
    if (Frame == NULL)
        return;
    TrelkVector<void *> Members;
    QZRealmBase_EnvFrameStep_Internal(realm, Frame, Frame->DataBuf, LocalBuf->LastScheduleTickCountWithFrameData,
                                      Members);
    for (void *Data : Members)
        AppendToFrame(Frame, Data);
    LocalBuf->QZRealmFrameDataInst = Frame;
}

// ---------------------------------------------------------------------------
// Trimming of active objects
// ---------------------------------------------------------------------------
static void TrimActiveObjects(StructOfQZRealmBase *realm)
{
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(realm);
    if (LocalBuf == NULL || LocalBuf->ActiveRealmObjectTree == NULL)
        return;
    VS_ULONG Count = LocalBuf->ActiveRealmObjectCount;
    VS_INT32 Length = QZRealmBase_GetActiveLength(realm);
    if (Length < 0)
        Length = 0;
    if (Count <= (VS_ULONG)Length)
        return;
    // The least recently activated first, by (low word, high word,
    // sequence) of the stamp, from the realm's order of its records.
    TrelkVector<VS_UUID> Oldest;
    QZRealmBase_ActiveOldest_Internal(realm, Count - (VS_ULONG)Length, Oldest);
    VS_UUID RealmID = SRV->GetID(realm);
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    for (VS_UUID &ID : Oldest) {
        // A report runs the realm's exception script, which may free it.
        realm = (StructOfQZRealmBase *)FindRealm(&RealmID);
        if (realm == NULL)
            break;
        void *Object = SRV->GetObject(&ID);
        if (Object == NULL) {
            QZRealmBase_RaiseException(realm, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                       "Realm[%s] active object is not found", Trelk_Name(realm));
            // A record whose object is gone would stay for ever. The report
            // ran a script.
            realm = (StructOfQZRealmBase *)FindRealm(&RealmID);
            if (realm == NULL)
                break;
            QZRealmBase_DeactiveDataByID_Internal(realm, &ID);
            continue;
        }
        List->InsertObject(List->GetNumber(), Object);
    }
    for (VS_INT32 i = 0; i < List->GetNumber(); i++) {
        // Letting go of an object runs its scripts, which may free the realm.
        realm = (StructOfQZRealmBase *)FindRealm(&RealmID);
        void *Object = List->GetObject(i);
        if (realm != NULL && Object != NULL)
            QZRealmBase_DeactiveData_Internal(realm, Object, 0);
    }
    List->Release();
}

// ---------------------------------------------------------------------------
// End of a cycle
// ---------------------------------------------------------------------------
static VS_INT32 EndCycle(VS_UUID *RealmID)
{
    StructOfQZRealmBase *realm = (StructOfQZRealmBase *)FindRealm(RealmID);
    if (realm == NULL)
        return 1;
    realm->ExecuteStage = QZREALM_STAGE_FINISHED;
    StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(realm);
    StructOfQZRealmFrameData *Frame = LocalBuf != NULL ? LocalBuf->QZRealmFrameDataInst : NULL;
    if (LocalBuf != NULL && Frame != NULL && Frame->DataBuf != NULL) {
        // Asked per member: the outside list is looked up, not walked.
        VS_PARAPKGPTR Predict = Trelk_GetParaPkgInterface(__LINE__);
        for (VS_INT32 i = 0; i < Frame->DataBuf->GetNumber(); i++) {
            void *Data = Frame->DataBuf->GetObject(i);
            if (TrelkSched_IsData(Data) && !QZRealmBase_IsFromOutSide_Internal(realm, (StructOfQZDataBase *)Data))
                Predict->InsertObject(Predict->GetNumber(), Data);
        }
        CutTo(Predict, HistoryLength(realm));
        if (LocalBuf->PredictFramePackage != NULL)
            LocalBuf->PredictFramePackage->Release();
        LocalBuf->PredictFramePackage = Predict;
    }
    VS_BOOL Shown = VS_FALSE;
    VS_UUID FrameID = Frame != NULL ? SRV->GetID(Frame) : VS_UUID{};
    if (realm->CreateFrameData) {
        if (Frame != NULL && Frame->DataBuf != NULL && Frame->DataBuf->GetNumber() > 0) {
            Shown = VS_TRUE;
            // The frame is held by the realm's buffer while the script runs;
            // the event has no result, so nothing is left to pop.
            SRV->LuaPushObject(Frame);
            SRV->GetLastError();
            QZRealmBase_ExecNameScript(realm, "OnFrameData", 1, 0);
            realm = (StructOfQZRealmBase *)FindRealm(RealmID);
            if (realm == NULL)
                return 1;
        }
        // Letting go of a datum runs its scripts, which may free the realm.
        for (void *Data = SRV->QueryFirst(&realm->EnvDataQueue); Data != NULL;) {
            QZRealmBase_EnvLeft_Internal(realm, Data);
            TrelkSched_Drop(Data);
            realm = (StructOfQZRealmBase *)FindRealm(RealmID);
            if (realm == NULL)
                return 1;
            Data = SRV->QueryFirst(&realm->EnvDataQueue);
        }
    }
    LocalBuf = QZRealmBase_GetLocalBuf_Internal(realm);
    if (LocalBuf != NULL && LocalBuf->QZRealmFrameDataInst != NULL) {
        // The script it was shown to may have freed the frame.
        void *Current = Trelk_IsZeroID(&FrameID) ? NULL : SRV->GetObject(&FrameID);
        if (Current == LocalBuf->QZRealmFrameDataInst) {
            // A frame no script was shown is freed here: the host collects
            // only objects a script once held.
            if (Shown)
                SRV->UnLockGC(Current);
            else
                SRV->FreeObject(Current);
        }
        LocalBuf->QZRealmFrameDataInst = NULL;
    }
    return 1;
}

VS_INT32 Tarvex_ScheduleRealm(StructOfQZRealmBase *realm, VS_BOOL *AnyActionHappen)
{
    if (realm == NULL)
        return 1;
    if (QZObject_XRQControlInteface == NULL || QZObject_XRQInterface == NULL) {
        realm->ExecuteStage = QZREALM_STAGE_FINISHED;
        return 1;
    }
    VS_UUID RealmID = SRV->GetID(realm);
    if (realm->ExecuteStage == QZREALM_STAGE_FINISHED)
        realm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
    else if (realm->ExecuteStage == QZREALM_STAGE_IDLE) {
        TrelkSched_CallRealm(realm, "OnStopIdle", 0, 0, "calls the function OnStopIdle failed");
        realm = (StructOfQZRealmBase *)FindRealm(&RealmID);
        if (realm == NULL)
            return 1;
        realm->ExecuteStage = QZREALM_STAGE_NOTSTARTED;
    }
    if (realm->ExecuteStage == QZREALM_STAGE_NOTSTARTED) {
        if (!OpenCycle(realm, &RealmID))
            return 1;
        realm = (StructOfQZRealmBase *)FindRealm(&RealmID);
    }
    VS_BOOL Changed = VS_FALSE;
    realm->ScheduleTickCount++;
    realm->DataSequenceIndex = 0;
    // The cells of this step, by ID: a cell may leave the queue, or be
    // freed, while another one runs.
    TrelkVector<VS_UUID> Cells;
    for (void *Cell = SRV->QueryFirst(&realm->QZCellQueue); Cell != NULL; Cell = SRV->QueryNext(Cell))
        Cells.push_back(SRV->GetID(Cell));
    OBJECTATTRIBUTEINDEX CellQueue = Trelk_ClassAttrIndex(QZRealmBaseClass, "QZCellQueue");
    for (VS_UUID &CellID : Cells) {
        realm = (StructOfQZRealmBase *)FindRealm(&RealmID);
        if (realm == NULL)
            return 1;
        void *Cell = SRV->GetObject(&CellID);
        if (Cell == NULL || SRV->GetParent(Cell) != realm || SRV->GetIndex(Cell) != CellQueue)
            continue;
        if (StepCell(&RealmID, &CellID))
            Changed = VS_TRUE;
    }
    realm = (StructOfQZRealmBase *)FindRealm(&RealmID);
    if (realm == NULL)
        return 1;
    StepFrame(realm);
    // Letting go of active objects runs their scripts, which may free the
    // realm.
    realm = (StructOfQZRealmBase *)FindRealm(&RealmID);
    if (realm == NULL)
        return 1;
    TrimActiveObjects(realm);
    realm = (StructOfQZRealmBase *)FindRealm(&RealmID);
    if (realm == NULL)
        return 1;
    if (Changed && AnyActionHappen != NULL)
        *AnyActionHappen = VS_TRUE;
    if (!Changed) {
        VS_INT32 Outcome = TrelkSched_CallRealm(realm, "OnAfterExecute", 0, 1, "calls the function OnAfterExecute failed");
        if (Outcome == TRELK_CALL_OK && SRV->LuaToBool(-1))
            Changed = VS_TRUE;
        SRV->LuaPop(1);
    }
    if (Changed)
        return 0;
    return EndCycle(&RealmID);
}
