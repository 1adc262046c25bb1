// Source links, equality, kind tests, ordering and duplication of data
// objects. Source lists and set members are object graphs that scripts build
// freely, so every walk over them guards against cycles and against unbounded
// recursion.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

// Nested sets deeper than this are not compared or copied member by member.
#define QZDATA_MAX_NESTING 256

// Objects already met by a walk, kept in a host ID index made on first use.
struct DataVisitSet {
    void *Index = NULL;
    ~DataVisitSet()
    {
        if (Index != NULL)
            SRV->DestoryIndex(Index);
    }
    // TRUE when Object was not met before (and is now).
    VS_BOOL Enter(void *Object)
    {
        if (Index == NULL)
            Index = SRV->CreateIDIndex_Nor(0);
        VS_UUID *ID = SRV->GetIDEx(Object);
        if (Index == NULL || ID == NULL)
            return VS_FALSE;
        if (SRV->FindIDKey(Index, ID) != NULL)
            return VS_FALSE;
        SRV->InsertIDKey(Index, ID, (void *)1);
        return VS_TRUE;
    }
};

static StructOfQZDataBase *DataItem(VS_PARAPKGPTR Pkg, VS_INT32 i)
{
    void *Object = Pkg->GetObject(i);
    return QZDataBase_IsDataObject(Object) ? (StructOfQZDataBase *)Object : NULL;
}

// ---------------------------------------------------------------------------
// Source walk
// ---------------------------------------------------------------------------
static StructOfQZDataBase *TrelkData_SourceHolder(StructOfQZDataBase *QZData)
{
    if (QZData == NULL)
        return NULL;
    if (QZData->SourceData != NULL)
        return QZData;
    for (StructOfQZDataBase *C = TrelkData_ClassOf(QZData); C != NULL && !TrelkData_IsPreDefined(C);
         C = TrelkData_ClassOf(C)) {
        if (C->SourceData != NULL)
            return C;
        if (C->IsType)
            return NULL;
    }
    return NULL;
}

VS_PARAPKGPTR QZDataBase_GetSourceData_Internal(StructOfQZDataBase *QZData)
{
    StructOfQZDataBase *Holder = TrelkData_SourceHolder(QZData);
    return Holder != NULL ? Holder->SourceData : NULL;
}

StructOfQZDataBase *QZDataBase_GetSourceDataObject_Internal(StructOfQZDataBase *QZData)
{
    // Callers use the answer as the object to read or extend the source list
    // on, so a data without any list answers itself.
    StructOfQZDataBase *Holder = TrelkData_SourceHolder(QZData);
    return Holder != NULL ? Holder : QZData;
}

// ---------------------------------------------------------------------------
// Changed-from and source tests
// ---------------------------------------------------------------------------
VS_BOOL QZDataBase_IsChangedFrom_Internal(StructOfQZDataBase *QZData, StructOfQZDataBase *SourceQZData)
{
    if (QZData == NULL || SourceQZData == NULL)
        return VS_FALSE;
    StructOfQZDataBase *SourceType = QZDataBase_GetDataType_Internal(SourceQZData);
    DataVisitSet Visited;
    StructOfQZDataBase *Q = QZData;
    // One unbranched chain of same-type links; a link back to a data already
    // on the chain ends it.
    while (Q != NULL && Visited.Enter(Q)) {
        VS_PARAPKGPTR S = QZDataBase_GetSourceData_Internal(Q);
        if (S == NULL)
            return VS_FALSE;
        StructOfQZDataBase *Type = QZDataBase_GetDataType_Internal(Q);
        if (Type != SourceType)
            return VS_FALSE;
        StructOfQZDataBase *P = NULL;
        VS_INT32 Count = 0;
        for (VS_INT32 i = 0; i < S->GetNumber(); i++) {
            StructOfQZDataBase *Item = DataItem(S, i);
            if (Item != NULL && QZDataBase_GetDataType_Internal(Item) == Type) {
                P = Item;
                Count++;
            }
        }
        if (Count != 1)
            return VS_FALSE;
        if (P == SourceQZData)
            return VS_TRUE;
        Q = P;
    }
    return VS_FALSE;
}

