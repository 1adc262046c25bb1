// The host platform's services as seen by a plug-in module.
//
// A module is compiled against this header only: every host service is an
// abstract class with virtual methods, so the module never links against the
// host and the host may be any program that implements these classes.
//
// It holds the operations the module's contract with its host names, and
// nothing else: a module that works against it works against any host that
// offers them. What the stand-in host offers beyond (for its runner, tests
// and benchmarks) is declared in host/driver/tarvex_host_ext.h, a folder the
// module's libraries do not see.
//
// Object handles: an "object" is a void * that points at the object's
// attribute record. Every operation that takes an object first checks it
// against the live objects; NULL, freed or unknown pointers act as NULL
// (nothing happens, NULL / 0 / FALSE comes back). No operation raises a script
// error through module code.
//
// The host's rules. Each method below repeats the part that concerns it.
//
// Threads. The thread that started the host is its main thread. Any thread
// may call the host; a thread gets its own script stack and last error on its
// first script call and gives them up with DetachCurrentThread. Apart from
// the threads scripts start with _Thread, the host starts none: luafuncs run
// on their script caller's thread, system events on the thread that creates
// or frees, posted messages on the thread that dispatches, automatic frees on
// the main thread.
//
// Locks. Two re-entrant locks, handed out first come, first served: the
// script lock (CaptureScriptGIL / ReleaseScriptGIL) guards the script engine,
// the host lock (XRQLock / XRQUnLock) the object model. Take the script lock
// first and release it last. Object, queue, buffer, index and lifetime calls
// need the host lock; script-stack calls and calls by name also the script
// lock. A call made without the lock it needs is counted (LockViolations),
// not refused. CaptureScriptGIL by a thread holding the host lock but not the
// script lock is refused (counted, reported, returns without the lock): it
// would wait for a thread that may be waiting for that host lock. A thread
// that ends holding a lock gives it up (counted, reported). A thread waiting
// on anything of its own releases both locks first (host lock, then script
// lock) and takes them back after (script lock, then host lock).
//
// Lifetime. An object lives until FreeObject, or until a collection point
// finds it unheld. Held means: a GC lock (LockGC or AddRefEx; the creation
// lock of MallocObjectL until ReleaseOwnerEx gives it up), a place in a
// parent's queue, a live script value, or a live instance (an object made
// from it, at any depth). An object that nothing holds is garbage, whoever
// made it and whether or not a script ever saw it: letting go (UnLockGC,
// ReleaseOwnerEx, ChangeParent to no parent) is all its holder does, and the
// next collection point frees it. So a collection never frees an instance
// that is held along with the object it was made from: that object goes at
// the first collection point after its last instance has gone. FreeObject is
// unchanged: freeing an object frees its instances first, held or not. Class
// objects and root items are never garbage: only FreeObject ends them. A
// package item holds an object's ID, not the object. (An object whose only
// holds are its instances, which in turn are held only by its own queues,
// holds itself: free it by name.)
//
// Collection points: XRQDispatch, the end of a chunk the driver runs, and the
// script function _CollectGarbage; nothing else frees by itself. A collection
// point frees only on the main thread, holding both locks, while no call by
// name (ExecNameScript, ScriptCall) is in progress on any thread. Elsewhere
// it may run the script side of the collection but frees nothing: the frees
// wait for the next collection point that may free. So what module code
// holds across a call by name (a C local, an item of a package it made)
// survives the call even if the script collects or dispatches; after the
// call it is freed at the next such point unless the module holds it. Before-
// free and freed events of automatic frees arrive on the main thread only.
//
// Stale pointers. After a lock release, a dispatch or a script call, find
// objects again by ID (GetObject): a pointer kept across one may name an
// object that is gone. Such a pointer acts as NULL and is counted
// (InvalidObjects). A freed record's address is kept out of reuse for the
// next 65,536 frees (at most 64 MiB), so within that window a stale pointer
// never names another object.
//
// Costs. A collection point looks only at candidates: the objects that may
// have become unheld since the last one (a GC lock count or the creator's
// ownership given up to zero, a detach from a queue, the last script value
// collected). So it costs what it finds, not what lives. Nothing depends on
// the clock. Creating, freeing, events and IsInst do not cost the length of
// an object's class chain (IsInst takes log(depth) steps), and a free walks
// what goes with the object without recursion: a chain of objects each made
// from the one before may be any length.
#ifndef TARVEX_API_H
#define TARVEX_API_H

#include "vs_types.h"

#include <cstddef>
#include <cstdint>

struct VS_VSTRING {
    VS_CHAR *Buf;
};

