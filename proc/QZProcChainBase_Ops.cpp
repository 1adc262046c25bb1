// Proc chains: appending procs and chains, equality, search, tags, and the
// small luafuncs (first and last proc, rules, description, type, callbacks).
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"

#include <cstdio>
#include <cstring>


static StructOfQZProcChainBase *SelfArg()
{
    if (SRV->LuaGetTop() < 1 || SRV->LuaType(1) != VSLUATYPE_OBJECT)
        return NULL;
    void *Self = SRV->LuaToObject(1);
    return TrelkChain_IsChain(Self) ? (StructOfQZProcChainBase *)Self : NULL;
}

static void *ObjectArg(VS_INT32 Index)
{
    if (SRV->LuaGetTop() < Index || SRV->LuaType(Index) != VSLUATYPE_OBJECT)
        return NULL;
    return Trelk_FromRawObject(SRV->LuaToObject(Index));
}

static void PushString(const VS_CHAR *Text)
{
    SRV->LuaPushString(Text != NULL ? Text : "");
}

// ---------------------------------------------------------------------------
// Appending
// ---------------------------------------------------------------------------
// Links P after Last (or as the first proc) and makes it a member.
static VS_BOOL LinkAtEnd(StructOfQZProcChainBase *Chain, StructOfQZProcBase *Last, StructOfQZProcBase *P)
{
    if (!SRV->ChangeParent(P, Chain, SRV->GetAttributeIndex(QZProcChainBaseClass, "QZProcBase")))
        return VS_FALSE;
    P->QZProcNext = NULL;
    if (Last == NULL)
        Chain->QZProcStart = SRV->GetID(P);
    else
        Last->QZProcNext = SRV->ObjectToAtomic(P);
    return VS_TRUE;
}

static StructOfQZDataOutputContainer *FindOutput(StructOfQZProcBase *QZProc, VS_UUID *DataBaseID)
{
    for (void *X = SRV->QueryFirst(&QZProc->OutputQueue); X != NULL; X = SRV->QueryNext(X))
        if (memcmp(&((StructOfQZDataOutputContainer *)X)->DataBaseID, DataBaseID, sizeof(VS_UUID)) == 0)
            return (StructOfQZDataOutputContainer *)X;
    return NULL;
}

