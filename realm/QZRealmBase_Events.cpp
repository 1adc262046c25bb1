// The realm's default script events (what a realm type that does not define
// its own gets), PrintInfo / PrintException, the hand-back of a finished
// cell's data and the active-object record of data procs send to their
// cell's environment.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"
#include "trelk_cell_api.h"

static StructOfQZRealmBase *RealmSelf()
{
    void *Self = Trelk_ObjectArg(1);
    return Trelk_IsInstOf(Self, QZRealmBaseClass) ? (StructOfQZRealmBase *)Self : NULL;
}

static VS_INT32 PushInt(VS_INT32 Value)
{
    SRV->LuaPushInt(Value);
    return 1;
}

// ---------------------------------------------------------------------------
// Events that do nothing or answer a fixed value
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_OnQueryProc(void *L)
{
    (void)L;
    return Trelk_PushBool(VS_FALSE);
}

VS_INT32 QZRealmBase_OnDoNothing(void *L)
{
    (void)L;
    return 0;
}

VS_INT32 QZRealmBase_OnMoreUnAllocatedData(void *L)
{
    (void)L;
    return PushInt(0);
}

VS_INT32 QZRealmBase_OnLongLoop(void *L)
{
    (void)L;
    return Trelk_PushBool(VS_FALSE);
}

VS_INT32 QZRealmBase_OnLongSuspend(void *L)
{
    (void)L;
    return Trelk_PushBool(VS_TRUE);
}

VS_INT32 QZRealmBase_OnInputInvalid(void *L)
{
    (void)L;
    return Trelk_PushBool(VS_FALSE);
}

VS_INT32 QZRealmBase_OnCellToBeFinish(void *L)
{
    (void)L;
    return Trelk_PushBool(VS_FALSE);
}

VS_INT32 QZRealmBase_OnAfterExecute(void *L)
{
    (void)L;
    return Trelk_PushBool(VS_FALSE);
}

VS_INT32 QZRealmBase_OnLongSourceData(void *L)
{
    (void)L;
    void *Data = Trelk_ObjectArg(3);
    VS_BOOL HasRemove = VS_FALSE;
    if (Trelk_IsInstOf(Data, QZDataBaseClass))
        QZRealmBase_OnLongSourceData_Removelast((StructOfQZDataBase *)Data, (StructOfQZDataBase *)Data, 1, &HasRemove);
    return Trelk_PushBool(HasRemove);
}

VS_INT32 QZRealmBase_OnException(void *L)
{
    (void)L;
    const VS_CHAR *Info = Trelk_StringArg(3);
    SRV->ProcessError(SRV->LuaToInt(2), QUEL_TRELK_MODULENAME, 0, "%s", Info != NULL ? Info : "");
    return 0;
}

// ---------------------------------------------------------------------------
// Printing
// ---------------------------------------------------------------------------
static VS_INT32 Print(VS_INT32 Level)
{
    const VS_CHAR *Info = Trelk_StringArg(2);
    // The text is the message, never a format.
    if (Info != NULL && Info[0] != 0)
        QZRealmBase_RaiseException(NULL, Level, "app", 0, "%s", Info);
    return 0;
}

VS_INT32 QZRealmBase_PrintInfo(void *L)
{
    (void)L;
    return Print(TRELK_ALARM_WARN);
}

VS_INT32 QZRealmBase_PrintException(void *L)
{
    (void)L;
    return Print(TRELK_ALARM_ERROR);
}