class ClassOfXRQParaPackageInterface;
class ClassOfXRQBinBufInterface;
class ClassOfXRQSXMLInterface;
class ClassOfXRQInterface;
class ClassOfXRQControlInterface;
class ClassOfBasicXRQInterface;
class ClassOfTarvex;

typedef ClassOfXRQParaPackageInterface *VS_PARAPKGPTR;
typedef VS_UINT8 OBJECTATTRIBUTEINDEX;
#define VS_INVALID_ATTRIBUTEINDEX ((OBJECTATTRIBUTEINDEX)255)

typedef VS_INT32 (*VS_LUAFUNCPTR)(void *L);
typedef VS_INT32 (*VS_SYSEVENTPTR)(VS_UWORD FunctionChoice, void *EventPara);

typedef VS_BOOL (*VS_BEFORECHANGECALLBACK)(void *Object, VS_UWORD Para, OBJECTATTRIBUTEINDEX AttributeIndex,
                                           VS_INT8 *NewValue, VS_INT32 DebugEditFlag);
typedef VS_BOOL (*VS_LUAGETVALUEFUNC)(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_UWORD Para,
                                      VS_BOOL GetAllRawAttributeFlag);
typedef VS_BOOL (*VS_LUASETVALUEFUNC)(void *Object, void *ForWhichObject, VS_CHAR *Name, VS_INT32 Index,
                                      VS_UWORD Para);
typedef void (*VS_EXCEPTHANDLER)(VS_CHAR *Text);

// System events delivered to class handlers.
#define VSEVENT_SYSTEMEVENT_ONCREATE 5
#define VSEVENT_SYSTEMEVENT_ONDESTROY 6
#define VSEVENT_SYSTEMEVENT_ONBEFOREFREE 27

struct StructOfVSSysEventPara {
    void *Object;
    VS_ULONG EventID;
};

// Result of GetAttributeInfoEx.
struct VS_ATTRIBUTEINFO {
    OBJECTATTRIBUTEINDEX AttributeIndex;
    VS_BOOL IsQueue;
    VS_INT32 Offset;
    VS_INT32 Size;
};

// Instance query state, kept on the caller's stack.
struct VS_QUERYRECORD {
    VS_UWORD Reserved[4];
};

// Opaque; handed to the module's entry function and not used by it.
struct StructOfVSTarvexInterfaceTable;

// Attribute type code accepted by CreateAtomicAttribute.
#define VS_ATTRIBUTETYPE_UUID 41

// Script value type codes reported by LuaType.
#define VSLUATYPE_NIL 0
#define VSLUATYPE_NUMBER 1
#define VSLUATYPE_BOOL 2
#define VSLUATYPE_STRING 3
#define VSLUATYPE_OBJECT 6
#define VSLUATYPE_PARAPKG 7
#define VSLUATYPE_BINBUF 12
#define VSLUATYPE_INT 16
#define VSLUATYPE_INT64 19
#define VSLUATYPE_UWORD 20
#define VSLUATYPE_OTHER 255

// Parameter package item types.
#define VSTYPE_EMPTY 0
#define VSTYPE_INT32 1
#define VSTYPE_DOUBLE 2
#define VSTYPE_BIN 3
#define VSTYPE_STRING 4
#define VSTYPE_TIME 5
#define VSTYPE_BOOL 6
#define VSTYPE_OBJECT 7
#define VSTYPE_PARAPKG 8
#define VSTYPE_INT64 9

// Script error codes of GetLastError.
#define VSSCRIPTERR_NONE 0
#define VSSCRIPTERR_OTHER 1
#define VSSCRIPTERR_RUNTIME 2
#define VSSCRIPTERR_SYNTAX 3
#define VSSCRIPTERR_MEMORY 4
#define VSSCRIPTERR_NOTFOUND 5

// ---------------------------------------------------------------------------
// Parameter package: a list of typed items that may also act as a dictionary
// of alternating keys and values. Indexes are 0-based. Reference counted.
// ---------------------------------------------------------------------------
class ClassOfXRQParaPackageInterface {
  public:
    virtual VS_ULONG AddRef() = 0;
    // At zero nested packages are released and the package is freed.
    virtual VS_ULONG Release() = 0;

    virtual VS_INT32 GetNumber() = 0;
    // Item type of item i; VSTYPE_EMPTY outside the package.
    virtual VS_INT32 GetType(VS_INT32 i) = 0;

