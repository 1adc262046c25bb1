// Status packages: what a realm's cells, their runners, the procs the runners
// execute, the procs' inputs and outputs and the data in between look like
// right now, for a monitor or a drawing tool; with positions, also where each
// shape goes (QZRealmBase_StatusLayout.cpp).
//
// The layout constants and table are module-wide, so one lock serialises the
// part of a query that uses them. It is taken after the host locks and never
// held across a script call or a lock release: the one script call of a query
// ("BreakOnProcContinue") is made before it, since that call lets a stepping
// thread run and may itself ask for a status.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"

#include <cinttypes>
#include <cstdio>

// Made by start-up, dropped by shutdown.
static VS_MUTEX GetStatusMutex;
static VS_BOOL GetStatusMutexReady = VS_FALSE;

void TrelkStatus_Start()
{
    if (!GetStatusMutexReady)
        GetStatusMutexReady = vs_mutex_init(&GetStatusMutex);
}

void TrelkStatus_Stop()
{
    if (GetStatusMutexReady) {
        GetStatusMutexReady = VS_FALSE;
        vs_mutex_destory(&GetStatusMutex);
    }
}

void TrelkStatus_Lock()
{
    if (GetStatusMutexReady)
        vs_mutex_lock(&GetStatusMutex);
}

void TrelkStatus_UnLock()
{
    if (GetStatusMutexReady)
        vs_mutex_unlock(&GetStatusMutex);
}

// At most this many environment data of a cell are listed.
#define GETSTATUS_MAXENVDATA 48

static const VS_CHAR *IDText(VS_UUID *ID)
{
    const VS_CHAR *Text = SRV->UuidToString(ID);
    return Text != NULL ? Text : "";
}

static VS_BOOL IsProc(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcBaseClass);
}

// The next proc of a walk along QZProcNext, or NULL at the end; a proc met
// before on this walk also ends it, so that a linked cycle cannot hold the
// query.
static StructOfQZProcBase *NextProc(StructOfQZProcBase *Proc, void *Seen)
{
    void *Next = Proc->QZProcNext != NULL ? SRV->AtomicToObject(Proc->QZProcNext) : NULL;
    if (!IsProc(Next))
        return NULL;
    if (Seen != NULL) {
        if (SRV->FindIDKey(Seen, SRV->GetIDEx(Next)) != NULL)
            return NULL;
        SRV->InsertIDKey(Seen, SRV->GetIDEx(Next), Next);
    }
    return (StructOfQZProcBase *)Next;
}

static StructOfQZProcBase *FirstProc(VS_UUID *StartID, void *Seen)
{
    void *First = Trelk_IsZeroID(StartID) ? NULL : SRV->GetObject(StartID);
    if (!IsProc(First))
        return NULL;
    if (Seen != NULL)
        SRV->InsertIDKey(Seen, SRV->GetIDEx(First), First);
    return (StructOfQZProcBase *)First;
}

static void PutPkg(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_PARAPKGPTR Value)
{
    Pkg->InsertStr(Pkg->GetNumber(), Key);
    Pkg->InsertParaPackage(Pkg->GetNumber(), Value);
}

static void PutTick(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_INT64 Value)
{
    VS_CHAR Text[32];
    snprintf(Text, sizeof(Text), "%" PRId64, (int64_t)Value);
    TrelkStatus_PutStr(Pkg, Key, Text);
}

static VS_PARAPKGPTR NewDict()
{
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    Pkg->AsDict(VS_TRUE);
    return Pkg;
}

// ---------------------------------------------------------------------------
// Data, inputs and outputs
// ---------------------------------------------------------------------------
VS_PARAPKGPTR QZRealmBase_GetStatus_QZData(StructOfQZDataBase *QZData)
{
    VS_PARAPKGPTR Pkg = NewDict();
    TrelkStatus_PutStr(Pkg, "Type", "QZData");
    TrelkStatus_PutStr(Pkg, "ObjectName", Trelk_Name(QZData));
    TrelkStatus_PutStr(Pkg, "ObjectID", Trelk_IDText(QZData));
    if (!Trelk_IsZeroID(&QZData->OwnerProcID))
        TrelkStatus_PutStr(Pkg, "OwnerProcID", IDText(&QZData->OwnerProcID));
    Pkg->InsertStr(Pkg->GetNumber(), "ScheduleTickCount");
    Pkg->InsertInt64(Pkg->GetNumber(), QZData->ScheduleTickCount);
    Pkg->InsertStr(Pkg->GetNumber(), "UniformTick");
    Pkg->InsertInt64(Pkg->GetNumber(), QZData->UniformTick);
    return Pkg;
}

