// Buffer data: a data object whose value is its own copy of a parameter
// package, with every object in it normalised.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

static VS_PARAPKGPTR NormaliseCopy(VS_PARAPKGPTR Copy, VS_INT32 Depth)
{
    for (VS_INT32 i = 0; i < Copy->GetNumber(); i++) {
        VS_INT32 Type = Copy->GetType(i);
        if (Type == VSTYPE_OBJECT) {
            void *Object = Copy->GetObject(i);
            if (Object != NULL)
                Copy->InsertObject(i, Trelk_FromRawObject(Object));
        } else if (Type == VSTYPE_PARAPKG && Depth < TRELK_VALUELIST_MAXDEPTH) {
            // The copy's nested packages are its own (Dup is deep): they are
            // normalised in place.
            VS_PARAPKGPTR Nested = Copy->GetParaPackage(i);
            if (Nested != NULL)
                NormaliseCopy(Nested, Depth + 1);
        }
    }
    return Copy;
}

VS_PARAPKGPTR QZBufDataBase_Create_Internal(VS_PARAPKGPTR Pkg)
{
    if (Pkg == NULL)
        return Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Copy = Pkg->Dup();
    if (Copy == NULL)
        return Trelk_GetParaPkgInterface(__LINE__);
    return NormaliseCopy(Copy, 0);
}

VS_INT32 QZBufDataBase_Create(void *L)
{
    (void)L;
    void *SelfObject = SRV->LuaToObject(1);
    if (!QZDataBase_IsDataObject(SelfObject)) {
        SRV->LuaPushNil();
        return 1;
    }
    StructOfQZDataBase *Self = (StructOfQZDataBase *)SelfObject;
    if (!Self->IsType && !QZDataBase_IsPreDefined_DataType(Self))
        return TrelkData_CreateFromInstance(Self);
    VS_PARAPKGPTR Pkg = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    if (Pkg == NULL)
        return Trelk_Fail(Self, " calls function Create failed, input parameter must be a parapkg");
    StructOfQZDataBase *NewData = TrelkData_NewOfDataType(Self);
    if (NewData == NULL) {
        SRV->LuaPushNil();
        return 1;
    }
    if (NewData->DataBuf != NULL)
        NewData->DataBuf->Release();
    NewData->DataBuf = QZBufDataBase_Create_Internal(Pkg);
    Trelk_PushHandOver(NewData);
    return 1;
}