VS_BOOL QZDataBase_IsSource_Internal(StructOfQZDataBase *QZData, StructOfQZDataBase *SourceQZData,
                                     VS_BOOL MustDirect)
{
    if (QZData == NULL)
        return VS_FALSE;
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(SourceQZData);
    if (Holder == NULL)
        return VS_FALSE;
    VS_UUID HolderID = SRV->GetID(Holder);

    // Data whose source lists are still to be searched. Sources of sources
    // are searched once each, however the links loop.
    VS_PARAPKGPTR Pending = Trelk_GetParaPkgInterface(__LINE__);
    DataVisitSet Visited;
    Visited.Enter(QZData);
    Pending->InsertObject(0, QZData);
    VS_BOOL Result = VS_FALSE;
    while (!Result && Pending->GetNumber() > 0) {
        VS_INT32 Last = Pending->GetNumber() - 1;
        StructOfQZDataBase *X = DataItem(Pending, Last);
        Pending->Del(Last);
        while (X != NULL && !Result) {
            VS_PARAPKGPTR S = X->SourceData;
            for (VS_INT32 i = 0; S != NULL && i < S->GetNumber() && !Result; i++) {
                StructOfQZDataBase *I = DataItem(S, i);
                if (I == NULL)
                    continue;
                if (I == Holder || SRV->IsInst(&HolderID, I))
                    Result = VS_TRUE;
                else if (!MustDirect && Visited.Enter(I))
                    Pending->InsertObject(Pending->GetNumber(), I);
            }
            if (Result || X->DataBuf != NULL)
                break;
            X = TrelkData_ClassOf(X);
            if (X == NULL || X->IsType || TrelkData_IsPreDefined(X))
                break;
        }
    }
    Pending->Release();
    return Result;
}

// ---------------------------------------------------------------------------
// Equality
// ---------------------------------------------------------------------------
// Pairs under comparison, one per nesting level of sets. A pair met again
// further down (a set that contains itself) counts as equal there; the outer
// comparison still decides on the remaining members.
struct EqualsFrame {
    StructOfQZDataBase *Src;
    StructOfQZDataBase *Des;
    const EqualsFrame *Up;
    VS_INT32 Depth;
};

static VS_BOOL CallTypeClassEquals(void *TypeClass, VS_PARAPKGPTR SrcBuf, VS_PARAPKGPTR DesBuf, void *ReportObject,
                                   VS_BOOL *CallMade)
{
    SRV->GetLastError();
    SRV->LuaPushObject(SrcBuf->GetObject(0));
    SRV->LuaPushObject(DesBuf->GetObject(0));
    VS_BOOL Result = VS_FALSE;
    VS_UUID ReportID = {};
    if (ReportObject != NULL)
        ReportID = SRV->GetID(ReportObject);
    *CallMade = Trelk_ExecNameScript(TypeClass, "Equals", 2, 1);
    // The hook may free the data compared: the answer is then false.
    if (ReportObject != NULL && !TrelkData_Alive(ReportObject, &ReportID)) {
        *CallMade = VS_TRUE; // nothing left to report the call by
        SRV->LuaPop(1);
        return VS_FALSE;
    }
    if (*CallMade) {
        const VS_CHAR *Info = ReportObject != NULL
                                  ? "has assigned DataTypeClass, but calls the function Equals failed"
                                  : "calls the function Equals failed";
        if (!QZProcChain_IsExecNameScriptError(ReportObject, Info))
            Result = SRV->LuaToBool(-1);
    }
    SRV->LuaPop(1);
    return Result;
}

static VS_BOOL IsOneObjectItem(VS_PARAPKGPTR Buf)
{
    return Buf != NULL && Buf->GetNumber() == 1 && Buf->GetType(0) == VSTYPE_OBJECT ? VS_TRUE : VS_FALSE;
}

VS_BOOL QZDataBase_BufEquals_Internal(void *DataTypeClass, VS_PARAPKGPTR SrcBuf, VS_PARAPKGPTR DesBuf)
{
    if (SrcBuf == NULL || DesBuf == NULL)
        return SrcBuf == DesBuf ? VS_TRUE : VS_FALSE;
    if (DataTypeClass == NULL)
        return SrcBuf->Equals(DesBuf);
    if (!IsOneObjectItem(SrcBuf) || !IsOneObjectItem(DesBuf))
        return VS_FALSE;
    VS_BOOL CallMade;
    return CallTypeClassEquals(DataTypeClass, SrcBuf, DesBuf, NULL, &CallMade);
}

static VS_BOOL DataEquals(const TrelkDataChain *SrcChain, const TrelkDataChain *DesChain, const EqualsFrame *Up);

// A set may hold objects that are no data: those match only themselves.
static VS_BOOL MemberEquals(void *a, void *b, const EqualsFrame *Frame)
{
    if (a == b)
        return VS_TRUE;
    TrelkDataChain ChainA, ChainB;
    if (!TrelkData_ReadChain(a, &ChainA) || !TrelkData_ReadChain(b, &ChainB))
        return VS_FALSE;
    return DataEquals(&ChainA, &ChainB, Frame);
}

