// Helpers shared by the proc source files only: argument readers, object
// tests, queue walks and the report about one proc.
#ifndef TRELK_PROC_INTERNAL_H
#define TRELK_PROC_INTERNAL_H

#include "trelk_proc.h"

#include <cstring>

#define SRV QZObject_XRQInterface

// Level-1 report whose text begins "[<ID text>:<name>]" of Object.
#define TRELK_PROC_RAISE(Object, Text, ...)                                                                  \
    QZRealmBase_RaiseException((Object), TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "[%s:%s]" Text,          \
                               TrelkProc_IDText(Object), TrelkProc_Name(Object), ##__VA_ARGS__)

// UUID text of the object's ID (host ring buffer); "" for none.
const VS_CHAR *TrelkProc_IDText(void *Object);
// Name of an object, "" for none.
const VS_CHAR *TrelkProc_Name(void *Object);
VS_BOOL TrelkProc_UuidIsZero(const VS_UUID *ID);
VS_BOOL TrelkProc_UuidEqual(const VS_UUID *a, const VS_UUID *b);
// TRUE when Object is an instance of ClassObject (class objects answer for
// their instances only); FALSE for a missing class or object.
VS_BOOL TrelkProc_IsInstOf(void *ClassObject, void *Object);
// The QZProcBase class object or an instance of it: only such objects may be
// read as StructOfQZProcBase.
VS_BOOL TrelkProc_IsProcObject(void *Object);
// One of the three proc class objects (QZProcBase, QZProcRemoteBase,
// QZCellBase), recognised by ID so that it also works while they register.
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
// An object argument, normalised from a raw script object; NULL for non-objects.
void *TrelkProc_ObjectArg(VS_INT32 Index);
// The text argument at Index, NULL when it is no string.
const VS_CHAR *TrelkProc_StringArg(VS_INT32 Index);
// Attribute index of a QZProcBase queue ("InputQueue", "OutputQueue", ...).
OBJECTATTRIBUTEINDEX TrelkProc_ProcAttrIndex(const VS_CHAR *Name);
// Pushes a package made for the script, handing it over.
void TrelkProc_PushNewPkg(VS_PARAPKGPTR Pkg);
// TRUE when Pkg holds Object (by identity).
VS_BOOL TrelkProc_PkgHasObject(VS_PARAPKGPTR Pkg, void *Object);
// Detaches every object of a child queue and drops the lock it held there.
void TrelkProc_ReleaseQueue(void *QueueHead);

// Replaces the package an input keeps (NULL clears it); the input takes its
// own reference.
void TrelkProc_SetInputLocalBuf(StructOfQZDataInputContainer *Container, VS_PARAPKGPTR Buf);

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


#endif
