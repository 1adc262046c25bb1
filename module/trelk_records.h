// Attribute records of the module's 19 classes and the private buffers kept
// beside them.
//
// The host lays out every object's attribute block from the class template
// (module/templates/): attributes in template order, each at its natural
// x86-64 alignment, a derived class's block beginning with its parent's whole
// block. The records below mirror that byte for byte; a derived record
// inherits its parent record so that a StructOfQZCellBase * converts to a
// StructOfQZProcBase * and reaches the proc fields directly. All parent
// records are plain C layouts, so the derived fields start at sizeof(parent),
// exactly where the host puts them. tests/layout checks every field against
// the host.
//
// Field kinds, as the templates declare them:
//   VS_BOOL 1 byte, VS_INT32 / VS_ULONG 4, VS_INT64 8, VS_UUID 16 (align 4),
//   VS_VSTRING one text pointer (set only through the host's SetVString),
//   "void *" one pointer. A "void *" attribute that names a class in the
//   template is a child queue: the host owns its 8-byte head, and the module
//   walks it with QueryFirst / QueryNext and fills it with ChangeParent; it
//   never reads or writes the head itself.
#ifndef TRELK_RECORDS_H
#define TRELK_RECORDS_H

#include "tarvex_api.h"

#include "trelk_chain_mark.h"
#include "vs_platform.h" // VS_COND, VS_MUTEX, vs_atomic, VS_HANDLE, VS_THREADID

// A child queue head (host-owned, see above).
typedef void *TRELK_QUEUEHEAD;

struct StructOfQZDataBase;
struct StructOfQZProcBase;
struct StructOfQZRealmFrameData;

// ---------------------------------------------------------------------------
// Object pointers (plain records held in child queues)
// ---------------------------------------------------------------------------
struct StructOfQZObjectPointer {
    VS_UUID ObjectID;
};

struct StructOfQZObjectPointerWithChangeFlag {
    VS_BOOL ChangeFlag;
    VS_UUID ObjectID;
};

// ---------------------------------------------------------------------------
// Rules
// ---------------------------------------------------------------------------
struct StructOfQZRuleBase {
    VS_BOOL IsType;
    VS_PARAPKGPTR RuleBuf;
    VS_VSTRING RuleDesc;
};

struct StructOfQZRuleAttachBase {
    VS_UUID QZRuleID;
};

// ---------------------------------------------------------------------------
// Input and output containers
// ---------------------------------------------------------------------------
struct StructOfQZDataInputContainer {
    VS_INT32 Index;
    VS_INT32 RequestNumber;
    VS_BOOL IsFromInternal;
    VS_BOOL IsOnlyDirect;
    VS_BOOL IsSlave;
    VS_BOOL IsMustExist;
    VS_UUID DataBaseID;
    struct StructOfQZDataBase *DataObjectInst;
    VS_PARAPKGPTR DataLocalBuf;
    VS_UUID QZProcID;
    TRELK_QUEUEHEAD DataQueue; // QZObjectPointerWithChangeFlag; must lie at offset 64
};

struct StructOfQZDataOutputContainer {
    VS_UUID DataBaseID;
    VS_UUID OriginalDataBaseID;
    VS_BOOL ChangeFlag;
    VS_BOOL IsMustExist;
    VS_INT32 ReturnNumber;
    TRELK_QUEUEHEAD QZData; // QZDataBase
};

// ---------------------------------------------------------------------------
// Data objects
// ---------------------------------------------------------------------------
struct StructOfQZDataBase {
    VS_PARAPKGPTR SourceData;
    TRELK_QUEUEHEAD QZRuleAttachQueue; // QZRuleAttachBase
    VS_INT64 UniformTick;
    VS_VSTRING Signature;
    VS_INT64 ScheduleTickCount;
    VS_ULONG SequenceIndex;
    VS_UUID OwnerProcID;
    VS_UUID OwnerProcIDInCell;
    VS_UUID OwnerRunnerProcID;
    VS_BOOL IsType;
    VS_INT32 LiveCount;
    TRELK_QUEUEHEAD ConnectedProc; // QZObjectPointer
    void *ExcludeProc;             // host ID index
    void *AcceptProc;              // host ID index
    void *RejectProc;              // host ID index
    TRELK_QUEUEHEAD DataTypeClass; // any class; the type class is its first object
    VS_PARAPKGPTR DataBuf;
    VS_VSTRING DataDesc;
    void *CacheDataIndex; // host ID index
    VS_PARAPKGPTR PropertyPkg;
};

struct StructOfQZDataSetBase : StructOfQZDataBase {
    VS_UUID DataBaseID;
};

struct StructOfQZObjectDataBase : StructOfQZDataBase {};

struct StructOfQZBufDataBase : StructOfQZDataBase {};

// The class derives from QZDataSetBase, so the host block holds the set's
// DataBaseID and then the template's own RealmObjectID. The module keeps the
// realm's ID in the first of these (the set's DataBaseID slot), which is why
// data-set code reading DataBaseID of a frame sees the realm's ID; the second
// slot exists only to give the record the host's size and is never used.
struct StructOfQZRealmFrameData : StructOfQZDataBase {
    VS_UUID RealmObjectID;         // host attribute "DataBaseID"
    VS_UUID TemplateRealmObjectID; // host attribute "RealmObjectID"; unused
};

