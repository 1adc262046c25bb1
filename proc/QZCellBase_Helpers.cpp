// Helpers shared by the cell files: argument and object tests, queue lookups,
// letting go of queued objects and the cycle order of env data.
#include "trelk_cell_internal.h"
#include "trelk_alloc.h"

#include <algorithm>

StructOfQZCellBase *TrelkCell_SelfArg()
{
    void *Self = SRV->LuaGetTop() >= 1 && SRV->LuaType(1) == VSLUATYPE_OBJECT ? SRV->LuaToObject(1) : NULL;
    return Self != NULL && Trelk_IsOf(Self, QZCellBaseClass) ? (StructOfQZCellBase *)Self : NULL;
}

StructOfQZCellBase *TrelkCell_InstanceSelfArg()
{
    StructOfQZCellBase *Self = TrelkCell_SelfArg();
    return Self != QZCellBaseClass ? Self : NULL;
}

VS_BOOL TrelkCell_IsData(void *Object)
{
    return Object != QZDataBaseClass && Trelk_IsInstOf(Object, QZDataBaseClass);
}

VS_BOOL TrelkCell_IsRealm(void *Object)
{
    return Object != QZRealmBaseClass && Trelk_IsInstOf(Object, QZRealmBaseClass);
}

OBJECTATTRIBUTEINDEX TrelkCell_QueueIndex(const VS_CHAR *Name)
{
    return SRV->GetAttributeIndex(QZCellBaseClass, Name);
}

VS_BOOL TrelkCell_InQueue(StructOfQZCellBase *Cell, void *Object, const VS_CHAR *Name)
{
    return Object != NULL && Cell != NULL && SRV->GetParent(Object) == Cell &&
                   SRV->GetIndex(Object) == TrelkCell_QueueIndex(Name)
               ? VS_TRUE
               : VS_FALSE;
}

VS_BOOL TrelkCell_IsNumberArg(VS_INT32 Index)
{
    if (SRV->LuaGetTop() < Index)
        return VS_FALSE;
    VS_INT32 Type = SRV->LuaType(Index);
    return Type == VSLUATYPE_NUMBER || Type == VSLUATYPE_INT || Type == VSLUATYPE_INT64 ? VS_TRUE : VS_FALSE;
}

VS_INT32 TrelkCell_PushPkg(VS_PARAPKGPTR Pkg)
{
    SRV->LuaPushParaPkg(Pkg, VS_TRUE);
    return 1;
}

void TrelkCell_SortByStamp(VS_PARAPKGPTR Pkg)
{
    if (Pkg == NULL || Pkg->GetNumber() < 2)
        return;
    TrelkVector<StructOfQZDataBase *> Data;
    for (VS_INT32 i = 0; i < Pkg->GetNumber(); i++)
        Data.push_back((StructOfQZDataBase *)Pkg->GetObject(i));
    // Two data may carry one stamp (a capture keeps the stamp it found, a
    // script may set one): both stay, in the order they were listed.
    Trelk_StableSort(Data, [](StructOfQZDataBase *a, StructOfQZDataBase *b) {
        if (a->ScheduleTickCount != b->ScheduleTickCount)
            return a->ScheduleTickCount < b->ScheduleTickCount;
        return a->SequenceIndex < b->SequenceIndex;
    });
    Pkg->Clear();
    for (StructOfQZDataBase *D : Data)
        Pkg->InsertObject(Pkg->GetNumber(), D);
}

VS_BOOL TrelkCell_InputIsShort(StructOfQZDataInputContainer *Input)
{
    if (Input == NULL)
        return VS_FALSE;
    if (SRV->QueryFirst(&Input->DataQueue) == NULL)
        return VS_TRUE;
    return Input->RequestNumber > 0 && Tarvex_ScheduleProc_GetItemNumber(&Input->DataQueue) < Input->RequestNumber
               ? VS_TRUE
               : VS_FALSE;
}
