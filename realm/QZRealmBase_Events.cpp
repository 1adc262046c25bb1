// The realm's default script events (what a realm type that does not define
// its own gets), PrintInfo / PrintException, the hand-back of a finished
// cell's data and the active-object record of data procs send to their
// cell's environment.
#include "trelk_realm_internal.h"
#include "trelk_realm_luafuncs.h"
#include "trelk_cell_api.h"
#include "trelk_proc_internal.h"

#include "trelk_alloc.h"

#include <cstdint>
#include <cstring>

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
namespace {
// What the queued cells accept, worked out once for a walk over the realm's
// data: a cell none of whose inputs (its own and, through its chains, those
// of the first procs) is bound to a value takes a datum exactly when the
// class an input names is in the datum's class chain, or is the datum itself
// when that is a type.
// The answer for a class object holds for everything made from it, so a
// datum costs one look at its class. A cell with an input bound to a value
// is asked the long way. Every object pointer here is good only until a
// script runs.
class CellMatcher {
  public:
    void Build(StructOfQZRealmBase *Realm, OBJECTATTRIBUTEINDEX CellIndex, void *CellQueue)
    {
        Slow = VS_FALSE;
        Cells.clear();
        CellIDs.clear();
        Quick.clear();
        Wanted.clear();
        Memo.clear();
        for (void *Cell = SRV->QueryFirst(CellQueue); Cell != NULL; Cell = SRV->QueryNext(Cell)) {
            if (!Trelk_IsInstOf(Cell, QZCellBaseClass) || SRV->GetParent(Cell) != Realm ||
                SRV->GetIndex(Cell) != CellIndex)
                continue;
            uint64_t Bit = Cells.size() < 64 ? (uint64_t)1 << Cells.size() : 0;
            VS_BOOL Plain = Bit != 0 ? VS_TRUE : VS_FALSE;
            TrelkVector<std::pair<VS_UUID, uint64_t>> Types;
            Gather((StructOfQZProcBase *)Cell, 0, Bit, &Plain, &Types);
            if (Plain)
                for (const auto &Type : Types)
                    Wanted[Type.first] |= Type.second;
            Cells.push_back(Cell);
            CellIDs.push_back(SRV->GetID(Cell));
            Quick.push_back(Plain);
            if (!Plain)
                Slow = VS_TRUE;
        }
    }
    size_t Count() const { return Cells.size(); }
    // Some cell must be asked about every datum.
    VS_BOOL AnySlow() const { return Slow; }
    // The classes the quick cells want.
    void WantedClasses(TrelkVector<VS_UUID> *Out) const
    {
        Out->clear();
        for (const auto &Want : Wanted)
            Out->push_back(Want.first);
    }
    void *Cell(size_t i) const { return Cells[i]; }
    VS_UUID *CellID(size_t i) { return &CellIDs[i]; }
    VS_BOOL IsQuick(size_t i) const { return Quick[i]; }
    // The cells (bit i for cell i) a datum's class chain answers for, and
    // whether the datum is a data object at all.
    uint64_t Takers(StructOfQZDataBase *Data, VS_BOOL *IsData)
    {
        uint64_t Mask = 0;
        if (Wanted.size() <= kAskDirectly) {
            // A few wanted classes: the host answers each for the datum at
            // once; whether it is a datum matters only when a cell takes it.
            for (const auto &Want : Wanted)
                if (SRV->IsInst((VS_UUID *)&Want.first, Data))
                    Mask |= Want.second;
        } else {
            const Entry &Chain = Lookup(SRV->GetClass(Data));
            *IsData = Chain.IsData;
            Mask = Chain.Mask;
        }
        VS_UUID *ID = Data->IsType ? SRV->GetIDEx(Data) : NULL;
        if (ID != NULL) {
            auto Own = Wanted.find(*ID);
            if (Own != Wanted.end())
                Mask |= Own->second;
        }
        if (Wanted.size() <= kAskDirectly)
            *IsData = Mask != 0 || Slow ? Trelk_IsInstOf(Data, QZDataBaseClass) : VS_FALSE;
        return Mask;
    }

  private:
    struct Entry {
        uint64_t Mask;
        VS_BOOL IsData;
    };
    // Mirrors the acceptance test's walk over inputs.
    void Gather(StructOfQZProcBase *Proc, VS_INT32 Depth, uint64_t Bit, VS_BOOL *Plain,
                TrelkVector<std::pair<VS_UUID, uint64_t>> *Types)
    {
        if (Proc == NULL || Depth > 256 || !*Plain)
            return;
        for (void *Item = SRV->QueryFirst(&Proc->InputQueue); Item != NULL; Item = SRV->QueryNext(Item)) {
            StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)Item;
            if (Input->DataObjectInst != NULL) {
                *Plain = VS_FALSE;
                return;
            }
            Types->push_back({Input->DataBaseID, Bit});
        }
        if (!TrelkProc_IsCell(Proc))
            return;
        StructOfQZCellBase *Cell = (StructOfQZCellBase *)Proc;
        for (void *Chain = SRV->QueryFirst(&Cell->ProcChainQueue); Chain != NULL; Chain = SRV->QueryNext(Chain)) {
            void *First = SRV->GetObject(&((StructOfQZProcChainBase *)Chain)->QZProcStart);
            if (First != NULL && TrelkProc_IsProcObject(First))
                Gather((StructOfQZProcBase *)First, Depth + 1, Bit, Plain, Types);
        }
    }
    const Entry &Lookup(void *Class)
    {
        static const Entry None = {0, VS_FALSE};
        if (Class == NULL)
            return None;
        auto Found = Memo.find(Class);
        if (Found != Memo.end())
            return Found->second;
        // Up the chain to the first class already answered, then back down.
        TrelkVector<void *> Path;
        Entry Above = None;
        for (void *X = Class; X != NULL; X = SRV->GetClass(X)) {
            auto Known = Memo.find(X);
            if (Known != Memo.end()) {
                Above = Known->second;
                break;
            }
            Path.push_back(X);
        }
        for (size_t i = Path.size(); i-- > 0;) {
            Entry Here = Above;
            VS_UUID *ID = SRV->GetIDEx(Path[i]);
            auto Want = ID != NULL ? Wanted.find(*ID) : Wanted.end();
            if (Want != Wanted.end())
                Here.Mask |= Want->second;
            if (Path[i] == QZDataBaseClass)
                Here.IsData = VS_TRUE;
            Memo[Path[i]] = Here;
            Above = Here;
        }
        return Memo[Class];
    }
    static constexpr size_t kAskDirectly = 3;
    VS_BOOL Slow = VS_FALSE; // a cell asked the long way
    TrelkVector<void *> Cells;
    TrelkVector<VS_UUID> CellIDs;
    TrelkVector<VS_BOOL> Quick;
    TrelkIDMap<uint64_t> Wanted;
    TrelkHashMap<void *, Entry> Memo;
};
} // namespace

