// The saved forms of procs, their inputs and outputs, and proc chains, with
// child chains and cell chains in canonical order. Records leave out every
// key that holds its default, so that a record describes only what is
// particular to the proc.
#include "trelk_proc_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>


// The chains whose records are being written, innermost first: a child
// chain's last proc names its rejoin proc by position in the enclosing chain
// when no object IDs are saved, since the ID of that proc is then nowhere in
// the record and could not be linked again on load.
struct StructOfSaveChainContext {
    StructOfQZProcBase *First;
    StructOfSaveChainContext *Up;
};
static thread_local StructOfSaveChainContext *SaveChainContext = NULL;
// Depth of the proc record being written, as the loader counts it.
static thread_local VS_INT32 SaveDepth = 0;

static void AppendKey(VS_PARAPKGPTR Pkg, const VS_CHAR *Key)
{
    Pkg->InsertStr(Pkg->GetNumber(), Key);
}

static void AppendPkg(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_PARAPKGPTR Value)
{
    AppendKey(Pkg, Key);
    Pkg->InsertParaPackage(Pkg->GetNumber(), Value);
}

static const VS_CHAR *UuidText(VS_UUID *ID)
{
    const VS_CHAR *Text = SRV->UuidToString(ID);
    return Text != NULL ? Text : "";
}

// Position of Target among the procs of the chain beginning with First.
static VS_INT32 PositionInChain(StructOfQZProcBase *First, StructOfQZProcBase *Target)
{
    StructOfTrelkProcWalk Walk;
    VS_INT32 Index = 0, Found = -1;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, First, VS_TRUE); P != NULL;
         P = TrelkProcWalk_Next(&Walk), Index++) {
        if (P == Target) {
            Found = Index;
            break;
        }
    }
    TrelkProcWalk_End(&Walk);
    return Found;
}

// The rejoin text of a child chain's last proc: its rejoin proc's ID, or,
// without object IDs, that proc's position in the enclosing chain.
static void RejoinText(StructOfQZProcBase *Rejoin, VS_BOOL SaveProcObjectID, VS_CHAR *Buf, size_t BufSize)
{
    VS_INT32 Position = -1;
    if (!SaveProcObjectID && SaveChainContext != NULL && SaveChainContext->Up != NULL)
        Position = PositionInChain(SaveChainContext->Up->First, Rejoin);
    if (Position >= 0)
        snprintf(Buf, BufSize, "00000000-0000-0000-0000-%012X", (unsigned)Position);
    else
        snprintf(Buf, BufSize, "%s", UuidText(SRV->GetIDEx(Rejoin)));
}

