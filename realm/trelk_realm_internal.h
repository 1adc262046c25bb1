// Helpers and tables that only the realm files share. Nothing outside realm/
// includes this header.
#ifndef TRELK_REALM_INTERNAL_H
#define TRELK_REALM_INTERNAL_H

#include "trelk_realm_api.h"
#include "trelk_helpers.h"

#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------
// Status layout table: per layer, the drawn elements of a status query with

// ---------------------------------------------------------------------------
// their vertical offsets, used to place the elements of one layer.
// ---------------------------------------------------------------------------
#define GETSTATUS_MAXLAYER 1024

struct StructOfGetStatusPositionItem {
    VS_PARAPKGPTR ParaPkg; // the element dict; one reference owned by the item
    VS_INT32 HeightOffset;
    StructOfGetStatusPositionItem *Up;   // towards the head
    StructOfGetStatusPositionItem *Down; // towards the tail
};

// One list head per layer 0 to 1023. Module-wide: status queries must not
// overlap.
extern StructOfGetStatusPositionItem *GetStatusPositionItemRoot[GETSTATUS_MAXLAYER];

// ---------------------------------------------------------------------------
// Status packages. The layout constants and the table above are module-wide;
// every use of them happens while the status lock is held (TrelkStatus_Lock),
// never across a script call or a lock release. GetStatus of a cell without
// runners first calls the realm's "BreakOnProcContinue" by name, outside the

// ---------------------------------------------------------------------------
// status lock: the stepping code's luafunc answers it, or a script override.
// ---------------------------------------------------------------------------
// Layout constants: proc width W, proc height H, datum radius R, the
// horizontal and the vertical interval HI, VI; GetStatusWithPos sets them.
extern VS_INT32 GETSTATUS_QZPROC_WIDTH;
extern VS_INT32 GETSTATUS_QZPROC_HEIGHT;
extern VS_INT32 GETSTATUS_QZDATA_RADIUS;
extern VS_INT32 GETSTATUS_QZPROC_HINTERVAL;
extern VS_INT32 GETSTATUS_QZPROC_VINTERVAL;

// Takes and gives up the status lock.
void TrelkStatus_Lock();
void TrelkStatus_UnLock();
// The status lock is made with the status layout table at start-up and
// dropped at shutdown.
void TrelkStatus_Start();
void TrelkStatus_Stop();

// A new status package (the caller releases it); empty when Object is given
// and is no cell, or when a description fails.
VS_PARAPKGPTR QZRealmBase_GetStatus_Internal(StructOfQZRealmBase *QZRealm, void *Object, VS_BOOL WithPos);
// The writers of one description each: a new package, or NULL when a
// container names a data type that no longer exists. Layer and Left place a
// proc's shapes; *Width receives the width it takes with its child chains.
VS_PARAPKGPTR QZRealmBase_GetStatus_QZProc(StructOfQZProcRunnerBase *QZRunner, StructOfQZProcBase *QZProc,
                                           VS_BOOL WithPos, VS_INT32 Layer, VS_INT64 Left, VS_INT64 *Width);
// Appends the list of the chain's procs to ChildList and returns ChildList.
VS_PARAPKGPTR QZRealmBase_GetStatus_QZProcChain(StructOfQZProcBase *ParentProc, StructOfQZProcRunnerBase *QZRunner,
                                                StructOfQZProcChainBase *QZChain, VS_PARAPKGPTR ChildList,
                                                VS_BOOL WithPos, VS_INT32 Layer, VS_INT64 Left, VS_INT64 *Width);
VS_PARAPKGPTR QZRealmBase_GetStatus_QZProcRunner(StructOfQZProcRunnerBase *QZRunner, VS_BOOL WithPos,
                                                 VS_INT64 VerticalOffset);
VS_PARAPKGPTR QZRealmBase_GetStatus_QZDataInputContainer(StructOfQZProcBase *QZProc,
                                                         StructOfQZDataInputContainer *Container);
VS_PARAPKGPTR QZRealmBase_GetStatus_QZDataOutputContainer(StructOfQZProcBase *QZProc,
                                                          StructOfQZDataOutputContainer *Container);