// ---------------------------------------------------------------------------
// OnBeforeExecute: the realm's env data go to the cells that accept them
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_OnBeforeExecute(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = RealmSelf();
    if (Realm == NULL)
        return 0;
    VS_UUID RealmID = SRV->GetID(Realm);
    // Handing data to a cell makes objects: the data and the cells are taken
    // by ID first and found again for each hand-over.
    VS_PARAPKGPTR Data = Trelk_GetParaPkgInterface(__LINE__);
    VS_PARAPKGPTR Cells = Trelk_GetParaPkgInterface(__LINE__);
    for (void *Item = SRV->QueryFirst(&Realm->EnvDataQueue); Item != NULL; Item = SRV->QueryNext(Item))
        Data->InsertObject(Data->GetNumber(), Item);
    for (void *Item = SRV->QueryFirst(&Realm->QZCellQueue); Item != NULL; Item = SRV->QueryNext(Item))
        if (Trelk_IsInstOf(Item, QZCellBaseClass))
            Cells->InsertObject(Cells->GetNumber(), Item);
    OBJECTATTRIBUTEINDEX EnvIndex = SRV->GetAttributeIndex(QZRealmBaseClass, "EnvDataQueue");
    OBJECTATTRIBUTEINDEX CellIndex = SRV->GetAttributeIndex(QZRealmBaseClass, "QZCellQueue");
    // Objects are found again only after a call that may have run a script
    // (the acceptance test may ask a type's script, a hand-over runs many):
    // until then the pointers found last are still good.
    for (VS_INT32 i = 0; i < Data->GetNumber(); i++) {
        Realm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
        if (Realm == NULL)
            break;
        void *D = Data->GetObject(i);
        if (!Trelk_IsInstOf(D, QZDataBaseClass) || SRV->GetParent(D) != Realm || SRV->GetIndex(D) != EnvIndex)
            continue;
        VS_BOOL Taken = VS_FALSE;
        VS_BOOL Fresh = VS_TRUE;
        for (VS_INT32 c = 0; c < Cells->GetNumber(); c++) {
            void *Cell = Cells->GetObject(c);
            if (!Fresh) {
                Realm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
                D = Data->GetObject(i);
                if (Realm == NULL || D == NULL)
                    break;
            }
            if (Cell == NULL || SRV->GetParent(Cell) != Realm || SRV->GetIndex(Cell) != CellIndex)
                continue;
            Fresh = VS_FALSE;
            if (QZProcBase_DataCanBeAsInput_Internal((StructOfQZProcBase *)Cell, (StructOfQZDataBase *)D, VS_TRUE)) {
                QZCellBase_AddEnvData_Internal_Ex(Realm, (StructOfQZCellBase *)Cell, (StructOfQZDataBase *)D);
                Taken = VS_TRUE;
            }
        }
        D = Taken ? Data->GetObject(i) : NULL;
        if (D != NULL) {
            Trelk_LetGo(D);
        }
    }
    Data->Release();
    Cells->Release();
    Realm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    if (Realm != NULL && SRV->QueryFirst(&Realm->EnvDataQueue) != NULL)
        QZRealmBase_RaiseException(NULL, TRELK_ALARM_WARN, QUEL_TRELK_MODULENAME, 0,
                                   "[%s] has env data can not allocated to any cell, them may be not processed",
                                   Trelk_Name(Realm));
    return 0;
}

// ---------------------------------------------------------------------------
// A finished cell's data back to the realm
// ---------------------------------------------------------------------------
static VS_INT32 ProcessCellEnvData(VS_PARAPKGPTR Collected)
{
    void *Realm = Trelk_ObjectArg(1);
    void *Cell = Trelk_ObjectArg(3);
    VS_BOOL IsSuccess = SRV->LuaGetTop() >= 4 ? SRV->LuaToBool(4) : VS_FALSE;
    if (Trelk_IsInstOf(Realm, QZRealmBaseClass) && Trelk_IsInstOf(Cell, QZCellBaseClass))
        QZRealmBase_ProcessCellEnvData_Internal((StructOfQZRealmBase *)Realm, (StructOfQZCellBase *)Cell, IsSuccess,
                                                Collected);
    return 0;
}

VS_INT32 QZRealmBase_ProcessCellEnvData(void *L)
{
    (void)L;
    return ProcessCellEnvData(NULL);
}

VS_INT32 QZRealmBase_ProcessCellEnvDataEx(void *L)
{
    (void)L;
    VS_PARAPKGPTR Collected = Trelk_GetParaPkgInterface(__LINE__);
    ProcessCellEnvData(Collected);
    SRV->LuaPushParaPkg(Collected, VS_TRUE);
    return 1;
}

void QZRealmBase_AddEnvData_ToActiveObject(StructOfQZRealmBase *QZRealm, StructOfQZCellBase *QZCell,
                                           StructOfQZDataBase *QZData)
{
    if (QZRealm == NULL || QZCell == NULL || QZData == NULL)
        return;
    if (SRV->GetParent(QZCell) == QZRealm)
        QZRealmBase_ActiveData_Internal(QZRealm, QZData, NULL, 1);
}
