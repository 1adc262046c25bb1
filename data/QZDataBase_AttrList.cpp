// The attribute list of a data object: its module-side attributes in a
// 14-item package, moved out and back for the host's Zel object layer.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

// ---------------------------------------------------------------------------
// Parked indexes
// ---------------------------------------------------------------------------
// The three list indexes of a data object leave it inside an attribute list.
// A list is an ordinary package that scripts can read, copy and write, so it
// does not carry the index address itself: it carries a token, a number the
// module hands out once and never again, and the module keeps the token ->
// index map here. A list item that is no live token (made up, copied after
// the index was taken back, or cleared) is never used as an address: it reads
// as "no index".
static void *ParkedIndexes = NULL; // one-key index: token -> host ID index
static VS_INT64 LastParkToken = 0;

static VS_INT64 ParkIndex(void *Index)
{
    if (Index == NULL) return 0;
    if (ParkedIndexes == NULL) {
        ParkedIndexes = SRV->CreateIndex_Nor(1, 0);
        MemoryDebug_InsertObjectRecord(ParkedIndexes, __LINE__);
        if (ParkedIndexes == NULL) return 0;
    }
    VS_INT64 Token = ++LastParkToken;
    if (!SRV->InsertOneKey(ParkedIndexes, (VS_UWORD)Token, Index)) return 0;
    return Token;
}

// The parked index of the token, taken out of the map (the caller owns it);
// NULL for anything that is not a live token.
static void *UnparkIndex(VS_PARAPKGPTR List, VS_INT32 i)
{
    if (ParkedIndexes == NULL || List->GetType(i) != VSTYPE_INT64) return NULL;
    VS_INT64 Token = List->GetInt64(i);
    if (Token <= 0) return NULL;
    return SRV->DelOneKey(ParkedIndexes, (VS_UWORD)Token);
}

static void DestroyParkedIndex(VS_PARAPKGPTR List, VS_INT32 i)
{
    void *Index = UnparkIndex(List, i);
    if (Index != NULL) SRV->DestoryIndex(Index);
}

void QZDataBase_ReleaseParkedIndexes()
{
    if (ParkedIndexes == NULL || SRV == NULL) return;
    VS_UWORD Token;
    for (void *Index = SRV->QueryFirstOneKey(ParkedIndexes, &Token); Index != NULL;
         Index = SRV->QueryNextOneKey(ParkedIndexes, &Token))
        SRV->DestoryIndex(Index);
    SRV->DestoryIndex(ParkedIndexes);
    ParkedIndexes = NULL;
}

// ---------------------------------------------------------------------------
// Attribute list
// ---------------------------------------------------------------------------
static void InsertUuidText(VS_PARAPKGPTR List, VS_INT32 i, VS_UUID *ID)
{
    if (Trelk_IsZeroID(ID))
        List->InsertEmpty(i);
    else
        List->InsertStr(i, SRV->UuidToString(ID));
}

static void InsertPackageOrEmpty(VS_PARAPKGPTR List, VS_INT32 i, VS_PARAPKGPTR Value)
{
    // A package cannot hold itself: a list that is one of the data's own
    // packages gets an empty item there.
    if (Value == NULL || !List->InsertParaPackage(i, Value)) List->InsertEmpty(i);
}

static void InsertParkedIndex(VS_PARAPKGPTR List, VS_INT32 i, void **Field)
{
    // A list written again drops what it held at this place.
    DestroyParkedIndex(List, i);
    VS_INT64 Token = ParkIndex(*Field);
    if (Token != 0) *Field = NULL;
    List->InsertInt64(i, Token);
}

