// Data sets: data objects whose value package holds other data objects, the
// members, optionally all of one member type. Members are added and removed
// on the holder of the set's buffer, read in schedule order, compared as
// subsets, and run through a proc or chain on a temporary realm.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

#include "trelk_alloc.h"

#include <cstring>

// A set: an instance of the set class, or of a set companion class (which
// carries its own DataBaseID attribute at the same place).
static VS_BOOL IsSetObject(void *Object)
{
    if (!QZDataBase_IsDataObject(Object))
        return VS_FALSE;
    return Trelk_IsOf(Object, QZDataSetBaseClass) ||
                   QZDataBase_IsDataSet_Internal((StructOfQZDataBase *)Object, VS_FALSE)
               ? VS_TRUE
               : VS_FALSE;
}

static StructOfQZDataSetBase *SelfSet()
{
    void *Self = SRV->LuaToObject(1);
    return IsSetObject(Self) ? (StructOfQZDataSetBase *)Self : NULL;
}

// Whether Object may be a member of a set whose member type is DataBaseID.
static VS_BOOL IsAllowedMember(const VS_UUID *DataBaseID, void *Object)
{
    if (Object == NULL || !SRV->IsInst(SRV->GetIDEx(QZDataBaseClass), Object))
        return VS_FALSE;
    VS_UUID ID = *DataBaseID;
    return Trelk_IsZeroID(&ID) || SRV->IsInst(&ID, Object) ? VS_TRUE : VS_FALSE;
}

// Whether adding Candidate to the buffer held by Holder would make a set that
// contains itself: Candidate shares the holder, or is a set whose members (at
// any depth) do. Holders already seen are kept in an ID index so that shared
// and cyclic member graphs are walked once.
static VS_BOOL ReachesHolder(StructOfQZDataBase *Candidate, StructOfQZDataBase *Holder, void *Seen)
{
    if (Candidate == Holder)
        return VS_TRUE;
    StructOfQZDataBase *CandidateHolder = QZDataBase_GetObjectHasBuf_Internal(Candidate);
    if (CandidateHolder == NULL)
        return VS_FALSE;
    if (CandidateHolder == Holder)
        return VS_TRUE;
    if (!IsSetObject(Candidate) || CandidateHolder->DataBuf == NULL)
        return VS_FALSE;
    if (SRV->FindIDKey(Seen, SRV->GetIDEx(CandidateHolder)) != NULL)
        return VS_FALSE;
    SRV->InsertIDKey(Seen, SRV->GetIDEx(CandidateHolder), (void *)1);
    VS_PARAPKGPTR Members = CandidateHolder->DataBuf;
    for (VS_INT32 i = 0; i < Members->GetNumber(); i++) {
        void *Member = Members->GetObject(i);
        if (QZDataBase_IsDataObject(Member) && ReachesHolder((StructOfQZDataBase *)Member, Holder, Seen))
            return VS_TRUE;
    }
    return VS_FALSE;
}

static VS_BOOL WouldContainItself(StructOfQZDataBase *Holder, StructOfQZDataBase *Candidate)
{
    void *Seen = SRV->CreateIDIndex_Nor(0);
    MemoryDebug_InsertObjectRecord(Seen, __LINE__);
    VS_BOOL Result = ReachesHolder(Candidate, Holder, Seen);
    SRV->DestoryIndex(Seen);
    return Result;
}

// ---------------------------------------------------------------------------
// Member copies owned by a set
// ---------------------------------------------------------------------------
// A set's Dup makes its members' copies; the new set keeps the creation lock
// of each (or the reference a type class's "Dup" result was given) until the
// copy leaves it or the set is freed. Sets and copies are kept by ID: either
// may be freed by a script at any time.
// The copies are object items of a package in the set's private buffer.
void TrelkData_OwnCopy(StructOfQZDataBase *Set, void *Copy)
{
    StructOfQZDataBaseLocalBuf *LocalBuf = QZDataBase_GetLocalBuf(Set);
    if (LocalBuf == NULL || Copy == NULL)
        return;
    if (LocalBuf->OwnedCopyPkg == NULL)
        LocalBuf->OwnedCopyPkg = Trelk_GetParaPkgInterface(__LINE__);
    if (LocalBuf->OwnedCopyPkg != NULL)
        LocalBuf->OwnedCopyPkg->InsertObject(LocalBuf->OwnedCopyPkg->GetNumber(), Copy);
}

