// Procs, cells, runners and proc chains as the other subsystems see them.
//
// The proc functions that the layers below call (a proc's type, its exclude
// ID, the package information of saved objects) are declared in
// trelk_upcalls.h, which this header brings in; what only realm/ and
// scheduler/ call is declared here. The luafuncs are in
// trelk_proc_luafuncs.h, the helpers that only the proc files share in
// trelk_proc_internal.h.
#ifndef TRELK_PROC_API_H
#define TRELK_PROC_API_H

#include "trelk_data_api.h"
#include "trelk_upcalls.h"

struct StructOfQZProcBaseLocalBuf;


// ---------------------------------------------------------------------------
// Proc record and life cycle
// ---------------------------------------------------------------------------
void Tarvex_QZProc_OnCreate(StructOfQZProcBase *QZProcInstance, StructOfQZProcBase *QZProcClass);
void Tarvex_QZProc_OnDestory(StructOfQZProcBase *QZProcInstance);
// Refuses every write of "IsType" through the host; allows everything else.
VS_BOOL Tarvex_QZProc_ObjectBeforeChangeNotify(void *Object, VS_UWORD Para, OBJECTATTRIBUTEINDEX AttributeIndex,
                                               VS_INT8 *NewValue, VS_INT32 DebugEditFlag);
// Frees the first item of the data's ConnectedProc queue that names the proc.
void Tarvex_ScheduleProc_QZDataUnConnect(StructOfQZDataBase *QZDataBase, VS_UUID *QZProcID);
// The private buffer of a proc, a cell or a proc class object, or NULL.
StructOfQZProcBaseLocalBuf *QZProcBase_GetProcLocalBuf(void *QZProc);
// Lists Target in a proc's free-callback list (made on first use) unless it
// is listed already. Every addition goes through here: the walk at a proc's
// free passes over the classes it believes have no targets.
void QZProcBase_AddFreeCallback_Internal(StructOfQZProcBaseLocalBuf *LocalBuf, void *Target);

// The proc-run worker's stop handshake. Every call is made with both locks
// held (script lock, then host lock).
//
// Worker side: Begin when the worker starts (the requester has stored the
// thread's handle in hRunProcThreadHandle); StopRequested may be read at any
// time while the worker runs, with or without the locks; End as the worker's
// last step, with the proc's ID, since the proc may be on its way out.
VS_BOOL QZProcBase_RunProcWorker_Begin(StructOfQZProcBase *QZProc);
VS_BOOL QZProcBase_RunProcWorker_StopRequested(StructOfQZProcBaseLocalBuf *LocalBuf);
void QZProcBase_RunProcWorker_End(VS_UUID *QZProcID);
// Stopper side: asks a running worker to stop and waits for its end, giving up
// both locks while it waits. Nothing happens when no worker runs.
void QZProcBase_StopRunProcWorker(StructOfQZProcBase *QZProc);

// ---------------------------------------------------------------------------
// Input declaration and input queue
// ---------------------------------------------------------------------------
// New package of the input containers, each at position Index.
VS_PARAPKGPTR QZProcBase_InputQueueToParaPkg_Internal(StructOfQZProcBase *QZProcBase);
// New package of the distinct data types of the inputs, in first-use order.
VS_PARAPKGPTR QZProcBase_CollectInputDataClass_Internal(StructOfQZProcBase *QZProcBase);
StructOfQZDataInputContainer *QZProcBase_GetInputByIndex_Internal(StructOfQZProcBase *QZProcBase, VS_INT32 Index);
// QZData NULL rejects every assigned data object.
void QZProcBase_RejectInput_Internal(StructOfQZProcBase *QZProcBase, StructOfQZDataBase *QZData,
                                     VS_BOOL MasterAffectSlave);
VS_BOOL QZProcBase_DataCanBeAsInput_Internal(StructOfQZProcBase *QZProc, StructOfQZDataBase *QZData,
                                             VS_BOOL IncludeCellProcChain);
VS_BOOL QZProcBase_DataCanBeAsOutput_Internal(StructOfQZProcBase *QZProc, StructOfQZDataBase *QZData,
                                              VS_BOOL IncludeCellProcChain);

// ---------------------------------------------------------------------------
// Output declaration and output data
// ---------------------------------------------------------------------------
// New package of the output containers in order.
VS_PARAPKGPTR QZProcBase_OutputQueueToParaPkg_Internal(StructOfQZProcBase *QZProc);
// The object to store in Container for QZData (GC-locked once for the
// caller), or NULL; *IsThisOutput tells whether the data belongs there.
StructOfQZDataBase *QZProcBase_AddOutputData_VerifyAndGetOutputData(StructOfQZDataOutputContainer *Container,
                                                                    StructOfQZDataBase *QZData,
                                                                    VS_BOOL *IsThisOutput);
// Marks the data as changed for every proc whose inputs hold it.
void QZDataBase_DataIsChanged(StructOfQZDataBase *QZData);

// ---------------------------------------------------------------------------
// Proc types, tags, suspension and data-set grouping
// ---------------------------------------------------------------------------
// Pushes exactly one string (the tag, possibly ""); returns 1.
VS_INT32 QZProcBase_GetTag_Internal(StructOfQZProcBase *QZProc);
// Appends the groups of equal data of DataList to ResultPara.
void QZProcBase_EqualDataSet_Internal(VS_PARAPKGPTR DataList, VS_PARAPKGPTR ResultPara);
VS_BOOL QZProcBase_Equals_Internal(StructOfQZProcBase *QZProc, StructOfQZProcBase *OtherProc);