// ---------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------
struct StructOfQZExceptionBase {
    VS_BOOL IsType;
};

// ---------------------------------------------------------------------------
// Procs, runners, chains, cells
// ---------------------------------------------------------------------------
struct StructOfQZProcBase {
    TRELK_QUEUEHEAD InputQueue;  // QZDataInputContainer
    TRELK_QUEUEHEAD OutputQueue; // QZDataOutputContainer
    void *QZProcNext;            // host atomic handle of the next proc (not a queue)
    TRELK_QUEUEHEAD QZProcChild; // QZProcChainBase
    VS_UUID RunnerID;
    VS_UUID RootProcID;
    VS_BOOL IsSuspend;
    VS_BOOL ChildEndMarker;
    VS_BOOL IsType;
    VS_BOOL IsAsync;
    VS_INT32 ErrorCount;
    VS_INT32 Status;
    VS_ULONG ScheduleCase;
    VS_ULONG EnvDataSkipCount;
    VS_ULONG LoopCount;
    VS_ULONG LoopCountTotal;
    VS_INT64 NextRunTick;
    VS_INT64 StartEachExecuteTick;
    struct StructOfQZProcBase *DupQZProc;
    void *QZProcIndexTree; // host ID index
    VS_PARAPKGPTR PrivateLocalBuf;
    VS_VSTRING ProcDesc;
    VS_VSTRING Signature;
    TRELK_QUEUEHEAD AttachObject; // any class; at most one object
};

struct StructOfQZProcRemoteBase : StructOfQZProcBase {
    VS_VSTRING Url;
    VS_VSTRING RemoteQZProcName;
};

struct StructOfQZProcRunnerBase {
    VS_INT64 hThreadID;
    VS_UUID QZProcChainID;
    VS_UUID QZCellID;
    VS_INT32 PriorityCount;
    VS_BOOL IsFinish;
    VS_INT32 IsOutputRunner;
    VS_INT32 ErrorCount;
    TRELK_QUEUEHEAD QZProcBase; // QZProcBase: the runner's proc copies
    VS_UUID QZProcStart;
    void *CurrentQZProcIndexTree; // host ID index
};

struct StructOfQZProcChainBase {
    TRELK_QUEUEHEAD QZProcBase; // QZProcBase: the chain's procs
    VS_UUID QZProcStart;
    VS_VSTRING ProcChainDesc;
    VS_VSTRING Signature;
    VS_BOOL IsBuildDynamic;
    TRELK_QUEUEHEAD QZRuleAttachQueue; // QZRuleAttachBase
};

struct StructOfQZCellBase : StructOfQZProcBase {
    VS_BOOL IsReady;
    VS_BOOL IsEnvDataQueueChange;
    VS_BOOL SingleRunnerFlag;
    TRELK_QUEUEHEAD NormalRunnerQueue;    // QZProcRunnerBase
    TRELK_QUEUEHEAD EnvDataQueue;         // QZDataBase
    TRELK_QUEUEHEAD ProcChainQueue;       // QZProcChainBase
    TRELK_QUEUEHEAD QZProcForOutputQueue; // QZProcChainBase
    void *ProcChainRunnerIndexTree;       // host ID index
    void *ProcExecutedIndexTree;          // host ID index
};

// ---------------------------------------------------------------------------
// Realm and realm stub
// ---------------------------------------------------------------------------
struct StructOfQZRealmStubBase {
    VS_INT32 ActiveLength;
    VS_INT32 InitialLiveCount;
    VS_INT32 MaxUnAllocatedData;
    VS_INT32 MaxSourceDataLength;
    VS_INT32 MaxLoopCount;
    VS_INT32 HistoryLength;
    VS_INT64 MaxSuspendTickCount;
};

struct StructOfQZRealmBase {
    VS_BOOL TraceFlag;
    VS_BOOL CreateFrameData;
    VS_INT32 ExecuteStage;
    VS_INT32 ActiveLength;
    VS_ULONG DataSequenceIndex;
    VS_INT64 ScheduleTickCount;
    VS_INT32 ErrorCount;
    VS_INT32 InitialLiveCount;
    VS_INT32 MaxUnAllocatedData;
    VS_INT32 MaxSourceDataLength;
    VS_INT32 MaxLoopCount;
    VS_INT32 HistoryLength;
    VS_INT64 MaxSuspendTickCount;
    VS_PARAPKGPTR PrivateLocalBuf;
    TRELK_QUEUEHEAD EnvDataQueue;  // QZDataBase
    TRELK_QUEUEHEAD QZCellQueue;   // QZCellBase
    TRELK_QUEUEHEAD QZCellLibrary; // QZCellBase
    TRELK_QUEUEHEAD QZRuleQueue;   // QZRuleBase
};

// Stages of a realm's run (ExecuteStage).
#define QZREALM_STAGE_NOTSTARTED 0
#define QZREALM_STAGE_EXECUTING 1
#define QZREALM_STAGE_FINISHED 2
#define QZREALM_STAGE_IDLE 3