static VS_BOOL SetMembersEqual(StructOfQZDataBase *Src, StructOfQZDataBase *Des, const EqualsFrame *Frame)
{
    StructOfQZDataBase *SrcHolder = QZDataBase_GetObjectHasBuf_Internal(Src);
    StructOfQZDataBase *DesHolder = QZDataBase_GetObjectHasBuf_Internal(Des);
    if (SrcHolder == NULL || DesHolder == NULL)
        return VS_FALSE;
    // A member's type-class "Equals" may replace either member package: the
    // packages walked here are held until the walk ends.
    VS_PARAPKGPTR SrcMembers = SrcHolder->DataBuf;
    VS_PARAPKGPTR DesMembers = DesHolder->DataBuf;
    SrcMembers->AddRef();
    DesMembers->AddRef();
    VS_PARAPKGPTR Matched = Trelk_GetParaPkgInterface(__LINE__);
    VS_BOOL Result = VS_TRUE;
    for (VS_INT32 i = 0; Result && i < SrcMembers->GetNumber(); i++) {
        void *a = SrcMembers->GetObject(i);
        if (a == NULL)
            continue;
        void *Found = NULL;
        for (VS_INT32 j = 0; j < DesMembers->GetNumber() && Found == NULL && a != NULL; j++) {
            void *b = DesMembers->GetObject(j);
            if (b != NULL && MemberEquals(a, b, Frame))
                Found = b;
            // A member's "Equals" may free members: found again by ID.
            a = SrcMembers->GetObject(i);
            if (Found != NULL && DesMembers->GetObject(j) != Found)
                Found = NULL;
        }
        if (Found == NULL)
            Result = VS_FALSE;
        else
            Matched->InsertObject(Matched->GetNumber(), Found);
    }
    for (VS_INT32 j = 0; Result && j < DesMembers->GetNumber(); j++) {
        void *b = DesMembers->GetObject(j);
        if (b == NULL)
            continue;
        VS_BOOL InMatched = VS_FALSE;
        for (VS_INT32 k = 0; k < Matched->GetNumber() && !InMatched; k++)
            InMatched = Matched->GetObject(k) == b;
        if (InMatched)
            continue;
        VS_BOOL Found = VS_FALSE;
        for (VS_INT32 i = 0; i < SrcMembers->GetNumber() && !Found && b != NULL; i++) {
            void *a = SrcMembers->GetObject(i);
            Found = a != NULL && MemberEquals(a, b, Frame);
            b = DesMembers->GetObject(j);
        }
        if (!Found)
            Result = VS_FALSE;
    }
    Matched->Release();
    SrcMembers->Release();
    DesMembers->Release();
    return Result;
}

// The class of a holder, from the chain when the holder is the data itself.
static void *HolderClass(StructOfQZDataBase *Holder, const TrelkDataChain *Chain)
{
    return Holder == Chain->Link[0] && Chain->Count >= 2 ? Chain->Link[1] : SRV->GetClass(Holder);
}

// Properties count by the values they read as, not by where those values
// sit: a loaded data holds every value in a package of its own, the data it
// was saved from only the ones written, and the two are still equal.
static VS_BOOL PropertiesEqual(StructOfQZDataBase *Src, StructOfQZDataBase *Des, const TrelkDataChain *SrcChain,
                               const TrelkDataChain *DesChain)
{
    if (Src->PropertyPkg == NULL && Des->PropertyPkg == NULL &&
        HolderClass(Src, SrcChain) == HolderClass(Des, DesChain))
        return VS_TRUE;
    VS_PARAPKGPTR SrcProps = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR DesProps = Trelk_GetParaPkgInterface(__LINE__);
    QZDataBase_QuelToString_CollectProperty(Src, SrcProps);
    QZDataBase_QuelToString_CollectProperty(Des, DesProps);
    VS_BOOL Result = SrcProps->Equals(DesProps);
    SrcProps->Release();
    DesProps->Release();
    return Result;
}

static VS_BOOL IsMemberSetOfChain(const TrelkDataChain *Chain, StructOfQZDataBase *Type, VS_INT32 TypeAt);