VS_BOOL QZProcBase_OnSaveProc_SaveInputQueue(StructOfQZDataInputContainer *InputQueue,
                                             VS_PARAPKGPTR ParaPkg_PackageInfo, VS_PARAPKGPTR ParaPkg,
                                             VS_BOOL SaveProcObjectID)
{
    if (InputQueue == NULL || ParaPkg == NULL)
        return VS_FALSE;
    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    AppendKey(Record, "RequestNumber");
    Record->InsertInt(Record->GetNumber(), InputQueue->RequestNumber);
    if (InputQueue->IsOnlyDirect) {
        AppendKey(Record, "IsOnlyDirect");
        Record->InsertBool(Record->GetNumber(), VS_TRUE);
    }
    if (InputQueue->IsSlave) {
        AppendKey(Record, "IsSlave");
        Record->InsertBool(Record->GetNumber(), VS_TRUE);
    }
    if (!InputQueue->IsMustExist) {
        AppendKey(Record, "IsMustExist");
        Record->InsertBool(Record->GetNumber(), VS_FALSE);
    }
    StructOfQZDataBase *Inst = TrelkProc_InputObject(InputQueue);
    if (Inst != NULL && QZDataBase_IsDataObject(Inst)) {
        if (SaveProcObjectID) {
            VS_PARAPKGPTR DataRecord = Trelk_GetParaPkgInterface(__LINE__);
            VS_CHAR *Json = QZDataBase_SaveTo_Inernal(Inst, DataRecord, VS_TRUE, VS_FALSE) ? DataRecord->ToJSon()
                                                                                            : NULL;
            if (Json == NULL) {
                DataRecord->Release();
                Record->Release();
                QZRealmBase_RaiseException(InputQueue, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                           "can not save InputQueue [%s], DataObjectInst save failed",
                                           UuidText(&InputQueue->DataBaseID));
                return VS_FALSE;
            }
            AppendKey(Record, "DataObjectInst");
            Record->InsertStr(Record->GetNumber(), Json);
            DataRecord->FreeBuf(Json);
            DataRecord->Release();
        } else {
            QZDataBase_GetTag_Internal(Inst);
            const VS_CHAR *Tag = SRV->LuaToString(-1);
            AppendKey(Record, "DataObjectInst");
            Record->InsertStr(Record->GetNumber(), Tag != NULL ? Tag : "");
            SRV->LuaPop(1);
        }
    }
    void *DataType = SRV->GetObject(&InputQueue->DataBaseID);
    if (DataType == NULL) {
        Record->Release();
        QZRealmBase_RaiseException(InputQueue, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "can not save InputQueue [%s], data object may be freed some where",
                                   UuidText(&InputQueue->DataBaseID));
        return VS_FALSE;
    }
    QZProcBase_OnSaveProc_SaveParaPkgInfo(DataType, ParaPkg_PackageInfo, VS_TRUE);
    AppendKey(Record, "DataBaseName");
    Record->InsertStr(Record->GetNumber(), Trelk_Name(DataType));
    if (InputQueue->DataLocalBuf != NULL) {
        VS_CHAR *Json = InputQueue->DataLocalBuf->ToJSon();
        if (Json != NULL) {
            AppendKey(Record, "DataLocalBuf");
            Record->InsertStr(Record->GetNumber(), Json);
            InputQueue->DataLocalBuf->FreeBuf(Json);
        }
    }
    if (!Trelk_IsZeroID(&InputQueue->QZProcID)) {
        AppendKey(Record, "QZProcID");
        Record->InsertStr(Record->GetNumber(), UuidText(&InputQueue->QZProcID));
    }
    Record->AsDict(VS_TRUE);
    ParaPkg->InsertParaPackage(ParaPkg->GetNumber(), Record);
    Record->Release();
    return VS_TRUE;
}

static VS_BOOL SaveOutputQueue(StructOfQZProcBase *QZProc, StructOfQZDataOutputContainer *Output,
                               VS_PARAPKGPTR PackageInfo, VS_PARAPKGPTR List)
{
    // Each data type is recorded as soon as it is found, so that the package
    // list keeps what was met before a later data type turns out to be gone.
    void *DataType = SRV->GetObject(&Output->DataBaseID);
    if (DataType == NULL) {
        QZRealmBase_RaiseException(QZProc, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "can not save OutputQueue [%s], data object may be freed some where",
                                   UuidText(&Output->DataBaseID));
        return VS_FALSE;
    }
    QZProcBase_OnSaveProc_SaveParaPkgInfo(DataType, PackageInfo, VS_TRUE);
    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    AppendKey(Record, "DataBaseName");
    Record->InsertStr(Record->GetNumber(), Trelk_Name(DataType));
    if (!Trelk_IsZeroID(&Output->OriginalDataBaseID)) {
        void *Original = SRV->GetObject(&Output->OriginalDataBaseID);
        if (Original == NULL) {
            Record->Release();
            QZRealmBase_RaiseException(QZProc, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                       "can not save OutputQueue [%s], data object may be freed some where",
                                       UuidText(&Output->OriginalDataBaseID));
            return VS_FALSE;
        }
        QZProcBase_OnSaveProc_SaveParaPkgInfo(Original, PackageInfo, VS_TRUE);
        AppendKey(Record, "OriginalDataBaseName");
        Record->InsertStr(Record->GetNumber(), Trelk_Name(Original));
    }
    if (Output->IsMustExist) {
        AppendKey(Record, "IsMustExist");
        Record->InsertBool(Record->GetNumber(), VS_TRUE);
    }
    if (Output->ReturnNumber != 1) {
        AppendKey(Record, "ReturnNumber");
        Record->InsertInt(Record->GetNumber(), Output->ReturnNumber);
    }
    Record->AsDict(VS_TRUE);
    List->InsertParaPackage(List->GetNumber(), Record);
    Record->Release();
    return VS_TRUE;
}

