// Tags and tag labels of data objects. A type's tag is its label, which names
// it with its name space; an instance's tag is the formatted digest of its
// type and signature, or, without a signature, of its type and its value in
// saved form.
#include "trelk_data_internal.h"
#include "trelk_data_luafuncs.h"

// Size of the working buffer a type name is copied into for splitting.
#define QZDATA_TAGNAME_BUF (QZDATA_TAGNAME_MAX + 1)

// Splits a type name at its first '.'. The name is copied into a working
// buffer of QZDATA_TAGNAME_BUF bytes; a longer name is refused (FALSE) rather
// than cut, since a cut name could give two types the same identity.
static VS_BOOL SplitTypeName(const VS_CHAR *Name, VS_CHAR *Work, const VS_CHAR **Space, const VS_CHAR **Short)
{
    if (Name == NULL || vs_string_strlen(Name) > QZDATA_TAGNAME_MAX)
        return VS_FALSE;
    strcpy(Work, Name);
    VS_CHAR *Dot = strchr(Work, '.');
    if (Dot == NULL) {
        *Space = NULL;
        *Short = Work;
    } else {
        *Dot = 0;
        *Space = Work;
        *Short = Dot + 1;
    }
    return VS_TRUE;
}

VS_BOOL QZDataBase_GetTagLabel_Internal(void *TypeObject, VS_CHAR *Buf, VS_INT32 BufSize)
{
    if (Buf == NULL || BufSize <= 0)
        return VS_FALSE;
    Buf[0] = 0;
    if (TypeObject == NULL)
        return VS_FALSE;
    VS_CHAR Work[QZDATA_TAGNAME_BUF];
    const VS_CHAR *Space, *Short;
    if (!SplitTypeName(Trelk_Name(TypeObject), Work, &Space, &Short))
        return VS_FALSE;
    int n = Space == NULL ? snprintf(Buf, BufSize, "data_global_%s", Short)
                          : snprintf(Buf, BufSize, "data_%s_%s", Space, Short);
    if (n < 0 || n >= BufSize) {
        Buf[0] = 0;
        return VS_FALSE;
    }
    return VS_TRUE;
}

// ---------------------------------------------------------------------------
// Tag
// ---------------------------------------------------------------------------
VS_INT32 QZDataBase_GetTag_Internal(StructOfQZDataBase *Data)
{
    if (Data == NULL || !QZDataBase_IsDataObject(Data)) {
        SRV->LuaPushString("");
        return 1;
    }
    if (TrelkData_IsTypeLike(Data)) {
        VS_CHAR Label[2 * QZDATA_TAGNAME_BUF];
        QZDataBase_GetTagLabel_Internal(Data, Label, sizeof(Label));
        SRV->LuaPushString(Label);
        return 1;
    }
    StructOfQZDataBase *Holder = QZDataBase_GetObjectHasBuf_Internal(Data);
    StructOfQZDataBase *Type = QZDataBase_GetDataType_Internal(Data);
    if (Holder == NULL || Type == NULL) {
        SRV->LuaPushString("");
        return 1;
    }

    const VS_CHAR *Signature = Holder->Signature.Buf;
    if (Signature != NULL && Signature[0] != 0) {
        VS_CHAR Work[QZDATA_TAGNAME_BUF];
        const VS_CHAR *Space, *Short;
        if (!SplitTypeName(Trelk_Name(Type), Work, &Space, &Short)) {
            SRV->LuaPushString("");
            return 1;
        }
        ClassOfStringPrintBuf Text; // its text in host memory
        if (Space == NULL)
            Text.Print("data_global_%s_tag_", Short);
        else
            Text.Print("data_%s_%s_tag_", Space, Short);
        TrelkData_PrintLongText(&Text, Signature);
        SRV->LuaPushString(Trelk_FormatTag(Text.Buf != NULL ? Text.Buf : ""));
        return 1;
    }

    VS_PARAPKGPTR Record = Trelk_GetParaPkgInterface(__LINE__);
    if (!QZDataBase_SaveTo_Inernal(Data, Record, VS_FALSE, VS_TRUE)) {
        Record->Release();
        SRV->LuaPushString("");
        return 1;
    }
    VS_INT32 ValueIndex = Record->FindDict("Value");
    VS_CHAR *Json = NULL;
    const VS_CHAR *ValueText = NULL;
    if (ValueIndex >= 0 && Record->GetType(ValueIndex) == VSTYPE_PARAPKG) {
        VS_PARAPKGPTR Value = Record->GetParaPackage(ValueIndex);
        Json = Value != NULL ? Value->ToJSon() : NULL;
        ValueText = Json;
    } else if (ValueIndex >= 0) {
        ValueText = Record->GetStr(ValueIndex);
    }
    if (ValueText == NULL) {
        Record->Release();
        SRV->LuaPushString("");
        return 1;
    }
    ClassOfStringPrintBuf Text; // its text in host memory
    Text.Print("data_");
    TrelkData_PrintLongText(&Text, Trelk_Name(Type));
    Text.Print("_");
    TrelkData_PrintLongText(&Text, ValueText);
    SRV->LuaPushString(Trelk_FormatTag(Text.Buf != NULL ? Text.Buf : ""));
    if (Json != NULL)
        Record->GetParaPackage(ValueIndex)->FreeBuf(Json);
    Record->Release();
    return 1;
}

VS_INT32 QZDataBase_GetTag(void *L)
{
    (void)L;
    return QZDataBase_GetTag_Internal(TrelkData_SelfArg());
}

VS_INT32 QZDataBase_GetTagLabel(void *L)
{
    (void)L;
    StructOfQZDataBase *Self = TrelkData_SelfArg();
    VS_CHAR Label[2 * QZDATA_TAGNAME_BUF];
    Label[0] = 0;
    // A type (a predefined class object too) gives its own label.
    if (Self != NULL)
        QZDataBase_GetTagLabel_Internal(TrelkData_IsTypeLike(Self) ? Self : QZDataBase_GetDataType_Internal(Self), Label,
                                        sizeof(Label));
    SRV->LuaPushString(Label);
    return 1;
}