VS_PARAPKGPTR QZRealmBase_GetStatus_QZData(StructOfQZDataBase *QZData);

// Layout table: enters the element dict (one more reference, owned by the
// item) at the head of the layer's list; nothing above layer 1023.
void QZRealmBase_GetStatus_CreateGetStatusPositionItem(VS_INT32 Layer, VS_PARAPKGPTR ParaPkg,
                                                       VS_INT32 HeightOffset);
// Empties every layer, releasing the dicts.
void QZRealmBase_GetStatus_FreeGetStatusPositionItem();

// Geometry. Left edges and widths are kept in 64 bits: large sizes saturate in
// the packages instead of wrapping.
// Width of a proc without child chains (W + 16R).
VS_INT64 TrelkStatus_ProcBaseWidth();
// The left edge of a cell and of each runner (HI / 2 + 2R).
VS_INT64 TrelkStatus_StartEdge();
// Enters the proc box, input circles and output shapes of a described proc
// (its package with "InputQueue" / "OutputQueue") at Layer.
VS_BOOL TrelkStatus_ProcElements(VS_PARAPKGPTR ProcPkg, VS_INT32 Layer, VS_INT64 Left);
// The circle of the K-th listed environment datum of a cell.
VS_PARAPKGPTR TrelkStatus_EnvDataElement(VS_PARAPKGPTR DataPkg, VS_INT32 K, VS_INT64 Left);
// Bands of a described runner: writes "Width" (when it has a first proc),
// "Height", "PosX", "PosY" and "Elements"; empties the table.
VS_BOOL TrelkStatus_RunnerBands(VS_PARAPKGPTR RunnerPkg, VS_BOOL HasFirstProc, VS_INT64 FinalEdge, VS_INT64 Y0);
// A 32-bit integer item from a 64-bit value, saturated.
VS_BOOL TrelkStatus_InsertInt(VS_PARAPKGPTR Pkg, VS_INT32 Index, VS_INT64 Value);
// Key and value appended to a dict.
void TrelkStatus_PutStr(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, const VS_CHAR *Value);
void TrelkStatus_PutInt(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_INT64 Value);
void TrelkStatus_PutBool(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, VS_BOOL Value);

// ---------------------------------------------------------------------------
// Saved procs and chains read back (the record checks and loaders that the

// ---------------------------------------------------------------------------
// value list calls are in trelk_upcalls.h)
// ---------------------------------------------------------------------------
// The class name resolves (an object space in front of a "." must exist).
VS_BOOL QZRealmBase_CheckValid_Object(const VS_CHAR *ClassName);
// Input record InputQueueIndex against the input of that Index of the class.
VS_BOOL QZRealmBase_CheckValid_InputQueue(VS_INT32 InputQueueIndex, StructOfQZProcBase *QZProcClass,
                                          VS_PARAPKGPTR ParaPkg, VS_BOOL IsStrictmatch);
// Fills a new input container from its record.
void QZRealmBase_Load_InputQueue(StructOfQZDataInputContainer *QZDataInputContainer, VS_PARAPKGPTR ParaPkg,
                                 VS_PARAPKGPTR NextQZProcRecord);
// Names of the realm's four queue attributes.
#define TRELK_REALM_ENVDATAQUEUE "EnvDataQueue"
#define TRELK_REALM_CELLQUEUE "QZCellQueue"
#define TRELK_REALM_CELLLIBRARY "QZCellLibrary"
#define TRELK_REALM_RULEQUEUE "QZRuleQueue"

// Longest cache key plus its terminator.
#define TRELK_REALM_CACHEKEY_SIZE 128

// ---------------------------------------------------------------------------
// Class tests and arguments
// ---------------------------------------------------------------------------
VS_BOOL TrelkRealm_IsRealm(void *Object);
VS_BOOL TrelkRealm_IsData(void *Object);
VS_BOOL TrelkRealm_IsCell(void *Object);
// Argument 1 when it is a realm instance, else NULL.
StructOfQZRealmBase *TrelkRealm_SelfArg();
// TRUE when the datum's place holds a GC lock on it: the env queue of a realm
// or of a cell, or the data queue of a proc's output.
VS_BOOL TrelkRealm_PlaceHoldsDatum(void *Data);