// Name of the object with that ID; NULL when it is gone.
static const VS_CHAR *NameOfID(VS_UUID *ID)
{
    void *Object = SRV->GetObject(ID);
    return Object != NULL ? Trelk_Name(Object) : NULL;
}

VS_PARAPKGPTR QZRealmBase_GetStatus_QZDataInputContainer(StructOfQZProcBase *QZProc,
                                                         StructOfQZDataInputContainer *Container)
{
    const VS_CHAR *DataBaseName = NameOfID(&Container->DataBaseID);
    if (DataBaseName == NULL)
        return NULL;
    VS_PARAPKGPTR Pkg = NewDict();
    TrelkStatus_PutInt(Pkg, "RequestNumber", Container->RequestNumber);
    TrelkStatus_PutBool(Pkg, "IsOnlyDirect", Container->IsOnlyDirect);
    TrelkStatus_PutBool(Pkg, "IsSlave", Container->IsSlave);
    TrelkStatus_PutBool(Pkg, "IsMustExist", Container->IsMustExist);
    TrelkStatus_PutBool(Pkg, "IsFromInternal", Container->IsFromInternal);
    TrelkStatus_PutStr(Pkg, "DataBaseName", DataBaseName);
    TrelkStatus_PutStr(Pkg, "ObjectID", Trelk_IDText(Container));
    TrelkStatus_PutStr(Pkg, "ParentID", Trelk_IDText(QZProc));
    if (Container->DataLocalBuf != NULL) {
        VS_CHAR *Json = Container->DataLocalBuf->ToJSon();
        if (Json != NULL) {
            TrelkStatus_PutStr(Pkg, "DataLocalBuf", Json);
            Container->DataLocalBuf->FreeBuf(Json);
        }
    }
    if (!Trelk_IsZeroID(&Container->QZProcID))
        TrelkStatus_PutStr(Pkg, "QZProcID", IDText(&Container->QZProcID));
    if (SRV->QueryFirst(&Container->DataQueue) != NULL) {
        VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
        for (void *X = SRV->QueryFirst(&Container->DataQueue); X != NULL; X = SRV->QueryNext(X)) {
            if (!Trelk_IsInstOf(X, QZObjectPointerWithChangeFlagClass))
                continue;
            StructOfQZObjectPointerWithChangeFlag *Item = (StructOfQZObjectPointerWithChangeFlag *)X;
            VS_PARAPKGPTR ItemPkg = NewDict();
            TrelkStatus_PutBool(ItemPkg, "ChangeFlag", Item->ChangeFlag);
            TrelkStatus_PutStr(ItemPkg, "ObjectID", IDText(&Item->ObjectID));
            TrelkStatus_PutStr(ItemPkg, "ParentID", Trelk_IDText(Container));
            List->InsertParaPackage(List->GetNumber(), ItemPkg);
            ItemPkg->Release();
        }
        PutPkg(Pkg, "DataQueue", List);
        List->Release();
    }
    return Pkg;
}

VS_PARAPKGPTR QZRealmBase_GetStatus_QZDataOutputContainer(StructOfQZProcBase *QZProc,
                                                          StructOfQZDataOutputContainer *Container)
{
    const VS_CHAR *DataBaseName = NameOfID(&Container->DataBaseID);
    if (DataBaseName == NULL)
        return NULL;
    const VS_CHAR *OriginalName = NULL;
    if (!Trelk_IsZeroID(&Container->OriginalDataBaseID)) {
        OriginalName = NameOfID(&Container->OriginalDataBaseID);
        if (OriginalName == NULL)
            return NULL;
    }
    VS_PARAPKGPTR Pkg = NewDict();
    TrelkStatus_PutStr(Pkg, "DataBaseName", DataBaseName);
    if (OriginalName != NULL)
        TrelkStatus_PutStr(Pkg, "OriginalDataBaseName", OriginalName);
    TrelkStatus_PutStr(Pkg, "ObjectID", Trelk_IDText(Container));
    TrelkStatus_PutStr(Pkg, "ParentID", Trelk_IDText(QZProc));
    if (Container->IsMustExist)
        TrelkStatus_PutBool(Pkg, "IsMustExist", VS_TRUE);
    if (Container->ReturnNumber != 1)
        TrelkStatus_PutInt(Pkg, "ReturnNumber", Container->ReturnNumber);
    if (SRV->QueryFirst(&Container->QZData) != NULL) {
        VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
        for (void *X = SRV->QueryFirst(&Container->QZData); X != NULL; X = SRV->QueryNext(X)) {
            if (!Trelk_IsInstOf(X, QZDataBaseClass))
                continue;
            VS_PARAPKGPTR DataPkg = QZRealmBase_GetStatus_QZData((StructOfQZDataBase *)X);
            TrelkStatus_PutStr(DataPkg, "ParentID", Trelk_IDText(Container));
            List->InsertParaPackage(List->GetNumber(), DataPkg);
            DataPkg->Release();
        }
        PutPkg(Pkg, "QZData", List);
        List->Release();
    }
    return Pkg;
}