// The two data objects come with their class chains, read by the caller's
// data check.
static VS_BOOL DataEquals(const TrelkDataChain *SrcChain, const TrelkDataChain *DesChain, const EqualsFrame *Up)
{
    StructOfQZDataBase *Src = TrelkData_ChainData(SrcChain);
    StructOfQZDataBase *Des = TrelkData_ChainData(DesChain);
    if (Src == Des)
        return VS_TRUE;
    // Only an instance compares equal to another object: never the QZDataBase
    // class object itself.
    if (TrelkData_IsDataBaseClass(Des))
        return VS_FALSE;
    VS_INT32 SrcTypeAt, DesTypeAt;
    StructOfQZDataBase *SrcType = TrelkData_ChainDataType(SrcChain, &SrcTypeAt);
    if (SrcType != TrelkData_ChainDataType(DesChain, &DesTypeAt))
        return VS_FALSE;

    StructOfQZDataBase *SrcHolder = QZDataBase_GetObjectHasBuf_Internal(Src);
    StructOfQZDataBase *DesHolder = QZDataBase_GetObjectHasBuf_Internal(Des);
    if ((SrcHolder == NULL) != (DesHolder == NULL))
        return VS_FALSE;
    // Nothing below runs script before the packages are compared: the
    // holders found here still hold them then.
    VS_PARAPKGPTR SrcBuf = SrcHolder != NULL ? SrcHolder->DataBuf : NULL;
    VS_PARAPKGPTR DesBuf = DesHolder != NULL ? DesHolder->DataBuf : NULL;
    if (SrcHolder == NULL) {
        SrcHolder = QZDataBase_GetDirectDataInst_Internal(Src);
        DesHolder = QZDataBase_GetDirectDataInst_Internal(Des);
    }
    if (!PropertiesEqual(SrcHolder, DesHolder, SrcChain, DesChain))
        return VS_FALSE;

    if (IsMemberSetOfChain(SrcChain, SrcType, SrcTypeAt)) {
        if (!IsMemberSetOfChain(DesChain, SrcType, DesTypeAt))
            return VS_FALSE;
        VS_INT32 Depth = Up != NULL ? Up->Depth + 1 : 0;
        for (const EqualsFrame *F = Up; F != NULL; F = F->Up)
            if (F->Src == Src && F->Des == Des)
                return VS_TRUE;
        if (Depth >= QZDATA_MAX_NESTING)
            return VS_FALSE;
        EqualsFrame Frame = {Src, Des, Up, Depth};
        return SetMembersEqual(Src, Des, &Frame);
    }

    if (Src->IsType || Des->IsType)
        return VS_FALSE; // two types are equal only as one object, handled above
    if (SrcBuf == NULL || DesBuf == NULL)
        return VS_FALSE;
    void *TypeClass = QZDataBase_GetTypeClassOf_Internal(SrcType);
    if (TypeClass == NULL)
        return SrcBuf->Equals(DesBuf);
    if (!IsOneObjectItem(SrcBuf) || !IsOneObjectItem(DesBuf))
        return VS_FALSE;
    VS_BOOL CallMade;
    VS_BOOL Result = CallTypeClassEquals(TypeClass, SrcBuf, DesBuf, Src, &CallMade);
    if (!CallMade)
        Trelk_Raise(Src, " has assigned DataTypeClass, but calls the function Equals failed");
    return Result;
}

VS_BOOL QZDataBase_Equals_Internal(StructOfQZDataBase *SrcQZData, StructOfQZDataBase *DesQZData)
{
    if (SrcQZData == DesQZData)
        return VS_TRUE;
    // Des must be an instance: DataEquals refuses the QZDataBase class object.
    TrelkDataChain SrcChain, DesChain;
    if (SrcQZData == NULL || !TrelkData_ReadChain(SrcQZData, &SrcChain) || !TrelkData_ReadChain(DesQZData, &DesChain))
        return VS_FALSE;
    return DataEquals(&SrcChain, &DesChain, NULL);
}

// ---------------------------------------------------------------------------
// Kind tests
// ---------------------------------------------------------------------------
static VS_BOOL KindTest(StructOfQZDataBase *QZData, VS_BOOL IsInst, uintptr_t Code, void *PreDefinedClass)
{
    StructOfQZDataBase *X = QZDataBase_GetDataType_Internal(QZData);
    while (X != NULL && !TrelkData_IsPreDefined(X)) {
        if ((uintptr_t)SRV->FindIDKey(GlobalDataTypeIndexTree, SRV->GetIDEx(X)) == Code)
            return IsInst == 1 && TrelkData_IsDataBaseClassObject(SRV->GetClass(X)) ? VS_FALSE : VS_TRUE;
        X = TrelkData_DataClassOf(X);
    }
    return X != NULL && X == PreDefinedClass && IsInst != 1 ? VS_TRUE : VS_FALSE;
}