    // Inserts: i == count appends, an existing i replaces, i < 0 or i > count
    // is refused (FALSE). A read-only package refuses every change.
    virtual VS_BOOL InsertEmpty(VS_INT32 i) = 0;
    virtual VS_BOOL InsertInt(VS_INT32 i, VS_INT32 Value) = 0;
    virtual VS_BOOL InsertInt64(VS_INT32 i, VS_INT64 Value) = 0;
    virtual VS_BOOL InsertFloat(VS_INT32 i, VS_DOUBLE Value) = 0;
    virtual VS_BOOL InsertBool(VS_INT32 i, VS_BOOL Value) = 0;
    virtual VS_BOOL InsertStr(VS_INT32 i, const VS_CHAR *Value) = 0;
    // Keeps embedded zero bytes.
    virtual VS_BOOL InsertStrEx(VS_INT32 i, const VS_CHAR *Value, VS_INT32 Length) = 0;
    virtual VS_BOOL InsertBin(VS_INT32 i, const VS_INT8 *Value, VS_INT32 Length) = 0;
    // Milliseconds since 1970.
    virtual VS_BOOL InsertTime(VS_INT32 i, VS_INT64 Value) = 0;
    // Stores the object's ID (a weak reference: it does not hold the object);
    // NULL stores an empty item.
    virtual VS_BOOL InsertObject(VS_INT32 i, void *Object) = 0;
    // Holds a reference on the nested package; a package never contains itself.
    virtual VS_BOOL InsertParaPackage(VS_INT32 i, VS_PARAPKGPTR Value) = 0;

    // Readers convert among int32, int64, double and bool; other types give 0.
    virtual VS_INT32 GetInt(VS_INT32 i) = 0;
    virtual VS_INT64 GetInt64(VS_INT32 i) = 0;
    virtual VS_DOUBLE GetFloat(VS_INT32 i) = 0;
    virtual VS_BOOL GetBool(VS_INT32 i) = 0;
    virtual VS_INT64 GetTime(VS_INT32 i) = 0;
    // Strings only, else NULL. Valid while the item is unchanged.
    virtual const VS_CHAR *GetStr(VS_INT32 i) = 0;
    virtual const VS_CHAR *GetStrEx(VS_INT32 i, VS_INT32 *Length) = 0;
    virtual const VS_INT8 *GetBin(VS_INT32 i, VS_INT32 *Length) = 0;
    // The live object with the stored ID, else NULL (host lock).
    virtual void *GetObject(VS_INT32 i) = 0;
    // Borrowed.
    virtual VS_PARAPKGPTR GetParaPackage(VS_INT32 i) = 0;

    // Later items move down.
    virtual VS_BOOL Del(VS_INT32 i) = 0;
    // Removes the items; the dictionary mark stays.
    virtual void Clear() = 0;
    // Appends copies of Src's items (nested packages by reference).
    virtual VS_BOOL AppendFrom(VS_PARAPKGPTR Src) = 0;
    // Deep copy with one reference owned by the caller; not read-only.
    virtual VS_PARAPKGPTR Dup() = 0;
    // Same items, position by position; dictionary marks ignored.
    virtual VS_BOOL Equals(VS_PARAPKGPTR Other) = 0;

    virtual void AsDict(VS_BOOL Flag) = 0;
    virtual VS_BOOL IsDict() = 0;
    // Index of the value following the first string item equal to Key at an
    // even position; -1 when absent or the key has no value.
    virtual VS_INT32 FindDict(const VS_CHAR *Key) = 0;

    // Compact JSON text, or NULL when an object, binary or time item, a
    // non-finite double (at any depth) or a non-string dictionary key has no
    // JSON form. Free with FreeBuf.
    virtual VS_CHAR *ToJSon() = 0;
    // Clears the package and reads the text; FALSE (package empty) on error,
    // a number that is no finite double included. A text that does not read
    // is reported to the host's error log at level 1 (source "tarvex"):
    // "FromJSon failed, invalid JSON at offset N: " (N counts bytes from the
    // start of the text, where reading stopped) and the reason, "FromJSon
    // failed, no text" or "FromJSon failed, the package is read-only"; the
    // caller's own report, if any, follows it.
    virtual VS_BOOL FromJSon(const VS_CHAR *Text) = 0;
    // Like ToJSon, but every item has a text form. Free with FreeBuf.
    virtual VS_CHAR *GetValueStr() = 0;
    virtual void FreeBuf(VS_CHAR *Text) = 0;

    virtual VS_BOOL IsReadOnly() = 0;
    // TRUE locks with Key (refused while locked); FALSE with the same Key unlocks.
    virtual VS_BOOL SetReadOnly(const VS_CHAR *Key, VS_BOOL Flag) = 0;

  protected:
    virtual ~ClassOfXRQParaPackageInterface() {}
};