// ---------------------------------------------------------------------------
// Procs and child chains
// ---------------------------------------------------------------------------
// The container descriptions of one queue of the proc; FALSE when one fails.
static VS_BOOL PutContainers(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, StructOfQZProcBase *QZProc, void *QueueHead,
                             VS_BOOL IsInput)
{
    if (SRV->QueryFirst(QueueHead) == NULL)
        return VS_TRUE;
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    for (void *X = SRV->QueryFirst(QueueHead); X != NULL; X = SRV->QueryNext(X)) {
        VS_PARAPKGPTR Item = NULL;
        if (IsInput && Trelk_IsInstOf(X, QZDataInputContainerClass))
            Item = QZRealmBase_GetStatus_QZDataInputContainer(QZProc, (StructOfQZDataInputContainer *)X);
        else if (!IsInput && Trelk_IsInstOf(X, QZDataOutputContainerClass))
            Item = QZRealmBase_GetStatus_QZDataOutputContainer(QZProc, (StructOfQZDataOutputContainer *)X);
        else
            continue;
        if (Item == NULL) {
            List->Release();
            return VS_FALSE;
        }
        List->InsertParaPackage(List->GetNumber(), Item);
        Item->Release();
    }
    PutPkg(Pkg, Key, List);
    List->Release();
    return VS_TRUE;
}

// The cell's runners by the order status queries first saw them: runners
// that left the cell drop out, new ones join at the tail in queue order.
static void UpdateRunnerOrder(StructOfQZCellBase *QZCell, StructOfQZProcBaseLocalBuf *LocalBuf)
{
    void *Present = SRV->CreateIDIndex_Nor(0);
    void *Listed = SRV->CreateIDIndex_Nor(0);
    if (Present == NULL || Listed == NULL) {
        if (Present != NULL)
            SRV->DestoryIndex(Present);
        if (Listed != NULL)
            SRV->DestoryIndex(Listed);
        return;
    }
    for (void *X = SRV->QueryFirst(&QZCell->NormalRunnerQueue); X != NULL; X = SRV->QueryNext(X))
        SRV->InsertIDKey(Present, SRV->GetIDEx(X), X);
    StructOfObjectIDChangeSequence *Item = LocalBuf->RunnerSequenceForGetStatusHead;
    while (Item != NULL) {
        StructOfObjectIDChangeSequence *Next = Item->Down;
        if (SRV->FindIDKey(Present, &Item->ObjectID) == NULL || SRV->FindIDKey(Listed, &Item->ObjectID) != NULL) {
            if (Item->Up != NULL)
                Item->Up->Down = Item->Down;
            else
                LocalBuf->RunnerSequenceForGetStatusHead = Item->Down;
            if (Item->Down != NULL)
                Item->Down->Up = Item->Up;
            else
                LocalBuf->RunnerSequenceForGetStatusTail = Item->Up;
            SRV->Free(Item);
        } else {
            SRV->InsertIDKey(Listed, &Item->ObjectID, Item);
        }
        Item = Next;
    }
    for (void *X = SRV->QueryFirst(&QZCell->NormalRunnerQueue); X != NULL; X = SRV->QueryNext(X)) {
        if (SRV->FindIDKey(Listed, SRV->GetIDEx(X)) != NULL)
            continue;
        StructOfObjectIDChangeSequence *NewItem =
            (StructOfObjectIDChangeSequence *)SRV->Malloc_Nor(sizeof(StructOfObjectIDChangeSequence));
        if (NewItem == NULL)
            break;
        memset(NewItem, 0, sizeof(*NewItem));
        NewItem->ObjectID = SRV->GetID(X);
        NewItem->Up = LocalBuf->RunnerSequenceForGetStatusTail;
        if (NewItem->Up != NULL)
            NewItem->Up->Down = NewItem;
        else
            LocalBuf->RunnerSequenceForGetStatusHead = NewItem;
        LocalBuf->RunnerSequenceForGetStatusTail = NewItem;
        SRV->InsertIDKey(Listed, &NewItem->ObjectID, NewItem);
    }
    SRV->DestoryIndex(Present);
    SRV->DestoryIndex(Listed);
}