// The set gives up its lock on a copy; the host frees the copy once nothing
// else holds it.
static void ReleaseCopy(const VS_UUID &ID)
{
    VS_UUID Key = ID;
    void *Copy = SRV->GetObject(&Key);
    if (Copy != NULL)
        SRV->UnLockGC(Copy);
}

void TrelkData_DropCopy(void *Copy)
{
    ReleaseCopy(SRV->GetID(Copy));
}

void TrelkData_ReleaseOwnedCopy(StructOfQZDataBase *Set, void *Member)
{
    StructOfQZDataBaseLocalBuf *LocalBuf = Set != NULL && Member != NULL ? QZDataBase_GetLocalBuf(Set) : NULL;
    VS_PARAPKGPTR Copies = LocalBuf != NULL ? LocalBuf->OwnedCopyPkg : NULL;
    if (Copies == NULL)
        return;
    for (VS_INT32 i = 0; i < Copies->GetNumber(); i++) {
        if (Copies->GetObject(i) == Member) {
            Copies->Del(i);
            if (Copies->GetNumber() == 0) {
                LocalBuf->OwnedCopyPkg = NULL;
                Copies->Release();
            }
            ReleaseCopy(SRV->GetID(Member));
            return;
        }
    }
}

void TrelkData_ReleaseOwnedCopies(StructOfQZDataBase *Set)
{
    StructOfQZDataBaseLocalBuf *LocalBuf = Set != NULL ? QZDataBase_GetLocalBuf(Set) : NULL;
    VS_PARAPKGPTR Copies = LocalBuf != NULL ? LocalBuf->OwnedCopyPkg : NULL;
    if (Copies == NULL)
        return;
    // Taken out first, with the IDs: releasing a copy may free it and, with
    // it, other sets (this one's buffer included).
    LocalBuf->OwnedCopyPkg = NULL;
    VS_INT32 n = Copies->GetNumber();
    TrelkVector<VS_UUID> IDs;
    IDs.reserve((size_t)n);
    for (VS_INT32 i = 0; i < n; i++) {
        void *Copy = Copies->GetObject(i);
        if (Copy != NULL) // else already gone
            IDs.push_back(SRV->GetID(Copy));
    }
    Copies->Release();
    for (const VS_UUID &ID : IDs)
        ReleaseCopy(ID);
}

// ---------------------------------------------------------------------------
// System event
// ---------------------------------------------------------------------------
VS_INT32 QZDataSetBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara)
{
    (void)FunctionChoice;
    if (EventPara == NULL || SRV == NULL || QZDataSetBaseClass == NULL)
        return 0;
    if (SRV->GetSysEventID(EventPara) != VSEVENT_SYSTEMEVENT_ONCREATE)
        return 0;
    void *Object = ((StructOfVSSysEventPara *)EventPara)->Object;
    if (Object == QZDataSetBaseClass || !IsSetObject(Object))
        return 0;
    void *Class = SRV->GetClass(Object);
    if (IsSetObject(Class))
        ((StructOfQZDataSetBase *)Object)->DataBaseID = ((StructOfQZDataSetBase *)Class)->DataBaseID;
    return 0;
}

