// Helpers that only the scheduler's own files share: script calls with their
// error reports, re-finding objects after a script call, queue walks, the
// attribute indexes the scheduler moves objects with, and the error counters.
//
// Every script call may free any object or reset the realm. The scheduler
// therefore keeps IDs across a call and finds the objects again afterwards
// (TrelkSched_Find); a pointer kept across a call is never dereferenced.
#ifndef TRELK_SCHED_INTERNAL_H
#define TRELK_SCHED_INTERNAL_H

#include "trelk_scheduler_api.h"
#include "trelk_realm_api.h"
#include "trelk_cell_api.h"
#include "trelk_helpers.h"
#include "trelk_alloc.h"

// Results of TrelkSched_Call.
#define TRELK_CALL_MISSING 0 // nothing callable of that name; the results are nil
#define TRELK_CALL_OK 1      // ran without a script error; its results are on the stack
#define TRELK_CALL_ERROR 2   // ran and failed; reported; the results are nil

// Sources and depths are walked at most this deep: a loop of links ends.
#define TRELK_SCHED_MAXDEPTH 256

// ---------------------------------------------------------------------------
// Script calls. Each drops the host's last error first; the caller pushed
// nArgs values and pops the nRes values the host always leaves.
// ---------------------------------------------------------------------------
// A realm event through the module's call-out (limit events go to the stub).
VS_INT32 TrelkSched_CallRealm(void *Realm, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes,
                              const VS_CHAR *ErrorText);
// A script function of a cell, proc or rule through the host.
VS_INT32 TrelkSched_CallObject(void *Object, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes,
                               const VS_CHAR *ErrorText);

// The object with that ID when it still exists, else NULL.
void *TrelkSched_Find(VS_UUID *ID);
#define TRELK_FIND(Type, ID) ((Type *)TrelkSched_Find(&(ID)))

// ---------------------------------------------------------------------------
// Trace hooks (called only while the realm's TraceFlag is set)
// ---------------------------------------------------------------------------
void TrelkSched_OnRunnerBeforeExecuted(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                       StructOfQZProcRunnerBase *Runner);
void TrelkSched_OnRunnerExecuted(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                 StructOfQZProcRunnerBase *Runner, VS_BOOL WillBeFree);
void TrelkSched_OnRunnerProcBeforeExecuted(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                           StructOfQZProcRunnerBase *Runner, StructOfQZProcBase *Proc,
                                           VS_INT32 Condition);

// ---------------------------------------------------------------------------
// Objects, queues and attributes
// ---------------------------------------------------------------------------
VS_BOOL TrelkSched_IsProc(void *Object);
VS_BOOL TrelkSched_IsData(void *Object);
VS_BOOL TrelkSched_IsCell(void *Object);
// Whether an ID index holds no key (asked by its first key: the host gives
// no count).
VS_BOOL TrelkSched_IDIndexIsEmpty(void *Index);
// The proc a QZProcNext handle names, or NULL.
StructOfQZProcBase *TrelkSched_NextProc(StructOfQZProcBase *Proc);
// The proc a QZProcStart names, or NULL.
StructOfQZProcBase *TrelkSched_StartProc(VS_UUID *QZProcStart);
OBJECTATTRIBUTEINDEX TrelkSched_DataQueueIndex();     // QZDataInputContainer.DataQueue
OBJECTATTRIBUTEINDEX TrelkSched_ConnectedProcIndex(); // QZDataBase.ConnectedProc
OBJECTATTRIBUTEINDEX TrelkSched_CellEnvDataIndex();   // QZCellBase.EnvDataQueue
// The data object an input item names, or NULL when it is gone.
StructOfQZDataBase *TrelkSched_ItemData(StructOfQZObjectPointerWithChangeFlag *Item);
// Input container readiness.
VS_BOOL TrelkSched_InputNeedsMore(StructOfQZDataInputContainer *Input);
VS_BOOL TrelkSched_InputSatisfied(StructOfQZDataInputContainer *Input);
// TRUE when an input item of the proc carries a set change flag.
VS_BOOL TrelkSched_HasChangedInput(StructOfQZProcBase *proc);
// Detaches an object from its queue and releases the lock the queue held.
void TrelkSched_Drop(void *Object);