// The cell's environment data, oldest stamp first, at most 48; data sharing
// a stamp all appear, in queue order. Each also gets its circle.
static void PutEnvData(VS_PARAPKGPTR Pkg, VS_PARAPKGPTR Elements, StructOfQZCellBase *QZCell, VS_INT64 Left,
                       VS_INT32 *Listed)
{
    *Listed = 0;
    void *Index = SRV->CreateIndex_Nor(3, 0);
    if (Index == NULL)
        return;
    for (void *X = SRV->QueryFirst(&QZCell->EnvDataQueue); X != NULL; X = SRV->QueryNext(X)) {
        if (!Trelk_IsInstOf(X, QZDataBaseClass))
            continue;
        StructOfQZDataBase *Data = (StructOfQZDataBase *)X;
        VS_UWORD K1 = (VS_UWORD)((uint64_t)Data->ScheduleTickCount & 0xFFFFFFFFu);
        VS_UWORD K2 = (VS_UWORD)((uint64_t)Data->ScheduleTickCount >> 32);
        VS_UWORD K3 = (VS_UWORD)Data->SequenceIndex;
        VS_PARAPKGPTR Same = (VS_PARAPKGPTR)SRV->FindThreeKey(Index, K1, K2, K3);
        if (Same == NULL) {
            Same = Trelk_GetParaPkgInterface(__LINE__);
            if (!SRV->InsertThreeKey(Index, K1, K2, K3, Same)) {
                Same->Release();
                continue;
            }
        }
        Same->InsertObject(Same->GetNumber(), X);
    }
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    VS_UWORD K1, K2, K3;
    for (void *V = SRV->QueryFirstThreeKey(Index, &K1, &K2, &K3); V != NULL;
         V = SRV->QueryNextThreeKey(Index, &K1, &K2, &K3)) {
        VS_PARAPKGPTR Same = (VS_PARAPKGPTR)V;
        for (VS_INT32 i = 0; i < Same->GetNumber() && *Listed < GETSTATUS_MAXENVDATA; i++) {
            StructOfQZDataBase *Data = (StructOfQZDataBase *)Same->GetObject(i);
            if (Data == NULL)
                continue;
            VS_PARAPKGPTR DataPkg = QZRealmBase_GetStatus_QZData(Data);
            TrelkStatus_PutStr(DataPkg, "ParentID", Trelk_IDText(QZCell));
            if (Elements != NULL) {
                VS_PARAPKGPTR Circle = TrelkStatus_EnvDataElement(DataPkg, *Listed, Left);
                Elements->InsertParaPackage(Elements->GetNumber(), Circle);
                Circle->Release();
            }
            List->InsertParaPackage(List->GetNumber(), DataPkg);
            DataPkg->Release();
            (*Listed)++;
        }
        Same->Release();
    }
    SRV->DestoryIndex(Index);
    PutPkg(Pkg, "EnvDataQueue", List);
    List->Release();
}

