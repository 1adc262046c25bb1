// Realms and the realm stub as the other subsystems see them.
//
// The realm functions that the layers below call (the effective
// InitialLiveCount, the reset of the status layout, the outside test of
// data) are declared in trelk_upcalls.h, which this header brings in; what
// only scheduler/ and the realm services call is declared here. The luafuncs
// are in trelk_realm_luafuncs.h, the helpers that only the realm files share
// in trelk_realm_internal.h.
#ifndef TRELK_REALM_API_H
#define TRELK_REALM_API_H

#include "trelk_proc_api.h"
#include "trelk_upcalls.h"
#include "trelk_alloc.h"

#include <cstdint>

// ---------------------------------------------------------------------------
// Record and life cycle
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
// The realm's private buffer, or NULL (no realm, or not made yet).
StructOfQZRealmBaseLocalBuf *QZRealmBase_GetLocalBuf_Internal(StructOfQZRealmBase *QZRealm);

// ---------------------------------------------------------------------------
// Effective settings: the stub's value while a stub exists, else the realm's

// ---------------------------------------------------------------------------
// own (0 without a realm).
// ---------------------------------------------------------------------------
VS_INT32 QZRealmBase_GetActiveLength(StructOfQZRealmBase *QZRealm);
VS_INT32 QZRealmBase_GetMaxUnAllocatedData(StructOfQZRealmBase *QZRealm);
VS_INT32 QZRealmBase_GetMaxSourceDataLength(StructOfQZRealmBase *QZRealm);
VS_INT32 QZRealmBase_GetMaxLoopCount(StructOfQZRealmBase *QZRealm);
VS_INT32 QZRealmBase_GetHistoryLength(StructOfQZRealmBase *QZRealm);
VS_INT64 QZRealmBase_GetMaxSuspendTickCount(StructOfQZRealmBase *QZRealm);
// The raised limit of a cell or proc when it is at least the effective
// MaxUnAllocatedData, else that setting.
VS_INT32 QZRealmBase_GetMaxUnAllocatedData_ForQZCell(StructOfQZRealmBase *QZRealm, void *Object);
// Raises the object's limit by 64 from the larger of its stored value and the
// current setting.
void QZRealmBase_IncreaseMaxUnAllocatedData_ForQZCell(StructOfQZRealmBase *QZRealm, void *Object);

// ---------------------------------------------------------------------------
// Environment data
// ---------------------------------------------------------------------------
// Adds the script arguments from DataStartIndex to the top as env data.
void QZRealmBase_AddEnvData_Internal(StructOfQZRealmBase *QZRealm, VS_INT32 DataStartIndex,
                                     VS_BOOL ChangeParentToNULL, VS_BOOL ChangeCreateTick);
// Adds one data object as env data, stamped and activated.
void QZRealmBase_AddEnvData_Internal_Ex(StructOfQZRealmBase *QZRealm, StructOfQZDataBase *QZData);
// A new package (the caller releases it) of the env data, all of them or the
// instances of DataClass, oldest stamp first; equal stamps keep queue order.
VS_PARAPKGPTR QZRealmBase_GetEnvDataQueue_Internal(StructOfQZRealmBase *QZRealm, void *DataClass);
// Notes the data from outside of a new cycle (the models its
// EnvDataQueuePackage lists and the realm's own data) for the outside test;
// Count 0 forgets them.
void QZRealmBase_SetOutsideData_Internal(StructOfQZRealmBase *QZRealm, void *const *Data, VS_INT32 Count);
// The realm's index of its env data, kept from step to step (realm_envindex.cpp).
// The module's own removals tell it before the datum leaves the queue.
void QZRealmBase_EnvLeft_Internal(StructOfQZRealmBase *QZRealm, void *Object);
// The same for an object that may sit in any realm's env queue.
void QZRealmBase_EnvLeaving_Internal(void *Object);
// A datum's stamp is about to change in place: when it sits in a realm's env,
// the realm's index files it again by its new stamp at its next look, and
// the frame of the cycle looks at it again.
void QZRealmBase_EnvRestamping_Internal(void *Object);
// A cycle opens: the data in the env now, and the models given (the realm's
// data the cells' env data were made from), count as from outside until the
// next opening.
void QZRealmBase_EnvOpenCycle_Internal(StructOfQZRealmBase *QZRealm, void *const *Models, VS_INT32 Count,
                                       VS_PARAPKGPTR OutsidePkg);