// ---------------------------------------------------------------------------
// Queues: every membership of one of a realm's four queues holds exactly one

// ---------------------------------------------------------------------------
// GC lock, owned by that realm.
// ---------------------------------------------------------------------------
OBJECTATTRIBUTEINDEX TrelkRealm_QueueIndex(const VS_CHAR *QueueName);
// TRUE when Object sits in that queue of the realm.
VS_BOOL TrelkRealm_InQueue(StructOfQZRealmBase *QZRealm, void *Object, const VS_CHAR *QueueName);
// Places Object in the realm's queue. An object that already sits in one of
// the four queues of any realm brings the lock of that membership along;
// any other object gets a lock of its own. Already in that queue: nothing.
void TrelkRealm_EnterQueue(StructOfQZRealmBase *QZRealm, void *Object, const VS_CHAR *QueueName);
// Detaches an object and releases its membership lock.
void TrelkRealm_LeaveQueue(void *Object);
// Detaches and unlocks every object of the queue.
void TrelkRealm_EmptyQueue(void *QueueHead);
// A new package of the queue's objects in queue order; with a class object,
// only its instances.
VS_PARAPKGPTR TrelkRealm_QueueToPkg(void *QueueHead, void *ClassObject);

// ---------------------------------------------------------------------------
// Active objects
// ---------------------------------------------------------------------------
StructOfQZRealmBaseActiveObjectRecord *QZRealmBase_ActiveObject_GetActiveObjectRecord(StructOfQZRealmBase *QZRealm,
                                                                                      void *Object, VS_UUID *KeyID);
// The object records are filed under: the data itself, a proc's proc type, or
// the object itself.
void *TrelkRealm_ActiveKeyObject(void *Object);
// Releases one record's lists and frees it (the key object's lock is the
// caller's business).
void TrelkRealm_FreeActiveRecord(StructOfQZRealmBaseActiveObjectRecord *Record);
void QZRealmBase_ActiveData_Internal_UpdateActiveCount(StructOfQZRealmBase *QZRealm,
                                                       StructOfQZRealmBaseLocalBuf *LocalBuf,
                                                       StructOfQZRealmBaseActiveObjectRecord *Record,
                                                       VS_ULONG UpdateSequence, VS_BOOL UpdateRelated);
void QZRealmBase_ActiveData_Internal_UpdateTargetOfSource(StructOfQZRealmBase *QZRealm,
                                                          StructOfQZRealmBaseLocalBuf *LocalBuf, void *Object,
                                                          StructOfQZRealmBaseActiveObjectRecord *Record,
                                                          void *SourceObject, VS_ULONG UpdateSequence,
                                                          VS_BOOL ActionIsRemove);
void QZRealmBase_ActiveData_Internal_UpdateSourceOfTarget(StructOfQZRealmBase *QZRealm,
                                                          StructOfQZRealmBaseLocalBuf *LocalBuf, void *Object,
                                                          StructOfQZRealmBaseActiveObjectRecord *Record,
                                                          void *TargetObject, VS_ULONG UpdateSequence,
                                                          VS_BOOL ActionIsRemove);
// Releases every record of the realm's index (locks of live key objects,
// lists, records) and destroys the index.
void TrelkRealm_ReleaseActiveIndex(StructOfQZRealmBaseLocalBuf *LocalBuf);

// A record's lists and source sums (QZRealmBase_ActiveLinks.cpp). A list is
// ours until a script is handed it as a package; from then on it is that
// package. Every change of a record's counts, and its removal (Gone), is
// followed by a refresh, which carries it into the sums of the records that
// list it as a source.
struct TrelkActiveLinks *TrelkActive_Attach(StructOfQZRealmBaseActiveObjectRecord *Record, const VS_UUID *KeyID);
void TrelkActive_Refresh(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                         VS_BOOL Gone);
// The sums over the sources with a record and an own count other than 0: of
// the data sources' counts (exact), their number, and of the others' counts.
void TrelkActive_Sums(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                      VS_INT64 *DataSum, VS_INT64 *DataSources, VS_ULONG *OtherSum);
// Appends the object unless listed; removes it where listed. ObjectRecord is
// the record filed under the object (NULL: it has none).
void TrelkActive_ListAdd(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                         VS_BOOL Sources, void *Object, StructOfQZRealmBaseActiveObjectRecord *ObjectRecord);
void TrelkActive_ListRemove(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                            VS_BOOL Sources, void *Object, StructOfQZRealmBaseActiveObjectRecord *ObjectRecord);
// The IDs of the listed live objects, in list order or reversed.
void TrelkActive_ListIDs(StructOfQZRealmBaseActiveObjectRecord *Record, VS_BOOL Sources, VS_BOOL Reversed,
                         TrelkVector<VS_UUID> &Out);