// The cell's own keys when it is described for itself (not as a runner's
// proc): readiness, its parent cell, environment data, shapes and runners.
static VS_BOOL PutCellKeys(VS_PARAPKGPTR Pkg, StructOfQZCellBase *QZCell, VS_BOOL WithPos, VS_INT64 Left)
{
    TrelkStatus_PutBool(Pkg, "IsReady", QZCell->IsReady);
    void *Parent = SRV->GetParent(QZCell);
    if (Trelk_IsInstOf(Parent, QZProcRunnerBaseClass)) {
        void *GrandParent = SRV->GetParent(Parent);
        if (Trelk_IsInstOf(GrandParent, QZCellBaseClass))
            TrelkStatus_PutStr(Pkg, "ParentCell", Trelk_IDText(GrandParent));
    }
    VS_BOOL HasRunner = SRV->QueryFirst(&QZCell->NormalRunnerQueue) != NULL ? VS_TRUE : VS_FALSE;
    VS_PARAPKGPTR Elements = WithPos ? Trelk_GetParaPkgInterface(__LINE__) : NULL;
    VS_INT32 Listed = 0;
    if (HasRunner && SRV->QueryFirst(&QZCell->EnvDataQueue) != NULL)
        PutEnvData(Pkg, Elements, QZCell, Left, &Listed);
    if (Elements != NULL) {
        PutPkg(Pkg, "Elements", Elements);
        Elements->Release();
    }
    if (!HasRunner)
        return VS_TRUE;

    StructOfQZProcBaseLocalBuf *LocalBuf = QZProcBase_GetProcLocalBuf(QZCell);
    if (LocalBuf != NULL)
        UpdateRunnerOrder(QZCell, LocalBuf);
    VS_INT64 Offset = Listed > 0 ? 2 * (VS_INT64)GETSTATUS_QZDATA_RADIUS + GETSTATUS_QZPROC_VINTERVAL : 0;
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    // Without a private buffer there is no order to keep: queue order.
    StructOfObjectIDChangeSequence *Item = LocalBuf != NULL ? LocalBuf->RunnerSequenceForGetStatusHead : NULL;
    void *X = LocalBuf != NULL ? NULL : SRV->QueryFirst(&QZCell->NormalRunnerQueue);
    while (Item != NULL || X != NULL) {
        void *Runner = Item != NULL ? SRV->GetObject(&Item->ObjectID) : X;
        if (Item != NULL)
            Item = Item->Down;
        else
            X = SRV->QueryNext(X);
        if (!Trelk_IsInstOf(Runner, QZProcRunnerBaseClass))
            continue;
        VS_PARAPKGPTR RunnerPkg =
            QZRealmBase_GetStatus_QZProcRunner((StructOfQZProcRunnerBase *)Runner, WithPos, Offset);
        if (RunnerPkg == NULL) {
            List->Release();
            return VS_FALSE;
        }
        TrelkStatus_PutStr(RunnerPkg, "ParentID", Trelk_IDText(QZCell));
        VS_INT32 Height = RunnerPkg->FindDict("Height");
        if (Height >= 0)
            Offset += RunnerPkg->GetInt(Height);
        List->InsertParaPackage(List->GetNumber(), RunnerPkg);
        RunnerPkg->Release();
    }
    PutPkg(Pkg, "NormalRunnerQueue", List);
    List->Release();
    return VS_TRUE;
}