// KindTest on a chain whose data type is link TypeAt.
static VS_BOOL ChainKindTest(const TrelkDataChain *Chain, VS_INT32 TypeAt, VS_BOOL IsInst, uintptr_t Code,
                             void *PreDefinedClass)
{
    if (TypeAt < 0)
        return KindTest(TrelkData_ChainData(Chain), IsInst, Code, PreDefinedClass);
    // Links above the type up to the QZDataBase class object are data
    // objects, and that one is predefined: the walk ends inside the chain.
    for (VS_INT32 i = TypeAt; i < Chain->Count; i++) {
        void *X = Chain->Link[i];
        if (TrelkData_IsPreDefined(X))
            return X == PreDefinedClass && IsInst != 1 ? VS_TRUE : VS_FALSE;
        if ((uintptr_t)SRV->FindIDKey(GlobalDataTypeIndexTree, SRV->GetIDEx(X)) == Code)
            return IsInst == 1 && TrelkData_IsDataBaseClass(Chain->Link[i + 1]) ? VS_FALSE : VS_TRUE;
    }
    return VS_FALSE;
}

static VS_INT32 ChainKindLuafunc(uintptr_t Code, void *PreDefinedClass)
{
    TrelkDataChain Chain;
    StructOfQZDataBase *Self = TrelkData_SelfArgChain(&Chain);
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL) {
        VS_INT32 TypeAt;
        TrelkData_ChainDataType(&Chain, &TypeAt);
        Result = ChainKindTest(&Chain, TypeAt, 0, Code, PreDefinedClass);
    }
    SRV->LuaPushBool(Result);
    return 1;
}

VS_BOOL QZDataBase_IsDataSet_Internal(StructOfQZDataBase *QZData, VS_BOOL IsInst)
{
    return KindTest(QZData, IsInst, QZDATATYPE_KIND_SET, QZDataSetBaseClass);
}

VS_BOOL QZDataBase_IsObjectData_Internal(StructOfQZDataBase *QZData, VS_BOOL IsInst)
{
    return KindTest(QZData, IsInst, QZDATATYPE_KIND_OBJECT, QZObjectDataBaseClass);
}

VS_BOOL QZDataBase_IsBufData_Internal(StructOfQZDataBase *QZData, VS_BOOL IsInst)
{
    return KindTest(QZData, IsInst, QZDATATYPE_KIND_BUF, QZBufDataBaseClass);
}

// The strict kind test knows only the companion set classes: set types made
// by a script are registered as plain data types. Their instances hold
// members all the same, so they count here; the bare set class and a
// companion made directly under the QZDataBase class object still do not.
VS_BOOL TrelkData_IsMemberSet(StructOfQZDataBase *QZData)
{
    if (QZData == NULL || !QZDataBase_IsDataObject(QZData))
        return VS_FALSE;
    if (QZDataBase_IsDataSet_Internal(QZData, VS_TRUE))
        return VS_TRUE;
    StructOfQZDataBase *Type = QZDataBase_GetDataType_Internal(QZData);
    return Type != NULL && !TrelkData_IsPreDefined(Type) && Trelk_IsOf(QZData, QZDataSetBaseClass)
               ? VS_TRUE
               : VS_FALSE;
}

// The same for a data object with its chain and its data type.
static VS_BOOL IsMemberSetOfChain(const TrelkDataChain *Chain, StructOfQZDataBase *Type, VS_INT32 TypeAt)
{
    if (ChainKindTest(Chain, TypeAt, VS_TRUE, QZDATATYPE_KIND_SET, QZDataSetBaseClass))
        return VS_TRUE;
    if (Type == NULL || TrelkData_IsPreDefined(Type))
        return VS_FALSE;
    if (!Chain->Complete)
        return Trelk_IsOf(TrelkData_ChainData(Chain), QZDataSetBaseClass);
    // The set class is a data class: when it is on the chain, it is below
    // the QZDataBase class object, where a complete chain ends.
    void *SetClass = QZDataSetBaseClass;
    for (VS_INT32 i = 0; SetClass != NULL && i < Chain->Count; i++)
        if (Chain->Link[i] == SetClass)
            return VS_TRUE;
    return VS_FALSE;
}

// ---------------------------------------------------------------------------
// Ordering
// ---------------------------------------------------------------------------
void *QZDataBase_GetOwnerRealm_Internal(StructOfQZDataBase *QZData)
{
    if (QZData == NULL || QZRealmBaseClass == NULL)
        return NULL;
    VS_UUID *RealmClassID = SRV->GetIDEx(QZRealmBaseClass);
    for (void *P = SRV->GetParent(QZData); P != NULL; P = SRV->GetParent(P))
        if (SRV->IsInst(RealmClassID, P))
            return P;
    return NULL;
}