// The record's own package of the list, made from the list on first use.
VS_PARAPKGPTR TrelkActive_HandOut(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record,
                                  VS_BOOL Sources);
// A new package with the list's objects (the caller releases it).
VS_PARAPKGPTR TrelkActive_ListCopy(StructOfQZRealmBaseActiveObjectRecord *Record, VS_BOOL Sources);
// The record's lists of ours are emptied; its sources leave the followers'
// chains.
void TrelkActive_ClearLists(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record);
// The record's lists of ours go, its sources leave the followers' chains.
void TrelkActive_Forget(StructOfQZRealmBaseLocalBuf *LocalBuf, StructOfQZRealmBaseActiveObjectRecord *Record);
// The same while the whole index goes (no chains kept up).
void TrelkActive_FreeLinks(StructOfQZRealmBaseActiveObjectRecord *Record);
// After records changed behind the links (records taken over from another
// realm): every record's sums are added up again at its next recount.
void TrelkActive_Resync(StructOfQZRealmBaseLocalBuf *LocalBuf);
void TrelkActive_ReleaseGraph(StructOfQZRealmBaseLocalBuf *LocalBuf);
// Lets go of what the links keep module-wide (for module shutdown).
void TrelkActive_ReleaseModuleState();

// ---------------------------------------------------------------------------
// Object cache: text key -> host buffer holding the cached object's ID; each

// ---------------------------------------------------------------------------
// entry holds one GC lock on its object.
// ---------------------------------------------------------------------------
// Inserts an entry; FALSE when the key is present or the object missing.
VS_BOOL TrelkRealm_CacheInsert(StructOfQZRealmBaseLocalBuf *LocalBuf, const VS_CHAR *Key, void *Object);
// Drops every entry (locks of live objects released, buffers freed); the
// index stays.
void TrelkRealm_CacheClearAll(StructOfQZRealmBaseLocalBuf *LocalBuf);
// Drops every entry and destroys the index.
void TrelkRealm_CacheRelease(StructOfQZRealmBaseLocalBuf *LocalBuf);

// ---------------------------------------------------------------------------
// Queries, chain building and dependency strings
// ---------------------------------------------------------------------------
// The last proc along a chain's order (an order that loops ends before the
// repeat); NULL when the chain names no first proc.
StructOfQZProcBase *TrelkRealm_ChainLastProc(StructOfQZProcChainBase *QZProcChain);
// New packages (the caller releases them) of the proc types that output the
// data, and of the chains whose last proc does; all of them for NULL data,
// none for an object that is no data. The realm is not used.
VS_PARAPKGPTR QZRealmBase_QueryProcForOutput_Internal(StructOfQZRealmBase *QZRealm, StructOfQZDataBase *QZData,
                                                      VS_BOOL IncludeCellProcChain);
VS_PARAPKGPTR QZRealmBase_QueryProcChainForOutput_Internal(StructOfQZRealmBase *QZRealm, StructOfQZDataBase *QZData);
// One level of the backward search for a chain producing the output set
// from the input set (may be NULL); MaxStep levels at most, none below 0.
// Returns a new package: [true, element, ...] with the elements deepest level
// first, each holding its creation lock for the caller; or [false, the data
// type no proc produces] ([false, nil] when nothing was wanted or a part
// could not be made).
VS_PARAPKGPTR QZRealmBase_BuildProcChain_Internal(StructOfQZRealmBase *QZRealm, VS_PARAPKGPTR OutputQZDataOrProcSet,
                                                  VS_INT32 MaxStep, VS_PARAPKGPTR InputQZDataOrProcSet);