// ---------------------------------------------------------------------------
// Subset
// ---------------------------------------------------------------------------
VS_BOOL QZDataSetBase_IsSubSet_Internal(StructOfQZDataSetBase *QZDataSet, StructOfQZDataSetBase *SubQZDataSet)
{
    if (QZDataSet == NULL || SubQZDataSet == NULL || !QZDataBase_IsDataObject(QZDataSet) ||
        !QZDataBase_IsDataObject(SubQZDataSet))
        return VS_FALSE;
    if (!TrelkData_IsMemberSet(SubQZDataSet))
        return VS_FALSE;
    if (QZDataBase_GetDataType_Internal(QZDataSet) != QZDataBase_GetDataType_Internal(SubQZDataSet))
        return VS_FALSE;
    StructOfQZDataBase *SetHolder = QZDataBase_GetObjectHasBuf_Internal(QZDataSet);
    StructOfQZDataBase *SubHolder = QZDataBase_GetObjectHasBuf_Internal(SubQZDataSet);
    if (SetHolder == NULL || SubHolder == NULL)
        return VS_FALSE;
    // A member's type-class "Equals" may replace either member package or
    // free members: the packages walked are held until the walk ends, and
    // each member is read from them again after a comparison.
    VS_PARAPKGPTR Members = SetHolder->DataBuf;
    VS_PARAPKGPTR SubMembers = SubHolder->DataBuf;
    Members->AddRef();
    SubMembers->AddRef();
    VS_BOOL Result = VS_TRUE;
    for (VS_INT32 i = 0; Result && i < SubMembers->GetNumber(); i++) {
        if (SubMembers->GetObject(i) == NULL)
            continue;
        VS_BOOL Found = VS_FALSE;
        for (VS_INT32 j = 0; j < Members->GetNumber() && !Found; j++) {
            void *Member = Members->GetObject(j);
            void *SubMember = SubMembers->GetObject(i);
            if (Member != NULL && SubMember != NULL && QZDataBase_IsDataObject(Member) &&
                QZDataBase_IsDataObject(SubMember) &&
                QZDataBase_Equals_Internal((StructOfQZDataBase *)Member, (StructOfQZDataBase *)SubMember))
                Found = VS_TRUE;
        }
        if (!Found)
            Result = VS_FALSE;
    }
    Members->Release();
    SubMembers->Release();
    return Result;
}

// ---------------------------------------------------------------------------
// Member index
// ---------------------------------------------------------------------------
// Position of the first (FromFront) or last item that is Object, -1 when
// none is.
static VS_INT32 FindMember(VS_PARAPKGPTR Buf, void *Object, VS_BOOL FromFront)
{
    VS_INT32 n = Buf->GetNumber();
    if (FromFront) {
        for (VS_INT32 i = 0; i < n; i++)
            if (Buf->GetObject(i) == Object)
                return i;
    } else {
        for (VS_INT32 i = n - 1; i >= 0; i--)
            if (Buf->GetObject(i) == Object)
                return i;
    }
    return -1;
}

static VS_UWORD MemberCount(void *Index, VS_UUID *ID)
{
    return (VS_UWORD)SRV->FindIDKey(Index, ID);
}

static void SetMemberCount(void *Index, VS_UUID *ID, VS_UWORD Count)
{
    SRV->DelIDKey(Index, ID);
    if (Count > 0)
        SRV->InsertIDKey(Index, ID, (void *)Count);
}

// The holder's member index in step with Buf: made or rebuilt (one pass
// over the items) when it answers for another package or the item count
// moved under it; NULL when the holder has no private buffer or the host
// makes no index, and the caller walks the items instead.
static StructOfQZDataBaseLocalBuf *MemberIndex(StructOfQZDataBase *Holder, VS_PARAPKGPTR Buf)
{
    StructOfQZDataBaseLocalBuf *LocalBuf = QZDataBase_GetLocalBuf(Holder);
    if (LocalBuf == NULL || Buf == NULL)
        return NULL;
    VS_INT32 n = Buf->GetNumber();
    if (LocalBuf->MemberIndex != NULL && LocalBuf->MemberIndexPkg == Buf && LocalBuf->MemberIndexCount == n)
        return LocalBuf;
    TrelkData_DropMemberIndex(LocalBuf);
    LocalBuf->MemberIndex = SRV->CreateIDIndex_Nor(0);
    if (LocalBuf->MemberIndex == NULL)
        return NULL;
    MemoryDebug_InsertObjectRecord(LocalBuf->MemberIndex, __LINE__);
    Buf->AddRef();
    LocalBuf->MemberIndexPkg = Buf;
    LocalBuf->MemberIndexCount = n;
    for (VS_INT32 i = 0; i < n; i++) {
        void *Member = Buf->GetObject(i);
        VS_UUID *ID = Member != NULL ? SRV->GetIDEx(Member) : NULL;
        if (ID == NULL)
            continue;
        VS_UWORD Count = MemberCount(LocalBuf->MemberIndex, ID);
        if (Count == 0)
            SRV->InsertIDKey(LocalBuf->MemberIndex, ID, (void *)1);
        else
            SetMemberCount(LocalBuf->MemberIndex, ID, Count + 1);
    }
    return LocalBuf;
}