// -1 self before other, 1 after, 0 equal keys or not comparable.
static VS_INT32 CompareOrder(StructOfQZDataBase *Self, void *OtherObject)
{
    if (Self == NULL || !QZDataBase_IsDataObject(OtherObject))
        return 0;
    StructOfQZDataBase *Other = (StructOfQZDataBase *)OtherObject;
    void *RealmA = QZDataBase_GetOwnerRealm_Internal(Self);
    void *RealmB = QZDataBase_GetOwnerRealm_Internal(Other);
    if (RealmA == NULL || RealmB == NULL || RealmA != RealmB)
        return 0;
    if (Self->ScheduleTickCount != Other->ScheduleTickCount)
        return Self->ScheduleTickCount < Other->ScheduleTickCount ? -1 : 1;
    if (Self->SequenceIndex != Other->SequenceIndex)
        return Self->SequenceIndex < Other->SequenceIndex ? -1 : 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Duplication
// ---------------------------------------------------------------------------
// Sets being copied, one per nesting level: a member that is one of them is
// replaced by its copy, so a set that contains itself copies to a set that
// contains its copy.
struct DupFrame {
    StructOfQZDataBase *Original;
    StructOfQZDataBase *Copy;
    const DupFrame *Up;
    VS_INT32 Depth;
};

// Frees a new set whose copying failed, with every member copy it made.
static void DropNewSet(StructOfQZDataBase *NewSet)
{
    VS_UUID ID = SRV->GetID(NewSet);
    if (NewSet->DataBuf != NULL)
        NewSet->DataBuf->Clear();
    TrelkData_ReleaseOwnedCopies(NewSet);
    void *Still = SRV->GetObject(&ID);
    if (Still != NULL)
        SRV->FreeObject(Still);
}

static StructOfQZDataBase *DupInternal(StructOfQZDataBase *QZData, const DupFrame *Up)
{
    if (QZData == NULL)
        return NULL;
    if (TrelkData_IsDataBaseClassObject(QZData) || QZData->IsType) {
        Trelk_Raise(QZData, " is type and not data object, Dup failed");
        return NULL;
    }
    StructOfQZDataBase *Type = QZDataBase_GetDataType_Internal(QZData);
    if (Type == NULL) {
        Trelk_Raise(QZData, " 's type object is not found, Dup failed");
        return NULL;
    }

    if (TrelkData_IsMemberSet(QZData)) {
        StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(QZData);
        if (Holder == NULL) {
            Trelk_Raise(QZData, " has no data, Dup failed");
            return NULL;
        }
        VS_INT32 Depth = Up != NULL ? Up->Depth + 1 : 0;
        if (Depth >= QZDATA_MAX_NESTING) {
            Trelk_Raise(QZData, " is nested too deep, Dup failed");
            return NULL;
        }
        StructOfQZDataBase *NewSet = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(Type), 0, NULL);
        if (NewSet == NULL)
            return NULL;
        // A member's type-class "Dup" runs script, which may free the new set,
        // the set being copied or its holder: all are found again by ID after
        // each member.
        VS_UUID NewSetID = SRV->GetID(NewSet);
        VS_UUID HolderID = SRV->GetID(Holder);
        DupFrame Frame = {QZData, NewSet, Up, Depth};
        // The member package is held while the members are copied: a script
        // may replace it meanwhile.
        VS_PARAPKGPTR Members = Holder->DataBuf;
        Members->AddRef();
        VS_BOOL Failed = VS_FALSE;
        for (VS_INT32 i = 0; !Failed && i < Members->GetNumber(); i++) {
            void *MemberObject = Members->GetObject(i);
            if (MemberObject == NULL)
                continue;
            // An object that is no data has no type to copy it by.
            if (!QZDataBase_IsDataObject(MemberObject)) {
                Trelk_Raise(MemberObject, " 's type object is not found, Dup failed");
                Failed = VS_TRUE;
                break;
            }
            StructOfQZDataBase *Member = (StructOfQZDataBase *)MemberObject;
            StructOfQZDataBase *Copy = NULL;
            for (const DupFrame *F = &Frame; F != NULL && Copy == NULL; F = F->Up)
                if (F->Original == Member)
                    Copy = F->Copy;
            VS_BOOL Made = VS_FALSE;
            if (Copy == NULL) {
                Copy = DupInternal(Member, &Frame);
                Made = Copy != NULL ? VS_TRUE : VS_FALSE;
            }
            if (SRV->GetObject(&NewSetID) != NewSet || SRV->GetObject(&HolderID) != Holder) {
                // Gone while its members were copied: the copy made last is
                // nobody's.
                if (Made)
                    TrelkData_DropCopy(Copy);
                Members->Release();
                if (SRV->GetObject(&NewSetID) == NewSet)
                    DropNewSet(NewSet);
                return NULL;
            }
            if (Copy == NULL) {
                Failed = VS_TRUE;
                break;
            }
            if (Made)
                TrelkData_OwnCopy(NewSet, Copy);
            if (NewSet->DataBuf == NULL)
                NewSet->DataBuf = Trelk_GetParaPkgInterface(__LINE__);
            NewSet->DataBuf->InsertObject(NewSet->DataBuf->GetNumber(), Copy);
        }
        Members->Release();
        if (Failed) {
            DropNewSet(NewSet);
            return NULL;
        }
        return NewSet;
    }

    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(QZData);
    if (Holder == NULL) {
        Trelk_Raise(QZData, " has no data buf, Dup failed");
        return NULL;
    }
    void *TypeClass = QZDataBase_GetTypeClassOf_Internal(Type);
    if (TypeClass != NULL) {
        if (!IsOneObjectItem(Holder->DataBuf)) {
            Trelk_Raise(QZData, " has defined DataTypeClass, but it's buf is not object, Dup failed");
            return NULL;
        }
        VS_UUID DataID = SRV->GetID(QZData);
        SRV->GetLastError();
        SRV->LuaPushObject(Holder);
        SRV->LuaPushNil();
        StructOfQZDataBase *Copy = NULL;
        VS_BOOL Made = Trelk_ExecNameScript(TypeClass, "Dup", 2, 1);
        if (!TrelkData_Alive(QZData, &DataID)) {
            // Freed by its own hook: no copy of it is handed out.
        } else if (!Made) {
            Trelk_Raise(QZData, " has assigned DataTypeClass, but calls the function Dup failed");
        } else if (!QZProcChain_IsExecNameScriptError(QZData,
                                                      "has assigned DataTypeClass, but calls the function Dup failed")) {
            void *Result = SRV->LuaToObject(-1);
            if (Result == NULL) {
                Trelk_Raise(QZData, " 's Dup function returns NULL, Dup failed");
            } else {
                SRV->AddRefEx(Result);
                Copy = (StructOfQZDataBase *)Result;
            }
        }
        SRV->LuaPop(1);
        return Copy;
    }

    StructOfQZDataBase *Copy = (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(Type), 0, NULL);
    if (Copy == NULL)
        return NULL;
    VS_PARAPKGPTR Value = Holder->DataBuf->Dup();
    if (Copy->DataBuf != NULL)
        Copy->DataBuf->Release();
    Copy->DataBuf = Value;
    MemoryDebug_InsertObjectRecord(Copy, __LINE__);
    return Copy;
}

