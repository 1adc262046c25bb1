// The realm's cell queue, cell library and rule queue. Cells in the queue
// take part in scheduling when ready; library cells stay at hand until data
// call them in; rules are kept for scripts to read back.
#include "trelk_realm_luafuncs.h"
#include "trelk_realm_internal.h"
#include "trelk_cell_api.h"

// Argument 2 when it is a working cell or cell type, else NULL.
static StructOfQZCellBase *CellArg()
{
    void *Object = Trelk_ObjectArg(2);
    return TrelkRealm_IsCell(Object) ? (StructOfQZCellBase *)Object : NULL;
}

// A working cell enters the queue itself; a cell type enters as a new
// instance, which brings its creation lock.
static void AddCellTo(const VS_CHAR *QueueName)
{
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    StructOfQZCellBase *Cell = CellArg();
    if (Self == NULL || Cell == NULL)
        return;
    Cell->IsReady = VS_TRUE;
    if (!Cell->IsType) {
        TrelkRealm_EnterQueue(Self, Cell, QueueName);
        return;
    }
    VS_UUID RealmID = SRV->GetID(Self);
    StructOfQZCellBase *Instance = (StructOfQZCellBase *)SRV->MallocObjectL(SRV->GetIDEx(Cell), 0, NULL);
    if (Instance == NULL)
        return;
    // Creation runs script events; the realm is found again by its ID.
    if (SRV->GetObject(&RealmID) != Self) {
        SRV->UnLockGC(Instance);
        return;
    }
    Instance->IsReady = VS_TRUE;
    if (!SRV->ChangeParent(Instance, Self, TrelkRealm_QueueIndex(QueueName)))
        SRV->UnLockGC(Instance);
}

VS_INT32 QZRealmBase_AddCell(void *L)
{
    (void)L;
    AddCellTo(TRELK_REALM_CELLQUEUE);
    return 0;
}

VS_INT32 QZRealmBase_AddCellLibrary(void *L)
{
    (void)L;
    AddCellTo(TRELK_REALM_CELLLIBRARY);
    return 0;
}