// A new base cell that runs a duplicate of Src as one step, with the inputs
// of its first proc and the outputs of its end procs; NULL when the
// duplicate has no procs.
static StructOfQZProcBase *WrapChainIntoCell(StructOfQZProcChainBase *Src)
{
    StructOfQZProcChainBase *Dup = i_QZProcChainBase_Dup(Src);
    StructOfQZProcBase *Cell = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(QZCellBaseClass), 0, NULL);
    if (Dup == NULL || Cell == NULL) {
        if (Dup != NULL)
            SRV->FreeObject(Dup);
        if (Cell != NULL)
            SRV->FreeObject(Cell);
        return NULL;
    }
    SRV->ChangeParent(Dup, Cell, SRV->GetAttributeIndex(QZCellBaseClass, "ProcChainQueue"));
    StructOfQZProcBase *First = TrelkChain_StartProc(&Dup->QZProcStart);
    if (First == NULL) {
        SRV->FreeObject(Cell);
        return NULL;
    }
    OBJECTATTRIBUTEINDEX InputIndex = SRV->GetAttributeIndex(QZCellBaseClass, "InputQueue");
    OBJECTATTRIBUTEINDEX OutputIndex = SRV->GetAttributeIndex(QZCellBaseClass, "OutputQueue");
    VS_PARAPKGPTR Inputs = QZProcBase_InputQueueToParaPkg_Internal(First);
    for (VS_INT32 i = 0; Inputs != NULL && i < Inputs->GetNumber(); i++) {
        StructOfQZDataInputContainer *From = (StructOfQZDataInputContainer *)Inputs->GetObject(i);
        if (From == NULL)
            continue;
        StructOfQZDataInputContainer *In =
            (StructOfQZDataInputContainer *)SRV->MallocObjectL(SRV->GetIDEx(QZDataInputContainerClass), 0, NULL);
        if (In == NULL)
            continue;
        In->Index = From->Index;
        In->RequestNumber = From->RequestNumber;
        In->IsFromInternal = From->IsFromInternal;
        In->IsOnlyDirect = From->IsOnlyDirect;
        In->IsSlave = From->IsSlave;
        In->IsMustExist = From->IsMustExist;
        TrelkProc_CopyInputObject(In, From);
        In->DataBaseID = From->DataBaseID;
        In->QZProcID = From->QZProcID;
        SRV->ChangeParent(In, Cell, InputIndex);
    }
    if (Inputs != NULL)
        Inputs->Release();
    for (void *X = SRV->QueryFirst(&Dup->QZProcBase); X != NULL; X = SRV->QueryNext(X)) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)X;
        if (!TrelkChain_IsProc(P) || TrelkChain_NextProc(P) != NULL)
            continue;
        for (void *Y = SRV->QueryFirst(&P->OutputQueue); Y != NULL; Y = SRV->QueryNext(Y)) {
            StructOfQZDataOutputContainer *From = (StructOfQZDataOutputContainer *)Y;
            if (FindOutput(Cell, &From->DataBaseID) != NULL)
                continue;
            StructOfQZDataOutputContainer *Out =
                (StructOfQZDataOutputContainer *)SRV->MallocObjectL(SRV->GetIDEx(QZDataOutputContainerClass), 0, NULL);
            if (Out == NULL)
                continue;
            Out->DataBaseID = From->DataBaseID;
            memset(&Out->OriginalDataBaseID, 0, sizeof(VS_UUID));
            Out->IsMustExist = VS_FALSE;
            Out->ReturnNumber = 1;
            SRV->ChangeParent(Out, Cell, OutputIndex);
        }
    }
    return Cell;
}

// The remembered tail stands for the walk only while it is still a proc of
// this chain with nothing after it; anything else (a script moved it, or the
// caller knows none) walks the order from its first proc.
static StructOfQZProcBase *KnownTail(StructOfQZProcChainBase *QZProcChain, VS_UUID *TailID)
{
    if (TailID == NULL || Trelk_IsZeroID(TailID))
        return NULL;
    void *Tail = SRV->GetObject(TailID);
    if (!TrelkChain_IsProc(Tail) || SRV->GetParent(Tail) != QZProcChain ||
        ((StructOfQZProcBase *)Tail)->QZProcNext != NULL)
        return NULL;
    return (StructOfQZProcBase *)Tail;
}

VS_BOOL QZProcChainBase_AppendAtTail_Internal(StructOfQZProcChainBase *QZProcChain, void *SrcProcOrProcChain,
                                              VS_UUID *TailID)
{
    if (!TrelkChain_IsChain(QZProcChain) || SrcProcOrProcChain == NULL)
        return VS_FALSE;
    StructOfQZProcBase *Last = NULL;
    if (!Trelk_IsZeroID(&QZProcChain->QZProcStart)) {
        StructOfQZProcBase *First = TrelkChain_StartProc(&QZProcChain->QZProcStart);
        if (First == NULL)
            return VS_FALSE;
        Last = KnownTail(QZProcChain, TailID);
        if (Last == NULL)
            Last = TrelkChain_LastProc(First);
    }
    if (TrelkChain_IsProc(SrcProcOrProcChain)) {
        StructOfQZProcBase *P = (StructOfQZProcBase *)SrcProcOrProcChain;
        VS_BOOL NewlyMade = VS_FALSE;
        if (P->IsType) {
            P = (StructOfQZProcBase *)SRV->MallocObjectL(SRV->GetIDEx(P), 0, NULL);
            if (P == NULL)
                return VS_FALSE;
            NewlyMade = VS_TRUE;
        } else {
            // Already in this chain (it would be linked after itself) or in
            // the order of another chain or runner.
            void *Holder = SRV->GetParent(P);
            if (TrelkChain_IsChain(Holder) || Trelk_IsInstOf(Holder, QZProcRunnerBaseClass))
                return VS_FALSE;
        }
        memset(&P->RootProcID, 0, sizeof(VS_UUID));
        if (P->PrivateLocalBuf != NULL)
            P->PrivateLocalBuf->Clear();
        if (!LinkAtEnd(QZProcChain, Last, P)) {
            if (NewlyMade)
                SRV->FreeObject(P);
            return VS_FALSE;
        }
        if (!NewlyMade)
            SRV->LockGC(P);
        if (TailID != NULL)
            *TailID = SRV->GetID(P);
        return VS_TRUE;
    }
    if (TrelkChain_IsChain(SrcProcOrProcChain)) {
        StructOfQZProcBase *Cell = WrapChainIntoCell((StructOfQZProcChainBase *)SrcProcOrProcChain);
        if (Cell == NULL)
            return VS_FALSE;
        if (!LinkAtEnd(QZProcChain, Last, Cell)) {
            SRV->FreeObject(Cell);
            return VS_FALSE;
        }
        if (TailID != NULL)
            *TailID = SRV->GetID(Cell);
        return VS_TRUE;
    }
    return VS_FALSE;
}