VS_PARAPKGPTR QZRealmBase_GetStatus_QZProc(StructOfQZProcRunnerBase *QZRunner, StructOfQZProcBase *QZProc,
                                           VS_BOOL WithPos, VS_INT32 Layer, VS_INT64 Left, VS_INT64 *Width)
{
    const VS_BOOL IsCell = Trelk_IsInstOf(QZProc, QZCellBaseClass);
    const VS_BOOL IsRemote = !IsCell && Trelk_IsInstOf(QZProc, QZProcRemoteBaseClass);
    const VS_INT64 BaseWidth = TrelkStatus_ProcBaseWidth();
    VS_INT64 ProcWidth = BaseWidth;

    VS_PARAPKGPTR Pkg = NewDict();
    TrelkStatus_PutStr(Pkg, "Type", IsCell ? "QZCell" : (IsRemote ? "QZProcRemote" : "QZProc"));
    TrelkStatus_PutStr(Pkg, "ObjectName", Trelk_Name(QZProc));
    TrelkStatus_PutStr(Pkg, "ObjectID", Trelk_IDText(QZProc));
    TrelkStatus_PutBool(Pkg, "IsSuspend", QZProc->IsSuspend);
    TrelkStatus_PutInt(Pkg, "ErrorCount", QZProc->ErrorCount);
    TrelkStatus_PutBool(Pkg, "ChildEndMarker", QZProc->ChildEndMarker);
    if (QZRunner != NULL && QZRunner->CurrentQZProcIndexTree != NULL) {
        VS_UUID ProcID = SRV->GetID(QZProc);
        if (SRV->FindIDKey(QZRunner->CurrentQZProcIndexTree, &ProcID) != NULL)
            TrelkStatus_PutBool(Pkg, "IsCurrent", VS_TRUE);
    }
    TrelkStatus_PutInt(Pkg, "Status", QZProc->Status);
    TrelkStatus_PutInt(Pkg, "EnvDataSkipCount", (VS_INT32)QZProc->EnvDataSkipCount);
    PutTick(Pkg, "NextRunTick", QZProc->NextRunTick);

    if (QZRunner != NULL) {
        if (!PutContainers(Pkg, "InputQueue", QZProc, &QZProc->InputQueue, VS_TRUE) ||
            !PutContainers(Pkg, "OutputQueue", QZProc, &QZProc->OutputQueue, VS_FALSE)) {
            Pkg->Release();
            return NULL;
        }
        if (SRV->QueryFirst(&QZProc->QZProcChild) != NULL) {
            const VS_INT64 ChildLeft = Left + BaseWidth + GETSTATUS_QZPROC_HINTERVAL;
            VS_PARAPKGPTR ChildList = Trelk_GetParaPkgInterface(__LINE__);
            for (void *X = SRV->QueryFirst(&QZProc->QZProcChild); X != NULL; X = SRV->QueryNext(X)) {
                if (!Trelk_IsInstOf(X, QZProcChainBaseClass))
                    continue;
                VS_INT64 ChainWidth = 0;
                if (QZRealmBase_GetStatus_QZProcChain(QZProc, QZRunner, (StructOfQZProcChainBase *)X, ChildList,
                                                      WithPos, Layer + 1, ChildLeft, &ChainWidth) == NULL) {
                    ChildList->Release();
                    Pkg->Release();
                    return NULL;
                }
                if (ChainWidth + BaseWidth + GETSTATUS_QZPROC_HINTERVAL > ProcWidth)
                    ProcWidth = ChainWidth + BaseWidth + GETSTATUS_QZPROC_HINTERVAL;
            }
            PutPkg(Pkg, "QZProcChild", ChildList);
            ChildList->Release();
        }
        if (WithPos && Layer < GETSTATUS_MAXLAYER)
            TrelkStatus_ProcElements(Pkg, Layer, Left);
        if (IsRemote) {
            StructOfQZProcRemoteBase *Remote = (StructOfQZProcRemoteBase *)QZProc;
            if (Remote->Url.Buf != NULL)
                TrelkStatus_PutStr(Pkg, "Url", Remote->Url.Buf);
            if (Remote->RemoteQZProcName.Buf != NULL)
                TrelkStatus_PutStr(Pkg, "RemoteQZProcName", Remote->RemoteQZProcName.Buf);
        }
    } else if (IsCell) {
        if (!PutCellKeys(Pkg, (StructOfQZCellBase *)QZProc, WithPos, Left)) {
            Pkg->Release();
            return NULL;
        }
    }
    if (Width != NULL)
        *Width = ProcWidth;
    return Pkg;
}

VS_PARAPKGPTR QZRealmBase_GetStatus_QZProcChain(StructOfQZProcBase *ParentProc, StructOfQZProcRunnerBase *QZRunner,
                                                StructOfQZProcChainBase *QZChain, VS_PARAPKGPTR ChildList,
                                                VS_BOOL WithPos, VS_INT32 Layer, VS_INT64 Left, VS_INT64 *Width)
{
    void *Seen = SRV->CreateIDIndex_Nor(0);
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    VS_INT64 Edge = Left;
    StructOfQZProcBase *First = FirstProc(&QZChain->QZProcStart, Seen);
    for (StructOfQZProcBase *P = First; P != NULL;) {
        VS_INT64 ProcWidth = 0;
        VS_PARAPKGPTR ProcPkg = QZRealmBase_GetStatus_QZProc(QZRunner, P, WithPos, Layer, Edge, &ProcWidth);
        if (ProcPkg == NULL) {
            List->Release();
            if (Seen != NULL)
                SRV->DestoryIndex(Seen);
            return NULL;
        }
        if (P->ChildEndMarker && P->QZProcNext != NULL) {
            void *Next = SRV->AtomicToObject(P->QZProcNext);
            if (Next != NULL)
                TrelkStatus_PutStr(ProcPkg, "QZProcNext", Trelk_IDText(Next));
        }
        TrelkStatus_PutStr(ProcPkg, "ParentID", Trelk_IDText(ParentProc));
        List->InsertParaPackage(List->GetNumber(), ProcPkg);
        ProcPkg->Release();
        Edge += ProcWidth + GETSTATUS_QZPROC_HINTERVAL;
        if (P->ChildEndMarker)
            break;
        P = NextProc(P, Seen);
    }
    if (Seen != NULL)
        SRV->DestoryIndex(Seen);
    if (Width != NULL)
        *Width = First != NULL ? Edge - Left - GETSTATUS_QZPROC_HINTERVAL : 0;
    if (First != NULL)
        ChildList->InsertParaPackage(ChildList->GetNumber(), List);
    List->Release();
    return ChildList;
}

