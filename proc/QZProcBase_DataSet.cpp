// Grouping of equal data (EqualDataSet) and the split of a data list by
// provenance (SplitDataSet).
#include "trelk_proc_internal.h"
#include "trelk_proc_luafuncs.h"

// A data object that can be compared by value: it has a value package and a
// data type. NULL otherwise.
static StructOfQZDataBase *Comparable(void *Object, VS_PARAPKGPTR *Buf)
{
    *Buf = NULL;
    if (!Trelk_IsInstOf(Object, QZDataBaseClass))
        return NULL;
    StructOfQZDataBase *Data = (StructOfQZDataBase *)Object;
    if (QZDataBase_GetDataType_Internal(Data) == NULL)
        return NULL;
    *Buf = QZDataBase_GetDataBuf_Internal(Data);
    return *Buf != NULL ? Data : NULL;
}

void QZProcBase_EqualDataSet_Internal(VS_PARAPKGPTR DataList, VS_PARAPKGPTR ResultPara)
{
    if (DataList == NULL || ResultPara == NULL)
        return;
    for (VS_INT32 i = 0; i < DataList->GetNumber(); i++) {
        if (DataList->GetType(i) != VSTYPE_OBJECT)
            continue;
        VS_PARAPKGPTR Buf = NULL;
        StructOfQZDataBase *Item = Comparable(DataList->GetObject(i), &Buf);
        if (Item == NULL)
            continue;
        void *TypeClass = QZDataBase_GetDataTypeClass_Internal(Item);
        VS_BOOL Placed = VS_FALSE;
        // A type class's "Equals" is a script, which may replace the value
        // compared or free the datum: the value is held while compared, and
        // the datum is read from the list again after a script ran.
        uint64_t Serial = Trelk_ScriptSerial();
        if (Buf != NULL)
            Buf->AddRef();
        auto Gone = [&]() {
            if (Serial == Trelk_ScriptSerial())
                return VS_FALSE;
            Serial = Trelk_ScriptSerial();
            return DataList->GetObject(i) != Item ? VS_TRUE : VS_FALSE;
        };
        for (VS_INT32 g = 0; g < ResultPara->GetNumber() && !Placed; g++) {
            VS_PARAPKGPTR Group = ResultPara->GetType(g) == VSTYPE_PARAPKG ? ResultPara->GetParaPackage(g) : NULL;
            if (Group == NULL || TrelkProc_PkgHasObject(Group, Item))
                continue;
            VS_PARAPKGPTR RepBuf = NULL;
            StructOfQZDataBase *Rep = Comparable(Group->GetObject(0), &RepBuf);
            if (Rep == NULL)
                continue;
            VS_BOOL Equal = QZDataBase_BufEquals_Internal(TypeClass, Buf, RepBuf);
            if (Gone()) {
                Placed = VS_TRUE; // nothing more is done with it
                break;
            }
            if (!Equal)
                continue;
            Group->InsertObject(Group->GetNumber(), Item);
            Placed = VS_TRUE;
        }
        if (Placed) {
            if (Buf != NULL)
                Buf->Release();
            continue;
        }
        for (VS_INT32 j = i + 1; j < DataList->GetNumber(); j++) {
            if (DataList->GetType(j) != VSTYPE_OBJECT)
                continue;
            VS_PARAPKGPTR OtherBuf = NULL;
            StructOfQZDataBase *Other = Comparable(DataList->GetObject(j), &OtherBuf);
            if (Other == NULL || Other == Item)
                continue;
            VS_BOOL Equal = QZDataBase_BufEquals_Internal(TypeClass, Buf, OtherBuf);
            if (Gone())
                break;
            if (!Equal || DataList->GetObject(j) != Other)
                continue;
            VS_PARAPKGPTR Group = Trelk_GetParaPkgInterface(__LINE__);
            Group->InsertObject(0, Item);
            Group->InsertObject(1, Other);
            ResultPara->InsertParaPackage(ResultPara->GetNumber(), Group);
            Group->Release();
            break;
        }
        if (Buf != NULL)
            Buf->Release();
    }
}