StructOfQZDataBase *QZDataBase_Dup_Internal(StructOfQZDataBase *QZData)
{
    return DupInternal(QZData, NULL);
}

// ---------------------------------------------------------------------------
// Luafuncs
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_AddSource(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *Source = Trelk_ObjectArg(2);
    if (Self == NULL || !TrelkData_IsDataInstance(Source)) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    if (Self->SourceData == NULL)
        Self->SourceData = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR S = Self->SourceData;
    for (VS_INT32 i = 0; i < S->GetNumber(); i++) {
        if (S->GetObject(i) == Source) {
            SRV->LuaPushBool(VS_TRUE);
            return 1;
        }
    }
    S->InsertObject(S->GetNumber(), Source);
    SRV->LuaPushBool(VS_TRUE);
    return 1;
}

VS_INT32 QZDataBase_IsChangedFrom(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *Source = Trelk_ObjectArg(2);
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL && TrelkData_IsDataInstance(Source))
        Result = QZDataBase_IsChangedFrom_Internal(Self, (StructOfQZDataBase *)Source);
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZDataBase_GetSource(void *L)
{
    (void)L;
    StructOfQZDataBase *X = TrelkData_SelfArg();
    VS_PARAPKGPTR S = QZDataBase_GetSourceData_Internal(X);
    // A data holding its own value stops the search, even with an empty list.
    while (X != NULL && (S == NULL || S->GetNumber() == 0) && X->DataBuf == NULL && !X->IsType) {
        X = TrelkData_ClassOf(X);
        S = QZDataBase_GetSourceData_Internal(X);
    }
    if (S == NULL)
        SRV->LuaPushNil();
    else
        SRV->LuaPushParaPkg(S, VS_FALSE);
    return 1;
}

VS_INT32 QZDataBase_GetOwnerProc(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL || Trelk_IsZeroID(&Self->OwnerProcID))
        SRV->LuaPushNil();
    else
        SRV->LuaPushObject(SRV->GetObject(&Self->OwnerProcID));
    return 1;
}

