// Calls that go up the layers. Each subsystem includes only the headers of
// its own folder and of the folders below it (module <- data <- proc <-
// realm, scheduler); where a lower layer needs a function of a higher one,
// the function is declared here, once, and defined in its own subsystem.
// Everything here is linked into the module: a call needs no NULL check.
// Functions that are not part of the build yet are in trelk_weak.h instead.
#ifndef TRELK_UPCALLS_H
#define TRELK_UPCALLS_H

#include "tarvex_api.h"

struct StructOfQZProcBase;
struct StructOfQZProcChainBase;
struct StructOfQZRealmBase;
struct StructOfQZCellBase;
struct StructOfQZDataBase;
struct StructOfQZProcRunnerBase;

// ---------------------------------------------------------------------------
// Data (data/): called by shutdown
// ---------------------------------------------------------------------------
// Destroys the indexes that attribute lists still hold and that no data
// object took back. For module shutdown: after it, handles in old lists are
// refused like any unknown number.
void QZDataBase_ReleaseParkedIndexes();
// Frees the notes of widened exclusion lists (see trelk_data_api.h).
void QZDataBase_ReleaseExcludeNotes();

// ---------------------------------------------------------------------------
// Procs (proc/): called by the data objects and the performance records
// ---------------------------------------------------------------------------
// The proc's type object: the first object up its class chain that is a proc
// type or one of the proc base classes; NULL for none.
void *QZProcBase_GetProcType_Internal(StructOfQZProcBase *QZProc);
// The ID under which a data object remembers a proc that took or refused it:
// a runner's copy counts as the proc it was copied from. FALSE for NULL.
VS_BOOL QZRunnerBase_GetExcludeIDForEnvData(StructOfQZProcBase *QZProc, VS_UUID *ExcludeID);
// The system package record that lists the object's name as one of its
// classes, or NULL. Borrowed.
VS_PARAPKGPTR QZProcBase_OnSaveProc_GetPackageInfo(void *Object);
// The class a saved object is recorded under; its package and those of its
// user-defined ancestors are entered in ParaPkg_PackageInfo. NULL for none.
void *QZProcBase_OnSaveProc_SaveParaPkgInfo(void *Object, VS_PARAPKGPTR ParaPkg_PackageInfo, VS_BOOL ObjectIsClass);
// "<package>[<version>].<class>" of the object's recorded class, or
// "main[0].<class>" when no package lists it; in FullClassNamePrintBuf.
VS_CHAR *QZProcBase_OnSaveProc_GetFullClassName(void *Object);
// The proc record and the chain record (written into a cleared ParaPkg, the
// classes they need entered in ParaPkg_PackageInfo); FALSE after a report,
// with ParaPkg cleared. SaveChild FALSE leaves out the child chains.
VS_BOOL QZProcBase_OnSaveProc_SaveProc(StructOfQZProcBase *QZProcBase, VS_PARAPKGPTR ParaPkg_PackageInfo,
                                       VS_PARAPKGPTR ParaPkg, VS_BOOL SaveChild, VS_BOOL SaveProcObjectID);
VS_BOOL QZProcBase_OnSaveProc_SaveProcChain(StructOfQZProcChainBase *QZProcChainBase,
                                            VS_PARAPKGPTR ParaPkg_PackageInfo, VS_PARAPKGPTR ParaPkg,
                                            VS_BOOL SaveProcObjectID);

// TRUE when Target is From or is met following the QZProcNext links from
// From; a walk never meets a proc twice.
VS_BOOL TrelkChain_ProcNextReaches(StructOfQZProcBase *From, StructOfQZProcBase *Target);

// ---------------------------------------------------------------------------
// Scheduler (scheduler/): called by the procs, chains and cells
// ---------------------------------------------------------------------------
// The number of objects in a host object queue; 0 for an empty or missing one.
VS_INT32 Tarvex_ScheduleProc_GetItemNumber(void *QueueHead);
// The three steps that copy a proc, with its child chains, for a runner; each
// runs over the whole chain before the next: step 1 makes the copies (kept in
// DupQZProc), step 3 links them and returns the proc's copy, step 4 clears
// DupQZProc again.
void Tarvex_ScheduleProc_DupProc_Step1(VS_UUID *RunnerID, StructOfQZProcBase *QZProc);
StructOfQZProcBase *Tarvex_ScheduleProc_DupProc_Step3(VS_UUID *RunnerID, StructOfQZProcBase *QZProc);
void Tarvex_ScheduleProc_DupProc_Step4(VS_UUID *RunnerID, StructOfQZProcBase *QZProc);
// Status -1 on every proc of the tree whose Status is not 0.
void Tarvex_ScheduleProc_DupProc_SetStatusForFree(StructOfQZProcBase *QZProc);
// Marks the inputs of QZProc that PreviousQZProc's outputs feed.
void Tarvex_ScheduleProc_DupProc_SetIsFromInternal(StructOfQZProcBase *PreviousQZProc, StructOfQZProcBase *QZProc,
                                                   VS_BOOL ProcessChild);
