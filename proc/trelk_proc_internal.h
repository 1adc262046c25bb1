// Helpers that only the proc files share. Nothing outside proc/ includes this
// header. The generic helpers (names, IDs, class tests, arguments, failures)
// are the module's, in trelk_helpers.h.
#ifndef TRELK_PROC_INTERNAL_H
#define TRELK_PROC_INTERNAL_H

#include "trelk_proc_api.h"
#include "trelk_helpers.h"

#include <cstring>

// The QZProcBase class object or an instance of it: only such objects may be
// read as StructOfQZProcBase.
VS_BOOL TrelkProc_IsProcObject(void *Object);
// One of the proc base class objects (QZProcBase, QZProcRemoteBase,
// QZCellBase): each is its own proc type. Recognised by ID, so that it also
// works while they register.
VS_BOOL TrelkProc_IsProcClassObject(void *Object);
// The QZProcBase class object, also while it registers.
VS_BOOL TrelkProc_IsProcBaseClassObject(void *Object);
// An instance of QZCellBase.
VS_BOOL TrelkProc_IsCell(void *Object);
// Argument 1 of a luafunc when it is a proc (or a proc class object).
StructOfQZProcBase *TrelkProc_SelfArg();
// The same without the three proc class objects: what a class object would
// be given (inputs, outputs, attached objects) nothing would ever copy or
// release before shutdown.
StructOfQZProcBase *TrelkProc_InstanceSelfArg();
// Attribute index of a QZProcBase queue ("InputQueue", "OutputQueue", ...).
OBJECTATTRIBUTEINDEX TrelkProc_ProcAttrIndex(const VS_CHAR *Name);
// Procs whose free-callback list has targets, as marks along class chains
// (trelk_chain_mark.h): whoever gives a list its first target calls
// Trelk_ChainMarkGained on it.
extern TrelkChainMarkKind TrelkProc_FreeCallbackMark;
// TRUE when Pkg holds Object (by identity).
VS_BOOL TrelkProc_PkgHasObject(VS_PARAPKGPTR Pkg, void *Object);
// Detaches every object of a child queue and drops the lock it held there;
// what nobody else holds is freed.
void TrelkProc_ReleaseQueue(void *QueueHead);
// Replaces the package an input keeps (NULL clears it); the input takes its
// own reference.
void TrelkProc_SetInputLocalBuf(StructOfQZDataInputContainer *Container, VS_PARAPKGPTR Buf);
// Makes To require what From requires, with a lock of its own; an object
// From required that is gone is required by To too, without a lock.
void TrelkProc_CopyInputObject(StructOfQZDataInputContainer *To, StructOfQZDataInputContainer *From);
// Pads Pkg with empty items up to Index and returns Index, for results that
// keep each input at its own position.
VS_INT32 TrelkProc_PutAt(VS_PARAPKGPTR Pkg, VS_INT32 Index);

// ===========================================================================
// Order walks of chains and runners
// ===========================================================================
// ---------------------------------------------------------------------------
// Order walks: follow QZProcNext from a proc without ever meeting one proc
// twice, so a link that leads back into the walk ends it.
// ---------------------------------------------------------------------------
struct StructOfTrelkProcWalk {
    StructOfQZProcBase *Current;
    VS_BOOL StopAtEnd; // stop after the first proc whose ChildEndMarker is 1
    void *Visited;     // host ID index of the procs met, made on the first step
};
// The proc named by a QZProcStart, or NULL.
StructOfQZProcBase *TrelkChain_StartProc(VS_UUID *QZProcStart);
// The proc a QZProcNext handle names, or NULL.
StructOfQZProcBase *TrelkChain_NextProc(StructOfQZProcBase *QZProc);
StructOfQZProcBase *TrelkProcWalk_Begin(StructOfTrelkProcWalk *Walk, StructOfQZProcBase *First, VS_BOOL StopAtEnd);
StructOfQZProcBase *TrelkProcWalk_Next(StructOfTrelkProcWalk *Walk);
void TrelkProcWalk_End(StructOfTrelkProcWalk *Walk);
// The proc reached from First by following QZProcNext until there is none
// (or until the walk would meet a proc again).
StructOfQZProcBase *TrelkChain_LastProc(StructOfQZProcBase *First);
// An instance of QZProcBase (the class objects excluded); of QZProcChainBase.
VS_BOOL TrelkChain_IsProc(void *Object);
VS_BOOL TrelkChain_IsChain(void *Object);
// Adds Target to the free-callback list kept in a chain's (or the chain
// class object's) private buffer, made on first use; nothing when either is
// NULL. Every addition goes through here: the walk at a chain's free finds
// the chains with targets through marks (trelk_chain_mark.h), which must
// learn of each list that gains its first.
void TrelkChain_AddFreeCallback(StructOfQZProcChainBaseLocalBuf *LocalBuf, void *Target);


#endif