// The cycle's outside data are forgotten (a reset).
void QZRealmBase_EnvForgetCycle_Internal(StructOfQZRealmBase *QZRealm);
// 1 / 0 whether the data were outside at the cycle's opening; -1 when no
// cycle is noted or the outside package is not as the opening left it.
VS_INT32 QZRealmBase_EnvIsOutside_Internal(StructOfQZRealmBase *QZRealm, void *Data, VS_PARAPKGPTR OutsidePkg);
// A new package of the first Limit env data in stamp order (equal stamps in
// queue order).
VS_PARAPKGPTR QZRealmBase_EnvOldest_Internal(StructOfQZRealmBase *QZRealm, VS_INT32 Limit);
// The fact history after a cycle's opening: the first Length env data in
// stamp order, then, when they fall short, what *History held before, cut to
// Length. *History is released and replaced, or kept when it already is that.
void QZRealmBase_EnvFactHistory_Internal(StructOfQZRealmBase *QZRealm, VS_PARAPKGPTR *History, VS_INT32 Length);
// The realm's history packages were handed out (to a script, to another
// realm): the next cycle makes a fresh fact history.
void QZRealmBase_EnvHistoryShown_Internal(StructOfQZRealmBase *QZRealm);
// The frame of a new cycle: the env data stamped at MinTick or later, in
// queue order; frame data and the data stamped above MarkTick but below
// MinTick are left to the first step.
void QZRealmBase_EnvFrameOpen_Internal(StructOfQZRealmBase *QZRealm, void *Frame, VS_INT64 MinTick,
                                       VS_INT64 MarkTick, TrelkVector<void *> &Out);
// The frame of a step: the env data newer than MarkTick that are not members
// yet, in queue order; only what arrived or was restamped since the last
// look and what the opening left to it, unless the frame or its mark is not
// the one the index filled.
void QZRealmBase_EnvFrameStep_Internal(StructOfQZRealmBase *QZRealm, void *Frame, VS_PARAPKGPTR Members,
                                       VS_INT64 MarkTick, TrelkVector<void *> &Out);
// The index brought up to the queue; the last position filed.
uint64_t QZRealmBase_EnvMark_Internal(StructOfQZRealmBase *QZRealm);
// The next datum after *Cursor up to Mark, in queue order, that is an
// instance of one of the Wanted classes (of any datum with All); NULL at the
// end. *Cursor moves to it.
void *QZRealmBase_EnvNext_Internal(StructOfQZRealmBase *QZRealm, uint64_t *Cursor, uint64_t Mark,
                                   const VS_UUID *Wanted, size_t WantedCount, VS_BOOL All, VS_UUID *IDOut);
// The realm's index goes (the realm is freed).
void QZRealmBase_EnvRelease_Internal(StructOfQZRealmBase *QZRealm);
// The default "OnLongSourceData" step: removes the deepest link of the
// data's same-typed source chain (never the root's own link).
VS_BOOL QZRealmBase_OnLongSourceData_Removelast(StructOfQZDataBase *RootQZData, StructOfQZDataBase *QZData,
                                                VS_INT32 Layer, VS_BOOL *HasRemove);

// ---------------------------------------------------------------------------
// Cells
// ---------------------------------------------------------------------------
// Puts a cell into the realm's cell queue and makes it ready; a cell already
// held by a realm keeps its one lock.
VS_INT32 QZRealmBase_MoveToCellQueue_Internal(StructOfQZRealmBase *QZRealm, void *QZCell);

// ---------------------------------------------------------------------------
// Active objects
// ---------------------------------------------------------------------------
// One active object of a realm, filed under its key object's ID.
struct StructOfQZRealmBaseActiveObjectRecord {
    VS_BOOL IsQZData;
    VS_INT32 ActiveCount;
    VS_INT32 ExtraActiveCount;
    VS_ULONG ActiveCountUpdateSequence;
    VS_INT64 ScheduleTickCount;
    VS_ULONG SequenceIndex;
    VS_PARAPKGPTR SourceBuf;
    VS_PARAPKGPTR TargetBuf;
    // The lists while no script holds them, and the sums of the sources'
    // counts (realm/QZRealmBase_ActiveLinks.cpp); NULL until the record is filed.
    struct TrelkActiveLinks *Links;
};

// The records in stamp order, kept beside the host's index: a record filed
// (KeyID given) or stamped again (KeyID NULL), one taken out, all of them
// to be read again from the host's index.
void QZRealmBase_ActiveFiled_Internal(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseActiveObjectRecord *Record,
                                      VS_UUID *KeyID);
void QZRealmBase_ActiveUnfiled_Internal(StructOfQZRealmBase *QZRealm, StructOfQZRealmBaseActiveObjectRecord *Record);
void QZRealmBase_ActiveOrderStale_Internal(StructOfQZRealmBase *QZRealm);
// The key IDs of the Take least recently stamped records, oldest first.
void QZRealmBase_ActiveOldest_Internal(StructOfQZRealmBase *QZRealm, VS_ULONG Take, TrelkVector<VS_UUID> &Out);
// Activates an object with IncreaseCount (>= 0) and the optional source list.
void QZRealmBase_ActiveData_Internal(StructOfQZRealmBase *QZRealm, void *Object, VS_PARAPKGPTR SourceList,
                                     VS_INT32 IncreaseCount);
// Lowers the object's own count (never below 1), or removes its record when
// DeCreaseCount is 0 or less.
void QZRealmBase_DeactiveData_Internal(StructOfQZRealmBase *QZRealm, void *Object, VS_INT32 DeCreaseCount);
// Deactivation with 0 of the record filed under KeyID, also when its object
// has been freed meanwhile (the age trim finds such records by ID only).
void QZRealmBase_DeactiveDataByID_Internal(StructOfQZRealmBase *QZRealm, VS_UUID *KeyID);
// Removes every record stamped before BeforeScheduleCount (all with 0).
void QZRealmBase_DeactiveAll_Internal(StructOfQZRealmBase *QZRealm, VS_INT64 BeforeScheduleCount);