// ---------------------------------------------------------------------------
// Binary buffer. Reference counted.
// ---------------------------------------------------------------------------
class ClassOfXRQBinBufInterface {
  public:
    virtual VS_ULONG AddRef() = 0;
    virtual VS_ULONG Release() = 0;
    // Writes Length bytes at Offset, growing with a zero gap; the valid length
    // becomes max(valid length, Offset + Length).
    virtual VS_BOOL Set(VS_INT32 Offset, VS_INT32 Length, const VS_INT8 *Bytes) = 0;
    // NULL when empty.
    virtual VS_INT8 *GetBuf() = 0;
    // Number of valid bytes.
    virtual VS_INT32 GetOffset() = 0;

  protected:
    virtual ~ClassOfXRQBinBufInterface() {}
};

// ---------------------------------------------------------------------------
// XML reader for class templates.
// ---------------------------------------------------------------------------
class ClassOfXRQSXMLInterface {
  public:
    virtual VS_BOOL LoadFromBuf(const VS_CHAR *Text, VS_UWORD Reserved) = 0;
    virtual VS_ULONG AddRef() = 0;
    virtual VS_ULONG Release() = 0;

  protected:
    virtual ~ClassOfXRQSXMLInterface() {}
};

// ---------------------------------------------------------------------------
// Service interface: objects, classes, queues, lifetime, buffers, indexes,
// scripts, locks and text.
// ---------------------------------------------------------------------------
class ClassOfXRQInterface {
  public:
    virtual VS_ULONG AddRef() = 0;
    virtual VS_ULONG Release() = 0;
    // printf-style; the report goes to the host's error log.
    virtual void ProcessError(VS_INT32 Level, const VS_CHAR *Source, VS_INT32 Line, const VS_CHAR *Format,
                              ...) = 0;

    // ---- classes from XML templates, atomic handles, function slots ----
    virtual ClassOfXRQSXMLInterface *GetSXMLInterface() = 0;
    // An existing name is kept.
    virtual VS_BOOL CreateSysRootItem(const VS_CHAR *Name, const VS_CHAR *Desc, VS_UUID *ID,
                                      VS_UUID *Reserved) = 0;
    virtual void *GetSysRootItem(const VS_CHAR *Name) = 0;
    // Creates the class object described by the loaded template, with the
    // given class ID and system-event handler; NULL and nothing created on any
    // error (the text goes to the exception handler).
    virtual void *XmlToObjectEx(ClassOfXRQSXMLInterface *SXml, void *RootItem, VS_UUID *ClassID,
                                VS_SYSEVENTPTR Handler, VS_UWORD Reserved) = 0;
    virtual void *GetAtomicObjectEx(void *Parent, const VS_CHAR *Name) = 0;
    // The object's function slot of that name, created when not declared.
    virtual void *GetAtomicFunctionByName(void *Atomic, const VS_CHAR *Name) = 0;
    virtual VS_BOOL SetAtomicFunction(void *Slot, VS_LUAFUNCPTR Fn) = 0;
    // New slot on any object; an existing name returns its slot.
    virtual void *CreateAtomicLuaFunction(void *Atomic, const VS_CHAR *Name, VS_UUID *FunctionID,
                                          const VS_CHAR *Desc) = 0;
    // Only VS_ATTRIBUTETYPE_UUID is offered; others give NULL.
    virtual void *CreateAtomicAttribute(void *Atomic, const VS_CHAR *Name, VS_UINT8 Type, ...) = 0;
    virtual VS_BOOL SetSysEvent(void *AtomicOrObject, VS_SYSEVENTPTR Handler) = 0;
    virtual VS_BOOL GetAttributeInfoEx(void *ClassObject, const VS_CHAR *Name, VS_ATTRIBUTEINFO *Info) = 0;
    // VS_INVALID_ATTRIBUTEINDEX when the object's registered class has none.
    virtual OBJECTATTRIBUTEINDEX GetAttributeIndex(void *ClassObject, const VS_CHAR *Name) = 0;

    // ---- objects ----
    // New object whose class is the object with that ID; the caller holds the
    // creation lock (one GC lock). Event 5 is delivered before it returns, on
    // the calling thread; a handler that frees the object makes this NULL.
    // Host lock.
    virtual void *MallocObjectL(VS_UUID *ClassOrObjectID, VS_ULONG ExtraSize, VS_PARAPKGPTR InitPara) = 0;
    // The same with a chosen ID (all zero: a new one); NULL when the ID is in use.
    virtual void *MallocObjectLEx(VS_UUID *ClassOrObjectID, VS_UUID *ObjectID, VS_ULONG ExtraSize,
                                  VS_PARAPKGPTR InitPara) = 0;
    // During the object's creation event, the init package; else NULL. Borrowed.
    virtual VS_PARAPKGPTR GetInitPara(void *Object) = 0;
    virtual VS_ULONG GetSysEventID(void *EventPara) = 0;
    // Frees at once, whatever holds it, on the calling thread: instances of
    // the object first, then events 27, the children of every queue, event 6.
    // The record is gone on return; pointers to it act as NULL (see Stale
    // pointers above). Host lock. While a module is loaded, a class object is
    // freed only during the module's Init2 or Term2; any other call is refused
    // with a level-1 report (a script cannot free a module's class).
    virtual void FreeObject(void *Object) = 0;

