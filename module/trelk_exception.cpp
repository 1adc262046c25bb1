// Exception reporting and script call-out: every message of the module and
// every script hook it calls by name goes through here.
#include "quel_trelk.h"
#include "trelk_helpers.h"

#include <atomic>
#include <cstdio>
#include <cstring>

// Each thread formats into its own copy, so that a worker's report cannot be
// overwritten half-way by another thread's.
thread_local VS_CHAR VSAlarmTextTempBuf[VSALARMTEXTTEMPBUF_SIZE];

namespace {

const VS_CHAR *const LimitEventNames[] = {"OnMoreUnAllocatedData", "OnLongLoop", "OnLongSuspend", "OnInputInvalid",
                                          "OnLongSourceData"};

bool IsLimitEvent(const VS_CHAR *ScriptName) {
    for (const VS_CHAR *Name : LimitEventNames) {
        if (strcmp(Name, ScriptName) == 0)
            return true;
    }
    return false;
}

// Calls ScriptName on the stub with Object in front of the caller's nArgs
// arguments.
VS_BOOL ExecOnStub(void *Stub, void *Object, const VS_CHAR *ScriptName, VS_INT32 nArgs, VS_INT32 nOutArgs) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    XRQ->LuaPushObject(Object);
    if (nArgs > 0)
        XRQ->LuaInsert(-(nArgs + 1));
    return XRQ->ExecNameScript(Stub, ScriptName, nArgs + 1, nOutArgs);
}

} // namespace

// Workers call scripts too: the count is shared.
static std::atomic<uint64_t> ScriptCount{0};

uint64_t Trelk_ScriptSerial() { return ScriptCount.load(std::memory_order_relaxed); }

void Trelk_NoteScriptCall() { ScriptCount.fetch_add(1, std::memory_order_relaxed); }

VS_BOOL Trelk_ExecNameScript(void *Object, const VS_CHAR *ScriptName, VS_INT32 nArgs, VS_INT32 nOutArgs) {
    Trelk_NoteScriptCall();
    return QZObject_XRQInterface->ExecNameScript(Object, ScriptName, nArgs, nOutArgs);
}

void *Trelk_GetRealmStubObject() {
    if (QZObject_XRQInterface == nullptr || Trelk_IsZeroID(&QZRealmStubObjectID))
        return nullptr;
    return QZObject_XRQInterface->GetObject(&QZRealmStubObjectID);
}

void QZRealmBase_RaiseExceptionV(void *, VS_INT32 AlarmLevel, const VS_CHAR *, VS_INT32, const VS_CHAR *format,
                                 va_list args) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    if (format == nullptr)
        format = "";
    vs_string_vsnprintf(VSAlarmTextTempBuf, VSALARMTEXTTEMPBUF_SIZE, format, args);
    if (XRQ == nullptr) {
        // Before start-up or after shutdown nobody can take the report.
        return;
    }
    void *Stub = Trelk_GetRealmStubObject();
    if (Stub != nullptr) {
        XRQ->LuaPushInt(AlarmLevel);
        XRQ->LuaPushString(VSAlarmTextTempBuf);
        XRQ->GetLastError();
        Trelk_NoteScriptCall();
        if (XRQ->ExecNameScript(Stub, "OnException", 2, 0))
            return;
        XRQ->ProcessError(AlarmLevel, QUEL_TRELK_MODULENAME, 0, "%s", "calls the function OnException failed");
        return;
    }
    // The finished text is handed on as text, never as a format again.
    XRQ->ProcessError(AlarmLevel, QUEL_TRELK_MODULENAME, 0, "%s", VSAlarmTextTempBuf);
}

void QZRealmBase_RaiseException(void *RefObject, VS_INT32 AlarmLevel, const VS_CHAR *SourceName, VS_INT32 LineIndex,
                                const VS_CHAR *format, ...) {
    va_list args;
    va_start(args, format);
    QZRealmBase_RaiseExceptionV(RefObject, AlarmLevel, SourceName, LineIndex, format, args);
    va_end(args);
}

VS_BOOL QZRealmBase_ExecNameScript(void *Object, const VS_CHAR *ScriptName, VS_INT32 nArgs, VS_INT32 nOutArgs) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    if (XRQ == nullptr)
        return VS_FALSE;
    Trelk_NoteScriptCall();
    void *Stub = Trelk_GetRealmStubObject();
    // Without a name the host refuses the call but still takes the caller's
    // arguments off the stack, as it does for any call that cannot be made.
    if (Stub == nullptr || ScriptName == nullptr)
        return XRQ->ExecNameScript(Object, ScriptName, nArgs, nOutArgs);
    if (IsLimitEvent(ScriptName))
        return ExecOnStub(Stub, Object, ScriptName, nArgs, nOutArgs);
    void *DefinedOn = XRQ->LuaIsFunctionDefined(Object, ScriptName, VS_TRUE);
    if (DefinedOn == nullptr || DefinedOn != QZRealmBaseClass)
        return XRQ->ExecNameScript(Object, ScriptName, nArgs, nOutArgs);
    if (XRQ->LuaIsFunctionDefined(Stub, ScriptName, VS_TRUE) != nullptr)
        return ExecOnStub(Stub, Object, ScriptName, nArgs, nOutArgs);
    return XRQ->ExecNameScript(Object, ScriptName, nArgs, nOutArgs);
}

VS_BOOL QZProcChain_IsExecNameScriptError(void *Object, const VS_CHAR *Info) {
    ClassOfXRQInterface *XRQ = QZObject_XRQInterface;
    if (XRQ == nullptr)
        return VS_FALSE;
    VS_INT32 Error = XRQ->GetLastError();
    if (Error < 1 || Error > 4)
        return VS_FALSE;
    VS_ULONG LineIndex = 0;
    const VS_CHAR *SourceName = nullptr;
    const VS_CHAR *Text = XRQ->GetLastErrorInfo(&LineIndex, &SourceName);
    if (Text == nullptr)
        return VS_TRUE;
    if (SourceName == nullptr)
        SourceName = "";
    if (Object == nullptr) {
        if (Info != nullptr)
            QZRealmBase_RaiseException(nullptr, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "%s{[%s:%d]%s}", Info,
                                       SourceName, (VS_INT32)LineIndex, Text);
        else
            QZRealmBase_RaiseException(nullptr, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "[%s:%d]%s", SourceName,
                                       (VS_INT32)LineIndex, Text);
    } else {
        const VS_CHAR *Name = XRQ->GetName(Object);
        if (Name == nullptr)
            Name = "";
        if (Info != nullptr)
            QZRealmBase_RaiseException(nullptr, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "[%s] %s{[%s:%d]%s}",
                                       Name, Info, SourceName, (VS_INT32)LineIndex, Text);
        else
            QZRealmBase_RaiseException(nullptr, TRELK_ALARM_ERROR, QUEL_TRELK_MODULENAME, 0, "%s{[%s:%d]%s}", Name,
                                       SourceName, (VS_INT32)LineIndex, Text);
    }
    return VS_TRUE;
}

void QZExceptHandler(VS_CHAR *ErrorInfo) {
    fprintf(stdout, "%s\n", ErrorInfo != nullptr ? ErrorInfo : "");
    fflush(stdout);
}