// ---------------------------------------------------------------------------
// Small helper records
// ---------------------------------------------------------------------------
// One runner of a proc's status list (items in host memory, freed with Free).
struct StructOfObjectIDChangeSequence {
    VS_UUID ObjectID;
    struct StructOfObjectIDChangeSequence *Up;
    struct StructOfObjectIDChangeSequence *Down;
};

// 128-bit key of a host ordered index: weight, then tick, then sequence.
struct StructOfUUIDForOrder {
    uint64_t Value1;
    uint64_t Value2;
};

// ---------------------------------------------------------------------------
// Private buffers (host MallocPrivateBuf at the object's layer, index 0,
// zero-filled when made). Not laid out by the host: only the module reads them.
// ---------------------------------------------------------------------------
struct StructOfQZDataBaseLocalBuf {
    VS_PARAPKGPTR CallBackObjectPkg;
    void *QZDataSetBase_Typed;
    void *QZObjectDataBase_Typed;
    void *QZBufDataBase_Typed;
    // The set members in the buffer this object holds, by ID (value: how many
    // items name that ID), made on first use. It answers for MemberIndexPkg
    // (one reference kept, so no other package can take its address) while
    // that package has MemberIndexCount items; a buffer replaced or changed
    // elsewhere is indexed anew.
    void *MemberIndex;
    VS_PARAPKGPTR MemberIndexPkg;
    VS_INT32 MemberIndexCount;
    // The member copies a set's Dup made and this set owns (object items:
    // IDs), NULL while it owns none.
    VS_PARAPKGPTR OwnedCopyPkg;
    // The nearest object up the class chain with free-callback targets, and
    // the nearest with a property package (trelk_chain_mark.h).
    TrelkChainMarkMemo FreeCallbackMemo;
    TrelkChainMarkMemo PropertyMemo;
};

struct StructOfQZProcChainBaseLocalBuf {
    VS_PARAPKGPTR CallBackObjectPkg;
    // The nearest chain up the class chain with free-callback targets
    // (trelk_chain_mark.h).
    TrelkChainMarkMemo FreeCallbackMemo;
};

struct StructOfQZProcBaseLocalBuf {
    struct StructOfObjectIDChangeSequence *RunnerSequenceForGetStatusHead;
    struct StructOfObjectIDChangeSequence *RunnerSequenceForGetStatusTail;
    VS_BOOL RunProcThreadIsRunning;
    vs_atomic RunProcThreadExitAtomic;
    VS_COND RunProcThreadExitEvent;
    VS_PARAPKGPTR RunProcResult;
    VS_HANDLE hRunProcThreadHandle;
    VS_BOOL IsAsyncThreadIsRunning;
    VS_INT32 BlockThreadResult;
    VS_PARAPKGPTR BlockThreadSourceData;
    VS_INT32 BlockThreadInitialLiveCount;
    VS_PARAPKGPTR CallBackObjectPkg;
    // The nearest proc up the class chain with free-callback targets
    // (trelk_chain_mark.h).
    TrelkChainMarkMemo FreeCallbackMemo;
};

struct StructOfQZRealmBaseLocalBuf {
    vs_atomic BreakOnProcFlag;
    VS_COND BreakOnProcCond;
    VS_COND BreakOnProcContinueCond;
    VS_MUTEX BreakOnThreadMutex;
    VS_THREADID hBreakOnThreadId;
    VS_HANDLE hBreakOnThreadHandle;
    VS_UUID BreakOnCellID;
    VS_BOOL HasEnterExecuteUntil;
    VS_THREADID ExecuteUntilThreadId;
    VS_HANDLE ExecuteUntilThreadHandle;
    VS_BOOL ExecuteUntilSuspendForAddEnvData;
    VS_BOOL ExecuteUntilSuspendCondIsValid;
    VS_COND ExecuteUntilSuspendCond;
    VS_COND ExecuteUntilResumeCond;
    vs_atomic ExecuteUntilFinishFlag;
    VS_BOOL ExecuteUntilFinishCondIsValid;
    VS_COND ExecuteUntilFinishCond;
    struct StructOfQZRealmFrameData *QZRealmFrameDataInst;
    VS_INT64 LastScheduleTickCountWithFrameData;
    void *ActiveRealmObjectTree;       // host ID index
    VS_ULONG ActiveCountUpdateSequence;
    VS_ULONG ActiveRealmObjectCount;   // records in ActiveRealmObjectTree, kept by who inserts or deletes
    void *MaxUnAllocatedDataIndexTree; // host ID index
    void *SuspendProcIndexTree;        // host ID index
    VS_PARAPKGPTR CallBackObjectPkg;
    VS_PARAPKGPTR EnvDataQueuePackage;
    VS_PARAPKGPTR LogPackage;
    VS_PARAPKGPTR FactFramePackage;
    VS_PARAPKGPTR PredictFramePackage;
    void *CachedObjectIndexTree; // host text-key index
    void *ActiveGraph;           // who lists which object as a source (realm/QZRealmBase_ActiveLinks.cpp)
};

#endif