VS_BOOL QZProcChainBase_Append_Internal(StructOfQZProcChainBase *QZProcChain, void *SrcProcOrProcChain)
{
    return QZProcChainBase_AppendAtTail_Internal(QZProcChain, SrcProcOrProcChain, NULL);
}

VS_INT32 QZProcChainBase_Append(void *L)
{
    (void)L;
    SRV->LuaPushBool(QZProcChainBase_Append_Internal(SelfArg(), ObjectArg(2)));
    return 1;
}

// ---------------------------------------------------------------------------
// Equality
// ---------------------------------------------------------------------------
// Child chains compare through the rest of their parent chains, so a
// damaged order could lead back to the same comparison; deep enough is
// taken as different.
#define CHAIN_EQUALS_MAXDEPTH 256
static thread_local VS_INT32 EqualsDepth = 0;

static VS_BOOL EachChildHasEqual(StructOfQZProcBase *From, StructOfQZProcBase *In)
{
    for (void *X = SRV->QueryFirst(&From->QZProcChild); X != NULL; X = SRV->QueryNext(X)) {
        VS_BOOL Found = VS_FALSE;
        for (void *Y = SRV->QueryFirst(&In->QZProcChild); Y != NULL && !Found; Y = SRV->QueryNext(Y))
            Found = QZProcChainBase_Equals_Internal((StructOfQZProcChainBase *)Y, (StructOfQZProcChainBase *)X);
        if (!Found)
            return VS_FALSE;
    }
    return VS_TRUE;
}

static VS_BOOL ChainsEqual(StructOfQZProcChainBase *Src, StructOfQZProcChainBase *Des)
{
    StructOfQZProcBase *S = TrelkChain_StartProc(&Src->QZProcStart);
    StructOfQZProcBase *D = TrelkChain_StartProc(&Des->QZProcStart);
    if (S == NULL || D == NULL || QZProcBase_GetProcType_Internal(S) != QZProcBase_GetProcType_Internal(D))
        return VS_FALSE;
    StructOfTrelkProcWalk SrcWalk, DesWalk;
    TrelkProcWalk_Begin(&SrcWalk, S, VS_FALSE);
    TrelkProcWalk_Begin(&DesWalk, D, VS_FALSE);
    VS_BOOL Result = VS_FALSE;
    for (;;) {
        VS_BOOL SrcHasChild = SRV->QueryFirst(&S->QZProcChild) != NULL;
        VS_BOOL DesHasChild = SRV->QueryFirst(&D->QZProcChild) != NULL;
        if (SrcHasChild != DesHasChild || !EachChildHasEqual(S, D) || !EachChildHasEqual(D, S))
            break;
        S = TrelkProcWalk_Next(&SrcWalk);
        D = TrelkProcWalk_Next(&DesWalk);
        if (S == NULL || D == NULL) {
            Result = S == NULL && D == NULL;
            break;
        }
        if (QZProcBase_GetProcType_Internal(S) != QZProcBase_GetProcType_Internal(D))
            break;
    }
    TrelkProcWalk_End(&SrcWalk);
    TrelkProcWalk_End(&DesWalk);
    return Result;
}