    // IDs are never reused. Host lock.
    virtual VS_UUID *GetIDEx(void *Object) = 0;
    virtual VS_UUID GetID(void *Object) = 0;
    // The live object with that ID, else NULL: how to find an object again
    // after a lock release, a dispatch or a script call. Host lock.
    virtual void *GetObject(VS_UUID *ObjectID) = 0;
    virtual void *GetObjectEx(void *Parent, const VS_CHAR *Name) = 0;
    // "" when unnamed, and for a freed or unknown pointer (counted). Host lock.
    virtual const VS_CHAR *GetName(void *Object) = 0;
    virtual void SetName(void *Object, const VS_CHAR *Name) = 0;
    virtual void *GetClass(void *Object) = 0;
    virtual void *GetParent(void *Object) = 0;
    virtual OBJECTATTRIBUTEINDEX GetIndex(void *Object) = 0;
    virtual VS_BOOL IsInst(VS_UUID *ClassID, void *Object) = 0;
    virtual VS_BOOL IsDirectInst(VS_UUID *ClassID, void *Object) = 0;
    virtual VS_INT32 InstNumber(VS_UUID *ClassID) = 0;
    virtual void *QueryFirstInst(VS_QUERYRECORD *Query, void *ClassObject) = 0;
    virtual void *QueryNextInst(VS_QUERYRECORD *Query, void *ClassObject) = 0;
    virtual void QueryInstClose(VS_QUERYRECORD *Query) = 0;

    // ---- attributes ----
    virtual void SetVString(VS_VSTRING *Field, const VS_CHAR *Text) = 0;
    virtual VS_BOOL RegBeforeChangeCallBack(void *Object, VS_BEFORECHANGECALLBACK Cb, VS_UWORD Para,
                                            VS_UWORD Flag) = 0;
    virtual void UnRegBeforeChangeCallBack(void *Object, VS_BEFORECHANGECALLBACK Cb, VS_UWORD Para) = 0;

    // ---- atomic handles ----
    virtual void *ObjectToAtomic(void *Object) = 0;
    virtual void *AtomicToObject(void *Atomic) = 0;

    // ---- child queues ----
    // Appends to Parent's queue attribute Index, leaving the former queue; a
    // NULL Parent detaches. A queue holds its children (they are freed with
    // the parent); a detached object that nothing else holds (no GC lock, no
    // script value, no live instance) is freed at the next collection point.
    // GC locks are left alone. Host lock.
    virtual VS_BOOL ChangeParent(void *Object, void *Parent, OBJECTATTRIBUTEINDEX Index) = 0;
    virtual void *QueryFirst(void *QueueHeadField) = 0;
    virtual void *QueryNext(void *Object) = 0;

    // ---- lifetime ----
    // One more GC lock: held until as many UnLockGC. Host lock.
    virtual void LockGC(void *Object) = 0;
    // One GC lock less; below zero it is counted (UnlockAtZero) and ignored.
    // Reaching zero frees nothing now: an object then unheld (no parent, no
    // script value, no live instance) is freed at the next collection point.
    // Host lock.
    virtual void UnLockGC(void *Object) = 0;
    // Gives up the creation lock of MallocObjectL (once); as UnLockGC.
    virtual void ReleaseOwnerEx(void *Object) = 0;
    // Same as LockGC.
    virtual void AddRefEx(void *Object) = 0;
    // GC locks, plus one while a script value holds it: for reports. No free
    // depends on it: a queue's hold is not counted, and what counts zero is
    // freed by the next collection point anyway, not by the caller. Host lock.
    virtual VS_INT32 GetRefEx(void *Object) = 0;