// The three entries that connect a data object to a proc's input container;
// ExcludeID is the key entered in the data's ExcludeProc index.
void TrelkSched_Connect(StructOfQZDataInputContainer *Input, StructOfQZDataBase *Data, StructOfQZProcBase *Proc,
                        VS_UUID *ExcludeID);

// The runner procs that may have gained a changed input item (a connection,
// moved items, a datum marked changed, or leaving the current set): the
// current-proc rule asks only these. TrelkSched_TouchProc is declared in
// trelk_upcalls.h (the procs call it too).
// Adds the noted procs of the runner that have a changed input item to its
// current set, and forgets the runner's noted procs.
void TrelkSched_CurrentFromTouched(StructOfQZProcRunnerBase *Runner, void *CurrentIndex);

// The cell's index of its env data (sched_cellenv.cpp), kept from step to
// step. Each call first brings it up to the cell's queue.
typedef VS_BOOL (*TrelkSched_CandidateVisit)(StructOfQZDataBase *Data, void *Context);
// Visits the data of the cell's env of the class (with IsOnlyDirect: whose
// buffer holder is a direct instance) that do not hold ExcludeID in their
// exclusion list, oldest stamp first, until Visit answers FALSE. FALSE when
// the index cannot answer (two data share a stamp, or a stamp changed): the
// caller builds the candidates itself.
VS_BOOL TrelkSched_EachCandidate(StructOfQZCellBase *Cell, VS_UUID *ClassID, VS_BOOL Direct, VS_UUID *ExcludeID,
                                 TrelkSched_CandidateVisit Visit, void *Context);
// Appends to Pkg, in queue order, the data of the cell's env that a runner
// produced, whose exclusion list is not empty and that no proc holds (a
// datum in a proc's input is neither counted nor dropped as unallocated).
// FALSE: walk the env.
VS_BOOL TrelkSched_UnallocatedCandidates(StructOfQZCellBase *Cell, VS_PARAPKGPTR Pkg);
// The visit that connects each candidate to one input container until it
// holds what it asks; Context is a TrelkSchedFill.
struct TrelkSchedFill {
    StructOfQZDataInputContainer *Input;
    StructOfQZProcBase *Proc;
    VS_UUID *ExcludeID;
};
VS_BOOL TrelkSched_FillOne(StructOfQZDataBase *Data, void *Context);
// How many data of the cell's env have the proc as OwnerRunnerProcID,
// counting up to Stop at most (0: all).
VS_INT32 TrelkSched_CountOwnedEnvData(StructOfQZCellBase *Cell, VS_UUID *ProcID, VS_INT32 Stop);
// Frees every cell's index; for module shutdown.
void TrelkSched_ReleaseCellEnvs();

// Realm, cell, proc and runner ErrorCount +1, in that order (any may be NULL).
void TrelkSched_CountError(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell, StructOfQZProcBase *Proc,
                           StructOfQZProcRunnerBase *Runner);

// Milliseconds and microseconds of the module clock.
VS_INT64 TrelkSched_NowMs();
VS_INT64 TrelkSched_NowUs();

// ---------------------------------------------------------------------------
// Pieces of the proc step, one file each
// ---------------------------------------------------------------------------
// The run, its result and the routing of the output (after admission).
VS_INT32 TrelkSched_RunProc(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell, StructOfQZProcRunnerBase *Runner,
                            StructOfQZProcBase *Proc, VS_INT32 LiveCount, VS_INT32 Remembered,
                            VS_ULONG *ProcNumberExecuted);
// The four limit events; each returns TRUE when the proc may go on.
VS_BOOL TrelkSched_LimitInputInvalid(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                     StructOfQZProcRunnerBase *Runner, StructOfQZProcBase *Proc, VS_INT32 *LiveCount);
VS_BOOL TrelkSched_LimitLongLoop(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                 StructOfQZProcRunnerBase *Runner, StructOfQZProcBase *Proc);
// TRUE when the data may stay an input; FALSE after it was disapproved and
// rejected.
VS_BOOL TrelkSched_LimitLongSourceData(StructOfQZRealmBase *Realm, StructOfQZCellBase *Cell,
                                       StructOfQZProcBase *Proc, StructOfQZDataBase *Data);

