// Chief header of the quel_trelk module: every subsystem includes it.
//
// It brings in the host's service interfaces, the platform layer, the record
// types of the 19 classes and the binding tables, and declares the module
// globals and the shared services (exception reports, script call-out, raw
// objects, tags, the uniform tick, packages, performance records and the
// growable print buffer).
#ifndef QUEL_TRELK_H
#define QUEL_TRELK_H

#include "tarvex_api.h"

#include "vs_platform.h"
#include "trelk_records.h"
#include "trelk_bind.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Symbols the host or other modules look up in the shared library.
#if defined(_WIN32)
#define TRELK_EXPORT __declspec(dllexport)
#else
#define TRELK_EXPORT __attribute__((visibility("default")))
#endif
// printf-style checking of the module's own report formats (the C99 printf
// of mingw on Windows, as on Linux).
#define TRELK_PRINTF(fmt, args) VS_PRINTF_FORMAT(fmt, args)

// Source name of every report the module makes.
#define QUEL_TRELK_MODULENAME "quel_trelk"

#define VSALARMTEXTTEMPBUF_SIZE 10240
#define FULLCLASSNAMEPRINTBUF_SIZE 2048
#define TRELK_TAGBUF_SIZE 128
#define STRINGPRINTBUF_STEP 4096

// Alarm levels the module reports with.
#define TRELK_ALARM_ERROR 1
#define TRELK_ALARM_WARN 6

struct StructOfQZProcBase;

// ---------------------------------------------------------------------------
// Module globals (one set per loaded module; set by start-up, cleared by
// shutdown).
// ---------------------------------------------------------------------------
extern ClassOfXRQInterface *QZObject_XRQInterface;
extern ClassOfXRQControlInterface *QZObject_XRQControlInteface;
extern VS_PARAPKGPTR QZObject_SystemPackageInfo;
extern void *QZObject_QuelObjectSpace;

// Registries.
extern void *GlobalProcTypeIndexTree;        // ID index: proc / cell type ID -> (void *)1
extern void *GlobalDataTypeIndexTree;        // ID index: data type ID -> (void *)1..4
extern void *GlobalThreadIndexTree;          // one-key index: worker thread ID -> thread ID
extern void *GlobalProcPerformanceMemory;    // pool of StructOfProcPerformance
extern void *GlobalProcPerformanceIndexTree; // ID index: proc type ID -> StructOfProcPerformance *

// The module-wide realm stub (all zero: none).
extern VS_UUID QZRealmStubObjectID;
extern VS_BOOL QZRealStubObjectIsSet;

extern VS_INT64 LastNewTypeTickCount; // vs_tm_gettickcount64 milliseconds
extern VS_DOUBLE PerformanceBaseCount; // microseconds of 100 calibration calls

// Uniform tick state; read and written only inside Trelk_GetUniformTick,
// which serialises its callers.
extern VS_INT64 UniformTick_Second;
extern VS_ULONG UniformTick_Sequence;

// Class objects, in registration order. QZRealmFrameData keeps the class's
// own name; every other one is <class name>Class.
extern void *QZObjectPointerClass;
extern void *QZObjectPointerWithChangeFlagClass;
extern void *QZRuleBaseClass;
extern void *QZRuleAttachBaseClass;
extern void *QZDataInputContainerClass;
extern void *QZDataBaseClass;
extern void *QZDataSetBaseClass;
extern void *QZObjectDataBaseClass;
extern void *QZBufDataBaseClass;
extern void *QZRealmFrameData;
extern void *QZDataOutputContainerClass;
extern void *QZExceptionBaseClass;
extern void *QZProcBaseClass;
extern void *QZProcRemoteBaseClass;
extern void *QZProcRunnerBaseClass;
extern void *QZProcChainBaseClass;
extern void *QZCellBaseClass;
extern void *QZRealmStubBaseClass;
extern void *QZRealmBaseClass;

// Class IDs, one per class: the IDs start-up registers the classes under, and
// by which code that runs before the class globals are set (a class's own
// creation event) recognises a class object.
extern const VS_UUID QZObjectPointer_ClassID;
extern const VS_UUID QZObjectPointerWithChangeFlag_ClassID;
extern const VS_UUID QZRuleBase_ClassID;
extern const VS_UUID QZRuleAttachBase_ClassID;
extern const VS_UUID QZDataInputContainer_ClassID;
extern const VS_UUID QZDataBase_ClassID;
extern const VS_UUID QZDataSetBase_ClassID;
extern const VS_UUID QZObjectDataBase_ClassID;
extern const VS_UUID QZBufDataBase_ClassID;
extern const VS_UUID QZRealmFrameData_ClassID;
extern const VS_UUID QZDataOutputContainer_ClassID;
extern const VS_UUID QZExceptionBase_ClassID;
extern const VS_UUID QZProcBase_ClassID;
extern const VS_UUID QZProcRemoteBase_ClassID;
extern const VS_UUID QZProcRunnerBase_ClassID;
extern const VS_UUID QZProcChainBase_ClassID;
extern const VS_UUID QZCellBase_ClassID;
extern const VS_UUID QZRealmStubBase_ClassID;
extern const VS_UUID QZRealmBase_ClassID;

// Text buffers. Worker threads format messages and names too, so each thread
// has its own copy: a text stays valid until the same thread's next use of
// the same buffer. Sizes are the module's fixed limits.
extern thread_local VS_CHAR VSAlarmTextTempBuf[VSALARMTEXTTEMPBUF_SIZE];
extern thread_local VS_CHAR FullClassNamePrintBuf[FULLCLASSNAMEPRINTBUF_SIZE];