    // ---- private buffers and memory ----
    virtual VS_ULONG GetLayer(void *Object) = 0;
    virtual void *MallocPrivateBuf(void *Object, VS_ULONG Layer, VS_ULONG Index, VS_ULONG Size) = 0;
    virtual void *GetPrivateBuf(void *Object, VS_ULONG Layer, VS_ULONG Index, VS_ULONG *Size) = 0;
    virtual void FreePrivate(void *Object, VS_ULONG Layer, VS_ULONG Index) = 0;
    // Zero-filled.
    virtual void *Malloc_Nor(VS_ULONG Size) = 0;
    virtual void Free(void *Ptr) = 0;
    virtual void *CreateMemory_Nor(VS_INT32 ItemSize) = 0;
    virtual void *GetMemoryPtr_Nor(void *Pool) = 0;
    virtual void ClearMemory(void *Pool) = 0;
    virtual void DestoryMemory(void *Pool) = 0;

    // ---- indexes (never own their values) ----
    virtual void DestoryIndex(void *Index) = 0;
    virtual void DelAllKey(void *Index) = 0;

    virtual void *CreateIDIndex_Nor(VS_INT32 Reserved) = 0;
    virtual VS_BOOL InsertIDKey(void *Index, VS_UUID *Key, void *Value) = 0;
    virtual void *FindIDKey(void *Index, VS_UUID *Key) = 0;
    virtual void *DelIDKey(void *Index, VS_UUID *Key) = 0;
    virtual void *QueryFirstIDKey(void *Index, VS_UUID *KeyOut) = 0;
    virtual void *QueryNextIDKey(void *Index, VS_UUID *KeyOut) = 0;

    virtual void *CreateIndex_Nor(VS_INT32 KeyNumber, VS_INT32 Reserved) = 0;
    virtual VS_BOOL InsertOneKey(void *Index, VS_UWORD Key, void *Value) = 0;
    virtual void *FindOneKey(void *Index, VS_UWORD Key) = 0;
    virtual void *DelOneKey(void *Index, VS_UWORD Key) = 0;
    virtual void *QueryFirstOneKey(void *Index, VS_UWORD *KeyOut) = 0;
    virtual void *QueryNextOneKey(void *Index, VS_UWORD *KeyOut) = 0;
    virtual VS_BOOL InsertTwoKey(void *Index, VS_UWORD K1, VS_UWORD K2, void *Value) = 0;
    virtual void *FindTwoKey(void *Index, VS_UWORD K1, VS_UWORD K2) = 0;
    virtual void *DelTwoKey(void *Index, VS_UWORD K1, VS_UWORD K2) = 0;
    virtual void *QueryFirstTwoKey(void *Index, VS_UWORD *K1, VS_UWORD *K2) = 0;
    virtual void *QueryNextTwoKey(void *Index, VS_UWORD *K1, VS_UWORD *K2) = 0;
    virtual VS_BOOL InsertThreeKey(void *Index, VS_UWORD K1, VS_UWORD K2, VS_UWORD K3, void *Value) = 0;
    virtual void *FindThreeKey(void *Index, VS_UWORD K1, VS_UWORD K2, VS_UWORD K3) = 0;
    virtual void *DelThreeKey(void *Index, VS_UWORD K1, VS_UWORD K2, VS_UWORD K3) = 0;
    virtual void *QueryFirstThreeKey(void *Index, VS_UWORD *K1, VS_UWORD *K2, VS_UWORD *K3) = 0;
    virtual void *QueryNextThreeKey(void *Index, VS_UWORD *K1, VS_UWORD *K2, VS_UWORD *K3) = 0;

    virtual void *CreateIDIndexEx_Nor(VS_INT32 Reserved) = 0;
    virtual VS_BOOL InsertIDKeyEx(void *Index, VS_UUID *Key, VS_UWORD ExtraKey, void *Value) = 0;
    virtual void *FindIDKeyEx(void *Index, VS_UUID *Key, VS_UWORD ExtraKey) = 0;
    virtual void *DelIDKeyEx(void *Index, VS_UUID *Key, VS_UWORD ExtraKey) = 0;
    virtual void *QueryFirstIDKeyExA(void *Index, VS_UUID *KeyOut, VS_UWORD *ExtraKeyOut) = 0;
    virtual void *QueryNextIDKeyExA(void *Index, VS_UUID *KeyOut, VS_UWORD *ExtraKeyOut) = 0;

    virtual void *CreateStringIndex_Nor(VS_INT32 MaxKeyLength) = 0;
    virtual VS_BOOL InsertStringKey(void *Index, const VS_CHAR *Key, void *Value) = 0;
    virtual void *FindStringKey(void *Index, const VS_CHAR *Key) = 0;
    virtual void *DelStringKey(void *Index, const VS_CHAR *Key) = 0;
    virtual void *QueryFirstStringKey(void *Index, const VS_CHAR **KeyOut) = 0;
    virtual void *QueryNextStringKey(void *Index, const VS_CHAR **KeyOut) = 0;