// One entry of the ordering that trims a realm's active objects.
struct StructOfQZRealmBaseActiveObjectRecordWithObjectID {
    VS_UUID ActiveObjectID;
};

// ---------------------------------------------------------------------------
// Runner creation and input matching
// ---------------------------------------------------------------------------
void Tarvex_ScheduleProc_CreateRunnerForProcChain(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                  StructOfQZProcChainBase *chain, void *cache);
// The same with a match cache made on first use: *CacheSlot starts NULL and
// the caller destroys what it holds afterwards (TrelkSched_DestroyCache).
// FALSE when nothing was made, freed or reported, so no script ran.
VS_BOOL TrelkSched_CreateRunnerForChain(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                        StructOfQZProcChainBase *chain, void **CacheSlot);
// A new candidate index (the caller destroys it) of the cell's env data of
// the class, oldest first; with a master, only data derived from it.
void *Tarvex_ScheduleProc_BuildDataObjectIndexTree(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                   VS_UUID *DataBaseID, StructOfQZDataBase *MasterQZData,
                                                   VS_BOOL IsOnlyDirect, StructOfQZProcRunnerBase *CurrentQZProcRunner);
// The candidate index of a match cache (an ID index with extra keys) for
// (class, master, IsOnlyDirect), built on first use.
void *TrelkSched_CachedCandidates(StructOfQZRealmBase *realm, StructOfQZCellBase *cell, void *Cache,
                                  VS_UUID *DataBaseID, StructOfQZDataBase *Master, VS_BOOL IsOnlyDirect);
// Destroys every candidate index of a match cache, and the cache.
void TrelkSched_DestroyCache(void *Cache);
// Destroys every candidate index of a match cache and leaves it empty: after
// a script ran, the candidates built before may name freed data.
void TrelkSched_EmptyCache(void *Cache);
// A new package of a proc's input containers in the order they are filled:
// each position served by the most specific later input of a derived class.
VS_PARAPKGPTR TrelkSched_InputFillOrder(StructOfQZProcBase *Proc);
VS_BOOL Tarvex_ScheduleProc_QZProcEnvDataIsExclude(StructOfQZCellBase *cell, StructOfQZProcRunnerBase *runner,
                                                   StructOfQZProcBase *proc, StructOfQZDataBase *data);
StructOfQZDataBase *Tarvex_ScheduleProc_GetMasterQZData(StructOfQZProcBase *proc, VS_INT32 SlaveInputIndex);

// ---------------------------------------------------------------------------
// Input validation, data connection and freeing runners
// ---------------------------------------------------------------------------
// FALSE when the realm, cell, runner or proc given (those not NULL) went
// with a report's script during the top-up: the caller's pointers are then
// stale. TRUE: every one given is still there, at the same address.
VS_BOOL Tarvex_ScheduleProc_QZProcInputValid(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                             StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc);
void Tarvex_ScheduleProc_QZProcConnectData(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                           StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc,
                                           StructOfQZDataInputContainer *container, void *Cache, void *DirectCache);
VS_BOOL Tarvex_ScheduleProc_QZDataToProc(StructOfQZCellBase *cell, StructOfQZDataBase *data, StructOfQZProcBase *proc);
void Tarvex_ScheduleProc_QZProcRunnerFree(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                          StructOfQZProcRunnerBase *runner);

// ---------------------------------------------------------------------------
// Runner step and proc step
// ---------------------------------------------------------------------------
VS_BOOL Tarvex_ScheduleProc_QZProcRunner(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                         StructOfQZProcRunnerBase *runner, VS_INT32 ForceToExecuteType,
                                         VS_ULONG *ProcNumberExecuted);
VS_INT32 Tarvex_ScheduleProc_QZProcRunner_EachProc(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                   StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc,
                                                   VS_INT32 ForceToExecuteType, VS_ULONG *ProcNumberExecuted);
void Tarvex_ScheduleProc_QZProcRunner_Proc_CreateCurrentQZProc(StructOfQZProcRunnerBase *runner,
                                                               StructOfQZProcBase *proc);