// Appends to WhichOutputProcSetPkg every candidate set that extends
// PreviousOutputProc by one producer of each list of WhichOutputProcPkgTemp
// from StartIndex on; equal producers within a set, and sets equal to an
// earlier one, are left out.
void QZRealmBase_BuildProcChain_Internal_BuildOutputProcSet(VS_PARAPKGPTR PreviousOutputProc,
                                                            VS_PARAPKGPTR WhichOutputProcPkgTemp, VS_INT32 StartIndex,
                                                            VS_PARAPKGPTR WhichOutputProcSetPkg);
// Adds to Depends (each class once, in the order first met) the classes the
// procs, chains and data of Source, at any depth, depend on.
void QZRealmBase_BuildDepends_CollectClass(VS_PARAPKGPTR Depends, VS_PARAPKGPTR Source);
void QZRealmBase_BuildDepends_CollectClass_EachObject(VS_PARAPKGPTR Depends, void *Object);
void QZRealmBase_BuildDepends_CollectClass_InsertObject(VS_PARAPKGPTR Depends, void *Object);

// ---------------------------------------------------------------------------
// Procs run on demand on a temporary realm
// ---------------------------------------------------------------------------
// What a run collects. Every entry of ResultPara holds one GC lock on its
// object until the run hands the result over: a collection point during the
// run must not free what was collected.
struct StructOfRunProc_OnCellFinishCallBackPara {
    VS_BOOL Result;
    VS_PARAPKGPTR ResultPara;
    VS_PARAPKGPTR ExpectedOutputPkg;
};

// Where a run's objects are, by ID: every pointer is found again after a
// script call or a lock release. A caller's cell goes back where it was.
struct StructOfRunProcPlace {
    VS_UUID RealmID;
    VS_UUID NewRealmID;
    VS_UUID RequestProcID;
    VS_UUID CellID;
    VS_UUID OutputChainID;
    VS_BOOL HasCell;
    VS_BOOL CellIsDynamic;
    VS_BOOL CellWasReady;
    VS_BOOL CellHadParent;
    VS_BOOL CellHadRealmLock;
    VS_UUID CellParentID;
    OBJECTATTRIBUTEINDEX CellParentIndex;
};

struct StructOfRunProcContext {
    VS_BOOL MaxLoopCount;
    VS_BOOL QZCellIsDynamic;
    StructOfQZProcBase *RequestQZProcBase;
    StructOfQZRealmBase *NewQZRealmBase;
    StructOfQZRealmBase *QZRealmBase;
    StructOfQZCellBase *QZCell;
    StructOfQZProcChainBase *OutputQZProcChainBase;
    StructOfRunProc_OnCellFinishCallBackPara *OnCellFinishCallBackPara;
    VS_COND ThreadStartWaitEvent;
    VS_COND ThreadStartResumeEvent;
    StructOfRunProcPlace Place;
    VS_HANDLE hThread;
};

VS_INT32 QZRealmBase_RunProc_Internal(void *L, VS_INT32 StartIndex, VS_BOOL IsProcChainList);
// Pushes the result package: ErrorFlag FALSE gives a new empty package (and
// releases ResultValue), TRUE gives ResultValue with one empty item when it
// holds none. Returns 1.
VS_INT32 QZRealmBase_RunProc_Return(VS_PARAPKGPTR ResultValue, VS_BOOL ErrorFlag);
VS_INT32 QZRealmBase_RunProc_OnAfterExecuteCallBack(void *L);
VS_INT32 QZRealmBase_RunProc_OutputProc_Execute_ScriptCallBack(void *L);
// Ends a run: the temporary realm's log copied to the calling realm, a
// caller's cell put back where it was, the collected objects taken out of
// the temporary realm and the realm freed; frees the collector. Returns the
// collected objects (owned by the caller), or NULL when the run failed or
// was stopped. With KeepForRequest the collected objects are kept for the
// requesting proc until its next run or its end; else they are let go to
// the script, which holds what it reads.
VS_PARAPKGPTR TrelkRealm_RunProc_End(StructOfRunProcPlace *Place, StructOfRunProc_OnCellFinishCallBackPara *Collector,
                                     VS_BOOL Stopped, VS_BOOL KeepForRequest);