VS_INT32 QZRealmBase_OnBeforeExecute(void *L)
{
    (void)L;
    StructOfQZRealmBase *Realm = RealmSelf();
    if (Realm == NULL)
        return 0;
    VS_UUID RealmID = SRV->GetID(Realm);
    OBJECTATTRIBUTEINDEX CellIndex = SRV->GetAttributeIndex(QZRealmBaseClass, "QZCellQueue");
    OBJECTATTRIBUTEINDEX EnvIndex = SRV->GetAttributeIndex(QZRealmBaseClass, TRELK_REALM_ENVDATAQUEUE);
    // The data in the env now, in queue order, from the realm's index: only
    // the groups of the classes some cell wants are visited, unless a cell
    // with an input bound to a value asks about every datum. What arrives
    // while the data are handed out waits for the next cycle.
    uint64_t Mark = QZRealmBase_EnvMark_Internal(Realm);
    uint64_t Cursor = 0;
    VS_BOOL ScriptRan = VS_TRUE, All = VS_FALSE;
    CellMatcher Matcher;
    TrelkVector<VS_UUID> Wanted;
    for (;;) {
        if (ScriptRan) {
            Realm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
            if (Realm == NULL)
                break;
            Matcher.Build(Realm, CellIndex, &Realm->QZCellQueue);
            Matcher.WantedClasses(&Wanted);
            All = Matcher.AnySlow();
            ScriptRan = VS_FALSE;
        }
        if (!All && Wanted.empty())
            break;
        VS_UUID ID;
        StructOfQZDataBase *D =
            (StructOfQZDataBase *)QZRealmBase_EnvNext_Internal(Realm, &Cursor, Mark, Wanted.data(), Wanted.size(), All, &ID);
        if (D == NULL)
            break;
        VS_BOOL IsData = VS_FALSE;
        uint64_t Takers = Matcher.Takers(D, &IsData);
        if (!IsData)
            continue;
        VS_BOOL Taken = VS_FALSE;
        for (size_t c = 0; c < Matcher.Count(); c++) {
            void *Cell = Matcher.Cell(c);
            if (ScriptRan) {
                // A script ran for an earlier cell of this datum.
                Realm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
                D = (StructOfQZDataBase *)SRV->GetObject(&ID);
                if (Realm == NULL || D == NULL)
                    break;
                Cell = SRV->GetObject(Matcher.CellID(c));
                if (Cell == NULL || SRV->GetParent(Cell) != Realm || SRV->GetIndex(Cell) != CellIndex)
                    continue;
            }
            VS_BOOL Takes;
            if (Matcher.IsQuick(c) && !ScriptRan)
                Takes = (Takers >> c) & 1 ? VS_TRUE : VS_FALSE;
            else {
                ScriptRan = VS_TRUE;
                Takes = QZProcBase_DataCanBeAsInput_Internal((StructOfQZProcBase *)Cell, D, VS_TRUE) ? VS_TRUE
                                                                                                       : VS_FALSE;
                Realm = (StructOfQZRealmBase *)SRV->GetObject(&RealmID);
                D = (StructOfQZDataBase *)SRV->GetObject(&ID);
                Cell = SRV->GetObject(Matcher.CellID(c));
                if (Realm == NULL || D == NULL)
                    break;
                if (Cell == NULL)
                    continue;
            }
            if (Takes) {
                ScriptRan = VS_TRUE;
                QZCellBase_AddEnvData_Internal_Ex(Realm, (StructOfQZCellBase *)Cell, D);
                Taken = VS_TRUE;
            }
        }
        // Scripts ran while the datum was handed out (a report, a cell's
        // hooks): they may have moved it into another realm, emptied the
        // env or freed this realm. The env's lock is let go only while the
        // datum still sits in this realm's env; otherwise the lock it holds
        // is someone else's.
        void *Left = Taken ? SRV->GetObject(&ID) : NULL;
        Realm = Left != NULL ? (StructOfQZRealmBase *)SRV->GetObject(&RealmID) : Realm;
        if (Left != NULL && Realm != NULL && SRV->GetParent(Left) == Realm && SRV->GetIndex(Left) == EnvIndex) {
            ScriptRan = VS_TRUE;
            QZRealmBase_EnvLeaving_Internal(Left);
            SRV->ChangeParent(Left, NULL, 0);
            SRV->UnLockGC(Left);
        } else if (Taken)
            ScriptRan = VS_TRUE;
    }
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