VS_BOOL QZProcChainBase_Equals_Internal(StructOfQZProcChainBase *Src, StructOfQZProcChainBase *Des)
{
    if (Src != NULL && Src == Des)
        return VS_TRUE;
    if (!TrelkChain_IsChain(Src) || !TrelkChain_IsChain(Des))
        return VS_FALSE;
    if (EqualsDepth >= CHAIN_EQUALS_MAXDEPTH)
        return VS_FALSE;
    EqualsDepth++;
    VS_BOOL Result = ChainsEqual(Src, Des);
    EqualsDepth--;
    return Result;
}

VS_INT32 QZProcChainBase_Equals(void *L)
{
    (void)L;
    void *Other = ObjectArg(2);
    StructOfQZProcChainBase *Self = SelfArg();
    SRV->LuaPushBool(Self != NULL && QZProcChainBase_Equals_Internal(Self, (StructOfQZProcChainBase *)Other));
    return 1;
}

// ---------------------------------------------------------------------------
// Search
// ---------------------------------------------------------------------------
VS_PARAPKGPTR QZProcChainBase_FindInternal(StructOfQZProcBase *FirstQZProc, StructOfQZProcBase *LastQZProc)
{
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if ((FirstQZProc != NULL && !TrelkChain_IsProc(FirstQZProc)) ||
        (LastQZProc != NULL && !TrelkChain_IsProc(LastQZProc)) || QZProcChainBaseClass == NULL)
        return Result;
    void *FirstType = FirstQZProc != NULL ? QZProcBase_GetProcType_Internal(FirstQZProc) : NULL;
    void *LastType = LastQZProc != NULL ? QZProcBase_GetProcType_Internal(LastQZProc) : NULL;
    VS_QUERYRECORD Query;
    memset(&Query, 0, sizeof(Query));
    for (void *X = SRV->QueryFirstInst(&Query, QZProcChainBaseClass); X != NULL;
         X = SRV->QueryNextInst(&Query, QZProcChainBaseClass)) {
        StructOfQZProcChainBase *Chain = (StructOfQZProcChainBase *)X;
        StructOfQZProcBase *F = TrelkChain_StartProc(&Chain->QZProcStart);
        if (F == NULL)
            continue;
        StructOfQZProcBase *Last = TrelkChain_LastProc(F);
        if (FirstQZProc != NULL && QZProcBase_GetProcType_Internal(F) != FirstType)
            continue;
        if (LastQZProc != NULL && QZProcBase_GetProcType_Internal(Last) != LastType)
            continue;
        Result->InsertObject(Result->GetNumber(), Chain);
    }
    SRV->QueryInstClose(&Query);
    return Result;
}