VS_PARAPKGPTR QZRealmBase_GetStatus_QZProcRunner(StructOfQZProcRunnerBase *QZRunner, VS_BOOL WithPos,
                                                 VS_INT64 VerticalOffset)
{
    VS_PARAPKGPTR Pkg = NewDict();
    TrelkStatus_PutStr(Pkg, "Type", "QZProcRunner");
    TrelkStatus_PutStr(Pkg, "ObjectName", Trelk_Name(QZRunner));
    TrelkStatus_PutStr(Pkg, "ObjectID", Trelk_IDText(QZRunner));
    TrelkStatus_PutBool(Pkg, "IsFinish", QZRunner->IsFinish);
    if (WithPos)
        QZRealmBase_GetStatus_FreeGetStatusPositionItem();

    void *Seen = SRV->CreateIDIndex_Nor(0);
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    VS_INT64 Edge = TrelkStatus_StartEdge();
    StructOfQZProcBase *First = FirstProc(&QZRunner->QZProcStart, Seen);
    for (StructOfQZProcBase *P = First; P != NULL; P = NextProc(P, Seen)) {
        VS_INT64 ProcWidth = 0;
        VS_PARAPKGPTR ProcPkg = QZRealmBase_GetStatus_QZProc(QZRunner, P, WithPos, 0, Edge, &ProcWidth);
        if (ProcPkg == NULL) {
            List->Release();
            Pkg->Release();
            if (Seen != NULL)
                SRV->DestoryIndex(Seen);
            if (WithPos)
                QZRealmBase_GetStatus_FreeGetStatusPositionItem();
            return NULL;
        }
        TrelkStatus_PutStr(ProcPkg, "ParentID", Trelk_IDText(QZRunner));
        List->InsertParaPackage(List->GetNumber(), ProcPkg);
        ProcPkg->Release();
        Edge += ProcWidth + GETSTATUS_QZPROC_HINTERVAL;
    }
    if (Seen != NULL)
        SRV->DestoryIndex(Seen);
    if (First != NULL)
        PutPkg(Pkg, "QZProcStart", List);
    List->Release();
    if (WithPos)
        TrelkStatus_RunnerBands(Pkg, First != NULL ? VS_TRUE : VS_FALSE, Edge, VerticalOffset);
    return Pkg;
}