// ===========================================================================
// Saved forms, proc chains and runners
// ===========================================================================
struct StructOfQZProcChainBase;
struct StructOfQZDataInputContainer;

// ---------------------------------------------------------------------------
// The data object an input container requires
// ---------------------------------------------------------------------------
// The container holds the object with a GC lock, but a script may still free
// it; its ID is kept beside the record's pointer so that a freed object is
// never touched. Data may be NULL. With TakeLock the container takes a lock of
// its own; without, it keeps the one Data was given with (a creation lock).
// Any object it required before is let go.
void TrelkProc_SetInputObject(StructOfQZDataInputContainer *Container, struct StructOfQZDataBase *Data,
                              VS_BOOL TakeLock);
// The object the container requires while it lives, else NULL (none, or
// freed since). A container that required an object still does after the
// object is gone: DataObjectInst stays non-NULL.
struct StructOfQZDataBase *TrelkProc_InputObject(StructOfQZDataInputContainer *Container);

// ---------------------------------------------------------------------------
// Saved forms of procs and chains
// ---------------------------------------------------------------------------
// QZProcBase_OnSaveProc_SaveProc and _SaveProcChain are in trelk_upcalls.h.
// Deepest nesting of procs in chains in procs (through child chains and cell
// chains) that a saved record may have: a proc of the outermost chain, or a
// proc saved alone, is at depth 1. The writer refuses to write a record
// deeper than this and the loader to read one, so that whatever is saved
// loads, and a loader never exhausts its stack on a crafted record.
#define TRELK_SAVED_MAXDEPTH 64
VS_BOOL QZProcBase_OnSaveProc_SaveInputQueue(StructOfQZDataInputContainer *InputQueue,
                                             VS_PARAPKGPTR ParaPkg_PackageInfo, VS_PARAPKGPTR ParaPkg,
                                             VS_BOOL SaveProcObjectID);
// Dictionary values: the string (or package) value of Key, NULL when absent
// or of another kind; the setter replaces a string value or appends the pair.
const VS_CHAR *QZProcBase_OnSaveProc_GetPackageValueFromKey(VS_PARAPKGPTR Pkg, const VS_CHAR *Key);
VS_PARAPKGPTR QZProcBase_OnSaveProc_GetParaValueFromKey(VS_PARAPKGPTR Pkg, const VS_CHAR *Key);
void QZProcBase_OnSaveProc_SetPackageValueFromKey(VS_PARAPKGPTR Pkg, const VS_CHAR *Key, const VS_CHAR *Value);

// One chain to be put in canonical order.
struct StructOfQZProcChainQueue_SortCmpItem {
    ClassOfStringPrintBuf *ProcTypeNameBuf; // the proc type names along the chain
    ClassOfStringPrintBuf *TieBreakBuf;     // the chain record without IDs, made only for equal names
    VS_INT32 QueueIndex;                    // position in the queue, the last resort
    StructOfQZProcChainBase *QZProcChain;
};
StructOfQZProcChainQueue_SortCmpItem *QZProcChainQueue_MallocItemBuf(VS_INT32 Number);
void QZProcChainQueue_FreeItemBuf(StructOfQZProcChainQueue_SortCmpItem *Buf, VS_INT32 Number);
int QZProcChainQueue_SortCmp(const void *a, const void *b);

// ---------------------------------------------------------------------------
// Proc chains
// ---------------------------------------------------------------------------
VS_INT32 QZProcChainBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);
VS_BOOL QZProcChainBase_Append_Internal(StructOfQZProcChainBase *QZProcChain, void *SrcProcOrProcChain);
// The same, for a caller appending many elements in a row: *TailID names the
// chain's last proc as the caller last saw it (all zero: unknown) and is set
// to the appended element, so the order is not walked again on each append.
VS_BOOL QZProcChainBase_AppendAtTail_Internal(StructOfQZProcChainBase *QZProcChain, void *SrcProcOrProcChain,
                                              VS_UUID *TailID);
VS_BOOL QZProcChainBase_Equals_Internal(StructOfQZProcChainBase *Src, StructOfQZProcChainBase *Des);
// New package of chains; the caller releases it.
VS_PARAPKGPTR QZProcChainBase_FindInternal(StructOfQZProcBase *FirstQZProc, StructOfQZProcBase *LastQZProc);
// Pushes exactly one string (the tag, or ""); returns 1.
VS_INT32 QZProcChainBase_GetTag_Internal(StructOfQZProcChainBase *QZProcChain);
// Bodies of FromParaPkg / ToParaPkg; each pushes its result and returns 1.
VS_INT32 i_QZProcChainBase_FromParaPkg(StructOfQZProcChainBase *QZProcChain, VS_PARAPKGPTR ParaPkg);
VS_INT32 i_QZProcChainBase_ToParaPkg(StructOfQZProcChainBase *QZProcChain, VS_PARAPKGPTR ParaPkg);
// A duplicate of the chain with copies of its procs (creation lock held).
StructOfQZProcChainBase *i_QZProcChainBase_Dup(StructOfQZProcChainBase *QZProcChain);
void Tarvex_ScheduleProc_DupProcChain_ResetRootProcID(StructOfQZProcChainBase *QZProcChain);
void Tarvex_ScheduleProc_DupProc_ResetRootProcID(StructOfQZProcBase *QZProc);

// ---------------------------------------------------------------------------
// Runners
// ---------------------------------------------------------------------------
VS_INT32 QZProcRunnerBase_OnSystemEvent(VS_UWORD FunctionChoice, void *EventPara);

#endif