void Tarvex_ScheduleProc_QZProcRunner_ProcChain_CreateCurrentQZProc(StructOfQZProcRunnerBase *runner,
                                                                    StructOfQZProcChainBase *chain);
VS_BOOL Tarvex_ScheduleProc_QZProcRunner_EachProc_ProcInputNeedMoreDataFromPrevQZProc(StructOfQZProcBase *proc,
                                                                                     StructOfQZProcBase *prev);
VS_BOOL Tarvex_ScheduleProc_QZProcRunner_EachProc_DataCanBeToProc(StructOfQZDataBase *data, StructOfQZProcBase *proc,
                                                                  VS_BOOL IsFromEnvData);
VS_BOOL Tarvex_ScheduleProc_QZProcRunner_EachProc_DataCanBeToChildProc(StructOfQZDataBase *data,
                                                                       StructOfQZProcBase *proc);

// ---------------------------------------------------------------------------
// The cell step
// ---------------------------------------------------------------------------
// The work of a cell step after its entry checks: the step's result code.
VS_INT32 TrelkSched_CellStep(StructOfQZRealmBase *realm, StructOfQZCellBase *cell);
// "Execute" of a cell's internal output proc: passes what the cell's chains
// routed to it into the cell's output containers.
VS_INT32 QZCellBase_OutputProc_Execute_ScriptCallBack(void *L);

// ---------------------------------------------------------------------------
// Limits, suspension and cancellation
// ---------------------------------------------------------------------------
// One suspended proc of a realm (host memory, in SuspendProcIndexTree).
struct StructOfQZRealmBaseLocalBuf_SuspendProc {
    VS_UUID ProcID;
    VS_INT64 SuspendTickCount;
    VS_INT64 InitSuspendTickCount;
    StructOfQZRealmBaseLocalBuf_SuspendProc *Up;
    StructOfQZRealmBaseLocalBuf_SuspendProc *Down;
};
VS_INT32 Tarvex_ScheduleProc_QZProcRunner_GetSourceDataLength(StructOfQZDataBase *data);
void Tarvex_ScheduleProc_QZProcRunner_ProcCancel(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                 StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc);
void Tarvex_ScheduleProc_QZProcRunner_ProcIsDisapproved(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                        StructOfQZProcBase *proc);
void Tarvex_ScheduleProc_QZProcRunner_ProcIsSuspend(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                                    StructOfQZProcBase *proc);
VS_BOOL Tarvex_ScheduleProc_QZProcRunner_ProcIsSuspend_TooLongCheck(StructOfQZRealmBase *realm,
                                                                    StructOfQZCellBase *cell,
                                                                    StructOfQZProcRunnerBase *runner,
                                                                    StructOfQZProcBase *proc);
// Cancel, disapprove and count: what every kill does after its message.
void TrelkSched_Kill(StructOfQZRealmBase *realm, StructOfQZCellBase *cell, StructOfQZProcRunnerBase *runner,
                     StructOfQZProcBase *proc);

// ---------------------------------------------------------------------------
// Asynchronous procs
// ---------------------------------------------------------------------------
// TRUE while a worker's run of the proc has not been picked up.
VS_BOOL TrelkSched_AsyncWorkerRunning(StructOfQZProcBase *proc);
// Takes a finished worker's hand-over (its source data replace *Sources);
// FALSE when the proc has none waiting.
VS_BOOL TrelkSched_AsyncTakeResult(StructOfQZProcBase *proc, VS_PARAPKGPTR *Sources, VS_INT32 *LiveCount,
                                   VS_INT32 *Result);
// Starts the proc's worker (taking *Sources over) and returns 2 with the proc
// suspended; -1 after a report when no worker could be started. Gives up both
// locks for the handshake: find objects again by ID.
VS_INT32 TrelkSched_AsyncLaunch(StructOfQZRealmBase *realm, StructOfQZCellBase *cell,
                                StructOfQZProcRunnerBase *runner, StructOfQZProcBase *proc, VS_PARAPKGPTR *Sources,
                                VS_INT32 LiveCount);
// The worker's body, started with vs_thread_create on its context.
extern "C" TRELK_EXPORT VS_ULONG Tarvex_ScheduleProc_QZProcRunner_EachProc_Thread(void *Context);

#endif
