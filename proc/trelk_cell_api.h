// Cells as the realm, the scheduler and the rest of the proc code see them:
// creation and equality (called from the proc's own creation and equality),
// env data, the body of AddProc and the tag. The luafuncs are in
// trelk_cell_luafuncs.h, the helpers that only the cell files share in
// trelk_cell_internal.h.
#ifndef TRELK_CELL_API_H
#define TRELK_CELL_API_H

#include "trelk_proc_api.h"

// ---------------------------------------------------------------------------
// Record and life cycle
// ---------------------------------------------------------------------------
VS_INT32 QZCellBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
// The cell part of proc equality: TRUE when both procs are direct instances
// of the QZCellBase class object, which compare by their chains (each chain
// of one matches its own equal chain of the other, in any order); *Equal
// then holds the answer. FALSE: the procs compare by type as every proc.
VS_BOOL QZCellBase_Equals_Internal(StructOfQZProcBase *QZProc, StructOfQZProcBase *OtherProc, VS_BOOL *Equal);
// Pushes exactly one string (the tag, or ""); returns 1.
VS_INT32 QZCellBase_GetTag_Internal(StructOfQZCellBase *Cell);

// ---------------------------------------------------------------------------
// Env data
// ---------------------------------------------------------------------------
// Adds the script arguments from DataStartIndex to the top as env data.
void QZCellBase_AddEnvData_Internal(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell, VS_INT32 DataStartIndex,
                                    VS_BOOL ChangeParentToNULL, VS_BOOL ChangeCreateTick);
// Adds a stamped copy of one datum; nothing for NULL.
void QZCellBase_AddEnvData_Internal_Ex(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                       StructOfQZDataBase *Data);
// TRUE when no proc that the datum excludes counts as having handled it.
VS_BOOL QZCellBase_IsEnvDataUnHandled_Internal(StructOfQZDataBase *Data, VS_BOOL CheckConnectProc);
// New package (the caller releases it) of the cell's unhandled env data:
// instances of DataClass only when it is given; Type 0 all, 1 data from
// outside the runners, other values data made by the runners.
VS_PARAPKGPTR QZCellBase_GetEnvDataUnHandled_Internal(StructOfQZCellBase *Cell, void *DataClass, VS_INT32 Type);
// New package (the caller releases it) of the env data that no proc used
// when the cell's run ends: the unhandled ones and those only held in the
// input of a runner's proc. Type as above.
VS_PARAPKGPTR QZCellBase_GetEnvDataUnusedAtEnd_Internal(StructOfQZCellBase *Cell, VS_INT32 Type);

// ---------------------------------------------------------------------------
// Procs and chains
// ---------------------------------------------------------------------------
// The body of AddProc over the script arguments from StartIndex to the top;
// pushes one bool and returns 1.
VS_INT32 QZCellBase_AddProc_Internal(void *Cell, VS_INT32 StartIndex);

#endif
