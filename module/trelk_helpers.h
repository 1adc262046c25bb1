// The helper set every subsystem uses: object names and ID texts for
// messages, ID tests, class tests, luafunc arguments and results, and the
// one way a module function reports a failure.
//
// A luafunc fails in one line, in the manner of luaL_error:
//
//     if (Proc == NULL)
//         return Trelk_Fail(Self, "'s SetCache failed, the first parameter must be a proc");
//
// which reports "[<ID text>:<name>]'s SetCache failed, ..." at level 1 (to the
// realm stub's "OnException" when a stub is set, else to the host), pushes
// nil for the script and returns 1, the count of results.
#ifndef TRELK_HELPERS_H
#define TRELK_HELPERS_H

#include "quel_trelk.h"

// The host's service interface, as every module function calls it.
#define SRV QZObject_XRQInterface

// ---------------------------------------------------------------------------
// Names and IDs
// ---------------------------------------------------------------------------
// Name of an object, "" for none.
const VS_CHAR *Trelk_Name(void *Object);
// UUID text of an object's ID (host ring buffer), the all-zero UUID text for
// none: messages name a missing object the same way everywhere.
const VS_CHAR *Trelk_IDText(void *Object);
VS_BOOL Trelk_IsZeroID(const VS_UUID *ID);
VS_BOOL Trelk_IDEqual(const VS_UUID *a, const VS_UUID *b);

// ---------------------------------------------------------------------------
// Class tests
// ---------------------------------------------------------------------------
// TRUE for an instance of ClassObject (by the host's IsInst); FALSE when
// either is NULL.
VS_BOOL Trelk_IsInstOf(void *Object, void *ClassObject);
// TRUE for ClassObject itself and for every instance of it.
VS_BOOL Trelk_IsOf(void *Object, void *ClassObject);

// ---------------------------------------------------------------------------
// Attribute indexes of the module's own classes
// ---------------------------------------------------------------------------
// The index of a queue attribute of one of the module's class objects (a
// class global such as QZCellBaseClass), asked of the host once per module
// load: a class's attributes are fixed while it lives. Name must be a text
// that lives as long as the module (a literal): it is kept by address. Called
// under the host lock, as all module code is.
OBJECTATTRIBUTEINDEX Trelk_ClassAttrIndex(void *ClassObject, const VS_CHAR *Name);
// Forgets every index asked so far; for module shutdown, once the classes
// are gone.
void Trelk_ForgetClassAttrIndexes();

// ---------------------------------------------------------------------------
// Luafunc arguments and results
// ---------------------------------------------------------------------------
// The object argument at Index, normalised from a raw script object; NULL
// when there is no object there.
void *Trelk_ObjectArg(VS_INT32 Index);
// The text argument at Index, NULL when it is no string.
const VS_CHAR *Trelk_StringArg(VS_INT32 Index);
// Pushes a boolean result; returns 1, the count of results.
VS_INT32 Trelk_PushBool(VS_BOOL Value);
// Gives an object made for the script to the script: pushes it and drops the
// module's own lock, so that the script's reference alone keeps it.
void Trelk_PushHandOver(void *Object);
// Free-callback lists (a package naming each target once): add a target
// that is not listed yet, remove one that is. A NULL list does nothing.
void Trelk_CallBackListAdd(VS_PARAPKGPTR List, void *Target);
void Trelk_CallBackListRemove(VS_PARAPKGPTR List, void *Target);

// ---------------------------------------------------------------------------
// Draining queues
// ---------------------------------------------------------------------------
// A walk that takes a queue's children from the front until it is empty,
// each step freeing or moving the child it was given:
//
//     TrelkDrain Drain;
//     for (void *X = Trelk_DrainFirst(&Drain, &Cell->NormalRunnerQueue); X != NULL; X =
//     Trelk_DrainNext(&Drain, X))
//         SRV->FreeObject(X);
//
// A child that is still in its place after its step (its free began higher up
// the stack, in a free event that resets or clears the realm, so the free
// here returned at once; or a move that was refused) is passed over and the
// walk goes on behind it: it is never taken twice, and the walk always ends.
// The walk also ends when a script moved a passed-over child elsewhere, and
// when a script run by a step (a free callback, say) freed the queue's owner.
struct TrelkDrain {
    void *QueueHead;
    void *Owner;
    void *Passed; // the last child passed over, NULL for none
    VS_UUID PassedID;
    VS_UUID OwnerID;
    uint64_t Serial; // the script count the owner was last known alive at
};
void *Trelk_DrainFirst(TrelkDrain *Drain, void *QueueHead);
void *Trelk_DrainNext(TrelkDrain *Drain, void *Done);

// ---------------------------------------------------------------------------
// Waits of the calling thread
// ---------------------------------------------------------------------------
// A thread that waits for another one gives up both locks first (host lock,
// then script lock) and takes them back after (script lock, then host lock):
// the other thread needs them to get anywhere. Objects may be gone after the
// wait: find them again by ID.
void Trelk_UnlockForWait();
// FALSE when the module was shut down while the thread waited: nothing of the
// module may be touched then, and the thread holds the script lock alone.
VS_BOOL Trelk_RelockAfterWait();
// XRQDispatch until it has nothing more to run. The host gives up both locks
// inside, so the module may shut down meanwhile: FALSE then, as above.
VS_BOOL Trelk_DispatchAll();
// Shutdown: set while the module shuts down (no new ExecuteUntil starts), and
// the number of waits and dispatches of script threads that gave up the locks
// inside module code and will come back to it.
void Trelk_SetShuttingDown(VS_BOOL On);
VS_BOOL Trelk_ShuttingDown();
VS_INT32 Trelk_WaitsAway();

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------
// Level-1 report "[<ID text>:<name>]" of Object followed by the formatted
// text. The text is formatted once: names in it are never read as a format.
void Trelk_Raise(void *Object, const VS_CHAR *Format, ...) TRELK_PRINTF(2, 3);
// Level-1 report of the formatted text alone, for messages that name their
// objects inside the text.
void Trelk_RaiseText(const VS_CHAR *Format, ...) TRELK_PRINTF(1, 2);
// Trelk_Raise, then nil for the script; returns 1.
VS_INT32 Trelk_Fail(void *Object, const VS_CHAR *Format, ...) TRELK_PRINTF(2, 3);
// Trelk_Raise, then false for the script; returns 1.
VS_INT32 Trelk_FailFalse(void *Object, const VS_CHAR *Format, ...) TRELK_PRINTF(2, 3);
// Trelk_RaiseText, then nil for the script; returns 1.
VS_INT32 Trelk_FailText(const VS_CHAR *Format, ...) TRELK_PRINTF(1, 2);

#endif