// ---------------------------------------------------------------------------
// Canonical order of a queue of chains
// ---------------------------------------------------------------------------
StructOfQZProcChainQueue_SortCmpItem *QZProcChainQueue_MallocItemBuf(VS_INT32 Number)
{
    if (Number <= 0)
        return NULL;
    StructOfQZProcChainQueue_SortCmpItem *Buf = (StructOfQZProcChainQueue_SortCmpItem *)SRV->Malloc_Nor(
        (VS_ULONG)(sizeof(StructOfQZProcChainQueue_SortCmpItem) * (size_t)Number));
    if (Buf == NULL)
        return NULL;
    for (VS_INT32 i = 0; i < Number; i++) {
        Buf[i].ProcTypeNameBuf = new ClassOfStringPrintBuf();
        Buf[i].TieBreakBuf = new ClassOfStringPrintBuf();
        Buf[i].QueueIndex = i;
        Buf[i].QZProcChain = NULL;
        if (Buf[i].ProcTypeNameBuf == NULL || Buf[i].TieBreakBuf == NULL) {
            QZProcChainQueue_FreeItemBuf(Buf, i + 1);
            return NULL;
        }
    }
    return Buf;
}

void QZProcChainQueue_FreeItemBuf(StructOfQZProcChainQueue_SortCmpItem *Buf, VS_INT32 Number)
{
    if (Buf == NULL)
        return;
    for (VS_INT32 i = 0; i < Number; i++) {
        delete Buf[i].ProcTypeNameBuf;
        delete Buf[i].TieBreakBuf;
    }
    SRV->Free(Buf);
}

static const VS_CHAR *BufText(ClassOfStringPrintBuf *Buf)
{
    return Buf != NULL && Buf->Buf != NULL ? Buf->Buf : "";
}

// Type names first; chains with the same names by their records, so that
// equal chains sort the same way everywhere; last by queue position.
int QZProcChainQueue_SortCmp(const void *a, const void *b)
{
    const StructOfQZProcChainQueue_SortCmpItem *A = (const StructOfQZProcChainQueue_SortCmpItem *)a;
    const StructOfQZProcChainQueue_SortCmpItem *B = (const StructOfQZProcChainQueue_SortCmpItem *)b;
    int Result = strcmp(BufText(A->ProcTypeNameBuf), BufText(B->ProcTypeNameBuf));
    if (Result == 0)
        Result = strcmp(BufText(A->TieBreakBuf), BufText(B->TieBreakBuf));
    if (Result == 0)
        Result = A->QueueIndex < B->QueueIndex ? -1 : (A->QueueIndex > B->QueueIndex ? 1 : 0);
    return Result;
}

// The chain's record without object IDs as JSON text, for ordering chains
// whose procs have the same types. FALSE when the chain cannot be written:
// its failure is then already reported, and writing it again would report it
// a second time.
static VS_BOOL TieBreakText(StructOfQZProcChainBase *Chain, ClassOfStringPrintBuf *Buf)
{
    VS_PARAPKGPTR Info = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL Ok = QZProcBase_OnSaveProc_SaveProcChain(Chain, Info, Record, VS_FALSE);
    if (Ok) {
        VS_CHAR *Json = Record->ToJSon();
        if (Json != NULL) {
            // Print formats at most one scratch buffer per call: append in pieces.
            size_t Length = strlen(Json);
            for (size_t Offset = 0; Offset < Length; Offset += 8192)
                Buf->Print("%.8192s", Json + Offset);
            Record->FreeBuf(Json);
        }
    }
    Record->Release();
    Info->Release();
    return Ok;
}