// Records PreviousQZProc in QZProc's QZProcIndexTree, and the procs before
// each proc of QZProc's child chains.
void Tarvex_ScheduleProc_DupProc_SetPrevProcIndexTree(StructOfQZProcBase *PreviousQZProc, StructOfQZProcBase *QZProc);
// Clears the PrivateLocalBuf of every proc of the chain and its child chains.
void Tarvex_ScheduleProc_ProcChain_ClearPrivateBuf(StructOfQZProcChainBase *QZProcChain);
// Notes a runner's proc whose input may have gained an item with a set change
// flag, for the runner's next current-proc check. Nothing for other procs.
void TrelkSched_TouchProc(StructOfQZProcBase *Proc);
// Frees what the scheduler keeps between steps; for module shutdown.
void Tarvex_Schedule_ReleaseState();
// TRUE when an item of the cell's env is an instance of Object (Object is up
// its class chain): the cell's index of its env answers without a walk.
VS_BOOL Tarvex_Schedule_CellHoldsInstanceOf(StructOfQZCellBase *Cell, void *Object);
// Forgets what the scheduler keeps for a proc or cell that is being freed.
void Tarvex_Schedule_ForgetCell(void *Cell);
// Called before module code moves or frees an object: when it is a datum in
// a cell's env, the cell's index of its env lets go of it. Nothing for any
// other object.
void Tarvex_Schedule_EnvDataLeaving(void *Object);
// Called before a datum's stamp (ScheduleTickCount, SequenceIndex) is
// changed in place, by a script or by module code: when the datum sits in a
// realm's or a cell's env, that env's index files it again by its new stamp
// at its next look. Nothing for any other object.
void Tarvex_Schedule_EnvDataRestamping(void *Object);
// One scheduling step of a cell; its result code (as a proc's "Execute").
VS_INT32 Tarvex_ScheduleQZCell(StructOfQZRealmBase *QZRealm, void *QZCell);
// TRUE when the datum is assigned to a proc (with CheckConnectProc), or the
// first proc of one of the cell's chains or output chains could take it.
VS_BOOL Tarvex_ScheduleQZCell_EnvDataCanBeAllocated(StructOfQZCellBase *QZCell, StructOfQZDataBase *QZData,
                                                    VS_BOOL CheckConnectProc);
// A new runner of one of the cell's chains, with copies of its procs, in no
// queue; one GC lock for the caller.
StructOfQZProcRunnerBase *Tarvex_ScheduleProc_NewRunner(StructOfQZRealmBase *QZRealm, StructOfQZCellBase *QZCell,
                                                        StructOfQZProcChainBase *QZProcChain);

// ---------------------------------------------------------------------------
// Scheduler (scheduler/): called by the realm's Execute family
// ---------------------------------------------------------------------------
// One scheduling step of the realm: 0 while the cycle goes on, 1 when it has
// ended (ExecuteStage 2). A step that changed something sets
// *AnyActionHappen (when given); nothing ever clears it.
VS_INT32 Tarvex_ScheduleRealm(StructOfQZRealmBase *realm, VS_BOOL *AnyActionHappen);

// ---------------------------------------------------------------------------
// Realm (realm/): called by start-up and reporting
// ---------------------------------------------------------------------------
// Effective InitialLiveCount: the stub's while a stub exists, else the realm's.
VS_INT32 QZRealmBase_GetInitialLiveCount(StructOfQZRealmBase *QZRealm);
// Empties the status layout table (1024 layers).
void QZRealmBase_GetStatus_InitGetStatusPositionItem();
// Joins the proc-run workers that have ended by themselves (they have left
// the thread registry but may not have returned yet). Both locks held.
void QZRealmBase_RunProc_JoinEndedWorkers();
// Finishes every ExecuteUntil still running on another thread (one report
// each: nothing finished it) and waits for each to end, both locks given up
// meanwhile: none may run module code once the module is gone. Both locks
// held.
void QZRealmBase_ExecuteUntil_FinishAll();
// Frees what the realm keeps module-wide (the outside lists in host memory,
// the status lock) before the module lets go of the host.
void QZRealmBase_ReleaseModuleState();

// ---------------------------------------------------------------------------
// Realm services (realm/): saved procs and chains read back, called by the
// value list
// ---------------------------------------------------------------------------
// Whether a proc record (of kind Type: "QZProc", "QZProcRemote", "QZCell") or
// a chain record can be loaded against the classes as they are now; FALSE
// after one report "Load object failed, ...". IsStrictmatch compares an
// input's flags with its class's too, not only its RequestNumber.
VS_BOOL QZRealmBase_CheckValid_QZProc(VS_PARAPKGPTR QZProcPkg, VS_CHAR *Type, VS_BOOL IsStrictmatch);
VS_BOOL QZRealmBase_CheckValid_QZProcChain(VS_PARAPKGPTR QZProcChainPkg, VS_CHAR *Type, VS_BOOL IsStrictmatch);
// The new proc or chain of a checked record, with one GC lock for the
// caller. Saved object IDs are noted in QZProcRecord, saved links to them in
// NextQZProcRecord (either may be NULL) for QZProcChain_Load_ParaPkg_FixObjectID.
void *QZRealmBase_Load_QZProc(VS_PARAPKGPTR QZProcPkg, VS_CHAR *Type, VS_PARAPKGPTR QZProcRecord,
                              VS_PARAPKGPTR NextQZProcRecord);
void *QZRealmBase_Load_QZProcChain(VS_PARAPKGPTR QZProcChainPkg, VS_CHAR *Type, VS_PARAPKGPTR QZProcRecord,
                                   VS_PARAPKGPTR NextQZProcRecord);

// ---------------------------------------------------------------------------
// Realm (realm/): called by the data objects
// ---------------------------------------------------------------------------
// A datum is being freed (its last event): in every realm, the records that
// list it as a source take its count out of their sums of data sources at
// once; no other record is looked at.
void QZRealmBase_ActiveDataFreed(const VS_UUID *DataID);

// ---------------------------------------------------------------------------
// Realm (realm/): called by the frame data
// ---------------------------------------------------------------------------
// TRUE when QZData is a datum that entered the realm from outside in the
// current cycle (an item of its EnvDataQueuePackage).
VS_BOOL QZRealmBase_IsFromOutSide_Internal(StructOfQZRealmBase *QZRealm, StructOfQZDataBase *QZData);

#endif
