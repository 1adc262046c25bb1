// Helpers and tables that only the realm files share. Nothing outside realm/
// includes this header.
#ifndef TRELK_REALM_INTERNAL_H
#define TRELK_REALM_INTERNAL_H

#include "trelk_realm_api.h"
#include "trelk_helpers.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

// ---------------------------------------------------------------------------
// Status layout table: per layer, the drawn elements of a status query with
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
// Saved procs and chains read back (the record checks and loaders that the
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

// ---------------------------------------------------------------------------
// Queues: every membership of one of a realm's four queues holds exactly one
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

// ---------------------------------------------------------------------------
// Object cache: text key -> host buffer holding the cached object's ID; each
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
// Threads of a realm: the stepping handshake and ExecuteUntil's controls
// ---------------------------------------------------------------------------
// The state the waiting threads share lives in one block per realm, outside
// the realm's private buffer: a thread that waits keeps the block alive, so
// freeing the realm never destroys what a thread waits on. Every change is
// made under Mu and announced on Cv; each wait tests its own state, so a
// wake-up is neither lost nor taken for another one. Mu is never held while a
// host lock is taken.
struct TrelkRealmSync {
    std::mutex Mu;
    std::condition_variable Cv;
    bool RealmGone = false;
    // Stepping
    bool Stepping = false;
    uint64_t StepGen = 0;      // stepping sessions started
    VS_THREADID StepperID = 0;  // the thread that schedules and stops
    VS_HANDLE StepThread = NULL; // the module's own stepping thread, until someone joins or detaches it
    uint64_t Reports = 0;      // stops reached, cycles ended, stepping over
    uint64_t StopID = 0;       // the stops, numbered
    uint64_t Released = 0;     // the last stop let go
    bool AtStop = false;
    // ExecuteUntil
    bool UntilActive = false;
    VS_THREADID UntilThreadID = 0;
    uint64_t UntilRuns = 0;   // runs started
    uint64_t UntilEnded = 0;  // runs ended
    bool FinishAsked = false;
    VS_INT32 SuspendState = 0; // 0 none, 1 asked, 2 in force
    bool SuspendForAddEnvData = false;
    bool ResumeAsked = false;
    uint64_t SuspendGen = 0, SuspendAckGen = 0, ResumeAckGen = 0;
};
typedef std::shared_ptr<TrelkRealmSync> TrelkRealmSyncPtr;

// The realm's block; with Create a new one when it has none. Host lock.
TrelkRealmSyncPtr TrelkRealm_Sync(StructOfQZRealmBase *QZRealm, VS_BOOL Create);
// Event 27: stepping ends, waiting threads wake, the own stepping thread is
// joined (both locks given up meanwhile) and the block leaves the realm.
void TrelkRealm_SyncRealmFreed(StructOfQZRealmBase *QZRealm);
// Gives up both locks, waits until Done() holds (called under Mu), takes the
// locks back.
template <class Pred> void TrelkRealm_WaitUnlocked(TrelkRealmSync *S, Pred Done)
{
    Trelk_UnlockForWait();
    {
        std::unique_lock<std::mutex> Lock(S->Mu);
        S->Cv.wait(Lock, Done);
    }
    Trelk_RelockAfterWait();
}
// The same, for at most Milliseconds.
template <class Pred> void TrelkRealm_PauseUnlocked(TrelkRealmSync *S, VS_INT32 Milliseconds, Pred Done)
{
    Trelk_UnlockForWait();
    {
        std::unique_lock<std::mutex> Lock(S->Mu);
        S->Cv.wait_for(Lock, std::chrono::milliseconds(Milliseconds), Done);
    }
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