// The set itself changed the items of ID from Count to NewCount.
static void NoteMemberCount(StructOfQZDataBaseLocalBuf *Members, VS_PARAPKGPTR Buf, VS_UUID *ID, VS_UWORD Count,
                            VS_UWORD NewCount)
{
    if (Count == 0)
        SRV->InsertIDKey(Members->MemberIndex, ID, (void *)NewCount);
    else
        SetMemberCount(Members->MemberIndex, ID, NewCount);
    Members->MemberIndexCount = Buf->GetNumber();
}

void TrelkData_DropMemberIndex(StructOfQZDataBaseLocalBuf *LocalBuf)
{
    if (LocalBuf == NULL)
        return;
    if (LocalBuf->MemberIndex != NULL)
        SRV->DestoryIndex(LocalBuf->MemberIndex);
    LocalBuf->MemberIndex = NULL;
    if (LocalBuf->MemberIndexPkg != NULL)
        LocalBuf->MemberIndexPkg->Release();
    LocalBuf->MemberIndexPkg = NULL;
    LocalBuf->MemberIndexCount = 0;
}

// ---------------------------------------------------------------------------
// Luafuncs
// ---------------------------------------------------------------------------
VS_INT32 QZDataSetBase_AddData(void *L)
{
    (void)L;
    StructOfQZDataSetBase *Self = SelfSet();
    void *Object = Trelk_ObjectArg(2);
    if (Self == NULL || TrelkData_IsTypeLike(Self) || !IsAllowedMember(&Self->DataBaseID, Object))
        return 0;
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Self);
    if (WouldContainItself(Holder != NULL ? Holder : Self, (StructOfQZDataBase *)Object)) {
        Trelk_Raise(Self, "'s function \"AddData\" failed, a set can not contain itself");
        return 0;
    }
    if (Holder == NULL) {
        VS_PARAPKGPTR Buf = Trelk_GetParaPkgInterface(__LINE__);
        Buf->InsertObject(0, Object);
        Self->DataBuf = Buf;
        return 0;
    }
    // Object is alive and IDs are never reused: a member with its ID is it.
    VS_PARAPKGPTR Buf = Holder->DataBuf;
    StructOfQZDataBaseLocalBuf *Members = MemberIndex(Holder, Buf);
    VS_UUID *ID = SRV->GetIDEx(Object);
    if (Members != NULL ? SRV->FindIDKey(Members->MemberIndex, ID) != NULL : FindMember(Buf, Object, VS_TRUE) >= 0)
        return 0;
    if (Buf->InsertObject(Buf->GetNumber(), Object) && Members != NULL)
        NoteMemberCount(Members, Buf, ID, 0, 1);
    return 0;
}

VS_INT32 QZDataSetBase_RemoveData(void *L)
{
    (void)L;
    StructOfQZDataSetBase *Self = SelfSet();
    void *Object = Trelk_ObjectArg(2);
    if (Self == NULL || TrelkData_IsTypeLike(Self) || Object == NULL || !QZDataBase_IsDataObject(Object))
        return 0;
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Self);
    if (Holder == NULL)
        return 0;
    VS_PARAPKGPTR Buf = Holder->DataBuf;
    StructOfQZDataBaseLocalBuf *Members = MemberIndex(Holder, Buf);
    VS_UUID *ID = SRV->GetIDEx(Object);
    VS_UWORD Count = Members != NULL ? (VS_UWORD)SRV->FindIDKey(Members->MemberIndex, ID) : 2;
    if (Count == 0)
        return 0;
    // One item of it: the nearest to the end is the first (the members
    // removed are usually the ones added last); several: the first.
    VS_INT32 At = FindMember(Buf, Object, Count > 1 ? VS_TRUE : VS_FALSE);
    if (At >= 0 && Buf->Del(At)) {
        if (Members != NULL)
            NoteMemberCount(Members, Buf, ID, Count, Count - 1);
        TrelkData_ReleaseOwnedCopy(Holder, Object);
    } else if (Members != NULL) {
        Members->MemberIndexCount = -1; // out of step: indexed anew next time
    }
    return 0;
}