VS_INT32 QZDataBase_IsSource(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *Source = Trelk_ObjectArg(2);
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL && QZDataBase_IsDataObject(Source))
        Result = QZDataBase_IsSource_Internal(Self, (StructOfQZDataBase *)Source, SRV->LuaToBool(3));
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZDataBase_Equals(void *L)
{
    (void)L;
    TrelkDataChain SelfChain, OtherChain;
    StructOfQZDataBase *Self = TrelkData_SelfArgChain(&SelfChain);
    void *Other = Trelk_ObjectArg(2);
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL && TrelkData_ReadChain(Other, &OtherChain))
        Result = DataEquals(&SelfChain, &OtherChain, NULL);
    SRV->LuaPushBool(Result);
    return 1;
}

// Copies at most 128 characters of the tag of Data into Buf (129 bytes).
static void CopyTag(StructOfQZDataBase *Data, VS_CHAR *Buf)
{
    QZDataBase_GetTag_Internal(Data);
    const VS_CHAR *Tag = SRV->LuaToString(-1);
    Buf[0] = 0;
    if (Tag != NULL) {
        strncpy(Buf, Tag, 128);
        Buf[128] = 0;
    }
    SRV->LuaPop(1);
}

VS_INT32 QZDataBase_IsSame(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    void *OtherObject = Trelk_ObjectArg(2);
    if (Self == NULL || !QZDataBase_IsDataObject(OtherObject)) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    StructOfQZDataBase *Other = (StructOfQZDataBase *)OtherObject;
    if (Self == Other) {
        SRV->LuaPushBool(VS_TRUE);
        return 1;
    }
    if (QZDataBase_GetDataType_Internal(Self) != QZDataBase_GetDataType_Internal(Other)) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_CHAR TagA[129], TagB[129];
    VS_UUID OtherID = SRV->GetID(Other);
    CopyTag(Self, TagA);
    // A tag may come from a script, which may have freed the other datum.
    Other = (StructOfQZDataBase *)SRV->GetObject(&OtherID);
    if (Other == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    CopyTag(Other, TagB);
    SRV->LuaPushBool(vs_string_strcmp(TagA, TagB) == 0 ? VS_TRUE : VS_FALSE);
    return 1;
}

VS_INT32 QZDataBase_IsDataSet(void *L)
{
    (void)L;
    return ChainKindLuafunc(QZDATATYPE_KIND_SET, QZDataSetBaseClass);
}

VS_INT32 QZDataBase_IsObjectData(void *L)
{
    (void)L;
    return ChainKindLuafunc(QZDATATYPE_KIND_OBJECT, QZObjectDataBaseClass);
}

VS_INT32 QZDataBase_IsBufData(void *L)
{
    (void)L;
    return ChainKindLuafunc(QZDATATYPE_KIND_BUF, QZBufDataBaseClass);
}

VS_INT32 QZDataBase_IsRealmFrameData(void *L)
{
    (void)L;
    void *Self = SRV->LuaToObject(1);
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL && QZRealmFrameData != NULL)
        Result = SRV->IsInst(SRV->GetIDEx(QZRealmFrameData), Self);
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZDataBase_IsInstance(void *L)
{
    (void)L;
    void *Self = SRV->LuaToObject(1);
    void *Type = Trelk_ObjectArg(2);
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL && Type != NULL)
        Result = SRV->IsInst(SRV->GetIDEx(Type), Self);
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZDataBase_IsBefore(void *L)
{
    (void)L;
    SRV->LuaPushBool(CompareOrder(TrelkData_SelfArg(), Trelk_ObjectArg(2)) < 0 ? VS_TRUE : VS_FALSE);
    return 1;
}

VS_INT32 QZDataBase_IsAfter(void *L)
{
    (void)L;
    SRV->LuaPushBool(CompareOrder(TrelkData_SelfArg(), Trelk_ObjectArg(2)) > 0 ? VS_TRUE : VS_FALSE);
    return 1;
}

VS_INT32 QZDataBase_Dup(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    // A copy made here carries the creator's reference; one returned by the
    // type class's "Dup" carries the reference added to it. Either is handed
    // to the script once the copy is pushed.
    VS_BOOL ByTypeClass = !TrelkData_IsMemberSet(Self) && !Self->IsType &&
                          QZDataBase_GetDataTypeClass_Internal(Self) != NULL;
    StructOfQZDataBase *Copy = QZDataBase_Dup_Internal(Self);
    if (Copy == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    SRV->LuaPushObject(Copy);
    if (ByTypeClass)
        SRV->UnLockGC(Copy);
    else
        SRV->ReleaseOwnerEx(Copy);
    return 1;
}
