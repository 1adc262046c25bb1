// Object data: a data object whose value is one wrapped host or script object,
// kept as item 0 of its value package.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

static StructOfQZDataBase *SelfData()
{
    void *Self = SRV->LuaToObject(1);
    return QZDataBase_IsDataObject(Self) ? (StructOfQZDataBase *)Self : NULL;
}

VS_INT32 QZObjectDataBase_Create(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = SelfData();
    if (Self == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    if (!Self->IsType && !QZDataBase_IsPreDefined_DataType(Self))
        return TrelkData_CreateFromInstance(Self);
    void *Object = Trelk_ObjectArg(2);
    if (Object == NULL)
        return Trelk_Fail(Self, " calls function Create failed, input parameter must be a zel objects");
    StructOfQZDataBase *NewData = TrelkData_NewOfDataType(Self);
    if (NewData == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    if (NewData->DataBuf == NULL)
        NewData->DataBuf = Trelk_GetParaPkgInterface(__LINE__);
    NewData->DataBuf->InsertObject(0, Object);
    Trelk_PushHandOver(NewData);
    return 1;
}

VS_INT32 QZObjectDataBase_GetObject(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = SelfData();
    VS_PARAPKGPTR Buf = Self != NULL ? QZDataBase_GetDataBuf_Internal(Self) : NULL;
    void *Object = NULL;
    if (Buf != NULL && Buf->GetNumber() > 0 && Buf->GetType(0) == VSTYPE_OBJECT)
        Object = Buf->GetObject(0);
    SRV->LuaPushObject(Object);
    return 1;
}