VS_INT32 QZDataSetBase_GetData(void *L)
{
    (void)L;
    StructOfQZDataSetBase *Self = SelfSet();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    StructOfQZDataBase *Holder = Self != NULL ? QZDataBase_GetObjectHasBuf_Internal(Self) : NULL;
    if (Holder == NULL) {
        SRV->LuaPushParaPkg(Result, VS_TRUE);
        return 1;
    }
    void *Index = SRV->CreateIndex_Nor(3, 0);
    MemoryDebug_InsertObjectRecord(Index, __LINE__);
    VS_PARAPKGPTR Buf = Holder->DataBuf;
    for (VS_INT32 i = 0; i < Buf->GetNumber(); i++) {
        void *Member = Buf->GetObject(i);
        if (Member == NULL)
            continue;
        // Only data objects carry a schedule stamp; anything else keeps its
        // place among the unscheduled members.
        if (!QZDataBase_IsDataObject(Member) || ((StructOfQZDataBase *)Member)->ScheduleTickCount == 0) {
            Result->InsertObject(Result->GetNumber(), Member);
            continue;
        }
        StructOfQZDataBase *Data = (StructOfQZDataBase *)Member;
        VS_UWORD Tick = (VS_UWORD)Data->ScheduleTickCount;
        VS_UWORD Low = Tick & 0xFFFFFFFFu;
        VS_UWORD High = (Tick >> 32) & 0xFFFFFFFFu;
        VS_UWORD Sequence = (VS_UWORD)Data->SequenceIndex;
        if (SRV->FindThreeKey(Index, Low, High, Sequence) != NULL || !SRV->InsertThreeKey(Index, Low, High, Sequence, Member)) {
            // Two members with one stamp have no order: the scheduled ones are
            // left out, the unscheduled ones met so far are answered. The
            // members stay in the set.
            Trelk_Raise(Self, "'s function \"GetData\" failed, there are two data with same time");
            SRV->DestoryIndex(Index);
            SRV->LuaPushParaPkg(Result, VS_TRUE);
            return 1;
        }
    }
    VS_UWORD K1 = 0, K2 = 0, K3 = 0;
    for (void *Member = SRV->QueryFirstThreeKey(Index, &K1, &K2, &K3); Member != NULL;
         Member = SRV->QueryNextThreeKey(Index, &K1, &K2, &K3))
        Result->InsertObject(Result->GetNumber(), Member);
    SRV->DestoryIndex(Index);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZDataSetBase_IsSubSet(void *L)
{
    (void)L;
    StructOfQZDataSetBase *Self = SelfSet();
    void *Other = Trelk_ObjectArg(2);
    VS_BOOL Result = VS_FALSE;
    if (Self != NULL && Other != NULL && QZDataBase_IsDataObject(Other))
        Result = QZDataSetBase_IsSubSet_Internal(Self, (StructOfQZDataSetBase *)Other);
    SRV->LuaPushBool(Result);
    return 1;
}

VS_INT32 QZDataSetBase_GetDataBase(void *L)
{
    (void)L;
    StructOfQZDataSetBase *Self = SelfSet();
    void *Result = NULL;
    if (Self != NULL && !Trelk_IsZeroID(&Self->DataBaseID)) {
        VS_UUID ID = Self->DataBaseID;
        Result = SRV->GetObject(&ID);
    }
    SRV->LuaPushObject(Result);
    return 1;
}

VS_INT32 QZDataSetBase_Create(void *L)
{
    (void)L;
    StructOfQZDataSetBase *Self = SelfSet();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    // Frame data reach this function through the set class; the scheduler
    // alone makes them.
    if (Trelk_IsOf(Self, QZRealmFrameData))
        return Trelk_Fail(Self, " calls function Create failed, the QZRealmFrameData must be created internal");
    VS_INT32 Top = SRV->LuaGetTop();
    if (!TrelkData_IsTypeLike(Self))
        return TrelkData_CreateFromInstance(Self);
    if (Top < 2)
        return Trelk_Fail(Self, " has no input parameter, calls function Create failed");
    // Arguments are checked before anything is made.
    VS_PARAPKGPTR Members = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Given = Top == 2 && SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    StructOfQZDataBase *DataType = QZDataBase_GetDataType_Internal(Self);
    const VS_UUID *MemberType = IsSetObject(DataType) ? &((StructOfQZDataSetBase *)DataType)->DataBaseID
                                                      : &Self->DataBaseID;
    VS_INT32 Count = Given != NULL ? Given->GetNumber() : Top - 1;
    for (VS_INT32 i = 0; i < Count; i++) {
        void *Member = NULL;
        if (Given != NULL) {
            Member = Trelk_FromRawObject(Given->GetObject(i));
        } else if (SRV->LuaType(i + 2) == VSLUATYPE_OBJECT) {
            Member = Trelk_ObjectArg(i + 2);
        } else {
            Members->Release();
            return Trelk_Fail(Self, " calls function Create failed, input parameter must be a parapkg or multiple "
                              "data objects");
        }
        if (!IsAllowedMember(MemberType, Member)) {
            Members->Release();
            return Trelk_Fail(Self, " calls function Create failed, the object in parapkg is not instance of QZDataBase");
        }
        Members->InsertObject(Members->GetNumber(), Member);
    }
    StructOfQZDataBase *NewSet = TrelkData_NewOfDataType(Self);
    if (NewSet == NULL) {
        Members->Release();
        SRV->LuaPushNil();
        return 1;
    }
    if (NewSet->DataBuf == NULL) {
        NewSet->DataBuf = Members;
    } else {
        NewSet->DataBuf->AppendFrom(Members);
        Members->Release();
    }
    Trelk_PushHandOver(NewSet);
    return 1;
}

VS_INT32 QZDataSetBase_CreateType(void *L)
{
    (void)L;
    void *Self = SRV->LuaToObject(1);
    if (!IsSetObject(Self) || !TrelkData_IsTypeLike((StructOfQZDataBase *)Self))
        return Trelk_FailText("create [%s:%s]'s sub-type failed, this object is not data type",
                              Trelk_IDText(Self), Trelk_Name(Self));
    const VS_CHAR *TypeName = NULL;
    if (!TrelkData_TypeNameArg(Self, 2, &TypeName))
        return 1;
    if (TypeName == NULL || TypeName[0] == 0) {
        SRV->LuaPushNil();
        return 1;
    }
    void *DataBase = NULL;
    if (SRV->LuaGetTop() >= 3 && SRV->LuaType(3) != VSLUATYPE_NIL) {
        DataBase = Trelk_ObjectArg(3);
        if (DataBase == NULL || !SRV->IsInst(SRV->GetIDEx(QZDataBaseClass), DataBase))
            return Trelk_FailText("create [%s:%s]'s sub-type failed, the second parameter must be null or "
                                  "data type",
                                  Trelk_IDText(Self), Trelk_Name(Self));
    }
    StructOfQZDataSetBase *Type = (StructOfQZDataSetBase *)QZDataBase_NewSubType_Internal(Self, TypeName);
    if (Type != NULL && DataBase != NULL) {
        StructOfQZDataBase *MemberType = QZDataBase_GetDataType_Internal((StructOfQZDataBase *)DataBase);
        if (MemberType != NULL)
            Type->DataBaseID = SRV->GetID(MemberType);
    }
    // A type keeps the module's reference: it lives as long as the module.
    SRV->LuaPushObject(Type);
    return 1;
}

// RunString and RunProc: the members run through saved procs or a proc (chain)
// on a temporary realm; each member is answered by the first produced data
// that it is a source of.
static VS_INT32 RunOnRealm(const VS_CHAR *FunctionName, VS_BOOL IsText)
{
    StructOfQZDataSetBase *Self = SelfSet();
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    const VS_CHAR *Text = NULL;
    void *Proc = NULL;
    VS_BOOL HasInput;
    if (IsText) {
        Text = Trelk_StringArg(2);
        HasInput = Text != NULL && Text[0] != 0 ? VS_TRUE : VS_FALSE;
    } else {
        Proc = Trelk_ObjectArg(2);
        HasInput = (Trelk_IsOf(Proc, QZProcBaseClass) && Proc != QZProcBaseClass) ||
                           (Trelk_IsOf(Proc, QZProcChainBaseClass) && Proc != QZProcChainBaseClass)
                       ? VS_TRUE
                       : VS_FALSE;
    }
    StructOfQZDataBase *Holder = Self != NULL ? QZDataBase_GetObjectHasBuf_Internal(Self) : NULL;
    if (!HasInput || Holder == NULL || Holder->DataBuf->GetNumber() == 0) {
        SRV->LuaPushParaPkg(Result, VS_TRUE);
        return 1;
    }
    void *Realm = SRV->MallocObjectL(SRV->GetIDEx(QZRealmBaseClass), 0, NULL);
    if (Realm == NULL) {
        SRV->LuaPushParaPkg(Result, VS_TRUE);
        return 1;
    }
    VS_PARAPKGPTR Members = Holder->DataBuf;
    Members->AddRef();
    SRV->LuaPushParaPkg(Members, VS_FALSE);
    SRV->LuaPushNil();
    if (IsText)
        SRV->LuaPushString(Text);
    else
        SRV->LuaPushObject(Proc);
    SRV->GetLastError();
    VS_UUID HolderID = SRV->GetID(Holder);
    VS_UUID RealmID = SRV->GetID(Realm);
    VS_BOOL Made = QZRealmBase_ExecNameScript(Realm, FunctionName, 3, 1);
    // The run may free the holder (the members stay readable in the package
    // held here) or the temporary realm.
    if (!TrelkData_Alive(Holder, &HolderID)) {
        // nothing to report it by; the members are answered no further
    } else if (!Made) {
        Trelk_RaiseText("calls [%s:%s]'s function %s failed", Trelk_IDText(Holder),
                        Trelk_Name(Holder), FunctionName);
    } else if (!QZProcChain_IsExecNameScriptError(
                   Holder, IsText ? ", calls the function RunString failed" : ", calls the function RunProc failed")) {
        VS_PARAPKGPTR Returned = SRV->LuaType(-1) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(-1) : NULL;
        if (Returned != NULL && Returned->GetNumber() > 0) {
            VS_BOOL FirstIsObject = Returned->GetType(0) == VSTYPE_OBJECT ? VS_TRUE : VS_FALSE;
            for (VS_INT32 i = 0; i < Members->GetNumber(); i++) {
                void *Member = Members->GetObject(i);
                void *Answer = NULL;
                if (FirstIsObject && Member != NULL && QZDataBase_IsDataObject(Member)) {
                    for (VS_INT32 j = 0; j < Returned->GetNumber() && Answer == NULL; j++) {
                        void *Produced = Returned->GetObject(j);
                        if (Produced != NULL && QZDataBase_IsDataObject(Produced) &&
                            QZDataBase_IsSource_Internal((StructOfQZDataBase *)Produced, (StructOfQZDataBase *)Member,
                                                         VS_FALSE))
                            Answer = Produced;
                    }
                }
                // A member without an answer keeps its place with an empty
                // item, so that item i always answers member i.
                if (Answer != NULL)
                    Result->InsertObject(i, Answer);
                else
                    Result->InsertEmpty(i);
            }
        }
    }
    SRV->LuaPop(1);
    Members->Release();
    if (TrelkData_Alive(Realm, &RealmID))
        SRV->FreeObject(Realm);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZDataSetBase_RunString(void *L)
{
    (void)L;
    return RunOnRealm("RunString", VS_TRUE);
}

VS_INT32 QZDataSetBase_RunProc(void *L)
{
    (void)L;
    return RunOnRealm("RunProc", VS_FALSE);
}