    // ---- packages and binary buffers ----
    // New empty package, one reference owned by the caller.
    virtual VS_PARAPKGPTR GetParaPkgInterface() = 0;
    virtual ClassOfXRQBinBufInterface *GetXRQBinBufInterface() = 0;

    // ---- script stack (the calling thread's current stack) ----
    // Each thread has its own stack: the luafunc's while one runs on it, else
    // the thread's own. Script lock (and host lock for objects).
    virtual VS_INT32 LuaGetTop() = 0;
    virtual VS_INT32 LuaType(VS_INT32 Index) = 0;
    virtual void LuaPop(VS_INT32 N) = 0;
    virtual void LuaInsert(VS_INT32 Index) = 0;
    virtual void *LuaToObject(VS_INT32 Index) = 0;
    virtual VS_INT32 LuaToInt(VS_INT32 Index) = 0;
    virtual VS_INT64 LuaToInt64(VS_INT32 Index) = 0;
    virtual VS_DOUBLE LuaToNumber(VS_INT32 Index) = 0;
    virtual VS_BOOL LuaToBool(VS_INT32 Index) = 0;
    virtual const VS_CHAR *LuaToString(VS_INT32 Index) = 0;
    virtual const VS_CHAR *LuaToLString(VS_INT32 Index, VS_INT32 *Length) = 0;
    virtual VS_PARAPKGPTR LuaToParaPkg(VS_INT32 Index) = 0;
    virtual ClassOfXRQBinBufInterface *LuaToBinBuf(VS_INT32 Index) = 0;
    virtual VS_UWORD LuaToUWord(VS_INT32 Index) = 0;
    virtual VS_INT32 LuaUpValueIndex(VS_INT32 N) = 0;
    virtual void LuaPushInt(VS_INT32 Value) = 0;
    virtual void LuaPushInt64(VS_INT64 Value) = 0;
    virtual void LuaPushNumber(VS_DOUBLE Value) = 0;
    virtual void LuaPushBool(VS_BOOL Value) = 0;
    virtual void LuaPushString(const VS_CHAR *Value) = 0;
    virtual void LuaPushLString(const VS_CHAR *Value, VS_INT32 Length) = 0;
    virtual void LuaPushNil() = 0;
    virtual void LuaPushObject(void *Object) = 0;
    // Owned TRUE: the script takes over the caller's reference.
    virtual void LuaPushParaPkg(VS_PARAPKGPTR Pkg, VS_BOOL Owned) = 0;
    virtual void LuaPushBinBuf(ClassOfXRQBinBufInterface *Buf, VS_BOOL Owned) = 0;

    // ---- script calls ----
    // Consumes nArgs values and always leaves exactly nRes; FALSE only when
    // nothing callable of that name exists (or Object is NULL). Runs on the
    // calling thread with both locks held. While it runs, on any thread,
    // collection points free nothing (see Collection points): objects the
    // caller holds unlocked survive the call. Object pointers the caller kept
    // may still be stale afterwards if the script freed them: find them by ID.
    virtual VS_BOOL ExecNameScript(void *Object, const VS_CHAR *Name, VS_INT32 nArgs, VS_INT32 nRes) = 0;
    // Typed call; TypeText is "(" argument codes ")" [result code], codes
    // s (text), o (object), z (32-bit integer). A call by name, with the same
    // rules as ExecNameScript.
    virtual VS_UWORD ScriptCall(void *Object, VS_BOOL *Ok, const VS_CHAR *Name, const VS_CHAR *TypeText,
                                ...) = 0;
    virtual void *LuaIsFunctionDefined(void *Object, const VS_CHAR *Name, VS_BOOL SearchClassChain) = 0;
    // Per thread; reading resets it. Read and drop it before a call by name.
    virtual VS_INT32 GetLastError() = 0;
    virtual const VS_CHAR *GetLastErrorInfo(VS_ULONG *LineIndex, const VS_CHAR **SourceName) = 0;
    virtual VS_BOOL RegLuaFunc(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn, VS_UWORD Para) = 0;
    virtual VS_BOOL InValidRegLuaFunc(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn) = 0;
    virtual VS_BOOL ValidRegLuaFunc(void *Object, const VS_CHAR *Name, VS_LUAFUNCPTR Fn) = 0;
    virtual VS_BOOL RegLuaGetValueFunc(void *Object, VS_LUAGETVALUEFUNC Get, VS_UWORD Para) = 0;
    virtual VS_BOOL RegLuaSetValueFunc(void *Object, VS_LUASETVALUEFUNC Set, VS_UWORD Para) = 0;