// A holder for the objects of the proc's latest asynchronous run, or NULL.
void *TrelkRealm_RunProc_NewHolder(VS_UUID *QZProcID);
// Starts the worker of an asynchronous run; FALSE when none could start (the
// run's objects are then freed).
VS_BOOL TrelkRealm_RunProc_Start(StructOfRunProcPlace *Place, StructOfRunProc_OnCellFinishCallBackPara *Collector);
// The requesting proc of an asynchronous run (argument 2) is a proc that has
// no run going; else reported for Function, FALSE.
VS_BOOL TrelkRealm_RunProc_RequestOk(const VS_CHAR *Function);
// Lets go of what the last asynchronous run of the proc keeps for it.
void TrelkRealm_RunProc_ReleaseHeld(StructOfQZProcBase *QZProc);

// ---------------------------------------------------------------------------
// Threads of a realm: the stepping handshake and ExecuteUntil's controls
// ---------------------------------------------------------------------------
// The state the waiting threads share lives in one block per realm, in host
// memory outside the realm's private buffer: every thread that uses it holds
// a reference, so freeing the realm never destroys what a thread waits on.
// Every change is made under Mu and announced to every waiter (each waits on
// a condition of its own); each wait tests its own state, so a wake-up is
// neither lost nor taken for another one. Mu is never held while a host lock
// is taken.
struct TrelkRealmWaiter {
    VS_COND Cond;
    TrelkRealmWaiter *Next;
};
struct TrelkRealmSync {
    VS_MUTEX Mu;
    VS_INT32 Holders;          // references: the realm's registry entry and each user
    TrelkRealmWaiter *Waiters; // the threads waiting for a change
    VS_BOOL RealmGone;
    // Stepping
    VS_BOOL Stepping;
    uint64_t StepGen;         // stepping sessions started
    VS_THREADID StepperID;    // the thread that schedules and stops
    VS_HANDLE StepThread;     // the module's own stepping thread, until someone joins or detaches it
    VS_THREADID StepThreadID; // its ID, as the thread itself reads it
    uint64_t Reports;         // stops reached, cycles ended, stepping over
    uint64_t StopID;          // the stops, numbered
    uint64_t Released;        // the last stop let go
    VS_BOOL AtStop;
    // ExecuteUntil
    VS_BOOL UntilActive;
    VS_THREADID UntilThreadID;
    uint64_t UntilRuns;  // runs started
    uint64_t UntilEnded; // runs ended
    VS_BOOL FinishAsked;
    VS_INT32 SuspendState; // 0 none, 1 asked, 2 in force
    VS_BOOL SuspendForAddEnvData;
    VS_BOOL ResumeAsked;
    uint64_t SuspendGen, SuspendAckGen, ResumeAckGen;
    uint64_t SuspendWithdrawnGen; // the last suspension the run let go of at a stop
    VS_INT32 IdleEnvCount;        // env data when the run began to idle: more later were added to an idle run
};

// The realm's block with one reference more for the caller; with Create a new
// one when it has none. NULL when there is none. Host lock.
TrelkRealmSync *TrelkRealm_Sync(StructOfQZRealmBase *QZRealm, VS_BOOL Create);
// The block of a realm whose ExecuteUntil runs on another thread than the
// caller's, with one reference more for the caller, and the realm's ID; NULL
// when there is none. Host lock.
TrelkRealmSync *TrelkRealm_RunningUntil(VS_UUID *RealmID);
// One reference more / less; the last one frees the block. Any thread.
void TrelkRealm_SyncHold(TrelkRealmSync *S);
void TrelkRealm_SyncRelease(TrelkRealmSync *S);
// A caller's reference, given back when it goes out of scope.
class TrelkRealmSyncRef {
  public:
    explicit TrelkRealmSyncRef(TrelkRealmSync *S = NULL) : P(S) {}
    TrelkRealmSyncRef(TrelkRealmSyncRef &&Other) : P(Other.P) { Other.P = NULL; }
    TrelkRealmSyncRef(const TrelkRealmSyncRef &) = delete;
    TrelkRealmSyncRef &operator=(const TrelkRealmSyncRef &) = delete;
    ~TrelkRealmSyncRef() {
        if (P != NULL) TrelkRealm_SyncRelease(P);
    }
    TrelkRealmSync *get() const { return P; }
    explicit operator bool() const { return P != NULL; }
    // Gives the reference back now.
    void reset() {
        if (P != NULL) TrelkRealm_SyncRelease(P);
        P = NULL;
    }
    TrelkRealmSync *operator->() const { return P; }