// ---------------------------------------------------------------------------
// Entry, start-up and shutdown
// ---------------------------------------------------------------------------
extern "C" {
TRELK_EXPORT VS_BOOL quel_trelk_Init2(ClassOfTarvex *Tarvex, StructOfVSTarvexInterfaceTable *InterfaceTable);
TRELK_EXPORT void quel_trelk_Term2();
}
VS_BOOL Tarvex_InitProcChain(ClassOfXRQControlInterface *ControlInteface, ClassOfXRQInterface *XRQInterface);
void Tarvex_TermProcChain();

// ---------------------------------------------------------------------------
// Exception reporting and script call-out
// ---------------------------------------------------------------------------
// Formats the message (at most 10239 characters) and hands the finished text
// to the realm stub's "OnException" when a stub exists, else to the host's
// error report with source "quel_trelk" and line 0. RefObject, SourceName and
// LineIndex are accepted for the callers' sake and not used.
void QZRealmBase_RaiseException(void *RefObject, VS_INT32 AlarmLevel, const VS_CHAR *SourceName,
                                VS_INT32 LineIndex, const VS_CHAR *format, ...) TRELK_PRINTF(5, 6);
void QZRealmBase_RaiseExceptionV(void *RefObject, VS_INT32 AlarmLevel, const VS_CHAR *SourceName,
                                 VS_INT32 LineIndex, const VS_CHAR *format, va_list args);

// Counts the script calls the module made: every report that ran the stub's
// "OnException", every hook, event, proc body, free callback and type-class
// function. A walk that keeps pointers (a cache of candidates, a queue
// position) compares it before and after a step that may call a script: a
// change means a script ran and may have freed anything, so the walk finds
// its objects again by ID; no change means its pointers still hold.
uint64_t Trelk_ScriptSerial();
// Counted before a script call made straight through the host (ScriptCall).
void Trelk_NoteScriptCall();
// The host's ExecNameScript, counted.
VS_BOOL Trelk_ExecNameScript(void *Object, const VS_CHAR *ScriptName, VS_INT32 nArgs, VS_INT32 nOutArgs);

// Calls a script function of Object by name on the nArgs values the caller
// pushed; routes the realm's limit events (and default-only realm hooks the
// stub defines) to the realm stub with Object as the first argument. TRUE when
// a function ran; its nOutArgs results are then on the stack.
VS_BOOL QZRealmBase_ExecNameScript(void *Object, const VS_CHAR *ScriptName, VS_INT32 nArgs, VS_INT32 nOutArgs);

// After a script call that returned TRUE: reports the script error (codes 1 to
// 4) with its source and line at level 1 and returns TRUE; else FALSE.
VS_BOOL QZProcChain_IsExecNameScriptError(void *Object, const VS_CHAR *Info);

// The handler given to the host for its own exception texts.
void QZExceptHandler(VS_CHAR *ErrorInfo);

// The realm stub object, or NULL when none is set or it has been freed.
void *Trelk_GetRealmStubObject();

// ---------------------------------------------------------------------------
// Shared services
// ---------------------------------------------------------------------------
struct StructOfProcPerformance {
    VS_INT64 PerformaceMean; // running sum of successful run times, microseconds
    VS_INT32 RunTimes;       // runs, failed ones included
    VS_INT32 ErrorTimes;     // failed runs
};

// The module object a script raw object stands for (the object itself when it
// stands for nothing else); NULL for NULL.
void *Trelk_FromRawObject(void *RawObject);
// 32 MD5 hex digits of the text followed by 8 lowercase hex digits of the
// host hash, in a per-thread 128-byte buffer overwritten by the next call.
VS_CHAR *Trelk_FormatTag(const VS_CHAR *RawTag);
// A stamp unique within the module: seconds (39 bits) << 24 + a sequence
// number within the second.
VS_INT64 Trelk_GetUniformTick();
// The guard of the stamp across threads: made by start-up, dropped by shutdown.
void Trelk_UniformTickStart();
void Trelk_UniformTickStop();
// A new, empty package; the caller owns its one reference.
TRELK_EXPORT VS_PARAPKGPTR Trelk_GetParaPkgInterface(VS_INT32 LineNumber);
// Allocation hook; does nothing.
void MemoryDebug_InsertObjectRecord(void *Object, VS_INT32 LineNumber);

// Performance records keyed by proc type.
void Trelk_InsertPerformaceData(StructOfQZProcBase *QZProc, VS_INT64 Tick);
void Trelk_InsertPerformaceData_ForError(StructOfQZProcBase *QZProc);

// Growable text buffer; the object and its text live in host memory.
class TRELK_EXPORT ClassOfStringPrintBuf {
  public:
    VS_CHAR *Buf;      // the text, terminated when not NULL
    VS_INT32 BufSize;  // bytes allocated
    VS_INT32 BufOffset; // length of the text

    ClassOfStringPrintBuf();
    ~ClassOfStringPrintBuf();
    static void *operator new(size_t Size) noexcept;
    static void operator delete(void *Ptr) noexcept;

    // Appends the formatted text (at most 10239 characters per call).
    void Print(const VS_CHAR *Format, ...) TRELK_PRINTF(2, 3);
    VS_BOOL IsEmpty();
    // First occurrence of Text in the buffer, or NULL (always NULL when empty).
    VS_CHAR *SubStr(const VS_CHAR *Text);
    void Clear();

  private:
    ClassOfStringPrintBuf(const ClassOfStringPrintBuf &) = delete;
    ClassOfStringPrintBuf &operator=(const ClassOfStringPrintBuf &) = delete;
};

#endif