VS_BOOL QZDataBase_SaveZelDataProperty_Internal(StructOfQZDataBase *Data, VS_PARAPKGPTR List)
{
    // Nothing leaves the data unless the list can take it.
    if (Data == NULL || List == NULL || List->IsReadOnly()) return VS_FALSE;

    InsertPackageOrEmpty(List, QZZELLIST_SOURCEDATA, Data->SourceData);

    void *Attach = SRV->QueryFirst(&Data->QZRuleAttachQueue);
    if (Attach == NULL) {
        List->InsertEmpty(QZZELLIST_RULEATTACH);
    } else {
        VS_PARAPKGPTR Attachments = Trelk_GetParaPkgInterface(__LINE__);
        for (; Attach != NULL; Attach = SRV->QueryNext(Attach))
            Attachments->InsertObject(Attachments->GetNumber(), Attach);
        InsertPackageOrEmpty(List, QZZELLIST_RULEATTACH, Attachments);
        Attachments->Release();
    }

    List->InsertInt64(QZZELLIST_UNIFORMTICK, Data->UniformTick);
    if (Data->Signature.Buf != NULL && Data->Signature.Buf[0] != 0)
        List->InsertStr(QZZELLIST_SIGNATURE, Data->Signature.Buf);
    else
        List->InsertEmpty(QZZELLIST_SIGNATURE);
    List->InsertInt64(QZZELLIST_SCHEDULETICKCOUNT, Data->ScheduleTickCount);
    List->InsertInt(QZZELLIST_SEQUENCEINDEX, (VS_INT32)Data->SequenceIndex);
    InsertUuidText(List, QZZELLIST_OWNERPROCID, &Data->OwnerProcID);
    InsertUuidText(List, QZZELLIST_OWNERPROCIDINCELL, &Data->OwnerProcIDInCell);
    InsertUuidText(List, QZZELLIST_OWNERRUNNERPROCID, &Data->OwnerRunnerProcID);
    List->InsertInt(QZZELLIST_LIVECOUNT, Data->LiveCount);
    InsertParkedIndex(List, QZZELLIST_EXCLUDEPROC, &Data->ExcludeProc);
    InsertParkedIndex(List, QZZELLIST_ACCEPTPROC, &Data->AcceptProc);
    InsertParkedIndex(List, QZZELLIST_REJECTPROC, &Data->RejectProc);
    InsertPackageOrEmpty(List, QZZELLIST_PROPERTYPKG, Data->PropertyPkg);
    return VS_TRUE;
}

static VS_PARAPKGPTR PackageArg(VS_INT32 Index)
{
    return SRV->LuaType(Index) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(Index) : NULL;
}

VS_INT32 QZDataBase_SaveZelDataProperty(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    VS_PARAPKGPTR List = PackageArg(2);
    if (Self != NULL && List != NULL) QZDataBase_SaveZelDataProperty_Internal(Self, List);
    return 0;
}

static VS_BOOL IsRuleAttachObject(void *Object)
{
    return Object != NULL && QZRuleAttachBaseClass != NULL &&
                   SRV->IsInst(SRV->GetIDEx(QZRuleAttachBaseClass), Object)
               ? VS_TRUE
               : VS_FALSE;
}

static VS_BOOL PackageHoldsObject(VS_PARAPKGPTR Pkg, void *Object)
{
    for (VS_INT32 i = 0; i < Pkg->GetNumber(); i++)
        if (Pkg->GetType(i) == VSTYPE_OBJECT && Pkg->GetObject(i) == Object) return VS_TRUE;
    return VS_FALSE;
}

static void RestoreRuleAttachments(StructOfQZDataBase *Self, VS_PARAPKGPTR Attachments)
{
    OBJECTATTRIBUTEINDEX QueueIndex = SRV->GetAttributeIndex(QZDataBaseClass, "QZRuleAttachQueue");
    if (QueueIndex == VS_INVALID_ATTRIBUTEINDEX) return;
    // Attachments that the list does not name again end here; an attachment
    // left without a data object would keep its rule locked for good.
    void *Item = SRV->QueryFirst(&Self->QZRuleAttachQueue);
    while (Item != NULL) {
        void *Next = SRV->QueryNext(Item);
        if (!PackageHoldsObject(Attachments, Item)) TrelkData_ReleaseRuleAttach(Item);
        Item = Next;
    }
    for (VS_INT32 i = 0; i < Attachments->GetNumber(); i++) {
        void *Attach = Attachments->GetType(i) == VSTYPE_OBJECT ? Attachments->GetObject(i) : NULL;
        if (!IsRuleAttachObject(Attach)) continue;
        // An attachment holds one lock while it sits in a data object's
        // queue; one that moves from another data object brings it along.
        void *Parent = SRV->GetParent(Attach);
        VS_BOOL WasAttached =
            QZDataBase_IsDataObject(Parent) && SRV->GetIndex(Attach) == QueueIndex ? VS_TRUE : VS_FALSE;
        if (SRV->ChangeParent(Attach, Self, QueueIndex) && !WasAttached) SRV->LockGC(Attach);
    }
}

static void ParseUuidItem(VS_PARAPKGPTR List, VS_INT32 i, VS_UUID *ID)
{
    const VS_CHAR *Text = List->GetType(i) == VSTYPE_STRING ? List->GetStr(i) : NULL;
    if (Text == NULL || !SRV->StringToUuid(Text, ID)) vs_memset(ID, 0, sizeof(VS_UUID));
}