// Appends the chain records of a queue of chains to List in canonical order.
static VS_BOOL SaveChainQueue(StructOfQZProcBase *Owner, void *QueueHead, VS_PARAPKGPTR PackageInfo,
                              VS_PARAPKGPTR List, VS_BOOL SaveProcObjectID)
{
    const VS_INT32 Allocated = Tarvex_ScheduleProc_GetItemNumber(QueueHead);
    VS_INT32 Number = Allocated;
    if (Number == 0)
        return VS_TRUE;
    StructOfQZProcChainQueue_SortCmpItem *Items = QZProcChainQueue_MallocItemBuf(Number);
    if (Items == NULL)
        return VS_FALSE;
    VS_BOOL Ok = VS_TRUE, ManyCells = VS_FALSE;
    VS_INT32 n = 0;
    for (void *X = SRV->QueryFirst(QueueHead); X != NULL && n < Number && Ok; X = SRV->QueryNext(X), n++) {
        StructOfQZProcChainBase *Chain = (StructOfQZProcChainBase *)X;
        Items[n].QZProcChain = Chain;
        StructOfQZProcBase *First = TrelkChain_IsChain(Chain) ? TrelkChain_StartProc(&Chain->QZProcStart) : NULL;
        if (First == NULL) {
            Ok = VS_FALSE;
            break;
        }
        VS_INT32 Cells = 0;
        StructOfTrelkProcWalk Walk;
        for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, First, VS_FALSE); P != NULL;
             P = TrelkProcWalk_Next(&Walk)) {
            void *Type = QZProcBase_GetProcType_Internal(P);
            if (Type == NULL) {
                Ok = VS_FALSE;
                break;
            }
            Items[n].ProcTypeNameBuf->Print("%s", Trelk_Name(Type));
            if (Type == QZCellBaseClass)
                Cells++;
        }
        TrelkProcWalk_End(&Walk);
        if (Cells >= 2)
            ManyCells = VS_TRUE;
    }
    if (Ok && SaveProcObjectID && ManyCells) {
        // The report runs a script, which may free chains: they are held by
        // ID across it, and a save that lost one fails.
        VS_PARAPKGPTR Chains = Trelk_GetParaPkgInterface(__LINE__);
        for (VS_INT32 i = 0; i < n; i++)
            Chains->InsertObject(i, Items[i].QZProcChain);
        QZRealmBase_RaiseException(Owner, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "may be more one QZCell in a chain, the tag may be not same for two equal procs ");
        for (VS_INT32 i = 0; i < n && Ok; i++) {
            Items[i].QZProcChain = (StructOfQZProcChainBase *)Chains->GetObject(i);
            if (Items[i].QZProcChain == NULL)
                Ok = VS_FALSE;
        }
        Chains->Release();
    }
    if (Ok) {
        Number = n;
        for (VS_INT32 i = 0; i < Number && Ok; i++)
            for (VS_INT32 j = i + 1; j < Number && Ok; j++)
                if (strcmp(BufText(Items[i].ProcTypeNameBuf), BufText(Items[j].ProcTypeNameBuf)) == 0) {
                    if (Items[i].TieBreakBuf->IsEmpty())
                        Ok = TieBreakText(Items[i].QZProcChain, Items[i].TieBreakBuf);
                    if (Ok && Items[j].TieBreakBuf->IsEmpty())
                        Ok = TieBreakText(Items[j].QZProcChain, Items[j].TieBreakBuf);
                }
    }
    if (Ok) {
        qsort(Items, (size_t)Number, sizeof(StructOfQZProcChainQueue_SortCmpItem), QZProcChainQueue_SortCmp);
        for (VS_INT32 i = 0; i < Number && Ok; i++) {
            VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
            Ok = QZProcBase_OnSaveProc_SaveProcChain(Items[i].QZProcChain, PackageInfo, Record, SaveProcObjectID);
            if (Ok)
                List->InsertParaPackage(List->GetNumber(), Record);
            Record->Release();
        }
    }
    QZProcChainQueue_FreeItemBuf(Items, Allocated);
    return Ok;
}

// ---------------------------------------------------------------------------
// Proc and chain records
// ---------------------------------------------------------------------------
static VS_BOOL FailProc(VS_PARAPKGPTR ParaPkg)
{
    ParaPkg->Clear();
    return VS_FALSE;
}

static VS_BOOL SaveProcRecord(StructOfQZProcBase *QZProcBase, VS_PARAPKGPTR ParaPkg_PackageInfo,
                              VS_PARAPKGPTR ParaPkg, VS_BOOL SaveChild, VS_BOOL SaveProcObjectID);