VS_INT32 QZProcBase_EqualDataSet(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (TrelkProc_SelfArg() != NULL && SRV->LuaType(2) == VSLUATYPE_PARAPKG)
        QZProcBase_EqualDataSet_Internal(SRV->LuaToParaPkg(2), Result);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

VS_INT32 QZProcBase_EqualDataSetEx(void *L)
{
    (void)L;
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    if (TrelkProc_SelfArg() != NULL) {
        VS_PARAPKGPTR List = Trelk_GetParaPkgInterface(__LINE__);
        VS_INT32 Top = SRV->LuaGetTop();
        for (VS_INT32 i = 2; i <= Top; i++) {
            void *Object = Trelk_ObjectArg(i);
            if (Trelk_IsInstOf(Object, QZDataBaseClass))
                List->InsertObject(List->GetNumber(), Object);
        }
        QZProcBase_EqualDataSet_Internal(List, Result);
        List->Release();
    }
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// Split by provenance
// ---------------------------------------------------------------------------
static void AddWithProvenance(VS_PARAPKGPTR Related, StructOfQZDataBase *Data, VS_PARAPKGPTR DataList,
                              VS_BOOL AddNotExistObject)
{
    if (TrelkProc_PkgHasObject(Related, Data))
        return;
    Related->InsertObject(Related->GetNumber(), Data);
    VS_PARAPKGPTR Sources = QZDataBase_GetSourceData_Internal(Data);
    if (Sources != NULL) {
        for (VS_INT32 i = 0; i < Sources->GetNumber(); i++) {
            void *Source = Sources->GetType(i) == VSTYPE_OBJECT ? Sources->GetObject(i) : NULL;
            if (!Trelk_IsInstOf(Source, QZDataBaseClass))
                continue;
            if (!AddNotExistObject && !TrelkProc_PkgHasObject(DataList, Source))
                continue;
            AddWithProvenance(Related, (StructOfQZDataBase *)Source, DataList, AddNotExistObject);
        }
    }
    if (!Trelk_IsZeroID(&Data->OwnerProcID)) {
        void *Owner = SRV->GetObject(&Data->OwnerProcID);
        if (Owner != NULL && (AddNotExistObject || TrelkProc_PkgHasObject(DataList, Owner)) &&
            !TrelkProc_PkgHasObject(Related, Owner))
            Related->InsertObject(Related->GetNumber(), Owner);
    }
}

VS_INT32 QZProcBase_SplitDataSet(void *L)
{
    (void)L;
    VS_PARAPKGPTR Related = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Rest = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR DataList = SRV->LuaType(2) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(2) : NULL;
    VS_PARAPKGPTR FirstSetRef = SRV->LuaType(3) == VSLUATYPE_PARAPKG ? SRV->LuaToParaPkg(3) : NULL;
    VS_BOOL AddNotExistObject = SRV->LuaType(4) == VSLUATYPE_BOOL ? SRV->LuaToBool(4) : VS_FALSE;
    if (TrelkProc_SelfArg() != NULL && DataList != NULL && FirstSetRef != NULL && DataList->GetNumber() > 0 &&
        FirstSetRef->GetNumber() > 0) {
        for (VS_INT32 i = 0; i < FirstSetRef->GetNumber(); i++) {
            void *Object = FirstSetRef->GetType(i) == VSTYPE_OBJECT ? FirstSetRef->GetObject(i) : NULL;
            if (Trelk_IsInstOf(Object, QZDataBaseClass))
                AddWithProvenance(Related, (StructOfQZDataBase *)Object, DataList, AddNotExistObject);
            else if (Trelk_IsInstOf(Object, QZProcBaseClass) && !TrelkProc_PkgHasObject(Related, Object))
                Related->InsertObject(Related->GetNumber(), Object);
        }
        for (VS_INT32 i = 0; i < DataList->GetNumber(); i++) {
            void *Object = DataList->GetType(i) == VSTYPE_OBJECT ? DataList->GetObject(i) : NULL;
            if (Object != NULL && !TrelkProc_PkgHasObject(Related, Object) && !TrelkProc_PkgHasObject(Rest, Object))
                Rest->InsertObject(Rest->GetNumber(), Object);
        }
    }
    VS_PARAPKGPTR Result = Trelk_GetParaPkgInterface(__LINE__);
    Result->InsertParaPackage(0, Related);
    Result->InsertParaPackage(1, Rest);
    Related->Release();
    Rest->Release();
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}