// ---------------------------------------------------------------------------
// Synchronisation
// ---------------------------------------------------------------------------
// Takes over the source realm's counters, limits, history, cache and, when
// asked, active-object records; FALSE (nothing changed) for a missing source,
// the realm itself or a non-realm.
VS_BOOL QZRealmBase_SyncFrom_Internal(StructOfQZRealmBase *QZRealm, StructOfQZRealmBase *SourceRealm,
                                      VS_BOOL SyncActiveObject);

// ---------------------------------------------------------------------------
// The end of a cell's run and of a realm's run
// ---------------------------------------------------------------------------
// Hands a finished cell's data back to the realm (outputs and products on
// success, the realm's own data the cell did not use); Collected (may be
// NULL) receives the outputs and products handed back.
void QZRealmBase_ProcessCellEnvData_Internal(StructOfQZRealmBase *QZRealm, StructOfQZCellBase *QZCell,
                                             VS_BOOL IsSuccess, VS_PARAPKGPTR Collected);
// Ends a cell's run: data handed back, "OnCellFinish" on the cell and the
// realm, inputs, runners, output chain and environment let go. Returns 0.
VS_INT32 QZRealmBase_ResetSingleCell_Internal(StructOfQZRealmBase *QZRealm, StructOfQZCellBase *QZCell,
                                              VS_BOOL CellExecuteSuccess);
// Ends the run of every ready cell of the realm as failed. Returns 0.
VS_INT32 QZRealmBase_ResetCells_Internal(StructOfQZRealmBase *QZRealm);
// Ends the realm's run and empties its environment. Returns 0.
VS_INT32 QZRealmBase_Reset_Internal(StructOfQZRealmBase *QZRealm, VS_BOOL ClearActiveObject);
// Records a datum a proc sent to its cell's environment as an active object
// of the realm, when the cell is one of the realm's.
void QZRealmBase_AddEnvData_ToActiveObject(StructOfQZRealmBase *QZRealm, StructOfQZCellBase *QZCell,
                                           StructOfQZDataBase *QZData);

// ---------------------------------------------------------------------------
// Procs run on demand
// ---------------------------------------------------------------------------
// The worker of an asynchronous run (argument: its StructOfRunProcContext).
extern "C" TRELK_EXPORT void *QZRealmBase_RunProc_Thread(void *RunProcContext);

// ---------------------------------------------------------------------------
// Saving and loading objects; change lists; listing live objects
// ---------------------------------------------------------------------------
// The objects of a saved object package ({"PackageInfo", "ObjectList"}),
// made new: a new package the caller releases, empty when any record fails
// its check (with the check's report). The objects are handed to the script
// engine, not locked: the caller holds them (queue, lock or script value)
// before the next collection point.
VS_PARAPKGPTR QZRealmBase_LoadObject_Internal(StructOfQZRealmBase *QZRealmBase, VS_PARAPKGPTR InputParaPkg,
                                              VS_BOOL IsStrictmatch);
// The same, but each object keeps the lock it was made with: the caller holds
// it (pushes it, queues it) first and lets go after, with
// QZRealmBase_LoadObject_LetGo_Internal.
VS_PARAPKGPTR QZRealmBase_LoadObjectHeld_Internal(StructOfQZRealmBase *QZRealmBase, VS_PARAPKGPTR InputParaPkg,
                                                  VS_BOOL IsStrictmatch);
void QZRealmBase_LoadObject_LetGo_Internal(VS_PARAPKGPTR Objects);
// One tag text per item of a data set ("" for an item that is no data
// object); a new package the caller releases.
VS_PARAPKGPTR QZRealmBase_FormatChanged_FormatTag_Internal(VS_PARAPKGPTR DataSet);
// Writes one line per instance of the class (to stdout, or reported at level
// 6) and returns their number.
VS_INT32 QZRealmBase_PrintObjects_GetInstNum(void *ClassObject, VS_BOOL OutputToConsole);

// ---------------------------------------------------------------------------
// Break-on-proc stepping
// ---------------------------------------------------------------------------
// TRUE while a stepping thread is registered with the realm.
VS_BOOL QZRealmBase_IsBreakOnProc(StructOfQZRealmBase *QZRealm);
// Called by the proc step before a proc runs (and after a finished run): on
// the stepping thread, at a stop, waits with both locks given up until the
// stop is let go. Objects may be gone on return: find them again by ID.
void QZRealmBase_BreakOnProcHandle(StructOfQZRealmBase *QZRealm, StructOfQZProcBase *QZProc);
// The stepping thread's body, started with vs_thread_create.
extern "C" TRELK_EXPORT VS_ULONG QZRealmBase_BreakOnProc_Thread(StructOfQZRealmBase *QZRealm);

#endif