VS_BOOL QZProcBase_OnSaveProc_SaveProc(StructOfQZProcBase *QZProcBase, VS_PARAPKGPTR ParaPkg_PackageInfo,
                                       VS_PARAPKGPTR ParaPkg, VS_BOOL SaveChild, VS_BOOL SaveProcObjectID) {
    if (SaveDepth >= TRELK_SAVED_MAXDEPTH) {
        // A record the loader would refuse is not written.
        QZRealmBase_RaiseException(QZProcBase, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "can not save QZProc [%s], it is nested in chains more than %d deep",
                                   Trelk_Name(QZProcBase), TRELK_SAVED_MAXDEPTH);
        if (ParaPkg != NULL) ParaPkg->Clear();
        return VS_FALSE;
    }
    SaveDepth++;
    VS_BOOL Ok = SaveProcRecord(QZProcBase, ParaPkg_PackageInfo, ParaPkg, SaveChild, SaveProcObjectID);
    SaveDepth--;
    return Ok;
}

static VS_BOOL SaveProcRecord(StructOfQZProcBase *QZProcBase, VS_PARAPKGPTR ParaPkg_PackageInfo,
                              VS_PARAPKGPTR ParaPkg, VS_BOOL SaveChild, VS_BOOL SaveProcObjectID) {
    if (ParaPkg == NULL)
        return VS_FALSE;
    ParaPkg->Clear();
    ParaPkg->AsDict(VS_TRUE);
    if (!TrelkChain_IsProc(QZProcBase))
        return VS_FALSE;
    void *Resolved = QZProcBase_OnSaveProc_SaveParaPkgInfo(QZProcBase, ParaPkg_PackageInfo, VS_FALSE);
    AppendKey(ParaPkg, "ClassName");
    ParaPkg->InsertStr(ParaPkg->GetNumber(), Trelk_Name(Resolved));
    if (QZProcBase->IsType) {
        QZRealmBase_RaiseException(QZProcBase, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0,
                                   "can not save QZProc [%s], which IsType is true", Trelk_Name(QZProcBase));
        return FailProc(ParaPkg);
    }
    if (SaveProcObjectID) {
        AppendKey(ParaPkg, "ObjectID");
        ParaPkg->InsertStr(ParaPkg->GetNumber(), UuidText(SRV->GetIDEx(QZProcBase)));
    }
    if (QZProcBase->ChildEndMarker) {
        AppendKey(ParaPkg, "ChildEndMarker");
        ParaPkg->InsertBool(ParaPkg->GetNumber(), VS_TRUE);
        StructOfQZProcBase *Rejoin = TrelkChain_NextProc(QZProcBase);
        if (Rejoin != NULL) {
            VS_CHAR Text[64];
            RejoinText(Rejoin, SaveProcObjectID, Text, sizeof(Text));
            AppendKey(ParaPkg, "QZProcNext");
            ParaPkg->InsertStr(ParaPkg->GetNumber(), Text);
        }
    }

    VS_PARAPKGPTR List = NULL;
    for (void *X = SRV->QueryFirst(&QZProcBase->InputQueue); X != NULL; X = SRV->QueryNext(X)) {
        if (List == NULL)
            List = Trelk_GetParaPkgInterface(__LINE__);
        if (!QZProcBase_OnSaveProc_SaveInputQueue((StructOfQZDataInputContainer *)X, ParaPkg_PackageInfo, List,
                                                  SaveProcObjectID)) {
            List->Release();
            return FailProc(ParaPkg);
        }
    }
    if (List != NULL) {
        AppendPkg(ParaPkg, "InputQueue", List);
        List->Release();
        List = NULL;
    }
    for (void *X = SRV->QueryFirst(&QZProcBase->OutputQueue); X != NULL; X = SRV->QueryNext(X)) {
        if (List == NULL)
            List = Trelk_GetParaPkgInterface(__LINE__);
        if (!SaveOutputQueue(QZProcBase, (StructOfQZDataOutputContainer *)X, ParaPkg_PackageInfo, List)) {
            List->Release();
            return FailProc(ParaPkg);
        }
    }
    if (List != NULL) {
        AppendPkg(ParaPkg, "OutputQueue", List);
        List->Release();
        List = NULL;
    }
    if (SaveChild && SRV->QueryFirst(&QZProcBase->QZProcChild) != NULL) {
        List = Trelk_GetParaPkgInterface(__LINE__);
        if (!SaveChainQueue(QZProcBase, &QZProcBase->QZProcChild, ParaPkg_PackageInfo, List, SaveProcObjectID)) {
            List->Release();
            return FailProc(ParaPkg);
        }
        AppendPkg(ParaPkg, "QZProcChild", List);
        List->Release();
        List = NULL;
    }

    AppendKey(ParaPkg, "Type");
    if (Trelk_IsInstOf(QZProcBase, QZProcRemoteBaseClass)) {
        ParaPkg->InsertStr(ParaPkg->GetNumber(), "QZProcRemote");
        StructOfQZProcRemoteBase *Remote = (StructOfQZProcRemoteBase *)QZProcBase;
        if (Remote->Url.Buf != NULL) {
            AppendKey(ParaPkg, "Url");
            ParaPkg->InsertStr(ParaPkg->GetNumber(), Remote->Url.Buf);
        }
        if (Remote->RemoteQZProcName.Buf != NULL) {
            AppendKey(ParaPkg, "RemoteQZProcName");
            ParaPkg->InsertStr(ParaPkg->GetNumber(), Remote->RemoteQZProcName.Buf);
        }
    } else if (Trelk_IsInstOf(QZProcBase, QZCellBaseClass)) {
        ParaPkg->InsertStr(ParaPkg->GetNumber(), "QZCell");
        StructOfQZCellBase *Cell = (StructOfQZCellBase *)QZProcBase;
        if (Resolved == QZCellBaseClass && SRV->QueryFirst(&Cell->ProcChainQueue) != NULL) {
            List = Trelk_GetParaPkgInterface(__LINE__);
            if (!SaveChainQueue(QZProcBase, &Cell->ProcChainQueue, ParaPkg_PackageInfo, List, SaveProcObjectID)) {
                List->Release();
                return FailProc(ParaPkg);
            }
            AppendPkg(ParaPkg, "ProcChainQueue", List);
            List->Release();
        }
    } else {
        ParaPkg->InsertStr(ParaPkg->GetNumber(), "QZProc");
    }
    return VS_TRUE;
}