    // ---- locks ----
    // The host lock: re-entrant (depth counted), first come, first served.
    // Take it after the script lock; a thread that only schedules and runs no
    // script (a stepping thread) may hold it alone. Any thread.
    virtual void XRQLock() = 0;
    // Gives up one level; by a thread not holding it: counted, reported,
    // ignored. Release it before the script lock.
    virtual void XRQUnLock() = 0;

    // ---- text ----
    // Upper-case text in a per-thread ring of 8 buffers.
    virtual VS_CHAR *UuidToString(VS_UUID *Uuid) = 0;
    virtual VS_BOOL StringToUuid(const VS_CHAR *Text, VS_UUID *Uuid) = 0;
    // 32 lower-case hex digits in a per-thread buffer.
    virtual VS_CHAR *GetMD5(const VS_INT8 *Buf, VS_INT32 Length) = 0;
    virtual VS_ULONG GetHashValue(const void *Buf, VS_INT32 Length, VS_ULONG Seed) = 0;

    // ---- anything else ----
    virtual void SetExceptHandler(VS_EXCEPTHANDLER Handler) = 0;
    virtual VS_BOOL HasRawContext(void *Object) = 0;

  protected:
    virtual ~ClassOfXRQInterface() {}
};

// ---------------------------------------------------------------------------
// Control interface: message dispatch, the script lock, threads.
// ---------------------------------------------------------------------------
class ClassOfXRQControlInterface {
  public:
    virtual VS_ULONG AddRef() = 0;
    virtual VS_ULONG Release() = 0;
    virtual void ProcessError(VS_INT32 Level, const VS_CHAR *Source, VS_INT32 Line, const VS_CHAR *Format,
                              ...) = 0;
    // The script lock: re-entrant, first come, first served. Take it before
    // the host lock: called while holding the host lock but not this one, it
    // is refused (counted, reported) and returns without it.
    virtual void CaptureScriptGIL() = 0;
    // Gives up one level; by a thread not holding it: counted, reported,
    // ignored. Release it after the host lock.
    virtual void ReleaseScriptGIL() = 0;
    // Hands both locks to the threads already waiting for them, takes them
    // back at the same depths, runs at most one posted message (when the
    // caller holds the script lock), then is a collection point: it frees the
    // unheld candidates only on the main thread holding both locks outside
    // every call by name; on other threads it frees nothing. Every 16th call
    // also gives the script collector a fixed slice of work. TRUE when it ran
    // a message. Never blocks waiting for messages. "Call until FALSE" runs
    // the messages posted before the first call; those a message posts wait
    // for the next round. Objects may be gone on return: find them by ID.
    virtual VS_BOOL XRQDispatch(VS_BOOL WaitFlag) = 0;
    // Ends the calling thread's attachment: its script stack (unless a call
    // on it is still running) and last error go; a later call starts afresh.
    // A worker calls it holding both locks before it ends; without the script
    // lock it is counted and reported, and the stack goes at the next
    // collection point.
    virtual void DetachCurrentThread() = 0;

  protected:
    virtual ~ClassOfXRQControlInterface() {}
};

// ---------------------------------------------------------------------------
// Basic interface: versions and the other interfaces.
// ---------------------------------------------------------------------------
class ClassOfBasicXRQInterface {
  public:
    virtual VS_ULONG AddRef() = 0;
    virtual VS_ULONG Release() = 0;
    virtual void GetVersion(VS_UINT8 *Main, VS_UINT8 *Sub, VS_UINT16 *Build) = 0;
    // Counted reference.
    virtual ClassOfXRQControlInterface *GetXRQControlInterface() = 0;
    virtual const VS_CHAR *QueryActiveService(VS_UUID *ServiceID) = 0;
    // Counted reference, or NULL for another service name.
    virtual ClassOfXRQInterface *GetXRQInterface(const VS_CHAR *Service, const VS_CHAR *User,
                                                 const VS_CHAR *Password) = 0;
    virtual void ProcessError(VS_INT32 Level, const VS_CHAR *Source, VS_INT32 Line, const VS_CHAR *Format,
                              ...) = 0;

  protected:
    virtual ~ClassOfBasicXRQInterface() {}
};

// The entry object handed to a module.
class ClassOfTarvex {
  public:
    // Borrowed, not counted.
    virtual ClassOfBasicXRQInterface *GetBasicInterface() = 0;

  protected:
    virtual ~ClassOfTarvex() {}
};

// Entry points a module exports.
extern "C" {
typedef VS_BOOL (*VS_MODULEINITPROC)(ClassOfTarvex *Tarvex, StructOfVSTarvexInterfaceTable *Table);
typedef void (*VS_MODULETERMPROC)();
}

#endif