VS_INT32 QZRealmBase_GetCell(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    SRV->LuaPushParaPkg(Self != NULL ? TrelkRealm_QueueToPkg(&Self->QZCellQueue, NULL)
                                     : Trelk_GetParaPkgInterface(__LINE__),
                        VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_GetCellLibrary(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    SRV->LuaPushParaPkg(Self != NULL ? TrelkRealm_QueueToPkg(&Self->QZCellLibrary, NULL)
                                     : Trelk_GetParaPkgInterface(__LINE__),
                        VS_TRUE);
    return 1;
}

VS_INT32 QZRealmBase_RemoveCellLibrary(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    StructOfQZCellBase *Cell = CellArg();
    if (Self != NULL && Cell != NULL && TrelkRealm_InQueue(Self, Cell, TRELK_REALM_CELLLIBRARY))
        TrelkRealm_LeaveQueue(Cell);
    return 0;
}

VS_INT32 QZRealmBase_MoveToCellLibrary(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    StructOfQZCellBase *Cell = CellArg();
    if (Self != NULL && Cell != NULL)
        TrelkRealm_EnterQueue(Self, Cell, TRELK_REALM_CELLLIBRARY);
    return 0;
}

VS_INT32 QZRealmBase_MoveToCellQueue_Internal(StructOfQZRealmBase *QZRealm, void *QZCell)
{
    if (QZRealm == NULL || !TrelkRealm_IsCell(QZCell))
        return 0;
    // A cell already queued keeps its ready flag as it is.
    if (TrelkRealm_InQueue(QZRealm, QZCell, TRELK_REALM_CELLQUEUE))
        return 0;
    ((StructOfQZCellBase *)QZCell)->IsReady = VS_TRUE;
    TrelkRealm_EnterQueue(QZRealm, QZCell, TRELK_REALM_CELLQUEUE);
    return 0;
}

VS_INT32 QZRealmBase_MoveToCellQueue(void *L)
{
    (void)L;
    QZRealmBase_MoveToCellQueue_Internal(TrelkRealm_SelfArg(), CellArg());
    return 0;
}

VS_INT32 QZRealmBase_RemoveCell(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    void *Object = Trelk_ObjectArg(2);
    if (Self == NULL || Object == NULL || SRV->GetParent(Object) != Self)
        return 0;
    TrelkRealm_LeaveQueue(Object);
    return 0;
}

// ---------------------------------------------------------------------------
// Rules
// ---------------------------------------------------------------------------
static void *RuleArg()
{
    void *Object = Trelk_ObjectArg(2);
    return Trelk_IsInstOf(Object, QZRuleBaseClass) ? Object : NULL;
}

VS_INT32 QZRealmBase_AddRule(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    void *Rule = RuleArg();
    if (Self != NULL && Rule != NULL)
        TrelkRealm_EnterQueue(Self, Rule, TRELK_REALM_RULEQUEUE);
    return 0;
}

VS_INT32 QZRealmBase_RemoveRule(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    void *Rule = RuleArg();
    if (Self != NULL && Rule != NULL && TrelkRealm_InQueue(Self, Rule, TRELK_REALM_RULEQUEUE))
        TrelkRealm_LeaveQueue(Rule);
    return 0;
}

VS_INT32 QZRealmBase_GetRule(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    void *RuleClass = Trelk_ObjectArg(2);
    VS_PARAPKGPTR Result;
    if (Self == NULL)
        Result = Trelk_GetParaPkgInterface(__LINE__);
    else if (RuleClass == NULL || RuleClass == QZRuleBaseClass)
        Result = TrelkRealm_QueueToPkg(&Self->QZRuleQueue, NULL);
    else if (!Trelk_IsInstOf(RuleClass, QZRuleBaseClass))
        Result = Trelk_GetParaPkgInterface(__LINE__);
    else
        Result = TrelkRealm_QueueToPkg(&Self->QZRuleQueue, RuleClass);
    SRV->LuaPushParaPkg(Result, VS_TRUE);
    return 1;
}

// ---------------------------------------------------------------------------
// Procs as a new cell
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_AddProc(void *L)
{
    (void)L;
    StructOfQZRealmBase *Self = TrelkRealm_SelfArg();
    if (Self == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_UUID RealmID = SRV->GetID(Self);
    // The new cell's creation lock becomes the lock of its queue membership.
    void *Cell = SRV->MallocObjectL(SRV->GetIDEx(QZCellBaseClass), 0, NULL);
    if (Cell == NULL) {
        SRV->LuaPushBool(VS_FALSE);
        return 1;
    }
    VS_UUID CellID = SRV->GetID(Cell);
    // Shown to the script engine once: the host collects only objects a
    // script has held, and this cell is let go of (unlocked) when it leaves
    // the realm, with no script ever having seen it.
    SRV->LuaPushObject(Cell);
    SRV->LuaPop(1);
    QZCellBase_AddProc_Internal(Cell, 2);
    VS_BOOL Added = SRV->LuaToBool(-1);
    SRV->LuaPop(1);
    // Creation and the chains' making may run scripts: both found again.
    Self = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
    Cell = SRV->GetObject(&CellID);
    if (Cell != NULL && (!Added || Self == NULL)) {
        SRV->FreeObject(Cell);
        Added = VS_FALSE;
    } else if (Cell == NULL)
        Added = VS_FALSE;
    else if (!SRV->ChangeParent(Cell, Self, TrelkRealm_QueueIndex(TRELK_REALM_CELLQUEUE))) {
        // A realm being freed takes no cell: the creation lock has no queue
        // to become.
        SRV->FreeObject(Cell);
        Added = VS_FALSE;
    }
    SRV->LuaPushBool(Added);
    return 1;
}