VS_BOOL QZProcBase_OnSaveProc_SaveProcChain(StructOfQZProcChainBase *QZProcChainBase,
                                            VS_PARAPKGPTR ParaPkg_PackageInfo, VS_PARAPKGPTR ParaPkg,
                                            VS_BOOL SaveProcObjectID)
{
    if (ParaPkg == NULL)
        return VS_FALSE;
    ParaPkg->Clear();
    ParaPkg->AsDict(VS_TRUE);
    if (!TrelkChain_IsChain(QZProcChainBase))
        return VS_FALSE;
    AppendKey(ParaPkg, "Type");
    ParaPkg->InsertStr(ParaPkg->GetNumber(), "QZProcChain");

    StructOfQZProcBase *First = TrelkChain_StartProc(&QZProcChainBase->QZProcStart);
    StructOfSaveChainContext Context = {First, SaveChainContext};
    SaveChainContext = &Context;
    VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL Ok = VS_TRUE;
    StructOfTrelkProcWalk Walk;
    for (StructOfQZProcBase *P = TrelkProcWalk_Begin(&Walk, First, VS_TRUE); P != NULL && Ok;
         P = TrelkProcWalk_Next(&Walk)) {
        VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
        Ok = QZProcBase_OnSaveProc_SaveProc(P, ParaPkg_PackageInfo, Record, VS_TRUE, SaveProcObjectID);
        if (Ok)
            List->InsertParaPackage(List->GetNumber(), Record);
        Record->Release();
    }
    TrelkProcWalk_End(&Walk);
    SaveChainContext = Context.Up;
    if (!Ok) {
        List->Release();
        ParaPkg->Clear();
        return VS_FALSE;
    }
    AppendPkg(ParaPkg, "QZProcBase", List);
    List->Release();
    return VS_TRUE;
}