// ---------------------------------------------------------------------------
// The query
// ---------------------------------------------------------------------------
// Layout (W, H, HI, VI, R), when given, becomes the module's layout for this
// query and the later ones.
static VS_PARAPKGPTR StatusQuery(StructOfQZRealmBase *QZRealm, void *Object, VS_BOOL WithPos,
                                 const VS_INT32 *Layout)
{
    const VS_BOOL TraceFlag = QZRealm->TraceFlag;
    const VS_INT32 ExecuteStage = QZRealm->ExecuteStage;
    const VS_INT64 ScheduleTickCount = QZRealm->ScheduleTickCount;
    const VS_BOOL HasObject = Object != NULL ? VS_TRUE : VS_FALSE;
    VS_BOOL IsCell = Trelk_IsInstOf(Object, QZCellBaseClass);

    if (IsCell && SRV->QueryFirst(&((StructOfQZCellBase *)Object)->NormalRunnerQueue) == NULL) {
        // A realm stopped at a proc goes on by one step before its cell is
        // described. The script call may free anything: the cell is found
        // again by its ID, and the realm is not touched again.
        VS_UUID CellID = SRV->GetID(Object);
        VS_UUID RealmID = SRV->GetID(QZRealm);
        SRV->LuaPushObject(QZRealm);
        SRV->GetLastError();
        QZRealmBase_ExecNameScript(QZRealm, "BreakOnProcContinue", 1, 0);
        QZProcChain_IsExecNameScriptError(SRV->GetObject(&RealmID), "calls the function BreakOnProcContinue failed");
        Object = SRV->GetObject(&CellID);
        IsCell = Trelk_IsInstOf(Object, QZCellBaseClass);
        QZRealm = NULL;
    }

    TrelkStatus_Lock();
    if (Layout != NULL) {
        GETSTATUS_QZPROC_WIDTH = Layout[0];
        GETSTATUS_QZPROC_HEIGHT = Layout[1];
        GETSTATUS_QZPROC_HINTERVAL = Layout[2];
        GETSTATUS_QZPROC_VINTERVAL = Layout[3];
        GETSTATUS_QZDATA_RADIUS = Layout[4];
    }
    VS_PARAPKGPTR Result = NewDict();
    if (HasObject && !IsCell) {
        TrelkStatus_UnLock();
        return Result;
    }
    TrelkStatus_PutBool(Result, "TraceFlag", TraceFlag);
    TrelkStatus_PutInt(Result, "ExecuteStage", ExecuteStage);
    PutTick(Result, "ScheduleTickCount", ScheduleTickCount);
    if (WithPos) {
        TrelkStatus_PutInt(Result, "ProcWidth", GETSTATUS_QZPROC_WIDTH);
        TrelkStatus_PutInt(Result, "ProcHeight", GETSTATUS_QZPROC_HEIGHT);
        TrelkStatus_PutInt(Result, "DataRadius", GETSTATUS_QZDATA_RADIUS);
        TrelkStatus_PutInt(Result, "HInterval", GETSTATUS_QZPROC_HINTERVAL);
        TrelkStatus_PutInt(Result, "VInterval", GETSTATUS_QZPROC_VINTERVAL);
    }
    const VS_INT64 Left = TrelkStatus_StartEdge();
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL Failed = VS_FALSE;
    if (HasObject) {
        VS_PARAPKGPTR CellPkg = QZRealmBase_GetStatus_QZProc(NULL, (StructOfQZProcBase *)Object, WithPos, -1, Left,
                                                             NULL);
        if (CellPkg == NULL) {
            Failed = VS_TRUE;
        } else {
            List->InsertParaPackage(List->GetNumber(), CellPkg);
            CellPkg->Release();
        }
    } else {
        for (void *X = SRV->QueryFirst(&QZRealm->QZCellQueue); X != NULL && !Failed; X = SRV->QueryNext(X)) {
            if (!Trelk_IsInstOf(X, QZCellBaseClass))
                continue;
            StructOfQZCellBase *Cell = (StructOfQZCellBase *)X;
            VS_PARAPKGPTR CellPkg = QZRealmBase_GetStatus_QZProc(NULL, Cell, WithPos, -1, Left, NULL);
            if (CellPkg == NULL) {
                Failed = VS_TRUE;
                break;
            }
            TrelkStatus_PutStr(CellPkg, "RunningStatus", Cell->IsReady ? "Running" : "Finish");
            List->InsertParaPackage(List->GetNumber(), CellPkg);
            CellPkg->Release();
        }
    }
    // A runner description that failed has emptied the table already; this
    // keeps it empty whatever happened.
    QZRealmBase_GetStatus_FreeGetStatusPositionItem();
    TrelkStatus_UnLock();
    if (Failed) {
        List->Release();
        Result->Clear();
        return Result;
    }
    PutPkg(Result, "ObjectList", List);
    List->Release();
    return Result;
}

VS_PARAPKGPTR QZRealmBase_GetStatus_Internal(StructOfQZRealmBase *QZRealm, void *Object, VS_BOOL WithPos)
{
    return StatusQuery(QZRealm, Object, WithPos, NULL);
}

// VS_PARAPKGPTR GetStatus(void *Object)
VS_INT32 QZRealmBase_GetStatus(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    SRV->LuaPushParaPkg(StatusQuery(Self, Trelk_ObjectArg(2), VS_FALSE, NULL), VS_TRUE);
    return 1;
}

// VS_PARAPKGPTR GetStatusWithPos(void *Object, VS_INT32 ProcWidth, VS_INT32 ProcHeight, VS_INT32 ProcHSpace,
//                                VS_INT32 ProcVSpace, VS_INT32 DataRadius)
VS_INT32 QZRealmBase_GetStatusWithPos(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    void *Object = Trelk_ObjectArg(2);
    // W, H, HI, VI, R; a 0 (also a missing size) takes the default.
    static const VS_INT32 Defaults[5] = {90, 120, 40, 60, 10};
    VS_INT32 Layout[5];
    for (VS_INT32 i = 0; i < 5; i++) {
        // Any other value is the caller's: the geometry is worked in 64 bits
        // and written clamped, so even a negative size draws something.
        VS_INT32 Value = SRV->LuaGetTop() >= 3 + i ? SRV->LuaToInt(3 + i) : 0;
        Layout[i] = Value == 0 ? Defaults[i] : Value;
    }
    SRV->LuaPushParaPkg(StatusQuery(Self, Object, VS_TRUE, Layout), VS_TRUE);
    return 1;
}
