// Helpers that only the data files share (see trelk_data_internal.h): long
// texts, the class walk, argument and creation helpers of the data luafuncs
// and the load sessions of the value-list readers.
#include "trelk_data_internal.h"

const VS_CHAR *const TrelkData_ForeignObjectText =
    "'s buf has object which does not instance of QZDataBase or QZProcBase or QZProcChainBase, can not save";

// Longest piece of text handed to one Print call: Print formats through a
// 10240-byte scratch buffer, so longer texts are appended piece by piece.
#define QZDATA_PRINT_PIECE 8192

void TrelkData_PrintLongText(ClassOfStringPrintBuf *Out, const VS_CHAR *Text)
{
    size_t Len = vs_string_strlen(Text);
    for (size_t Off = 0; Off < Len; Off += QZDATA_PRINT_PIECE) {
        size_t Piece = Len - Off < QZDATA_PRINT_PIECE ? Len - Off : QZDATA_PRINT_PIECE;
        Out->Print("%.*s", (int)Piece, Text + Off);
    }
}

VS_BOOL TrelkData_IsProcOrChain(void *Object)
{
    return Trelk_IsInstOf(Object, QZProcBaseClass) || Trelk_IsInstOf(Object, QZProcChainBaseClass) ? VS_TRUE
                                                                                                   : VS_FALSE;
}

StructOfQZDataBase *TrelkData_ClassOf(void *Object)
{
    void *Class = SRV->GetClass(Object);
    return QZDataBase_IsDataObject(Class) ? (StructOfQZDataBase *)Class : NULL;
}

StructOfQZDataBase *TrelkData_SelfArg()
{
    void *Self = SRV->LuaToObject(1);
    return QZDataBase_IsDataObject(Self) ? (StructOfQZDataBase *)Self : NULL;
}

StructOfQZDataBase *TrelkData_SelfArgChain(TrelkDataChain *Chain)
{
    void *Self = SRV->LuaToObject(1);
    return TrelkData_ReadChain(Self, Chain) ? (StructOfQZDataBase *)Self : NULL;
}

namespace {

#define TRELKDATA_CHAIN_CACHE 64
struct ChainCacheEntry {
    void *Object;
    VS_UWORD Epoch;
    TrelkDataChain Chain;
};
ChainCacheEntry ChainCache[TRELKDATA_CHAIN_CACHE];
// Entries of an older epoch are forgotten; 0 is never current.
VS_UWORD ChainEpoch = 1;

ChainCacheEntry &ChainCacheSlot(const void *Object)
{
    uintptr_t Key = (uintptr_t)Object;
    return ChainCache[((Key >> 4) ^ (Key >> 10)) % TRELKDATA_CHAIN_CACHE];
}

} // namespace

static VS_BOOL ReadChainFromHost(void *Object, TrelkDataChain *Chain);

void TrelkData_ForgetChains()
{
    ChainEpoch++;
}

VS_BOOL TrelkData_ReadChain(void *Object, TrelkDataChain *Chain)
{
    ChainCacheEntry &Entry = ChainCacheSlot(Object);
    if (Object != NULL && Entry.Object == Object && Entry.Epoch == ChainEpoch) {
        *Chain = Entry.Chain;
        return VS_TRUE;
    }
    if (!ReadChainFromHost(Object, Chain))
        return VS_FALSE;
    if (Chain->Complete) {
        Entry.Object = Object;
        Entry.Epoch = ChainEpoch;
        Entry.Chain = *Chain;
    }
    return VS_TRUE;
}

static VS_BOOL ReadChainFromHost(void *Object, TrelkDataChain *Chain)
{
    Chain->Link[0] = Object;
    Chain->Count = Object != NULL ? 1 : 0;
    Chain->Complete = VS_FALSE;
    if (Object == NULL || SRV == NULL)
        return VS_FALSE;
    for (;;) {
        if (TrelkData_IsDataBaseClass(Chain->Link[Chain->Count - 1])) {
            Chain->Complete = VS_TRUE;
            return VS_TRUE;
        }
        if (Chain->Count == TRELKDATA_CHAIN_LINKS)
            return QZDataBase_IsDataObject(Object);
        void *Class = SRV->GetClass(Chain->Link[Chain->Count - 1]);
        if (Class == NULL)
            return VS_FALSE;
        Chain->Link[Chain->Count++] = Class;
    }
}

StructOfQZDataBase *TrelkData_ChainDataType(const TrelkDataChain *Chain, VS_INT32 *At)
{
    *At = -1;
    if (!Chain->Complete)
        return QZDataBase_GetDataType_Internal(TrelkData_ChainData(Chain));
    // Every link is a data object; the last one, the QZDataBase class object,
    // is predefined and ends the walk at the latest.
    for (VS_INT32 i = 0; i < Chain->Count; i++) {
        StructOfQZDataBase *C = (StructOfQZDataBase *)Chain->Link[i];
        if (C->IsType || TrelkData_IsPreDefined(C)) {
            *At = i;
            return C;
        }
    }
    return NULL;
}

VS_BOOL TrelkData_IsOwnDataType(StructOfQZDataBase *Data)
{
    return Data != NULL && QZDataBase_GetDataType_Internal(Data) == Data ? VS_TRUE : VS_FALSE;
}

VS_INT32 TrelkData_CreateFromInstance(void *Self)
{
    if (SRV->LuaGetTop() > 1)
        return Trelk_Fail(Self, "'s Create or () failed, the input for instance must be empty");
    Trelk_PushHandOver(SRV->MallocObjectL(SRV->GetIDEx(Self), 0, NULL));
    return 1;
}

StructOfQZDataBase *TrelkData_NewOfDataType(StructOfQZDataBase *Self)
{
    StructOfQZDataBase *DataType = QZDataBase_GetDataType_Internal(Self);
    return DataType != NULL ? (StructOfQZDataBase *)SRV->MallocObjectL(SRV->GetIDEx(DataType), 0, NULL) : NULL;
}

// ---------------------------------------------------------------------------
// Type names
// ---------------------------------------------------------------------------
VS_BOOL TrelkData_TypeNameArg(void *Self, VS_INT32 Index, const VS_CHAR **Name)
{
    *Name = NULL;
    if (SRV->LuaGetTop() < Index || SRV->LuaType(Index) != VSLUATYPE_STRING)
        return VS_TRUE;
    VS_INT32 Length = 0;
    const VS_CHAR *Text = SRV->LuaToLString(Index, &Length);
    if (Text != NULL && (size_t)Length != strlen(Text)) {
        Trelk_FailText("create [%s:%s]'s sub-type failed, the type name contains a NUL character", Trelk_IDText(Self),
                       Trelk_Name(Self));
        return VS_FALSE;
    }
    *Name = Text;
    return VS_TRUE;
}

// ---------------------------------------------------------------------------
// Objects after a script call
// ---------------------------------------------------------------------------
VS_BOOL TrelkData_Alive(void *Object, const VS_UUID *ID)
{
    if (Object == NULL || ID == NULL)
        return VS_FALSE;
    VS_UUID Key = *ID;
    return SRV->GetObject(&Key) == Object ? VS_TRUE : VS_FALSE;
}

void *TrelkData_FindClassByName(VS_PARAPKGPTR Pkg, VS_INT32 Index)
{
    VS_INT32 Length = 0;
    const VS_CHAR *Name = Index >= 0 ? Pkg->GetStrEx(Index, &Length) : NULL;
    if (Name == NULL || (size_t)Length != strlen(Name))
        return NULL;
    return SRV->GetObjectEx(NULL, Name);
}