VS_INT32 QZProcChainBase_Find(void *L)
{
    (void)L;
    SRV->LuaPushParaPkg(QZProcChainBase_FindInternal((StructOfQZProcBase *)ObjectArg(2), (StructOfQZProcBase *)ObjectArg(3)),
                        VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// Tag
// ---------------------------------------------------------------------------
VS_INT32 QZProcChainBase_GetTag_Internal(StructOfQZProcChainBase *QZProcChain)
{
    if (!TrelkChain_IsChain(QZProcChain)) {
        SRV->LuaPushString("");
        return 1;
    }
    VS_PARAPKGPTR Info = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    VS_CHAR *Json = QZProcBase_OnSaveProc_SaveProcChain(QZProcChain, Info, Record, VS_FALSE) ? Record->ToJSon() : NULL;
    if (Json == NULL) {
        SRV->LuaPushString("");
    } else {
        size_t Length = strlen(Json) + sizeof("chain_");
        VS_CHAR *Raw = (VS_CHAR *)SRV->Malloc_Nor((VS_ULONG)Length);
        if (Raw == NULL) {
            SRV->LuaPushString("");
        } else {
            snprintf(Raw, Length, "chain_%s", Json);
            PushString(Trelk_FormatTag(Raw));
            SRV->Free(Raw);
        }
        Record->FreeBuf(Json);
    }
    Record->Release();
    Info->Release();
    return 1;
}

VS_INT32 QZProcChainBase_GetTag(void *L)
{
    (void)L;
    return QZProcChainBase_GetTag_Internal(SelfArg());
}

VS_INT32 QZProcChainBase_GetTagLabel(void *L)
{
    (void)L;
    SRV->LuaPushString("chain_global_QZProcChainBase");
    return 1;
}

// ---------------------------------------------------------------------------
// Small luafuncs
// ---------------------------------------------------------------------------
VS_INT32 QZProcChainBase_GetInfo(void *L)
{
    (void)L;
    StructOfQZProcChainBase *Self = SelfArg();
    if (Self == NULL) {
        SRV->LuaPushString("");
        return 1;
    }
    // The full class name comes back in the very buffer the result goes to.
    VS_CHAR ClassName[FULLCLASSNAMEPRINTBUF_SIZE];
    snprintf(ClassName, sizeof(ClassName), "%s", QZProcBase_OnSaveProc_GetFullClassName(Self));
    vs_string_snprintf(FullClassNamePrintBuf, FULLCLASSNAMEPRINTBUF_SIZE, "%s.%s", ClassName, Trelk_Name(Self));
    SRV->LuaPushString(FullClassNamePrintBuf);
    return 1;
}

VS_INT32 QZProcChainBase_GetFirstProc(void *L)
{
    (void)L;
    StructOfQZProcChainBase *Self = SelfArg();
    StructOfQZProcBase *First = Self != NULL ? TrelkChain_StartProc(&Self->QZProcStart) : NULL;
    if (First != NULL)
        SRV->LuaPushObject(First);
    else
        SRV->LuaPushNil();
    return 1;
}

VS_INT32 QZProcChainBase_GetLastProc(void *L)
{
    (void)L;
    StructOfQZProcChainBase *Self = SelfArg();
    StructOfQZProcBase *Last = Self != NULL ? TrelkChain_LastProc(TrelkChain_StartProc(&Self->QZProcStart)) : NULL;
    if (Last != NULL)
        SRV->LuaPushObject(Last);
    else
        SRV->LuaPushNil();
    return 1;
}

VS_INT32 QZProcChainBase_GetRule(void *L)
{
    (void)L;
    StructOfQZProcChainBase *Self = SelfArg();
    VS_PARAPKGPTR Pkg = Trelk_GetParaPkgInterface(__LINE__);
    if (Self != NULL) {
        for (void *X = SRV->QueryFirst(&Self->QZRuleAttachQueue); X != NULL; X = SRV->QueryNext(X)) {
            void *Rule = SRV->GetObject(&((StructOfQZRuleAttachBase *)X)->QZRuleID);
            if (Rule != NULL)
                Pkg->InsertObject(Pkg->GetNumber(), Rule);
        }
    }
    SRV->LuaPushParaPkg(Pkg, VS_TRUE);
    return 1;
}

VS_INT32 QZProcChainBase_IsOnlyOneProc(void *L)
{
    (void)L;
    StructOfQZProcChainBase *Self = SelfArg();
    VS_INT32 Count = 0;
    for (void *X = Self != NULL ? SRV->QueryFirst(&Self->QZProcBase) : NULL; X != NULL && Count < 2; X = SRV->QueryNext(X))
        Count++;
    SRV->LuaPushBool(Count >= 2 ? VS_TRUE : VS_FALSE);
    return 1;
}

VS_INT32 QZProcChainBase_GetDesc(void *L)
{
    (void)L;
    StructOfQZProcChainBase *Self = SelfArg();
    PushString(Self != NULL ? Self->ProcChainDesc.Buf : NULL);
    return 1;
}

VS_INT32 QZProcChainBase_SetDesc(void *L)
{
    (void)L;
    StructOfQZProcChainBase *Self = SelfArg();
    if (Self == NULL)
        return 0;
    const VS_CHAR *Desc = SRV->LuaGetTop() >= 2 && SRV->LuaType(2) == VSLUATYPE_STRING ? SRV->LuaToString(2) : NULL;
    SRV->SetVString(&Self->ProcChainDesc, Desc != NULL ? Desc : "");
    return 0;
}

VS_INT32 QZProcChainBase_GetSignature(void *L)
{
    (void)L;
    StructOfQZProcChainBase *Self = SelfArg();
    PushString(Self != NULL ? Self->Signature.Buf : NULL);
    return 1;
}

VS_INT32 QZProcChainBase_GetType(void *L)
{
    (void)L;
    if (QZProcChainBaseClass != NULL)
        SRV->LuaPushObject(QZProcChainBaseClass);
    else
        SRV->LuaPushNil();
    return 1;
}

VS_INT32 QZProcChainBase_GetTypeName(void *L)
{
    (void)L;
    SRV->LuaPushString("QZProcChainBase");
    return 1;
}

VS_INT32 QZProcChainBase_IsInstance(void *L)
{
    (void)L;
    void *Self = SRV->LuaGetTop() >= 1 && SRV->LuaType(1) == VSLUATYPE_OBJECT ? SRV->LuaToObject(1) : NULL;
    void *Type = ObjectArg(2);
    SRV->LuaPushBool(Self != NULL && Type != NULL && SRV->IsInst(SRV->GetIDEx(Type), Self) ? VS_TRUE : VS_FALSE);
    return 1;
}

VS_INT32 QZProcChainBase__QuelCall(void *L)
{
    (void)L;
    // On a chain, a duplicate; on the class object, a new empty chain.
    void *Self = SRV->LuaGetTop() >= 1 && SRV->LuaType(1) == VSLUATYPE_OBJECT ? SRV->LuaToObject(1) : NULL;
    void *Dup = NULL;
    if (TrelkChain_IsChain(Self))
        Dup = i_QZProcChainBase_Dup((StructOfQZProcChainBase *)Self);
    else if (Self != NULL && Self == QZProcChainBaseClass)
        Dup = SRV->MallocObjectL(SRV->GetIDEx(Self), 0, NULL);
    if (Dup == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    SRV->LuaPushObject(Dup);
    // The script owns what it asked for.
    SRV->ReleaseOwnerEx(Dup);
    return 1;
}

// The private buffer of self, which keeps its callback list, or NULL.
static StructOfQZProcChainBaseLocalBuf *SelfCallBackBuf()
{
    void *Self = SRV->LuaGetTop() >= 1 && SRV->LuaType(1) == VSLUATYPE_OBJECT ? SRV->LuaToObject(1) : NULL;
    if (Self == NULL || (Self != QZProcChainBaseClass && !TrelkChain_IsChain(Self)))
        return NULL;
    VS_ULONG Size = 0;
    StructOfQZProcChainBaseLocalBuf *Buf =
        (StructOfQZProcChainBaseLocalBuf *)SRV->GetPrivateBuf(Self, SRV->GetLayer(Self), 0, &Size);
    return Buf != NULL && Size >= sizeof(StructOfQZProcChainBaseLocalBuf) ? Buf : NULL;
}

VS_INT32 QZProcChainBase_RegCallBack(void *L)
{
    (void)L;
    TrelkChain_AddFreeCallback(SelfCallBackBuf(), ObjectArg(2));
    return 0;
}

VS_INT32 QZProcChainBase_UnRegCallBack(void *L)
{
    (void)L;
    void *Target = ObjectArg(2);
    StructOfQZProcChainBaseLocalBuf *Buf = SelfCallBackBuf();
    if (Target != NULL && Buf != NULL)
        Trelk_CallBackListRemove(Buf->CallBackObjectPkg, Target);
    return 0;
}