  private:
    TrelkRealmSync *P;
};
// Mu held for a scope.
class TrelkRealmSyncLock {
  public:
    explicit TrelkRealmSyncLock(TrelkRealmSync *S) : P(S) { vs_mutex_lock(&P->Mu); }
    ~TrelkRealmSyncLock() { vs_mutex_unlock(&P->Mu); }
    TrelkRealmSyncLock(const TrelkRealmSyncLock &) = delete;
    TrelkRealmSyncLock &operator=(const TrelkRealmSyncLock &) = delete;

  private:
    TrelkRealmSync *P;
};
// Wakes every waiter of the block; Mu held.
void TrelkRealm_SyncNotify(TrelkRealmSync *S);
// Event 27: stepping ends, waiting threads wake, the own stepping thread is
// joined (both locks given up meanwhile) and the block leaves the realm.
void TrelkRealm_SyncRealmFreed(StructOfQZRealmBase *QZRealm);
// The calling thread waits, holding whatever locks it holds, until Done()
// (called under Mu) holds, or, with Milliseconds above 0, that time passed.
template <class Pred> void TrelkRealm_WaitHeld(TrelkRealmSync *S, VS_INT32 Milliseconds, Pred Done) {
    TrelkRealmWaiter Me;
    if (!vs_cond_init(&Me.Cond)) return;
    VS_INT64 Deadline = Milliseconds > 0 ? vs_tm_gettickcount64() + Milliseconds : 0;
    vs_mutex_lock(&S->Mu);
    while (!Done()) {
        VS_INT64 Left = 0;
        if (Milliseconds > 0) {
            Left = Deadline - vs_tm_gettickcount64();
            if (Left <= 0) break;
        }
        Me.Next = S->Waiters;
        S->Waiters = &Me;
        vs_mutex_unlock(&S->Mu);
        if (Milliseconds > 0)
            vs_cond_timewait(&Me.Cond, (VS_ULONG)Left);
        else
            vs_cond_wait(&Me.Cond);
        vs_mutex_lock(&S->Mu);
        for (TrelkRealmWaiter **W = &S->Waiters; *W != NULL; W = &(*W)->Next)
            if (*W == &Me) {
                *W = Me.Next;
                break;
            }
    }
    vs_mutex_unlock(&S->Mu);
    vs_cond_destroy(&Me.Cond);
}
// Gives up both locks, waits until Done() holds, takes the locks back.
template <class Pred> void TrelkRealm_WaitUnlocked(TrelkRealmSync *S, Pred Done)
{
    Trelk_UnlockForWait();
    TrelkRealm_WaitHeld(S, 0, Done);
    Trelk_RelockAfterWait();
}
// The same, for at most Milliseconds.
template <class Pred> void TrelkRealm_PauseUnlocked(TrelkRealmSync *S, VS_INT32 Milliseconds, Pred Done)
{
    Trelk_UnlockForWait();
    TrelkRealm_WaitHeld(S, Milliseconds > 0 ? Milliseconds : 1, Done);
    Trelk_RelockAfterWait();
}
// One more report of the stepping thread: a stop, a cycle's end, the end.
void TrelkRealm_StepReport(TrelkRealmSync *S);
// The pieces of the Execute family that ExecuteUntil shares. Each returns the
// realm, or NULL when a script freed it.
StructOfQZRealmBase *TrelkRealm_FindRealm(VS_UUID *ID);
StructOfQZRealmBase *TrelkRealm_IdleEvent(StructOfQZRealmBase *QZRealm, const VS_CHAR *Name, const VS_CHAR *ErrorText);
StructOfQZRealmBase *TrelkRealm_LeaveIdle(StructOfQZRealmBase *QZRealm);
void TrelkRealm_ArmCells(StructOfQZRealmBase *QZRealm);
void TrelkRealm_Dispatch();

#endif