static void RestoreIndex(VS_PARAPKGPTR List, VS_INT32 i, void **Field)
{
    if (*Field != NULL) {
        SRV->DestoryIndex(*Field);
        *Field = NULL;
    }
    void *Index = UnparkIndex(List, i);
    if (Index == NULL) {
        Index = SRV->CreateIDIndex_Nor(0);
        MemoryDebug_InsertObjectRecord(Index, __LINE__);
    }
    *Field = Index;
    List->InsertInt64(i, 0);
}

VS_INT32 QZDataBase_RestoreZelDataProperty(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    VS_PARAPKGPTR List = PackageArg(2);
    // The predefined class objects keep no list indexes of their own.
    if (Self == NULL || List == NULL || QZDataBase_IsPreDefined_DataType(Self)) return 0;
    if (List->GetNumber() < QZZELLIST_ITEMNUMBER) {
        Trelk_Raise(Self, "'s RestoreZelDataProperty failed, the input is not an attribute list");
        return 0;
    }

    if (List->GetType(QZZELLIST_SOURCEDATA) == VSTYPE_PARAPKG) {
        VS_PARAPKGPTR Source = List->GetParaPackage(QZZELLIST_SOURCEDATA);
        Source->AddRef();
        if (Self->SourceData != NULL) Self->SourceData->Release();
        Self->SourceData = Source;
    }
    if (List->GetType(QZZELLIST_RULEATTACH) == VSTYPE_PARAPKG)
        RestoreRuleAttachments(Self, List->GetParaPackage(QZZELLIST_RULEATTACH));
    Self->UniformTick = List->GetInt64(QZZELLIST_UNIFORMTICK);
    SRV->SetVString(&Self->Signature, List->GetType(QZZELLIST_SIGNATURE) == VSTYPE_STRING
                                          ? List->GetStr(QZZELLIST_SIGNATURE)
                                          : "");
    Tarvex_Schedule_EnvDataRestamping(Self);
    Self->ScheduleTickCount = List->GetInt64(QZZELLIST_SCHEDULETICKCOUNT);
    Self->SequenceIndex = (VS_ULONG)List->GetInt(QZZELLIST_SEQUENCEINDEX);
    ParseUuidItem(List, QZZELLIST_OWNERPROCID, &Self->OwnerProcID);
    ParseUuidItem(List, QZZELLIST_OWNERPROCIDINCELL, &Self->OwnerProcIDInCell);
    ParseUuidItem(List, QZZELLIST_OWNERRUNNERPROCID, &Self->OwnerRunnerProcID);
    Self->LiveCount = List->GetInt(QZZELLIST_LIVECOUNT);
    RestoreIndex(List, QZZELLIST_EXCLUDEPROC, &Self->ExcludeProc);
    // Stamps, owners and the exclusion list were all replaced.
    QZDataBase_ExcludeNarrowed();
    QZDataBase_ExcludeWidened(Self);
    RestoreIndex(List, QZZELLIST_ACCEPTPROC, &Self->AcceptProc);
    RestoreIndex(List, QZZELLIST_REJECTPROC, &Self->RejectProc);
    if (List->GetType(QZZELLIST_PROPERTYPKG) == VSTYPE_PARAPKG) {
        VS_PARAPKGPTR Props = List->GetParaPackage(QZZELLIST_PROPERTYPKG);
        Props->AddRef();
        if (Self->PropertyPkg != NULL) Self->PropertyPkg->Release();
        Self->PropertyPkg = Props;
        Trelk_ChainMarkGained(&TrelkData_PropertyMark);
    } else if (Self->PropertyPkg != NULL) {
        Self->PropertyPkg->Release();
        Self->PropertyPkg = NULL;
    }
    return 0;
}

void QZDataBase_ClearZelDataPropertyIndexes_Internal(VS_PARAPKGPTR List)
{
    if (List == NULL) return;
    for (VS_INT32 i = QZZELLIST_EXCLUDEPROC; i <= QZZELLIST_REJECTPROC; i++) {
        void *Index = UnparkIndex(List, i);
        if (Index == NULL) continue;
        SRV->DestoryIndex(Index);
        List->InsertInt64(i, 0);
    }
}

VS_INT32 QZDataBase_ClearZelDataProperty(void *L)
{
    (void)L;
    VS_PARAPKGPTR List = PackageArg(2);
    if (List == NULL) return 0;
    DestroyParkedIndex(List, QZZELLIST_EXCLUDEPROC);
    DestroyParkedIndex(List, QZZELLIST_ACCEPTPROC);
    DestroyParkedIndex(List, QZZELLIST_REJECTPROC);
    List->Clear();
    return 0;
}
