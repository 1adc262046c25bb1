// One scheduling step of a cell, and the test whether one of the cell's
// chains could still take a datum of its env.
//
// The step's entry is here: a cell of the realm that is not ready waits, a
// cell inside a chain waits for its inputs. The work of the step (runner
// creation, the runner passes, output collection and the finish decision)
// is in Tarvex_ScheduleQZCell_Step.cpp.
#include "trelk_cell_api.h"
#include "trelk_helpers.h"
#include "trelk_sched_internal.h"

// A proc input that could take the datum as it comes from the env (or from
// inside the chain with IsFromEnvData FALSE), unless the proc is excluded.
static VS_BOOL DataCanBeToProc(StructOfQZDataBase *QZData, StructOfQZProcBase *QZProc, VS_BOOL IsFromEnvData)
{
    VS_UUID ExcludeID;
    if (IsFromEnvData)
        QZRunnerBase_GetExcludeIDForEnvData(QZProc, &ExcludeID);
    else
        ExcludeID = SRV->GetID(QZProc);
    if (QZData->ExcludeProc != NULL && SRV->FindIDKey(QZData->ExcludeProc, &ExcludeID) != NULL)
        return VS_FALSE;
    for (void *In = SRV->QueryFirst(&QZProc->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        if ((Input->IsFromInternal ? VS_TRUE : VS_FALSE) != (IsFromEnvData ? VS_FALSE : VS_TRUE))
            continue;
        VS_BOOL Accepts = Input->IsOnlyDirect
                              ? SRV->IsDirectInst(&Input->DataBaseID, QZDataBase_GetObjectHasBuf_Internal(QZData))
                              : SRV->IsInst(&Input->DataBaseID, QZData);
        if (Accepts)
            return VS_TRUE;
    }
    return VS_FALSE;
}

static VS_BOOL SomeFirstProcTakes(void *QueueHead, StructOfQZDataBase *QZData)
{
    for (void *Chain = SRV->QueryFirst(QueueHead); Chain != NULL; Chain = SRV->QueryNext(Chain)) {
        VS_UUID *Start = &((StructOfQZProcChainBase *)Chain)->QZProcStart;
        void *First = Trelk_IsZeroID(Start) ? NULL : SRV->GetObject(Start);
        if (First == NULL || First == QZProcBaseClass || !Trelk_IsInstOf(First, QZProcBaseClass))
            continue;
        if (DataCanBeToProc(QZData, (StructOfQZProcBase *)First, VS_TRUE))
            return VS_TRUE;
    }
    return VS_FALSE;
}

VS_BOOL Tarvex_ScheduleQZCell_EnvDataCanBeAllocated(StructOfQZCellBase *QZCell, StructOfQZDataBase *QZData,
                                                    VS_BOOL CheckConnectProc)
{
    if (QZCell == NULL || QZData == NULL)
        return VS_FALSE;
    if (CheckConnectProc && SRV->QueryFirst(&QZData->ConnectedProc) != NULL)
        return VS_TRUE;
    return SomeFirstProcTakes(&QZCell->ProcChainQueue, QZData) || SomeFirstProcTakes(&QZCell->QZProcForOutputQueue, QZData)
               ? VS_TRUE
               : VS_FALSE;
}

// TRUE when one input of a cell that runs inside a chain has what it asks.
static VS_BOOL SomeInputReady(StructOfQZCellBase *Cell)
{
    for (void *In = SRV->QueryFirst(&Cell->InputQueue); In != NULL; In = SRV->QueryNext(In)) {
        StructOfQZDataInputContainer *Input = (StructOfQZDataInputContainer *)In;
        if (SRV->QueryFirst(&Input->DataQueue) == NULL)
            continue;
        if (Input->RequestNumber <= 0 || Input->RequestNumber == Tarvex_ScheduleProc_GetItemNumber(&Input->DataQueue))
            return VS_TRUE;
    }
    return VS_FALSE;
}

VS_INT32 Tarvex_ScheduleQZCell(StructOfQZRealmBase *QZRealm, void *QZCell)
{
    StructOfQZCellBase *Cell = (StructOfQZCellBase *)QZCell;
    if (QZRealm == NULL || Cell == NULL)
        return -1;
    if (SRV->GetParent(Cell) == QZRealm) {
        if (!Cell->IsReady)
            return 4;
    } else if (!SomeInputReady(Cell)) {
        return 2;
    }
    return TrelkSched_CellStep(QZRealm, Cell);
}
